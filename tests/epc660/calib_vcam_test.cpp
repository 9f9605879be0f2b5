// The DRNU calibration run and the bad-pixel search on the virtual epc660
// camera. A complete run (delay line stepped through register 115, chip
// temperature drifting, non-uniformity on) writes files that, loaded again,
// must make a flat wall at 1, 2 and 3 m read flat within 1 cm; a sweep that
// keeps drifting gives up; the dark image's stuck pixels are listed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "core/device.h"
#include "epc660/base.h"
#include "epc660/calibration.h"
#include "epc660/correction.h"
#include "log_capture.h"
#include "testutil.h"
#include "vcam/vcam.h"
#include "vizor/epc660.h"
#include "vizor/log.h"
#include "vizor/vizor.h"

namespace {

constexpr int kAddr = 0x20;

void set_reference_path(vcam::Camera &cam, bool on) {
    cam.fw().with_epc([on](vcam::EpcSensor &s) {
        vcam::EpcModel m = s.model();
        m.reference_path = on;
        s.set_model(m);
    });
}

// One distance image through the pipeline, with the frame temperature the
// driver would hand over; returns metres of the valid pixels.
std::vector<double> distances() {
    const int16_t t = temperatureGetTemperature();
    const uint16_t header[2] = {(uint16_t)t, 0};
    temperatureSetTemperatureByFrameHeader(header);
    uint16_t *img = nullptr;
    const int n = calculationDistanceSorted(&img);
    std::vector<double> m;
    for (int i = 0; img != nullptr && i < n; ++i)
        if (img[i] < 30000) m.push_back(img[i] * (calibrateGetSpeedOfLightDiv2() / 12000) / 3e7);
    return m;
}

// Deviation from the median that 99.9 % of the pixels stay within (m).
double flatness(std::vector<double> v, double *median) {
    std::sort(v.begin(), v.end());
    *median = v[v.size() / 2];
    for (double &x : v) x = std::fabs(x - *median);
    std::sort(v.begin(), v.end());
    return v[v.size() * 999 / 1000];
}

// The virtual epc660 camera opened and bound to the EPC library as the
// driver would bind it.
class EpcCamera : public ::testing::Test {
protected:
    void SetUp() override {
        vz_log_enable(VZ_LOG_CH_CONSOLE, VZ_LOG_WRN, nullptr);
        vz::epc::corr::reset_for_tests();
        vz::epc::cal::reset_for_tests();
        vcam::CameraConfig cfg;
        cfg.fw.product = "VZ-E1-660";
        cfg.fw.epc.noise = false;
        cfg.fw.epc.calib = vcam::EpcCalib::none;
        cfg.fw.epc.defect_pixels = defects_;
        cam = &bus.add_camera(1, 2, cfg);
        ASSERT_GE(vizor_dev_list(&rec, 1), 1);
        dev = vizor_dev_open(&rec);
        ASSERT_NE(dev, nullptr);
        ASSERT_TRUE(dev->ll->drv);
        vz::epc::set_default_device(dev);
        configSetPartType(bootGetPartType(kAddr));
        configSetWaferID((uint16_t)bootGetWaferID(kAddr));
        configSetChipID((uint16_t)bootGetChipID(kAddr));
        init();
    }
    void TearDown() override {
        vz::epc::set_default_device(nullptr);
        if (dev) vizor_dev_close(dev);
    }
    static void init() {
        configInit(kAddr);
        apiSetROI(4, 323, 6, 125, kAddr);
        apiLoadConfig(1, kAddr);
    }
    int defects_ = 0;
    vzt::TempCwd cwd;
    vcam::Bus bus;
    vcam::Camera *cam = nullptr;
    vizor_dev_t rec{};
    vizor_dev_t *dev = nullptr;
};

TEST_F(EpcCamera, CalibratedFilesMakeAFlatWallReadFlat) {
    vcam::Camera &wall = *cam;
    ASSERT_EQ(calculationGetEnableDRNU(), 0);  // no calibration files yet
    set_reference_path(wall, true);
    calibrateSetDRNUCalibrateDelay(0);
    calibrateSetDRNUAverage(2);
    // Without a distance-image file configInit leaves 50 steps; 30 suffice.
    ASSERT_EQ(calibrateGetNumDistances(), 50);
    calibrateSetNumDistances(30);
    ASSERT_EQ(calibrationDRNU(), 0);
    char name[256];
    calibrationGetDistanceImagesName(name, 1);
    EXPECT_EQ(std::filesystem::file_size(name), 30u * 320 * 240 * 2);
    EXPECT_EQ(calibrationDataFileCheck(1), 0);

    // Load the written files as at start-up.
    init();
    ASSERT_EQ(calculationGetEnableDRNU(), 2);
    set_reference_path(wall, false);
    for (float d : {1.0f, 2.0f, 3.0f}) {
        wall.fw().set_scene(vcam::Scene::flat(320, 240, d, 1.0f));
        // About the same signal at every distance (the sensor's quantisation
        // alone would otherwise exceed a centimetre at 3 m).
        apiSetIntegrationTime3D(std::min(4000, (int)(1000 * d * d)));
        double med_before, med_after;
        calculationSetEnableDRNU(0);
        calculationSetEnableTemperature(0);
        const double before = flatness(distances(), &med_before);
        calculationSetEnableDRNU(2);
        calculationSetEnableTemperature(1);
        const std::vector<double> m = distances();
        ASSERT_GT(m.size(), 76000u) << d;
        const double after = flatness(m, &med_after);
        std::printf(
            "wall %.1f m: residual before %.1f mm (median %.3f m), after %.1f mm "
            "(median %.3f m)\n",
            d, before * 1000, med_before, after * 1000, med_after);
        EXPECT_LT(after, 0.01) << d;
    }
}

TEST_F(EpcCamera, DriftingSweepGivesUpAfterTenPassesAndRestores) {
    set_reference_path(*cam, true);
    calibrateSetDRNUCalibrateDelay(0);
    calibrateSetDRNUAverage(1);
    calibrateSetDRNUDiffTemp(0);  // every temperature change restarts the sweep
    calibrationSetOffsetPhase(55);
    EXPECT_EQ(calibrationDRNU(), -1);
    EXPECT_EQ(cam->fw().reg(1, 174), 1u);
    EXPECT_EQ(cam->fw().reg(1, 115), 0u);
    EXPECT_EQ(calibrationGetOffsetPhase(), 55);
    char name[256];
    calibrationGetDistanceImagesName(name, 1);
    EXPECT_FALSE(std::filesystem::exists(name));
}

// Runs `run` on another thread and closes the camera from this one once the
// run has taken `frames` frames. The run stops with -1, the close needs no
// longer than its bound (no "api wait timeout"), the previous files are
// untouched, no staged file remains, and the device state is gone.
void close_during_run(vizor_dev_t *&dev, int (*run)(), int frames,
                      const std::vector<std::string> &previous) {
    for (const std::string &f : previous) std::ofstream(f) << "previous " << f;
    static std::atomic<int> taken;
    taken = 0;
    vizor_cap_set_callback_on_frame_ready(dev, [](vizor_dev_t *, vizor_frame_t *) { ++taken; });
    LogCapture log;
    std::atomic<int> rc{1};
    std::thread worker([&] { rc = run(); });
    EXPECT_TRUE(
        vzt::eventually([&] { return taken.load() >= frames; }, std::chrono::milliseconds(60000)));
    vizor_dev_close(dev);
    worker.join();
    EXPECT_EQ(rc.load(), -1);
    EXPECT_EQ(dev->ll, nullptr);
    EXPECT_FALSE(log.has("api wait timeout"));
    EXPECT_EQ(log.count("] frame fetch failed: calibration stopped\n"), 1) << log.text();
    for (const std::string &f : previous) EXPECT_EQ(vzt::read_file(f), "previous " + f);
    for (const auto &e : std::filesystem::recursive_directory_iterator("."))
        EXPECT_NE(e.path().extension(), ".part") << e.path();
    dev = nullptr;
}

TEST_F(EpcCamera, CloseDuringTheDrnuSweepStopsIt) {
    set_reference_path(*cam, true);
    calibrateSetDRNUCalibrateDelay(0);
    calibrateSetDRNUAverage(2);
    calibrateSetNumDistances(30);
    char images[256], param[256], upload[64];
    calibrationGetDistanceImagesName(images, 1);
    calibrationGetParamName(param, 1);
    snprintf(upload, sizeof upload, "calib_and_param_%03i.bin", (int)configGetChipID());
    close_during_run(dev, [] { return calibrationDRNU(); }, 5, {images, param, upload});
}

// The FLIM calibration writes its bright mean before it takes the dark
// frames: closed during those, it drops that staged file.
TEST_F(EpcCamera, CloseDuringTheFlimDarkFramesKeepsThePreviousFiles) {
    char table[64];
    snprintf(table, sizeof table, "./epc502_mga_gain_offset_W%03i_C%03i.txt",
             (int)configGetWaferID(), (int)configGetChipID());
    close_during_run(dev, [] { return calculationFlimCalibration("mga"); }, 105,
                     {"./flim_temp_image.txt", table});
}

class EpcCameraWithDefects : public EpcCamera {
protected:
    EpcCameraWithDefects() { defects_ = 4; }
};

TEST_F(EpcCameraWithDefects, BadPixelSearchListsStuckPixels) {
    cam->fw().set_scene(vcam::Scene::flat(320, 240, 1.0f, 0.0f));  // dark
    std::filesystem::create_directory("calibration");
    const int bad = calibrationSearchBadPixelsWithMin();
    EXPECT_GE(bad, 2);
    EXPECT_LE(bad, 4);
    std::vector<int> v(2 * 82656);
    EXPECT_EQ(calibrationGetBadPixels(v.data()), 2 * bad);
    for (int i = 0; i < 2 * bad; i += 2) {
        EXPECT_GE(v[i], 4);  // sensor coordinates include the border
        EXPECT_GE(v[i + 1], 6);
    }
    EXPECT_EQ(configGetCurrentMode(), 1);  // TOF mode restored
}

}  // namespace
