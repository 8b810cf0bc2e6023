#include <QSignalSpy>
#include <QTest>
#include <optional>

#include "armlink/arm_device.h"
#include "session/arm_session.h"
#include "support/arm_bytes.h"
#include "support/fake_pacer.h"
#include "support/fake_presence.h"
#include "support/session_probe.h"
#include "usb/emulated_bus.h"

using namespace quillmar;
using quillmar::testing::sent_commands;
using State = ArmSession::State;

namespace {

const QString released = QStringLiteral("\r\nArm released");
const QString checked = QStringLiteral("Line  0 :    1 ,  100");
const QString no_arm_stop = QStringLiteral("Sent: ( 0, 0, 0) Return value -19");
const DeviceLocation arm_location{1, 2};

// The session on the emulated arm, attached, in virtual time; its lines as they come.
struct Bench {
    Bench() {
        QObject::connect(&session, &ArmSession::message_line,
                         [this](const QString& text) { messages << text; });
        QObject::connect(&session, &ArmSession::error_line,
                         [this](const QString& text) { errors << text; });
        session.start_up();
        clear();
    }
    void clear() {
        usb.clear_logs();
        messages.clear();
        errors.clear();
    }

    // Sets `setup` going and performs `operation` inside it, `seconds_in` (by default within a
    // jog's wait).
    void perform_within(const QString& setup, const std::function<void()>& operation,
                        double seconds_in = 0.05) {
        const double in = pacer.now() + seconds_in;
        const double later = pacer.now() + 1.0;
        if (setup == "no arm" || setup == "shutting down") {
            if (setup == "no arm") {
                hand.release();
            } else {
                session.shut_down();
            }
            clear();
            operation();
        } else if (setup == "idle") {
            operation();
        } else if (setup == "jog") {
            pacer.at(in, operation);
            hand.jog(1);
        } else if (setup == "hold") {
            pacer.at(in, operation);
            pacer.at(later, [this] { hand.let_go(); });
            hand.hold(1);
        } else if (setup == "key drive") {
            pacer.at(in, operation);
            pacer.at(later, [this] { hand.release_key(1); });
            hand.press_key(1);
        } else if (setup == "running") {
            pacer.at(in, operation);
            hand.run(QStringLiteral("1,100"), Direction::forwards);
        } else if (setup == "running two steps") {
            pacer.at(in, operation);
            hand.run(QStringLiteral("1,10\r\n2,10"), Direction::forwards);
        } else if (setup == "going back") {
            pacer.at(in, operation);
            testing::SessionProbe::go_back(session, hand, {{1, 1.0}});
        }
    }

    void perform(const QString& operation) {
        for (const QString& each : operation.split(QStringLiteral(", "))) {
            if (each == "attach") {
                hand.attach();
            } else if (each == "release") {
                hand.release();
            } else if (each == "jog 2") {
                hand.jog(2);
            } else if (each == "hold 2") {
                hand.hold(2);
            } else if (each == "key 2") {
                hand.press_key(2);
            } else if (each == "light") {
                hand.light();
            } else if (each == "run") {
                hand.run(QStringLiteral("1,100"), Direction::forwards);
            } else if (each == "stop") {
                hand.stop();
            } else if (each == "back to start") {
                hand.back_to_start();
            } else if (each == "shut down") {
                session.shut_down();
            } else if (each == "when still: jog 2") {
                hand.when_still([this] { hand.jog(2); });
            }
        }
    }

    testing::FakePacer pacer;
    EmulatedBus usb{[this] { return pacer.now(); }, hub_and_arm()};
    testing::FakePresence presence;
    ArmSession session{usb, pacer, ArmSource::commands_sent, &presence};
    ArmClient hand{session, ClientKind::main_window, QStringLiteral("the main window")};
    QStringList messages;
    QStringList errors;
};

}  // namespace

class ArmSessionTest : public QObject {
    Q_OBJECT
  private slots:
    void operation_in_each_state_data();
    void operation_in_each_state();
    void unplug_ends_it_at_once_data();
    void unplug_ends_it_at_once();
    void plugged_at_start_data();
    void plugged_at_start();
    void tells_each_step_and_command();
};

void ArmSessionTest::operation_in_each_state_data() {
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("commands");  // sent until everything has unwound
    QTest::addColumn<State>("during");          // right after the operation returned
    QTest::addColumn<State>("after");
    QTest::addColumn<QString>("message");  // the last message line, if any
    QTest::addColumn<QStringList>("errors");

    const QStringList none;
    const QStringList jog{"1,0,0", "0,0,0"};
    // Refused: nothing sent, nothing written.
    for (const char* refused :
         {"release", "jog 2", "hold 2", "key 2", "light", "run", "stop", "back to start"}) {
        QTest::addRow("no arm: %s", refused)
            << "no arm" << refused << none << State::no_arm << State::no_arm << "" << none;
    }
    for (const char* refused : {"jog 2", "key 2", "light", "run", "back to start"}) {
        QTest::addRow("running: %s", refused)
            << "running" << refused << jog << State::running << State::idle << checked << none;
        QTest::addRow("going back: %s", refused)
            << "going back" << refused << jog << State::going_back << State::idle << "" << none;
    }
    QTest::newRow("idle: attach") << "idle"
                                  << "attach" << none << State::idle << State::idle << "" << none;
    QTest::newRow("jog: attach") << "jog"
                                 << "attach" << jog << State::moving_by_hand << State::idle << ""
                                 << none;
    QTest::newRow("hold: hold 2") << "hold"
                                  << "hold 2" << jog << State::moving_by_hand << State::idle << ""
                                  << none;
    QTest::newRow("key drive: opposite key")
        << "key drive"
        << "key 2" << jog << State::moving_by_hand << State::idle << "" << none;
    QTest::newRow("shutting down: attach")
        << "shutting down"
        << "attach" << none << State::shutting_down << State::shutting_down << "" << none;
    QTest::newRow("shutting down: jog")
        << "shutting down"
        << "jog 2" << none << State::shutting_down << State::shutting_down << "" << none;

    // Taken.
    QTest::newRow("idle: jog") << "idle"
                               << "jog 2" << QStringList{"2,0,0", "0,0,0"} << State::idle
                               << State::idle << "" << none;
    QTest::newRow("idle: stop") << "idle"
                                << "stop" << QStringList{"0,0,0", "0,0,0"} << State::idle
                                << State::idle << "" << none;
    QTest::newRow("idle: run") << "idle"
                               << "run" << jog << State::idle << State::idle << checked << none;
    QTest::newRow("idle: at the start already")
        << "idle"
        << "back to start" << none << State::idle << State::idle << "" << none;
    QTest::newRow("idle: release")
        << "idle"
        << "release" << QStringList{"0,0,0"} << State::no_arm << State::no_arm << released << none;
    QTest::newRow("idle: shut down") << "idle"
                                     << "shut down" << QStringList{"0,0,0"} << State::shutting_down
                                     << State::shutting_down << released << none;
    QTest::newRow("no arm: attach") << "no arm"
                                    << "attach" << none << State::idle << State::idle
                                    << QStringLiteral("\r\nArm attached") << none;

    // Nested in a jog's wait: the jog's own stop comes last.
    QTest::newRow("jog: jog") << "jog"
                              << "jog 2" << QStringList{"1,0,0", "2,0,0", "0,0,0", "0,0,0"}
                              << State::moving_by_hand << State::idle << "" << none;
    QTest::newRow("jog: light") << "jog"
                                << "light" << QStringList{"1,0,0", "0,0,1", "0,0,1"}
                                << State::moving_by_hand << State::idle << "" << none;
    QTest::newRow("jog: run clicked") << "jog"
                                      << "run" << QStringList{"1,0,0", "1,0,0", "0,0,0", "0,0,0"}
                                      << State::moving_by_hand << State::idle << checked << none;
    QTest::newRow("jog: stop") << "jog"
                               << "stop" << QStringList{"1,0,0", "0,0,0", "0,0,0", "0,0,0"}
                               << State::moving_by_hand << State::idle << "" << none;
    QTest::newRow("jog: release") << "jog"
                                  << "release" << jog << State::moving_by_hand << State::no_arm
                                  << released << QStringList{no_arm_stop};
    QTest::newRow("jog: shut down")
        << "jog"
        << "shut down" << jog << State::shutting_down << State::shutting_down << released << none;
    // A hold or a key drive ends first, and the action follows its stop.
    QTest::newRow("hold: when still")
        << "hold"
        << "when still: jog 2" << QStringList{"1,0,0", "0,0,0", "2,0,0", "0,0,0"}
        << State::moving_by_hand << State::idle << "" << none;
    QTest::newRow("key drive: when still")
        << "key drive"
        << "when still: jog 2" << QStringList{"1,0,0", "0,0,0", "2,0,0", "0,0,0"}
        << State::moving_by_hand << State::idle << "" << none;
    // A run clicked during a hold lets go of it: the hold's stop goes before the run's first step.
    QTest::newRow("hold: run clicked") << "hold"
                                       << "run" << QStringList{"1,0,0", "0,0,0", "1,0,0", "0,0,0"}
                                       << State::moving_by_hand << State::idle << checked << none;
    QTest::newRow("hold: stop") << "hold"
                                << "stop" << QStringList{"1,0,0", "0,0,0", "0,0,0", "0,0,0"}
                                << State::moving_by_hand << State::idle << "" << none;
    QTest::newRow("hold: release") << "hold"
                                   << "release" << jog << State::moving_by_hand << State::no_arm
                                   << released << QStringList{no_arm_stop};
    QTest::newRow("key drive: stop") << "key drive"
                                     << "stop" << QStringList{"1,0,0", "0,0,0", "0,0,0", "0,0,0"}
                                     << State::moving_by_hand << State::idle << "" << none;

    // Stop and release cut a run or the way back short.
    QTest::newRow("running: stop") << "running"
                                   << "stop" << QStringList{"1,0,0", "0,0,0", "0,0,0", "0,0,0"}
                                   << State::running << State::idle << checked << none;
    QTest::newRow("running: release") << "running"
                                      << "release" << jog << State::running << State::no_arm
                                      << released << QStringList{no_arm_stop};
    // Attached again while the run unwinds: the run stays locked until it ends.
    QTest::newRow("running: release, attach")
        << "running"
        << "release, attach" << QStringList{"1,0,0", "0,0,0", "0,0,0"} << State::running
        << State::idle << QStringLiteral("\r\nArm attached") << none;
    // Once the arm went during an activity, nothing more may move it, Stop included.
    QTest::newRow("jog: release, stop") << "jog"
                                        << "release, stop" << jog << State::moving_by_hand
                                        << State::no_arm << released << QStringList{no_arm_stop};
    QTest::newRow("running: release, jog") << "running"
                                           << "release, jog 2" << jog << State::running
                                           << State::no_arm << released << QStringList{no_arm_stop};
    QTest::newRow("going back: stop") << "going back"
                                      << "stop" << QStringList{"1,0,0", "0,0,0", "0,0,0", "0,0,0"}
                                      << State::going_back << State::idle << "" << none;
    QTest::newRow("going back: release") << "going back"
                                         << "release" << jog << State::going_back << State::no_arm
                                         << released << QStringList{no_arm_stop};
}

void ArmSessionTest::operation_in_each_state() {
    QFETCH(QString, setup);
    QFETCH(QString, operation);
    QFETCH(QStringList, commands);
    QFETCH(State, during);
    QFETCH(State, after);
    QFETCH(QString, message);
    QFETCH(QStringList, errors);

    Bench bench;
    std::optional<State> seen;
    bench.perform_within(setup, [&] {
        bench.perform(operation);
        seen = bench.session.state();
    });
    QCOMPARE(sent_commands(bench.usb), commands);
    QVERIFY(seen);
    QCOMPARE(*seen, during);
    QCOMPARE(bench.session.state(), after);
    QCOMPARE(bench.messages.value(bench.messages.size() - 1), message);
    QCOMPARE(bench.errors, errors);
}

void ArmSessionTest::unplug_ends_it_at_once_data() {
    QTest::addColumn<QString>("setup");
    QTest::addColumn<double>("unplugged_at");  // seconds after the setup began
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<double>("ended_at");  // when the setup's call returned
    // A jog runs for its stated time; everything else ends as the arm goes.

    QTest::newRow("hold") << "hold" << 0.05 << QStringList{"1,0,0"} << 0.05;
    QTest::newRow("key drive") << "key drive" << 0.05 << QStringList{"1,0,0"} << 0.05;
    QTest::newRow("run step") << "running" << 0.05 << QStringList{"1,0,0"} << 0.05;
    QTest::newRow("run pause") << "running two steps" << 0.3 << QStringList{"1,0,0", "0,0,0"}
                               << 0.3;
    QTest::newRow("way back") << "going back" << 0.05 << QStringList{"1,0,0"} << 0.05;
    QTest::newRow("jog") << "jog" << 0.05 << QStringList{"1,0,0"} << 0.1;
    QTest::newRow("idle") << "idle" << 0.0 << QStringList{} << 0.0;
}

void ArmSessionTest::unplug_ends_it_at_once() {
    QFETCH(QString, setup);
    QFETCH(double, unplugged_at);
    QFETCH(QStringList, commands);
    QFETCH(double, ended_at);

    Bench bench;
    bench.session.set_recording(true);
    const double start = bench.pacer.now();
    std::optional<State> seen;
    bench.perform_within(
        setup,
        [&] {
            bench.presence.unplug(arm_location);
            seen = bench.session.state();
        },
        unplugged_at);
    QCOMPARE(bench.pacer.now() - start, ended_at);
    QCOMPARE(sent_commands(bench.usb), commands);
    QCOMPARE(bench.errors, QStringList{QStringLiteral("Arm unplugged: Return value -19")});
    QCOMPARE(bench.messages.filter(QStringLiteral("Arm")), QStringList{});
    QCOMPARE(bench.session.state(), State::no_arm);
    QVERIFY(!bench.session.recording());
    QVERIFY(seen);

    // A plugged arm is only hinted at: nothing attaches and nothing is written.
    QSignalSpy hint(&bench.session, &ArmSession::arm_plugged_in_changed);
    bench.presence.plug({1, 3});
    QCOMPARE(hint.count(), 1);
    QVERIFY(bench.session.arm_plugged_in());
    QVERIFY(!bench.session.attached());
    QCOMPARE(bench.errors.size(), 1);
    bench.hand.attach();
    QVERIFY(!bench.session.arm_plugged_in());
}

void ArmSessionTest::plugged_at_start_data() {
    QTest::addColumn<bool>("openable");  // whether start-up can attach the arm plugged in
    QTest::newRow("attached") << true;
    QTest::newRow("not attached") << false;
}

// An arm plugged in before start-up is hinted at only when start-up did not attach it, and its
// leaving takes the hint away.
void ArmSessionTest::plugged_at_start() {
    QFETCH(bool, openable);
    testing::FakePacer pacer;
    // Without the arm on the bus, start-up finds none to attach.
    EmulatedBus usb{[&] { return pacer.now(); },
                    openable ? hub_and_arm() : std::vector{root_hub_model(1)}};
    testing::FakePresence presence;
    presence.plug(arm_location);
    ArmSession session(usb, pacer, ArmSource::commands_sent, &presence);
    session.start_up();
    QCOMPARE(session.attached(), openable);
    QCOMPARE(session.arm_plugged_in(), !openable);
    presence.unplug(arm_location);
    QVERIFY(!session.arm_plugged_in());
}

void ArmSessionTest::tells_each_step_and_command() {
    Bench bench;
    QStringList steps;
    QObject::connect(
        &bench.session, &ArmSession::step_started, [&](int index, int count, const QString& line) {
            steps << QStringLiteral("%1 of %2: %3").arg(index + 1).arg(count).arg(line);
        });
    QStringList told;
    QObject::connect(&bench.session, &ArmSession::command_sent, [&](ArmCommand command) {
        told << QStringLiteral("%1,%2,%3").arg(command.motor).arg(command.base).arg(command.light);
    });
    QSignalSpy pose(&bench.session, &ArmSession::pose_changed);

    bench.hand.run(QStringLiteral("1,10\r\n\n 2 , 10"), Direction::reverse);

    QCOMPARE(steps, (QStringList{"1 of 2:  2 , 10", "2 of 2: 1,10"}));
    QCOMPARE(told, sent_commands(bench.usb));
    QCOMPARE(pose.count(), told.size());
}

QTEST_GUILESS_MAIN(ArmSessionTest)
#include "arm_session_test.moc"
