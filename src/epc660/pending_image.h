// TEMPORARY: declarations of functions of the other EPC module groups that
// the image group calls before those groups have landed. Delete each line
// when its owner's declaration arrives in vizor/epc660.h (the integrator
// deletes this file with pending_image.cpp).
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "vizor/epc660.h"

extern "C" {
// image source geometry, region of interest, identity, print level
int pruGetNCols(void);
int pruGetNRowsPerHalf(void);
int pruGetNumberOfHalves(void);
unsigned pruGetColReduction(void);
unsigned pruGetRowReduction(void);
int readOutGetTopLeftX(void);
int readOutGetBottomRightX(void);
int readOutGetTopLeftY(void);
uint16_t configGetWaferID(void);
uint16_t configGetChipID(void);
int configGetPartType(void);
int configGetDeviceAddress(void);
int configPrint(void);
void print(bool enable, int level, const char *format, ...);
int apiLoadConfig(int mode, int deviceAddress);
int flimGetRepetitions(void);
int flimGetFlashWidth(void);
int flimSetRepetitions(int n);
int flimSetFlashWidth(int width);
// calculation
int calcBWSorted(uint16_t **out);
int calculationIsDualMGX(void);
// DRNU calibration image size
int calibrateGetWidth(void);
int calibrateGetHeight(void);
}
