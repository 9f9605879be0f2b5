// Capture engine internals: the pool of bulk transfers, the fetch request,
// and the start/stop steps shared by the public calls and device close.
#pragma once

#include <libusb.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "vizor/vizor.h"

namespace vz::cap {

constexpr int kXfers = 32;
constexpr uint32_t kXferLen = 0x20000;
constexpr unsigned char kBulkIn = 0x81;
constexpr uint32_t kFrameUnit = 307200;   // bytes per frame when sizing the buffer

// The request of a fetch call in progress; lives on the caller's stack.
struct FrameReq {
    uint32_t total;
    uint32_t remaining;
    uint8_t *buf;
    uint32_t buf_len;
    vizor_frame_info_t *first_info;
};

// The 32 bulk transfers of a device with their buffers. Counts the transfers
// in flight so that a stop can wait until every cancelled one has come back.
class XferPool {
public:
    static std::unique_ptr<XferPool> create();
    ~XferPool();
    XferPool(const XferPool &) = delete;
    XferPool &operator=(const XferPool &) = delete;

    libusb_transfer *at(int i) const { return xfers_[size_t(i)]; }
    uint8_t *buffer(int i) const { return bufs_[size_t(i)].get(); }
    // Index of a transfer of this pool, or -1.
    int index_of(const libusb_transfer *t) const;

    std::atomic<int> in_flight{0};

private:
    XferPool() = default;
    std::array<libusb_transfer *, kXfers> xfers_{};
    std::array<std::unique_ptr<uint8_t[]>, kXfers> bufs_;
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
