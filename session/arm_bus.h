// The bus a front end drives its arm on: the real USB bus, where arms are heard being plugged in
// and pulled out, or the virtual arm on an emulated bus.
#pragma once

#include <QString>
#include <memory>

#include "arm_session.h"
#include "motion/pacer.h"
#include "usb/emulated_bus.h"
#include "usb/libusb_bus.h"
#include "usb/udev_presence.h"

namespace quillmar {

// The one text of a USB library that did not start: its error, a line end, then the library's
// own words.
QString usb_start_failure(UsbError error, const QString& library_text);

class ArmBus {
  public:
    // The virtual arm's bus keeps its time by `pacer`.
    ArmBus(bool virtual_arm, const Pacer& pacer);

    UsbBus& usb();
    // Null on the real bus.
    EmulatedBus* virtual_arm() const { return emulated.get(); }
    // Null on the virtual arm's bus: only a real arm is plugged in and pulled out.
    DevicePresence* presence() const { return udev.get(); }
    // The virtual arm's model is the emulated arm; a real arm's is estimated from every command
    // sent.
    ArmSource source() const;
    // The USB library's own words on a failed start; empty for the virtual arm.
    QString init_error_text() const;

  private:
    std::unique_ptr<EmulatedBus> emulated;
    std::unique_ptr<LibusbBus> libusb;
    std::unique_ptr<UdevPresence> udev;
};

}  // namespace quillmar
