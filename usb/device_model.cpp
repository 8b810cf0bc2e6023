#include "usb_device_model.h"

namespace quillmar {

namespace {

constexpr std::uint8_t device_length = 18;
constexpr std::uint8_t configuration_length = 9;
constexpr std::uint8_t interface_length = 9;
constexpr std::uint8_t endpoint_length = 7;

void put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

// An interface of the given class whose one endpoint is interrupt IN 0x81.
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

}  // namespace

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

std::vector<std::uint8_t> raw_configuration(const ConfigurationModel& configuration) {
    std::vector<std::uint8_t> out;
    const auto& c = configuration.descriptor;
    out.insert(out.end(), {c.bLength, c.bDescriptorType});
    put16(out, c.wTotalLength);
    out.insert(out.end(), {c.bNumInterfaces, c.bConfigurationValue, c.iConfiguration,
                           c.bmAttributes, c.MaxPower});
    for (const auto& iface : configuration.interfaces) {
        for (const auto& setting : iface.settings) {
            const auto& i = setting.descriptor;
            out.insert(out.end(), {i.bLength, i.bDescriptorType, i.bInterfaceNumber,
                                   i.bAlternateSetting, i.bNumEndpoints, i.bInterfaceClass,
                                   i.bInterfaceSubClass, i.bInterfaceProtocol, i.iInterface});
            for (const auto& e : setting.endpoints) {
                out.insert(out.end(),
                           {e.bLength, e.bDescriptorType, e.bEndpointAddress, e.bmAttributes});
                put16(out, e.wMaxPacketSize);
                out.push_back(e.bInterval);
            }
        }
    }
    return out;
}

std::vector<std::uint8_t> raw_descriptors(const DeviceModel& model) {
    std::vector<std::uint8_t> out;
    const auto& d = model.descriptor;
    out.insert(out.end(), {d.bLength, d.bDescriptorType});
    put16(out, d.bcdUSB);
    out.insert(out.end(),
               {d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0});
    put16(out, d.idVendor);
    put16(out, d.idProduct);
    put16(out, d.bcdDevice);
    out.insert(out.end(), {d.iManufacturer, d.iProduct, d.iSerialNumber, d.bNumConfigurations});
    for (const auto& configuration : model.configurations) {
        const auto bytes = raw_configuration(configuration);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

}  // namespace quillmar
