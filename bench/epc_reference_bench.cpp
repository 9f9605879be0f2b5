// Reference loops for the EPC decode of a 320 x 240 frame, compared in the
// same run with the decode's own cases (epc_decode_cases.cpp, linked into
// this program where the virtual camera is built):
//   - OpenCV's float pipeline on the four DCS planes: two subtractions to
//     float, cartToPolar, a scale from radians to metres (one thread);
//   - the hand loop that converts 16-bit distance codes to float metres,
//     status markers included;
//   - memory floors: one copy of the raw frame, and a pass that reads the
//     four planes (614,400 B) and writes one 16-bit plane (153,600 B), and
//     one that reads them and writes a distance and an amplitude plane
//     (307,200 B).
// Scenes (argument): 0 flat wall, 1 room (distances and reflectivities vary
// over the image), 2 depths spread over the whole unambiguous range. Reports
// processor time per frame; add
//   --benchmark_repetitions=7 --benchmark_enable_random_interleaving=true
// and read the min and median rows.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <opencv2/core.hpp>
#include <random>
#include <vector>

#include "epc_bench_scenes.h"

namespace {

using namespace vzb;

// OpenCV's float pipeline: (DCS2 - DCS0, DCS3 - DCS1) as floats, their angle
// with cartToPolar, metres = angle * range / 2 pi.
void BM_OpenCvFloatPipeline(benchmark::State &state) {
    cv::setNumThreads(1);
    auto frame = dcs_frame(Scene(state.range(0)));
    cv::Mat dcs[kPlanes];
    for (int k = 0; k < kPlanes; ++k)
        dcs[k] = cv::Mat(kH, kW, CV_16U, frame.data() + size_t(k) * kPixels);
    cv::Mat a, b, mag, angle, metres;
    const double scale = double(kRangeM) / (2 * kPi);
    for (auto _ : state) {
        cv::subtract(dcs[2], dcs[0], a, cv::noArray(), CV_32F);
        cv::subtract(dcs[3], dcs[1], b, cv::noArray(), CV_32F);
        cv::cartToPolar(a, b, mag, angle);
        angle.convertTo(metres, CV_32F, scale);
        benchmark::DoNotOptimize(metres.data);
        benchmark::ClobberMemory();
    }
    scene_label(state);
}

__attribute__((noinline)) void codes_to_metres(const uint16_t *__restrict in, float *__restrict out,
                                               int n, float per_code) {
    for (int i = 0; i < n; ++i) {
        // Both forms, then a choice as arithmetic (exact: one term is 0),
        // which the compiler vectorises where it does not a select.
        const float v = float(in[i]), marker = v / 1000.0f, scaled = v * per_code;
        const bool is_marker = in[i] >= kFirstMarker;
        out[i] = is_marker * marker + !is_marker * scaled;
    }
}

// The hand loop from distance codes to float metres: markers keep their code
// in thousandths, other codes scale to the period's range.
void BM_CodesToMetresHandLoop(benchmark::State &state) {
    const auto codes = distance_codes(Scene(state.range(0)));
    std::vector<float> metres(kPixels);
    const float per_code = kRangeM / kCodesPerPeriod;
    for (auto _ : state) {
        codes_to_metres(codes.data(), metres.data(), kPixels, per_code);
        benchmark::DoNotOptimize(metres.data());
        benchmark::ClobberMemory();
    }
    scene_label(state);
}

// One copy of the raw four-plane frame.
void BM_MemcpyRawFrame(benchmark::State &state) {
    const auto frame = dcs_frame(Scene(state.range(0)));
    std::vector<uint16_t> copy(frame.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), frame.data(), frame.size() * sizeof(uint16_t));
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    scene_label(state);
}

// Reads the four planes, writes `outputs` 16-bit planes (a trivial function
// of the four samples): the memory traffic of a decode without its
// arithmetic.
void memory_floor(benchmark::State &state, int outputs) {
    const auto frame = dcs_frame(Scene(state.range(0)));
    std::vector<uint16_t> out(size_t(outputs) * kPixels);
    const uint16_t *p0 = frame.data(), *p1 = p0 + kPixels, *p2 = p1 + kPixels, *p3 = p2 + kPixels;
    for (auto _ : state) {
        uint16_t *o = out.data();
        if (outputs == 1) {
            for (int i = 0; i < kPixels; ++i) o[i] = uint16_t(p0[i] ^ p1[i] ^ p2[i] ^ p3[i]);
        } else {
            uint16_t *o2 = o + kPixels;
            for (int i = 0; i < kPixels; ++i) {
                o[i] = uint16_t(p0[i] ^ p2[i]);
                o2[i] = uint16_t(p1[i] ^ p3[i]);
            }
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    scene_label(state);
}
void BM_MemoryFloorOnePlane(benchmark::State &state) { memory_floor(state, 1); }
void BM_MemoryFloorDistanceAmplitude(benchmark::State &state) { memory_floor(state, 2); }

#define VZ_REFERENCE(NAME)              \
    BENCHMARK(NAME)                     \
        ->DenseRange(0, 2)              \
        ->Unit(benchmark::kMicrosecond) \
        ->ComputeStatistics("min", min_of)

VZ_REFERENCE(BM_OpenCvFloatPipeline);
VZ_REFERENCE(BM_CodesToMetresHandLoop);
VZ_REFERENCE(BM_MemcpyRawFrame);
VZ_REFERENCE(BM_MemoryFloorOnePlane);
VZ_REFERENCE(BM_MemoryFloorDistanceAmplitude);

}  // namespace

#ifdef VZ_BENCH_VCAM
#include "vcam/vcam.h"
// The library's own cases open the virtual camera: the program re-executes
// itself under its preload first.
int main(int argc, char **argv) {
    vcam::ensure_preload(argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
#else
BENCHMARK_MAIN();
#endif
