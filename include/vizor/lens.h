/** \file
 * Lens model and undistortion maps.
 *
 * A lens is described by its pinhole parameters (principal point, focal
 * lengths, in pixels of a reference image of width x height) and five
 * distortion coefficients k1, k2, p1, p2, k3. For normalised image
 * coordinates (x, y) with r2 = x^2 + y^2 the lens shows the point at
 *   kr = 1 + k1*r2 + k2*r2^2 + k3*r2^3
 *   xd = x*kr + 2*p1*x*y + p2*(r2 + 2*x^2)
 *   yd = y*kr + p1*(r2 + 2*y^2) + 2*p2*x*y
 *   u = cx + fx*xd,  v = cy + fy*yd.
 *
 * vz_calib_len_init_map builds, once, for every pixel of an undistorted
 * output image of the reference size, the position in the distorted source
 * that it shows. The output camera is chosen so that the whole source fits in
 * the output; valid_roi is the rectangle of output pixels that are backed by
 * source pixels everywhere. vz_calib_len_undistort then applies the map to an
 * image of the reference size or of an integer fraction of it.
 *
 * Threads: a map is built and released by its owner; once ready it is only
 * read, so several threads may undistort with one map at the same time.
 */
#ifndef VIZOR_LENS_H
#define VIZOR_LENS_H

#include <stdbool.h>
#include <stdint.h>
#include "vizor/export.h"

VZ_EXTERN_C_BEGIN

/** Lens parameters of a reference image of width x height pixels. */
typedef struct vz_lens_param {
    double cx;            /**< principal point x, pixels */
    double cy;            /**< principal point y, pixels */
    double fx;            /**< focal length x, pixels */
    double fy;            /**< focal length y, pixels */
    double dist_coeff[5]; /**< k1, k2, p1, p2, k3 */
    int32_t width;        /**< image width the parameters belong to */
    int32_t height;       /**< image height the parameters belong to */
} vz_lens_param_t;

/** Undistortion map. The record is owned (and zero-initialised) by its user;
 * the two arrays belong to the map between a successful build and release. */
typedef struct vz_calib_map {
    float *map_x;         /**< per output pixel, row by row: source x */
    float *map_y;         /**< per output pixel: source y */
    int32_t count;        /**< width * height */
    int32_t width;        /**< map width (the lens parameters' width) */
    int32_t height;       /**< map height */
    int32_t valid_roi[4]; /**< x, y, w, h of the fully valid output rectangle */
    bool ready;           /**< true between a successful build and release */
} vz_calib_map_t;

/**
 * Builds the maps of map for lens (at lens->width x lens->height), fills
 * count, width, height and valid_roi and sets ready.
 * A ready map must be released before it is built again: the build does not
 * release earlier arrays.
 * Returns: count; 0 when map or lens is NULL, the size is not positive or
 *          above 2^26 pixels, the lens cannot be inverted, or memory runs
 *          out (the map then does not become ready and holds no arrays).
 * Buffers: lens is read during the call; the record is the caller's, the two
 *          arrays of count floats are allocated and owned by the map until
 *          vz_calib_len_uninit_map.
 * Thread:  the map's owner, while no other call uses the map.
 */
VZ_API int vz_calib_len_init_map(vz_calib_map_t *map, const vz_lens_param_t *lens) VZ_NOEXCEPT;

/** Releases the arrays of a ready map and clears ready; the array fields keep
 * their (stale) values.
 * Returns: nothing; a map that is not ready (or NULL) is left alone.
 * Buffers: frees the map's arrays and what undistortion cached for the map.
 * Thread:  the map's owner, once no undistortion with the map is running. */
VZ_API void vz_calib_len_uninit_map(vz_calib_map_t *map) VZ_NOEXCEPT;

/**
 * Undistorts the src_w x src_h float image src into dst (src_w * src_h
 * floats, row by row) by nearest-neighbour lookup through the map. The map
 * size must be an integer multiple of the source size in each direction; the
 * map is sampled every (width / src_w) columns and (height / src_h) rows.
 * Output pixels whose source lies outside the image receive invalid.
 * Returns: 1 on success; 0 (dst untouched, an ERR line logged) when map, dst
 *          or src is NULL, the map is not ready, a source size is not
 *          positive, the map size is not a multiple of the source size, or
 *          dst_len < src_w * src_h.
 * Buffers: src_w * src_h floats of src are read and as many of dst written
 *          (the caller's; they must not overlap). The first call for a map
 *          and source size builds an index table that the map keeps until
 *          vz_calib_len_uninit_map (up to four sizes per map); later calls
 *          allocate nothing. When that table cannot be allocated the image
 *          is undistorted directly, with the same result.
 * Thread:  any, also several at once, while the map stays ready.
 */
VZ_API int vz_calib_len_undistort(const vz_calib_map_t *map, float *dst, int dst_len,
                                  const float *src, int src_w, int src_h,
                                  float invalid) VZ_NOEXCEPT;

/* ---- exact 3D: per-pixel rays ------------------------------------------- */

/** Where an image's pixels sit in the image a lens record describes: pixel
 * (c, r) of the image is the lens image's position (x0 + c * step_x,
 * y0 + r * step_y). A binned readout has a step of 2; a region of interest
 * starts at its first pixel; a half-pixel origin puts a binned pixel at the
 * centre of the pixels it sums. */
typedef struct vz_lens_window {
    double x0;     /**< lens-image x of image pixel (0, 0), pixels */
    double y0;     /**< lens-image y of image pixel (0, 0), pixels */
    double step_x; /**< lens-image pixels per image column, > 0 */
    double step_y; /**< lens-image pixels per image row, > 0 */
} vz_lens_window_t;

/** Points flag: one point per pixel, row by row (img_h x img_w x 3 floats),
 * NaN x, y and z for an invalid pixel. */
#define VZ_POINTS_ORGANISED 0
/** Points flag: the valid pixels' points only, densely, in pixel order. */
#define VZ_POINTS_PACKED 1

/**
 * The unit ray of every pixel of an img_w x img_h image seen through lens:
 * the direction (x right, y down, z ahead along the optical axis) whose image
 * the lens's distortion model puts on the pixel. The distortion is inverted
 * numerically to within 1e-6 px. A time-of-flight pixel measures the distance
 * along this ray, so its point is distance x ray and its depth along the
 * optical axis distance x z.
 * win places the image in the lens's image; NULL means the lens's image
 * divided by whole numbers (img_w must divide lens->width and img_h
 * lens->height; pixel (c, r) sits at (c * width / img_w, r * height / img_h),
 * as a driver's lens record for a smaller image scales it).
 * Returns: img_w * img_h (pixels written); 0 when lens or rays is NULL, a
 *          size is not positive, rays_len < 3 * img_w * img_h, the lens has a
 *          non-finite number or a zero focal length, win has a non-finite
 *          origin or a step that is not positive, or (win NULL) the sizes do
 *          not divide. A pixel whose ray cannot be found (far outside what the
 *          lens images) gets NaN.
 * Buffers: 3 * img_w * img_h floats of rays are written (x, y, z per pixel,
 *          row by row); lens and win are read during the call. The rays are
 *          computed afresh on every call: use the points and depth calls for
 *          frames, which keep the table.
 * Thread:  any.
 */
VZ_API int vz_lens_rays(const vz_lens_param_t *lens, const vz_lens_window_t *win, int img_w,
                        int img_h, float *rays, int rays_len) VZ_NOEXCEPT;

/**
 * Exact 3D points of an img_w x img_h distance image (metres along each
 * pixel's ray, row by row) seen through lens: point = distance x the pixel's
 * unit ray (see vz_lens_rays for lens and win). A pixel is valid when
 * 0 < distance < 60 m (NaN, zero, negative values and the EPC markers 65.3,
 * 65.4 and 65.5 m are not).
 * flags VZ_POINTS_ORGANISED: one point per pixel, NaN for an invalid pixel;
 * VZ_POINTS_PACKED: the valid points only, as many as fit in xyz_len.
 * Returns: organised, img_w * img_h (or 0 when xyz_len < 3 * img_w * img_h);
 *          packed, the points written. 0 on the argument failures of
 *          vz_lens_rays (dist or xyz NULL included) and for another flags
 *          value.
 * Buffers: img_w * img_h floats of dist are read; at most xyz_len floats of
 *          xyz are written. The first call for a lens, window and size
 *          computes its ray table and keeps it in the library (a few at a
 *          time, the oldest is dropped); later calls allocate nothing.
 * Thread:  any, also several at once.
 */
VZ_API int vz_lens_points(const vz_lens_param_t *lens, const vz_lens_window_t *win, float *xyz,
                          int xyz_len, const float *dist, int img_w, int img_h,
                          int flags) VZ_NOEXCEPT;

/**
 * Depth along the optical axis (z, metres) of an img_w x img_h distance image
 * seen through lens: distance x the z of the pixel's unit ray, NaN for an
 * invalid pixel (see vz_lens_points).
 * Returns: img_w * img_h; 0 on the failures of vz_lens_points or when
 *          depth_len < img_w * img_h.
 * Buffers: img_w * img_h floats of dist read and of depth written; the ray
 *          table is kept as for vz_lens_points.
 * Thread:  any, also several at once.
 */
VZ_API int vz_lens_depth(const vz_lens_param_t *lens, const vz_lens_window_t *win, float *depth,
                         int depth_len, const float *dist, int img_w, int img_h) VZ_NOEXCEPT;

/**
 * As vz_lens_depth in 16-bit millimetres, the form RGB-D tools read: depth x
 * 1000 truncated toward zero; 0 for an invalid pixel (and for a depth below
 * 1 mm).
 * Returns: img_w * img_h; 0 on the failures of vz_lens_depth.
 * Buffers: img_w * img_h floats of dist read and values of depth written.
 * Thread:  any, also several at once.
 */
VZ_API int vz_lens_depth_mm(const vz_lens_param_t *lens, const vz_lens_window_t *win,
                            uint16_t *depth, int depth_len, const float *dist, int img_w,
                            int img_h) VZ_NOEXCEPT;

VZ_EXTERN_C_END

#endif /**< VIZOR_LENS_H */
