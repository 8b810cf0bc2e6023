// How exactly jogs, program steps and the pauses between them time the arm's movements, how a
// stop the arm does not take is tried again, and what the waits cost in processor time. Not a test:
// a loaded machine moves these figures.
#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

#include "armlink/arm_device.h"
#include "motion/event_pacer.h"
#include "motion/pacer.h"
#include "programs/program_runner.h"
#include "usb/emulated_bus.h"

using namespace quillmar;

namespace {

// A window that shows nothing but failed transfers.
class SilentWindow : public ArmReports {
  public:
    void show_message(const QString&) override {}
    void show_error(const QString& text) override {
        std::fprintf(stderr, "%s\n", qPrintable(text));
    }
    void set_light_indicator(bool) override {}
};

double process_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

bool starts(const EmulatedBus::Transfer& transfer) {
    return transfer.data[0] != 0 || transfer.data[1] != 0;
}

// On-time errors in milliseconds: each start command to the stop that follows it, or with
// `pauses` each stop to the start that follows it.
std::vector<double> on_time_errors(const EmulatedBus& usb, double asked, bool pauses = false) {
    std::vector<double> errors;
    const auto& transfers = usb.transfers();
    for (std::size_t i = 0; i + 1 < transfers.size(); ++i) {
        if (pauses ? !starts(transfers[i]) && starts(transfers[i + 1]) : starts(transfers[i])) {
            errors.push_back((transfers[i + 1].time - transfers[i].time - asked) * 1000.0);
        }
    }
    return errors;
}

// The naive wait, for comparison: it polls the clock as fast as it can and runs the window's
// events between two polls.
class BusyPollPacer : public EventPacer {
  public:
    void wait(double start, double seconds, const std::function<bool()>& done_early) override {
        while (!cancelled() && !done_early() && now() - start < seconds) {
            run_pending_events();
        }
    }
};

struct Figures {
    double median_ms;
    double max_ms;
    double processor_share;  // of one core, during a 5 s step
};

Figures report(const char* what, std::vector<double> errors) {
    std::sort(errors.begin(), errors.end());
    const auto at = [&](double share) {
        return errors[static_cast<std::size_t>(share * static_cast<double>(errors.size() - 1))];
    };
    std::printf("  %-26s n=%-3zu min %+.3f  median %+.3f  p90 %+.3f  max %+.3f ms\n", what,
                errors.size(), errors.front(), at(0.5), at(0.9), errors.back());
    return {at(0.5), errors.back(), 0.0};
}

// Jogs, short program steps and one long step, timed at the emulated arm.
Figures measure(Pacer& pacer) {
    EmulatedBus usb([&] { return pacer.now(); }, hub_and_arm());
    SilentWindow window;
    ArmLight light;
    ArmLink link(usb, window, pacer, light);
    ManualControl manual(link, pacer);
    ProgramRunner runner(link, manual, window, pacer);
    link.attach_arm();

    usb.clear_logs();
    for (int i = 0; i < 50; ++i) {
        manual.jog(1 + i % 10);
    }
    Figures figures = report("jog, 0.1 s", on_time_errors(usb, 0.1));

    usb.clear_logs();
    runner.run_program(QStringLiteral("1,25\r\n2,25\r\n").repeated(10), Direction::forwards);
    report("program step, 0.25 s", on_time_errors(usb, 0.25));
    report("pause between steps, 0.5 s", on_time_errors(usb, 0.5, true));

    // A stop the arm never takes: how its tries are spaced, and when they end.
    usb.clear_logs();
    usb.fail_next_transfers(1'000'000, error_code(UsbError::io));
    link.send_stop(stop_command(0));
    usb.fail_next_transfers(0, 0);
    std::vector<double> spacing;
    for (std::size_t i = 1; i < usb.transfers().size(); ++i) {
        spacing.push_back(
            (usb.transfers()[i].time - usb.transfers()[i - 1].time - ArmLink::stop_retry_seconds) *
            1000.0);
    }
    report("stop tried again, 0.02 s", spacing);
    std::printf("  %zu tries in %.3f s\n", usb.transfers().size(),
                usb.transfers().back().time - usb.transfers().front().time);

    usb.clear_logs();
    const double cpu_before = process_seconds();
    const double wall_before = pacer.now();
    runner.run_program(QStringLiteral("10,500"), Direction::forwards);
    const double cpu = process_seconds() - cpu_before;
    const double wall = pacer.now() - wall_before;
    report("program step, 5 s", on_time_errors(usb, 5.0));
    figures.processor_share = cpu / wall;
    std::printf("  processor time during the 5 s step: %.1f ms of %.3f s (%.2f %%)\n", cpu * 1000.0,
                wall, 100.0 * figures.processor_share);
    return figures;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    std::printf("the program's waits (a timer-woken event loop, a short poll at the end):\n");
    EventPacer waits;
    const Figures real = measure(waits);
    std::printf("baseline, a busy poll of the clock:\n");
    BusyPollPacer busy;
    const Figures baseline = measure(busy);
    std::printf(
        "ratio, busy poll to the program's waits: processor %.0fx, median jog error "
        "%.2fx, largest jog error %.2fx\n",
        baseline.processor_share / real.processor_share, baseline.median_ms / real.median_ms,
        baseline.max_ms / real.max_ms);
    return 0;
}
