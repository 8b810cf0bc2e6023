// quillmar serve holding the arm that umockdev emulates behind the real libusb, with other
// processes beside it: one process per arm, a run handed to the serving process, and an arm that
// stops taking commands for a while. Every child inherits the testbed with the environment (its
// folder and the preloaded library), and this process answers all their requests, in order.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>

#include "armlink/arm_device.h"
#include "server/json_rpc.h"
#include "support/emulation.h"
#include "umockdev/umockdev_bus.h"

using namespace quillmar::testing;

namespace {

constexpr int arm_bus = 1;
constexpr int arm_address = 2;

// A quillmar child process with no display, its lock and socket in `folder`; its output is
// gathered as it comes.
class Quillmar {
  public:
    Quillmar(const QString& folder, const QStringList& arguments, const QString& socket = {}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name :
             {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QUILLMAR_SOCKET"}) {
            environment.remove(QString::fromLatin1(name));
        }
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder);
        // The user's own settings (soft limits, speeds) stay out of the test.
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), folder);
        if (!socket.isEmpty()) {
            environment.insert(QStringLiteral("QUILLMAR_SOCKET"), socket);
        }
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(folder);
        // A shell that starts the tests in the background leaves SIGINT ignored for its children.
        process.setChildProcessModifier([] { std::signal(SIGINT, SIG_DFL); });
        process.start(QStringLiteral(QUILLMAR_BINARY), arguments);
    }
    ~Quillmar() {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            process.waitForFinished(5000);
        }
    }
    Quillmar(const Quillmar&) = delete;
    Quillmar& operator=(const Quillmar&) = delete;

    qint64 pid() const { return process.processId(); }

    // Waits until standard output or error holds `text`.
    bool wait_for_output(const QByteArray& text, int ms = 10'000) {
        return wait_until([&] { return out.contains(text); }, ms);
    }
    bool wait_for_error(const QByteArray& text, int ms = 10'000) {
        return wait_until([&] { return err.contains(text); }, ms);
    }

    // The exit code once it ended by itself, or -1.
    int finish(int ms = 30'000) {
        wait_until([&] { return process.state() == QProcess::NotRunning; }, ms);
        return process.state() == QProcess::NotRunning &&
                       process.exitStatus() == QProcess::NormalExit
                   ? process.exitCode()
                   : -1;
    }

    QByteArray out;
    QByteArray err;

  private:
    bool wait_until(const std::function<bool()>& done, int ms) {
        QDeadlineTimer deadline(ms);
        while (!done() && !deadline.hasExpired()) {
            process.waitForReadyRead(20);
            out += process.readAllStandardOutput();
            err += process.readAllStandardError();
        }
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return done();
    }

    QProcess process;
};

// A script on the local interface: requests, their answers and the notifications between them.
class Script {
  public:
    explicit Script(const QString& path) {
        socket.connectToServer(path);
        socket.waitForConnected(5000);
    }

    // Sends a request and leaves its answer for answer().
    int send(const QString& method, const QJsonObject& params = {}) {
        const int id = ++last_id;
        socket.write(quillmar::request_message(id, method, params));
        socket.flush();
        return id;
    }

    QJsonObject answer(int id, int ms = 15'000) {
        QDeadlineTimer deadline(ms);
        while (!answers.contains(id) && !deadline.hasExpired()) {
            while (socket.canReadLine()) {
                const QJsonObject message = QJsonDocument::fromJson(socket.readLine()).object();
                if (message.contains("id")) {
                    answers.insert(message.value("id").toInt(), message);
                } else {
                    notifications << message;
                }
            }
            socket.waitForReadyRead(20);
        }
        return answers.take(id);
    }

    QJsonObject call(const QString& method, const QJsonObject& params = {}) {
        return answer(send(method, params));
    }

    // Reads what came for `ms`.
    void listen(int ms) { answer(0, ms); }

    QString state() {
        return call(QStringLiteral("state")).value("result").toObject().value("state").toString();
    }

    QList<QJsonObject> notifications;

  private:
    QLocalSocket socket;
    int last_id = 0;
    QHash<int, QJsonObject> answers;
};

QString error_text(const QJsonObject& reply) {
    return reply.value("error").toObject().value("message").toString();
}

// The arm commands that reached the emulated arm, as hex.
QByteArrayList commands_of(const UmockdevBus& bus) {
    QByteArrayList commands;
    for (const DeviceRequest& request : bus.vendor_transfers()) {
        commands << QByteArray(reinterpret_cast<const char*>(request.data.data()),
                               static_cast<qsizetype>(request.data.size()))
                        .toHex();
    }
    return commands;
}

// How often the arm was set up to be driven: a process that drives it claims its interface.
qsizetype claims_of(const UmockdevBus& bus) {
    const auto requests = bus.requests();
    return std::count_if(requests.begin(), requests.end(), [](const DeviceRequest& request) {
        return request.kind == DeviceRequest::Kind::claim_interface;
    });
}

bool write_file(const QString& name, const QByteArray& bytes) {
    QFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

}  // namespace

class ServingArmTest : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void a_second_process_is_refused_the_arm_data();
    void a_second_process_is_refused_the_arm();
    void run_is_handed_to_serve_data();
    void run_is_handed_to_serve();
    void serve_keeps_stopping_an_arm_that_does_not_answer_data();
    void serve_keeps_stopping_an_arm_that_does_not_answer();
    void run_ends_at_a_stop_not_taken_data();
    void run_ends_at_a_stop_not_taken();
    void serve_notices_an_unplug_at_once_data();
    void serve_notices_an_unplug_at_once();

  private:
    QString socket() const { return dir.filePath(QStringLiteral("quillmar/arm.sock")); }
    // `quillmar serve`, attached to the arm.
    std::unique_ptr<Quillmar> serve_the_arm();

    QTemporaryDir dir;
};

void ServingArmTest::init() {
    if (under_emulation()) {
        QSKIP("an emulated test cannot start a child process");
    }
    QVERIFY(write_file(dir.filePath(QStringLiteral("three.rob")), "1,50\r\n6,20\r\n0,\r\n"));
}

std::unique_ptr<Quillmar> ServingArmTest::serve_the_arm() {
    auto serve = std::make_unique<Quillmar>(dir.path(), QStringList{"serve"});
    if (!serve->wait_for_error("quillmar: serving at")) {
        qWarning("serve did not start: %s", serve->err.constData());
        return nullptr;
    }
    return serve;
}

// Another process that attaches the arm that one drives is refused, named the process that
// drives it, and never sets the arm up.
void ServingArmTest::a_second_process_is_refused_the_arm_data() {
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<QStringList>("second");
    const QStringList serve{"serve"};
    const QStringList run{"run", "three.rob"};
    QTest::newRow("a second serve, asked to attach") << serve << serve;
    QTest::newRow("run beside serve, with no interface to hand to") << serve << run;
    QTest::newRow("run beside run") << QStringList{"run", "long.rob"} << run;
}

void ServingArmTest::a_second_process_is_refused_the_arm() {
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);
    QVERIFY(write_file(dir.filePath(QStringLiteral("long.rob")), "1,300\r\n"));
    UmockdevBus bus(quillmar::hub_and_arm());
    std::unique_ptr<Quillmar> driving;
    if (first.first() == QLatin1String("serve")) {
        driving = serve_the_arm();
        QVERIFY(driving);
    } else {
        driving = std::make_unique<Quillmar>(dir.path(), first);
        QVERIFY(driving->wait_for_output("Arm attached"));
    }
    const QString holder =
        QStringLiteral("Quillmar (process %1) drives this arm").arg(driving->pid());

    // Its own socket, so that it finds no Quillmar to hand a run to.
    const QString other_socket = dir.filePath(QStringLiteral("other.sock"));
    Quillmar other(dir.path(), second, other_socket);
    if (second.first() == QLatin1String("serve")) {
        QVERIFY(other.wait_for_error("quillmar: serving at"));
        Script script(other_socket);
        QCOMPARE(script.state(), QStringLiteral("no_arm"));
        QCOMPARE(error_text(script.call(QStringLiteral("attach"))),
                 QStringLiteral("Could not attach\n") + holder);
    } else {
        QCOMPARE(other.finish(), 3);
        QVERIFY2(other.out.contains("Could not attach\n" + holder.toUtf8()), other.out.constData());
        QCOMPARE(other.err, "quillmar: no arm attached: " + holder.toUtf8() + '\n');
    }
    QCOMPARE(claims_of(bus), 1);
}

// quillmar run while serve holds the arm: the program goes to the serving process, which sends
// its commands in order; a script there and the run never send commands in between each other.
void ServingArmTest::run_is_handed_to_serve_data() {
    QTest::addColumn<QString>("script");  // what a script on the interface does meanwhile
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArrayList>("commands");

    // The arm stays attached to serve after the run, its light on.
    const QByteArrayList program{"010000", "000000", "100000", "000000", "000001"};
    QTest::newRow("alone") << QString() << 0 << program;
    QTest::newRow("a script moves during the run") << QStringLiteral("move during") << 0 << program;
    // The script drives until it lets go of the arm: the run is refused and sends nothing.
    QTest::newRow("the run while a script drives")
        << QStringLiteral("move before") << 3 << QByteArrayList{"200000", "000000"};
}

void ServingArmTest::run_is_handed_to_serve() {
    QFETCH(QString, script);
    QFETCH(int, code);
    QFETCH(QByteArrayList, commands);
    UmockdevBus bus(quillmar::hub_and_arm());
    const auto serve = serve_the_arm();
    QVERIFY(serve);
    Script other(socket());
    // A connection answers one request after another: the state is watched on one of its own.
    Script watcher(socket());
    const QJsonObject elbow_down{{"motor", "elbow down"}, {"seconds", 1.0}};
    int moving = 0;
    if (script == QLatin1String("move before")) {
        moving = other.send(QStringLiteral("move"), elbow_down);
        QTRY_COMPARE(watcher.state(), QStringLiteral("moving_by_hand"));
    }

    Quillmar run(dir.path(), {"run", "three.rob"});
    if (script == QLatin1String("move during")) {
        QTRY_COMPARE(watcher.state(), QStringLiteral("running"));
        QCOMPARE(
            error_text(other.call(QStringLiteral("move"), elbow_down)),
            QStringLiteral("Another script drives the arm: quillmar (process %1)").arg(run.pid()));
    }
    QCOMPARE(run.finish(), code);
    if (moving != 0) {
        QVERIFY(other.answer(moving).contains("result"));
    }
    if (code == 0) {
        QVERIFY2(run.out.startsWith("The Quillmar that drives the arm runs the program"),
                 run.out.constData());
        QVERIFY(run.out.contains("Step 3 of 3"));
    } else {
        QCOMPARE(run.err, "quillmar: Another script drives the arm: serving_arm_test (process " +
                              QByteArray::number(QCoreApplication::applicationPid()) + ")\n");
    }
    QCOMPARE(commands_of(bus), commands);
    QCOMPARE(claims_of(bus), 1);
}

// The arm stops taking commands as a movement's stop goes out: serve says so on standard error
// and over the interface, refuses movements, and sends the stop again about once a second until
// the arm takes it some seconds later. An arm that goes first has not taken it, and serve says so.
void ServingArmTest::serve_keeps_stopping_an_arm_that_does_not_answer_data() {
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<double>("outage");   // seconds from the first stop
    QTest::addColumn<QString>("ending");  // what ends it first: the arm pulled out, a release
    QTest::addColumn<QByteArray>("line");
    const QByteArray taken = "quillmar: the arm took the stop command\n";
    const QByteArray not_taken =
        "quillmar: the arm went before it took the stop command: switch it off\n";
    QTest::newRow("transfers fail") << Fault::protocol_error << 4.5 << QString() << taken;
    QTest::newRow("transfers time out") << Fault::time_out << 4.5 << QString() << taken;
    QTest::newRow("the arm pulled out") << Fault::protocol_error << 60.0 << "unplug" << not_taken;
    QTest::newRow("a script releases the arm")
        << Fault::protocol_error << 60.0 << "release" << not_taken;
}

void ServingArmTest::serve_keeps_stopping_an_arm_that_does_not_answer() {
    QFETCH(Fault, fault);
    QFETCH(double, outage);
    QFETCH(QString, ending);
    QFETCH(QByteArray, line);
    UmockdevBus bus(quillmar::hub_and_arm());
    const auto serve = serve_the_arm();
    QVERIFY(serve);
    Script script(socket());
    bus.fail_for(arm_bus, arm_address, fault, outage, 1);
    const QJsonObject move =
        script.call(QStringLiteral("move"), QJsonObject{{"motor", "grip"}, {"seconds", 0.5}});
    QVERIFY2(error_text(move).contains(QStringLiteral("did not take the stop command")),
             qPrintable(error_text(move)));
    QVERIFY(serve->wait_for_error("quillmar: not responding: a motor may be running", 2000));
    QCOMPARE(script.state(), QStringLiteral("not_responding"));
    QCOMPARE(error_text(script.call(QStringLiteral("move"),
                                    QJsonObject{{"motor", "open"}, {"seconds", 0.5}})),
             QStringLiteral("Not responding: a motor may be running"));

    if (ending == QLatin1String("unplug")) {
        bus.unplug(arm_bus, arm_address);
    } else if (ending == QLatin1String("release")) {
        script.call(QStringLiteral("release"));
    }
    QVERIFY2(serve->wait_for_error(line, 10'000), serve->err.constData());
    QCOMPARE(serve->err.count("not responding"), 1);
    if (!ending.isEmpty()) {
        QCOMPARE(script.state(), QStringLiteral("no_arm"));
        QVERIFY(!serve->err.contains("the arm took the stop command"));
        return;
    }
    QCOMPARE(script.state(), QStringLiteral("idle"));
    // Taken once, the stop goes no more.
    const QByteArrayList sent = commands_of(bus);
    QTest::qWait(1500);
    QCOMPARE(commands_of(bus).size(), sent.size());
    // A transfer that failed is logged without its data.
    QCOMPARE(sent.first(), QByteArray("010000"));
    QCOMPARE(sent.last(), QByteArray("000000"));
    QVERIFY(std::all_of(sent.begin() + 1, sent.end(), [](const QByteArray& bytes) {
        return bytes == "000000" || bytes.isEmpty();
    }));
    const std::string resent = stop_resent_each_second(bus.vendor_transfers(), outage);
    QVERIFY2(resent.empty(), resent.c_str());
}

// A run whose stop the arm did not take ends there, never starts its next step, says so, and
// exits 4, whether the arm answers again soon or not, on its own or handed to serve.
void ServingArmTest::run_ends_at_a_stop_not_taken_data() {
    QTest::addColumn<bool>("handed");
    QTest::addColumn<double>("outage");
    QTest::newRow("the arm answers again 2.5 s later") << false << 2.5;
    QTest::newRow("the arm answers no more") << false << 60.0;
    QTest::newRow("handed to serve, the arm answers again 2.5 s later") << true << 2.5;
}

void ServingArmTest::run_ends_at_a_stop_not_taken() {
    QFETCH(bool, handed);
    QFETCH(double, outage);
    UmockdevBus bus(quillmar::hub_and_arm());
    std::unique_ptr<Quillmar> serve;
    if (handed) {
        serve = serve_the_arm();
        QVERIFY(serve);
    }
    bus.fail_for(arm_bus, arm_address, Fault::protocol_error, outage, 1);
    Quillmar run(dir.path(), {"run", "three.rob"});
    QCOMPARE(run.finish(), 4);
    QVERIFY2(run.out.contains("Step 1 of 3"), run.out.constData());
    QVERIFY2(run.out.contains("Run ended: the arm did not take the stop command\n"),
             run.out.constData());
    QVERIFY(!run.out.contains("Step 2"));
    QVERIFY(!run.out.contains("Run finished"));
    const QByteArrayList sent = commands_of(bus);
    QCOMPARE(sent.first(), QByteArray("010000"));
    QVERIFY(!sent.contains("100000"));
}

// An arm pulled out is told within a quarter of a second, as the window tells it, with one line.
void ServingArmTest::serve_notices_an_unplug_at_once_data() {
    QTest::addColumn<bool>("holding");
    QTest::newRow("idle") << false;
    QTest::newRow("a script holds a motor") << true;
}

void ServingArmTest::serve_notices_an_unplug_at_once() {
    QFETCH(bool, holding);
    UmockdevBus bus(quillmar::hub_and_arm());
    const auto serve = serve_the_arm();
    QVERIFY(serve);
    Script script(socket());
    QVERIFY(script.call(QStringLiteral("subscribe")).contains("result"));
    if (holding) {
        QVERIFY(script.call(QStringLiteral("hold"), {{"motor", "grip"}}).contains("result"));
    }
    QTest::qWait(300);
    const double unplugged =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    bus.unplug(arm_bus, arm_address);
    // Long enough for a second line, were there one.
    script.listen(1500);
    QList<QJsonObject> errors;
    std::copy_if(script.notifications.begin(), script.notifications.end(),
                 std::back_inserter(errors),
                 [](const QJsonObject& message) { return message.value("method") == "error"; });
    QCOMPARE(errors.size(), 1);
    const QJsonObject line = errors.first().value("params").toObject();
    QVERIFY2(line.value("text").toString().endsWith(QStringLiteral("Return value -19")),
             qPrintable(line.value("text").toString()));
    const double noticed = line.value("time").toDouble() - unplugged;
    qInfo("serve noticed the unplug after %.0f ms", noticed * 1000);
    QVERIFY2(noticed >= 0 && noticed <= 0.25 + 0.15, qPrintable(QString::number(noticed)));
    QCOMPARE(script.state(), QStringLiteral("no_arm"));
}

int main(int argc, char** argv) {
    run_under_umockdev(argv);
    QCoreApplication app(argc, argv);
    ServingArmTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "serving_arm_test.moc"
