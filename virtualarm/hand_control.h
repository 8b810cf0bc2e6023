// What the arm window's keys and buttons ask of the main window, which owns driving by hand, so
// that Stop, Release arm and closing end a key's movement as they end every other.
#pragma once

#include <vector>

#include "motion/back_to_start.h"
#include "motion/key_drive.h"

namespace quillmar {

class HandControl {
  public:
    virtual ~HandControl() = default;

    virtual KeyDrive& key_drive() = 0;
    // Whether an arm is attached, run or no run.
    virtual bool arm_is_attached() const = 0;
    // Escape: Stop, when Stop can be used.
    virtual void press_stop() = 0;
    // The light key: the light button, when it can be used.
    virtual void press_light() = 0;
    // Record: while on, movements made by hand go to the program pane, one motor at a time.
    virtual void set_recording(bool on) = 0;
    // Back to start: runs `plan` with the controls locked as for a run; true when all of it ran,
    // false when Stop, a release or closing cut it short, or it could not start.
    virtual bool go_back(const std::vector<Movement>& plan) = 0;
};

}  // namespace quillmar
