// Reading numbers and checking program text line by line.
#include <QTest>

#include "programs/program_check.h"

namespace quillmar {
namespace {

const QString crlf = QStringLiteral("\r\n");

// Line counts in these tests are never negative, so their number text is a blank and digits.
QString error_line(int line_count, const QString& text) {
    return QStringLiteral("Programing error at line  %1 ( %2 )").arg(line_count).arg(text);
}

}  // namespace

class ProgramCheckTest : public QObject {
    Q_OBJECT

  private slots:
    void reads_numbers_data();
    void reads_numbers();
    void checks_single_lines_data();
    void checks_single_lines();
    void pads_echo_lines_data();
    void pads_echo_lines();
    void splits_lines_data();
    void splits_lines();
    void keeps_count_across_faulty_lines();
    void stores_at_most_a_table_of_steps();
    void reads_very_long_lines();
};

void ProgramCheckTest::reads_numbers_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("fits");
    QTest::addColumn<int>("value");

    QTest::newRow("integer") << "12" << true << 12;
    QTest::newRow("half up to even") << "1.5" << true << 2;
    QTest::newRow("half down to even") << "2.5" << true << 2;
    QTest::newRow("just above half") << "2.5000000000000000000001" << true << 3;
    QTest::newRow("below half") << "0.4" << true << 0;
    QTest::newRow("half to zero") << "0.5" << true << 0;
    QTest::newRow("negative half") << "-0.5" << true << 0;
    QTest::newRow("negative") << "-1.6" << true << -2;
    QTest::newRow("plus sign") << "+7" << true << 7;
    QTest::newRow("point first") << ".6" << true << 1;
    QTest::newRow("stops at letter") << "12abc" << true << 12;
    QTest::newRow("second point stops") << "1.5.9" << true << 2;
    QTest::newRow("blank inside") << "1 0" << true << 10;
    QTest::newRow("tabs and blanks") << "\t- 1\t2 " << true << -12;
    QTest::newRow("not a number") << "abc" << true << 0;
    QTest::newRow("empty") << "" << true << 0;
    QTest::newRow("sign alone") << "-" << true << 0;
    QTest::newRow("exponent") << "1E2" << true << 100;
    QTest::newRow("small exponent") << "1e2" << true << 100;
    QTest::newRow("negative exponent") << "1500e-1" << true << 150;
    QTest::newRow("exponent without digits") << "3e" << true << 3;
    QTest::newRow("exponent sign without digits") << "3e+x" << true << 3;
    QTest::newRow("tiny") << "5e-999999999999999999999" << true << 0;
    QTest::newRow("zero with huge exponent") << "0e99999" << true << 0;
    QTest::newRow("leading zeros") << "000000000000000000000042" << true << 42;
    QTest::newRow("largest") << "32767" << true << 32767;
    QTest::newRow("smallest") << "-32768" << true << -32768;
    QTest::newRow("rounds to smallest") << "-32768.5" << true << -32768;
    QTest::newRow("overflow") << "32768" << false << 0;
    QTest::newRow("rounds to overflow") << "32767.5" << false << 0;
    QTest::newRow("underflow") << "-32769" << false << 0;
    QTest::newRow("huge exponent") << "1e400" << false << 0;
    QTest::newRow("400 digits") << QString(400, u'9') << false << 0;
    QTest::newRow("hex") << "&HA" << true << 10;
    QTest::newRow("hex lower case") << "&hff" << true << 255;
    QTest::newRow("hex stops") << "&H1G" << true << 1;
    QTest::newRow("hex top bit") << "&HFFFF" << true << -1;
    QTest::newRow("hex too wide") << "&H10000" << false << 0;
    QTest::newRow("hex many leading zeros") << "&H" + QString(50, u'0') + "1F" << true << 31;
    QTest::newRow("hex without digits") << "&H" << true << 0;
    QTest::newRow("octal") << "&O17" << true << 15;
    QTest::newRow("octal lower case") << "&o17" << true << 15;
    QTest::newRow("octal stops at 8") << "&O18" << true << 1;
    QTest::newRow("octal top bit") << "&O177777" << true << -1;
    QTest::newRow("octal too wide") << "&O200000" << false << 0;
    QTest::newRow("ampersand alone") << "&X1" << true << 0;
}

void ProgramCheckTest::reads_numbers() {
    QFETCH(QString, text);
    QFETCH(bool, fits);
    QFETCH(int, value);

    const std::optional<std::int16_t> number = read_number(text);
    QCOMPARE(number.has_value(), fits);
    if (fits) {
        QCOMPARE(*number, value);
    }
}

void ProgramCheckTest::checks_single_lines_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("command");  // -1: nothing stored
    QTest::addColumn<float>("duration");

    const QString first = QStringLiteral("Line  0 :   ");
    QTest::newRow("light") << "0," << first + " 0 , " << 0 << 1.0f;
    QTest::newRow("light ignores duration") << "0,999" << first + " 0 , " << 0 << 1.0f;
    QTest::newRow("light with overflowing duration") << "0,99999" << first + " 0 , " << 0 << 1.0f;
    QTest::newRow("no command") << ",5" << first + " 0 , " << 0 << 1.0f;
    QTest::newRow("word command") << "x,5" << first + " 0 , " << 0 << 1.0f;
    QTest::newRow("no duration") << "1," << error_line(0, "1,") << -1 << 0.0f;
    QTest::newRow("zero duration") << "1,0" << error_line(0, "1,0") << -1 << 0.0f;
    QTest::newRow("longest") << "1,1499" << first + " 1 ,  1499" << 1 << 1499.0f;
    QTest::newRow("too long") << "1,1500" << error_line(0, "1,1500") << -1 << 0.0f;
    QTest::newRow("command 11") << "11,5" << error_line(0, "11,5") << -1 << 0.0f;
    QTest::newRow("command 10") << "10,5" << first + " 10 ,  5" << 10 << 5.0f;
    QTest::newRow("negative command") << "-1,5" << error_line(0, "-1,5") << -1 << 0.0f;
    QTest::newRow("blanks around comma") << "1 , 100" << first + " 1 ,  100" << 1 << 100.0f;
    QTest::newRow("command rounds up") << "1.5,100" << first + " 2 ,  100" << 2 << 100.0f;
    QTest::newRow("command rounds down") << "2.5,100" << first + " 2 ,  100" << 2 << 100.0f;
    QTest::newRow("command rounds to light") << "0.5,100" << first + " 0 , " << 0 << 1.0f;
    QTest::newRow("duration rounds to 0") << "1,0.4" << error_line(0, "1,0.4") << -1 << 0.0f;
    QTest::newRow("duration rounds to 1500")
        << "1,1499.5" << error_line(0, "1,1499.5") << -1 << 0.0f;
    QTest::newRow("blank inside command") << "1 0,100" << first + " 10 ,  100" << 10 << 100.0f;
    QTest::newRow("no comma") << "1 100" << error_line(0, "1 100") << -1 << 0.0f;
    QTest::newRow("command overflows") << "99999,5" << error_line(0, "99999,5") << -1 << 0.0f;
    QTest::newRow("duration overflows") << "1,1e400" << error_line(0, "1,1e400") << -1 << 0.0f;
    QTest::newRow("tabs stay in the line") << "\t1,x\t" << error_line(0, "\t1,x\t") << -1 << 0.0f;
    QTest::newRow("spaces trimmed") << "   4,20   " << first + " 4 ,  20" << 4 << 20.0f;
    QTest::newRow("only spaces") << "     " << error_line(0, "") << -1 << 0.0f;
}

void ProgramCheckTest::checks_single_lines() {
    QFETCH(QString, line);
    QFETCH(QString, message);
    QFETCH(int, command);
    QFETCH(float, duration);

    const CheckedProgram program = check_program(line);
    QCOMPARE(program.messages, QStringList{message});
    if (command < 0) {
        QVERIFY(program.steps.empty());
    } else {
        QCOMPARE(program.steps.size(), std::size_t{1});
        QCOMPARE(program.steps[0].command, command);
        QCOMPARE(program.steps[0].duration, duration);
    }
}

void ProgramCheckTest::pads_echo_lines_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("echo");

    QTest::newRow("0") << 0 << "1,100"
                       << "Line  0 :    1 ,  100";
    QTest::newRow("12 light") << 12 << "0,"
                              << "Line  12 :   0 , ";
    QTest::newRow("100") << 100 << "9,1"
                         << "Line  100 :  9 ,  1";
    QTest::newRow("255") << 255 << "3,1499"
                         << "Line  255 :  3 ,  1499";
}

void ProgramCheckTest::pads_echo_lines() {
    QFETCH(int, index);
    QFETCH(QString, line);
    QFETCH(QString, echo);

    const CheckedProgram program =
        check_program(QStringList(index, "5,5").join(crlf) + (index > 0 ? crlf : QString()) + line);
    QCOMPARE(program.messages.size(), index + 1);
    QCOMPARE(program.messages.last(), echo);
}

void ProgramCheckTest::splits_lines_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("messages");

    const QString one = QStringLiteral("Line  0 :    1 ,  100");
    const QString two = QStringLiteral("Line  1 :    2 ,  50");
    QTest::newRow("CR LF") << "1,100\r\n2,50" << QStringList{one, two};
    QTest::newRow("final CR LF adds no line") << "1,100\r\n2,50\r\n" << QStringList{one, two};
    QTest::newRow("lone LF") << "1,100\n2,50\n" << QStringList{one, two};
    QTest::newRow("lone CR") << "1,100\r2,50\r" << QStringList{one, two};
    QTest::newRow("mixed") << "1,100\n2,50\r" << QStringList{one, two};
    QTest::newRow("leading spaces of next line") << "1,100\r\n   2,50" << QStringList{one, two};
    QTest::newRow("trailing spaces after last line end") << "1,100\r\n    " << QStringList{one};
    QTest::newRow("empty line between")
        << "1,100\r\n\r\n2,50" << QStringList{one, error_line(1, ""), two};
    QTest::newRow("empty line between lone LFs")
        << "1,100\n\n2,50" << QStringList{one, error_line(1, ""), two};
    QTest::newRow("second final line end is a line") << "1,100\r\n\r\n"
                                                     << QStringList{one, error_line(1, "")};
    QTest::newRow("line end alone") << "\r\n" << QStringList{error_line(0, "")};
    QTest::newRow("empty text") << "" << QStringList{};
}

void ProgramCheckTest::splits_lines() {
    QFETCH(QString, text);
    QFETCH(QStringList, messages);

    QCOMPARE(check_program(text).messages, messages);
}

void ProgramCheckTest::keeps_count_across_faulty_lines() {
    const CheckedProgram program = check_program("1,100\r\nbad\r\n11,5\r\n0,\r\n3,7");
    QCOMPARE(program.messages,
             (QStringList{"Line  0 :    1 ,  100", error_line(1, "bad"), error_line(1, "11,5"),
                          "Line  1 :    0 , ", "Line  2 :    3 ,  7"}));
    QCOMPARE(program.steps.size(), std::size_t{3});
    QCOMPARE(program.steps[2].command, 3);
    QCOMPARE(program.steps[2].duration, 7.0f);
}

void ProgramCheckTest::stores_at_most_a_table_of_steps() {
    QStringList lines;
    for (int i = 0; i < 300; ++i) {
        lines << QStringLiteral("%1,%2").arg(i % 10 + 1).arg(i + 1);
    }
    lines.insert(280, "oops");
    const CheckedProgram program = check_program(lines.join(crlf));

    QCOMPARE(program.steps.size(), std::size_t{step_table_size});
    QCOMPARE(program.steps.back().duration, 256.0f);
    QCOMPARE(program.messages.size(), 301);
    QCOMPARE(program.messages[255], "Line  255 :  6 ,  256");
    QCOMPARE(program.messages[256], "Line not run, a program holds 256 steps at most ( 7,257 )");
    QCOMPARE(program.messages[280], error_line(256, "oops"));
    QCOMPARE(program.messages[300], "Line not run, a program holds 256 steps at most ( 10,300 )");
}

void ProgramCheckTest::reads_very_long_lines() {
    const QString padding(100000, u' ');
    const QString line = "1," + padding + "100" + padding + "x";
    const CheckedProgram program = check_program("2,5\r\n" + line + "\r\n3,7");
    QCOMPARE(program.messages.size(), 3);
    QCOMPARE(program.messages[1], "Line  1 :    1 ,  100");

    const QString junk = "4," + QString(100000, u'7');
    QCOMPARE(check_program(junk).messages, QStringList{error_line(0, junk)});
}

}  // namespace quillmar

QTEST_APPLESS_MAIN(quillmar::ProgramCheckTest)
#include "program_check_test.moc"
