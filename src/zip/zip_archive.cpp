// The zip_* archive calls over minizip: open/close, entries written from
// memory or files, entries read into memory, files or a callback, and the
// archive made from a list of files.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <memory>
#include <string>
#include <vector>

#include "base/firewall.h"
#include "base/log.h"
#include "zip/zip_fs.h"
#include "zip/zip_impl.h"

namespace vz::zip {

namespace {

constexpr size_t kChunk = 65536;

zip_fileinfo now_info() {
    zip_fileinfo zi{};
    const time_t t = time(nullptr);
    struct tm tm {};
    if (localtime_r(&t, &tm)) {
        zi.tmz_date.tm_sec = uInt(tm.tm_sec);
        zi.tmz_date.tm_min = uInt(tm.tm_min);
        zi.tmz_date.tm_hour = uInt(tm.tm_hour);
        zi.tmz_date.tm_mday = uInt(tm.tm_mday);
        zi.tmz_date.tm_mon = uInt(tm.tm_mon);
        zi.tmz_date.tm_year = uInt(tm.tm_year + 1900);
    }
    return zi;
}

// Entries already in an archive (for appending).
int count_entries(const char *path) {
    unzFile r = unzOpen64(path);
    if (!r) return -1;
    unz_global_info64 gi{};
    const int rc = unzGetGlobalInfo64(r, &gi);
    unzClose(r);
    return rc == UNZ_OK && gi.number_entry <= 0x7FFFFFFF ? int(gi.number_entry) : -1;
}

bool reading(const zip_t *z) { return z && z->zr && z->entry_open; }
bool writing(const zip_t *z) { return z && z->zw && z->entry_open; }

// Folder descriptor and leaf of a caller's file path.
int open_parent_of(const std::string &path, std::string &leaf) {
    const size_t slash = path.rfind('/');
    leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    if (leaf.empty()) return -1;
    return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

bool current_name(unzFile r, std::string &name) {
    unz_file_info64 fi{};
    char buf[kMaxName + 1];
    if (unzGetCurrentFileInfo64(r, &fi, buf, sizeof buf, nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    if (fi.size_filename > kMaxName) return false;
    name.assign(buf, fi.size_filename);
    return name.find('\0') == std::string::npos;
}

int64_t read_current(unzFile r, const Sink &sink, const char *fn) {
    unz_file_info64 fi{};
    if (unzGetCurrentFileInfo64(r, &fi, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
        vz_err("[%s] cannot read the entry's description\n", fn);
        return -1;
    }
    if (fi.flag & 1u) {
        vz_err("[%s] encrypted entries are not supported\n", fn);
        return -1;
    }
    if (fi.uncompressed_size > VIZOR_ZIP_MAX_ENTRY) {
        vz_err("[%s] entry of %llu bytes above the limit\n", fn,
               static_cast<unsigned long long>(fi.uncompressed_size));
        return -1;
    }
    std::unique_ptr<char[]> buf(new char[kChunk]);
    uint64_t total = 0;
    uLong crc = crc32(0L, Z_NULL, 0);
    for (;;) {
        const int n = unzReadCurrentFile(r, buf.get(), unsigned(kChunk));
        if (n < 0) {
            vz_err("[%s] corrupt entry data (%d)\n", fn, n);
            return -1;
        }
        if (n == 0) break;
        total += uint64_t(n);
        if (total > fi.uncompressed_size) {
            vz_err("[%s] entry data longer than its recorded size %llu\n", fn,
                   static_cast<unsigned long long>(fi.uncompressed_size));
            return -1;
        }
        crc = crc32(crc, reinterpret_cast<const Bytef *>(buf.get()), uInt(n));
        if (!sink(buf.get(), size_t(n))) return -1;
    }
    if (total != fi.uncompressed_size || crc != fi.crc) {
        vz_err("[%s] entry data (%llu bytes) does not match its size %llu or check sum\n", fn,
               static_cast<unsigned long long>(total),
               static_cast<unsigned long long>(fi.uncompressed_size));
        return -1;
    }
    return int64_t(total);
}

}  // namespace vz::zip

extern "C" {

VZ_API struct zip_t *zip_open(const char *zipname, int level, char mode) noexcept {
    return vz::entry(__func__, static_cast<zip_t *>(nullptr), [&]() -> zip_t * {
        if (!zipname || !*zipname || level > 9 || (mode != 'r' && mode != 'w' && mode != 'a')) {
            vz_dbg("[%s] wrong params\n", "zip_open");
            return nullptr;
        }
        auto z = std::make_unique<zip_t>();
        z->mode = mode;
        z->level = level < 0 ? Z_DEFAULT_COMPRESSION : level;
        if (mode == 'r') {
            z->zr = unzOpen64(zipname);
        } else if (mode == 'w') {
            z->zw = zipOpen64(zipname, APPEND_STATUS_CREATE);
        } else {
            z->entries = vz::zip::count_entries(zipname);
            if (z->entries >= 0) z->zw = zipOpen64(zipname, APPEND_STATUS_ADDINZIP);
        }
        if (!z->zr && !z->zw) {
            vz_dbg("[%s] cannot open %s (mode %c)\n", "zip_open", zipname, mode);
            return nullptr;
        }
        return z.release();
    });
}

VZ_API void zip_close(struct zip_t *zip) noexcept {
    vz::entry_void(__func__, [&] {
        if (!zip) return;
        if (zip->entry_open) zip_entry_close(zip);
        if (zip->zw) zipClose(zip->zw, nullptr);
        if (zip->zr) unzClose(zip->zr);
        delete zip;
    });
}

VZ_API int zip_entry_open(struct zip_t *zip, const char *entryname) noexcept {
    return vz::entry(__func__, -1, [&] {
        if (!zip || !entryname || !*entryname || zip->entry_open) return -1;
        if (zip->zr) {
            if (unzLocateFile(zip->zr, entryname, 1) != UNZ_OK) return -1;
            if (unzOpenCurrentFile(zip->zr) != UNZ_OK) return -1;
        } else {
            if (strlen(entryname) > 0xFFFF) return -1;
            zip_fileinfo zi = vz::zip::now_info();
            const int method = zip->level == 0 ? 0 : Z_DEFLATED;
            if (zipOpenNewFileInZip64(zip->zw, entryname, &zi, nullptr, 0, nullptr, 0, nullptr,
                                      method, zip->level, 0) != ZIP_OK)
                return -1;
            ++zip->entries;
        }
        zip->entry_open = true;
        return 0;
    });
}

VZ_API int zip_entry_close(struct zip_t *zip) noexcept {
    return vz::entry(__func__, -1, [&] {
        if (!zip || !zip->entry_open) return -1;
        zip->entry_open = false;
        const int rc = zip->zr ? unzCloseCurrentFile(zip->zr) : zipCloseFileInZip(zip->zw);
        return rc == 0 ? 0 : -1;
    });
}

VZ_API int zip_entry_write(struct zip_t *zip, const void *buf, size_t bufsize) noexcept {
    return vz::entry(__func__, -1, [&] {
        if (!vz::zip::writing(zip) || (!buf && bufsize > 0)) return -1;
        const auto *p = static_cast<const char *>(buf);
        while (bufsize > 0) {
            const unsigned n = unsigned(bufsize < vz::zip::kChunk ? bufsize : vz::zip::kChunk);
            if (zipWriteInFileInZip(zip->zw, p, n) != ZIP_OK) return -1;
            p += n;
            bufsize -= n;
        }
        return 0;
    });
}

VZ_API int zip_entry_fwrite(struct zip_t *zip, const char *filename) noexcept {
    return vz::entry(__func__, -1, [&] {
        if (!vz::zip::writing(zip) || !filename) return -1;
        FILE *f = fopen(filename, "rb");
        if (!f) {
            vz_dbg("[%s] cannot open %s\n", "zip_entry_fwrite", filename);
            return -1;
        }
        std::unique_ptr<char[]> buf(new char[vz::zip::kChunk]);
        int rc = 0;
        size_t n;
        while (rc == 0 && (n = fread(buf.get(), 1, vz::zip::kChunk, f)) > 0)
            rc = zip_entry_write(zip, buf.get(), n);
        if (ferror(f)) rc = -1;
        fclose(f);
        return rc;
    });
}

VZ_API ssize_t zip_entry_read(struct zip_t *zip, void **buf, size_t *bufsize) noexcept {
    return vz::entry(__func__, ssize_t(-1), [&]() -> ssize_t {
        if (buf) *buf = nullptr;
        if (bufsize) *bufsize = 0;
        if (!vz::zip::reading(zip) || !buf) return -1;
        std::vector<char> data;
        const int64_t n = vz::zip::read_current(
            zip->zr,
            [&](const void *p, size_t size) {
                data.insert(data.end(), static_cast<const char *>(p),
                            static_cast<const char *>(p) + size);
                return true;
            },
            "zip_entry_read");
        if (n < 0) return -1;
        void *out = malloc(data.empty() ? 1 : data.size());
        if (!out) return -1;
        if (!data.empty()) memcpy(out, data.data(), data.size());
        *buf = out;
        if (bufsize) *bufsize = data.size();
        return ssize_t(n);
    });
}

VZ_API ssize_t zip_entry_fread(struct zip_t *zip, const char *filename) noexcept {
    return vz::entry(__func__, ssize_t(-1), [&]() -> ssize_t {
        if (!vz::zip::reading(zip) || !filename) return -1;
        std::string leaf;
        const int dirfd = vz::zip::open_parent_of(filename, leaf);
        if (dirfd < 0) return -1;
        ssize_t result = -1;
        {
            vz::zip::TempFile out(dirfd, leaf);
            if (out.ok()) {
                const int64_t n = vz::zip::read_current(
                    zip->zr, [&](const void *p, size_t size) { return out.write(p, size); },
                    "zip_entry_fread");
                if (n >= 0 && out.commit()) result = ssize_t(n);
            }
        }
        close(dirfd);
        return result;
    });
}

VZ_API int zip_entry_extract(struct zip_t *zip,
                             size_t (*on_extract)(void *arg, uint64_t offset, const void *data,
                                                  size_t size),
                             void *arg) noexcept {
    return vz::entry(__func__, -1, [&] {
        if (!vz::zip::reading(zip) || !on_extract) return -1;
        uint64_t offset = 0;
        const int64_t n = vz::zip::read_current(
            zip->zr,
            [&](const void *p, size_t size) {
                const bool ok = on_extract(arg, offset, p, size) == size;
                offset += size;
                return ok;
            },
            "zip_entry_extract");
        return n < 0 ? -1 : 0;
    });
}

VZ_API int zip_total_entries(struct zip_t *zip) noexcept {
    return vz::entry(__func__, -1, [&] {
        if (!zip) return -1;
        if (zip->zw) return zip->entries;
        unz_global_info64 gi{};
        if (unzGetGlobalInfo64(zip->zr, &gi) != UNZ_OK || gi.number_entry > 0x7FFFFFFF) return -1;
        return int(gi.number_entry);
    });
}

VZ_API int zip_create(const char *zipname, const char *filenames[], size_t len) noexcept {
    return vz::entry(__func__, -1, [&] {
        if (!zipname || (!filenames && len > 0)) return -1;
        zip_t *z = zip_open(zipname, -1, 'w');
        if (!z) return -1;
        int rc = 0;
        for (size_t i = 0; i < len && rc == 0; ++i) {
            const char *path = filenames[i];
            const char *base = path ? strrchr(path, '/') : nullptr;
            base = base ? base + 1 : path;
            if (!base || !*base || zip_entry_open(z, base) != 0) {
                rc = -1;
                break;
            }
            rc = zip_entry_fwrite(z, path);
            if (zip_entry_close(z) != 0) rc = -1;
        }
        zip_close(z);
        if (rc != 0) {
            vz_dbg("[%s] cannot create %s\n", "zip_create", zipname);
            unlink(zipname);
        }
        return rc;
    });
}

}  // extern "C"
