// Frame loops of the calculation: the settings of one frame read once, the
// readout order of a geometry as runs of whole rows, and the row kernels
// (scalar, and SIMD chosen at run time) that give the same codes and the
// same hysteresis state as the per-pixel calculator.
#pragma once

#include <cstdint>

namespace vz::epc::calc {

// Which frame loop the variants use: the per-pixel reference reading
// (iterator and calculator calls), the scalar row loop, or the SIMD row loop
// (which runs the scalar one where the CPU or the build has no SIMD).
enum class Path : int { Reference = 0, Scalar = 1, Simd = 2 };
void set_path(Path path);
Path path();
// The loop the last variant or sort ran: Reference, or Scalar/Simd for the
// row loops (tests check that the row loops were not bypassed).
Path last_loop();
void note_loop(Path loop);
// Instruction set the SIMD row loop uses: the best one of this CPU, "avx512"
// or "avx2", or "none" (no SIMD compiled in, or none supported).
const char *simd_isa();
// Selects an instruction set by name (tests); false when it is not compiled
// in or not supported, leaving the choice unchanged.
bool set_simd_isa(const char *name);

// Settings of one frame, read once before the loop.
struct Pixels {
    uint16_t mask = 0x0FFF;
    bool shift = false;  // epc635: samples x 16
    bool sat = false;    // saturation check on
    bool adc = false;    // ADC-overflow check on
    uint16_t amin = 1, amax = 4094;
    int div_shift = 0;         // amplitude divider 1 (0) or 2 (1)
    int upper = 0, lower = 0;  // hysteresis thresholds
    int type = 0;              // 0 distance, 1 amplitude, 2 both
    bool pn = false;
    bool four = false;  // four samples per pixel
};

// One run of pixels with consecutive input indices: the samples of each DCS
// (s2, s3 unused with two samples), the hysteresis state of the first pixel,
// and where the distance and amplitude codes go (nullptr: not wanted).
struct Run {
    const uint16_t *s[4] = {};
    uint8_t *state = nullptr;
    uint16_t *dist = nullptr;
    uint16_t *amp = nullptr;
    int len = 0;
};

void run_scalar(const Pixels &px, const Run &run);
// SIMD form of run_scalar; false (nothing done) when unavailable.
bool run_simd(const Pixels &px, const Run &run);
// The same over `count` runs at once (the kernels set up their constants
// once for all of them).
bool run_simd(const Pixels &px, const Run *runs, int count);

// A row of the readout: its first input index and its first output index.
struct Segment {
    int in;
    int out;
};
// The readout order of a geometry as row segments of `columns` pixels in
// input order (dual MGX: first-gate rows only); returns the segment count.
// The table is kept per geometry.
const Segment *readout_segments(int columns, int rows_per_half, int halves, bool mgx, int *count);

}  // namespace vz::epc::calc
