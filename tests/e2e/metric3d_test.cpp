// Exact 3D end to end: each virtual camera renders the room through its own
// lens (the driver's lens for the EPC cameras, the tool's assumed pinhole for
// the OPT8241), and the points the library computes from the captured
// distances must put each plane of the room where the room has it: offset
// within 5 mm, normal within 0.5 degrees, and residuals the same in the top,
// middle and bottom of the image (no bending).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "testutil.h"
#include "vcam/scene.h"
#include "vcam/vcam.h"
#include "vizor/epc660.h"
#include "vizor/lens.h"
#include "vizor/vizor.h"

namespace {

struct Camera {
    const char *product;
    int w, h;
    int planes;  // planes the lens shows enough of
};

// A plane of the room: the points whose distance along one axis is the
// plane's (back wall z, floor y, side walls x), and where it stands.
struct Plane {
    const char *name;
    float refl_a, refl_b;  // the surface's reflectivities in the room
    int axis;              // 0 x, 1 y, 2 z
    double offset;         // signed coordinate of the plane on its axis
    int side;              // for the side walls: sign of x, else 0
};
const Plane kPlanes[] = {{"back wall", 0.8f, 0.8f, 2, 2.30, 0},
                         {"floor", 0.7f, 0.4f, 1, 0.80, 0},
                         {"left wall", 0.6f, 0.6f, 0, -1.40, -1},
                         {"right wall", 0.6f, 0.6f, 0, 1.40, 1}};

// Least-squares plane a*u + b*v + c = t, with t the coordinate on the
// plane's axis and u, v the other two.
struct Fit {
    double a = 0, b = 0, c = 0;
    double tilt_deg() const { return std::atan(std::hypot(a, b)) * 180 / M_PI; }
    double offset() const { return c / std::sqrt(1 + a * a + b * b); }
    double residual(double u, double v, double t) const {
        return (t - (a * u + b * v + c)) / std::sqrt(1 + a * a + b * b);
    }
};

Fit fit_plane(const std::vector<std::array<double, 3>> &uvt) {
    double m[3][4] = {};  // normal equations, augmented
    for (const auto &p : uvt) {
        const double r[3] = {p[0], p[1], 1.0};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) m[i][j] += r[i] * r[j];
            m[i][3] += r[i] * p[2];
        }
    }
    for (int i = 0; i < 3; ++i)  // Gauss-Jordan
        for (int k = 0; k < 3; ++k) {
            if (k == i) continue;
            const double f = m[k][i] / m[i][i];
            for (int j = 0; j < 4; ++j) m[k][j] -= f * m[i][j];
        }
    return Fit{m[0][3] / m[0][0], m[1][3] / m[1][1], m[2][3] / m[2][2]};
}

// Checks every plane the image shows enough of; returns how many it checked.
int check_planes(const std::vector<float> &xyz, const vcam::Scene &scene, int w, int h) {
    int checked = 0;
    for (const Plane &pl : kPlanes) {
        // Pixels inside the surface: their 5 x 5 neighbourhood is all of it,
        // so no filter of the chain mixes in another surface.
        auto on = [&](int x, int y) {
            if (x < 0 || y < 0 || x >= w || y >= h) return false;
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            const float r = scene.reflectivity[i];
            if (r != pl.refl_a && r != pl.refl_b) return false;
            return pl.side == 0 || (xyz[3 * i] < 0) == (pl.side < 0);
        };
        std::vector<std::array<double, 3>> pts;
        std::vector<int> rows;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                bool inside = true;
                for (int dy = -2; dy <= 2 && inside; ++dy)
                    for (int dx = -2; dx <= 2 && inside; ++dx) inside = on(x + dx, y + dy);
                const float *p = &xyz[3 * (size_t(y) * size_t(w) + size_t(x))];
                if (!inside || std::isnan(p[0])) continue;
                const int u = (pl.axis + 1) % 3, v = (pl.axis + 2) % 3;
                pts.push_back({p[u], p[v], p[pl.axis]});
                rows.push_back(y);
            }
        if (pts.size() < 150) continue;  // the lens hardly shows this plane
        ++checked;
        const Fit f = fit_plane(pts);
        EXPECT_NEAR(f.offset(), pl.offset, 0.005) << pl.name << ", " << pts.size() << " points";
        EXPECT_LT(f.tilt_deg(), 0.5) << pl.name;
        // No bending: the residuals of the upper, middle and lower thirds of
        // the plane's rows average to zero and scatter alike.
        const int lo = rows.front(), span = rows.back() - lo + 1;
        double sum[3] = {}, sq[3] = {};
        int n[3] = {};
        for (size_t i = 0; i < pts.size(); ++i) {
            const int band = std::min(2, 3 * (rows[i] - lo) / span);
            const double r = f.residual(pts[i][0], pts[i][1], pts[i][2]);
            sum[band] += r;
            sq[band] += r * r;
            ++n[band];
        }
        for (int b = 0; b < 3; ++b) {
            if (n[b] < 20) continue;
            EXPECT_LT(std::fabs(sum[b] / n[b]), 0.002) << pl.name << " band " << b;
            EXPECT_LT(std::sqrt(sq[b] / n[b]), 0.004) << pl.name << " band " << b;
        }
    }
    return checked;
}

class Metric3d : public ::testing::TestWithParam<Camera> {
protected:
    void SetUp() override {
        vcam::CameraConfig cfg;
        cfg.fw.product = GetParam().product;
        cfg.fw.epc.noise = noisy();
        cfg.fw.epc.defect_pixels = 0;
        cfg.fw.epc.drnu = cfg.fw.epc.temperature_drift = false;
        cam = &bus.add_camera(1, 2, cfg);
        lens = vcam::product_optics(GetParam().product, GetParam().w, GetParam().h);
        scene = vcam::room_scene(lens);
        cam->fw().set_scene(scene);
        vizor_dev_t list[2];
        ASSERT_EQ(vizor_dev_list(list, 2), 1);
        rec = list[0];
        dev = vizor_dev_open(&rec);
        ASSERT_NE(dev, nullptr);
        if (epc()) {
            apiCorrectDRNU(0);
            apiCorrectTemperature(0);
            apiLoadConfig(1, 32);
            ASSERT_EQ(apiSetIntegrationTime3D(3000), 0);
        }
    }
    void TearDown() override {
        if (dev) vizor_dev_close(dev);
    }
    virtual bool noisy() const { return false; }
    bool epc() const { return std::string(GetParam().product).compare(3, 1, "E") == 0; }
    int pixels() const { return GetParam().w * GetParam().h; }
    void snapshot() {
        raw.assign(8 * size_t(pixels()), 0);
        EXPECT_TRUE(vizor_cap_snapshot(dev, raw.data(), uint32_t(raw.size()), &info));
    }
    // The last snapshot decoded into distances.
    std::vector<float> decode() {
        std::vector<float> d(static_cast<size_t>(pixels()));
        EXPECT_EQ(vizor_frame_get_distance(dev, d.data(), pixels(), raw.data(),
                                           int(info.frame_size), &info),
                  pixels());
        return d;
    }
    std::vector<float> distances() {
        snapshot();
        return decode();
    }
    // Organised points of distances d through the camera's lens (the OPT8241's
    // driver reports none: the tool's assumed pinhole).
    std::vector<float> points(const std::vector<float> &d) {
        const int w = GetParam().w, h = GetParam().h;
        std::vector<float> xyz(3 * size_t(pixels()));
        if (epc()) {
            EXPECT_EQ(vizor_frame_get_points(dev, xyz.data(), int(xyz.size()), d.data(), w, h,
                                             VZ_POINTS_ORGANISED),
                      pixels());
            return xyz;
        }
        vz_lens_param_t k{};
        k.cx = (w - 1) / 2.0;
        k.cy = (h - 1) / 2.0;
        k.fx = 211.0 * w / 320;
        k.fy = 211.0 * h / 240;
        k.width = w;
        k.height = h;
        EXPECT_EQ(vz_lens_points(&k, nullptr, xyz.data(), int(xyz.size()), d.data(), w, h,
                                 VZ_POINTS_ORGANISED),
                  pixels());
        return xyz;
    }

    vzt::TempCwd cwd;
    vcam::Bus bus;
    vcam::Camera *cam = nullptr;
    vcam::Optics lens;
    vcam::Scene scene;
    vizor_dev_t rec{};
    vizor_dev_t *dev = nullptr;
    std::vector<uint8_t> raw;
    vizor_frame_info_t info{};
};

TEST_P(Metric3d, PlanesOfTheRoomStandWhereTheRoomHasThem) {
    const std::vector<float> d = distances();
    const int w = GetParam().w, h = GetParam().h;
    std::vector<float> xyz(3 * size_t(pixels()));
    if (epc()) {
        ASSERT_EQ(vizor_frame_get_points(dev, xyz.data(), int(xyz.size()), d.data(), w, h,
                                         VZ_POINTS_ORGANISED),
                  pixels());
    } else {
        // The OPT8241's driver reports no lens: the tool's assumed pinhole.
        vz_lens_param_t k{};
        k.cx = (w - 1) / 2.0;
        k.cy = (h - 1) / 2.0;
        k.fx = 211.0 * w / 320;
        k.fy = 211.0 * h / 240;
        k.width = w;
        k.height = h;
        EXPECT_EQ(vizor_frame_get_points(dev, xyz.data(), int(xyz.size()), d.data(), w, h, 0), 0);
        ASSERT_EQ(vz_lens_points(&k, nullptr, xyz.data(), int(xyz.size()), d.data(), w, h,
                                 VZ_POINTS_ORGANISED),
                  pixels());
    }
    EXPECT_GE(check_planes(xyz, scene, w, h), GetParam().planes);

    // Depth is the points' z; millimetres truncate it.
    std::vector<float> z(static_cast<size_t>(pixels()));
    std::vector<uint16_t> mm(static_cast<size_t>(pixels()));
    if (epc()) {
        ASSERT_EQ(vizor_frame_get_depth(dev, z.data(), pixels(), d.data(), w, h), pixels());
        ASSERT_EQ(vizor_frame_get_depth_mm(dev, mm.data(), pixels(), d.data(), w, h), pixels());
        for (size_t i = 0; i < z.size(); ++i) {
            if (std::isnan(xyz[3 * i])) {
                ASSERT_TRUE(std::isnan(z[i]));
                ASSERT_EQ(mm[i], 0);
                continue;
            }
            ASSERT_EQ(z[i], xyz[3 * i + 2]) << i;
            ASSERT_EQ(mm[i], uint16_t(z[i] * 1000.0f)) << i;
        }
    }
}

// Distance from p to the nearest surface of the room: the floor, the back
// and side walls, the box, the ball and the pole (the room's own numbers).
double to_room(const float *p) {
    const double x = p[0], y = p[1], z = p[2];
    double d = std::min({std::fabs(y - 0.8), std::fabs(z - 2.3), std::fabs(std::fabs(x) - 1.4)});
    // Box from (-0.9, 0.25, 1.2) to (-0.35, 0.8, 1.75).
    const double c[3] = {-0.625, 0.525, 1.475}, half[3] = {0.275, 0.275, 0.275};
    const double q[3] = {std::fabs(x - c[0]) - half[0], std::fabs(y - c[1]) - half[1],
                         std::fabs(z - c[2]) - half[2]};
    const double out = std::hypot(std::max(q[0], 0.0), std::max(q[1], 0.0), std::max(q[2], 0.0));
    const double in = std::min(0.0, std::max({q[0], q[1], q[2]}));
    d = std::min(d, std::fabs(out + in));
    d = std::min(d, std::fabs(std::sqrt((x - 0.55) * (x - 0.55) + (y - 0.45) * (y - 0.45) +
                                        (z - 1.6) * (z - 1.6)) -
                              0.35));
    return std::min(d, std::fabs(std::hypot(x + 0.15, z - 1.9) - 0.06));
}

// Edges with single-frame noise: the room through each camera, once with
// noise as a real frame has it.
class FlyingPixels : public Metric3d {
protected:
    bool noisy() const override { return true; }
};

// Pixels across the room's edges read between the surfaces; the filter takes
// them out of the point cloud and keeps the points on the surfaces.
TEST_P(FlyingPixels, FilterRemovesPointsBetweenSurfacesAndKeepsTheSurfaces) {
    snapshot();
    const std::vector<float> before = points(decode());
    ASSERT_EQ(vizor_filter_enable(dev, VIZOR_FILTER_FLYING_PIXELS, nullptr, 0), 1);
    const std::vector<float> after = points(decode());
    size_t n_before = 0, n_after = 0, far_before = 0, far_after = 0, good = 0, good_lost = 0;
    for (size_t i = 0; i < size_t(pixels()); ++i) {
        const bool had = !std::isnan(before[3 * i]), has = !std::isnan(after[3 * i]);
        if (has) {
            ASSERT_EQ(after[3 * i + 2], before[3 * i + 2]) << "a kept point moved: " << i;
        }
        if (had) {
            const double d = to_room(&before[3 * i]);
            ++n_before;
            far_before += d > 0.20;
            if (d <= 0.05) {
                ++good;
                good_lost += !has;
            }
        }
        if (has) {
            ++n_after;
            far_after += to_room(&after[3 * i]) > 0.20;
        }
    }
    ASSERT_GT(n_before, size_t(pixels()) / 2);
    const double share_before = 100.0 * double(far_before) / double(n_before);
    const double share_after = 100.0 * double(far_after) / double(n_after);
    const double lost = 100.0 * double(good_lost) / double(good);
    std::printf(
        "%s: points farther than 20 cm from every surface %.3f %% (%zu of %zu) before, "
        "%.3f %% (%zu of %zu) after; points within 5 cm lost %.3f %% (%zu of %zu)\n",
        GetParam().product, share_before, far_before, n_before, share_after, far_after, n_after,
        lost, good_lost, good);
    EXPECT_GT(far_before, 0u) << "the edges show no mixed pixels";
    EXPECT_LE(share_after, 0.1);
    EXPECT_LE(lost, 2.0);
}

INSTANTIATE_TEST_SUITE_P(Cameras, FlyingPixels,
                         ::testing::Values(Camera{"VZ-E1-660", 320, 240, 2},
                                           Camera{"VZ-E2-635", 160, 60, 1},
                                           Camera{"VZ-T0-320", 320, 240, 4}),
                         [](const auto &p) { return std::string(p.param.product + 3, 2); });

INSTANTIATE_TEST_SUITE_P(Cameras, Metric3d,
                         // The epc660 sees the back wall and the floor; the
                         // epc635's 60 rows show the floor in a few bottom rows
                         // only; the OPT8241's wider pinhole all four planes.
                         ::testing::Values(Camera{"VZ-E1-660", 320, 240, 2},
                                           Camera{"VZ-E2-635", 160, 60, 1},
                                           Camera{"VZ-T0-320", 320, 240, 4}),
                         [](const auto &p) { return std::string(p.param.product + 3, 2); });

}  // namespace
