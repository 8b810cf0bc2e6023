// The arm's three-byte command and the one table of command numbers that buttons and programs
// share.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillmar {

struct ArmCommand {
    std::uint8_t motor = 0;  // one bit per direction of gripper, wrist, elbow and shoulder
    std::uint8_t base = 0;   // 1 clockwise, 2 anticlockwise
    std::uint8_t light = 0;  // 1 on, 0 off
    friend bool operator==(const ArmCommand&, const ArmCommand&) = default;
};

struct CommandRow {
    int number;
    const char* button;   // object name of the button that sends it
    const char* caption;  // the button's caption, which carries the number
    std::uint8_t motor;
    std::uint8_t base;
    int opposite;  // the command that retraces this movement
};

// Command 0 is the light; 1 to 10 each run one motor one way.
inline constexpr std::array<CommandRow, 11> command_table{{
    {0, "lightme", "Light (0)", 0, 0, 0},
    {1, "handin", "Grip (1)", 1, 0, 2},
    {2, "handout", "Open (2)", 2, 0, 1},
    {3, "wristdown", "Wrist Down (3)", 8, 0, 4},
    {4, "wristup", "Wrist Up (4)", 4, 0, 3},
    {5, "elbowdown", "Elbow Down (5)", 32, 0, 6},
    {6, "elbowup", "Elbow Up (6)", 16, 0, 5},
    {7, "shoulderdown", "Shoulder Down (7)", 128, 0, 8},
    {8, "shoulderup", "Shoulder Up (8)", 64, 0, 7},
    {9, "antibody", "Body Anticlockwise (9)", 0, 2, 10},
    {10, "clockbody", "Body Clockwise (10)", 0, 1, 9},
}};

inline constexpr int light_command_number = 0;
inline constexpr int last_command_number = 10;

// Sets the motor of command 1 to 10 running, keeping the light as `light` says.
constexpr ArmCommand start_command(int number, std::uint8_t light) {
    const auto& row = command_table.at(static_cast<std::size_t>(number));
    return {row.motor, row.base, light};
}
// Sets the motors and base that `motors` names running (its light byte is not used), keeping the
// light as `light` says.
constexpr ArmCommand start_command(ArmCommand motors, std::uint8_t light) {
    return {motors.motor, motors.base, light};
}
constexpr ArmCommand stop_command(std::uint8_t light) {
    return {0, 0, light};
}
constexpr ArmCommand light_command(bool on) {
    return {0, 0, static_cast<std::uint8_t>(on)};
}
inline constexpr ArmCommand all_off_command{0, 0, 0};

constexpr int opposite_command(int number) {
    return command_table.at(static_cast<std::size_t>(number)).opposite;
}

}  // namespace quillmar
