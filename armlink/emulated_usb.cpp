#include "emulated_usb.h"

#include "rescan_count.h"

#include <algorithm>
#include <cstring>

namespace quillmar {

namespace {

// What the getters return when they fill a record: the record's size in bytes.
constexpr int device_record_size = 18;
constexpr int configuration_record_size = 9;
constexpr int interface_record_size = 9;
constexpr int endpoint_record_size = 9;

template <typename T>
const T* element(const std::vector<T>& items, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= items.size()) {
        return nullptr;
    }
    return &items[static_cast<std::size_t>(index)];
}

const InterfaceModel::Setting* setting_of(const DeviceModel& device, int config_index,
                                          int interface_index, int alt_setting) {
    const auto* configuration = element(device.configurations, config_index);
    if (configuration == nullptr) {
        return nullptr;
    }
    const auto* iface = element(configuration->interfaces, interface_index);
    return iface == nullptr ? nullptr : element(iface->settings, alt_setting);
}

}  // namespace

EmulatedUsb::EmulatedUsb(std::function<double()> clock, std::vector<DeviceModel> initial_devices)
    : clock(std::move(clock)) {
    for (auto& device : initial_devices) {
        plug(std::move(device));
    }
}

std::vector<DeviceModel> EmulatedUsb::hub_and_arm() {
    return {root_hub_model(1), arm_device_model(1, 2)};
}

void EmulatedUsb::plug(DeviceModel device) {
    const auto after = std::upper_bound(devices.begin(), devices.end(), device,
                                        [](const DeviceModel& a, const Plugged& b) {
                                            return std::pair(a.bus_number, a.address) <
                                                   std::pair(b.model.bus_number, b.model.address);
                                        });
    devices.insert(after, Plugged{next_device_id++, std::move(device)});
}

void EmulatedUsb::unplug(std::uint16_t vendor_id, std::uint16_t product_id) {
    std::erase_if(devices, [&](const Plugged& device) {
        return device.model.descriptor.idVendor == vendor_id &&
               device.model.descriptor.idProduct == product_id;
    });
}

void EmulatedUsb::fail_next_transfers(int count, int result) {
    failures_left = count;
    failure_result = result;
}

void EmulatedUsb::fail_next_set_configuration(int result) {
    set_configuration_failure = result;
}

void EmulatedUsb::fail_next_claim_interface(int result) {
    claim_failure = result;
}

void EmulatedUsb::set_unreadable(std::uint16_t vendor_id, std::uint16_t product_id,
                                 bool unreadable) {
    if (unreadable) {
        unreadable_ids.insert({vendor_id, product_id});
    } else {
        unreadable_ids.erase({vendor_id, product_id});
    }
}

void EmulatedUsb::on_transfer(std::function<void(const Transfer&)> observer) {
    observers.push_back(std::move(observer));
}

void EmulatedUsb::clear_logs() {
    transfer_log.clear();
    call_log.clear();
}

int EmulatedUsb::open_handle_count() const {
    return static_cast<int>(open_handles.size());
}

const DeviceModel* EmulatedUsb::device_of(int handle) const {
    const auto open = open_handles.find(handle);
    if (open == open_handles.end()) {
        return nullptr;
    }
    const auto device = std::find_if(devices.begin(), devices.end(), [&](const Plugged& plugged) {
        return plugged.id == open->second;
    });
    return device == devices.end() ? nullptr : &device->model;
}

const DeviceModel* EmulatedUsb::readable_device_of(int handle) const {
    const auto* device = device_of(handle);
    if (device == nullptr ||
        unreadable_ids.contains({device->descriptor.idVendor, device->descriptor.idProduct})) {
        return nullptr;
    }
    return device;
}

int EmulatedUsb::log(const char* routine, std::vector<int> arguments, int result) {
    call_log.push_back(Call{routine, std::move(arguments), result});
    return result;
}

int EmulatedUsb::vb_usb_init() {
    return log("vb_usb_init", {}, 0);
}

void EmulatedUsb::vb_usb_set_debug(int level) {
    debug = level;
    log("vb_usb_set_debug", {level}, 0);
}

int EmulatedUsb::usb_find_busses() {
    std::set<int> busses;
    for (const auto& device : devices) {
        busses.insert(device.model.bus_number);
    }
    return log("usb_find_busses", {}, rescan_count(scanned_busses, std::move(busses)));
}

int EmulatedUsb::usb_find_devices() {
    std::set<int> present;
    for (const auto& device : devices) {
        present.insert(device.id);
    }
    return log("usb_find_devices", {}, rescan_count(scanned_devices, std::move(present)));
}

int EmulatedUsb::open_device(const Plugged& device) {
    const int handle = next_handle++;
    open_handles.emplace(handle, device.id);
    open_error = 0;
    return handle;
}

int EmulatedUsb::vb_usb_open(int index, int vendor_id, int product_id) {
    const std::vector<int> arguments{index, vendor_id, product_id};
    open_error = usb_error::no_device;
    if (vendor_id == -1 && product_id == -1) {
        // The n-th device this user may open: devices without access are not counted.
        int remaining = index;
        for (const auto& device : devices) {
            if (device.model.openable && remaining-- == 0) {
                return log("vb_usb_open", arguments, open_device(device));
            }
        }
        return log("vb_usb_open", arguments, 0);
    }
    const auto match = std::find_if(devices.begin(), devices.end(), [&](const Plugged& device) {
        return device.model.descriptor.idVendor == vendor_id &&
               device.model.descriptor.idProduct == product_id;
    });
    if (match == devices.end()) {
        return log("vb_usb_open", arguments, 0);
    }
    if (!match->model.openable) {
        open_error = usb_error::access;
        return log("vb_usb_open", arguments, 0);
    }
    return log("vb_usb_open", arguments, open_device(*match));
}

int EmulatedUsb::last_open_error() const {
    return open_error;
}

int EmulatedUsb::vb_usb_close(int handle) {
    // A handle of an unplugged device still closes: the caller lets go of what it held.
    return log("vb_usb_close", {handle},
               open_handles.erase(handle) == 1 ? 0 : usb_error::no_device);
}

int EmulatedUsb::vb_usb_get_device_descriptor(int handle, DeviceDescriptor& record) {
    const auto* device = readable_device_of(handle);
    if (device == nullptr) {
        return log("vb_usb_get_device_descriptor", {handle}, 0);
    }
    record = device->descriptor;
    return log("vb_usb_get_device_descriptor", {handle}, device_record_size);
}

int EmulatedUsb::vb_usb_get_configuration_descriptor(int handle, int config_index,
                                                     ConfigurationDescriptor& record) {
    const std::vector<int> arguments{handle, config_index};
    const auto* device = readable_device_of(handle);
    const auto* configuration =
        device == nullptr ? nullptr : element(device->configurations, config_index);
    if (configuration == nullptr) {
        return log("vb_usb_get_configuration_descriptor", arguments, 0);
    }
    record = configuration->descriptor;
    return log("vb_usb_get_configuration_descriptor", arguments, configuration_record_size);
}

int EmulatedUsb::vb_usb_get_interface_descriptor(int handle, int config_index, int interface_index,
                                                 int alt_setting, InterfaceDescriptor& record) {
    const std::vector<int> arguments{handle, config_index, interface_index, alt_setting};
    const auto* device = readable_device_of(handle);
    const auto* setting = device == nullptr
                              ? nullptr
                              : setting_of(*device, config_index, interface_index, alt_setting);
    if (setting == nullptr) {
        return log("vb_usb_get_interface_descriptor", arguments, 0);
    }
    record = setting->descriptor;
    return log("vb_usb_get_interface_descriptor", arguments, interface_record_size);
}

int EmulatedUsb::vb_usb_get_endpoint_descriptor(int handle, int config_index, int interface_index,
                                                int alt_setting, int endpoint_index,
                                                EndpointDescriptor& record) {
    const std::vector<int> arguments{handle, config_index, interface_index, alt_setting,
                                     endpoint_index};
    const auto* device = readable_device_of(handle);
    const auto* setting = device == nullptr
                              ? nullptr
                              : setting_of(*device, config_index, interface_index, alt_setting);
    const auto* endpoint =
        setting == nullptr ? nullptr : element(setting->endpoints, endpoint_index);
    if (endpoint == nullptr) {
        return log("vb_usb_get_endpoint_descriptor", arguments, 0);
    }
    record = *endpoint;
    return log("vb_usb_get_endpoint_descriptor", arguments, endpoint_record_size);
}

int EmulatedUsb::vb_usb_get_string_simple(int handle, int string_index, char* buffer,
                                          int buffer_length) {
    const std::vector<int> arguments{handle, string_index, buffer_length};
    const auto* device = readable_device_of(handle);
    if (device == nullptr || string_index == 0 || buffer == nullptr || buffer_length < 1) {
        return log("vb_usb_get_string_simple", arguments, 0);
    }
    const auto text = device->strings.find(string_index);
    if (text == device->strings.end()) {
        return log("vb_usb_get_string_simple", arguments, 0);
    }
    const auto length = std::min(text->second.size(), static_cast<std::size_t>(buffer_length - 1));
    std::memcpy(buffer, text->second.data(), length);
    buffer[length] = '\0';
    return log("vb_usb_get_string_simple", arguments, static_cast<int>(length));
}

int EmulatedUsb::vb_usb_set_configuration(int handle, int configuration) {
    return log("vb_usb_set_configuration", {handle, configuration},
               device_of(handle) == nullptr ? usb_error::no_device
                                            : std::exchange(set_configuration_failure, 0));
}

int EmulatedUsb::vb_usb_claim_interface(int handle, int interface_number) {
    return log(
        "vb_usb_claim_interface", {handle, interface_number},
        device_of(handle) == nullptr ? usb_error::no_device : std::exchange(claim_failure, 0));
}

int EmulatedUsb::vb_usb_release_interface(int handle, int interface_number) {
    return log("vb_usb_release_interface", {handle, interface_number},
               device_of(handle) == nullptr ? usb_error::no_device : 0);
}

int EmulatedUsb::vb_usb_reset(int handle) {
    return log("vb_usb_reset", {handle}, device_of(handle) == nullptr ? usb_error::no_device : 0);
}

int EmulatedUsb::vb_usb_control_msg(int handle, int request_type, int request, int value, int index,
                                    char* bytes, int size, int timeout_ms) {
    Transfer transfer{handle, request_type, request, value, index, {}, timeout_ms, 0, clock()};
    if (bytes != nullptr && size > 0) {
        const auto* first = reinterpret_cast<const std::uint8_t*>(bytes);
        transfer.data.assign(first, first + size);
    }
    const bool reached = device_of(handle) != nullptr;
    if (!reached) {
        // Injected failures are kept for transfers that reach a device.
        transfer.result = usb_error::no_device;
    } else if (failures_left > 0) {
        --failures_left;
        transfer.result = failure_result;
    } else {
        transfer.result = size;
    }
    transfer_log.push_back(transfer);
    log("vb_usb_control_msg", {handle, request_type, request, value, index, size, timeout_ms},
        transfer.result);
    if (reached) {
        for (const auto& observer : observers) {
            observer(transfer);
        }
    }
    return transfer.result;
}

}  // namespace quillmar
