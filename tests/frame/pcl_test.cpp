// Point clouds from distance images: the projection of known pixels, the
// room rule, the valid distance range, the fourth value of xyzd, and the
// fast walk against a straightforward per-pixel reading.
#include <gtest/gtest.h>

#include "core/device.h"

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/globals.h"
#include "log_capture.h"
#include "vizor/cmap.h"
#include "vizor/vizor.h"

namespace {

// The EPC camera's lens for 320 x 240 images.
const vizor_camera_param_t kEpc320 = {162.00372f, 110.054925f, 319.331685f, 319.25846f, 1.0f};

// Straightforward reading of the projection, one pixel at a time.
std::vector<float> reference(const vizor_camera_param_t &p, const std::vector<float> &dist, int w,
                             int h, int pcl_len, int stride, bool colour, float scale) {
    std::vector<float> out(size_t(pcl_len > 0 ? pcl_len : 0), -123.0f);
    const vz_cmap_t &cmap = vz::library_cmap();
    int n = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (int64_t(stride) * n + stride - 1 >= pcl_len) return out;
            const float v = dist[size_t(y) * w + x];
            if (!(v > 0 && v < 60)) continue;
            const float d = float(v * scale);
            const float dx = float(x - double(p.cx));
            const float dy = float(y - double(p.cy));
            const double fx = p.fx, fy = p.fy;
            const float rx = sqrtf(float(double(dx) * dx + fx * fx));
            const float ry = sqrtf(float(double(dy) * dy + fy * fy));
            float *o = &out[size_t(n) * stride];
            o[0] = float(double(d) * dx / rx - dx * 20e-6);
            o[1] = float(double(d) * dy / ry - dy * 20e-6);
            o[2] = float(double(d) * fx / rx - fx * 20e-6);
            if (stride == 4) o[3] = colour ? float(vz_cmap_get_color(&cmap, int32_t(d * 1000))) : d;
            ++n;
        }
    return out;
}

class PointCloud : public testing::Test {
protected:
    void SetUp() override {
        vz_cmap_init(&vz::library_cmap(), 30000);
        vz_cmap_set_range(&vz::library_cmap(), 0, 8000);
    }
    void TearDown() override { vz_cmap_uninit(&vz::library_cmap()); }
    vizor_dev_t dev{};
};

}  // namespace

TEST_F(PointCloud, ProjectsKnownPixelsOfTheEpcLens) {
    std::vector<float> dist(320 * 240, 0.0f);
    dist[0] = 1.0f;
    dist[239 * 320 + 319] = 1.5f;
    float pcl[6];
    ASSERT_EQ(vizor_frame_get_pcl(&dev, pcl, 6, dist.data(), int(dist.size()), 320, 240, &kEpc320),
              2);
    EXPECT_NEAR(pcl[0], -0.44919, 1e-5);
    EXPECT_NEAR(pcl[1], -0.32370, 1e-5);
    EXPECT_NEAR(pcl[2], 0.88541, 1e-5);
    EXPECT_NEAR(pcl[3], 0.65866, 1e-5);
    EXPECT_NEAR(pcl[4], 0.55917, 1e-5);
    EXPECT_NEAR(pcl[5], 1.33973, 1e-5);
    float same[6];
    ASSERT_EQ(vizor_depth_to_pcl(same, 6, dist.data(), 240, 320, &kEpc320), 2);
    EXPECT_EQ(0, memcmp(pcl, same, sizeof pcl));
    EXPECT_EQ(dev.api_busy, 0);
}

TEST_F(PointCloud, BufferOfThreeKFloatsTakesKPoints) {
    const std::vector<float> dist(8, 2.0f);
    for (auto [len, points] : {std::pair{6, 2}, {7, 2}, {8, 2}, {9, 3}, {2, 0}, {0, 0}, {-5, 0}}) {
        std::vector<float> pcl(size_t(len > 0 ? len : 0) + 4, 99.0f);  // guard after the buffer
        EXPECT_EQ(vizor_frame_get_pcl(&dev, pcl.data(), len, dist.data(), 8, 4, 2, &kEpc320),
                  points)
            << len;
        for (size_t i = size_t(points) * 3; i < pcl.size(); ++i) ASSERT_EQ(pcl[i], 99.0f) << len;
    }
    for (auto [len, points] : {std::pair{8, 2}, {11, 2}, {12, 3}, {3, 0}}) {
        std::vector<float> pcl(size_t(len) + 4, 99.0f);
        EXPECT_EQ(
            vizor_frame_get_pcl_xyzd(&dev, pcl.data(), len, dist.data(), 8, 4, 2, false, &kEpc320),
            points)
            << len;
        for (size_t i = size_t(points) * 4; i < pcl.size(); ++i) ASSERT_EQ(pcl[i], 99.0f) << len;
    }
    float two[2] = {5, 5};
    EXPECT_EQ(vizor_depth_to_pcl(two, 2, dist.data(), 2, 4, &kEpc320), 0);
    EXPECT_EQ(two[0], 5);
}

TEST_F(PointCloud, OnlyDistancesStrictlyBetweenZeroAndSixtyProject) {
    const std::vector<float> dist = {0.0f, 60.0f, -1.0f, NAN, INFINITY, 59.99f, 60.5f, -0.0f};
    float pcl[24];
    ASSERT_EQ(vizor_depth_to_pcl(pcl, 24, dist.data(), 1, 8, &kEpc320), 1);
    // The one point is pixel 5: its z is its distance shortened by the angle.
    const float dx = float(5 - double(kEpc320.cx));
    const float rx = sqrtf(float(double(dx) * dx + double(kEpc320.fx) * kEpc320.fx));
    EXPECT_FLOAT_EQ(pcl[2], float(double(59.99f) * kEpc320.fx / rx - kEpc320.fx * 20e-6));
}

TEST_F(PointCloud, FourthValueIsScaledDistanceOrItsColour) {
    vizor_camera_param_t p = kEpc320;
    p.dist_scale = 2.0f;
    const std::vector<float> dist = {0.75f, 1.25f};
    float d[8], c[8];
    ASSERT_EQ(vizor_frame_get_pcl_xyzd(&dev, d, 8, dist.data(), 2, 2, 1, false, &p), 2);
    EXPECT_EQ(d[3], 1.5f);  // the scaled distance, not z
    EXPECT_NE(d[3], d[2]);
    EXPECT_EQ(d[7], 2.5f);
    ASSERT_EQ(vizor_frame_get_pcl_xyzd(&dev, c, 8, dist.data(), 2, 2, 1, true, &p), 2);
    const vz_cmap_t &cmap = vz::library_cmap();
    EXPECT_EQ(c[3], float(vz_cmap_get_color(&cmap, 1500)));
    EXPECT_EQ(c[7], float(vz_cmap_get_color(&cmap, 2500)));
    EXPECT_NE(c[3], c[7]);
    EXPECT_EQ(0, memcmp(c, d, 3 * sizeof(float)));  // x, y, z do not change
}

TEST_F(PointCloud, WalkIsBitIdenticalToPerPixelReading) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> val(-2.0f, 70.0f);
    std::vector<float> dist(320 * 240);
    for (float &v : dist) v = val(rng);
    for (size_t i = 0; i < dist.size(); i += 97) dist[i] = NAN;
    const vizor_camera_param_t odd = {3.3f, 230.7f, 250.5f, 410.25f, 0.37f};
    for (const vizor_camera_param_t &p : {kEpc320, odd}) {
        for (int len : {3 * 320 * 240, 3 * 1000 + 1}) {
            std::vector<float> pcl(size_t(len), -123.0f);
            const int n = vizor_frame_get_pcl(&dev, pcl.data(), len, dist.data(), 0, 320, 240, &p);
            const auto ref = reference(p, dist, 320, 240, len, 3, false, p.dist_scale);
            EXPECT_GT(n, 0);
            EXPECT_EQ(0, memcmp(pcl.data(), ref.data(), pcl.size() * sizeof(float))) << len;
        }
        for (bool colour : {false, true}) {
            const int len = 4 * 320 * 240;
            std::vector<float> pcl(size_t(len), -123.0f);
            vizor_frame_get_pcl_xyzd(&dev, pcl.data(), len, dist.data(), 0, 320, 240, colour, &p);
            const auto ref = reference(p, dist, 320, 240, len, 4, colour, p.dist_scale);
            EXPECT_EQ(0, memcmp(pcl.data(), ref.data(), pcl.size() * sizeof(float))) << colour;
        }
        std::vector<float> pcl(3 * 320 * 240, -123.0f);
        vizor_depth_to_pcl(pcl.data(), int(pcl.size()), dist.data(), 240, 320, &p);
        const auto ref = reference(p, dist, 320, 240, int(pcl.size()), 3, false, 1.0f);
        EXPECT_EQ(0, memcmp(pcl.data(), ref.data(), pcl.size() * sizeof(float)));
    }
}

TEST_F(PointCloud, WideImagesGiveTheSameBitsAsNarrowOnes) {
    // Rows wider than the walk's column cache take the per-pixel path.
    const int w = 2100, h = 3;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> val(-1.0f, 61.0f);
    std::vector<float> dist(size_t(w) * h);
    for (float &v : dist) v = val(rng);
    const vizor_camera_param_t p = {1049.5f, 1.25f, 900.75f, 901.5f, 1.5f};
    for (bool colour : {false, true}) {
        const int len = 4 * w * h;
        std::vector<float> pcl(size_t(len), -123.0f);
        EXPECT_GT(vizor_frame_get_pcl_xyzd(&dev, pcl.data(), len, dist.data(), 0, w, h, colour, &p),
                  0);
        const auto ref = reference(p, dist, w, h, len, 4, colour, p.dist_scale);
        EXPECT_EQ(0, memcmp(pcl.data(), ref.data(), pcl.size() * sizeof(float))) << colour;
    }
}

TEST_F(PointCloud, EmptyOrMissingInputsGiveZero) {
    const std::vector<float> dist(4, 1.0f);
    float pcl[12];
    EXPECT_EQ(vizor_frame_get_pcl(nullptr, pcl, 12, dist.data(), 4, 2, 2, &kEpc320), 0);
    EXPECT_EQ(vizor_frame_get_pcl(&dev, pcl, 12, dist.data(), 4, 0, 2, &kEpc320), 0);
    EXPECT_EQ(vizor_frame_get_pcl(&dev, pcl, 12, dist.data(), 4, 2, -2, &kEpc320), 0);
    EXPECT_EQ(vizor_frame_get_pcl(&dev, pcl, 12, nullptr, 4, 2, 2, &kEpc320), 0);
    EXPECT_EQ(vizor_depth_to_pcl(pcl, 12, dist.data(), 2, 2, nullptr), 0);
    EXPECT_EQ(vizor_depth_to_pcl(pcl, 12, dist.data(), 0, 2, &kEpc320), 0);
    EXPECT_EQ(vizor_depth_to_pcl(pcl, 12, dist.data(), 2, -1, &kEpc320), 0);
    EXPECT_EQ(dev.api_busy, 0);
}

TEST_F(PointCloud, WithoutParametersNeedsTheDriverLens) {
    LogCapture log;
    const std::vector<float> dist(4, 1.0f);
    float pcl[16];
    // A record that is not open has no driver to ask.
    EXPECT_EQ(vizor_frame_get_pcl(&dev, pcl, 12, dist.data(), 4, 2, 2, nullptr), 0);
    EXPECT_EQ(log.text(), "");
    // A device state whose driver has no lens parameters: logged and refused.
    vizor_ll_t ll;
    dev.ll = &ll;
    EXPECT_EQ(vizor_frame_get_pcl(&dev, pcl, 12, dist.data(), 4, 2, 2, nullptr), 0);
    EXPECT_EQ(vizor_frame_get_pcl_xyzd(&dev, pcl, 16, dist.data(), 4, 2, 2, true, nullptr), 0);
    dev.ll = nullptr;
    EXPECT_TRUE(
        log.has("[ERR] [vizor_frame_get_pcl] Cannot generate PCL: no lens parameter in driver.\n"));
    EXPECT_TRUE(
        log.has("[vizor_frame_get_pcl_xyzd] Cannot generate PCL: no lens parameter in driver.\n"));
    EXPECT_EQ(dev.api_busy, 0);
}

TEST(CmapFloat, FormatDecidesPixelsPerBufferAndNaNIsBlack) {
    vz_cmap_init(&vz::library_cmap(), 30000);
    const std::vector<float> src = {NAN, 1.0f, 2.0f, 3.0f};
    uint8_t dst[10];
    memset(dst, 0xAA, sizeof dst);
    EXPECT_EQ(vizor_cmap_float(dst, 10, src.data(), 4, VIZOR_CMAP_FMT_RGB32, 0, 5), 2);
    EXPECT_EQ(dst[0] | dst[1] | dst[2] | dst[3], 0);  // NaN is outside every range
    EXPECT_EQ(dst[8], 0xAA);
    EXPECT_EQ(vizor_cmap_float(dst, 10, src.data(), 4, VIZOR_CMAP_FMT_RGB, 0, 5), 3);
    EXPECT_EQ(dst[9], 0xAA);
    EXPECT_EQ(vizor_cmap_float(dst, 10, src.data(), 4, 7, 0, 5), 0);
    vz_cmap_uninit(&vz::library_cmap());
}
