// Ray tables (rays.h): the distortion inverted per pixel by Newton's method,
// and the per-frame products of a distance image with the table. The AVX2
// forms do the very same single-precision multiplies as the reference loops,
// eight pixels at a time, so their results are equal bit for bit.
#include "imgproc/rays.h"

#include "base/firewall.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#ifdef VZ_X86_DISPATCH
#include <immintrin.h>
#endif

namespace vz::rays {

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

bool same_lens(const vz_lens_param_t &a, const vz_lens_param_t &b) {
    if (a.cx != b.cx || a.cy != b.cy || a.fx != b.fx || a.fy != b.fy) return false;
    if (a.width != b.width || a.height != b.height) return false;
    for (int i = 0; i < 5; ++i)
        if (a.dist_coeff[i] != b.dist_coeff[i]) return false;
    return true;
}

// The distortion model at (x, y): the distorted normalised position and the
// Jacobian of it (row-major 2 x 2).
void distort_with_jacobian(const double c[5], double x, double y, double &xd, double &yd,
                           double j[4]) {
    const double k1 = c[0], k2 = c[1], p1 = c[2], p2 = c[3], k3 = c[4];
    const double r2 = x * x + y * y;
    const double kr = 1 + k1 * r2 + k2 * r2 * r2 + k3 * r2 * r2 * r2;
    const double dkr = k1 + 2 * k2 * r2 + 3 * k3 * r2 * r2;  // d kr / d r2
    xd = x * kr + 2 * p1 * x * y + p2 * (r2 + 2 * x * x);
    yd = y * kr + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y;
    j[0] = kr + 2 * x * x * dkr + 2 * p1 * y + 6 * p2 * x;
    j[1] = 2 * x * y * dkr + 2 * p1 * x + 2 * p2 * y;
    j[2] = 2 * x * y * dkr + 2 * p1 * x + 2 * p2 * y;
    j[3] = kr + 2 * y * y * dkr + 6 * p1 * y + 2 * p2 * x;
}

}  // namespace

bool usable(const vz_lens_param_t &lens) {
    const double v[4] = {lens.cx, lens.cy, lens.fx, lens.fy};
    for (double d : v)
        if (!std::isfinite(d)) return false;
    for (double d : lens.dist_coeff)
        if (!std::isfinite(d)) return false;
    return lens.fx != 0 && lens.fy != 0;
}

bool whole_window(const vz_lens_param_t &lens, int img_w, int img_h, Window &win) {
    if (img_w <= 0 || img_h <= 0 || lens.width <= 0 || lens.height <= 0) return false;
    if (lens.width % img_w != 0 || lens.height % img_h != 0) return false;
    win = Window{0, 0, double(lens.width / img_w), double(lens.height / img_h)};
    return true;
}

bool undistort_exact(const vz_lens_param_t &lens, double u, double v, double &x, double &y) {
    const double tx = (u - lens.cx) / lens.fx, ty = (v - lens.cy) / lens.fy;
    double ax = tx, ay = ty;
    // Converged when the model puts (x, y) within 1e-6 px of the pixel.
    const double tol_x = 1e-6 / std::fabs(lens.fx), tol_y = 1e-6 / std::fabs(lens.fy);
    for (int it = 0; it < 50; ++it) {
        double xd = 0, yd = 0, j[4];
        distort_with_jacobian(lens.dist_coeff, ax, ay, xd, yd, j);
        const double ex = xd - tx, ey = yd - ty;
        if (!std::isfinite(ex) || !std::isfinite(ey)) return false;
        if (std::fabs(ex) < tol_x && std::fabs(ey) < tol_y) {
            x = ax;
            y = ay;
            return true;
        }
        const double det = j[0] * j[3] - j[1] * j[2];
        if (!(std::fabs(det) > 1e-12)) return false;
        ax -= (j[3] * ex - j[1] * ey) / det;
        ay -= (j[0] * ey - j[2] * ex) / det;
    }
    return false;
}

std::shared_ptr<const Table> build(const vz_lens_param_t &lens, const Window &win, int img_w,
                                   int img_h) {
    auto t = std::make_shared<Table>();
    const size_t n = size_t(img_w) * size_t(img_h);
    t->w = img_w;
    t->h = img_h;
    t->xyz.reset(new float[3 * n]);
    t->z.reset(new float[n]);
    for (int r = 0; r < img_h; ++r) {
        for (int c = 0; c < img_w; ++c) {
            const size_t i = size_t(r) * size_t(img_w) + size_t(c);
            double x = 0, y = 0;
            float *out = &t->xyz[3 * i];
            if (!undistort_exact(lens, win.x0 + c * win.sx, win.y0 + r * win.sy, x, y)) {
                out[0] = out[1] = out[2] = t->z[i] = kNaN;
                continue;
            }
            const double k = 1 / std::sqrt(x * x + y * y + 1);
            out[0] = float(x * k);
            out[1] = float(y * k);
            out[2] = float(k);
            t->z[i] = out[2];
        }
    }
    return t;
}

std::shared_ptr<const Table> Cache::get(const vz_lens_param_t &lens, const Window &win, int img_w,
                                        int img_h) {
    std::lock_guard lk(mu_);
    for (const Entry &e : entries_)
        if (e.w == img_w && e.h == img_h && e.win == win && same_lens(e.lens, lens)) return e.table;
    try {
        auto t = build(lens, win, img_w, img_h);
        if (entries_.size() >= kEntries) entries_.erase(entries_.begin());
        entries_.push_back(Entry{lens, win, img_w, img_h, t});
        return t;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

Cache &shared_cache() {
    static Cache c;
    return c;
}

// ---- per frame: the reference loops -------------------------------------------

namespace {

size_t count(const Table &t) { return size_t(t.w) * size_t(t.h); }

void points_scalar(const float *ray, const float *dist, float *xyz, size_t from, size_t n) {
    for (size_t i = from; i < n; ++i) {
        const float v = dist[i];
        if (valid(v)) {
            xyz[3 * i] = v * ray[3 * i];
            xyz[3 * i + 1] = v * ray[3 * i + 1];
            xyz[3 * i + 2] = v * ray[3 * i + 2];
        } else {
            xyz[3 * i] = xyz[3 * i + 1] = xyz[3 * i + 2] = kNaN;
        }
    }
}

void depth_scalar(const float *rz, const float *dist, float *z, size_t from, size_t n) {
    for (size_t i = from; i < n; ++i) z[i] = valid(dist[i]) ? dist[i] * rz[i] : kNaN;
}

// Metres to millimetres, truncated toward zero; 0 (invalid) where the
// product is not a positive number below 65536.
inline uint16_t to_mm(float z) {
    const float m = z * 1000.0f;
    return m >= 0.0f && m < 65536.0f ? uint16_t(int32_t(m)) : 0;
}

void depth_mm_scalar(const float *rz, const float *dist, uint16_t *z, size_t from, size_t n) {
    for (size_t i = from; i < n; ++i) z[i] = valid(dist[i]) ? to_mm(dist[i] * rz[i]) : 0;
}

#ifdef VZ_X86_DISPATCH
// Lanes 0..7 of the valid mask: 0 < v < 60, false for NaN.
VZ_TARGET_AVX2 inline __m256 valid8(__m256 v) {
    return _mm256_and_ps(_mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GT_OQ),
                         _mm256_cmp_ps(v, _mm256_set1_ps(60.0f), _CMP_LT_OQ));
}

VZ_TARGET_AVX2 void points_avx2(const float *ray, const float *dist, float *xyz, size_t n) {
    // Each distance repeated three times across the 24 output floats.
    const __m256i i0 = _mm256_setr_epi32(0, 0, 0, 1, 1, 1, 2, 2);
    const __m256i i1 = _mm256_setr_epi32(2, 3, 3, 3, 4, 4, 4, 5);
    const __m256i i2 = _mm256_setr_epi32(5, 5, 6, 6, 6, 7, 7, 7);
    const __m256 nan = _mm256_set1_ps(kNaN);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_loadu_ps(dist + i);
        const __m256 ok = valid8(v);
        const float *r = ray + 3 * i;
        float *o = xyz + 3 * i;
        const __m256 p0 = _mm256_mul_ps(_mm256_permutevar8x32_ps(v, i0), _mm256_loadu_ps(r));
        const __m256 p1 = _mm256_mul_ps(_mm256_permutevar8x32_ps(v, i1), _mm256_loadu_ps(r + 8));
        const __m256 p2 = _mm256_mul_ps(_mm256_permutevar8x32_ps(v, i2), _mm256_loadu_ps(r + 16));
        _mm256_storeu_ps(o, _mm256_blendv_ps(nan, p0, _mm256_permutevar8x32_ps(ok, i0)));
        _mm256_storeu_ps(o + 8, _mm256_blendv_ps(nan, p1, _mm256_permutevar8x32_ps(ok, i1)));
        _mm256_storeu_ps(o + 16, _mm256_blendv_ps(nan, p2, _mm256_permutevar8x32_ps(ok, i2)));
    }
    points_scalar(ray, dist, xyz, i, n);
}

VZ_TARGET_AVX2 void depth_avx2(const float *rz, const float *dist, float *z, size_t n) {
    const __m256 nan = _mm256_set1_ps(kNaN);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_loadu_ps(dist + i);
        const __m256 p = _mm256_mul_ps(v, _mm256_loadu_ps(rz + i));
        _mm256_storeu_ps(z + i, _mm256_blendv_ps(nan, p, valid8(v)));
    }
    depth_scalar(rz, dist, z, i, n);
}

VZ_TARGET_AVX2 void depth_mm_avx2(const float *rz, const float *dist, uint16_t *z, size_t n) {
    const __m256 k1000 = _mm256_set1_ps(1000.0f), lim = _mm256_set1_ps(65536.0f);
    const __m256 zero = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_loadu_ps(dist + i);
        const __m256 m = _mm256_mul_ps(_mm256_mul_ps(v, _mm256_loadu_ps(rz + i)), k1000);
        const __m256 ok = _mm256_and_ps(
            valid8(v),
            _mm256_and_ps(_mm256_cmp_ps(m, zero, _CMP_GE_OQ), _mm256_cmp_ps(m, lim, _CMP_LT_OQ)));
        const __m256i mm = _mm256_and_si256(_mm256_cvttps_epi32(m), _mm256_castps_si256(ok));
        // 32 to 16 bits: the values are below 65536, so unsigned saturation
        // keeps them; the pack works per 128-bit half.
        const __m128i lo = _mm256_castsi256_si128(mm), hi = _mm256_extracti128_si256(mm, 1);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(z + i), _mm_packus_epi32(lo, hi));
    }
    depth_mm_scalar(rz, dist, z, i, n);
}
#endif

}  // namespace

void points_reference(const Table &t, const float *dist, float *xyz) {
    points_scalar(t.xyz.get(), dist, xyz, 0, count(t));
}

void depth_reference(const Table &t, const float *dist, float *z) {
    depth_scalar(t.z.get(), dist, z, 0, count(t));
}

void depth_mm_reference(const Table &t, const float *dist, uint16_t *z) {
    depth_mm_scalar(t.z.get(), dist, z, 0, count(t));
}

void points_at(cpu::Level level, const Table &t, const float *dist, float *xyz) {
#ifdef VZ_X86_DISPATCH
    if (level >= cpu::Level::avx2) return points_avx2(t.xyz.get(), dist, xyz, count(t));
#endif
    (void)level;
    points_reference(t, dist, xyz);
}

void depth_at(cpu::Level level, const Table &t, const float *dist, float *z) {
#ifdef VZ_X86_DISPATCH
    if (level >= cpu::Level::avx2) return depth_avx2(t.z.get(), dist, z, count(t));
#endif
    (void)level;
    depth_reference(t, dist, z);
}

void depth_mm_at(cpu::Level level, const Table &t, const float *dist, uint16_t *z) {
#ifdef VZ_X86_DISPATCH
    if (level >= cpu::Level::avx2) return depth_mm_avx2(t.z.get(), dist, z, count(t));
#endif
    (void)level;
    depth_mm_reference(t, dist, z);
}

void points(const Table &t, const float *dist, float *xyz) {
    points_at(cpu::level(), t, dist, xyz);
}
void depth(const Table &t, const float *dist, float *z) { depth_at(cpu::level(), t, dist, z); }
void depth_mm(const Table &t, const float *dist, uint16_t *z) {
    depth_mm_at(cpu::level(), t, dist, z);
}

size_t points_packed(const Table &t, const float *dist, float *xyz, size_t room) {
    const float *ray = t.xyz.get();
    const size_t n = count(t);
    size_t k = 0;
    for (size_t i = 0; i < n && k < room; ++i) {
        const float v = dist[i];
        if (!valid(v) || std::isnan(ray[3 * i])) continue;
        xyz[3 * k] = v * ray[3 * i];
        xyz[3 * k + 1] = v * ray[3 * i + 1];
        xyz[3 * k + 2] = v * ray[3 * i + 2];
        ++k;
    }
    return k;
}

}  // namespace vz::rays

namespace vz::rays {

namespace {

size_t pixels(const Table &t) { return size_t(t.w) * size_t(t.h); }

// Larger images are refused before any table is computed.
constexpr size_t kMaxPixels = size_t(1) << 26;

// The window of a public call, after checking the lens, the window and the
// sizes; false when one is unusable.
bool window_of(const vz_lens_param_t *lens, const vz_lens_window_t *win, int img_w, int img_h,
               Window &w) {
    if (!lens || img_w <= 0 || img_h <= 0 || !usable(*lens)) return false;
    if (size_t(img_w) * size_t(img_h) > kMaxPixels) return false;
    if (!win) return whole_window(*lens, img_w, img_h, w);
    w = Window{win->x0, win->y0, win->step_x, win->step_y};
    return std::isfinite(w.x0) && std::isfinite(w.y0) && w.sx > 0 && w.sy > 0 &&
           std::isfinite(w.sx) && std::isfinite(w.sy);
}

// The kept table for a public call; null when an argument is unusable.
std::shared_ptr<const Table> table_for(const vz_lens_param_t *lens, const vz_lens_window_t *win,
                                       int img_w, int img_h) {
    Window w{};
    if (!window_of(lens, win, img_w, img_h, w)) return nullptr;
    return shared_cache().get(*lens, w, img_w, img_h);
}

}  // namespace

int to_points(const Table &t, float *xyz, int xyz_len, const float *dist, int flags) {
    const size_t n = pixels(t);
    const size_t room = xyz_len > 0 ? size_t(xyz_len) / 3 : 0;
    if (flags == VZ_POINTS_PACKED) return int(points_packed(t, dist, xyz, room));
    if (flags != VZ_POINTS_ORGANISED || room < n) return 0;
    points(t, dist, xyz);
    return int(n);
}

int to_depth(const Table &t, float *z, int z_len, const float *dist) {
    const size_t n = pixels(t);
    if (z_len < 0 || size_t(z_len) < n) return 0;
    depth(t, dist, z);
    return int(n);
}

int to_depth_mm(const Table &t, uint16_t *z, int z_len, const float *dist) {
    const size_t n = pixels(t);
    if (z_len < 0 || size_t(z_len) < n) return 0;
    depth_mm(t, dist, z);
    return int(n);
}

}  // namespace vz::rays

extern "C" {

VZ_API int vz_lens_rays(const vz_lens_param_t *lens, const vz_lens_window_t *win, int img_w,
                        int img_h, float *rays, int rays_len) noexcept {
    return vz::entry(__func__, 0, [&] {
        if (!rays || img_w <= 0 || img_h <= 0) return 0;
        if (rays_len < 0 || size_t(rays_len) / 3 < size_t(img_w) * size_t(img_h)) return 0;
        vz::rays::Window w{};
        if (!vz::rays::window_of(lens, win, img_w, img_h, w)) return 0;
        const auto t = vz::rays::build(*lens, w, img_w, img_h);
        std::copy_n(t->xyz.get(), 3 * size_t(img_w) * size_t(img_h), rays);
        return img_w * img_h;
    });
}

VZ_API int vz_lens_points(const vz_lens_param_t *lens, const vz_lens_window_t *win, float *xyz,
                          int xyz_len, const float *dist, int img_w, int img_h,
                          int flags) noexcept {
    return vz::entry(__func__, 0, [&] {
        if (!vz::all_set(xyz, dist)) return 0;
        const auto t = vz::rays::table_for(lens, win, img_w, img_h);
        return t ? vz::rays::to_points(*t, xyz, xyz_len, dist, flags) : 0;
    });
}

VZ_API int vz_lens_depth(const vz_lens_param_t *lens, const vz_lens_window_t *win, float *depth,
                         int depth_len, const float *dist, int img_w, int img_h) noexcept {
    return vz::entry(__func__, 0, [&] {
        if (!vz::all_set(depth, dist)) return 0;
        const auto t = vz::rays::table_for(lens, win, img_w, img_h);
        return t ? vz::rays::to_depth(*t, depth, depth_len, dist) : 0;
    });
}

VZ_API int vz_lens_depth_mm(const vz_lens_param_t *lens, const vz_lens_window_t *win,
                            uint16_t *depth, int depth_len, const float *dist, int img_w,
                            int img_h) noexcept {
    return vz::entry(__func__, 0, [&] {
        if (!vz::all_set(depth, dist)) return 0;
        const auto t = vz::rays::table_for(lens, win, img_w, img_h);
        return t ? vz::rays::to_depth_mm(*t, depth, depth_len, dist) : 0;
    });
}

}  // extern "C"
