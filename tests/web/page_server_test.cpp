// The blocks page's server on the loopback interface: refusals over HTTP and the WebSocket, the
// page's files and nothing else, and a page that closes or falls silent stops its run.
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

#include "armlink/arm_device.h"
#include "motion/event_pacer.h"
#include "server/arm_server.h"
#include "support/arm_bytes.h"
#include "usb/emulated_bus.h"
#include "web/page_server.h"

using namespace quillmar;

namespace {

struct Bench {
    Bench() {
        QDir(page.path()).mkpath("sub");
        write(page.filePath("index.html"), "<p>page</p>");
        write(page.filePath("sub/a.js"), "let a;");
        write(outside.filePath("secret.txt"), "secret");
        QFile::link(outside.filePath("secret.txt"), page.filePath("secret.txt"));
        session.start_up();
        blocks = std::make_unique<PageServer>(session, server, page.path());
        [this] { QVERIFY(blocks->listen().isEmpty()); }();
    }
    static void write(const QString& name, const QByteArray& bytes) {
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QByteArray port() const { return QByteArray::number(blocks->port()); }
    QByteArray token() const { return blocks->address().section("token=", 1).toLatin1(); }
    QByteArray cookie() const { return "quillmar_token_" + port() + '=' + token(); }

    // The answer to `request` sent as it is, until the server closes.
    QByteArray ask(const QByteArray& request, const QHostAddress& to = QHostAddress::LocalHost) {
        QTcpSocket socket;
        socket.connectToHost(to, blocks->port());
        socket.write(request);
        QByteArray answer;
        QDeadlineTimer deadline(5000);
        while (socket.state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired()) {
            QTest::qWait(2);
            answer += socket.readAll();
            if (answer.contains("\r\n\r\n") && answer.startsWith("HTTP/1.1 101")) {
                break;
            }
        }
        return answer + socket.readAll();
    }

    // Seconds on the pacer's clock at which the arm took its first stop after `after`; -1 when
    // it took none within `ms`.
    double stop_time(double after, int ms) {
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            for (const auto& transfer : usb.transfers()) {
                if (transfer.time > after && transfer.result >= 0 && transfer.data.size() == 3 &&
                    transfer.data[0] == 0 && transfer.data[1] == 0) {
                    return transfer.time;
                }
            }
            QTest::qWait(2);
        }
        return -1;
    }
    // Waits until the arm took a start command of the motor bits `motor`; its time, or -1.
    double started(int motor, int ms = 5000) {
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            for (const auto& transfer : usb.transfers()) {
                if (transfer.result >= 0 && transfer.data.size() == 3 &&
                    transfer.data[0] == motor) {
                    return transfer.time;
                }
            }
            QTest::qWait(1);
        }
        return -1;
    }

    QTemporaryDir page;
    QTemporaryDir outside;
    EventPacer pacer;
    EmulatedBus usb{[this] { return pacer.now(); }, hub_and_arm()};
    ArmSession session{usb, pacer, ArmSource::virtual_arm};
    ArmServer server{session, [](qintptr) -> std::optional<Peer> {
                         return Peer{::getuid(), ::getpid()};
                     }};
    std::unique_ptr<PageServer> blocks;
};

// The page's end of its socket.
struct Page {
    explicit Page(Bench& bench)
        : socket_owned(std::make_unique<QWebSocket>("http://127.0.0.1:" + bench.port())),
          socket(*socket_owned) {
        QNetworkRequest request(QUrl("ws://127.0.0.1:" + bench.port() + "/socket"));
        request.setRawHeader("Cookie", bench.cookie());
        QObject::connect(&socket, &QWebSocket::textMessageReceived,
                         [this](const QString& message) { received << message; });
        socket.open(request);
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::ConnectedState, 5000);
    }
    void call(const QString& method, const QJsonObject& params = {}) {
        socket.sendTextMessage(QJsonDocument(QJsonObject{{"jsonrpc", "2.0"},
                                                         {"id", ++id},
                                                         {"method", method},
                                                         {"params", params}})
                                   .toJson(QJsonDocument::Compact));
    }
    std::unique_ptr<QWebSocket> socket_owned;
    QWebSocket& socket;
    QStringList received;
    int id = 0;
};

}  // namespace

class PageServerTest : public QObject {
    Q_OBJECT
  private slots:
    void answers_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("status");
        // @ stands for the port, % for the token.
        QTest::newRow("the page") << QByteArray(
                                         "GET / HTTP/1.1\r\nHost: 127.0.0.1:@\r\nCookie: "
                                         "quillmar_token_@=%\r\n\r\n")
                                  << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("a file below")
            << QByteArray(
                   "GET /sub/a.js HTTP/1.1\r\nHost: localhost:@\r\nCookie: "
                   "quillmar_token_@=%\r\n\r\n")
            << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("the token kept")
            << QByteArray("GET /?token=% HTTP/1.1\r\nHost: 127.0.0.1:@\r\n\r\n")
            << QByteArray("HTTP/1.1 303 See Other");
        QTest::newRow("without the token")
            << QByteArray("GET / HTTP/1.1\r\nHost: 127.0.0.1:@\r\n\r\n")
            << QByteArray("HTTP/1.1 403 Forbidden");
        QTest::newRow("a foreign host") << QByteArray(
                                               "GET / HTTP/1.1\r\nHost: evil.example:@\r\nCookie: "
                                               "quillmar_token_@=%\r\n\r\n")
                                        << QByteArray("HTTP/1.1 403 Forbidden");
        QTest::newRow("a foreign origin")
            << QByteArray(
                   "GET / HTTP/1.1\r\nHost: 127.0.0.1:@\r\nOrigin: http://evil.example\r\n"
                   "Cookie: quillmar_token_@=%\r\n\r\n")
            << QByteArray("HTTP/1.1 403 Forbidden");
        QTest::newRow("out of the folder")
            << QByteArray(
                   "GET /../secret.txt HTTP/1.1\r\nHost: 127.0.0.1:@\r\nCookie: "
                   "quillmar_token_@=%\r\n\r\n")
            << QByteArray("HTTP/1.1 404 Not Found");
        QTest::newRow("a link out of the folder")
            << QByteArray(
                   "GET /secret.txt HTTP/1.1\r\nHost: 127.0.0.1:@\r\nCookie: "
                   "quillmar_token_@=%\r\n\r\n")
            << QByteArray("HTTP/1.1 404 Not Found");
        QTest::newRow("a socket without the token")
            << QByteArray(
                   "GET /socket HTTP/1.1\r\nHost: 127.0.0.1:@\r\nOrigin: "
                   "http://127.0.0.1:@\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                   "Sec-WebSocket-Version: 13\r\n\r\n")
            << QByteArray("HTTP/1.1 403 Forbidden");
        QTest::newRow("a socket from a foreign origin")
            << QByteArray(
                   "GET /socket HTTP/1.1\r\nHost: 127.0.0.1:@\r\nOrigin: "
                   "http://evil.example\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                   "Sec-WebSocket-Version: 13\r\nCookie: quillmar_token_@=%\r\n\r\n")
            << QByteArray("HTTP/1.1 403 Forbidden");
        QTest::newRow("a socket to a foreign host")
            << QByteArray(
                   "GET /socket HTTP/1.1\r\nHost: evil.example:@\r\nOrigin: "
                   "http://127.0.0.1:@\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                   "Sec-WebSocket-Version: 13\r\nCookie: quillmar_token_@=%\r\n\r\n")
            << QByteArray("HTTP/1.1 403 Forbidden");
        QTest::newRow("the page's socket")
            << QByteArray(
                   "GET /socket HTTP/1.1\r\nHost: 127.0.0.1:@\r\nOrigin: "
                   "http://127.0.0.1:@\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                   "Sec-WebSocket-Version: 13\r\nCookie: quillmar_token_@=%\r\n\r\n")
            << QByteArray("HTTP/1.1 101 Switching Protocols");
    }
    void answers() {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, status);
        Bench bench;
        request.replace('@', bench.port()).replace('%', bench.token());
        for (const QHostAddress& to :
             {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)}) {
            const QByteArray answer = bench.ask(request, to);
            QCOMPARE(answer.left(answer.indexOf("\r\n")), status);
            // Qt's WebSocket handshake names the origin that was checked before it; browsers
            // read no CORS headers on a WebSocket.
            if (!status.contains("101")) {
                QVERIFY(!answer.toLower().contains("access-control-allow"));
                QVERIFY(answer.contains("Content-Security-Policy: default-src 'self'"));
            }
        }
    }

    void token_kept_in_a_strict_cookie() {
        Bench bench;
        const QByteArray answer =
            bench.ask("GET /?token=" + bench.token() +
                      " HTTP/1.1\r\nHost: 127.0.0.1:" + bench.port() + "\r\n\r\n");
        QVERIFY(answer.contains("Set-Cookie: " + bench.cookie() +
                                "; Path=/; HttpOnly; SameSite=Strict\r\n"));
        QVERIFY(answer.contains("Location: /\r\n"));
    }

    void each_start_has_its_own_token() {
        Bench first;
        Bench second;
        QVERIFY(first.token() != second.token());
        QVERIFY(first.port() != second.port());
    }

    void page_compiles_its_blocks() {
        Bench bench;
        Page page(bench);
        QString refusal;
        page.call("compile", {{"workspace", blocks_of_program("8,60\r\n0,\r\n", false, &refusal)}});
        QTRY_VERIFY_WITH_TIMEOUT(!page.received.isEmpty(), 5000);
        const QJsonObject result =
            QJsonDocument::fromJson(page.received.front().toUtf8()).object()["result"].toObject();
        QCOMPARE(result["text"].toString(), QString("8,60\r\n0,\r\n"));
        QCOMPARE(static_cast<float>(result["seconds"].toDouble()), 1.1F);
        QCOMPARE(result["end"].toObject()["light"].toBool(), true);
    }

    // The page's run goes over the local interface, and ends when the page does. The run waits
    // beneath the test's own waits, so the page acts from timers.
    void page_that_goes_stops_its_run_data() {
        QTest::addColumn<bool>("closes");
        QTest::addColumn<double>("earliest");
        QTest::addColumn<double>("latest");
        QTest::newRow("the tab closed") << true << 0.0 << 0.1;
        QTest::newRow("no heartbeat for a second") << false << 0.9 << 1.3;
    }
    void page_that_goes_stops_its_run() {
        QFETCH(bool, closes);
        QFETCH(double, earliest);
        QFETCH(double, latest);
        Bench bench;
        Page page(bench);
        double last_heard = bench.pacer.now();
        QTimer::singleShot(300, &page.socket, [&] {
            if (closes) {
                last_heard = bench.pacer.now();
                page.socket.close();
            }
        });
        page.call("run", {{"text", "8,1000"}});
        const double start = bench.started(64);
        QVERIFY(start >= 0);
        const double stop = bench.stop_time(start, 3000);
        QVERIFY(stop >= 0);
        QVERIFY2(stop - last_heard >= earliest && stop - last_heard <= latest,
                 qPrintable(QString::number(stop - last_heard)));
    }

    // The time a request has to be whole is not a page's life.
    void page_outlives_an_unfinished_requests_time() {
        Bench bench;
        Page page(bench);
        QTimer beat;
        QObject::connect(&beat, &QTimer::timeout, &page.socket, [&page] {
            page.socket.sendTextMessage(R"({"jsonrpc":"2.0","method":"heartbeat"})");
        });
        beat.start(250);
        QTest::qWait(5500);
        page.call("opening");
        QTRY_VERIFY_WITH_TIMEOUT(!page.received.isEmpty(), 2000);
    }

    void unfinished_request_dropped() {
        Bench bench;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, bench.blocks->port());
        socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1:");
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 7000);
    }

    void heartbeat_keeps_the_run() {
        Bench bench;
        Page page(bench);
        QTimer beat;
        QObject::connect(&beat, &QTimer::timeout, &page.socket, [&page] {
            page.socket.sendTextMessage(R"({"jsonrpc":"2.0","method":"heartbeat"})");
        });
        beat.start(250);
        page.call("run", {{"text", "8,150"}});
        const double start = bench.started(64);
        QVERIFY(start >= 0);
        const double stop = bench.stop_time(start, 3000);
        QVERIFY2(std::abs(stop - start - 1.5) < 0.05, qPrintable(QString::number(stop - start)));
    }
};

QTEST_GUILESS_MAIN(PageServerTest)
#include "page_server_test.moc"
