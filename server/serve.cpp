#include "serve.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>

#include "arm_server.h"
#include "session/arm_runtime.h"
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
    ArmRuntime runtime(virtual_arm);
    ArmSession& session = runtime.session();
    if (const auto failed = runtime.start_up()) {
        say(QString(*failed).replace(u'\n', u' '));
        return 1;
    }
    // Not responding is a state every front end shows: here, a line when it begins and ends. An
    // arm pulled out or released first never took the stop; closing says so on its own.
    QObject::connect(&session, &ArmSession::state_changed, &session,
                     [&session, was = false](ArmSession::State state) mutable {
                         const bool now = state == ArmSession::State::not_responding;
                         if (now != was && state != ArmSession::State::shutting_down) {
                             say(now ? QStringLiteral("not responding: a motor may be running")
                                 : session.left_running()
                                     ? QStringLiteral("the arm went before it took the "
                                                      "stop command: switch it off")
                                     : QStringLiteral("the arm took the stop command"));
                         }
                         was = now;
                     });
    ArmServer server(session);
    const QString path = default_socket_path();
    if (const QString why = server.listen(path); !why.isEmpty()) {
        say(QStringLiteral("not serving: ") + why);
        return 1;
    }
    say(QStringLiteral("serving at ") + path);
    std::unique_ptr<QObject> beside;
    if (also && !(beside = also(runtime, server))) {
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
