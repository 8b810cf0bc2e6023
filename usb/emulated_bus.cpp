#include "emulated_bus.h"

#include "rescan_count.h"

#include <algorithm>
#include <utility>

namespace quillmar {

namespace {

template <typename T>
UsbResult<const T*> element(const std::vector<T>& items, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= items.size()) {
        return UsbError::invalid;
    }
    return &items[static_cast<std::size_t>(index)];
}

UsbResult<const InterfaceModel::Setting*> setting_of(const DeviceModel& device, int config_index,
                                                     int interface_index, int alt_setting) {
    const auto configuration = element(device.configurations, config_index);
    if (!configuration) {
        return configuration.error();
    }
    const auto iface = element((*configuration)->interfaces, interface_index);
    if (!iface) {
        return iface.error();
    }
    return element((*iface)->settings, alt_setting);
}

// The failure set up for the next call, which it uses up; success when none is.
UsbResult<void> injected(std::optional<UsbError>& failure) {
    if (const auto error = std::exchange(failure, std::nullopt)) {
        return *error;
    }
    return {};
}

int number_of(DeviceHandle device) {
    return static_cast<int>(device);
}

// What the call log keeps of a result.
template <typename T>
int logged(const UsbResult<T>& result) {
    if (!result) {
        return error_code(result.error());
    }
    if constexpr (std::is_same_v<T, DeviceHandle>) {
        return number_of(*result);
    } else if constexpr (std::is_same_v<T, int>) {
        return *result;
    } else {
        return 0;
    }
}

}  // namespace

EmulatedBus::EmulatedBus(std::function<double()> clock, std::vector<DeviceModel> initial_devices)
    : clock(std::move(clock)) {
    for (auto& device : initial_devices) {
        plug(std::move(device));
    }
}

void EmulatedBus::plug(DeviceModel device) {
    const auto after = std::upper_bound(devices.begin(), devices.end(), device,
                                        [](const DeviceModel& a, const Plugged& b) {
                                            return std::pair(a.bus_number, a.address) <
                                                   std::pair(b.model.bus_number, b.model.address);
                                        });
    devices.insert(after, Plugged{next_device_id++, std::move(device)});
}

void EmulatedBus::unplug(std::uint16_t vendor_id, std::uint16_t product_id) {
    std::erase_if(devices, [&](const Plugged& device) {
        return device.model.descriptor.idVendor == vendor_id &&
               device.model.descriptor.idProduct == product_id;
    });
}

void EmulatedBus::fail_next_transfers(int count, int result) {
    failures_left = count;
    failure_result = result;
}

void EmulatedBus::fail_next_set_configuration(UsbError error) {
    set_configuration_failure = error;
}

void EmulatedBus::fail_next_claim_interface(UsbError error) {
    claim_failure = error;
}

void EmulatedBus::set_unreadable(std::uint16_t vendor_id, std::uint16_t product_id,
                                 bool unreadable) {
    if (unreadable) {
        unreadable_ids.insert({vendor_id, product_id});
    } else {
        unreadable_ids.erase({vendor_id, product_id});
    }
}

void EmulatedBus::on_transfer(std::function<void(const Transfer&)> observer) {
    observers.push_back(std::move(observer));
}

void EmulatedBus::clear_logs() {
    transfer_log.clear();
    call_log.clear();
}

int EmulatedBus::open_handle_count() const {
    return static_cast<int>(open_handles.size());
}

UsbResult<const DeviceModel*> EmulatedBus::device_of(DeviceHandle device) const {
    const auto open = open_handles.find(device);
    if (open == open_handles.end()) {
        return UsbError::no_device;
    }
    const auto plugged = std::find_if(devices.begin(), devices.end(),
                                      [&](const Plugged& p) { return p.id == open->second; });
    if (plugged == devices.end()) {
        return UsbError::no_device;
    }
    return &plugged->model;
}

UsbResult<const DeviceModel*> EmulatedBus::readable_device_of(DeviceHandle device) const {
    const auto model = device_of(device);
    if (model &&
        unreadable_ids.contains({(*model)->descriptor.idVendor, (*model)->descriptor.idProduct})) {
        return UsbError::io;
    }
    return model;
}

template <typename T>
UsbResult<T> EmulatedBus::log(const char* routine, std::vector<int> arguments,
                              UsbResult<T> result) {
    call_log.push_back(Call{routine, std::move(arguments), logged(result)});
    return result;
}

UsbResult<void> EmulatedBus::initialise() {
    return log<void>("initialise", {}, {});
}

void EmulatedBus::set_debug_level(int level) {
    debug = level;
    log<void>("set_debug_level", {level}, {});
}

int EmulatedBus::rescan_busses() {
    std::set<int> busses;
    for (const auto& device : devices) {
        busses.insert(device.model.bus_number);
    }
    return *log<int>("rescan_busses", {}, rescan_count(scanned_busses, std::move(busses)));
}

int EmulatedBus::rescan_devices() {
    std::set<int> present;
    for (const auto& device : devices) {
        present.insert(device.id);
    }
    return *log<int>("rescan_devices", {}, rescan_count(scanned_devices, std::move(present)));
}

DeviceHandle EmulatedBus::open_device(const Plugged& device) {
    const auto handle = static_cast<DeviceHandle>(next_handle++);
    open_handles.emplace(handle, device.id);
    return handle;
}

UsbResult<DeviceHandle> EmulatedBus::open_nth(int index) {
    // Devices this user may not open are not counted.
    int remaining = index;
    for (const auto& device : devices) {
        if (device.model.openable && remaining-- == 0) {
            return log<DeviceHandle>("open_nth", {index}, open_device(device));
        }
    }
    return log<DeviceHandle>("open_nth", {index}, UsbError::no_device);
}

UsbResult<DeviceHandle> EmulatedBus::open_first(std::uint16_t vendor_id, std::uint16_t product_id) {
    const std::vector<int> arguments{vendor_id, product_id};
    const auto match = std::find_if(devices.begin(), devices.end(), [&](const Plugged& device) {
        return device.model.descriptor.idVendor == vendor_id &&
               device.model.descriptor.idProduct == product_id;
    });
    if (match == devices.end()) {
        return log<DeviceHandle>("open_first", arguments, UsbError::no_device);
    }
    if (!match->model.openable) {
        return log<DeviceHandle>("open_first", arguments, UsbError::access);
    }
    return log<DeviceHandle>("open_first", arguments, open_device(*match));
}

UsbResult<void> EmulatedBus::close(DeviceHandle device) {
    // A handle of an unplugged device still closes: the caller lets go of what it held.
    return log<void>("close", {number_of(device)},
                     open_handles.erase(device) == 1 ? UsbResult<void>{} : UsbError::no_device);
}

// Not logged: like the number of open handles, it is no routine that reaches a device.
UsbResult<DeviceLocation> EmulatedBus::location(DeviceHandle device) {
    const auto model = device_of(device);
    if (!model) {
        return model.error();
    }
    return DeviceLocation{(*model)->bus_number, (*model)->address};
}

UsbResult<DeviceDescriptor> EmulatedBus::device_descriptor(DeviceHandle device) {
    const auto model = readable_device_of(device);
    return log<DeviceDescriptor>(
        "device_descriptor", {number_of(device)},
        model ? UsbResult<DeviceDescriptor>((*model)->descriptor) : model.error());
}

UsbResult<ConfigurationDescriptor> EmulatedBus::configuration_descriptor(DeviceHandle device,
                                                                         int config_index) {
    const std::vector<int> arguments{number_of(device), config_index};
    const auto model = readable_device_of(device);
    if (!model) {
        return log<ConfigurationDescriptor>("configuration_descriptor", arguments, model.error());
    }
    const auto configuration = element((*model)->configurations, config_index);
    return log<ConfigurationDescriptor>(
        "configuration_descriptor", arguments,
        configuration ? UsbResult<ConfigurationDescriptor>((*configuration)->descriptor)
                      : configuration.error());
}

UsbResult<InterfaceDescriptor> EmulatedBus::interface_descriptor(DeviceHandle device,
                                                                 int config_index,
                                                                 int interface_index,
                                                                 int alt_setting) {
    const std::vector<int> arguments{number_of(device), config_index, interface_index, alt_setting};
    const auto model = readable_device_of(device);
    if (!model) {
        return log<InterfaceDescriptor>("interface_descriptor", arguments, model.error());
    }
    const auto setting = setting_of(**model, config_index, interface_index, alt_setting);
    return log<InterfaceDescriptor>(
        "interface_descriptor", arguments,
        setting ? UsbResult<InterfaceDescriptor>((*setting)->descriptor) : setting.error());
}

UsbResult<EndpointDescriptor> EmulatedBus::endpoint_descriptor(DeviceHandle device,
                                                               int config_index,
                                                               int interface_index, int alt_setting,
                                                               int endpoint_index) {
    const std::vector<int> arguments{number_of(device), config_index, interface_index, alt_setting,
                                     endpoint_index};
    const auto model = readable_device_of(device);
    if (!model) {
        return log<EndpointDescriptor>("endpoint_descriptor", arguments, model.error());
    }
    const auto setting = setting_of(**model, config_index, interface_index, alt_setting);
    if (!setting) {
        return log<EndpointDescriptor>("endpoint_descriptor", arguments, setting.error());
    }
    const auto endpoint = element((*setting)->endpoints, endpoint_index);
    return log<EndpointDescriptor>(
        "endpoint_descriptor", arguments,
        endpoint ? UsbResult<EndpointDescriptor>(**endpoint) : endpoint.error());
}

UsbResult<std::string> EmulatedBus::string_descriptor(DeviceHandle device, int string_index) {
    const std::vector<int> arguments{number_of(device), string_index};
    const auto model = readable_device_of(device);
    if (!model) {
        return log<std::string>("string_descriptor", arguments, model.error());
    }
    const auto text = (*model)->strings.find(string_index);
    if (string_index == 0 || text == (*model)->strings.end()) {
        return log<std::string>("string_descriptor", arguments, UsbError::pipe);
    }
    return log<std::string>("string_descriptor", arguments, text->second);
}

UsbResult<void> EmulatedBus::set_configuration(DeviceHandle device, int configuration) {
    const auto model = device_of(device);
    return log<void>("set_configuration", {number_of(device), configuration},
                     model ? injected(set_configuration_failure) : model.error());
}

UsbResult<void> EmulatedBus::claim_interface(DeviceHandle device, int interface_number) {
    const auto model = device_of(device);
    return log<void>("claim_interface", {number_of(device), interface_number},
                     model ? injected(claim_failure) : model.error());
}

UsbResult<void> EmulatedBus::release_interface(DeviceHandle device, int interface_number) {
    const auto model = device_of(device);
    return log<void>("release_interface", {number_of(device), interface_number},
                     model ? UsbResult<void>{} : model.error());
}

UsbResult<void> EmulatedBus::reset(DeviceHandle device) {
    const auto model = device_of(device);
    return log<void>("reset", {number_of(device)}, model ? UsbResult<void>{} : model.error());
}

UsbResult<int> EmulatedBus::control_transfer(DeviceHandle device, ControlSetup setup,
                                             std::span<std::uint8_t> data,
                                             std::chrono::milliseconds timeout,
                                             const std::function<void(TransferStep)>& told) {
    const bool reached = device_of(device).ok();
    if (reached && told) {
        told(TransferStep::going);
    }
    // Stamped when the device has the request, which a test's clock may set later than `going`.
    Transfer transfer{device, setup, {data.begin(), data.end()}, timeout, 0, clock()};
    if (reached && told) {
        told(TransferStep::submitted);
    }
    if (!reached) {
        // Injected failures are kept for transfers that reach a device.
        transfer.result = error_code(UsbError::no_device);
    } else if (failures_left > 0) {
        --failures_left;
        transfer.result = failure_result;
    } else {
        transfer.result = static_cast<int>(data.size());
    }
    transfer_log.push_back(transfer);
    const UsbResult<int> result = transfer.result < 0
                                      ? UsbResult<int>(static_cast<UsbError>(transfer.result))
                                      : UsbResult<int>(transfer.result);
    log<int>("control_transfer",
             {number_of(device), setup.request_type, setup.request, setup.value, setup.index,
              static_cast<int>(data.size()), static_cast<int>(timeout.count())},
             result);
    if (reached) {
        for (const auto& observer : observers) {
            observer(transfer);
        }
    }
    return result;
}

}  // namespace quillmar
