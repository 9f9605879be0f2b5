// Per-camera EPC settings through the C++ layer: two virtual epc660 cameras
// with different settings each read their own scene, and settings made on
// several threads land on their own camera while another thread keeps
// switching the EPC default device.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vcam/vcam.h"
#include "vizor/vizor.hpp"

namespace {

vcam::CameraConfig epc660() {
    vcam::CameraConfig cfg;
    cfg.fw.product = "VZ-E1-660";
    cfg.fw.epc.calib = vcam::EpcCalib::none;
    cfg.fw.epc.noise = false;
    cfg.fw.epc.defect_pixels = 0;
    cfg.fw.epc.drnu = false;
    cfg.fw.epc.temperature_drift = false;
    return cfg;
}

// What one camera is set to, and the flat scene it looks at.
struct Settings {
    float metres;
    int freq_index;
    int integration_us;
    int min_amplitude;
};

class HppEpc : public ::testing::Test {
protected:
    // Cameras at ports 2.. with flat scenes; opened in port order.
    void open(const std::vector<Settings> &settings) {
        for (size_t i = 0; i < settings.size(); ++i) {
            cams.push_back(&bus.add_camera(1, uint8_t(2 + i), epc660()));
            cams.back()->fw().set_scene(vcam::Scene::flat(320, 240, settings[i].metres, 0.8f));
        }
        auto list = vizor::list_devices();
        std::sort(list.begin(), list.end(), [](const vizor_dev_t &a, const vizor_dev_t &b) {
            return a.usb_port_num < b.usb_port_num;
        });
        ASSERT_EQ(list.size(), settings.size());
        for (const vizor_dev_t &rec : list) devs.emplace_back(rec);
    }
    // The distance image of one snapshot.
    static std::vector<float> distances(vizor::Device &dev) {
        vizor::Frame f;
        dev.snapshot(f);
        std::vector<float> d;
        dev.distance(f, d);
        return d;
    }
    // Largest deviation from the reference image (or, without one, from
    // metres) over the pixels with a distance, and their share of the image.
    static double worst(vizor::Device &dev, float metres, double *share,
                        const std::vector<float> &ref = {}) {
        const std::vector<float> d = distances(dev);
        double w = 0;
        size_t valid = 0;
        for (size_t i = 0; i < d.size(); ++i) {
            if (!(d[i] > 0.f && d[i] < 12.5f)) continue;
            ++valid;
            const double want = ref.size() == d.size() ? double(ref[i]) : double(metres);
            w = std::max(w, std::abs(double(d[i]) - want));
        }
        *share = d.empty() ? 0.0 : double(valid) / double(d.size());
        return w;
    }
    // The chip model of camera i: modulation frequency (kHz) and exposure (us).
    std::pair<double, double> chip(size_t i) {
        std::pair<double, double> r;
        cams[i]->fw().with_epc([&](vcam::EpcSensor &e) {
            r = {e.mod_freq_khz(), e.exposure_us()};
        });
        return r;
    }
    vcam::Bus bus;
    vizor::Library lib{"/dev/null"};
    std::vector<vcam::Camera *> cams;
    std::vector<vizor::Device> devs;
};

void apply(vizor::Epc epc, const Settings &s) {
    epc.correct_drnu(0);
    epc.correct_temperature(false);
    epc.call([] { apiLoadConfig(1, configGetDeviceAddress()); });
    epc.set_modulation_frequency(s.freq_index);
    epc.set_integration_time_3d(s.integration_us);
    epc.set_min_amplitude(s.min_amplitude);
}

// Camera 0 at the frequency of its factory calibration reads its scene to
// 1 cm; camera 1 at 24 MHz keeps reading what it read on its own while camera
// 0 is set, and each chip runs at the frequency and exposure of its own
// settings.
TEST_F(HppEpc, EachCameraKeepsItsOwnSettingsAndReadsItsOwnScene) {
    const std::vector<Settings> settings = {{1.3f, 1, 1500, 30}, {2.1f, 0, 800, 60}};
    open(settings);
    apply(devs[1].epc(), settings[1]);
    const std::vector<float> alone = distances(devs[1]);
    // Settings in both orders: the camera set last is neither the default
    // device nor the one opened last.
    for (int order : {0, 1}) {
        for (size_t k = 0; k < settings.size(); ++k) {
            const size_t i = order ? settings.size() - 1 - k : k;
            apply(devs[i].epc(), settings[i]);
        }
        for (size_t i = 0; i < settings.size(); ++i) {
            vizor::Epc epc = devs[i].epc();
            const std::vector<int> table = epc.modulation_frequencies_khz();
            ASSERT_EQ(table.size(), 6u);
            const int khz = table[size_t(settings[i].freq_index)];
            EXPECT_EQ(epc.modulation_frequency_index(), settings[i].freq_index) << i;
            EXPECT_EQ(epc.modulation_frequency_khz(), khz) << i;
            EXPECT_EQ(epc.integration_time_3d(), settings[i].integration_us) << i;
            EXPECT_EQ(epc.call([] { return apiGetMinAmplitude(); }), settings[i].min_amplitude);
            const auto [chip_khz, exposure] = chip(i);
            EXPECT_EQ(int(chip_khz), khz) << i;
            EXPECT_NEAR(exposure, settings[i].integration_us, 0.02 * settings[i].integration_us);
            double share = 0;
            EXPECT_LT(worst(devs[i], settings[i].metres, &share, i ? alone : std::vector<float>{}),
                      0.01)
                << "camera " << i;
            EXPECT_GT(share, 0.95) << "camera " << i;
        }
    }
}

TEST_F(HppEpc, RefusalsAndFailuresThrow) {
    const Settings s{1.5f, 1, 1000, 30};
    open({s});
    vizor::Epc epc = devs[0].epc();
    apply(epc, s);
    struct {
        const char *call;
        std::function<void()> fn;
    } const bad[] = {
        {"apiSetModulationFrequency", [&] { epc.set_modulation_frequency(6); }},
        {"apiSetIntegrationTime3D", [&] { epc.set_integration_time_3d(4001); }},
        {"apiSetIntegrationTime2D", [&] { epc.set_integration_time_2d(-1); }},
        {"apiSetROI", [&] { epc.set_roi(300, 10, 6, 125); }},
    };
    for (const auto &b : bad) {
        testing::internal::CaptureStdout();  // the library's own report of a refused region
        try {
            b.fn();
            ADD_FAILURE() << b.call << " accepted";
        } catch (const vizor::error &e) {
            EXPECT_NE(std::string(e.what()).find(b.call), std::string::npos) << e.what();
        }
        testing::internal::GetCapturedStdout();
    }
    // A refused setting leaves the camera as it was.
    EXPECT_EQ(epc.integration_time_3d(), 1000);
    // What the function throws comes back out of call; the camera stays usable.
    EXPECT_THROW(epc.call([]() -> int { throw std::runtime_error("inside"); }), std::runtime_error);
    EXPECT_EQ(epc.call([] { return 7; }), 7);
    devs[0].close();
    EXPECT_THROW(epc.integration_time_3d(), vizor::error);
}

// Two threads set their own camera in a loop, each value in a range of its
// own, while a third keeps switching the EPC default device between them:
// every value read back inside and after a call is the camera's own.
TEST_F(HppEpc, SettingsFromSeveralThreadsLandOnTheirOwnCamera) {
    const std::vector<Settings> settings = {{1.4f, 1, 1000, 30}, {1.8f, 1, 1000, 30}};
    open(settings);
    for (size_t i = 0; i < 2; ++i) apply(devs[i].epc(), settings[i]);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    auto setter = [&](size_t cam, int base) {
        vizor::Epc epc = devs[cam].epc();
        for (int k = 0; k < 200; ++k) {
            const int us = base + k;
            const int back = epc.call([&] {
                apiSetIntegrationTime3D(us);
                apiSetMinAmplitude(20 + k % 10);
                return configGetIntegrationTime3D();
            });
            const int later = epc.integration_time_3d();
            if (back != us || later < base || later >= base + 200) ++wrong;
        }
    };
    std::thread switcher([&] {
        for (int k = 0; !stop; ++k) epc_adapter_select(devs[size_t(k % 2)].get());
    });
    std::thread a(setter, 0, 1000), b(setter, 1, 3000);
    a.join();
    b.join();
    stop = true;
    switcher.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(devs[0].epc().integration_time_3d(), 1199);
    EXPECT_EQ(devs[1].epc().integration_time_3d(), 3199);
    // Both still measure their scenes with what they were given last.
    for (size_t i = 0; i < 2; ++i) {
        double share = 0;
        EXPECT_LT(worst(devs[i], settings[i].metres, &share), 0.01) << i;
    }
}

}  // namespace
