// Per-pixel corrections: offset addition, DRNU modes 1 and 2 against an
// independent reading of their arithmetic, fast forms against their
// straightforward twins, temperature, ambient light and the Kalman filters.
#include <cmath>
#include <random>

#include "corr_fixture.h"
#include "epc660/calc_frame.h"

namespace {

namespace cal = vz::epc::cal;
namespace corr = vz::epc::corr;

const std::string kImages10 = "epc660_images_drnu_W003_C017_10.bin";

using Corrections = CorrTest;

TEST_F(Corrections, AddOffsetWrapsIntoOnePeriodAndKeepsMarkers) {
    struct Case {
        uint16_t code;
        int offset;
        uint16_t out;
    } cases[] = {{29900, 708, 608},
                 {10, -50, 29960},
                 {0, -60001, 29999},
                 {65300, 708, 65300},
                 {65400, -5, 65400},
                 {65500, 1, 65500},
                 {65299, 1, 5300},
                 // every code above 65299 is a marker, not only the three named ones
                 {65346, 708, 65346},
                 {65535, 708, 65535},
                 {65301, -5, 65301}};
    geometry(2, 2, 4, 6);
    for (const Case &c : cases) {
        calibrationSetOffsetPhase(c.offset);
        uint16_t img[4] = {c.code, c.code, c.code, c.code};
        EXPECT_EQ(calculationAddOffset(img), 0);
        EXPECT_EQ(img[3], c.out) << c.code << " + " << c.offset;
    }
    EXPECT_EQ(calculationAddOffset(nullptr), -1);
}

TEST_F(Corrections, DrnuModeSwitchSetsPhaseOffsets) {
    calibrationSetOffsetPhase(123);
    EXPECT_EQ(calculationSetEnableDRNU(2), 2);
    const int off = (int)(885000.0 / 1249 - 8364);  // box offset - default DRNU offset
    EXPECT_EQ(calibrationGetOffsetPhase(), off);
    calibrationEnableDefaultOffset(0);
    calibrationEnableDefaultOffset(1);
    EXPECT_EQ(calibrationGetOffsetPhase(), off);  // the default offset was set too
    calculationSetEnableDRNU(0);
    EXPECT_EQ(calibrationGetOffsetPhase(), off);  // mode 0 resets only the default
    calibrationEnableDefaultOffset(1);
    EXPECT_EQ(calibrationGetOffsetPhase(), 0);
    // Any mode is stored; modes other than 1 and 2 run no DRNU correction:
    // the offset addition takes the phase offset as with DRNU off.
    EXPECT_EQ(calculationSetEnableDRNU(7), 7);
    EXPECT_EQ(calculationGetEnableDRNU(), 7);
    calibrationSetOffsetPhase(100);
    geometry(2, 2, 4, 6);
    uint16_t img[4] = {1000, 1000, 1000, 1000};
    calculationAddOffset(img);
    EXPECT_EQ(img[0], 1100);
    calculationSetEnableDRNU(0);
}

// With dual MGX the image holds half the raw rows: the corrections stop at
// the end of the distance image and never reach the amplitudes after it.
TEST_F(Corrections, DualMgxCorrectsTheDistanceImageOnly) {
    geometry(4, 4, 4, 6);  // 4 x 4 codes, 4 x 2 with dual MGX
    calibrationSetOffsetPhase(708);
    struct Case {
        int dual_mgx, changed;
    } cases[] = {{0, 16}, {1, 8}};
    for (const Case &c : cases) {
        calculationEnableDualMGX(c.dual_mgx);
        std::vector<uint16_t> img(16, 142);
        calculationAddOffset(img.data());
        int changed = 0;
        for (uint16_t v : img) changed += v != 142;
        EXPECT_EQ(changed, c.changed) << c.dual_mgx;
        EXPECT_EQ(img[15], c.dual_mgx ? 142 : 850) << c.dual_mgx;
    }
    calculationEnableDualMGX(0);
}

// Distance images for a cal_w x cal_h calibration image: step i at pixel q
// is base(q) + i * 1000, with pixel 5 constant (min == max).
std::vector<uint16_t> ramp_images(int cal_w, int cal_h, int steps) {
    std::vector<uint16_t> v;
    for (int i = 0; i < steps; ++i)
        for (int q = 0; q < cal_w * cal_h; ++q)
            v.push_back(q == 5 ? 7000 : (uint16_t)(1000 + 37 * q + i * 1000 + (i * q) % 50));
    return v;
}

TEST_F(Corrections, DrnuMode2MatchesIndependentArithmetic) {
    const int cw = 8, ch = 4, steps = 10, cols = 6, rows = 2;
    calibrateSetWidth(cw);
    calibrateSetHeight(ch);
    const std::vector<uint16_t> im = ramp_images(cw, ch, steps);
    write_u16(kImages10, im);
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    ASSERT_EQ(calibrateGetNumDistances(), steps);
    geometry(cols, rows, 4 + 3,
             6 + 1);  // calibration origin (3, 1): columns 5 and beyond lie outside
    calculationSetEnableTemperature(1);
    uint16_t t[2] = {361 + 20, 0};
    temperatureSetTemperatureByFrameHeader(t);
    const uint16_t src[cols * rows] = {1100, 4321,  65400, 7000, 2500, 9000,
                                       900,  12000, 5555,  6000, 3210, 8000};
    uint16_t dst[cols * rows];
    ASSERT_EQ(calculationCorrectDRNU2_opt(dst, (uint16_t *)src), 0);

    const double range = 12491, lsb = 298.2 * 30000 / range, slope = 1.7 * 30000 / range;
    const int plane = cw * ch;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const int p = r * cols + c, q = (r + 1) * cw + (c + 3);
            double expect;
            if (src[p] >= 65300 || c + 3 >= cw) {
                expect = src[p];
            } else {
                const double w = src[p] - 20 * slope;
                int lo = 65535, hi = 0;
                for (int i = 0; i < steps; ++i) {
                    lo = std::min<int>(lo, im[i * plane + p]);
                    hi = std::max<int>(hi, im[i * plane + p]);
                }
                expect = w;
                if (lo < hi && w <= lo) expect = 65300;
                if (lo < hi && w >= hi) expect = 65500;
                for (int i = 0; lo < hi && w > lo && w < hi && i + 1 < steps; ++i) {
                    const int f = im[i * plane + q], g = im[(i + 1) * plane + q];
                    if (f <= w && w < g) expect = lsb * i + lsb * (w - f) / (g - f);
                }
            }
            EXPECT_EQ(dst[p], (uint16_t)std::lround(expect)) << "pixel " << p;
        }
    }
}

TEST_F(Corrections, DrnuMode2EdgesOfTheCalibratedRange) {
    calibrateSetWidth(4);
    calibrateSetHeight(2);
    // Pixel 0 spans 1000..3000, pixel 1 is constant.
    write_u16(kImages10, {1000, 500, 0, 0, 0,    0,   0, 0, 2000, 500, 0, 0,
                          0,    0,   0, 0, 3000, 500, 0, 0, 0,    0,   0, 0});
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    geometry(2, 2, 4, 6);
    const double lsb = 298.2 * 30000 / 12491;
    struct Case {
        uint16_t in, out;
    } cases[] = {{1000, 65300},
                 {3000, 65500},
                 {1500, (uint16_t)std::lround(lsb * 0.5)},
                 {2000, (uint16_t)std::lround(lsb)}};
    for (const Case &c : cases) {
        uint16_t img[4] = {c.in, 777, 65300, 0};
        calculationCorrectDRNU2_opt(img, img);
        EXPECT_EQ(img[0], c.out) << c.in;
        EXPECT_EQ(img[1], 777);  // min == max: only the temperature term (off here)
        EXPECT_EQ(img[2], 65300);
    }
}

// Random monotonic calibration over the full image and a random frame.
void random_calibration(std::mt19937 &rng, int steps) {
    std::vector<uint16_t> im(steps * 76800);
    std::uniform_int_distribution<int> base(500, 3000), inc(500, 1200);
    for (int q = 0; q < 76800; ++q) {
        int v = base(rng);
        for (int i = 0; i < steps; ++i, v += inc(rng)) im[i * 76800 + q] = (uint16_t)v;
    }
    std::ofstream("epc660_images_drnu_W003_C017_10.bin", std::ios::binary)
        .write((const char *)im.data(), (long)im.size() * 2);
}

TEST_F(Corrections, FastFormsAreBitIdenticalToStraightforwardOnes) {
    std::mt19937 rng(5);
    random_calibration(rng, 30);
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    struct Case {
        int temp, ambient, x, y, drnu, default_off, smooth;
    } cases[] = {{0, 0, 4, 6, 2, 1, 0}, {1, 0, 4, 6, 2, 0, 0}, {1, 1, 4, 6, 0, 1, 0},
                 {1, 0, 2, 2, 1, 1, 0}, {1, 0, 4, 6, 2, 1, 1}, {0, 0, 9, 7, 2, 1, 1},
                 {1, 0, 4, 6, 2, 1, 2}, {0, 0, 5, 6, 2, 0, 2}};
    std::uniform_int_distribution<int> code(0, 40000), step(0, 28), near(-300, 300);
    std::vector<uint16_t> src(76800), a(76800), b(76800);
    for (const Case &c : cases) {
        // Smooth frames: codes near a calibration step of the pixel (1: any
        // step; 2: steps rising along the rows, as a tilted wall gives them);
        // others: anything. Markers everywhere.
        for (int p = 0; p < 76800; ++p) {
            const int i = c.smooth == 2 ? 1 + p % 320 * 26 / 320 : step(rng);
            src[p] = c.smooth ? (uint16_t)(calibrateGetDistImagePixel(i * 76800 + p) + near(rng))
                              : (uint16_t)code(rng);
            if (code(rng) > (c.smooth ? 39000 : 35000)) src[p] = 65300;
        }
        calculationSetEnableTemperature(c.temp);
        calculationSetEnableAmbientLight(c.ambient);
        calculationSetDiffTemp(-13);
        calculationSetEnableDRNU(c.drnu);
        calibrationEnableDefaultOffset(c.default_off);
        uint16_t t[2] = {(uint16_t)(361 + 17), 0};
        temperatureSetTemperatureByFrameHeader(t);
        geometry(320, 240, c.x, c.y);
        corr::ref_drnu2(b.data(), src.data());
        // The DRNU kernels follow the calculation's instruction set.
        for (const char *isa : {"none", "avx2", "avx512"}) {
            if (!vz::epc::calc::set_simd_isa(isa)) continue;
            calculationCorrectDRNU2_opt(a.data(), src.data());
            ASSERT_EQ(a, b) << "DRNU mode 2, case " << &c - cases << ", " << isa;
        }
        vz::epc::calc::set_simd_isa(vz::epc::calc::simd_isa());
        calculationTemperatureCompensation(a.data());
        corr::ref_temperature(b.data());
        ASSERT_EQ(a, b) << "temperature";
        corr::ref_add_offset(b.data());
        const std::vector<uint16_t> before = a;
        for (const char *isa : {"none", "avx2", "avx512"}) {
            if (!vz::epc::calc::set_simd_isa(isa)) continue;
            a = before;
            calculationAddOffset(a.data());
            ASSERT_EQ(a, b) << "offset, " << isa;
        }
        vz::epc::calc::set_simd_isa(vz::epc::calc::simd_isa());
    }
}

TEST_F(Corrections, TemperatureCompensationSubtractsRoundedSlope) {
    geometry(2, 2, 4, 6);
    uint16_t img[4] = {5000, 10, 65300, 65299};
    calculationTemperatureCompensation(img);
    EXPECT_EQ(img[0], 5000);  // off
    calculationSetEnableTemperature(1);
    uint16_t t[2] = {361 + 10, 0};
    temperatureSetTemperatureByFrameHeader(t);
    const int k = (int)std::lround(10 * 1.7 * 30000 / 12491);
    calculationTemperatureCompensation(img);
    EXPECT_EQ(img[0], 5000 - k);
    EXPECT_EQ(img[1], (uint16_t)(10 - k));  // below 0: modulo 65536
    EXPECT_EQ(img[2], 65300);
    EXPECT_EQ(img[3], 65299 - k);
    EXPECT_TRUE(log_.has("[calculationTemperatureCompensation] tempDiff = 10.00"));
}

TEST_F(Corrections, DrnuMode1WrapsAndClampsTheStep) {
    const int cw = 4, ch = 2;
    calibrateSetWidth(cw);
    calibrateSetHeight(ch);
    calibrateSetNumDistances(50);
    write_bytes("epc660_drnu_param_W003_C017_10.bin", param_block(8000, 361, 100.0));
    for (const char *sfx : {"_20.", "_10."}) {
        std::string s = "8000\n361\n100.0\n";
        for (int i = 0; i < 50; ++i)
            for (int r = 0; r < ch; ++r) {
                for (int c = 0; c < cw; ++c) s += std::to_string(i * 10 + r * 4 + c) + " ";
                s += "\n";
            }
        write_text(std::string("epc660_drnu_W003_C017") + sfx + "csv", s);
    }
    ASSERT_EQ(calibrationLoadDRNU_LUT(), 0);
    EXPECT_EQ(calibrateGetDRNULutPixel(49, 1, 3), 497);
    geometry(cw, ch, 4, 6);
    calculationSetEnableDRNU(1);
    const double lsb = 100.0 * 30000 / 12491;
    const uint16_t in[8] = {7990, 8000, 9000, 65400, 0, 0, 0, 0};
    uint16_t img[8];
    std::copy(in, in + 8, img);
    calculationCorrectDRNU(img);
    EXPECT_EQ(img[0], 7990 - (49 * 10 + 0));  // d = -10 wraps to 29990: step beyond 49 -> 49
    EXPECT_EQ(img[1], 8000 - 1);              // step 0
    EXPECT_EQ(img[2], 9000 - (std::lround(1000 / lsb) * 10 + 2));
    EXPECT_EQ(img[3], 65400);
}

TEST_F(Corrections, AmbientLightPixelByPartType) {
    struct Case {
        int part;
        uint16_t dcs, gray, out;
    } cases[] = {{2, 1000, 2048 + 500, 998},
                 {2, 1000, 2048 - 625, 1003},
                 {4, 1000, (2048 + 500) * 16, 1000 - 32},
                 {2, 0, 2048 + 250, 65535}};
    for (const Case &c : cases) {
        configSetPartType(c.part);
        EXPECT_EQ(calculationAmbientDCSCorrectionPixel(c.dcs, c.gray), c.out) << c.gray;
    }
}

TEST_F(Corrections, AmbientLightImageCorrectsTwoPlanes) {
    geometry(2, 2, 4, 6);
    calibrateSetWidth(2);
    corr::ambient_store(3, 2048 + 750);
    uint16_t img[12] = {100, 100, 100, 100, 200, 200, 200, 200, 9, 9, 9, 9};
    EXPECT_EQ(calculationAmbientDCSCorrection(img, 4), 0);
    EXPECT_EQ(img[3], 97);
    EXPECT_EQ(img[7], 197);
    EXPECT_EQ(img[0], 108);  // gray 0 -> a = round(-2048 / 250) = -8
    EXPECT_EQ(img[11], 9);
    EXPECT_EQ(calculationAmbientDCSCorrection(img, 0), -1);
}

TEST_F(Corrections, KalmanSimpleConvergesAndResetsOnJumps) {
    geometry(2, 2, 4, 6);
    calculationEnableKalman(1);
    double est = 0;
    for (int n = 1; n <= 5; ++n) {
        uint16_t img[4] = {300, 300, 300, 65300};
        calculationFalmanFiltering(img);
        est = 0.9 * est + 0.1 * 300;
        EXPECT_EQ(img[0], std::lround(est)) << n;
        EXPECT_EQ(img[3], 65300);
    }
    uint16_t jump[4] = {2000, 300, 300, 0};
    calculationFalmanFiltering(jump);
    EXPECT_EQ(jump[0], 2000);  // more than threshold 1 from the last value
}

TEST_F(Corrections, KalmanVarianceResetsOnOutlierAndAdaptiveStartsAtGainOne) {
    calculationInitKalman();
    calculationEnableKalman(2);
    geometry(2, 2, 4, 6);
    for (uint16_t v : {1000, 1000, 1000}) {
        uint16_t a[4] = {v, 0, 0, 0};
        calculationFalmanFiltering(a);
        EXPECT_EQ(a[0], 1000);  // variance 0 for the first samples: gain 1
    }
    uint16_t b[4] = {1020, 0, 0, 0};
    calculationFalmanFiltering(b);
    EXPECT_EQ(b[0], 1000);  // variance 200: gain 2 / 202
    uint16_t c[4] = {3000, 0, 0, 0};
    calculationFalmanFiltering(c);
    EXPECT_EQ(c[0], 3000);  // beyond threshold 2: replaces the estimate
    calculationEnableKalman(3);
    uint16_t d[4] = {0, 4000, 0, 0};
    calculationFalmanFiltering(d);
    EXPECT_EQ(d[1], 4000);  // first frame of mode 3 passes through
    EXPECT_EQ(calculationSimpleKalmanFilter(5.0, 82656, 0.5), 5.0);
}

TEST_F(Corrections, InterpolateRoundsHalvesAwayFromZero) {
    struct Case {
        double x, x0, y0, x1, dy;
        int out;
    } cases[] = {
        {5, 0, 0, 10, 3, 2}, {5, 0, 0, 10, -3, -2}, {1, 1, 2.5, 1, 9, 3}, {2, 0, 10, 4, 1, 11}};
    for (const Case &c : cases)
        EXPECT_EQ(calculationInterpolate(c.x, c.x0, c.y0, c.x1, c.dy), c.out);
}

}  // namespace
