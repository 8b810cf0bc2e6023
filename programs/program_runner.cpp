#include "program_runner.h"

#include "program_check.h"

namespace quillmar {

ProgramRunner::ProgramRunner(ArmLink& link, ManualControl& manual, Console& console, Pacer& pacer)
    : link(link), manual(manual), console(console), pacer(pacer) {}

bool ProgramRunner::cut_short() const {
    return stop_requested == -1 || !link.attached() || pacer.cancelled();
}

void ProgramRunner::run_program(std::int16_t direction) {
    if (console.program_text().isEmpty()) {
        return;
    }
    console.lock_for_run();
    console.show_message(QStringLiteral("\r\nTesting your program\r\n"));
    const CheckedProgram program = check_program(console.program_text());
    // One append for the whole pass: a pane extended line by line re-lays itself out each time,
    // which for the largest program file kept the window busy for most of a minute.
    if (!program.messages.isEmpty()) {
        console.show_message(program.messages.join(QStringLiteral("\r\n")));
    }

    console.focus_stop();
    stop_requested = 0;
    const std::size_t count = program.steps.size();
    for (std::size_t order = 0; order < count; ++order) {
        if (order > 0) {
            pacer.sleep_blocking(pause_between_steps);
        }
        const bool reverse = direction != forwards;
        const ProgramStep& step = program.steps[reverse ? count - 1 - order : order];
        const int command = reverse ? opposite_command(step.command) : step.command;
        if (command == light_command_number) {
            manual.light();
        } else {
            const float seconds = step.duration / 100.0f;
            link.send_command(start_command(command, light_byte(console)));
            const double start = pacer.now();
            pacer.wait(start, seconds, [this] { return cut_short(); });
            link.send_command(stop_command(light_byte(console)));
        }
        if (cut_short()) {
            break;
        }
    }
    console.unlock_after_run();
}

void ProgramRunner::stop() {
    stop_requested = -1;
    link.send_command(stop_command(light_byte(console)));
    pacer.wake();
    pacer.run_pending_events();
    link.send_command(stop_command(light_byte(console)));
}

}  // namespace quillmar
