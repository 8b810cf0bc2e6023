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

    // Just before a command's transfer, whose moment decides how long a motor runs: a wait that
    // kept the thread at a real-time priority to send it on time ends that here. The transfer
    // runs at the thread's own level: a request from a real-time thread reached an emulated arm
    // 0.3 ms later, as the device's side was woken on another, idle processor.
    virtual void end_exact() {}
};

}  // namespace quillmar
