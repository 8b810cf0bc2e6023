// Holding a motor button, and the window's keys, on an emulated arm in virtual time.
#include <csignal>

#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "app/motor_buttons.h"
#include "app/pane_text.h"
#include "app/robot_bench.h"
#include "armlink/arm_ids.h"
#include "session/signal_bridge.h"
#include "support/arm_bytes.h"
#include "support/fake_presence.h"
#include "support/session_probe.h"
#include "usb/udev_presence.h"

using namespace quillmar;
using quillmar::testing::sent_commands;

namespace {

struct WithPresence {
    quillmar::testing::FakePresence presence;
};

// The window attached, with termination signals wired as the program wires them, and a presence
// that tells when the arm is pulled out.
struct Bench : WithPresence, quillmar::testing::RobotBench {
    Bench() : RobotBench(true, ArmSource::commands_sent, &presence) {
        robot.start_up();
        robot.show();
        usb.clear_logs();
        QObject::connect(&bridge, &SignalBridge::termination_requested, &robot, &QWidget::close);
    }
    QPushButton* button(const char* name) { return control<QPushButton>(name); }
    double first_gap() const { return usb.transfers().at(1).time - usb.transfers().at(0).time; }
    // Seconds the estimate ran "Grip (1)" from the gripper at `start`.
    double estimate_ran(double start) const {
        const double end = session.model().position_at(Joint::gripper, pacer.now());
        const int drive = drive_of(Joint::gripper, start_command(1, 0));
        return std::abs(end - start) / session.model().speeds().of(Joint::gripper, drive);
    }

    SignalBridge bridge;
};

void type(const QKeySequence& keys) {
    QTest::keySequence(QApplication::focusWidget(), keys);
}

// What the user does 1.2 s into a hold of "Grip (1)".
void act(Bench& b, const QString& act) {
    if (act == "release") {
        QTest::mouseRelease(b.button("handin"), Qt::LeftButton);
    } else if (act == "Space let go") {
        QTest::keyRelease(b.button("handin"), Qt::Key_Space);
    } else if (act == "leave") {
        QTest::mouseMove(b.button("handin"), QPoint(-20, -20));
    } else if (act == "deactivate") {
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
    } else if (act == "Stop") {
        QTest::mouseClick(b.button("stopme"), Qt::LeftButton);
    } else if (act == "Escape") {
        type(Qt::Key_Escape);
    } else if (act == "Release arm") {
        b.button("release")->click();
    } else if (act == "close") {
        b.robot.close();
    } else if (act == "SIGTERM") {
        QSignalSpy closed(&b.robot, &Robot::closed);
        std::raise(SIGTERM);
        QVERIFY(closed.wait(2000));
    } else if (act == "auto-repeat") {
        for (const QEvent::Type type : {QEvent::KeyRelease, QEvent::KeyPress}) {
            QKeyEvent repeat(type, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), true);
            QApplication::sendEvent(b.button("handin"), &repeat);
        }
    } else if (act == "press Open") {
        QTest::mousePress(b.button("handout"), Qt::LeftButton);
    } else if (act.startsWith("unplug")) {
        // Told at the slowest, by a look at sysfs where no udev daemon tells; "let go" lets go
        // in between.
        const DeviceLocation where = *testing::SessionProbe::link(b.session).location();
        b.usb.unplug(arm_vendor_id, arm_product_id);
        const double now = b.pacer.now();
        if (act.endsWith("let go")) {
            b.pacer.at(now + 0.1,
                       [&b] { QTest::mouseRelease(b.button("handin"), Qt::LeftButton); });
        }
        const double notice = std::chrono::duration<double>(UdevPresence::rescan_period).count();
        b.pacer.at(now + notice, [&b, where] { b.presence.unplug(where); });
    } else if (act == "F5") {
        b.robot.set_program_text("2,50");
        type(Qt::Key_F5);
    }
}

// A window slow to paint: each paint of the button it watches takes 12 ms of virtual time.
class SlowPaint : public QObject {
  public:
    explicit SlowPaint(quillmar::testing::FakePacer& pacer) : pacer(pacer) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            pacer.time += 0.012;
        }
        return false;
    }

  private:
    quillmar::testing::FakePacer& pacer;
};

const QString limit_line =
    QStringLiteral("Hold stopped after 15 s: a motor never runs longer while held\r\n");

}  // namespace

class RobotHoldTest : public QObject {
    Q_OBJECT
  private slots:
    void every_hold_ends_in_a_stop_data();
    void every_hold_ends_in_a_stop();
    void keys_do_what_their_buttons_do_data();
    void keys_do_what_their_buttons_do();
    void escape_ends_a_long_step_at_once();
};

void RobotHoldTest::every_hold_ends_in_a_stop_data() {
    QTest::addColumn<bool>("space");  // held by Space rather than the mouse
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<double>("ran");  // seconds from the first command to the second
    QTest::addColumn<QString>("error");
    const QStringList held{"1,0,0", "0,0,0"};
    const QStringList stopped{"1,0,0", "0,0,0", "0,0,0", "0,0,0"};
    const QStringList then_open{"1,0,0", "0,0,0", "2,0,0", "0,0,0"};
    QTest::newRow("click") << false << held << 0.1 << "";
    for (const char* act : {"release", "leave", "deactivate", "close", "SIGTERM"}) {
        QTest::newRow(act) << false << held << 1.2 << "";
    }
    QTest::newRow("Space let go") << true << held << 1.2 << "";
    QTest::newRow("Escape") << false << stopped << 1.2 << "";
    // The click on Stop takes the focus, which lets Grip go; then Stop's own two stops.
    QTest::newRow("Stop") << true << stopped << 1.2 << "";
    QTest::newRow("Release arm") << false << held << 1.2 << "Sent: ( 0, 0, 0) Return value -19\r\n";
    QTest::newRow("none: the limit") << false << held << 15.0 << limit_line;
    QTest::newRow("auto-repeat") << true << held << 15.0 << limit_line;
    // The hold's stop goes out before the other button moves anything; the run waits for it.
    QTest::newRow("press Open") << true << then_open << 1.2 << "";
    QTest::newRow("F5") << false << then_open << 1.2 << "";
    // The arm pulled out: the window stops the estimate when the presence tells, at most 0.2 s
    // later, and the pull has one line, also when a stop finds the arm gone before that.
    QTest::newRow("unplug") << false << QStringList{"1,0,0"} << 1.4
                            << "Arm unplugged: Return value -19\r\n";
    QTest::newRow("unplug, let go")
        << false << held << 1.4 << "Sent: ( 0, 0, 0) Return value -19\r\n";
}

void RobotHoldTest::every_hold_ends_in_a_stop() {
    QFETCH(bool, space);
    QFETCH(QStringList, commands);
    QFETCH(double, ran);
    QFETCH(QString, error);
    Bench bench;
    QPushButton* grip = bench.button("handin");
    QVERIFY(QTest::qWaitForWindowActive(&bench.robot));
    const double grip_start = bench.session.model().position_at(Joint::gripper, bench.pacer.now());
    const QString what = QTest::currentDataTag();
    bench.pacer.at(bench.pacer.now() + 1.2, [&] { act(bench, what); });
    grip->setFocus();
    space ? QTest::keyPress(grip, Qt::Key_Space) : QTest::mousePress(grip, Qt::LeftButton);
    // A button repaints before it tells of its release: the hold's stop may not wait for that.
    SlowPaint slow(bench.pacer);
    grip->installEventFilter(&slow);
    if (what != "click") {
        // The hold starts once the threshold has passed, and runs to its end in virtual time.
        QTRY_VERIFY_WITH_TIMEOUT(!bench.usb.transfers().empty(), 2000);
    }
    // Letting go after the hold has ended is no click.
    space ? QTest::keyRelease(grip, Qt::Key_Space) : QTest::mouseRelease(grip, Qt::LeftButton);
    if (what == "press Open") {
        QTest::mouseRelease(bench.button("handout"), Qt::LeftButton);
    }
    if (what == "click") {
        QTest::qWait(static_cast<int>(MotorButtons::hold_threshold.count()) + 100);
    }
    // Time passes after the hold, for the presence to tell.
    bench.pacer.pause(std::chrono::milliseconds(500), [] { return false; });
    QCOMPARE(sent_commands(bench.usb), commands);
    // With the arm gone, the estimate tells how long the gripper ran.
    const double gap =
        what.startsWith("unplug") ? bench.estimate_ran(grip_start) : bench.first_gap();
    QVERIFY2(std::abs(gap - ran) < 1e-6, qPrintable(QString::number(gap)));
    QCOMPARE(pane_text(*bench.control<QPlainTextEdit>("error")), error);
}

void RobotHoldTest::keys_do_what_their_buttons_do_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QStringList>("done");  // commands sent, then dialogs shown
    QTest::newRow("Ctrl+O") << "attached" << QStringList{"open "};
    QTest::newRow("Ctrl+S") << "attached" << QStringList{"save ", "beep"};
    QTest::newRow("F5") << "attached" << QStringList{"1,0,0", "0,0,0"};
    QTest::newRow("Shift+F5") << "attached" << QStringList{"2,0,0", "0,0,0"};
    QTest::newRow("Esc") << "attached" << QStringList{"0,0,0", "0,0,0"};
    for (const char* keys : {"Ctrl+O", "Ctrl+S", "F5", "Shift+F5"}) {
        QTest::newRow(keys) << "running" << QStringList{};
    }
    QTest::newRow("Esc") << "detached" << QStringList{};
}

void RobotHoldTest::keys_do_what_their_buttons_do() {
    QFETCH(QString, state);
    QFETCH(QStringList, done);
    Bench bench;
    QVERIFY(QTest::qWaitForWindowActive(&bench.robot));
    bench.robot.set_program_text("1,100");
    const auto type_and_check = [&] {
        // Keys typed in the program pane still reach the window.
        bench.control("data")->setFocus();
        type(QKeySequence(QString::fromLatin1(QTest::currentDataTag())));
        QCOMPARE(sent_commands(bench.usb) + bench.dialogs.shown, done);
    };
    if (state == "running") {
        bench.pacer.at(bench.pacer.now() + 1.0, [&] {
            bench.usb.clear_logs();
            type_and_check();
        });
        bench.hand.run(QStringLiteral("1,1000"), Direction::forwards);
        return;
    }
    if (state == "detached") {
        bench.button("release")->click();
        bench.usb.clear_logs();
    }
    type_and_check();
}

void RobotHoldTest::escape_ends_a_long_step_at_once() {
    Bench bench;
    QVERIFY(QTest::qWaitForWindowActive(&bench.robot));
    bench.robot.set_program_text("1,1000");
    bench.pacer.at(bench.pacer.now() + 1.0, [] { type(Qt::Key_Escape); });
    type(Qt::Key_F5);
    QCOMPARE(sent_commands(bench.usb), (QStringList{"1,0,0", "0,0,0", "0,0,0", "0,0,0"}));
    QVERIFY(std::abs(bench.first_gap() - 1.0) < 1e-6);
    QVERIFY(bench.control("panel")->isEnabled());
}

QTEST_MAIN(RobotHoldTest)
#include "robot_hold_test.moc"
