/*
 * The epc660/epc635 chip driver and its adapter. The driver hands every raw
 * DCS frame to the EPC processing library (vizor/epc660.h) and turns the
 * library's 16-bit distance and amplitude codes into floats (metres for
 * distances). The adapter binds that library, which serves a single chip, to
 * one device: the EPC default device.
 *
 * Threads: like every driver, the calls run on application threads and take
 * no locks; the EPC library serves one device and one thread at a time.
 */
#ifndef VIZOR_DRV_EPC_H
#define VIZOR_DRV_EPC_H

#include <stdbool.h>
#include <stdint.h>
#include "vizor/drv.h"
#include "vizor/export.h"
#include "vizor/vizor.h"

VZ_EXTERN_C_BEGIN

struct vz_stream_frame_hdr;
struct vz_lens_param;

/* Binds the driver to dev: private state, undistortion map, adapter. False
 * when the chip identity cannot be read (the driver then has no state). */
VZ_API bool epc_init(vizor_drv_t *drv, vizor_dev_t *dev);
/* Frame description from the stream header: geometry (320 x 240 when the
 * header has none), bytes per pixel; hands the header's temperatures to the
 * library. False (info zeroed) when the size is no multiple of the geometry,
 * except for calibration-data frames (format 171). */
VZ_API bool epc_frame_get_info(vizor_drv_t *drv, vizor_frame_info_t *info,
                               const struct vz_stream_frame_hdr *hdr);
/* Decodes a gray (format 0) or distance frame (format 2) into floats; returns
 * 4 x width x height, or -1 (see vizor/drv.h). */
VZ_API int epc_frame_decode(vizor_drv_t *drv, float *dst, uint32_t dst_len, int target,
                            const uint16_t *src, uint32_t src_len, const vizor_frame_info_t *info);
/* The built-in lens scaled to width x height, which must divide 640 x 480. */
VZ_API bool epc_lens_param_get(vizor_drv_t *drv, struct vz_lens_param *lens, int width, int height);

/* Makes dev the EPC default device and initialises the library for its chip.
 * NULL opens the first camera itself (standalone use of the library). */
VZ_API bool epc_adapter_init(vizor_dev_t *dev);
/* Closes the device the adapter opened itself; clears the default device. */
VZ_API void epc_adapter_uninit(void);
/* frame_valid of the default device's driver (1 when there is none). */
VZ_API void epc_adapater_set_frame_valid(uint8_t valid);
VZ_API uint8_t epc_adapater_get_frame_valid(void);

VZ_EXTERN_C_END

#endif /* VIZOR_DRV_EPC_H */
