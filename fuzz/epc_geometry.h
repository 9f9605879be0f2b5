// Readout geometries the EPC fuzz targets draw from a control byte: the full
// epc660 image, a band in the middle, a small corner and a degenerate region
// (the readout's region and the image source's size alike);
// with or without dual-MGX row halving.
#pragma once

#include <stdint.h>

#include "vizor/epc660.h"

namespace vzf {

inline void set_geometry(uint8_t ctl) {
    // x1, x2, y1, y2 of the region; columns and rows per half of the image source
    static const int kRois[4][6] = {{4, 323, 6, 125, 320, 120},
                                    {100, 200, 50, 201, 101, 76},
                                    {4, 19, 6, 13, 16, 8},
                                    {200, 100, 125, 6, 0, 0}};
    const int *r = kRois[ctl & 3];
    readOutSetROI(r[0], r[1], r[2], r[3], 0);
    pruSetSize(r[4], r[5]);
    calculationEnableDualMGX((ctl >> 2) & 1);
}

}  // namespace vzf
