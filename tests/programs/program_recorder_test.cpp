// Recorded movements become program lines that the check pass accepts and that last as long.
#include <QTest>

#include "programs/program_check.h"
#include "programs/program_recorder.h"

using namespace quillmar;

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
};

QTEST_APPLESS_MAIN(ProgramRecorderTest)
#include "program_recorder_test.moc"
