// Shared steps of the grayscale and FLIM calibration: mean images over
// sorted frames, gain and offset from a bright and a dark mean, the text
// files of mean images and gain/offset tables, and the conversion of
// corrected values back to codes.
#pragma once

#include <cstdint>

#include "epc660/image_geometry.h"

namespace vz::epc::calib {

// Gain 1.0 and offset 0.0 in every entry of a table pair (kStatePixels each).
void resetTables(double *gain, double *offset);

// Sums `count` sorted frames (calcBWSorted) per pixel over one plane of
// `size` pixels and stores the integer means in `values`. `plane` is -1 for
// a gray frame (plane 0, unsigned samples) or the FLIM gate (plane at gate x
// samples / 2, samples taken as signed 16-bit). Returns the last frame's
// sample count, 0 when nothing was measured (`values` then stays); `fn`
// names the caller in log lines and `errorLevel` picks the level of the
// allocation message.
int meanOfFrames(const char *fn, int count, int *values, ImageSize size, int plane,
                 bool errorLevel);

// offset[i] = dark[i] - bias; gain[i] = mean(bright - dark) / (bright[i] -
// dark[i]), 1.0 where both are equal. Returns the mean difference.
double gainOffset(const int *bright, const int *dark, int pixels, int bias, double *gain,
                  double *offset);

// Files: height lines of gains then height lines of offsets (" %.4e" per
// value), and mean images (" %d" per value), one image row per line.
int saveTables(const char *fn, const char *path, const double *gain, const double *offset,
               ImageSize size);
int loadTables(const char *fn, const char *path, double *gain, double *offset, ImageSize size);
int saveMean(const char *fn, const char *path, const int *values, ImageSize size);
int loadMean(const char *fn, const char *path, int *values, ImageSize size);

// A corrected real as a code: rounded (halves away from zero) or truncated,
// and held within [lo, hi].
int toRange(double v, bool round, int lo, int hi);

}  // namespace vz::epc::calib
