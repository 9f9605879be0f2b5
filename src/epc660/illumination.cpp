// Illumination enable flag. The original board switched the light source by
// a GPIO line; here only the flag remains, for the callers that ask.
#include "epc660/base.h"

namespace {

struct IlluminationState {
    int enabled = 0;
};
IlluminationState &illumination_state() {
    return vz::epc::state<IlluminationState>(vz::epc::kSlotIllumination);
}
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] IlluminationState &g_illumination = illumination_state();

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

namespace vz::epc {
constinit const SlotOps illumination_slot = slot_ops<IlluminationState>();
}  // namespace vz::epc
