// The built program started as a child: nothing it is given holds up its start, and a signal
// ends it within a second, during the start as later.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <csignal>

#include "umockdev/umockdev_bus.h"

namespace {

// The window's signal handlers are in place, which the program does just before its event loop
// runs: the start is over.
bool catches_signals(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return false;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:")) {
            return ((line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1) != 0;
        }
    }
    return false;
}

// The program's own lines on standard error, without Qt's.
QStringList own_errors(QProcess& child) {
    QStringList lines;
    for (const QString& line : QString::fromLocal8Bit(child.readAllStandardError()).split('\n')) {
        if (line.startsWith(QLatin1String("quillmar:"))) {
            lines << line;
        }
    }
    return lines;
}

}  // namespace

class ProgramStartTest : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void signal_ends_it_within_a_second_data();
    void signal_ends_it_within_a_second();
    void nothing_given_holds_up_the_start_data();
    void nothing_given_holds_up_the_start();

  private:
    // Starts the program with `arguments`, its settings in the test folder.
    void start(const QStringList& arguments);
    // Sends the signal and waits a second for the program to end.
    void end_with(int signal_number);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<QProcess> child;
};

void ProgramStartTest::init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("config/quillmar")));
    child = std::make_unique<QProcess>();
}

void ProgramStartTest::start(const QStringList& arguments) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir->filePath(QStringLiteral("config")));
    child->setProcessEnvironment(environment);
    // A shell that starts the tests in the background leaves SIGINT ignored, and the start
    // would inherit that.
    child->setChildProcessModifier([] {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
    });
    child->start(QStringLiteral(QUILLMAR_BINARY), arguments);
    QVERIFY(child->waitForStarted());
}

void ProgramStartTest::end_with(int signal_number) {
    QElapsedTimer since_signal;
    since_signal.start();
    QCOMPARE(::kill(static_cast<pid_t>(child->processId()), signal_number), 0);
    QVERIFY2(child->waitForFinished(1000), "still running a second after the signal");
    QVERIFY(since_signal.elapsed() <= 1000);
}

void ProgramStartTest::signal_ends_it_within_a_second_data() {
    QTest::addColumn<int>("signal_number");
    QTest::addColumn<bool>("started");

    QTest::newRow("SIGTERM during the start") << SIGTERM << false;
    QTest::newRow("SIGINT during the start") << SIGINT << false;
    QTest::newRow("SIGTERM once started") << SIGTERM << true;
    QTest::newRow("SIGINT once started") << SIGINT << true;
}

void ProgramStartTest::signal_ends_it_within_a_second() {
    QFETCH(int, signal_number);
    QFETCH(bool, started);

    start({QStringLiteral("--virtual-arm")});
    if (started) {
        QVERIFY(QTest::qWaitFor([this] { return catches_signals(child->processId()); }, 20'000));
    }
    end_with(signal_number);
    if (started) {
        // The window closed and the program ended as it does when the window is closed.
        QCOMPARE(child->exitStatus(), QProcess::NormalExit);
        QCOMPARE(child->exitCode(), 0);
    }
}

void ProgramStartTest::nothing_given_holds_up_the_start_data() {
    QTest::addColumn<QStringList>("arguments");  // %1: the test folder
    QTest::addColumn<QString>("settings");       // what stands where the settings file goes
    QTest::addColumn<QStringList>("errors");     // %1: the settings file

    const QString virtual_arm = QStringLiteral("--virtual-arm");
    QTest::newRow("program file: a pipe without a writer")
        << QStringList{virtual_arm, "%1/pipe.rob"} << "" << QStringList{};
    QTest::newRow("program file: an endless device")
        << QStringList{virtual_arm, "/dev/zero"} << "" << QStringList{};
    QTest::newRow("program file: a folder")
        << QStringList{virtual_arm, "%1"} << "" << QStringList{};
    QTest::newRow("settings file: a pipe without a writer")
        << QStringList{} << "pipe"
        << QStringList{"quillmar: settings ignored: %1 is not a plain file"};
    QTest::newRow("settings file: a sparse file of 2 GiB")
        << QStringList{} << "sparse"
        << QStringList{"quillmar: settings ignored: %1 is larger than 64 KiB"};
}

void ProgramStartTest::nothing_given_holds_up_the_start() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, settings);
    QFETCH(QStringList, errors);

    QCOMPARE(mkfifo(QFile::encodeName(dir->filePath(QStringLiteral("pipe.rob"))).constData(), 0600),
             0);
    const QString settings_file = dir->filePath(QStringLiteral("config/quillmar/quillmar.conf"));
    if (settings == QLatin1String("pipe")) {
        QCOMPARE(mkfifo(QFile::encodeName(settings_file).constData(), 0600), 0);
    } else if (settings == QLatin1String("sparse")) {
        QFile sparse(settings_file);
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(qint64{2} << 30));
    }
    arguments.replaceInStrings(QStringLiteral("%1"), dir->path());
    errors.replaceInStrings(QStringLiteral("%1"), settings_file);

    start(arguments);
    QVERIFY2(QTest::qWaitFor([this] { return catches_signals(child->processId()); }, 20'000),
             "the start never ended");
    end_with(SIGTERM);
    QCOMPARE(child->exitStatus(), QProcess::NormalExit);
    QCOMPARE(own_errors(*child), errors);
}

int main(int argc, char** argv) {
    quillmar::testing::run_under_umockdev(argv);
    // An empty bus: the program finds no arm, whatever is plugged into this machine.
    const quillmar::testing::UmockdevBus bus;
    QCoreApplication app(argc, argv);
    ProgramStartTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "program_start_test.moc"
