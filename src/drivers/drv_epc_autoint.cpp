// Automatic integration-time control of the EPC driver: one step per decoded
// frame moves the 3D integration time down while too many samples saturate
// and up while the frame is dark, keeping the saturated share near a target
// in samples per thousand.
#include "drivers/drv_epc.h"
#include "epc660/base.h"
#include "vizor/epc660.h"

namespace vz::epcdrv {

namespace {

constexpr uint16_t kAdcMax = 4095;   // a sample at or above this is saturated
constexpr int kMinTime = 10;         // µs, floor of a decrease
constexpr int kMaxTime = 1500;       // µs, ceiling of an increase
constexpr int kIncrease = 50;        // µs per increasing step
constexpr uint32_t kManyHigh = 512;  // near-saturated samples that call for a decrease
constexpr uint32_t kFewHigh = 10;    // at most this many near-saturated allow an increase
constexpr uint32_t kManyLow = 512;   // at most this many dark samples allow an increase

// Step for a share r above its target: 10 per started ten above 20, up to 90.
int decrease_step(float r) {
    for (int s = 90; s >= 20; s -= 10)
        if (r > float(s)) return s;
    return 10;
}

}  // namespace

int autoint_delta(const uint16_t *samples, uint32_t n, uint16_t target) {
    // The epc635 delivers its 12-bit samples left-aligned (value x 16): they
    // are counted by their 12-bit value, as for the epc660.
    const int part = configGetPartType();
    const int shift = part == 4 || part == 5 ? 4 : 0;
    uint32_t saturated = 0, low = 0, high = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint16_t v = uint16_t(samples[i] >> shift);
        saturated += v == 0 || v >= kAdcMax;
        low += v >= 2 && v <= 511;
        high += v >= 3585 && v <= 4094;
    }
    const float r = n == 0 ? 0.0f : float(saturated) / float(n) * 1000.0f;
    const float t = float(target);
    if (r > t) return -decrease_step(r);
    if (r == t) return -10;
    if (r > 0.0f && high > kManyHigh) return -10;
    if (high <= kFewHigh && low <= kManyLow) return kIncrease;
    return 0;
}

void autoint_step(const uint16_t *samples, uint32_t n, uint16_t target) {
    const int delta = autoint_delta(samples, n, target);
    if (delta == 0 || calculationIsHDR()) return;
    int time = configGetIntegrationTime3D();
    if (delta < 0) {
        const int s = -delta;
        if (time < s) time = s;
        const int next = time - s < kMinTime ? kMinTime : time - s;
        configSetIntegrationTime3D(next);
        vz::epc::param_set(VIZOR_PARAM_INTG_TIME, uint32_t(next), 2);
    } else {
        const int next = time + kIncrease;
        if (next > kMaxTime) return;
        vz::epc::param_set(VIZOR_PARAM_INTG_TIME, uint32_t(next), 2);
        configSetIntegrationTime3D(next);
    }
}

}  // namespace vz::epcdrv
