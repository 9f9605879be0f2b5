// CPU features for the hot loops' run-time dispatch. The library is built for
// the baseline instruction set; loops that profit from wider vectors carry
// their own target attribute (VZ_TARGET_AVX2, VZ_TARGET_AVX512) and are
// chosen at run time from vz::cpu::level(), so the installed library runs on
// any x86-64 and uses AVX2 or AVX-512 where the processor and the system
// support them.
#pragma once

#include <atomic>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VZ_X86_DISPATCH  1
#define VZ_TARGET_AVX2   __attribute__((target("avx2")))
#define VZ_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx2")))
#endif

namespace vz::cpu {

enum class Level : int { scalar = 0, avx2 = 1, avx512 = 2 };

// What this processor offers (the feature tests include the system's support
// for the wider registers).
inline Level detected() {
#ifdef VZ_X86_DISPATCH
    static const Level l = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
            return Level::avx512;
        if (__builtin_cpu_supports("avx2")) return Level::avx2;
        return Level::scalar;
    }();
    return l;
#else
    return Level::scalar;
#endif
}

// Highest level the dispatchers may choose; tests lower it to run every path.
inline std::atomic<int> &level_cap() {
    static std::atomic<int> cap{int(Level::avx512)};
    return cap;
}

// The level the dispatchers use: detected, capped.
inline Level level() {
    const int d = int(detected()), c = level_cap().load(std::memory_order_relaxed);
    return Level(d < c ? d : c);
}

}  // namespace vz::cpu
