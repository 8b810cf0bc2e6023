// Descriptions of USB devices for emulation: what each descriptor and string of a device holds.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "descriptors.h"

namespace quillmar {

struct InterfaceModel {
    // One descriptor per alternate setting, each with the endpoints of that setting.
    struct Setting {
        InterfaceDescriptor descriptor;
        std::vector<EndpointDescriptor> endpoints;
    };
    std::vector<Setting> settings;
};

struct ConfigurationModel {
    ConfigurationDescriptor descriptor;  // wTotalLength and bNumInterfaces follow from the parts
    std::vector<InterfaceModel> interfaces;
};

struct DeviceModel {
    int bus_number = 1;
    int address = 1;
    DeviceDescriptor descriptor;  // bNumConfigurations follows from configurations
    std::vector<ConfigurationModel> configurations;
    std::map<int, std::string> strings;  // string index -> 8-bit text
    bool openable = true;                // false: present, but this user is denied access
};

// An interface of the given class whose one endpoint is interrupt IN 0x81.
InterfaceModel interrupt_in_interface(std::uint8_t interface_class, std::uint16_t packet_size,
                                      std::uint8_t interval);

// A USB 2.0 root hub (1d6b:0002) with one configuration and its status endpoint.
DeviceModel root_hub_model(int bus_number = 1);

// Fills the counts and lengths that follow from the model's parts (bLength, wTotalLength,
// bNumInterfaces, bNumEndpoints, bNumConfigurations).
void complete_model(DeviceModel& model);

}  // namespace quillmar
