// Driver lookup by product string and per-device driver copies.
#include <gtest/gtest.h>
#include <string.h>

#include "drivers/registry.h"
#include "vizor/drv.h"

namespace {

vizor_dev_t with_product(const char *p) {
    vizor_dev_t dev{};
    memcpy(dev.product, p, strnlen(p, sizeof dev.product));
    return dev;
}

TEST(DriverFind, MiddleFieldNamesTheDriver) {
    vizor_dev_t ti = with_product("VZ-T0-320");
    vizor_drv_t *d = vizor_drv_find(&ti);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->name, "T0");
    EXPECT_STREQ(d->desc, "TI OP8241 chip driver");
    EXPECT_EQ(d->ops, &g_vizor_driver_op_ti);

    vizor_dev_t e1 = with_product("a-E1-b"), e2 = with_product("a-E2-b");
    vizor_drv_t *d1 = vizor_drv_find(&e1), *d2 = vizor_drv_find(&e2);
    ASSERT_NE(d1, nullptr);
    ASSERT_NE(d2, nullptr);
    EXPECT_NE(d1, d2);
    EXPECT_EQ(d1->ops, d2->ops);
    EXPECT_STREQ(d1->desc, "EPC chip driver");
}

TEST(DriverFind, NamesAreExactAndCaseSensitive) {
    for (const char *p : {"a-e1-b", "a-T00-b", "a-T-b", "a- T0-b"}) {
        vizor_dev_t dev = with_product(p);
        EXPECT_EQ(vizor_drv_find(&dev), nullptr) << p;
    }
}

TEST(DriverFind, FewerThanThreeFieldsFindNothing) {
    for (const char *p : {"T0", "a-T0", "", "-T0-b", "a--T0"}) {
        vizor_dev_t dev = with_product(p);
        EXPECT_EQ(vizor_drv_find(&dev), nullptr) << p;
    }
    EXPECT_EQ(vizor_drv_find(nullptr), nullptr);
}

TEST(DriverFind, OverlongFirstFieldStopsTheScan) {
    vizor_dev_t dev = with_product("ABCDEFGHIJKLMNOPQ-T0-x");  // 17 characters
    EXPECT_EQ(vizor_drv_find(&dev), nullptr);
}

TEST(DriverFind, UnterminatedProductIsReadSafely) {
    vizor_dev_t dev{};
    memset(dev.product, 'x', sizeof dev.product);
    memcpy(dev.product, "VZ-T0-", 6);
    EXPECT_NE(vizor_drv_find(&dev), nullptr);
}

TEST(DriverCopies, EachDeviceGetsItsOwnRecord) {
    vizor_dev_t a = with_product("VZ-T0-1"), b = with_product("VZ-T0-2");
    const vizor_drv_t *proto = vizor_drv_find(&a);
    ASSERT_NE(proto, nullptr);
    auto da = vz::drv::instantiate(*proto), db = vz::drv::instantiate(*proto);
    da->ops->init(da.get(), &a);
    db->ops->init(db.get(), &b);
    EXPECT_EQ(da->dev, &a);
    EXPECT_EQ(db->dev, &b);
    EXPECT_EQ(proto->dev, nullptr);
}

}  // namespace
