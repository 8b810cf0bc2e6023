// Run Program, Reverse Program and Stop: the check pass, then the steps forwards or retraced.
#pragma once

#include <chrono>

#include <QString>

#include "armlink/arm_link.h"
#include "motion/manual_control.h"
#include "motion/pacer.h"

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

class ProgramRunner {
  public:
    static constexpr std::chrono::milliseconds pause_between_steps{500};

    ProgramRunner(ArmLink& link, ManualControl& manual, RunnerPane& pane, Pacer& pacer);

    void run_program(Direction direction);

    // Stops the motors at once; a running program ends after the step under way.
    void stop();

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
