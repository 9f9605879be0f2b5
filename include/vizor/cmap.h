/** \file
 * Colour map: turns integer values (millimetres in practice) into display
 * colours. The palette runs from dark blue (far, top of the range) through
 * blue, cyan, yellow and orange to dark red (near, bottom of the range).
 *
 * Colour word: bits 0-7 red, 8-15 green, 16-23 blue, 24-31 zero.
 * Reserved codes: 65300 is black in colour lookups; 65400 (0x8000FF) and
 * 65500 (0xFF0EA9) keep their fixed colours in colour and gray lookups.
 *
 * Threads: lookups only read the map; vz_cmap_set_range writes it without a
 * lock, so a concurrent lookup may see the old or the new range. A map is
 * initialised and released by its owner while no lookup runs on it.
 */
#ifndef VIZOR_CMAP_H
#define VIZOR_CMAP_H

#include <stdint.h>
#include "vizor/export.h"

VZ_EXTERN_C_BEGIN

/** A colour map: a palette and the value range it is spread over. The record
 * is the caller's; the palette belongs to the map from vz_cmap_init to
 * vz_cmap_uninit. */
typedef struct vz_cmap {
    int32_t size;      /**< palette entries */
    int32_t range_min; /**< lower bound of the value range, inclusive */
    int32_t range_max; /**< upper bound of the value range, inclusive */
    float scale;       /**< palette entries per value unit */
    float gray_scale;  /**< gray levels per value unit */
    uint32_t *palette; /**< size colour words, owned by the map */
} vz_cmap_t;

/** Initialises map with a palette of size entries (none when size <= 0) and
 * the range 0..256 with both scales 0. Any earlier palette is not released.
 * Returns: nothing; a failed palette allocation leaves palette NULL and size
 *          0, and lookups on such a map answer black. map NULL is ignored.
 * Buffers: the record is the caller's; the palette (size words) is allocated
 *          and owned by the map until vz_cmap_uninit.
 * Thread:  the map's owner, while no lookup runs on it. */
VZ_API void vz_cmap_init(vz_cmap_t *map, int32_t size) VZ_NOEXCEPT;

/** Releases the palette; the map may be initialised again.
 * Returns: nothing; NULL is ignored.
 * Buffers: the palette is freed and palette set to NULL, size to 0.
 * Thread:  the map's owner, while no lookup runs on it. */
VZ_API void vz_cmap_uninit(vz_cmap_t *map) VZ_NOEXCEPT;

/** Sets the range from two bounds in either order. Equal bounds keep the
 * previous range and set scale to the palette size and gray_scale to 255.
 * Returns: nothing; NULL is ignored.
 * Buffers: the range and scale fields of map are written.
 * Thread:  any; lookups running meanwhile may see the old or the new range. */
VZ_API void vz_cmap_set_range(vz_cmap_t *map, int32_t a, int32_t b) VZ_NOEXCEPT;

/** Colour of value v: reserved colours first, black outside the range, else
 * the palette entry (range_min gets the last entry, range_max the first).
 * Returns: the colour word; black (0) also for map NULL or a map without
 *          palette (the reserved codes keep their colours).
 * Buffers: map is only read.
 * Thread:  any. */
VZ_API uint32_t vz_cmap_get_color(const vz_cmap_t *map, int32_t v) VZ_NOEXCEPT;

/** Gray of value v: 65400 and 65500 keep their colours, white above the range,
 * black below, else the gray level repeated in all three channels.
 * Returns: the colour word; black (0) for map NULL (the reserved codes keep
 *          their colours).
 * Buffers: map is only read.
 * Thread:  any. */
VZ_API uint32_t vz_cmap_get_gray(const vz_cmap_t *map, int32_t v) VZ_NOEXCEPT;

VZ_EXTERN_C_END

#endif /* VIZOR_CMAP_H */
