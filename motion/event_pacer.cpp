#include "event_pacer.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <thread>

#include <time.h>

#include "timing_priority.h"

namespace quillmar {

namespace {

// The nested loop sleeps until this much before the deadline, and the thread then sleeps on the
// kernel's high-resolution clock for the rest: Qt's timers wake to the millisecond at best, and
// the length of a movement is the arm's only position control. The window does not answer in
// that last stretch of 2 to 3 ms, which is shorter than a frame.
constexpr double final_sleep = 0.002;
// Events woken for in a wait's last stretch run in its exact span when less than this is left.
constexpr double level_margin = 0.015;
// Precise timers wake about 0.1 % of their interval late, so a long wait sleeps at most half of
// what is left at a time and the lateness never reaches the deadline.
constexpr double longest_single_sleep = 0.1;

// Sleeps until `deadline` on the steady clock (CLOCK_MONOTONIC), or until a signal comes.
void sleep_until(double deadline) {
    timespec until{};
    until.tv_sec = static_cast<time_t>(deadline);
    until.tv_nsec = static_cast<long>((deadline - static_cast<double>(until.tv_sec)) * 1e9);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

}  // namespace

EventPacer::EventPacer() {
    raise_timing_priority();
}

double EventPacer::now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void EventPacer::wait(double start, double seconds, const std::function<bool()>& done_early) {
    while (!is_cancelled && !done_early()) {
        const double left = start + seconds - now();
        if (left <= 0) {
            return;
        }
        const double sleep = left > longest_single_sleep ? left / 2 : left - final_sleep;
        if (sleep < 0.001) {
            // The command that ends the wait ends the span as its transfer goes; a wait that no
            // command follows ends it as the events next run.
            begin_exact();
            QTimer::singleShot(0, [] { end_exact_span(); });
            sleep_until(start + seconds);
            continue;
        }
        QEventLoop loop;
        QTimer timer;
        timer.setTimerType(Qt::PreciseTimer);
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(static_cast<int>(sleep * 1000.0));
        // The stretch before the final sleep: the thread sleeps in it in an exact span, so that a
        // busy machine wakes it on time, and runs the events it wakes for at its own level while
        // there is time: a thread let down to its level on a busy core may wait a whole time
        // slice to run again. Qt tells of the wake only after the events it woke for.
        QMetaObject::Connection blocking;
        QMetaObject::Connection woken;
        if (left <= longest_single_sleep) {
            auto* dispatcher = QAbstractEventDispatcher::instance();
            blocking = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock,
                                        [this] { begin_exact(); });
            woken = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake,
                                     [this, deadline = start + seconds] {
                                         if (deadline - now() > level_margin) {
                                             end_exact();
                                         }
                                     });
        }
        loops.push_back(&loop);
        loop.exec();
        loops.erase(std::find(loops.begin(), loops.end(), &loop));
        QObject::disconnect(blocking);
        QObject::disconnect(woken);
    }
}

void EventPacer::pause(double start, std::chrono::milliseconds duration,
                       const std::function<bool()>& done_early) {
    wait(start, std::chrono::duration<double>(duration).count(), done_early);
}

void EventPacer::wait_to_retry(double seconds) {
    const double end = now() + seconds;
    // Not among the waits that wake() and cancel() end: a Stop or a close inside it must not
    // make the tries of a stop come faster.
    QEventLoop loop;
    QTimer::singleShot(std::max(1, static_cast<int>(std::lround(seconds * 1000.0))),
                       Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    // A quitting application runs no further event loop; the rest of the time passes asleep
    // rather than in a spin.
    if (const double left = end - now(); left > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(left));
    }
}

void EventPacer::begin_exact() {
    begin_exact_span();
}

void EventPacer::end_exact() {
    end_exact_span();
}

void EventPacer::run_pending_events() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void EventPacer::wake() {
    for (QEventLoop* loop : loops) {
        loop->quit();
    }
}

void EventPacer::cancel() {
    is_cancelled = true;
    wake();
}

}  // namespace quillmar
