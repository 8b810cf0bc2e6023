// The attached arm: the command transfer, attaching, releasing and letting go at exit.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "arm_command.h"
#include "arm_light.h"
#include "arm_reports.h"
#include "retry_wait.h"
#include "usb/usb_bus.h"

namespace quillmar {

// The control transfer that carries a command: a vendor request to the device, host to device,
// with the three bytes in its data stage.
inline constexpr ControlSetup command_setup{0x40, 6, 0x100, 0};
inline constexpr std::size_t command_length = 3;

class ArmLink {
  public:
    static constexpr int configuration = 1;
    static constexpr int interface = 0;
    static constexpr std::chrono::milliseconds transfer_timeout{20};
    // A stop the arm did not take goes again after each of these, until this bound has passed.
    static constexpr double stop_retry_seconds = 0.02;
    static constexpr double stop_retry_bound_seconds = 2.0;

    // `retry_wait` spaces the tries of a stop command that the arm did not take; `light` is the
    // owner's, read and switched here.
    ArmLink(UsbBus& usb, ArmReports& reports, RetryWait& retry_wait, ArmLight& light);

    // One vendor control transfer; anything but 3 bytes moved gives a line in the error pane.
    // With no arm attached the command reaches no device and gives its line as well.
    void send_command(ArmCommand command);

    // As send_command, and a stop the arm did not take goes again until it is taken, the arm is
    // gone, a later command was taken instead, or the bound has passed; the failed tries after
    // the first give no lines, and a stop never taken gives one. After that, until the arm takes
    // a command again, a stop is tried once. True when the arm took it or a later command.
    bool send_stop(ArmCommand stop);

    // When the last command the arm took went out: the clock read just before its request was
    // handed to the bus, or a usual submission before the bus had taken it, whichever is later.
    // A movement timed from its start's moment ends with a stop that goes out from the same point
    // of its own transfer, never sooner than asked, so that the arm sees the time asked and
    // beyond it only the wake and what one transfer's way to the arm differs from the other's;
    // the answers, which come back after the arm has acted, count for nothing.
    double last_sent_at() const { return sent_at; }

    // How long handing a request on to the bus takes at most as a rule, in seconds.
    static constexpr double usual_submission = 0.0005;

    // Calls `observer` right after each transfer that moved a command's three bytes, so that a
    // listener learns what the arm was told and when.
    void on_command_sent(std::function<void(ArmCommand)> observer);

    // The light byte of a start or stop command: the indicator as it stands now.
    std::uint8_t light_byte() const;
    // Ticks or clears the light indicator, and reports it.
    void show_light(bool on);
    // The light's two values as the owner keeps them.
    ArmLight& light() { return light_values; }
    const ArmLight& light() const { return light_values; }

    // Opens the first arm, reports "Arm attached" or "Could not attach", and selects the
    // configuration and claims the interface; a failed step gives a line in the error pane but
    // the arm stays attached. True when the arm is now attached. `may_take`, when given, is
    // asked first with where the arm sits: a text is why not (another process drives it), and
    // the arm is let go without a command, "Could not attach" and that text reported.
    bool attach_arm(
        const std::function<std::optional<QString>(DeviceLocation)>& may_take = nullptr);

    // All off, tried until taken as any stop, and always for the whole bound as it is the
    // last command this arm gets; then the indicator cleared, the device let go, "Arm
    // released". Nothing when detached. No other command goes out meanwhile.
    void release();

    // The window is closing: as release when attached. From then on no command goes out, so
    // a jog or a run that is unwinding cannot move the arm after its all off.
    void shutdown();

    // The arm was pulled out: its handle closed without a command, one line in the error pane
    // (none when a command sent since the pull found no device and gave its line), and from then
    // on, until the next attach, no command goes out and none gives a line, so
    // that a movement unwinding after it says nothing more. Inside a release, that release goes
    // on with its handle (its tries fail as the arm's are gone) and no line is added. Nothing
    // when no arm is attached.
    void lose();

    bool attached() const { return arm.has_value(); }
    // The arm was pulled out since the last attach.
    bool lost() const { return arm_lost; }
    // Where the attached arm sits; none when no arm is attached.
    std::optional<DeviceLocation> location() const { return arm ? arm_location : std::nullopt; }

    // The arm never took the last stop it was sent and has taken no command since: a motor may
    // still be running.
    bool left_running() const { return stop_not_taken; }

  private:
    // One transfer of `command`, with no line; a command that went out is counted and told.
    UsbResult<int> transfer(ArmCommand command);
    void report_failure(ArmCommand command, const UsbResult<int>& result);
    // send_stop's tries; `last_chance` tries for the whole bound even after a stop never taken.
    bool stop_until_taken(ArmCommand stop, bool last_chance);
    // The result of a setting-up step: nothing when it worked, else its line in the error pane.
    void report_step(const UsbResult<void>& result, const QString& step);

    UsbBus& usb;
    ArmReports& reports;
    RetryWait& retry_wait;
    std::optional<DeviceHandle> arm;
    bool shut_down = false;
    bool letting_go = false;  // release is sending its all off
    ArmLight& light_values;
    bool stop_not_taken = false;
    bool arm_lost = false;
    bool pull_told = false;  // a command found the arm gone and said so, before lose()
    std::optional<DeviceLocation> arm_location;
    unsigned long long commands_taken = 0;
    double sent_at = 0;
    std::function<void(ArmCommand)> command_sent;
};

}  // namespace quillmar
