// Per-frame image work on caller buffers: undistortion of a 320 x 240 image
// through a 640 x 480 map, its point cloud, and its colouring. Reports
// nanoseconds per pixel and heap allocations per frame (which must be 0).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <random>
#include <vector>

#include "core/globals.h"
#include "vizor/cmap.h"
#include "vizor/lens.h"
#include "vizor/vizor.h"

// Counts every heap allocation of the process through glibc's own entry
// points. Sanitizers bring their own allocator: there nothing is counted.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VZ_BENCH_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VZ_BENCH_SANITIZED 1
#endif

static std::atomic<long> g_allocs{0};
#ifndef VZ_BENCH_SANITIZED
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *malloc(size_t n) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t m) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, m);
}
extern "C" void *realloc(void *p, size_t n) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
#endif

namespace {

constexpr int kW = 320, kH = 240, kPixels = kW * kH;

const vz_lens_param_t kEpcLens = {324.00744, 220.10985, 638.66337, 638.51692,
                                  {-0.27313, 0.14523, -0.00099, 0.00032, 0.0}, 640, 480};
const vizor_camera_param_t kEpc320 = {162.00372f, 110.054925f, 319.331685f, 319.25846f, 1.0f};

std::vector<float> distances() {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> d(0.3f, 6.0f);
    std::vector<float> v(kPixels);
    for (float &x : v) x = d(rng);
    return v;
}

// Reports seconds per pixel (shown as "n" for nanoseconds) and the heap
// allocations of one call made before the timed loop.
void finish(benchmark::State &state, long allocs_per_call) {
    state.counters["sec_per_px"] = benchmark::Counter(
        double(kPixels), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["allocs_per_call"] = double(allocs_per_call);
}

// Heap allocations made by one call of f.
template <class F>
long allocations_of(F &&f) {
    const long before = g_allocs.load();
    f();
    return g_allocs.load() - before;
}

void BM_Undistort320From640Map(benchmark::State &state) {
    vz_calib_map_t map{};
    vz_calib_len_init_map(&map, &kEpcLens);
    const auto src = distances();
    std::vector<float> dst(kPixels);
    auto call = [&] { vz_calib_len_undistort(&map, dst.data(), kPixels, src.data(), kW, kH, 30.0f); };
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

void BM_FrameGetPcl320(benchmark::State &state) {
    vizor_dev_t dev{};
    const auto dist = distances();
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
}
BENCHMARK(BM_FrameGetPcl320);

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

}  // namespace

BENCHMARK_MAIN();
