// The point projection of the point-cloud calls: the straightforward loop
// (per-row and per-column terms hoisted, one point per valid pixel), the same
// arithmetic four pixels at a time in AVX2 registers, and sixteen at a time in
// AVX-512 registers with branch-free compaction. All compute every coordinate
// with the same operations in the same order and precision; the AVX-512 steps
// replace each division by a product form that yields the same quotient bit
// for bit (core/pcl_quotient.h), so their points are equal bit for bit.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "base/cpu.h"
#include "core/convert.h"
#include "core/globals.h"
#include "core/pcl_quotient.h"
#include "imgproc/cmap_metres.h"

namespace vz {

namespace {

// Sensor-plane offset per pixel of distance from the optical axis (metres).
constexpr double kPlaneOffset = 20e-6;

// Per-column terms of the projection: dx, its single-precision root and its
// plane offset. Computed once per call for images up to kColumnCache wide,
// else per pixel; both give the same values.
constexpr int kColumnCache = 2048;
struct Column {
    float dx, rx;
    double offset;
};

inline Column column(const PclCamera &cam, double fx2, int x) {
    const float dx = float(x - cam.cx);
    return Column{dx, std::sqrt(float(double(dx) * dx + fx2)), double(dx) * kPlaneOffset};
}

template <PclExtra kExtra>
constexpr int64_t kStride = kExtra == PclExtra::None ? 3 : 4;

// The walk stops before the pixel at which stride * n + stride - 1 >=
// pcl_len, that is once n reaches pcl_len / stride.
template <PclExtra kExtra>
int64_t room_of(int pcl_len) {
    return pcl_len > 0 ? pcl_len / kStride<kExtra> : 0;
}

template <PclExtra kExtra, bool kCached>
int project(const PclCamera &cam, float *pcl, int pcl_len, const float *dist, int img_w, int img_h,
            const Column *cols) {
    constexpr int64_t kStep = kStride<kExtra>;
    const vz_cmap_t &cmap = library_cmap();
    const double fx = cam.fx, fy = cam.fy;
    const double fx2 = fx * fx, fy2 = fy * fy;
    const double z_offset = fx * kPlaneOffset;
    const int64_t room = room_of<kExtra>(pcl_len);
    int64_t n = 0;
    float *out = pcl;
    for (int y = 0; y < img_h; ++y) {
        // Everything that depends on the row only.
        const float dy = float(y - cam.cy);
        const float ry = std::sqrt(float(double(dy) * dy + fy2));
        const double y_offset = double(dy) * kPlaneOffset;
        const float *row = dist + int64_t(y) * img_w;
        for (int x = 0; x < img_w; ++x) {
            if (n >= room) return int(n);
            const float v = row[x];
            if (!(v > 0.0f && v < 60.0f)) continue;
            const float d = v * cam.scale;
            const Column c = kCached ? cols[x] : column(cam, fx2, x);
            out[0] = float(double(d) * c.dx / c.rx - c.offset);
            out[1] = float(double(d) * dy / ry - y_offset);
            out[2] = float(double(d) * fx / c.rx - z_offset);
            if constexpr (kExtra == PclExtra::Distance) {
                out[3] = d;
            } else if constexpr (kExtra == PclExtra::Colour) {
                out[3] = float(vz_cmap_get_color(&cmap, metres_to_mm(d)));
            }
            out += kStep;
            ++n;
        }
    }
    return int(n);
}

template <PclExtra kExtra>
int project_reference(const PclCamera &cam, float *pcl, int pcl_len, const float *dist, int img_w,
                      int img_h) {
    if (img_w > kColumnCache)
        return project<kExtra, false>(cam, pcl, pcl_len, dist, img_w, img_h, nullptr);
    Column cols[kColumnCache];
    const double fx2 = cam.fx * cam.fx;
    for (int x = 0; x < img_w; ++x) cols[x] = column(cam, fx2, x);
    return project<kExtra, true>(cam, pcl, pcl_len, dist, img_w, img_h, cols);
}

#ifdef VZ_X86_DISPATCH
// Column terms as separate arrays for vector loads.
struct Columns {
    float dx[kColumnCache], rx[kColumnCache];
    double offset[kColumnCache];
};

// Where a row walk stands: the next point and the points written.
struct Walk {
    float *out;
    int64_t n, room;
};

// One row, four columns at a time, up to the last whole group; returns the
// first column not done, or -1 when the points filled the room.
template <PclExtra kExtra>
VZ_TARGET_AVX2 int row_avx2(const PclCamera &cam, const Columns &cols, const float *row, int img_w,
                            float dy, float ry, double y_offset, Walk &w) {
    constexpr int64_t kStep = kStride<kExtra>;
    const vz_cmap_t &cmap = library_cmap();
    const __m128 zero = _mm_setzero_ps(), sixty = _mm_set1_ps(60.0f);
    const __m128 scale = _mm_set1_ps(cam.scale);
    const __m256d fx = _mm256_set1_pd(cam.fx), z_off = _mm256_set1_pd(cam.fx * kPlaneOffset);
    const __m256d dyd = _mm256_set1_pd(double(dy)), ryd = _mm256_set1_pd(double(ry));
    const __m256d y_off = _mm256_set1_pd(y_offset);
    int x = 0;
    for (; x + 4 <= img_w; x += 4) {
        const __m128 v = _mm_loadu_ps(row + x);
        const int valid = _mm_movemask_ps(
            _mm_and_ps(_mm_cmp_ps(v, zero, _CMP_GT_OQ), _mm_cmp_ps(v, sixty, _CMP_LT_OQ)));
        if (valid == 0) continue;
        const __m128 d = _mm_mul_ps(v, scale);
        const __m256d dd = _mm256_cvtps_pd(d);
        const __m256d rx = _mm256_cvtps_pd(_mm_loadu_ps(cols.rx + x));
        const __m256d dx = _mm256_cvtps_pd(_mm_loadu_ps(cols.dx + x));
        const __m256d off = _mm256_loadu_pd(cols.offset + x);
        __m128 px = _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_div_pd(_mm256_mul_pd(dd, dx), rx), off));
        __m128 py =
            _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_div_pd(_mm256_mul_pd(dd, dyd), ryd), y_off));
        __m128 pz = _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_div_pd(_mm256_mul_pd(dd, fx), rx), z_off));
        if (kExtra != PclExtra::Colour && valid == 0xF && w.n + 4 <= w.room) {
            // Four points in a row. With stride 3 each store's fourth float
            // is overwritten by the next and the last point is stored as
            // three floats: nothing is written beyond the points.
            __m128 pd = kExtra == PclExtra::Distance ? d : zero;
            _MM_TRANSPOSE4_PS(px, py, pz, pd);
            _mm_storeu_ps(w.out, px);
            _mm_storeu_ps(w.out + kStep, py);
            _mm_storeu_ps(w.out + 2 * kStep, pz);
            if constexpr (kStep == 4) {
                _mm_storeu_ps(w.out + 3 * kStep, pd);
            } else {
                _mm_storel_pi(reinterpret_cast<__m64 *>(w.out + 3 * kStep), pd);
                _mm_store_ss(w.out + 3 * kStep + 2, _mm_movehl_ps(pd, pd));
            }
            w.out += 4 * kStep;
            w.n += 4;
            continue;
        }
        alignas(16) float lx[4], ly[4], lz[4], ld[4];
        _mm_store_ps(lx, px);
        _mm_store_ps(ly, py);
        _mm_store_ps(lz, pz);
        _mm_store_ps(ld, d);
        for (int j = 0; j < 4; ++j) {
            if (!(valid >> j & 1)) continue;
            if (w.n >= w.room) return -1;
            w.out[0] = lx[j];
            w.out[1] = ly[j];
            w.out[2] = lz[j];
            if constexpr (kExtra == PclExtra::Distance) {
                w.out[3] = ld[j];
            } else if constexpr (kExtra == PclExtra::Colour) {
                w.out[3] = float(cmap::color(cmap, cmap::millimetres(ld[j])));
            }
            w.out += kStep;
            ++w.n;
        }
    }
    return x;
}

// The scalar row of the reference from column x0 on: the last columns of a
// vector walk, and rows whose ry does not suit the product form. False when
// the points filled the room.
template <PclExtra kExtra, typename Cols>
bool row_divided(const PclCamera &cam, const Cols &cols, const float *row, int x0, int img_w,
                 float dy, float ry, double y_offset, Walk &w) {
    constexpr int64_t kStep = kStride<kExtra>;
    const vz_cmap_t &cmap = library_cmap();
    const double fx = cam.fx, z_offset = fx * kPlaneOffset;
    for (int x = x0; x < img_w; ++x) {
        if (w.n >= w.room) return false;
        const float v = row[x];
        if (!(v > 0.0f && v < 60.0f)) continue;
        const float d = v * cam.scale;
        w.out[0] = float(double(d) * cols.dx[x] / cols.rx[x] - cols.offset[x]);
        w.out[1] = float(double(d) * dy / ry - y_offset);
        w.out[2] = float(double(d) * fx / cols.rx[x] - z_offset);
        if constexpr (kExtra == PclExtra::Distance) {
            w.out[3] = d;
        } else if constexpr (kExtra == PclExtra::Colour) {
            w.out[3] = float(cmap::color(cmap, metres_to_mm(d)));
        }
        w.out += kStep;
        ++w.n;
    }
    return true;
}

template <PclExtra kExtra>
int project_avx2(const PclCamera &cam, float *pcl, int pcl_len, const float *dist, int img_w,
                 int img_h) {
    Columns cols;
    const double fx2 = cam.fx * cam.fx, fy2 = cam.fy * cam.fy;
    for (int x = 0; x < img_w; ++x) {
        const Column c = column(cam, fx2, x);
        cols.dx[x] = c.dx;
        cols.rx[x] = c.rx;
        cols.offset[x] = c.offset;
    }
    Walk w{pcl, 0, room_of<kExtra>(pcl_len)};
    for (int y = 0; y < img_h; ++y) {
        const float dy = float(y - cam.cy);
        const float ry = std::sqrt(float(double(dy) * dy + fy2));
        const double y_offset = double(dy) * kPlaneOffset;
        const float *row = dist + int64_t(y) * img_w;
        const int x = row_avx2<kExtra>(cam, cols, row, img_w, dy, ry, y_offset, w);
        // The last columns, as in the reference.
        if (x < 0 || !row_divided<kExtra>(cam, cols, row, x, img_w, dy, ry, y_offset, w))
            return int(w.n);
    }
    return int(w.n);
}

// ---- AVX-512: sixteen pixels per step, compaction without branches ----------
//
// Every pixel of a group is projected, the valid ones are packed to the front
// of the registers (compress), interleaved into points with two-source
// permutes and stored with a length mask, so the work per group does not
// depend on which of its pixels are valid.
//
// The divisions by a column's rx or a row's ry are products with the
// divisor's reciprocal and one exact correction (core/pcl_quotient.h), valid
// while no term overflows or underflows: camera_ok and divisor_ok check that
// for the camera's terms.

// Smallest and largest magnitude of a camera term used as a factor or a
// divisor on the fast path: with distances below 60 * 1e30, products and
// quotients stay normal doubles far from overflow and underflow.
constexpr double kTermMin = 1e-100, kTermMax = 1e100;
constexpr float kScaleMax = 1e30f;

// True when a divisor (a column's rx, a row's ry) suits the product form.
inline bool divisor_ok(float r) { return r >= 1.17549435e-38f && r <= 3.40282347e38f; }

inline bool camera_ok(const PclCamera &cam) {
    const double fx = std::fabs(cam.fx);
    return std::fabs(cam.scale) <= kScaleMax && (fx == 0 || (fx >= kTermMin && fx <= kTermMax));
}

// Column terms for the AVX-512 steps, with each rx's reciprocal.
struct ColumnsFast {
    alignas(64) float dx[kColumnCache];
    alignas(64) float rx[kColumnCache];
    alignas(64) double offset[kColumnCache];
    alignas(64) double inv_rx[kColumnCache];
};

// Terms of one row.
struct RowFast {
    double dy, ry, inv_ry, y_offset;
};

// Permute indices that interleave the packed coordinates into points. Three
// floats: vector k of the output holds floats 16k..16k+15; a first permute
// takes x and y, a second the z. Four floats: one index for (x, y) and for
// (z, fourth), then a blend.
struct Interleave {
    alignas(64) int32_t xy[3][16], z[3][16], four[4][16];
    constexpr Interleave() : xy{}, z{}, four{} {
        for (int k = 0; k < 3; ++k)
            for (int e = 0; e < 16; ++e) {
                const int j = 16 * k + e, p = j / 3, c = j % 3;
                xy[k][e] = c == 1 ? 16 + p : p;
                z[k][e] = c == 2 ? 16 + p : e;
            }
        for (int k = 0; k < 4; ++k)
            for (int e = 0; e < 16; ++e) {
                const int p = 4 * k + e / 4, c = e % 4;
                four[k][e] = c % 2 ? 16 + p : p;
            }
    }
};
constexpr Interleave kInterleave;

// One coordinate of sixteen pixels: float(a / b - offset) for both halves.
VZ_TARGET_PCL512 inline __m512 coordinate(__m512d a_lo, __m512d a_hi, __m512d b_lo, __m512d b_hi,
                                          __m512d y_lo, __m512d y_hi, __m512d off_lo,
                                          __m512d off_hi) {
    const __m256 lo = _mm512_cvtpd_ps(_mm512_sub_pd(pcl::quotient(a_lo, b_lo, y_lo), off_lo));
    const __m256 hi = _mm512_cvtpd_ps(_mm512_sub_pd(pcl::quotient(a_hi, b_hi, y_hi), off_hi));
    return _mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1);
}

// Stores the first `floats` floats of v at p (0 to 16), nothing beyond.
VZ_TARGET_PCL512 inline void store_first(float *p, __m512 v, int64_t floats) {
    const int64_t k = floats < 0 ? 0 : floats > 16 ? 16 : floats;
    _mm512_mask_storeu_ps(p, __mmask16((1u << k) - 1), v);
}

// Writes the first `count` packed points (x, y, z and, with four floats, w).
template <int64_t kStep>
VZ_TARGET_PCL512 void store_points(float *out, __m512 x, __m512 y, __m512 z, __m512 w,
                                   int64_t count) {
    const Interleave &il = kInterleave;
    const int64_t floats = count * kStep;
    if constexpr (kStep == 3) {
        for (int k = 0; k < 3; ++k) {
            const __m512 xy = _mm512_permutex2var_ps(x, _mm512_load_si512(il.xy[k]), y);
            const __m512 v = _mm512_permutex2var_ps(xy, _mm512_load_si512(il.z[k]), z);
            store_first(out + 16 * k, v, floats - 16 * k);
        }
    } else {
        for (int k = 0; k < 4; ++k) {
            const __m512i idx = _mm512_load_si512(il.four[k]);
            const __m512 xy = _mm512_permutex2var_ps(x, idx, y);
            const __m512 zw = _mm512_permutex2var_ps(z, idx, w);
            store_first(out + 16 * k, _mm512_mask_blend_ps(0xCCCC, xy, zw), floats - 16 * k);
        }
    }
}

// One row, sixteen columns at a time (the last group masked). False when the
// points filled the room.
template <PclExtra kExtra>
VZ_TARGET_PCL512 bool row_avx512(const PclCamera &cam, const ColumnsFast &cols, const float *row,
                                 int img_w, const RowFast &r, Walk &w) {
    constexpr int64_t kStep = kStride<kExtra>;
    const __m512 zero = _mm512_setzero_ps(), sixty = _mm512_set1_ps(60.0f);
    const __m512 scale = _mm512_set1_ps(cam.scale);
    const __m512d fx = _mm512_set1_pd(cam.fx), z_off = _mm512_set1_pd(cam.fx * kPlaneOffset);
    const __m512d dy = _mm512_set1_pd(r.dy), ry = _mm512_set1_pd(r.ry);
    const __m512d inv_ry = _mm512_set1_pd(r.inv_ry), y_off = _mm512_set1_pd(r.y_offset);
    alignas(64) float packed_d[16] = {}, fourth[16] = {};
    for (int x = 0; x < img_w; x += 16) {
        const int left = img_w - x;
        const __mmask16 in = left >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << left) - 1);
        const __m512 v = _mm512_maskz_loadu_ps(in, row + x);
        const __mmask16 valid = _mm512_mask_cmp_ps_mask(
            _mm512_mask_cmp_ps_mask(in, v, zero, _CMP_GT_OQ), v, sixty, _CMP_LT_OQ);
        if (valid == 0) continue;
        const __m512 d = _mm512_mul_ps(v, scale);
        const __m512d d_lo = _mm512_cvtps_pd(_mm512_castps512_ps256(d));
        const __m512d d_hi = _mm512_cvtps_pd(_mm512_extractf32x8_ps(d, 1));
        const __m512 dx = _mm512_load_ps(cols.dx + x);
        const __m512 rx = _mm512_load_ps(cols.rx + x);
        const __m512d dx_lo = _mm512_cvtps_pd(_mm512_castps512_ps256(dx));
        const __m512d dx_hi = _mm512_cvtps_pd(_mm512_extractf32x8_ps(dx, 1));
        const __m512d rx_lo = _mm512_cvtps_pd(_mm512_castps512_ps256(rx));
        const __m512d rx_hi = _mm512_cvtps_pd(_mm512_extractf32x8_ps(rx, 1));
        const __m512d inv_lo = _mm512_load_pd(cols.inv_rx + x);
        const __m512d inv_hi = _mm512_load_pd(cols.inv_rx + x + 8);
        const __m512d off_lo = _mm512_load_pd(cols.offset + x);
        const __m512d off_hi = _mm512_load_pd(cols.offset + x + 8);
        __m512 px = coordinate(_mm512_mul_pd(d_lo, dx_lo), _mm512_mul_pd(d_hi, dx_hi), rx_lo, rx_hi,
                               inv_lo, inv_hi, off_lo, off_hi);
        __m512 py = coordinate(_mm512_mul_pd(d_lo, dy), _mm512_mul_pd(d_hi, dy), ry, ry, inv_ry,
                               inv_ry, y_off, y_off);
        __m512 pz = coordinate(_mm512_mul_pd(d_lo, fx), _mm512_mul_pd(d_hi, fx), rx_lo, rx_hi,
                               inv_lo, inv_hi, z_off, z_off);
        px = _mm512_maskz_compress_ps(valid, px);
        py = _mm512_maskz_compress_ps(valid, py);
        pz = _mm512_maskz_compress_ps(valid, pz);
        __m512 pw = _mm512_maskz_compress_ps(valid, d);
        const int64_t found = _mm_popcnt_u32(valid);
        const int64_t count = found < w.room - w.n ? found : w.room - w.n;
        if constexpr (kExtra == PclExtra::Colour) {
            const vz_cmap_t &cmap = library_cmap();
            _mm512_store_ps(packed_d, pw);
            for (int64_t j = 0; j < count; ++j)
                fourth[j] = float(cmap::color(cmap, metres_to_mm(packed_d[j])));
            pw = _mm512_load_ps(fourth);
        }
        store_points<kStep>(w.out, px, py, pz, pw, count);
        w.out += count * kStep;
        w.n += count;
        if (count < found) return false;
    }
    return true;
}

// ---- AVX2 with FMA: eight pixels per step -----------------------------------
//
// The same product form; the valid lanes are packed to the front with a lane
// order looked up by the validity mask, transposed into points and written
// whole into a staging block, each group right after the last one's points,
// so no branch depends on which pixels are valid. The staged points are then
// copied out, as many as the room takes.

bool has_fma() {
    static const bool fma = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("fma") != 0;
    }();
    return fma;
}

// Lane orders that pack the set lanes of an 8-bit mask to the front.
struct Pack8 {
    alignas(32) int32_t lanes[256][8];
    constexpr Pack8() : lanes{} {
        for (int m = 0; m < 256; ++m) {
            int k = 0;
            for (int j = 0; j < 8; ++j)
                if (m >> j & 1) lanes[m][k++] = j;
        }
    }
};
constexpr Pack8 kPack8;

// Columns per staging block, and the block: its points and room for the
// whole-point stores of one more group.
constexpr int kStageColumns = 256;
constexpr int kStageFloats = (kStageColumns + 8) * 4;

// One coordinate of eight pixels: float(a / b - offset) for both halves.
VZ_TARGET_PCL_AVX2 inline __m256 coordinate(__m256d a_lo, __m256d a_hi, __m256d b_lo, __m256d b_hi,
                                            __m256d y_lo, __m256d y_hi, __m256d off_lo,
                                            __m256d off_hi) {
    const __m128 lo = _mm256_cvtpd_ps(_mm256_sub_pd(pcl::quotient(a_lo, b_lo, y_lo), off_lo));
    const __m128 hi = _mm256_cvtpd_ps(_mm256_sub_pd(pcl::quotient(a_hi, b_hi, y_hi), off_hi));
    return _mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1);
}

// Both halves of eight floats as doubles.
VZ_TARGET_PCL_AVX2 inline void widen(__m256 v, __m256d &lo, __m256d &hi) {
    lo = _mm256_cvtps_pd(_mm256_castps256_ps128(v));
    hi = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
}

// Projects columns [x0, x1) of a row into stage; returns the points staged.
template <PclExtra kExtra>
VZ_TARGET_PCL_AVX2 int64_t stage_avx2(const PclCamera &cam, const ColumnsFast &cols,
                                      const float *row, int x0, int x1, const RowFast &r,
                                      float *stage) {
    constexpr int64_t kStep = kStride<kExtra>;
    const __m256 zero = _mm256_setzero_ps(), sixty = _mm256_set1_ps(60.0f);
    const __m256 scale = _mm256_set1_ps(cam.scale);
    const __m256d fx = _mm256_set1_pd(cam.fx), z_off = _mm256_set1_pd(cam.fx * kPlaneOffset);
    const __m256d dy = _mm256_set1_pd(r.dy), ry = _mm256_set1_pd(r.ry);
    const __m256d inv_ry = _mm256_set1_pd(r.inv_ry), y_off = _mm256_set1_pd(r.y_offset);
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    int64_t staged = 0;
    for (int x = x0; x < x1; x += 8) {
        // The row's last group loads only its own pixels; the column terms
        // are filled beyond the image up to a whole group.
        const __m256i in = _mm256_cmpgt_epi32(_mm256_set1_epi32(x1 - x), lane);
        const __m256 v = x1 - x >= 8 ? _mm256_loadu_ps(row + x) : _mm256_maskload_ps(row + x, in);
        const int valid = _mm256_movemask_ps(_mm256_and_ps(
            _mm256_and_ps(_mm256_cmp_ps(v, zero, _CMP_GT_OQ), _mm256_cmp_ps(v, sixty, _CMP_LT_OQ)),
            _mm256_castsi256_ps(in)));
        if (valid == 0) continue;
        const __m256 d = _mm256_mul_ps(v, scale);
        __m256d d_lo, d_hi, dx_lo, dx_hi, rx_lo, rx_hi;
        widen(d, d_lo, d_hi);
        widen(_mm256_load_ps(cols.dx + x), dx_lo, dx_hi);
        widen(_mm256_load_ps(cols.rx + x), rx_lo, rx_hi);
        const __m256d inv_lo = _mm256_load_pd(cols.inv_rx + x);
        const __m256d inv_hi = _mm256_load_pd(cols.inv_rx + x + 4);
        const __m256d off_lo = _mm256_load_pd(cols.offset + x);
        const __m256d off_hi = _mm256_load_pd(cols.offset + x + 4);
        const __m256i pack =
            _mm256_load_si256(reinterpret_cast<const __m256i *>(kPack8.lanes[valid]));
        const __m256 px = _mm256_permutevar8x32_ps(
            coordinate(_mm256_mul_pd(d_lo, dx_lo), _mm256_mul_pd(d_hi, dx_hi), rx_lo, rx_hi, inv_lo,
                       inv_hi, off_lo, off_hi),
            pack);
        const __m256 py =
            _mm256_permutevar8x32_ps(coordinate(_mm256_mul_pd(d_lo, dy), _mm256_mul_pd(d_hi, dy),
                                                ry, ry, inv_ry, inv_ry, y_off, y_off),
                                     pack);
        const __m256 pz =
            _mm256_permutevar8x32_ps(coordinate(_mm256_mul_pd(d_lo, fx), _mm256_mul_pd(d_hi, fx),
                                                rx_lo, rx_hi, inv_lo, inv_hi, z_off, z_off),
                                     pack);
        const __m256 pw = _mm256_permutevar8x32_ps(d, pack);
        // Points 0-3 in the low halves, 4-7 in the high ones.
        const __m256 t0 = _mm256_unpacklo_ps(px, py), t1 = _mm256_unpackhi_ps(px, py);
        const __m256 t2 = _mm256_unpacklo_ps(pz, pw), t3 = _mm256_unpackhi_ps(pz, pw);
        const __m256 p[4] = {_mm256_shuffle_ps(t0, t2, 0x44), _mm256_shuffle_ps(t0, t2, 0xEE),
                             _mm256_shuffle_ps(t1, t3, 0x44), _mm256_shuffle_ps(t1, t3, 0xEE)};
        // In point order: with three floats a point's fourth float is
        // overwritten by the next point.
        float *s = stage + staged * kStep;
        for (int k = 0; k < 4; ++k) _mm_storeu_ps(s + k * kStep, _mm256_castps256_ps128(p[k]));
        for (int k = 0; k < 4; ++k)
            _mm_storeu_ps(s + (4 + k) * kStep, _mm256_extractf128_ps(p[k], 1));
        staged += _mm_popcnt_u32(unsigned(valid));
    }
    return staged;
}

// One row through staging blocks. False when the points filled the room.
template <PclExtra kExtra>
bool row_avx2_fma(const PclCamera &cam, const ColumnsFast &cols, const float *row, int img_w,
                  const RowFast &r, Walk &w) {
    constexpr int64_t kStep = kStride<kExtra>;
    alignas(32) float stage[kStageFloats];
    for (int x0 = 0; x0 < img_w; x0 += kStageColumns) {
        const int x1 = img_w - x0 < kStageColumns ? img_w : x0 + kStageColumns;
        const int64_t staged = stage_avx2<kExtra>(cam, cols, row, x0, x1, r, stage);
        const int64_t take = staged < w.room - w.n ? staged : w.room - w.n;
        if constexpr (kExtra == PclExtra::Colour) {
            const vz_cmap_t &cmap = library_cmap();
            for (int64_t k = 0; k < take; ++k)
                stage[4 * k + 3] = float(cmap::color(cmap, metres_to_mm(stage[4 * k + 3])));
        }
        std::memcpy(w.out, stage, size_t(take * kStep) * sizeof(float));
        w.out += take * kStep;
        w.n += take;
        if (take < staged) return false;
    }
    return true;
}

// ---- the product form's projection --------------------------------------------

// Column terms of the product form; false when a column's rx does not suit it.
bool product_columns(const PclCamera &cam, int img_w, ColumnsFast &cols) {
    const double fx2 = cam.fx * cam.fx;
    for (int x = 0; x < img_w; ++x) {
        const Column c = column(cam, fx2, x);
        if (!divisor_ok(c.rx)) return false;
        cols.dx[x] = c.dx;
        cols.rx[x] = c.rx;
        cols.offset[x] = c.offset;
        cols.inv_rx[x] = 1.0 / double(c.rx);
    }
    // Neutral terms up to a whole group of sixteen, for the vector loads.
    for (int x = img_w; x < kColumnCache && x % 16 != 0; ++x) {
        cols.dx[x] = 0.0f;
        cols.rx[x] = 1.0f;
        cols.offset[x] = 0.0;
        cols.inv_rx[x] = 1.0;
    }
    return true;
}

template <PclExtra kExtra>
using RowFn = bool (*)(const PclCamera &, const ColumnsFast &, const float *, int, const RowFast &,
                       Walk &);

// The projection with a vector row of the product form, or -1 when the
// camera's terms do not suit that form (the caller then takes another path).
// Rows whose ry does not suit it are divided as in the reference.
template <PclExtra kExtra, RowFn<kExtra> kRow>
int project_products(const PclCamera &cam, float *pcl, int pcl_len, const float *dist, int img_w,
                     int img_h) {
    if (!camera_ok(cam)) return -1;
    ColumnsFast cols;  // not initialised: only the first img_w entries are read
    if (!product_columns(cam, img_w, cols)) return -1;
    const double fy2 = cam.fy * cam.fy;
    Walk w{pcl, 0, room_of<kExtra>(pcl_len)};
    for (int y = 0; y < img_h && w.n < w.room; ++y) {
        const float dy = float(y - cam.cy);
        const float ry = std::sqrt(float(double(dy) * dy + fy2));
        const double y_offset = double(dy) * kPlaneOffset;
        const float *row = dist + int64_t(y) * img_w;
        const bool more = divisor_ok(ry)
                              ? kRow(cam, cols, row, img_w,
                                     RowFast{double(dy), double(ry), 1.0 / double(ry), y_offset}, w)
                              : row_divided<kExtra>(cam, cols, row, 0, img_w, dy, ry, y_offset, w);
        if (!more) break;
    }
    return int(w.n);
}
#endif

template <PclExtra kExtra>
int project_fast(const PclCamera &cam, float *pcl, int pcl_len, const float *dist, int img_w,
                 int img_h) {
#ifdef VZ_X86_DISPATCH
    if (img_w <= kColumnCache && cpu::level() >= cpu::Level::avx512) {
        const int n =
            project_products<kExtra, row_avx512<kExtra>>(cam, pcl, pcl_len, dist, img_w, img_h);
        if (n >= 0) return n;
    }
    if (img_w <= kColumnCache && cpu::level() >= cpu::Level::avx2 && has_fma()) {
        const int n =
            project_products<kExtra, row_avx2_fma<kExtra>>(cam, pcl, pcl_len, dist, img_w, img_h);
        if (n >= 0) return n;
    }
    if (img_w <= kColumnCache && cpu::level() >= cpu::Level::avx2)
        return project_avx2<kExtra>(cam, pcl, pcl_len, dist, img_w, img_h);
#endif
    return project_reference<kExtra>(cam, pcl, pcl_len, dist, img_w, img_h);
}

}  // namespace

int project_points(const PclCamera &cam, float *pcl, int pcl_len, const float *dist, int img_w,
                   int img_h, PclExtra extra) {
    switch (extra) {
    case PclExtra::None: return project_fast<PclExtra::None>(cam, pcl, pcl_len, dist, img_w, img_h);
    case PclExtra::Distance:
        return project_fast<PclExtra::Distance>(cam, pcl, pcl_len, dist, img_w, img_h);
    case PclExtra::Colour:
        return project_fast<PclExtra::Colour>(cam, pcl, pcl_len, dist, img_w, img_h);
    }
    return 0;
}

int project_points_reference(const PclCamera &cam, float *pcl, int pcl_len, const float *dist,
                             int img_w, int img_h, PclExtra extra) {
    switch (extra) {
    case PclExtra::None:
        return project_reference<PclExtra::None>(cam, pcl, pcl_len, dist, img_w, img_h);
    case PclExtra::Distance:
        return project_reference<PclExtra::Distance>(cam, pcl, pcl_len, dist, img_w, img_h);
    case PclExtra::Colour:
        return project_reference<PclExtra::Colour>(cam, pcl, pcl_len, dist, img_w, img_h);
    }
    return 0;
}

}  // namespace vz
