#include "device_survey.h"

#include <algorithm>

#include "number_text.h"

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

// A descriptor read filled its record when the low 16 bits of its result are nonzero. A negative
// result is an error code: its record was not filled, and showing it would repeat stale values.
bool filled(int result) {
    return result > 0 && (result & 0xFFFF) != 0;
}

// A device's string as one line of the report: control characters (C0, DEL and the C1 range of
// Latin-1) become '?', so a device cannot break the line or forge lines of its own.
QString visible_text(const char* bytes, qsizetype length) {
    QString text = QString::fromLatin1(bytes, length);
    for (QChar& c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) {
            c = QLatin1Char('?');
        }
    }
    return text;
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

DeviceSurvey::DeviceSurvey(UsbAccess& usb, Console& console) : usb(usb), console(console) {}

void DeviceSurvey::list_devices() {
    new_busses = static_cast<std::int16_t>(usb.usb_find_busses());
    new_devices = static_cast<std::int16_t>(usb.usb_find_devices());
    console.show_message(QStringLiteral("New Busses  ") + number_text(new_busses));
    console.show_message(QStringLiteral("New Devices ") + number_text(new_devices) +
                         QStringLiteral("\r\n"));

    StringBuffer buffer{};
    for (int counter = 0;; ++counter) {
        const int handle = usb.vb_usb_open(counter, -1, -1);
        if (handle == 0) {
            return;
        }
        if (filled(usb.vb_usb_get_device_descriptor(handle, device_record))) {
            print_device(handle, counter, buffer);
        }
        usb.vb_usb_close(handle);
    }
}

void DeviceSurvey::print_device(int handle, int counter, StringBuffer& buffer) {
    console.show_message(QStringLiteral("Device ") + decimal(counter));
    console.show_message(QStringLiteral("-- VID             : ") + hex(device_record.idVendor));
    console.show_message(QStringLiteral("-- PID             : ") + hex(device_record.idProduct) +
                         QLatin1Char(' '));
    show_string(handle, device_record.iManufacturer, QStringLiteral("-- Manufacturer    : "),
                QStringLiteral("-- Manufacturer    : not specified"), buffer);
    show_string(handle, device_record.iProduct, QStringLiteral("-- Product         : "),
                QStringLiteral("-- Product         : not specified"), buffer);
    // The serial number's label has one dash where its "not specified" line has two.
    show_string(handle, device_record.iSerialNumber, QStringLiteral("- Serial  nmbr    : "),
                QStringLiteral("-- Serial  nmbr    : not specified"), buffer);
    console.show_message(QStringLiteral("-- USB version     : ") +
                         usb_version_text(device_record.bcdUSB));
    console.show_message(QStringLiteral("-- Device Class    : ") +
                         decimal(device_record.bDeviceClass));
    console.show_message(QStringLiteral("-- Subclass        : ") +
                         decimal(device_record.bDeviceSubClass));
    for (int index = 0; index < device_record.bNumConfigurations; ++index) {
        print_configuration(handle, index);
    }
}

void DeviceSurvey::show_string(int handle, int string_index, const QString& label,
                               const QString& unspecified, StringBuffer& buffer) {
    if (string_index == 0) {
        console.show_message(unspecified);
        return;
    }
    if (usb.vb_usb_get_string_simple(handle, string_index, buffer.data(),
                                     static_cast<int>(buffer.size()) - 1) <= 0) {
        return;
    }
    // The last byte is never written, so the text always ends within the buffer.
    const auto end = std::find(buffer.begin(), buffer.end(), '\0');
    console.show_message(label + visible_text(buffer.data(), std::distance(buffer.begin(), end)) +
                         QLatin1Char(' '));
}

void DeviceSurvey::print_configuration(int handle, int index) {
    if (filled(usb.vb_usb_get_configuration_descriptor(handle, index, configuration_record))) {
        const auto& c = configuration_record;
        console.show_message(QStringLiteral("--- Configuration   : ") + decimal(index));
        console.show_message(QStringLiteral("--- Total Length    : ") +
                             decimal(static_cast<std::int16_t>(c.wTotalLength)));
        console.show_message(QStringLiteral("--- Num interfaces  : ") + decimal(c.bNumInterfaces));
        console.show_message(QStringLiteral("--- Config. Value   : ") +
                             decimal(c.bConfigurationValue));
        console.show_message(QStringLiteral("--- Configuration   : ") + decimal(c.iConfiguration));
        console.show_message(QStringLiteral("--- Attributes      : ") + hex(c.bmAttributes));
        console.show_message(QStringLiteral("--- Max Power       : ") + decimal(c.MaxPower));
    }
    // After a failed read the record still holds the last good one, whose interfaces are walked.
    for (int interface_index = 0; interface_index < configuration_record.bNumInterfaces;
         ++interface_index) {
        print_interface(handle, index, interface_index);
    }
}

void DeviceSurvey::print_interface(int handle, int config_index, int interface_index) {
    for (int alt_setting = 0; alt_setting < alternate_setting_limit; ++alt_setting) {
        if (!filled(usb.vb_usb_get_interface_descriptor(handle, config_index, interface_index,
                                                        alt_setting, interface_record))) {
            return;
        }
        const auto& i = interface_record;
        console.show_message(QStringLiteral("---- Interface         : ") +
                             decimal(interface_index) + QLatin1Char('/') + decimal(alt_setting));
        console.show_message(QStringLiteral("---- Alternate setting : ") +
                             decimal(i.bAlternateSetting));
        console.show_message(QStringLiteral("---- NumEndpoints      : ") +
                             decimal(i.bNumEndpoints));
        console.show_message(QStringLiteral("---- InterfaceClass    : ") +
                             decimal(i.bInterfaceClass));
        console.show_message(QStringLiteral("---- InterfaceSubClass : ") +
                             decimal(i.bInterfaceSubClass));
        console.show_message(QStringLiteral("---- InterfaceProtocol : ") +
                             decimal(i.bInterfaceProtocol));
        console.show_message(QStringLiteral("---- Interface         : ") + decimal(i.iInterface));
        for (int index = 0; index < interface_record.bNumEndpoints; ++index) {
            print_endpoint(handle, config_index, interface_index, alt_setting, index);
        }
    }
}

void DeviceSurvey::print_endpoint(int handle, int config_index, int interface_index,
                                  int alt_setting, int index) {
    if (!filled(usb.vb_usb_get_endpoint_descriptor(handle, config_index, interface_index,
                                                   alt_setting, index, endpoint_record))) {
        return;
    }
    const auto& e = endpoint_record;
    console.show_message(QStringLiteral("----- Endpoint    : ") + decimal(index));
    console.show_message(QStringLiteral("----- Address     : ") + hex(e.bEndpointAddress));
    console.show_message(QStringLiteral("----- Attributes  : ") + hex(e.bmAttributes));
    console.show_message(QStringLiteral("----- Packetsize  : ") + hex(e.wMaxPacketSize));
    console.show_message(QStringLiteral("----- Interval    : ") + hex(e.bInterval));
    console.show_message(QStringLiteral("----- Refresh     : ") + hex(e.bRefresh));
    console.show_message(QStringLiteral("----- Syncaddress : ") + hex(e.bSynchAddress));
}

}  // namespace quillmar
