// Capture engine: 32 bulk transfers cycling on the event thread feed the
// stream reassembler; frames and callbacks are delivered on the application
// thread inside the fetch and wait calls.
//
// Wake-ups: the event thread bumps ll.wake_seq under ll.mutex before every
// notify; a waiter records the sequence before it looks for work, so a frame
// that arrives between its look and its wait is never missed.
#include <errno.h>
#include <string.h>
#include <sys/time.h>

#include <algorithm>
#include <mutex>
#include <new>

#include "base/clock.h"
#include "base/firewall.h"
#include "base/log.h"
#include "core/capture.h"
#include "core/device.h"

namespace vz::cap {

namespace {

constexpr uint32_t kCbBufLen = 6220800;
constexpr uint32_t kMaxTimeouts = 64;
constexpr unsigned kResubmitTimeoutMs = 500;
constexpr int kReqAll = 0x7FFFFFFF;
constexpr int kStopWaitMs = 3000;
constexpr uint32_t kFramesPerSecondDivider = 10;
constexpr uint32_t kGetFramesMarginMs = 2000;

const char *kTagEvt = "on_transfer_event";
const char *kTagPass = "_cap_handle_rdy_data";
const char *kTagFetch = "_vizor_cap_get_frames";

// Publishes a change to waiting threads.
void signal(vizor_ll_t &ll, bool broadcast = false) {
    std::lock_guard lk(ll.mutex);
    ++ll.wake_seq;
    if (broadcast)
        ll.cond.notify_all();
    else
        ll.cond.notify_one();
}

// Records a capture failure and halts capture, then wakes waiters.
void raise_error(vizor_ll_t &ll, int32_t err) {
    {
        std::lock_guard lk(ll.mutex);
        ll.cap_halted = 1;
        ll.err = err;
        ll.err_arg = 0;
    }
}

// A transfer that will not be resubmitted leaves the rotation.
void retire(vizor_ll_t &ll) { ll.xfers->retire(ll.mutex, ll.cond, ll.wake_seq); }

// Compares the reassembler's discard count with the last saved statistics.
void check_discards(vizor_ll_t &ll, int idx) {
    vz_stream_state_t st;
    vz_stream_get_state(ll.stream, &st);
    if (st.frames_discarded > ll.stream_state.frames_discarded) {
        vz_dbg("[%s] trans[%d] discard %d frames\n", kTagEvt, idx,
               int(st.frames_discarded - ll.stream_state.frames_discarded));
        std::lock_guard lk(ll.mutex);
        ll.err = VIZOR_ERR_CAP_FRAME_DISCARD;
        ll.discard_total = st.frames_discarded;
        ll.err_arg = int32_t(st.frames_discarded);
    }
    ll.stream_state = st;
}

// A transfer's bytes go to the reassembler; data ends any run of time-outs.
void take_bytes(vizor_ll_t &ll, const libusb_transfer *t) {
    ll.to_run = 0;
    vz_stream_feed_input(ll.stream, t->buffer, t->actual_length);
    signal(ll);
}

// Transfer completion, on the device's event thread.
void LIBUSB_CALL on_transfer_event(libusb_transfer *t) {
    auto *dev = static_cast<vizor_dev_t *>(t->user_data);
    vizor_ll_t &ll = *dev->ll;
    const int idx = ll.xfers->index_of(t);
    vz_trc("[%s] trans[%d]: txlen=%d, status = %d\n", kTagEvt, idx, t->actual_length,
           int(t->status));
    if (ll.cap_frames == 0) ll.cap_remaining = -1;

    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED: take_bytes(ll, t); break;
    case LIBUSB_TRANSFER_TIMED_OUT: {
        const uint32_t n = ++ll.to_cnt;
        vz_dbg("[%s] trans[%d] timeout (last_tx=%d, to_cnt=%d), %d\n", kTagEvt, idx,
               t->actual_length, int(n), int(ll.cap_halted.load()));
        // Bytes that arrived before the time-out belong to the stream: keeping
        // them keeps the frame they are part of.
        if (t->actual_length > 0) {
            take_bytes(ll, t);
            break;
        }
        // Every queued transfer waits 500 ms, so a stream of fewer than about
        // 64 transfers a second times some out between completions; only a
        // run of time-outs without any data means the stream has stopped.
        if (!ll.cap_halted && ++ll.to_run > kMaxTimeouts) {
            vz_wrn("[%s] trans[%d] timeout -> stop\n", kTagEvt, idx);
            raise_error(ll, VIZOR_ERR_CAP_TIMEOUT);
        }
        break;
    }
    case LIBUSB_TRANSFER_CANCELLED:
        vz_trc("[%s] trans[%d] cancelled (last_tx=%d), %d\n", kTagEvt, idx, t->actual_length,
               int(ll.cap_halted.load()));
        {
            std::lock_guard lk(ll.mutex);
            ll.cap_halted = 1;
        }
        break;
    case LIBUSB_TRANSFER_STALL:
        vz_wrn("[%s] trans[%d] stall (last_tx=%d)\n", kTagEvt, idx, t->actual_length);
        raise_error(ll, VIZOR_ERR_CAP_STALL);
        break;
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_NO_DEVICE:
    case LIBUSB_TRANSFER_OVERFLOW:
        vz_wrn("[%s] trans[%d] error (%d) (last_tx=%d)\n", kTagEvt, idx, int(t->status),
               t->actual_length);
        raise_error(ll, VIZOR_ERR_CAP_ERROR);
        break;
    default:
        vz_wrn("[%s] trans[%d] unknown code: %d (last_tx=%d)\n", kTagEvt, idx, int(t->status),
               t->actual_length);
        raise_error(ll, VIZOR_ERR_CAP_UNKNOWN);
        signal(ll, true);
        retire(ll);
        return;
    }

    check_discards(ll, idx);
    if (ll.err != 0) signal(ll, true);

    if (t->length > 0 && !ll.cap_halted) {
        vz_trc("[%s] trans[%d] issue: size=%d \n", kTagEvt, idx, t->length);
        if (ll.xfers->resubmit(t, kResubmitTimeoutMs, kTagEvt)) {
            ll.cap_bytes_issued += uint32_t(t->length);
            return;
        }
    }
    retire(ll);
}

// Cancels every transfer and waits (bounded) until each has come back, so
// that a restart never races late completions.
void cancel_and_wait(vizor_ll_t &ll, const char *tag) {
    ll.xfers->cancel_all(tag);
    ll.xfers->wait_idle(ll.mutex, ll.cond, kStopWaitMs);
}

// Hands one ready frame to the request or the callback. With neither the
// frame stays in the reassembler for the next fetch instead of being dropped.
struct Sink {
    uint8_t *dst = nullptr;
    uint32_t len = 0;
};

Sink choose_sink(vizor_ll_t &ll, FrameReq *req) {
    if (req && req->remaining > 0 && req->buf) return {req->buf, req->buf_len};
    if (!ll.on_frdy) return {};
    if (!ll.cb_buf) ll.cb_buf.reset(new (std::nothrow) uint8_t[kCbBufLen]);
    if (!ll.cb_buf) return {nullptr, UINT32_MAX};
    return {ll.cb_buf.get(), kCbBufLen};
}

void fill_frame_info(vizor_ll_t &ll, const vz_stream_frame_hdr_t &hdr) {
    const vizor_drv_t *drv = ll.drv.get();
    if (!drv || !drv->ops->frame_get_info ||
        !drv->ops->frame_get_info(ll.drv.get(), &ll.frame_info, &hdr)) {
        vz_err("[%s]  driver frame_get_info failed!\n", kTagPass);
        memset(&ll.frame_info, 0, sizeof ll.frame_info);
    }
}

void account_request(vizor_ll_t &ll, FrameReq *req) {
    if (!req || req->remaining == 0) return;
    if (req->remaining == req->total && req->first_info) *req->first_info = ll.frame_info;
    if (req->buf && req->buf_len >= ll.frame_info.frame_size) {
        req->buf += ll.frame_info.frame_size;
        req->buf_len -= ll.frame_info.frame_size;
    }
    --req->remaining;
}

void run_frame_cb(vizor_dev_t &dev, vizor_ll_t &ll, const Sink &sink) {
    vizor_frame_t frame{ll.frame_info, sink.dst};
    // The callback sees only the bytes that were really put at frame_fbuf.
    frame.frame_info.frame_size = std::min(frame.frame_info.frame_size, sink.len);
    const unsigned idx = ll.frame_info.frame_idx;
    vz_trc("[%s] frdy cb invoke: %u,%u\n", kTagPass, idx, idx);
    const int64_t t0 = vz::mono_us();
    ll.on_frdy(&dev, &frame);
    const int64_t us = vz::mono_us() - t0;
    vz_dbg("[%s] frdy cb (%u,%u) spends: %d.%03u ms\n", kTagPass, idx, idx, int(us / 1000),
           unsigned(us % 1000));
}

// Runs the error callback for a pending error. False: delivery must stop.
bool handle_error(vizor_dev_t &dev, vizor_ll_t &ll) {
    const int32_t err = ll.err;
    if (!ll.on_err || err == 0) return true;
    vz_trc("[%s] error cb invoke: %s\n", kTagPass, vizor_error_name(err));
    const bool go_on = ll.on_err(&dev, err, ll.err_arg);
    std::lock_guard lk(ll.mutex);
    if (!go_on) {
        vz_dbg("[%s] error cb return false to stop capture\n", kTagPass);
        ll.cap_halted = 1;
        ll.force_stop = 1;
        ll.err = 0;
        vz_trc("[%s] error callback force cap to stop\n", kTagPass);
        return false;
    }
    ll.err = 0;
    return true;
}

}  // namespace

// One delivery pass on the application thread.
void deliver(vizor_dev_t &dev, int reqmax) {
    vizor_ll_t &ll = *dev.ll;
    if (ll.closing) return;
    if (!handle_error(dev, ll)) return;
    if (ll.force_stop) {
        vz_trc("[%s] error callback force cap to stop\n", kTagPass);
        return;
    }
    // Frames left after a stop (one from a callback included) are not
    // delivered: the next start begins afresh.
    if (reqmax == 0 || !ll.capturing) return;
    FrameReq *req = ll.req;
    unsigned handled = 0;
    for (;;) {
        // A callback that closed the device ends delivery: the frames left
        // go with the device.
        if (ll.closing) break;
        const Sink sink = choose_sink(ll, req);
        if (!sink.dst && sink.len == UINT32_MAX) {
            vz_err("[%s] malloc failed\n", kTagPass);
            break;
        }
        // Nobody wants the frame now: it stays queued for the next fetch.
        if (!sink.dst && !(req && req->remaining > 0)) break;
        vz_stream_frame_hdr_t hdr{};
        if (vz_stream_fetch_frames(ll.stream, sink.dst, sink.len, 1, &hdr, false) == 0) break;
        ++handled;
        fill_frame_info(ll, hdr);
        account_request(ll, req);
        if (ll.on_frdy && sink.dst) {
            run_frame_cb(dev, ll, sink);
            // A callback that stopped capture ends delivery too: frames that
            // were queued behind its frame never reach it after its stop.
            if (!ll.capturing) break;
        }
    }
    vz_trc("[%s] handle %u ready frames (reqmax: %d, rem: %d)\n", kTagPass, handled, reqmax,
           req ? int(req->remaining) : reqmax);
}

std::unique_ptr<XferPool> XferPool::create() {
    std::unique_ptr<XferPool> pool(new (std::nothrow) XferPool());
    if (!pool) return nullptr;
    for (int i = 0; i < kXfers; ++i) {
        pool->xfers_[size_t(i)] = libusb_alloc_transfer(0);
        pool->bufs_[size_t(i)].reset(new (std::nothrow) uint8_t[kXferLen]);
        if (!pool->xfers_[size_t(i)] || !pool->bufs_[size_t(i)]) return nullptr;
    }
    return pool;
}

XferPool::~XferPool() {
    for (libusb_transfer *t : xfers_)
        if (t) libusb_free_transfer(t);
}

void XferPool::release(std::unique_ptr<XferPool> &pool, const char *fn) {
    if (!pool) return;
    if (pool->in_flight() > 0) {
        vz_wrn("[%s] %d transfers still pending, not released\n", fn, pool->in_flight());
        (void)pool.release();
        return;
    }
    pool.reset();
}

int XferPool::index_of(const libusb_transfer *t) const {
    const int id = int(libusb_transfer_get_stream_id(const_cast<libusb_transfer *>(t)));
    if (id >= 0 && id < kXfers && xfers_[size_t(id)] == t) return id;
    for (int i = 0; i < kXfers; ++i)
        if (xfers_[size_t(i)] == t) return i;
    return -1;
}

uint32_t XferPool::submit_all(libusb_device_handle *hdl, libusb_transfer_cb_fn cb, void *user,
                              const char *fn, uint32_t remaining) {
    uint32_t bytes = 0;
    for (int i = 0; i < kXfers; ++i) {
        libusb_transfer *t = xfers_[size_t(i)];
        libusb_fill_bulk_transfer(t, hdl, kBulkIn, buffer(i), int(kXferLen), cb, user,
                                  unsigned(500 * (i + 1)));
        libusb_transfer_set_stream_id(t, uint32_t(i));
        in_flight_.fetch_add(1);
        if (libusb_submit_transfer(t) != 0) {
            in_flight_.fetch_sub(1);
            vz_err("[%s] trans[%d] issue failed\n", fn, i);
        } else {
            vz_trc("[%s] trans[%d] issue: txlen=%d (rem=%u frame)\n", fn, i, int(kXferLen),
                   unsigned(remaining));
        }
        bytes += kXferLen;
    }
    return bytes;
}

bool XferPool::resubmit(libusb_transfer *t, unsigned timeout_ms, const char *fn) {
    t->timeout = timeout_ms;
    const int rc = libusb_submit_transfer(t);
    if (rc == 0) return true;
    vz_err("[%s] Unable to submit URB. libusb error code: %d\n", fn, rc);
    return false;
}

void XferPool::retire(std::mutex &mu, std::condition_variable &cv, uint64_t &wake_seq) {
    std::lock_guard lk(mu);
    in_flight_.fetch_sub(1);
    ++wake_seq;
    cv.notify_all();
}

void XferPool::cancel_all(const char *tag) {
    for (int i = 0; i < kXfers; ++i) {
        const int rc = libusb_cancel_transfer(xfers_[size_t(i)]);
        vz_trc("[%s] trans[%d] cancel: status=%d\n", tag, i, rc);
    }
}

bool XferPool::wait_idle(std::mutex &mu, std::condition_variable &cv, int timeout_ms) {
    std::unique_lock lk(mu);
    return cv.wait_until(lk, vz::deadline_after_ms(timeout_ms), [&] { return in_flight() <= 0; });
}

void wake_all(vizor_ll_t &ll) {
    std::lock_guard lk(ll.mutex);
    ll.cap_halted = 1;
    ++ll.wake_seq;
    ll.cond.notify_all();
}

bool start(vizor_dev_t &dev) {
    vizor_ll_t &ll = *dev.ll;
    const char *fn = "vizor_cap_start";
    // A start while capturing restarts: the transfers must be back from the
    // event thread before they are filled and submitted again.
    if (ll.capturing) stop(dev);
    if (libusb_clear_halt(ll.usb.usb_hdl, kBulkIn) != 0)
        vz_err("[%s]  Clear halt failed on EP: %0x!\r\n", fn, kBulkIn);
    vz_stream_cfg_t cfg{};
    if (!ll.stream || vz_stream_get_cfg(ll.stream, &cfg)->max_frames <= 1) {
        vz_err("[%s]  capture buffer not set or size is not correct \n", fn);
        return false;
    }
    vz_trc("[%s] Enter ... \n", fn);
    {
        std::lock_guard lk(ll.mutex);
        ll.to_cnt = 0;
        ll.to_run = 0;
        ll.discard_total = 0;
        ll.force_stop = 0;
        ll.err = 0;
        ll.err_arg = 0;
        ll.cap_halted = 0;
    }
    vz_stream_reset(ll.stream);
    ll.stream_state = vz_stream_state_t{};
    ll.cap_remaining = ll.cap_frames ? int32_t(ll.cap_frames) : -1;
    ll.cap_bytes_issued = 0;

    ll.cap_bytes_issued += ll.xfers->submit_all(ll.usb.usb_hdl, on_transfer_event, &dev, fn,
                                                uint32_t(ll.cap_remaining.load()));
    vz_dbg("[%s] issue start cmd\n", fn);
    if (vizor_ll_cap_start(&ll, ll.cap_frames)) {
        ll.capturing = 1;
        return true;
    }
    vz_wrn("[%s] vizor_ll_cap_start failed\n", fn);
    {
        std::lock_guard lk(ll.mutex);
        ll.cap_halted = 1;
    }
    cancel_and_wait(ll, fn);
    return false;
}

bool stop(vizor_dev_t &dev) {
    vizor_ll_t &ll = *dev.ll;
    if (!ll.capturing) return true;
    vz_trc("[%s] Enter\n", "_vizor_cap_stop");
    wake_all(ll);
    cancel_and_wait(ll, "_vizor_cap_stop");
    signal(ll, true);
    if (vizor_ll_cap_stop(&ll)) ll.capturing = 0;
    vz_trc("[%s] Exit\n", "_vizor_cap_stop");
    return true;
}

}  // namespace vz::cap

namespace vz {

namespace {

// Waits until the event thread has signalled since *seen, capture halts, or
// the deadline passes (false). No deadline when timeout_ms is 0.
bool wait_event(vizor_ll_t &ll, uint64_t *seen, bool has_deadline,
                mono_clock::time_point deadline) {
    std::unique_lock lk(ll.mutex);
    auto ready = [&] { return ll.wake_seq != *seen || ll.cap_halted || ll.closing; };
    bool ok = true;
    if (has_deadline)
        ok = ll.cond.wait_until(lk, deadline, ready);
    else
        ll.cond.wait(lk, ready);
    *seen = ll.wake_seq;
    return ok;
}

uint64_t current_seq(vizor_ll_t &ll) {
    std::lock_guard lk(ll.mutex);
    return ll.wake_seq;
}

bool frames_ready(vizor_ll_t &ll) {
    vz_stream_state_t st;
    vz_stream_get_state(ll.stream, &st);
    return st.frames_in_buffer > 0 || ll.err < 0;
}

}  // namespace

int get_frames(vizor_dev_t &dev, uint32_t count, uint8_t *buf, uint32_t buf_len,
               vizor_frame_info_t *finfo, int timeout_ms) {
    using cap::kTagFetch;
    if (!dev_ok(&dev) || count == 0) {
        vz_dbg("[%s] Wrong params\n", kTagFetch);
        return -1;
    }
    vizor_ll_t &ll = *dev.ll;
    const auto deadline = deadline_after_ms(timeout_ms);
    vz_trc("[%s] frame_num = %d, timeout_msec=%d\n", kTagFetch, int(count), timeout_ms);
    cap::FrameReq req{count, count, buf, buf_len, finfo};
    ll.req = &req;
    struct ClearReq {
        vizor_ll_t &ll;
        ~ClearReq() { ll.req = nullptr; }
    } clear{ll};

    const int32_t pending = ll.err;
    if (pending < 0) {
        cap::deliver(dev, int(count));
        return pending;
    }
    if (timeout_ms > 0) {
        uint64_t seen = current_seq(ll);
        while (!ll.cap_halted && !ll.closing) {
            if (mono_clock::now() >= deadline ||
                (!frames_ready(ll) && !wait_event(ll, &seen, true, deadline))) {
                vz_inf("[%s]  timeout ... (%s)\n", kTagFetch, strerror(ETIMEDOUT));
                break;
            }
            seen = current_seq(ll);
            cap::deliver(dev, int(req.remaining));
            if (req.remaining == 0) break;
        }
    }
    if (ll.capturing) {
        cap::deliver(dev, int(req.remaining));
        return int(req.total - req.remaining);
    }
    vz_trc("[%s] device is not capturing\n", kTagFetch);
    cap::deliver(dev, int(req.remaining));
    return -2;
}

}  // namespace vz

extern "C" {

namespace {

void log_set_buffer_refused(const char *fn) {
    vz_err("[%s]  Set frame buffer is not allowed when device is not open or is capturing\n", fn);
}

void log_snapshot_refused(const char *fn) { vz_err("[%s] wrong parameters\n", fn); }

}  // namespace

VZ_API bool vizor_cap_set_frame_buffer(vizor_dev_t *dev, uint8_t *buf, uint32_t size) noexcept {
    const char *const fn = __func__;
    return vz::dev_call(
        fn, dev, false,
        [&](vizor_dev_t &d) {
            if (d.ll->capturing) {
                log_set_buffer_refused(fn);
                return false;
            }
            vz_stream_cfg_t cfg{};
            cfg.max_frames = size / vz::cap::kFrameUnit;
            vz_stream_set_cfg(d.ll->stream, &cfg);
            vz_dbg("[%s] frame buffer: %d frames\n", fn, int(cfg.max_frames));
            d.ll->cap_frames = 0;
            return true;
        },
        log_set_buffer_refused);
}

VZ_API bool vizor_cap_get_frame_buffer(vizor_dev_t *dev, uint8_t **buf, uint32_t *size) noexcept {
    const char *const fn = __func__;
    return vz::entry(fn, false, [&] {
        if (buf) *buf = nullptr;
        if (size) {
            vz::DevMark mark(dev);
            vz_stream_cfg_t cfg{};
            if (mark.ok() && dev->ll->stream) vz_stream_get_cfg(dev->ll->stream, &cfg);
            *size = cfg.max_frames * vz::cap::kFrameUnit;
        }
        return true;
    });
}

VZ_API bool vizor_cap_set_callback_on_frame_ready(vizor_dev_t *dev, vizor_cap_frdy_f cb) noexcept {
    const char *const fn = __func__;
    vz_dbg("[%s] set on_cap_frdy to %p\n", fn, reinterpret_cast<void *>(cb));
    return vz::dev_call(
        fn, dev, false,
        [&](vizor_dev_t &d) {
            d.ll->on_frdy = cb;
            return true;
        },
        nullptr);
}

VZ_API bool vizor_cap_set_callback_on_error(vizor_dev_t *dev, vizor_cap_err_f cb) noexcept {
    const char *const fn = __func__;
    vz_dbg("[%s] set on_cap_err to %p\n", fn, reinterpret_cast<void *>(cb));
    return vz::dev_call(
        fn, dev, false,
        [&](vizor_dev_t &d) {
            d.ll->on_err = cb;
            return true;
        },
        nullptr);
}

VZ_API bool vizor_cap_is_ongoing(vizor_dev_t *dev) noexcept {
    const char *const fn = __func__;
    return vz::dev_call(
        fn, dev, false, [](vizor_dev_t &d) { return d.ll->capturing != 0; }, nullptr);
}

VZ_API bool vizor_cap_start(vizor_dev_t *dev) noexcept {
    const char *const fn = __func__;
    return vz::dev_call(fn, dev, false, [&](vizor_dev_t &d) {
        if (!d.ll->usb.usb_hdl) {
            vz::log_bad_handle(fn);
            return false;
        }
        return vz::cap::start(d);
    });
}

VZ_API bool vizor_cap_stop(vizor_dev_t *dev) noexcept {
    const char *const fn = __func__;
    vz_dbg("[%s] Enter\n", "vizor_cap_stop");
    return vz::dev_call(fn, dev, false, [](vizor_dev_t &d) { return vz::cap::stop(d); });
}

VZ_API int vizor_cap_get_frames(vizor_dev_t *dev, uint32_t frame_num, uint8_t *buf,
                                uint32_t buf_len, vizor_frame_info_t *finfo) noexcept {
    return vz::dev_call(
        "_vizor_cap_get_frames", dev, -1,
        [&](vizor_dev_t &d) {
            const uint64_t timeout = uint64_t(frame_num) * 1000 / vz::cap::kFramesPerSecondDivider +
                                     vz::cap::kGetFramesMarginMs;
            return vz::get_frames(d, frame_num, buf, buf_len, finfo,
                                  int(std::min<uint64_t>(timeout, INT32_MAX)));
        },
        vz::log_wrong_params);
}

VZ_API int vizor_cap_get_frame(vizor_dev_t *dev, uint8_t *buf, uint32_t buf_len,
                               vizor_frame_info_t *finfo) noexcept {
    const char *const fn = __func__;
    return vz::dev_call(
        fn, dev, -1, [&](vizor_dev_t &d) { return vz::get_frames(d, 1, buf, buf_len, finfo, 0); },
        vz::log_wrong_params);
}

VZ_API bool vizor_cap_snapshot(vizor_dev_t *dev, uint8_t *buf, uint32_t buf_len,
                               vizor_frame_info_t *finfo) noexcept {
    const char *const fn = __func__;
    return vz::dev_call(
        fn, dev, false,
        [&](vizor_dev_t &d) {
            // One mark over the whole snapshot: a close from the frame-ready
            // callback finishes only after the temporary capture has stopped.
            const bool was_capturing = d.ll->capturing;
            if (!was_capturing && d.ll->usb.usb_hdl) vz::cap::start(d);
            const bool got = vz::get_frames(d, 1, buf, buf_len, finfo, 2100) == 1;
            if (!was_capturing) vz::cap::stop(d);
            return got;
        },
        log_snapshot_refused);
}

VZ_API bool vizor_cap_wait(vizor_dev_t *dev, int timeout_msec) noexcept {
    static const char *const fn = "vizor_cap_wait";
    vz_dbg("[%s] timeout_msec=%d\n", fn, timeout_msec);
    return vz::dev_call(
        fn, dev, false,
        [&](vizor_dev_t &d) {
            vizor_ll_t &ll = *d.ll;
            if (!ll.capturing) {
                vz_dbg("[%s] device is not capturing\n", fn);
                return false;
            }
            const bool has_deadline = timeout_msec > 0;
            const auto deadline = vz::deadline_after_ms(timeout_msec);
            bool result = true;
            if (ll.err >= 0 && !ll.cap_halted) {
                uint64_t seen = vz::current_seq(ll);
                for (;;) {
                    if ((has_deadline && vz::mono_clock::now() >= deadline) ||
                        (!vz::frames_ready(ll) &&
                         !vz::wait_event(ll, &seen, has_deadline, deadline))) {
                        vz_inf("[%s]  timeout ...\n", fn);
                        result = false;
                        break;
                    }
                    seen = vz::current_seq(ll);
                    vz::cap::deliver(d, vz::cap::kReqAll);
                    if (ll.cap_halted || ll.closing) break;
                }
            }
            vz::cap::deliver(d, vz::cap::kReqAll);
            return result;
        },
        vz::log_wrong_params);
}

VZ_API bool vizor_cap_get_stats(vizor_dev_t *dev, vz_stream_state_t *stats) noexcept {
    const char *const fn = __func__;
    return vz::dev_call(
        fn, dev, false,
        [&](vizor_dev_t &d) {
            if (!stats) {
                vz::log_wrong_params(fn);
                return false;
            }
            // The call's mark keeps close from releasing the stream during the copy.
            return vz_stream_get_state(d.ll->stream, stats) != nullptr;
        },
        vz::log_wrong_params);
}

}  // extern "C"
