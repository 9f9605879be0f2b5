// DRNU mode 2 through the per-pixel tables, 32 pixels at a time with
// AVX-512: markers, pixels without a calibrated range, codes below or above
// the range, codes the search leaves without a step, and the interpolation,
// all in the vector. Only blocks holding a pixel whose images do not rise,
// or whose steps lie too far apart, go to the per-pixel path.
//
// For a pixel whose images rise from its minimum F(0) to its maximum
// F(h - 1), the search ends, wherever it starts inside the window, on the
// largest step i with F(i) <= w; the images being whole numbers, that is the
// number of images 1 .. h - 2 not above floor(w). With the temperature term
// as whole codes (Drnu2Whole), floor(w) and the comparisons with the range
// are 16-bit integer work on 32 pixels at once, and the step is counted in a
// window of images that the block's pixels share: four or ten around the
// step the block before leads to expect (as many steps as that block
// spanned), else twelve. The interpolation runs in single precision where
// its rounding is certain, and repeats the search's double operations in the
// same order, eight pixels at a time, where it is not: the codes agree bit
// for bit.
#include <immintrin.h>
#include <string.h>

#include <algorithm>
#include <cmath>

#include "epc660/correction_drnu.h"

namespace vz::epc::corr {
namespace {

constexpr uint16_t kLow = 65300, kOverflow = 65500;
constexpr int kBlock = 32;   // pixels of a block
constexpr int kWindow = 12;  // images of the wide window
constexpr int kNarrow = 4;   // images of the narrow window
constexpr int kMedium = 10;  // images of the medium window

#define VZ_AVX512 __attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,avx2")))

// GCC 12 reports the undefined pass-through register of the AVX-512
// conversion intrinsics as maybe uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

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

// Per frame: lsb x i split into a whole part and a fraction (single
// precision) for steps 0 .. 31, and the fraction of w and the lsb in single
// precision.
struct Steps {
    __m512i whole_lo, whole_hi;
    __m512 frac_lo, frac_hi;
    float phi, lsb, tol;
};

// Eight 16-bit words of x: quarter q.
VZ_AVX512 inline __m128i part(__m512i x, int q) {
    switch (q) {
    case 0: return _mm512_castsi512_si128(x);
    case 1: return _mm512_extracti32x4_epi32(x, 1);
    case 2: return _mm512_extracti32x4_epi32(x, 2);
    default: return _mm512_extracti32x4_epi32(x, 3);
    }
}

// Sixteen 16-bit words of x (half h) as 32-bit integers.
VZ_AVX512 inline __m512i widen(__m512i x, int h) {
    return _mm512_cvtepu16_epi32(h ? _mm512_extracti64x4_epi64(x, 1) : _mm512_castsi512_si256(x));
}

// The first image of a window that starts three images under the lowest step
// of the lanes of `live`, the steps being where a straight line from each
// pixel's minimum to its maximum puts floor(w) (single precision: a guess).
VZ_AVX512 inline int window_base(int h, __m512i u, __m512i lo, __m512i hi, __mmask32 live) {
    int low = h;
    for (int half = 0; half < 2; ++half) {
        const __m512i u32 = _mm512_cvtepu16_epi32(half ? _mm512_extracti64x4_epi64(u, 1)
                                                       : _mm512_castsi512_si256(u));
        const __m512i lo32 = _mm512_cvtepu16_epi32(half ? _mm512_extracti64x4_epi64(lo, 1)
                                                        : _mm512_castsi512_si256(lo));
        const __m512i hi32 = _mm512_cvtepu16_epi32(half ? _mm512_extracti64x4_epi64(hi, 1)
                                                        : _mm512_castsi512_si256(hi));
        const __mmask16 m = (__mmask16)(live >> (16 * half));
        if (!m) continue;
        const __m512 num = _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_sub_epi32(u32, lo32)),
                                         _mm512_set1_ps((float)(h - 1)));
        const __m512 den = _mm512_cvtepi32_ps(_mm512_sub_epi32(hi32, lo32));
        const __m512i g = _mm512_cvttps_epi32(_mm512_maskz_div_ps(m, num, den));
        low = std::min(low, _mm512_mask_reduce_min_epi32(m, g));
    }
    return std::clamp(low - 3, 0, h - kWindow);
}

// Eight pixels of a block (quarter q) through the search's double
// operations: the interpolation between images f and g at step b for the
// lanes of `inside`, w itself for the others, the search's own prediction
// deciding the lanes of `near` that it leaves without a step (they keep w;
// lost receives them).
VZ_AVX512 inline __m128i quarter(const Drnu2Consts &k, __m128i v16, __m128i lo16, __m128i hi16,
                                 __m128i f16, __m128i g16, __m128i b16, __mmask8 inside,
                                 __mmask8 near, __mmask8 &lost) {
    const __m512d v = _mm512_cvtepi32_pd(_mm256_cvtepu16_epi32(v16));
    const __m512d w = k.temp ? _mm512_sub_pd(v, _mm512_set1_pd(k.dt_slope)) : v;
    __mmask8 found = inside;
    if (near) {
        const __m512d lo = _mm512_cvtepi32_pd(_mm256_cvtepu16_epi32(lo16));
        const __m512d hi = _mm512_cvtepi32_pd(_mm256_cvtepu16_epi32(hi16));
        const __m256i o = _mm512_cvttpd_epi32(_mm512_div_pd(
            _mm512_mul_pd(_mm512_sub_pd(w, lo), _mm512_set1_pd(k.h)), _mm512_sub_pd(hi, lo)));
        lost = near & _mm256_cmpge_epi32_mask(o, _mm256_set1_epi32(k.h - 1));
        found = (__mmask8)(found & ~lost);
    }
    __m512d res = w;
    if (found) {
        const __m512d f = _mm512_cvtepi32_pd(_mm256_cvtepu16_epi32(f16));
        const __m512d g = _mm512_cvtepi32_pd(_mm256_cvtepu16_epi32(g16));
        const __m512d lsb = _mm512_set1_pd(k.lsb);
        // Lanes without a step divide by one; their quotient is discarded.
        const __m512d den = _mm512_mask_blend_pd(found, _mm512_set1_pd(1.0), _mm512_sub_pd(g, f));
        const __m512d at =
            _mm512_add_pd(_mm512_mul_pd(lsb, _mm512_cvtepi32_pd(_mm256_cvtepu16_epi32(b16))),
                          _mm512_div_pd(_mm512_mul_pd(lsb, _mm512_sub_pd(w, f)), den));
        res = _mm512_mask_blend_pd(found, w, at);
    }
    return _mm256_cvtepi32_epi16(round_away(res));
}

// Where the next block's steps are expected: around `step` (negative: not
// known), the window likely to hold them (kNarrow, kMedium or kWindow
// images), and by how many steps the surface rose across the block before.
struct Expect {
    int step = -1;
    int window = kWindow;
    int slope = 0;
};

// The steps of the lanes of `inside` from a window of W images of a block
// (rec) starting at image `base`: false when a lane's step lies outside it.
// Otherwise the step is i = base + (images of the window not above floor(w))
// - 1, and f and g receive images i and i + 1, the last not above floor(w)
// and the first above it.
template <int W>
VZ_AVX512 inline bool window_steps(const uint16_t *rec, int base, int h, __m512i u,
                                   __mmask32 inside, __m512i &f, __m512i &g, __m512i &b) {
    __m512i im[W];
    __mmask32 le[W];
    for (int m = 0; m < W; ++m) {
        im[m] = _mm512_loadu_si512(rec + (size_t)(base + m) * kBlock);
        le[m] = _mm512_cmple_epu16_mask(im[m], u);
    }
    // The window holds a lane's step when its first image is not above
    // floor(w) (always so for image 0) and its last one is (never so for
    // image h - 1).
    const __mmask32 low = base == 0 ? 0 : inside & ~le[0];
    const __mmask32 high = base + W - 1 == h - 1 ? 0 : inside & le[W - 1];
    if (low | high) return false;
    f = im[0];
    g = im[W - 1];
    b = _mm512_set1_epi16((short)(base - 1));
    const __m512i one = _mm512_set1_epi16(1);
    for (int m = 0; m < W; ++m) {
        f = _mm512_mask_mov_epi16(f, le[m], im[m]);
        b = _mm512_mask_add_epi16(b, le[m], b, one);
    }
    for (int m = W - 2; m >= 0; --m) g = _mm512_mask_mov_epi16(g, (__mmask32)~le[m], im[m]);
    return true;
}

// Pixels p .. p + 31 (p a multiple of 32); false (nothing written) when one
// of them needs the per-pixel path. at carries from block to block where
// the surface is expected.
template <int First>
VZ_AVX512 __attribute__((always_inline)) inline bool block(const Drnu2Consts &k,
                                                           const Drnu2Whole &whole, const Steps &st,
                                                           const Drnu2View &t, const uint16_t *s,
                                                           uint16_t *d, int p, Expect &at) {
    const __m512i v = _mm512_loadu_si512(s);
    const __mmask32 mark = _mm512_cmpge_epu16_mask(v, _mm512_set1_epi16((short)kLow));
    if (mark == 0xFFFFFFFFu) {
        _mm512_storeu_si512(d, v);
        return true;
    }
    const __m512i lo = _mm512_loadu_si512(t.mn + p), hi = _mm512_loadu_si512(t.mx + p);
    // u = floor(w), saturated: below 0 only under the range, above 65535
    // only over it.
    __m512i u;
    __mmask32 negative = 0;
    if (whole.ceil >= 0) {
        const __m512i c = _mm512_set1_epi16((short)whole.ceil);
        u = _mm512_subs_epu16(v, c);
        negative = _mm512_cmplt_epu16_mask(v, c);
    } else {
        u = _mm512_adds_epu16(v, _mm512_set1_epi16((short)-whole.ceil));
    }
    // No calibrated range: w itself; then w <= lo under the range (for a
    // whole w, u <= lo; else u < lo) and w >= hi over it (u >= hi).
    const __mmask32 flat = ~mark & _mm512_cmpge_epu16_mask(lo, hi);
    const __mmask32 live = ~mark & ~flat;
    const __mmask32 below = live & (negative | (whole.exact ? _mm512_cmple_epu16_mask(u, lo)
                                                            : _mm512_cmplt_epu16_mask(u, lo)));
    const __mmask32 above = live & ~below & _mm512_cmpge_epu16_mask(u, hi);
    const __mmask32 inside = live & ~below & ~above;
    __m512i fv = v, gv = v, bv = v;
    __mmask32 near = 0, gone = 0;
    Expect next = at;
    if (inside) {
        uint32_t bits;
        memcpy(&bits, t.irregular + p / 8, sizeof bits);
        if (inside & bits) return false;
        const uint16_t *rec = t.blocks + (size_t)(p / kBlock) * t.steps * kBlock;
        const int h = k.h;
        const int mid = at.step;
        // The windows move through the images with the surface, in steps
        // the hardware's prefetch does not follow: the lines two blocks on
        // are fetched now, where the slope puts them (a few more than the
        // narrow window, the wide window's count otherwise).
        if (mid >= 0 && p + 3 * kBlock <= (int)t.plane) {
            constexpr int lines = First == kNarrow ? 6 : kWindow;
            const int lowest = std::clamp(mid + 2 * at.slope - lines / 2, 0, h - 1);
            const uint16_t *ahead = rec + (size_t)2 * t.steps * kBlock;
            for (int m = lowest; m < std::min(h, lowest + lines); ++m)
                _mm_prefetch((const char *)(ahead + (size_t)m * kBlock), _MM_HINT_T0);
        }
        // The window the block before suggests, where it expects the steps.
        bool took = false;
        if constexpr (First < kWindow)
            took = mid >= 0 &&
                   window_steps<First>(rec, std::clamp(mid - (First - 2) / 2, 0, h - First), h, u,
                                       inside, fv, gv, bv);
        // Else the wide window where the surface was expected, then where
        // this block's own lanes place it, then the per-pixel path.
        int wide = mid >= 0 ? std::clamp(mid - kWindow / 2 + 1, 0, h - kWindow) : -1;
        for (int attempt = 0; !took; ++attempt) {
            if (wide < 0) wide = window_base(h, u, lo, hi, inside);
            if (window_steps<kWindow>(rec, wide, h, u, inside, fv, gv, bv)) break;
            if (attempt == 1) return false;
            wide = -1;
        }
        // The next block's step, where the surface would be if it went on as
        // from this block's first to its last pixel.
        alignas(64) uint16_t step[kBlock];
        _mm512_store_si512(step, bv);
        const int first = step[__builtin_ctz(inside)], last = step[31 - __builtin_clz(inside)];
        next.step = std::clamp(last + (last - first) / 2, 0, h - 1);
        // The smallest window that holds as many steps with one to spare.
        const int span = std::abs(last - first);
        next.slope = last - first;
        next.window = span <= kNarrow - 3 ? kNarrow : span <= kMedium - 3 ? kMedium : kWindow;
        // From near_top + 1 on the prediction is h - 1 for certain: the
        // search leaves the code without a step; at near_top the doubles
        // decide.
        const __m512i top = _mm512_loadu_si512(t.near_top + p);
        near = inside & _mm512_cmpeq_epi16_mask(u, top);
        gone = inside & _mm512_cmpgt_epu16_mask(u, top);
    }
    // The interpolation in single precision: w = u + frac, so with n = u -
    // F(i) and D = F(i + 1) - F(i) the result is lsb i + lsb (n + frac) / D
    // = whole(i) + y, y = fraction(i) + lsb (n + frac) / D, and rounds to
    // whole(i) + floor(y + 1/2). y stays within a third of st.tol of its exact
    // value (relative errors of a few single roundings on a quantity below
    // lsb + 1), and the search's doubles within far less: a y whose
    // y + 1/2 lies farther than st.tol from a whole number rounds as the
    // search's result does. The others go the double way.
    alignas(64) uint16_t out[kBlock];
    __mmask32 unsure = 0;
    if (inside) {
        const __m512i n16 = _mm512_sub_epi16(u, fv), d16 = _mm512_sub_epi16(gv, fv);
        __m256i r16[2];
        for (int half = 0; half < 2; ++half) {
            const __mmask16 m = (__mmask16)(inside >> (16 * half));
            const __m512i i = widen(bv, half);
            const __m512 ratio = _mm512_maskz_div_ps(
                m, _mm512_add_ps(_mm512_cvtepi32_ps(widen(n16, half)), _mm512_set1_ps(st.phi)),
                _mm512_cvtepi32_ps(widen(d16, half)));
            const __m512 y = _mm512_add_ps(_mm512_mul_ps(_mm512_set1_ps(st.lsb), ratio),
                                           _mm512_permutex2var_ps(st.frac_lo, i, st.frac_hi));
            const __m512 z = _mm512_add_ps(y, _mm512_set1_ps(0.5f));
            const __m512i zi = _mm512_cvttps_epi32(z);
            const __m512 fr = _mm512_sub_ps(z, _mm512_cvtepi32_ps(zi));
            const __mmask16 close =
                _mm512_cmp_ps_mask(fr, _mm512_set1_ps(st.tol), _CMP_LT_OQ) |
                _mm512_cmp_ps_mask(fr, _mm512_set1_ps(1.0f - st.tol), _CMP_GT_OQ);
            unsure |= (__mmask32)(uint32_t)(close & m) << (16 * half);
            r16[half] = _mm512_cvtepi32_epi16(
                _mm512_add_epi32(zi, _mm512_permutex2var_epi32(st.whole_lo, i, st.whole_hi)));
        }
        _mm512_store_si512(out, _mm512_inserti64x4(_mm512_castsi256_si512(r16[0]), r16[1], 1));
        if (gone) {
            // round(w) of a positive w = u + frac.
            const __m512i rw = _mm512_add_epi16(u, _mm512_set1_epi16(whole.frac >= 0.5 ? 1 : 0));
            _mm512_mask_storeu_epi16(out, gone, rw);
        }
    } else {
        _mm512_store_si512(out, v);
    }
    // The double work, a quarter at a time, where a lane needs it: no
    // calibrated range, near the last step, or too close to a half.
    const __mmask32 dbl = flat | near | unsure;
    __mmask32 lost = gone;
    for (int q = 0; q < 4; ++q) {
        const __mmask8 qi = (__mmask8)((inside & ~gone) >> (8 * q));
        if (!(uint8_t)(dbl >> (8 * q))) continue;
        __mmask8 ql = 0;
        const __m128i r = quarter(k, part(v, q), part(lo, q), part(hi, q), part(fv, q), part(gv, q),
                                  part(bv, q), qi, (__mmask8)(near >> (8 * q)), ql);
        _mm_mask_storeu_epi16(out + 8 * q, (__mmask8)((dbl | inside) >> (8 * q)), r);
        lost |= (__mmask32)ql << (8 * q);
    }
    // The search's log lines, pixel by pixel, when they go anywhere.
    if (lost && !drnu2_logs_not_found()) lost = 0;
    for (__mmask32 m = lost; m; m &= m - 1) {
        const int j = __builtin_ctz(m);
        drnu2_log_not_found(k.temp ? (double)s[j] - k.dt_slope : (double)s[j], t.mn[p + j],
                            t.mx[p + j]);
    }
    __m512i r = _mm512_load_si512(out);
    r = _mm512_mask_mov_epi16(r, below, _mm512_set1_epi16((short)kLow));
    r = _mm512_mask_mov_epi16(r, above, _mm512_set1_epi16((short)kOverflow));
    _mm512_storeu_si512(d, _mm512_mask_mov_epi16(r, mark, v));
    at = next;
    return true;
}

VZ_AVX512 Steps steps_of(const Drnu2Consts &k, const Drnu2Whole &whole) {
    alignas(64) int whole_i[32];
    alignas(64) float frac_i[32];
    for (int i = 0; i < 32; ++i) {
        const double at = k.lsb * i, fl = std::floor(at);
        whole_i[i] = (int)fl;
        frac_i[i] = (float)(at - fl);
    }
    Steps st;
    st.whole_lo = _mm512_load_si512(whole_i);
    st.whole_hi = _mm512_load_si512(whole_i + 16);
    st.frac_lo = _mm512_load_ps(frac_i);
    st.frac_hi = _mm512_load_ps(frac_i + 16);
    st.phi = (float)whole.frac;
    st.lsb = (float)k.lsb;
    st.tol = (float)(1e-4 + 1e-6 * k.lsb);
    return st;
}

// Whole blocks of pixels 0 .. n - 1, each through the window its neighbour
// suggests; returns the first pixel after them.
VZ_AVX512 int blocks(const Drnu2Consts &k, const Drnu2Whole &whole, const Drnu2View &t,
                     const uint16_t *src, uint16_t *dst, int n, Drnu2One one, void *ctx) {
    const Steps st = steps_of(k, whole);
    Expect at;
    int p = 0;
    for (; p + kBlock <= n; p += kBlock) {
        const uint16_t *s = src + p;
        uint16_t *d = dst + p;
        const bool ok = at.window == kNarrow   ? block<kNarrow>(k, whole, st, t, s, d, p, at)
                        : at.window == kMedium ? block<kMedium>(k, whole, st, t, s, d, p, at)
                                               : block<kWindow>(k, whole, st, t, s, d, p, at);
        if (!ok)
            for (int j = p; j < p + kBlock; ++j) dst[j] = one(ctx, src[j], j);
    }
    return p;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace

void drnu2_tables_avx512(const Drnu2Consts &k, const Drnu2Whole &whole, const Drnu2View &t,
                         const uint16_t *src, uint16_t *dst, int n, Drnu2One one, void *ctx) {
    int p = 0;
    if (whole.usable && k.h >= kWindow && k.h <= 32 && k.lsb >= 0 && k.lsb < 30000)
        p = blocks(k, whole, t, src, dst, n, one, ctx);
    for (; p < n; ++p) dst[p] = one(ctx, src[p], p);
}

}  // namespace vz::epc::corr
