// Saturation check of the calculation: a pixel whose samples include the
// ADC's full-scale value 4095 is reported as saturated when the check is on.
#include <cstdint>

#include "epc660/calc.h"
#include "vizor/epc660.h"

namespace {

constexpr uint16_t kFullScale = 4095;

struct Saturation {
    int enabled = 0;   // check switch
    uint8_t flag = 0;  // the current pixel holds a full-scale sample
};
Saturation &sat_state() { return vz::epc::state<Saturation>(vz::epc::kSlotSaturation); }
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] Saturation &g_sat = sat_state();

}  // namespace

namespace vz::epc::calc {
bool saturation_on() {
    Saturation &g_sat = sat_state();
    return g_sat.enabled != 0;
}
}  // namespace vz::epc::calc

extern "C" {

VZ_API void saturationSet1DCS(uint16_t s) noexcept {
    EPC_ENTRY_VOID({ g_sat.flag = s == kFullScale; });
}

VZ_API void saturationSet2DCS(uint16_t s0, uint16_t s1) noexcept {
    EPC_ENTRY_VOID({ g_sat.flag = s0 == kFullScale || s1 == kFullScale; });
}

VZ_API void saturationSet4DCS(uint16_t s0, uint16_t s1, uint16_t s2, uint16_t s3) noexcept {
    EPC_ENTRY_VOID({
        g_sat.flag = s0 == kFullScale || s1 == kFullScale || s2 == kFullScale || s3 == kFullScale;
    });
}

VZ_API int saturationCheck(void) noexcept {
    EPC_ENTRY(0, { return g_sat.enabled ? int(g_sat.flag) : 0; });
}

VZ_API int saturationEnable(int enable) noexcept {
    EPC_ENTRY(enable, { return g_sat.enabled = enable; });
}

// Kept for the configuration's epc635 set-up; the saturation value is fixed.
VZ_API int saturationSetSaturationBit(void) noexcept { return 0; }

}  // extern "C"

namespace vz::epc {
constinit const SlotOps saturation_slot = slot_ops<Saturation>();
}  // namespace vz::epc
