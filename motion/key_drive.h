// Driving the arm from the keyboard: the motors of the keys held run together, and stop when the
// last key is let go, the drive is ended, or it has run as long as any hold may.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "armlink/arm_link.h"
#include "armlink/arm_reports.h"
#include "held_movement.h"
#include "pacer.h"

namespace quillmar {

enum class KeyAnswer {
    moving,         // the key's motor runs, with those of the other keys held
    opposite_held,  // refused: the key for the other way of its motor is held
    one_at_a_time,  // refused: another motor's key is held while one motor at a time may run
};

class KeyDrive {
  public:
    KeyDrive(ArmLink& link, ArmReports& reports, Pacer& pacer);

    // The key of command 1 to 10 went down. The first key runs the drive until it ends, so that
    // call returns only then; a key pressed during the drive joins it at once, or is refused.
    KeyAnswer press(int command_number);
    // The key went up: its motor stops at once, and the last key let go ends the drive.
    void release(int command_number);
    // Ends the drive under way for `reason` (released or stopped); keys still down are forgotten.
    void end(HoldEnd reason);

    // While teaching, each movement is one motor's: the key of a second motor is refused.
    void set_one_motor_at_a_time(bool one) { one_motor = one; }
    // Called when a drive of one motor alone has ended, with how long it ran.
    void on_moved(std::function<void(int command_number, double seconds)> observer);

    // Each motor stops where `limits` say its joint reached its end.
    void set_soft_limits(SoftLimits limits) { held.set_soft_limits(std::move(limits)); }
    void retime() { held.retime(); }

    bool under_way() const { return held.under_way(); }

  private:
    // The motor and base bits of every key held.
    ArmCommand motors() const;
    void run_drive();

    HeldMovement held;
    std::vector<int> keys;  // the commands of the keys held, in the order pressed
    bool one_motor = false;
    bool joined = false;  // a second motor ran in the drive under way
    bool ending = false;  // the drive under way was told to end and is sending its stop
    std::function<void(int, double)> moved;
};

}  // namespace quillmar
