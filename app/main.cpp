#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QMessageBox>
#include <cstdio>
#include <memory>

#include "motion/event_pacer.h"
#include "qt_file_dialogs.h"
#include "robot.h"
#include "signal_bridge.h"
#include "usb/libusb_bus.h"
#include "virtualarm/virtual_arm.h"

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

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication::setApplicationName(QStringLiteral("quillmar"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLMAR_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Drives a five-motor robot arm over USB."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption virtual_arm_option(
        QStringLiteral("virtual-arm"),
        QStringLiteral("Drive a virtual arm on an emulated USB bus instead of the real bus."));
    parser.addOption(virtual_arm_option);
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

    quillmar::EventPacer pacer;
    // Made before the window and gone after it, so the window's last commands still reach it.
    std::unique_ptr<quillmar::VirtualArm> virtual_arm;
    std::unique_ptr<quillmar::LibusbBus> libusb;
    if (parser.isSet(virtual_arm_option)) {
        virtual_arm = std::make_unique<quillmar::VirtualArm>([&pacer] { return pacer.now(); });
    } else {
        libusb = std::make_unique<quillmar::LibusbBus>();
    }
    quillmar::UsbBus& usb = virtual_arm ? virtual_arm->usb() : *libusb;
    quillmar::QtFileDialogs dialogs;
    quillmar::Robot robot(usb, pacer, dialogs);
    dialogs.set_parent(&robot);

    // Watching from before the arm is attached: a signal always ends in the shutdown that
    // switches the arm off.
    quillmar::SignalBridge signals_to_close;
    QObject::connect(&signals_to_close, &quillmar::SignalBridge::termination_requested, &robot,
                     &QWidget::close);
    QObject::connect(&robot, &quillmar::Robot::closed, &app, &QCoreApplication::quit);

    if (const auto started = robot.start_up(); !started) {
        QMessageBox::critical(nullptr, QStringLiteral("Quillmar"),
                              QStringLiteral("The USB library could not be started (error %1).\n%2")
                                  .arg(quillmar::error_code(started.error()))
                                  .arg(libusb ? libusb->init_error_text() : QString()));
        return 1;
    }
    if (!files.isEmpty()) {
        // Absolute, so that the file dialogs later open beside it, wherever the program started.
        robot.files().load_from(QFileInfo(files.front()).absoluteFilePath());
    }

    robot.show();
    if (virtual_arm) {
        virtual_arm->window().show_beside(robot);
    }
    return QApplication::exec();
}
