// Double-precision vec3 / mat3 / mat4 / quat helpers. Matrices are column
// major. Every operation computes into locals first, so any of its arrays may
// alias the destination. Each entry checks its required operands first: a
// NULL one gives NULL (pointer results), NaN (number results) or -1 (text).
#include "vizor/math3d.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "base/firewall.h"

namespace {

// Result of the functions that return a number when an operand is NULL.
constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

double *alloc_zeroed(size_t n, const double *src) {
    auto *p = static_cast<double *>(calloc(n, sizeof(double)));
    if (p && src) memcpy(p, src, n * sizeof(double));
    return p;
}

// Writes n values as "[v0, v1, ...]" with "%f" each, snprintf-style.
int print_values(const double *v, int n, char *buf, size_t len) {
    if (!buf) len = 0;
    size_t total = 0;
    auto put = [&](int r) {
        if (r < 0) return false;
        total += size_t(r);
        return true;
    };
    auto room = [&]() -> char * { return total < len ? buf + total : nullptr; };
    auto left = [&]() -> size_t { return total < len ? len - total : 0; };
    if (!put(snprintf(room(), left(), "["))) return -1;
    for (int i = 0; i < n; ++i) {
        if (!put(snprintf(room(), left(), i ? ", %f" : "%f", v[i]))) return -1;
    }
    if (!put(snprintf(room(), left(), "]"))) return -1;
    return int(total);
}

void store(double *dest, const double *src, size_t n) { memmove(dest, src, n * sizeof(double)); }

// The *_set calls: copy n values into dest, or hand src back when dest is NULL.
double *set_values(const double *src, double *dest, size_t n) {
    if (!dest) return const_cast<double *>(src);
    store(dest, src, n);
    return dest;
}

// The *_identity calls: the n x n identity into dest (allocated when NULL).
double *identity(double *dest, size_t n) {
    if (!dest) dest = alloc_zeroed(n * n, nullptr);
    if (!dest) return nullptr;
    for (size_t i = 0; i < n * n; ++i) dest[i] = i % (n + 1) == 0 ? 1 : 0;
    return dest;
}

// Inverse of the upper-left 3 x 3 block of a column-major mat4, written as a
// column-major mat3. False when that block is singular.
bool inverse3(const double *m, double *out) {
    const double a00 = m[0], a01 = m[1], a02 = m[2];
    const double a10 = m[4], a11 = m[5], a12 = m[6];
    const double a20 = m[8], a21 = m[9], a22 = m[10];
    const double b01 = a22 * a11 - a12 * a21;
    const double b11 = -a22 * a10 + a12 * a20;
    const double b21 = a21 * a10 - a11 * a20;
    const double d = a00 * b01 + a01 * b11 + a02 * b21;
    if (d == 0) return false;
    const double id = 1 / d;
    out[0] = b01 * id;
    out[1] = (-a22 * a01 + a02 * a21) * id;
    out[2] = (a12 * a01 - a02 * a11) * id;
    out[3] = b11 * id;
    out[4] = (a22 * a00 - a02 * a20) * id;
    out[5] = (-a12 * a00 + a02 * a10) * id;
    out[6] = b21 * id;
    out[7] = (-a21 * a00 + a01 * a20) * id;
    out[8] = (a11 * a00 - a01 * a10) * id;
    return true;
}

// 2 x 2 minors shared by the 4 x 4 determinant and inverse.
struct Minors {
    double b00, b01, b02, b03, b04, b05, b06, b07, b08, b09, b10, b11;
    explicit Minors(const double *m) {
        const double a00 = m[0], a01 = m[1], a02 = m[2], a03 = m[3];
        const double a10 = m[4], a11 = m[5], a12 = m[6], a13 = m[7];
        const double a20 = m[8], a21 = m[9], a22 = m[10], a23 = m[11];
        const double a30 = m[12], a31 = m[13], a32 = m[14], a33 = m[15];
        b00 = a00 * a11 - a01 * a10;
        b01 = a00 * a12 - a02 * a10;
        b02 = a00 * a13 - a03 * a10;
        b03 = a01 * a12 - a02 * a11;
        b04 = a01 * a13 - a03 * a11;
        b05 = a02 * a13 - a03 * a12;
        b06 = a20 * a31 - a21 * a30;
        b07 = a20 * a32 - a22 * a30;
        b08 = a20 * a33 - a23 * a30;
        b09 = a21 * a32 - a22 * a31;
        b10 = a21 * a33 - a23 * a31;
        b11 = a22 * a33 - a23 * a32;
    }
    double det() const {
        return b00 * b11 - b01 * b10 + b02 * b09 + b03 * b08 - b04 * b07 + b05 * b06;
    }
};

void quat_rotation3(const double *q, double r[9]) {
    const double x = q[0], y = q[1], z = q[2], w = q[3];
    const double x2 = x + x, y2 = y + y, z2 = z + z;
    const double xx = x * x2, xy = x * y2, xz = x * z2;
    const double yy = y * y2, yz = y * z2, zz = z * z2;
    const double wx = w * x2, wy = w * y2, wz = w * z2;
    r[0] = 1 - (yy + zz);
    r[1] = xy + wz;
    r[2] = xz - wy;
    r[3] = xy - wz;
    r[4] = 1 - (xx + zz);
    r[5] = yz + wx;
    r[6] = xz + wy;
    r[7] = yz - wx;
    r[8] = 1 - (xx + yy);
}

// dest = mat x (rotation whose column j is rot[3j..3j+2]), column major.
void post_rotate(const double *mat, const double rot[9], double *dest) {
    double out[16];
    for (int j = 0; j < 3; ++j) {
        for (int r = 0; r < 4; ++r) {
            out[4 * j + r] =
                mat[r] * rot[3 * j] + mat[4 + r] * rot[3 * j + 1] + mat[8 + r] * rot[3 * j + 2];
        }
    }
    for (int r = 0; r < 4; ++r) out[12 + r] = mat[12 + r];
    store(dest, out, 16);
}

}  // namespace

extern "C" {

// ---- vec3 ---------------------------------------------------------------------

VZ_API double *vec3_create(const double *vec) noexcept { return alloc_zeroed(3, vec); }

VZ_API double *vec3_set(const double *vec, double *dest) noexcept {
    if (!vz::all_set(vec)) return nullptr;
    return set_values(vec, dest, 3);
}

VZ_API double *vec3_add(double *vec, const double *vec2, double *dest) noexcept {
    if (!vz::all_set(vec, vec2)) return nullptr;
    if (!dest) dest = vec;
    const double r[3] = {vec[0] + vec2[0], vec[1] + vec2[1], vec[2] + vec2[2]};
    store(dest, r, 3);
    return dest;
}

VZ_API double *vec3_subtract(double *vec, const double *vec2, double *dest) noexcept {
    if (!vz::all_set(vec, vec2)) return nullptr;
    if (!dest) dest = vec;
    const double r[3] = {vec[0] - vec2[0], vec[1] - vec2[1], vec[2] - vec2[2]};
    store(dest, r, 3);
    return dest;
}

VZ_API double *vec3_multiply(double *vec, const double *vec2, double *dest) noexcept {
    if (!vz::all_set(vec, vec2)) return nullptr;
    if (!dest) dest = vec;
    const double r[3] = {vec[0] * vec2[0], vec[1] * vec2[1], vec[2] * vec2[2]};
    store(dest, r, 3);
    return dest;
}

VZ_API double *vec3_negate(double *vec, double *dest) noexcept {
    if (!vz::all_set(vec)) return nullptr;
    if (!dest) dest = vec;
    const double r[3] = {-vec[0], -vec[1], -vec[2]};
    store(dest, r, 3);
    return dest;
}

VZ_API double *vec3_scale(double *vec, double val, double *dest) noexcept {
    if (!vz::all_set(vec)) return nullptr;
    if (!dest) dest = vec;
    const double r[3] = {vec[0] * val, vec[1] * val, vec[2] * val};
    store(dest, r, 3);
    return dest;
}

VZ_API double *vec3_normalize(double *vec, double *dest) noexcept {
    if (!vz::all_set(vec)) return nullptr;
    if (!dest) dest = vec;
    const double x = vec[0], y = vec[1], z = vec[2];
    double len = std::sqrt(x * x + y * y + z * z);
    if (len == 0) {
        dest[0] = dest[1] = dest[2] = 0;
        return dest;
    }
    if (len == 1) {
        const double r[3] = {x, y, z};
        store(dest, r, 3);
        return dest;
    }
    len = 1 / len;
    const double r[3] = {x * len, y * len, z * len};
    store(dest, r, 3);
    return dest;
}

VZ_API double *vec3_cross(double *vec, const double *vec2, double *dest) noexcept {
    if (!vz::all_set(vec, vec2)) return nullptr;
    if (!dest) dest = vec;
    const double x = vec[0], y = vec[1], z = vec[2];
    const double x2 = vec2[0], y2 = vec2[1], z2 = vec2[2];
    const double r[3] = {y * z2 - z * y2, z * x2 - x * z2, x * y2 - y * x2};
    store(dest, r, 3);
    return dest;
}

VZ_API double vec3_length(const double *vec) noexcept {
    if (!vz::all_set(vec)) return kNoValue;
    return std::sqrt(vec[0] * vec[0] + vec[1] * vec[1] + vec[2] * vec[2]);
}

VZ_API double vec3_dot(const double *vec, const double *vec2) noexcept {
    if (!vz::all_set(vec, vec2)) return kNoValue;
    return vec[0] * vec2[0] + vec[1] * vec2[1] + vec[2] * vec2[2];
}

VZ_API double *vec3_direction(double *vec, const double *vec2, double *dest) noexcept {
    if (!vz::all_set(vec, vec2)) return nullptr;
    if (!dest) dest = vec;
    const double x = vec[0] - vec2[0], y = vec[1] - vec2[1], z = vec[2] - vec2[2];
    double len = std::sqrt(x * x + y * y + z * z);
    if (len == 0) {
        dest[0] = dest[1] = dest[2] = 0;
        return dest;
    }
    len = 1 / len;
    const double r[3] = {x * len, y * len, z * len};
    store(dest, r, 3);
    return dest;
}

VZ_API double *vec3_lerp(double *vec, const double *vec2, double lerp, double *dest) noexcept {
    if (!vz::all_set(vec, vec2)) return nullptr;
    if (!dest) dest = vec;
    const double r[3] = {vec[0] + lerp * (vec2[0] - vec[0]), vec[1] + lerp * (vec2[1] - vec[1]),
                         vec[2] + lerp * (vec2[2] - vec[2])};
    store(dest, r, 3);
    return dest;
}

VZ_API double vec3_dist(const double *vec, const double *vec2) noexcept {
    if (!vz::all_set(vec, vec2)) return kNoValue;
    const double x = vec2[0] - vec[0], y = vec2[1] - vec[1], z = vec2[2] - vec[2];
    return std::sqrt(x * x + y * y + z * z);
}

VZ_API double *vec3_unproject(double *vec, const double *view, const double *proj,
                              const double *viewport, double *dest) noexcept {
    if (!vz::all_set(vec, view, proj, viewport)) return nullptr;
    if (!dest) dest = vec;
    double v[4] = {(vec[0] - viewport[0]) * 2.0 / viewport[2] - 1.0,
                   (vec[1] - viewport[1]) * 2.0 / viewport[3] - 1.0, 2.0 * vec[2] - 1.0, 1.0};
    double m[16];
    mat4_multiply(const_cast<double *>(proj), view, m);
    if (!mat4_inverse(m, nullptr)) return nullptr;
    mat4_multiplyVec4(m, v, nullptr);
    if (v[3] == 0) return nullptr;
    const double r[3] = {v[0] / v[3], v[1] / v[3], v[2] / v[3]};
    store(dest, r, 3);
    return dest;
}

VZ_API int vec3_str(const double *vec, char *buffer, size_t buffer_len) noexcept {
    if (!vz::all_set(vec)) return -1;
    return print_values(vec, 3, buffer, buffer_len);
}

// ---- mat3 ---------------------------------------------------------------------

VZ_API double *mat3_create(const double *mat) noexcept { return alloc_zeroed(9, mat); }

VZ_API double *mat3_set(const double *mat, double *dest) noexcept {
    if (!vz::all_set(mat)) return nullptr;
    return set_values(mat, dest, 9);
}

VZ_API double *mat3_identity(double *dest) noexcept { return identity(dest, 3); }

VZ_API double *mat3_transpose(double *mat, double *dest) noexcept {
    if (!vz::all_set(mat)) return nullptr;
    if (!dest) dest = mat;
    const double r[9] = {mat[0], mat[3], mat[6], mat[1], mat[4], mat[7], mat[2], mat[5], mat[8]};
    store(dest, r, 9);
    return dest;
}

VZ_API double *mat3_toMat4(const double *mat, double *dest) noexcept {
    if (!vz::all_set(mat)) return nullptr;
    if (!dest) dest = alloc_zeroed(16, nullptr);
    if (!dest) return nullptr;
    const double r[16] = {mat[0], mat[1], mat[2], 0, mat[3], mat[4], mat[5], 0,
                          mat[6], mat[7], mat[8], 0, 0,      0,      0,      1};
    store(dest, r, 16);
    return dest;
}

VZ_API double *mat3_inverse(double *mat, double *dest) noexcept {
    if (!vz::all_set(mat)) return nullptr;
    double wide[16];
    mat3_toMat4(mat, wide);
    return mat4_toInverseMat3(wide, dest ? dest : mat);
}

VZ_API double *mat3_multiply(double *mat, const double *mat2, double *dest) noexcept {
    if (!vz::all_set(mat, mat2)) return nullptr;
    if (!dest) dest = mat;
    double r[9];
    for (int c = 0; c < 3; ++c) {
        for (int row = 0; row < 3; ++row) {
            r[3 * c + row] = mat[row] * mat2[3 * c] + mat[3 + row] * mat2[3 * c + 1] +
                             mat[6 + row] * mat2[3 * c + 2];
        }
    }
    store(dest, r, 9);
    return dest;
}

VZ_API int mat3_str(const double *mat, char *buffer, size_t buffer_len) noexcept {
    if (!vz::all_set(mat)) return -1;
    return print_values(mat, 9, buffer, buffer_len);
}

// ---- mat4 ---------------------------------------------------------------------

VZ_API double *mat4_create(const double *mat) noexcept { return alloc_zeroed(16, mat); }

VZ_API double *mat4_set(const double *mat, double *dest) noexcept {
    if (!vz::all_set(mat)) return nullptr;
    return set_values(mat, dest, 16);
}

VZ_API double *mat4_identity(double *dest) noexcept { return identity(dest, 4); }

VZ_API double *mat4_transpose(double *mat, double *dest) noexcept {
    if (!vz::all_set(mat)) return nullptr;
    if (!dest) dest = mat;
    double r[16];
    for (int c = 0; c < 4; ++c)
        for (int row = 0; row < 4; ++row) r[4 * c + row] = mat[4 * row + c];
    store(dest, r, 16);
    return dest;
}

VZ_API double mat4_determinant(const double *mat) noexcept {
    if (!vz::all_set(mat)) return kNoValue;
    return Minors(mat).det();
}

VZ_API double *mat4_inverse(double *mat, double *dest) noexcept {
    if (!vz::all_set(mat)) return nullptr;
    const Minors b(mat);
    const double d = b.det();
    if (d == 0) return nullptr;
    if (!dest) dest = mat;
    const double id = 1 / d;
    const double a00 = mat[0], a01 = mat[1], a02 = mat[2], a03 = mat[3];
    const double a10 = mat[4], a11 = mat[5], a12 = mat[6], a13 = mat[7];
    const double a20 = mat[8], a21 = mat[9], a22 = mat[10], a23 = mat[11];
    const double a30 = mat[12], a31 = mat[13], a32 = mat[14], a33 = mat[15];
    const double r[16] = {
        (a11 * b.b11 - a12 * b.b10 + a13 * b.b09) * id,
        (-a01 * b.b11 + a02 * b.b10 - a03 * b.b09) * id,
        (a31 * b.b05 - a32 * b.b04 + a33 * b.b03) * id,
        (-a21 * b.b05 + a22 * b.b04 - a23 * b.b03) * id,
        (-a10 * b.b11 + a12 * b.b08 - a13 * b.b07) * id,
        (a00 * b.b11 - a02 * b.b08 + a03 * b.b07) * id,
        (-a30 * b.b05 + a32 * b.b02 - a33 * b.b01) * id,
        (a20 * b.b05 - a22 * b.b02 + a23 * b.b01) * id,
        (a10 * b.b10 - a11 * b.b08 + a13 * b.b06) * id,
        (-a00 * b.b10 + a01 * b.b08 - a03 * b.b06) * id,
        (a30 * b.b04 - a31 * b.b02 + a33 * b.b00) * id,
        (-a20 * b.b04 + a21 * b.b02 - a23 * b.b00) * id,
        (-a10 * b.b09 + a11 * b.b07 - a12 * b.b06) * id,
        (a00 * b.b09 - a01 * b.b07 + a02 * b.b06) * id,
        (-a30 * b.b03 + a31 * b.b01 - a32 * b.b00) * id,
        (a20 * b.b03 - a21 * b.b01 + a22 * b.b00) * id,
    };
    store(dest, r, 16);
    return dest;
}

VZ_API double *mat4_toRotationMat(double *mat, double *dest) noexcept {
    if (!vz::all_set(mat)) return nullptr;
    if (!dest) dest = mat;
    const double r[16] = {mat[0], mat[1], mat[2],  mat[3],  mat[4], mat[5], mat[6], mat[7],
                          mat[8], mat[9], mat[10], mat[11], 0,      0,      0,      1};
    store(dest, r, 16);
    return dest;
}

VZ_API double *mat4_toMat3(const double *mat, double *dest) noexcept {
    if (!vz::all_set(mat)) return nullptr;
    if (!dest) dest = alloc_zeroed(9, nullptr);
    if (!dest) return nullptr;
    const double r[9] = {mat[0], mat[1], mat[2], mat[4], mat[5], mat[6], mat[8], mat[9], mat[10]};
    store(dest, r, 9);
    return dest;
}

VZ_API double *mat4_toInverseMat3(const double *mat, double *dest) noexcept {
    if (!vz::all_set(mat)) return nullptr;
    double r[9];
    if (!inverse3(mat, r)) return nullptr;
    if (!dest) dest = alloc_zeroed(9, nullptr);
    if (!dest) return nullptr;
    store(dest, r, 9);
    return dest;
}

VZ_API double *mat4_multiply(double *mat, const double *mat2, double *dest) noexcept {
    if (!vz::all_set(mat, mat2)) return nullptr;
    if (!dest) dest = mat;
    double r[16];
    for (int c = 0; c < 4; ++c) {
        for (int row = 0; row < 4; ++row) {
            r[4 * c + row] = mat[row] * mat2[4 * c] + mat[4 + row] * mat2[4 * c + 1] +
                             mat[8 + row] * mat2[4 * c + 2] + mat[12 + row] * mat2[4 * c + 3];
        }
    }
    store(dest, r, 16);
    return dest;
}

VZ_API double *mat4_multiplyVec3(const double *mat, double *vec, double *dest) noexcept {
    if (!vz::all_set(mat, vec)) return nullptr;
    if (!dest) dest = vec;
    const double x = vec[0], y = vec[1], z = vec[2];
    const double r[3] = {mat[0] * x + mat[4] * y + mat[8] * z + mat[12],
                         mat[1] * x + mat[5] * y + mat[9] * z + mat[13],
                         mat[2] * x + mat[6] * y + mat[10] * z + mat[14]};
    store(dest, r, 3);
    return dest;
}

VZ_API double *mat4_multiplyVec4(const double *mat, double *vec, double *dest) noexcept {
    if (!vz::all_set(mat, vec)) return nullptr;
    if (!dest) dest = vec;
    const double x = vec[0], y = vec[1], z = vec[2], w = vec[3];
    double r[4];
    for (int row = 0; row < 4; ++row)
        r[row] = mat[row] * x + mat[4 + row] * y + mat[8 + row] * z + mat[12 + row] * w;
    store(dest, r, 4);
    return dest;
}

VZ_API double *mat4_translate(double *mat, const double *vec, double *dest) noexcept {
    if (!vz::all_set(mat, vec)) return nullptr;
    if (!dest) dest = mat;
    const double x = vec[0], y = vec[1], z = vec[2];
    double r[16];
    memcpy(r, mat, sizeof r);
    for (int row = 0; row < 4; ++row)
        r[12 + row] = mat[row] * x + mat[4 + row] * y + mat[8 + row] * z + mat[12 + row];
    store(dest, r, 16);
    return dest;
}

VZ_API double *mat4_scale(double *mat, const double *vec, double *dest) noexcept {
    if (!vz::all_set(mat, vec)) return nullptr;
    if (!dest) dest = mat;
    double r[16];
    for (int c = 0; c < 3; ++c)
        for (int row = 0; row < 4; ++row) r[4 * c + row] = mat[4 * c + row] * vec[c];
    for (int row = 0; row < 4; ++row) r[12 + row] = mat[12 + row];
    store(dest, r, 16);
    return dest;
}

VZ_API double *mat4_rotate(double *mat, double angle, const double *axis, double *dest) noexcept {
    if (!vz::all_set(mat, axis)) return nullptr;
    double x = axis[0], y = axis[1], z = axis[2];
    double len = std::sqrt(x * x + y * y + z * z);
    if (len == 0) return nullptr;
    if (len != 1) {
        len = 1 / len;
        x *= len;
        y *= len;
        z *= len;
    }
    const double s = std::sin(angle), c = std::cos(angle), t = 1 - c;
    const double rot[9] = {x * x * t + c,     y * x * t + z * s, z * x * t - y * s,
                           x * y * t - z * s, y * y * t + c,     z * y * t + x * s,
                           x * z * t + y * s, y * z * t - x * s, z * z * t + c};
    post_rotate(mat, rot, dest ? dest : mat);
    return dest ? dest : mat;
}

VZ_API double *mat4_rotateX(double *mat, double angle, double *dest) noexcept {
    if (!vz::all_set(mat)) return nullptr;
    const double s = std::sin(angle), c = std::cos(angle);
    const double rot[9] = {1, 0, 0, 0, c, s, 0, -s, c};
    post_rotate(mat, rot, dest ? dest : mat);
    return dest ? dest : mat;
}

VZ_API double *mat4_rotateY(double *mat, double angle, double *dest) noexcept {
    if (!vz::all_set(mat)) return nullptr;
    const double s = std::sin(angle), c = std::cos(angle);
    const double rot[9] = {c, 0, -s, 0, 1, 0, s, 0, c};
    post_rotate(mat, rot, dest ? dest : mat);
    return dest ? dest : mat;
}

VZ_API double *mat4_rotateZ(double *mat, double angle, double *dest) noexcept {
    if (!vz::all_set(mat)) return nullptr;
    const double s = std::sin(angle), c = std::cos(angle);
    const double rot[9] = {c, s, 0, -s, c, 0, 0, 0, 1};
    post_rotate(mat, rot, dest ? dest : mat);
    return dest ? dest : mat;
}

VZ_API double *mat4_frustum(double left, double right, double bottom, double top, double near,
                            double far, double *dest) noexcept {
    if (!dest) dest = alloc_zeroed(16, nullptr);
    if (!dest) return nullptr;
    const double rl = right - left, tb = top - bottom, fn = far - near;
    const double r[16] = {2 * near / rl,
                          0,
                          0,
                          0,
                          0,
                          2 * near / tb,
                          0,
                          0,
                          (right + left) / rl,
                          (top + bottom) / tb,
                          -(far + near) / fn,
                          -1,
                          0,
                          0,
                          -(far * near * 2) / fn,
                          0};
    store(dest, r, 16);
    return dest;
}

VZ_API double *mat4_perspective(double fovy, double aspect, double near, double far,
                                double *dest) noexcept {
    const double top = near * std::tan(fovy * std::numbers::pi / 360.0);
    const double right = top * aspect;
    return mat4_frustum(-right, right, -top, top, near, far, dest);
}

VZ_API double *mat4_ortho(double left, double right, double bottom, double top, double near,
                          double far, double *dest) noexcept {
    if (!dest) dest = alloc_zeroed(16, nullptr);
    if (!dest) return nullptr;
    const double rl = right - left, tb = top - bottom, fn = far - near;
    const double r[16] = {2 / rl,
                          0,
                          0,
                          0,
                          0,
                          2 / tb,
                          0,
                          0,
                          0,
                          0,
                          -2 / fn,
                          0,
                          -(left + right) / rl,
                          -(top + bottom) / tb,
                          -(far + near) / fn,
                          1};
    store(dest, r, 16);
    return dest;
}

VZ_API double *mat4_lookAt(const double *eye, const double *center, const double *up,
                           double *dest) noexcept {
    if (!vz::all_set(eye, center, up)) return nullptr;
    if (!dest) dest = alloc_zeroed(16, nullptr);
    if (!dest) return nullptr;
    if (eye[0] == center[0] && eye[1] == center[1] && eye[2] == center[2])
        return mat4_identity(dest);
    // z: from the centre towards the eye; x: up x z; y: z x x; each unit length.
    double z[3] = {eye[0] - center[0], eye[1] - center[1], eye[2] - center[2]};
    double upv[3] = {up[0], up[1], up[2]};
    double x[3], y[3];
    vec3_normalize(z, nullptr);
    vec3_normalize(vec3_cross(upv, z, x), nullptr);
    vec3_normalize(vec3_cross(z, x, y), nullptr);
    const double r[16] = {x[0],
                          y[0],
                          z[0],
                          0,
                          x[1],
                          y[1],
                          z[1],
                          0,
                          x[2],
                          y[2],
                          z[2],
                          0,
                          -vec3_dot(x, eye),
                          -vec3_dot(y, eye),
                          -vec3_dot(z, eye),
                          1};
    store(dest, r, 16);
    return dest;
}

VZ_API double *mat4_fromRotationTranslation(const double *quat, const double *vec,
                                            double *dest) noexcept {
    if (!vz::all_set(quat, vec)) return nullptr;
    if (!dest) dest = alloc_zeroed(16, nullptr);
    if (!dest) return nullptr;
    double rot[9];
    quat_rotation3(quat, rot);
    const double r[16] = {rot[0], rot[1], rot[2], 0, rot[3], rot[4], rot[5], 0,
                          rot[6], rot[7], rot[8], 0, vec[0], vec[1], vec[2], 1};
    store(dest, r, 16);
    return dest;
}

VZ_API int mat4_str(const double *mat, char *buffer, size_t buffer_len) noexcept {
    if (!vz::all_set(mat)) return -1;
    return print_values(mat, 16, buffer, buffer_len);
}

// ---- quat ---------------------------------------------------------------------

VZ_API double *quat_create(const double *quat) noexcept { return alloc_zeroed(4, quat); }

VZ_API double *quat_set(const double *quat, double *dest) noexcept {
    if (!vz::all_set(quat)) return nullptr;
    return set_values(quat, dest, 4);
}

VZ_API double *quat_calculateW(double *quat, double *dest) noexcept {
    if (!vz::all_set(quat)) return nullptr;
    if (!dest) dest = quat;
    const double x = quat[0], y = quat[1], z = quat[2];
    const double r[4] = {x, y, z, -std::sqrt(std::fabs(1.0 - x * x - y * y - z * z))};
    store(dest, r, 4);
    return dest;
}

VZ_API double quat_dot(const double *quat, const double *quat2) noexcept {
    if (!vz::all_set(quat, quat2)) return kNoValue;
    return quat[0] * quat2[0] + quat[1] * quat2[1] + quat[2] * quat2[2] + quat[3] * quat2[3];
}

VZ_API double *quat_inverse(double *quat, double *dest) noexcept {
    if (!vz::all_set(quat)) return nullptr;
    if (!dest) dest = quat;
    const double dot = quat_dot(quat, quat);
    const double inv = dot != 0 ? 1.0 / dot : 0.0;
    const double r[4] = {-quat[0] * inv, -quat[1] * inv, -quat[2] * inv, quat[3] * inv};
    store(dest, r, 4);
    return dest;
}

VZ_API double *quat_conjugate(double *quat, double *dest) noexcept {
    if (!vz::all_set(quat)) return nullptr;
    if (!dest) dest = quat;
    const double r[4] = {-quat[0], -quat[1], -quat[2], quat[3]};
    store(dest, r, 4);
    return dest;
}

VZ_API double quat_length(const double *quat) noexcept {
    if (!vz::all_set(quat)) return kNoValue;
    return std::sqrt(quat_dot(quat, quat));
}

VZ_API double *quat_normalize(double *quat, double *dest) noexcept {
    if (!vz::all_set(quat)) return nullptr;
    if (!dest) dest = quat;
    double len = quat_length(quat);
    if (len == 0) {
        dest[0] = dest[1] = dest[2] = dest[3] = 0;
        return dest;
    }
    len = 1 / len;
    const double r[4] = {quat[0] * len, quat[1] * len, quat[2] * len, quat[3] * len};
    store(dest, r, 4);
    return dest;
}

VZ_API double *quat_multiply(double *quat, const double *quat2, double *dest) noexcept {
    if (!vz::all_set(quat, quat2)) return nullptr;
    if (!dest) dest = quat;
    const double ax = quat[0], ay = quat[1], az = quat[2], aw = quat[3];
    const double bx = quat2[0], by = quat2[1], bz = quat2[2], bw = quat2[3];
    const double r[4] = {
        ax * bw + aw * bx + ay * bz - az * by, ay * bw + aw * by + az * bx - ax * bz,
        az * bw + aw * bz + ax * by - ay * bx, aw * bw - ax * bx - ay * by - az * bz};
    store(dest, r, 4);
    return dest;
}

VZ_API double *quat_multiplyVec3(const double *quat, double *vec, double *dest) noexcept {
    if (!vz::all_set(quat, vec)) return nullptr;
    if (!dest) dest = vec;
    const double x = vec[0], y = vec[1], z = vec[2];
    const double qx = quat[0], qy = quat[1], qz = quat[2], qw = quat[3];
    // q * v, then * conjugate(q).
    const double ix = qw * x + qy * z - qz * y;
    const double iy = qw * y + qz * x - qx * z;
    const double iz = qw * z + qx * y - qy * x;
    const double iw = -qx * x - qy * y - qz * z;
    const double r[3] = {ix * qw - iw * qx - iy * qz + iz * qy,
                         iy * qw - iw * qy - iz * qx + ix * qz,
                         iz * qw - iw * qz - ix * qy + iy * qx};
    store(dest, r, 3);
    return dest;
}

VZ_API double *quat_toMat3(const double *quat, double *dest) noexcept {
    if (!vz::all_set(quat)) return nullptr;
    if (!dest) dest = alloc_zeroed(9, nullptr);
    if (!dest) return nullptr;
    double r[9];
    quat_rotation3(quat, r);
    store(dest, r, 9);
    return dest;
}

VZ_API double *quat_toMat4(const double *quat, double *dest) noexcept {
    if (!vz::all_set(quat)) return nullptr;
    if (!dest) dest = alloc_zeroed(16, nullptr);
    if (!dest) return nullptr;
    double rot[9];
    quat_rotation3(quat, rot);
    const double r[16] = {rot[0], rot[1], rot[2], 0, rot[3], rot[4], rot[5], 0,
                          rot[6], rot[7], rot[8], 0, 0,      0,      0,      1};
    store(dest, r, 16);
    return dest;
}

VZ_API double *quat_slerp(double *quat, const double *quat2, double t, double *dest) noexcept {
    if (!vz::all_set(quat, quat2)) return nullptr;
    if (!dest) dest = quat;
    const double c = quat_dot(quat, quat2);
    double r[4];
    if (std::fabs(c) >= 1.0) {
        store(dest, quat, 4);
        return dest;
    }
    const double theta = std::acos(c);
    const double sin_theta = std::sqrt(1.0 - c * c);
    if (std::fabs(sin_theta) < 0.001) {
        for (int i = 0; i < 4; ++i) r[i] = quat[i] * 0.5 + quat2[i] * 0.5;
    } else {
        const double ra = std::sin((1 - t) * theta) / sin_theta;
        const double rb = std::sin(t * theta) / sin_theta;
        for (int i = 0; i < 4; ++i) r[i] = quat[i] * ra + quat2[i] * rb;
    }
    store(dest, r, 4);
    return dest;
}

VZ_API int quat_str(const double *quat, char *buffer, size_t buffer_len) noexcept {
    if (!vz::all_set(quat)) return -1;
    return print_values(quat, 4, buffer, buffer_len);
}

}  // extern "C"
