// What the window, `serve` and `run` alike start the arm with: the pacer, the bus, the session
// and the safety settings the session reads from the user's settings file.
#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

#include "arm_session.h"
#include "motion/pose_settings.h"
#include "usb/usb_result.h"

namespace quillmar {

// The user's settings file, ~/.config/quillmar/quillmar.conf; null, after a line on standard
// error, when it is there but cannot be read as settings.
std::unique_ptr<QSettings> remembered_settings();

// The survey of every USB device this user may open, as the message pane shows it at start-up,
// on the real bus or the virtual arm's; or the text of a USB library that did not start.
struct DeviceListing {
    QStringList lines;
    std::optional<QString> failure;
};
DeviceListing list_devices(bool virtual_arm);

class ArmRuntime {
  public:
    // `virtual_arm`: the virtual arm instead of the USB bus; `virtual_speed` (with it) makes the
    // virtual arm's joints travel that many times as fast as the table says, and estimates it
    // from the commands sent as a real arm is.
    explicit ArmRuntime(bool virtual_arm, std::optional<double> virtual_speed = std::nullopt);
    ~ArmRuntime();
    ArmRuntime(const ArmRuntime&) = delete;
    ArmRuntime& operator=(const ArmRuntime&) = delete;

    ArmSession& session() { return *arm_session; }
    ArmSource source() const { return arm_source; }
    bool virtual_arm() const;
    // The virtual arm as it truly stands when its speeds differ from the estimate's; else null.
    const ArmModel* true_arm() const { return truth.get(); }
    // The user's settings, and the group of this kind of arm in them ("arm", "virtual_arm").
    QSettings* settings() const { return kept.get(); }
    QString settings_group() const;
    // The poses the user named in the arm window, read afresh; none without settings.
    std::vector<NamedPose> named_poses() const;

    // The USB library, the survey and attach; when the library fails to start, start_failure's
    // text.
    std::optional<QString> start_up();
    // The one text of a USB library that did not start: `error`, a line end, then the library's
    // own words.
    QString start_failure(UsbError error) const;

  private:
    // The pacer and the bus (arm_runtime.cpp): made before the session and gone after it, so that
    // the bus takes the session's last commands.
    struct Parts;
    std::unique_ptr<Parts> parts;
    ArmSource arm_source;
    std::unique_ptr<ArmModel> truth;
    std::unique_ptr<QSettings> kept;
    std::unique_ptr<ArmSession> arm_session;
};

}  // namespace quillmar
