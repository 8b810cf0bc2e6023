// quillmar run, check and their refusals, as a script or a terminal meets them: the built program
// as a child with no display, on the virtual arm and on the real libusb with an emulated arm.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include <csignal>
#include <functional>

#include "armlink/arm_device.h"
#include "support/emulation.h"
#include "support/hub_and_arm_survey.h"
#include "umockdev/umockdev_bus.h"

using namespace quillmar::testing;

namespace {

struct Outcome {
    int code = -1;
    QByteArray out;
    QByteArray err;
    qint64 ms = 0;
};

// One command: bytes and the time it went out, in seconds.
struct Sent {
    QByteArray bytes;
    double time;
};

// Runs the program with `arguments` in `folder`; `during` gets each line of its standard output as
// it comes, to act on it. With `output_closed` its standard output is a pipe whose reader leaves
// after the first byte.
Outcome run_quillmar(const QStringList& arguments, const QString& folder,
                     const std::function<void(QProcess&, const QByteArray&)>& during = {},
                     bool output_closed = false) {
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    // The arm's lock and the interface's socket in a folder of the test's own: runs of other
    // builds on this computer take the same emulated arm's lock.
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder);
    child.setProcessEnvironment(environment);
    child.setWorkingDirectory(folder);
    // Its own pipe, so that no other program runs with the test's preloaded libraries.
    int output[2] = {-1, -1};
    if (output_closed && ::pipe2(output, O_CLOEXEC) != 0) {
        return {};
    }
    // A shell that starts the tests in the background leaves SIGINT ignored for its children.
    child.setChildProcessModifier([output] {
        std::signal(SIGINT, SIG_DFL);
        if (output[1] >= 0) {
            ::dup2(output[1], STDOUT_FILENO);
        }
    });
    QElapsedTimer timer;
    timer.start();
    child.start(QStringLiteral(QUILLMAR_BINARY), arguments);
    if (output_closed) {
        char first = 0;
        ::close(output[1]);
        [[maybe_unused]] const auto got = ::read(output[0], &first, 1);
        ::close(output[0]);
    }
    Outcome outcome;
    if (!child.waitForStarted()) {
        return outcome;
    }
    while (child.state() != QProcess::NotRunning && timer.elapsed() < 30'000) {
        child.waitForReadyRead(50);
        while (child.canReadLine()) {
            const QByteArray line = child.readLine();
            outcome.out += line;
            if (during) {
                during(child, line);
            }
        }
    }
    child.waitForFinished(1000);
    outcome.out += child.readAllStandardOutput();
    outcome.err = child.readAllStandardError();
    outcome.ms = timer.elapsed();
    outcome.code = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
    return outcome;
}

// The commands of the JSON events.
std::vector<Sent> json_commands(const QByteArray& out) {
    std::vector<Sent> sent;
    for (const QByteArray& line : out.split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        if (event.value(QLatin1String("event")) == QLatin1String("command")) {
            QByteArray bytes;
            for (const auto value : event.value(QLatin1String("bytes")).toArray()) {
                bytes += static_cast<char>(value.toInt());
            }
            sent.push_back({bytes.toHex(), event.value(QLatin1String("time")).toDouble()});
        }
    }
    return sent;
}

std::vector<Sent> bus_commands(const UmockdevBus& bus) {
    std::vector<Sent> sent;
    for (const DeviceRequest& request : bus.vendor_transfers()) {
        sent.push_back({QByteArray(reinterpret_cast<const char*>(request.data.data()),
                                   static_cast<qsizetype>(request.data.size()))
                            .toHex(),
                        request.time});
    }
    return sent;
}

QByteArrayList hex_of(const std::vector<Sent>& sent) {
    QByteArrayList out;
    for (const Sent& command : sent) {
        out << command.bytes;
    }
    return out;
}

bool write_file(const QString& name, const QByteArray& bytes) {
    QFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

}  // namespace

class CommandLineTest : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void run_sends_the_program_data();
    void run_sends_the_program();
    void unplug_mid_run_ends_with_4();
    void bad_input_is_refused_data();
    void bad_input_is_refused();
    void check_reports_data();
    void check_reports();
    void lines_go_where_the_panes_show_them();
    void terminal_line_rewrites_itself();
    void survey_prints_the_pane_report_data();
    void survey_prints_the_pane_report();
    void serve_is_never_suspended();
    void run_goes_to_the_serving_quillmar_data();
    void run_goes_to_the_serving_quillmar();
    void lines_that_read_otherwise_data();
    void lines_that_read_otherwise();

  private:
    QTemporaryDir dir;
};

void CommandLineTest::init() {
    if (under_emulation()) {
        QSKIP("an emulated test cannot start a child process");
    }
    QVERIFY(write_file(dir.filePath(QStringLiteral("three.rob")), "1,50\r\n6,20\r\n0,\r\n"));
}

// Bytes in order, and the seconds from each command to the next: a step's run, or a step's stop
// to the next step's start (500 ms apart). Signals sent at the first command: SIGINT, SIGTERM,
// SIGHUP and SIGQUIT send the all off at once and say which came in the exit code, and a second
// Ctrl+C changes nothing; Ctrl+Z never freezes a step.
void CommandLineTest::run_sends_the_program_data() {
    QTest::addColumn<bool>("real_libusb");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QList<int>>("sent_signals");
    QTest::addColumn<QByteArrayList>("bytes");
    QTest::addColumn<QList<double>>("gaps");
    QTest::addColumn<int>("code");

    const QByteArrayList forwards{"010000", "000000", "100000", "000000", "000001", "000000"};
    const QList<double> forwards_gaps{0.5, 0.5, 0.2, 0.5, 0.0};
    const QByteArrayList reverse{"000001", "200001", "000001", "020001", "000001", "000000"};
    const QList<double> reverse_gaps{0.5, 0.2, 0.5, 0.5, 0.0};
    const QStringList json{"--json"};
    const QStringList virtual_arm{"--virtual-arm", "--json"};
    const QList<int> none;
    QTest::newRow("virtual arm") << false << virtual_arm << none << forwards << forwards_gaps << 0;
    QTest::newRow("virtual arm, reverse")
        << false << virtual_arm + QStringList{"--reverse"} << none << reverse << reverse_gaps << 0;
    QTest::newRow("libusb") << true << QStringList{} << none << forwards << forwards_gaps << 0;
    // The first run leaves the light on, and the second switches it off again.
    const QByteArrayList light_off_again{"000000", "200000", "000000",
                                         "020000", "000000", "000000"};
    QTest::newRow("libusb, reverse, twice")
        << true << QStringList{"--reverse", "--repeat", "2"} << none
        << reverse.mid(0, 5) + light_off_again
        << reverse_gaps.mid(0, 4) + QList<double>{0.5} + reverse_gaps << 0;
    // A motor must not be left running by a program whose output nobody reads any more.
    QTest::newRow("libusb, output closed after its first byte")
        << true << json + QStringList{"--close-output"} << none << forwards << forwards_gaps << 0;
    QTest::newRow("libusb, no arm: nothing sent, exit 3")
        << true << QStringList{"--no-arm"} << none << QByteArrayList{} << QList<double>{} << 3;

    const QByteArrayList all_off{"010000", "000000"};
    const QList<double> at_once{0.0};
    QTest::newRow("SIGINT") << false << virtual_arm << QList<int>{SIGINT} << all_off << at_once
                            << 130;
    QTest::newRow("SIGTERM") << false << virtual_arm << QList<int>{SIGTERM} << all_off << at_once
                             << 143;
    QTest::newRow("SIGHUP") << false << virtual_arm << QList<int>{SIGHUP} << all_off << at_once
                            << 129;
    QTest::newRow("SIGQUIT") << false << virtual_arm << QList<int>{SIGQUIT} << all_off << at_once
                             << 131;
    QTest::newRow("Ctrl+C twice") << false << virtual_arm << QList<int>{SIGINT, SIGINT} << all_off
                                  << at_once << 130;
    QTest::newRow("Ctrl+C twice, libusb")
        << true << json << QList<int>{SIGINT, SIGINT} << all_off << at_once << 130;
    QTest::newRow("Ctrl+Z, libusb")
        << true << json << QList<int>{SIGTSTP} << forwards << forwards_gaps << 0;
}

void CommandLineTest::run_sends_the_program() {
    QFETCH(bool, real_libusb);
    QFETCH(QStringList, options);
    QFETCH(QList<int>, sent_signals);
    QFETCH(QByteArrayList, bytes);
    QFETCH(QList<double>, gaps);
    QFETCH(int, code);

    UmockdevBus bus;
    // The steps are timed at the arm, whatever else the machine runs.
    bus.answer_in_real_time();
    bus.plug(quillmar::root_hub_model());
    if (!options.removeOne(QStringLiteral("--no-arm"))) {
        bus.plug(quillmar::arm_device_model());
    }
    const bool close_output = options.removeOne(QStringLiteral("--close-output"));
    bool signalled = false;
    const Outcome outcome = run_quillmar(
        QStringList{"run"} + options + QStringList{"three.rob"}, dir.path(),
        [&](QProcess& child, const QByteArray& line) {
            if (!signalled && line.contains("\"event\":\"command\"")) {
                signalled = true;
                for (const int number : sent_signals) {
                    ::kill(static_cast<pid_t>(child.processId()), number);
                }
            }
        },
        close_output);
    QCOMPARE(outcome.code, code);
    const std::vector<Sent> sent = real_libusb ? bus_commands(bus) : json_commands(outcome.out);
    QCOMPARE(hex_of(sent), bytes);
    // The run's own times are rounded to the millisecond, so that a gap may read one less.
    const double shorter = real_libusb ? shorter_at_the_arm : 0.0015;
    for (qsizetype i = 0; i < gaps.size(); ++i) {
        const double gap = sent[static_cast<std::size_t>(i) + 1].time - sent[i].time;
        QVERIFY2(gap >= gaps[i] - shorter && gap < gaps[i] + 0.1,
                 qPrintable(QStringLiteral("gap %1 is %2 s").arg(i).arg(gap)));
    }
    if (code == 3) {
        QVERIFY(outcome.err.contains("quillmar: no arm attached"));
        QVERIFY(outcome.err.contains("60-quillmar.rules"));
    }
}

// The arm pulled out during a step: the run ends there, and the exit code says the arm went.
void CommandLineTest::unplug_mid_run_ends_with_4() {
    UmockdevBus bus(quillmar::hub_and_arm());
    QVERIFY(write_file(dir.filePath(QStringLiteral("long.rob")), "1,1000\r\n2,1000\r\n"));
    const Outcome outcome = run_quillmar({"run", "--json", "long.rob"}, dir.path(),
                                         [&](QProcess&, const QByteArray& line) {
                                             if (line.contains("\"event\":\"command\"")) {
                                                 bus.unplug(1, 2);
                                             }
                                         });
    QCOMPARE(outcome.code, 4);
    QVERIFY(outcome.out.contains("Arm unplugged: Return value -19"));
    QVERIFY(outcome.out.contains("\"finished\":false"));
    // Well before the 10 s step would have ended.
    QVERIFY(outcome.ms < 5000);
}

// Anything but a program file: one line on standard error, nothing on standard output, exit 5,
// and never a wait on a pipe or an endless device.
void CommandLineTest::bad_input_is_refused_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("error");  // the start of standard error

    const auto both = [](const char* name, const QString& file, const QString& error) {
        for (const char* command : {"run", "check"}) {
            QTest::addRow("%s: %s", command, name)
                << QStringList{command, "--virtual-arm", file} << 5 << error;
        }
    };
    both("missing", "missing.rob", "quillmar: missing.rob: No such file");
    both("folder", ".", "quillmar: . is a folder");
    both("pipe", "pipe.rob", "quillmar: pipe.rob is not a plain file");
    both("endless device", "/dev/zero", "quillmar: /dev/zero is not a plain file");
    both("binary", "binary.rob", "quillmar: binary.rob: the file holds NUL bytes");
    both("too large", "large.rob", "quillmar: large.rob: the file is larger than 1 MiB");
    both("overlong line", "long_line.rob", "quillmar: long_line.rob: line 2 is longer than");
    QTest::newRow("run: unknown option")
        << QStringList{"run", "--fast", "three.rob"} << 2 << "quillmar run: Unknown option 'fast'.";
    QTest::newRow("run: no file") << QStringList{"run"} << 2
                                  << "quillmar run: a program file is missing";
    QTest::newRow("run: --repeat 0") << QStringList{"run", "--repeat", "0", "three.rob"} << 2
                                     << "quillmar run: --repeat takes a whole number";
    QTest::newRow("check: no file")
        << QStringList{"check"} << 2 << "quillmar check: a program file is missing";
    // No display: a word that is no sub-command is told as one, never the window's abort.
    QTest::newRow("help") << QStringList{"help"} << 2 << "quillmar: unknown command \"help\"";
    QTest::newRow("mistyped") << QStringList{"rnu", "three.rob"} << 2
                              << "quillmar: unknown command \"rnu\"";
}

void CommandLineTest::bad_input_is_refused() {
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, error);

    if (arguments.first() == QLatin1String("check")) {
        arguments.removeOne(QStringLiteral("--virtual-arm"));
    }
    QCOMPARE(mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("pipe.rob"))).constData(), 0600),
             0);
    QVERIFY(write_file(dir.filePath(QStringLiteral("binary.rob")), QByteArray("1,10\0\x7f", 6)));
    QVERIFY(write_file(dir.filePath(QStringLiteral("long_line.rob")),
                       "1,10\r\n" + QByteArray(40'000, '1') + "\r\n"));
    QFile large(dir.filePath(QStringLiteral("large.rob")));
    QVERIFY(large.open(QIODevice::WriteOnly) && large.resize(qint64{2} << 30));
    large.close();

    const Outcome outcome = run_quillmar(arguments, dir.path());
    ::unlink(QFile::encodeName(dir.filePath(QStringLiteral("pipe.rob"))).constData());
    QCOMPARE(outcome.code, code);
    QVERIFY2(outcome.err.startsWith(error.toUtf8()), outcome.err.constData());
    if (code == 5) {
        QCOMPARE(outcome.err.count('\n'), 1);
        QCOMPARE(outcome.out, QByteArray());
    } else {
        QVERIFY(outcome.err.contains("Usage: quillmar"));
    }
    QVERIFY(outcome.ms < 2000);
}

// check: the lines that will not run, the end stops, the time and the end pose, and its exit code.
void CommandLineTest::check_reports_data() {
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("reports");  // per file: steps, seconds, lines not run, warnings

    QTest::newRow("sound") << QStringList{"three.rob"} << 0 << QStringList{"3 1.7 0 0"};
    QTest::newRow("a line that will not run, an end stop")
        << QStringList{"three.rob", "faulty.rob"} << 1 << QStringList{"3 1.7 0 0", "2 15.99 1 2"};
    QTest::newRow("one file not read: exit 5 over 1")
        << QStringList{"faulty.rob", "missing.rob"} << 5 << QStringList{"2 15.99 1 2", "error"};
}

void CommandLineTest::check_reports() {
    QFETCH(QStringList, files);
    QFETCH(int, code);
    QFETCH(QStringList, reports);
    // The elbow, from -60°, reaches its end at -150° after 3.6 s of the 14.99 s.
    QVERIFY(write_file(dir.filePath(QStringLiteral("faulty.rob")),
                       "5,1499\r\nwave the arm\r\n1,50\r\n"));

    const Outcome outcome = run_quillmar(QStringList{"check", "--json"} + files, dir.path());
    QCOMPARE(outcome.code, code);
    QStringList seen;
    for (const QByteArray& line : outcome.out.trimmed().split('\n')) {
        const QJsonObject report = QJsonDocument::fromJson(line).object();
        if (report.contains(QLatin1String("error"))) {
            seen << QStringLiteral("error");
            continue;
        }
        seen << QStringLiteral("%1 %2 %3 %4")
                    .arg(report.value(QLatin1String("steps")).toInt())
                    .arg(report.value(QLatin1String("seconds")).toDouble())
                    .arg(report.value(QLatin1String("not_run_count")).toInt())
                    .arg(report.value(QLatin1String("warnings")).toArray().size());
    }
    QCOMPARE(seen, reports);
    if (code == 1) {
        const QJsonObject faulty = QJsonDocument::fromJson(outcome.out.split('\n')[1]).object();
        QCOMPARE(faulty.value(QLatin1String("not_run"))
                     .toArray()
                     .first()
                     .toObject()
                     .value(QLatin1String("line")),
                 QJsonValue(2));
        QCOMPARE(faulty.value(QLatin1String("end_pose")).toObject().value(QLatin1String("elbow")),
                 QJsonValue(-150.0));
    }
}

// Without a terminal: the message pane's lines and a line per step on standard output, the error
// pane's on standard error.
void CommandLineTest::lines_go_where_the_panes_show_them() {
    UmockdevBus bus(quillmar::hub_and_arm());
    bus.fail_next(1, 2, Fault::protocol_error);
    const Outcome outcome = run_quillmar({"run", "three.rob"}, dir.path());
    QCOMPARE(outcome.code, 0);
    QCOMPARE(QString::fromUtf8(outcome.out),
             QStringLiteral("\nArm attached\n\nTesting your program\n\n"
                            "Line  0 :    1 ,  50\nLine  1 :    6 ,  20\nLine  2 :    0 , \n"
                            "Step 1 of 3: Grip (1), line 1: 1,50 (1.7 s left)\n"
                            "Step 2 of 3: Elbow Up (6), line 2: 6,20 (0.7 s left)\n"
                            "Step 3 of 3: Light (0), line 3: 0, (0.0 s left)\n"
                            "Run finished: 3 steps in 1.7 s\n\nArm released\n"));
    QCOMPARE(QString::fromUtf8(outcome.err), QStringLiteral("Sent: ( 1, 0, 0) Return value -5\n"));
}

// On a terminal: one line that rewrites itself, never wider than the terminal, and a program's
// control characters shown as '?' instead of reaching the terminal.
void CommandLineTest::terminal_line_rewrites_itself() {
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(terminal >= 0 && ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
    const QByteArray side = ::ptsname(terminal);
    winsize size{};
    size.ws_col = 60;
    QCOMPARE(::ioctl(terminal, TIOCSWINSZ, &size), 0);
    QVERIFY(write_file(dir.filePath(QStringLiteral("escape.rob")),
                       "1,10\r\n\x1b]0;title\x07\r\n6,20\r\n"));

    QProcess child;
    child.setWorkingDirectory(dir.path());
    child.setChildProcessModifier([side] {
        const int fd = ::open(side.constData(), O_RDWR | O_NOCTTY);
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
    });
    child.start(QStringLiteral(QUILLMAR_BINARY), {"run", "--virtual-arm", "escape.rob"});
    QByteArray shown;
    std::array<char, 4096> bytes{};
    for (pollfd ready{terminal, POLLIN, 0}; ::poll(&ready, 1, 5000) > 0;) {
        const ssize_t got = ::read(terminal, bytes.data(), bytes.size());
        if (got <= 0) {
            break;  // EIO: the program has closed its side
        }
        shown.append(bytes.data(), got);
    }
    ::close(terminal);
    QVERIFY(child.waitForFinished(5000));
    QCOMPARE(child.exitCode(), 1);

    QVERIFY(shown.contains("Programing error at line  1 ( ?]0;title? )"));
    QVERIFY(shown.contains("\r[#"));
    QVERIFY(shown.contains("Run finished: 2 steps in 0.8 s"));
    // The only escape sequence is the one that clears the rest of the line.
    QCOMPARE(shown.count("\x1b"), shown.count("\x1b[K"));
    for (const QByteArray& line : shown.replace("\x1b[K", "").replace('\n', '\r').split('\r')) {
        QVERIFY2(QString::fromUtf8(line).size() < 60, line.constData());
    }
}

void CommandLineTest::survey_prints_the_pane_report_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("virtual arm") << QStringList{"survey", "--virtual-arm"};
    QTest::newRow("libusb") << QStringList{"survey"};
}

void CommandLineTest::survey_prints_the_pane_report() {
    QFETCH(QStringList, arguments);
    UmockdevBus bus(quillmar::hub_and_arm());
    const Outcome outcome = run_quillmar(arguments, dir.path());
    QCOMPARE(outcome.code, 0);
    QCOMPARE(QString::fromUtf8(outcome.out),
             hub_and_arm_survey().replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    // Surveyed, not attached: nothing reached the arm.
    QVERIFY(bus.vendor_transfers().empty());
}

// Ctrl+Z, and a terminal that stops a background process, leave serve running (a motor it drives
// would run on while it slept); SIGTERM ends it.
void CommandLineTest::serve_is_never_suspended() {
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUILLMAR_SOCKET"), dir.filePath(QStringLiteral("arm.sock")));
    child.setProcessEnvironment(environment);
    child.start(QStringLiteral(QUILLMAR_BINARY), {"serve", "--virtual-arm"});
    QVERIFY(child.waitForStarted());
    QTRY_VERIFY(QFile::exists(dir.filePath(QStringLiteral("arm.sock"))));
    const auto pid = static_cast<pid_t>(child.processId());
    for (const int number : {SIGTSTP, SIGTTOU, SIGTTIN}) {
        ::kill(pid, number);
    }
    QTest::qWait(200);
    QFile status(QStringLiteral("/proc/%1/stat").arg(pid));
    QVERIFY(status.open(QIODevice::ReadOnly));
    // The state follows the parenthesised name: T when stopped.
    const QByteArray stat = status.readAll();
    QCOMPARE(stat.at(stat.lastIndexOf(')') + 2), 'S');
    ::kill(pid, SIGTERM);
    QVERIFY(child.waitForFinished(5000));
    QCOMPARE(child.exitCode(), 0);
}

// Where a Quillmar serves the arm and has it attached, run hands the program to it and says so
// first; with --virtual-arm it drives a virtual arm of its own.
void CommandLineTest::run_goes_to_the_serving_quillmar_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("handed");
    QTest::newRow("the arm's Quillmar runs it") << QStringList{} << true;
    QTest::newRow("twice") << QStringList{"--repeat", "2"} << true;
    QTest::newRow("its own virtual arm") << QStringList{"--virtual-arm"} << false;
}

void CommandLineTest::run_goes_to_the_serving_quillmar() {
    QFETCH(QStringList, options);
    QFETCH(bool, handed);
    const QString socket = dir.filePath(QStringLiteral("serving.sock"));
    qputenv("QUILLMAR_SOCKET", QFile::encodeName(socket));
    QProcess server;
    server.start(QStringLiteral(QUILLMAR_BINARY), {"serve", "--virtual-arm"});
    QTRY_VERIFY(QFile::exists(socket));
    const Outcome outcome =
        run_quillmar(QStringList{"run"} + options + QStringList{"three.rob"}, dir.path());
    qunsetenv("QUILLMAR_SOCKET");
    server.terminate();
    QVERIFY(server.waitForFinished(5000));
    QCOMPARE(outcome.code, 0);
    QCOMPARE(outcome.out.startsWith("The Quillmar that drives the arm runs the program"), handed);
    QCOMPARE(outcome.out.count("Step 3 of 3"), options.contains("2") ? 2 : 1);
}

// A program whose lines read otherwise than they look: check names each line and what it will
// do, --strict refuses to run it, and --json tells the check pass a line an event.
void CommandLineTest::lines_that_read_otherwise_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("out");  // what standard output holds
    QTest::addColumn<QByteArray>("err");  // what standard error holds
    const QByteArray grip =
        "line 2: \"Grip,100\" is not a command number: it reads as 0, the light";
    QTest::newRow("check") << QStringList{"check", "misread.rob"} << 0 << grip << QByteArray();
    QTest::newRow("run --strict") << QStringList{"run", "--strict", "--virtual-arm", "misread.rob"}
                                  << 1 << QByteArray() << "quillmar: " + grip;
    QTest::newRow("run --json") << QStringList{"run", "--json", "--virtual-arm", "misread.rob"} << 0
                                << QByteArray(R"({"event":"message","text":"Line  1 :    0 , "})")
                                << QByteArray();
    QTest::newRow("check: more than are listed")
        << QStringList{"check", "many.rob"} << 1 << QByteArray("\n  ... and 5 more\n")
        << QByteArray();
}

void CommandLineTest::lines_that_read_otherwise() {
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QVERIFY(write_file(dir.filePath(QStringLiteral("misread.rob")), "1,10\r\nGrip,100\r\n"));
    QByteArray many;
    for (int i = 0; i < 1005; ++i) {
        many += "wave\r\n";
    }
    QVERIFY(write_file(dir.filePath(QStringLiteral("many.rob")), many));
    const Outcome outcome = run_quillmar(arguments, dir.path());
    QCOMPARE(outcome.code, code);
    QVERIFY2(outcome.out.contains(out), outcome.out.constData());
    QVERIFY2(outcome.err.contains(err), outcome.err.constData());
    if (arguments.contains("--strict")) {
        QVERIFY(!outcome.out.contains("Step"));
    }
    if (arguments.contains("--json")) {
        // One event a line, none holding a line end of the pane's.
        for (const QByteArray& line : outcome.out.trimmed().split('\n')) {
            QVERIFY2(QJsonDocument::fromJson(line).isObject() && !line.contains("\\r"),
                     line.constData());
        }
    }
}

int main(int argc, char** argv) {
    run_under_umockdev(argv);
    QCoreApplication app(argc, argv);
    CommandLineTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "command_line_test.moc"
