// Ctrl-C and SIGTERM sent to the vizor program at random moments: a capture
// keeps the frames it has and leaves only whole files; a flash write is never
// cut, whatever moment the signal comes. They run on the OPT8241 camera, which
// starts and opens at once (the EPC camera first packs and downloads its
// calibration, a phase in which a signal simply ends the tool).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <thread>

#include "testutil.h"

namespace fs = std::filesystem;

namespace {

struct Ended {
    bool by_signal = false;  // killed before the tool installed its handlers
    int code = -1;
    std::string out, err;
};

// Starts the tool, sends sigs after delay (the later ones 50 ms apart) and
// waits for it.
Ended run_and_signal(std::vector<std::string> args, std::chrono::milliseconds delay,
                     std::vector<int> sigs) {
    args.insert(args.begin(), VIZOR_TOOL_PATH);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::this_thread::sleep_for(delay);
    for (int s : sigs) {
        kill(pid, s);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    int status = 0;
    Ended r;
    waitpid(pid, &status, 0);
    r.by_signal = WIFSIGNALED(status);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = vzt::read_file("stdout.txt");
    r.err = vzt::read_file("stderr.txt");
    return r;
}

size_t count(const std::string &s, const std::string &what) {
    size_t n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
    return n;
}

}  // namespace

TEST(ToolSignals, CaptureStopsCleanlyKeepingWholeFiles) {
    std::mt19937 rng(20261209);
    const struct { int sig, code; } kinds[] = {{SIGINT, 130}, {SIGTERM, 143}};
    for (int round = 0; round < 4; ++round) {
        vzt::TempCwd tmp;
        const auto k = kinds[round % 2];
        const auto delay = std::chrono::milliseconds(rng() % 1500);
        const Ended r = run_and_signal(
            {"--virtual=VZ-T0-320", "capture", "-n", "100000", "-o", "o"}, delay, {k.sig});
        SCOPED_TRACE("delay " + std::to_string(delay.count()) + " ms");
        if (r.by_signal) continue;  // before the handlers were in place: nothing was started
        ASSERT_EQ(r.code, k.code) << r.err;
        std::smatch m;
        if (!std::regex_search(r.out, m, std::regex(R"(captured (\d+) of 100000 frames)"))) {
            // Stopped while the camera was still opening: no capture, no partial frame.
            if (fs::exists("o/distance.vzd")) {
                EXPECT_EQ(fs::file_size("o/distance.vzd") % (320 * 240 * 4), 20u) << r.out;
            }
            continue;
        }
        const long frames = std::stol(m[1]);
        EXPECT_EQ(count(r.err, "\n"), 1u) << r.err;
        if (frames == 0) continue;
        // 20 header bytes, then whole 320 x 240 float frames; images whole.
        EXPECT_EQ(fs::file_size("o/distance.vzd"), 20u + size_t(frames) * 320 * 240 * 4);
        const std::string png = vzt::read_file("o/distance.png");
        EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");
        EXPECT_NE(vzt::read_file("o/cloud.ply").find("end_header"), std::string::npos);
    }
}

TEST(ToolSignals, SecondSignalEndsCaptureAtOnce) {
    vzt::TempCwd tmp;
    const Ended r = run_and_signal({"--virtual=VZ-T0-320", "capture", "-n", "100000", "-o", "o"},
                                   std::chrono::milliseconds(1500), {SIGINT, SIGINT});
    if (r.by_signal) GTEST_SKIP() << "the tool had not started yet";
    EXPECT_EQ(r.code, 130);
}

TEST(ToolSignals, FlashWriteIsNeverCut) {
    std::mt19937 rng(7);
    std::string image(150000, '\0');
    for (size_t i = 0; i < image.size(); ++i) image[i] = char(rng());
    for (int round = 0; round < 4; ++round) {
        vzt::TempCwd tmp;
        std::ofstream("fw.bin", std::ios::binary) << image;
        const auto delay = std::chrono::milliseconds(rng() % 2000);
        SCOPED_TRACE("delay " + std::to_string(delay.count()) + " ms");
        const Ended r = run_and_signal({"--virtual=VZ-T0-320", "--virtual-flash", "flash",
                                        "firmware", "fw.bin", "-t", "5", "-V", "2"},
                                       delay, {SIGINT, SIGTERM, SIGINT});
        // The flash folder holds the old state or the whole new image.
        if (fs::exists("flash/type5-v2.bin")) {
            EXPECT_EQ(vzt::read_file("flash/type5-v2.bin"), image);
        }
        std::error_code ec;
        for (const auto &e : fs::directory_iterator("flash", ec))
            EXPECT_EQ(e.path().extension(), ".bin") << e.path();
        if (r.by_signal) continue;
        EXPECT_TRUE(r.code == 130 || r.code == 0) << r.code << r.err;
        EXPECT_LE(count(r.err, "is not interrupted"), 1u) << r.err;
        if (r.code == 130 && count(r.err, "is not interrupted") == 1) {
            // Told it would wait: the write was finished and is readable.
            const Ended u = run_and_signal({"--virtual=VZ-T0-320", "--virtual-flash", "flash",
                                            "upload", "-t", "5", "back.bin"},
                                           std::chrono::milliseconds(0), {});
            ASSERT_EQ(u.code, 0) << u.err;
            EXPECT_EQ(vzt::read_file("back.bin"), image);
        }
    }
}

TEST(ToolSignals, RecordingStopsCleanlyKeepingAWholeRecording) {
    std::mt19937 rng(21);
    for (int round = 0; round < 2; ++round) {
        vzt::TempCwd tmp;
        const auto delay = std::chrono::milliseconds(500 + rng() % 1500);
        SCOPED_TRACE("delay " + std::to_string(delay.count()) + " ms");
        const Ended r = run_and_signal({"--virtual=VZ-T0-320", "record", "-n", "0", "rec.vzr"},
                                       delay, {SIGINT});
        if (r.by_signal) continue;
        ASSERT_EQ(r.code, 130) << r.err;
        std::smatch m;
        if (!std::regex_search(r.out, m, std::regex(R"(recorded (\d+) frames)"))) {
            // On a loaded machine the signal can come while the camera still
            // opens: the tool ends at once, before anything is recorded.
            EXPECT_EQ(r.out, "");
            continue;
        }
        const long frames = std::stol(m[1]);
        if (frames == 0) continue;
        // Every frame kept is played back.
        const Ended p =
            run_and_signal({"play", "rec.vzr", "-o", "p", "--formats", "ply", "--images", "last"},
                           std::chrono::milliseconds(0), {});
        ASSERT_EQ(p.code, 0) << p.err;
        EXPECT_EQ(fs::file_size("p/distance.vzd"), 20u + size_t(frames) * 320 * 240 * 4);
    }
}

// Ctrl-C during a DRNU calibration: the tool closes the camera, the run stops
// at its next frame, and the folder keeps its previous calibration files
// with no staged file left; exit 130.
TEST(ToolSignals, CalibrationStopsKeepingThePreviousFiles) {
    vzt::TempCwd tmp;
    fs::create_directories("d");
    const std::vector<std::string> previous = {"d/epc660_images_drnu_W066_C4660_10.bin",
                                               "d/epc660_drnu_W066_C4660_10.csv"};
    for (const auto &f : previous) std::ofstream(f) << "previous " << f;
    std::vector<std::string> args = {
        VIZOR_TOOL_PATH, "--virtual", "calibrate", "drnu", "-o",      "d",
        "--steps",       "30",        "--frames",  "2",    "--delay", "0"};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    // Signalled once the sweep is under way.
    const bool running = vzt::eventually(
        [] { return vzt::read_file("stderr.txt").find("drnu: step 3 of 30") != std::string::npos; },
        std::chrono::milliseconds(60000));
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(running) << vzt::read_file("stderr.txt");
    const std::string err = vzt::read_file("stderr.txt");
    ASSERT_TRUE(WIFEXITED(status)) << err;
    EXPECT_EQ(WEXITSTATUS(status), 130) << err;
    EXPECT_NE(err.find("calibration stopped by SIGINT; d keeps its previous calibration files"),
              std::string::npos)
        << err;
    EXPECT_EQ(vzt::read_file("stdout.txt").find("wrote "), std::string::npos);
    for (const auto &f : previous) EXPECT_EQ(vzt::read_file(f), "previous " + f);
    for (const auto &e : fs::recursive_directory_iterator("d"))
        EXPECT_NE(e.path().extension(), ".part") << e.path();
}
