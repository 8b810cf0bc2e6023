#include "robot.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QUrl>

#include "caption_button.h"
#include "caption_fit.h"
#include "pane_text.h"
#include "program_pane.h"
#include "programs/program_recorder.h"
#include "run_highlight.h"
#include "window_placement.h"

// Resources of a static library have to be registered by hand, outside any namespace.
static void register_resources() {
    Q_INIT_RESOURCE(quillmar);
}

namespace quillmar {

namespace {

const QString crlf = QStringLiteral("\r\n");

// Layout is given in twips; 15 twips make one pixel at 96 dots per inch.
QRect twips(int left, int top, int width, int height) {
    return {left / 15, top / 15, width / 15, height / 15};
}

// Where each button of the command table sits inside the panel, by command number.
const std::array<QRect, last_command_number + 1> command_button_places{
    twips(120, 360, 855, 495),    twips(1560, 360, 855, 495),   twips(2520, 360, 855, 495),
    twips(120, 960, 1455, 495),   twips(1920, 960, 1455, 495),  twips(120, 1560, 1455, 495),
    twips(1920, 1560, 1455, 495), twips(120, 2160, 1455, 495),  twips(1920, 2160, 1455, 495),
    twips(120, 2760, 1455, 495),  twips(1920, 2760, 1455, 495),
};

QPushButton* make_button(const char* name, const QString& caption, const QRect& place,
                         QWidget* parent) {
    auto* button = new CaptionButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(place);
    return button;
}

QLabel* make_label(const char* name, const QString& caption, const QRect& place,
                   Qt::Alignment alignment, QWidget* parent) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(place);
    label->setAlignment(alignment | Qt::AlignVCenter);
    // A heading is one line; it shrinks rather than lose its ends.
    label->setFont(fitted_font(label->font(), caption, label->contentsRect(),
                               static_cast<int>(label->alignment()) | Qt::TextSingleLine));
    return label;
}

template <typename Pane = QPlainTextEdit>
Pane* make_pane(const char* name, const QRect& place, bool read_only, Qt::ScrollBarPolicy vertical,
                QWidget* parent) {
    auto* pane = new Pane(parent);
    pane->setObjectName(QLatin1String(name));
    pane->setGeometry(place);
    pane->setReadOnly(read_only);
    pane->setVerticalScrollBarPolicy(vertical);
    pane->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Tab moves between controls; it is never typed into a pane.
    pane->setTabChangesFocus(true);
    return pane;
}

// Panes and the light box have no caption of their own; a screen reader announces these instead.
void describe(QWidget* control, const QString& name, const QString& description) {
    control->setAccessibleName(name);
    control->setAccessibleDescription(description);
}

// Orange under every style and palette: styles may ignore a palette's button colour (dark themes
// do), but every style draws a style sheet's. Both captions stay above 4.5:1 against the orange
// (black 8.3:1, brown 5.1:1). A black frame shows the focus, which a run moves here; the bevel goes
// flat when the button cannot be used.
const QString stop_style = QStringLiteral(
    "QPushButton { background-color: rgb(255, 128, 0); color: rgb(0, 0, 0);"
    " border: 2px outset rgb(255, 170, 85); border-radius: 2px; }"
    "QPushButton:focus { border: 2px solid rgb(0, 0, 0); }"
    "QPushButton:pressed { border-style: inset; }"
    "QPushButton:disabled { color: rgb(80, 40, 0); border: 2px solid rgb(255, 128, 0); }");

// "Could not attach" alone does not say what to do.
const QString attach_tip = QStringLiteral(
    "Attaches the arm: plug it in and switch it on first. Plugged in but not attached? This user "
    "may not open it until the udev rule 60-quillmar.rules is in place (the package installs it; "
    "\"man quillmar\" shows how to apply a copy). No arm at hand? Start Quillmar with "
    "--virtual-arm.");

// The newest line of a log stays in view.
void keep_caret_at_end(QPlainTextEdit* pane) {
    QObject::connect(pane, &QPlainTextEdit::textChanged, pane,
                     [pane] { pane->moveCursor(QTextCursor::End); });
}

}  // namespace

struct Robot::Parts {
    QLabel* info_heading = nullptr;
    QLabel* program_heading = nullptr;
    QPushButton* light = nullptr;
    QPushButton* run = nullptr;
    QPushButton* reverse = nullptr;
    // The ten jog buttons, by command number 1 to 10 (index 0 unused: that is the light).
    std::array<QPushButton*, last_command_number + 1> jogs{};
};

Robot::Robot(ArmSession& session, FileDialogs& dialogs, QWidget* parent)
    : QWidget(parent),
      session(session),
      hand(session, ClientKind::main_window, QStringLiteral("the main window")),
      dialogs(dialogs),
      program_files(*this, dialogs) {
    register_resources();
    setObjectName(QStringLiteral("Robot"));
    setWindowTitle(QStringLiteral("Quillmar"));
    setWindowIcon(QIcon(QStringLiteral(":/quillmar/icon-32.png")));
    // A tool window keeps out of the taskbar where the window manager honours it; the hints
    // leave the title, the system menu and the close box, without minimise or maximise.
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(client_width, client_height);

    const Parts parts = build_controls();
    describe_controls(parts);
    set_tab_order(parts);
    wire_events(parts);
    add_shortcuts(parts);
}

Robot::Parts Robot::build_controls() {
    Parts parts;
    attach_button =
        make_button("gettit", QStringLiteral("Attach arm"), twips(120, 120, 1335, 615), this);
    attach_button->setToolTip(attach_tip);
    release_button =
        make_button("release", QStringLiteral("Release arm"), twips(2400, 120, 1335, 615), this);
    release_button->setEnabled(false);
    error_pane = make_pane("error", twips(240, 5520, 3255, 735), true, Qt::ScrollBarAlwaysOn, this);
    parts.info_heading = make_label("Label1", QStringLiteral("Info"), twips(4080, 0, 2655, 255),
                                    Qt::AlignHCenter, this);
    make_label("Label2", QStringLiteral("USB response ( \"-5\" : I/O , \" -116\" Timeout )"),
               twips(240, 5160, 3255, 255), Qt::AlignHCenter, this);

    controls_frame = new QGroupBox(QStringLiteral("Controls"), this);
    controls_frame->setObjectName(QStringLiteral("panel"));
    controls_frame->setGeometry(twips(120, 960, 3615, 4095));
    controls_frame->setEnabled(false);

    parts.light = make_button(command_table[light_command_number].button,
                              QString::fromLatin1(command_table[light_command_number].caption),
                              command_button_places[light_command_number], controls_frame);
    light_box = new QCheckBox(controls_frame);
    light_box->setObjectName(QStringLiteral("lighton"));
    light_box->setGeometry(twips(1080, 480, 255, 255));
    // Only the program ticks it; the user cannot, whatever the panel's state.
    light_box->setEnabled(false);
    for (int number = 1; number <= last_command_number; ++number) {
        const auto& row = command_table.at(static_cast<std::size_t>(number));
        parts.jogs.at(static_cast<std::size_t>(number)) =
            make_button(row.button, QString::fromLatin1(row.caption),
                        command_button_places.at(static_cast<std::size_t>(number)), controls_frame);
    }
    parts.run = make_button("program", QStringLiteral("Run Program"), twips(1680, 3360, 855, 495),
                            controls_frame);
    parts.reverse = make_button("reverse", QStringLiteral("Reverse Program"),
                                twips(2640, 3360, 855, 495), controls_frame);

    message_pane =
        make_pane("message", twips(3840, 240, 3615, 2175), true, Qt::ScrollBarAlwaysOn, this);
    parts.program_heading = make_label("Label3", QStringLiteral("Program the arm"),
                                       twips(3840, 2520, 1335, 255), Qt::AlignLeft, this);
    program_pane = make_pane<ProgramPane>("data", twips(3840, 2880, 1215, 2655), false,
                                          Qt::ScrollBarAlwaysOn, this);
    help_pane =
        make_pane("info", twips(5160, 2880, 2295, 2655), true, Qt::ScrollBarAlwaysOff, this);
    load_button =
        make_button("loadfile", QStringLiteral("Load File"), twips(3840, 5760, 1335, 495), this);
    save_button =
        make_button("savefile", QStringLiteral("Save File"), twips(6120, 5760, 1335, 495), this);

    // Stop lies over the panel's lower left corner but is the window's own, so that it stays
    // usable while a run has the panel disabled.
    stop_button = make_button("stopme", QStringLiteral("Stop!"), twips(240, 4320, 1455, 495), this);
    stop_button->setStyleSheet(stop_style);
    stop_button->setEnabled(false);
    stop_button->raise();
    return parts;
}

void Robot::describe_controls(const Parts& parts) {
    describe(message_pane, parts.info_heading->text(),
             QStringLiteral("Messages: the USB device survey, attaching, programs and files"));
    describe(error_pane, QStringLiteral("USB response"),
             QStringLiteral("Arm commands the arm did not take, with the USB return value"));
    describe(program_pane, parts.program_heading->text(),
             QStringLiteral("The program: one line of command number, comma, duration per step"));
    describe(help_pane, QStringLiteral("Examples"), QStringLiteral("How to write a program"));
    describe(light_box, QStringLiteral("Light is on"),
             QStringLiteral("Ticked while the arm's light is on; Light (0) switches it"));
    stop_button->setAccessibleDescription(
        QStringLiteral("Stops the motors and ends the program that is running"));
}

void Robot::set_tab_order(const Parts& parts) {
    const std::array<QWidget*, 23> order{
        attach_button, release_button, error_pane,     parts.jogs[8], parts.jogs[7], parts.light,
        light_box,     parts.jogs[1],  parts.jogs[2],  parts.jogs[3], parts.jogs[4], parts.jogs[5],
        parts.jogs[6], parts.jogs[9],  parts.jogs[10], message_pane,  parts.run,     program_pane,
        help_pane,     parts.reverse,  load_button,    save_button,   stop_button,
    };
    for (std::size_t i = 1; i < order.size(); ++i) {
        setTabOrder(order.at(i - 1), order.at(i));
    }
}

void Robot::wire_events(const Parts& parts) {
    keep_caret_at_end(message_pane);
    keep_caret_at_end(error_pane);
    // The message pane echoes the program's lines, however long they are.
    wrap_long_words_anywhere(*message_pane);
    wrap_long_words_anywhere(*program_pane);

    // A file dropped anywhere on the window loads; the read-only panes pass drops on to it, and
    // the program pane hands over files while it keeps taking dragged text.
    setAcceptDrops(true);
    for (QPlainTextEdit* pane : {message_pane, error_pane, help_pane}) {
        pane->setAcceptDrops(false);
    }
    program_pane->viewport()->installEventFilter(this);

    connect(attach_button, &QPushButton::clicked, this, [this] { hand.attach(); });
    connect(release_button, &QPushButton::clicked, this, [this] { hand.release(); });
    motor_buttons = std::make_unique<MotorButtons>(parts.jogs, hand, *this);
    connect(parts.light, &QPushButton::clicked, this, [this] { hand.light(); });
    connect(parts.run, &QPushButton::clicked, this,
            [this] { hand.run(program_text(), Direction::forwards); });
    connect(parts.reverse, &QPushButton::clicked, this,
            [this] { hand.run(program_text(), Direction::reverse); });
    connect(stop_button, &QPushButton::clicked, this, [this] { hand.stop(); });
    connect(&session, &ArmSession::state_changed, this, &Robot::show_state);
    connect(&session, &ArmSession::run_started, this,
            [this] { stop_button->setFocus(Qt::OtherFocusReason); });
    connect(&session, &ArmSession::messages_cleared, this,
            [this] { set_pane_text(*message_pane, QString()); });
    connect(&session, &ArmSession::message_line, this, &Robot::show_message);
    connect(&session, &ArmSession::error_line, this, &Robot::show_error);
    connect(&session, &ArmSession::light_changed, light_box, &QCheckBox::setChecked);
    connect(&session, &ArmSession::recorded, this, &Robot::add_recorded);
    connect(&session, &ArmSession::way_inserted, this, &Robot::take_way);
    connect(&session, &ArmSession::arm_plugged_in_changed, this, [this](bool plugged) {
        attach_button->setToolTip(plugged ? QStringLiteral("Arm plugged in: press Attach arm")
                                          : attach_tip);
    });
    connect(load_button, &QPushButton::clicked, this, [this] { program_files.load_file(); });
    connect(save_button, &QPushButton::clicked, this, [this] { program_files.save_file(); });
    connect(program_pane, &QPlainTextEdit::textChanged, this, &Robot::program_text_changed);
    connect(program_pane, &ProgramPane::refused, this, [this](const QString& reason) {
        show_message(QStringLiteral("Text not pasted: ") + reason);
    });
    new RunHighlight(session, *program_pane);
}

void Robot::add_shortcuts(const Parts& parts) {
    // Escape is Stop whatever has the focus, also inside a run or a hold; a disabled Stop
    // ignores it, as it ignores clicks.
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
            [this] { hand.stop(); });
    shortcut_buttons = {{
        {QKeySequence(Qt::CTRL | Qt::Key_O), load_button},
        {QKeySequence(Qt::CTRL | Qt::Key_S), save_button},
        {QKeySequence(Qt::Key_F5), parts.run},
        {QKeySequence(Qt::SHIFT | Qt::Key_F5), parts.reverse},
    }};
    add_shortcuts_to(*this);
}

void Robot::add_shortcuts_to(QWidget& window) {
    for (const auto& [sequence, button] : shortcut_buttons) {
        connect(new QShortcut(sequence, &window), &QShortcut::activated, this, [this, button] {
            if (button->isEnabled()) {
                hand.when_still([button] { button->click(); });
            }
        });
    }
}

UsbResult<void> Robot::start_up() {
    write_help_text();
    dialogs.set_start_folder(start_folder_for(QCoreApplication::applicationDirPath()));
    return session.start_up();
}

void Robot::write_help_text() {
    // Written in two steps: the first three lines, then the rest after what the pane reads back.
    set_pane_text(*help_pane, QStringLiteral("Examples:") + crlf +
                                  QStringLiteral("Enter \"1,100\"") + crlf +
                                  QStringLiteral("To close the Grip for 100 cS"));
    set_pane_text(*help_pane, pane_text(*help_pane) + crlf + crlf +
                                  QStringLiteral("Seperate commands with return:") + crlf +
                                  QStringLiteral("0,") + crlf + QStringLiteral("2,50") + crlf +
                                  QStringLiteral("5,200") + crlf + QStringLiteral("7,200") + crlf +
                                  crlf +
                                  QStringLiteral("The light is not timed (Just enter \"0,\")"));
    // The help pane has no scroll bars: its text shrinks until the whole of it shows.
    const qreal margin = help_pane->document()->documentMargin();
    const QRect box = QRect(QPoint(), help_pane->contentsRect().size())
                          .adjusted(static_cast<int>(margin), static_cast<int>(margin),
                                    -static_cast<int>(margin) - 1, -static_cast<int>(margin) - 1);
    help_pane->setFont(
        fitted_font(help_pane->font(), help_pane->toPlainText(), box, Qt::TextWordWrap));
}

void Robot::show_state() {
    // A closed window keeps its controls as they were.
    if (session.state() == ArmSession::State::shutting_down) {
        return;
    }
    const bool attached = session.attached();
    const bool locked = session.locked();
    if (attached != release_button->isEnabled()) {
        if (attached) {
            release_button->setEnabled(true);
            attach_button->setEnabled(false);
            // A run that outlived a release keeps the panel locked until it ends.
            controls_frame->setEnabled(!locked);
            stop_button->setEnabled(true);
        } else {
            release_button->setEnabled(false);
            controls_frame->setEnabled(false);
            stop_button->setEnabled(false);
            attach_button->setEnabled(true);
        }
    }
    if (locked == program_pane->isEnabled()) {
        if (locked) {
            program_pane->setEnabled(false);
            controls_frame->setEnabled(false);
            load_button->setEnabled(false);
            save_button->setEnabled(false);
        } else {
            // An arm released during the run leaves its controls locked.
            controls_frame->setEnabled(attached);
            load_button->setEnabled(true);
            save_button->setEnabled(true);
            program_pane->setEnabled(true);
        }
    }
}

void Robot::show_message(const QString& text) {
    append_to_pane(*message_pane, text + crlf);
}

void Robot::show_error(const QString& text) {
    append_to_pane(*error_pane, text + crlf);
}

bool Robot::light_indicator() const {
    return light_box->isChecked();
}

QString Robot::program_text() const {
    return pane_text(*program_pane);
}

void Robot::set_program_text(const QString& text) {
    set_pane_text(*program_pane, text);
}

qsizetype Robot::program_cursor() const {
    // The pane ends each line with one character, the program with CR LF.
    const QString before = program_pane->toPlainText().left(program_pane->textCursor().position());
    return crlf_from_widget_text(before).size();
}

void Robot::take_way(const QString& text, qsizetype cursor) {
    set_program_text(text);
    QTextCursor at = program_pane->textCursor();
    at.setPosition(static_cast<int>(widget_text_from_crlf(text.left(cursor)).size()));
    program_pane->setTextCursor(at);
    program_pane->ensureCursorVisible();
}

void Robot::add_recorded(const QStringList& lines) {
    set_program_text(with_lines_added(program_text(), lines));
    program_pane->moveCursor(QTextCursor::End);
}

QByteArray Robot::droppable_file(const QDropEvent& drop) const {
    // The pane is locked while a program runs; loading then would change the running program.
    if (!program_pane->isEnabled() || !drop.possibleActions().testFlag(Qt::CopyAction)) {
        return {};
    }
    // One program at a time: several files are refused rather than one picked silently.
    const QList<QUrl> urls = drop.mimeData()->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) {
        return {};
    }
    // The address's own bytes: a name that is not valid UTF-8 decodes to another file's name.
    const QUrl& url = urls.front();
    const QByteArray path =
        QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    return url.host().isEmpty() ? path : QFile::encodeName(url.toLocalFile());
}

bool Robot::take_file_drag(QEvent* event) {
    auto* drop = static_cast<QDropEvent*>(event);
    if (!drop->mimeData()->hasUrls()) {
        return false;
    }
    const QByteArray name = droppable_file(*drop);
    if (name.isEmpty()) {
        drop->ignore();
        return true;
    }
    // Always a copy: a move would let the file manager delete the file after the drop.
    drop->setDropAction(Qt::CopyAction);
    drop->accept();
    if (event->type() == QEvent::Drop) {
        program_files.load_from(name);
    }
    return true;
}

void Robot::dragEnterEvent(QDragEnterEvent* event) {
    take_file_drag(event);
}

void Robot::dragMoveEvent(QDragMoveEvent* event) {
    take_file_drag(event);
}

void Robot::dropEvent(QDropEvent* event) {
    take_file_drag(event);
}

bool Robot::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            return take_file_drag(event);
        default:
            return QWidget::eventFilter(watched, event);
    }
}

void Robot::showEvent(QShowEvent* event) {
    if (!placed) {
        placed = true;
        place_on_screen(false);
        place_again_when_framed(*this, [this] { place_on_screen(true); });
    }
    QWidget::showEvent(event);
}

void Robot::place_on_screen(bool again) {
    // Centred on the free part of the screen, its title bar on it when the window is taller.
    if (const QScreen* display = screen()) {
        const QRect room = display->availableGeometry();
        const QMargins frame = frame_margins(*this);
        const QSize whole = size().grownBy(frame);
        QPoint corner =
            QStyle::alignedRect(layoutDirection(), Qt::AlignCenter, whole, room).topLeft();
        // Placed again with the frame it has: across, it stays where it stands.
        if (again) {
            corner.setX(geometry().x() - frame.left());
        }
        move_frame(*this, frame_corner_within(room, whole, corner), frame);
    }
}

void Robot::closeEvent(QCloseEvent* event) {
    if (session.state() != ArmSession::State::shutting_down) {
        session.shut_down();
        emit closed();
    }
    event->accept();
}

}  // namespace quillmar
