// The vizor program end to end: every subcommand runs as its own process,
// on the virtual camera through --virtual (the program puts itself under the
// umockdev preload), and its files are read back independently: PNGs with
// libpng, PLYs by their header, frame files with the library.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <link.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include <nlohmann/json.hpp>

#include "testutil.h"
#include "toolkit.h"
#include "vcam/scene.h"
#include "vizor/vizor.h"

namespace fs = std::filesystem;

namespace {

struct Result {
    int code = -1;
    std::string out, err;
};

// Runs the tool with args in the current directory; env entries
// ("NAME=value") are set in the child only.
Result run(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
    static int seq = 0;
    const std::string out_path =
        "/tmp/vizor-cli-" + std::to_string(getpid()) + "-" + std::to_string(++seq);
    const std::string err_path = out_path + ".err";
    std::vector<std::string> all = {VIZOR_TOOL_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_copy = env;
    const pid_t pid = fork();
    if (pid == 0) {
        for (auto &e : env_copy) putenv(e.data());
        const int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0) _exit(126);
        dup2(o, 1);
        dup2(e, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Result r;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        r.code = WEXITSTATUS(status);
    r.out = vzt::read_file(out_path);
    r.err = vzt::read_file(err_path);
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    return r;
}

size_t lines(const std::string &s) { return size_t(std::count(s.begin(), s.end(), '\n')); }

struct Png {
    int w = 0, h = 0;
    bool colour = false;
    std::vector<uint8_t> px;  // RGB
    const uint8_t *at(int x, int y) const { return &px[(size_t(y) * size_t(w) + size_t(x)) * 3]; }
};

Png read_png(const std::string &path) {
    Png p;
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return p;
    p.colour = img.format & PNG_FORMAT_FLAG_COLOR;
    img.format = PNG_FORMAT_RGB;
    p.px.resize(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, p.px.data(), 0, nullptr)) return Png{};
    p.w = int(img.width);
    p.h = int(img.height);
    return p;
}

// The samples of a 16-bit gray PNG as stored (big-endian in the file); out
// stays empty for any other kind of image.
void png16_rows(png_structp png, png_infop info, std::FILE *f, std::vector<uint16_t> &out, int &w,
                int &h) {
    png_init_io(png, f);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    w = int(png_get_image_width(png, info));
    h = int(png_get_image_height(png, info));
    if (png_get_bit_depth(png, info) != 16 || png_get_color_type(png, info) != PNG_COLOR_TYPE_GRAY)
        return;
    png_bytepp rows = png_get_rows(png, info);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            out.push_back(uint16_t(rows[y][2 * x] << 8 | rows[y][2 * x + 1]));
}

// A 16-bit gray PNG read with libpng's low-level reader, not the writer's API.
std::vector<uint16_t> read_png16(const std::string &path, int &w, int &h) {
    std::vector<uint16_t> out;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) == 0) png16_rows(png, info, f, out, w, h);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return out;
}

struct Ply {
    bool ok = false;
    size_t vertices = 0;
    bool rgb = false;
    std::vector<float> xyz;
};

// Parses the PLY the tool writes; ok only when the body holds exactly the
// announced vertices.
Ply read_ply(const std::string &path) {
    Ply p;
    const std::string s = vzt::read_file(path);
    const std::string end = "end_header\n";
    const size_t body = s.find(end);
    if (s.rfind("ply\nformat binary_little_endian 1.0\n", 0) != 0 || body == std::string::npos)
        return p;
    std::istringstream hdr(s.substr(0, body));
    std::string line;
    std::vector<std::string> props;
    while (std::getline(hdr, line)) {
        if (line.rfind("element vertex ", 0) == 0) p.vertices = std::stoul(line.substr(15));
        if (line.rfind("property ", 0) == 0) props.push_back(line);
    }
    const std::vector<std::string> xyz = {"property float x", "property float y",
                                          "property float z"};
    std::vector<std::string> with_rgb = xyz;
    for (const char *c : {"property uchar red", "property uchar green", "property uchar blue"})
        with_rgb.push_back(c);
    if (props != xyz && props != with_rgb) return p;
    p.rgb = props == with_rgb;
    const size_t stride = p.rgb ? 15 : 12;
    const size_t start = body + end.size();
    if (s.size() - start != p.vertices * stride) return p;
    p.xyz.resize(p.vertices * 3);
    for (size_t i = 0; i < p.vertices; ++i)
        for (size_t k = 0; k < 3; ++k) {
            uint32_t u = 0;
            for (size_t b = 0; b < 4; ++b)
                u |= uint32_t(uint8_t(s[start + i * stride + k * 4 + b])) << (8 * b);
            std::memcpy(&p.xyz[i * 3 + k], &u, 4);
        }
    p.ok = true;
    return p;
}

// Every frame of a distance frame file.
std::vector<std::vector<float>> load_frames(const std::string &path, int &w, int &h) {
    std::vector<std::vector<float>> frames;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return frames;
    for (;;) {
        std::vector<float> f(320 * 240);
        if (vizor_frame_load_distance(fd, f.data(), int(f.size()), &w, &h) != int(f.size())) break;
        frames.push_back(std::move(f));
    }
    close(fd);
    return frames;
}

void save_frames(const std::string &path, const std::vector<std::vector<float>> &frames, int w,
                 int h) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (const auto &f : frames)
        ASSERT_EQ(vizor_frame_save_distance(fd, VIZOR_SAVE_FMT_F32, f.data(), int(f.size()), w, h),
                  1);
    close(fd);
}

size_t valid_count(const std::vector<float> &d) {
    return size_t(std::count_if(d.begin(), d.end(), vztool::valid_distance));
}

// A ramp from 0.6 to 2.4 m with a rectangular hole (distance 0).
std::vector<float> ramp_with_hole() {
    vcam::Scene s = vcam::ramp_scene(320, 240, 0.6f, 2.4f, 0.8f);
    for (int y = 100; y < 140; ++y)
        for (int x = 50; x < 90; ++x) s.distance_m[size_t(y) * 320 + size_t(x)] = 0.0f;
    return s.distance_m;
}

// The OPT8241 path quantises a distance to 3.122838 m / 4096 (0.76 mm).
constexpr float kQuantum = 3.122838f / 4096.0f;

}  // namespace

// ---- arguments ----------------------------------------------------------------

TEST(ToolArgs, BadArgumentsExitTwoWithOneLineOnStderr) {
    vzt::TempCwd tmp;
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"bogus"},
        {"capture", "-n", "0"},
        {"capture", "-n", "ten"},
        {"capture", "stray"},
        {"capture", "--images", "sometimes"},
        {"capture", "--formats", "jpg"},
        {"capture", "--range", "3:1"},
        {"capture", "--intrinsics", "1,2,0,4"},
        {"--virtual=nowhere", "list"},
        {"list", "--virtual=flat:-1"},
        {"info", "-d", "x:y"},
        {"reg"},
        {"reg", "read", "zz"},
        {"reg", "read", "10", "-c", "0"},
        {"reg", "write", "10"},
        {"param", "get", "100"},
        {"param", "set", "0d"},
        {"param", "set", "0d", "e"},
        {"param", "set", "0d", "00112233445566778899aabbccddeeff0011223344"},
        {"play"},
        {"play", "missing.vzd"},
        {"upload"},
        {"download", "missing.bin", "-t", "5", "-V", "2"},
        {"firmware", "x", "-t", "300"},
    };
    std::ofstream("x") << "image";
    for (const auto &args : cases) {
        std::string shown;
        for (const auto &a : args) shown += a + " ";
        const Result r = run(args);
        EXPECT_EQ(r.code, 2) << shown;
        EXPECT_EQ(lines(r.err), 1u) << shown << r.err;
        EXPECT_EQ(r.err.rfind("vizor: ", 0), 0u) << shown << r.err;
        EXPECT_EQ(r.out, "") << shown;
    }
}

TEST(ToolArgs, HelpOnEveryCommandExitsZero) {
    const std::vector<std::vector<std::string>> cmds = {
        {},           {"list"},         {"info"},         {"capture"},
        {"play"},     {"reg"},          {"reg", "read"},  {"reg", "write"},
        {"param"},    {"param", "get"}, {"param", "set"}, {"upload"},
        {"download"}, {"firmware"}};
    for (auto args : cmds) {
        args.push_back("--help");
        const Result r = run(args);
        EXPECT_EQ(r.code, 0) << args[0];
        EXPECT_NE(r.out.find("Usage: vizor"), std::string::npos) << args[0];
        EXPECT_NE(r.out.find("--virtual"), std::string::npos) << args[0];
        EXPECT_EQ(r.err, "");
    }
}

TEST(ToolArgs, NoCameraIsARuntimeFailure) {
    const Result r = run({"info", "-d", "127:127"});  // nothing is there, real bus or not
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(lines(r.err), 1u) << r.err;
}

// ---- virtual camera: devices, registers, parameters --------------------------------

TEST(ToolVirtual, ListAndInfoDescribeTheVirtualCamera) {
    const Result l = run({"--virtual", "list"});  // an epc660 camera by default
    ASSERT_EQ(l.code, 0) << l.err;
    EXPECT_TRUE(std::regex_search(l.out, std::regex(R"(\n0 +1 +1 +\d+ +480 Mbit/s +VZ-E1-660\n)")))
        << l.out;
    const Result i = run({"info", "--virtual=VZ-T0-320"});  // also after the command
    ASSERT_EQ(i.code, 0) << i.err;
    EXPECT_NE(i.out.find("product:  VZ-T0-320\n"), std::string::npos) << i.out;
    EXPECT_NE(i.out.find("driver:   T0 "), std::string::npos);
    EXPECT_NE(i.out.find("frame:    320 x 240, 4 bytes per pixel, 307200 bytes"),
              std::string::npos);
    EXPECT_NE(
        i.out.find("lens:     none in the driver; point clouds use cx 159.5, cy 119.5, fx 211.0"),
        std::string::npos);
}

TEST(ToolVirtual, RegistersAndParametersSpeakHex) {
    const Result p = run({"--virtual=VZ-T0-320", "param", "get", "3", "0x0d"});
    ASSERT_EQ(p.code, 0) << p.err;
    EXPECT_EQ(p.out, "0x03: 56 5a 2d 54 30 2d 33 32 30  \"VZ-T0-320\"\n0x0d: e8 03\n");
    const Result s = run({"--virtual=VZ-T0-320", "param", "set", "0d", "f4:01"});
    EXPECT_EQ(s.code, 0) << s.err;
    EXPECT_EQ(s.out, "0x0d: set f4 01\n");
    const Result r = run({"--virtual=VZ-T0-320", "reg", "read", "1e", "-c", "3"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("0x001e: 0x[0-9a-f]{8}\n0x001f: 0x[0-9a-f]{8}\n0x0020: 0x[0-9a-f]{8}\n")))
        << r.out;
    const Result w = run({"--virtual=VZ-T0-320", "reg", "write", "0x10", "ab", "0xcd"});
    EXPECT_EQ(w.code, 0) << w.err;
    EXPECT_EQ(w.out, "wrote 2 registers at 0x0010 (target 1)\n");
}

TEST(ToolVirtual, ReexecutionKeepsThePreloadAndAddsUmockdevAfterIt) {
    vzt::TempCwd tmp;
    // A shared sanitizer runtime of this build must stay first.
    std::string runtime;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) -> int {
            if (info->dlpi_name && (std::strstr(info->dlpi_name, "/libasan.so") ||
                                    std::strstr(info->dlpi_name, "/libtsan.so"))) {
                *static_cast<std::string *>(data) = info->dlpi_name;
                return 1;
            }
            return 0;
        },
        &runtime);
    const std::string first = (runtime.empty() ? "" : runtime + ":") + VIZOR_PROBE_PATH;
    const std::string log = tmp.path() + "/probe.txt";
    const Result r = run({"--virtual", "list"}, {"LD_PRELOAD=" + first, "VIZOR_PROBE_FILE=" + log});
    ASSERT_EQ(r.code, 0) << r.err;
    // Loaded twice: by the program as started, then after it re-executed.
    EXPECT_EQ(vzt::read_file(log), first + "\n" + first + ":libumockdev-preload.so.0\n");
}

// ---- virtual camera: capture ------------------------------------------------------

// One capture of the room shared by the tests that read its files.
class ToolCapture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new vzt::TempCwd;
        result_ = new Result(run({"--virtual=VZ-T0-320", "capture", "-n", "4", "-o", "out"}));
    }
    static void TearDownTestSuite() {
        delete result_;
        delete dir_;
    }
    static std::string path(const std::string &f) { return dir_->path() + "/out/" + f; }
    static vzt::TempCwd *dir_;
    static Result *result_;
};
vzt::TempCwd *ToolCapture::dir_ = nullptr;
Result *ToolCapture::result_ = nullptr;

TEST_F(ToolCapture, SummaryCountsFramesRateDiscardsAndErrors) {
    ASSERT_EQ(result_->code, 0) << result_->err;
    EXPECT_EQ(result_->err, "");
    EXPECT_TRUE(std::regex_search(
        result_->out,
        std::regex(
            R"(^captured 4 of 4 frames \(320 x 240\) in [0-9.]+ s: [0-9.]+ fps, 0 discarded, 0 errors\n)")))
        << result_->out;
    for (const char *f : {"out/distance.png", "out/gray.png", "out/distance.vzd (4 frames, F32)"})
        EXPECT_NE(result_->out.find(std::string("wrote ") + f + "\n"), std::string::npos) << f;
    // The room's edges lose their flying pixels in the point cloud.
    EXPECT_TRUE(std::regex_search(
        result_->out, std::regex(R"(\nwrote out/cloud.ply \(7[56][0-9]{3} points\)\n)")))
        << result_->out;
    EXPECT_NE(result_->out.find("flying-pixel filter on (0.15 m)"), std::string::npos);
}

TEST_F(ToolCapture, PngsDecodeAtFrameSizeAndShowTheRoom) {
    const Png d = read_png(path("distance.png"));
    ASSERT_EQ(d.w, 320);
    ASSERT_EQ(d.h, 240);
    EXPECT_TRUE(d.colour);
    const Png g = read_png(path("gray.png"));
    ASSERT_EQ(g.w, 320);
    ASSERT_EQ(g.h, 240);
    EXPECT_FALSE(g.colour);
    // Near is red, far is blue: the box (about 1.45 m) against the back wall (2.30 m).
    const uint8_t *box = d.at(50, 212);
    const uint8_t *wall = d.at(160, 120);
    EXPECT_GT(box[0], wall[0]);
    EXPECT_LT(box[2], wall[2]);
    std::set<uint32_t> colours;
    size_t black = 0;
    for (int y = 0; y < d.h; ++y)
        for (int x = 0; x < d.w; ++x) {
            const uint8_t *p = d.at(x, y);
            colours.insert(uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]);
            black += p[0] == 0 && p[1] == 0 && p[2] == 0;
        }
    EXPECT_GT(colours.size(), 200u);
    EXPECT_EQ(black, 0u);  // every pixel of the room is valid and inside the colour range
    // The gray image shows the tiled floor: its two reflectivities differ.
    EXPECT_NE(g.at(100, 236)[0], g.at(140, 236)[0]);
}

TEST_F(ToolCapture, FrameFileHoldsEveryFrameOfTheScene) {
    int w = 0, h = 0;
    const auto frames = load_frames(path("distance.vzd"), w, h);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    const vcam::Scene room = vcam::room_scene(vcam::assumed_pinhole(320, 240));
    for (const auto &f : frames)
        for (size_t i = 0; i < f.size(); ++i) {
            const vcam::Scene::Return *rs = room.returns_of(i);
            if (!rs) {
                ASSERT_NEAR(f[i], room.distance_m[i], kQuantum) << "pixel " << i;
                continue;
            }
            // A pixel across an edge reads between the surfaces it sees.
            float lo = rs[0].distance_m, hi = lo;
            for (int k = 1; k < vcam::Scene::kFootprint; ++k) {
                lo = std::min(lo, rs[k].distance_m);
                hi = std::max(hi, rs[k].distance_m);
            }
            ASSERT_GE(f[i], lo - kQuantum) << "pixel " << i;
            ASSERT_LE(f[i], hi + kQuantum) << "pixel " << i;
        }
}

TEST_F(ToolCapture, PointCloudHasOnePointPerValidPixelOffTheEdges) {
    const Ply p = read_ply(path("cloud.ply"));
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.rgb);
    int w = 0, h = 0;
    const auto frames = load_frames(path("distance.vzd"), w, h);
    ASSERT_FALSE(frames.empty());
    // Without the pixels that straddle the room's edges (the point cloud's
    // flying-pixel filter is on by default).
    std::vector<float> last = frames.back();
    const int flying = vizor_frame_remove_flying_pixels(last.data(), int(last.size()), w, h, 0.15f);
    EXPECT_GT(flying, 0);
    EXPECT_EQ(p.vertices, valid_count(frames.back()) - size_t(flying));
    for (size_t i = 0; i < p.vertices; ++i) {
        ASSERT_GT(p.xyz[i * 3 + 2], 1.0f);  // everything stands at least 1 m ahead
        ASSERT_LT(p.xyz[i * 3 + 2], 3.1f);
    }
}

TEST(ToolCaptureModes, EveryFrameModeWritesOneSetPerFrame) {
    vzt::TempCwd tmp;
    const Result r = run({"--virtual=VZ-T0-320:flat:2", "capture", "-n", "3", "--images", "each",
                          "--formats", "png,ply", "--ply", "xyz", "-o", "each"});
    ASSERT_EQ(r.code, 0) << r.err;
    for (int i = 0; i < 3; ++i) {
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "each/frame_%04d_", i);
        EXPECT_EQ(read_png(std::string(prefix) + "distance.png").w, 320) << prefix;
        EXPECT_EQ(read_png(std::string(prefix) + "gray.png").h, 240) << prefix;
        const Ply p = read_ply(std::string(prefix) + "cloud.ply");
        EXPECT_TRUE(p.ok && !p.rgb && p.vertices == 320u * 240u) << prefix;
    }
    EXPECT_FALSE(fs::exists("each/distance.vzd"));
    EXPECT_FALSE(fs::exists("each/distance.png"));
    EXPECT_FALSE(fs::exists("each/frame_0003_distance.png"));
}

// The virtual epc660 (with its shot noise) looking at a wall square to its
// axis at 2 m: the plane fitted to the exact cloud stands at z = 2 m, square to
// the axis, with the same mean residual in the top, middle and bottom of the
// view, and depth.png holds 2000 mm in the middle of its values; the
// compatible projection bends the wall (z from the horizontal angle alone,
// distortion ignored), so its top and bottom stand far behind its middle.
TEST(ToolCaptureModes, ExactPointsPutAWallWhereItIsAndCompatBendsIt) {
    vzt::TempCwd tmp;
    for (const char *projection : {"exact", "compat"}) {
        const Result r = run({"--virtual=wall:2", "capture", "-n", "1", "--formats", "png,ply",
                              "--projection", projection, "-o", projection});
        ASSERT_EQ(r.code, 0) << r.err;
    }
    // Least squares z = a x + b y + c, and the mean residual per band of the
    // view (band 0 above, 1 round, 2 below the axis).
    struct Fit {
        double a, b, c, band[3];
    };
    auto fit = [](const Ply &p) {
        double m[3][4] = {};
        for (size_t i = 0; i < p.vertices; ++i) {
            const double r[3] = {p.xyz[3 * i], p.xyz[3 * i + 1], 1.0};
            for (int j = 0; j < 3; ++j) {
                for (int k = 0; k < 3; ++k) m[j][k] += r[j] * r[k];
                m[j][3] += r[j] * p.xyz[3 * i + 2];
            }
        }
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                if (k != j) {
                    const double f = m[k][j] / m[j][j];
                    for (int c = 0; c < 4; ++c) m[k][c] -= f * m[j][c];
                }
        Fit f{m[0][3] / m[0][0], m[1][3] / m[1][1], m[2][3] / m[2][2], {}};
        double n[3] = {};
        for (size_t i = 0; i < p.vertices; ++i) {
            const float *q = &p.xyz[3 * i];
            const double t = q[1] / q[2];
            const int band = t < -0.2 ? 0 : t > 0.2 ? 2 : std::fabs(t) < 0.05 ? 1 : -1;
            if (band < 0) continue;
            f.band[band] += q[2] - (f.a * q[0] + f.b * q[1] + f.c);
            ++n[band];
        }
        for (int j = 0; j < 3; ++j) f.band[j] /= n[j];
        return f;
    };
    const Ply exact = read_ply("exact/cloud.ply"), compat = read_ply("compat/cloud.ply");
    ASSERT_TRUE(exact.ok && compat.ok);
    ASSERT_GT(exact.vertices, 320u * 240u * 95 / 100);
    const Fit e = fit(exact), c = fit(compat);
    EXPECT_NEAR(e.c / std::sqrt(1 + e.a * e.a + e.b * e.b), 2.0, 0.005);
    EXPECT_LT(std::atan(std::hypot(e.a, e.b)) * 180 / M_PI, 0.5);
    for (int j = 0; j < 3; ++j) EXPECT_LT(std::fabs(e.band[j]), 0.003) << "band " << j;
    EXPECT_GT(c.band[0] - c.band[1], 0.05);  // bent: the top stands behind the middle
    EXPECT_GT(c.band[2] - c.band[1], 0.05);
    int w = 0, h = 0;
    auto mm = read_png16("exact/depth.png", w, h);
    ASSERT_EQ(mm.size(), 320u * 240u);
    std::nth_element(mm.begin(), mm.begin() + std::ptrdiff_t(mm.size() / 2), mm.end());
    EXPECT_NEAR(mm[mm.size() / 2], 2000, 5);
}

TEST(ToolCaptureModes, SceneFromAFrameFileIncludingItsHoles) {
    vzt::TempCwd tmp;
    const auto scene = ramp_with_hole();
    save_frames("scene.vzd", {scene}, 320, 240);
    const Result r =
        run({"--virtual=VZ-T0-320:scene.vzd", "capture", "-n", "2", "--vzd", "u16", "-o", "o"});
    ASSERT_EQ(r.code, 0) << r.err;
    int w = 0, h = 0;
    const auto frames = load_frames("o/distance.vzd", w, h);
    ASSERT_EQ(frames.size(), 2u);
    for (size_t i = 0; i < scene.size(); ++i)  // millimetres in the file: 1 mm more tolerance
        ASSERT_NEAR(frames[1][i], scene[i], kQuantum + 0.001f) << "pixel " << i;
    const size_t valid = valid_count(frames[1]);
    EXPECT_EQ(valid, 320u * 240u - 40u * 40u);
    const Ply p = read_ply("o/cloud.ply");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.vertices, valid);
    const Png d = read_png("o/distance.png");
    const uint8_t *hole = d.at(70, 120);
    EXPECT_EQ(hole[0] | hole[1] | hole[2], 0);  // invalid pixels are black
}

TEST(ToolPlay, TurnsAFrameFileIntoImagesPerFrame) {
    vzt::TempCwd tmp;
    const auto a = ramp_with_hole();
    const auto b = vcam::flat_scene(320, 240, 1.0f, 0.5f).distance_m;
    save_frames("rec.vzd", {a, b}, 320, 240);
    const Result r = run({"play", "rec.vzd", "-o", "p"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("played 2 frames (320 x 240) from rec.vzd\n"), std::string::npos) << r.out;
    EXPECT_EQ(read_png("p/frame_0000_distance.png").w, 320);
    EXPECT_EQ(read_ply("p/frame_0000_cloud.ply").vertices, valid_count(a));
    EXPECT_EQ(read_ply("p/frame_0001_cloud.ply").vertices, valid_count(b));
    EXPECT_FALSE(fs::exists("p/frame_0000_gray.png"));  // a distance file has no gray image

    const Result last = run({"play", "rec.vzd", "-o", "q", "--images", "last", "--formats", "ply"});
    ASSERT_EQ(last.code, 0) << last.err;
    EXPECT_EQ(read_ply("q/cloud.ply").vertices, valid_count(b));
    EXPECT_FALSE(fs::exists("q/distance.png"));
}

TEST(ToolPlay, RefusesFilesThatAreNotFrameFiles) {
    vzt::TempCwd tmp;
    std::ofstream("junk.vzd") << "not a frame file\n";
    const Result r = run({"play", "junk.vzd"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    save_frames("empty.vzd", {}, 320, 240);  // nothing at all
    EXPECT_EQ(run({"play", "empty.vzd"}).code, 1);
}

// ---- virtual camera: data images ----------------------------------------------

TEST(ToolData, FirmwareWrittenIsReadBackIdentical) {
    vzt::TempCwd tmp;
    std::string image(3000, '\0');  // not a whole number of 1018-byte chunks
    for (size_t i = 0; i < image.size(); ++i) image[i] = char(i * 37 + 11);
    std::ofstream("fw.bin", std::ios::binary) << image;
    const Result w =
        run({"--virtual", "--virtual-flash", "flash", "firmware", "fw.bin", "-t", "5", "-V", "2"});
    ASSERT_EQ(w.code, 0) << w.err;
    EXPECT_NE(w.out.find("wrote fw.bin (3000 bytes) as data type 5 version 2"), std::string::npos)
        << w.out;
    EXPECT_TRUE(fs::exists("flash/type5-v2.bin"));
    const Result r =
        run({"--virtual", "--virtual-flash", "flash", "upload", "-t", "5", "back.bin"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(vzt::read_file("back.bin"), image);
}

TEST(ToolData, VersionGateAndMissingImagesFailAtRuntime) {
    vzt::TempCwd tmp;
    std::ofstream("img.bin", std::ios::binary) << std::string(100, 'x');
    // The virtual camera's firmware has version 1: version 1 is not newer.
    const Result w =
        run({"--virtual", "--virtual-flash", "flash", "download", "img.bin", "-t", "5", "-V", "1"});
    EXPECT_EQ(w.code, 1);
    EXPECT_EQ(lines(w.err), 1u) << w.err;
    EXPECT_FALSE(fs::exists("flash/type5-v1.bin"));
    const Result u = run({"--virtual", "upload", "-t", "9", "none.bin"});
    EXPECT_EQ(u.code, 1);
    EXPECT_EQ(lines(u.err), 1u) << u.err;
    EXPECT_FALSE(fs::exists("none.bin"));
    const Result f =
        run({"--virtual", "upload", "-t", "0"});  // the factory firmware, into calib.bin
    ASSERT_EQ(f.code, 0) << f.err;
    const std::string fw = vzt::read_file("calib.bin");
    EXPECT_EQ(fw.size(), 16384u);
    EXPECT_EQ(fw.rfind("vizor virtual camera firmware v1", 0), 0u);
}

// ---- messages: what is wrong and what to do ---------------------------------------

TEST(ToolMessages, SayWhatIsWrongAndWhatToDo) {
    vzt::TempCwd tmp;
    const struct {
        std::vector<std::string> args;
        int code;
        const char *says;
    } cases[] = {
        {{"capture", "-n", "abc"}, 2, "abc is not a whole number; give a whole number from 1 to"},
        {{"capture", "-n", "0"}, 2, "0 is out of range; give a whole number from 1 to"},
        {{"--virtual", "flat", "capture"}, 2, "write --virtual=flat"},
        {{"capture", "--virtual=bogus"}, 2, "listed in vizor --help"},
        {{"--virtual", "upload", "-t", "0", "nodir/x.bin"},
         1,
         "folder nodir does not exist (create it"},
        {{"--virtual", "--virtual-flash", "/proc/none", "list"},
         1,
         "choose a writable --virtual-flash"},
    };
    for (const auto &c : cases) {
        const Result r = run(c.args);
        EXPECT_EQ(r.code, c.code) << c.args[0] << r.err;
        EXPECT_EQ(lines(r.err), 1u) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists("nodir"));
}

TEST(ToolMessages, ListWithoutCameraFailsAsInfoDoes) {
    vzt::TempCwd tmp;
    const Result l = run({"list"}), i = run({"info"});
    if (l.code == 0) GTEST_SKIP() << "a camera is plugged in";
    EXPECT_EQ(l.code, 1);
    EXPECT_EQ(i.code, 1);
    EXPECT_EQ(l.err, i.err);
}

TEST(ToolMessages, WriteErrorsOnStandardOutputAreFailures) {
    const int full = open("/dev/full", O_WRONLY);
    if (full < 0) GTEST_SKIP() << "no /dev/full";
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--virtual", "info"}, {"--virtual", "list"}, {"--help"}}) {
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(full, 1);
            std::vector<std::string> all = {VIZOR_TOOL_PATH};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char *> argv;
            for (auto &a : all) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << args.back();
    }
    close(full);
}

// ---- JSON output ------------------------------------------------------------------

TEST(ToolJson, EveryReportParsesWithItsDocumentedKeys) {
    vzt::TempCwd tmp;
    using nlohmann::json;
    const json l = json::parse(run({"--virtual", "list", "--json"}).out);
    ASSERT_EQ(l["cameras"].size(), 1u);
    EXPECT_EQ(l["cameras"][0]["product"], "VZ-E1-660");
    EXPECT_EQ(l["cameras"][0]["speed_mbps"], 480);
    const json i = json::parse(run({"--virtual", "info", "--json"}).out);
    EXPECT_EQ(i["usb"]["bus"], l["cameras"][0]["bus"]);
    EXPECT_EQ(i["product"], "VZ-E1-660");
    EXPECT_EQ(i["frame"]["width"], 320);
    EXPECT_EQ(i["lens"]["dist_coeff"].size(), 5u);
    const json r = json::parse(run({"--virtual", "reg", "read", "0x10", "-c", "3", "--json"}).out);
    ASSERT_EQ(r["registers"].size(), 3u);
    EXPECT_EQ(r["registers"][2]["addr"], 0x12);
    const json p = json::parse(run({"--virtual", "param", "get", "03", "--json"}).out);
    EXPECT_EQ(p["parameters"][0]["text"], "VZ-E1-660");
    const Result c = run({"--virtual", "capture", "-n", "3", "-o", "o", "--json"});
    ASSERT_EQ(c.code, 0) << c.err;
    const json s = json::parse(c.out);
    EXPECT_EQ(s["frames_captured"], 3);
    EXPECT_TRUE(s["stopped_by"].is_null());
    EXPECT_EQ(s["files"].size(), 5u);  // distance, gray and depth PNG, cloud, frame file
    for (const auto &f : s["files"]) EXPECT_TRUE(fs::exists(f.get<std::string>())) << f;
}

// ---- vizor-vcam-run takes the tool's scenes ------------------------------------------

TEST(ToolVcamRun, RunsAProgramOnTheToolsScenes) {
    vzt::TempCwd tmp;
    for (const float d : {0.9f, 2.1f}) {
        const std::string flat = "flat:" + std::to_string(d);
        std::vector<std::string> args = {"--scene", flat, "--", VIZOR_TOOL_PATH, "capture", "-n",
                                         "1",       "-o", "o",  "--formats",     "vzd"};
        // vizor-vcam-run puts the umockdev preload last; a sanitizer runtime must
        // come first, as in the other suites.
        std::vector<std::string> all = {"env", "LD_PRELOAD=" VIZOR_TEST_PRELOAD,
                                        VIZOR_VCAM_RUN_PATH};
        all.insert(all.end(), args.begin(), args.end());
        ASSERT_EQ(std::system(([&] {
                                  std::string c;
                                  for (auto &a : all) c += "'" + a + "' ";
                                  return c + ">/dev/null";
                              })()
                                  .c_str()),
                  0);
        int w = 0, h = 0;
        const auto frames = load_frames("o/distance.vzd", w, h);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_NEAR(frames[0][size_t(h / 2) * size_t(w) + size_t(w / 2)], d, 2 * kQuantum) << flat;
    }
    EXPECT_EQ(std::system((std::string("env LD_PRELOAD=" VIZOR_TEST_PRELOAD " '") +
                           VIZOR_VCAM_RUN_PATH + "' --scene bogus -- true 2>/dev/null")
                              .c_str()) >>
                  8,
              2);
}
