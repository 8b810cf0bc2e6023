#include <unistd.h>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "armlink/arm_device.h"
#include "motion/event_pacer.h"
#include "server/arm_server.h"
#include "support/arm_bytes.h"
#include "usb/emulated_bus.h"

using namespace quillmar;
using quillmar::testing::sent_commands;

namespace {

// The server on the emulated arm in real time, listening in a folder of the test's own, with a
// peer check that says whatever `peer_uid` says.
struct Bench {
    Bench() {
        session.start_up();
        QVERIFY(server.listen(path()).isEmpty());
    }
    QString path() const { return folder.filePath(QStringLiteral("arm.sock")); }

    // Gone after the server, which lets go of its lock file in it.
    QTemporaryDir folder;
    EventPacer pacer;
    EmulatedBus usb{[this] { return pacer.now(); }, hub_and_arm()};
    ArmSession session{usb, pacer, ArmSource::virtual_arm};
    ArmClient hand{session, ClientKind::main_window, QStringLiteral("the main window")};
    std::optional<uid_t> peer_uid = ::getuid();
    ArmServer server{session, [this](qintptr) -> std::optional<Peer> {
                         if (!peer_uid) {
                             return std::nullopt;
                         }
                         return Peer{*peer_uid, ::getpid()};
                     }};
};

// A script's end of the socket.
struct Script {
    explicit Script(const QString& path) { socket.connectToServer(path); }

    void send(const QByteArray& bytes) { socket.write(bytes); }
    void call(const QString& method, const QJsonObject& params = {}) {
        send(QJsonDocument(
                 QJsonObject{
                     {"jsonrpc", "2.0"}, {"id", ++id}, {"method", method}, {"params", params}})
                 .toJson(QJsonDocument::Compact) +
             '\n');
    }
    // The next reply or error, skipping notifications; empty once the server closed.
    QJsonObject reply(int ms = 5000) {
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            if (socket.canReadLine()) {
                const QJsonObject message = QJsonDocument::fromJson(socket.readLine()).object();
                if (message.contains("id")) {
                    return message;
                }
                continue;
            }
            if (socket.state() != QLocalSocket::ConnectedState) {
                return {};
            }
            QTest::qWait(1);
        }
        return {{"timeout", true}};
    }

    QLocalSocket socket;
    int id = 0;
};

}  // namespace

class ArmServerTest : public QObject {
    Q_OBJECT
  private slots:
    void bad_input_data();
    void bad_input();
    void flood();
    void move_ends_at_once_data();
    void move_ends_at_once();
    void only_this_user_data();
    void only_this_user();
};

// Every bad line is answered with an error, or the connection closes; the server still answers
// the next request, and nothing moved.
void ArmServerTest::bad_input_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("code");  // 0: the connection is closed
    const auto move = [](const char* params) {
        return QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"move","params":)") + params + "}";
    };
    QTest::newRow("malformed") << QByteArray("{\"jsonrpc\":") << rpc_code::parse_error;
    QTest::newRow("not an object") << QByteArray("[1,2]") << rpc_code::invalid_request;
    QTest::newRow("no version") << QByteArray(R"({"id":1,"method":"state"})")
                                << rpc_code::invalid_request;
    QTest::newRow("id an object") << QByteArray(R"({"jsonrpc":"2.0","id":{},"method":"state"})")
                                  << rpc_code::invalid_request;
    QTest::newRow("unknown method")
        << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"fly"})") << rpc_code::method_not_found;
    QTest::newRow("params by position") << move(R"(["grip",1])") << rpc_code::invalid_params;
    QTest::newRow("unknown param")
        << move(R"({"motor":1,"seconds":1,"speed":2})") << rpc_code::invalid_params;
    QTest::newRow("no seconds") << move(R"({"motor":1})") << rpc_code::invalid_params;
    QTest::newRow("seconds as text")
        << move(R"({"motor":1,"seconds":"1"})") << rpc_code::invalid_params;
    QTest::newRow("negative seconds")
        << move(R"({"motor":1,"seconds":-1})") << rpc_code::invalid_params;
    QTest::newRow("beyond the limit")
        << move(R"({"motor":1,"seconds":15.01})") << rpc_code::invalid_params;
    QTest::newRow("light is no motor")
        << move(R"({"motor":0,"seconds":1})") << rpc_code::invalid_params;
    QTest::newRow("fraction of a motor")
        << move(R"({"motor":1.5,"seconds":1})") << rpc_code::invalid_params;
    QTest::newRow("unknown motor")
        << move(R"({"motor":"tail","seconds":1})") << rpc_code::invalid_params;
    QTest::newRow("bad direction")
        << QByteArray(
               R"({"jsonrpc":"2.0","id":1,"method":"run","params":{"text":"1,1","direction":"up"}})")
        << rpc_code::invalid_params;
    QTest::newRow("too deep") << QByteArray(5000, '[') << rpc_code::parse_error;
    QTest::newRow("longer than 1 MiB") << QByteArray(longest_message + 10, ' ') << 0;
}

void ArmServerTest::bad_input() {
    QFETCH(QByteArray, line);
    QFETCH(int, code);
    Bench bench;
    Script script(bench.path());
    bench.usb.clear_logs();
    script.send(line + '\n');
    const QJsonObject reply = script.reply();
    QCOMPARE(reply.value("error").toObject().value("code").toInt(), code);
    if (code == 0) {
        QTRY_COMPARE(script.socket.state(), QLocalSocket::UnconnectedState);
        // The window goes on answering others.
        Script other(bench.path());
        other.call("state");
        QCOMPARE(other.reply().value("result").toObject().value("state"), "idle");
    } else {
        script.call("state");
        QCOMPARE(script.reply().value("result").toObject().value("state"), "idle");
    }
    QCOMPARE(sent_commands(bench.usb), QStringList());
}

// A script that sends faster than it reads gets its answers in turns with the window's events,
// and is let go once it has left too many of them unread; the window never stops answering.
void ArmServerTest::flood() {
    Bench bench;
    Script script(bench.path());
    // It reads no more than this of its answers.
    script.socket.setReadBufferSize(1024);
    QByteArray requests;
    for (int i = 0; i < 100000; ++i) {
        requests += R"({"jsonrpc":"2.0","id":1,"method":"state"})"
                    "\n";
    }
    script.send(requests);
    QElapsedTimer since_tick;
    qint64 longest_gap = 0;
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout,
                     [&] { longest_gap = std::max(longest_gap, since_tick.restart()); });
    since_tick.start();
    ticks.start(5);
    QTRY_COMPARE_WITH_TIMEOUT(script.socket.state(), QLocalSocket::UnconnectedState, 20000);
    QVERIFY2(longest_gap < 200, qPrintable(QString::number(longest_gap)));
    Script other(bench.path());
    other.call("state");
    QCOMPARE(other.reply().value("result").toObject().value("state"), "idle");
}

// A movement asked for by a script ends with its stop command at once when the script goes or
// the window's Stop is pressed; a second script meanwhile may watch but not drive.
void ArmServerTest::move_ends_at_once_data() {
    QTest::addColumn<QString>("method");
    QTest::addColumn<QJsonObject>("params");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("ended");
    const QJsonObject move{{"motor", "elbow up"}, {"seconds", 5}};
    QTest::newRow("script disconnects") << "move" << move << "disconnect"
                                        << "";
    QTest::newRow("window's Stop") << "move" << move << "stop"
                                   << "stopped";
    QTest::newRow("second script's stop") << "move" << move << "other stop"
                                          << "stopped";
    QTest::newRow("script running disconnects")
        << "run" << QJsonObject{{"text", "6,500"}} << "disconnect"
        << "";
}

void ArmServerTest::move_ends_at_once() {
    QFETCH(QString, method);
    QFETCH(QJsonObject, params);
    QFETCH(QString, how);
    QFETCH(QString, ended);
    Bench bench;
    Script script(bench.path());
    Script other(bench.path());
    bench.usb.clear_logs();
    double cut = 0;
    QStringList other_replies;
    QTimer::singleShot(300, [&] {
        other.call("move", {{"motor", "grip"}, {"seconds", 1}});
        other_replies << other.reply().value("error").toObject().value("message").toString();
        other.call("state");
        other_replies << other.reply().value("result").toObject().value("state").toString();
        cut = bench.pacer.now();
        if (how == "disconnect") {
            script.socket.abort();
        } else if (how == "stop") {
            bench.hand.stop();
        } else {
            other.call("stop");
        }
    });
    script.call(method, params);
    const QJsonObject reply = script.reply(8000);
    QCOMPARE(reply.value("result").toObject().value("ended").toString(), ended);
    QVERIFY(other_replies.value(0).startsWith("Another script drives the arm: "));
    QCOMPARE(other_replies.value(1), method == "run" ? "running" : "moving_by_hand");
    const auto& sent = bench.usb.transfers();
    QVERIFY(sent.size() >= 2);
    QCOMPARE(sent_commands(bench.usb).mid(0, 2), QStringList({"16,0,0", "0,0,0"}));
    QVERIFY2(sent.at(1).time - cut < 0.05, qPrintable(QString::number(sent.at(1).time - cut)));
    QTRY_COMPARE(bench.session.state(), ArmSession::State::idle);
}

// The kernel's word on who connected decides: only this user is answered.
void ArmServerTest::only_this_user_data() {
    QTest::addColumn<std::optional<uid_t>>("peer");
    QTest::addColumn<bool>("answered");
    QTest::newRow("this user") << std::optional<uid_t>(::getuid()) << true;
    QTest::newRow("another user") << std::optional<uid_t>(::getuid() + 1) << false;
    QTest::newRow("no credentials") << std::optional<uid_t>() << false;
}

void ArmServerTest::only_this_user() {
    QFETCH(std::optional<uid_t>, peer);
    QFETCH(bool, answered);
    Bench bench;
    bench.peer_uid = peer;
    Script script(bench.path());
    script.call("move", {{"motor", 1}, {"seconds", 0.1}});
    const QJsonObject reply = script.reply();
    QCOMPARE(reply.contains("result"), answered);
    QCOMPARE(sent_commands(bench.usb).isEmpty(), !answered);
    // The socket and its folder are this user's alone.
    QCOMPARE(QFileInfo(bench.path()).permissions() & 0x0077, QFileDevice::Permissions());
}

QTEST_MAIN(ArmServerTest)
#include "arm_server_test.moc"
