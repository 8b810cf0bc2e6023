// Run Program, Reverse Program and Stop: the check pass, then the steps forwards or retraced.
#pragma once

#include <chrono>
#include <vector>

#include <QObject>
#include <QString>

#include "armlink/arm_link.h"
#include "motion/manual_control.h"
#include "motion/pacer.h"
#include "program_check.h"

namespace quillmar {

// What a run needs of the window: the program, the lock on everything a run must not meet, and
// the Stop button's focus.
class RunnerPane {
  public:
    virtual ~RunnerPane() = default;
    // The program pane's text, lines ended by CR LF.
    virtual QString program_text() const = 0;
    // A run locks the program pane, the controls frame and the file buttons, in that order, and
    // unlocks the frame, the file buttons and the pane, in that order.
    virtual void lock_for_run() = 0;
    virtual void unlock_after_run() = 0;
    virtual void focus_stop() = 0;
    // Appends text and CR LF to the message pane.
    virtual void show_message(const QString& text) = 0;
};

enum class Direction { forwards, reverse };

// One step as a run performs it: in reverse, the opposite command of the line's.
struct RunStep {
    int command;
    double seconds;  // how long the motor runs; 0 for the light
    int line;        // the text line it was read from, counted from 0
    friend bool operator==(const RunStep&, const RunStep&) = default;
};

// The steps of a run in the order they run.
std::vector<RunStep> run_order(const std::vector<ProgramStep>& steps, Direction direction);

// Tells listeners how a run goes: the steps once checked, each step as it begins, and the end.
class ProgramRunner : public QObject {
    Q_OBJECT
  public:
    static constexpr std::chrono::milliseconds pause_between_steps{500};

    ProgramRunner(ArmLink& link, ManualControl& manual, RunnerPane& pane, Pacer& pacer);

    void run_program(Direction direction);

    // Stops the motors at once; a running program ends after the step under way.
    void stop();

  signals:
    void run_started(const std::vector<quillmar::RunStep>& steps);
    // Step `index` of the run's steps begins; its command has not gone out yet.
    void step_started(int index);
    void run_finished();
    // Stop, a release or closing the window ended the run during step `index` or the pause after
    // it.
    void run_stopped(int index);

  private:
    // The run ends early: Stop was pressed, the arm was released, or the window is closing.
    bool cut_short() const;

    ArmLink& link;
    ManualControl& manual;
    RunnerPane& pane;
    Pacer& pacer;
    bool stop_requested = false;
};

}  // namespace quillmar
