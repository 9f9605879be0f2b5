/** \file
 * Data transfer of libvizor: writing data images (firmware, calibration data)
 * into the camera's flash and reading them back.
 *
 * A data image is an opaque byte string (a file's bytes, unchanged) stored by
 * the camera under a one-byte data type with a 16-bit version. It travels
 * through the command channel's data-transfer request (VIZOR_REQ_DATA, 0xCC)
 * as a sequence of actions, each a small fixed-layout record defined below:
 *
 *   write ("download", the data goes down to the camera):
 *     GET_INFO (type 0) -> version gate -> WRITE_INFO -> ACK (status INFO_OK)
 *     -> ERASE -> ACK until not ERASING (status READY) -> DATA chunks of at
 *     most 1018 bytes with a CRC-16, each answered by an ACK naming the next
 *     chunk the camera expects -> for types 0/1 a board reset and a 20 s
 *     wait, for types 2/3 a 7 s wait.
 *   read ("upload", the data comes up from the camera):
 *     GET_INFO (the type) -> PAYLOAD pieces of at most 450 bytes.
 *
 * Results: every function returns 1 on success and -1 on failure unless its
 * description says otherwise; each failure is also logged with the function's
 * name.
 *
 * Threads: all calls are synchronous and run on the caller's thread (the
 * device's event thread must be running, which it is while the device is
 * open). Only one transfer flow may run on one device at a time, and no other
 * command may be sent to that device meanwhile: interleaved actions would
 * confuse the camera's transfer state. The vizor_dev_t calls mark the device
 * busy for the whole flow, so vizor_dev_close waits for them. If another
 * thread closes the device during a vizor_ll_t level flow, the flow's next
 * exchange fails and the flow returns -1.
 *
 * Records are packed, little-endian on the wire (the library converts on
 * big-endian hosts), and have the exact sizes given with them.
 */
#ifndef VIZOR_DATATRANS_H
#define VIZOR_DATATRANS_H

#include <stdint.h>
#include "vizor/export.h"
#include "vizor/vizor.h"

VZ_EXTERN_C_BEGIN

/* ---- actions (wValue of the data-transfer request) ------------------------- */

/** @name Actions
 * Actions (wValue of the data-transfer request).
 * @{ */

#define AL_ACT_GET_INFO   0 /**< query: out al_data_info_t, then in al_data_info_t; 1000 ms */
#define AL_ACT_WRITE_INFO 1 /**< announcement: out al_write_info_t; 10000 ms */
/** Acknowledgement. Read: out 13 zero bytes, then in al_ack_t; 5000 ms each
 * (send: out al_ack_t, 1000 ms). */
#define AL_ACT_ACK 4
/* Action 5 (no name): read of 9 opaque bytes, out 9 then in 9; 5000 ms each. */
#define AL_ACT_DATA    6  /**< data chunk: out al_chunk_hdr_t + len data bytes; 1000 ms */
#define AL_ACT_ERASE   7  /**< flash erase: out al_erase_info_t; 10000 ms */
#define AL_ACT_PAYLOAD 17 /**< read piece: out al_payload_req_t, then in len bytes; 1000 ms */
/** @} */

/* ---- acknowledgement states (al_ack_t.status) ------------------------------ */

/** @name Acknowledgement states
 * Values of al_ack_t.status.
 * @{ */

#define AL_STATUS_READY   1 /**< erase done: ready for data */
#define AL_STATUS_INFO_OK 3 /**< announcement accepted */
#define AL_STATUS_ERASING 4 /**< erase still running */
/** @} */

/* ---- sizes ----------------------------------------------------------------- */

/** @name Sizes
 * @{ */

#define AL_CHUNK_MAX     1018        /**< data bytes per DATA action */
#define AL_PAYLOAD_MAX   450         /**< bytes per PAYLOAD read */
#define AL_NO_VALID_DATA 0xFFFFFFFFu /**< al_data_info_t.size: nothing stored */
#define AL_ACK9_ACTION   5           /**< the unnamed 9-byte read action */
#define AL_ACK9_LEN      9           /**< bytes of its request and reply */
/** @} */

/* ---- records (packed, little-endian) --------------------------------------- */

#pragma pack(push, 1)

/** What the camera holds for a data type (16 bytes). In a GET_INFO request
 * only type is meaningful; the reply fills the rest. */
typedef struct al_data_info {
    uint8_t type;     /**< request: the type asked about; reply: the type */
    uint8_t rsvd0;    /**< reserved */
    uint16_t version; /**< version of the stored image */
    uint32_t size;    /**< image bytes; AL_NO_VALID_DATA when nothing valid is stored */
    uint32_t addr;    /**< flash address of the image */
    uint32_t rsvd1;   /**< reserved */
} al_data_info_t;

/** Announces an image to be written (12 bytes). */
typedef struct al_write_info {
    uint8_t type;     /**< data type */
    uint8_t rsvd0;    /**< 0 */
    uint16_t version; /**< version of the new image */
    uint32_t size;    /**< image bytes */
    uint32_t rsvd1;   /**< 0 */
} al_write_info_t;

/** Starts the flash erase and fixes the chunking (13 bytes, unaligned). */
typedef struct al_erase_info {
    uint8_t type;        /**< data type */
    uint32_t size;       /**< image bytes */
    uint32_t chunk_size; /**< AL_CHUNK_MAX */
    uint32_t rsvd;       /**< 0 */
} al_erase_info_t;

/** The camera's answer in the write flow (13 bytes). */
typedef struct al_ack {
    uint32_t next;   /**< index of the next chunk expected (0 before the data) */
    uint8_t status;  /**< AL_STATUS_* */
    uint8_t rsvd[8]; /**< reserved */
} al_ack_t;

/** Header of one DATA action (6 bytes), followed on the wire by len bytes. */
typedef struct al_chunk_hdr {
    uint16_t crc; /**< al_data_calc_crc of the len data bytes */
    uint32_t len; /**< data bytes, 1 .. AL_CHUNK_MAX */
} al_chunk_hdr_t;

/** Asks for the next piece of a stored image (12 bytes); the camera keeps the
 * read position itself, from the last GET_INFO on. */
typedef struct al_payload_req {
    uint32_t rsvd0; /**< 0 */
    uint32_t len;   /**< bytes wanted, at most AL_PAYLOAD_MAX */
    uint32_t rsvd1; /**< 0 */
} al_payload_req_t;

#pragma pack(pop)

/* ---- progress (extension) -------------------------------------------------- */

/** Progress of a transfer flow: done of total image bytes have been accepted
 * by the camera (write) or stored in the file (read). */
typedef void (*vizor_data_progress_f)(void *user, uint32_t done, uint32_t total);

/**
 * Installs a process-wide progress callback for the write and read flows
 * (NULL, the default, removes it). A flow takes the callback current at its
 * start and calls it on the flow's own thread: once with done = 0 when the
 * data phase starts, then after every chunk the camera accepted (write) or
 * every piece written to the file (read); done reaches total only when all
 * data went through. The callback must not call data-transfer functions on
 * the same device.
 * Returns: nothing.
 * Buffers: user is passed to the callback untouched; the library does not
 *          own it, and it must stay valid while a flow may call it.
 * Thread:  any; flows already running keep their callback.
 */
VZ_API void vizor_data_set_progress_cb(vizor_data_progress_f cb, void *user) VZ_NOEXCEPT;

/* ---- records and check sum -------------------------------------------------- */

/** @name Records and check sum
 * The exchanges of one action each on the transport's per-device state.
 * Thread:  the thread that owns ll, one flow and no other command on the
 *          device meanwhile; the device's event thread must run.
 * Close:   a device closed or lost meanwhile makes the next exchange fail.
 * @{ */

/**
 * CRC-16/XMODEM (polynomial 0x1021, initial value 0, no reflection, no final
 * XOR) of buf. Only the low 16 bits of len count: a len of 65536 or more
 * covers len mod 65536 bytes, so 65536 gives 0 whatever the data.
 * Returns: the check sum.
 * Buffers: len mod 65536 bytes of buf are read; buf may be NULL only when
 *          that count is 0.
 * Thread:  any (pure).
 */
VZ_API uint16_t al_data_calc_crc(const uint8_t *buf, uint32_t len) VZ_NOEXCEPT;

/**
 * Sends one record of action act:
 *   AL_ACT_WRITE_INFO: info is an al_write_info_t (12 bytes; logged);
 *   AL_ACT_ACK, AL_ACT_ERASE: info is an al_ack_t / al_erase_info_t (13 bytes);
 *   AL_ACT_DATA: info is an al_chunk_hdr_t and data holds its len bytes.
 * Then checks the camera's status for (0xCC, act).
 * Returns: 1 on success; -1 for ll NULL or not open, info NULL, any other
 *          action, a DATA header whose len is 0 or above AL_CHUNK_MAX or
 *          with data NULL (nothing is sent then), a failed transfer or a
 *          failed status check.
 * Buffers: the record at info and (DATA) len bytes of data are read.
 */
VZ_API int al_data_send_action_info(vizor_ll_t *ll, uint8_t act, const void *info,
                                    const uint8_t *data) VZ_NOEXCEPT;

/**
 * Read exchange of action act: AL_ACT_ACK (13 bytes into an al_ack_t at dst)
 * or action 5 (9 bytes at dst). Sends a zero-filled record of that size,
 * checks the status, reads the reply and checks the status again.
 * Returns: 1 on success or, without any exchange, for any other action;
 *          0 for ll NULL or not open, dst NULL, or when the request could not
 *          be sent ("Write phase failed"); -1 when the reply could not be
 *          read ("Read phase failed").
 * Buffers: 13 or 9 bytes at dst are written, only on success.
 */
VZ_API int al_data_read_action_info(vizor_ll_t *ll, uint8_t act, void *dst) VZ_NOEXCEPT;

/**
 * Query exchange: sends the len bytes at buf with action act (AL_ACT_GET_INFO
 * with an al_data_info_t and len 16 in every use), checks the status, reads
 * len bytes back into buf and checks the status again.
 * Returns: 1 on success; 0 for ll NULL or not open, buf NULL, or a failed
 *          phase (buf may then hold a partial reply).
 * Buffers: len bytes of buf are read, then written.
 */
VZ_API int al_get_data_info(vizor_ll_t *ll, uint8_t act, void *buf, uint16_t len) VZ_NOEXCEPT;

/**
 * Reads the next n bytes of the image whose GET_INFO came last: stores n in
 * the al_payload_req_t at the start of buf (other fields zeroed), sends those
 * 12 bytes as AL_ACT_PAYLOAD, checks the status, reads n bytes into buf and
 * checks the status again.
 * Returns: 1 on success; 0 for ll NULL or not open, buf NULL, or a failed
 *          phase.
 * Buffers: buf must hold at least max(n, 12) bytes; they are written.
 */
VZ_API int al_get_data_payload(vizor_ll_t *ll, void *buf, uint16_t n) VZ_NOEXCEPT;

/**
 * Checks that the data image file at path can be read whole (it is read into
 * a temporary buffer, which is released again).
 * Returns: 1, with its size stored in *size when size is not NULL; -1 when
 *          path is NULL or the file cannot be opened (*size untouched), or
 *          when it is empty, larger than INT32_MAX bytes, cannot be buffered
 *          or read whole (then *size is set to 0).
 * Buffers: path is read during the call; *size is written.
 * Thread:  any.
 */
VZ_API int al_data_build_file_buffer(const char *path, int *size) VZ_NOEXCEPT;

/** @} */

/* ---- flows on the transport's per-device state ------------------------------ */

/** @name Flows on the transport's per-device state
 * Buffers: fname is read during the call; the file is the caller's.
 * Thread:  the thread that owns ll; only one flow and no other command on the
 *          device meanwhile. Blocks the calling thread for the whole flow.
 * Close:   the transport marks nothing busy: if another thread closes the
 *          device meanwhile, the flow's next exchange fails and the flow
 *          returns -1.
 * @{ */

/**
 * Writes the file fname into the camera's flash as data type type with the
 * new version version (reserved is unused). Refuses (before sending anything)
 * when the version stored for data type 0 is not lower than version. After
 * the last chunk: types 0 and 1 reset the board and wait 20 s, types 2 and 3
 * wait 7 s, other types return at once. The flash-erase wait polls every
 * 10 ms and gives up after 120 s.
 * Returns: 1 when the camera accepted every chunk; -1 otherwise (ll NULL or
 *          not open, file missing, empty or unreadable, failed query, version
 *          gate, any refused or failed action).
 */
VZ_API int vizor_bin_data_write(vizor_ll_t *ll, uint8_t type, uint16_t version, uint32_t reserved,
                                const char *fname) VZ_NOEXCEPT;

/**
 * Reads the image of data type type from the camera into the file fname
 * ("calib.bin" in the working directory when fname is NULL), created or
 * truncated, in pieces of 450 bytes. A stored size of 0 gives an empty file.
 * Returns: 1 on success; -1 for ll NULL or not open, a failed query, no valid
 *          data stored (no file is created then), a file that cannot be
 *          created or written, or a failed piece (what was written so far
 *          stays in the file).
 */
VZ_API int vizor_bin_data_read(vizor_ll_t *ll, uint8_t type, const char *fname) VZ_NOEXCEPT;

/** vizor_bin_data_write(ll, type, version, 0, fname).
 * Returns: as vizor_bin_data_write. */
VZ_API int vizor_ll_firmware_upgrade(vizor_ll_t *ll, uint8_t type, uint16_t version,
                                     const char *fname) VZ_NOEXCEPT;

/** @} */

/* ---- flows on an open device ------------------------------------------------- */

/** @name Flows on an open device
 * @{ */

/** Writes the file fname to the camera as data type type with version version
 * (the flow of vizor_bin_data_write); reserved is unused.
 * Returns: 1 on success; -1 on failure, or for a record not open ("Wrong
 *          params" at DBG).
 * Buffers: fname is read during the call; the file is read whole.
 * Thread:  the device's application thread; no other call on the device may
 *          run meanwhile. Blocks for the whole flow (up to a 20 s final wait).
 * Close:   the device is busy for the whole flow: a close from another thread
 *          returns after its bounded wait and completes when the flow ends. */
VZ_API int vizor_data_download(vizor_dev_t *dev, const char *fname, uint8_t type, uint16_t version,
                               uint32_t reserved) VZ_NOEXCEPT;

/** The same write flow as vizor_data_download, for firmware images; the same
 * contract.
 * Returns: as vizor_data_download. */
VZ_API int vizor_firmware_upgrade(vizor_dev_t *dev, uint8_t type, uint16_t version,
                                  const char *fname) VZ_NOEXCEPT;

/** Reads data type type from the camera into fname (NULL: "calib.bin"), the
 * flow of vizor_bin_data_read.
 * Returns: 1 on success; -1 on failure or for a record not open.
 * Buffers: fname is read during the call; the file is created or truncated.
 * Thread:  as vizor_data_download.
 * Close:   as vizor_data_download. */
VZ_API int vizor_data_upload(vizor_dev_t *dev, uint8_t type, const char *fname) VZ_NOEXCEPT;

/** @} */

VZ_EXTERN_C_END

#endif /**< VIZOR_DATATRANS_H */
