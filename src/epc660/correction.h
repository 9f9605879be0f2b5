// Internal view of the per-pixel corrections: the ambient buffer that the
// DCS sorting fills, the straightforward forms of the per-frame corrections
// (the fast exported forms are proven bit-identical to them), and a reset
// for the tests.
#pragma once

#include <stdint.h>

namespace vz::epc::corr {

// Stores one grayscale value of the ambient buffer (82656 entries); indices
// outside the buffer are ignored.
void ambient_store(int index, uint16_t gray);
uint16_t ambient_at(int index);
// The stored temperature difference (calculationSetDiffTemp).
int16_t diff_temp();

// Straightforward forms: every table value is fetched through the module
// getters, every derived quantity recomputed where the arithmetic names it.
void ref_drnu2(uint16_t *dst, const uint16_t *src);
void ref_temperature(uint16_t *image);
void ref_add_offset(uint16_t *image);

// Forgets what the Kalman filters learnt from earlier frames (per-pixel
// estimates, counts and covariances back to their start values).
void kalman_restart();

// Back to the start-up switches, parameters and per-pixel state.
void reset_for_tests();

}  // namespace vz::epc::corr
