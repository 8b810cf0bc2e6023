// quillmar's sub-commands, which work without a window: run, check, survey, serve and
// --list-commands.
#pragma once

#include <optional>

#include <QByteArray>
#include <QCommandLineOption>
#include <QString>

namespace quillmar {

// The exit codes of the sub-commands; a signal ends a run with 128 and its number.
enum ExitCode : int {
    exit_finished = 0,
    exit_lines_not_run = 1,
    exit_usage = 2,
    exit_no_arm = 3,
    exit_arm_gone = 4,
    exit_unreadable = 5,
    exit_stopped_at_arm = 6,  // a run handed to the Quillmar that drives the arm, stopped there
};

// When argv[1] names a sub-command, runs it without a window and gives its exit code; nothing
// when the window is to open. Makes no QApplication.
std::optional<int> run_command_line(int argc, char* argv[]);

// The sub-commands and the exit codes, for quillmar --help.
QString command_line_help();

// --virtual-arm, as the window, run and serve take it.
QCommandLineOption virtual_arm_choice();

// The file argument as the file system spells it, made absolute (the window's file dialogs then
// open beside it, wherever the program started). The parser decodes the command line, and a name
// that is not valid UTF-8 decodes to another file's name: the argument's own bytes are kept.
QByteArray file_argument(const QString& parsed, int argc, char* argv[]);

}  // namespace quillmar
