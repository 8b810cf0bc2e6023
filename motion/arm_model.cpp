#include "arm_model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "armlink/arm_device.h"

namespace quillmar {

namespace {

bool drives(int command_number, ArmCommand command) {
    const auto& row = command_table.at(static_cast<std::size_t>(command_number));
    return (command.motor & row.motor) != 0 || (command.base & row.base) != 0;
}

}  // namespace

Pose start_pose() {
    Pose pose{};
    for (const auto& row : joint_table) {
        pose.at(static_cast<std::size_t>(row.joint)) = row.start;
    }
    return pose;
}

JointSpeeds JointSpeeds::built_in() {
    JointSpeeds speeds;
    for (const auto& row : joint_table) {
        const auto index = static_cast<std::size_t>(row.joint);
        speeds.up.at(index) = row.speed;
        speeds.down.at(index) = row.speed;
    }
    return speeds;
}

double JointSpeeds::of(Joint joint, int drive) const {
    const auto index = static_cast<std::size_t>(joint);
    return drive < 0 ? down.at(index) : up.at(index);
}

double JointSpeeds::slower(Joint joint) const {
    return std::min(of(joint, 1), of(joint, -1));
}

JointSpeeds JointSpeeds::scaled(double factor) const {
    JointSpeeds speeds = *this;
    for (std::size_t index = 0; index < joint_count; ++index) {
        speeds.up.at(index) *= factor;
        speeds.down.at(index) *= factor;
    }
    return speeds;
}

QString amount_text(const JointRow& row, double value, int decimals) {
    const QString unit = QString::fromUtf8(row.unit);
    return QString::number(value, 'f', decimals) +
           (unit == QStringLiteral("°") ? unit : QLatin1Char(' ') + unit);
}

int drive_of(Joint joint, ArmCommand command) {
    const JointRow& row = row_of(joint);
    const bool up = drives(row.increasing_command, command);
    const bool down = drives(row.decreasing_command, command);
    return up == down ? 0 : (up ? 1 : -1);
}

ArmModel::ArmModel(double time, QObject* parent)
    : QObject(parent), since(time), pose_since(start_pose()), origin_pose(start_pose()) {}

ArmModel::ArmModel(double time, const JointSpeeds& speeds, QObject* parent)
    : ArmModel(time, parent) {
    joint_speeds = speeds;
}

void ArmModel::set_speeds(const JointSpeeds& speeds, double time) {
    pose_since = pose_at(time);
    since = std::max(since, time);
    joint_speeds = speeds;
    emit changed();
}

void ArmModel::set_command(ArmCommand command, double time) {
    pose_since = pose_at(time);
    since = std::max(since, time);
    current = command;
    ++commands_taken;
    for (const auto& row : joint_table) {
        if (drive_of(row.joint, command) != 0) {
            driven_by.at(static_cast<std::size_t>(row.joint)) = commands_taken;
        }
    }
    emit changed();
}

void ArmModel::reset_pose(double time) {
    origin_pose = start_pose();
    origin_light = light_on();
    place(start_pose(), time);
}

void ArmModel::set_origin(double time) {
    origin_pose = pose_at(time);
    origin_light = light_on();
}

std::uint64_t ArmModel::last_driven(Joint joint) const {
    return driven_by.at(static_cast<std::size_t>(joint));
}

void ArmModel::place(const Pose& pose, double time) {
    pose_since = pose;
    since = std::max(since, time);
    emit changed();
}

void ArmModel::follow(EmulatedBus& usb) {
    usb.on_transfer([this](const EmulatedBus::Transfer& transfer) {
        if (const auto command = arm_command_in(transfer)) {
            set_command(*command, transfer.time);
        }
    });
}

double ArmModel::position_at(Joint joint, double time) const {
    const JointRow& row = row_of(joint);
    const double elapsed = std::max(0.0, time - since);
    const int drive = drive_of(joint, current);
    const double travelled = drive * joint_speeds.of(joint, drive) * elapsed;
    return std::clamp(pose_since.at(static_cast<std::size_t>(joint)) + travelled, row.minimum,
                      row.maximum);
}

Pose ArmModel::pose_at(double time) const {
    Pose pose{};
    for (const auto& row : joint_table) {
        pose.at(static_cast<std::size_t>(row.joint)) = position_at(row.joint, time);
    }
    return pose;
}

bool ArmModel::straining(Joint joint, double time) const {
    const int drive = drive_of(joint, current);
    const double position = position_at(joint, time);
    const JointRow& row = row_of(joint);
    return (drive > 0 && position >= row.maximum) || (drive < 0 && position <= row.minimum);
}

bool ArmModel::moving(double time) const {
    return std::any_of(joint_table.begin(), joint_table.end(), [&](const JointRow& row) {
        return drive_of(row.joint, current) != 0 && !straining(row.joint, time);
    });
}

double ArmModel::seconds_to_end(double time) const {
    double soonest = std::numeric_limits<double>::infinity();
    for (const auto& row : joint_table) {
        const int drive = drive_of(row.joint, current);
        if (drive != 0) {
            const double limit = drive > 0 ? row.maximum : row.minimum;
            const double left = std::abs(limit - position_at(row.joint, time));
            soonest = std::min(soonest, left / joint_speeds.of(row.joint, drive));
        }
    }
    return soonest;
}

}  // namespace quillmar
