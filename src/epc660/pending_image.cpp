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

// Full 320 x 240 readout, no reduction, region of interest (4, 6)-(323, 245).
int pruGetNCols(void) { return 320; }
int pruGetNRowsPerHalf(void) { return 120; }
int pruGetNumberOfHalves(void) { return 2; }
unsigned pruGetColReduction(void) { return 1; }
unsigned pruGetRowReduction(void) { return 1; }
int readOutGetTopLeftX(void) { return 4; }
int readOutGetBottomRightX(void) { return 323; }
int readOutGetTopLeftY(void) { return 6; }
uint16_t configGetWaferID(void) { return 0; }
uint16_t configGetChipID(void) { return 0; }
int configGetPartType(void) { return 2; }
int configGetDeviceAddress(void) { return 0; }
int configPrint(void) { return 0; }

// Prints when enabled and the level is within the print level (0).
void print(bool enable, int level, const char *format, ...) {
    if (!enable || level > configPrint()) return;
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
}

// No chip to switch: reports the pass-through and returns the mode.
int apiLoadConfig(int mode, int deviceAddress) {
    vz_dbg("[%s] pass-through: no chip configuration yet\n", __func__);
    return mode;
}

int flimGetRepetitions(void) { return 0; }
int flimGetFlashWidth(void) { return 0; }
int flimSetRepetitions(int n) { return n; }
int flimSetFlashWidth(int width) { return width; }

// No frames yet: an empty result, which the means treat as no frame.
int calcBWSorted(uint16_t **out) {
    vz_dbg("[%s] pass-through: no calculation yet\n", __func__);
    if (out) *out = nullptr;
    return 0;
}
int calculationIsDualMGX(void) { return 0; }

int calibrateGetWidth(void) { return 320; }
int calibrateGetHeight(void) { return 240; }

}  // extern "C"
