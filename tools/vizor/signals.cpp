// Signal handling of the tool: see signals.h. The handler only touches
// lock-free atomics and calls write(2) and _exit(2), which are safe there.
#include "signals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace vztool {

namespace {

enum Mode : int { kImmediate = 0, kStoppable = 1, kProtected = 2 };

std::atomic<int> g_mode{kImmediate};
std::atomic<int> g_pending{0};
std::atomic<bool> g_told{false};
std::atomic<const char *> g_what{""};

void put(const char *s) {
    const ssize_t r = ::write(STDERR_FILENO, s, std::strlen(s));
    (void)r;
}

void on_signal(int sig) {
    int expected = 0;
    const bool first = g_pending.compare_exchange_strong(expected, sig);
    switch (g_mode.load()) {
    case kProtected:
        if (!g_told.exchange(true)) {
            put("\nvizor: ");
            put(g_what.load());
            put(" is under way and is not interrupted, so that the flash stays consistent; "
                "the tool stops when it is done\n");
        }
        return;
    case kStoppable:
        if (first) return;
        put("\nvizor: stopped at once (second signal); the last file may be cut\n");
        _exit(signal_exit_code());
    // The first signal's code: a later one may land as the tool leaves because of it.
    default: _exit(signal_exit_code());
    }
}

}  // namespace

void install_signal_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int pending_signal() { return g_pending.load(); }
int signal_exit_code() {
    const int s = g_pending.load();
    return s ? 128 + s : 0;
}
const char *signal_name(int sig) {
    return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "a signal";
}

StoppablePhase::StoppablePhase() {
    int expected = kImmediate;
    g_mode.compare_exchange_strong(expected, kStoppable);
}
StoppablePhase::~StoppablePhase() {
    int expected = kStoppable;
    g_mode.compare_exchange_strong(expected, kImmediate);
}

ProtectedPhase::ProtectedPhase(const char *what) : saved_(g_mode.load()) {
    if (saved_ != kProtected) g_what.store(what);
    g_mode.store(kProtected);
}
ProtectedPhase::~ProtectedPhase() { g_mode.store(saved_); }

}  // namespace vztool
