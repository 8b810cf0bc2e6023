// The USB access routines on libusb-1.0: the real bus behind the program's handles.
#pragma once

#include <chrono>
#include <memory>

#include <QString>

#include "usb_access.h"

namespace quillmar {

// Owns one libusb context and every device it opened. Devices are taken from libusb's current
// device list, ordered by (bus number, device address). The rescan counts compare snapshots of
// that list, each device named by its bus number, port path and address, so a device that was
// unplugged and plugged in again (at a new address) counts twice.
class LibusbAccess : public UsbAccess {
  public:
    // How long libusb may take to start before vb_usb_init gives up on it.
    static constexpr std::chrono::milliseconds default_start_limit{10'000};

    explicit LibusbAccess(std::chrono::milliseconds start_limit = default_start_limit);
    ~LibusbAccess() override;
    LibusbAccess(const LibusbAccess&) = delete;
    LibusbAccess& operator=(const LibusbAccess&) = delete;

    // Why vb_usb_init failed, in words for a message box; empty when it did not fail.
    QString init_error_text() const;

    // libusb reads the descriptors of every device as it starts, and a device with a faulty set
    // can keep it from ever coming back (libusb 1.0.26). When it has not come back within the
    // start limit, this gives up with the time-out code and says what the user can do.
    int vb_usb_init() override;
    // 0 silences libusb; 1 errors; 2 warnings too; 3 and above (255 is the program's) add
    // libusb's notices. libusb's own debug tracing is never switched on: it traces every turn
    // of its event loop.
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

    // How many handles are open now.
    int open_handle_count() const;

  private:
    struct State;
    std::unique_ptr<State> state;
};

}  // namespace quillmar
