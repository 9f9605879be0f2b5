// EPC library base modules on the virtual epc660 and epc635 cameras: what
// lands in the chip's register file and parameters, and what the camera's
// own model of its registers makes of it (frequency, readout geometry, DCS
// planes), for identity, clocks, region of interest, binning, pi delay and
// dual MGX, HDR, integration times, FLIM steps, temperatures and frames.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "epc660/base.h"
#include "log_capture.h"
#include "testutil.h"
#include "vcam/vcam.h"
#include "vizor/drv.h"
#include "vizor/epc660.h"
#include "vizor/vizor.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr int kAddr = 0x20;

class EpcCam : public ::testing::Test {
protected:
    ~EpcCam() override {
        vz::epc::set_default_device(nullptr);
        if (dev) vizor_dev_close(dev);
    }

    // Plugs a camera with `product`, opens it and binds the library to it.
    void open(const char *product = "VZ-E1-660", uint8_t part_type = 0) {
        vcam::CameraConfig cfg;
        cfg.fw.product = product;
        cfg.fw.wafer_id = 12;
        cfg.fw.chip_id = 345;
        cfg.fw.epc.noise = false;
        cfg.fw.epc.part_type = part_type;
        cam = &bus.add_camera(1, 2, cfg);
        vizor_dev_t list[4];
        ASSERT_GE(vizor_dev_list(list, 4), 1);
        rec = list[0];
        dev = vizor_dev_open(&rec);
        ASSERT_NE(dev, nullptr);
        vz::epc::set_default_device(dev);
        configSetPartType(sensor().part_type());
        configSetIcVersion(3);
        configSetPrint(0);
        // A fresh camera reads out without reduction; the image source keeps
        // whatever an earlier test set (configInit leaves reductions alone).
        pruSetColReduction(0);
        pruSetRowReduction(0);
        CaptureStdout();
        configInit(kAddr);  // as the EPC driver does
        GetCapturedStdout();
        configLoad(1, kAddr);
    }

    uint8_t reg(int n) { return uint8_t(cam->fw().reg(1, uint32_t(n))); }
    void set_reg(int n, uint8_t v) { cam->fw().set_reg(1, uint32_t(n), v); }
    vcam::EpcSensor &sensor() {
        vcam::EpcSensor *s = nullptr;
        cam->fw().with_epc([&](vcam::EpcSensor &e) { s = &e; });
        return *s;
    }
    vcam::EpcSensor::Readout readout() { return sensor().readout(); }
    // Chip temperatures of the device parameter, one per on-chip sensor.
    std::vector<int16_t> param_temps() {
        std::vector<int16_t> t;
        auto v = cam->fw().param(15);
        for (size_t i = 0; v && i + 1 < v->size(); i += 2)
            t.push_back(int16_t((*v)[i] | ((*v)[i + 1] << 8)));
        return t;
    }

    vzt::TempCwd cwd;  // configInit keeps its parameter file here
    vcam::Bus bus;
    LogCapture log;
    vcam::Camera *cam = nullptr;
    vizor_dev_t rec{};
    vizor_dev_t *dev = nullptr;
};

TEST_F(EpcCam, IdentityFromRegistersAndFuses) {
    struct Case {
        const char *product;
        uint16_t ic_type, part_type;
    } cases[] = {{"VZ-E1-660", 0x60, 2}, {"VZ-E2-635", 0x35, 4}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.product);
        if (cam) {
            vz::epc::set_default_device(nullptr);
            vizor_dev_close(dev);
            bus.remove_camera(*cam);
        }
        open(c.product);
        uint16_t info[8] = {};
        ASSERT_EQ(chipInfoGetInfo(kAddr, info), 8);
        const uint16_t want[8] = {
            c.ic_type, 3,           sensor().fuse(245), 12,
            345,       c.part_type, sensor().fuse(251), configGetSequencerVersion()};
        for (int i = 0; i < 8; ++i) EXPECT_EQ(info[i], want[i]) << i;
        EXPECT_EQ(reg(203), c.part_type == 4 ? 99 : 0);  // configInit's epc635 setting
        EXPECT_EQ(pruGetNCols() * pruGetNRowsPerHalf() * pruGetNumberOfHalves(),
                  c.part_type == 4 ? 160 * 60 : 320 * 240);
        CaptureStdout();
        EXPECT_EQ(bootGetWaferID(kAddr), 12);
        EXPECT_EQ(bootGetChipID(kAddr), 345);
        EXPECT_EQ(bootGetPartType(kAddr), c.part_type);
        EXPECT_EQ(GetCapturedStdout(),
                  "WAFER_ID: 12\nCHIP_ID: 345\nPART_TYPE: " + std::to_string(c.part_type) + "\n");
    }
}

TEST_F(EpcCam, BootFindsTheChipAndStoresItsIdentity) {
    open();
    configSetWaferID(0);
    CaptureStdout();
    EXPECT_EQ(boot(), 0x20);
    GetCapturedStdout();
    EXPECT_EQ(configGetWaferID(), 12);
    EXPECT_EQ(configGetChipID(), 345);
    EXPECT_EQ(configGetPartType(), 2);
    EXPECT_EQ(configGetDeviceAddress(), 0x20);
}

TEST_F(EpcCam, RestartsSwitchThePartTypeInTheFuses) {
    open();
    CaptureStdout();
    EXPECT_EQ(apiFLIM(), 0);
    EXPECT_EQ(sensor().part_type(), 3);
    EXPECT_EQ(configGetPartType(), 3);
    EXPECT_EQ(isIlluminationEnabled(), 1);
    EXPECT_EQ(apiFLIM(), 0);  // already FLIM: nothing to switch
    EXPECT_EQ(sensor().part_type(), 3);
    EXPECT_EQ(apiTOF(), 0);
    GetCapturedStdout();
    EXPECT_EQ(sensor().part_type(), 2);
    EXPECT_EQ(configGetPartType(), 2);
    EXPECT_EQ(configGetWaferID(), 12);
    EXPECT_TRUE(
        log.has("[configRestartFLIM] ------------------restart FLIM---------------------\n"))
        << log.text().substr(0, 3000);
}

TEST_F(EpcCam, FrequencyTableFromTheClockRegisters) {
    open();
    set_reg(130, 0x0B);
    set_reg(129, 0x00);
    EXPECT_EQ(configGetSysClk(), 48000);
    EXPECT_EQ(configFindModulationFrequencies(), 375);
    const int want[6] = {12000, 6000, 3000, 1500, 750, 375};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(configGetModulationFrequencies()[i], want[i]);
    set_reg(130, 0x17);  // the camera's power-up clock
    configFindModulationFrequencies();
    const uint8_t divider[6] = {0, 1, 3, 7, 15, 31};
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(apiSetModulationFrequency(i, kAddr), 0);
        EXPECT_EQ(reg(133), divider[i]);
        EXPECT_EQ(configGetModulationFrequency(), int(sensor().mod_freq_khz())) << i;
    }
    configSetModulationFrequency(9, kAddr);  // unknown index: the 12 MHz one, kept consistent
    EXPECT_EQ(reg(133), 1);
    EXPECT_EQ(configGetModFreqMode(), 1);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    EXPECT_NEAR(configGetTModClk(), 1e6 / 48000, 1e-9);  // 96 MHz / 2
}

TEST_F(EpcCam, RoiRegistersAndGeometry) {
    open();
    struct Case {
        int x1, x2, y1, y2, result;
        uint8_t regs[6];
        int cols, rows;
    } cases[] = {
        {0, 327, 0, 125, 0, {0, 0, 1, 71, 0, 125}, 328, 126},
        {4, 323, 6, 125, 0, {0, 4, 1, 67, 6, 125}, 320, 120},
        {1, 327, 0, 125, -1, {0, 4, 1, 67, 6, 125}, 320, 120},  // unchanged
        {0, 328, 0, 125, -1, {0, 4, 1, 67, 6, 125}, 320, 120},
        {256, 261, 10, 11, 0, {1, 0, 1, 5, 10, 11}, 6, 2},
    };
    for (const Case &c : cases) {
        CaptureStdout();
        EXPECT_EQ(apiSetROI(c.x1, c.x2, c.y1, c.y2, kAddr), c.result);
        GetCapturedStdout();
        for (int i = 0; i < 6; ++i) EXPECT_EQ(reg(150 + i), c.regs[i]) << c.x1 << " " << i;
        EXPECT_EQ(pruGetNCols(), c.cols);
        EXPECT_EQ(pruGetNRowsPerHalf(), c.rows);
        EXPECT_EQ(readout().cols, c.cols);
        EXPECT_EQ(readout().rows_per_half, c.rows);
    }
    EXPECT_EQ(readOutGetTopLeftX(), 256);
    EXPECT_EQ(readOutGetBottomRightY(), 11);
}

TEST_F(EpcCam, BinningAndRowReductionBitsGiveTheCamerasGeometry) {
    open();
    ASSERT_EQ(apiSetROI(4, 323, 6, 125, kAddr), 0);
    struct Step {
        int (*call)(int, int);
        int arg;
        uint8_t bits148;  // binning and row reduction bits
        int cols, rows;
    } steps[] = {
        {apiEnableHorizontalBinning, 1, 0x11, 160, 120},
        {apiSetRowReduction, 2, 0x19, 160, 30},
        {apiSetRowReduction, 9, 0x1D, 160, 15},
        {apiEnableHorizontalBinning, 0, 0x0C, 320, 15},
        {apiEnableVerticalBinning, 1, 0x2C, 320, 15},  // reduction 8 kept
        {apiEnableVerticalBinning, 0, 0x00, 320, 120},
        {apiEnableVerticalBinning, 1, 0x24, 320, 60},  // reduction 2 with it
    };
    for (const Step &s : steps) {
        CaptureStdout();
        s.call(s.arg, kAddr);
        GetCapturedStdout();
        EXPECT_EQ(reg(148) & 0x3D, s.bits148) << s.arg;
        EXPECT_EQ(pruGetNCols(), s.cols);
        EXPECT_EQ(pruGetNRowsPerHalf(), s.rows);
        EXPECT_EQ(readout().cols, s.cols);
        EXPECT_EQ(readout().rows_per_half, s.rows);
    }
    EXPECT_EQ(readOutIsVerticalBinning(kAddr), 1);
    EXPECT_EQ(readOutIsHorizontalBinning(kAddr), 0);
}

TEST_F(EpcCam, PiDelayAndDualMgxSetTheDcsCount) {
    open();
    apiEnableDualMGX(0, kAddr);
    struct Step {
        int (*call)(int, int);
        int on, dcs;
        bool mgx;
    } steps[] = {
        {apiEnablePiDelay, 1, 4, false}, {apiEnableDualMGX, 1, 2, true},
        {apiEnablePiDelay, 0, 1, true},  {apiEnableDualMGX, 0, 2, false},
        {apiEnablePiDelay, 1, 4, false}, {apiEnableDualMGX, 1, 2, true},
        {apiEnableDualMGX, 0, 4, false},
    };
    for (const Step &s : steps) {
        s.call(s.on, kAddr);
        EXPECT_EQ(pruGetNDCS(), s.dcs);
        EXPECT_EQ(((reg(146) >> 4) & 3) + 1, s.dcs);
        EXPECT_EQ((reg(148) & 0x80) != 0, s.mgx);
        EXPECT_EQ(reg(34) & 0x0F, s.mgx ? 4 : 0);
        EXPECT_EQ(reg(37) & 0x0F, s.mgx ? 0xE : 5);
        EXPECT_EQ(readout().planes, s.dcs);  // what the camera will stream
    }
    apiLoadConfig(0, kAddr);
    EXPECT_EQ(pruGetNDCS(), 1);
    EXPECT_EQ(sensor().image_mode(), 0);
    apiLoadConfig(1, kAddr);
    EXPECT_EQ(pruGetNDCS(), 4);
    EXPECT_EQ(sensor().image_mode(), 1);
}

TEST_F(EpcCam, HdrRegisters) {
    open();
    ASSERT_EQ(configSetIntegrationTime3D(700), 0);
    apiEnableHDR(1, kAddr);
    ASSERT_EQ(apiSetIntegrationTime3DHDR(3000), 0);
    // Modulation clock 48 MHz: T = 20.833 ns, unit = T x 65.536 = 1365.3 us, so
    // 700 us needs 1 and 3000 us 3 units: m = 3.
    auto pair = [&](int r) { return reg(r) << 8 | reg(r + 1); };
    EXPECT_EQ(pair(160), 3);
    EXPECT_EQ(pair(162), 233 * 48 - 1);   // 700 / 3 x 1000 / T - 1
    EXPECT_EQ(pair(158), 1000 * 48 - 1);  // 3000 / 3 x 1000 / T - 1
    EXPECT_EQ(reg(148) & 0x80, 0x80);
    EXPECT_EQ(reg(146) & 0x08, 0x08);
    const int slots[4] = {34, 37, 40, 43}, on[4] = {0, 5, 10, 15}, off[4] = {4, 1, 0xE, 0xB};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(reg(slots[i]) & 0x0F, on[i]);
    ASSERT_EQ(configSetIntegrationTime3D(1000), 0);  // with HDR: registers, not the parameter
    EXPECT_EQ(pair(162), 333 * 48 - 1);
    EXPECT_EQ(sensor().integration_time_us(), 700);
    apiEnableHDR(0, kAddr);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(reg(slots[i]) & 0x0F, off[i]);
    EXPECT_EQ(reg(146) & 0x08, 0);
    EXPECT_EQ(reg(34) & 0x30, 0x30);  // background suppression bits kept
}

TEST_F(EpcCam, IntegrationTimesReachTheCamera) {
    open();
    ASSERT_EQ(configSetIntegrationTime3D(1000), 0);
    EXPECT_EQ(sensor().integration_time_us(), 1000);
    EXPECT_EQ(configGetDcsAdd_threshold(), 171);
    EXPECT_EQ(configSetIntegrationTime3D(4001), -1);
    EXPECT_EQ(sensor().integration_time_us(), 1000);
    ASSERT_EQ(configSetIntegrationTime2D(200), 0);  // 3D mode: stored only
    EXPECT_EQ(sensor().integration_time_us(), 1000);
    configLoad(0, kAddr);
    EXPECT_EQ(sensor().image_mode(), 0);
    ASSERT_EQ(configSetIntegrationTime2D(300), 0);
    EXPECT_EQ(sensor().integration_time_us(), 300);
    configLoad(1, kAddr);  // re-applies the 3D time
    EXPECT_EQ(sensor().integration_time_us(), 1000);
}

TEST_F(EpcCam, AbsDcsAndModeBits) {
    open();
    apiEnableABS(0, kAddr);
    for (int r : {34, 37, 40, 43}) EXPECT_EQ(reg(r) & 0x30, 0);
    EXPECT_EQ(configIsABS(kAddr), 0);
    apiEnableABS(1, kAddr);
    for (int r : {34, 37, 40, 43}) EXPECT_EQ(reg(r) & 0x30, 0x30);
    EXPECT_EQ(configIsABS(kAddr), 1);
    apiSelectMode(1, kAddr);
    EXPECT_TRUE(readout().pn);
    apiSelectMode(0, kAddr);
    EXPECT_FALSE(readout().pn);
}

TEST_F(EpcCam, FlimStepsAndSkipMask) {
    open("VZ-E1-660", 3);
    struct Case {
        int ic_version;
        uint16_t value;
        int result;
        uint8_t skip;  // register 47 afterwards
    } cases[] = {{2, 0, -1, 0x00}, {3, 0, 0, 0x08}, {3, 100, 0, 0x00}, {2, 100, 0, 0x00}};
    set_reg(47, 0);
    for (const Case &c : cases) {
        configSetIcVersion(c.ic_version);
        EXPECT_EQ(flimSetT1(c.value), c.result);
        EXPECT_EQ(reg(47), c.skip);
    }
    EXPECT_EQ(reg(176), 0x00);
    EXPECT_EQ(reg(177), 99);
    EXPECT_EQ(flimSetRepetitions(1000), 999);
    EXPECT_EQ(reg(186), 0x03);
    EXPECT_EQ(reg(187), 0xE7);
    EXPECT_EQ(flimGetRepetitions(), 1000);
    EXPECT_EQ(flimSetDelay(8, 5), -1);
    EXPECT_EQ(flimSetDelay(7, 0x1234), 0);
    EXPECT_EQ(reg(184) << 8 | reg(185), 0x1233);
    EXPECT_EQ(flimGetStep(), uint16_t(int(1e9 / 48000)));
}

TEST_F(EpcCam, DllRegisters) {
    open();
    EXPECT_EQ(dllDetermineAndSetDemodulationDelay(kAddr), 2);
    EXPECT_EQ(reg(139), 2);
    EXPECT_EQ(reg(174), 1);
    set_reg(133, 2);
    EXPECT_EQ(dllInitialize(kAddr), -1);  // no divider for it
    EXPECT_EQ(dllGetCoarseCtrlExt(), 0);
    // Leaving the bypass sets up the divider and tries to lock; this camera's
    // loop never reports a lock, so nothing is written back.
    set_reg(133, 1);
    CaptureStdout();
    dllBypassDLL(0, kAddr);
    EXPECT_NE(
        GetCapturedStdout().find("WARNING: DLL locking failed (max. no. of loops reached).\n"),
        std::string::npos);
    EXPECT_EQ(reg(174), 0);
    EXPECT_EQ(reg(132), 7);
    EXPECT_EQ(reg(172), 119);
    EXPECT_EQ(reg(115), 0);
    dllEnablePreheat(1, kAddr);
    EXPECT_EQ(reg(144) & 0x08, 0x08);
    dllEnablePreheat(0, kAddr);
    EXPECT_EQ(reg(144) & 0x08, 0);
}

// The lock measurement averages ten locked readings: the coarse result is
// their rounded mean, the fine result the mean of the readings at that
// coarse value; a later lock at the same coarse value (outside
// dllInitialize) blends with the previous fine value.
TEST_F(EpcCam, DllLockAveragesTheLockedReadings) {
    open();
    using R = vcam::EpcModel::DllReading;
    auto readings = [&](std::vector<R> r) {
        cam->fw().with_epc([&](vcam::EpcSensor &e) {
            vcam::EpcModel m = e.model();
            m.dll_readings = std::move(r);
            e.set_model(m);
        });
    };
    set_reg(133, 1);
    const uint8_t r174 = reg(174);
    readings({{false, 0, 0},
              {true, 100, 5},
              {true, 104, 5},
              {true, 300, 6},
              {false, 0, 0},
              {true, 101, 5},
              {true, 50, 4},
              {true, 102, 5},
              {true, 103, 5},
              {true, 105, 5},
              {true, 100, 5},
              {true, 101, 5}});
    CaptureStdout();
    EXPECT_EQ(dllInitialize(kAddr), 0);
    const std::string out = GetCapturedStdout();
    for (const char *line :
         {"dll_fine_ctrl_ext: 0x012C (300)\ndll_coarse_ctrl_ext: 0x06 (6)\n",
          "INFO: DLL locked and matched 10 times after a total of 12 attempt(s).\n",
          "INFO: Coarse value above average. Difference to average for fine value: 198\n",
          "INFO: Coarse value below average. Difference to average for fine value: -52\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
    struct Step {
        std::vector<R> readings;
        bool initialise;
        int fine, coarse;
    } steps[] = {
        {{}, true, 102, 5},                 // the readings above
        {{{true, 200, 5}}, false, 158, 5},  // (0.75 x 102 + 200) / 1.75
        {{{true, 515, 7}}, false, 515, 7},  // another coarse value: no blending
        {{{true, 600, 7}}, true, 600, 7},   // dllInitialize never blends
    };
    for (const Step &st : steps) {
        if (!st.readings.empty()) {
            readings(st.readings);
            CaptureStdout();
            EXPECT_EQ(st.initialise ? dllInitialize(kAddr) : dllLockAutomatically(kAddr), 0);
            GetCapturedStdout();
        }
        EXPECT_EQ(dllGetFineCtrlExt(), st.fine);
        EXPECT_EQ(dllGetCoarseCtrlExt(), st.coarse);
        EXPECT_EQ(reg(113), st.fine >> 8);
        EXPECT_EQ(reg(114), st.fine & 0xFF);
        EXPECT_EQ(reg(115), st.coarse);
        EXPECT_EQ(reg(174), r174);  // the bypass the measurement changed is back
    }
}

// Every row of the divider table, and a locking loop for each.
TEST_F(EpcCam, DllSetupTable) {
    open();
    cam->fw().with_epc([&](vcam::EpcSensor &e) {
        vcam::EpcModel m = e.model();
        m.dll_readings = {{true, 256, 3}};
        e.set_model(m);
    });
    const struct {
        uint8_t r133, r132, r172;
    } rows[] = {{0, 3, 115},  {1, 7, 119},   {3, 15, 119},
                {7, 31, 119}, {15, 63, 119}, {31, 127, 119}};
    for (const auto &r : rows) {
        set_reg(133, r.r133);
        set_reg(132, 0);
        set_reg(172, 0);
        CaptureStdout();
        EXPECT_EQ(dllInitialize(kAddr), 0) << int(r.r133);
        GetCapturedStdout();
        EXPECT_EQ(reg(132), r.r132) << int(r.r133);
        EXPECT_EQ(reg(172), r.r172) << int(r.r133);
        EXPECT_EQ(reg(115), 3) << int(r.r133);
    }
}

// bootNormalMode switches a chip in boot mode (register 126 bit 7) to normal
// mode with its register sequence; a chip in normal mode is left alone.
TEST_F(EpcCam, BootNormalModeSequence) {
    open();
    using W = std::pair<uint8_t, uint8_t>;
    struct Case {
        uint8_t r126;
        std::vector<W> writes;
        const char *printed;
    } cases[] = {
        {0x80,
         {{125, 0x9F}, {128, 0}, {125, 0x94}, {125, 0x84}, {125, 0x04}, {128, 0x3F}},
         "Changing mode...\nEnabling PLL...\nDisabling PLL bypass...\nDisabling sys_clk "
         "bypass...\nSwitching to normal mode...\n"},
        {0x7F, {}, ""},
    };
    for (const Case &c : cases) {
        set_reg(126, c.r126);
        cam->fw().with_epc([](vcam::EpcSensor &e) { e.take_reg_writes(); });
        CaptureStdout();
        EXPECT_EQ(bootNormalMode(kAddr), 0);
        EXPECT_EQ(GetCapturedStdout(), c.printed);
        std::vector<W> writes;
        cam->fw().with_epc([&](vcam::EpcSensor &e) { writes = e.take_reg_writes(); });
        EXPECT_EQ(writes, c.writes) << int(c.r126);
    }
}

TEST_F(EpcCam, TemperatureReadoutsAgreeWithTheCamera) {
    for (const char *product : {"VZ-E1-660", "VZ-E2-635"}) {
        SCOPED_TRACE(product);
        if (cam) {
            vz::epc::set_default_device(nullptr);
            vizor_dev_close(dev);
            bus.remove_camera(*cam);
        }
        open(product);
        const bool e660 = std::string(product) == "VZ-E1-660";
        const std::vector<int16_t> want = param_temps();
        ASSERT_EQ(want.size(), e660 ? 4u : 1u);
        int sum = 0;
        for (int16_t t : want) sum += t;
        EXPECT_EQ(temperatureGetTemperature(), e660 ? sum / 4 : want[0]);
        int16_t out[8] = {};
        EXPECT_EQ(temperatureGetTemperatureRegister(kAddr, out), int(want.size()));
        for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(out[i], want[i], 2) << i;
        EXPECT_NEAR(temperatureGetLastTempChip(), sum / int(want.size()), 2);

        const uint8_t r211 = reg(211), r213 = reg(213), r146 = reg(146);
        CaptureStdout();
        const int n = e660 ? temperatureGetTemperatureROI_EPC660_CHIP7(kAddr, out)
                           : temperatureGetTemperature635(kAddr, out);
        GetCapturedStdout();
        ASSERT_EQ(n, int(want.size()));
        const std::vector<int16_t> now = param_temps();  // after the frame it took
        for (int i = 0; i < n; ++i) EXPECT_NEAR(out[i], now[size_t(i)], 2) << i;
        EXPECT_EQ(reg(146), r146);
        EXPECT_EQ(reg(211), e660 ? (r211 & 0x1F) : (configGetGX() & 0x1F));
        EXPECT_EQ(reg(213), e660 ? (r213 | 0x30) : (configGetGY() | 0x30));
        EXPECT_EQ(sensor().image_mode(), 1);

        int16_t all[6] = {};
        EXPECT_EQ(temperatureGetTemperatures(kAddr, all), int(want.size()) + 2);
        EXPECT_EQ(all[want.size()], 1220);
        EXPECT_EQ(all[want.size() + 1], 1220);
    }
}

TEST_F(EpcCam, TemperatureCountsStayWithinTheValueArea) {
    open();
    cam->inject(vcam::Fault::param_len_overflow, vcam::FaultSpec().always());
    int16_t out[12];
    for (int16_t &v : out) v = 0x5A5A;
    EXPECT_EQ(temperatureGetTemperatures(kAddr, out), 6);  // 4 chip + 2 illumination values
    EXPECT_EQ(out[4], 1220);
    for (int i = 6; i < 12; ++i) EXPECT_EQ(out[i], 0x5A5A) << i;
    EXPECT_EQ(temperatureGetTemperatureChip(kAddr, out), 4);
    EXPECT_GT(cam->fw().fault_hits(vcam::Fault::param_len_overflow), 0u);
}

TEST_F(EpcCam, RoiTemperatureRestoresTheReadout) {
    open();
    ASSERT_EQ(apiSetROI(4, 323, 6, 125, kAddr), 0);
    apiSetRowReduction(1, kAddr);
    const uint8_t r148 = reg(148);
    int16_t out[4] = {};
    CaptureStdout();
    EXPECT_EQ(temperatureGetTemperatureROI(kAddr, out), 4);
    GetCapturedStdout();
    EXPECT_EQ(reg(148), r148);
    const uint8_t roi[6] = {0, 4, 1, 67, 6, 125};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(reg(150 + i), roi[i]);
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(pruGetNRowsPerHalf(), 60);
    EXPECT_EQ(pruGetNDCS(), 4);
    EXPECT_EQ(sensor().image_mode(), 1);
}

TEST_F(EpcCam, ImageSourceFetchesOneFrame) {
    open();
    ASSERT_EQ(apiSetROI(4, 323, 6, 125, kAddr), 0);
    uint16_t *img = nullptr;
    CaptureStdout();
    EXPECT_EQ(pruGetImage(&img), 320 * 4 * 120 * 2);
    const std::string out = GetCapturedStdout();
    EXPECT_NE(out.find(" get one frame #"), std::string::npos) << out;
    EXPECT_FALSE(vizor_cap_is_ongoing(dev));
    // The frame's size comes from the EPC driver's frame description.
    EXPECT_NE(out.find(": 320x240, size=614400\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("wrong frame size"), std::string::npos);
    size_t nonzero = 0;
    for (int i = 0; i < 320 * 4 * 240; ++i) nonzero += img[i] != 0;
    EXPECT_GT(nonzero, 1000u);

    pruSetSize(100, 10);  // not what the camera sends
    CaptureStdout();
    EXPECT_EQ(pruGetImage(&img), 100 * 4 * 10 * 2);
    EXPECT_NE(GetCapturedStdout().find(" wrong frame size: expect 16000, get "), std::string::npos);
    for (int i = 0; i < 8000; ++i) ASSERT_EQ(img[i], 0);
}

TEST_F(EpcCam, ShimRefusalsLeaveTheChipAlone) {
    open();
    cam->fw().clear_command_log();
    uint8_t buf[300] = {0x55};
    uint8_t *p = buf;
    CaptureStdout();
    EXPECT_EQ(i2c(128, 'w', 10, 1, &p), -1);
    EXPECT_EQ(i2c(kAddr, 'w', 256, 1, &p), -1);
    EXPECT_EQ(i2c(kAddr, 'w', 10, 262, &p), -1);
    GetCapturedStdout();
    EXPECT_TRUE(cam->fw().command_log().empty());  // no command reached the camera
    EXPECT_NE(reg(10), 0x55);
    buf[0] = 0x55;
    EXPECT_EQ(apiWriteRegister(10, 1, &p, kAddr), 1);
    EXPECT_EQ(reg(10), 0x55);
    buf[0] = 0;
    EXPECT_EQ(apiReadRegister(10, 1, &p, kAddr), 1);
    EXPECT_EQ(buf[0], 0x55);
    set_reg(148, 0x11);
    CaptureStdout();
    EXPECT_EQ(i2c(kAddr, 'l', 0, 0, &p), 0);
    EXPECT_EQ(i2c(kAddr, 's', 0, 0, &p), 0);  // the sensor back at its power-up values
    EXPECT_EQ(GetCapturedStdout(), "uncompleted function : <i2c device reload>!\n");
    EXPECT_EQ(reg(148), 0);
}

}  // namespace
