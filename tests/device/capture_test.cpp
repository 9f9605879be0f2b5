// The capture engine on the virtual OPT8241 camera: buffers, fetches,
// callbacks, faults, and frames that come back as the scene's distances.
#include <math.h>
#include <string.h>

#include <mutex>
#include <vector>

#include "device/fixture.h"
#include "vizor/stream.h"

namespace {

using vzt::DeviceTest;
using vzt::kFrameBytes;
using Clock = std::chrono::steady_clock;

// What the callbacks saw; callbacks are plain C function pointers.
struct Seen {
    std::atomic<int> frames{0};
    std::atomic<int> last_idx{-1};
    std::atomic<uint32_t> last_size{0};
    std::vector<std::pair<int, int>> errors;  // (code, argument), application thread only
    bool err_answer = true;
    void reset() {
        frames = 0;
        last_idx = -1;
        errors.clear();
        err_answer = true;
    }
} g_seen;

void on_frame(vizor_dev_t *, vizor_frame_t *f) {
    ++g_seen.frames;
    g_seen.last_idx = f->frame_info.frame_idx;
    g_seen.last_size = f->frame_info.frame_size;
}

bool on_error(vizor_dev_t *, int err, int arg) {
    g_seen.errors.emplace_back(err, arg);
    return g_seen.err_answer;
}

class Capture : public DeviceTest {
protected:
    void SetUp() override {
        g_seen.reset();
        ASSERT_NE(open(), nullptr);
    }
    std::vector<uint8_t> buf = std::vector<uint8_t>(kFrameBytes * 4);
};

TEST_F(Capture, FrameBufferIsSizedInWholeFrames) {
    ASSERT_TRUE(vizor_cap_set_frame_buffer(dev, nullptr, 614399));
    EXPECT_FALSE(vizor_cap_start(dev));
    EXPECT_TRUE(log.has("[vizor_cap_start]  capture buffer not set or size is not correct \n"));
    ASSERT_TRUE(vizor_cap_set_frame_buffer(dev, nullptr, 614400));
    EXPECT_TRUE(vizor_cap_start(dev));
    EXPECT_FALSE(vizor_cap_set_frame_buffer(dev, nullptr, 614400));  // not while capturing
    EXPECT_TRUE(vizor_cap_stop(dev));
    ASSERT_TRUE(vizor_cap_set_frame_buffer(dev, nullptr, 3072000));
    uint8_t *b = reinterpret_cast<uint8_t *>(1);
    uint32_t size = 0;
    EXPECT_TRUE(vizor_cap_get_frame_buffer(dev, &b, &size));
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(size, 3072000u);
}

TEST_F(Capture, GetFramesCopiesFramesBackToBack) {
    ASSERT_TRUE(vizor_cap_start(dev));
    vizor_frame_info_t info{};
    ASSERT_EQ(vizor_cap_get_frames(dev, 3, buf.data(), uint32_t(buf.size()), &info), 3);
    EXPECT_EQ(info.frame_size, kFrameBytes);
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.pixel_depth, 4);
    EXPECT_TRUE(vizor_cap_stop(dev));
    EXPECT_FALSE(vizor_cap_is_ongoing(dev));
    EXPECT_EQ(dev->api_busy, 0);
}

TEST_F(Capture, FramesBeyondAFetchStayQueuedForTheNext) {
    ASSERT_TRUE(vizor_cap_start(dev));
    vz_stream_state_t st{};
    ASSERT_TRUE(vzt::eventually(
        [&] { return vizor_cap_get_stats(dev, &st) && st.frames_ready_total >= 4; }));
    int prev = -1;
    for (int i = 0; i < 4; ++i) {  // one at a time: no index is skipped
        vizor_frame_info_t info{};
        ASSERT_EQ(vizor_cap_get_frames(dev, 1, buf.data(), uint32_t(buf.size()), &info), 1);
        if (prev >= 0) {
            EXPECT_EQ(int(info.frame_idx), prev + 1);
        }
        prev = int(info.frame_idx);
    }
}

TEST_F(Capture, StartWhileCapturingRestartsCleanly) {
    vizor_cap_set_callback_on_error(dev, on_error);
    ASSERT_TRUE(vizor_cap_start(dev));
    ASSERT_EQ(vizor_cap_get_frames(dev, 2, buf.data(), uint32_t(buf.size()), nullptr), 2);
    ASSERT_TRUE(vizor_cap_start(dev));
    EXPECT_EQ(vizor_cap_get_frames(dev, 2, buf.data(), uint32_t(buf.size()), nullptr), 2);
    EXPECT_TRUE(g_seen.errors.empty());
    EXPECT_FALSE(log.has("issue failed"));
}

TEST_F(Capture, FetchArgumentsAndStatesAreChecked) {
    EXPECT_EQ(vizor_cap_get_frames(dev, 0, buf.data(), 100, nullptr), -1);
    EXPECT_EQ(vizor_cap_get_frames(nullptr, 1, buf.data(), 100, nullptr), -1);
    EXPECT_EQ(vizor_cap_get_frame(dev, buf.data(), 100, nullptr), -2);  // not capturing
    EXPECT_FALSE(vizor_cap_wait(dev, 10));
    EXPECT_TRUE(log.has("[vizor_cap_wait] device is not capturing"));
}

TEST_F(Capture, GetFramesGivesUpAtItsTimeout) {
    cam->inject(vcam::Fault::bulk_timeout, vzt::times(0));
    ASSERT_TRUE(vizor_cap_start(dev));
    const auto t0 = Clock::now();
    EXPECT_EQ(vizor_cap_get_frames(dev, 10, buf.data(), uint32_t(buf.size()), nullptr), 0);
    const int64_t ms = vzt::elapsed_ms(t0);
    EXPECT_GE(ms, 2900);  // 10 frames x 100 ms + 2 s
    EXPECT_LT(ms, 6000);
    EXPECT_TRUE(log.has("[_vizor_cap_get_frames]  timeout ... ("));
}

TEST_F(Capture, StallWithoutCallbackFailsEveryFetchUntilRestart) {
    cam->inject(vcam::Fault::bulk_stall);
    ASSERT_TRUE(vizor_cap_start(dev));
    ASSERT_TRUE(vzt::eventually([&] { return dev->ll->err == VIZOR_ERR_CAP_STALL; }));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(vizor_cap_get_frames(dev, 1, buf.data(), uint32_t(buf.size()), nullptr), -7);
    EXPECT_EQ(vizor_cap_get_frame(dev, buf.data(), uint32_t(buf.size()), nullptr), -7);
    ASSERT_TRUE(vizor_cap_stop(dev));
    ASSERT_TRUE(vizor_cap_start(dev));
    EXPECT_EQ(vizor_cap_get_frames(dev, 1, buf.data(), uint32_t(buf.size()), nullptr), 1);
}

TEST_F(Capture, ErrorCallbackRefusalStopsDeliveryUntilRestart) {
    vizor_cap_set_callback_on_frame_ready(dev, on_frame);
    vizor_cap_set_callback_on_error(dev, on_error);
    g_seen.err_answer = false;
    cam->inject(vcam::Fault::bulk_error);
    ASSERT_TRUE(vizor_cap_start(dev));
    EXPECT_TRUE(vizor_cap_wait(dev, 3000));  // halted by the error
    ASSERT_EQ(g_seen.errors.size(), 1u);
    EXPECT_EQ(g_seen.errors[0].first, VIZOR_ERR_CAP_ERROR);
    const int before = g_seen.frames;
    EXPECT_EQ(vizor_cap_get_frames(dev, 1, buf.data(), uint32_t(buf.size()), nullptr), 0);
    EXPECT_EQ(g_seen.frames, before);
    ASSERT_TRUE(vizor_cap_stop(dev));
    ASSERT_TRUE(vizor_cap_start(dev));
    EXPECT_EQ(vizor_cap_get_frames(dev, 2, buf.data(), uint32_t(buf.size()), nullptr), 2);
}

TEST_F(Capture, SnapshotOnAnIdleDeviceLeavesItIdle) {
    vizor_frame_info_t info{};
    ASSERT_TRUE(vizor_cap_snapshot(dev, buf.data(), uint32_t(buf.size()), &info));
    EXPECT_EQ(info.frame_size, kFrameBytes);
    EXPECT_FALSE(vizor_cap_is_ongoing(dev));
    EXPECT_FALSE(cam->fw().capturing());
    EXPECT_EQ(dev->api_busy, 0);
}

TEST_F(Capture, WaitDeliversEveryFrameUntilItsDeadline) {
    vcam::StreamConfig sc = cam->fw().stream();
    sc.fps = 60;
    cam->fw().set_stream(sc);
    vizor_cap_set_callback_on_frame_ready(dev, on_frame);
    ASSERT_TRUE(vizor_cap_start(dev));
    const auto t0 = Clock::now();
    EXPECT_FALSE(vizor_cap_wait(dev, 600));
    EXPECT_GE(vzt::elapsed_ms(t0), 590);
    EXPECT_GT(g_seen.frames, 10);
    EXPECT_EQ(g_seen.last_size, kFrameBytes);
    ASSERT_TRUE(vizor_cap_stop(dev));
    // Every frame the reassembler completed went to the callback.
    vz_stream_state_t st;
    vz_stream_get_state(dev->ll->stream, &st);
    EXPECT_EQ(st.frames_discarded, 0u);
    EXPECT_EQ(int(st.frames_ready_total - st.frames_dropped_full - st.frames_in_buffer),
              g_seen.frames);
}

// A stop from the callback is the last thing it sees, however many frames
// were queued behind the one it stopped on.
void stop_on_frame(vizor_dev_t *d, vizor_frame_t *) {
    ++g_seen.frames;
    vizor_cap_stop(d);
}

TEST_F(Capture, StopFromTheCallbackEndsDeliveryOfQueuedFrames) {
    vizor_cap_set_callback_on_frame_ready(dev, stop_on_frame);
    ASSERT_TRUE(vizor_cap_start(dev));
    // The camera streams as fast as it is read: frames queue meanwhile.
    ASSERT_TRUE(vzt::eventually([&] {
        vz_stream_state_t st{};
        vizor_cap_get_stats(dev, &st);
        return st.frames_in_buffer >= 3;
    }));
    vizor_cap_wait(dev, 500);
    EXPECT_EQ(g_seen.frames, 1);
    EXPECT_FALSE(vizor_cap_is_ongoing(dev));
}

// Time-outs between completed transfers are a slow stream, not a dead one:
// a camera at 4 fps times out a queued transfer every few milliseconds (each
// waits 500 ms) and goes on capturing, and so does a camera silent for runs
// of 20 transfers with data between them; a camera silent for good halts
// after 65 in a row.
TEST_F(Capture, OnlyARunOfSixtyFiveTimeoutsHaltsCapture) {
    vcam::StreamConfig sc = cam->fw().stream();
    sc.fps = 4;
    cam->fw().set_stream(sc);
    vizor_cap_set_callback_on_frame_ready(dev, on_frame);
    vizor_cap_set_callback_on_error(dev, on_error);
    ASSERT_TRUE(vizor_cap_start(dev));
    ASSERT_TRUE(vzt::eventually(
        [&] {
            vizor_cap_wait(dev, 100);
            return dev->ll->to_cnt > 3 * 64;
        },
        std::chrono::seconds(30)));
    // Frames keep coming: waits of 100 ms until one has (a loaded machine
    // may take longer than the camera's pace).
    auto delivers = [&] {
        const int before = g_seen.frames;
        return vzt::eventually(
            [&] {
                vizor_cap_wait(dev, 100);
                return g_seen.frames > before;
            },
            std::chrono::seconds(10));
    };
    EXPECT_TRUE(delivers()) << "a slow stream keeps delivering";
    EXPECT_EQ(dev->ll->cap_halted, 0u);
    EXPECT_TRUE(g_seen.errors.empty());

    ASSERT_TRUE(vizor_cap_stop(dev));
    sc.fps = 200;
    cam->fw().set_stream(sc);
    ASSERT_TRUE(vizor_cap_start(dev));
    // Frames flow until every transfer has come back at least once (16
    // frames fill 37 transfers): first submissions wait up to 16 s, and a
    // silent camera holds only the oldest transfer, so on a slow machine a
    // fault met before that holds one of 12 s while the rest time out.
    const int frames0 = g_seen.frames;
    ASSERT_TRUE(vzt::eventually(
        [&] {
            vizor_cap_wait(dev, 100);
            return g_seen.frames >= frames0 + 16;
        },
        std::chrono::seconds(30)));
    // Four runs of 20, data between them: 80 in all, and capture goes on. A
    // run of 20 silent transfers can grow by the ones queued behind them that
    // expire before the data is reaped (a loaded machine): 51 at most, below
    // the 65 that halt.
    const uint32_t hits0 = cam->fw().fault_hits(vcam::Fault::bulk_timeout);
    for (uint32_t run = 1; run <= 4; ++run) {
        cam->inject(vcam::Fault::bulk_timeout, vzt::times(20));
        ASSERT_TRUE(vzt::eventually(
            [&] { return cam->fw().fault_hits(vcam::Fault::bulk_timeout) >= hits0 + 20 * run; },
            std::chrono::seconds(20)));
        EXPECT_TRUE(delivers()) << "run " << run;
        EXPECT_EQ(dev->ll->cap_halted, 0u) << "run " << run;
        EXPECT_TRUE(g_seen.errors.empty());
    }
    cam->inject(vcam::Fault::bulk_timeout, vzt::times(200));
    EXPECT_TRUE(vizor_cap_wait(dev, 20000));
    ASSERT_EQ(g_seen.errors.size(), 1u);
    EXPECT_EQ(g_seen.errors[0].first, VIZOR_ERR_CAP_TIMEOUT);
    EXPECT_TRUE(log.has("timeout -> stop"));
}

TEST_F(Capture, DiscardedFramesReachTheErrorCallbackWithTheirTotal) {
    vcam::StreamConfig sc = cam->fw().stream();
    sc.max_dlen = 100000;  // a frame spans four chunks
    cam->fw().set_stream(sc);
    vizor_cap_set_callback_on_frame_ready(dev, on_frame);
    vizor_cap_set_callback_on_error(dev, on_error);
    cam->inject(vcam::Fault::lost_chunk, vzt::times(1, 9));
    cam->inject(vcam::Fault::corrupt_header_cksum, vzt::times(1, 21));
    ASSERT_TRUE(vizor_cap_start(dev));
    ASSERT_TRUE(vzt::eventually([&] {
        vizor_cap_wait(dev, 50);
        return g_seen.errors.size() >= 2 ||
               (!g_seen.errors.empty() && g_seen.errors.back().second >= 2);
    }));
    for (auto [code, arg] : g_seen.errors) EXPECT_EQ(code, VIZOR_ERR_CAP_FRAME_DISCARD);
    EXPECT_EQ(g_seen.errors.back().second, 2);
    EXPECT_TRUE(vizor_cap_is_ongoing(dev));
}

TEST_F(Capture, VanishingCameraReachesTheErrorCallbackAndCloseCompletes) {
    vizor_cap_set_callback_on_error(dev, on_error);
    ASSERT_TRUE(vizor_cap_start(dev));
    ASSERT_EQ(vizor_cap_get_frames(dev, 1, buf.data(), uint32_t(buf.size()), nullptr), 1);
    cam->unplug();
    EXPECT_TRUE(vizor_cap_wait(dev, 5000));
    ASSERT_FALSE(g_seen.errors.empty());
    EXPECT_EQ(g_seen.errors[0].first, VIZOR_ERR_CAP_ERROR);
    vizor_dev_close(dev);
    dev = nullptr;
}

TEST_F(Capture, CloseWakesAThreadBlockedInWait) {
    vcam::StreamConfig sc = cam->fw().stream();
    sc.fps = 5;
    cam->fw().set_stream(sc);
    ASSERT_TRUE(vizor_cap_start(dev));
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        vizor_cap_wait(dev, 0);  // no deadline: only a halt ends it
        returned = true;
    });
    ASSERT_TRUE(vzt::eventually([&] { return dev->ll->busy.load() > 0; }));
    vizor_dev_close(dev);
    waiter.join();
    EXPECT_TRUE(returned);
    dev = nullptr;
}

TEST_F(Capture, SceneComesBackWithinOnePhaseStep) {
    const vcam::Scene scene = vcam::Scene::ramp(320, 240, 0.3f, 2.9f, 0.7f);
    cam->fw().set_scene(scene);
    cam->fw().set_upper_bits(0xA, 0x5);  // the driver must mask them
    vizor_frame_info_t info{};
    ASSERT_TRUE(vizor_cap_snapshot(dev, buf.data(), uint32_t(buf.size()), &info));
    std::vector<float> dist(320 * 240), gray(320 * 240);
    ASSERT_EQ(vizor_frame_get_distance(dev, dist.data(), int(dist.size()), buf.data(),
                                       int(info.frame_size), &info),
              320 * 240);
    ASSERT_EQ(vizor_frame_get_gray(dev, gray.data(), int(gray.size()), buf.data(),
                                   int(info.frame_size), nullptr),
              320 * 240);
    const float step = 3.122838f / 4096;
    for (size_t i = 0; i < dist.size(); ++i) {
        ASSERT_NEAR(dist[i], scene.distance_m[i], step) << i;
        ASSERT_NEAR(gray[i], 0.7f * 4095 / 4096, 1.0f / 4096) << i;
    }
    EXPECT_EQ(vizor_raw2dist(dist.data(), int(dist.size()), buf.data(), int(info.frame_size)),
              320 * 240);
    EXPECT_EQ(vizor_frame_get_distance(dev, dist.data(), int(dist.size()), buf.data(),
                                       int(info.frame_size) - 1, &info),
              0);
    EXPECT_TRUE(log.has("raw frame length too small: datalen=307199, frlen=307200"));
}

TEST_F(Capture, TiCameraHasNoLensOrFilters) {
    std::vector<float> dist(4, 1.0f), pcl(12);
    EXPECT_EQ(vizor_frame_get_pcl(dev, pcl.data(), 12, dist.data(), 4, 2, 2, nullptr), 0);
    EXPECT_TRUE(
        log.has("[vizor_frame_get_pcl] Cannot generate PCL: no lens parameter in driver.\n"));
    vizor_camera_param_t p{1, 1, 100, 100, 1};
    EXPECT_EQ(vizor_frame_get_pcl(dev, pcl.data(), 12, dist.data(), 4, 2, 2, &p), 4);
    EXPECT_EQ(vizor_filter_enable(dev, 0, nullptr, 0), -1);
    EXPECT_EQ(vizor_filter_disable(dev, 4), -1);
}

// The flying-pixel filter is the library's own: a TI camera takes it too, and
// the enable call checks its threshold argument.
TEST_F(Capture, FlyingPixelFilterOnAnyDriverChecksItsThreshold) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct {
        const char *name;
        float t;
        int size;
        int want;
    } const cases[] = {
        {"a threshold", 0.2f, 4, 1},
        {"too short", 0.2f, 2, 0},
        {"zero", 0.0f, 4, 0},
        {"negative", -0.1f, 4, 0},
        {"NaN", nan, 4, 0},
        {"beyond the range", 61.0f, 4, 0},
        {"longer argument", 0.3f, 8, 1},
    };
    for (const auto &c : cases) {
        float arg[2] = {c.t, 0.0f};
        EXPECT_EQ(vizor_filter_enable(dev, VIZOR_FILTER_FLYING_PIXELS, arg, c.size), c.want)
            << c.name;
    }
    EXPECT_EQ(vizor_filter_enable(dev, VIZOR_FILTER_FLYING_PIXELS, nullptr, 0), 1);
    EXPECT_EQ(vizor_filter_disable(dev, VIZOR_FILTER_FLYING_PIXELS), 1);
}

}  // namespace
