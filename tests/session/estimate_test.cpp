#include <QSignalSpy>
#include <QTest>

#include "armlink/arm_device.h"
#include "session/arm_session.h"
#include "support/arm_bytes.h"
#include "support/fake_pacer.h"
#include "support/session_probe.h"
#include "support/true_arm.h"
#include "usb/emulated_bus.h"

using namespace quillmar;
using quillmar::testing::sent_commands;
using quillmar::testing::TrueArm;

namespace {

QString command_of(int number) {
    const ArmCommand command = start_command(number, 0);
    return QStringLiteral("%1,%2,0").arg(command.motor).arg(command.base);
}

}  // namespace

class EstimateTest : public QObject {
    Q_OBJECT
  private slots:
    void soft_limit_stops_a_motor_at_its_end_data();
    void soft_limit_stops_a_motor_at_its_end();
    void go_to_ends_within_a_degree_data();
    void go_to_ends_within_a_degree();
    void finding_an_end_puts_the_estimate_there_data();
    void finding_an_end_puts_the_estimate_there();
    void step_runs_one_step_and_marks_its_line_data();
    void step_runs_one_step_and_marks_its_line();
};

void EstimateTest::soft_limit_stops_a_motor_at_its_end_data() {
    QTest::addColumn<bool>("keys");
    QTest::addColumn<bool>("shift");
    QTest::addColumn<bool>("limits_on");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<double>("stopped_after");
    QTest::addColumn<int>("ends");
    // Elbow Up (6) reaches +150° from -60° after 8.4 s; Wrist Up (4) +60° from -20° after 3.33 s.
    // Each is held for 12 s.
    const QString both =
        QStringLiteral("%1,0,0").arg(start_command(6, 0).motor | start_command(4, 0).motor);
    const QStringList one{command_of(6), "0,0,0"};
    const QStringList two{command_of(6), both, command_of(6), "0,0,0"};
    QTest::newRow("hold") << false << false << true << one << 8.4 << 1;
    QTest::newRow("hold, Shift") << false << true << true << one << 12.0 << 0;
    QTest::newRow("hold, limits off") << false << false << false << one << 12.0 << 0;
    // Only the wrist's motor stops at its end; the elbow's runs on to its own.
    QTest::newRow("two keys") << true << false << true << two << 8.4 << 2;
    // The wrist's key is let go first.
    QTest::newRow("two keys, Shift") << true << true << true << two << 12.0 << 0;
}

void EstimateTest::soft_limit_stops_a_motor_at_its_end() {
    QFETCH(bool, keys);
    QFETCH(bool, shift);
    QFETCH(bool, limits_on);
    QFETCH(QStringList, commands);
    QFETCH(double, stopped_after);
    QFETCH(int, ends);
    TrueArm arm(1.0);
    QSignalSpy reached(&arm.session, &ArmSession::soft_limit_reached);
    arm.session.set_soft_limits(limits_on);
    arm.session.drive_past_soft_limits(shift);
    const double start = arm.pacer.now();
    if (keys) {
        arm.pacer.at(start + 0.5, [&] { arm.hand.press_key(4); });
        arm.pacer.at(start + 12.0, [&] {
            arm.hand.release_key(4);
            arm.hand.release_key(6);
        });
        arm.hand.press_key(6);
    } else {
        arm.pacer.at(start + 12.0, [&] { arm.hand.let_go(); });
        arm.hand.hold(6);
    }
    QCOMPARE(sent_commands(arm.usb), commands);
    const double stop = arm.usb.transfers().back().time - arm.usb.transfers().front().time;
    QVERIFY2(std::abs(stop - stopped_after) < 1e-3, qPrintable(QString::number(stop)));
    QCOMPARE(reached.size(), ends);
    // The joints stopped at their ends, not beyond and not short of them.
    if (stopped_after < 12.0) {
        QVERIFY(std::abs(arm.at(Joint::elbow) - row_of(Joint::elbow).maximum) < 1e-6);
        // A hold or a key towards the same end is refused before any command goes out, and
        // teaches nothing.
        arm.usb.clear_logs();
        arm.session.set_recording(true);
        QSignalSpy recorded(&arm.session, &ArmSession::recorded);
        QCOMPARE(arm.hand.hold(6)->end, HoldEnd::soft_limit);
        arm.hand.press_key(6);
        QVERIFY(arm.usb.transfers().empty());
        QCOMPARE(recorded.size(), 0);
    }
}

void EstimateTest::go_to_ends_within_a_degree_data() {
    QTest::addColumn<double>("truth");
    QTest::addColumn<bool>("calibrated");
    QTest::addColumn<bool>("by_lines");
    QTest::addColumn<bool>("within");
    QTest::newRow("table speeds") << 1.0 << false << false << true;
    // An arm at 0.8 times the table's speed goes astray until its speeds are calibrated.
    QTest::newRow("slower arm") << 0.8 << false << false << false;
    QTest::newRow("slower arm, calibrated") << 0.8 << true << false << true;
    // The way there written as program lines, then run.
    QTest::newRow("lines, calibrated") << 0.8 << true << true << true;
}

void EstimateTest::go_to_ends_within_a_degree() {
    QFETCH(double, truth);
    QFETCH(bool, calibrated);
    QFETCH(bool, by_lines);
    QFETCH(bool, within);
    TrueArm arm(truth);
    if (calibrated) {
        arm.session.set_joint_speeds(JointSpeeds::built_in().scaled(truth));
    }
    // Moves every joint, keeps the estimate's pose, moves again, then goes to it: the arm ends
    // where the estimate said it stood.
    testing::SessionProbe::go_back(arm.session, arm.hand,
                                   {{9, 2.0}, {7, 1.5}, {6, 2.5}, {3, 1.0}, {1, 0.8}});
    const Pose kept = arm.session.model().pose_at(arm.pacer.now());
    testing::SessionProbe::go_back(arm.session, arm.hand,
                                   {{10, 3.0}, {8, 2.0}, {5, 1.0}, {4, 2.0}, {2, 1.5}});
    if (by_lines) {
        QString program;
        QObject::connect(&arm.session, &ArmSession::way_inserted,
                         [&program](const QString& text, qsizetype) { program = text; });
        arm.session.insert_way_to(kept, QString(), 0);
        QCOMPARE(program.count(QStringLiteral("\r\n")), 5);
        arm.hand.run(program, Direction::forwards);
    } else {
        QCOMPARE(*arm.hand.go_to(kept), WayEnd::done);
    }
    double worst = 0.0;
    for (const auto& row : joint_table) {
        const auto index = static_cast<std::size_t>(row.joint);
        worst = std::max(worst, std::abs(arm.at(row.joint) - kept.at(index)));
    }
    QCOMPARE(worst <= 1.0, within);
}

void EstimateTest::finding_an_end_puts_the_estimate_there_data() {
    QTest::addColumn<int>("drive");
    QTest::newRow("upper end") << 1;
    QTest::newRow("lower end") << -1;
}

void EstimateTest::finding_an_end_puts_the_estimate_there() {
    QFETCH(int, drive);
    // The estimate has drifted from an arm slower than the table.
    TrueArm arm(0.8);
    testing::SessionProbe::go_back(arm.session, arm.hand, {{5, 2.0}, {6, 3.0}});
    const JointRow& row = row_of(Joint::elbow);
    QVERIFY(std::abs(arm.session.model().position_at(Joint::elbow, arm.pacer.now()) -
                     arm.at(Joint::elbow)) > 1.0);
    const double travel = (row.maximum - row.minimum) / row.speed;
    QCOMPARE(*arm.hand.find_end(Joint::elbow, drive, travel * 1.5), WayEnd::done);
    const double end = drive > 0 ? row.maximum : row.minimum;
    QCOMPARE(arm.session.model().position_at(Joint::elbow, arm.pacer.now()), end);
    QCOMPARE(arm.at(Joint::elbow), end);
    // Stopped, it leaves the estimate where it was.
    arm.pacer.at(arm.pacer.now() + 1.0, [&arm] { arm.hand.stop(); });
    QCOMPARE(*arm.hand.find_end(Joint::elbow, -drive, travel * 1.5), WayEnd::stopped);
    QCOMPARE(arm.session.model().position_at(Joint::elbow, arm.pacer.now()),
             end - drive * row.speed * 1.0);
}

void EstimateTest::step_runs_one_step_and_marks_its_line_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("next");
    QTest::newRow("first") << 0 << QStringList{command_of(1), "0,0,0"} << "1,100" << 1;
    QTest::newRow("middle") << 1 << QStringList{command_of(6), "0,0,0"} << "6,50" << 2;
    QTest::newRow("last goes round") << 2 << QStringList{"0,0,1"} << "0," << 0;
}

void EstimateTest::step_runs_one_step_and_marks_its_line() {
    QFETCH(int, index);
    QFETCH(QStringList, commands);
    QFETCH(QString, line);
    QFETCH(int, next);
    TrueArm arm(1.0);
    QSignalSpy started(&arm.session, &ArmSession::run_started);
    QSignalSpy step(&arm.session, &ArmSession::step_started);
    QSignalSpy ended(&arm.session, &ArmSession::run_ended);
    const QString program = QStringLiteral("1,100\r\n6,50\r\n0,");
    const Answer<int> stepped = arm.hand.step(program, index);
    QVERIFY(stepped);
    QCOMPARE(*stepped, next);
    QCOMPARE(sent_commands(arm.usb), commands);
    // The step's own line is the one marked, as in a run.
    const auto steps = started.at(0).at(0).value<std::vector<RunStep>>();
    QCOMPARE(steps.size(), std::size_t{1});
    QCOMPARE(steps.front().line, index);
    QCOMPARE(step.size(), 1);
    QCOMPARE(step.at(0).at(2).toString(), line);
    QCOMPARE(ended.size(), 1);
    QCOMPARE(arm.session.state(), ArmSession::State::idle);
}

QTEST_GUILESS_MAIN(EstimateTest)
#include "estimate_test.moc"
