// Tables built from distance images: the offset table, the step search and
// its failure at the ends of the search range.
#include <cmath>
#include <filesystem>

#include "corr_fixture.h"

namespace {

const std::string kImages10 = "epc660_images_drnu_W003_C017_10.bin";

using CalibTables = CorrTest;

// Distance images of a sweep with a true step of step_mm, each pixel with
// its own constant deviation.
void sweep_images(double step_mm, int steps) {
    const double lsb = step_mm * 30000 / 12491;
    std::vector<uint16_t> im;
    for (int i = 0; i < steps; ++i)
        for (int q = 0; q < 8; ++q) im.push_back((uint16_t)std::lround(4000 + 11 * q + i * lsb));
    std::vector<uint8_t> b;
    for (uint16_t v : im) b.insert(b.end(), {(uint8_t)v, (uint8_t)(v >> 8)});
    std::ofstream(kImages10, std::ios::binary).write((const char *)b.data(), (long)b.size());
}

TEST_F(CalibTables, StepSearchFindsTheSweepStep) {
    calibrateSetWidth(4);
    calibrateSetHeight(2);
    struct Case {
        double step_mm;
        int found;
    } cases[] = {{301.3, 1}, {285.0, 1}, {250.0, 0}, {360.0, 0}};
    for (const Case &c : cases) {
        sweep_images(c.step_mm, 30);
        ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
        EXPECT_EQ(calibrationAutoRenew(), c.found) << c.step_mm;
        if (c.found) {
            EXPECT_NEAR(calibrateGetStepCalMM(), c.step_mm, 0.3) << c.step_mm;
        }
    }
    EXPECT_TRUE(log_.has("cannot find best step between 2700 ~ 3400"));
}

TEST_F(CalibTables, TableFromDistanceImagesIsTheDeviationPerStep) {
    calibrateSetWidth(4);
    calibrateSetHeight(2);
    sweep_images(300.0, 5);
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    ASSERT_EQ(calibrationDRNU_FromFile(3000), 0);
    // The table is saved first, its step averages are logged after.
    const std::string text = log_.text();
    const size_t saved = text.find("[calibrationSaveDRNU_LUT] epc660_drnu_W003_C017_10.csv\n");
    const size_t avr = text.find("[calibrationDRNU_FromFile] drnu_avr: avg = ");
    ASSERT_NE(saved, std::string::npos);
    ASSERT_NE(avr, std::string::npos);
    EXPECT_LT(saved, avr);
    EXPECT_EQ(calibrationGetOffsetDRNU(), 4000 + 11 * 7 / 2);  // mean of step image 0
    const double lsb = 300.0 * 30000 / 12491;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(calibrateGetDRNULutPixel(i, 1, 3),
                  std::lround(std::lround(4000 + 77 + i * lsb) - 4038 - i * lsb));
    int16_t *block = calibrateShowDRNU();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(calibrationErrorCurveEndIndex(), 50);
    EXPECT_EQ(calibrationDRNU_FromFile(0), -1);
}

}  // namespace

namespace {

// Pushes a raw 4-DCS frame whose every pixel measures the phase code 22500
// (up) or 15000 (not up) for the next distance image.
void push_frame(std::vector<uint16_t> &raw, epc_raw_image_t &rec, bool up) {
    const int n = 76800;
    raw.assign(4 * n, 2048);
    for (int i = 0; i < n; ++i) {
        if (up) {
            raw[n + i] = 1548;  // arg1 = dcs3 - dcs1 > 0, arg2 = 0
            raw[3 * n + i] = 2548;
        } else {
            raw[i] = 1548;  // arg1 = 0, arg2 = dcs2 - dcs0 > 0
            raw[2 * n + i] = 2548;
        }
    }
    rec = epc_raw_image_t{};
    rec.frame_info.frame_size = 8 * n;
    rec.frame_data = raw.data();
    pruSetImage(&rec);
}

TEST_F(CalibTables, StepImageBelowThePreviousOneIsUnwrapped) {
    pruInit();
    atan2lut_Init();
    calibrateSetDRNUCalibrateDelay(0);
    std::vector<uint16_t> raw;
    epc_raw_image_t rec;
    push_frame(raw, rec, true);
    ASSERT_EQ(calibrationCreateDRNU_LUT(0, 1), 0);
    EXPECT_EQ(calibrationGetOffsetDRNU(), 22500);
    push_frame(raw, rec, false);
    ASSERT_EQ(calibrationCreateDRNU_LUT(1, 1), 0);
    EXPECT_EQ(calibrateGetDistImagePixel(76800 + 1234), 15000 + 30000);
    EXPECT_EQ(calibrationCreateDRNU_LUT(1, 0), -1);  // no frames to average
}

// Every calibration run stops at once without a camera: -1, one ERR line
// naming the run, no file written.
TEST_F(CalibTables, RunsWithoutACameraStopAtOnce) {
    vz::epc::set_default_device(nullptr);
    struct Case {
        const char *fn;
        int (*run)();
    } cases[] = {
        {"calibrationDRNU", [] { return calibrationDRNU(); }},
        {"calibrationDRNU", [] { return apiCalibrateDRNU(); }},
        {"calculationCalibrateGrayscale", [] { return calculationCalibrateGrayscale(1); }},
        {"calculationCalibrateGrayscale", [] { return apiCalibrateGrayscale(2); }},
        {"calculationFlimCalibration", [] { return calculationFlimCalibration("mga"); }},
        {"calculationCalibrateFlim", [] { return calculationCalibrateFlim(0); }},
        {"calibrationSearchBadPixelsWithMin", [] { return calibrationSearchBadPixelsWithMin(); }},
    };
    std::filesystem::create_directory("calibration");
    for (const Case &c : cases) {
        LogCapture log;
        EXPECT_EQ(c.run(), -1) << c.fn;
        EXPECT_EQ(
            log.count(std::string("[ERR] [") + c.fn + "] no camera open: calibration not run\n"), 1)
            << c.fn << "\n"
            << log.text();
    }
    for (const auto &e : std::filesystem::recursive_directory_iterator("."))
        EXPECT_TRUE(e.is_directory()) << e.path();
}

// A step whose frame fetch brings no frame (no camera, nothing pushed)
// stops with -1 and names the failed fetch.
TEST_F(CalibTables, StepWithoutAFrameStops) {
    vz::epc::set_default_device(nullptr);
    pruInit();
    testing::internal::CaptureStdout();
    EXPECT_EQ(calibrationCreateDRNU_LUT(0, 3), -1);
    std::vector<int> mean(82656);
    calculationGrayscaleMean(2, mean.data());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(log_.count("[calibrationCreateDRNU_LUT] frame fetch failed: calibration stopped\n"),
              1);
    EXPECT_EQ(log_.count("[calculationGrayscaleMean] frame fetch failed: calibration stopped\n"),
              1);
}

}  // namespace
