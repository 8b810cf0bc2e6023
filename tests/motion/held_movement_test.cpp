#include <QTest>
#include <functional>

#include "motion/held_movement.h"
#include "support/arm_bytes.h"
#include "support/attached_arm.h"

using namespace quillmar;
using quillmar::testing::sent_commands;

namespace {

struct Bench : quillmar::testing::AttachedArm {
    HeldMovement held{link, reports, pacer};
};

// What ends the hold, 1.2 s after its start command; nothing for a hold left to its limit.
using Ending = std::function<void(Bench&)>;

}  // namespace

Q_DECLARE_METATYPE(Ending)
Q_DECLARE_METATYPE(quillmar::HoldEnd)

class HeldMovementTest : public QObject {
    Q_OBJECT
  private slots:
    void every_hold_ends_in_a_stop_data();
    void every_hold_ends_in_a_stop();
};

void HeldMovementTest::every_hold_ends_in_a_stop_data() {
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<HoldEnd>("end");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QString>("error");
    const Ending release = [](Bench& b) {
        b.held.end(HoldEnd::released);
        // A later reason does not replace the first.
        b.held.end(HoldEnd::stopped);
    };
    const Ending stop = [](Bench& b) { b.held.end(HoldEnd::stopped); };
    const Ending release_arm = [](Bench& b) {
        b.link.release();
        b.pacer.wake();
    };
    const Ending close = [](Bench& b) {
        b.link.shutdown();
        b.pacer.cancel();
    };
    const QStringList start_and_stop{"1,0,0", "0,0,0"};
    QTest::newRow("released") << release << start_and_stop << HoldEnd::released << 1.2 << "";
    QTest::newRow("told to stop") << stop << start_and_stop << HoldEnd::stopped << 1.2 << "";
    QTest::newRow("limit") << Ending() << start_and_stop << HoldEnd::limit << 15.0
                           << "Hold stopped after 15 s: a motor never runs longer while held\r\n";
    // The all off is the release's; the hold's stop finds no arm.
    QTest::newRow("arm released") << release_arm << start_and_stop << HoldEnd::arm_released << 1.2
                                  << "Sent: ( 0, 0, 0) Return value -19\r\n";
    // The shutdown's all off is the last command.
    QTest::newRow("window closing") << close << start_and_stop << HoldEnd::closing << 1.2 << "";
}

void HeldMovementTest::every_hold_ends_in_a_stop() {
    QFETCH(Ending, ending);
    QFETCH(QStringList, commands);
    QFETCH(HoldEnd, end);
    QFETCH(double, seconds);
    QFETCH(QString, error);
    Bench bench;
    // Told to end while no hold was under way: that must not end the next hold.
    bench.held.end(HoldEnd::released);
    if (ending) {
        bench.pacer.at(bench.pacer.now() + 1.2, [&] { ending(bench); });
    }
    const HoldOutcome outcome = bench.held.run(1);
    QCOMPARE(sent_commands(bench.usb), commands);
    QCOMPARE(outcome.end, end);
    QVERIFY(std::abs(outcome.seconds - seconds) < 1e-6);
    QVERIFY(std::abs(bench.gap(1) - seconds) < 1e-6);
    QCOMPARE(bench.reports.error, error);
    QVERIFY(!bench.held.under_way());
}

QTEST_GUILESS_MAIN(HeldMovementTest)
#include "held_movement_test.moc"
