// How long the window stays busy when the largest program file that loads is checked by Run
// Program: the check pass itself, and the pass with its message lines reaching the pane.
#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>

#include "app/qt_file_dialogs.h"
#include "app/robot.h"
#include "armlink/arm_device.h"
#include "motion/event_pacer.h"
#include "programs/program_check.h"
#include "session/arm_client.h"
#include "usb/emulated_bus.h"

using namespace quillmar;

namespace {

// Whole lines of `line` and LF up to the 1 MiB that a program file may hold.
QString largest_program(const QString& line) {
    const QString one = line + QLatin1Char('\n');
    return one.repeated((1024 * 1024) / one.size());
}

void measure(ArmSession& session, Robot& robot, const char* what, const QString& text) {
    robot.set_program_text(text);
    QElapsedTimer timer;
    timer.start();
    const CheckedProgram checked = check_program(robot.program_text());
    const double check_ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    timer.restart();
    // The arm is let go as the first step begins, so the run ends after it and this is the check
    // pass with its lines shown.
    ArmClient(session, ClientKind::main_window, QStringLiteral("bench"))
        .run(robot.program_text(), Direction::forwards);
    const double run_ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    std::printf("%-22s %7lld lines: check pass %7.1f ms, Run Program with its lines %8.1f ms\n",
                what, static_cast<long long>(checked.messages.size()), check_ms, run_ms);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    EventPacer pacer;
    EmulatedBus usb([&] { return pacer.now(); }, hub_and_arm());
    ArmSession session(usb, pacer, ArmSource::commands_sent);
    QtFileDialogs dialogs;
    Robot robot(session, dialogs);
    ArmClient releaser(session, ClientKind::main_window, QStringLiteral("releaser"));
    QObject::connect(&session, &ArmSession::step_started, &releaser, [&] { releaser.release(); });
    robot.start_up();
    robot.show();
    measure(session, robot, "1 MiB of empty lines", largest_program(QString()));
    measure(session, robot, "1 MiB of \"1,100\" lines", largest_program(QStringLiteral("1,100")));
    return 0;
}
