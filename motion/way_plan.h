// The plan of a way back to the arm model's origin or to any pose: the light's switch first when
// it differs, then each joint's net travel as one movement, the joint that moved last going first.
#pragma once

#include <vector>

#include "motion/arm_model.h"

namespace quillmar {

struct Movement {
    int command;     // 1 to 10, or the light command number to switch the light
    double seconds;  // 0 for the light
    friend bool operator==(const Movement&, const Movement&) = default;
};

// The movements that take the arm from where `model` has it at `time` back to its origin, the
// light's switch first when it differs from the origin's. Time a joint spent straining against its
// end left no mark on the pose, so it is not retraced.
std::vector<Movement> back_to_start_plan(const ArmModel& model, double time);

// The same way to `pose` with the light as `light`, at the model's speeds: each joint's net
// travel as one movement, the joint that moved last going first.
std::vector<Movement> way_to_plan(const ArmModel& model, double time, const Pose& pose, bool light);

}  // namespace quillmar
