#include "gamepad_drive.h"

#include <utility>

namespace quillmar {

GamepadDrive::GamepadDrive(Gamepad& pad, ArmSession& session, std::function<QString()> program,
                           QObject* parent)
    : QObject(parent),
      pad_client(session, ClientKind::pad, QStringLiteral("the gamepad")),
      program(std::move(program)) {
    connect(&pad, &Gamepad::pressed, this, &GamepadDrive::press);
    // A release always counts, so that a motor started before the window went never runs on.
    connect(&pad, &Gamepad::released, this,
            [this](int command) { pad_client.release_key(command); });
    connect(&pad, &Gamepad::acted, this, &GamepadDrive::act);
}

void GamepadDrive::set_window_active(bool active) {
    window_active = active;
    if (!may_drive()) {
        pad_client.focus_lost();
    }
}

void GamepadDrive::set_background(bool on) {
    background = on;
    if (!may_drive()) {
        pad_client.focus_lost();
    }
}

void GamepadDrive::press(int command) {
    if (!may_drive()) {
        return;
    }
    // The first command held returns only when the drive has ended.
    if (const auto answer = pad_client.press_key(command); !answer) {
        emit refused(answer.refusal());
    }
}

void GamepadDrive::act(PadAction action) {
    // Stop works wherever the keyboard is: stopping is always safe.
    if (action == PadAction::stop) {
        pad_client.stop();
    } else if (!may_drive()) {
        return;
    } else if (action == PadAction::light) {
        if (pad_client.session().may(ArmSession::Operation::keys)) {
            pad_client.light();
        }
    } else {
        const Direction direction =
            action == PadAction::run ? Direction::forwards : Direction::reverse;
        // As F5 does: a drive under way ends first, so that the run never starts inside it.
        pad_client.when_still([this, direction] { pad_client.run(program(), direction); });
    }
}

}  // namespace quillmar
