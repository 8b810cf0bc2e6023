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
#include "server/json_rpc.h"
#include "support/arm_bytes.h"
#include "usb/emulated_bus.h"

using namespace quillmar;
using quillmar::testing::sent_commands;

namespace {

// The server on the emulated arm in real time, listening in a folder of the test's own, with a
// peer check that says whatever `peer_uid` says.
struct Bench {
    explicit Bench(ServerLimits limits = {}) : limits(limits) {
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
    ServerLimits limits;
    ArmServer server{session,
                     [this](qintptr) -> std::optional<Peer> {
                         if (!peer_uid) {
                             return std::nullopt;
                         }
                         return Peer{*peer_uid, ::getpid()};
                     },
                     limits};
};

// A script's end of the socket.
struct Script {
    explicit Script(const QString& path) { socket.connectToServer(path); }

    void send(const QByteArray& bytes) { socket.write(bytes); }
    void call(const QString& method, const QJsonObject& params = {}) {
        send(request_message(++id, method, params));
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
                heard << message.value("method").toString();
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
    QStringList heard;  // the notifications read meanwhile
};

// A transport of the test's own: messages handed in, lines kept.
class MemoryConnection : public Connection {
  public:
    QString peer() const override { return QStringLiteral("blocks page"); }
    Incoming next() override {
        if (incoming.isEmpty()) {
            return {};
        }
        return {Incoming::Kind::message, incoming.takeFirst()};
    }
    void send_line(const QByteArray& line) override {
        sent << QJsonDocument::fromJson(line).object();
    }
    qint64 unsent() const override { return backlog; }
    void close(bool) override { deleteLater(); }

    void hand_in(const QByteArray& message) {
        incoming << message;
        emit readable();
    }

    QByteArrayList incoming;
    QList<QJsonObject> sent;
    qint64 backlog = 0;
};

}  // namespace

class ArmServerTest : public QObject {
    Q_OBJECT
  private slots:
    void bad_input_data();
    void bad_input();
    void stop_gets_through_data();
    void stop_gets_through();
    void start_not_taken();
    void any_transport();
    void who_drives_data();
    void who_drives();
    void user_stop_wins();
    void dropped_as_answered();
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
    // A line is at most 1 MiB without its line end; a longer one is told, then closed.
    const auto state_of_length = [](qsizetype length, const char* end) {
        QByteArray line = R"({"jsonrpc":"2.0","id":1,"method":"state")";
        return line + QByteArray(length - line.size() - 1, ' ') + '}' + end;
    };
    QTest::newRow("exactly 1 MiB") << state_of_length(longest_message, "") << 1;
    QTest::newRow("exactly 1 MiB, CR LF") << state_of_length(longest_message, "\r") << 1;
    QTest::newRow("1 MiB and a byte") << state_of_length(longest_message + 1, "") << 0;
    QTest::newRow("longer than 1 MiB") << QByteArray(longest_message + 10, ' ') << 0;
    QTest::newRow("a line not ended") << QByteArray(R"({"jsonrpc":"2.0","id":1,"meth)") << 0;
}

// code 1: answered; 0: told it was not read (-32600), then closed.
void ArmServerTest::bad_input() {
    QFETCH(QByteArray, line);
    QFETCH(int, code);
    Bench bench({.unfinished_line_ms = 300});
    Script script(bench.path());
    bench.usb.clear_logs();
    script.send(line.endsWith("meth") ? line : line + '\n');
    const QJsonObject reply = script.reply();
    if (code == 1) {
        QCOMPARE(reply.value("result").toObject().value("state"), "idle");
    } else {
        QCOMPARE(reply.value("error").toObject().value("code").toInt(),
                 code == 0 ? rpc_code::invalid_request : code);
    }
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
    // The window's Stop is the person at the arm's: an error, with how the movement ended.
    const QJsonObject error = reply.value("error").toObject();
    QCOMPARE(error.value("code").toInt(), how == "stop" ? rpc_code::stopped_by_user : 0);
    QCOMPARE((how == "stop" ? error.value("data") : reply.value("result"))
                 .toObject()
                 .value("ended")
                 .toString(),
             ended);
    QVERIFY(other_replies.value(0).startsWith("Another script drives the arm: "));
    QCOMPARE(other_replies.value(1), method == "run" ? "running" : "moving_by_hand");
    const auto& sent = bench.usb.transfers();
    QVERIFY(sent.size() >= 2);
    QCOMPARE(sent_commands(bench.usb).mid(0, 2), QStringList({"16,0,0", "0,0,0"}));
    QVERIFY2(sent.at(1).time - cut < 0.05, qPrintable(QString::number(sent.at(1).time - cut)));
    QTRY_COMPARE(bench.session.state(), ArmSession::State::idle);
}

// Connections that hold their slots with lines never ended keep no one from stopping the arm:
// beyond the most, a connection may still stop it (or ask its state) once; beyond those, none.
void ArmServerTest::stop_gets_through_data() {
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("told");  // what the connection beyond the most is answered
    QTest::addColumn<QString>("ended");
    QTest::newRow("stop") << "stop"
                          << "null"
                          << "stopped";
    QTest::newRow("state") << "state"
                           << "moving_by_hand"
                           << "done";
    QTest::newRow("move refused")
        << "move"
        << "Quillmar serves 2 scripts already: this connection may only stop the arm"
        << "done";
}

void ArmServerTest::stop_gets_through() {
    QFETCH(QString, method);
    QFETCH(QString, told);
    QFETCH(QString, ended);
    Bench bench({.unfinished_line_ms = 60'000, .most_connections = 2, .stop_only_connections = 1});
    Script driver(bench.path());
    Script hostile(bench.path());
    hostile.send(R"({"jsonrpc":"2.0",)");
    QString answer;
    bool beyond_closed = false;
    QTimer::singleShot(300, [&] {
        Script stopper(bench.path());
        Script beyond(bench.path());
        stopper.call(method,
                     method == "move" ? QJsonObject{{"motor", 1}, {"seconds", 1}} : QJsonObject{});
        const QJsonObject reply = stopper.reply();
        answer = reply.contains("error")
                     ? reply.value("error").toObject().value("message").toString()
                 : reply.value("result").isObject()
                     ? reply.value("result").toObject().value("state").toString()
                     : QStringLiteral("null");
        // Once answered, its room goes to the next; the one beyond it had none.
        beyond_closed = beyond.reply(2000).isEmpty();
        QTRY_COMPARE(stopper.socket.state(), QLocalSocket::UnconnectedState);
    });
    driver.call("move", {{"motor", "elbow up"}, {"seconds", 1}});
    QCOMPARE(driver.reply(5000).value("result").toObject().value("ended").toString(), ended);
    QCOMPARE(answer, told);
    QVERIFY(beyond_closed);
}

// A movement whose start command the arm did not take says so, with the error pane's line.
void ArmServerTest::start_not_taken() {
    Bench bench;
    Script script(bench.path());
    bench.usb.fail_next_transfers(1, -5);
    script.call("move", {{"motor", "grip"}, {"seconds", 0.2}});
    const QJsonObject error = script.reply().value("error").toObject();
    QCOMPARE(error.value("code").toInt(), rpc_code::arm_error);
    QVERIFY2(error.value("message").toString().startsWith("The movement did not start\nSent: ("),
             qPrintable(error.value("message").toString()));
    QCOMPARE(error.value("data").toObject(),
             QJsonObject({{"seconds", 0.0}, {"ended", "not started"}}));
}

// A connection of another transport is served with the same methods; every notification carries
// the monotonic time it was sent at.
void ArmServerTest::any_transport() {
    Bench bench;
    QPointer<MemoryConnection> page = new MemoryConnection;
    bench.server.accept(page);
    const double before = bench.pacer.now();
    page->hand_in(R"({"jsonrpc":"2.0","id":1,"method":"subscribe"})");
    page->hand_in(R"({"jsonrpc":"2.0","id":2,"method":"move","params":{"motor":1,"seconds":0.1}})");
    QTRY_VERIFY(std::ranges::any_of(page->sent,
                                    [](const QJsonObject& line) { return line.value("id") == 2; }));
    QCOMPARE(bench.server.driver(), "blocks page");
    const QJsonObject command = *std::ranges::find_if(
        page->sent, [](const QJsonObject& line) { return line.value("method") == "command"; });
    const double time = command.value("params").toObject().value("time").toDouble();
    QVERIFY(time >= before && time <= bench.pacer.now());
    Script script(bench.path());
    script.call("move", {{"motor", 1}, {"seconds", 0.1}});
    QCOMPARE(script.reply().value("error").toObject().value("message"),
             "Another script drives the arm: blocks page");
}

// Whoever moved the arm drives it until it gives up driving or goes; then another may.
void ArmServerTest::who_drives_data() {
    QTest::addColumn<QString>("first_then");
    QTest::addColumn<bool>("second_drives");
    QTest::newRow("first stays") << "state" << false;
    QTest::newRow("first gives up driving") << "release_drive" << true;
    QTest::newRow("first goes") << "close" << true;
}

void ArmServerTest::who_drives() {
    QFETCH(QString, first_then);
    QFETCH(bool, second_drives);
    Bench bench;
    Script first(bench.path());
    Script second(bench.path());
    first.call("move", {{"motor", 1}, {"seconds", 0.05}});
    QVERIFY(first.reply().contains("result"));
    if (first_then == "close") {
        first.socket.abort();
    } else {
        first.call(first_then);
        QVERIFY(first.reply().contains("result"));
    }
    QTRY_COMPARE(bench.server.driver().isEmpty(), first_then != "state");
    second.call("move", {{"motor", 2}, {"seconds", 0.05}});
    QCOMPARE(second.reply().contains("result"), second_drives);
}

// After the person at the arm stopped a script, its movements are refused until it resumes, and
// it heard why.
void ArmServerTest::user_stop_wins() {
    Bench bench;
    Script script(bench.path());
    QTimer::singleShot(200, [&] { bench.hand.stop(); });
    const auto code_of = [&](const QString& method, const QJsonObject& params = {}) {
        script.call(method, params);
        const QJsonObject reply = script.reply();
        return reply.value("error").toObject().value("code").toInt();
    };
    const QJsonObject move{{"motor", "grip"}, {"seconds", 2}};
    QCOMPARE(code_of("move", move), rpc_code::stopped_by_user);
    QCOMPARE(code_of("run", {{"text", "1,10"}}), rpc_code::stopped_by_user);
    QCOMPARE(code_of("resume"), 0);
    QCOMPARE(code_of("move", {{"motor", "grip"}, {"seconds", 0.05}}), 0);
    QCOMPARE(script.heard, QStringList{"stopped"});
}

// A client dropped as its hold is answered (its replies left unread past 4 MiB): the hold ends at
// once.
void ArmServerTest::dropped_as_answered() {
    Bench bench;
    QPointer<MemoryConnection> page = new MemoryConnection;
    bench.server.accept(page);
    bench.usb.clear_logs();
    page->backlog = 5 * 1024 * 1024;
    page->hand_in(R"({"jsonrpc":"2.0","id":1,"method":"hold","params":{"motor":1}})");
    QTRY_VERIFY(page.isNull());
    QCOMPARE(sent_commands(bench.usb), QStringList({"1,0,0", "0,0,0"}));
    const auto& sent = bench.usb.transfers();
    QVERIFY(sent.at(1).time - sent.at(0).time < 0.05);
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
