#include <QTest>

#include "programs/program_runner.h"
#include "support/arm_bytes.h"
#include "support/attached_arm.h"

using namespace quillmar;
using quillmar::testing::sent_commands;

namespace {

const QString testing_banner = QStringLiteral("\r\nTesting your program\r\n\r\n");
const QString three_lines = QStringLiteral("1,100\r\n0,\r\n5,200");
const QString three_line_echo = QStringLiteral(
    "Line  0 :    1 ,  100\r\n"
    "Line  1 :    0 , \r\n"
    "Line  2 :    5 ,  200\r\n");

// The window as a run drives it: the program, and a log of the locks and the focus.
struct Pane {
    QString program;
    QStringList events;
};

struct Bench : quillmar::testing::AttachedArm {
    Bench() {
        QObject::connect(&runner, &ProgramRunner::checking,
                         [this] { pane.events << QStringLiteral("lock"); });
        QObject::connect(&runner, &ProgramRunner::run_started,
                         [this] { pane.events << QStringLiteral("focus stop"); });
        QObject::connect(&runner, &ProgramRunner::run_finished,
                         [this] { pane.events << QStringLiteral("unlock"); });
        QObject::connect(&runner, &ProgramRunner::run_stopped,
                         [this] { pane.events << QStringLiteral("unlock"); });
        QObject::connect(&runner, &ProgramRunner::run_started, [this](const auto& steps) {
            QStringList lines;
            for (const RunStep& step : steps) {
                lines << QString::number(step.line);
            }
            run_log << QStringLiteral("run on lines ") + lines.join(QLatin1Char(' '));
        });
        QObject::connect(&runner, &ProgramRunner::step_started,
                         [this](int index) { run_log << QStringLiteral("step %1").arg(index); });
        QObject::connect(&runner, &ProgramRunner::run_finished,
                         [this] { run_log << QStringLiteral("finished"); });
        QObject::connect(&runner, &ProgramRunner::run_stopped, [this](int index) {
            run_log << QStringLiteral("stopped in %1").arg(index);
        });
    }
    // Runs the pane's program.
    void run_program(Direction direction) { runner.run_program(pane.program, direction); }
    Pane pane;
    ProgramRunner runner{link, manual, reports, pacer};
    // What the runner told its listeners.
    QStringList run_log;
};

bool near(double a, double b) {
    return std::abs(a - b) < 1e-6;
}

}  // namespace

Q_DECLARE_METATYPE(quillmar::Direction)

class ProgramRunnerTest : public QObject {
    Q_OBJECT
  private slots:
    void steps_keep_their_text_lines_data();
    void steps_keep_their_text_lines();
    void three_lines_run_with_their_times_data();
    void three_lines_run_with_their_times();
    void every_message_reaches_the_pane_data();
    void every_message_reaches_the_pane();
    void empty_pane_does_nothing();
    void blank_program_checks_and_unlocks();
    void stop_during_a_step_ends_the_run();
    void interrupting_a_pause_starts_no_further_step_data();
    void interrupting_a_pause_starts_no_further_step();
    void release_during_a_run_ends_it();
    void interrupting_a_long_check_runs_no_step_data();
    void interrupting_a_long_check_runs_no_step();
    void closing_during_a_run_sends_nothing_more();
    void odd_light_toggles_leave_the_light_switched();
};

void ProgramRunnerTest::steps_keep_their_text_lines_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<Direction>("direction");
    QTest::addColumn<QString>("run_lines");
    QTest::addColumn<QList<int>>("rejected_lines");
    const QString crlf = QStringLiteral("1,100\r\n\r\nabc\r\n5,200\r\n0,");
    QTest::newRow("CR LF, forwards") << crlf << Direction::forwards << "0 3 4" << QList<int>{1, 2};
    QTest::newRow("CR LF, in reverse") << crlf << Direction::reverse << "4 3 0" << QList<int>{1, 2};
    QTest::newRow("lone LF, last line ended") << QStringLiteral("1,100\n\nx\n5,200\n")
                                              << Direction::forwards << "0 3" << QList<int>{1, 2};
    QTest::newRow("lone CR") << QStringLiteral("1,100\r\r2,50\r") << Direction::reverse << "2 0"
                             << QList<int>{1};
    QTest::newRow("LF then CR is two line ends")
        << QStringLiteral("1,100\r\n2,50\n\r3,20\r0,") << Direction::forwards << "0 1 3 4"
        << QList<int>{2};
    QTest::newRow("spaces and a line of spaces") << QStringLiteral("  1,100  \r\n   \r\n 2,50")
                                                 << Direction::reverse << "2 0" << QList<int>{1};
}

void ProgramRunnerTest::steps_keep_their_text_lines() {
    QFETCH(QString, program);
    QFETCH(Direction, direction);
    QFETCH(QString, run_lines);
    QFETCH(QList<int>, rejected_lines);
    Bench bench;
    bench.pane.program = program;
    bench.run_program(direction);

    QStringList expected{QStringLiteral("run on lines ") + run_lines};
    for (qsizetype step = 0; step < run_lines.split(QLatin1Char(' ')).size(); ++step) {
        expected << QStringLiteral("step %1").arg(step);
    }
    expected << QStringLiteral("finished");
    QCOMPARE(bench.run_log, expected);
    QList<int> rejected;
    for (const RejectedLine& line : check_program(program).rejected) {
        rejected << line.line;
    }
    QCOMPARE(rejected, rejected_lines);
}

void ProgramRunnerTest::three_lines_run_with_their_times_data() {
    QTest::addColumn<Direction>("direction");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<double>("first_on_time");
    QTest::addColumn<double>("last_on_time");
    QTest::newRow("forwards") << Direction::forwards
                              << QStringList{"1,0,0", "0,0,0", "0,0,1", "32,0,1", "0,0,1"} << 1.0
                              << 2.0;
    QTest::newRow("in reverse") << Direction::reverse
                                << QStringList{"16,0,0", "0,0,0", "0,0,1", "2,0,1", "0,0,1"} << 2.0
                                << 1.0;
}

void ProgramRunnerTest::three_lines_run_with_their_times() {
    QFETCH(Direction, direction);
    QFETCH(QStringList, commands);
    QFETCH(double, first_on_time);
    QFETCH(double, last_on_time);
    Bench bench;
    bench.pane.program = three_lines;
    bench.run_program(direction);

    QCOMPARE(bench.reports.message, testing_banner + three_line_echo);
    QCOMPARE(sent_commands(bench.usb), commands);
    QVERIFY(near(bench.gap(1), first_on_time));
    QVERIFY(near(bench.gap(2), 0.5));
    QVERIFY(near(bench.gap(3), 0.5));
    QVERIFY(near(bench.gap(4), last_on_time));
    QCOMPARE(bench.pacer.slept, std::chrono::milliseconds(1000));
    QCOMPARE(bench.pane.events, (QStringList{"lock", "focus stop", "unlock"}));
    QCOMPARE(bench.reports.error, QString());
}

void ProgramRunnerTest::every_message_reaches_the_pane_data() {
    QTest::addColumn<int>("faulty_lines");
    // The pane takes them many thousand at a time.
    for (const int lines : {1, 65535, 65536, 65537, 131077}) {
        QTest::addRow("%d faulty lines", lines) << lines;
    }
}

void ProgramRunnerTest::every_message_reaches_the_pane() {
    QFETCH(int, faulty_lines);
    Bench bench;
    bench.pane.program =
        QStringLiteral("1,100\r\n") + QStringLiteral("\r\n").repeated(faulty_lines);
    bench.run_program(Direction::forwards);
    QCOMPARE(bench.reports.message,
             testing_banner + "Line  0 :    1 ,  100\r\n" +
                 QStringLiteral("Programing error at line  1 (  )\r\n").repeated(faulty_lines));
}

void ProgramRunnerTest::empty_pane_does_nothing() {
    Bench bench;
    bench.run_program(Direction::forwards);
    QVERIFY(bench.usb.transfers().empty());
    QVERIFY(bench.reports.message.isEmpty());
    QVERIFY(bench.pane.events.isEmpty());
}

void ProgramRunnerTest::blank_program_checks_and_unlocks() {
    Bench bench;
    bench.pane.program = QStringLiteral("   ");
    bench.run_program(Direction::forwards);
    QCOMPARE(bench.reports.message, testing_banner + "Programing error at line  0 (  )\r\n");
    QVERIFY(bench.usb.transfers().empty());
    QCOMPARE(bench.pane.events, (QStringList{"lock", "focus stop", "unlock"}));
}

void ProgramRunnerTest::stop_during_a_step_ends_the_run() {
    Bench bench;
    bench.pane.program = QStringLiteral("1,500\r\n2,500\r\n");
    bench.pacer.at(bench.pacer.now() + 1.0, [&] { bench.runner.stop(); });
    bench.run_program(Direction::forwards);
    QCOMPARE(sent_commands(bench.usb), (QStringList{"1,0,0", "0,0,0", "0,0,0", "0,0,0"}));
    QVERIFY(near(bench.gap(1), 1.0));
    QCOMPARE(bench.pane.events.last(), QStringLiteral("unlock"));
    QCOMPARE(bench.run_log.last(), QStringLiteral("stopped in 0"));
}

void ProgramRunnerTest::interrupting_a_pause_starts_no_further_step_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("event");
    QTest::addColumn<double>("at");  // seconds after the run's start, inside a pause
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QString>("stopped");
    QTest::newRow("Stop before a motor step")
        << "0,\r\n1,100\r\n2,100"
        << "Stop" << 0.2 << QStringList{"0,0,1", "0,0,1", "0,0,1"} << "stopped in 0";
    QTest::newRow("Stop among light steps")
        << "0,\r\n0,\r\n0,\r\n0,"
        << "Stop" << 0.7 << QStringList{"0,0,1", "0,0,0", "0,0,0", "0,0,0"} << "stopped in 1";
    QTest::newRow("release") << "1,100\r\n2,100"
                             << "release" << 1.2 << QStringList{"1,0,0", "0,0,0", "0,0,0"}
                             << "stopped in 0";
    QTest::newRow("closing") << "1,100\r\n2,100"
                             << "close" << 1.2 << QStringList{"1,0,0", "0,0,0", "0,0,0"}
                             << "stopped in 0";
}

void ProgramRunnerTest::interrupting_a_pause_starts_no_further_step() {
    QFETCH(QString, program);
    QFETCH(QString, event);
    QFETCH(double, at);
    QFETCH(QStringList, commands);
    QFETCH(QString, stopped);
    Bench bench;
    bench.pane.program = program;
    const double start = bench.pacer.now();
    bench.pacer.at(start + at, [&] {
        if (event == "Stop") {
            bench.runner.stop();
        } else if (event == "release") {
            bench.link.release();
            bench.pacer.wake();
        } else {
            bench.link.shutdown();
            bench.pacer.cancel();
        }
    });
    bench.run_program(Direction::forwards);
    QCOMPARE(sent_commands(bench.usb), commands);
    QVERIFY(near(bench.usb.transfers().back().time, start + at));
    QCOMPARE(bench.run_log.last(), stopped);
    QCOMPARE(bench.pane.events.last(), QStringLiteral("unlock"));
    QCOMPARE(bench.reports.error, QString());
}

void ProgramRunnerTest::interrupting_a_long_check_runs_no_step_data() {
    QTest::addColumn<QString>("event");
    QTest::addColumn<QStringList>("commands");
    QTest::newRow("Stop") << "Stop" << QStringList{"0,0,0", "0,0,0"};
    QTest::newRow("release") << "release" << QStringList{"0,0,0"};
    QTest::newRow("closing") << "close" << QStringList{"0,0,0"};
}

// The window answers between the parts of a check pass of many lines: what it is asked then
// counts, and no step moves the arm after it.
void ProgramRunnerTest::interrupting_a_long_check_runs_no_step() {
    QFETCH(QString, event);
    QFETCH(QStringList, commands);
    Bench bench;
    bench.pane.program = QStringLiteral("1,100\r\n") + QStringLiteral("\r\n").repeated(70000);
    bench.pacer.at(bench.pacer.now(), [&] {
        if (event == "Stop") {
            bench.runner.stop();
        } else if (event == "release") {
            bench.link.release();
        } else {
            bench.link.shutdown();
            bench.pacer.cancel();
        }
    });
    bench.run_program(Direction::forwards);
    QCOMPARE(sent_commands(bench.usb), commands);
    QCOMPARE(bench.run_log.last(), QStringLiteral("stopped in 0"));
    QVERIFY(!bench.run_log.contains(QStringLiteral("step 0")));
    QCOMPARE(bench.pane.events.last(), QStringLiteral("unlock"));
}

void ProgramRunnerTest::release_during_a_run_ends_it() {
    Bench bench;
    bench.pane.program = QStringLiteral("1,100\r\n2,100");
    bench.pacer.at(bench.pacer.now() + 0.5, [&] { bench.link.release(); });
    bench.run_program(Direction::forwards);
    QCOMPARE(sent_commands(bench.usb).mid(0, 2), (QStringList{"1,0,0", "0,0,0"}));
    QCOMPARE(bench.reports.error, QStringLiteral("Sent: ( 0, 0, 0) Return value -19\r\n"));
    QVERIFY(!sent_commands(bench.usb).contains(QStringLiteral("2,0,0")));
    QCOMPARE(bench.pacer.slept, std::chrono::milliseconds(0));
}

void ProgramRunnerTest::closing_during_a_run_sends_nothing_more() {
    Bench bench;
    bench.pane.program = QStringLiteral("1,100\r\n2,100");
    bench.pacer.at(bench.pacer.now() + 0.5, [&] {
        bench.link.shutdown();
        bench.pacer.cancel();
    });
    bench.run_program(Direction::forwards);
    QCOMPARE(sent_commands(bench.usb), (QStringList{"1,0,0", "0,0,0"}));
    QCOMPARE(bench.reports.error, QString());
}

void ProgramRunnerTest::odd_light_toggles_leave_the_light_switched() {
    for (const Direction direction : {Direction::forwards, Direction::reverse}) {
        Bench bench;
        bench.pane.program = QStringLiteral("0,\r\n0,5\r\n0,");
        bench.run_program(direction);
        QCOMPARE(sent_commands(bench.usb), (QStringList{"0,0,1", "0,0,0", "0,0,1"}));
        QVERIFY(bench.reports.light);
    }
}

QTEST_GUILESS_MAIN(ProgramRunnerTest)
#include "program_runner_test.moc"
