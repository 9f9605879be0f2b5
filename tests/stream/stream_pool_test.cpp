// Frame block recycling: a running capture allocates nothing once the pool
// holds the buffer's blocks, whatever the fetch pattern, and the pool stays
// bounded by the buffer's frame count.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "alloc_hook.h"
#include "stream/reassembler.h"
#include "stream/stream_gen.h"

namespace {

using vzt::Bytes;

constexpr uint32_t kFrame = 20000;

// n one-frame chunks with consecutive indices from first, as one byte run.
Bytes frames(uint16_t first, int n) {
    std::mt19937 rng(first);
    Bytes out;
    for (int i = 0; i < n; ++i) {
        vzt::Hdr h;
        h.hdr_idx = h.fridx = uint16_t(first + i);
        h.dlen = h.frame_size = kFrame;
        h.sof = true;
        const auto e = vzt::encode(h);
        out.insert(out.end(), e.begin(), e.end());
        const Bytes p = vzt::random_bytes(rng, kFrame);
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

struct Pattern {
    const char *name;
    uint32_t max_frames;
    int fetch_every;  // frames fed between fetches (beyond max_frames: trimming)
    bool reset;       // reset the stream before every round
};

class PoolSteadyState : public ::testing::TestWithParam<Pattern> {};

TEST_P(PoolSteadyState, AllocatesNothingAfterWarmUp) {
    const Pattern p = GetParam();
    constexpr int kRounds = 6, kWarmRounds = 2;
    std::vector<Bytes> runs;
    for (int r = 0; r < kRounds; ++r)
        runs.push_back(frames(uint16_t(r * p.fetch_every), p.fetch_every));
    vz_stream_cfg_t cfg{p.max_frames};
    vz_stream_t *s = vz_stream_create(&cfg);
    std::vector<uint8_t> out(kFrame);
    const size_t transfer = 7000;  // headers and frames fall across transfers
    long steady = 0;
    for (int r = 0; r < kRounds; ++r) {
        const long before = vzt::allocations();
        if (p.reset) vz_stream_reset(s);
        const Bytes &b = runs[size_t(r)];
        for (size_t at = 0; at < b.size(); at += transfer)
            vz_stream_feed_input(s, b.data() + at, int(std::min(transfer, b.size() - at)));
        while (vz_stream_fetch_frames(s, out.data(), kFrame, 1, nullptr, false) == 1) {}
        if (r >= kWarmRounds) steady += vzt::allocations() - before;
    }
    vz_stream_state_t st;
    vz_stream_get_state(s, &st);
    EXPECT_EQ(st.frames_discarded, 0u);
    EXPECT_EQ(st.frames_done, uint32_t((p.reset ? 1 : kRounds) * p.fetch_every));
    EXPECT_LE(s->pool.size(), p.max_frames + vz::stream::kPoolSpare);
    vz_stream_destroy(s);
    if (vzt::alloc_counting()) {  // not under sanitizers
        EXPECT_EQ(steady, 0) << p.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Patterns, PoolSteadyState,
                         ::testing::Values(Pattern{"EveryFrame", 10, 1, false},
                                           Pattern{"Bursts", 10, 8, false},
                                           Pattern{"BufferOverrun", 4, 9, false},
                                           Pattern{"ResetRounds", 3, 5, true}),
                         [](const auto &i) { return std::string(i.param.name); });

}  // namespace
