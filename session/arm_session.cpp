#include "arm_session.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

#include "arm_lock.h"
#include "armlink/arm_link.h"
#include "armlink/arm_reports.h"
#include "motion/back_to_start.h"
#include "motion/held_movement.h"
#include "motion/key_drive.h"
#include "motion/manual_control.h"
#include "motion/pacer.h"
#include "programs/program_recorder.h"
#include "programs/program_runner.h"
#include "survey/device_survey.h"
#include "text/lines.h"
#include "usb/device_presence.h"
#include "usb/usb_bus.h"

namespace quillmar {

class ArmSession::Activity {
  public:
    Activity(ArmSession& session, State activity, ArmClient* owner) : session(session) {
        session.push(activity, owner);
    }
    ~Activity() { session.pop(); }
    Activity(const Activity&) = delete;
    Activity& operator=(const Activity&) = delete;

  private:
    ArmSession& session;
};

// What the session drives the arm with, which no front end reaches; the link, the holds and
// the runner report to the session.
struct ArmSession::Parts final : ArmReports {
    Parts(ArmSession& session, UsbBus& usb, Pacer& pacer)
        : session(session),
          arm_link(usb, *this, pacer, light_values),
          survey(usb),
          manual(arm_link, pacer),
          held(arm_link, *this, pacer),
          key_drive(arm_link, *this, pacer),
          way_back(arm_link, pacer, manual),
          runner(arm_link, manual, *this, pacer) {}

    void show_message(const QString& text) override { session.show_message(text); }
    void show_error(const QString& text) override { session.show_error(text); }
    void set_light_indicator(bool ticked) override { session.set_light_indicator(ticked); }

    ArmSession& session;
    // The light's two values: the link, the jog and light buttons and the way back read and
    // switch these; the model keeps only what the arm was last told to show.
    ArmLight light_values;
    ArmLink arm_link;
    DeviceSurvey survey;
    ManualControl manual;
    HeldMovement held;
    KeyDrive key_drive;
    BackToStart way_back;
    ProgramRunner runner;
};

ArmSession::ArmSession(UsbBus& usb, Pacer& pacer, ArmSource source, DevicePresence* presence,
                       QObject* parent)
    : QObject(parent),
      usb(usb),
      pacer(pacer),
      presence(presence),
      source(source),
      arm_model(pacer.now()),
      parts(std::make_unique<Parts>(*this, usb, pacer)) {
    parts->arm_link.on_command_sent([this](ArmCommand command) {
        if (this->source == ArmSource::commands_sent) {
            arm_model.set_command(command, this->pacer.now());
        }
        emit command_sent(command);
    });
    connect(&arm_model, &ArmModel::changed, this, &ArmSession::pose_changed);
    parts->held.set_soft_limits(estimate_limits());
    parts->key_drive.set_soft_limits(estimate_limits());
    parts->key_drive.on_moved(
        [this](int number, double seconds) { record(movement_lines(number, seconds)); });
    // Connected before any front end can connect, so that the lock comes before the banner and
    // the unlock before a front end hears of the run's end.
    connect(&parts->runner, &ProgramRunner::checking, this,
            [this] { push(State::running, run_owner); });
    connect(&parts->runner, &ProgramRunner::run_started, this,
            [this](const std::vector<RunStep>& steps) {
                run_steps = steps;
                keep_step_lines();
                emit run_started(steps);
            });
    connect(&parts->runner, &ProgramRunner::step_started, this, [this](int index) {
        const auto line = run_lines.find(run_steps.at(static_cast<std::size_t>(index)).line);
        // Step's one step is told as the step of the program it is.
        emit step_started(stepping ? stepping->first : index,
                          stepping ? stepping->second : static_cast<int>(run_steps.size()),
                          line != run_lines.end() ? line->second : QString());
    });
    connect(&parts->runner, &ProgramRunner::run_finished, this, [this] {
        pop();
        emit run_ended(std::nullopt);
    });
    connect(&parts->runner, &ProgramRunner::run_stopped, this, [this](int index) {
        pop();
        emit run_ended(index);
    });
    stop_resender.setInterval(stop_resend_milliseconds);
    connect(&stop_resender, &QTimer::timeout, this, &ArmSession::resend_stop);
    if (presence) {
        connect(presence, &DevicePresence::arrived, this, &ArmSession::arm_arrived);
        connect(presence, &DevicePresence::left, this, &ArmSession::arm_left);
    }
}

ArmSession::~ArmSession() = default;

bool ArmSession::attached() const {
    return parts->arm_link.attached();
}

bool ArmSession::light_indicator() const {
    return parts->light_values.indicator;
}

bool ArmSession::light_toggle() const {
    return parts->light_values.toggle;
}

double ArmSession::now() const {
    return pacer.now();
}

bool ArmSession::left_running() const {
    return parts->arm_link.left_running();
}

bool ArmSession::arm_lost() const {
    return parts->arm_link.lost();
}

ArmLink& ArmSession::link() const {
    return parts->arm_link;
}

void ArmSession::use_arm_lock(const QString& folder) {
    lock = std::make_unique<ArmLock>(folder);
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
        return activities.back().state;
    }
    if (!attached()) {
        return State::no_arm;
    }
    return parts->arm_link.left_running() ? State::not_responding : State::idle;
}

bool ArmSession::locked() const {
    return std::ranges::any_of(activities, [](const Entry& entry) {
        return entry.state == State::running || entry.state == State::going_back;
    });
}

const ArmClient* ArmSession::owner() const {
    return activities.empty() ? nullptr : activities.back().owner;
}

bool ArmSession::may(Operation operation) const {
    return !refusal(nullptr, operation);
}

std::optional<Refusal> ArmSession::refusal(const ArmClient* by, Operation operation) const {
    if (closing) {
        return operation == Operation::shut_down ? std::nullopt
                                                 : std::optional(Refusal{Why::shutting_down});
    }
    switch (operation) {
        case Operation::attach:
            return attached() ? std::optional(Refusal{Why::arm_attached}) : std::nullopt;
        case Operation::release:
        case Operation::stop:
        case Operation::record:
            return attached() ? std::nullopt : std::optional(Refusal{Why::no_arm});
        case Operation::set_start_pose:
        case Operation::shut_down:
            return std::nullopt;
        case Operation::jog:
        case Operation::hold:
        case Operation::keys:
        case Operation::light:
        case Operation::run:
        case Operation::back_to_start:
            break;
    }
    if (!attached()) {
        return Refusal{Why::no_arm};
    }
    const bool remote = by && !by->at_the_arm();
    if (remote && by->halted) {
        return Refusal{Why::stopped_by_user};
    }
    if (remote && driving && driving != by) {
        return Refusal{Why::other_client, driving->name()};
    }
    // A remote client never nests in another activity's wait; the person at the arm nests as the
    // window's controls always did, but never in a run or the way back.
    for (const Entry& entry : activities) {
        if (remote || entry.state == State::running || entry.state == State::going_back) {
            const Why why = entry.state == State::running      ? Why::running
                            : entry.state == State::going_back ? Why::going_back
                                                               : Why::moving_by_hand;
            return Refusal{why, entry.owner ? entry.owner->name() : QString()};
        }
    }
    if (parts->arm_link.left_running()) {
        return Refusal{Why::not_responding};
    }
    return std::nullopt;
}

Answer<> ArmSession::attach(ArmClient& by) {
    if (const auto refused = refusal(&by, Operation::attach)) {
        return *refused;
    }
    emit messages_cleared();
    survey_and_attach();
    return Done{};
}

void ArmSession::survey_and_attach() {
    // The report arrives in one piece, so a pane lays it out once.
    show_message(parts->survey.list_devices().join(QStringLiteral("\r\n")));
    const State before = state();
    const auto may_take = [this](DeviceLocation where) {
        return lock ? lock->take(where) : std::nullopt;
    };
    if (parts->arm_link.attach_arm(may_take)) {
        // Back to start returns to where the arm stands now.
        arm_model.set_origin(pacer.now());
        set_plug_hint(false);
        tell_state(before, false);
    }
}

Answer<> ArmSession::release(ArmClient& by) {
    if (const auto refused = refusal(&by, Operation::release)) {
        return *refused;
    }
    const State before = state();
    parts->arm_link.release();
    drop_lock();
    // A wait under way tests again whether it still has an arm to drive.
    pacer.wake();
    set_recording(false);
    tell_state(before, true);
    return Done{};
}

bool ArmSession::remote_activity() const {
    const auto remote = [](const ArmClient* client) { return client && !client->at_the_arm(); };
    return std::ranges::any_of(activities,
                               [&](const Entry& entry) { return remote(entry.owner); }) ||
           remote(hold_owner) ||
           std::ranges::any_of(keys_down, [&](const auto& key) { return remote(key.second); });
}

bool ArmSession::take_over(ArmClient& by, std::function<void()> action) {
    if (!by.at_the_arm()) {
        return false;
    }
    if (driving || remote_activity()) {
        halt_remote_clients(by);
    }
    if (!remote_activity()) {
        return false;
    }
    // The remote movement's wait lies beneath this call: the person's movement runs once it has
    // sent its stop and unwound.
    pending = Pending{&by, std::move(action)};
    return true;
}

void ArmSession::halt_remote_clients(const ArmClient& by) {
    std::vector<ArmClient*> halted;
    const auto add = [&](ArmClient* client) {
        if (client && !client->at_the_arm() && std::ranges::find(halted, client) == halted.end()) {
            halted.push_back(client);
        }
    };
    for (const Entry& entry : activities) {
        add(entry.owner);
    }
    add(hold_owner);
    for (const auto& key : keys_down) {
        add(key.second);
    }
    add(driving);
    if (halted.empty()) {
        return;
    }
    if (hold_owner && !hold_owner->at_the_arm()) {
        parts->held.end(HoldEnd::stopped);
    }
    if (std::ranges::any_of(keys_down, [](const auto& key) { return !key.second->at_the_arm(); })) {
        parts->key_drive.end(HoldEnd::stopped);
        std::erase_if(keys_down, [](const auto& key) { return !key.second->at_the_arm(); });
    }
    // A remote run or way back ends too; the stop commands follow as Stop sends them.
    parts->way_back.stop();
    if (std::ranges::any_of(activities, [](const Entry& entry) {
            return entry.state == State::running && entry.owner && !entry.owner->at_the_arm();
        })) {
        parts->runner.stop();
    }
    if (driving && !driving->at_the_arm()) {
        driving = nullptr;
        emit driver_changed({});
    }
    for (ArmClient* client : halted) {
        client->halted = true;
        emit client_stopped(client->name(), by.name());
        emit client->stopped_by_user(by.name());
    }
}

void ArmSession::drive(ArmClient& by) {
    if (!by.at_the_arm() && driving != &by) {
        driving = &by;
        emit driver_changed(by.name());
    }
}

Answer<double> ArmSession::jog(ArmClient& by, int command_number) {
    if (take_over(by, [this, &by, command_number] { jog(by, command_number); })) {
        return Refusal{Why::taking_over};
    }
    if (const auto refused = refusal(&by, Operation::jog)) {
        return *refused;
    }
    drive(by);
    Activity moving(*this, State::moving_by_hand, &by);
    const double seconds = parts->manual.jog(command_number);
    record(movement_lines(command_number, seconds));
    return seconds;
}

Answer<HoldOutcome> ArmSession::hold(ArmClient& by, int command_number,
                                     std::optional<double> seconds) {
    if (take_over(by,
                  [this, &by, command_number, seconds] { hold(by, command_number, seconds); })) {
        return Refusal{Why::taking_over};
    }
    if (const auto refused = refusal(&by, Operation::hold)) {
        return *refused;
    }
    if (parts->held.under_way()) {
        return Refusal{Why::moving_by_hand, hold_owner ? hold_owner->name() : QString()};
    }
    drive(by);
    Activity moving(*this, State::moving_by_hand, &by);
    hold_owner = &by;
    const HoldOutcome outcome =
        seconds ? parts->held.run_for(command_number, *seconds) : parts->held.run(command_number);
    hold_owner = nullptr;
    if (!nothing_moved(outcome)) {
        record(movement_lines(command_number, outcome.seconds));
    }
    return outcome;
}

void ArmSession::let_go(ArmClient& by) {
    cancel_pending(by);
    if (hold_owner == &by) {
        parts->held.end(HoldEnd::released);
    }
}

Answer<> ArmSession::press_key(ArmClient& by, int command_number) {
    if (take_over(by, [this, &by, command_number] { press_key(by, command_number); })) {
        return Refusal{Why::taking_over};
    }
    if (const auto refused = refusal(&by, Operation::keys)) {
        return *refused;
    }
    if (std::ranges::find(keys_down, command_number, &std::pair<int, ArmClient*>::first) !=
        keys_down.end()) {
        // Another client holds that key already: the motor runs on until both let it go.
        keys_down.emplace_back(command_number, &by);
        return Done{};
    }
    drive(by);
    const bool first = !parts->key_drive.under_way();
    keys_down.emplace_back(command_number, &by);
    const auto forget_key = [this, command_number, &by] {
        std::erase(keys_down, std::pair<int, ArmClient*>{command_number, &by});
    };
    if (!first) {
        const KeyAnswer answer = parts->key_drive.press(command_number);
        if (answer != KeyAnswer::moving) {
            forget_key();
            return Refusal{
                answer == KeyAnswer::opposite_held ? Why::opposite_held : Why::one_at_a_time,
                {},
                command_number};
        }
        return Done{};
    }
    Activity moving(*this, State::moving_by_hand, &by);
    parts->key_drive.press(command_number);
    // The drive has ended: no key is held any more.
    keys_down.clear();
    return Done{};
}

void ArmSession::release_key(ArmClient& by, int command_number) {
    cancel_pending(by);
    const std::pair<int, ArmClient*> key{command_number, &by};
    if (std::ranges::find(keys_down, key) == keys_down.end()) {
        return;
    }
    std::erase(keys_down, key);
    if (std::ranges::find(keys_down, command_number, &std::pair<int, ArmClient*>::first) ==
        keys_down.end()) {
        parts->key_drive.release(command_number);
    }
}

void ArmSession::focus_lost(ArmClient& by) {
    cancel_pending(by);
    std::vector<int> mine;
    for (const auto& [command, client] : keys_down) {
        if (client == &by) {
            mine.push_back(command);
        }
    }
    if (!mine.empty() &&
        std::ranges::all_of(keys_down, [&](const auto& key) { return key.second == &by; })) {
        keys_down.clear();
        parts->key_drive.end(HoldEnd::released);
    } else {
        for (const int command : mine) {
            release_key(by, command);
        }
    }
    if (hold_owner == &by) {
        parts->held.end(HoldEnd::released);
    }
}

Answer<bool> ArmSession::light(ArmClient& by, std::optional<bool> on) {
    if (take_over(by, [this, &by, on] { light(by, on); })) {
        return Refusal{Why::taking_over};
    }
    if (const auto refused = refusal(&by, Operation::light)) {
        return *refused;
    }
    if (!on || *on != light_indicator()) {
        drive(by);
        on ? parts->manual.light_to(*on) : parts->manual.light();
        record({light_line()});
    }
    return light_indicator();
}

Answer<std::optional<int>> ArmSession::run(ArmClient& by, const QString& text,
                                           Direction direction) {
    if (take_over(by, [this, &by, text, direction] { run(by, text, direction); })) {
        return Refusal{Why::taking_over};
    }
    if (const auto refused = refusal(&by, Operation::run)) {
        return *refused;
    }
    drive(by);
    set_run_lines(text);
    std::optional<int> stopped_at;
    const auto ended = connect(&parts->runner, &ProgramRunner::run_stopped, this,
                               [&stopped_at](int index) { stopped_at = index; });
    run_owner = &by;
    parts->runner.run_program(text, direction);
    run_owner = nullptr;
    disconnect(ended);
    return stopped_at;
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

void ArmSession::stop(ArmClient& by) {
    if (!may(Operation::stop)) {
        return;
    }
    if (by.at_the_arm()) {
        halt_remote_clients(by);
    }
    emit stopping();
    stop_asked = true;
    parts->held.end(HoldEnd::stopped);
    parts->key_drive.end(HoldEnd::stopped);
    parts->way_back.stop();
    parts->runner.stop();
}

Answer<WayEnd> ArmSession::back_to_start(ArmClient& by) {
    if (take_over(by, [this, &by] { back_to_start(by); })) {
        return Refusal{Why::taking_over};
    }
    if (const auto refused = refusal(&by, Operation::back_to_start)) {
        return *refused;
    }
    if (parts->key_drive.under_way()) {
        return Refusal{Why::keys_held};
    }
    return go_back(by, back_to_start_plan(arm_model, pacer.now()),
                   QStringLiteral("Going back to start. Esc stops."));
}

WayEnd ArmSession::go_back(ArmClient& by, const std::vector<Movement>& plan,
                           const QString& purpose) {
    if (plan.empty()) {
        return WayEnd::at_start;
    }
    drive(by);
    way_purpose = purpose;
    Activity going(*this, State::going_back, &by);
    double planned = 0.0;
    for (const Movement& movement : plan) {
        planned += movement.seconds;
    }
    const double start = pacer.now();
    for (const Movement& movement : plan) {
        const double seconds = std::min(movement.seconds, movement_cap_seconds);
        // The whole way never takes much longer than planned, however slowly its waits wake.
        if (pacer.now() - start + seconds > way_cap_factor * planned) {
            return WayEnd::cap;
        }
        if (!parts->way_back.run({{movement.command, seconds}})) {
            return WayEnd::stopped;
        }
        if (seconds < movement.seconds) {
            return WayEnd::cap;
        }
    }
    return WayEnd::done;
}

Answer<int> ArmSession::repeat(ArmClient& by, const QString& text, Direction direction, int times,
                               bool back_between) {
    stop_asked = false;
    int done = 0;
    for (int run = 0; run < times; ++run) {
        if (run > 0) {
            if (back_between) {
                const Answer<WayEnd> way = back_to_start(by);
                if (!way || *way == WayEnd::stopped || *way == WayEnd::cap) {
                    break;
                }
            }
            // As between two steps of one run: what ends a step ends the pause, and no run
            // starts after that.
            const auto cut_short = [this] {
                return stop_asked || !attached() || parts->arm_link.left_running() || closing;
            };
            pacer.pause(pause_between_steps, cut_short);
            if (cut_short()) {
                break;
            }
        }
        emit repeat_run_started(run + 1, times);
        const Answer<std::optional<int>> ran = this->run(by, text, direction);
        if (!ran) {
            if (run == 0) {
                return ran.refusal();
            }
            break;
        }
        if (*ran) {
            break;
        }
        ++done;
    }
    return done;
}

void ArmSession::set_recording(bool on) {
    if ((on && !may(Operation::record)) || closing || on == recording_on) {
        return;
    }
    recording_on = on;
    parts->key_drive.set_one_motor_at_a_time(on);
    emit recording_changed(on);
}

void ArmSession::set_start_pose() {
    arm_model.reset_pose(pacer.now());
}

Answer<int> ArmSession::step(ArmClient& by, const QString& text, int index) {
    if (const auto refused = refusal(&by, Operation::run)) {
        return *refused;
    }
    const std::vector<RunStep> steps = run_order(check_program(text).steps, Direction::forwards);
    if (index < 0 || static_cast<std::size_t>(index) >= steps.size()) {
        return Refusal{Why::no_such_step};
    }
    drive(by);
    set_run_lines(text);
    bool finished = false;
    const auto ran =
        connect(&parts->runner, &ProgramRunner::run_finished, this, [&] { finished = true; });
    run_owner = &by;
    stepping = std::pair{index, static_cast<int>(steps.size())};
    parts->runner.run_step(steps[static_cast<std::size_t>(index)]);
    stepping.reset();
    run_owner = nullptr;
    disconnect(ran);
    if (!finished) {
        return index;
    }
    return static_cast<std::size_t>(index) + 1 == steps.size() ? 0 : index + 1;
}

void ArmSession::insert_way_to(const Pose& pose, const QString& program, qsizetype cursor) {
    const WayInserted put = with_way_inserted(program, cursor, arm_model.pose_at(pacer.now()),
                                              arm_model.light_on(), pose, arm_model.speeds());
    if (put.text != program) {
        emit way_inserted(put.text, put.cursor);
    }
}

void ArmSession::set_joint_speeds(const JointSpeeds& speeds) {
    arm_model.set_speeds(speeds, pacer.now());
}

void ArmSession::set_soft_limits(bool on) {
    soft_limits_on = on;
    parts->held.retime();
    parts->key_drive.retime();
}

void ArmSession::drive_past_soft_limits(bool on) {
    if (on != past_soft_limits) {
        past_soft_limits = on;
        parts->held.retime();
        parts->key_drive.retime();
    }
}

Answer<WayEnd> ArmSession::find_end(ArmClient& by, Joint joint, int drive, double seconds) {
    if (const auto refused = refusal(&by, Operation::back_to_start)) {
        return *refused;
    }
    if (parts->key_drive.under_way()) {
        return Refusal{Why::keys_held};
    }
    const JointRow& row = row_of(joint);
    const WayEnd end =
        go_back(by, {{drive > 0 ? row.increasing_command : row.decreasing_command, seconds}},
                QStringLiteral("Finding the %1's end. Esc stops.")
                    .arg(QString::fromUtf8(row.name).toLower()));
    if (end == WayEnd::done) {
        Pose pose = arm_model.pose_at(pacer.now());
        pose.at(static_cast<std::size_t>(joint)) = drive > 0 ? row.maximum : row.minimum;
        arm_model.place(pose, pacer.now());
    }
    return end;
}

Answer<WayEnd> ArmSession::go_to(ArmClient& by, const Pose& pose) {
    if (const auto refused = refusal(&by, Operation::back_to_start)) {
        return *refused;
    }
    if (parts->key_drive.under_way()) {
        return Refusal{Why::keys_held};
    }
    return go_back(by, way_to_plan(arm_model, pacer.now(), pose, arm_model.light_on()),
                   QStringLiteral("Going to the pose. Esc stops."));
}

void ArmSession::resume(ArmClient& by) {
    by.halted = false;
}

void ArmSession::release_drive(ArmClient& by) {
    if (driving == &by) {
        driving = nullptr;
        emit driver_changed({});
    }
}

void ArmSession::forget(ArmClient& client) {
    cancel_pending(client);
    release_drive(client);
    if (hold_owner == &client) {
        parts->held.end(HoldEnd::released);
        hold_owner = nullptr;
    }
    if (std::ranges::any_of(keys_down, [&](const auto& key) { return key.second == &client; })) {
        focus_lost(client);
        std::erase_if(keys_down, [&](const auto& key) { return key.second == &client; });
    }
    for (Entry& entry : activities) {
        if (entry.owner == &client) {
            if (entry.state == State::running) {
                parts->runner.stop();
            } else if (entry.state == State::going_back) {
                parts->way_back.stop();
            }
            entry.owner = nullptr;
        }
    }
    if (run_owner == &client) {
        run_owner = nullptr;
    }
}

void ArmSession::cancel_pending(const ArmClient& client) {
    if (pending && pending->client == &client) {
        pending.reset();
    }
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
    stop_resender.stop();
    parts->arm_link.shutdown();
    drop_lock();
    emit state_changed(State::shutting_down);
}

void ArmSession::when_still(std::function<void()> action) {
    if (!moving_by_hand()) {
        action();
        return;
    }
    parts->held.end(HoldEnd::released);
    parts->key_drive.end(HoldEnd::released);
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
    if (attached() && parts->arm_link.location() == where) {
        const State before = state();
        parts->arm_link.lose();
        drop_lock();
        // Every motor stopped with the arm's power: the estimate ends each movement now.
        if (source == ArmSource::commands_sent) {
            arm_model.set_command(ArmCommand{}, pacer.now());
        }
        // A hold, a key drive or the way back tests at once whether it still has an arm, as
        // after a release; a run goes on silently and keeps the controls locked until it ends.
        pacer.wake();
        set_recording(false);
        tell_state(before, true);
    } else if (presence->present().empty()) {
        set_plug_hint(false);
    }
}

void ArmSession::drop_lock() {
    // Inside a release that is still trying its all off, the arm stays this process's.
    if (lock && !attached()) {
        lock->drop();
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

void ArmSession::push(State activity, ArmClient* owner) {
    const State before = state();
    activities.push_back({activity, owner});
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
    if (pending && !remote_activity()) {
        // Queued, so that it runs from the event loop rather than inside the remote client's
        // unwinding call.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (pending && !remote_activity()) {
                    const Pending next = *std::exchange(pending, std::nullopt);
                    if (next.client) {
                        next.action();
                    }
                }
            },
            Qt::QueuedConnection);
    }
}

void ArmSession::tell_state(State before, bool attached_before) {
    const State now = state();
    if (now == State::not_responding && !stop_resender.isActive()) {
        stop_resender.start();
    } else if (now != State::not_responding && activities.empty()) {
        stop_resender.stop();
    }
    if (now != before || attached() != attached_before) {
        emit state_changed(now);
    }
}

void ArmSession::resend_stop() {
    if (closing || !activities.empty() || !attached() || !parts->arm_link.left_running()) {
        tell_state(state(), attached());
        return;
    }
    const State before = state();
    parts->arm_link.send_stop(stop_command(parts->arm_link.light_byte()));
    tell_state(before, attached());
}

void ArmSession::let_go_of_hands() {
    parts->held.end(HoldEnd::released);
    parts->key_drive.end(HoldEnd::released);
    keys_down.clear();
}

void ArmSession::record(const QStringList& lines) {
    if (recording_on) {
        emit recorded(lines);
    }
}

bool ArmSession::moving_by_hand() const {
    return std::ranges::find(activities, State::moving_by_hand, &Entry::state) != activities.end();
}

}  // namespace quillmar
