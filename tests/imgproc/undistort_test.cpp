// The indexed undistortion against the straightforward gather, bit for bit:
// on a real lens through the API and on maps full of edge coordinates, at
// every instruction-set level this processor offers, and after a map is
// rebuilt where the previous one lived.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "imgproc/lens_model.h"
#include "imgproc/undistort.h"
#include "vizor/lens.h"

namespace {

using vz::cpu::Level;

const vz_lens_param_t kEpcLens = {
    324.00744, 220.10985, 638.66337, 638.51692, {-0.27313, 0.14523, -0.00099, 0.00032, 0.0},
    640,       480};

std::vector<Level> levels() {
    std::vector<Level> l;
    for (int i = 0; i <= int(vz::cpu::detected()); ++i) l.push_back(Level(i));
    return l;
}

struct Cap {  // lowers the dispatch level for one scope
    explicit Cap(Level l) { vz::cpu::level_cap().store(int(l)); }
    ~Cap() { vz::cpu::level_cap().store(int(Level::avx512)); }
};

// Source values with NaN payloads, signed zeros and infinities among them.
std::vector<float> source(std::mt19937 &rng, size_t n) {
    std::vector<float> v(n);
    std::uniform_real_distribution<float> d(-5, 5);
    for (size_t i = 0; i < n; ++i) {
        uint32_t bits = uint32_t(rng());
        if (bits % 5 == 0)
            std::memcpy(&v[i], &bits, 4);  // any bit pattern
        else
            v[i] = d(rng);
    }
    return v;
}

::testing::AssertionResult same_bits(const std::vector<float> &a, const std::vector<float> &b) {
    for (size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], 4) != 0)
            return ::testing::AssertionFailure() << "pixel " << i << ": " << a[i] << " vs " << b[i];
    return ::testing::AssertionSuccess();
}

std::vector<float> reference(const vz_calib_map_t &m, const std::vector<float> &src, int w, int h,
                             float invalid) {
    std::vector<float> out(size_t(w) * size_t(h));
    vz::lens::undistort_reference(m, out.data(), src.data(), w, h, invalid);
    return out;
}

TEST(UndistortIndexed, EpcLensThroughTheApiAtEveryLevel) {
    vz_calib_map_t map{};
    ASSERT_GT(vz_calib_len_init_map(&map, &kEpcLens), 0);
    std::mt19937 rng(11);
    for (Level l : levels()) {
        Cap cap(l);
        for (auto [w, h] : {std::pair{320, 240}, {640, 480}, {160, 120}, {213, 160}, {64, 480}}) {
            if (640 % w || 480 % h) continue;
            const auto src = source(rng, size_t(w) * size_t(h));
            std::vector<float> dst(src.size());
            ASSERT_EQ(
                vz_calib_len_undistort(&map, dst.data(), int(dst.size()), src.data(), w, h, 30.0f),
                1);
            EXPECT_TRUE(same_bits(dst, reference(map, src, w, h, 30.0f)))
                << w << "x" << h << " level " << int(l);
        }
    }
    // A map rebuilt for another lens (its arrays likely at the same
    // addresses) must not reuse the index maps of the first.
    vz_calib_len_uninit_map(&map);
    vz_lens_param_t other = kEpcLens;
    other.dist_coeff[0] = 0.1;
    other.cx = 300;
    ASSERT_GT(vz_calib_len_init_map(&map, &other), 0);
    const auto src = source(rng, 320 * 240);
    std::vector<float> dst(src.size());
    ASSERT_EQ(vz_calib_len_undistort(&map, dst.data(), int(dst.size()), src.data(), 320, 240, 0),
              1);
    EXPECT_TRUE(same_bits(dst, reference(map, src, 320, 240, 0)));
    vz_calib_len_uninit_map(&map);
}

TEST(UndistortIndexed, EdgeCoordinatesAtEveryScaleAndLevel) {
    const float inf = std::numeric_limits<float>::infinity();
    const float edges[] = {-1.5f, -1.4999999f, -0.5f, 0.4999999f, 0.5f,   -0.0f,
                           NAN,   inf,         -inf,  1e30f,      -1e30f, 2.9999998f,
                           3.0f,  5.5f,        6.0f,  6.4999995f, 7.0f};
    std::mt19937 rng(5);
    // Map sizes over source sizes: scales 1, 2, 3 and 4 (also not powers of
    // two), widths that leave vector tails.
    const struct {
        int mw, mh, w, h;
    } cases[] = {{37, 3, 37, 3}, {74, 6, 37, 3}, {39, 9, 13, 3}, {12, 8, 3, 2}, {17, 1, 17, 1}};
    for (const auto &c : cases) {
        const size_t n = size_t(c.mw) * size_t(c.mh);
        std::vector<float> mx(n), my(n);
        std::uniform_real_distribution<float> d(-3, float(c.mw) + 3);
        for (size_t i = 0; i < n; ++i) {
            mx[i] = rng() % 2 ? edges[rng() % std::size(edges)] * float(c.mw / c.w) : d(rng);
            my[i] = rng() % 2 ? edges[rng() % std::size(edges)] * float(c.mh / c.h)
                              : d(rng) * float(c.mh) / float(c.mw);
        }
        const vz_calib_map_t m{mx.data(), my.data(), int32_t(n), c.mw, c.mh, {}, true};
        const auto src = source(rng, size_t(c.w) * size_t(c.h));
        const auto ref = reference(m, src, c.w, c.h, -7.0f);
        std::vector<int32_t> idx(src.size());
        vz::lens::build_index_map(m, c.w, c.h, idx.data());
        std::vector<int16_t> delta(src.size());
        ASSERT_TRUE(vz::lens::to_deltas(idx.data(), idx.size(), delta.data()));
        for (Level l : levels()) {
            std::vector<float> dst(src.size()), dst16(src.size());
            vz::lens::gather_indexed(l, idx.data(), dst.size(), src.data(), -7.0f, dst.data());
            vz::lens::gather_deltas(l, delta.data(), dst.size(), src.data(), -7.0f, dst16.data());
            EXPECT_TRUE(same_bits(dst, ref)) << c.mw << "x" << c.mh << " level " << int(l);
            EXPECT_TRUE(same_bits(dst16, ref)) << c.mw << "x" << c.mh << " level " << int(l);
        }
    }
}

TEST(UndistortIndexed, OffsetsBeyondSixteenBitsKeepTheWideForm) {
    constexpr int32_t kLast = 40000;
    std::vector<int32_t> idx(kLast + 1, -1);
    std::vector<int16_t> delta(idx.size());
    for (auto [offset, fits] : {std::pair{32767, true}, {-32767, true}, {-32768, false}}) {
        idx[kLast] = kLast + offset;
        EXPECT_EQ(vz::lens::to_deltas(idx.data(), idx.size(), delta.data()), fits) << offset;
    }
    idx.assign(3, -1);
    idx[1] = 32769;
    EXPECT_FALSE(vz::lens::to_deltas(idx.data(), idx.size(), delta.data()));
}

}  // namespace
