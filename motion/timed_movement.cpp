#include "timed_movement.h"

#include <algorithm>

namespace quillmar {

double sent_time(const ArmLink& link, double asked) {
    return std::max(asked, link.last_sent_at());
}

MovementEnd run_timed_movement(ArmLink& link, Pacer& pacer, int command_number, double seconds,
                               const std::function<bool()>& done_early) {
    return run_timed_movement(link, pacer, start_command(command_number, 0), seconds, done_early);
}

MovementEnd run_timed_movement(ArmLink& link, Pacer& pacer, ArmCommand motors, double seconds,
                               const std::function<bool()>& done_early) {
    const double asked = pacer.now();
    link.send_command(start_command(motors, link.light_byte()));
    const double start = sent_time(link, asked);
    pacer.wait(start, seconds, done_early);
    const double stop_asked = pacer.now();
    // Read afresh: the light may have been switched during the wait.
    const bool stop_taken = link.send_stop(stop_command(link.light_byte()));
    return {stop_asked - start, stop_taken, sent_time(link, stop_asked)};
}

}  // namespace quillmar
