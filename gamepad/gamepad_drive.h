// Drives the session from a gamepad as from the keys: its held inputs press and release the
// keys' commands, so that limits, Stop, focus and recording act on both alike.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

#include "gamepad.h"
#include "session/arm_client.h"
#include "session/arm_session.h"

namespace quillmar {

class GamepadDrive : public QObject {
    Q_OBJECT
  public:
    // `program` reads the program's text when Start or Back runs it.
    GamepadDrive(Gamepad& pad, ArmSession& session, std::function<QString()> program,
                 QObject* parent = nullptr);

    // Whether one of the program's windows is active: only then does the pad drive, unless it
    // works in the background. Losing it ends the pad's drive as a window's focus loss does.
    void set_window_active(bool active);
    void set_background(bool on);

  signals:
    // The session refused a press, and says why.
    void refused(const quillmar::Refusal& refusal);

  private:
    bool may_drive() const { return window_active || background; }
    void press(int command);
    void act(PadAction action);

    ArmClient pad_client;
    std::function<QString()> program;
    bool window_active = false;
    bool background = false;
};

}  // namespace quillmar
