// The clock and the waits of jogs and program steps, behind one interface so tests can run them
// in virtual time.
#pragma once

#include <chrono>
#include <functional>

#include "armlink/retry_wait.h"

namespace quillmar {

// now() is the clock of every wait, from RetryWait.
class Pacer : public RetryWait {
  public:
    // Runs window events until `seconds` have passed since `start` or `done_early()` holds.
    // Both are tested before any event runs, so an elapsed wait runs none. Handlers may run
    // nested inside, and may start waits of their own.
    virtual void wait(double start, double seconds, const std::function<bool()>& done_early) = 0;

    // As wait(): the pause between two program steps, during which the window answers.
    virtual void pause(double start, std::chrono::milliseconds duration,
                       const std::function<bool()>& done_early) = 0;
    // The same from now.
    void pause(std::chrono::milliseconds duration, const std::function<bool()>& done_early) {
        pause(now(), duration, done_early);
    }

    // Runs the window events that are pending now, then returns.
    virtual void run_pending_events() = 0;

    // Makes every wait under way test its condition again now (a Stop was asked for).
    virtual void wake() = 0;

    // The window is closing: every wait under way ends now, and later ones return at once.
    virtual void cancel() = 0;
    virtual bool cancelled() const = 0;
};

}  // namespace quillmar
