// Geometry of the sorted images seen by the filters and the grayscale/FLIM
// calibration, taken from the image source and the readout control.
#include "epc660/image_geometry.h"

#include "epc660/base.h"

namespace vz::epc {

namespace {

ImageSize clamp(int width, int height) {
    ImageSize s;
    if (width <= 0 || height <= 0 || width > kStatePixels) return s;
    if (height > kStatePixels / width) height = kStatePixels / width;
    s.width = width;
    s.height = height;
    s.pixels = width * height;
    return s;
}

}  // namespace

ImageSize grayImageSize() {
    return clamp(pruGetNCols(), pruGetNRowsPerHalf() * pruGetNumberOfHalves());
}

ImageSize distanceImageSize() {
    int height = pruGetNRowsPerHalf() * pruGetNumberOfHalves();
    if (calculationIsDualMGX()) height /= 2;
    return clamp(pruGetNCols(), height);
}

int CalibrationFrame::index(int row, int column) const {
    const int x = offsetX + column;
    const int y = offsetY + row;
    if (x < 0 || y < 0 || x >= calWidth || y >= calHeight) return -1;
    const long k = static_cast<long>(y) * calWidth + x;
    return k < kStatePixels ? static_cast<int>(k) : -1;
}

CalibrationFrame calibrationFrame() {
    CalibrationFrame f;
    f.image = grayImageSize();
    f.offsetX = readOutGetTopLeftX() - 4;
    f.offsetY = readOutGetTopLeftY() - 6;
    f.calWidth = calibrateGetWidth();
    f.calHeight = calibrateGetHeight();
    return f;
}

}  // namespace vz::epc
