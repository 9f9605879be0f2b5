// Bulk colouring of metre images. The scalar loop is the inline lookup over a
// local copy of the map; the AVX2 loop computes eight lookups at once with the
// same operations in the same precisions (float product and truncation, the
// offset converted to float, its exact double product with the scale,
// truncation), so every colour equals vz_cmap_get_color's.
#include "imgproc/cmap_metres.h"

#include <cstring>

#ifdef VZ_X86_DISPATCH
#include <immintrin.h>
#endif

namespace vz::cmap {

namespace {

void put(uint8_t *dst, uint32_t c, Layout layout) {
    switch (layout) {
    case Layout::rgb32:
        dst[0] = uint8_t(c);
        dst[1] = uint8_t(c >> 8);
        dst[2] = uint8_t(c >> 16);
        dst[3] = uint8_t(c >> 24);
        break;
    case Layout::rgb:
        dst[0] = uint8_t(c);
        dst[1] = uint8_t(c >> 8);
        dst[2] = uint8_t(c >> 16);
        break;
    case Layout::bgr:
        dst[0] = uint8_t(c >> 16);
        dst[1] = uint8_t(c >> 8);
        dst[2] = uint8_t(c);
        break;
    }
}

int bytes_per_pixel(Layout layout) { return layout == Layout::rgb32 ? 4 : 3; }

void colour_scalar(const vz_cmap_t &map, const float *src, int n, uint8_t *dst, Layout layout) {
    const vz_cmap_t m = map;  // a local copy: the stores cannot alias it
    const int step = bytes_per_pixel(layout);
    for (int i = 0; i < n; ++i, dst += step) put(dst, color(m, millimetres(src[i])), layout);
}

#ifdef VZ_X86_DISPATCH
// Whether eight lanes of 32-bit integers hold every intermediate value: the
// offset from range_min, the truncated product and the palette index.
bool fits_lanes(const vz_cmap_t &m) {
    const int64_t span = int64_t(m.range_max) - m.range_min;
    return m.palette && m.size > 0 && m.size <= (1 << 30) && span >= 0 && span <= INT32_MAX &&
           m.scale >= 0 && double(float(span)) * double(m.scale) < double(1 << 30);
}

// Colours the first n - n % 8 values; returns how many.
VZ_TARGET_AVX2 int colour_avx2(const vz_cmap_t &m, const float *src, int n, uint8_t *dst,
                               Layout layout) {
    const __m256 k1000 = _mm256_set1_ps(1000.0f);
    const __m256i lo = _mm256_set1_epi32(m.range_min), hi = _mm256_set1_epi32(m.range_max);
    const __m256d scale = _mm256_set1_pd(double(m.scale));
    const __m256i size = _mm256_set1_epi32(m.size), last = _mm256_set1_epi32(m.size - 1);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i low_amp = _mm256_set1_epi32(kCodeLowAmp);
    const __m256i sat = _mm256_set1_epi32(kCodeSaturated);
    const __m256i adc = _mm256_set1_epi32(kCodeAdcOverflow);
    const __m256i sat_c = _mm256_set1_epi32(int(kColorSaturated));
    const __m256i adc_c = _mm256_set1_epi32(int(kColorAdcOverflow));
    const __m256i rgb = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0,
                                         1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i bgr = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2,
                                         1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const int *palette = reinterpret_cast<const int *>(m.palette);
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i mm = _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_loadu_ps(src + i), k1000));
        const __m256i outside =
            _mm256_or_si256(_mm256_cmpgt_epi32(lo, mm), _mm256_cmpgt_epi32(mm, hi));
        const __m256 off = _mm256_cvtepi32_ps(_mm256_sub_epi32(mm, lo));
        const __m128i t0 =
            _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(off)), scale));
        const __m128i t1 = _mm256_cvttpd_epi32(
            _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(off, 1)), scale));
        const __m256i k = _mm256_sub_epi32(size, _mm256_set_m128i(t1, t0));
        const __m256i idx = _mm256_min_epi32(_mm256_max_epi32(k, zero), last);
        const __m256i inside = _mm256_xor_si256(outside, _mm256_set1_epi32(-1));
        __m256i c = _mm256_mask_i32gather_epi32(zero, palette, idx, inside, 4);
        c = _mm256_andnot_si256(_mm256_cmpeq_epi32(mm, low_amp), c);
        c = _mm256_blendv_epi8(c, sat_c, _mm256_cmpeq_epi32(mm, sat));
        c = _mm256_blendv_epi8(c, adc_c, _mm256_cmpeq_epi32(mm, adc));
        if (layout == Layout::rgb32) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 4 * i), c);
            continue;
        }
        const __m256i packed = _mm256_shuffle_epi8(c, layout == Layout::rgb ? rgb : bgr);
        uint8_t *o = dst + 3 * i;
        const __m128i halves[2] = {_mm256_castsi256_si128(packed),
                                   _mm256_extracti128_si256(packed, 1)};
        for (const __m128i half : halves) {
            _mm_storel_epi64(reinterpret_cast<__m128i *>(o), half);
            const int tail = _mm_cvtsi128_si32(_mm_srli_si128(half, 8));
            std::memcpy(o + 8, &tail, 4);
            o += 12;
        }
    }
    return i;
}
#endif

}  // namespace

void colour_metres(cpu::Level level, const vz_cmap_t &map, const float *src, int n, uint8_t *dst,
                   Layout layout) {
    int done = 0;
#ifdef VZ_X86_DISPATCH
    if (level >= cpu::Level::avx2 && fits_lanes(map)) done = colour_avx2(map, src, n, dst, layout);
#endif
    colour_scalar(map, src + done, n - done, dst + size_t(done) * size_t(bytes_per_pixel(layout)),
                  layout);
}

void colour_metres_reference(const vz_cmap_t &map, const float *src, int n, uint8_t *dst,
                             Layout layout) {
    const int step = bytes_per_pixel(layout);
    for (int i = 0; i < n; ++i, dst += step)
        put(dst, vz_cmap_get_color(&map, millimetres(src[i])), layout);
}

}  // namespace vz::cmap
