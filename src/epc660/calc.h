// Internal view of the calculation group: the arctangent table, the
// calculator's switches and the iterators' fast forward, shared by the
// per-pixel functions and the frame loops.
#pragma once

#include <cstdint>

#include "base/firewall.h"
#include "vizor/epc660.h"

// Internal views of the other module groups: the print helper and device
// access of the base group, the hysteresis thresholds and state of the image
// group, the ambient buffer of the corrections. Until a group has landed its
// functions, pending_calc.h declares the ones used here.
#if __has_include("epc660/base.h")
#include "epc660/base.h"
#endif
#if __has_include("epc660/hysteresis_threshold.h")
#include "epc660/hysteresis_threshold.h"
#endif
#if __has_include("epc660/correction.h")
#include "epc660/correction.h"
#endif
#if __has_include("epc660/pending_calc.h")
#include "epc660/pending_calc.h"
#endif

// Runs the body of an exported function through the entry firewall (the same
// shorthand as the rest of the EPC library).
#ifndef EPC_ENTRY
#define EPC_ENTRY(fail, ...) return vz::entry(__func__, (fail), [&]() __VA_ARGS__)
#define EPC_ENTRY_VOID(...)  vz::entry_void(__func__, [&]() __VA_ARGS__)
#endif

namespace vz::epc::calc {

constexpr int kPixels = 82656;  // 328 x 252: per-pixel state entries
constexpr int kMaxRows = 255;   // the iterators count rows in 8 bits
constexpr uint16_t kLowAmplitude = 65300;
constexpr uint16_t kSaturated = 65400;
constexpr uint16_t kAdcOverflow = 65500;

// Arctangent table: entry i = round(atan2(i, 4095) x 30000 / 2pi), widened to
// 32 bits for the vector gathers. Filled by atan2lut_Init.
const int32_t *atan_table();
// The same lookup as atan2_lut for |y|, |x| <= 2^20 (no overflow guard).
int atan2_small(int y, int x);

// Calculator switches read by the frame loops.
uint16_t pixel_mask();
bool saturation_on();
bool adc_overflow_on();
uint16_t adc_min();
uint16_t adc_max();
// Part types 4 and 5 (epc635) carry samples left-aligned (x 16).
bool shifted_part();

// Advance an initialised iterator by n positions at once, leaving it in the
// state that n calls of its Next function would leave.
void iterator_default_skip(int n);
void iterator_mgx_skip(int n);

// The image geometry of the image source, checked against what the
// calculation can hold (at most kPixels pixels and kMaxRows rows, one or two
// halves); false, with a warning naming `fn`, otherwise.
struct Geometry {
    int columns = 0, rows_per_half = 0, halves = 0, rows = 0;
};
bool image_geometry(Geometry &g, const char *fn);

// Start-up values of every switch and flag of the group (tests).
void reset_for_tests();

}  // namespace vz::epc::calc
