// SIMD row loops of the calculation for x86-64: one kernel written once over
// a thin layer of vector operations and compiled for AVX2 and for AVX-512
// through function target attributes; the CPU is asked at run time which
// one to use. Every step is exact integer arithmetic or an IEEE operation in
// the calculator's order, so the codes equal the scalar ones bit for bit:
// the square root and the table index are taken in single precision and
// corrected to the exact integer results, the PN ratio runs in double.
#include <cstdint>
#include <cstring>

#include "epc660/calc.h"
#include "epc660/calc_frame.h"

#if defined(VIZOR_EPC_SIMD) && VIZOR_EPC_SIMD && defined(__x86_64__)
#define VZ_HAVE_SIMD 1
// GCC 12 reports its own AVX-512 intrinsics (the undefined-vector idiom of
// the set and convert helpers) as maybe uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#else
#define VZ_HAVE_SIMD 0
#endif

namespace vz::epc::calc {

namespace {

using RunFn = void (*)(const Pixels &, const Run &, int);

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

bool run_simd(const Pixels &px, const Run &run) {
#if VZ_HAVE_SIMD
    RunFn fn = nullptr;
    int lanes = 0;
    switch (current()) {
    case Isa::Avx512:
        fn = avx512::pick(px);
        lanes = Avx512::N;
        break;
    case Isa::Avx2:
        fn = avx2::pick(px);
        lanes = Avx2::N;
        break;
    default: return false;
    }
    const int n = run.len / lanes * lanes;
    if (n > 0) fn(px, run, n);
    if (n < run.len) {  // the tail of the row
        Run tail = run;
        for (auto &s : tail.s)
            if (s) s += n;
        tail.state += n;
        if (tail.dist) tail.dist += n;
        if (tail.amp) tail.amp += n;
        tail.len = run.len - n;
        run_scalar(px, tail);
    }
    return true;
#else
    (void)px;
    (void)run;
    return false;
#endif
}

}  // namespace vz::epc::calc
