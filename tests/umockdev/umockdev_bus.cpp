#include "umockdev_bus.h"

#include <dlfcn.h>
#include <link.h>
#include <linux/capability.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "support/thread_capabilities.h"

namespace quillmar::testing {

namespace {

constexpr const char* preload_library = "libumockdev-preload.so.0";
constexpr int setup_length = 8;

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string two_digits_hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const auto byte : bytes) {
        out += digits[byte >> 4];
        out += digits[byte & 0x0F];
    }
    return out;
}

// A little-endian 16-bit id as four lower-case hex digits.
std::string hex_id(std::uint8_t low, std::uint8_t high) {
    return two_digits_hex({high, low});
}

std::string padded(int number) {
    char text[8];
    std::snprintf(text, sizeof text, "%03d", number);
    return text;
}

std::string speed_of(const DeviceModel& model) {
    if (model.descriptor.bcdUSB >= 0x0200) {
        return "480";
    }
    return model.descriptor.bMaxPacketSize0 == 8 ? "1.5" : "12";
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

// The configuration descriptor set of one configuration (configuration, interfaces, endpoints),
// byte for byte as a device returns it.
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

// The device descriptor followed by every configuration descriptor set, as Linux shows them in
// sysfs "descriptors".
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

// A string descriptor: length, type 3, then the 8-bit text widened to UTF-16LE.
std::vector<std::uint8_t> string_descriptor(const std::string& text) {
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
    for (const char c : text) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

// A submitted control transfer and the client's memory it lives in, until it is reaped.
struct Urb {
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    int status = 0;
    int actual_length = 0;
    std::vector<std::uint8_t> answer;  // IN data to copy after the setup packet
};

void release(Urb& urb) {
    g_clear_object(&urb.buffer);
    g_clear_object(&urb.urb);
}

}  // namespace

struct EmulatedDevice {
    UmockdevBus::Impl* bus = nullptr;
    DeviceModel model;
    std::vector<std::uint8_t> descriptors;             // as sysfs shows them
    std::map<int, std::vector<std::uint8_t>> strings;  // string descriptors by index
    std::string sys_path;                              // under /sys
    std::string node;                                  // under /dev
    UMockdevIoctlBase* handler = nullptr;
    gulong signal = 0;
    bool gone = false;
    bool removed = false;
    std::deque<Fault> faults;
    int short_length = 0;
    int transfers_left = -1;  // transfers before the device is pulled out; -1: never
    struct Outage {
        Fault fault{};
        double seconds = 0;
        int healthy_left = 0;  // transfers before it begins
        double began = -1;     // steady clock seconds; -1: not yet
    };
    std::optional<Outage> outage;
    std::deque<Urb> completed;
    std::deque<Urb> discarded;
    std::vector<Urb> stuck;
};

struct UmockdevBus::Impl {
    UMockdevTestbed* testbed = nullptr;
    // Root may open any file; a seated user may not open a node closed to it. Taking the override
    // out of this thread's effective set lets root meet the node's permissions too.
    WithoutCapabilities permissions{CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH};
    mutable std::mutex mutex;
    std::vector<std::unique_ptr<EmulatedDevice>> devices;
    std::vector<DeviceRequest> log;
    bool real_time = false;

    EmulatedDevice& device(int bus, int address) {
        for (auto& device : devices) {
            if (!device->removed && device->model.bus_number == bus &&
                device->model.address == address) {
                return *device;
            }
        }
        throw std::invalid_argument("no such emulated device");
    }

    // Attaches the device's request handler and announces it.
    void add(std::unique_ptr<EmulatedDevice> device);

    void record(const EmulatedDevice& device, DeviceRequest request) {
        request.bus = device.model.bus_number;
        request.address = device.model.address;
        request.time = now_seconds();
        log.push_back(std::move(request));
    }
};

namespace {

void complete(UMockdevIoctlClient* client, int error) {
    umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
}

// What the device answers to a control transfer: the data stage and the URB status.
void answer_control(const EmulatedDevice& device, const std::uint8_t* setup, Urb& urb) {
    const int request_type = setup[0];
    const int request = setup[1];
    const int value = setup[2] | (setup[3] << 8);
    const int length = setup[6] | (setup[7] << 8);
    if ((request_type & 0x80) == 0) {
        urb.actual_length = length;
        return;
    }
    constexpr int get_descriptor = 6;
    if (request_type != 0x80 || request != get_descriptor) {
        urb.status = -EPIPE;
        return;
    }
    const int type = value >> 8;
    const int index = value & 0xFF;
    std::vector<std::uint8_t> answer;
    if (type == 1) {
        answer = device.descriptors;
        answer.resize(std::min<std::size_t>(answer.size(), 18));
    } else if (type == 2 && index < static_cast<int>(device.model.configurations.size())) {
        answer = raw_configuration(device.model.configurations[static_cast<std::size_t>(index)]);
    } else if (type == 3 && device.strings.count(index) != 0) {
        answer = device.strings.at(index);
    } else {
        urb.status = -EPIPE;
        return;
    }
    if (static_cast<int>(answer.size()) > length) {
        answer.resize(static_cast<std::size_t>(length));
    }
    urb.answer = answer;
    urb.actual_length = static_cast<int>(answer.size());
}

// Whether the transfer falls in the device's outage, and its fault; an outage over is forgotten.
bool outage_fault(EmulatedDevice& device, Fault& fault) {
    auto& outage = *device.outage;
    if (outage.healthy_left > 0) {
        --outage.healthy_left;
        return false;
    }
    const double now = now_seconds();
    if (outage.began < 0) {
        outage.began = now;
    }
    if (now - outage.began >= outage.seconds) {
        device.outage.reset();
        return false;
    }
    fault = outage.fault;
    return true;
}

void submit(EmulatedDevice& device, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    Urb urb;
    urb.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    auto* raw = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
    if (raw->type != USBDEVFS_URB_TYPE_CONTROL || raw->buffer_length < setup_length) {
        release(urb);
        complete(client, EINVAL);
        return;
    }
    urb.buffer = umockdev_ioctl_data_resolve(urb.urb, offsetof(usbdevfs_urb, buffer),
                                             static_cast<gsize>(raw->buffer_length), nullptr);
    const std::uint8_t* setup = urb.buffer->data;
    DeviceRequest request;
    std::copy(setup, setup + setup_length, request.setup.begin());
    answer_control(device, setup, urb);

    Fault fault{};
    bool faulty = !device.faults.empty();
    if (faulty) {
        fault = device.faults.front();
        device.faults.pop_front();
    } else if (device.outage) {
        faulty = outage_fault(device, fault);
    }
    if (faulty && fault == Fault::protocol_error) {
        urb.status = -EPROTO;
        urb.actual_length = 0;
        urb.answer.clear();
    } else if (faulty && fault == Fault::short_transfer &&
               device.short_length < urb.actual_length) {
        urb.actual_length = device.short_length;
        if (urb.answer.size() > static_cast<std::size_t>(device.short_length)) {
            urb.answer.resize(static_cast<std::size_t>(device.short_length));
        }
    }
    if ((setup[0] & 0x80) == 0) {
        request.data.assign(setup + setup_length, setup + setup_length + urb.actual_length);
    } else {
        request.data = urb.answer;
    }
    device.bus->record(device, std::move(request));

    if (faulty && fault == Fault::time_out) {
        device.stuck.push_back(urb);
    } else {
        device.completed.push_back(urb);
    }
    complete(client, 0);

    if (device.transfers_left > 0 && --device.transfers_left == 0) {
        device.gone = true;
        umockdev_testbed_uevent(device.bus->testbed, device.sys_path.c_str(), "remove");
    }
}

void reap(EmulatedDevice& device, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    Urb urb;
    if (!device.discarded.empty()) {
        urb = device.discarded.front();
        device.discarded.pop_front();
        urb.status = -ENOENT;
        urb.actual_length = 0;
        urb.answer.clear();
    } else if (!device.completed.empty()) {
        urb = device.completed.front();
        device.completed.pop_front();
    } else {
        complete(client, device.gone ? ENODEV : EAGAIN);
        return;
    }
    auto* raw = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
    raw->status = urb.status;
    raw->actual_length = urb.actual_length;
    if (!urb.answer.empty()) {
        umockdev_ioctl_data_update(urb.buffer, setup_length, urb.answer.data(),
                                   static_cast<gint>(urb.answer.size()));
    }
    UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(pointer, 0, urb.urb);
    complete(client, 0);
    g_object_unref(pointer);
    release(urb);
}

void discard(EmulatedDevice& device, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    const auto address = reinterpret_cast<gulong>(*reinterpret_cast<void**>(arg->data));
    for (auto it = device.stuck.begin(); it != device.stuck.end(); ++it) {
        if (it->urb->client_addr == address) {
            device.discarded.push_back(*it);
            device.stuck.erase(it);
            complete(client, 0);
            return;
        }
    }
    complete(client, EINVAL);
}

void record_simple(EmulatedDevice& device, DeviceRequest::Kind kind, UMockdevIoctlData* arg) {
    DeviceRequest request;
    request.kind = kind;
    if (arg != nullptr && arg->data_len >= static_cast<gint>(sizeof(unsigned int))) {
        request.argument = static_cast<int>(*reinterpret_cast<unsigned int*>(arg->data));
    }
    device.bus->record(device, std::move(request));
}

// Runs on umockdev's own thread.
gboolean handle_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto& device = *static_cast<EmulatedDevice*>(data);
    const std::lock_guard lock(device.bus->mutex);
    if (thread_local bool raised = false; device.bus->real_time && !raised) {
        const sched_param lowest{sched_get_priority_min(SCHED_RR)};
        raised = sched_setscheduler(0, SCHED_RR, &lowest) == 0;
    }
    const auto request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) {
        reap(device, client, arg);
        return TRUE;
    }
    if (request == USBDEVFS_DISCARDURB) {
        discard(device, client, arg);
        return TRUE;
    }
    if (device.gone) {
        complete(client, ENODEV);
        return TRUE;
    }
    switch (request) {
        case USBDEVFS_SUBMITURB:
            submit(device, client, arg);
            return TRUE;
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
            *reinterpret_cast<guint32*>(caps->data) =
                USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
            complete(client, 0);
            g_object_unref(caps);
            return TRUE;
        }
        case USBDEVFS_SETCONFIGURATION: {
            UMockdevIoctlData* value =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
            record_simple(device, DeviceRequest::Kind::set_configuration, value);
            g_object_unref(value);
            complete(client, 0);
            return TRUE;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            UMockdevIoctlData* value =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
            record_simple(device,
                          request == USBDEVFS_CLAIMINTERFACE
                              ? DeviceRequest::Kind::claim_interface
                              : DeviceRequest::Kind::release_interface,
                          value);
            g_object_unref(value);
            complete(client, 0);
            return TRUE;
        }
        case USBDEVFS_RESET:
            record_simple(device, DeviceRequest::Kind::reset, nullptr);
            complete(client, 0);
            return TRUE;
        case USBDEVFS_GETDRIVER:
            complete(client, ENODATA);
            return TRUE;
        default:
            return FALSE;
    }
}

std::string device_record(const EmulatedDevice& device) {
    const auto& model = device.model;
    const std::string bus = padded(model.bus_number);
    const std::string address = padded(model.address);
    const int minor = (model.bus_number - 1) * 128 + model.address - 1;
    std::string text;
    text += "P: " + device.sys_path.substr(std::strlen("/sys")) + "\n";
    text += "N: bus/usb/" + bus + "/" + address + "\n";
    text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    text += "E: BUSNUM=" + bus + "\nE: DEVNUM=" + address + "\n";
    text += "E: DEVNAME=" + device.node + "\n";
    text += "A: busnum=" + std::to_string(model.bus_number) + "\\n\n";
    text += "A: devnum=" + std::to_string(model.address) + "\\n\n";
    text += "A: speed=" + speed_of(model) + "\\n\n";
    text += "A: bConfigurationValue=1\\n\n";
    text += "A: dev=189:" + std::to_string(minor) + "\\n\n";
    // The ids as sysfs shows them, from the descriptor bytes so that a raw device has its own.
    const auto& bytes = device.descriptors;
    if (bytes.size() >= 12) {
        text += "A: idVendor=" + hex_id(bytes[8], bytes[9]) + "\\n\n";
        text += "A: idProduct=" + hex_id(bytes[10], bytes[11]) + "\\n\n";
    }
    text += "H: descriptors=" + two_digits_hex(device.descriptors) + "\n";
    return text;
}

// The file of the AddressSanitizer runtime when this program loaded it as a shared library, else
// empty. The runtime refuses to start unless it is the first library the loader maps, so a
// restart that preloads another library has to preload the runtime before it.
std::string address_sanitizer_runtime() {
    void* const entry = dlsym(RTLD_DEFAULT, "__asan_init");
    Dl_info info{};
    link_map* object = nullptr;
    if (entry == nullptr ||
        dladdr1(entry, &info, reinterpret_cast<void**>(&object), RTLD_DL_LINKMAP) == 0 ||
        object == nullptr || object->l_name == nullptr) {
        return {};
    }
    // The program itself has an empty name here: a runtime linked into it needs no preload.
    return object->l_name;
}

}  // namespace

void run_under_umockdev(char** argv) {
    if (dlopen(preload_library, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
        return;
    }
    const char* old = std::getenv("LD_PRELOAD");
    std::string preload = preload_library;
    if (old != nullptr && *old != '\0') {
        if (std::strstr(old, preload_library) != nullptr) {
            std::fprintf(stderr, "%s is in LD_PRELOAD but did not load\n", preload_library);
            std::exit(EXIT_FAILURE);
        }
        preload += std::string(":") + old;
    }
    if (const std::string runtime = address_sanitizer_runtime(); !runtime.empty()) {
        preload = runtime + ":" + preload;
    }
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("restarting under umockdev");
    std::exit(EXIT_FAILURE);
}

UmockdevBus::UmockdevBus() : impl(std::make_unique<Impl>()) {
    impl->testbed = umockdev_testbed_new();
}

UmockdevBus::UmockdevBus(const std::vector<DeviceModel>& devices) : UmockdevBus() {
    for (const auto& device : devices) {
        plug(device);
    }
}

UmockdevBus::~UmockdevBus() {
    for (auto& device : impl->devices) {
        if (device->handler != nullptr) {
            if (!device->removed) {
                umockdev_testbed_detach_ioctl(impl->testbed, device->node.c_str(), nullptr);
            }
            g_signal_handler_disconnect(device->handler, device->signal);
            g_object_unref(device->handler);
        }
        for (auto* queue : {&device->completed, &device->discarded}) {
            for (auto& urb : *queue) {
                release(urb);
            }
        }
        for (auto& urb : device->stuck) {
            release(urb);
        }
    }
    g_object_unref(impl->testbed);
}

void UmockdevBus::plug(DeviceModel model) {
    complete_model(model);
    auto device = std::make_unique<EmulatedDevice>();
    device->descriptors = raw_descriptors(model);
    device->strings[0] = {4, 3, 0x09, 0x04};  // one language: US English
    for (const auto& [index, text] : model.strings) {
        device->strings[index] = string_descriptor(text);
    }
    device->model = std::move(model);
    impl->add(std::move(device));
}

void UmockdevBus::plug_raw(int bus, int address, std::vector<std::uint8_t> descriptors,
                           std::map<int, std::vector<std::uint8_t>> strings) {
    auto device = std::make_unique<EmulatedDevice>();
    device->model.bus_number = bus;
    device->model.address = address;
    device->descriptors = std::move(descriptors);
    device->strings = std::move(strings);
    impl->add(std::move(device));
}

void UmockdevBus::replace_raw(int bus, int address, std::vector<std::uint8_t> descriptors,
                              std::map<int, std::vector<std::uint8_t>> strings) {
    const std::lock_guard lock(impl->mutex);
    auto& device = impl->device(bus, address);
    device.descriptors = std::move(descriptors);
    device.strings = std::move(strings);
    umockdev_testbed_set_attribute_binary(impl->testbed, device.sys_path.c_str(), "descriptors",
                                          device.descriptors.data(),
                                          static_cast<gint>(device.descriptors.size()));
}

void UmockdevBus::Impl::add(std::unique_ptr<EmulatedDevice> device) {
    device->bus = this;
    const int bus = device->model.bus_number;
    const int address = device->model.address;
    device->sys_path = "/sys/devices/usb" + std::to_string(bus);
    if (address != 1) {
        device->sys_path += "/" + std::to_string(bus) + "-" + std::to_string(address - 1);
    }
    device->node = "/dev/bus/usb/" + padded(bus) + "/" + padded(address);

    // The handler goes in first, so that the device answers as soon as it is announced.
    device->handler = umockdev_ioctl_base_new();
    device->signal =
        g_signal_connect(device->handler, "handle-ioctl", G_CALLBACK(handle_ioctl), device.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, device->node.c_str(), device->handler, &error) ||
        !umockdev_testbed_add_from_string(testbed, device_record(*device).c_str(), &error)) {
        const std::string message = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev: " + message);
    }
    if (!device->model.openable) {
        gchar* root = umockdev_testbed_get_root_dir(testbed);
        chmod((std::string(root) + device->node).c_str(), 0);
        g_free(root);
    }
    const std::lock_guard lock(mutex);
    devices.push_back(std::move(device));
}

void UmockdevBus::unplug(int bus, int address) {
    EmulatedDevice* device = nullptr;
    {
        const std::lock_guard lock(impl->mutex);
        device = &impl->device(bus, address);
        if (!device->gone) {
            device->gone = true;
            umockdev_testbed_uevent(impl->testbed, device->sys_path.c_str(), "remove");
        }
        device->removed = true;
    }
    umockdev_testbed_detach_ioctl(impl->testbed, device->node.c_str(), nullptr);
    umockdev_testbed_remove_device(impl->testbed, device->sys_path.c_str());
}

void UmockdevBus::unplug_after(int bus, int address, int transfers) {
    const std::lock_guard lock(impl->mutex);
    impl->device(bus, address).transfers_left = transfers;
}

void UmockdevBus::fail_next(int bus, int address, Fault fault, int count, int short_length) {
    const std::lock_guard lock(impl->mutex);
    auto& device = impl->device(bus, address);
    device.short_length = short_length;
    for (int i = 0; i < count; ++i) {
        device.faults.push_back(fault);
    }
}

void UmockdevBus::fail_for(int bus, int address, Fault fault, double seconds, int after) {
    const std::lock_guard lock(impl->mutex);
    impl->device(bus, address).outage = EmulatedDevice::Outage{fault, seconds, after, -1};
}

std::string stop_resent_each_second(const std::vector<DeviceRequest>& sent, double outage) {
    if (sent.size() < 2) {
        return "no stop";
    }
    const double first_stop = sent[1].time;
    std::vector<double> again;
    for (const auto& transfer : sent) {
        if (transfer.time > first_stop + 2.5) {
            again.push_back(transfer.time);
        }
    }
    if (again.size() < 2) {
        return std::to_string(again.size()) + " tries after the first ones";
    }
    for (std::size_t i = 1; i < again.size(); ++i) {
        if (const double gap = again[i] - again[i - 1]; gap <= 0.8 || gap >= 1.6) {
            return "a gap of " + std::to_string(gap) + " s";
        }
    }
    if (again.back() - first_stop < outage) {
        return "the last try before the arm answered again";
    }
    return {};
}

bool UmockdevBus::answer_in_real_time() {
    const sched_param lowest{sched_get_priority_min(SCHED_RR)};
    const sched_param normal{};
    // Tried on this thread first: the answering thread has the same rights.
    if (sched_setscheduler(0, SCHED_RR, &lowest) != 0 ||
        sched_setscheduler(0, SCHED_OTHER, &normal) != 0) {
        return false;
    }
    const std::lock_guard lock(impl->mutex);
    impl->real_time = true;
    return true;
}

std::vector<DeviceRequest> UmockdevBus::requests() const {
    const std::lock_guard lock(impl->mutex);
    return impl->log;
}

std::vector<DeviceRequest> UmockdevBus::vendor_transfers() const {
    std::vector<DeviceRequest> vendor;
    for (auto& request : requests()) {
        if (request.kind == DeviceRequest::Kind::control && (request.setup[0] & 0x60) == 0x40) {
            vendor.push_back(request);
        }
    }
    return vendor;
}

void UmockdevBus::clear_requests() {
    const std::lock_guard lock(impl->mutex);
    impl->log.clear();
}

}  // namespace quillmar::testing
