// Geometry of the sorted images that the image group filters and calibrates,
// read from the image source and the region of interest at each call.
#pragma once

#include <cstdint>

namespace vz::epc {

// Entries of every per-pixel state array (the 328 x 252 pixel field).
inline constexpr int kStatePixels = 82656;
// Marker of a pixel rejected for low amplitude; codes above 65299 are markers.
inline constexpr uint16_t kLowAmplitude = 65300;
inline constexpr uint16_t kMaxCode = 65299;

struct ImageSize {
    int width = 0;   // columns of the sorted image
    int height = 0;  // rows of the sorted image
    int pixels = 0;  // width x height, never above kStatePixels
};

// The sorted distance image: columns x rows per half x halves, half as many
// rows with dual MGX. Clamped to the state arrays; 0 pixels when degenerate.
ImageSize distanceImageSize();
// The sorted gray image of one plane: columns x rows per half x halves.
ImageSize grayImageSize();

// Region of interest and calibration image of the current readout, for the
// calibration index of a pixel.
struct CalibrationFrame {
    ImageSize image;
    int offsetX = 0;  // top-left x - 4
    int offsetY = 0;  // top-left y - 6
    int calWidth = 0;
    int calHeight = 0;
    // Calibration index of image pixel (row, column), or -1 when it lies
    // outside the calibration image or the tables.
    int index(int row, int column) const;
};
CalibrationFrame calibrationFrame();

}  // namespace vz::epc
