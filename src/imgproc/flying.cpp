// Flying-pixel filter (flying.h). The fast form walks the image row by row
// in place, keeping copies of the rows above, at and below the current one
// in three stack rows, in which values that are no distance are NaN. Each
// opposite pair of neighbours is tested with one minimum, one maximum and two
// comparisons, without branches, eight pixels at a time with AVX2 or sixteen
// with AVX-512 (chosen at run time) or as vector code the compiler makes of
// the baseline loop. The reference copies the image and tests each pixel with
// plain branches.
#include "imgproc/flying.h"

#include <cmath>
#include <limits>
#include <vector>

#include "base/cpu.h"

#ifdef VZ_X86_DISPATCH
// GCC 12 reports its own AVX-512 minimum and maximum (the undefined-vector
// idiom inside them) as maybe uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#endif

namespace vz::flying {

namespace {

// The distances the conversions use (rays::valid): 0 < v < 60.
inline bool is_distance(float v) { return v > 0.0f && v < 60.0f; }

// The reference test of centre c against the pair (a, b) on opposite sides.
bool straddles(float c, float a, float b, float t) {
    if (!is_distance(a) || !is_distance(b)) return false;
    if (a < c - t && b > c + t) return true;
    if (a > c + t && b < c - t) return true;
    return false;
}

// A copy of a row in which every value that is no distance is NaN: NaN
// fails every comparison, so such pixels take no part in a test.
inline void sanitize(const float *__restrict src, float *__restrict dst, int w) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int x = 0; x < w; ++x) dst[x] = (src[x] > 0.0f && src[x] < 60.0f) ? src[x] : nan;
}

// straddles() without branches on sanitized values. With lo = c - t and
// hi = c + t (lo <= hi), a pair straddles the centre exactly when its smaller
// value lies below lo and its larger above hi; a NaN in the pair, or as the
// centre, fails one of the two comparisons, whatever min and max return for it.
inline int pair_hit(float a, float b, float lo, float hi) {
    const float mn = b < a ? b : a, mx = a < b ? b : a;
    return int(mn < lo) & int(mx > hi);
}

// One row: up, mid and dn are sanitized copies of rows y-1, y and y+1; out
// (row y of the image) keeps its value unless the pixel is dropped.
inline void row_span(const float *__restrict up, const float *__restrict mid,
                     const float *__restrict dn, float *__restrict out, int x, int end, float t) {
    for (; x < end; ++x) {
        const float lo = mid[x] - t, hi = mid[x] + t;
        const int hit = pair_hit(mid[x - 1], mid[x + 1], lo, hi) | pair_hit(up[x], dn[x], lo, hi) |
                        pair_hit(up[x - 1], dn[x + 1], lo, hi) |
                        pair_hit(up[x + 1], dn[x - 1], lo, hi);
        out[x] = hit ? 0.0f : out[x];
    }
}

using RowFn = void (*)(const float *, const float *, const float *, float *, int, float);
using CopyFn = void (*)(const float *, float *, int);

void row_base(const float *__restrict up, const float *__restrict mid, const float *__restrict dn,
              float *__restrict out, int w, float t) {
    row_span(up, mid, dn, out, 1, w - 1, t);
}

#ifdef VZ_X86_DISPATCH
// One pair in eight lanes: all ones where the pair straddles the centre.
VZ_TARGET_AVX2 inline __m256 pair8(__m256 lo, __m256 hi, __m256 a, __m256 b) {
    return _mm256_and_ps(_mm256_cmp_ps(_mm256_min_ps(a, b), lo, _CMP_LT_OQ),
                         _mm256_cmp_ps(_mm256_max_ps(a, b), hi, _CMP_GT_OQ));
}

// The row body eight pixels at a time with the same comparisons (ordered:
// NaN fails them); most groups drop nothing and are not written. The rest by
// the baseline body.
VZ_TARGET_AVX2 void row_avx2(const float *__restrict up, const float *__restrict mid,
                             const float *__restrict dn, float *__restrict out, int w, float t) {
    const __m256 vt = _mm256_set1_ps(t);
    int x = 1;
    for (; x + 8 <= w - 1; x += 8) {
        const __m256 c = _mm256_loadu_ps(mid + x);
        const __m256 lo = _mm256_sub_ps(c, vt), hi = _mm256_add_ps(c, vt);
        __m256 hit = pair8(lo, hi, _mm256_loadu_ps(mid + x - 1), _mm256_loadu_ps(mid + x + 1));
        hit = _mm256_or_ps(hit, pair8(lo, hi, _mm256_loadu_ps(up + x), _mm256_loadu_ps(dn + x)));
        hit = _mm256_or_ps(hit,
                           pair8(lo, hi, _mm256_loadu_ps(up + x - 1), _mm256_loadu_ps(dn + x + 1)));
        hit = _mm256_or_ps(hit,
                           pair8(lo, hi, _mm256_loadu_ps(up + x + 1), _mm256_loadu_ps(dn + x - 1)));
        if (_mm256_testz_ps(hit, hit)) continue;
        _mm256_storeu_ps(out + x, _mm256_andnot_ps(hit, _mm256_loadu_ps(out + x)));
    }
    row_span(up, mid, dn, out, x, w - 1, t);
}

// sanitize() eight values at a time.
VZ_TARGET_AVX2 void sanitize_avx2(const float *__restrict src, float *__restrict dst, int w) {
    const __m256 zero = _mm256_setzero_ps(), top = _mm256_set1_ps(60.0f);
    const __m256 nan = _mm256_set1_ps(std::numeric_limits<float>::quiet_NaN());
    int x = 0;
    for (; x + 8 <= w; x += 8) {
        const __m256 v = _mm256_loadu_ps(src + x);
        const __m256 ok =
            _mm256_and_ps(_mm256_cmp_ps(v, zero, _CMP_GT_OQ), _mm256_cmp_ps(v, top, _CMP_LT_OQ));
        _mm256_storeu_ps(dst + x, _mm256_blendv_ps(nan, v, ok));
    }
    sanitize(src + x, dst + x, w - x);
}

// One pair in sixteen lanes as a mask; the second comparison only where the
// first holds.
VZ_TARGET_AVX512 inline __mmask16 pair16(__m512 lo, __m512 hi, __m512 a, __m512 b) {
    const __mmask16 below = _mm512_cmp_ps_mask(_mm512_min_ps(a, b), lo, _CMP_LT_OQ);
    return _mm512_mask_cmp_ps_mask(below, _mm512_max_ps(a, b), hi, _CMP_GT_OQ);
}

// The row body sixteen pixels at a time; dropped pixels are zeroed by a
// masked store.
VZ_TARGET_AVX512 void row_avx512(const float *__restrict up, const float *__restrict mid,
                                 const float *__restrict dn, float *__restrict out, int w,
                                 float t) {
    const __m512 vt = _mm512_set1_ps(t);
    int x = 1;
    for (; x + 16 <= w - 1; x += 16) {
        const __m512 c = _mm512_loadu_ps(mid + x);
        const __m512 lo = _mm512_sub_ps(c, vt), hi = _mm512_add_ps(c, vt);
        const __mmask16 hit =
            pair16(lo, hi, _mm512_loadu_ps(mid + x - 1), _mm512_loadu_ps(mid + x + 1)) |
            pair16(lo, hi, _mm512_loadu_ps(up + x), _mm512_loadu_ps(dn + x)) |
            pair16(lo, hi, _mm512_loadu_ps(up + x - 1), _mm512_loadu_ps(dn + x + 1)) |
            pair16(lo, hi, _mm512_loadu_ps(up + x + 1), _mm512_loadu_ps(dn + x - 1));
        if (hit) _mm512_mask_storeu_ps(out + x, hit, _mm512_setzero_ps());
    }
    row_span(up, mid, dn, out, x, w - 1, t);
}

// sanitize() sixteen values at a time.
VZ_TARGET_AVX512 void sanitize_avx512(const float *__restrict src, float *__restrict dst, int w) {
    const __m512 zero = _mm512_setzero_ps(), top = _mm512_set1_ps(60.0f);
    const __m512 nan = _mm512_set1_ps(std::numeric_limits<float>::quiet_NaN());
    int x = 0;
    for (; x + 16 <= w; x += 16) {
        const __m512 v = _mm512_loadu_ps(src + x);
        const __mmask16 ok =
            _mm512_mask_cmp_ps_mask(_mm512_cmp_ps_mask(v, zero, _CMP_GT_OQ), v, top, _CMP_LT_OQ);
        _mm512_storeu_ps(dst + x, _mm512_mask_blend_ps(ok, nan, v));
    }
    sanitize(src + x, dst + x, w - x);
}
#endif

// The row test and the row copy for one instruction level.
struct Kernel {
    RowFn row;
    CopyFn copy;
};

Kernel kernel_for(cpu::Level level) {
#ifdef VZ_X86_DISPATCH
    if (level >= cpu::Level::avx512) return {row_avx512, sanitize_avx512};
    if (level >= cpu::Level::avx2) return {row_avx2, sanitize_avx2};
#endif
    (void)level;
    return {row_base, sanitize};
}

bool serves(int w, int h, float t) {
    return w >= 3 && h >= 3 && w <= kMaxWidth && usable_threshold(t);
}

}  // namespace

bool usable_threshold(float t) { return std::isfinite(t) && t > 0.0f && t <= 60.0f; }

bool apply_at(cpu::Level level, float *d, int w, int h, float threshold) {
    if (!d || !serves(w, h, threshold)) return false;
    const Kernel k = kernel_for(level);
    float rows[3][kMaxWidth];
    float *up = rows[0], *mid = rows[1], *dn = rows[2];
    k.copy(d, up, w);
    k.copy(d + w, mid, w);
    for (int y = 1; y < h - 1; ++y) {
        float *line = d + size_t(y) * size_t(w);
        k.copy(line + w, dn, w);  // row y+1 before anything of it is written
        k.row(up, mid, dn, line, w, threshold);
        float *const free_row = up;
        up = mid;
        mid = dn;
        dn = free_row;
    }
    return true;
}

bool apply(float *d, int w, int h, float threshold) {
    return apply_at(cpu::level(), d, w, h, threshold);
}

bool apply_reference(float *d, int w, int h, float threshold) {
    if (!d || !serves(w, h, threshold)) return false;
    const std::vector<float> src(d, d + size_t(w) * size_t(h));
    auto at = [&](int x, int y) { return src[size_t(y) * size_t(w) + size_t(x)]; };
    for (int y = 1; y < h - 1; ++y) {
        for (int x = 1; x < w - 1; ++x) {
            const float c = at(x, y);
            if (!is_distance(c)) continue;
            if (straddles(c, at(x - 1, y), at(x + 1, y), threshold) ||
                straddles(c, at(x, y - 1), at(x, y + 1), threshold) ||
                straddles(c, at(x - 1, y - 1), at(x + 1, y + 1), threshold) ||
                straddles(c, at(x + 1, y - 1), at(x - 1, y + 1), threshold))
                d[size_t(y) * size_t(w) + size_t(x)] = 0.0f;
        }
    }
    return true;
}

}  // namespace vz::flying
