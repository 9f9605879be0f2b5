// Soak of the EPC path on the virtual epc660: capture through the emulated
// bus and the calibrated decode (factory calibration downloaded at open, the
// camera's non-uniformity and temperature drift on and corrected), with the
// stream's chunking drawn anew at every capture start and the camera's
// stream faults switched in and out. Every delivered frame is decoded and
// compared with the scene (a flat wall): a pixel off by more than 5 cm
// counts the frame as corrupted.
//
// Reported: frames the camera sent, and where each went: delivered (the
// calibration data read at open included), dropped (frame buffer full),
// discarded (stream damage), left in the frame buffer at a capture stop (the
// host's counts, read after each stop), unseen (every
// chunk lost or its header broken, so the host cannot know of them) and
// unsent (still in the device when capture stopped; the camera's counts);
// unaccounted is sent minus all of these (signed, must be 0), where a frame
// that a wrong index cut in two (split) counts once although the host
// discards two pieces. Also corrupted frames (must be 0), fault strikes, and
// heap and resident memory after each capture stop: at warm-up, the highest
// after it, and at the end.
// VIZOR_SOAK_TRACE=1 prints the memory at every stop.
//
//   epc_soak_bench                 100000 frames
//   epc_soak_bench --frames=2000   a shorter run (other flags go to the benchmark library)
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "soak_args.h"
#include "vcam/vcam.h"
#include "vizor/epc660.h"
#include "vizor/stream.h"
#include "vizor/vizor.h"

namespace {

size_t g_frames = 100000;

constexpr int kW = 320, kH = 240;
constexpr float kWall = 1.5f;         // metres
constexpr float kTolerance = 0.05f;   // metres
constexpr size_t kEpochFrames = 500;  // frames between capture restarts
constexpr size_t kWarmup = 1000;      // frames before the first memory reading

// Heap in use, mapped blocks included (large ones are mapped, not in the arenas).
double heap_kb() {
    const struct mallinfo2 m = mallinfo2();
    return double(m.uordblks + m.hblkhd) / 1024;
}

double rss_kb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr);
    return 0;
}

// A stream layout: chunk payload limit, device transfer size, ZLP.
vcam::StreamConfig random_layout(std::mt19937 &rng) {
    vcam::StreamConfig s;
    const uint32_t dlen[] = {0xFFFFF, 65536, 16384, 4093};
    const uint32_t segment[] = {0, 0, 512, 16384, 100000, 1 << 20};
    s.max_dlen = dlen[rng() % 4];
    s.segment_bytes = segment[rng() % 6];
    s.zlp = rng() % 2;
    return s;
}

const vcam::Fault kFaults[] = {vcam::Fault::corrupt_header_cksum, vcam::Fault::lost_chunk,
                               vcam::Fault::wrong_fridx, vcam::Fault::truncated_payload};

// Arms one stream fault for a few occurrences, or none for a clean epoch;
// returns the fault's index in kFaults, or -1.
int random_faults(vcam::Camera &cam, std::mt19937 &rng) {
    cam.fw().clear_faults();
    const uint32_t pick = rng() % 6;
    if (pick >= 4) return -1;
    cam.inject(kFaults[pick], vcam::FaultSpec().after(rng() % 50).times(1 + rng() % 5));
    return int(pick);
}

// What the capture in progress runs with, for the report of a bad frame.
struct Epoch {
    vcam::StreamConfig layout;
    int fault = -1;
};

struct Totals {
    uint64_t delivered = 0, corrupted = 0, decode_failed = 0;
    uint64_t discarded = 0, dropped = 0, left_in_buffer = 0;  // summed over captures
    double heap_warm = 0, rss_warm = 0, heap_max = 0, rss_max = 0, heap_end = 0, rss_end = 0;
};

// The resident kB of the three largest resident mappings, with their sizes:
// tells a heap that grows from address space that fills in (pages of a
// large zero-filled block touched for the first time).
std::string largest_mappings() {
    std::ifstream in("/proc/self/smaps");
    struct Map {
        double size = 0, rss = 0;
    };
    std::vector<Map> maps;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Size:", 0) == 0)
            maps.push_back({std::strtod(line.c_str() + 5, nullptr), 0});
        if (line.rfind("Rss:", 0) == 0 && !maps.empty())
            maps.back().rss = std::strtod(line.c_str() + 4, nullptr);
    }
    std::sort(maps.begin(), maps.end(), [](const Map &a, const Map &b) { return a.rss > b.rss; });
    std::string out;
    for (size_t i = 0; i < std::min<size_t>(3, maps.size()); ++i) {
        char one[48];
        std::snprintf(one, sizeof one, " %.0f/%.0f", maps[i].rss, maps[i].size);
        out += one;
    }
    return out;
}

// Each malloc arena's memory from the system and the free part of it, in kB
// ("arena: current/free"), from malloc_info: mallinfo2 covers only the main
// arena, while threads allocate from arenas of their own.
std::string arena_usage() {
    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    if (!f) return {};
    malloc_info(0, f);
    std::fclose(f);
    std::string out, xml(text, len);
    std::free(text);
    size_t at = 0;
    while ((at = xml.find("<heap nr=\"", at)) != std::string::npos) {
        const int nr = std::atoi(xml.c_str() + at + 10);
        const size_t end = xml.find("</heap>", at);
        const size_t rest = xml.find("<total type=\"rest\"", at);
        const size_t cur = xml.find("<system type=\"current\"", at);
        if (end == std::string::npos || rest > end || cur > end) break;
        const long free_b = std::atol(xml.c_str() + xml.find("size=\"", rest) + 6);
        const long cur_b = std::atol(xml.c_str() + xml.find("size=\"", cur) + 6);
        char one[64];
        std::snprintf(one, sizeof one, " %d:%ld/%ld", nr, cur_b / 1024, free_b / 1024);
        out += one;
        at = end;
    }
    return out;
}

// Memory after a capture stop (the same point of every epoch, so readings
// compare); the first reading after warm-up is the baseline.
void read_memory(Totals &t, size_t frames, bool trace) {
    const double heap = heap_kb(), rss = rss_kb();
    if (trace) {
        const struct mallinfo2 m = mallinfo2();
        std::fprintf(stderr,
                     "%zu frames: heap %.0f kB, rss %.0f kB, arenas %zu kB, free %zu kB, "
                     "largest resident/size kB%s, arenas current/free kB%s\n",
                     frames, heap, rss, (m.arena + m.hblkhd) / 1024, m.fordblks / 1024,
                     largest_mappings().c_str(), arena_usage().c_str());
    }
    if (frames < kWarmup) return;
    if (t.heap_warm == 0) {
        t.heap_warm = heap;
        t.rss_warm = rss;
    }
    t.heap_max = std::max(t.heap_max, heap);
    t.rss_max = std::max(t.rss_max, rss);
    t.heap_end = heap;
    t.rss_end = rss;
}

// Adds the statistics of the capture just stopped (a start resets them).
void add_capture_stats(vizor_dev_t *dev, Totals &t) {
    vz_stream_state_t st{};
    if (!vizor_cap_get_stats(dev, &st)) return;
    t.discarded += st.frames_discarded;
    t.dropped += st.frames_dropped_full;
    t.left_in_buffer += st.frames_in_buffer;
}

// One delivered frame decoded and compared with the wall.
void check_frame(vizor_dev_t *dev, const std::vector<uint8_t> &raw, const vizor_frame_info_t &info,
                 std::vector<float> &dist, Totals &t, const Epoch &e) {
    ++t.delivered;
    const int n = vizor_frame_get_distance(dev, dist.data(), int(dist.size()), raw.data(),
                                           int(info.frame_size), &info);
    int bad = 0;
    double worst = 0;
    for (float d : dist)
        if (d < 12.5f && std::fabs(d - kWall) > kTolerance) {
            ++bad;
            worst = std::max(worst, std::fabs(double(d) - kWall));
        }
    if (n != kW * kH)
        ++t.decode_failed;
    else if (bad > 0)
        ++t.corrupted;
    else
        return;
    if (t.decode_failed + t.corrupted <= 5)
        std::fprintf(stderr,
                     "bad frame: decode %d, idx %u, format %u, size %u, %d pixels off (worst %.3f "
                     "m); layout dlen %u segment %u zlp %d, fault %d\n",
                     n, info.frame_idx, info.frame_format, info.frame_size, bad, worst,
                     e.layout.max_dlen, e.layout.segment_bytes, int(e.layout.zlp), e.fault);
}

void BM_EpcSoak(benchmark::State &state) {
    char dir[] = "/tmp/vizor-epc-soak-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) {
        state.SkipWithError("no working folder");
        return;
    }
    vz_log_disable();
    vcam::Bus bus;
    vcam::CameraConfig cfg;
    cfg.fw.product = "VZ-E1-660";
    cfg.fw.epc.noise = false;
    cfg.fw.epc.defect_pixels = 0;
    vcam::Camera &cam = bus.add_camera(1, 2, cfg);
    cam.fw().set_scene(vcam::Scene::flat(kW, kH, kWall, 0.8f));
    vizor_dev_t list[2];
    vizor_dev_t *dev = vizor_dev_list(list, 2) == 1 ? vizor_dev_open(&list[0]) : nullptr;
    if (!dev) {
        state.SkipWithError("cannot open the virtual epc660");
        return;
    }
    apiLoadConfig(1, 32);
    apiSetIntegrationTime3D(1000);
    apiCorrectDRNU(2);
    apiCorrectTemperature(1);

    std::mt19937 rng(20261210);
    std::vector<uint8_t> raw(8 * kW * kH);
    std::vector<float> dist(kW * kH);
    Totals t;
    uint64_t restarts = 0;
    const bool trace = std::getenv("VIZOR_SOAK_TRACE") != nullptr;
    for (auto _ : state) {
        for (size_t got = 0; got < g_frames;) {
            if (restarts > 0) {
                vizor_cap_stop(dev);
                add_capture_stats(dev, t);
                read_memory(t, got, trace);
            }
            Epoch e;
            e.layout = random_layout(rng);
            cam.fw().set_stream(e.layout);
            e.fault = random_faults(cam, rng);
            if (!vizor_cap_start(dev)) break;
            ++restarts;
            for (size_t n = 0; n < kEpochFrames && got < g_frames; ++n) {
                vizor_frame_info_t info{};
                if (vizor_cap_get_frames(dev, 1, raw.data(), uint32_t(raw.size()), &info) != 1)
                    continue;
                check_frame(dev, raw, info, dist, t, e);
                ++got;
            }
        }
        vizor_cap_stop(dev);
        add_capture_stats(dev, t);
        read_memory(t, g_frames, trace);
    }
    const vcam::FirmwareStats fw = cam.fw().stats();
    uint64_t strikes = 0;
    for (vcam::Fault f : kFaults) strikes += cam.fw().fault_hits(f);
    // A frame cut in two by a wrong index mid-frame is two discards to the
    // host; the calibration data read at open is a frame of its own.
    const uint64_t counted = t.delivered + t.discarded + t.dropped + t.left_in_buffer +
                             fw.frames_unseen + fw.frames_unsent + fw.frames_dropped +
                             fw.calib_frames - fw.frames_split;
    state.counters["sent"] = double(fw.frames_sent);
    state.counters["delivered"] = double(t.delivered);
    state.counters["dropped"] = double(t.dropped);
    state.counters["discarded"] = double(t.discarded);
    state.counters["left_at_stop"] = double(t.left_in_buffer);
    state.counters["unseen"] = double(fw.frames_unseen);
    state.counters["unsent"] = double(fw.frames_unsent);
    state.counters["split"] = double(fw.frames_split);
    state.counters["unaccounted"] = double(int64_t(fw.frames_sent) - int64_t(counted));
    state.counters["corrupted"] = double(t.corrupted);
    state.counters["decode_failed"] = double(t.decode_failed);
    state.counters["fault_strikes"] = double(strikes);
    state.counters["restarts"] = double(restarts);
    state.counters["heap_warm_kb"] = t.heap_warm;
    state.counters["heap_max_kb"] = t.heap_max;
    state.counters["heap_end_kb"] = t.heap_end;
    state.counters["rss_warm_kb"] = t.rss_warm;
    state.counters["rss_max_kb"] = t.rss_max;
    state.counters["rss_end_kb"] = t.rss_end;
    state.counters["frames/s"] =
        benchmark::Counter(double(t.delivered), benchmark::Counter::kIsRate);
    vizor_dev_close(dev);
    if (t.corrupted || t.decode_failed)
        std::fprintf(stderr, "FAILED: corrupted or undecodable frames\n");
}
BENCHMARK(BM_EpcSoak)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    vcam::ensure_preload(argv);
    vzb::take_frames_arg(argc, argv, g_frames);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
