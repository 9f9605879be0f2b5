// Lens model internals shared by the undistortion maps and their tests.
#pragma once

#include <cstddef>

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

// The nearest-neighbour rule of undistortion: for every pixel of a
// src_w x src_h image sampled from map at scale (sx, sy), emit(pos, index)
// gets the output position and the source index, or -1 where the map points
// outside. The index is (map / scale + 0.5) truncated toward zero; it lies in
// 0 .. size - 1 exactly when the untruncated value lies in (-1, size), and
// comparing before truncating also sends NaN to invalid. With kPow2 the
// scales are powers of two, whose reciprocals are exact, so multiplying gives
// the quotient bit for bit.
template <bool kPow2, class Emit>
void for_each_nearest(const vz_calib_map_t &map, int src_w, int src_h, int sx, int sy,
                      Emit &&emit) {
    const float fsx = float(sx), fsy = float(sy);
    const float rsx = 1.0f / fsx, rsy = 1.0f / fsy;
    const double lim_x = src_w, lim_y = src_h;
    const size_t mw = size_t(map.width);
    for (int r = 0; r < src_h; ++r) {
        const size_t row = size_t(r) * size_t(sy) * mw;
        const float *mx = map.map_x + row;
        const float *my = map.map_y + row;
        const size_t out = size_t(r) * size_t(src_w);
        for (int c = 0; c < src_w; ++c) {
            const size_t m = size_t(c) * size_t(sx);
            const float qx = kPow2 ? mx[m] * rsx : mx[m] / fsx;
            const float qy = kPow2 ? my[m] * rsy : my[m] / fsy;
            const double ux = double(qx) + 0.5, uy = double(qy) + 0.5;
            const bool in = ux > -1.0 && ux < lim_x && uy > -1.0 && uy < lim_y;
            emit(out + size_t(c), in ? ptrdiff_t(int(uy)) * src_w + int(ux) : ptrdiff_t(-1));
        }
    }
}

}  // namespace vz::lens
