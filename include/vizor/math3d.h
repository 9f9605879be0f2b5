/** \file
 * Double-precision 3D math for placing point clouds in a scene.
 *
 * Values are plain arrays of doubles:
 *   vec3  3 doubles (x, y, z)
 *   quat  4 doubles (x, y, z, w)
 *   mat3  9 doubles, column by column: element 3*c + r is row r of column c
 *   mat4 16 doubles, column by column: element 4*c + r is row r of column c,
 *        so the translation of a transform sits in elements 12, 13 and 14
 *
 * Common rule: an operation takes its operands, then an optional destination
 * `dest`. With dest NULL the result overwrites the first operand. The result
 * is the destination used, or NULL when the operation fails (the destination
 * is then left untouched). Operands and destination may be the same array.
 * A NULL required operand fails at once: NULL for functions returning an
 * array, NaN for those returning a number, -1 for the printing functions.
 *
 * The *_create functions and the functions documented as "allocating" when
 * dest is NULL return heap storage that the caller releases with free().
 *
 * Buffers: every array is the caller's (or, where allocated, handed to the
 * caller); each is read or written for exactly its type's size.
 *
 * Threads: every function works only on the arrays it is given; any thread
 * may call any of them.
 */
#ifndef VIZOR_MATH3D_H
#define VIZOR_MATH3D_H

#include <stddef.h>
#include "vizor/export.h"

VZ_EXTERN_C_BEGIN

/* ---- vec3 ------------------------------------------------------------------- */

/** @name vec3
 * Thread: any, on arrays no other thread writes meanwhile.
 * @{ */

/** New zeroed vec3 on the heap, a copy of vec when vec is not NULL.
 * Returns: the new vec3 (the caller frees it); NULL when memory runs out. */
VZ_API double *vec3_create(const double *vec) VZ_NOEXCEPT;
/** Copies vec into dest (dest NULL: nothing to copy).
 * Returns: dest, or vec when dest is NULL; NULL for vec NULL. */
VZ_API double *vec3_set(const double *vec, double *dest) VZ_NOEXCEPT;
/** dest = vec + vec2.
 * Returns: the destination used; NULL for a NULL operand. */
VZ_API double *vec3_add(double *vec, const double *vec2, double *dest) VZ_NOEXCEPT;
/** dest = vec - vec2.
 * Returns: the destination used; NULL for a NULL operand. */
VZ_API double *vec3_subtract(double *vec, const double *vec2, double *dest) VZ_NOEXCEPT;
/** dest = vec * vec2, component by component.
 * Returns: the destination used; NULL for a NULL operand. */
VZ_API double *vec3_multiply(double *vec, const double *vec2, double *dest) VZ_NOEXCEPT;
/** dest = -vec.
 * Returns: the destination used; NULL for vec NULL. */
VZ_API double *vec3_negate(double *vec, double *dest) VZ_NOEXCEPT;
/** dest = vec * val.
 * Returns: the destination used; NULL for vec NULL. */
VZ_API double *vec3_scale(double *vec, double val, double *dest) VZ_NOEXCEPT;
/** dest = vec / |vec|; a zero vector gives zeros, a unit vector is copied
 * unchanged.
 * Returns: the destination used; NULL for vec NULL. */
VZ_API double *vec3_normalize(double *vec, double *dest) VZ_NOEXCEPT;
/** dest = vec x vec2.
 * Returns: the destination used; NULL for a NULL operand. */
VZ_API double *vec3_cross(double *vec, const double *vec2, double *dest) VZ_NOEXCEPT;
/** Euclidean length of vec.
 * Returns: the length; NaN for vec NULL. */
VZ_API double vec3_length(const double *vec) VZ_NOEXCEPT;
/** Dot product of vec and vec2.
 * Returns: the product; NaN for a NULL operand. */
VZ_API double vec3_dot(const double *vec, const double *vec2) VZ_NOEXCEPT;
/** Unit vector pointing from vec2 to vec; zeros when the points are equal.
 * Returns: the destination used; NULL for a NULL operand. */
VZ_API double *vec3_direction(double *vec, const double *vec2, double *dest) VZ_NOEXCEPT;
/** dest = vec + lerp * (vec2 - vec).
 * Returns: the destination used; NULL for a NULL operand. */
VZ_API double *vec3_lerp(double *vec, const double *vec2, double lerp, double *dest) VZ_NOEXCEPT;
/** Distance between the points vec and vec2.
 * Returns: the distance; NaN for a NULL operand. */
VZ_API double vec3_dist(const double *vec, const double *vec2) VZ_NOEXCEPT;
/** Maps window coordinates vec (x, y in pixels of viewport = {x, y, width,
 * height}, z depth in 0..1) to world coordinates through the inverse of
 * proj x view.
 * Returns: the destination used; NULL (dest untouched) for a NULL operand,
 *          when that product cannot be inverted or the point lies at infinity
 *          (w = 0).
 * Buffers: view and proj are mat4, viewport 4 doubles. */
VZ_API double *vec3_unproject(double *vec, const double *view, const double *proj,
                              const double *viewport, double *dest) VZ_NOEXCEPT;
/** Prints `"[%f, %f, %f]"` into buffer (at most buffer_len bytes including the
 * terminating NUL, truncating; buffer NULL writes nothing).
 * Returns: the length of the full text, or a negative value on an encoding
 *          error, as snprintf does; -1 for vec NULL.
 * Buffers: at most buffer_len bytes of buffer are written. */
VZ_API int vec3_str(const double *vec, char *buffer, size_t buffer_len) VZ_NOEXCEPT;

/** @} */

/* ---- mat3 ------------------------------------------------------------------- */

/** @name mat3
 * Thread: any, on arrays no other thread writes meanwhile.
 * @{ */

/** New zeroed mat3 on the heap, a copy of mat when mat is not NULL.
 * Returns: the new mat3 (the caller frees it); NULL when memory runs out. */
VZ_API double *mat3_create(const double *mat) VZ_NOEXCEPT;
/** Copies mat into dest.
 * Returns: dest, or mat when dest is NULL; NULL for mat NULL. */
VZ_API double *mat3_set(const double *mat, double *dest) VZ_NOEXCEPT;
/** Sets dest to the identity; with dest NULL a new identity is allocated.
 * Returns: dest; NULL when allocating fails. */
VZ_API double *mat3_identity(double *dest) VZ_NOEXCEPT;
/** dest = transpose of mat.
 * Returns: the destination used; NULL for mat NULL. */
VZ_API double *mat3_transpose(double *mat, double *dest) VZ_NOEXCEPT;
/** Widens mat into a mat4 with zero translation and 1 in element 15; with dest
 * NULL a new mat4 is allocated.
 * Returns: dest; NULL for mat NULL or when allocating fails. */
VZ_API double *mat3_toMat4(const double *mat, double *dest) VZ_NOEXCEPT;
/** dest = inverse of mat.
 * Returns: the destination used; NULL (dest untouched) for mat NULL or when
 *          mat is singular. */
VZ_API double *mat3_inverse(double *mat, double *dest) VZ_NOEXCEPT;
/** dest = mat x mat2.
 * Returns: the destination used; NULL for a NULL operand. */
VZ_API double *mat3_multiply(double *mat, const double *mat2, double *dest) VZ_NOEXCEPT;
/** Prints the nine elements as `"[%f, %f, ...]"` into buffer, as vec3_str.
 * Returns: as vec3_str; -1 for mat NULL. */
VZ_API int mat3_str(const double *mat, char *buffer, size_t buffer_len) VZ_NOEXCEPT;

/** @} */

/* ---- mat4 ------------------------------------------------------------------- */

/** @name mat4
 * Thread: any, on arrays no other thread writes meanwhile.
 * @{ */

/** New zeroed mat4 on the heap, a copy of mat when mat is not NULL.
 * Returns: the new mat4 (the caller frees it); NULL when memory runs out. */
VZ_API double *mat4_create(const double *mat) VZ_NOEXCEPT;
/** Copies mat into dest.
 * Returns: dest, or mat when dest is NULL; NULL for mat NULL. */
VZ_API double *mat4_set(const double *mat, double *dest) VZ_NOEXCEPT;
/** Sets dest to the identity; with dest NULL a new identity is allocated.
 * Returns: dest; NULL when allocating fails. */
VZ_API double *mat4_identity(double *dest) VZ_NOEXCEPT;
/** dest = transpose of mat.
 * Returns: the destination used; NULL for mat NULL. */
VZ_API double *mat4_transpose(double *mat, double *dest) VZ_NOEXCEPT;
/** Determinant of mat.
 * Returns: the determinant; NaN for mat NULL. */
VZ_API double mat4_determinant(const double *mat) VZ_NOEXCEPT;
/** dest = inverse of mat.
 * Returns: the destination used; NULL (dest untouched) for mat NULL or when
 *          the determinant is exactly 0. */
VZ_API double *mat4_inverse(double *mat, double *dest) VZ_NOEXCEPT;
/** dest = the rotation part of mat: its upper-left 3 x 3 block, zero
 * translation, 1 in element 15.
 * Returns: the destination used; NULL for mat NULL. */
VZ_API double *mat4_toRotationMat(double *mat, double *dest) VZ_NOEXCEPT;
/** dest (a mat3) = the upper-left 3 x 3 block of mat; with dest NULL a new mat3
 * is allocated.
 * Returns: dest; NULL for mat NULL or when allocating fails. */
VZ_API double *mat4_toMat3(const double *mat, double *dest) VZ_NOEXCEPT;
/** dest (a mat3) = the inverse of the upper-left 3 x 3 block of mat; with dest
 * NULL a new mat3 is allocated.
 * Returns: dest; NULL (nothing allocated, dest untouched) for mat NULL, when
 *          that block has determinant 0, or when allocating fails. */
VZ_API double *mat4_toInverseMat3(const double *mat, double *dest) VZ_NOEXCEPT;
/** dest = mat x mat2.
 * Returns: the destination used; NULL for a NULL operand. */
VZ_API double *mat4_multiply(double *mat, const double *mat2, double *dest) VZ_NOEXCEPT;
/** dest (vec3) = mat x (vec, 1), without division by w; dest NULL writes vec.
 * Returns: the destination used; NULL for a NULL operand. */
VZ_API double *mat4_multiplyVec3(const double *mat, double *vec, double *dest) VZ_NOEXCEPT;
/** dest (4 doubles) = mat x vec (4 doubles); dest NULL writes vec.
 * Returns: the destination used; NULL for a NULL operand. */
VZ_API double *mat4_multiplyVec4(const double *mat, double *vec, double *dest) VZ_NOEXCEPT;
/** dest = mat x translation by vec.
 * Returns: the destination used; NULL for a NULL operand. */
VZ_API double *mat4_translate(double *mat, const double *vec, double *dest) VZ_NOEXCEPT;
/** dest = mat x scaling by vec (x, y, z factors).
 * Returns: the destination used; NULL for a NULL operand. */
VZ_API double *mat4_scale(double *mat, const double *vec, double *dest) VZ_NOEXCEPT;
/** dest = mat x rotation by angle (radians) about axis. The axis is normalised
 * unless its length is 1.
 * Returns: the destination used; NULL (dest untouched) for a NULL operand or
 *          a zero axis. */
VZ_API double *mat4_rotate(double *mat, double angle, const double *axis, double *dest) VZ_NOEXCEPT;
/** dest = mat x rotation by angle (radians) about the x axis.
 * Returns: the destination used; NULL for mat NULL. */
VZ_API double *mat4_rotateX(double *mat, double angle, double *dest) VZ_NOEXCEPT;
/** dest = mat x rotation by angle (radians) about the y axis.
 * Returns: the destination used; NULL for mat NULL. */
VZ_API double *mat4_rotateY(double *mat, double angle, double *dest) VZ_NOEXCEPT;
/** dest = mat x rotation by angle (radians) about the z axis.
 * Returns: the destination used; NULL for mat NULL. */
VZ_API double *mat4_rotateZ(double *mat, double angle, double *dest) VZ_NOEXCEPT;
/** Perspective projection of the frustum left..right, bottom..top at near,
 * reaching to far; with dest NULL a new mat4 is allocated.
 * Returns: dest; NULL when allocating fails. */
VZ_API double *mat4_frustum(double left, double right, double bottom, double top, double near,
                            double far, double *dest) VZ_NOEXCEPT;
/** Symmetric perspective projection: vertical field of view fovy in degrees,
 * aspect = width / height; with dest NULL a new mat4 is allocated.
 * Returns: dest; NULL when allocating fails. */
VZ_API double *mat4_perspective(double fovy, double aspect, double near, double far,
                                double *dest) VZ_NOEXCEPT;
/** Orthographic projection of the box left..right, bottom..top, near..far;
 * with dest NULL a new mat4 is allocated.
 * Returns: dest; NULL when allocating fails. */
VZ_API double *mat4_ortho(double left, double right, double bottom, double top, double near,
                          double far, double *dest) VZ_NOEXCEPT;
/** View transform of an eye at eye looking at center with up as the up
 * direction; identity when eye equals center. With dest NULL a new mat4 is
 * allocated.
 * Returns: dest; NULL for a NULL operand or when allocating fails. */
VZ_API double *mat4_lookAt(const double *eye, const double *center, const double *up,
                           double *dest) VZ_NOEXCEPT;
/** Transform that rotates by the unit quaternion quat, then translates by vec;
 * with dest NULL a new mat4 is allocated.
 * Returns: dest; NULL for a NULL operand or when allocating fails. */
VZ_API double *mat4_fromRotationTranslation(const double *quat, const double *vec,
                                            double *dest) VZ_NOEXCEPT;
/** Prints the sixteen elements as `"[%f, %f, ...]"` into buffer, as vec3_str.
 * Returns: as vec3_str; -1 for mat NULL. */
VZ_API int mat4_str(const double *mat, char *buffer, size_t buffer_len) VZ_NOEXCEPT;

/** @} */

/* ---- quat ------------------------------------------------------------------- */

/** @name quat
 * Thread: any, on arrays no other thread writes meanwhile.
 * @{ */

/** New zeroed quat on the heap, a copy of quat when quat is not NULL.
 * Returns: the new quat (the caller frees it); NULL when memory runs out. */
VZ_API double *quat_create(const double *quat) VZ_NOEXCEPT;
/** Copies quat into dest.
 * Returns: dest, or quat when dest is NULL; NULL for quat NULL. */
VZ_API double *quat_set(const double *quat, double *dest) VZ_NOEXCEPT;
/** Keeps x, y, z and sets w = -sqrt(|1 - x^2 - y^2 - z^2|).
 * Returns: the destination used; NULL for quat NULL. */
VZ_API double *quat_calculateW(double *quat, double *dest) VZ_NOEXCEPT;
/** Four-component dot product.
 * Returns: the product; NaN for a NULL operand. */
VZ_API double quat_dot(const double *quat, const double *quat2) VZ_NOEXCEPT;
/** dest = conjugate of quat divided by its squared length; zeros for a zero
 * quaternion.
 * Returns: the destination used; NULL for quat NULL. */
VZ_API double *quat_inverse(double *quat, double *dest) VZ_NOEXCEPT;
/** dest = (-x, -y, -z, w).
 * Returns: the destination used; NULL for quat NULL. */
VZ_API double *quat_conjugate(double *quat, double *dest) VZ_NOEXCEPT;
/** Four-component length.
 * Returns: the length; NaN for quat NULL. */
VZ_API double quat_length(const double *quat) VZ_NOEXCEPT;
/** dest = quat / |quat|; a zero quaternion gives zeros.
 * Returns: the destination used; NULL for quat NULL. */
VZ_API double *quat_normalize(double *quat, double *dest) VZ_NOEXCEPT;
/** dest = quat x quat2 (Hamilton product: rotate by quat2, then by quat).
 * Returns: the destination used; NULL for a NULL operand. */
VZ_API double *quat_multiply(double *quat, const double *quat2, double *dest) VZ_NOEXCEPT;
/** dest (vec3) = vec rotated by the unit quaternion quat; dest NULL writes vec.
 * Returns: the destination used; NULL for a NULL operand. */
VZ_API double *quat_multiplyVec3(const double *quat, double *vec, double *dest) VZ_NOEXCEPT;
/** dest (mat3) = rotation matrix of the unit quaternion quat; with dest NULL a
 * new mat3 is allocated.
 * Returns: dest; NULL for quat NULL or when allocating fails. */
VZ_API double *quat_toMat3(const double *quat, double *dest) VZ_NOEXCEPT;
/** dest (mat4) = rotation transform of the unit quaternion quat; with dest NULL
 * a new mat4 is allocated.
 * Returns: dest; NULL for quat NULL or when allocating fails. */
VZ_API double *quat_toMat4(const double *quat, double *dest) VZ_NOEXCEPT;
/** Spherical interpolation from quat (t = 0) to quat2 (t = 1). With c their
 * dot product: |c| >= 1 gives quat; sqrt(1 - c^2) < 0.001 gives the
 * component-wise mean; otherwise the great-arc interpolation.
 * Returns: the destination used; NULL for a NULL operand. */
VZ_API double *quat_slerp(double *quat, const double *quat2, double t, double *dest) VZ_NOEXCEPT;
/** Prints `"[%f, %f, %f, %f]"` into buffer, as vec3_str.
 * Returns: as vec3_str; -1 for quat NULL. */
VZ_API int quat_str(const double *quat, char *buffer, size_t buffer_len) VZ_NOEXCEPT;

/** @} */

VZ_EXTERN_C_END

#endif /* VIZOR_MATH3D_H */
