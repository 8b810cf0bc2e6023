// The sub-commands behind run_command_line, and what they share.
#pragma once

#include <cstdio>
#include <optional>

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include "programs/program_files.h"
#include "programs/run_step.h"
#include "run_progress.h"

namespace quillmar {

struct CommandLine {
    int argc;
    char** argv;
    QString name;           // the sub-command's
    QStringList arguments;  // the program's name, then what follows the sub-command
};

int run_command(const CommandLine& line);
// Where a Quillmar serves the arm through the local interface and has it attached, runs the
// program there and gives the exit code; nothing when none does.
std::optional<int> hand_over(const QString& text, Direction direction, int repeat,
                             RunProgress::Style style);
int check_command(const CommandLine& line);

// Parses the sub-command's arguments into `parser`, which has its options and the syntax of its
// file arguments. Nothing when they are sound; else the exit code, after the help on standard
// output (--help) or the error and usage on standard error.
std::optional<int> parse_arguments(QCommandLineParser& parser, const CommandLine& line,
                                   qsizetype fewest_files, qsizetype most_files);

// Prints the usage error and the sub-command's help on standard error; gives exit_usage.
int usage_error(const QCommandLineParser& parser, const CommandLine& line, const QString& error);

// The line on standard error for a file that holds no program.
void report_refusal(const QString& name, const ProgramFileText& file);

}  // namespace quillmar
