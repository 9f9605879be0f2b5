// One thread feeds while others take, peek and read statistics: every frame
// taken is intact and taken once, in stream order per taker, and every frame
// is either taken or counted as dropped for room.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "stream/stream_harness.h"

using namespace vzt;

namespace {

constexpr uint32_t kMaxFrame = 5000;

struct Shared {
    Stream s;
    Bytes bytes;
    vz_stream_t *st = nullptr;
    std::atomic<bool> fed{false};
};

void make(Shared &sh, uint32_t seed, uint32_t max_frames) {
    std::mt19937 rng(seed);
    GenOptions o;
    o.min_frame = 100;
    o.max_frame = kMaxFrame;
    Generator g(rng, o);
    sh.s = g.make(400);
    sh.bytes = sh.s.bytes();
    vz_stream_cfg_t cfg{max_frames};
    sh.st = vz_stream_create(&cfg);
}

void feeder(Shared &sh, uint32_t seed) {
    std::mt19937 rng(seed);
    size_t at = 0;
    for (size_t n : cut(sh.bytes.size(), 0, rng, 8192)) {
        vz_stream_feed_input(sh.st, sh.bytes.data() + at, int(n));
        at += n;
    }
    sh.fed.store(true, std::memory_order_release);
}

// Takes frames until the feeder is done and the buffer is empty; alternates
// single takes and takes of three. Records the stream positions taken.
std::vector<size_t> taker(Shared &sh, std::string &err) {
    std::vector<size_t> taken;
    Bytes buf(3 * kMaxFrame);
    bool three = false;
    for (;;) {
        const bool done = sh.fed.load(std::memory_order_acquire);
        vz_stream_frame_hdr_t d{};
        const uint32_t want = three ? 3 : 1;
        three = !three;
        const uint32_t n =
            vz_stream_fetch_frames(sh.st, buf.data(), uint32_t(buf.size()), want, &d, false);
        if (n == 0) {
            if (done) break;
            std::this_thread::yield();
            continue;
        }
        // The buffer is a window of consecutive frames, so n frames taken
        // together are consecutive in the stream.
        const size_t first = d.frame_idx;  // indices start at 0 and do not wrap
        size_t off = 0;
        for (size_t i = first; i < first + n; ++i) {
            if (i >= sh.s.frames.size()) {
                err = "frame index out of range";
                return taken;
            }
            const Frame &f = sh.s.frames[i];
            if (i == first && !same_desc(d, f.desc)) err = "description differs";
            if (std::memcmp(buf.data() + off, f.data.data(), f.data.size()) != 0)
                err = "bytes differ at frame " + std::to_string(i);
            off += f.data.size();
            taken.push_back(i);
        }
        if (!err.empty()) return taken;
    }
    return taken;
}

void expect_increasing(const std::vector<size_t> &v) {
    for (size_t i = 1; i < v.size(); ++i) ASSERT_LT(v[i - 1], v[i]) << "at " << i;
}

}  // namespace

TEST(ReassemblerThreads, OneFeederOneTaker) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        Shared sh;
        make(sh, seed, 4);
        std::string err;
        std::vector<size_t> got;
        std::thread t([&] { got = taker(sh, err); });
        feeder(sh, seed);
        t.join();
        ASSERT_EQ(err, "");
        expect_increasing(got);
        vz_stream_state_t st{};
        vz_stream_get_state(sh.st, &st);
        EXPECT_EQ(st.frames_done, sh.s.frames.size());
        EXPECT_EQ(st.frames_discarded, 0u);
        EXPECT_EQ(got.size() + st.frames_dropped_full, sh.s.frames.size());
        EXPECT_EQ(st.frames_in_buffer, 0u);
        vz_stream_destroy(sh.st);
    }
}

TEST(ReassemblerThreads, OneFeederTwoTakers) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        Shared sh;
        make(sh, seed + 10, 4);
        std::string e1, e2;
        std::vector<size_t> g1, g2;
        std::thread t1([&] { g1 = taker(sh, e1); });
        std::thread t2([&] { g2 = taker(sh, e2); });
        feeder(sh, seed);
        t1.join();
        t2.join();
        ASSERT_EQ(e1, "");
        ASSERT_EQ(e2, "");
        expect_increasing(g1);
        expect_increasing(g2);
        std::vector<size_t> all = g1;
        all.insert(all.end(), g2.begin(), g2.end());
        std::sort(all.begin(), all.end());
        EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end())
            << "a frame was taken twice";
        vz_stream_state_t st{};
        vz_stream_get_state(sh.st, &st);
        EXPECT_EQ(all.size() + st.frames_dropped_full, sh.s.frames.size());
        vz_stream_destroy(sh.st);
    }
}

TEST(ReassemblerThreads, PeekerAndStateReaderBesideTaker) {
    Shared sh;
    make(sh, 99, 6);
    std::string err, peek_err;
    std::vector<size_t> got;
    std::atomic<bool> stop{false};
    std::thread peeker([&] {
        Bytes buf(kMaxFrame);
        uint32_t last_total = 0;
        while (!stop.load(std::memory_order_acquire)) {
            vz_stream_frame_hdr_t d{};
            if (vz_stream_fetch_frames(sh.st, buf.data(), uint32_t(buf.size()), 1, &d, true) == 1) {
                const Frame &f = sh.s.frames.at(d.frame_idx);
                if (!same_desc(d, f.desc) ||
                    std::memcmp(buf.data(), f.data.data(), f.data.size()) != 0)
                    peek_err = "peeked frame differs";
            }
            vz_stream_state_t st{};
            vz_stream_get_state(sh.st, &st);
            if (st.frames_done < st.frames_ready_total) peek_err = "more frames ready than done";
            if (st.frames_ready_total < last_total) peek_err = "ready total went back";
            last_total = st.frames_ready_total;
            std::this_thread::yield();
        }
    });
    std::thread t([&] { got = taker(sh, err); });
    feeder(sh, 5);
    t.join();
    stop.store(true, std::memory_order_release);
    peeker.join();
    ASSERT_EQ(err, "");
    ASSERT_EQ(peek_err, "");
    expect_increasing(got);
    vz_stream_state_t st{};
    vz_stream_get_state(sh.st, &st);
    EXPECT_EQ(got.size() + st.frames_dropped_full, sh.s.frames.size());
    vz_stream_destroy(sh.st);
}

// A reset from another thread while frames are being taken (the feeder is
// idle, as between captures) leaves the takers consistent.
TEST(ReassemblerThreads, ResetBesideTaker) {
    Shared sh;
    make(sh, 7, 1000);
    feeder(sh, 3);  // everything is ready now
    sh.fed.store(true);
    std::string err;
    std::vector<size_t> got;
    std::thread t([&] { got = taker(sh, err); });
    vz_stream_reset(sh.st);
    t.join();
    ASSERT_EQ(err, "");
    expect_increasing(got);
    vz_stream_state_t st{};
    vz_stream_get_state(sh.st, &st);
    EXPECT_EQ(st.frames_in_buffer, 0u);
    EXPECT_EQ(vz_stream_fetch_frames(sh.st, nullptr, 0, 1, nullptr, false), 0u);
    vz_stream_destroy(sh.st);
}
