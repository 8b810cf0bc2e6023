#include "udev_presence.h"

#include <libudev.h>
#include <unistd.h>

#include <QByteArray>
#include <QSocketNotifier>
#include <QTimer>

#include <cstring>
#include <map>
#include <string>
#include <utility>

namespace quillmar {

namespace {

// The udev daemon's control socket: where it is missing, no daemon sends device events.
constexpr const char* udev_control = "/run/udev/control";

template <auto unref>
struct Unref {
    template <typename T>
    void operator()(T* object) const {
        unref(object);
    }
};
using UdevPointer = std::unique_ptr<udev, Unref<udev_unref>>;
using MonitorPointer = std::unique_ptr<udev_monitor, Unref<udev_monitor_unref>>;
using EnumeratePointer = std::unique_ptr<udev_enumerate, Unref<udev_enumerate_unref>>;
using DevicePointer = std::unique_ptr<udev_device, Unref<udev_device_unref>>;

// By sysfs path, which stays readable in a removal event when the attributes are gone.
using Devices = std::map<std::string, DeviceLocation>;

// An id as sysfs writes it: four lower-case hex digits.
QByteArray hex_id(std::uint16_t id) {
    return QByteArray::number(id, 16).rightJustified(4, '0');
}

std::optional<int> number_property(udev_device* device, const char* name) {
    const char* value = udev_device_get_property_value(device, name);
    bool ok = false;
    const int number = value != nullptr ? QByteArray(value).toInt(&ok) : 0;
    return ok ? std::optional(number) : std::nullopt;
}

std::optional<DeviceLocation> location_of(udev_device* device) {
    const auto bus = number_property(device, "BUSNUM");
    const auto address = number_property(device, "DEVNUM");
    if (!bus || !address) {
        return std::nullopt;
    }
    return DeviceLocation{*bus, *address};
}

}  // namespace

struct UdevPresence::State {
    QByteArray vendor_id;
    QByteArray product_id;
    Source source = Source::rescans;
    UdevPointer context{udev_new()};
    MonitorPointer monitor;
    std::unique_ptr<QSocketNotifier> notifier;
    QTimer timer;
    Devices devices;

    bool is_ours(udev_device* device) const {
        const char* vendor = udev_device_get_sysattr_value(device, "idVendor");
        const char* product = udev_device_get_sysattr_value(device, "idProduct");
        return vendor != nullptr && product != nullptr && vendor_id == vendor &&
               product_id == product;
    }

    // A monitor of the events the udev daemon sends once it has set a device up, so that a
    // device it announces can already be opened.
    bool listen() {
        monitor.reset(udev_monitor_new_from_netlink(context.get(), "udev"));
        if (!monitor ||
            udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "usb", "usb_device") <
                0 ||
            udev_monitor_enable_receiving(monitor.get()) < 0) {
            monitor.reset();
            return false;
        }
        return true;
    }

    // The devices with the ids in sysfs now; none when sysfs could not be read.
    std::optional<Devices> scan() const {
        const EnumeratePointer enumerate{udev_enumerate_new(context.get())};
        if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "usb") < 0 ||
            udev_enumerate_add_match_sysattr(enumerate.get(), "idVendor", vendor_id.constData()) <
                0 ||
            udev_enumerate_add_match_sysattr(enumerate.get(), "idProduct", product_id.constData()) <
                0 ||
            udev_enumerate_scan_devices(enumerate.get()) < 0) {
            return std::nullopt;
        }
        Devices found;
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
            const char* path = udev_list_entry_get_name(entry);
            const DevicePointer device{udev_device_new_from_syspath(context.get(), path)};
            // A device that went in the meantime is not listed.
            if (device) {
                if (const auto where = location_of(device.get())) {
                    found.emplace(path, *where);
                }
            }
        }
        return found;
    }
};

UdevPresence::UdevPresence(std::uint16_t vendor_id, std::uint16_t product_id,
                           std::optional<Source> source, QObject* parent)
    : DevicePresence(parent), state(std::make_unique<State>()) {
    state->vendor_id = hex_id(vendor_id);
    state->product_id = hex_id(product_id);
    // Listening starts before the first look, so that no device falls between the two.
    const bool events = source ? *source == Source::events : access(udev_control, F_OK) == 0;
    if (events && state->listen()) {
        state->source = Source::events;
        state->notifier = std::make_unique<QSocketNotifier>(
            udev_monitor_get_fd(state->monitor.get()), QSocketNotifier::Read);
        connect(state->notifier.get(), &QSocketNotifier::activated, this, &UdevPresence::receive);
    } else {
        state->timer.setInterval(rescan_period);
        connect(&state->timer, &QTimer::timeout, this, &UdevPresence::rescan);
        state->timer.start();
    }
    if (auto found = state->scan()) {
        state->devices = std::move(*found);
    }
}

UdevPresence::~UdevPresence() = default;

UdevPresence::Source UdevPresence::source() const {
    return state->source;
}

std::vector<DeviceLocation> UdevPresence::present() const {
    std::vector<DeviceLocation> locations;
    for (const auto& [path, where] : state->devices) {
        locations.push_back(where);
    }
    return locations;
}

void UdevPresence::rescan() {
    auto found = state->scan();
    if (!found) {
        return;
    }
    // The state is whole before any listener hears of it, and a listener's nested rescan
    // changes none of these copies. A device plugged in again at the same port has a new
    // address, and so leaves and arrives.
    const Devices now = *found;
    const Devices before = std::exchange(state->devices, std::move(*found));
    const auto changed = [](const Devices& devices, const Devices::value_type& device) {
        const auto match = devices.find(device.first);
        return match == devices.end() || match->second != device.second;
    };
    for (const auto& device : before) {
        if (changed(now, device)) {
            emit left(device.second);
        }
    }
    for (const auto& device : now) {
        if (changed(before, device)) {
            emit arrived(device.second);
        }
    }
}

void UdevPresence::receive() {
    while (const DevicePointer device{udev_monitor_receive_device(state->monitor.get())}) {
        const char* action = udev_device_get_action(device.get());
        const char* path = udev_device_get_syspath(device.get());
        if (action == nullptr || path == nullptr) {
            continue;
        }
        if (std::strcmp(action, "remove") == 0) {
            if (auto gone = state->devices.extract(path)) {
                emit left(gone.mapped());
            }
        } else if (!state->devices.contains(path) && state->is_ours(device.get())) {
            if (const auto where = location_of(device.get())) {
                state->devices.emplace(path, *where);
                emit arrived(*where);
            }
        }
    }
}

}  // namespace quillmar
