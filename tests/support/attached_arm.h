// An arm attached on the emulated bus, in virtual time, with its jog and light actions.
#pragma once

#include "armlink/arm_device.h"
#include "fake_arm_reports.h"
#include "fake_pacer.h"
#include "motion/manual_control.h"
#include "usb/emulated_bus.h"

namespace quillmar::testing {

struct AttachedArm {
    AttachedArm() {
        link.attach_arm();
        usb.clear_logs();
        reports.message.clear();
    }
    // Seconds between transfer `to` and the one before it, as the arm saw them.
    double gap(std::size_t to) const {
        return usb.transfers().at(to).time - usb.transfers().at(to - 1).time;
    }

    FakePacer pacer;
    EmulatedBus usb{[this] { return pacer.now(); }, hub_and_arm()};
    FakeArmReports reports;
    ArmLight light;
    ArmLink link{usb, reports, pacer, light};
    ManualControl manual{link, pacer};
};

}  // namespace quillmar::testing
