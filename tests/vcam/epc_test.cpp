// The virtual epc660/epc635 cameras driven through the wire, without USB:
// register file and fuse memory, the imaging parameters and temperatures.
#include <gtest/gtest.h>

#include <cmath>

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
