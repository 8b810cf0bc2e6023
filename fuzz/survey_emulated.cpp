// Fuzz target: the device survey over the in-memory bus, with devices whose descriptor fields,
// counts and strings are whatever the input says (counts need not agree with the parts).
#include <QStringList>
#include <algorithm>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "survey/device_survey.h"
#include "usb/emulated_bus.h"

using quillmar::fuzz::ByteReader;
using quillmar::fuzz::require;

namespace {

using namespace quillmar;

EndpointDescriptor endpoint_from(ByteReader& in) {
    EndpointDescriptor e;
    e.bLength = in.byte();
    e.bDescriptorType = in.byte();
    e.bEndpointAddress = in.byte();
    e.bmAttributes = in.byte();
    e.wMaxPacketSize = in.word();
    e.bInterval = in.byte();
    e.bRefresh = in.byte();
    e.bSynchAddress = in.byte();
    return e;
}

InterfaceModel interface_from(ByteReader& in) {
    InterfaceModel iface;
    iface.settings.resize(in.byte() % 3);
    for (auto& setting : iface.settings) {
        auto& i = setting.descriptor;
        i.bLength = in.byte();
        i.bDescriptorType = in.byte();
        i.bInterfaceNumber = in.byte();
        i.bAlternateSetting = in.byte();
        i.bNumEndpoints = in.byte() % 5;
        i.bInterfaceClass = in.byte();
        i.bInterfaceSubClass = in.byte();
        i.bInterfaceProtocol = in.byte();
        i.iInterface = in.byte();
        setting.endpoints.resize(in.byte() % 4);
        for (auto& endpoint : setting.endpoints) {
            endpoint = endpoint_from(in);
        }
    }
    return iface;
}

ConfigurationModel configuration_from(ByteReader& in) {
    ConfigurationModel configuration;
    auto& c = configuration.descriptor;
    c.bLength = in.byte();
    c.bDescriptorType = in.byte();
    c.wTotalLength = in.word();
    c.bNumInterfaces = in.byte() % 5;
    c.bConfigurationValue = in.byte();
    c.iConfiguration = in.byte();
    c.bmAttributes = in.byte();
    c.MaxPower = in.byte();
    configuration.interfaces.resize(in.byte() % 4);
    for (auto& iface : configuration.interfaces) {
        iface = interface_from(in);
    }
    return configuration;
}

DeviceModel device_from(ByteReader& in) {
    DeviceModel model;
    model.bus_number = 1 + in.byte() % 2;
    model.address = 1 + in.byte() % 127;
    model.openable = in.byte() % 8 != 0;
    auto& d = model.descriptor;
    d.bcdUSB = in.word();
    d.bDeviceClass = in.byte();
    d.bDeviceSubClass = in.byte();
    d.bDeviceProtocol = in.byte();
    d.bMaxPacketSize0 = in.byte();
    d.idVendor = in.word();
    d.idProduct = in.word();
    d.bcdDevice = in.word();
    d.iManufacturer = in.byte() % 8;
    d.iProduct = in.byte() % 8;
    d.iSerialNumber = in.byte() % 8;
    d.bNumConfigurations = in.byte() % 5;
    model.configurations.resize(in.byte() % 4);
    for (auto& configuration : model.configurations) {
        configuration = configuration_from(in);
    }
    for (int count = in.byte() % 5; count > 0; --count) {
        const int index = in.byte() % 8;
        model.strings[index] = in.text(in.byte());
    }
    return model;
}

// The report's line count that the devices imply, walked over the models themselves: the
// survey keeps its configuration and interface records from device to device.
class ExpectedLines {
  public:
    int of(const std::vector<DeviceModel>& devices) {
        int lines = 3;
        for (const auto& device : devices) {
            if (device.openable) {
                lines += of_device(device);
            }
        }
        return lines;
    }

  private:
    template <typename T>
    static const T* at(const std::vector<T>& items, int index) {
        return index < static_cast<int>(items.size()) ? &items[static_cast<std::size_t>(index)]
                                                      : nullptr;
    }

    int of_device(const DeviceModel& device) {
        const auto& d = device.descriptor;
        int lines = 6;
        for (const int index : {d.iManufacturer, d.iProduct, d.iSerialNumber}) {
            const auto text = device.strings.find(index);
            lines += index == 0 || (text != device.strings.end() && !text->second.empty()) ? 1 : 0;
        }
        for (int c = 0; c < d.bNumConfigurations; ++c) {
            if (const auto* configuration = at(device.configurations, c)) {
                lines += 7;
                interfaces = configuration->descriptor.bNumInterfaces;
            }
            for (int i = 0; i < interfaces; ++i) {
                const auto* configuration = at(device.configurations, c);
                const auto* iface =
                    configuration == nullptr ? nullptr : at(configuration->interfaces, i);
                for (int alt = 0;
                     iface != nullptr && alt < static_cast<int>(iface->settings.size()); ++alt) {
                    const auto& setting = iface->settings[static_cast<std::size_t>(alt)];
                    lines += 7;
                    for (int e = 0; e < setting.descriptor.bNumEndpoints; ++e) {
                        lines += at(setting.endpoints, e) != nullptr ? 7 : 0;
                    }
                }
            }
        }
        return lines;
    }

    int interfaces = 0;
};

bool visible(QChar c) {
    return c.unicode() >= 0x20 && (c.unicode() < 0x7F || c.unicode() > 0x9F);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteReader in(data, size);
    std::vector<DeviceModel> devices(in.byte() % 4);
    for (auto& device : devices) {
        device = device_from(in);
    }
    EmulatedBus usb([] { return 0.0; }, devices);
    const QString report = DeviceSurvey(usb).list_devices().join(QStringLiteral("\r\n"));
    require(usb.open_handle_count() == 0, "the survey closes every handle");

    // The bus orders its devices by bus and address, keeping the plug order among equals.
    std::stable_sort(devices.begin(), devices.end(), [](const auto& a, const auto& b) {
        return std::pair(a.bus_number, a.address) < std::pair(b.bus_number, b.address);
    });
    const QStringList lines = report.split(QStringLiteral("\r\n"));
    require(lines.size() == ExpectedLines().of(devices), "the lines the devices imply");
    for (const QString& line : lines) {
        require(std::all_of(line.begin(), line.end(), visible),
                "no control character within a line");
    }
    return 0;
}
