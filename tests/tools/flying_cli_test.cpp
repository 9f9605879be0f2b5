// The point cloud's flying-pixel filter in the vizor program: on by default
// in capture and play, said in one line, switched off or to another threshold
// with --filter flying-pixels=..., the same points from a capture and from a
// play of its frame file; the choices it refuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "run_tool.h"
#include "testutil.h"
#include "vizor/vizor.h"

namespace {

using vzt::Ran;

Ran vizor(std::vector<std::string> args) { return vzt::run_tool(std::move(args), "flying"); }

// The vertex count of a PLY header; -1 without one.
long ply_vertices(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::string line;
    while (std::getline(f, line) && line != "end_header")
        if (line.rfind("element vertex ", 0) == 0) return std::stol(line.substr(15));
    return -1;
}

// The first frame of a distance frame file.
std::vector<float> first_frame(const std::string &path, int &w, int &h) {
    std::vector<float> f(320 * 240);
    const int fd = open(path.c_str(), O_RDONLY);
    const int n = fd < 0 ? 0 : vizor_frame_load_distance(fd, f.data(), int(f.size()), &w, &h);
    if (fd >= 0) close(fd);
    f.resize(size_t(std::max(n, 0)));
    return f;
}

// Points of a frame: its valid pixels, less the flying ones at threshold t
// (0: none removed).
long expected_points(std::vector<float> frame, int w, int h, float t) {
    const long valid =
        std::count_if(frame.begin(), frame.end(), [](float d) { return d > 0.0f && d < 60.0f; });
    if (t <= 0) return valid;
    return valid - vizor_frame_remove_flying_pixels(frame.data(), int(frame.size()), w, h, t);
}

}  // namespace

TEST(ToolFlying, CaptureAndPlayLeaveFlyingPixelsOutOfTheCloudUnlessTold) {
    vzt::TempCwd tmp;
    const struct {
        std::vector<std::string> filter;
        float t;
        const char *note;
    } cases[] = {
        {{}, 0.15f, "flying-pixel filter on (0.15 m)"},
        {{"--filter", "flying-pixels"}, 0.15f, "flying-pixel filter on (0.15 m)"},
        {{"--filter", "flying-pixels=off"}, 0.0f, "flying-pixel filter off"},
        {{"--filter", "flying-pixels=0.05"}, 0.05f, "flying-pixel filter on (0.05 m)"},
        {{"--filter", "flying-pixels=off", "--filter", "flying-pixels=on"},
         0.15f,
         "flying-pixel filter on (0.15 m)"},
    };
    long off = -1, tight = -1, usual = -1;
    for (const auto &c : cases) {
        std::vector<std::string> cap = {"--virtual", "capture", "-n", "1",
                                        "--formats", "ply,vzd", "-o", "c"};
        cap.insert(cap.end(), c.filter.begin(), c.filter.end());
        const Ran r = vizor(cap);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.out.find(c.note), std::string::npos) << r.out;
        int w = 0, h = 0;
        const std::vector<float> frame = first_frame("c/distance.vzd", w, h);
        ASSERT_EQ(frame.size(), 320u * 240u);
        const long want = expected_points(frame, w, h, c.t);
        EXPECT_EQ(ply_vertices("c/cloud.ply"), want) << c.note;
        // play of the recorded frame makes the same cloud with the same choice.
        std::vector<std::string> play = {"play",     "c/distance.vzd", "--formats", "ply",
                                         "--images", "last",           "-o",        "p"};
        play.insert(play.end(), c.filter.begin(), c.filter.end());
        const Ran p = vizor(play);
        ASSERT_EQ(p.code, 0) << p.err;
        EXPECT_NE(p.out.find(c.note), std::string::npos) << p.out;
        EXPECT_EQ(ply_vertices("p/cloud.ply"), want) << c.note;
        (c.t == 0 ? off : c.t < 0.1f ? tight : usual) = want;
    }
    // The room has edges: a tighter threshold leaves out more, off none.
    EXPECT_LT(tight, usual);
    EXPECT_LT(usual, off);
    EXPECT_GT(usual, off * 99 / 100);  // edges are a small share of the image
}

TEST(ToolFlying, JsonSummaryNamesTheThreshold) {
    vzt::TempCwd tmp;
    const struct {
        std::vector<std::string> extra;
        nlohmann::json want;
    } cases[] = {
        {{"--filter", "flying-pixels=0.3"}, 0.3},
        {{"--filter", "flying-pixels=off"}, nullptr},
        {{"--formats", "png"}, nullptr},  // no point cloud written
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"--virtual", "capture", "-n", "1", "--json", "-o", "j"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const Ran r = vizor(args);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(nlohmann::json::parse(r.out)["flying_pixels"], c.want) << r.out;
    }
}

TEST(ToolFlying, RefusesWhatIsNoFlyingPixelChoice) {
    vzt::TempCwd tmp;
    {
        std::vector<float> flat(320 * 240, 1.0f);
        const int fd = open("f.vzd", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(
            vizor_frame_save_distance(fd, VIZOR_SAVE_FMT_F32, flat.data(), 320 * 240, 320, 240), 1);
        close(fd);
    }
    const struct {
        std::vector<std::string> args;
        const char *err;
    } cases[] = {
        {{"--virtual", "capture", "--filter", "flying-pixels=0"}, "threshold in metres"},
        {{"--virtual", "capture", "--filter", "flying-pixels=6"}, "at most 5"},
        {{"--virtual", "capture", "--filter", "flying-pixels=near"}, "needs on, off"},
        {{"--virtual", "capture", "--filter", "flying-pixels=-0.1"}, "needs on, off"},
        {{"--virtual", "capture", "--filter", "flying-pixelsX"}, "unknown"},
        {{"play", "f.vzd", "--filter", "undistort"}, "only flying-pixels"},
        {{"play", "f.vzd", "--filter", "flying-pixels=nan"}, "needs on, off"},
        {{"view", "--play", "f.vzd", "--filter", "min-amplitude=3"}, "only flying-pixels"},
    };
    for (const auto &c : cases) {
        const Ran r = vizor(c.args);
        EXPECT_EQ(r.code, 2) << c.args[2] << " " << c.args.back() << ": " << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}
