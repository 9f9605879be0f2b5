// vizor view without camera and network: which requests the guard lets in,
// that clients get only the newest frame, buffer reuse, the frame layout.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "view.h"

using namespace vztool::view;

TEST(ViewGuard, HostAndOrigin) {
    struct Case {
        const char *host, *origin, *bind;
        bool changing, allowed;
    } cases[] = {
        {"127.0.0.1:8080", "", "127.0.0.1", false, true},
        {"localhost:8080", "http://localhost:8080", "127.0.0.1", true, true},
        {"[::1]:8080", "", "::1", false, true},
        {"127.0.0.1:8080", "", "127.0.0.1", true, false},  // change without Origin
        {"127.0.0.1:8080", "http://evil.example", "127.0.0.1", true, false},
        {"127.0.0.1:8080", "http://localhost:8080", "127.0.0.1", false, false},  // Origin != Host
        {"evil.example:8080", "", "127.0.0.1", false, false},                    // DNS rebinding
        {"127.0.0.1:9090", "", "127.0.0.1", false, false},                       // another port
        {"127.0.0.1", "", "127.0.0.1", false, false},                            // no port
        {"127.0.0.1:80a", "", "127.0.0.1", false, false},
        {"", "", "127.0.0.1", false, false},
        {"192.168.1.5:8080", "", "192.168.1.5", false, true},  // told to bind there
        {"10.0.0.1:8080", "", "192.168.1.5", false, false},
        {"cam.lan:8080", "http://cam.lan:8080", "0.0.0.0", true, true},  // wildcard bind
    };
    for (const auto &c : cases)
        EXPECT_EQ(request_allowed(c.host, c.origin, c.bind, 8080, c.changing), c.allowed)
            << c.host << " origin " << c.origin << " bind " << c.bind;
}

Buffer frame_of(uint8_t v) { return std::make_shared<const std::vector<uint8_t>>(1, v); }

// Control values and the long poll's "after": bounded decimals only; the
// poll's sequence never wraps into a small number.
TEST(ViewValues, FormNumbersAndFrameAfter) {
    struct Num {
        const char *text;
        long lo, hi, want;  // want -1: refused
    } nums[] = {{"800", 1, 65535, 800},  {"0", 0, 5, 0},
                {"65536", 1, 65535, -1}, {"-3", 0, 5, -1},
                {"12a", 0, 100, -1},     {"", 0, 5, -1},
                {"7 ", 0, 9, -1},        {"0000000000007", 0, 9, -1}};
    for (const Num &n : nums) {
        const auto v = form_number(n.text, n.lo, n.hi);
        EXPECT_EQ(v ? *v : -1, n.want) << n.text;
    }
    struct After {
        const char *text;
        uint32_t want;
    } afters[] = {{"17", 17},        {"4294967295", 4294967295u},
                  {"4294967296", 0}, {"9999999999", 0},
                  {"-1", 0},         {"1e3", 0},
                  {"", 0},           {"00000000042", 0}};
    for (const After &a : afters) EXPECT_EQ(frame_after(a.text), a.want) << a.text;
}

TEST(ViewSlot, ClientsGetOnlyTheNewestFrame) {
    FrameSlot slot;
    uint32_t seq = 0;
    EXPECT_EQ(slot.wait_newer(0, 10, seq), nullptr);  // nothing yet: time-out
    for (uint8_t v = 1; v <= 3; ++v) slot.publish(frame_of(v));
    Buffer b = slot.wait_newer(0, 10, seq);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ((*b)[0], 3);
    EXPECT_EQ(seq, 3u);
    EXPECT_EQ(slot.wait_newer(3, 10, seq), nullptr);   // already has the newest
    ASSERT_NE(slot.wait_newer(99, 10, seq), nullptr);  // a sequence from a former server
    // A waiting client wakes on publish, and for good on close.
    std::thread t([&] { slot.publish(frame_of(4)); });
    b = slot.wait_newer(3, 5000, seq);
    t.join();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ((*b)[0], 4);
    std::thread c([&] { slot.close(); });
    EXPECT_EQ(slot.wait_newer(4, 5000, seq), nullptr);
    c.join();
}

TEST(ViewPool, ReusesOnlyBuffersNoClientHolds) {
    BufferPool pool;
    Buffer held = pool.take();  // a client still sends it
    auto b = pool.take();
    const auto *first = held.get();
    const auto *second = b.get();
    EXPECT_NE(first, second);
    b.reset();
    EXPECT_EQ(pool.take().get(), second);  // free again: reused, no allocation
    held.reset();
    const auto c = pool.take(), d = pool.take();
    EXPECT_EQ(c.get(), first);
    EXPECT_EQ(d.get(), second);
}

TEST(ViewFrame, Layout) {
    const int w = 3, h = 1, pts = 2;  // 9 RGB bytes pad to 12
    FrameHeader hd;
    hd.seq = 7;
    hd.width = w;
    hd.height = h;
    hd.points = pts;
    uint8_t bar[768], rgb[9], prgb[6];
    for (int i = 0; i < 768; ++i) bar[i] = uint8_t(i);
    for (int i = 0; i < 9; ++i) rgb[i] = uint8_t(100 + i);
    for (int i = 0; i < 6; ++i) prgb[i] = uint8_t(200 + i);
    const float dist[3] = {1.5f, 2.5f, 0.0f}, pcl[6] = {1, 2, 3, 4, 5, 6};
    std::vector<uint8_t> out;
    encode_frame(out, hd, bar, rgb, dist, nullptr, pcl, prgb);
    const size_t rgb_at = kHeaderWords * 4 + 768, dist_at = rgb_at + 12, gray_at = dist_at + 12,
                 pcl_at = gray_at + 12, prgb_at = pcl_at + 24;
    ASSERT_EQ(out.size(), prgb_at + 6);
    FrameHeader back;
    std::memcpy(&back, out.data(), sizeof back);
    EXPECT_EQ(back.magic, 0x31565a56u);
    EXPECT_EQ(back.seq, 7u);
    EXPECT_EQ(out[kHeaderWords * 4 + 767], 767 & 0xFF);
    EXPECT_EQ(0, std::memcmp(&out[rgb_at], rgb, 9));
    EXPECT_EQ(out[rgb_at + 9], 0);
    EXPECT_EQ(0, std::memcmp(&out[dist_at], dist, 12));
    for (size_t i = gray_at; i < pcl_at; ++i) EXPECT_EQ(out[i], 0);  // no gray image
    EXPECT_EQ(0, std::memcmp(&out[pcl_at], pcl, 24));
    EXPECT_EQ(0, std::memcmp(&out[prgb_at], prgb, 6));
}
