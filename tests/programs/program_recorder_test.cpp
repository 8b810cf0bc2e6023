// Recorded movements become program lines that the check pass accepts and that last as long.
#include <QTest>

#include "programs/program_check.h"
#include "programs/program_preview.h"
#include "programs/program_recorder.h"

using namespace quillmar;

namespace {

// Where `program` run forwards from the start pose leaves the arm.
Pose end_of(const QString& program) {
    return preview_program(check_program(program), Direction::forwards, start_pose(), false)
        .end_pose;
}

}  // namespace

class ProgramRecorderTest : public QObject {
    Q_OBJECT
  private slots:
    void movements_become_lines_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("a jog") << 1 << 0.1 << QStringList{"1,10"};
        QTest::newRow("rounded to hundredths") << 7 << 1.234 << QStringList{"7,123"};
        QTest::newRow("never shorter than one") << 4 << 0.001 << QStringList{"4,1"};
        QTest::newRow("longest one line holds") << 10 << 14.99 << QStringList{"10,1499"};
        QTest::newRow("split beyond it") << 2 << 31.0 << QStringList{"2,1499", "2,1499", "2,102"};
    }
    void movements_become_lines() {
        QFETCH(int, command);
        QFETCH(double, seconds);
        QFETCH(QStringList, lines);
        QCOMPARE(movement_lines(command, seconds), lines);
    }

    // Added to whatever the pane holds, the lines are each accepted, in the order they came.
    void added_lines_pass_the_check_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("steps_before");
        QTest::newRow("empty pane") << QString() << 0;
        QTest::newRow("last line without its end") << QStringLiteral("5,200") << 1;
        QTest::newRow("last line with its end") << QStringLiteral("5,200\r\n") << 1;
    }
    void added_lines_pass_the_check() {
        QFETCH(QString, text);
        QFETCH(int, steps_before);
        const QStringList lines = movement_lines(2, 16.0) + QStringList{light_line()};
        const CheckedProgram checked = check_program(with_lines_added(text, lines));
        QCOMPARE(checked.messages.filter(QStringLiteral("error")), QStringList());
        QCOMPARE(static_cast<int>(checked.steps.size()), steps_before + 3);
        QCOMPARE(checked.steps.at(static_cast<std::size_t>(steps_before)).duration, 1499.0f);
        QCOMPARE(checked.steps.back().command, 0);
    }

    // The way to a pose goes in at the cursor's line and starts where the lines before it leave
    // the arm, so the program reaches the pose there.
    void the_way_goes_in_at_the_cursor_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("cursor");
        QTest::addColumn<QString>("before");  // the text before the lines put in
        QTest::addColumn<QString>("after");   // and after them
        const QString two = QStringLiteral("5,200\r\n3,100\r\n");
        QTest::newRow("empty pane") << QString() << 0 << QString() << QString();
        QTest::newRow("at the end") << two << 14 << two << QString();
        QTest::newRow("at a line's start: before it") << two << 7 << "5,200\r\n"
                                                      << "3,100\r\n";
        QTest::newRow("inside a line: after it") << two << 2 << "5,200\r\n"
                                                 << "3,100\r\n";
        QTest::newRow("at the start") << two << 0 << QString() << two;
        QTest::newRow("last line without its end") << "5,200" << 5 << "5,200\r\n" << QString();
        QTest::newRow("lone LF line ends") << "5,200\n3,100" << 5 << "5,200\n"
                                           << "3,100";
        QTest::newRow("a cursor beyond the text") << two << 99 << two << QString();
    }
    void the_way_goes_in_at_the_cursor() {
        QFETCH(QString, text);
        QFETCH(int, cursor);
        QFETCH(QString, before);
        QFETCH(QString, after);
        const Pose pose = end_of(QStringLiteral("6,150\r\n1,50\r\n9,80"));
        const WayInserted put =
            with_way_inserted(text, cursor, start_pose(), false, pose, JointSpeeds::built_in());
        QVERIFY(put.text.startsWith(before));
        QVERIFY(put.text.endsWith(after));
        QCOMPARE(put.text.size(), put.cursor + after.size());
        const QString way = put.text.mid(before.size(), put.cursor - before.size());
        QVERIFY(!way.isEmpty());
        QCOMPARE(check_program(way).messages.filter(QStringLiteral("error")), QStringList());
        const Pose reached = end_of(put.text.left(put.cursor));
        for (const JointRow& row : joint_table) {
            const auto joint = static_cast<std::size_t>(row.joint);
            QVERIFY2(std::abs(reached.at(joint) - pose.at(joint)) <=
                         JointSpeeds::built_in().slower(row.joint) * 0.01,
                     qPrintable(QString::number(joint)));
        }
    }

    void a_way_already_there_puts_nothing_in() {
        const QString text = QStringLiteral("6,150\r\n1,50");
        const WayInserted put = with_way_inserted(text, text.size(), start_pose(), false,
                                                  end_of(text), JointSpeeds::built_in());
        QCOMPARE(put.text, text);
        QCOMPARE(put.cursor, text.size());
    }
};

QTEST_APPLESS_MAIN(ProgramRecorderTest)
#include "program_recorder_test.moc"
