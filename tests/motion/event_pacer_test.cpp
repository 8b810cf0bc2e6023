#include <QTest>
#include <QTimer>
#include <ctime>
#include <thread>

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "motion/event_pacer.h"
#include "motion/timing_priority.h"

using namespace quillmar;

namespace {

bool real_time() {
    return (sched_getscheduler(0) & ~SCHED_RESET_ON_FORK) == SCHED_RR;
}

int nice_level() {
    return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
}

double process_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

auto never = [] { return false; };

// A loaded test machine can wake a process late; the exact figures are measured separately.
constexpr double late_allowance = 0.030;

}  // namespace

class EventPacerTest : public QObject {
    Q_OBJECT
  private slots:
    void wait_lasts_its_time_data();
    void wait_lasts_its_time();
    void wait_leaves_the_processor_idle();
    void events_run_during_a_wait();
    void an_elapsed_wait_runs_no_events();
    void wake_lets_a_wait_end_early();
    void cancel_ends_waits_for_good();
    void nested_wait_finishes_first();
    void retry_wait_runs_events_and_outlasts_a_cancel();
    void only_the_timing_thread_is_raised();
    void real_time_only_in_an_exact_span();
};

void EventPacerTest::wait_lasts_its_time_data() {
    QTest::addColumn<double>("seconds");
    QTest::newRow("jog") << 0.1;
    QTest::newRow("short step") << 0.01;
    QTest::newRow("longer step") << 0.35;
}

void EventPacerTest::wait_lasts_its_time() {
    QFETCH(double, seconds);
    EventPacer pacer;
    const double start = pacer.now();
    pacer.wait(start, seconds, never);
    const double elapsed = pacer.now() - start;
    QVERIFY2(elapsed >= seconds, qPrintable(QString::number(elapsed)));
    QVERIFY2(elapsed < seconds + late_allowance, qPrintable(QString::number(elapsed)));
}

void EventPacerTest::wait_leaves_the_processor_idle() {
    EventPacer pacer;
    const double cpu_before = process_seconds();
    pacer.wait(pacer.now(), 0.5, never);
    const double cpu = process_seconds() - cpu_before;
    QVERIFY2(cpu < 0.5 * 0.05, qPrintable(QString::number(cpu)));
}

void EventPacerTest::events_run_during_a_wait() {
    EventPacer pacer;
    double fired_at = 0;
    const double start = pacer.now();
    QTimer::singleShot(20, [&] { fired_at = pacer.now(); });
    pacer.wait(start, 0.1, never);
    QVERIFY(fired_at > start);
    QVERIFY(fired_at < start + 0.1);
}

void EventPacerTest::an_elapsed_wait_runs_no_events() {
    EventPacer pacer;
    bool fired = false;
    QTimer::singleShot(0, [&] { fired = true; });
    pacer.wait(pacer.now() - 1.0, 0.1, never);
    QVERIFY(!fired);
    QCoreApplication::processEvents();
    QVERIFY(fired);
}

void EventPacerTest::wake_lets_a_wait_end_early() {
    EventPacer pacer;
    bool stop = false;
    const double start = pacer.now();
    QTimer::singleShot(30, [&] {
        stop = true;
        pacer.wake();
    });
    pacer.wait(start, 5.0, [&] { return stop; });
    QVERIFY(pacer.now() - start < 0.03 + late_allowance);
}

void EventPacerTest::cancel_ends_waits_for_good() {
    EventPacer pacer;
    const double start = pacer.now();
    QTimer::singleShot(30, [&] { pacer.cancel(); });
    pacer.wait(start, 5.0, never);
    QVERIFY(pacer.now() - start < 0.03 + late_allowance);
    QVERIFY(pacer.cancelled());
    const double again = pacer.now();
    pacer.wait(again, 5.0, never);
    QVERIFY(pacer.now() - again < 0.01);
}

void EventPacerTest::nested_wait_finishes_first() {
    EventPacer pacer;
    double inner_end = 0;
    const double start = pacer.now();
    QTimer::singleShot(20, [&] {
        pacer.wait(pacer.now(), 0.1, never);
        inner_end = pacer.now();
    });
    pacer.wait(start, 0.05, never);
    QVERIFY(inner_end > 0);
    QVERIFY(pacer.now() >= inner_end);
    QVERIFY(pacer.now() - start >= 0.12);
}

void EventPacerTest::retry_wait_runs_events_and_outlasts_a_cancel() {
    EventPacer pacer;
    bool fired = false;
    QTimer::singleShot(5, [&] {
        fired = true;
        pacer.cancel();
    });
    const double start = pacer.now();
    pacer.wait_to_retry(0.05);
    QVERIFY(fired);
    QVERIFY(pacer.now() - start >= 0.05);
    QVERIFY(pacer.now() - start < 0.05 + late_allowance);
}

// The pacer's thread runs ahead of ordinary programs where it may; a worker it starts, such as
// the preview's, does not.
void EventPacerTest::only_the_timing_thread_is_raised() {
    const EventPacer pacer;
    if (raise_timing_priority() == TimingPriority::unchanged) {
        QSKIP("this machine allows no raised priority");
    }
    QVERIFY(nice_level() < 0);
    int worker = -100;
    std::thread([&] { worker = nice_level(); }).join();
    QCOMPARE(worker, 0);
}

// Real time, where allowed, only from the last stretch of a wait to the command's transfer: never
// for a worker started meanwhile, and over as the events next run when no command follows.
void EventPacerTest::real_time_only_in_an_exact_span() {
    EventPacer pacer;
    if (!exact_spans_allowed()) {
        QSKIP("this machine allows no real-time priority");
    }
    const int nice_before = nice_level();
    QVERIFY(!real_time());
    pacer.begin_exact();
    QVERIFY(real_time());
    bool worker_real_time = true;
    std::thread([&] { worker_real_time = real_time(); }).join();
    QVERIFY(!worker_real_time);
    pacer.end_exact();
    QVERIFY(!real_time());
    QCOMPARE(nice_level(), nice_before);

    pacer.wait(pacer.now(), 0.01, never);
    QVERIFY(real_time());
    QCoreApplication::processEvents();
    QVERIFY(!real_time());
    QCOMPARE(nice_level(), nice_before);
}

QTEST_GUILESS_MAIN(EventPacerTest)
#include "event_pacer_test.moc"
