#include "gamepad_drive.h"

#include <utility>

namespace quillmar {

GamepadDrive::GamepadDrive(Gamepad& pad, ArmSession& session, std::function<QString()> program,
                           QObject* parent)
    : QObject(parent), session(session), program(std::move(program)) {
    connect(&pad, &Gamepad::pressed, this, &GamepadDrive::press);
    // A release always counts, so that a motor started before the window went never runs on.
    connect(&pad, &Gamepad::released, &session, &ArmSession::release_key);
    connect(&pad, &Gamepad::acted, this, &GamepadDrive::act);
}

void GamepadDrive::set_window_active(bool active) {
    window_active = active;
    if (!may_drive()) {
        session.end_key_drive(HoldEnd::released);
    }
}

void GamepadDrive::set_background(bool on) {
    background = on;
    if (!may_drive()) {
        session.end_key_drive(HoldEnd::released);
    }
}

void GamepadDrive::press(int command) {
    if (!may_drive()) {
        return;
    }
    // The first command held returns only when the drive has ended.
    if (const auto answer = session.press_key(command)) {
        emit answered(command, *answer);
    }
}

void GamepadDrive::act(PadAction action) {
    // Stop works wherever the keyboard is: stopping is always safe.
    if (action == PadAction::stop) {
        session.stop();
    } else if (!may_drive()) {
        return;
    } else if (action == PadAction::light) {
        if (session.may(ArmSession::Operation::keys)) {
            session.light();
        }
    } else {
        const Direction direction =
            action == PadAction::run ? Direction::forwards : Direction::reverse;
        // As F5 does: a drive under way ends first, so that the run never starts inside it.
        session.when_still([this, direction] { session.run(program(), direction); });
    }
}

}  // namespace quillmar
