// TEMPORARY: declarations of functions owned by the base and calc groups of
// the EPC library, used by the corrections and the calibration until those
// groups land their header sections. Delete this file (and
// pending_corr.cpp) when epc660.h declares them.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "vizor/export.h"

extern "C" {
VZ_API int configGetModulationFrequency(void);
VZ_API int configGetPartType(void);
VZ_API int configSetPartType(int type);
VZ_API uint16_t configGetWaferID(void);
VZ_API uint16_t configSetWaferID(uint16_t id);
VZ_API uint16_t configGetChipID(void);
VZ_API uint16_t configSetChipID(uint16_t id);
VZ_API int configGetCurrentMode(void);
VZ_API int configPrint(void);
VZ_API int configGetDeviceAddress(void);
VZ_API int i2c(int deviceAddress, char operation, int registerAddress, int count,
               unsigned char **buffer);
VZ_API int pruGetNCols(void);
VZ_API int pruGetNRowsPerHalf(void);
VZ_API int pruGetNumberOfHalves(void);
VZ_API int pruSetSize(int columns, int rowsPerHalf);
VZ_API int pruGetMinAmplitude(void);
VZ_API int16_t temperatureGetTemperature(void);
VZ_API int16_t temperatureGetTemperatureByFrameHeader(void);
VZ_API void temperatureSetTemperatureByFrameHeader(uint16_t *values);
VZ_API int readOutGetTopLeftX(void);
VZ_API int readOutGetTopLeftY(void);
VZ_API int readOutSetROI(int x1, int x2, int y1, int y2, int deviceAddress);
VZ_API int apiLoadConfig(int mode, int deviceAddress);
VZ_API int apiSetROI(int x1, int x2, int y1, int y2, int deviceAddress);
VZ_API int apiSetMinAmplitude(int amplitude);
VZ_API int apiEnableHorizontalBinning(int on, int deviceAddress);
VZ_API int apiEnableVerticalBinning(int on, int deviceAddress);
VZ_API int apiSetRowReduction(int n, int deviceAddress);
VZ_API int apiSetModulationFrequency(int index, int deviceAddress);
VZ_API int apiEnablePiDelay(int on, int deviceAddress);
VZ_API int apiEnableDualMGX(int on, int deviceAddress);
VZ_API int apiEnableABS(int on, int deviceAddress);
VZ_API int calculationDistanceSorted(uint16_t **out);
VZ_API int calcBWSorted(uint16_t **out);
}

// Console diagnostics of the EPC library, gated by its print level.
void print(bool enable, int level, const char *format, ...);
