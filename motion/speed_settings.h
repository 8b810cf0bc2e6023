// An arm's joint speeds kept in the settings, and the speeds that calibration times.
#pragma once

#include <QSettings>
#include <QString>
#include <optional>

#include "arm_model.h"

namespace quillmar {

// The speed at which `joint` crosses its whole range in `seconds`; none when that is no time a
// toy arm's gearbox takes (under 0.2 s, over 10 minutes, or not a number).
std::optional<double> travel_speed(Joint joint, double seconds);

// The seconds a full travel of `joint` takes at `speed`.
double travel_seconds(Joint joint, double speed);

// The speeds saved under `group`; each one missing or not a full travel that travel_speed()
// accepts is the built-in table's.
JointSpeeds read_joint_speeds(const QSettings& settings, const QString& group);

// Saves `speeds` under `group`; the built-in table leaves the group empty.
void write_joint_speeds(QSettings& settings, const QString& group, const JointSpeeds& speeds);

}  // namespace quillmar
