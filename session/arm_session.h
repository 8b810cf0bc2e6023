// The arm as every front end drives it: attach, move, run, stop, back to start, in one state.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "arm_client.h"
#include "motion/arm_model.h"
#include "motion/hold_outcome.h"
#include "motion/way_plan.h"
#include "programs/run_step.h"
#include "usb/usb_result.h"

namespace quillmar {

class ArmLink;
class ArmLock;
class DevicePresence;
class Pacer;
class UsbBus;
struct DeviceLocation;
struct SoftLimits;

namespace testing {
struct SessionProbe;
}

enum class ArmSource {
    virtual_arm,    // the model is the emulated arm itself, fed by its bus
    commands_sent,  // the model estimates a real arm from the commands that reached it
};

class ArmSession : public QObject {
    Q_OBJECT
  public:
    // The innermost activity when one runs inside another's wait; no_arm or idle when none runs.
    // not_responding: no activity runs and the arm did not take the last stop.
    enum class State {
        no_arm,
        idle,
        moving_by_hand,
        running,
        going_back,
        not_responding,
        shutting_down
    };
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

    // With `commands_sent` the model follows what the link sent; with `virtual_arm` the emulated
    // bus is to drive model() (ArmModel::follow). `presence` tells of arms plugged in and pulled
    // out; null when none does (the virtual arm, and every emulated bus in tests).
    ArmSession(UsbBus& usb, Pacer& pacer, ArmSource source, DevicePresence* presence = nullptr,
               QObject* parent = nullptr);
    ~ArmSession() override;

    // From now on an arm is attached only while this process holds its lock in `folder`, so that
    // a second Quillmar process never drives an arm that one drives already.
    void use_arm_lock(const QString& folder);

    // USB library, debug level 255, the survey and attach. When the USB library fails to start,
    // its error, and nothing after it has run.
    UsbResult<void> start_up();

    State state() const;
    bool attached() const;
    // A run or the way back is under way: what moves the arm stays locked, arm or not.
    bool locked() const;
    // Whether `operation` would be taken now from the person at the arm; a refused one sends
    // and writes nothing.
    bool may(Operation operation) const;
    // An arm was plugged in and none is attached.
    bool arm_plugged_in() const { return plug_hint; }
    // The light byte of every command.
    bool light_indicator() const;
    // The light button's state: its next click switches the light the other way.
    bool light_toggle() const;
    bool recording() const { return recording_on; }
    double now() const;
    const ArmModel& model() const { return arm_model; }
    ArmModel& model() { return arm_model; }
    // The arm never took the last stop it was sent: a motor may still be running.
    bool left_running() const;
    // The arm was pulled out since the last attach.
    bool arm_lost() const;

    // The client that began the innermost activity; null when none runs or its client is gone.
    const ArmClient* owner() const;
    // The remote client that drives the arm: the last that moved it and has not given up
    // driving; null when none does.
    const ArmClient* driver() const { return driving; }
    // What the way under way does, for the views: "Going back to start. Esc stops."; empty when
    // none runs.
    const QString& way_text() const { return way_purpose; }

    // A hold, and a client's movement of a stated time, runs at most this long.
    static constexpr double hold_limit_seconds = longest_hold_seconds;
    // Back to start, Go to and Find the ends are bounded: each movement at most
    // `movement_cap_seconds`, and the whole way at most `way_cap_factor` times its plan.
    // 30 s is the longest full travel of the joint table (12 s) with Find the ends' margin (1.5)
    // and room for an arm two thirds slower than the table.
    static constexpr double movement_cap_seconds = 30.0;
    static constexpr double way_cap_factor = 1.5;
    // The arm did not take a stop: it goes again this often until the arm takes it.
    static constexpr int stop_resend_milliseconds = 1000;

    // While on, movements made by hand come out as `recorded` lines, one motor at a time.
    void set_recording(bool on);
    void set_start_pose();
    // The estimate's joints travel at `speeds` from now on.
    void set_joint_speeds(const JointSpeeds& speeds);
    // While on (the default), holds and key drives stop each motor where the estimate puts its
    // joint at its end, and so does a timed movement a remote client asks for. Programs run as
    // written either way.
    void set_soft_limits(bool on);
    bool soft_limits() const { return soft_limits_on; }
    // While on (Shift held), holds and key drives drive on past the soft limits.
    void drive_past_soft_limits(bool on);
    // Puts the lines of the way to `pose` into `program` at `cursor` (a position in its text),
    // from where the program leaves the arm there when it runs from where the arm is now; tells
    // the program's owner with way_inserted. Nothing when the program is there already.
    void insert_way_to(const Pose& pose, const QString& program, qsizetype cursor);
    // The window is closing: every wait ends at once and the arm is let go.
    void shut_down();
    // The not-responding state's pace: the stop goes once more, and the state follows.
    void resend_stop();

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
    // The program with the way to a pose put in, and the position just after it.
    void way_inserted(const QString& program, qsizetype cursor);
    void recording_changed(bool on);
    void arm_plugged_in_changed(bool plugged);
    // Stop begins: a press that is no hold yet must not become one.
    void stopping();
    // A hold or key drive stopped `joint`'s motor where the estimate put it at its end,
    // `drive` (+1 the maximum, -1 the minimum).
    void soft_limit_reached(quillmar::Joint joint, int drive);
    // The person at the arm (`by`) ended the remote client `client`'s activity.
    void client_stopped(const QString& client, const QString& by);
    // Run `run` of a Repeat of `times` runs begins.
    void repeat_run_started(int run, int times);
    // The remote client that drives the arm changed; empty when none does.
    void driver_changed(const QString& name);

  private:
    friend class ArmClient;
    friend struct testing::SessionProbe;
    // Pushes a state around a blocking call; the last hand movement to end runs when_still's
    // action.
    class Activity;
    struct Entry {
        State state;
        ArmClient* owner;
    };
    // A movement of the person at the arm that waits for a remote client's to unwind.
    struct Pending {
        QPointer<ArmClient> client;
        std::function<void()> action;
    };

    // The operations, each for the client `by` (see ArmClient).
    Answer<> attach(ArmClient& by);
    Answer<> release(ArmClient& by);
    Answer<double> jog(ArmClient& by, int command_number);
    Answer<HoldOutcome> hold(ArmClient& by, int command_number, std::optional<double> seconds);
    void let_go(ArmClient& by);
    Answer<> press_key(ArmClient& by, int command_number);
    void release_key(ArmClient& by, int command_number);
    void focus_lost(ArmClient& by);
    Answer<bool> light(ArmClient& by, std::optional<bool> on);
    Answer<std::optional<int>> run(ArmClient& by, const QString& text, Direction direction);
    Answer<int> step(ArmClient& by, const QString& text, int index);
    Answer<int> repeat(ArmClient& by, const QString& text, Direction direction, int times,
                       bool back_between);
    void stop(ArmClient& by);
    Answer<WayEnd> back_to_start(ArmClient& by);
    Answer<WayEnd> go_to(ArmClient& by, const Pose& pose);
    Answer<WayEnd> find_end(ArmClient& by, Joint joint, int drive, double seconds);
    void when_still(std::function<void()> action);
    void resume(ArmClient& by);
    void release_drive(ArmClient& by);
    // A client goes away: what it started ends.
    void forget(ArmClient& client);

    // Why `by` may not do `operation` now; nothing when it may.
    std::optional<Refusal> refusal(const ArmClient* by, Operation operation) const;
    // The person at the arm (`by`) takes the arm: every remote client's activity ends. True when
    // one is still unwinding, and `action` was kept to run once it has.
    bool take_over(ArmClient& by, std::function<void()> action);
    // Ends every remote client's activity and tells each one that `by` stopped it.
    void halt_remote_clients(const ArmClient& by);
    bool remote_activity() const;
    // A remote client that moves the arm drives it from now on.
    void drive(ArmClient& by);
    // Runs `plan` locked as the way back, capped.
    WayEnd go_back(ArmClient& by, const std::vector<Movement>& plan, const QString& purpose);
    void cancel_pending(const ArmClient& client);

    // What the link, the holds and the runner report.
    void show_message(const QString& text);
    void show_error(const QString& text);
    void set_light_indicator(bool ticked);
    // The link beneath, for the tests' probe.
    ArmLink& link() const;
    void survey_and_attach();
    // Held until ended, or for `seconds`.
    std::optional<HoldOutcome> hold(int command_number, std::optional<double> seconds);
    void arm_arrived();
    // The attached arm pulled out is lost at once, so that what moves it ends now.
    void arm_left(DeviceLocation where);
    void set_plug_hint(bool on);
    void drop_lock();
    void push(State activity, ArmClient* owner);
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
    ArmSource source;
    ArmModel arm_model;
    // The link, the light's two values and what moves the arm (arm_session.cpp).
    struct Parts;
    std::unique_ptr<Parts> parts;
    std::vector<Entry> activities;  // nested activities, innermost last
    ArmClient* hold_owner = nullptr;
    ArmClient* run_owner = nullptr;               // of the run about to be checked
    std::optional<std::pair<int, int>> stepping;  // Step's step and the program's step count
    // The keys held in the drive and who pressed each.
    std::vector<std::pair<int, ArmClient*>> keys_down;
    ArmClient* driving = nullptr;
    std::optional<Pending> pending;
    std::unique_ptr<ArmLock> lock;
    QTimer stop_resender;
    // The program under way until its steps are known, then the text of their lines by line
    // number, and its steps, to name each step as it begins.
    QString run_text;
    std::map<int, QString> run_lines;
    std::vector<RunStep> run_steps;
    std::function<void()> after_still;
    bool recording_on = false;
    bool plug_hint = false;
    bool closing = false;
    bool stop_asked = false;  // since the Repeat under way began
    QString way_purpose;
    bool soft_limits_on = true;
    bool past_soft_limits = false;
};

}  // namespace quillmar
