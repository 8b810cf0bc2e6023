#include "arm_bus.h"

#include "armlink/arm_device.h"
#include "armlink/arm_ids.h"

namespace quillmar {

QString usb_start_failure(UsbError error, const QString& library_text) {
    return QStringLiteral("The USB library could not be started (error %1).\n%2")
        .arg(error_code(error))
        .arg(library_text);
}

ArmBus::ArmBus(bool virtual_arm, const Pacer& pacer) {
    if (virtual_arm) {
        emulated = std::make_unique<EmulatedBus>([&pacer] { return pacer.now(); }, hub_and_arm());
    } else {
        libusb = std::make_unique<LibusbBus>();
        udev = std::make_unique<UdevPresence>(arm_vendor_id, arm_product_id);
    }
}

UsbBus& ArmBus::usb() {
    return emulated ? static_cast<UsbBus&>(*emulated) : *libusb;
}

ArmSource ArmBus::source() const {
    return emulated ? ArmSource::virtual_arm : ArmSource::commands_sent;
}

QString ArmBus::init_error_text() const {
    return libusb ? libusb->init_error_text() : QString();
}

}  // namespace quillmar
