// Reads gamepads through SDL's game-controller layer and tells which arm commands their sticks,
// triggers and buttons hold, as presses and releases like those of keys.
#pragma once

#include <SDL.h>

#include <QElapsedTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <chrono>
#include <memory>
#include <set>

#include "pad_mapping.h"

namespace quillmar {

class Gamepad : public QObject {
    Q_OBJECT
  public:
    // SDL tells of a gamepad's changes only when asked. The pad's own device node wakes the
    // program as soon as the pad reports, so a stick pushed from rest reaches the arm at once
    // while a pad left alone costs no polling. While the pad is in use (a command held, or an
    // event in the last `rest_after`) SDL is also asked this often, for the pad's silence.
    static constexpr std::chrono::milliseconds pump_interval{4};
    static constexpr std::chrono::milliseconds rest_after{2000};
    // A pad whose node cannot be watched (SDL's own virtual pads) is asked this often at rest.
    static constexpr std::chrono::milliseconds unwatched_interval{100};
    // With no pad open, or one whose node is watched, SDL is asked only for pads plugged in.
    static constexpr std::chrono::milliseconds plug_interval{250};
    // A pad with a motion sensor reports it continuously, many times a second, also when still:
    // falling silent this long with commands held, it has lost its link or its battery before
    // the system noticed, and its commands are let go until it reports again.
    static constexpr std::chrono::milliseconds silence_limit{500};

    explicit Gamepad(QObject* parent = nullptr);
    ~Gamepad() override;
    Gamepad(const Gamepad&) = delete;
    Gamepad& operator=(const Gamepad&) = delete;

    // SDL's game-controller layer started; when not, why.
    bool started() const { return running; }
    QString start_error() const { return error; }
    // The name of the pad that drives; empty when none is open.
    QString pad_name() const { return name; }
    // "Gamepad: <name>" or "No gamepad".
    QString status_text() const;

    // Takes what SDL has for us now and tells what changed. The timer calls it; so may a test.
    void pump();
    // Pumps whenever the file at `path` has something to read (the open pad's device node, which
    // opening a pad watches), instead of asking at rest; an empty path, or one that does not
    // open, watches nothing. Each open file of an input node has its own queue, so what is read
    // here is only the wake-up: SDL reads the events from its own.
    void watch_node(const QString& path);
    bool watching() const { return node != nullptr; }

  signals:
    void pad_changed(const QString& status);
    // A command's input went past the dead zone, or its button down; released when let go.
    void pressed(int command);
    void released(int command);
    void acted(quillmar::PadAction action);

  private:
    void take(const SDL_Event& event);
    void open(int device_index);
    void close_pad();
    // The commands the driving pad's inputs hold now, by the dead zone and how each was held.
    std::set<int> inputs_held() const;
    // Tells each change between what is told held and `wanted`, releases first. Each change is
    // worked out afresh, since a press may return only after later pumps have told theirs.
    void tell_changes();
    void reschedule();
    // Reads what woke us and pumps; a node gone or at its end is no longer watched.
    void node_woke();
    void stop_watching();

    bool running = false;
    QString error;
    QTimer pumps;
    int node_fd = -1;
    std::unique_ptr<QSocketNotifier> node;
    SDL_GameController* pad = nullptr;
    SDL_JoystickID pad_id = -1;
    QString name;
    std::set<int> wanted;  // what the pad's inputs hold
    std::set<int> told;    // what the listeners were told is held
    // The last stick or button event from the pad, and its sensor's last report; invalid while
    // it sent none.
    QElapsedTimer last_event;
    QElapsedTimer last_report;
    // Fallen silent with commands held: nothing is held until the pad reports again.
    bool silenced = false;
};

}  // namespace quillmar
