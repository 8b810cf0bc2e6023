// The arm's mechanics: five joints and the light, moved by arm commands over time; the virtual arm
// and the estimate of a real arm both run on it.
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "armlink/arm_command.h"

namespace quillmar {

class EmulatedBus;

enum class Joint { base, shoulder, elbow, wrist, gripper };
inline constexpr std::size_t joint_count = 5;

struct JointRow {
    Joint joint;
    const char* name;
    const char* unit;  // "°" for angles, "mm" for the gripper's opening
    double minimum;
    double maximum;
    double start;
    double speed;            // units per second while its motor runs
    int increasing_command;  // the command number whose motor drives the joint towards maximum
    int decreasing_command;
};

// The one table of the arm's joints, used for the virtual arm and for the estimate of a real arm,
// which has no sensors: typical figures for small geared toy arms, not measured on any one arm.
// Angles are in degrees: the base from straight ahead, anticlockwise seen from above; the shoulder
// from the forward horizontal, rising backwards; the elbow and the wrist relative to the part
// before them, positive upwards. The gripper is its opening in mm. Speeds are chosen so that a full
// sweep takes several seconds, as the slow gearboxes of such arms do.
inline constexpr std::array<JointRow, joint_count> joint_table{{
    {Joint::base, "Base", "°", -135.0, 135.0, 0.0, 27.0, 9, 10},       // 270° in 10 s
    {Joint::shoulder, "Shoulder", "°", 0.0, 180.0, 80.0, 18.0, 8, 7},  // 180° in 10 s
    {Joint::elbow, "Elbow", "°", -150.0, 150.0, -60.0, 25.0, 6, 5},    // 300° in 12 s
    {Joint::wrist, "Wrist", "°", -60.0, 60.0, -20.0, 24.0, 4, 3},      // 120° in 5 s
    {Joint::gripper, "Gripper", "mm", 0.0, 40.0, 20.0, 8.0, 2, 1},     // 40 mm in 5 s
}};

static_assert(
    [] {
        for (std::size_t index = 0; index < joint_count; ++index) {
            if (joint_table.at(index).joint != static_cast<Joint>(index)) {
                return false;
            }
        }
        return true;
    }(),
    "the joint table lists the joints in their enum order");

constexpr const JointRow& row_of(Joint joint) {
    return joint_table.at(static_cast<std::size_t>(joint));
}

using Pose = std::array<double, joint_count>;

// How fast each joint of one arm travels each way: the joint table's figures unless calibrated.
struct JointSpeeds {
    // Units per second towards the joint's maximum and towards its minimum; gravity makes a
    // loaded joint faster one way than the other.
    std::array<double, joint_count> up{};
    std::array<double, joint_count> down{};

    // The joint table's speeds, the same both ways.
    static JointSpeeds built_in();

    // The speed of `joint` driven `drive` (+1 towards its maximum, -1 towards its minimum).
    double of(Joint joint, int drive) const;
    // The slower of the joint's two speeds.
    double slower(Joint joint) const;
    // Every speed `factor` times this one.
    JointSpeeds scaled(double factor) const;

    friend bool operator==(const JointSpeeds&, const JointSpeeds&) = default;
};

// The start pose of the table.
Pose start_pose();

// An amount in the joint's unit: "-60.0°", "20.0 mm" (a degree sign follows its number, a unit
// in letters stands apart).
QString amount_text(const JointRow& row, double value, int decimals);

// Which way a command drives a joint: +1 towards its maximum, -1 towards its minimum, 0 not at
// all (also when both directions of one motor are asked for at once).
int drive_of(Joint joint, ArmCommand command);

// The arm's state as a function of time: the pose at the last command and the command since then.
// Every joint moves at its constant speed until it meets a limit, where it stays while its motor
// strains against it.
class ArmModel : public QObject {
    Q_OBJECT
  public:
    explicit ArmModel(double time, QObject* parent = nullptr);
    ArmModel(double time, const JointSpeeds& speeds, QObject* parent = nullptr);

    // The arm received `command` at `time`; times never go back.
    void set_command(ArmCommand command, double time);
    // Puts the joints back to the start pose at `time`, which becomes the origin with the light as
    // it is; the running motors keep running.
    void reset_pose(double time);
    // The pose at `time` and the light become the origin, where Back to start returns the arm.
    void set_origin(double time);
    // Puts the joints in `pose` at `time`; the running motors keep running.
    void place(const Pose& pose, double time);
    // The joints travel at `speeds` from `time` on; the pose up to then is kept.
    void set_speeds(const JointSpeeds& speeds, double time);
    // Lets every arm command that reaches `usb` drive this model.
    void follow(EmulatedBus& usb);

    ArmCommand command() const { return current; }
    bool light_on() const { return current.light != 0; }
    Pose pose_at(double time) const;
    double position_at(Joint joint, double time) const;
    // The joint's motor runs into the limit that the joint has reached.
    bool straining(Joint joint, double time) const;
    // Some joint is still travelling.
    bool moving(double time) const;
    // Seconds from `time` until a joint that the current command drives reaches its end; infinity
    // when none travels towards one.
    double seconds_to_end(double time) const;
    const JointSpeeds& speeds() const { return joint_speeds; }
    const Pose& origin() const { return origin_pose; }
    bool origin_light_on() const { return origin_light; }
    // The number of the last command that drove `joint`, counting every command taken: a joint
    // with a larger number moved later; 0 never moved.
    std::uint64_t last_driven(Joint joint) const;

  signals:
    // A command arrived or the pose was reset.
    void changed();

  private:
    JointSpeeds joint_speeds = JointSpeeds::built_in();
    ArmCommand current;
    double since;
    Pose pose_since;
    Pose origin_pose;
    bool origin_light = false;
    std::uint64_t commands_taken = 0;
    std::array<std::uint64_t, joint_count> driven_by{};
};

}  // namespace quillmar
