#include "arm_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QStackedWidget>
#include <QStyle>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cmath>
#include <utility>

#include "preview_timeline.h"

namespace quillmar {

namespace {

constexpr int run_bar_steps = 1000;
constexpr int warning_rows = 3;
// A list of every faulty line of the largest program file would take seconds to fill.
constexpr qsizetype most_warnings_listed = 100;

QString reading_text(const JointRow& row, double value, bool straining) {
    const QString unit = QString::fromUtf8(row.unit);
    // A degree sign follows its number; a unit in letters stands apart.
    // A joint brought back to zero may stand a hair below it: no "-0.0".
    const double shown = std::abs(value) < 0.05 ? 0.0 : value;
    QString text = QString::number(shown, 'f', 1) +
                   (unit == QStringLiteral("°") ? unit : QLatin1Char(' ') + unit);
    if (straining) {
        text += QObject::tr(" at limit, straining");
    }
    return text;
}

// Seconds as a person reads them: "42.5 s", "3 min 05.0 s".
QString duration_text(double seconds) {
    seconds = std::max(0.0, seconds);
    if (seconds < 60.0) {
        return QObject::tr("%1 s").arg(seconds, 0, 'f', 1);
    }
    const double minutes = std::floor(seconds / 60.0);
    return QObject::tr("%1 min %2 s")
        .arg(minutes, 0, 'f', 0)
        .arg(seconds - 60.0 * minutes, 4, 'f', 1, QLatin1Char('0'));
}

QString steps_text(int count) {
    return count == 1 ? QObject::tr("1 step") : QObject::tr("%1 steps").arg(count);
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
    legend->setToolTip(QObject::tr("Hold %1 for %2, %3 for %4")
                           .arg(QString::fromUtf8(up.label), caption_of(up.command),
                                QString::fromUtf8(down.label), caption_of(down.command)));
    return legend;
}

}  // namespace

ArmWindow::ArmWindow(ArmModel& model, std::function<double()> clock, ArmSource source,
                     QWidget* parent)
    : QWidget(parent), model(model), clock(std::move(clock)) {
    const bool estimate = source == ArmSource::commands_sent;
    setWindowTitle(estimate ? tr("Arm") : tr("Virtual arm"));
    // Closing it only hides it, and showing it leaves the keyboard with the main window.
    setAttribute(Qt::WA_QuitOnClose, false);
    setAttribute(Qt::WA_ShowWithoutActivating);
    arm_picture = new ArmPicture(this);

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
    numbers->addWidget(new QLabel(tr("Light:"), this), 2, 3);
    light_reading = new QLabel(this);
    numbers->addWidget(light_reading, 2, 5);
    auto* light_key =
        new QLabel(QStringLiteral("<b>%1</b>")
                       .arg(QString::fromUtf8(drive_key_for(light_command_number).label)),
                   this);
    light_key->setToolTip(tr("Press %1 for %2")
                              .arg(QString::fromUtf8(drive_key_for(light_command_number).label),
                                   caption_of(light_command_number)));
    numbers->addWidget(light_key, 2, 4);
    numbers->setColumnStretch(2, 1);
    numbers->setColumnStretch(5, 1);

    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(arm_picture);
    layout->addLayout(numbers);
    layout->addLayout(build_hand_row(estimate));
    if (estimate) {
        layout->addWidget(build_real_arm_notes());
    }
    layout->addWidget(build_run_box());
    layout->addWidget(build_preview_box());
    // On a screen too small for the whole window, it scrolls.
    scroller = new QScrollArea(this);
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setWidget(content);
    auto* window_layout = new QVBoxLayout(this);
    window_layout->setContentsMargins(QMargins());
    window_layout->addWidget(scroller);

    frames.setInterval(frame_ms);
    run_ticks.setInterval(run_tick_ms);
    preview_delay.setInterval(preview_delay_ms);
    preview_delay.setSingleShot(true);
    note_fade.setInterval(note_fade_ms);
    note_fade.setSingleShot(true);
    connect(&note_fade, &QTimer::timeout, this, &ArmWindow::show_hand_state);
    connect(&frames, &QTimer::timeout, this, &ArmWindow::refresh);
    connect(&run_ticks, &QTimer::timeout, this, &ArmWindow::show_run_times);
    connect(&preview_work, &QFutureWatcher<WorkedPreview>::finished, this,
            &ArmWindow::preview_done);
    connect(&preview_delay, &QTimer::timeout, this, [this] {
        if (isVisible()) {
            update_preview();
        } else {
            preview_stale = true;
        }
    });
    connect(&model, &ArmModel::changed, this, [this] {
        refresh();
        // During a run the preview keeps showing the run as it was planned.
        if (!run_under_way) {
            preview_soon();
        }
    });
    connect(reset, &QPushButton::clicked, this, [this] { this->model.reset_pose(this->clock()); });
    apply_colours();
    refresh();
    update_preview();
    // The keys drive the arm whichever control of this window has the focus.
    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>()) {
        child->installEventFilter(this);
    }
}

QLayout* ArmWindow::build_hand_row(bool estimate) {
    hand_note = new QLabel(this);
    hand_note->setObjectName(QStringLiteral("handnote"));
    hand_note->setWordWrap(true);
    record = new QPushButton(this);
    record->setObjectName(QStringLiteral("record"));
    record->setCheckable(true);
    record->setEnabled(false);
    // As wide as its caption while on, so that switching it moves nothing.
    record->setText(tr("Recording"));
    record->setIcon(recording_dot());
    record->setMinimumWidth(record->sizeHint().width());
    record->setToolTip(
        tr("While on, every movement made by hand and every light switch is added "
           "to the program, one motor at a time"));
    back = new QPushButton(tr("Back to start"), this);
    back->setObjectName(QStringLiteral("backtostart"));
    back->setEnabled(false);
    back->setToolTip(
        tr("Drives every joint back to where it stood when the arm was attached or "
           "the start pose was set"));
    reset = new QPushButton(estimate ? tr("Set start pose") : tr("Reset pose"), this);
    reset->setObjectName(QStringLiteral("resetpose"));

    auto* row = new QHBoxLayout;
    row->addWidget(hand_note, 1);
    row->addWidget(record);
    row->addWidget(back);
    row->addWidget(reset);
    connect(record, &QPushButton::toggled, this, [this](bool on) {
        if (hands != nullptr) {
            hands->set_recording(on);
        }
        show_recording();
        show_hand_state();
    });
    connect(back, &QPushButton::clicked, this, &ArmWindow::go_back_to_start);
    return row;
}

QWidget* ArmWindow::build_real_arm_notes() {
    auto* estimate_note = new QLabel(
        tr("A real arm cannot tell where it is: this pose is estimated from the commands "
           "sent, starting from the start pose drawn here. Put the arm in that pose, then "
           "press \"Set start pose\"."),
        this);
    estimate_note->setObjectName(QStringLiteral("estimatenote"));
    estimate_note->setWordWrap(true);
    auto* help = new QLabel(
        tr("No arm is attached. Plug the arm in, switch it on and press \"Attach arm\" in the "
           "main window. Plugged in but not attached? This user may not open it until the udev "
           "rule 60-quillmar.rules is in place (the package installs it; \"man quillmar\" shows "
           "how to apply a copy); then plug the arm in again and press \"Attach arm\". No arm at "
           "hand? Start Quillmar with --virtual-arm."),
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
    show_recording();
}

void ArmWindow::show_recording() {
    const bool on = record->isChecked();
    record->setText(on ? tr("Recording") : tr("Record"));
    record->setIcon(on ? recording_dot() : QIcon());
}

QIcon ArmWindow::recording_dot() const {
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

QString ArmWindow::hand_hint() const {
    if (going_back) {
        return tr("Going back to start. Esc stops.");
    }
    if (hands != nullptr && !attached) {
        return tr(
            "Hold the keys to move the arm once \"Attach arm\" in the main window has "
            "attached it.");
    }
    if (hands != nullptr && !hands_usable) {
        return tr("Hold the keys to move the arm once the run has ended. Esc stops the run.");
    }
    if (record->isChecked()) {
        return tr(
            "Recording: the keys move one joint at a time, and each movement is added to the "
            "program. Esc stops.");
    }
    return tr(
        "Hold the keys beside a joint to move it: the first raises, opens or turns left. "
        "Esc stops.");
}

void ArmWindow::show_hand_state() {
    note_fade.stop();
    hand_note->setText(hand_hint());
}

void ArmWindow::tell(const QString& event) {
    hand_note->setText(event);
    note_fade.start();
}

void ArmWindow::take_hand_control(HandControl& control) {
    hands = &control;
    set_hand_control_usable(hands_usable);
    // Stop whatever has the focus here, as in the main window.
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
            [this] { hands->press_stop(); });
}

void ArmWindow::set_hand_control_usable(bool usable) {
    hands_usable = usable;
    attached = hands != nullptr && hands->arm_is_attached();
    back->setEnabled(hands != nullptr && usable);
    // Recording waits for an arm: switched off, so that nothing is recorded by surprise later.
    if (!attached) {
        record->setChecked(false);
    }
    record->setEnabled(attached);
    if (real_arm_notes != nullptr) {
        // The estimate's note, or the advice on attaching an arm.
        real_arm_notes->setCurrentIndex(attached ? 0 : 1);
    }
    end_drive();
    show_hand_state();
}

void ArmWindow::mark_origin() {
    model.set_origin(clock());
}

void ArmWindow::end_drive() {
    if (hands != nullptr) {
        hands->key_drive().end(HoldEnd::released);
    }
}

bool ArmWindow::take_key(const QKeyEvent& key) {
    const DriveKey* drive_key = drive_key_of(key.key());
    if (drive_key == nullptr || hands == nullptr) {
        return false;
    }
    const bool press = key.type() == QEvent::KeyPress;
    if (press && (key.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
        return false;
    }
    repeats.take(drive_key->command, press, key.timestamp(), key.isAutoRepeat());
    return true;
}

void ArmWindow::let_go(int command) {
    if (command != light_command_number) {
        hands->key_drive().release(command);
    }
}

void ArmWindow::press_key(int command) {
    if (!hands_usable) {
        return;
    }
    show_hand_state();
    if (command == light_command_number) {
        hands->press_light();
        return;
    }
    // The first key held returns only when the drive has ended.
    switch (hands->key_drive().press(command)) {
        case KeyAnswer::opposite_held:
            tell(tr("%1 refused: %2 runs the same motor the other way")
                     .arg(caption_of(command), caption_of(opposite_command(command))));
            break;
        case KeyAnswer::one_at_a_time:
            tell(tr("%1 refused: Record takes one motor at a time").arg(caption_of(command)));
            break;
        case KeyAnswer::moving:
            break;
    }
}

void ArmWindow::go_back_to_start() {
    if (hands == nullptr || !hands_usable) {
        return;
    }
    if (hands->key_drive().under_way()) {
        tell(tr("Let the keys go before going back to start."));
        return;
    }
    const std::vector<Movement> plan = back_to_start_plan(model, clock());
    if (plan.empty()) {
        tell(tr("The arm is at its start."));
        return;
    }
    going_back = true;
    show_hand_state();
    const bool all_ran = hands->go_back(plan);
    going_back = false;
    tell(all_ran ? tr("Back at the start.") : tr("Back to start stopped."));
}

bool ArmWindow::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
            if (take_key(*static_cast<QKeyEvent*>(event))) {
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

QWidget* ArmWindow::build_run_box() {
    auto* box = new QGroupBox(tr("Run"), this);
    run_step = new QLabel(tr("No run under way."), box);
    run_step->setObjectName(QStringLiteral("runstep"));
    run_times = new QLabel(box);
    run_times->setObjectName(QStringLiteral("runtimes"));
    run_bar = new QProgressBar(box);
    run_bar->setRange(0, run_bar_steps);
    run_bar->setValue(0);
    run_bar->setTextVisible(false);
    run_bar->setAccessibleName(tr("Run progress"));
    auto* layout = new QGridLayout(box);
    layout->setVerticalSpacing(4);
    layout->addWidget(run_step, 0, 0);
    layout->addWidget(run_times, 0, 1, Qt::AlignRight);
    layout->addWidget(run_bar, 1, 0, 1, 2);
    layout->setColumnStretch(0, 1);
    return box;
}

QWidget* ArmWindow::build_preview_box() {
    auto* box = new QGroupBox(tr("Before you run"), this);
    // A check box, not a pair of radio buttons: Space switches it, and the arrows stay the
    // keys that drive the arm.
    preview_reverse = new QCheckBox(tr("Preview the reverse run"), box);
    preview_reverse->setObjectName(QStringLiteral("previewreverse"));
    preview_reverse->setToolTip(
        tr("Shows what \"Reverse Program\" will do instead of \"Run Program\""));
    preview_summary = new QLabel(box);
    preview_summary->setObjectName(QStringLiteral("previewsummary"));
    timeline = new PreviewTimeline(box);
    timeline->setAccessibleName(tr("Timeline of the program"));
    warning_list = new QListWidget(box);
    warning_list->setObjectName(QStringLiteral("warnings"));
    warning_list->setAccessibleName(tr("Warnings"));
    warning_list->setFixedHeight(warning_list->fontMetrics().height() * warning_rows +
                                 2 * warning_list->frameWidth() + 6);

    auto* layout = new QVBoxLayout(box);
    layout->setSpacing(4);
    layout->addWidget(preview_reverse);
    layout->addWidget(preview_summary);
    layout->addWidget(timeline);
    layout->addWidget(warning_list);
    connect(preview_reverse, &QCheckBox::toggled, this, [this] { update_preview(); });
    return box;
}

void ArmWindow::fit(QSize room) {
    constexpr int lowest_picture = 160;
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

void ArmWindow::follow(ProgramRunner& runner) {
    connect(&runner, &ProgramRunner::run_started, this, &ArmWindow::run_started);
    connect(&runner, &ProgramRunner::step_started, this, &ArmWindow::step_started);
    connect(&runner, &ProgramRunner::run_finished, this, [this] { run_ended(std::nullopt); });
    connect(&runner, &ProgramRunner::run_stopped, this, [this](int index) { run_ended(index); });
}

void ArmWindow::set_program_source(std::function<QString()> source) {
    program_source = std::move(source);
    preview_soon();
}

void ArmWindow::program_changed() {
    // The end of a run tells of the program that ran, not of the one typed since.
    if (run_end_shown) {
        run_end_shown = false;
        run_step->setText(tr("No run under way."));
        run_times->clear();
        run_bar->setValue(0);
    }
    preview_soon();
}

void ArmWindow::preview_soon() {
    preview_delay.start();
}

void ArmWindow::update_preview() {
    preview_stale = false;
    preview_delay.stop();
    PreviewRequest request{program_source(),
                           preview_reverse->isChecked() ? Direction::reverse : Direction::forwards,
                           model.pose_at(clock()), model.light_on(), last_run_from};
    // The pose and the text are those of now, so a request waits rather than be read again later.
    if (preview_work.isRunning()) {
        next_preview = std::move(request);
    } else {
        start_preview(std::move(request));
    }
}

void ArmWindow::start_preview(PreviewRequest request) {
    // The largest program file takes the check pass and the simulated run half a second, which
    // the window's thread would spend away from typing.
    preview_work.setFuture(QtConcurrent::run([request = std::move(request)] {
        return WorkedPreview{preview_program(check_program(request.text, {}), request.direction,
                                             request.pose, request.light, request.ran_from),
                             request.text.trimmed().isEmpty()};
    }));
}

void ArmWindow::preview_done() {
    if (next_preview) {
        // Worked out from older text or an older pose: the newer request replaces it.
        start_preview(*std::exchange(next_preview, std::nullopt));
    } else {
        show_preview(preview_work.result());
    }
}

void ArmWindow::show_preview(const WorkedPreview& worked) {
    program_preview = worked.preview;
    timeline->set_preview(program_preview);
    // A run that began before its preview was done shows on the timeline once it is.
    if (run_under_way) {
        run_on_timeline = run_steps == program_preview.steps;
    }

    const auto steps = program_preview.steps.size();
    if (steps == 0) {
        preview_summary->setText(worked.blank
                                     ? tr("Type a program in the main window to see it here.")
                                     : tr("No line of the program runs."));
        ghost.reset();
    } else {
        preview_summary->setText(
            tr("Takes %1 in %2; the pale arm shows where it ends.")
                .arg(duration_text(program_preview.duration), steps_text(static_cast<int>(steps))));
        ghost = program_preview.end_pose;
    }
    warning_list->clear();
    warning_list->addItems(preview_warnings(program_preview, most_warnings_listed));
    const qsizetype unlisted = warning_count(program_preview) - warning_list->count();
    if (warning_list->count() == 0 || unlisted > 0) {
        auto* note = new QListWidgetItem(
            unlisted > 0 ? tr("... and %1 more").arg(unlisted)
                         : tr("No warnings: no joint runs into its end, every line runs."));
        // Not greyed out as a disabled item would be: it is read like the warnings.
        note->setFlags(Qt::ItemIsEnabled);
        QFont slanted = note->font();
        slanted.setItalic(true);
        note->setFont(slanted);
        warning_list->addItem(note);
    }
    refresh();
    emit preview_shown();
}

QString ArmWindow::reading(Joint joint) const {
    return readings.at(static_cast<std::size_t>(joint))->text();
}

QString ArmWindow::run_text() const {
    return run_step->text() + QLatin1Char('\n') + run_times->text();
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
    // A desktop that switches between light and dark changes the application's palette.
    if (event->type() == QEvent::ApplicationPaletteChange || event->type() == QEvent::StyleChange) {
        apply_colours();
        refresh();
    }
    return taken;
}

void ArmWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (preview_stale) {
        update_preview();
    }
}

void ArmWindow::refresh() {
    const double now = clock();
    ArmView view = view_at(model, now);
    view.ghost = ghost;
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
    light_reading->setText(view.light ? tr("on") : tr("off"));
    if (!model.moving(now)) {
        frames.stop();
    } else if (!frames.isActive()) {
        frames.start();
    }
}

void ArmWindow::run_started(const std::vector<RunStep>& steps) {
    // A program typed just before the run is previewed now, from where the run starts.
    if (preview_delay.isActive()) {
        update_preview();
    }
    run_steps = steps;
    run_index = -1;
    run_under_way = true;
    run_end_shown = false;
    last_run_from = model.pose_at(clock());
    // The timeline shows this run only when it previewed this very run.
    run_on_timeline = steps == program_preview.steps;
    run_bar->setValue(0);
    run_step->setText(steps.empty() ? tr("No step to run") : tr("Starting"));
    run_times->setText(tr("%1 in all").arg(duration_text(run_duration(run_steps))));
}

void ArmWindow::step_started(int index) {
    run_index = index;
    step_began = clock();
    run_step->setText(tr("Step %1").arg(step_text(index)));
    show_run_times();
    run_ticks.start();
}

QString ArmWindow::step_text(int index) const {
    const RunStep& step = run_steps.at(static_cast<std::size_t>(index));
    return tr("%1 of %2: %3, line %4")
        .arg(index + 1)
        .arg(run_steps.size())
        .arg(QString::fromLatin1(command_table.at(static_cast<std::size_t>(step.command)).caption))
        .arg(step.line + 1);
}

void ArmWindow::show_run_times() {
    if (run_index < 0) {
        return;
    }
    const RunStep& step = run_steps.at(static_cast<std::size_t>(run_index));
    const double done = std::min(clock() - step_began, step.seconds);
    const double left = run_time_left(run_steps, run_index, done);
    const double total = run_duration(run_steps);
    const QString step_times =
        step.command == light_command_number
            ? tr("the light switches")
            : tr("%1 s of %2 s").arg(done, 0, 'f', 1).arg(step.seconds, 0, 'f', 2);
    run_times->setText(tr("%1; %2 left of the run").arg(step_times, duration_text(left)));
    if (run_on_timeline) {
        timeline->set_now(total - left);
    }
    run_bar->setValue(total > 0.0
                          ? static_cast<int>(std::lround((total - left) / total * run_bar_steps))
                          : run_bar_steps);
}

void ArmWindow::run_ended(std::optional<int> stopped_at) {
    run_ticks.stop();
    run_under_way = false;
    run_on_timeline = false;
    run_end_shown = true;
    timeline->set_now(std::nullopt);
    if (stopped_at) {
        show_run_times();
        run_step->setText(tr("Run stopped at step %1").arg(step_text(*stopped_at)));
    } else {
        run_step->setText(tr("Run finished"));
        run_times->setText(tr("%1 in %2")
                               .arg(steps_text(static_cast<int>(run_steps.size())),
                                    duration_text(run_duration(run_steps))));
        run_bar->setValue(run_bar_steps);
    }
    // The arm has moved: the preview now starts from where the run left it.
    preview_soon();
}

}  // namespace quillmar
