#include "held_movement.h"

#include <algorithm>
#include <limits>

#include "timed_movement.h"

namespace quillmar {

namespace {

QString limit_text() {
    return QStringLiteral("Hold stopped after %1 s: a motor never runs longer while held")
        .arg(HeldMovement::limit_seconds);
}

ArmCommand without(ArmCommand motors, ArmCommand taken) {
    return {static_cast<std::uint8_t>(motors.motor & ~taken.motor),
            static_cast<std::uint8_t>(motors.base & ~taken.base), 0};
}

bool any_motor(ArmCommand motors) {
    return motors.motor != 0 || motors.base != 0;
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
    const double longest = seconds.value_or(limit_seconds);
    told.reset();
    stop.reset();
    stopped = {};
    // A joint at its end already is not driven into it at all.
    driving = without_ends({motors.motor, motors.base, 0});
    if (any_motor(stopped) && !any_motor(driving)) {
        return {HoldEnd::soft_limit, 0.0};
    }
    running = true;
    const double asked = pacer.now();
    link.send_command(start_command(driving, link.light_byte()));
    // Timed as a jog is, from when the start command went out.
    started = sent_time(link, asked);
    bool all_at_ends = false;
    while (!ended() && !all_at_ends && pacer.now() - started < longest) {
        retimed = false;
        const double to_end =
            limits_apply() ? soft.seconds_to_end() : std::numeric_limits<double>::infinity();
        pacer.wait(started, std::min(longest, pacer.now() - started + to_end),
                   [this] { return ended() || retimed; });
        if (!ended() && pacer.now() - started < longest) {
            all_at_ends = stop_at_ends();
        }
    }
    const auto [ran, stop_taken] = send_stop();
    running = false;
    const HoldEnd end = pacer.cancelled()  ? HoldEnd::closing
                        : !link.attached() ? HoldEnd::arm_released
                        : told             ? *told
                        : all_at_ends      ? HoldEnd::soft_limit
                                           : HoldEnd::limit;
    // Said only when true: a stop the arm never took has its own line. A timed hold ended when
    // it was asked to.
    if (end == HoldEnd::limit && stop_taken && !seconds) {
        reports.show_error(limit_text());
    }
    return {end, ran};
}

ArmCommand HeldMovement::without_ends(ArmCommand motors) {
    if (!limits_apply() || !any_motor(motors)) {
        return motors;
    }
    const ArmCommand at_end = soft.at_end(motors);
    if (!any_motor(at_end)) {
        return motors;
    }
    stopped = {static_cast<std::uint8_t>(stopped.motor | at_end.motor),
               static_cast<std::uint8_t>(stopped.base | at_end.base), 0};
    soft.reached(at_end);
    return without(motors, at_end);
}

bool HeldMovement::stop_at_ends() {
    const ArmCommand left = without_ends(driving);
    if (left == driving) {
        return false;
    }
    driving = left;
    if (!any_motor(driving)) {
        return true;
    }
    link.send_command(start_command(driving, link.light_byte()));
    return false;
}

void HeldMovement::change(ArmCommand motors) {
    // Past the limit the hold is sending its stop, which the window may answer during.
    if (running && !told && link.attached() && !pacer.cancelled() &&
        pacer.now() - started < limit_seconds) {
        driving = without_ends(without(motors, stopped));
        link.send_command(start_command(driving, link.light_byte()));
        if (limits_apply()) {
            retime();
        }
    }
}

void HeldMovement::set_soft_limits(SoftLimits limits) {
    soft = std::move(limits);
}

void HeldMovement::retime() {
    if (running) {
        retimed = true;
        pacer.wake();
    }
}

bool HeldMovement::ended() const {
    return told || !link.attached() || pacer.cancelled();
}

bool HeldMovement::limits_apply() const {
    return soft.apply && soft.apply();
}

void HeldMovement::end(HoldEnd reason) {
    if (running && !told) {
        told = reason;
        // The stop goes now rather than once the wait beneath has unwound: what the caller does
        // after letting go, such as a button repainting its window, must not run the motor on.
        if (link.attached() && !pacer.cancelled()) {
            send_stop();
        }
        pacer.wake();
    }
}

HeldMovement::Stop HeldMovement::send_stop() {
    if (!stop) {
        stop = Stop{pacer.now() - started, false};
        // Read afresh: the light may have been switched during the wait.
        stop->taken = link.send_stop(stop_command(link.light_byte()));
    }
    return *stop;
}

}  // namespace quillmar
