// Capture engine internals: the pool of bulk transfers, the fetch request,
// and the start/stop steps shared by the public calls and device close.
#pragma once

#include <libusb.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "vizor/vizor.h"

namespace vz::cap {

constexpr int kXfers = 32;
constexpr uint32_t kXferLen = 0x20000;
constexpr unsigned char kBulkIn = 0x81;
constexpr uint32_t kFrameUnit = 307200;  // bytes per frame when sizing the buffer

// The request of a fetch call in progress; lives on the caller's stack.
struct FrameReq {
    uint32_t total;
    uint32_t remaining;
    uint8_t *buf;
    uint32_t buf_len;
    vizor_frame_info_t *first_info;
};

// The 32 bulk transfers of a device with their buffers, and everything done
// with them: allocation, submission, resubmission from the completion,
// cancellation, and the wait until the last one has come back. Counts the
// transfers in flight (submitted and not yet retired); the device mutex and
// condition variable it is given publish each retirement to waiters.
class XferPool {
public:
    // Allocates the transfers and buffers; NULL when memory runs out.
    static std::unique_ptr<XferPool> create();
    // Frees the transfers. Only when none is in flight: see release().
    ~XferPool();
    XferPool(const XferPool &) = delete;
    XferPool &operator=(const XferPool &) = delete;

    // Releases the pool of a closing device. A transfer that never came back
    // from its cancellation keeps the whole pool allocated (leaked): freeing it
    // would let its late completion write into freed memory. Logs under fn.
    static void release(std::unique_ptr<XferPool> &pool, const char *fn);

    libusb_transfer *at(int i) const { return xfers_[size_t(i)]; }
    uint8_t *buffer(int i) const { return bufs_[size_t(i)].get(); }
    // Index of a transfer of this pool (its stream id when that matches), or -1.
    int index_of(const libusb_transfer *t) const;
    int in_flight() const { return in_flight_.load(); }

    // Fills and submits every transfer on the bulk IN endpoint of hdl; transfer
    // i waits 500 * (i + 1) ms. cb runs on the event thread with user_data
    // user. Returns the bytes submitted; failures are logged under fn
    // (remaining: the frames still expected, for the trace line).
    uint32_t submit_all(libusb_device_handle *hdl, libusb_transfer_cb_fn cb, void *user,
                        const char *fn, uint32_t remaining);
    // Submits a completed transfer again; false (logged) when that failed.
    bool resubmit(libusb_transfer *t, unsigned timeout_ms, const char *fn);
    // A transfer leaves the rotation: counted out under mu, waiters woken.
    void retire(std::mutex &mu, std::condition_variable &cv, uint64_t &wake_seq);
    // Cancels every transfer, logging each result under tag.
    void cancel_all(const char *tag);
    // Waits up to timeout_ms until no transfer is in flight; false on time-out.
    bool wait_idle(std::mutex &mu, std::condition_variable &cv, int timeout_ms);

private:
    XferPool() = default;
    std::array<libusb_transfer *, kXfers> xfers_{};
    std::array<std::unique_ptr<uint8_t[]>, kXfers> bufs_;
    std::atomic<int> in_flight_{0};
};

// Starts and stops capture on an open device (the public calls add their
// argument checks and the busy mark).
bool start(vizor_dev_t &dev);
bool stop(vizor_dev_t &dev);

// Halts delivery and wakes every thread waiting on the device.
void wake_all(vizor_ll_t &ll);

}  // namespace vz::cap

namespace vz {

// Reads parameters through the command channel (no busy mark, no checks).
bool param_get(vizor_dev_t &dev, vizor_param_item_t *items, int count);

// Fetches frames into a caller's buffer, waiting up to timeout_ms (0: no
// wait). The common body of the public fetch calls.
int get_frames(vizor_dev_t &dev, uint32_t count, uint8_t *buf, uint32_t buf_len,
               vizor_frame_info_t *finfo, int timeout_ms);

// Downloads the calibration files the driver lacks (at open; calib_download.cpp).
void load_calib_data(vizor_dev_t &dev);

}  // namespace vz
