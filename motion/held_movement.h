// Moving a motor for as long as a button or key is held, and never longer than a limit.
#pragma once

#include <functional>
#include <optional>

#include "armlink/arm_link.h"
#include "armlink/arm_reports.h"
#include "hold_outcome.h"
#include "pacer.h"

namespace quillmar {

// What a hold asks of the arm's estimate so that no joint is driven hard into its end.
struct SoftLimits {
    // Whether they apply now: switched on, and the user not driving on past them.
    std::function<bool()> apply;
    // Seconds until a joint that the running motors drive reaches its end; infinity when none.
    std::function<double()> seconds_to_end;
    // Those of `motors` whose joints are at the end they drive towards.
    std::function<ArmCommand(ArmCommand motors)> at_end;
    // Told of the motors that were stopped at their joints' ends.
    std::function<void(ArmCommand stopped)> reached;
};

class HeldMovement {
  public:
    // A stuck button or key never runs a motor longer than this.
    static constexpr double limit_seconds = longest_hold_seconds;

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

    // Ends the hold under way for `reason` (released or stopped), sending its stop at once; the
    // first reason given counts. Nothing when no hold is under way.
    void end(HoldEnd reason);

    // From now on each motor stops where `limits` say its joint reached its end.
    void set_soft_limits(SoftLimits limits);
    // Whether the soft limits apply changed: the hold under way times its next stop afresh.
    void retime();

    bool under_way() const { return running; }

  private:
    struct Stop {
        double ran;  // seconds from the start command to the stop's
        bool taken;  // as ArmLink::send_stop tells
    };

    // Held until ended, or for `seconds`.
    HoldOutcome run(ArmCommand motors, std::optional<double> seconds);
    bool ended() const;
    bool limits_apply() const;
    // `motors` but those whose joints are at their end, which are told of and stay stopped.
    ArmCommand without_ends(ArmCommand motors);
    // Stops those of the running motors whose joints are at their end; true when none runs on.
    bool stop_at_ends();
    // Sends the hold's stop command, the first time only.
    Stop send_stop();

    ArmLink& link;
    ArmReports& reports;
    Pacer& pacer;
    bool running = false;
    double started = 0;  // when the hold under way began, for its limit
    std::optional<HoldEnd> told;
    std::optional<Stop> stop;  // sent, or being sent
    SoftLimits soft;
    ArmCommand driving;    // the motors running now
    ArmCommand stopped;    // motors of this hold stopped at their ends, which stay stopped
    bool retimed = false;  // the soft limits changed during the wait under way
};

}  // namespace quillmar
