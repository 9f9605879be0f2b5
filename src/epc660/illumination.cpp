// Illumination enable flag. The original board switched the light source by
// a GPIO line; here only the flag remains, for the callers that ask.
#include "epc660/base.h"

namespace {

struct IlluminationState {
    int enabled = 0;
};
IlluminationState g_illumination;

}  // namespace

extern "C" {

VZ_API int illuminationEnable(void) noexcept {
    EPC_ENTRY(-1, {
        g_illumination.enabled = 1;
        return 0;
    });
}
VZ_API int illuminationDisable(void) noexcept {
    EPC_ENTRY(-1, {
        g_illumination.enabled = 0;
        return 0;
    });
}
VZ_API int isIlluminationEnabled(void) noexcept {
    EPC_ENTRY(-1, { return g_illumination.enabled; });
}

}  // extern "C"
