// Scalar row loops of the calculation and the readout order of a geometry.
// The arithmetic is the calculator's, pixel for pixel, without the calls:
// the settings are read once per frame and the pixels of a row run in input
// order, so codes and hysteresis state come out as with the per-pixel calls.
#include "epc660/calc_frame.h"

#include <cmath>
#include <cstdlib>

#include "epc660/calc.h"

namespace vz::epc::calc {

namespace {

struct FrameLoops {
    Path path = Path::Simd;
    Path last = Path::Reference;
    // Readout order of the last geometry asked for.
    int columns = -1, rows_per_half = -1, halves = -1;
    bool mgx = false;
    int count = 0;
    Segment segment[kMaxRows + 1] = {};
};
FrameLoops &loops_state() { return vz::epc::state<FrameLoops>(vz::epc::kSlotCalcLoops); }
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] FrameLoops &g_loops = loops_state();

constexpr uint16_t kFullScale = 4095;

template <bool Four, bool Pn, int Type>
void scalar(const Pixels &px, const Run &run) {
    const uint16_t *s0 = run.s[0], *s1 = run.s[1], *s2 = run.s[2], *s3 = run.s[3];
    const bool adc_fixed = px.adc && px.amin > px.amax;  // the two padding samples
    for (int x = 0; x < run.len; ++x) {
        const uint16_t r0 = s0[x], r1 = s1[x];
        const uint16_t r2 = Four ? s2[x] : 0, r3 = Four ? s3[x] : 0;
        const int m0 = r0 & px.mask, m1 = r1 & px.mask;
        const int m2 = r2 & px.mask, m3 = r3 & px.mask;
        bool sat = r0 == kFullScale || r1 == kFullScale;
        if (Four) sat = sat || r2 == kFullScale || r3 == kFullScale;
        int a1, a2;
        if (Four) {
            a1 = m3 - m1;
            a2 = m2 - m0;
            if (px.shift) {
                a1 >>= 4;
                a2 >>= 4;
            }
        } else if (px.shift) {
            a2 = 2048 - (m0 >> 4);
            a1 = 2048 - (m1 >> 4);
        } else {
            a2 = 2048 - m0;
            a1 = 2048 - m1;
        }
        auto outside = [&](int m) { return m < px.amin || m > px.amax; };
        uint16_t dist, amp;
        if (px.sat && sat) {
            dist = amp = kSaturated;
        } else if (px.adc && (outside(m0) || outside(m1) ||
                              (Four ? outside(m2) || outside(m3) : adc_fixed))) {
            dist = amp = kAdcOverflow;
        } else {
            if (Pn)
                amp = uint16_t((std::abs(a1) + std::abs(a2)) >> px.div_shift);
            else
                amp = uint16_t(
                    int64_t(std::sqrt(double(a1 * a1 + a2 * a2)) / double(1 << px.div_shift)));
            dist = 0;
            if (Type != 1) {
                uint8_t &st = run.state[x];
                bool pass;
                if (amp >= px.upper) {
                    st = 1;
                    pass = true;
                } else if (amp < px.lower) {
                    st = 0;
                    pass = false;
                } else {
                    pass = st == 1;
                }
                if (!pass) {
                    dist = amp = kLowAmplitude;
                } else if (Pn) {
                    const int a = std::abs(a1), b = std::abs(a2);
                    dist =
                        a + b == 0 ? 0 : uint16_t(int(double(a) / double(a + b) * 30000.0 + 0.5));
                } else {
                    dist = uint16_t((atan2_small(a1, a2) + 315000) % 30000);
                }
            }
        }
        if (run.dist) run.dist[x] = dist;
        if (run.amp) run.amp[x] = amp;
    }
}

template <bool Four, bool Pn>
void scalar_type(const Pixels &px, const Run &run) {
    if (px.type == 1)
        scalar<Four, Pn, 1>(px, run);
    else
        scalar<Four, Pn, 0>(px, run);
}

}  // namespace

void set_path(Path p) {
    FrameLoops &g_loops = loops_state();
    g_loops.path = p;
}
Path path() {
    FrameLoops &g_loops = loops_state();
    return g_loops.path;
}
Path last_loop() {
    FrameLoops &g_loops = loops_state();
    return g_loops.last;
}
void note_loop(Path loop) {
    FrameLoops &g_loops = loops_state();
    g_loops.last = loop;
}

void run_scalar(const Pixels &px, const Run &run) {
    if (px.four)
        px.pn ? scalar_type<true, true>(px, run) : scalar_type<true, false>(px, run);
    else
        px.pn ? scalar_type<false, true>(px, run) : scalar_type<false, false>(px, run);
}

const Segment *readout_segments(int columns, int rows_per_half, int halves, bool mgx, int *count) {
    FrameLoops &g_loops = loops_state();
    FrameLoops &g = g_loops;
    if (g.columns != columns || g.rows_per_half != rows_per_half || g.halves != halves ||
        g.mgx != mgx) {
        g.columns = columns;
        g.rows_per_half = rows_per_half;
        g.halves = halves;
        g.mgx = mgx;
        g.count = 0;
        const int rows = rows_per_half * halves;
        const int set = halves * columns;  // one row set of the readout
        // Row sets in input order; with dual MGX only every second one (the
        // first gate) and the output height halved.
        const int sets = mgx ? rows_per_half / 2 : rows_per_half;
        const int height = mgx ? rows / 2 : rows;
        for (int k = 0; k < sets && g.count + halves <= kMaxRows + 1; ++k) {
            const int in = (mgx ? 2 * k : k) * set;
            if (halves == 1) {
                g.segment[g.count++] = {in, columns * (height - 1 - k)};
            } else {
                g.segment[g.count++] = {in, columns * (height / 2 - 1 - k)};
                g.segment[g.count++] = {in + columns, columns * (height / 2 + k)};
            }
        }
    }
    *count = g.count;
    return g.segment;
}

}  // namespace vz::epc::calc

namespace vz::epc {
constinit const SlotOps calc_loops_slot = slot_ops<calc::FrameLoops>();
}  // namespace vz::epc
