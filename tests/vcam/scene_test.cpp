// The virtual camera's optics and scenes: rays found by the camera's own
// inversion land back on their pixels through the lens model; each product
// sees through the lens its driver reports; the room keeps its geometry
// through any lens; a wall square to the axis is at z = D on every ray; the
// scene arguments parse as the tool documents them.
#include <gtest/gtest.h>

#include <cmath>

#include "vcam/optics.h"
#include "vcam/scene.h"

namespace {

TEST(VcamOptics, EveryPixelsRayLandsBackOnThePixel) {
    for (const auto &[product, w, h] :
         {std::tuple{"VZ-E1-660", 320, 240}, std::tuple{"VZ-E2-635", 160, 60},
          std::tuple{"VZ-T0-320", 320, 240}}) {
        const vcam::Optics o = vcam::product_optics(product, w, h);
        double worst = 0;
        for (int v = 0; v < h; ++v)
            for (int u = 0; u < w; ++u) {
                vcam::Ray r{};
                ASSERT_TRUE(vcam::pixel_ray(o, u, v, r)) << product << " " << u << "," << v;
                ASSERT_NEAR(r.x * r.x + r.y * r.y + r.z * r.z, 1.0, 1e-12);
                double pu = 0, pv = 0;
                vcam::lens_project(o, r.x / r.z, r.y / r.z, pu, pv);
                worst = std::max(worst, std::hypot(pu - u, pv - v));
            }
        EXPECT_LT(worst, 1e-6) << product;
    }
}

TEST(VcamOptics, EachProductSeesThroughTheLensItsDriverReports) {
    const vcam::Optics e660 = vcam::product_optics("VZ-E1-660", 320, 240);
    EXPECT_DOUBLE_EQ(e660.cx, 162.00372);
    EXPECT_DOUBLE_EQ(e660.cy, 110.054925);
    EXPECT_DOUBLE_EQ(e660.fx, 319.331685);
    EXPECT_DOUBLE_EQ(e660.fy, 319.25846);
    EXPECT_DOUBLE_EQ(e660.k1, -0.27313);
    const vcam::Optics e635 = vcam::product_optics("VZ-E2-635", 160, 60);
    EXPECT_DOUBLE_EQ(e635.fx, 638.66337 / 4);
    EXPECT_DOUBLE_EQ(e635.fy, 638.51692 / 8);
    const vcam::Optics opt = vcam::product_optics("VZ-T0-320", 320, 240);
    EXPECT_EQ(opt.cx, 159.5);
    EXPECT_EQ(opt.fx, 211.0);
    EXPECT_EQ(opt.k1, 0.0);
}

TEST(VcamScenes, AWallSquareToTheAxisIsAtItsDepthOnEveryRay) {
    const vcam::Optics o = vcam::product_optics("VZ-E1-660", 320, 240);
    const vcam::Scene s = vcam::wall_scene(o, 2.0f, 0.8f);
    for (int v = 0; v < 240; v += 7)
        for (int u = 0; u < 320; u += 7) {
            vcam::Ray r{};
            vcam::pixel_ray(o, u, v, r);
            ASSERT_NEAR(s.distance_m[size_t(v * 320 + u)] * r.z, 2.0, 1e-6) << u << "," << v;
        }
    // The corners look farthest: barrel distortion widens their rays.
    EXPECT_GT(s.distance_m[0],
              2.0f / std::cos(std::atan(std::hypot(162.0 / 319.3, 110.1 / 319.3))));
}

TEST(VcamScenes, TheRoomKeepsItsGeometryThroughAnyLens) {
    for (const char *product : {"VZ-E1-660", "VZ-T0-320"}) {
        const vcam::Optics o = vcam::product_optics(product, 320, 240);
        const vcam::Scene s = vcam::room_scene(o);
        ASSERT_EQ(s.distance_m.size(), 320u * 240u);
        // Along the optical axis: the back wall at 2.30 m (the pixel nearest
        // the principal point, whose ray is a hair off the axis).
        const int u = int(std::lround(o.cx)), v = int(std::lround(o.cy));
        EXPECT_NEAR(s.distance_m[size_t(v * 320 + u)], 2.30f, 0.002f) << product;
        // Every back-wall pixel (reflectivity 0.8) lies on the plane z = 2.30,
        // every floor pixel on y = 0.80.
        for (int y = 0; y < 240; ++y)
            for (int x = 0; x < 320; ++x) {
                const size_t i = size_t(y * 320 + x);
                vcam::Ray r{};
                vcam::pixel_ray(o, x, y, r);
                const float refl = s.reflectivity[i];
                if (refl == 0.8f) {
                    ASSERT_NEAR(s.distance_m[i] * r.z, 2.30, 1e-5) << x << "," << y;
                }
                if (refl == 0.7f || refl == 0.4f) {
                    ASSERT_NEAR(s.distance_m[i] * r.y, 0.80, 1e-5) << x << "," << y;
                }
                ASSERT_GT(s.distance_m[i], 1.1f);
                ASSERT_LT(s.distance_m[i], 3.1f);  // inside the OPT8241's 3.12 m
            }
    }
}

TEST(VcamScenes, ArgumentsByNameAndFromRecordedFrames) {
    using K = vcam::SceneSpec::Kind;
    EXPECT_EQ(vcam::parse_builtin_scene("room")->kind, K::room);
    EXPECT_FLOAT_EQ(vcam::parse_builtin_scene("flat:2.5")->a, 2.5f);
    EXPECT_FLOAT_EQ(vcam::parse_builtin_scene("flat")->a, 1.5f);
    EXPECT_EQ(vcam::parse_builtin_scene("wall:2")->kind, K::wall);
    EXPECT_FLOAT_EQ(vcam::parse_builtin_scene("wall")->a, 1.5f);
    EXPECT_FLOAT_EQ(vcam::parse_builtin_scene("ramp:1:2")->b, 2.0f);
    for (const char *bad : {"rooms", "flat:0", "flat:x", "wall:-1", "wall:1:2", "ramp:1", "room:1",
                            "out/distance.vzd"})
        EXPECT_FALSE(vcam::parse_builtin_scene(bad)) << bad;
    const vcam::Scene s = vcam::scene_from_distances({1.0f, 2.0f, 0.0f, 3.0f}, 2, 2, 4, 4);
    EXPECT_EQ(s.distance_m, (std::vector<float>{1, 1, 2, 2, 1, 1, 2, 2, 0, 0, 3, 3, 0, 0, 3, 3}));
    EXPECT_EQ(s.reflectivity[0], 0.8f);
    EXPECT_EQ(s.reflectivity[8], 0.0f);
    EXPECT_EQ(vcam::ramp_scene(3, 1, 1.0f, 2.0f, 0.5f).distance_m,
              (std::vector<float>{1.0f, 1.5f, 2.0f}));
    vcam::Scene out;
    EXPECT_NE(
        vcam::scene_from_argument("no/such.vzd", vcam::assumed_pinhole(4, 4), out).find("wall[:D]"),
        std::string::npos);
}

}  // namespace
