// The attached arm: the command transfer, attaching, releasing and letting go at exit.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "arm_command.h"
#include "arm_reports.h"
#include "usb/usb_bus.h"

namespace quillmar {

class ArmLink {
  public:
    static constexpr int configuration = 1;
    static constexpr int interface = 0;
    static constexpr std::chrono::milliseconds transfer_timeout{20};

    ArmLink(UsbBus& usb, ArmReports& reports);

    // One vendor control transfer; anything but 3 bytes moved gives a line in the error pane.
    // With no arm attached the command reaches no device and gives its line as well.
    void send_command(ArmCommand command);

    // Calls `observer` right after each transfer that moved a command's three bytes, so that a
    // listener learns what the arm was told and when.
    void on_command_sent(std::function<void(ArmCommand)> observer);

    // The light byte of a start or stop command: the indicator as it stands now.
    std::uint8_t light_byte() const;
    // Ticks or clears the light indicator.
    void show_light(bool on);

    // Opens the first arm, reports "Arm attached" or "Could not attach", and selects the
    // configuration and claims the interface; a failed step gives a line in the error pane but
    // the arm stays attached. True when the arm is now attached.
    bool attach_arm();

    // All off, indicator cleared, the device let go, "Arm released". Nothing when detached.
    void release();

    // The window is closing: as release when attached. From then on no command goes out, so
    // a jog or a run that is unwinding cannot move the arm after its all off.
    void shutdown();

    bool attached() const { return arm.has_value(); }

  private:
    // The result of a setting-up step: nothing when it worked, else its line in the error pane.
    void report_step(const UsbResult<void>& result, const QString& step);

    UsbBus& usb;
    ArmReports& reports;
    std::optional<DeviceHandle> arm;
    bool shut_down = false;
    std::function<void(ArmCommand)> command_sent;
};

}  // namespace quillmar
