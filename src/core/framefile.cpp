// Frame files: a text header line naming kind, sample format and image size,
// then whole frames of little-endian samples. The descriptor's position says
// whether the header is due, so repeated calls record or play a sequence.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>

#include "base/firewall.h"
#include "core/convert.h"
#include "vizor/vizor.h"

namespace {

constexpr int64_t kMaxFrameBytes = int64_t(64) << 20;  // larger frames are refused
constexpr size_t kHeaderCap = 256;                     // header line incl. newline
constexpr size_t kChunkBytes = 16384;                  // conversion buffer on the stack

enum Kind { kDist = 0, kGray = 1 };

// The last header a load of each kind parsed; loads past the header use it.
struct Header {
    int w = 0;
    int h = 0;
    int fmt = 0;
};
std::mutex g_hdr_mu;
Header g_hdr[2];  // guarded by g_hdr_mu

Header remembered(Kind k) {
    std::lock_guard lk(g_hdr_mu);
    return g_hdr[k];
}

void remember(Kind k, const Header &h) {
    std::lock_guard lk(g_hdr_mu);
    g_hdr[k] = h;
}

void forget_size(Kind k) {
    std::lock_guard lk(g_hdr_mu);
    g_hdr[k].w = 0;
    g_hdr[k].h = 0;
}

int sample_bytes(int fmt) {
    switch (fmt) {
    case VIZOR_SAVE_FMT_F32:
    case VIZOR_SAVE_FMT_U32: return 4;
    case VIZOR_SAVE_FMT_U16: return 2;
    default: return 1;
    }
}

const char *fmt_token(int fmt) {
    switch (fmt) {
    case VIZOR_SAVE_FMT_F32: return "F32";
    case VIZOR_SAVE_FMT_U32: return "U32";
    case VIZOR_SAVE_FMT_U16: return "U16";
    default: return "U8";
    }
}

// Size of one frame in bytes, or -1 for sizes a frame file does not hold.
int64_t frame_bytes(int w, int h, int fmt) {
    if (w <= 0 || h <= 0) return -1;
    const int64_t bytes = int64_t(w) * h * sample_bytes(fmt);
    return bytes > kMaxFrameBytes ? -1 : bytes;
}

bool write_all(int fd, const void *buf, size_t len) {
    const auto *p = static_cast<const uint8_t *>(buf);
    while (len > 0) {
        const ssize_t r = write(fd, p, len);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        len -= size_t(r);
    }
    return true;
}

// Reads until len bytes or the end of the file. Returns the bytes read, or -1
// when an error came before any byte.
int64_t read_full(int fd, void *buf, size_t len) {
    auto *p = static_cast<uint8_t *>(buf);
    size_t got = 0;
    while (got < len) {
        const ssize_t r = read(fd, p + got, len - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return got ? int64_t(got) : -1;
        if (r == 0) break;
        got += size_t(r);
    }
    return int64_t(got);
}

bool at_start(int fd) { return lseek(fd, 0, SEEK_CUR) == 0; }

void put_le(uint8_t *p, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = uint8_t(v >> (8 * i));
}

uint32_t get_le(const uint8_t *p, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint32_t(p[i]) << (8 * i);
    return v;
}

// Sample word of one value for a kind and format (truncations toward zero).
uint32_t encode(Kind k, int fmt, float v) {
    if (k == kGray) return uint32_t(vz::trunc_i32(v));  // low 16 or 8 bits are kept
    switch (fmt) {
    case VIZOR_SAVE_FMT_F32: {
        uint32_t w;
        memcpy(&w, &v, sizeof w);
        return w;
    }
    case VIZOR_SAVE_FMT_U32: return uint32_t(uint64_t(vz::trunc_i64(v * 1000)));
    default: return uint32_t(vz::trunc_i32(v * 1000));
    }
}

float decode(Kind k, int fmt, uint32_t w) {
    if (k == kGray) return float(w);
    if (fmt == VIZOR_SAVE_FMT_F32) {
        float v;
        memcpy(&v, &w, sizeof v);
        return v;
    }
    return float(w) / 1000;
}

// Converts n values and writes them in chunks. False on a short write.
bool write_samples(int fd, Kind k, int fmt, const float *v, int64_t n) {
    const int sb = sample_bytes(fmt);
    const int64_t per_chunk = int64_t(kChunkBytes) / sb;
    uint8_t chunk[kChunkBytes];
    while (n > 0) {
        const int64_t m = n < per_chunk ? n : per_chunk;
        for (int64_t i = 0; i < m; ++i) put_le(chunk + i * sb, encode(k, fmt, v[i]), sb);
        if (!write_all(fd, chunk, size_t(m * sb))) return false;
        v += m;
        n -= m;
    }
    return true;
}

// Parses a decimal number as "%d" reads it: blanks, an optional sign, digits.
// Numbers beyond int are rejected.
bool parse_int(const char *&s, int &out) {
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
    bool neg = false;
    if (*s == '+' || *s == '-') neg = *s++ == '-';
    if (*s < '0' || *s > '9') return false;
    int64_t v = 0;
    while (*s >= '0' && *s <= '9') {
        v = v * 10 + (*s++ - '0');
        if (v > int64_t(INT32_MAX) + 1) return false;
    }
    v = neg ? -v : v;
    if (v > INT32_MAX || v < INT32_MIN) return false;
    out = int(v);
    return true;
}

// Matches "<prefix>%d,%d" at the start of line.
bool match_header(const char *line, const char *prefix, int &w, int &h) {
    const size_t n = strlen(prefix);
    if (strncmp(line, prefix, n) != 0) return false;
    const char *s = line + n;
    if (!parse_int(s, w) || *s++ != ',') return false;
    return parse_int(s, h);
}

// Reads and checks the header line at the start of the file. On success the
// descriptor stands at the first frame and the header is remembered.
bool load_header(Kind k, const char *fn, int fd, Header &out) {
    char buf[kHeaderCap + 1];
    const int64_t got = read_full(fd, buf, kHeaderCap);
    if (got <= 0) {
        vz_err("[%s] faile to load VZ file header\n", fn);
        return false;
    }
    // The writer's header line always fits in 256 bytes with its newline.
    const auto *nl = static_cast<const char *>(memchr(buf, '\n', size_t(got)));
    bool ok = nl != nullptr;
    Header h;
    if (ok) {
        buf[nl - buf] = '\0';
        static const struct {
            Kind kind;
            const char *prefix;
            int fmt;
        } kHeaders[] = {
            {kDist, "VZ_DIST,F32,", VIZOR_SAVE_FMT_F32},
            {kDist, "VZ_DIST,U32,", VIZOR_SAVE_FMT_U32},
            {kDist, "VZ_DIST,U16,", VIZOR_SAVE_FMT_U16},
            {kGray, "VZ_GRAY,U8,", VIZOR_SAVE_FMT_U8},
            {kGray, "VZ_GRAY,U16,", VIZOR_SAVE_FMT_U16},
        };
        ok = false;
        for (const auto &c : kHeaders) {
            if (c.kind == k && match_header(buf, c.prefix, h.w, h.h)) {
                h.fmt = c.fmt;
                ok = frame_bytes(h.w, h.h, h.fmt) > 0;
                break;
            }
        }
    }
    if (ok) ok = lseek(fd, off_t(nl - buf + 1), SEEK_SET) >= 0;
    if (!ok) {
        vz_err("[%s] faile to load VZ file header\n", fn);
        forget_size(k);
        return false;
    }
    remember(k, h);
    out = h;
    return true;
}

int load_frame(Kind k, const char *fn, int fd, float *dst, int dst_len, int *img_w, int *img_h) {
    Header h;
    if (at_start(fd)) {
        if (!load_header(k, fn, fd, h)) return 0;
    } else {
        h = remembered(k);
    }
    if (h.w == 0 || h.h == 0) return 0;
    const int64_t bytes = frame_bytes(h.w, h.h, h.fmt);
    if (bytes <= 0) return 0;  // a remembered header was checked when parsed
    auto *buf = static_cast<uint8_t *>(malloc(size_t(bytes)));
    if (!buf) {
        vz_err("[%s] malloc failed!\n", fn);
        return 0;
    }
    const int64_t got = read_full(fd, buf, size_t(bytes));
    if (got != bytes) {
        vz_err("[%s] read %d date failed: ret= %d\n", fn, int(bytes), int(got));
        free(buf);
        return 0;
    }
    const int sb = sample_bytes(h.fmt);
    const int64_t pixels = int64_t(h.w) * h.h;
    const int64_t n = dst && dst_len > 0 ? (dst_len < pixels ? dst_len : pixels) : 0;
    for (int64_t i = 0; i < n; ++i) dst[i] = decode(k, h.fmt, get_le(buf + i * sb, sb));
    free(buf);
    if (img_w) *img_w = h.w;
    if (img_h) *img_h = h.h;
    return int(n);
}

}  // namespace

extern "C" {

VZ_API int vizor_frame_save_distance(int fd, int fmt, const float *dist, int dist_len, int img_w,
                                     int img_h) noexcept {
    static const char *const fn = "vizor_frame_save_distance";
    return vz::entry(fn, 0, [&] {
        if (fmt != VIZOR_SAVE_FMT_F32 && fmt != VIZOR_SAVE_FMT_U32 && fmt != VIZOR_SAVE_FMT_U16) {
            vz_err("[%s] wrong distance save format: %d\n", fn, fmt);
            return 0;
        }
        if (frame_bytes(img_w, img_h, fmt) < 0) {
            vz_err("[%s] wrong image size: %dx%d\n", fn, img_w, img_h);
            return 0;
        }
        const int64_t pixels = int64_t(img_w) * img_h;
        const int64_t n = dist_len > 0 ? dist_len / pixels * pixels : 0;  // whole frames only
        if (n > 0 && !dist) {
            vz_err("[%s] wrong image buffer\n", fn);
            return 0;
        }
        if (at_start(fd)) {
            char hdr[kHeaderCap];
            const int len =
                snprintf(hdr, sizeof hdr, "VZ_DIST,%s,%d,%d\n", fmt_token(fmt), img_w, img_h);
            if (!write_all(fd, hdr, size_t(len))) {
                vz_err("[%s] faile to save VZ_DIST header\n", fn);
                return 0;
            }
        }
        if (!write_samples(fd, kDist, fmt, dist, n)) {
            const int64_t bytes = n * sample_bytes(fmt);
            vz_err("[%s] faile to save VZ_DIST %s data: %d bytes\n", fn, fmt_token(fmt),
                   bytes > INT32_MAX ? INT32_MAX : int(bytes));
            return 0;
        }
        return 1;
    });
}

VZ_API int vizor_frame_save_gray(int fd, int fmt, const float *src, int src_len, int img_w,
                                 int img_h) noexcept {
    static const char *const fn = "vizor_frame_save_gray";
    return vz::entry(fn, 0, [&] {
        if (fmt != VIZOR_SAVE_FMT_U16 && fmt != VIZOR_SAVE_FMT_U8) {
            vz_err("[%s] wrong gray save format: %d\n", fn, fmt);
            return 0;
        }
        if (frame_bytes(img_w, img_h, fmt) < 0) {
            vz_err("[%s] wrong image size: %dx%d\n", fn, img_w, img_h);
            return 0;
        }
        const int64_t pixels = int64_t(img_w) * img_h;
        // One whole frame per call: fewer samples would leave a short frame in the
        // file under a header that promises a full one.
        if (!src || src_len < pixels) {
            vz_err("[%s] gray data shorter than one frame: %d < %dx%d\n", fn, src_len, img_w,
                   img_h);
            return 0;
        }
        if (at_start(fd)) {
            char hdr[kHeaderCap];
            const int len =
                snprintf(hdr, sizeof hdr, "VZ_GRAY,%s,%d,%d\n", fmt_token(fmt), img_w, img_h);
            if (!write_all(fd, hdr, size_t(len))) {
                vz_err("[%s] faile to save VZ_GRAY header\n", fn);
                return 0;
            }
        }
        if (!write_samples(fd, kGray, fmt, src, pixels)) {
            vz_err("[%s] faile to save VZ_GRAY %s data: %d bytes\n", fn, fmt_token(fmt),
                   int(pixels * sample_bytes(fmt)));
            return 0;
        }
        return 1;
    });
}

VZ_API int vizor_frame_load_distance(int fd, float *dst, int dst_len, int *img_w,
                                     int *img_h) noexcept {
    const char *fn = __func__;
    return vz::entry(fn, 0, [&] { return load_frame(kDist, fn, fd, dst, dst_len, img_w, img_h); });
}

VZ_API int vizor_frame_load_gray(int fd, float *dst, int dst_len, int *img_w, int *img_h) noexcept {
    const char *fn = __func__;
    return vz::entry(fn, 0, [&] { return load_frame(kGray, fn, fd, dst, dst_len, img_w, img_h); });
}

}  // extern "C"
