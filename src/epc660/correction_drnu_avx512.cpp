// DRNU mode 2 through the per-pixel tables, eight pixels at a time with
// AVX-512, every kind of pixel in the vector: markers, pixels without a
// calibrated range, codes below or above the range, codes the search ends on
// without a step, and the interpolation. Only blocks holding a pixel whose
// images do not rise go to the per-pixel path.
//
// For a pixel whose images rise from its minimum F(0) to its maximum
// F(h - 1), the search ends, wherever it starts inside the window, on the
// largest step i with F(i) <= w: the step is found from a cheap guess (a
// linear model with an approximate reciprocal) corrected by comparisons, and
// the search's own prediction is only needed to tell the codes near the top
// of the range that it leaves without a step. Every double operation that
// makes a result is the search's, in the same order, so the codes agree bit
// for bit.
#include <immintrin.h>
#include <string.h>

#include <algorithm>

#include "epc660/correction_drnu.h"

namespace vz::epc::corr {
namespace {

constexpr uint16_t kLow = 65300, kOverflow = 65500;

#define VZ_AVX512 __attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,avx2")))

// GCC 12 reports the undefined pass-through register of the AVX-512
// conversion intrinsics as maybe uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Eight neighbouring distance images at pixels p .. p + 7: images base ..
// base + 3 in lo and base + 4 .. base + 7 in hi, word 8 m + j being image
// base + m at pixel p + j. The pixels of a block on a surface find their
// steps among them.
constexpr int kWindow = 8;
constexpr int kAhead = 8;  // blocks between a window's prefetch and its use
struct Window {
    __m512i lo, hi;
};

VZ_AVX512 inline Window load_window(const Drnu2View &t, int base, int p) {
    const uint16_t *c = t.blocks + ((size_t)(p / 8) * t.steps + base) * 8;
    return {_mm512_loadu_si512(c), _mm512_loadu_si512(c + 32)};
}

// Adds the four 128-bit quarters of a vector of 16-bit words.
VZ_AVX512 inline __m128i sum_quarters(__m512i x) {
    const __m256i h = _mm256_add_epi16(_mm512_castsi512_si256(x), _mm512_extracti64x4_epi64(x, 1));
    return _mm_add_epi16(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
}

// First window image of a block whose lane j lies inside: the step that a
// straight line from the pixel's minimum to its maximum gives, less three.
inline int window_base(const Drnu2Consts &k, double w, int lo, int hi) {
    const int guess = (int)((w - lo) * (k.h - 1) / (hi - lo));
    return std::clamp(guess - 3, 0, k.h - kWindow);
}

// Rounds to the nearest integer, halves away from zero, as cal::round_i32
// (trunc, then the exact remainder).
VZ_AVX512 inline __m256i round_away(__m512d x) {
    const __m512d t = _mm512_roundscale_pd(x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m512d frac = _mm512_sub_pd(x, t);
    const __m256i ti = _mm512_cvttpd_epi32(t);
    const __mmask8 up = _mm512_cmp_pd_mask(frac, _mm512_set1_pd(0.5), _CMP_GE_OQ);
    const __mmask8 down = _mm512_cmp_pd_mask(frac, _mm512_set1_pd(-0.5), _CMP_LE_OQ);
    const __m256i one = _mm256_set1_epi32(1);
    return _mm256_mask_sub_epi32(_mm256_mask_add_epi32(ti, up, ti, one), down, ti, one);
}

// Pixels p .. p + 7 (p a multiple of 8); false (nothing written) when one of them needs the
// per-pixel path. base carries the window from block to block.
VZ_AVX512 bool block(const Drnu2Consts &k, const Drnu2View &t, const uint16_t *s, uint16_t *d,
                     int p, int &base) {
    const __m128i sv = _mm_loadu_si128((const __m128i *)s);
    const __mmask8 mark = _mm_cmpge_epu16_mask(sv, _mm_set1_epi16((short)kLow));
    if (mark == 0xFF) {
        _mm_storeu_si128((__m128i *)d, sv);
        return true;
    }
    const __m128i lo16 = _mm_loadu_si128((const __m128i *)(t.mn + p));
    const __m128i hi16 = _mm_loadu_si128((const __m128i *)(t.mx + p));
    const __m256i loi = _mm256_cvtepu16_epi32(lo16), hii = _mm256_cvtepu16_epi32(hi16);
    const __m512d v = _mm512_cvtepi32_pd(_mm256_cvtepu16_epi32(sv));
    const __m512d w = k.temp ? _mm512_sub_pd(v, _mm512_set1_pd(k.dt_slope)) : v;
    const __m512d lo = _mm512_cvtepi32_pd(loi), hi = _mm512_cvtepi32_pd(hii);
    // No calibrated range: the code itself; then below and above the range.
    const __mmask8 flat = (__mmask8)(~mark & _mm_cmpge_epu16_mask(lo16, hi16));
    const __mmask8 live = (__mmask8)(~mark & ~flat);
    const __mmask8 below = live & _mm512_cmp_pd_mask(w, lo, _CMP_LE_OQ);
    const __mmask8 above = (__mmask8)(live & ~below & _mm512_cmp_pd_mask(w, hi, _CMP_GE_OQ));
    const __mmask8 inside = (__mmask8)(live & ~below & ~above);
    __m512d res = w;
    __mmask8 lost = 0;  // inside, but the search ends without a step
    if (inside) {
        uint16_t bits;
        memcpy(&bits, t.irregular + p / 8, sizeof bits);
        if (inside & (__mmask8)(bits >> (p % 8))) return false;
        // Images rise, and the images are integers: the step is the number
        // of images 1 .. h - 2 not above floor(w) (w > 0 inside the range).
        const __m128i u = _mm256_cvtepi32_epi16(
            _mm512_cvttpd_epi32(_mm512_roundscale_pd(w, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC)));
        const __m512i u4 = _mm512_broadcast_i32x4(u);
        Window win{};
        __m128i count = _mm_setzero_si128();
        for (int attempt = 0;; ++attempt) {
            if (base < 0) {
                alignas(64) double wl[8];
                _mm512_store_pd(wl, w);
                const int j = __builtin_ctz(inside);
                base = window_base(k, wl[j], t.mn[p + j], t.mx[p + j]);
            }
            win = load_window(t, base, p);
            const __mmask32 m0 = _mm512_cmple_epu16_mask(win.lo, u4);
            const __mmask32 m1 = _mm512_cmple_epu16_mask(win.hi, u4);
            // The window holds the step when its first image is not above
            // w (always so for image 0) and its last one is (always so for
            // image h - 1).
            const __mmask8 first = base == 0 ? 0xFF : (__mmask8)m0;
            const __mmask8 last = base + kWindow - 1 == k.h - 1 ? 0 : (__mmask8)(m1 >> 24);
            const __mmask8 miss = (__mmask8)(inside & (~first | last));
            if (!miss) {
                count = _mm_sub_epi16(_mm_setzero_si128(),
                                      sum_quarters(_mm512_add_epi16(_mm512_movm_epi16(m0),
                                                                    _mm512_movm_epi16(m1))));
                break;
            }
            if (attempt == 1) return false;
            alignas(64) double wl[8];
            _mm512_store_pd(wl, w);
            const int j = __builtin_ctz(miss);
            base = window_base(k, wl[j], t.mn[p + j], t.mx[p + j]);
        }
        // Step i = base + count - 1: images i and i + 1 from the window.
        const __m128i pick = _mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(count, _mm_set1_epi16(1)), 3),
                                         _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7));
        const __m512i ia = _mm512_castsi128_si512(pick);
        const __m512i ib = _mm512_castsi128_si512(_mm_add_epi16(pick, _mm_set1_epi16(kWindow)));
        const __m512d f = _mm512_cvtepi32_pd(
            _mm256_cvtepu16_epi32(_mm512_castsi512_si128(_mm512_permutex2var_epi16(win.lo, ia, win.hi))));
        const __m512d g = _mm512_cvtepi32_pd(
            _mm256_cvtepu16_epi32(_mm512_castsi512_si128(_mm512_permutex2var_epi16(win.lo, ib, win.hi))));
        const __m256i b = _mm256_add_epi32(_mm256_cvtepu16_epi32(count), _mm256_set1_epi32(base - 1));
        const __m512d span = _mm512_sub_pd(hi, lo);
        // The search starts at o = trunc((w - lo) h / (hi - lo)) and ends
        // without a step when o >= h - 1. Far below that bound (the margin
        // covers the rounding of the quotient many times) no lane can reach
        // it and the division is skipped.
        const __m512d num = _mm512_mul_pd(_mm512_sub_pd(w, lo), _mm512_set1_pd(k.h));
        const __m512d bound =
            _mm512_mul_pd(_mm512_mul_pd(span, _mm512_set1_pd(k.h - 1)), _mm512_set1_pd(1.0 - 0x1p-40));
        const __mmask8 near = inside & _mm512_cmp_pd_mask(num, bound, _CMP_GE_OQ);
        if (near) {
            const __m256i o = _mm512_cvttpd_epi32(_mm512_div_pd(num, span));
            lost = near & _mm256_cmpge_epi32_mask(o, _mm256_set1_epi32(k.h - 1));
        }
        const __mmask8 found = (__mmask8)(inside & ~lost);
        const __m512d lsb = _mm512_set1_pd(k.lsb);
        // Lanes without a step divide by one; their quotient is discarded.
        const __m512d den = _mm512_mask_blend_pd(found, _mm512_set1_pd(1.0), _mm512_sub_pd(g, f));
        const __m512d at =
            _mm512_add_pd(_mm512_mul_pd(lsb, _mm512_cvtepi32_pd(b)),
                          _mm512_div_pd(_mm512_mul_pd(lsb, _mm512_sub_pd(w, f)), den));
        res = _mm512_mask_blend_pd(found, w, at);
    }
    __m256i r = round_away(res);
    r = _mm256_mask_mov_epi32(r, below, _mm256_set1_epi32(kLow));
    r = _mm256_mask_mov_epi32(r, above, _mm256_set1_epi32(kOverflow));
    _mm_storeu_si128((__m128i *)d, _mm_mask_mov_epi16(_mm256_cvtepi32_epi16(r), mark, sv));
    if (lost) {
        alignas(64) double wl[8];
        alignas(32) int lol[8], hil[8];
        _mm512_store_pd(wl, w);
        _mm256_store_si256((__m256i *)lol, loi);
        _mm256_store_si256((__m256i *)hil, hii);
        for (int j = 0; j < 8; ++j)
            if (lost >> j & 1) drnu2_log_not_found(wl[j], lol[j], hil[j]);
    }
    return true;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace

void drnu2_tables_avx512(const Drnu2Consts &k, const Drnu2View &t, const uint16_t *src,
                         uint16_t *dst, int n, Drnu2One one, void *ctx) {
    int p = 0, base = -1;
    // The window needs eight images. The windows of the blocks a few ahead
    // are fetched early: a block's images are far apart in memory from the
    // next block's, where the hardware does not guess them.
    if (k.h >= kWindow)
        for (; p + 8 <= n; p += 8) {
            if (base >= 0 && p + 8 * kAhead < n) {
                const char *c = (const char *)(t.blocks + ((size_t)(p / 8 + kAhead) * t.steps + base) * 8);
                _mm_prefetch(c, _MM_HINT_T0);
                _mm_prefetch(c + 64, _MM_HINT_T0);
                _mm_prefetch(c + 127, _MM_HINT_T0);
            }
            if (!block(k, t, src + p, dst + p, p, base))
                for (int j = p; j < p + 8; ++j) dst[j] = one(ctx, src[j], j);
        }
    for (; p < n; ++p) dst[p] = one(ctx, src[p], p);
}

}  // namespace vz::epc::corr
