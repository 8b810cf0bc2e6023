// The built program started as a child: nothing it is given holds up its start, and a signal
// ends it within a second, during the start as later.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <csignal>

#include "support/emulation.h"
#include "umockdev/umockdev_bus.h"

namespace {

// Whether the window's signal handlers are in place, which the program does once its start is
// over, just before its event loop runs.
bool started(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray text = status.readAll();
    const qsizetype at = text.indexOf("SigCgt:");
    const QByteArray caught = at < 0 ? QByteArray() : text.mid(at + 7).split('\n').front();
    return ((caught.trimmed().toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1) != 0;
}

}  // namespace

class ProgramStartTest : public QObject {
    Q_OBJECT
  private slots:
    void ends_on_a_signal_and_never_hangs_data();
    void ends_on_a_signal_and_never_hangs();
};

void ProgramStartTest::ends_on_a_signal_and_never_hangs_data() {
    QTest::addColumn<QStringList>("arguments");  // %1: the test folder
    QTest::addColumn<QString>("settings");       // in the settings file's place: pipe, sparse
    QTest::addColumn<int>("signal_number");
    QTest::addColumn<bool>("during_start");
    QTest::addColumn<QString>("error");  // the program's line on standard error; %1: settings

    const QStringList virtual_arm{QStringLiteral("--virtual-arm")};
    QTest::newRow("SIGTERM during the start") << virtual_arm << "" << SIGTERM << true << "";
    QTest::newRow("SIGINT during the start") << virtual_arm << "" << SIGINT << true << "";
    QTest::newRow("SIGTERM once started") << virtual_arm << "" << SIGTERM << false << "";
    QTest::newRow("program file: pipe without a writer")
        << virtual_arm + QStringList{"%1/pipe.rob"} << "" << SIGTERM << false << "";
    QTest::newRow("program file: endless device")
        << virtual_arm + QStringList{"/dev/zero"} << "" << SIGTERM << false << "";
    QTest::newRow("settings file: pipe without a writer")
        << QStringList{} << "pipe" << SIGTERM << false
        << "quillmar: settings ignored: %1 is not a plain file";
    QTest::newRow("settings file: sparse, 2 GiB")
        << QStringList{} << "sparse" << SIGTERM << false
        << "quillmar: settings ignored: %1 is larger than 64 KiB";
}

void ProgramStartTest::ends_on_a_signal_and_never_hangs() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, settings);
    QFETCH(int, signal_number);
    QFETCH(bool, during_start);
    QFETCH(QString, error);
    if (quillmar::testing::under_emulation()) {
        QSKIP("an emulated test cannot start a child process");
    }

    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("quillmar")));
    const QByteArray pipe = QFile::encodeName(dir.filePath(QStringLiteral("pipe.rob")));
    QCOMPARE(mkfifo(pipe.constData(), 0600), 0);
    const QString settings_file = dir.filePath(QStringLiteral("quillmar/quillmar.conf"));
    if (settings == QLatin1String("pipe")) {
        QVERIFY(QFile::link(QFile::decodeName(pipe), settings_file));
    } else if (settings == QLatin1String("sparse")) {
        QFile sparse(settings_file);
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(qint64{2} << 30));
    }

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.path());
    child.setProcessEnvironment(environment);
    // A shell that starts the tests in the background leaves SIGINT ignored for its children.
    child.setChildProcessModifier([] { std::signal(SIGINT, SIG_DFL); });
    child.start(QStringLiteral(QUILLMAR_BINARY), arguments.replaceInStrings("%1", dir.path()));
    QVERIFY(child.waitForStarted());
    if (!during_start) {
        QVERIFY2(QTest::qWaitFor([&child] { return started(child.processId()); }, 20'000),
                 "the start never ended");
    }

    QElapsedTimer since_signal;
    since_signal.start();
    QCOMPARE(::kill(static_cast<pid_t>(child.processId()), signal_number), 0);
    QVERIFY2(child.waitForFinished(1000), "still running a second after the signal");
    QVERIFY(since_signal.elapsed() <= 1000);
    if (!during_start) {
        // Ended as when the window is closed.
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
    }
    const QStringList errors = QString::fromLocal8Bit(child.readAllStandardError())
                                   .split('\n')
                                   .filter(QRegularExpression("^quillmar:"));
    QCOMPARE(errors, error.isEmpty() ? QStringList{} : QStringList{error.arg(settings_file)});
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
