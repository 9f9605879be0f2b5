// Internal view of the DRNU calibration run: the per-pass bound and the
// helpers the tests reach.
#pragma once

namespace vz::epc::cal {

// Calibration passes (sweeps restarted by a temperature drift) after which
// the run gives up.
constexpr int kMaxDriftPasses = 10;

// Fills the offset table of a frequency mode's distance images with the
// given step (codes) and DRNU offset.
void fill_table(int mode, double lsb, int offset);

// Builds the offset table of a frequency mode's distance images with the
// given step (codes) and DRNU offset; fills the step averages and returns
// the variance of the step averages (logged under the name fn).
double build_table(int mode, double lsb, int offset, const char *fn);

// Mean of step image 0 of a mode over the calibration area.
int image0_mean(int mode);

}  // namespace vz::epc::cal
