// The arm as an emulated USB device, and the bus it is usually found on.
#pragma once

#include <optional>
#include <vector>

#include "arm_command.h"
#include "usb/device_model.h"
#include "usb/emulated_bus.h"

namespace quillmar {

// The arm: low speed, USB 1.1, one configuration with interface 0 (vendor class) and its
// interrupt IN endpoint 0x81.
DeviceModel arm_device_model(int bus_number = 1, int address = 2);

// A root hub on bus 1 and the arm at address 2.
std::vector<DeviceModel> hub_and_arm();

// The arm command that a control transfer to the emulated arm carried whole; none for any other
// transfer.
std::optional<ArmCommand> arm_command_in(const EmulatedBus::Transfer& transfer);

}  // namespace quillmar
