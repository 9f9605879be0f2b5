// Frame conversion internals: the point projection shared by the point-cloud
// calls, the driver lens hook, and float-to-integer truncations that stay
// defined for every input.
#pragma once

#include <cstdint>

#include "vizor/lens.h"
#include "vizor/vizor.h"

namespace vz {

// Lens parameters of the device's driver for an img_w x img_h image. Logs
// (under the name caller) and returns false when the driver has none.
// The device record is not null and has its ll.
bool lens_for_device(vizor_dev_t *dev, vz_lens_param_t *lens, int img_w, int img_h,
                     const char *caller);

// Truncation toward zero as the platform's conversion instructions do it:
// NaN and values outside the target range give the lowest target value.
inline int32_t trunc_i32(float v) {
    return v >= -2147483648.0f && v < 2147483648.0f ? int32_t(v) : INT32_MIN;
}
inline int64_t trunc_i64(float v) {
    return v >= -9223372036854775808.0f && v < 9223372036854775808.0f ? int64_t(v) : INT64_MIN;
}

// Metres to the colour map's integer millimetres, truncated toward zero.
inline int32_t metres_to_mm(float v) { return trunc_i32(v * 1000); }

// What the point projection writes after x, y and z.
enum class PclExtra {
    None,      // three floats per point
    Distance,  // fourth float: the scaled distance
    Colour,    // fourth float: the library colour of the scaled distance
};

// Pinhole parameters of a projection: principal point and focal lengths in
// pixels, and the multiplier applied to every distance first.
struct PclCamera {
    double cx, cy, fx, fy;
    float scale;
};

// Projects the distances (metres, img_w x img_h, row by row) with
// 0 < d < 60 into pcl, densely, stopping when the next point would not fit
// in pcl_len floats. Returns the number of points written. Sizes must be
// positive and the buffers present; allocates nothing.
int project_points(const PclCamera &cam, float *pcl, int pcl_len, const float *dist, int img_w,
                   int img_h, PclExtra extra);

// The same projection as the straightforward scalar loop: the reference that
// project_points (vectorised where the processor allows) equals bit for bit.
int project_points_reference(const PclCamera &cam, float *pcl, int pcl_len, const float *dist,
                             int img_w, int img_h, PclExtra extra);

}  // namespace vz
