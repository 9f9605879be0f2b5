// Several EPC cameras in one process, each decoded on its own thread: every
// camera, at its own modulation frequency and with its own factory
// calibration, keeps measuring its own scene while another camera is opened,
// reconfigured through the EPC facade (as the EPC default device) and
// closed. Runs under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

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

struct Cam {
    Chip chip;
    float metres;  // distance of its flat scene
    int freq_index = 1;
    vcam::Camera *vc = nullptr;
    vizor_dev_t rec{};
    vizor_dev_t *dev = nullptr;
};

// Camera i: a chip of its own (its own calibration files), its own system
// delay, delay line and factory temperature, with the non-uniformity and
// the temperature drift that its factory calibration corrects.
vcam::CameraConfig config(const Chip &c, vcam::EpcCalib calib, int i) {
    vcam::CameraConfig cfg;
    cfg.fw.product = c.product;
    cfg.fw.chip_id = uint16_t(300 + i);
    cfg.fw.epc.calib = calib;
    cfg.fw.epc.noise = false;
    cfg.fw.epc.defect_pixels = 0;
    cfg.fw.epc.system_delay_ns = 16.0 + 1.5 * i;
    cfg.fw.epc.delay_step_ns = 1.85 + 0.03 * i;
    cfg.fw.epc.calib_temp_dC = 340 + 10 * i;
    return cfg;
}

// Largest deviation (m) from `metres` over the pixels with a distance, and
// how many had one.
double worst_error(const std::vector<float> &d, float metres, int *valid) {
    double worst = 0;
    *valid = 0;
    for (float v : d) {
        if (v >= 12.5f) continue;
        ++*valid;
        worst = std::max(worst, std::abs(double(v) - metres));
    }
    return worst;
}

// Opens the listed camera at bus position `port` and makes it measure its
// scene: the facade settings go to it as the EPC default device.
bool open_cam(Cam &c, int port) {
    vizor_dev_t list[8];
    const int n = vizor_dev_list(list, 8);
    for (int i = 0; i < n; ++i)
        if (list[i].usb_port_num == port) c.rec = list[i];
    c.dev = vizor_dev_open(&c.rec);
    if (!c.dev || !epc_adapter_select(c.dev)) return false;
    apiLoadConfig(1, 32);
    return apiSetModulationFrequency(c.freq_index, 32) == 0 &&
           calibrationGetSetFrequency() == configGetModulationFrequency() &&
           apiSetIntegrationTime3D(3000) == 0;
}

class EpcMulti : public ::testing::TestWithParam<int> {
protected:
    vzt::TempCwd cwd;
    vcam::Bus bus;
};

TEST_P(EpcMulti, EveryCameraKeepsItsOwnSceneWhileAnotherChangesOpensAndCloses) {
    const int n = GetParam();
    std::vector<Cam> cams(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        Cam &c = cams[size_t(i)];
        c.chip = kChips[i % 2];
        c.metres = 1.2f + 0.3f * float(i);
        c.freq_index = i % 3;  // 24, 12 and 6 MHz, each with its factory set
        c.vc = &bus.add_camera(1, uint8_t(2 + i), config(c.chip, vcam::EpcCalib::factory, i));
        c.vc->fw().set_scene(vcam::Scene::flat(c.chip.w, c.chip.h, c.metres, 0.8f));
    }
    // One more camera that is opened, reconfigured and closed while the
    // others decode.
    Cam churn{kChips[0], 2.5f};
    churn.vc = &bus.add_camera(1, uint8_t(2 + n), config(churn.chip, vcam::EpcCalib::factory, n));
    churn.vc->fw().set_scene(vcam::Scene::flat(320, 240, churn.metres, 0.8f));
    for (int i = 0; i < n; ++i) ASSERT_TRUE(open_cam(cams[size_t(i)], 2 + i)) << i;

    std::atomic<int> bad{0}, frames{0};
    std::atomic<bool> stop{false};
    auto decode_loop = [&](Cam &c) {
        const int px = c.chip.w * c.chip.h;
        std::vector<uint8_t> raw(8 * size_t(px));
        std::vector<float> d(static_cast<size_t>(px));
        for (int k = 0; k < 4 || !stop.load(); ++k) {
            vizor_frame_info_t info{};
            // A snapshot that times out on a loaded machine (sanitizers,
            // parallel suites) is no wrong distance: it is simply not counted.
            if (!vizor_cap_snapshot(c.dev, raw.data(), uint32_t(raw.size()), &info)) continue;
            if (vizor_frame_get_distance(c.dev, d.data(), px, raw.data(), int(info.frame_size),
                                         &info) != px) {
                ++bad;
                continue;
            }
            int valid = 0;
            const double worst = worst_error(d, c.metres, &valid);
            if (worst >= 0.01 || valid < px * 95 / 100) {
                ++bad;
                std::fprintf(stderr, "camera at %.2f m: worst error %.4f m, %d of %d valid\n",
                             double(c.metres), worst, valid, px);
            }
            ++frames;
        }
    };
    std::vector<std::thread> threads;
    for (Cam &c : cams) threads.emplace_back(decode_loop, std::ref(c));
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(open_cam(churn, 2 + n));
        EXPECT_EQ(apiSetModulationFrequency(2, 32), 0);
        EXPECT_EQ(apiSetIntegrationTime3D(500), 0);
        apiSetMinAmplitude(200);
        vizor_dev_close(churn.dev);
        // The closed default leaves no default behind it.
        EXPECT_FALSE(epc_adapter_select(churn.dev));
    }
    stop = true;
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GE(frames.load(), 4 * n);
    for (Cam &c : cams) vizor_dev_close(c.dev);
}

INSTANTIATE_TEST_SUITE_P(Cameras, EpcMulti, ::testing::Values(2, 4),
                         [](const auto &i) { return std::to_string(i.param) + "cameras"; });

}  // namespace
