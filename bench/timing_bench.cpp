// How exactly the arm's movements last where the arm receives them: an arm emulated behind the
// real libusb (umockdev), each transfer stamped as the emulated device takes it. Jogs, program
// steps and the pauses between them, a script's timed move, and how soon a released button or
// key reaches the arm as its stop; beside them, in the same run, a plain libusb client's transfer
// latency and its own start-sleep-stop error. Once on a quiet machine, once with both cores
// busy (stress-ng). Not a test: a loaded machine moves these figures.
//   timing_bench [quiet|busy]  (both when none is given)
#include <libusb.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <thread>
#include <vector>

#include "armlink/arm_device.h"
#include "armlink/arm_ids.h"
#include "motion/event_pacer.h"
#include "session/arm_client.h"
#include "session/arm_session.h"
#include "umockdev/umockdev_bus.h"
#include "usb/libusb_bus.h"

using namespace quillmar;
using namespace quillmar::testing;

namespace {

constexpr int trials = 40;

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
    double median = 0;
};

Figures report(const char* what, std::vector<double> values) {
    if (values.empty()) {
        std::printf("  %-34s none\n", what);
        return {};
    }
    std::sort(values.begin(), values.end());
    const auto at = [&](double share) {
        return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) +
                                               0.5)];
    };
    std::printf(
        "  %-34s n=%-3zu min %+7.3f  median %+7.3f  p90 %+7.3f  p99 %+7.3f  max %+7.3f ms\n", what,
        values.size(), values.front(), at(0.5), at(0.9), at(0.99), values.back());
    std::fflush(stdout);
    return {at(0.5)};
}

// A plain libusb client at the normal priority: each command's latency from just before its
// transfer to the arm, and its own movements of 0.1 s timed by an exact sleep from just before the
// start command.
void plain_client(UmockdevBus& bus) {
    libusb_context* context = nullptr;
    libusb_init(&context);
    libusb_device_handle* arm =
        libusb_open_device_with_vid_pid(context, arm_vendor_id, arm_product_id);
    if (arm == nullptr) {
        std::printf("  plain client: no arm\n");
        libusb_exit(context);
        return;
    }
    libusb_claim_interface(arm, 0);
    bus.clear_requests();
    std::vector<double> asked_at;
    for (int i = 0; i < trials; ++i) {
        unsigned char start[3] = {static_cast<unsigned char>(i % 2 ? 2 : 1), 0, 0};
        unsigned char stop[3] = {0, 0, 0};
        const double t0 = now_seconds();
        asked_at.push_back(t0);
        libusb_control_transfer(arm, 0x40, 6, 0x100, 0, start, 3, 20);
        const double until = t0 + 0.1;
        const timespec deadline{
            static_cast<time_t>(until),
            static_cast<long>((until - static_cast<double>(static_cast<time_t>(until))) * 1e9)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        asked_at.push_back(now_seconds());
        libusb_control_transfer(arm, 0x40, 6, 0x100, 0, stop, 3, 20);
        const double idle = now_seconds() + 0.03;
        const timespec rest{
            static_cast<time_t>(idle),
            static_cast<long>((idle - static_cast<double>(static_cast<time_t>(idle))) * 1e9)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &rest, nullptr);
    }
    std::vector<double> latency;
    const auto sent = bus.vendor_transfers();
    for (std::size_t i = 0; i < sent.size() && i < asked_at.size(); ++i) {
        latency.push_back((sent[i].time - asked_at[i]) * 1000.0);
    }
    report("plain client: transfer latency", latency);
    report("plain client: 0.1 s, sleep timed", errors_at_arm(bus, 0.1));
    libusb_release_interface(arm, 0);
    libusb_close(arm);
    libusb_exit(context);
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

void quillmar_movements(UmockdevBus& bus, EventPacer& pacer, ArmClient& hand, ArmClient& script) {
    bus.clear_requests();
    for (int i = 0; i < trials; ++i) {
        hand.jog(1 + i % 2);
        run_for(20);
    }
    report("jog, 0.1 s", errors_at_arm(bus, 0.1));

    bus.clear_requests();
    hand.run(QStringLiteral("1,10\r\n2,10\r\n").repeated(trials / 2 + 1), Direction::forwards);
    report("program step, 0.1 s", errors_at_arm(bus, 0.1));
    report("pause between steps, 0.5 s", errors_at_arm(bus, 0.5, true));

    bus.clear_requests();
    for (int i = 0; i < trials; ++i) {
        script.hold_for(1 + i % 2, 0.15);
        run_for(20);
    }
    report("script's move, 0.15 s", errors_at_arm(bus, 0.15));

    // Let go at a moment unrelated to the pacer's own sleeps.
    const auto held = [&](const std::function<void(int)>& begin,
                          const std::function<void(int)>& end) {
        bus.clear_requests();
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
    report("held button: release to stop",
           held([&](int n) { hand.hold(n); }, [&](int) { hand.let_go(); }));
    report("key: release to stop",
           held([&](int n) { hand.press_key(n); }, [&](int n) { hand.release_key(n); }));

    bus.clear_requests();
    const double cpu_before = process_seconds();
    const double wall_before = pacer.now();
    hand.run(QStringLiteral("10,300"), Direction::forwards);
    const double cpu = process_seconds() - cpu_before;
    const double wall = pacer.now() - wall_before;
    report("program step, 3 s", errors_at_arm(bus, 3.0));
    std::printf("  processor time during the 3 s step: %.2f ms (%.3f %% of a core)\n", cpu * 1000.0,
                100.0 * cpu / wall);
}

void measure(const char* phase, UmockdevBus& bus, EventPacer& pacer, ArmSession& session) {
    ArmClient hand(session, ClientKind::main_window, QStringLiteral("bench"));
    ArmClient script(session, ClientKind::script, QStringLiteral("script"));
    std::printf("%s:\n", phase);
    // On a thread of its own, which starts at the normal priority as a plain program would.
    std::thread plain(plain_client, std::ref(bus));
    plain.join();
    hand.attach();
    if (!session.attached()) {
        std::printf("  the session did not attach the arm\n");
        return;
    }
    quillmar_movements(bus, pacer, hand, script);
    hand.release();
}

}  // namespace

int main(int argc, char* argv[]) {
    run_under_umockdev(argv);
    QCoreApplication app(argc, argv);
    UmockdevBus bus;
    bus.plug(root_hub_model());
    bus.plug(arm_device_model());
    LibusbBus usb;
    EventPacer pacer;
    ArmSession session(usb, pacer, ArmSource::commands_sent);
    session.set_soft_limits(false);
    QObject::connect(&session, &ArmSession::error_line,
                     [](const QString& line) { std::fprintf(stderr, "%s\n", qPrintable(line)); });
    // Attached at start-up, as the window does; each phase attaches again after the plain client.
    session.start_up();
    ArmClient(session, ClientKind::main_window, QStringLiteral("start")).release();
    std::printf("the timing thread's nice level: %d\n",
                getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))));

    const QString only = argc >= 2 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (only.isEmpty() || only == QStringLiteral("quiet")) {
        measure("quiet", bus, pacer, session);
    }
    if (only.isEmpty() || only == QStringLiteral("busy")) {
        QProcess stress;
        stress.start(QStringLiteral("stress-ng"),
                     {QStringLiteral("--cpu"), QStringLiteral("2"), QStringLiteral("--quiet")});
        if (!stress.waitForStarted()) {
            std::printf("busy: stress-ng did not start\n");
            return 1;
        }
        run_for(1000);
        measure("both cores busy (stress-ng --cpu 2)", bus, pacer, session);
        stress.terminate();
        stress.waitForFinished();
    }
    session.shut_down();
    return 0;
}
