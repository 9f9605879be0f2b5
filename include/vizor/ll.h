/** \file
 * USB transport of libvizor: enumeration, open, close and reset of the camera,
 * the command channel and the per-device event thread. The device API
 * (vizor/vizor.h) is built on these calls; applications normally use that.
 *
 * Per-device state: every device call takes a vizor_ll_t, the device API's
 * private per-device record, which BEGINS with a vizor_ll_usb_t. The transport
 * touches only that first member, so a caller may also pass a zero-filled
 * vizor_ll_usb_t (or any record starting with one) cast to vizor_ll_t *.
 *
 * Threads: enumeration, open, close, reset and every command run on the
 * caller's thread. Each open device has one event thread, created by
 * vizor_ll_dev_open and joined by vizor_ll_dev_close, that completes every
 * USB transfer of the device (commands and the device API's bulk transfers).
 * Commands on one device must come from one thread at a time: a command and
 * the status check that follows it belong together on the wire.
 *
 * Results: failures are reported by a log line and a false/NULL/0 result; no
 * libusb error code leaves the transport except from vizor_ll_event_loop. A
 * NULL or zero-filled record gives the failure value at once. No call throws.
 *
 * Close: vizor_ll_dev_close must not run while another call on the same ll is
 * in progress (the transport keeps no busy mark; the device API's close waits
 * for its own calls first). A command whose device goes away fails within its
 * own time-out.
 */
#ifndef VIZOR_LL_H
#define VIZOR_LL_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>
#include "vizor/export.h"
#include "vizor/vizor.h"

VZ_EXTERN_C_BEGIN

struct libusb_context;
struct libusb_device_handle;

/* ---- wire constants ----------------------------------------------------------- */

/** @name Request types
 * bmRequestType of a command: class request to the endpoint recipient.
 * @{ */
#define VIZOR_REQTYPE_WRITE 0x22 /**< host to device */
#define VIZOR_REQTYPE_READ  0xA2 /**< device to host */
/** @} */

/** @name Requests
 * Request codes (bRequest) and their sub-commands (wValue).
 * @{ */
#define VIZOR_REQ_STATUS 0xB0 /**< read the 63-byte status reply */
#define VIZOR_REQ_CTRL   0xC2 /**< registers and capture */
#define VIZOR_REQ_CFG    0xC0 /**< reset and parameters */
#define VIZOR_REQ_DATA   0xCC /**< data-transfer actions */

#define VIZOR_CTRL_REG_WRITE 0 /**< register header + values */
#define VIZOR_CTRL_REG_READ  1 /**< register header; then the values are read */
#define VIZOR_CTRL_CAP_START 4 /**< uint32 frame count, 0 = no limit */
#define VIZOR_CTRL_CAP_STOP  5 /**< one byte 0xC2 */

#define VIZOR_CFG_RESET     0 /**< uint32 reset target */
#define VIZOR_CFG_PARAM_SET 3 /**< n parameter records */
#define VIZOR_CFG_PARAM_GET 4 /**< n records written, then read back filled */
/** @} */

/** @name Reset targets
 * Reset targets of vizor_ll_dev_reset.
 * @{ */
#define VIZOR_RESET_BOARD  0 /**< the camera board */
#define VIZOR_RESET_SENSOR 1 /**< the sensor */
#define VIZOR_RESET_USB_IF 3 /**< the USB interface (the device reconnects) */
/** @} */

/** @name Status reply
 * Status reply: byte 0 status, byte 1 request and byte 2 low byte of wValue
 * of the device's last command, bytes 3..62 the failure text.
 * @{ */
#define VIZOR_STATUS_LEN     63   /**< bytes of the status reply */
#define VIZOR_STATUS_MSG_LEN 60   /**< bytes of its failure text */
#define VIZOR_STATUS_FAILED  0xFF /**< status: the command failed */
#define VIZOR_STATUS_BUSY    0xFE /**< status: the command is still running */
/** @} */

/** Register header: target (u8), first register address (u32), value bytes
 * (u16, 4 per register), little-endian and packed. */
#define VIZOR_REG_HDR_LEN 7

/** Registers per read exchange. */
#define VIZOR_REG_READ_BATCH 16
/** Parameter records per get exchange. */
#define VIZOR_PARAM_GET_BATCH 3

/** @name Command payload limits
 * Largest payload of one command: the Linux host refuses control transfers
 * with more than 4096 data bytes. A register write and a parameter set travel
 * as one command each (a batch is never split), so larger ones are refused
 * before anything is sent, with an error line naming the limit.
 * @{ */
#define VIZOR_CTRL_PAYLOAD_MAX 4096 /**< data bytes of one control transfer */
#define VIZOR_REG_WRITE_MAX    1022 /**< 7 + 4 x 1022 = 4095 bytes */
#define VIZOR_PARAM_SET_MAX    204  /**< 20 x 204 = 4080 bytes */
/** @} */

/** Default transfer time-out of commands, milliseconds. */
#define VIZOR_CMD_TIMEOUT_MS 1000

/** Bulk IN endpoint of the frame stream (used by the device API). */
#define VIZOR_EP_BULK_IN 0x81

/* ---- records ------------------------------------------------------------------- */

/** The USB group at the head of every vizor_ll_t; also an entry of
 * vizor_ll_dev_list. */
typedef struct vizor_ll_usb {
    struct libusb_context *usb_ctx;       /**< created by open, destroyed by close */
    struct libusb_device_handle *usb_hdl; /**< the open device; NULL when closed */
    uint32_t usb_id;                      /**< vendor id (low 16 bits), product id (high 16 bits) */
    uint8_t usb_bus_num;                  /**< USB bus number */
    uint8_t usb_port_num;                 /**< USB port number */
    uint8_t usb_addr;                     /**< USB device address */
    uint8_t usb_speed;     /**< libusb speed code: 0 unknown, 1 low, 2 full, 3 high, 4 super */
    pthread_t evt_thread;  /**< the device's event thread (valid while open) */
    int evt_stop;          /**< non-zero asks the event loop to end (set by close) */
    uint8_t evt_running;   /**< 1 while the event loop runs */
    uint8_t usb_loc_valid; /**< 1: bus and port name one camera (open picks it) */
} vizor_ll_usb_t;

/** One parameter record as it travels on the wire (20 bytes). */
typedef struct vizor_ll_param_wire {
    uint8_t param_id;      /**< low 8 bits of the parameter id */
    uint8_t param_val_len; /**< bytes of param_val in use (at most 18) */
    uint8_t param_val[18]; /**< value, spare bytes zero */
} vizor_ll_param_wire_t;

/* ---- library ------------------------------------------------------------------- */

/** @name Library
 * @{ */

/** Starts the transport.
 * Returns: true; the transport keeps no library-wide state but the debug
 *          level.
 * Thread:  the thread of vizor_init, which calls it. */
VZ_API bool vizor_ll_init(void) VZ_NOEXCEPT;

/** Ends the transport: does nothing.
 * Returns: nothing.
 * Thread:  the thread of vizor_uninit, which calls it. */
VZ_API void vizor_ll_uninit(void) VZ_NOEXCEPT;

/** Stores the libusb debug level (0 none .. 4 debug) applied to every USB
 * context created later.
 * Returns: level.
 * Thread:  any. */
VZ_API int vizor_ll_set_debug(int level) VZ_NOEXCEPT;

/** @} */

/* ---- devices ------------------------------------------------------------------- */

/** @name Devices
 * @{ */

/** Lists the cameras on the bus (matched by USB vendor and product id only)
 * into up to max entries, in libusb's device order. All max entries are
 * zeroed first; each camera found gets usb_id, bus, port, address, speed and
 * usb_loc_valid = 1 (no context or handle: nothing is opened). Uses a private
 * USB context and never touches an open device's.
 * Returns: the number of entries filled; 0 when none is found, on failure,
 *          or for entries NULL or max <= 0.
 * Buffers: max entries of the caller's are written.
 * Thread:  any. */
VZ_API int vizor_ll_dev_list(vizor_ll_usb_t *entries, int max) VZ_NOEXCEPT;

/** Opens a camera into ll: with usb_loc_valid set the camera at usb_bus_num /
 * usb_port_num (no other), otherwise the first camera that opens (which sets
 * usb_loc_valid, usb_id and the location fields). Selects configuration 1,
 * lets libusb detach a kernel driver, claims interface 0 or else 1, and
 * starts the event thread. A context already in ll is reused, otherwise one
 * is created with the vizor_ll_set_debug level.
 * Returns: ll; NULL when ll is NULL or on failure. On failure nothing stays
 *          open: a context this call created is released; a context the
 *          caller put in ll is kept when no camera was found and released
 *          when the camera was found but could not be set up.
 * Buffers: ll is the caller's; the context and handle stored in it belong to
 *          the transport until vizor_ll_dev_close.
 * Thread:  the thread that owns ll. */
VZ_API vizor_ll_t *vizor_ll_dev_open(vizor_ll_t *ll) VZ_NOEXCEPT;

/** Stops and joins the event thread (at once: the thread is woken), releases
 * the interfaces, closes the handle and destroys the context; usb_ctx and
 * usb_hdl become NULL.
 * Returns: nothing; a NULL ll or a device not open only logs a warning (a
 *          lone context is still released).
 * Thread:  the thread that owns ll, after the device API has cancelled and
 *          reaped its bulk transfers and while no other call uses ll.
 * Close:   must not run while another call on ll is in progress: the
 *          transport keeps no busy mark. */
VZ_API void vizor_ll_dev_close(vizor_ll_t *ll) VZ_NOEXCEPT;

/** Resets part of the camera. Target VIZOR_RESET_USB_IF (3): sends the reset
 * command, closes the device and reopens the camera at the same bus and port,
 * trying up to 15 times 200 ms apart (about 3 s at most). Other targets
 * (0 board, 1 sensor, ...): sends the reset command.
 * Returns: target 3: true when the camera was reopened, false otherwise (ll
 *          is then closed); other targets: the camera's status answer;
 *          false for a device not open.
 * Thread:  the thread that owns ll.
 * Close:   target 3 closes and reopens ll itself; no other call may use ll
 *          meanwhile. */
VZ_API bool vizor_ll_dev_reset(vizor_ll_t *ll, uint8_t target) VZ_NOEXCEPT;

/** @} */

/* ---- command channel ------------------------------------------------------------ */

/** @name Command channel
 * Contract shared by every call of this section and the next:
 * Buffers: the caller's, read or written during the call only, never beyond
 *          the length given.
 * Thread:  the thread that owns ll ("caller's thread"), one command at a
 *          time per device; the device's event thread must run.
 * Close:   a device that goes away makes the command fail within its own
 *          time-out; vizor_ll_dev_close itself must wait for the call.
 * @{ */

/** One command transfer on the control endpoint: setup (bmRequestType 0x22 for
 * dir != 0, 0xA2 for dir == 0; request; value; index 0; len), then for a write
 * len bytes from buf, for a read up to len bytes into buf (a short read stores
 * what arrived). timeout_ms is the transfer's libusb time-out (0: none); the
 * caller waits that long plus a margin (at least about 1.5 s). Does not read
 * the status.
 * Returns: true when exactly len payload bytes were transferred; false
 *          otherwise, for len above VIZOR_CTRL_PAYLOAD_MAX (nothing is sent)
 *          or when ll is NULL or not open. */
VZ_API bool vizor_ll_exe_cmd(vizor_ll_t *ll, int dir, uint8_t request, uint16_t value, void *buf,
                             uint16_t len, uint32_t timeout_ms) VZ_NOEXCEPT;

/** Status check after a command: reads the status reply, repeating it 1 ms
 * apart while the camera reports busy (for at most 10 s).
 * Returns: true when the reply names request and the low byte of value and
 *          reports done; false for another command named (even when done), a
 *          failure (its text is logged), a busy camera past the bound, or a
 *          failed read. */
VZ_API bool vizor_ll_check_last_cmd(vizor_ll_t *ll, uint8_t request, uint16_t value) VZ_NOEXCEPT;

/** Writes reg_cnt 32-bit values to register space target from register
 * reg_base (addresses count registers) in one transfer, then checks the
 * status. reg_cnt 0 still sends the header.
 * Returns: true on success; false on any failure, for values NULL with
 *          reg_cnt > 0, and for reg_cnt above VIZOR_REG_WRITE_MAX (1022: the
 *          payload would exceed VIZOR_CTRL_PAYLOAD_MAX; nothing is sent).
 * Buffers: reg_cnt values are read. */
VZ_API bool vizor_ll_reg_write(vizor_ll_t *ll, uint8_t target, uint32_t reg_base,
                               const uint32_t *values, uint16_t reg_cnt) VZ_NOEXCEPT;

/** Reads reg_cnt 32-bit values of register space target from reg_base into
 * values, 16 registers per exchange (header written and checked, values read
 * and checked). reg_cnt 0 sends nothing and succeeds.
 * Returns: true on success; false on failure (the values of earlier
 *          exchanges are then already stored).
 * Buffers: at most reg_cnt values are written. */
VZ_API bool vizor_ll_reg_read(vizor_ll_t *ll, uint8_t target, uint32_t reg_base, uint32_t *values,
                              uint16_t reg_cnt) VZ_NOEXCEPT;

/** Sends count parameter records in one transfer and checks the status
 * (count 0 sends an empty payload).
 * Returns: true on success; false on failure, for a negative count, items
 *          NULL with count > 0, or count above VIZOR_PARAM_SET_MAX (204: the
 *          payload would exceed VIZOR_CTRL_PAYLOAD_MAX; nothing is sent).
 * Buffers: count records are read. */
VZ_API bool vizor_ll_param_set(vizor_ll_t *ll, const vizor_ll_param_wire_t *items,
                               int count) VZ_NOEXCEPT;

/** Reads count parameters whose param_id the caller set: lengths and values
 * are cleared, then 3 records per exchange are written, checked, read back
 * and checked. On success each record holds the camera's length (clamped to
 * 18) and value. count 0 sends nothing and succeeds.
 * Returns: true on success; false on failure (records of earlier exchanges
 *          are already filled), for a negative count or items NULL with
 *          count > 0.
 * Buffers: count records are read and written. */
VZ_API bool vizor_ll_param_get(vizor_ll_t *ll, vizor_ll_param_wire_t *items, int count) VZ_NOEXCEPT;

/** @} */

/* ---- event handling and capture control ------------------------------------------ */

/** @name Event handling and capture control
 * The capture commands share the contract of the command channel.
 * @{ */

/** Runs libusb event handling on the device's context, each round waiting at
 * most timeout_ms, until *completed becomes non-zero or an error other than
 * busy, overflow or interrupted (a signal) ends it; with completed NULL it
 * handles events once. Sets evt_running while it runs.
 * Returns: the last libusb result (0 or a negative libusb error code;
 *          LIBUSB_ERROR_INVALID_PARAM when ll has no context).
 * Buffers: *completed is read, not written.
 * Thread:  the device's event thread runs this; other threads must not
 *          handle events of an open device.
 * Close:   vizor_ll_dev_close sets evt_stop, wakes the loop and joins it. */
VZ_API int vizor_ll_event_loop(vizor_ll_t *ll, int timeout_ms, int *completed) VZ_NOEXCEPT;

/** Asks the camera to stream frame_count frames (0: no limit) and checks the
 * status. The device API submits its bulk transfers on VIZOR_EP_BULK_IN
 * before calling this.
 * Returns: true when the camera confirmed the start; false otherwise or for
 *          ll NULL or not open. */
VZ_API bool vizor_ll_cap_start(vizor_ll_t *ll, uint32_t frame_count) VZ_NOEXCEPT;

/** Asks the camera to stop streaming and checks the status.
 * Returns: true when the camera confirmed the stop; false otherwise or for ll
 *          NULL or not open. */
VZ_API bool vizor_ll_cap_stop(vizor_ll_t *ll) VZ_NOEXCEPT;

/** @} */

VZ_EXTERN_C_END

#endif /* VIZOR_LL_H */
