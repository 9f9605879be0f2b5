// Colour map: palette values, ranges, reserved codes and the gray ramp.
#include <gtest/gtest.h>

#include "vizor/cmap.h"

namespace {

struct Map {
    explicit Map(int n) { vz_cmap_init(&m, n); }
    ~Map() { vz_cmap_uninit(&m); }
    vz_cmap_t m{};
};

TEST(CmapPalette, TellingEntriesOf30000) {
    Map map(30000);
    ASSERT_EQ(map.m.size, 30000);
    EXPECT_EQ(map.m.palette[0], 0x7F0000u);
    EXPECT_EQ(map.m.palette[3750], 0xFF0000u);
    EXPECT_EQ(map.m.palette[11250], 0xFFFF00u);
    EXPECT_EQ(map.m.palette[18750], 0x00FFFFu);
    EXPECT_EQ(map.m.palette[26250], 0x0055FFu);
    EXPECT_EQ(map.m.palette[29999], 0x0000BFu);
}

TEST(CmapPalette, EightEntries) {
    Map map(8);
    const uint32_t expect[8] = {0x7F0000, 0xFF0000, 0xFF7F00, 0xFFFF00,
                                0x7FFF7F, 0x00FFFF, 0x00AAFF, 0x0055FF};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(map.m.palette[i], expect[i]) << i;
}

TEST(CmapPalette, RedStopsAt191AndNoHighByteIsSet) {
    Map map(30000);
    for (int i = 0; i < 30000; ++i) EXPECT_EQ(map.m.palette[i] >> 24, 0u);
    EXPECT_EQ(map.m.palette[29999] & 0xFF, 191u);
}

TEST(CmapPalette, EmptySizeGivesNoPaletteAndBlackLookups) {
    Map map(0);
    EXPECT_EQ(map.m.palette, nullptr);
    EXPECT_EQ(map.m.range_max, 256);
    vz_cmap_set_range(&map.m, 0, 100);
    EXPECT_EQ(vz_cmap_get_color(&map.m, 50), 0u);
}

TEST(CmapRange, UntilSetEveryValueGetsTheLastEntry) {
    Map map(30000);
    EXPECT_EQ(map.m.scale, 0.0f);
    EXPECT_EQ(vz_cmap_get_color(&map.m, 0), map.m.palette[29999]);
    EXPECT_EQ(vz_cmap_get_color(&map.m, 256), map.m.palette[29999]);
    EXPECT_EQ(vz_cmap_get_color(&map.m, 257), 0u);
    EXPECT_EQ(vz_cmap_get_gray(&map.m, 100), 0u);
}

TEST(CmapRange, BoundsMapToTheEndsAndOutsideIsBlack) {
    Map map(30000);
    vz_cmap_set_range(&map.m, 0, 5000);
    EXPECT_EQ(vz_cmap_get_color(&map.m, 0), 0x0000BFu);
    EXPECT_EQ(vz_cmap_get_color(&map.m, 5000), 0x7F0000u);
    EXPECT_EQ(vz_cmap_get_color(&map.m, 5001), 0u);
    EXPECT_EQ(vz_cmap_get_color(&map.m, -1), 0u);
}

TEST(CmapRange, SwappedBoundsGiveTheSameMap) {
    Map a(30000), b(30000);
    vz_cmap_set_range(&a.m, 0, 5000);
    vz_cmap_set_range(&b.m, 5000, 0);
    EXPECT_EQ(a.m.range_min, b.m.range_min);
    EXPECT_EQ(a.m.range_max, b.m.range_max);
    EXPECT_EQ(a.m.scale, b.m.scale);
    EXPECT_EQ(a.m.gray_scale, b.m.gray_scale);
    for (int v = -10; v <= 5010; v += 7)
        EXPECT_EQ(vz_cmap_get_color(&a.m, v), vz_cmap_get_color(&b.m, v));
}

TEST(CmapRange, EqualBoundsKeepThePreviousRange) {
    Map map(30000);
    vz_cmap_set_range(&map.m, 100, 200);
    vz_cmap_set_range(&map.m, 7, 7);
    EXPECT_EQ(map.m.range_min, 100);
    EXPECT_EQ(map.m.range_max, 200);
    EXPECT_EQ(map.m.scale, 30000.0f);
    EXPECT_EQ(map.m.gray_scale, 255.0f);
}

TEST(CmapRange, ExtremeBoundsDoNotOverflow) {
    Map map(30000);
    vz_cmap_set_range(&map.m, INT32_MIN, INT32_MAX);
    EXPECT_EQ(vz_cmap_get_color(&map.m, INT32_MIN), map.m.palette[29999]);
    EXPECT_EQ(vz_cmap_get_color(&map.m, INT32_MAX), map.m.palette[0]);
}

TEST(CmapReserved, CodesKeepTheirColoursWhateverTheRange) {
    Map map(30000);
    for (auto [lo, hi] : {std::pair{0, 100}, std::pair{60000, 70000}}) {
        vz_cmap_set_range(&map.m, lo, hi);
        EXPECT_EQ(vz_cmap_get_color(&map.m, 65300), 0u);
        EXPECT_EQ(vz_cmap_get_color(&map.m, 65400), 0x8000FFu);
        EXPECT_EQ(vz_cmap_get_color(&map.m, 65500), 0xFF0EA9u);
        EXPECT_EQ(vz_cmap_get_gray(&map.m, 65400), 0x8000FFu);
        EXPECT_EQ(vz_cmap_get_gray(&map.m, 65500), 0xFF0EA9u);
    }
    // 65300 is an ordinary value for the gray ramp: inside 60000..70000 it is gray
    EXPECT_EQ(vz_cmap_get_gray(&map.m, 65300), 0x878787u);
}

TEST(CmapGray, RampOver1000To2000) {
    Map map(30000);
    vz_cmap_set_range(&map.m, 1000, 2000);
    EXPECT_EQ(vz_cmap_get_gray(&map.m, 1000), 0x000000u);
    EXPECT_EQ(vz_cmap_get_gray(&map.m, 1500), 0x7F7F7Fu);
    EXPECT_EQ(vz_cmap_get_gray(&map.m, 2000), 0xFEFEFEu);
    EXPECT_EQ(vz_cmap_get_gray(&map.m, 2001), 0xFFFFFFu);
    EXPECT_EQ(vz_cmap_get_gray(&map.m, 999), 0u);
}

TEST(CmapLookup, MatchesTheStraightforwardFormula) {
    Map map(30000);
    vz_cmap_set_range(&map.m, 200, 4700);
    for (int v = 200; v <= 4700; ++v) {
        int k = 30000 - int(double(float(v - 200)) * double(map.m.scale));
        k = k <= 0 ? 0 : (k >= 30000 ? 29999 : k);
        ASSERT_EQ(vz_cmap_get_color(&map.m, v), map.m.palette[k]) << v;
    }
}

}  // namespace
