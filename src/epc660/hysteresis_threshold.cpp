// Amplitude-hysteresis thresholds: the upper threshold is the minimum
// amplitude, the lower one lies the hysteresis width below it. Every
// threshold change forgets which pixels were valid.
#include "epc660/hysteresis_threshold.h"
#include "epc660/context.h"

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

HysteresisState &hyst_state() { return vz::epc::state<HysteresisState>(vz::epc::kSlotHysteresis); }
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] HysteresisState &g_hyst = hyst_state();

void set(int amplitude, int width) {
    HysteresisState &g_hyst = hyst_state();
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

int upper() {
    HysteresisState &g_hyst = hyst_state();
    return g_hyst.upper;
}
int lower() {
    HysteresisState &g_hyst = hyst_state();
    return g_hyst.lower;
}
uint8_t *state() {
    HysteresisState &g_hyst = hyst_state();
    return g_hyst.state.data();
}

void forget() {
    const Use epc_use;
    hyst_state().state.fill(0);
}

}  // namespace vz::epc::hysteresis

using namespace vz::epc;

extern "C" {

VZ_API int hysteresisSetThresholds(int amplitude, int width) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry(__func__, width, [&] {
        hysteresis::set(amplitude, width);
        return width;
    });
}

VZ_API int hysteresisUpdateThresholds(int amplitude) noexcept {
    const vz::epc::Use epc_use;
    hysteresis::HysteresisState &g_hyst = hysteresis::hyst_state();
    return vz::entry(__func__, amplitude, [&] {
        hysteresis::set(amplitude, g_hyst.width);
        return amplitude;
    });
}

VZ_API int hysteresisIsEnabled(int index) noexcept {
    const vz::epc::Use epc_use;
    hysteresis::HysteresisState &g_hyst = hysteresis::hyst_state();
    return vz::entry(__func__, 0, [&] {
        if (index < 0 || index >= kStatePixels) return 0;
        return static_cast<int>(g_hyst.state[index]);
    });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps hysteresis_slot = slot_ops<hysteresis::HysteresisState>();
}  // namespace vz::epc
