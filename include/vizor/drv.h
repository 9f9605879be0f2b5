/** \file
 * Chip drivers: everything that depends on the camera's sensor chip (frame
 * description and decode, lens parameters, calibration files, filters) is
 * reached through a driver record and its table of operations. The product
 * string of a camera (`<any>-<driver>-<any>`) names its driver: "T0" for the
 * OPT8241 driver, "E1" and "E2" for the epc660/epc635 driver.
 *
 * Threads: operations run on application threads inside the public calls that
 * use them, never on a device's event thread. Drivers take no locks.
 */
#ifndef VIZOR_DRV_H
#define VIZOR_DRV_H

#include <stdbool.h>
#include <stdint.h>
#include "vizor/export.h"
#include "vizor/vizor.h"

VZ_EXTERN_C_BEGIN

struct vz_stream_frame_hdr; /* raw frame description, vizor/stream.h */
struct vz_lens_param;       /* lens parameters, vizor/lens.h */

/** The thirteen operations of a driver; absent ones are NULL. Every operation
 * runs on the application thread of the public call that uses it; pointer
 * arguments are the caller's, used during the call only. */
typedef struct vizor_drv_ops {
    /** Binds the driver to an opened device. Returns false when it cannot. */
    bool (*init)(vizor_drv_t *drv, vizor_dev_t *dev);
    /** Releases what init created. */
    void (*uninit)(vizor_drv_t *drv);
    /** Fills info from the raw frame description. Returns false for a frame
     * the driver cannot describe. */
    bool (*frame_get_info)(vizor_drv_t *drv, vizor_frame_info_t *info,
                           const struct vz_stream_frame_hdr *hdr);
    /** Decodes raw frame data (16-bit words, src_len bytes) into at most dst_len
     * bytes of floats for target VIZOR_DECODE_DIST or VIZOR_DECODE_GRAY.
     * Returns bytes of the decoded image, negative on failure; a source too
     * short to fill the image is a failure (nothing is written). */
    int (*frame_decode)(vizor_drv_t *drv, float *dst, uint32_t dst_len, int target,
                        const uint16_t *src, uint32_t src_len, const vizor_frame_info_t *info);
    /** Fills lens parameters for an image of width x height; false when the
     * driver has none for that size. */
    bool (*lens_param_get)(vizor_drv_t *drv, struct vz_lens_param *lens, int width, int height);
    /** Reserved; not called by the library. */
    int (*reserved_6)(vizor_drv_t *drv);
    /** Fills the calibration file names of set index (0 or 1) into the name
     * buffers of names that are not NULL. */
    int (*calib_names_get)(vizor_drv_t *drv, vizor_calib_names_t *names, int index);
    /** Reserved; not called by the library. */
    int (*reserved_8)(vizor_drv_t *drv);
    /** Called after calibration data of the given kind was downloaded. */
    int (*calib_data_loaded)(vizor_drv_t *drv, int a, int b, int kind);
    /** Negative when the calibration files of the given kind are missing. */
    int (*calib_data_check)(vizor_drv_t *drv, int a, int b, int kind);
    /** Reserved; not called by the library. */
    int (*reserved_11)(vizor_drv_t *drv);
    /** Switches filter filter_id on; arg (arg_size bytes, may be NULL) is the
     * filter's argument as listed with vizor_filter_id_t. Returns the
     * driver's answer. */
    bool (*filter_enable)(vizor_drv_t *drv, int filter_id, void *arg, int arg_size);
    /** Switches filter filter_id off. Returns the driver's answer. */
    bool (*filter_disable)(vizor_drv_t *drv, int filter_id);
} vizor_drv_ops_t;

/** A driver record. Each opened device holds its own copy. */
struct vizor_drv {
    const char *desc;           /**< human-readable description */
    const char *name;           /**< driver name of the product string */
    const vizor_drv_ops_t *ops; /**< operation table */
    vizor_dev_t *dev;           /**< device bound by init */
    void *priv;                 /**< driver private state */
};

/** Operation table of the built-in OPT8241 driver. */
VZ_API extern const vizor_drv_ops_t g_vizor_driver_op_ti;
/** Operation table of the built-in epc660/epc635 driver. */
VZ_API extern const vizor_drv_ops_t g_vizor_driver_op_epc;

/** Finds the driver named by the middle field of dev->product (fields of 1 to
 * 16 characters separated by '-', exact case-sensitive match).
 * Returns: the built-in record; NULL for dev NULL, or when the string has
 *          fewer than three fields or names no known driver.
 * Buffers: dev->product is read (at most its 32 bytes). The record returned
 *          is the library's, shared and valid for the process lifetime:
 *          read it, do not modify it (an opened device binds a copy).
 * Thread:  any. */
VZ_API vizor_drv_t *vizor_drv_find(vizor_dev_t *dev) VZ_NOEXCEPT;

VZ_EXTERN_C_END

#endif /* VIZOR_DRV_H */
