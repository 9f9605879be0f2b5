// The per-pixel calculator: module-wide registers that hold one pixel's
// samples and quadrature components, and the amplitude and distance
// arithmetic for sine and pseudo-noise modulation. These functions are the
// reference reading of the arithmetic; the frame loops reproduce them.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "epc660/calc.h"
#include "vizor/epc660.h"

// The calculator registers are exported globals of the library. Each context
// keeps its own registers; every calculator step also copies them here (relaxed
// atomic stores: the last step in the process wins), so a caller reading the
// globals after its own calls sees what it did.
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
    uint16_t dcs0, dcs1, dcs2, dcs3;
    int arg1, arg2;
    int8_t divider = 1;
    int min_amplitude, index_memory, index_cal;
};
Calculator &calc_state() { return vz::epc::state<Calculator>(vz::epc::kSlotCalc); }

template <class T>
void mirror(T &global, T value) {
    std::atomic_ref<T>(global).store(value, std::memory_order_relaxed);
}

// Copies the context's registers into the exported globals.
void publish(const Calculator &c) {
    mirror(::pixelDCS0, c.dcs0);
    mirror(::pixelDCS1, c.dcs1);
    mirror(::pixelDCS2, c.dcs2);
    mirror(::pixelDCS3, c.dcs3);
    mirror(::arg1, c.arg1);
    mirror(::arg2, c.arg2);
    mirror(::amplitudeDivider, c.divider);
    mirror(::minAmplitude, c.min_amplitude);
    mirror(::indexMemory, c.index_memory);
    mirror(::indexCal, c.index_cal);
}

// Publishes the registers when an exported calculator call ends.
struct Publish {
    const Calculator &c;
    ~Publish() { publish(c); }
};

// The functions below bind the context's registers to the names of the
// exported globals, which they shadow on purpose.
#pragma GCC diagnostic ignored "-Wshadow"
#undef EPC_BIND
#define EPC_BIND                                                \
    [[maybe_unused]] Calculator &g_calc = calc_state();         \
    [[maybe_unused]] const Publish epc_publish{g_calc};         \
    [[maybe_unused]] uint16_t &pixelDCS0 = g_calc.dcs0;         \
    [[maybe_unused]] uint16_t &pixelDCS1 = g_calc.dcs1;         \
    [[maybe_unused]] uint16_t &pixelDCS2 = g_calc.dcs2;         \
    [[maybe_unused]] uint16_t &pixelDCS3 = g_calc.dcs3;         \
    [[maybe_unused]] int &arg1 = g_calc.arg1;                   \
    [[maybe_unused]] int &arg2 = g_calc.arg2;                   \
    [[maybe_unused]] int8_t &amplitudeDivider = g_calc.divider; \
    [[maybe_unused]] int &minAmplitude = g_calc.min_amplitude;  \
    [[maybe_unused]] int &indexMemory = g_calc.index_memory;    \
    [[maybe_unused]] int &indexCal = g_calc.index_cal;

constexpr uint32_t both(uint16_t code) { return uint32_t(code) << 16 | code; }

// The marker of the loaded pixel, or 0 when it is valid.
uint16_t marker() {
    const Calculator &c = calc_state();
    const uint16_t pixelDCS0 = c.dcs0, pixelDCS1 = c.dcs1;
    const uint16_t pixelDCS2 = c.dcs2, pixelDCS3 = c.dcs3;
    if (saturationCheck()) return kSaturated;
    if (adcOverflowCheck4DCS(pixelDCS0, pixelDCS1, pixelDCS2, pixelDCS3)) return kAdcOverflow;
    return 0;
}

int divider() {
    const int8_t amplitudeDivider = calc_state().divider;
    return amplitudeDivider == 0 ? 1 : amplitudeDivider;
}

// sqrt(arg1^2 + arg2^2) / divider, truncated toward zero to 16 bits. The sum
// is formed in 64 bits so that no register contents overflow it.
uint16_t amplitude_sine() {
    const int arg1 = calc_state().arg1, arg2 = calc_state().arg2;
    const int64_t sum = int64_t(arg1) * arg1 + int64_t(arg2) * arg2;
    return uint16_t(int64_t(std::sqrt(double(sum)) / divider()));
}

uint16_t amplitude_pn() {
    const int arg1 = calc_state().arg1, arg2 = calc_state().arg2;
    return uint16_t((std::llabs(arg1) + std::llabs(arg2)) / divider());
}

// Linear phase estimate of pseudo-noise modulation (not wrapped: 0..30000).
uint16_t distance_pn() {
    const int arg1 = calc_state().arg1, arg2 = calc_state().arg2;
    const long long a = std::llabs(arg1), b = std::llabs(arg2);
    if (a + b == 0) return 0;
    return uint16_t(int64_t(double(a) / double(a + b) * 30000.0 + 0.5));
}

}  // namespace

namespace vz::epc::calc {

uint16_t pixel_mask() { return calc_state().mask; }

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

namespace vz::epc {
constinit const SlotOps calc_slot = slot_ops<Calculator>();
}  // namespace vz::epc
