// Every control of the EPC cameras keeps the distances right, end to end on
// the virtual epc660 and epc635 through the public API: each modulation
// frequency, with the camera's factory DRNU set of its frequency class and
// without one, each readout mode, and every control changed and changed back
// decoding bit for bit like a camera on which it never changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "log_capture.h"
#include "testutil.h"
#include "vcam/vcam.h"
#include "vizor/drv_epc.h"
#include "vizor/epc660.h"
#include "vizor/vizor.h"

namespace {

constexpr int kAddr = 32;
constexpr uint8_t kAllClasses = 7;  // factory sets at 24, 12 and 6 MHz

struct Chip {
    const char *product;
    int w, h;
    float metres;  // the flat scene, inside the unambiguous range at 24 MHz
    int roi[4];    // full region of interest
};
const Chip kChips[] = {{"VZ-E1-660", 320, 240, 1.5f, {4, 323, 6, 125}},
                       {"VZ-E2-635", 160, 60, 1.5f, {4, 163, 6, 65}}};

// Readout modes of the facade, switched on and back off.
struct Mode {
    const char *name;
    void (*on)();
    void (*off)();
};
const Mode kModes[] = {
    {"4 DCS", [] {}, [] {}},
    {"2 DCS", [] { apiEnablePiDelay(0, kAddr); }, [] { apiEnablePiDelay(1, kAddr); }},
    {"pseudo-noise", [] { apiSelectMode(1, kAddr); }, [] { apiSelectMode(0, kAddr); }},
    {"dual MGX", [] { apiEnableDualMGX(1, kAddr); }, [] { apiEnableDualMGX(0, kAddr); }},
    {"dual MGX 2 DCS",
     [] {
         apiEnableDualMGX(1, kAddr);
         apiEnablePiDelay(0, kAddr);
     },
     [] {
         apiEnablePiDelay(1, kAddr);
         apiEnableDualMGX(0, kAddr);
     }},
    {"HDR", [] { apiEnableHDR(1, kAddr); }, [] { apiEnableHDR(0, kAddr); }},
};

struct Stats {
    double mean = 0;         // metres, over the pixels with a distance
    double valid_share = 0;  // of the decoded pixels
};

class EpcFreq : public ::testing::TestWithParam<Chip> {
protected:
    ~EpcFreq() override {
        if (dev) vizor_dev_close(dev);
    }
    // A camera whose factory calibrated the frequency classes in `classes`;
    // `steady`: no shot noise and the chip warm from the start, so that
    // equal settings give equal frames.
    void open(uint8_t classes, bool steady = false) {
        vcam::CameraConfig cfg;
        cfg.fw.product = GetParam().product;
        cfg.fw.epc.defect_pixels = 0;
        cfg.fw.epc.calib_classes = classes;
        if (steady) {
            cfg.fw.epc.noise = false;
            cfg.fw.epc.heat_frames = 0;
        }
        cam = &bus.add_camera(1, 2, cfg);
        cam->fw().set_scene(vcam::Scene::flat(GetParam().w, GetParam().h, GetParam().metres, 0.8f));
        vizor_dev_t list[2];
        ASSERT_EQ(vizor_dev_list(list, 2), 1);
        rec = list[0];
        reopen();
    }
    void reopen() {
        if (dev) vizor_dev_close(dev);
        dev = vizor_dev_open(&rec);
        ASSERT_NE(dev, nullptr);
    }
    // One frame captured and decoded to distances (empty when refused).
    std::vector<float> frame() {
        const size_t px = size_t(GetParam().w) * size_t(GetParam().h);
        raw.assign(8 * px, 0);
        EXPECT_TRUE(vizor_cap_snapshot(dev, raw.data(), uint32_t(raw.size()), &info));
        std::vector<float> d(px);
        const int n = vizor_frame_get_distance(dev, d.data(), int(px), raw.data(),
                                               int(info.frame_size), &info);
        d.resize(size_t(std::max(n, 0)));
        return d;
    }
    // Mean over the pixels with a distance. Below 2.3 MHz a period reaches
    // past the marker values, so only the markers themselves are left out;
    // distances are points on the period's circle, so a pixel whose noise
    // carried it past the start of the period counts from there.
    Stats measure(int frames) {
        const double range = calibrateGetSpeedOfLightDiv2() / configGetModulationFrequency() / 1e3;
        double sum = 0;
        long valid = 0, all = 0;
        for (int k = 0; k < frames; ++k) {
            for (float v : frame()) {
                ++all;
                if (v == 65.3f || v == 65.4f || v == 65.5f) continue;
                sum += v > range / 2 ? v - range : v;
                ++valid;
            }
        }
        return {valid ? sum / double(valid) : 0.0, all ? double(valid) / double(all) : 0.0};
    }
    double bias(int frames) { return std::abs(measure(frames).mean - GetParam().metres); }
    int khz(int index) const { return configGetModulationFrequencies()[index]; }

    vzt::TempCwd cwd;
    vcam::Bus bus;
    vcam::Camera *cam = nullptr;
    vizor_dev_t rec{};
    vizor_dev_t *dev = nullptr;
    std::vector<uint8_t> raw;
    vizor_frame_info_t info{};
};

// The must-show matrix: every frequency of the chip times every mode, mean
// over 10 frames. The factory calibrated 24, 12 and 6 MHz (the highest
// frequency of each class); 3, 1.5 and 0.75 MHz share the "_5" file names
// with 6 MHz but not its codes, so they run without a DRNU set.
TEST_P(EpcFreq, EveryFrequencyTimesEveryModeReadsTheScene) {
    LogCapture log;
    open(kAllClasses);
    // A long exposure: at the low frequencies the sensor's phase noise
    // spreads over metres.
    ASSERT_EQ(apiSetIntegrationTime3D(4000), 0);
    for (int index = 0; index < configGetModFreqCount(); ++index) {
        ASSERT_EQ(apiSetModulationFrequency(index, kAddr), 0);
        const bool calibrated = index <= 2;
        EXPECT_EQ(calibrationGetSetFrequency(), calibrated ? khz(index) : 0) << index;
        for (const Mode &m : kModes) {
            m.on();
            const Stats s = measure(10);
            m.off();
            const double err = std::abs(s.mean - GetParam().metres);
            // Pseudo-noise estimates the phase linearly from two sample
            // differences: at 0.75 MHz one step of a 12-bit sample moves it by
            // 9 cm, so there it is held to its resolution.
            const bool coarse = index == 5 && m.on == kModes[2].on;
            const double limit = calibrated ? 0.01 : coarse ? 0.25 : 0.10;
            EXPECT_LT(err, limit) << khz(index) << " kHz, " << m.name;
            EXPECT_GT(s.valid_share, 0.95) << khz(index) << " kHz, " << m.name;
            std::string key = std::to_string(khz(index)) + "kHz_" + m.name + "_bias_um";
            std::replace(key.begin(), key.end(), ' ', '_');
            RecordProperty(key, int(err * 1e6));
        }
    }
    for (int index = 0; index < configGetModFreqCount(); ++index) {
        char mhz[48];
        snprintf(mhz, sizeof mhz, "uncalibrated at %g MHz", khz(index) / 1000.0);
        EXPECT_EQ(log.count(mhz), index <= 2 ? 0 : 1) << mhz;
    }
    // Said once: coming back to an uncalibrated frequency says nothing more.
    ASSERT_EQ(apiSetModulationFrequency(5, kAddr), 0);
    EXPECT_EQ(log.count("uncalibrated at 0.75 MHz"), 1);
}

// The gray mode at every frequency: gray frames carry the scene's light and
// no distances; the refusal names the reason.
TEST_P(EpcFreq, GrayModeAtEveryFrequencyDecodesGrayAndRefusesDistances) {
    LogCapture log;
    open(kAllClasses);
    const int px = GetParam().w * GetParam().h;
    for (int index = 0; index < configGetModFreqCount(); ++index) {
        ASSERT_EQ(apiSetModulationFrequency(index, kAddr), 0);
        ASSERT_EQ(apiLoadConfig(0, kAddr), 0);
        EXPECT_TRUE(frame().empty());
        EXPECT_EQ(info.frame_format, 0);
        std::vector<float> gray(size_t(px), 0.0f);
        ASSERT_EQ(
            vizor_frame_get_gray(dev, gray.data(), px, raw.data(), int(info.frame_size), &info),
            px);
        EXPECT_GT(gray[size_t(px / 2)], 100.0f) << index;
        ASSERT_EQ(apiLoadConfig(1, kAddr), 1);
        EXPECT_EQ(frame().size(), size_t(px)) << index;
    }
    EXPECT_TRUE(log.has("[epc_frame_decode] a gray frame (format 0) holds no distances"));
}

// A camera whose factory skipped the "_20" class: 24 MHz says so once, keeps
// no table of 12 MHz, and reads within centimetres, no worse than 12 MHz with
// every correction off; 12 MHz afterwards is calibrated again.
TEST_P(EpcFreq, FrequencyWithoutFactorySetIsSaidOnceAndStaysWithinCentimetres) {
    LogCapture log;
    open(2);
    ASSERT_EQ(calibrationGetSetFrequency(), 12000);
    apiCorrectDRNU(0);
    apiCorrectTemperature(0);
    const double uncorrected = bias(10);
    apiCorrectDRNU(2);
    apiCorrectTemperature(1);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(apiSetModulationFrequency(0, kAddr), 0);
        EXPECT_EQ(calibrationGetSetFrequency(), 0);
        EXPECT_EQ(calculationGetEnableDRNU(), 0);  // no table of another frequency
        const double err = bias(10);
        EXPECT_LT(err, 0.10);
        EXPECT_LE(err, uncorrected + 0.002);
        RecordProperty("24MHz_uncalibrated_bias_um", int(err * 1e6));
        ASSERT_EQ(apiSetModulationFrequency(1, kAddr), 0);
        EXPECT_EQ(calibrationGetSetFrequency(), 12000);
        EXPECT_EQ(calculationGetEnableDRNU(), 2);
        EXPECT_LT(bias(10), 0.01);
    }
    RecordProperty("12MHz_uncorrected_bias_um", int(uncorrected * 1e6));
    EXPECT_EQ(log.count("uncalibrated at 24 MHz"), 1);
}

// Switching a mode off that is not on leaves the mode that is: HDR and dual
// MGX share readout registers, and a program that clears every other mode
// before it reads must still read the scene in the one it chose.
TEST_P(EpcFreq, SwitchingOtherModesOffKeepsTheModeThatIsOn) {
    // The facade's switches a mode uses, from its name.
    const auto switches = [](const Mode &m) {
        const std::string n = m.name;
        return (n.find("2 DCS") != n.npos ? 1 : 0) | (n.find("dual MGX") != n.npos ? 2 : 0) |
               (n.find("pseudo") != n.npos ? 4 : 0) | (n.find("HDR") != n.npos ? 8 : 0);
    };
    open(kAllClasses);
    for (const Mode &m : kModes) {
        m.on();
        for (const Mode &other : kModes)
            if ((switches(other) & switches(m)) == 0) other.off();
        const Stats s = measure(3);
        m.off();
        EXPECT_LT(std::abs(s.mean - GetParam().metres), 0.01) << m.name;
        EXPECT_GT(s.valid_share, 0.95) << m.name;
    }
}

// Each control changed, a few frames decoded, then changed back: the frames
// after that decode bit for bit like those of the camera opened afresh.
TEST_P(EpcFreq, ControlChangedAndChangedBackDecodesLikeTheUntouchedCamera) {
    open(kAllClasses, true);
    const Chip &c = GetParam();
    auto fresh_frames = [&] {
        frame();  // whatever the pipe still held
        std::vector<float> all;
        for (int k = 0; k < 3; ++k) {
            const std::vector<float> d = frame();
            all.insert(all.end(), d.begin(), d.end());
        }
        return all;
    };
    const std::vector<float> untouched = fresh_frames();
    ASSERT_EQ(untouched.size(), 3u * size_t(c.w * c.h));

    struct Control {
        const char *name;
        std::function<void()> change, back;
    };
    const auto full_roi = [&c] { apiSetROI(c.roi[0], c.roi[1], c.roi[2], c.roi[3], kAddr); };
    std::vector<Control> controls = {
        {"24 MHz", [] { apiSetModulationFrequency(0, kAddr); },
         [] { apiSetModulationFrequency(1, kAddr); }},
        {"6 MHz", [] { apiSetModulationFrequency(2, kAddr); },
         [] { apiSetModulationFrequency(1, kAddr); }},
        {"0.75 MHz", [] { apiSetModulationFrequency(5, kAddr); },
         [] { apiSetModulationFrequency(1, kAddr); }},
        {"region of interest", [] { apiSetROI(20, 101, 10, 41, kAddr); }, full_roi},
        {"horizontal binning", [] { apiEnableHorizontalBinning(1, kAddr); },
         [] { apiEnableHorizontalBinning(0, kAddr); }},
        {"vertical binning", [] { apiEnableVerticalBinning(1, kAddr); },
         [] { apiEnableVerticalBinning(0, kAddr); }},
        {"integration time", [] { apiSetIntegrationTime3D(300); },
         [] { apiSetIntegrationTime3D(700); }},
        {"corrections off",
         [] {
             apiCorrectDRNU(0);
             apiCorrectTemperature(0);
         },
         [] {
             apiCorrectDRNU(2);
             apiCorrectTemperature(1);
         }},
        {"Kalman filter", [] { apiEnableKalman(1); }, [] { apiEnableKalman(0); }},
    };
    for (const Mode &m : kModes) controls.push_back({m.name, m.on, m.off});
    for (const Control &ctl : controls) {
        SCOPED_TRACE(ctl.name);
        reopen();
        ctl.change();
        frame();
        frame();
        ctl.back();
        const std::vector<float> again = fresh_frames();
        ASSERT_EQ(again.size(), untouched.size());
        size_t first = again.size();
        for (size_t i = 0; i < again.size() && first == again.size(); ++i)
            if (std::memcmp(&again[i], &untouched[i], sizeof(float)) != 0) first = i;
        EXPECT_EQ(first, again.size()) << "first difference at " << first << ": "
                                       << (first < again.size() ? again[first] : 0.0f) << " vs "
                                       << (first < again.size() ? untouched[first] : 0.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(Chips, EpcFreq, ::testing::ValuesIn(kChips),
                         [](const auto &p) { return std::string(p.param.product + 3, 2); });

}  // namespace
