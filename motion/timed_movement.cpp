#include "timed_movement.h"

namespace quillmar {

MovementEnd run_timed_movement(ArmLink& link, Pacer& pacer, int command_number, double seconds,
                               const std::function<bool()>& done_early) {
    return run_timed_movement(link, pacer, start_command(command_number, 0), seconds, done_early);
}

MovementEnd run_timed_movement(ArmLink& link, Pacer& pacer, ArmCommand motors, double seconds,
                               const std::function<bool()>& done_early) {
    link.send_command(start_command(motors, link.light_byte()));
    // Timed from after the start command, so the transfer does not shorten the movement.
    const double start = pacer.now();
    pacer.wait(start, seconds, done_early);
    const double ran = pacer.now() - start;
    // Read afresh: the light may have been switched during the wait.
    const bool stop_taken = link.send_stop(stop_command(link.light_byte()));
    return {ran, stop_taken};
}

}  // namespace quillmar
