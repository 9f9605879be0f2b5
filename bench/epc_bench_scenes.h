// Scenes of the EPC decode benchmarks, shared by the references and the
// library's own cases so that both work on the same frames: four DCS planes
// of a 320 x 240 frame, or the distance codes a decode would give.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace vzb {

constexpr int kW = 320, kH = 240, kPixels = kW * kH, kPlanes = 4;
constexpr uint16_t kFirstMarker = 65300;     // distance codes from here on are markers
constexpr float kRangeM = 12.5f;             // metres of one period at 12 MHz
constexpr float kCodesPerPeriod = 30000.0f;  // distance codes of one period
constexpr double kPi = 3.14159265358979323846;

enum Scene { flat = 0, room = 1, spread = 2 };

// Phase (radians) and amplitude (ADC counts) of pixel (x, y) in a scene.
inline void scene_pixel(Scene s, int x, int y, double &phase, double &amp) {
    switch (s) {
    case flat:
        phase = 0.9;
        amp = 700.0;
        return;
    case room: {
        // A floor, two walls and a box: phase from the ray length, amplitude
        // falling with distance.
        const double u = double(x) / kW - 0.5, v = double(y) / kH - 0.5;
        double d = 2.5 + 1.5 * std::fabs(u) + (v > 0.2 ? -3.0 * (v - 0.2) : 0.0);
        if (std::fabs(u - 0.1) < 0.12 && std::fabs(v) < 0.15) d = 1.2;
        phase = 2 * kPi * d / kRangeM;
        amp = 200.0 + 1500.0 / (d * d);
        return;
    }
    case spread:
        phase = 2 * kPi * double((x * 131 + y * 71) % kW) / kW;
        amp = 150.0 + 1000.0 * double(y) / kH;
        return;
    }
}

// Four DCS planes of 12-bit samples with noise, plane k after plane k - 1.
inline std::vector<uint16_t> dcs_frame(Scene s) {
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0.0, 5.0);
    std::vector<uint16_t> f(size_t(kPlanes) * kPixels);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            double phase = 0, amp = 0;
            scene_pixel(s, x, y, phase, amp);
            for (int k = 0; k < kPlanes; ++k) {
                const double v = 2048.0 + amp * std::cos(phase + k * kPi / 2) + noise(rng);
                f[size_t(k) * kPixels + size_t(y * kW + x)] =
                    uint16_t(std::lround(std::clamp(v, 0.0, 4095.0)));
            }
        }
    return f;
}

// Distance codes of a scene (a share of them status markers).
inline std::vector<uint16_t> distance_codes(Scene s) {
    std::mt19937 rng(6);
    std::vector<uint16_t> c(kPixels);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            double phase = 0, amp = 0;
            scene_pixel(s, x, y, phase, amp);
            const double code = phase / (2 * kPi) * kCodesPerPeriod;
            c[size_t(y * kW + x)] = rng() % 50 == 0 ? uint16_t(kFirstMarker + 100 * (rng() % 3))
                                                    : uint16_t(std::fmod(code, kCodesPerPeriod));
        }
    return c;
}

inline void scene_label(benchmark::State &state) {
    static const char *const kNames[] = {"flat", "room", "spread"};
    state.SetLabel(kNames[state.range(0)]);
}

// The "min" statistic of repeated runs.
inline double min_of(const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); }

}  // namespace vzb
