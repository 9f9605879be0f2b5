/** \file
 * Stream reassembler: cuts the camera's bulk byte stream into frames.
 *
 * The camera sends 36-byte stream headers, each followed by dlen payload
 * bytes (a "chunk"). A chunk holds whole frames, the start of a frame, or the
 * continuation of the frame the previous chunk left incomplete. The host
 * receives this stream in bulk transfers of any length, so headers and frames
 * fall across transfer boundaries anywhere. The reassembler finds and verifies
 * the headers (magic, Fletcher-16 check sum, limits), follows the header and
 * frame indices, cuts the payload into frames, discards frames the stream
 * damaged, and keeps a bounded first-in first-out buffer of complete frames.
 *
 * Wire header (little-endian):
 *   0 magic FB 98 | 2 hdr_idx u16 | 4 dlen u32 (<= 0xFFFFF)
 *   8 frame_size u32 (1 .. 0x7FFFFFF) | 12 fridx u16 | 14 frame_format u16
 *   (<= 0x3FF) | 16 width u16 | 18 height u16 | 20 sensor_data[8]
 *   28 reserved[4] | 32 flags (bit 0: the chunk starts a new frame)
 *   33 reserved | 34 check sum: Fletcher-16 of bytes 0..33, s1 then s2.
 *
 * Frame drop policy:
 *   - A frame the stream damaged is discarded and counted in frames_discarded:
 *     an incomplete frame when a header index break, a transfer without the
 *     expected header, or the start of the next frame shows that bytes of it
 *     are lost; and a frame whose continuation arrives without its start (or
 *     with another frame index). After a break, a missing header or such a
 *     continuation, payload is skipped until the next header that starts a
 *     frame. A frame's bytes are never assembled at a wrong offset.
 *   - Frames of which nothing was assembled (a chunk of whole frames behind a
 *     damaged or lost header) are not counted; the gap in the frame index is
 *     logged at the next frame start.
 *   - When more than max_frames complete frames wait in the buffer, the oldest
 *     are dropped (frames_dropped_full); the newest always remain.
 *   - Only complete frames are ever handed out, each exactly once by a taking
 *     fetch. The reassembler cannot detect payload bytes that a device
 *     corrupted or miscounted within a chunk (there is no payload check sum).
 *
 * Threads: exactly one thread feeds a stream (vz_stream_feed_input; in the
 * library, the device's event thread). Any number of threads may fetch and
 * read the statistics at the same time as the feeder: one reader/writer lock
 * guards the buffer of complete frames. vz_stream_reset, vz_stream_destroy and
 * vz_stream_set_cfg must not run while the stream is being fed; destroy must
 * not run while any other call on the stream is in progress.
 *
 * No call fails on damaged input: it only produces log lines, discarded frames
 * and statistics. Every function accepts a NULL stream and then does nothing
 * (returning 0 or NULL).
 */
#ifndef VIZOR_STREAM_H
#define VIZOR_STREAM_H

#include <stdbool.h>
#include <stdint.h>
#include "vizor/export.h"

VZ_EXTERN_C_BEGIN

/** @name Wire constants
 * Wire constants of the stream header.
 * @{ */
#define VZ_STREAM_HDR_LEN          36u        /**< bytes of a stream header */
#define VZ_STREAM_MAGIC            0x98FBu    /**< bytes FB 98 in stream order */
#define VZ_STREAM_FLAG_SOF         0x01u      /**< flags bit 0: chunk starts a frame */
#define VZ_STREAM_MAX_DLEN         0xFFFFFu   /**< largest payload of one chunk */
#define VZ_STREAM_MAX_FRAME_SIZE   0x7FFFFFFu /**< largest frame, bytes */
#define VZ_STREAM_MAX_FRAME_FORMAT 0x3FFu     /**< largest frame format code */
/** @} */

/** Opaque reassembler; created by vz_stream_create, released by
 * vz_stream_destroy. */
typedef struct vz_stream vz_stream_t;

/** Configuration of a reassembler. */
typedef struct vz_stream_cfg {
    uint32_t max_frames; /**< most complete frames the buffer keeps */
} vz_stream_cfg_t;

/** Raw description of one reassembled frame (20 bytes). All fields but
 * frame_idx are copied from the header of the chunk in which the frame began;
 * frame_idx is that header's fridx plus the frames completed before it in the
 * same chunk, modulo 65536. */
typedef struct vz_stream_frame_hdr {
    uint32_t frame_size;    /**< bytes of the frame */
    uint16_t frame_idx;     /**< frame index (see above) */
    uint16_t frame_format;  /**< device format code */
    uint16_t width;         /**< pixels per row */
    uint16_t height;        /**< rows */
    uint8_t sensor_data[8]; /**< sensor-specific bytes, passed through */
} vz_stream_frame_hdr_t;

/** Statistics (ten 32-bit words), all counted since create or the last reset. */
typedef struct vz_stream_state {
    uint32_t frames_done;         /**< frames filled */
    uint32_t frames_ready_total;  /**< frames moved into the buffer */
    uint32_t frames_discarded;    /**< incomplete frames discarded for stream faults */
    uint32_t frames_dropped_full; /**< complete frames dropped because the buffer was full */
    uint32_t frames_in_buffer;    /**< complete frames in the buffer now */
    uint32_t rsvd0;               /**< 0 */
    uint32_t bytes_dropped;       /**< bytes skipped while hunting for a header plus
                                      bytes of discarded and dropped frames */
    uint32_t rsvd1;               /**< 0 */
    uint32_t reset_sec;           /**< wall-clock time of the last create or reset */
    uint32_t reset_usec;          /**< its microseconds (millisecond resolution) */
} vz_stream_state_t;

/**
 * Creates a reassembler keeping at most cfg->max_frames complete frames.
 * Returns: the new stream (no header held, not discarding, statistics zero,
 *          reset time taken); NULL when cfg is NULL or memory is short.
 * Buffers: cfg is read during the call; the stream is the caller's until
 *          vz_stream_destroy.
 * Thread:  any.
 */
VZ_API vz_stream_t *vz_stream_create(const vz_stream_cfg_t *cfg) VZ_NOEXCEPT;

/**
 * Releases every frame (complete or under assembly), the lock and the stream.
 * Returns: nothing; NULL is ignored.
 * Buffers: the stream and every frame it holds are freed; the pointer is
 *          invalid afterwards.
 * Thread:  any, once no other call on the stream is in progress; none may
 *          follow.
 */
VZ_API void vz_stream_destroy(vz_stream_t *stream) VZ_NOEXCEPT;

/**
 * Sets max_frames. Takes no lock and drops nothing now: the next frame that
 * becomes complete trims the buffer to the new bound.
 * Returns: nothing; NULL arguments are ignored.
 * Buffers: cfg is read during the call.
 * Thread:  any, while the stream is not being fed.
 */
VZ_API void vz_stream_set_cfg(vz_stream_t *stream, const vz_stream_cfg_t *cfg) VZ_NOEXCEPT;

/**
 * Copies the configuration into *cfg.
 * Returns: cfg; NULL when an argument is NULL.
 * Buffers: *cfg, the caller's, is written.
 * Thread:  any.
 */
VZ_API vz_stream_cfg_t *vz_stream_get_cfg(vz_stream_t *stream, vz_stream_cfg_t *cfg) VZ_NOEXCEPT;

/**
 * Releases every frame, forgets the held header and the index continuity,
 * zeroes the statistics and takes the reset time. A stream that was
 * discarding stays discarding, so it resumes at the next header that starts
 * a frame.
 * Returns: nothing; NULL is ignored.
 * Thread:  any, while the stream is not being fed; fetchers may run.
 */
VZ_API void vz_stream_reset(vz_stream_t *stream) VZ_NOEXCEPT;

/**
 * Consumes len bytes of the stream at data, in stream order. Complete frames
 * become available to vz_stream_fetch_frames before the call returns.
 * Allocates one block per frame, nothing else.
 * Returns: 1, always (a NULL stream or data, or len <= 0, consume nothing).
 * Buffers: len bytes of data, the caller's, are read during the call; the
 *          stream keeps copies.
 * Thread:  one feeding thread per stream; never concurrently with itself,
 *          vz_stream_reset, vz_stream_set_cfg or vz_stream_destroy.
 */
VZ_API int vz_stream_feed_input(vz_stream_t *stream, const void *data, int len) VZ_NOEXCEPT;

/**
 * Looks at (peek true) or takes (peek false) the oldest complete frames.
 * count is the number of frames wanted, cut to the frames in the buffer.
 * A peek leaves the frames in the buffer; with a NULL dst it only reports how
 * many frames could be looked at. A take removes the visited frames; with a
 * NULL dst they are dropped without copying.
 * Returns: the number of frames looked at or taken; 0 when none is ready or
 *          stream is NULL.
 * Buffers: dst (the caller's, or NULL) receives the frames' bytes back to
 *          back; no more than dst_len bytes are written, so a frame that
 *          does not fit is cut and later frames are not copied. first (the
 *          caller's, or NULL) receives the description of the first frame
 *          visited; it is not touched when the result is 0, or for a peek
 *          with a NULL dst.
 * Thread:  any, concurrently with the feeder and with other fetchers.
 */
VZ_API uint32_t vz_stream_fetch_frames(vz_stream_t *stream, void *dst, uint32_t dst_len,
                                       uint32_t count, vz_stream_frame_hdr_t *first,
                                       bool peek) VZ_NOEXCEPT;

/**
 * Copies the statistics into *state, consistently with the buffer (under the
 * read lock).
 * Returns: state; NULL when an argument is NULL.
 * Buffers: *state, the caller's, is written.
 * Thread:  any, also while the stream is being fed.
 */
VZ_API vz_stream_state_t *vz_stream_get_state(vz_stream_t *stream,
                                              vz_stream_state_t *state) VZ_NOEXCEPT;

VZ_EXTERN_C_END

#endif /**< VIZOR_STREAM_H */
