// Virtual time for jogs and runs: waits finish at once, and actions scheduled at a virtual time
// run inside the wait that spans it, as a click would.
#pragma once

#include <cmath>
#include <functional>
#include <limits>
#include <map>

#include "motion/pacer.h"

namespace quillmar::testing {

class FakePacer : public Pacer {
  public:
    // Runs `action` inside whichever wait (or pending-event run) first reaches `time`.
    void at(double time, std::function<void()> action) { actions.emplace(time, std::move(action)); }

    double now() const override { return time; }

    void wait(double start, double seconds, const std::function<bool()>& done_early) override {
        pass(start, seconds, [&] { return is_cancelled || done_early(); });
    }

    using Pacer::pause;
    // `slept` adds up the pauses as they ran, each from its start.
    void pause(double start, std::chrono::milliseconds duration,
               const std::function<bool()>& done_early) override {
        wait(start, std::chrono::duration<double>(duration).count(), done_early);
        slept += std::chrono::round<std::chrono::milliseconds>(
            std::chrono::duration<double>(time - start));
    }

    void wait_to_retry(double seconds) override {
        pass(time, seconds, [] { return false; });
    }

    void run_pending_events() override {
        while (!actions.empty() && actions.begin()->first <= time) {
            auto action = std::move(actions.begin()->second);
            actions.erase(actions.begin());
            action();
        }
    }

    void wake() override { ++wakes; }
    void cancel() override { is_cancelled = true; }
    bool cancelled() const override { return is_cancelled; }

    double time = 1000.0;
    std::chrono::milliseconds slept{0};
    int wakes = 0;

  private:
    // Virtual time runs on to `start` + `seconds`, running the actions due on the way, unless
    // `done()` holds first.
    void pass(double start, double seconds, const std::function<bool()>& done) {
        while (now() - start < seconds && !done()) {
            auto next = actions.begin();
            if (next != actions.end() && next->first <= start + seconds) {
                time = std::max(time, next->first);
                auto action = std::move(next->second);
                actions.erase(next);
                action();
                continue;
            }
            time = start + seconds;
            while (time - start < seconds) {
                time = std::nextafter(time, std::numeric_limits<double>::infinity());
            }
        }
    }

    std::multimap<double, std::function<void()>> actions;
    bool is_cancelled = false;
};

}  // namespace quillmar::testing
