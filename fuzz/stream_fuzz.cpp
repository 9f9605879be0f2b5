// libFuzzer target of the stream reassembler: arbitrary bytes, fed in
// arbitrary transfer sizes, with fetches of every kind in between and a small
// frame buffer. Checks memory safety (under AddressSanitizer and UBSan) and
// the reassembler's bookkeeping after every step.
//
// Input: stream bytes, then a 4-byte trailer: max_frames (1 + b % 4) and a
// 24-bit seed that draws the transfer sizes and the fetches. Inputs shorter
// than the trailer are fed whole with defaults.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vizor/stream.h"

namespace {

struct Rng {
    uint64_t s;
    uint32_t next() {
        s += 0x9E3779B97F4A7C15ull;
        uint64_t z = s;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return uint32_t(z ^ (z >> 31));
    }
    uint32_t below(uint32_t n) { return n ? next() % n : 0; }
};

#define CHECK(c)                    \
    do {                            \
        if (!(c)) __builtin_trap(); \
    } while (0)

struct Driver {
    vz_stream_t *s;
    uint32_t max_frames;
    uint32_t taken = 0;  // frames removed by taking fetches since reset

    void check_state() {
        vz_stream_state_t st;
        CHECK(vz_stream_get_state(s, &st) == &st);
        CHECK(st.rsvd0 == 0 && st.rsvd1 == 0);
        CHECK(st.frames_in_buffer <= max_frames);
        // Every completed frame is moved to the buffer in the same feed.
        CHECK(st.frames_ready_total == st.frames_done);
        CHECK(st.frames_ready_total == taken + st.frames_dropped_full + st.frames_in_buffer);
        CHECK(vz_stream_fetch_frames(s, nullptr, 0, ~0u, nullptr, true) == st.frames_in_buffer);
    }

    static void check_desc(const vz_stream_frame_hdr_t &d) {
        CHECK(d.frame_size >= 1 && d.frame_size <= VZ_STREAM_MAX_FRAME_SIZE);
        CHECK(d.frame_format <= VZ_STREAM_MAX_FRAME_FORMAT);
    }

    // One fetch of a random kind; destinations are exact-size heap blocks
    // so that any overrun is caught.
    void fetch(Rng &r) {
        const uint32_t kind = r.below(4);
        const uint32_t count = 1 + r.below(3);
        vz_stream_frame_hdr_t d;
        if (kind == 0) {  // take the next frame whole, sized by a peek
            uint8_t none;
            if (vz_stream_fetch_frames(s, &none, 0, 1, &d, true) != 1) return;
            check_desc(d);
            const uint32_t len = d.frame_size < (1u << 20) ? d.frame_size : (1u << 20);
            std::vector<uint8_t> buf(len);
            vz_stream_frame_hdr_t d2;
            CHECK(vz_stream_fetch_frames(s, buf.data(), len, 1, &d2, false) == 1);
            CHECK(std::memcmp(&d, &d2, sizeof d) == 0);
            ++taken;
            return;
        }
        const uint32_t len = r.below(200);
        std::vector<uint8_t> buf(len);
        const bool peek = kind == 1;
        void *dst = (kind == 3 && r.below(2)) ? nullptr : buf.data();
        const uint32_t before = vz_stream_fetch_frames(s, nullptr, 0, ~0u, nullptr, true);
        const uint32_t n = vz_stream_fetch_frames(s, dst, len, count, &d, peek);
        CHECK(n == (count < before ? count : before));
        if (n && (dst || !peek)) check_desc(d);
        if (!peek) taken += n;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint32_t max_frames = 2;
    uint64_t seed = 1;
    if (size >= 4) {
        size -= 4;
        max_frames = 1 + data[size] % 4;
        seed = uint64_t(data[size + 1]) | uint64_t(data[size + 2]) << 8 |
               uint64_t(data[size + 3]) << 16;
    }
    Rng r{seed};
    vz_stream_cfg_t cfg{max_frames};
    Driver drv{vz_stream_create(&cfg), max_frames};
    CHECK(drv.s);

    static const uint32_t special[] = {1, 2, 35, 36, 37};
    size_t at = 0;
    while (at < size) {
        uint32_t n;
        switch (r.below(4)) {
        case 0: n = special[r.below(5)]; break;
        case 1: n = 1 + r.below(64); break;
        case 2: n = 1 + r.below(4096); break;
        default: n = uint32_t(size - at); break;
        }
        if (n > size - at) n = uint32_t(size - at);
        CHECK(vz_stream_feed_input(drv.s, data + at, int(n)) == 1);
        at += n;
        drv.check_state();
        for (uint32_t k = r.below(3); k > 0; --k) drv.fetch(r);
        if (r.below(64) == 0) {  // as at a capture restart
            vz_stream_reset(drv.s);
            drv.taken = 0;
        }
        drv.check_state();
    }
    while (vz_stream_fetch_frames(drv.s, nullptr, 0, 1, nullptr, false) == 1) {}
    vz_stream_destroy(drv.s);
    return 0;
}
