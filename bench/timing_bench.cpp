// How exactly the arm's movements last where the arm receives them: an arm emulated behind the
// real libusb (umockdev), each transfer stamped as the emulated device takes it. Jogs, program
// steps and the pauses between them, a script's timed move, and how soon a released button or
// key reaches the arm as its stop; beside them, in the same run, a plain libusb client's transfer
// latency and its own start-sleep-stop error, measured just before each kind of movement; then
// what Quillmar adds to the plain client's latency at each share (median, p90, p99, max). Once on
// a quiet machine, once with both cores busy (stress-ng), and once more busy with the emulated
// arm's thread at real-time priority where allowed, as a real arm's answers come from the kernel
// (its thread otherwise waits for a core as the program's stop reaches it). Not a test: a loaded
// machine moves these figures.
// "policies" compares ways of scheduling the timing thread with both cores busy, each twice in
// turn: as the pacer sets it, without its real-time spans, at nice 0, and with the kernel's
// default timer slack. "idle" times the plain client's latency after idles of 5 ms to 3 s.
//   timing_bench [quiet|busy|both|policies|idle] [movements of each kind, 40 when not given]
#include <libusb.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <span>
#include <thread>
#include <vector>

#include "armlink/arm_device.h"
#include "armlink/arm_ids.h"
#include "motion/event_pacer.h"
#include "motion/timing_priority.h"
#include "session/arm_client.h"
#include "session/arm_session.h"
#include "umockdev/timed_libusb_bus.h"
#include "umockdev/umockdev_bus.h"

using namespace quillmar;
using namespace quillmar::testing;

namespace {

int trials = 40;

double now_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double process_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void run_for(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool is_start(const DeviceRequest& request) {
    return request.data.size() == 3 && (request.data[0] != 0 || request.data[1] != 0);
}

// In milliseconds, what the arm saw beyond `asked`: from each start command to the stop after
// it, or with `pauses` from each stop to the start after it.
std::vector<double> errors_at_arm(const UmockdevBus& bus, double asked, bool pauses = false) {
    std::vector<double> errors;
    const auto sent = bus.vendor_transfers();
    for (std::size_t i = 0; i + 1 < sent.size(); ++i) {
        if (pauses ? !is_start(sent[i]) && is_start(sent[i + 1])
                   : is_start(sent[i]) && !is_start(sent[i + 1])) {
            errors.push_back((sent[i + 1].time - sent[i].time - asked) * 1000.0);
        }
    }
    return errors;
}

struct Figures {
    bool any = false;
    double median = 0;
    double p90 = 0;
    double p99 = 0;
    double max = 0;
};

Figures report(const char* what, std::vector<double> values) {
    if (values.empty()) {
        std::printf("  %-36s none\n", what);
        return {};
    }
    std::sort(values.begin(), values.end());
    const auto at = [&](double share) {
        return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) +
                                               0.5)];
    };
    std::printf(
        "  %-36s n=%-3zu min %+7.3f  median %+7.3f  p90 %+7.3f  p99 %+7.3f  max %+7.3f ms\n", what,
        values.size(), values.front(), at(0.5), at(0.9), at(0.99), values.back());
    std::fflush(stdout);
    return {true, at(0.5), at(0.9), at(0.99), values.back()};
}

// What Quillmar's error adds to the plain client's transfer latency, share by share: the part of
// the tail that is Quillmar's own.
void compare(const Figures& quillmar, const Figures& plain) {
    if (!quillmar.any || !plain.any) {
        return;
    }
    std::printf("  %-36s        median %+7.3f  p90 %+7.3f  p99 %+7.3f  max %+7.3f ms\n",
                "  Quillmar minus plain latency", quillmar.median - plain.median,
                quillmar.p90 - plain.p90, quillmar.p99 - plain.p99, quillmar.max - plain.max);
    std::fflush(stdout);
}

// Sleeps until `deadline` on the steady clock, as the plain client does.
void sleep_until(double deadline) {
    const timespec until{
        static_cast<time_t>(deadline),
        static_cast<long>((deadline - static_cast<double>(static_cast<time_t>(deadline))) * 1e9)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

// The arm as a plain libusb client opens it, in a context of its own.
class PlainArm {
  public:
    PlainArm() {
        libusb_init(&context);
        arm = libusb_open_device_with_vid_pid(context, arm_vendor_id, arm_product_id);
        if (arm != nullptr) {
            libusb_claim_interface(arm, 0);
        } else {
            std::printf("  plain client: no arm\n");
        }
    }
    ~PlainArm() {
        if (arm != nullptr) {
            libusb_release_interface(arm, 0);
            libusb_close(arm);
        }
        libusb_exit(context);
    }
    PlainArm(const PlainArm&) = delete;
    PlainArm& operator=(const PlainArm&) = delete;
    explicit operator bool() const { return arm != nullptr; }
    void send(unsigned char motor) {
        unsigned char bytes[3] = {motor, 0, 0};
        libusb_control_transfer(arm, 0x40, 6, 0x100, 0, bytes, 3, 20);
    }

  private:
    libusb_context* context = nullptr;
    libusb_device_handle* arm = nullptr;
};

// In milliseconds, from each moment in `asked_at` to the arm's receiving the command sent then.
std::vector<double> latency_at_arm(const UmockdevBus& bus, const std::vector<double>& asked_at) {
    std::vector<double> latency;
    const auto sent = bus.vendor_transfers();
    for (std::size_t i = 0; i < sent.size() && i < asked_at.size(); ++i) {
        latency.push_back((sent[i].time - asked_at[i]) * 1000.0);
    }
    return latency;
}

// A plain libusb client at the normal priority: each command's latency from just before its
// transfer to the arm, and its own movements of 0.1 s timed by an exact sleep from just before the
// start command.
Figures plain_client(UmockdevBus& bus) {
    PlainArm arm;
    if (!arm) {
        return {};
    }
    bus.clear_requests();
    std::vector<double> asked_at;
    for (int i = 0; i < trials; ++i) {
        const double start = now_seconds();
        asked_at.push_back(start);
        arm.send(i % 2 ? 2 : 1);
        sleep_until(start + 0.1);
        asked_at.push_back(now_seconds());
        arm.send(0);
        sleep_until(now_seconds() + 0.03);
    }
    const Figures figures = report("plain client: transfer latency", latency_at_arm(bus, asked_at));
    report("plain client: 0.1 s, sleep timed", errors_at_arm(bus, 0.1));
    return figures;
}

// The plain client's latency after the arm has been left alone for a while: the emulated arm's
// way grows with it, so that a start after a pause and the stop after a step differ in it.
void plain_after_idle(UmockdevBus& bus) {
    PlainArm arm;
    if (!arm) {
        return;
    }
    for (const double idle : {0.005, 0.02, 0.1, 0.5, 1.0, 3.0}) {
        bus.clear_requests();
        std::vector<double> asked_at;
        for (int i = 0; i < (idle > 0.5 ? 4 : 20); ++i) {
            sleep_until(now_seconds() + idle);
            asked_at.push_back(now_seconds());
            arm.send(0);
        }
        char what[64];
        std::snprintf(what, sizeof what, "plain client after %.3f s idle", idle);
        report(what, latency_at_arm(bus, asked_at));
    }
}

// Where a command's transfer spends its time, starts and stops apart: from asked to the arm, from
// its submitting to the arm (the way that a start's and a stop's must match), and from the arm
// to the transfer's return.
void transfer_parts(const UmockdevBus& bus, const TimedLibusbBus& usb) {
    const auto sent = bus.vendor_transfers();
    if (sent.size() != usb.calls.size()) {
        return;
    }
    std::vector<double> to_arm[2];
    std::vector<double> way[2];
    std::vector<double> back[2];
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const int stop = is_start(sent[i]) ? 0 : 1;
        to_arm[stop].push_back((sent[i].time - usb.calls[i].asked) * 1000.0);
        way[stop].push_back((sent[i].time - usb.calls[i].submitted) * 1000.0);
        back[stop].push_back((usb.calls[i].returned - sent[i].time) * 1000.0);
    }
    report("  starts: asked to the arm", to_arm[0]);
    report("  starts: submitted to the arm", way[0]);
    report("  stops: submitted to the arm", way[1]);
    report("  starts: the arm to returned", back[0]);
    report("  stops: asked to the arm", to_arm[1]);
}

// Where a pause's time goes: from the stop's transfer returning to the next start being asked
// for, beyond 0.5 s.
void pause_parts(const UmockdevBus& bus, const TimedLibusbBus& usb) {
    const auto sent = bus.vendor_transfers();
    if (sent.size() != usb.calls.size()) {
        return;
    }
    std::vector<double> asked;
    for (std::size_t i = 0; i + 1 < sent.size(); ++i) {
        if (!is_start(sent[i]) && is_start(sent[i + 1])) {
            asked.push_back((usb.calls[i + 1].asked - usb.calls[i].returned - 0.5) * 1000.0);
        }
    }
    report("  stop returned to start asked", asked);
}

// Seconds from each release to the stop the arm received after it.
std::vector<double> release_latency(const UmockdevBus& bus, const std::vector<double>& released) {
    std::vector<double> latency;
    std::size_t next = 0;
    for (const auto& request : bus.vendor_transfers()) {
        if (!is_start(request) && next < released.size() && request.time >= released[next]) {
            latency.push_back((request.time - released[next]) * 1000.0);
            ++next;
        }
    }
    return latency;
}

// How late the pacer wakes after a wait of 50 ms, beside a plain thread's exact sleep.
void waits_alone(EventPacer& pacer) {
    std::vector<double> late;
    for (int i = 0; i < 2 * trials; ++i) {
        const double start = pacer.now();
        pacer.wait(start, 0.05, [] { return false; });
        late.push_back((pacer.now() - start - 0.05) * 1000.0);
    }
    std::vector<double> plain_late;
    std::thread plain([&] {
        for (int i = 0; i < 2 * trials; ++i) {
            const double until = now_seconds() + 0.05;
            sleep_until(until);
            plain_late.push_back((now_seconds() - until) * 1000.0);
        }
    });
    plain.join();
    compare(report("pacer's wait, 50 ms: late by", late),
            report("plain thread's sleep: late by", plain_late));
}

// Jogs of motors 1 and 2 in turn: their error at the arm beside the plain client's latency, and
// where their transfers' time goes.
void jogs(const UmockdevBus& bus, TimedLibusbBus& usb, ArmClient& hand, const Figures& latency) {
    usb.calls.clear();
    for (int i = 0; i < trials; ++i) {
        hand.jog(1 + i % 2);
        run_for(20);
    }
    compare(report("jog, 0.1 s", errors_at_arm(bus, 0.1)), latency);
    transfer_parts(bus, usb);
}

// Each kind of movement just after a batch of the plain client's, which runs on a thread of its
// own at the normal priority, as a plain program would, while the session has let the arm go.
void quillmar_movements(UmockdevBus& bus, TimedLibusbBus& usb, EventPacer& pacer, ArmClient& hand,
                        ArmClient& script) {
    const auto plain = [&] {
        hand.release();
        Figures figures;
        std::thread client([&] { figures = plain_client(bus); });
        client.join();
        hand.attach();
        bus.clear_requests();
        return figures;
    };

    Figures latency = plain();
    jogs(bus, usb, hand, latency);

    latency = plain();
    usb.calls.clear();
    hand.run(QStringLiteral("1,10\r\n2,10\r\n").repeated(trials / 2 + 1), Direction::forwards);
    compare(report("program step, 0.1 s", errors_at_arm(bus, 0.1)), latency);
    compare(report("pause between steps, 0.5 s", errors_at_arm(bus, 0.5, true)), latency);
    pause_parts(bus, usb);
    transfer_parts(bus, usb);

    latency = plain();
    for (int i = 0; i < trials; ++i) {
        script.hold_for(1 + i % 2, 0.15);
        run_for(20);
    }
    compare(report("script's move, 0.15 s", errors_at_arm(bus, 0.15)), latency);

    // Let go at a moment unrelated to the pacer's own sleeps.
    const auto held = [&](const std::function<void(int)>& begin,
                          const std::function<void(int)>& end) {
        std::vector<double> released;
        for (int i = 0; i < trials; ++i) {
            const int number = 1 + i % 2;
            QTimer::singleShot(150 + i % 7, Qt::PreciseTimer, [&, number] {
                released.push_back(pacer.now());
                end(number);
            });
            begin(number);
            run_for(20);
        }
        return release_latency(bus, released);
    };
    latency = plain();
    compare(report("held button: release to stop",
                   held([&](int n) { hand.hold(n); }, [&](int) { hand.let_go(); })),
            latency);
    latency = plain();
    compare(report("key: release to stop",
                   held([&](int n) { hand.press_key(n); }, [&](int n) { hand.release_key(n); })),
            latency);

    latency = plain();
    const double cpu_before = process_seconds();
    const double wall_before = pacer.now();
    hand.run(QStringLiteral("10,300"), Direction::forwards);
    const double cpu = process_seconds() - cpu_before;
    const double wall = pacer.now() - wall_before;
    compare(report("program step, 3 s", errors_at_arm(bus, 3.0)), latency);
    std::printf("  processor time during the 3 s step: %.2f ms (%.3f %% of a core)\n", cpu * 1000.0,
                100.0 * cpu / wall);
}

void measure(const char* phase, UmockdevBus& bus, TimedLibusbBus& usb, EventPacer& pacer,
             ArmSession& session) {
    ArmClient hand(session, ClientKind::main_window, QStringLiteral("bench"));
    ArmClient script(session, ClientKind::script, QStringLiteral("script"));
    std::printf("%s:\n", phase);
    hand.attach();
    if (!session.attached()) {
        std::printf("  the session did not attach the arm\n");
        return;
    }
    waits_alone(pacer);
    quillmar_movements(bus, usb, pacer, hand, script);
    hand.release();
}

// The pacer, with its exact spans switched off at will.
class BenchPacer : public EventPacer {
  public:
    bool spans = true;
    void begin_exact() override {
        if (spans) {
            EventPacer::begin_exact();
        }
    }
};

struct Policy {
    const char* name;
    int nice;
    bool spans;
    unsigned long slack_ns;  // 0: the thread's default
};

constexpr Policy policies[] = {
    {"as built: nice -10, SCHED_RR spans to the command, 1 ns slack", -10, true, 1},
    {"nice -10, no spans, 1 ns slack", -10, false, 1},
    {"nice 0, no spans, 1 ns slack", 0, false, 1},
    {"nice -10, no spans, default 50 us slack", -10, false, 0},
};

void apply(const Policy& policy, BenchPacer& pacer) {
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), policy.nice);
    prctl(PR_SET_TIMERSLACK, policy.slack_ns, 0UL, 0UL, 0UL);
    pacer.spans = policy.spans;
}

// The quick kinds under each policy in turn, twice, all under one load.
void compare_policies(UmockdevBus& bus, TimedLibusbBus& usb, BenchPacer& pacer,
                      ArmSession& session) {
    ArmClient hand(session, ClientKind::main_window, QStringLiteral("bench"));
    for (int round = 0; round < 2; ++round) {
        for (const Policy& policy : policies) {
            apply(policy, pacer);
            std::printf("%s (round %d): nice %d, slack %d ns\n", policy.name, round + 1,
                        getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))),
                        prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL));
            Figures latency;
            std::thread client([&] { latency = plain_client(bus); });
            client.join();
            waits_alone(pacer);
            hand.attach();
            bus.clear_requests();
            jogs(bus, usb, hand, latency);
            hand.release();
        }
    }
    apply(policies[0], pacer);
}

}  // namespace

int main(int argc, char* argv[]) {
    run_under_umockdev(argv);
    QCoreApplication app(argc, argv);
    UmockdevBus bus(hub_and_arm());
    TimedLibusbBus usb;
    BenchPacer pacer;
    ArmSession session(usb, pacer, ArmSource::commands_sent);
    session.set_soft_limits(false);
    QObject::connect(&session, &ArmSession::error_line,
                     [](const QString& line) { std::fprintf(stderr, "%s\n", qPrintable(line)); });
    // Attached at start-up, as the window does; each phase attaches again after the plain client.
    session.start_up();
    ArmClient(session, ClientKind::main_window, QStringLiteral("start")).release();
    std::printf("the timing thread's nice level: %d, timer slack %d ns, SCHED_RR spans %s\n",
                getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))),
                prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL),
                exact_spans_allowed() ? "allowed" : "not allowed");

    const QString only = argc >= 2 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("both");
    if (argc >= 3) {
        trials = std::max(2, QString::fromLocal8Bit(argv[2]).toInt());
    }
    if (only == QStringLiteral("idle")) {
        plain_after_idle(bus);
    }
    if (only == QStringLiteral("both") || only == QStringLiteral("quiet")) {
        measure("quiet", bus, usb, pacer, session);
    }
    if (only == QStringLiteral("both") || only == QStringLiteral("busy") ||
        only == QStringLiteral("policies")) {
        QProcess stress;
        stress.start(QStringLiteral("stress-ng"),
                     {QStringLiteral("--cpu"), QStringLiteral("2"), QStringLiteral("--quiet")});
        if (!stress.waitForStarted()) {
            std::printf("busy: stress-ng did not start\n");
            return 1;
        }
        run_for(1000);
        if (only == QStringLiteral("policies")) {
            std::printf("the emulated arm answers in real time: %s\n",
                        bus.answer_in_real_time() ? "yes" : "no");
            compare_policies(bus, usb, pacer, session);
        } else {
            measure("both cores busy (stress-ng --cpu 2)", bus, usb, pacer, session);
            if (bus.answer_in_real_time()) {
                measure("both cores busy, the emulated arm answering in real time", bus, usb, pacer,
                        session);
            }
        }
        stress.terminate();
        stress.waitForFinished();
    }
    session.shut_down();
    return 0;
}
