// Amplitude-hysteresis thresholds: the upper threshold is the minimum
// amplitude, the lower one lies the hysteresis width below it. Every
// threshold change forgets which pixels were valid.
#include "epc660/hysteresis_threshold.h"

#include <array>

#include "base/firewall.h"
#include "epc660/image_geometry.h"
#include "vizor/epc660.h"

namespace vz::epc::hysteresis {

namespace {

struct HysteresisState {
    int upper = 0;
    int lower = 0;
    int width = 0;
    std::array<uint8_t, kStatePixels> state{};
};

HysteresisState g_hyst;

void set(int amplitude, int width) {
    g_hyst.upper = amplitude;
    g_hyst.width = width;
    // Wider than int: an absurd width must not overflow the subtraction.
    const long long low = static_cast<long long>(amplitude) - width;
    g_hyst.lower = low < INT32_MIN   ? INT32_MIN
                   : low > INT32_MAX ? INT32_MAX
                                     : static_cast<int>(low);
    g_hyst.state.fill(0);
}

}  // namespace

int upper() { return g_hyst.upper; }
int lower() { return g_hyst.lower; }
uint8_t *state() { return g_hyst.state.data(); }

}  // namespace vz::epc::hysteresis

using namespace vz::epc;

extern "C" {

VZ_API int hysteresisSetThresholds(int amplitude, int width) noexcept {
    return vz::entry(__func__, width, [&] {
        hysteresis::set(amplitude, width);
        return width;
    });
}

VZ_API int hysteresisUpdateThresholds(int amplitude) noexcept {
    return vz::entry(__func__, amplitude, [&] {
        hysteresis::set(amplitude, hysteresis::g_hyst.width);
        return amplitude;
    });
}

VZ_API int hysteresisIsEnabled(int index) noexcept {
    return vz::entry(__func__, 0, [&] {
        if (index < 0 || index >= kStatePixels) return 0;
        return static_cast<int>(hysteresis::g_hyst.state[index]);
    });
}

}  // extern "C"
