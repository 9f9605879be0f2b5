// TEMPORARY: declarations of functions of the calculation and DRNU
// calibration groups that the image group calls before those groups have
// landed here. The integrator deletes this file with pending_image.cpp once
// vizor/epc660.h declares them.
#pragma once

#include <cstdint>

extern "C" {
int calcBWSorted(uint16_t **out);
int calculationIsDualMGX(void);
int calculationEnableDualMGX(int on);
int calibrateGetWidth(void);
int calibrateGetHeight(void);
}
