// The point projection of the point-cloud calls: the straightforward loop
// (per-row and per-column terms hoisted, one point per valid pixel) and the
// same arithmetic four pixels at a time in AVX2 registers. Both compute every
// coordinate with the same operations in the same order and precision
// (division kept: a product with a reciprocal would round differently), so
// their points are equal bit for bit.
#include <cmath>
#include <cstdint>

#include "base/cpu.h"
#include "core/convert.h"
#include "core/globals.h"
#include "imgproc/cmap_metres.h"

#ifdef VZ_X86_DISPATCH
#include <immintrin.h>
#endif

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

template <PclExtra kExtra>
int project_avx2(const PclCamera &cam, float *pcl, int pcl_len, const float *dist, int img_w,
                 int img_h) {
    constexpr int64_t kStep = kStride<kExtra>;
    const vz_cmap_t &cmap = library_cmap();
    Columns cols;
    const double fx2 = cam.fx * cam.fx, fy2 = cam.fy * cam.fy;
    for (int x = 0; x < img_w; ++x) {
        const Column c = column(cam, fx2, x);
        cols.dx[x] = c.dx;
        cols.rx[x] = c.rx;
        cols.offset[x] = c.offset;
    }
    const double fx = cam.fx, z_offset = fx * kPlaneOffset;
    Walk w{pcl, 0, room_of<kExtra>(pcl_len)};
    for (int y = 0; y < img_h; ++y) {
        const float dy = float(y - cam.cy);
        const float ry = std::sqrt(float(double(dy) * dy + fy2));
        const double y_offset = double(dy) * kPlaneOffset;
        const float *row = dist + int64_t(y) * img_w;
        int x = row_avx2<kExtra>(cam, cols, row, img_w, dy, ry, y_offset, w);
        if (x < 0) return int(w.n);
        for (; x < img_w; ++x) {  // the last columns, as in the reference
            if (w.n >= w.room) return int(w.n);
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
    }
    return int(w.n);
}
#endif

template <PclExtra kExtra>
int project_fast(const PclCamera &cam, float *pcl, int pcl_len, const float *dist, int img_w,
                 int img_h) {
#ifdef VZ_X86_DISPATCH
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
