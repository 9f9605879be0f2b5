// Undistortion per frame. The lookup maps hold float source positions at the
// lens resolution; turning them into source indices (a division, a rounding
// and two range checks per pixel) depends only on the map and the source size,
// so it is done once per pair and kept, and each frame is a gather through
// the integer indices with the invalid value where the index is negative.
// Where every source index lies within 16 bits of its output position (as
// for a lens, whose distortion moves pixels by a few rows at most) the map
// keeps that offset in 16 bits, which saves a sixth of the memory traffic.
#include "imgproc/undistort.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "imgproc/lens_model.h"

#ifdef VZ_X86_DISPATCH
#include <immintrin.h>
#endif

namespace vz::lens {

namespace {

// Index maps kept per tracked map: the usual one or two source sizes of a
// camera, with room to spare.
constexpr size_t kSizesPerMap = 4;

struct Key {
    const float *mx, *my;
    int mw, mh;
    bool operator==(const Key &) const = default;
};

Key key_of(const vz_calib_map_t &m) { return Key{m.map_x, m.map_y, m.width, m.height}; }

// Either form of an index map.
struct Indices {
    std::unique_ptr<int16_t[]> delta;  // source index - output index, kNoDelta: invalid
    std::unique_ptr<int32_t[]> idx;    // when some offset needs more bits
};

struct IndexMap {
    Key key;
    int sw, sh;
    std::shared_ptr<const Indices> ix;  // shared with a gather in progress
};

struct Cache {
    std::mutex mu;
    std::vector<Key> tracked;
    std::vector<IndexMap> maps;  // oldest first
};

Cache &cache() {
    static Cache c;
    return c;
}

// The index map of the reference gather's nearest-neighbour rule.
template <bool kPow2>
void build(const vz_calib_map_t &map, int src_w, int src_h, int sx, int sy, int32_t *idx) {
    vz::lens::for_each_nearest<kPow2>(map, src_w, src_h, sx, sy,
                                      [&](size_t pos, ptrdiff_t i) { idx[pos] = int32_t(i); });
}

// The cached index map of map at src_w x src_h, built on first use; null when
// the map is not tracked or memory is short.
std::shared_ptr<const Indices> index_map(const vz_calib_map_t &map, int src_w, int src_h) {
    Cache &c = cache();
    const Key k = key_of(map);
    std::lock_guard lk(c.mu);
    if (std::find(c.tracked.begin(), c.tracked.end(), k) == c.tracked.end()) return nullptr;
    size_t mine = 0;
    for (const IndexMap &e : c.maps) {
        if (!(e.key == k)) continue;
        if (e.sw == src_w && e.sh == src_h) return e.ix;
        ++mine;
    }
    try {
        const size_t n = size_t(src_w) * size_t(src_h);
        auto ix = std::make_shared<Indices>();
        ix->idx.reset(new int32_t[n]);
        build_index_map(map, src_w, src_h, ix->idx.get());
        ix->delta.reset(new int16_t[n]);
        if (to_deltas(ix->idx.get(), n, ix->delta.get()))
            ix->idx.reset();
        else
            ix->delta.reset();
        if (mine >= kSizesPerMap)
            c.maps.erase(std::find_if(c.maps.begin(), c.maps.end(),
                                      [&](const IndexMap &e) { return e.key == k; }));
        c.maps.push_back(IndexMap{k, src_w, src_h, ix});
        return ix;
    } catch (const std::bad_alloc &) {
        return nullptr;  // the frame is undistorted the direct way
    }
}

void gather_scalar(const int32_t *idx, size_t n, const float *src, float invalid, float *dst) {
    for (size_t i = 0; i < n; ++i) dst[i] = idx[i] < 0 ? invalid : src[idx[i]];
}

// From output index `at` on.
void gather_scalar(const int16_t *delta, size_t at, size_t n, const float *src, float invalid,
                   float *dst) {
    for (size_t i = at; i < n; ++i)
        dst[i] = delta[i] == kNoDelta ? invalid : src[ptrdiff_t(i) + delta[i]];
}

#ifdef VZ_X86_DISPATCH
VZ_TARGET_AVX2 void gather_avx2(const int32_t *idx, size_t n, const float *src, float invalid,
                                float *dst) {
    const __m256 fill = _mm256_set1_ps(invalid);
    const __m256i minus1 = _mm256_set1_epi32(-1);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(idx + i));
        const __m256 ok = _mm256_castsi256_ps(_mm256_cmpgt_epi32(v, minus1));
        _mm256_storeu_ps(dst + i, _mm256_mask_i32gather_ps(fill, src, v, ok, 4));
    }
    gather_scalar(idx + i, n - i, src, invalid, dst + i);
}

VZ_TARGET_AVX2 void gather_avx2(const int16_t *delta, size_t n, const float *src, float invalid,
                                float *dst) {
    const __m256 fill = _mm256_set1_ps(invalid);
    const __m256i none = _mm256_set1_epi32(kNoDelta), ones = _mm256_set1_epi32(-1);
    __m256i at = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i step = _mm256_set1_epi32(8);
    size_t i = 0;
    for (; i + 8 <= n; i += 8, at = _mm256_add_epi32(at, step)) {
        const __m256i d =
            _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(delta + i)));
        const __m256 ok = _mm256_castsi256_ps(_mm256_xor_si256(_mm256_cmpeq_epi32(d, none), ones));
        const __m256i v = _mm256_add_epi32(at, d);
        _mm256_storeu_ps(dst + i, _mm256_mask_i32gather_ps(fill, src, v, ok, 4));
    }
    gather_scalar(delta, i, n, src, invalid, dst);
}

VZ_TARGET_AVX512 void gather_avx512(const int32_t *idx, size_t n, const float *src, float invalid,
                                    float *dst) {
    const __m512 fill = _mm512_set1_ps(invalid);
    const __m512i zero = _mm512_setzero_si512();
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512i v = _mm512_loadu_si512(idx + i);
        const __mmask16 ok = _mm512_cmpge_epi32_mask(v, zero);
        _mm512_storeu_ps(dst + i, _mm512_mask_i32gather_ps(fill, ok, v, src, 4));
    }
    if (i < n) {
        const __mmask16 tail = __mmask16((1u << (n - i)) - 1);
        const __m512i v = _mm512_maskz_loadu_epi32(tail, idx + i);
        const __mmask16 ok = _mm512_mask_cmpge_epi32_mask(tail, v, zero);
        _mm512_mask_storeu_ps(dst + i, tail, _mm512_mask_i32gather_ps(fill, ok, v, src, 4));
    }
}

VZ_TARGET_AVX512 void gather_avx512(const int16_t *delta, size_t n, const float *src, float invalid,
                                    float *dst) {
    const __m512 fill = _mm512_set1_ps(invalid);
    const __m512i none = _mm512_set1_epi32(kNoDelta);
    __m512i at = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i step = _mm512_set1_epi32(16);
    size_t i = 0;
    for (; i + 16 <= n; i += 16, at = _mm512_add_epi32(at, step)) {
        // The zero-masking form: GCC 12 warns about the undefined source
        // register of the plain one.
        const __m512i d = _mm512_maskz_cvtepi16_epi32(
            0xFFFF, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(delta + i)));
        const __mmask16 ok = _mm512_cmpneq_epi32_mask(d, none);
        const __m512i v = _mm512_add_epi32(at, d);
        _mm512_storeu_ps(dst + i, _mm512_mask_i32gather_ps(fill, ok, v, src, 4));
    }
    gather_scalar(delta, i, n, src, invalid, dst);
}
#endif

}  // namespace

void track_map(const vz_calib_map_t &map) {
    Cache &c = cache();
    std::lock_guard lk(c.mu);
    try {
        c.tracked.push_back(key_of(map));
    } catch (const std::bad_alloc &) {
        // untracked: undistorted the direct way
    }
}

void forget_map(const vz_calib_map_t &map) {
    Cache &c = cache();
    const Key k = key_of(map);
    std::lock_guard lk(c.mu);
    std::erase(c.tracked, k);
    std::erase_if(c.maps, [&](const IndexMap &e) { return e.key == k; });
}

void build_index_map(const vz_calib_map_t &map, int src_w, int src_h, int32_t *idx) {
    const int sx = map.width / src_w, sy = map.height / src_h;
    if ((sx & (sx - 1)) == 0 && (sy & (sy - 1)) == 0)
        build<true>(map, src_w, src_h, sx, sy, idx);
    else
        build<false>(map, src_w, src_h, sx, sy, idx);
}

bool to_deltas(const int32_t *idx, size_t n, int16_t *delta) {
    for (size_t i = 0; i < n; ++i) {
        if (idx[i] < 0) {
            delta[i] = kNoDelta;
            continue;
        }
        const int64_t d = int64_t(idx[i]) - int64_t(i);
        if (d <= kNoDelta || d > INT16_MAX) return false;
        delta[i] = int16_t(d);
    }
    return true;
}

void gather_deltas(cpu::Level level, const int16_t *delta, size_t n, const float *src,
                   float invalid, float *dst) {
#ifdef VZ_X86_DISPATCH
    if (level == cpu::Level::avx512) return gather_avx512(delta, n, src, invalid, dst);
    if (level == cpu::Level::avx2) return gather_avx2(delta, n, src, invalid, dst);
#endif
    gather_scalar(delta, 0, n, src, invalid, dst);
}

void gather_indexed(cpu::Level level, const int32_t *idx, size_t n, const float *src, float invalid,
                    float *dst) {
#ifdef VZ_X86_DISPATCH
    if (level == cpu::Level::avx512) return gather_avx512(idx, n, src, invalid, dst);
    if (level == cpu::Level::avx2) return gather_avx2(idx, n, src, invalid, dst);
#endif
    gather_scalar(idx, n, src, invalid, dst);
}

void undistort(const vz_calib_map_t &map, float *dst, const float *src, int src_w, int src_h,
               float invalid) {
    const auto ix = index_map(map, src_w, src_h);
    if (!ix) return undistort_reference(map, dst, src, src_w, src_h, invalid);
    const size_t n = size_t(src_w) * size_t(src_h);
    if (ix->delta)
        gather_deltas(cpu::level(), ix->delta.get(), n, src, invalid, dst);
    else
        gather_indexed(cpu::level(), ix->idx.get(), n, src, invalid, dst);
}

}  // namespace vz::lens
