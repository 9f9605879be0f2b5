// Lens undistortion: the distortion model, the undistortion of points, the
// output camera that keeps the whole source in view, the lookup maps, and the
// straightforward nearest-neighbour gather that applies them (the reference of
// the indexed gather in undistort.cpp, which frames go through).
#include <stdlib.h>

#include <cfloat>
#include <cstddef>
#include <cstdint>

#include "base/firewall.h"
#include "imgproc/lens_model.h"
#include "imgproc/undistort.h"
#include "vizor/lens.h"
#include "vizor/math3d.h"

namespace vz::lens {

namespace {

constexpr int kGrid = 9;  // grid points per direction for the rectangles

}  // namespace

void camera_matrix(const vz_lens_param_t &lens, double k[9]) {
    mat3_identity(k);
    k[0] = lens.fx;
    k[2] = lens.cx;
    k[4] = lens.fy;
    k[5] = lens.cy;
}

void undistort_point(const double k[9], const double coeff[5], const double *r, float px, float py,
                     float &ox, float &oy) {
    const double fx = k[0], fy = k[4], cx = k[2], cy = k[5];
    const double k1 = coeff[0], k2 = coeff[1], p1 = coeff[2], p2 = coeff[3], k3 = coeff[4];
    const double x0 = (px - cx) * (1 / fx);
    const double y0 = (py - cy) * (1 / fy);
    double x = x0, y = y0;
    for (int i = 0; i < 5; ++i) {
        const double r2 = x * x + y * y;
        const double icdist = 1 / (1 + k1 * r2 + k2 * r2 * r2 + k3 * r2 * r2 * r2);
        const double dx = 2 * p1 * x * y + p2 * (r2 + 2 * x * x);
        const double dy = p1 * (r2 + 2 * y * y) + 2 * p2 * x * y;
        x = (x0 - dx) * icdist;
        y = (y0 - dy) * icdist;
    }
    static constexpr double kIdentity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    if (!r) r = kIdentity;
    const double w = 1 / (r[6] * x + r[7] * y + r[8]);
    ox = float((r[0] * x + r[1] * y + r[2]) * w);
    oy = float((r[3] * x + r[4] * y + r[5]) * w);
}

void rectangles(const double k[9], const double coeff[5], const double *n, int w, int h,
                Rect &inner, Rect &outer) {
    float ix0 = -FLT_MAX, iy0 = -FLT_MAX, ix1 = FLT_MAX, iy1 = FLT_MAX;  // inner
    float ox0 = FLT_MAX, oy0 = FLT_MAX, ox1 = -FLT_MAX, oy1 = -FLT_MAX;  // outer
    for (int j = 0; j < kGrid; ++j) {
        for (int i = 0; i < kGrid; ++i) {
            const float px = float(w) * float(i) / float(kGrid - 1);
            const float py = float(h) * float(j) / float(kGrid - 1);
            float x, y;
            undistort_point(k, coeff, n, px, py, x, y);
            if (x < ox0) ox0 = x;
            if (x > ox1) ox1 = x;
            if (y < oy0) oy0 = y;
            if (y > oy1) oy1 = y;
            if (i == 0 && x > ix0) ix0 = x;
            if (i == kGrid - 1 && x < ix1) ix1 = x;
            if (j == 0 && y > iy0) iy0 = y;
            if (j == kGrid - 1 && y < iy1) iy1 = y;
        }
    }
    inner = Rect{ix0, iy0, ix1 - ix0, iy1 - iy0};
    outer = Rect{ox0, oy0, ox1 - ox0, oy1 - oy0};
}

void new_camera_matrix(const vz_lens_param_t &lens, double n[9]) {
    double k[9];
    camera_matrix(lens, k);
    Rect inner, outer;
    rectangles(k, lens.dist_coeff, nullptr, lens.width, lens.height, inner, outer);
    mat3_set(k, n);
    const double fx = double(float(lens.width - 1)) / double(outer.w);
    const double fy = double(float(lens.height - 1)) / double(outer.h);
    n[0] = fx;
    n[4] = fy;
    n[2] = -fx * double(outer.x);
    n[5] = -fy * double(outer.y);
}

}  // namespace vz::lens

namespace {

// Largest map the build accepts: its arrays stay well inside int32 indices.
constexpr int64_t kMaxMapPixels = int64_t(1) << 26;

// Rounds a rectangle coordinate to whole pixels: value + 0.5 truncated.
int32_t round_roi(float v) { return int32_t(double(v) + 0.5); }

// The nearest-neighbour gather of the reference form.
template <bool kPow2>
void gather(const vz_calib_map_t &map, float *dst, const float *src, int src_w, int src_h, int sx,
            int sy, float invalid) {
    vz::lens::for_each_nearest<kPow2>(map, src_w, src_h, sx, sy, [&](size_t pos, ptrdiff_t i) {
        dst[pos] = i >= 0 ? src[i] : invalid;
    });
}

}  // namespace

void vz::lens::undistort_reference(const vz_calib_map_t &map, float *dst, const float *src,
                                   int src_w, int src_h, float invalid) {
    const int sx = map.width / src_w, sy = map.height / src_h;
    // Power-of-two scales (the usual 1 and 2) divide exactly as a product with
    // the reciprocal; other scales divide.
    if ((sx & (sx - 1)) == 0 && (sy & (sy - 1)) == 0)
        gather<true>(map, dst, src, src_w, src_h, sx, sy, invalid);
    else
        gather<false>(map, dst, src, src_w, src_h, sx, sy, invalid);
}

extern "C" {

static int vz_calib_len_init_map_body(vz_calib_map_t *map, const vz_lens_param_t *lens) {
    if (!map || !lens) return 0;
    const int w = lens->width, h = lens->height;
    if (w <= 0 || h <= 0 || int64_t(w) * h > kMaxMapPixels) {
        vz_err("[%s] Wrong parameter: lens size %dx%d\n", "vz_calib_len_init_map", w, h);
        return 0;
    }
    const size_t count = size_t(w) * size_t(h);
    auto *mx = static_cast<float *>(malloc(count * sizeof(float)));
    auto *my = static_cast<float *>(malloc(count * sizeof(float)));
    if (!mx || !my) {
        free(mx);
        free(my);
        return 0;
    }

    double k[9], n[9], iv[9];
    vz::lens::camera_matrix(*lens, k);
    vz::lens::new_camera_matrix(*lens, n);
    vz::lens::Rect inner, outer;
    vz::lens::rectangles(k, lens->dist_coeff, n, w, h, inner, outer);
    if (!mat3_inverse(n, iv)) {  // only for a degenerate lens record
        free(mx);
        free(my);
        vz_err("[%s] Wrong parameter: lens cannot be inverted\n", "vz_calib_len_init_map");
        return 0;
    }

    const double fx = lens->fx, fy = lens->fy, cx = lens->cx, cy = lens->cy;
    const double k1 = lens->dist_coeff[0], k2 = lens->dist_coeff[1];
    const double p1 = lens->dist_coeff[2], p2 = lens->dist_coeff[3];
    const double k3 = lens->dist_coeff[4];
    for (int r = 0; r < h; ++r) {
        double a = iv[1] * r + iv[2], b = iv[4] * r + iv[5], t = iv[7] * r + iv[8];
        float *ox = mx + size_t(r) * size_t(w);
        float *oy = my + size_t(r) * size_t(w);
        for (int s = 0; s < w; ++s) {
            const double it = 1 / t;
            const double x = a * it, y = b * it;
            const double x2 = x * x, y2 = y * y, r2 = x2 + y2, xy2 = 2 * x * y;
            const double kr = 1 + k1 * r2 + k2 * r2 * r2 + k3 * r2 * r2 * r2;
            const double xd = x * kr + p1 * xy2 + p2 * (r2 + 2 * x2);
            const double yd = y * kr + p1 * (r2 + 2 * y2) + p2 * xy2;
            ox[s] = float(cx + fx * xd);
            oy[s] = float(cy + fy * yd);
            a += iv[0];
            b += iv[3];
            t += iv[6];
        }
    }

    map->map_x = mx;
    map->map_y = my;
    map->count = int32_t(count);
    map->width = w;
    map->height = h;
    map->valid_roi[0] = round_roi(inner.x);
    map->valid_roi[1] = round_roi(inner.y);
    map->valid_roi[2] = round_roi(inner.w);
    map->valid_roi[3] = round_roi(inner.h);
    map->ready = true;
    vz::lens::track_map(*map);
    return int(count);
}

VZ_API int vz_calib_len_init_map(vz_calib_map_t *map, const vz_lens_param_t *lens) noexcept {
    return vz::entry("vz_calib_len_init_map", 0,
                     [&] { return vz_calib_len_init_map_body(map, lens); });
}

static void vz_calib_len_uninit_map_body(vz_calib_map_t *map) {
    if (!map || !map->ready) return;
    vz::lens::forget_map(*map);
    free(map->map_x);
    free(map->map_y);
    map->ready = false;
}

VZ_API void vz_calib_len_uninit_map(vz_calib_map_t *map) noexcept {
    vz::entry_void("vz_calib_len_uninit_map", [&] { vz_calib_len_uninit_map_body(map); });
}

static int vz_calib_len_undistort_body(const vz_calib_map_t *map, float *dst, int dst_len,
                                       const float *src, int src_w, int src_h, float invalid) {
    if (!map || !map->ready || !map->map_x || !map->map_y) {
        vz_err("[%s] Wrong parameter: calib_map not ready\n", "vz_calib_len_undistort");
        return 0;
    }
    if (!dst || !src) {
        vz_err("[%s] Wrong parameter: no image buffer\n", "vz_calib_len_undistort");
        return 0;
    }
    const int mw = map->width, mh = map->height;
    if (src_w <= 0 || src_h <= 0 || mw <= 0 || mh <= 0 || int64_t(mw) * mh > map->count) {
        vz_err("[%s] Wrong parameter: calib_map: %dx%d, src_img: %dx%d\n", "vz_calib_len_undistort",
               mw, mh, src_w, src_h);
        return 0;
    }
    if (mw % src_w != 0 || mh % src_h != 0) {
        vz_err("[%s] Wrong parameter: calib_map: %dx%d, src_img: %dx%d\n", "vz_calib_len_undistort",
               mw, mh, src_w, src_h);
        return 0;
    }
    if (int64_t(dst_len) < int64_t(src_w) * src_h) {
        vz_err("[%s] Wrong parameter: %dx%d > dst_len=%d\n", "vz_calib_len_undistort", src_w, src_h,
               dst_len);
        return 0;
    }
    vz::lens::undistort(*map, dst, src, src_w, src_h, invalid);
    return 1;
}

VZ_API int vz_calib_len_undistort(const vz_calib_map_t *map, float *dst, int dst_len,
                                  const float *src, int src_w, int src_h, float invalid) noexcept {
    return vz::entry("vz_calib_len_undistort", 0, [&] {
        return vz_calib_len_undistort_body(map, dst, dst_len, src, src_w, src_h, invalid);
    });
}

}  // extern "C"
