#include "back_to_start.h"

#include "timed_movement.h"

namespace quillmar {

BackToStart::BackToStart(ArmLink& link, Pacer& pacer, ManualControl& manual)
    : link(link), pacer(pacer), manual(manual) {}

bool BackToStart::cut_short() const {
    return stop_requested || !link.attached() || pacer.cancelled();
}

bool BackToStart::run(const std::vector<Movement>& plan) {
    running = true;
    stop_requested = false;
    bool all_stopped = true;
    for (const Movement& movement : plan) {
        // A stop the arm did not take leaves a joint moving: the arm is not where the plan goes
        // on from.
        if (movement.command == light_command_number) {
            manual.light();
        } else {
            all_stopped =
                run_timed_movement(link, pacer, movement.command, movement.seconds, [this] {
                    return cut_short();
                }).stop_taken;
        }
        if (cut_short() || !all_stopped) {
            break;
        }
    }
    running = false;
    return all_stopped && !cut_short();
}

void BackToStart::stop() {
    if (running) {
        stop_requested = true;
        pacer.wake();
    }
}

}  // namespace quillmar
