#include <QCheckBox>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <csignal>

#include "app/robot.h"
#include "app/signal_bridge.h"
#include "armlink/emulated_usb.h"
#include "manual/event_pacer.h"
#include "support/arm_bytes.h"

using namespace quillmar;
using quillmar::testing::device_calls;
using quillmar::testing::sent_commands;

namespace {

const QString help_text = QStringLiteral(
    "Examples:\r\nEnter \"1,100\"\r\nTo close the Grip for 100 cS\r\n\r\n"
    "Seperate commands with return:\r\n0,\r\n2,50\r\n5,200\r\n7,200\r\n\r\n"
    "The light is not timed (Just enter \"0,\")");

class NoDialogs : public FileDialogs {
  public:
    void set_start_folder(const QString&) override {}
    QString ask_open_name(const QString&) override { return {}; }
    QString ask_save_name(const QString&) override { return {}; }
    bool confirm_replace(const QString&) override { return false; }
    void beep() override {}
};

class BrokenUsb : public EmulatedUsb {
  public:
    using EmulatedUsb::EmulatedUsb;
    int vb_usb_init() override { return usb_error::io; }
};

// The window on an emulated bus with real waits, as a user would meet it.
struct Session {
    explicit Session(bool with_arm = true) {
        usb.plug(root_hub_model());
        if (with_arm) {
            usb.plug(arm_device_model());
        }
    }
    template <typename T>
    T* find(const char* name) {
        return robot.findChild<T*>(QLatin1String(name));
    }
    QString pane(const char* name) {
        return find<QPlainTextEdit>(name)->toPlainText().replace(QLatin1Char('\n'),
                                                                 QStringLiteral("\r\n"));
    }
    void click(const char* name) { find<QPushButton>(name)->click(); }
    bool enabled(const char* name) { return robot.findChild<QWidget*>(name)->isEnabled(); }
    QString control_states() {
        QString states;
        for (const char* name : {"gettit", "release", "panel", "stopme"}) {
            states += enabled(name) ? QLatin1Char('1') : QLatin1Char('0');
        }
        return states;
    }

    EventPacer pacer;
    EmulatedUsb usb{[this] { return pacer.now(); }};
    NoDialogs dialogs;
    Robot robot{usb, pacer, dialogs};
};

constexpr auto attached_states = "0111";
constexpr auto detached_states = "1000";

}  // namespace

class RobotSessionTest : public QObject {
    Q_OBJECT
  private slots:
    void start_up_attaches_the_arm();
    void start_up_without_arm_leaves_the_controls_locked();
    void start_up_stops_when_the_usb_library_fails();
    void attach_and_release_any_number_of_times();
    void closing_while_attached_switches_everything_off();
    void closing_during_a_jog_ends_it_at_once();
    void closing_during_a_run_ends_it_at_once();
    void release_during_a_run_keeps_the_controls_locked();
    void termination_signal_closes_like_the_close_box();
};

void RobotSessionTest::start_up_attaches_the_arm() {
    Session session;
    QCOMPARE(session.robot.start_up(), 0);
    QCOMPARE(session.pane("info"), help_text);
    QVERIFY(session.pane("message").startsWith(
        QStringLiteral("New Busses   1\r\nNew Devices  2\r\n\r\nDevice 0\r\n")));
    QVERIFY(session.pane("message").endsWith(QStringLiteral("\r\n\r\nArm attached\r\n")));
    QCOMPARE(session.control_states(), QString(attached_states));
    const QStringList calls = device_calls(session.usb);
    QCOMPARE(calls.mid(0, 4), (QStringList{"vb_usb_init()", "vb_usb_set_debug(255)",
                                           "usb_find_busses()", "usb_find_devices()"}));
    QCOMPARE(calls.mid(calls.size() - 3, 1), QStringList{"vb_usb_open(0,4711,0)"});
    QVERIFY(!session.robot.manual().light_state());
}

void RobotSessionTest::start_up_without_arm_leaves_the_controls_locked() {
    Session session(false);
    QCOMPARE(session.robot.start_up(), 0);
    QVERIFY(session.pane("message").endsWith(QStringLiteral("\r\nCould not attach\r\n")));
    QCOMPARE(session.control_states(), QString(detached_states));
    for (const char* usable : {"loadfile", "savefile", "data"}) {
        QVERIFY(session.enabled(usable));
    }
    const QString before = session.pane("message");
    session.robot.close();
    QVERIFY(session.usb.transfers().empty());
    QCOMPARE(session.pane("message"), before);
}

void RobotSessionTest::start_up_stops_when_the_usb_library_fails() {
    EventPacer pacer;
    BrokenUsb usb{[&] { return pacer.now(); }};
    usb.plug(arm_device_model());
    NoDialogs dialogs;
    Robot robot{usb, pacer, dialogs};
    QCOMPARE(robot.start_up(), usb_error::io);
    // Nothing after the failed start: no survey, no attach.
    QVERIFY(usb.calls().empty());
}

void RobotSessionTest::attach_and_release_any_number_of_times() {
    Session session;
    session.robot.start_up();
    const QString survey_and_attach = session.pane("message");
    for (int round = 0; round < 3; ++round) {
        session.robot.set_light_indicator(1);
        session.usb.clear_logs();
        session.click("release");
        QCOMPARE(sent_commands(session.usb), QStringList{"0,0,0"});
        QCOMPARE(session.robot.light_indicator(), 0);
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

void RobotSessionTest::closing_while_attached_switches_everything_off() {
    Session session;
    session.robot.start_up();
    session.click("lightme");
    QCOMPARE(session.robot.light_indicator(), 1);
    QSignalSpy closed(&session.robot, &Robot::closed);
    session.usb.clear_logs();
    session.robot.close();
    session.robot.close();
    QCOMPARE(sent_commands(session.usb), QStringList{"0,0,0"});
    QCOMPARE(session.robot.light_indicator(), 0);
    QVERIFY(session.pane("message").endsWith(QStringLiteral("\r\nArm released\r\n")));
    QCOMPARE(session.usb.open_handle_count(), 0);
    QCOMPARE(closed.count(), 1);
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
    // The run's own stop goes to handle 0 after the release and is reported.
    QCOMPARE(sent_commands(session.usb), (QStringList{"1,0,0", "0,0,0", "0,0,0"}));
    QCOMPARE(session.usb.transfers().back().handle, 0);
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
