// SDL's virtual pad driving a session on the emulated arm in real time, its window active.
#pragma once

#include "armlink/arm_device.h"
#include "gamepad/gamepad_drive.h"
#include "motion/event_pacer.h"
#include "support/virtual_pad.h"
#include "usb/emulated_bus.h"

namespace quillmar::testing {

struct PadOnTheArm {
    explicit PadOnTheArm(ArmSource source = ArmSource::commands_sent)
        : session(usb, pacer, source) {
        session.start_up();
        drive.set_window_active(true);
    }

    EventPacer pacer;
    EmulatedBus usb{[this] { return pacer.now(); }, hub_and_arm()};
    ArmSession session;
    Gamepad pad;
    GamepadDrive drive{pad, session, [] { return QString(); }};
    VirtualPad virtual_pad;
};

}  // namespace quillmar::testing
