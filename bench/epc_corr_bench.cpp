// Cost of the per-frame corrections of the distance pipeline on a 320x240
// frame: DRNU mode 2 with the temperature term followed by the offset
// addition, in the library's form and in the straightforward form that
// fetches every table value through the module getters. The ratio of the
// two is printed as the "ratio" counter of the straightforward runs.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "epc660/calibration.h"
#include "epc660/correction.h"
#include "vizor/epc660.h"

namespace {

namespace cal = vz::epc::cal;

constexpr int kPixels = 320 * 240;
constexpr int kSteps = 30;

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
            frame[q] = pick(rng) < 3 ? 65300
                                     : (uint16_t)(9000 + 30 * (q % 320) + 20 * (q / 320) +
                                                  noise(rng));
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
    for (auto _ : state) {
        img = s.frame;
        calculationCorrectDRNU2_opt(img.data(), img.data());
        calculationAddOffset(img.data());
        benchmark::DoNotOptimize(img.data());
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

void BM_CorrectionsStraightforward(benchmark::State &state) {
    Scene &s = scene();
    std::vector<uint16_t> img(kPixels);
    for (auto _ : state) {
        img = s.frame;
        vz::epc::corr::ref_drnu2(img.data(), img.data());
        vz::epc::corr::ref_add_offset(img.data());
        benchmark::DoNotOptimize(img.data());
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

}  // namespace

BENCHMARK(BM_CorrectionsFast)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CorrectionsStraightforward)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
