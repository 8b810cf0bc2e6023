#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <memory>

#include "motion/event_pacer.h"
#include "qt_file_dialogs.h"
#include "robot.h"
#include "signal_bridge.h"
#include "usb/libusb_bus.h"
#include "virtualarm/virtual_arm.h"

namespace {

// --help and --version answer before the window system is reached, so they work without a
// display. Other options wait for QApplication, which first takes its own (-platform, ...).
void answer_help_and_version(int argc, char* argv[], QCommandLineParser& parser) {
    QCoreApplication core(argc, argv);
    parser.parse(QCoreApplication::arguments());
    if (parser.isSet(QStringLiteral("help"))) {
        parser.showHelp(0);
    }
    if (parser.isSet(QStringLiteral("version"))) {
        parser.showVersion();
    }
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
    answer_help_and_version(argc, argv, parser);

    QApplication app(argc, argv);
    parser.process(app);

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

    robot.show();
    if (virtual_arm) {
        virtual_arm->window().show_beside(robot);
    }
    return QApplication::exec();
}
