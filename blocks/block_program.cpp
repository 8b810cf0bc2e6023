#include "block_program.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <cmath>
#include <optional>

#include "armlink/arm_command.h"
#include "motion/way_plan.h"
#include "programs/program_check.h"
#include "programs/program_recorder.h"
#include "text/lines.h"

namespace quillmar {

namespace {

const QString crlf = QStringLiteral("\r\n");
// A repeat of more than this could only make more steps than a program holds.
constexpr double most_repeats = step_table_size;
// Notes and lights that change nothing make lines or none without steps; this bounds the text.
constexpr int most_lines = 4 * step_table_size;
// Repeats of blocks that make no line could keep the server busy for ever; this bounds the work.
constexpr int most_blocks_written_out = 64 * 1024;

const QString program_type = QStringLiteral("quillmar_program");
const QString light_type = QStringLiteral("quillmar_light");
const QString repeat_type = QStringLiteral("controls_repeat");
const QString go_to_type = QStringLiteral("quillmar_go_to");
const QString back_type = QStringLiteral("quillmar_back_to_start");
const QString note_type = QStringLiteral("quillmar_note");

QString move_type(Joint joint) {
    return QStringLiteral("quillmar_") + QString::fromLatin1(row_of(joint).name).toLower();
}

// The joint whose motor command 1 to 10 runs.
Joint joint_of(int command) {
    for (const auto& row : joint_table) {
        if (row.increasing_command == command || row.decreasing_command == command) {
            return row.joint;
        }
    }
    return Joint::base;
}

std::optional<Joint> joint_of_type(const QString& type) {
    for (const auto& row : joint_table) {
        if (move_type(row.joint) == type) {
            return row.joint;
        }
    }
    return std::nullopt;
}

// The line a block was read from and the line end after it, kept in the block's data.
struct KeptLine {
    QString line;
    QString end;
};

std::optional<KeptLine> kept_line(const QJsonObject& block) {
    const QJsonObject data = QJsonDocument::fromJson(block[u"data"].toString().toUtf8()).object();
    if (!data[u"line"].isString()) {
        return std::nullopt;
    }
    return KeptLine{data[u"line"].toString(), data[u"end"].toString()};
}

QString data_of(const QString& line, const QString& end) {
    return QString::fromUtf8(
        QJsonDocument(QJsonObject{{QStringLiteral("line"), line}, {QStringLiteral("end"), end}})
            .toJson(QJsonDocument::Compact));
}

// The step that `line` alone is, as the check pass reads it.
std::optional<ProgramStep> step_of(const QString& line) {
    const CheckedProgram checked = check_program(line, {});
    if (checked.steps.size() != 1 || checked.rejected_count != 0) {
        return std::nullopt;
    }
    return checked.steps.front();
}

class Compiler {
  public:
    explicit Compiler(const BlocksContext& context) : context(context), model(0.0, context.speeds) {
        model.place(context.pose, 0.0);
        model.set_command(light_command(context.light), 0.0);
        light = context.light;
    }

    CompiledBlocks compile(const QJsonObject& workspace) {
        const QJsonArray tops = workspace[u"blocks"].toObject()[u"blocks"].toArray();
        const auto program = std::ranges::find_if(
            tops, [](const QJsonValue& top) { return top[u"type"].toString() == program_type; });
        if (program == tops.end()) {
            refuse(QStringLiteral("The blocks have no program block to start from."), {});
        } else {
            chain((*program)[u"next"].toObject()[u"block"].toObject());
        }
        if (!out.refusal.isEmpty()) {
            CompiledBlocks refused;
            refused.refusal = out.refusal;
            refused.refused_block = out.refused_block;
            return refused;
        }
        for (qsizetype index = 0; index < lines.size(); ++index) {
            const bool last = index + 1 == lines.size();
            const QString& end = lines[index].end;
            // A kept end with the spaces after the text's last line belongs to the last line only.
            const bool plain_end = end == crlf || end == u"\n" || end == u"\r";
            out.text += lines[index].line + (lines[index].kept && (last || plain_end) ? end : crlf);
        }
        return out;
    }

  private:
    struct Line {
        QString line;
        QString end;
        bool kept;  // read from a program file as it was
    };

    void refuse(const QString& why, const QString& block) {
        if (out.refusal.isEmpty()) {
            out.refusal = why;
            out.refused_block = block;
        }
    }

    bool refused() const { return !out.refusal.isEmpty(); }

    // Adds a line made by `block`, and runs it on the model when it is a step.
    void add(const QString& line, const QString& block, const std::optional<KeptLine>& kept) {
        const bool keep = kept && kept->line == line;
        lines.push_back({line, keep ? kept->end : crlf, keep});
        out.blocks << block;
        if (lines.size() > most_lines) {
            refuse(QStringLiteral("The blocks make more than %1 lines.").arg(most_lines), block);
            return;
        }
        const std::optional<ProgramStep> step = step_of(line);
        if (!step) {
            return;
        }
        if (++out.steps > step_table_size) {
            refuse(QStringLiteral("The blocks make more than %1 steps, and a program holds %1 "
                                  "steps at most: repeat fewer times or use fewer blocks.")
                       .arg(step_table_size),
                   block);
            return;
        }
        if (step->command == light_command_number) {
            light = !light;
            model.set_command(light_command(light), time);
            return;
        }
        model.set_command(start_command(step->command, light ? 1 : 0), time);
        time += step->duration / 100.0;
        model.set_command(stop_command(light ? 1 : 0), time);
    }

    // The kept line when it still reads as `command` for `centiseconds` (any duration for the
    // light), else the line the blocks' fields make.
    void add_step(int command, long long centiseconds, const QString& block,
                  const std::optional<KeptLine>& kept) {
        if (kept) {
            const std::optional<ProgramStep> step = step_of(kept->line);
            if (step && step->command == command &&
                (command == light_command_number || std::llround(step->duration) == centiseconds)) {
                add(kept->line, block, kept);
                return;
            }
        }
        add(command == light_command_number
                ? light_line()
                : movement_lines(command, static_cast<double>(centiseconds) / 100.0).first(),
            block, std::nullopt);
    }

    void add_plan(const std::vector<Movement>& plan, const QString& block) {
        for (const Movement& movement : plan) {
            const QStringList made = movement.command == light_command_number
                                         ? QStringList{light_line()}
                                         : movement_lines(movement.command, movement.seconds);
            for (const QString& line : made) {
                if (!refused()) {
                    add(line, block, std::nullopt);
                }
            }
        }
    }

    void note(const QString& block, const QString& text) {
        if (!noted.contains(block)) {
            noted.insert(block);
            out.notes.push_back({block, text});
        }
    }

    // The block, then each block that follows it.
    void chain(QJsonObject block) {
        while (!block.isEmpty() && !refused()) {
            one(block);
            block = block[u"next"].toObject()[u"block"].toObject();
        }
    }

    void one(const QJsonObject& block) {
        const QString type = block[u"type"].toString();
        const QString id = block[u"id"].toString();
        if (++written_out > most_blocks_written_out) {
            refuse(QStringLiteral("The repeats are nested too deep to write out."), id);
            return;
        }
        const QJsonObject fields = block[u"fields"].toObject();
        const std::optional<KeptLine> kept = kept_line(block);
        if (const std::optional<Joint> joint = joint_of_type(type)) {
            move(*joint, fields, id, kept);
        } else if (type == light_type) {
            const bool on = fields[u"STATE"].toString() == u"on";
            if (on == light) {
                note(
                    id,
                    on ? QStringLiteral("The light is already on here: this block does nothing.")
                       : QStringLiteral("The light is already off here: this block does nothing."));
            } else {
                add_step(light_command_number, 0, id, kept);
            }
        } else if (type == repeat_type) {
            const double times = fields[u"TIMES"].toDouble(-1.0);
            if (times < 0 || times > most_repeats || times != std::floor(times)) {
                refuse(QStringLiteral("A repeat runs 0 to %1 times.").arg(most_repeats), id);
                return;
            }
            const QJsonObject body =
                block[u"inputs"].toObject()[u"DO"].toObject()[u"block"].toObject();
            for (int round = 0; round < static_cast<int>(times) && !refused(); ++round) {
                chain(body);
            }
        } else if (type == go_to_type) {
            const QString name = fields[u"POSE"].toString();
            const auto pose = std::ranges::find(context.poses, name, &NamedPose::name);
            if (pose == context.poses.end()) {
                refuse(QStringLiteral("There is no pose named \"%1\".").arg(name), id);
                return;
            }
            add_plan(way_to_plan(model, time, pose->pose, light), id);
        } else if (type == back_type) {
            add_plan(way_to_plan(model, time, context.origin, context.origin_light), id);
        } else if (type == note_type) {
            const QString text = fields[u"TEXT"].toString();
            if (text.contains(u'\r') || text.contains(u'\n')) {
                refuse(QStringLiteral("A note holds one line."), id);
            } else if (step_of(text)) {
                refuse(QStringLiteral("This note reads as a step and would run: %1").arg(text), id);
            } else {
                add(text, id, kept);
            }
        } else {
            refuse(QStringLiteral("Unknown block: %1").arg(type), id);
        }
    }

    void move(Joint joint, const QJsonObject& fields, const QString& id,
              const std::optional<KeptLine>& kept) {
        const int command = fields[u"COMMAND"].toString().toInt();
        const auto& row = row_of(joint);
        const double seconds = fields[u"SECONDS"].toDouble(-1.0);
        const long long centiseconds = std::llround(seconds * 100.0);
        if (command != row.increasing_command && command != row.decreasing_command) {
            refuse(QStringLiteral("This block names no way to move the %1.")
                       .arg(QString::fromLatin1(row.name).toLower()),
                   id);
        } else if (!std::isfinite(seconds) || centiseconds < 1 || centiseconds > longest_duration) {
            refuse(QStringLiteral("A movement lasts 0.01 to %1 seconds.")
                       .arg(longest_duration / 100.0, 0, 'f', 2),
                   id);
        } else {
            add_step(command, centiseconds, id, kept);
        }
    }

    const BlocksContext& context;
    ArmModel model;
    double time = 0.0;
    bool light = false;
    int written_out = 0;
    QList<Line> lines;
    QSet<QString> noted;
    CompiledBlocks out;
};

QJsonObject block_of(const QString& line, const QString& end, int index, bool runs, bool& light) {
    QJsonObject block{{QStringLiteral("id"), QStringLiteral("line-%1").arg(index)},
                      {QStringLiteral("data"), data_of(line, end)}};
    const std::optional<ProgramStep> step = runs ? step_of(line) : std::nullopt;
    if (!step) {
        block[u"type"] = note_type;
        block[u"fields"] = QJsonObject{{QStringLiteral("TEXT"), line}};
    } else if (step->command == light_command_number) {
        light = !light;
        block[u"type"] = light_type;
        block[u"fields"] = QJsonObject{
            {QStringLiteral("STATE"), light ? QStringLiteral("on") : QStringLiteral("off")}};
    } else {
        block[u"type"] = move_type(joint_of(step->command));
        block[u"fields"] = QJsonObject{{QStringLiteral("COMMAND"), QString::number(step->command)},
                                       {QStringLiteral("SECONDS"), step->duration / 100.0}};
    }
    return block;
}

}  // namespace

CompiledBlocks compile_blocks(const QJsonObject& workspace, const BlocksContext& context) {
    return Compiler(context).compile(workspace);
}

QJsonObject blocks_of_program(const QString& text, bool light, QString* refusal) {
    const CheckedProgram checked = check_program(text, {});
    QSet<int> runs;
    for (const ProgramStep& step : checked.steps) {
        runs.insert(step.line);
    }
    // The lines as the check pass counts them, each with the spaces the pass skipped before it
    // and its line end kept, so that the blocks give the text back as it was.
    QList<KeptLine> lines;
    QString before;
    const qsizetype size = text.size();
    qsizetype pos = 0;
    while (pos < size) {
        if (lines.size() >= most_block_lines) {
            *refusal = QStringLiteral("A program of more than %1 lines cannot be shown as blocks.")
                           .arg(most_block_lines);
            return {};
        }
        const TextLine found = line_at(text, pos);
        const qsizetype end = pos + found.text.size();
        lines.push_back({before + found.text.toString(), text.mid(end, found.next - end)});
        pos = found.next;
        before.clear();
        while (pos < size && text[pos] == u' ') {
            before += u' ';
            ++pos;
        }
    }
    if (!lines.isEmpty()) {
        lines.back().end += before;
    }
    QJsonObject next;
    std::vector<QJsonObject> blocks;
    for (qsizetype index = 0; index < lines.size(); ++index) {
        blocks.push_back(block_of(lines[index].line, lines[index].end, static_cast<int>(index),
                                  runs.contains(static_cast<int>(index)), light));
    }
    for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
        if (!next.isEmpty()) {
            (*block)[u"next"] = QJsonObject{{QStringLiteral("block"), next}};
        }
        next = *block;
    }
    QJsonObject program{{QStringLiteral("type"), program_type},
                        {QStringLiteral("id"), QStringLiteral("program")},
                        {QStringLiteral("x"), 20},
                        {QStringLiteral("y"), 20},
                        {QStringLiteral("deletable"), false}};
    if (!next.isEmpty()) {
        program[u"next"] = QJsonObject{{QStringLiteral("block"), next}};
    }
    return {
        {QStringLiteral("blocks"), QJsonObject{{QStringLiteral("languageVersion"), 0},
                                               {QStringLiteral("blocks"), QJsonArray{program}}}}};
}

}  // namespace quillmar
