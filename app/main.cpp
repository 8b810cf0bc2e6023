#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QMessageBox>
#include <QSettings>
#include <QStandardPaths>
#include <cstdio>
#include <memory>
#include <optional>

#include "arm_window_keeper.h"
#include "armwindow/arm_tools.h"
#include "armwindow/arm_window.h"
#include "blocks_box.h"
#include "cli/command_line.h"
#include "qt_file_dialogs.h"
#include "robot.h"
#include "server/arm_server.h"
#include "session/arm_runtime.h"
#include "session/arm_session.h"
#include "session/signal_bridge.h"
#include "text/plain_file.h"
#ifdef QUILLMAR_GAMEPAD
#include "gamepad/gamepad_drive.h"
#endif

namespace {

// The options that only print answer before the window system is reached, so they work without a
// display. Other options wait for QApplication, which first takes its own (-platform, ...).
void answer_printing_options(int argc, char* argv[], QCommandLineParser& parser) {
    {
        QCoreApplication core(argc, argv);
        parser.parse(QCoreApplication::arguments());
        if (parser.isSet(QStringLiteral("help"))) {
            parser.showHelp(0);
        }
        if (parser.isSet(QStringLiteral("version"))) {
            parser.showVersion();
        }
        if (!parser.isSet(QStringLiteral("help-all"))) {
            return;
        }
    }
    // Qt lists its window-system options only for a GUI application; the minimal platform makes
    // one without a display.
    qputenv("QT_QPA_PLATFORM", "minimal");
    QApplication app(argc, argv);
    parser.process(app);
}

#ifdef QUILLMAR_GAMEPAD
// Where `remembered` keeps whether the gamepad works while another program has the keyboard.
constexpr auto gamepad_background_key = "gamepad/background";

// The pad drives while one of the program's windows is active, or always once the user says so;
// the arm window shows which pad drives and what its controls do.
void connect_gamepad(quillmar::Gamepad& pad, quillmar::GamepadDrive& drive,
                     quillmar::ArmWindow& window, QSettings* remembered) {
    if (!pad.started()) {
        std::fputs(
            qPrintable(QStringLiteral("quillmar: no gamepads: ") + pad.start_error() + u'\n'),
            stderr);
        return;
    }
    const bool background =
        remembered && remembered->value(QLatin1String(gamepad_background_key), false).toBool();
    drive.set_background(background);
    drive.set_window_active(QGuiApplication::applicationState() == Qt::ApplicationActive);
    QObject::connect(qApp, &QGuiApplication::applicationStateChanged, &drive,
                     [&drive](Qt::ApplicationState state) {
                         drive.set_window_active(state == Qt::ApplicationActive);
                     });
    window.show_gamepad(quillmar::pad_legend(), quillmar::joint_count, background);
    window.set_gamepad_status(pad.status_text());
    QObject::connect(&pad, &quillmar::Gamepad::pad_changed, &window,
                     &quillmar::ArmWindow::set_gamepad_status);
    QObject::connect(&drive, &quillmar::GamepadDrive::refused, &window,
                     &quillmar::ArmWindow::tell_refusal);
    QObject::connect(&window, &quillmar::ArmWindow::gamepad_background_changed, &drive,
                     [&drive, remembered](bool on) {
                         drive.set_background(on);
                         if (remembered) {
                             remembered->setValue(QLatin1String(gamepad_background_key), on);
                         }
                     });
}
#endif

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication::setApplicationName(QStringLiteral("quillmar"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLMAR_VERSION));
    if (const auto code = quillmar::run_command_line(argc, argv)) {
        return *code;
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Drives a five-motor robot arm over USB.") +
                                     quillmar::command_line_help());
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption virtual_arm_option = quillmar::virtual_arm_choice();
    parser.addOption(virtual_arm_option);
    const QCommandLineOption arm_window_option(
        QStringLiteral("arm-window"),
        QStringLiteral("Show the arm window at start-up: where the arm is estimated to be, the "
                       "run under way and a preview of the program (F2 shows and hides it)."));
    parser.addOption(arm_window_option);
    const QCommandLineOption no_server_option(
        QStringLiteral("no-server"),
        QStringLiteral("Let no script drive the arm through the local interface."));
    parser.addOption(no_server_option);
    const QCommandLineOption virtual_speed_option(
        QStringLiteral("virtual-arm-speed"),
        QStringLiteral("With --virtual-arm: its joints truly travel F times as fast as the joint "
                       "table says, and the arm window shows the estimate of them, which "
                       "calibration brings back to the truth."),
        QStringLiteral("F"));
    parser.addOption(virtual_speed_option);
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("A program file (.rob) to load at start-up."),
                                 QStringLiteral("[file]"));
    answer_printing_options(argc, argv, parser);

    QApplication app(argc, argv);
    parser.process(app);
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        std::fputs("quillmar: one program file at a time\n", stderr);
        return 1;
    }
    std::optional<double> virtual_speed;
    if (parser.isSet(virtual_speed_option)) {
        bool number = false;
        virtual_speed = parser.value(virtual_speed_option).toDouble(&number);
        if (!number || !(*virtual_speed >= 0.1 && *virtual_speed <= 10.0) ||
            !parser.isSet(virtual_arm_option)) {
            std::fputs(
                "quillmar: --virtual-arm-speed takes a factor from 0.1 to 10, with "
                "--virtual-arm\n",
                stderr);
            return 1;
        }
    }

    // Made before the windows and gone after them, so their last commands still reach the bus.
    quillmar::ArmRuntime runtime(parser.isSet(virtual_arm_option), virtual_speed);
    quillmar::ArmSession& session = runtime.session();
    const bool virtual_arm = runtime.virtual_arm();
    const quillmar::ArmSource source = runtime.source();
    quillmar::QtFileDialogs dialogs;
    quillmar::Robot robot(session, dialogs);
    dialogs.set_parent(&robot);
    QSettings* const settings = runtime.settings();
    quillmar::ArmWindow arm_window(session, source);
    // Only the real arm's window remembers whether it was shown; the virtual arm always shows.
    quillmar::ArmWindowKeeper arm_window_keeper(robot, arm_window,
                                                virtual_arm ? nullptr : settings);
    for (const quillmar::ArmTool& tool : quillmar::arm_tools(
             arm_window.client(), {settings, runtime.settings_group()},
             [&robot] { return robot.program_text(); }, [&robot] { return robot.program_cursor(); },
             source == quillmar::ArmSource::commands_sent, runtime.true_arm())) {
        arm_window.add_tool(tool.title, tool.widget);
    }
#ifdef QUILLMAR_GAMEPAD
    quillmar::Gamepad gamepad;
    quillmar::GamepadDrive gamepad_drive(gamepad, session,
                                         [&robot] { return robot.program_text(); });
    connect_gamepad(gamepad, gamepad_drive, arm_window, settings);
#endif

    if (const auto started = robot.start_up(); !started) {
        QMessageBox::critical(nullptr, QStringLiteral("Quillmar"),
                              runtime.start_failure(started.error()));
        return 1;
    }
    // Scripts drive the arm through the local interface unless the option or the setting
    // "server=false" turns it off. Without a runtime folder (a login that gave none, as su's) the
    // window runs without it and says nothing: only `quillmar serve` asks for it outright.
    std::unique_ptr<quillmar::ArmServer> server;
    if (!parser.isSet(no_server_option) && !quillmar::default_socket_path().isEmpty() &&
        (!settings || settings->value(QStringLiteral("server"), true).toBool())) {
        server = std::make_unique<quillmar::ArmServer>(session);
        if (const QString why = server->listen(quillmar::default_socket_path()); !why.isEmpty()) {
            std::fputs(qPrintable(QStringLiteral("quillmar: no local interface: ") + why + u'\n'),
                       stderr);
            server.reset();
        } else {
            QObject::connect(server.get(), &quillmar::ArmServer::driver_changed, &arm_window,
                             &quillmar::ArmWindow::show_driver);
        }
    }
    // The blocks page is a client of the local interface, so it is served only beside it.
    auto* blocks = new quillmar::BlocksBox(
        session, [&robot] { return robot.program_text(); }, [&server] { return server.get(); },
        &arm_window);
    arm_window.add_tool(QStringLiteral("Blocks"), blocks);
    // The poses the arm window's Go to knows, as saved when the page asks.
    blocks->set_poses([&runtime] { return runtime.named_poses(); });
    if (!files.isEmpty()) {
        robot.files().load_from(quillmar::file_argument(files.front(), argc, argv));
    }

    // Until here a signal ends the program at once, as by default: nothing has moved the arm yet,
    // and nothing of the start waits for the event loop that would take the signal. From here on
    // a signal closes the window, whose shutdown switches the arm off.
    quillmar::SignalBridge signals_to_close;
    QObject::connect(&signals_to_close, &quillmar::SignalBridge::termination_requested, &robot,
                     &QWidget::close);

    robot.show();
    arm_window_keeper.start(virtual_arm || parser.isSet(arm_window_option));
    const int code = QApplication::exec();
    // Closed, also by a signal, with a stop the arm never took: whoever started it must know.
    if (session.left_running()) {
        std::fputs("quillmar: the arm did not take the stop command: switch it off\n", stderr);
        return 1;
    }
    return code;
}
