// The virtual epc660/epc635 cameras driven through the wire, without USB:
// register file and fuse memory, the imaging parameters and temperatures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "vcam/fw_host.h"

namespace {

using fwtest::Host;
using fwtest::le16;
using vcam::Firmware;
using vcam::FirmwareConfig;

FirmwareConfig epc_cfg(const char* product, uint8_t part_type = 0) {
  FirmwareConfig c;
  c.product = product;
  c.epc.part_type = part_type;
  c.epc.noise = false;
  return c;
}

uint32_t reg1(Host& h, uint32_t addr) {
  std::vector<uint32_t> v;
  EXPECT_TRUE(h.reg_read(1, addr, 1, v));
  return v.empty() ? 0xFFFF : v[0];
}

// Reads n fuse bytes from `addr` the way a host does: address to 17, then
// one read of 18 per byte.
std::vector<uint32_t> fuses(Host& h, uint8_t addr, int n) {
  EXPECT_TRUE(h.reg_write(1, 17, {addr}));
  std::vector<uint32_t> out;
  for (int i = 0; i < n; ++i) out.push_back(reg1(h, 18));
  return out;
}

struct Chip {
  const char* product;
  uint8_t part_type_opt, part_type;
  uint32_t x2, y2;
  size_t temps;
};
const Chip kChips[] = {{"VZ-E1-660", 0, 2, 323, 125, 4}, {"VZ-E2-635", 0, 4, 163, 65, 1},
                       {"VZ-E1-660", 3, 3, 323, 125, 4}, {"VZ-E2-635", 5, 5, 163, 65, 1}};

TEST(EpcRegisters, PowerUpValuesFusesAndIdentity) {
  for (const auto& c : kChips) {
    SCOPED_TRACE(c.product);
    auto cfg = epc_cfg(c.product, c.part_type_opt);
    cfg.wafer_id = 0x0123;
    cfg.chip_id = 0x0456;
    Firmware fw(cfg);
    Host h(fw);
    // Clocks: ((reg130 & 0x1F) x 4000 + 4000) >> reg129[5:4] = 96000 kHz,
    // modulation = system / (4 x (reg133 + 1)) = 12000 kHz.
    uint32_t sys = ((reg1(h, 130) & 0x1F) * 4000 + 4000) >> ((reg1(h, 129) >> 4) & 3);
    EXPECT_EQ(sys / (4 * ((reg1(h, 133) & 0x1F) + 1)), 12000u);
    EXPECT_EQ((reg1(h, 146) >> 4) & 3, 3u);  // 4 DCS
    EXPECT_EQ(reg1(h, 148), 0u);
    EXPECT_EQ(reg1(h, 34) & 0x30, 0x30u);  // background suppression on
    EXPECT_EQ(reg1(h, 151), 4u);
    EXPECT_EQ(reg1(h, 152) << 8 | reg1(h, 153), c.x2);
    EXPECT_EQ(reg1(h, 154), 6u);
    EXPECT_EQ(reg1(h, 155), c.y2);
    EXPECT_EQ(reg1(h, 174) & 1, 1u);  // DLL bypassed
    EXPECT_EQ(reg1(h, 233), 161u);   // delay trim: (1.9 ns - 1.8) / 0.003 + 128
    EXPECT_EQ(fuses(h, 246, 6), (std::vector<uint32_t>{0x01, 0x23, 0x04, 0x56, c.part_type, 7}));
    auto id = h.param_get({7, 15});
    ASSERT_EQ(id.size(), 2u);
    EXPECT_EQ(id[0][1], 6);
    EXPECT_EQ(le16(&id[0][2]), 7);  // part version, chip id, wafer id
    EXPECT_EQ(le16(&id[0][4]), 0x0456);
    EXPECT_EQ(le16(&id[0][6]), 0x0123);
    EXPECT_EQ(id[1][1], 2 * c.temps);
    // Registers written land in the file; IC type and version are ROM.
    uint32_t ic = reg1(h, 0);
    ASSERT_TRUE(h.reg_write(1, 0, {0x99, 0x98}));
    EXPECT_EQ(reg1(h, 0), ic);
    ASSERT_TRUE(h.reg_write(1, 150, {0, 10, 0, 200, 20, 100}));
    EXPECT_EQ(fw.reg(1, 153), 200u);
    EXPECT_EQ(fw.reg(1, 155), 100u);
    ASSERT_TRUE(h.reset(1));
    EXPECT_EQ(fw.reg(1, 153), c.x2 & 0xFF);
  }
}

TEST(EpcRegisters, PartTypeSwitchesWithinTheFamilyOnly) {
  Firmware fw(epc_cfg("VZ-E1-660"));
  Host h(fw);
  ASSERT_TRUE(h.reg_write(1, 17, {250, 3}));  // FLIM variant
  EXPECT_EQ(fuses(h, 250, 1)[0], 3u);
  ASSERT_TRUE(h.reg_write(1, 17, {250, 4}));  // an epc635 part type: ignored
  EXPECT_EQ(fuses(h, 250, 1)[0], 3u);
  fw.with_epc([](vcam::EpcSensor& s) { s.set_ids(7, 9); });
  EXPECT_EQ(fuses(h, 246, 4), (std::vector<uint32_t>{0, 7, 0, 9}));
}

TEST(EpcRegisters, TemperatureRegistersDecodeToTheChipTemperature) {
  // Normal mode: ((hi << 8 & 0x3FFF | lo) x 0.25 + 0.5 - 2048) is the raw
  // value, ((raw - offset) / slope + 27) x 10 the temperature, with the
  // trims of registers 232 + 2i (offset) and 233 + 2i (slope).
  for (const auto& c : {kChips[0], kChips[1]}) {
    SCOPED_TRACE(c.product);
    Firmware fw(epc_cfg(c.product));
    Host h(fw);
    const bool e660 = c.temps == 4;
    auto p15 = h.param_get({15})[0];
    for (size_t i = 0; i < c.temps; ++i) {
      double o = reg1(h, 232 + 2 * uint32_t(i)), s = reg1(h, 233 + 2 * uint32_t(i));
      double off = (e660 ? 1082 : 1397.46) - (o == 255 ? 0 : (o - 127) / (e660 ? 1 : 1.0859));
      double slope = (e660 ? 3.7424012151 : 4.678) - (s == 255 ? 0 : (s - 127) / (e660 ? 127 : 79.375));
      uint32_t w = (reg1(h, 96 + 2 * uint32_t(i)) << 8 & 0x3FFF) | reg1(h, 97 + 2 * uint32_t(i));
      double raw = std::trunc(w * 0.25 + 0.5 - 2048);
      double t = ((raw - off) / slope + 27) * 10;
      EXPECT_NEAR(t, int16_t(le16(&p15[2 + 2 * i])), 3.0);
    }
  }
}

TEST(EpcParams, ImageModeAndIntegrationTimeAreCheckedAndClamped) {
  Firmware fw(epc_cfg("VZ-E1-660"));
  Host h(fw);
  struct Case {
    uint16_t set, stored;
  } cases[] = {{700, 700}, {4000, 4000}, {4001, 4000}, {60000, 4000}, {0, 1}};
  for (auto c : cases) {
    ASSERT_TRUE(h.param_set({Host::rec(13, {uint8_t(c.set), uint8_t(c.set >> 8)})}));
    EXPECT_EQ(le16(&h.param_get({13})[0][2]), c.stored) << c.set;
  }
  EXPECT_TRUE(h.param_set({Host::rec(10, {0})}));
  EXPECT_EQ(h.param_get({10})[0][2], 0);
  EXPECT_FALSE(h.param_set({Host::rec(10, {3})}));
  EXPECT_FALSE(h.param_set({Host::rec(7, {1, 2})}));  // identity is read-only
}

}  // namespace

// ---- raw frames ---------------------------------------------------------------------

namespace frames {

constexpr double kHalfC = 149896229.0;

struct Frame {
  uint16_t format = 0, width = 0, height = 0;
  int16_t chip_temp = 0, illum_temp = 0;
  std::vector<uint16_t> s;  // samples in wire order
};

// One frame off the bulk stream: the 36-byte header, then the payload.
Frame capture(Host& h) {
  Frame f;
  EXPECT_TRUE(h.start(1));
  auto bytes = h.drain();
  if (bytes.size() < 36) return f;
  f.format = le16(&bytes[14]);
  f.width = le16(&bytes[16]);
  f.height = le16(&bytes[18]);
  f.chip_temp = int16_t(le16(&bytes[20]));
  f.illum_temp = int16_t(le16(&bytes[22]));
  size_t n = fwtest::le32(&bytes[4]);
  for (size_t i = 0; i + 1 < n && 36 + i + 1 < bytes.size(); i += 2) f.s.push_back(le16(&bytes[36 + i]));
  return f;
}

// The scene: distance grows along rows and columns (no two rows alike).
vcam::Scene slope_scene(int w, int hgt) {
  auto s = vcam::Scene::flat(w, hgt, 1.0f, 0.9f);
  for (int y = 0; y < hgt; ++y)
    for (int x = 0; x < w; ++x) s.distance_m[size_t(y * w + x)] = 0.8f + 0.01f * float(x) + 0.005f * float(y);
  return s;
}

struct Case {
  const char* product;
  uint8_t r133;             // 1: 12 MHz, 0: 24 MHz
  uint8_t r146, r148;       // DCS count / PN, binning
  int x1, x2, y1, y2;       // region of interest (0: power-up)
  uint16_t format;
  int planes;
};

}  // namespace frames

TEST(EpcFrames, DecodedDistancesMatchTheScene) {
  using namespace frames;
  const Case cases[] = {
      {"VZ-E1-660", 1, 0x30, 0x00, 0, 0, 0, 0, 2, 4},       {"VZ-E1-660", 0, 0x30, 0x00, 0, 0, 0, 0, 2, 4},
      {"VZ-E1-660", 1, 0x10, 0x00, 0, 0, 0, 0, 8, 2},       {"VZ-E1-660", 0, 0x10, 0x00, 0, 0, 0, 0, 8, 2},
      {"VZ-E1-660", 1, 0x30, 0x11, 0, 0, 0, 0, 2, 4},       {"VZ-E1-660", 1, 0x30, 0x04, 0, 0, 0, 0, 2, 4},
      {"VZ-E1-660", 0, 0x30, 0x00, 20, 219, 30, 125, 2, 4}, {"VZ-E2-635", 1, 0x30, 0x00, 0, 0, 0, 0, 2, 4},
      {"VZ-E2-635", 0, 0x10, 0x00, 0, 0, 0, 0, 8, 2},       {"VZ-E2-635", 0, 0x30, 0x11, 10, 131, 8, 55, 2, 4},
      {"VZ-E1-660", 1, 0x10, 0x80, 0, 0, 0, 0, 1, 2},       {"VZ-E1-660", 1, 0x00, 0x80, 0, 0, 0, 0, 4, 1},
      {"VZ-E1-660", 1, 0x70, 0x00, 0, 0, 0, 0, 5, 4},       {"VZ-E2-635", 1, 0x50, 0x00, 0, 0, 0, 0, 7, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.product << " 133=" << int(c.r133) << " 146=" << int(c.r146)
                                    << " 148=" << int(c.r148) << " x1=" << c.x1);
    auto cfg = epc_cfg(c.product);
    cfg.epc.drnu = cfg.epc.temperature_drift = false;
    cfg.epc.defect_pixels = 0;
    Firmware fw(cfg);
    Host h(fw);
    const bool e660 = std::string(c.product).find("660") != std::string::npos;
    const int iw = e660 ? 320 : 160, ih = e660 ? 240 : 60, halves = e660 ? 2 : 1;
    fw.set_scene(slope_scene(iw, ih));
    ASSERT_TRUE(h.reg_write(1, 133, {c.r133}));
    ASSERT_TRUE(h.reg_write(1, 146, {c.r146}));
    ASSERT_TRUE(h.reg_write(1, 148, {c.r148}));
    int x1 = 4, x2 = e660 ? 323 : 163, y1 = 6, y2 = e660 ? 125 : 65;
    if (c.x2) {
      x1 = c.x1, x2 = c.x2, y1 = c.y1, y2 = c.y2;
      ASSERT_TRUE(h.reg_write(1, 150, {0, uint32_t(x1), 0, uint32_t(x2), uint32_t(y1), uint32_t(y2)}));
    }
    const int cs = (c.r148 & 0x11) == 0x11 ? 2 : 1, rs = 1 << ((c.r148 >> 2) & 3);
    const int cols = (x2 - x1 + 1) / cs, rph = (y2 - y1 + 1) / rs, rows = rph * halves;
    Frame f = capture(h);
    EXPECT_EQ(f.format, c.format);
    EXPECT_EQ(f.width, cols);
    EXPECT_EQ(f.height, (c.r148 & 0x80) ? rows / 2 : rows);
    ASSERT_EQ(f.s.size(), size_t(cols * rows * c.planes));
    const double range = kHalfC / ((c.r133 ? 12000 : 24000) * 1e3);
    const double d_sys = cfg.epc.system_delay_ns * 1e-9 * kHalfC;
    const size_t plane = size_t(cols * rows);
    const auto sc = slope_scene(iw, ih);
    const bool mgx = c.r148 & 0x80, pn = c.r146 & 0x40;
    const int g = mgx ? 2 : 1, n = c.planes * g;  // samples per output pixel
    double worst = 0;
    for (int m = 0; m < rph / g; ++m)
      for (int hh = 0; hh < halves; ++hh)
        for (int j = 0; j < cols; ++j) {
          // Dual MGX: row set 2m carries the first, 2m + 1 the second sample.
          double d[4], truth = 0;
          for (int t = 0; t < g; ++t) {
            int k = m * g + t;
            size_t i = size_t((k * halves + hh) * cols + j);
            for (int p = 0; p < c.planes; ++p)
              d[mgx ? 2 * p + t : p] = e660 ? f.s[p * plane + i] : f.s[p * plane + i] >> 4;
            // Row pair k is half row y1 + (rph - 1 - k) x rs, read in both halves.
            int y = y1 + (rph - 1 - k) * rs;
            int full = hh == 0 ? y : 2 * 126 - 1 - y;
            for (int b = 0; b < cs; ++b) truth += sc.distance_m[size_t((full - 6) * iw + (x1 - 4 + j * cs + b))];
          }
          truth /= cs * g;
          // Sine: DCS_q = 2048 + A cos(phi - q pi / 2); PN: the triangle.
          double a = n == 4 ? d[0] - d[2] : d[0] - 2048, b = n == 4 ? d[1] - d[3] : d[1] - 2048;
          double turns, amp;
          if (pn) {
            turns = std::fabs(b) / (std::fabs(a) + std::fabs(b));
            amp = (std::fabs(a) + std::fabs(b)) / (n == 4 ? 2 : 1);
          } else {
            turns = std::atan2(b, a) / (2 * M_PI);
            amp = std::hypot(a, b) / (n == 4 ? 2 : 1);
          }
          double err = std::fabs(std::remainder(turns * range - d_sys - truth, range));
          double tol = range / (pn ? 1 : 2 * M_PI) / amp + 0.002 * (cs - 1) + 0.003 * (g - 1) + 1e-4;
          worst = std::max(worst, err / tol);
        }
    EXPECT_LE(worst, 1.0);
  }
}

TEST(EpcFrames, IntegrationTimeLightAndAmbientChangeTheSamples) {
  using frames::capture;
  auto cfg = epc_cfg("VZ-E1-660");
  cfg.epc.drnu = false;
  cfg.epc.defect_pixels = 0;
  Firmware fw(cfg);
  Host h(fw);
  const size_t plane = 320 * 240, px = 60 * 640 + 100;  // a pixel of row pair 60
  auto dcs = [&](const frames::Frame& f, int p) { return double(f.s[p * plane + px]); };
  auto amp = [&](const frames::Frame& f) { return std::hypot(dcs(f, 0) - dcs(f, 2), dcs(f, 1) - dcs(f, 3)) / 2; };
  auto offset = [&](const frames::Frame& f) { return (dcs(f, 0) + dcs(f, 2)) / 2 - 2048; };
  auto scene = vcam::Scene::flat(320, 240, 1.5f, 0.8f);
  scene.ambient.assign(320 * 240, 0.5f);
  fw.set_scene(scene);
  auto f1000 = capture(h);
  // A = 800 x reflectivity x t / 1000 us / d^2; ambient offset 1500 x 0.5 x
  // t / 1000 us, 5 % of it with background suppression on.
  EXPECT_NEAR(amp(f1000), 800 * 0.8 / 2.25, 1.5);
  EXPECT_NEAR(offset(f1000), 1500 * 0.5 * 0.05, 1.0);
  ASSERT_TRUE(h.param_set({Host::rec(13, {0xF4, 0x01})}));  // 500 us
  auto f500 = capture(h);
  EXPECT_NEAR(amp(f500) / amp(f1000), 0.5, 0.01);
  ASSERT_TRUE(h.reg_write(1, 34, {0x04}));  // background suppression off
  EXPECT_NEAR(offset(capture(h)), 1500 * 0.5 * 0.5, 1.0);
  fw.set_scene(vcam::Scene::flat(320, 240, 0.15f, 1.0f));  // too close: clipped
  auto sat = capture(h);
  EXPECT_EQ(*std::max_element(sat.s.begin(), sat.s.end()), 4095);
  // Shot noise: seeded, so two cameras agree frame by frame; switched off,
  // every frame of a still scene is the same.
  cfg.epc.noise = true;
  Firmware n1(cfg), n2(cfg);
  Host h1(n1), h2(n2);
  auto a = capture(h1), b = capture(h1);
  EXPECT_NE(a.s, b.s);
  EXPECT_EQ(a.s, capture(h2).s);
  EXPECT_EQ(capture(h).s, capture(h).s);
}

TEST(EpcFrames, HeaderTemperaturesRiseWhileCapturing) {
  Firmware fw(epc_cfg("VZ-E1-660"));
  Host h(fw);
  auto f0 = frames::capture(h);
  EXPECT_EQ(f0.chip_temp, 300);  // 30.0 degC at power-up
  EXPECT_EQ(f0.illum_temp, 280);
  fw.with_epc([](vcam::EpcSensor& s) { s.set_frames_rendered(300); });
  auto f = frames::capture(h);
  // 300 + 60 x (1 - e^-1), 280 + 100 x (1 - e^-1)
  EXPECT_EQ(f.chip_temp, 338);
  EXPECT_EQ(f.illum_temp, 343);
  auto p15 = h.param_get({15})[0];
  int sum = 0;
  for (int i = 0; i < 4; ++i) sum += int16_t(le16(&p15[2 + 2 * i]));
  EXPECT_EQ(sum / 4, 338);  // the next frame's temperature: 300 + 60 x (1 - e^(-301/300))
}

TEST(EpcFrames, GrayFramesCarryLightAndTheBorderTemperatureSensors) {
  auto cfg = epc_cfg("VZ-E1-660");
  cfg.epc.gray_fpn = false;
  cfg.epc.defect_pixels = 0;
  Firmware fw(cfg);
  Host h(fw);
  fw.set_scene(vcam::Scene::flat(320, 240, 1.5f, 0.8f));
  ASSERT_TRUE(h.param_set({Host::rec(10, {0})}));
  auto g = frames::capture(h);
  EXPECT_EQ(g.format, 0);
  ASSERT_EQ(g.s.size(), 320u * 240u);
  EXPECT_NEAR(g.s[100], 2048 + 800 * 0.8 / 2.25, 1.0);
  // The two middle rows of each half, all 328 columns: sensor i is the mean
  // of its four border pixels minus 2048, ((raw - offset) / slope + 25) x 10.
  ASSERT_TRUE(h.reg_write(1, 150, {0, 0, 1, 71, 124, 125}));
  auto t = frames::capture(h);
  ASSERT_EQ(t.s.size(), 328u * 4u);
  const int px[4][4] = {{0, 1, 656, 657}, {326, 327, 982, 983}, {328, 329, 984, 985}, {654, 655, 1310, 1311}};
  auto p15 = h.param_get({15})[0];
  for (int i = 0; i < 4; ++i) {
    double raw = (t.s[px[i][0]] + t.s[px[i][1]] + t.s[px[i][2]] + t.s[px[i][3]]) / 4.0 - 2048;
    double o = fw.reg(1, 232 + 2 * i), s = fw.reg(1, 233 + 2 * i);
    double temp = ((raw - (1082 - (o - 127))) / (3.7424012151 - (s - 127) / 127) + 25) * 10;
    EXPECT_NEAR(temp, int16_t(le16(&p15[2 + 2 * i])), 3.0) << i;
  }
}

// ---- the sensor's own errors ------------------------------------------------------

namespace errors {

// Distances (m, system delay included, wrapped into one period) of a
// power-up epc660 frame of four DCS, in image order.
std::vector<double> distances(const frames::Frame& f, double range) {
  const size_t plane = 320 * 240;
  std::vector<double> d(plane);
  for (int k = 0; k < 120; ++k)
    for (int hh = 0; hh < 2; ++hh)
      for (int j = 0; j < 320; ++j) {
        size_t i = size_t((k * 2 + hh) * 320 + j);
        double a = double(f.s[i]) - f.s[2 * plane + i], b = double(f.s[plane + i]) - f.s[3 * plane + i];
        double t = std::atan2(b, a) / (2 * M_PI);
        int row = hh == 0 ? 119 - k : 120 + k;
        d[size_t(row * 320 + j)] = (t - std::floor(t)) * range;
      }
  return d;
}

constexpr double kRange12 = 149896229.0 / 12e6;

}  // namespace errors

TEST(EpcErrors, EachErrorShowsOnTheWireAndOnlyWhenSwitchedOn) {
  using errors::distances;
  using errors::kRange12;
  struct Case {
    const char* name;
    void (*on)(vcam::EpcModel&);
    double min_dev, max_dev;  // largest |on - off| over the image (m)
  } cases[] = {
      {"fixed pattern", [](vcam::EpcModel& m) { m.drnu = true, m.cyclic_error_m = 0; }, 0.01, 0.04},
      {"cyclic error", [](vcam::EpcModel& m) { m.drnu = true, m.drnu_pattern_m = 0; }, 0.015, 0.021},
      // 1.7 mm per 0.1 degC over the 6 degC the chip warms up to.
      {"temperature drift", [](vcam::EpcModel& m) { m.temperature_drift = true, m.heat_frames = 0; }, 0.101, 0.103},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto cfg = epc_cfg("VZ-E1-660");
    cfg.epc.drnu = cfg.epc.temperature_drift = false;
    cfg.epc.defect_pixels = 0;
    // Reflectivity grows with d^2: the same amplitude (1900) everywhere.
    cfg.epc.amplitude_ref = 1900 * 16;
    auto ramp = vcam::Scene::ramp(320, 240, 0.8f, 4.0f, 1.0f);
    for (size_t i = 0; i < ramp.distance_m.size(); ++i) ramp.reflectivity[i] = ramp.distance_m[i] * ramp.distance_m[i] / 16;
    Firmware off(cfg);
    c.on(cfg.epc);
    Firmware on(cfg);
    Host ho(off), hn(on);
    off.set_scene(ramp);
    on.set_scene(ramp);
    auto a = distances(frames::capture(ho), kRange12), b = distances(frames::capture(hn), kRange12);
    double dev = 0, step = 0;
    for (size_t i = 0; i < a.size(); ++i) {
      dev = std::max(dev, std::fabs(std::remainder(b[i] - a[i], kRange12)));
      if (i % 320) step = std::max(step, std::fabs((b[i] - a[i]) - (b[i - 1] - a[i - 1])));
    }
    EXPECT_GE(dev, c.min_dev);
    EXPECT_LE(dev, c.max_dev);
    EXPECT_LT(step, 0.004);  // smooth from pixel to pixel
  }
}

TEST(EpcErrors, GrayFixedPatternAndDefectPixels) {
  auto cfg = epc_cfg("VZ-E1-660");
  Firmware fw(cfg);
  Host h(fw);
  fw.set_scene(vcam::Scene::flat(320, 240, 1.5f, 0.8f));
  auto tof = frames::capture(h);
  const size_t plane = 320 * 240;
  int stuck = 0, dead = 0;
  for (size_t i = 0; i < plane; ++i) {
    bool all_fs = true, all_mid = true;
    for (int p = 0; p < 4; ++p) all_fs &= tof.s[p * plane + i] == 4095, all_mid &= tof.s[p * plane + i] == 2048;
    stuck += all_fs;
    dead += all_mid;
  }
  EXPECT_EQ(stuck, 2);
  EXPECT_EQ(dead, 2);
  ASSERT_TRUE(h.param_set({Host::rec(10, {0})}));
  auto g = frames::capture(h);
  double sum = 0, sq = 0;
  for (auto v : g.s) sum += v, sq += double(v) * v;
  double mean = sum / plane, sd = std::sqrt(sq / plane - mean * mean);
  EXPECT_GT(sd, 3.0);  // gain +-3 % of 284 and dark +-8: spread of several codes
  EXPECT_LT(sd, 40.0);
  cfg.epc.gray_fpn = false;
  cfg.epc.defect_pixels = 0;
  Firmware flat(cfg);
  Host hf(flat);
  flat.set_scene(vcam::Scene::flat(320, 240, 1.5f, 0.8f));
  ASSERT_TRUE(hf.param_set({Host::rec(10, {0})}));
  auto u = frames::capture(hf);
  EXPECT_EQ(*std::min_element(u.s.begin(), u.s.end()), *std::max_element(u.s.begin(), u.s.end()));
}

TEST(EpcErrors, DelayLineStepsTheReferencePathWhileTheDllIsActive) {
  auto cfg = epc_cfg("VZ-E1-660");
  cfg.epc.drnu = cfg.epc.temperature_drift = false;
  cfg.epc.defect_pixels = 0;
  cfg.epc.reference_path = true;
  cfg.epc.heat_frames = 0;  // warm at once: 36.0 degC
  Firmware fw(cfg);
  Host h(fw);
  const double d_sys = cfg.epc.system_delay_ns * 0.149896229;
  // Bypassed (174 = 1): register 115 does nothing.
  ASSERT_TRUE(h.reg_write(1, 115, {5}));
  auto base = errors::distances(frames::capture(h), errors::kRange12);
  EXPECT_NEAR(std::remainder(base[5000] - d_sys - 0.295, errors::kRange12), 0, 0.003);
  // Active (174 = 4): i steps of (1.9 + (360 - 270) x 0.000395) ns.
  ASSERT_TRUE(h.reg_write(1, 174, {4}));
  for (int i : {0, 1, 7, 29}) {
    ASSERT_TRUE(h.reg_write(1, 115, {uint32_t(i)}));
    auto d = errors::distances(frames::capture(h), errors::kRange12);
    double shift = i * (1.9 + 90 * 0.000395) * 0.149896229;
    EXPECT_NEAR(std::remainder(d[5000] - base[5000] - shift, errors::kRange12), 0, 0.003) << i;
  }
}

// ---- factory calibration in flash ------------------------------------------------

namespace calib {

// Parameter 8, then mode 9 and one frame: the package as the camera sends it.
struct Download {
  std::vector<uint8_t> info;  // parameter 8 value
  uint16_t format = 0;
  std::vector<uint8_t> pkg;
};
Download download(Host& h) {
  Download d;
  auto r = h.param_get({8});
  if (r.empty()) return d;
  d.info.assign(r[0].begin() + 2, r[0].begin() + 2 + r[0][1]);
  if (d.info.empty() || d.info[0] != 1) return d;
  EXPECT_TRUE(h.param_set({Host::rec(0, {9})}));
  EXPECT_TRUE(h.start(0));
  auto bytes = h.drain();
  if (bytes.size() < 36) return d;
  d.format = le16(&bytes[14]);
  d.pkg.assign(bytes.begin() + 36, bytes.begin() + 36 + long(fwtest::le32(&bytes[4])));
  return d;
}

// A scratch folder that goes away with the test.
struct TempDir {
  std::string path;
  TempDir() {
    std::string t = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + std::string("/vcam_epcXXXXXX");
    path = mkdtemp(t.data()) ? t : "";
  }
  ~TempDir() {
    if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
  }
  std::string file(const std::string& n) const { return path + "/" + n; }
};

void write_file(const std::string& p, std::span<const uint8_t> b) {
  FILE* f = std::fopen(p.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(b.data(), 1, b.size(), f);
  std::fclose(f);
}
std::vector<uint8_t> read_file(const std::string& p) {
  std::vector<uint8_t> v;
  if (FILE* f = std::fopen(p.c_str(), "rb")) {
    int c;
    while ((c = std::fgetc(f)) != EOF) v.push_back(uint8_t(c));
    std::fclose(f);
  }
  return v;
}
std::string run(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen((cmd + " 2>&1").c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  return out;
}

}  // namespace calib

TEST(EpcCalibration, PackageUnpacksAndItsImagesAreWhatTheReferencePathMeasures) {
  using namespace calib;
  auto cfg = epc_cfg("VZ-E1-660");
  cfg.wafer_id = 21;
  cfg.chip_id = 77;
  cfg.epc.heat_frames = 0;  // at the factory temperature, 36.0 degC
  cfg.epc.reference_path = true;
  Firmware fw(cfg);
  Host h(fw);
  auto d = download(h);
  ASSERT_EQ(d.format, 171);
  ASSERT_GE(d.pkg.size(), 17u);
  EXPECT_EQ(d.pkg[2], 1);  // payload kind: zip
  uint32_t zlen = fwtest::le32(&d.pkg[11]);
  ASSERT_EQ(zlen + 17, d.pkg.size());
  EXPECT_EQ(fwtest::le32(&d.info[7]), d.pkg.size());
  TempDir tmp;
  write_file(tmp.file("tmp.zip"), std::span(d.pkg).subspan(17));
  run("unzip -o -q '" + tmp.file("tmp.zip") + "' -d '" + tmp.path + "'");
  auto bin = read_file(tmp.file("calib_and_param.bin"));
  const size_t n = 320 * 240;
  ASSERT_EQ(bin.size(), 16 + 30 * n * 2);
  double step_mm;
  std::memcpy(&step_mm, &bin[8], 8);
  EXPECT_EQ(int32_t(fwtest::le32(&bin[4])), 360);
  EXPECT_NEAR(step_mm, (1.9 + 90 * 0.000395) * 149.896229, 1e-9);
  auto img = [&](int i, size_t p) { return le16(&bin[16 + 2 * (size_t(i) * n + p)]); };
  int64_t sum = 0;
  for (size_t p = 0; p < n; ++p) sum += img(0, p);
  EXPECT_EQ(int32_t(fwtest::le32(&bin[0])), int32_t(sum / int64_t(n)));  // DRNU offset
  // The camera itself on its reference path, delay line at step i, gives
  // the same codes (one period = 30000) up to quantisation; the images are
  // not flat: they hold the chip's non-uniformity.
  ASSERT_TRUE(h.reg_write(1, 174, {4}));
  for (int i : {0, 11, 29}) {
    ASSERT_TRUE(h.reg_write(1, 115, {uint32_t(i)}));
    auto meas = errors::distances(frames::capture(h), errors::kRange12);
    int bad = 0, lo = 65535, hi = 0;
    for (size_t p = 0; p < n; ++p) {
      int v = img(i, p);
      if (v == 65500 || v == 15000) continue;  // defect pixels
      lo = std::min(lo, v), hi = std::max(hi, v);
      bad += std::fabs(std::remainder(meas[p] / errors::kRange12 * 30000 - v, 30000)) > 12;
    }
    EXPECT_EQ(bad, 0) << i;
    EXPECT_GT(hi - lo, 40) << i;
  }
  // Another chip has another pattern.
  cfg.chip_id = 78;
  Firmware other(cfg);
  Host ho(other);
  EXPECT_NE(download(ho).pkg, d.pkg);
}

TEST(EpcCalibration, PackageFaultsShowOnTheWire) {
  using namespace calib;
  using vcam::EpcCalib;
  struct Case {
    EpcCalib fault;
    const char* listed;  // what unzip lists ("" : nothing to unpack)
  } cases[] = {{EpcCalib::none, ""},
               {EpcCalib::wrong_kind, "calib_and_param.bin"},
               {EpcCalib::truncated, ""},
               {EpcCalib::escaping_name, "../calib_and_param.bin"},
               {EpcCalib::absolute_name, "/tmp/calib_and_param.bin"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.fault));
    auto cfg = epc_cfg("VZ-E2-635");
    cfg.epc.calib = c.fault;
    Firmware fw(cfg);
    Host h(fw);
    auto d = download(h);
    ASSERT_FALSE(d.info.empty());
    if (c.fault == EpcCalib::none) {
      EXPECT_EQ(d.info[0], 0);
      continue;
    }
    ASSERT_GE(d.pkg.size(), 17u);
    EXPECT_EQ(d.pkg[2], c.fault == EpcCalib::wrong_kind ? 2 : 1);
    uint32_t zlen = fwtest::le32(&d.pkg[11]);
    EXPECT_EQ(zlen + 17 > d.pkg.size(), c.fault == EpcCalib::truncated);
    TempDir tmp;
    write_file(tmp.file("tmp.zip"), std::span(d.pkg).subspan(17));
    auto list = run("unzip -Z1 '" + tmp.file("tmp.zip") + "'");
    if (*c.listed)
      EXPECT_EQ(list, std::string(c.listed) + "\n");
    else
      EXPECT_EQ(list.find("calib_and_param.bin\n"), std::string::npos) << list;
  }
  // Switched at run time: the next download carries the new package.
  Firmware fw(epc_cfg("VZ-E2-635"));
  Host h(fw);
  fw.with_epc([](vcam::EpcSensor& s) {
    auto m = s.model();
    m.calib = EpcCalib::none;
    s.set_model(m);
  });
  fw.store_factory_calibration();
  EXPECT_EQ(download(h).info[0], 0);
}
