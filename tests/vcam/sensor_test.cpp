// The OPT8241 sensor model: frame layout, phase and amplitude codes from a
// scene, and the settable upper bits; the pattern sensor's fast fill.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "vcam/sensor.h"

namespace {

using vcam::Opt8241Sensor;
using vcam::PatternSensor;
using vcam::Scene;

uint16_t word(const std::vector<uint8_t> &f, size_t pixel, int w) {
    return uint16_t(f[4 * pixel + 2 * size_t(w)] | f[4 * pixel + 2 * size_t(w) + 1] << 8);
}

std::vector<uint8_t> render(Opt8241Sensor &s) {
    std::vector<uint8_t> f(s.describe().size);
    s.render(f, 0);
    return f;
}

TEST(Opt8241, FrameIs320By240WithFourBytesPerPixel) {
    Opt8241Sensor s;
    auto d = s.describe();
    EXPECT_EQ(d.width, 320);
    EXPECT_EQ(d.height, 240);
    EXPECT_EQ(d.size, 320u * 240u * 4u);
}

TEST(Opt8241, PhaseCodeIsDistanceOverRangeTimes4096) {
    EXPECT_EQ(Opt8241Sensor::phase_code(0.0f), 0);
    EXPECT_EQ(Opt8241Sensor::phase_code(1.561419f), 0x800);
    EXPECT_EQ(Opt8241Sensor::phase_code(3.122076f), 0xFFF);
    // One period further the phase wraps.
    EXPECT_EQ(Opt8241Sensor::phase_code(3.122838f + 1.561419f), 0x800);
    EXPECT_EQ(Opt8241Sensor::amplitude_code(0.25f), 1024);
    EXPECT_EQ(Opt8241Sensor::amplitude_code(1.5f), 4095);
    EXPECT_EQ(Opt8241Sensor::amplitude_code(-1.0f), 0);
}

TEST(Opt8241, PixelsCarryAmplitudeThenPhaseRowByRow) {
    Opt8241Sensor s;
    Scene sc = Scene::ramp(320, 240, 0.5f, 2.5f, 0.5f);
    sc.reflectivity[321] = 1.0f;  // row 1, column 1
    s.set_scene(sc);
    auto f = render(s);
    EXPECT_EQ(word(f, 321, 0), 4095);
    EXPECT_EQ(word(f, 0, 0), 2048);
    EXPECT_EQ(word(f, 0, 1), Opt8241Sensor::phase_code(0.5f));
    EXPECT_EQ(word(f, 319, 1), Opt8241Sensor::phase_code(2.5f));
    EXPECT_EQ(word(f, 240 * 320 - 1, 1), Opt8241Sensor::phase_code(2.5f));
}

TEST(Opt8241, DecodedPhaseIsWithinHalfAStepOfTheTrueDistance) {
    Opt8241Sensor s;
    Scene sc = Scene::ramp(320, 240, 0.05f, 3.05f, 0.7f);
    s.set_scene(sc);
    auto f = render(s);
    const double step = 3.122838 / 4096.0;
    for (size_t i = 0; i < 320u * 240u; i += 37) {
        double d = (word(f, i, 1) & 0xFFF) * (1.0 / 4096.0) * 3.122838;
        EXPECT_NEAR(d, sc.distance_m[i], step / 2 + 1e-6) << "pixel " << i;
    }
}

TEST(Opt8241, UpperBitsAreSetWithoutChangingTheCode) {
    Opt8241Sensor s;
    s.set_scene(Scene::flat(320, 240, 1.561419f, 0.25f));
    s.set_upper_bits(0xA, 0x5);
    auto f = render(s);
    EXPECT_EQ(word(f, 1000, 0), 0xA400);
    EXPECT_EQ(word(f, 1000, 1), 0x5800);
}

TEST(Opt8241, SceneOfAnotherSizeIsRefused) {
    Opt8241Sensor s;
    EXPECT_THROW(s.set_scene(Scene::flat(160, 120, 1.0f, 1.0f)), std::invalid_argument);
}

TEST(Opt8241, EveryPixelMatchesTheFormula) {
    Opt8241Sensor s;
    Scene sc = Scene::ramp(320, 240, 0.0f, 6.0f, 0.3f);
    for (size_t i = 0; i < sc.reflectivity.size(); ++i)
        sc.reflectivity[i] = float(i % 1000) / 999.0f;
    s.set_scene(sc);
    s.set_upper_bits(1, 2);
    auto f = render(s);
    for (size_t i = 0; i < 320u * 240u; ++i) {
        long ph = std::lround(double(sc.distance_m[i]) / double(3.122838f) * 4096.0) % 4096;
        long am = std::lround(double(sc.reflectivity[i]) * 4095.0);
        ASSERT_EQ(word(f, i, 0), uint16_t(am | 0x1000)) << i;
        ASSERT_EQ(word(f, i, 1), uint16_t(ph | 0x2000)) << i;
    }
}

TEST(PatternSensor, FastFillEqualsTheFormula) {
    PatternSensor s(33, 7, 3, 0);
    std::vector<uint8_t> f(s.describe().size);
    for (uint32_t n : {0u, 1u, 250u, 1000000u, 0xFFFFFFFFu}) {
        s.render(f, n);
        for (uint32_t i = 0; i < f.size(); ++i)
            ASSERT_EQ(f[i], PatternSensor::byte_at(n, i)) << n << " " << i;
    }
}

}  // namespace
