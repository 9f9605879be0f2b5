// Exact 3D of a 320 x 240 distance image through the EPC camera's lens:
// organised points and z-depth (metres and millimetres) by the library's
// kept ray table, at each instruction-set level and as the reference loops,
// against the baseline of a straightforward float loop that multiplies each
// distance by a precomputed ray (no validity test). Reports ns per pixel;
// the library forms should take at most the baseline's time.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "base/cpu.h"
#include "imgproc/rays.h"
#include "vizor/lens.h"

namespace {

constexpr int kW = 320, kH = 240, kPixels = kW * kH;
const vz_lens_param_t kEpcLens = {
    162.00372, 110.054925, 319.331685, 319.25846, {-0.27313, 0.14523, -0.00099, 0.00032, 0.0},
    320,       240};

struct Setup {
    std::vector<float> dist, xyz, z, ray, rz;
    std::vector<uint16_t> mm;
    std::shared_ptr<const vz::rays::Table> table;
    Setup()
        : dist(kPixels), xyz(3 * kPixels), z(kPixels), ray(3 * kPixels), rz(kPixels), mm(kPixels) {
        std::mt19937 rng(5);
        std::uniform_real_distribution<float> d(0.3f, 6.0f);
        for (float &v : dist) v = d(rng);
        for (int i = 0; i < kPixels; i += 97) dist[size_t(i)] = 65.3f;  // a few markers
        table = vz::rays::build(kEpcLens, vz::rays::Window{0, 0, 1, 1}, kW, kH);
        vz_lens_rays(&kEpcLens, nullptr, kW, kH, ray.data(), int(ray.size()));
        for (size_t i = 0; i < rz.size(); ++i) rz[i] = ray[3 * i + 2];
    }
};

void per_pixel(benchmark::State &state) {
    using C = benchmark::Counter;
    state.counters["sec_per_px"] = C(double(kPixels), C::kIsIterationInvariantRate | C::kInvert);
}

template <class F>
void run(benchmark::State &state, F &&f) {
    Setup s;
    for (auto _ : state) {
        f(s);
        benchmark::ClobberMemory();
    }
    per_pixel(state);
}

// Argument: the highest instruction-set level (0 scalar, 1 AVX2).
template <class F>
void at_level(benchmark::State &state, F &&f) {
    if (state.range(0) > int(vz::cpu::detected())) return state.SkipWithError("not on this CPU");
    vz::cpu::level_cap().store(int(state.range(0)));
    run(state, f);
    vz::cpu::level_cap().store(int(vz::cpu::Level::avx512));
}

void BM_BaselinePoints(benchmark::State &state) {
    run(state, [](Setup &s) {
        for (size_t i = 0; i < size_t(kPixels); ++i) {
            s.xyz[3 * i] = s.dist[i] * s.ray[3 * i];
            s.xyz[3 * i + 1] = s.dist[i] * s.ray[3 * i + 1];
            s.xyz[3 * i + 2] = s.dist[i] * s.ray[3 * i + 2];
        }
        benchmark::DoNotOptimize(s.xyz.data());
    });
}

void BM_BaselineDepth(benchmark::State &state) {
    run(state, [](Setup &s) {
        for (size_t i = 0; i < size_t(kPixels); ++i) s.z[i] = s.dist[i] * s.rz[i];
        benchmark::DoNotOptimize(s.z.data());
    });
}

void BM_LensPoints(benchmark::State &state) {
    at_level(state, [](Setup &s) {
        vz_lens_points(&kEpcLens, nullptr, s.xyz.data(), int(s.xyz.size()), s.dist.data(), kW, kH,
                       VZ_POINTS_ORGANISED);
        benchmark::DoNotOptimize(s.xyz.data());
    });
}

void BM_LensDepth(benchmark::State &state) {
    at_level(state, [](Setup &s) {
        vz_lens_depth(&kEpcLens, nullptr, s.z.data(), kPixels, s.dist.data(), kW, kH);
        benchmark::DoNotOptimize(s.z.data());
    });
}

void BM_LensDepthMm(benchmark::State &state) {
    at_level(state, [](Setup &s) {
        vz_lens_depth_mm(&kEpcLens, nullptr, s.mm.data(), kPixels, s.dist.data(), kW, kH);
        benchmark::DoNotOptimize(s.mm.data());
    });
}

void BM_PointsReference(benchmark::State &state) {
    run(state, [](Setup &s) {
        vz::rays::points_reference(*s.table, s.dist.data(), s.xyz.data());
        benchmark::DoNotOptimize(s.xyz.data());
    });
}

void BM_DepthReference(benchmark::State &state) {
    run(state, [](Setup &s) {
        vz::rays::depth_reference(*s.table, s.dist.data(), s.z.data());
        benchmark::DoNotOptimize(s.z.data());
    });
}

// The table itself, built once per lens and image size.
void BM_BuildTable(benchmark::State &state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(vz::rays::build(kEpcLens, vz::rays::Window{0, 0, 1, 1}, kW, kH));
    per_pixel(state);
}

}  // namespace

BENCHMARK(BM_BaselinePoints);
BENCHMARK(BM_LensPoints)->Arg(0)->Arg(1);
BENCHMARK(BM_PointsReference);
BENCHMARK(BM_BaselineDepth);
BENCHMARK(BM_LensDepth)->Arg(0)->Arg(1);
BENCHMARK(BM_LensDepthMm)->Arg(0)->Arg(1);
BENCHMARK(BM_DepthReference);
BENCHMARK(BM_BuildTable)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
