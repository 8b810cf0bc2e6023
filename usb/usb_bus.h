// The USB routines the program relies on: one typed interface with a real and an emulated face.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "descriptors.h"
#include "device_location.h"
#include "usb_result.h"

namespace quillmar {

// The setup stage of a control transfer.
struct ControlSetup {
    std::uint8_t request_type = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    friend bool operator==(const ControlSetup&, const ControlSetup&) = default;
};

// Devices are listed in bus number, then address order. A handle works from the open that gave
// it until its close; after that, and for a device that is gone, routines fail with no_device.
enum class TransferStep { going, submitted };

class UsbBus {
  public:
    virtual ~UsbBus() = default;

    // Nothing else works before it.
    virtual UsbResult<void> initialise() = 0;
    // 0 silences the library; 255 asks for everything that helps a user.
    virtual void set_debug_level(int level) = 0;

    // How many busses / devices appeared or went away since the previous call; the first call
    // counts all.
    virtual int rescan_busses() = 0;
    virtual int rescan_devices() = 0;

    // The n-th device this user may open, from 0. Devices the user may not open are not counted,
    // so that a root hub or another user's device does not hide the ones after it.
    virtual UsbResult<DeviceHandle> open_nth(int index) = 0;
    // The first device with these ids; access when it is there but this user may not open it.
    virtual UsbResult<DeviceHandle> open_first(std::uint16_t vendor_id,
                                               std::uint16_t product_id) = 0;
    virtual UsbResult<void> close(DeviceHandle device) = 0;
    // Where the device of an open handle sits; it asks the device nothing.
    virtual UsbResult<DeviceLocation> location(DeviceHandle device) = 0;

    virtual UsbResult<DeviceDescriptor> device_descriptor(DeviceHandle device) = 0;
    virtual UsbResult<ConfigurationDescriptor> configuration_descriptor(DeviceHandle device,
                                                                        int config_index) = 0;
    virtual UsbResult<InterfaceDescriptor> interface_descriptor(DeviceHandle device,
                                                                int config_index,
                                                                int interface_index,
                                                                int alt_setting) = 0;
    virtual UsbResult<EndpointDescriptor> endpoint_descriptor(DeviceHandle device, int config_index,
                                                              int interface_index, int alt_setting,
                                                              int endpoint_index) = 0;
    // The string as 8-bit characters; those beyond 8 bits read as '?'.
    virtual UsbResult<std::string> string_descriptor(DeviceHandle device, int string_index) = 0;

    virtual UsbResult<void> set_configuration(DeviceHandle device, int configuration) = 0;
    virtual UsbResult<void> claim_interface(DeviceHandle device, int interface_number) = 0;
    virtual UsbResult<void> release_interface(DeviceHandle device, int interface_number) = 0;
    virtual UsbResult<void> reset(DeviceHandle device) = 0;
    // How many bytes of `data` the data stage moved. For a device that is there, `told` hears
    // `going` just before the request is handed on, and `submitted` once it has been: the moments
    // of a transfer that this end knows for every transfer alike, as its way to the device is not
    // told.
    virtual UsbResult<int> control_transfer(DeviceHandle device, ControlSetup setup,
                                            std::span<std::uint8_t> data,
                                            std::chrono::milliseconds timeout,
                                            const std::function<void(TransferStep)>& told) = 0;
    UsbResult<int> control_transfer(DeviceHandle device, ControlSetup setup,
                                    std::span<std::uint8_t> data,
                                    std::chrono::milliseconds timeout) {
        return control_transfer(device, setup, data, timeout, {});
    }
};

}  // namespace quillmar
