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

VZ_EXTERN_C_END

#endif /**< VIZOR_LENS_H */
