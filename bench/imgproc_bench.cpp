// Per-frame image work on caller buffers: undistortion of a 320 x 240 image
// through a 640 x 480 map, its point cloud, and its colouring, each beside
// its straightforward twin (the scalar loop it is checked against). The point
// cloud runs with 0, 25 and 100 % invalid pixels beside the float loop a
// caller would write for it. Reports nanoseconds per pixel and heap
// allocations per frame (which must be 0). Compare within one run, best with
// --benchmark_enable_random_interleaving=true on a shared machine.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "alloc_hook.h"
#include "base/cpu.h"
#include "core/convert.h"
#include "core/globals.h"
#include "imgproc/cmap_metres.h"
#include "vizor/cmap.h"
#include "vizor/lens.h"
#include "vizor/vizor.h"

namespace {

constexpr int kW = 320, kH = 240, kPixels = kW * kH;

const vz_lens_param_t kEpcLens = {
    324.00744, 220.10985, 638.66337, 638.51692, {-0.27313, 0.14523, -0.00099, 0.00032, 0.0},
    640,       480};
const vizor_camera_param_t kEpc320 = {162.00372f, 110.054925f, 319.331685f, 319.25846f, 1.0f};

std::vector<float> distances() {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> d(0.3f, 6.0f);
    std::vector<float> v(kPixels);
    for (float &x : v) x = d(rng);
    return v;
}

// Reports seconds per pixel (shown as "n" for nanoseconds) and the heap
// allocations of a call made before the timed loop.
void finish(benchmark::State &state, long allocs_per_call) {
    state.counters["sec_per_px"] =
        benchmark::Counter(double(kPixels), benchmark::Counter::kIsIterationInvariantRate |
                                                benchmark::Counter::kInvert);
    state.counters["allocs_per_call"] = double(allocs_per_call);
}

// Heap allocations made by a call of f after a first one (which may build
// what later frames reuse, as the undistortion's index map).
template <class F>
long allocations_of(F &&f) {
    f();
    const long before = vzt::allocations();
    f();
    return vzt::allocations() - before;
}

void BM_Undistort320From640Map(benchmark::State &state) {
    vz_calib_map_t map{};
    vz_calib_len_init_map(&map, &kEpcLens);
    const auto src = distances();
    std::vector<float> dst(kPixels);
    auto call = [&] {
        vz_calib_len_undistort(&map, dst.data(), kPixels, src.data(), kW, kH, 30.0f);
    };
    const long allocs = allocations_of(call);
    for (auto _ : state) {
        call();
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    finish(state, allocs);
    vz_calib_len_uninit_map(&map);
}
BENCHMARK(BM_Undistort320From640Map);

double min_of(const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); }

// Distances with the given percentage of invalid pixels (no distance, NaN,
// the status markers), spread at random over the image.
std::vector<float> distances_with_invalid(int percent) {
    auto v = distances();
    const float invalid[] = {0.0f, NAN, 65.3f, 65.4f, 65.5f, -1.0f};
    std::mt19937 rng(9);
    for (float &x : v)
        if (int(rng() % 100) < percent) x = invalid[rng() % std::size(invalid)];
    return v;
}

void invalid_label(benchmark::State &state) {
    state.SetLabel(std::to_string(state.range(0)) + " % invalid");
}

// Arguments: percentage of invalid pixels, highest instruction-set level
// (0 scalar, 1 AVX2, 2 AVX-512).
void BM_FrameGetPcl320(benchmark::State &state) {
    vz::cpu::level_cap().store(int(state.range(1)));
    vizor_dev_t dev{};
    const auto dist = distances_with_invalid(int(state.range(0)));
    std::vector<float> pcl(3 * kPixels);
    auto call = [&] {
        return vizor_frame_get_pcl(&dev, pcl.data(), int(pcl.size()), dist.data(), kPixels, kW, kH,
                                   &kEpc320);
    };
    const long allocs = allocations_of(call);
    for (auto _ : state) {
        benchmark::DoNotOptimize(call());
        benchmark::ClobberMemory();
    }
    finish(state, allocs);
    vz::cpu::level_cap().store(int(vz::cpu::Level::avx512));
    invalid_label(state);
}
BENCHMARK(BM_FrameGetPcl320)->ArgsProduct({{0, 25, 100}, {1, 2}})->ComputeStatistics("min", min_of);

// The reference the point clouds are held to: the float loop a caller writes
// for the same projection, every pixel (no validity test, no compaction),
// per-row and per-column terms hoisted, three float divisions per point.
void BM_PclFloatLoop320(benchmark::State &state) {
    const auto dist = distances_with_invalid(int(state.range(0)));
    std::vector<float> pcl(3 * kPixels);
    const float cx = kEpc320.cx, cy = kEpc320.cy, fx = kEpc320.fx, fy = kEpc320.fy;
    std::vector<float> dx(kW), rx(kW);
    for (int x = 0; x < kW; ++x) {
        dx[size_t(x)] = float(x) - cx;
        rx[size_t(x)] = std::sqrt(dx[size_t(x)] * dx[size_t(x)] + fx * fx);
    }
    for (auto _ : state) {
        float *out = pcl.data();
        for (int y = 0; y < kH; ++y) {
            const float dy = float(y) - cy, ry = std::sqrt(dy * dy + fy * fy);
            const float *row = dist.data() + y * kW;
            for (int x = 0; x < kW; ++x, out += 3) {
                const float d = row[x];
                out[0] = d * dx[size_t(x)] / rx[size_t(x)];
                out[1] = d * dy / ry;
                out[2] = d * fx / rx[size_t(x)];
            }
        }
        benchmark::DoNotOptimize(pcl.data());
        benchmark::ClobberMemory();
    }
    finish(state, 0);
    invalid_label(state);
}
BENCHMARK(BM_PclFloatLoop320)->Arg(0)->Arg(25)->Arg(100)->ComputeStatistics("min", min_of);

void BM_CmapFloat320(benchmark::State &state) {
    vz_cmap_init(&vz::library_cmap(), 30000);
    const auto dist = distances();
    std::vector<uint8_t> rgb(3 * kPixels);
    auto call = [&] {
        return vizor_cmap_float(rgb.data(), int(rgb.size()), dist.data(), kPixels,
                                VIZOR_CMAP_FMT_RGB, 0.0f, 6.0f);
    };
    const long allocs = allocations_of(call);
    for (auto _ : state) {
        benchmark::DoNotOptimize(call());
        benchmark::ClobberMemory();
    }
    finish(state, allocs);
    vz_cmap_uninit(&vz::library_cmap());
}
BENCHMARK(BM_CmapFloat320);

// The projection's straightforward loop on the same image.
void BM_FrameGetPcl320Straightforward(benchmark::State &state) {
    const auto dist = distances_with_invalid(int(state.range(0)));
    std::vector<float> pcl(3 * kPixels);
    const vz::PclCamera cam{kEpc320.cx, kEpc320.cy, kEpc320.fx, kEpc320.fy, kEpc320.dist_scale};
    for (auto _ : state) {
        benchmark::DoNotOptimize(vz::project_points_reference(
            cam, pcl.data(), int(pcl.size()), dist.data(), kW, kH, vz::PclExtra::None));
        benchmark::ClobberMemory();
    }
    finish(state, 0);
    invalid_label(state);
}
BENCHMARK(BM_FrameGetPcl320Straightforward)
    ->Arg(0)
    ->Arg(25)
    ->Arg(100)
    ->ComputeStatistics("min", min_of);

// The colouring's straightforward loop (one vz_cmap_get_color per pixel) with
// the range vizor_cmap_float sets.
void BM_CmapFloat320Straightforward(benchmark::State &state) {
    vz_cmap_t map{};
    vz_cmap_init(&map, 30000);
    vz_cmap_set_range(&map, 0, 6000);
    const auto dist = distances();
    std::vector<uint8_t> rgb(3 * kPixels);
    for (auto _ : state) {
        vz::cmap::colour_metres_reference(map, dist.data(), kPixels, rgb.data(),
                                          vz::cmap::Layout::rgb);
        benchmark::DoNotOptimize(rgb.data());
        benchmark::ClobberMemory();
    }
    finish(state, 0);
    vz_cmap_uninit(&map);
}
BENCHMARK(BM_CmapFloat320Straightforward);

}  // namespace

BENCHMARK_MAIN();
