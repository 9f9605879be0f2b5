// Frame conversion on caller buffers: point clouds from distance images and
// colouring of distance images with the library colour map.
#include "core/convert.h"

#include <atomic>
#include <cmath>
#include <cstdint>

#include "base/firewall.h"
#include "core/device.h"
#include "core/globals.h"
#include "imgproc/cmap_metres.h"
#include "vizor/vizor.h"

namespace vz {

namespace {

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
    return vz::entry(__func__, 0, [&] {
        if (!vz::all_set(param, pcl, dist) || rows <= 0 || cols <= 0) return 0;
        const vz::PclCamera cam{param->cx, param->cy, param->fx, param->fy, 1.0f};
        return vz::project_points(cam, pcl, pcl_len, dist, cols, rows, vz::PclExtra::None);
    });
}

VZ_API int vizor_cmap_float(uint8_t *dst, int dst_len, const float *src, int src_len, int outfmt,
                            float range_min, float range_max) noexcept {
    return vz::entry(__func__, 0, [&] {
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
        vz::cmap::colour_metres(vz::cpu::level(), cmap, src, n, dst, vz::cmap::Layout(outfmt));
        return n;
    });
}

}  // extern "C"
