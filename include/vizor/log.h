/** \file
 * Leveled logging of libvizor.
 *
 * Every line goes to standard output when its level is at least the console
 * threshold (channel 0) and to the log file when one is open and the level is
 * at least the file threshold (channel 1). A line reads
 *   "2021/07/04 09:05:07.042[5524][DBG] [function] message"
 * with the local time, the calling thread's kernel id and the level's tag.
 *
 * Threads: every function may be called from any thread. The thresholds are
 * atomic and the log file is guarded by a lock, so a line being written is
 * never cut by a change of file; lines of different threads may interleave
 * on the console, and a line racing a change of threshold may or may not be
 * written.
 */
#ifndef VIZOR_LOG_H
#define VIZOR_LOG_H

#include <stdint.h>
#include "vizor/export.h"

VZ_EXTERN_C_BEGIN

/** @name Levels
 * Levels and the tags callers pass with them. Level 5 only silences.
 * @{ */
#define VZ_LOG_TRC 0u /**< trace */
#define VZ_LOG_DBG 1u /**< debug */
#define VZ_LOG_INF 2u /**< information */
#define VZ_LOG_WRN 3u /**< warning */
#define VZ_LOG_ERR 4u /**< error */
#define VZ_LOG_OFF 5u /**< as a threshold: nothing is written */
/** @} */

/** @name Channels
 * Channels of vz_log_enable. Channel 2 is stored but feeds no output.
 * @{ */
#define VZ_LOG_CH_CONSOLE 0u /**< standard output */
#define VZ_LOG_CH_FILE    1u /**< the log file */
#define VZ_LOG_CH_AUX     2u /**< auxiliary threshold, no output */
/** @} */

/**
 * Writes one line: time stamp, "[tag] ", then the message formatted from fmt.
 * Messages carry their own line ends. Output errors are ignored; the console
 * is not flushed, the file is flushed after every line.
 * Returns: nothing; fmt NULL writes nothing, tag NULL is an empty tag.
 * Buffers: tag, fmt and the arguments are read during the call only.
 * Thread:  any.
 */
VZ_API void vz_log(uint32_t level, const char *tag, const char *fmt, ...) VZ_NOEXCEPT
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/**
 * Sets the threshold of a channel (0 console, 1 file, 2 auxiliary).
 * For channel 1: with path NULL an open file stays open, otherwise "vz.log" is
 * opened; with the path of the file already open nothing changes; any other
 * path closes the open file and opens the new one for appending.
 * Returns: 1 on success; 0 for a channel above 2 (nothing changes) or when
 *          the file cannot be opened (a message goes to standard error, no
 *          file stays open).
 * Buffers: path is read during the call; the library keeps its own copy.
 * Thread:  any.
 */
VZ_API int vz_log_enable(uint32_t channel, int level, const char *path) VZ_NOEXCEPT;

/**
 * Silences all channels (level 5) and closes the log file.
 * Returns: the result of closing the file (0 on success), or 0 when none was
 *          open.
 * Thread:  any.
 */
VZ_API int vz_log_disable(void) VZ_NOEXCEPT;

VZ_EXTERN_C_END

#endif /* VIZOR_LOG_H */
