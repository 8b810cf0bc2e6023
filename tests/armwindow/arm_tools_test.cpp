#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include "armlink/arm_device.h"
#include "armwindow/arm_tools.h"
#include "armwindow/arm_window.h"
#include "motion/speed_settings.h"
#include "support/arm_bytes.h"
#include "support/fake_pacer.h"
#include "support/true_arm.h"
#include "usb/emulated_bus.h"

using namespace quillmar;
using quillmar::testing::sent_commands;
using quillmar::testing::TrueArm;

namespace {

// A pose box's program, where Insert is not clicked.
const auto no_program = [] { return QString(); };
const auto no_cursor = [] { return qsizetype{0}; };

}  // namespace

class ArmToolsTest : public QObject {
    Q_OBJECT
  private slots:
    void timed_holds_calibrate_a_joint_data();
    void timed_holds_calibrate_a_joint();
    void speeds_kept_in_the_settings_data();
    void speeds_kept_in_the_settings();
    void poses_kept_in_the_settings_data();
    void poses_kept_in_the_settings();
    void shift_in_the_arm_window_drives_past_soft_limits_data();
    void shift_in_the_arm_window_drives_past_soft_limits();
    void preview_follows_the_calibrated_speeds_data();
    void preview_follows_the_calibrated_speeds();
    void repeat_sends_each_run_data();
    void repeat_sends_each_run();
    void go_to_says_how_it_ended_data();
    void go_to_says_how_it_ended();
};

void ArmToolsTest::timed_holds_calibrate_a_joint_data() {
    QTest::addColumn<double>("factor");
    QTest::addColumn<bool>("soft_limits");
    QTest::newRow("slower arm") << 0.8 << true;
    QTest::newRow("faster arm") << 1.25 << true;
    QTest::newRow("limits off") << 0.8 << false;
}

void ArmToolsTest::timed_holds_calibrate_a_joint() {
    QFETCH(double, factor);
    QFETCH(bool, soft_limits);
    TrueArm arm(factor);
    CalibrationBox box(arm.hand, {}, nullptr);
    box.findChild<QCheckBox*>(QStringLiteral("softlimits"))->setChecked(soft_limits);
    const double travel = travel_seconds(Joint::elbow, row_of(Joint::elbow).speed * factor);
    // Each hold lasts until the true elbow stops at its end: a faster estimate's soft limit must
    // not cut the timed holds short.
    const auto hold = [&arm](int command, double seconds) {
        arm.pacer.at(arm.pacer.now() + seconds, [&arm] { arm.hand.let_go(); });
        arm.hand.hold(command);
    };
    box.start_timing(Joint::elbow);
    hold(6, travel);
    box.next_timing_step();
    hold(5, travel);
    box.next_timing_step();
    hold(6, travel);
    box.next_timing_step();
    const JointSpeeds speeds = arm.session.model().speeds();
    QVERIFY2(
        std::abs(speeds.of(Joint::elbow, 1) / (row_of(Joint::elbow).speed * factor) - 1.0) < 1e-6,
        qPrintable(box.note_text()));
    QVERIFY(std::abs(speeds.of(Joint::elbow, -1) / (row_of(Joint::elbow).speed * factor) - 1.0) <
            1e-6);
    QCOMPARE(speeds.of(Joint::wrist, 1), row_of(Joint::wrist).speed);
    QCOMPARE(arm.session.soft_limits(), soft_limits);
}

void ArmToolsTest::speeds_kept_in_the_settings_data() {
    QTest::addColumn<QVariant>("saved");
    QTest::addColumn<double>("speed");
    // The elbow's 300° range in 6 s is 50°/s; anything that is no travel time keeps 25°/s.
    QTest::newRow("seconds") << QVariant(6.0) << 50.0;
    QTest::newRow("text of seconds") << QVariant(QStringLiteral("6")) << 50.0;
    QTest::newRow("not a number") << QVariant(QStringLiteral("fast")) << 25.0;
    QTest::newRow("negative") << QVariant(-6.0) << 25.0;
    QTest::newRow("zero") << QVariant(0.0) << 25.0;
    QTest::newRow("infinite") << QVariant(QStringLiteral("inf")) << 25.0;
    QTest::newRow("huge") << QVariant(1e300) << 25.0;
}

void ArmToolsTest::speeds_kept_in_the_settings() {
    QFETCH(QVariant, saved);
    QFETCH(double, speed);
    QTemporaryDir folder;
    QSettings settings(folder.filePath(QStringLiteral("quillmar.conf")), QSettings::IniFormat);
    settings.setValue(QStringLiteral("arm/speeds/elbow_down"), saved);
    TrueArm arm(1.0);
    {
        CalibrationBox box(arm.hand, {&settings, QStringLiteral("arm")}, nullptr);
        QCOMPARE(arm.session.model().speeds().of(Joint::elbow, -1), speed);
        QCOMPARE(arm.session.model().speeds().of(Joint::elbow, 1), row_of(Joint::elbow).speed);
    }
    // What was read back is what the next start reads.
    TrueArm again(1.0);
    CalibrationBox box(again.hand, {&settings, QStringLiteral("arm")}, nullptr);
    QCOMPARE(again.session.model().speeds().of(Joint::elbow, -1), speed);
}

void ArmToolsTest::poses_kept_in_the_settings_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("numbers");
    QTest::addColumn<QString>("shown");  // empty: the entry is dropped
    QTest::addColumn<double>("elbow");
    QTest::newRow("as saved") << "over" << QStringList{"10", "90", "30", "0", "12"} << "over"
                              << 30.0;
    // A hand-edited file: each joint kept within its range, a bad number the start pose's.
    QTest::newRow("beyond the range")
        << "far" << QStringList{"0", "90", "999", "0", "12"} << "far" << 150.0;
    QTest::newRow("not a number") << "odd" << QStringList{"0", "90", "nan", "0", "12"} << "odd"
                                  << -60.0;
    QTest::newRow("too few joints") << "short" << QStringList{"0", "90"} << "" << 0.0;
    QTest::newRow("no name") << "" << QStringList{"0", "90", "30", "0", "12"} << "" << 0.0;
    QTest::newRow("control characters")
        << "a\nb" << QStringList{"0", "90", "30", "0", "12"} << "a?b" << 30.0;
}

void ArmToolsTest::poses_kept_in_the_settings() {
    QFETCH(QString, name);
    QFETCH(QStringList, numbers);
    QFETCH(QString, shown);
    QFETCH(double, elbow);
    QTemporaryDir folder;
    QSettings settings(folder.filePath(QStringLiteral("quillmar.conf")), QSettings::IniFormat);
    settings.beginWriteArray(QStringLiteral("arm/poses"), 1);
    settings.setArrayIndex(0);
    settings.setValue(QStringLiteral("name"), name);
    settings.setValue(QStringLiteral("pose"), numbers);
    settings.endArray();
    TrueArm arm(1.0);
    PoseBox box(arm.hand, {&settings, QStringLiteral("arm")}, no_program, no_cursor, nullptr);
    QCOMPARE(box.choice().count(), shown.isEmpty() ? 0 : 1);
    if (!shown.isEmpty()) {
        QCOMPARE(box.choice().itemText(0), shown);
        QCOMPARE(box.pose_named(shown)->at(static_cast<std::size_t>(Joint::elbow)), elbow);
    }
    // The estimate's pose saved under a name comes back at the next start.
    QVERIFY(box.save_pose(QStringLiteral("  home  ")));
    PoseBox again(arm.hand, {&settings, QStringLiteral("arm")}, no_program, no_cursor, nullptr);
    QCOMPARE(again.pose_named(QStringLiteral("home")), std::optional<Pose>(start_pose()));
}

void ArmToolsTest::shift_in_the_arm_window_drives_past_soft_limits_data() {
    QTest::addColumn<QList<int>>("events");  // event types of the Shift key, or a deactivation
    QTest::addColumn<double>("ran");
    // Elbow Up reaches the estimate's end after 8.4 s; the hold lasts 12 s.
    QTest::newRow("nothing") << QList<int>{} << 8.4;
    QTest::newRow("Shift held") << QList<int>{QEvent::KeyPress} << 12.0;
    QTest::newRow("Shift let go") << QList<int>{QEvent::KeyPress, QEvent::KeyRelease} << 8.4;
    // Shift let go in another window never reaches this one.
    QTest::newRow("window left") << QList<int>{QEvent::KeyPress, QEvent::WindowDeactivate} << 8.4;
}

void ArmToolsTest::shift_in_the_arm_window_drives_past_soft_limits() {
    QFETCH(QList<int>, events);
    QFETCH(double, ran);
    TrueArm arm(1.0);
    ArmWindow window(arm.session, ArmSource::commands_sent);
    arm.session.set_soft_limits(true);
    for (const int type : events) {
        if (type == QEvent::WindowDeactivate) {
            QEvent left(QEvent::WindowDeactivate);
            QApplication::sendEvent(&window, &left);
        } else {
            QKeyEvent shift(static_cast<QEvent::Type>(type), Qt::Key_Shift, Qt::ShiftModifier);
            QApplication::sendEvent(&window, &shift);
        }
    }
    arm.pacer.at(arm.pacer.now() + 12.0, [&arm] { arm.hand.let_go(); });
    QVERIFY(std::abs(arm.hand.hold(6)->seconds - ran) < 1e-3);
}

void ArmToolsTest::preview_follows_the_calibrated_speeds_data() {
    QTest::addColumn<double>("up");
    QTest::addColumn<QString>("warning");
    // Elbow Up for 5 s from -60°: 25°/s leaves it at 65°; 50°/s reaches 150° after 4.2 s.
    QTest::newRow("table") << 1.0 << "No warnings: no joint runs into its end, every line runs.";
    QTest::newRow("faster up")
        << 2.0 << "line 1, Elbow Up: the elbow reaches its end after 4.2 s of 5.00 s";
}

void ArmToolsTest::preview_follows_the_calibrated_speeds() {
    QFETCH(double, up);
    QFETCH(QString, warning);
    TrueArm arm(1.0);
    ArmWindow window(arm.session, ArmSource::commands_sent);
    window.set_program_source([] { return QStringLiteral("6,500"); });
    JointSpeeds speeds = JointSpeeds::built_in();
    speeds.up.at(static_cast<std::size_t>(Joint::elbow)) *= up;
    arm.session.set_joint_speeds(speeds);
    QSignalSpy shown(&window, &ArmWindow::preview_shown);
    window.update_preview();
    QVERIFY(shown.wait());
    const auto* warnings = window.findChild<QListWidget*>(QStringLiteral("warnings"));
    QCOMPARE(warnings->item(0)->text(), warning);
}

void ArmToolsTest::repeat_sends_each_run_data() {
    QTest::addColumn<int>("runs");
    QTest::addColumn<bool>("back");
    QTest::addColumn<int>("commands");
    // A run of "1,100" is a start and a stop; the way back between runs another pair.
    QTest::newRow("once") << 1 << false << 2;
    QTest::newRow("three times") << 3 << false << 6;
    QTest::newRow("three times, back between") << 3 << true << 10;
}

void ArmToolsTest::repeat_sends_each_run() {
    QFETCH(int, runs);
    QFETCH(bool, back);
    QFETCH(int, commands);
    TrueArm arm(1.0);
    StepBox box(
        arm.hand, [] { return QStringLiteral("1,100"); }, nullptr);
    box.runs().setValue(runs);
    box.back_between().setChecked(back);
    box.repeat();
    const QStringList sent = sent_commands(arm.usb);
    QCOMPARE(sent.size(), commands);
    QCOMPARE(sent.count(QStringLiteral("0,0,0")), commands / 2);
    QCOMPARE(box.note_text(), QStringLiteral("Ran %1 of %1 times.").arg(runs));
}

void ArmToolsTest::go_to_says_how_it_ended_data() {
    QTest::addColumn<double>("stop_at");  // seconds after Go to began; 0 for never
    QTest::addColumn<QString>("note");
    QTest::newRow("arrived") << 0.0 << "At \"raised\".";
    QTest::newRow("stopped") << 0.5 << "Go to \"raised\" stopped.";
}

// Go to needs a pose, and says where its way ended.
void ArmToolsTest::go_to_says_how_it_ended() {
    QFETCH(double, stop_at);
    QFETCH(QString, note);
    TrueArm arm(1.0);
    PoseBox box(arm.hand, {}, no_program, no_cursor, nullptr);
    auto* go = box.findChildren<QPushButton*>().at(1);
    QCOMPARE(go->text(), QStringLiteral("Go to"));
    QVERIFY(!go->isEnabled());
    arm.pacer.at(arm.pacer.now() + 2.0, [&arm] { arm.hand.let_go(); });
    arm.hand.hold(6);
    QVERIFY(box.save_pose(QStringLiteral("raised")));
    QVERIFY(go->isEnabled());
    arm.hand.back_to_start();
    if (stop_at > 0) {
        arm.pacer.at(arm.pacer.now() + stop_at, [&arm] { arm.hand.stop(); });
    }
    go->click();
    QCOMPARE(box.note_text(), note);
}

QTEST_MAIN(ArmToolsTest)
#include "arm_tools_test.moc"
