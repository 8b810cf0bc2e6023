#include "robot.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
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

QPlainTextEdit* make_pane(const char* name, const QRect& place, bool read_only,
                          Qt::ScrollBarPolicy vertical, QWidget* parent) {
    auto* pane = new QPlainTextEdit(parent);
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

// The newest line of a log stays in view.
void keep_caret_at_end(QPlainTextEdit* pane) {
    QObject::connect(pane, &QPlainTextEdit::textChanged, pane,
                     [pane] { pane->moveCursor(QTextCursor::End); });
}

}  // namespace

Robot::Robot(UsbBus& usb, Pacer& pacer, FileDialogs& dialogs, QWidget* parent)
    : QWidget(parent),
      usb(usb),
      pacer(pacer),
      dialogs(dialogs),
      link(usb, *this),
      survey(usb),
      manual_control(link, pacer),
      held_movement(link, *this, pacer),
      program_runner(link, manual_control, *this, pacer),
      program_files(*this, dialogs),
      keyboard_drive(link, *this, pacer),
      going_back(link, pacer),
      recorder(*this) {
    register_resources();
    setObjectName(QStringLiteral("Robot"));
    setWindowTitle(QStringLiteral("Quillmar"));
    setWindowIcon(QIcon(QStringLiteral(":/quillmar/icon-32.png")));
    // A tool window keeps out of the taskbar where the window manager honours it; the hints
    // leave the title, the system menu and the close box, without minimise or maximise.
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(client_width, client_height);

    build_controls();
    describe_controls();
    set_tab_order();
    wire_events();
    add_shortcuts();
}

void Robot::build_controls() {
    gettit = make_button("gettit", QStringLiteral("Attach arm"), twips(120, 120, 1335, 615), this);
    release =
        make_button("release", QStringLiteral("Release arm"), twips(2400, 120, 1335, 615), this);
    release->setEnabled(false);
    error = make_pane("error", twips(240, 5520, 3255, 735), true, Qt::ScrollBarAlwaysOn, this);
    label1 = make_label("Label1", QStringLiteral("Info"), twips(4080, 0, 2655, 255),
                        Qt::AlignHCenter, this);
    label2 =
        make_label("Label2", QStringLiteral("USB response ( \"-5\" : I/O , \" -116\" Timeout )"),
                   twips(240, 5160, 3255, 255), Qt::AlignHCenter, this);

    panel = new QGroupBox(QStringLiteral("Controls"), this);
    panel->setObjectName(QStringLiteral("panel"));
    panel->setGeometry(twips(120, 960, 3615, 4095));
    panel->setEnabled(false);

    lightme = make_button(command_table[light_command_number].button,
                          QString::fromLatin1(command_table[light_command_number].caption),
                          command_button_places[light_command_number], panel);
    lighton = new QCheckBox(panel);
    lighton->setObjectName(QStringLiteral("lighton"));
    lighton->setGeometry(twips(1080, 480, 255, 255));
    // Only the program ticks it; the user cannot, whatever the panel's state.
    lighton->setEnabled(false);
    for (int number = 1; number <= last_command_number; ++number) {
        const auto& row = command_table.at(static_cast<std::size_t>(number));
        jog_buttons.at(static_cast<std::size_t>(number)) =
            make_button(row.button, QString::fromLatin1(row.caption),
                        command_button_places.at(static_cast<std::size_t>(number)), panel);
    }
    program =
        make_button("program", QStringLiteral("Run Program"), twips(1680, 3360, 855, 495), panel);
    reverse = make_button("reverse", QStringLiteral("Reverse Program"), twips(2640, 3360, 855, 495),
                          panel);

    message = make_pane("message", twips(3840, 240, 3615, 2175), true, Qt::ScrollBarAlwaysOn, this);
    label3 = make_label("Label3", QStringLiteral("Program the arm"), twips(3840, 2520, 1335, 255),
                        Qt::AlignLeft, this);
    data = make_pane("data", twips(3840, 2880, 1215, 2655), false, Qt::ScrollBarAlwaysOn, this);
    info = make_pane("info", twips(5160, 2880, 2295, 2655), true, Qt::ScrollBarAlwaysOff, this);
    loadfile =
        make_button("loadfile", QStringLiteral("Load File"), twips(3840, 5760, 1335, 495), this);
    savefile =
        make_button("savefile", QStringLiteral("Save File"), twips(6120, 5760, 1335, 495), this);

    // Stop lies over the panel's lower left corner but is the window's own, so that it stays
    // usable while a run has the panel disabled.
    stopme = make_button("stopme", QStringLiteral("Stop!"), twips(240, 4320, 1455, 495), this);
    stopme->setStyleSheet(stop_style);
    stopme->setEnabled(false);
    stopme->raise();
}

void Robot::describe_controls() {
    describe(message, label1->text(),
             QStringLiteral("Messages: the USB device survey, attaching, programs and files"));
    describe(error, QStringLiteral("USB response"),
             QStringLiteral("Arm commands the arm did not take, with the USB return value"));
    describe(data, label3->text(),
             QStringLiteral("The program: one line of command number, comma, duration per step"));
    describe(info, QStringLiteral("Examples"), QStringLiteral("How to write a program"));
    describe(lighton, QStringLiteral("Light is on"),
             QStringLiteral("Ticked while the arm's light is on; Light (0) switches it"));
    stopme->setAccessibleDescription(
        QStringLiteral("Stops the motors and ends the program that is running"));
}

void Robot::set_tab_order() {
    const std::array<QWidget*, 23> order{
        gettit,         release,        error,          jog_buttons[8], jog_buttons[7],
        lightme,        lighton,        jog_buttons[1], jog_buttons[2], jog_buttons[3],
        jog_buttons[4], jog_buttons[5], jog_buttons[6], jog_buttons[9], jog_buttons[10],
        message,        program,        data,           info,           reverse,
        loadfile,       savefile,       stopme,
    };
    for (std::size_t i = 1; i < order.size(); ++i) {
        setTabOrder(order.at(i - 1), order.at(i));
    }
}

void Robot::wire_events() {
    keep_caret_at_end(message);
    keep_caret_at_end(error);

    // A file dropped anywhere on the window loads; the read-only panes pass drops on to it, and
    // the program pane hands over files while it keeps taking dragged text.
    setAcceptDrops(true);
    for (QPlainTextEdit* pane : {message, error, info}) {
        pane->setAcceptDrops(false);
    }
    data->viewport()->installEventFilter(this);

    connect(gettit, &QPushButton::clicked, this, &Robot::on_attach_clicked);
    connect(release, &QPushButton::clicked, this, &Robot::on_release_clicked);
    motor_buttons =
        std::make_unique<MotorButtons>(jog_buttons, manual_control, held_movement, *this);
    connect(motor_buttons.get(), &MotorButtons::moved, this, &Robot::record_movement);
    keyboard_drive.on_moved(
        [this](int number, double seconds) { record_movement(number, seconds); });
    connect(lightme, &QPushButton::clicked, this, [this] {
        manual_control.light();
        show_recorded(recorder.add_light());
    });
    connect(program, &QPushButton::clicked, this,
            [this] { program_runner.run_program(Direction::forwards); });
    connect(reverse, &QPushButton::clicked, this,
            [this] { program_runner.run_program(Direction::reverse); });
    connect(stopme, &QPushButton::clicked, this, [this] {
        motor_buttons->stop();
        keyboard_drive.end(HoldEnd::stopped);
        going_back.stop();
        program_runner.stop();
    });
    connect(loadfile, &QPushButton::clicked, this, [this] { program_files.load_file(); });
    connect(savefile, &QPushButton::clicked, this, [this] { program_files.save_file(); });
    connect(data, &QPlainTextEdit::textChanged, this, &Robot::program_text_changed);
    new RunHighlight(program_runner, *data);
}

void Robot::add_shortcuts() {
    // Escape is Stop whatever has the focus, also inside a run or a hold; a disabled Stop
    // ignores it, as it ignores clicks.
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
            &Robot::press_stop);
    const std::array<std::pair<QKeySequence, QPushButton*>, 4> keys{{
        {QKeySequence(Qt::CTRL | Qt::Key_O), loadfile},
        {QKeySequence(Qt::CTRL | Qt::Key_S), savefile},
        {QKeySequence(Qt::Key_F5), program},
        {QKeySequence(Qt::SHIFT | Qt::Key_F5), reverse},
    }};
    for (const auto& [sequence, button] : keys) {
        connect(new QShortcut(sequence, this), &QShortcut::activated, this, [this, button] {
            if (button->isEnabled()) {
                motor_buttons->when_still([button] { button->click(); });
            }
        });
    }
}

UsbResult<void> Robot::start_up() {
    write_help_text();
    dialogs.set_start_folder(start_folder_for(QCoreApplication::applicationDirPath()));
    // The light state starts false with the manual control itself.
    if (const auto started = usb.initialise(); !started) {
        return started;
    }
    usb.set_debug_level(255);
    list_devices();
    attach();
    return {};
}

void Robot::write_help_text() {
    // Written in two steps: the first three lines, then the rest after what the pane reads back.
    set_pane_text(*info, QStringLiteral("Examples:") + crlf + QStringLiteral("Enter \"1,100\"") +
                             crlf + QStringLiteral("To close the Grip for 100 cS"));
    set_pane_text(*info, pane_text(*info) + crlf + crlf +
                             QStringLiteral("Seperate commands with return:") + crlf +
                             QStringLiteral("0,") + crlf + QStringLiteral("2,50") + crlf +
                             QStringLiteral("5,200") + crlf + QStringLiteral("7,200") + crlf +
                             crlf + QStringLiteral("The light is not timed (Just enter \"0,\")"));
    // The help pane has no scroll bars: its text shrinks until the whole of it shows.
    const qreal margin = info->document()->documentMargin();
    const QRect box = QRect(QPoint(), info->contentsRect().size())
                          .adjusted(static_cast<int>(margin), static_cast<int>(margin),
                                    -static_cast<int>(margin) - 1, -static_cast<int>(margin) - 1);
    info->setFont(fitted_font(info->font(), info->toPlainText(), box, Qt::TextWordWrap));
}

void Robot::attach() {
    if (link.attach_arm()) {
        emit arm_attached();
        show_attached_controls();
    }
}

void Robot::show_attached_controls() {
    release->setEnabled(true);
    gettit->setEnabled(false);
    // A run that outlived a release keeps the panel locked until it ends, so that no second
    // run or jog can start inside it.
    enable_panel(!run_under_way);
    stopme->setEnabled(true);
}

void Robot::list_devices() {
    // The report arrives in one piece, so the pane lays it out once.
    show_message(survey.list_devices().join(crlf));
}

void Robot::on_attach_clicked() {
    set_pane_text(*message, QString());
    list_devices();
    attach();
}

void Robot::on_release_clicked() {
    link.release();
    // A wait under way tests again whether it still has an arm to drive.
    pacer.wake();
    release->setEnabled(false);
    enable_panel(false);
    stopme->setEnabled(false);
    gettit->setEnabled(true);
}

void Robot::show_message(const QString& text) {
    append_to_pane(*message, text + crlf);
}

void Robot::show_error(const QString& text) {
    append_to_pane(*error, text + crlf);
}

bool Robot::light_indicator() const {
    return lighton->isChecked();
}

void Robot::set_light_indicator(bool ticked) {
    lighton->setChecked(ticked);
}

QString Robot::program_text() const {
    return pane_text(*data);
}

void Robot::set_program_text(const QString& text) {
    set_pane_text(*data, text);
}

void Robot::lock_for_run() {
    run_under_way = true;
    data->setEnabled(false);
    enable_panel(false);
    loadfile->setEnabled(false);
    savefile->setEnabled(false);
}

void Robot::unlock_after_run() {
    run_under_way = false;
    // An arm released during the run leaves its controls locked.
    enable_panel(link.attached());
    loadfile->setEnabled(true);
    savefile->setEnabled(true);
    data->setEnabled(true);
}

void Robot::focus_stop() {
    stopme->setFocus(Qt::OtherFocusReason);
}

void Robot::enable_panel(bool enabled) {
    panel->setEnabled(enabled);
    emit hand_control_changed(enabled);
}

void Robot::press_stop() {
    // A disabled button ignores the click.
    stopme->click();
}

void Robot::press_light() {
    lightme->click();
}

void Robot::set_recording(bool on) {
    recorder.set_on(on);
    keyboard_drive.set_one_motor_at_a_time(on);
}

void Robot::record_movement(int command_number, double seconds) {
    show_recorded(recorder.add_movement(command_number, seconds));
}

void Robot::show_recorded(bool added) {
    if (added) {
        data->moveCursor(QTextCursor::End);
    }
}

bool Robot::go_back(const std::vector<Movement>& plan) {
    if (!panel->isEnabled()) {
        return false;
    }
    // Locked as for a run, so that nothing else moves the arm on the way back.
    lock_for_run();
    const bool all_ran = going_back.run(plan);
    unlock_after_run();
    return all_ran;
}

QString Robot::droppable_file(const QDropEvent& drop) const {
    // The pane is locked while a program runs; loading then would change the running program.
    if (!data->isEnabled() || !drop.possibleActions().testFlag(Qt::CopyAction)) {
        return {};
    }
    // One program at a time: several files are refused rather than one picked silently.
    const QList<QUrl> urls = drop.mimeData()->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) {
        return {};
    }
    return urls.front().toLocalFile();
}

bool Robot::take_file_drag(QEvent* event) {
    auto* drop = static_cast<QDropEvent*>(event);
    if (!drop->mimeData()->hasUrls()) {
        return false;
    }
    const QString name = droppable_file(*drop);
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
    if (!shut_down) {
        shut_down = true;
        link.shutdown();
        // A jog or a run waiting beneath this handler ends at once instead of running on.
        pacer.cancel();
        emit closed();
    }
    event->accept();
}

}  // namespace quillmar
