// Undistortion of a 320 x 240 image through the EPC camera's 640 x 480 map:
// the library call at each instruction-set level, the straightforward gather
// it replaced, and OpenCV's remap (nearest neighbour, CV_16SC2 map, one
// thread) on the same image and map. Reports nanoseconds per pixel.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "base/cpu.h"
#include "imgproc/lens_model.h"
#include "vizor/lens.h"

namespace {

constexpr int kW = 320, kH = 240, kPixels = kW * kH;
const vz_lens_param_t kEpcLens = {
    324.00744, 220.10985, 638.66337, 638.51692, {-0.27313, 0.14523, -0.00099, 0.00032, 0.0},
    640,       480};

struct Setup {
    vz_calib_map_t map{};
    std::vector<float> src, dst;
    Setup() : src(kPixels), dst(kPixels) {
        vz_calib_len_init_map(&map, &kEpcLens);
        std::mt19937 rng(3);
        std::uniform_real_distribution<float> d(0.3f, 6.0f);
        for (float &v : src) v = d(rng);
    }
    ~Setup() { vz_calib_len_uninit_map(&map); }
};

void per_pixel(benchmark::State &state) {
    using C = benchmark::Counter;
    state.counters["sec_per_px"] = C(double(kPixels), C::kIsIterationInvariantRate | C::kInvert);
}

// Argument: the highest instruction-set level (0 scalar, 1 AVX2, 2 AVX-512).
void BM_Undistort(benchmark::State &state) {
    if (state.range(0) > int(vz::cpu::detected())) return state.SkipWithError("not on this CPU");
    vz::cpu::level_cap().store(int(state.range(0)));
    Setup s;
    for (auto _ : state) {
        vz_calib_len_undistort(&s.map, s.dst.data(), kPixels, s.src.data(), kW, kH, 30.0f);
        benchmark::DoNotOptimize(s.dst.data());
        benchmark::ClobberMemory();
    }
    vz::cpu::level_cap().store(int(vz::cpu::Level::avx512));
    per_pixel(state);
}

void BM_UndistortStraightforward(benchmark::State &state) {
    Setup s;
    for (auto _ : state) {
        vz::lens::undistort_reference(s.map, s.dst.data(), s.src.data(), kW, kH, 30.0f);
        benchmark::DoNotOptimize(s.dst.data());
        benchmark::ClobberMemory();
    }
    per_pixel(state);
}

void BM_OpenCvRemapNearest16SC2(benchmark::State &state) {
    cv::setNumThreads(1);
    Setup s;
    // The same map sampled for the source size: every second entry, halved.
    cv::Mat fmap(kH, kW, CV_32FC2);
    for (int r = 0; r < kH; ++r)
        for (int c = 0; c < kW; ++c) {
            const size_t m = size_t(2 * r) * 640 + size_t(2 * c);
            fmap.at<cv::Vec2f>(r, c) = cv::Vec2f(s.map.map_x[m] / 2, s.map.map_y[m] / 2);
        }
    cv::Mat map1, map2;
    cv::convertMaps(fmap, cv::noArray(), map1, map2, CV_16SC2, true);
    const cv::Mat src(kH, kW, CV_32F, s.src.data());
    cv::Mat dst(kH, kW, CV_32F, s.dst.data());
    for (auto _ : state) {
        cv::remap(src, dst, map1, cv::noArray(), cv::INTER_NEAREST, cv::BORDER_CONSTANT,
                  cv::Scalar(30.0));
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
    per_pixel(state);
}

}  // namespace

BENCHMARK(BM_OpenCvRemapNearest16SC2);
BENCHMARK(BM_UndistortStraightforward);
BENCHMARK(BM_Undistort)->ArgName("level")->DenseRange(0, 2);
BENCHMARK(BM_OpenCvRemapNearest16SC2);

BENCHMARK_MAIN();
