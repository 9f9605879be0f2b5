// Division of doubles by a float divisor as products, for the vector point
// projection: the same quotient as the division, bit for bit, at a fraction
// of its cost.
//
// With y the correctly rounded reciprocal of b: q0 = a * y, then the residual
// r = q0 * b - a in one fused step (exact: b has 24 significant bits and q0
// is within two ulps of a / b), then q = q0 - r * y with one rounding. q is
// the rounding of Q + (Q - q0)(b y - 1), Q = a / b, which is within 2^-50 of
// an ulp of Q. As a has at most 53 significant bits and b at most 24, Q is
// never a midpoint between two doubles (a = M b would need 54 bits) and never
// closer to one than 2^-25 of an ulp, so q rounds to the quotient the
// division gives. Zeros keep the sign of a. Holds while nothing overflows or
// underflows; the caller keeps the terms within range.
#pragma once

#include "base/cpu.h"

#ifdef VZ_X86_DISPATCH
// GCC 12 reports its own AVX-512 intrinsics (the undefined-vector idiom of
// the convert helpers) as maybe uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#define VZ_TARGET_PCL512   __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx2,popcnt")))
#define VZ_TARGET_PCL_AVX2 __attribute__((target("avx2,fma,popcnt")))

namespace vz::pcl {

// a / b for eight lanes, y = 1 / b correctly rounded, b a float's value.
VZ_TARGET_PCL512 inline __m512d quotient(__m512d a, __m512d b, __m512d y) {
    const __m512d q0 = _mm512_mul_pd(a, y);
    return _mm512_fnmadd_pd(_mm512_fmsub_pd(q0, b, a), y, q0);
}

// The same for four lanes.
VZ_TARGET_PCL_AVX2 inline __m256d quotient(__m256d a, __m256d b, __m256d y) {
    const __m256d q0 = _mm256_mul_pd(a, y);
    return _mm256_fnmadd_pd(_mm256_fmsub_pd(q0, b, a), y, q0);
}

}  // namespace vz::pcl
#endif
