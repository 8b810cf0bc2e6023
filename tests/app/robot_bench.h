// A main window on an emulated bus, with virtual time and dialogs that answer themselves.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include "app/robot.h"
#include "armlink/arm_device.h"
#include "programs/program_files.h"
#include "session/arm_session.h"
#include "support/fake_pacer.h"
#include "support/scripted_dialogs.h"
#include "usb/emulated_bus.h"

namespace quillmar::testing {

struct RobotBench {
    // With `virtual_arm` the session's model follows the emulated arm itself; `presence`, when
    // given, tells the session of arms plugged in and pulled out.
    explicit RobotBench(bool with_arm, ArmSource source = ArmSource::commands_sent,
                        DevicePresence* presence = nullptr)
        : usb([this] { return pacer.now(); },
              with_arm ? hub_and_arm() : std::vector<DeviceModel>{}),
          session(usb, pacer, source, presence) {
        // The holds' own rules are tested here; the soft limits, on by default, have their own.
        session.set_soft_limits(false);
        if (source == ArmSource::virtual_arm) {
            session.model().follow(usb);
        }
    }

    template <typename T = QWidget>
    T* control(const char* name) {
        return robot.findChild<T*>(QLatin1String(name));
    }

    FakePacer pacer;
    EmulatedBus usb;
    ScriptedDialogs dialogs;
    ArmSession session;
    ArmClient hand{session, ClientKind::main_window, QStringLiteral("the test")};
    Robot robot{session, dialogs};
};

}  // namespace quillmar::testing
