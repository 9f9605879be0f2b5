// Frame files: byte layouts of headers and samples, conversions, sequences
// of frames, short destinations and files, and hostile headers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "log_capture.h"
#include "vizor/vizor.h"

namespace {

// A fresh file in the test's temporary folder, open for reading and writing.
class TempFile {
public:
    TempFile() {
        path_ = testing::TempDir() + "vizor_frames_XXXXXX";
        fd_ = mkstemp(path_.data());
        EXPECT_GE(fd_, 0);
    }
    ~TempFile() {
        if (fd_ >= 0) close(fd_);
        unlink(path_.c_str());
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    int fd() const { return fd_; }
    const std::string &path() const { return path_; }
    void rewind() const { lseek(fd_, 0, SEEK_SET); }
    std::string bytes() const {
        std::string s;
        const int f = open(path_.c_str(), O_RDONLY);
        char buf[65536];
        for (ssize_t r; (r = read(f, buf, sizeof buf)) > 0;) s.append(buf, size_t(r));
        close(f);
        return s;
    }
    void put(const std::string &s) const {
        ASSERT_EQ(write(fd_, s.data(), s.size()), ssize_t(s.size()));
    }

private:
    std::string path_;
    int fd_ = -1;
};

std::vector<float> ramp(size_t n, float step) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = float(i % 1000) * step;
    return v;
}

}  // namespace

TEST(FrameFileSave, U16DistanceHeaderThenFramesAppended) {
    TempFile f;
    const auto dist = ramp(320 * 240, 0.01f);
    ASSERT_EQ(vizor_frame_save_distance(f.fd(), VIZOR_SAVE_FMT_U16, dist.data(), int(dist.size()),
                                        320, 240),
              1);
    EXPECT_EQ(f.bytes().size(), 20u + 153600u);
    EXPECT_EQ(f.bytes().substr(0, 20), "VZ_DIST,U16,320,240\n");
    ASSERT_EQ(vizor_frame_save_distance(f.fd(), VIZOR_SAVE_FMT_U16, dist.data(), int(dist.size()),
                                        320, 240),
              1);
    EXPECT_EQ(f.bytes().size(), 20u + 2 * 153600u);
}

TEST(FrameFileSave, HeaderLinesOfEveryFormat) {
    const float one[6] = {1, 1, 1, 1, 1, 1};
    const struct {
        bool gray;
        int fmt;
        const char *line;
        size_t data;
    } cases[] = {
        {false, VIZOR_SAVE_FMT_F32, "VZ_DIST,F32,3,2\n", 24},
        {false, VIZOR_SAVE_FMT_U32, "VZ_DIST,U32,3,2\n", 24},
        {false, VIZOR_SAVE_FMT_U16, "VZ_DIST,U16,3,2\n", 12},
        {true, VIZOR_SAVE_FMT_U16, "VZ_GRAY,U16,3,2\n", 12},
        {true, VIZOR_SAVE_FMT_U8, "VZ_GRAY,U8,3,2\n", 6},
    };
    for (const auto &c : cases) {
        TempFile f;
        const int rc = c.gray ? vizor_frame_save_gray(f.fd(), c.fmt, one, 6, 3, 2)
                              : vizor_frame_save_distance(f.fd(), c.fmt, one, 6, 3, 2);
        ASSERT_EQ(rc, 1) << c.line;
        const std::string b = f.bytes();
        EXPECT_EQ(b.substr(0, strlen(c.line)), c.line);
        EXPECT_EQ(b.size(), strlen(c.line) + c.data) << c.line;
    }
}

TEST(FrameFileSave, MillimetresAreLittleEndianTruncatedLowBits) {
    TempFile f;
    const float d[2] = {1.0f, 2.5f};
    ASSERT_EQ(vizor_frame_save_distance(f.fd(), VIZOR_SAVE_FMT_U16, d, 2, 2, 1), 1);
    EXPECT_EQ(f.bytes(), std::string("VZ_DIST,U16,2,1\n\xE8\x03\xC4\x09", 20));

    TempFile neg;
    const float m[2] = {-0.001f, 65.5f};
    ASSERT_EQ(vizor_frame_save_distance(neg.fd(), VIZOR_SAVE_FMT_U16, m, 2, 2, 1), 1);
    EXPECT_EQ(neg.bytes().substr(16), std::string("\xFF\xFF\xDC\xFF", 4));  // 65535, 65500
    neg.rewind();
    float back[2];
    ASSERT_EQ(vizor_frame_load_distance(neg.fd(), back, 2, nullptr, nullptr), 2);
    EXPECT_FLOAT_EQ(back[0], 65.535f);
    EXPECT_FLOAT_EQ(back[1], 65.5f);

    TempFile wide;
    const float u[2] = {5000000.123f, NAN};  // beyond 16 bits; NaN has no millimetres
    ASSERT_EQ(vizor_frame_save_distance(wide.fd(), VIZOR_SAVE_FMT_U32, u, 2, 2, 1), 1);
    const std::string b = wide.bytes().substr(16);
    uint32_t w0;
    memcpy(&w0, b.data(), 4);
    EXPECT_EQ(w0, uint32_t(int64_t(5000000.123f * 1000)));
}

TEST(FrameFileSave, GrayValuesKeepTheirLowBits) {
    TempFile f;
    const float g[4] = {300.0f, 255.9f, -1.0f, 70000.0f};
    ASSERT_EQ(vizor_frame_save_gray(f.fd(), VIZOR_SAVE_FMT_U8, g, 4, 4, 1), 1);
    EXPECT_EQ(f.bytes().substr(15), std::string("\x2C\xFF\xFF\x70", 4));  // 300 -> 44
    TempFile w;
    ASSERT_EQ(vizor_frame_save_gray(w.fd(), VIZOR_SAVE_FMT_U16, g, 4, 4, 1), 1);
    w.rewind();
    float back[4];
    ASSERT_EQ(vizor_frame_load_gray(w.fd(), back, 4, nullptr, nullptr), 4);
    EXPECT_EQ(back[0], 300.0f);
    EXPECT_EQ(back[1], 255.0f);
    EXPECT_EQ(back[2], 65535.0f);
    EXPECT_EQ(back[3], float(70000 & 0xFFFF));
}

TEST(FrameFileSave, OnlyWholeDistanceFramesAreWritten) {
    TempFile f;
    const auto d = ramp(30, 0.5f);  // 1.5 frames of 4 x 5
    ASSERT_EQ(vizor_frame_save_distance(f.fd(), VIZOR_SAVE_FMT_F32, d.data(), 30, 4, 5), 1);
    EXPECT_EQ(f.bytes().size(), strlen("VZ_DIST,F32,4,5\n") + 20 * 4);
    TempFile g;
    ASSERT_EQ(vizor_frame_save_distance(g.fd(), VIZOR_SAVE_FMT_F32, d.data(), 19, 4, 5), 1);
    EXPECT_EQ(g.bytes(), "VZ_DIST,F32,4,5\n");
}

TEST(FrameFileSave, GrayWritesExactlyOneFrameAndRefusesLess) {
    LogCapture log;
    TempFile f;
    const auto g = ramp(30, 1.0f);
    ASSERT_EQ(vizor_frame_save_gray(f.fd(), VIZOR_SAVE_FMT_U8, g.data(), 30, 4, 5), 1);
    EXPECT_EQ(f.bytes().size(), strlen("VZ_GRAY,U8,4,5\n") + 20);
    // Fewer samples than a frame would leave a short frame under the header.
    TempFile s;
    EXPECT_EQ(vizor_frame_save_gray(s.fd(), VIZOR_SAVE_FMT_U8, g.data(), 19, 4, 5), 0);
    EXPECT_EQ(s.bytes(), "");
}

TEST(FrameFileSave, WrongFormatsAndSizesAreRefused) {
    LogCapture log;
    TempFile f;
    const auto g = ramp(20, 1.0f);
    ASSERT_EQ(vizor_frame_save_gray(f.fd(), VIZOR_SAVE_FMT_U16, g.data(), 20, 4, 5), 1);
    const size_t before = f.bytes().size();
    EXPECT_EQ(vizor_frame_save_gray(f.fd(), VIZOR_SAVE_FMT_F32, g.data(), 20, 4, 5), 0);
    EXPECT_EQ(vizor_frame_save_gray(f.fd(), VIZOR_SAVE_FMT_U32, g.data(), 20, 4, 5), 0);
    EXPECT_EQ(vizor_frame_save_distance(f.fd(), VIZOR_SAVE_FMT_U8, g.data(), 20, 4, 5), 0);
    EXPECT_EQ(f.bytes().size(), before);
    EXPECT_TRUE(log.has("[ERR] [vizor_frame_save_gray] wrong gray save format: 0\n"));
    EXPECT_TRUE(log.has("[vizor_frame_save_gray] wrong gray save format: 1\n"));
    EXPECT_TRUE(log.has("[vizor_frame_save_distance] wrong distance save format: 3\n"));
    TempFile e;
    for (auto [w, h] : {std::pair{0, 5}, {4, 0}, {-4, 5}, {100000, 100000}}) {
        EXPECT_EQ(vizor_frame_save_distance(e.fd(), VIZOR_SAVE_FMT_U16, g.data(), 20, w, h), 0);
        EXPECT_EQ(vizor_frame_save_gray(e.fd(), VIZOR_SAVE_FMT_U8, g.data(), 20, w, h), 0);
    }
    EXPECT_EQ(e.bytes(), "");
}

TEST(FrameFileSave, FailedWritesAreReported) {
    LogCapture log;
    TempFile f;
    const int ro = open(f.path().c_str(), O_RDONLY);
    const float d[2] = {1, 2};
    EXPECT_EQ(vizor_frame_save_distance(ro, VIZOR_SAVE_FMT_U16, d, 2, 2, 1), 0);
    EXPECT_EQ(vizor_frame_save_gray(ro, VIZOR_SAVE_FMT_U8, d, 2, 2, 1), 0);
    lseek(ro, 1, SEEK_SET);  // past the header position: the data write fails
    EXPECT_EQ(vizor_frame_save_distance(ro, VIZOR_SAVE_FMT_F32, d, 2, 2, 1), 0);
    EXPECT_EQ(vizor_frame_save_gray(ro, VIZOR_SAVE_FMT_U16, d, 2, 2, 1), 0);
    close(ro);
    EXPECT_TRUE(log.has("[vizor_frame_save_distance] faile to save VZ_DIST header\n"));
    EXPECT_TRUE(log.has("[vizor_frame_save_gray] faile to save VZ_GRAY header\n"));
    EXPECT_TRUE(log.has("[vizor_frame_save_distance] faile to save VZ_DIST F32 data: 8 bytes\n"));
    EXPECT_TRUE(log.has("[vizor_frame_save_gray] faile to save VZ_GRAY U16 data: 4 bytes\n"));
}

TEST(FrameFileLoad, SequenceOfFramesThenReadFailure) {
    LogCapture log;
    TempFile f;
    for (int k = 0; k < 3; ++k) {
        std::vector<float> d(320 * 240, float(k + 1));
        ASSERT_EQ(vizor_frame_save_distance(f.fd(), VIZOR_SAVE_FMT_U16, d.data(), int(d.size()),
                                            320, 240),
                  1);
    }
    f.rewind();
    std::vector<float> dst(320 * 240);
    for (int k = 0; k < 3; ++k) {
        int w = 0, h = 0;
        ASSERT_EQ(vizor_frame_load_distance(f.fd(), dst.data(), int(dst.size()), &w, &h), 76800)
            << k;
        EXPECT_EQ(w, 320);
        EXPECT_EQ(h, 240);
        EXPECT_EQ(dst[0], float(k + 1));
        EXPECT_EQ(dst[76799], float(k + 1));
    }
    EXPECT_EQ(vizor_frame_load_distance(f.fd(), dst.data(), int(dst.size()), nullptr, nullptr), 0);
    EXPECT_TRUE(log.has("[ERR] [vizor_frame_load_distance] read 153600 date failed: ret= 0\n"))
        << log.text();
}

TEST(FrameFileLoad, FloatAndMillimetreFormatsRoundTrip) {
    const float d[3] = {1.2345678f, 0.001f, 59.999f};
    TempFile f32, u32;
    ASSERT_EQ(vizor_frame_save_distance(f32.fd(), VIZOR_SAVE_FMT_F32, d, 3, 3, 1), 1);
    ASSERT_EQ(vizor_frame_save_distance(u32.fd(), VIZOR_SAVE_FMT_U32, d, 3, 3, 1), 1);
    f32.rewind();
    u32.rewind();
    float a[3], b[3];
    ASSERT_EQ(vizor_frame_load_distance(f32.fd(), a, 3, nullptr, nullptr), 3);
    EXPECT_EQ(0, memcmp(a, d, sizeof a));
    ASSERT_EQ(vizor_frame_load_distance(u32.fd(), b, 3, nullptr, nullptr), 3);
    EXPECT_EQ(b[0], 1234.0f / 1000);
    EXPECT_EQ(b[1], 1.0f / 1000);
    EXPECT_EQ(b[2], 59999.0f / 1000);
}

TEST(FrameFileLoad, ShortDestinationStillConsumesTheFrame) {
    TempFile f;
    const auto d1 = ramp(20, 0.25f);
    const std::vector<float> d2(20, 7.0f);
    ASSERT_EQ(vizor_frame_save_distance(f.fd(), VIZOR_SAVE_FMT_F32, d1.data(), 20, 5, 4), 1);
    ASSERT_EQ(vizor_frame_save_distance(f.fd(), VIZOR_SAVE_FMT_F32, d2.data(), 20, 5, 4), 1);
    f.rewind();
    float dst[20];
    dst[3] = -1;
    ASSERT_EQ(vizor_frame_load_distance(f.fd(), dst, 3, nullptr, nullptr), 3);
    EXPECT_EQ(dst[2], 0.5f);
    EXPECT_EQ(dst[3], -1);
    ASSERT_EQ(vizor_frame_load_distance(f.fd(), dst, 20, nullptr, nullptr), 20);
    EXPECT_EQ(dst[0], 7.0f);
    int w = 0, h = 0;
    f.rewind();
    EXPECT_EQ(vizor_frame_load_distance(f.fd(), dst, 0, &w, &h), 0);  // consumed, none stored
    EXPECT_EQ(w, 5);
    EXPECT_EQ(h, 4);
    ASSERT_EQ(vizor_frame_load_distance(f.fd(), dst, 20, nullptr, nullptr), 20);
    EXPECT_EQ(dst[19], 7.0f);
}

TEST(FrameFileLoad, FileEndingMidFrameFails) {
    LogCapture log;
    TempFile f;
    f.put("VZ_GRAY,U16,2,2\n");
    f.put(std::string("\x01\x00\x02\x00\x03", 5));
    f.rewind();
    float dst[4] = {9, 9, 9, 9};
    EXPECT_EQ(vizor_frame_load_gray(f.fd(), dst, 4, nullptr, nullptr), 0);
    EXPECT_TRUE(log.has("[vizor_frame_load_gray] read 8 date failed: ret= 5\n")) << log.text();
    EXPECT_EQ(dst[0], 9);
}

TEST(FrameFileLoad, GrayHeadersOfBothFormats) {
    TempFile u8, u16;
    u8.put("VZ_GRAY,U8,3,1\n");
    u8.put(std::string("\x00\x7F\xFF", 3));
    u16.put("VZ_GRAY,U16,1,1\r\n");  // text after the second number is ignored
    u16.put(std::string("\x34\x12", 2));
    u8.rewind();
    u16.rewind();
    float a[3], b[1];
    ASSERT_EQ(vizor_frame_load_gray(u8.fd(), a, 3, nullptr, nullptr), 3);
    EXPECT_EQ(a[1], 127.0f);
    EXPECT_EQ(a[2], 255.0f);
    ASSERT_EQ(vizor_frame_load_gray(u16.fd(), b, 1, nullptr, nullptr), 1);
    EXPECT_EQ(b[0], 4660.0f);
}

TEST(FrameFileLoad, RememberedHeaderServesLaterFramesOfItsKind) {
    TempFile a, b;
    const std::vector<float> da(6, 1.0f), db(2, 2.0f);
    ASSERT_EQ(vizor_frame_save_distance(a.fd(), VIZOR_SAVE_FMT_U16, da.data(), 6, 3, 2), 1);
    ASSERT_EQ(vizor_frame_save_distance(a.fd(), VIZOR_SAVE_FMT_U16, da.data(), 6, 3, 2), 1);
    ASSERT_EQ(vizor_frame_save_distance(b.fd(), VIZOR_SAVE_FMT_F32, db.data(), 2, 2, 1), 1);
    ASSERT_EQ(vizor_frame_save_distance(b.fd(), VIZOR_SAVE_FMT_F32, db.data(), 2, 2, 1), 1);
    a.rewind();
    b.rewind();
    float dst[6];
    int w, h;
    ASSERT_EQ(vizor_frame_load_distance(a.fd(), dst, 6, &w, &h), 6);
    ASSERT_EQ(vizor_frame_load_distance(b.fd(), dst, 6, &w, &h), 2);
    // a is past its header: the last parsed header (b's, 2 x 1 F32) is used.
    ASSERT_EQ(vizor_frame_load_distance(a.fd(), dst, 6, &w, &h), 2);
    EXPECT_EQ(w, 2);
    EXPECT_EQ(h, 1);
    // A failed parse forgets the size: later frames of any distance file fail.
    TempFile bad;
    bad.put("VZ_NOPE\n");
    bad.rewind();
    EXPECT_EQ(vizor_frame_load_distance(bad.fd(), dst, 6, nullptr, nullptr), 0);
    EXPECT_EQ(vizor_frame_load_distance(b.fd(), dst, 6, nullptr, nullptr), 0);
}

TEST(FrameFileLoad, HostileHeadersAreRefused) {
    const std::string cases[] = {
        "VZ_DIST,U16,100000,100000\n",  // frame of 20 GB
        "VZ_DIST,F32,4097,4097\n",      // just above 64 MiB
        "VZ_DIST,U16,0,240\n",          // empty
        "VZ_DIST,U16,320,0\n",
        "VZ_DIST,U16,-320,240\n",  // negative
        "VZ_DIST,U16,320,-240\n",
        "VZ_DIST,U16,99999999999999999999,1\n",  // beyond int
        "VZ_DIST,U16,320\n",                     // one number only
        "VZ_DIST,U16,,240\n",
        "VZ_GRAY,U16,2,2\n",  // the other kind
        "\n",
        "VZ_DIST,U16,2,1" + std::string(300, ' '),  // no newline within 256 bytes
    };
    for (const std::string &hdr : cases) {
        LogCapture log;
        TempFile f;
        f.put(hdr);
        f.put(std::string(64, '\x01'));
        f.rewind();
        float dst[4] = {5, 5, 5, 5};
        int w = -9, h = -9;
        EXPECT_EQ(vizor_frame_load_distance(f.fd(), dst, 4, &w, &h), 0) << hdr;
        EXPECT_TRUE(log.has("[vizor_frame_load_distance] faile to load VZ file header\n")) << hdr;
        EXPECT_EQ(dst[0], 5);
        EXPECT_EQ(w, -9);
        // The size is forgotten: reading on past the header gives nothing.
        EXPECT_EQ(vizor_frame_load_distance(f.fd(), dst, 4, &w, &h), 0) << hdr;
    }
}

TEST(FrameFileLoad, LargestAcceptedFrameLoads) {
    TempFile f;
    f.put("VZ_DIST,F32,4096,4096\n");  // exactly 64 MiB of samples
    ASSERT_EQ(ftruncate(f.fd(), off_t(strlen("VZ_DIST,F32,4096,4096\n")) + (off_t(64) << 20)), 0);
    f.rewind();
    float dst[2] = {1, 1};
    EXPECT_EQ(vizor_frame_load_distance(f.fd(), dst, 2, nullptr, nullptr), 2);
    EXPECT_EQ(dst[0], 0.0f);
}

TEST(FrameFileLoad, EmptyFileHasNoHeader) {
    LogCapture log;
    TempFile f;
    float dst[1];
    EXPECT_EQ(vizor_frame_load_gray(f.fd(), dst, 1, nullptr, nullptr), 0);
    EXPECT_TRUE(log.has("[vizor_frame_load_gray] faile to load VZ file header\n"));
}
