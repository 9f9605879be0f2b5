// Gray and DCS sorting: raw grayscale or DCS planes put into image order,
// with the saturation and ADC-overflow markers, the FLIM gate split, and
// the grayscale, FLIM and ambient-light corrections that follow. Each sample
// has the straightforward per-sample form (iterator positions) and a row
// form over the readout's row segments; both give the same image.
#include <algorithm>
#include <cstring>

#include "epc660/calc.h"
#include "epc660/calc_frame.h"
#if __has_include("epc660/grayscale.h")
#include "epc660/grayscale.h"
#endif

namespace {

using namespace vz::epc;
using namespace vz::epc::calc;

constexpr int kCapacity = 4 * kPixels;

struct Sorter {
    uint16_t out[kCapacity];
    uint16_t work[kCapacity];
};
Sorter &sort_state() { return vz::epc::state<Sorter>(vz::epc::kSlotCalcSort); }
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] Sorter &g_sort = sort_state();

// Settings of one sort, read once.
struct Rules {
    bool flim = false;     // current mode 2: two gate images
    bool shifted = false;  // epc635: samples x 16
    bool sat = false, adc = false;
    uint16_t mask = 0x0FFF, amin = 1, amax = 4094;
    int half = 0;  // first sample of the second FLIM gate
};

Rules rules(int samples) {
    Rules r;
    r.flim = configGetCurrentMode() == 2;
    r.shifted = shifted_part();
    r.sat = saturation_on();
    r.adc = adc_overflow_on();
    r.mask = pixel_mask();
    r.amin = adc_min();
    r.amax = adc_max();
    r.half = samples / 2;
    return r;
}

// The sorted value of raw sample s at frame index j.
inline uint16_t value(const Rules &r, uint16_t s, int j) {
    if (r.sat && s == 4095) return kSaturated;
    if (r.flim) {
        if (r.shifted) return uint16_t((s >> 4) - 2048);
        const int m = s & r.mask;
        return uint16_t(j < r.half ? std::max(0, m - 2048) : std::max(0, 2048 - m));
    }
    if (r.shifted) {
        if (r.adc && (s < r.amin || s > r.amax)) return kAdcOverflow;
        return uint16_t(s >> 4);
    }
    const uint16_t m = s & r.mask;
    if (r.adc && (m < r.amin || m > r.amax)) return kAdcOverflow;
    return m;
}

// Per sample: the default iterator names each sample's image position.
void sort_reference(const Rules &r, const uint16_t *src, int planes, int plane, int used,
                    const Geometry &g, uint16_t *dst) {
    const int pixels = std::min(plane, g.columns * g.rows);
    for (int p = 0; p < planes; ++p) {
        iteratorDefaultInit(pixels, g.columns, g.rows);
        iterator_position_t pos{};
        while (iteratorDefaultHasNext()) {
            iteratorDefaultNext(&pos);
            const int j = p * plane + pos.indexIn;
            const int o = p * plane + pos.indexOut;
            if (j < used && o < kCapacity) dst[o] = value(r, src[j], j);
        }
    }
}

// Whole rows of a frame that fills the image exactly.
void sort_rows(const Rules &r, const uint16_t *src, int planes, int plane, const Geometry &g,
               uint16_t *dst) {
    int count = 0;
    const Segment *seg = readout_segments(g.columns, g.rows_per_half, g.halves, false, &count);
    for (int p = 0; p < planes; ++p) {
        const int base = p * plane;
        for (int k = 0; k < count; ++k) {
            const uint16_t *s = src + base + seg[k].in;
            uint16_t *d = dst + base + seg[k].out;
            const int j0 = base + seg[k].in;
            for (int x = 0; x < g.columns; ++x) d[x] = value(r, s[x], j0 + x);
        }
    }
    iteratorDefaultInit(plane, g.columns, g.rows);
    iterator_default_skip(plane);
}

// The FLIM correction in FLIM mode when available, else the grayscale one
// when one of its switches is on.
void gray_corrections(uint16_t *image, int samples) {
    if (configGetCurrentMode() == 2 && calculateIsFlimCorrectionAvailable())
        calculationFlimCorrection(image, samples);
    else if (grayscale::correctionSwitchedOn())
        calculateGrayscaleCorrection(image);
}

int bw_sorted(uint16_t **out, const char *fn) {
    Sorter &g_sort = sort_state();
    if (!out) return 0;
    *out = g_sort.out;
    uint16_t *frame = nullptr;
    const int samples = pruGetImage(&frame);
    Geometry g;
    if (!image_geometry(g, fn) || !frame || samples <= 0) return 0;
    const int planes = pruGetNDCS();
    if (planes < 1) return 0;
    const int used = std::min(samples, kCapacity);
    const int plane = samples / planes;
    const Rules r = rules(samples);
    if (path() != Path::Reference && plane == g.columns * g.rows && samples <= kCapacity &&
        samples == plane * planes) {
        sort_rows(r, frame, planes, plane, g, g_sort.out);
        note_loop(Path::Scalar);
    } else {
        std::memcpy(g_sort.work, frame, size_t(used) * 2);
        sort_reference(r, g_sort.work, planes, plane, used, g, g_sort.out);
        note_loop(Path::Reference);
    }
    return used;
}

}  // namespace

extern "C" {

VZ_API int calcBWSorted(uint16_t **out) noexcept {
    EPC_ENTRY(0, { return bw_sorted(out, epc_fn); });
}

VZ_API int calculationBW(uint16_t **frame) noexcept {
    EPC_ENTRY(0, {
        if (!frame) return 0;
        uint16_t *p = nullptr;
        const int n = pruGetImage(&p);
        if (!p || n <= 0) return 0;
        if (configGetCurrentMode() == 2) {
            const int half = n / 2;
            for (int i = 0; i < half; ++i) {
                const int s = p[i] & 0x0FFF;
                p[i] = uint16_t((p[i] & 0x0800) ? s - 2048 : 0);
            }
            for (int i = half; i < n; ++i) {
                const int s = p[i] & 0x0FFF;
                p[i] = uint16_t(s > 2048 ? 0 : 2048 - s);
            }
        } else {
            for (int i = 0; i < n; ++i) p[i] &= 0x0FFF;
        }
        *frame = p;
        return n;
    });
}

VZ_API int calculationBWSorted(uint16_t **out) noexcept {
    EPC_ENTRY(0, {
        const int n = bw_sorted(out, epc_fn);
        if (n > 0) gray_corrections(*out, n);
        return n;
    });
}

VZ_API int calculationDCSSorted(uint16_t **out) noexcept {
    EPC_ENTRY(0, {
        if (!out) return 0;
        if (configIsFLIM()) {
            const int n = bw_sorted(out, epc_fn);
            if (n > 0) gray_corrections(*out, n);
            return n;
        }
        const bool ambient = calculationGetEnableAmbientLight() != 0;
        if (ambient) {
            temperatureGetTemperature();  // also takes the grayscale image
            Geometry g;
            if (image_geometry(g, epc_fn))
                for (int i = 0; i < g.columns * g.rows; ++i)
                    corr::ambient_store(i, temperatureGetGrayscalePixel(i));
        }
        const int n = bw_sorted(out, epc_fn);
        if (n <= 0) return n;
        gray_corrections(*out, n);
        const int planes = pruGetNDCS();
        if (ambient && planes > 0) calculationAmbientDCSCorrection(*out, n / planes);
        return n;
    });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps calc_sort_slot = slot_ops<Sorter>();
}  // namespace vz::epc
