// Lines that read otherwise than they look: each named with its line and what it will do, in the
// preview's warnings, while the check pass's own lines stay as they were.
#include <QTest>

#include "programs/program_check.h"
#include "programs/program_preview.h"

using namespace quillmar;

class ProgramReadingTest : public QObject {
    Q_OBJECT
  private slots:
    void warnings_data();
    void warnings();
    void check_pass_unchanged();
};

void ProgramReadingTest::warnings_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("warning");  // empty: it reads as it looks
    const QString light = QStringLiteral("is not a command number: it reads as 0, the light");
    QTest::newRow("a word") << "Grip,100"
                            << "line 1: \"Grip,100\" " + light;
    QTest::newRow("a number in words") << "eight,200"
                                       << "line 1: \"eight,200\" " + light;
    QTest::newRow("a letter O") << "O,"
                                << "line 1: \"O,\" " + light;
    QTest::newRow("a letter l") << "l,"
                                << "line 1: \"l,\" " + light;
    QTest::newRow("a comment") << "# raise the arm, then wave"
                               << "line 1: \"# raise the arm, then wave\" " + light +
                                      " (a program has no comments)";
    QTest::newRow("curly quotes") << QStringLiteral("\u201c8,200")
                                  << QStringLiteral("line 1: \"\u201c8,200\" ") + light +
                                         " (a quotation mark)";
    QTest::newRow("full-width digits")
        << QStringLiteral("\uff18,20")
        << QStringLiteral("line 1: \"\uff18,20\" ") + light + " (its digits are not 0 to 9)";
    QTest::newRow("two commas")
        << "5,100,3"
        << "line 1: \"5,100,3\" runs as 5,100: Elbow Down for 1.00 s (a line holds one comma)";
    QTest::newRow("a decimal command")
        << "5.0,100"
        << "line 1: \"5.0,100\" runs as 5,100: Elbow Down for 1.00 s";
    QTest::newRow("an exponent") << "5,1e2"
                                 << "line 1: \"5,1e2\" runs as 5,100: Elbow Down for 1.00 s";
    QTest::newRow("a note after it")
        << "5,100 # note"
        << "line 1: \"5,100 # note\" runs as 5,100: Elbow Down for 1.00 s (a program has no "
           "comments)";
    QTest::newRow("too long a duration")
        << "5,1500"
        << "line 1: \"5,1500\" will not run: a duration is at most 1499 (14.99 s)";
    QTest::newRow("a typed %1 stays") << "%1,%2"
                                      << "line 1: \"%1,%2\" " + light;
    QTest::newRow("plain") << "5,100"
                           << "";
    QTest::newRow("plain with blanks") << "5 , 100"
                                       << "";
    QTest::newRow("the light") << "0,"
                               << "";
    QTest::newRow("no step at all") << "wave the arm"
                                    << "";
    QTest::newRow("no such command") << "11,100"
                                     << "";
}

void ProgramReadingTest::warnings() {
    QFETCH(QString, line);
    QFETCH(QString, warning);
    // A first line that reads as it looks, so that the line counted is the file's.
    const CheckedProgram program = check_program("1,10\r\n" + line);
    const ProgramPreview preview =
        preview_program(program, Direction::forwards, start_pose(), false);
    QStringList warnings = preview_warnings(preview, 100);
    warnings.removeIf([](const QString& each) { return each.contains("is not a step"); });
    warnings.removeIf([](const QString& each) { return each.contains("reaches its end"); });
    QCOMPARE(warnings, warning.isEmpty()
                           ? QStringList()
                           : QStringList{QString(warning).replace("line 1", "line 2")});
    QCOMPARE(warning_count(preview), preview.rejected_count + (warning.isEmpty() ? 0 : 1));
}

// The message pane's lines do not change: the light switch reads as it always did.
void ProgramReadingTest::check_pass_unchanged() {
    QCOMPARE(check_program("Grip,100\r\n5,100,3").messages,
             QStringList({"Line  0 :    0 , ", "Line  1 :    5 ,  100"}));
}

QTEST_APPLESS_MAIN(ProgramReadingTest)
#include "program_reading_test.moc"
