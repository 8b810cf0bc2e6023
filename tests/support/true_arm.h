// A virtual arm whose joints truly travel `factor` times as fast as the table says, and the
// session's estimate of it from the commands sent, in virtual time.
#pragma once

#include "armlink/arm_device.h"
#include "fake_pacer.h"
#include "motion/arm_model.h"
#include "session/arm_session.h"
#include "usb/emulated_bus.h"

namespace quillmar::testing {

struct TrueArm {
    explicit TrueArm(double factor) : truth(pacer.now(), JointSpeeds::built_in().scaled(factor)) {
        truth.follow(usb);
        session.start_up();
        usb.clear_logs();
    }
    double at(Joint joint) const { return truth.position_at(joint, pacer.now()); }

    FakePacer pacer;
    EmulatedBus usb{[this] { return pacer.now(); }, hub_and_arm()};
    ArmModel truth;
    ArmSession session{usb, pacer, ArmSource::commands_sent};
    ArmClient hand{session, ClientKind::arm_window, QStringLiteral("the arm window")};
};

}  // namespace quillmar::testing
