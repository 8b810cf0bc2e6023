#include "arm_window_keeper.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QWindow>
#include <algorithm>

#include "armwindow/arm_window.h"
#include "robot.h"
#include "window_placement.h"

namespace quillmar {

ArmWindowKeeper::ArmWindowKeeper(Robot& robot, ArmWindow& window, QSettings* remembered)
    : robot(robot), window(window), remembered(remembered) {
    // The main window is a tool window, which does not count as a window that keeps the
    // application alive: closing the arm window would otherwise end the program.
    QApplication::setQuitOnLastWindowClosed(false);
    connect(&robot, &Robot::closed, this, [this] {
        this->remembered = nullptr;
        this->window.close();
        QCoreApplication::quit();
    });
    connect(&window, &ArmWindow::closed, this, [this] { remember(false); });
    // A motor button held in the main window that the soft limits refuse or cut short moves
    // less than asked, which only the arm window's note explains: it comes up, leaving the keys
    // where they are. A script's move, with the main window in the background, leaves it be.
    connect(&window, &ArmWindow::soft_limit_told, this, [this] {
        if (!this->window.isVisible() && this->robot.isActiveWindow()) {
            show_window();
        }
    });

    window.setWindowIcon(robot.windowIcon());
    connect(new QShortcut(QKeySequence(Qt::Key_F2), &robot), &QShortcut::activated, this,
            &ArmWindowKeeper::toggle);
    // F2 in the arm window gives it the keys when it has the keyboard without them; else it
    // hides the window.
    connect(new QShortcut(QKeySequence(Qt::Key_F2), &window), &QShortcut::activated, this, [this] {
        if (this->window.keys_welcome()) {
            toggle();
        } else {
            keys_invited = true;
            this->window.drive_with_keys();
        }
    });
    // The main window's other shortcuts work in the arm window too.
    robot.add_shortcuts_to(window);
    robot.setContextMenuPolicy(Qt::CustomContextMenu);
    connect(&robot, &QWidget::customContextMenuRequested, this, &ArmWindowKeeper::offer_menu);

    // Read when the preview is due, not at every keystroke.
    window.set_program_source([&robot] { return robot.program_text(); });
    connect(&robot, &Robot::program_text_changed, &window, &ArmWindow::program_changed);
}

void ArmWindowKeeper::start(bool asked) {
    if (asked || (remembered && remembered->value(QLatin1String(shown_key), false).toBool())) {
        show_window();
    }
}

void ArmWindowKeeper::toggle() {
    if (window.isVisible()) {
        window.hide();
        // The window manager may leave the keyboard with no window, or give it to another.
        give_keyboard_to(robot);
        remember(false);
    } else {
        show_window();
        remember(true);
    }
}

void ArmWindowKeeper::show_window() {
    place_window();
    window.show();
    place_again_when_framed(window, [this] { place_window(); });
    // The main window, just shown, may have to move aside once it is on the screen.
    if (robot.windowHandle() != nullptr && !shown(robot)) {
        when_shown(robot, [this] {
            if (window.isVisible()) {
                place_window();
            }
        });
    }
    // The window as the window system's events reach it; a second filter changes nothing.
    window.windowHandle()->installEventFilter(this);
}

bool ArmWindowKeeper::eventFilter(QObject* watched, QEvent* event) {
    if (watched != window.windowHandle()) {
        return QObject::eventFilter(watched, event);
    }
    switch (event->type()) {
        case QEvent::MouseButtonPress:
            keys_invited = true;
            window.set_keys_welcome(true);
            break;
        case QEvent::FocusIn:
            // Given the keyboard without a click: by its title bar, Alt+Tab or the window manager.
            window.set_keys_welcome(keys_invited);
            break;
        case QEvent::FocusOut:
            // A list or a menu that pops up from this window keeps its keys as they were.
            if (QApplication::activePopupWidget() == nullptr) {
                keys_invited = false;
            }
            break;
        case QEvent::Hide:
            keys_invited = false;
            break;
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
            // The keys were typed for another window, maybe the main window's program: they
            // neither drive the arm nor edit a field here, and go nowhere else unseen. The
            // shortcuts (Stop, F2, the runs, the files) have worked before this.
            if (!keys_invited) {
                window.set_keys_welcome(false);
                return true;
            }
            break;
        default:
            break;
    }
    return QObject::eventFilter(watched, event);
}

void ArmWindowKeeper::place_window() {
    constexpr int gap = 12;
    const QScreen* display = robot.screen();
    if (display == nullptr) {
        return;
    }
    // A window that the window manager is still placing is left alone, as a move meanwhile may
    // be lost: each is placed once it is on the screen.
    const bool arm_free = !window.isVisible() || shown(window);
    const QRect room = display->availableGeometry();
    const QMargins frame = frame_margins(window, &robot);
    const QSize frame_room = room.size().shrunkBy(frame);
    if (arm_free) {
        window.fit(frame_room);
    }
    const int width = window.width() + frame.left() + frame.right();

    // Just right of the main window; when the screen has no room there, the main window moves
    // left so that both fit side by side. On a screen too narrow for both, the main window goes
    // to the right edge and the arm window, whole rather than scrolling sideways, to the left
    // one: it covers the motor buttons, which its keys stand in for, and leaves the program in
    // view.
    const QMargins main_frame = frame_margins(robot);
    QRect main = robot.geometry().marginsAdded(main_frame);
    const int pair_width = main.width() + gap + width;
    const bool side_by_side = pair_width <= room.width();
    if (main.right() + gap + width > room.right()) {
        if (side_by_side) {
            main.moveLeft(std::max(room.left(), room.center().x() - pair_width / 2));
        } else {
            main.moveRight(room.right());
        }
        if (shown(robot)) {
            move_frame(robot, main.topLeft(), main_frame);
        }
    }
    if (!arm_free) {
        return;
    }
    // Tops aligned; a taller window rises as far as the screen needs.
    const QSize size = window.size().grownBy(frame);
    const QPoint wanted =
        side_by_side ? QPoint(main.right() + 1 + gap, main.top()) : QPoint(room.left(), main.top());
    move_frame(window, frame_corner_within(room, size, wanted), frame);
}

void ArmWindowKeeper::remember(bool shown) {
    if (remembered) {
        remembered->setValue(QLatin1String(shown_key), shown);
    }
}

void ArmWindowKeeper::offer_menu(const QPoint& position) {
    QWidget* under = robot.childAt(position);
    if (under && !qobject_cast<QLabel*>(under) && !qobject_cast<QGroupBox*>(under)) {
        return;
    }
    // Not exec(): a wait of a running step beneath it must be able to end on time.
    auto* menu = new QMenu(&robot);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(window.isVisible() ? QStringLiteral("Hide arm window (F2)")
                                       : QStringLiteral("Show arm window (F2)"),
                    this, &ArmWindowKeeper::toggle);
    menu->popup(robot.mapToGlobal(position));
}

}  // namespace quillmar
