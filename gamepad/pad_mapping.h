// Which stick, trigger or button of a gamepad drives which arm command, and the legend that says
// so.
#pragma once

#include <SDL.h>

#include <QString>
#include <QStringList>
#include <array>

namespace quillmar {

// Buttons that act once when pressed, as the main window's buttons do.
enum class PadAction { light, stop, run, reverse };

// An axis pushed past the dead zone towards `sign`, or a button held: its command runs meanwhile.
struct HeldInput {
    SDL_GameControllerAxis axis;
    int sign;  // -1 left or up, +1 right, down or a trigger pulled
    SDL_GameControllerButton button;
    int command;
    const char* control;  // the stick, or empty for the triggers and shoulder buttons
    const char* way;
};

struct ActionButton {
    SDL_GameControllerButton button;
    PadAction action;
    const char* label;
    const char* what;
};

inline constexpr auto no_axis = SDL_CONTROLLER_AXIS_INVALID;
inline constexpr auto no_button = SDL_CONTROLLER_BUTTON_INVALID;

// The left stick drives the two big joints as the arrow keys do (base and shoulder). The right
// stick's two axes drive the elbow and the wrist, so that one thumb moves both at once on a
// diagonal, which keeps the gripper level while the arm reaches; the wrist takes left and right
// because up and down is the elbow's. Left trigger or shoulder button opens the gripper, the right
// ones close it, as the left hand's upper key opens it.
inline constexpr std::array<HeldInput, 12> held_inputs{{
    {SDL_CONTROLLER_AXIS_LEFTX, -1, no_button, 9, "Left stick ", "\u2190"},
    {SDL_CONTROLLER_AXIS_LEFTX, 1, no_button, 10, "Left stick ", "\u2192"},
    {SDL_CONTROLLER_AXIS_LEFTY, -1, no_button, 8, "Left stick ", "\u2191"},
    {SDL_CONTROLLER_AXIS_LEFTY, 1, no_button, 7, "Left stick ", "\u2193"},
    {SDL_CONTROLLER_AXIS_RIGHTY, -1, no_button, 6, "Right stick ", "\u2191"},
    {SDL_CONTROLLER_AXIS_RIGHTY, 1, no_button, 5, "Right stick ", "\u2193"},
    {SDL_CONTROLLER_AXIS_RIGHTX, 1, no_button, 4, "Right stick ", "\u2192"},
    {SDL_CONTROLLER_AXIS_RIGHTX, -1, no_button, 3, "Right stick ", "\u2190"},
    {SDL_CONTROLLER_AXIS_TRIGGERLEFT, 1, no_button, 2, "", "LT"},
    {SDL_CONTROLLER_AXIS_TRIGGERRIGHT, 1, no_button, 1, "", "RT"},
    {no_axis, 0, SDL_CONTROLLER_BUTTON_LEFTSHOULDER, 2, "", "LB"},
    {no_axis, 0, SDL_CONTROLLER_BUTTON_RIGHTSHOULDER, 1, "", "RB"},
}};

// A (south) and B (east) as the light and Stop; Start and Back as the run buttons.
inline constexpr std::array<ActionButton, 4> action_buttons{{
    {SDL_CONTROLLER_BUTTON_A, PadAction::light, "A", "Light"},
    {SDL_CONTROLLER_BUTTON_B, PadAction::stop, "B", "Stop"},
    {SDL_CONTROLLER_BUTTON_START, PadAction::run, "Start", "Run Program"},
    {SDL_CONTROLLER_BUTTON_BACK, PadAction::reverse, "Back", "Reverse Program"},
}};

// A stick pushed less than a quarter of its travel moves nothing, so a resting stick never does;
// once held, it lets go below a fifth, so that a stick trembling at the edge does not chatter.
inline constexpr int dead_zone = SDL_JOYSTICK_AXIS_MAX / 4;
inline constexpr int let_go_zone = SDL_JOYSTICK_AXIS_MAX / 5;

// The legend: for each joint, the controls of its two commands, the one towards its maximum
// first ("Base: Left stick ← →"); then the buttons that act.
QStringList pad_legend();

}  // namespace quillmar
