// Per-pixel tables of DRNU mode 2 and the frame loops over them.
//
// The correction of a pixel searches, from the step predicted by linear
// interpolation between the pixel's minimum and maximum (o), the step i whose
// distance-image values F(i) <= w < F(i + 1) enclose the pixel's code w.
// Where the pixel's images rise with the step, the search ends on the
// largest i with F(i) <= w, whatever the direction it takes, as long as that
// i lies within the search window around o. For every prediction o the codes
// that predict it span a known interval, so the steps the search can end on
// are known in advance: the table keeps the lowest of them, and when at most
// three are possible two comparisons decide. Pixels whose images do not rise
// with the step, or predictions with more possible steps, are marked for the
// straightforward search. The table is laid out prediction by prediction, as
// the distance images step by step: neighbouring pixels of a surface read
// neighbouring entries.
#include "epc660/correction_drnu.h"

#include <immintrin.h>
#include <string.h>

#include <algorithm>

#include "epc660/base.h"
#include "epc660/calibration.h"

namespace vz::epc::corr {
namespace {

using cal::kMaxSteps;
using cal::kPixels;

constexpr uint8_t kSearch = 255;    // the straightforward search decides
constexpr uint8_t kNotFound = 254;  // the search never starts: no step
constexpr uint16_t kLow = 65300;
constexpr uint16_t kOverflow = 65500;
constexpr int kSpan = 29;  // search window around the prediction

// The prepared table (4.1 MB, in zero-filled storage until a calibration set
// is loaded): the lowest step of prediction k at calibration index q is
// first[k x plane + q].
struct DrnuTables {
    uint8_t first[(size_t)kMaxSteps * kPixels + 4];  // + the tail of a 32-bit read
    bool ready;
    uint64_t generation;  // of the calibration tables prepared from
    int h, width, height, mode;
};

DrnuTables &tables() { return vz::epc::state<DrnuTables>(vz::epc::kSlotCorrectionDrnu); }

// Lowest steps of one pixel: F its images, lo and hi its minimum and maximum.
// first receives entry k at first[k x plane].
void prepare_pixel(const uint16_t *f, int h, int lo, int hi, uint8_t *first, size_t plane) {
    bool rising = h >= 2 && lo < hi && f[0] == lo && f[h - 1] == hi;
    for (int i = 1; rising && i < h; ++i) rising = f[i - 1] <= f[i];
    if (!rising) {
        for (int k = 0; k < h; ++k) first[k * plane] = kSearch;
        return;
    }
    // Bucket k holds the codes w with trunc((w - lo) h / (hi - lo)) = k; its
    // bounds are widened by far more than the rounding of that expression.
    // The step of w is the number of F(1..h-2) not above w.
    const double width = double(hi - lo) / h;
    int a = 0, b = 0;  // counts at the lower and upper bound
    for (int k = 0; k < h; ++k) {
        if (k >= h - 1) {
            first[k * plane] = kNotFound;
            continue;
        }
        const double wa = lo + k * width - 0.01, wb = lo + (k + 1) * width + 0.01;
        while (a < h - 2 && f[a + 1] <= wa) ++a;
        b = std::max(b, a);
        while (b < h - 2 && f[b + 1] <= wb) ++b;
        first[k * plane] = b - a <= 2 ? uint8_t(a) : kSearch;
    }
}

// Rounds half away from zero as cal::round_i32 does, and keeps the low 16
// bits as the store of a code does.
inline uint16_t round_code(double x) { return uint16_t(cal::round_i32(x)); }

// What a frame reads: the prepared table, the pixels' minimum and maximum,
// the distance images and their plane size.
struct View {
    const uint8_t *first;
    const uint16_t *mn, *mx, *img;
    size_t plane;
    size_t stride;  // a row of the calibration image
};

// One pixel through the table; false when the caller must search.
inline bool table_pixel(const Drnu2Consts &k, const View &t, uint16_t v, int p, uint16_t &out) {
    if (v >= kLow) {
        out = v;
        return true;
    }
    double w = v;
    if (k.temp) w = w - k.dt_slope;
    const int lo = t.mn[p], hi = t.mx[p];
    if (lo >= hi) {
        out = round_code(w);
        return true;
    }
    if (w <= lo) {
        out = kLow;
        return true;
    }
    if (w >= hi) {
        out = kOverflow;
        return true;
    }
    const int o = cal::trunc_i32((w - lo) * k.h / (hi - lo));
    if (o >= k.h - 1) return false;
    const int a = t.first[(size_t)o * t.plane + p];
    if (a >= kNotFound) return false;
    // Step a + 1 exists (a <= h - 2) and lies above w when it is the last;
    // step a + 2 counts only when it exists.
    auto f = [&](int i) { return (int)t.img[(size_t)i * t.plane + p]; };
    const int i = a + (f(a + 1) <= w) + (a + 2 <= k.h - 1 && f(a + 2) <= w);
    if (i - o > kSpan || o - i > kSpan) return false;
    const int fi = f(i), gi = f(i + 1);
    out = round_code(k.lsb * i + k.lsb * (w - fi) / (gi - fi));
    return true;
}

// GCC 12 reports the undefined pass-through register of the AVX-512
// conversion intrinsics as maybe uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define VZ_AVX512_TARGET __attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,avx2")))

// The value of the first lane: the reference of the neighbouring lanes (a
// first lane outside the mask rarely matches the others, and the general
// path serves).
VZ_AVX512_TARGET __attribute__((always_inline)) inline int first_lane(__m256i v, __mmask8) {
    return _mm_cvtsi128_si32(_mm256_castsi256_si128(v));
}

// Steps a + m (m = 0..3, clamped to the last step) of the lanes of eight
// pixels from p. Along a surface neighbouring pixels sit on the same step or
// the next one: when every lane has the first lane's a, four plain loads of
// step images serve them all, when every lane's a lies within one of it six;
// otherwise 32-bit gathers at
// 16-bit positions whose low halves are the codes (the word after a code
// always lies inside the image storage: the last step never ends it).
VZ_AVX512_TARGET __attribute__((always_inline)) inline void steps4(const View &t, int h, __m256i a,
                                                                   __mmask8 lanes, int p,
                                                                   __m512d &f0, __m512d &f1,
                                                                   __m512d &f2, __m512d &f3) {
    const int a0 = first_lane(a, lanes);
    const __mmask8 down = _mm256_mask_cmpeq_epi32_mask(lanes, a, _mm256_set1_epi32(a0 - 1));
    const __mmask8 up = _mm256_mask_cmpeq_epi32_mask(lanes, a, _mm256_set1_epi32(a0 + 1));
    const __mmask8 same = _mm256_mask_cmpeq_epi32_mask(lanes, a, _mm256_set1_epi32(a0));
    if (same == lanes && a0 + 3 <= h - 1) {
        const uint16_t *c = t.img + (size_t)a0 * t.plane + p;
        __m512d *f[4] = {&f0, &f1, &f2, &f3};
        for (int m = 0; m < 4; ++m)
            *f[m] = _mm512_cvtepi32_pd(
                _mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *)(c + m * t.plane))));
        // The same steps two rows below are what the next rows read (a
        // changes slowly down a surface too): fetched early, once per line.
        if (((uintptr_t)c & 63) < 16)
            for (int m = 0; m < 4; ++m)
                _mm_prefetch((const char *)(c + m * t.plane + 2 * t.stride), _MM_HINT_T0);
        return;
    }
    if ((down | up | same) == lanes && a0 >= 1 && a0 + 4 <= h - 1) {
        __m256i l[6];
        const uint16_t *c = t.img + (size_t)(a0 - 1) * t.plane + p;
        for (int m = 0; m < 6; ++m)
            l[m] = _mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *)(c + m * t.plane)));
        // Lane with a = a0 + e takes step image a + m from load m + 1 + e.
        __m512d *f[4] = {&f0, &f1, &f2, &f3};
        for (int m = 0; m < 4; ++m)
            *f[m] = _mm512_cvtepi32_pd(
                _mm256_mask_mov_epi32(_mm256_mask_mov_epi32(l[m + 1], down, l[m]), up, l[m + 2]));
        return;
    }
    const __m256i lane =
        _mm256_add_epi32(_mm256_set1_epi32(p), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    const __m256i last = _mm256_set1_epi32(h - 1), low = _mm256_set1_epi32(0xFFFF);
    const __m256i plane = _mm256_set1_epi32((int)t.plane);
    __m512d *f[4] = {&f0, &f1, &f2, &f3};
    for (int m = 0; m < 4; ++m) {
        const __m256i step = _mm256_min_epi32(_mm256_add_epi32(a, _mm256_set1_epi32(m)), last);
        const __m256i at = _mm256_add_epi32(_mm256_mullo_epi32(step, plane), lane);
        const __m256i g =
            _mm256_mmask_i32gather_epi32(_mm256_setzero_si256(), lanes, at, (const int *)t.img, 2);
        *f[m] = _mm512_cvtepi32_pd(_mm256_and_si256(g, low));
    }
}

// Eight pixels from p with the double operations of table_pixel in the same
// order; returns the mask of lanes the caller must decide.
VZ_AVX512_TARGET unsigned table_oct(const Drnu2Consts &k, const View &t, const uint16_t *s,
                                    uint16_t *d, int p) {
    const __m128i sv = _mm_loadu_si128((const __m128i *)s);
    const __mmask8 mark = _mm_cmpge_epu16_mask(sv, _mm_set1_epi16((short)kLow));
    if (mark == 0xFF) {
        _mm_storeu_si128((__m128i *)d, sv);
        return 0;
    }
    const __m512d v = _mm512_cvtepi32_pd(_mm256_cvtepu16_epi32(sv));
    const __m512d w = k.temp ? _mm512_sub_pd(v, _mm512_set1_pd(k.dt_slope)) : v;
    const __m256i lo_i = _mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *)(t.mn + p)));
    const __m256i hi_i = _mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *)(t.mx + p)));
    const __m512d lo = _mm512_cvtepi32_pd(lo_i), hi = _mm512_cvtepi32_pd(hi_i);
    const __mmask8 flat = (__mmask8)(_mm256_cmpge_epi32_mask(lo_i, hi_i) & ~mark);
    const __mmask8 live = (__mmask8)(~mark & ~flat);
    const __mmask8 below = _mm512_mask_cmp_pd_mask(live, w, lo, _CMP_LE_OQ);
    const __mmask8 above = (__mmask8)(_mm512_mask_cmp_pd_mask(live, w, hi, _CMP_GE_OQ) & ~below);
    const __mmask8 inside = (__mmask8)(live & ~below & ~above);
    // Lanes outside take a harmless prediction and range.
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d span = _mm512_mask_blend_pd(inside, one, _mm512_sub_pd(hi, lo));
    const __m512d ratio =
        _mm512_div_pd(_mm512_mul_pd(_mm512_sub_pd(w, lo), _mm512_set1_pd(k.h)), span);
    __m256i o = _mm256_maskz_mov_epi32(inside, _mm512_cvttpd_epi32(ratio));
    // The search's first steps, from o: down to o - 1 when w lies below
    // F(o), up to o + 1 when it lies at or above F(o + 1). Lanes whose step
    // is not among o - 1, o and o + 1 (or whose o leaves no room for them)
    // are left to the per-pixel tables.
    const __mmask8 room = _mm256_mask_cmpge_epi32_mask(inside, o, _mm256_set1_epi32(1)) &
                          _mm256_cmple_epi32_mask(o, _mm256_set1_epi32(k.h - 3));
    const __m256i ione = _mm256_set1_epi32(1);
    __m512d f[4];
    steps4(t, k.h, _mm256_mask_sub_epi32(o, room, o, ione), room, p, f[0], f[1], f[2], f[3]);
    const __mmask8 down = _mm512_mask_cmp_pd_mask(room, w, f[1], _CMP_LT_OQ);
    const __mmask8 up = (__mmask8)(_mm512_mask_cmp_pd_mask(room, w, f[2], _CMP_GE_OQ) & ~down);
    const __m512d vf = _mm512_mask_blend_pd(up, _mm512_mask_blend_pd(down, f[1], f[0]), f[2]);
    __m512d vg = _mm512_mask_blend_pd(up, _mm512_mask_blend_pd(down, f[2], f[1]), f[3]);
    const __mmask8 done = _mm512_mask_cmp_pd_mask(room, vf, w, _CMP_LE_OQ) &
                          _mm512_mask_cmp_pd_mask(room, w, vg, _CMP_LT_OQ);
    const __mmask8 search = (__mmask8)(inside & ~done);
    const __m256i step =
        _mm256_mask_sub_epi32(_mm256_mask_add_epi32(o, up, o, ione), down, o, ione);
    // Lanes without an interpolation divide by one; their result is not used.
    vg = _mm512_mask_blend_pd(done, _mm512_add_pd(vf, one), vg);
    const __m512d lsb = _mm512_set1_pd(k.lsb);
    __m512d res = _mm512_add_pd(
        _mm512_mul_pd(lsb, _mm512_cvtepi32_pd(step)),
        _mm512_div_pd(_mm512_mul_pd(lsb, _mm512_sub_pd(w, vf)), _mm512_sub_pd(vg, vf)));
    res = _mm512_mask_blend_pd(flat, res, w);
    // Round half away from zero exactly: trunc, then the exact remainder.
    const __m512d tr = _mm512_roundscale_pd(res, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m512d frac = _mm512_sub_pd(res, tr);
    const __m256i ti = _mm512_cvttpd_epi32(tr);
    const __mmask8 r_up = _mm512_cmp_pd_mask(frac, _mm512_set1_pd(0.5), _CMP_GE_OQ);
    const __mmask8 r_down = _mm512_cmp_pd_mask(frac, _mm512_set1_pd(-0.5), _CMP_LE_OQ);
    __m256i r = _mm256_mask_sub_epi32(_mm256_mask_add_epi32(ti, r_up, ti, ione), r_down, ti, ione);
    r = _mm256_mask_mov_epi32(r, below, _mm256_set1_epi32(kLow));
    r = _mm256_mask_mov_epi32(r, above, _mm256_set1_epi32(kOverflow));
    // Marker lanes, and the lanes left to the search, keep their source code
    // (the image may be corrected in place).
    _mm_storeu_si128((__m128i *)d,
                     _mm_mask_mov_epi16(_mm256_cvtepi32_epi16(r), (__mmask8)(mark | search), sv));
    return search;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace

void drnu2_prepare() {
    DrnuTables &t = tables();
    t.ready = false;
    const int w = calibrateGetWidth(), hgt = calibrateGetHeight();
    const int h = std::clamp(calibrateGetNumDistances(), 0, kMaxSteps);
    const int mode = cal::freq_mode();
    const size_t plane = (size_t)w * hgt;
    if (w <= 0 || hgt <= 0 || plane > (size_t)kPixels) return;
    const uint16_t *img = cal::dist_images(mode);
    const uint16_t *mn = cal::dist_min(1), *mx = cal::dist_max(1);
    uint16_t f[kMaxSteps];
    for (size_t q = 0; q < plane; ++q) {
        for (int i = 0; i < h; ++i) f[i] = img[(size_t)i * plane + q];
        prepare_pixel(f, h, mn[q], mx[q], t.first + q, plane);
    }
    t.generation = cal::generation();
    t.h = h;
    t.width = w;
    t.height = hgt;
    t.mode = mode;
    t.ready = true;
}

bool drnu2_ready() {
    const DrnuTables &t = tables();
    return t.ready && t.generation == cal::generation() &&
           t.h == std::clamp(calibrateGetNumDistances(), 0, kMaxSteps) &&
           t.width == calibrateGetWidth() && t.height == calibrateGetHeight() &&
           t.mode == cal::freq_mode();
}

int drnu2_block(const Drnu2Consts &k, const uint16_t *src, uint16_t *dst, int p, int n, int *todo,
                bool vector) {
    const DrnuTables &tb = tables();
    const View t{tb.first,
                 cal::dist_min(1),
                 cal::dist_max(1),
                 cal::dist_images(tb.mode),
                 (size_t)tb.width * tb.height,
                 (size_t)tb.width};
    // The gathers read the word after a code: the last step must not end
    // the storage.
    vector = vector && (size_t)k.h * t.plane < (size_t)kMaxSteps * kPixels;
    int count = 0, j = 0;
    for (; vector && j + 8 <= n; j += 8) {
        unsigned m = table_oct(k, t, src + j, dst + j, p + j);
        for (; m; m &= m - 1) {
            const int q = j + __builtin_ctz(m);
            if (!table_pixel(k, t, src[q], p + q, dst[q])) todo[count++] = q;
        }
    }
    for (; j < n; ++j)
        if (!table_pixel(k, t, src[j], p + j, dst[j])) todo[count++] = j;
    return count;
}

}  // namespace vz::epc::corr

namespace vz::epc {
constinit const SlotOps correction_drnu_slot = slot_ops<corr::DrnuTables>();
}  // namespace vz::epc
