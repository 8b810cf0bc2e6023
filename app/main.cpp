#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>

#include "armlink/libusb_access.h"
#include "manual/event_pacer.h"
#include "qt_file_dialogs.h"
#include "robot.h"
#include "signal_bridge.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quillmar"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLMAR_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Drives a five-motor robot arm over USB."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);

    quillmar::LibusbAccess usb;
    quillmar::EventPacer pacer;
    quillmar::QtFileDialogs dialogs;
    quillmar::Robot robot(usb, pacer, dialogs);
    dialogs.set_parent(&robot);

    if (const int failure = robot.start_up(); failure != 0) {
        QMessageBox::critical(nullptr, QStringLiteral("Quillmar"),
                              QStringLiteral("The USB library could not be started (error %1).\n%2")
                                  .arg(failure)
                                  .arg(usb.init_error_text()));
        return 1;
    }

    quillmar::SignalBridge signals_to_close;
    QObject::connect(&signals_to_close, &quillmar::SignalBridge::termination_requested, &robot,
                     &QWidget::close);
    QObject::connect(&robot, &quillmar::Robot::closed, &app, &QCoreApplication::quit);
    robot.show();
    return QApplication::exec();
}
