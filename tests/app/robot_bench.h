// A main window on an emulated bus, with virtual time and dialogs that answer themselves.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include "armlink/emulated_usb.h"
#include "programs/program_files.h"
#include "robot.h"
#include "support/fake_pacer.h"
#include "support/scripted_dialogs.h"

namespace quillmar::testing {

struct RobotBench {
    explicit RobotBench(bool with_arm)
        : usb([this] { return pacer.now(); },
              with_arm ? EmulatedUsb::hub_and_arm() : std::vector<DeviceModel>{}) {}

    template <typename T = QWidget>
    T* control(const char* name) {
        return robot.findChild<T*>(QLatin1String(name));
    }

    FakePacer pacer;
    EmulatedUsb usb;
    ScriptedDialogs dialogs;
    Robot robot{usb, pacer, dialogs};
};

}  // namespace quillmar::testing
