// Grayscale and FLIM flattening: gain/offset arithmetic, the corrections on
// sorted images, and the text files (good and hostile). Runs in a temporary
// working directory, where the files live; the default readout is the full
// 320 x 240 epc660 image with wafer and chip ID 0.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "epc660/gain_offset.h"
#include "log_capture.h"
#include "testutil.h"
#include "vizor/epc660.h"

namespace {

constexpr int W = 320, H = 240, N = W * H;
// The full epc660 region of interest (stored even without a device).
const int kRoi = readOutSetROI(4, 323, 6, 125, 0);
const char *kGrayFile = "./grayscale660_gain_offset_W000_C000.txt";

// A gain/offset file: H rows of `gain`, H rows of `offset`; `edit` may
// rewrite line n (0-based).
std::string tableText(double gain, double offset,
                      const std::function<void(int, std::string &)> &edit = {}) {
    std::string text;
    char buf[32];
    for (int line = 0; line < 2 * H; ++line) {
        std::string row;
        for (int c = 0; c < W; ++c) {
            std::snprintf(buf, sizeof buf, " %.4e", line < H ? gain : offset);
            row += buf;
        }
        row += "\n";
        if (edit) edit(line, row);
        text += row;
    }
    return text;
}

std::string repeat(const std::string &s, int n) {
    std::string r;
    while (n-- > 0) r += s;
    return r;
}

void writeFile(const char *path, const std::string &text) { std::ofstream(path) << text; }

// Gray image of 3000 everywhere after the switched corrections.
std::vector<uint16_t> corrected(bool offset, bool gain) {
    std::vector<uint16_t> img(N, 3000);
    setCorrectGrayscaleOffset(offset);
    setCorrectGrayscaleGain(gain);
    calculateGrayscaleCorrection(img.data());
    setCorrectGrayscaleOffset(0);
    setCorrectGrayscaleGain(0);
    return img;
}

TEST(GrayscaleGainOffset, FromBrightAndDarkMeans) {
    const int bright[4] = {3000, 2500, 2100, 2048};
    const int dark[4] = {2000, 2100, 2100, 2048};
    double gain[4], offset[4];
    const double avr = vz::epc::calib::gainOffset(bright, dark, 4, 2048, gain, offset);
    EXPECT_DOUBLE_EQ(avr, 350.0);
    EXPECT_DOUBLE_EQ(gain[0], 0.35);
    EXPECT_DOUBLE_EQ(gain[1], 350.0 / 400.0);
    EXPECT_DOUBLE_EQ(gain[2], 1.0);  // bright equals dark
    EXPECT_DOUBLE_EQ(offset[0], -48.0);
    EXPECT_DOUBLE_EQ(offset[3], 0.0);
}

TEST(GrayscaleCorrection, AppliesTablesAndKeepsMarkers) {
    vzt::TempCwd cwd;
    writeFile(kGrayFile, tableText(2.0, 10.0));
    ASSERT_EQ(calculateLoadGrayscaleGainOffset(), 0);
    EXPECT_EQ(corrected(false, false)[100], 3000);  // both off: unchanged
    EXPECT_EQ(corrected(true, false)[100], 2990);
    EXPECT_EQ(corrected(false, true)[100], (3000 - 2048) * 2 + 2048);
    EXPECT_EQ(corrected(true, true)[100], (2990 - 2048) * 2 + 2048);
    std::vector<uint16_t> img = {65400, 5, 65300};
    img.resize(N, 0);
    setCorrectGrayscaleOffset(1);
    calculateGrayscaleCorrection(img.data());
    setCorrectGrayscaleOffset(0);
    EXPECT_EQ(img[0], 65400);
    EXPECT_EQ(img[1], 0);  // below zero stays a code, never a marker
    EXPECT_EQ(img[2], 65300);
    // Region of interest 100 columns to the right: image column c has
    // calibration column 100 + c, beyond the calibration image from c = 220.
    readOutSetROI(104, 323, 6, 125, 0);
    EXPECT_EQ(corrected(true, false)[219], 2990);
    EXPECT_EQ(corrected(true, false)[220], 3000);
    readOutSetROI(4, 323, 6, 125, 0);
    // Saving writes the loaded tables back in the same layout.
    ASSERT_EQ(calculateSaveGrayscaleGainOffset(), 0);
    std::ifstream in(kGrayFile);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first.substr(0, 22), " 2.0000e+00 2.0000e+00");
    EXPECT_EQ(first.size(), 11u * W);
}

// A table line gives at most a row's width of values, each read as "%lf"
// reads it; an entry whose token is no number stays neutral and the line is
// reported once; a short line leaves the rest of its row neutral.
TEST(GrayscaleCorrection, LinesGiveAtMostWidthValuesReadAsReals) {
    vzt::TempCwd cwd;
    const uint16_t gain2 = (2990 - 2048) * 2 + 2048;  // gain 2, offset 10 (the file's)
    const uint16_t gain1 = 2990;                      // neutral gain
    const uint16_t off0 = (3000 - 2048) * 2 + 2048;   // neutral offset
    const std::string rest = repeat(" 2.0", W - 1), rest10 = repeat(" 10.0", W - 1);
    struct Case {
        const char *name;
        int line;             // gain row 5 or offset row 5 (line H + 5)
        std::string replace;  // new text of that line
        uint16_t col0, col7;  // corrected codes in row 5
        int reported;
    } cases[] = {
        {"non-number", 5, " 2.0 abc\n", gain2, gain1, 1},
        {"leading number", 5, " 3x" + rest + "\n", (2990 - 2048) * 3 + 2048, gain2, 0},
        {"NaN", 5, " nan" + rest + "\n", gain1, gain2, 1},
        {"infinity", H + 5, " inf -inf" + repeat(" 10.0", W - 2) + "\n", off0, gain2, 1},
        {"overflowing real", H + 5, " 1e999" + rest10 + "\n", off0, gain2, 1},
        {"too few values", 5, " 2.0 2.0\n", gain2, gain1, 0},
        {"too many values", H + 5, repeat(" 1.0", W + 1) + "\n", 3950, 3950, 0},
        {"overlong", 5, std::string(W * 64, '1') + "\n", gain1, gain1, 1},
    };
    for (const Case &c : cases) {
        LogCapture log;
        writeFile(kGrayFile, tableText(2.0, 10.0, [&](int n, std::string &row) {
                      if (n == c.line) row = c.replace;
                  }));
        ASSERT_EQ(calculateLoadGrayscaleGainOffset(), 0) << c.name;
        EXPECT_EQ(log.count("is no number"), c.reported) << c.name;
        const auto img = corrected(true, true);
        EXPECT_EQ(img[5 * W], c.col0) << c.name;
        EXPECT_EQ(img[5 * W + 7], c.col7) << c.name;
        EXPECT_EQ(img[6 * W + 7], gain2) << c.name;
    }
}

TEST(GrayscaleCorrection, ShortAndLongFilesAndMissingFile) {
    vzt::TempCwd cwd;
    {
        LogCapture log;
        const std::string full = tableText(2.0, 10.0);
        // 100 gain lines only: 140 gain rows and all 240 offset rows missing.
        size_t cut = 0;
        for (int i = 0; i < 100; ++i) cut = full.find('\n', cut) + 1;
        writeFile(kGrayFile, full.substr(0, cut));
        ASSERT_EQ(calculateLoadGrayscaleGainOffset(), 0);
        EXPECT_EQ(log.count("error gain:"), 140);
        EXPECT_EQ(log.count("error offset:"), 240);
        EXPECT_TRUE(log.has("error offset: 380\n"));
        EXPECT_EQ(corrected(false, true)[99 * W], (3000 - 2048) * 2 + 2048);
        EXPECT_EQ(corrected(false, true)[100 * W], 3000);
    }
    {
        LogCapture log;
        writeFile(kGrayFile, tableText(2.0, 10.0) + " 1.0\n 1.0\n");
        ASSERT_EQ(calculateLoadGrayscaleGainOffset(), 0);
        EXPECT_EQ(log.count("more lines than"), 1);
    }
    std::remove(kGrayFile);
    LogCapture log;
    EXPECT_EQ(calculateLoadGrayscaleGainOffset(), -1);
    EXPECT_TRUE(log.has("Could not open ./grayscale660_gain_offset_W000_C000.txt file."));
    EXPECT_EQ(corrected(true, true)[0], 3000);  // neutral tables after a failed load
}

TEST(GrayscaleMeanFile, RoundTripNumberFormsAndMissingRows) {
    vzt::TempCwd cwd;
    std::vector<int> values(82656), back(82656, -7);
    for (int i = 0; i < N; ++i) values[i] = (i * 37) % 4096 - 100;
    ASSERT_EQ(calculateSaveGrayscaleImage(values.data()), 0);
    ASSERT_EQ(calculateLoadGrayscaleImage(back.data()), 0);
    EXPECT_TRUE(std::equal(values.begin(), values.begin() + N, back.begin()));
    // "%i" forms, a non-number (0, reported) and a file one row short.
    std::string text = " 0x10 010 x9";
    for (int c = 3; c < W; ++c) text += " 1";
    text += "\n";
    for (int r = 1; r < H - 1; ++r) text += std::string(" 2") + "\n";
    writeFile("./grayscale_temp_image.txt", text);
    LogCapture log;
    EXPECT_EQ(calculateLoadGrayscaleImage(back.data()), -1);
    EXPECT_EQ(back[0], 16);
    EXPECT_EQ(back[1], 8);
    EXPECT_EQ(back[2], 0);
    EXPECT_EQ(log.count("value is not a finite number"), 1);
    EXPECT_EQ(log.count("too few values"), H - 2);
    EXPECT_EQ(log.count("row 239 missing"), 1);
    std::vector<int> keep(82656, 5);
    calculationGrayscaleMean(0, keep.data());  // refused: nothing measured
    EXPECT_EQ(keep[0], 5);
}

TEST(FlimCorrection, SignedPlanesPerGate) {
    vzt::TempCwd cwd;
    writeFile("./epc502_mga_gain_offset_W000_C000.txt", tableText(1.5, 2.5));
    writeFile("./epc502_mgb_gain_offset_W000_C000.txt", tableText(2.0, -1.0));
    calculateSetFlimCorrectionAvailable(0);
    ASSERT_EQ(calculateLoadFlimGainOffset(0), 0);
    EXPECT_EQ(calculateIsFlimCorrectionAvailable(), 1);
    ASSERT_EQ(calculateLoadFlimGainOffset(1), 0);
    EXPECT_EQ(calculateLoadFlimGainOffset(2), -1);
    std::vector<uint16_t> img(2 * N);
    img[0] = 100, img[1] = static_cast<uint16_t>(-100), img[N] = 100, img[N + 1] = 32767;
    calculationCorrectFlimOffset(1);
    calculationCorrectFlimGain(1);
    calculationFlimCorrection(img.data(), 2 * N);
    calculationCorrectFlimOffset(0);
    calculationCorrectFlimGain(0);
    EXPECT_EQ(static_cast<int16_t>(img[0]), 146);        // trunc(97.5) = 97, round(145.5) = 146
    EXPECT_EQ(static_cast<int16_t>(img[1]), -153);       // trunc(-102.5) = -102, x 1.5
    EXPECT_EQ(static_cast<int16_t>(img[N]), 202);        // 101 x 2
    EXPECT_EQ(static_cast<int16_t>(img[N + 1]), 32767);  // held within 16 bits
}

// Log lines of the calculation, image, grayscale and FLIM modules name the
// exported function that reports them, as whole lines.
TEST(EpcLogNames, LinesNameTheExportedFunction) {
    vzt::TempCwd cwd;
    configSetPartType(2);
    pruInit();
    std::filesystem::create_directory("grayscale_temp_image.txt");  // cannot be written
    std::filesystem::create_directory("flim_temp_image.txt");
    const int values[1] = {};
    uint16_t *out = nullptr;
    const char *geom = " image geometry 0 x 120 x 2 cannot be calculated\n";
    struct Case {
        std::function<void()> call;
        std::string line;
        bool zero_columns;
    } cases[] = {
        {[] { imageCorrectionLoad(nullptr); }, "[imageCorrectionLoad] path is NULL\n", false},
        {[] { calculationFlimCalibration(nullptr); },
         "[calculationFlimCalibration] gate name is NULL\n", false},
        {[&] { calculateSaveGrayscaleImage(values); },
         "[calculateSaveGrayscaleImage] Could not open ./grayscale_temp_image.txt file.\n", false},
        {[&] { calculateSaveFlimImage(values); },
         "[calculateSaveFlimImage] Could not open ./flim_temp_image.txt file.\n", false},
        {[] { calculateLoadGrayscaleGainOffset(); },
         "[calculateLoadGrayscaleGainOffset] Could not open "
         "./grayscale660_gain_offset_W000_C000.txt file.\n",
         false},
        {[] { calculateLoadFlimGainOffset(1); },
         "[calculateLoadFlimGainOffset] Could not open ./epc502_mgb_gain_offset_W000_C000.txt "
         "file.\n",
         false},
        {[&] { calculationDistanceSorted(&out); },
         std::string("[calculationDistanceSorted]") + geom, true},
        {[&] { calculationAmplitudeSorted(&out); },
         std::string("[calculationAmplitudeSorted]") + geom, true},
        {[&] { calcDefPiDelayGetDataSorted(0, &out); },
         std::string("[calcDefPiDelayGetDataSorted]") + geom, true},
        {[&] { calcBWSorted(&out); }, std::string("[calcBWSorted]") + geom, true},
        {[&] { calculationBWSorted(&out); }, std::string("[calculationBWSorted]") + geom, true},
    };
    for (const Case &c : cases) {
        LogCapture log;
        if (c.zero_columns) pruSetSize(0, 120);
        c.call();
        pruSetSize(320, 120);
        const std::string text = log.text();
        EXPECT_NE(text.find(c.line), std::string::npos) << c.line << "\nlog:\n" << text;
        EXPECT_EQ(text.find("operator()"), std::string::npos) << text;
    }
}

}  // namespace
