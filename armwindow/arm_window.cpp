#include "arm_window.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QStackedWidget>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cmath>
#include <utility>

#include "arm_tools.h"
#include "preview_timeline.h"

namespace quillmar {

namespace {

constexpr int run_bar_steps = 1000;
constexpr int warning_rows = 3;
// A list of every faulty line of the largest program file would take seconds to fill.
constexpr qsizetype most_warnings_listed = 100;

// Seconds as a person reads them: "42.5 s", "3 min 05.0 s".
QString duration_text(double seconds) {
    seconds = std::max(0.0, seconds);
    if (seconds < 60.0) {
        return QStringLiteral("%1 s").arg(seconds, 0, 'f', 1);
    }
    const double minutes = std::floor(seconds / 60.0);
    return QStringLiteral("%1 min %2 s")
        .arg(minutes, 0, 'f', 0)
        .arg(seconds - 60.0 * minutes, 4, 'f', 1, QLatin1Char('0'));
}

QString steps_text(int count) {
    return count == 1 ? QStringLiteral("1 step") : QStringLiteral("%1 steps").arg(count);
}

struct DriveKey {
    Qt::Key key;
    const char* label;
    int command;  // 1 to 10 run a motor while held; 0 switches the light
};

// The arrows drive the two big joints as a joystick would: left and right turn the base, up and
// down lift and lower the shoulder. The left hand's columns Q/A, W/S and E/D follow the arm from
// its tip towards the body (gripper, wrist, elbow), the upper row raising or opening.
constexpr std::array<DriveKey, 11> drive_keys{{
    {Qt::Key_Left, "\u2190", 9},
    {Qt::Key_Right, "\u2192", 10},
    {Qt::Key_Up, "\u2191", 8},
    {Qt::Key_Down, "\u2193", 7},
    {Qt::Key_E, "E", 6},
    {Qt::Key_D, "D", 5},
    {Qt::Key_W, "W", 4},
    {Qt::Key_S, "S", 3},
    {Qt::Key_Q, "Q", 2},
    {Qt::Key_A, "A", 1},
    {Qt::Key_L, "L", light_command_number},
}};

const DriveKey* drive_key_of(int key) {
    const auto found = std::ranges::find(drive_keys, key, &DriveKey::key);
    return found == drive_keys.end() ? nullptr : &*found;
}

const DriveKey& drive_key_for(int command) {
    return *std::ranges::find(drive_keys, command, &DriveKey::command);
}

QString caption_of(int command) {
    return QString::fromLatin1(command_table.at(static_cast<std::size_t>(command)).caption);
}

// The keys beside a joint's reading: first the one towards its maximum.
QLabel* key_legend(const JointRow& row, QWidget* parent) {
    const DriveKey& up = drive_key_for(row.increasing_command);
    const DriveKey& down = drive_key_for(row.decreasing_command);
    auto* legend = new QLabel(QStringLiteral("<b>%1 %2</b>")
                                  .arg(QString::fromUtf8(up.label), QString::fromUtf8(down.label)),
                              parent);
    legend->setToolTip(QStringLiteral("Hold %1 for %2, %3 for %4")
                           .arg(QString::fromUtf8(up.label), caption_of(up.command),
                                QString::fromUtf8(down.label), caption_of(down.command)));
    return legend;
}

// Buttons, check boxes and tabs take the keyboard only by Tab: a click on them leaves the keys
// where they were, with the picture when they drive the arm.
void keep_keys_on_click(QWidget& root) {
    for (QWidget* child : root.findChildren<QWidget*>()) {
        if (qobject_cast<QAbstractButton*>(child) || qobject_cast<QTabBar*>(child)) {
            child->setFocusPolicy(Qt::TabFocus);
        }
    }
}

}  // namespace

QString reading_text(const JointRow& row, double value, bool straining) {
    // A joint brought back to zero may stand a hair below it: no "-0.0".
    QString text = amount_text(row, std::abs(value) < 0.05 ? 0.0 : value, 1);
    if (straining) {
        text += QStringLiteral(" at limit, straining");
    }
    return text;
}

ArmWindow::ArmWindow(ArmSession& session, ArmSource source, QWidget* parent)
    : QWidget(parent),
      session(session),
      hand(session, ClientKind::arm_window, QStringLiteral("the arm window")),
      model(session.model()) {
    const bool estimate = source == ArmSource::commands_sent;
    setWindowTitle(estimate ? QStringLiteral("Arm") : QStringLiteral("Virtual arm"));
    // Closing it only hides it, and showing it leaves the keyboard with the main window.
    setAttribute(Qt::WA_QuitOnClose, false);
    setAttribute(Qt::WA_ShowWithoutActivating);
    arm_picture = new ArmPicture(this);
    arm_picture->setObjectName(QStringLiteral("picture"));
    arm_picture->setAccessibleName(QStringLiteral("The arm: hold the keys here to move it"));
    // The keys drive the arm while the picture has the focus, as the window opens.
    arm_picture->setFocusPolicy(Qt::StrongFocus);
    arm_picture->setFocus();

    auto* numbers = new QGridLayout;
    numbers->setHorizontalSpacing(12);
    for (const auto& joint : joint_table) {
        const auto index = static_cast<int>(joint.joint);
        // Two columns of name, keys and reading: base, shoulder, elbow left; wrist, gripper, light
        // right.
        const int row = index % 3;
        const int column = (index / 3) * 3;
        numbers->addWidget(new QLabel(QString::fromUtf8(joint.name) + QLatin1Char(':'), this), row,
                           column);
        numbers->addWidget(key_legend(joint, this), row, column + 1);
        auto* label = new QLabel(this);
        label->setMinimumWidth(fontMetrics().horizontalAdvance(reading_text(joint, -888.8, true)));
        readings.at(static_cast<std::size_t>(index)) = label;
        numbers->addWidget(label, row, column + 2);
    }
    numbers->addWidget(new QLabel(QStringLiteral("Light:"), this), 2, 3);
    light_reading = new QLabel(this);
    numbers->addWidget(light_reading, 2, 5);
    auto* light_key =
        new QLabel(QStringLiteral("<b>%1</b>")
                       .arg(QString::fromUtf8(drive_key_for(light_command_number).label)),
                   this);
    light_key->setToolTip(QStringLiteral("Press %1 for %2")
                              .arg(QString::fromUtf8(drive_key_for(light_command_number).label),
                                   caption_of(light_command_number)));
    numbers->addWidget(light_key, 2, 4);
    numbers->setColumnStretch(2, 1);
    numbers->setColumnStretch(5, 1);

    auto* content = new QWidget;
    // A click on the window's background gives it the keys, which then drive the arm.
    content->setFocusPolicy(Qt::ClickFocus);
    auto* layout = new QVBoxLayout(content);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(arm_picture);
    layout->addLayout(numbers);
    hand_row = new HandRow(hand, estimate, this);
    layout->addWidget(hand_row);
    // One line, always there, so that a script connecting moves nothing.
    keys_line = new QLabel(this);
    keys_line->setObjectName(QStringLiteral("keysline"));
    QFont bold = keys_line->font();
    bold.setBold(true);
    keys_line->setFont(bold);
    driver_note = new QLabel(this);
    driver_note->setObjectName(QStringLiteral("drivernote"));
    // A script names itself: shown as it is, never read as markup, and a long name never
    // widens the window (its tool tip holds it whole).
    driver_note->setTextFormat(Qt::PlainText);
    driver_note->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    driver_note->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* keys_row = new QHBoxLayout;
    keys_row->addWidget(keys_line);
    keys_row->addWidget(driver_note, 1);
    layout->addLayout(keys_row);
    if (estimate) {
        layout->addWidget(build_real_arm_notes());
    }
    preview_box = new PreviewBox(session, this);
    run_box = new RunBox(session, preview_box->timeline(), this);
    layout->addWidget(run_box);
    // The preview shares its room with the tools, each a tab, so that the window still fits a
    // small screen; it comes first, and is shown at the start.
    tools = new QTabWidget(this);
    tools->setObjectName(QStringLiteral("tools"));
    tools->addTab(preview_box, QStringLiteral("Before you run"));
    layout->addWidget(tools);
    gamepad_box = new GamepadBox(this);
    gamepad_box->hide();
    connect(gamepad_box, &GamepadBox::background_changed, this,
            &ArmWindow::gamepad_background_changed);
    // On a screen too small for the whole window, it scrolls.
    scroller = new QScrollArea(this);
    scroller->setFrameShape(QFrame::NoFrame);
    // The arrows drive the arm, never scroll the window.
    scroller->setFocusPolicy(Qt::NoFocus);
    scroller->setWidget(content);
    auto* window_layout = new QVBoxLayout(this);
    window_layout->setContentsMargins(QMargins());
    window_layout->addWidget(scroller);

    frames.setInterval(frame_ms);
    connect(&frames, &QTimer::timeout, this, &ArmWindow::refresh);
    connect(preview_box, &PreviewBox::shown, this, [this](const std::vector<RunStep>& steps) {
        run_box->preview_shown(steps);
        refresh();
        emit preview_shown();
    });
    connect(&model, &ArmModel::changed, this, [this] {
        refresh();
        // During a run the preview keeps showing the run as it was planned.
        if (!run_box->under_way()) {
            preview_box->soon();
        }
    });
    connect(&session, &ArmSession::state_changed, this, &ArmWindow::show_session_state);
    connect(&session, &ArmSession::run_started, this, &ArmWindow::run_started);
    connect(&session, &ArmSession::step_started, run_box, &RunBox::show_step);
    connect(&session, &ArmSession::run_ended, this, [this](std::optional<int> stopped_at) {
        run_box->end(stopped_at);
        // The arm has moved: the preview now starts from where the run left it.
        preview_box->soon();
    });
    connect(&session, &ArmSession::soft_limit_reached, this, [this](Joint joint, int drive) {
        // Shift drives on only with this window's keys.
        hand_row->tell(
            QStringLiteral("The %1 is at its %2 end by the estimate, so its motor "
                           "stopped. Hold Shift %3to drive on.")
                .arg(QString::fromUtf8(row_of(joint).name).toLower(),
                     drive > 0 ? QStringLiteral("upper") : QStringLiteral("lower"),
                     isActiveWindow() ? QString() : QStringLiteral("in the arm window ")));
        emit soft_limit_told();
    });
    // Stop whatever has the focus here, as in the main window.
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
            [this] { hand.stop(); });
    connect(&session, &ArmSession::client_stopped, this,
            [this](const QString& client, const QString& by) {
                hand_row->tell(QStringLiteral("Stopped %1: %2 stopped it.").arg(client, by));
            });
    show_session_state(session.state());
    apply_colours();
    refresh();
    preview_box->work_out();
    // The keys drive the arm while the picture or the background has the focus; a control
    // that has it keeps them.
    keep_keys_on_click(*this);
    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>()) {
        child->installEventFilter(this);
    }
    focus_watch =
        connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget* now) {
            // A key let go after the focus went elsewhere never reaches the drive.
            if (old != nullptr && old->window() == this && drives(old) && !drives(now)) {
                end_drive();
            }
            show_keys_place();
        });
    show_keys_place();
}

ArmWindow::~ArmWindow() {
    // QWidget's own destructor hides the window, which moves the focus when nothing of the arm
    // window is left to ask.
    disconnect(focus_watch);
}

bool ArmWindow::drives(const QObject* widget) const {
    return widget == nullptr || widget == this || widget == arm_picture || widget == scroller ||
           widget == scroller->viewport() || widget == scroller->widget();
}

QString ArmWindow::keys_place() const {
    if (!isActiveWindow()) {
        return QStringLiteral("Click the picture to drive with the keys");
    }
    if (!welcome) {
        return QStringLiteral("Click the picture or press F2 to drive with the keys");
    }
    const QWidget* focus = focusWidget();
    if (drives(focus)) {
        return QStringLiteral("Keys drive the arm");
    }
    const auto* combo = qobject_cast<const QComboBox*>(focus);
    if (qobject_cast<const QAbstractSpinBox*>(focus) || qobject_cast<const QLineEdit*>(focus) ||
        (combo != nullptr && combo->isEditable())) {
        return QStringLiteral("Keys edit the field: click the picture to drive");
    }
    return QStringLiteral("Keys work the control in focus: click the picture to drive");
}

void ArmWindow::show_keys_place() {
    keys_line->setText(keys_place());
    arm_picture->set_framed(isActiveWindow() && welcome && drives(focusWidget()));
}

void ArmWindow::set_keys_welcome(bool keys_welcome) {
    welcome = keys_welcome;
    show_keys_place();
}

void ArmWindow::drive_with_keys() {
    welcome = true;
    arm_picture->setFocus(Qt::OtherFocusReason);
    show_keys_place();
}

void ArmWindow::show_driver(const QString& client) {
    driver_note->setText(client.isEmpty() ? QString()
                                          : QStringLiteral("Driven by a script: ") + client);
    driver_note->setToolTip(driver_note->text());
}

QWidget* ArmWindow::build_real_arm_notes() {
    auto* estimate_note = new QLabel(
        QStringLiteral("A real arm cannot tell where it is: this pose is estimated from the "
                       "commands sent since the start pose. Put the arm in the pose drawn here, "
                       "then press \"Set start pose\"."),
        this);
    estimate_note->setObjectName(QStringLiteral("estimatenote"));
    estimate_note->setWordWrap(true);
    auto* help = new QLabel(
        QStringLiteral("No arm attached: plug it in, switch it on, then \"Attach arm\". Plugged "
                       "in but not attached? It needs the udev rule 60-quillmar.rules (\"man "
                       "quillmar\"). No arm at hand? Start with --virtual-arm."),
        this);
    help->setObjectName(QStringLiteral("attachhelp"));
    help->setWordWrap(true);
    // As tall as the taller note, so that attaching an arm leaves the window as it is.
    real_arm_notes = new QStackedWidget(this);
    real_arm_notes->addWidget(estimate_note);
    real_arm_notes->addWidget(help);
    real_arm_notes->setCurrentWidget(help);
    return real_arm_notes;
}

GamepadBox::GamepadBox(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("gamepad"));
    status_line = new QLabel(QStringLiteral("No gamepad"), this);
    status_line->setObjectName(QStringLiteral("gamepadstatus"));
    // The pad names itself: its name is shown as it is, never read as markup.
    status_line->setTextFormat(Qt::PlainText);
    background = new QCheckBox(QStringLiteral("Gamepad works in the background"), this);
    background->setObjectName(QStringLiteral("gamepadbackground"));
    background->setToolTip(
        QStringLiteral("While on, the gamepad drives the arm also while another program has "
                       "the keyboard"));
    connect(background, &QCheckBox::toggled, this, &GamepadBox::background_changed);
    legend_grid = new QGridLayout;
    legend_grid->setHorizontalSpacing(24);
    legend_grid->setVerticalSpacing(0);
    auto* box_layout = new QGridLayout(this);
    box_layout->addWidget(status_line, 0, 0);
    box_layout->addWidget(background, 0, 1, Qt::AlignRight);
    box_layout->addLayout(legend_grid, 1, 0, 1, 2);
    box_layout->setRowStretch(2, 1);
}

void GamepadBox::show_legend(const QStringList& legend, int joint_lines, bool in_background) {
    // The joints' lines in the first column, the buttons that act in the second.
    for (int line = 0; line < legend.size(); ++line) {
        const bool joint = line < joint_lines;
        legend_grid->addWidget(new QLabel(legend.at(line), this), joint ? line : line - joint_lines,
                               joint ? 0 : 1);
    }
    legend_grid->setColumnStretch(1, 1);
    background->setChecked(in_background);
}

void GamepadBox::set_status(const QString& status) {
    status_line->setText(status);
}

QString GamepadBox::status() const {
    return status_line->text();
}

void ArmWindow::show_gamepad(const QStringList& legend, int joint_lines, bool background) {
    gamepad_box->show_legend(legend, joint_lines, background);
    gamepad_box->show();
    add_tool(QStringLiteral("Gamepad"), gamepad_box);
}

void ArmWindow::set_gamepad_status(const QString& status) {
    gamepad_box->set_status(status);
}

QString ArmWindow::gamepad_status() const {
    return gamepad_box->status();
}

void ArmWindow::apply_colours() {
    // This window is mostly watched while the main window has the keyboard, and some styles grey
    // an inactive window's text below a legible contrast: it keeps its active colours.
    QPalette colours = QApplication::palette(this);
    for (int role = 0; role < QPalette::NColorRoles; ++role) {
        const auto each = static_cast<QPalette::ColorRole>(role);
        colours.setBrush(QPalette::Inactive, each, colours.brush(QPalette::Active, each));
    }
    setPalette(colours);
    // Every reading keeps a style sheet: one taken away leaves the label's palette without this
    // window's active colours.
    reading_style = QStringLiteral("color: %1;")
                        .arg(colours.color(QPalette::Active, QPalette::WindowText).name());
    strain_style =
        QStringLiteral("color: %1; font-weight: bold;").arg(arm_colours(colours).red.name());
    hand_row->show_recording();
}

void ArmWindow::show_session_state(ArmSession::State state) {
    if (hand_row->follow(state) && real_arm_notes != nullptr) {
        // The estimate's note, or the advice on attaching an arm.
        real_arm_notes->setCurrentIndex(session.attached() ? 0 : 1);
    }
}

void ArmWindow::end_drive() {
    session.drive_past_soft_limits(false);
    hand.focus_lost();
}

bool ArmWindow::take_key(const QObject* receiver, const QKeyEvent& key) {
    const bool press = key.type() == QEvent::KeyPress;
    // A control that has the focus keeps the keys, also those it passes on to this window.
    const bool driving = drives(receiver) && drives(focusWidget());
    // Shift held drives on past the soft limits, for an estimate that has drifted.
    if (key.key() == Qt::Key_Shift) {
        if (driving || !press) {
            session.drive_past_soft_limits(press);
        }
        return false;
    }
    const DriveKey* drive_key = drive_key_of(key.key());
    if (drive_key == nullptr) {
        return false;
    }
    if (!driving) {
        // A key let go ends its drive wherever the focus went meanwhile.
        if (!press) {
            repeats.take(drive_key->command, false, key.timestamp(), key.isAutoRepeat());
        }
        return false;
    }
    session.drive_past_soft_limits(key.modifiers().testFlag(Qt::ShiftModifier));
    if (press && (key.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
        return false;
    }
    repeats.take(drive_key->command, press, key.timestamp(), key.isAutoRepeat());
    return true;
}

void ArmWindow::let_go(int command) {
    if (command != light_command_number) {
        hand.release_key(command);
    }
}

void ArmWindow::press_key(int command) {
    if (!session.may(ArmSession::Operation::keys)) {
        return;
    }
    hand_row->show_hand_state();
    if (command == light_command_number) {
        hand.light();
        return;
    }
    // The first key held returns only when the drive has ended.
    if (const auto answer = hand.press_key(command); !answer) {
        tell_refusal(answer.refusal());
    }
}

void ArmWindow::tell_refusal(const Refusal& refusal) {
    switch (refusal.why) {
        case Why::opposite_held:
        case Why::one_at_a_time:
        case Why::taking_over:
        case Why::not_responding:
        case Why::stopped_by_user:
            hand_row->tell(refusal.text());
            break;
        default:
            break;
    }
}

bool ArmWindow::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
            if (take_key(watched, *static_cast<QKeyEvent*>(event))) {
                return true;
            }
            break;
        // The texts grew or shrank: the window follows, as far as its room goes.
        case QEvent::Resize:
            if (watched == scroller->widget()) {
                follow_content();
            }
            break;
        // Keys let go elsewhere never reach this window.
        case QEvent::WindowDeactivate:
            end_drive();
            break;
        case QEvent::FocusOut:
            if (static_cast<QFocusEvent*>(event)->reason() == Qt::PopupFocusReason) {
                end_drive();
            }
            break;
        default:
            break;
    }
    return QWidget::eventFilter(watched, event);
}

void ArmWindow::fit(QSize room) {
    constexpr int lowest_picture = 120;
    // Measured as it will be drawn.
    ensurePolished();
    space = room;
    QWidget& content = *scroller->widget();
    const int natural = arm_picture->sizeHint().height();
    arm_picture->setFixedHeight(natural);
    content.layout()->activate();
    const int excess = content.height() - room.height();
    if (excess > 0) {
        arm_picture->setFixedHeight(std::max(lowest_picture, natural - excess));
        content.layout()->activate();
    }
    follow_content();
}

void ArmWindow::follow_content() {
    // A scroll bar takes room from the other way.
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    QSize whole = scroller->widget()->size();
    if (whole.height() > space.height()) {
        whole.rwidth() += bar;
    }
    if (whole.width() > space.width()) {
        whole.rheight() += bar;
    }
    setMaximumSize(whole);
    resize(whole.boundedTo(space));
}

void ArmWindow::set_program_source(std::function<QString()> source) {
    preview_box->set_program_source(std::move(source));
}

void ArmWindow::add_tool(const QString& title, QWidget* tool) {
    tools->addTab(tool, title);
    QList<PoseBox*> pose_boxes = tool->findChildren<PoseBox*>();
    if (auto* own = qobject_cast<PoseBox*>(tool)) {
        pose_boxes << own;
    }
    for (const PoseBox* poses : pose_boxes) {
        connect(poses, &PoseBox::destination, this, [this](const std::optional<Pose>& pose) {
            destination = pose;
            refresh();
        });
    }
    keep_keys_on_click(*tool);
    tool->installEventFilter(this);
    for (QWidget* child : tool->findChildren<QWidget*>()) {
        child->installEventFilter(this);
    }
    follow_content();
}

void ArmWindow::program_changed() {
    run_box->program_changed();
    preview_box->soon();
}

void ArmWindow::update_preview() {
    preview_box->work_out();
}

QString ArmWindow::reading(Joint joint) const {
    return readings.at(static_cast<std::size_t>(joint))->text();
}

QString ArmWindow::run_text() const {
    return run_box->text();
}

void ArmWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    emit closed();
}

void ArmWindow::hideEvent(QHideEvent* event) {
    end_drive();
    QWidget::hideEvent(event);
}

bool ArmWindow::event(QEvent* event) {
    const bool taken = QWidget::event(event);
    if (event->type() == QEvent::ActivationChange) {
        show_keys_place();
    }
    // A desktop that switches between light and dark changes the application's palette.
    if (event->type() == QEvent::ApplicationPaletteChange || event->type() == QEvent::StyleChange) {
        apply_colours();
        refresh();
    }
    return taken;
}

void ArmWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    preview_box->window_shown();
}

void ArmWindow::refresh() {
    const double now = session.now();
    ArmView view = view_at(model, now);
    view.ghost = destination ? destination : preview_box->ghost();
    arm_picture->set_view(view);
    for (const auto& row : joint_table) {
        const auto index = static_cast<std::size_t>(row.joint);
        QLabel* label = readings.at(index);
        label->setText(reading_text(row, view.pose.at(index), view.straining.at(index)));
        const QString& style = view.straining.at(index) ? strain_style : reading_style;
        if (label->styleSheet() != style) {
            label->setStyleSheet(style);
        }
    }
    light_reading->setText(view.light ? QStringLiteral("on") : QStringLiteral("off"));
    if (!model.moving(now)) {
        frames.stop();
    } else if (!frames.isActive()) {
        frames.start();
    }
}

void ArmWindow::run_started(const std::vector<RunStep>& steps) {
    // The timeline shows this run only when it previewed this very run.
    run_box->start(steps, preview_box->run_begins(steps));
}

RunBox::RunBox(ArmSession& session, PreviewTimeline& timeline, QWidget* parent)
    : QGroupBox(parent), session(session), timeline(timeline) {
    // Untitled, for the room of a small screen: its lines say what it shows.
    setAccessibleName(QStringLiteral("Run"));
    step_line = new QLabel(QStringLiteral("No run under way."), this);
    step_line->setObjectName(QStringLiteral("runstep"));
    times_line = new QLabel(this);
    times_line->setObjectName(QStringLiteral("runtimes"));
    bar = new QProgressBar(this);
    bar->setRange(0, run_bar_steps);
    bar->setValue(0);
    bar->setTextVisible(false);
    bar->setAccessibleName(QStringLiteral("Run progress"));
    // A thin bar under the lines, for the room of a small screen; the lines keep their places
    // whatever they say.
    bar->setFixedHeight(6);
    auto* layout = new QGridLayout(this);
    layout->setVerticalSpacing(2);
    layout->addWidget(step_line, 0, 0);
    layout->addWidget(times_line, 0, 1, Qt::AlignRight);
    layout->addWidget(bar, 1, 0, 1, 2);
    layout->setColumnStretch(0, 1);
    ticks.setInterval(tick_ms);
    connect(&ticks, &QTimer::timeout, this, &RunBox::show_times);
}

void RunBox::start(const std::vector<RunStep>& run, bool previewed) {
    steps = run;
    index = -1;
    running = true;
    end_shown = false;
    on_timeline = previewed;
    bar->setValue(0);
    step_line->setText(steps.empty() ? QStringLiteral("No step to run")
                                     : QStringLiteral("Starting"));
    times_line->setText(QStringLiteral("%1 in all").arg(duration_text(run_duration(steps))));
}

void RunBox::show_step(int step) {
    index = step;
    step_began = session.now();
    step_line->setText(QStringLiteral("Step %1").arg(step_text(step)));
    show_times();
    ticks.start();
}

QString RunBox::step_text(int step) const {
    const RunStep& shown = steps.at(static_cast<std::size_t>(step));
    return QStringLiteral("%1 of %2: %3, line %4")
        .arg(step + 1)
        .arg(steps.size())
        .arg(QString::fromLatin1(command_table.at(static_cast<std::size_t>(shown.command)).caption))
        .arg(shown.line + 1);
}

void RunBox::show_times() {
    if (index < 0) {
        return;
    }
    const RunStep& step = steps.at(static_cast<std::size_t>(index));
    const double done = std::min(session.now() - step_began, step.seconds);
    const double left = run_time_left(steps, index, done);
    const double total = run_duration(steps);
    const QString step_times =
        step.command == light_command_number
            ? QStringLiteral("the light switches")
            : QStringLiteral("%1 s of %2 s").arg(done, 0, 'f', 1).arg(step.seconds, 0, 'f', 2);
    times_line->setText(
        QStringLiteral("%1; %2 left of the run").arg(step_times, duration_text(left)));
    if (on_timeline) {
        timeline.set_now(total - left);
    }
    bar->setValue(total > 0.0
                      ? static_cast<int>(std::lround((total - left) / total * run_bar_steps))
                      : run_bar_steps);
}

void RunBox::end(std::optional<int> stopped_at) {
    ticks.stop();
    running = false;
    on_timeline = false;
    end_shown = true;
    timeline.set_now(std::nullopt);
    if (stopped_at) {
        show_times();
        step_line->setText(QStringLiteral("Run stopped at step %1").arg(step_text(*stopped_at)));
    } else {
        step_line->setText(QStringLiteral("Run finished"));
        times_line->setText(QStringLiteral("%1 in %2")
                                .arg(steps_text(static_cast<int>(steps.size())),
                                     duration_text(run_duration(steps))));
        bar->setValue(run_bar_steps);
    }
}

void RunBox::preview_shown(const std::vector<RunStep>& previewed) {
    // A run that began before its preview was done shows on the timeline once it is.
    if (running) {
        on_timeline = steps == previewed;
    }
}

void RunBox::program_changed() {
    if (end_shown) {
        end_shown = false;
        step_line->setText(QStringLiteral("No run under way."));
        times_line->clear();
        bar->setValue(0);
    }
}

QString RunBox::text() const {
    return step_line->text() + QLatin1Char('\n') + times_line->text();
}

HandRow::HandRow(ArmClient& hand, bool estimate, QWidget* parent)
    : QWidget(parent), session(hand.session()), hand(hand) {
    note = new QLabel(this);
    note->setObjectName(QStringLiteral("handnote"));
    note->setWordWrap(true);
    // Two lines kept for every note, so that a shorter one moves nothing below it.
    note->setMinimumHeight(2 * note->fontMetrics().lineSpacing() + 2 * note->margin());
    record = new QPushButton(this);
    record->setObjectName(QStringLiteral("record"));
    record->setCheckable(true);
    record->setEnabled(false);
    // As wide as its caption while on, so that switching it moves nothing.
    record->setText(QStringLiteral("Recording"));
    record->setIcon(recording_dot());
    record->setMinimumWidth(record->sizeHint().width());
    record->setToolTip(
        QStringLiteral("While on, every movement made by hand and every light switch is added "
                       "to the program, one motor at a time"));
    back = new QPushButton(QStringLiteral("Back to start"), this);
    back->setObjectName(QStringLiteral("backtostart"));
    back->setEnabled(false);
    back->setToolTip(
        QStringLiteral("Drives every joint back to where it stood when the arm was attached or "
                       "the start pose was set"));
    auto* reset = new QPushButton(
        estimate ? QStringLiteral("Set start pose") : QStringLiteral("Reset pose"), this);
    reset->setObjectName(QStringLiteral("resetpose"));

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(QMargins());
    row->addWidget(note, 1);
    row->addWidget(record);
    row->addWidget(back);
    row->addWidget(reset);
    fade.setInterval(note_fade_ms);
    fade.setSingleShot(true);
    connect(&fade, &QTimer::timeout, this, &HandRow::show_hand_state);
    connect(record, &QPushButton::toggled, this, [this](bool on) {
        this->session.set_recording(on);
        show_recording();
        show_hand_state();
    });
    connect(back, &QPushButton::clicked, this, &HandRow::go_back_to_start);
    connect(reset, &QPushButton::clicked, &session, &ArmSession::set_start_pose);
    connect(&session, &ArmSession::recording_changed, record, &QPushButton::setChecked);
    connect(&session, &ArmSession::arm_plugged_in_changed, this, &HandRow::show_hand_state);
}

bool HandRow::follow(ArmSession::State state) {
    const bool usable = session.may(ArmSession::Operation::keys);
    const bool attached = session.attached();
    // A closed window keeps what it showed.
    const bool by_hand =
        state == ArmSession::State::idle || state == ArmSession::State::moving_by_hand;
    if (state == ArmSession::State::shutting_down ||
        (by_hand && back->isEnabled() == usable && record->isEnabled() == attached)) {
        return false;
    }
    back->setEnabled(usable);
    record->setEnabled(attached);
    show_hand_state();
    return true;
}

void HandRow::show_recording() {
    const bool on = record->isChecked();
    record->setText(on ? QStringLiteral("Recording") : QStringLiteral("Record"));
    record->setIcon(on ? recording_dot() : QIcon());
}

QIcon HandRow::recording_dot() const {
    // A red dot, as on a recorder.
    QPixmap dot(record->iconSize() * devicePixelRatio());
    dot.setDevicePixelRatio(devicePixelRatio());
    dot.fill(Qt::transparent);
    QPainter painter(&dot);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(arm_colours(palette()).red);
    painter.drawEllipse(QRectF(QPointF(), record->iconSize()).adjusted(2.0, 2.0, -2.0, -2.0));
    return dot;
}

QString HandRow::hand_hint() const {
    if (session.state() == ArmSession::State::going_back) {
        return session.way_text();
    }
    if (session.state() == ArmSession::State::not_responding) {
        return Refusal(Why::not_responding).text() +
               QStringLiteral(": the stop goes again until the arm takes it.");
    }
    if (session.arm_plugged_in()) {
        return QStringLiteral("Arm plugged in: press Attach arm");
    }
    if (!session.attached()) {
        return QStringLiteral(
            "Hold the keys to move the arm once \"Attach arm\" in the main window has "
            "attached it.");
    }
    if (!session.may(ArmSession::Operation::keys)) {
        return QStringLiteral(
            "Hold the keys to move the arm once the run has ended. Esc stops the run.");
    }
    if (record->isChecked()) {
        return QStringLiteral(
            "Recording: the keys move one joint at a time, and each movement is added to the "
            "program. Esc stops.");
    }
    return QStringLiteral(
        "Hold the keys beside a joint to move it: the first raises, opens or turns left. "
        "Esc stops.");
}
void HandRow::show_hand_state() {
    fade.stop();
    note->setText(hand_hint());
}

void HandRow::tell(const QString& event) {
    note->setText(event);
    fade.start();
}

void HandRow::go_back_to_start() {
    const Answer<WayEnd> way = hand.back_to_start();
    if (!way) {
        if (way.why() == Why::keys_held) {
            tell(QStringLiteral("Let the keys go before going back to start."));
        }
        return;
    }
    switch (*way) {
        case WayEnd::at_start:
            tell(QStringLiteral("The arm is at its start."));
            break;
        case WayEnd::done:
            tell(QStringLiteral("Back at the start."));
            break;
        case WayEnd::stopped:
            tell(QStringLiteral("Back to start stopped."));
            break;
        case WayEnd::cap:
            tell(QStringLiteral("Back to start took longer than planned, so it stopped."));
            break;
    }
}

PreviewBox::PreviewBox(ArmSession& session, QWidget* parent) : QGroupBox(parent), session(session) {
    // The tab it sits in names it.
    setFlat(true);
    // A check box, not a pair of radio buttons: Space switches it, and the arrows stay the
    // keys that drive the arm.
    reverse = new QCheckBox(QStringLiteral("Preview the reverse run"), this);
    reverse->setObjectName(QStringLiteral("previewreverse"));
    reverse->setToolTip(
        QStringLiteral("Shows what \"Reverse Program\" will do instead of \"Run Program\""));
    summary = new QLabel(this);
    summary->setObjectName(QStringLiteral("previewsummary"));
    lanes = new PreviewTimeline(this);
    lanes->setAccessibleName(QStringLiteral("Timeline of the program"));
    warnings = new QListWidget(this);
    warnings->setObjectName(QStringLiteral("warnings"));
    warnings->setAccessibleName(QStringLiteral("Warnings"));
    warnings->setFixedHeight(warnings->fontMetrics().height() * warning_rows +
                             2 * warnings->frameWidth() + 6);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(4);
    layout->addWidget(reverse);
    layout->addWidget(summary);
    layout->addWidget(lanes);
    layout->addWidget(warnings);
    connect(reverse, &QCheckBox::toggled, this, [this] { work_out(); });
    delay.setInterval(delay_ms);
    delay.setSingleShot(true);
    connect(&work, &QFutureWatcher<Worked>::finished, this, &PreviewBox::done);
    // Whichever tab shows: the pale arm follows the preview in every tab.
    connect(&delay, &QTimer::timeout, this, [this] {
        if (window()->isVisible()) {
            work_out();
        } else {
            stale = true;
        }
    });
}

void PreviewBox::set_program_source(std::function<QString()> program) {
    source = std::move(program);
    soon();
}

void PreviewBox::soon() {
    delay.start();
}

bool PreviewBox::run_begins(const std::vector<RunStep>& steps) {
    // A program typed just before the run is previewed now, from where the run starts.
    if (delay.isActive()) {
        work_out();
    }
    ran_from = session.model().pose_at(session.now());
    return steps == preview.steps;
}

void PreviewBox::window_shown() {
    if (stale) {
        work_out();
    }
}

void PreviewBox::work_out() {
    stale = false;
    delay.stop();
    const ArmModel& model = session.model();
    Request request{source(),
                    reverse->isChecked() ? Direction::reverse : Direction::forwards,
                    model.pose_at(session.now()),
                    model.light_on(),
                    ran_from,
                    model.speeds()};
    // The pose and the text are those of now, so a request waits rather than be read again later.
    if (work.isRunning()) {
        next = std::move(request);
    } else {
        start(std::move(request));
    }
}

void PreviewBox::start(Request request) {
    // The largest program file takes the check pass and the simulated run half a second, which
    // the window's thread would spend away from typing.
    work.setFuture(QtConcurrent::run([request = std::move(request)] {
        const CheckedProgram program = check_program(request.text, {});
        return Worked{request.direction == Direction::reverse
                          ? preview_reverse_run(program, request.pose, request.light,
                                                request.ran_from, request.speeds)
                          : preview_program(program, Direction::forwards, request.pose,
                                            request.light, std::nullopt, request.speeds),
                      request.text.trimmed().isEmpty()};
    }));
}

void PreviewBox::done() {
    if (next) {
        // Worked out from older text or an older pose: the newer request replaces it.
        start(*std::exchange(next, std::nullopt));
    } else {
        show_worked(work.result());
    }
}

void PreviewBox::show_worked(const Worked& worked) {
    preview = worked.preview;
    lanes->set_preview(preview);
    const auto steps = preview.steps.size();
    if (steps == 0) {
        summary->setText(worked.blank
                             ? QStringLiteral("Type a program in the main window to see it here.")
                             : QStringLiteral("No line of the program runs."));
        end_pose.reset();
    } else {
        summary->setText(
            QStringLiteral("Takes %1 in %2%3; the pale arm shows where it ends.")
                .arg(duration_text(preview.duration), steps_text(static_cast<int>(steps)),
                     preview.after_forwards_run ? QStringLiteral(" after Run Program from here")
                                                : QString()));
        end_pose = preview.end_pose;
    }
    warnings->clear();
    warnings->addItems(preview_warnings(preview, most_warnings_listed));
    const qsizetype unlisted = warning_count(preview) - warnings->count();
    if (warnings->count() == 0 || unlisted > 0) {
        auto* note = new QListWidgetItem(
            unlisted > 0
                ? QStringLiteral("... and %1 more").arg(unlisted)
                : QStringLiteral("No warnings: no joint runs into its end, every line runs."));
        // Not greyed out as a disabled item would be: it is read like the warnings.
        note->setFlags(Qt::ItemIsEnabled);
        QFont slanted = note->font();
        slanted.setItalic(true);
        note->setFont(slanted);
        warnings->addItem(note);
    }
    emit shown(preview.steps);
}

}  // namespace quillmar
