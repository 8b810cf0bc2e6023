// Back to start: the light switched back as it was at the arm model's origin, then every joint
// driven back to the origin, each joint's travel since then netted into one movement, the joint
// that moved last going back first.
#pragma once

#include <vector>

#include "arm_model.h"
#include "armlink/arm_link.h"
#include "manual_control.h"
#include "pacer.h"

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

class BackToStart {
  public:
    // The light switches through `manual`, as the light button switches it.
    BackToStart(ArmLink& link, Pacer& pacer, ManualControl& manual);

    // Runs the movements one after the other; true when all of them ran, false when stop(), a
    // release, the window closing or a stop command the arm did not take cut them short.
    bool run(const std::vector<Movement>& plan);
    // Ends the movement under way at once; no further one starts. Nothing when none runs.
    void stop();

    bool under_way() const { return running; }

  private:
    bool cut_short() const;

    ArmLink& link;
    Pacer& pacer;
    ManualControl& manual;
    bool running = false;
    bool stop_requested = false;
};

}  // namespace quillmar
