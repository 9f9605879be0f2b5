// The tool's camera-free parts: argument parsing, display scaling, the PNG and
// PLY writers (read back independently).
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstring>

#include "testutil.h"
#include "toolkit.h"

using namespace vztool;

TEST(ToolParse, HexNumbersTakeAnOptionalPrefix) {
    EXPECT_EQ(parse_hex_u32("1f"), 0x1Fu);
    EXPECT_EQ(parse_hex_u32("0x1F"), 0x1Fu);
    EXPECT_EQ(parse_hex_u32("ffffffff"), 0xFFFFFFFFu);
    EXPECT_EQ(parse_hex_u32("10"), 0x10u);  // hexadecimal, not ten
    for (const char *bad : {"", "0x", "g1", "1 2", "123456789", "-1", "0x0x1"})
        EXPECT_FALSE(parse_hex_u32(bad)) << bad;
}

TEST(ToolParse, HexBytesAcceptPairsRunsAndColons) {
    EXPECT_EQ(parse_hex_bytes({"e8", "03"}), (std::vector<uint8_t>{0xE8, 0x03}));
    EXPECT_EQ(parse_hex_bytes({"e803"}), (std::vector<uint8_t>{0xE8, 0x03}));
    EXPECT_EQ(parse_hex_bytes({"0xE8:03", "7f"}), (std::vector<uint8_t>{0xE8, 0x03, 0x7F}));
    for (const char *bad : {"e", "e80", "zz", "", "0x", ":"})
        EXPECT_FALSE(parse_hex_bytes({bad})) << bad;
}

TEST(ToolParse, RangesIntrinsicsAndDevices) {
    EXPECT_EQ(parse_range("0.5:3"), std::make_pair(0.5f, 3.0f));
    for (const char *bad : {"3:1", "1:1", "-1:2", "1:60", "1", "1:2:3", "a:b", "1:nan"})
        EXPECT_FALSE(parse_range(bad)) << bad;
    auto k = parse_intrinsics("159.5,119.5,211,212");
    ASSERT_TRUE(k);
    EXPECT_FLOAT_EQ(k->fy, 212.0f);
    EXPECT_FALSE(parse_intrinsics("1,2,0,3"));
    EXPECT_FALSE(parse_intrinsics("1,2,3"));
    auto d = parse_device("3:2");
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->by_location());
    EXPECT_EQ(d->bus, 3);
    EXPECT_EQ(d->port, 2);
    EXPECT_EQ(parse_device("4")->index, 4);
    EXPECT_FALSE(parse_device("4")->by_location());
    for (const char *bad : {"", "x", "3:", ":2", "1:2:3", "-1", "256"})
        EXPECT_FALSE(parse_device(bad)) << bad;
}

TEST(ToolDisplay, AutoRangeUsesValidPixelsOnly) {
    std::vector<float> d(1000);
    for (size_t i = 0; i < d.size(); ++i) d[i] = 1.0f + float(i) / 1000.0f;  // 1.0 .. 1.999
    d[0] = 0.0f;
    d[1] = NAN;
    d[2] = 65.3f;  // an invalid-pixel marker
    d[3] = -1.0f;
    std::vector<float> scratch;
    auto r = auto_range(d, scratch);
    ASSERT_TRUE(r);
    EXPECT_NEAR(r->first, 1.014f, 0.002f);
    EXPECT_NEAR(r->second, 1.99f, 0.002f);
    EXPECT_FALSE(auto_range(std::vector<float>(10, 0.0f), scratch));
    auto flat = auto_range(std::vector<float>(10, 2.0f), scratch);  // widened to 1 cm
    ASSERT_TRUE(flat);
    EXPECT_NEAR(flat->second - flat->first, 0.01f, 1e-6f);
}

TEST(ToolDisplay, ClampKeepsInvalidPixelsInvalid) {
    std::vector<float> out;
    clamp_valid({0.5f, 1.5f, 4.0f, 0.0f, 65.4f, NAN}, 1.0f, 3.0f, out);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(out[1], 1.5f);
    EXPECT_EQ(out[2], 3.0f);
    EXPECT_EQ(out[3], 0.0f);
    EXPECT_EQ(out[4], 65.4f);
    EXPECT_TRUE(std::isnan(out[5]));
}

TEST(ToolDisplay, GrayLevelsScaleToTheWhiteLevel) {
    std::vector<uint8_t> out;
    gray_to_u8({0.0f, 0.5f, 1.0f, 2.0f, -1.0f, NAN}, 1.0f, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 128, 255, 255, 0, 0}));
    gray_to_u8({0.5f}, 0.0f, out);
    EXPECT_EQ(out[0], 0);
    std::vector<float> g(100);
    for (size_t i = 0; i < g.size(); ++i) g[i] = float(i + 1);
    std::vector<float> scratch;
    EXPECT_EQ(gray_white_level(g, scratch), 99.0f);
}

namespace {

std::vector<uint8_t> read_png(const std::string &path, uint32_t fmt, int &w, int &h,
                              uint32_t *orig_fmt) {
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return {};
    if (orig_fmt) *orig_fmt = img.format;
    img.format = fmt;
    std::vector<uint8_t> px(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, px.data(), 0, nullptr)) return {};
    w = int(img.width);
    h = int(img.height);
    return px;
}

}  // namespace

TEST(ToolFiles, PngReadsBackPixelForPixel) {
    vzt::TempCwd tmp;
    std::vector<uint8_t> rgb(7 * 5 * 3), gray(7 * 5);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(i * 7);
    for (size_t i = 0; i < gray.size(); ++i) gray[i] = uint8_t(255 - i);
    ASSERT_EQ(write_png("c.png", 7, 5, 3, rgb.data()), "");
    ASSERT_EQ(write_png("g.png", 7, 5, 1, gray.data()), "");
    int w = 0, h = 0;
    uint32_t orig = 0;
    EXPECT_EQ(read_png("c.png", PNG_FORMAT_RGB, w, h, &orig), rgb);
    EXPECT_EQ(w, 7);
    EXPECT_EQ(h, 5);
    EXPECT_TRUE(orig & PNG_FORMAT_FLAG_COLOR);
    EXPECT_EQ(read_png("g.png", PNG_FORMAT_GRAY, w, h, &orig), gray);
    EXPECT_FALSE(orig & PNG_FORMAT_FLAG_COLOR);
    EXPECT_NE(write_png("no/such/dir/x.png", 7, 5, 1, gray.data()), "");
    EXPECT_NE(write_png("x.png", 0, 5, 1, gray.data()), "");
}

TEST(ToolFiles, PlyIsBinaryLittleEndian) {
    vzt::TempCwd tmp;
    const float xyz[] = {1.0f, -2.0f, 0.5f, 3.0f, 4.0f, 5.0f};
    const uint8_t rgb[] = {255, 0, 1, 2, 3, 4};
    ASSERT_EQ(write_ply("c.ply", xyz, 2, rgb), "");
    ASSERT_EQ(write_ply("p.ply", xyz, 2, nullptr), "");
    const std::string c = vzt::read_file("c.ply"), p = vzt::read_file("p.ply");
    const std::string end = "end_header\n";
    ASSERT_NE(c.find("format binary_little_endian 1.0\n"), std::string::npos);
    ASSERT_NE(c.find("element vertex 2\n"), std::string::npos);
    ASSERT_NE(c.find("property uchar red\n"), std::string::npos);
    EXPECT_EQ(p.find("property uchar"), std::string::npos);
    const size_t cb = c.find(end) + end.size(), pb = p.find(end) + end.size();
    ASSERT_EQ(c.size() - cb, 2u * 15);
    ASSERT_EQ(p.size() - pb, 2u * 12);
    const uint8_t one_le[] = {0x00, 0x00, 0x80, 0x3F};  // 1.0f
    EXPECT_EQ(std::memcmp(c.data() + cb, one_le, 4), 0);
    EXPECT_EQ(uint8_t(c[cb + 12]), 255);
    EXPECT_EQ(uint8_t(c[cb + 14]), 1);
    EXPECT_EQ(std::memcmp(p.data() + pb + 12, c.data() + cb + 15, 12), 0);  // second point
}
