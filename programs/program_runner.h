// Run Program, Reverse Program and Stop: the check pass, then the steps forwards or retraced.
#pragma once

#include <chrono>
#include <optional>
#include <vector>

#include <QObject>
#include <QString>

#include "armlink/arm_link.h"
#include "armlink/arm_reports.h"
#include "motion/manual_control.h"
#include "motion/pacer.h"
#include "program_check.h"
#include "run_step.h"

namespace quillmar {

// Tells listeners how a run goes: the steps once checked, each step as it begins, and the end.
class ProgramRunner : public QObject {
    Q_OBJECT
  public:
    // How long before its command the listeners hear that a step begins.
    static constexpr std::chrono::milliseconds step_told_ahead{30};

    // The banner and the check pass's messages go to `reports`.
    ProgramRunner(ArmLink& link, ManualControl& manual, ArmReports& reports, Pacer& pacer);

    // Runs `text`, lines ended by CR LF; an empty text does nothing.
    void run_program(const QString& text, Direction direction);

    // Runs `step` alone as a run of one step, without the check pass's messages.
    void run_step(const RunStep& step);
    // Stops the motors at once; a running program ends after the step under way.
    void stop();

  signals:
    // A run begins: its check comes next; everything a run must not meet is to be locked.
    void checking();
    // The steps are checked and about to run; Stop is what the user needs now.
    void run_started(const std::vector<quillmar::RunStep>& steps);
    // Step `index` of the run's steps begins; its command goes out step_told_ahead later, or
    // at once for the first step.
    void step_started(int index);
    void run_finished();
    // Stop, a release or closing the window ended the run during step `index` or the pause after
    // it.
    void run_stopped(int index);

  private:
    // The run ends early: Stop was pressed, the arm was released, the window is closing, or the
    // arm did not take a stop.
    bool cut_short() const;
    // Performs `step`; when the run goes on, when its last command went out.
    std::optional<double> perform(const RunStep& step);

    ArmLink& link;
    ManualControl& manual;
    ArmReports& reports;
    Pacer& pacer;
    bool stop_requested = false;
};

}  // namespace quillmar
