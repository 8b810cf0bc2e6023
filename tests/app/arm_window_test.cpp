#include <QApplication>
#include <QPlainTextEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QWindow>

#include "app/arm_window_keeper.h"
#include "app/pane_text.h"
#include "app/robot_bench.h"
#include "support/arm_bytes.h"
#include "virtualarm/arm_window.h"

using namespace quillmar;
using quillmar::testing::sent_commands;

Q_DECLARE_METATYPE(quillmar::Direction)

namespace {

// The main window on the virtual arm, with the arm window that follows the bus, paired.
struct Windows {
    explicit Windows(QSettings* remembered = nullptr)
        : keeper(bench.robot, arm_window, remembered) {
        model.follow(bench.usb);
        bench.robot.start_up();
    }
    QPlainTextEdit& program_pane() { return *bench.control<QPlainTextEdit>("data"); }
    // The text of the line the program pane marks; a null text when none is marked.
    QString marked_line() {
        const auto marks = program_pane().extraSelections();
        if (marks.isEmpty()) {
            return {};
        }
        const QTextCursor& mark = marks.front().cursor;
        return mark.block().text().mid(mark.positionInBlock()).section(QChar::LineSeparator, 0, 0);
    }

    quillmar::testing::RobotBench bench{true};
    ArmModel model{bench.pacer.now()};
    ArmWindow arm_window{model, [this] { return bench.pacer.now(); }, ArmSource::virtual_arm};
    ArmWindowKeeper keeper;
};

void press_f2(QWidget& window) {
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_F2);
}

}  // namespace

class ArmWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void both_windows_show_the_running_line_data();
    void both_windows_show_the_running_line();
    void closing_the_arm_window_only_hides_it();
    void f2_shows_and_hides_it_and_the_choice_is_remembered();
};

void ArmWindowTest::both_windows_show_the_running_line_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<Direction>("direction");
    QTest::addColumn<QStringList>("marked_lines");
    QTest::addColumn<QStringList>("step_texts");
    const QString program = QStringLiteral("1,100\r\n\r\nabc\r\n5,200\r\n0,");
    QTest::newRow("forwards") << program << Direction::forwards
                              << QStringList{"1,100", "5,200", "0,"}
                              << QStringList{"Step 1 of 3: Grip (1), line 1",
                                             "Step 2 of 3: Elbow Down (5), line 4",
                                             "Step 3 of 3: Light (0), line 5"};
    QTest::newRow("in reverse") << program << Direction::reverse
                                << QStringList{"0,", "5,200", "1,100"}
                                << QStringList{"Step 1 of 3: Light (0), line 5",
                                               "Step 2 of 3: Elbow Up (6), line 4",
                                               "Step 3 of 3: Open (2), line 1"};
    // A pasted line separator ends a line inside one of the pane's blocks.
    QTest::newRow("line separator inside a block")
        << QStringLiteral("1,100") + QChar::LineSeparator + QStringLiteral("x\r\n2,50")
        << Direction::forwards << QStringList{"1,100", "2,50"}
        << QStringList{"Step 1 of 2: Grip (1), line 1", "Step 2 of 2: Open (2), line 3"};
}

void ArmWindowTest::both_windows_show_the_running_line() {
    QFETCH(QString, program);
    QFETCH(Direction, direction);
    QFETCH(QStringList, marked_lines);
    QFETCH(QStringList, step_texts);
    Windows windows;
    windows.bench.robot.set_program_text(program);
    const QString text = pane_text(windows.program_pane());
    windows.program_pane().moveCursor(QTextCursor::End);
    const int caret = windows.program_pane().textCursor().position();

    QStringList marked;
    QStringList texts;
    QObject::connect(&windows.bench.robot.runner(), &ProgramRunner::step_started, [&] {
        marked << windows.marked_line();
        texts << windows.arm_window.run_text().section(QLatin1Char('\n'), 0, 0);
        QVERIFY(windows.arm_window.timing_run());
    });
    windows.bench.robot.runner().run_program(direction);

    QCOMPARE(marked, marked_lines);
    QCOMPARE(texts, step_texts);
    QVERIFY(windows.marked_line().isNull());
    QVERIFY(windows.arm_window.run_text().startsWith(QStringLiteral("Run finished\n")));
    QVERIFY(!windows.arm_window.timing_run());
    QCOMPARE(pane_text(windows.program_pane()), text);
    QCOMPARE(windows.program_pane().textCursor().position(), caret);
}

void ArmWindowTest::closing_the_arm_window_only_hides_it() {
    Windows windows;
    windows.bench.robot.show();
    windows.keeper.start(true);
    QVERIFY(QTest::qWaitForWindowExposed(&windows.arm_window));

    bool running_after_arm_window_closed = false;
    QTimer::singleShot(0, [&] { windows.arm_window.windowHandle()->close(); });
    QTimer::singleShot(50, [&] {
        running_after_arm_window_closed = true;
        QVERIFY(windows.bench.robot.isVisible());
        QVERIFY(!windows.arm_window.isVisible());
        windows.arm_window.show();
        windows.bench.usb.clear_logs();
        windows.bench.robot.windowHandle()->close();
    });
    QTimer::singleShot(5000, [] { QCoreApplication::exit(1); });
    QCOMPARE(QCoreApplication::exec(), 0);

    QVERIFY(running_after_arm_window_closed);
    QCOMPARE(sent_commands(windows.bench.usb), QStringList{"0,0,0"});
    QVERIFY(!windows.arm_window.isVisible());
}

void ArmWindowTest::f2_shows_and_hides_it_and_the_choice_is_remembered() {
    QTemporaryDir folder;
    QSettings remembered(folder.filePath(QStringLiteral("quillmar.conf")), QSettings::IniFormat);
    auto shown = [&] { return remembered.value(QLatin1String(ArmWindowKeeper::shown_key)); };
    remembered.setValue(QLatin1String(ArmWindowKeeper::shown_key), true);
    Windows windows(&remembered);
    windows.bench.robot.show();
    windows.keeper.start(false);
    QVERIFY(windows.arm_window.isVisible());
    QVERIFY(windows.arm_window.x() > windows.bench.robot.frameGeometry().right());

    press_f2(windows.bench.robot);
    QVERIFY(!windows.arm_window.isVisible());
    QCOMPARE(shown(), false);
    press_f2(windows.bench.robot);
    QVERIFY(windows.arm_window.isVisible());
    QCOMPARE(shown(), true);
    windows.arm_window.close();
    QCOMPARE(shown(), false);

    press_f2(windows.bench.robot);
    // Closing the main window ends the program with the arm window shown: so it starts next time.
    windows.bench.robot.close();
    QVERIFY(!windows.arm_window.isVisible());
    QCOMPARE(shown(), true);
}

QTEST_MAIN(ArmWindowTest)
#include "arm_window_test.moc"
