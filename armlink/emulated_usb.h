// A USB bus in memory: a root hub and the arm behind the access interface, for tests and for
// running without hardware. It records every routine call and every control transfer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "usb_access.h"
#include "usb_device_model.h"

namespace quillmar {

class EmulatedUsb : public UsbAccess {
  public:
    struct Transfer {
        int handle;
        int request_type;
        int request;
        int value;
        int index;
        std::vector<std::uint8_t> data;
        int timeout_ms;
        int result;
        double time;  // the clock's reading when the transfer reached the device
    };
    // One routine call, e.g. {"vb_usb_release_interface", {3, 0}, 0}.
    struct Call {
        std::string routine;
        std::vector<int> arguments;
        int result;
    };

    // `clock` gives the time stamps of transfers (monotonic seconds); `devices` start plugged in.
    explicit EmulatedUsb(std::function<double()> clock, std::vector<DeviceModel> devices = {});
    // A root hub on bus 1 and the arm at address 2.
    static std::vector<DeviceModel> hub_and_arm();

    void plug(DeviceModel device);
    // Unplugs every device with this vendor and product id; its open handles fail from then on.
    void unplug(std::uint16_t vendor_id, std::uint16_t product_id);
    // The next `count` control transfers give `result` (a negative code or a short byte count).
    void fail_next_transfers(int count, int result);
    // The next configuration select / interface claim on a present device gives `result`.
    void fail_next_set_configuration(int result);
    void fail_next_claim_interface(int result);
    // Descriptor reads of devices with this vendor and product id fail (result 0).
    void set_unreadable(std::uint16_t vendor_id, std::uint16_t product_id, bool unreadable);
    // Called after every control transfer that reached a device.
    void on_transfer(std::function<void(const Transfer&)> observer);

    const std::vector<Transfer>& transfers() const { return transfer_log; }
    const std::vector<Call>& calls() const { return call_log; }
    void clear_logs();
    int open_handle_count() const;
    int debug_level() const { return debug; }

    int vb_usb_init() override;
    void vb_usb_set_debug(int level) override;
    int usb_find_busses() override;
    int usb_find_devices() override;
    int vb_usb_open(int index, int vendor_id, int product_id) override;
    int last_open_error() const override;
    int vb_usb_close(int handle) override;
    int vb_usb_get_device_descriptor(int handle, DeviceDescriptor& record) override;
    int vb_usb_get_configuration_descriptor(int handle, int config_index,
                                            ConfigurationDescriptor& record) override;
    int vb_usb_get_interface_descriptor(int handle, int config_index, int interface_index,
                                        int alt_setting, InterfaceDescriptor& record) override;
    int vb_usb_get_endpoint_descriptor(int handle, int config_index, int interface_index,
                                       int alt_setting, int endpoint_index,
                                       EndpointDescriptor& record) override;
    int vb_usb_get_string_simple(int handle, int string_index, char* buffer,
                                 int buffer_length) override;
    int vb_usb_set_configuration(int handle, int configuration) override;
    int vb_usb_claim_interface(int handle, int interface_number) override;
    int vb_usb_release_interface(int handle, int interface_number) override;
    int vb_usb_reset(int handle) override;
    int vb_usb_control_msg(int handle, int request_type, int request, int value, int index,
                           char* bytes, int size, int timeout_ms) override;

  private:
    // A device on the bus; `id` tells a re-plugged device from the one that went away.
    struct Plugged {
        int id;
        DeviceModel model;
    };
    using DeviceId = std::pair<std::uint16_t, std::uint16_t>;

    // The present device behind an open handle, or none.
    const DeviceModel* device_of(int handle) const;
    // As device_of, but none as well when its descriptors are set to be unreadable.
    const DeviceModel* readable_device_of(int handle) const;
    int open_device(const Plugged& device);
    int log(const char* routine, std::vector<int> arguments, int result);

    std::function<double()> clock;
    std::vector<Plugged> devices;  // in bus number, then address order
    int next_device_id = 1;
    std::map<int, int> open_handles;  // handle -> device id
    int next_handle = 1;
    int open_error = 0;
    int debug = 0;
    std::set<int> scanned_busses;
    std::set<int> scanned_devices;
    std::set<DeviceId> unreadable_ids;
    int failures_left = 0;
    int failure_result = 0;
    int set_configuration_failure = 0;
    int claim_failure = 0;
    std::vector<std::function<void(const Transfer&)>> observers;
    std::vector<Transfer> transfer_log;
    std::vector<Call> call_log;
};

}  // namespace quillmar
