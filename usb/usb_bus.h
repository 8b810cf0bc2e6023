// The USB access routines the program relies on, as one interface with real and emulated faces.
#pragma once

#include <cstdint>

namespace quillmar {

// Standard USB descriptors, field for field (USB 2.0, chapter 9).
struct DeviceDescriptor {
    std::uint8_t bLength = 0;
    std::uint8_t bDescriptorType = 0;
    std::uint16_t bcdUSB = 0;
    std::uint8_t bDeviceClass = 0;
    std::uint8_t bDeviceSubClass = 0;
    std::uint8_t bDeviceProtocol = 0;
    std::uint8_t bMaxPacketSize0 = 0;
    std::uint16_t idVendor = 0;
    std::uint16_t idProduct = 0;
    std::uint16_t bcdDevice = 0;
    std::uint8_t iManufacturer = 0;
    std::uint8_t iProduct = 0;
    std::uint8_t iSerialNumber = 0;
    std::uint8_t bNumConfigurations = 0;
};

struct ConfigurationDescriptor {
    std::uint8_t bLength = 0;
    std::uint8_t bDescriptorType = 0;
    std::uint16_t wTotalLength = 0;
    std::uint8_t bNumInterfaces = 0;
    std::uint8_t bConfigurationValue = 0;
    std::uint8_t iConfiguration = 0;
    std::uint8_t bmAttributes = 0;
    std::uint8_t MaxPower = 0;
};

struct InterfaceDescriptor {
    std::uint8_t bLength = 0;
    std::uint8_t bDescriptorType = 0;
    std::uint8_t bInterfaceNumber = 0;
    std::uint8_t bAlternateSetting = 0;
    std::uint8_t bNumEndpoints = 0;
    std::uint8_t bInterfaceClass = 0;
    std::uint8_t bInterfaceSubClass = 0;
    std::uint8_t bInterfaceProtocol = 0;
    std::uint8_t iInterface = 0;
};

// The 7 standard bytes, then the two audio-class extras that the survey shows as well.
struct EndpointDescriptor {
    std::uint8_t bLength = 0;
    std::uint8_t bDescriptorType = 0;
    std::uint8_t bEndpointAddress = 0;
    std::uint8_t bmAttributes = 0;
    std::uint16_t wMaxPacketSize = 0;
    std::uint8_t bInterval = 0;
    std::uint8_t bRefresh = 0;
    std::uint8_t bSynchAddress = 0;
};

// Negative results of the routines below: the negated errno of the cause.
namespace usb_error {
inline constexpr int io = -5;
inline constexpr int access = -13;
inline constexpr int busy = -16;
inline constexpr int no_device = -19;
inline constexpr int invalid = -22;
inline constexpr int pipe = -32;
inline constexpr int overflow = -75;
inline constexpr int timeout = -116;
}  // namespace usb_error

// Devices are named by handles: positive integers, 0 for none. A handle is valid from the open
// that returned it until its close. Descriptor getters return non-zero when the record was filled.
class UsbAccess {
  public:
    virtual ~UsbAccess() = default;

    // 0 on success, otherwise a negative code; the caller cannot go on without it.
    virtual int vb_usb_init() = 0;
    virtual void vb_usb_set_debug(int level) = 0;

    // How many busses / devices appeared or went away since the previous call (the first counts
    // all).
    virtual int usb_find_busses() = 0;
    virtual int usb_find_devices() = 0;

    // (n, -1, -1) opens the n-th device this user may open, counted from 0 in bus and address
    // order; otherwise the first device with that vendor and product id. 0: no such device.
    virtual int vb_usb_open(int index, int vendor_id, int product_id) = 0;
    // Why the last vb_usb_open gave 0: no_device when nothing matched, access when a match was
    // found but this user may not open it, or another negative code.
    virtual int last_open_error() const = 0;
    virtual int vb_usb_close(int handle) = 0;

    virtual int vb_usb_get_device_descriptor(int handle, DeviceDescriptor& record) = 0;
    virtual int vb_usb_get_configuration_descriptor(int handle, int config_index,
                                                    ConfigurationDescriptor& record) = 0;
    virtual int vb_usb_get_interface_descriptor(int handle, int config_index, int interface_index,
                                                int alt_setting, InterfaceDescriptor& record) = 0;
    virtual int vb_usb_get_endpoint_descriptor(int handle, int config_index, int interface_index,
                                               int alt_setting, int endpoint_index,
                                               EndpointDescriptor& record) = 0;
    // Fills buffer with the string as 8-bit characters and a closing zero byte; 0: no string.
    virtual int vb_usb_get_string_simple(int handle, int string_index, char* buffer,
                                         int buffer_length) = 0;

    virtual int vb_usb_set_configuration(int handle, int configuration) = 0;
    virtual int vb_usb_claim_interface(int handle, int interface_number) = 0;
    virtual int vb_usb_release_interface(int handle, int interface_number) = 0;
    virtual int vb_usb_reset(int handle) = 0;
    // Bytes moved, or a negative code (timeout, io, no_device for handle 0 or an unknown handle).
    virtual int vb_usb_control_msg(int handle, int request_type, int request, int value, int index,
                                   char* bytes, int size, int timeout_ms) = 0;
};

}  // namespace quillmar
