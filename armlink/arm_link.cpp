#include "arm_link.h"

#include <algorithm>
#include <array>
#include <optional>
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

bool taken(const UsbResult<int>& result) {
    return result && *result == static_cast<int>(command_length);
}

// Unplugged or let go: no try can reach it.
bool gone(const UsbResult<int>& result) {
    return !result && result.error() == UsbError::no_device;
}

}  // namespace

ArmLink::ArmLink(UsbBus& usb, ArmReports& reports, RetryWait& retry_wait, ArmLight& light)
    : usb(usb), reports(reports), retry_wait(retry_wait), light_values(light) {}

UsbResult<int> ArmLink::transfer(ArmCommand command) {
    std::array<std::uint8_t, command_length> bytes{command.motor, command.base, command.light};
    std::optional<double> going_at;
    std::optional<double> submitted_at;
    retry_wait.end_exact();
    const UsbResult<int> result =
        arm ? usb.control_transfer(*arm, command_setup, bytes, transfer_timeout,
                                   [&](TransferStep step) {
                                       (step == TransferStep::going ? going_at : submitted_at) =
                                           retry_wait.now();
                                   })
            : UsbResult<int>(UsbError::no_device);
    if (taken(result)) {
        const double now = retry_wait.now();
        // A submission slower than usual may have handed the request on late, when the thread
        // was kept from the processor or the bus was slow to take it: the command then counts as
        // gone no sooner than a usual submission before it was done.
        sent_at = std::max(going_at.value_or(now), submitted_at.value_or(now) - usual_submission);
        ++commands_taken;
        stop_not_taken = false;
        if (command_sent) {
            command_sent(command);
        }
    }
    return result;
}

void ArmLink::report_failure(ArmCommand command, const UsbResult<int>& result) {
    // Our open handle finds no device: the arm was pulled out, and this line says so.
    if (arm && gone(result)) {
        pull_told = true;
    }
    reports.show_error(QStringLiteral("Sent: (") + number_text(command.motor) + QLatin1Char(',') +
                       number_text(command.base) + QLatin1Char(',') + number_text(command.light) +
                       QStringLiteral(") ") +
                       return_value_text(result ? *result : error_code(result.error())));
}

void ArmLink::send_command(ArmCommand command) {
    if (shut_down || letting_go || arm_lost) {
        return;
    }
    if (const UsbResult<int> result = transfer(command); !taken(result)) {
        report_failure(command, result);
    }
}

bool ArmLink::send_stop(ArmCommand stop) {
    if (shut_down || letting_go || arm_lost) {
        return false;
    }
    return stop_until_taken(stop, false);
}

bool ArmLink::stop_until_taken(ArmCommand stop, bool last_chance) {
    UsbResult<int> result = transfer(stop);
    if (taken(result)) {
        return true;
    }
    report_failure(stop, result);
    // The user has been told to switch the arm off already: no second wait for the same arm.
    if (gone(result) || (stop_not_taken && !last_chance)) {
        return false;
    }
    const double first_try = retry_wait.now();
    const unsigned long long taken_before = commands_taken;
    while (true) {
        retry_wait.wait_to_retry(stop_retry_seconds);
        // A command taken meanwhile stopped the motors, or started a movement of the user's that
        // has a stop of its own.
        if (commands_taken != taken_before) {
            return true;
        }
        // A release or closing meanwhile sent an all off of its own, or a stop nested in the wait
        // gave up and said so.
        if (!last_chance && (!arm || shut_down || stop_not_taken)) {
            return false;
        }
        if (retry_wait.now() - first_try >= stop_retry_bound_seconds) {
            break;
        }
        result = transfer(stop);
        if (taken(result)) {
            return true;
        }
        if (gone(result)) {
            return false;
        }
    }
    stop_not_taken = true;
    reports.show_error(QStringLiteral("The arm did not take the stop command: switch it off"));
    return false;
}

void ArmLink::on_command_sent(std::function<void(ArmCommand)> observer) {
    command_sent = std::move(observer);
}

std::uint8_t ArmLink::light_byte() const {
    return light_values.indicator ? 1 : 0;
}

void ArmLink::show_light(bool on) {
    light_values.indicator = on;
    reports.set_light_indicator(on);
}

bool ArmLink::attach_arm(const std::function<std::optional<QString>(DeviceLocation)>& may_take) {
    arm_lost = false;
    pull_told = false;
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
    const auto where = usb.location(*arm);
    arm_location = where ? std::optional(*where) : std::nullopt;
    if (may_take && arm_location) {
        if (const auto refused = may_take(*arm_location)) {
            usb.close(*arm);
            arm.reset();
            reports.show_message(QStringLiteral("Could not attach"));
            reports.show_message(*refused);
            return false;
        }
    }
    stop_not_taken = false;
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
    if (!arm || letting_go) {
        return;
    }
    letting_go = true;
    stop_until_taken(all_off_command, true);
    show_light(false);
    usb.release_interface(*arm, interface);
    usb.reset(*arm);
    usb.close(*arm);
    arm.reset();
    letting_go = false;
    reports.show_message(QStringLiteral("\r\nArm released"));
}

void ArmLink::lose() {
    if (!arm) {
        return;
    }
    arm_lost = true;
    if (letting_go) {
        return;
    }
    // The light went out with the arm's power, as after a release.
    show_light(false);
    usb.close(*arm);
    arm.reset();
    if (!pull_told) {
        reports.show_error(QStringLiteral("Arm unplugged: ") +
                           return_value_text(error_code(UsbError::no_device)));
    }
}

void ArmLink::shutdown() {
    if (shut_down) {
        return;
    }
    // Inside a release that is still trying its all off, that release goes on.
    if (attached()) {
        release();
    }
    shut_down = true;
}

}  // namespace quillmar
