#include "program_runner.h"

#include <optional>

#include "motion/timed_movement.h"

namespace quillmar {

namespace {

constexpr qsizetype lines_per_message_append = 65536;

}  // namespace

ProgramRunner::ProgramRunner(ArmLink& link, ManualControl& manual, ArmReports& reports,
                             Pacer& pacer)
    : link(link), manual(manual), reports(reports), pacer(pacer) {}

bool ProgramRunner::cut_short() const {
    // A stop the arm did not take may have left a motor running: no further step starts.
    return stop_requested || !link.attached() || pacer.cancelled() || link.left_running();
}

void ProgramRunner::run_program(const QString& text, Direction direction) {
    if (text.isEmpty()) {
        return;
    }
    stop_requested = false;
    emit checking();
    reports.show_message(QStringLiteral("\r\nTesting your program\r\n"));
    // The messages reach the pane many lines at a time: a pane extended line by line re-lays
    // itself out each time, which for the largest program file kept the window busy for most of
    // a minute, and all of them at once held that file's million messages twice over.
    QString unshown;
    qsizetype unshown_lines = 0;
    const CheckedProgram program = check_program(text, [&](const QString& message) {
        if (unshown_lines > 0) {
            unshown += QStringLiteral("\r\n");
        }
        unshown += message;
        if (++unshown_lines == lines_per_message_append) {
            reports.show_message(unshown);
            unshown.clear();
            unshown_lines = 0;
            // The window answers between the parts of a long check pass, as in a wait; a Stop,
            // a release or closing then ends the run before its first step.
            pacer.run_pending_events();
        }
    });
    if (unshown_lines > 0) {
        reports.show_message(unshown);
    }

    const std::vector<RunStep> steps = run_order(program.steps, direction);
    emit run_started(steps);
    std::optional<int> stopped_at;
    // When the arm took the last command of the step before, which the pause counts from.
    double previous = 0;
    const auto cut = [this] { return cut_short(); };
    for (std::size_t index = 0; index < steps.size(); ++index) {
        const int shown = static_cast<int>(index);
        if (index > 0) {
            // The window answers during the pause, and what ends a step's wait ends it too; no
            // step starts after that.
            pacer.pause(previous, pause_between_steps - step_told_ahead, cut);
            if (cut_short()) {
                stopped_at = shown - 1;
                break;
            }
        } else if (cut_short()) {
            stopped_at = 0;
            break;
        }
        emit step_started(shown);
        if (index > 0) {
            // Told a little ahead of its command, so that what the listeners do and draw then
            // does not lengthen the pause that the arm sees.
            pacer.pause(
                previous +
                    std::chrono::duration<double>(pause_between_steps - step_told_ahead).count(),
                step_told_ahead, cut);
        }
        const std::optional<double> ended = cut_short() ? std::nullopt : perform(steps[index]);
        if (!ended) {
            stopped_at = shown;
            break;
        }
        previous = *ended;
    }
    if (stopped_at) {
        emit run_stopped(*stopped_at);
    } else {
        emit run_finished();
    }
}

void ProgramRunner::run_step(const RunStep& step) {
    emit checking();
    emit run_started({step});
    stop_requested = false;
    emit step_started(0);
    if (perform(step)) {
        emit run_finished();
    } else {
        emit run_stopped(0);
    }
}

std::optional<double> ProgramRunner::perform(const RunStep& step) {
    double last = 0;
    if (step.command == light_command_number) {
        const double asked = pacer.now();
        manual.light();
        last = sent_time(link, asked);
    } else {
        last = run_timed_movement(link, pacer, step.command, step.seconds, [this] {
                   return cut_short();
               }).stopped_at;
    }
    if (cut_short()) {
        return std::nullopt;
    }
    return last;
}

void ProgramRunner::stop() {
    stop_requested = true;
    link.send_stop(stop_command(link.light_byte()));
    pacer.wake();
    pacer.run_pending_events();
    link.send_stop(stop_command(link.light_byte()));
}

}  // namespace quillmar
