// Calls of any exported C function with hostile arguments, and rows that run
// in a process of their own.
//
// sweep(fn) calls fn six times (once without parameters), every argument
// drawn from its type: pointers
// NULL, integers 0, -1, INT_MIN, INT_MAX, 65536 and 7 (converted to the
// parameter's type, so unsigned ones see their maximum), reals 0, -1, NaN,
// +-infinity and 1e300, records zero-filled. A row passes when it returns
// true in a child process within its bound: a crash, a sanitizer report or
// a hang fails it, and no row sees what another left in the library's
// module-wide state or files.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

namespace vzt {

template <typename T>
T hostile(int k) {
    if constexpr (std::is_pointer_v<T>) {
        return nullptr;
    } else if constexpr (std::is_floating_point_v<T>) {
        const double v[] = {0, -1, NAN, INFINITY, -INFINITY, 1e300};
        return static_cast<T>(v[k]);
    } else if constexpr (std::is_enum_v<T>) {
        return static_cast<T>(k & 1);
    } else if constexpr (std::is_integral_v<T>) {
        const long long v[] = {0, -1, INT_MIN, INT_MAX, 65536, 7};
        return static_cast<T>(v[k]);
    } else {
        return T{};
    }
}

template <typename R, typename... A>
bool sweep(R (*fn)(A...)) {
    // A call without parameters has one form only.
    for (int k = 0; k < (sizeof...(A) == 0 ? 1 : 6); ++k) {
        if constexpr (std::is_void_v<R>)
            fn(hostile<A>(k)...);
        else
            (void)fn(hostile<A>(k)...);
    }
    return true;
}

// The same with only the argument sets `ks` (indices 0..5 as above), for
// calls that compute for seconds under the sanitizers.
template <typename R, typename... A>
bool sweep_some(R (*fn)(A...) noexcept, std::initializer_list<int> ks) {
    for (int k : ks) {
        if constexpr (std::is_void_v<R>)
            fn(hostile<A>(k)...);
        else
            (void)fn(hostile<A>(k)...);
    }
    return true;
}

template <typename R, typename... A>
bool sweep(R (*fn)(A...) noexcept) {
    return sweep<R, A...>(static_cast<R (*)(A...)>(fn));
}

struct Row {
    const char *name;
    std::function<bool()> fails;  // true: the documented failure value (or survival)
};

// How a row ended in its child process.
enum class Outcome { passed, wrong_value, crashed, timed_out };

inline Outcome outcome_of(int status) {
    if (WIFSIGNALED(status))
        return WTERMSIG(status) == SIGALRM ? Outcome::timed_out : Outcome::crashed;
    if (WEXITSTATUS(status) == 3) return Outcome::wrong_value;
    return WEXITSTATUS(status) == 0 ? Outcome::passed : Outcome::crashed;
}

// Runs every row in a child process of its own, in a sub-folder of its own
// ("row<i>" of the working folder), at most `parallel` at a time (most rows
// that take long wait out a device time-out rather than compute).
inline std::vector<Outcome> run_all(const std::vector<Row> &rows, unsigned seconds,
                                    size_t parallel) {
    std::vector<Outcome> out(rows.size(), Outcome::crashed);
    std::map<pid_t, size_t> running;
    size_t next = 0;
    while (next < rows.size() || !running.empty()) {
        while (next < rows.size() && running.size() < parallel) {
            const std::string dir = "row" + std::to_string(next);
            mkdir(dir.c_str(), 0700);
            const pid_t pid = fork();
            if (pid == 0) {
                alarm(seconds);
                if (chdir(dir.c_str()) != 0) _exit(4);
                _exit(rows[next].fails() ? 0 : 3);
            }
            if (pid > 0) running[pid] = next;
            ++next;
        }
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) break;
        if (auto it = running.find(pid); it != running.end()) {
            out[it->second] = outcome_of(status);
            running.erase(it);
        }
    }
    return out;
}

inline const char *outcome_name(Outcome o) {
    switch (o) {
    case Outcome::passed: return "passed";
    case Outcome::wrong_value: return "returned something else than its failure value";
    case Outcome::crashed: return "crashed";
    case Outcome::timed_out: return "did not return in time";
    }
    return "?";
}

}  // namespace vzt
