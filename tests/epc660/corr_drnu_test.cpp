// DRNU mode 2 through the per-pixel tables against the straightforward
// search: calibrations regular and irregular, codes spread over each pixel's
// calibrated range and beyond both ends, every instruction set; and when the
// tables are prepared and when they stop serving.
#include <algorithm>
#include <random>

#include "corr_fixture.h"
#include "epc660/calc_frame.h"
#include "epc660/correction_drnu.h"

namespace {

namespace cal = vz::epc::cal;
namespace corr = vz::epc::corr;

constexpr int kN = 76800;
const std::string kImages10 = "epc660_images_drnu_W003_C017_10.bin";

// How the distance images of a pixel rise with the step.
enum class Cal {
    regular,  // steps of 500..1200 codes
    uneven,   // regular, with some pixels' steps of 0..60 codes
    mixed,    // uneven, with pixels whose images fall, stay flat or jump
};

std::vector<uint16_t> calibration(std::mt19937 &rng, int steps, Cal kind) {
    std::vector<uint16_t> im((size_t)steps * kN);
    std::uniform_int_distribution<int> base(500, 3000), inc(500, 1200), tiny(0, 60), pick(0, 99);
    for (int q = 0; q < kN; ++q) {
        const int k = kind == Cal::regular ? 99 : pick(rng);
        int v = base(rng);
        for (int i = 0; i < steps; ++i) {
            im[(size_t)i * kN + q] = (uint16_t)std::min(v, 65000);
            if (k < 10)
                v += tiny(rng);
            else if (kind == Cal::mixed && k < 13)
                v += (i == steps / 2 ? 25000 : 300);  // a step far from its prediction
            else if (kind == Cal::mixed && k < 16)
                v = (i % 5 == 3) ? v - 900 : v + 700;  // falls now and then
            else if (kind == Cal::mixed && k < 18)
                v += 0;  // flat: minimum equals maximum
            else
                v += inc(rng);
        }
    }
    return im;
}

// Codes spread uniformly from below each pixel's minimum to above its
// maximum, with markers.
std::vector<uint16_t> spread_frame(std::mt19937 &rng) {
    std::vector<uint16_t> f(kN);
    const uint16_t *mn = cal::dist_min(1), *mx = cal::dist_max(1);
    std::uniform_real_distribution<double> u(-0.1, 1.1);
    std::uniform_int_distribution<int> pick(0, 99);
    for (int p = 0; p < kN; ++p) {
        const double v = mn[p] + u(rng) * (mx[p] - mn[p] + 1);
        f[p] = pick(rng) < 2 ? (uint16_t)(65300 + 100 * (p % 3))
                             : (uint16_t)std::clamp(v, 0.0, 65299.0);
    }
    return f;
}

class DrnuTables : public CorrTest {
protected:
    void load(std::mt19937 &rng, int steps, Cal kind) {
        write_u16(kImages10, calibration(rng, steps, kind));
        ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
        ASSERT_EQ(calibrateGetNumDistances(), steps);
        calculationSetEnableDRNU(2);
    }
    // The tables' result, separate and in place, equals the search's under
    // every instruction set.
    static void expect_identical(const std::vector<uint16_t> &src, const std::string &what) {
        std::vector<uint16_t> ref(kN), out(kN);
        corr::ref_drnu2(ref.data(), src.data());
        for (const char *isa : {"none", "avx2", "avx512"}) {
            if (!vz::epc::calc::set_simd_isa(isa)) continue;
            calculationCorrectDRNU2_opt(out.data(), const_cast<uint16_t *>(src.data()));
            ASSERT_EQ(out, ref) << what << ", " << isa;
            out = src;
            calculationCorrectDRNU2_opt(out.data(), out.data());
            ASSERT_EQ(out, ref) << what << ", in place, " << isa;
        }
        vz::epc::calc::set_simd_isa(vz::epc::calc::simd_isa());
    }
};

TEST_F(DrnuTables, BitIdenticalToTheSearchOverAndBeyondTheCalibratedRange) {
    struct Case {
        int steps;
        Cal kind;
        int temp;  // temperature above calibration (0: compensation off)
    } cases[] = {{30, Cal::regular, 0}, {30, Cal::regular, 17}, {50, Cal::uneven, -9},
                 {30, Cal::mixed, 0},   {30, Cal::mixed, 23},   {2, Cal::regular, 5},
                 {3, Cal::mixed, 0},    {50, Cal::mixed, 1}};
    std::mt19937 rng(21);
    for (const Case &c : cases) {
        const std::string what = std::to_string(c.steps) + " steps, kind " +
                                 std::to_string(int(c.kind)) + ", dt " + std::to_string(c.temp);
        load(rng, c.steps, c.kind);
        ASSERT_TRUE(corr::drnu2_ready()) << what;
        calculationSetEnableTemperature(c.temp != 0);
        uint16_t t[2] = {(uint16_t)(361 + c.temp), 0};
        temperatureSetTemperatureByFrameHeader(t);
        expect_identical(spread_frame(rng), what);
        // Codes on the calibration steps themselves and one beside them.
        std::vector<uint16_t> on(kN);
        for (int p = 0; p < kN; ++p)
            on[p] = (uint16_t)(calibrateGetDistImagePixel((p % c.steps) * kN + p) + p % 3 - 1);
        expect_identical(on, what + ", on the steps");
    }
}

// Codes that walk every pixel's range in small strides, so that the
// interpolated results fall on and next to every fraction, halves included.
std::vector<uint16_t> dense_frame(int shift) {
    std::vector<uint16_t> f(kN);
    const uint16_t *mn = cal::dist_min(1), *mx = cal::dist_max(1);
    for (int p = 0; p < kN; ++p) {
        const int span = std::max(mx[p] - mn[p] + 6, 1);
        f[p] = (uint16_t)std::clamp(mn[p] - 3 + (p * 7 + shift) % span, 0, 65299);
    }
    return f;
}

// Surfaces: codes rising along each row at `slope` codes a pixel (a block
// of 32 pixels then spans from none to several steps), wrapping within each
// pixel's range, so that the step a block expects from the one before is
// right, off by a step or far off.
std::vector<uint16_t> ramp_frame(int slope) {
    std::vector<uint16_t> f(kN);
    const uint16_t *mn = cal::dist_min(1), *mx = cal::dist_max(1);
    for (int p = 0; p < kN; ++p) {
        const int span = std::max(mx[p] - mn[p], 1);
        f[p] = (uint16_t)(mn[p] + ((p % 320) * slope + (p / 320) * 37) % span);
    }
    return f;
}

TEST_F(DrnuTables, BitIdenticalOnSurfacesOfEverySlope) {
    std::mt19937 rng(45);
    load(rng, 30, Cal::regular);
    calculationSetEnableTemperature(1);
    uint16_t t[2] = {(uint16_t)(361 + 5), 0};
    temperatureSetTemperatureByFrameHeader(t);
    for (int slope : {0, 3, 11, 25, 40, 70, 160})
        expect_identical(ramp_frame(slope), "slope " + std::to_string(slope));
}

TEST_F(DrnuTables, BitIdenticalOnEveryFractionAndTemperatureTerm) {
    // Temperature terms of zero (compensation on), whole and fractional size,
    // both signs; step counts at both ends of what the 32-pixel kernel takes
    // and beyond it.
    struct Case {
        int steps;
        Cal kind;
        int temp;
    } cases[] = {{12, Cal::regular, 0}, {12, Cal::regular, 3},  {31, Cal::uneven, -7},
                 {30, Cal::regular, 1}, {30, Cal::regular, -2}, {32, Cal::regular, 4},
                 {11, Cal::regular, 6}, {30, Cal::mixed, 40}};
    std::mt19937 rng(33);
    for (const Case &c : cases) {
        load(rng, c.steps, c.kind);
        calculationSetEnableTemperature(1);
        uint16_t t[2] = {(uint16_t)(361 + c.temp), 0};
        temperatureSetTemperatureByFrameHeader(t);
        for (int shift : {0, 3})
            expect_identical(dense_frame(shift), std::to_string(c.steps) + " steps, dt " +
                                                     std::to_string(c.temp) + ", shift " +
                                                     std::to_string(shift));
    }
}

// The temperature term as whole codes: floor(v - term) = v - ceil, the
// fraction w - floor(w), and the terms the integer form must leave to the
// doubles (within rounding of a whole number or a half, or absurdly large).
TEST(DrnuWhole, SplitsTheTemperatureTerm) {
    struct Case {
        bool temp;
        double term;
        bool usable, exact;
        int ceil;
        double frac;
    } cases[] = {
        {false, 123.4, true, true, 0, 0.0},  // compensation off: no term
        {true, 0.0, true, true, 0, 0.0},        {true, 3.0, true, true, 3, 0.0},
        {true, -2.0, true, true, -2, 0.0},      {true, 2.25, true, false, 3, 0.75},
        {true, -0.75, true, false, 0, 0.75},    {true, -7.5, false, false, -7, 0.5},
        {true, 4.0 + 1e-9, false, false, 5, 0}, {true, 4.0 - 1e-9, false, false, 4, 0},
        {true, 1e12, false, false, 0, 0},
    };
    for (const Case &c : cases) {
        const corr::Drnu2Whole w = corr::drnu2_whole({c.temp, c.term, 30, 700.0});
        EXPECT_EQ(w.usable, c.usable) << c.term;
        if (!c.usable) continue;
        EXPECT_EQ(w.exact, c.exact) << c.term;
        EXPECT_EQ(w.ceil, c.ceil) << c.term;
        EXPECT_DOUBLE_EQ(w.frac, c.frac) << c.term;
    }
}

TEST_F(DrnuTables, PreparedByTheLoadAndDroppedWhenTheTablesChange) {
    std::mt19937 rng(4);
    load(rng, 30, Cal::regular);
    EXPECT_TRUE(corr::drnu2_ready());
    // Another number of distances or image size than prepared for: the
    // search serves until the next load.
    calibrateSetNumDistances(29);
    EXPECT_FALSE(corr::drnu2_ready());
    calibrateSetNumDistances(30);
    EXPECT_TRUE(corr::drnu2_ready());
    calibrateSetWidth(319);
    EXPECT_FALSE(corr::drnu2_ready());
    calibrateSetWidth(320);
    EXPECT_TRUE(corr::drnu2_ready());
    // A writer of the images invalidates them until the minimum and maximum
    // are rebuilt, which prepares them again.
    uint16_t *im = cal::dist_images_mut(1);
    EXPECT_FALSE(corr::drnu2_ready());
    for (int p = 0; p < kN; ++p) im[5 * kN + p] = (uint16_t)(im[4 * kN + p] + 1);
    cal::rebuild_minmax(1);
    EXPECT_TRUE(corr::drnu2_ready());
    expect_identical(spread_frame(rng), "rewritten step");
    cal::reset_for_tests();
    EXPECT_FALSE(corr::drnu2_ready());
}

}  // namespace
