// The arm window: where the arm is, the run under way, and what the program will do before it runs.
#pragma once

#include <QFutureWatcher>
#include <QGroupBox>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>
#include <vector>

#include "arm_picture.h"
#include "motion/arm_model.h"
#include "motion/key_repeat_filter.h"
#include "programs/program_preview.h"
#include "session/arm_client.h"
#include "session/arm_session.h"

class QCheckBox;
class QGridLayout;
class QIcon;
class QKeyEvent;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QStackedWidget;

class QTabWidget;

namespace quillmar {

class PreviewTimeline;

// A joint's reading: "12.5°", "20.0 mm", and whether its motor strains at its end.
QString reading_text(const JointRow& row, double value, bool straining);

// The run under way: its step, its times and how far it has come, also on the preview's timeline
// when the preview showed this very run.
class RunBox : public QGroupBox {
    Q_OBJECT
  public:
    // How often a run's times are written while a step runs.
    static constexpr int tick_ms = 100;

    RunBox(ArmSession& session, PreviewTimeline& timeline, QWidget* parent);

    // A run begins with `steps`; `previewed` when the preview showed these very steps.
    void start(const std::vector<RunStep>& steps, bool previewed);
    void show_step(int index);
    // The run ended: all its steps ran, or it was cut short during step `stopped_at`.
    void end(std::optional<int> stopped_at);
    // A preview of `steps` is shown now: a run of them under way shows on the timeline.
    void preview_shown(const std::vector<RunStep>& steps);
    // The end of a run tells of the program that ran, not of one typed since.
    void program_changed();

    bool under_way() const { return running; }
    bool timing() const { return ticks.isActive(); }
    // The run's two lines: the step and its times.
    QString text() const;

  private:
    void show_times();
    // "3 of 12: Elbow Up (6), line 7".
    QString step_text(int index) const;

    ArmSession& session;
    PreviewTimeline& timeline;
    QLabel* step_line = nullptr;
    QLabel* times_line = nullptr;
    QProgressBar* bar = nullptr;
    QTimer ticks;
    std::vector<RunStep> steps;
    int index = -1;
    double step_began = 0.0;
    bool running = false;
    bool on_timeline = false;
    // A run's end shows until the program changes.
    bool end_shown = false;
};

// What the program will do before it runs: how long it takes, its timeline, its warnings and
// where it leaves the arm. Worked out away from the window's thread; only the newest shows.
class PreviewBox : public QGroupBox {
    Q_OBJECT
  public:
    // The preview follows the program this long after the last keystroke.
    static constexpr int delay_ms = 250;

    PreviewBox(ArmSession& session, QWidget* parent);

    // Where the program's text is read from when the preview is worked out.
    void set_program_source(std::function<QString()> source);
    // The program or the arm changed: the preview follows once typing pauses.
    void soon();
    // Works the preview out from where the arm is now; it shows when done, unless a newer
    // request came meanwhile.
    void work_out();
    // A run of `steps` begins: a preview still due is worked out first, from where the run
    // starts. True when the preview shows these very steps.
    bool run_begins(const std::vector<RunStep>& steps);
    // The window shows again: a change that came while it was hidden is worked out now.
    void window_shown();

    PreviewTimeline& timeline() { return *lanes; }
    // Where the program leaves the arm, drawn pale; none when nothing runs.
    const std::optional<Pose>& ghost() const { return end_pose; }

  signals:
    // A preview of `steps` has been worked out and is shown.
    void shown(const std::vector<quillmar::RunStep>& steps);

  private:
    // What a preview is worked out from, taken on the window's thread.
    struct Request {
        QString text;
        Direction direction;
        Pose pose;
        bool light;
        std::optional<Pose> ran_from;
        JointSpeeds speeds;
    };
    struct Worked {
        ProgramPreview preview;
        bool blank;  // the text holds nothing but blanks
    };
    void start(Request request);
    void done();
    void show_worked(const Worked& worked);

    ArmSession& session;
    QCheckBox* reverse = nullptr;
    QLabel* summary = nullptr;
    PreviewTimeline* lanes = nullptr;
    QListWidget* warnings = nullptr;
    QTimer delay;
    std::function<QString()> source = [] { return QString(); };
    ProgramPreview preview;
    // One preview is worked out at a time; a request meanwhile waits here, the newest only.
    QFutureWatcher<Worked> work;
    std::optional<Request> next;
    std::optional<Pose> end_pose;
    // Where the last run began: the reverse preview tells whether it retraces that run.
    std::optional<Pose> ran_from;
    // A change came while the window was hidden; the preview is worked out when it shows.
    bool stale = false;
};

// The gamepad's name or "No gamepad", its legend and whether it works in the background.
class GamepadBox : public QWidget {
    Q_OBJECT
  public:
    explicit GamepadBox(QWidget* parent);

    // `legend`: one line per joint, then one per button that acts.
    void show_legend(const QStringList& legend, int joint_lines, bool background);
    void set_status(const QString& status);
    QString status() const;

  signals:
    void background_changed(bool on);

  private:
    QLabel* status_line = nullptr;
    QCheckBox* background = nullptr;
    QGridLayout* legend_grid = nullptr;
};

// The note on driving by hand, Record, Back to start and the start pose, as the session allows.
class HandRow : public QWidget {
    Q_OBJECT
  public:
    // A note on what just happened (a key refused, Back to start's end) shows this long.
    static constexpr int note_fade_ms = 4000;

    // `estimate`: the model estimates a real arm, whose start pose is set rather than reset.
    HandRow(ArmClient& hand, bool estimate, QWidget* parent);

    // Back to start and Record follow the session; false when nothing shown here changed, so
    // that a note on a refused key stays through a jog or a key drive.
    bool follow(ArmSession::State state);
    // What the keys do now: the note shows it, and a note on what just happened goes.
    void show_hand_state();
    // What just happened, until the next key, a change of state or `note_fade_ms`.
    void tell(const QString& event);
    // Record's caption, and a red dot in the palette's red while it is on.
    void show_recording();

  private:
    QIcon recording_dot() const;
    QString hand_hint() const;
    void go_back_to_start();

    ArmSession& session;
    ArmClient& hand;
    QLabel* note = nullptr;
    QTimer fade;
    QPushButton* record = nullptr;
    QPushButton* back = nullptr;
};

class ArmWindow : public QWidget {
    Q_OBJECT
  public:
    // Frame interval while a joint travels; the window is not redrawn while the arm stands.
    static constexpr int frame_ms = 16;
    static constexpr int note_fade_ms = HandRow::note_fade_ms;

    // Shows `session`'s model and runs; its keys, Record and Back to start drive the session.
    ArmWindow(ArmSession& session, ArmSource source, QWidget* parent = nullptr);
    ~ArmWindow() override;
    ArmWindow(const ArmWindow&) = delete;
    ArmWindow& operator=(const ArmWindow&) = delete;

    // Sizes the window to show all of itself within `room` (its frame not counted) where it can:
    // the picture is drawn smaller first, down to a least height, then the window scrolls.
    void fit(QSize room);

    // Where the program's text is read from when the preview is worked out.
    void set_program_source(std::function<QString()> source);
    // Adds `tool` as a tab beside the preview's, its keys driving the arm as everywhere in this
    // window.
    void add_tool(const QString& title, QWidget* tool);
    // The program changed; the preview follows once typing pauses.
    void program_changed();
    // Works the preview out from where the arm is now, away from the window's thread; it shows
    // when done, unless a newer request came meanwhile.
    void update_preview();
    // A script drives the arm through the local interface: its name shows; empty when none does.
    void show_driver(const QString& client);

    bool animating() const { return frames.isActive(); }
    bool timing_run() const { return run_box->timing(); }
    const ArmPicture& picture() const { return *arm_picture; }
    QString reading(Joint joint) const;
    // The run's two lines: the step and its times.
    QString run_text() const;

    // Shows the gamepad's box below the keys' legend: `legend` one line per joint, then one per
    // button that acts, and whether the pad works while another program has the keyboard.
    void show_gamepad(const QStringList& legend, int joint_lines, bool background);
    // "Gamepad: <name>" or "No gamepad".
    void set_gamepad_status(const QString& status);
    QString gamepad_status() const;
    // Says why a key's or a gamepad's command was refused.
    void tell_refusal(const Refusal& refusal);
    // This window's keys, Record, Back to start and tools drive the arm through it.
    ArmClient& client() { return hand; }
    // Whether typed keys may reach this window's controls: not while it has the keyboard without
    // a click in it, when it asks for one. Its keys then do nothing.
    void set_keys_welcome(bool welcome);
    bool keys_welcome() const { return welcome; }
    // Gives the keys to the picture, so that they drive the arm.
    void drive_with_keys();
    // Where typed keys go: "Keys drive the arm", "Keys edit the field", ...
    QString keys_place() const;

  signals:
    // The user closed the window; it is only hidden.
    void closed();
    void gamepad_background_changed(bool on);
    // A preview has been worked out and is shown.
    void preview_shown();
    // The soft limits stopped a motor, or refused to start it; the note says why.
    void soft_limit_told();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // The window as large as what it shows, within its room.
    void follow_content();
    // A real arm's notes: how its pose is estimated, or how to attach one.
    QWidget* build_real_arm_notes();
    // Text and marks stand out on the palette, also while another window has the keyboard.
    void apply_colours();
    // The hand row and the real arm's notes follow the session: whether the arm may be moved
    // by hand (an arm attached, no run), and whether an arm is attached.
    void show_session_state(ArmSession::State state);
    // A drive key went down or up at `receiver`: true when it was taken.
    bool take_key(const QObject* receiver, const QKeyEvent& key);
    // The picture and the window's background, whose keys drive the arm; no other control.
    bool drives(const QObject* widget) const;
    void show_keys_place();
    void let_go(int command);
    void press_key(int command);
    void end_drive();
    // Shows the arm as it is now, and keeps the frames going only while a joint travels.
    void refresh();
    void run_started(const std::vector<RunStep>& steps);

    ArmSession& session;
    ArmClient hand;
    ArmModel& model;
    // Where Go to is driving the arm, drawn pale instead of the program's end meanwhile.
    std::optional<Pose> destination;
    QScrollArea* scroller = nullptr;
    // Room for the window that fit() was given.
    QSize space{QWIDGETSIZE_MAX, QWIDGETSIZE_MAX};
    ArmPicture* arm_picture = nullptr;
    std::array<QLabel*, joint_count> readings{};
    QLabel* light_reading = nullptr;
    QTimer frames;

    // A tab once the program has a gamepad.
    GamepadBox* gamepad_box = nullptr;

    HandRow* hand_row = nullptr;
    // Where the keys go, and the script that drives, side by side on one line.
    QLabel* keys_line = nullptr;
    QLabel* driver_note = nullptr;
    bool welcome = true;
    // Shown on a real arm in place of the estimate's note while no arm is attached.
    QStackedWidget* real_arm_notes = nullptr;
    // Only a key's first press and its last release drive, by command.
    KeyRepeatFilter repeats{
        [this](int command, bool press) { press ? press_key(command) : let_go(command); }};

    RunBox* run_box = nullptr;
    // The reading of a joint, and of one at its end.
    QString reading_style;
    QString strain_style;

    PreviewBox* preview_box = nullptr;
    // The preview's tab, then the tools'.
    QTabWidget* tools = nullptr;
    // The application's focus changes, which the window follows while it is whole.
    QMetaObject::Connection focus_watch;
};

}  // namespace quillmar
