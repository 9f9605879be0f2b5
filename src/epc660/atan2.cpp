// Arctangent lookup of the phase calculation: a 4096-entry table over 0 to
// 45 degrees in phase codes (30000 codes per period) and integer octant
// folding, so that no floating-point arctangent runs per pixel.
#include <cmath>
#include <cstdint>
#include <mutex>

#include "epc660/calc.h"
#include "vizor/epc660.h"

namespace {

constexpr int numLutValue = 4096;
constexpr double kCodesPerRadian = 4774.64829275686;  // 30000 / 2pi

struct AtanTable {
    int32_t entry[numLutValue] = {};
};
// Shared by every context: filled once by the first atan2lut_Init, read-only
// afterwards.
AtanTable g_atan;
std::once_flag g_atan_once;

// Folds (y, x) into the first octant and looks the angle up. 64-bit
// arithmetic: any int pair is folded without overflow.
int lookup(int64_t y, int64_t x) {
    if (y == 0) return x < 0 ? 15000 : 0;
    int base = 0;
    if (y < 0) {
        y = -y;
        x = -x;
        base = 15000;
    }
    if (x <= 0) {  // quarter turn: (y, x) becomes (-x, y)
        const int64_t t = -x;
        x = y;
        y = t;
        base += 7500;
    }
    if (y >= x) {  // 45 degrees
        const int64_t t = y - x;
        x = x + y;
        y = t;
        base += 3750;
    }
    return base + g_atan.entry[(y * numLutValue) / x];
}

}  // namespace

namespace vz::epc::calc {

const int32_t *atan_table() { return g_atan.entry; }

int atan2_small(int y, int x) { return lookup(y, x); }

}  // namespace vz::epc::calc

extern "C" {

VZ_API int atan2lut_Init(void) noexcept {
    EPC_ENTRY(0, {
        std::call_once(g_atan_once, [] {
            for (int i = 0; i < numLutValue; ++i)
                g_atan.entry[i] =
                    int32_t(std::round(std::atan2(double(i), 4095.0) * kCodesPerRadian));
        });
        return 0;
    });
}

VZ_API int atan2_lut(int y, int x) noexcept {
    // The last table entry of the last octant is a whole turn (30000): the
    // same angle as 0, so the code stays within one period.
    EPC_ENTRY(0, {
        const int code = lookup(y, x);
        return code >= 30000 ? code - 30000 : code;
    });
}

}  // extern "C"
