// The way back in virtual time: the plan's movements one after the other, the light first, and
// what cuts them short.
#include <QTest>

#include "motion/back_to_start.h"
#include "support/arm_bytes.h"
#include "support/attached_arm.h"

using namespace quillmar;
using quillmar::testing::timed_commands;

class BackToStartTest : public QObject {
    Q_OBJECT
  private slots:
    void way_back_runs_the_plan_data();
    void way_back_runs_the_plan();
};

void BackToStartTest::way_back_runs_the_plan_data() {
    QTest::addColumn<QStringList>("plan");      // "command seconds"
    QTest::addColumn<QString>("cut");           // at 0.5 s: stop, release, close, stop not taken
    QTest::addColumn<QStringList>("commands");  // taken, as "seconds m,b,l"
    QTest::addColumn<bool>("done");
    const QStringList plan{"0 0", "5 1.5", "2 0.25"};
    // The light as the light button switches it, so that every later command keeps it on.
    QTest::newRow("light first, then each joint")
        << plan << "" << QStringList{"0 0,0,1", "0 32,0,1", "1.5 0,0,1", "1.5 2,0,1", "1.75 0,0,1"}
        << true;
    QTest::newRow("nothing to do") << QStringList{} << "" << QStringList{} << true;
    QTest::newRow("stop") << plan << "stop" << QStringList{"0 0,0,1", "0 32,0,1", "0.5 0,0,1"}
                          << false;
    // The release's all off; the movement's own stop finds no arm.
    QTest::newRow("release") << plan << "release" << QStringList{"0 0,0,1", "0 32,0,1", "0.5 0,0,0"}
                             << false;
    QTest::newRow("close") << plan << "close" << QStringList{"0 0,0,1", "0 32,0,1", "0.5 0,0,0"}
                           << false;
    // The elbow may still be moving: the gripper does not start from where the plan thinks.
    QTest::newRow("stop not taken")
        << QStringList{"5 1.5", "2 0.25"} << "stop not taken" << QStringList{"0 32,0,0"} << false;
}

void BackToStartTest::way_back_runs_the_plan() {
    QFETCH(QStringList, plan);
    QFETCH(QString, cut);
    QFETCH(QStringList, commands);
    QFETCH(bool, done);
    quillmar::testing::AttachedArm bench;
    BackToStart way_back(bench.link, bench.pacer, bench.manual);
    std::vector<Movement> movements;
    for (const QString& movement : plan) {
        movements.push_back(
            {movement.section(' ', 0, 0).toInt(), movement.section(' ', 1).toDouble()});
    }
    const double start = bench.pacer.now();
    if (cut == "stop not taken") {
        // Every transfer after the start fails.
        bench.usb.on_transfer([&](const EmulatedBus::Transfer&) {
            bench.usb.fail_next_transfers(1000, error_code(UsbError::timeout));
        });
    }
    bench.pacer.at(start + 0.5, [&] {
        if (cut == "stop") {
            way_back.stop();
        } else if (cut == "release") {
            bench.link.release();
            bench.pacer.wake();
        } else if (cut == "close") {
            bench.link.shutdown();
            bench.pacer.cancel();
        }
    });
    // Told to stop while none ran: that must not cut the next one short.
    way_back.stop();
    QCOMPARE(way_back.run(movements), done);
    QVERIFY(!way_back.under_way());
    QCOMPARE(timed_commands(bench.usb, start), commands);
}

QTEST_GUILESS_MAIN(BackToStartTest)
#include "back_to_start_test.moc"
