#include "program_runner.h"

#include "motion/timed_movement.h"
#include "program_check.h"

namespace quillmar {

ProgramRunner::ProgramRunner(ArmLink& link, ManualControl& manual, RunnerPane& pane, Pacer& pacer)
    : link(link), manual(manual), pane(pane), pacer(pacer) {}

bool ProgramRunner::cut_short() const {
    return stop_requested || !link.attached() || pacer.cancelled();
}

void ProgramRunner::run_program(Direction direction) {
    if (pane.program_text().isEmpty()) {
        return;
    }
    pane.lock_for_run();
    pane.show_message(QStringLiteral("\r\nTesting your program\r\n"));
    const CheckedProgram program = check_program(pane.program_text());
    // One append for the whole pass: a pane extended line by line re-lays itself out each time,
    // which for the largest program file kept the window busy for most of a minute.
    if (!program.messages.isEmpty()) {
        pane.show_message(program.messages.join(QStringLiteral("\r\n")));
    }

    pane.focus_stop();
    stop_requested = false;
    const std::size_t count = program.steps.size();
    const bool reverse = direction == Direction::reverse;
    for (std::size_t order = 0; order < count; ++order) {
        if (order > 0) {
            pacer.sleep_blocking(pause_between_steps);
        }
        const ProgramStep& step = program.steps[reverse ? count - 1 - order : order];
        const int command = reverse ? opposite_command(step.command) : step.command;
        if (command == light_command_number) {
            manual.light();
        } else {
            const float seconds = step.duration / 100.0f;
            run_timed_movement(link, pacer, command, seconds, [this] { return cut_short(); });
        }
        if (cut_short()) {
            break;
        }
    }
    pane.unlock_after_run();
}

void ProgramRunner::stop() {
    stop_requested = true;
    link.send_command(stop_command(link.light_byte()));
    pacer.wake();
    pacer.run_pending_events();
    link.send_command(stop_command(link.light_byte()));
}

}  // namespace quillmar
