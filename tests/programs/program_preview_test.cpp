#include <QTest>

#include "programs/program_preview.h"
#include "support/followed_arm.h"

using namespace quillmar;

Q_DECLARE_METATYPE(quillmar::Direction)

namespace {

ProgramPreview preview_of(const QString& text, Direction direction) {
    return preview_program(check_program(text), direction, start_pose(), false);
}

}  // namespace

class ProgramPreviewTest : public QObject {
    Q_OBJECT
  private slots:
    void warns_of_end_stops_and_lines_that_will_not_run_data();
    void warns_of_end_stops_and_lines_that_will_not_run();
    void preview_ends_where_the_run_leaves_the_arm_data();
    void preview_ends_where_the_run_leaves_the_arm();
    void reverse_preview_tells_where_it_overshoots_data();
    void reverse_preview_tells_where_it_overshoots();
    void reverse_run_follows_the_forward_run_data();
    void reverse_run_follows_the_forward_run();
    void quotes_program_lines_as_typed_data();
    void quotes_program_lines_as_typed();
    void counts_every_line_that_will_not_run();
    void calibrated_speeds_move_the_end_and_the_warnings_data();
    void calibrated_speeds_move_the_end_and_the_warnings();
};

void ProgramPreviewTest::warns_of_end_stops_and_lines_that_will_not_run_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<Direction>("direction");
    QTest::addColumn<QStringList>("warnings");
    // The elbow starts at -60° and turns 25°/s up to 150°; 6,760 leaves it at 130°.
    QTest::newRow("line 7 after blank and light lines")
        << QStringLiteral("6,760\r\n0,\r\n\r\n0,\r\n3,10\r\n4,10\r\n6,300") << Direction::forwards
        << QStringList{
               "line 7, Elbow Up: the elbow reaches its end after 0.8 s of 3.00 s",
               "line 3 is empty and will not run",
           };
    QTest::newRow("reverse turns Elbow Down into Elbow Up")
        << QStringLiteral("5,1200") << Direction::reverse
        << QStringList{"line 1, Elbow Up: the elbow reaches its end after 8.4 s of 12.00 s"};
    QTest::newRow("no end within range")
        << QStringLiteral("9,100\r\n10,100") << Direction::forwards << QStringList{};
    // The gripper starts 20 mm open and closes at 8 mm/s.
    QTest::newRow("already at its end")
        << QStringLiteral("1,300\r\n1,100") << Direction::forwards
        << QStringList{
               "line 1, Grip: the gripper reaches its end after 2.5 s of 3.00 s",
               "line 2, Grip: the gripper is at its end already; its motor strains for 1.00 s",
           };
    QTest::newRow("in reverse, the last line runs first")
        << QStringLiteral("2,100\r\n2,300") << Direction::reverse
        << QStringList{
               "line 2, Grip: the gripper reaches its end after 2.5 s of 3.00 s",
               "line 1, Grip: the gripper is at its end already; its motor strains for 1.00 s",
           };
    QTest::newRow("faulty lines") << QStringLiteral("abc\r\n11,5\r\n1,0") << Direction::forwards
                                  << QStringList{
                                         "line 1: \"abc\" is not a step and will not run",
                                         "line 2: \"11,5\" is not a step and will not run",
                                         "line 3: \"1,0\" is not a step and will not run",
                                     };
    // The step table's 256 steps are light lines; the 257th line's own %1 stays as it is.
    QTest::newRow("beyond the step table")
        << QStringLiteral("0,\r\n").repeated(step_table_size) + QStringLiteral("1,5%1")
        << Direction::forwards
        << QStringList{"line 257: \"1,5%1\" will not run, a program holds 256 steps at most"};
    QTest::newRow("a long line quoted by its start")
        << "1," + QString(100, u'7') << Direction::forwards
        << QStringList{"line 1: \"1," + QString(57, u'7') + QChar(0x2026) +
                       "\" is not a step and will not run"};
}

void ProgramPreviewTest::warns_of_end_stops_and_lines_that_will_not_run() {
    QFETCH(QString, program);
    QFETCH(Direction, direction);
    QFETCH(QStringList, warnings);
    const ProgramPreview preview = preview_of(program, direction);
    QCOMPARE(preview_warnings(preview, 10), warnings);
    QCOMPARE(warning_count(preview), warnings.size());
    QCOMPARE(preview_warnings(preview, 1), warnings.mid(0, 1));
}

void ProgramPreviewTest::preview_ends_where_the_run_leaves_the_arm_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<Direction>("direction");
    QTest::addColumn<int>("toggles");
    const QString program = QStringLiteral(
        "1,37\r\n0,\r\n3,55\r\nbad\r\n6,1300\r\n8,99\r\n9,410\r\n0,\r\n10,77\r\n0,\r\n7,250");
    QTest::newRow("forwards") << program << Direction::forwards << 3;
    QTest::newRow("in reverse") << program << Direction::reverse << 3;
    QTest::newRow("one step") << QStringLiteral("4,1499") << Direction::forwards << 0;
}

void ProgramPreviewTest::preview_ends_where_the_run_leaves_the_arm() {
    QFETCH(QString, program);
    QFETCH(Direction, direction);
    QFETCH(int, toggles);
    quillmar::testing::FollowedArm bench;
    const double start = bench.pacer.now();
    const ProgramPreview preview =
        preview_program(check_program(program), direction, bench.model.pose_at(start), false);
    bench.run(program, direction);

    QVERIFY(std::abs(preview.duration - (bench.pacer.now() - start)) < 1e-6);
    QVERIFY(std::abs(run_duration(preview.steps) - preview.duration) < 1e-9);
    const Pose reached = bench.model.pose_at(bench.pacer.now());
    for (const auto& row : joint_table) {
        const auto joint = static_cast<std::size_t>(row.joint);
        QVERIFY2(std::abs(preview.end_pose.at(joint) - reached.at(joint)) < 1e-6, row.name);
    }
    QCOMPARE(preview.end_light, bench.model.light_on());
    QCOMPARE(static_cast<int>(preview.toggles.size()), toggles);
    QCOMPARE(preview.pauses.size() + 1, preview.steps.size());
    QCOMPARE(preview.moves.size() + preview.toggles.size(), preview.steps.size());
}

void ProgramPreviewTest::reverse_preview_tells_where_it_overshoots_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("ran_forwards");  // the arm stands where the run forwards left it
    QTest::addColumn<QStringList>("warnings");
    // The elbow: -60° to -35°, then down into its end at -150° after 4.6 s of 9 s. Elbow Up then
    // turns it back 225° where Elbow Down took it 115°.
    QTest::newRow("the clamped step overshoots")
        << QStringLiteral("6,100\r\n0,\r\n5,900") << true
        << QStringList{
               "line 3, Elbow Up: the elbow overshoots by 110.0°, since Elbow Down "
               "strained at its end"};
    // The gripper opens 8 mm, then 12 mm of 24 mm before its end at 40 mm.
    QTest::newRow("in mm") << QStringLiteral("2,100\r\n2,300") << true
                           << QStringList{
                                  "line 2, Grip: the gripper overshoots by 12.0 mm, since "
                                  "Open strained at its end"};
    // Down into -150° after 3.6 s, then up for 13 s: 300° to the other end.
    QTest::newRow("and then reaches the other end")
        << QStringLiteral("5,1300") << true
        << QStringList{
               "line 1, Elbow Up: the elbow reaches its end after 12.0 s of 13.00 s",
               "line 1, Elbow Up: the elbow overshoots by 210.0°, since Elbow Down strained at "
               "its end",
           };
    QTest::newRow("no end met: it retraces")
        << QStringLiteral("9,100\r\n0,\r\n10,50\r\n3,100") << true << QStringList{};
    // The arm is not where that run ends: the reverse run retraces nothing, it only meets an end.
    QTest::newRow("not after the run")
        << QStringLiteral("6,100\r\n0,\r\n5,900") << false
        << QStringList{"line 3, Elbow Up: the elbow reaches its end after 8.4 s of 9.00 s"};
}

// The run forwards on the virtual arm, then the preview of the reverse run from where it left the
// arm, then that reverse run: the arm ends as far from its start as the warnings say.
void ProgramPreviewTest::reverse_preview_tells_where_it_overshoots() {
    QFETCH(QString, program);
    QFETCH(bool, ran_forwards);
    QFETCH(QStringList, warnings);
    quillmar::testing::FollowedArm bench;
    const Pose start = bench.model.pose_at(bench.pacer.now());
    if (ran_forwards) {
        bench.run(program, Direction::forwards);
    }
    const ProgramPreview preview =
        preview_program(check_program(program), Direction::reverse,
                        bench.model.pose_at(bench.pacer.now()), bench.model.light_on(), start);
    QCOMPARE(preview_warnings(preview, 10), warnings);
    QCOMPARE(warning_count(preview), warnings.size());
    if (!ran_forwards) {
        return;
    }
    bench.run(program, Direction::reverse);
    Pose overshoots{};
    for (const PreviewMove& move : preview.moves) {
        overshoots.at(static_cast<std::size_t>(move.joint)) += move.overshoot.value_or(0.0);
    }
    const Pose reached = bench.model.pose_at(bench.pacer.now());
    for (const auto& row : joint_table) {
        const auto joint = static_cast<std::size_t>(row.joint);
        QVERIFY2(
            std::abs(std::abs(reached.at(joint) - start.at(joint)) - overshoots.at(joint)) < 1e-6,
            row.name);
    }
}

void ProgramPreviewTest::reverse_run_follows_the_forward_run_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("ran_forwards");  // before the preview; else it is assumed
    QTest::addColumn<QStringList>("warnings");
    // The elbow: -60° down into its end at -150° after 3.6 s of 4 s, then up 100°.
    const QStringList clamped{
        "line 1, Elbow Up: the elbow overshoots by 10.0°, since Elbow Down "
        "strained at its end"};
    QTest::newRow("before any run") << QStringLiteral("5,400") << false << clamped;
    QTest::newRow("after the forward run") << QStringLiteral("5,400") << true << clamped;
    QTest::newRow("no end met") << QStringLiteral("9,100\r\n0,\r\n10,50") << false << QStringList{};
}

// The preview of Reverse Program, then the runs on the virtual arm: the forward run when it did
// not come before the preview, then the reverse run, which ends where the preview said.
void ProgramPreviewTest::reverse_run_follows_the_forward_run() {
    QFETCH(QString, program);
    QFETCH(bool, ran_forwards);
    QFETCH(QStringList, warnings);
    quillmar::testing::FollowedArm bench;
    const Pose start = bench.model.pose_at(bench.pacer.now());
    if (ran_forwards) {
        bench.run(program, Direction::forwards);
    }
    const ProgramPreview preview = preview_reverse_run(
        check_program(program), bench.model.pose_at(bench.pacer.now()), bench.model.light_on(),
        ran_forwards ? std::optional<Pose>(start) : std::nullopt);
    QCOMPARE(preview_warnings(preview, 10), warnings);
    QCOMPARE(preview.after_forwards_run, !ran_forwards);
    if (!ran_forwards) {
        bench.run(program, Direction::forwards);
    }
    bench.run(program, Direction::reverse);
    const Pose reached = bench.model.pose_at(bench.pacer.now());
    for (const auto& row : joint_table) {
        const auto joint = static_cast<std::size_t>(row.joint);
        QVERIFY2(std::abs(preview.end_pose.at(joint) - reached.at(joint)) < 1e-6, row.name);
    }
    QCOMPARE(preview.end_light, bench.model.light_on());
}

void ProgramPreviewTest::counts_every_line_that_will_not_run() {
    const ProgramPreview preview =
        preview_of(QStringLiteral("x\r\n").repeated(2500) + "1,100", Direction::forwards);
    QCOMPARE(warning_count(preview), 2500);
    QCOMPARE(preview_warnings(preview, 2).last(), "line 2: \"x\" is not a step and will not run");
    // Only the first are kept, as no list shows more.
    QCOMPARE(preview.rejected.size(), std::size_t{rejected_lines_kept});
    QCOMPARE(preview.steps.size(), std::size_t{1});
}

void ProgramPreviewTest::quotes_program_lines_as_typed_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("message");  // the check pass's last line
    QTest::addColumn<QString>("warning");  // the preview's last warning

    QTest::newRow("not a step") << QStringLiteral("1,%1%2")
                                << "Programing error at line  0 ( 1,%1%2 )"
                                << "line 1: \"1,%1%2\" is not a step and will not run";
    QTest::newRow("beyond the step table")
        << QStringLiteral("0,\r\n").repeated(256) + QStringLiteral("1,1%1")
        << "Line not run, a program holds 256 steps at most ( 1,1%1 )"
        << "line 257: \"1,1%1\" will not run, a program holds 256 steps at most";
}

void ProgramPreviewTest::quotes_program_lines_as_typed() {
    QFETCH(QString, program);
    QFETCH(QString, message);
    QFETCH(QString, warning);
    QCOMPARE(check_program(program).messages.last(), message);
    QCOMPARE(preview_warnings(preview_of(program, Direction::forwards), 10).last(), warning);
}

void ProgramPreviewTest::calibrated_speeds_move_the_end_and_the_warnings_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<double>("up");  // the elbow's speeds, as factors of the table's
    QTest::addColumn<double>("down");
    QTest::addColumn<double>("elbow");
    QTest::addColumn<int>("warnings");
    // The elbow starts at -60° and travels 25°/s by the table; it ends at +150°.
    QTest::newRow("table") << "6,500" << 1.0 << 1.0 << 65.0 << 0;
    QTest::newRow("faster up reaches the end") << "6,500" << 2.0 << 1.0 << 150.0 << 1;
    QTest::newRow("slower up") << "6,500" << 0.5 << 1.0 << 2.5 << 0;
    QTest::newRow("down has its own speed") << "6,400\r\n5,400" << 1.0 << 0.5 << -10.0 << 0;
    QTest::newRow("each way its own") << "6,400\r\n5,400" << 0.5 << 2.0 << -150.0 << 1;
}

void ProgramPreviewTest::calibrated_speeds_move_the_end_and_the_warnings() {
    QFETCH(QString, program);
    QFETCH(double, up);
    QFETCH(double, down);
    QFETCH(double, elbow);
    QFETCH(int, warnings);
    JointSpeeds speeds = JointSpeeds::built_in();
    const auto index = static_cast<std::size_t>(Joint::elbow);
    speeds.up.at(index) *= up;
    speeds.down.at(index) *= down;
    const ProgramPreview preview = preview_program(check_program(program), Direction::forwards,
                                                   start_pose(), false, std::nullopt, speeds);
    QVERIFY(std::abs(preview.end_pose.at(index) - elbow) < 1e-6);
    QCOMPARE(warning_count(preview), warnings);
}

QTEST_GUILESS_MAIN(ProgramPreviewTest)
#include "program_preview_test.moc"
