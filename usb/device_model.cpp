#include "device_model.h"

namespace quillmar {

namespace {

constexpr std::uint8_t device_length = 18;
constexpr std::uint8_t configuration_length = 9;
constexpr std::uint8_t interface_length = 9;
constexpr std::uint8_t endpoint_length = 7;

}  // namespace

InterfaceModel interrupt_in_interface(std::uint8_t interface_class, std::uint16_t packet_size,
                                      std::uint8_t interval) {
    InterfaceModel::Setting setting;
    setting.descriptor.bInterfaceClass = interface_class;
    EndpointDescriptor in;
    in.bEndpointAddress = 0x81;
    in.bmAttributes = 0x03;
    in.wMaxPacketSize = packet_size;
    in.bInterval = interval;
    setting.endpoints.push_back(in);
    return InterfaceModel{{setting}};
}

void complete_model(DeviceModel& model) {
    model.descriptor.bLength = device_length;
    model.descriptor.bDescriptorType = 1;
    model.descriptor.bNumConfigurations = static_cast<std::uint8_t>(model.configurations.size());
    for (auto& configuration : model.configurations) {
        auto& config = configuration.descriptor;
        config.bLength = configuration_length;
        config.bDescriptorType = 2;
        config.bNumInterfaces = static_cast<std::uint8_t>(configuration.interfaces.size());
        std::size_t total = configuration_length;
        for (std::size_t number = 0; number < configuration.interfaces.size(); ++number) {
            auto& settings = configuration.interfaces[number].settings;
            for (std::size_t alt = 0; alt < settings.size(); ++alt) {
                auto& iface = settings[alt].descriptor;
                iface.bLength = interface_length;
                iface.bDescriptorType = 4;
                iface.bInterfaceNumber = static_cast<std::uint8_t>(number);
                iface.bAlternateSetting = static_cast<std::uint8_t>(alt);
                iface.bNumEndpoints = static_cast<std::uint8_t>(settings[alt].endpoints.size());
                total += interface_length;
                for (auto& endpoint : settings[alt].endpoints) {
                    endpoint.bLength = endpoint_length;
                    endpoint.bDescriptorType = 5;
                    total += endpoint_length;
                }
            }
        }
        config.wTotalLength = static_cast<std::uint16_t>(total);
    }
}

DeviceModel root_hub_model(int bus_number) {
    DeviceModel model;
    model.bus_number = bus_number;
    model.address = 1;
    model.descriptor.bcdUSB = 0x0200;
    model.descriptor.bDeviceClass = 9;
    model.descriptor.bDeviceProtocol = 1;
    model.descriptor.bMaxPacketSize0 = 64;
    model.descriptor.idVendor = 0x1d6b;
    model.descriptor.idProduct = 0x0002;
    model.descriptor.bcdDevice = 0x0601;
    model.descriptor.iManufacturer = 3;
    model.descriptor.iProduct = 2;
    model.descriptor.iSerialNumber = 1;
    model.strings = {{1, "0000:00:1d.0"}, {2, "EHCI Host Controller"}, {3, "Linux xhci-hcd"}};
    ConfigurationModel configuration;
    configuration.descriptor.bConfigurationValue = 1;
    configuration.descriptor.bmAttributes = 0xE0;
    // The hub's status change endpoint.
    configuration.interfaces.push_back(interrupt_in_interface(9, 4, 12));
    model.configurations.push_back(configuration);
    complete_model(model);
    return model;
}

}  // namespace quillmar
