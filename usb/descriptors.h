// The standard USB descriptors as the bus hands them over, field for field (USB 2.0, chapter 9).
#pragma once

#include <cstdint>

namespace quillmar {

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

}  // namespace quillmar
