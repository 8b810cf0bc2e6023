// A five-step program on the emulated arm, with one fault at each transfer in turn, or one of
// Stop, Release, close and a termination signal at each step in turn.
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <array>
#include <csignal>
#include <set>

#include "app/pane_text.h"
#include "app/robot_bench.h"
#include "app/signal_bridge.h"
#include "armlink/arm_ids.h"
#include "support/arm_bytes.h"
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
// When each step begins, in seconds after the run's start, and the transfers sent up to and
// including the start command of the timed step whose wait takes an event that arrives during
// that step: a light step runs no events, so its event waits for the next timed step.
constexpr std::array<double, 5> step_start{0.0, 1.5, 2.0, 3.0, 3.5};
constexpr std::array<int, 5> sent_before_event{1, 4, 4, 7, 7};
constexpr std::array<int, 5> light_in_event{0, 1, 1, 0, 0};
// A fault row's result that stands for the arm being unplugged before that transfer.
constexpr int unplugged = error_code(UsbError::no_device);

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
            QTest::addRow("%s at transfer %d", name, transfer)
                << result << transfer << QString() << -1 << all_transfers << failures << QString();
        }
    }

    for (int step = 0; step < static_cast<int>(step_start.size()); ++step) {
        const QStringList before = all_transfers.mid(0, sent_before_event.at(step));
        const QString stop = QStringLiteral("0,0,%1").arg(light_in_event.at(step));
        // Stop's two stop commands, the step's own, then the all off of closing.
        QTest::addRow("Stop at step %d", step)
            << 0 << -1 << QStringLiteral("stopme") << step
            << before + QStringList{stop, stop, stop, "0,0,0"} << 0 << QString();
        // The all off; the unwinding step's stop then finds no arm and fails.
        QTest::addRow("Release at step %d", step)
            << 0 << -1 << QStringLiteral("release") << step << before + QStringList{"0,0,0"} << 1
            << QStringLiteral("Sent: ( 0, 0, 0) Return value -19\r\n");
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

QTEST_MAIN(FaultMatrixTest)
#include "fault_matrix_test.moc"
