#include "serve.h"

#include <QCoreApplication>
#include <cstdio>
#include <memory>

#include "arm_server.h"
#include "armlink/arm_device.h"
#include "armlink/arm_ids.h"
#include "motion/event_pacer.h"
#include "session/signal_bridge.h"
#include "usb/emulated_bus.h"
#include "usb/libusb_bus.h"
#include "usb/udev_presence.h"

namespace quillmar {

namespace {

void say(const QString& line) {
    std::fputs(qPrintable(QStringLiteral("quillmar: ") + line + u'\n'), stderr);
}

}  // namespace

int serve(bool virtual_arm_wanted) {
    EventPacer pacer;
    std::unique_ptr<EmulatedBus> virtual_arm;
    std::unique_ptr<LibusbBus> libusb;
    std::unique_ptr<UdevPresence> presence;
    if (virtual_arm_wanted) {
        virtual_arm =
            std::make_unique<EmulatedBus>([&pacer] { return pacer.now(); }, hub_and_arm());
    } else {
        libusb = std::make_unique<LibusbBus>();
        presence = std::make_unique<UdevPresence>(arm_vendor_id, arm_product_id);
    }
    UsbBus& usb = virtual_arm ? static_cast<UsbBus&>(*virtual_arm) : *libusb;
    ArmSession session(usb, pacer, virtual_arm ? ArmSource::virtual_arm : ArmSource::commands_sent,
                       presence.get());
    if (virtual_arm) {
        session.model().follow(*virtual_arm);
    }
    if (const auto started = session.start_up(); !started) {
        say(QStringLiteral("the USB library could not be started (error %1)")
                .arg(error_code(started.error())));
        return 1;
    }
    ArmServer server(session);
    const QString path = default_socket_path();
    if (const QString why = server.listen(path); !why.isEmpty()) {
        say(QStringLiteral("not serving: ") + why);
        return 1;
    }
    say(QStringLiteral("serving at ") + path);

    // A signal lets the arm go, as closing the window does.
    SignalBridge signals_to_close;
    QObject::connect(&signals_to_close, &SignalBridge::termination_requested, &session, [&session] {
        session.shut_down();
        QCoreApplication::quit();
    });
    const int code = QCoreApplication::exec();
    session.shut_down();
    if (session.link().left_running()) {
        say(QStringLiteral("the arm did not take the stop command: switch it off"));
        return 1;
    }
    return code;
}

}  // namespace quillmar
