// libFuzzer target of the frame-file loaders: arbitrary file contents in a
// memory file, loaded frame after frame into destinations of several sizes.
// Checks memory safety (AddressSanitizer, UBSan) and what each load reports.
//
// Input: one control byte, then the file. Control bits 0-1 pick the loader
// pair (distance, gray, or alternating), bits 2-4 the destination size (0,
// 1, 3, 64, 4096, 76800 floats, or a NULL destination); bit 5 asks for the
// image size to be stored, bit 6 starts the file with a "VZ_DIST,U16,2,2"
// header so that the fuzzer spends its time past the header line.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vizor/vizor.h"

namespace {

#define CHECK(c)                    \
    do {                            \
        if (!(c)) __builtin_trap(); \
    } while (0)

constexpr int kDstSizes[8] = {0, 1, 3, 64, 4096, 76800, -1, 2};  // -1: NULL destination
constexpr int kMaxLoads = 64;

bool write_all(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        const ssize_t r = write(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    vz_log_enable(VZ_LOG_CH_CONSOLE, VZ_LOG_OFF, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t ctl = data[0];
    const int fd = memfd_create("vz_frame_file", MFD_CLOEXEC);
    if (fd < 0) return 0;
    static const char kPrefix[] = "VZ_DIST,U16,2,2\n";
    const auto *prefix = reinterpret_cast<const uint8_t *>(kPrefix);
    const bool ok = (!(ctl & 0x40) || write_all(fd, prefix, sizeof kPrefix - 1)) &&
                    write_all(fd, data + 1, size - 1) && lseek(fd, 0, SEEK_SET) == 0;
    if (!ok) {
        close(fd);
        return 0;
    }
    const int dst_len = kDstSizes[(ctl >> 2) & 7];
    // Exact-size heap block: any write past dst_len is caught.
    std::vector<float> dst(size_t(dst_len > 0 ? dst_len : 0));
    float *out = dst_len < 0 ? nullptr : dst.data();
    const bool want_size = ctl & 0x20;
    for (int i = 0; i < kMaxLoads; ++i) {
        const bool gray = (ctl & 3) == 1 || ((ctl & 3) == 2 && (i & 1));
        int w = -7, h = -7;
        const off_t before = lseek(fd, 0, SEEK_CUR);
        const int n = gray ? vizor_frame_load_gray(fd, out, dst_len, want_size ? &w : nullptr,
                                                   want_size ? &h : nullptr)
                           : vizor_frame_load_distance(fd, out, dst_len, want_size ? &w : nullptr,
                                                       want_size ? &h : nullptr);
        CHECK(n >= 0 && n <= (dst_len > 0 ? dst_len : 0));
        if (n > 0 && want_size) {
            // A frame loaded: its size was stored and bounds what was written.
            CHECK(w > 0 && h > 0);
            CHECK(int64_t(n) == std::min<int64_t>(dst_len, int64_t(w) * h));
        }
        if (n == 0 && lseek(fd, 0, SEEK_CUR) == before) break;  // nothing more to read
    }
    close(fd);
    return 0;
}
