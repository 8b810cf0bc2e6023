#include "command_line.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <array>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "armlink/arm_command.h"
#include "motion/arm_model.h"
#include "programs/program_preview.h"
#include "server/serve.h"
#include "session/arm_runtime.h"
#include "sub_commands.h"
#include "terminal.h"
#include "text/visible_text.h"
#include "web/serve_blocks.h"

namespace quillmar {

namespace {

int serve_command(const CommandLine& line) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Lets scripts drive the arm through the local interface, without a window."));
    const QCommandLineOption virtual_arm_option = virtual_arm_choice();
    parser.addOption(virtual_arm_option);
    const QCommandLineOption blocks_option(
        QStringLiteral("blocks"),
        QStringLiteral("Also serves the blocks page, with FILE's program, and opens it."));
    parser.addOption(blocks_option);
    const QCommandLineOption no_browser_option(
        QStringLiteral("no-browser"), QStringLiteral("Opens no browser for the blocks page."));
    parser.addOption(no_browser_option);
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("The program the blocks page opens."),
                                 QStringLiteral("[FILE]"));
    if (const auto code = parse_arguments(parser, line, 0, 1)) {
        return *code;
    }
    if (!parser.isSet(blocks_option)) {
        if (!parser.positionalArguments().isEmpty()) {
            return usage_error(parser, line, QStringLiteral("a FILE goes with --blocks"));
        }
        return serve(parser.isSet(virtual_arm_option));
    }
    ProgramFileText file;
    const QString name = parser.positionalArguments().value(0);
    if (!name.isEmpty()) {
        file = read_program_file(file_argument(name, line.argc, line.argv), name);
        if (!file.refusal.isEmpty()) {
            report_refusal(name, file);
            return exit_unreadable;
        }
    }
    const bool open_browser = !parser.isSet(no_browser_option);
    return serve(parser.isSet(virtual_arm_option), [&](ArmRuntime& runtime, ArmServer& server) {
        auto page = serve_blocks(runtime.session(), server, file.text, QFileInfo(name).fileName(),
                                 open_browser);
        if (page) {
            page->set_poses([&runtime] { return runtime.named_poses(); });
        }
        return page;
    });
}

int survey_command(const CommandLine& line) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Prints the survey of the USB devices that this user may open, as the "
                       "message pane shows it at start-up."));
    const QCommandLineOption virtual_arm_option(
        QStringLiteral("virtual-arm"),
        QStringLiteral("Survey the emulated bus of the virtual arm instead of the real bus."));
    parser.addOption(virtual_arm_option);
    if (const auto code = parse_arguments(parser, line, 0, 0)) {
        return *code;
    }
    const DeviceListing listing = list_devices(parser.isSet(virtual_arm_option));
    if (listing.failure) {
        print_raw(stderr, QStringLiteral("quillmar: ") +
                              QString(*listing.failure).replace(u'\n', u' ') + u'\n');
        return exit_no_arm;
    }
    print_lines(stdout, listing.lines.join(QStringLiteral("\r\n")));
    return exit_finished;
}

// The joint that command `number` drives, and the end it drives it towards.
QString command_row_text(const CommandRow& row) {
    QString motor = QStringLiteral("Light");
    QString direction = QStringLiteral("switches the light");
    for (const JointRow& joint : joint_table) {
        if (joint.increasing_command == row.number || joint.decreasing_command == row.number) {
            const double end =
                joint.increasing_command == row.number ? joint.maximum : joint.minimum;
            motor = QString::fromUtf8(joint.name);
            direction = QStringLiteral("towards ") + amount_text(joint, end, 0);
        }
    }
    return QStringLiteral("%1  %2  %3  %4")
        .arg(row.number, 6)
        .arg(QString::fromLatin1(row.caption), -22)
        .arg(motor, -8)
        .arg(direction);
}

int list_commands(const CommandLine& line) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Prints the command table: the numbers that program lines and button captions use."));
    if (const auto code = parse_arguments(parser, line, 0, 0)) {
        return *code;
    }
    QString table = QStringLiteral("number  %1  %2  direction\n")
                        .arg(QStringLiteral("caption"), -22)
                        .arg(QStringLiteral("motor"), -8);
    for (const CommandRow& row : command_table) {
        table += command_row_text(row) + QLatin1Char('\n');
    }
    table += QStringLiteral(
                 "A program line is command,duration: the duration in hundredths of a "
                 "second, 1 to %1; \"0,\" switches the light.\n")
                 .arg(longest_duration);
    print_raw(stdout, table);
    return exit_finished;
}

QString exit_codes_help() {
    return QStringLiteral(
        "Exit codes of run and check: 0 finished; 1 lines that do not run; 2 usage;\n"
        "3 no arm found or it could not be opened; 4 the arm went away during the run;\n"
        "5 a file missing or unreadable; 6 stopped at the arm by the Quillmar the run\n"
        "was handed to; 130, 143, 129, 131 ended by SIGINT, SIGTERM, SIGHUP, SIGQUIT.\n");
}

struct SubCommand {
    const char* name;
    const char* usage;    // what follows the name in the synopsis
    const char* summary;  // lines of quillmar --help, each at most 52 characters
    int (*run)(const CommandLine& line);
};

// One row per sub-command; argv[1] chooses it.
constexpr std::array sub_commands{
    SubCommand{"run", " FILE",
               "Runs the program on the arm, then releases it.\n--reverse, --repeat N, "
               "--virtual-arm, --strict,\n--quiet, --json",
               run_command},
    SubCommand{"check", " FILE...",
               "Checks programs without an arm: lines that will not\nrun, joints driven into "
               "their end, time, end pose.\n--reverse, --json",
               check_command},
    SubCommand{"survey", "", "Prints the survey of the USB devices.", survey_command},
    SubCommand{"serve", "",
               "Lets scripts drive the arm through the local\ninterface; --blocks [FILE] serves "
               "the blocks page\ntoo. --virtual-arm, --no-browser",
               serve_command},
    SubCommand{"--list-commands", "", "Prints the command table.", list_commands},
};

// The parser's help, its usage line naming the sub-command.
QString help_text(const QCommandLineParser& parser, const CommandLine& line) {
    QString text = parser.helpText();
    const QString program = QStringLiteral("Usage: ") + QCoreApplication::arguments().constFirst();
    if (text.startsWith(program)) {
        text.replace(0, program.size(), QStringLiteral("Usage: quillmar ") + line.name);
    }
    return text;
}

}  // namespace

std::optional<int> parse_arguments(QCommandLineParser& parser, const CommandLine& line,
                                   qsizetype fewest_files, qsizetype most_files) {
    const QCommandLineOption help_option = parser.addHelpOption();
    if (!parser.parse(line.arguments)) {
        return usage_error(parser, line, parser.errorText());
    }
    if (parser.isSet(help_option)) {
        print_raw(stdout, help_text(parser, line) + QLatin1Char('\n') + exit_codes_help());
        return exit_finished;
    }
    const qsizetype files = parser.positionalArguments().size();
    if (files < fewest_files || files > most_files) {
        return usage_error(parser, line,
                           files < fewest_files ? QStringLiteral("a program file is missing")
                                                : QStringLiteral("too many arguments"));
    }
    return std::nullopt;
}

int usage_error(const QCommandLineParser& parser, const CommandLine& line, const QString& error) {
    print_raw(stderr, QStringLiteral("quillmar %1: %2\n\n").arg(line.name, error) +
                          help_text(parser, line));
    return exit_usage;
}

void report_refusal(const QString& name, const ProgramFileText& file) {
    const QString reason =
        file.content_refused ? name + QStringLiteral(": ") + file.refusal : file.refusal;
    print_raw(stderr, QStringLiteral("quillmar: ") + visible_text(reason) + QLatin1Char('\n'));
}

std::optional<int> run_command_line(int argc, char* argv[]) {
    if (argc < 2) {
        return std::nullopt;
    }
    const QString chosen = QString::fromLocal8Bit(argv[1]);
    for (const SubCommand& command : sub_commands) {
        if (chosen == QLatin1String(command.name)) {
            const QCoreApplication app(argc, argv);
            QStringList arguments = QCoreApplication::arguments();
            arguments.removeAt(1);
            return command.run({argc, argv, chosen, arguments});
        }
    }
    // Without a display the window cannot open: a first word that is no option and names no file
    // is a sub-command mistyped (or "help"), told as one rather than as the window's failure.
    const bool display = !qEnvironmentVariableIsEmpty("DISPLAY") ||
                         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
                         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    if (!display && !chosen.startsWith(u'-') && !QFile::exists(QFile::decodeName(argv[1]))) {
        print_raw(stderr, QStringLiteral("quillmar: unknown command \"%1\"\n\nUsage: quillmar "
                                         "[options] [file]   (the window, with a display)")
                                  .arg(visible_text(chosen.left(64))) +
                              command_line_help() + QLatin1Char('\n'));
        return int{exit_usage};
    }
    return std::nullopt;
}

QCommandLineOption virtual_arm_choice() {
    return {QStringLiteral("virtual-arm"),
            QStringLiteral("Drive a virtual arm on an emulated USB bus instead of the real bus.")};
}

QString command_line_help() {
    constexpr int synopsis_width = 25;
    QString help = QStringLiteral("\n\nWithout a window (quillmar COMMAND --help tells more):\n");
    for (const SubCommand& command : sub_commands) {
        const QString synopsis = QStringLiteral("  quillmar ") + QLatin1String(command.name) +
                                 QLatin1String(command.usage);
        const QString indent(synopsis_width + 2, QLatin1Char(' '));
        help += synopsis.leftJustified(synopsis_width + 1) + QLatin1Char(' ') +
                QString::fromLatin1(command.summary).replace(QLatin1Char('\n'), u'\n' + indent) +
                QLatin1Char('\n');
    }
    return help + QLatin1Char('\n') + exit_codes_help().trimmed();
}

QByteArray file_argument(const QString& parsed, int argc, char* argv[]) {
    QByteArray name = QFile::encodeName(parsed);
    // Only bytes that are not valid UTF-8 decode to the replacement character; a class's folder
    // of names is not compared with every argument.
    if (parsed.contains(QChar::ReplacementCharacter)) {
        for (int i = 1; i < argc; ++i) {
            if (QFile::decodeName(argv[i]) == parsed) {
                name = argv[i];
            }
        }
    }
    std::error_code failed;
    const std::filesystem::path absolute = std::filesystem::absolute(name.toStdString(), failed);
    return failed ? name : QByteArray::fromStdString(absolute.lexically_normal().native());
}

}  // namespace quillmar
