// Back to start, Go to and Find the ends: the movements of a way's plan (way_plan.h) driven one
// after the other.
#pragma once

#include <vector>

#include "armlink/arm_link.h"
#include "manual_control.h"
#include "pacer.h"
#include "way_plan.h"

namespace quillmar {

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
