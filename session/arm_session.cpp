#include "arm_session.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

#include "programs/program_recorder.h"
#include "text/lines.h"

namespace quillmar {

class ArmSession::Activity {
  public:
    Activity(ArmSession& session, State activity) : session(session) { session.push(activity); }
    ~Activity() { session.pop(); }
    Activity(const Activity&) = delete;
    Activity& operator=(const Activity&) = delete;

  private:
    ArmSession& session;
};

ArmSession::ArmSession(UsbBus& usb, Pacer& pacer, ArmSource source, DevicePresence* presence,
                       QObject* parent)
    : QObject(parent),
      usb(usb),
      pacer(pacer),
      presence(presence),
      arm_model(pacer.now()),
      arm_link(usb, *this, pacer),
      survey(usb),
      manual(arm_link, pacer),
      held(arm_link, *this, pacer),
      key_drive(arm_link, *this, pacer),
      way_back(arm_link, pacer, manual),
      runner(arm_link, manual, *this, pacer) {
    arm_link.on_command_sent([this, source](ArmCommand command) {
        if (source == ArmSource::commands_sent) {
            arm_model.set_command(command, this->pacer.now());
        }
        emit command_sent(command);
    });
    connect(&arm_model, &ArmModel::changed, this, &ArmSession::pose_changed);
    held.set_soft_limits(estimate_limits());
    key_drive.set_soft_limits(estimate_limits());
    key_drive.on_moved(
        [this](int number, double seconds) { record(movement_lines(number, seconds)); });
    // Connected before any front end can connect, so that the lock comes before the banner and
    // the unlock before a front end hears of the run's end.
    connect(&runner, &ProgramRunner::checking, this, [this] { push(State::running); });
    connect(&runner, &ProgramRunner::run_started, this, [this](const std::vector<RunStep>& steps) {
        run_steps = steps;
        keep_step_lines();
        emit run_started(steps);
    });
    connect(&runner, &ProgramRunner::step_started, this, [this](int index) {
        const auto line = run_lines.find(run_steps.at(static_cast<std::size_t>(index)).line);
        emit step_started(index, static_cast<int>(run_steps.size()),
                          line != run_lines.end() ? line->second : QString());
    });
    connect(&runner, &ProgramRunner::run_finished, this, [this] {
        pop();
        emit run_ended(std::nullopt);
    });
    connect(&runner, &ProgramRunner::run_stopped, this, [this](int index) {
        pop();
        emit run_ended(index);
    });
    if (presence) {
        connect(presence, &DevicePresence::arrived, this, &ArmSession::arm_arrived);
        connect(presence, &DevicePresence::left, this, &ArmSession::arm_left);
    }
}

UsbResult<void> ArmSession::start_up() {
    if (const auto started = usb.initialise(); !started) {
        return started;
    }
    usb.set_debug_level(255);
    survey_and_attach();
    if (presence && !attached() && !presence->present().empty()) {
        set_plug_hint(true);
    }
    return {};
}

ArmSession::State ArmSession::state() const {
    if (closing) {
        return State::shutting_down;
    }
    if (!activities.empty()) {
        return activities.back();
    }
    return attached() ? State::idle : State::no_arm;
}

bool ArmSession::locked() const {
    return std::ranges::any_of(activities, [](State activity) {
        return activity == State::running || activity == State::going_back;
    });
}

bool ArmSession::may(Operation operation) const {
    if (closing) {
        return operation == Operation::shut_down;
    }
    switch (operation) {
        case Operation::attach:
            return !attached();
        case Operation::release:
        case Operation::stop:
        case Operation::record:
            return attached();
        case Operation::jog:
        case Operation::hold:
        case Operation::keys:
        case Operation::light:
        case Operation::run:
        case Operation::back_to_start:
            return attached() && !locked();
        case Operation::set_start_pose:
        case Operation::shut_down:
            return true;
    }
    return false;
}

void ArmSession::attach() {
    if (!may(Operation::attach)) {
        return;
    }
    emit messages_cleared();
    survey_and_attach();
}

void ArmSession::survey_and_attach() {
    // The report arrives in one piece, so a pane lays it out once.
    show_message(survey.list_devices().join(QStringLiteral("\r\n")));
    const State before = state();
    if (arm_link.attach_arm()) {
        // Back to start returns to where the arm stands now.
        arm_model.set_origin(pacer.now());
        set_plug_hint(false);
        tell_state(before, false);
    }
}

void ArmSession::release() {
    if (!may(Operation::release)) {
        return;
    }
    const State before = state();
    arm_link.release();
    // A wait under way tests again whether it still has an arm to drive.
    pacer.wake();
    set_recording(false);
    tell_state(before, true);
}

std::optional<double> ArmSession::jog(int command_number) {
    if (!may(Operation::jog)) {
        return std::nullopt;
    }
    Activity moving(*this, State::moving_by_hand);
    const double seconds = manual.jog(command_number);
    record(movement_lines(command_number, seconds));
    return seconds;
}

std::optional<HoldOutcome> ArmSession::begin_hold(int command_number) {
    return hold(command_number, std::nullopt);
}

std::optional<HoldOutcome> ArmSession::begin_hold_for(int command_number, double seconds) {
    return hold(command_number, seconds);
}

std::optional<HoldOutcome> ArmSession::hold(int command_number, std::optional<double> seconds) {
    if (!may(Operation::hold) || held.under_way()) {
        return std::nullopt;
    }
    Activity moving(*this, State::moving_by_hand);
    const HoldOutcome outcome =
        seconds ? held.run_for(command_number, *seconds) : held.run(command_number);
    if (!nothing_moved(outcome)) {
        record(movement_lines(command_number, outcome.seconds));
    }
    return outcome;
}

void ArmSession::end_hold(HoldEnd reason) {
    held.end(reason);
}

std::optional<KeyAnswer> ArmSession::press_key(int command_number) {
    if (!may(Operation::keys)) {
        return std::nullopt;
    }
    Activity moving(*this, State::moving_by_hand);
    return key_drive.press(command_number);
}

void ArmSession::release_key(int command_number) {
    key_drive.release(command_number);
}

void ArmSession::end_key_drive(HoldEnd reason) {
    key_drive.end(reason);
}

void ArmSession::light() {
    if (!may(Operation::light)) {
        return;
    }
    manual.light();
    record({light_line()});
}

void ArmSession::run(const QString& text, Direction direction) {
    if (!may(Operation::run)) {
        return;
    }
    set_run_lines(text);
    runner.run_program(text, direction);
}

void ArmSession::set_run_lines(const QString& text) {
    run_text = text;
    run_lines.clear();
}

void ArmSession::keep_step_lines() {
    // Only the steps' lines: a program file may hold a million lines, of which at most the step
    // table's run.
    std::set<int> wanted;
    for (const RunStep& step : run_steps) {
        wanted.insert(step.line);
    }
    int line = 0;
    for (qsizetype pos = 0; pos < run_text.size() && !wanted.empty(); ++line) {
        const TextLine found = line_at(run_text, pos);
        if (wanted.erase(line) != 0) {
            run_lines.emplace(line, found.text.toString());
        }
        pos = found.next;
    }
    run_text.clear();
}

void ArmSession::stop() {
    if (!may(Operation::stop)) {
        return;
    }
    emit stopping();
    held.end(HoldEnd::stopped);
    key_drive.end(HoldEnd::stopped);
    way_back.stop();
    runner.stop();
}

ArmSession::WayBack ArmSession::back_to_start() {
    if (!may(Operation::back_to_start)) {
        return WayBack::refused;
    }
    if (key_drive.under_way()) {
        return WayBack::keys_held;
    }
    const std::vector<Movement> plan = back_to_start_plan(arm_model, pacer.now());
    if (plan.empty()) {
        return WayBack::at_start;
    }
    return go_back(plan) ? WayBack::done : WayBack::stopped;
}

bool ArmSession::go_back(const std::vector<Movement>& plan) {
    if (!may(Operation::back_to_start)) {
        return false;
    }
    Activity going(*this, State::going_back);
    return way_back.run(plan);
}

void ArmSession::set_recording(bool on) {
    if ((on && !may(Operation::record)) || closing || on == recording_on) {
        return;
    }
    recording_on = on;
    key_drive.set_one_motor_at_a_time(on);
    emit recording_changed(on);
}

void ArmSession::set_start_pose() {
    arm_model.reset_pose(pacer.now());
}

std::optional<int> ArmSession::step(const QString& text, int index) {
    if (!may(Operation::run)) {
        return std::nullopt;
    }
    const std::vector<RunStep> steps = run_order(check_program(text).steps, Direction::forwards);
    if (index < 0 || static_cast<std::size_t>(index) >= steps.size()) {
        return std::nullopt;
    }
    set_run_lines(text);
    bool finished = false;
    const auto ran = connect(&runner, &ProgramRunner::run_finished, this, [&] { finished = true; });
    runner.run_step(steps[static_cast<std::size_t>(index)]);
    disconnect(ran);
    if (!finished) {
        return index;
    }
    return static_cast<std::size_t>(index) + 1 == steps.size() ? 0 : index + 1;
}

void ArmSession::offer_way_to(const Pose& pose) {
    QStringList lines;
    for (const Movement& movement :
         way_to_plan(arm_model, pacer.now(), pose, arm_model.light_on())) {
        lines << (movement.command == light_command_number
                      ? QStringList{light_line()}
                      : movement_lines(movement.command, movement.seconds));
    }
    if (!lines.isEmpty()) {
        emit recorded(lines);
    }
}

void ArmSession::set_joint_speeds(const JointSpeeds& speeds) {
    arm_model.set_speeds(speeds, pacer.now());
}

void ArmSession::set_soft_limits(bool on) {
    soft_limits_on = on;
    held.retime();
    key_drive.retime();
}

void ArmSession::drive_past_soft_limits(bool on) {
    if (on != past_soft_limits) {
        past_soft_limits = on;
        held.retime();
        key_drive.retime();
    }
}

bool ArmSession::find_end(Joint joint, int drive, double seconds) {
    const JointRow& row = row_of(joint);
    if (!go_back({{drive > 0 ? row.increasing_command : row.decreasing_command, seconds}})) {
        return false;
    }
    Pose pose = arm_model.pose_at(pacer.now());
    pose.at(static_cast<std::size_t>(joint)) = drive > 0 ? row.maximum : row.minimum;
    arm_model.place(pose, pacer.now());
    return true;
}

ArmSession::WayBack ArmSession::go_to(const Pose& pose) {
    if (!may(Operation::back_to_start)) {
        return WayBack::refused;
    }
    if (key_drive.under_way()) {
        return WayBack::keys_held;
    }
    const std::vector<Movement> plan =
        way_to_plan(arm_model, pacer.now(), pose, arm_model.light_on());
    if (plan.empty()) {
        return WayBack::at_start;
    }
    return go_back(plan) ? WayBack::done : WayBack::stopped;
}

SoftLimits ArmSession::estimate_limits() {
    // A joint this close to its end, in seconds of travel, is at it.
    constexpr double at_end_seconds = 0.001;
    return {
        [this] { return soft_limits_on && !past_soft_limits; },
        [this] { return arm_model.seconds_to_end(pacer.now()); },
        [this](ArmCommand motors) {
            ArmCommand at_end;
            for (const auto& row : joint_table) {
                const int drive = drive_of(row.joint, motors);
                const double limit = drive > 0 ? row.maximum : row.minimum;
                const double left = std::abs(limit - arm_model.position_at(row.joint, pacer.now()));
                if (drive != 0 &&
                    left <= at_end_seconds * arm_model.speeds().of(row.joint, drive)) {
                    const ArmCommand motor = start_command(
                        drive > 0 ? row.increasing_command : row.decreasing_command, 0);
                    at_end.motor |= motor.motor;
                    at_end.base |= motor.base;
                }
            }
            return at_end;
        },
        [this](ArmCommand stopped) {
            for (const auto& row : joint_table) {
                if (const int drive = drive_of(row.joint, stopped); drive != 0) {
                    emit soft_limit_reached(row.joint, drive);
                }
            }
        },
    };
}

void ArmSession::shut_down() {
    if (closing) {
        return;
    }
    closing = true;
    // A jog or a run waiting beneath this call ends at once instead of running on, and so does
    // any wait that starts while the all off is tried again.
    pacer.cancel();
    arm_link.shutdown();
    emit state_changed(State::shutting_down);
}

void ArmSession::when_still(std::function<void()> action) {
    if (!moving_by_hand()) {
        action();
        return;
    }
    held.end(HoldEnd::released);
    key_drive.end(HoldEnd::released);
    // The first key pressed during a movement acts; the ones after it would have met its dialog
    // or its run.
    if (!after_still) {
        after_still = std::move(action);
    }
}

void ArmSession::arm_arrived() {
    if (!attached()) {
        set_plug_hint(true);
    }
}

void ArmSession::arm_left(DeviceLocation where) {
    if (attached() && arm_link.location() == where) {
        const State before = state();
        arm_link.lose();
        // A hold, a key drive or the way back tests at once whether it still has an arm, as
        // after a release; a run goes on silently and keeps the controls locked until it ends.
        pacer.wake();
        set_recording(false);
        tell_state(before, true);
    } else if (presence->present().empty()) {
        set_plug_hint(false);
    }
}

void ArmSession::set_plug_hint(bool on) {
    if (on != plug_hint) {
        plug_hint = on;
        emit arm_plugged_in_changed(on);
    }
}

void ArmSession::show_message(const QString& text) {
    emit message_line(text);
}

void ArmSession::show_error(const QString& text) {
    emit error_line(text);
}

void ArmSession::set_light_indicator(bool ticked) {
    emit light_changed(ticked);
}

void ArmSession::push(State activity) {
    const State before = state();
    activities.push_back(activity);
    tell_state(before, attached());
    if (activity == State::running || activity == State::going_back) {
        let_go_of_hands();
    }
}

void ArmSession::pop() {
    const State before = state();
    activities.pop_back();
    tell_state(before, attached());
    if (!moving_by_hand() && after_still) {
        std::exchange(after_still, {})();
    }
}

void ArmSession::tell_state(State before, bool attached_before) {
    if (state() != before || attached() != attached_before) {
        emit state_changed(state());
    }
}

void ArmSession::let_go_of_hands() {
    held.end(HoldEnd::released);
    key_drive.end(HoldEnd::released);
}

void ArmSession::record(const QStringList& lines) {
    if (recording_on) {
        emit recorded(lines);
    }
}

bool ArmSession::moving_by_hand() const {
    return std::ranges::find(activities, State::moving_by_hand) != activities.end();
}

}  // namespace quillmar
