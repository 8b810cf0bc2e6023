#include "arm_link.h"

#include <array>
#include <utility>

#include "armlink/arm_ids.h"
#include "text/number_text.h"

namespace quillmar {

namespace {

QString access_denied_text() {
    return QStringLiteral(
               "The arm is plugged in, but this user may not open it. The udev rule "
               "/usr/lib/udev/rules.d/60-quillmar.rules grants access to the user at the seat "
               "(built from source, copy build/packaging/udev/60-quillmar.rules to "
               "/etc/udev/rules.d/). Apply it without logging out: sudo udevadm control --reload "
               "&& sudo udevadm trigger --attr-match=idVendor=%1, then press \"Attach arm\".")
        .arg(arm_vendor_id, 4, 16, QLatin1Char('0'));
}

QString return_value_text(int code) {
    return QStringLiteral("Return value ") + number_text(code);
}

}  // namespace

ArmLink::ArmLink(UsbBus& usb, ArmReports& reports) : usb(usb), reports(reports) {}

void ArmLink::send_command(ArmCommand command) {
    if (shut_down) {
        return;
    }
    std::array<std::uint8_t, command_length> bytes{command.motor, command.base, command.light};
    const UsbResult<int> result =
        arm ? usb.control_transfer(*arm, command_setup, bytes, transfer_timeout)
            : UsbResult<int>(UsbError::no_device);
    if (result && *result == static_cast<int>(command_length)) {
        if (command_sent) {
            command_sent(command);
        }
        return;
    }
    reports.show_error(QStringLiteral("Sent: (") + number_text(command.motor) + QLatin1Char(',') +
                       number_text(command.base) + QLatin1Char(',') + number_text(command.light) +
                       QStringLiteral(") ") +
                       return_value_text(result ? *result : error_code(result.error())));
}

void ArmLink::on_command_sent(std::function<void(ArmCommand)> observer) {
    command_sent = std::move(observer);
}

std::uint8_t ArmLink::light_byte() const {
    return reports.light_indicator() ? 1 : 0;
}

void ArmLink::show_light(bool on) {
    reports.set_light_indicator(on);
}

bool ArmLink::attach_arm() {
    const UsbResult<DeviceHandle> opened = usb.open_first(arm_vendor_id, arm_product_id);
    if (!opened) {
        arm.reset();
        reports.show_message(QStringLiteral("Could not attach"));
        if (opened.error() == UsbError::access) {
            reports.show_message(access_denied_text());
        }
        return false;
    }
    arm = *opened;
    reports.show_message(QStringLiteral("\r\nArm attached"));
    // Commands still reach the arm without these two on Linux, so the attach goes on; a
    // failure is only said, e.g. another program holding the arm.
    report_step(usb.set_configuration(*arm, configuration),
                QStringLiteral("Configuration %1 not selected: ").arg(configuration));
    report_step(usb.claim_interface(*arm, interface),
                QStringLiteral("Interface %1 not claimed: ").arg(interface));
    return true;
}

void ArmLink::report_step(const UsbResult<void>& result, const QString& step) {
    if (result) {
        return;
    }
    QString line = step + return_value_text(error_code(result.error()));
    if (result.error() == UsbError::busy) {
        line += QStringLiteral(" (busy: another program holds the arm)");
    }
    reports.show_error(line);
}

void ArmLink::release() {
    if (!arm) {
        return;
    }
    send_command(all_off_command);
    show_light(false);
    usb.release_interface(*arm, interface);
    usb.reset(*arm);
    usb.close(*arm);
    arm.reset();
    reports.show_message(QStringLiteral("\r\nArm released"));
}

void ArmLink::shutdown() {
    if (shut_down) {
        return;
    }
    if (attached()) {
        release();
    }
    shut_down = true;
}

}  // namespace quillmar
