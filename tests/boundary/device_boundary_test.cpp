// The device API's boundary on the virtual camera: closed records and copies
// of another device's record get each call's failure value, and a close from
// inside a call on the same device (the frame-ready or error callback) ends
// at once and completes when that call returns.
#include <vector>

#include "boundary/device_calls.h"
#include "device/fixture.h"

namespace {

using vzt::DeviceTest;

int g_frames_seen = 0;

void close_on_frame(vizor_dev_t *dev, vizor_frame_t *) {
    ++g_frames_seen;
    vizor_dev_close(dev);
}

bool close_on_error(vizor_dev_t *dev, int, int) {
    vizor_dev_close(dev);
    return true;
}

std::atomic<bool> g_in_callback{false};
std::atomic<bool> g_release{false};

void block_on_frame(vizor_dev_t *, vizor_frame_t *) {
    g_in_callback = true;
    while (!g_release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class DeviceBoundary : public DeviceTest {
protected:
    void SetUp() override {
        g_frames_seen = 0;
        ASSERT_NE(open(), nullptr);
    }
    // The close completed: the record holds no device state any more.
    void expect_closed() {
        EXPECT_EQ(rec.ll, nullptr);
        EXPECT_EQ(rec.api_busy, 0);
        EXPECT_TRUE(log.has("[vizor_dev_close] called inside a call on this device"));
        dev = nullptr;
    }
    std::vector<uint8_t> buf = std::vector<uint8_t>(vzt::kFrameBytes * 2);
};

TEST_F(DeviceBoundary, ClosedRecordGetsTheFailureValue) {
    vizor_dev_close(dev);
    dev = nullptr;
    for (const vzt::DeviceCall &c : vzt::device_calls()) EXPECT_TRUE(c.fails(&rec)) << c.name;
}

TEST_F(DeviceBoundary, CopyOfAnotherDevicesRecordIsRefused) {
    vizor_dev_t copy = rec;
    for (const vzt::DeviceCall &c : vzt::device_calls()) EXPECT_TRUE(c.fails(&copy)) << c.name;
    vizor_dev_close(&copy);  // must not close the device the copy came from
    uint32_t v = 0;
    EXPECT_TRUE(vizor_reg_batch_read(dev, 1, 0, &v, 1));
    EXPECT_EQ(rec.api_busy, 0);
}

TEST_F(DeviceBoundary, CloseFromTheFrameCallbackInsideWaitCompletes) {
    ASSERT_TRUE(vizor_cap_set_callback_on_frame_ready(dev, close_on_frame));
    ASSERT_TRUE(vizor_cap_start(dev));
    vizor_cap_wait(dev, 0);  // no deadline: returns only because the close woke it
    EXPECT_EQ(g_frames_seen, 1);
    expect_closed();
}

TEST_F(DeviceBoundary, CloseFromTheFrameCallbackInsideGetFramesCompletes) {
    ASSERT_TRUE(vizor_cap_set_callback_on_frame_ready(dev, close_on_frame));
    ASSERT_TRUE(vizor_cap_start(dev));
    EXPECT_GE(vizor_cap_get_frames(dev, 5, nullptr, 0, nullptr), 0);
    EXPECT_EQ(g_frames_seen, 1);
    expect_closed();
}

TEST_F(DeviceBoundary, CloseFromTheErrorCallbackCompletes) {
    ASSERT_TRUE(vizor_cap_set_callback_on_error(dev, close_on_error));
    cam->inject(vcam::Fault::bulk_error);
    ASSERT_TRUE(vizor_cap_start(dev));
    vizor_cap_wait(dev, 0);
    expect_closed();
}

TEST_F(DeviceBoundary, CloseFromTheCallbackOfASnapshotCompletes) {
    ASSERT_TRUE(vizor_cap_set_callback_on_frame_ready(dev, close_on_frame));
    vizor_frame_info_t info{};
    vizor_cap_snapshot(dev, buf.data(), uint32_t(buf.size()), &info);
    expect_closed();
}

TEST_F(DeviceBoundary, CloseDoesNotWaitWithoutEndForACallOnAnotherThread) {
    g_in_callback = false;
    g_release = false;
    ASSERT_TRUE(vizor_cap_set_callback_on_frame_ready(dev, block_on_frame));
    ASSERT_TRUE(vizor_cap_start(dev));
    std::thread app([&] { vizor_cap_wait(dev, 0); });
    ASSERT_TRUE(vzt::eventually([] { return g_in_callback.load(); }));
    vizor_dev_close(dev);  // returns after its bounded wait; the call still runs
    EXPECT_TRUE(log.has("[vizor_dev_close]  api wait timeout\n"));
    EXPECT_NE(rec.ll, nullptr);
    EXPECT_FALSE(vizor_cap_is_ongoing(dev));  // refused: the device is closing
    g_release = true;
    app.join();  // the call's return finished the close
    EXPECT_EQ(rec.ll, nullptr);
    dev = nullptr;
}

}  // namespace
