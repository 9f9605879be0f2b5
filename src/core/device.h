// The per-device state that an open vizor_dev_t owns, and the device
// firewall: the busy mark and handle check every public device call runs
// through.
#pragma once

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "base/firewall.h"
#include "core/capture.h"
#include "imgproc/rays.h"
#include "vizor/drv.h"
#include "vizor/ll.h"
#include "vizor/stream.h"
#include "vizor/vizor.h"

namespace vz {

// Owner of a device's stream reassembler; reads as the vz_stream_t * it holds.
class StreamOwner {
public:
    StreamOwner() = default;
    ~StreamOwner() { vz_stream_destroy(p_); }
    StreamOwner(const StreamOwner &) = delete;
    StreamOwner &operator=(const StreamOwner &) = delete;
    StreamOwner &operator=(vz_stream_t *p) noexcept {
        vz_stream_destroy(p_);
        p_ = p;
        return *this;
    }
    operator vz_stream_t *() const noexcept { return p_; }

private:
    vz_stream_t *p_ = nullptr;
};

// Owner of a device's copy of its driver: uninit runs once, when the owner
// goes, and only when init ran.
class DriverOwner {
public:
    DriverOwner() = default;
    ~DriverOwner() { reset(); }
    DriverOwner(const DriverOwner &) = delete;
    DriverOwner &operator=(const DriverOwner &) = delete;
    DriverOwner &operator=(std::unique_ptr<vizor_drv_t> drv) noexcept {
        reset();
        drv_ = std::move(drv);
        return *this;
    }
    vizor_drv_t *get() const noexcept { return drv_.get(); }
    vizor_drv_t *operator->() const noexcept { return drv_.get(); }
    explicit operator bool() const noexcept { return drv_ != nullptr; }
    // Binds the driver to its device (the driver's init).
    void bind(vizor_dev_t &dev) {
        if (drv_->ops->init) drv_->ops->init(drv_.get(), &dev);
        bound_ = true;
    }

private:
    void reset() noexcept {
        if (drv_ && bound_ && drv_->ops->uninit) drv_->ops->uninit(drv_.get());
        bound_ = false;
        drv_.reset();
    }
    std::unique_ptr<vizor_drv_t> drv_;
    bool bound_ = false;
};

}  // namespace vz

// The device's private state, released as a whole by vz::finish_close. The
// USB transport reads only its first member. It owns what it holds: its
// destructor releases, in this order, the transfers (while their USB context
// still exists), the transport (which joins the event thread, so no
// completion runs afterwards), the driver (uninit), then the members do the
// rest (reassembler, buffers, synchronisation).
struct vizor_ll {
    vizor_ll() = default;
    ~vizor_ll();
    vizor_ll(const vizor_ll &) = delete;
    vizor_ll &operator=(const vizor_ll &) = delete;

    vizor_ll_usb_t usb{};  // must stay first
    vz::DriverOwner drv;   // this device's copy of its driver
    std::atomic<uint8_t> opened{0};
    std::atomic<uint8_t> capturing{0};  // application threads only
    vz::StreamOwner stream;
    vz_stream_state_t stream_state{};  // event thread only
    vizor_frame_info_t frame_info{};   // application threads only
    uint32_t cap_frames = 0;
    std::atomic<int32_t> cap_remaining{0};
    std::atomic<uint32_t> cap_bytes_issued{0};
    std::unique_ptr<vz::cap::XferPool> xfers;
    std::atomic<uint32_t> cap_halted{1};  // written under mutex
    std::atomic<uint32_t> to_cnt{0};      // event thread only
    // Time-outs since the last completed transfer (event thread only). A slow
    // stream times out queued transfers all the time; only a silent one halts.
    std::atomic<uint32_t> to_run{0};
    std::atomic<uint32_t> discard_total{0};  // event thread only
    std::atomic<int32_t> err{0};             // written under mutex
    std::atomic<uint8_t> force_stop{0};
    std::atomic<int32_t> err_arg{0};  // written under mutex
    vizor_cap_frdy_f on_frdy = nullptr;
    vizor_cap_err_f on_err = nullptr;
    std::condition_variable cond;
    std::mutex mutex;
    uint64_t wake_seq = 0;             // guarded by mutex: bumps on every signal
    vz::cap::FrameReq *req = nullptr;  // application thread of the fetch call

    vizor_dev_t *owner = nullptr;  // the record this state belongs to
    // Public calls in progress (low bits; close waits, bounded, for them to
    // reach zero) and kCloseDeferred when a close could not finish at once:
    // the mark that takes the word from kCloseDeferred + 1 to 0 finishes it.
    // One word, so that the last mark and the closer never both finish.
    std::atomic<int> busy{0};
    std::atomic<bool> closing{false};
    std::unique_ptr<uint8_t[]> cb_buf;  // frame-ready copy buffer, made on first use

    vz::rays::Cache rays;  // ray tables of the driver's lens, per image size
    // Flying-pixel filter on decoded distances: its threshold in metres, 0
    // while the filter is off (the default).
    std::atomic<float> flying_threshold{0.0f};

    // The four calibration name buffers and the calibration folder.
    std::unique_ptr<char[]> name_bufs[4];
    std::unique_ptr<char[]> cfg_path;
};

static_assert(std::is_standard_layout_v<vizor_ll_usb_t>);

namespace vz {

// The deferred-close bit of vizor_ll::busy, and the mask of its call count.
constexpr int kCloseDeferred = 1 << 30;
constexpr int kBusyCount = kCloseDeferred - 1;

// True when dev has a device state that is its own: not a copy of another
// device's record (a state made outside vizor_dev_open has no owner).
inline bool has_own_state(const vizor_dev_t *dev) {
    return dev && dev->ll && (!dev->ll->owner || dev->ll->owner == dev);
}

// True when dev names an open device of its own that is not being closed.
inline bool dev_ok(const vizor_dev_t *dev) {
    return has_own_state(dev) && dev->ll->opened.load() && !dev->ll->closing.load();
}

// The busy mark of the device firewall: marks a device busy for the
// lifetime of the mark. A counter, so that overlapping calls never clear
// each other's mark; dev->api_busy mirrors it. The mark also remembers, per
// thread, which devices the thread is inside, so that a close from within a
// call on the same device (a frame-ready callback) is recognised. When the
// last mark of a device whose close was deferred goes, it finishes that close.
class DevMark {
public:
    explicit DevMark(vizor_dev_t *dev) noexcept;
    ~DevMark();
    DevMark(const DevMark &) = delete;
    DevMark &operator=(const DevMark &) = delete;
    // The record names an open device of its own, not being closed.
    bool ok() const noexcept { return ok_; }
    // The record has a device state of its own (open or not).
    bool has_state() const noexcept { return has_own_state(dev_); }

private:
    vizor_dev_t *dev_;
    vizor_ll_t *ll_;
    bool ok_;
};

// Older name of the mark, for code that only marks.
using BusyGuard = DevMark;

// Number of marks the calling thread holds on ll.
int marks_held_here(const vizor_ll_t *ll) noexcept;

// Releases everything an open device holds and the record when it asked for
// that: the one teardown path of vizor_dev_close and of a failed open.
void finish_close(vizor_dev_t &dev) noexcept;

// A public call on a device: the busy mark, the handle check with the
// standard log line (or on_bad), and the catch-all; body gets the record.
template <class R, class F>
R dev_call(const char *fn, vizor_dev_t *dev, R fail, F &&body,
           BadHandleLog on_bad = log_bad_handle) noexcept {
    return guarded<DevMark>(fn, dev, fail, std::forward<F>(body), on_bad);
}

// The "Wrong params" debug line that some calls report a bad handle with.
inline void log_wrong_params(const char *fn) { vz_dbg("[%s] Wrong params\n", fn); }

}  // namespace vz
