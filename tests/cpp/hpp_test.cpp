// The C++ layer (vizor/vizor.hpp) on the virtual camera: owners release what
// they hold, failures throw with the call's code, views cover the caller's data.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "vcam/vcam.h"
#include "vizor/vizor.hpp"

namespace {

class Hpp : public ::testing::Test {
protected:
    Hpp() : virt(bus.add_camera(1, 2)) {
        virt.fw().set_scene(vcam::Scene::flat(320, 240, 1.25f, 0.8f));
    }
    vcam::Bus bus;
    vcam::Camera &virt;
    vizor::Library lib{"/dev/null"};
};

TEST_F(Hpp, OpenCloseCyclesReleaseTheCamera) {
    for (int i = 0; i < 3; ++i) {
        auto cams = vizor::list_devices();
        ASSERT_EQ(cams.size(), 1u);
        vizor::Device dev(cams[0]);
        EXPECT_TRUE(dev.is_open());
        EXPECT_EQ(dev.product(), "VZ-T0-320");
        vizor::Device moved(std::move(dev));
        EXPECT_TRUE(moved.is_open());
        EXPECT_FALSE(dev.is_open());
    }  // a camera not released would refuse the next open
}

TEST_F(Hpp, SnapshotDecodesTheSceneIntoTheCallersBuffers) {
    vizor::Device dev(vizor::list_devices().at(0));
    vizor::Frame f;
    dev.snapshot(f);
    ASSERT_EQ(f.width() * f.height(), 320u * 240u);
    std::vector<float> dist, pcl;
    vizor::span<float> d = dev.distance(f, dist);
    EXPECT_EQ(d.data(), dist.data());
    ASSERT_EQ(d.size(), 320u * 240u);
    EXPECT_NEAR(d[240 * 160], 1.25f, 0.05f);
    vizor_camera_param_t cam{159.5f, 119.5f, 211.f, 211.f, 1.f};
    auto p = dev.point_cloud(d, f.width(), f.height(), pcl, &cam);
    EXPECT_EQ(p.size(), 3u * 320 * 240);
    auto p4 = dev.point_cloud(d, f.width(), f.height(), pcl, &cam, true);
    EXPECT_EQ(p4.size(), 4u * 320 * 240);
}

TEST_F(Hpp, FailuresThrowWithTheCallsName) {
    vizor::Device dev(vizor::list_devices().at(0));
    std::vector<float> out;
    EXPECT_THROW(dev.point_cloud(out, 0, 0, out), vizor::error);
    EXPECT_THROW(dev.reset(9), vizor::error);
    uint8_t big[19] = {};
    EXPECT_THROW(dev.set_param(40, {big, sizeof big}), vizor::error);
    try {
        dev.write_registers(0, 0, std::vector<uint32_t>(1023));
        FAIL();
    } catch (const vizor::error &e) {
        EXPECT_NE(std::string(e.what()).find("vizor_reg_batch_write"), std::string::npos);
    }
    dev.close();
    EXPECT_THROW(vizor::Capture{dev}, vizor::error);
}

TEST_F(Hpp, CaptureFetchesAndCallsBack) {
    vizor::Device dev(vizor::list_devices().at(0));
    {
        vizor::Capture cap(dev);
        vizor::Frame f;
        ASSERT_TRUE(cap.next(f));
        EXPECT_EQ(f.raw().size(), 320u * 240 * 4);
    }
    int frames = 0;
    vizor::Capture cap(dev, [&](const vizor_frame_info_t &, vizor::span<const uint8_t> raw) {
        if (raw.size() && ++frames == 3) throw std::runtime_error("enough");
    });
    EXPECT_THROW(while (!cap.wait(100)){}, std::runtime_error);  // rethrown, not lost in C
    EXPECT_EQ(frames, 3);
}

TEST_F(Hpp, CloseFromAnotherThreadEndsTheWait) {
    vizor::Device dev(vizor::list_devices().at(0));
    vizor::Capture cap(dev, [](const vizor_frame_info_t &, vizor::span<const uint8_t>) {});
    std::thread closer([&] { dev.close(); });
    cap.wait(0);  // returns once the close stopped capture
    closer.join();
    EXPECT_FALSE(dev.is_open());
}

// A scene with one column of flying pixels: 1.5 m left, 2.0 m right and
// 1.75 m between them (column 160). The library's filter drops that column
// from decoded images when switched on; the array form drops it from a
// caller's image; both refuse what they do not serve.
TEST_F(Hpp, FlyingPixelsLeaveDecodedImagesAndCallersArrays) {
    vcam::Scene s = vcam::Scene::flat(320, 240, 1.5f, 0.8f);
    for (int y = 0; y < 240; ++y)
        for (int x = 160; x < 320; ++x) s.distance_m[size_t(y * 320 + x)] = x == 160 ? 1.75f : 2.0f;
    virt.fw().set_scene(s);
    vizor::Device dev(vizor::list_devices().at(0));
    // Zeros inside the border: in column 160, and anywhere else.
    auto dropped = [](const std::vector<float> &d) {
        std::pair<int, int> n{0, 0};
        for (int y = 1; y < 239; ++y)
            for (int x = 1; x < 319; ++x)
                if (d[size_t(y * 320 + x)] == 0.f) ++(x == 160 ? n.first : n.second);
        return n;
    };
    vizor::Frame f;
    std::vector<float> d;
    const struct {
        bool on;
        float metres;
        int column;  // pixels of column 160 dropped (rows 1..238)
    } cases[] = {{false, 0.f, 0}, {true, vizor::flying_pixels_default, 238}, {true, 0.3f, 0}};
    for (const auto &c : cases) {
        if (c.on)
            dev.enable_flying_pixel_filter(c.metres);
        else
            dev.disable_filter(VIZOR_FILTER_FLYING_PIXELS);
        dev.snapshot(f);
        dev.distance(f, d);
        EXPECT_EQ(dropped(d), std::make_pair(c.column, 0)) << c.on << " " << c.metres;
    }
    // The array form on an unfiltered image drops the same column.
    dev.disable_filter(VIZOR_FILTER_FLYING_PIXELS);
    dev.snapshot(f);
    dev.distance(f, d);
    EXPECT_EQ(vizor::remove_flying_pixels(d, 320, 240), 238);
    EXPECT_EQ(dropped(d), std::make_pair(238, 0));
    EXPECT_EQ(vizor::remove_flying_pixels(d, 320, 240), 0);  // nothing left to drop
    EXPECT_THROW(dev.enable_flying_pixel_filter(0.f), vizor::error);
    EXPECT_THROW(dev.enable_flying_pixel_filter(61.f), vizor::error);
    std::vector<float> small(9, 1.f);
    for (auto bad : {std::make_tuple(320u, 240u, 0.15f, &d), std::make_tuple(3u, 4u, 0.15f, &small),
                     std::make_tuple(2u, 3u, 0.15f, &small), std::make_tuple(3u, 3u, -1.f, &small),
                     std::make_tuple(3u, 3u, NAN, &small)}) {
        std::vector<float> &img = *std::get<3>(bad);
        if (&img == &d) img.resize(100);
        EXPECT_THROW(
            vizor::remove_flying_pixels(img, std::get<0>(bad), std::get<1>(bad), std::get<2>(bad)),
            vizor::error);
    }
}

}  // namespace
