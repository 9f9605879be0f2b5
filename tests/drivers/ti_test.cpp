// The OPT8241 driver: fixed geometry and the two 12-bit decodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "vizor/drv.h"
#include "vizor/stream.h"

namespace {

constexpr uint32_t kFrameBytes = 320 * 240 * 4;

struct Ti {
    Ti() { ops.init(&drv, &dev); }
    const vizor_drv_ops_t &ops = g_vizor_driver_op_ti;
    vizor_drv_t drv{"TI OP8241 chip driver", "T0", &g_vizor_driver_op_ti, nullptr, nullptr};
    vizor_dev_t dev{};
    vizor_frame_info_t info{kFrameBytes, 1, 0, 320, 240, 4, 0, 0};
};

std::vector<uint16_t> pixels(std::initializer_list<std::pair<uint16_t, uint16_t>> amp_phase) {
    std::vector<uint16_t> raw;
    for (auto [a, p] : amp_phase) {
        raw.push_back(a);
        raw.push_back(p);
    }
    return raw;
}

TEST(TiDriver, OperationTableShape) {
    Ti t;
    EXPECT_EQ(t.drv.dev, &t.dev);
    EXPECT_EQ(t.ops.lens_param_get, nullptr);
    EXPECT_EQ(t.ops.reserved_8, nullptr);
    EXPECT_EQ(t.ops.filter_enable, nullptr);
    EXPECT_EQ(t.ops.filter_disable, nullptr);
    EXPECT_EQ(t.ops.reserved_6(&t.drv), 0);
    EXPECT_EQ(t.ops.reserved_11(&t.drv), 1);
    EXPECT_EQ(t.ops.calib_data_check(&t.drv, 0, 0, 2), 0);
    EXPECT_EQ(t.ops.calib_data_loaded(&t.drv, 0, 0, 2), 0);
    vizor_calib_names_t names{};
    EXPECT_EQ(t.ops.calib_names_get(&t.drv, &names, 1), 0);
    EXPECT_EQ(names.dist_img_name, nullptr);
}

TEST(TiDriver, FrameInfoHasFixedGeometry) {
    Ti t;
    vz_stream_frame_hdr_t hdr{};
    hdr.frame_size = 1234;
    hdr.frame_idx = 77;
    hdr.frame_format = 5;
    hdr.width = 10;
    hdr.height = 20;
    vizor_frame_info_t info;
    memset(&info, 0xAA, sizeof info);
    ASSERT_TRUE(t.ops.frame_get_info(&t.drv, &info, &hdr));
    EXPECT_EQ(info.frame_size, 1234u);
    EXPECT_EQ(info.frame_idx, 77);
    EXPECT_EQ(info.frame_format, 5);
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.height, 240u);
    EXPECT_EQ(info.pixel_depth, 4);
    EXPECT_EQ(info.rsvd0, 0);
    EXPECT_EQ(info.rsvd1, 0);
}

TEST(TiDriver, WorkedDistanceAndGrayValues) {
    Ti t;
    auto raw = pixels({{0x0400, 0x0800}, {0xF400, 0x0FFF}, {0x0FFF, 0xF800}});
    raw.resize(kFrameBytes / 2);  // the rest of the frame is zero
    float d[3], g[3];
    EXPECT_EQ(t.ops.frame_decode(&t.drv, d, sizeof d, 1, raw.data(), kFrameBytes, &t.info),
              int(kFrameBytes));
    EXPECT_EQ(t.ops.frame_decode(&t.drv, g, sizeof g, 2, raw.data(), kFrameBytes, &t.info),
              int(kFrameBytes));
    EXPECT_FLOAT_EQ(d[0], 1.561419f);
    EXPECT_FLOAT_EQ(d[1], 3.122076f);
    EXPECT_EQ(d[2], d[0]);  // upper four bits are ignored
    EXPECT_EQ(g[0], 0.25f);
    EXPECT_EQ(g[1], g[0]);
    EXPECT_EQ(g[2], 4095.0f / 4096);
}

TEST(TiDriver, DecodeIsBitIdenticalToTheFormula) {
    Ti t;
    std::vector<uint16_t> raw(320 * 240 * 2);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint16_t(i * 2654435761u >> 7);
    std::vector<float> d(320 * 240), g(320 * 240);
    t.ops.frame_decode(&t.drv, d.data(), d.size() * 4, 1, raw.data(), kFrameBytes, &t.info);
    t.ops.frame_decode(&t.drv, g.data(), g.size() * 4, 2, raw.data(), kFrameBytes, &t.info);
    for (size_t i = 0; i < d.size(); ++i) {
        const float dist = float(raw[2 * i + 1] & 0xFFF) * (1.0f / 4096) * 3.122838f;
        const float gray = float(raw[2 * i] & 0xFFF) * (1.0f / 4096);
        ASSERT_EQ(d[i], dist) << i;
        ASSERT_EQ(g[i], gray) << i;
    }
}

TEST(TiDriver, SourceShorterThanTheGeometryIsRefusedUnwritten) {
    Ti t;
    std::vector<uint16_t> raw(320 * 240 * 2, 0x0800);
    std::vector<float> dst(320 * 240, -1.0f);
    for (uint32_t len : {8u, 11u, kFrameBytes - 1})
        for (int target : {1, 2}) {
            EXPECT_EQ(t.ops.frame_decode(&t.drv, dst.data(), dst.size() * 4, target, raw.data(),
                                         len, &t.info),
                      -1)
                << len;
            EXPECT_EQ(std::count(dst.begin(), dst.end(), -1.0f), long(dst.size())) << len;
        }
}

TEST(TiDriver, ShortDestinationReceivesTheFirstPixels) {
    Ti t;
    std::vector<uint16_t> raw(320 * 240 * 2, 0x0800);
    std::vector<float> dst(16, -1.0f);
    EXPECT_EQ(t.ops.frame_decode(&t.drv, dst.data(), 8, 1, raw.data(), kFrameBytes, &t.info),
              int(kFrameBytes));
    EXPECT_NE(dst[1], -1.0f);
    EXPECT_EQ(dst[2], -1.0f);
}

TEST(TiDriver, UnknownTargetWritesNothing) {
    Ti t;
    std::vector<uint16_t> raw(320 * 240 * 2, 0x0800);
    float dst[4] = {-1, -1, -1, -1};
    EXPECT_EQ(t.ops.frame_decode(&t.drv, dst, sizeof dst, 3, raw.data(), kFrameBytes, &t.info),
              int(kFrameBytes));
    for (float v : dst) EXPECT_EQ(v, -1.0f);
}

}  // namespace
