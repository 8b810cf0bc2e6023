// The survey of every USB device this user can open, as the lines of the message pane.
#pragma once

#include <cstdint>

#include <QString>
#include <QStringList>

#include "usb/usb_bus.h"

namespace quillmar {

// The version text of bcdUSB: 0x0200 gives "2.0", 0x0110 "1.1", 0x0201 "2.0".
QString usb_version_text(std::uint16_t bcd_usb);

class DeviceSurvey {
  public:
    explicit DeviceSurvey(UsbBus& usb);

    // Rescans the busses, then gives the counts and one section per device that opens.
    QStringList list_devices();

  private:
    // The lines of one device whose record has just been read.
    void print_device(DeviceHandle device, int counter);
    // A string's line; index 0 gives the "not specified" line, a failed read no line.
    void show_string(DeviceHandle device, int string_index, const QString& label,
                     const QString& unspecified);
    void print_configuration(DeviceHandle device, int index);
    void print_interface(DeviceHandle device, int config_index, int interface_index);
    void print_endpoint(DeviceHandle device, int config_index, int interface_index, int alt_setting,
                        int index);

    UsbBus& usb;
    QStringList lines;  // of the survey under way
    // Kept from survey to survey: a failed read leaves the last good record in place.
    std::int16_t new_busses = 0;
    std::int16_t new_devices = 0;
    DeviceDescriptor device_record;
    ConfigurationDescriptor configuration_record;
    InterfaceDescriptor interface_record;
    EndpointDescriptor endpoint_record;
};

}  // namespace quillmar
