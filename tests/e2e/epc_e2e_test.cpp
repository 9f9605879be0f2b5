// The epc660 and epc635 cameras end to end through the EPC driver: open,
// capture, distances of a room against the scene's ground truth, gray and
// amplitude images, point clouds from the driver's lens, undistortion, and
// automatic integration on a saturated scene.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <vector>

#include "epc660/base.h"
#include "testutil.h"
#include "vcam/vcam.h"
#include "vizor/drv_epc.h"
#include "vizor/epc660.h"
#include "vizor/vizor.h"

namespace {

struct Chip {
    const char *product;
    int w, h;
};
const Chip kChips[] = {{"VZ-E1-660", 320, 240}, {"VZ-E2-635", 160, 60}};

// A room: back wall at 2.8 m, floor rising towards the camera in the lower
// third, a box at 1.4 m in the middle, a darker poster on the left wall.
vcam::Scene room(int w, int h) {
    vcam::Scene s = vcam::Scene::flat(w, h, 2.8f, 0.8f);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float &d = s.distance_m[size_t(y * w + x)];
            if (y > 2 * h / 3) d = 2.8f - 1.6f * float(y - 2 * h / 3) / float(h / 3);
            if (std::abs(x - w / 2) < w / 8 && std::abs(y - h / 2) < h / 8) d = 1.4f;
            if (x < w / 6) s.reflectivity[size_t(y * w + x)] = 0.5f;
        }
    return s;
}

class EpcE2E : public ::testing::TestWithParam<Chip> {
protected:
    void open(bool corrections, vcam::EpcCalib calib = vcam::EpcCalib::factory) {
        vcam::CameraConfig cfg;
        cfg.fw.epc.calib = calib;
        cfg.fw.product = GetParam().product;
        cfg.fw.epc.noise = false;
        cfg.fw.epc.defect_pixels = 0;
        cfg.fw.epc.drnu = corrections;
        cfg.fw.epc.temperature_drift = corrections;
        cam = &bus.add_camera(1, 2, cfg);
        vizor_dev_t list[2];
        ASSERT_EQ(vizor_dev_list(list, 2), 1);
        rec = list[0];
        dev = vizor_dev_open(&rec);
        ASSERT_NE(dev, nullptr);
        if (corrections) return;
        // A camera without non-uniformity and drift needs no correction.
        apiCorrectDRNU(0);
        apiCorrectTemperature(0);
    }
    ~EpcE2E() override {
        if (dev) vizor_dev_close(dev);
    }
    int pixels() const { return GetParam().w * GetParam().h; }
    // One frame captured, decoded to `target` floats by the driver.
    std::vector<float> capture(bool distance) {
        raw.assign(8 * size_t(pixels()), 0);
        EXPECT_TRUE(vizor_cap_snapshot(dev, raw.data(), uint32_t(raw.size()), &info));
        std::vector<float> out(size_t(pixels()), -1.0f);
        const auto fn = distance ? vizor_frame_get_distance : vizor_frame_get_gray;
        EXPECT_EQ(fn(dev, out.data(), pixels(), raw.data(), int(info.frame_size), &info), pixels());
        return out;
    }
    // Largest deviation (m) from the scene over the pixels with a distance.
    double worst_error(const std::vector<float> &d, const vcam::Scene &s, int *valid) {
        double worst = 0;
        *valid = 0;
        for (size_t i = 0; i < d.size(); ++i) {
            if (d[i] >= 12.5f) continue;  // markers: no distance
            ++*valid;
            worst = std::max(worst, std::abs(double(d[i]) - s.distance_m[i]));
        }
        return worst;
    }

    vzt::TempCwd cwd;
    vcam::Bus bus;
    vcam::Camera *cam = nullptr;
    vizor_dev_t rec{};
    vizor_dev_t *dev = nullptr;
    std::vector<uint8_t> raw;
    vizor_frame_info_t info{};
};

TEST_P(EpcE2E, RoomDistancesWithinOneCentimetre) {
    open(false);
    apiLoadConfig(1, 32);
    ASSERT_EQ(apiSetIntegrationTime3D(3000), 0);  // the back wall needs the light
    const vcam::Scene s = room(GetParam().w, GetParam().h);
    cam->fw().set_scene(s);
    const std::vector<float> d = capture(true);
    EXPECT_EQ(info.frame_format, 2);
    EXPECT_EQ(info.width * info.height, uint32_t(pixels()));
    int valid = 0;
    const double worst = worst_error(d, s, &valid);
    RecordProperty("worst_error_um", int(worst * 1e6));
    EXPECT_GT(valid, pixels() * 95 / 100);
    EXPECT_LT(worst, 0.01);
}

// The camera's non-uniformity and temperature drift on: the factory
// calibration downloaded at open corrects them; with the corrections off
// they show.
TEST_P(EpcE2E, CalibratedRoomDistancesWithinOneCentimetre) {
    open(true);
    EXPECT_EQ(calibrationDataFileCheck(1), 0);  // downloaded into the calibration folder
    EXPECT_FALSE(std::filesystem::exists("calibration.bin"));
    EXPECT_FALSE(std::filesystem::exists("tmp.zip"));
    EXPECT_FALSE(std::filesystem::exists("calib_and_param.bin"));
    apiLoadConfig(1, 32);
    ASSERT_EQ(apiSetIntegrationTime3D(3000), 0);
    const vcam::Scene s = room(GetParam().w, GetParam().h);
    cam->fw().set_scene(s);
    double worst[2];
    for (const bool corrected : {true, false}) {
        apiCorrectDRNU(corrected ? 2 : 0);
        apiCorrectTemperature(corrected);
        int valid = 0;
        worst[corrected] = worst_error(capture(true), s, &valid);
        EXPECT_GT(valid, pixels() * 95 / 100);
    }
    RecordProperty("corrected_worst_error_um", int(worst[1] * 1e6));
    RecordProperty("uncorrected_worst_error_um", int(worst[0] * 1e6));
    EXPECT_LT(worst[1], 0.01);
    EXPECT_GT(worst[0], 2 * worst[1]);
}

TEST_P(EpcE2E, GrayFramesAndAmplitudeFollowReflectivity) {
    open(false);
    const int w = GetParam().w;
    cam->fw().set_scene(room(w, GetParam().h));
    const std::vector<float> amp = capture(false);  // amplitude of a distance frame
    const size_t row = size_t(GetParam().h / 3) * size_t(w);
    EXPECT_GT(amp[row + size_t(w) / 2], 1.3f * amp[row + 2]);  // poster is darker

    ASSERT_EQ(apiLoadConfig(0, 32), 0);  // the chip sends gray frames
    const std::vector<float> gray = capture(false);
    EXPECT_EQ(info.frame_format, 0);
    EXPECT_GT(gray[row + size_t(w) / 2], gray[row + 2]);
    std::vector<float> d(raw.size());
    EXPECT_EQ(
        vizor_frame_get_distance(dev, d.data(), pixels(), raw.data(), int(info.frame_size), &info),
        0);  // a gray frame has no distances
}

// The minimum-amplitude filter with its hysteresis: a pixel once above the
// minimum keeps its distance while its amplitude stays above the lower
// threshold, frame after frame; a pixel that never reached the minimum has
// none.
TEST_P(EpcE2E, MinimumAmplitudeFilterKeepsItsHysteresisOverFrames) {
    open(false);
    const int w = GetParam().w, h = GetParam().h;
    cam->fw().set_scene(vcam::Scene::flat(w, h, 1.5f, 0.8f));
    std::vector<float> amp = capture(false);
    std::nth_element(amp.begin(), amp.begin() + amp.size() / 20, amp.end());
    int32_t minimum = int32_t(0.8f * amp[amp.size() / 20]);  // below 95 % of the pixels
    ASSERT_GT(minimum, 20);
    ASSERT_EQ(vizor_filter_enable(dev, VIZOR_FILTER_MIN_AMPLITUDE, &minimum, sizeof minimum), 1);
    apiSetHysteresis(minimum);  // the lower threshold at 0
    const auto valid_share = [this] {
        const std::vector<float> d = capture(true);
        return double(std::count_if(d.begin(), d.end(), [](float v) { return v < 12.5f; })) /
               double(d.size());
    };
    EXPECT_GT(valid_share(), 0.9);
    // A third of the light: below the minimum, above the lower threshold.
    cam->fw().set_scene(vcam::Scene::flat(w, h, 1.5f, 0.8f / 3));
    for (int k = 0; k < 3; ++k) EXPECT_GT(valid_share(), 0.9) << "frame " << k;
    // A threshold change forgets the history: the same light is too weak.
    apiSetHysteresis(minimum);
    EXPECT_LT(valid_share(), 0.1);
}

TEST_P(EpcE2E, PointCloudFromTheDriversLens) {
    open(false);
    cam->fw().set_scene(vcam::Scene::flat(GetParam().w, GetParam().h, 2.0f, 0.8f));
    const std::vector<float> d = capture(true);
    std::vector<float> pcl(3 * size_t(pixels()));
    const int n = vizor_frame_get_pcl(dev, pcl.data(), int(pcl.size()), d.data(), pixels(),
                                      GetParam().w, GetParam().h, nullptr);
    ASSERT_EQ(n, pixels());
    // Near the principal point the ray runs along z; off-axis rays point outwards.
    const float *c = &pcl[3 * size_t(pixels() / 2 + GetParam().w / 2)];
    EXPECT_NEAR(c[0], 0.0f, 0.05f);
    EXPECT_NEAR(c[1], 0.0623f, 0.005f);  // the principal point lies above the centre row
    EXPECT_NEAR(c[2], 2.0f, 0.05f);
    EXPECT_LT(pcl[0] * pcl[3 * size_t(pixels()) - 3], 0.0f);  // opposite corners, opposite x
}

TEST_P(EpcE2E, AutoIntegrationLowersTheTimeOnASaturatedScene) {
    open(false);
    cam->fw().set_scene(vcam::Scene::flat(GetParam().w, GetParam().h, 0.3f, 1.0f));
    uint16_t target = 50;
    ASSERT_EQ(vizor_filter_enable(dev, VIZOR_FILTER_AUTO_INTEGRATION, &target, 2), 1);
    const int start = configGetIntegrationTime3D();
    auto saturated_share = [&] {
        const auto *s = reinterpret_cast<const uint16_t *>(raw.data());
        const uint32_t n = info.frame_size / 2;
        const uint16_t full = GetParam().w == 160 ? 0xFFF0 : 4095;
        return 1000.0 * double(std::count_if(s, s + n, [&](uint16_t v) { return v >= full; })) / n;
    };
    capture(true);
    EXPECT_GT(saturated_share(), target);
    for (int i = 0; i < 40 && saturated_share() >= target; ++i) capture(true);
    EXPECT_LT(saturated_share(), target);
    EXPECT_LT(configGetIntegrationTime3D(), start);
    cam->fw().with_epc([](vcam::EpcSensor &s) {
        EXPECT_EQ(s.integration_time_us(), uint16_t(configGetIntegrationTime3D()));
    });
}

// The control moves the time both ways on both chips: up on a dark scene
// (nothing near saturation), down on a saturated one.
TEST_P(EpcE2E, AutoIntegrationFollowsTheSceneBothWays) {
    open(false);
    uint16_t target = 50;
    ASSERT_EQ(vizor_filter_enable(dev, VIZOR_FILTER_AUTO_INTEGRATION, &target, 2), 1);
    struct Row {
        float distance, reflectivity;
        bool grows;
    } rows[] = {{6.0f, 0.05f, true}, {0.3f, 1.0f, false}};
    for (const Row &r : rows) {
        cam->fw().set_scene(
            vcam::Scene::flat(GetParam().w, GetParam().h, r.distance, r.reflectivity));
        ASSERT_EQ(apiSetIntegrationTime3D(700), 0);
        for (int i = 0; i < 3; ++i) capture(true);
        const int t = configGetIntegrationTime3D();
        EXPECT_EQ(t > 700, r.grows) << r.distance << " m: " << t << " us";
        EXPECT_EQ(t < 700, !r.grows) << r.distance << " m: " << t << " us";
        cam->fw().with_epc(
            [&](vcam::EpcSensor &s) { EXPECT_EQ(s.integration_time_us(), uint16_t(t)); });
    }
}

// The adapter's settings at open, read back from the chip: ABS on in all
// four sequencer slots, modulation frequency index 1, the chip's full image
// area as region of interest, the demodulation delay and the DLL bypass.
TEST_P(EpcE2E, AdapterDefaultsReachTheChip) {
    open(false);
    const bool epc635 = GetParam().w == 160;
    auto reg = [&](uint32_t r) { return cam->fw().reg(1, r); };
    for (uint32_t r : {34u, 37u, 40u, 43u}) EXPECT_EQ(reg(r) & 0x30, 0x30u) << r;
    EXPECT_EQ(reg(133), 1u);
    const uint32_t roi[6] = {0, 4, epc635 ? 0u : 1u, epc635 ? 163u : 67u, 6, epc635 ? 65u : 125u};
    for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(reg(150 + i), roi[i]) << 150 + i;
    EXPECT_EQ(reg(139), 2u);
    EXPECT_EQ(reg(174) & 1, 1u);
    EXPECT_EQ(pruGetMinAmplitude(), 30);
    EXPECT_EQ(adcOverflowIsEnabled(), 1);
    EXPECT_EQ(calibrationIsDefaultEnabled(), 1);
}

// The chip's readout registers select the frame format; the driver describes
// and decodes every one.
TEST_P(EpcE2E, EveryFrameFormatOfTheChip) {
    open(false);
    struct Row {
        uint8_t r146, r148;
        uint16_t format;
    };
    const Row rows[] = {{0x30, 0, 2},    {0x70, 0, 5},    {0x10, 0, 8},    {0x50, 0, 7},
                        {0x10, 0x80, 1}, {0x50, 0x80, 6}, {0x00, 0x80, 4}, {0x40, 0x80, 3}};
    for (const Row &r : rows) {
        cam->fw().set_reg(1, 146, r.r146);
        cam->fw().set_reg(1, 148, r.r148);
        raw.assign(8 * size_t(pixels()), 0);
        ASSERT_TRUE(vizor_cap_snapshot(dev, raw.data(), uint32_t(raw.size()), &info));
        EXPECT_EQ(info.frame_format, r.format);
        EXPECT_EQ(info.frame_size, uint32_t(info.width * info.height * info.pixel_depth));
        std::vector<float> d(raw.size() / 8);
        const int n = vizor_frame_get_distance(dev, d.data(), pixels(), raw.data(),
                                               int(info.frame_size), &info);
        EXPECT_EQ(n, int(info.width * info.height)) << r.format;
    }
}

INSTANTIATE_TEST_SUITE_P(Chips, EpcE2E, ::testing::ValuesIn(kChips),
                         [](const auto &p) { return std::string(p.param.product + 3, 2); });

// Undistortion works on the epc660's 320 x 240 images.
TEST(EpcE2EUndistort, CornersFilledCentreKept) {
    vzt::TempCwd cwd;
    vcam::Bus bus;
    vcam::CameraConfig cfg;
    cfg.fw.product = "VZ-E1-660";
    cfg.fw.epc.noise = false;
    cfg.fw.epc.drnu = cfg.fw.epc.temperature_drift = false;
    bus.add_camera(1, 2, cfg).fw().set_scene(vcam::Scene::flat(320, 240, 2.0f, 0.8f));
    vizor_dev_t list[2];
    ASSERT_EQ(vizor_dev_list(list, 2), 1);
    vizor_dev_t *dev = vizor_dev_open(&list[0]);
    ASSERT_NE(dev, nullptr);
    std::vector<uint8_t> raw(614400);
    vizor_frame_info_t info{};
    ASSERT_TRUE(vizor_cap_snapshot(dev, raw.data(), uint32_t(raw.size()), &info));
    std::vector<float> plain(76800), undist(76800);
    ASSERT_EQ(vizor_frame_get_distance(dev, plain.data(), 76800, raw.data(), 614400, &info), 76800);
    ASSERT_EQ(vizor_filter_enable(dev, VIZOR_FILTER_UNDISTORT, nullptr, 0), 1);
    ASSERT_EQ(vizor_frame_get_distance(dev, undist.data(), 76800, raw.data(), 614400, &info),
              76800);
    EXPECT_EQ(undist[0], 30.0f);  // no source pixel behind the corner
    EXPECT_NEAR(undist[120 * 320 + 160], plain[120 * 320 + 160], 1e-3);
    vizor_dev_close(dev);
}

// A sensor identity shorter than 6 bytes fails the driver's init: the device
// opens without driver state, nothing is bound, decodes fail, close works.
TEST(EpcE2EDriver, ShortChipIdentityFailsTheInit) {
    vzt::TempCwd cwd;
    vcam::Bus bus;
    vcam::CameraConfig cfg;
    cfg.fw.product = "VZ-E1-660";
    cfg.fw.epc.calib = vcam::EpcCalib::none;
    // A sensor of its own answers parameter 7 with the value set here.
    vcam::Firmware &fw = bus.add_camera(1, 2, cfg).fw();
    fw.set_sensor(std::make_unique<vcam::PatternSensor>(320, 240, 8, 2));
    fw.set_param(7, {1, 2, 3});
    vizor_dev_t list[2];
    ASSERT_EQ(vizor_dev_list(list, 2), 1);
    testing::internal::CaptureStdout();
    vizor_dev_t *dev = vizor_dev_open(&list[0]);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(dev, nullptr);
    EXPECT_NE(out.find("Get chip info failed"), std::string::npos) << out;
    EXPECT_NE(out.find("[epc_init] epc_adapter_init failed!\n"), std::string::npos) << out;
    const vizor_drv_t *drv = vizor_dev_get_drv(dev);
    ASSERT_NE(drv, nullptr);
    EXPECT_EQ(drv->priv, nullptr);
    EXPECT_EQ(vz::epc::default_device(), nullptr);
    std::vector<uint8_t> raw(614400);
    vizor_frame_info_t info{614400, 2, 0, 320, 240, 8, 0, 0};
    std::vector<float> d(76800);
    EXPECT_EQ(vizor_frame_get_distance(dev, d.data(), 76800, raw.data(), 614400, &info), 0);
    vizor_dev_close(dev);
}

// Standalone use of the processing library: the adapter opens the first
// camera itself and closes it again.
TEST(EpcE2EAdapter, OpensAndClosesItsOwnDevice) {
    vzt::TempCwd cwd;
    vcam::Bus bus;
    vcam::CameraConfig cfg;
    cfg.fw.product = "VZ-E1-660";
    cfg.fw.chip_id = 345;
    bus.add_camera(1, 2, cfg);
    for (const bool app_closes : {false, true}) {
        testing::internal::CaptureStdout();
        const bool opened = epc_adapter_init(nullptr);
        const int chip = configGetChipID();
        epc_adapater_set_frame_valid(0);  // reaches the default device's driver
        const int valid = epc_adapater_get_frame_valid();
        if (app_closes) vizor_dev_close(vz::epc::default_device());
        epc_adapter_uninit();  // does not close a device the application closed
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(opened) << out;
        EXPECT_EQ(chip, 345);
        EXPECT_EQ(valid, 0);
        // The adapter's own lines carry no line end.
        EXPECT_EQ(out.find("close dev..") != std::string::npos, !app_closes) << out;
        EXPECT_EQ(out.find("uninit done..") != std::string::npos, !app_closes) << out;
        EXPECT_EQ(out.find("close dev..\n"), std::string::npos) << out;
        EXPECT_EQ(out.find("uninit done..\n"), std::string::npos) << out;
        EXPECT_EQ(vz::epc::default_device(), nullptr);
        EXPECT_EQ(epc_adapater_get_frame_valid(), 1);
    }
}

}  // namespace
