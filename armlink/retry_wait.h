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
};

}  // namespace quillmar
