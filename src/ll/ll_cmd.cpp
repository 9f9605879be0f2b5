// The command channel. Every command is an asynchronous control transfer
// that the device's event thread completes; the caller waits for it on a
// condition variable, bounded by the transfer's own time-out plus a margin.
// Most commands are followed by a status check in which the camera names the
// command it executed last and whether it succeeded, failed or is busy.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "base/clock.h"
#include "base/firewall.h"
#include "ll/ll.h"
#include "ll/ll_wire.h"

namespace vz::ll {
namespace {

constexpr const char *kExeName = "vizor_ll_exe_cmd";
constexpr const char *kChkName = "vizor_ll_check_last_cmd";
constexpr size_t kMaxPayload = VIZOR_CTRL_PAYLOAD_MAX;
constexpr size_t kParamLen = sizeof(vizor_ll_param_wire_t);

// The documented batch limits are the largest batches within one payload.
static_assert(VIZOR_REG_HDR_LEN + 4 * VIZOR_REG_WRITE_MAX <= kMaxPayload &&
              VIZOR_REG_HDR_LEN + 4 * (VIZOR_REG_WRITE_MAX + 1) > kMaxPayload);
static_assert(kParamLen * VIZOR_PARAM_SET_MAX <= kMaxPayload &&
              kParamLen * (VIZOR_PARAM_SET_MAX + 1) > kMaxPayload);

// Completion record of one command transfer. It lives on the heap so that a
// caller that gives up waiting leaves nothing of its own behind: a late
// completion then frees the record and the transfer, and when no completion
// ever comes, closing the device does (release_abandoned_cmds).
struct CmdRecord {
    libusb_transfer *xfer = nullptr;
    libusb_device_handle *hdl = nullptr;
    std::condition_variable cv;
    bool done = false;       // guarded by g_cmd_mu
    bool abandoned = false;  // guarded by g_cmd_mu
};

std::mutex g_cmd_mu;
std::vector<CmdRecord *> g_abandoned;  // guarded by g_cmd_mu

std::atomic<int64_t> g_busy_limit_ms{kBusyLimitMs};

void free_record(CmdRecord *rec) {
    libusb_free_transfer(rec->xfer);  // also frees the buffer (FREE_BUFFER flag)
    delete rec;
}

// Runs on the event thread.
void LIBUSB_CALL on_cmd_finish(libusb_transfer *xfer) {
    auto *rec = static_cast<CmdRecord *>(xfer->user_data);
    vz_trc("[%s] tx actual_len = %d, status  = %d\n", kExeName, xfer->actual_length,
           int(xfer->status));
    std::unique_lock lk(g_cmd_mu);
    rec->done = true;
    if (rec->abandoned) {
        std::erase(g_abandoned, rec);
        lk.unlock();
        free_record(rec);
        return;
    }
    rec->cv.notify_all();  // under the lock: the waiter frees rec once it sees done
}

// The transfer's end as a libusb result: payload bytes or a negative code.
int transfer_result(const libusb_transfer *xfer) {
    switch (xfer->status) {
    case LIBUSB_TRANSFER_COMPLETED: return xfer->actual_length;
    case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_CANCELLED: return LIBUSB_ERROR_IO;
    }
    vz_wrn("[%s] unrecognised status code %d", kExeName, int(xfer->status));
    return -99;
}

// Submits one command and waits for it; *result receives the libusb result
// (payload bytes or a negative code). False when the command could not even
// be submitted (already logged).
bool run_cmd(vizor_ll_usb_t *u, int dir, uint8_t request, uint16_t value, void *buf, uint16_t len,
             uint32_t timeout_ms, int *result) {
    if (len > kMaxPayload) {
        vz_err("[%s] payload of %u bytes exceeds the limit of %u bytes per control transfer\n",
               kExeName, unsigned(len), unsigned(kMaxPayload));
        return false;
    }
    auto *rec = new (std::nothrow) CmdRecord;
    libusb_transfer *xfer = libusb_alloc_transfer(0);
    auto *data = static_cast<uint8_t *>(std::calloc(1, kSetupLen + len));
    if (!rec || !xfer || !data) {
        vz_err("[%s] no memory\n", kExeName);
        std::free(data);
        libusb_free_transfer(xfer);
        delete rec;
        return false;
    }
    put_setup(data, dir != 0, request, value, len);
    if (dir && len) std::memcpy(data + kSetupLen, buf, len);
    libusb_fill_control_transfer(xfer, u->usb_hdl, data, on_cmd_finish, rec, timeout_ms);
    xfer->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    rec->xfer = xfer;
    rec->hdl = u->usb_hdl;

    if (libusb_submit_transfer(xfer) < 0) {
        vz_err("[%s] libusb_submit_transfer failed\n", kExeName);
        free_record(rec);
        return false;
    }

    const uint32_t wait_ms = std::max(timeout_ms, kCmdMinWaitMs) + kCmdWaitMarginMs;
    std::unique_lock lk(g_cmd_mu);
    if (!rec->cv.wait_until(lk, deadline_after_ms(wait_ms), [rec] { return rec->done; })) {
        lk.unlock();
        vz_wrn("[%s] contrl trans timeout , cancel it\n", kExeName);
        libusb_cancel_transfer(xfer);
        lk.lock();
        if (!rec->done) {
            // The completion (or the device's close) releases the transfer.
            rec->abandoned = true;
            try {
                g_abandoned.push_back(rec);
            } catch (...) {}
            lk.unlock();
            vz_err("[%s] control transfer timeout !\n", kExeName);
            *result = LIBUSB_ERROR_TIMEOUT;
            return true;
        }
    }
    lk.unlock();

    if (!dir && len) {
        const int got = std::clamp(xfer->actual_length, 0, int(len));
        std::memcpy(buf, libusb_control_transfer_get_data(xfer), size_t(got));
    }
    *result = transfer_result(xfer);
    free_record(rec);
    return true;
}

// The 20-byte records of a parameter array as bytes.
uint8_t *param_bytes(vizor_ll_param_wire_t *p) { return reinterpret_cast<uint8_t *>(p); }

}  // namespace

int64_t busy_limit_ms() { return g_busy_limit_ms.load(std::memory_order_relaxed); }
void set_busy_limit_ms(int64_t ms) { g_busy_limit_ms.store(ms, std::memory_order_relaxed); }

bool exe_cmd(vizor_ll_usb_t *u, int dir, uint8_t request, uint16_t value, void *buf, uint16_t len,
             uint32_t timeout_ms) {
    int result = 0;
    if (!run_cmd(u, dir, request, value, buf, len, timeout_ms, &result)) return false;
    if (result == int(len)) return true;
    vz_err("[%s] exe usb cmd failed: %s\n", kExeName, libusb_error_name(result));
    return false;
}

bool check_last_cmd(vizor_ll_usb_t *u, uint8_t request, uint16_t value) {
    const int64_t limit_ms = busy_limit_ms();
    const auto busy_deadline = deadline_after_ms(limit_ms);
    for (;;) {
        uint8_t reply[VIZOR_STATUS_LEN] = {};
        if (!exe_cmd(u, 0, VIZOR_REQ_STATUS, 0, reply, sizeof reply, VIZOR_CMD_TIMEOUT_MS))
            return false;
        const Status st = parse_status(reply);
        if (st.request != request || st.value != uint8_t(value)) {
            vz_wrn("[%s]  last cmd (t=%u,v=%u) is not as expect(t=%u,v=%u)\r\n", kChkName,
                   unsigned(st.request), unsigned(st.value), unsigned(request),
                   unsigned(uint8_t(value)));
            return false;
        }
        if (st.code == VIZOR_STATUS_FAILED) {
            vz_err("[%s] %.*s\n", kChkName, int(st.msg.size()), st.msg.data());
            return false;
        }
        if (st.code != VIZOR_STATUS_BUSY) return true;
        if (mono_clock::now() >= busy_deadline) {
            vz_err("[%s] device still busy after %d ms\n", kChkName, int(limit_ms));
            return false;
        }
        sleep_ms(kBusyPauseMs);
    }
}

bool require_open(vizor_ll_t *ll) {
    if (ll && usb(ll)->usb_hdl) return true;
    vz_err("[%s]  USB handler Is NULL!\r\n", kExeName);
    return false;
}

void release_abandoned_cmds(libusb_device_handle *hdl) {
    std::vector<CmdRecord *> mine;
    {
        std::lock_guard lk(g_cmd_mu);
        for (auto it = g_abandoned.begin(); it != g_abandoned.end();) {
            if ((*it)->hdl == hdl) {
                mine.push_back(*it);  // capacity of g_abandoned bounds this
                it = g_abandoned.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (CmdRecord *rec : mine) free_record(rec);
}

int abandoned_cmds(libusb_device_handle *hdl) {
    std::lock_guard lk(g_cmd_mu);
    return int(std::count_if(g_abandoned.begin(), g_abandoned.end(),
                             [hdl](const CmdRecord *r) { return r->hdl == hdl; }));
}

}  // namespace vz::ll

using namespace vz::ll;

extern "C" {

static bool vizor_ll_exe_cmd_body(vizor_ll_t *ll, int dir, uint8_t request, uint16_t value,
                                  void *buf, uint16_t len, uint32_t timeout_ms) {
    if (!require_open(ll)) return false;
    if (!buf && len) {
        vz_err("[%s] no buffer for %u bytes\n", kExeName, unsigned(len));
        return false;
    }
    return exe_cmd(usb(ll), dir, request, value, buf, len, timeout_ms);
}

VZ_API bool vizor_ll_exe_cmd(vizor_ll_t *ll, int dir, uint8_t request, uint16_t value, void *buf,
                             uint16_t len, uint32_t timeout_ms) noexcept {
    return vz::entry("vizor_ll_exe_cmd", false, [&] {
        return vizor_ll_exe_cmd_body(ll, dir, request, value, buf, len, timeout_ms);
    });
}

static bool vizor_ll_check_last_cmd_body(vizor_ll_t *ll, uint8_t request, uint16_t value) {
    if (!require_open(ll)) return false;
    return check_last_cmd(usb(ll), request, value);
}

VZ_API bool vizor_ll_check_last_cmd(vizor_ll_t *ll, uint8_t request, uint16_t value) noexcept {
    return vz::entry("vizor_ll_check_last_cmd", false,
                     [&] { return vizor_ll_check_last_cmd_body(ll, request, value); });
}

static bool vizor_ll_reg_write_body(vizor_ll_t *ll, uint8_t target, uint32_t reg_base,
                                    const uint32_t *values, uint16_t reg_cnt) {
    static const char *const fn = "vizor_ll_reg_write";
    if (!require_open(ll)) return false;
    if (!values && reg_cnt) {
        vz_err("[%s] no values for %u registers\n", fn, unsigned(reg_cnt));
        return false;
    }
    if (reg_cnt > VIZOR_REG_WRITE_MAX) {
        vz_err(
            "[%s] %u registers exceed the limit of %d per write (%u bytes per control "
            "transfer)\n",
            fn, unsigned(reg_cnt), VIZOR_REG_WRITE_MAX, unsigned(kMaxPayload));
        return false;
    }
    const size_t payload = VIZOR_REG_HDR_LEN + 4 * size_t(reg_cnt);
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[payload]);
    if (!buf) {
        vz_err("[%s] malloc failed\n", fn);
        return false;
    }
    put_reg_header(buf.get(), target, reg_base, uint16_t(4 * reg_cnt));
    for (size_t i = 0; i < reg_cnt; ++i)
        put_u32le(buf.get() + VIZOR_REG_HDR_LEN + 4 * i, values[i]);
    vizor_ll_usb_t *u = usb(ll);
    return exe_cmd(u, 1, VIZOR_REQ_CTRL, VIZOR_CTRL_REG_WRITE, buf.get(), uint16_t(payload),
                   VIZOR_CMD_TIMEOUT_MS) &&
           check_last_cmd(u, VIZOR_REQ_CTRL, VIZOR_CTRL_REG_WRITE);
}

VZ_API bool vizor_ll_reg_write(vizor_ll_t *ll, uint8_t target, uint32_t reg_base,
                               const uint32_t *values, uint16_t reg_cnt) noexcept {
    return vz::entry("vizor_ll_reg_write", false, [&] {
        return vizor_ll_reg_write_body(ll, target, reg_base, values, reg_cnt);
    });
}

static bool vizor_ll_reg_read_body(vizor_ll_t *ll, uint8_t target, uint32_t reg_base,
                                   uint32_t *values, uint16_t reg_cnt) {
    static const char *const fn = "vizor_ll_reg_read";
    if (!require_open(ll)) return false;
    if (reg_cnt == 0) return true;
    if (!values) {
        vz_err("[%s] no buffer for %u registers\n", fn, unsigned(reg_cnt));
        return false;
    }
    vizor_ll_usb_t *u = usb(ll);
    uint32_t addr = reg_base;
    size_t pos = 0;
    while (pos < reg_cnt) {
        const size_t n = std::min<size_t>(VIZOR_REG_READ_BATCH, reg_cnt - pos);
        uint8_t hdr[VIZOR_REG_HDR_LEN];
        put_reg_header(hdr, target, addr, uint16_t(4 * n));
        if (!exe_cmd(u, 1, VIZOR_REQ_CTRL, VIZOR_CTRL_REG_READ, hdr, sizeof hdr,
                     VIZOR_CMD_TIMEOUT_MS) ||
            !check_last_cmd(u, VIZOR_REQ_CTRL, VIZOR_CTRL_REG_READ)) {
            vz_err("[%s] write phase failed\n", fn);
            return false;
        }
        // The values land in the caller's buffer as they arrive (little-endian
        // on the wire) and are put into host order afterwards.
        auto *raw = reinterpret_cast<uint8_t *>(values + pos);
        const bool ok = exe_cmd(u, 0, VIZOR_REQ_CTRL, VIZOR_CTRL_REG_READ, raw, uint16_t(4 * n),
                                VIZOR_CMD_TIMEOUT_MS);
        for (size_t i = 0; i < n; ++i) values[pos + i] = get_u32le(raw + 4 * i);
        if (!ok || !check_last_cmd(u, VIZOR_REQ_CTRL, VIZOR_CTRL_REG_READ)) {
            vz_err("[%s] read phase failed\n", fn);
            return false;
        }
        addr += uint32_t(n);
        pos += n;
    }
    return true;
}

VZ_API bool vizor_ll_reg_read(vizor_ll_t *ll, uint8_t target, uint32_t reg_base, uint32_t *values,
                              uint16_t reg_cnt) noexcept {
    return vz::entry("vizor_ll_reg_read", false,
                     [&] { return vizor_ll_reg_read_body(ll, target, reg_base, values, reg_cnt); });
}

static bool vizor_ll_param_set_body(vizor_ll_t *ll, const vizor_ll_param_wire_t *items, int count) {
    static const char *const fn = "vizor_ll_param_set";
    if (!require_open(ll)) return false;
    if (count < 0 || (!items && count)) {
        vz_err("[%s] wrong parameter list (count=%d)\n", fn, count);
        return false;
    }
    if (count > VIZOR_PARAM_SET_MAX) {
        vz_err(
            "[%s] %d parameters exceed the limit of %d per set (%u bytes per control "
            "transfer)\n",
            fn, count, VIZOR_PARAM_SET_MAX, unsigned(kMaxPayload));
        return false;
    }
    const size_t payload = kParamLen * size_t(count);
    vizor_ll_usb_t *u = usb(ll);
    // A write only reads the buffer.
    void *buf = const_cast<vizor_ll_param_wire_t *>(items);
    return exe_cmd(u, 1, VIZOR_REQ_CFG, VIZOR_CFG_PARAM_SET, buf, uint16_t(payload),
                   VIZOR_CMD_TIMEOUT_MS) &&
           check_last_cmd(u, VIZOR_REQ_CFG, VIZOR_CFG_PARAM_SET);
}

VZ_API bool vizor_ll_param_set(vizor_ll_t *ll, const vizor_ll_param_wire_t *items,
                               int count) noexcept {
    return vz::entry("vizor_ll_param_set", false,
                     [&] { return vizor_ll_param_set_body(ll, items, count); });
}

static bool vizor_ll_param_get_body(vizor_ll_t *ll, vizor_ll_param_wire_t *items, int count) {
    static const char *const fn = "vizor_ll_param_get";
    if (!require_open(ll)) return false;
    if (count < 0 || (!items && count)) {
        vz_err("[%s] wrong parameter list (count=%d)\n", fn, count);
        return false;
    }
    for (int i = 0; i < count; ++i) {
        items[i].param_val_len = 0;
        std::memset(items[i].param_val, 0, sizeof items[i].param_val);
    }
    vizor_ll_usb_t *u = usb(ll);
    for (int pos = 0; pos < count;) {
        const int n = std::min(VIZOR_PARAM_GET_BATCH, count - pos);
        uint8_t *bytes = param_bytes(items + pos);
        const auto len = uint16_t(kParamLen * size_t(n));
        if (!exe_cmd(u, 1, VIZOR_REQ_CFG, VIZOR_CFG_PARAM_GET, bytes, len, VIZOR_CMD_TIMEOUT_MS) ||
            !check_last_cmd(u, VIZOR_REQ_CFG, VIZOR_CFG_PARAM_GET)) {
            vz_err("[%s] write phase failed\n", fn);
            return false;
        }
        const bool ok =
            exe_cmd(u, 0, VIZOR_REQ_CFG, VIZOR_CFG_PARAM_GET, bytes, len, VIZOR_CMD_TIMEOUT_MS);
        // The camera's length byte never claims more than the value area.
        for (int i = pos; i < pos + n; ++i)
            items[i].param_val_len =
                std::min<uint8_t>(items[i].param_val_len, uint8_t(sizeof items[i].param_val));
        if (!ok || !check_last_cmd(u, VIZOR_REQ_CFG, VIZOR_CFG_PARAM_GET)) {
            vz_err("[%s] read phase failed\n", fn);
            return false;
        }
        pos += n;
    }
    return true;
}

VZ_API bool vizor_ll_param_get(vizor_ll_t *ll, vizor_ll_param_wire_t *items, int count) noexcept {
    return vz::entry("vizor_ll_param_get", false,
                     [&] { return vizor_ll_param_get_body(ll, items, count); });
}

}  // extern "C"
