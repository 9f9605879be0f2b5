// The per-device state that an open vizor_dev_t owns, and the guard that
// marks a device busy while a public call works on it.
#pragma once

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/capture.h"
#include "vizor/drv.h"
#include "vizor/ll.h"
#include "vizor/stream.h"
#include "vizor/vizor.h"


// The device's private state. The USB transport reads only its first member.
struct vizor_ll {
    vizor_ll_usb_t usb{};                     // must stay first
    std::unique_ptr<vizor_drv_t> drv;         // this device's copy of its driver
    std::atomic<uint8_t> opened{0};
    std::atomic<uint8_t> capturing{0};        // application threads only
    vz_stream_t *stream = nullptr;
    vz_stream_state_t stream_state{};         // event thread only
    vizor_frame_info_t frame_info{};          // application threads only
    uint32_t cap_frames = 0;
    std::atomic<int32_t> cap_remaining{0};
    std::atomic<uint32_t> cap_bytes_issued{0};
    std::unique_ptr<vz::cap::XferPool> xfers;
    std::atomic<uint32_t> cap_halted{1};      // written under mutex
    std::atomic<uint32_t> to_cnt{0};          // event thread only
    std::atomic<uint32_t> discard_total{0};   // event thread only
    std::atomic<int32_t> err{0};              // written under mutex
    std::atomic<uint8_t> force_stop{0};
    std::atomic<int32_t> err_arg{0};          // written under mutex
    vizor_cap_frdy_f on_frdy = nullptr;
    vizor_cap_err_f on_err = nullptr;
    std::condition_variable cond;
    std::mutex mutex;
    uint64_t wake_seq = 0;                    // guarded by mutex: bumps on every signal
    vz::cap::FrameReq *req = nullptr;         // application thread of the fetch call

    // Public calls in progress; close waits for it to reach zero.
    std::atomic<int> busy{0};
    std::atomic<bool> closing{false};
    std::unique_ptr<uint8_t[]> cb_buf;        // frame-ready copy buffer, made on first use

    // The four calibration name buffers and the calibration folder.
    std::unique_ptr<char[]> name_bufs[4];
    std::unique_ptr<char[]> cfg_path;
};

static_assert(std::is_standard_layout_v<vizor_ll_usb_t>);

namespace vz {

// True when dev names an open device that is not being closed.
inline bool dev_ok(const vizor_dev_t *dev) {
    return dev && dev->ll && dev->ll->opened.load() && !dev->ll->closing.load();
}

// Marks a device busy for the lifetime of the guard. A counter, so that
// overlapping calls never clear each other's mark; dev->api_busy mirrors it.
class BusyGuard {
public:
    explicit BusyGuard(vizor_dev_t *dev) : dev_(dev) {
        if (dev_ && dev_->ll) {
            dev_->ll->busy.fetch_add(1);
            std::atomic_ref<uint8_t>(dev_->api_busy).store(1);
        }
    }
    ~BusyGuard() {
        if (dev_ && dev_->ll && dev_->ll->busy.fetch_sub(1) == 1)
            std::atomic_ref<uint8_t>(dev_->api_busy).store(0);
    }
    BusyGuard(const BusyGuard &) = delete;
    BusyGuard &operator=(const BusyGuard &) = delete;

private:
    vizor_dev_t *dev_;
};

}  // namespace vz
