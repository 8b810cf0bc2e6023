// The attached arm: its handle, the command transfer, attaching, releasing and letting go at exit.
#pragma once

#include <cstdint>

#include "arm_command.h"
#include "console.h"
#include "usb_access.h"

namespace quillmar {

class ArmLink {
  public:
    static constexpr int configuration = 1;
    static constexpr int interface = 0;
    static constexpr int transfer_timeout_ms = 20;

    ArmLink(UsbAccess& usb, Console& console);

    // One vendor control transfer; anything but 3 bytes moved gives a line in the error pane.
    void send_command(ArmCommand command);

    // Opens the first arm, reports "Arm attached" or "Could not attach", and selects the
    // configuration and claims the interface; a failed step gives a line in the error pane but
    // the arm stays attached. True when the arm is now attached.
    bool attach_arm();

    // All off, indicator cleared, the device let go, "Arm released". Only while attached.
    void release();

    // The window is closing: as release when attached. From then on no command goes out, so
    // a jog or a run that is unwinding cannot move the arm after its all off.
    void shutdown();

    bool attached() const { return usb_handle != 0; }
    std::int32_t handle() const { return usb_handle; }

  private:
    void let_go();

    UsbAccess& usb;
    Console& console;
    std::int32_t usb_handle = 0;
    std::int16_t config_value = 0;
    std::int32_t interface_number = 0;
    bool shut_down = false;
};

}  // namespace quillmar
