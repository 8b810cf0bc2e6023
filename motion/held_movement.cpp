#include "held_movement.h"

#include <algorithm>

#include "timed_movement.h"

namespace quillmar {

namespace {

QString limit_text() {
    return QStringLiteral("Hold stopped after %1 s: a motor never runs longer while held")
        .arg(HeldMovement::limit_seconds);
}

}  // namespace

HeldMovement::HeldMovement(ArmLink& link, ArmReports& reports, Pacer& pacer)
    : link(link), reports(reports), pacer(pacer) {}

HoldOutcome HeldMovement::run(int command_number) {
    return run(start_command(command_number, 0));
}

HoldOutcome HeldMovement::run(ArmCommand motors) {
    return run(motors, std::nullopt);
}

HoldOutcome HeldMovement::run_for(int command_number, double seconds) {
    return run(start_command(command_number, 0), std::min(seconds, limit_seconds));
}

HoldOutcome HeldMovement::run(ArmCommand motors, std::optional<double> seconds) {
    running = true;
    told.reset();
    started = pacer.now();
    const MovementEnd ran =
        run_timed_movement(link, pacer, motors, seconds.value_or(limit_seconds),
                           [this] { return told || !link.attached() || pacer.cancelled(); });
    running = false;
    const HoldEnd end = pacer.cancelled()  ? HoldEnd::closing
                        : !link.attached() ? HoldEnd::arm_released
                        : told             ? *told
                                           : HoldEnd::limit;
    // Said only when true: a stop the arm never took has its own line. A timed hold ended when
    // it was asked to.
    if (end == HoldEnd::limit && ran.stop_taken && !seconds) {
        reports.show_error(limit_text());
    }
    return {end, ran.seconds};
}

void HeldMovement::change(ArmCommand motors) {
    // Past the limit the hold is sending its stop, which the window may answer during.
    if (running && !told && link.attached() && !pacer.cancelled() &&
        pacer.now() - started < limit_seconds) {
        link.send_command(start_command(motors, link.light_byte()));
    }
}

void HeldMovement::end(HoldEnd reason) {
    if (running && !told) {
        told = reason;
        pacer.wake();
    }
}

}  // namespace quillmar
