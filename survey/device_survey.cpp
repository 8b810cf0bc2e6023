#include "device_survey.h"

#include <algorithm>

#include "text/number_text.h"
#include "text/visible_text.h"

namespace quillmar {

namespace {

// The alternate settings of an interface are numbered by one byte.
constexpr int alternate_setting_limit = 256;

QString decimal(long long value) {
    return QString::number(value);
}

QString hex(unsigned value) {
    return QString::number(value, 16).toUpper();
}

}  // namespace

QString usb_version_text(std::uint16_t bcd_usb) {
    // The hex form's second digit becomes the point and its third the minor version. Forms of
    // one or two digits (below 0x100) are read as if padded with zeros to three: 0x0010 gives
    // "0.1", 0x0001 "0.0". Four-digit forms keep their fourth digit: 0x1000 gives "1.00".
    QString text = hex(bcd_usb).rightJustified(3, QLatin1Char('0'));
    text[2] = text[1];
    text[1] = QLatin1Char('.');
    return text;
}

DeviceSurvey::DeviceSurvey(UsbBus& usb) : usb(usb) {}

QStringList DeviceSurvey::list_devices() {
    lines.clear();
    new_busses = static_cast<std::int16_t>(usb.rescan_busses());
    new_devices = static_cast<std::int16_t>(usb.rescan_devices());
    lines << QStringLiteral("New Busses  ") + number_text(new_busses);
    lines << QStringLiteral("New Devices ") + number_text(new_devices) + QStringLiteral("\r\n");

    // The first number that opens no device ends the survey; a device whose record cannot be
    // read uses up its number.
    for (int counter = 0;; ++counter) {
        const UsbResult<DeviceHandle> device = usb.open_nth(counter);
        if (!device) {
            return std::move(lines);
        }
        if (const auto record = usb.device_descriptor(*device)) {
            device_record = *record;
            print_device(*device, counter);
        }
        usb.close(*device);
    }
}

void DeviceSurvey::print_device(DeviceHandle device, int counter) {
    lines << QStringLiteral("Device ") + decimal(counter);
    lines << QStringLiteral("-- VID             : ") + hex(device_record.idVendor);
    lines << QStringLiteral("-- PID             : ") + hex(device_record.idProduct) +
                 QLatin1Char(' ');
    show_string(device, device_record.iManufacturer, QStringLiteral("-- Manufacturer    : "),
                QStringLiteral("-- Manufacturer    : not specified"));
    show_string(device, device_record.iProduct, QStringLiteral("-- Product         : "),
                QStringLiteral("-- Product         : not specified"));
    // The serial number's label has one dash where its "not specified" line has two.
    show_string(device, device_record.iSerialNumber, QStringLiteral("- Serial  nmbr    : "),
                QStringLiteral("-- Serial  nmbr    : not specified"));
    lines << QStringLiteral("-- USB version     : ") + usb_version_text(device_record.bcdUSB);
    lines << QStringLiteral("-- Device Class    : ") + decimal(device_record.bDeviceClass);
    lines << QStringLiteral("-- Subclass        : ") + decimal(device_record.bDeviceSubClass);
    for (int index = 0; index < device_record.bNumConfigurations; ++index) {
        print_configuration(device, index);
    }
}

void DeviceSurvey::show_string(DeviceHandle device, int string_index, const QString& label,
                               const QString& unspecified) {
    if (string_index == 0) {
        lines << unspecified;
        return;
    }
    const UsbResult<std::string> text = usb.string_descriptor(device, string_index);
    // An empty string reads as none. The string is read into a buffer of 255 bytes that ends
    // with a zero, so what shows ends after 254 characters, or at an earlier zero byte.
    if (!text || text->empty()) {
        return;
    }
    constexpr std::size_t longest_string = 254;
    const std::string shown = text->substr(0, std::min(text->find('\0'), longest_string));
    // Read as Latin-1; the device cannot break its line or forge lines of its own.
    lines << label +
                 visible_text(
                     QString::fromLatin1(shown.data(), static_cast<qsizetype>(shown.size()))) +
                 QLatin1Char(' ');
}

void DeviceSurvey::print_configuration(DeviceHandle device, int index) {
    if (const auto record = usb.configuration_descriptor(device, index)) {
        configuration_record = *record;
        const auto& c = configuration_record;
        lines << QStringLiteral("--- Configuration   : ") + decimal(index);
        lines << QStringLiteral("--- Total Length    : ") +
                     decimal(static_cast<std::int16_t>(c.wTotalLength));
        lines << QStringLiteral("--- Num interfaces  : ") + decimal(c.bNumInterfaces);
        lines << QStringLiteral("--- Config. Value   : ") + decimal(c.bConfigurationValue);
        lines << QStringLiteral("--- Configuration   : ") + decimal(c.iConfiguration);
        lines << QStringLiteral("--- Attributes      : ") + hex(c.bmAttributes);
        lines << QStringLiteral("--- Max Power       : ") + decimal(c.MaxPower);
    }
    // After a failed read the record still holds the last good one, whose interfaces are walked.
    for (int interface_index = 0; interface_index < configuration_record.bNumInterfaces;
         ++interface_index) {
        print_interface(device, index, interface_index);
    }
}

void DeviceSurvey::print_interface(DeviceHandle device, int config_index, int interface_index) {
    for (int alt_setting = 0; alt_setting < alternate_setting_limit; ++alt_setting) {
        const auto record =
            usb.interface_descriptor(device, config_index, interface_index, alt_setting);
        if (!record) {
            return;
        }
        interface_record = *record;
        const auto& i = interface_record;
        lines << QStringLiteral("---- Interface         : ") + decimal(interface_index) +
                     QLatin1Char('/') + decimal(alt_setting);
        lines << QStringLiteral("---- Alternate setting : ") + decimal(i.bAlternateSetting);
        lines << QStringLiteral("---- NumEndpoints      : ") + decimal(i.bNumEndpoints);
        lines << QStringLiteral("---- InterfaceClass    : ") + decimal(i.bInterfaceClass);
        lines << QStringLiteral("---- InterfaceSubClass : ") + decimal(i.bInterfaceSubClass);
        lines << QStringLiteral("---- InterfaceProtocol : ") + decimal(i.bInterfaceProtocol);
        lines << QStringLiteral("---- Interface         : ") + decimal(i.iInterface);
        for (int index = 0; index < interface_record.bNumEndpoints; ++index) {
            print_endpoint(device, config_index, interface_index, alt_setting, index);
        }
    }
}

void DeviceSurvey::print_endpoint(DeviceHandle device, int config_index, int interface_index,
                                  int alt_setting, int index) {
    const auto record =
        usb.endpoint_descriptor(device, config_index, interface_index, alt_setting, index);
    if (!record) {
        return;
    }
    endpoint_record = *record;
    const auto& e = endpoint_record;
    lines << QStringLiteral("----- Endpoint    : ") + decimal(index);
    lines << QStringLiteral("----- Address     : ") + hex(e.bEndpointAddress);
    lines << QStringLiteral("----- Attributes  : ") + hex(e.bmAttributes);
    lines << QStringLiteral("----- Packetsize  : ") + hex(e.wMaxPacketSize);
    lines << QStringLiteral("----- Interval    : ") + hex(e.bInterval);
    lines << QStringLiteral("----- Refresh     : ") + hex(e.bRefresh);
    lines << QStringLiteral("----- Syncaddress : ") + hex(e.bSynchAddress);
}

}  // namespace quillmar
