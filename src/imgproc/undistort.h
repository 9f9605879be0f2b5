// Undistortion per frame: an integer index map derived once per lookup map
// and source size, and a gather through it (vectorised, chosen at run time).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/cpu.h"
#include "vizor/lens.h"

namespace vz::lens {

// Maps whose arrays the library built: only their index maps are cached, and
// forgetting a map (at its release) drops them, so a later map at the same
// addresses never meets a stale index map.
void track_map(const vz_calib_map_t &map);
void forget_map(const vz_calib_map_t &map);

// Undistorts src (src_w x src_h, the map's size divided by whole numbers, as
// the caller has checked) into dst, invalid where the source lies outside.
// Gives exactly the values of undistort_reference.
void undistort(const vz_calib_map_t &map, float *dst, const float *src, int src_w, int src_h,
               float invalid);

// Per output pixel of an src_w x src_h image: the source index, or -1 where
// the output receives the invalid value.
void build_index_map(const vz_calib_map_t &map, int src_w, int src_h, int32_t *idx);

// dst[i] = idx[i] < 0 ? invalid : src[idx[i]] for i < n, at the given level.
void gather_indexed(cpu::Level level, const int32_t *idx, size_t n, const float *src, float invalid,
                    float *dst);

// The compact form: delta[i] = idx[i] - i, kNoDelta for a negative index.
// False when some offset does not fit (delta is then partly written).
inline constexpr int16_t kNoDelta = INT16_MIN;
bool to_deltas(const int32_t *idx, size_t n, int16_t *delta);

// dst[i] = delta[i] == kNoDelta ? invalid : src[i + delta[i]] for i < n.
void gather_deltas(cpu::Level level, const int16_t *delta, size_t n, const float *src,
                   float invalid, float *dst);

}  // namespace vz::lens
