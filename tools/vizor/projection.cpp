// Points and z-depth of the tool's outputs: exact 3D through the per-pixel
// rays of the camera's lens by default, or the library's compatible
// projection when asked for.
#include <cstring>

#include "app.h"
#include "vizor/drv.h"
#include "vizor/lens.h"
#include "vizor/vizor.h"

namespace vztool {

const std::vector<float> &cloud_distances(const std::vector<float> &dist, int w, int h, float t,
                                          std::vector<float> &scratch) {
    if (t <= 0.0f) return dist;
    scratch = dist;
    // Images the filter does not serve (below 3 x 3, wider than 2048) stay whole.
    vizor_frame_remove_flying_pixels(scratch.data(), int(scratch.size()), w, h, t);
    return scratch;
}

float flying_threshold(const std::vector<std::string> &choices) {
    float t = kFlyingDefault;
    for (const std::string &c : choices)
        if (const auto v = parse_flying_choice(c)) t = *v;
    return t;
}

namespace {

bool has_driver_lens(vizor_dev_t *dev) {
    const vizor_drv_t *drv = dev ? vizor_dev_get_drv(dev) : nullptr;
    return drv && drv->ops && drv->ops->lens_param_get;
}

// A pinhole lens record for the camera the tool assumes or was given.
vz_lens_param_t pinhole(const Intrinsics &k, int w, int h) {
    vz_lens_param_t l;
    std::memset(&l, 0, sizeof l);
    l.cx = k.cx;
    l.cy = k.cy;
    l.fx = k.fx;
    l.fy = k.fy;
    l.width = w;
    l.height = h;
    return l;
}

}  // namespace

int project_points(vizor_dev_t *dev, const OutputOpts &o, float *pcl, int len, const float *dist,
                   int w, int h) {
    const bool driver = has_driver_lens(dev) && !o.intrinsics;
    const Intrinsics k = o.intrinsics.value_or(default_intrinsics(w, h));
    if (o.projection == Projection::compat) {
        if (driver) return vizor_frame_get_pcl(dev, pcl, len, dist, w * h, w, h, nullptr);
        vizor_camera_param_t p{};
        p.cx = k.cx;
        p.cy = k.cy;
        p.fx = k.fx;
        p.fy = k.fy;
        p.dist_scale = 1.0f;
        return vizor_depth_to_pcl(pcl, len, dist, h, w, &p);
    }
    if (driver) return vizor_frame_get_points(dev, pcl, len, dist, w, h, VZ_POINTS_PACKED);
    const vz_lens_param_t l = pinhole(k, w, h);
    return vz_lens_points(&l, nullptr, pcl, len, dist, w, h, VZ_POINTS_PACKED);
}

int depth_mm(vizor_dev_t *dev, const OutputOpts &o, uint16_t *out, int len, const float *dist,
             int w, int h) {
    if (has_driver_lens(dev) && !o.intrinsics)
        return vizor_frame_get_depth_mm(dev, out, len, dist, w, h);
    const vz_lens_param_t l = pinhole(o.intrinsics.value_or(default_intrinsics(w, h)), w, h);
    return vz_lens_depth_mm(&l, nullptr, out, len, dist, w, h);
}

}  // namespace vztool
