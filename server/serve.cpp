#include "serve.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>

#include "arm_server.h"
#include "motion/event_pacer.h"
#include "session/arm_bus.h"
#include "session/signal_bridge.h"

namespace quillmar {

namespace {

void say(const QString& line) {
    std::fputs(qPrintable(QStringLiteral("quillmar: ") + line + u'\n'), stderr);
}

}  // namespace

int serve(bool virtual_arm, const AlsoServe& also) {
    // Nothing may suspend the process with a motor running: not Ctrl+Z, nor a terminal that stops
    // a background process that writes or reads.
    for (const int number : {SIGTSTP, SIGTTOU, SIGTTIN}) {
        std::signal(number, SIG_IGN);
    }
    EventPacer pacer;
    ArmBus bus(virtual_arm, pacer);
    ArmSession session(bus.usb(), pacer, bus.source(), bus.presence());
    if (bus.virtual_arm()) {
        session.model().follow(*bus.virtual_arm());
    }
    if (const auto started = session.start_up(); !started) {
        say(QStringLiteral("the USB library could not be started (error %1). %2")
                .arg(error_code(started.error()))
                .arg(bus.init_error_text()));
        return 1;
    }
    ArmServer server(session);
    const QString path = default_socket_path();
    if (const QString why = server.listen(path); !why.isEmpty()) {
        say(QStringLiteral("not serving: ") + why);
        return 1;
    }
    say(QStringLiteral("serving at ") + path);
    std::unique_ptr<QObject> beside;
    if (also && !(beside = also(session, server))) {
        return 1;
    }

    // A signal lets the arm go, as closing the window does.
    SignalBridge signals_to_close;
    QObject::connect(&signals_to_close, &SignalBridge::termination_requested, &session, [&session] {
        session.shut_down();
        QCoreApplication::quit();
    });
    const int code = QCoreApplication::exec();
    session.shut_down();
    if (session.left_running()) {
        say(QStringLiteral("the arm did not take the stop command: switch it off"));
        return 1;
    }
    return code;
}

}  // namespace quillmar
