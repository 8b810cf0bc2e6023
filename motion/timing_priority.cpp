#include "timing_priority.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <algorithm>
#include <optional>

#include <sched.h>
#include <sys/prctl.h>
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

// The kernel otherwise wakes a sleep up to 50 us late to gather wake-ups; it sets the default
// again whenever the thread leaves real time.
void exact_timer_slack() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

TimingPriority raise() {
    exact_timer_slack();
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

namespace {

// The policy of an exact span and of the rest; threads started meanwhile start normal.
bool set_real_time(bool on) {
    const sched_param priority{on ? sched_get_priority_min(SCHED_RR) : 0};
    return sched_setscheduler(0, (on ? SCHED_RR : SCHED_OTHER) | SCHED_RESET_ON_FORK, &priority) ==
           0;
}

thread_local bool in_exact_span = false;

}  // namespace

bool exact_spans_allowed() {
    // Tried once: going back to the normal policy is always allowed, and keeps the nice level.
    thread_local const bool allowed = set_real_time(true) && set_real_time(false);
    return allowed;
}

void begin_exact_span() {
    if (!in_exact_span && exact_spans_allowed()) {
        in_exact_span = set_real_time(true);
    }
}

void end_exact_span() {
    if (in_exact_span) {
        set_real_time(false);
        in_exact_span = false;
    }
}

}  // namespace quillmar
