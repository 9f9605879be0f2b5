// Register and parameter batches through the device API.
#include <string.h>

#include "device/fixture.h"

namespace {

using vzt::DeviceTest;

TEST_F(DeviceTest, NeverOpenedRecordIsRefused) {
    vizor_dev_t closed{};
    vizor_param_item_t item{};
    uint32_t v = 0;
    EXPECT_FALSE(vizor_param_batch_set(&closed, &item, 1));
    EXPECT_TRUE(log.has("[_vizor_param_batch_set]  Device handler Is NULL!\r\n"));
    EXPECT_FALSE(vizor_param_batch_get(&closed, &item, 1));
    EXPECT_FALSE(vizor_reg_batch_read(&closed, 1, 0, &v, 1));
    EXPECT_FALSE(vizor_reg_batch_write(nullptr, 1, 0, &v, 1));
    EXPECT_TRUE(log.has("[vizor_reg_batch_write]  Device handler Is NULL!\r\n"));
}

TEST_F(DeviceTest, RegistersRoundTrip) {
    ASSERT_NE(open(), nullptr);
    uint32_t vals[20], back[20] = {};
    for (uint32_t i = 0; i < 20; ++i) vals[i] = 0x1000 + i;
    ASSERT_TRUE(vizor_reg_batch_write(dev, 2, 100, vals, 20));
    ASSERT_TRUE(vizor_reg_batch_read(dev, 2, 100, back, 20));
    EXPECT_EQ(memcmp(vals, back, sizeof vals), 0);
    EXPECT_EQ(cam->fw().reg(2, 119), 0x1013u);
    EXPECT_TRUE(vizor_reg_batch_read(dev, 2, 0, back, 0));
    EXPECT_EQ(dev->api_busy, 0);
}

TEST_F(DeviceTest, SensorRegistersKeepTheirLowByte) {
    ASSERT_NE(open(), nullptr);
    uint32_t v = 0x1234, back = 0;
    ASSERT_TRUE(vizor_reg_batch_write(dev, 1, 7, &v, 1));
    ASSERT_TRUE(vizor_reg_batch_read(dev, 1, 7, &back, 1));
    EXPECT_EQ(back, 0x34u);
}

TEST_F(DeviceTest, ParametersRoundTripAndIdsTravelAsTheirLowByte) {
    ASSERT_NE(open(), nullptr);
    vizor_param_item_t set{};
    set.param_id = 0x100 + 40;
    set.param_val_len = 3;
    set.param_val[0] = 1;
    set.param_val[1] = 2;
    set.param_val[2] = 3;
    ASSERT_TRUE(vizor_param_batch_set(dev, &set, 1));
    auto stored = cam->fw().param(40);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ((*stored)[2], 3);

    vizor_param_item_t get[2] = {};
    get[0].param_id = 40;
    get[1].param_id = VIZOR_PARAM_INTG_TIME;
    ASSERT_TRUE(vizor_param_batch_get(dev, get, 2));
    EXPECT_EQ(get[0].param_val_len, 3);
    EXPECT_EQ(get[0].param_val[1], 2);
    EXPECT_EQ(get[1].param_val_len, 2);
    EXPECT_EQ(get[1].param_val[0] | get[1].param_val[1] << 8, 1000);
    EXPECT_TRUE(log.has("[_vizor_param_batch_get] get 2 param"));
}

TEST_F(DeviceTest, FailedGetLeavesItemsAlone) {
    ASSERT_NE(open(), nullptr);
    vizor_param_item_t get{};
    get.param_id = VIZOR_PARAM_INTG_TIME;
    get.param_val_len = 77;
    cam->inject(vcam::Fault::command_fails);
    EXPECT_FALSE(vizor_param_batch_get(dev, &get, 1));
    EXPECT_EQ(get.param_val_len, 77);
    EXPECT_TRUE(vizor_param_batch_get(dev, &get, 0));
}

}  // namespace
