// Device list, open, close and reset on the virtual bus.
#include <string.h>

#include "device/fixture.h"
#include "vizor/drv.h"

namespace {

using vzt::DeviceTest;

TEST_F(DeviceTest, ListWithNoRoomLogsAndTouchesNothing) {
    vizor_dev_t list[2];
    memset(list, 0x5A, sizeof list);
    EXPECT_EQ(vizor_dev_list(list, 0), 0);
    EXPECT_EQ(vizor_dev_list(nullptr, 3), 0);
    EXPECT_EQ(list[0].usb_bus_num, 0x5A);
    EXPECT_TRUE(log.has("[vizor_dev_list]   wrong params: dev_list="));
}

TEST_F(DeviceTest, ListFillsTheLocationOfEveryCamera) {
    auto &second = bus.add_camera(2, 5, vcam::Speed::full);
    vizor_dev_t list[4];
    memset(list, 0x5A, sizeof list);
    ASSERT_EQ(vizor_dev_list(list, 4), 2);
    bool seen[2] = {};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(list[i].usb_loc_valid, 1);
        EXPECT_EQ(list[i].ll, nullptr);
        if (list[i].usb_bus_num == cam->bus() && list[i].usb_port_num == cam->port())
            seen[0] = true;
        if (list[i].usb_bus_num == second.bus() && list[i].usb_port_num == second.port()) {
            seen[1] = true;
            EXPECT_EQ(list[i].usb_speed, 2);  // full speed
        }
    }
    EXPECT_TRUE(seen[0] && seen[1]);
    EXPECT_EQ(list[2].usb_bus_num, 0);  // the rest is zeroed
}

TEST_F(DeviceTest, OpenReadsInformationAndBindsItsOwnDriver) {
    cam->fw().set_param(VIZOR_PARAM_INFO_BLOB, {9, 8, 7});
    const std::string info = "ABCDEFGHIJKLMNOPQR";  // fills the value area, no terminator
    cam->fw().set_param(VIZOR_PARAM_INFO_STR, std::vector<uint8_t>(info.begin(), info.end()));
    ASSERT_NE(open(), nullptr);
    EXPECT_STREQ(dev->product, "VZ-T0-320");
    EXPECT_STREQ(dev->dev_info_str, "ABCDEFGHIJKLMNOPQR");
    EXPECT_EQ(dev->dev_info_blob[0], 9);
    EXPECT_EQ(dev->dev_info_blob[2], 7);
    EXPECT_EQ(dev->dev_info_blob[3], 0);
    EXPECT_STREQ(dev->cfg_path, ".\\");
    ASSERT_NE(dev->calib_names[1].param_name, nullptr);
    vizor_drv_t *drv = vizor_dev_get_drv(dev);
    ASSERT_NE(drv, nullptr);
    EXPECT_STREQ(drv->name, "T0");
    EXPECT_EQ(drv->dev, dev);
    EXPECT_NE(drv, vizor_drv_find(dev));  // a per-device copy
    EXPECT_FALSE(vizor_cap_is_ongoing(dev));
    EXPECT_EQ(dev->ll->cap_halted, 1u);
    EXPECT_TRUE(
        log.has("[vizor_drv_find]  find driver for device VZ-T0-320 : TI OP8241 chip driver"));
}

TEST_F(DeviceTest, InformationLengthsFromTheCameraAreClamped) {
    cam->inject(vcam::Fault::param_len_overflow, vzt::times(0));
    ASSERT_NE(open(), nullptr);
    EXPECT_STREQ(dev->product, "VZ-T0-320");
}

TEST_F(DeviceTest, DefaultRecordCannotBeOpenedTwice) {
    vizor_dev_t *first = vizor_dev_open(nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->usb_bus_num, cam->bus());
    EXPECT_EQ(vizor_dev_open(nullptr), nullptr);
    EXPECT_TRUE(log.has("[vizor_dev_open] default device may not close properly!"));
    vizor_dev_close(first);
    dev = vizor_dev_open(nullptr);
    EXPECT_NE(dev, nullptr);
}

TEST_F(DeviceTest, CloseTwiceIsHarmless) {
    ASSERT_NE(open(), nullptr);
    vizor_dev_close(dev);
    EXPECT_EQ(rec.ll, nullptr);
    vizor_dev_close(dev);
    vizor_dev_close(nullptr);
    dev = nullptr;
}

TEST_F(DeviceTest, CloseFreesARecordMarkedFreeOnClose) {
    auto *heap = static_cast<vizor_dev_t *>(calloc(1, sizeof(vizor_dev_t)));
    heap->free_on_close = 1;
    ASSERT_EQ(vizor_dev_open(heap), heap);
    vizor_dev_close(heap);  // AddressSanitizer reports a leak otherwise
}

TEST_F(DeviceTest, RepeatedOpenAndCloseLeaksNoDescriptors) {
    ASSERT_NE(open(), nullptr);
    vizor_dev_close(dev);
    dev = nullptr;
    const int fds = vzt::open_fd_count();
    vz_log_enable(VZ_LOG_CH_FILE, VZ_LOG_OFF, nullptr);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(vizor_dev_open(&rec), &rec) << i;
        vizor_dev_close(&rec);
    }
    // At most as many once the virtual bus has released the nodes of the last
    // close, which it does on its own thread shortly after.
    EXPECT_TRUE(vzt::eventually([&] { return vzt::open_fd_count() <= fds; }))
        << vzt::open_fd_count() << " > " << fds;
}

TEST_F(DeviceTest, ResetChecksItsTarget) {
    vizor_dev_t closed{};
    EXPECT_FALSE(vizor_dev_reset(&closed, 1));
    ASSERT_NE(open(), nullptr);
    cam->fw().clear_command_log();
    EXPECT_FALSE(vizor_dev_reset(dev, 9));
    EXPECT_TRUE(log.has("[vizor_dev_reset] wrong reset target: 9"));
    EXPECT_TRUE(cam->fw().command_log().empty());
    EXPECT_TRUE(vizor_dev_reset(dev, 1));
    EXPECT_EQ(dev->api_busy, 0);
}

TEST_F(DeviceTest, OpenByDescriptorIsRefused) {
    EXPECT_EQ(vizor_dev_open_by_fd(3), nullptr);
    EXPECT_TRUE(log.has("vizor_dev_open_by_fd currently only support in android!"));
}

TEST_F(DeviceTest, DeviceInformationFailureFailsTheOpen) {
    cam->inject(vcam::Fault::command_fails, vzt::times(0));
    EXPECT_EQ(open(), nullptr);
    EXPECT_TRUE(log.has("[vizor_dev_open]  cannot get info of device"));
}

class UnknownDriver : public DeviceTest {
protected:
    UnknownDriver() : DeviceTest("VZ-Q9-320") {}
};

TEST_F(UnknownDriver, OpenFailsAndReleasesTheCamera) {
    EXPECT_EQ(open(), nullptr);
    EXPECT_EQ(rec.ll, nullptr);
    EXPECT_EQ(rec.cfg_path, nullptr);
    EXPECT_TRUE(log.has("[vizor_dev_open] cannot find driver for device: product=VZ-Q9-320"));
    // The interface was released: once the product names a driver, it opens.
    cam->fw().set_param(VIZOR_PARAM_INFO_PRODUCT, {'V', 'Z', '-', 'T', '0', '-', '1', 0});
    dev = vizor_dev_open(&rec);
    EXPECT_NE(dev, nullptr);
}

}  // namespace
