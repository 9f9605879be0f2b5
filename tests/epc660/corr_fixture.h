// Fixture of the correction and calibration suites: a fresh working
// directory, the modules' start-up state, and a small image geometry.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "epc660/base.h"
#include "epc660/calibration.h"
#include "epc660/correction.h"
#include "log_capture.h"
#include "testutil.h"
#include "vizor/epc660.h"

class CorrTest : public ::testing::Test {
protected:
    void SetUp() override {
        vz::epc::corr::reset_for_tests();
        vz::epc::cal::reset_for_tests();
        configSetPartType(2);
        configSetWaferID(3);
        configSetChipID(17);
        uint16_t t[2] = {361, 0};
        temperatureSetTemperatureByFrameHeader(t);
        geometry(320, 240, 4, 6);
    }
    // Sorted image of cols x rows whose top-left corner sits at sensor
    // coordinates (x, y).
    static void geometry(int cols, int rows, int x, int y) {
        pruSetSize(cols, rows / 2);
        readOutSetROI(x, x + cols - 1, y, y + rows / 2 - 1, 0);
    }
    static void write_bytes(const std::string &name, const std::vector<uint8_t> &b) {
        std::ofstream(name, std::ios::binary).write((const char *)b.data(), (long)b.size());
    }
    static void write_u16(const std::string &name, const std::vector<uint16_t> &v) {
        std::vector<uint8_t> b;
        for (uint16_t x : v) b.insert(b.end(), {(uint8_t)x, (uint8_t)(x >> 8)});
        write_bytes(name, b);
    }
    static void write_text(const std::string &name, const std::string &s) {
        std::ofstream(name) << s;
    }
    // A 16-byte parameter block.
    static std::vector<uint8_t> param_block(int32_t off, int32_t temp, double step) {
        std::vector<uint8_t> b(16);
        memcpy(b.data(), &off, 4);
        memcpy(b.data() + 4, &temp, 4);
        memcpy(b.data() + 8, &step, 8);
        return b;
    }
    vzt::TempCwd cwd_;
    LogCapture log_;
};
