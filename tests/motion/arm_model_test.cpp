#include <QTest>

#include "support/followed_arm.h"

using namespace quillmar;

Q_DECLARE_METATYPE(quillmar::Joint)

namespace {

double at(const Pose& pose, Joint joint) {
    return pose.at(static_cast<std::size_t>(joint));
}

double range_of(Joint joint) {
    return row_of(joint).maximum - row_of(joint).minimum;
}

using Bench = quillmar::testing::FollowedArm;

EmulatedBus::Transfer transfer_of(ArmCommand command, double time) {
    return {DeviceHandle{1},
            command_setup,
            {command.motor, command.base, command.light},
            std::chrono::milliseconds(20),
            3,
            time};
}

}  // namespace

class ArmModelTest : public QObject {
    Q_OBJECT
  private slots:
    void each_command_moves_one_joint_by_speed_times_time_data();
    void each_command_moves_one_joint_by_speed_times_time();
    void joints_stop_and_strain_at_their_limits_data();
    void joints_stop_and_strain_at_their_limits();
    void pose_follows_the_command_times();
    void only_arm_command_transfers_move_it_data();
    void only_arm_command_transfers_move_it();
    void failed_transfers_do_not_reach_it();
    void program_then_its_reverse_returns_to_the_start_data();
    void program_then_its_reverse_returns_to_the_start();
    void stop_mid_step_freezes_the_pose();
    void reset_pose_keeps_the_motor_running();
};

void ArmModelTest::each_command_moves_one_joint_by_speed_times_time_data() {
    QTest::addColumn<int>("motor");
    QTest::addColumn<int>("base");
    QTest::addColumn<Joint>("joint");
    QTest::addColumn<int>("sign");
    QTest::newRow("grip (1) closes") << 1 << 0 << Joint::gripper << -1;
    QTest::newRow("open (2)") << 2 << 0 << Joint::gripper << 1;
    QTest::newRow("wrist down (3)") << 8 << 0 << Joint::wrist << -1;
    QTest::newRow("wrist up (4)") << 4 << 0 << Joint::wrist << 1;
    QTest::newRow("elbow down (5)") << 32 << 0 << Joint::elbow << -1;
    QTest::newRow("elbow up (6)") << 16 << 0 << Joint::elbow << 1;
    QTest::newRow("shoulder down (7)") << 128 << 0 << Joint::shoulder << -1;
    QTest::newRow("shoulder up (8)") << 64 << 0 << Joint::shoulder << 1;
    QTest::newRow("anticlockwise (9)") << 0 << 2 << Joint::base << 1;
    QTest::newRow("clockwise (10)") << 0 << 1 << Joint::base << -1;
    QTest::newRow("grip and open at once") << 3 << 0 << Joint::gripper << 0;
    QTest::newRow("both base directions") << 0 << 3 << Joint::base << 0;
}

void ArmModelTest::each_command_moves_one_joint_by_speed_times_time() {
    QFETCH(int, motor);
    QFETCH(int, base);
    QFETCH(Joint, joint);
    QFETCH(int, sign);
    ArmModel model(10.0);
    model.set_command({static_cast<std::uint8_t>(motor), static_cast<std::uint8_t>(base), 1}, 10.0);
    const double seconds = 1.5;
    const Pose pose = model.pose_at(10.0 + seconds);
    const Pose start = start_pose();
    for (const auto& row : joint_table) {
        const double expected =
            row.joint == joint ? row.start + sign * row.speed * seconds : row.start;
        QVERIFY2(qFuzzyCompare(at(pose, row.joint) + 1000.0, expected + 1000.0), row.name);
    }
    QCOMPARE(model.light_on(), true);
    QCOMPARE(model.moving(10.0 + seconds), sign != 0);
    QCOMPARE(model.pose_at(10.0), start);
}

void ArmModelTest::joints_stop_and_strain_at_their_limits_data() {
    QTest::addColumn<int>("forwards");
    QTest::addColumn<int>("backwards");
    QTest::addColumn<Joint>("joint");
    QTest::addColumn<bool>("towards_maximum");
    QTest::newRow("gripper closed") << 1 << 2 << Joint::gripper << false;
    QTest::newRow("gripper open") << 2 << 1 << Joint::gripper << true;
    QTest::newRow("wrist lowest") << 3 << 4 << Joint::wrist << false;
    QTest::newRow("wrist highest") << 4 << 3 << Joint::wrist << true;
    QTest::newRow("elbow lowest") << 5 << 6 << Joint::elbow << false;
    QTest::newRow("elbow highest") << 6 << 5 << Joint::elbow << true;
    QTest::newRow("shoulder lowest") << 7 << 8 << Joint::shoulder << false;
    QTest::newRow("shoulder highest") << 8 << 7 << Joint::shoulder << true;
    QTest::newRow("base anticlockwise end") << 9 << 10 << Joint::base << true;
    QTest::newRow("base clockwise end") << 10 << 9 << Joint::base << false;
}

void ArmModelTest::joints_stop_and_strain_at_their_limits() {
    QFETCH(int, forwards);
    QFETCH(int, backwards);
    QFETCH(Joint, joint);
    QFETCH(bool, towards_maximum);
    const JointRow& row = row_of(joint);
    const double limit = towards_maximum ? row.maximum : row.minimum;
    const double reach_time = std::abs(limit - row.start) / row.speed;

    ArmModel model(0.0);
    model.set_command(start_command(forwards, 0), 0.0);
    QVERIFY(!model.straining(joint, reach_time * 0.99));
    QVERIFY(model.moving(reach_time * 0.99));
    QCOMPARE(model.position_at(joint, reach_time), limit);
    QCOMPARE(model.position_at(joint, 100.0), limit);
    QVERIFY(model.straining(joint, 100.0));
    QVERIFY(!model.moving(100.0));

    // Long straining stores nothing: the way back starts at the limit at once.
    model.set_command(start_command(backwards, 0), 100.0);
    QVERIFY(!model.straining(joint, 100.0));
    const double back = towards_maximum ? -1.0 : 1.0;
    QVERIFY(qFuzzyCompare(model.position_at(joint, 101.0), limit + back * row.speed));
    model.set_command(stop_command(0), 101.0);
    QVERIFY(!model.straining(joint, 101.0));
}

void ArmModelTest::pose_follows_the_command_times() {
    ArmModel model(0.0);
    model.set_command(start_command(6, 0), 0.0);  // elbow up
    model.set_command(start_command(9, 1), 0.5);  // base anticlockwise, light on
    model.set_command(stop_command(1), 1.25);
    const Pose pose = model.pose_at(7.0);
    QVERIFY(qFuzzyCompare(at(pose, Joint::elbow),
                          row_of(Joint::elbow).start + 0.5 * row_of(Joint::elbow).speed));
    QVERIFY(qFuzzyCompare(at(pose, Joint::base) + 1000.0,
                          0.75 * row_of(Joint::base).speed + row_of(Joint::base).start + 1000.0));
    QCOMPARE(at(pose, Joint::wrist), row_of(Joint::wrist).start);
    QVERIFY(model.light_on());
    QVERIFY(!model.moving(7.0));
}

void ArmModelTest::only_arm_command_transfers_move_it_data() {
    QTest::addColumn<int>("field");
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("taken");
    QTest::newRow("arm command") << -1 << 0 << true;
    QTest::newRow("request type 0xc0") << 0 << 0xc0 << false;
    QTest::newRow("request 7") << 1 << 7 << false;
    QTest::newRow("value 0x200") << 2 << 0x200 << false;
    QTest::newRow("index 1") << 3 << 1 << false;
    QTest::newRow("two bytes moved") << 4 << 2 << false;
    QTest::newRow("time-out") << 4 << -116 << false;
    QTest::newRow("four data bytes") << 5 << 4 << false;
}

void ArmModelTest::only_arm_command_transfers_move_it() {
    QFETCH(int, field);
    QFETCH(int, value);
    QFETCH(bool, taken);
    auto transfer = transfer_of(start_command(1, 1), 2.0);
    switch (field) {
        case 0:
            transfer.setup.request_type = static_cast<std::uint8_t>(value);
            break;
        case 1:
            transfer.setup.request = static_cast<std::uint8_t>(value);
            break;
        case 2:
            transfer.setup.value = static_cast<std::uint16_t>(value);
            break;
        case 3:
            transfer.setup.index = static_cast<std::uint16_t>(value);
            break;
        case 4:
            transfer.result = value;
            break;
        case 5:
            transfer.data.resize(static_cast<std::size_t>(value));
            break;
        default:
            break;
    }
    const std::optional<ArmCommand> command = arm_command_in(transfer);
    QCOMPARE(command.has_value(), taken);
    ArmModel model(0.0);
    if (command) {
        model.set_command(*command, transfer.time);
    }
    QCOMPARE(model.command(), taken ? start_command(1, 1) : all_off_command);
    QCOMPARE(model.moving(3.0), taken);
}

void ArmModelTest::failed_transfers_do_not_reach_it() {
    Bench bench;
    bench.usb.fail_next_transfers(1, -116);
    bench.manual.jog(2);
    QCOMPARE(bench.model.pose_at(bench.pacer.now()), start_pose());
    bench.manual.jog(2);
    QVERIFY(qFuzzyCompare(
        bench.model.position_at(Joint::gripper, bench.pacer.now()),
        row_of(Joint::gripper).start + ManualControl::jog_seconds * row_of(Joint::gripper).speed));
}

void ArmModelTest::program_then_its_reverse_returns_to_the_start_data() {
    QTest::addColumn<QString>("program");
    QTest::newRow("grip, light, elbow down") << QStringLiteral("1,100\r\n0,\r\n5,200");
    QTest::newRow("every motor both ways") << QStringLiteral(
        "1,37\r\n2,120\r\n3,55\r\n4,80\r\n5,133\r\n6,21\r\n7,250\r\n"
        "8,99\r\n9,410\r\n10,77\r\n0,\r\n6,7");
}

void ArmModelTest::program_then_its_reverse_returns_to_the_start() {
    QFETCH(QString, program);
    Bench bench;
    bench.run(program, Direction::forwards);
    const Pose moved = bench.model.pose_at(bench.pacer.now());
    QVERIFY(moved != start_pose());
    bench.run(program, Direction::reverse);
    const Pose back = bench.model.pose_at(bench.pacer.now());
    for (const auto& row : joint_table) {
        QVERIFY2(std::abs(at(back, row.joint) - row.start) <= 0.005 * range_of(row.joint),
                 row.name);
    }
    QCOMPARE(bench.window.error, QString());
}

void ArmModelTest::stop_mid_step_freezes_the_pose() {
    Bench bench;
    const double start = bench.pacer.now();
    bench.pacer.at(start + 0.4, [&] { bench.runner.stop(); });
    bench.run(QStringLiteral("5,200\r\n9,200"), Direction::forwards);
    const double elbow = row_of(Joint::elbow).start - 0.4 * row_of(Joint::elbow).speed;
    QVERIFY(qFuzzyCompare(bench.model.position_at(Joint::elbow, bench.pacer.now()), elbow));
    QCOMPARE(bench.model.pose_at(bench.pacer.now() + 60.0), bench.model.pose_at(start + 0.4));
    QVERIFY(!bench.model.moving(bench.pacer.now()));
}

void ArmModelTest::reset_pose_keeps_the_motor_running() {
    ArmModel model(0.0);
    model.set_command(start_command(3, 0), 0.0);
    model.reset_pose(2.0);
    QCOMPARE(model.position_at(Joint::wrist, 2.0), row_of(Joint::wrist).start);
    QVERIFY(qFuzzyCompare(model.position_at(Joint::wrist, 3.0),
                          row_of(Joint::wrist).start - row_of(Joint::wrist).speed));
}

QTEST_GUILESS_MAIN(ArmModelTest)
#include "arm_model_test.moc"
