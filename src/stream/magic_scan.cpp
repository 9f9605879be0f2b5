// Magic-pair search: a byte-wise reference, a memchr walk for processors
// without wide vectors, and AVX2 / AVX-512 forms that compare 32 or 64
// positions at once (the byte and its successor, from two overlapping loads).
#include "stream/magic_scan.h"

#include <algorithm>
#include <cstring>

#include "base/cpu.h"

#ifdef VZ_X86_DISPATCH
#include <immintrin.h>
#endif

namespace vz::stream {

namespace {

constexpr uint8_t kM0 = 0xFB, kM1 = 0x98;

size_t find_memchr(const uint8_t *p, size_t n) {
    size_t i = 0;
    while (i + 1 < n) {
        const void *q = std::memchr(p + i, kM0, n - 1 - i);
        if (!q) return n;
        i = size_t(static_cast<const uint8_t *>(q) - p);
        if (p[i + 1] == kM1) return i;
        ++i;
    }
    return n;
}

#ifdef VZ_X86_DISPATCH
// Each step tests the positions i .. i + 31, reading up to p[i + 32].
VZ_TARGET_AVX2 size_t find_avx2(const uint8_t *p, size_t n) {
    const __m256i m0 = _mm256_set1_epi8(char(kM0)), m1 = _mm256_set1_epi8(char(kM1));
    size_t i = 0;
    for (; i + 33 <= n; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i + 1));
        const __m256i hit = _mm256_and_si256(_mm256_cmpeq_epi8(a, m0), _mm256_cmpeq_epi8(b, m1));
        const uint32_t mask = uint32_t(_mm256_movemask_epi8(hit));
        if (mask) return i + size_t(__builtin_ctz(mask));
    }
    return i + find_memchr(p + i, n - i);
}

VZ_TARGET_AVX512 size_t find_avx512(const uint8_t *p, size_t n) {
    const __m512i m0 = _mm512_set1_epi8(char(kM0)), m1 = _mm512_set1_epi8(char(kM1));
    size_t i = 0;
    for (; i + 65 <= n; i += 64) {
        const __m512i a = _mm512_loadu_si512(p + i);
        const __m512i b = _mm512_loadu_si512(p + i + 1);
        const __mmask64 hit = _mm512_cmpeq_epi8_mask(a, m0) & _mm512_cmpeq_epi8_mask(b, m1);
        if (hit) return i + size_t(__builtin_ctzll(hit));
    }
    return i + find_avx2(p + i, n - i);
}
#endif

// Search a block, then copy it while it is still in the first-level cache.
size_t copy_blocks(uint8_t *dst, const uint8_t *src, size_t c, size_t avail) {
    constexpr size_t kBlock = 4096;
    size_t at = 0;
    while (at < c) {
        const size_t len = std::min(kBlock, c - at);
        const size_t i = find_magic(src + at, std::min(len + 1, avail - at));
        const size_t stop = std::min(i, len);
        std::memcpy(dst + at, src + at, stop);
        at += stop;
        if (stop < len) break;
    }
    return at;
}

#ifdef VZ_X86_DISPATCH
// Magic pairs starting in the 32 bytes at p (a: those bytes loaded).
VZ_TARGET_AVX2 inline __m256i pairs_avx2(__m256i a, const uint8_t *p) {
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1));
    return _mm256_and_si256(_mm256_cmpeq_epi8(a, _mm256_set1_epi8(char(kM0))),
                            _mm256_cmpeq_epi8(b, _mm256_set1_epi8(char(kM1))));
}

// One pass, four vectors per step: each is tested and the step stored unless
// a pair starts in it; the step with the pair and the rest go through the
// block form.
VZ_TARGET_AVX2 size_t copy_avx2(uint8_t *dst, const uint8_t *src, size_t c, size_t avail) {
    size_t i = 0;
    for (; i + 128 <= c && i + 129 <= avail; i += 128) {
        __m256i a[4], h = _mm256_setzero_si256();
        for (int k = 0; k < 4; ++k) {
            a[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + i + 32 * k));
            h = _mm256_or_si256(h, pairs_avx2(a[k], src + i + 32 * k));
        }
        if (!_mm256_testz_si256(h, h)) break;
        for (int k = 0; k < 4; ++k)
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + i + 32 * k), a[k]);
    }
    return i + copy_blocks(dst + i, src + i, c - i, avail - i);
}

// Four vectors per step, each loaded once: the first bytes of the pairs
// from one comparison, the second bytes from another shifted down by one
// position, the shifted-in bit taken from the next vector (or the byte after
// the step).
VZ_TARGET_AVX512 size_t copy_avx512(uint8_t *dst, const uint8_t *src, size_t c, size_t avail) {
    constexpr size_t kAhead = 2048;  // prefetches past the end are harmless hints
    const __m512i m0 = _mm512_set1_epi8(char(kM0)), m1 = _mm512_set1_epi8(char(kM1));
    size_t i = 0;
    for (; i + 256 <= c && i + 257 <= avail; i += 256) {
        __m512i a[4];
        __mmask64 first[4], second[5];
        for (int k = 0; k < 4; ++k) {
            // Transfers arrive from memory the cache has long left: fetch
            // 2 KiB ahead, beyond what the hardware prefetcher runs.
            _mm_prefetch(reinterpret_cast<const char *>(src + i + kAhead + 64 * k), _MM_HINT_T0);
            a[k] = _mm512_loadu_si512(src + i + 64 * k);
            first[k] = _mm512_cmpeq_epi8_mask(a[k], m0);
            second[k] = _mm512_cmpeq_epi8_mask(a[k], m1);
        }
        second[4] = src[i + 256] == kM1;
        __mmask64 h = 0;
        for (int k = 0; k < 4; ++k) h |= first[k] & (second[k] >> 1 | second[k + 1] << 63);
        if (h) break;
        for (int k = 0; k < 4; ++k) _mm512_storeu_si512(dst + i + 64 * k, a[k]);
    }
    return i + copy_blocks(dst + i, src + i, c - i, avail - i);
}
#endif

}  // namespace

size_t find_magic_ref(const uint8_t *p, size_t n) {
    for (size_t i = 0; i + 1 < n; ++i)
        if (p[i] == kM0 && p[i + 1] == kM1) return i;
    return n;
}

size_t find_magic(const uint8_t *p, size_t n) {
#ifdef VZ_X86_DISPATCH
    switch (vz::cpu::level()) {
    case vz::cpu::Level::avx512: return find_avx512(p, n);
    case vz::cpu::Level::avx2: return find_avx2(p, n);
    case vz::cpu::Level::scalar: break;
    }
#endif
    return find_memchr(p, n);
}

size_t copy_until_magic(uint8_t *dst, const uint8_t *src, size_t c, size_t avail) {
#ifdef VZ_X86_DISPATCH
    switch (vz::cpu::level()) {
    case vz::cpu::Level::avx512: return copy_avx512(dst, src, c, avail);
    case vz::cpu::Level::avx2: return copy_avx2(dst, src, c, avail);
    case vz::cpu::Level::scalar: break;
    }
#endif
    return copy_blocks(dst, src, c, avail);
}

}  // namespace vz::stream
