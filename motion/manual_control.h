// The ten jog buttons and the light button.
#pragma once

#include "armlink/arm_link.h"
#include "pacer.h"

namespace quillmar {

class ManualControl {
  public:
    static constexpr double jog_seconds = 0.1;

    ManualControl(ArmLink& link, Pacer& pacer);

    // Runs the motor of command 1 to 10 for the jog time; gives the seconds it ran.
    double jog(int command_number);

    // Switches the light the other way: light command, then the indicator.
    void light();
    // Switches the light to `on` whatever the button's state was, which follows: the light a
    // script or a block asks for.
    void light_to(bool on);

    // The light button's state, kept with the indicator by the link's owner.
    bool light_state() const { return link.light().toggle; }

  private:
    ArmLink& link;
    Pacer& pacer;
};

}  // namespace quillmar
