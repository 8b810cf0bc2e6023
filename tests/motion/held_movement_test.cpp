#include <QTest>

#include "motion/held_movement.h"
#include "support/arm_bytes.h"
#include "support/attached_arm.h"

using namespace quillmar;
using quillmar::testing::sent_commands;

Q_DECLARE_METATYPE(quillmar::HoldEnd)

class HeldMovementTest : public QObject {
    Q_OBJECT
  private slots:
    void every_hold_ends_in_a_stop_data();
    void every_hold_ends_in_a_stop();
    void no_change_once_the_limit_stop_is_under_way();
    void timed_hold_ends_on_time_data();
    void timed_hold_ends_on_time();
};

void HeldMovementTest::every_hold_ends_in_a_stop_data() {
    QTest::addColumn<HoldEnd>("end");
    QTest::addColumn<QString>("error");
    QTest::newRow("released") << HoldEnd::released << "";
    QTest::newRow("told to stop") << HoldEnd::stopped << "";
    QTest::newRow("limit") << HoldEnd::limit
                           << "Hold stopped after 15 s: a motor never runs longer while held\r\n";
    // The all off is the release's; the hold's stop finds no arm.
    QTest::newRow("arm released") << HoldEnd::arm_released
                                  << "Sent: ( 0, 0, 0) Return value -19\r\n";
    // The shutdown's all off is the last command.
    QTest::newRow("window closing") << HoldEnd::closing << "";
}

void HeldMovementTest::every_hold_ends_in_a_stop() {
    QFETCH(HoldEnd, end);
    QFETCH(QString, error);
    quillmar::testing::AttachedArm bench;
    HeldMovement held(bench.link, bench.reports, bench.pacer);
    // Told to end while no hold was under way: that must not end the next one.
    held.end(HoldEnd::released);
    bench.pacer.at(bench.pacer.now() + 1.2, [&] {
        if (end == HoldEnd::arm_released) {
            bench.link.release();
            bench.pacer.wake();
        } else if (end == HoldEnd::closing) {
            bench.link.shutdown();
            bench.pacer.cancel();
        } else if (end != HoldEnd::limit) {
            held.end(end);
            // A later reason does not replace the first.
            held.end(HoldEnd::stopped);
            // What the caller does after letting go, as a button repaints its window, comes
            // after the stop.
            bench.pacer.time += 0.012;
        }
    });
    const HoldOutcome outcome = held.run(1);
    const double seconds = end == HoldEnd::limit ? HeldMovement::limit_seconds : 1.2;
    QCOMPARE(sent_commands(bench.usb), (QStringList{"1,0,0", "0,0,0"}));
    QCOMPARE(outcome.end, end);
    QVERIFY(std::abs(outcome.seconds - seconds) < 1e-6);
    QVERIFY(std::abs(bench.gap(1) - seconds) < 1e-6);
    QCOMPARE(bench.reports.error, error);
}

void HeldMovementTest::no_change_once_the_limit_stop_is_under_way() {
    quillmar::testing::AttachedArm bench;
    HeldMovement held(bench.link, bench.reports, bench.pacer);
    // The stop at the limit fails once; a key pressed while it is tried again would start a
    // motor that no stop follows.
    bench.usb.on_transfer([&](const EmulatedBus::Transfer&) {
        if (bench.usb.transfers().size() == 1) {
            bench.usb.fail_next_transfers(1, error_code(UsbError::timeout));
        }
    });
    bench.pacer.at(bench.pacer.now() + HeldMovement::limit_seconds + 0.01,
                   [&] { held.change(start_command(2, 0)); });
    QCOMPARE(held.run(1).end, HoldEnd::limit);
    QCOMPARE(sent_commands(bench.usb), (QStringList{"1,0,0", "0,0,0", "0,0,0"}));
}

// A hold asked for by time ends when asked, never past the limit, with no word of the limit:
// running as long as it was asked is no fault. Stop still cuts it short.
void HeldMovementTest::timed_hold_ends_on_time_data() {
    QTest::addColumn<double>("asked");
    QTest::addColumn<double>("ran");
    QTest::addColumn<HoldEnd>("end");
    QTest::newRow("a jog's time") << 0.1 << 0.1 << HoldEnd::limit;
    QTest::newRow("the limit") << 15.0 << 15.0 << HoldEnd::limit;
    QTest::newRow("beyond the limit") << 20.0 << 15.0 << HoldEnd::limit;
    QTest::newRow("stopped at 1.2 s") << 5.0 << 1.2 << HoldEnd::stopped;
}

void HeldMovementTest::timed_hold_ends_on_time() {
    QFETCH(double, asked);
    QFETCH(double, ran);
    QFETCH(HoldEnd, end);
    quillmar::testing::AttachedArm bench;
    HeldMovement held(bench.link, bench.reports, bench.pacer);
    if (end == HoldEnd::stopped) {
        bench.pacer.at(bench.pacer.now() + ran, [&] { held.end(HoldEnd::stopped); });
    }
    const HoldOutcome outcome = held.run_for(6, asked);
    QCOMPARE(sent_commands(bench.usb), (QStringList{"16,0,0", "0,0,0"}));
    QCOMPARE(outcome.end, end);
    QVERIFY(std::abs(bench.gap(1) - ran) < 1e-6);
    QCOMPARE(bench.reports.error, QString());
}

QTEST_GUILESS_MAIN(HeldMovementTest)
#include "held_movement_test.moc"
