// An arm attached on the emulated bus, in virtual time, with its jog and light actions.
#pragma once

#include "armlink/emulated_usb.h"
#include "fake_console.h"
#include "fake_pacer.h"
#include "manual/manual_control.h"

namespace quillmar::testing {

struct AttachedArm {
    AttachedArm() {
        link.attach_arm();
        usb.clear_logs();
        console.message.clear();
    }
    // Seconds between transfer `to` and the one before it, as the arm saw them.
    double gap(std::size_t to) const {
        return usb.transfers().at(to).time - usb.transfers().at(to - 1).time;
    }

    FakePacer pacer;
    EmulatedUsb usb{[this] { return pacer.now(); }, EmulatedUsb::hub_and_arm()};
    FakeConsole console;
    ArmLink link{usb, console};
    ManualControl manual{link, console, pacer};
};

}  // namespace quillmar::testing
