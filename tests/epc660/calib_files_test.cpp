// Calibration files: names, the documented formats written here and read by
// the loaders, and hostile files (truncated, oversized, absurd values,
// over-long lines, surplus values) that must be refused or clipped with the
// previous values kept.
#include <cmath>
#include <cstring>

#include "corr_fixture.h"

namespace {

namespace cal = vz::epc::cal;

const std::string kParam = "epc660_drnu_param_W003_C017_10.bin";
const std::string kImages10 = "epc660_images_drnu_W003_C017_10.bin";

using CalibFiles = CorrTest;

TEST_F(CalibFiles, NamesCarryPartWaferChipAndFrequency) {
    char buf[256];
    EXPECT_EQ(calibrationGetDistanceImagesName(buf, 1), 1);
    EXPECT_STREQ(buf, "epc660_images_drnu_W003_C017_10.bin");
    calibrationGetParamName(buf, 0);
    EXPECT_STREQ(buf, "epc660_drnu_param_W003_C017_20.bin");
    configSetPartType(4);
    calibrationGetDistanceImagesName(buf, 0);
    EXPECT_STREQ(buf, "epc635_images_drnu_W003_C017_20.bin");
    struct {
        int khz;
        const char *sfx;
    } cases[] = {{20000, "_20."}, {19999, "_10."}, {12000, "_10."},
                 {10000, "_10."}, {9999, "_5."},   {5000, "_5."}};
    for (auto &c : cases) EXPECT_STREQ(cal::freq_suffix(c.khz), c.sfx) << c.khz;
    EXPECT_EQ(calibrationDataFileCheck(1), -1);
}

TEST_F(CalibFiles, ParameterBlockIsLoadedOrRefusedWithDefaultsKept) {
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        bool ok;
    } cases[] = {
        {"valid", param_block(8100, 350, 301.5), true},
        {"truncated", std::vector<uint8_t>(15, 1), false},
        {"oversized",
         [] {
             auto b = param_block(8100, 350, 301.5);
             b.push_back(0);
             return b;
         }(),
         false},
        {"zero step", param_block(8100, 350, 0.0), false},
        {"negative step", param_block(8100, 350, -3.0), false},
        {"NaN step", param_block(8100, 350, NAN), false},
        {"offset beyond a period", param_block(40000, 350, 301.5), false},
    };
    for (const Case &c : cases) {
        cal::reset_for_tests();
        write_bytes(kParam, c.bytes);
        calibrationLoadDRNU_LUT();  // the table texts are missing: -1 after the parameters
        EXPECT_EQ(calibrationGetOffsetDRNU(), c.ok ? 8100 : 8364) << c.what;
        EXPECT_EQ(calibrateGetTempCalib(), c.ok ? 350 : 361) << c.what;
        EXPECT_DOUBLE_EQ(calibrateGetStepCalMM(), c.ok ? 301.5 : 298.2) << c.what;
    }
    EXPECT_TRUE(log_.has("holds 15 bytes instead of 16"));
    EXPECT_TRUE(log_.has("holds absurd values"));
}

TEST_F(CalibFiles, DistanceImagesStepCountIsBoundedAndChecked) {
    calibrateSetWidth(4);
    calibrateSetHeight(2);
    struct Case {
        size_t bytes;
        int ret, steps;
    } cases[] = {{60 * 16, 0, 50}, {3 * 16 + 5, 0, 3}, {16, 0, 1}, {15, -1, 30}, {0, -1, 30}};
    for (const Case &c : cases) {
        calibrateSetNumDistances(30);
        std::vector<uint8_t> b(c.bytes);
        for (size_t i = 0; i < b.size(); ++i) b[i] = (uint8_t)(i / 2);
        write_bytes(kImages10, b);
        EXPECT_EQ(calibrationLoadDistanceImages(1), c.ret) << c.bytes;
        EXPECT_EQ(calibrateGetNumDistances(), c.steps) << c.bytes;
    }
    EXPECT_EQ(calibrateGetDistImagePixel(8 * 49 + 7),
              (uint8_t)(8 * 49 + 7) * 0x101);  // from the 50 steps
    EXPECT_EQ(calibrateGetDistImagePixel(-1), 0);
    EXPECT_EQ(calibrateGetDistImagePixel(50 * 82656), 0);
    unlink(kImages10.c_str());
    calibrateSetNumDistances(30);
    EXPECT_EQ(calibrationLoadDistanceImages(1), -1);
    EXPECT_EQ(calibrateGetNumDistances(), 50);  // no size to take: the largest count
    EXPECT_TRUE(log_.has("[calibrationLoadDistanceImages] Can not open"));
}

// Table texts for both slots with the given body lines.
void write_tables(const std::string &head, const std::string &body) {
    for (const char *sfx : {"_20.", "_10."})
        std::ofstream(std::string("epc660_drnu_W003_C017") + sfx + "csv") << head << body;
}

TEST_F(CalibFiles, TableTextClipsLongLinesAndSurplusValues) {
    calibrateSetWidth(4);
    calibrateSetHeight(2);
    calibrateSetNumDistances(2);
    const std::string huge(40000, '7');
    struct Case {
        const char *what, *head;
        std::string body;
        int ret, e000, e001, e010, offset;
    } cases[] = {
        {"regular", "8200\n350\n299.0\n", "1 2 3 4\n5 6 7 8\n9 9 9 9\n9 9 9 9\n", 0, 1, 2, 5, 8200},
        {"hex and octal", "0x2008\n350\n299.0\n", "0x10 010 3 4\n5 6 7 8\n", 0, 16, 8, 5, 8200},
        {"surplus values", "8200\n350\n299.0\n", "1 2 3 4 99 98\n5 6 7 8\n", 0, 1, 2, 5, 8200},
        {"over-long line", "8200\n350\n299.0\n", huge + " 5\n6 7 8 9\n", 0, INT32_MAX, 0, 6, 8200},
        {"absurd header", "8200\n350\n0\n", "1 2 3 4\n", 0, 1, 2, 0, 8364},
    };
    for (const Case &c : cases) {
        cal::reset_for_tests();
        calibrateSetWidth(4);
        calibrateSetHeight(2);
        calibrateSetNumDistances(2);
        write_tables(c.head, c.body);
        EXPECT_EQ(calibrationLoadDRNU_LUT(), c.ret) << c.what;
        EXPECT_EQ(calibrateGetDRNULutPixel(0, 0, 0), c.e000) << c.what;
        EXPECT_EQ(calibrateGetDRNULutPixel(0, 0, 1), c.e001) << c.what;
        EXPECT_EQ(calibrateGetDRNULutPixel(0, 1, 0), c.e010) << c.what;
        EXPECT_EQ(calibrateGetDRNULutPixel(0, 0, 4), 0) << c.what;  // beyond the width
        EXPECT_EQ(calibrationGetOffsetDRNU(), c.offset) << c.what;
    }
    EXPECT_TRUE(log_.has("clipped"));
    EXPECT_TRUE(log_.has("values beyond 4 per line ignored"));
    EXPECT_TRUE(log_.has("[calibrationLoadDRNU_LUT] error calibrationLoadDRNU_LUT"));
}

TEST_F(CalibFiles, SavedFilesReadBack) {
    calibrateSetWidth(4);
    calibrateSetHeight(2);
    calibrateSetNumDistances(3);
    std::vector<uint16_t> im;
    for (int i = 0; i < 24; ++i) im.push_back((uint16_t)(1000 + 333 * i));
    write_u16(kImages10, im);
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    ASSERT_EQ(calibrationDRNU_FromFile(3000), 0);
    EXPECT_EQ(vzt::read_file("epc660_drnu_W003_C017_10.csv"),
              std::to_string(calibrationGetOffsetDRNU()) + "\n361\n300.0000\n");
    EXPECT_EQ(vzt::read_file("temp_param.bin").size(), 16u);
    ASSERT_EQ(calibrationSaveDistanceImages(), 0);
    EXPECT_EQ(vzt::read_file(kImages10).size(), 48u);
    const std::string txt = vzt::read_file("epc660_images_drnu_W003_C017_10.csv");
    EXPECT_EQ(txt.substr(0, 22), "1000 1333 1666 1999 \n2");
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(calibrateGetDistImagePixel(23), 1000 + 333 * 23);
    write_text("epc660_temperature_drnu_W003_C017_10.csv", "300\nx\n330\n");
    int16_t *t = calibrationLoadTemperatureDRNU();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t[0], 300);
    EXPECT_EQ(t[2], 330);
    EXPECT_EQ(calibrateGetTempCalib(), 210);  // the unreadable line adds nothing
    ASSERT_EQ(calibrationSaveTemperatureDRNU(), 0);
    EXPECT_EQ(vzt::read_file("epc660_temperature_drnu_W003_C017_10.csv"), "300\n0\n330\n");
}

TEST_F(CalibFiles, BadPixelListIsBounded) {
    std::filesystem::create_directory("calibration");
    const std::string name = "calibration/PT02_W003_C017_bad_pixels.txt";
    std::vector<int> values(2 * 82656 + 8);
    std::string many;
    for (int i = 0; i < 82657; ++i) many += "1 2\n";
    struct Case {
        std::string text;
        int ret;
    } cases[] = {{"4 6\n10 20\n", 4}, {"4 6 8\n", -1}, {"", 0}, {many, -1}};
    for (const Case &c : cases) {
        write_text(name, c.text);
        EXPECT_EQ(calibrationGetBadPixels(values.data()), c.ret) << c.text.substr(0, 12);
        if (c.ret == 4) {
            EXPECT_EQ(values[3], 20);
        }
    }
    unlink(name.c_str());
    EXPECT_EQ(calibrationGetBadPixels(values.data()), -1);
    EXPECT_TRUE(log_.has("Could not open ./calibration/PT02_W003_C017_bad_pixels.txt file."));
    EXPECT_EQ(calibrationGetBadPixels(nullptr), -1);
}

}  // namespace

namespace {

TEST_F(CalibFiles, ConfigInitLoadsTheWrittenFilesAndEnablesMode2) {
    write_bytes(kParam, param_block(8100, 350, 301.5));
    std::vector<uint16_t> im(3 * 76800);
    for (size_t i = 0; i < im.size(); ++i) im[i] = (uint16_t)(5000 + 700 * (i / 76800) + i % 9);
    write_u16(kImages10, im);
    for (const char *sfx : {"_20.", "_10."})
        write_text(std::string("epc660_drnu_W003_C017") + sfx + "csv", "8100\n350\n301.5\n");
    configInit(0);  // no device: the register writes fail and are reported
    EXPECT_EQ(calculationGetEnableDRNU(), 2);
    EXPECT_EQ(calculationGetEnableTemperature(), 1);
    EXPECT_EQ(calibrateGetNumDistances(), 3);
    EXPECT_EQ(calibrationGetOffsetDRNU(), 8100);
    EXPECT_EQ(calibrateGetTempCalib(), 350);
    EXPECT_DOUBLE_EQ(calibrateGetStepCalMM(), 301.5);
    EXPECT_EQ(calibrationGetOffsetPhase(), (int)(885000.0 / 1249 - 8100));
    EXPECT_EQ(configIsEnabledDRNUCorrection(), 1);
}

}  // namespace
