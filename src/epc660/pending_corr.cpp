// TEMPORARY stand-ins for functions of the base and calc groups that the
// corrections and the calibration call, until those groups land. Each keeps
// only the state a test needs or reports that it did nothing (debug log,
// failure value). Delete with pending_corr.h when the owners' modules are
// merged.
#include <stdarg.h>
#include <stdio.h>

#include "core/vzlog.h"
#include "epc660/pending_corr.h"

namespace {
struct Stand {
    int part_type = 2;
    uint16_t wafer = 0, chip = 0;
    int cols = 320, rows_per_half = 120;
    int tlx = 4, tly = 6;
    int16_t header_temp = 0;
} st;

int not_built(const char *fn) {
    vz_dbg("[%s] pending: not built in this branch yet\n", fn);
    return -1;
}
}  // namespace

extern "C" {
VZ_API int configGetModulationFrequency(void) { return 12000; }
VZ_API int configGetPartType(void) { return st.part_type; }
VZ_API int configSetPartType(int type) { return st.part_type = type; }
VZ_API uint16_t configGetWaferID(void) { return st.wafer; }
VZ_API uint16_t configSetWaferID(uint16_t id) { return st.wafer = id; }
VZ_API uint16_t configGetChipID(void) { return st.chip; }
VZ_API uint16_t configSetChipID(uint16_t id) { return st.chip = id; }
VZ_API int configGetCurrentMode(void) { return 1; }
VZ_API int configPrint(void) { return 0; }
VZ_API int configGetDeviceAddress(void) { return 0; }
VZ_API int i2c(int, char, int, int, unsigned char **) { return not_built("i2c"); }
VZ_API int pruGetNCols(void) { return st.cols; }
VZ_API int pruGetNRowsPerHalf(void) { return st.rows_per_half; }
VZ_API int pruGetNumberOfHalves(void) { return 2; }
VZ_API int pruSetSize(int columns, int rowsPerHalf) {
    st.cols = columns;
    st.rows_per_half = rowsPerHalf;
    return 0;
}
VZ_API int pruGetMinAmplitude(void) { return 0; }
VZ_API int16_t temperatureGetTemperature(void) { return st.header_temp; }
VZ_API int16_t temperatureGetTemperatureByFrameHeader(void) { return st.header_temp; }
VZ_API void temperatureSetTemperatureByFrameHeader(uint16_t *values) {
    if (values != nullptr) st.header_temp = (int16_t)values[0];
}
VZ_API int readOutGetTopLeftX(void) { return st.tlx; }
VZ_API int readOutGetTopLeftY(void) { return st.tly; }
VZ_API int readOutSetROI(int x1, int, int y1, int, int) {
    st.tlx = x1;
    st.tly = y1;
    return 0;
}
VZ_API int apiLoadConfig(int, int) { return not_built("apiLoadConfig"); }
VZ_API int apiSetROI(int, int, int, int, int) { return not_built("apiSetROI"); }
VZ_API int apiSetMinAmplitude(int) { return not_built("apiSetMinAmplitude"); }
VZ_API int apiEnableHorizontalBinning(int, int) { return not_built("apiEnableHorizontalBinning"); }
VZ_API int apiEnableVerticalBinning(int, int) { return not_built("apiEnableVerticalBinning"); }
VZ_API int apiSetRowReduction(int, int) { return not_built("apiSetRowReduction"); }
VZ_API int apiSetModulationFrequency(int, int) { return not_built("apiSetModulationFrequency"); }
VZ_API int apiEnablePiDelay(int, int) { return not_built("apiEnablePiDelay"); }
VZ_API int apiEnableDualMGX(int, int) { return not_built("apiEnableDualMGX"); }
VZ_API int apiEnableABS(int, int) { return not_built("apiEnableABS"); }
VZ_API int calculationDistanceSorted(uint16_t **out) {
    if (out != nullptr) *out = nullptr;
    return not_built("calculationDistanceSorted") < 0 ? 0 : 0;
}
VZ_API int calcBWSorted(uint16_t **out) {
    if (out != nullptr) *out = nullptr;
    return not_built("calcBWSorted") < 0 ? 0 : 0;
}
}

void print(bool enable, int level, const char *format, ...) {
    if (!enable || configPrint() < level) return;
    va_list ap;
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
}
