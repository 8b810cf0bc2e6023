// A raised scheduling priority for the thread that times the arm's movements.
#pragma once

namespace quillmar {

enum class TimingPriority {
    raised,           // the thread may raise its own priority (root, RLIMIT_NICE, CAP_SYS_NICE)
    raised_by_rtkit,  // the desktop's RealtimeKit raised it, as it does for audio programs
    unchanged,        // neither is allowed here
};

// Raises the calling thread to a nice level of -10 where the system allows it: by itself, else
// through RealtimeKit on the system bus, else it stays as it was. A busy machine then wakes it
// on time to end a movement, while a thread at a nice level, unlike a real-time one, can never
// starve the desktop. Threads that it starts later start at the normal level. Only the first
// call in a thread tries; each later one gives what it did.
TimingPriority raise_timing_priority();

// Runs the calling thread at the lowest real-time priority (SCHED_RR) until end_exact_span(),
// where the system allows it (RLIMIT_RTPRIO, CAP_SYS_NICE): for the last stretch of sleep before
// a movement's deadline, up to its command's transfer, a few milliseconds, so that a busy machine
// never delays the command, while everything else the thread does stays at its nice level.
// Elsewhere both do nothing. RealtimeKit grants real time only for good, so it is not asked.
void begin_exact_span();
void end_exact_span();
// Whether begin_exact_span() raises this thread.
bool exact_spans_allowed();

}  // namespace quillmar
