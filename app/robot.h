// The main window: its controls, their wiring, start-up, shutdown and the two log panes.
#pragma once

#include <array>
#include <memory>
#include <utility>

#include <QKeySequence>
#include <QWidget>

#include "motor_buttons.h"
#include "programs/program_files.h"
#include "session/arm_client.h"
#include "session/arm_session.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace quillmar {

class ProgramPane;

// The main window; its class bears the window's object name, "Robot".
class Robot : public QWidget, public FilePane {
    Q_OBJECT
  public:
    // The client area in pixels at 96 dots per inch.
    static constexpr int client_width = 504;
    static constexpr int client_height = 424;

    // A view of `session`: it shows the session's state and lines, and its controls drive it.
    Robot(ArmSession& session, FileDialogs& dialogs, QWidget* parent = nullptr);

    // Help text, start folder, then the session's start: USB library, survey and attach. When
    // the USB library fails to start, its error, and nothing after it has run.
    UsbResult<void> start_up();

    ProgramFiles& files() { return program_files; }
    // Ctrl+O, Ctrl+S, F5 and Shift+F5 in `window` too, as in this window.
    void add_shortcuts_to(QWidget& window);

    void show_message(const QString& text) override;
    void show_error(const QString& text);
    // What the light box shows.
    bool light_indicator() const;
    QString program_text() const override;
    void set_program_text(const QString& text) override;
    // Where the program pane's cursor stands in program_text().
    qsizetype program_cursor() const;

  signals:
    // The window has closed and the arm has been let go.
    void closed();
    // The program pane's text changed, typed or loaded.
    void program_text_changed();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // The controls that only the building and the wiring need.
    struct Parts;
    Parts build_controls();
    // Again: once the window manager has framed the window, with the frame it has.
    void place_on_screen(bool again);
    void describe_controls(const Parts& parts);
    void set_tab_order(const Parts& parts);
    void wire_events(const Parts& parts);
    void add_shortcuts(const Parts& parts);
    void write_help_text();
    // Enables the controls for the session's state. Attaching enables Release, Attach, the
    // panel and Stop, in that order, releasing the reverse; a run locks the program pane, the
    // panel and the file buttons, in that order, and unlocks the panel, the file buttons and
    // the pane. Disabling a control that has the focus moves the focus, so the order matters.
    void show_state();
    // Recorded lines go to the end of the program, and stay in view.
    void add_recorded(const QStringList& lines);
    // The program with a way put in: the cursor goes after it, and it stays in view.
    void take_way(const QString& text, qsizetype cursor);
    // The local file a drag brings, or "" when it is to be refused.
    QByteArray droppable_file(const QDropEvent& drop) const;
    // Accepts or refuses a drag that carries files, and loads the file on the drop; false for a
    // drag without files, which the control under it handles as usual.
    bool take_file_drag(QEvent* event);

    ArmSession& session;
    // Every control of this window drives the arm through it.
    ArmClient hand;
    FileDialogs& dialogs;

    // The controls named by their role; the others live on in their connections.
    QPushButton* attach_button = nullptr;
    QPushButton* release_button = nullptr;
    QPushButton* stop_button = nullptr;
    // The frame of every control that moves the arm by hand.
    QGroupBox* controls_frame = nullptr;
    ProgramPane* program_pane = nullptr;
    QPushButton* load_button = nullptr;
    QPushButton* save_button = nullptr;
    QPlainTextEdit* message_pane = nullptr;
    QPlainTextEdit* error_pane = nullptr;
    QCheckBox* light_box = nullptr;
    QPlainTextEdit* help_pane = nullptr;

    // Each file and run shortcut with the button it clicks.
    std::array<std::pair<QKeySequence, QPushButton*>, 4> shortcut_buttons;
    ProgramFiles program_files;
    // Gone before the window's controls, so that no event of the closing window reaches it.
    std::unique_ptr<MotorButtons> motor_buttons;
    bool placed = false;
};

}  // namespace quillmar
