// A gamepad made by SDL itself, with every stick, trigger and button: no device or uinput needed.
#pragma once

#include <SDL.h>

namespace quillmar::testing {

class VirtualPad {
  public:
    // SDL's joystick layer must have started (a Gamepad starts it).
    VirtualPad() {
        SDL_VirtualJoystickDesc desc{};
        desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
        desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
        desc.naxes = SDL_CONTROLLER_AXIS_MAX;
        desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
        // Every axis and button present: SDL then maps them onto the game controller's own.
        desc.axis_mask = (1U << SDL_CONTROLLER_AXIS_MAX) - 1;
        desc.button_mask = (1U << SDL_CONTROLLER_BUTTON_MAX) - 1;
        desc.name = "Virtual pad";
        stick = SDL_JoystickOpen(SDL_JoystickAttachVirtualEx(&desc));
        // A trigger's whole travel is the raw axis's: at rest it stands at the far end.
        set_axis(SDL_CONTROLLER_AXIS_TRIGGERLEFT, SDL_JOYSTICK_AXIS_MIN);
        set_axis(SDL_CONTROLLER_AXIS_TRIGGERRIGHT, SDL_JOYSTICK_AXIS_MIN);
    }
    ~VirtualPad() { unplug(); }
    VirtualPad(const VirtualPad&) = delete;
    VirtualPad& operator=(const VirtualPad&) = delete;

    bool attached() const { return stick != nullptr; }
    // Takes effect as SDL next reads its joysticks. A trigger's raw -32768 to 32767 reads as 0 to
    // 32767 on the pad.
    void set_axis(SDL_GameControllerAxis axis, int value) {
        SDL_JoystickSetVirtualAxis(stick, axis, static_cast<Sint16>(value));
    }
    void set_button(SDL_GameControllerButton button, bool down) {
        SDL_JoystickSetVirtualButton(stick, button, down ? SDL_PRESSED : SDL_RELEASED);
    }
    // Gone as a pad pulled out: SDL tells of it as it next reads its joysticks.
    void unplug() {
        if (stick == nullptr) {
            return;
        }
        const SDL_JoystickID id = SDL_JoystickInstanceID(stick);
        SDL_JoystickClose(stick);
        stick = nullptr;
        // Device indexes move as pads come and go.
        for (int index = 0; index < SDL_NumJoysticks(); ++index) {
            if (SDL_JoystickGetDeviceInstanceID(index) == id) {
                SDL_JoystickDetachVirtual(index);
            }
        }
    }

  private:
    SDL_Joystick* stick = nullptr;
};

}  // namespace quillmar::testing
