// vizor record and play end to end on the virtual camera: a recording played
// back decodes bit-identically to the live decode of the same run (through
// vizor play, --virtual=REC and vizor-vcam-run), the replay keeps the
// recorded pace, and damaged or hostile recordings are refused in one line.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <tuple>

#include "recording/recording.h"
#include "testutil.h"

namespace fs = std::filesystem;

namespace {

struct Ran {
    int code = -1;
    std::string out, err;
};

// Runs a command line (words quoted) in the current directory.
Ran sh(const std::vector<std::string> &words) {
    std::string c;
    for (const auto &w : words) c += "'" + w + "' ";
    const int st = std::system((c + ">out.txt 2>err.txt").c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, vzt::read_file("out.txt"),
            vzt::read_file("err.txt")};
}
Ran vizor(std::vector<std::string> args) {
    args.insert(args.begin(), VIZOR_TOOL_PATH);
    return sh(args);
}

}  // namespace

TEST(ToolRecord, PlayDecodesBitIdenticallyToTheLiveDecode) {
    for (const std::string product : {"VZ-T0-320", "VZ-E1-660"}) {
        SCOPED_TRACE(product);
        vzt::TempCwd tmp;
        // A camera at 5 frames per second, so that the live decode keeps up
        // with it: the library then hands the tool every frame.
        Ran r = sh({"env", "LD_PRELOAD=" VIZOR_TEST_PRELOAD, VIZOR_VCAM_RUN_PATH, "-c",
                    "1-1:" + product, "--fps", "5", "--scene", "room", "--", VIZOR_TOOL_PATH,
                    "record", "-n", "4", "--vzd", "live.vzd", "rec.vzr"});
        ASSERT_EQ(r.code, 0) << r.err;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(
            r.out, m, std::regex("recorded (\\d+) frames of " + product + R"(.*: (\d+) fetched)")))
            << r.out;
        const std::string recorded = m[1], fetched = m[2];  // m points into r.out
        const std::string live = vzt::read_file("live.vzd");
        ASSERT_EQ(live.size(), 20u + 4u * 320 * 240 * 4);

        // A recording of the replay holds the same frames, header fields and all.
        r = vizor({"--virtual=rec.vzr", "record", "-n", "4", "again.vzr"});
        ASSERT_EQ(r.code, 0) << r.err;
        vzrec::Reader a("rec.vzr"), b("again.vzr");
        vzrec::Frame fa, fb;
        for (int64_t seq = 0; seq < 4; ++seq) {
            ASSERT_TRUE(a.frame_at(seq, fa) && b.frame_at(seq, fb));
            EXPECT_EQ(std::tie(fa.frame_idx, fa.frame_format, fa.width, fa.height, fa.sensor_data,
                               fa.data),
                      std::tie(fb.frame_idx, fb.frame_format, fb.width, fb.height, fb.sensor_data,
                               fb.data))
                << seq;
        }
        EXPECT_EQ(a.header().params, b.header().params);

        if (recorded != fetched) {
            // The machine was too slow for even 5 frames per second: frames
            // reached the recording that the live decode never saw.
            std::printf("%s: live decode fell behind (%s of %s frames): not compared\n",
                        product.c_str(), fetched.c_str(), recorded.c_str());
            continue;
        }
        // Distances and point clouds only: the live run decoded no gray image.
        r = vizor({"play", "rec.vzr", "-o", "p", "--formats", "ply", "--images", "last"});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(vzt::read_file("p/distance.vzd"), live);
        EXPECT_TRUE(fs::exists("p/cloud.ply"));
        // The recording as the camera of any command, and under vizor-vcam-run.
        r = vizor({"--virtual=rec.vzr", "capture", "-n", "4", "-o", "v", "--formats", "vzd"});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(vzt::read_file("v/distance.vzd"), live);
        r = sh({"env", "LD_PRELOAD=" VIZOR_TEST_PRELOAD, VIZOR_VCAM_RUN_PATH, "--scene", "rec.vzr",
                "--", VIZOR_TOOL_PATH, "capture", "-n", "4", "-o", "w", "--formats", "vzd"});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(vzt::read_file("w/distance.vzd"), live);
        // With gray images too: every file written, the stream's end is no failure.
        r = vizor({"play", "rec.vzr", "-o", "g"});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(fs::exists("g/frame_0000_gray.png"));
    }
}

TEST(ToolRecord, ReplayKeepsTheRecordedPaceAndFrameIndices) {
    vzt::TempCwd tmp;
    ASSERT_EQ(vizor({"--virtual=VZ-T0-320:flat", "record", "-n", "3", "a.vzr"}).code, 0);
    {
        // The same frames 0.4 s apart, with the indices of a stream that lost frames.
        vzrec::Reader in("a.vzr");
        vzrec::Writer out("b.vzr");
        out.write_header(in.header());
        vzrec::Frame f;
        for (int64_t seq = 0; in.frame_at(seq, f); seq = f.seq + 1) {
            f.host_ns = f.seq * 400'000'000;
            f.frame_idx = uint16_t(100 + 3 * f.seq);
            out.add_frame(f);
        }
    }
    const Ran r = vizor({"--virtual=b.vzr", "record", "-n", "3", "c.vzr"});
    ASSERT_EQ(r.code, 0) << r.err;
    vzrec::Reader c("c.vzr");
    vzrec::Frame f;
    int64_t first_ns = 0;
    for (int64_t seq = 0; seq < 3; ++seq) {
        ASSERT_TRUE(c.frame_at(seq, f));
        EXPECT_EQ(f.frame_idx, 100 + 3 * seq);
        if (seq == 0) first_ns = f.host_ns;
    }
    // The last frame was due 0.8 s after the first; the first may have come late.
    EXPECT_GE(f.host_ns - first_ns, 400'000'000);
}

TEST(ToolRecord, RefusesDamagedAndHostileRecordingsInOneLine) {
    vzt::TempCwd tmp;
    ASSERT_EQ(vizor({"--virtual", "record", "-n", "2", "good.vzr"}).code, 0);
    const std::string good = vzt::read_file("good.vzr");
    vzrec::Header header;
    vzrec::Frame frame;
    {
        vzrec::Reader in("good.vzr");
        header = in.header();
        ASSERT_TRUE(in.frame_at(0, frame));
    }
    auto write = [&](const std::string &name, vzrec::Header h, vzrec::Frame f) {
        vzrec::Writer w(name);
        w.write_header(h);
        w.add_frame(f);
    };
    auto no_product = header;
    no_product.meta.erase("product");
    write("no-product.vzr", no_product, frame);
    auto zero_width = frame;
    zero_width.width = 0;
    write("zero-width.vzr", header, zero_width);
    // One byte of a frame's data changed: found by the frame's checksum.
    {
        std::string bytes = good;
        const size_t at = bytes.find(std::string(frame.data.begin(), frame.data.begin() + 64));
        ASSERT_NE(at, std::string::npos);
        bytes[at + 7] = char(bytes[at + 7] ^ 0x5a);
        std::ofstream("flipped.vzr", std::ios::binary) << bytes;
    }
    std::ofstream("truncated.vzr", std::ios::binary) << good.substr(0, good.size() / 3);
    std::ofstream("garbage.vzr", std::ios::binary)
        << std::string("SQLite format 3\0", 16) << std::string(5000, '\xff');
    // The application id (header bytes 68..71) of another program's database.
    std::ofstream("other.vzr", std::ios::binary) << good.substr(0, 68) + "x" + good.substr(69);

    const struct {
        const char *file, *why;
    } cases[] = {
        {"no-product.vzr", "no product"},
        {"zero-width.vzr", "frame 0: a header field out of bounds"},
        {"flipped.vzr", "damaged"},
        {"truncated.vzr", "not a usable vizor recording"},
        {"garbage.vzr", "not a usable vizor recording"},
        {"other.vzr", "another application"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        for (const auto &args : {std::vector<std::string>{"play", c.file, "-o", "o"},
                                 std::vector<std::string>{"--virtual=" + std::string(c.file),
                                                          "capture", "-n", "1", "-o", "o"}}) {
            // A replay on the virtual camera finds damaged data only at that
            // frame (the stream ends there); play checks every frame first.
            if (std::string(c.why) == "damaged" && args[0] != "play") continue;
            const Ran r = vizor(args);
            EXPECT_EQ(r.code, 1) << r.err;
            EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
}
