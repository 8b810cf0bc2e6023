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

}  // namespace quillmar
