// Frame conversion on caller buffers: point clouds from distance images and
// colouring of distance images with the library colour map.
#include "core/convert.h"

#include <atomic>
#include <cmath>
#include <cstdint>

#include "base/firewall.h"
#include "core/device.h"
#include "core/globals.h"
#include "vizor/vizor.h"

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

template <PclExtra kExtra, bool kCached>
int project(const PclCamera &cam, float *pcl, int pcl_len, const float *dist, int img_w,
            int img_h, const Column *cols) {
    constexpr int64_t kStride = kExtra == PclExtra::None ? 3 : 4;
    const vz_cmap_t &cmap = library_cmap();
    const double fx = cam.fx, fy = cam.fy;
    const double fx2 = fx * fx, fy2 = fy * fy;
    const double z_offset = fx * kPlaneOffset;
    // The walk stops before the pixel at which stride * n + stride - 1 >=
    // pcl_len, that is once n reaches pcl_len / stride.
    const int64_t room = pcl_len > 0 ? pcl_len / kStride : 0;
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
            out += kStride;
            ++n;
        }
    }
    return int(n);
}

template <PclExtra kExtra>
int project(const PclCamera &cam, float *pcl, int pcl_len, const float *dist, int img_w,
            int img_h) {
    if (img_w > kColumnCache)
        return project<kExtra, false>(cam, pcl, pcl_len, dist, img_w, img_h, nullptr);
    Column cols[kColumnCache];
    const double fx2 = cam.fx * cam.fx;
    for (int x = 0; x < img_w; ++x) cols[x] = column(cam, fx2, x);
    return project<kExtra, true>(cam, pcl, pcl_len, dist, img_w, img_h, cols);
}

// The point-cloud calls on a device: parameters from param or the driver,
// then the projection with the device marked busy.
int device_pcl(const char *caller, vizor_dev_t *dev, float *pcl, int pcl_len, const float *dist,
               int img_w, int img_h, const vizor_camera_param_t *param, PclExtra extra) {
    if (!dev) return 0;
    // Marked before anything of the record is read, so a close waits for it.
    DevMark busy(dev);
    if (img_w <= 0 || img_h <= 0 || !pcl || !dist) {
        vz_dbg("[%s] Wrong params\n", caller);
        return 0;
    }
    PclCamera cam;
    if (param) {
        cam = PclCamera{param->cx, param->cy, param->fx, param->fy, param->dist_scale};
    } else {
        if (!busy.has_state()) return 0;
        vz_lens_param_t lens{};
        if (!lens_for_device(dev, &lens, img_w, img_h, caller)) return 0;
        cam = PclCamera{lens.cx, lens.cy, lens.fx, lens.fy, 1.0f};
    }
    return project_points(cam, pcl, pcl_len, dist, img_w, img_h, extra);
}

}  // namespace

int project_points(const PclCamera &cam, float *pcl, int pcl_len, const float *dist, int img_w,
                   int img_h, PclExtra extra) {
    switch (extra) {
    case PclExtra::None: return project<PclExtra::None>(cam, pcl, pcl_len, dist, img_w, img_h);
    case PclExtra::Distance:
        return project<PclExtra::Distance>(cam, pcl, pcl_len, dist, img_w, img_h);
    case PclExtra::Colour:
        return project<PclExtra::Colour>(cam, pcl, pcl_len, dist, img_w, img_h);
    }
    return 0;
}

}  // namespace vz

extern "C" {

VZ_API int vizor_frame_get_pcl(vizor_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                               int dist_len, int img_w, int img_h,
                               const vizor_camera_param_t *param) noexcept {
    const char *const fn = __func__;
    (void)dist_len;  // dist holds img_w * img_h values by contract
    return vz::entry(fn, 0, [&] {
        return vz::device_pcl(fn, dev, pcl, pcl_len, dist, img_w, img_h, param, vz::PclExtra::None);
    });
}

VZ_API int vizor_frame_get_pcl_xyzd(vizor_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                    int dist_len, int img_w, int img_h, bool pseudo_color,
                                    const vizor_camera_param_t *param) noexcept {
    const char *const fn = __func__;
    (void)dist_len;
    return vz::entry(fn, 0, [&] {
        return vz::device_pcl(fn, dev, pcl, pcl_len, dist, img_w, img_h, param,
                              pseudo_color ? vz::PclExtra::Colour : vz::PclExtra::Distance);
    });
}

VZ_API int vizor_depth_to_pcl(float *pcl, int pcl_len, const float *dist, int rows, int cols,
                              const vizor_camera_param_t *param) noexcept {
    if (!vz::all_set(param, pcl, dist) || rows <= 0 || cols <= 0) return 0;
    const vz::PclCamera cam{param->cx, param->cy, param->fx, param->fy, 1.0f};
    return vz::project_points(cam, pcl, pcl_len, dist, cols, rows, vz::PclExtra::None);
}

VZ_API int vizor_cmap_float(uint8_t *dst, int dst_len, const float *src, int src_len, int outfmt,
                            float range_min, float range_max) noexcept {
    if (!vz::all_set(dst, src)) return 0;
    vz_cmap_t &cmap = vz::library_cmap();
    vz_cmap_set_range(&cmap, vz::metres_to_mm(range_min), vz::metres_to_mm(range_max));
    int n;
    switch (outfmt) {
    case VIZOR_CMAP_FMT_RGB32: n = dst_len / 4; break;
    case VIZOR_CMAP_FMT_RGB:
    case VIZOR_CMAP_FMT_BGR: n = dst_len / 3; break;
    default: return 0;
    }
    if (src_len < n) n = src_len;
    if (n <= 0) return 0;
    for (int i = 0; i < n; ++i) {
        const uint32_t c = vz_cmap_get_color(&cmap, vz::metres_to_mm(src[i]));
        switch (outfmt) {
        case VIZOR_CMAP_FMT_RGB32:
            dst[0] = uint8_t(c);
            dst[1] = uint8_t(c >> 8);
            dst[2] = uint8_t(c >> 16);
            dst[3] = uint8_t(c >> 24);
            dst += 4;
            break;
        case VIZOR_CMAP_FMT_RGB:
            dst[0] = uint8_t(c);
            dst[1] = uint8_t(c >> 8);
            dst[2] = uint8_t(c >> 16);
            dst += 3;
            break;
        default:
            dst[0] = uint8_t(c >> 16);
            dst[1] = uint8_t(c >> 8);
            dst[2] = uint8_t(c);
            dst += 3;
            break;
        }
    }
    return n;
}

}  // extern "C"
