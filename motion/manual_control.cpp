#include "manual_control.h"

#include "timed_movement.h"

namespace quillmar {

ManualControl::ManualControl(ArmLink& link, Pacer& pacer) : link(link), pacer(pacer) {}

double ManualControl::jog(int command_number) {
    return run_timed_movement(link, pacer, command_number, jog_seconds, [] { return false; })
        .seconds;
}

void ManualControl::light() {
    light_to(!light_state());
}

void ManualControl::light_to(bool on) {
    link.light().toggle = on;
    link.send_command(light_command(on));
    link.show_light(on);
}

}  // namespace quillmar
