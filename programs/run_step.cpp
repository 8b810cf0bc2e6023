#include "run_step.h"

#include "armlink/arm_command.h"

namespace quillmar {

std::vector<RunStep> run_order(const std::vector<ProgramStep>& steps, Direction direction) {
    std::vector<RunStep> order;
    order.reserve(steps.size());
    const bool reverse = direction == Direction::reverse;
    for (std::size_t index = 0; index < steps.size(); ++index) {
        const ProgramStep& step = steps[reverse ? steps.size() - 1 - index : index];
        const int command = reverse ? opposite_command(step.command) : step.command;
        // The wait is the line's centiseconds in single precision, as the step table holds them.
        const double seconds =
            command == light_command_number ? 0.0 : static_cast<double>(step.duration / 100.0f);
        order.push_back({command, seconds, step.line});
    }
    return order;
}

}  // namespace quillmar
