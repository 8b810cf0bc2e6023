#include "program_preview.h"

#include <algorithm>
#include <cmath>

namespace quillmar {

namespace {

// Shorter than this, a joint counts as being at its end when the step begins; a step that turns a
// joint back less than this much further than it came, at the joint's speed, retraces it.
constexpr double at_end_already = 0.05;
// The waits of a real run end a little late: a run's end counts as reached when every joint is
// within this much travel of it.
constexpr double same_place_seconds = 0.25;

double pause_seconds() {
    return std::chrono::duration<double>(pause_between_steps).count();
}

QString joint_words(Joint joint) {
    return QStringLiteral("the ") + QString::fromUtf8(row_of(joint).name).toLower();
}

// "line 7, Elbow Up: the elbow", how every warning about a step begins.
QString step_words(const ProgramPreview& preview, const PreviewMove& move) {
    const RunStep& step = preview.steps.at(static_cast<std::size_t>(move.step));
    return QStringLiteral("line %1, %2: %3")
        .arg(step.line + 1)
        .arg(command_name(step.command), joint_words(move.joint));
}

QString end_stop_warning(const ProgramPreview& preview, const PreviewMove& move) {
    const RunStep& step = preview.steps.at(static_cast<std::size_t>(move.step));
    const QString start = step_words(preview, move);
    const QString seconds = QString::number(step.seconds, 'f', 2);
    if (*move.end_stop < at_end_already) {
        return start +
               QStringLiteral(" is at its end already; its motor strains for %1 s").arg(seconds);
    }
    return start + QStringLiteral(" reaches its end after %1 s of %2 s")
                       .arg(QString::number(*move.end_stop, 'f', 1), seconds);
}

QString overshoot_warning(const ProgramPreview& preview, const PreviewMove& move) {
    const RunStep& step = preview.steps.at(static_cast<std::size_t>(move.step));
    const QString amount = amount_text(row_of(move.joint), *move.overshoot, 1);
    return step_words(preview, move) +
           QStringLiteral(" overshoots by %1, since %2 strained at its end")
               .arg(amount, command_name(opposite_command(step.command)));
}

// A line as a warning quotes it: its start only when it is long, as a list laid out a line of
// thousands of characters for longer than a frame.
QString quoted(const QString& text) {
    constexpr qsizetype longest_quote = 60;
    return text.size() <= longest_quote ? text : text.left(longest_quote - 1) + QChar(0x2026);
}

// The line's text goes in with the numbers in one pass: a later arg() would take a "%1" that the
// user typed for a place of its own.
QString rejected_warning(const RejectedLine& rejected) {
    const QString line = QString::number(rejected.line + 1);
    if (rejected.beyond_table) {
        return QStringLiteral("line %1: \"%2\" will not run, a program holds %3 steps at most")
            .arg(line, quoted(rejected.text), QString::number(step_table_size));
    }
    if (rejected.text.isEmpty()) {
        return QStringLiteral("line %1 is empty and will not run").arg(line);
    }
    return QStringLiteral("line %1: \"%2\" is not a step and will not run")
        .arg(line, quoted(rejected.text));
}

// Runs `preview`'s steps on a copy of the arm's model that starts in `pose` with the light as
// `light`: the same mechanics as the arm window's model.
void simulate(ProgramPreview& preview, const Pose& pose, bool light, const JointSpeeds& speeds) {
    ArmModel model(0.0, speeds);
    model.place(pose, 0.0);
    double time = 0.0;
    for (std::size_t index = 0; index < preview.steps.size(); ++index) {
        const int step_index = static_cast<int>(index);
        if (index > 0) {
            preview.pauses.push_back({time, time + pause_seconds()});
            time += pause_seconds();
        }
        const RunStep& step = preview.steps[index];
        const auto light_byte = static_cast<std::uint8_t>(light);
        if (step.command == light_command_number) {
            light = !light;
            model.set_command(light_command(light), time);
            preview.toggles.push_back({step_index, time, light});
            continue;
        }
        const ArmCommand start = start_command(step.command, light_byte);
        model.set_command(start, time);
        const double end = time + step.seconds;
        for (const auto& row : joint_table) {
            const int drive = drive_of(row.joint, start);
            if (drive == 0) {
                continue;
            }
            const double from = model.position_at(row.joint, time);
            const double limit = drive > 0 ? row.maximum : row.minimum;
            const double reach = std::abs(limit - from) / speeds.of(row.joint, drive);
            PreviewMove move{step_index,   row.joint,   time,
                             end,          from,        model.position_at(row.joint, end),
                             std::nullopt, std::nullopt};
            if (reach < step.seconds) {
                move.end_stop = reach;
            }
            preview.moves.push_back(move);
        }
        time = end;
        model.set_command(stop_command(light_byte), time);
    }
    preview.duration = time;
    preview.end_pose = model.pose_at(time);
    preview.end_light = light;
}

bool same_place(const Pose& a, const Pose& b, const JointSpeeds& speeds) {
    return std::ranges::all_of(joint_table, [&](const JointRow& row) {
        const auto joint = static_cast<std::size_t>(row.joint);
        return std::abs(a.at(joint) - b.at(joint)) <= speeds.slower(row.joint) * same_place_seconds;
    });
}

ProgramPreview forward_run(const CheckedProgram& program, const Pose& from,
                           const JointSpeeds& speeds) {
    ProgramPreview forwards;
    forwards.steps = run_order(program.steps, Direction::forwards);
    simulate(forwards, from, false, speeds);
    return forwards;
}

// Marks each move of `reverse`, which starts in `pose`, that turns its joint back further than the
// forward run of `program` from `forwards_from` turned it, when that run ends in `pose`.
void mark_overshoots(ProgramPreview& reverse, const CheckedProgram& program, const Pose& pose,
                     const Pose& forwards_from, const JointSpeeds& speeds) {
    const ProgramPreview forwards = forward_run(program, forwards_from, speeds);
    if (!same_place(forwards.end_pose, pose, speeds)) {
        return;
    }
    // Every motor step drives one joint, so the reverse run's moves are the forward run's in the
    // opposite order.
    auto retraced = forwards.moves.rbegin();
    for (PreviewMove& move : reverse.moves) {
        const double further =
            std::abs(move.to - move.from) - std::abs(retraced->to - retraced->from);
        if (further > speeds.slower(move.joint) * at_end_already) {
            move.overshoot = further;
        }
        ++retraced;
    }
}

}  // namespace

double run_duration(const std::vector<RunStep>& steps) {
    return steps.empty() ? 0.0 : run_time_left(steps, 0, 0.0);
}

double run_time_left(const std::vector<RunStep>& steps, int index, double done) {
    if (index < 0 || static_cast<std::size_t>(index) >= steps.size()) {
        return 0.0;
    }
    double left = std::max(0.0, steps[static_cast<std::size_t>(index)].seconds - done);
    for (auto next = static_cast<std::size_t>(index) + 1; next < steps.size(); ++next) {
        left += pause_seconds() + steps[next].seconds;
    }
    return left;
}

ProgramPreview preview_program(const CheckedProgram& program, Direction direction, const Pose& pose,
                               bool light, const std::optional<Pose>& forwards_from,
                               const JointSpeeds& speeds) {
    ProgramPreview preview;
    preview.steps = run_order(program.steps, direction);
    preview.rejected = program.rejected;
    preview.rejected_count = program.rejected_count;
    preview.misread = program.misread;
    preview.misread_count = program.misread_count;
    simulate(preview, pose, light, speeds);
    if (direction == Direction::reverse && forwards_from) {
        mark_overshoots(preview, program, pose, *forwards_from, speeds);
    }
    return preview;
}

ProgramPreview preview_reverse_run(const CheckedProgram& program, const Pose& pose, bool light,
                                   const std::optional<Pose>& ran_from, const JointSpeeds& speeds) {
    if (ran_from && same_place(forward_run(program, *ran_from, speeds).end_pose, pose, speeds)) {
        return preview_program(program, Direction::reverse, pose, light, ran_from, speeds);
    }
    const ProgramPreview forwards =
        preview_program(program, Direction::forwards, pose, light, std::nullopt, speeds);
    ProgramPreview reverse = preview_program(program, Direction::reverse, forwards.end_pose,
                                             forwards.end_light, pose, speeds);
    reverse.after_forwards_run = true;
    return reverse;
}

QString command_name(int command) {
    const QString caption =
        QString::fromLatin1(command_table.at(static_cast<std::size_t>(command)).caption);
    return caption.left(caption.lastIndexOf(QStringLiteral(" (")));
}

QStringList preview_warnings(const ProgramPreview& preview, qsizetype most) {
    QStringList warnings;
    for (const PreviewMove& move : preview.moves) {
        if (warnings.size() < most && move.end_stop) {
            warnings << end_stop_warning(preview, move);
        }
        if (warnings.size() < most && move.overshoot) {
            warnings << overshoot_warning(preview, move);
        }
    }
    for (const MisreadLine& misread : preview.misread) {
        if (warnings.size() < most) {
            warnings << misread_warning(misread);
        }
    }
    for (const RejectedLine& rejected : preview.rejected) {
        if (warnings.size() == most) {
            break;
        }
        warnings << rejected_warning(rejected);
    }
    return warnings;
}

qsizetype warning_count(const ProgramPreview& preview) {
    qsizetype count = preview.rejected_count + preview.misread_count;
    for (const PreviewMove& move : preview.moves) {
        count += (move.end_stop ? 1 : 0) + (move.overshoot ? 1 : 0);
    }
    return count;
}

}  // namespace quillmar
