// How a held motor button and the arm window's keys time the arm in real time, at an arm emulated
// behind the real libusb (umockdev): when the motor starts after the press, how soon the stop
// follows the release, that a quick click is still the 0.1 s jog, and how soon a second key joins
// the drive. Not a test: a loaded machine moves these figures.
#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/arm_window_keeper.h"
#include "app/qt_file_dialogs.h"
#include "app/robot.h"
#include "armlink/arm_device.h"
#include "armwindow/arm_window.h"
#include "motion/event_pacer.h"
#include "umockdev/umockdev_bus.h"
#include "usb/libusb_bus.h"

using namespace quillmar;
using namespace quillmar::testing;

namespace {

// Runs the window's events for `ms` milliseconds of real time.
void run_for(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// A key event as the window system gives it, with its time in milliseconds: a release then waits
// out the grace in which an X11 repeat's press may follow.
void send_key(QWidget& window, QEvent::Type type, Qt::Key key) {
    static quint64 time = 1;
    QKeyEvent event(type, key, Qt::NoModifier);
    event.setTimestamp(++time);
    QApplication::sendEvent(&window, &event);
}

void report(const char* what, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::printf("  %-36s n=%-3zu min %8.3f  median %8.3f  max %8.3f ms\n", what, values.size(),
                values.front(), values[values.size() / 2], values.back());
}

}  // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    run_under_umockdev(argv);
    QApplication app(argc, argv);
    UmockdevBus bus(hub_and_arm());
    LibusbBus usb;
    EventPacer pacer;
    QtFileDialogs dialogs;
    ArmSession session(usb, pacer, ArmSource::commands_sent);
    session.set_soft_limits(false);
    Robot robot(session, dialogs);
    ArmWindow arm_window(session, ArmSource::commands_sent);
    ArmWindowKeeper keeper(robot, arm_window, nullptr);
    robot.start_up();
    robot.show();
    auto* grip = robot.findChild<QPushButton*>(QStringLiteral("handin"));
    constexpr int trials = 20;

    std::vector<double> starts;
    std::vector<double> stops;
    int extra_commands = 0;
    for (int i = 0; i < trials; ++i) {
        bus.clear_requests();
        const double pressed = pacer.now();
        double released = 0;
        QTest::mousePress(grip, Qt::LeftButton);
        QTimer::singleShot(1500, Qt::PreciseTimer, [&] {
            released = pacer.now();
            QTest::mouseRelease(grip, Qt::LeftButton);
        });
        run_for(1800);
        const auto sent = bus.vendor_transfers();
        starts.push_back((sent.at(0).time - pressed) * 1000.0);
        stops.push_back((sent.at(1).time - released) * 1000.0);
        extra_commands += static_cast<int>(sent.size()) - 2;
    }
    std::printf("holding Grip (1) for 1.5 s:\n");
    report("press to start command", starts);
    report("release to stop command", stops);
    std::printf("  commands after the stop: %d\n", extra_commands);

    std::vector<double> jogs;
    int late_commands = 0;
    for (int i = 0; i < trials; ++i) {
        bus.clear_requests();
        QTest::mouseClick(grip, Qt::LeftButton);
        run_for(400);
        const auto sent = bus.vendor_transfers();
        jogs.push_back((sent.at(1).time - sent.at(0).time) * 1000.0);
        late_commands += static_cast<int>(sent.size()) - 2;
    }
    std::printf("quick clicks on Grip (1):\n");
    report("jog start to stop command", jogs);
    std::printf("  commands after the jog's stop: %d\n", late_commands);

    // Left held for 1 s in the arm window, Up joining it after 0.5 s and let go after 0.8 s.
    keeper.start(true);
    std::vector<double> key_starts;
    std::vector<double> joins;
    std::vector<double> key_stops;
    int wrong_commands = 0;
    for (int i = 0; i < trials; ++i) {
        bus.clear_requests();
        double joined = 0;
        double let_go = 0;
        QTimer::singleShot(500, Qt::PreciseTimer, [&] {
            joined = pacer.now();
            send_key(arm_window, QEvent::KeyPress, Qt::Key_Up);
        });
        QTimer::singleShot(800, Qt::PreciseTimer,
                           [&] { send_key(arm_window, QEvent::KeyRelease, Qt::Key_Up); });
        QTimer::singleShot(1000, Qt::PreciseTimer, [&] {
            let_go = pacer.now();
            send_key(arm_window, QEvent::KeyRelease, Qt::Key_Left);
        });
        const double pressed = pacer.now();
        send_key(arm_window, QEvent::KeyPress, Qt::Key_Left);
        const auto sent = bus.vendor_transfers();
        if (sent.size() != 4 || sent.at(1).data.at(0) != 64) {
            ++wrong_commands;
            continue;
        }
        key_starts.push_back((sent.at(0).time - pressed) * 1000.0);
        joins.push_back((sent.at(1).time - joined) * 1000.0);
        key_stops.push_back((sent.at(3).time - let_go) * 1000.0);
    }
    std::printf("keys in the arm window, Left held 1 s with Up joining:\n");
    report("key press to start command", key_starts);
    report("second key to combined command", joins);
    report("last key let go to stop command", key_stops);
    std::printf("  drives with other commands than start, join, part, stop: %d\n", wrong_commands);

    // A run with both windows showing its steps: the views answer each step before it starts.
    bus.clear_requests();
    robot.set_program_text(QStringLiteral("1,10\r\n2,10\r\n").repeated(16));
    robot.findChild<QPushButton*>(QStringLiteral("program"))->click();
    std::vector<double> steps;
    std::vector<double> pauses;
    const auto sent = bus.vendor_transfers();
    for (std::size_t i = 0; i + 1 < sent.size(); ++i) {
        const bool begins = sent[i].data.at(0) != 0 || sent[i].data.at(1) != 0;
        const bool next_starts = sent[i + 1].data.at(0) != 0 || sent[i + 1].data.at(1) != 0;
        if (begins != next_starts) {
            (begins ? steps : pauses)
                .push_back((sent[i + 1].time - sent[i].time - (begins ? 0.1 : 0.5)) * 1000.0);
        }
    }
    std::printf("Run Program, 32 steps of 0.1 s, both windows showing:\n");
    report("step: beyond 0.1 s at the arm", steps);
    report("pause: beyond 0.5 s at the arm", pauses);
    return 0;
}
