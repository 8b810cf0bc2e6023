// The arm attached on an emulated bus, its model following the bus, and a program runner on top:
// what a run really does to the virtual arm, in virtual time.
#pragma once

#include "armlink/arm_device.h"
#include "fake_arm_reports.h"
#include "fake_pacer.h"
#include "motion/arm_model.h"
#include "programs/program_runner.h"
#include "usb/emulated_bus.h"

namespace quillmar::testing {

struct FollowedArm {
    FollowedArm() {
        model.follow(usb);
        link.attach_arm();
    }
    void run(const QString& text, Direction direction) { runner.run_program(text, direction); }
    FakePacer pacer;
    ArmModel model{pacer.now()};
    EmulatedBus usb{[this] { return pacer.now(); }, hub_and_arm()};
    FakeArmReports window;
    ArmLight light;
    ArmLink link{usb, window, pacer, light};
    ManualControl manual{link, pacer};
    ProgramRunner runner{link, manual, window, pacer};
};

}  // namespace quillmar::testing
