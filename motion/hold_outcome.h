// How a movement held by a button, a key or a stick ended, and the longest it may run.
#pragma once

namespace quillmar {

// A stuck button or key never runs a motor longer than this.
inline constexpr double longest_hold_seconds = 15.0;

// Why a held movement ended.
enum class HoldEnd {
    released,      // the button or key was let go, or its window stopped taking the input
    stopped,       // Stop
    limit,         // held for the longest time a hold may run, or a timed hold's time is up
    arm_released,  // Release arm: the stop command finds no arm
    closing,       // the window closed: its all off was the last command
    soft_limit,    // every motor held stopped where the estimate put its joint at its end
};

struct HoldOutcome {
    HoldEnd end;
    double seconds;  // how long the motor ran, from its start command to its stop command
};

// The hold sent nothing: every joint it would drive stood at its end by the soft limits.
inline bool nothing_moved(const HoldOutcome& outcome) {
    return outcome.end == HoldEnd::soft_limit && outcome.seconds == 0.0;
}

}  // namespace quillmar
