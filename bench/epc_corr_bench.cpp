// Cost of the per-frame corrections of the distance pipeline on a 320x240
// frame: DRNU mode 2 with the temperature term followed by the offset
// addition, in the library's form and in the straightforward form that
// fetches every table value through the module getters. The ratio of the
// two is the speed-up of the library's form. The whole default pipeline on a
// pushed raw frame (calculation + DRNU mode 2 + temperature + offset) is
// measured beside the calculation alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <ctime>
#include <random>
#include <vector>

#include "epc660/calibration.h"
#include "epc660/correction.h"
#include "vizor/epc660.h"

// Counts heap allocations through glibc's entry points: the pipeline must make none.
#include "alloc_hook.h"

namespace {

namespace cal = vz::epc::cal;

constexpr int kPixels = 320 * 240;
constexpr int kSteps = 30;

// Processor time of this process (the machine is shared: the wall clock
// also counts other programs' turns).
double cpu_us() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

// A monotonic 30-step calibration and a frame of a tilted wall inside its
// range with a few markers, as after the distance calculation.
struct Scene {
    std::vector<uint16_t> frame;
    Scene() {
        std::mt19937 rng(11);
        calibrateSetWidth(320);
        calibrateSetHeight(240);
        calibrateSetNumDistances(kSteps);
        uint16_t *im = cal::dist_images_mut(1);
        std::uniform_int_distribution<int> base(6000, 7000), inc(690, 740), pick(0, 99);
        for (int q = 0; q < kPixels; ++q) {
            int v = base(rng);
            for (int i = 0; i < kSteps; ++i, v += inc(rng)) im[i * kPixels + q] = (uint16_t)v;
        }
        cal::rebuild_minmax(1);
        pruSetSize(320, 120);
        readOutSetROI(4, 323, 6, 125, 0);
        // A tilted wall: codes rise smoothly across the image, with noise.
        frame.resize(kPixels);
        std::normal_distribution<double> noise(0, 40);
        for (int q = 0; q < kPixels; ++q)
            frame[q] = pick(rng) < 3
                           ? 65300
                           : (uint16_t)(9000 + 30 * (q % 320) + 20 * (q / 320) + noise(rng));
        calculationSetEnableDRNU(2);
        calculationSetEnableTemperature(1);
        const uint16_t t[2] = {380, 0};
        temperatureSetTemperatureByFrameHeader(t);
    }
};

Scene &scene() {
    static Scene s;
    return s;
}

void BM_CorrectionsFast(benchmark::State &state) {
    Scene &s = scene();
    std::vector<uint16_t> img(kPixels);
    double best = 1e30;
    for (auto _ : state) {
        img = s.frame;
        const double t0 = cpu_us();
        calculationCorrectDRNU2_opt(img.data(), img.data());
        calculationAddOffset(img.data());
        best = std::min(best, cpu_us() - t0);
        benchmark::DoNotOptimize(img.data());
    }
    state.counters["best_us_per_frame"] = best;
    state.SetItemsProcessed(state.iterations() * kPixels);
}

void BM_CorrectionsStraightforward(benchmark::State &state) {
    Scene &s = scene();
    std::vector<uint16_t> img(kPixels);
    double best = 1e30;
    for (auto _ : state) {
        img = s.frame;
        const double t0 = cpu_us();
        vz::epc::corr::ref_drnu2(img.data(), img.data());
        vz::epc::corr::ref_add_offset(img.data());
        best = std::min(best, cpu_us() - t0);
        benchmark::DoNotOptimize(img.data());
    }
    state.counters["best_us_per_frame"] = best;
    state.SetItemsProcessed(state.iterations() * kPixels);
}

// A raw 4-DCS frame of a wall whose phase rises along the rows, inside the
// calibrated range.
std::vector<uint16_t> raw_frame() {
    std::vector<uint16_t> raw(4 * kPixels);
    for (int i = 0; i < kPixels; ++i) {
        const double th = 6.283185307179586 * (0.35 + 0.3 * (i % 320) / 320.0);
        for (int k = 0; k < 4; ++k)
            raw[k * kPixels + i] = (uint16_t)(2048 + 500 * std::cos(th + k * 1.5707963267948966));
    }
    return raw;
}

// The distance pipeline on a pushed raw frame: calculation, then (when on)
// DRNU mode 2 with the temperature term and the offset addition.
void pipeline(benchmark::State &state, int drnu) {
    scene();
    uint16_t *im = cal::dist_images_mut(1);
    for (int q = 0; q < kPixels; ++q)
        for (int i = 0; i < kSteps; ++i) im[i * kPixels + q] = (uint16_t)(1500 + 950 * i + q % 7);
    cal::rebuild_minmax(1);
    pruInit();
    atan2lut_Init();
    calculationEnablePiDelay(1);
    calculationSetEnableDRNU(drnu);
    calculationSetEnableTemperature(drnu != 0);
    std::vector<uint16_t> raw = raw_frame();
    epc_raw_image_t rec{};
    rec.frame_info.frame_size = (uint32_t)raw.size() * 2;
    double best = 1e30, total = 0;
    long allocs = 0;
    for (auto _ : state) {
        rec.frame_data = raw.data();
        pruSetImage(&rec);
        uint16_t *out = nullptr;
        const long before = vzt::allocations();
        const double t0 = cpu_us();
        benchmark::DoNotOptimize(calculationDistanceSorted(&out));
        const double t = cpu_us() - t0;
        allocs += vzt::allocations() - before;
        total += t;
        best = std::min(best, t);
    }
    state.counters["cpu_us_per_frame"] = total / double(state.iterations());
    state.counters["best_us_per_frame"] = best;
    state.counters["allocs_per_frame"] = double(allocs) / double(state.iterations());
}

void BM_PipelineDefault(benchmark::State &state) { pipeline(state, 2); }
void BM_PipelineCalculationOnly(benchmark::State &state) { pipeline(state, 0); }

}  // namespace

BENCHMARK(BM_PipelineDefault)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PipelineCalculationOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CorrectionsFast)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CorrectionsStraightforward)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
