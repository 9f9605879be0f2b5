// The EPC driver's operations without a camera: frame descriptions, decode
// lengths and formats, the processing switches per format, automatic
// integration steps, lens fractions and filters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "drivers/drv_epc.h"
#include "epc660/base.h"
#include "log_capture.h"
#include "testutil.h"
#include "vizor/drv_epc.h"
#include "vizor/epc660.h"
#include "vizor/stream.h"

namespace {

class EpcDriver : public ::testing::Test {
protected:
    void SetUp() override {
        configSetPartType(2);
        configInit(32);  // no device: registers stay untouched, geometry 320 x 240
        testing::internal::GetCapturedStdout();
        drv.priv = &priv;
        priv.min_amplitude_on = 1;
        priv.metres_per_code = 12.5f / 30000.0f;
    }
    void TearDown() override { vz::epc::set_default_device(nullptr); }
    int decode(uint16_t format, uint32_t src_len, uint32_t dst_len, int target = 1,
               uint32_t height = 240) {
        vizor_frame_info_t info{};
        info.frame_size = 614400;
        info.frame_format = format;
        info.width = 320;
        info.height = height;
        info.pixel_depth = 8;
        return epc_frame_decode(&drv, dst.data(), dst_len, target, src.data(), src_len, &info);
    }
    vzt::TempCwd cwd;
    bool captured = (testing::internal::CaptureStdout(), true);
    epc_priv_t priv{};
    vizor_drv_t drv{"EPC chip driver", "E1", &g_vizor_driver_op_epc, nullptr, nullptr};
    std::vector<uint16_t> src = std::vector<uint16_t>(307200, 2048);
    std::vector<float> dst = std::vector<float>(76800);
};

TEST_F(EpcDriver, FrameInfoFromTheStreamHeader) {
    struct Row {
        uint32_t size;
        uint16_t format, w, h;
        bool ok;
        uint32_t ow, oh;
        uint8_t depth;
    };
    const Row rows[] = {{614400, 2, 320, 240, true, 320, 240, 8},
                        {614399, 2, 320, 240, false, 0, 0, 0},
                        {153600, 0, 0, 0, true, 320, 240, 2},
                        {1001, 171, 0, 0, true, 320, 240, 0},
                        {86400, 2, 160, 60, true, 160, 60, 9}};
    for (const Row &r : rows) {
        vz_stream_frame_hdr_t hdr{r.size, 7, r.format, r.w, r.h, {0x2C, 0x01, 0x18, 0x01}};
        vizor_frame_info_t info{};
        priv.frame_valid = 0;
        EXPECT_EQ(epc_frame_get_info(&drv, &info, &hdr), r.ok) << r.size;
        EXPECT_EQ(info.width, r.ow);
        EXPECT_EQ(info.height, r.oh);
        EXPECT_EQ(info.pixel_depth, r.depth);
        EXPECT_EQ(priv.frame_valid, 1);
    }
    EXPECT_EQ(temperatureGetTemperatureByFrameHeader(), 300);
    EXPECT_EQ(temperatureGetIbTemperatureByFrameHeader(), 280);
}

TEST_F(EpcDriver, DecodeLengthsAndFormats) {
    EXPECT_EQ(decode(2, 614400, 307200), 307200);
    EXPECT_EQ(decode(2, 614400, 307200, 2), 307200);
    EXPECT_EQ(decode(2, 614400, 307200, 3), -1);
    LogCapture log;
    EXPECT_EQ(decode(2, 614399, 307200), -1);
    EXPECT_EQ(decode(2, 614400, 307199), -1);
    EXPECT_TRUE(log.has("[epc_frame_decode] wrong data len: src=614400, dst=307199\n"));
    EXPECT_EQ(decode(0, 614400, 307200, 1), -1);  // a gray frame has no distances
    EXPECT_TRUE(log.has("[epc_frame_decode] a gray frame (format 0) holds no distances\n"));
    EXPECT_EQ(decode(171, 614400, 307200), -1);
    EXPECT_TRUE(log.has("[epc_frame_decode] Calibration data frame,size:614400\n"));
    EXPECT_EQ(priv.frame_valid, 0);
}

// Every DCS format decodes: four samples per pixel with pi delay, two
// without (a dual-MGX frame of 320 x 240 sensor rows describes 320 x 120
// pixels); a frame short of its samples is refused.
TEST_F(EpcDriver, EveryDcsFormatDecodesWithItsSampleCount) {
    struct Row {
        uint16_t format;
        uint32_t height, bytes;
    } rows[] = {{1, 120, 307200}, {2, 240, 614400}, {3, 120, 153600}, {4, 120, 153600},
                {5, 240, 614400}, {6, 120, 307200}, {7, 240, 307200}, {8, 240, 307200}};
    LogCapture log;
    for (const Row &r : rows) {
        const int out = int(4 * 320 * r.height);
        EXPECT_EQ(decode(r.format, r.bytes, 307200, 1, r.height), out) << r.format;
        EXPECT_EQ(decode(r.format, r.bytes, 307200, 2, r.height), out) << r.format;
        priv.frame_valid = 1;
        EXPECT_EQ(decode(r.format, r.bytes - 1, 307200, 1, r.height), -1) << r.format;
        EXPECT_EQ(priv.frame_valid, 0) << r.format;
        EXPECT_EQ(decode(r.format, r.bytes, 307200, 3, r.height), -1) << r.format;
    }
    EXPECT_TRUE(log.has("[epc_frame_decode] wrong data len: src=307199, dst=307200\n"));
}

TEST_F(EpcDriver, ProcessingSwitchesPerFormat) {
    const int table[9][3] = {{0, 0, 0}, {1, 1, 0}, {1, 0, 0}, {0, 1, 1}, {0, 1, 0},
                             {1, 0, 1}, {1, 1, 1}, {0, 0, 1}, {0, 0, 0}};
    for (uint16_t f = 0; f <= 9; ++f) {
        decode(f, 614400, 307200);
        const int *want = table[f == 9 ? 8 : f];  // format 9 keeps format 8's switches
        EXPECT_EQ(calculationIsPiDelay(), want[0]) << f;
        EXPECT_EQ(calculationIsDualMGX(), want[1]) << f;
        EXPECT_EQ(calculationIsPN(), want[2]) << f;
    }
}

TEST_F(EpcDriver, AutoIntegrationSteps) {
    struct Row {
        uint32_t saturated, high, low;
        int delta;
    };
    const Row rows[] = {{19968, 0, 0, -60},  // 65 per thousand above 50
                        {15360, 0, 0, -10},  // exactly the target
                        {30800, 0, 0, -90}, {300, 600, 0, -10}, {0, 0, 0, 50},
                        {0, 11, 0, 0},      {0, 0, 513, 0},     {0, 10, 512, 50}};
    for (const Row &r : rows) {
        std::vector<uint16_t> s(307200, 2048);
        uint32_t i = 0;
        for (uint32_t k = 0; k < r.saturated; ++k) s[i++] = k % 2 ? 4095 : 0;
        for (uint32_t k = 0; k < r.high; ++k) s[i++] = 4000;
        for (uint32_t k = 0; k < r.low; ++k) s[i++] = 100;
        EXPECT_EQ(vz::epcdrv::autoint_delta(s.data(), uint32_t(s.size()), 50), r.delta)
            << r.saturated;
    }
    EXPECT_EQ(vz::epcdrv::autoint_delta(nullptr, 0, 50), 50);
    // Both chips count samples by their 12-bit value: the epc635's arrive
    // left-aligned (x 16). Mid-gray asks for more time, saturation for less.
    struct Chip {
        int part;
        uint16_t mid, full;
    } chips[] = {{2, 2048, 4095}, {4, 2048 << 4, 0xFFF0}, {5, 2048 << 4, 0xFFF0}};
    for (const Chip &c : chips) {
        configSetPartType(c.part);
        const std::vector<uint16_t> gray(86400, c.mid), full(86400, c.full);
        EXPECT_EQ(vz::epcdrv::autoint_delta(gray.data(), 86400, 50), 50) << c.part;
        EXPECT_EQ(vz::epcdrv::autoint_delta(full.data(), 86400, 50), -90) << c.part;
    }
    configSetPartType(2);
    // Steps keep the time within 10 .. 1500 µs.
    const std::vector<uint16_t> dark(307200, 2048), bright(307200, 4095);
    configSetIntegrationTime3D(1480);
    vz::epcdrv::autoint_step(dark.data(), 307200, 50);
    EXPECT_EQ(configGetIntegrationTime3D(), 1480);
    configSetIntegrationTime3D(1450);
    vz::epcdrv::autoint_step(dark.data(), 307200, 50);
    EXPECT_EQ(configGetIntegrationTime3D(), 1500);
    configSetIntegrationTime3D(50);
    vz::epcdrv::autoint_step(bright.data(), 307200, 50);
    EXPECT_EQ(configGetIntegrationTime3D(), 10);
}

// A chip identity that cannot be read fails the adapter with exactly the
// console text "Get chip info failed" (no line end) and no default device.
TEST_F(EpcDriver, AdapterWithoutChipIdentity) {
    vizor_dev_t unopened{};
    testing::internal::CaptureStdout();
    EXPECT_FALSE(epc_adapter_init(&unopened));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Get chip info failed");
    EXPECT_EQ(vz::epc::default_device(), nullptr);
}

TEST_F(EpcDriver, LensForFractionsOf640x480) {
    vz_lens_param_t lens{};
    ASSERT_TRUE(epc_lens_param_get(&drv, &lens, 320, 240));
    EXPECT_DOUBLE_EQ(lens.cx, 162.00372);
    EXPECT_DOUBLE_EQ(lens.cy, 110.054925);
    EXPECT_DOUBLE_EQ(lens.fx, 319.331685);
    EXPECT_DOUBLE_EQ(lens.fy, 319.25846);
    EXPECT_DOUBLE_EQ(lens.dist_coeff[0], -0.27313);
    EXPECT_EQ(lens.width, 320);
    ASSERT_TRUE(epc_lens_param_get(&drv, &lens, 160, 60));
    EXPECT_DOUBLE_EQ(lens.cy, 220.10985 / 8);
    LogCapture log;
    EXPECT_FALSE(epc_lens_param_get(&drv, &lens, 300, 240));
    EXPECT_FALSE(epc_lens_param_get(&drv, &lens, 0, 240));
    EXPECT_TRUE(log.has("lens param not match the frame size: lens: 640x480, frame: 300x240\n"));
}

TEST_F(EpcDriver, Filters) {
    const vizor_drv_ops_t &ops = g_vizor_driver_op_epc;
    int32_t amp = 30;
    uint16_t target = 70;
    for (int id : {2, 3, 7}) EXPECT_TRUE(ops.filter_enable(&drv, id, nullptr, 0));
    EXPECT_TRUE(ops.filter_enable(&drv, 4, &amp, 4));
    EXPECT_TRUE(ops.filter_enable(&drv, 5, &target, 2));
    EXPECT_TRUE(ops.filter_enable(&drv, 0, nullptr, 0));
    EXPECT_EQ(priv.min_amplitude, 30);
    EXPECT_EQ(priv.autoint_target, 70);
    EXPECT_EQ(priv.undistort_on, 1);
    EXPECT_EQ(decode(2, 614400, 307200), -1);  // this record has no undistortion map
    // Gray frames (format 0) are never undistorted: the map is not needed.
    std::fill(src.begin(), src.end(), uint16_t(1234));
    pruSetDCS(1);  // the gray readout
    ASSERT_EQ(decode(0, 153600, 307200, 2), 307200);
    pruSetDCS(4);
    EXPECT_EQ(dst[0], 1234.0f);
    EXPECT_EQ(dst[76799], 1234.0f);
    std::fill(src.begin(), src.end(), uint16_t(2048));
    EXPECT_TRUE(ops.filter_disable(&drv, 0));
    ASSERT_EQ(decode(2, 614400, 307200), 307200);
    EXPECT_EQ(pruGetMinAmplitude(), 30);
    // No modulation: every pixel is marked "amplitude too low" (65300 -> 65.3).
    for (float v : dst) ASSERT_EQ(v, 65300.0f / 1000.0f);
    EXPECT_TRUE(ops.filter_disable(&drv, 5));
    EXPECT_EQ(priv.autoint_on + priv.autoint_target, 0);
    EXPECT_EQ(epc_adapater_get_frame_valid(), 1);  // no default device
    EXPECT_EQ(ops.reserved_11(&drv), 1);
    EXPECT_EQ(ops.calib_data_check(&drv, 0, 0, 2), -1);  // no calibration files here
}

// The vector conversion of codes to metres equals the per-code form for
// every code, at every alignment and length, at the ranges of the frequency
// table; distances scale to the period's range and markers keep their code.
TEST(EpcConversion, CodesToMetresEqualsThePerCodeForm) {
    std::vector<uint16_t> codes(65536 + 40);
    for (size_t i = 0; i < codes.size(); ++i) codes[i] = uint16_t(i * 7919u);
    std::vector<float> fast(codes.size()), ref(codes.size());
    for (const float range : {12.5f, 7.5f, 30.0f, 0.0f}) {
        const float k = range / 30000.0f;
        for (const auto &[from, n] : {std::pair{0, 65536 + 40}, {1, 65530}, {3, 15}, {5, 0}}) {
            vz::epcdrv::codes_to_metres(codes.data() + from, fast.data(), uint32_t(n), k);
            for (int i = 0; i < n; ++i) ref[i] = vz::epcdrv::code_to_metres(codes[from + i], k);
            ASSERT_EQ(0, std::memcmp(fast.data(), ref.data(), size_t(n) * 4)) << range << " " << n;
        }
    }
    const float k = 12.5f / 30000.0f;
    EXPECT_FLOAT_EQ(vz::epcdrv::code_to_metres(15000, k), 6.25f);
    EXPECT_FLOAT_EQ(vz::epcdrv::code_to_metres(29999, k), 12.5f * 29999 / 30000);
    EXPECT_EQ(vz::epcdrv::code_to_metres(65299, k), 65299 * k);
    for (const uint16_t m : {65300, 65400, 65500, 65535})
        EXPECT_EQ(vz::epcdrv::code_to_metres(m, k), float(m) / 1000.0f);
}

}  // namespace
