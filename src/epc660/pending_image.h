// TEMPORARY: declarations of functions of the other EPC module groups that
// the image group calls before those groups have landed. Delete each line
// when its owner's declaration arrives in vizor/epc660.h (the integrator
// deletes this file with pending_image.cpp).
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "vizor/epc660.h"

extern "C" {
void print(bool enable, int level, const char *format, ...);
}
