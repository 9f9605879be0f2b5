// Grayscale calibration and defect replacement on the virtual epc660 camera
// (noise off, grayscale fixed pattern and defect pixels on): the calibration
// flattens the gray image of a lit scene, and listed defects take their
// neighbours' distances. The camera's own defect map is the ground truth.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "epc660/base.h"
#include "testutil.h"
#include "vcam/vcam.h"
#include "vizor/drv.h"
#include "vizor/epc660.h"
#include "vizor/stream.h"
#include "vizor/vizor.h"

namespace {

constexpr int kAddr = 0x20, W = 320, H = 240;

class EpcImageCam : public ::testing::Test {
protected:
    void SetUp() override {
        vcam::CameraConfig cfg;
        cfg.fw.product = "VZ-E1-660";
        cfg.fw.wafer_id = 12;
        cfg.fw.chip_id = 345;
        cfg.fw.epc.noise = false;
        cfg.fw.epc.defect_pixels = 24;
        cfg.fw.epc.calib = vcam::EpcCalib::none;  // the suite works on uncalibrated images
        cam = &bus.add_camera(1, 2, cfg);
        vizor_dev_t list[4];
        ASSERT_GE(vizor_dev_list(list, 4), 1);
        rec = list[0];
        dev = vizor_dev_open(&rec);
        ASSERT_NE(dev, nullptr);
        vizor_drv_t *drv = vizor_dev_get_drv(dev);
        ASSERT_NE(drv, nullptr);
        vz::epc::set_default_device(dev);
        configSetPartType(2);
        configSetWaferID(12);
        configSetChipID(345);
        testing::internal::CaptureStdout();
        configInit(kAddr);
        readOutSetROI(4, 323, 6, 125, kAddr);
        testing::internal::GetCapturedStdout();
    }
    void TearDown() override {
        vz::epc::set_default_device(nullptr);
        if (dev) vizor_dev_close(dev);
    }
    void scene(float reflectivity) {
        cam->fw().set_scene(vcam::Scene::flat(W, H, 1.0f, reflectivity));
    }
    // Image indices of the camera's defect pixels (image row r is field row 6 + r).
    std::vector<int> defects() {
        std::vector<int> d;
        cam->fw().with_epc([&](vcam::EpcSensor &s) {
            for (int r = 0; r < H; ++r)
                for (int c = 0; c < W; ++c)
                    if (s.defective(4 + c, 6 + r)) d.push_back(r * W + c);
        });
        return d;
    }
    // Standard deviation of the gray image over the pixels that are no defect.
    double graySpread() {
        uint16_t *img = nullptr;
        testing::internal::CaptureStdout();
        apiLoadConfig(0, kAddr);
        EXPECT_EQ(calculationBWSorted(&img), W * H);
        testing::internal::GetCapturedStdout();
        std::vector<bool> bad(W * H);
        for (int i : defects()) bad[i] = true;
        double s = 0, s2 = 0;
        int n = 0;
        for (int i = 0; i < W * H; ++i)
            if (!bad[i]) s += img[i], s2 += double(img[i]) * img[i], ++n;
        return std::sqrt(s2 / n - (s / n) * (s / n));
    }

    vzt::TempCwd cwd;
    vcam::Bus bus;
    vcam::Camera *cam = nullptr;
    vizor_dev_t rec{};
    vizor_dev_t *dev = nullptr;
};

// Calibrated with a bright (0.8) and a dark scene, checked on another (0.5).
TEST_F(EpcImageCam, GrayscaleCalibrationFlattensTheFixedPattern) {
    scene(0.5f);
    const double before = graySpread();
    scene(0.8f);
    testing::internal::CaptureStdout();
    EXPECT_EQ(calculationCalibrateGrayscale(1), 0);  // bright
    scene(0.0f);
    EXPECT_EQ(calculationCalibrateGrayscale(0), 0);  // dark
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(calculateLoadGrayscaleGainOffset(), 0);  // the file it wrote
    setCorrectGrayscaleOffset(1);
    setCorrectGrayscaleGain(1);
    scene(0.5f);
    const double after = graySpread();
    setCorrectGrayscaleOffset(0);
    setCorrectGrayscaleGain(0);
    std::printf("gray pixel-to-pixel spread: %.2f before, %.2f after calibration\n", before, after);
    EXPECT_GT(before, 5.0);
    EXPECT_LT(after, 1.0);
}

// Any gate name but "mga" calibrates mgb; the illumination settings come back.
// A small region of interest keeps the 200 frames short.
TEST_F(EpcImageCam, FlimCalibrationOfAnotherGateNameIsMgb) {
    testing::internal::CaptureStdout();
    ASSERT_EQ(apiSetROI(4, 83, 6, 25, kAddr), 0);
    apiLoadConfig(1, kAddr);  // four DCS planes: each gate plane holds a whole image
    flimSetRepetitions(1000);
    flimSetFlashWidth(5);
    calculateSetFlimCorrectionAvailable(0);
    EXPECT_EQ(calculationFlimCalibration("mgx"), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::ifstream("./epc502_mgb_gain_offset_W012_C345.txt").good());
    EXPECT_FALSE(std::ifstream("./epc502_mga_gain_offset_W012_C345.txt").good());
    EXPECT_EQ(flimGetRepetitions(), 1000);
    EXPECT_EQ(flimGetFlashWidth(), 5);
    EXPECT_EQ(calculateIsFlimCorrectionAvailable(), 1);
}

TEST_F(EpcImageCam, ListedDefectsTakeTheirNeighbours) {
    scene(0.8f);
    std::string list;
    std::vector<int> listed;
    for (int i : defects()) {
        const int x = 4 + i % W, y = 6 + i / W;
        if (x > 255 || x == 4 || y == 6 || y == 245) continue;  // not listable here
        char line[32];
        std::snprintf(line, sizeof line, "%03d %03d W\n", x, y);
        list += line;
        listed.push_back(i);
    }
    ASSERT_FALSE(listed.empty());
    std::ofstream("image_correction.txt") << list;
    testing::internal::CaptureStdout();
    imageCorrectionLoad("image_correction.txt");
    apiLoadConfig(1, kAddr);
    uint16_t *img = nullptr;
    ASSERT_EQ(calculationDistanceSorted(&img), W * H);
    const std::vector<uint16_t> raw(img, img + W * H);
    imageCorrectionEnable(1);
    ASSERT_EQ(calculationDistanceSorted(&img), W * H);
    imageCorrectionEnable(0);
    testing::internal::GetCapturedStdout();
    int differed = 0;
    for (int i : listed) {
        differed += std::abs(int(raw[i]) - int(raw[i - 1])) > 100;
        EXPECT_EQ(img[i], img[i - 1]) << i;
        EXPECT_EQ(img[i - 1], raw[i - 1]) << i;
    }
    EXPECT_GT(differed, 0);  // the defects were visible before
}

}  // namespace
