// Exact 3D on a device: points and depth through the ray table of the lens
// its driver reports, kept per image size in the device's state until close.
#include <cstdint>
#include <memory>

#include "base/firewall.h"
#include "core/convert.h"
#include "core/device.h"
#include "imgproc/rays.h"
#include "vizor/vizor.h"

namespace vz {

namespace {

// Runs conv(table) with the device marked busy, after the checks every
// device form shares; 0 when one fails.
template <class Conv>
int with_device_rays(const char *caller, vizor_dev_t *dev, const float *dist, const void *out,
                     int img_w, int img_h, Conv &&conv) {
    if (!dev) return 0;
    DevMark busy(dev);  // before anything of the record is read
    if (img_w <= 0 || img_h <= 0 || !out || !dist) {
        vz_dbg("[%s] Wrong params\n", caller);
        return 0;
    }
    if (!busy.has_state()) return 0;
    vz_lens_param_t lens{};
    if (!lens_for_device(dev, &lens, img_w, img_h, caller)) return 0;
    rays::Window win{};
    if (!rays::usable(lens) || !rays::whole_window(lens, img_w, img_h, win)) return 0;
    const auto table = dev->ll->rays.get(lens, win, img_w, img_h);
    return table ? conv(*table) : 0;
}

}  // namespace

}  // namespace vz

extern "C" {

VZ_API int vizor_frame_get_points(vizor_dev_t *dev, float *xyz, int xyz_len, const float *dist,
                                  int img_w, int img_h, int flags) noexcept {
    const char *const fn = __func__;
    return vz::entry(fn, 0, [&] {
        return vz::with_device_rays(fn, dev, dist, xyz, img_w, img_h, [&](const auto &t) {
            return vz::rays::to_points(t, xyz, xyz_len, dist, flags);
        });
    });
}

VZ_API int vizor_frame_get_depth(vizor_dev_t *dev, float *depth, int depth_len, const float *dist,
                                 int img_w, int img_h) noexcept {
    const char *const fn = __func__;
    return vz::entry(fn, 0, [&] {
        return vz::with_device_rays(fn, dev, dist, depth, img_w, img_h, [&](const auto &t) {
            return vz::rays::to_depth(t, depth, depth_len, dist);
        });
    });
}

VZ_API int vizor_frame_get_depth_mm(vizor_dev_t *dev, uint16_t *depth, int depth_len,
                                    const float *dist, int img_w, int img_h) noexcept {
    const char *const fn = __func__;
    return vz::entry(fn, 0, [&] {
        return vz::with_device_rays(fn, dev, dist, depth, img_w, img_h, [&](const auto &t) {
            return vz::rays::to_depth_mm(t, depth, depth_len, dist);
        });
    });
}

}  // extern "C"
