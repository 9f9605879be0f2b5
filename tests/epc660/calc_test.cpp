// Distance and amplitude calculation: the row loops (scalar and every SIMD
// instruction set of this CPU) against the per-pixel reference reading on
// every variant, both chips, random and edge-value frames, comparing every
// code, the hysteresis state and the calculator registers over frames with
// changing thresholds, and on frames of the virtual epc660/epc635 sensors;
// the worked values of the arithmetic; the gray sorter;
// geometries and frames that do not fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "epc660/calc.h"
#include "epc660/calc_frame.h"
#include "epc660/hysteresis_threshold.h"
#include "vizor/epc660.h"
#ifdef VIZOR_CALC_VCAM
#include "vcam/epc.h"
#endif

namespace {

using namespace vz::epc::calc;
using Samples = std::vector<uint16_t>;
using VariantFn = int (*)(int, uint16_t **);

struct Chip {
    const char *name;
    int part_type;
};
constexpr Chip kChips[] = {{"epc660", 2}, {"epc635", 4}};

struct VariantCase {
    const char *name;
    VariantFn fn;
    int dcs;  // DCS planes of the frame
    bool mgx;
};
constexpr VariantCase kVariants[] = {
    {"DefNoPi", calcDefNoPiDelayGetDataSorted, 2, false},
    {"DefPi", calcDefPiDelayGetDataSorted, 4, false},
    {"MGXNoPi", calcMGXNoPiDelayGetDataSorted, 1, true},
    {"MGXPi", calcMGXPiDelayGetDataSorted, 2, true},
    {"PNDefNoPi", calcPNDefNoPiDelayGetDataSorted, 2, false},
    {"PNDefPi", calcPNDefPiDelayGetDataSorted, 4, false},
    {"PNMGXNoPi", calcPNMGXNoPiDelayGetDataSorted, 1, true},
    {"PNMGXPi", calcPNMGXPiDelayGetDataSorted, 2, true},
};

// The chip as the configuration leaves it: geometry, mask and ADC limits.
void select_chip(const Chip &c, int dcs) {
    reset_for_tests();
    configSetPartType(c.part_type);
    pruInit();
    pruSetDCS(dcs);
    const bool e635 = c.part_type >= 4;
    calculatorSetPixelMask(e635 ? 0xFFFF : 0x0FFF);
    adcOverflowSetMin(e635 ? 16 : 1);
    adcOverflowSetMax(e635 ? 65503 : 4094);
    atan2lut_Init();
}

// Raw samples: random 12-bit values, the edge values, or values near mid
// scale (amplitudes around the thresholds). The epc660 gets stray high bits
// (the mask removes them), the epc635 its left-aligned value and a noise
// nibble, with some raw extremes.
Samples make_frame(int samples, bool e635, int kind, std::mt19937 &rng) {
    static const uint16_t edge[] = {0, 1, 2047, 2048, 4094, 4095};
    Samples s(static_cast<size_t>(samples));
    for (auto &v : s) {
        int x;
        if (kind == 0)
            x = int(rng() % 4096);
        else if (kind == 1)
            x = edge[rng() % 6];
        else
            x = 2048 + int(rng() % 401) - 200;
        if (!e635) {
            v = uint16_t(x | (rng() % 8 == 0 ? (rng() % 16) << 12 : 0));
        } else {
            v = uint16_t(x << 4 | rng() % 16);
            if (kind == 1 && rng() % 16 == 0) v = edge[rng() % 6] == 4095 ? 4095 : 65535;
        }
    }
    return s;
}

void push(Samples &frame) {
    static epc_raw_image_t raw;
    raw = {};
    raw.frame_info.frame_size = uint32_t(frame.size() * 2);
    raw.frame_data = frame.data();
    pruSetImage(&raw);
}

// Everything a variant leaves behind that a caller can observe.
struct Result {
    std::vector<uint16_t> out;
    std::vector<uint8_t> state;
    std::vector<int> regs;
    bool operator==(const Result &) const = default;
};

Result run(const VariantCase &v, int type, Samples &frame) {
    push(frame);
    uint16_t *out = nullptr;
    Result r;
    const int n = v.fn(type, &out);
    r.out.assign(out, out + n);
    r.state.assign(vz::epc::hysteresis::state(), vz::epc::hysteresis::state() + kPixels);
    r.regs = {pixelDCS0,    pixelDCS1,   pixelDCS2, pixelDCS3,        arg1, arg2, amplitudeDivider,
              minAmplitude, indexMemory, indexCal,  saturationCheck()};
    if (v.mgx) {  // the iterator's next position
        iterator_mgx_position_t p{};
        r.regs.push_back(iteratorMGXHasNext());
        iteratorMGXNext(&p);
        r.regs.insert(r.regs.end(), {p.column, p.row, p.indexIn, p.indexOut, p.count, p.topHalf});
    } else {
        iterator_position_t p{};
        r.regs.push_back(iteratorDefaultHasNext());
        iteratorDefaultNext(&p);
        r.regs.insert(r.regs.end(), {p.column, p.row, p.indexIn, p.indexOut});
    }
    return r;
}

// Frame settings that change over a sequence: hysteresis thresholds (a
// change clears the state), saturation and ADC checks, ADC limits.
struct Step {
    int min_amp, width;  // -1: thresholds unchanged
    bool sat, adc;
    int amin, amax;  // 0: the chip's limits
    int kind;
};
constexpr Step kSteps[] = {
    {0, 0, false, false, 0, 0, 0},         {300, 100, true, true, 0, 0, 1},
    {-1, 0, false, true, 100, 4000, 2},    {-1, 0, true, false, 0, 0, 2},
    {150, 200, true, true, 3000, 1000, 1},
};

// The results of a sequence of frames through one loop.
std::vector<Result> sequence(const Chip &c, const VariantCase &v, int type, int cols, int rph,
                             Path loop, const char *isa, bool expect_rows) {
    select_chip(c, v.dcs);
    if (cols) pruSetSize(cols, rph);
    set_path(loop);
    if (isa) set_simd_isa(isa);
    const bool e635 = c.part_type >= 4;
    std::mt19937 rng(1234);
    std::vector<Result> results;
    const int samples = pruGetNCols() * v.dcs * pruGetNRowsPerHalf() * pruGetNumberOfHalves();
    for (const Step &s : kSteps) {
        if (s.min_amp >= 0) hysteresisSetThresholds(s.min_amp, s.width);
        saturationEnable(s.sat);
        adcOverflowEnable(s.adc);
        if (s.amin) {
            adcOverflowSetMin(uint16_t(e635 ? s.amin * 16 : s.amin));
            adcOverflowSetMax(uint16_t(e635 ? s.amax * 16 : s.amax));
        }
        Samples frame = make_frame(samples, e635, s.kind, rng);
        results.push_back(run(v, type, frame));
        if (expect_rows) {
            EXPECT_EQ(last_loop(), loop) << "the row loop was bypassed";
        }
    }
    return results;
}

TEST(CalcPaths, RowLoopsEqualThePerPixelReading) {
    // "none": the SIMD loop as it runs where the CPU or the build has none.
    std::vector<const char *> isas = {"none"};
    for (const char *isa : {"avx2", "avx512"})
        if (set_simd_isa(isa)) isas.push_back(isa);
#ifdef VIZOR_EPC_SIMD
    if (__builtin_cpu_supports("avx2")) {
        EXPECT_GT(isas.size(), 1u) << "no SIMD kernel built";
    }
#endif
    struct Size {
        int cols, rph;  // 0: the chip's full readout
    };
    for (const Chip &c : kChips)
        for (const VariantCase &v : kVariants)
            // 100 and 120 columns: rows that end in a scalar tail, and in a
            // wide vector before it.
            for (Size sz : {Size{0, 0}, Size{100, 25}, Size{120, 30}})
                for (int type : {0, 1, 2}) {
                    SCOPED_TRACE(std::string(c.name) + " " + v.name + " type " +
                                 std::to_string(type) + " cols " + std::to_string(sz.cols));
                    const auto ref =
                        sequence(c, v, type, sz.cols, sz.rph, Path::Reference, nullptr, true);
                    ASSERT_FALSE(ref.front().out.empty());
                    EXPECT_EQ(sequence(c, v, type, sz.cols, sz.rph, Path::Scalar, nullptr, true),
                              ref);
                    for (const char *isa : isas) {
                        SCOPED_TRACE(isa);
                        EXPECT_EQ(sequence(c, v, type, sz.cols, sz.rph, Path::Simd, isa, true),
                                  ref);
                    }
                }
    set_simd_isa(simd_isa());
}

#ifdef VIZOR_CALC_VCAM
// Frames the virtual sensors render of a ramp (noise, non-uniformity, defect
// pixels on), 4 and 2 DCS, through every loop: the same codes, hysteresis
// state and registers as the per-pixel reading.
TEST(CalcPaths, VirtualCameraFramesEqualThePerPixelReading) {
    for (const Chip &c : kChips) {
        const bool e635 = c.part_type >= 4;
        vcam::EpcModel model;
        vcam::EpcSensor sensor(e635 ? vcam::EpcChip::epc635 : vcam::EpcChip::epc660, model, 3, 17,
                               0);
        sensor.set_scene(
            vcam::Scene::ramp(sensor.image_width(), sensor.image_height(), 0.5f, 3.0f, 0.8f));
        std::vector<uint8_t> mode = {1};
        sensor.param_changed(10, mode);
        for (const VariantCase *v : {&kVariants[1], &kVariants[0]}) {
            SCOPED_TRACE(std::string(c.name) + " " + v->name);
            sensor.reg_write(146, uint8_t((v->dcs - 1) << 4));
            std::vector<uint8_t> bytes(sensor.describe().size);
            sensor.render(bytes, 1);
            Samples frame(bytes.size() / 2);
            memcpy(frame.data(), bytes.data(), frame.size() * 2);
            auto through = [&](Path loop, const char *isa) {
                select_chip(c, v->dcs);
                set_path(loop);
                if (isa) set_simd_isa(isa);
                hysteresisSetThresholds(40, 20);
                std::vector<Result> r;
                for (int type : {0, 1, 2}) r.push_back(run(*v, type, frame));
                return r;
            };
            const auto ref = through(Path::Reference, nullptr);
            ASSERT_EQ(frame.size(), ref[1].out.size() * size_t(v->dcs)) << "frame size";
            const auto valid = std::count_if(ref[0].out.begin(), ref[0].out.end(),
                                             [](uint16_t d) { return d < 30000; });
            EXPECT_GT(valid, long(ref[0].out.size() * 9 / 10)) << "mostly measured distances";
            EXPECT_EQ(through(Path::Scalar, nullptr), ref);
            for (const char *isa : {"none", "avx2", "avx512"})
                if (set_simd_isa(isa)) {
                    EXPECT_EQ(through(Path::Simd, isa), ref) << isa;
                }
        }
    }
    set_simd_isa(simd_isa());
}
#endif

// Components that reach every table entry in every octant, the axes and
// both diagonals, straight through the row kernels of each loop.
TEST(CalcPaths, EveryTableEntryInEveryOctant) {
    select_chip(kChips[0], 4);
    std::vector<int> ys, xs;
    for (int i = 0; i < 4096; ++i)
        for (int o = 0; o < 8; ++o) {
            const int y = (o & 4) ? 4095 : i, x = (o & 4) ? i : 4095;
            ys.push_back(o & 1 ? -y : y);
            xs.push_back(o & 2 ? -x : x);
        }
    for (int v : {0, 1, 2048, 4095}) {
        for (int sy : {1, -1})
            for (int sx : {1, -1}) {
                ys.push_back(sy * v);
                xs.push_back(sx * v);
                ys.push_back(0);
                xs.push_back(sx * v);
            }
    }
    const int n = int(ys.size());
    Samples d[4];
    for (auto &p : d) p.resize(size_t(n));
    for (int i = 0; i < n; ++i) {  // arg1 = d3 - d1, arg2 = d2 - d0
        d[1][size_t(i)] = uint16_t(std::max(0, -ys[size_t(i)]));
        d[3][size_t(i)] = uint16_t(d[1][size_t(i)] + ys[size_t(i)]);
        d[0][size_t(i)] = uint16_t(std::max(0, -xs[size_t(i)]));
        d[2][size_t(i)] = uint16_t(d[0][size_t(i)] + xs[size_t(i)]);
    }
    for (bool pn : {false, true}) {
        Pixels px;
        px.type = 2;
        px.four = true;
        px.div_shift = 1;
        px.pn = pn;
        std::vector<uint16_t> ref(2 * size_t(n)), got(2 * size_t(n));
        std::vector<uint8_t> st(static_cast<size_t>(n)), st2(static_cast<size_t>(n));
        auto go = [&](std::vector<uint16_t> &out, std::vector<uint8_t> &state, bool simd) {
            vz::epc::calc::Run r;
            for (int k = 0; k < 4; ++k) r.s[k] = d[k].data();
            r.state = state.data();
            r.dist = out.data();
            r.amp = out.data() + n;
            r.len = n;
            if (!simd || !run_simd(px, r)) run_scalar(px, r);
        };
        go(ref, st, false);
        for (int i = 0; i < n && !pn; ++i)
            ASSERT_EQ(ref[size_t(i)], (atan2_lut(ys[size_t(i)], xs[size_t(i)]) + 315000) % 30000)
                << ys[size_t(i)] << "," << xs[size_t(i)];
        for (const char *isa : {"avx2", "avx512"}) {
            if (!set_simd_isa(isa)) continue;
            go(got, st2, true);
            EXPECT_EQ(got, ref) << isa << (pn ? " PN" : " sine");
        }
    }
}

// The row kernels straight on random runs under every combination of the
// per-frame settings: checks on or off, ADC limits inside and crossed,
// thresholds below, inside and beyond the amplitudes, every output type,
// two and four samples, run lengths around the vector widths. Each SIMD
// instruction set against the scalar kernel: codes and hysteresis state.
TEST(CalcPaths, RowKernelsUnderEverySetting) {
    std::mt19937 rng(31);
    struct Limits {
        int amin, amax;
    };
    struct Thresholds {
        int upper, lower;
    };
    const Limits limits[] = {{1, 4094}, {300, 3800}, {4000, 100}};
    const Thresholds thresholds[] = {{0, 0}, {400, 300}, {1500, 1400}, {70000, -5}, {-3, 40000}};
    const int lengths[] = {1, 15, 31, 32, 33, 64, 95, 320};
    int cases = 0;
    for (bool four : {false, true})
        for (bool pn : {false, true})
            for (int type : {0, 1, 2})
                for (int checks = 0; checks < 4; ++checks)
                    for (const Limits &lim : limits)
                        for (const Thresholds &th : thresholds)
                            for (int len : lengths) {
                                Pixels px;
                                px.four = four;
                                px.pn = pn;
                                px.type = type;
                                px.div_shift = four ? 1 : 0;
                                px.sat = checks & 1;
                                px.adc = checks & 2;
                                px.amin = uint16_t(lim.amin);
                                px.amax = uint16_t(lim.amax);
                                px.upper = th.upper;
                                px.lower = th.lower;
                                Samples d[4];
                                for (auto &p : d) {
                                    p.resize(size_t(len));
                                    for (auto &v : p) {  // edge values now and then
                                        const unsigned r = rng();
                                        v = uint16_t(r % 8 == 0 ? (r >> 3) % 2 * 4095 : r % 4096);
                                        if (r % 61 == 0) v = uint16_t(0xF000 | v);  // masked bits
                                    }
                                }
                                std::vector<uint8_t> seed(static_cast<size_t>(len));
                                for (auto &b : seed) b = uint8_t(rng() % 3 == 0);
                                auto go = [&](bool simd, std::vector<uint8_t> &state) {
                                    Samples out(2 * size_t(len), 0xABCD);
                                    state = seed;
                                    vz::epc::calc::Run r;
                                    for (int k = 0; k < 4; ++k) r.s[k] = d[k].data();
                                    r.state = state.data();
                                    r.len = len;
                                    if (type == 1)
                                        r.amp = out.data();
                                    else
                                        r.dist = out.data();
                                    if (type == 2) r.amp = out.data() + len;
                                    if (!simd || !run_simd(px, r)) run_scalar(px, r);
                                    return out;
                                };
                                std::vector<uint8_t> st_ref, st;
                                const Samples ref = go(false, st_ref);
                                for (const char *isa : {"avx2", "avx512"}) {
                                    if (!set_simd_isa(isa)) continue;
                                    const Samples got = go(true, st);
                                    const auto bad =
                                        std::mismatch(got.begin(), got.end(), ref.begin());
                                    ASSERT_TRUE(bad.first == got.end())
                                        << isa << " four " << four << " pn " << pn << " type "
                                        << type << " checks " << checks << " len " << len << " at "
                                        << (bad.first - got.begin()) << ": " << *bad.first << " vs "
                                        << *bad.second << " thresholds " << th.upper << ","
                                        << th.lower << " limits " << lim.amin << "," << lim.amax;
                                    ASSERT_EQ(st, st_ref) << isa << " state";
                                    ++cases;
                                }
                            }
    set_simd_isa(simd_isa());
    if (std::strcmp(simd_isa(), "none") != 0) {
        EXPECT_GT(cases, 0);
    }
}

// The 16-bit kernel corrects the single-precision amplitude root only
// downwards: that holds for every sum of two squares of 12-bit differences.
TEST(CalcArithmetic, SinglePrecisionRootIsNeverBelowTheIntegerRoot) {
    int64_t r = 0, below = 0, far = 0;
    for (int64_t s = 0; s <= 2 * 4095 * 4095; ++s) {
        while ((r + 1) * (r + 1) <= s) ++r;  // floor(sqrt(s))
        const int64_t f = int64_t(std::sqrt(float(s)));
        below += f < r;
        far += f > r + 1;
    }
    EXPECT_EQ(below, 0);
    EXPECT_EQ(far, 0);
}

TEST(CalcArithmetic, ArctangentWorkedValues) {
    atan2lut_Init();
    struct Case {
        int y, x, code;
    };
    for (Case c : {Case{0, 5, 0},
                   {0, -5, 15000},
                   {5, 0, 7500},
                   {-5, 0, 22500},
                   {5, 5, 3750},
                   {0, 0, 0},
                   {4095, 4095, 3750},
                   {-4096, -4096, 18750},
                   {1, 4095, 1},
                   {-1, 10000, 0}})  // just below a full turn: 0, not 30000
        EXPECT_EQ(atan2_lut(c.y, c.x), c.code) << c.y << "," << c.x;
    EXPECT_EQ(atan_table()[4095], 3750);
    // Any int pair folds without overflow and stays within one period.
    for (int v : {INT32_MIN, INT32_MAX, -1}) EXPECT_LT(atan2_lut(v, INT32_MIN), 30000);
}

// One pixel through the calculator: setup, samples, expected distance and
// amplitude of calculatorGetDistAndAmpSine (or the PN form).
struct PixelCase {
    const char *name;
    int part_type;
    std::function<void()> setup;
    std::vector<uint16_t> dcs;
    bool pn;
    uint16_t dist, amp;
};

TEST(CalcArithmetic, PixelWorkedValues) {
    auto sat = [] { saturationEnable(1); };
    auto adc = [] { adcOverflowEnable(1); };
    auto both = [] {
        saturationEnable(1);
        adcOverflowEnable(1);
    };
    auto none = [] {};
    const PixelCase cases[] = {
        {"both components 0 (2 DCS)", 2, none, {2048, 2048}, false, 15000, 0},
        {"arg1 0, arg2 > 0: half a period", 2, none, {2048, 2048, 2148, 2048}, false, 15000, 50},
        {"4095 with the check off", 2, none, {4095, 0, 0, 0}, false, 0, 2047},
        {"4095 saturates with the check on", 2, sat, {4095, 0, 0, 0}, false, 65400, 65400},
        {"saturation tests unmasked samples", 2, sat, {0xF000 | 4095, 1, 1, 1}, false, 0, 2047},
        {"ADC 0", 2, adc, {0, 2048}, false, 65500, 65500},
        {"ADC 4095", 2, adc, {2048, 4095}, false, 65500, 65500},
        {"saturation wins", 2, both, {4095, 0, 2000, 2000}, false, 65400, 65400},
        {"amplitude sqrt / 2", 2, none, {0, 0, 300, 400}, false, 19428, 250},
        {"PN both 0", 2, none, {2048, 2048}, true, 0, 0},
        {"PN ratio", 2, none, {0, 0, 300, 100}, true, 7500, 200},
        {"epc635 shifts components", 4, none, {0, 0, 16 * 300, 16 * 400}, false, 19428, 250},
        {"epc635 2 DCS", 4, none, {16 * 2048, 16 * 2048}, false, 15000, 0},
    };
    for (const PixelCase &c : cases) {
        SCOPED_TRACE(c.name);
        select_chip(kChips[c.part_type >= 4 ? 1 : 0], 4);
        hysteresisSetThresholds(0, 0);
        c.setup();
        const bool four = c.dcs.size() == 4;
        calculatorInit(four ? 2 : 1);
        if (four)
            calculatorSetArgs4DCS(c.dcs[0], c.dcs[1], c.dcs[2], c.dcs[3], 7, 7);
        else
            calculatorSetArgs2DCS(c.dcs[0], c.dcs[1], 7, 7);
        const uint32_t w = c.pn ? calculatorGetDistAndAmpPN() : calculatorGetDistAndAmpSine();
        EXPECT_EQ(uint16_t(w), c.dist);
        EXPECT_EQ(uint16_t(w >> 16), c.amp);
        EXPECT_EQ(c.pn ? calculatorGetAmpPN() : calculatorGetAmpSine(), c.amp);
    }
}

TEST(CalcArithmetic, HysteresisKeepsValidPixelsDownToTheLowerThreshold) {
    hysteresisSetThresholds(100, 20);
    struct Case {
        int index, amplitude, pass;
    };
    for (Case c : {Case{1, 90, 0},
                   {1, 100, 1},
                   {1, 90, 1},
                   {1, 80, 1},
                   {1, 79, 0},
                   {1, 90, 0},
                   {2, 79, 0},
                   {-1, 100, 1},
                   {kPixels, 90, 0}})
        EXPECT_EQ(hysteresisUpdate(c.index, c.amplitude), c.pass) << c.index << " " << c.amplitude;
    hysteresisUpdate(3, 150);
    hysteresisUpdateThresholds(100);  // a threshold change forgets valid pixels
    EXPECT_EQ(hysteresisUpdate(3, 90), 0);
}

TEST(CalcLayout, SortedImageOrderAndTypeTwoLayout) {
    for (const Chip &c : kChips) {
        SCOPED_TRACE(c.name);
        select_chip(c, 2);
        hysteresisSetThresholds(0, 0);
        const int pixels = pruGetNCols() * pruGetNRowsPerHalf() * pruGetNumberOfHalves();
        const int shift = c.part_type >= 4 ? 4 : 0;
        Samples frame(size_t(2 * pixels), uint16_t(2048 << shift));
        frame[0] = uint16_t(2148 << shift);  // first raw sample of plane 0
        push(frame);
        uint16_t *out = nullptr;
        ASSERT_EQ(calcDefNoPiDelayGetDataSorted(2, &out), 2 * pixels);
        const int cols = pruGetNCols();
        // epc635: bottom-left corner; epc660: first column of the last top row.
        const int at = c.part_type >= 4 ? pixels - cols : (pruGetNRowsPerHalf() - 1) * cols;
        EXPECT_EQ(out[pixels + at], 100);
        EXPECT_EQ(out[pixels + (at + 1) % pixels], 0);
    }
}

TEST(CalcLayout, GeometriesAndFramesThatDoNotFit) {
    select_chip(kChips[0], 4);
    uint16_t *out = nullptr;
    Samples frame(320 * 4 * 240, 2048);
    // Fewer planes than the mode reads: only the pixels the frame carries.
    pruSetDCS(1);
    push(frame);
    EXPECT_EQ(calcDefPiDelayGetDataSorted(2, &out), 2 * (320 * 240 / 4));
    // More planes than the mode reads: at most the image's pixels.
    pruSetDCS(8);
    frame.assign(320 * 8 * 240, 2048);
    push(frame);
    EXPECT_EQ(calcDefNoPiDelayGetDataSorted(2, &out), 2 * 320 * 240);
    push(frame);
    EXPECT_EQ(calcMGXPiDelayGetDataSorted(2, &out), 2 * 320 * 120);
    // A geometry beyond the state arrays is refused.
    pruSetSize(400, 200);
    push(frame);
    EXPECT_EQ(calcDefPiDelayGetDataSorted(0, &out), 0);
    EXPECT_EQ(calcDefPiDelayGetDataSorted(0, nullptr), 0);
    pruInit();
}

TEST(CalcPipeline, VariantThenOffsetWithTheFlagsChoice) {
    select_chip(kChips[0], 2);
    hysteresisSetThresholds(0, 0);
    calculationEnablePiDelay(0);
    std::mt19937 rng(5);
    Samples frame = make_frame(320 * 2 * 240, false, 0, rng);
    push(frame);
    uint16_t *out = nullptr;
    const int n = calcDefNoPiDelayGetDataSorted(2, &out);
    const std::vector<uint16_t> plain(out, out + n);
    calibrationSetOffsetPhase(29000);
    push(frame);
    ASSERT_EQ(calculationDistanceAndAmplitudeSorted(&out), n);
    for (int i = 0; i < n / 2; ++i)
        ASSERT_EQ(out[i],
                  plain[size_t(i)] >= 65300 ? plain[size_t(i)] : (plain[size_t(i)] + 29000) % 30000)
            << i;
    calibrationSetOffsetPhase(0);
    calculationEnablePiDelay(1);
}

TEST(CalcSort, GrayRowsEqualThePerSampleReading) {
    for (const Chip &c : kChips)
        for (int mode : {0, 2})
            for (bool checks : {false, true}) {
                SCOPED_TRACE(std::string(c.name) + " mode " + std::to_string(mode));
                std::vector<uint16_t> images[2];
                for (Path loop : {Path::Reference, Path::Scalar}) {
                    select_chip(c, 2);
                    configLoad(mode, 0);
                    saturationEnable(checks);
                    adcOverflowEnable(checks);
                    set_path(loop);
                    std::mt19937 rng(99);
                    Samples frame = make_frame(
                        pruGetNCols() * 2 * pruGetNRowsPerHalf() * pruGetNumberOfHalves(),
                        c.part_type >= 4, 1, rng);
                    push(frame);
                    uint16_t *out = nullptr;
                    const int n = calcBWSorted(&out);
                    ASSERT_EQ(n, int(frame.size()));
                    EXPECT_EQ(last_loop(), loop);
                    images[int(loop)].assign(out, out + n);
                }
                EXPECT_EQ(images[0], images[1]);
            }
    configLoad(1, 0);
}

TEST(CalcSort, PnPolynomialClampsLengthAndTaps) {
    struct Case {
        int length, taps, word;
    };
    for (Case c :
         {Case{0, 9, 0x7FE7}, {1, 0, 0x402B}, {7, 4, 0x01F5}, {9, -3, 0x011D}, {3, 2, 0x107B}})
        EXPECT_EQ(pnSelectPolynomial(c.length, c.taps, 0x20), c.word);
    EXPECT_EQ(dumpAllRegisters(0x20, nullptr), -1);
    EXPECT_EQ(setEnableImaging(0x12345), 0x2345);
}

}  // namespace
