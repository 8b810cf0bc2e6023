// The arm window: where the arm is, the run under way, and what the program will do before it runs.
#pragma once

#include <QFutureWatcher>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>
#include <vector>

#include "arm_picture.h"
#include "hand_control.h"
#include "motion/arm_model.h"
#include "motion/key_repeat_filter.h"
#include "program_preview.h"

class QCheckBox;
class QIcon;
class QKeyEvent;
class QLabel;
class QLayout;
class QListWidget;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QStackedWidget;

namespace quillmar {

class PreviewTimeline;

enum class ArmSource {
    virtual_arm,    // the model is the emulated arm itself
    commands_sent,  // the model estimates a real arm from the commands that reached it
};

class ArmWindow : public QWidget {
    Q_OBJECT
  public:
    // Frame interval while a joint travels; the window is not redrawn while the arm stands.
    static constexpr int frame_ms = 16;
    // How often a run's times are written while a step runs.
    static constexpr int run_tick_ms = 100;
    // The preview follows the program this long after the last keystroke.
    static constexpr int preview_delay_ms = 250;
    // A note on what just happened (a key refused, Back to start's end) shows this long.
    static constexpr int note_fade_ms = 4000;

    // `clock` is the clock of the arm's commands (monotonic seconds).
    ArmWindow(ArmModel& model, std::function<double()> clock, ArmSource source,
              QWidget* parent = nullptr);

    // Sizes the window to show all of itself within `room` (its frame not counted) where it can:
    // the picture is drawn smaller first, down to a least height, then the window scrolls.
    void fit(QSize room);

    // Shows each run of `runner`: the step under way, its time, the time left.
    void follow(ProgramRunner& runner);

    // Where the program's text is read from when the preview is worked out.
    void set_program_source(std::function<QString()> source);
    // The program changed; the preview follows once typing pauses.
    void program_changed();
    // Works the preview out from where the arm is now, away from the window's thread; it shows
    // when done, unless a newer request came meanwhile.
    void update_preview();

    // Lets the keys, Record and Back to start drive the arm through `control`.
    void take_hand_control(HandControl& control);
    // Whether the arm may be moved by hand now: an arm is attached and no run is under way.
    // Record is switched off and waits for an arm while none is attached.
    void set_hand_control_usable(bool usable);
    // Back to start returns to the pose the arm has now.
    void mark_origin();

    bool animating() const { return frames.isActive(); }
    bool timing_run() const { return run_ticks.isActive(); }
    const ArmPicture& picture() const { return *arm_picture; }
    QString reading(Joint joint) const;
    // The run's two lines: the step and its times.
    QString run_text() const;

  signals:
    // The user closed the window; it is only hidden.
    void closed();
    // A preview has been worked out and is shown.
    void preview_shown();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // The window as large as what it shows, within its room.
    void follow_content();
    QWidget* build_run_box();
    QWidget* build_preview_box();
    // The note on driving by hand, Record, Back to start and the start pose.
    QLayout* build_hand_row(bool estimate);
    // A real arm's notes: how its pose is estimated, or how to attach one.
    QWidget* build_real_arm_notes();
    // Text and marks stand out on the palette, also while another window has the keyboard.
    void apply_colours();
    // Record's caption, and a red dot while it is on.
    void show_recording();
    QIcon recording_dot() const;
    // What the keys do now: the note shows it, and a note on what just happened goes.
    void show_hand_state();
    QString hand_hint() const;
    // What just happened, until the next key, a change of state or `note_fade_ms`.
    void tell(const QString& event);
    // A drive key went down or up: true when it was taken.
    bool take_key(const QKeyEvent& key);
    void let_go(int command);
    void press_key(int command);
    void end_drive();
    void go_back_to_start();
    // Shows the arm as it is now, and keeps the frames going only while a joint travels.
    void refresh();
    void run_started(const std::vector<RunStep>& steps);
    void step_started(int index);
    // The run ended: all its steps ran, or it was cut short during step `stopped_at`.
    void run_ended(std::optional<int> stopped_at);
    void show_run_times();
    void preview_soon();
    // What a preview is worked out from, taken on the window's thread.
    struct PreviewRequest {
        QString text;
        Direction direction;
        Pose pose;
        bool light;
        std::optional<Pose> ran_from;
    };
    struct WorkedPreview {
        ProgramPreview preview;
        bool blank;  // the text holds nothing but blanks
    };
    void start_preview(PreviewRequest request);
    void preview_done();
    void show_preview(const WorkedPreview& worked);
    // "3 of 12: Elbow Up (6), line 7".
    QString step_text(int index) const;

    ArmModel& model;
    std::function<double()> clock;
    QScrollArea* scroller = nullptr;
    // Room for the window that fit() was given.
    QSize space{QWIDGETSIZE_MAX, QWIDGETSIZE_MAX};
    ArmPicture* arm_picture = nullptr;
    std::array<QLabel*, joint_count> readings{};
    QLabel* light_reading = nullptr;
    QPushButton* reset = nullptr;
    QTimer frames;

    HandControl* hands = nullptr;
    bool hands_usable = false;
    bool attached = false;
    bool going_back = false;
    QLabel* hand_note = nullptr;
    QTimer note_fade;
    // Shown on a real arm in place of the estimate's note while no arm is attached.
    QStackedWidget* real_arm_notes = nullptr;
    QPushButton* record = nullptr;
    QPushButton* back = nullptr;
    // Only a key's first press and its last release drive, by command.
    KeyRepeatFilter repeats{
        [this](int command, bool press) { press ? press_key(command) : let_go(command); }};

    QLabel* run_step = nullptr;
    QLabel* run_times = nullptr;
    QProgressBar* run_bar = nullptr;
    QTimer run_ticks;
    std::vector<RunStep> run_steps;
    int run_index = -1;
    double step_began = 0.0;
    bool run_under_way = false;
    bool run_on_timeline = false;
    // A run's end shows until the program changes.
    bool run_end_shown = false;
    // The reading of a joint, and of one at its end.
    QString reading_style;
    QString strain_style;
    // Where the last run began: the reverse preview tells whether it retraces that run.
    std::optional<Pose> last_run_from;

    QCheckBox* preview_reverse = nullptr;
    QLabel* preview_summary = nullptr;
    PreviewTimeline* timeline = nullptr;
    QListWidget* warning_list = nullptr;
    QTimer preview_delay;
    std::function<QString()> program_source = [] { return QString(); };
    ProgramPreview program_preview;
    // One preview is worked out at a time; a request meanwhile waits here, the newest only.
    QFutureWatcher<WorkedPreview> preview_work;
    std::optional<PreviewRequest> next_preview;
    std::optional<Pose> ghost;
    // A change came while the window was hidden; the preview is worked out when it shows.
    bool preview_stale = false;
};

}  // namespace quillmar
