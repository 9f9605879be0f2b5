// The flying-pixel filter: which pixels it drops (edges crossed, slopes and
// flat surfaces kept, markers ignored), the fast form equal to the reference
// bit for bit on random scenes, and no allocation per frame.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "alloc_hook.h"
#include "imgproc/flying.h"

namespace {

constexpr int kW = 9, kH = 7;
constexpr float kT = 0.15f;

// A kW x kH image of background b with a foreground step f at x >= 5, and
// centre pixel (4, 3) set to c.
std::vector<float> step_image(float b, float f, float c) {
    std::vector<float> img(kW * kH, b);
    for (int y = 0; y < kH; ++y)
        for (int x = 5; x < kW; ++x) img[size_t(y * kW + x)] = f;
    img[3 * kW + 4] = c;
    return img;
}

struct Case {
    const char *name;
    float back, front, centre;
    bool dropped;
};

TEST(FlyingPixels, DropsOnlyPixelsBetweenTheSidesOfAnEdge) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {"halfway across a 1 m step", 3.0f, 2.0f, 2.5f, true},
        {"just beyond the threshold on both sides", 3.0f, 2.6f, 2.8f, true},
        {"close to the front surface", 3.0f, 2.0f, 2.1f, false},
        {"close to the back surface", 3.0f, 2.0f, 2.9f, false},
        {"beyond both surfaces (an outlier, not between)", 3.0f, 2.0f, 3.5f, false},
        {"a step smaller than twice the threshold", 3.0f, 2.8f, 2.9f, false},
        {"neighbour is a saturation marker", 3.0f, 65.3f, 2.5f, false},
        {"neighbour is no distance", 3.0f, 0.0f, 1.5f, false},
        {"neighbour is NaN", 3.0f, nan, 2.5f, false},
        {"centre is a marker", 3.0f, 2.0f, 65.3f, false},
    };
    for (const Case &c : cases) {
        std::vector<float> img = step_image(c.back, c.front, c.centre);
        std::vector<float> ref = img;
        ASSERT_TRUE(vz::flying::apply(img.data(), kW, kH, kT)) << c.name;
        ASSERT_TRUE(vz::flying::apply_reference(ref.data(), kW, kH, kT)) << c.name;
        EXPECT_EQ(img[3 * kW + 4] == 0.0f, c.dropped) << c.name;
        EXPECT_EQ(0, std::memcmp(img.data(), ref.data(), img.size() * 4)) << c.name;
        // Nothing but the centre may change in these scenes.
        const std::vector<float> orig = step_image(c.back, c.front, c.centre);
        for (int i = 0; i < kW * kH; ++i) {
            if (i == 3 * kW + 4 || std::isnan(img[size_t(i)])) continue;
            EXPECT_EQ(img[size_t(i)], orig[size_t(i)]) << c.name << " pixel " << i;
        }
    }
}

TEST(FlyingPixels, KeepsSlopesFlatSurfacesAndBorders) {
    // A plane rising 0.1 m per pixel (steeper than the floor of a room seen
    // at grazing angle) keeps every pixel with a 0.15 m threshold.
    std::vector<float> img(kW * kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) img[size_t(y * kW + x)] = 1.0f + 0.1f * float(x);
    const std::vector<float> before = img;
    ASSERT_TRUE(vz::flying::apply(img.data(), kW, kH, kT));
    EXPECT_EQ(img, before);
    // A pixel between two surfaces on the border has no full neighbourhood.
    std::vector<float> edge = step_image(3.0f, 2.0f, 3.0f);
    edge[4] = 2.5f;  // row 0
    ASSERT_TRUE(vz::flying::apply(edge.data(), kW, kH, kT));
    EXPECT_EQ(edge[4], 2.5f);
}

TEST(FlyingPixels, RefusesWhatItDoesNotServe) {
    std::vector<float> img(size_t(vz::flying::kMaxWidth + 1) * 3, 1.0f);
    const float inf = std::numeric_limits<float>::infinity();
    struct {
        int w, h;
        float t;
    } const bad[] = {{2, 5, kT},   {5, 2, kT},    {vz::flying::kMaxWidth + 1, 3, kT},
                     {5, 5, 0.0f}, {5, 5, -1.0f}, {5, 5, inf},
                     {5, 5, 61.0f}};
    for (const auto &b : bad) {
        EXPECT_FALSE(vz::flying::apply(img.data(), b.w, b.h, b.t)) << b.w << "x" << b.h;
        EXPECT_FALSE(vz::flying::apply_reference(img.data(), b.w, b.h, b.t));
    }
    EXPECT_FALSE(vz::flying::apply(nullptr, 5, 5, kT));
}

// Random blocky scenes with noise, markers and NaNs: the fast form equals the
// reference bit for bit at several sizes and thresholds, without allocating.
TEST(FlyingPixels, FastFormEqualsReferenceWithoutAllocating) {
    std::mt19937 rng(34);
    std::uniform_real_distribution<float> depth(0.3f, 6.0f), noise(-0.05f, 0.05f), u(0.0f, 1.0f);
    const int sizes[][2] = {{320, 240}, {160, 120}, {3, 3}, {17, 5}, {2048, 4}};
    for (const auto &s : sizes) {
        const int w = s[0], h = s[1];
        std::vector<float> img(size_t(w) * size_t(h));
        float block = depth(rng);
        for (size_t i = 0; i < img.size(); ++i) {
            if (u(rng) < 0.05f) block = depth(rng);
            const float r = u(rng);
            img[i] = r < 0.01f    ? 65.3f
                     : r < 0.015f ? std::nanf("")
                     : r < 0.02f  ? 0.0f
                                  : block + noise(rng);
        }
        for (float t : {0.05f, 0.15f, 1.0f}) {
            std::vector<float> ref = img;
            ASSERT_TRUE(vz::flying::apply_reference(ref.data(), w, h, t));
            for (auto level :
                 {vz::cpu::Level::scalar, vz::cpu::Level::avx2, vz::cpu::Level::avx512}) {
                if (level > vz::cpu::detected()) continue;
                std::vector<float> fast = img;
                const long before = vzt::allocations();
                ASSERT_TRUE(vz::flying::apply_at(level, fast.data(), w, h, t));
                if (vzt::alloc_counting()) {
                    EXPECT_EQ(vzt::allocations(), before) << w << "x" << h;
                }
                EXPECT_EQ(0, std::memcmp(fast.data(), ref.data(), fast.size() * 4))
                    << w << "x" << h << " t=" << t << " level " << int(level);
            }
            std::vector<float> fast = img;
            vz::flying::apply(fast.data(), w, h, t);
            if (w * h >= 320 * 4) {
                EXPECT_NE(fast, img) << "no flying pixels: " << w << "x" << h;
            }
        }
    }
}

}  // namespace
