#include "signal_bridge.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>

#include <QSocketNotifier>

namespace quillmar {

namespace {

// Ctrl+\ (SIGQUIT) too: by default it ends the program at once, with a motor left running.
constexpr std::array handled_signals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// [0] is written by the handler, [1] read by the event loop.
int bridge_sockets[2] = {-1, -1};
// The handler's end while a bridge lives, else -1; lock-free, so the handler may read it.
std::atomic<int> handler_end{-1};
static_assert(std::atomic<int>::is_always_lock_free);

// Only async-signal-safe work here: one byte down the socket.
extern "C" void on_signal(int number) {
    const auto byte = static_cast<char>(number);
    if (const int end = handler_end.load(); end >= 0) {
        [[maybe_unused]] const auto written = ::write(end, &byte, 1);
    }
}

}  // namespace

SignalBridge::SignalBridge(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, bridge_sockets) != 0) {
        qWarning("Cannot watch for termination signals: no socket pair");
        return;
    }
    handler_end = bridge_sockets[0];
    notifier = new QSocketNotifier(bridge_sockets[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalBridge::drain);

    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : handled_signals) {
        ::sigaction(number, &action, nullptr);
    }
}

SignalBridge::~SignalBridge() {
    if (notifier == nullptr) {
        return;
    }
    // The handler stays and drops what comes now: a second Ctrl+C as the program ends would
    // otherwise end it by the signal, not with the exit status the first one chose. A program
    // started later takes the default action again, as exec resets a caught signal.
    handler_end = -1;
    delete notifier;
    ::close(bridge_sockets[0]);
    ::close(bridge_sockets[1]);
    bridge_sockets[0] = bridge_sockets[1] = -1;
}

void SignalBridge::drain() {
    std::array<char, 64> bytes{};
    char last = 0;
    for (ssize_t got = 0; (got = ::read(bridge_sockets[1], bytes.data(), bytes.size())) > 0;) {
        last = bytes.at(static_cast<std::size_t>(got - 1));
    }
    emit termination_requested(last);
}

}  // namespace quillmar
