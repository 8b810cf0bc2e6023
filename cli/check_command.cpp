// quillmar check: the check pass and the preview of program files, without an arm.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <limits>

#include "command_line.h"
#include "programs/program_check.h"
#include "programs/program_preview.h"
#include "sub_commands.h"
#include "terminal.h"

namespace quillmar {

namespace {

QString pose_text(const ProgramPreview& preview) {
    QStringList joints;
    for (const JointRow& row : joint_table) {
        joints << QString::fromUtf8(row.name) + QLatin1Char(' ') +
                      amount_text(row, preview.end_pose.at(static_cast<std::size_t>(row.joint)), 1);
    }
    return joints.join(QStringLiteral(", ")) +
           (preview.end_light ? QStringLiteral(", light on") : QStringLiteral(", light off"));
}

QString report_text(const QString& name, const ProgramPreview& preview) {
    QString text = QStringLiteral("%1: %2, %3 s")
                       .arg(name, steps_text(static_cast<qsizetype>(preview.steps.size())),
                            QString::number(run_duration(preview.steps), 'f', 2));
    if (preview.rejected_count > 0) {
        text += QStringLiteral("; %1 line(s) will not run").arg(preview.rejected_count);
    }
    text += QStringLiteral("\n  ends at ") + pose_text(preview);
    const QStringList warnings = preview_warnings(preview, warning_count(preview));
    for (const QString& warning : warnings) {
        text += QStringLiteral("\n  ") + warning;
    }
    // Only the first of a huge file's lines are kept: say how many more there are.
    if (const qsizetype more = warning_count(preview) - warnings.size(); more > 0) {
        text += QStringLiteral("\n  ... and %1 more").arg(more);
    }
    return text;
}

QJsonObject report_json(const QString& name, const ProgramPreview& preview) {
    QJsonObject pose;
    for (const JointRow& row : joint_table) {
        pose.insert(QString::fromUtf8(row.name).toLower(),
                    preview.end_pose.at(static_cast<std::size_t>(row.joint)));
    }
    pose.insert(QStringLiteral("light"), preview.end_light);
    QJsonArray not_run;
    for (const RejectedLine& rejected : preview.rejected) {
        not_run.append(QJsonObject{{"line", rejected.line + 1},
                                   {"text", rejected.text},
                                   {"beyond_table", rejected.beyond_table}});
    }
    return {
        {"file", name},
        {"steps", static_cast<int>(preview.steps.size())},
        {"seconds", run_duration(preview.steps)},
        {"end_pose", pose},
        {"not_run_count", static_cast<qint64>(preview.rejected_count)},
        {"not_run", not_run},
        {"warnings", QJsonArray::fromStringList(preview_warnings(preview, warning_count(preview)))},
        {"warning_count", static_cast<qint64>(warning_count(preview))}};
}

}  // namespace

int check_command(const CommandLine& line) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Checks program files without an arm: the lines that will not run, the steps that drive "
        "a joint into its end from the start pose, the time a run takes and where it leaves the "
        "arm. Exit code 1 when a line will not run, 5 when a file cannot be read."));
    const QCommandLineOption reverse_option(QStringLiteral("reverse"),
                                            QStringLiteral("Check the reverse run."));
    const QCommandLineOption json_option(QStringLiteral("json"),
                                         QStringLiteral("Print one JSON object a line per file."));
    parser.addOptions({reverse_option, json_option});
    parser.addPositionalArgument(QStringLiteral("files"),
                                 QStringLiteral("The program files (.rob) to check."),
                                 QStringLiteral("file..."));
    if (const auto code = parse_arguments(parser, line, 1, std::numeric_limits<int>::max())) {
        return *code;
    }
    const Direction direction =
        parser.isSet(reverse_option) ? Direction::reverse : Direction::forwards;
    const bool json = parser.isSet(json_option);
    bool unreadable = false;
    bool not_run = false;
    for (const QString& name : parser.positionalArguments()) {
        const ProgramFileText file =
            read_program_file(file_argument(name, line.argc, line.argv), name);
        if (!file.refusal.isEmpty()) {
            report_refusal(name, file);
            if (json) {
                print_raw(stdout,
                          QString::fromUtf8(
                              QJsonDocument(QJsonObject{{"file", name}, {"error", file.refusal}})
                                  .toJson(QJsonDocument::Compact)) +
                              QLatin1Char('\n'));
            }
            unreadable = true;
            continue;
        }
        const ProgramPreview preview =
            preview_program(check_program(file.text, {}), direction, start_pose(), false);
        not_run = not_run || preview.rejected_count > 0;
        if (json) {
            print_raw(
                stdout,
                QString::fromUtf8(
                    QJsonDocument(report_json(name, preview)).toJson(QJsonDocument::Compact)) +
                    QLatin1Char('\n'));
        } else {
            print_lines(stdout, report_text(name, preview));
        }
    }
    return unreadable ? exit_unreadable : not_run ? exit_lines_not_run : exit_finished;
}

}  // namespace quillmar
