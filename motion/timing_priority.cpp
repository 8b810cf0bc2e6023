#include "timing_priority.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <algorithm>
#include <optional>

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillmar {

namespace {

// As audio programs ask: enough to be woken ahead of ordinary programs on a busy machine.
constexpr int timing_nice_level = -10;

const QString rtkit_service = QStringLiteral("org.freedesktop.RealtimeKit1");
const QString rtkit_path = QStringLiteral("/org/freedesktop/RealtimeKit1");
constexpr int rtkit_timeout_ms = 500;

// The highest priority RealtimeKit grants (a nice level), when it answers.
std::optional<int> rtkit_min_nice_level(const QDBusConnection& bus) {
    QDBusMessage get = QDBusMessage::createMethodCall(
        rtkit_service, rtkit_path, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << rtkit_service << QStringLiteral("MinNiceLevel");
    const QDBusMessage reply = bus.call(get, QDBus::Block, rtkit_timeout_ms);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return std::nullopt;
    }
    bool ok = false;
    const int level = reply.arguments().first().value<QDBusVariant>().variant().toInt(&ok);
    return ok ? std::optional(level) : std::nullopt;
}

bool raise_by_rtkit(pid_t thread) {
    const QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        return false;
    }
    const std::optional<int> lowest = rtkit_min_nice_level(bus);
    if (!lowest) {
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(rtkit_service, rtkit_path, rtkit_service,
                                                       QStringLiteral("MakeThreadHighPriority"));
    call << static_cast<quint64>(thread) << std::max(timing_nice_level, *lowest);
    return bus.call(call, QDBus::Block, rtkit_timeout_ms).type() == QDBusMessage::ReplyMessage;
}

TimingPriority raise() {
    const auto thread = static_cast<pid_t>(syscall(SYS_gettid));
    // Workers, and the threads of the libraries, keep the normal level (allowed to anyone).
    const sched_param normal{};
    sched_setscheduler(0, SCHED_OTHER | SCHED_RESET_ON_FORK, &normal);
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(thread), timing_nice_level) == 0) {
        return TimingPriority::raised;
    }
    return raise_by_rtkit(thread) ? TimingPriority::raised_by_rtkit : TimingPriority::unchanged;
}

}  // namespace

TimingPriority raise_timing_priority() {
    thread_local const TimingPriority done = raise();
    return done;
}

}  // namespace quillmar
