// Waits that keep the window alive: a nested event loop woken by a timer, then a short exact
// sleep, never a spin.
#pragma once

#include <vector>

#include "pacer.h"

class QEventLoop;

namespace quillmar {

class EventPacer : public Pacer {
  public:
    // The thread that builds it does the waits: its priority is raised where allowed.
    EventPacer();

    double now() const override;
    void wait(double start, double seconds, const std::function<bool()>& done_early) override;
    using Pacer::pause;
    void pause(double start, std::chrono::milliseconds duration,
               const std::function<bool()>& done_early) override;
    void wait_to_retry(double seconds) override;
    // The thread at a real-time priority until end_exact(), where allowed.
    virtual void begin_exact();
    void end_exact() override;
    void run_pending_events() override;
    void wake() override;
    void cancel() override;
    bool cancelled() const override { return is_cancelled; }

  private:
    std::vector<QEventLoop*> loops;  // the waits under way, innermost last
    bool is_cancelled = false;
};

}  // namespace quillmar
