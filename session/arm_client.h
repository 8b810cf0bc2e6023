// A front end's handle on the one arm: every operation it asks for, and what it is told back.
#pragma once

#include <functional>
#include <optional>
#include <utility>
#include <variant>

#include <QObject>
#include <QString>

#include "motion/arm_model.h"
#include "motion/hold_outcome.h"
#include "programs/run_step.h"

namespace quillmar {

class ArmSession;

// Who a client is. The person at the arm (the windows, the keys, the pad) always wins over a
// remote client (a script, a command-line run, a page in the browser).
enum class ClientKind { main_window, arm_window, pad, script, command_line, blocks_page };

// Why the session did not do what a client asked.
enum class Why {
    no_arm,           // no arm is attached
    arm_attached,     // attach: an arm is attached already
    moving_by_hand,   // a hold runs already
    running,          // a program runs
    going_back,       // Back to start, Go to or Find the ends runs
    other_client,     // another remote client drives the arm
    stopped_by_user,  // the person at the arm stopped this client: it must resume first
    not_responding,   // the arm did not take a stop: it is sent again until it does
    shutting_down,    // Quillmar is closing
    opposite_held,    // a key: the key for the other way of its motor is held
    one_at_a_time,    // a key: Record takes one motor at a time
    keys_held,        // the way back: the keys drive
    no_such_step,     // Step: the program has no step there
    taking_over,      // a remote client's movement is being stopped; this one runs after it
};

// A refusal and the one text every front end shows for it.
struct Refusal {
    Refusal(Why why, QString holder = {}, std::optional<int> command = std::nullopt)
        : why(why), holder(std::move(holder)), command(command) {}
    Why why;
    QString holder;              // who holds the arm, where that is why
    std::optional<int> command;  // the command refused, where its caption says why
    QString text() const;
};

// Nothing to say but that it was done.
struct Done {};

// What an operation gives: its result, or why it was refused (and then nothing was sent).
template <typename T = Done>
class Answer {
  public:
    Answer(T value) : held(std::move(value)) {}
    Answer(Refusal refusal) : held(std::move(refusal)) {}
    explicit operator bool() const { return std::holds_alternative<T>(held); }
    const T& operator*() const { return std::get<T>(held); }
    const T* operator->() const { return &std::get<T>(held); }
    // Only when refused.
    const Refusal& refusal() const { return std::get<Refusal>(held); }
    std::optional<Why> why() const {
        return *this ? std::nullopt : std::optional<Why>(refusal().why);
    }

  private:
    std::variant<T, Refusal> held;
};

// How Back to start, Go to or Find the ends ended.
enum class WayEnd { done, stopped, at_start, cap };

class ArmClient : public QObject {
    Q_OBJECT
  public:
    // `name` names the client in refusals: "wave.py (process 4711)", "the main window".
    ArmClient(ArmSession& session, ClientKind kind, QString name, QObject* parent = nullptr);
    // Stops what this client started. Inside one of its own waits, prefer deleteLater().
    ~ArmClient() override;
    ArmClient(const ArmClient&) = delete;
    ArmClient& operator=(const ArmClient&) = delete;

    ClientKind kind() const { return client_kind; }
    const QString& name() const { return client_name; }
    // The person at the arm: a window, the keys or the pad.
    bool at_the_arm() const;
    ArmSession& session() const { return arm; }

    Answer<> attach();
    Answer<> release();
    // Seconds the motor ran.
    Answer<double> jog(int command_number);
    // Returns when the hold has ended: let_go, the limit, Stop, a release or closing.
    Answer<HoldOutcome> hold(int command_number);
    // A hold that ends by itself after `seconds` (at most 15 s), or at a joint's soft limit.
    Answer<HoldOutcome> hold_for(int command_number, double seconds);
    // Ends this client's hold; nothing when another client's runs.
    void let_go();
    // The first key held returns only when the drive has ended.
    Answer<> press_key(int command_number);
    // Only a key this client pressed.
    void release_key(int command_number);
    // This client's keys, and a hold it started, end (released): its window lost the focus.
    void focus_lost();
    // Toggles the light, as the light button does; the indicator after it.
    Answer<bool> light();
    // Gets the light on or off; the indicator after it.
    Answer<bool> set_light(bool on);
    // Checks `text` and runs it; the step it was cut short in, if it was.
    Answer<std::optional<int>> run(const QString& text, Direction direction);
    // Runs `text` `times` times: between two runs Back to start when `back_between`, then the
    // pause between two steps. Ends early at a run cut short, or a way back stopped; the runs
    // that ran whole.
    Answer<int> repeat(const QString& text, Direction direction, int times, bool back_between);
    // Runs step `index` of `text` alone; the step to run next.
    Answer<int> step(const QString& text, int index);
    // The person at the arm: every activity of every client ends. A remote client: its own.
    void stop();
    Answer<WayEnd> back_to_start();
    // Drives to `pose` by the estimate, the light left as it is.
    Answer<WayEnd> go_to(const Pose& pose);
    // Drives `joint` towards its end `drive` (+1 its maximum, -1 its minimum) for `seconds`, then
    // puts the estimate's joint at that end.
    Answer<WayEnd> find_end(Joint joint, int drive, double seconds);
    // Runs `action` now when no hand movement runs, else after the one under way has stopped.
    void when_still(std::function<void()> action);

    // A remote client stopped by the person at the arm drives again.
    void resume();
    bool stopped_by_person() const { return halted; }
    // A remote client gives up driving, so that another may drive.
    void release_drive();

  signals:
    // The person at the arm (`by`) ended this client's movement or run; its movements are
    // refused until it resumes.
    void stopped_by_user(const QString& by);

  private:
    friend class ArmSession;

    ArmSession& arm;
    ClientKind client_kind;
    QString client_name;
    bool halted = false;
};

}  // namespace quillmar
