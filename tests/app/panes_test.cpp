// The two log panes and the program pane: CR LF text, appending, and the caret at the end.
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTest>

#include "app/pane_text.h"
#include "app/robot_bench.h"
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
};

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

QTEST_MAIN(PanesTest)
#include "panes_test.moc"
