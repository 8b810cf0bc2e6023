// A run's steps as they are performed, forwards or retraced: plain values that views show.
#pragma once

#include <chrono>
#include <vector>

#include "programs/program_check.h"

namespace quillmar {

enum class Direction { forwards, reverse };

// One step as a run performs it: in reverse, the opposite command of the line's.
struct RunStep {
    int command;
    double seconds;  // how long the motor runs; 0 for the light
    int line;        // the text line it was read from, counted from 0
    friend bool operator==(const RunStep&, const RunStep&) = default;
};

// From the arm taking a step's stop to it taking the next step's start.
inline constexpr std::chrono::milliseconds pause_between_steps{500};

// The steps of a run in the order they run.
std::vector<RunStep> run_order(const std::vector<ProgramStep>& steps, Direction direction);

}  // namespace quillmar
