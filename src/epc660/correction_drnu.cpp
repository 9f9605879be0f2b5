// Per-pixel tables of DRNU mode 2: their preparation from a loaded set.
//
// The correction of a pixel searches, from the step predicted by linear
// interpolation between the pixel's minimum and maximum (o), the step i whose
// distance-image values F(i) <= w < F(i + 1) enclose the pixel's code w.
// Where the pixel's images rise with the step, the search ends on the
// largest i with F(i) <= w, whatever the direction it takes, as long as that
// i lies within the search window around o. For every prediction o the codes
// that predict it span a known interval, so the steps the search can end on
// are known in advance: the table keeps the lowest of them, and when at most
// three are possible two comparisons decide. Pixels whose images do not rise
// with the step, or predictions with more possible steps, are marked for the
// straightforward search. The table is laid out prediction by prediction, as
// the distance images step by step: neighbouring pixels of a surface read
// neighbouring entries.
#include "epc660/correction_drnu.h"

#include <algorithm>
#include <cmath>

#include "epc660/base.h"
#include "epc660/calibration.h"

namespace vz::epc::corr {
namespace {

using cal::kMaxSteps;
using cal::kPixels;

// The prepared table (4.1 MB, in zero-filled storage until a calibration set
// is loaded): the lowest step of prediction k at calibration index q is
// first[k x plane + q].
struct DrnuTables {
    uint8_t first[(size_t)kMaxSteps * kPixels];
    // Pixels whose images do not rise from minimum to maximum, one bit each
    // (padded for 16-bit reads at any byte).
    uint8_t irregular[kPixels / 8 + 8];
    // The images in blocks of 32 pixels, and where the last step may be
    // reached (see Drnu2View).
    uint16_t blocks[(size_t)kMaxSteps * kPixels];
    uint16_t near_top[kPixels];
    bool ready;
    uint64_t generation;  // of the calibration tables prepared from
    int h, width, height, mode;
};

DrnuTables &tables() { return vz::epc::state<DrnuTables>(vz::epc::kSlotCorrectionDrnu); }

// Lowest steps of one pixel: F its images, lo and hi its minimum and maximum.
// first receives entry k at first[k x plane]. Returns false when the images
// do not rise from the minimum to the maximum.
bool prepare_pixel(const uint16_t *f, int h, int lo, int hi, uint8_t *first, size_t plane) {
    bool rising = h >= 2 && lo < hi && f[0] == lo && f[h - 1] == hi;
    for (int i = 1; rising && i < h; ++i) rising = f[i - 1] <= f[i];
    if (!rising) {
        for (int k = 0; k < h; ++k) first[k * plane] = kDrnu2Search;
        return false;
    }
    // Bucket k holds the codes w with trunc((w - lo) h / (hi - lo)) = k; its
    // bounds are widened by far more than the rounding of that expression.
    // The step of w is the number of F(1..h-2) not above w.
    const double width = double(hi - lo) / h;
    int a = 0, b = 0;  // counts at the lower and upper bound
    for (int k = 0; k < h; ++k) {
        if (k >= h - 1) {
            first[k * plane] = kDrnu2NotFound;
            continue;
        }
        const double wa = lo + k * width - 0.01, wb = lo + (k + 1) * width + 0.01;
        while (a < h - 2 && f[a + 1] <= wa) ++a;
        b = std::max(b, a);
        while (b < h - 2 && f[b + 1] <= wb) ++b;
        first[k * plane] = b - a <= 2 ? uint8_t(a) : kDrnu2Search;
    }
    return true;
}

// Lowest u with (u + 1 - lo) h >= (h - 1)(hi - lo): from floor(w) = u on,
// trunc((w - lo) h / (hi - lo)) may reach h - 1; below it the quotient stays
// at least 1 / (hi - lo) under h - 1, far from any rounding.
uint16_t near_top(int h, int lo, int hi) {
    if (h < 2 || lo >= hi) return 0;
    const int64_t need = (int64_t)(h - 1) * (hi - lo);
    const int64_t t = lo - 1 + (need + h - 1) / h;  // lo - 1 + ceil(need / h)
    return (uint16_t)std::clamp<int64_t>(t, 0, 65535);
}

}  // namespace

Drnu2Whole drnu2_whole(const Drnu2Consts &k) {
    const double d = k.temp ? k.dt_slope : 0.0;
    if (!(d > -30000.0 && d < 30000.0)) return {false, false, 0, 0.0};
    const double fl = std::floor(d), frac = d - fl;
    if (frac == 0.0) return {true, true, (int)fl, 0.0};
    // Away from whole numbers and halves by far more than v - d can round.
    const bool usable = frac > 1e-6 && frac < 1.0 - 1e-6 && std::fabs(frac - 0.5) > 1e-6;
    return {usable, false, (int)fl + 1, fl + 1 - d};
}

void drnu2_prepare() {
    DrnuTables &t = tables();
    t.ready = false;
    const int w = calibrateGetWidth(), hgt = calibrateGetHeight();
    const int h = std::clamp(calibrateGetNumDistances(), 0, kMaxSteps);
    const int mode = cal::freq_mode();
    const size_t plane = (size_t)w * hgt;
    if (w <= 0 || hgt <= 0 || plane > (size_t)kPixels) return;
    const uint16_t *img = cal::dist_images(mode);
    const uint16_t *mn = cal::dist_min(mode), *mx = cal::dist_max(mode);
    uint16_t f[kMaxSteps];
    std::fill(t.irregular, t.irregular + sizeof t.irregular, uint8_t(0));
    for (size_t q = 0; q < plane; ++q) {
        for (int i = 0; i < h; ++i) f[i] = img[(size_t)i * plane + q];
        if (!prepare_pixel(f, h, mn[q], mx[q], t.first + q, plane))
            t.irregular[q / 8] = uint8_t(t.irregular[q / 8] | 1u << (q % 8));
        for (int i = 0; i < h; ++i) t.blocks[((q / 32) * h + i) * 32 + q % 32] = f[i];
        t.near_top[q] = near_top(h, mn[q], mx[q]);
    }
    t.generation = cal::generation();
    t.h = h;
    t.width = w;
    t.height = hgt;
    t.mode = mode;
    t.ready = true;
}

bool drnu2_ready() {
    const DrnuTables &t = tables();
    return t.ready && t.generation == cal::generation() &&
           t.h == std::clamp(calibrateGetNumDistances(), 0, kMaxSteps) &&
           t.width == calibrateGetWidth() && t.height == calibrateGetHeight() &&
           t.mode == cal::freq_mode();
}

Drnu2View drnu2_view() {
    const DrnuTables &tb = tables();
    return {tb.first,
            cal::dist_min(tb.mode),
            cal::dist_max(tb.mode),
            cal::dist_images(tb.mode),
            (size_t)tb.width * tb.height,
            tb.irregular,
            tb.blocks,
            tb.near_top,
            tb.h};
}

}  // namespace vz::epc::corr

namespace vz::epc {
constinit const SlotOps correction_drnu_slot = slot_ops<corr::DrnuTables>();
}  // namespace vz::epc
