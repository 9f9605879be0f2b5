// Per-pixel tables of DRNU mode 2: for every pixel and predicted step the
// lowest step the pixel's code can fall on there. With them a pixel costs
// one table read, two comparisons and the interpolation, wherever its
// distance lies: the vector kernels
// take the common case, the tables every pixel they leave. Prepared when a
// calibration set is loaded (the load path calls drnu2_prepare); a frame uses
// them only while they still describe the tables they were prepared from.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "epc660/calibration.h"

namespace vz::epc::corr {

// Per-frame constants of DRNU mode 2.
struct Drnu2Consts {
    bool temp;        // temperature term on
    double dt_slope;  // temperature term (dt x slope), used when temp is on
    int h;            // number of distances
    double lsb;       // calibration step in codes
};

// Prepares the tables from the distance images of the current frequency mode
// and the mode-1 minimum and maximum (those the correction reads).
void drnu2_prepare();

// True when the prepared tables describe the calibration as it is now: same
// tables, number of distances, calibration image size and frequency mode.
bool drnu2_ready();

// What a frame reads: the prepared table (the lowest step of prediction k at
// calibration index q is first[k x plane + q]), the pixels' minimum and
// maximum, the distance images and their plane size; one bit per pixel
// (bit q % 8 of byte q / 8) set where the images do not rise with the step;
// the images again in blocks of 32 pixels, image i of pixels 32 b .. 32 b +
// 31 at blocks[(b x steps + i) x 32], one cache line, so that a block reads
// the images around its steps as a few lines; and per pixel the lowest
// floor(w) from which the search's prediction may reach the last step
// (codes below it are never left without a step).
struct Drnu2View {
    const uint8_t *first;
    const uint16_t *mn, *mx, *img;
    size_t plane;
    const uint8_t *irregular;
    const uint16_t *blocks;
    const uint16_t *near_top;
    int steps;
};
Drnu2View drnu2_view();

// Reports a code the search ends on without a step (debug log).
void drnu2_log_not_found(double w, int lo, int hi);
// Whether those lines are written anywhere (the kernels skip them if not).
bool drnu2_logs_not_found();

// The temperature term as whole codes: floor(v - dt_slope) = v - ceil for
// every code v, and the comparisons of v - dt_slope with whole numbers
// follow from it (round(w) too); usable unless the term lies within
// rounding of a whole number without being one, or of a half.
struct Drnu2Whole {
    bool usable;
    bool exact;   // the term is a whole number
    int ceil;     // smallest whole number not below the term
    double frac;  // ceil - term: w = floor(w) + frac
};
Drnu2Whole drnu2_whole(const Drnu2Consts &k);

// Pixels 0 .. n - 1 of a sorted image whose pixel index is its calibration
// index, 32 at a time with AVX-512 through ready tables: same codes as the
// search, bit for bit. Needs 12 to 31 distances (every step then lies inside
// the search window) and a usable whole temperature term. Blocks it cannot
// decide (irregular pixels, steps far apart) go to one(ctx, code, p). dst
// may equal src.
using Drnu2One = uint16_t (*)(void *ctx, uint16_t v, int p);
void drnu2_tables_avx512(const Drnu2Consts &k, const Drnu2Whole &whole, const Drnu2View &t,
                         const uint16_t *src, uint16_t *dst, int n, Drnu2One one, void *ctx);

constexpr uint8_t kDrnu2Search = 255;    // table entry: the search decides
constexpr uint8_t kDrnu2NotFound = 254;  // table entry: the search never starts

// One pixel of a sorted image whose sorted index p equals its calibration
// index, through ready tables: its code in out, or false when the tables
// cannot decide its step (irregular calibration, or a step outside the
// search window) and the search must. The double operations are the
// search's, in the same order.
inline bool drnu2_table(const Drnu2Consts &k, const Drnu2View &t, uint16_t v, int p,
                        uint16_t &out) {
    constexpr uint16_t kLow = 65300, kOverflow = 65500;
    constexpr int kSpan = 29;  // the search window around the prediction
    if (v >= kLow) {
        out = v;
        return true;
    }
    double w = v;
    if (k.temp) w = w - k.dt_slope;
    const int lo = t.mn[p], hi = t.mx[p];
    if (lo >= hi) {
        out = uint16_t(cal::round_i32(w));
        return true;
    }
    if (w <= lo) {
        out = kLow;
        return true;
    }
    if (w >= hi) {
        out = kOverflow;
        return true;
    }
    const int o = cal::trunc_i32((w - lo) * k.h / (hi - lo));
    if (o >= k.h - 1) return false;
    const int a = t.first[(size_t)o * t.plane + p];
    if (a >= kDrnu2NotFound) return false;
    // Step a + 1 exists (a <= h - 2) and lies above w when it is the last;
    // step a + 2 counts only when it exists.
    const uint16_t *f = t.img + p;
    const size_t n = t.plane;
    const int i = a + (f[(a + 1) * n] <= w) + (a + 2 <= k.h - 1 && f[(a + 2) * n] <= w);
    if (i - o > kSpan || o - i > kSpan) return false;
    const int fi = f[i * n], gi = f[(i + 1) * n];
    out = uint16_t(cal::round_i32(k.lsb * i + k.lsb * (w - fi) / (gi - fi)));
    return true;
}

}  // namespace vz::epc::corr
