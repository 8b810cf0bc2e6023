// How long the window stops answering, and how much memory it holds, when the largest program files
// are loaded at start-up, loaded again, pasted, typed into and run, with the arm window shown.
// Without arguments it measures each kind of file in a process of its own:
//   responsiveness_bench [long-line|empty-lines|steps [bytes]]
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>

#include "app/arm_window_keeper.h"
#include "app/qt_file_dialogs.h"
#include "app/robot.h"
#include "armlink/arm_device.h"
#include "armwindow/arm_window.h"
#include "motion/event_pacer.h"
#include "session/arm_client.h"
#include "usb/emulated_bus.h"

using namespace quillmar;

namespace {

constexpr qsizetype largest_file = 1024 * 1024;
// Long enough for the arm window's preview, which follows a change after a pause, to be done.
constexpr int settle_ms = 1500;

// The file's bytes: one line of "1," and digits, LF-ended empty lines, or "1,100" lines.
QByteArray file_of(const QByteArray& kind, qsizetype bytes) {
    if (kind == "long-line") {
        return "1," + QByteArray(bytes - 2, '7');
    }
    const QByteArray line = kind == "empty-lines" ? QByteArray("\n") : QByteArray("1,100\n");
    return line.repeated(bytes / line.size());
}

// Kilobytes of the process's resident memory: now, or at its peak since the last reset.
long resident_kb(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            return line.mid(static_cast<qsizetype>(std::strlen(field)))
                .trimmed()
                .split(' ')[0]
                .toLong();
        }
    }
    return -1;
}

// Runs the window's events for `ms` milliseconds: QTest::qWait sleeps 10 ms at a time between
// them, which no stall could read below.
void run_for(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

void reset_peak() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly)) {
        clear.write("5");
    }
}

// Beats every millisecond while the event loop turns; the longest gap is the longest stall.
class Heartbeat {
  public:
    Heartbeat() {
        beat.setTimerType(Qt::PreciseTimer);
        beat.setInterval(1);
        QObject::connect(&beat, &QTimer::timeout,
                         [this] { worst = std::max(worst, since.restart()); });
        beat.start();
    }
    void begin() {
        worst = 0;
        since.restart();
    }
    // Counts a stall still under way.
    qint64 worst_ms() const { return std::max(worst, since.elapsed()); }

  private:
    QTimer beat;
    QElapsedTimer since;
    qint64 worst = 0;
};

void report(const char* what, qint64 call_ms, qint64 stall_ms) {
    std::printf("  %-34s call %7lld ms, longest stall %7lld ms, resident %5ld MB (peak %5ld MB)\n",
                what, static_cast<long long>(call_ms), static_cast<long long>(stall_ms),
                resident_kb("VmRSS:") / 1024, resident_kb("VmHWM:") / 1024);
    std::fflush(stdout);
}

// Runs `action` from the event loop and lets the window settle after it.
void measure(Heartbeat& heart, const char* what, const std::function<void()>& action) {
    reset_peak();
    heart.begin();
    QElapsedTimer call;
    call.start();
    action();
    const qint64 call_ms = call.elapsed();
    run_for(settle_ms);
    report(what, call_ms, heart.worst_ms());
}

// Keystrokes at the end of the program, 100 ms apart, then a pause in which the preview follows.
void measure_typing(Heartbeat& heart, QPlainTextEdit& data) {
    data.setFocus();
    data.moveCursor(QTextCursor::End);
    qint64 keys_ms = 0;
    qint64 pause_ms = 0;
    reset_peak();
    for (int round = 0; round < 3; ++round) {
        for (const Qt::Key key : {Qt::Key_1, Qt::Key_Backspace, Qt::Key_2, Qt::Key_Backspace}) {
            heart.begin();
            QTest::keyClick(&data, key);
            run_for(100);
            keys_ms = std::max(keys_ms, heart.worst_ms());
        }
        heart.begin();
        run_for(settle_ms);
        pause_ms = std::max(pause_ms, heart.worst_ms());
    }
    report("typing: keystroke", keys_ms, keys_ms);
    report("typing: pause (preview)", 0, pause_ms);
}

int measure_kind(int argc, char* argv[], const QByteArray& kind, qsizetype bytes) {
    QApplication app(argc, argv);
    QTemporaryDir folder;
    const QString name = folder.filePath(QStringLiteral("program.rob"));
    const QByteArray content = file_of(kind, bytes);
    {
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
            std::fputs("cannot write the program file\n", stderr);
            return 1;
        }
    }
    std::printf("%s, %lld bytes (%s):\n", kind.constData(), static_cast<long long>(content.size()),
                qPrintable(QApplication::platformName()));
    report("before the window", 0, 0);

    // Put together as the program does at start-up, on the virtual arm.
    EventPacer pacer;
    EmulatedBus usb([&pacer] { return pacer.now(); }, hub_and_arm());
    ArmSession session(usb, pacer, ArmSource::virtual_arm);
    session.model().follow(usb);
    QtFileDialogs dialogs;
    Robot robot(session, dialogs);
    ArmWindow arm_window(session, ArmSource::virtual_arm);
    ArmWindowKeeper keeper(robot, arm_window, nullptr);
    auto* data = robot.findChild<QPlainTextEdit*>(QStringLiteral("data"));
    Heartbeat heart;

    reset_peak();
    QElapsedTimer appear;
    appear.start();
    robot.start_up();
    robot.files().load_from(QFile::encodeName(name));
    robot.show();
    keeper.start(true);
    if (!QTest::qWaitForWindowExposed(&robot)) {
        std::fputs("the window did not show\n", stderr);
        return 1;
    }
    QApplication::processEvents();
    const qint64 appear_ms = appear.elapsed();
    heart.begin();
    run_for(settle_ms);
    report("file as argument: window shown", appear_ms, std::max(appear_ms, heart.worst_ms()));
    const auto* message = robot.findChild<QPlainTextEdit*>(QStringLiteral("message"));
    if (data->document()->isEmpty()) {
        std::printf("  refused: %s\n",
                    qPrintable(message->toPlainText().trimmed().section(u'\n', -1)));
    }

    measure(heart, "Load File", [&] { robot.files().load_from(QFile::encodeName(name)); });
    measure_typing(heart, *data);
    ArmClient stopper(session, ClientKind::main_window, QStringLiteral("Stop"));
    measure(heart, "Run Program, stopped at once", [&] {
        // Stop is pressed as soon as the window answers again.
        QTimer::singleShot(0, &stopper, [&] { stopper.stop(); });
        robot.findChild<QPushButton*>(QStringLiteral("program"))->click();
    });
    QApplication::clipboard()->setText(QString::fromLatin1(content));
    measure(heart, "paste over all", [&] {
        data->setFocus();
        QTest::keyClick(data, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(data, Qt::Key_V, Qt::ControlModifier);
    });
    if (message->toPlainText().trimmed().section(u'\n', -1).startsWith(u"Text not pasted")) {
        std::printf("  refused: %s\n",
                    qPrintable(message->toPlainText().trimmed().section(u'\n', -1)));
    }
    robot.close();
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (argc >= 2) {
        const qsizetype bytes = argc >= 3 ? QByteArray(argv[2]).toLongLong() : largest_file;
        return measure_kind(1, argv, argv[1], bytes);
    }
    QCoreApplication parent(argc, argv);
    // The longest line a program file may hold, a longer one, and the largest files of short lines.
    const std::pair<const char*, const char*> runs[] = {{"long-line", "32765"},
                                                        {"long-line", "1048576"},
                                                        {"empty-lines", "1048576"},
                                                        {"steps", "1048576"}};
    for (const auto& [kind, bytes] : runs) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QString::fromLocal8Bit(argv[0]),
                    {QString::fromLatin1(kind), QString::fromLatin1(bytes)});
        child.waitForFinished(-1);
    }
    return 0;
}
