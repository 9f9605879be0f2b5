// Per-pixel unit rays of a lens and the exact 3D built on them. A
// time-of-flight pixel measures the distance along its own ray, so a point is
// distance x unit ray and its depth along the optical axis is distance x the
// ray's z. The rays come from inverting the lens's distortion numerically,
// once per lens and image; every frame is then one multiply per value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/cpu.h"
#include "vizor/lens.h"

namespace vz::rays {

// Where the pixels of an image sit in the lens's own image: pixel (c, r) at
// (x0 + c * sx, y0 + r * sy).
struct Window {
    double x0, y0, sx, sy;
    bool operator==(const Window &) const = default;
};

// The window of an img_w x img_h image that is the lens's image divided by
// whole numbers (binning, a smaller readout of the same optics); false when
// the sizes do not divide.
bool whole_window(const vz_lens_param_t &lens, int img_w, int img_h, Window &win);

// True when the lens can be inverted: finite numbers, nonzero focal lengths.
bool usable(const vz_lens_param_t &lens);

// The normalised undistorted position (x, y) that the lens images onto the
// pixel position (u, v), by Newton's method on the distortion model. False
// (x, y untouched) when it does not converge to within 1e-6 px.
bool undistort_exact(const vz_lens_param_t &lens, double u, double v, double &x, double &y);

// The rays of one image: per pixel the unit ray interleaved (x, y, z) and its
// z again as a plane of its own; NaN for a pixel whose ray was not found.
struct Table {
    int w = 0, h = 0;
    std::unique_ptr<float[]> xyz;
    std::unique_ptr<float[]> z;
};

// Builds the table of an img_w x img_h image in window win of lens.
std::shared_ptr<const Table> build(const vz_lens_param_t &lens, const Window &win, int img_w,
                                   int img_h);

// Tables kept for reuse, keyed by lens, window and size, a few at most (the
// oldest goes). A device keeps one for its driver's lens; caller-supplied
// lenses share the library's.
class Cache {
public:
    // The table, built on first use; null when memory is short.
    std::shared_ptr<const Table> get(const vz_lens_param_t &lens, const Window &win, int img_w,
                                     int img_h);

private:
    struct Entry {
        vz_lens_param_t lens;
        Window win;
        int w, h;
        std::shared_ptr<const Table> table;  // shared with a conversion in progress
    };
    static constexpr size_t kEntries = 4;
    std::mutex mu_;
    std::vector<Entry> entries_;  // oldest first; guarded by mu_
};

// The library's cache for lenses the caller supplies.
Cache &shared_cache();

// True when 0 < v < 60 (a distance the conversions use; NaN, markers, zero
// and negative values are not).
inline bool valid(float v) { return v > 0.0f && v < 60.0f; }

// Per-frame conversions of n = w * h distances through a table. Each fast form
// equals its reference (the straightforward loop) bit for bit; none allocates.
// Organised points: 3n floats, NaN for an invalid pixel.
void points(const Table &t, const float *dist, float *xyz);
void points_reference(const Table &t, const float *dist, float *xyz);
// Valid points only, at most room of them; returns how many were written.
size_t points_packed(const Table &t, const float *dist, float *xyz, size_t room);
// Depth along the optical axis in metres, NaN for an invalid pixel.
void depth(const Table &t, const float *dist, float *z);
void depth_reference(const Table &t, const float *dist, float *z);
// Depth in millimetres (metres x 1000 truncated toward zero), 0 for an invalid
// pixel.
void depth_mm(const Table &t, const float *dist, uint16_t *z);
void depth_mm_reference(const Table &t, const float *dist, uint16_t *z);

// The same at a chosen instruction level (benchmarks and tests compare them).
void points_at(cpu::Level level, const Table &t, const float *dist, float *xyz);
void depth_at(cpu::Level level, const Table &t, const float *dist, float *z);
void depth_mm_at(cpu::Level level, const Table &t, const float *dist, uint16_t *z);

// The public calls' work on a table of the image's size, with their results:
// pixels (organised, depth) or points written (packed); 0 when the buffer is
// too short for an organised image or flags is unknown.
int to_points(const Table &t, float *xyz, int xyz_len, const float *dist, int flags);
int to_depth(const Table &t, float *z, int z_len, const float *dist);
int to_depth_mm(const Table &t, uint16_t *z, int z_len, const float *dist);

}  // namespace vz::rays
