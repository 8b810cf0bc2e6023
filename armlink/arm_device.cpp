#include "arm_device.h"

#include "arm_link.h"
#include "armlink/arm_ids.h"

namespace quillmar {

DeviceModel arm_device_model(int bus_number, int address) {
    DeviceModel model;
    model.bus_number = bus_number;
    model.address = address;
    model.descriptor.bcdUSB = 0x0110;
    model.descriptor.bMaxPacketSize0 = 8;
    model.descriptor.idVendor = arm_vendor_id;
    model.descriptor.idProduct = arm_product_id;
    ConfigurationModel configuration;
    configuration.descriptor.bConfigurationValue = 1;
    configuration.descriptor.bmAttributes = 0x80;
    configuration.descriptor.MaxPower = 50;
    configuration.interfaces.push_back(interrupt_in_interface(0xFF, 1, 10));
    model.configurations.push_back(configuration);
    complete_model(model);
    return model;
}

std::vector<DeviceModel> hub_and_arm() {
    return {root_hub_model(1), arm_device_model(1, 2)};
}

std::optional<ArmCommand> arm_command_in(const EmulatedBus::Transfer& transfer) {
    if (transfer.setup != command_setup || transfer.data.size() != command_length ||
        transfer.result != static_cast<int>(command_length)) {
        return std::nullopt;
    }
    return ArmCommand{transfer.data[0], transfer.data[1], transfer.data[2]};
}

}  // namespace quillmar
