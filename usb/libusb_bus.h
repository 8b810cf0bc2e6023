// The USB routines on libusb-1.0: the real bus behind the program's handles.
#pragma once

#include <chrono>
#include <memory>

#include <QString>

#include "usb_bus.h"

namespace quillmar {

// Owns one libusb context and every device it opened. Devices are taken from libusb's current
// device list, ordered by (bus number, device address). The rescan counts compare snapshots of
// that list, each device named by its bus number, port path and address, so a device that was
// unplugged and plugged in again (at a new address) counts twice.
class LibusbBus : public UsbBus {
  public:
    // How long libusb may take to start before initialise() gives up on it.
    static constexpr std::chrono::milliseconds default_start_limit{10'000};

    explicit LibusbBus(std::chrono::milliseconds start_limit = default_start_limit);
    ~LibusbBus() override;
    LibusbBus(const LibusbBus&) = delete;
    LibusbBus& operator=(const LibusbBus&) = delete;

    // Why initialise() failed, in words for a message box; empty when it did not fail.
    QString init_error_text() const;

    // libusb reads the descriptors of every device as it starts, and a device with a faulty set
    // can keep it from ever coming back (libusb 1.0.26). When it has not come back within the
    // start limit, this gives up with the time-out and says what the user can do.
    UsbResult<void> initialise() override;
    // 0 silences libusb; 1 errors; 2 warnings too; 3 and above (255 is the program's) add
    // libusb's notices. libusb's own debug tracing is never switched on: it traces every turn
    // of its event loop.
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

    // How many handles are open now.
    int open_handle_count() const;

  private:
    struct State;
    std::unique_ptr<State> state;
};

}  // namespace quillmar
