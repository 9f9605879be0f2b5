// The vizor program on the virtual EPC cameras: what info reports about the
// chip, the capture filters it accepts and refuses, and the calibrations,
// whose files land in the folder named with -o and nowhere else.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <tuple>

#include "run_tool.h"
#include "testutil.h"
#include "vizor/vizor.h"

namespace fs = std::filesystem;

namespace {

using vzt::Ran;

Ran vizor(std::vector<std::string> args) { return vzt::run_tool(std::move(args), "epc"); }

// Everything below the working directory, relative to it.
std::vector<std::string> tree() {
    std::vector<std::string> out;
    for (const auto &e : fs::recursive_directory_iterator("."))
        if (e.is_regular_file()) out.push_back(fs::relative(e.path()).string());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(ToolEpc, InfoShowsChipFrequencyIntegrationAndCalibration) {
    vzt::TempCwd tmp;
    const struct {
        const char *virt, *part, *text;
    } cases[] = {
        {"--virtual", "epc660 TOF", "chip:     epc660 TOF"},
        {"--virtual=VZ-E2-635", "epc635 TOF", "chip:     epc635 TOF"},
    };
    for (const auto &c : cases) {
        const Ran t = vizor({c.virt, "info"});
        ASSERT_EQ(t.code, 0) << t.err;
        for (const char *line : {c.text, "modfreq:  12000 kHz", "integr.:  700 us (3D)",
                                 "calib:    loaded: DRNU mode 2"})
            EXPECT_NE(t.out.find(line), std::string::npos) << c.virt << ": " << line << "\n"
                                                           << t.out;
        const Ran j = vizor({c.virt, "info", "--json"});
        ASSERT_EQ(j.code, 0) << j.err;
        const auto e = nlohmann::json::parse(j.out)["epc"];
        EXPECT_EQ(e["part"], c.part);
        EXPECT_EQ(e["modulation_khz"], 12000);
        EXPECT_EQ(e["integration_us"]["3d"], 700);
        EXPECT_EQ(e["calibrated"], true);
        EXPECT_EQ(e["calibration_khz"], 12000);
        EXPECT_EQ(e["drnu_mode"], 2);
    }
    EXPECT_EQ(tree(), std::vector<std::string>{});  // the calibration stayed private
    const Ran opt = vizor({"--virtual=VZ-T0-320", "info", "--json"});
    EXPECT_FALSE(nlohmann::json::parse(opt.out).contains("epc"));
}

TEST(ToolEpc, CommandsAcceptAndRefuseTheirArguments) {
    vzt::TempCwd tmp;
    const struct {
        std::vector<std::string> args;
        int code;
        const char *err;  // part of the one line on standard error
    } cases[] = {
        {{"capture", "-n", "1", "--filter", "undistort", "--filter", "min-amplitude=30"}, 0, ""},
        {{"capture", "-n", "2", "--filter", "auto-integration=50"}, 0, ""},
        {{"capture", "--filter", "sharpen"}, 2, "unknown"},
        {{"capture", "--filter", "min-amplitude=4096"}, 2, "needs a value 0..4095"},
        {{"capture", "--filter", "auto-integration"}, 2, "needs a value 0..1000"},
        {{"capture", "--filter", "undistort=1"}, 2, "unknown"},
        {{"calibrate", "-o", "c"}, 2, "WHAT"},
        {{"calibrate", "flat-field", "-o", "c"}, 2, "flat-field"},
        {{"calibrate", "drnu"}, 2, "--out"},
        {{"calibrate", "drnu", "-o", "c", "--frames", "0"}, 2, "out of range"},
        {{"calibrate", "drnu", "-o", "c", "--steps", "51"}, 2, "out of range"},
        {{"calibrate", "gray", "-o", "c", "--dark", "maybe"}, 2, "maybe"},
        {{"--virtual=VZ-T0-320", "calibrate", "gray", "-o", "c"}, 1, "needs an epc660 or epc635"},
        {{"--virtual=VZ-T0-320", "capture", "--filter", "undistort"}, 1, "has no such filter"},
        {{"capture", "--frequency", "twelve"}, 2, "needs a modulation frequency in MHz"},
        {{"capture", "--frequency", "-6"}, 2, "needs a modulation frequency in MHz"},
        {{"capture", "--frequency", "7"}, 1, "the camera offers 24, 12, 6, 3, 1.5, 0.75 MHz"},
        {{"capture", "--mode", "3d"}, 2, "not in {4dcs,2dcs,pn,dual-mgx,dual-mgx-2dcs,hdr,gray}"},
        {{"--virtual=VZ-T0-320", "capture", "--frequency", "12"}, 1, "needs an epc660 or epc635"},
        {{"--virtual=VZ-T0-320", "capture", "--mode", "hdr"}, 1, "needs an epc660 or epc635"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        if (args[0].rfind("--virtual", 0) != 0) args.insert(args.begin(), "--virtual");
        const Ran r = vizor(args);
        EXPECT_EQ(r.code, c.code) << args[2] << " " << args.back() << ": " << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        if (c.code) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
    EXPECT_FALSE(fs::exists("c"));
}

// Frequency and mode through the tool on a flat scene 1.5 m away: the frames
// read the scene at calibrated frequencies within 1 cm, at an uncalibrated
// one within 10 cm and with a note on standard error; the summary names the
// frequency, the mode and the calibration state. The gray mode writes gray
// images only.
TEST(ToolEpc, CaptureFrequencyAndModeKeepTheSceneDistance) {
    vzt::TempCwd tmp;
    const struct {
        const char *product, *mhz, *mode;
        int khz;
        bool calibrated;
    } cases[] = {
        {"VZ-E1-660", "24", "hdr", 24000, true},
        {"VZ-E1-660", "12", "dual-mgx", 12000, true},
        {"VZ-E1-660", "6", "pn", 6000, true},
        {"VZ-E1-660", "3", "2dcs", 3000, false},
        {"VZ-E2-635", "24", "dual-mgx-2dcs", 24000, true},
        {"VZ-E2-635", "1.5", "4dcs", 1500, false},
    };
    for (const auto &c : cases) {
        const std::string what = std::string(c.product) + " " + c.mhz + " MHz " + c.mode;
        fs::remove_all("o");
        const Ran r = vizor({std::string("--virtual=") + c.product + ":flat:1.5", "capture", "-n",
                             "4", "--formats", "vzd", "--json", "-o", "o", "--frequency", c.mhz,
                             "--mode", c.mode});
        ASSERT_EQ(r.code, 0) << what << ": " << r.err;
        const auto e = nlohmann::json::parse(r.out)["epc"];
        EXPECT_EQ(e["modulation_khz"], c.khz) << what;
        EXPECT_EQ(e["mode"], c.mode) << what;
        EXPECT_EQ(e["calibrated"], c.calibrated) << what;
        EXPECT_EQ(r.err.find("uncalibrated at " + std::string(c.mhz) + " MHz") != std::string::npos,
                  !c.calibrated)
            << what << ": " << r.err;
        const int fd = open("o/distance.vzd", O_RDONLY);
        ASSERT_GE(fd, 0) << what;
        std::vector<float> d(320 * 240);
        double sum = 0;
        size_t n = 0, px = 0;
        int w = 0, h = 0, got;
        while ((got = vizor_frame_load_distance(fd, d.data(), int(d.size()), &w, &h)) > 0) {
            for (int i = 0; i < got; ++i)
                if (d[size_t(i)] > 0 && d[size_t(i)] < 60) {
                    sum += d[size_t(i)];
                    ++n;
                }
            px += size_t(got);
        }
        close(fd);
        ASSERT_EQ(px, 4u * size_t(w * h)) << what;
        EXPECT_GT(double(n), 0.95 * double(px)) << what;
        EXPECT_NEAR(sum / double(n), 1.5, c.calibrated ? 0.01 : 0.10) << what;
    }
    // The 2D gray mode: gray images of the frame size and nothing else.
    for (const auto &[product, w, h] :
         {std::tuple{"VZ-E1-660", 320, 240}, {"VZ-E2-635", 160, 60}}) {
        fs::remove_all("o");
        const Ran r = vizor({std::string("--virtual=") + product, "capture", "-n", "2", "--json",
                             "-o", "o", "--mode", "gray"});
        ASSERT_EQ(r.code, 0) << product << ": " << r.err;
        const auto j = nlohmann::json::parse(r.out);
        EXPECT_EQ(j["files"], nlohmann::json::array({"o/gray.png"})) << product;
        EXPECT_EQ(j["epc"]["mode"], "gray");
        const std::string png = vzt::read_file("o/gray.png");
        ASSERT_GT(png.size(), 24u);
        const auto be32 = [&png](size_t at) {
            return int(uint8_t(png[at])) << 24 | int(uint8_t(png[at + 1])) << 16 |
                   int(uint8_t(png[at + 2])) << 8 | int(uint8_t(png[at + 3]));
        };
        EXPECT_EQ(be32(16), w) << product;
        EXPECT_EQ(be32(20), h) << product;
    }
    const Ran no_png = vizor({"--virtual", "capture", "--mode", "gray", "--formats", "ply"});
    EXPECT_EQ(no_png.code, 2);
    EXPECT_NE(no_png.err.find("--formats needs png"), std::string::npos) << no_png.err;
}

TEST(ToolEpc, CalibrationsWriteIntoTheirFolderOnly) {
    vzt::TempCwd tmp;
    const Ran bad = vizor({"--virtual", "calibrate", "bad-pixels", "-o", "bp"});
    ASSERT_EQ(bad.code, 0) << bad.err;
    const std::string file = "bp/calibration/PT02_W066_C4660_bad_pixels.txt";
    EXPECT_NE(bad.out.find("wrote " + file + "\n"), std::string::npos) << bad.out;
    EXPECT_NE(bad.err.find("bad pixels: step 1 of 1"), std::string::npos) << bad.err;
    // One "x y" line per bad pixel, as many as the count printed.
    const std::string list = vzt::read_file(file);
    EXPECT_NE(
        bad.out.find(std::to_string(std::count(list.begin(), list.end(), '\n')) + " bad pixels\n"),
        std::string::npos)
        << bad.out;
    EXPECT_EQ(tree(), std::vector<std::string>{file});

    // A short sweep: 4 steps of one frame each.
    const Ran drnu = vizor({"--virtual", "calibrate", "drnu", "-o", "d", "--steps", "4", "--frames",
                            "1", "--delay", "0"});
    ASSERT_EQ(drnu.code, 0) << drnu.err;
    EXPECT_NE(drnu.err.find("drnu: step 4 of 4"), std::string::npos) << drnu.err;
    // The distance images of the 4 steps, and the upload image: 16 bytes of
    // parameters before them.
    const auto images = fs::file_size("d/epc660_images_drnu_W066_C4660_10.bin");
    EXPECT_EQ(images, 4u * 320 * 240 * 2);
    EXPECT_EQ(fs::file_size("d/calib_and_param_4660.bin"), 16 + images);
    for (const auto &f : tree()) EXPECT_TRUE(f.rfind("d/", 0) == 0 || f == file) << f;
}
