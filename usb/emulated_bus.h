// A USB bus in memory: emulated devices behind the bus interface, for tests and for running
// without hardware. It records every routine call and every control transfer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device_model.h"
#include "usb_bus.h"

namespace quillmar {

class EmulatedBus : public UsbBus {
  public:
    struct Transfer {
        DeviceHandle device;
        ControlSetup setup;
        std::vector<std::uint8_t> data;
        std::chrono::milliseconds timeout;
        int result;   // bytes moved, or the error's code
        double time;  // the clock's reading when the transfer reached the device
    };
    // One routine call, e.g. {"release_interface", {3, 0}, 0}: handles as their numbers, and
    // as the result a handle's number, a byte count, 0, or an error's code.
    struct Call {
        std::string routine;
        std::vector<int> arguments;
        int result;
    };

    // `clock` gives the time stamps of transfers (monotonic seconds); `devices` start plugged in.
    explicit EmulatedBus(std::function<double()> clock, std::vector<DeviceModel> devices = {});

    void plug(DeviceModel device);
    // Unplugs every device with this vendor and product id; its open handles fail from then on.
    void unplug(std::uint16_t vendor_id, std::uint16_t product_id);
    // The next `count` control transfers give `result` (an error's code or a short byte count).
    void fail_next_transfers(int count, int result);
    // The next configuration select / interface claim on a present device fails with `error`.
    void fail_next_set_configuration(UsbError error);
    void fail_next_claim_interface(UsbError error);
    // Descriptor and string reads of devices with this vendor and product id fail.
    void set_unreadable(std::uint16_t vendor_id, std::uint16_t product_id, bool unreadable);
    // Called after every control transfer that reached a device.
    void on_transfer(std::function<void(const Transfer&)> observer);

    const std::vector<Transfer>& transfers() const { return transfer_log; }
    const std::vector<Call>& calls() const { return call_log; }
    void clear_logs();
    int open_handle_count() const;
    int debug_level() const { return debug; }

    UsbResult<void> initialise() override;
    void set_debug_level(int level) override;
    int rescan_busses() override;
    int rescan_devices() override;
    UsbResult<DeviceHandle> open_nth(int index) override;
    UsbResult<DeviceHandle> open_first(std::uint16_t vendor_id, std::uint16_t product_id) override;
    UsbResult<void> close(DeviceHandle device) override;
    UsbResult<DeviceLocation> location(DeviceHandle device) override;
    UsbResult<DeviceDescriptor> device_descriptor(DeviceHandle device) override;
    UsbResult<ConfigurationDescriptor> configuration_descriptor(DeviceHandle device,
                                                                int config_index) override;
    UsbResult<InterfaceDescriptor> interface_descriptor(DeviceHandle device, int config_index,
                                                        int interface_index,
                                                        int alt_setting) override;
    UsbResult<EndpointDescriptor> endpoint_descriptor(DeviceHandle device, int config_index,
                                                      int interface_index, int alt_setting,
                                                      int endpoint_index) override;
    UsbResult<std::string> string_descriptor(DeviceHandle device, int string_index) override;
    UsbResult<void> set_configuration(DeviceHandle device, int configuration) override;
    UsbResult<void> claim_interface(DeviceHandle device, int interface_number) override;
    UsbResult<void> release_interface(DeviceHandle device, int interface_number) override;
    UsbResult<void> reset(DeviceHandle device) override;
    using UsbBus::control_transfer;
    UsbResult<int> control_transfer(DeviceHandle device, ControlSetup setup,
                                    std::span<std::uint8_t> data, std::chrono::milliseconds timeout,
                                    const std::function<void(TransferStep)>& told) override;

  private:
    // A device on the bus; `id` tells a re-plugged device from the one that went away.
    struct Plugged {
        int id;
        DeviceModel model;
    };
    using DeviceId = std::pair<std::uint16_t, std::uint16_t>;

    // The present device behind an open handle, or why there is none.
    UsbResult<const DeviceModel*> device_of(DeviceHandle device) const;
    // As device_of, and failing as well when its descriptors are set to be unreadable.
    UsbResult<const DeviceModel*> readable_device_of(DeviceHandle device) const;
    DeviceHandle open_device(const Plugged& device);
    template <typename T>
    UsbResult<T> log(const char* routine, std::vector<int> arguments, UsbResult<T> result);

    std::function<double()> clock;
    std::vector<Plugged> devices;  // in bus number, then address order
    int next_device_id = 1;
    std::map<DeviceHandle, int> open_handles;  // handle -> device id
    int next_handle = 1;
    int debug = 0;
    std::set<int> scanned_busses;
    std::set<int> scanned_devices;
    std::set<DeviceId> unreadable_ids;
    int failures_left = 0;
    int failure_result = 0;
    std::optional<UsbError> set_configuration_failure;
    std::optional<UsbError> claim_failure;
    std::vector<std::function<void(const Transfer&)>> observers;
    std::vector<Transfer> transfer_log;
    std::vector<Call> call_log;
};

}  // namespace quillmar
