// A real arm's pose, estimated from the commands that reached it, and the "Arm" window that shows
// it: the arm has no sensors, so the commands and their times are all there is to go on.
#pragma once

#include <functional>

#include "arm_window.h"
#include "armlink/arm_link.h"
#include "motion/arm_model.h"

namespace quillmar {

class EstimatedArm {
  public:
    // `clock` must be the clock of the program's waits, so the estimate matches the waits.
    EstimatedArm(ArmLink& link, std::function<double()> clock);
    ~EstimatedArm();
    EstimatedArm(const EstimatedArm&) = delete;
    EstimatedArm& operator=(const EstimatedArm&) = delete;

    ArmWindow& window() { return arm_window; }

  private:
    ArmLink& link;
    ArmModel model;
    ArmWindow arm_window;
};

}  // namespace quillmar
