#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <memory>

#include "armlink/arm_device.h"
#include "armlink/arm_ids.h"
#include "motion/event_pacer.h"
#include "session/arm_client.h"
#include "session/arm_lock.h"
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

const QString grip = QStringLiteral("1,0,0");
const QString wrist_down = QStringLiteral("8,0,0");
const QString stop = QStringLiteral("0,0,0");

// The session on the emulated arm, in virtual time, with one client of each kind and a second
// script; who was told it was stopped, and by whom.
struct Bench {
    Bench() {
        session.set_soft_limits(false);
        session.start_up();
        usb.clear_logs();
        for (ArmClient* client : {&window, &keys, &pad, script.get(), &other}) {
            QObject::connect(client, &ArmClient::stopped_by_user,
                             [this, client](const QString& by) {
                                 told << client->name() + QStringLiteral(" by ") + by;
                             });
        }
    }
    ArmClient& client(const QString& name) {
        if (name == "window") {
            return window;
        }
        if (name == "keys") {
            return keys;
        }
        if (name == "pad") {
            return pad;
        }
        return name == "script" ? *script : other;
    }
    // Runs the queued movement of the person at the arm, which waits for a remote one to unwind.
    void run_queued() { QCoreApplication::processEvents(); }

    testing::FakePacer pacer;
    EmulatedBus usb{[this] { return pacer.now(); }, hub_and_arm()};
    ArmSession session{usb, pacer, ArmSource::commands_sent};
    ArmClient window{session, ClientKind::main_window, QStringLiteral("window")};
    ArmClient keys{session, ClientKind::arm_window, QStringLiteral("keys")};
    ArmClient pad{session, ClientKind::pad, QStringLiteral("pad")};
    std::unique_ptr<ArmClient> script =
        std::make_unique<ArmClient>(session, ClientKind::script, QStringLiteral("script"));
    ArmClient other{session, ClientKind::script, QStringLiteral("other")};
    QStringList told;
};

}  // namespace

class ArmClientTest : public QObject {
    Q_OBJECT
  private slots:
    void another_client_acts_during_a_movement_data();
    void another_client_acts_during_a_movement();
    void a_stopped_script_drives_again_once_it_resumes();
    void one_remote_client_drives_at_a_time();
    void not_responding_until_the_arm_takes_the_stop_data();
    void not_responding_until_the_arm_takes_the_stop();
    void ways_are_capped_data();
    void ways_are_capped();
    void repeat_is_one_rule_data();
    void repeat_is_one_rule();
    void step_is_told_as_the_programs_step();
    void escape_beats_a_looping_script();
    void light_asked_for_is_got();
    void the_light_is_kept_once_data();
    void the_light_is_kept_once();
    void unplug_stops_the_estimate();
    void one_process_per_arm();
};

void ArmClientTest::another_client_acts_during_a_movement_data() {
    QTest::addColumn<QString>("owner");   // who moves grip for 2 s
    QTest::addColumn<QString>("action");  // what another client does 0.5 s in
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QStringList>("told");
    // What the owner's next movement meets: its refusal, or "" when taken.
    QTest::addColumn<QString>("next");

    const QStringList cut{grip, stop, stop, stop};  // the hold's stop and Stop's two
    const QStringList taken_over{grip, stop, wrist_down, stop};
    const QStringList whole{grip, stop};
    const QString by_user = QStringLiteral("Stopped by the user");
    QTest::newRow("script, window's Stop")
        << "script"
        << "window stop" << cut << QStringList{"script by window"} << by_user;
    QTest::newRow("script, Escape in the arm window")
        << "script"
        << "keys stop" << cut << QStringList{"script by keys"} << by_user;
    QTest::newRow("script, pad's B")
        << "script"
        << "pad stop" << cut << QStringList{"script by pad"} << by_user;
    QTest::newRow("script, motor button")
        << "script"
        << "window hold" << taken_over << QStringList{"script by window"} << by_user;
    QTest::newRow("script, key pressed")
        << "script"
        << "keys key" << taken_over << QStringList{"script by keys"} << by_user;
    QTest::newRow("script, stick")
        << "script"
        << "pad key" << taken_over << QStringList{"script by pad"} << by_user;
    QTest::newRow("script, another script's move") << "script"
                                                   << "other move" << whole << QStringList{} << "";
    QTest::newRow("script, another script's stop") << "script"
                                                   << "other stop" << cut << QStringList{} << "";
    QTest::newRow("script, disconnects") << "script"
                                         << "script gone" << whole << QStringList{} << "gone";
    QTest::newRow("script, window loses the focus")
        << "script"
        << "window focus" << whole << QStringList{} << "";
    QTest::newRow("window's hold, its focus lost")
        << "window"
        << "window focus" << whole << QStringList{} << "";
    QTest::newRow("window's hold, the keys' window loses the focus")
        << "window"
        << "keys focus" << whole << QStringList{} << "";
    QTest::newRow("window's hold, a script's move")
        << "window"
        << "script move" << whole << QStringList{} << "";
    QTest::newRow("window's hold, a script's stop") << "window"
                                                    << "script stop" << cut << QStringList{} << "";
    QTest::newRow("window's hold, pad's B") << "window"
                                            << "pad stop" << cut << QStringList{} << "";
}

// Who may end whose movement: the person at the arm ends every one and a remote client is told;
// a client's release, focus loss or end acts on its own movement only.
void ArmClientTest::another_client_acts_during_a_movement() {
    QFETCH(QString, owner);
    QFETCH(QString, action);
    QFETCH(QStringList, commands);
    QFETCH(QStringList, told);
    QFETCH(QString, next);
    Bench bench;
    const double start = bench.pacer.now();
    std::optional<Answer<>> other_answer;
    bench.pacer.at(start + 0.5, [&] {
        const QString who = action.section(u' ', 0, 0);
        const QString what = action.section(u' ', 1);
        if (what == "stop") {
            bench.client(who).stop();
        } else if (what == "focus") {
            bench.client(who).focus_lost();
        } else if (what == "gone") {
            bench.script.reset();
        } else if (what == "move") {
            const Answer<HoldOutcome> moved = bench.client(who).hold_for(3, 1.0);
            QVERIFY(!moved);
        } else if (what == "hold") {
            QCOMPARE(bench.client(who).hold(3).why(), Why::taking_over);
            bench.pacer.at(start + 3.0, [&bench, who] { bench.client(who).let_go(); });
        } else if (what == "key") {
            const Answer<> pressed = bench.client(who).press_key(3);
            if (!pressed) {
                QCOMPARE(pressed.why(), Why::taking_over);
            }
            bench.pacer.at(start + 3.0, [&bench, who] { bench.client(who).release_key(3); });
        }
    });
    if (owner == "window") {
        bench.pacer.at(start + 2.0, [&bench] { bench.window.let_go(); });
        bench.window.hold(1);
    } else {
        bench.script->hold_for(1, 2.0);
    }
    bench.run_queued();
    bench.pacer.wait(bench.pacer.now(), 10.0, [] { return false; });

    QCOMPARE(sent_commands(bench.usb), commands);
    QCOMPARE(bench.told, told);
    if (owner == "script" && bench.script) {
        const Answer<HoldOutcome> again = bench.script->hold_for(1, 0.1);
        QCOMPARE(again ? QString() : again.refusal().text(), next);
    }
    QCOMPARE(bench.session.state(), State::idle);
}

void ArmClientTest::a_stopped_script_drives_again_once_it_resumes() {
    Bench bench;
    bench.script->hold_for(1, 0.1);
    // Stopped while it waits between two movements: a looping script drives no further.
    bench.window.stop();
    QCOMPARE(bench.told, QStringList{"script by window"});
    QCOMPARE(bench.script->run(QStringLiteral("1,10"), Direction::forwards).why(),
             Why::stopped_by_user);
    QCOMPARE(bench.script->light().why(), Why::stopped_by_user);
    bench.script->resume();
    QVERIFY(bench.script->hold_for(1, 0.1));
}

void ArmClientTest::one_remote_client_drives_at_a_time() {
    Bench bench;
    bench.script->hold_for(1, 0.1);
    QCOMPARE(bench.session.driver(), bench.script.get());
    const Answer<HoldOutcome> refused = bench.other.hold_for(1, 0.1);
    QCOMPARE(refused.refusal().text(), QStringLiteral("Another script drives the arm: script"));
    // The person at the arm is never kept out.
    QVERIFY(bench.window.jog(1));
    bench.script->release_drive();
    QVERIFY(bench.other.hold_for(1, 0.1));
    bench.other.release_drive();
    bench.script.reset();
    QVERIFY(!bench.session.driver());
}

void ArmClientTest::not_responding_until_the_arm_takes_the_stop_data() {
    QTest::addColumn<QString>("movement");
    QTest::newRow("script's move") << "move";
    QTest::newRow("script's run of two steps") << "run";
    QTest::newRow("window's hold") << "hold";
}

// A stop the arm never took leaves the session not responding: movements are refused and the
// stop goes again at the session's pace until the arm takes it; a run never starts its next step.
void ArmClientTest::not_responding_until_the_arm_takes_the_stop() {
    QFETCH(QString, movement);
    Bench bench;
    QSignalSpy states(&bench.session, &ArmSession::state_changed);
    // Every try of the stop within its bound fails.
    bench.pacer.at(bench.pacer.now() + 0.5, [&bench] { bench.usb.fail_next_transfers(1000, -5); });
    if (movement == "move") {
        bench.script->hold_for(1, 1.0);
    } else if (movement == "run") {
        const auto stopped_at =
            bench.script->run(QStringLiteral("1,100\r\n2,100"), Direction::forwards);
        QCOMPARE(*stopped_at, std::optional<int>(0));
    } else {
        bench.pacer.at(bench.pacer.now() + 1.0, [&bench] { bench.window.let_go(); });
        bench.window.hold(1);
    }
    QCOMPARE(bench.session.state(), State::not_responding);
    QCOMPARE(states.last().first().value<State>(), State::not_responding);
    QVERIFY(!sent_commands(bench.usb).contains(QStringLiteral("2,0,0")));
    QCOMPARE(bench.window.jog(1).why(), Why::not_responding);
    QCOMPARE(bench.other.hold_for(1, 1.0).refusal().text(),
             QStringLiteral("Not responding: a motor may be running"));
    // The arm answers again after two more tries.
    bench.usb.fail_next_transfers(2, -5);
    const qsizetype before = static_cast<qsizetype>(bench.usb.transfers().size());
    bench.session.resend_stop();
    bench.session.resend_stop();
    QCOMPARE(bench.session.state(), State::not_responding);
    bench.session.resend_stop();
    QCOMPARE(bench.session.state(), State::idle);
    QCOMPARE(sent_commands(bench.usb).mid(before), (QStringList{stop, stop, stop}));
    QCOMPARE(states.last().first().value<State>(), State::idle);
}

void ArmClientTest::ways_are_capped_data() {
    QTest::addColumn<double>("seconds");  // the one movement planned
    QTest::addColumn<int>("end");         // WayEnd
    QTest::addColumn<double>("ran");
    QTest::newRow("within the cap") << 10.0 << int(WayEnd::done) << 10.0;
    QTest::newRow("past the cap") << 600.0 << int(WayEnd::cap) << ArmSession::movement_cap_seconds;
}

void ArmClientTest::ways_are_capped() {
    QFETCH(double, seconds);
    QFETCH(int, end);
    QFETCH(double, ran);
    Bench bench;
    const Answer<WayEnd> way = bench.script->find_end(Joint::elbow, 1, seconds);
    QCOMPARE(int(*way), end);
    const auto& transfers = bench.usb.transfers();
    QCOMPARE(transfers.size(), std::size_t{2});
    QVERIFY(std::abs(transfers.at(1).time - transfers.at(0).time - ran) < 1e-6);
}

void ArmClientTest::repeat_is_one_rule_data() {
    QTest::addColumn<int>("times");
    QTest::addColumn<bool>("back");
    QTest::addColumn<double>("stop_at");  // seconds after the start; 0 for never
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<int>("done");
    const QStringList run{grip, stop};
    QTest::newRow("three runs") << 3 << false << 0.0 << run + run + run << 3;
    QTest::newRow("stopped in the pause")
        << 3 << false << 0.3 << run + QStringList{stop, stop} << 1;
    QTest::newRow("back to start between")
        << 2 << true << 0.0 << run + QStringList{QStringLiteral("2,0,0"), stop} + run << 2;
}

// Repeat is one operation for every front end: the pause between two steps between two runs
// (after Back to start when asked), and no run after a Stop.
void ArmClientTest::repeat_is_one_rule() {
    QFETCH(int, times);
    QFETCH(bool, back);
    QFETCH(double, stop_at);
    QFETCH(QStringList, commands);
    QFETCH(int, done);
    Bench bench;
    const double start = bench.pacer.now();
    if (stop_at > 0) {
        bench.pacer.at(start + stop_at, [&bench] { bench.window.stop(); });
    }
    QStringList runs;
    QObject::connect(&bench.session, &ArmSession::repeat_run_started, [&runs](int run, int of) {
        runs << QStringLiteral("%1 of %2").arg(run).arg(of);
    });
    const Answer<int> ran =
        bench.script->repeat(QStringLiteral("1,10"), Direction::forwards, times, back);
    QCOMPARE(*ran, done);
    QCOMPARE(sent_commands(bench.usb), commands);
    QCOMPARE(runs.size(), done);
    QCOMPARE(runs.constLast(), QStringLiteral("%1 of %2").arg(done).arg(times));
    if (done > 1 && !back) {
        const auto& transfers = bench.usb.transfers();
        QVERIFY(transfers.at(2).time - transfers.at(1).time >= 0.5);
    }
}

void ArmClientTest::step_is_told_as_the_programs_step() {
    Bench bench;
    QStringList told;
    QObject::connect(&bench.session, &ArmSession::step_started,
                     [&told](int index, int count, const QString& line) {
                         told << QStringLiteral("%1 of %2: %3").arg(index + 1).arg(count).arg(line);
                     });
    QCOMPARE(*bench.window.step(QStringLiteral("1,10\r\n2,10\r\n0,"), 1), 2);
    QCOMPARE(told, QStringList{"2 of 3: 2,10"});
    QCOMPARE(bench.window.step(QStringLiteral("1,10"), 4).why(), Why::no_such_step);
}

// In real time: a script that loops moves is stopped at once by Escape, and sends nothing after.
void ArmClientTest::escape_beats_a_looping_script() {
    EventPacer pacer;
    EmulatedBus usb{[&] { return pacer.now(); }, hub_and_arm()};
    ArmSession session(usb, pacer, ArmSource::commands_sent);
    session.set_soft_limits(false);
    session.start_up();
    ArmClient keys(session, ClientKind::arm_window, QStringLiteral("keys"));
    ArmClient script(session, ClientKind::script, QStringLiteral("script"));
    usb.clear_logs();
    double escaped = 0.0;
    QTimer::singleShot(300, [&] {
        escaped = pacer.now();
        keys.stop();
    });
    // As a script's connection does: each move asked for from the event loop once the last ended.
    int refused = 0;
    const std::function<void()> loop = [&] {
        const bool left = static_cast<bool>(script.hold_for(1 + refused % 2, 0.05));
        if (!left) {
            ++refused;
        }
        if (refused < 3) {
            QTimer::singleShot(0, loop);
        }
    };
    QTimer::singleShot(0, loop);
    QTRY_COMPARE_WITH_TIMEOUT(refused, 3, 2000);
    const auto& transfers = usb.transfers();
    const auto first_after = std::ranges::find_if(
        transfers, [&](const EmulatedBus::Transfer& each) { return each.time >= escaped; });
    QVERIFY(first_after != transfers.end());
    QCOMPARE(testing::command_text(*first_after), stop);
    QVERIFY(first_after->time - escaped <= 0.02);
    QVERIFY(std::all_of(first_after, transfers.end(), [](const EmulatedBus::Transfer& each) {
        return testing::command_text(each) == stop;
    }));
    qInfo("Escape to the stop at the arm: %.2f ms", (first_after->time - escaped) * 1000.0);
}

// Asked on or off, the light is got so, whatever the button's toggle remembered.
void ArmClientTest::light_asked_for_is_got() {
    Bench bench;
    QCOMPARE(*bench.script->set_light(true), true);
    bench.script->release();
    bench.script->attach();
    QCOMPARE(*bench.script->set_light(true), true);
    QCOMPARE(*bench.script->set_light(true), true);
    QCOMPARE(*bench.script->set_light(false), false);
    QCOMPARE(sent_commands(bench.usb).filter(QStringLiteral(",0,1")).size(), 2);
}

void ArmClientTest::the_light_is_kept_once_data() {
    QTest::addColumn<QString>("actions");
    QTest::addColumn<bool>("toggle");
    QTest::addColumn<bool>("indicator");
    QTest::addColumn<QStringList>("since_attach");
    // b: the window's light button; 1/0: a script asks for the light on/off; r/a: release and
    // attach; j: a jog of the gripper.
    QTest::newRow("button twice") << "ab b" << false << false << QStringList{"0,0,1", "0,0,0"};
    QTest::newRow("the button's state outlives a release")
        << "b r ab" << false << false << QStringList{"0,0,0"};
    QTest::newRow("asked on after a release") << "1 r a1" << true << true << QStringList{"0,0,1"};
    QTest::newRow("asked for what the indicator shows sends nothing")
        << "a1 1 0 0" << false << false << QStringList{"0,0,1", "0,0,0"};
    QTest::newRow("the button after a light asked for")
        << "a0 b" << true << true << QStringList{"0,0,1"};
    QTest::newRow("a jog carries the indicator")
        << "b r a1j" << true << true << QStringList{"0,0,1", "1,0,1", "0,0,1"};
}

// The window's button, a script's light and the commands' light byte read the session's two
// values, whichever client switched them last.
void ArmClientTest::the_light_is_kept_once() {
    QFETCH(QString, actions);
    Bench bench;
    QSignalSpy indicator_told(&bench.session, &ArmSession::light_changed);
    for (const QChar action : actions) {
        switch (action.toLatin1()) {
            case 'b':
                bench.window.light();
                break;
            case '1':
                bench.script->set_light(true);
                break;
            case '0':
                bench.script->set_light(false);
                break;
            case 'r':
                bench.window.release();
                break;
            case 'a':
                bench.window.attach();
                bench.usb.clear_logs();
                break;
            case 'j':
                bench.window.jog(1);
                break;
            default:
                break;
        }
    }
    QTEST(bench.session.light_toggle(), "toggle");
    QTEST(bench.session.light_indicator(), "indicator");
    QTEST(sent_commands(bench.usb), "since_attach");
    QVERIFY(!indicator_told.isEmpty());
    QCOMPARE(indicator_told.last().at(0).toBool(), bench.session.light_indicator());
}

// The arm pulled out during a hold: every motor stopped with its power, and so does the estimate.
void ArmClientTest::unplug_stops_the_estimate() {
    testing::FakePacer pacer;
    EmulatedBus usb{[&] { return pacer.now(); }, hub_and_arm()};
    testing::FakePresence presence;
    presence.plug({1, 2});
    ArmSession session(usb, pacer, ArmSource::commands_sent, &presence);
    session.set_soft_limits(false);
    session.start_up();
    ArmClient window(session, ClientKind::main_window, QStringLiteral("window"));
    const double start = pacer.now();
    const double before = session.model().position_at(Joint::gripper, start);
    pacer.at(start + 1.0, [&] {
        usb.unplug(arm_vendor_id, arm_product_id);
        presence.unplug({1, 2});
    });
    pacer.at(start + 3.0, [&] { window.let_go(); });
    window.hold(2);
    const double speed = session.model().speeds().of(Joint::gripper, 1);
    QVERIFY(std::abs(session.model().position_at(Joint::gripper, pacer.now() + 5.0) -
                     (before + speed * 1.0)) < 0.01);
}

// A second session (another process's, as the lock is a file lock) cannot attach the arm that
// one drives, and says which process does; released, the arm is free again.
void ArmClientTest::one_process_per_arm() {
    QTemporaryDir folder;
    testing::FakePacer pacer;
    EmulatedBus usb{[&] { return pacer.now(); }, hub_and_arm()};
    ArmSession first(usb, pacer, ArmSource::commands_sent);
    first.use_arm_lock(folder.path());
    first.start_up();
    QVERIFY(first.attached());
    ArmSession second(usb, pacer, ArmSource::commands_sent);
    second.use_arm_lock(folder.path());
    QStringList lines;
    QObject::connect(&second, &ArmSession::message_line,
                     [&lines](const QString& line) { lines << line; });
    second.start_up();
    QVERIFY(!second.attached());
    QCOMPARE(lines.mid(1), (QStringList{QStringLiteral("Could not attach"),
                                        QStringLiteral("Quillmar (process %1) drives this arm")
                                            .arg(QCoreApplication::applicationPid())}));
    ArmClient window(first, ClientKind::main_window, QStringLiteral("window"));
    window.release();
    ArmClient again(second, ClientKind::main_window, QStringLiteral("window"));
    again.attach();
    QVERIFY(second.attached());
}

QTEST_GUILESS_MAIN(ArmClientTest)
#include "arm_client_test.moc"
