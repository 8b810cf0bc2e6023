// The arm as every front end drives it: attach, move, run, stop, back to start, in one state.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <vector>

#include <QObject>
#include <QString>
#include <QStringList>

#include "armlink/arm_link.h"
#include "armlink/arm_reports.h"
#include "motion/arm_model.h"
#include "motion/back_to_start.h"
#include "motion/held_movement.h"
#include "motion/key_drive.h"
#include "motion/manual_control.h"
#include "motion/pacer.h"
#include "programs/program_runner.h"
#include "survey/device_survey.h"
#include "usb/device_presence.h"
#include "usb/usb_bus.h"

namespace quillmar {

enum class ArmSource {
    virtual_arm,    // the model is the emulated arm itself, fed by its bus
    commands_sent,  // the model estimates a real arm from the commands that reached it
};

class ArmSession : public QObject, private ArmReports {
    Q_OBJECT
  public:
    // The innermost activity when one runs inside another's wait; no_arm or idle when none runs.
    enum class State { no_arm, idle, moving_by_hand, running, going_back, shutting_down };
    Q_ENUM(State)
    enum class Operation {
        attach,
        release,
        jog,
        hold,
        keys,
        light,
        run,
        stop,
        back_to_start,
        record,
        set_start_pose,
        shut_down,
    };
    Q_ENUM(Operation)
    enum class WayBack { done, stopped, at_start, keys_held, refused };

    // With `commands_sent` the model follows what the link sent; with `virtual_arm` the emulated
    // bus is to drive model() (ArmModel::follow). `presence` tells of arms plugged in and pulled
    // out; null when none does (the virtual arm, and every emulated bus in tests).
    ArmSession(UsbBus& usb, Pacer& pacer, ArmSource source, DevicePresence* presence = nullptr,
               QObject* parent = nullptr);

    // USB library, debug level 255, the survey and attach. When the USB library fails to start,
    // its error, and nothing after it has run.
    UsbResult<void> start_up();

    State state() const;
    bool attached() const { return arm_link.attached(); }
    // A run or the way back is under way: what moves the arm stays locked, arm or not.
    bool locked() const;
    // Whether `operation` would be taken now; a refused one sends and writes nothing.
    bool may(Operation operation) const;
    // An arm was plugged in and none is attached.
    bool arm_plugged_in() const { return plug_hint; }
    // The light byte of every command.
    bool light_indicator() const { return arm_link.light_byte() != 0; }
    bool recording() const { return recording_on; }
    double now() const { return pacer.now(); }
    const ArmModel& model() const { return arm_model; }
    ArmModel& model() { return arm_model; }
    ArmLink& link() { return arm_link; }

    // Empties the message pane, surveys the bus and attaches the first arm.
    void attach();
    void release();
    // Seconds the motor ran; nothing when refused.
    std::optional<double> jog(int command_number);
    // Returns when the hold has ended: end_hold, the limit, Stop, a release or closing.
    std::optional<HoldOutcome> begin_hold(int command_number);
    // A hold that ends by itself after `seconds` (at most the limit), timed as a jog: a movement
    // asked for by time that end_hold, Stop, a release or closing still end at once.
    std::optional<HoldOutcome> begin_hold_for(int command_number, double seconds);
    void end_hold(HoldEnd reason);
    // The first key held returns only when the drive has ended.
    std::optional<KeyAnswer> press_key(int command_number);
    void release_key(int command_number);
    void end_key_drive(HoldEnd reason);
    void light();
    // Checks `text` and runs it; an empty text does nothing.
    void run(const QString& text, Direction direction);
    void stop();
    // Plans the way back from the model, and goes it.
    WayBack back_to_start();
    // Runs `plan` locked as a run; true when all of it ran.
    bool go_back(const std::vector<Movement>& plan);
    // While on, movements made by hand come out as `recorded` lines, one motor at a time.
    void set_recording(bool on);
    void set_start_pose();
    // The estimate's joints travel at `speeds` from now on.
    void set_joint_speeds(const JointSpeeds& speeds);
    // While on, holds and key drives stop each motor where the estimate puts its joint at its
    // end; off until a front end switches them on. Programs run as written either way.
    void set_soft_limits(bool on);
    bool soft_limits() const { return soft_limits_on; }
    // While on (Shift held), holds and key drives drive on past the soft limits.
    void drive_past_soft_limits(bool on);
    // Runs step `index` of `text` forwards alone, as a run of one step. The step to run next: the
    // one after it, the first after the last, the same when it was stopped; none when refused or
    // there is no such step.
    std::optional<int> step(const QString& text, int index);
    // Offers the lines of the way from here to `pose` as `recorded` lines.
    void offer_way_to(const Pose& pose);
    // Drives `joint` towards its end `drive` (+1 its maximum, -1 its minimum) for `seconds`,
    // locked as the way back, then puts the estimate's joint at that end; false when it was
    // stopped or refused.
    bool find_end(Joint joint, int drive, double seconds);
    // Drives to `pose` by the estimate, the light left as it is, locked as the way back.
    WayBack go_to(const Pose& pose);
    // The window is closing: every wait ends at once and the arm is let go.
    void shut_down();
    // Runs `action` now when no hand movement runs; else the hold or key drive ends (released)
    // and `action` runs after the outermost movement's stop, so that a dialog or a run never
    // starts inside a movement's wait. The first action asked for wins.
    void when_still(std::function<void()> action);

  signals:
    // Also when attached() changes under an activity.
    void state_changed(quillmar::ArmSession::State state);
    void messages_cleared();
    void message_line(const QString& text);
    void error_line(const QString& text);
    void run_started(const std::vector<quillmar::RunStep>& steps);
    // Step `index` of `count`, in run order, begins; `line` is the program line it was read from.
    void step_started(int index, int count, const QString& line);
    // The run ended: all its steps ran, or it was cut short during step `stopped_at`.
    void run_ended(std::optional<int> stopped_at);
    void light_changed(bool indicator);
    // A command whose transfer moved its three bytes to the arm.
    void command_sent(quillmar::ArmCommand command);
    // The model's estimate of the arm took a new command or was reset: its pose from now on
    // follows model().pose_at().
    void pose_changed();
    // Program lines for the program's owner to add: a movement made by hand while recording, or
    // the way to a pose.
    void recorded(const QStringList& lines);
    void recording_changed(bool on);
    void arm_plugged_in_changed(bool plugged);
    // Stop begins: a press that is no hold yet must not become one.
    void stopping();
    // A hold or key drive stopped `joint`'s motor where the estimate put it at its end,
    // `drive` (+1 the maximum, -1 the minimum).
    void soft_limit_reached(quillmar::Joint joint, int drive);

  private:
    // Pushes a state around a blocking call; the last hand movement to end runs when_still's
    // action.
    class Activity;

    void show_message(const QString& text) override;
    void show_error(const QString& text) override;
    void set_light_indicator(bool ticked) override;
    void survey_and_attach();
    // Held until ended, or for `seconds`.
    std::optional<HoldOutcome> hold(int command_number, std::optional<double> seconds);
    void arm_arrived();
    // The attached arm pulled out is lost at once, so that what moves it ends now.
    void arm_left(DeviceLocation where);
    void set_plug_hint(bool on);
    void push(State activity);
    void pop();
    // Says the new state when it, or whether an arm is attached, changed.
    void tell_state(State before, bool attached_before);
    // Entering a run or the way back lets go of what is held, as a disabled panel did.
    void let_go_of_hands();
    void record(const QStringList& lines);
    bool moving_by_hand() const;
    SoftLimits estimate_limits();
    // Keeps the lines of the program about to run, to name each step as it begins.
    void set_run_lines(const QString& text);
    // Keeps the text of the run's steps' lines, once they are known.
    void keep_step_lines();

    UsbBus& usb;
    Pacer& pacer;
    DevicePresence* presence;
    ArmModel arm_model;
    ArmLink arm_link;
    DeviceSurvey survey;
    ManualControl manual;
    HeldMovement held;
    KeyDrive key_drive;
    BackToStart way_back;
    ProgramRunner runner;
    std::vector<State> activities;  // nested activities, innermost last
    // The program under way until its steps are known, then the text of their lines by line
    // number, and its steps, to name each step as it begins.
    QString run_text;
    std::map<int, QString> run_lines;
    std::vector<RunStep> run_steps;
    std::function<void()> after_still;
    bool recording_on = false;
    bool plug_hint = false;
    bool closing = false;
    bool soft_limits_on = false;
    bool past_soft_limits = false;
};

}  // namespace quillmar
