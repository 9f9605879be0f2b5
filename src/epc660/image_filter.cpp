// Four- and eight-neighbour averaging of sorted distance images. The border
// rules are plain integer arithmetic; the interior, where almost all pixels
// lie, runs four pixels at a time on compiler vector types. The interior
// mean is the integer quotient of a sum below 2^20 by a count of at most 9:
// the single-precision quotient is then within 2^-8 of the exact one, while a
// non-integral exact quotient is at least 1/9 away from the next integer, so
// truncating the float quotient gives exactly the integer division.
#include "epc660/image_filter.h"

#include <cstring>
#include <initializer_list>

#include "epc660/image_geometry.h"

namespace vz::epc::image {

namespace {

// Four 32-bit lanes: one SSE2/NEON register, no wider ABI needed.
typedef uint16_t u16x4 __attribute__((vector_size(8)));
typedef int32_t i32x4 __attribute__((vector_size(16)));
typedef float f32x4 __attribute__((vector_size(16)));

constexpr int kLanes = 4;

inline i32x4 load(const uint16_t *p) {
    u16x4 v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_convertvector(v, i32x4);
}

// Adds the lanes of v that are not the low-amplitude marker.
inline void take(i32x4 v, i32x4 &sum, i32x4 &count) {
    const i32x4 valid = v != kLowAmplitude;
    sum += v & valid;
    count -= valid;
}

// sum / count where at least `need` values were taken, else the marker.
inline void put(uint16_t *p, i32x4 sum, i32x4 count, int need) {
    const i32x4 divisor = count + ((count == 0) & 1);
    const f32x4 q = __builtin_convertvector(sum, f32x4) / __builtin_convertvector(divisor, f32x4);
    const i32x4 enough = count >= need;
    const i32x4 r = (__builtin_convertvector(q, i32x4) & enough) | (kLowAmplitude & ~enough);
    const u16x4 out = __builtin_convertvector(r, u16x4);
    std::memcpy(p, &out, sizeof out);
}

// The scalar form of the same rule, for the columns the vectors leave.
struct Mean {
    uint32_t sum = 0;
    uint32_t count = 0;
    void take(uint16_t v) {
        if (v == kLowAmplitude) return;
        sum += v;
        ++count;
    }
    uint16_t result(uint32_t need) const {
        return count >= need ? static_cast<uint16_t>(sum / count) : kLowAmplitude;
    }
};

uint16_t mean4(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return static_cast<uint16_t>((a + b + c + d) / 4);
}

uint16_t mean5(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e) {
    return static_cast<uint16_t>((a + b + c + d + e) / 5);
}

// Interior of one row for the four-neighbour rule, columns 1 .. w - 2.
void fourRow(uint16_t *out, const uint16_t *q, int w) {
    const uint16_t *up = q - 2 * w, *down = q + 2 * w;
    int c = 1;
    for (; c + kLanes <= w - 1; c += kLanes) {
        i32x4 sum = {}, count = {};
        take(load(q + c), sum, count);
        take(load(q + c - 1), sum, count);
        take(load(q + c + 1), sum, count);
        take(load(up + c), sum, count);
        take(load(down + c), sum, count);
        put(out + c, sum, count, 3);
    }
    for (; c < w - 1; ++c) {
        Mean m;
        for (uint16_t v : {q[c], q[c - 1], q[c + 1], up[c], down[c]}) m.take(v);
        out[c] = m.result(3);
    }
}

// Interior of one row for the eight-neighbour rule, columns 1 .. w - 2.
void eightRow(uint16_t *out, const uint16_t *q, int w) {
    const uint16_t *up = q - 2 * w, *down = q + 2 * w;
    int c = 1;
    for (; c + kLanes <= w - 1; c += kLanes) {
        i32x4 sum = {}, count = {};
        for (const uint16_t *row : {up, q, down}) {
            take(load(row + c - 1), sum, count);
            take(load(row + c), sum, count);
            take(load(row + c + 1), sum, count);
        }
        put(out + c, sum, count, 6);
    }
    for (; c < w - 1; ++c) {
        Mean m;
        for (const uint16_t *row : {up, q, down})
            for (int dc = -1; dc <= 1; ++dc) m.take(row[c + dc]);
        out[c] = m.result(6);
    }
}

}  // namespace

void averageFour(uint16_t *image, uint16_t *copy, int width, int rows) {
    const int w = width, R = rows;
    if (w < 2 || R < 4) return;
    std::memcpy(copy, image, sizeof(uint16_t) * w * R);
    const uint16_t *q = copy;
    uint16_t *o = image;
    o[0] = mean4(q[0], q[1], q[w], q[2 * w]);
    o[w - 1] = mean4(q[w - 2], q[w - 1], q[2 * w - 1], q[3 * w - 1]);
    for (int i = 1; i <= w - 2; ++i) o[i] = mean5(q[i - 1], q[i], q[i + 1], q[i + w], q[i + 2 * w]);
    for (int i = w; i <= 2 * w - 2; ++i)
        o[i] = mean5(q[i - w], q[i - 1], q[i], q[i + 1], q[i + 2 * w]);
    o[2 * w - 1] = mean4(q[w - 1], q[2 * w - 2], q[2 * w - 1], q[4 * w - 1]);
    for (int r = 2; r <= R - 3; ++r) {
        const int i = r * w, l = i + w - 1;
        o[i] = mean4(q[i - 2 * w], q[i], q[i + 1], q[i + 2 * w]);
        o[l] = mean4(q[l - 2 * w], q[l - 1], q[l], q[l + 2 * w]);
        fourRow(o + i, q + i, w);
    }
}

void averageEight(uint16_t *image, uint16_t *copy, int width, int rows) {
    const int w = width, R = rows;
    if (w < 3 || R < 5) return;
    std::memcpy(copy, image, sizeof(uint16_t) * w * R);
    for (int r = 2; r <= R - 3; ++r) eightRow(image + r * w, copy + r * w, w);
}

}  // namespace vz::epc::image
