// The entry firewall: every exported function runs its body through one of
// these, so that no exception crosses the C boundary, each function answers
// with its own failure value when something inside throws, and calls on a
// handle share one handle check and one busy mark.
//
//   vz::entry(fn, fail, body)             catch-all around body()
//   vz::entry_void(fn, body)              the same without a result
//   vz::all_set(p, q, ...)                true when no pointer is NULL
//   vz::guarded<Mark>(fn, h, fail, body)  Mark mark(h); a bad handle logs
//                                         "[fn]  Device handler Is NULL!" and
//                                         returns fail; else body(*h)
//
// A Mark is the owning subsystem's busy mark: constructed on the handle (a
// NULL handle included), ok() tells whether the handle may be used, and its
// destructor releases the mark. The mark is taken before the check, so a
// closing thread that sees no mark knows no call will start using the handle.
// Also provides the vz_trc .. vz_err log macros.
#pragma once

#include <new>
#include <utility>

#include "base/log.h"

namespace vz {

// What a call does when its handle is unusable: logs under the function name.
using BadHandleLog = void (*)(const char *fn);

// The standard line for an unusable device handle.
inline void log_bad_handle(const char *fn) { vz_err("[%s]  Device handler Is NULL!\r\n", fn); }

// Runs body() and returns its result; any exception becomes `fail` with an
// error line naming the exported function `fn`.
template <class R, class F>
R entry(const char *fn, R fail, F &&body) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (const std::bad_alloc &) {
        vz_err("[%s] out of memory\n", fn);
    } catch (...) {
        vz_err("[%s] internal error\n", fn);
    }
    return fail;
}

// The same for functions without a result.
template <class F>
void entry_void(const char *fn, F &&body) noexcept {
    try {
        std::forward<F>(body)();
    } catch (const std::bad_alloc &) {
        vz_err("[%s] out of memory\n", fn);
    } catch (...) {
        vz_err("[%s] internal error\n", fn);
    }
}

// True when none of the pointers is NULL (the argument check of buffers).
template <class... P>
constexpr bool all_set(const P *...p) noexcept {
    return ((p != nullptr) && ...);
}

// A call on handle h: marks it busy, checks it, runs body(*h) in the
// catch-all. An unusable handle is reported through on_bad and gives fail.
template <class Mark, class R, class H, class F>
R guarded(const char *fn, H *h, R fail, F &&body, BadHandleLog on_bad = log_bad_handle) noexcept {
    return entry(fn, fail, [&]() -> R {
        Mark mark(h);
        if (!mark.ok()) {
            if (on_bad) on_bad(fn);
            return fail;
        }
        return std::forward<F>(body)(*h);
    });
}

// The same for calls without a result.
template <class Mark, class H, class F>
void guarded_void(const char *fn, H *h, F &&body, BadHandleLog on_bad = log_bad_handle) noexcept {
    entry_void(fn, [&] {
        Mark mark(h);
        if (!mark.ok()) {
            if (on_bad) on_bad(fn);
            return;
        }
        std::forward<F>(body)(*h);
    });
}

}  // namespace vz
