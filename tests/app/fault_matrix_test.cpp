// A five-step program on the emulated arm, with one fault at each transfer in turn, or one of
// Stop, Release, close and a termination signal at each step in turn; and every kind of stop
// command failing once or for good.
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <array>
#include <csignal>
#include <set>

#include "app/pane_text.h"
#include "app/robot_bench.h"
#include "armlink/arm_ids.h"
#include "session/signal_bridge.h"
#include "support/arm_bytes.h"
#include "support/session_probe.h"
#include "text/number_text.h"

using namespace quillmar;
using quillmar::testing::RobotBench;
using quillmar::testing::sent_commands;

namespace {

// Grip, light on, elbow down, light off, base anticlockwise: three timed steps, two light steps.
const QString program_text = QStringLiteral("1,100\r\n0,\r\n5,50\r\n0,\r\n9,30");
const QString run_messages = QStringLiteral(
    "\r\nTesting your program\r\n\r\n"
    "Line  0 :    1 ,  100\r\n"
    "Line  1 :    0 , \r\n"
    "Line  2 :    5 ,  50\r\n"
    "Line  3 :    0 , \r\n"
    "Line  4 :    9 ,  30\r\n"
    "\r\nArm released\r\n");
// The whole run, then the all off of closing the window.
const QStringList all_transfers{"1,0,0", "0,0,0", "0,0,1", "32,0,1", "0,0,1",
                                "0,0,0", "0,2,0", "0,0,0", "0,0,0"};
// The stops among them, which go again when the arm did not take them; the light commands do not.
const std::set<int> stop_transfers{1, 4, 7, 8};
// When each step begins, in seconds after the run's start, and the transfers sent before an event
// that arrives 0.1 s later: a timed step takes it in its wait, a light step in the pause after it.
constexpr std::array<double, 5> step_start{0.0, 1.5, 2.0, 3.0, 3.5};
constexpr std::array<int, 5> sent_before_event{1, 3, 4, 6, 7};
constexpr std::array<int, 5> light_in_event{0, 1, 1, 0, 0};
constexpr std::array<bool, 5> in_pause{false, true, false, true, false};
// A fault row's result that stands for the arm being unplugged before that transfer.
constexpr int unplugged = error_code(UsbError::no_device);

const QString all_off = QStringLiteral("0,0,0");
const QString all_off_failed = QStringLiteral("Sent: ( 0, 0, 0) Return value -5\r\n");
const QString not_taken =
    QStringLiteral("The arm did not take the stop command: switch it off\r\n");
// A stop the arm never takes: tried every 0.02 s until 2 s have passed.
constexpr int tries_in_bound = 100;

// Calls that name a handle already closed, e.g. "reset(3)".
QStringList calls_after_close(const EmulatedBus& usb) {
    static const std::set<std::string> without_handle{"initialise",    "set_debug_level",
                                                      "rescan_busses", "rescan_devices",
                                                      "open_nth",      "open_first"};
    std::set<int> closed;
    QStringList misuse;
    for (const auto& call : usb.calls()) {
        if (without_handle.contains(call.routine)) {
            continue;
        }
        const int handle = call.arguments.at(0);
        if (closed.contains(handle)) {
            misuse << QString::fromStdString(call.routine) + QStringLiteral("(%1)").arg(handle);
        }
        if (call.routine == "close") {
            closed.insert(handle);
        }
    }
    return misuse;
}

// One error line for each transfer that did not move its three bytes, as the pane shows it.
QString failure_lines(const EmulatedBus& usb) {
    QString lines;
    for (const auto& transfer : usb.transfers()) {
        if (transfer.result != 3) {
            lines += QStringLiteral("Sent: (") + number_text(transfer.data.at(0)) + ',' +
                     number_text(transfer.data.at(1)) + ',' + number_text(transfer.data.at(2)) +
                     QStringLiteral(") Return value ") + number_text(transfer.result) +
                     QStringLiteral("\r\n");
        }
    }
    return lines;
}

}  // namespace

class FaultMatrixTest : public QObject {
    Q_OBJECT
  private slots:
    void every_fault_ends_safely_data();
    void every_fault_ends_safely();
    void stops_go_again_until_taken_data();
    void stops_go_again_until_taken();
};

void FaultMatrixTest::every_fault_ends_safely_data() {
    QTest::addColumn<int>("fault");  // a transfer's result, or `unplugged`
    QTest::addColumn<int>("transfer");
    QTest::addColumn<QString>("event");  // a button's name, "close" or "SIGTERM"
    QTest::addColumn<int>("step");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<int>("failures");
    // Failed commands that reached no bus at all: the arm had been let go.
    QTest::addColumn<QString>("unsent");

    const std::array<std::pair<const char*, int>, 4> faults{{
        {"time-out", error_code(UsbError::timeout)},
        {"i/o error", error_code(UsbError::io)},
        {"short transfer", 2},
        {"unplugged", unplugged},
    }};
    for (const auto& [name, result] : faults) {
        const auto count = static_cast<int>(all_transfers.size());
        for (int transfer = 0; transfer < count; ++transfer) {
            const int failures = result == unplugged ? count - transfer : 1;
            QStringList commands = all_transfers;
            // A stop goes again, and the arm takes it; an unplugged arm is not tried again.
            if (result != unplugged && stop_transfers.contains(transfer)) {
                commands.insert(transfer + 1, all_transfers.at(transfer));
            }
            QTest::addRow("%s at transfer %d", name, transfer)
                << result << transfer << QString() << -1 << commands << failures << QString();
        }
    }

    for (int step = 0; step < static_cast<int>(step_start.size()); ++step) {
        const QStringList before = all_transfers.mid(0, sent_before_event.at(step));
        const QString stop = QStringLiteral("0,0,%1").arg(light_in_event.at(step));
        const bool pause = in_pause.at(step);
        // Stop's two stop commands, the timed step's own, then the all off of closing.
        QTest::addRow("Stop at step %d", step)
            << 0 << -1 << QStringLiteral("stopme") << step
            << before + QStringList{stop, stop} + (pause ? QStringList{} : QStringList{stop}) +
                   QStringList{"0,0,0"}
            << 0 << QString();
        // The all off; the unwinding timed step's stop then finds no arm and fails.
        QTest::addRow("Release at step %d", step)
            << 0 << -1 << QStringLiteral("release") << step << before + QStringList{"0,0,0"}
            << (pause ? 0 : 1)
            << (pause ? QString() : QStringLiteral("Sent: ( 0, 0, 0) Return value -19\r\n"));
        for (const char* closing : {"close", "SIGTERM"}) {
            QTest::addRow("%s at step %d", closing, step)
                << 0 << -1 << QString::fromLatin1(closing) << step << before + QStringList{"0,0,0"}
                << 0 << QString();
        }
    }
}

void FaultMatrixTest::every_fault_ends_safely() {
    QFETCH(int, fault);
    QFETCH(int, transfer);
    QFETCH(QString, event);
    QFETCH(int, step);
    QFETCH(QStringList, commands);
    QFETCH(int, failures);
    QFETCH(QString, unsent);

    RobotBench bench(true);
    SignalBridge bridge;
    QObject::connect(&bridge, &SignalBridge::termination_requested, &bench.robot, &QWidget::close);
    bool closed = false;
    std::size_t sent_at_close = 0;
    QObject::connect(&bench.robot, &Robot::closed, &bench.robot, [&] {
        closed = true;
        sent_at_close = bench.usb.transfers().size();
    });
    bench.robot.start_up();
    bench.robot.set_program_text(program_text);
    const QString messages_before = pane_text(*bench.control<QPlainTextEdit>("message"));

    const auto inject = [&] {
        if (fault == unplugged) {
            bench.usb.unplug(arm_vendor_id, arm_product_id);
        } else {
            bench.usb.fail_next_transfers(1, fault);
        }
    };
    if (transfer == 0) {
        inject();
    } else if (transfer > 0) {
        bench.usb.on_transfer([&](const EmulatedBus::Transfer&) {
            if (bench.usb.transfers().size() == static_cast<std::size_t>(transfer)) {
                inject();
            }
        });
    }
    const auto deliver = [&] {
        if (event == QLatin1String("close")) {
            bench.robot.close();
        } else if (event == QLatin1String("SIGTERM")) {
            // The bridge's notifier turns it into a close in the event run.
            std::raise(SIGTERM);
            QVERIFY(QTest::qWaitFor([&] { return closed; }));
        } else {
            bench.control<QPushButton>(event.toLatin1().constData())->click();
        }
    };
    if (step >= 0) {
        bench.pacer.at(bench.pacer.now() + step_start.at(static_cast<std::size_t>(step)) + 0.1,
                       deliver);
    }

    bench.control<QPushButton>("program")->click();
    bench.robot.close();

    QVERIFY(closed);
    QCOMPARE(bench.usb.transfers().size(), sent_at_close);
    QCOMPARE(sent_commands(bench.usb), commands);
    QCOMPARE(bench.usb.open_handle_count(), 0);
    QCOMPARE(calls_after_close(bench.usb), QStringList());
    QCOMPARE(pane_text(*bench.control<QPlainTextEdit>("message")), messages_before + run_messages);
    const QString errors = pane_text(*bench.control<QPlainTextEdit>("error"));
    QCOMPARE(errors, failure_lines(bench.usb) + unsent);
    QCOMPARE(errors.count(QStringLiteral("Sent: (")), failures);
    if (transfer >= 0) {
        QCOMPARE(bench.usb.transfers().at(static_cast<std::size_t>(transfer)).result, fault);
    }
    if (fault != unplugged) {
        const auto& transfers = bench.usb.transfers();
        const auto last_reached =
            std::find_if(transfers.rbegin(), transfers.rend(),
                         [](const auto& sent) { return sent.result != unplugged; });
        QVERIFY(last_reached != transfers.rend());
        QCOMPARE(last_reached->data.at(0), std::uint8_t{0});
        QCOMPARE(last_reached->data.at(1), std::uint8_t{0});
    }
}

void FaultMatrixTest::stops_go_again_until_taken_data() {
    // Grip runs, then its stop is the first command that fails: once, or with every later one.
    QTest::addColumn<QString>("movement");
    QTest::addColumn<bool>("every_time");
    QTest::addColumn<QStringList>("after");  // commands after the first stop's tries
    QTest::addColumn<QString>("errors");

    const QStringList never_taken(tries_in_bound, all_off);
    for (const bool every : {false, true}) {
        const QString first_stop = all_off_failed + (every ? not_taken : QString());
        const char* how = every ? "every time" : "once";
        // The movement ends in its stop; closing then sends the all off.
        const QString limit =
            QStringLiteral("Hold stopped after 15 s: a motor never runs longer while held\r\n");
        for (const char* movement : {"jog", "step", "hold", "key drive", "Back to start"}) {
            const QString after_stop =
                QString::fromLatin1(movement) == "hold" && !every ? limit : QString();
            QTest::addRow("%s, failing %s", movement, how)
                << movement << every << (every ? never_taken : QStringList{all_off})
                << first_stop + after_stop + (every ? first_stop : QString());
        }
        // Stop during a step: its second stop and the step's own are tried once each once the
        // arm has failed to take one for the whole bound.
        QTest::addRow("Stop, failing %s", how)
            << "stopme" << every
            << QStringList{all_off, all_off} + (every ? never_taken : QStringList{all_off})
            << first_stop + (every ? all_off_failed + all_off_failed + first_stop : QString());
        // The step's stop, after the arm was let go, reaches no arm.
        QTest::addRow("Release, failing %s", how)
            << "release" << every << QStringList{}
            << first_stop + QStringLiteral("Sent: ( 0, 0, 0) Return value -19\r\n");
        for (const char* closing : {"close", "SIGTERM"}) {
            QTest::addRow("%s, failing %s", closing, how)
                << closing << every << QStringList{} << first_stop;
        }
    }
}

void FaultMatrixTest::stops_go_again_until_taken() {
    QFETCH(QString, movement);
    QFETCH(bool, every_time);
    QFETCH(QStringList, after);
    QFETCH(QString, errors);

    RobotBench bench(true);
    SignalBridge bridge;
    QObject::connect(&bridge, &SignalBridge::termination_requested, &bench.robot, &QWidget::close);
    QSignalSpy closed(&bench.robot, &Robot::closed);
    bench.robot.start_up();
    bench.robot.show();
    QVERIFY(QTest::qWaitForWindowActive(&bench.robot));
    bench.usb.clear_logs();
    bench.usb.on_transfer([&](const EmulatedBus::Transfer&) {
        if (bench.usb.transfers().size() == 1) {
            bench.usb.fail_next_transfers(every_time ? 1'000'000 : 1, error_code(UsbError::io));
        }
    });
    QPushButton* grip = bench.control<QPushButton>("handin");
    const double start = bench.pacer.now();
    bool went_back = false;
    if (movement == "jog") {
        grip->click();
    } else if (movement == "step") {
        bench.robot.set_program_text(QStringLiteral("1,100"));
        bench.control<QPushButton>("program")->click();
    } else if (movement == "hold") {
        // Held to the limit, in virtual time once the threshold has passed.
        QTest::mousePress(grip, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(bench.usb.transfers().size() > 1, 2000);
        QTest::mouseRelease(grip, Qt::LeftButton);
    } else if (movement == "key drive") {
        bench.pacer.at(start + 1.0, [&] { bench.hand.release_key(1); });
        bench.hand.press_key(1);
    } else if (movement == "Back to start") {
        went_back = testing::SessionProbe::go_back(bench.session, bench.hand, {{1, 1.0}});
    } else {
        bench.pacer.at(start + 1.0, [&] {
            if (movement == "close") {
                bench.robot.close();
            } else if (movement == "SIGTERM") {
                std::raise(SIGTERM);
                QVERIFY(QTest::qWaitFor([&] { return !closed.isEmpty(); }));
            } else {
                bench.control<QPushButton>(movement.toLatin1().constData())->click();
            }
        });
        bench.robot.set_program_text(QStringLiteral("1,300"));
        bench.control<QPushButton>("program")->click();
    }
    bench.robot.close();

    QCOMPARE(closed.size(), 1);
    const int tries = every_time ? tries_in_bound : 2;
    QCOMPARE(sent_commands(bench.usb), QStringList{"1,0,0"} + QStringList(tries, all_off) + after);
    const auto& sent = bench.usb.transfers();
    QVERIFY(std::abs(sent.at(tries).time - sent.at(1).time - 0.02 * (tries - 1)) < 1e-6);
    QCOMPARE(pane_text(*bench.control<QPlainTextEdit>("error")), errors);
    // What the program's exit status reports.
    QCOMPARE(bench.session.left_running(), every_time);
    if (movement == "Back to start") {
        QCOMPARE(went_back, !every_time);
    }
}

QTEST_MAIN(FaultMatrixTest)
#include "fault_matrix_test.moc"
