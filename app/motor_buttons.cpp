#include "motor_buttons.h"

#include <QEvent>
#include <QPushButton>
#include <utility>

namespace quillmar {

MotorButtons::MotorButtons(const std::array<QPushButton*, last_command_number + 1>& buttons,
                           ArmSession& session, QWidget& window)
    : session(session) {
    threshold.setSingleShot(true);
    threshold.setTimerType(Qt::PreciseTimer);
    threshold.setInterval(hold_threshold);
    connect(&threshold, &QTimer::timeout, this, &MotorButtons::start_hold);
    connect(&session, &ArmSession::stopping, this, &MotorButtons::stop);
    for (int number = 1; number <= last_command_number; ++number) {
        QPushButton* button = buttons.at(static_cast<std::size_t>(number));
        // Qt lets a button go when the pointer leaves it, when it loses the focus (also to
        // another window) and when it is disabled: each ends a hold as a release does.
        connect(button, &QPushButton::pressed, this, [this, number] { on_pressed(number); });
        connect(button, &QPushButton::released, this, [this, number] { on_released(number); });
        connect(button, &QPushButton::clicked, this, [this, number] { on_clicked(number); });
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
    session.end_hold(HoldEnd::released);
    spent_number = 0;
    pressed_number = number;
    threshold.start();
}

void MotorButtons::on_released(int number) {
    if (number == pressed_number) {
        threshold.stop();
        pressed_number = 0;
    }
    if (number == held_number) {
        session.end_hold(HoldEnd::released);
    }
}

void MotorButtons::on_clicked(int number) {
    // The release that ends a hold is no click.
    if (number == spent_number) {
        spent_number = 0;
        return;
    }
    session.jog(number);
}

void MotorButtons::start_hold() {
    const int number = std::exchange(pressed_number, 0);
    spent_number = number;
    held_number = number;
    session.begin_hold(number);
    held_number = 0;
}

void MotorButtons::stop() {
    if (pressed_number != 0) {
        threshold.stop();
        spent_number = std::exchange(pressed_number, 0);
    }
}

bool MotorButtons::eventFilter(QObject* watched, QEvent* event) {
    // The held button may not have the focus when the window stops taking input.
    if (event->type() == QEvent::WindowDeactivate) {
        threshold.stop();
        pressed_number = 0;
        session.end_hold(HoldEnd::released);
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace quillmar
