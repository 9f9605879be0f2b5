// Lens undistortion: the output camera and valid rectangle of a real lens,
// the maps against a reference built here from the lens model's formulas,
// the nearest-neighbour gather and its refusals.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "imgproc/lens_model.h"
#include "log_capture.h"
#include "vizor/lens.h"

#define AT(type, field, off) static_assert(offsetof(type, field) == (off), #type "." #field)
static_assert(sizeof(vz_lens_param_t) == 80);
AT(vz_lens_param_t, cx, 0);
AT(vz_lens_param_t, cy, 8);
AT(vz_lens_param_t, fx, 16);
AT(vz_lens_param_t, fy, 24);
AT(vz_lens_param_t, dist_coeff, 32);
AT(vz_lens_param_t, width, 72);
AT(vz_lens_param_t, height, 76);
static_assert(sizeof(vz_calib_map_t) == 48);
AT(vz_calib_map_t, map_x, 0);
AT(vz_calib_map_t, map_y, 8);
AT(vz_calib_map_t, count, 16);
AT(vz_calib_map_t, width, 20);
AT(vz_calib_map_t, height, 24);
AT(vz_calib_map_t, valid_roi, 28);
AT(vz_calib_map_t, ready, 44);

extern "C" size_t lens_c_layout(int i);

namespace {

// The EPC camera's 640 x 480 reference lens.
const vz_lens_param_t kEpcLens = {
    324.00744, 220.10985, 638.66337, 638.51692, {-0.27313, 0.14523, -0.00099, 0.00032, 0.0},
    640,       480};

// Owns a map for the duration of a test.
struct Map {
    vz_calib_map_t m{};
    ~Map() { vz_calib_len_uninit_map(&m); }
};

// ---- reference, written from the lens model alone --------------------------

struct Ref {
    double cx, cy, fx, fy, k1, k2, p1, p2, k3;
    explicit Ref(const vz_lens_param_t &l)
        : cx(l.cx),
          cy(l.cy),
          fx(l.fx),
          fy(l.fy),
          k1(l.dist_coeff[0]),
          k2(l.dist_coeff[1]),
          p1(l.dist_coeff[2]),
          p2(l.dist_coeff[3]),
          k3(l.dist_coeff[4]) {}

    // Normalised undistorted point -> distorted pixel.
    void distort(double x, double y, double &u, double &v) const {
        const double r2 = x * x + y * y;
        const double kr = 1 + k1 * r2 + k2 * r2 * r2 + k3 * r2 * r2 * r2;
        const double xd = x * kr + 2 * p1 * x * y + p2 * (r2 + 2 * x * x);
        const double yd = y * kr + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y;
        u = cx + fx * xd;
        v = cy + fy * yd;
    }
    // Distorted pixel -> normalised undistorted point, five fixed-point steps.
    void undistort(double px, double py, double &x, double &y) const {
        const double x0 = (px - cx) / fx, y0 = (py - cy) / fy;
        x = x0;
        y = y0;
        for (int i = 0; i < 5; ++i) {
            const double r2 = x * x + y * y;
            const double k = 1 + k1 * r2 + k2 * r2 * r2 + k3 * r2 * r2 * r2;
            const double nx = (x0 - (2 * p1 * x * y + p2 * (r2 + 2 * x * x))) / k;
            const double ny = (y0 - (p1 * (r2 + 2 * y * y) + 2 * p2 * x * y)) / k;
            x = nx;
            y = ny;
        }
    }
};

struct RefCamera {
    double fx, fy, cx, cy;
    int roi[4];
};

// Output camera and valid rectangle from the 9 x 9 border grid.
RefCamera reference_camera(const vz_lens_param_t &l) {
    const Ref ref(l);
    auto grid = [&](double sfx, double sfy, double scx, double scy, float out[9][9][2]) {
        for (int j = 0; j < 9; ++j)
            for (int i = 0; i < 9; ++i) {
                double x, y;
                ref.undistort(l.width * i / 8.0, l.height * j / 8.0, x, y);
                out[j][i][0] = float(sfx * x + scx);
                out[j][i][1] = float(sfy * y + scy);
            }
    };
    float g[9][9][2];
    grid(1, 1, 0, 0, g);
    float x0 = FLT_MAX, x1 = -FLT_MAX, y0 = FLT_MAX, y1 = -FLT_MAX;
    for (auto &row : g)
        for (auto &p : row) {
            x0 = std::min(x0, p[0]);
            x1 = std::max(x1, p[0]);
            y0 = std::min(y0, p[1]);
            y1 = std::max(y1, p[1]);
        }
    RefCamera c;
    c.fx = double(float(l.width - 1)) / double(x1 - x0);
    c.fy = double(float(l.height - 1)) / double(y1 - y0);
    c.cx = -c.fx * x0;
    c.cy = -c.fy * y0;
    grid(c.fx, c.fy, c.cx, c.cy, g);
    float left = -FLT_MAX, right = FLT_MAX, top = -FLT_MAX, bottom = FLT_MAX;
    for (int k = 0; k < 9; ++k) {
        left = std::max(left, g[k][0][0]);
        right = std::min(right, g[k][8][0]);
        top = std::max(top, g[0][k][1]);
        bottom = std::min(bottom, g[8][k][1]);
    }
    const float rect[4] = {left, top, right - left, bottom - top};
    for (int k = 0; k < 4; ++k) c.roi[k] = int(double(rect[k]) + 0.5);
    return c;
}

// The gather read straightforwardly: scaled coordinate plus 0.5, truncated.
std::vector<float> reference_gather(const vz_calib_map_t &m, const std::vector<float> &src, int w,
                                    int h, float invalid) {
    const int sx = m.width / w, sy = m.height / h;
    std::vector<float> out(size_t(w) * h);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            const int i = r * sy * m.width + c * sx;
            const int ix = int(m.map_x[i] / float(sx) + 0.5);
            const int iy = int(m.map_y[i] / float(sy) + 0.5);
            out[size_t(r) * w + c] =
                ix >= 0 && ix < w && iy >= 0 && iy < h ? src[size_t(iy) * w + ix] : invalid;
        }
    return out;
}

std::vector<float> ramp(int w, int h) {
    std::vector<float> v(size_t(w) * h);
    for (size_t i = 0; i < v.size(); ++i) v[i] = float(i);
    return v;
}

}  // namespace

TEST(LensLayout, CAndCppAgree) {
    const size_t cpp[] = {sizeof(vz_lens_param_t), offsetof(vz_lens_param_t, width),
                          sizeof(vz_calib_map_t), offsetof(vz_calib_map_t, valid_roi),
                          offsetof(vz_calib_map_t, ready)};
    for (int i = 0; i < int(std::size(cpp)); ++i) EXPECT_EQ(lens_c_layout(i), cpp[i]) << i;
}

TEST(LensMap, EpcLensOutputCamera) {
    double n[9];
    vz::lens::new_camera_matrix(kEpcLens, n);
    EXPECT_NEAR(n[0], 571.6245, 1e-3);
    EXPECT_NEAR(n[4], 573.2979, 1e-3);
    EXPECT_NEAR(n[2], 324.1646, 1e-3);
    EXPECT_NEAR(n[5], 217.9144, 1e-3);
    EXPECT_EQ(n[1], 0.0);
    EXPECT_EQ(n[8], 1.0);
    const RefCamera ref = reference_camera(kEpcLens);
    EXPECT_NEAR(n[0], ref.fx, 1e-6);
    EXPECT_NEAR(n[4], ref.fy, 1e-6);
    EXPECT_NEAR(n[2], ref.cx, 1e-6);
    EXPECT_NEAR(n[5], ref.cy, 1e-6);
}

TEST(LensMap, EpcLensValidRoiAndSamples) {
    Map map;
    ASSERT_EQ(vz_calib_len_init_map(&map.m, &kEpcLens), 640 * 480);
    EXPECT_TRUE(map.m.ready);
    EXPECT_EQ(map.m.count, 640 * 480);
    EXPECT_EQ(map.m.width, 640);
    EXPECT_EQ(map.m.height, 480);
    EXPECT_EQ(map.m.valid_roi[0], 13);
    EXPECT_EQ(map.m.valid_roi[1], 14);
    EXPECT_EQ(map.m.valid_roi[2], 614);
    EXPECT_EQ(map.m.valid_roi[3], 449);
    auto at = [&](int r, int c) { return size_t(r) * 640 + c; };
    EXPECT_NEAR(map.m.map_x[at(0, 0)], -3.541, 6e-4);
    EXPECT_NEAR(map.m.map_y[at(0, 0)], 0.255, 6e-4);
    EXPECT_NEAR(map.m.map_x[at(240, 320)], 319.357, 6e-4);
    EXPECT_NEAR(map.m.map_y[at(240, 320)], 244.695, 6e-4);
    EXPECT_NEAR(map.m.map_x[at(479, 639)], 639.933, 6e-4);
    EXPECT_NEAR(map.m.map_y[at(479, 639)], 480.866, 6e-4);
}

TEST(LensMap, EveryEntryMatchesTheModel) {
    // Independent of the code under test: output camera, then each output
    // pixel back through it and forward through the distortion model.
    for (const vz_lens_param_t &lens :
         {kEpcLens,
          vz_lens_param_t{80.5, 60.25, 150, 140, {0.12, -0.05, 0.003, -0.002, 0.01}, 160, 120}}) {
        const RefCamera cam = reference_camera(lens);
        const Ref ref(lens);
        Map map;
        ASSERT_EQ(vz_calib_len_init_map(&map.m, &lens), lens.width * lens.height);
        for (int k = 0; k < 4; ++k) EXPECT_EQ(map.m.valid_roi[k], cam.roi[k]) << k;
        double worst = 0;
        for (int r = 0; r < lens.height; ++r)
            for (int s = 0; s < lens.width; ++s) {
                double u, v;
                ref.distort((s - cam.cx) / cam.fx, (r - cam.cy) / cam.fy, u, v);
                const size_t i = size_t(r) * lens.width + s;
                worst =
                    std::max({worst, std::fabs(map.m.map_x[i] - u), std::fabs(map.m.map_y[i] - v)});
            }
        EXPECT_LT(worst, 1e-3) << "lens " << lens.width << "x" << lens.height;
    }
}

TEST(LensMap, BarrelLensValidRoiLiesInsideImage) {
    Map map;
    ASSERT_GT(vz_calib_len_init_map(&map.m, &kEpcLens), 0);
    const int *roi = map.m.valid_roi;
    EXPECT_GT(roi[0], 0);
    EXPECT_GT(roi[1], 0);
    EXPECT_LT(roi[0] + roi[2], 640);
    EXPECT_LT(roi[1] + roi[3], 480);
}

TEST(LensMap, EmptyOrHugeLensSizeIsRefused) {
    LogCapture log;
    for (auto [w, h] : {std::pair{0, 480}, {640, 0}, {-640, 480}, {1 << 16, 1 << 16}}) {
        vz_lens_param_t lens = kEpcLens;
        lens.width = w;
        lens.height = h;
        vz_calib_map_t m{};
        EXPECT_EQ(vz_calib_len_init_map(&m, &lens), 0) << w << "x" << h;
        EXPECT_FALSE(m.ready);
        EXPECT_EQ(m.map_x, nullptr);
    }
    EXPECT_EQ(vz_calib_len_init_map(nullptr, &kEpcLens), 0);
}

TEST(LensMap, ReleaseTwiceOrNeverBuiltDoesNothing) {
    vz_calib_map_t never{};
    vz_calib_len_uninit_map(&never);
    EXPECT_FALSE(never.ready);
    vz_calib_len_uninit_map(nullptr);
    vz_lens_param_t small = kEpcLens;
    small.width = 64;
    small.height = 48;
    vz_calib_map_t m{};
    ASSERT_EQ(vz_calib_len_init_map(&m, &small), 64 * 48);
    vz_calib_len_uninit_map(&m);
    EXPECT_FALSE(m.ready);
    vz_calib_len_uninit_map(&m);  // a second release must not free again
    EXPECT_FALSE(m.ready);
}

TEST(LensUndistort, MatchesStraightforwardGatherBitForBit) {
    Map map;
    ASSERT_GT(vz_calib_len_init_map(&map.m, &kEpcLens), 0);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> val(0, 10);
    for (auto [w, h] : {std::pair{320, 240}, {640, 480}, {160, 120}, {64, 480}, {128, 160}}) {
        std::vector<float> src(size_t(w) * h);
        for (float &v : src) v = val(rng);
        std::vector<float> dst(src.size(), -1);
        ASSERT_EQ(vz_calib_len_undistort(&map.m, dst.data(), int(dst.size()), src.data(), w, h, 30),
                  1);
        const auto ref = reference_gather(map.m, src, w, h, 30);
        EXPECT_EQ(0, memcmp(dst.data(), ref.data(), dst.size() * sizeof(float))) << w << "x" << h;
    }
}

TEST(LensUndistort, HalfSizeImageUsesEverySecondEntryHalved) {
    // A hand-made 8 x 4 map whose even entries point one column to the right
    // (in map pixels: 2c + 2) and odd entries far outside.
    std::vector<float> mx(32), my(32);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 8; ++c) {
            const bool even = r % 2 == 0 && c % 2 == 0;
            mx[r * 8 + c] = even ? float(c + 2) : -100;
            my[r * 8 + c] = even ? float(r) : -100;
        }
    vz_calib_map_t m{mx.data(), my.data(), 32, 8, 4, {0, 0, 8, 4}, true};
    const auto src = ramp(4, 2);
    std::vector<float> dst(8);
    ASSERT_EQ(vz_calib_len_undistort(&m, dst.data(), 8, src.data(), 4, 2, -1), 1);
    const std::vector<float> expect = {1, 2, 3, -1, 5, 6, 7, -1};
    EXPECT_EQ(dst, expect);
}

TEST(LensUndistort, IndexRoundsHalfUpAndTruncatesTowardZero) {
    // Scale 1: an index is coordinate + 0.5 truncated toward zero, so
    // (-1.5, 0.5) reads column 0 and -1.5 or below lies outside.
    const float xs[] = {-1.5f, -1.49f, 0.49f, 0.5f, 3.49f, 3.5f, NAN, INFINITY, -1e30f};
    const int n = int(std::size(xs));
    std::vector<float> my(size_t(n), 0.0f);
    vz_calib_map_t m{const_cast<float *>(xs), my.data(), n, n, 1, {0, 0, n, 1}, true};
    // Source is n wide, but only columns 0..3 carry distinct values.
    std::vector<float> src(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) src[size_t(i)] = float(10 + i);
    std::vector<float> dst(static_cast<size_t>(n));
    ASSERT_EQ(vz_calib_len_undistort(&m, dst.data(), n, src.data(), n, 1, -7), 1);
    EXPECT_EQ(dst[0], -7);
    EXPECT_EQ(dst[1], 10);
    EXPECT_EQ(dst[2], 10);
    EXPECT_EQ(dst[3], 11);
    EXPECT_EQ(dst[4], 13);
    EXPECT_EQ(dst[5], 14);
    EXPECT_EQ(dst[6], -7);  // NaN never indexes
    EXPECT_EQ(dst[7], -7);
    EXPECT_EQ(dst[8], -7);
}

TEST(LensUndistort, ZeroDistortionIsPureScaleWithInvalidLastRowAndColumn) {
    vz_lens_param_t lens = kEpcLens;
    for (double &k : lens.dist_coeff) k = 0;
    Map map;
    ASSERT_GT(vz_calib_len_init_map(&map.m, &lens), 0);
    const int w = 640, h = 480;
    // The map scales output s to source s * W / (W - 1).
    EXPECT_NEAR(map.m.map_x[0], 0.0, 1e-3);
    EXPECT_NEAR(map.m.map_x[w - 1], double(w), 1e-3);
    EXPECT_NEAR(map.m.map_y[size_t(h - 1) * w], double(h), 1e-3);
    const auto src = ramp(w, h);
    std::vector<float> dst(src.size());
    ASSERT_EQ(vz_calib_len_undistort(&map.m, dst.data(), int(dst.size()), src.data(), w, h, -1), 1);
    EXPECT_EQ(dst[0], src[0]);
    for (int r = 0; r < h; ++r) {
        EXPECT_EQ(dst[size_t(r) * w + w - 1], -1) << "row " << r;
        if (r < h - 1) {
            const size_t from = size_t(int(r * double(h) / (h - 1) + 0.5));
            EXPECT_EQ(dst[size_t(r) * w], src[from * w]) << "row " << r;
        }
    }
    for (int c = 0; c < w; ++c) EXPECT_EQ(dst[size_t(h - 1) * w + c], -1) << "column " << c;
    for (int c = 0; c < w - 1; ++c) EXPECT_NE(dst[size_t(c)], -1) << "column " << c;
}

TEST(LensUndistort, SizeMismatchAndShortDestinationAreRefused) {
    Map map;
    ASSERT_GT(vz_calib_len_init_map(&map.m, &kEpcLens), 0);
    std::vector<float> src(320 * 240, 1.0f), dst(320 * 240, 5.0f);
    {
        LogCapture log;
        EXPECT_EQ(
            vz_calib_len_undistort(&map.m, dst.data(), int(dst.size()), src.data(), 300, 240, 0),
            0);
        EXPECT_TRUE(log.has(
            "[vz_calib_len_undistort] Wrong parameter: calib_map: 640x480, src_img: 300x240\n"))
            << log.text();
    }
    {
        LogCapture log;
        EXPECT_EQ(vz_calib_len_undistort(&map.m, dst.data(), 76799, src.data(), 320, 240, 0), 0);
        EXPECT_TRUE(log.has("[vz_calib_len_undistort] Wrong parameter: 320x240 > dst_len=76799\n"))
            << log.text();
    }
    for (float v : dst) ASSERT_EQ(v, 5.0f);
}

TEST(LensUndistort, MapNotReadyOrEmptySourceIsRefused) {
    LogCapture log;
    std::vector<float> src(16, 1.0f), dst(16, 5.0f);
    vz_calib_map_t never{};
    EXPECT_EQ(vz_calib_len_undistort(&never, dst.data(), 16, src.data(), 4, 4, 0), 0);
    EXPECT_EQ(vz_calib_len_undistort(nullptr, dst.data(), 16, src.data(), 4, 4, 0), 0);
    Map map;
    vz_lens_param_t small = kEpcLens;
    small.width = 64;
    small.height = 48;
    ASSERT_GT(vz_calib_len_init_map(&map.m, &small), 0);
    EXPECT_EQ(vz_calib_len_undistort(&map.m, dst.data(), 16, src.data(), 0, 4, 0), 0);
    EXPECT_EQ(vz_calib_len_undistort(&map.m, dst.data(), 16, src.data(), 4, 0, 0), 0);
    EXPECT_EQ(vz_calib_len_undistort(&map.m, dst.data(), 16, src.data(), -4, -4, 0), 0);
    EXPECT_EQ(vz_calib_len_undistort(&map.m, dst.data(), 16, nullptr, 4, 4, 0), 0);
    // A released map is refused even though its array fields keep their values.
    vz_calib_len_uninit_map(&map.m);
    EXPECT_EQ(vz_calib_len_undistort(&map.m, dst.data(), 16, src.data(), 4, 4, 0), 0);
    for (float v : dst) EXPECT_EQ(v, 5.0f);
    EXPECT_TRUE(log.has("[vz_calib_len_undistort] Wrong parameter: calib_map not ready\n"));
}
