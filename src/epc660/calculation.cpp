// Distance and amplitude calculation: the mode flags, the eight calculation
// variants (sine or PN modulation, default or dual-MGX readout, two or four
// samples per pixel), and the distance pipeline that runs a variant and then
// the filters and corrections in their fixed order. Each variant has its
// per-pixel reference loop (iterator and calculator calls) and a row loop
// proven to give the same codes and module state.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "epc660/calc.h"
#include "epc660/calc_frame.h"

namespace {

using namespace vz::epc;
using namespace vz::epc::calc;

struct Flags {
    int pi_delay = 1;
    int dual_mgx = 0;
    int pn = 0;
    int hdr = 0;
};
Flags &flags_state() { return vz::epc::state<Flags>(vz::epc::kSlotCalcFlags); }

enum VariantId { DefNo, DefPi, MgxNo, MgxPi, PnDefNo, PnDefPi, PnMgxNo, PnMgxPi, kVariants };

struct Variant {
    bool four, pn, mgx;
};
constexpr Variant kVariant[kVariants] = {
    {false, false, false}, {true, false, false}, {false, false, true}, {true, false, true},
    {false, true, false},  {true, true, false},  {false, true, true},  {true, true, true},
};

// Output buffers (one per variant: distance, then amplitude) and the work
// copy of the preprocessing variants. Static: nothing is allocated per frame.
struct Buffers {
    uint16_t out[kVariants][2 * kPixels];
    uint16_t work[4 * kPixels];
};
Buffers &buf_state() { return vz::epc::state<Buffers>(vz::epc::kSlotCalcBuffers); }
#undef EPC_BIND
#define EPC_BIND                                     \
    [[maybe_unused]] Flags &g_flags = flags_state(); \
    [[maybe_unused]] Buffers &g_buf = buf_state();

// Where the samples of the pixel with input index i lie: DCS k at plane[k][i].
struct Frame {
    const uint16_t *plane[4] = {};
    int pixels = 0;     // pixels to calculate
    int count = 0;      // the count the iterator is initialised with
    bool full = false;  // the frame fills the image: the row loops apply
};

// The DCS-sum filter: pixels whose opposite samples do not add up to about
// twice the mid-scale are zeroed in the work copy (n = plane length of the
// frame, the work copy has planes of `pixels`).
void dcs_sum_filter(const uint16_t *s, int n, int pixels, uint16_t *work) {
    const int threshold = configGetDcsAdd_threshold();
    const bool shifted = shifted_part();
    for (int i = 0; i < pixels; ++i) {
        int s02 = s[i] + s[2 * n + i];
        int s13 = s[n + i] + s[3 * n + i];
        if (shifted) {
            s02 >>= 4;
            s13 >>= 4;
        }
        const float d02 = float(std::abs(s02 - 4096)), d13 = float(std::abs(s13 - 4096));
        if (i == 4500 && configPrint() > 1)
            print(true, 2, "print 4500 dcs0+2: %2.4f dcs0+2: %2.4f threshold %d \n", double(d02),
                  double(d13), threshold);
        const bool keep = d02 < float(threshold) && d13 < float(threshold);
        for (int k = 0; k < 4; ++k) work[k * pixels + i] = keep ? s[k * n + i] : 0;
    }
}

void copy_planes(const uint16_t *s, int n, int pixels, int planes, uint16_t *work) {
    for (int k = 0; k < planes; ++k)
        std::memcpy(work + size_t(k) * pixels, s + size_t(k) * n, size_t(pixels) * 2);
}

// The straightforward reading: one iterator step and one calculator call
// per pixel, exactly as the arithmetic is told.
void reference(const Variant &v, int type, const Frame &fr, const Geometry &g, uint16_t *out,
               bool ambient) {
    const int n = fr.pixels;
    auto pixel = [&](int i, int cal, int o) {
        uint16_t d0 = fr.plane[0][i], d1 = fr.plane[1][i];
        if (ambient) {
            d0 = calculationAmbientDCSCorrectionPixel(d0, temperatureGetGrayscalePixel(i));
            d1 = calculationAmbientDCSCorrectionPixel(d1, temperatureGetGrayscalePixel(i));
        }
        if (v.four)
            calculatorSetArgs4DCS(d0, d1, fr.plane[2][i], fr.plane[3][i], i, cal);
        else
            calculatorSetArgs2DCS(d0, d1, i, cal);
        if (type == 1) {
            out[o] = v.pn ? calculatorGetAmpPN() : calculatorGetAmpSine();
            return;
        }
        const uint32_t word = v.pn ? calculatorGetDistAndAmpPN() : calculatorGetDistAndAmpSine();
        out[o] = uint16_t(word);
        if (type == 2) out[n + o] = uint16_t(word >> 16);
    };
    if (!v.mgx) {
        iteratorDefaultInit(n, g.columns, g.rows);
        iterator_position_t p{};
        while (iteratorDefaultHasNext()) {
            iteratorDefaultNext(&p);
            pixel(p.indexIn, p.indexIn, p.indexOut);
        }
    } else {
        iteratorMGXInit(fr.count, g.columns, g.rows);
        iterator_mgx_position_t p{};
        for (int done = 0; done < n && iteratorMGXHasNext(); ++done) {
            iteratorMGXNext(&p);
            pixel(p.indexIn, p.count, p.indexOut);
        }
    }
}

// Whole rows through the row kernels, then the calculator registers and the
// iterator put where the per-pixel loop leaves them.
void rows(const Variant &v, int type, const Frame &fr, const Geometry &g, uint16_t *out) {
    const int n = fr.pixels;
    Pixels px;
    px.mask = pixel_mask();
    px.shift = shifted_part();
    px.sat = saturation_on();
    px.adc = adc_overflow_on();
    px.amin = adc_min();
    px.amax = adc_max();
    px.div_shift = v.four ? 1 : 0;
    px.upper = hysteresis::upper();
    px.lower = hysteresis::lower();
    px.type = type;
    px.pn = v.pn;
    px.four = v.four;

    int segments = 0;
    const Segment *seg = readout_segments(g.columns, g.rows_per_half, g.halves, v.mgx, &segments);
    uint8_t *state = hysteresis::state();
    const bool simd = path() == Path::Simd;
    Run runs[kMaxRows + 1];  // every row of the frame, for one kernel call
    for (int k = 0; k < segments; ++k) {
        Run &run = runs[k];
        for (int d = 0; d < (v.four ? 4 : 2); ++d) run.s[d] = fr.plane[d] + seg[k].in;
        run.state = state + seg[k].in;
        run.len = g.columns;
        if (type == 1) {
            run.amp = out + seg[k].out;
        } else {
            run.dist = out + seg[k].out;
            if (type == 2) run.amp = out + n + seg[k].out;
        }
    }
    if (!simd || !run_simd(px, runs, segments))
        for (int k = 0; k < segments; ++k) run_scalar(px, runs[k]);

    const int last = seg[segments - 1].in + g.columns - 1;
    const int cal = v.mgx ? n - 1 : last;
    if (v.four)
        calculatorSetArgs4DCS(fr.plane[0][last], fr.plane[1][last], fr.plane[2][last],
                              fr.plane[3][last], last, cal);
    else
        calculatorSetArgs2DCS(fr.plane[0][last], fr.plane[1][last], last, cal);
    if (!v.mgx) {
        iteratorDefaultInit(n, g.columns, g.rows);
        iterator_default_skip(n);
    } else {
        iteratorMGXInit(fr.count, g.columns, g.rows);
        iterator_mgx_skip(n);
    }
}

// One calculation variant on the image source's frame.
int run_variant(VariantId id, int type, uint16_t **out, const char *fn) {
    Buffers &g_buf = buf_state();
    if (!out) return 0;
    const Variant &v = kVariant[id];
    if (type < 0 || type > 2) type = 0;
    uint16_t *dst = g_buf.out[id];
    *out = dst;
    uint16_t *frame = nullptr;
    const int samples = pruGetImage(&frame);
    Geometry g;
    if (!image_geometry(g, fn) || !frame || samples <= 0) return 0;

    const int spp = v.four ? 4 : 2;
    Frame fr;
    bool ambient = false;
    if (!v.mgx) {
        const int n = samples / spp;
        const int image = g.columns * g.rows;
        fr.pixels = std::min(n, image);
        fr.count = fr.pixels;
        fr.full = n == image;
        const uint16_t *src = frame;
        int stride = n;
        if (!v.pn) {  // sine, default readout: work copy and ambient light
            ambient = calculationGetEnableAmbientLight() != 0;
            if (v.four && configStatusEnableAddArg()) {
                dcs_sum_filter(frame, n, fr.pixels, g_buf.work);
                src = g_buf.work;
                stride = fr.pixels;
            } else if (ambient || path() == Path::Reference) {
                // The row loops read the frame itself: the copy is the same.
                copy_planes(frame, n, fr.pixels, spp, g_buf.work);
                src = g_buf.work;
                stride = fr.pixels;
            }
            if (ambient)
                calculationSetDiffTemp(
                    int16_t(temperatureGetTemperature() - calibrateGetTempCalib()));
        }
        if (fr.pixels > 0)
            for (int k = 0; k < spp; ++k) fr.plane[k] = src + size_t(k) * stride;
    } else {
        // Dual MGX: row set 2j holds the first gate, 2j + 1 the second; only
        // whole pairs of row sets are calculated.
        const int set = g.halves * g.columns;
        const int image = g.rows_per_half / 2 * set;
        const int carried = samples / spp / set * set;
        fr.pixels = std::min(carried, image);
        fr.full = carried >= image;
        fr.count = v.four ? samples / 2 : samples;
        if (fr.pixels > 0) {
            fr.plane[0] = frame;
            fr.plane[1] = frame + set;
            if (v.four) {
                fr.plane[2] = frame + samples / 2;
                fr.plane[3] = frame + samples / 2 + set;
            }
        }
    }

    calculatorInit(v.four ? 2 : 1);
    // The row kernels hold components within +-4096: masks of 12 bits, or the
    // epc635's shift of left-aligned samples.
    const bool bounded = pixel_mask() <= 0x0FFF || shifted_part();
    if (path() != Path::Reference && fr.full && fr.pixels > 0 && !ambient && bounded) {
        rows(v, type, fr, g, dst);
        note_loop(path());
    } else {
        reference(v, type, fr, g, dst, ambient);
        note_loop(Path::Reference);
    }
    return type == 2 ? 2 * fr.pixels : fr.pixels;
}

// The variant the mode flags choose.
VariantId selected() {
    Flags &g_flags = flags_state();
    const int family = (g_flags.pn ? 4 : 0) + (g_flags.dual_mgx ? 2 : 0);
    return VariantId(family + (g_flags.pi_delay ? 1 : 0));
}

// Variant, filters, Kalman filters, DRNU or temperature correction, offset.
int distance_pipeline(int type, uint16_t **out, const char *fn) {
    if (!out) return 0;
    const int addr = configGetDeviceAddress();
    const int offset = calibrationGetOffsetPhase();
    const int drnu = calculationGetEnableDRNU();
    if (drnu == 1 || drnu == 2) calibrationSetOffset(0, addr);
    const int n = run_variant(selected(), type, out, fn);
    uint16_t *image = *out;
    const bool have = n > 0;
    if (have) {
        imageCorrect(image);
        imageProcess(image);
        imageAverage(image);
        imageDifference(image);
        calculationFalmanFiltering(image);
    }
    if (drnu == 1) {
        calibrationSetOffsetPhase(offset);
        if (have) calculationCorrectDRNU(image);
    } else if (drnu == 2) {
        calibrationSetOffsetPhase(offset);
        if (have) calculationCorrectDRNU2_opt(image, image);
    } else if (have && calculationGetEnableTemperature()) {
        calculationTemperatureCompensation(image);
    }
    if (have) calculationAddOffset(image);
    return n;
}

constexpr uint16_t kPnTable[7][5] = {
    {0x402B, 0x4039, 0x4053, 0x405F, 0x7FE7}, {0x201B, 0x2027, 0x2035, 0x2053, 0x3FFD},
    {0x1053, 0x1069, 0x107B, 0x107D, 0x1FC9}, {0x0805, 0x0817, 0x082B, 0x082D, 0x0FE9},
    {0x0409, 0x041B, 0x0427, 0x042D, 0x07F9}, {0x0211, 0x021B, 0x0221, 0x022D, 0x03FB},
    {0x011D, 0x012B, 0x012D, 0x014D, 0x01F5},
};

}  // namespace

namespace vz::epc::calc {

bool image_geometry(Geometry &g, const char *fn) {
    g.columns = pruGetNCols();
    g.rows_per_half = pruGetNRowsPerHalf();
    g.halves = pruGetNumberOfHalves();
    const bool ok = g.columns >= 1 && g.rows_per_half >= 1 && (g.halves == 1 || g.halves == 2) &&
                    g.rows_per_half * g.halves <= kMaxRows &&
                    int64_t(g.columns) * g.rows_per_half * g.halves <= kPixels;
    g.rows = ok ? g.rows_per_half * g.halves : 0;
    if (!ok)
        vz_wrn("[%s] image geometry %d x %d x %d cannot be calculated\n", fn, g.columns,
               g.rows_per_half, g.halves);
    return ok;
}

void reset_for_tests() {
    Flags &g_flags = flags_state();
    g_flags = Flags{};
    saturationEnable(0);
    adcOverflowEnable(0);
    adcOverflowSetMin(1);
    adcOverflowSetMax(4094);
    calculatorSetPixelMask(0x0FFF);
    set_path(Path::Simd);
}

}  // namespace vz::epc::calc

extern "C" {

VZ_API int calculationEnablePiDelay(int enable) noexcept {
    EPC_ENTRY(enable, { return g_flags.pi_delay = enable; });
}
VZ_API int calculationIsPiDelay(void) noexcept {
    EPC_ENTRY(0, { return g_flags.pi_delay; });
}
VZ_API int calculationEnableDualMGX(int enable) noexcept {
    EPC_ENTRY(enable, { return g_flags.dual_mgx = enable; });
}
VZ_API int calculationIsDualMGX(void) noexcept {
    EPC_ENTRY(0, { return g_flags.dual_mgx; });
}
VZ_API int calculationEnablePN(int enable) noexcept {
    EPC_ENTRY(enable, { return g_flags.pn = enable; });
}
VZ_API int calculationIsPN(void) noexcept {
    EPC_ENTRY(0, { return g_flags.pn; });
}
VZ_API int calculationEnableHDR(int enable) noexcept {
    EPC_ENTRY(enable, { return g_flags.hdr = enable; });
}
VZ_API int calculationIsHDR(void) noexcept {
    EPC_ENTRY(0, { return g_flags.hdr; });
}
// Kept for the facade; the calculation has a single (linear) phase model.
VZ_API void calculationEnableLinear(void) noexcept {}

VZ_API int calculationDistanceSorted(uint16_t **out) noexcept {
    EPC_ENTRY(0, { return distance_pipeline(0, out, epc_fn); });
}
VZ_API int calculationDistanceAndAmplitudeSorted(uint16_t **out) noexcept {
    EPC_ENTRY(0, { return distance_pipeline(2, out, epc_fn); });
}
VZ_API int calculationAmplitudeSorted(uint16_t **out) noexcept {
    EPC_ENTRY(0, { return run_variant(selected(), 1, out, epc_fn); });
}

#define VZ_VARIANT(name, id)                                          \
    VZ_API int name(int type, uint16_t **out) noexcept {              \
        EPC_ENTRY(0, { return run_variant(id, type, out, epc_fn); }); \
    }
VZ_VARIANT(calcDefNoPiDelayGetDataSorted, DefNo)
VZ_VARIANT(calcDefPiDelayGetDataSorted, DefPi)
VZ_VARIANT(calcMGXNoPiDelayGetDataSorted, MgxNo)
VZ_VARIANT(calcMGXPiDelayGetDataSorted, MgxPi)
VZ_VARIANT(calcPNDefNoPiDelayGetDataSorted, PnDefNo)
VZ_VARIANT(calcPNDefPiDelayGetDataSorted, PnDefPi)
VZ_VARIANT(calcPNMGXNoPiDelayGetDataSorted, PnMgxNo)
VZ_VARIANT(calcPNMGXPiDelayGetDataSorted, PnMgxPi)
#undef VZ_VARIANT

VZ_API int pnSelectPolynomial(int length, int taps, int deviceAddress) noexcept {
    EPC_ENTRY(0, {
        length = std::clamp(length, 1, 7);
        taps = std::clamp(taps, 0, 4);
        uint8_t reg = 0;
        if (reg_read(deviceAddress, 146, reg))
            reg_write(deviceAddress, 146, uint8_t((reg & ~0x07) | length));
        const uint16_t word = kPnTable[length - 1][taps];
        const uint8_t data[2] = {uint8_t(word >> 8), uint8_t(word & 0xFF)};
        reg_write_n(deviceAddress, 140, data, 2);
        print(true, 0, "i2cData[0] = %X\n", unsigned(data[0]));
        print(true, 0, "i2cData[1] = %X\n", unsigned(data[1]));
        return int(word);
    });
}

VZ_API int dumpAllRegisters(int deviceAddress, uint16_t *dst) noexcept {
    EPC_ENTRY(-1, {
        if (!dst) return -1;
        uint8_t regs[256] = {};
        if (!reg_read_n(deviceAddress, 0, regs, 256)) return -1;
        for (int i = 0; i < 256; ++i) dst[i] = regs[i];
        return 0;
    });
}

VZ_API uint16_t setEnableImaging(int enable) noexcept { return uint16_t(enable); }

}  // extern "C"

namespace vz::epc {
constinit const SlotOps calc_flags_slot = slot_ops<Flags>();
constinit const SlotOps calc_buffers_slot = slot_ops<Buffers>();
}  // namespace vz::epc
