// The per-pixel calculator: module-wide registers that hold one pixel's
// samples and quadrature components, and the amplitude and distance
// arithmetic for sine and pseudo-noise modulation. These functions are the
// reference reading of the arithmetic; the frame loops reproduce them.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "epc660/calc.h"
#include "vizor/epc660.h"

// The calculator registers are exported globals of the library.
extern "C" {
VZ_API uint16_t pixelDCS0 = 0;
VZ_API uint16_t pixelDCS1 = 0;
VZ_API uint16_t pixelDCS2 = 0;
VZ_API uint16_t pixelDCS3 = 0;
VZ_API int arg1 = 0;
VZ_API int arg2 = 0;
VZ_API int8_t amplitudeDivider = 1;
VZ_API int minAmplitude = 0;
VZ_API int indexMemory = 0;
VZ_API int indexCal = 0;
}

namespace {

using namespace vz::epc::calc;

struct Calculator {
    uint16_t mask = 0x0FFF;  // pixel mask; the configuration sets 0xFFFF for the epc635
};
Calculator g_calc;

constexpr uint32_t both(uint16_t code) { return uint32_t(code) << 16 | code; }

// The marker of the loaded pixel, or 0 when it is valid.
uint16_t marker() {
    if (saturationCheck()) return kSaturated;
    if (adcOverflowCheck4DCS(pixelDCS0, pixelDCS1, pixelDCS2, pixelDCS3)) return kAdcOverflow;
    return 0;
}

int divider() { return amplitudeDivider == 0 ? 1 : amplitudeDivider; }

// sqrt(arg1^2 + arg2^2) / divider, truncated toward zero to 16 bits. The sum
// is formed in 64 bits so that no register contents overflow it.
uint16_t amplitude_sine() {
    const int64_t sum = int64_t(arg1) * arg1 + int64_t(arg2) * arg2;
    return uint16_t(int64_t(std::sqrt(double(sum)) / divider()));
}

uint16_t amplitude_pn() { return uint16_t((std::llabs(arg1) + std::llabs(arg2)) / divider()); }

// Linear phase estimate of pseudo-noise modulation (not wrapped: 0..30000).
uint16_t distance_pn() {
    const long long a = std::llabs(arg1), b = std::llabs(arg2);
    if (a + b == 0) return 0;
    return uint16_t(int64_t(double(a) / double(a + b) * 30000.0 + 0.5));
}

}  // namespace

namespace vz::epc::calc {

uint16_t pixel_mask() { return g_calc.mask; }

bool shifted_part() {
    const int type = configGetPartType();
    return type == 4 || type == 5;
}

}  // namespace vz::epc::calc

extern "C" {

VZ_API int calculatorInit(int divider) noexcept {
    EPC_ENTRY(0, {
        amplitudeDivider = int8_t(divider);
        minAmplitude = pruGetMinAmplitude();
        return minAmplitude;
    });
}

VZ_API void calculatorSetArgs2DCS(uint16_t dcs0, uint16_t dcs1, int indexMem,
                                  int indexCalib) noexcept {
    EPC_ENTRY_VOID({
        pixelDCS0 = dcs0 & g_calc.mask;
        pixelDCS1 = dcs1 & g_calc.mask;
        pixelDCS2 = pixelDCS3 = adcOverflowGetMin();  // always inside the limits
        indexMemory = indexMem;
        indexCal = indexCalib;
        saturationSet2DCS(dcs0, dcs1);
        if (shifted_part()) {
            arg2 = 2048 - (pixelDCS0 >> 4);
            arg1 = 2048 - (pixelDCS1 >> 4);
        } else {
            arg2 = 2048 - pixelDCS0;
            arg1 = 2048 - pixelDCS1;
        }
    });
}

VZ_API void calculatorSetArgs4DCS(uint16_t dcs0, uint16_t dcs1, uint16_t dcs2, uint16_t dcs3,
                                  int indexMem, int indexCalib) noexcept {
    EPC_ENTRY_VOID({
        pixelDCS0 = dcs0 & g_calc.mask;
        pixelDCS1 = dcs1 & g_calc.mask;
        pixelDCS2 = dcs2 & g_calc.mask;
        pixelDCS3 = dcs3 & g_calc.mask;
        saturationSet4DCS(dcs0, dcs1, dcs2, dcs3);
        indexMemory = indexMem;
        indexCal = indexCalib;
        arg1 = pixelDCS3 - pixelDCS1;
        arg2 = pixelDCS2 - pixelDCS0;
        if (shifted_part()) {
            arg1 >>= 4;  // arithmetic shift
            arg2 >>= 4;
        }
    });
}

VZ_API uint16_t calculatorGetAmpSine(void) noexcept {
    EPC_ENTRY(uint16_t(0), {
        const uint16_t m = marker();
        return m ? m : amplitude_sine();
    });
}

VZ_API uint16_t calculatorGetAmpPN(void) noexcept {
    EPC_ENTRY(uint16_t(0), {
        const uint16_t m = marker();
        return m ? m : amplitude_pn();
    });
}

VZ_API uint32_t calculatorGetDistAndAmpSine(void) noexcept {
    EPC_ENTRY(0u, {
        if (const uint16_t m = marker()) return both(m);
        const uint16_t amp = amplitude_sine();
        if (!hysteresisUpdate(indexMemory, amp)) return both(kLowAmplitude);
        // The phase rotated by half a period (315000 = 10.5 periods).
        const uint32_t dist = uint32_t(atan2_lut(arg1, arg2) + 315000) % 30000;
        return uint32_t(amp) << 16 | dist;
    });
}

VZ_API uint32_t calculatorGetDistAndAmpPN(void) noexcept {
    EPC_ENTRY(0u, {
        if (const uint16_t m = marker()) return both(m);
        const uint16_t amp = amplitude_pn();
        if (!hysteresisUpdate(indexMemory, amp)) return both(kLowAmplitude);
        return uint32_t(amp) << 16 | distance_pn();
    });
}

VZ_API int calculatorSetPixelMask(uint16_t mask) noexcept {
    EPC_ENTRY(int(mask), {
        g_calc.mask = mask;
        return int(mask);
    });
}

VZ_API uint16_t calculatorGetPixelMask(void) noexcept {
    EPC_ENTRY(uint16_t(0), { return g_calc.mask; });
}

}  // extern "C"
