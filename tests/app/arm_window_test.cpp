#include <csignal>
#include <map>
#include <tuple>

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollArea>
#include <QSettings>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QWindow>

#include "app/arm_window_keeper.h"
#include "app/pane_text.h"
#include "app/robot_bench.h"
#include "armwindow/arm_window.h"
#include "armwindow/preview_timeline.h"
#include "session/signal_bridge.h"
#include "support/arm_bytes.h"
#include "support/contrast.h"

using namespace quillmar;
using quillmar::testing::contrast;
using quillmar::testing::sent_commands;

Q_DECLARE_METATYPE(quillmar::Direction)

namespace {

// The main window on the virtual arm, with the arm window that follows the bus, paired; or a
// real arm's window, on a bus with or without the arm.
struct Windows {
    explicit Windows(QSettings* remembered = nullptr, bool with_arm = true,
                     ArmSource source = ArmSource::virtual_arm)
        : bench(with_arm, source),
          arm_window(bench.session, source),
          keeper(bench.robot, arm_window, remembered) {
        bench.robot.start_up();
        QObject::connect(&bridge, &SignalBridge::termination_requested, &bench.robot,
                         &QWidget::close);
    }
    // Both windows shown, the arm window active and taking keys after a click on its picture,
    // nothing sent yet.
    void drive() {
        bench.robot.show();
        keeper.start(true);
        arm_window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&arm_window));
        const QWidget& picture = *arm_window.findChild<QWidget*>(QStringLiteral("picture"));
        // Through the window, as the window system brings a click.
        QTest::mouseClick(arm_window.windowHandle(), Qt::LeftButton, {},
                          picture.mapTo(&arm_window, picture.rect().center()));
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

    quillmar::testing::RobotBench bench;
    ArmModel& model = bench.session.model();
    ArmWindow arm_window;
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
    } else if (act == "Record") {
        w.button("record")->click();
    } else if (act == "Attach arm") {
        w.button("gettit")->click();
    } else if (act == "jog") {
        w.button("handin")->click();
    } else if (act == "refuse") {
        // Right while Left drives the same motor.
        const double now = w.bench.pacer.now();
        w.bench.pacer.at(now + 0.2, [&w] { QTest::keyPress(&w.arm_window, Qt::Key_Right); });
        w.bench.pacer.at(now + 0.3, [&w] { QTest::keyRelease(&w.arm_window, Qt::Key_Right); });
        w.hold(Qt::Key_Left, 0.5);
    } else if (act == "tap E") {
        w.hold(Qt::Key_E, 0.1);
    } else if (act == "wait") {
        // Timers may fire late on a busy machine.
        QVERIFY(QTest::qWaitFor([&w] { return !w.note().contains(QStringLiteral("refused")); },
                                2 * ArmWindow::note_fade_ms));
    } else if (act == "run") {
        w.bench.robot.set_program_text(QStringLiteral("1,100"));
        w.bench.hand.run(w.bench.robot.program_text(), Direction::forwards);
    } else if (act == "type") {
        w.bench.robot.set_program_text(QStringLiteral("1,100\r\n2,50"));
    }
}

const QString limit_line =
    QStringLiteral("Hold stopped after 15 s: a motor never runs longer while held\r\n");

// A desktop palette that greys an inactive window's text, as some styles do; light or dark.
QPalette desktop_palette(bool dark) {
    const QColor window = dark ? QColor(0x35, 0x35, 0x35) : QColor(0xf6, 0xf5, 0xf4);
    QPalette palette(dark ? QColor(0x37, 0x37, 0x37) : window, window);
    const QColor text = dark ? QColor(0xee, 0xee, 0xec) : QColor(0x2e, 0x34, 0x36);
    const QColor grey = dark ? QColor(0x91, 0x91, 0x90) : QColor(0x92, 0x95, 0x95);
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(QPalette::Active, role, text);
        palette.setColor(QPalette::Inactive, role, grey);
        palette.setColor(QPalette::Disabled, role, grey);
    }
    palette.setColor(QPalette::Base, dark ? QColor(0x2d, 0x2d, 0x2d) : QColor(Qt::white));
    return palette;
}

// The contrast of the most distinct pixel of `area` against its commonest colour: among the red
// pixels only, or leaving them out.
double best_contrast(const QImage& image, const QRect& area, bool red) {
    std::map<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            ++counts[image.pixel(x, y)];
        }
    }
    const QColor background =
        std::ranges::max_element(counts, {}, [](const auto& each) { return each.second; })->first;
    double best = 1.0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            const bool reddish =
                pixel.red() > pixel.green() + 60 && pixel.red() > pixel.blue() + 60;
            if (reddish == red) {
                best = std::max(best, contrast(pixel, background));
            }
        }
    }
    return best;
}

void press_f2(QWidget& window) {
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_F2);
}

}  // namespace

class ArmWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void says_who_was_stopped_and_when_the_arm_is_not_responding();
    void both_windows_show_the_running_line_data();
    void both_windows_show_the_running_line();
    void closing_the_arm_window_only_hides_it();
    void f2_shows_and_hides_it_and_the_choice_is_remembered();
    void every_key_drive_ends_in_a_stop_data();
    void every_key_drive_ends_in_a_stop();
    void recorded_session_replays_to_the_same_pose();
    void back_to_start_returns_to_the_origin_data();
    void back_to_start_returns_to_the_origin();
    void each_status_shows_only_while_true_data();
    void each_status_shows_only_while_true();
    void every_text_is_legible_data();
    void every_text_is_legible();
    void a_control_in_focus_keeps_the_keys();
    void a_hold_the_soft_limits_cut_short_brings_the_arm_window();
    void nothing_moves_when_a_note_changes_data();
    void nothing_moves_when_a_note_changes();
    void the_preview_follows_the_program_whichever_tab_shows_data();
    void the_preview_follows_the_program_whichever_tab_shows();
    void back_to_start_puts_the_light_back_data();
    void back_to_start_puts_the_light_back();
    void only_the_newest_preview_shows_data();
    void only_the_newest_preview_shows();
    void the_way_to_a_pose_goes_in_at_the_pane_cursor();
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
    QObject::connect(&windows.bench.session, &ArmSession::step_started, [&] {
        marked << windows.marked_line();
        texts << windows.arm_window.run_text().section(QLatin1Char('\n'), 0, 0);
        QVERIFY(windows.arm_window.timing_run());
    });
    windows.bench.hand.run(windows.bench.robot.program_text(), direction);

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
    // Beside the main window, or over its left side on a screen too narrow for both.
    const QRect main = windows.bench.robot.frameGeometry();
    QVERIFY(windows.arm_window.x() > main.right() ||
            main.width() + windows.arm_window.frameGeometry().width() >
                windows.bench.robot.screen()->availableGeometry().width());

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
    const auto drive_and_check = [&] {
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
    };
    if (before == "record") {
        windows.button("record")->click();
    } else if (before == "lock") {
        // Left goes down inside a run's step.
        windows.bench.pacer.at(windows.bench.pacer.now() + 1.0, [&] {
            windows.bench.usb.clear_logs();
            drive_and_check();
        });
        windows.bench.hand.run(QStringLiteral("1,1000"), Direction::forwards);
        return;
    } else if (!before.isEmpty()) {
        act(windows, before);
        windows.bench.usb.clear_logs();
    }
    drive_and_check();
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
    windows.bench.hand.run(windows.bench.robot.program_text(), Direction::forwards);
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

// What the arm window says and offers in each state; each note goes when it stops being true.
void ArmWindowTest::each_status_shows_only_while_true_data() {
    QTest::addColumn<QString>("setup");  // "virtual", "real" or "real, no arm"
    QTest::addColumn<QStringList>("acts");
    QTest::addColumn<QString>("note");     // how the note on the keys begins
    QTest::addColumn<QString>("record");   // Record's caption; "" while it cannot be used
    QTest::addColumn<bool>("help");        // the advice on attaching a real arm shows
    QTest::addColumn<QString>("run");      // the run's first line
    QTest::addColumn<QString>("program");  // the program pane after the acts
    const QString hint = QStringLiteral("Hold the keys beside a joint");
    const QString no_arm = QStringLiteral("Hold the keys to move the arm once \"Attach arm\"");
    const QString refused = QStringLiteral("Body Clockwise (10) refused");
    const QString idle = QStringLiteral("No run under way.");
    QTest::newRow("attached") << "virtual" << QStringList{} << hint << "Record" << false << idle
                              << "";
    QTest::newRow("recording") << "virtual" << QStringList{"Record", "jog"} << "Recording:"
                               << "Recording" << false << idle << "1,10\r\n";
    QTest::newRow("released") << "virtual" << QStringList{"Release arm"} << no_arm << "" << false
                              << idle << "";
    QTest::newRow("released while recording")
        << "virtual" << QStringList{"Record", "Release arm", "Attach arm", "jog"} << hint
        << "Record" << false << idle << "";
    QTest::newRow("refused") << "virtual" << QStringList{"refuse"} << refused << "Record" << false
                             << idle << "";
    QTest::newRow("refused, then the next key")
        << "virtual" << QStringList{"refuse", "tap E"} << hint << "Record" << false << idle << "";
    QTest::newRow("refused, then time passes")
        << "virtual" << QStringList{"refuse", "wait"} << hint << "Record" << false << idle << "";
    QTest::newRow("refused, then released")
        << "virtual" << QStringList{"refuse", "Release arm"} << no_arm << "" << false << idle << "";
    QTest::newRow("run finished") << "virtual" << QStringList{"run"} << hint << "Record" << false
                                  << "Run finished"
                                  << "1,100";
    QTest::newRow("run finished, then the program changed")
        << "virtual" << QStringList{"run", "type"} << hint << "Record" << false << idle
        << "1,100\r\n2,50";
    QTest::newRow("real arm missing")
        << "real, no arm" << QStringList{} << no_arm << "" << true << idle << "";
    QTest::newRow("real arm attached")
        << "real" << QStringList{} << hint << "Record" << false << idle << "";
    QTest::newRow("real arm released")
        << "real" << QStringList{"Release arm"} << no_arm << "" << true << idle << "";
}

void ArmWindowTest::each_status_shows_only_while_true() {
    QFETCH(QString, setup);
    QFETCH(QStringList, acts);
    QFETCH(QString, note);
    QFETCH(QString, record);
    QFETCH(bool, help);
    QFETCH(QString, run);
    QFETCH(QString, program);
    Windows windows(nullptr, setup != "real, no arm",
                    setup == "virtual" ? ArmSource::virtual_arm : ArmSource::commands_sent);
    windows.drive();
    for (const QString& each : acts) {
        act(windows, each);
    }
    QVERIFY2(windows.note().startsWith(note), qPrintable(windows.note()));
    const QPushButton* recording = windows.button("record");
    QCOMPARE(recording->isEnabled() ? recording->text() : QString(), record);
    QCOMPARE(recording->isChecked(), record == "Recording");
    QCOMPARE(!recording->icon().isNull(), record == "Recording");
    const auto* advice = windows.arm_window.findChild<QLabel*>(QStringLiteral("attachhelp"));
    QCOMPARE(advice != nullptr && advice->isVisible(), help);
    QCOMPARE(windows.arm_window.run_text().section(QLatin1Char('\n'), 0, 0), run);
    QCOMPARE(windows.bench.robot.program_text(), program);
}

// Under a light and a dark palette that grey an inactive window's text, every text of the arm
// window, watched while the main window has the keyboard, stands at least 4.5:1 against its
// background: during a run that strains the gripper with Record on, and idle.
void ArmWindowTest::every_text_is_legible_data() {
    QTest::addColumn<bool>("dark");
    QTest::addColumn<QString>("part");
    for (const bool dark : {false, true}) {
        for (const char* part :
             {"key note", "Record", "recording dot", "straining reading", "reading after straining",
              "run step", "run times", "preview choice", "preview summary", "warnings",
              "no-warnings note", "picture captions", "timeline lanes"}) {
            QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(dark ? "dark" : "light", part)))
                << dark << QString::fromLatin1(part);
        }
    }
}

void ArmWindowTest::every_text_is_legible() {
    QFETCH(bool, dark);
    QFETCH(QString, part);
    const QPalette old_palette = QApplication::palette();
    const auto restore = qScopeGuard([&] { QApplication::setPalette(old_palette); });
    Windows windows;
    windows.drive();
    // Switched with the windows open, as a desktop switches its theme.
    QApplication::setPalette(desktop_palette(dark));
    windows.button("record")->click();
    windows.bench.robot.set_program_text(QStringLiteral("2,500"));
    windows.arm_window.update_preview();
    windows.bench.robot.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&windows.bench.robot));

    ArmWindow& arm = windows.arm_window;
    // The whole content, also where a small screen makes the window scroll.
    QWidget* content = arm.findChild<QScrollArea*>()->widget();
    auto area_of = [content](const QWidget* widget) {
        return QRect(widget->mapTo(content, QPoint()), widget->size());
    };
    QImage running;
    QRect straining;
    // The gripper reaches its end after 2.5 s and strains until 5 s.
    windows.bench.pacer.at(windows.bench.pacer.now() + 4.0, [&] {
        QLabel* reading = nullptr;
        QTRY_VERIFY(std::ranges::any_of(arm.findChildren<QLabel*>(), [&reading](QLabel* label) {
            reading = label;
            return label->text().contains(QStringLiteral("straining"));
        }));
        straining = area_of(reading);
        running = content->grab().toImage();
    });
    windows.bench.hand.run(windows.bench.robot.program_text(), Direction::forwards);
    windows.bench.robot.set_program_text(QString());
    windows.arm_window.update_preview();
    const QImage idle = content->grab().toImage();
    QVERIFY(!running.isNull());

    const auto* picture = arm.findChild<ArmPicture*>();
    const auto* timeline = arm.findChild<PreviewTimeline*>();
    const auto* warnings = arm.findChild<QListWidget*>(QStringLiteral("warnings"));
    const QPushButton* record = windows.button("record");
    auto named = [&arm](const char* name) { return arm.findChild<QWidget*>(QLatin1String(name)); };
    const std::map<QString, std::tuple<const QImage&, QRect, bool>> parts{
        {"key note", {running, area_of(named("handnote")), false}},
        {"Record", {running, area_of(record), false}},
        {"recording dot", {running, area_of(record), true}},
        {"straining reading", {running, straining, true}},
        {"reading after straining", {idle, straining, false}},
        {"run step", {running, area_of(named("runstep")), false}},
        {"run times", {running, area_of(named("runtimes")), false}},
        {"preview choice", {idle, area_of(named("previewreverse")), false}},
        {"preview summary", {idle, area_of(named("previewsummary")), false}},
        {"warnings", {running, area_of(warnings->viewport()), false}},
        {"no-warnings note", {idle, area_of(warnings->viewport()), false}},
        {"picture captions",
         {running, QRect(area_of(picture).topLeft(), QSize(picture->width(), 24)), false}},
        {"timeline lanes",
         {running,
          QRect(area_of(timeline).topLeft() + QPoint(2, 2),
                QSize(timeline->fontMetrics().horizontalAdvance(QStringLiteral("Shoulder")),
                      timeline->height() / 2)),
          false}},
    };
    const auto& [image, area, red] = parts.at(part);
    const double best = best_contrast(image, area, red);
    QVERIFY2(best >= 4.5, qPrintable(QStringLiteral("contrast %1").arg(best, 0, 'f', 2)));
}

// Space switches the preview between the two runs, and the arrows keep driving the base while
// that choice has the focus.
void ArmWindowTest::a_control_in_focus_keeps_the_keys() {
    Windows windows;
    windows.drive();
    // Opens the gripper past its end; in reverse, closes it past its other end.
    windows.bench.robot.set_program_text(QStringLiteral("2,800"));
    auto* reverse = windows.arm_window.findChild<QCheckBox*>(QStringLiteral("previewreverse"));
    const auto* keys_line = windows.arm_window.findChild<QLabel*>(QStringLiteral("keysline"));
    QCOMPARE(keys_line->text(), QStringLiteral("Keys drive the arm"));
    reverse->setFocus();
    QCOMPARE(keys_line->text(),
             QStringLiteral("Keys work the control in focus: click the picture to drive"));
    QTest::keyClick(reverse, Qt::Key_E);
    QTest::keyClick(reverse, Qt::Key_Space);
    QVERIFY(reverse->isChecked());
    // The check box moves the focus with the arrows, or passes them on to the window, which
    // leaves them alone.
    QTest::keyClick(reverse, Qt::Key_Left);
    QCOMPARE(sent_commands(windows.bench.usb), QStringList{});

    // A click on the picture gives it the keys.
    auto* picture = windows.arm_window.findChild<QWidget*>(QStringLiteral("picture"));
    QTest::mouseClick(picture, Qt::LeftButton);
    QVERIFY(picture->hasFocus());
    QCOMPARE(keys_line->text(), QStringLiteral("Keys drive the arm"));
    windows.bench.pacer.at(windows.bench.pacer.now() + 0.5,
                           [picture] { QTest::keyRelease(picture, Qt::Key_Left); });
    QTest::keyPress(picture, Qt::Key_Left);
    QCOMPARE(sent_commands(windows.bench.usb), (QStringList{"0,2,0", "0,0,0"}));
}

// Grip held in the main window with the arm window hidden: cut short where the gripper closes,
// then refused outright, each time the arm window comes up with its note, the keys left alone.
void ArmWindowTest::a_hold_the_soft_limits_cut_short_brings_the_arm_window() {
    Windows windows;
    windows.bench.robot.show();
    windows.keeper.start(false);
    QVERIFY(QTest::qWaitForWindowActive(&windows.bench.robot));
    windows.bench.session.set_soft_limits(true);
    windows.bench.usb.clear_logs();
    QPushButton* grip = windows.button("handin");
    const QStringList cut_short{"1,0,0", "0,0,0"};
    for (const QStringList& commands : {cut_short, QStringList{}}) {
        QVERIFY(!windows.arm_window.isVisible());
        QTest::mousePress(grip, Qt::LeftButton);
        QTRY_VERIFY(windows.arm_window.isVisible());
        QTest::mouseRelease(grip, Qt::LeftButton);
        QCOMPARE(sent_commands(windows.bench.usb), commands);
        QVERIFY2(
            windows.note().endsWith(QStringLiteral("Hold Shift in the arm window to drive on.")),
            qPrintable(windows.note()));
        // The keyboard stays with the main window; a platform that activates every window it
        // shows gives the arm window no keys that drive.
        QVERIFY(QGuiApplication::focusWindow() == windows.bench.robot.windowHandle() ||
                !windows.arm_window.keys_welcome());
        windows.keeper.toggle();
        windows.bench.usb.clear_logs();
    }
}

void ArmWindowTest::nothing_moves_when_a_note_changes_data() {
    QTest::addColumn<QStringList>("changes");
    QTest::newRow("a script drives") << QStringList{"script"};
    QTest::newRow("a script of a long name") << QStringList{"long script"};
    QTest::newRow("and lets go") << QStringList{"script", "no script"};
    QTest::newRow("a key refused") << QStringList{"refuse"};
    QTest::newRow("a run under way") << QStringList{"run"};
}

void ArmWindowTest::nothing_moves_when_a_note_changes() {
    QFETCH(QStringList, changes);
    Windows windows;
    windows.drive();
    QTest::qWait(50);
    const auto* tabs = windows.arm_window.findChild<QTabWidget*>(QStringLiteral("tools"));
    const QRect tabs_were = tabs->geometry();
    const QSize size_was = windows.arm_window.size();
    for (const QString& change : changes) {
        if (change.endsWith(QLatin1String("script"))) {
            windows.arm_window.show_driver(change == "script"        ? QStringLiteral("wave.py")
                                           : change == "long script" ? QString(300, u'w')
                                                                     : QString());
        } else {
            act(windows, change);
        }
    }
    QTest::qWait(50);
    QCOMPARE(tabs->geometry(), tabs_were);
    QCOMPARE(windows.arm_window.size(), size_was);
}

void ArmWindowTest::the_preview_follows_the_program_whichever_tab_shows_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("loaded");      // from a file, else typed
    QTest::addColumn<bool>("reverse");     // the reverse run previewed
    QTest::addColumn<QString>("warning");  // how the first warning begins
    QTest::addColumn<QString>("summary");
    QTest::newRow("typed") << "3,500" << false << false << "line 1, Wrist Down: the wrist"
                           << "Takes 5.0 s in 1 step; the pale arm shows where it ends.";
    QTest::newRow("loaded") << "5,400" << true << false << "line 1, Elbow Down: the elbow"
                            << "Takes 4.0 s in 1 step; the pale arm shows where it ends.";
    // Before any run: the reverse run follows the forward run from here, which clamps.
    QTest::newRow("in reverse") << "5,400" << false << true
                                << "line 1, Elbow Up: the elbow overshoots by"
                                << "Takes 4.0 s in 1 step after Run Program from here; the pale "
                                   "arm shows where it ends.";
}

void ArmWindowTest::the_preview_follows_the_program_whichever_tab_shows() {
    QFETCH(QString, program);
    QFETCH(bool, loaded);
    QFETCH(bool, reverse);
    QFETCH(QString, warning);
    QFETCH(QString, summary);
    Windows windows;
    windows.drive();
    windows.bench.robot.set_program_text(QStringLiteral("9,100"));
    windows.arm_window.findChild<QCheckBox*>(QStringLiteral("previewreverse"))->setChecked(reverse);
    const auto* summary_line =
        windows.arm_window.findChild<QLabel*>(QStringLiteral("previewsummary"));
    QTRY_VERIFY(summary_line->text().startsWith(QStringLiteral("Takes 1.0 s")));
    auto* other = new QWidget;
    windows.arm_window.add_tool(QStringLiteral("Other"), other);
    windows.arm_window.findChild<QTabWidget*>(QStringLiteral("tools"))->setCurrentWidget(other);

    QTemporaryDir folder;
    if (loaded) {
        QFile file(folder.filePath(QStringLiteral("elbow.rob")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(program.toLatin1());
        file.close();
        windows.bench.robot.files().load_from(QFile::encodeName(file.fileName()));
    } else {
        windows.bench.robot.set_program_text(program);
    }
    QTRY_COMPARE(summary_line->text(), summary);
    const auto* warnings = windows.arm_window.findChild<QListWidget*>(QStringLiteral("warnings"));
    QVERIFY2(warnings->item(0)->text().startsWith(warning), qPrintable(warnings->item(0)->text()));
    // The timeline and the pale arm show that very preview.
    const ProgramPreview& shown = windows.arm_window.findChild<PreviewTimeline*>()->shown();
    QCOMPARE(shown.steps.size(), std::size_t{1});
    QCOMPARE(windows.arm_window.picture().shown().ghost, std::optional<Pose>(shown.end_pose));
}

void ArmWindowTest::back_to_start_puts_the_light_back_data() {
    QTest::addColumn<bool>("lit_origin");    // L, then Reset pose, before the base turns
    QTest::addColumn<bool>("turn");          // Left held for a second
    QTest::addColumn<bool>("switch_light");  // L after that
    // Everything Back to start sends: the light goes back first, through the light button's own
    // command, so the way back's commands carry the origin's light byte.
    QTest::addColumn<QStringList>("commands");
    QTest::newRow("switched on since")
        << false << true << true << QStringList{"0,0,0", "0,1,0", "0,0,0"};
    QTest::newRow("switched off since")
        << true << true << true << QStringList{"0,0,1", "0,1,1", "0,0,1"};
    QTest::newRow("on as at the origin") << true << true << false << QStringList{"0,1,1", "0,0,1"};
    QTest::newRow("only the light differs") << false << false << true << QStringList{"0,0,0"};
}

void ArmWindowTest::back_to_start_puts_the_light_back() {
    QFETCH(bool, lit_origin);
    QFETCH(bool, turn);
    QFETCH(bool, switch_light);
    QFETCH(QStringList, commands);
    Windows windows;
    windows.drive();
    if (lit_origin) {
        QTest::keyClick(&windows.arm_window, Qt::Key_L);
        windows.button("resetpose")->click();
    }
    if (turn) {
        windows.hold(Qt::Key_Left, 1.0);
    }
    if (switch_light) {
        QTest::keyClick(&windows.arm_window, Qt::Key_L);
    }
    windows.bench.usb.clear_logs();

    windows.button("backtostart")->click();
    QCOMPARE(sent_commands(windows.bench.usb), commands);
    QCOMPARE(windows.note(), QStringLiteral("Back at the start."));
    QCOMPARE(windows.model.light_on(), lit_origin);
    QCOMPARE(windows.bench.control<QCheckBox>("lighton")->isChecked(), lit_origin);
    QVERIFY(std::abs(windows.position(Joint::base)) < 1e-6);
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
    // Polled: QSignalSpy::wait's own event loop returned at once when the whole case ran, after
    // earlier tests had closed the main window.
    QTRY_VERIFY_WITH_TIMEOUT(!shown.isEmpty(), 10000);
    QCOMPARE(windows.arm_window.findChild<QLabel*>(QStringLiteral("previewsummary"))->text(),
             summary);
    QTest::qWait(200);
    QCOMPARE(shown.size(), 1);
}

// The hand note names the script that Escape stopped, and says while the arm is not responding.
void ArmWindowTest::says_who_was_stopped_and_when_the_arm_is_not_responding() {
    Windows windows;
    windows.drive();
    ArmClient script(windows.bench.session, ClientKind::script, QStringLiteral("wave.py"));
    windows.bench.pacer.at(windows.bench.pacer.now() + 0.5,
                           [&windows] { QTest::keyClick(&windows.arm_window, Qt::Key_Escape); });
    script.hold_for(1, 2.0);
    QCOMPARE(windows.note(), QStringLiteral("Stopped wave.py: the arm window stopped it."));
    script.resume();
    windows.bench.pacer.at(windows.bench.pacer.now() + 0.5,
                           [&windows] { windows.bench.usb.fail_next_transfers(1000, -5); });
    script.hold_for(1, 1.0);
    QCOMPARE(windows.note(), QStringLiteral("Not responding: a motor may be running: the stop "
                                            "goes again until the arm takes it."));
    windows.bench.usb.fail_next_transfers(0, 0);
    windows.bench.session.resend_stop();
    QVERIFY(!windows.note().startsWith(QStringLiteral("Not responding")));
}

// The pane's cursor, where each line ends with one character, stands where the program's CR LF
// text has it; the way goes in there and the cursor after it.
void ArmWindowTest::the_way_to_a_pose_goes_in_at_the_pane_cursor() {
    Windows windows;
    windows.bench.robot.set_program_text(QStringLiteral("5,200\r\n3,100\r\n"));
    QTextCursor at_second = windows.program_pane().textCursor();
    at_second.setPosition(6);
    windows.program_pane().setTextCursor(at_second);
    QCOMPARE(windows.bench.robot.program_cursor(), 7);
    Pose pose = windows.model.pose_at(windows.bench.pacer.now());
    pose.at(static_cast<std::size_t>(Joint::elbow)) += 10.0;
    windows.bench.session.insert_way_to(pose, windows.bench.robot.program_text(),
                                        windows.bench.robot.program_cursor());
    const QString text = windows.bench.robot.program_text();
    QVERIFY(text.startsWith(QStringLiteral("5,200\r\n")));
    QVERIFY(text.endsWith(QStringLiteral("\r\n3,100\r\n")));
    QVERIFY(text.size() > 14);
    const QTextCursor after = windows.program_pane().textCursor();
    QCOMPARE(after.block().text(), QStringLiteral("3,100"));
    QCOMPARE(after.positionInBlock(), 0);
}

QTEST_MAIN(ArmWindowTest)
#include "arm_window_test.moc"
