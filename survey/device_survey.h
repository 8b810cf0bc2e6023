// The survey of every USB device this user can open, written into the message pane.
#pragma once

#include <array>
#include <cstdint>

#include <QString>

#include "console.h"
#include "usb_access.h"

namespace quillmar {

// The version text of bcdUSB: 0x0200 gives "2.0", 0x0110 "1.1", 0x0201 "2.0".
QString usb_version_text(std::uint16_t bcd_usb);

class DeviceSurvey {
  public:
    DeviceSurvey(UsbAccess& usb, Console& console);

    // Rescans the busses, then writes the counts and one section per device that opens.
    void list_devices();

  private:
    using StringBuffer = std::array<char, 256>;

    // The lines of one device whose record has just been read.
    void print_device(int handle, int counter, StringBuffer& buffer);
    // A string's line; index 0 gives the "not specified" line, a failed read no line.
    void show_string(int handle, int string_index, const QString& label, const QString& unspecified,
                     StringBuffer& buffer);
    void print_configuration(int handle, int index);
    void print_interface(int handle, int config_index, int interface_index);
    void print_endpoint(int handle, int config_index, int interface_index, int alt_setting,
                        int index);

    UsbAccess& usb;
    Console& console;
    // Kept from survey to survey: a failed read leaves the last good record in place.
    std::int16_t new_busses = 0;
    std::int16_t new_devices = 0;
    DeviceDescriptor device_record;
    ConfigurationDescriptor configuration_record;
    InterfaceDescriptor interface_record;
    EndpointDescriptor endpoint_record;
};

}  // namespace quillmar
