// Per-pixel corrections of sorted distance images: DRNU correction by
// offset table (mode 1) or by interpolation between calibration distance
// images (mode 2), temperature compensation, phase-offset addition with
// wrap-around, ambient-light correction of raw DCS samples, and three
// temporal Kalman filters with their per-pixel state.
//
// Codes above 65299 are markers and pass every correction unchanged. The
// per-frame loops keep a straightforward twin (ref_*) that fetches every
// value through the module getters; the tests prove both bit-identical.
#include "epc660/correction.h"

#include <immintrin.h>
#include <math.h>
#include <stddef.h>
#include <string.h>

#include <algorithm>

#include "base/firewall.h"
#include "base/log.h"
#include "epc660/base.h"
#include "epc660/calc_frame.h"
#include "epc660/calibration.h"
#include "epc660/correction_drnu.h"
#include "vizor/epc660.h"

namespace vz::epc::corr {
namespace {

using cal::kPixels;

constexpr uint16_t kLow = 65300;       // amplitude too low / below calibration
constexpr uint16_t kOverflow = 65500;  // ADC overflow / beyond calibration
constexpr int kSearchSpan = 29;        // DRNU mode 2 search window around o
constexpr int kTracePixel = 4500;      // pixel whose filter state is printed

// Switches, parameters and per-pixel filter state of the module.
struct State {
    int drnu = 0;
    int temperature = 0;
    int ambient = 0;
    double ambient_factor = 250.0;
    double ambient_factor_org = 250.0;
    int16_t diff_temp = 0;

    int kalman = 0;
    double k = 0.1;
    double k_max = 0.1;
    double gain = 1.0;
    double kdiff = 0.1;
    double q = 2.0;
    int threshold1 = 500;
    int threshold2 = 500;
    int num_check = 0;
};

// Per-pixel state, zero at start (kept apart so that it lives in
// zero-filled storage).
struct Pixels {
    uint16_t ambient_buf[kPixels];
    double estimate[kPixels];
    double last_meas[kPixels];
    double last_valid[kPixels];
    double prev_meas[kPixels];
    double covariance[kPixels];
    int check[kPixels];
    int samples[kPixels];
    double sum[kPixels];
    double sum_sq[kPixels];
    int16_t seen[kPixels];  // 2 once a pixel went through Kalman mode 3
};

State &state() { return vz::epc::state<State>(vz::epc::kSlotCorrection); }
Pixels &pixels() { return vz::epc::state<Pixels>(vz::epc::kSlotCorrectionPixels); }
#undef EPC_BIND
#define EPC_BIND                         \
    [[maybe_unused]] State &S = state(); \
    [[maybe_unused]] Pixels &P = pixels();

// The sorted image the corrections work on: columns x rows entries, never
// more than the per-pixel arrays hold.
struct Geometry {
    int cols = 0;
    int rows = 0;
    int pixels() const { return cols * rows; }
};

Geometry geometry() {
    Geometry g;
    g.cols = pruGetNCols();
    g.rows = pruGetNRowsPerHalf() * pruGetNumberOfHalves();
    // Dual MGX images have half the raw height: the corrections never reach
    // into the amplitude image that follows the distance image.
    if (calculationIsDualMGX()) g.rows /= 2;
    if (g.cols <= 0 || g.rows <= 0 || g.cols > cal::kLutCols || g.cols * g.rows > kPixels)
        return Geometry{};
    return g;
}

// Every code from 65300 up is a marker that no stage changes.
bool is_marker(uint16_t v) { return v >= kLow; }

// Temperature difference of the corrections: the stored one while the
// ambient-light correction is on, else chip temperature minus calibration
// temperature (from the frame header or from the device).
double delta_t(bool from_header) {
    const Use epc_use;
    corr::State &S = corr::state();
    if (S.ambient) return S.diff_temp;
    const int t =
        from_header ? temperatureGetTemperatureByFrameHeader() : temperatureGetTemperature();
    return t - calibrateGetTempCalib();
}

// Offset that calculationAddOffset adds in the current DRNU mode.
int add_offset_value() {
    const Use epc_use;
    corr::State &S = corr::state();
    if (S.drnu == 2) {
        if (calibrationIsDefaultEnabled() == 1) return cal::trunc_i32(cal::box_offset());
        return calibrationGetOffsetPhase() + calibrationGetOffsetDRNU();
    }
    return calibrationGetOffsetPhase();
}

uint16_t wrap_code(int code, int offset) {
    const long s = (long)code + offset;
    return (uint16_t)(((s % 30000) + 30000) % 30000);
}

void log_not_found(double w, int lo, int hi) { drnu2_log_not_found(w, lo, hi); }

// One pixel of DRNU mode 2 once the table column is known: `at(i)` gives
// distance image i at the pixel's calibration index.
template <class At>
double drnu2_pixel(double w, int lo, int hi, int h, double lsb, At at) {
    if (lo >= hi) return w;
    if (w <= lo) return kLow;
    if (w >= hi) return kOverflow;
    const int o = cal::trunc_i32((w - lo) * h / (hi - lo));
    for (int i = o; i >= o - kSearchSpan && i <= o + kSearchSpan && i >= 0 && i < h - 1;) {
        const int f = at(i);
        const int g = at(i + 1);
        if (f <= w && w < g) {
            if (f == g) return lsb * i;
            return lsb * i + lsb * (w - f) / (g - f);
        }
        if (w < f)
            --i;
        else
            ++i;
    }
    log_not_found(w, lo, hi);
    return w;
}

// Offsets of the output image in the calibration image.
struct CalOrigin {
    int x0, y0, w, h;
};

CalOrigin cal_origin() {
    return {readOutGetTopLeftX() - 4, readOutGetTopLeftY() - 6, calibrateGetWidth(),
            calibrateGetHeight()};
}

// Per-frame constants of DRNU mode 2.
struct Drnu2Frame {
    bool temp;
    double dt_slope;  // temperature term (dt x slope), used when temp is on
    int h;
    double lsb;
    size_t plane;
    size_t stride;  // calibration image row, in codes
    const uint16_t *img, *mn, *mx;
};

// One pixel p whose calibration column starts at col.
inline uint16_t drnu2_one(const Drnu2Frame &k, uint16_t v, int p, const uint16_t *col) {
    double w = v;
    if (k.temp) w = w - k.dt_slope;
    const size_t plane = k.plane;
    const double res = drnu2_pixel(w, k.mn[p], k.mx[p], k.h, k.lsb,
                                   [col, plane](int i) { return col[(size_t)i * plane]; });
    return (uint16_t)cal::round_i32(res);
}

// Four neighbouring pixels in the common case (no marker, inside the
// calibrated range, step found at the predicted index) with the same double
// operations in the same order as drnu2_one, four at a time; false when any
// of them needs the general path.
__attribute__((target("avx2"))) bool drnu2_quad(const Drnu2Frame &k, const uint16_t *s, uint16_t *d,
                                                int p, const uint16_t *col) {
    if ((s[0] | s[1] | s[2] | s[3]) >= 0x8000 &&
        (s[0] >= kLow || s[1] >= kLow || s[2] >= kLow || s[3] >= kLow))
        return false;
    const __m256d v = _mm256_cvtepi32_pd(_mm_setr_epi32(s[0], s[1], s[2], s[3]));
    const __m256d w = k.temp ? _mm256_sub_pd(v, _mm256_set1_pd(k.dt_slope)) : v;
    const __m256d lo =
        _mm256_cvtepi32_pd(_mm_setr_epi32(k.mn[p], k.mn[p + 1], k.mn[p + 2], k.mn[p + 3]));
    const __m256d hi =
        _mm256_cvtepi32_pd(_mm_setr_epi32(k.mx[p], k.mx[p + 1], k.mx[p + 2], k.mx[p + 3]));
    const __m256d inside =
        _mm256_and_pd(_mm256_cmp_pd(w, lo, _CMP_GT_OQ), _mm256_cmp_pd(w, hi, _CMP_LT_OQ));
    if (_mm256_movemask_pd(inside) != 0xF) return false;
    const __m256d ratio = _mm256_div_pd(_mm256_mul_pd(_mm256_sub_pd(w, lo), _mm256_set1_pd(k.h)),
                                        _mm256_sub_pd(hi, lo));
    const __m128i o = _mm256_cvttpd_epi32(ratio);
    alignas(16) int oi[4];
    _mm_store_si128((__m128i *)oi, o);
    // Distance images o - 1 .. o + 2 at the four pixels: the search of
    // drnu2_pixel ends at o - 1, o or o + 1 in the common case.
    alignas(16) int fm[4], f0[4], f1[4], f2[4];
    for (int j = 0; j < 4; ++j) {
        if (oi[j] < 1 || oi[j] > k.h - 3) return false;
        const uint16_t *c = col + j + (size_t)(oi[j] - 1) * k.plane;
        fm[j] = c[0];
        f0[j] = c[k.plane];
        f1[j] = c[2 * k.plane];
        f2[j] = c[3 * k.plane];
    }
    const __m256d vm = _mm256_cvtepi32_pd(_mm_load_si128((const __m128i *)fm));
    const __m256d v0 = _mm256_cvtepi32_pd(_mm_load_si128((const __m128i *)f0));
    const __m256d v1 = _mm256_cvtepi32_pd(_mm_load_si128((const __m128i *)f1));
    const __m256d v2 = _mm256_cvtepi32_pd(_mm_load_si128((const __m128i *)f2));
    const __m256d down = _mm256_cmp_pd(w, v0, _CMP_LT_OQ);
    const __m256d up = _mm256_andnot_pd(down, _mm256_cmp_pd(w, v1, _CMP_GE_OQ));
    const __m256d vf = _mm256_blendv_pd(_mm256_blendv_pd(v0, vm, down), v1, up);
    const __m256d vg = _mm256_blendv_pd(_mm256_blendv_pd(v1, v0, down), v2, up);
    const __m256d found =
        _mm256_and_pd(_mm256_cmp_pd(vf, w, _CMP_LE_OQ), _mm256_cmp_pd(w, vg, _CMP_LT_OQ));
    if (_mm256_movemask_pd(found) != 0xF) return false;
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d vo = _mm256_sub_pd(_mm256_add_pd(_mm256_cvtepi32_pd(o), _mm256_and_pd(up, one)),
                                     _mm256_and_pd(down, one));
    const __m256d lsb = _mm256_set1_pd(k.lsb);
    const __m256d res = _mm256_add_pd(
        _mm256_mul_pd(lsb, vo),
        _mm256_div_pd(_mm256_mul_pd(lsb, _mm256_sub_pd(w, vf)), _mm256_sub_pd(vg, vf)));
    // Round half away from zero exactly: trunc, then the exact remainder.
    const __m256d t = _mm256_round_pd(res, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256d frac = _mm256_sub_pd(res, t);
    const __m256d r_up = _mm256_and_pd(_mm256_cmp_pd(frac, _mm256_set1_pd(0.5), _CMP_GE_OQ), one);
    const __m256d r_down =
        _mm256_and_pd(_mm256_cmp_pd(frac, _mm256_set1_pd(-0.5), _CMP_LE_OQ), one);
    alignas(16) int out[4];
    _mm_store_si128((__m128i *)out,
                    _mm256_cvttpd_epi32(_mm256_sub_pd(_mm256_add_pd(t, r_up), r_down)));
    for (int j = 0; j < 4; ++j) d[j] = (uint16_t)out[j];
    return true;
}

// GCC 12 reports the undefined pass-through register of the AVX-512
// conversion intrinsics as maybe uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// Eight neighbouring pixels in the common case, as drnu2_quad with the same
// double operations in the same order; marker lanes pass unchanged. The
// distance images o - 1 .. o + 2 next to each prediction o come from plain
// vector loads when the predictions differ by at most one from the first
// lane's (the usual case along a row of a surface: o changes slowly): four
// loads when all agree, else six from which each lane picks its images;
// otherwise from gathers of
// 32-bit words at 16-bit positions whose low halves are the codes. The frame
// loop allows this kernel only while the word after the last element read
// lies inside the table storage.
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,avx2"))) bool drnu2_oct(
    const Drnu2Frame &k, const uint16_t *s, uint16_t *d, int p, const uint16_t *col) {
    const __m128i sv = _mm_loadu_si128((const __m128i *)s);
    const __mmask8 mark = _mm_cmpge_epu16_mask(sv, _mm_set1_epi16((short)kLow));
    if (mark == 0xFF) {
        _mm_storeu_si128((__m128i *)d, sv);
        return true;
    }
    const __m512d v = _mm512_cvtepi32_pd(_mm256_cvtepu16_epi32(sv));
    const __m512d w = k.temp ? _mm512_sub_pd(v, _mm512_set1_pd(k.dt_slope)) : v;
    const __m512d lo =
        _mm512_cvtepi32_pd(_mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *)(k.mn + p))));
    const __m512d hi =
        _mm512_cvtepi32_pd(_mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *)(k.mx + p))));
    const __mmask8 inside =
        _mm512_cmp_pd_mask(w, lo, _CMP_GT_OQ) & _mm512_cmp_pd_mask(w, hi, _CMP_LT_OQ);
    if ((inside | mark) != 0xFF) return false;
    const __m512d ratio = _mm512_div_pd(_mm512_mul_pd(_mm512_sub_pd(w, lo), _mm512_set1_pd(k.h)),
                                        _mm512_sub_pd(hi, lo));
    __m256i o = _mm512_cvttpd_epi32(ratio);
    // Marker lanes take the prediction of the first other lane: every lane
    // then reads inside the table.
    const int first = __builtin_ctz((unsigned)(uint8_t)~mark);
    alignas(32) int oi[8];
    _mm256_store_si256((__m256i *)oi, o);
    const int a = oi[first];
    o = _mm256_mask_mov_epi32(o, mark, _mm256_set1_epi32(a));
    const __mmask8 range = _mm256_cmpge_epi32_mask(o, _mm256_set1_epi32(1)) &
                           _mm256_cmple_epi32_mask(o, _mm256_set1_epi32(k.h - 3));
    if (range != 0xFF) return false;
    const __mmask8 below = _mm256_cmpeq_epi32_mask(o, _mm256_set1_epi32(a - 1));
    const __mmask8 above = _mm256_cmpeq_epi32_mask(o, _mm256_set1_epi32(a + 1));
    const __mmask8 same = _mm256_cmpeq_epi32_mask(o, _mm256_set1_epi32(a));
    __m256i f[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                    _mm256_setzero_si256()};
    if (same == 0xFF) {
        const uint16_t *c = col + (size_t)(a - 1) * k.plane;
        for (int m = 0; m < 4; ++m)
            f[m] = _mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *)(c + m * k.plane)));
        // The same images two rows below are what the next rows read (the
        // prediction changes slowly down a surface too): fetch them early,
        // once per cache line.
        if (((uintptr_t)col & 63) < 16)
            for (int m = 0; m < 4; ++m)
                _mm_prefetch((const char *)(c + m * k.plane + 2 * k.stride), _MM_HINT_T0);
    } else if ((same | below | above) == 0xFF && a >= 2 && a <= k.h - 4) {
        // Images a - 2 .. a + 3; lane j with o = a + e takes image o - 1 + m
        // from load m + 1 + e.
        __m256i l[6];
        const uint16_t *c = col + (size_t)(a - 2) * k.plane;
        for (int m = 0; m < 6; ++m)
            l[m] = _mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *)(c + m * k.plane)));
        for (int m = 0; m < 4; ++m)
            f[m] = _mm256_mask_mov_epi32(_mm256_mask_mov_epi32(l[m + 1], below, l[m]), above,
                                         l[m + 2]);
    } else {
        const int plane = (int)k.plane;
        const __m256i iota = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        __m256i at = _mm256_add_epi32(
            _mm256_set1_epi32((int)(col - k.img)),
            _mm256_add_epi32(iota, _mm256_mullo_epi32(_mm256_sub_epi32(o, _mm256_set1_epi32(1)),
                                                      _mm256_set1_epi32(plane))));
        const __m256i low = _mm256_set1_epi32(0xFFFF);
        for (int m = 0; m < 4; ++m, at = _mm256_add_epi32(at, _mm256_set1_epi32(plane)))
            f[m] = _mm256_and_si256(_mm256_i32gather_epi32((const int *)k.img, at, 2), low);
    }
    const __m512d vm = _mm512_cvtepi32_pd(f[0]);
    const __m512d v0 = _mm512_cvtepi32_pd(f[1]);
    const __m512d v1 = _mm512_cvtepi32_pd(f[2]);
    const __m512d v2 = _mm512_cvtepi32_pd(f[3]);
    const __mmask8 down = _mm512_cmp_pd_mask(w, v0, _CMP_LT_OQ);
    const __mmask8 up = (__mmask8)(~down & _mm512_cmp_pd_mask(w, v1, _CMP_GE_OQ));
    const __m512d vf = _mm512_mask_blend_pd(up, _mm512_mask_blend_pd(down, v0, vm), v1);
    __m512d vg = _mm512_mask_blend_pd(up, _mm512_mask_blend_pd(down, v1, v0), v2);
    const __mmask8 found =
        _mm512_cmp_pd_mask(vf, w, _CMP_LE_OQ) & _mm512_cmp_pd_mask(w, vg, _CMP_LT_OQ);
    if ((found | mark) != 0xFF) return false;
    // Marker lanes divide by one; their result is discarded.
    vg = _mm512_mask_add_pd(vg, mark, vf, _mm512_set1_pd(1.0));
    const __m256i step = _mm256_mask_sub_epi32(
        _mm256_mask_add_epi32(o, up, o, _mm256_set1_epi32(1)), down, o, _mm256_set1_epi32(1));
    const __m512d lsb = _mm512_set1_pd(k.lsb);
    const __m512d res = _mm512_add_pd(
        _mm512_mul_pd(lsb, _mm512_cvtepi32_pd(step)),
        _mm512_div_pd(_mm512_mul_pd(lsb, _mm512_sub_pd(w, vf)), _mm512_sub_pd(vg, vf)));
    // Round half away from zero exactly: trunc, then the exact remainder.
    const __m512d t = _mm512_roundscale_pd(res, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m512d frac = _mm512_sub_pd(res, t);
    const __m256i ti = _mm512_cvttpd_epi32(t);
    const __mmask8 r_up = _mm512_cmp_pd_mask(frac, _mm512_set1_pd(0.5), _CMP_GE_OQ);
    const __mmask8 r_down = _mm512_cmp_pd_mask(frac, _mm512_set1_pd(-0.5), _CMP_LE_OQ);
    const __m256i r =
        _mm256_mask_sub_epi32(_mm256_mask_add_epi32(ti, r_up, ti, _mm256_set1_epi32(1)), r_down, ti,
                              _mm256_set1_epi32(1));
    _mm_storeu_si128((__m128i *)d, _mm_mask_mov_epi16(_mm256_cvtepi32_epi16(r), mark, sv));
    return true;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// Offset addition of count codes, o being the offset brought into 0..29999.
void add_offset_rest(uint16_t *image, int count, int o, int off) {
    for (int p = 0; p < count; ++p) {
        const uint16_t v = image[p];
        if (v < 30000) {
            const int s = v + o;
            image[p] = (uint16_t)(s >= 30000 ? s - 30000 : s);
        } else if (!is_marker(v)) {
            image[p] = wrap_code(v, off);
        }
    }
}

// Sixteen codes at a time while each of them lies in one period or is a
// marker: v + o stays below 60000, the smaller of s and s - 30000 in 16-bit
// unsigned arithmetic is the wrapped sum, and markers keep their code.
// Blocks holding any other code take the general loop. Returns the number of
// codes done in blocks.
__attribute__((target("avx2"))) int add_offset_avx2(uint16_t *image, int n, uint16_t o, int off) {
    const __m256i vo = _mm256_set1_epi16((short)o);
    const __m256i period = _mm256_set1_epi16((short)30000);
    const __m256i top = _mm256_set1_epi16((short)29999);
    const __m256i low = _mm256_set1_epi16((short)kLow);
    int p = 0;
    for (; p + 16 <= n; p += 16) {
        __m256i *at = (__m256i *)(image + p);
        const __m256i v = _mm256_loadu_si256(at);
        const __m256i in = _mm256_cmpeq_epi16(_mm256_max_epu16(v, top), top);
        const __m256i mark = _mm256_cmpeq_epi16(_mm256_max_epu16(v, low), v);
        if (_mm256_movemask_epi8(_mm256_or_si256(in, mark)) != -1) {
            add_offset_rest(image + p, 16, o, off);
            continue;
        }
        const __m256i s = _mm256_add_epi16(v, vo);
        const __m256i sum = _mm256_min_epu16(s, _mm256_sub_epi16(s, period));
        _mm256_storeu_si256(at, _mm256_blendv_epi8(sum, v, mark));
    }
    return p;
}

// The same 32 codes at a time with AVX-512.
__attribute__((target("avx512f,avx512bw"))) int add_offset_avx512(uint16_t *image, int n,
                                                                  uint16_t o, int off) {
    const __m512i vo = _mm512_set1_epi16((short)o);
    const __m512i period = _mm512_set1_epi16((short)30000);
    const __m512i low = _mm512_set1_epi16((short)kLow);
    int p = 0;
    for (; p + 32 <= n; p += 32) {
        const __m512i v = _mm512_loadu_si512(image + p);
        const __mmask32 mark = _mm512_cmpge_epu16_mask(v, low);
        if ((_mm512_cmplt_epu16_mask(v, period) | mark) != 0xFFFFFFFFu) {
            add_offset_rest(image + p, 32, o, off);
            continue;
        }
        const __m512i s = _mm512_add_epi16(v, vo);
        const __m512i sum = _mm512_min_epu16(s, _mm512_sub_epi16(s, period));
        _mm512_storeu_si512(image + p, _mm512_mask_mov_epi16(sum, mark, v));
    }
    return p;
}

void drnu2_fast(uint16_t *dst, const uint16_t *src) {
    const Use epc_use;
    corr::State &S = corr::state();
    const Geometry g = geometry();
    if (g.pixels() == 0) return;
    Drnu2Frame k;
    k.temp = S.temperature != 0;
    k.dt_slope = k.temp ? delta_t(true) * cal::temperature_slope() : 0.0;
    k.h = std::clamp(calibrateGetNumDistances(), 0, cal::kMaxSteps);
    k.lsb = cal::step_lsb();
    const CalOrigin co = cal_origin();
    k.plane = (size_t)co.w * co.h;
    k.stride = (size_t)std::max(co.w, 0);
    k.img = cal::dist_images(cal::freq_mode());
    k.mn = cal::dist_min(cal::freq_mode());
    k.mx = cal::dist_max(cal::freq_mode());
    // The kernels follow the instruction set the calculation uses (none in a
    // build without SIMD loops). Gathers read one word past their element:
    // the eight-pixel kernel runs only while that stays inside the table.
    const char *isa = calc::simd_isa();
    // A sorted image that covers the calibration image from its origin has
    // the calibration index as its pixel index: the per-pixel tables decide
    // every pixel the kernels leave, in constant time; the search only
    // those the tables cannot (irregular calibrations).
    const bool tables =
        co.x0 == 0 && co.y0 == 0 && g.cols == co.w && g.rows <= co.h && drnu2_ready();
    const Drnu2Consts kc{k.temp, k.dt_slope, k.h, k.lsb};
    const Drnu2View view = tables ? drnu2_view() : Drnu2View{};
    auto one = [&](uint16_t v, int p, const uint16_t *col) {
        uint16_t out;
        if (v >= kLow) return v;
        if (tables && drnu2_table(kc, view, v, p, out)) return out;
        return drnu2_one(k, v, p, col);
    };
    const bool octs =
        strcmp(isa, "avx512") == 0 && (size_t)k.h * k.plane < (size_t)cal::kMaxSteps * kPixels;
    // With every step inside the search window (h - 2 <= span) and the
    // temperature term usable as whole codes, the whole image goes through
    // the vector kernel.
    const Drnu2Whole whole = drnu2_whole(kc);
    if (octs && tables && k.h >= 12 && k.h - 2 <= kSearchSpan && whole.usable) {
        struct Fallback {
            decltype(one) &pixel;
            const uint16_t *img;
        } fb{one, k.img};
        drnu2_tables_avx512(
            kc, whole, view, src, dst, g.pixels(),
            [](void *ctx, uint16_t v, int p) {
                const Fallback &f = *static_cast<const Fallback *>(ctx);
                return f.pixel(v, p, f.img + p);
            },
            &fb);
        return;
    }
    const bool quads = octs || strcmp(isa, "avx2") == 0;
    for (int r = 0; r < g.rows; ++r) {
        const int cy = co.y0 + r;
        const uint16_t *s = src + (size_t)r * g.cols;
        uint16_t *d = dst + (size_t)r * g.cols;
        // Columns whose calibration index lies inside the calibration image.
        int ca = 0, cb = 0;
        if (cy >= 0 && cy < co.h) {
            ca = std::clamp(-co.x0, 0, g.cols);
            cb = std::clamp(co.w - co.x0, ca, g.cols);
        }
        for (int c = 0; c < ca; ++c) d[c] = s[c];
        const uint16_t *row = cb > ca ? k.img + (ptrdiff_t)cy * co.w + co.x0 : k.img;
        int c = ca;
        for (; octs && c + 8 <= cb; c += 8)
            if (!drnu2_oct(k, s + c, d + c, r * g.cols + c, row + c))
                for (int j = c; j < c + 8; ++j) d[j] = one(s[j], r * g.cols + j, row + j);
        for (; quads && c + 4 <= cb; c += 4)
            if (!drnu2_quad(k, s + c, d + c, r * g.cols + c, row + c))
                for (int j = c; j < c + 4; ++j) d[j] = one(s[j], r * g.cols + j, row + j);
        for (; c < cb; ++c) d[c] = one(s[c], r * g.cols + c, row + c);
        for (c = cb; c < g.cols; ++c) d[c] = s[c];
    }
}

}  // namespace

void drnu2_log_not_found(double w, int lo, int hi) {
    vz_dbg("[%s]  cannot find proper dist in calibration: %.2f (min=%d, max=%d)\n",
           "calculationCorrectDRNU2_opt", w, lo, hi);
}

bool drnu2_logs_not_found() { return vz::log::wants(VZ_LOG_DBG); }

void ambient_store(int index, uint16_t gray) {
    corr::Pixels &P = corr::pixels();
    if (index >= 0 && index < kPixels) P.ambient_buf[index] = gray;
}

uint16_t ambient_at(int index) {
    corr::Pixels &P = corr::pixels();
    return index >= 0 && index < kPixels ? P.ambient_buf[index] : 0;
}

int16_t diff_temp() {
    const Use epc_use;
    corr::State &S = corr::state();
    return S.diff_temp;
}

void ref_drnu2(uint16_t *dst, const uint16_t *src) {
    const Use epc_use;
    corr::State &S = corr::state();
    const Geometry g = geometry();
    for (int r = 0; r < g.rows; ++r) {
        for (int c = 0; c < g.cols; ++c) {
            const int p = r * g.cols + c;
            const uint16_t v = src[p];
            const int cw = calibrateGetWidth();
            const int cx = readOutGetTopLeftX() - 4 + c;
            const int cy = readOutGetTopLeftY() - 6 + r;
            if (v >= kLow || cx < 0 || cx >= cw || cy < 0 || cy >= calibrateGetHeight()) {
                dst[p] = v;
                continue;
            }
            double w = v;
            if (S.temperature) w = w - delta_t(true) * cal::temperature_slope();
            const int idx = cy * cw + cx;
            const int plane = cw * calibrateGetHeight();
            const double lsb = calibrateGetStepCalMM() * 30000 / cal::range_mm();
            const double res = drnu2_pixel(
                w, cal::dist_min(cal::freq_mode())[p], cal::dist_max(cal::freq_mode())[p],
                calibrateGetNumDistances(), lsb,
                [idx, plane](int i) { return (int)calibrateGetDistImagePixel(i * plane + idx); });
            dst[p] = (uint16_t)cal::round_i32(res);
        }
    }
}

void ref_temperature(uint16_t *image) {
    const Use epc_use;
    corr::State &S = corr::state();
    const Geometry g = geometry();
    for (int p = 0; S.temperature && p < g.pixels(); ++p) {
        if (image[p] > 65299) continue;
        const double dt = delta_t(true);
        image[p] = (uint16_t)(image[p] - cal::round_i32(dt * cal::temperature_slope()));
    }
}

void ref_add_offset(uint16_t *image) {
    const Geometry g = geometry();
    for (int p = 0; p < g.pixels(); ++p) {
        if (is_marker(image[p])) continue;
        int s = image[p] + add_offset_value();
        while (s < 0) s += 30000;
        image[p] = (uint16_t)(s % 30000);
    }
}

void kalman_restart() {
    const Use epc_use;
    corr::Pixels &P = corr::pixels();
    for (double *a : {P.estimate, P.last_meas, P.last_valid, P.prev_meas, P.sum, P.sum_sq})
        std::fill(a, a + kPixels, 0.0);
    std::fill(std::begin(P.check), std::end(P.check), 0);
    std::fill(std::begin(P.samples), std::end(P.samples), 0);
    std::fill(std::begin(P.seen), std::end(P.seen), int16_t(0));
    std::fill(std::begin(P.covariance), std::end(P.covariance), 1e-12);
}

void reset_for_tests() {
    const Use epc_use;
    corr::State &S = corr::state();
    corr::Pixels &P = corr::pixels();
    S = State{};
    memset(&P, 0, sizeof P);
}

// ---- switches -------------------------------------------------------------

namespace {

// The chip's DRNU control registers follow every switch change.
void write_drnu_registers() {
    const Use epc_use;
    corr::State &S = corr::state();
    cal::reg_write(113, 0);
    cal::reg_write(114, 0);
    cal::reg_write(115, 0);
    cal::reg_write(174, S.drnu != 0 ? 4 : 1);
}

int set_drnu(int mode) {
    const Use epc_use;
    corr::State &S = corr::state();
    // Any mode is stored; the pipeline runs no DRNU correction for modes
    // other than 1 and 2.
    S.drnu = mode;
    vz::epc::config_set_drnu_enabled(mode != 0);
    vz::epc::config_set_drnu2_enabled(mode == 2);
    write_drnu_registers();
    if (mode == 0) {
        calibrationSetDefaultOffsetPhase(0);
    } else {
        const int off = cal::trunc_i32(cal::box_offset() - calibrationGetOffsetDRNU());
        calibrationSetDefaultOffsetPhase(off);
        calibrationSetOffsetPhase(off);
    }
    return mode;
}

// ---- Kalman filters -------------------------------------------------------

bool pixel_ok(int i) { return i >= 0 && i < kPixels; }

double simple_kalman(double x, int i, double g) {
    corr::Pixels &P = corr::pixels();
    const Use epc_use;
    corr::State &S = corr::state();
    int n = 0;
    if (fabs(x - P.last_meas[i]) < S.threshold1) n = P.check[i] + 1;
    P.last_meas[i] = x;
    P.check[i] = n;
    P.estimate[i] = (1 - g) * P.estimate[i] + g * x;
    if (n >= S.num_check) {
        P.check[i] = S.num_check;
        if (fabs(x - P.last_valid[i]) > S.threshold1) P.estimate[i] = x;
        P.last_valid[i] = x;
    }
    if (i == kTracePixel)
        vz::epc::print(
            true, 2, "print test 4500 NumCheck: %d gThresholdCheck[4500]: %d  leastValid: %2.4f \n",
            S.num_check, P.check[i], P.last_valid[i]);
    return P.estimate[i];
}

double variance_step(double x, int n, int i) {
    corr::Pixels &P = corr::pixels();
    if (n <= 0) {
        P.sum[i] = 0;
        P.sum_sq[i] = 0;
        return 0;
    }
    P.sum[i] += x;
    P.sum_sq[i] += x * x;
    if (n < 2) return 0;
    return (P.sum_sq[i] - P.sum[i] * P.sum[i] / n) / (n - 1);
}

double kalman(double x, int i, double q, double r) {
    corr::Pixels &P = corr::pixels();
    const Use epc_use;
    corr::State &S = corr::state();
    const double p = P.covariance[i] + q;
    const double gain = p / (r + p);
    const double p_new = p * (1 - gain);
    const double thr = P.samples[i] > 10 ? 6 * sqrt(r) : S.threshold2;
    const double e = P.estimate[i];
    const double nw = e + gain * (x - e);
    double result = nw;
    const double u = fabs(x - e);
    const bool trace = i == kTracePixel;
    if (trace)
        vz::epc::print(true, 2, "print test 4500 NumCheck: %d gThresholdCheck[4500]: %d \n ",
                       S.num_check, P.check[i]);
    if (S.num_check == 0) {
        if (thr > u) {
            P.last_valid[i] = nw;
            if (trace) vz::epc::print(true, 2, "threshold = %2.4f \n", thr);
        } else {
            P.last_valid[i] = x;
            P.check[i] = 0;
            P.samples[i] = -1;
            if (trace) vz::epc::print(true, 2, "reset Kalman 2  \n");
            result = x;
        }
    } else if (thr > u) {
        if (++P.check[i] == S.num_check) {
            P.check[i] = 0;
            if (fabs(P.last_valid[i] - x) < thr) {
                P.last_valid[i] = nw;
            } else {
                P.last_valid[i] = x;
                P.samples[i] = -1;
                result = x;
            }
        }
    } else {
        P.check[i] = 0;
    }
    P.covariance[i] = p_new;
    P.estimate[i] = result;
    return result;
}

double filter_pixel(double v, int i) {
    const Use epc_use;
    corr::State &S = corr::state();
    corr::Pixels &P = corr::pixels();
    switch (S.kalman) {
    case 1: S.gain = S.k; return simple_kalman(v, i, S.k);
    case 2: {
        const double var = variance_step(v, P.samples[i], i);
        const double out = kalman(v, i, S.q, var);
        ++P.samples[i];
        return out;
    }
    default: {
        double gain = 1.0;
        if (P.seen[i] == 2) {
            const double diff = P.prev_meas[i] - v;
            gain = diff == 0 ? S.k_max : S.kdiff / fabs(diff);
            P.prev_meas[i] = v;
            if (gain >= S.k_max) gain = S.k_max;
        }
        S.gain = gain;
        const double out = simple_kalman(v, i, gain);
        P.seen[i] = 2;
        if (i == kTracePixel) vz::epc::print(true, 2, "set gK 4500: %2.4f \n", S.gain);
        return out;
    }
    }
}

}  // namespace
}  // namespace vz::epc::corr

using namespace vz::epc;

extern "C" {

VZ_API int calculationSetEnableDRNU(int mode) noexcept {
    const vz::epc::Use epc_use;
    corr::State &S = corr::state();
    return vz::entry("calculationSetEnableDRNU", S.drnu, [&] { return corr::set_drnu(mode); });
}

VZ_API int calculationGetEnableDRNU(void) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    return S.drnu;
}

VZ_API int calculationSetEnableTemperature(int on) noexcept {
    const vz::epc::Use epc_use;
    corr::State &S = corr::state();
    return vz::entry("calculationSetEnableTemperature", S.temperature, [&] {
        S.temperature = on;
        vz::epc::config_set_temperature_enabled(on);
        corr::write_drnu_registers();
        return on;
    });
}

VZ_API int calculationGetEnableTemperature(void) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    return S.temperature;
}

VZ_API int calculationSetEnableAmbientLight(int on) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    vz::epc::config_set_ambient_light_enabled(on);
    return S.ambient = on;
}
VZ_API int calculationGetEnableAmbientLight(void) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    return S.ambient;
}
VZ_API double calculationSetAmbientLightFactor(double f) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    return S.ambient_factor = f;
}
VZ_API double calculationGetAmbientLightFactor(void) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    return S.ambient_factor;
}
VZ_API double calculationSetAmbientLightFactorOrg(double f) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    return S.ambient_factor_org = f;
}
VZ_API double calculationGetAmbientLightFactorOrg(void) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    return S.ambient_factor_org;
}
VZ_API int16_t calculationSetDiffTemp(int16_t diff) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    return S.diff_temp = diff;
}

VZ_API int calculationCorrectDRNU(uint16_t *image) noexcept {
    const vz::epc::Use epc_use;
    corr::State &S = corr::state();
    return vz::entry("calculationCorrectDRNU", -1, [&] {
        if (image == nullptr) return -1;
        const corr::Geometry g = corr::geometry();
        if (S.drnu == 0 || g.pixels() == 0) return 0;
        const bool temp = S.temperature != 0;
        const double dt = temp ? corr::delta_t(false) : 0.0;
        const double lsb = cal::step_lsb();
        const int off = calibrationGetOffsetDRNU();
        const int32_t *lut = cal::lut();
        for (int r = 0; r < g.rows && r < cal::kLutRows; ++r) {
            for (int c = 0; c < g.cols; ++c) {
                uint16_t &v = image[r * g.cols + c];
                if (v >= corr::kLow) continue;
                int d = v - off;
                if (d < 0) d += 30000;
                const int step = std::clamp(cal::round_i32(d / lsb), 0, cal::kMaxSteps - 1);
                double vn = (double)v - lut[((size_t)step * cal::kLutRows + r) * cal::kLutCols + c];
                if (temp) vn = vn - dt * 3.12262;
                v = (uint16_t)cal::round_i32(vn);
            }
        }
        return 0;
    });
}

VZ_API int calculationCorrectDRNU2_opt(uint16_t *destination, uint16_t *source) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calculationCorrectDRNU2_opt", -1, [&] {
        if (destination == nullptr || source == nullptr) return -1;
        corr::drnu2_fast(destination, source);
        return 0;
    });
}

VZ_API int calculationTemperatureCompensation(uint16_t *image) noexcept {
    const vz::epc::Use epc_use;
    corr::State &S = corr::state();
    return vz::entry("calculationTemperatureCompensation", -1, [&] {
        if (image == nullptr) return -1;
        if (!S.temperature) return 0;
        double dt;
        if (S.ambient) {
            dt = S.diff_temp;
        } else {
            dt = temperatureGetTemperatureByFrameHeader() - calibrateGetTempCalib();
            vz_dbg("[%s] tempDiff = %.2f\n", "calculationTemperatureCompensation", dt);
        }
        vz::epc::print(true, 2, "calculationTemperatureCompensation: calibrateGetTempCoef= %2.6f\n",
                       calibrateGetTempCoef(configGetPartType()));
        const int n = corr::geometry().pixels();
        const int corr_codes = cal::round_i32(dt * cal::temperature_slope());
        for (int p = 0; p < n; ++p)
            if (image[p] <= 65299) image[p] = (uint16_t)(image[p] - corr_codes);
        return 0;
    });
}

VZ_API int calculationAddOffset(uint16_t *image) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calculationAddOffset", -1, [&] {
        if (image == nullptr) return -1;
        const int n = corr::geometry().pixels();
        const int off = corr::add_offset_value();
        // Codes of one period need a single conditional subtraction once the
        // offset is brought into 0..29999; others take the general wrap.
        const int o = corr::wrap_code(0, off);
        // The instruction set follows the calculation's.
        const char *isa = vz::epc::calc::simd_isa();
        const int p = strcmp(isa, "avx512") == 0
                          ? corr::add_offset_avx512(image, n, (uint16_t)o, off)
                      : strcmp(isa, "avx2") == 0 ? corr::add_offset_avx2(image, n, (uint16_t)o, off)
                                                 : 0;
        corr::add_offset_rest(image + p, n - p, o, off);
        return 0;
    });
}

VZ_API uint16_t calculationAmbientDCSCorrectionPixel(uint16_t dcs, uint16_t gray) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    const int pt = configGetPartType();
    int a;
    if (pt == 4 || pt == 5)
        a = (int16_t)cal::round_i32((gray / 16 - 2048) / S.ambient_factor) * 16;
    else
        a = (int16_t)cal::round_i32((gray - 2048) / S.ambient_factor);
    return (uint16_t)(dcs - a);
}

VZ_API int calculationAmbientDCSCorrection(uint16_t *image, int samplesPerDCS) noexcept {
    const vz::epc::Use epc_use;
    corr::State &S = corr::state();
    corr::Pixels &P = corr::pixels();
    return vz::entry("calculationAmbientDCSCorrection", -1, [&] {
        if (image == nullptr || samplesPerDCS <= 0 || samplesPerDCS > 4 * cal::kPixels) return -1;
        vz::epc::print(true, 2, "gAmbientLightFactor = %2.4f  pixelPerDCS= %d \n", S.ambient_factor,
                       samplesPerDCS);
        const corr::Geometry g = corr::geometry();
        const corr::CalOrigin co = corr::cal_origin();
        const int pt = configGetPartType();
        for (int r = 0; r < g.rows; ++r) {
            for (int k = 0; k < g.cols; ++k) {
                const int p = r * g.cols + k;
                const long gi = (long)(co.y0 + r) * co.w + co.x0 + k;
                if (p >= samplesPerDCS || gi < 0 || gi >= cal::kPixels) continue;
                int gray = P.ambient_buf[gi];
                if (pt == 4 || pt == 5) gray >>= 4;
                const int a = (int16_t)cal::round_i32((gray - 2048) / S.ambient_factor);
                const uint16_t d0 = image[p], d1 = image[p + samplesPerDCS];
                image[p] = (uint16_t)(d0 - a);
                image[p + samplesPerDCS] = (uint16_t)(d1 - a);
                if (k < 10)
                    vz::epc::print(true, 2,
                                   "dcs0= %d  dcs1= %d  newDCS0= %d  newDCS1= %d  ampGray= %d\n",
                                   d0, d1, image[p], image[p + samplesPerDCS], a);
            }
        }
        return 0;
    });
}

VZ_API int calculationEnableKalman(int mode) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    corr::Pixels &P = corr::pixels();
    S.kalman = mode;
    std::fill(std::begin(P.samples), std::end(P.samples), 0);
    return mode;
}

VZ_API int calculationInitKalman(void) noexcept {
    const vz::epc::Use epc_use;
    corr::Pixels &P = corr::pixels();
    std::fill(std::begin(P.covariance), std::end(P.covariance), 1e-12);
    return 0;
}

VZ_API int calculationFalmanFiltering(uint16_t *image) noexcept {
    const vz::epc::Use epc_use;
    corr::State &S = corr::state();
    return vz::entry("calculationFalmanFiltering", -1, [&] {
        if (image == nullptr) return -1;
        if (S.kalman < 1 || S.kalman > 3) return 0;
        const int n = corr::geometry().pixels();
        for (int i = 0; i < n; ++i) {
            if (image[i] > 29999) continue;
            const double out = corr::filter_pixel((int16_t)image[i], i);
            image[i] = (uint16_t)cal::round_i32(out);
        }
        return 0;
    });
}

VZ_API double calculationSimpleKalmanFilter(double measurement, int index, double gain) noexcept {
    const vz::epc::Use epc_use;
    if (!corr::pixel_ok(index)) return measurement;
    return corr::simple_kalman(measurement, index, gain);
}

VZ_API double calculationKalmanFilter(double measurement, int index, double q,
                                      double variance) noexcept {
    const vz::epc::Use epc_use;
    if (!corr::pixel_ok(index)) return measurement;
    return corr::kalman(measurement, index, q, variance);
}

VZ_API double calculationVariance(double x, int n, int index) noexcept {
    const vz::epc::Use epc_use;
    if (!corr::pixel_ok(index)) return 0;
    return corr::variance_step(x, n, index);
}

VZ_API double calculationSetKalmanK(double k) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    S.k_max = k;
    return S.k = k;
}
VZ_API double calculationSetKalmanKdiff(double k) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    return S.kdiff = k;
}
VZ_API double calculationSetKalmanQ(double q) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    return S.q = q;
}
VZ_API int calculationSetKalmanNumCheck(int n) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    return S.num_check = n;
}

VZ_API int calculationSetKalmanThreshold(int which, int t) noexcept {
    const Use epc_use;
    corr::State &S = corr::state();
    if (which == 1)
        S.threshold1 = t;
    else
        S.threshold2 = t;
    return t;
}

VZ_API int calculationInterpolate(double x, double x0, double y0, double x1, double dy) noexcept {
    if (x1 == x0) return cal::round_i32(y0);
    return cal::round_i32(y0 + dy * (x - x0) / (x1 - x0));
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps correction_slot = slot_ops<corr::State>();
constinit const SlotOps correction_pixels_slot = slot_ops<corr::Pixels>();
}  // namespace vz::epc
