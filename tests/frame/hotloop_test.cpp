// The vectorised colouring and point projection against their
// straightforward twins, bit for bit, at every instruction-set level this
// processor offers: random and edge values, maps whose ranges need the scalar
// path, images with short rows and wide ones, and point buffers that end
// anywhere. Nothing beyond what the twin writes may change.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/convert.h"
#include "core/globals.h"
#include "imgproc/cmap_metres.h"

namespace {

using vz::cpu::Level;

struct Cap {  // lowers the dispatch level for one scope
    explicit Cap(Level l) { vz::cpu::level_cap().store(int(l)); }
    ~Cap() { vz::cpu::level_cap().store(int(Level::avx512)); }
};

std::vector<Level> levels() {
    std::vector<Level> l;
    for (int i = 0; i <= int(vz::cpu::detected()); ++i) l.push_back(Level(i));
    return l;
}

const float kInf = std::numeric_limits<float>::infinity();
const float kEdges[] = {0.0f,       -0.0f, NAN,   kInf,  -kInf,      1e-40f,    -1e-3f,
                        59.999996f, 60.0f, 65.3f, 65.4f, 65.5f,      65.29999f, 5.0f,
                        5.001f,     6.0f,  3e9f,  -3e9f, 2147483.5f, 0.0005f,   0.0009999f};

// Metres: random over the usual range and beyond, a quarter edge values.
std::vector<float> metres(std::mt19937 &rng, size_t n, float hi) {
    std::uniform_real_distribution<float> d(-1.0f, hi);
    std::vector<float> v(n);
    for (float &x : v) x = rng() % 4 == 0 ? kEdges[rng() % std::size(kEdges)] : d(rng);
    return v;
}

TEST(HotLoops, MillimetresTruncateAsTheFrameConversionDoes) {
    for (float v : kEdges) EXPECT_EQ(vz::cmap::millimetres(v), vz::metres_to_mm(v)) << v;
}

TEST(HotLoops, ColouringEqualsTheLookupLoop) {
    std::mt19937 rng(21);
    struct Range {
        int32_t size, a, b;
        bool again;  // set_range(a, a) afterwards: scale = size over the old range
    };
    const Range ranges[] = {{30000, 0, 6000, false},
                            {30000, 5000, 0, false},
                            {8, -100, 100, false},
                            {30000, 65000, 66000, false},
                            {30000, INT32_MIN, INT32_MAX, false},
                            {30000, 0, 6000, true},
                            {1, 0, 1, false},
                            {0, 0, 6000, false},
                            {1 << 20, 0, 70000, true}};
    for (const Range &r : ranges) {
        vz_cmap_t map{};
        vz_cmap_init(&map, r.size);
        vz_cmap_set_range(&map, r.a, r.b);
        if (r.again) vz_cmap_set_range(&map, r.a, r.a);
        const auto src = metres(rng, 1003, 70.0f);
        using vz::cmap::Layout;
        for (Layout layout : {Layout::rgb, Layout::rgb32, Layout::bgr}) {
            std::vector<uint8_t> ref(src.size() * 4 + 8, 0xA5), got(ref);
            vz::cmap::colour_metres_reference(map, src.data(), int(src.size()), ref.data(), layout);
            for (Level l : levels()) {
                std::fill(got.begin(), got.end(), 0xA5);
                vz::cmap::colour_metres(l, map, src.data(), int(src.size()), got.data(), layout);
                EXPECT_EQ(got, ref) << "size " << r.size << " range " << r.a << ".." << r.b
                                    << " layout " << int(layout) << " level " << int(l);
            }
        }
        vz_cmap_uninit(&map);
    }
}

TEST(HotLoops, ProjectionEqualsTheStraightforwardLoop) {
    vz_cmap_t &lib = vz::library_cmap();
    vz_cmap_init(&lib, 30000);
    vz_cmap_set_range(&lib, 0, 6000);
    std::mt19937 rng(4);
    const vz::PclCamera cams[] = {{162.00372, 110.054925, 319.331685, 319.25846, 1.0f},
                                  {3.3, 230.7, 250.5, 410.25, 0.37f},
                                  {1049.5, 1.25, 900.75, 901.5, 1.5f}};
    const struct { int w, h; } sizes[] = {{320, 24}, {7, 5}, {1, 9}, {2049, 2}, {13, 11}};
    using vz::PclExtra;
    for (const auto &cam : cams)
        for (const auto &sz : sizes) {
            const auto dist = metres(rng, size_t(sz.w) * size_t(sz.h), 62.0f);
            for (PclExtra e : {PclExtra::None, PclExtra::Distance, PclExtra::Colour}) {
                const int full = 4 * sz.w * sz.h;
                for (int len : {full, full / 3, 13, 4, 2, 0, 3 * 37 + 2}) {
                    std::vector<float> ref(size_t(full) + 8, -123.0f), got(ref);
                    const int nr = vz::project_points_reference(cam, ref.data(), len, dist.data(),
                                                                sz.w, sz.h, e);
                    for (Level l : levels()) {
                        Cap cap(l);
                        std::fill(got.begin(), got.end(), -123.0f);
                        EXPECT_EQ(
                            vz::project_points(cam, got.data(), len, dist.data(), sz.w, sz.h, e),
                            nr);
                        EXPECT_EQ(0, std::memcmp(got.data(), ref.data(), got.size() * 4))
                            << sz.w << "x" << sz.h << " extra " << int(e) << " len " << len
                            << " level " << int(l);
                    }
                }
            }
        }
    vz_cmap_uninit(&lib);
}

}  // namespace
