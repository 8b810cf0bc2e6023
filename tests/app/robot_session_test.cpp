#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <csignal>

#include "app/pane_text.h"
#include "app/robot.h"
#include "app/robot_bench.h"
#include "armlink/arm_device.h"
#include "motion/event_pacer.h"
#include "session/signal_bridge.h"
#include "support/arm_bytes.h"
#include "support/session_probe.h"
#include "usb/emulated_bus.h"

using namespace quillmar;
using quillmar::testing::sent_commands;

namespace {

// The window on an emulated bus with real waits: closing and releasing must end them at once.
struct Session {
    template <typename T>
    T* find(const char* name) {
        return robot.findChild<T*>(QLatin1String(name));
    }
    QString pane(const char* name) { return pane_text(*find<QPlainTextEdit>(name)); }
    void click(const char* name) { find<QPushButton>(name)->click(); }
    bool enabled(const char* name) { return find<QWidget>(name)->isEnabled(); }
    QString control_states() {
        QString states;
        for (const char* name : {"gettit", "release", "panel", "stopme"}) {
            states += enabled(name) ? QLatin1Char('1') : QLatin1Char('0');
        }
        return states;
    }

    EventPacer pacer;
    EmulatedBus usb{[this] { return pacer.now(); }, hub_and_arm()};
    quillmar::testing::ScriptedDialogs dialogs;
    ArmSession session{usb, pacer, ArmSource::commands_sent};
    Robot robot{session, dialogs};
};

constexpr auto attached_states = "0111";
constexpr auto detached_states = "1000";

}  // namespace

class RobotSessionTest : public QObject {
    Q_OBJECT
  private slots:
    void attach_and_release_any_number_of_times();
    void closing_during_a_jog_ends_it_at_once();
    void closing_during_a_run_ends_it_at_once();
    void release_during_a_run_keeps_the_controls_locked();
    void termination_signal_closes_like_the_close_box();
};

void RobotSessionTest::attach_and_release_any_number_of_times() {
    Session session;
    session.robot.start_up();
    const QString survey_and_attach = session.pane("message");
    for (int round = 0; round < 3; ++round) {
        testing::SessionProbe::link(session.session).show_light(true);
        session.usb.clear_logs();
        session.click("release");
        QCOMPARE(sent_commands(session.usb), QStringList{"0,0,0"});
        QVERIFY(!session.robot.light_indicator());
        QVERIFY(session.pane("message").endsWith(QStringLiteral("\r\n\r\nArm released\r\n")));
        QCOMPARE(session.control_states(), QString(detached_states));
        QCOMPARE(session.usb.open_handle_count(), 0);

        session.click("gettit");
        QCOMPARE(session.control_states(), QString(attached_states));
        // Each attach empties the pane first; the rescan now finds no new busses or devices.
        QCOMPARE(session.pane("message").section(QStringLiteral("\r\n"), 2),
                 survey_and_attach.section(QStringLiteral("\r\n"), 2));
        QVERIFY(session.pane("message").startsWith(
            QStringLiteral("New Busses   0\r\nNew Devices  0\r\n")));
    }
}

void RobotSessionTest::closing_during_a_jog_ends_it_at_once() {
    Session session;
    session.robot.start_up();
    session.usb.clear_logs();
    QTimer::singleShot(20, &session.robot, &QWidget::close);
    const double start = session.pacer.now();
    session.click("handin");
    QVERIFY(session.pacer.now() - start < 0.09);
    QCOMPARE(sent_commands(session.usb), (QStringList{"1,0,0", "0,0,0"}));
    QCOMPARE(session.pane("error"), QString());
}

void RobotSessionTest::closing_during_a_run_ends_it_at_once() {
    Session session;
    session.robot.start_up();
    session.robot.set_program_text(QStringLiteral("1,500\r\n2,500\r\n"));
    session.usb.clear_logs();
    QTimer::singleShot(50, &session.robot, &QWidget::close);
    const double start = session.pacer.now();
    session.click("program");
    QVERIFY(session.pacer.now() - start < 0.5);
    QCOMPARE(sent_commands(session.usb), (QStringList{"1,0,0", "0,0,0"}));
}

void RobotSessionTest::release_during_a_run_keeps_the_controls_locked() {
    Session session;
    session.robot.start_up();
    session.robot.set_program_text(QStringLiteral("1,300\r\n2,300\r\n"));
    session.usb.clear_logs();
    QTimer::singleShot(50, [&] { session.click("release"); });
    const double start = session.pacer.now();
    session.click("program");
    QVERIFY(session.pacer.now() - start < 0.5);
    // The run's own stop finds no arm after the release and is reported.
    QCOMPARE(sent_commands(session.usb), (QStringList{"1,0,0", "0,0,0"}));
    QCOMPARE(session.pane("error"), QStringLiteral("Sent: ( 0, 0, 0) Return value -19\r\n"));
    QCOMPARE(session.control_states(), QString(detached_states));
    QVERIFY(session.enabled("data"));
    QVERIFY(session.enabled("loadfile"));
}

void RobotSessionTest::termination_signal_closes_like_the_close_box() {
    Session session;
    session.robot.start_up();
    SignalBridge bridge;
    QObject::connect(&bridge, &SignalBridge::termination_requested, &session.robot,
                     &QWidget::close);
    QSignalSpy closed(&session.robot, &Robot::closed);
    session.usb.clear_logs();
    std::raise(SIGTERM);
    QVERIFY(closed.wait(2000));
    QCOMPARE(sent_commands(session.usb), QStringList{"0,0,0"});
    QCOMPARE(session.usb.open_handle_count(), 0);
}

QTEST_MAIN(RobotSessionTest)
#include "robot_session_test.moc"
