#include "motor_buttons.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <algorithm>
#include <utility>

namespace quillmar {

namespace {

// Whether `event` lets go of `button`: the mouse button or Space let go, or the pointer gone off
// it while pressed.
bool lets_go(const QWidget& button, const QEvent& event) {
    switch (event.type()) {
        case QEvent::MouseButtonRelease:
            return static_cast<const QMouseEvent&>(event).button() == Qt::LeftButton;
        case QEvent::MouseMove:
            return !button.rect().contains(
                static_cast<const QMouseEvent&>(event).position().toPoint());
        case QEvent::KeyRelease: {
            const auto& key = static_cast<const QKeyEvent&>(event);
            return !key.isAutoRepeat() &&
                   (key.key() == Qt::Key_Space || key.key() == Qt::Key_Select);
        }
        default:
            return false;
    }
}

}  // namespace

MotorButtons::MotorButtons(const std::array<QPushButton*, last_command_number + 1>& buttons,
                           ArmClient& hand, QWidget& window)
    : buttons(buttons), hand(hand) {
    threshold.setSingleShot(true);
    threshold.setTimerType(Qt::PreciseTimer);
    connect(&threshold, &QTimer::timeout, this, &MotorButtons::start_hold);
    connect(&hand.session(), &ArmSession::stopping, this, &MotorButtons::stop);
    for (int number = 1; number <= last_command_number; ++number) {
        QPushButton* button = buttons.at(static_cast<std::size_t>(number));
        // Qt lets a button go when the pointer leaves it, when it loses the focus (also to
        // another window) and when it is disabled: each ends a hold as a release does.
        connect(button, &QPushButton::pressed, this, [this, number] { on_pressed(number); });
        connect(button, &QPushButton::released, this, [this, number] { on_released(number); });
        connect(button, &QPushButton::clicked, this, [this, number] { on_clicked(number); });
        button->installEventFilter(this);
    }
    window.installEventFilter(this);
}

void MotorButtons::on_pressed(int number) {
    // Space pressed on a button that the mouse holds.
    if (number == held_number) {
        return;
    }
    // A press on another button ends the hold first. The focus it takes does that already; this
    // covers a press that takes none, such as an assistive tool's.
    hand.let_go();
    spent_number = 0;
    pressed_number = number;
    threshold.start(hold_threshold);
}

void MotorButtons::on_released(int number) {
    if (number == pressed_number) {
        threshold.stop();
        pressed_number = 0;
    }
    if (number == held_number) {
        // A press from now on is a new one, though the hold's stop may not have gone out yet.
        held_number = 0;
        hand.let_go();
    }
}

void MotorButtons::on_clicked(int number) {
    // The release that ends a hold is no click.
    if (number == spent_number) {
        spent_number = 0;
        return;
    }
    hand.jog(number);
}

void MotorButtons::start_hold() {
    // A release that may be the half of a repeat is waiting: the hold starts only if it was.
    if (space_repeats.releases_waiting()) {
        threshold.start(KeyRepeatFilter::grace);
        return;
    }
    const int number = std::exchange(pressed_number, 0);
    spent_number = number;
    held_number = number;
    hand.hold(number);
    held_number = 0;
}

void MotorButtons::stop() {
    if (pressed_number != 0) {
        threshold.stop();
        spent_number = std::exchange(pressed_number, 0);
    }
}

bool MotorButtons::take_space(int number, const QKeyEvent& key) {
    // An event without a time is the program's own, passed on by pass_space or a test's.
    if ((key.key() != Qt::Key_Space && key.key() != Qt::Key_Select) || key.timestamp() == 0) {
        return false;
    }
    space_repeats.take(number, key.type() == QEvent::KeyPress, key.timestamp(), key.isAutoRepeat());
    return true;
}

void MotorButtons::pass_space(int number, bool press) {
    QKeyEvent space(press ? QEvent::KeyPress : QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier,
                    QStringLiteral(" "));
    QCoreApplication::sendEvent(buttons.at(static_cast<std::size_t>(number)), &space);
}

bool MotorButtons::eventFilter(QObject* watched, QEvent* event) {
    const auto button = std::ranges::find(buttons, watched);
    if (button != buttons.end()) {
        const int number = static_cast<int>(button - buttons.begin());
        if ((event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) &&
            take_space(number, *static_cast<QKeyEvent*>(event))) {
            return true;
        }
        // A button repaints its window before it tells of its release: the hold's stop goes
        // first.
        if (lets_go(**button, *event)) {
            on_released(number);
        }
    }
    // The held button may not have the focus when the window stops taking input.
    if (event->type() == QEvent::WindowDeactivate) {
        threshold.stop();
        pressed_number = 0;
        hand.let_go();
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace quillmar
