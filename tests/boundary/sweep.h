// Calls of any exported C function with hostile arguments, and rows that run
// in a process of their own.
//
// sweep(fn) calls fn six times, every argument drawn from its type: pointers
// NULL, integers 0, -1, INT_MIN, INT_MAX, 65536 and 7 (converted to the
// parameter's type, so unsigned ones see their maximum), reals 0, -1, NaN,
// +-infinity and 1e300, records zero-filled. A row passes when it returns
// true in a child process within its bound: a crash, a sanitizer report or
// a hang fails it, and no row sees what another left in the library's
// module-wide state.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <functional>
#include <string>
#include <type_traits>

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
    for (int k = 0; k < 6; ++k) {
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

inline Outcome run_isolated(const Row &row, unsigned seconds) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(seconds);
        const bool ok = row.fails();
        _exit(ok ? 0 : 3);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return Outcome::crashed;
    if (WIFSIGNALED(status))
        return WTERMSIG(status) == SIGALRM ? Outcome::timed_out : Outcome::crashed;
    if (WEXITSTATUS(status) == 3) return Outcome::wrong_value;
    return WEXITSTATUS(status) == 0 ? Outcome::passed : Outcome::crashed;
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
