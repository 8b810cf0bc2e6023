// The two log panes and the program pane: CR LF text, appending, and the caret at the end.
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextBlock>

#include "app/pane_text.h"
#include "app/robot_bench.h"
#include "programs/program_check.h"
#include "support/emulation.h"

using namespace quillmar;
using quillmar::testing::RobotBench;

class PanesTest : public QObject {
    Q_OBJECT
  private slots:
    void line_ends_data();
    void line_ends();
    void append_data();
    void append();
    void caret_follows_every_change();
    void program_text_round_trip_data();
    void program_text_round_trip();
    void long_log_stays_fast();
    void paste_keeps_lines_within_bounds_data();
    void paste_keeps_lines_within_bounds();
    void long_words_wrap_anywhere_data();
    void long_words_wrap_anywhere();
};

namespace {

const QString longest = QStringLiteral("1,") + QString(longest_line - 2, u'7');
const QString many_lines = QStringLiteral("1,100\r\n\r\nx\r\n").repeated(2000);

}  // namespace

void PanesTest::line_ends_data() {
    QTest::addColumn<QString>("widget_text");
    QTest::addColumn<QString>("crlf_text");
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("one line") << "a"
                              << "a";
    QTest::newRow("two lines") << "1,100\n2,50"
                               << "1,100\r\n2,50";
    QTest::newRow("ends with a break") << "a\n"
                                       << "a\r\n";
    QTest::newRow("empty lines") << "\n\na\n\n"
                                 << "\r\n\r\na\r\n\r\n";
}

void PanesTest::line_ends() {
    QFETCH(QString, widget_text);
    QFETCH(QString, crlf_text);
    QCOMPARE(crlf_from_widget_text(widget_text), crlf_text);
    QCOMPARE(widget_text_from_crlf(crlf_text), widget_text);
}

void PanesTest::append_data() {
    QTest::addColumn<QByteArray>("pane");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("expected");
    for (const char* name : {"message", "error"}) {
        const QByteArray pane(name);
        QTest::addRow("%s: one line", pane.constData())
            << pane << QStringList{"Could not attach"} << "Could not attach\r\n";
        QTest::addRow("%s: three lines", pane.constData())
            << pane << QStringList{"one", "two", "three"} << "one\r\ntwo\r\nthree\r\n";
        QTest::addRow("%s: leading break", pane.constData())
            << pane << QStringList{"survey", "\r\nArm attached"}
            << "survey\r\n\r\nArm attached\r\n";
        QTest::addRow("%s: empty text", pane.constData())
            << pane << QStringList{"", "a"} << "\r\na\r\n";
        const QString long_text = QStringLiteral("line\r\n\r\n").repeated(100) + "last";
        QTest::addRow("%s: long text", pane.constData())
            << pane << QStringList{long_text, "next"} << long_text + "\r\nnext\r\n";
    }
}

void PanesTest::append() {
    QFETCH(QByteArray, pane);
    QFETCH(QStringList, texts);
    QFETCH(QString, expected);
    RobotBench bench(false);
    auto* widget = bench.control<QPlainTextEdit>(pane.constData());
    for (const QString& text : texts) {
        if (pane == "message") {
            bench.robot.show_message(text);
        } else {
            bench.robot.show_error(text);
        }
    }
    QCOMPARE(pane_text(*widget), expected);
    QVERIFY(widget->textCursor().atEnd());
    QVERIFY(!widget->textCursor().hasSelection());
}

void PanesTest::caret_follows_every_change() {
    RobotBench bench(false);
    auto* message = bench.control<QPlainTextEdit>("message");
    bench.robot.show_message("first");
    bench.robot.show_message("second");
    message->moveCursor(QTextCursor::Start);
    bench.robot.show_message("third");
    QVERIFY(message->textCursor().atEnd());
    set_pane_text(*message, {});
    QCOMPARE(message->textCursor().position(), 0);
}

void PanesTest::program_text_round_trip_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("read_back");
    QTest::newRow("crlf lines") << "1,100\r\n2,50"
                                << "1,100\r\n2,50";
    QTest::newRow("final break") << "1,100\r\n"
                                 << "1,100\r\n";
    QTest::newRow("lone cr") << "0,\r5,200"
                             << "0,\r\n5,200";
    QTest::newRow("lone lf") << "0,\n5,200"
                             << "0,\r\n5,200";
    QTest::newRow("spaces only") << "   "
                                 << "   ";
    QTest::newRow("many lines") << many_lines << many_lines;
}

void PanesTest::program_text_round_trip() {
    QFETCH(QString, text);
    QFETCH(QString, read_back);
    RobotBench bench(false);
    bench.robot.set_program_text(text);
    QCOMPARE(bench.robot.program_text(), read_back);
}

void PanesTest::long_log_stays_fast() {
    if (testing::under_emulation()) {
        QSKIP("the time budget is for a real processor");
    }
    RobotBench bench(false);
    bench.robot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bench.robot));
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 2000; ++i) {
        bench.robot.show_message(QStringLiteral("    Endpoint %1 bEndpointAddress  81").arg(i));
        if (i % 100 == 0) {
            QCoreApplication::processEvents();
        }
    }
    QCoreApplication::processEvents();
    // Re-setting the whole text on every line takes about 3 s here, appending about 30 ms.
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    const QString text = pane_text(*bench.control<QPlainTextEdit>("message"));
    QVERIFY(text.endsWith("Endpoint 1999 bEndpointAddress  81\r\n"));
    QCOMPARE(text.count("\r\n"), 2000);
}

void PanesTest::paste_keeps_lines_within_bounds_data() {
    QTest::addColumn<QString>("before");
    QTest::addColumn<int>("caret");  // where the paste goes; -1 replaces everything
    QTest::addColumn<QString>("pasted");
    QTest::addColumn<QString>("after");
    const QString refused = QStringLiteral(
        "Text not pasted: a line would be longer than 32765 characters, too long for a program");
    QTest::newRow("many lines") << "1,100" << -1 << many_lines << many_lines;
    QTest::newRow("the longest line") << "1,100" << -1 << longest << longest;
    QTest::newRow("a line too long") << "1,100" << -1 << longest + "7" << refused;
    QTest::newRow("too long with the line it joins")
        << "1,100\r\n2,50" << 10 << "0" + longest.mid(4) + "\r\n3,7" << refused;
    QTest::newRow("between lines") << "1,100\r\n2,50" << 6 << longest + "\n"
                                   << "1,100\r\n" + longest + "\r\n2,50";
}

void PanesTest::paste_keeps_lines_within_bounds() {
    QFETCH(QString, before);
    QFETCH(int, caret);
    QFETCH(QString, pasted);
    QFETCH(QString, after);
    RobotBench bench(false);
    bench.robot.set_program_text(before);
    auto* data = bench.control<QPlainTextEdit>("data");
    if (caret < 0) {
        data->selectAll();
    } else {
        QTextCursor at(data->document());
        at.setPosition(caret);
        data->setTextCursor(at);
    }
    QApplication::clipboard()->setText(pasted);
    data->paste();
    const QString message = pane_text(*bench.control<QPlainTextEdit>("message"));
    if (after.startsWith(QStringLiteral("Text not pasted"))) {
        QCOMPARE(message, after + "\r\n");
        QCOMPARE(bench.robot.program_text(), before);
    } else {
        QCOMPARE(message, QString());
        QCOMPARE(bench.robot.program_text(), after);
    }
}

void PanesTest::long_words_wrap_anywhere_data() {
    QTest::addColumn<QByteArray>("pane");
    QTest::addColumn<QStringList>("texts");   // set one after the other
    QTest::addColumn<bool>("cut_long_line");  // then cut the line of the long word out
    QTest::addColumn<QTextOption::WrapMode>("wrap");
    // Wrapped at word boundaries, a word this long takes seconds.
    const QString word = QStringLiteral("1,") + QString(100000, u'7');
    const auto anywhere = QTextOption::WrapAnywhere;
    const auto usual = QTextOption::WrapAtWordBoundaryOrAnywhere;
    QTest::newRow("program") << QByteArray("data") << QStringList{word} << false << anywhere;
    QTest::newRow("program again")
        << QByteArray("data") << QStringList{word, word} << false << anywhere;
    QTest::newRow("program replaced")
        << QByteArray("data") << QStringList{word, "1,100"} << false << usual;
    QTest::newRow("long line cut")
        << QByteArray("data") << QStringList{"1,100\r\n" + word} << true << usual;
    QTest::newRow("words with blanks")
        << QByteArray("data") << QStringList{QStringLiteral("1 , 100 ").repeated(20000)} << false
        << usual;
    QTest::newRow("message") << QByteArray("message") << QStringList{"1,100", word} << false
                             << anywhere;
}

void PanesTest::long_words_wrap_anywhere() {
    QFETCH(QByteArray, pane);
    QFETCH(QStringList, texts);
    QFETCH(bool, cut_long_line);
    QFETCH(QTextOption::WrapMode, wrap);
    RobotBench bench(false);
    bench.robot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bench.robot));
    auto* widget = bench.control<QPlainTextEdit>(pane.constData());
    QElapsedTimer clock;
    clock.start();
    for (const QString& text : texts) {
        if (pane == "data") {
            bench.robot.set_program_text(text);
        } else {
            bench.robot.show_message(text);
        }
        QCoreApplication::processEvents();
    }
    if (cut_long_line) {
        QTextCursor line(widget->document()->lastBlock());
        line.movePosition(QTextCursor::PreviousCharacter);
        line.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        line.removeSelectedText();
        QCoreApplication::processEvents();
        QCOMPARE(bench.robot.program_text(), "1,100");
    }
    // Wrapping anywhere lays each of these out in some ten milliseconds; an emulated processor
    // says nothing of that time.
    if (!testing::under_emulation()) {
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    }
    QCOMPARE(widget->wordWrapMode(), wrap);
}

QTEST_MAIN(PanesTest)
#include "panes_test.moc"
