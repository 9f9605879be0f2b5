// Colouring of whole metre images with a colour map: the lookup of
// vz_cmap_get_color as an inline function for loops, and the bulk colouring
// behind the frame conversion, vectorised where the processor allows.
#pragma once

#include <cstdint>

#include "base/cpu.h"
#include "vizor/cmap.h"

namespace vz::cmap {

inline constexpr int32_t kCodeLowAmp = 65300;
inline constexpr int32_t kCodeSaturated = 65400;
inline constexpr int32_t kCodeAdcOverflow = 65500;
inline constexpr uint32_t kColorSaturated = 0x8000FF;
inline constexpr uint32_t kColorAdcOverflow = 0xFF0EA9;

// vz_cmap_get_color for a map that is present.
inline uint32_t color(const vz_cmap_t &map, int32_t v) {
    if (v == kCodeLowAmp) return 0;
    if (v == kCodeSaturated) return kColorSaturated;
    if (v == kCodeAdcOverflow) return kColorAdcOverflow;
    if (!map.palette || v < map.range_min || v > map.range_max) return 0;
    const int64_t k = map.size - int64_t(double(float(int64_t(v) - map.range_min)) * map.scale);
    if (k <= 0) return map.palette[0];
    if (k >= map.size) return map.palette[map.size - 1];
    return map.palette[k];
}

// Metres to integer millimetres, truncated toward zero; NaN and values
// outside the int32 range give INT32_MIN (as the conversion instruction does).
inline int32_t millimetres(float metres) {
    const float v = metres * 1000;
    return v >= -2147483648.0f && v < 2147483648.0f ? int32_t(v) : INT32_MIN;
}

// Byte layouts of a coloured pixel (the VIZOR_CMAP_FMT_* codes).
enum class Layout : int { rgb = 0, rgb32 = 1, bgr = 2 };

// Colours n metre values into dst (3 or 4 bytes each, by layout) with the
// colour of their millimetres, at the given level.
void colour_metres(cpu::Level level, const vz_cmap_t &map, const float *src, int n, uint8_t *dst,
                   Layout layout);

// The straightforward loop over vz_cmap_get_color: the reference of the above.
void colour_metres_reference(const vz_cmap_t &map, const float *src, int n, uint8_t *dst,
                             Layout layout);

}  // namespace vz::cmap
