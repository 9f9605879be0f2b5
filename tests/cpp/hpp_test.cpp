// The C++ layer (vizor/vizor.hpp) on the virtual camera: owners release what
// they hold, failures throw with the call's code, views cover the caller's data.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "vcam/vcam.h"
#include "vizor/vizor.hpp"

namespace {

class Hpp : public ::testing::Test {
protected:
    Hpp() { bus.add_camera(1, 2).fw().set_scene(vcam::Scene::flat(320, 240, 1.25f, 0.8f)); }
    vcam::Bus bus;
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

}  // namespace
