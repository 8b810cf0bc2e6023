#include "virtual_arm.h"

namespace quillmar {

VirtualArm::VirtualArm(std::function<double()> clock)
    : model(clock()), bus(clock, EmulatedUsb::hub_and_arm()), arm_window(model, clock) {
    model.follow(bus);
}

}  // namespace quillmar
