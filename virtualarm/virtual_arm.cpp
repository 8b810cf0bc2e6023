#include "virtual_arm.h"

#include "armlink/arm_device.h"

namespace quillmar {

VirtualArm::VirtualArm(std::function<double()> clock)
    : model(clock()), bus(clock, hub_and_arm()), arm_window(model, clock, ArmSource::virtual_arm) {
    model.follow(bus);
}

}  // namespace quillmar
