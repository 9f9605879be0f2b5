// Distance-image averaging filters per 320 x 240 frame: the library's
// filters beside the straightforward reference reading, on a random image
// with 20 % low-amplitude markers.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "epc660/image_filter.h"
#include "epc660/image_reference.h"
#include "vizor/epc660.h"

namespace {

constexpr int W = 320, H = 240;

std::vector<uint16_t> frame() {
    std::mt19937 rng(5);
    std::vector<uint16_t> img(W * H);
    for (auto &v : img) v = rng() % 5 == 0 ? 65300 : rng() % 30000;
    return img;
}

template <class F>
void run(benchmark::State &state, F filter) {
    const std::vector<uint16_t> in = frame();
    std::vector<uint16_t> img = in, scratch(in.size());
    for (auto _ : state) {
        filter(img, scratch);
        benchmark::DoNotOptimize(img.data());
        img = in;
    }
    state.SetItemsProcessed(state.iterations());  // frames
}

void BM_FourNeighbour(benchmark::State &s) {
    run(s, [](auto &img, auto &scr) { vz::epc::image::averageFour(img.data(), scr.data(), W, H); });
}
void BM_FourNeighbourReference(benchmark::State &s) {
    run(s, [](auto &img, auto &) { img = ref::four(img, W, H); });
}
void BM_EightNeighbour(benchmark::State &s) {
    run(s,
        [](auto &img, auto &scr) { vz::epc::image::averageEight(img.data(), scr.data(), W, H); });
}
void BM_EightNeighbourReference(benchmark::State &s) {
    run(s, [](auto &img, auto &) { img = ref::eight(img, W, H); });
}
void BM_Temporal(benchmark::State &s) {
    imageSetNumberOfPicture(4);
    run(s, [](auto &img, auto &) { imageAverage(img.data()); });
    imageSetNumberOfPicture(1);
}

BENCHMARK(BM_FourNeighbour);
BENCHMARK(BM_FourNeighbourReference);
BENCHMARK(BM_EightNeighbour);
BENCHMARK(BM_EightNeighbourReference);
BENCHMARK(BM_Temporal);

}  // namespace

BENCHMARK_MAIN();
