#include "estimated_arm.h"

namespace quillmar {

EstimatedArm::EstimatedArm(ArmLink& link, std::function<double()> clock)
    : link(link), model(clock()), arm_window(model, clock, ArmSource::commands_sent) {
    model.follow(link, clock);
}

EstimatedArm::~EstimatedArm() {
    link.on_command_sent(nullptr);
}

}  // namespace quillmar
