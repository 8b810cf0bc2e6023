// Moving a motor for as long as a button or key is held, and never longer than a limit.
#pragma once

#include <optional>

#include "armlink/arm_link.h"
#include "armlink/arm_reports.h"
#include "pacer.h"

namespace quillmar {

// Why a held movement ended.
enum class HoldEnd {
    released,      // the button or key was let go, or its window stopped taking the input
    stopped,       // Stop
    limit,         // held for the longest time a hold may run, or a timed hold's time is up
    arm_released,  // Release arm: the stop command finds no arm
    closing,       // the window closed: its all off was the last command
};

struct HoldOutcome {
    HoldEnd end;
    double seconds;  // how long the motor ran, from its start command to its stop command
};

class HeldMovement {
  public:
    // A stuck button or key never runs a motor longer than this.
    static constexpr double limit_seconds = 15.0;

    HeldMovement(ArmLink& link, ArmReports& reports, Pacer& pacer);

    // Runs the motor of command 1 to 10 until end() is called, the arm is released, the window
    // closes or the limit passes, then sends the stop command. Reaching the limit is said in the
    // error pane, as the user may not see why the motor stopped, once the arm took the stop.
    HoldOutcome run(int command_number);
    // The same for every motor that `motors` names (its light byte is not used).
    HoldOutcome run(ArmCommand motors);
    // As run(command_number), ending by itself after `seconds` (at most the limit), timed as a
    // jog is: a movement asked for by time that Stop, a release or closing still cut short.
    HoldOutcome run_for(int command_number, double seconds);

    // Runs `motors` instead from now on, at once, while a hold is under way and not ending; the
    // limit still counts from the start of the hold.
    void change(ArmCommand motors);

    // Ends the hold under way for `reason` (released or stopped); the first reason given counts.
    // Nothing when no hold is under way.
    void end(HoldEnd reason);

    bool under_way() const { return running; }

  private:
    // Held until ended, or for `seconds`.
    HoldOutcome run(ArmCommand motors, std::optional<double> seconds);

    ArmLink& link;
    ArmReports& reports;
    Pacer& pacer;
    bool running = false;
    double started = 0;  // when the hold under way began, for its limit
    std::optional<HoldEnd> told;
};

}  // namespace quillmar
