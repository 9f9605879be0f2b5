// SIMD row loops of the calculation for x86-64: one kernel written once over
// a thin layer of vector operations and compiled for AVX2 and for AVX-512
// through function target attributes; the CPU is asked at run time which
// one to use. Every step is exact integer arithmetic or an IEEE operation in
// the calculator's order, so the codes equal the scalar ones bit for bit:
// the square root and the table index are taken in single precision and
// corrected to the exact integer results, the PN ratio runs in double.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "epc660/calc.h"
#include "epc660/calc_frame.h"

#if defined(VIZOR_EPC_SIMD) && VIZOR_EPC_SIMD && defined(__x86_64__)
#define VZ_HAVE_SIMD 1
// GCC 12 reports its own AVX-512 intrinsics (the undefined-vector idiom of
// the set and convert helpers) as (maybe) uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#else
#define VZ_HAVE_SIMD 0
#endif

namespace vz::epc::calc {

namespace {

// A kernel over the first whole vectors of each of `count` runs.
using RunFn = void (*)(const Pixels &, const Run *, int);

// The run without its first n pixels.
[[maybe_unused]] Run advance(const Run &run, int n) {
    Run rest = run;
    for (auto &p : rest.s)
        if (p) p += n;
    rest.state += n;
    if (rest.dist) rest.dist += n;
    if (rest.amp) rest.amp += n;
    rest.len = run.len - n;
    return rest;
}

#if VZ_HAVE_SIMD

#define VZ_AVX2 __attribute__((target("avx2"), always_inline)) inline
#define VZ_AVX512 \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"), always_inline)) inline

// Eight 32-bit lanes; masks are vectors of all-ones lanes.
struct Avx2 {
    using V = __m256i;
    using M = __m256i;
    static constexpr int N = 8;
    static VZ_AVX2 V set1(int v) { return _mm256_set1_epi32(v); }
    static VZ_AVX2 V load16(const uint16_t *p) {
        return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
    }
    static VZ_AVX2 V load8(const uint8_t *p) {
        return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
    }
    static VZ_AVX2 void store16(uint16_t *p, V v) {
        const __m256i w = _mm256_permute4x64_epi64(_mm256_packus_epi32(v, v), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p), _mm256_castsi256_si128(w));
    }
    static VZ_AVX2 void store8(uint8_t *p, V v) {
        const __m256i w = _mm256_packus_epi16(_mm256_packus_epi32(v, v), v);
        const uint32_t lo = uint32_t(_mm256_extract_epi32(w, 0));
        const uint32_t hi = uint32_t(_mm256_extract_epi32(w, 4));
        const uint64_t both = uint64_t(hi) << 32 | lo;
        std::memcpy(p, &both, 8);
    }
    static VZ_AVX2 V add(V a, V b) { return _mm256_add_epi32(a, b); }
    static VZ_AVX2 V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
    static VZ_AVX2 V mul(V a, V b) { return _mm256_mullo_epi32(a, b); }
    static VZ_AVX2 V band(V a, V b) { return _mm256_and_si256(a, b); }
    static VZ_AVX2 V abs(V a) { return _mm256_abs_epi32(a); }
    static VZ_AVX2 V min(V a, V b) { return _mm256_min_epi32(a, b); }
    static VZ_AVX2 V max(V a, V b) { return _mm256_max_epi32(a, b); }
    static VZ_AVX2 V sra(V a, int n) { return _mm256_sra_epi32(a, _mm_cvtsi32_si128(n)); }
    static VZ_AVX2 V sll(V a, int n) { return _mm256_sll_epi32(a, _mm_cvtsi32_si128(n)); }
    static VZ_AVX2 M eq(V a, V b) { return _mm256_cmpeq_epi32(a, b); }
    static VZ_AVX2 M gt(V a, V b) { return _mm256_cmpgt_epi32(a, b); }
    static VZ_AVX2 M mor(M a, M b) { return _mm256_or_si256(a, b); }
    static VZ_AVX2 M outside(V m, V lo, V hi) { return mor(gt(lo, m), gt(m, hi)); }
    static VZ_AVX2 M mand(M a, M b) { return _mm256_and_si256(a, b); }
    static VZ_AVX2 M mandnot(M a, M b) { return _mm256_andnot_si256(b, a); }  // a & ~b
    static VZ_AVX2 M mnot(M a) { return _mm256_xor_si256(a, _mm256_set1_epi32(-1)); }
    static VZ_AVX2 M mall(bool on) { return _mm256_set1_epi32(on ? -1 : 0); }
    static VZ_AVX2 V sel(M m, V a, V b) { return _mm256_blendv_epi8(b, a, m); }
    // a + k where m is set, a elsewhere (mask lanes are -1: subtract them).
    static VZ_AVX2 V add_one_if(M m, V a) { return _mm256_sub_epi32(a, m); }
    static VZ_AVX2 V sub_one_if(M m, V a) { return _mm256_add_epi32(a, m); }
    static VZ_AVX2 V add_if(M m, V a, V k) { return _mm256_add_epi32(a, _mm256_and_si256(m, k)); }
    static VZ_AVX2 V isqrt_approx(V a) {
        return _mm256_cvttps_epi32(_mm256_sqrt_ps(_mm256_cvtepi32_ps(a)));
    }
    static VZ_AVX2 V idiv_approx(V a, V b) {
        return _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(a), _mm256_cvtepi32_ps(b)));
    }
    static VZ_AVX2 V gather(const int32_t *base, V idx) {
        return _mm256_i32gather_epi32(reinterpret_cast<const int *>(base), idx, 4);
    }
    // trunc(a / (a + b) x 30000 + 0.5) in double; lanes with a + b = 0 are
    // left to the caller.
    static VZ_AVX2 V pn_ratio(V a, V s) {
        const __m256d k = _mm256_set1_pd(30000.0), h = _mm256_set1_pd(0.5);
        const __m256d a0 = _mm256_cvtepi32_pd(_mm256_castsi256_si128(a));
        const __m256d a1 = _mm256_cvtepi32_pd(_mm256_extracti128_si256(a, 1));
        const __m256d s0 = _mm256_cvtepi32_pd(_mm256_castsi256_si128(s));
        const __m256d s1 = _mm256_cvtepi32_pd(_mm256_extracti128_si256(s, 1));
        const __m128i r0 =
            _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(_mm256_div_pd(a0, s0), k), h));
        const __m128i r1 =
            _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(_mm256_div_pd(a1, s1), k), h));
        return _mm256_inserti128_si256(_mm256_castsi128_si256(r0), r1, 1);
    }
};

// Sixteen 32-bit lanes; masks are mask registers.
struct Avx512 {
    using V = __m512i;
    using M = __mmask16;
    static constexpr int N = 16;
    static VZ_AVX512 V set1(int v) { return _mm512_set1_epi32(v); }
    static VZ_AVX512 V load16(const uint16_t *p) {
        return _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
    }
    static VZ_AVX512 V load8(const uint8_t *p) {
        return _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
    }
    static VZ_AVX512 void store16(uint16_t *p, V v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), _mm512_cvtepi32_epi16(v));
    }
    static VZ_AVX512 void store8(uint8_t *p, V v) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p), _mm512_cvtepi32_epi8(v));
    }
    static VZ_AVX512 V add(V a, V b) { return _mm512_add_epi32(a, b); }
    static VZ_AVX512 V sub(V a, V b) { return _mm512_sub_epi32(a, b); }
    static VZ_AVX512 V mul(V a, V b) { return _mm512_mullo_epi32(a, b); }
    static VZ_AVX512 V band(V a, V b) { return _mm512_and_si512(a, b); }
    static VZ_AVX512 V abs(V a) { return _mm512_abs_epi32(a); }
    static VZ_AVX512 V min(V a, V b) { return _mm512_min_epi32(a, b); }
    static VZ_AVX512 V max(V a, V b) { return _mm512_max_epi32(a, b); }
    static VZ_AVX512 V sra(V a, int n) { return _mm512_sra_epi32(a, _mm_cvtsi32_si128(n)); }
    static VZ_AVX512 V sll(V a, int n) { return _mm512_sll_epi32(a, _mm_cvtsi32_si128(n)); }
    static VZ_AVX512 M eq(V a, V b) { return _mm512_cmpeq_epi32_mask(a, b); }
    static VZ_AVX512 M gt(V a, V b) { return _mm512_cmpgt_epi32_mask(a, b); }
    static VZ_AVX512 M mor(M a, M b) { return M(a | b); }
    static VZ_AVX512 M outside(V m, V lo, V hi) { return mor(gt(lo, m), gt(m, hi)); }
    static VZ_AVX512 M mand(M a, M b) { return M(a & b); }
    static VZ_AVX512 M mandnot(M a, M b) { return M(a & ~b); }
    static VZ_AVX512 M mnot(M a) { return M(~a); }
    static VZ_AVX512 M mall(bool on) { return M(on ? 0xFFFF : 0); }
    static VZ_AVX512 V sel(M m, V a, V b) { return _mm512_mask_blend_epi32(m, b, a); }
    static VZ_AVX512 V add_one_if(M m, V a) { return _mm512_mask_add_epi32(a, m, a, set1(1)); }
    static VZ_AVX512 V sub_one_if(M m, V a) { return _mm512_mask_sub_epi32(a, m, a, set1(1)); }
    static VZ_AVX512 V add_if(M m, V a, V k) { return _mm512_mask_add_epi32(a, m, a, k); }
    static VZ_AVX512 V isqrt_approx(V a) {
        return _mm512_cvttps_epi32(_mm512_sqrt_ps(_mm512_cvtepi32_ps(a)));
    }
    static VZ_AVX512 V idiv_approx(V a, V b) {
        return _mm512_cvttps_epi32(_mm512_div_ps(_mm512_cvtepi32_ps(a), _mm512_cvtepi32_ps(b)));
    }
    static VZ_AVX512 V gather(const int32_t *base, V idx) {
        return _mm512_i32gather_epi32(idx, reinterpret_cast<const int *>(base), 4);
    }
    static VZ_AVX512 V pn_ratio(V a, V s) {
        const __m512d k = _mm512_set1_pd(30000.0), h = _mm512_set1_pd(0.5);
        const __m512d a0 = _mm512_cvtepi32_pd(_mm512_castsi512_si256(a));
        const __m512d a1 = _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(a, 1));
        const __m512d s0 = _mm512_cvtepi32_pd(_mm512_castsi512_si256(s));
        const __m512d s1 = _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(s, 1));
        const __m256i r0 =
            _mm512_cvttpd_epi32(_mm512_add_pd(_mm512_mul_pd(_mm512_div_pd(a0, s0), k), h));
        const __m256i r1 =
            _mm512_cvttpd_epi32(_mm512_add_pd(_mm512_mul_pd(_mm512_div_pd(a1, s1), k), h));
        return _mm512_inserti64x4(_mm512_castsi256_si512(r0), r1, 1);
    }
};

// The kernel, compiled once per instruction set.
namespace avx2 {
using S = Avx2;
#define VZ_TARGET __attribute__((target("avx2")))
#include "epc660/calc_kernel.inc"
#undef VZ_TARGET
}  // namespace avx2

namespace avx512 {
using S = Avx512;
#define VZ_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq")))
#include "epc660/calc_kernel.inc"
#undef VZ_TARGET
}  // namespace avx512

// Sine kernel for AVX-512 on 32 pixels per step in 16-bit lanes: with 12-bit
// samples every quantity but the sum of squares and the scaled arctangent
// numerator fits 16 bits, so only the square root and the table index are
// widened to 32 bits (pairs of vectors, put back in order by the packs).
// Same decisions and codes as run_kernel; the caller checks the settings
// with fits_narrow.
namespace avx512 {

#define VZ_N16 __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq")))

// floor(sqrt(s)) of sums of two squares of 12-bit differences (s <= 2 x
// 4095^2): the truncated single-precision root is never below it (checked
// for every such s) and at most one above, which the exact product corrects
// (r < 2^15).
VZ_N16 inline __m512i isqrt_exact(__m512i s) {
    const __m512i r = _mm512_cvttps_epi32(_mm512_sqrt_ps(_mm512_cvtepi32_ps(s)));
    return _mm512_mask_sub_epi32(r, _mm512_cmpgt_epi32_mask(_mm512_madd_epi16(r, r), s), r,
                                 _mm512_set1_epi32(1));
}

// floor(4096 ty / tx) / 4096 for 0 <= ty <= tx, 0 < tx < 2^15 (16 lanes in
// single precision): the rounded quotient floored to twelve fraction bits is
// that value or one step above it, and the exact sign of u tx - ty (one
// fused rounding) tells which.
VZ_N16 inline __m512 table_u(__m512 ty, __m512 tx) {
    constexpr int kFloor12 = (12 << 4) | _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC;
    const __m512 u = _mm512_roundscale_ps(_mm512_div_ps(ty, tx), kFloor12);
    const __mmask16 over =
        _mm512_cmp_ps_mask(_mm512_fmsub_ps(u, tx, ty), _mm512_setzero_ps(), _CMP_GT_OQ);
    return _mm512_mask_sub_ps(u, over, u, _mm512_set1_ps(1.0f / 4096));
}

// The table's entries at 16 indices u x 4096 (u from table_u; 1.0 only comes
// from lanes whose phase is decided without the table), clamped into it.
VZ_N16 inline __m512i gather_codes(const int32_t *table, __m512 u) {
    __m512i q = _mm512_cvttps_epi32(_mm512_mul_ps(u, _mm512_set1_ps(4096.0f)));
    q = _mm512_min_epi32(q, _mm512_set1_epi32(4095));
    return _mm512_i32gather_epi32(q, table, 4);
}

// Table entries without gathers: the entry at u x 4096 is the polynomial
// u (c1 + c2 u + ... + c8 u^7) in single precision, rounded to the nearest
// code. The coefficients are the discrete minimax fit of the rounded table
// (exchange algorithm over its 4096 indices: largest distance 0.49964 codes),
// so every entry rounds to itself; atan_poly_exact checks that once against
// the filled table, and the gathers stand in where it does not hold.
constexpr float kAtanPoly[8] = {4775.97266f, -4.51818037f, -1544.68127f, -257.548401f,
                                1729.08167f, -1307.91382f, 394.55423f,   -34.3636055f};
// 1.5 x 2^23: added in the last step, it rounds the value to an integer that
// the float's low 16 bits then hold.
constexpr float kRoundBias = 12582912.0f;

VZ_N16 inline __m512i poly_codes_biased(__m512 u) {
    auto pair = [u](int k) VZ_N16 {  // c(k+1) + c(k+2) u
        return _mm512_fmadd_ps(_mm512_set1_ps(kAtanPoly[k + 1]), u, _mm512_set1_ps(kAtanPoly[k]));
    };
    const __m512 u2 = _mm512_mul_ps(u, u);
    __m512 v = _mm512_fmadd_ps(pair(6), u2, pair(4));
    v = _mm512_fmadd_ps(v, u2, pair(2));
    v = _mm512_fmadd_ps(v, u2, pair(0));
    return _mm512_castps_si512(_mm512_fmadd_ps(v, u, _mm512_set1_ps(kRoundBias)));
}

// The low words of the 32-bit lanes of lo and hi (the unpacklo / unpackhi
// halves of 32 pixels) back in pixel order: pixel p, place p % 8 of its
// 128-bit lane, sits in lo (places 0-3) or hi (4-7), 32-bit lane 4 (p / 8) +
// p % 4.
struct WordOrder {
    alignas(64) int16_t index[32];
};
constexpr WordOrder word_order() {
    WordOrder w{};
    for (int p = 0; p < 32; ++p)
        w.index[p] = int16_t((p % 8 < 4 ? 0 : 32) + 2 * (4 * (p / 8) + p % 4));
    return w;
}
constexpr WordOrder kWordOrder = word_order();

VZ_N16 inline __m512i pack_low_words(__m512i lo, __m512i hi) {
    return _mm512_permutex2var_epi16(lo, _mm512_load_si512(kWordOrder.index), hi);
}

// Every index through the polynomial against the table.
VZ_N16 bool poly_matches(const int32_t *table) {
    alignas(64) int32_t got[16];
    for (int q0 = 0; q0 < 4096; q0 += 16) {
        const __m512i q = _mm512_add_epi32(
            _mm512_set1_epi32(q0),
            _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
        const __m512 u = _mm512_mul_ps(_mm512_cvtepi32_ps(q), _mm512_set1_ps(1.0f / 4096));
        _mm512_store_si512(got, _mm512_and_si512(poly_codes_biased(u), _mm512_set1_epi32(0xFFFF)));
        for (int i = 0; i < 16; ++i)
            if (got[i] != table[q0 + i]) return false;
    }
    return true;
}

// Whether the polynomial gives the table (false while it is not filled).
bool atan_poly_exact() {
    static bool exact = false;
    static std::once_flag once;
    const int32_t *table = atan_table();
    if (table[4095] == 0) return false;
    std::call_once(once, [&] { exact = poly_matches(table); });
    return exact;
}

template <bool Four, bool AmpOnly>
VZ_N16 void run_narrow(const Pixels &px, const Run *runs, int count) {
    using V = __m512i;
    using M = __mmask32;
    const V zero = _mm512_setzero_si512(), one = _mm512_set1_epi16(1);
    const V full = _mm512_set1_epi16(4095), mask = _mm512_set1_epi16(short(px.mask));
    const V amin = _mm512_set1_epi16(short(px.amin)), amax = _mm512_set1_epi16(short(px.amax));
    const V mid = _mm512_set1_epi16(2048);
    // Amplitudes stay below 2^13: thresholds beyond 16 bits decide alike.
    const V upper = _mm512_set1_epi16(short(std::clamp(px.upper, 0, 32767)));
    const V lower = _mm512_set1_epi16(short(std::clamp(px.lower, 0, 32767)));
    const V c_low = _mm512_set1_epi16(short(kLowAmplitude));
    const V c_sat = _mm512_set1_epi16(short(kSaturated));
    const V c_adc = _mm512_set1_epi16(short(kAdcOverflow));
    const V half = _mm512_set1_epi16(15000), quarter = _mm512_set1_epi16(7500);
    const V eighth = _mm512_set1_epi16(3750);
    const V period = _mm512_set1_epi16(30000);
    const M adc_fixed = (px.adc && px.amin > px.amax) ? ~M(0) : M(0);
    const int32_t *table = atan_table();
    const bool poly = atan_poly_exact();
    const bool sat_check = px.sat, adc_check = px.adc;
    const __m128i div_shift = _mm_cvtsi32_si128(px.div_shift);

    // A sample outside amin .. amax: the smallest or the largest of the
    // pixel's samples is.
    auto outside = [&](V lo, V hi) VZ_N16 {
        return M(_mm512_cmplt_epu16_mask(lo, amin) | _mm512_cmpgt_epu16_mask(hi, amax));
    };
    for (int k = 0; k < count; ++k) {
        const Run &run = runs[k];
        const uint16_t *s0 = run.s[0], *s1 = run.s[1], *s2 = run.s[2], *s3 = run.s[3];
        uint8_t *state = run.state;
        uint16_t *out_dist = run.dist, *out_amp = run.amp;
        const int n = run.len / 32 * 32;
        for (int x = 0; x < n; x += 32) {
            const V r0 = _mm512_loadu_si512(s0 + x), r1 = _mm512_loadu_si512(s1 + x);
            const V m0 = _mm512_and_si512(r0, mask), m1 = _mm512_and_si512(r1, mask);
            M sat = 0, adc = 0;
            if (sat_check)
                sat = M(_mm512_cmpeq_epi16_mask(r0, full) | _mm512_cmpeq_epi16_mask(r1, full));
            V a1, a2;
            if constexpr (Four) {
                const V r2 = _mm512_loadu_si512(s2 + x), r3 = _mm512_loadu_si512(s3 + x);
                const V m2 = _mm512_and_si512(r2, mask), m3 = _mm512_and_si512(r3, mask);
                if (sat_check)
                    sat |= M(_mm512_cmpeq_epi16_mask(r2, full) | _mm512_cmpeq_epi16_mask(r3, full));
                if (adc_check)
                    adc = outside(
                        _mm512_min_epu16(_mm512_min_epu16(m0, m1), _mm512_min_epu16(m2, m3)),
                        _mm512_max_epu16(_mm512_max_epu16(m0, m1), _mm512_max_epu16(m2, m3)));
                a1 = _mm512_sub_epi16(m3, m1);
                a2 = _mm512_sub_epi16(m2, m0);
            } else {
                if (adc_check) adc = outside(_mm512_min_epu16(m0, m1), _mm512_max_epu16(m0, m1));
                a2 = _mm512_sub_epi16(mid, m0);
                a1 = _mm512_sub_epi16(mid, m1);
                adc |= adc_fixed;
            }
            adc = M(adc & ~sat);  // saturation wins
            const M marked = M(sat | adc);

            // Amplitude: a1^2 + a2^2 by pairs, in two halves of 32-bit lanes.
            const V plo = _mm512_unpacklo_epi16(a1, a2), phi = _mm512_unpackhi_epi16(a1, a2);
            const V rlo = isqrt_exact(_mm512_madd_epi16(plo, plo));
            const V rhi = isqrt_exact(_mm512_madd_epi16(phi, phi));
            const V amp = _mm512_srl_epi16(_mm512_packus_epi32(rlo, rhi), div_shift);
            if constexpr (AmpOnly) {
                const V code = _mm512_mask_blend_epi16(adc, amp, c_adc);
                _mm512_storeu_si512(out_amp + x, _mm512_mask_blend_epi16(sat, code, c_sat));
                continue;
            }

            // Hysteresis: only pixels without a marker reach the test.
            // The state stays in bytes: bit j of a mask is pixel j in both widths.
            const __m256i st = _mm256_loadu_si256((const __m256i *)(state + x));
            const __m256i one8 = _mm256_set1_epi8(1);
            const M ge = _mm512_cmpge_epi16_mask(amp, upper);
            const M lt = _mm512_cmpgt_epi16_mask(lower, amp);
            const M pass = M(ge | (_mm256_cmpeq_epi8_mask(st, one8) & ~lt));
            __m256i nst = _mm256_mask_mov_epi8(st, M(lt & ~marked), _mm256_setzero_si256());
            nst = _mm256_mask_mov_epi8(nst, M(ge & ~marked), one8);
            _mm256_storeu_si256((__m256i *)(state + x), nst);
            const M fail = M(~pass & ~marked);

            // Octant folding of atan2_lut(arg1, arg2). The bases carry the
            // half turn of the distance: (phase + 15000) mod 30000 is base +
            // entry, where only a whole turn (30000) wraps.
            const M y0 = _mm512_cmpeq_epi16_mask(a1, zero);
            const M yneg = _mm512_cmplt_epi16_mask(a1, zero);
            const V y = _mm512_abs_epi16(a1);
            const V xx = _mm512_mask_sub_epi16(a2, yneg, zero, a2);
            V base = _mm512_mask_mov_epi16(half, yneg, zero);
            const M xle = _mm512_cmplt_epi16_mask(xx, one);  // x <= 0: quarter turn
            const V qy = _mm512_mask_sub_epi16(y, xle, zero, xx);
            const V qx = _mm512_mask_mov_epi16(xx, xle, y);
            base = _mm512_mask_add_epi16(base, xle, base, quarter);
            const M yge = _mm512_cmpge_epi16_mask(qy, qx);  // y >= x: 45 degrees
            const V ty = _mm512_mask_sub_epi16(qy, yge, qy, qx);
            const V tx = _mm512_max_epi16(_mm512_mask_add_epi16(qx, yge, qx, qy), one);
            base = _mm512_mask_add_epi16(base, yge, base, eighth);
            const __m512 ulo = table_u(_mm512_cvtepi32_ps(_mm512_unpacklo_epi16(ty, zero)),
                                       _mm512_cvtepi32_ps(_mm512_unpacklo_epi16(tx, zero)));
            const __m512 uhi = table_u(_mm512_cvtepi32_ps(_mm512_unpackhi_epi16(ty, zero)),
                                       _mm512_cvtepi32_ps(_mm512_unpackhi_epi16(tx, zero)));
            const V t =
                poly ? pack_low_words(poly_codes_biased(ulo), poly_codes_biased(uhi))
                     : _mm512_packus_epi32(gather_codes(table, ulo), gather_codes(table, uhi));
            const V d = _mm512_add_epi16(base, t);
            V dist = _mm512_min_epu16(d, _mm512_sub_epi16(d, period));  // 30000 -> 0
            // a1 = 0: the phase is 0 or a half turn, by the sign of a2.
            const V flat = _mm512_mask_mov_epi16(half, _mm512_cmplt_epi16_mask(a2, zero), zero);
            dist = _mm512_mask_mov_epi16(dist, y0, flat);

            const V code =
                _mm512_mask_blend_epi16(sat, _mm512_mask_blend_epi16(adc, c_low, c_adc), c_sat);
            const M bad = M(marked | fail);
            if (out_dist)
                _mm512_storeu_si512(out_dist + x, _mm512_mask_blend_epi16(bad, dist, code));
            if (out_amp) _mm512_storeu_si512(out_amp + x, _mm512_mask_blend_epi16(bad, amp, code));
        }
    }
}

#undef VZ_N16

// The narrow kernel for the settings of a frame, or nullptr when they need
// the 32-bit lanes (PN, the epc635's shift, masks wider than 12 bits).
RunFn pick_narrow(const Pixels &px) {
    if (px.pn || px.shift || px.mask > 0x0FFF) return nullptr;
    const bool amp = px.type == 1;
    if (px.four) return amp ? run_narrow<true, true> : run_narrow<true, false>;
    return amp ? run_narrow<false, true> : run_narrow<false, false>;
}

}  // namespace avx512

enum class Isa { None, Avx2, Avx512 };

bool supported(Isa isa) {
    __builtin_cpu_init();
    switch (isa) {
    case Isa::Avx2: return __builtin_cpu_supports("avx2");
    case Isa::Avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
    default: return true;
    }
}

Isa best() {
    if (supported(Isa::Avx512)) return Isa::Avx512;
    if (supported(Isa::Avx2)) return Isa::Avx2;
    return Isa::None;
}

struct Dispatch {
    bool chosen = false;
    Isa isa = Isa::None;
};
Dispatch g_simd;

Isa current() {
    static const Isa isa = best();  // chosen once, shared by every thread
    if (!g_simd.chosen) return isa;
    return g_simd.isa;
}

#endif  // VZ_HAVE_SIMD

}  // namespace

const char *simd_isa() {
#if VZ_HAVE_SIMD
    switch (current()) {
    case Isa::Avx512: return "avx512";
    case Isa::Avx2: return "avx2";
    default: break;
    }
#endif
    return "none";
}

bool set_simd_isa(const char *name) {
#if VZ_HAVE_SIMD
    if (!name) return false;
    Isa want = Isa::None;
    if (std::strcmp(name, "avx512") == 0)
        want = Isa::Avx512;
    else if (std::strcmp(name, "avx2") == 0)
        want = Isa::Avx2;
    else if (std::strcmp(name, "none") != 0)
        return false;
    if (!supported(want)) return false;
    g_simd.isa = want;
    g_simd.chosen = true;
    return true;
#else
    return name && std::strcmp(name, "none") == 0;
#endif
}

bool run_simd(const Pixels &px, const Run *runs, int count) {
#if VZ_HAVE_SIMD
    const Isa isa = current();
    RunFn wide = nullptr, narrow = nullptr;
    int step = 0, lanes = 0;
    switch (isa) {
    case Isa::Avx512:
        wide = avx512::pick(px);
        lanes = Avx512::N;
        narrow = avx512::pick_narrow(px);  // 32 pixels a step where 16 bits suffice
        break;
    case Isa::Avx2:
        wide = avx2::pick(px);
        lanes = Avx2::N;
        break;
    default: return false;
    }
    // Every run through one kernel call, then what is left of each run: the
    // wide kernel after the narrow one, the scalar loop after the vectors.
    if (narrow) {
        narrow(px, runs, count);
        step = 32;
    } else {
        wide(px, runs, count);
        step = lanes;
    }
    for (int k = 0; k < count; ++k) {
        int done = runs[k].len / step * step;
        if (done == runs[k].len) continue;
        if (narrow && runs[k].len - done >= lanes) {
            const Run rest = advance(runs[k], done);
            wide(px, &rest, 1);
            done += rest.len / lanes * lanes;
        }
        if (done < runs[k].len) run_scalar(px, advance(runs[k], done));
    }
    return true;
#else
    (void)px;
    (void)runs;
    (void)count;
    return false;
#endif
}

bool run_simd(const Pixels &px, const Run &run) { return run_simd(px, &run, 1); }

}  // namespace vz::epc::calc
