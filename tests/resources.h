// Process resources that a fault or a replug must not leave behind: open
// descriptors and threads, counted from /proc/self.
#pragma once

#include <dirent.h>

#include <chrono>

namespace vzt {

// Bound of the waits for what another thread does: generous, since a wait
// ends as soon as its condition holds and the machine may be loaded.
constexpr std::chrono::milliseconds kPatience{30000};

inline int dir_entries(const char *path) {
    int n = 0;
    if (DIR *d = opendir(path)) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

inline int fd_count() { return dir_entries("/proc/self/fd"); }
inline int thread_count() { return dir_entries("/proc/self/task"); }

}  // namespace vzt
