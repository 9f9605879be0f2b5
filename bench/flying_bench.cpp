// The flying-pixel filter on a 320 x 240 distance image of blocks with noise
// (many edges): the library's in-place form (baseline 0, AVX2 1, AVX-512 2), its reference (copy and plain
// branches), and a straightforward baseline loop that compares each pixel
// with its right-hand neighbour only. Reports time per frame; the library's
// form should stay within 30 us.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "imgproc/flying.h"

namespace {

constexpr int kW = 320, kH = 240;
constexpr float kT = 0.15f;

std::vector<float> scene() {
    std::mt19937 rng(34);
    std::uniform_real_distribution<float> depth(0.5f, 5.0f), noise(-0.03f, 0.03f);
    std::vector<float> img(size_t(kW) * kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const float block = 1.0f + float((x / 40 + y / 30) % 4);
            img[size_t(y * kW + x)] = block + noise(rng);
        }
    for (size_t i = 0; i < img.size(); i += 53) img[i] = depth(rng);  // strays between blocks
    return img;
}

void BM_Flying(benchmark::State &state) {
    std::vector<float> img = scene();
    for (auto _ : state) {
        vz::flying::apply_at(vz::cpu::Level(state.range(0)), img.data(), kW, kH, kT);
        benchmark::DoNotOptimize(img.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
}

void BM_FlyingReference(benchmark::State &state) {
    std::vector<float> img = scene();
    for (auto _ : state) {
        vz::flying::apply_reference(img.data(), kW, kH, kT);
        benchmark::DoNotOptimize(img.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
}

// The baseline: one neighbour, one branch, into a second image.
void BM_StraightLoop(benchmark::State &state) {
    const std::vector<float> img = scene();
    std::vector<float> out(img.size());
    for (auto _ : state) {
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x + 1 < kW; ++x) {
                const size_t i = size_t(y * kW + x);
                out[i] = std::fabs(img[i] - img[i + 1]) > kT ? 0.0f : img[i];
            }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
}

}  // namespace

BENCHMARK(BM_Flying)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FlyingReference)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StraightLoop)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
