// TEMPORARY stand-ins for functions of the other EPC module groups that the
// image group calls, so that it links and its tests run before those groups
// land. Each is a documented pass-through with the full-frame epc660
// defaults; none touches a device. The integrator deletes this file when the
// owners' branches are merged.
#include <cstdarg>
#include <cstdio>

#include "core/vzlog.h"
#include "epc660/pending_image.h"

extern "C" {

// Prints when enabled and the level is within the print level (0).
void print(bool enable, int level, const char *format, ...) {
    if (!enable || level > configPrint()) return;
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
}

// No frames yet: an empty result, which the means treat as no frame.
int calcBWSorted(uint16_t **out) {
    vz_dbg("[%s] pass-through: no calculation yet\n", __func__);
    if (out) *out = nullptr;
    return 0;
}
int calculationIsDualMGX(void) { return 0; }

}  // extern "C"
