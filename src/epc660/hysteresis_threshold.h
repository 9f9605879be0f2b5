// Amplitude-hysteresis thresholds and the per-pixel hysteresis state. The
// exported setters change the thresholds and clear the state; the
// calculation's per-pixel test (hysteresisUpdate) reads the thresholds and
// reads and writes the state through these accessors.
#pragma once

#include <cstdint>

namespace vz::epc::hysteresis {

// A pixel passes with amplitude >= upper and fails below lower.
int upper();
int lower();
// The per-pixel state, kStatePixels bytes, 1 = pixel currently valid.
uint8_t *state();

// Forgets which pixels were valid, as a threshold change does.
void forget();

}  // namespace vz::epc::hysteresis
