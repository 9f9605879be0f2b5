// The library's clocks. Wall-clock time stamps have millisecond resolution;
// deadlines of condition waits use the monotonic clock so that a change of
// the system time neither shortens nor stretches a wait.
#pragma once

#include <sys/time.h>
#include <chrono>
#include <cstdint>

namespace vz {

// Seconds since the epoch and microseconds (milliseconds x 1000). Never fails.
void gettimeofday(struct timeval *tv);

// Milliseconds of the wall clock, as one number.
int64_t wall_ms();

using mono_clock = std::chrono::steady_clock;

// The monotonic instant timeout_ms from now.
inline mono_clock::time_point deadline_after_ms(int64_t timeout_ms) {
    return mono_clock::now() + std::chrono::milliseconds(timeout_ms);
}

// Microseconds of the monotonic clock (for measuring durations).
inline int64_t mono_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               mono_clock::now().time_since_epoch())
        .count();
}

// Sleeps the calling thread for ms milliseconds.
void sleep_ms(uint32_t ms);

// The kernel id of the calling thread.
uint32_t thread_id();

}  // namespace vz
