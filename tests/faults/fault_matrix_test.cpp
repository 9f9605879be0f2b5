// Every fault of the virtual camera, seen through the public API: what the
// caller gets back, that close still completes in time, and that no
// descriptor or thread is left behind. One table, one row per fault.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "device/fixture.h"
#include "resources.h"
#include "vizor/datatrans.h"
#include "vizor/stream.h"

namespace {

using vcam::Fault;
using vcam::FaultSpec;
using Clock = std::chrono::steady_clock;

// What the caller saw: the call's result (for capture: frames kept coming
// after the fault) and the first error the error callback received.
struct Outcome {
    bool ok;
    int cap_err;
};

struct Seen {
    int frames = 0;
    int first_err = 0;
} g_seen;

void on_frame(vizor_dev_t *, vizor_frame_t *) { ++g_seen.frames; }
bool on_error(vizor_dev_t *, int err, int) {
    if (!g_seen.first_err) g_seen.first_err = err;
    return true;
}

// ---- what the application does while the fault is armed ----------------------

Outcome capture(vizor_dev_t *dev, vcam::Camera &) {
    vizor_cap_set_callback_on_frame_ready(dev, on_frame);
    vizor_cap_set_callback_on_error(dev, on_error);
    if (!vizor_cap_start(dev)) return {false, 0};
    // Ends with 8 frames delivered or with capture halted by the fault.
    vzt::eventually(
        [&] {
            vizor_cap_wait(dev, 100);
            return g_seen.frames >= 8 || !vizor_cap_is_ongoing(dev) || dev->ll->cap_halted;
        },
        vzt::kPatience);
    return {g_seen.frames >= 8, g_seen.first_err};
}

Outcome reg_write(vizor_dev_t *dev, vcam::Camera &) {
    const uint32_t v[4] = {1, 2, 3, 4};
    return {vizor_reg_batch_write(dev, 2, 0x10, v, 4), 0};
}

Outcome reg_read(vizor_dev_t *dev, vcam::Camera &) {
    uint32_t v[4] = {};
    return {vizor_reg_batch_read(dev, 2, 0x10, v, 4), 0};
}

Outcome param_get(vizor_dev_t *dev, vcam::Camera &) {
    vizor_param_item_t item{};
    item.param_id = VIZOR_PARAM_INFO_PRODUCT;
    const bool ok = vizor_param_batch_get(dev, &item, 1);
    return {ok && item.param_val_len <= sizeof item.param_val, 0};
}

Outcome reopen(vizor_dev_t *dev, vcam::Camera &) {
    vizor_dev_close(dev);
    return {vizor_dev_open(dev) == dev, 0};
}

Outcome download(vizor_dev_t *dev, vcam::Camera &cam) {
    cam.fw().set_erase_polls(0);
    std::vector<uint8_t> img(3000, 0x5A);
    const int fd = open("img.bin", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const bool written = fd >= 0 && write(fd, img.data(), img.size()) == ssize_t(img.size());
    if (fd >= 0) close(fd);
    return {written && vizor_data_download(dev, "img.bin", 5, 1, 0) == 1, 0};
}

// ---- the table -------------------------------------------------------------------

struct Row {
    const char *name;
    Fault fault;
    FaultSpec plan;
    Outcome (*act)(vizor_dev_t *, vcam::Camera &);
    Outcome want;
    const char *log;  // a line the caller's log must hold ("" for none)
};

FaultSpec once(uint32_t after = 0) { return FaultSpec().after(after).times(1); }

const Row kRows[] = {
    {"bulk_stall", Fault::bulk_stall, once(3), capture, {false, VIZOR_ERR_CAP_STALL}, "stall"},
    {"bulk_error", Fault::bulk_error, once(3), capture, {false, VIZOR_ERR_CAP_ERROR}, "error ("},
    {"bulk_timeout", Fault::bulk_timeout, once(3), capture, {true, 0}, "timeout (last_tx"},
    {"vanish", Fault::vanish, once(3), capture, {false, VIZOR_ERR_CAP_ERROR}, "error ("},
    {"corrupt_header_cksum",
     Fault::corrupt_header_cksum,
     once(7),
     capture,
     {true, VIZOR_ERR_CAP_FRAME_DISCARD},
     ""},
    {"lost_chunk", Fault::lost_chunk, once(7), capture, {true, VIZOR_ERR_CAP_FRAME_DISCARD}, ""},
    {"wrong_fridx", Fault::wrong_fridx, once(7), capture, {true, VIZOR_ERR_CAP_FRAME_DISCARD}, ""},
    {"truncated_payload",
     Fault::truncated_payload,
     once(7),
     capture,
     {true, VIZOR_ERR_CAP_FRAME_DISCARD},
     ""},
    {"status_busy", Fault::status_busy, FaultSpec().times(3), reg_write, {true, 0}, ""},
    {"status_other_cmd",
     Fault::status_other_cmd,
     once(),
     reg_write,
     {false, 0},
     "is not as expect"},
    {"command_fails",
     Fault::command_fails,
     once().text("sensor asleep"),
     reg_write,
     {false, 0},
     "sensor asleep"},
    {"short_control_reply",
     Fault::short_control_reply,
     once(),
     reg_read,
     {false, 0},
     "exe usb cmd failed"},
    {"refuse_interface0", Fault::refuse_interface0, once(), reopen, {true, 0}, ""},
    {"param_len_overflow", Fault::param_len_overflow, once(), param_get, {true, 0}, ""},
    {"control_hang",
     Fault::control_hang,
     once(),
     reg_write,
     {false, 0},
     "control transfer timeout"},
    {"ack_next", Fault::ack_next, once().arg(0), download, {false, 0}, "Data transfer failed A."},
};
static_assert(std::size(kRows) == size_t(vcam::kFaultCount), "one row per fault");

class FaultMatrix : public vzt::DeviceTest, public ::testing::WithParamInterface<Row> {
protected:
    void SetUp() override {
        g_seen = {};
        vcam::StreamConfig sc = cam->fw().stream();
        sc.max_dlen = 65536;  // five chunks per frame: a damaged chunk costs part of a frame
        sc.fps = 100;
        cam->fw().set_stream(sc);
        ASSERT_NE(open(), nullptr);  // the first open settles what the process keeps
        vizor_dev_close(dev);
        dev = nullptr;
    }
    vzt::TempCwd cwd;
};

TEST_P(FaultMatrix, CallerSeesTheFaultAndCloseReleasesEverything) {
    const Row &row = GetParam();
    const int fds = vzt::fd_count(), threads = vzt::thread_count();
    ASSERT_NE(vizor_dev_open(&rec), nullptr);
    dev = &rec;
    cam->inject(row.fault, row.plan);
    const Outcome got = row.act(dev, *cam);
    EXPECT_EQ(got.ok, row.want.ok);
    EXPECT_EQ(got.cap_err, row.want.cap_err);
    EXPECT_GE(cam->fw().fault_hits(row.fault), 1u);
    if (*row.log) {
        EXPECT_TRUE(log.has(row.log)) << row.log;
    }

    const auto t0 = Clock::now();
    vizor_dev_close(dev);
    dev = nullptr;
    EXPECT_LT(vzt::elapsed_ms(t0), 3500);
    cam->clear_fault(row.fault);
    if (!cam->present()) {  // a vanished camera is back for the next test
        cam->replug();
        ASSERT_TRUE(cam->wait_present(true));
    }
    EXPECT_TRUE(vzt::eventually([&] { return vzt::fd_count() <= fds; }, vzt::kPatience))
        << vzt::fd_count();
    EXPECT_TRUE(vzt::eventually([&] { return vzt::thread_count() <= threads; }, vzt::kPatience));
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(kRows),
                         [](const auto &p) { return std::string(p.param.name); });

// ---- lost frames and short frames -------------------------------------------------

class CaptureLosses : public vzt::DeviceTest {
protected:
    void SetUp() override { ASSERT_NE(open(), nullptr); }
};

TEST_F(CaptureLosses, FramesDroppedByAFullBufferAreCounted) {
    vz_stream_state_t st{};
    EXPECT_FALSE(vizor_cap_get_stats(nullptr, &st));
    EXPECT_FALSE(vizor_cap_get_stats(dev, nullptr));
    ASSERT_TRUE(vizor_cap_set_frame_buffer(dev, nullptr, 2 * vzt::kFrameBytes));
    ASSERT_TRUE(vizor_cap_start(dev));
    // Nobody fetches: beyond two frames the oldest are dropped.
    ASSERT_TRUE(
        vzt::eventually([&] { return vizor_cap_get_stats(dev, &st) && st.frames_ready_total >= 6; },
                        vzt::kPatience));
    vizor_cap_stop(dev);
    ASSERT_TRUE(vizor_cap_get_stats(dev, &st));
    EXPECT_EQ(st.frames_in_buffer, 2u);
    EXPECT_EQ(st.frames_dropped_full, st.frames_ready_total - 2);
    EXPECT_EQ(st.frames_discarded, 0u);
}

TEST_F(CaptureLosses, FrameShorterThanItsGeometryIsNotDecoded) {
    std::vector<uint8_t> raw(vzt::kFrameBytes);
    vizor_frame_info_t info{};
    ASSERT_TRUE(vizor_cap_snapshot(dev, raw.data(), uint32_t(raw.size()), &info));
    std::vector<float> dst(320 * 240, -1.0f);
    info.frame_size = vzt::kFrameBytes / 2;  // the camera announced half a frame
    const int half = int(info.frame_size);
    for (auto get : {vizor_frame_get_distance, vizor_frame_get_gray})
        EXPECT_EQ(get(dev, dst.data(), int(dst.size()), raw.data(), half, &info), 0);
    EXPECT_EQ(std::count(dst.begin(), dst.end(), -1.0f), long(dst.size()));
    EXPECT_TRUE(log.has("raw frame shorter than its geometry: datalen=153600, 320x240 x 4 bytes"));
}

}  // namespace
