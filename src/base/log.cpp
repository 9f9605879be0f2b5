// Leveled logging to the console and one log file.
//
// Levels are atomics so that event threads may log while the application
// changes them; the file handle is guarded by a mutex so that closing it can
// never race a write in progress (a line's two writes also stay together).
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <mutex>
#include <string>

#include "base/clock.h"
#include "base/firewall.h"

namespace {

constexpr uint32_t kChannels = 3;
std::atomic<uint32_t> g_level[kChannels] = {3, 1, 5};

std::mutex g_file_mu;
FILE *g_file = nullptr;   // guarded by g_file_mu
std::string g_file_path;  // guarded by g_file_mu

void format_stamp(char (&buf)[48]) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    localtime_r(&ts.tv_sec, &tm);
    snprintf(buf, sizeof buf, "%04u/%02u/%02u %02u:%02u:%02u.%03u[%u]", unsigned(tm.tm_year + 1900),
             unsigned(tm.tm_mon + 1), unsigned(tm.tm_mday), unsigned(tm.tm_hour),
             unsigned(tm.tm_min), unsigned(tm.tm_sec), unsigned(ts.tv_nsec / 1000000),
             vz::thread_id());
}

// Opens path for appending; the caller holds g_file_mu and no file is open.
int open_file_locked(const char *path) {
    g_file = fopen(path, "ab");
    if (!g_file) {
        fprintf(stderr, "cannot open file %s for write\n", path);
        g_file_path.clear();
        return 0;
    }
    g_file_path = path;
    return 1;
}

int close_file_locked() {
    if (!g_file) return 0;
    int rc = fclose(g_file);
    g_file = nullptr;
    g_file_path.clear();
    return rc;
}

}  // namespace

namespace vz::log {
uint32_t level(uint32_t channel) {
    return channel < kChannels ? g_level[channel].load(std::memory_order_relaxed) : 5;
}
bool wants(uint32_t level) {
    return level >= g_level[0].load(std::memory_order_relaxed) ||
           level >= g_level[1].load(std::memory_order_relaxed);
}
const char *file_path() {
    std::lock_guard lk(g_file_mu);
    static thread_local std::string copy;
    copy = g_file_path;
    return copy.c_str();
}
}  // namespace vz::log

extern "C" {

VZ_API void vz_log(uint32_t level, const char *tag, const char *fmt, ...) noexcept {
    const bool to_console = level >= g_level[0].load(std::memory_order_relaxed);
    const bool to_file = level >= g_level[1].load(std::memory_order_relaxed);
    if ((!to_console && !to_file) || !fmt) return;
    if (!tag) tag = "";

    char stamp[48];
    format_stamp(stamp);
    va_list ap;
    if (to_console) {
        va_start(ap, fmt);
        printf("%s[%s] ", stamp, tag);
        vprintf(fmt, ap);
        va_end(ap);
    }
    if (!to_file) return;
    // The log cannot report its own failures: a lock that cannot be taken
    // loses the file line.
    try {
        std::lock_guard lk(g_file_mu);
        if (g_file) {
            va_start(ap, fmt);
            fprintf(g_file, "%s[%s] ", stamp, tag);
            vfprintf(g_file, fmt, ap);
            fflush(g_file);
            va_end(ap);
        }
    } catch (...) {}
}

VZ_API int vz_log_enable(uint32_t channel, int level, const char *path) noexcept {
    return vz::entry(__func__, 0, [&] {
        if (channel >= kChannels) return 0;
        g_level[channel].store(uint32_t(level), std::memory_order_relaxed);
        if (channel != VZ_LOG_CH_FILE) return 1;

        std::lock_guard lk(g_file_mu);
        if (!path) return g_file ? 1 : open_file_locked("vz.log");
        if (g_file && g_file_path == path) return 1;
        close_file_locked();
        return open_file_locked(path);
    });
}

VZ_API int vz_log_disable(void) noexcept {
    return vz::entry(__func__, 0, [] {
        for (auto &l : g_level) l.store(5, std::memory_order_relaxed);
        std::lock_guard lk(g_file_mu);
        return close_file_locked();
    });
}

}  // extern "C"
