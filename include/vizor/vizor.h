/** \file
 * libvizor: host library of the vizor USB time-of-flight depth camera.
 *
 * An application calls vizor_init once, lists the cameras (vizor_dev_list),
 * opens one (vizor_dev_open), configures it through registers and parameters,
 * captures raw frames (vizor_cap_*), converts them into distance and gray
 * images and point clouds (vizor_frame_*), and closes it (vizor_dev_close)
 * before vizor_uninit.
 *
 * Ownership: the application owns every vizor_dev_t record and every buffer it
 * passes in; lengths count elements of the buffer's own type and no call
 * writes beyond them. From a successful vizor_dev_open to vizor_dev_close the
 * record owns its private state (ll), which the library releases.
 *
 * Threads: every public call runs on the caller's thread. Each open device has
 * one internal event thread that completes USB transfers; frame-ready and
 * error callbacks never run on it, only inside vizor_cap_get_frames,
 * vizor_cap_get_frame, vizor_cap_snapshot and vizor_cap_wait. Calls on one
 * device should come from one thread at a time; vizor_dev_close may be called
 * while another thread waits in vizor_cap_wait, which then returns.
 *
 * Every function states its contract in this form:
 *   Returns: the result, and the failure value with what causes it.
 *   Buffers: who owns each buffer and how much of it is read or written.
 *   Thread:  which thread may call it.
 *   Close:   what happens when another thread stops capture or closes the
 *            device meanwhile (device calls only).
 * A device call on a NULL record, a record never opened or already closed, or
 * a copy of another device's record fails at once with its failure value;
 * most log "[function]  Device handler Is NULL!" at ERR. No call throws.
 * A device call marks the device busy while it runs: a close from another
 * thread waits for it (bounded, see vizor_dev_close).
 */
#ifndef VIZOR_VIZOR_H
#define VIZOR_VIZOR_H

#include <stdbool.h>
#include <stdint.h>
#include "vizor/export.h"
#include "vizor/lens.h"
#include "vizor/log.h"

VZ_EXTERN_C_BEGIN

/** Version of the library, as the start banner names it. */
#define VIZOR_VERSION_STR "v1.15"

/* ---- records --------------------------------------------------------------- */

/** Private per-device state (opaque); see vizor_dev_t::ll. */
typedef struct vizor_ll vizor_ll_t;
/** Chip driver record, see vizor/drv.h. */
typedef struct vizor_drv vizor_drv_t;
struct vz_stream_state; /* capture statistics, see vizor/stream.h */

/** File names of a driver's calibration files (one set of two). */
typedef struct vizor_calib_names {
    uint32_t rsvd[3];    /**< reserved for the driver */
    char *dist_img_name; /**< 256-byte buffer owned by the open device */
    char *param_name;    /**< 256-byte buffer owned by the open device */
} vizor_calib_names_t;

/** Device record: an entry of vizor_dev_list and the handle of every call. */
typedef struct vizor_dev {
    vizor_ll_t *ll;            /**< private state while open, NULL when closed */
    uint8_t usb_bus_num;       /**< USB bus number */
    uint8_t usb_port_num;      /**< USB port number */
    uint8_t usb_addr;          /**< USB device address */
    uint8_t usb_speed;         /**< libusb speed code */
    char product[32];          /**< product string (parameter 3), NUL-padded */
    char dev_info_str[32];     /**< information text (parameter 2), NUL-padded */
    uint8_t dev_info_blob[32]; /**< information bytes (parameter 5) */
    uint8_t dev_info_ext[8];   /**< information bytes (parameter 6) */
    char *cfg_path;            /**< 256-byte calibration folder, initially ".\\" */
    /** The driver's calibration file names (two sets). */
    vizor_calib_names_t calib_names[2];
    uint8_t usb_loc_valid; /**< 1: open the device at bus/port; 0: the first one */
    uint8_t free_on_close; /**< set by the application: close frees the record */
    uint8_t api_busy;      /**< non-zero while a public call works on the device */
} vizor_dev_t;

/** Description of one raw frame, filled by the chip driver. */
typedef struct vizor_frame_info {
    uint32_t frame_size;   /**< bytes of raw frame data */
    uint16_t frame_format; /**< device format code */
    uint16_t frame_idx;    /**< frame index */
    uint32_t width;        /**< pixels per row */
    uint32_t height;       /**< rows */
    uint8_t pixel_depth;   /**< raw bytes per pixel position */
    uint8_t rsvd0;         /**< reserved */
    uint16_t rsvd1;        /**< reserved */
} vizor_frame_info_t;

/** A frame handed to the frame-ready callback; frame_fbuf is valid only during
 * the callback and holds frame_info.frame_size bytes. */
typedef struct vizor_frame {
    vizor_frame_info_t frame_info; /**< description of the frame */
    uint8_t *frame_fbuf;           /**< raw frame data, the library's */
} vizor_frame_t;

/** One item of the parameter batch calls; only the low 8 bits of param_id
 * travel to the camera. */
typedef struct vizor_param_item {
    uint32_t param_id;     /**< parameter identifier, see vizor_param_id_t */
    uint8_t param_val_len; /**< bytes of param_val in use */
    uint8_t param_val[18]; /**< value bytes */
} vizor_param_item_t;

/** Camera parameters supplied by the caller for point clouds. */
typedef struct vizor_camera_param {
    float cx;         /**< principal point x, pixels */
    float cy;         /**< principal point y, pixels */
    float fx;         /**< focal length x, pixels */
    float fy;         /**< focal length y, pixels */
    float dist_scale; /**< multiplier of every distance before projection */
} vizor_camera_param_t;

/** Frame-ready callback: runs on the application thread inside the fetch and
 * wait calls; frame and its data are the library's, valid during the
 * callback only. */
typedef void (*vizor_cap_frdy_f)(vizor_dev_t *dev, vizor_frame_t *frame);
/** Error callback: return true to let capture go on, false to stop delivery
 * until the next vizor_cap_stop/vizor_cap_start. err is a vizor_err_cap_t,
 * err_arg its argument. */
typedef bool (*vizor_cap_err_f)(vizor_dev_t *dev, int err, int err_arg);

/* ---- codes ----------------------------------------------------------------- */

/** Capture error codes handed to the error callback and returned by the
 * fetch calls. */
typedef enum vizor_err_cap {
    VIZOR_ERR_CAP_OK = 0,            /**< no error */
    VIZOR_ERR_CAP_FRAME_DISCARD = 3, /**< arg: frames discarded since start */
    VIZOR_ERR_CAP_TIMEOUT = -5,      /**< more than 64 transfer time-outs */
    VIZOR_ERR_CAP_STALL = -7,        /**< a bulk transfer stalled */
    VIZOR_ERR_CAP_ERROR = -8,        /**< transfer error, lost device or overflow */
    VIZOR_ERR_CAP_UNKNOWN = -10      /**< unknown transfer status */
} vizor_err_cap_t;

/** Parameter identifiers the library itself uses. */
typedef enum vizor_param_id {
    VIZOR_PARAM_DEV_MODE = 0,     /**< device mode (1 byte), e.g. VIZOR_DEV_MODE_DATA_UP */
    VIZOR_PARAM_INFO_STR = 2,     /**< information text */
    VIZOR_PARAM_INFO_PRODUCT = 3, /**< product string */
    VIZOR_PARAM_INFO_BLOB = 5,    /**< information bytes */
    VIZOR_PARAM_INFO_EXT = 6,     /**< further information bytes */
    VIZOR_PARAM_INFO_SENSOR = 7,  /**< sensor chip identity */
    VIZOR_PARAM_INFO_CALIB = 8,   /**< stored calibration data: validity, size, version */
    VIZOR_PARAM_IMG_MODE = 10,    /**< image mode (1 byte) */
    VIZOR_PARAM_INTG_TIME = 13,   /**< integration time, microseconds (2 bytes) */
    VIZOR_PARAM_TEMP = 15         /**< temperatures (up to four 16-bit values) */
} vizor_param_id_t;

/** Device mode that makes the camera stream its stored calibration data. */
#define VIZOR_DEV_MODE_DATA_UP 9

/** Decode target of a driver's frame_decode: the distance image. */
#define VIZOR_DECODE_DIST 1
/** Decode target of a driver's frame_decode: the gray (amplitude) image. */
#define VIZOR_DECODE_GRAY 2

/** Pixel formats of vizor_cmap_float. */
typedef enum vizor_cmap_fmt {
    VIZOR_CMAP_FMT_RGB = 0,   /**< 3 bytes: red, green, blue */
    VIZOR_CMAP_FMT_RGB32 = 1, /**< 4 bytes: the colour word, host order */
    VIZOR_CMAP_FMT_BGR = 2    /**< 3 bytes: blue, green, red */
} vizor_cmap_fmt_t;

/** Sample formats of the frame files. */
typedef enum vizor_frame_save_fmt {
    VIZOR_SAVE_FMT_F32 = 0, /**< distance: metres as float */
    VIZOR_SAVE_FMT_U32 = 1, /**< distance: millimetres */
    VIZOR_SAVE_FMT_U16 = 2, /**< distance: millimetres; gray: value */
    VIZOR_SAVE_FMT_U8 = 3   /**< gray: value */
} vizor_frame_save_fmt_t;

/** Driver filters, and the library's own filter on decoded distances. */
typedef enum vizor_filter_id {
    VIZOR_FILTER_UNDISTORT = 0,        /**< no argument */
    VIZOR_FILTER_PIXEL_CALIB = 1,      /**< uint8_t mode (default 2) */
    VIZOR_FILTER_MIN_AMPLITUDE = 4,    /**< int32_t minimum amplitude */
    VIZOR_FILTER_AUTO_INTEGRATION = 5, /**< uint16_t saturated samples per thousand */
    /** float threshold in metres (default 0.15, NULL for it), any driver, off
     * after open: every decoded distance image loses its flying pixels. A pixel
     * whose two neighbours on opposite sides (left and right, above and below,
     * or either diagonal) lie one nearer and one farther than it, each by more
     * than the threshold, straddles a depth edge and becomes 0 (no distance).
     * The outer border and images wider than 2048 pixels stay as decoded. */
    VIZOR_FILTER_FLYING_PIXELS = 6
} vizor_filter_id_t;

/* ---- library lifecycle ------------------------------------------------------ */

/** @name Library lifecycle
 * @{ */

/** Starts the library: console log level 3, file log level 1 on log_fname (or
 * "vizor_YYYYMMDD.log" for NULL), a start banner, and the library colour map
 * of 30000 entries. May be called again.
 * Returns: nothing; a log file that cannot be opened leaves console logging.
 * Buffers: log_fname is read during the call only.
 * Thread:  one application thread, while no device is open. */
VZ_API void vizor_init(const char *log_fname) VZ_NOEXCEPT;

/** Ends the library: closing banner, colour map released, logging silenced.
 * Returns: nothing. Open devices are left alone: close them first.
 * Thread:  the thread that called vizor_init, while no device is open. */
VZ_API void vizor_uninit(void) VZ_NOEXCEPT;

/** Sets the console and file log levels (0 TRC .. 4 ERR, 5 silent; opens
 * "vz.log" when no log file is open) and the libusb debug level derived from
 * usb_level (0,1 -> 4; 2 -> 3; 3 -> 2; 4 -> 1; anything else -> 0).
 * Returns: nothing.
 * Thread:  one application thread, while no device is open. */
VZ_API void vizor_log_cfg(int console_level, int file_level, int usb_level) VZ_NOEXCEPT;

/** Sets the calibration folder of an open device (stored exactly as given, at
 * most 255 characters) and creates it and its parents; both '/' and '\\' are
 * separators.
 * Returns: 0 when the folder exists or was created; -1 otherwise, for a
 *          record without state or folder buffer, or path NULL.
 * Buffers: path is read during the call; the folder buffer is the device's.
 * Thread:  the device's application thread, while the device is idle.
 * Close:   the call does not mark the device busy: do not close the device
 *          meanwhile. */
VZ_API int vizor_path_cfg(vizor_dev_t *dev, const char *path) VZ_NOEXCEPT;

/** Names a capture error code.
 * Returns: the constant name of a capture error code ("OK" for
 *          VIZOR_ERR_CAP_OK); "**UNKNOWN**" for other values. The text is
 *          static.
 * Thread:  any. */
VZ_API const char *vizor_error_name(int err) VZ_NOEXCEPT;

/** @} */

/* ---- devices ---------------------------------------------------------------- */

/** @name Devices
 * @{ */

/** Zeroes the dev_list_num records and fills one per camera found with its USB
 * location (usb_loc_valid = 1). Nothing is opened.
 * Returns: the count; 0 when none is found, dev_list is NULL or
 *          dev_list_num <= 0.
 * Buffers: dev_list_num records of the caller's are written.
 * Thread:  any application thread. */
VZ_API int vizor_dev_list(vizor_dev_t *dev_list, int dev_list_num) VZ_NOEXCEPT;

/** Opens the camera a record names (or the first camera when usb_loc_valid is
 * 0; with NULL, the library's default record). The record must be zeroed,
 * come from vizor_dev_list, or have been closed.
 * When the camera's driver lacks its calibration files, open downloads the
 * calibration package stored on the camera (up to 64 MiB, fetched as one
 * frame within 2.1 s), unpacks its zip archive into the calibration folder
 * (the current directory at open) and writes the driver's two calibration
 * files there; the temporary files "calibration.bin" and "tmp.zip" of the
 * working directory are removed again, and symbolic links in their place
 * are refused. Afterwards the frame buffer holds 40 frames and both capture
 * callbacks are NULL. A failed download is logged and the open still
 * succeeds, the driver working with its defaults. The device opened last is
 * the one vizor_raw2dist and vizor_raw2gray use.
 * Returns: the opened record; NULL with everything created released.
 * Buffers: the record stays the caller's; its state (ll) is the library's
 *          until vizor_dev_close.
 * Thread:  any application thread; the record then belongs to it. */
VZ_API vizor_dev_t *vizor_dev_open(vizor_dev_t *dev) VZ_NOEXCEPT;

/** Not supported on this platform.
 * Returns: NULL, with an error logged.
 * Thread:  any. */
VZ_API vizor_dev_t *vizor_dev_open_by_fd(int fd) VZ_NOEXCEPT;

/** Closes a device: from here on every call on the record fails, threads
 * waiting in vizor_cap_wait or a fetch call return, capture stops, the event
 * thread ends and everything the open created is released (with
 * free_on_close set, the record too). NULL, closed records and copies of
 * another device's record are ignored.
 * Returns: nothing. The close never waits without end:
 *          - called from inside a call on the same device (a frame-ready or
 *            error callback), it returns at once (WRN "called inside a call
 *            on this device") and the close completes when that call returns;
 *          - while calls on other threads are still inside, it waits up to
 *            30 x 100 ms, then logs "api wait timeout" and returns; the last
 *            of those calls to return completes the close.
 * Buffers: with free_on_close set the record is freed: the pointer is then
 *          invalid once the close completes.
 * Thread:  any application thread, including from the device's callbacks.
 * Close:   a second close while one is under way is ignored. */
VZ_API void vizor_dev_close(vizor_dev_t *dev) VZ_NOEXCEPT;

/** Resets part of the camera (target 0 board, 1 sensor, 3 USB interface, up to
 * 8).
 * Returns: the camera's answer; false for a record not open or a target
 *          above 8.
 * Thread:  the device's application thread.
 * Close:   a close waits for the reset (bounded, see vizor_dev_close). */
VZ_API bool vizor_dev_reset(vizor_dev_t *dev, uint32_t target) VZ_NOEXCEPT;

/** The chip driver bound to a device.
 * Returns: the driver of a device's state; NULL for a record without state
 *          of its own.
 * Buffers: the driver record is the device's: valid until close.
 * Thread:  the device's application thread.
 * Close:   the call does not mark the device busy; the record returned
 *          becomes invalid when the device closes. */
VZ_API vizor_drv_t *vizor_dev_get_drv(vizor_dev_t *dev) VZ_NOEXCEPT;

/** @} */

/* ---- registers and parameters ------------------------------------------------ */

/** @name Registers and parameters
 * @{ */

/** Writes reg_num 32-bit values to register space target from reg_base in one
 * command.
 * Returns: true when the camera confirmed it; false for a record not open,
 *          reg_vals NULL with reg_num > 0, more than 1022 registers
 *          (VIZOR_REG_WRITE_MAX of vizor/ll.h: the host carries at most 4096
 *          bytes per control transfer), or a failed or refused command.
 * Buffers: reg_num values of the caller's are read.
 * Thread:  one thread at a time per device (commands do not interleave);
 *          may overlap a running capture.
 * Close:   a close waits for the command (bounded). */
VZ_API bool vizor_reg_batch_write(vizor_dev_t *dev, uint8_t target, uint32_t reg_base,
                                  const uint32_t *reg_vals, uint16_t reg_num) VZ_NOEXCEPT;
/** Reads reg_num 32-bit values of register space target from reg_base.
 * Returns: true when every value arrived; false as vizor_reg_batch_write
 *          (values of earlier exchanges may already be stored).
 * Buffers: reg_num values of the caller's are written.
 * Thread:  as vizor_reg_batch_write.
 * Close:   as vizor_reg_batch_write. */
VZ_API bool vizor_reg_batch_read(vizor_dev_t *dev, uint8_t target, uint32_t reg_base,
                                 uint32_t *reg_vals, uint16_t reg_num) VZ_NOEXCEPT;
/** Sets param_num parameters in one command.
 * Returns: true when the camera confirmed them; false for a record not open,
 *          params NULL with param_num > 0, a negative count, more than 204
 *          items (VIZOR_PARAM_SET_MAX of vizor/ll.h), or a failed command.
 * Buffers: param_num items of the caller's are read.
 * Thread:  as vizor_reg_batch_write.
 * Close:   as vizor_reg_batch_write. */
VZ_API bool vizor_param_batch_set(vizor_dev_t *dev, const vizor_param_item_t *params,
                                  int param_num) VZ_NOEXCEPT;
/** Reads param_num parameters named by param_id.
 * Returns: true, each item then holding the camera's length and value; false
 *          as vizor_param_batch_set (the items are then left as they were).
 * Buffers: param_num items of the caller's are read and written.
 * Thread:  as vizor_reg_batch_write.
 * Close:   as vizor_reg_batch_write. */
VZ_API bool vizor_param_batch_get(vizor_dev_t *dev, vizor_param_item_t *params,
                                  int param_num) VZ_NOEXCEPT;

/** @} */

/* ---- capture ------------------------------------------------------------------ */

/** @name Capture
 * Lost frames. Complete frames wait in the frame buffer (as many as
 * vizor_cap_set_frame_buffer sized it) until a fetch or wait call takes them;
 * when more arrive, the oldest are dropped without any callback. A fetch
 * takes the frames it asks for; the ones ready beyond them go to the
 * frame-ready callback when one is set, and otherwise stay queued for the
 * next fetch. Frames the
 * USB stream damaged are discarded and reported to the error callback as
 * VIZOR_ERR_CAP_FRAME_DISCARD. A caller learns about both from the capture
 * statistics (vizor_cap_get_stats): frames_dropped_full counts the frames
 * dropped because the buffer was full, frames_discarded the damaged ones,
 * frames_ready_total the frames that became complete (all counted since the
 * last vizor_cap_start).
 * @{ */

/** Sizes the frame buffer: size / 307200 frames (buf is ignored).
 * Returns: true; false for a record not open or a device capturing.
 * Buffers: buf is not used.
 * Thread:  the device's application thread.
 * Close:   a close waits for the call (bounded). */
VZ_API bool vizor_cap_set_frame_buffer(vizor_dev_t *dev, uint8_t *buf, uint32_t size) VZ_NOEXCEPT;
/** Reports a NULL buffer and the frame buffer size in bytes (0 for a record
 * not open).
 * Returns: true.
 * Buffers: *buf and *size are written when not NULL.
 * Thread:  the device's application thread.
 * Close:   a close waits for the call (bounded). */
VZ_API bool vizor_cap_get_frame_buffer(vizor_dev_t *dev, uint8_t **buf, uint32_t *size) VZ_NOEXCEPT;
/** Sets (or with NULL clears) the frame-ready callback. It runs on the thread
 * that called a fetch or wait call, inside it; frame_fbuf is valid during
 * the callback only. The callback may call vizor_dev_close on its device,
 * or vizor_cap_stop: no later frame reaches it then, also none that was
 * already queued.
 * Returns: true; false for a record not open.
 * Thread:  the device's application thread, while no fetch or wait runs.
 * Close:   a close waits for the call (bounded). */
VZ_API bool vizor_cap_set_callback_on_frame_ready(vizor_dev_t *dev,
                                                  vizor_cap_frdy_f cb) VZ_NOEXCEPT;
/** Sets (or clears) the error callback; it runs like the frame-ready one.
 * Returns: true; false for a record not open.
 * Thread:  as vizor_cap_set_callback_on_frame_ready.
 * Close:   a close waits for the call (bounded). */
VZ_API bool vizor_cap_set_callback_on_error(vizor_dev_t *dev, vizor_cap_err_f cb) VZ_NOEXCEPT;
/** Tells whether the device captures.
 * Returns: true between a successful start and a successful stop; false for
 *          a record not open or closing (nothing logged).
 * Thread:  any.
 * Close:   once a close has begun the answer is false. */
VZ_API bool vizor_cap_is_ongoing(vizor_dev_t *dev) VZ_NOEXCEPT;
/** Starts capture (a start while capturing restarts it).
 * Returns: true when the camera streams; false for a record not open, a
 *          frame buffer below 2 frames, or a refused start command.
 * Thread:  the device's application thread.
 * Close:   a close stops the capture it started. */
VZ_API bool vizor_cap_start(vizor_dev_t *dev) VZ_NOEXCEPT;
/** Stops capture: cancels the transfers, waits (up to 3 s) for the last one to
 * come back, and sends the stop command.
 * Returns: true (also when not capturing); false for a record not open.
 * Thread:  the device's application thread.
 * Close:   vizor_dev_close stops capture itself. */
VZ_API bool vizor_cap_stop(vizor_dev_t *dev) VZ_NOEXCEPT;
/** Captures one frame (starting and stopping capture when idle).
 * Returns: true when a frame was delivered within 2100 ms; false otherwise
 *          or for a record not open.
 * Buffers: at most buf_len bytes of buf and *finfo are written.
 * Thread:  the device's application thread; callbacks run inside.
 * Close:   a close from another thread or a callback ends the wait (false). */
VZ_API bool vizor_cap_snapshot(vizor_dev_t *dev, uint8_t *buf, uint32_t buf_len,
                               vizor_frame_info_t *finfo) VZ_NOEXCEPT;
/** Waits up to frame_num * 100 + 2000 ms for frame_num frames copied back to
 * back into buf (frames run to the frame-ready callback too).
 * Returns: frames delivered; -1 for a record not open or frame_num 0; -2 when
 *          not capturing; or a pending negative capture error code.
 * Buffers: at most buf_len bytes of buf and the first frame's *finfo.
 * Thread:  the device's application thread; callbacks run inside.
 * Close:   a stop or close on another thread, or a close from a callback,
 *          ends the wait; the frames delivered so far are counted. */
VZ_API int vizor_cap_get_frames(vizor_dev_t *dev, uint32_t frame_num, uint8_t *buf,
                                uint32_t buf_len, vizor_frame_info_t *finfo) VZ_NOEXCEPT;
/** As vizor_cap_get_frames for one frame, never waiting.
 * Returns: 1 when a frame was ready, 0 when none was; -1, -2 or a pending
 *          capture error code as vizor_cap_get_frames.
 * Buffers: at most buf_len bytes of buf and *finfo are written.
 * Thread:  the device's application thread; callbacks run inside.
 * Close:   as vizor_cap_get_frames. */
VZ_API int vizor_cap_get_frame(vizor_dev_t *dev, uint8_t *buf, uint32_t buf_len,
                               vizor_frame_info_t *finfo) VZ_NOEXCEPT;
/** Delivers frames to the callbacks until capture halts or the time-out (ms,
 * 0 or less for none) passes.
 * Returns: true when capture halted (or the device closes); false on the
 *          time-out, when not capturing or for a record not open.
 * Thread:  the device's application thread; callbacks run inside.
 * Close:   a close on another thread or from a callback ends the wait. */
VZ_API bool vizor_cap_wait(vizor_dev_t *dev, int timeout_msec) VZ_NOEXCEPT;

/** Copies the capture statistics of an open device (see Lost frames above).
 * Returns: true; false for a record that is not open or stats NULL.
 * Buffers: *stats (a vz_stream_state_t of vizor/stream.h), the caller's, is
 *          written.
 * Thread:  any, also while capturing.
 * Close:   a close waits for the copy (bounded). */
VZ_API bool vizor_cap_get_stats(vizor_dev_t *dev, struct vz_stream_state *stats) VZ_NOEXCEPT;

/** @} */

/* ---- frame conversion ------------------------------------------------------- */

/** @name Frame conversion
 * Conversions on the caller's buffers: decode of raw frames through the
 * device's chip driver, point clouds and colouring of distance images.
 * @{ */

/** Decodes a raw frame into float distances (metres) through the device's
 * driver. finfo NULL uses the device's last handed-out frame.
 * Returns: pixels written; 0 for a record not open ("Wrong params" at DBG),
 *          a driver without decode, dst or src NULL, dst_len <= 0, src_len
 *          below the frame's frame_size or below its width x height x
 *          pixel_depth bytes (nothing is written then), or a failed decode.
 * Buffers: src (src_len bytes), finfo and dst are the caller's; at most
 *          dst_len floats of dst are written.
 * Thread:  the device's application thread (the driver takes no locks).
 * Close:   a close waits for the decode (bounded). */
VZ_API int vizor_frame_get_distance(vizor_dev_t *dev, float *dst, int dst_len, const uint8_t *src,
                                    int src_len, const vizor_frame_info_t *finfo) VZ_NOEXCEPT;
/** As vizor_frame_get_distance for the gray image.
 * Returns: pixels written; 0 on the failures of vizor_frame_get_distance. */
VZ_API int vizor_frame_get_gray(vizor_dev_t *dev, float *dst, int dst_len, const uint8_t *src,
                                int src_len, const vizor_frame_info_t *finfo) VZ_NOEXCEPT;
/** As vizor_frame_get_distance (finfo NULL) on the most recently opened
 * device; once any device closes there is none until the next open.
 * Returns: pixels written; 0 when there is no such device or on the failures
 *          of vizor_frame_get_distance. */
VZ_API int vizor_raw2dist(float *dst, int dst_len, const uint8_t *src, int src_len) VZ_NOEXCEPT;
/** As vizor_raw2dist for the gray image.
 * Returns: pixels written; 0 on the failures of vizor_raw2dist. */
VZ_API int vizor_raw2gray(float *dst, int dst_len, const uint8_t *src, int src_len) VZ_NOEXCEPT;
/** Projects the distances (metres) of an img_w x img_h image into points,
 * three floats x, y, z each, densely in row order: only pixels with
 * 0 < d < 60 produce a point (NaN, 0, 60 and negative values do not). Each
 * distance is first multiplied by param->dist_scale; with param NULL the
 * driver's lens parameters for this image size are used (multiplier 1).
 * The projection is the compatible one, not exact 3D: x and z come from the
 * horizontal angle alone (dx against fx), y from the vertical angle alone,
 * each shortened by 20e-6 times its pixel offset, and lens distortion is
 * ignored, so a flat wall comes out bent. Callers may rely on these values;
 * for points where the scene has them use vizor_frame_get_points (or
 * vz_lens_points with caller intrinsics).
 * The walk stops when pcl_len floats hold no further point, so a buffer of
 * 3k floats receives at most k points. Allocates nothing.
 * Returns: the points written; 0 for a NULL record, pcl or dist NULL, sizes
 *          that are not positive, or (param NULL) a record without state of
 *          its own or a driver without lens parameters for this size
 *          ("Cannot generate PCL" logged at ERR).
 * Buffers: dist must hold img_w * img_h values (dist_len is not consulted);
 *          at most pcl_len floats of pcl are written; param is read. All are
 *          the caller's.
 * Thread:  any; concurrent calls on one record are allowed.
 * Close:   the device is marked busy during the walk: a close waits for it
 *          (bounded). */
VZ_API int vizor_frame_get_pcl(vizor_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                               int dist_len, int img_w, int img_h,
                               const vizor_camera_param_t *param) VZ_NOEXCEPT;
/** As vizor_frame_get_pcl with four floats per point (a buffer of 4k floats
 * takes k points): the fourth is the scaled distance, or with pseudo_color
 * the library colour map's colour word of it (millimetres, over the range the
 * last vizor_cmap_float call set) converted to float.
 * Returns: the points written; 0 on the failures of vizor_frame_get_pcl.
 * Thread:  as vizor_frame_get_pcl; with pseudo_color, not concurrently with
 *          vizor_cmap_float, vizor_init or vizor_uninit (the library colour
 *          map is read without a lock). */
VZ_API int vizor_frame_get_pcl_xyzd(vizor_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                    int dist_len, int img_w, int img_h, bool pseudo_color,
                                    const vizor_camera_param_t *param) VZ_NOEXCEPT;
/** As vizor_frame_get_pcl for an image of rows x cols without a device;
 * param is required and its dist_scale is not applied. The same compatible
 * projection (z from the horizontal angle only); vz_lens_points is the exact
 * one.
 * Returns: the points written; 0 for param, pcl or dist NULL or sizes that are
 *          not positive.
 * Buffers: dist holds rows * cols values; at most pcl_len floats of pcl are
 *          written.
 * Thread:  any. */
VZ_API int vizor_depth_to_pcl(float *pcl, int pcl_len, const float *dist, int rows, int cols,
                              const vizor_camera_param_t *param) VZ_NOEXCEPT;
/**
 * Exact 3D points of an img_w x img_h distance image (metres along each
 * pixel's ray, as vizor_frame_get_distance returns it) through the lens the
 * device's driver reports for that image size: point = distance x the
 * pixel's unit ray, the lens distortion inverted (see vz_lens_points). A
 * binned or reduced image whose size divides the driver's lens image uses
 * the matching part of it.
 * flags VZ_POINTS_ORGANISED: img_h x img_w x 3 floats, NaN x, y, z for an
 * invalid pixel (not 0 < d < 60: a marker, zero, negative or NaN);
 * VZ_POINTS_PACKED: the valid points only, as many as fit.
 * Returns: organised, img_w * img_h; packed, the points written. 0 for a
 *          NULL record, xyz or dist, sizes that are not positive, a record
 *          without state of its own, an organised xyz_len below
 *          3 * img_w * img_h, an unknown flags value, or a driver without
 *          lens parameters for this size ("Cannot generate PCL" logged at
 *          ERR, or the driver's own message).
 * Buffers: dist holds img_w * img_h values; at most xyz_len floats of xyz
 *          are written. The first call for an image size computes the ray
 *          table and the device keeps it until vizor_dev_close (a few sizes
 *          at a time); later calls allocate nothing.
 * Thread:  any; concurrent calls on one record are allowed.
 * Close:   the device is marked busy during the call: a close waits for it
 *          (bounded). */
VZ_API int vizor_frame_get_points(vizor_dev_t *dev, float *xyz, int xyz_len, const float *dist,
                                  int img_w, int img_h, int flags) VZ_NOEXCEPT;
/** Depth along the optical axis (z, metres) of a distance image through the
 * device's driver lens: distance x the z of the pixel's unit ray, NaN for an
 * invalid pixel (see vizor_frame_get_points).
 * Returns: img_w * img_h; 0 on the failures of vizor_frame_get_points or
 *          when depth_len < img_w * img_h.
 * Buffers: img_w * img_h floats of dist read and of depth written; the ray
 *          table as for vizor_frame_get_points.
 * Thread:  as vizor_frame_get_points.
 * Close:   as vizor_frame_get_points. */
VZ_API int vizor_frame_get_depth(vizor_dev_t *dev, float *depth, int depth_len, const float *dist,
                                 int img_w, int img_h) VZ_NOEXCEPT;
/** As vizor_frame_get_depth in 16-bit millimetres (depth x 1000 truncated
 * toward zero, 0 for an invalid pixel), the form RGB-D tools read.
 * Returns: img_w * img_h; 0 on the failures of vizor_frame_get_depth.
 * Buffers: img_w * img_h floats of dist read and values of depth written.
 * Thread:  as vizor_frame_get_points.
 * Close:   as vizor_frame_get_points. */
VZ_API int vizor_frame_get_depth_mm(vizor_dev_t *dev, uint16_t *depth, int depth_len,
                                    const float *dist, int img_w, int img_h) VZ_NOEXCEPT;
/** Colours distances (metres) with the library colour map over
 * range_min..range_max into dst in format outfmt (a vizor_cmap_fmt_t); the
 * range stays set on the library colour map, and millimetre values at the
 * reserved codes of vizor/cmap.h keep their fixed colours. Before vizor_init
 * (no palette) every other pixel is black.
 * Returns: pixels coloured: the smaller of src_len and the pixels dst_len
 *          bytes hold (3 or 4 bytes each); 0 for dst or src NULL, an unknown
 *          format, or no room.
 * Buffers: at most src_len floats of src are read and dst_len bytes of dst
 *          written; both are the caller's.
 * Thread:  any application thread, one at a time (the library colour map's
 *          range is written without a lock). */
VZ_API int vizor_cmap_float(uint8_t *dst, int dst_len, const float *src, int src_len, int outfmt,
                            float range_min, float range_max) VZ_NOEXCEPT;

/** @} */

/* ---- frame files ------------------------------------------------------------- */

/** @name Frame files
 * Frame files: one text header line ("VZ_DIST,U16,320,240\n" and the like:
 * kind, sample format, width, height) written only at file position 0, then
 * whole frames of little-endian samples. The calls use the descriptor's
 * current position, so repeated saves on one descriptor record a sequence and
 * repeated loads play it back. Open the descriptor without newline
 * translation. Failures are logged at ERR; a frame may then be left partly
 * written. Sizes that are not positive or frames above 64 MiB are refused.
 *
 * Buffers: the sample buffers and size pointers are the caller's, used
 *          during the call only; the descriptor stays the caller's.
 * Thread:  any, one thread per descriptor; loads share one remembered header
 *          per kind (see vizor_frame_load_distance), so concurrent loads of
 *          one kind interfere.
 * @{ */

/** Appends the whole frames that dist_len floats hold (a partial trailing
 * frame is dropped; less than one frame writes only the header) in format
 * fmt: 0 F32 metres, 1 U32 or 2 U16 millimetres truncated to their low bits.
 * Returns: 1 on success; 0 for a wrong format or size, dist NULL with at
 *          least one frame to write, or a failed write. */
VZ_API int vizor_frame_save_distance(int fd, int fmt, const float *dist, int dist_len, int img_w,
                                     int img_h) VZ_NOEXCEPT;
/** Appends one frame of gray values (fmt 2 U16 or 3 U8, truncated to their
 * low bits); src_len must hold at least one frame, more is ignored.
 * Returns: 1 on success; 0 for a wrong format or size, src NULL or shorter
 *          than one frame, or a failed write. */
VZ_API int vizor_frame_save_gray(int fd, int fmt, const float *src, int src_len, int img_w,
                                 int img_h) VZ_NOEXCEPT;
/** Reads the next frame of a distance file (the header first at position 0;
 * later frames use the last distance header any load parsed) and stores its
 * first dst_len values as metres; the whole frame is consumed. Stores the
 * frame's size through img_w and img_h when they are not NULL.
 * Returns: floats stored; 0 at the end of the file, on a short frame, a bad
 *          header (which also forgets the remembered size), when memory is
 *          short, or when dst is NULL or dst_len <= 0 (the frame is still
 *          consumed and its size stored). */
VZ_API int vizor_frame_load_distance(int fd, float *dst, int dst_len, int *img_w,
                                     int *img_h) VZ_NOEXCEPT;
/** As vizor_frame_load_distance for gray files (values as stored).
 * Returns: floats stored; 0 on the failures of vizor_frame_load_distance. */
VZ_API int vizor_frame_load_gray(int fd, float *dst, int dst_len, int *img_w,
                                 int *img_h) VZ_NOEXCEPT;

/** @} */

/* ---- filters ----------------------------------------------------------------- */

/** @name Filters
 * Buffers: arg (arg_size bytes, or NULL for the filter's default) is the
 *          caller's, read during the call; vizor_filter_id_t lists each
 *          filter's argument type.
 * Thread:  the device's application thread.
 * Close:   a close waits for the call (bounded).
 * @{ */

/** Switches a driver filter on (a record whose state has no driver yet gets
 * the driver its product string names). VIZOR_FILTER_FLYING_PIXELS is the
 * library's own, for every driver.
 * Returns: the driver's answer, 1 or 0 (the epc660 driver answers 1, also
 *          for ids it does not know); -1 for a record not open, a device
 *          without driver or a driver without filters. For
 *          VIZOR_FILTER_FLYING_PIXELS: 1, 0 for an arg_size below 4 or a
 *          threshold that is not finite in (0, 60], -1 for a record not open. */
VZ_API int vizor_filter_enable(vizor_dev_t *dev, int filter_id, void *arg,
                               int arg_size) VZ_NOEXCEPT;
/** Switches a driver filter off (VIZOR_FILTER_FLYING_PIXELS: the library's).
 * Returns: 1 or 0 as vizor_filter_enable; -1 as vizor_filter_enable. */
VZ_API int vizor_filter_disable(vizor_dev_t *dev, int filter_id) VZ_NOEXCEPT;

/** @} */

/** The flying-pixel filter of VIZOR_FILTER_FLYING_PIXELS on a distance image
 * the caller holds (frames read from a file, images decoded without the
 * filter): the pixels that straddle a depth edge by more than threshold
 * metres become 0, in place; the outer border stays as it is.
 * Returns: the pixels set to 0; -1 (dist unchanged) for dist NULL, dist_len
 *          below width x height, width or height below 3, width above 2048,
 *          or a threshold that is not finite in (0, 60].
 * Buffers: width x height floats of dist (metres) are read and written.
 * Thread:  any; nothing but dist is touched, nothing is allocated. */
VZ_API int vizor_frame_remove_flying_pixels(float *dist, int dist_len, int width, int height,
                                            float threshold) VZ_NOEXCEPT;

VZ_EXTERN_C_END

#endif /* VIZOR_VIZOR_H */
