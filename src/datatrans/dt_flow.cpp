// The data-image flows: writing a file into the camera's flash (announce,
// erase, CRC-protected chunks, reset and settle) and reading a stored image
// back into a file.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "base/clock.h"
#include "base/firewall.h"
#include "datatrans/datatrans.h"

namespace vz::dt {
namespace {

void default_sleep(uint32_t ms) { vz::sleep_ms(ms); }
int64_t default_now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               mono_clock::now().time_since_epoch())
        .count();
}

std::atomic<void (*)(uint32_t)> g_sleep{default_sleep};
std::atomic<int64_t (*)()> g_now{default_now};

std::mutex g_progress_mu;
Progress g_progress;  // guarded by g_progress_mu

// Closes a stdio stream on every path.
struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

void warn_banner(const char *fn) {
    vz_wrn("[%s] ----------------------------------------------------------\n", fn);
    vz_wrn("[%s] !!! DO NOT RESET or POWER OFF the board until return !!!!\n", fn);
    vz_wrn("[%s] ----------------------------------------------------------\n", fn);
}

// Queries what the camera holds for data type type; logs it. False when the
// query failed (already logged by the record function).
bool query_info(const char *fn, vizor_ll_t *ll, uint8_t type, al_data_info_t *info) {
    vz_dbg("[%s] Get info\n", fn);
    uint8_t bytes[kInfoLen] = {};
    bytes[0] = type;
    if (al_get_data_info(ll, AL_ACT_GET_INFO, bytes, uint16_t(kInfoLen)) != 1) return false;
    *info = decode_info(bytes);
    vz_inf("[%s] Version:%hu,type:%hu, addr:0x%x,data size:%d\n", fn, (unsigned short)info->version,
           (unsigned short)info->type, unsigned(info->addr), int(info->size));
    return true;
}

// Reads the whole file into memory. Null (after its log line) on failure;
// *size receives the file size.
std::unique_ptr<uint8_t[]> load_image(const char *fn, const char *fname, uint32_t *size) {
    File f(fname ? std::fopen(fname, "rb") : nullptr);
    if (!f) {
        vz_inf("[%s] File open failed\n", fn);
        return nullptr;
    }
    long end = -1;
    if (std::fseek(f.get(), 0, SEEK_END) == 0) end = std::ftell(f.get());
    std::rewind(f.get());
    // The size travels as a 32-bit count and is logged as int: larger files
    // (and streams without a size) are refused like an empty one.
    const int file_size = (end >= 0 && end <= INT_MAX) ? int(end) : -1;
    vz_inf("[%s] File size:%d\n", fn, file_size);
    if (file_size <= 0) {
        vz_err("[%s] data upgrade failed!\n", fn);
        return nullptr;
    }
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[size_t(file_size)]);
    if (!buf) {
        vz_inf("[%s] Firmware image file loading failed.\n", fn);
        return nullptr;
    }
    const size_t got = std::fread(buf.get(), 1, size_t(file_size), f.get());
    vz_inf("[%s] File read ok,%d\n", fn, int(got));
    if (got != size_t(file_size)) {
        vz_inf("[%s] Firmware image file loading failed.\n", fn);
        return nullptr;
    }
    vz_inf("[%s] Firmware image file loaded.\n", fn);
    *size = uint32_t(file_size);
    return buf;
}

// Reads one acknowledgement; logs "DATA ACK failed" when the exchange fails.
bool read_ack(const char *fn, vizor_ll_t *ll, al_ack_t *ack) {
    if (al_data_read_action_info(ll, AL_ACT_ACK, ack) == 1) return true;
    vz_err("[%s] DATA ACK failed\n", fn);
    return false;
}

// Waits until the camera no longer reports its erase running: one
// acknowledgement read every kErasePollMs, for at most kEraseLimitMs.
bool wait_erase(const char *fn, vizor_ll_t *ll, al_ack_t *ack) {
    const Timing t = timing();
    const int64_t deadline = t.now_ms() + kEraseLimitMs;
    for (;;) {
        if (!read_ack(fn, ll, ack)) return false;
        if (ack->status != AL_STATUS_ERASING) return true;
        if (t.now_ms() >= deadline) {
            vz_err("[%s] Flash erase timeout\n", fn);
            return false;
        }
        t.sleep_ms(kErasePollMs);
    }
}

// Announcement, erase and data phase of a write; true when the camera
// accepted every chunk. Failures are logged here, but for the final
// "data upgrade failed!" line of the caller.
bool send_image(const char *fn, vizor_ll_t *ll, uint8_t type, uint16_t version, const uint8_t *img,
                uint32_t size, const Progress &progress) {
    vz_inf("[%s] send action info\n", fn);
    const al_write_info_t wi{type, 0, version, size, 0};
    if (al_data_send_action_info(ll, AL_ACT_WRITE_INFO, &wi, nullptr) != 1) return false;

    al_ack_t ack{};
    if (!read_ack(fn, ll, &ack)) return false;
    vz_inf("[%s] read ack: next=%d, status=%d\n", fn, int(ack.next), int(ack.status));
    if (ack.next != 0 || ack.status != AL_STATUS_INFO_OK) {
        vz_err("[%s] Wrong version(Target:%d,Now:%d)\n", fn, int(ack.next), int(version));
        return false;
    }
    vz_inf("[%s] INFO ack ok\n", fn);

    vz_inf("[%s] Wait flash erase.....\n", fn);
    const al_erase_info_t ei{type, size, AL_CHUNK_MAX, 0};
    if (al_data_send_action_info(ll, AL_ACT_ERASE, &ei, nullptr) != 1) return false;
    if (!wait_erase(fn, ll, &ack)) return false;

    vz_inf("[%s] Download.....\n", fn);
    if (ack.next != 0 || ack.status != AL_STATUS_READY) return false;

    const uint32_t chunks = uint32_t((uint64_t(size) + AL_CHUNK_MAX - 1) / AL_CHUNK_MAX);
    progress(0, size);
    uint32_t i = 0;
    for (;;) {
        const uint64_t off = uint64_t(i) * AL_CHUNK_MAX;
        const uint32_t n = uint32_t(std::min<uint64_t>(AL_CHUNK_MAX, size - off));
        const al_chunk_hdr_t hdr{al_data_calc_crc(img + off, n), n};
        if (al_data_send_action_info(ll, AL_ACT_DATA, &hdr, img + off) != 1) {
            vz_inf("[%s] Data transfer failed D.\n", fn);
            return false;
        }
        if (al_data_read_action_info(ll, AL_ACT_ACK, &ack) != 1) {
            vz_inf("[%s] Data transfer failed C.\n", fn);
            return false;
        }
        if (ack.next == i) {
            vz_inf("[%s] Data transfer failed A.indx%d, %d\n", fn, int(i), int(i));
            return false;
        }
        if (ack.next != i + 1) {
            vz_inf("[%s] Data transfer failed B.\n", fn);
            return false;
        }
        progress(uint32_t(std::min<uint64_t>(off + n, size)), size);
        if (ack.next == chunks) {
            vz_inf("[%s] Data transfer finished.\n", fn);
            return true;
        }
        i = ack.next;
    }
}

}  // namespace

Timing set_timing(Timing t) {
    const Timing old = timing();
    g_sleep = t.sleep_ms ? t.sleep_ms : default_sleep;
    g_now = t.now_ms ? t.now_ms : default_now;
    return old;
}

Timing timing() { return Timing{g_sleep.load(), g_now.load()}; }

Progress progress() {
    std::lock_guard lk(g_progress_mu);
    return g_progress;
}

int write_image(vizor_ll_t *ll, uint8_t type, uint16_t version, const char *fname) {
    static const char *const fn = "vizor_bin_data_write";
    if (!has_handle(ll)) {
        vz_err("[%s]  Device handler Is NULL!\r\n", fn);
        return -1;
    }
    vz_inf("[%s] name:%s, type:%hu, version:%hu\n", fn, fname ? fname : "(null)",
           (unsigned short)type, (unsigned short)version);
    const Progress report = progress();

    uint32_t size = 0;
    std::unique_ptr<uint8_t[]> img = load_image(fn, fname, &size);
    if (!img) return -1;

    al_data_info_t info{};
    if (!query_info(fn, ll, 0, &info)) return -1;
    // An image is only ever written over an older one.
    if (info.version >= version) {
        vz_err("[%s] Wrong version(Target:%d,Now:%d)\n", fn, int(info.version), int(version));
        return -1;
    }

    const bool ok = send_image(fn, ll, type, version, img.get(), size, report);
    img.reset();
    if (!ok) {
        vz_err("[%s] data upgrade failed!\n", fn);
        return -1;
    }

    const Timing t = timing();
    if (type == 2 || type == 3) {
        warn_banner(fn);
        t.sleep_ms(kDataWaitMs);
    } else if (type == 0 || type == 1) {
        vizor_ll_dev_reset(ll, VIZOR_RESET_BOARD);
        vz_wrn("[%s]  * Wait board to reset...\n", fn);
        warn_banner(fn);
        t.sleep_ms(kResetWaitMs);
    }
    return 1;
}

int read_image(vizor_ll_t *ll, uint8_t type, const char *fname) {
    static const char *const fn = "vizor_bin_data_read";
    const Progress report = progress();
    al_data_info_t info{};
    if (!query_info(fn, ll, type, &info)) return -1;
    if (info.size == AL_NO_VALID_DATA) {
        vz_err("[%s] No valid data to read, please check\n", fn);
        return -1;
    }

    File f(std::fopen(fname ? fname : "calib.bin", "w+b"));
    if (!f) {
        vz_err("[%s] File open failed\n", fn);
        return -1;
    }
    std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[AL_PAYLOAD_MAX]);
    if (!piece) return -1;

    report(0, info.size);
    uint32_t done = 0;
    while (done < info.size) {
        const uint16_t n = uint16_t(std::min<uint32_t>(AL_PAYLOAD_MAX, info.size - done));
        if (al_get_data_payload(ll, piece.get(), n) != 1) return -1;
        if (std::fwrite(piece.get(), 1, n, f.get()) != n) {
            vz_err("[%s] File write failed\n", fn);
            return -1;
        }
        done += n;
        report(done, info.size);
    }
    if (std::fclose(f.release()) != 0) {
        vz_err("[%s] File write failed\n", fn);
        return -1;
    }
    return 1;
}

}  // namespace vz::dt

extern "C" {

static void vizor_data_set_progress_cb_body(vizor_data_progress_f cb, void *user) {
    std::lock_guard lk(vz::dt::g_progress_mu);
    vz::dt::g_progress = vz::dt::Progress{cb, cb ? user : nullptr};
}

VZ_API void vizor_data_set_progress_cb(vizor_data_progress_f cb, void *user) noexcept {
    vz::entry_void("vizor_data_set_progress_cb",
                   [&] { vizor_data_set_progress_cb_body(cb, user); });
}

static int vizor_bin_data_write_body(vizor_ll_t *ll, uint8_t type, uint16_t version,
                                     uint32_t reserved, const char *fname) {
    return vz::dt::write_image(ll, type, version, fname);
}

VZ_API int vizor_bin_data_write(vizor_ll_t *ll, uint8_t type, uint16_t version, uint32_t reserved,
                                const char *fname) noexcept {
    return vz::entry("vizor_bin_data_write", -1,
                     [&] { return vizor_bin_data_write_body(ll, type, version, reserved, fname); });
}

static int vizor_bin_data_read_body(vizor_ll_t *ll, uint8_t type, const char *fname) {
    return vz::dt::read_image(ll, type, fname);
}

VZ_API int vizor_bin_data_read(vizor_ll_t *ll, uint8_t type, const char *fname) noexcept {
    return vz::entry("vizor_bin_data_read", -1,
                     [&] { return vizor_bin_data_read_body(ll, type, fname); });
}

static int vizor_ll_firmware_upgrade_body(vizor_ll_t *ll, uint8_t type, uint16_t version,
                                          const char *fname) {
    return vizor_bin_data_write(ll, type, version, 0, fname);
}

VZ_API int vizor_ll_firmware_upgrade(vizor_ll_t *ll, uint8_t type, uint16_t version,
                                     const char *fname) noexcept {
    return vz::entry("vizor_ll_firmware_upgrade", -1,
                     [&] { return vizor_ll_firmware_upgrade_body(ll, type, version, fname); });
}

}  // extern "C"
