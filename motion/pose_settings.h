// Named poses kept in the settings: where Go to drives the arm and a go-to block names.
#pragma once

#include <QSettings>
#include <QString>
#include <vector>

#include "arm_model.h"

namespace quillmar {

inline constexpr qsizetype longest_pose_name = 40;

struct NamedPose {
    QString name;
    Pose pose;
};

// The poses kept in the array `key`: a name shown as one visible line of at most
// longest_pose_name characters, each joint within its range; an entry without a name, without a
// number for each joint or of a name already read is left out.
std::vector<NamedPose> read_named_poses(QSettings& settings, const QString& key);

}  // namespace quillmar
