// The one way the arm moves for a time: start a motor, wait, stop every motor.
#pragma once

#include <functional>

#include "armlink/arm_link.h"
#include "pacer.h"

namespace quillmar {

struct MovementEnd {
    double seconds;     // how long the motor ran: from its start command to its stop command
    bool stop_taken;    // the arm took the stop command, or a later command instead
    double stopped_at;  // when the stop went out (sent_time), for a pause that follows
};

// When the command asked for at `asked` went out (ArmLink::last_sent_at), or `asked` itself when
// the arm took none since.
double sent_time(const ArmLink& link, double asked);

// Runs the motor of command 1 to 10 until `seconds` have passed or `done_early()` holds, then
// sends the stop command. The time counts from when the start command went out, so that the
// arm sees the stop `seconds` after the start, the stop's transfer being as long as the start's,
// again until the arm takes it (ArmLink::send_stop). The light stays as the indicator shows it at
// the start and at the stop.
MovementEnd run_timed_movement(ArmLink& link, Pacer& pacer, int command_number, double seconds,
                               const std::function<bool()>& done_early);

// The same for every motor that `motors` names (its light byte is not used).
MovementEnd run_timed_movement(ArmLink& link, Pacer& pacer, ArmCommand motors, double seconds,
                               const std::function<bool()>& done_early);

}  // namespace quillmar
