// The virtual epc660/epc635 cameras driven through the wire, without USB:
// register file and fuse memory, parameters, raw frames decoded by the
// test's own reading of the physics, the sensor's errors, and the factory
// calibration package (unpacked with unzip).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "vcam/fw_host.h"

namespace {

using fwtest::Host;
using fwtest::le16;
using fwtest::le32;
using vcam::EpcCalib;
using vcam::Firmware;
using vcam::FirmwareConfig;

constexpr double kHalfC = 149896229.0;
constexpr double kRange12 = kHalfC / 12e6;

FirmwareConfig epc_cfg(const char *product, uint8_t part_type = 0) {
    FirmwareConfig c;
    c.product = product;
    c.epc.part_type = part_type;
    c.epc.noise = false;
    return c;
}
// Exact frames: no pattern, drift or defects.
FirmwareConfig ideal(const char *product) {
    auto c = epc_cfg(product);
    c.epc.drnu = c.epc.temperature_drift = false;
    c.epc.defect_pixels = 0;
    return c;
}

uint32_t reg1(Host &h, uint32_t addr) {
    std::vector<uint32_t> v;
    EXPECT_TRUE(h.reg_read(1, addr, 1, v));
    return v.empty() ? 0xFFFF : v[0];
}
// Fuse bytes as a host reads them: the address to 17, one read of 18 each.
std::vector<uint32_t> fuses(Host &h, uint8_t addr, int n) {
    EXPECT_TRUE(h.reg_write(1, 17, {addr}));
    std::vector<uint32_t> out;
    for (int i = 0; i < n; ++i) out.push_back(reg1(h, 18));
    return out;
}
int16_t temp15(Host &h, int i) { return int16_t(le16(&h.param_get({15})[0][2 + 2 * i])); }

struct Frame {
    uint16_t format = 0, width = 0, height = 0;
    int16_t chip_temp = 0, illum_temp = 0;
    std::vector<uint16_t> s;  // samples in wire order
    std::vector<uint8_t> raw;
};
// One frame off the bulk stream: chunks of a 36-byte header (dlen at 4,
// frame size at 8) and dlen payload bytes, until the frame is complete.
Frame capture(Host &h, uint32_t frames = 1) {
    Frame f;
    EXPECT_TRUE(h.start(frames));
    auto b = h.drain();
    if (b.size() < 36) return f;
    f.format = le16(&b[14]), f.width = le16(&b[16]), f.height = le16(&b[18]);
    f.chip_temp = int16_t(le16(&b[20])), f.illum_temp = int16_t(le16(&b[22]));
    for (size_t o = 0; o + 36 <= b.size() && f.raw.size() < le32(&b[8]); o += 36 + le32(&b[o + 4]))
        f.raw.insert(f.raw.end(), b.begin() + long(o + 36),
                     b.begin() + long(std::min<size_t>(o + 36 + le32(&b[o + 4]), b.size())));
    for (size_t i = 0; i + 1 < f.raw.size(); i += 2) f.s.push_back(le16(&f.raw[i]));
    return f;
}

// The readout the test expects from its own register settings.
struct Geometry {
    bool e660 = true, mgx = false, pn = false;
    int planes = 4, x1 = 4, y1 = 6, cols = 320, rph = 120, cs = 1, rs = 1;
    int halves() const { return e660 ? 2 : 1; }
};
// One decoded output pixel: phase in periods, amplitude, and the field
// column and rows (two with dual MGX) its samples came from.
struct Px {
    double turns, amp;
    int col, row[2];
};
std::vector<Px> decode(const Frame &f, const Geometry &g) {
    std::vector<Px> out;
    const int gs = g.mgx ? 2 : 1, n = g.planes * gs;
    const size_t plane = size_t(g.cols * g.rph * g.halves());
    if (f.s.size() != plane * size_t(g.planes)) return out;
    for (int m = 0; m < g.rph / gs; ++m)
        for (int h = 0; h < g.halves(); ++h)
            for (int j = 0; j < g.cols; ++j) {
                Px p{0, 0, g.x1 + j * g.cs, {0, 0}};
                double d[4] = {0, 0, 0, 0};
                for (int t = 0; t < gs; ++t) {  // dual MGX: row set 2m first, 2m + 1 second sample
                    int k = m * gs + t;
                    size_t i = size_t((k * g.halves() + h) * g.cols + j);
                    for (int q = 0; q < g.planes; ++q)
                        d[g.mgx ? 2 * q + t : q] = f.s[q * plane + i] >> (g.e660 ? 0 : 4);
                    // Row pair k: half row y1 + (rph - 1 - k) rs, in the top then the bottom half.
                    int y = g.y1 + (g.rph - 1 - k) * g.rs;
                    p.row[t] = p.row[1] = h == 0 ? y : 251 - y;
                }
                // Sine: DCS_q = 2048 + A cos(2 pi x - q pi / 2); PN: a triangle.
                double a = n == 4 ? d[0] - d[2] : d[0] - 2048,
                       b = n == 4 ? d[1] - d[3] : d[1] - 2048;
                if (g.pn) {
                    p.turns = std::fabs(b) / (std::fabs(a) + std::fabs(b));
                    p.amp = (std::fabs(a) + std::fabs(b)) / (n == 4 ? 2 : 1);
                } else {
                    p.turns = std::atan2(b, a) / (2 * M_PI);
                    p.turns -= std::floor(p.turns);
                    p.amp = std::hypot(a, b) / (n == 4 ? 2 : 1);
                }
                out.push_back(p);
            }
    return out;
}

// ---- register file, fuses, parameters ----------------------------------------------

TEST(EpcRegisters, PowerUpValuesFusesAndIdentity) {
    struct Chip {
        const char *product;
        uint8_t part_type_opt, part_type;
        uint32_t x2, y2, temps;
    } chips[] = {{"VZ-E1-660", 0, 2, 323, 125, 4},
                 {"VZ-E2-635", 0, 4, 163, 65, 1},
                 {"VZ-E1-660", 3, 3, 323, 125, 4},
                 {"VZ-E2-635", 5, 5, 163, 65, 1}};
    for (const auto &c : chips) {
        SCOPED_TRACE(c.product);
        auto cfg = epc_cfg(c.product, c.part_type_opt);
        cfg.wafer_id = 0x0123, cfg.chip_id = 0x0456;
        Firmware fw(cfg);
        Host h(fw);
        // System clock ((R130 & 0x1F) x 4000 + 4000) >> R129[5:4], modulation / (4 (R133 + 1)).
        uint32_t sys = ((reg1(h, 130) & 0x1F) * 4000 + 4000) >> ((reg1(h, 129) >> 4) & 3);
        EXPECT_EQ(sys / (4 * ((reg1(h, 133) & 0x1F) + 1)), 12000u);
        EXPECT_EQ(reg1(h, 146) & 0x70, 0x30u);  // 4 DCS, sine
        EXPECT_EQ(reg1(h, 148), 0u);
        EXPECT_EQ(reg1(h, 34) & 0x30, 0x30u);  // background suppression
        EXPECT_EQ(reg1(h, 174) & 1, 1u);       // DLL bypassed
        EXPECT_EQ(reg1(h, 233), 161u);         // (1.9 ns - 1.8) / 0.003 + 128
        std::vector<uint32_t> roi;
        ASSERT_TRUE(h.reg_read(1, 150, 6, roi));
        EXPECT_EQ(roi, (std::vector<uint32_t>{0, 4, c.x2 >> 8, c.x2 & 0xFF, 6, c.y2}));
        EXPECT_EQ(fuses(h, 246, 6),
                  (std::vector<uint32_t>{0x01, 0x23, 0x04, 0x56, c.part_type, 7}));
        auto p = h.param_get({7, 15});
        ASSERT_EQ(p.size(), 2u);
        EXPECT_EQ(
            std::vector<uint8_t>(p[0].begin() + 1, p[0].begin() + 8),
            (std::vector<uint8_t>{6, 7, 0, 0x56, 0x04, 0x23, 0x01}));  // part version, chip, wafer
        EXPECT_EQ(p[1][1], 2 * c.temps);
        // Writes land in the file; IC type and version are ROM; reset restores.
        uint32_t ic = reg1(h, 0);
        ASSERT_TRUE(h.reg_write(1, 0, {0x99, 0x98}));
        ASSERT_TRUE(h.reg_write(1, 150, {0, 10, 0, 200, 20, 100}));
        EXPECT_EQ(reg1(h, 0), ic);
        EXPECT_EQ(fw.reg(1, 153), 200u);
        ASSERT_TRUE(h.reset(1));
        EXPECT_EQ(fw.reg(1, 153), c.x2 & 0xFF);
    }
}

TEST(EpcRegisters, PartTypeSwitchesWithinTheFamilyAndIdsAreSettable) {
    Firmware fw(epc_cfg("VZ-E1-660"));
    Host h(fw);
    ASSERT_TRUE(h.reg_write(1, 17, {250, 3}));  // the FLIM variant
    ASSERT_TRUE(h.reg_write(1, 17, {250, 4}));  // an epc635 type: ignored
    EXPECT_EQ(fuses(h, 250, 1)[0], 3u);
    fw.with_epc([](vcam::EpcSensor &s) { s.set_ids(7, 9); });
    EXPECT_EQ(fuses(h, 246, 4), (std::vector<uint32_t>{0, 7, 0, 9}));
}

TEST(EpcRegisters, TemperatureRegistersDecodeToTheReportedTemperatures) {
    // ((hi << 8 & 0x3FFF | lo) x 0.25 + 0.5 - 2048) is raw, ((raw - offset) /
    // slope + 27) x 10 the temperature, trims 232 + 2i (offset), 233 + 2i (slope).
    for (bool e660 : {true, false}) {
        Firmware fw(epc_cfg(e660 ? "VZ-E1-660" : "VZ-E2-635"));
        Host h(fw);
        for (uint32_t i = 0; i < (e660 ? 4u : 1u); ++i) {
            double o = reg1(h, 232 + 2 * i), s = reg1(h, 233 + 2 * i);
            double off = e660 ? 1082 - (o - 127) : 1397.46 - (o - 127) / 1.0859;
            double slope = e660 ? 3.7424012151 - (s - 127) / 127 : 4.678 - (s - 127) / 79.375;
            uint32_t w = (reg1(h, 96 + 2 * i) << 8 & 0x3FFF) | reg1(h, 97 + 2 * i);
            double t = ((std::trunc(w * 0.25 + 0.5 - 2048) - off) / slope + 27) * 10;
            EXPECT_NEAR(t, temp15(h, int(i)), 3.0) << e660 << i;
        }
    }
}

TEST(EpcParams, ImageModeAndIntegrationTimeAreCheckedAndClamped) {
    Firmware fw(epc_cfg("VZ-E1-660"));
    Host h(fw);
    for (auto [set, stored] :
         {std::pair{700, 700}, {4000, 4000}, {4001, 4000}, {60000, 4000}, {0, 1}}) {
        ASSERT_TRUE(h.param_set({Host::rec(13, {uint8_t(set), uint8_t(set >> 8)})}));
        EXPECT_EQ(le16(&h.param_get({13})[0][2]), stored) << set;
    }
    EXPECT_TRUE(h.param_set({Host::rec(10, {0})}));
    EXPECT_EQ(h.param_get({10})[0][2], 0);
    EXPECT_FALSE(h.param_set({Host::rec(10, {3})}));
    EXPECT_FALSE(h.param_set({Host::rec(7, {1, 2})}));  // identity is read-only
}

// ---- raw frames ---------------------------------------------------------------------

TEST(EpcFrames, DecodedDistancesMatchTheScene) {
    struct Case {
        bool e660;
        uint8_t r133, r146, r148;  // 133: 1 = 12 MHz, 0 = 24 MHz; DCS/PN; binning/MGX
        int x1, x2, y1, y2;        // region of interest, 0: power-up
        uint16_t format;
        int planes;
    } cases[] = {
        {true, 1, 0x30, 0x00, 0, 0, 0, 0, 2, 4},       {true, 0, 0x30, 0x00, 0, 0, 0, 0, 2, 4},
        {true, 1, 0x10, 0x00, 0, 0, 0, 0, 8, 2},       {true, 0, 0x10, 0x00, 0, 0, 0, 0, 8, 2},
        {true, 1, 0x30, 0x11, 0, 0, 0, 0, 2, 4},       {true, 1, 0x30, 0x04, 0, 0, 0, 0, 2, 4},
        {true, 0, 0x30, 0x00, 20, 219, 30, 125, 2, 4}, {false, 1, 0x30, 0x00, 0, 0, 0, 0, 2, 4},
        {false, 0, 0x10, 0x00, 0, 0, 0, 0, 8, 2},      {false, 0, 0x30, 0x11, 10, 131, 8, 55, 2, 4},
        {true, 1, 0x10, 0x80, 0, 0, 0, 0, 1, 2},       {true, 1, 0x00, 0x80, 0, 0, 0, 0, 4, 1},
        {true, 1, 0x70, 0x00, 0, 0, 0, 0, 5, 4},       {false, 1, 0x50, 0x00, 0, 0, 0, 0, 7, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.e660 << " " << int(c.r133) << " " << int(c.r146) << " "
                                        << int(c.r148) << " " << c.x1);
        auto cfg = ideal(c.e660 ? "VZ-E1-660" : "VZ-E2-635");
        Firmware fw(cfg);
        Host h(fw);
        const int iw = c.e660 ? 320 : 160, ih = c.e660 ? 240 : 60;
        auto sc = vcam::Scene::flat(iw, ih, 1.0f, 0.9f);  // no two pixels alike
        for (int i = 0; i < iw * ih; ++i)
            sc.distance_m[size_t(i)] = 0.8f + 0.01f * float(i % iw) + 0.005f * float(i / iw);
        fw.set_scene(sc);
        ASSERT_TRUE(h.reg_write(1, 133, {c.r133}) && h.reg_write(1, 146, {c.r146}) &&
                    h.reg_write(1, 148, {c.r148}));
        Geometry g{c.e660, (c.r148 & 0x80) != 0, (c.r146 & 0x40) != 0, c.planes};
        int x2 = c.e660 ? 323 : 163, y2 = c.e660 ? 125 : 65;
        if (c.x2) {
            g.x1 = c.x1, x2 = c.x2, g.y1 = c.y1, y2 = c.y2;
            ASSERT_TRUE(h.reg_write(
                1, 150, {0, uint32_t(g.x1), 0, uint32_t(x2), uint32_t(g.y1), uint32_t(y2)}));
        }
        g.cs = (c.r148 & 0x11) == 0x11 ? 2 : 1, g.rs = 1 << ((c.r148 >> 2) & 3);
        g.cols = (x2 - g.x1 + 1) / g.cs, g.rph = (y2 - g.y1 + 1) / g.rs;
        Frame f = capture(h);
        EXPECT_EQ(f.format, c.format);
        EXPECT_EQ(f.width, g.cols);
        EXPECT_EQ(f.height, g.rph * g.halves() / (g.mgx ? 2 : 1));
        auto px = decode(f, g);
        ASSERT_EQ(px.size(), size_t(g.cols * g.rph * g.halves() / (g.mgx ? 2 : 1)));
        const double range = kHalfC / ((c.r133 ? 12000 : 24000) * 1e3),
                     d_sys = cfg.epc.system_delay_ns * 1e-9 * kHalfC;
        double worst = 0;
        for (const auto &p : px) {
            double truth = 0;
            for (int r : p.row)
                for (int b = 0; b < g.cs; ++b)
                    truth += sc.distance_m[size_t((r - 6) * iw + p.col - 4 + b)];
            truth /= 2 * g.cs;
            double err = std::fabs(std::remainder(p.turns * range - d_sys - truth, range));
            // Rounding the samples moves the phase by at most about 1 / A.
            double tol =
                range / (g.pn ? 1 : 2 * M_PI) / p.amp + 0.002 * (g.cs - 1) + 0.003 * g.mgx + 1e-4;
            worst = std::max(worst, err / tol);
        }
        EXPECT_LE(worst, 1.0);
    }
}

TEST(EpcFrames, OddRegionsGiveWholeFramesOfTheAnnouncedSize) {
    struct Case {
        const char *product;
        uint32_t roi[6], r148;
    } cases[] = {{"VZ-E2-635", {0, 4, 0, 163, 71, 71}, 0x80},         // last row, dual MGX
                 {"VZ-E1-660", {1, 200, 0, 10, 90, 80}, 0x00},        // x2 < x1, y2 < y1
                 {"VZ-E1-660", {0, 0, 0xFF, 0xFF, 255, 255}, 0x3D}};  // beyond the field
    for (const auto &c : cases) {
        Firmware fw(epc_cfg(c.product));
        Host h(fw);
        ASSERT_TRUE(
            h.reg_write(1, 150, {c.roi[0], c.roi[1], c.roi[2], c.roi[3], c.roi[4], c.roi[5]}));
        ASSERT_TRUE(h.reg_write(1, 148, {c.r148}));
        auto f = capture(h);
        EXPECT_GT(f.width * f.height, 0);
        EXPECT_EQ(f.raw.size() % (size_t(f.width) * f.height * 2), 0u) << c.product;
    }
}

TEST(EpcFrames, IntegrationTimeLightAndAmbientChangeTheSamples) {
    Firmware fw(ideal("VZ-E1-660"));
    Host h(fw);
    const size_t plane = 320 * 240, i = 60 * 640 + 100;
    auto dcs = [&](const Frame &f, int p) { return double(f.s[p * plane + i]); };
    auto amp = [&](const Frame &f) {
        return std::hypot(dcs(f, 0) - dcs(f, 2), dcs(f, 1) - dcs(f, 3)) / 2;
    };
    auto offset = [&](const Frame &f) { return (dcs(f, 0) + dcs(f, 2)) / 2 - 2048; };
    auto scene = vcam::Scene::flat(320, 240, 1.5f, 0.8f);
    scene.ambient.assign(plane, 0.5f);
    fw.set_scene(scene);
    // A = 800 x reflectivity x t / 1000 us / d^2; ambient 1500 x 0.5 x t /
    // 1000 us, 5 % of it with background suppression on.
    auto f1000 = capture(h);
    EXPECT_NEAR(amp(f1000), 800 * 0.8 / 2.25, 1.5);
    EXPECT_NEAR(offset(f1000), 1500 * 0.5 * 0.05, 1.0);
    ASSERT_TRUE(h.param_set({Host::rec(13, {0xF4, 0x01})}));  // 500 us
    EXPECT_NEAR(amp(capture(h)) / amp(f1000), 0.5, 0.01);
    // ... as integration registers: 1 x 24000 clocks of 1 / 48 MHz.
    std::vector<uint32_t> it;
    ASSERT_TRUE(h.reg_read(1, 160, 4, it));
    EXPECT_EQ(it, (std::vector<uint32_t>{0, 1, 23999 >> 8, 23999 & 0xFF}));
    ASSERT_TRUE(h.reg_write(1, 160, {0, 1, 0, 4}));  // 5 clocks: no light at all
    EXPECT_LT(amp(capture(h)), 1.0);
    ASSERT_TRUE(h.param_set({Host::rec(13, {0xF4, 0x01})}));
    ASSERT_TRUE(h.reg_write(1, 34, {0x04}));  // suppression off
    EXPECT_NEAR(offset(capture(h)), 1500 * 0.5 * 0.5, 1.0);
    fw.set_scene(vcam::Scene::flat(320, 240, 0.15f, 1.0f));  // too close: clipped
    auto sat = capture(h);
    EXPECT_EQ(*std::max_element(sat.s.begin(), sat.s.end()), 4095);
    EXPECT_EQ(capture(h).s, capture(h).s);  // noise off: a still scene repeats
    // Shot noise: seeded, so two cameras agree frame by frame.
    auto cfg = ideal("VZ-E1-660");
    cfg.epc.noise = true;
    Firmware n1(cfg), n2(cfg);
    Host h1(n1), h2(n2);
    auto a = capture(h1);
    EXPECT_NE(a.s, capture(h1).s);
    EXPECT_EQ(a.s, capture(h2).s);
}

TEST(EpcFrames, TemperaturesRiseWhileCapturingAndReachTheHeader) {
    Firmware fw(epc_cfg("VZ-E1-660"));
    Host h(fw);
    auto f0 = capture(h);
    EXPECT_EQ((std::pair{f0.chip_temp, f0.illum_temp}), (std::pair<int16_t, int16_t>{300, 280}));
    fw.with_epc([](vcam::EpcSensor &s) { s.set_frames_rendered(300); });
    auto f = capture(h);  // 300 + 60 (1 - e^-1), 280 + 100 (1 - e^-1)
    EXPECT_EQ((std::pair{f.chip_temp, f.illum_temp}), (std::pair<int16_t, int16_t>{338, 343}));
    EXPECT_EQ((temp15(h, 0) + temp15(h, 1) + temp15(h, 2) + temp15(h, 3)) / 4, 338);
}

TEST(EpcFrames, GrayFramesCarryLightAndTheBorderTemperatureSensors) {
    auto cfg = ideal("VZ-E1-660");
    cfg.epc.gray_fpn = false;
    Firmware fw(cfg);
    Host h(fw);
    fw.set_scene(vcam::Scene::flat(320, 240, 1.5f, 0.8f));
    ASSERT_TRUE(h.param_set({Host::rec(10, {0})}));
    auto g = capture(h);
    EXPECT_EQ(g.format, 0);
    ASSERT_EQ(g.s.size(), 320u * 240u);
    EXPECT_NEAR(g.s[100], 2048 + 800 * 0.8 / 2.25, 1.0);
    // Columns 0..327, the two middle rows of each half: sensor i is the mean of
    // its four border pixels - 2048, ((raw - offset) / slope + 25) x 10.
    ASSERT_TRUE(h.reg_write(1, 150, {0, 0, 1, 71, 124, 125}));
    auto t = capture(h);
    ASSERT_EQ(t.s.size(), 328u * 4u);
    const int px[4][4] = {
        {0, 1, 656, 657}, {326, 327, 982, 983}, {328, 329, 984, 985}, {654, 655, 1310, 1311}};
    for (int i = 0; i < 4; ++i) {
        double raw = (t.s[px[i][0]] + t.s[px[i][1]] + t.s[px[i][2]] + t.s[px[i][3]]) / 4.0 - 2048;
        double o = fw.reg(1, 232 + 2 * i), s = fw.reg(1, 233 + 2 * i);
        double temp = ((raw - (1082 - (o - 127))) / (3.7424012151 - (s - 127) / 127) + 25) * 10;
        EXPECT_NEAR(temp, temp15(h, i), 3.0) << i;
    }
}

// ---- the sensor's own errors ------------------------------------------------------

TEST(EpcErrors, EachErrorShowsOnTheWireAndOnlyWhenSwitchedOn) {
    struct Case {
        const char *name;
        void (*on)(vcam::EpcModel &);
        double min_dev, max_dev;  // largest |on - off| over the image (m)
    } cases[] = {
        {"fixed pattern", [](vcam::EpcModel &m) { m.drnu = true, m.cyclic_error_m = 0; }, 0.01,
         0.04},
        {"cyclic error", [](vcam::EpcModel &m) { m.drnu = true, m.drnu_pattern_m = 0; }, 0.015,
         0.021},
        // 1.7 mm per 0.1 degC over the 6 degC the chip warms up to.
        {"temperature drift",
         [](vcam::EpcModel &m) { m.temperature_drift = true, m.heat_frames = 0; }, 0.101, 0.103},
    };
    // Reflectivity grows with d^2: amplitude 1900 everywhere, fine quantisation.
    auto ramp = vcam::Scene::ramp(320, 240, 0.8f, 4.0f, 1.0f);
    for (size_t i = 0; i < ramp.distance_m.size(); ++i)
        ramp.reflectivity[i] = ramp.distance_m[i] * ramp.distance_m[i] / 16;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto cfg = ideal("VZ-E1-660");
        cfg.epc.amplitude_ref = 1900 * 16;
        Firmware off(cfg);
        c.on(cfg.epc);
        Firmware on(cfg);
        Host ho(off), hn(on);
        off.set_scene(ramp);
        on.set_scene(ramp);
        auto a = decode(capture(ho), {}), b = decode(capture(hn), {});
        ASSERT_EQ(a.size(), b.size());
        double dev = 0, step = 0;
        for (size_t i = 0; i < a.size(); ++i) {
            double d = std::remainder(b[i].turns - a[i].turns, 1.0) * kRange12;
            dev = std::max(dev, std::fabs(d));
            if (i % 320)
                step = std::max(
                    step,
                    std::fabs(d - std::remainder(b[i - 1].turns - a[i - 1].turns, 1.0) * kRange12));
        }
        EXPECT_GE(dev, c.min_dev);
        EXPECT_LE(dev, c.max_dev);
        EXPECT_LT(step, 0.004);  // smooth from pixel to pixel
    }
}

TEST(EpcErrors, GrayFixedPatternAndDefectPixels) {
    Firmware fw(epc_cfg("VZ-E1-660"));
    Host h(fw);
    fw.set_scene(vcam::Scene::flat(320, 240, 1.5f, 0.8f));
    auto tof = capture(h);
    const size_t plane = 320 * 240;
    int stuck = 0, dead = 0;
    for (size_t i = 0; i < plane; ++i) {
        int fs = 0, mid = 0;
        for (int p = 0; p < 4; ++p)
            fs += tof.s[p * plane + i] == 4095, mid += tof.s[p * plane + i] == 2048;
        stuck += fs == 4, dead += mid == 4;
    }
    EXPECT_EQ(stuck, 2);
    EXPECT_EQ(dead, 2);
    ASSERT_TRUE(h.param_set({Host::rec(10, {0})}));
    auto g = capture(h);
    double sum = 0, sq = 0;
    for (auto v : g.s) sum += v, sq += double(v) * v;
    double sd = std::sqrt(sq / plane - (sum / plane) * (sum / plane));
    EXPECT_GT(sd, 3.0);  // gain +-3 % of 284 and dark +-8
    EXPECT_LT(sd, 40.0);
    fw.with_epc([](vcam::EpcSensor &s) {
        auto m = s.model();
        m.gray_fpn = false, m.defect_pixels = 0;
        s.set_model(m);
    });
    auto u = capture(h);
    EXPECT_EQ(*std::min_element(u.s.begin(), u.s.end()), *std::max_element(u.s.begin(), u.s.end()));
}

TEST(EpcErrors, DelayLineStepsTheReferencePathWhileTheDllIsActive) {
    auto cfg = ideal("VZ-E1-660");
    cfg.epc.reference_path = true;
    cfg.epc.heat_frames = 0;  // warm at once: 36.0 degC
    Firmware fw(cfg);
    Host h(fw);
    const double d_sys = cfg.epc.system_delay_ns * 0.149896229;
    auto dist = [&] { return decode(capture(h), {})[5000].turns * kRange12; };
    ASSERT_TRUE(h.reg_write(1, 115, {5}));  // bypassed (174 = 1): no effect
    const double base = dist();
    EXPECT_NEAR(std::remainder(base - d_sys - 0.295, kRange12), 0, 0.003);
    ASSERT_TRUE(h.reg_write(1, 174, {4}));  // active: i steps of 1.9 + (360 - 270) x 0.000395 ns
    for (int i : {0, 1, 7, 29}) {
        ASSERT_TRUE(h.reg_write(1, 115, {uint32_t(i)}));
        double shift = i * (1.9 + 90 * 0.000395) * 0.149896229;
        EXPECT_NEAR(std::remainder(dist() - base - shift, kRange12), 0, 0.003) << i;
    }
}

// ---- factory calibration in flash ------------------------------------------------

struct Download {
    std::vector<uint8_t> info;  // parameter 8
    uint16_t format = 0;
    std::vector<uint8_t> pkg;
};
// Parameter 8; when valid, mode 9 and one frame: the package.
Download download(Host &h) {
    Download d;
    auto r = h.param_get({8});
    if (r.empty()) return d;
    d.info.assign(r[0].begin() + 2, r[0].begin() + 2 + r[0][1]);
    if (d.info.empty() || d.info[0] != 1) return d;
    EXPECT_TRUE(h.param_set({Host::rec(0, {9})}));
    Frame f = capture(h, 0);
    d.format = f.format;
    d.pkg = f.raw;
    return d;
}

// Writes the package's zip into a fresh folder and runs unzip there.
struct Unzip {
    std::filesystem::path dir;
    std::string out;
    Unzip(const std::vector<uint8_t> &pkg, const char *args) {
        dir = std::filesystem::temp_directory_path() / ("vcam_epc_" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "tmp.zip", std::ios::binary)
            .write(reinterpret_cast<const char *>(pkg.data() + 17), long(pkg.size() - 17));
        std::string cmd = "cd '" + dir.string() + "' && unzip " + args + " tmp.zip 2>&1";
        if (FILE *p = popen(cmd.c_str(), "r")) {
            char buf[256];
            while (std::fgets(buf, sizeof buf, p)) out += buf;
            pclose(p);
        }
    }
    ~Unzip() { std::filesystem::remove_all(dir); }
    std::vector<uint8_t> file(const char *name) const {
        std::ifstream f(dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }
};

TEST(EpcCalibration, PackageUnpacksAndItsImagesAreWhatTheReferencePathMeasures) {
    auto cfg = epc_cfg("VZ-E1-660");
    cfg.wafer_id = 21, cfg.chip_id = 77;
    cfg.epc.heat_frames = 0;  // at the factory temperature, 36.0 degC
    cfg.epc.reference_path = true;
    Firmware fw(cfg);
    Host h(fw);
    auto d = download(h);
    ASSERT_EQ(d.format, 171);
    ASSERT_GE(d.pkg.size(), 17u);
    EXPECT_EQ(d.pkg[2], 1);  // a zip
    EXPECT_EQ(le32(&d.pkg[11]) + 17, d.pkg.size());
    EXPECT_EQ(le32(&d.info[7]), d.pkg.size());
    Unzip z(d.pkg, "-o -q");
    auto bin = z.file("calib_and_param.bin");
    const size_t n = 320 * 240;
    ASSERT_EQ(bin.size(), 16 + 30 * n * 2);
    double step_mm;
    std::memcpy(&step_mm, &bin[8], 8);
    EXPECT_EQ(le32(&bin[4]), 360u);
    EXPECT_NEAR(step_mm, (1.9 + 90 * 0.000395) * 149.896229, 1e-9);
    auto img = [&](int i, size_t p) { return le16(&bin[16 + 2 * (size_t(i) * n + p)]); };
    int64_t sum = 0;
    for (size_t p = 0; p < n; ++p) sum += img(0, p);
    EXPECT_EQ(le32(&bin[0]), uint32_t(sum / int64_t(n)));  // DRNU offset: mean of image 0
    // The camera on its reference path with the delay line at step i measures
    // the same codes (30000 per period) up to quantisation; they are not flat.
    ASSERT_TRUE(h.reg_write(1, 174, {4}));
    for (int i : {0, 11, 29}) {
        ASSERT_TRUE(h.reg_write(1, 115, {uint32_t(i)}));
        int bad = 0, lo = 65535, hi = 0;
        for (const auto &p : decode(capture(h), {})) {
            int v = img(i, size_t((p.row[0] - 6) * 320 + p.col - 4));
            if (v == 65500 || v == 15000) continue;  // defect pixels
            lo = std::min(lo, v), hi = std::max(hi, v);
            bad += std::fabs(std::remainder(p.turns * 30000 - v, 30000)) > 12;
        }
        EXPECT_EQ(bad, 0) << i;
        EXPECT_GT(hi - lo, 40) << i;
    }
    cfg.chip_id = 78;  // another chip, another pattern
    Firmware other(cfg);
    Host ho(other);
    EXPECT_NE(download(ho).pkg, d.pkg);
}

TEST(EpcCalibration, PackageFaultsShowOnTheWire) {
    struct Case {
        EpcCalib fault;
        const char *listed;  // what unzip lists ("": not the entry)
    } cases[] = {{EpcCalib::none, ""},
                 {EpcCalib::wrong_kind, "calib_and_param.bin\n"},
                 {EpcCalib::truncated, ""},
                 {EpcCalib::escaping_name, "../calib_and_param.bin\n"},
                 {EpcCalib::absolute_name, "/tmp/calib_and_param.bin\n"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(int(c.fault));
        auto cfg = epc_cfg("VZ-E2-635");
        cfg.epc.calib = c.fault;
        Firmware fw(cfg);
        Host h(fw);
        auto d = download(h);
        ASSERT_FALSE(d.info.empty());
        EXPECT_EQ(d.info[0], c.fault == EpcCalib::none ? 0 : 1);
        if (c.fault == EpcCalib::none) continue;
        ASSERT_GE(d.pkg.size(), 17u);
        EXPECT_EQ(d.pkg[2], c.fault == EpcCalib::wrong_kind ? 2 : 1);
        EXPECT_EQ(le32(&d.pkg[11]) + 17 > d.pkg.size(), c.fault == EpcCalib::truncated);
        Unzip z(d.pkg, "-Z1");
        if (*c.listed)  // the 12 MHz member first, then the other classes' sets
            EXPECT_EQ(z.out, std::string(c.listed) +
                                 "epc635_drnu_param_W066_C4660_20.bin\n"
                                 "epc635_images_drnu_W066_C4660_20.bin\n"
                                 "epc635_drnu_param_W066_C4660_5.bin\n"
                                 "epc635_images_drnu_W066_C4660_5.bin\n");
        else
            EXPECT_EQ(z.out.find("calib_and_param.bin\n"), std::string::npos) << z.out;
    }
    // Switched at run time: the next download has the new package.
    Firmware fw(epc_cfg("VZ-E2-635"));
    Host h(fw);
    fw.with_epc([](vcam::EpcSensor &s) {
        auto m = s.model();
        m.calib = EpcCalib::none;
        s.set_model(m);
    });
    fw.store_factory_calibration();
    EXPECT_EQ(download(h).info[0], 0);
}

}  // namespace
