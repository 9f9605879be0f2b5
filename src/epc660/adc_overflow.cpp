// ADC-overflow check of the calculation: a pixel with a sample outside the
// ADC's usable range is reported when the check is on. The epc660 limits are
// 1 and 4094; the configuration sets 16 and 65503 for the epc635.
#include <cstdint>

#include "epc660/calc.h"
#include "vizor/epc660.h"

namespace {

struct AdcOverflow {
    int enabled = 0;
    uint16_t min = 1;
    uint16_t max = 4094;
};
AdcOverflow &adc_state() { return vz::epc::state<AdcOverflow>(vz::epc::kSlotAdc); }
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] AdcOverflow &g_adc = adc_state();

bool outside(uint16_t s) {
    AdcOverflow &g_adc = adc_state();
    return s < g_adc.min || s > g_adc.max;
}

}  // namespace

namespace vz::epc::calc {
bool adc_overflow_on() {
    AdcOverflow &g_adc = adc_state();
    return g_adc.enabled != 0;
}
uint16_t adc_min() {
    AdcOverflow &g_adc = adc_state();
    return g_adc.min;
}
uint16_t adc_max() {
    AdcOverflow &g_adc = adc_state();
    return g_adc.max;
}
}  // namespace vz::epc::calc

extern "C" {

VZ_API int adcOverflowCheck1DCS(uint16_t s) noexcept {
    EPC_ENTRY(0, { return g_adc.enabled && outside(s) ? 1 : 0; });
}

VZ_API int adcOverflowCheck2DCS(uint16_t s0, uint16_t s1) noexcept {
    EPC_ENTRY(0, { return g_adc.enabled && (outside(s0) || outside(s1)) ? 1 : 0; });
}

VZ_API int adcOverflowCheck4DCS(uint16_t s0, uint16_t s1, uint16_t s2, uint16_t s3) noexcept {
    EPC_ENTRY(0, {
        return g_adc.enabled && (outside(s0) || outside(s1) || outside(s2) || outside(s3)) ? 1 : 0;
    });
}

VZ_API int adcOverflowEnable(int enable) noexcept {
    EPC_ENTRY(enable, { return g_adc.enabled = enable; });
}

VZ_API int adcOverflowIsEnabled(void) noexcept {
    EPC_ENTRY(0, { return g_adc.enabled; });
}

VZ_API int adcOverflowSetMin(uint16_t value) noexcept {
    EPC_ENTRY(int(value), {
        g_adc.min = value;
        return int(value);
    });
}

VZ_API uint16_t adcOverflowGetMin(void) noexcept {
    EPC_ENTRY(uint16_t(0), { return g_adc.min; });
}

VZ_API int adcOverflowSetMax(uint16_t value) noexcept {
    EPC_ENTRY(int(value), {
        g_adc.max = value;
        return int(value);
    });
}

VZ_API uint16_t adcOverflowGetMax(void) noexcept {
    EPC_ENTRY(uint16_t(0), { return g_adc.max; });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps adc_slot = slot_ops<AdcOverflow>();
}  // namespace vz::epc
