/** \file
 * Zip archives: a small convenience family over the system's minizip, the
 * one the library itself uses to unpack the calibration data a camera
 * carries. An archive is opened for reading ('r'), writing a new archive
 * ('w') or adding entries to an existing one ('a'); one entry at a time is
 * open on it.
 *
 * Results: functions returning int give 0 (or a count) on success and a
 * negative value on failure; ssize_t results are byte counts or negative.
 * No function writes past a buffer it is given, and archive contents are
 * untrusted: entry sizes are checked against the data actually decompressed;
 * encrypted entries are refused.
 *
 * Buffers: names, file names and data passed in are the caller's and are
 * read during the call only.
 *
 * Threads: a struct zip_t is used by one thread at a time; distinct archives
 * may be used concurrently. No callback runs on another thread.
 */
#ifndef VIZOR_ZIP_H
#define VIZOR_ZIP_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include "vizor/export.h"

VZ_EXTERN_C_BEGIN

/* An open archive (opaque); owned by the caller from zip_open to zip_close. */
struct zip_t;

/**
 * Opens the archive at zipname. level: compression level 0 (store) to 9 for
 * new entries, negative for the default; ignored when reading. mode: 'r'
 * read, 'w' create (an existing file is replaced), 'a' append to an existing
 * archive.
 * Returns: the archive; NULL when an argument is invalid (NULL or empty name,
 *          unknown mode, level above 9) or the file cannot be opened as
 *          asked.
 * Buffers: the archive is allocated and owned by the caller until zip_close.
 * Thread:  any.
 */
VZ_API struct zip_t *zip_open(const char *zipname, int level, char mode) VZ_NOEXCEPT;

/**
 * Closes the archive, closing an entry still open first; a written archive
 * gets its central directory here.
 * Returns: nothing; NULL does nothing.
 * Buffers: the archive is freed; the pointer is invalid afterwards.
 * Thread:  the archive's thread.
 */
VZ_API void zip_close(struct zip_t *zip) VZ_NOEXCEPT;

/**
 * Opens the entry entryname. Writing: starts a new entry of that name (the
 * name is stored as given; at most 65535 bytes). Reading: finds the entry
 * by its exact name.
 * Returns: 0; negative for zip NULL, when another entry is still open, the
 *          name is NULL or empty or too long, or (reading) no entry has that
 *          name.
 * Thread:  the archive's thread.
 */
VZ_API int zip_entry_open(struct zip_t *zip, const char *entryname) VZ_NOEXCEPT;

/**
 * Closes the open entry.
 * Returns: 0; negative for zip NULL, no entry open, or (reading) an entry
 *          whose data failed its check sum after having been read completely.
 * Thread:  the archive's thread.
 */
VZ_API int zip_entry_close(struct zip_t *zip) VZ_NOEXCEPT;

/**
 * Writing: appends bufsize bytes from buf to the open entry.
 * Returns: 0; negative when no entry is open for writing, buf is NULL with
 *          bufsize > 0, or the write fails.
 * Buffers: bufsize bytes of buf are read.
 * Thread:  the archive's thread.
 */
VZ_API int zip_entry_write(struct zip_t *zip, const void *buf, size_t bufsize) VZ_NOEXCEPT;

/**
 * Writing: appends the whole contents of the file filename to the open
 * entry.
 * Returns: 0; negative when no entry is open for writing, filename is NULL,
 *          the file cannot be read or the write fails.
 * Thread:  the archive's thread.
 */
VZ_API int zip_entry_fwrite(struct zip_t *zip, const char *filename) VZ_NOEXCEPT;

/**
 * Reading: decompresses the whole open entry into a new buffer. An entry
 * whose data does not match its recorded size or check sum, or whose size
 * exceeds VIZOR_ZIP_MAX_ENTRY, fails.
 * Returns: bytes read; negative when no entry is open for reading, buf is
 *          NULL, the data fails its checks or memory is short.
 * Buffers: *buf receives a buffer allocated with malloc that the caller
 *          frees (at least 1 byte, also for an empty entry; NULL on failure);
 *          *bufsize, when bufsize is not NULL, its size (0 on failure).
 * Thread:  the archive's thread.
 */
VZ_API ssize_t zip_entry_read(struct zip_t *zip, void **buf, size_t *bufsize) VZ_NOEXCEPT;

/**
 * Reading: decompresses the open entry into the file filename. The file
 * appears only complete: the data goes to a temporary file beside it, which
 * replaces filename once the entry has been read and checked, and is removed
 * on any failure.
 * Returns: bytes written; negative when no entry is open for reading,
 *          filename is NULL, the data fails its checks or a write fails.
 * Thread:  the archive's thread.
 */
VZ_API ssize_t zip_entry_fread(struct zip_t *zip, const char *filename) VZ_NOEXCEPT;

/**
 * Reading: streams the open entry to on_extract(arg, offset, data, size) in
 * pieces; a callback result other than size stops the extraction with a
 * failure.
 * Returns: 0; negative when no entry is open for reading, on_extract is NULL,
 *          the callback stops, or the data fails its size or check-sum test
 *          (which the callback may already have seen in part).
 * Buffers: data is the library's, valid during the callback only; arg is
 *          passed through untouched.
 * Thread:  the archive's thread; the callback runs on it, inside the call.
 */
VZ_API int zip_entry_extract(struct zip_t *zip,
                             size_t (*on_extract)(void *arg, uint64_t offset, const void *data,
                                                  size_t size),
                             void *arg) VZ_NOEXCEPT;

/**
 * Number of entries: those in the archive when reading, those in the
 * archive so far (the existing ones included for 'a') when writing.
 * Returns: the count; negative for NULL or an unreadable directory.
 * Thread:  the archive's thread.
 */
VZ_API int zip_total_entries(struct zip_t *zip) VZ_NOEXCEPT;

/**
 * Creates the archive zipname from len files; each is stored under its base
 * name (the part after the last '/').
 * Returns: 0; negative for zipname NULL, filenames NULL with len > 0, or when
 *          a file cannot be read or the archive cannot be written (the
 *          incomplete archive is removed).
 * Buffers: len file names of filenames are read.
 * Thread:  any.
 */
VZ_API int zip_create(const char *zipname, const char *filenames[], size_t len) VZ_NOEXCEPT;

/**
 * Extracts every entry of the archive zipname into the existing folder dir.
 * After each entry on_extract_entry(name, arg) is called with the entry's
 * name as stored (when not NULL); a non-zero result ends the extraction
 * (result 0). Names ending in '/' make folders.
 *
 * Nothing is ever written outside dir: an archive with an entry whose name
 * is absolute, contains a backslash, an empty, "." or ".." component, or a
 * control character, is refused as a whole before anything is extracted;
 * folders below dir are entered without following symbolic links. Each file
 * appears only complete: its data goes to a temporary file in its folder,
 * which takes the entry's name once the data has been read and its size and
 * check sum verified; on any failure the temporary file is removed and the
 * extraction ends. Entries extracted before a failing one stay.
 *
 * Returns: 0 on success; negative on failure (bad arguments, unreadable or
 *          corrupt archive, refused names, data errors, write errors).
 * Buffers: the name given to the callback is the library's, valid during the
 *          callback only; arg is passed through untouched.
 * Thread:  any; the callback runs on the calling thread, inside the call.
 */
VZ_API int zip_extract(const char *zipname, const char *dir,
                       int (*on_extract_entry)(const char *filename, void *arg),
                       void *arg) VZ_NOEXCEPT;

/** Largest entry (uncompressed bytes) that the reading calls accept. */
#define VIZOR_ZIP_MAX_ENTRY (1024u * 1024u * 1024u)

VZ_EXTERN_C_END

#endif /* VIZOR_ZIP_H */
