// Running without hardware: an emulated bus with a root hub and the arm, the arm's model that
// follows every command sent to it, and the "Virtual arm" window that shows the model.
#pragma once

#include <functional>

#include "arm_window.h"
#include "motion/arm_model.h"
#include "usb/emulated_bus.h"

namespace quillmar {

class VirtualArm {
  public:
    // `clock` must be the clock of the program's waits, so the pose matches the waits.
    explicit VirtualArm(std::function<double()> clock);

    UsbBus& usb() { return bus; }
    ArmWindow& window() { return arm_window; }

  private:
    ArmModel model;
    EmulatedBus bus;
    ArmWindow arm_window;
};

}  // namespace quillmar
