#include "pose_settings.h"

#include <algorithm>
#include <cmath>

#include "text/visible_text.h"

namespace quillmar {

std::vector<NamedPose> read_named_poses(QSettings& settings, const QString& key) {
    std::vector<NamedPose> poses;
    const int count = settings.beginReadArray(key);
    for (int index = 0; index < count; ++index) {
        settings.setArrayIndex(index);
        const QString name =
            visible_text(settings.value(QStringLiteral("name")).toString()).left(longest_pose_name);
        const QStringList numbers = settings.value(QStringLiteral("pose")).toStringList();
        if (name.isEmpty() || numbers.size() != static_cast<qsizetype>(joint_count) ||
            std::ranges::find(poses, name, &NamedPose::name) != poses.end()) {
            continue;
        }
        // A hand-edited file may hold anything: each joint stays within its range.
        Pose pose = start_pose();
        for (const auto& row : joint_table) {
            const auto joint = static_cast<std::size_t>(row.joint);
            bool number = false;
            const double value = numbers.at(static_cast<qsizetype>(joint)).toDouble(&number);
            if (number && std::isfinite(value)) {
                pose.at(joint) = std::clamp(value, row.minimum, row.maximum);
            }
        }
        poses.push_back({name, pose});
    }
    settings.endArray();
    return poses;
}

}  // namespace quillmar
