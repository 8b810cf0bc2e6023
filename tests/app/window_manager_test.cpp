// Both windows under a real window manager: with_window_manager.sh runs this on an X server of its
// own under openbox, and a second thread plays the user through xdotool, at the X server's
// keyboard and mouse, while this one runs the windows, their dialogs and their waits.
#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <chrono>
#include <thread>

#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTabWidget>

#include "app/arm_window_keeper.h"
#include "app/qt_file_dialogs.h"
#include "app/robot.h"
#include "armlink/arm_device.h"
#include "armwindow/arm_tools.h"
#include "armwindow/arm_window.h"
#include "motion/event_pacer.h"
#include "support/arm_bytes.h"
#include "usb/emulated_bus.h"

using namespace quillmar;
using quillmar::testing::sent_commands;

namespace {

// The windows on the virtual arm with their tools, wired as the program wires them, with the
// program "1,10".
struct Session {
    Session() {
        session.model().follow(usb);
        dialogs.set_parent(&robot);
        for (const ArmTool& tool : arm_tools(
                 arm_window.client(), {}, [this] { return robot.program_text(); },
                 [this] { return robot.program_cursor(); }, false, nullptr)) {
            arm_window.add_tool(tool.title, tool.widget);
        }
        // As the rows were written: a hold runs as long as it is held.
        session.set_soft_limits(false);
        robot.start_up();
        robot.set_program_text(QStringLiteral("1,10\r\n"));
        robot.show();
        keeper.start(true);
    }
    // Where the user clicks `name` in the arm window ("picture", "runs": the field of Step and
    // repeat), its tab shown first.
    QString place_of(const QString& name) {
        QWidget* widget = name == QLatin1String("runs") ? &arm_window.findChild<StepBox*>()->runs()
                                                        : arm_window.findChild<QWidget*>(name);
        auto* tabs = arm_window.findChild<QTabWidget*>(QStringLiteral("tools"));
        for (int tab = 0; tab < tabs->count(); ++tab) {
            if (tabs->widget(tab)->isAncestorOf(widget)) {
                tabs->setCurrentIndex(tab);
            }
        }
        const QPoint centre = widget->mapTo(&arm_window, widget->rect().center());
        return QStringLiteral("%1 %2").arg(centre.x()).arg(centre.y());
    }
    QString keys_line() const {
        return arm_window.findChild<QLabel*>(QStringLiteral("keysline"))->text();
    }

    EventPacer pacer;
    EmulatedBus usb{[this] { return pacer.now(); }, hub_and_arm()};
    ArmSession session{usb, pacer, ArmSource::virtual_arm};
    ArmWindow arm_window{session, ArmSource::virtual_arm};
    QtFileDialogs dialogs;
    Robot robot{session, dialogs};
    ArmWindowKeeper keeper{robot, arm_window, nullptr};
};

// Seconds from each start command to the stop command after it.
QList<double> movement_times(const EmulatedBus& usb) {
    QList<double> times;
    const auto& transfers = usb.transfers();
    for (std::size_t i = 0; i + 1 < transfers.size(); i += 2) {
        times << transfers.at(i + 1).time - transfers.at(i).time;
    }
    return times;
}

// What a command prints, without the line end.
QString output_of(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(10000);
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

// The window's frame as the X server has it, in the screen's pixels; null before it has a frame.
QRect frame_on_screen(WId window) {
    const QString id = QString::number(window);
    const QString info = output_of(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id});
    const auto number = [&info](const char* label) {
        const QRegularExpression line(QLatin1String(label) + QStringLiteral(":\\s*(-?\\d+)"));
        return line.match(info).captured(1).toInt();
    };
    const QStringList extents =
        output_of(QStringLiteral("xprop"), {QStringLiteral("-id"), id, "_NET_FRAME_EXTENTS"})
            .section(QLatin1Char('='), 1)
            .split(QLatin1Char(','));
    if (extents.size() != 4) {
        return {};
    }
    const QRect inner(number("Absolute upper-left X"), number("Absolute upper-left Y"),
                      number("Width"), number("Height"));
    return inner.marginsAdded(QMargins(extents.at(0).toInt(), extents.at(2).toInt(),
                                       extents.at(1).toInt(), extents.at(3).toInt()));
}

// How long the window manager may take to place both windows: each look asks the X server through
// four child processes, which wait their turn while other tests run beside this one.
constexpr int placing_ms = 15'000;

// Where the windows are, unless they stand as they should: inside the free part of the screen
// (title bars always, each window whole when it fits), side by side when both fit, the main
// window centred from top to bottom. Empty when they stand so. Asked of the X server, as the
// user sees them.
QString misplaced(const Session& session) {
    const QRect logical_room = session.robot.screen()->availableGeometry();
    const qreal scale = session.robot.devicePixelRatioF();
    const QRect room(logical_room.topLeft() * scale, logical_room.size() * scale);
    const QRect main = frame_on_screen(session.robot.winId());
    const QRect arm = frame_on_screen(session.arm_window.winId());
    const auto inside = [&room](const QRect& frame) {
        const bool whole =
            frame.height() > room.height() ? frame.top() == room.top() : room.contains(frame);
        return !frame.isNull() && room.contains(frame.topLeft()) &&
               room.contains(frame.topRight()) && whole;
    };
    const bool apart = main.width() + arm.width() >= room.width() || !main.intersects(arm);
    // Moved aside for the arm window, the main window stays centred from top to bottom.
    const bool centred =
        main.height() > room.height() || std::abs(main.center().y() - room.center().y()) <= 2;
    if (inside(main) && inside(arm) && apart && centred) {
        return {};
    }
    const auto text = [](const QRect& r) {
        return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    };
    return QStringLiteral("main %1, arm %2 in %3").arg(text(main), text(arm), text(room));
}

// The user, acting through xdotool on a thread of its own. Each step is one line:
//   key KEYS           keys pressed and let go, as "ctrl+o" or "Escape"
//   type TEXT          text typed
//   click WINDOW X Y   a click at X, Y in "main" or "arm"
//   activate WINDOW    "main" or "arm" given the keyboard as a task bar would, without a click
//   hold KEY SECONDS   a key held down
//   wait SECONDS       nothing for a while
//   active TITLE       waits until the window of that title has the keyboard
class User {
  public:
    User(WId main, WId arm) : windows{{"main", main}, {"arm", arm}} {}

    // Runs the steps on a thread of its own; done() tells when they are over.
    void start(const QStringList& steps) {
        thread = std::thread([this, steps] {
            for (const QString& step : steps) {
                act(step);
            }
            over = true;
        });
    }
    bool done() const { return over; }
    // What went wrong, step by step; empty when every step did what it should.
    QStringList faults() {
        thread.join();
        return found;
    }

  private:
    static constexpr std::chrono::seconds longest_wait{5};

    void act(const QString& step) {
        const QString verb = step.section(QLatin1Char(' '), 0, 0);
        const QString rest = step.section(QLatin1Char(' '), 1);
        const QStringList words = rest.split(QLatin1Char(' '));
        if (verb == QLatin1String("key")) {
            xdotool({QStringLiteral("key"), rest});
        } else if (verb == QLatin1String("type")) {
            xdotool(
                {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"), rest});
        } else if (verb == QLatin1String("click")) {
            xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"),
                     QString::number(windows.value(words.at(0))), words.at(1), words.at(2),
                     QStringLiteral("click"), QStringLiteral("1")});
        } else if (verb == QLatin1String("activate")) {
            xdotool({QStringLiteral("windowactivate"), QString::number(windows.value(rest))});
        } else if (verb == QLatin1String("hold")) {
            xdotool({QStringLiteral("keydown"), words.at(0), QStringLiteral("sleep"), words.at(1),
                     QStringLiteral("keyup"), words.at(0)});
        } else if (verb == QLatin1String("wait")) {
            xdotool({QStringLiteral("sleep"), rest});
        } else if (verb == QLatin1String("active")) {
            wait_for_active(rest, step);
        } else {
            found << QStringLiteral("no such step: ") + step;
        }
        last_step = step;
    }

    void wait_for_active(const QString& title, const QString& step) {
        const auto end = std::chrono::steady_clock::now() + longest_wait;
        QString active;
        while (std::chrono::steady_clock::now() < end) {
            active = xdotool({QStringLiteral("getactivewindow"), QStringLiteral("getwindowname")});
            if (active == title) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        found << QStringLiteral("after \"%1\": \"%2\" has the keyboard, not %3")
                     .arg(last_step, active, step.section(QLatin1Char(' '), 1));
    }

    // Runs xdotool with `arguments`; its output without the line end.
    QString xdotool(const QStringList& arguments) {
        QProcess process;
        process.start(QStringLiteral("xdotool"), arguments);
        if (!process.waitForFinished(10000)) {
            found << QStringLiteral("xdotool %1 did not finish").arg(arguments.join(' '));
            process.kill();
            process.waitForFinished();
        }
        return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    }

    const QMap<QString, WId> windows;
    std::thread thread;
    std::atomic<bool> over = false;
    QString last_step;
    QStringList found;
};

}  // namespace

class WindowManagerTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void typed_text_never_moves_the_arm_data();
    void typed_text_never_moves_the_arm();
    void arm_window_keys_go_where_it_says_data();
    void arm_window_keys_go_where_it_says();
    void windows_fit_the_screen();

  private:
    QTemporaryDir folder;
};

void WindowManagerTest::initTestCase() {
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    QFile wave(folder.filePath(QStringLiteral("wave.rob")));
    QVERIFY(wave.open(QIODevice::WriteOnly));
    wave.write("1,10\r\n");
}

// Each row starts with a click below the program in the program pane. Places in the main window:
// the program pane (296, 340), Load File (300, 400), Save File (452, 400), Open (2) (204, 104).
void WindowManagerTest::typed_text_never_moves_the_arm_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QList<double>>("seconds");  // how long each movement ran
    const QStringList run{"1,0,0", "0,0,0"};
    // The keys that drove the arm and switched its light, typed on a line of their own wherever
    // the caret is, before or after the program's line.
    const QStringList type_then_run{"key Return", "type edsal", "key Return", "key F5"};
    const QString dialog = QStringLiteral("active Select file for Quillmar");
    const QString main = QStringLiteral("active Quillmar");
    const QString cancel = QStringLiteral("key Escape");

    QTest::newRow("Ctrl+O, a file chosen")
        << QStringList{"key ctrl+o", dialog, "type FILE", "key Return", main} + type_then_run << run
        << QList<double>{0.1};
    QTest::newRow("Ctrl+O twice, cancelled")
        << QStringList{"key ctrl+o", dialog, cancel, main, "key ctrl+o", dialog, cancel, main} +
               type_then_run
        << run << QList<double>{0.1};
    QTest::newRow("Load File, cancelled")
        << QStringList{"click main 300 400", dialog, cancel, main} + type_then_run << run
        << QList<double>{0.1};
    QTest::newRow("Ctrl+S, the file replaced") << QStringList{"key ctrl+s",
                                                              dialog,
                                                              "type FILE",
                                                              "key Return",
                                                              "active Confirm File Deletion",
                                                              "key Return",
                                                              main} +
                                                      type_then_run
                                               << run << QList<double>{0.1};
    QTest::newRow("Save File, cancelled")
        << QStringList{"click main 452 400", dialog, cancel, main} + type_then_run << run
        << QList<double>{0.1};
    // A click gives the arm window the keyboard; F2 there hides it and gives it back.
    QTest::newRow("F2 in the arm window")
        << QStringList{"click arm 300 150", "active Virtual arm", "hold e 0.3", "key F2", main} +
               type_then_run
        << QStringList{"16,0,0", "0,0,0"} + run << QList<double>{0.3, 0.1};
    // Given the keyboard without a click, the arm window keeps typed text and drives nothing;
    // its shortcuts work.
    QTest::newRow("the arm window activated without a click")
        << QStringList{"activate arm", "active Virtual arm", "type edsal",
                       "key Up",       "active Virtual arm", "key F5"}
        << run << QList<double>{0.1};
    // X11 repeats a held key from 250 ms on, 50 times a second; a tap is a jog.
    QStringList space{"click main 204 104"};
    for (int hold = 0; hold < 5; ++hold) {
        space << QStringLiteral("hold space 1.2");
    }
    space << QStringLiteral("key space");
    QStringList open;
    for (int movement = 0; movement < 7; ++movement) {
        open << QStringLiteral("2,0,0") << QStringLiteral("0,0,0");
    }
    QTest::newRow("Space held on Open (2)")
        << space << open << QList<double>{0.1, 0.9, 0.9, 0.9, 0.9, 0.9, 0.1};
}

void WindowManagerTest::typed_text_never_moves_the_arm() {
    QFETCH(QStringList, steps);
    QFETCH(QStringList, commands);
    QFETCH(QList<double>, seconds);
    Session session;
    // The user starts once the windows stand in their places, as a user's eyes would.
    QVERIFY(QTest::qWaitForWindowExposed(&session.robot));
    QVERIFY(QTest::qWaitForWindowExposed(&session.arm_window));
    QTRY_VERIFY2_WITH_TIMEOUT(misplaced(session).isEmpty(), qPrintable(misplaced(session)),
                              placing_ms);
    session.usb.clear_logs();

    steps.replaceInStrings(QStringLiteral("FILE"), folder.filePath(QStringLiteral("wave.rob")));
    User user(session.robot.winId(), session.arm_window.winId());
    user.start(QStringList{"click main 296 340", "active Quillmar"} + steps);
    QVERIFY(QTest::qWaitFor([&user] { return user.done(); }, 120000));
    const QStringList faults = user.faults();
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));

    // Joined, so that a failure shows them.
    QTRY_COMPARE_WITH_TIMEOUT(sent_commands(session.usb).join(QLatin1Char(' ')),
                              commands.join(QLatin1Char(' ')), 5000);
    const QList<double> times = movement_times(session.usb);
    for (qsizetype i = 0; i < seconds.size(); ++i) {
        // A hold ends 15 ms after its key is let go, and xdotool's own steps take a moment. On a
        // machine so busy that a repeat's press comes after the grace, the hold ends there, as
        // a jog: shorter, never longer, and no stutter. The emulated bus stamps a command just
        // after it went, which a busy machine may delay by a moment for the start.
        const double least = (seconds.at(i) > 0.1 ? 0.1 : seconds.at(i)) - 0.001;
        QVERIFY2(times.at(i) >= least && times.at(i) < seconds.at(i) + 0.2,
                 qPrintable(QStringLiteral("movement %1 ran %2 s").arg(i + 1).arg(times.at(i))));
    }
}

// Each row starts with a click in the program pane; places in the arm window are named ("picture",
// "runs": the count of Step and repeat), its title bar is 10 pixels above it.
void WindowManagerTest::arm_window_keys_go_where_it_says_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<int>("runs");           // the count of Step and repeat afterwards
    QTest::addColumn<QString>("keys_line");  // where the arm window says the keys go
    const QString arm = QStringLiteral("active Virtual arm");
    const QString edit = QStringLiteral("Keys edit the field: click the picture to drive");
    const QString asked = QStringLiteral("Click the picture or press F2 to drive with the keys");
    QTest::newRow("the number field keeps Up and letters")
        << QStringList{"click arm @runs", arm, "key Up", "key Up", "type s"} << QStringList{} << 4
        << edit;
    QTest::newRow("a title-bar click drives nothing, edits nothing")
        << QStringList{"click arm 300 -10", arm, "type qwel", "key Up", "type 0,5"} << QStringList{}
        << 2 << asked;
    QTest::newRow("nor with the field in focus") << QStringList{"click arm @runs",
                                                                arm,
                                                                "click main 296 340",
                                                                "active Quillmar",
                                                                "click arm 300 -10",
                                                                arm,
                                                                "key Up",
                                                                "type 9"}
                                                 << QStringList{} << 2 << asked;
    QTest::newRow("F2 then gives the keys to the picture")
        << QStringList{"click arm 300 -10", arm, "key F2", "hold e 0.3"}
        << QStringList{"16,0,0", "0,0,0"} << 2 << "Keys drive the arm";
    // Reverse Program, Run Program, Load File and Save File, each cancelled, from the arm window.
    const QString dialog = QStringLiteral("active Select file for Quillmar");
    const QString main = QStringLiteral("active Quillmar");
    QTest::newRow("the main window's shortcuts") << QStringList{"click arm @picture",
                                                                arm,
                                                                "key shift+F5",
                                                                "wait 0.6",
                                                                "key F5",
                                                                "wait 0.6",
                                                                "key ctrl+o",
                                                                dialog,
                                                                "key Escape",
                                                                main,
                                                                "click arm @picture",
                                                                arm,
                                                                "key ctrl+s",
                                                                dialog,
                                                                "key Escape",
                                                                main}
                                                 << QStringList{"2,0,0", "0,0,0", "1,0,0", "0,0,0"}
                                                 << 2 << "Click the picture to drive with the keys";
}

void WindowManagerTest::arm_window_keys_go_where_it_says() {
    QFETCH(QStringList, steps);
    QFETCH(QStringList, commands);
    QFETCH(int, runs);
    QFETCH(QString, keys_line);
    Session session;
    QVERIFY(QTest::qWaitForWindowExposed(&session.robot));
    QVERIFY(QTest::qWaitForWindowExposed(&session.arm_window));
    QTRY_VERIFY2_WITH_TIMEOUT(misplaced(session).isEmpty(), qPrintable(misplaced(session)),
                              placing_ms);
    session.usb.clear_logs();
    for (QString& step : steps) {
        if (const qsizetype at = step.indexOf(QLatin1Char('@')); at > 0) {
            step = step.left(at) + session.place_of(step.mid(at + 1));
        }
    }
    User user(session.robot.winId(), session.arm_window.winId());
    user.start(QStringList{"click main 296 340", "active Quillmar"} + steps);
    QVERIFY(QTest::qWaitFor([&user] { return user.done(); }, 120000));
    const QStringList faults = user.faults();
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));

    QTRY_COMPARE_WITH_TIMEOUT(sent_commands(session.usb).join(QLatin1Char(' ')),
                              commands.join(QLatin1Char(' ')), 5000);
    QCOMPARE(session.arm_window.findChild<StepBox*>()->runs().value(), runs);
    QCOMPARE(session.robot.program_text(), QStringLiteral("1,10\r\n"));
    QTRY_COMPARE(session.keys_line(), keys_line);
}

// With a panel at the bottom of the screen, before and after F2 has hidden and shown the arm
// window. The window manager places the windows after the program asks, so the test waits.
void WindowManagerTest::windows_fit_the_screen() {
    Session session;
    const QScreen& screen = *session.robot.screen();
    QVERIFY2(screen.availableGeometry().height() < screen.geometry().height(), "no panel");
    for (int shown = 0; shown < 2; ++shown) {
        QTRY_VERIFY2_WITH_TIMEOUT(misplaced(session).isEmpty(), qPrintable(misplaced(session)),
                                  placing_ms);
        // It scrolls sideways only on a screen narrower than its content, and not at all on a
        // screen of 700 pixels or more.
        const auto* scroller = session.arm_window.findChild<QScrollArea*>();
        const QRect room = screen.availableGeometry();
        QTRY_VERIFY(scroller->widget()->width() > room.width() ||
                    !scroller->horizontalScrollBar()->isVisible());
        QTRY_VERIFY(screen.geometry().height() < 700 ||
                    !scroller->verticalScrollBar()->isVisible());
        // Hidden and shown again with F2: placed as its frame now is.
        session.keeper.toggle();
        session.keeper.toggle();
    }
}

QTEST_MAIN(WindowManagerTest)
#include "window_manager_test.moc"
