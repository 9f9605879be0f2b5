// Lens model internals shared by the undistortion maps and their tests.
#pragma once

#include "vizor/lens.h"

namespace vz::lens {

// Rectangle in single precision: x, y of the top-left corner, width, height.
struct Rect {
    float x, y, w, h;
};

// Camera matrix of a lens record, read as element 3 * row + column.
void camera_matrix(const vz_lens_param_t &lens, double k[9]);

// Undistorts the pixel position (px, py) of camera k with the distortion
// coefficients coeff (5 iterations) and projects the normalised result with
// the matrix r (3 * row + column), or leaves it normalised when r is null.
void undistort_point(const double k[9], const double coeff[5], const double *r, float px, float py,
                     float &ox, float &oy);

// Inner and outer rectangles of the undistorted w x h image, sampled on a
// 9 x 9 grid, in the coordinates of the new camera n (normalised when null).
void rectangles(const double k[9], const double coeff[5], const double *n, int w, int h,
                Rect &inner, Rect &outer);

// The output camera in which the whole undistorted source of lens fits.
void new_camera_matrix(const vz_lens_param_t &lens, double n[9]);

// The nearest-neighbour gather of a frame straight from the float maps, one
// division pair and two range checks per pixel: the reference of the indexed
// gather. The map's size must be the source size times whole numbers.
void undistort_reference(const vz_calib_map_t &map, float *dst, const float *src, int src_w,
                         int src_h, float invalid);

}  // namespace vz::lens
