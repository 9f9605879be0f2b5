// EPC library base modules without a camera: register shim checks, board
// stubs, integration-time limits and the additive threshold, the parameter
// file, the image source geometry and pushed frames, temperature helpers,
// facade range checks, version and frame queue.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "epc660/base.h"
#include "log_capture.h"
#include "testutil.h"
#include "vizor/epc660.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Runs f and returns what it printed to standard output.
template <class F>
std::string printed(F &&f) {
    CaptureStdout();
    f();
    return GetCapturedStdout();
}

TEST(EpcI2c, RefusesBadArgumentsBeforeAnyDeviceCall) {
    vz::epc::set_default_device(nullptr);
    LogCapture log;
    uint8_t buf[300] = {7};
    uint8_t *p = buf;
    struct Case {
        int addr, reg, count;
        char op;
        const char *message;
    } cases[] = {
        {128, 0, 1, 'r', "Device address is out of range."},
        {-1, 0, 1, 'w', "Device address is out of range."},
        {0x20, 256, 1, 'r', "Register address is out of range."},
        {0x20, 0, 262, 'r', "rw much data: 262"},
        {0x20, 0, 1, 'x', "Invalid operation: Only 'd' (devices)"},
    };
    for (const Case &c : cases) {
        const std::string out =
            printed([&] { EXPECT_EQ(i2c(c.addr, c.op, c.reg, c.count, &p), -1); });
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
    }
    EXPECT_EQ(buf[0], 7);
    // None of them reached the device API, which would have logged the NULL device.
    EXPECT_FALSE(log.has("Device handler Is NULL"));
    EXPECT_EQ(i2c(0x20, 'd', 0, 2, &p), 0);
    EXPECT_EQ(buf[0], 0x20);
    EXPECT_EQ(buf[1], 0xFF);
}

TEST(EpcBoard, StubsAnswerConstants) {
    struct Case {
        int got, want;
    } cases[] = {
        {adcOpen(0), 0},
        {adcOpen(7), 7},
        {adcOpen(8), -1},
        {adcOpen(-1), -1},
        {adcGetValue(3), 1024},
        {adcGetValueMillivolts(1), 450},
        {adcGetValueMicroAmpere(1, 100), 4500},
        {adcGetValueMicroAmpere(1, 0), -1},
        {gpio_get_dir(3), 1},
        {gpio_set_val(3, 1), 0},
        {bbbLEDEnable(1), 0},
    };
    for (const Case &c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(EpcConfig, IntegrationTimeLimits) {
    struct Case {
        int (*set)(int);
        int (*get)(void);
        int t, result;
    } cases[] = {
        {configSetIntegrationTime2D, configGetIntegrationTime2D, 1000001, -1},
        {configSetIntegrationTime2D, configGetIntegrationTime2D, 1000000, 0},
        {configSetIntegrationTime3D, configGetIntegrationTime3D, 4001, -1},
        {configSetIntegrationTime3D, configGetIntegrationTime3D, 4000, 0},
        {configSetIntegrationTime3DHDR, configGetIntegrationTime3DHDR, 4001, -1},
        {configSetIntegrationTime3DHDR, configGetIntegrationTime3DHDR, 300, 0},
        {configSetIntegrationTime3D, configGetIntegrationTime3D, -5, -1},
    };
    for (const Case &c : cases) {
        const int before = c.get();
        EXPECT_EQ(c.set(c.t), c.result) << c.t;
        EXPECT_EQ(c.get(), c.result == 0 ? c.t : before) << c.t;
    }
}

TEST(EpcConfig, AddEndFileNameSuffixByFrequencyWithinTheBuffer) {
    vz::epc::set_default_device(nullptr);
    int *f = configGetModulationFrequencies();
    const std::vector<int> keep(f, f + 3);
    const int index = configGetModFreqMode();
    f[0] = 20000, f[1] = 19999, f[2] = 9999;
    const char *expected[] = {"a_20.bin", "a_10.bin", "a_5.bin"};
    for (int i = 0; i < 3; ++i) {
        configSetModulationFrequency(i, 0);
        char name[256] = "a";
        EXPECT_EQ(configAddEndFileName(name, "bin"), name);
        EXPECT_STREQ(name, expected[i]);
    }
    // 248 + "_5." + "csv" fills 254 bytes; one more character does not fit
    // with "_10." (256 with the terminator) and leaves the name as it was.
    char name[256];
    snprintf(name, sizeof name, "%s", std::string(248, 'x').c_str());
    EXPECT_EQ(configAddEndFileName(name, "csv"), name);
    configSetModulationFrequency(1, 0);
    snprintf(name, sizeof name, "%s", std::string(249, 'x').c_str());
    EXPECT_EQ(configAddEndFileName(name, "csv"), nullptr);
    EXPECT_EQ(std::string(name), std::string(249, 'x'));
    EXPECT_EQ(configAddEndFileName(nullptr, "csv"), nullptr);
    EXPECT_EQ(configAddEndFileName(name, nullptr), nullptr);
    std::copy(keep.begin(), keep.end(), f);
    configSetModulationFrequency(index, 0);
}

// Every accepted 3D time recomputes the working ambient-light factor; a time
// of 0 skips the division (the factor is the unscaled one).
TEST(EpcConfig, AmbientFactorFollowsEveryAccepted3DTime) {
    calculationSetAmbientLightFactorOrg(250.0);
    struct Case {
        int t;
        double factor;
    } cases[] = {{100, 25.0}, {0, 250.0}, {400, 12.5}, {4001, 12.5}, {-1, 12.5}};
    for (const Case &c : cases) {
        configSetIntegrationTime3D(c.t);
        EXPECT_DOUBLE_EQ(calculationGetAmbientLightFactor(), c.factor) << c.t;
    }
    configSetIntegrationTime3D(700);
}

TEST(EpcConfig, AdditiveThresholdFollowsThe3DTime) {
    struct Case {
        int t, threshold;
    } cases[] = {{1000, 171}, {150, 80}, {100, 80}, {2000, 280}};
    for (const Case &c : cases) {
        ASSERT_EQ(configSetIntegrationTime3D(c.t), 0);
        EXPECT_EQ(configGetDcsAdd_threshold(), c.threshold) << c.t;
    }
}

// ---- parameter file ----

class EpcConfigFile : public ::testing::Test {
protected:
    void write(const std::string &text) { std::ofstream("config.txt") << text; }
    vzt::TempCwd cwd;
    LogCapture log;
};

TEST_F(EpcConfigFile, SaveThenLoadRoundTrips) {
    configSetPrint(0);
    calibrateSetDRNUAverage(25);
    ASSERT_EQ(configSaveParameters(), 0);
    std::ifstream in("config.txt");
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[4], "25");
    calibrateSetDRNUAverage(3);
    ASSERT_EQ(configLoadParameters(), 0);
    EXPECT_EQ(calibrateGetDRNUAverage(), 25);
    EXPECT_TRUE(log.has("[configLoadParameters] numAveragedFrames = 25\n"));
}

TEST_F(EpcConfigFile, ThreeLinesSetThreeValues) {
    configSetIntegrationTime3D(400);
    calibrateSetDRNUCalibrateDelay(11);
    calibrateSetSpeedOfLightDiv2(149896229.0);
    write("500.0\n0\n42\n");
    ASSERT_EQ(configLoadParameters(), 0);
    EXPECT_DOUBLE_EQ(calculationGetAmbientLightFactorOrg(), 500.0);
    EXPECT_EQ(configPrint(), 0);
    EXPECT_EQ(calibrateGetDRNUDiffTemp(), 42);
    EXPECT_EQ(calibrateGetDRNUCalibrateDelay(), 11);
    EXPECT_DOUBLE_EQ(calibrateGetSpeedOfLightDiv2(), 149896229.0);
}

TEST_F(EpcConfigFile, BadLinesKeepTheirValues) {
    calibrateSetDRNUDiffTemp(7);
    calibrateSetDRNUCalibrateDelay(200000);
    calibrateSetDRNUAverage(25);
    calibrateSetSpeedOfLightDiv2(149896229.0);
    // line 3 not a number, 4 overlong, 5 a zero divisor, 8 a negative divisor
    write("250.0 comment\n0\nabc\n" + std::string(5000, '9') + "\n0\n1.5\n1.7\n-3\nextra\n");
    ASSERT_EQ(configLoadParameters(), 0);
    EXPECT_EQ(calibrateGetDRNUDiffTemp(), 7);
    EXPECT_EQ(calibrateGetDRNUCalibrateDelay(), 200000);
    EXPECT_EQ(calibrateGetDRNUAverage(), 25);
    EXPECT_DOUBLE_EQ(calibrateGetTempCoef(4), 1.5);
    EXPECT_DOUBLE_EQ(calibrateGetSpeedOfLightDiv2(), 149896229.0);
    for (int line : {3, 4, 5, 8})
        EXPECT_TRUE(log.has("line " + std::to_string(line) + " of config.txt refused")) << line;
}

// Each line is read as "%i" or "%lf" reads it; only the values something is
// divided by are bounded.
TEST_F(EpcConfigFile, LinesAreReadAsScanfReadsThem) {
    struct Case {
        int line;  // 1-based
        const char *text;
        double want;  // the value afterwards (the previous one when refused)
        bool refused;
    } cases[] = {
        {2, "200", 200, false},
        {2, "1.5", 1, false},
        {2, "3x", 3, false},
        {2, "0x10", 16, false},
        {3, "-40", -40, false},
        {3, "abc", -40, true},
        {4, "99999999999", 2000, true},
        {4, "-7", -7, false},
        {1, "-12.5", -12.5, false},
        {1, "0", -12.5, true},
        {7, "1500", 1500, false},
        {6, "-2.5e1", -25, false},
        {5, "0", 25, true},
        {8, "-3", 149896229.0, true},
        {8, "1e6x", 1e6, false},
    };
    auto value = [](int line) -> double {
        switch (line) {
        case 1: return calculationGetAmbientLightFactorOrg();
        case 2: return configPrint();
        case 3: return calibrateGetDRNUDiffTemp();
        case 4: return calibrateGetDRNUCalibrateDelay();
        case 5: return calibrateGetDRNUAverage();
        case 6: return calibrateGetTempCoef(4);
        case 7: return calibrateGetTempCoef(2);
        default: return calibrateGetSpeedOfLightDiv2();
        }
    };
    calibrateSetDRNUAverage(25);
    calibrateSetDRNUCalibrateDelay(2000);
    calibrateSetSpeedOfLightDiv2(149896229.0);
    for (const Case &c : cases) {
        // Lines before the one under test repeat the current values.
        std::string text;
        for (int i = 1; i < c.line; ++i) {
            std::ostringstream v;
            v.precision(17);
            v << value(i);
            text += v.str() + "\n";
        }
        write(text + c.text + "\n");
        LogCapture lines;
        ASSERT_EQ(configLoadParameters(), 0);
        EXPECT_DOUBLE_EQ(value(c.line), c.want) << c.line << ": " << c.text;
        EXPECT_EQ(lines.has("line " + std::to_string(c.line) + " of config.txt refused"), c.refused)
            << c.line << ": " << c.text;
    }
    configSetPrint(0);
}

TEST_F(EpcConfigFile, MissingOrUnwritableFileNeverFailsInit) {
    EXPECT_EQ(configLoadParameters(), -1);
    EXPECT_TRUE(log.has("[configLoadParameters] Could not open config.txt file.\n"));
    std::filesystem::create_directory("config.txt");  // neither readable nor writable as a file
    EXPECT_EQ(configSaveParameters(), -1);
    printed([] { EXPECT_EQ(configInit(0x20), 0); });
    EXPECT_EQ(configGetSequencerVersion(), 9);
    EXPECT_EQ(configGetGZ(), -268);
}

// ---- image source ----

TEST(EpcPru, GeometryByPartTypeAndReduction) {
    struct Case {
        int type, cols, rows, halves;
    } cases[] = {{2, 320, 120, 2}, {4, 160, 60, 1}, {5, 160, 60, 1}, {3, 320, 120, 2}};
    for (const Case &c : cases) {
        configSetPartType(c.type);
        pruInit();
        EXPECT_EQ(pruGetNCols(), c.cols);
        EXPECT_EQ(pruGetNRowsPerHalf(), c.rows);
        EXPECT_EQ(pruGetNumberOfHalves(), c.halves);
        EXPECT_EQ(pruGetNDCS(), 4);
    }
    pruSetColReduction(1);
    EXPECT_EQ(pruGetNCols(), 160);
    pruSetRowReduction(2);
    EXPECT_EQ(pruGetNRowsPerHalf(), 30);
    // pruInit sets the geometry but keeps the reductions the setters chose.
    pruInit();
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(pruGetColReduction(), 2u);
    EXPECT_EQ(pruGetRowReduction(), 4u);
    pruSetSize(320, 120);
    EXPECT_EQ(pruGetNCols(), 160);
    EXPECT_EQ(pruGetNRowsPerHalf(), 30);
    pruSetColReduction(0);
    pruSetRowReduction(0);
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(pruGetNRowsPerHalf(), 120);
    configSetPartType(2);
}

TEST(EpcPru, PushedFramesAreNeverReadPastTheirEnd) {
    configSetPartType(4);
    pruInit();  // 160 x 4 x 60 x 1 samples
    const size_t want = 160 * 4 * 60;
    struct Case {
        size_t samples;
        bool same_buffer;
    } cases[] = {{want, true}, {want + 10, true}, {want / 2, false}, {0, false}};
    for (const Case &c : cases) {
        std::vector<uint16_t> frame(c.samples + 1, 0x0ABC);
        epc_raw_image_t img{};
        img.frame_info.frame_size = uint32_t(c.samples * 2);
        img.frame_data = frame.data();
        pruSetImage(&img);
        uint16_t *out = nullptr;
        const std::string msg = printed([&] { EXPECT_EQ(pruGetImage(&out), int(want)); });
        EXPECT_EQ(out == frame.data(), c.same_buffer);
        EXPECT_EQ(msg.find("wrong frame size") != std::string::npos, c.samples != want);
        // Every handed-out sample is readable; the missing part is zero.
        EXPECT_EQ(out[want - 1], c.samples >= want ? 0x0ABC : 0);
        if (c.samples) {
            EXPECT_EQ(out[0], 0x0ABC);
        }
        EXPECT_EQ(img.frame_data, nullptr);
    }
    configSetPartType(2);
    pruInit();
}

// ---- temperatures ----

TEST(EpcTemperature, IlluminationFromTheAdcStubsAndSmoothing) {
    int16_t ill[2] = {};
    EXPECT_EQ(temperatureGetTemperatureIllumination(ill), 2);
    EXPECT_EQ(ill[0], 1220);
    EXPECT_EQ(ill[1], 1220);
    EXPECT_EQ(temperatureGetLastTempIllumination(), 1220);

    int16_t v[3] = {100, 200, 300};
    EXPECT_EQ(temperatureKalmanFilter(v, 0), 0);
    EXPECT_EQ(v[0], 100);
    EXPECT_EQ(temperatureKalmanFilter(v, 1), 1);
    EXPECT_EQ(v[0], 50);  // half of the zero state and half of the value
    EXPECT_EQ(v[1], 200);
    EXPECT_EQ(temperatureKalmanFilter(v, 9), -1);

    const uint16_t header[2] = {345, 0xFFF6};
    temperatureSetTemperatureByFrameHeader(header);
    EXPECT_EQ(temperatureGetTemperatureByFrameHeader(), 345);
    EXPECT_EQ(temperatureGetIbTemperatureByFrameHeader(), -10);
}

// ---- facade ----

TEST(EpcApi, RoiRangesAreCheckedBeforeTheChip) {
    vz::epc::set_default_device(nullptr);
    pruInit();
    struct Case {
        int x1, x2, y1, y2;
        const char *message;
    } cases[] = {
        {1, 327, 0, 125, "bad x coordinates"}, {0, 328, 0, 125, "bad x coordinates"},
        {0, 326, 0, 125, "bad x coordinates"}, {-2, 5, 0, 125, "bad x coordinates"},
        {0, 3, 0, 125, "bad x coordinates"},   {0, 327, 1, 125, "bad y coordinates"},
        {0, 327, 0, 126, "bad y coordinates"}, {0, 327, 4, 3, "bad y coordinates"},
        {0, 327, 0, 0, "bad y coordinates"},
    };
    for (const Case &c : cases) {
        const std::string out =
            printed([&] { EXPECT_EQ(apiSetROI(c.x1, c.x2, c.y1, c.y2, 0x20), -1); });
        EXPECT_EQ(out, c.message);
    }
    pruSetColReduction(1);
    const std::string out = printed([] { EXPECT_EQ(apiSetROI(0, 9, 0, 125, 0x20), -1); });
    EXPECT_EQ(out, "size too small: min size = 12 x 2\n");
    pruSetColReduction(0);
    EXPECT_EQ(pruGetNCols(), 320);  // nothing applied
}

TEST(EpcApi, ClampsAndIndexChecks) {
    printed([] {
        EXPECT_EQ(apiSetRowReduction(7, 0x20), 3);
        EXPECT_EQ(apiSetRowReduction(-1, 0x20), 0);
        EXPECT_EQ(apiSelectMode(5, 0x20), 1);
        EXPECT_EQ(apiSelectMode(-5, 0x20), 0);
    });
    EXPECT_EQ(apiSetModulationFrequency(configGetModFreqCount(), 0x20), -1);
    EXPECT_EQ(apiSetModulationFrequency(-1, 0x20), -1);
    EXPECT_EQ(apiSetDRNUAverage(0), -1);
    EXPECT_EQ(printed([] { apiTest(0x12345); }), "test... ");
    EXPECT_EQ(apiTest(0x12345), 0x2345);
    EXPECT_EQ(getVersion(), 20800);
    EXPECT_EQ(apiGetVersion(), 20800);
    EXPECT_EQ(getMajor() * 10000 + getMinor() * 100 + getPatch(), 20800);
    EXPECT_EQ(configGetModeCount(), 3);
    EXPECT_EQ(configGetImagingTime(), 15000);
}

TEST(EpcApi, PrintLevelGatesFacadeMessages) {
    configSetPrint(0);
    EXPECT_EQ(printed([] { apiCorrectFlimGain(1); }), "");
    configSetPrint(1);
    EXPECT_EQ(printed([] { apiCorrectFlimGain(1); }), "correctFlimGain 1\n");
    configSetPrint(0);
}

TEST(EpcQueue, FourSlotsOldestFirst) {
    queueInit();
    EXPECT_EQ(isQueueEmpty(), 1);
    std::vector<uint8_t> out(661248);
    for (uint8_t i = 0; i < 4; ++i) EXPECT_EQ(enqueue(&i, 1), 0);
    uint8_t x = 9;
    EXPECT_EQ(enqueue(&x, 1), -1);
    EXPECT_EQ(enqueue(&x, 661249), -1);
    for (uint8_t i = 0; i < 4; ++i) {
        EXPECT_EQ(dequeue(out.data()), 1);
        EXPECT_EQ(out[0], i);
    }
    EXPECT_EQ(dequeue(out.data()), -1);
    EXPECT_EQ(queueError(), 3);
    EXPECT_EQ(succ(3), 0);
}

}  // namespace
