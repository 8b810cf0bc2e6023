#include "arm_link.h"

#include "number_text.h"
#include "usb_device_model.h"

namespace quillmar {

namespace {

const QString access_denied_text = QStringLiteral(
    "The arm is plugged in, but this user may not open it. The udev rule "
    "/usr/lib/udev/rules.d/60-quillmar.rules grants access to the user at the seat (from the "
    "source tree, copy packaging/udev/60-quillmar.rules to /etc/udev/rules.d/). Apply it "
    "without logging out: sudo udevadm control --reload && sudo udevadm trigger "
    "--attr-match=idVendor=1267, then press \"Attach arm\".");

// A failed step of the attach, as one line of the error pane.
QString attach_step_failure(const QString& step, int result) {
    QString line = step + QStringLiteral(": Return value ") + number_text(result);
    if (result == usb_error::busy) {
        line += QStringLiteral(" (busy: another program holds the arm)");
    }
    return line;
}

}  // namespace

ArmLink::ArmLink(UsbAccess& usb, Console& console) : usb(usb), console(console) {}

void ArmLink::send_command(ArmCommand command) {
    if (shut_down) {
        return;
    }
    namespace setup = command_transfer;
    char bytes[setup::length] = {static_cast<char>(command.motor), static_cast<char>(command.base),
                                 static_cast<char>(command.light)};
    const int result =
        usb.vb_usb_control_msg(usb_handle, setup::request_type, setup::request, setup::value,
                               setup::index, bytes, setup::length, transfer_timeout_ms);
    if (result == setup::length) {
        return;
    }
    console.show_error(QStringLiteral("Sent: (") + number_text(command.motor) + QLatin1Char(',') +
                       number_text(command.base) + QLatin1Char(',') + number_text(command.light) +
                       QStringLiteral(") Return value ") + number_text(result));
}

bool ArmLink::attach_arm() {
    usb_handle = usb.vb_usb_open(0, arm_vendor_id, arm_product_id);
    if (usb_handle == 0) {
        console.show_message(QStringLiteral("Could not attach"));
        if (usb.last_open_error() == usb_error::access) {
            console.show_message(access_denied_text);
        }
        return false;
    }
    console.show_message(QStringLiteral("\r\nArm attached"));
    config_value = configuration;
    interface_number = interface;
    // Commands still reach the arm without the claim, so the attach goes on; the user learns
    // why the arm may not answer, for example because another program holds it.
    if (const int result = usb.vb_usb_set_configuration(usb_handle, config_value); result != 0) {
        console.show_error(attach_step_failure(
            QStringLiteral("Configuration %1 not selected").arg(config_value), result));
    }
    if (const int result = usb.vb_usb_claim_interface(usb_handle, interface_number); result != 0) {
        console.show_error(attach_step_failure(
            QStringLiteral("Interface %1 not claimed").arg(interface_number), result));
    }
    return true;
}

void ArmLink::let_go() {
    send_command(all_off_command);
    console.set_light_indicator(0);
    usb.vb_usb_release_interface(usb_handle, interface_number);
    usb.vb_usb_reset(usb_handle);
    usb.vb_usb_close(usb_handle);
}

void ArmLink::release() {
    let_go();
    usb_handle = 0;
    console.show_message(QStringLiteral("\r\nArm released"));
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
