#include <csignal>

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QWindow>

#include "app/arm_window_keeper.h"
#include "app/pane_text.h"
#include "app/robot_bench.h"
#include "app/signal_bridge.h"
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
        QObject::connect(&bridge, &SignalBridge::termination_requested, &bench.robot,
                         &QWidget::close);
    }
    // Both windows shown, the arm window active and taking keys, nothing sent yet.
    void drive() {
        bench.robot.show();
        keeper.start(true);
        arm_window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&arm_window));
        bench.usb.clear_logs();
    }
    // Holds `key` in the arm window for `seconds` of virtual time.
    void hold(Qt::Key key, double seconds) {
        bench.pacer.at(bench.pacer.now() + seconds,
                       [this, key] { QTest::keyRelease(&arm_window, key); });
        QTest::keyPress(&arm_window, key);
    }
    QPushButton* button(const char* name) {
        auto* found = arm_window.findChild<QPushButton*>(QLatin1String(name));
        return found ? found : bench.control<QPushButton>(name);
    }
    QString note() { return arm_window.findChild<QLabel*>(QStringLiteral("handnote"))->text(); }
    double position(Joint joint) { return model.position_at(joint, bench.pacer.now()); }
    QPlainTextEdit& program_pane() { return *bench.control<QPlainTextEdit>("data"); }
    // The text of the line the program pane marks; a null text when none is marked.
    QString marked_line() {
        const auto marks = program_pane().extraSelections();
        if (marks.isEmpty()) {
            return {};
        }
        return marks.front().cursor.selectedText();
    }

    quillmar::testing::RobotBench bench{true};
    ArmModel model{bench.pacer.now()};
    ArmWindow arm_window{model, [this] { return bench.pacer.now(); }, ArmSource::virtual_arm};
    ArmWindowKeeper keeper;
    SignalBridge bridge;
};

Qt::Key key_named(const QString& name) {
    return static_cast<Qt::Key>(QKeySequence(name)[0].key());
}

// What the user does while a key drive runs: "press Up", "release Left", or another act.
void act(Windows& w, const QString& act) {
    const QString key = act.section(QLatin1Char(' '), 1);
    if (act.startsWith(QLatin1String("press "))) {
        QTest::keyPress(&w.arm_window, key_named(key));
    } else if (act.startsWith(QLatin1String("release "))) {
        QTest::keyRelease(&w.arm_window, key_named(key));
    } else if (act == "deactivate") {
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
    } else if (act == "F2") {
        QTest::keyClick(&w.arm_window, Qt::Key_F2);
    } else if (act == "Escape") {
        QTest::keyClick(&w.arm_window, Qt::Key_Escape);
    } else if (act == "Stop") {
        QTest::mouseClick(w.button("stopme"), Qt::LeftButton);
    } else if (act == "Release arm") {
        w.button("release")->click();
    } else if (act == "close") {
        w.bench.robot.close();
    } else if (act == "SIGTERM") {
        QSignalSpy closed(&w.bench.robot, &Robot::closed);
        std::raise(SIGTERM);
        QVERIFY(closed.wait(2000));
    } else if (act == "auto-repeat" || act == "X11 repeat") {
        // X11 may send a repeat unmarked, as a release and a press of one time.
        const bool marked = act == "auto-repeat";
        for (const QEvent::Type type : {QEvent::KeyRelease, QEvent::KeyPress}) {
            QKeyEvent repeat(type, Qt::Key_Left, Qt::NoModifier, QString(), marked);
            repeat.setTimestamp(marked ? 0 : 5000);
            QApplication::sendEvent(&w.arm_window, &repeat);
        }
    } else if (act == "lock") {
        w.bench.robot.lock_for_run();
    }
}

const QString limit_line =
    QStringLiteral("Hold stopped after 15 s: a motor never runs longer while held\r\n");

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
    void every_key_drive_ends_in_a_stop_data();
    void every_key_drive_ends_in_a_stop();
    void recorded_session_replays_to_the_same_pose();
    void back_to_start_returns_to_the_origin_data();
    void back_to_start_returns_to_the_origin();
    void only_the_newest_preview_shows_data();
    void only_the_newest_preview_shows();
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

// Left is held from time 0; each act runs at its time (seconds) while the drive waits.
void ArmWindowTest::every_key_drive_ends_in_a_stop_data() {
    QTest::addColumn<QString>("before");  // done before Left goes down
    QTest::addColumn<QStringList>("acts");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<double>("ran");  // seconds from the first command to the second
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("note");
    const QStringList held{"0,2,0", "0,0,0"};
    const QStringList stopped{"0,2,0", "0,0,0", "0,0,0", "0,0,0"};
    const QString hint = QStringLiteral("Hold the keys");
    QTest::newRow("let go") << "" << QStringList{"1.2 release Left"} << held << 1.2 << "" << hint;
    for (const char* ending : {"deactivate", "F2", "close", "SIGTERM"}) {
        QTest::newRow(ending) << "" << QStringList{QStringLiteral("1.2 ") + ending} << held << 1.2
                              << "" << hint;
    }
    // Stop's two stop commands, then the drive's own.
    QTest::newRow("Escape") << "" << QStringList{"1.2 Escape"} << stopped << 1.2 << "" << hint;
    QTest::newRow("Stop") << "" << QStringList{"1.2 Stop"} << stopped << 1.2 << "" << hint;
    QTest::newRow("Release arm") << "" << QStringList{"1.2 Release arm"} << held << 1.2
                                 << "Sent: ( 0, 0, 0) Return value -19\r\n"
                                 << hint;
    QTest::newRow("none: the limit") << "" << QStringList{} << held << 15.0 << limit_line << hint;
    QTest::newRow("auto-repeat") << "" << QStringList{"1.2 auto-repeat"} << held << 15.0
                                 << limit_line << hint;
    QTest::newRow("X11 repeat") << "" << QStringList{"0.6 X11 repeat", "1.2 release Left"} << held
                                << 1.2 << "" << hint;
    // Base anticlockwise, shoulder up: one command with both bits, then the shoulder alone.
    QTest::newRow("two motors combine")
        << "" << QStringList{"0.5 press Up", "1 release Left", "1.2 release Up"}
        << QStringList{"0,2,0", "64,2,0", "64,0,0", "0,0,0"} << 0.5 << "" << hint;
    QTest::newRow("both ways refused")
        << "" << QStringList{"0.5 press Right", "1.2 release Left"} << held << 1.2 << ""
        << "Body Clockwise (10) refused: Body Anticlockwise (9) runs the same motor the other way";
    QTest::newRow("one motor while recording")
        << "record" << QStringList{"0.5 press Up", "1.2 release Left"} << held << 1.2 << ""
        << "Shoulder Up (8) refused: Record takes one motor at a time";
    QTest::newRow("no arm") << "Release arm" << QStringList{} << QStringList{} << 0.0 << "" << hint;
    QTest::newRow("a run") << "lock" << QStringList{} << QStringList{} << 0.0 << "" << hint;
}

void ArmWindowTest::every_key_drive_ends_in_a_stop() {
    QFETCH(QString, before);
    QFETCH(QStringList, acts);
    QFETCH(QStringList, commands);
    QFETCH(double, ran);
    QFETCH(QString, error);
    QFETCH(QString, note);
    Windows windows;
    windows.drive();
    if (before == "record") {
        windows.button("record")->click();
    } else if (!before.isEmpty()) {
        act(windows, before);
        windows.bench.usb.clear_logs();
    }
    const double start = windows.bench.pacer.now();
    for (const QString& timed : acts) {
        const QString what = timed.section(QLatin1Char(' '), 1);
        windows.bench.pacer.at(start + timed.section(QLatin1Char(' '), 0, 0).toDouble(),
                               [&windows, what] { act(windows, what); });
    }
    QTest::keyPress(&windows.arm_window, Qt::Key_Left);
    QCOMPARE(sent_commands(windows.bench.usb), commands);
    if (!commands.isEmpty()) {
        QVERIFY(std::abs(windows.bench.usb.transfers().at(1).time -
                         windows.bench.usb.transfers().at(0).time - ran) < 1e-6);
    }
    QCOMPARE(pane_text(*windows.bench.control<QPlainTextEdit>("error")), error);
    QVERIFY2(windows.note().startsWith(note), qPrintable(windows.note()));
}

// Clicks, a held button, keys and the light, recorded while they are made, run again from the
// same start to the same pose; neither the run nor Back to start is recorded.
void ArmWindowTest::recorded_session_replays_to_the_same_pose() {
    Windows windows;
    windows.drive();
    windows.button("record")->click();
    QTest::mouseClick(windows.button("handin"), Qt::LeftButton);
    QPushButton* open = windows.button("handout");
    open->setFocus();
    windows.bench.pacer.at(windows.bench.pacer.now() + 1.0,
                           [open] { QTest::keyRelease(open, Qt::Key_Space); });
    QTest::keyPress(open, Qt::Key_Space);
    QTRY_COMPARE(windows.bench.usb.transfers().size(), std::size_t{4});
    windows.arm_window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&windows.arm_window));
    windows.hold(Qt::Key_E, 1.5);
    QTest::keyClick(&windows.arm_window, Qt::Key_L);
    windows.hold(Qt::Key_Left, 2.374);
    // Open beyond the gripper's end: 2.5 s of travel, then it strains.
    windows.hold(Qt::Key_Q, 4.0);
    const QString recorded = QStringLiteral("1,10\r\n2,100\r\n6,150\r\n0,\r\n9,237\r\n2,400\r\n");
    QCOMPARE(windows.bench.robot.program_text(), recorded);
    const Pose taught = windows.model.pose_at(windows.bench.pacer.now());

    windows.button("resetpose")->click();
    windows.bench.robot.runner().run_program(Direction::forwards);
    for (const auto& row : joint_table) {
        // Each movement rounded to the nearest hundredth of a second.
        QVERIFY2(
            std::abs(windows.position(row.joint) -
                     taught.at(static_cast<std::size_t>(row.joint))) <= 0.005 * row.speed + 1e-9,
            row.name);
    }
    windows.button("backtostart")->click();
    QCOMPARE(windows.bench.robot.program_text(), recorded);
}

void ArmWindowTest::back_to_start_returns_to_the_origin_data() {
    QTest::addColumn<bool>("attach_again");  // release and attach after the first moves
    QTest::addColumn<bool>("escape");        // Escape half a second into the way back
    // The start commands of the way back: the joint that moved last goes first.
    QTest::addColumn<QStringList>("starts");
    QTest::newRow("after an end stop")
        << false << false << QStringList{"32,0,0", "8,0,0", "64,0,0", "2,0,0", "0,1,0"};
    QTest::newRow("to where the arm was attached")
        << true << false << QStringList{"32,0,0", "8,0,0", "64,0,0"};
    QTest::newRow("Escape ends it at once") << false << true << QStringList{"32,0,0"};
}

void ArmWindowTest::back_to_start_returns_to_the_origin() {
    QFETCH(bool, attach_again);
    QFETCH(bool, escape);
    QFETCH(QStringList, starts);
    Windows windows;
    windows.drive();
    windows.hold(Qt::Key_Left, 2.0);
    windows.hold(Qt::Key_A, 4.0);  // closes the gripper and strains against its end for 1.5 s
    if (attach_again) {
        windows.button("release")->click();
        windows.button("gettit")->click();
        windows.arm_window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&windows.arm_window));
    }
    const Pose origin = windows.model.origin();
    QCOMPARE(origin,
             attach_again ? windows.model.pose_at(windows.bench.pacer.now()) : start_pose());
    windows.hold(Qt::Key_Down, 1.0);
    // The wrist and the elbow together, then the elbow alone.
    const double now = windows.bench.pacer.now();
    windows.bench.pacer.at(now, [&windows] { QTest::keyPress(&windows.arm_window, Qt::Key_W); });
    windows.bench.pacer.at(now + 0.5,
                           [&windows] { QTest::keyRelease(&windows.arm_window, Qt::Key_W); });
    windows.hold(Qt::Key_E, 0.7);
    windows.bench.usb.clear_logs();

    if (escape) {
        windows.bench.pacer.at(windows.bench.pacer.now() + 0.5,
                               [&windows] { act(windows, "Escape"); });
    }
    windows.button("backtostart")->click();
    QVERIFY(windows.button("backtostart")->isEnabled());
    QVERIFY(windows.bench.control("panel")->isEnabled());
    const QStringList sent = sent_commands(windows.bench.usb);
    QStringList started;
    for (const QString& command : sent) {
        if (command != QStringLiteral("0,0,0")) {
            started << command;
        }
    }
    QCOMPARE(started, starts);
    QCOMPARE(sent.back(), QStringLiteral("0,0,0"));
    if (escape) {
        // Stop's two stop commands, then the movement's own; nothing starts after them.
        QCOMPARE(sent.size(), 4);
        QVERIFY(std::abs(windows.bench.usb.transfers().at(1).time -
                         windows.bench.usb.transfers().at(0).time - 0.5) < 1e-6);
        QCOMPARE(windows.note(), QStringLiteral("Back to start stopped."));
        return;
    }
    QCOMPARE(windows.note(), QStringLiteral("Back at the start."));
    for (const auto& row : joint_table) {
        const double tolerance = row.joint == Joint::gripper ? 0.5 : 1.0;
        QVERIFY2(std::abs(windows.position(row.joint) -
                          origin.at(static_cast<std::size_t>(row.joint))) <= tolerance,
                 row.name);
    }
}

void ArmWindowTest::only_the_newest_preview_shows_data() {
    QTest::addColumn<QStringList>("programs");  // previewed one after the other at once
    QTest::addColumn<QString>("summary");
    // Simulated for a tenth of a second or more, long after the next program is asked for.
    const QString slow = QStringLiteral("1,100\r\n").repeated(150000);
    QTest::newRow("after a slow one")
        << QStringList{slow, "5,200"} << "Takes 2.0 s in 1 step; the pale arm shows where it ends.";
    QTest::newRow("of three") << QStringList{slow, "5,200", "abc"}
                              << "No line of the program runs.";
}

void ArmWindowTest::only_the_newest_preview_shows() {
    QFETCH(QStringList, programs);
    QFETCH(QString, summary);
    Windows windows;
    QSignalSpy shown(&windows.arm_window, &ArmWindow::preview_shown);
    for (const QString& program : programs) {
        windows.bench.robot.set_program_text(program);
        windows.arm_window.update_preview();
    }
    QVERIFY(shown.wait(10000));
    QCOMPARE(windows.arm_window.findChild<QLabel*>(QStringLiteral("previewsummary"))->text(),
             summary);
    QTest::qWait(200);
    QCOMPARE(shown.size(), 1);
}

QTEST_MAIN(ArmWindowTest)
#include "arm_window_test.moc"
