// Throughput of the stream reassembler against plain copying.
//
// A camera stream of 320 x 240 x 8-byte frames (614400 bytes, one chunk per
// frame) arrives in 128 KiB transfers. BM_StreamFeedFetch feeds each transfer
// and fetches every complete frame into a caller buffer; BM_MemcpyTwice copies
// the same bytes the way the reassembler must at least do: once from the
// transfer into a frame buffer and once from there into the caller's buffer.
// Both report bytes per second of stream and time per frame; the stream also
// its heap allocations (only the first frame blocks of its pool).
//
// Each runs twice: first with the heap as glibc sets it up (it trims and
// returns large blocks to the kernel), then with trimming and the mmap
// threshold fixed through mallopt, so that the cost of feeding cannot hide in
// the heap's state. The second set is registered last because mallopt cannot
// be undone within the process.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "alloc_hook.h"
#include "stream/stream_gen.h"
#include "vizor/stream.h"

namespace {

constexpr uint32_t kFrame = 320 * 240 * 8;
constexpr size_t kTransfer = 128 * 1024;
constexpr int kRingFrames = 8;

// kRingFrames chunks of one frame each, replayed forever: at each wrap the
// header indices move on so that the stream stays unbroken.
class Ring {
public:
    Ring() {
        std::mt19937 rng(1);
        payload_ = vzt::random_bytes(rng, size_t(kFrame) * kRingFrames);
        bytes_.resize(size_t(kRingFrames) * (36 + kFrame));
        for (int i = 0; i < kRingFrames; ++i)
            std::memcpy(bytes_.data() + size_t(i) * (36 + kFrame) + 36,
                        payload_.data() + size_t(i) * kFrame, kFrame);
        write_headers();
    }
    const uint8_t *data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    void wrap() {
        base_ = uint16_t(base_ + kRingFrames);
        write_headers();
    }

private:
    void write_headers() {
        for (int i = 0; i < kRingFrames; ++i) {
            vzt::Hdr h;
            h.hdr_idx = uint16_t(base_ + i);
            h.fridx = uint16_t(base_ + i);
            h.dlen = kFrame;
            h.frame_size = kFrame;
            h.width = 320;
            h.height = 240;
            h.sof = true;
            const auto e = vzt::encode(h);
            std::memcpy(bytes_.data() + size_t(i) * (36 + kFrame), e.data(), e.size());
        }
    }
    vzt::Bytes payload_, bytes_;
    uint16_t base_ = 0;
};

// Argument 1: trimming off from here on.
void heap_mode(const benchmark::State &state) {
    if (state.range(0) == 0) return;
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 25);
}

void per_frame(benchmark::State &state, int64_t bytes) {
    state.counters["frame_time"] = benchmark::Counter(
        double(bytes) / (36 + kFrame), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_StreamFeedFetch(benchmark::State &state) {
    heap_mode(state);
    Ring ring;
    vz_stream_cfg_t cfg{10};
    vz_stream_t *s = vz_stream_create(&cfg);
    std::vector<uint8_t> out(kFrame);
    size_t pos = 0;
    int64_t bytes = 0, frames = 0;
    const long allocs_before = vzt::allocations();
    for (auto _ : state) {
        const size_t n = std::min(kTransfer, ring.size() - pos);
        vz_stream_feed_input(s, ring.data() + pos, int(n));
        vz_stream_frame_hdr_t d;
        while (vz_stream_fetch_frames(s, out.data(), kFrame, 1, &d, false) == 1) ++frames;
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        pos += n;
        bytes += int64_t(n);
        if (pos == ring.size()) {
            pos = 0;
            ring.wrap();
        }
    }
    // The pool's first blocks are the only allocations the stream makes.
    const long allocs = vzt::allocations() - allocs_before;
    state.SetBytesProcessed(bytes);
    per_frame(state, bytes);
    state.counters["frames"] = double(frames);
    state.counters["allocs_per_frame"] = frames ? double(allocs) / double(frames) : 0.0;
    state.counters["allocs"] = double(allocs);
    vz_stream_state_t st;
    vz_stream_get_state(s, &st);
    if (st.frames_discarded || st.frames_dropped_full) state.SkipWithError("frames lost");
    vz_stream_destroy(s);
}

void BM_MemcpyTwice(benchmark::State &state) {
    heap_mode(state);
    Ring ring;
    std::vector<uint8_t> frame(kFrame), out(kFrame);
    size_t pos = 0, fill = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        size_t n = std::min(kTransfer, ring.size() - pos);
        const uint8_t *src = ring.data() + pos;
        pos += n;
        bytes += int64_t(n);
        while (n > 0) {
            const size_t c = std::min(n, kFrame - fill);
            std::memcpy(frame.data() + fill, src, c);
            fill += c;
            src += c;
            n -= c;
            if (fill == kFrame) {
                std::memcpy(out.data(), frame.data(), kFrame);
                fill = 0;
            }
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        if (pos == ring.size()) pos = 0;
    }
    state.SetBytesProcessed(bytes);
    per_frame(state, bytes);
}

}  // namespace

double min_of(const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); }

BENCHMARK(BM_MemcpyTwice)
    ->ArgName("notrim")
    ->Arg(0)
    ->MinTime(2.0)
    ->ComputeStatistics("min", min_of);
BENCHMARK(BM_StreamFeedFetch)
    ->ArgName("notrim")
    ->Arg(0)
    ->MinTime(2.0)
    ->ComputeStatistics("min", min_of);
BENCHMARK(BM_MemcpyTwice)
    ->ArgName("notrim")
    ->Arg(1)
    ->MinTime(2.0)
    ->ComputeStatistics("min", min_of);
BENCHMARK(BM_StreamFeedFetch)
    ->ArgName("notrim")
    ->Arg(1)
    ->MinTime(2.0)
    ->ComputeStatistics("min", min_of);

BENCHMARK_MAIN();
