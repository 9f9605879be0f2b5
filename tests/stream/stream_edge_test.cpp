// Behaviour of the reassembler at the edges of its header search, frame
// assembly, buffer and fetch rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

#include "base/cpu.h"
#include "stream/reassembler.h"
#include "stream/stream_harness.h"

using namespace vzt;

namespace {

std::mt19937 g_rng(1234);

Hdr hdr(uint16_t idx, uint16_t fridx, uint32_t fs, uint32_t dlen, bool sof) {
    Hdr h;
    h.hdr_idx = idx;
    h.fridx = fridx;
    h.frame_size = fs;
    h.dlen = dlen;
    h.sof = sof;
    h.frame_format = 0x12;
    h.width = 320;
    h.height = 240;
    h.sensor = {1, 2, 3, 4, 5, 6, 7, 8};
    return h;
}

Bytes bytes_of(const Hdr &h, const Bytes &payload = {}) {
    // Sized once and filled by copy: GCC 12 at -O3 misreads a growing insert
    // after the 36 header bytes as a write past them (-Warray-bounds).
    const auto e = encode(h);
    Bytes b(e.size() + payload.size());
    std::copy(e.begin(), e.end(), b.begin());
    std::copy(payload.begin(), payload.end(), b.begin() + std::ptrdiff_t(e.size()));
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes &p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}

// The frame a header with this description starts, holding data.
Frame frame(const Hdr &h, uint16_t idx, Bytes data) {
    Frame f;
    f.desc.frame_size = h.frame_size;
    f.desc.frame_idx = idx;
    f.desc.frame_format = h.frame_format;
    f.desc.width = h.width;
    f.desc.height = h.height;
    std::copy(h.sensor.begin(), h.sensor.end(), f.desc.sensor_data);
    f.data = std::move(data);
    return f;
}

Bytes rnd(size_t n) { return random_bytes(g_rng, n); }

}  // namespace

// ---- header check --------------------------------------------------------------

TEST(StreamHeader, FletcherMatchesWorkedValue) {
    // "abcde": s1 = 495 mod 255 = 240 (0xF0), s2 = 0xC8.
    const uint8_t abcde[] = {'a', 'b', 'c', 'd', 'e'};
    EXPECT_EQ(vz::stream::fletcher16(abcde, 5), 0xC8F0);
    // The per-byte reduction of the reference, over lengths around the
    // block size and bytes at their largest.
    for (const size_t n : {size_t(34), size_t(255), size_t(256), size_t(257), size_t(1000)}) {
        const Bytes b = rnd(n);
        const Bytes ff(n, 0xFF);
        EXPECT_EQ(vz::stream::fletcher16(b.data(), n), ref_fletcher16(b.data(), n)) << n;
        EXPECT_EQ(vz::stream::fletcher16(ff.data(), n), ref_fletcher16(ff.data(), n)) << n;
    }
}

TEST(StreamHeader, LimitsAreInclusive) {
    auto valid = [](Hdr h) { return vz::stream::header_valid(encode(h).data()); };
    Hdr h = hdr(0, 0, 100, 100, true);
    EXPECT_TRUE(valid(h));
    h.bad_cksum = true;
    EXPECT_FALSE(valid(h));
    h = hdr(0, 0, 100, 0xFFFFF, true);
    EXPECT_TRUE(valid(h));
    h.dlen = 0x100000;
    EXPECT_FALSE(valid(h));
    h = hdr(0, 0, 0x7FFFFFF, 0, true);
    EXPECT_TRUE(valid(h));
    h.frame_size = 0x8000000;
    EXPECT_FALSE(valid(h));
    h.frame_size = 0;
    EXPECT_FALSE(valid(h));
    h = hdr(0, 0, 1, 1, true);
    h.frame_format = 0x3FF;
    EXPECT_TRUE(valid(h));
    h.frame_format = 0x400;
    EXPECT_FALSE(valid(h));
    auto e = encode(hdr(0, 0, 1, 1, true));
    e[1] = 0x99;  // magic broken, check sum recomputed
    const uint16_t ck = ref_fletcher16(e.data(), 34);
    e[34] = uint8_t(ck);
    e[35] = uint8_t(ck >> 8);
    EXPECT_FALSE(vz::stream::header_valid(e.data()));
}

// The vector searches step 32 or 64 positions at a time: pairs at every
// offset of a step, across step boundaries and in the tail must be found as
// the plain byte-wise scan finds them, on every instruction set.
TEST(StreamHeader, MagicSearchEqualsPlainScan) {
    const int saved = vz::cpu::level_cap().load();
    for (int level = 0; level <= 2; ++level) {
        vz::cpu::level_cap().store(level);
        for (int round = 0; round < 3000; ++round) {
            // Dense in FB and 98 for short buffers so that pairs and near misses
            // are common; long ones sparse, with one planted pair or none.
            Bytes b(round % 2 ? g_rng() % 80 : g_rng() % 1200);
            const bool dense = b.size() < 80;
            for (auto &x : b)
                x = dense && g_rng() % 3 == 0 ? 0xFB
                    : dense && g_rng() % 2    ? 0x98
                                              : uint8_t(g_rng() % 0xF0);
            if (!dense && b.size() > 1 && g_rng() % 4) {
                const size_t at = g_rng() % (b.size() - 1);
                b[at] = 0xFB;
                b[at + 1] = 0x98;
            }
            ASSERT_EQ(vz::stream::find_magic(b.data(), b.size()),
                      vz::stream::find_magic_ref(b.data(), b.size()))
                << "level " << level << " round " << round;
            // The copy stops at the first pair that starts within c bytes
            // (its second byte may be the one after them) and writes nothing
            // beyond.
            const size_t c = b.empty() ? 0 : g_rng() % (b.size() + 1);
            const size_t ref = vz::stream::find_magic_ref(b.data(), std::min(c + 1, b.size()));
            Bytes dst(b.size(), 0xAA);
            const size_t got = vz::stream::copy_until_magic(dst.data(), b.data(), c, b.size());
            ASSERT_EQ(got, std::min(ref, c)) << "level " << level << " round " << round;
            ASSERT_TRUE(std::equal(dst.begin(), dst.begin() + long(got), b.begin()));
            ASSERT_TRUE(std::all_of(dst.begin() + long(got), dst.end(),
                                    [](uint8_t x) { return x == 0xAA; }));
        }
    }
    vz::cpu::level_cap().store(saved);
}

// One pair at every position around the vector and step boundaries of the
// copy (64 and 256 bytes), its second byte included: the copy stops right
// before it on every instruction set.
TEST(StreamHeader, CopyStopsAtAPairOnEveryBoundary) {
    const int saved = vz::cpu::level_cap().load();
    for (int level = 0; level <= 2; ++level) {
        vz::cpu::level_cap().store(level);
        for (size_t at = 0; at + 1 < 700; ++at) {
            Bytes b(700);
            for (size_t j = 0; j < b.size(); ++j) b[j] = uint8_t(j % 2 ? 0x98 : 0x0B);
            b[at] = 0xFB;
            b[at + 1] = 0x98;
            for (size_t c : {size_t(512), at, at + 1}) {
                Bytes dst(b.size(), 0xAA);
                const size_t got = vz::stream::copy_until_magic(dst.data(), b.data(), c, b.size());
                ASSERT_EQ(got, std::min(at, c)) << "level " << level << " at " << at << " c " << c;
                ASSERT_TRUE(std::equal(dst.begin(), dst.begin() + long(got), b.begin()));
            }
        }
    }
    vz::cpu::level_cap().store(saved);
}

// ---- header search -------------------------------------------------------------

TEST(Reassembler, HeaderSplitAfterAnyByteIsCompletedFromNextTransfer) {
    const Hdr h = hdr(3, 7, 100, 100, true);
    const Bytes payload = rnd(100);
    const Bytes b = bytes_of(h, payload);
    for (size_t split = 1; split < 36; ++split) {
        Harness hs;
        hs.feed(b.data(), split);
        EXPECT_EQ(hs.state().frames_done, 0u);
        hs.feed(b.data() + split, b.size() - split);
        hs.drain();
        ASSERT_TRUE(frames_equal(hs.got, {frame(h, 7, payload)})) << "split after " << split;
    }
}

TEST(Reassembler, PartialHeaderIsLoggedWithHeldBytes) {
    LogCapture log;
    const Hdr h = hdr(3, 7, 10, 10, true);
    const Bytes b = bytes_of(h, rnd(10));
    Harness hs;
    hs.feed(b.data(), 1);  // a lone FB
    hs.feed(b.data() + 1, 20);
    hs.feed(b.data() + 21, b.size() - 21);
    hs.drain();
    EXPECT_EQ(hs.got.size(), 1u);
    EXPECT_TRUE(log.has(
        "TRC", "[vz_stream_feed_input] partial stream hdr found: 1 bytes, need more bytes.\n"));
    EXPECT_TRUE(log.has(
        "TRC", "[vz_stream_feed_input] partial stream hdr found: 21 bytes, need more bytes.\n"));
    EXPECT_TRUE(log.has("TRC", "[_sync_stream_hdr] stream hdr found: idx = 3 (dlen=10,fridx=7)\n"));
}

TEST(Reassembler, BadChecksumIsSkippedAndScanResumesAtSecondByte) {
    LogCapture log;
    // A false magic pair immediately before a real header: the candidate at 0
    // covers 34 bytes of the real one and fails; the real one is at 2.
    const Hdr h = hdr(0, 0, 50, 50, true);
    const Bytes payload = rnd(50);
    const Bytes b = cat({{0xFB, 0x98}, bytes_of(h, payload)});
    ASSERT_FALSE(vz::stream::header_valid(b.data()));
    Harness hs;
    hs.feed(b);
    hs.drain();
    EXPECT_TRUE(frames_equal(hs.got, {frame(h, 0, payload)}));
    EXPECT_TRUE(log.has("DBG", "[vz_stream_feed_input] sync hdr: skip 2 bytes\n"));
    EXPECT_EQ(hs.state().bytes_dropped, 2u);
}

TEST(Reassembler, HeaderWithWrongChecksumIsSkippedWhole) {
    LogCapture log;
    Hdr bad = hdr(0, 0, 50, 0, true);
    bad.bad_cksum = true;
    const Hdr h = hdr(1, 0, 50, 50, true);
    const Bytes payload = rnd(50);
    Harness hs;
    hs.feed(cat({bytes_of(bad), bytes_of(h, payload)}));
    hs.drain();
    EXPECT_TRUE(frames_equal(hs.got, {frame(h, 0, payload)}));
    EXPECT_TRUE(log.has("DBG", "[vz_stream_feed_input] sync hdr: skip 36 bytes\n"));
}

// A false magic split by a transfer boundary must not hide a real header that
// begins among its held bytes: the result is the same as unsplit.
TEST(Reassembler, SplitFalseMagicDoesNotHideFollowingHeader) {
    const Hdr h = hdr(0, 4, 50, 50, true);
    const Bytes payload = rnd(50);
    const Bytes b = cat({{0xFB, 0x98, 0x00, 0x00}, bytes_of(h, payload)});
    for (size_t split = 1; split < 36; ++split) {
        Harness hs;
        hs.feed(b.data(), split);
        hs.feed(b.data() + split, b.size() - split);
        hs.drain();
        ASSERT_TRUE(frames_equal(hs.got, {frame(h, 4, payload)})) << "split after " << split;
    }
    // Byte by byte, too.
    Harness hs;
    for (uint8_t x : b) hs.feed(&x, 1);
    hs.drain();
    EXPECT_TRUE(frames_equal(hs.got, {frame(h, 4, payload)}));
}

// A damaged header split by a transfer boundary leaves the header index
// continuity in force, as it does unsplit: the next continuation, which
// follows a lost one, cannot complete the frame with misaligned bytes.
TEST(Reassembler, SplitBadHeaderKeepsIndexContinuity) {
    const Hdr a = hdr(10, 5, 100, 60, true);
    Hdr b = hdr(11, 5, 100, 20, false);
    b.bad_cksum = true;
    const Hdr c = hdr(12, 5, 100, 120, false);  // tail of 5, all of 6
    const Hdr d = hdr(13, 7, 100, 100, true);
    const Bytes pd = rnd(100);
    const Bytes s =
        cat({bytes_of(a, rnd(60)), bytes_of(b, rnd(20)), bytes_of(c, rnd(120)), bytes_of(d, pd)});
    for (size_t split : {size_t(0), size_t(96 + 1), size_t(96 + 10), size_t(96 + 35)}) {
        Harness hs;
        if (split) hs.feed(s.data(), split);
        hs.feed(s.data() + split, s.size() - split);
        hs.drain();
        ASSERT_TRUE(frames_equal(hs.got, {frame(d, 7, pd)})) << "split at " << split;
        EXPECT_EQ(hs.state().frames_discarded, 1u);
    }
}

TEST(Reassembler, TransferWithoutHeaderWhereOneIsExpectedDiscardsFrame) {
    LogCapture log;
    const Hdr a = hdr(10, 3, 100, 60, true);
    const Hdr b = hdr(11, 3, 100, 40, false);
    const Hdr c = hdr(12, 4, 100, 100, true);
    const Bytes pc = rnd(100);
    Harness hs;
    hs.feed(bytes_of(a, rnd(60)));
    hs.feed(Bytes(50, 0x00));  // no magic, no trailing FB
    EXPECT_TRUE(log.has("DBG", "[vz_stream_feed_input] discard frame: stream hdr verify failed\n"));
    EXPECT_TRUE(log.has("DBG", "[_discard_cur_frame] discard frame: idx = 3\n"));
    EXPECT_EQ(hs.state().frames_discarded, 1u);
    EXPECT_EQ(hs.state().bytes_dropped, 60u);
    // The continuation is skipped; the next frame start ends discarding.
    hs.feed(cat({bytes_of(b, rnd(40)), bytes_of(c, pc)}));
    hs.drain();
    EXPECT_TRUE(frames_equal(hs.got, {frame(c, 4, pc)}));
    EXPECT_EQ(hs.state().frames_discarded, 1u);
}

TEST(Reassembler, TrailingFbIsHeldInsteadOfFailingTheSearch) {
    const Hdr a = hdr(0, 0, 100, 100, true);
    const Hdr b = hdr(1, 1, 100, 100, true);
    const Bytes pa = rnd(100), pb = rnd(100);
    Harness hs;
    hs.feed(bytes_of(a, pa));
    const Bytes hb = bytes_of(b, pb);
    hs.feed(hb.data(), 1);
    hs.feed(hb.data() + 1, hb.size() - 1);
    hs.drain();
    EXPECT_TRUE(frames_equal(hs.got, {frame(a, 0, pa), frame(b, 1, pb)}));
    EXPECT_EQ(hs.state().frames_discarded, 0u);
}

// ---- frames and continuity -------------------------------------------------------

TEST(Reassembler, ChunkOfThreeFramesGivesConsecutiveIndicesAcrossWrap) {
    LogCapture log;
    const Hdr a = hdr(0, 65534, 20, 60, true);
    const Bytes p = rnd(60);
    const Hdr next = hdr(1, 1, 20, 20, true);  // 65534 + 3
    const Bytes pn = rnd(20);
    Harness hs;
    hs.feed(cat({bytes_of(a, p), bytes_of(next, pn)}));
    hs.drain();
    EXPECT_TRUE(
        frames_equal(hs.got, {frame(a, 65534, Bytes(p.begin(), p.begin() + 20)),
                              frame(a, 65535, Bytes(p.begin() + 20, p.begin() + 40)),
                              frame(a, 0, Bytes(p.begin() + 40, p.end())), frame(next, 1, pn)}));
    EXPECT_EQ(log.count("DBG", "[vz_stream_feed_input] missing frame"), 0u);
}

TEST(Reassembler, FrameIndexJumpIsLoggedNotDiscarded) {
    LogCapture log;
    const Hdr a = hdr(0, 10, 20, 60, true);
    const Hdr next = hdr(1, 14, 20, 20, true);  // 13 expected
    Harness hs;
    hs.feed(cat({bytes_of(a, rnd(60)), bytes_of(next, rnd(20))}));
    hs.drain();
    EXPECT_EQ(hs.got.size(), 4u);
    EXPECT_TRUE(log.has(
        "DBG", "[vz_stream_feed_input] missing frame: jumpping frame idx (prev=13, cur=14)\n"));
    EXPECT_EQ(hs.state().frames_discarded, 0u);
}

TEST(Reassembler, FrameSplitOverTwoChunksGivesOneFrame) {
    const Hdr a = hdr(7, 5, 100, 60, true);
    const Hdr b = hdr(8, 5, 100, 40, false);
    const Bytes pa = rnd(60), pb = rnd(40);
    Harness hs;
    hs.feed(cat({bytes_of(a, pa), bytes_of(b, pb)}));
    hs.drain();
    EXPECT_TRUE(frames_equal(hs.got, {frame(a, 5, cat({pa, pb}))}));
}

TEST(Reassembler, HeaderIndexSkipDiscardsUntilNextFrameStart) {
    LogCapture log;
    const Hdr a = hdr(10, 5, 100, 60, true);
    const Hdr b = hdr(12, 5, 100, 20, false);  // 11 lost
    const Hdr b2 = hdr(13, 5, 100, 20, false);
    const Hdr c = hdr(14, 6, 100, 100, true);
    const Bytes pc = rnd(100);
    Harness hs;
    hs.feed(
        cat({bytes_of(a, rnd(60)), bytes_of(b, rnd(20)), bytes_of(b2, rnd(20)), bytes_of(c, pc)}));
    hs.drain();
    EXPECT_TRUE(frames_equal(hs.got, {frame(c, 6, pc)}));
    EXPECT_TRUE(log.has(
        "DBG",
        "[vz_stream_feed_input] discard frame: stream hdr idx not correct (prev=10, cur=12)\n"));
    EXPECT_TRUE(log.has("DBG", "[_discard_cur_frame] discard frame: idx = 5\n"));
    const auto st = hs.state();
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.bytes_dropped, 60u + 20u + 20u);  // the frame and two skipped payloads
}

TEST(Reassembler, NewFrameBeforePreviousIsCompleteDiscardsIt) {
    LogCapture log;
    const Hdr a = hdr(0, 5, 100, 60, true);
    const Hdr c = hdr(1, 6, 100, 100, true);
    const Bytes pc = rnd(100);
    Harness hs;
    hs.feed(cat({bytes_of(a, rnd(60)), bytes_of(c, pc)}));
    hs.drain();
    EXPECT_TRUE(frames_equal(hs.got, {frame(c, 6, pc)}));
    EXPECT_TRUE(log.has(
        "DBG", "[vz_stream_feed_input] discard frame: frame bound met, prev not complete\n"));
    EXPECT_EQ(hs.state().frames_discarded, 1u);
}

// A continuation whose frame start was never assembled would put the middle
// of a camera frame at the start of a new one; when that chunk also carries
// the next frame, the misaligned frame completes. It must never come out.
TEST(Reassembler, ContinuationWithoutItsStartIsNotAssembled) {
    LogCapture log;
    const Hdr tail = hdr(20, 4, 100, 150, false);  // tail of frame 4 and all of 5
    const Hdr c = hdr(21, 6, 100, 100, true);
    const Bytes pc = rnd(100);
    Harness hs;
    hs.feed(cat({bytes_of(tail, rnd(150)), bytes_of(c, pc)}));
    hs.drain();
    EXPECT_TRUE(frames_equal(hs.got, {frame(c, 6, pc)}));
    EXPECT_EQ(hs.state().frames_discarded, 1u);
    EXPECT_TRUE(log.has("DBG", "[_discard_cur_frame] discard frame: idx = 4\n"));
}

TEST(Reassembler, ContinuationOfAnotherFrameIsNotAssembled) {
    LogCapture log;
    const Hdr a = hdr(0, 3, 100, 100, true);
    // Chunk 1 (start of frame 4) was lost; chunk 2 carries the tail of 4 and
    // all of 5.
    const Hdr tail = hdr(2, 4, 100, 150, false);
    const Hdr c = hdr(3, 6, 100, 100, true);
    const Bytes pa = rnd(100), pc = rnd(100);
    Harness hs;
    hs.feed(cat({bytes_of(a, pa), bytes_of(tail, rnd(150)), bytes_of(c, pc)}));
    hs.drain();
    EXPECT_TRUE(frames_equal(hs.got, {frame(a, 3, pa), frame(c, 6, pc)}));
    EXPECT_TRUE(log.has(
        "DBG", "[vz_stream_feed_input] discard frame: frame idx not consist (prev=3, cur=4)\n"));
    EXPECT_EQ(hs.state().frames_discarded, 1u);
}

// ---- allocation failure ------------------------------------------------------------

namespace {
int g_alloc_calls = 0;
int g_alloc_fail_at = -1;
void *failing_alloc(size_t n) {
    return g_alloc_calls++ == g_alloc_fail_at ? nullptr : std::malloc(n);
}
}  // namespace

TEST(Reassembler, FailedFrameAllocationLosesOnlyThatFrame) {
    LogCapture log;
    const Hdr a = hdr(0, 0, 100, 300, true);
    const Hdr c = hdr(1, 3, 100, 100, true);
    const Bytes pa = rnd(300), pc = rnd(100);
    const Bytes b = cat({bytes_of(a, pa), bytes_of(c, pc)});
    g_alloc_calls = 0;
    g_alloc_fail_at = 1;  // frame 1 of the chunk
    vz::stream::set_frame_allocator(failing_alloc);
    Harness hs;
    hs.feed(b.data(), 36 + 150);  // frame 0 and half of frame 1
    hs.feed(b.data() + 186, b.size() - 186);
    hs.drain();
    vz::stream::set_frame_allocator(nullptr);
    // The rest of frame 1 must not start a frame of its own, nor frame 2 at a
    // wrong offset; the next frame start recovers.
    EXPECT_TRUE(
        frames_equal(hs.got, {frame(a, 0, Bytes(pa.begin(), pa.begin() + 100)), frame(c, 3, pc)}));
    const std::string line =
        "[_fr_node_add_data] malloc failed: " + std::to_string(sizeof(vz::stream::Frame) + 100) +
        " bytes\n";
    EXPECT_TRUE(log.has("ERR", line));
    EXPECT_EQ(hs.state().frames_discarded, 1u);
}

// ---- buffer ----------------------------------------------------------------------

TEST(Reassembler, FullBufferDropsOldestFrames) {
    LogCapture log;
    const Hdr a = hdr(0, 0, 10, 120, true);  // twelve frames in one chunk
    const Bytes p = rnd(120);
    Harness hs(10);
    hs.feed(bytes_of(a, p));
    auto st = hs.state();
    EXPECT_EQ(st.frames_in_buffer, 10u);
    EXPECT_EQ(st.frames_dropped_full, 2u);
    EXPECT_EQ(st.frames_ready_total, 12u);
    EXPECT_EQ(st.bytes_dropped, 20u);
    EXPECT_TRUE(log.has("DBG", "[_fr_list_refresh] discard frames: frame buffer is full (2/2)\n"));
    EXPECT_TRUE(log.has("DBG", "[_fr_list_refresh] discard frame: idx = 0\n"));
    EXPECT_TRUE(log.has("DBG", "[_fr_list_refresh] discard frame: idx = 1\n"));
    hs.drain();
    ASSERT_EQ(hs.got.size(), 10u);
    EXPECT_EQ(hs.got.front().desc.frame_idx, 2);
    EXPECT_EQ(hs.got.back().desc.frame_idx, 11);
    EXPECT_EQ(hs.got.front().data, Bytes(p.begin() + 20, p.begin() + 30));
}

TEST(Reassembler, FullBufferCountsDropsAcrossPublications) {
    LogCapture log;
    Harness hs(10);
    for (uint16_t i = 0; i < 12; ++i) hs.feed(bytes_of(hdr(i, i, 10, 10, true), rnd(10)));
    EXPECT_EQ(hs.state().frames_dropped_full, 2u);
    EXPECT_TRUE(log.has("DBG", "[_fr_list_refresh] discard frames: frame buffer is full (1/1)\n"));
    EXPECT_TRUE(log.has("DBG", "[_fr_list_refresh] discard frames: frame buffer is full (1/2)\n"));
}

TEST(Reassembler, NewBoundTakesEffectAtNextPublication) {
    Harness hs(10);
    for (uint16_t i = 0; i < 5; ++i) hs.feed(bytes_of(hdr(i, i, 10, 10, true), rnd(10)));
    vz_stream_cfg_t cfg{2};
    vz_stream_set_cfg(hs.s, &cfg);
    vz_stream_cfg_t back{};
    EXPECT_EQ(vz_stream_get_cfg(hs.s, &back), &back);
    EXPECT_EQ(back.max_frames, 2u);
    EXPECT_EQ(hs.state().frames_in_buffer, 5u);
    hs.feed(bytes_of(hdr(5, 5, 10, 10, true), rnd(10)));
    EXPECT_EQ(hs.state().frames_in_buffer, 2u);
    EXPECT_EQ(hs.state().frames_dropped_full, 4u);
    hs.drain();
    EXPECT_EQ(hs.got.front().desc.frame_idx, 4);
}

// ---- fetching ----------------------------------------------------------------------

class Fetch : public ::testing::Test {
protected:
    void SetUp() override {
        for (uint16_t i = 0; i < 3; ++i) {
            h[i] = hdr(i, uint16_t(i + 100), 40, 40, true);
            p[i] = rnd(40);
            hs.feed(bytes_of(h[i], p[i]));
        }
    }
    Harness hs;
    Hdr h[3];
    Bytes p[3];
};

TEST_F(Fetch, PeekCopiesFramesBackToBackAndKeepsThem) {
    Bytes dst(200, 0xEE);
    vz_stream_frame_hdr_t d{};
    EXPECT_EQ(vz_stream_fetch_frames(hs.s, dst.data(), 200, 2, &d, true), 2u);
    EXPECT_TRUE(same_desc(d, frame(h[0], 100, {}).desc));
    EXPECT_EQ(Bytes(dst.begin(), dst.begin() + 80), cat({p[0], p[1]}));
    EXPECT_EQ(dst[80], 0xEE);
    EXPECT_EQ(hs.state().frames_in_buffer, 3u);
}

TEST_F(Fetch, TakeOfFiveFromThreeReturnsThree) {
    Bytes dst(200);
    EXPECT_EQ(vz_stream_fetch_frames(hs.s, dst.data(), 200, 5, nullptr, false), 3u);
    EXPECT_EQ(Bytes(dst.begin(), dst.begin() + 120), cat({p[0], p[1], p[2]}));
    EXPECT_EQ(hs.state().frames_in_buffer, 0u);
    EXPECT_EQ(vz_stream_fetch_frames(hs.s, dst.data(), 200, 5, nullptr, false), 0u);
}

TEST_F(Fetch, CopiesNeverPassDestinationLength) {
    Bytes dst(64, 0xEE);
    vz_stream_frame_hdr_t d{};
    EXPECT_EQ(vz_stream_fetch_frames(hs.s, dst.data(), 50, 2, &d, false), 2u);
    EXPECT_EQ(Bytes(dst.begin(), dst.begin() + 40), p[0]);
    EXPECT_EQ(Bytes(dst.begin() + 40, dst.begin() + 50), Bytes(p[1].begin(), p[1].begin() + 10));
    EXPECT_EQ(Bytes(dst.begin() + 50, dst.end()), Bytes(14, 0xEE));
    EXPECT_EQ(d.frame_idx, 100);
    EXPECT_EQ(hs.state().frames_in_buffer, 1u);
}

TEST_F(Fetch, PeekWithoutDestinationOnlyCounts) {
    vz_stream_frame_hdr_t d;
    std::memset(&d, 0xAA, sizeof d);
    EXPECT_EQ(vz_stream_fetch_frames(hs.s, nullptr, 0, 10, &d, true), 3u);
    EXPECT_EQ(d.frame_size, 0xAAAAAAAAu);
    EXPECT_EQ(hs.state().frames_in_buffer, 3u);
}

TEST_F(Fetch, TakeWithoutDestinationDropsFrames) {
    vz_stream_frame_hdr_t d{};
    EXPECT_EQ(vz_stream_fetch_frames(hs.s, nullptr, 0, 2, &d, false), 2u);
    EXPECT_EQ(d.frame_idx, 100);
    hs.drain();
    EXPECT_TRUE(frames_equal(hs.got, {frame(h[2], 102, p[2])}));
}

TEST_F(Fetch, CountZeroOrEmptyBufferGivesZero) {
    vz_stream_frame_hdr_t d;
    std::memset(&d, 0xAA, sizeof d);
    uint8_t x;
    EXPECT_EQ(vz_stream_fetch_frames(hs.s, &x, 1, 0, &d, false), 0u);
    EXPECT_EQ(d.frame_size, 0xAAAAAAAAu);
    EXPECT_EQ(hs.state().frames_in_buffer, 3u);
}

// ---- reset, statistics, arguments ---------------------------------------------------

TEST(Reassembler, ResetForgetsFramesHeldHeaderAndStatistics) {
    Harness hs;
    hs.feed(bytes_of(hdr(0, 0, 10, 10, true), rnd(10)));
    const Bytes next = bytes_of(hdr(1, 1, 10, 10, true), rnd(10));
    hs.feed(next.data(), 20);  // header held in part
    const time_t before = time(nullptr);
    vz_stream_reset(hs.s);
    const auto st = hs.state();
    EXPECT_EQ(st.frames_done, 0u);
    EXPECT_EQ(st.frames_ready_total, 0u);
    EXPECT_EQ(st.frames_in_buffer, 0u);
    EXPECT_GE(time_t(st.reset_sec), before);
    EXPECT_LE(st.reset_usec, 999000u);
    EXPECT_EQ(st.reset_usec % 1000, 0u);
    uint8_t x;
    EXPECT_EQ(vz_stream_fetch_frames(hs.s, &x, 1, 1, nullptr, false), 0u);
    // The rest of the dropped header is no header.
    hs.feed(next.data() + 20, next.size() - 20);
    hs.drain();
    EXPECT_TRUE(hs.got.empty());
    // New frames come out again.
    const Bytes p = rnd(10);
    const Hdr h = hdr(2, 2, 10, 10, true);
    hs.feed(bytes_of(h, p));
    hs.drain();
    EXPECT_TRUE(frames_equal(hs.got, {frame(h, 2, p)}));
}

TEST(Reassembler, ResetWhileDiscardingResumesAtNextFrameStart) {
    Harness hs;
    hs.feed(Bytes(40, 0x11));  // no header: discarding
    vz_stream_reset(hs.s);
    const Hdr cont = hdr(5, 5, 100, 50, false);
    const Hdr c = hdr(6, 6, 100, 100, true);
    const Bytes pc = rnd(100);
    hs.feed(cat({bytes_of(cont, rnd(50)), bytes_of(c, pc)}));
    hs.drain();
    EXPECT_TRUE(frames_equal(hs.got, {frame(c, 6, pc)}));
    // The continuation was skipped as part of the damaged stream, not counted.
    EXPECT_EQ(hs.state().frames_discarded, 0u);
}

TEST(Reassembler, StateReservedWordsAreZero) {
    Harness hs;
    vz_stream_state_t st;
    std::memset(&st, 0xAA, sizeof st);
    EXPECT_EQ(vz_stream_get_state(hs.s, &st), &st);
    EXPECT_EQ(st.rsvd0, 0u);
    EXPECT_EQ(st.rsvd1, 0u);
    EXPECT_NE(st.reset_sec, 0u);
}

TEST(Reassembler, NullArgumentsAreHarmless) {
    EXPECT_EQ(vz_stream_create(nullptr), nullptr);
    vz_stream_destroy(nullptr);
    vz_stream_reset(nullptr);
    vz_stream_set_cfg(nullptr, nullptr);
    vz_stream_state_t st;
    vz_stream_cfg_t cfg;
    EXPECT_EQ(vz_stream_get_state(nullptr, &st), nullptr);
    EXPECT_EQ(vz_stream_get_cfg(nullptr, &cfg), nullptr);
    EXPECT_EQ(vz_stream_feed_input(nullptr, "x", 1), 1);
    EXPECT_EQ(vz_stream_fetch_frames(nullptr, nullptr, 0, 1, nullptr, false), 0u);
    Harness hs;
    EXPECT_EQ(vz_stream_feed_input(hs.s, nullptr, 10), 1);
    EXPECT_EQ(vz_stream_feed_input(hs.s, "x", -1), 1);
    EXPECT_EQ(vz_stream_get_state(hs.s, nullptr), nullptr);
    vz_stream_set_cfg(hs.s, nullptr);
    EXPECT_EQ(vz_stream_get_cfg(hs.s, &cfg)->max_frames, 1000u);
}

// ---- public record layouts -------------------------------------------------------------

#define AT(type, field, off) static_assert(offsetof(type, field) == (off), #type "." #field)
static_assert(sizeof(vz_stream_cfg_t) == 4);
static_assert(sizeof(vz_stream_frame_hdr_t) == 20);
AT(vz_stream_frame_hdr_t, frame_size, 0);
AT(vz_stream_frame_hdr_t, frame_idx, 4);
AT(vz_stream_frame_hdr_t, frame_format, 6);
AT(vz_stream_frame_hdr_t, width, 8);
AT(vz_stream_frame_hdr_t, height, 10);
AT(vz_stream_frame_hdr_t, sensor_data, 12);
static_assert(sizeof(vz_stream_state_t) == 40);
AT(vz_stream_state_t, frames_done, 0);
AT(vz_stream_state_t, frames_ready_total, 4);
AT(vz_stream_state_t, frames_discarded, 8);
AT(vz_stream_state_t, frames_dropped_full, 12);
AT(vz_stream_state_t, frames_in_buffer, 16);
AT(vz_stream_state_t, rsvd0, 20);
AT(vz_stream_state_t, bytes_dropped, 24);
AT(vz_stream_state_t, rsvd1, 28);
AT(vz_stream_state_t, reset_sec, 32);
AT(vz_stream_state_t, reset_usec, 36);
