// Descriptions of USB devices for emulation: the arm and a root hub, shared by every emulated bus.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "usb_access.h"

namespace quillmar {

inline constexpr std::uint16_t arm_vendor_id = 0x1267;
inline constexpr std::uint16_t arm_product_id = 0x0000;

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

// The arm: low speed, USB 1.1, one configuration with interface 0 (vendor class) and its
// interrupt IN endpoint 0x81.
DeviceModel arm_device_model(int bus_number = 1, int address = 2);
// A USB 2.0 root hub (1d6b:0002) with one configuration and its status endpoint.
DeviceModel root_hub_model(int bus_number = 1);

// Fills the counts and lengths that follow from the model's parts (bLength, wTotalLength,
// bNumInterfaces, bNumEndpoints, bNumConfigurations).
void complete_model(DeviceModel& model);

// The device descriptor followed by every configuration descriptor set, byte for byte as a
// device returns them (and as Linux shows them in sysfs "descriptors").
std::vector<std::uint8_t> raw_descriptors(const DeviceModel& model);
// The configuration descriptor set of one configuration (configuration, interfaces, endpoints).
std::vector<std::uint8_t> raw_configuration(const ConfigurationModel& configuration);

}  // namespace quillmar
