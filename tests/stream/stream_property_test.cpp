// Property: whatever the chunk layout and the transfer boundaries, a valid
// stream gives every frame exactly once, in order, byte-identical, with its
// description, and nothing is discarded or dropped.
#include <gtest/gtest.h>

#include "stream/stream_harness.h"

using namespace vzt;

namespace {

struct Case {
    size_t transfer;  // fixed transfer size, 0 for random sizes up to 128 KiB
    size_t frames;    // frames in the stream
    uint32_t max_frame;
};

std::string name(const ::testing::TestParamInfo<Case> &i) {
    return i.param.transfer ? "Transfer" + std::to_string(i.param.transfer)
                            : std::string("RandomTransfers");
}

class ValidStream : public ::testing::TestWithParam<Case> {};

void check(const Stream &s, const Bytes &b, const std::vector<size_t> &sizes, uint32_t seed) {
    Harness hs(1u << 20);  // nothing may be dropped for room
    hs.feed_cut(b, sizes);
    ASSERT_TRUE(frames_equal(hs.got, s.frames)) << "seed " << seed;
    const auto st = hs.state();
    EXPECT_EQ(st.frames_done, s.frames.size());
    EXPECT_EQ(st.frames_ready_total, s.frames.size());
    EXPECT_EQ(st.frames_discarded, 0u);
    EXPECT_EQ(st.frames_dropped_full, 0u);
    EXPECT_EQ(st.frames_in_buffer, 0u);
    EXPECT_EQ(st.bytes_dropped, 0u);
}

}  // namespace

TEST_P(ValidStream, EveryFrameOnceInOrderByteIdentical) {
    const Case c = GetParam();
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        std::mt19937 rng(seed * 7919 + uint32_t(c.transfer));
        GenOptions o;
        o.max_frame = c.max_frame;
        // Start near the wrap of both indices now and then.
        o.first_hdr_idx = uint16_t(seed % 2 ? 65536 - seed * 3 : rng());
        o.first_fridx = uint16_t(seed % 3 ? 65536 - seed * 2 : rng());
        Generator g(rng, o);
        const Stream s = g.make(c.frames);
        // The layouts under test are all present: continuations, chunks of
        // several frames, and continuations that also carry whole frames.
        size_t cont = 0, multi = 0, cont_multi = 0;
        for (const Chunk &ch : s.chunks) {
            cont += !ch.hdr.sof;
            multi += ch.hdr.dlen > ch.hdr.frame_size;
            cont_multi += !ch.hdr.sof && ch.hdr.dlen > ch.hdr.frame_size;
        }
        ASSERT_GT(cont, 0u);
        ASSERT_GT(multi, 0u);
        ASSERT_GT(cont_multi, 0u);
        const Bytes b = s.bytes();
        check(s, b, cut(b.size(), c.transfer, rng), seed);
    }
}

INSTANTIATE_TEST_SUITE_P(Reassembler, ValidStream,
                         ::testing::Values(Case{1, 150, 600}, Case{2, 150, 600},
                                           Case{35, 300, 3000}, Case{36, 300, 3000},
                                           Case{37, 300, 3000}, Case{0, 120, 70000}),
                         name);

// Frames of one byte, many per chunk, and frames larger than a transfer.
TEST(ReassemblerProperty, ExtremeFrameSizes) {
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        std::mt19937 rng(seed);
        GenOptions tiny;
        tiny.min_frame = 1;
        tiny.max_frame = 3;
        tiny.max_whole = 200;
        Generator gt(rng, tiny);
        const Stream s = gt.make(600);
        const Bytes b = s.bytes();
        check(s, b, cut(b.size(), 0, rng, 64), seed);

        GenOptions big;
        big.min_frame = 200000;
        big.max_frame = 400000;
        Generator gb(rng, big);
        const Stream sb = gb.make(6);
        const Bytes bb = sb.bytes();
        check(sb, bb, cut(bb.size(), 0, rng), seed);
    }
}

// Mixed transfer sizes within one stream: the special small sizes between
// random large ones.
TEST(ReassemblerProperty, MixedTransferSizes) {
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        std::mt19937 rng(seed + 100);
        GenOptions o;
        o.max_frame = 20000;
        Generator g(rng, o);
        const Stream s = g.make(150);
        const Bytes b = s.bytes();
        const size_t special[] = {1, 2, 35, 36, 37};
        std::vector<size_t> sizes;
        for (size_t at = 0; at < b.size();) {
            size_t n = rng() % 2 ? special[rng() % 5] : 1 + rng() % 131072;
            n = std::min(n, b.size() - at);
            sizes.push_back(n);
            at += n;
        }
        check(s, b, sizes, seed);
    }
}

// Draining only at the end with a large buffer gives the same frames as
// draining after every transfer.
TEST(ReassemblerProperty, LateFetchGivesSameFrames) {
    std::mt19937 rng(77);
    GenOptions o;
    o.max_frame = 5000;
    Generator g(rng, o);
    const Stream s = g.make(200);
    const Bytes b = s.bytes();
    Harness hs(1000);
    size_t at = 0;
    for (size_t n : cut(b.size(), 0, rng, 9000)) {
        hs.feed(b.data() + at, n);
        at += n;
    }
    EXPECT_EQ(hs.state().frames_in_buffer, s.frames.size());
    hs.drain();
    EXPECT_TRUE(frames_equal(hs.got, s.frames));
}
