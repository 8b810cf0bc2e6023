// quillmar run: one program run on the arm through the session, as Run Program runs it.
#include <QCoreApplication>
#include <csignal>
#include <cstdio>

#include "command_line.h"
#include "programs/program_check.h"
#include "run_progress.h"
#include "session/arm_runtime.h"
#include "session/arm_session.h"
#include "session/signal_bridge.h"
#include "sub_commands.h"
#include "terminal.h"

namespace quillmar {

namespace {

const QString no_arm_advice = QStringLiteral(
    "quillmar: no arm attached. Plug the arm in and switch it on. Plugged in but not attached? "
    "This user may not open it until the udev rule 60-quillmar.rules is in place (the package "
    "installs it; \"man quillmar\" shows how to apply a copy); then plug the arm in again. No arm "
    "at hand? Add --virtual-arm.\n");

}  // namespace

int run_command(const CommandLine& line) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Attaches the arm, runs the program with the same check pass, steps and pauses as Run "
        "Program, releases the arm and exits. Ctrl+C, Ctrl+\\, SIGTERM and SIGHUP switch every "
        "motor off "
        "at once and release the arm."));
    const QCommandLineOption reverse_option(
        QStringLiteral("reverse"), QStringLiteral("Retrace the program, as Reverse Program does."));
    const QCommandLineOption repeat_option(
        QStringLiteral("repeat"), QStringLiteral("Run the program <n> times, half a second apart."),
        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption virtual_arm_option = virtual_arm_choice();
    const QCommandLineOption strict_option(
        QStringLiteral("strict"),
        QStringLiteral("Run nothing when a line will not run, or reads otherwise than it looks "
                       "(a word or a comment that reads as the light; exit code 1)."));
    const QCommandLineOption quiet_option(QStringLiteral("quiet"),
                                          QStringLiteral("Print error lines only."));
    const QCommandLineOption json_option(
        QStringLiteral("json"),
        QStringLiteral("Print one JSON object a line for every event: message, start, step, "
                       "command, error, end."));
    parser.addOptions({reverse_option, repeat_option, virtual_arm_option, strict_option,
                       quiet_option, json_option});
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("The program file (.rob) to run."));
    if (const auto code = parse_arguments(parser, line, 1, 1)) {
        return *code;
    }
    bool whole = false;
    const int repeat = parser.value(repeat_option).toInt(&whole);
    if (!whole || repeat < 1) {
        return usage_error(parser, line, QStringLiteral("--repeat takes a whole number from 1 up"));
    }
    if (parser.isSet(quiet_option) && parser.isSet(json_option)) {
        return usage_error(parser, line, QStringLiteral("--quiet and --json exclude each other"));
    }

    const QString name = parser.positionalArguments().front();
    const ProgramFileText file = read_program_file(file_argument(name, line.argc, line.argv), name);
    if (!file.refusal.isEmpty()) {
        report_refusal(name, file);
        return exit_unreadable;
    }
    const RunProgress::Style style = parser.isSet(json_option)    ? RunProgress::Style::json
                                     : parser.isSet(quiet_option) ? RunProgress::Style::quiet
                                     : is_terminal(stdout)        ? RunProgress::Style::line
                                                                  : RunProgress::Style::lines;

    // What the window's run does with lines that will not run: they are left out. --strict
    // refuses before the arm is touched, with the check pass's lines saying why, and lines that
    // would run as something other than they look too.
    const CheckedProgram checked = check_program(file.text, {});
    const qsizetype not_run = checked.rejected_count;
    if ((not_run > 0 || checked.misread_count > 0) && parser.isSet(strict_option)) {
        check_program(file.text,
                      [style](const QString& text) { RunProgress::print_message(style, text); });
        for (const MisreadLine& misread : checked.misread) {
            print_lines(stderr, QStringLiteral("quillmar: ") + misread_warning(misread));
        }
        if (checked.misread_count > qsizetype(checked.misread.size())) {
            print_raw(stderr, QStringLiteral("quillmar: ... and %1 more\n")
                                  .arg(checked.misread_count - qsizetype(checked.misread.size())));
        }
        print_raw(stderr, QStringLiteral("quillmar: %1 line(s) of the program will not run and %2 "
                                         "read otherwise than they look; nothing ran (--strict)\n")
                              .arg(not_run)
                              .arg(checked.misread_count));
        return exit_lines_not_run;
    }

    // Output that nobody reads any more (a closed pipe, a terminal gone) must not end the program
    // while a motor runs: the writes fail quietly and the run ends as it would. Nor may Ctrl+Z, or
    // a terminal that stops background writers or readers, freeze it with a motor running.
    for (const int number : {SIGPIPE, SIGTSTP, SIGTTOU, SIGTTIN}) {
        std::signal(number, SIG_IGN);
    }
    const Direction direction =
        parser.isSet(reverse_option) ? Direction::reverse : Direction::forwards;
    // One process per arm: where a Quillmar drives it already, the run is its.
    if (!parser.isSet(virtual_arm_option)) {
        if (const auto code = hand_over(file.text, direction, repeat, style)) {
            return *code;
        }
    }

    ArmRuntime runtime(parser.isSet(virtual_arm_option));
    ArmSession& session = runtime.session();

    // From before the arm is attached to after it is let go, a signal switches every motor off
    // and releases the arm; a second one finds the session shut down already and adds nothing.
    int signal_number = 0;
    const SignalBridge signals_to_stop;
    QObject::connect(&signals_to_stop, &SignalBridge::termination_requested, &session,
                     [&](int number) {
                         if (signal_number == 0) {
                             signal_number = number;
                         }
                         session.shut_down();
                     });

    // The survey opens the message pane at start-up; a run on the command line has no use for it,
    // and `quillmar survey` prints it.
    QStringList start_messages;
    const auto collecting = QObject::connect(&session, &ArmSession::message_line, &session,
                                             [&](const QString& text) { start_messages << text; });
    const auto failed = runtime.start_up();
    QObject::disconnect(collecting);
    RunProgress progress(session, style);
    ArmClient command_line(session, ClientKind::command_line, QStringLiteral("quillmar run"));
    for (qsizetype i = 1; i < start_messages.size(); ++i) {
        progress.message(start_messages[i]);
    }
    if (failed) {
        print_raw(stderr,
                  QStringLiteral("quillmar: ") + QString(*failed).replace(u'\n', u' ') + u'\n');
        return exit_no_arm;
    }
    // A signal that came during the start is taken now.
    QCoreApplication::processEvents();
    if (signal_number == 0 && !session.attached()) {
        // Plugging in or a udev rule would not help an arm that another process drives.
        print_raw(stderr, session.arm_held_elsewhere().isEmpty()
                              ? no_arm_advice
                              : QStringLiteral("quillmar: no arm attached: ") +
                                    session.arm_held_elsewhere() + u'\n');
        return exit_no_arm;
    }

    // A signal during the start has shut the session down: nothing runs.
    command_line.repeat(file.text, direction, repeat, false);
    const bool arm_gone = session.arm_lost();
    session.shut_down();
    if (signal_number != 0) {
        return 128 + signal_number;
    }
    // A stop that the arm never took has said so on the error lines: a motor may still run, or
    // ran on until the arm answered again.
    if (arm_gone || session.left_running() || progress.stop_not_taken()) {
        return exit_arm_gone;
    }
    return not_run > 0 ? exit_lines_not_run : exit_finished;
}

}  // namespace quillmar
