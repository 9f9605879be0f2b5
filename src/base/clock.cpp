// The library clock: millisecond wall-clock stamps, millisecond sleeps and
// the calling thread's kernel id.
#include "base/clock.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <thread>

namespace vz {

void gettimeofday(struct timeval *tv) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = (ts.tv_nsec / 1000000) * 1000;
}

int64_t wall_ms() {
    struct timeval tv;
    gettimeofday(&tv);
    return int64_t(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

void sleep_ms(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint32_t thread_id() {
    static thread_local uint32_t tid = uint32_t(syscall(SYS_gettid));
    return tid;
}

}  // namespace vz
