// Flying pixels: a pixel whose neighbours on two opposite sides lie one
// nearer and one farther than it, each by more than a threshold, straddles a
// depth edge. Its light came from both surfaces and its distance floats in
// the empty space between them, so it is set to 0 (no distance).
#pragma once

#include "base/cpu.h"

namespace vz::flying {

// Widest image the filter serves (three rows of it are kept on the stack).
constexpr int kMaxWidth = 2048;

// Default threshold in metres: above a single frame's noise at the far end of
// the range, below the depth step of any edge worth keeping.
constexpr float kDefaultThreshold = 0.15f;

// True when t is a threshold the filter takes: finite and in (0, 60] metres.
bool usable_threshold(float t);

// Filters the w x h distances d in place. Pixels of the outer border, and
// neighbour pairs with a value that is no distance (NaN, markers, zero or
// less), are left out of the test. Returns false, leaving d alone, for an
// image it does not serve (w or h below 3, w above kMaxWidth, a threshold
// that is not usable). Does not allocate.
bool apply(float *d, int w, int h, float threshold);
// The same at a chosen instruction level (benchmarks and tests compare them).
bool apply_at(cpu::Level level, float *d, int w, int h, float threshold);

// The straightforward loop over a copy of the image: the reference of apply,
// equal to it bit for bit (it allocates the copy).
bool apply_reference(float *d, int w, int h, float threshold);

}  // namespace vz::flying
