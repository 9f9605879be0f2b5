// Counts the heap allocations of the whole process (malloc, calloc, realloc,
// and operator new through them) by standing in for glibc's entry points.
// Include it in exactly one source file of a test or benchmark program.
// Sanitizers bring their own allocator: there nothing is counted and
// vzt::alloc_counting() is false.
#pragma once

#include <atomic>
#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VZT_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VZT_SANITIZED 1
#endif

namespace vzt {
inline std::atomic<long> g_allocs{0};
#ifdef VZT_SANITIZED
constexpr bool alloc_counting() { return false; }
#else
constexpr bool alloc_counting() { return true; }
#endif
inline long allocations() { return g_allocs.load(std::memory_order_relaxed); }
}  // namespace vzt

#ifndef VZT_SANITIZED
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *malloc(size_t n) {
    vzt::g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t m) {
    vzt::g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, m);
}
extern "C" void *realloc(void *p, size_t n) {
    vzt::g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
#endif
