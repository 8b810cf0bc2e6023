#include "libusb_access.h"

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
int mapped_error(int code) {
    switch (code) {
        case LIBUSB_ERROR_TIMEOUT:
            return usb_error::timeout;
        case LIBUSB_ERROR_IO:
            return usb_error::io;
        case LIBUSB_ERROR_NO_DEVICE:
        case LIBUSB_ERROR_NOT_FOUND:
            return usb_error::no_device;
        case LIBUSB_ERROR_PIPE:
            return usb_error::pipe;
        case LIBUSB_ERROR_ACCESS:
            return usb_error::access;
        case LIBUSB_ERROR_BUSY:
            return usb_error::busy;
        case LIBUSB_ERROR_INVALID_PARAM:
            return usb_error::invalid;
        case LIBUSB_ERROR_OVERFLOW:
            return usb_error::overflow;
        default:
            return usb_error::io;
    }
}

int result_of(int code) {
    return code < 0 ? mapped_error(code) : code;
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

// libusb hands a broken descriptor set back with counts that its arrays do not bear out (a count
// of one beside a null array): every array is checked before it is indexed, and a record whose
// array is missing reads as unreadable.
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

struct LibusbAccess::State {
    std::chrono::milliseconds start_limit;
    libusb_context* context = nullptr;
    int init_result = LIBUSB_SUCCESS;
    bool start_stalled = false;
    int debug_level = LIBUSB_LOG_LEVEL_NONE;
    std::map<int, libusb_device_handle*> handles;
    int next_handle = 1;
    int open_error = 0;
    std::set<int> known_busses;
    std::set<DeviceKey> known_devices;

    libusb_device_handle* find(int handle) const {
        const auto it = handles.find(handle);
        return it == handles.end() ? nullptr : it->second;
    }

    int add(libusb_device_handle* opened) {
        const int handle = next_handle++;
        handles.emplace(handle, opened);
        return handle;
    }

    ConfigPointer config(int handle, int config_index) const {
        auto* opened = find(handle);
        if (opened == nullptr || !is_byte(config_index)) {
            return nullptr;
        }
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_config_descriptor(libusb_get_device(opened),
                                         static_cast<std::uint8_t>(config_index), &config) != 0) {
            return nullptr;
        }
        return ConfigPointer(config);
    }
};

LibusbAccess::LibusbAccess(std::chrono::milliseconds start_limit)
    : state(std::make_unique<State>()) {
    state->start_limit = start_limit;
}

LibusbAccess::~LibusbAccess() {
    for (const auto& [handle, opened] : state->handles) {
        libusb_close(opened);
    }
    state->handles.clear();
    if (state->context != nullptr) {
        libusb_exit(state->context);
    }
}

QString LibusbAccess::init_error_text() const {
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

int LibusbAccess::vb_usb_init() {
    if (state->context != nullptr) {
        return 0;
    }
    if (state->start_stalled) {
        return usb_error::timeout;
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
        return usb_error::timeout;
    }
    const Start start = started.get();
    state->init_result = start.result;
    if (state->init_result != LIBUSB_SUCCESS) {
        return mapped_error(state->init_result);
    }
    state->context = start.context;
    libusb_set_option(state->context, LIBUSB_OPTION_LOG_LEVEL, state->debug_level);
    return 0;
}

void LibusbAccess::vb_usb_set_debug(int level) {
    state->debug_level = log_level(level);
    if (state->context != nullptr) {
        libusb_set_option(state->context, LIBUSB_OPTION_LOG_LEVEL, state->debug_level);
    }
}

int LibusbAccess::usb_find_busses() {
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

int LibusbAccess::usb_find_devices() {
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

int LibusbAccess::vb_usb_open(int index, int vendor_id, int product_id) {
    state->open_error = usb_error::no_device;
    if (state->context == nullptr || index < 0) {
        return 0;
    }
    const DeviceList list(state->context);
    const bool any_device = vendor_id == -1 && product_id == -1;
    int counted = 0;
    for (auto* device : list.devices()) {
        if (any_device) {
            // Only devices this user may open count, so that a root hub or another user's
            // device does not end a survey early.
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
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS ||
            descriptor.idVendor != vendor_id || descriptor.idProduct != product_id) {
            continue;
        }
        if (counted++ < index) {
            continue;
        }
        libusb_device_handle* opened = nullptr;
        const int result = libusb_open(device, &opened);
        if (result != LIBUSB_SUCCESS) {
            state->open_error = mapped_error(result);
            return 0;
        }
        return state->add(opened);
    }
    return 0;
}

int LibusbAccess::last_open_error() const {
    return state->open_error;
}

int LibusbAccess::vb_usb_close(int handle) {
    auto* opened = state->find(handle);
    if (opened == nullptr) {
        return usb_error::no_device;
    }
    state->handles.erase(handle);
    libusb_close(opened);
    return 0;
}

int LibusbAccess::open_handle_count() const {
    return static_cast<int>(state->handles.size());
}

int LibusbAccess::vb_usb_get_device_descriptor(int handle, DeviceDescriptor& record) {
    auto* opened = state->find(handle);
    if (opened == nullptr) {
        return 0;
    }
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(libusb_get_device(opened), &d) != LIBUSB_SUCCESS) {
        return 0;
    }
    record = {d.bLength,         d.bDescriptorType,   d.bcdUSB,          d.bDeviceClass,
              d.bDeviceSubClass, d.bDeviceProtocol,   d.bMaxPacketSize0, d.idVendor,
              d.idProduct,       d.bcdDevice,         d.iManufacturer,   d.iProduct,
              d.iSerialNumber,   d.bNumConfigurations};
    return LIBUSB_DT_DEVICE_SIZE;
}

int LibusbAccess::vb_usb_get_configuration_descriptor(int handle, int config_index,
                                                      ConfigurationDescriptor& record) {
    const auto config = state->config(handle, config_index);
    if (!config) {
        return 0;
    }
    record = {config->bLength,
              config->bDescriptorType,
              config->wTotalLength,
              config->bNumInterfaces,
              config->bConfigurationValue,
              config->iConfiguration,
              config->bmAttributes,
              config->MaxPower};
    return LIBUSB_DT_CONFIG_SIZE;
}

int LibusbAccess::vb_usb_get_interface_descriptor(int handle, int config_index, int interface_index,
                                                  int alt_setting, InterfaceDescriptor& record) {
    const auto config = state->config(handle, config_index);
    if (!config) {
        return 0;
    }
    const auto* setting = find_setting(config.get(), interface_index, alt_setting);
    if (setting == nullptr) {
        return 0;
    }
    record = {setting->bLength,
              setting->bDescriptorType,
              setting->bInterfaceNumber,
              setting->bAlternateSetting,
              setting->bNumEndpoints,
              setting->bInterfaceClass,
              setting->bInterfaceSubClass,
              setting->bInterfaceProtocol,
              setting->iInterface};
    return LIBUSB_DT_INTERFACE_SIZE;
}

int LibusbAccess::vb_usb_get_endpoint_descriptor(int handle, int config_index, int interface_index,
                                                 int alt_setting, int endpoint_index,
                                                 EndpointDescriptor& record) {
    const auto config = state->config(handle, config_index);
    if (!config) {
        return 0;
    }
    const auto* setting = find_setting(config.get(), interface_index, alt_setting);
    if (setting == nullptr || setting->endpoint == nullptr || endpoint_index < 0 ||
        endpoint_index >= setting->bNumEndpoints) {
        return 0;
    }
    const auto& e = setting->endpoint[endpoint_index];
    record = {e.bLength,        e.bDescriptorType, e.bEndpointAddress, e.bmAttributes,
              e.wMaxPacketSize, e.bInterval,       e.bRefresh,         e.bSynchAddress};
    return LIBUSB_DT_ENDPOINT_AUDIO_SIZE;
}

int LibusbAccess::vb_usb_get_string_simple(int handle, int string_index, char* buffer,
                                           int buffer_length) {
    auto* opened = state->find(handle);
    // String index 0 is the language list, not a string.
    if (opened == nullptr || buffer == nullptr || buffer_length <= 0 || string_index <= 0 ||
        !is_byte(string_index)) {
        return 0;
    }
    // The descriptor holds UTF-16: characters up to 0xFF are kept as 8-bit characters, the rest
    // become '?'. The first language the device offers is asked for.
    unsigned char raw[255];
    const int languages = libusb_get_string_descriptor(opened, 0, 0, raw, sizeof raw);
    if (languages < 4) {
        return 0;
    }
    const auto language = static_cast<std::uint16_t>(raw[2] | (raw[3] << 8));
    const int received = libusb_get_string_descriptor(
        opened, static_cast<std::uint8_t>(string_index), language, raw, sizeof raw);
    if (received < 2 || raw[1] != LIBUSB_DT_STRING) {
        return 0;
    }
    const int length = std::min(received, static_cast<int>(raw[0]));
    int written = 0;
    for (int at = 2; at + 1 < length && written < buffer_length - 1; at += 2) {
        buffer[written++] = raw[at + 1] != 0 ? '?' : static_cast<char>(raw[at]);
    }
    buffer[written] = '\0';
    return written;
}

int LibusbAccess::vb_usb_set_configuration(int handle, int configuration) {
    auto* opened = state->find(handle);
    if (opened == nullptr) {
        return usb_error::no_device;
    }
    return result_of(libusb_set_configuration(opened, configuration));
}

int LibusbAccess::vb_usb_claim_interface(int handle, int interface_number) {
    auto* opened = state->find(handle);
    if (opened == nullptr) {
        return usb_error::no_device;
    }
    return result_of(libusb_claim_interface(opened, interface_number));
}

int LibusbAccess::vb_usb_release_interface(int handle, int interface_number) {
    auto* opened = state->find(handle);
    if (opened == nullptr) {
        return usb_error::no_device;
    }
    return result_of(libusb_release_interface(opened, interface_number));
}

int LibusbAccess::vb_usb_reset(int handle) {
    auto* opened = state->find(handle);
    if (opened == nullptr) {
        return usb_error::no_device;
    }
    return result_of(libusb_reset_device(opened));
}

int LibusbAccess::vb_usb_control_msg(int handle, int request_type, int request, int value,
                                     int index, char* bytes, int size, int timeout_ms) {
    auto* opened = state->find(handle);
    if (opened == nullptr) {
        return usb_error::no_device;
    }
    if (!is_byte(request_type) || !is_byte(request) || value < 0 || value > 0xFFFF || index < 0 ||
        index > 0xFFFF || size < 0 || size > 0xFFFF || (bytes == nullptr && size > 0) ||
        timeout_ms < 0) {
        return usb_error::invalid;
    }
    return result_of(libusb_control_transfer(
        opened, static_cast<std::uint8_t>(request_type), static_cast<std::uint8_t>(request),
        static_cast<std::uint16_t>(value), static_cast<std::uint16_t>(index),
        reinterpret_cast<unsigned char*>(bytes), static_cast<std::uint16_t>(size),
        static_cast<unsigned int>(timeout_ms)));
}

}  // namespace quillmar
