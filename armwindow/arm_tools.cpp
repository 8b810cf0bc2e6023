#include "arm_tools.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "arm_window.h"
#include "motion/pose_settings.h"
#include "motion/speed_settings.h"
#include "programs/program_check.h"
#include "text/visible_text.h"

namespace quillmar {

namespace {

// Homing drives this much longer than a full travel, so that an arm slower than its estimate
// still reaches the end.
constexpr double homing_margin = 1.5;

QString joint_name(Joint joint) {
    return QString::fromUtf8(row_of(joint).name);
}

QString command_caption(int command) {
    return QString::fromLatin1(command_table.at(static_cast<std::size_t>(command)).caption);
}

QDoubleSpinBox* seconds_box(QWidget* parent) {
    auto* box = new QDoubleSpinBox(parent);
    box->setRange(0.2, 600.0);
    box->setDecimals(2);
    box->setSuffix(QStringLiteral(" s"));
    box->setKeyboardTracking(false);
    return box;
}

// How a way ended, for the note of the tool that began it: `done` when it got there.
QString way_end_text(WayEnd end, const QString& way, const QString& done) {
    switch (end) {
        case WayEnd::done:
        case WayEnd::at_start:
            return done;
        case WayEnd::stopped:
            return way + QStringLiteral(" stopped.");
        case WayEnd::cap:
            return way + QStringLiteral(" took longer than it may and was stopped.");
    }
    return {};
}

// The way a command drives its joint, as its caption says: "up", "open", "anticlockwise".
QString way_word(int command) {
    const QString caption = command_caption(command);
    return caption.left(caption.indexOf(QStringLiteral(" ("))).section(u' ', -1).toLower();
}

QString settings_key(const ToolSettings& kept, const char* name) {
    return kept.group + QLatin1Char('/') + QLatin1String(name);
}

}  // namespace

QCheckBox* soft_limits_switch(ArmSession& session, const ToolSettings& kept, QWidget* parent) {
    auto* box = new QCheckBox(QStringLiteral("Soft limits"), parent);
    box->setObjectName(QStringLiteral("softlimits"));
    box->setToolTip(
        QStringLiteral("Holds and keys stop a joint where the estimate puts it at its end; hold "
                       "Shift to drive on. Programs run as written."));
    const bool on =
        !kept.settings || kept.settings->value(settings_key(kept, "soft_limits"), true).toBool();
    box->setChecked(on);
    session.set_soft_limits(on);
    QObject::connect(box, &QCheckBox::toggled, box, [&session, kept](bool now_on) {
        session.set_soft_limits(now_on);
        if (kept.settings) {
            kept.settings->setValue(settings_key(kept, "soft_limits"), now_on);
        }
    });
    return box;
}

CalibrationBox::CalibrationBox(ArmClient& hand, ToolSettings kept, QWidget* parent)
    : QGroupBox(QStringLiteral("Calibration and limits"), parent),
      session(hand.session()),
      hand(hand),
      kept(std::move(kept)) {
    setObjectName(QStringLiteral("calibration"));
    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Full travel each way:"), this), 0, 0, 1, 3);
    for (const auto& row : joint_table) {
        const auto index = static_cast<std::size_t>(row.joint);
        const int line = static_cast<int>(index) + 1;
        grid->addWidget(new QLabel(joint_name(row.joint), this), line, 0);
        up_seconds.at(index) = seconds_box(this);
        up_seconds.at(index)->setToolTip(
            QStringLiteral("Seconds %1 takes from one end to the other")
                .arg(command_caption(row.increasing_command)));
        down_seconds.at(index) = seconds_box(this);
        down_seconds.at(index)->setToolTip(
            QStringLiteral("Seconds %1 takes from one end to the other")
                .arg(command_caption(row.decreasing_command)));
        // Each joint's own two ways: the base turns, the gripper opens and grips.
        for (const auto& [box, command] :
             {std::pair{up_seconds.at(index), row.increasing_command},
              std::pair{down_seconds.at(index), row.decreasing_command}}) {
            box->setPrefix(way_word(command) + QLatin1Char(' '));
            box->setAccessibleName(QStringLiteral("%1 %2: seconds of full travel")
                                       .arg(joint_name(row.joint), way_word(command)));
        }
        grid->addWidget(up_seconds.at(index), line, 1);
        grid->addWidget(down_seconds.at(index), line, 2);
        for (QDoubleSpinBox* box : {up_seconds.at(index), down_seconds.at(index)}) {
            connect(box, &QDoubleSpinBox::valueChanged, this, [this] { apply(speeds()); });
        }
    }
    soft_limits = soft_limits_switch(session, this->kept, this);
    auto* reset = new QPushButton(QStringLiteral("Reset to the built-in table"), this);
    joint_choice = new QComboBox(this);
    for (const auto& row : joint_table) {
        joint_choice->addItem(joint_name(row.joint));
    }
    time_button = new QPushButton(QStringLiteral("Time it"), this);
    time_button->setToolTip(
        QStringLiteral("Times the joint's full travel each way from your holds"));
    next_button = new QPushButton(QStringLiteral("Next"), this);
    next_button->setEnabled(false);
    find_button = new QPushButton(QStringLiteral("Find the ends..."), this);
    find_button->setToolTip(
        QStringLiteral("Drives the joint into its nearer end stop for longer than its full "
                       "travel, so that the estimate knows where it is again"));
    note = new QLabel(this);
    note->setObjectName(QStringLiteral("calibrationnote"));
    note->setWordWrap(true);
    grid->addWidget(soft_limits, 1, 3);
    grid->addWidget(reset, 2, 3);
    grid->addWidget(joint_choice, 3, 3);
    auto* timing = new QHBoxLayout;
    timing->addWidget(time_button);
    timing->addWidget(next_button);
    grid->addLayout(timing, 4, 3);
    grid->addWidget(find_button, 5, 3);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(note);

    const JointSpeeds saved =
        this->kept.settings
            ? read_joint_speeds(*this->kept.settings, settings_key(this->kept, "speeds"))
            : JointSpeeds::built_in();
    show_speeds(saved);
    apply(saved);
    connect(reset, &QPushButton::clicked, this, [this] {
        const auto asked = QMessageBox::question(
            this, QStringLiteral("Reset to the built-in table"),
            QStringLiteral("This throws away the travel times set here and uses the built-in "
                           "table's. Go on?"));
        if (asked != QMessageBox::Yes) {
            return;
        }
        show_speeds(JointSpeeds::built_in());
        apply(JointSpeeds::built_in());
        note->setText(QStringLiteral("The estimate uses the built-in table's times."));
    });
    connect(time_button, &QPushButton::clicked, this, [this] {
        if (timed) {
            end_timing();
            note->clear();
        } else {
            start_timing(static_cast<Joint>(joint_choice->currentIndex()));
        }
    });
    connect(next_button, &QPushButton::clicked, this, &CalibrationBox::next_timing_step);
    connect(find_button, &QPushButton::clicked, this, &CalibrationBox::ask_and_find_ends);
    connect(&session, &ArmSession::command_sent, this, &CalibrationBox::take_command);
}

JointSpeeds CalibrationBox::speeds() const {
    JointSpeeds speeds = JointSpeeds::built_in();
    for (const auto& row : joint_table) {
        const auto index = static_cast<std::size_t>(row.joint);
        speeds.up.at(index) = *travel_speed(row.joint, up_seconds.at(index)->value());
        speeds.down.at(index) = *travel_speed(row.joint, down_seconds.at(index)->value());
    }
    return speeds;
}

void CalibrationBox::show_speeds(const JointSpeeds& speeds) {
    for (const auto& row : joint_table) {
        const auto index = static_cast<std::size_t>(row.joint);
        const QSignalBlocker up_quiet(up_seconds.at(index));
        const QSignalBlocker down_quiet(down_seconds.at(index));
        up_seconds.at(index)->setValue(travel_seconds(row.joint, speeds.of(row.joint, 1)));
        down_seconds.at(index)->setValue(travel_seconds(row.joint, speeds.of(row.joint, -1)));
    }
}

void CalibrationBox::apply(const JointSpeeds& speeds) {
    session.set_joint_speeds(speeds);
    if (kept.settings) {
        write_joint_speeds(*kept.settings, settings_key(kept, "speeds"), speeds);
    }
}

void CalibrationBox::start_timing(Joint joint) {
    timed = joint;
    timing_step = 0;
    drive = 0;
    counted = 0.0;
    // The estimate may be wrong: that is what is timed here.
    session.set_soft_limits(false);
    next_button->setEnabled(true);
    time_button->setText(QStringLiteral("Cancel"));
    const JointRow& row = row_of(joint);
    note->setText(QStringLiteral("Hold %1 until the %2 stops at its end, then press Next.")
                      .arg(command_caption(row.increasing_command), joint_name(joint).toLower()));
}

void CalibrationBox::take_command(ArmCommand command) {
    if (!timed) {
        return;
    }
    const double now = session.now();
    const int wanted = timing_step == 1 ? -1 : 1;
    if (drive == wanted) {
        counted += now - since;
    }
    since = now;
    drive = drive_of(*timed, command);
}

void CalibrationBox::next_timing_step() {
    if (!timed) {
        return;
    }
    const Joint joint = *timed;
    const JointRow& row = row_of(joint);
    const QString name = joint_name(joint).toLower();
    if (timing_step == 0) {
        timing_step = 1;
        counted = 0.0;
        note->setText(
            QStringLiteral("Hold %1 until the %2 stops at its other end, in several holds if need "
                           "be, then press Next. Let go as soon as it stops: the time held is its "
                           "travel.")
                .arg(command_caption(row.decreasing_command), name));
        return;
    }
    if (timing_step == 1) {
        down_travel = counted;
        timing_step = 2;
        counted = 0.0;
        note->setText(
            QStringLiteral("Hold %1 until the %2 stops at its first end again, then press Next.")
                .arg(command_caption(row.increasing_command), name));
        return;
    }
    const std::optional<double> up = travel_speed(joint, counted);
    const std::optional<double> down = travel_speed(joint, down_travel);
    end_timing();
    if (!up || !down) {
        note->setText(QStringLiteral("The %1 was not timed: hold each way until it stops, then "
                                     "press Next.")
                          .arg(name));
        return;
    }
    JointSpeeds timed_speeds = speeds();
    const auto index = static_cast<std::size_t>(joint);
    timed_speeds.up.at(index) = *up;
    timed_speeds.down.at(index) = *down;
    show_speeds(timed_speeds);
    apply(timed_speeds);
    note->setText(
        QStringLiteral("The %1 travels up in %2 s and down in %3 s; the estimate uses "
                       "these times from now on.")
            .arg(name, QString::number(counted, 'f', 2), QString::number(down_travel, 'f', 2)));
}

void CalibrationBox::end_timing() {
    timed.reset();
    session.set_soft_limits(soft_limits->isChecked());
    next_button->setEnabled(false);
    time_button->setText(QStringLiteral("Time it"));
}

bool CalibrationBox::find_end(Joint joint) {
    const JointRow& row = row_of(joint);
    const auto index = static_cast<std::size_t>(joint);
    const double position = session.model().pose_at(session.now()).at(index);
    const int drive = position - row.minimum <= row.maximum - position ? -1 : 1;
    const double seconds = travel_seconds(joint, session.model().speeds().of(joint, drive));
    const Answer<WayEnd> end = hand.find_end(joint, drive, seconds * homing_margin);
    return end && *end == WayEnd::done;
}

void CalibrationBox::ask_and_find_ends() {
    const Joint joint = static_cast<Joint>(joint_choice->currentIndex());
    const QString name = joint_name(joint).toLower();
    const auto asked = QMessageBox::question(
        this, QStringLiteral("Find the ends"),
        QStringLiteral("This drives the %1 into its nearer end stop on purpose, for longer than "
                       "its full travel, so that its gearbox may click. Esc stops it at once. "
                       "Go on?")
            .arg(name));
    if (asked != QMessageBox::Yes) {
        return;
    }
    note->setText(find_end(joint)
                      ? QStringLiteral("The %1 is at its end; the estimate is there too.").arg(name)
                      : QStringLiteral("Finding the %1's end stopped, so the estimate stays "
                                       "where it was.")
                            .arg(name));
}

QString CalibrationBox::note_text() const {
    return note->text();
}

PoseBox::PoseBox(ArmClient& hand, ToolSettings kept, std::function<QString()> program,
                 std::function<qsizetype()> cursor, QWidget* parent)
    : QGroupBox(QStringLiteral("Poses"), parent),
      session(hand.session()),
      hand(hand),
      kept(std::move(kept)),
      program(std::move(program)),
      cursor(std::move(cursor)) {
    setObjectName(QStringLiteral("poses"));
    names = new QComboBox(this);
    names->setObjectName(QStringLiteral("posenames"));
    names->setMinimumContentsLength(12);
    auto* save = new QPushButton(QStringLiteral("Save pose as..."), this);
    save->setToolTip(QStringLiteral("Keeps where the arm is estimated to be under a name"));
    go = new QPushButton(QStringLiteral("Go to"), this);
    go->setToolTip(QStringLiteral("Drives each joint to the pose by the estimate. Esc stops."));
    insert = new QPushButton(QStringLiteral("Insert the way there as lines"), this);
    insert->setToolTip(
        QStringLiteral("Puts the program lines that drive to the pose in at the program's cursor, "
                       "from where the program leaves the arm there"));
    forget = new QPushButton(QStringLiteral("Forget"), this);
    names->setAccessibleName(QStringLiteral("Saved poses"));
    auto* help = new QLabel(
        QStringLiteral("Keep where the arm is under a name; Go to drives back there, and Insert "
                       "writes the way there into the program."),
        this);
    help->setWordWrap(true);
    note = new QLabel(this);
    note->setObjectName(QStringLiteral("posenote"));
    note->setWordWrap(true);
    auto* row = new QHBoxLayout;
    row->addWidget(names, 1);
    row->addWidget(save);
    row->addWidget(go);
    row->addWidget(insert);
    row->addWidget(forget);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(help);
    layout->addLayout(row);
    layout->addWidget(note);
    layout->addStretch(1);
    read();
    // Nothing to go to, insert or forget without a pose.
    const auto follow_names = [this] {
        const bool any = names->count() > 0;
        for (QPushButton* button : {go, insert, forget}) {
            button->setEnabled(any);
        }
    };
    connect(names->model(), &QAbstractItemModel::rowsInserted, this, follow_names);
    connect(names->model(), &QAbstractItemModel::rowsRemoved, this, follow_names);
    follow_names();
    connect(save, &QPushButton::clicked, this, &PoseBox::ask_and_save);
    connect(go, &QPushButton::clicked, this, &PoseBox::go_to);
    connect(insert, &QPushButton::clicked, this, [this] {
        if (const auto pose = pose_named(names->currentText())) {
            this->session.insert_way_to(*pose, this->program(), this->cursor());
        }
    });
    connect(forget, &QPushButton::clicked, this, [this] {
        const int index = names->currentIndex();
        if (index >= 0) {
            poses.erase(poses.begin() + index);
            names->removeItem(index);
            write();
        }
    });
}

bool PoseBox::save_pose(const QString& typed) {
    const QString name = visible_text(typed.simplified()).left(longest_pose_name);
    if (name.isEmpty()) {
        return false;
    }
    const Pose pose = session.model().pose_at(session.now());
    const auto found = std::ranges::find(poses, name, &std::pair<QString, Pose>::first);
    if (found != poses.end()) {
        found->second = pose;
    } else {
        poses.emplace_back(name, pose);
        names->addItem(name);
    }
    names->setCurrentText(name);
    write();
    return true;
}

std::optional<Pose> PoseBox::pose_named(const QString& name) const {
    const auto found = std::ranges::find(poses, name, &std::pair<QString, Pose>::first);
    return found == poses.end() ? std::nullopt : std::optional<Pose>(found->second);
}

void PoseBox::ask_and_save() {
    bool ok = false;
    const QString name = QInputDialog::getText(this, QStringLiteral("Save pose as"),
                                               QStringLiteral("Name of the pose:"),
                                               QLineEdit::Normal, names->currentText(), &ok);
    if (ok) {
        save_pose(name);
    }
}

void PoseBox::go_to() {
    const QString name = names->currentText();
    if (const auto pose = pose_named(name)) {
        emit destination(pose);
        const Answer<WayEnd> way = hand.go_to(*pose);
        emit destination(std::nullopt);
        note->setText(way ? way_end_text(*way, QStringLiteral("Go to \"%1\"").arg(name),
                                         QStringLiteral("At \"%1\".").arg(name))
                          : way.refusal().text());
    }
}

QString PoseBox::note_text() const {
    return note->text();
}

void PoseBox::write() {
    if (!kept.settings) {
        return;
    }
    const QString key = settings_key(kept, "poses");
    kept.settings->remove(key);
    kept.settings->beginWriteArray(key, static_cast<int>(poses.size()));
    for (std::size_t index = 0; index < poses.size(); ++index) {
        kept.settings->setArrayIndex(static_cast<int>(index));
        kept.settings->setValue(QStringLiteral("name"), poses[index].first);
        QStringList numbers;
        for (const double value : poses[index].second) {
            numbers << QString::number(value, 'g', 10);
        }
        kept.settings->setValue(QStringLiteral("pose"), numbers);
    }
    kept.settings->endArray();
}

void PoseBox::read() {
    if (!kept.settings) {
        return;
    }
    for (const NamedPose& pose : read_named_poses(*kept.settings, settings_key(kept, "poses"))) {
        poses.emplace_back(pose.name, pose.pose);
        names->addItem(pose.name);
    }
}

StepBox::StepBox(ArmClient& hand, std::function<QString()> program, QWidget* parent)
    : QGroupBox(QStringLiteral("Step and repeat"), parent),
      session(hand.session()),
      hand(hand),
      program(std::move(program)) {
    setObjectName(QStringLiteral("stepandrepeat"));
    step_button = new QPushButton(QStringLiteral("Step"), this);
    step_button->setToolTip(QStringLiteral("Runs the program's next step alone"));
    repeat_button = new QPushButton(QStringLiteral("Repeat"), this);
    repeat_button->setToolTip(QStringLiteral("Runs the program as many times as set. Esc stops."));
    times = new QSpinBox(this);
    times->setRange(1, 999);
    times->setValue(2);
    times->setSuffix(QStringLiteral(" times"));
    times->setAccessibleName(QStringLiteral("How many times Repeat runs the program"));
    back = new QCheckBox(QStringLiteral("Back to start between runs"), this);
    auto* help = new QLabel(
        QStringLiteral("Step runs the program one step at a time; Repeat runs it whole as "
                       "many times as set."),
        this);
    help->setWordWrap(true);
    note = new QLabel(this);
    note->setObjectName(QStringLiteral("stepnote"));
    auto* row = new QHBoxLayout;
    row->addWidget(step_button);
    row->addWidget(repeat_button);
    row->addWidget(times);
    row->addWidget(back);
    row->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(help);
    layout->addLayout(row);
    layout->addWidget(note);
    layout->addStretch(1);
    connect(step_button, &QPushButton::clicked, this, &StepBox::step);
    connect(repeat_button, &QPushButton::clicked, this, &StepBox::repeat);
    connect(&session, &ArmSession::state_changed, this, [this] {
        const bool may_run = this->session.may(ArmSession::Operation::run);
        step_button->setEnabled(may_run);
        repeat_button->setEnabled(may_run);
        if (may_run) {
            show_next();
        }
    });
    step_button->setEnabled(session.may(ArmSession::Operation::run));
    repeat_button->setEnabled(session.may(ArmSession::Operation::run));
    show_next();
}

void StepBox::step() {
    const QString text = program();
    // A program changed since the last step starts again from its first step.
    if (text != stepped) {
        show_next();
    }
    const Answer<int> stepped_to = hand.step(text, next);
    next = stepped_to ? *stepped_to : 0;
    show_next();
}

void StepBox::repeat() {
    const QString text = program();
    const auto told =
        connect(&session, &ArmSession::repeat_run_started, this, [this](int run, int of) {
            note->setText(QStringLiteral("Run %1 of %2").arg(run).arg(of));
        });
    const Answer<int> done =
        hand.repeat(text, Direction::forwards, times->value(), back->isChecked());
    disconnect(told);
    note->setText(done ? QStringLiteral("Ran %1 of %2 times.").arg(*done).arg(times->value())
                       : done.refusal().text());
}

void StepBox::show_next() {
    // A program changed since the last step starts again from its first step.
    const QString text = program();
    if (text != stepped || stepped.isNull()) {
        stepped = text;
        next = 0;
        step_count = static_cast<int>(check_program(text).steps.size());
    }
    note->setText(next == 0
                      ? QStringLiteral("Step runs the program's first step.")
                      : QStringLiteral("Step %1 of %2 runs next.").arg(next + 1).arg(step_count));
}

QString StepBox::note_text() const {
    return note->text();
}

std::vector<ArmTool> arm_tools(ArmClient& hand, ToolSettings kept, std::function<QString()> program,
                               std::function<qsizetype()> cursor, bool estimate,
                               const ArmModel* true_arm) {
    auto* limits = new QWidget;
    auto* layout = new QVBoxLayout(limits);
    if (estimate) {
        auto* calibration = new CalibrationBox(hand, kept, limits);
        // The tab names it.
        calibration->setTitle({});
        calibration->setFlat(true);
        layout->addWidget(calibration);
    } else {
        layout->addWidget(soft_limits_switch(hand.session(), kept, limits));
        auto* about = new QLabel(QStringLiteral("A held motor button or key stops where the "
                                                "estimate puts its joint at its end; hold Shift "
                                                "with the keys to drive on. Programs run as "
                                                "written."),
                                 limits);
        about->setWordWrap(true);
        layout->addWidget(about);
        layout->addStretch();
    }
    if (true_arm != nullptr) {
        auto* truth = new QLabel(limits);
        truth->setObjectName(QStringLiteral("truearm"));
        truth->setWordWrap(true);
        auto* ticks = new QTimer(truth);
        const auto show_truth = [truth, ticks, true_arm, &session = hand.session()] {
            const double now = session.now();
            QStringList joints;
            for (const auto& row : joint_table) {
                joints << joint_name(row.joint) + QLatin1Char(' ') +
                              reading_text(row, true_arm->position_at(row.joint, now), false);
            }
            truth->setText(QStringLiteral("The virtual arm truly stands at: ") +
                           joints.join(QStringLiteral(", ")));
            // Written again only while a joint travels.
            if (!true_arm->moving(now)) {
                ticks->stop();
            }
        };
        QObject::connect(ticks, &QTimer::timeout, truth, show_truth);
        QObject::connect(true_arm, &ArmModel::changed, ticks, [ticks] { ticks->start(100); });
        show_truth();
        layout->addWidget(truth);
    }
    auto* poses = new PoseBox(hand, kept, program, std::move(cursor), nullptr);
    poses->setTitle({});
    poses->setFlat(true);
    auto* steps = new StepBox(hand, std::move(program), nullptr);
    steps->setTitle({});
    steps->setFlat(true);
    return {{estimate ? QStringLiteral("Calibration and limits") : QStringLiteral("Soft limits"),
             limits},
            {QStringLiteral("Poses"), poses},
            {QStringLiteral("Step and repeat"), steps}};
}

}  // namespace quillmar
