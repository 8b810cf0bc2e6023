// The main window: its controls, their wiring, start-up, shutdown and the two log panes.
#pragma once

#include <array>
#include <memory>

#include <QWidget>

#include "armlink/arm_link.h"
#include "armlink/arm_reports.h"
#include "motion/back_to_start.h"
#include "motion/held_movement.h"
#include "motion/key_drive.h"
#include "motion/manual_control.h"
#include "motion/pacer.h"
#include "motor_buttons.h"
#include "programs/program_files.h"
#include "programs/program_recorder.h"
#include "programs/program_runner.h"
#include "survey/device_survey.h"
#include "usb/usb_bus.h"
#include "virtualarm/hand_control.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace quillmar {

class Robot : public QWidget,
              public ArmReports,
              public RunnerPane,
              public FilePane,
              public HandControl {
    Q_OBJECT
  public:
    // The client area in pixels at 96 dots per inch.
    static constexpr int client_width = 504;
    static constexpr int client_height = 424;

    Robot(UsbBus& usb, Pacer& pacer, FileDialogs& dialogs, QWidget* parent = nullptr);

    // Help text, start folder, USB library, survey and attach. When the USB library fails to
    // start, its error, and nothing after it has run.
    UsbResult<void> start_up();

    ArmLink& arm_link() { return link; }
    ManualControl& manual() { return manual_control; }
    ProgramRunner& runner() { return program_runner; }
    ProgramFiles& files() { return program_files; }

    void show_message(const QString& text) override;
    void show_error(const QString& text) override;
    bool light_indicator() const override;
    void set_light_indicator(bool ticked) override;
    QString program_text() const override;
    void set_program_text(const QString& text) override;
    void lock_for_run() override;
    void unlock_after_run() override;
    void focus_stop() override;
    KeyDrive& key_drive() override { return keyboard_drive; }
    void press_stop() override;
    void press_light() override;
    void set_recording(bool on) override;
    bool go_back(const std::vector<Movement>& plan) override;

  signals:
    // The window has closed and the arm has been let go.
    void closed();
    // The program pane's text changed, typed or loaded.
    void program_text_changed();
    // An arm was attached: Back to start returns to where it stands now.
    void arm_attached();
    // Moving the arm by hand became possible (an arm attached, no run) or impossible.
    void hand_control_changed(bool usable);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void build_controls();
    // Again: once the window manager has framed the window, with the frame it has.
    void place_on_screen(bool again);
    void describe_controls();
    void set_tab_order();
    void wire_events();
    void add_shortcuts();
    void write_help_text();
    void attach();
    void list_devices();
    void show_attached_controls();
    void on_attach_clicked();
    void on_release_clicked();
    // The controls frame, with every control that moves the arm by hand.
    void enable_panel(bool enabled);
    // A movement made by hand, recorded while Record is on.
    void record_movement(int command_number, double seconds);
    // The newest recorded lines stay in view.
    void show_recorded(bool added);
    // The local file a drag brings, or "" when it is to be refused.
    QString droppable_file(const QDropEvent& drop) const;
    // Accepts or refuses a drag that carries files, and loads the file on the drop; false for a
    // drag without files, which the control under it handles as usual.
    bool take_file_drag(QEvent* event);

    UsbBus& usb;
    Pacer& pacer;
    FileDialogs& dialogs;

    QPushButton* gettit = nullptr;
    QPushButton* release = nullptr;
    QPlainTextEdit* error = nullptr;
    QLabel* label1 = nullptr;
    QLabel* label2 = nullptr;
    QGroupBox* panel = nullptr;
    QPlainTextEdit* message = nullptr;
    QLabel* label3 = nullptr;
    QPlainTextEdit* data = nullptr;
    QPlainTextEdit* info = nullptr;
    QPushButton* loadfile = nullptr;
    QPushButton* savefile = nullptr;
    QPushButton* stopme = nullptr;
    QCheckBox* lighton = nullptr;
    QPushButton* lightme = nullptr;
    QPushButton* program = nullptr;
    QPushButton* reverse = nullptr;
    // The ten jog buttons, by command number 1 to 10 (index 0 unused: that is the light).
    std::array<QPushButton*, last_command_number + 1> jog_buttons{};

    ArmLink link;
    DeviceSurvey survey;
    ManualControl manual_control;
    HeldMovement held_movement;
    ProgramRunner program_runner;
    ProgramFiles program_files;
    KeyDrive keyboard_drive;
    BackToStart going_back;
    Recorder recorder;
    // Gone before the movement it drives, so that no event of the closing window reaches it.
    std::unique_ptr<MotorButtons> motor_buttons;

    // Between lock_for_run and unlock_after_run.
    bool run_under_way = false;
    bool placed = false;
    bool shut_down = false;
};

}  // namespace quillmar
