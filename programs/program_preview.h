// What a program will do before it runs: its run simulated on a copy of the arm's model in
// virtual time, with the steps that drive a joint into its end and the lines that will not run.
#pragma once

#include <QStringList>
#include <optional>
#include <vector>

#include "motion/arm_model.h"
#include "programs/program_check.h"
#include "programs/run_step.h"

namespace quillmar {

// One motor step: the joint it drives, when, and from where to where.
struct PreviewMove {
    int step;  // index in run order
    Joint joint;
    double start;  // seconds from the start of the run
    double end;
    double from;  // the joint's position at the start and at the end of the step
    double to;
    // Seconds into the step at which the joint reaches the end of its travel, when it does
    // before the step is over; from then on its motor strains.
    std::optional<double> end_stop;
    // In a reverse run that retraces a forward run: how much further, in the joint's unit, the
    // step turns the joint back than the forward run turned it, where that run held it at its end.
    std::optional<double> overshoot;
};

struct PreviewToggle {
    int step;
    double time;
    bool light_on;  // the light after the toggle
};

struct PreviewPause {
    double start;
    double end;
};

struct ProgramPreview {
    std::vector<RunStep> steps;  // in run order
    std::vector<PreviewMove> moves;
    std::vector<PreviewToggle> toggles;
    std::vector<PreviewPause> pauses;
    double duration = 0.0;
    Pose end_pose = start_pose();
    bool end_light = false;
    std::vector<RejectedLine> rejected;  // the first of them
    qsizetype rejected_count = 0;        // all of them
    std::vector<MisreadLine> misread;    // the first of them
    qsizetype misread_count = 0;         // all of them
    // A reverse run previewed after the forward run that Run Program would make first.
    bool after_forwards_run = false;
};

// Seconds a run of `steps` takes: their times and the pauses between them.
double run_duration(const std::vector<RunStep>& steps);

// Seconds left of that run when step `index` has run for `done` seconds.
double run_time_left(const std::vector<RunStep>& steps, int index, double done);

// The run of `program` in `direction` from `pose` with the light as `light`. A reverse run retraces
// the forward run from `forwards_from` when that run ends where `pose` is (the arm ran it and has
// not moved since); the steps that turn a joint back further than that run turned it are marked.
// The joints travel at `speeds`.
ProgramPreview preview_program(const CheckedProgram& program, Direction direction, const Pose& pose,
                               bool light, const std::optional<Pose>& forwards_from = std::nullopt,
                               const JointSpeeds& speeds = JointSpeeds::built_in());

// The reverse run that "Reverse Program" makes: after the forward run from `ran_from` when that
// run left the arm in `pose` and it has not moved since, else after the forward run from `pose`,
// which the user runs first; each step that turns a joint back further than that run turned it is
// marked.
ProgramPreview preview_reverse_run(const CheckedProgram& program, const Pose& pose, bool light,
                                   const std::optional<Pose>& ran_from,
                                   const JointSpeeds& speeds = JointSpeeds::built_in());

// A command's caption without its number: "Elbow Up" for command 6.
QString command_name(int command);

// One line per step that drives a joint into its end or past where it retraces, in run order, then
// one per line that reads otherwise than it looks, then one per line that will not run, both in
// text order; the first `most` of them. Lines are counted from
// 1, as people count them.
QStringList preview_warnings(const ProgramPreview& preview, qsizetype most);

// How many warnings there are in all.
qsizetype warning_count(const ProgramPreview& preview);

}  // namespace quillmar
