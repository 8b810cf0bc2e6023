#include "arm_window_keeper.h"

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QWindow>
#include <algorithm>

#include "robot.h"
#include "virtualarm/arm_window.h"
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

    window.setWindowIcon(robot.windowIcon());
    for (QWidget* owner : {static_cast<QWidget*>(&robot), static_cast<QWidget*>(&window)}) {
        connect(new QShortcut(QKeySequence(Qt::Key_F2), owner), &QShortcut::activated, this,
                &ArmWindowKeeper::toggle);
    }
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
            break;
        case QEvent::FocusOut:
        case QEvent::Hide:
            keys_invited = false;
            break;
        case QEvent::KeyPress:
        case QEvent::KeyRelease: {
            // A window manager may give the arm window the keyboard on its own: when a dialog
            // closes, on a focus that follows the pointer. Text typed for the main window then
            // goes back there instead of driving the arm; Stop and F2 work in either window.
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (!keys_invited && key != Qt::Key_Escape && key != Qt::Key_F2) {
                give_keyboard_to(robot);
                return true;
            }
            break;
        }
        default:
            break;
    }
    return QObject::eventFilter(watched, event);
}

void ArmWindowKeeper::place_window() {
    constexpr int gap = 12;
    // Narrower than this, too little of the arm window would show beside the main window: it
    // covers the main window's right side instead.
    constexpr int least_width = 240;
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
    int width = window.width() + frame.left() + frame.right();

    // Just right of the main window; when the screen has no room there, the main window moves
    // left so that both fit side by side, or as nearly as they can.
    const QMargins main_frame = frame_margins(robot);
    QRect main = robot.geometry().marginsAdded(main_frame);
    if (main.right() + gap + width > room.right()) {
        const int pair_width = main.width() + gap + width;
        main.moveLeft(std::max(room.left(), room.center().x() - pair_width / 2));
        if (shown(robot)) {
            move_frame(robot, main.topLeft(), main_frame);
        }
    }
    if (!arm_free) {
        return;
    }
    const int beside = room.right() - main.right() - gap;
    if (beside < width) {
        width = std::max(beside, std::min(width, least_width));
        window.fit(QSize(width - frame.left() - frame.right(), frame_room.height()));
    }
    // Tops aligned; a taller window rises as far as the screen needs.
    const QSize size = window.size().grownBy(frame);
    move_frame(window, frame_corner_within(room, size, {main.right() + 1 + gap, main.top()}),
               frame);
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
