// The vectorised colouring and point projection against their
// straightforward twins, bit for bit, at every instruction-set level this
// processor offers: random and edge values, maps whose ranges need the scalar
// path, images with short rows and wide ones, and point buffers that end
// anywhere. Nothing beyond what the twin writes may change.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/convert.h"
#include "core/globals.h"
#include "core/pcl_quotient.h"
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

#ifdef VZ_X86_DISPATCH
// Eight product-form quotients a[i] / b[i].
VZ_TARGET_PCL512 void product_quotients(const double *a, const float *b, double *q) {
    alignas(64) double bd[8], y[8];
    for (int i = 0; i < 8; ++i) {
        bd[i] = b[i];
        y[i] = 1.0 / bd[i];
    }
    _mm512_storeu_pd(q,
                     vz::pcl::quotient(_mm512_loadu_pd(a), _mm512_load_pd(bd), _mm512_load_pd(y)));
}

// The same in two four-lane steps.
VZ_TARGET_PCL_AVX2 void product_quotients4(const double *a, const float *b, double *q) {
    for (int h = 0; h < 8; h += 4) {
        alignas(32) double bd[4], y[4];
        for (int i = 0; i < 4; ++i) {
            bd[i] = b[h + i];
            y[i] = 1.0 / bd[i];
        }
        _mm256_storeu_pd(q + h, vz::pcl::quotient(_mm256_loadu_pd(a + h), _mm256_load_pd(bd),
                                                  _mm256_load_pd(y)));
    }
}
#endif

uint64_t bits(double v) {
    uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

// The product form of the vector projection's divisions against the division,
// bit for bit, on the dividends the projection forms (float by float, float
// by double, any double) and on dividends whose quotient lies next to a
// midpoint between two doubles, where a product without its correction rounds
// the other way.
TEST(HotLoops, ProductQuotientEqualsTheDivision) {
#ifdef VZ_X86_DISPATCH
    if (vz::cpu::detected() < Level::avx512) GTEST_SKIP() << "no AVX-512";
    std::mt19937_64 rng(33);
    std::uniform_real_distribution<double> mant(1.0, 2.0), unit(-1.0, 1.0);
    std::uniform_int_distribution<int> fexp(-120, 120), dexp(-250, 250);
    auto any_float = [&] { return float(std::ldexp(mant(rng), fexp(rng))); };
    int wrong = 0, near_midpoint = 0;
    for (int round = 0; round < 40000; ++round) {
        alignas(64) double a[8], q[8], q4[8];
        alignas(64) float b[8];
        for (int i = 0; i < 8; ++i) {
            b[i] = any_float();
            if (i == 7) b[i] = std::nextafter(std::ldexp(1.0f, fexp(rng)), 0.0f);  // all ones
            const float d = float(std::ldexp(mant(rng), -(round % 40))) * (rng() % 2 ? 1 : -1);
            switch ((round + i) % 5) {
            case 0: a[i] = double(d) * double(float(unit(rng) * 400)); break;
            case 1: a[i] = double(d) * (unit(rng) * 1e4); break;
            case 2: a[i] = std::ldexp(unit(rng), dexp(rng)); break;
            case 3: a[i] = double(d) * 0.0; break;  // signed zeros
            default: {                              // a / b next to a midpoint m = q + ulp(q) / 2
                const double qv = std::ldexp(mant(rng), fexp(rng));
                const long double m =
                    (long double)qv + ((long double)std::nextafter(qv, 1e300) - qv) / 2;
                a[i] = double(m * (long double)b[i]);
                ++near_midpoint;
            }
            }
        }
        product_quotients(a, b, q);
        product_quotients4(a, b, q4);
        for (int i = 0; i < 8; ++i) {
            const double want = a[i] / double(b[i]);
            if ((bits(q[i]) != bits(want) || bits(q4[i]) != bits(want)) && ++wrong <= 5)
                ADD_FAILURE() << a[i] << " / " << b[i] << ": " << q[i] << " and " << q4[i]
                              << " instead of " << want;
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(near_midpoint, 10000);
#else
    GTEST_SKIP() << "x86 only";
#endif
}

// Images with a share of invalid pixels (no distance, signed zeros, NaN,
// infinities, the status markers, 60 m and beyond, negatives) among valid
// distances; the share decides how many groups of the vector path are
// partial, empty or full.
std::vector<float> with_invalid(std::mt19937 &rng, size_t n, int percent) {
    static const float kInvalid[] = {0.0f,  -0.0f, NAN,   -NAN,  kInf,  -kInf,
                                     65.3f, 65.4f, 65.5f, 60.0f, 1e30f, -2.5f};
    std::uniform_real_distribution<float> d(1e-3f, 59.99f);
    std::vector<float> v(n);
    for (float &x : v)
        x = int(rng() % 100) < percent ? kInvalid[rng() % std::size(kInvalid)] : d(rng);
    return v;
}

// Projects at every level and compares with the twin, points and untouched
// tail alike.
void expect_projection_equal(const vz::PclCamera &cam, const std::vector<float> &dist, int w, int h,
                             int len, vz::PclExtra e, const char *what) {
    std::vector<float> ref(size_t(4) * size_t(w) * size_t(h) + 40, -123.0f), got(ref);
    const int nr = vz::project_points_reference(cam, ref.data(), len, dist.data(), w, h, e);
    for (Level l : levels()) {
        Cap cap(l);
        std::fill(got.begin(), got.end(), -123.0f);
        EXPECT_EQ(vz::project_points(cam, got.data(), len, dist.data(), w, h, e), nr) << what;
        EXPECT_EQ(0, std::memcmp(got.data(), ref.data(), got.size() * 4))
            << what << " " << w << "x" << h << " extra " << int(e) << " len " << len << " level "
            << int(l) << " camera " << cam.cx << "," << cam.cy << "," << cam.fx << "," << cam.fy
            << " scale " << cam.scale;
    }
}

TEST(HotLoops, ProjectionWithInvalidPixelsEqualsTheStraightforwardLoop) {
    vz_cmap_t &lib = vz::library_cmap();
    vz_cmap_init(&lib, 30000);
    vz_cmap_set_range(&lib, 0, 6000);
    std::mt19937 rng(31);
    const struct { int w, h; } sizes[] = {{320, 240}, {16, 2}, {17, 3}, {1, 1}, {2048, 2}, {45, 7}};
    using vz::PclExtra;
    const vz::PclCamera cam{162.00372, 110.054925, 319.331685, 319.25846, 1.0f};
    for (int percent : {0, 25, 100})
        for (const auto &sz : sizes) {
            const auto dist = with_invalid(rng, size_t(sz.w) * size_t(sz.h), percent);
            for (PclExtra e : {PclExtra::None, PclExtra::Distance, PclExtra::Colour}) {
                const int full = 4 * sz.w * sz.h;
                for (int len : {full, full / 2 + 1, 3 * 16 + 2, 4 * 17, 5})
                    expect_projection_equal(cam, dist, sz.w, sz.h, len, e,
                                            percent == 0    ? "0 % invalid"
                                            : percent == 25 ? "25 % invalid"
                                                            : "100 % invalid");
            }
        }
    vz_cmap_uninit(&lib);
}

// Camera terms a caller may pass: ones that keep the quotients ordinary,
// ones at the edges of the fast path's range (zero and huge focal lengths and
// scales, a principal point far outside, a row or column through the axis
// with no focal length: division by zero), and random ones over many
// magnitudes, which exercise the quotient on many divisors.
TEST(HotLoops, ProjectionEqualsTheStraightforwardLoopForAnyCameraTerms) {
    std::mt19937 rng(32);
    const double kNan = std::numeric_limits<double>::quiet_NaN();
    std::vector<vz::PclCamera> cams = {
        {3.0, 2.0, 0.0, 0.0, 1.0f},        {3.5, 2.5, 0.0, 0.0, 1.0f},
        {3.0, 2.0, 1e-120, 1e-120, 1.0f},  {3.0, 2.0, 1e-90, 1e-90, 1.0f},
        {3.0, 2.0, 1e120, 1e120, 1.0f},    {3.0, 2.0, 1e90, 1e90, 1.0f},
        {1e25, -1e25, 500.0, 500.0, 1.0f}, {1e40, 2.0, 500.0, 500.0, 1.0f},
        {3.0, 2.0, -700.0, -650.0, 1.0f},  {3.0, 2.0, 500.0, 500.0, 0.0f},
        {3.0, 2.0, 500.0, 500.0, -0.0f},   {3.0, 2.0, 500.0, 500.0, -2.0f},
        {3.0, 2.0, 500.0, 500.0, 1e30f},   {3.0, 2.0, 500.0, 500.0, 1e31f},
        {3.0, 2.0, 500.0, 500.0, 1e-44f},  {3.0, 2.0, 500.0, 500.0, NAN},
        {3.0, 2.0, 500.0, 500.0, kInf},    {kNan, 2.0, 500.0, 500.0, 1.0f},
        {3.0, kNan, 500.0, kNan, 1.0f},    {3.0, 2.0, kNan, 500.0, 1.0f},
    };
    std::uniform_real_distribution<double> expo(-30.0, 30.0), unit(-1.0, 1.0);
    for (int i = 0; i < 300; ++i) {
        const double fx = std::pow(10.0, expo(rng)) * (i % 7 ? 1.0 : -1.0);
        cams.push_back({unit(rng) * 40.0, unit(rng) * 40.0, fx, std::pow(10.0, expo(rng)),
                        float(std::pow(10.0, expo(rng) / 3.0))});
    }
    vz_cmap_t &lib = vz::library_cmap();
    vz_cmap_init(&lib, 30000);
    vz_cmap_set_range(&lib, 0, 6000);
    using vz::PclExtra;
    for (const auto &cam : cams) {
        const auto dist = with_invalid(rng, 37 * 5, 25);
        for (PclExtra e : {PclExtra::None, PclExtra::Distance, PclExtra::Colour})
            expect_projection_equal(cam, dist, 37, 5, 4 * 37 * 5, e, "camera terms");
    }
    vz_cmap_uninit(&lib);
}

}  // namespace
