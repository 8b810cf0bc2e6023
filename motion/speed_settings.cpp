#include "speed_settings.h"

#include <cmath>

namespace quillmar {

namespace {

constexpr double shortest_travel = 0.2;
constexpr double longest_travel = 600.0;

double range_of(Joint joint) {
    return row_of(joint).maximum - row_of(joint).minimum;
}

QString key_of(const QString& group, Joint joint, int drive) {
    return group + QLatin1Char('/') + QString::fromUtf8(row_of(joint).name).toLower() +
           (drive > 0 ? QStringLiteral("_up") : QStringLiteral("_down"));
}

}  // namespace

std::optional<double> travel_speed(Joint joint, double seconds) {
    if (!std::isfinite(seconds) || seconds < shortest_travel || seconds > longest_travel) {
        return std::nullopt;
    }
    return range_of(joint) / seconds;
}

double travel_seconds(Joint joint, double speed) {
    return range_of(joint) / speed;
}

JointSpeeds read_joint_speeds(const QSettings& settings, const QString& group) {
    JointSpeeds speeds = JointSpeeds::built_in();
    for (const auto& row : joint_table) {
        const auto index = static_cast<std::size_t>(row.joint);
        for (const int drive : {1, -1}) {
            // Kept as the seconds of a full travel, which is what a user reads and types.
            bool number = false;
            const double seconds =
                settings.value(key_of(group, row.joint, drive)).toDouble(&number);
            const std::optional<double> speed = travel_speed(row.joint, seconds);
            if (number && speed) {
                (drive > 0 ? speeds.up : speeds.down).at(index) = *speed;
            }
        }
    }
    return speeds;
}

void write_joint_speeds(QSettings& settings, const QString& group, const JointSpeeds& speeds) {
    settings.remove(group);
    if (speeds == JointSpeeds::built_in()) {
        return;
    }
    for (const auto& row : joint_table) {
        for (const int drive : {1, -1}) {
            settings.setValue(key_of(group, row.joint, drive),
                              travel_seconds(row.joint, speeds.of(row.joint, drive)));
        }
    }
}

}  // namespace quillmar
