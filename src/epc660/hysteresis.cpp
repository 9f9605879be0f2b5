// Amplitude hysteresis test of the calculation: a pixel becomes valid when
// its amplitude reaches the upper threshold and stays valid until it falls
// below the lower one. The thresholds and the per-pixel state belong to the
// image-processing group, whose setters clear the state with every change.
#include <cstdint>

#include "epc660/calc.h"
#include "vizor/epc660.h"

extern "C" {

VZ_API int hysteresisUpdate(int index, int amplitude) noexcept {
    EPC_ENTRY(0, {
        namespace hy = vz::epc::hysteresis;
        uint8_t *state = hy::state();
        const bool inside = index >= 0 && index < vz::epc::calc::kPixels;
        if (amplitude >= hy::upper()) {
            if (inside) state[index] = 1;
            return 1;
        }
        if (amplitude < hy::lower()) {
            if (inside) state[index] = 0;
            return 0;
        }
        return inside && state[index] == 1 ? 1 : 0;
    });
}

}  // extern "C"
