// Replug soak: a camera that leaves the bus while the library holds it open
// and comes back, 50 times. The application sees the loss, closes, and opens
// the camera again; descriptors and threads stay where they were.
#include <vector>

#include "vizor/ll.h"

#include "device/fixture.h"
#include "resources.h"

namespace {

bool g_lost = false;
bool on_error(vizor_dev_t *, int err, int) {
    if (err == VIZOR_ERR_CAP_ERROR) g_lost = true;
    return true;
}

// One cycle: open, capture a frame, lose the camera mid-stream, close, replug.
void cycle(vcam::Camera &cam, vizor_dev_t &rec, std::vector<uint8_t> &buf) {
    ASSERT_EQ(vizor_dev_open(&rec), &rec);
    vizor_cap_set_callback_on_error(&rec, on_error);
    ASSERT_TRUE(vizor_cap_start(&rec));
    ASSERT_EQ(vizor_cap_get_frames(&rec, 1, buf.data(), uint32_t(buf.size()), nullptr), 1);
    g_lost = false;
    cam.unplug();
    EXPECT_TRUE(vzt::eventually(
        [&] {
            vizor_cap_wait(&rec, 100);
            return g_lost;
        },
        vzt::kPatience));
    vizor_dev_close(&rec);
    cam.replug();
    ASSERT_TRUE(cam.wait_present(true));
}

class Replug : public vzt::DeviceTest {};

TEST_F(Replug, FiftyCyclesKeepDescriptorsAndThreadsFlat) {
    vz_log_enable(VZ_LOG_CH_FILE, VZ_LOG_OFF, nullptr);
    vizor_dev_t list[2];
    ASSERT_EQ(vizor_dev_list(list, 2), 1);
    rec = list[0];
    std::vector<uint8_t> buf(vzt::kFrameBytes);
    cycle(*cam, rec, buf);  // warms up what the process keeps for good
    const int fds = vzt::fd_count(), threads = vzt::thread_count();
    for (int i = 0; i < 50 && !HasFatalFailure(); ++i) cycle(*cam, rec, buf);
    // The bus releases an unplugged node once its last client has closed it.
    EXPECT_TRUE(vzt::eventually([&] { return vzt::fd_count() <= fds; }, vzt::kPatience))
        << vzt::fd_count();
    EXPECT_TRUE(vzt::eventually([&] { return vzt::thread_count() <= threads; }, vzt::kPatience))
        << vzt::thread_count();
}

// The library's own replug: a reset of the USB interface closes the device,
// the camera leaves the bus and comes back, and the device is opened again.
TEST_F(Replug, UsbResetsKeepDescriptorsFlat) {
    vz_log_enable(VZ_LOG_CH_FILE, VZ_LOG_OFF, nullptr);
    ASSERT_NE(open(), nullptr);
    ASSERT_TRUE(vizor_dev_reset(dev, VIZOR_RESET_USB_IF));
    const int fds = vzt::fd_count(), threads = vzt::thread_count();
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(vizor_dev_reset(dev, VIZOR_RESET_USB_IF)) << i;
    EXPECT_TRUE(vzt::eventually([&] { return vzt::fd_count() <= fds; }, vzt::kPatience))
        << vzt::fd_count();
    EXPECT_TRUE(vzt::eventually([&] { return vzt::thread_count() <= threads; }, vzt::kPatience));
}

}  // namespace
