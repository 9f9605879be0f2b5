// Per-pixel tables of DRNU mode 2: the distance images of every pixel laid
// out pixel by pixel, and for every pixel and predicted step the lowest step
// the pixel's code can fall on there. With them each pixel costs two table
// reads and the interpolation, wherever its distance lies. Prepared when a
// calibration set is loaded (the load path calls drnu2_prepare); a frame uses
// them only while they still describe the tables they were prepared from.
#pragma once

#include <stdint.h>

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

// n pixels of a sorted image whose sorted index equals their calibration
// index, from p on. Pixels whose step the tables cannot decide (irregular
// calibration, or a step outside the search window) are left to the caller:
// their offsets from p go to todo (n entries at most). Returns their count.
int drnu2_block(const Drnu2Consts &k, const uint16_t *src, uint16_t *dst, int p, int n, int *todo,
                bool vector);

}  // namespace vz::epc::corr
