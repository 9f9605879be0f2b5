// TEMPORARY: declarations of functions owned by the base and calc groups of
// the EPC library, used by the corrections and the calibration until those
// groups land their header sections. Delete this file (and
// pending_corr.cpp) when epc660.h declares them.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "vizor/epc660.h"



// Console diagnostics of the EPC library, gated by its print level.
void print(bool enable, int level, const char *format, ...);
