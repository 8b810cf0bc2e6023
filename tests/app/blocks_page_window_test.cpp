// The person at the arm wins over the blocks page: Escape in the arm window ends the page's run,
// and the page hears how it ended.
#include <unistd.h>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QNetworkRequest>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

#include "app/blocks_box.h"
#include "armlink/arm_device.h"
#include "armwindow/arm_window.h"
#include "motion/event_pacer.h"
#include "server/arm_server.h"
#include "usb/emulated_bus.h"
#include "web/page_server.h"

using namespace quillmar;

class BlocksPageWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void escape_in_the_window_ends_the_pages_run() {
        QTemporaryDir files;
        EventPacer pacer;
        EmulatedBus usb{[&pacer] { return pacer.now(); }, hub_and_arm()};
        ArmSession session{usb, pacer, ArmSource::virtual_arm};
        session.model().follow(usb);
        session.start_up();
        ArmServer server{session, [](qintptr) -> std::optional<Peer> {
                             return Peer{::getuid(), ::getpid()};
                         }};
        PageServer page(session, server, files.path());
        QVERIFY(page.listen().isEmpty());
        ArmWindow window(session, ArmSource::virtual_arm);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));

        const QByteArray port = QByteArray::number(page.port());
        QWebSocket socket("http://127.0.0.1:" + port);
        QNetworkRequest request(QUrl("ws://127.0.0.1:" + port + "/socket"));
        request.setRawHeader("Cookie", "quillmar_token_" + port + '=' +
                                           page.address().section("token=", 1).toLatin1());
        QJsonObject answer;
        QString told;
        double answered = -1;
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [&](const QString& text) {
            const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
            if (message["id"] == 1) {
                answer = message;
                answered = pacer.now();
            } else if (message["method"] == "stopped") {
                told = message["params"].toObject()["by"].toString();
            }
        });
        socket.open(request);
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::ConnectedState, 5000);
        QTimer beat;
        QObject::connect(&beat, &QTimer::timeout, &socket, [&socket] {
            socket.sendTextMessage(R"({"jsonrpc":"2.0","method":"heartbeat"})");
        });
        beat.start(250);
        double escaped = -1;
        QTimer::singleShot(500, &window, [&] {
            escaped = pacer.now();
            QTest::keyClick(&window, Qt::Key_Escape);
        });
        socket.sendTextMessage(
            R"({"jsonrpc":"2.0","id":1,"method":"run","params":{"text":"8,1000"}})");
        QTRY_VERIFY_WITH_TIMEOUT(answered >= 0, 5000);
        QVERIFY(escaped >= 0);
        // The page hears that the person at the arm stopped it, as a script does.
        QCOMPARE(answer["error"].toObject()["code"].toInt(), -32002);
        QCOMPARE(told, QString("the user"));
        QVERIFY2(answered - escaped < 0.1, qPrintable(QString::number(answered - escaped)));
        QVERIFY(!session.model().moving(pacer.now()));
    }

    void blocks_page_needs_the_local_interface() {
        EventPacer pacer;
        EmulatedBus usb{[&pacer] { return pacer.now(); }, hub_and_arm()};
        ArmSession session{usb, pacer, ArmSource::virtual_arm};
        BlocksBox box(
            session, [] { return QString(); }, []() -> ArmServer* { return nullptr; }, nullptr);
        box.findChild<QPushButton*>("blocks")->click();
        QVERIFY(box.address().isEmpty());
        QVERIFY(box.findChild<QLabel*>()->text().contains("local interface"));
    }
};

QTEST_MAIN(BlocksPageWindowTest)
#include "blocks_page_window_test.moc"
