#include "manual_control.h"

namespace quillmar {

ManualControl::ManualControl(ArmLink& link, Console& console, Pacer& pacer)
    : link(link), console(console), pacer(pacer) {}

void ManualControl::jog(int command_number) {
    link.send_command(start_command(command_number, light_byte(console)));
    // Timed from after the start command, so the transfer does not shorten the movement.
    const double start = pacer.now();
    pacer.wait(start, jog_seconds, [] { return false; });
    // Read afresh: the light may have been switched during the wait.
    link.send_command(stop_command(light_byte(console)));
}

void ManualControl::light() {
    light_on = !light_on;
    link.send_command(light_command(light_on));
    console.set_light_indicator(light_on ? 1 : 0);
}

}  // namespace quillmar
