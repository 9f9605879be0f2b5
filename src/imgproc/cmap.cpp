// Colour map: a palette from dark blue to dark red stretched over a value
// range, reserved colours for the three invalid-pixel codes, and a gray ramp.
#include <stdlib.h>

#include <cstdint>

#include "base/firewall.h"
#include "vizor/cmap.h"

namespace {

constexpr int32_t kCodeLowAmp = 65300;
constexpr int32_t kCodeSaturated = 65400;
constexpr int32_t kCodeAdcOverflow = 65500;
constexpr uint32_t kColorSaturated = 0x8000FF;
constexpr uint32_t kColorAdcOverflow = 0xFF0EA9;

// A ramp value: computed in extended precision, rounded to single precision,
// truncated toward zero, low 8 bits kept.
uint32_t channel(long double v) { return uint32_t(int32_t(float(v))) & 0xFFu; }

uint32_t red(float x) {
    if (x >= 0.125f && x < 0.375f) return channel((x - 0.125L) * 255 * 4);
    if (x >= 0.375f && x < 0.625f) return 255;
    if (x >= 0.625f && x < 1.125f) return channel((x - 0.625L) * -255 * 2 + 255);
    return 0;
}

uint32_t green(float x) {
    if (x >= -0.125f && x < 0.125f) return channel((x + 0.125L) * 255 * 4);
    if (x >= 0.125f && x < 0.375f) return 255;
    if (x >= 0.375f && x < 0.75f) return channel((x - 0.375L) * -255 / 0.375L + 255);
    return 0;
}

uint32_t blue(float x) {
    if (x >= -0.375f && x < -0.125f) return channel((x + 0.375L) * 255 * 4);
    if (x >= -0.125f && x < 0.125f) return 255;
    if (x >= 0.125f && x < 0.375f) return channel((x - 0.125L) * -255 * 4 + 255);
    return 0;
}

}  // namespace

extern "C" {

static void vz_cmap_init_body(vz_cmap_t *map, int32_t size) {
    if (!map) return;
    map->size = 0;
    map->range_min = 0;
    map->range_max = 256;
    map->scale = 0;
    map->gray_scale = 0;
    map->palette = nullptr;
    if (size <= 0) return;
    map->palette = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * size_t(size)));
    if (!map->palette) return;  // a map without palette answers black
    map->size = size;
    for (int32_t i = 0; i < size; ++i) {
        const float x = float(float(i) / float(size)) - 0.25f;
        map->palette[i] = red(x) | green(x) << 8 | blue(x) << 16;
    }
}

VZ_API void vz_cmap_init(vz_cmap_t *map, int32_t size) noexcept {
    vz::entry_void("vz_cmap_init", [&] { vz_cmap_init_body(map, size); });
}

static void vz_cmap_uninit_body(vz_cmap_t *map) {
    if (!map) return;
    free(map->palette);
    map->palette = nullptr;
    map->size = 0;
}

VZ_API void vz_cmap_uninit(vz_cmap_t *map) noexcept {
    vz::entry_void("vz_cmap_uninit", [&] { vz_cmap_uninit_body(map); });
}

static void vz_cmap_set_range_body(vz_cmap_t *map, int32_t a, int32_t b) {
    if (!map) return;
    if (a == b) {
        map->scale = float(map->size);
        map->gray_scale = 255;
        return;
    }
    map->range_min = a < b ? a : b;
    map->range_max = a < b ? b : a;
    const int64_t span = int64_t(map->range_max) - map->range_min;
    map->scale = float(map->size) / float(span);
    map->gray_scale = float(255.0 / double(span));
}

VZ_API void vz_cmap_set_range(vz_cmap_t *map, int32_t a, int32_t b) noexcept {
    vz::entry_void("vz_cmap_set_range", [&] { vz_cmap_set_range_body(map, a, b); });
}

static uint32_t vz_cmap_get_color_body(const vz_cmap_t *map, int32_t v) {
    if (v == kCodeLowAmp) return 0;
    if (v == kCodeSaturated) return kColorSaturated;
    if (v == kCodeAdcOverflow) return kColorAdcOverflow;
    if (!map || !map->palette || v < map->range_min || v > map->range_max) return 0;
    // The product of two floats is exact in double, as the extended-precision
    // arithmetic this map was designed with computes it.
    const int64_t k = map->size - int64_t(double(float(int64_t(v) - map->range_min)) * map->scale);
    if (k <= 0) return map->palette[0];
    if (k >= map->size) return map->palette[map->size - 1];
    return map->palette[k];
}

VZ_API uint32_t vz_cmap_get_color(const vz_cmap_t *map, int32_t v) noexcept {
    return vz::entry("vz_cmap_get_color", uint32_t(0),
                     [&] { return vz_cmap_get_color_body(map, v); });
}

static uint32_t vz_cmap_get_gray_body(const vz_cmap_t *map, int32_t v) {
    if (v == kCodeSaturated) return kColorSaturated;
    if (v == kCodeAdcOverflow) return kColorAdcOverflow;
    if (!map) return 0;
    if (v > map->range_max) return 0xFFFFFF;
    if (v < map->range_min) return 0;
    const uint32_t g =
        uint32_t(int64_t(double(float(int64_t(v) - map->range_min)) * map->gray_scale));
    return (g & 0xFFu) * 0x010101u;
}

VZ_API uint32_t vz_cmap_get_gray(const vz_cmap_t *map, int32_t v) noexcept {
    return vz::entry("vz_cmap_get_gray", uint32_t(0),
                     [&] { return vz_cmap_get_gray_body(map, v); });
}

}  // extern "C"
