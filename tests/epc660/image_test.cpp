// Distance-image filters: averaging rules against the reference reading on
// random images with markers, temporal averaging, the difference test, the
// hysteresis thresholds and defect lists (good and hostile files). The image
// source's default geometry is the full 320 x 240 readout with the region of
// interest (4, 6)-(323, 245).
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "epc660/hysteresis_threshold.h"
#include "epc660/image_filter.h"
#include "epc660/image_reference.h"
#include "log_capture.h"
#include "testutil.h"
#include "vizor/epc660.h"

namespace {

constexpr int W = 320, H = 240, N = W * H;
// The full epc660 region of interest (stored even without a device).
const int kRoi = readOutSetROI(4, 323, 6, 125, 0);
using Image = std::vector<uint16_t>;

// Distance codes with runs of the low-amplitude marker and some other markers.
Image randomImage(int pixels, unsigned seed, int lowPercent) {
    std::mt19937 rng(seed);
    Image img(pixels);
    for (auto &v : img) {
        const int r = static_cast<int>(rng() % 100);
        v = r < lowPercent ? 65300 : r < lowPercent + 2 ? (r % 2 ? 65400 : 65500) : rng() % 30000;
    }
    return img;
}

struct Geometry {
    int w, h;
};

TEST(ImageAveraging, MatchesReferenceOnRandomImagesWithMarkers) {
    for (Geometry g :
         {Geometry{320, 240}, {160, 60}, {13, 7}, {5, 5}, {2, 4}, {3, 5}, {1, 9}, {9, 3}})
        for (int low : {0, 20, 45, 70, 100})
            for (unsigned seed = 1; seed <= 3; ++seed) {
                const Image in = randomImage(g.w * g.h, seed * 977 + low, low);
                Image four = in, eight = in, scratch(in.size());
                vz::epc::image::averageFour(four.data(), scratch.data(), g.w, g.h);
                vz::epc::image::averageEight(eight.data(), scratch.data(), g.w, g.h);
                ASSERT_EQ(four, ref::four(in, g.w, g.h)) << g.w << "x" << g.h << " low " << low;
                ASSERT_EQ(eight, ref::eight(in, g.w, g.h)) << g.w << "x" << g.h << " low " << low;
            }
}

TEST(ImageAveraging, ExportedFiltersUseTheCurrentGeometry) {
    const Image in = randomImage(N, 7, 30);
    Image a = in, b = in;
    imageSetProcessing(1);
    imageProcess(a.data());
    EXPECT_EQ(a, ref::four(in, W, H));
    imageSetProcessing(2);
    imageProcess(b.data());
    EXPECT_EQ(b, ref::eight(in, W, H));
    EXPECT_EQ(imageSetProcessing(7), 3);
    Image c = in;
    imageProcess(c.data());
    EXPECT_EQ(c, in);
    imageSetProcessing(0);
}

// One interior pixel of a 5 x 5 image with its four neighbours (two rows away
// vertically): markers drop out of the mean, below three values give 65300.
TEST(ImageAveraging, FourNeighbourMarkerCounts) {
    struct Case {
        uint16_t centre, west, east, up, down, want;
    } cases[] = {
        {100, 200, 300, 400, 500, 300},
        {100, 65300, 300, 65300, 500, 300},      // two of five markers: mean of three
        {65300, 65300, 300, 65300, 500, 65300},  // three of five: marker
        {65300, 200, 300, 400, 500, 350},        // a marker pixel gets its neighbours' mean
    };
    for (const Case &c : cases) {
        Image img(25, 1000), scratch(25);
        img[12] = c.centre, img[11] = c.west, img[13] = c.east, img[2] = c.up, img[22] = c.down;
        vz::epc::image::averageFour(img.data(), scratch.data(), 5, 5);
        EXPECT_EQ(img[12], c.want) << c.centre << " " << c.west;
    }
}

TEST(ImageTemporal, ZeroPicturesStoresOneAndLeavesImages) {
    EXPECT_EQ(imageSetNumberOfPicture(0), 1);
    const Image in = randomImage(N, 3, 10);
    Image img = in;
    imageAverage(img.data());
    EXPECT_EQ(img, in);
}

TEST(ImageTemporal, ConstantInputConvergesAndMarkersRestart) {
    EXPECT_EQ(imageSetNumberOfPicture(4), 4);
    Image img;
    int last = 0;
    for (int frame = 0; frame < 60; ++frame) {
        img.assign(N, 1000);
        img[7] = frame == 30 ? 65300 : 1000;
        imageAverage(img.data());
        EXPECT_GE(img[0], last);
        last = img[0];
        if (frame == 30 || frame == 31) {  // the marker passes, then restarts the average
            EXPECT_EQ(img[7], frame == 30 ? 65300 : 1000);
        }
    }
    EXPECT_GE(img[0], 997);
    EXPECT_LE(img[0], 1000);
    imageSetNumberOfPicture(1);
}

TEST(ImageDifference, ThresholdAgainstReference) {
    EXPECT_EQ(imageDifferenceSetThreshold(10), 10);
    Image ref(N, 5000), img = ref;
    imageDifference(img.data());
    EXPECT_EQ(img, ref);  // first frame becomes the reference, unchanged
    img[0] = 5009, img[1] = 5010, img[2] = 4991, img[3] = 4990;
    imageDifference(img.data());
    EXPECT_EQ(img[0], 65300);
    EXPECT_EQ(img[1], 5010);
    EXPECT_EQ(img[2], 65300);
    EXPECT_EQ(img[3], 4990);
    imageDifferenceInit();
    Image next(N, 7000), copy = next;
    imageDifference(next.data());
    EXPECT_EQ(next, copy);  // a new reference after the init
    imageDifferenceSetThreshold(0);
}

TEST(Hysteresis, ThresholdsAndStateClearing) {
    namespace h = vz::epc::hysteresis;
    EXPECT_EQ(hysteresisSetThresholds(100, 20), 20);
    EXPECT_EQ(h::upper(), 100);
    EXPECT_EQ(h::lower(), 80);
    h::state()[5] = 1;
    EXPECT_EQ(hysteresisIsEnabled(5), 1);
    hysteresisUpdateThresholds(50);
    EXPECT_EQ(h::upper(), 50);
    EXPECT_EQ(h::lower(), 30);
    EXPECT_EQ(hysteresisIsEnabled(5), 0);
    EXPECT_EQ(hysteresisIsEnabled(-1), 0);
    EXPECT_EQ(hysteresisIsEnabled(82656), 0);
    hysteresisSetThresholds(0, 0);
}

// Writes a defect list and loads it; returns the number of loaded entries.
int loadList(const std::string &text) {
    const std::string path = ::testing::TempDir() + "image_correction.txt";
    std::ofstream(path, std::ios::binary) << text;
    imageCorrectionLoad(path.c_str());
    return imageCorrectionTransform();
}

TEST(DefectList, HostileFilesKeepTheValidEntriesAndReportOnce) {
    std::string many;
    for (int i = 0; i < 1030; ++i) many += "100 100 N\n";
    struct Case {
        const char *name;
        std::string text;
        int entries;
        const char *log;  // the one warning expected, or nullptr
    } cases[] = {
        {"valid", "010 010 W\n020 020 NE\r\n 30  30 S", 3, nullptr},
        {"more than 1024", many, 1024, "more than 1024 defects"},
        {"y beyond field", "010 252 N\n010 010 E\n", 1, "beyond the pixel field"},
        {"x beyond 8 bits", "300 010 N\n", 0, "beyond the pixel field"},
        {"unknown code", "010 010 XY\n010 011 N\n", 1, "unknown neighbour code"},
        {"blank after one letter", "010 010 W \n", 0, "unknown neighbour code"},
        {"overlong line", "010 010 NWW\n", 0, "line longer than expected"},
        {"very long line", "010 010 N" + std::string(5000, ' ') + "\n", 0,
         "line longer than expected"},
        {"not a number", "01a 010 N\n", 0, "coordinates are not numbers"},
        {"too short", "010 01\n", 0, "line too short"},
        {"many bad lines", std::string(2000, '\n'), 0, "2000 bad lines skipped in all"},
    };
    for (const Case &c : cases) {
        LogCapture log;
        EXPECT_EQ(loadList(c.text), c.entries) << c.name;
        EXPECT_EQ(log.count(c.log ? c.log : "WRN"), c.log ? 1 : 0) << c.name;
    }
    LogCapture log;
    imageCorrectionLoad("/dev/zero");  // no line end, no file end
    EXPECT_EQ(log.count("larger than 1048576 bytes"), 1);
    EXPECT_EQ(imageCorrectionLoad("/nonexistent/image_correction.txt"), 0);
    EXPECT_EQ(imageCorrectionTransform(), 0);
}

TEST(DefectList, ReplacementTakesTheListedNeighbourInOrder) {
    // (10, 10) lies at image index 320 x 4 + 6 in the default readout.
    const int at = 4 * W + 6;
    struct Case {
        const char *code;
        int from;
    } cases[] = {{"W", at - 1}, {"NW", at - W - 1}, {"N", at - W}, {"NE", at - W + 1},
                 {"E", at + 1}, {"SE", at + W + 1}, {"S", at + W}, {"SW", at + W - 1}};
    imageCorrectionEnable(1);
    for (const Case &c : cases) {
        loadList(std::string("010 010 ") + c.code + "\n");
        Image img(N);
        for (int i = 0; i < N; ++i) img[i] = static_cast<uint16_t>(i % 30000);
        imageCorrect(img.data());
        EXPECT_EQ(img[at], c.from % 30000) << c.code;
    }
    // A chain: (11, 10) takes (10, 10), which took (9, 10) just before.
    loadList("010 010 W\n011 010 W\n");
    Image img(N, 0);
    img[at - 1] = 42;
    imageCorrect(img.data());
    EXPECT_EQ(img[at + 1], 42);
    imageCorrectionEnable(0);
    Image off(N, 0);
    off[at - 1] = 42;
    imageCorrect(off.data());
    EXPECT_EQ(off[at + 1], 0);
}

TEST(DefectList, BorderDefectsAreNotCorrectable) {
    struct Case {
        const char *line, *message;
    } cases[] = {
        {"004 010 W\n", "pixel 4,10 can not be corrected\n"},
        {"010 006 N\n", "pixel 10,6 can not be corrected\n"},
        {"010 245 S\n", "pixel 10,245 can not be corrected\n"},  // neighbour below the image
    };
    for (const Case &c : cases) {
        testing::internal::CaptureStdout();
        loadList(c.line);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.message), std::string::npos) << c.line << out;
    }
    // Outside the region of interest: silently not mapped.
    testing::internal::CaptureStdout();
    loadList("002 010 N\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("can not"), std::string::npos);
}

// Region of interest (100, 50)-(200, 201): 101 columns, 76 rows per half.
// A defect at (150, 60) lies 10 rows and 50 columns into it.
TEST(DefectList, TransformFollowsRegionOfInterestAndReductions) {
    struct Case {
        int colRed, rowRed, dualMgx, index;
    } cases[] = {
        {0, 0, 0, 101 * 10 + 50},
        {1, 0, 0, 50 * 10 + 25},  // half the columns
        {0, 1, 0, 101 * 5 + 50},  // half the rows
        {0, 0, 1, 101 * 5 + 50},  // dual MGX halves the rows too
    };
    readOutSetROI(100, 200, 50, 201, 0);
    pruSetSize(101, 76);
    imageCorrectionEnable(1);
    for (const Case &c : cases) {
        pruSetColReduction(c.colRed);
        pruSetRowReduction(c.rowRed);
        calculationEnableDualMGX(c.dualMgx);
        loadList("150 060 N\n");
        const int cols = pruGetNCols();
        Image img(N, 0);
        img[c.index - cols] = 77;
        imageCorrect(img.data());
        EXPECT_EQ(img[c.index], 77) << c.colRed << c.rowRed << c.dualMgx;
    }
    pruSetColReduction(0), pruSetRowReduction(0), calculationEnableDualMGX(0);
    testing::internal::CaptureStdout();
    loadList("200 060 E\n");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("pixel 200,60 can not be corrected\n"),
              std::string::npos);
    imageCorrectionEnable(0);
    pruSetSize(320, 120);
    readOutSetROI(4, 323, 6, 125, 0);
}

}  // namespace
