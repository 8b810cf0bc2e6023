// The keys' drive in virtual time: which commands go out when, what each press answers, and
// what a drive of one motor reports as moved.
#include <QTest>

#include "motion/key_drive.h"
#include "support/arm_bytes.h"
#include "support/attached_arm.h"

using namespace quillmar;
using quillmar::testing::timed_commands;

namespace {

QString answer_text(KeyAnswer answer) {
    switch (answer) {
        case KeyAnswer::moving:
            return QStringLiteral("moving");
        case KeyAnswer::opposite_held:
            return QStringLiteral("opposite held");
        case KeyAnswer::one_at_a_time:
            return QStringLiteral("one at a time");
    }
    return {};
}

}  // namespace

class KeyDriveTest : public QObject {
    Q_OBJECT
  private slots:
    void keys_drive_until_the_last_goes_data();
    void keys_drive_until_the_last_goes();
};

void KeyDriveTest::keys_drive_until_the_last_goes_data() {
    QTest::addColumn<bool>("one_motor");        // teaching: one motor at a time
    QTest::addColumn<int>("stop_failures");     // of the transfers after the first one
    QTest::addColumn<QStringList>("acts");      // "seconds act" after key 9 went down
    QTest::addColumn<QStringList>("answers");   // of each press, as it returned
    QTest::addColumn<QStringList>("commands");  // taken, as "seconds m,b,l"
    QTest::addColumn<QStringList>("moved");     // "command seconds"
    QTest::addColumn<QString>("error");
    const QString failed_stop = QStringLiteral("Sent: ( 0, 0, 0) Return value -116\r\n");
    QTest::newRow("let go, its repeat ignored")
        << false << 0 << QStringList{"0.5 press 9", "1.2 release 9"}
        << QStringList{"moving", "moving"} << QStringList{"0 0,2,0", "1.2 0,0,0"}
        << QStringList{"9 1.2"} << "";
    // Base anticlockwise and shoulder up in one command, then the shoulder alone.
    QTest::newRow("two motors combine")
        << false << 0 << QStringList{"0.5 press 8", "1 release 9", "1.2 release 8"}
        << QStringList{"moving", "moving"}
        << QStringList{"0 0,2,0", "0.5 64,2,0", "1 64,0,0", "1.2 0,0,0"} << QStringList{} << "";
    QTest::newRow("the other way refused")
        << false << 0 << QStringList{"0.5 press 10", "0.8 release 10", "1.2 release 9"}
        << QStringList{"opposite held", "moving"} << QStringList{"0 0,2,0", "1.2 0,0,0"}
        << QStringList{"9 1.2"} << "";
    QTest::newRow("one motor while teaching")
        << true << 0 << QStringList{"0.5 press 8", "0.8 release 8", "1.2 release 9"}
        << QStringList{"one at a time", "moving"} << QStringList{"0 0,2,0", "1.2 0,0,0"}
        << QStringList{"9 1.2"} << "";
    // The light command stops the motor; the drive's stop keeps the light on.
    QTest::newRow("light during the drive")
        << false << 0 << QStringList{"0.5 light", "1.2 release 9"} << QStringList{"moving"}
        << QStringList{"0 0,2,0", "0.5 0,0,1", "1.2 0,0,1"} << QStringList{"9 1.2"} << "";
    QTest::newRow("pressed while the stop is sent, runs next")
        << false << 1 << QStringList{"1.2 release 9", "1.21 press 8", "2 release 8"}
        << QStringList{"moving", "moving"}
        << QStringList{"0 0,2,0", "1.22 0,0,0", "1.22 64,0,0", "2 0,0,0"}
        << QStringList{"9 1.2", "8 0.78"} << failed_stop;
    QTest::newRow("stopped: keys pressed meanwhile forgotten")
        << false << 1 << QStringList{"1 end", "1.01 press 8"} << QStringList{"moving", "moving"}
        << QStringList{"0 0,2,0", "1.02 0,0,0"} << QStringList{"9 1"} << failed_stop;
    QTest::newRow("held past the limit")
        << false << 0 << QStringList{"14 press 8", "14.5 release 8"}
        << QStringList{"moving", "moving"}
        << QStringList{"0 0,2,0", "14 64,2,0", "14.5 0,2,0", "15 0,0,0"} << QStringList{}
        << "Hold stopped after 15 s: a motor never runs longer while held\r\n";
}

void KeyDriveTest::keys_drive_until_the_last_goes() {
    QFETCH(bool, one_motor);
    QFETCH(int, stop_failures);
    QFETCH(QStringList, acts);
    QFETCH(QStringList, answers);
    QFETCH(QStringList, commands);
    QFETCH(QStringList, moved);
    QFETCH(QString, error);
    quillmar::testing::AttachedArm bench;
    KeyDrive drive(bench.link, bench.reports, bench.pacer);
    drive.set_one_motor_at_a_time(one_motor);
    QStringList moves;
    drive.on_moved([&](int command, double seconds) {
        moves << QString::number(command) + ' ' +
                     QString::number(std::round(seconds * 1000) / 1000);
    });
    if (stop_failures > 0) {
        bench.usb.on_transfer([&](const EmulatedBus::Transfer&) {
            if (bench.usb.transfers().size() == 1) {
                bench.usb.fail_next_transfers(stop_failures, error_code(UsbError::timeout));
            }
        });
    }
    QStringList answered;
    const double start = bench.pacer.now();
    for (const QString& act : acts) {
        const QStringList words = act.split(' ');
        bench.pacer.at(start + words.at(0).toDouble(), [&, words] {
            const int command = words.value(2).toInt();
            if (words.at(1) == "press") {
                answered << answer_text(drive.press(command));
            } else if (words.at(1) == "release") {
                drive.release(command);
            } else if (words.at(1) == "end") {
                drive.end(HoldEnd::stopped);
            } else {
                bench.manual.light();
            }
        });
    }
    answered << answer_text(drive.press(9));
    QVERIFY(!drive.under_way());
    QCOMPARE(answered, answers);
    QCOMPARE(timed_commands(bench.usb, start), commands);
    QCOMPARE(moves, moved);
    QCOMPARE(bench.reports.error, error);
}

QTEST_GUILESS_MAIN(KeyDriveTest)
#include "key_drive_test.moc"
