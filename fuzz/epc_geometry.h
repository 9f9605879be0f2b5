// Readout geometries the EPC fuzz targets draw from a control byte: the full
// epc660 image, a band in the middle, a small corner and a degenerate region;
// with or without dual-MGX row halving.
#pragma once

#include <stdint.h>

#include "vizor/epc660.h"

namespace vzf {

inline void set_geometry(uint8_t ctl) {
    static const int kRois[4][4] = {
        {4, 323, 6, 125}, {100, 200, 50, 201}, {4, 19, 6, 13}, {200, 100, 125, 6}};
    const int *r = kRois[ctl & 3];
    readOutSetROI(r[0], r[1], r[2], r[3], 0);
    calculationEnableDualMGX((ctl >> 2) & 1);
}

}  // namespace vzf
