// The clock and the wait between two tries of a stop command that the arm did not take.
#pragma once

namespace quillmar {

class RetryWait {
  public:
    virtual ~RetryWait() = default;

    // Seconds on a monotonic clock: never steps back, never wraps at midnight.
    virtual double now() const = 0;

    // Lets `seconds` pass with the window's events running. Neither Stop nor closing the window
    // cuts it short: the all off of closing is tried again in it.
    virtual void wait_to_retry(double seconds) = 0;

    // Around a command's transfer, whose moment decides how long a motor runs: where the system
    // allows it, the thread is woken on time meanwhile however busy the machine is.
    virtual void begin_exact() {}
    virtual void end_exact() {}
};

}  // namespace quillmar
