// A main window on an emulated bus, with virtual time and dialogs that answer themselves.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include "app/robot.h"
#include "armlink/arm_device.h"
#include "programs/program_files.h"
#include "support/fake_pacer.h"
#include "support/scripted_dialogs.h"
#include "usb/emulated_bus.h"

namespace quillmar::testing {

struct RobotBench {
    explicit RobotBench(bool with_arm)
        : usb([this] { return pacer.now(); },
              with_arm ? hub_and_arm() : std::vector<DeviceModel>{}) {}

    template <typename T = QWidget>
    T* control(const char* name) {
        return robot.findChild<T*>(QLatin1String(name));
    }

    FakePacer pacer;
    EmulatedBus usb;
    ScriptedDialogs dialogs;
    Robot robot{usb, pacer, dialogs};
};

}  // namespace quillmar::testing
