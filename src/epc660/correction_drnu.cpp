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
// straightforward search.
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

constexpr int kStride = kMaxSteps + 2;  // images of a pixel, padded for 4-value reads
constexpr uint8_t kSearch = 255;        // the straightforward search decides
constexpr uint8_t kNotFound = 254;      // the search never starts: no step
constexpr uint16_t kLow = 65300;
constexpr uint16_t kOverflow = 65500;
constexpr int kSpan = 29;  // search window around the prediction

// The prepared tables (12.7 MB, in zero-filled storage until a calibration
// set is loaded).
struct DrnuTables {
    uint16_t images[(size_t)kPixels * kStride];  // F(0..h-1) of a pixel, then 65535
    uint8_t first[(size_t)kPixels * kMaxSteps + 4];  // lowest step per prediction
    bool ready;
    uint64_t generation;  // of the calibration tables prepared from
    int h, width, height, mode;
};

DrnuTables &tables() { return vz::epc::state<DrnuTables>(vz::epc::kSlotCorrectionDrnu); }

// Lowest steps of one pixel: F its images, lo and hi its minimum and maximum.
void prepare_pixel(const uint16_t *f, int h, int lo, int hi, uint8_t *first) {
    bool rising = h >= 2 && lo < hi && f[0] == lo && f[h - 1] == hi;
    for (int i = 1; rising && i < h; ++i) rising = f[i - 1] <= f[i];
    if (!rising) {
        memset(first, kSearch, (size_t)h);
        return;
    }
    // Bucket k holds the codes w with trunc((w - lo) h / (hi - lo)) = k; its
    // bounds are widened by far more than the rounding of that expression.
    // The step of w is the number of F(1..h-2) not above w.
    const double width = double(hi - lo) / h;
    int a = 0, b = 0;  // counts at the lower and upper bound
    for (int k = 0; k < h; ++k) {
        if (k >= h - 1) {
            first[k] = kNotFound;
            continue;
        }
        const double wa = lo + k * width - 0.01, wb = lo + (k + 1) * width + 0.01;
        while (a < h - 2 && f[a + 1] <= wa) ++a;
        b = std::max(b, a);
        while (b < h - 2 && f[b + 1] <= wb) ++b;
        first[k] = b - a <= 2 ? uint8_t(a) : kSearch;
    }
}

// Rounds half away from zero as cal::round_i32 does, and keeps the low 16
// bits as the store of a code does.
inline uint16_t round_code(double x) { return uint16_t(cal::round_i32(x)); }

// One pixel through the tables; false when the caller must search.
inline bool table_pixel(const Drnu2Consts &k, const DrnuTables &t, const uint16_t *mn,
                        const uint16_t *mx, uint16_t v, int p, uint16_t &out) {
    if (v >= kLow) {
        out = v;
        return true;
    }
    double w = v;
    if (k.temp) w = w - k.dt_slope;
    const int lo = mn[p], hi = mx[p];
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
    const int a = t.first[(size_t)p * kMaxSteps + o];
    if (a >= kNotFound) return false;
    const uint16_t *f = t.images + (size_t)p * kStride + a;
    const int i = a + (f[1] <= w) + (f[2] <= w);
    if (i - o > kSpan || o - i > kSpan) return false;
    const int fi = f[i - a], gi = f[i - a + 1];
    out = round_code(k.lsb * i + k.lsb * (w - fi) / (gi - fi));
    return true;
}

// GCC 12 reports the undefined pass-through register of the AVX-512
// conversion intrinsics as maybe uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Eight pixels from p with the double operations of table_pixel in the same
// order; returns the mask of lanes the caller must search.
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,avx2"))) unsigned table_oct(
    const Drnu2Consts &k, const DrnuTables &t, const uint16_t *mn, const uint16_t *mx,
    const uint16_t *s, uint16_t *d, int p) {
    const __m128i sv = _mm_loadu_si128((const __m128i *)s);
    const __mmask8 mark = _mm_cmpge_epu16_mask(sv, _mm_set1_epi16((short)kLow));
    if (mark == 0xFF) {
        _mm_storeu_si128((__m128i *)d, sv);
        return 0;
    }
    const __m512d v = _mm512_cvtepi32_pd(_mm256_cvtepu16_epi32(sv));
    const __m512d w = k.temp ? _mm512_sub_pd(v, _mm512_set1_pd(k.dt_slope)) : v;
    const __m256i lo_i = _mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *)(mn + p)));
    const __m256i hi_i = _mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *)(mx + p)));
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
    const __m256i last = _mm256_set1_epi32(k.h - 1);
    __mmask8 search = _mm256_mask_cmpge_epi32_mask(inside, o, last);
    o = _mm256_min_epi32(o, last);
    const __m256i lane = _mm256_add_epi32(_mm256_set1_epi32(p), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    // The lowest step of each lane's prediction: 32-bit reads at byte
    // positions (the table has four bytes of padding), low byte kept.
    const __m256i at = _mm256_add_epi32(_mm256_mullo_epi32(lane, _mm256_set1_epi32(kMaxSteps)), o);
    const __m256i a = _mm256_and_si256(
        _mm256_mmask_i32gather_epi32(_mm256_setzero_si256(), inside, at, t.first, 1),
        _mm256_set1_epi32(0xFF));
    search |= _mm256_mask_cmpge_epi32_mask(inside, a, _mm256_set1_epi32(kNotFound));
    const __mmask8 ok = (__mmask8)(inside & ~search);
    // F(a .. a + 3) of each lane in one 64-bit read.
    const __m256i fat = _mm256_add_epi32(_mm256_mullo_epi32(lane, _mm256_set1_epi32(kStride)), a);
    const __m512i rec =
        _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), ok, fat, t.images, 2);
    const __m512i low = _mm512_set1_epi64(0xFFFF);
    const __m512d f0 = _mm512_cvtepi64_pd(_mm512_and_si512(rec, low));
    const __m512d f1 = _mm512_cvtepi64_pd(_mm512_and_si512(_mm512_srli_epi64(rec, 16), low));
    const __m512d f2 = _mm512_cvtepi64_pd(_mm512_and_si512(_mm512_srli_epi64(rec, 32), low));
    const __m512d f3 = _mm512_cvtepi64_pd(_mm512_srli_epi64(rec, 48));
    const __mmask8 c1 = _mm512_mask_cmp_pd_mask(ok, f1, w, _CMP_LE_OQ);
    const __mmask8 c2 = _mm512_mask_cmp_pd_mask(ok, f2, w, _CMP_LE_OQ);
    const __m512d vf = _mm512_mask_blend_pd(c2, _mm512_mask_blend_pd(c1, f0, f1), f2);
    __m512d vg = _mm512_mask_blend_pd(c2, _mm512_mask_blend_pd(c1, f1, f2), f3);
    const __m256i ione = _mm256_set1_epi32(1);
    const __m256i s1 = _mm256_mask_add_epi32(a, c1, a, ione);
    const __m256i step = _mm256_mask_add_epi32(s1, c2, s1, ione);
    const __mmask8 far = _mm256_mask_cmpgt_epi32_mask(
        ok, _mm256_abs_epi32(_mm256_sub_epi32(step, o)), _mm256_set1_epi32(kSpan));
    search |= far;
    const __mmask8 done = (__mmask8)(ok & ~far);
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
    for (size_t q = 0; q < plane; ++q) {
        uint16_t *f = t.images + q * kStride;
        for (int i = 0; i < h; ++i) f[i] = img[(size_t)i * plane + q];
        for (int i = h; i < kStride; ++i) f[i] = 65535;
        prepare_pixel(f, h, mn[q], mx[q], t.first + q * kMaxSteps);
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
    const DrnuTables &t = tables();
    const uint16_t *mn = cal::dist_min(1), *mx = cal::dist_max(1);
    int count = 0, j = 0;
    for (; vector && j + 8 <= n; j += 8) {
        unsigned m = table_oct(k, t, mn, mx, src + j, dst + j, p + j);
        for (; m; m &= m - 1) todo[count++] = j + __builtin_ctz(m);
    }
    for (; j < n; ++j)
        if (!table_pixel(k, t, mn, mx, src[j], p + j, dst[j])) todo[count++] = j;
    return count;
}

}  // namespace vz::epc::corr

namespace vz::epc {
constinit const SlotOps correction_drnu_slot = slot_ops<corr::DrnuTables>();
}  // namespace vz::epc
