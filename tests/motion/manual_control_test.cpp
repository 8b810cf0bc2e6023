#include <QTest>

#include "armlink/arm_ids.h"
#include "support/arm_bytes.h"
#include "support/attached_arm.h"

using namespace quillmar;
using quillmar::testing::sent_commands;

namespace {

using Bench = quillmar::testing::AttachedArm;

}  // namespace

class ManualControlTest : public QObject {
    Q_OBJECT
  private slots:
    void jog_runs_one_motor_for_a_tenth_data();
    void jog_runs_one_motor_for_a_tenth();
    void light_toggles_command_and_indicator();
    void light_click_inside_a_jog_keeps_its_light();
    void jog_inside_a_jog_replaces_the_motor();
    void release_inside_a_jog_reports_the_late_stop();
    void failed_jog_still_takes_its_time();
    void light_state_outlives_release();
};

void ManualControlTest::jog_runs_one_motor_for_a_tenth_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("light");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("stop");
    const QStringList start_bytes{"1,0",  "2,0",   "8,0",  "4,0", "32,0",
                                  "16,0", "128,0", "64,0", "0,2", "0,1"};
    for (int light = 0; light <= 1; ++light) {
        for (int command = 1; command <= 10; ++command) {
            QTest::addRow("command %d, light %d", command, light)
                << command << light << start_bytes[command - 1] + "," + QString::number(light)
                << "0,0," + QString::number(light);
        }
    }
}

void ManualControlTest::jog_runs_one_motor_for_a_tenth() {
    QFETCH(int, command);
    QFETCH(int, light);
    QFETCH(QString, start);
    QFETCH(QString, stop);
    Bench bench;
    bench.link.show_light(light != 0);
    bench.manual.jog(command);
    QCOMPARE(sent_commands(bench.usb), (QStringList{start, stop}));
    QVERIFY(bench.gap(1) >= 0.1);
    QVERIFY(bench.gap(1) < 0.1 + 1e-9);
    QCOMPARE(bench.reports.error, QString());
}

void ManualControlTest::light_toggles_command_and_indicator() {
    Bench bench;
    bench.manual.light();
    QVERIFY(bench.reports.light);
    QVERIFY(bench.manual.light_state());
    bench.manual.light();
    QVERIFY(!bench.reports.light);
    QCOMPARE(sent_commands(bench.usb), (QStringList{"0,0,1", "0,0,0"}));
}

void ManualControlTest::light_click_inside_a_jog_keeps_its_light() {
    Bench bench;
    bench.pacer.at(bench.pacer.now() + 0.05, [&] { bench.manual.light(); });
    bench.manual.jog(1);
    QCOMPARE(sent_commands(bench.usb), (QStringList{"1,0,0", "0,0,1", "0,0,1"}));
    QVERIFY(bench.reports.light);
}

void ManualControlTest::jog_inside_a_jog_replaces_the_motor() {
    Bench bench;
    const double begin = bench.pacer.now();
    bench.pacer.at(begin + 0.05, [&] { bench.manual.jog(3); });
    bench.manual.jog(1);
    QCOMPARE(sent_commands(bench.usb), (QStringList{"1,0,0", "8,0,0", "0,0,0", "0,0,0"}));
    QVERIFY(bench.gap(2) >= 0.1);
    // The outer jog's time ran out inside the inner one, so its stop follows at once.
    QCOMPARE(bench.usb.transfers().at(3).time, bench.usb.transfers().at(2).time);
}

void ManualControlTest::release_inside_a_jog_reports_the_late_stop() {
    Bench bench;
    bench.pacer.at(bench.pacer.now() + 0.05, [&] { bench.link.release(); });
    bench.manual.jog(7);
    QCOMPARE(sent_commands(bench.usb).mid(0, 2), (QStringList{"128,0,0", "0,0,0"}));
    QCOMPARE(bench.reports.error, QStringLiteral("Sent: ( 0, 0, 0) Return value -19\r\n"));
}

void ManualControlTest::failed_jog_still_takes_its_time() {
    Bench bench;
    bench.usb.unplug(arm_vendor_id, arm_product_id);
    const double begin = bench.pacer.now();
    bench.manual.jog(2);
    QCOMPARE(bench.reports.error, QStringLiteral("Sent: ( 2, 0, 0) Return value -19\r\n"
                                                 "Sent: ( 0, 0, 0) Return value -19\r\n"));
    QVERIFY(bench.pacer.now() - begin >= 0.1);
}

void ManualControlTest::light_state_outlives_release() {
    Bench bench;
    bench.manual.light();
    bench.link.release();
    QVERIFY(bench.link.attach_arm());
    QVERIFY(!bench.reports.light);
    QVERIFY(bench.manual.light_state());
    bench.usb.clear_logs();

    bench.manual.light();
    QVERIFY(!bench.reports.light);
    bench.manual.light();
    QVERIFY(bench.reports.light);
    QCOMPARE(sent_commands(bench.usb), (QStringList{"0,0,0", "0,0,1"}));
}

QTEST_GUILESS_MAIN(ManualControlTest)
#include "manual_control_test.moc"
