// Flying-pixel filter (flying.h). The fast form walks the image row by row
// in place, keeping copies of the rows above, at and below the current one
// in three stack rows, in which values that are no distance are NaN; its
// inner loop is branch-free so that the compiler turns it into vector code
// (built once for the baseline and once for AVX2, chosen at run time). The reference copies the image and tests each pixel
// with plain branches.
#include "imgproc/flying.h"

#include <cmath>
#include <limits>
#include <vector>

#include "base/cpu.h"

#ifdef VZ_X86_DISPATCH
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

// straddles() without branches on sanitized values.
#define VZ_FLYING_PAIR(a, b) ((((a) < c - t) & ((b) > c + t)) | (((a) > c + t) & ((b) < c - t)))

// One row: up, mid and dn are sanitized copies of rows y-1, y and y+1; out
// (row y of the image) keeps its value unless the pixel is dropped.
#define VZ_FLYING_ROW_BODY                                                                      \
    for (int x = 1; x < w - 1; ++x) {                                                           \
        const float c = mid[x];                                                                 \
        const int hit = VZ_FLYING_PAIR(mid[x - 1], mid[x + 1]) | VZ_FLYING_PAIR(up[x], dn[x]) | \
                        VZ_FLYING_PAIR(up[x - 1], dn[x + 1]) |                                  \
                        VZ_FLYING_PAIR(up[x + 1], dn[x - 1]);                                   \
        out[x] = hit ? 0.0f : out[x];                                                           \
    }

using RowFn = void (*)(const float *, const float *, const float *, float *, int, float);

void row_base(const float *__restrict up, const float *__restrict mid, const float *__restrict dn,
              float *__restrict out, int w, float t) {
    VZ_FLYING_ROW_BODY
}

#ifdef VZ_X86_DISPATCH
// One pair in eight lanes: all ones where the pair straddles the centre.
VZ_TARGET_AVX2 inline __m256 pair8(__m256 lo, __m256 hi, __m256 a, __m256 b) {
    const __m256 rise =
        _mm256_and_ps(_mm256_cmp_ps(a, lo, _CMP_LT_OQ), _mm256_cmp_ps(b, hi, _CMP_GT_OQ));
    const __m256 fall =
        _mm256_and_ps(_mm256_cmp_ps(a, hi, _CMP_GT_OQ), _mm256_cmp_ps(b, lo, _CMP_LT_OQ));
    return _mm256_or_ps(rise, fall);
}

// The row body eight pixels at a time with the same comparisons (ordered:
// NaN fails them), the rest by the baseline body.
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
        _mm256_storeu_ps(out + x, _mm256_andnot_ps(hit, _mm256_loadu_ps(out + x)));
    }
    for (; x < w - 1; ++x) {
        const float c = mid[x];
        const int hit = VZ_FLYING_PAIR(mid[x - 1], mid[x + 1]) | VZ_FLYING_PAIR(up[x], dn[x]) |
                        VZ_FLYING_PAIR(up[x - 1], dn[x + 1]) | VZ_FLYING_PAIR(up[x + 1], dn[x - 1]);
        out[x] = hit ? 0.0f : out[x];
    }
}
#endif

RowFn row_for(cpu::Level level) {
#ifdef VZ_X86_DISPATCH
    if (level >= cpu::Level::avx2) return row_avx2;
#endif
    (void)level;
    return row_base;
}

bool serves(int w, int h, float t) {
    return w >= 3 && h >= 3 && w <= kMaxWidth && usable_threshold(t);
}

}  // namespace

bool usable_threshold(float t) { return std::isfinite(t) && t > 0.0f && t <= 60.0f; }

bool apply_at(cpu::Level level, float *d, int w, int h, float threshold) {
    if (!d || !serves(w, h, threshold)) return false;
    const RowFn row = row_for(level);
    float rows[3][kMaxWidth];
    float *up = rows[0], *mid = rows[1], *dn = rows[2];
    sanitize(d, up, w);
    sanitize(d + w, mid, w);
    for (int y = 1; y < h - 1; ++y) {
        float *line = d + size_t(y) * size_t(w);
        sanitize(line + w, dn, w);  // row y+1 before anything of it is written
        row(up, mid, dn, line, w, threshold);
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
