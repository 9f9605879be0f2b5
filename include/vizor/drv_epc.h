/** \file
 * The epc660/epc635 chip driver and its adapter. The driver hands every raw
 * DCS frame to the EPC processing library (vizor/epc660.h) and turns the
 * library's 16-bit distance and amplitude codes into floats (metres for
 * distances). The adapter binds that library, which serves a single chip, to
 * one device: the EPC default device.
 *
 * Several EPC cameras: each camera the driver binds gets its own processing
 * context (configuration, frequency table, calibration tables, correction,
 * filter, hysteresis and Kalman state, temperatures, output and work
 * buffers). A context reserves about 101 MB of address space, of which the
 * DRNU calibration tables are 67 MB and what is prepared from them at every
 * load 12.5 MB (a lookup of one byte per pixel and calibration step, and the
 * calibration images again in the order the vector kernel reads them); it is
 * built over zero-filled pages, so what a camera never writes (tables
 * without calibration files) costs no memory. Nothing is allocated per
 * frame. The exported EPC functions act on the EPC default device's context
 * (epc_adapter_select picks it), or, inside epc_adapter_call, on the context
 * of that call's camera; the driver decodes each camera's frames in that
 * camera's context, whichever device is the default.
 *
 * Threads: a call in a context holds that context's lock, so calls on one
 * camera are serialised while two cameras decode concurrently on two
 * threads.
 * Pointer arguments are the caller's, used during the call only.
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

/** Binds the driver to dev: private state, undistortion map, adapter (dev
 * becomes the EPC default device).
 * Returns: true; false for drv NULL, when memory is short, or when the chip
 *          identity cannot be read (the driver then has no state).
 * Buffers: drv's private state is allocated and owned by drv until the
 *          driver's uninit.
 * Thread:  the application thread opening dev. */
VZ_API bool epc_init(vizor_drv_t *drv, vizor_dev_t *dev) VZ_NOEXCEPT;
/** Frame description from the stream header: geometry (320 x 240 when the
 * header has none), bytes per pixel; hands the header's temperatures to the
 * library and marks the frame valid.
 * Returns: true; false for info or hdr NULL, or (info zeroed) when the size is
 *          no multiple of the geometry, except for calibration-data frames
 *          (format 171).
 * Buffers: hdr is read, *info written.
 * Thread:  the device's application thread. */
VZ_API bool epc_frame_get_info(vizor_drv_t *drv, vizor_frame_info_t *info,
                               const struct vz_stream_frame_hdr *hdr) VZ_NOEXCEPT;
/** Decodes a gray (format 0) or distance frame (format 2) into floats; with
 * the undistortion filter on, 320 x 240 images of distance frames are
 * undistorted (gray frames never are).
 * Returns: 4 x width x height; -1 (the frame then marked invalid) for a
 *          driver without state, a NULL buffer, another format, a target the
 *          format does not deliver, dst_len or src_len too short for the image (see
 *          vizor/drv.h), or a failed computation.
 * Buffers: at most src_len bytes of src and width x height floats of dst.
 * Thread:  any application thread; holds the device's processing context
 *          for the call, so decodes of one camera are serialised and decodes
 *          of different cameras run concurrently. */
VZ_API int epc_frame_decode(vizor_drv_t *drv, float *dst, uint32_t dst_len, int target,
                            const uint16_t *src, uint32_t src_len,
                            const vizor_frame_info_t *info) VZ_NOEXCEPT;
/** The built-in lens scaled to width x height, which must divide 640 x 480.
 * Returns: true; false for lens NULL or a size that does not divide
 *          640 x 480 (logged at WRN).
 * Buffers: *lens is written.
 * Thread:  any application thread. */
VZ_API bool epc_lens_param_get(vizor_drv_t *drv, struct vz_lens_param *lens, int width,
                               int height) VZ_NOEXCEPT;

/** Makes dev the EPC default device and initialises the library for its chip.
 * NULL opens the first camera itself (standalone use of the library): the
 * adapter then calls vizor_init and opens and owns that device.
 * Returns: true; false when the chip identity cannot be read, or (NULL) no
 *          camera opens.
 * Thread:  one application thread; with NULL, while no device is open. */
VZ_API bool epc_adapter_init(vizor_dev_t *dev) VZ_NOEXCEPT;
/** Makes dev, an open camera bound by the EPC driver, the EPC default device:
 * the exported EPC functions that follow (vizor/epc660.h) act on its
 * processing context. Closing the default device leaves no default: the EPC
 * functions then act on the standalone context, which serves the library
 * without a camera.
 * Returns: true; false (the default unchanged) for NULL or a device the EPC
 *          driver has not bound (closed, another chip, or never opened); dev
 *          is only compared, never read.
 * Thread:  any application thread. The choice is process-wide: a call in
 *          progress on another thread, and a decode of any camera, keep the
 *          context they started with; threads that change settings of
 *          several cameras must not interleave their select-then-set
 *          sequences: epc_adapter_call sets one camera without selecting
 *          it (the C++ and Python layers' per-camera settings use it). */
VZ_API bool epc_adapter_select(vizor_dev_t *dev) VZ_NOEXCEPT;
/** A function epc_adapter_call runs for a camera; user is the pointer given
 * to epc_adapter_call. */
typedef void (*epc_device_fn)(void *user);
/** Runs fn(user) on the calling thread with dev's processing context: the
 * exported EPC functions fn calls (vizor/epc660.h) act on dev's context and
 * camera, whatever device is the EPC default and whatever other threads
 * select meanwhile. The EPC default device stays as it is. This is how one
 * program sets each of several cameras (modulation frequency, integration
 * times, region of interest, binning, corrections) from any thread.
 * Returns: true once fn has run; false (fn not called) for dev or fn NULL, or
 *          a device the EPC driver has not bound (closed, another chip, never
 *          opened; dev is only compared, never read).
 * Buffers: user is handed to fn unread.
 * Thread:  any application thread. dev's context is held for the whole of fn:
 *          other calls on dev's context (decodes of dev's frames, another
 *          epc_adapter_call for dev, EPC functions while dev is the default)
 *          wait for it, so the settings fn makes arrive together; calls on
 *          other cameras run on. fn calls EPC functions only: it must not
 *          close dev, decode frames, or call epc_adapter_call for another
 *          camera (two threads doing that crosswise would wait on each other).
 * Close:   a vizor_dev_close of dev on another thread waits for fn to
 *          return; a close before the call makes it return false. */
VZ_API bool epc_adapter_call(vizor_dev_t *dev, epc_device_fn fn, void *user) VZ_NOEXCEPT;
/** Closes the device the adapter opened itself (and calls vizor_uninit then);
 * clears the default device.
 * Returns: nothing.
 * Thread:  the thread of epc_adapter_init. */
VZ_API void epc_adapter_uninit(void) VZ_NOEXCEPT;
/** Sets frame_valid of the default device's driver; nothing when there is no
 * default device or it has no EPC driver state.
 * Returns: nothing.
 * Thread:  the default device's application thread. */
VZ_API void epc_adapater_set_frame_valid(uint8_t valid) VZ_NOEXCEPT;
/** Reads frame_valid of the default device's driver.
 * Returns: the flag; 1 when there is no default device, 0 when the device has
 *          no EPC driver state.
 * Thread:  the default device's application thread. */
VZ_API uint8_t epc_adapater_get_frame_valid(void) VZ_NOEXCEPT;

VZ_EXTERN_C_END

#endif /* VIZOR_DRV_EPC_H */
