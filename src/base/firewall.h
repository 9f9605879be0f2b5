// The entry firewall: every exported function runs its body through
// vz::entry, so that no exception crosses the C boundary and each function
// answers with its own failure value when something inside throws.
#pragma once

#include <new>
#include <utility>

#include "base/log.h"

namespace vz {

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

}  // namespace vz
