// Soak of the frame path: frames of random sizes in random chunk layouts, cut
// into transfers of random length, fed by one thread while another takes the
// complete frames, as the device's event thread and the application do.
// Every frame taken is compared byte for byte with what was sent.
//
// Reported: frames sent, delivered, dropped (frame buffer full), discarded
// (stream damage), lost (neither delivered nor accounted for: must be 0),
// corrupted (delivered with wrong bytes or size: must be 0), and heap and
// resident memory at start and end.
//
//   soak_bench                  100000 frames
//   soak_bench --frames=5000    a shorter run (other flags go to the benchmark library)
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "soak_args.h"
#include "stream/stream_gen.h"
#include "vizor/log.h"
#include "vizor/stream.h"

namespace {

size_t g_frames = 100000;

constexpr uint32_t kMaxFrames = 10;    // frame buffer of an opened device
constexpr uint32_t kMaxFrame = 16384;  // largest frame of the soak
constexpr size_t kBatch = 256;         // frames generated at a time
constexpr size_t kMaxLead = 4096;      // frames the feeder may run ahead

double heap_kb() { return double(mallinfo2().uordblks) / 1024; }

double rss_kb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr);
    return 0;
}

// Frames sent and not yet matched, shared by the two threads.
struct Expected {
    std::mutex mu;
    std::condition_variable room;
    std::deque<vzt::Frame> frames;
    bool done = false;
};

struct Counts {
    uint64_t delivered = 0, corrupted = 0, skipped = 0;
};

// The camera and the event thread: generates, announces and feeds frames.
void feed(vz_stream_t *s, Expected &exp, size_t total) {
    std::mt19937 rng(20261209);
    vzt::GenOptions opt;
    opt.max_frame = kMaxFrame;
    vzt::Generator gen(rng, opt);
    for (size_t sent = 0; sent < total;) {
        vzt::Stream batch = gen.make(std::min(kBatch, total - sent));
        sent += batch.frames.size();
        const vzt::Bytes bytes = batch.bytes();
        {
            std::unique_lock lk(exp.mu);
            exp.room.wait(lk, [&] { return exp.frames.size() < kMaxLead; });
            for (vzt::Frame &f : batch.frames) exp.frames.push_back(std::move(f));
        }
        size_t at = 0;
        for (size_t n : vzt::cut(bytes.size(), 0, rng)) {
            // A camera at a frame rate the application keeps up with, mostly:
            // a transfer may still complete more frames than there is room for.
            vz_stream_state_t st{};
            while (vz_stream_get_state(s, &st)->frames_in_buffer >= kMaxFrames / 2)
                std::this_thread::yield();
            vz_stream_feed_input(s, bytes.data() + at, int(n));
            at += n;
        }
    }
    std::lock_guard lk(exp.mu);
    exp.done = true;
}

// Matches one delivered frame with the oldest sent frame of its index; the
// frames passed over on the way were not delivered.
void check(Expected &exp, const vz_stream_frame_hdr_t &hdr, const uint8_t *data, Counts &c) {
    std::lock_guard lk(exp.mu);
    while (!exp.frames.empty() && exp.frames.front().desc.frame_idx != hdr.frame_idx) {
        exp.frames.pop_front();
        ++c.skipped;
    }
    if (exp.frames.empty()) {
        ++c.corrupted;  // a frame that was never sent
        return;
    }
    const vzt::Frame &f = exp.frames.front();
    const bool same = f.desc.frame_size == hdr.frame_size &&
                      std::memcmp(f.data.data(), data, hdr.frame_size) == 0;
    if (!same)
        ++c.corrupted;
    else
        ++c.delivered;
    exp.frames.pop_front();
    exp.room.notify_one();
}

// The application: takes frames until the feeder is done and the buffer empty.
Counts take_all(vz_stream_t *s, Expected &exp) {
    Counts c;
    std::vector<uint8_t> buf(kMaxFrame);
    for (;;) {
        vz_stream_frame_hdr_t hdr{};
        if (vz_stream_fetch_frames(s, buf.data(), uint32_t(buf.size()), 1, &hdr, false) == 1) {
            check(exp, hdr, buf.data(), c);
            continue;
        }
        bool done;
        {
            std::lock_guard lk(exp.mu);
            done = exp.done;
        }
        vz_stream_state_t st{};
        vz_stream_get_state(s, &st);
        if (done && st.frames_in_buffer == 0) break;
        std::this_thread::yield();
    }
    std::lock_guard lk(exp.mu);
    c.skipped += exp.frames.size();
    exp.frames.clear();
    return c;
}

void BM_SoakRandomChunking(benchmark::State &state) {
    vz_log_disable();
    Counts c;
    vz_stream_state_t st{};
    double heap0 = 0, heap1 = 0, rss0 = 0, rss1 = 0;
    for (auto _ : state) {
        heap0 = heap_kb();
        rss0 = rss_kb();
        vz_stream_cfg_t cfg{kMaxFrames};
        vz_stream_t *s = vz_stream_create(&cfg);
        Expected exp;
        std::thread feeder(feed, s, std::ref(exp), g_frames);
        c = take_all(s, exp);
        feeder.join();
        vz_stream_get_state(s, &st);
        vz_stream_destroy(s);
        exp.frames.shrink_to_fit();
        heap1 = heap_kb();
        rss1 = rss_kb();
    }
    const uint64_t accounted = uint64_t(st.frames_dropped_full) + st.frames_discarded;
    state.counters["frames"] = double(g_frames);
    state.counters["delivered"] = double(c.delivered);
    state.counters["dropped"] = st.frames_dropped_full;
    state.counters["discarded"] = st.frames_discarded;
    state.counters["lost"] = double(c.skipped > accounted ? c.skipped - accounted : 0);
    state.counters["corrupted"] = double(c.corrupted);
    state.counters["heap_start_kb"] = heap0;
    state.counters["heap_end_kb"] = heap1;
    state.counters["rss_start_kb"] = rss0;
    state.counters["rss_end_kb"] = rss1;
    state.counters["frames/s"] = benchmark::Counter(double(g_frames), benchmark::Counter::kIsRate);
    if (c.corrupted || c.skipped != accounted) state.SkipWithError("frames lost or corrupted");
}
BENCHMARK(BM_SoakRandomChunking)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    vzb::take_frames_arg(argc, argv, g_frames);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
