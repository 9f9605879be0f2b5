// Straightforward readings of the spatial averaging rules, written from the
// rule texts pixel by pixel: the reference the library's filters must match
// bit for bit (tests) and the baseline of the benchmarks.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace ref {

constexpr uint32_t kLow = 65300;

// Mean of the values that are not 65300 when at least `need` remain.
inline uint16_t validMean(std::initializer_list<uint32_t> values, uint32_t need) {
    uint32_t sum = 0, n = 0;
    for (uint32_t v : values)
        if (v != kLow) sum += v, ++n;
    return n >= need ? static_cast<uint16_t>(sum / n) : static_cast<uint16_t>(kLow);
}

inline std::vector<uint16_t> four(const std::vector<uint16_t> &q, int w, int R) {
    std::vector<uint16_t> o = q;
    if (w < 2 || R < 4) return o;
    auto at = [&](int i) { return static_cast<uint32_t>(q[i]); };
    o[0] = (at(0) + at(1) + at(w) + at(2 * w)) / 4;
    o[w - 1] = (at(w - 2) + at(w - 1) + at(2 * w - 1) + at(3 * w - 1)) / 4;
    for (int i = 1; i <= w - 2; ++i)
        o[i] = (at(i - 1) + at(i) + at(i + 1) + at(i + w) + at(i + 2 * w)) / 5;
    for (int i = w; i <= 2 * w - 2; ++i)
        o[i] = (at(i - w) + at(i - 1) + at(i) + at(i + 1) + at(i + 2 * w)) / 5;
    o[2 * w - 1] = (at(w - 1) + at(2 * w - 2) + at(2 * w - 1) + at(4 * w - 1)) / 4;
    for (int r = 2; r <= R - 3; ++r)
        for (int c = 0; c < w; ++c) {
            const int i = r * w + c;
            if (c == 0)
                o[i] = (at(i - 2 * w) + at(i) + at(i + 1) + at(i + 2 * w)) / 4;
            else if (c == w - 1)
                o[i] = (at(i - 2 * w) + at(i - 1) + at(i) + at(i + 2 * w)) / 4;
            else
                o[i] = validMean({at(i), at(i - 1), at(i + 1), at(i - 2 * w), at(i + 2 * w)}, 3);
        }
    return o;
}

inline std::vector<uint16_t> eight(const std::vector<uint16_t> &q, int w, int R) {
    std::vector<uint16_t> o = q;
    if (w < 3 || R < 5) return o;
    auto at = [&](int i) { return static_cast<uint32_t>(q[i]); };
    for (int r = 2; r <= R - 3; ++r)
        for (int c = 1; c < w - 1; ++c) {
            const int i = r * w + c, u = i - 2 * w, d = i + 2 * w;
            o[i] = validMean({at(i), at(i - 1), at(i + 1), at(u - 1), at(u), at(u + 1), at(d - 1),
                              at(d), at(d + 1)},
                             6);
        }
    return o;
}

}  // namespace ref
