#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <optional>
#include <vector>

#include "armlink/arm_device.h"
#include "gamepad/gamepad_drive.h"
#include "support/arm_bytes.h"
#include "support/fake_pacer.h"
#include "support/pad_on_the_arm.h"
#include "support/virtual_pad.h"
#include "usb/emulated_bus.h"

using namespace quillmar;
using quillmar::testing::timed_commands;

namespace {

// The session on the emulated arm in virtual time, driven by SDL's virtual pad.
struct Bench {
    Bench() {
        // The pad's own rules are tested here; the soft limits, on by default, have their own.
        session.set_soft_limits(false);
        session.start_up();
        drive.set_window_active(true);
        pad.pump();
        usb.clear_logs();
        QObject::connect(&session, &ArmSession::recorded,
                         [this](const QStringList& lines) { recorded << lines; });
    }

    // Does one step of a script: "leftx -32767", "b 1", "unplug", "inactive", "background",
    // "record", or
    // "plug second" and "second leftx 32767" for a second pad.
    void step(QString text) {
        testing::VirtualPad* on = &virtual_pad;
        if (text.startsWith(QLatin1String("second "))) {
            text = text.mid(7);
            on = &*second;
        }
        const QStringList words = text.split(QLatin1Char(' '));
        const QByteArray name = words.at(0).toLatin1();
        if (name == "plug") {
            second.emplace();
        } else if (name == "unplug") {
            on->unplug();
        } else if (name == "inactive") {
            drive.set_window_active(false);
        } else if (name == "background") {
            drive.set_background(true);
        } else if (name == "record") {
            session.set_recording(true);
        } else if (const auto axis = SDL_GameControllerGetAxisFromString(name.constData());
                   axis != SDL_CONTROLLER_AXIS_INVALID) {
            on->set_axis(axis, words.at(1).toInt());
        } else {
            on->set_button(SDL_GameControllerGetButtonFromString(name.constData()),
                           words.at(1) == QLatin1String("1"));
        }
        pad.pump();
    }

    // Runs "seconds step; seconds step; ..." in virtual time from now.
    void run(const QString& script) {
        const double start = pacer.now();
        for (const QString& timed : script.split(QStringLiteral("; "))) {
            const qsizetype space = timed.indexOf(QLatin1Char(' '));
            pacer.at(start + timed.left(space).toDouble(),
                     [this, what = timed.mid(space + 1)] { step(what); });
        }
        pacer.wait(start, 60.0, [] { return false; });
    }

    testing::FakePacer pacer;
    EmulatedBus usb{[this] { return pacer.now(); }, hub_and_arm()};
    ArmSession session{usb, pacer, ArmSource::commands_sent};
    Gamepad pad;
    GamepadDrive drive{pad, session, [] { return QStringLiteral("1,100"); }};
    testing::VirtualPad virtual_pad;
    std::optional<testing::VirtualPad> second;
    QStringList recorded;
};

}  // namespace

class GamepadTest : public QObject {
    Q_OBJECT
  private slots:
    void drives_the_arm_data();
    void drives_the_arm();
    void release_heard_beneath_the_press();
    void woken_by_its_node();
};

void GamepadTest::drives_the_arm_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("commands");  // at the arm, "seconds m,b,l" from the start
    QTest::addColumn<QStringList>("recorded");
    QTest::addColumn<QString>("status");

    const QStringList none;
    const QString pad = QStringLiteral("Gamepad: Virtual pad");
    QTest::newRow("stick held then let go: one start, one stop")
        << "0 leftx -32767; 1 leftx -30000; 2 leftx 0" << QStringList{"0 0,2,0", "2 0,0,0"} << none
        << pad;
    QTest::newRow("two sticks: one command for both")
        << "0 leftx -32767; 0.5 righty -32767; 1 righty 0; 1.5 leftx 0"
        << QStringList{"0 0,2,0", "0.5 16,2,0", "1 0,2,0", "1.5 0,0,0"} << none << pad;
    // Past a quarter of its travel a stick holds, and lets go below a fifth.
    QTest::newRow("dead zone")
        << "0 leftx -8000; 0.5 righttrigger -16400; 1 leftx -8300; 2 leftx -7000; 3 leftx -6000"
        << QStringList{"1 0,2,0", "3 0,0,0"} << none << pad;
    // The second pad does nothing until the first goes; its stick pushed then moves nothing until
    // let go and pushed again.
    QTest::newRow("second pad drives once the first is unplugged")
        << "0 plug second; 0.5 second leftx 32767; 1 unplug; 1.5 second leftx 0; 2 second leftx "
           "-32767; 3 second leftx 0"
        << QStringList{"2 0,2,0", "3 0,0,0"} << none << pad;
    QTest::newRow("unplugged mid-move: stops at once")
        << "0 lefty -32767; 0.7 unplug" << QStringList{"0 64,0,0", "0.7 0,0,0"} << none
        << "No gamepad";
    // A stick still held after the limit moves nothing until let go and pushed again.
    QTest::newRow("15 s at most") << "0 leftx 32767; 20 leftx 0; 21 leftx 32767; 22 leftx 0"
                                  << QStringList{"0 0,1,0", "15 0,0,0", "21 0,1,0", "22 0,0,0"}
                                  << none << pad;
    QTest::newRow("focus lost: stops, and the pad no longer drives")
        << "0 leftx 32767; 1 inactive; 2 leftx 0; 3 leftx 32767; 4 a 1"
        << QStringList{"0 0,1,0", "1 0,0,0"} << none << pad;
    // Stop as Escape: the drive's stop, then the stop's own.
    QTest::newRow("working in the background")
        << "0 background; 0 inactive; 1 leftx 32767; 2 leftx 0" << QStringList{"1 0,1,0", "2 0,0,0"}
        << none << pad;
    QTest::newRow("B stops; A switches the light once")
        << "0 leftshoulder 1; 1 b 1; 1.5 a 1; 2 a 0; 2.5 a 1"
        << QStringList{"0 2,0,0", "1 0,0,0", "1 0,0,0", "1 0,0,0", "1.5 0,0,1", "2.5 0,0,0"} << none
        << pad;
    // While recording a second motor is refused, and each movement comes out as a line.
    QTest::newRow("recording: one motor at a time")
        << "0 record; 0 leftx 32767; 0.5 righty -32767; 1 leftx 0; 1.5 righty 0; 2 rightx "
           "32767; 2.5 rightx 0"
        << QStringList{"0 0,1,0", "1 0,0,0", "2 4,0,0", "2.5 0,0,0"}
        << QStringList{"10,100", "4,50"} << pad;
}

void GamepadTest::drives_the_arm() {
    QFETCH(QString, script);
    Bench bench;
    QVERIFY(bench.virtual_pad.attached());
    bench.pad.pump();
    QCOMPARE(bench.pad.status_text(), QStringLiteral("Gamepad: Virtual pad"));
    const double start = bench.pacer.now();
    bench.run(script);
    QTEST(timed_commands(bench.usb, start), "commands");
    QTEST(bench.recorded, "recorded");
    QTEST(bench.pad.status_text(), "status");
}

// With the program's own pacer and the pad's timer: the press waits in an event loop beneath the
// pump that told it, and the pumps meanwhile must still tell the release.
void GamepadTest::release_heard_beneath_the_press() {
    testing::PadOnTheArm arm;
    QTRY_COMPARE(arm.pad.status_text(), QStringLiteral("Gamepad: Virtual pad"));
    arm.usb.clear_logs();
    QTimer::singleShot(0, [&] { arm.virtual_pad.set_axis(SDL_CONTROLLER_AXIS_LEFTY, 32767); });
    QTimer::singleShot(100, [&] { arm.virtual_pad.set_axis(SDL_CONTROLLER_AXIS_LEFTY, 0); });
    QTRY_COMPARE_WITH_TIMEOUT(testing::sent_commands(arm.usb), (QStringList{"128,0,0", "0,0,0"}),
                              2000);
    QVERIFY(arm.usb.transfers().back().time - arm.usb.transfers().front().time < 0.5);
}

// SDL's virtual pad has no device node: a FIFO stands in for it, written as the pad reports. At
// rest only the node wakes the pad, at once; once the node is gone the pad is asked again.
void GamepadTest::woken_by_its_node() {
    QTemporaryDir folder;
    const QByteArray fifo = folder.filePath(QStringLiteral("event0")).toLocal8Bit();
    QCOMPARE(mkfifo(fifo.constData(), 0600), 0);
    testing::PadOnTheArm arm;
    QTRY_COMPARE(arm.pad.status_text(), QStringLiteral("Gamepad: Virtual pad"));
    QVERIFY(!arm.pad.watching());
    arm.pad.watch_node(QString::fromLocal8Bit(fifo));
    QVERIFY(arm.pad.watching());
    int writer = open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(writer >= 0);
    const auto report = [&] {
        if (writer >= 0) {
            QCOMPARE(write(writer, "e", 1), 1);
        }
    };
    arm.usb.clear_logs();

    QElapsedTimer clock;
    qint64 reported_at = 0;
    std::vector<qint64> delays;
    QObject::connect(&arm.session, &ArmSession::command_sent, [&](ArmCommand command) {
        if (command.base == 0) {
            return;
        }
        delays.push_back(clock.nsecsElapsed() - reported_at);
        // Let go a moment later, from beneath the press, which returns when the drive ends.
        QTimer::singleShot(20, [&] {
            arm.virtual_pad.set_axis(SDL_CONTROLLER_AXIS_LEFTX, 0);
            report();
        });
    });
    clock.start();
    constexpr qsizetype pushes = 3;
    for (qsizetype push = 0; push < pushes; ++push) {
        // Rested: the pad was last used more than `rest_after` ago.
        QTest::qWait(static_cast<int>(Gamepad::rest_after.count()) + 100);
        report();
        QTest::qWait(20);
        arm.virtual_pad.set_axis(SDL_CONTROLLER_AXIS_LEFTX, SDL_JOYSTICK_AXIS_MAX);
        // Unreported, the push waits: nothing asks the pad meanwhile.
        QTest::qWait(150);
        QVERIFY(testing::sent_commands(arm.usb).size() == 2 * push);
        reported_at = clock.nsecsElapsed();
        report();
        QTRY_COMPARE(testing::sent_commands(arm.usb).size(), 2 * (push + 1));
    }
    std::ranges::sort(delays);
    const qint64 median = delays[delays.size() / 2];
    QVERIFY2(median < 10'000'000,
             qPrintable(QString::number(static_cast<double>(median) / 1e6) + " ms"));

    // The writer gone, the node is at its end: it no longer wakes the pad, which is asked again.
    close(writer);
    writer = -1;
    QTRY_VERIFY(!arm.pad.watching());
    QTest::qWait(static_cast<int>(Gamepad::rest_after.count()) + 100);
    arm.virtual_pad.set_axis(SDL_CONTROLLER_AXIS_LEFTX, SDL_JOYSTICK_AXIS_MAX);
    QTRY_COMPARE_WITH_TIMEOUT(testing::sent_commands(arm.usb).size(), 2 * pushes + 2,
                              static_cast<int>(Gamepad::unwatched_interval.count()) * 3);
}

QTEST_GUILESS_MAIN(GamepadTest)
#include "gamepad_test.moc"
