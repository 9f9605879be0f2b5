// EPC distance and amplitude calculation on 320 x 240 frames: the distance
// pipeline with the corrections off (4-DCS sine), the calculation variants
// (2 DCS, PN, dual MGX) and the gray sorter, each through the row loops and
// through the straightforward per-pixel reading in the same run. Reports
// processor microseconds per frame (mean and best frame), heap allocations
// per frame (which must be 0) and, at the end, the speed-up of every row
// loop over the per-pixel reading on the best frames.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "epc660/calc.h"
#include "epc660/calc_frame.h"
#include "vizor/epc660.h"

// Counts every heap allocation of the process through glibc's own entry points.
#include "alloc_hook.h"

namespace {

using vz::epc::calc::Path;

constexpr int kW = 320, kH = 240, kPixels = kW * kH;

// A scene of smooth distances and reflectivities with noise, as the four
// sine-modulation samples of each pixel (plane k at k x pixels, in readout
// order; the layout does not change the work per pixel).
std::vector<uint16_t> sine_frame(int planes) {
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 6.0);
    std::vector<uint16_t> f(size_t(planes) * kPixels);
    for (int i = 0; i < kPixels; ++i) {
        const int x = i % kW, y = i / kW;
        const double phase = 0.4 + 2.2 * x / kW + 1.1 * y / kH;
        const double amp = 250.0 + 900.0 * (0.5 + 0.5 * std::sin(0.05 * x) * std::cos(0.07 * y));
        for (int k = 0; k < planes; ++k) {
            const double v = 2048.0 + amp * std::cos(phase - k * M_PI / 2) + noise(rng);
            f[size_t(k) * kPixels + size_t(i)] =
                uint16_t(std::lround(std::fmin(4095.0, std::fmax(0.0, v))));
        }
    }
    return f;
}

epc_raw_image_t g_raw;

void push(std::vector<uint16_t> &frame) {
    g_raw = {};
    g_raw.frame_info.frame_size = uint32_t(frame.size() * 2);
    g_raw.frame_data = frame.data();
    pruSetImage(&g_raw);
}

// The epc660 with its full readout, every correction and filter off.
void setup(int dcs, bool pi, bool mgx, bool pn) {
    vz::epc::calc::reset_for_tests();
    configSetPartType(2);
    pruInit();
    pruSetDCS(dcs);
    calculationEnablePiDelay(pi);
    calculationEnableDualMGX(mgx);
    calculationEnablePN(pn);
    atan2lut_Init();
    hysteresisSetThresholds(30, 20);
}

std::map<std::string, double> g_us;  // best microseconds per frame by benchmark name

// Processor time of this process: on a shared machine the wall clock also
// counts other programs' turns. The best frame shows what the machine can do.
double cpu_us() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

template <class F>
void measure(benchmark::State &state, const char *name, Path path, std::vector<uint16_t> &frame,
             F &&call) {
    vz::epc::calc::set_path(path);
    push(frame);
    call();  // warm-up: buffers and tables touched once
    long allocs = 0;
    double best = 1e30, total = 0;
    for (auto _ : state) {
        push(frame);
        const long before = vzt::allocations();
        const double t0 = cpu_us();
        benchmark::DoNotOptimize(call());
        const double t = cpu_us() - t0;
        allocs += vzt::allocations() - before;
        benchmark::ClobberMemory();
        total += t;
        if (t < best) best = t;
    }
    const double frames = double(state.iterations());
    state.counters["cpu_us_per_frame"] = total / frames;
    state.counters["best_us_per_frame"] = best;
    state.counters["allocs_per_frame"] = double(allocs) / frames;
    g_us[std::string(name) + (path == Path::Reference ? "/reference" : "/rows")] = best;
    state.SetLabel(path == Path::Reference ? "per-pixel reading"
                                           : std::string("rows, ") + vz::epc::calc::simd_isa());
}

#define VZ_CASE(NAME, DCS, PI, MGX, PN, CALL)                                      \
    void BM_##NAME(benchmark::State &state, Path path) {                           \
        setup(DCS, PI, MGX, PN);                                                   \
        auto frame = sine_frame(DCS);                                              \
        uint16_t *out = nullptr;                                                   \
        measure(state, #NAME, path, frame, [&] { return CALL; });                  \
    }                                                                              \
    BENCHMARK_CAPTURE(BM_##NAME, rows, Path::Simd)->Unit(benchmark::kMicrosecond); \
    BENCHMARK_CAPTURE(BM_##NAME, reference, Path::Reference)->Unit(benchmark::kMicrosecond);

VZ_CASE(DistanceAndAmplitudeSorted4DCS, 4, true, false, false,
        calculationDistanceAndAmplitudeSorted(&out))
VZ_CASE(Variant4DCS, 4, true, false, false, calcDefPiDelayGetDataSorted(2, &out))
VZ_CASE(Variant2DCS, 2, false, false, false, calcDefNoPiDelayGetDataSorted(2, &out))
VZ_CASE(VariantPN4DCS, 4, true, false, true, calcPNDefPiDelayGetDataSorted(2, &out))
VZ_CASE(VariantDualMGX, 2, true, true, false, calcMGXPiDelayGetDataSorted(2, &out))
VZ_CASE(GraySorter, 1, false, false, false, calcBWSorted(&out))

}  // namespace

int main(int argc, char **argv) {
    // VZ_EPC_ISA=avx2|avx512|none picks the SIMD kernel (default: the best).
    if (const char *isa = getenv("VZ_EPC_ISA")) vz::epc::calc::set_simd_isa(isa);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nbest frame, row loops (%s) against the per-pixel reading:\n",
                vz::epc::calc::simd_isa());
    for (const auto &[name, us] : g_us) {
        const auto slash = name.rfind('/');
        if (name.substr(slash) != "/rows") continue;
        const auto ref = g_us.find(name.substr(0, slash) + "/reference");
        if (ref == g_us.end()) continue;
        std::printf("  %-32s %8.1f us/frame, reference %8.1f us/frame, %5.1fx\n",
                    name.substr(0, slash).c_str(), us, ref->second, ref->second / us);
    }
    return 0;
}
