// Grayscale flattening: the switches the gray sorter consults before it
// calls calculateGrayscaleCorrection.
#pragma once

namespace vz::epc::grayscale {

// True when the offset or the gain correction is switched on.
bool correctionSwitchedOn();

}  // namespace vz::epc::grayscale
