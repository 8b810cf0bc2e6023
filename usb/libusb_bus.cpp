#include "libusb_bus.h"

#include "rescan_count.h"

#include <libusb.h>

#include <algorithm>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace quillmar {

namespace {

// libusb's codes as the negated errno of the cause. "Not found" (an interface that is not
// there or not claimed) has no code of its own in the program's list; it reads as no device.
UsbError error_of(int code) {
    switch (code) {
        case LIBUSB_ERROR_TIMEOUT:
            return UsbError::timeout;
        case LIBUSB_ERROR_NO_DEVICE:
        case LIBUSB_ERROR_NOT_FOUND:
            return UsbError::no_device;
        case LIBUSB_ERROR_PIPE:
            return UsbError::pipe;
        case LIBUSB_ERROR_ACCESS:
            return UsbError::access;
        case LIBUSB_ERROR_BUSY:
            return UsbError::busy;
        case LIBUSB_ERROR_INVALID_PARAM:
            return UsbError::invalid;
        case LIBUSB_ERROR_OVERFLOW:
            return UsbError::overflow;
        default:
            return UsbError::io;
    }
}

// How a transfer that did not complete ended, as the code libusb's synchronous calls give.
int code_of(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
        default:
            return LIBUSB_ERROR_IO;
    }
}

UsbResult<void> status_of(int code) {
    if (code < 0) {
        return error_of(code);
    }
    return {};
}

int log_level(int level) {
    if (level <= 0) {
        return LIBUSB_LOG_LEVEL_NONE;
    }
    if (level == 1) {
        return LIBUSB_LOG_LEVEL_ERROR;
    }
    if (level == 2) {
        return LIBUSB_LOG_LEVEL_WARNING;
    }
    return LIBUSB_LOG_LEVEL_INFO;
}

bool is_byte(int value) {
    return value >= 0 && value <= 0xFF;
}

// libusb's current device list, each device referenced while the list lives, in bus and
// address order.
class DeviceList {
  public:
    explicit DeviceList(libusb_context* context) {
        const auto count = libusb_get_device_list(context, &raw);
        if (count < 0) {
            raw = nullptr;
            return;
        }
        sorted.assign(raw, raw + count);
        std::sort(sorted.begin(), sorted.end(), [](libusb_device* a, libusb_device* b) {
            const auto bus_a = libusb_get_bus_number(a);
            const auto bus_b = libusb_get_bus_number(b);
            if (bus_a != bus_b) {
                return bus_a < bus_b;
            }
            return libusb_get_device_address(a) < libusb_get_device_address(b);
        });
    }
    ~DeviceList() {
        if (raw != nullptr) {
            libusb_free_device_list(raw, 1);
        }
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    const std::vector<libusb_device*>& devices() const { return sorted; }

  private:
    libusb_device** raw = nullptr;
    std::vector<libusb_device*> sorted;
};

// A device as the rescan counts tell devices apart: bus, address, then the port path.
using DeviceKey = std::vector<int>;

DeviceKey key_of(libusb_device* device) {
    DeviceKey key{libusb_get_bus_number(device), libusb_get_device_address(device)};
    std::uint8_t ports[8] = {};
    const int depth = libusb_get_port_numbers(device, ports, static_cast<int>(std::size(ports)));
    for (int i = 0; i < depth; ++i) {
        key.push_back(ports[i]);
    }
    return key;
}

struct ConfigDeleter {
    void operator()(libusb_config_descriptor* config) const {
        libusb_free_config_descriptor(config);
    }
};
using ConfigPointer = std::unique_ptr<libusb_config_descriptor, ConfigDeleter>;

// The alternate setting, or none when it is not there. libusb can hand back counts whose
// arrays are missing (a device whose descriptors stop short), so no count is trusted without
// its array.
const libusb_interface_descriptor* find_setting(const libusb_config_descriptor* config,
                                                int interface_index, int alt_setting) {
    if (config->interface == nullptr || interface_index < 0 ||
        interface_index >= config->bNumInterfaces || alt_setting < 0) {
        return nullptr;
    }
    const auto& iface = config->interface[interface_index];
    if (iface.altsetting == nullptr || alt_setting >= iface.num_altsetting) {
        return nullptr;
    }
    return &iface.altsetting[alt_setting];
}

}  // namespace

struct LibusbBus::State {
    std::chrono::milliseconds start_limit;
    libusb_context* context = nullptr;
    int init_result = LIBUSB_SUCCESS;
    bool start_stalled = false;
    int debug_level = LIBUSB_LOG_LEVEL_NONE;
    std::map<DeviceHandle, libusb_device_handle*> handles;
    int next_handle = 1;
    std::set<int> known_busses;
    std::set<DeviceKey> known_devices;

    libusb_device_handle* find(DeviceHandle device) const {
        const auto it = handles.find(device);
        return it == handles.end() ? nullptr : it->second;
    }

    // A request to an open device that gives nothing back but libusb's code.
    template <typename Request>
    UsbResult<void> request(DeviceHandle device, Request request) const {
        auto* opened = find(device);
        if (opened == nullptr) {
            return UsbError::no_device;
        }
        return status_of(request(opened));
    }

    DeviceHandle add(libusb_device_handle* opened) {
        const auto device = static_cast<DeviceHandle>(next_handle++);
        handles.emplace(device, opened);
        return device;
    }

    UsbResult<ConfigPointer> config(DeviceHandle device, int config_index) const {
        auto* opened = find(device);
        if (opened == nullptr) {
            return UsbError::no_device;
        }
        if (!is_byte(config_index)) {
            return UsbError::invalid;
        }
        libusb_config_descriptor* config = nullptr;
        const int result = libusb_get_config_descriptor(
            libusb_get_device(opened), static_cast<std::uint8_t>(config_index), &config);
        if (result != LIBUSB_SUCCESS) {
            return error_of(result);
        }
        return ConfigPointer(config);
    }
};

LibusbBus::LibusbBus(std::chrono::milliseconds start_limit) : state(std::make_unique<State>()) {
    state->start_limit = start_limit;
}

LibusbBus::~LibusbBus() {
    for (const auto& [device, opened] : state->handles) {
        libusb_close(opened);
    }
    state->handles.clear();
    if (state->context != nullptr) {
        libusb_exit(state->context);
    }
}

QString LibusbBus::init_error_text() const {
    if (state->start_stalled) {
        return QStringLiteral(
                   "libusb did not finish reading the USB devices within %1 seconds. A device "
                   "with faulty descriptors can cause this: unplug the USB device you plugged in "
                   "last and start Quillmar again.")
            .arg(static_cast<double>(state->start_limit.count()) / 1000.0);
    }
    if (state->init_result == LIBUSB_SUCCESS) {
        return {};
    }
    return QString::fromUtf8(libusb_strerror(state->init_result));
}

UsbResult<void> LibusbBus::initialise() {
    if (state->context != nullptr) {
        return {};
    }
    if (state->start_stalled) {
        return UsbError::timeout;
    }
    // libusb starts on a thread of its own, so that a start that never ends can be told to the
    // user instead of keeping the window from ever showing. Nothing can stop such a thread: it
    // is left behind, and the program is expected to end.
    struct Start {
        libusb_context* context = nullptr;
        int result = LIBUSB_SUCCESS;
    };
    std::promise<Start> promise;
    std::future<Start> started = promise.get_future();
    std::thread([promise = std::move(promise)]() mutable {
        Start start;
        start.result = libusb_init(&start.context);
        promise.set_value(start);
    }).detach();
    if (started.wait_for(state->start_limit) != std::future_status::ready) {
        state->start_stalled = true;
        state->init_result = LIBUSB_ERROR_TIMEOUT;
        return UsbError::timeout;
    }
    const Start start = started.get();
    state->init_result = start.result;
    if (state->init_result != LIBUSB_SUCCESS) {
        return error_of(state->init_result);
    }
    state->context = start.context;
    libusb_set_option(state->context, LIBUSB_OPTION_LOG_LEVEL, state->debug_level);
    return {};
}

void LibusbBus::set_debug_level(int level) {
    state->debug_level = log_level(level);
    if (state->context != nullptr) {
        libusb_set_option(state->context, LIBUSB_OPTION_LOG_LEVEL, state->debug_level);
    }
}

int LibusbBus::rescan_busses() {
    if (state->context == nullptr) {
        return 0;
    }
    const DeviceList list(state->context);
    std::set<int> busses;
    for (auto* device : list.devices()) {
        busses.insert(libusb_get_bus_number(device));
    }
    return rescan_count(state->known_busses, std::move(busses));
}

int LibusbBus::rescan_devices() {
    if (state->context == nullptr) {
        return 0;
    }
    const DeviceList list(state->context);
    std::set<DeviceKey> devices;
    for (auto* device : list.devices()) {
        devices.insert(key_of(device));
    }
    return rescan_count(state->known_devices, std::move(devices));
}

UsbResult<DeviceHandle> LibusbBus::open_nth(int index) {
    if (state->context == nullptr || index < 0) {
        return UsbError::no_device;
    }
    const DeviceList list(state->context);
    int counted = 0;
    for (auto* device : list.devices()) {
        libusb_device_handle* opened = nullptr;
        if (libusb_open(device, &opened) != LIBUSB_SUCCESS) {
            continue;
        }
        if (counted++ < index) {
            libusb_close(opened);
            continue;
        }
        return state->add(opened);
    }
    return UsbError::no_device;
}

UsbResult<DeviceHandle> LibusbBus::open_first(std::uint16_t vendor_id, std::uint16_t product_id) {
    if (state->context == nullptr) {
        return UsbError::no_device;
    }
    const DeviceList list(state->context);
    for (auto* device : list.devices()) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS ||
            descriptor.idVendor != vendor_id || descriptor.idProduct != product_id) {
            continue;
        }
        libusb_device_handle* opened = nullptr;
        const int result = libusb_open(device, &opened);
        if (result != LIBUSB_SUCCESS) {
            return error_of(result);
        }
        return state->add(opened);
    }
    return UsbError::no_device;
}

UsbResult<void> LibusbBus::close(DeviceHandle device) {
    auto* opened = state->find(device);
    if (opened == nullptr) {
        return UsbError::no_device;
    }
    state->handles.erase(device);
    libusb_close(opened);
    return {};
}

UsbResult<DeviceLocation> LibusbBus::location(DeviceHandle device) {
    auto* opened = state->find(device);
    if (opened == nullptr) {
        return UsbError::no_device;
    }
    auto* found = libusb_get_device(opened);
    return DeviceLocation{libusb_get_bus_number(found), libusb_get_device_address(found)};
}

int LibusbBus::open_handle_count() const {
    return static_cast<int>(state->handles.size());
}

UsbResult<DeviceDescriptor> LibusbBus::device_descriptor(DeviceHandle device) {
    auto* opened = state->find(device);
    if (opened == nullptr) {
        return UsbError::no_device;
    }
    libusb_device_descriptor d{};
    if (const int result = libusb_get_device_descriptor(libusb_get_device(opened), &d);
        result != LIBUSB_SUCCESS) {
        return error_of(result);
    }
    return DeviceDescriptor{d.bLength,         d.bDescriptorType,   d.bcdUSB,
                            d.bDeviceClass,    d.bDeviceSubClass,   d.bDeviceProtocol,
                            d.bMaxPacketSize0, d.idVendor,          d.idProduct,
                            d.bcdDevice,       d.iManufacturer,     d.iProduct,
                            d.iSerialNumber,   d.bNumConfigurations};
}

UsbResult<ConfigurationDescriptor> LibusbBus::configuration_descriptor(DeviceHandle device,
                                                                       int config_index) {
    const auto config = state->config(device, config_index);
    if (!config) {
        return config.error();
    }
    const auto& c = *config.value();
    return ConfigurationDescriptor{c.bLength,
                                   c.bDescriptorType,
                                   c.wTotalLength,
                                   c.bNumInterfaces,
                                   c.bConfigurationValue,
                                   c.iConfiguration,
                                   c.bmAttributes,
                                   c.MaxPower};
}

UsbResult<InterfaceDescriptor> LibusbBus::interface_descriptor(DeviceHandle device,
                                                               int config_index,
                                                               int interface_index,
                                                               int alt_setting) {
    const auto config = state->config(device, config_index);
    if (!config) {
        return config.error();
    }
    const auto* setting = find_setting(config->get(), interface_index, alt_setting);
    if (setting == nullptr) {
        return UsbError::invalid;
    }
    return InterfaceDescriptor{setting->bLength,
                               setting->bDescriptorType,
                               setting->bInterfaceNumber,
                               setting->bAlternateSetting,
                               setting->bNumEndpoints,
                               setting->bInterfaceClass,
                               setting->bInterfaceSubClass,
                               setting->bInterfaceProtocol,
                               setting->iInterface};
}

UsbResult<EndpointDescriptor> LibusbBus::endpoint_descriptor(DeviceHandle device, int config_index,
                                                             int interface_index, int alt_setting,
                                                             int endpoint_index) {
    const auto config = state->config(device, config_index);
    if (!config) {
        return config.error();
    }
    const auto* setting = find_setting(config->get(), interface_index, alt_setting);
    if (setting == nullptr || setting->endpoint == nullptr || endpoint_index < 0 ||
        endpoint_index >= setting->bNumEndpoints) {
        return UsbError::invalid;
    }
    const auto& e = setting->endpoint[endpoint_index];
    return EndpointDescriptor{e.bLength,      e.bDescriptorType, e.bEndpointAddress,
                              e.bmAttributes, e.wMaxPacketSize,  e.bInterval,
                              e.bRefresh,     e.bSynchAddress};
}

UsbResult<std::string> LibusbBus::string_descriptor(DeviceHandle device, int string_index) {
    auto* opened = state->find(device);
    if (opened == nullptr) {
        return UsbError::no_device;
    }
    // String index 0 is the language list, not a string.
    if (string_index <= 0 || !is_byte(string_index)) {
        return UsbError::invalid;
    }
    // The descriptor holds UTF-16: characters up to 0xFF are kept as 8-bit characters, the rest
    // become '?'. The first language the device offers is asked for.
    unsigned char raw[255];
    const int languages = libusb_get_string_descriptor(opened, 0, 0, raw, sizeof raw);
    if (languages < 0) {
        return error_of(languages);
    }
    if (languages < 4) {
        return UsbError::io;
    }
    const auto language = static_cast<std::uint16_t>(raw[2] | (raw[3] << 8));
    const int received = libusb_get_string_descriptor(
        opened, static_cast<std::uint8_t>(string_index), language, raw, sizeof raw);
    if (received < 0) {
        return error_of(received);
    }
    if (received < 2 || raw[1] != LIBUSB_DT_STRING) {
        return UsbError::io;
    }
    const int length = std::min(received, static_cast<int>(raw[0]));
    std::string text;
    for (int at = 2; at + 1 < length; at += 2) {
        text += raw[at + 1] != 0 ? '?' : static_cast<char>(raw[at]);
    }
    return text;
}

UsbResult<void> LibusbBus::set_configuration(DeviceHandle device, int configuration) {
    return state->request(device, [configuration](libusb_device_handle* opened) {
        return libusb_set_configuration(opened, configuration);
    });
}

UsbResult<void> LibusbBus::claim_interface(DeviceHandle device, int interface_number) {
    return state->request(device, [interface_number](libusb_device_handle* opened) {
        return libusb_claim_interface(opened, interface_number);
    });
}

UsbResult<void> LibusbBus::release_interface(DeviceHandle device, int interface_number) {
    return state->request(device, [interface_number](libusb_device_handle* opened) {
        return libusb_release_interface(opened, interface_number);
    });
}

UsbResult<void> LibusbBus::reset(DeviceHandle device) {
    return state->request(device, libusb_reset_device);
}

UsbResult<int> LibusbBus::control_transfer(DeviceHandle device, ControlSetup setup,
                                           std::span<std::uint8_t> data,
                                           std::chrono::milliseconds timeout,
                                           const std::function<void(TransferStep)>& told) {
    auto* opened = state->find(device);
    if (opened == nullptr) {
        return UsbError::no_device;
    }
    if (data.size() > 0xFFFF || timeout.count() < 0) {
        return UsbError::invalid;
    }
    // libusb's own synchronous transfer, written out so that the caller hears the moment the
    // request is submitted: a movement is timed from then, not from the answer's return.
    std::vector<unsigned char> buffer(LIBUSB_CONTROL_SETUP_SIZE + data.size());
    libusb_fill_control_setup(buffer.data(), setup.request_type, setup.request, setup.value,
                              setup.index, static_cast<std::uint16_t>(data.size()));
    const bool to_device = (setup.request_type & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_OUT;
    if (to_device) {
        std::copy(data.begin(), data.end(), buffer.begin() + LIBUSB_CONTROL_SETUP_SIZE);
    }
    const std::unique_ptr<libusb_transfer, decltype(&libusb_free_transfer)> transfer(
        libusb_alloc_transfer(0), &libusb_free_transfer);
    if (!transfer) {
        return UsbError::io;
    }
    int completed = 0;
    libusb_fill_control_transfer(
        transfer.get(), opened, buffer.data(),
        [](libusb_transfer* done) { *static_cast<int*>(done->user_data) = 1; }, &completed,
        static_cast<unsigned int>(timeout.count()));
    if (told) {
        told(TransferStep::going);
    }
    if (const int submitted = libusb_submit_transfer(transfer.get()); submitted < 0) {
        return error_of(submitted);
    }
    if (told) {
        told(TransferStep::submitted);
    }
    while (completed == 0) {
        const int handled = libusb_handle_events_completed(state->context, &completed);
        if (handled < 0 && handled != LIBUSB_ERROR_INTERRUPTED) {
            // The transfer may not outlive its buffer: it is called off, and its end awaited.
            libusb_cancel_transfer(transfer.get());
        }
    }
    if (transfer->status != LIBUSB_TRANSFER_COMPLETED) {
        return error_of(code_of(transfer->status));
    }
    if (!to_device) {
        std::copy_n(libusb_control_transfer_get_data(transfer.get()), transfer->actual_length,
                    data.begin());
    }
    return transfer->actual_length;
}

}  // namespace quillmar
