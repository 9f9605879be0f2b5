// Ray tables and exact 3D on caller buffers: every ray projected back through
// the lens model (written out here, independently) lands on its pixel; the
// parts of a table that a binned or windowed image uses are the full table's
// rays; the vectorised conversions equal their reference loops bit for bit;
// and the public calls refuse what they cannot use.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "imgproc/rays.h"
#include "vizor/lens.h"
#include "vizor/vizor.h"

namespace {

// The EPC cameras' lens record (640 x 480 reference image).
vz_lens_param_t epc_lens() {
    vz_lens_param_t l{};
    l.cx = 324.00744;
    l.cy = 220.10985;
    l.fx = 638.66337;
    l.fy = 638.51692;
    const double c[5] = {-0.27313, 0.14523, -0.00099, 0.00032, 0.0};
    std::memcpy(l.dist_coeff, c, sizeof c);
    l.width = 640;
    l.height = 480;
    return l;
}

vz_lens_param_t strong_tangential() {
    vz_lens_param_t l = epc_lens();
    l.dist_coeff[2] = 0.01;
    l.dist_coeff[3] = -0.008;
    l.dist_coeff[4] = -0.02;
    return l;
}

vz_lens_param_t pinhole() {
    vz_lens_param_t l{};
    l.cx = 159.5;
    l.cy = 119.5;
    l.fx = l.fy = 211;
    l.width = 320;
    l.height = 240;
    return l;
}

// Where the lens model images the direction (x, y, z).
void project(const vz_lens_param_t &l, double x, double y, double z, double &u, double &v) {
    const double a = x / z, b = y / z, r2 = a * a + b * b;
    const double *k = l.dist_coeff;
    const double radial = 1 + k[0] * r2 + k[1] * r2 * r2 + k[4] * r2 * r2 * r2;
    u = l.cx + l.fx * (a * radial + 2 * k[2] * a * b + k[3] * (r2 + 2 * a * a));
    v = l.cy + l.fy * (b * radial + k[2] * (r2 + 2 * b * b) + 2 * k[3] * a * b);
}

TEST(RayTables, EveryRayProjectsBackOntoItsPixel) {
    struct Case {
        const char *name;
        vz_lens_param_t lens;
        int w, h;
    };
    const Case cases[] = {{"epc 640x480", epc_lens(), 640, 480},
                          {"epc 320x240", epc_lens(), 320, 240},
                          {"epc635 160x60", epc_lens(), 160, 60},
                          {"tangential", strong_tangential(), 320, 240},
                          {"pinhole", pinhole(), 320, 240}};
    for (const Case &c : cases) {
        std::vector<float> rays(3 * size_t(c.w) * size_t(c.h));
        ASSERT_EQ(vz_lens_rays(&c.lens, nullptr, c.w, c.h, rays.data(), int(rays.size())),
                  c.w * c.h)
            << c.name;
        const double sx = double(c.lens.width) / c.w, sy = double(c.lens.height) / c.h;
        double worst = 0;
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x) {
                const float *r = &rays[3 * (size_t(y) * size_t(c.w) + size_t(x))];
                ASSERT_NEAR(double(r[0]) * r[0] + double(r[1]) * r[1] + double(r[2]) * r[2], 1.0,
                            1e-6);
                double u = 0, v = 0;
                project(c.lens, r[0], r[1], r[2], u, v);
                worst = std::max(worst, std::hypot(u - x * sx, v - y * sy) / std::min(sx, sy));
            }
        EXPECT_LT(worst, 0.01) << c.name;  // image pixels, single-precision rays included
    }
}

TEST(RayTables, BinnedAndWindowedImagesUseTheirPartOfTheTable) {
    const vz_lens_param_t l = epc_lens();
    std::vector<float> full(3 * 640 * 480), part(3 * 320 * 480);
    ASSERT_EQ(vz_lens_rays(&l, nullptr, 640, 480, full.data(), int(full.size())), 640 * 480);
    auto same = [&](int w, int h, auto full_index) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int k = 0; k < 3; ++k)
                    ASSERT_EQ(part[3 * size_t(y * w + x) + size_t(k)],
                              full[3 * full_index(x, y) + size_t(k)])
                        << x << "," << y;
    };
    // Binned 2 x 1: every second column.
    ASSERT_EQ(vz_lens_rays(&l, nullptr, 320, 480, part.data(), int(part.size())), 320 * 480);
    same(320, 480, [](int x, int y) { return size_t(y) * 640 + size_t(2 * x); });
    // A region of interest: columns 100.., rows 30..
    const vz_lens_window_t roi{100, 30, 1, 1};
    ASSERT_EQ(vz_lens_rays(&l, &roi, 200, 90, part.data(), int(part.size())), 200 * 90);
    same(200, 90, [](int x, int y) { return size_t(y + 30) * 640 + size_t(x + 100); });
}

// Distances with every kind of pixel: valid, markers, zero, negative, NaN,
// the 60 m bound, and the near end.
std::vector<float> mixed_distances(size_t n) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> d(0.001f, 12.0f);
    const float odd[] = {0.0f,    -1.0f, 60.0f, 59.99f,
                         65.3f,   65.4f, 65.5f, std::numeric_limits<float>::quiet_NaN(),
                         0.0004f, 1e-30f};
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = i % 7 == 3 ? odd[(i / 7) % 10] : d(rng);
    return v;
}

TEST(RayConversions, FastFormsEqualTheirReferenceBitForBit) {
    const vz_lens_param_t l = strong_tangential();
    for (const auto &[w, h] : {std::pair{320, 240}, std::pair{13, 7}, std::pair{1, 1}}) {
        const auto t = vz::rays::build(l, vz::rays::Window{3, 5, 1.5, 2}, w, h);
        const size_t n = size_t(w) * size_t(h);
        const auto dist = mixed_distances(n);
        std::vector<float> ref(3 * n), got(3 * n), zr(n), zg(n);
        std::vector<uint16_t> mr(n), mg(n);
        vz::rays::points_reference(*t, dist.data(), ref.data());
        vz::rays::depth_reference(*t, dist.data(), zr.data());
        vz::rays::depth_mm_reference(*t, dist.data(), mr.data());
        for (const auto level : {vz::cpu::Level::scalar, vz::cpu::Level::avx2}) {
            if (level > vz::cpu::detected()) continue;
            vz::rays::points_at(level, *t, dist.data(), got.data());
            vz::rays::depth_at(level, *t, dist.data(), zg.data());
            vz::rays::depth_mm_at(level, *t, dist.data(), mg.data());
            EXPECT_EQ(std::memcmp(ref.data(), got.data(), ref.size() * 4), 0) << w << "x" << h;
            EXPECT_EQ(std::memcmp(zr.data(), zg.data(), zr.size() * 4), 0) << w << "x" << h;
            EXPECT_EQ(mr, mg) << w << "x" << h;
        }
        // What the reference says: points are d x ray, NaN where invalid.
        for (size_t i = 0; i < n; ++i) {
            const bool ok = vz::rays::valid(dist[i]);
            ASSERT_EQ(std::isnan(ref[3 * i]), !ok) << i;
            ASSERT_EQ(std::isnan(zr[i]), !ok) << i;
            const uint16_t want = ok ? uint16_t(zr[i] * 1000.0f) : 0;
            ASSERT_EQ(mr[i], want) << i;
        }
    }
}

TEST(RayConversions, PackedPointsAreTheValidOnesUntilTheBufferIsFull) {
    const vz_lens_param_t l = pinhole();
    const auto dist = mixed_distances(320 * 240);
    std::vector<float> org(3 * dist.size()), packed(3 * dist.size());
    ASSERT_EQ(vz_lens_points(&l, nullptr, org.data(), int(org.size()), dist.data(), 320, 240,
                             VZ_POINTS_ORGANISED),
              320 * 240);
    const int n = vz_lens_points(&l, nullptr, packed.data(), int(packed.size()), dist.data(), 320,
                                 240, VZ_POINTS_PACKED);
    size_t k = 0;
    for (size_t i = 0; i < dist.size(); ++i) {
        if (std::isnan(org[3 * i])) continue;
        ASSERT_EQ(std::memcmp(&org[3 * i], &packed[3 * k], 12), 0) << i;
        ++k;
    }
    EXPECT_EQ(size_t(n), k);
    // Room for 5 points and a bit: 5 points.
    EXPECT_EQ(
        vz_lens_points(&l, nullptr, packed.data(), 17, dist.data(), 320, 240, VZ_POINTS_PACKED), 5);
}

TEST(RayConversions, PublicCallsRefuseWhatTheyCannotUse) {
    const vz_lens_param_t good = pinhole();
    vz_lens_param_t zero_f = good, nan_k = good;
    zero_f.fx = 0;
    nan_k.dist_coeff[1] = std::numeric_limits<double>::quiet_NaN();
    const vz_lens_window_t bad_step{0, 0, 0, 1}, nan_origin{NAN, 0, 1, 1};
    std::vector<float> d(320 * 240, 1.0f), out(3 * 320 * 240);
    std::vector<uint16_t> mm(320 * 240);
    struct Case {
        const char *name;
        const vz_lens_param_t *lens;
        const vz_lens_window_t *win;
        int w, h, out_len, flags;
    };
    const int full = 3 * 320 * 240;
    const Case cases[] = {
        {"no lens", nullptr, nullptr, 320, 240, full, 0},
        {"zero focal length", &zero_f, nullptr, 320, 240, full, 0},
        {"NaN coefficient", &nan_k, nullptr, 320, 240, full, 0},
        {"size does not divide", &good, nullptr, 300, 240, full, 0},
        {"zero width", &good, nullptr, 0, 240, full, 0},
        {"negative height", &good, nullptr, 320, -2, full, 0},
        {"zero step", &good, &bad_step, 320, 240, full, 0},
        {"NaN origin", &good, &nan_origin, 320, 240, full, 0},
        {"short buffer", &good, nullptr, 320, 240, full - 1, 0},
        {"unknown flags", &good, nullptr, 320, 240, full, 2},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(vz_lens_points(c.lens, c.win, out.data(), c.out_len, d.data(), c.w, c.h, c.flags),
                  0)
            << c.name;
        if (c.flags != 0) continue;
        EXPECT_EQ(vz_lens_rays(c.lens, c.win, c.w, c.h, out.data(), c.out_len), 0) << c.name;
        EXPECT_EQ(vz_lens_depth(c.lens, c.win, out.data(), c.out_len / 3, d.data(), c.w, c.h), 0)
            << c.name;
        EXPECT_EQ(vz_lens_depth_mm(c.lens, c.win, mm.data(), c.out_len / 3, d.data(), c.w, c.h), 0)
            << c.name;
    }
    EXPECT_EQ(vz_lens_points(&good, nullptr, nullptr, full, d.data(), 320, 240, 0), 0);
    EXPECT_EQ(vz_lens_depth(&good, nullptr, out.data(), full, nullptr, 320, 240), 0);
    EXPECT_EQ(vz_lens_depth_mm(&good, nullptr, nullptr, full, d.data(), 320, 240), 0);
    EXPECT_EQ(vizor_frame_get_points(nullptr, out.data(), full, d.data(), 320, 240, 0), 0);
    EXPECT_EQ(vizor_frame_get_depth(nullptr, out.data(), full, d.data(), 320, 240), 0);
    EXPECT_EQ(vizor_frame_get_depth_mm(nullptr, mm.data(), full, d.data(), 320, 240), 0);
}

}  // namespace
