// Frame conversion: colouring of float distance images with the library
// colour map.
#include <cstdint>

#include "core/globals.h"
#include "vizor/vizor.h"

namespace {

// Metres to the colour map's integer millimetres, truncated toward zero.
inline int32_t to_mm(float v) { return int32_t(v * 1000); }

}  // namespace

extern "C" {

VZ_API int vizor_cmap_float(uint8_t *dst, int dst_len, const float *src, int src_len, int outfmt,
                            float range_min, float range_max) {
    vz_cmap_t &cmap = vz::library_cmap();
    vz_cmap_set_range(&cmap, to_mm(range_min), to_mm(range_max));
    int n;
    switch (outfmt) {
    case VIZOR_CMAP_FMT_RGB32: n = dst_len / 4; break;
    case VIZOR_CMAP_FMT_RGB:
    case VIZOR_CMAP_FMT_BGR: n = dst_len / 3; break;
    default: return 0;
    }
    if (src_len < n) n = src_len;
    if (n <= 0 || !dst || !src) return n;
    for (int i = 0; i < n; ++i) {
        const uint32_t c = vz_cmap_get_color(&cmap, to_mm(src[i]));
        switch (outfmt) {
        case VIZOR_CMAP_FMT_RGB32:
            dst[0] = uint8_t(c);
            dst[1] = uint8_t(c >> 8);
            dst[2] = uint8_t(c >> 16);
            dst[3] = uint8_t(c >> 24);
            dst += 4;
            break;
        case VIZOR_CMAP_FMT_RGB:
            dst[0] = uint8_t(c);
            dst[1] = uint8_t(c >> 8);
            dst[2] = uint8_t(c >> 16);
            dst += 3;
            break;
        default:
            dst[0] = uint8_t(c >> 16);
            dst[1] = uint8_t(c >> 8);
            dst[2] = uint8_t(c);
            dst += 3;
            break;
        }
    }
    return n;
}

}  // extern "C"
