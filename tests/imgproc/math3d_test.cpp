// 3D math: inverses and their failures, interpolation, normalisation of
// degenerate vectors, projection matrices and unprojection.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>

#include "vizor/math3d.h"

namespace {

constexpr double kPi = std::numbers::pi;

template <size_t N>
using Arr = std::array<double, N>;

void expect_near_array(const double *a, const double *b, int n, double tol = 1e-12) {
    for (int i = 0; i < n; ++i) EXPECT_NEAR(a[i], b[i], tol) << "element " << i;
}

const double kIdentity4[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
const double kIdentity3[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

}  // namespace

TEST(Mat3Inverse, SingularMatrixGivesNoMatrixAndLeavesDestination) {
    double m[9] = {1, 2, 3, 2, 4, 6, 0, 1, 1};  // second column = 2 x first
    double dest[9];
    for (double &d : dest) d = 7;
    EXPECT_EQ(mat3_inverse(m, dest), nullptr);
    for (double d : dest) EXPECT_EQ(d, 7);
    const double before[9] = {1, 2, 3, 2, 4, 6, 0, 1, 1};
    EXPECT_EQ(mat3_inverse(m, nullptr), nullptr);
    expect_near_array(m, before, 9, 0);
}

TEST(Mat3Inverse, InvertsCameraMatrixInPlace) {
    // A camera matrix (fx, cx, fy, cy); the inverse does not depend on whether
    // the elements are read by rows or by columns.
    double k[9] = {600, 0, 320, 0, 500, 240, 0, 0, 1};
    const double orig[9] = {600, 0, 320, 0, 500, 240, 0, 0, 1};
    ASSERT_EQ(mat3_inverse(k, nullptr), k);
    double prod[9];
    mat3_multiply(k, orig, prod);
    expect_near_array(prod, kIdentity3, 9);
    EXPECT_NEAR(k[0], 1.0 / 600, 1e-15);
    EXPECT_NEAR(k[2], -320.0 / 600, 1e-15);
}

TEST(Mat4Inverse, SingularMatrixFailsAndLeavesDestination) {
    double m[16] = {1, 2, 3, 4, 2, 4, 6, 8, 0, 1, 0, 0, 0, 0, 1, 0};
    EXPECT_EQ(mat4_determinant(m), 0.0);
    double dest[16];
    for (double &d : dest) d = -3;
    EXPECT_EQ(mat4_inverse(m, dest), nullptr);
    for (double d : dest) EXPECT_EQ(d, -3);
}

TEST(Mat4Inverse, InverseTimesMatrixIsIdentity) {
    double m[16];
    mat4_identity(m);
    const double axis[3] = {1, 2, 3};
    const double t[3] = {4, -5, 6};
    const double s[3] = {2, 3, 0.5};
    mat4_rotate(m, 0.7, axis, nullptr);
    mat4_translate(m, t, nullptr);
    mat4_scale(m, s, nullptr);
    EXPECT_NEAR(mat4_determinant(m), 3.0, 1e-12);  // rotation keeps volume, scale gives 3
    double inv[16], prod[16];
    ASSERT_EQ(mat4_inverse(m, inv), inv);
    mat4_multiply(m, inv, prod);
    expect_near_array(prod, kIdentity4, 16);
}

TEST(Mat4Inverse, ToInverseMat3FailsOnSingularBlockWithoutAllocating) {
    double m[16] = {0};
    m[15] = 1;
    m[12] = 5;  // translation alone does not make the block invertible
    EXPECT_EQ(mat4_toInverseMat3(m, nullptr), nullptr);
}

TEST(QuatSlerp, EqualUnitQuaternionsGiveTheFirst) {
    double a[4] = {0, 0, std::sin(0.3), std::cos(0.3)};
    const double b[4] = {0, 0, std::sin(0.3), std::cos(0.3)};
    double dest[4];
    ASSERT_EQ(quat_slerp(a, b, 0.4, dest), dest);
    expect_near_array(dest, a, 4, 0);
    EXPECT_TRUE(std::isfinite(dest[3]));
}

TEST(QuatSlerp, HalfwayBetweenRotationsAboutOneAxis) {
    // Rotations by 0 and 90 degrees about z; halfway is 45 degrees.
    double a[4] = {0, 0, 0, 1};
    const double b[4] = {0, 0, std::sin(kPi / 4), std::cos(kPi / 4)};
    double mid[4];
    quat_slerp(a, b, 0.5, mid);
    EXPECT_NEAR(mid[2], std::sin(kPi / 8), 1e-12);
    EXPECT_NEAR(mid[3], std::cos(kPi / 8), 1e-12);
    quat_slerp(a, b, 0.0, mid);
    expect_near_array(mid, a, 4);
    quat_slerp(a, b, 1.0, mid);
    expect_near_array(mid, b, 4);
}

TEST(QuatSlerp, NearlyEqualQuaternionsGiveTheMean) {
    // Angle so small that sqrt(1 - c^2) < 0.001: the mean, whatever t is.
    double a[4] = {0, 0, 0, 1};
    const double b[4] = {0, 0, std::sin(0.0004), std::cos(0.0004)};
    double dest[4];
    quat_slerp(a, b, 0.9, dest);
    for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(dest[i], a[i] * 0.5 + b[i] * 0.5);
}

TEST(Normalize, ZeroVectorAndQuaternionGiveZeros) {
    double v[3] = {0, 0, 0};
    double dest[3] = {9, 9, 9};
    ASSERT_EQ(vec3_normalize(v, dest), dest);
    for (double d : dest) EXPECT_EQ(d, 0.0);
    double q[4] = {0, 0, 0, 0};
    quat_normalize(q, nullptr);
    for (double d : q) EXPECT_EQ(d, 0.0);
}

TEST(Normalize, UnitVectorIsCopiedUnchangedOthersScaled) {
    double u[3] = {0.6, 0.8, 0};
    double d[3];
    vec3_normalize(u, d);
    EXPECT_EQ(d[0], 0.6);
    EXPECT_EQ(d[1], 0.8);
    double v[3] = {3, 0, 4};
    vec3_normalize(v, nullptr);
    EXPECT_NEAR(v[0], 0.6, 1e-15);
    EXPECT_NEAR(v[2], 0.8, 1e-15);
    EXPECT_NEAR(vec3_length(v), 1.0, 1e-15);
}

TEST(Vec3, DirectionOfEqualPointsIsZero) {
    double a[3] = {1, 2, 3};
    const double b[3] = {1, 2, 3};
    double d[3] = {5, 5, 5};
    vec3_direction(a, b, d);
    for (double x : d) EXPECT_EQ(x, 0.0);
    const double c[3] = {1, 2, 1};
    vec3_direction(a, c, d);  // from c towards a
    EXPECT_NEAR(d[2], 1.0, 1e-15);
}

TEST(Vec3, ResultOverwritesFirstOperandWithoutDestination) {
    double a[3] = {1, 2, 3};
    const double b[3] = {4, 5, 6};
    EXPECT_EQ(vec3_add(a, b, nullptr), a);
    EXPECT_EQ(a[2], 9);
    EXPECT_EQ(vec3_cross(a, b, nullptr), a);  // (5,7,9) x (4,5,6)
    EXPECT_EQ(a[0], 7 * 6 - 9 * 5);
    EXPECT_EQ(a[1], 9 * 4 - 5 * 6);
    EXPECT_EQ(a[2], 5 * 5 - 7 * 4);
    double p[3] = {0, 0, 0};
    const double q[3] = {10, -20, 4};
    vec3_lerp(p, q, 0.25, nullptr);
    EXPECT_EQ(p[1], -5);
    EXPECT_NEAR(vec3_dist(p, q), std::sqrt(7.5 * 7.5 + 15 * 15 + 3 * 3), 1e-12);
}

TEST(Projection, FrustumElements) {
    double m[16];
    ASSERT_EQ(mat4_frustum(-1, 3, -2, 4, 1, 11, m), m);
    const double expect[16] = {2.0 / 4, 0,       0,          0,  0, 2.0 / 6, 0,          0,
                               2.0 / 4, 2.0 / 6, -12.0 / 10, -1, 0, 0,       -22.0 / 10, 0};
    expect_near_array(m, expect, 16, 1e-15);
}

TEST(Projection, PerspectiveIsSymmetricFrustum) {
    // fovy 90 degrees: top = near; aspect 2: right = 2 near.
    double *m = mat4_perspective(90, 2, 1, 3, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_NEAR(m[0], 0.5, 1e-15);
    EXPECT_NEAR(m[5], 1.0, 1e-15);
    EXPECT_EQ(m[8], 0.0);
    EXPECT_EQ(m[9], 0.0);
    EXPECT_NEAR(m[10], -2.0, 1e-15);
    EXPECT_EQ(m[11], -1.0);
    EXPECT_NEAR(m[14], -3.0, 1e-15);
    EXPECT_EQ(m[15], 0.0);
    free(m);
}

TEST(Projection, OrthoMapsBoxToUnitCube) {
    double m[16];
    mat4_ortho(0, 4, 0, 2, 1, 5, m);
    double p[4] = {4, 2, -5, 1};  // far top-right corner (camera looks down -z)
    mat4_multiplyVec4(m, p, nullptr);
    EXPECT_NEAR(p[0], 1, 1e-15);
    EXPECT_NEAR(p[1], 1, 1e-15);
    EXPECT_NEAR(p[2], 1, 1e-15);
}

TEST(Unproject, IdentityMatricesMapViewportToClipCube) {
    const double viewport[4] = {10, 20, 100, 50};
    double v[3] = {60, 45, 0.5};  // centre of the viewport, middle depth
    ASSERT_EQ(vec3_unproject(v, kIdentity4, kIdentity4, viewport, nullptr), v);
    expect_near_array(v, Arr<3>{0, 0, 0}.data(), 3, 1e-15);
    double c[3] = {110, 70, 1};
    double out[3];
    vec3_unproject(c, kIdentity4, kIdentity4, viewport, out);
    expect_near_array(out, Arr<3>{1, 1, 1}.data(), 3, 1e-15);
}

TEST(Unproject, InvertsProjectionOfAWorldPoint) {
    double view[16], proj[16], pv[16];
    const double eye[3] = {1, 2, 8}, centre[3] = {0, 0, 0}, up[3] = {0, 1, 0};
    mat4_lookAt(eye, centre, up, view);
    mat4_perspective(60, 4.0 / 3, 0.5, 50, proj);
    mat4_multiply(proj, view, pv);
    const double viewport[4] = {0, 0, 640, 480};
    const double world[4] = {0.3, -0.7, 1.1, 1};
    double clip[4] = {world[0], world[1], world[2], 1};
    mat4_multiplyVec4(pv, clip, nullptr);
    double win[3] = {(clip[0] / clip[3] + 1) / 2 * 640, (clip[1] / clip[3] + 1) / 2 * 480,
                     (clip[2] / clip[3] + 1) / 2};
    double back[3];
    ASSERT_NE(vec3_unproject(win, view, proj, viewport, back), nullptr);
    expect_near_array(back, world, 3, 1e-9);
}

TEST(Unproject, SingularProjectionFailsAndLeavesDestination) {
    double proj[16] = {0};  // all zero: cannot be inverted
    const double viewport[4] = {0, 0, 10, 10};
    double v[3] = {1, 2, 0.5};
    double dest[3] = {4, 4, 4};
    EXPECT_EQ(vec3_unproject(v, kIdentity4, proj, viewport, dest), nullptr);
    for (double d : dest) EXPECT_EQ(d, 4);
}

TEST(Rotation, ZeroAxisFailsNonUnitAxisIsNormalised) {
    double m[16];
    mat4_identity(m);
    const double zero[3] = {0, 0, 0};
    double dest[16] = {0};
    EXPECT_EQ(mat4_rotate(m, 1.0, zero, dest), nullptr);
    for (double d : dest) EXPECT_EQ(d, 0.0);
    const double z2[3] = {0, 0, 2};
    double a[16], b[16];
    mat4_rotate(m, kPi / 2, z2, a);
    mat4_rotateZ(m, kPi / 2, b);
    expect_near_array(a, b, 16, 1e-15);
    double p[3] = {1, 0, 0};
    mat4_multiplyVec3(a, p, nullptr);
    expect_near_array(p, Arr<3>{0, 1, 0}.data(), 3, 1e-15);
}

TEST(Rotation, QuaternionAndMatrixAgree) {
    double q[4] = {0.1, -0.4, 0.3, 0.8};
    quat_normalize(q, nullptr);
    double m3[9], m4[16];
    quat_toMat3(q, m3);
    const double t[3] = {1, 2, 3};
    mat4_fromRotationTranslation(q, t, m4);
    double v[3] = {0.5, -1.5, 2.0};
    double byq[3], bym[3];
    quat_multiplyVec3(q, v, byq);
    mat4_multiplyVec3(m4, v, bym);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(byq[i] + t[i], bym[i], 1e-12);
        EXPECT_NEAR(byq[i], m3[i] * v[0] + m3[3 + i] * v[1] + m3[6 + i] * v[2], 1e-12);
    }
    // Axis rotations compose like quaternion products.
    double rx[4] = {std::sin(0.2), 0, 0, std::cos(0.2)};
    const double ry[4] = {0, std::sin(0.35), 0, std::cos(0.35)};
    double prod[4], mq[16], mm[16];
    quat_multiply(rx, ry, prod);
    quat_toMat4(prod, mq);
    mat4_identity(mm);
    mat4_rotateX(mm, 0.4, nullptr);
    mat4_rotateY(mm, 0.7, nullptr);
    expect_near_array(mq, mm, 16, 1e-12);
}

TEST(Quat, InverseConjugateAndW) {
    double q[4] = {1, 2, 3, 4};
    double inv[4], prod[4];
    quat_inverse(q, inv);
    quat_multiply(q, inv, prod);
    expect_near_array(prod, Arr<4>{0, 0, 0, 1}.data(), 4, 1e-15);
    double z[4] = {0, 0, 0, 0};
    quat_inverse(z, nullptr);
    for (double d : z) EXPECT_EQ(d, 0.0);
    double c[4];
    quat_conjugate(q, c);
    expect_near_array(c, Arr<4>{-1, -2, -3, 4}.data(), 4, 0);
    double w[4] = {0.6, 0, 0, 99};
    quat_calculateW(w, nullptr);
    EXPECT_DOUBLE_EQ(w[3], -0.8);
    EXPECT_NEAR(quat_length(w), 1.0, 1e-15);
}

TEST(Matrix, LookAtPlacesEyeAtOrigin) {
    const double eye[3] = {0, 0, 5}, centre[3] = {0, 0, 0}, up[3] = {0, 1, 0};
    double *m = mat4_lookAt(eye, centre, up, nullptr);
    ASSERT_NE(m, nullptr);
    double e[3] = {0, 0, 5};
    mat4_multiplyVec3(m, e, nullptr);
    expect_near_array(e, Arr<3>{0, 0, 0}.data(), 3, 1e-15);
    EXPECT_EQ(m[14], -5.0);
    mat4_lookAt(eye, eye, up, m);
    expect_near_array(m, kIdentity4, 16, 0);
    free(m);
}

TEST(Matrix, WideningAndNarrowingKeepElements) {
    const double m3[9] = {1, 2, 3, 4, 5, 6, 7, 8, 10};
    double *m4 = mat3_toMat4(m3, nullptr);
    ASSERT_NE(m4, nullptr);
    EXPECT_EQ(m4[4], 4);
    EXPECT_EQ(m4[10], 10);
    EXPECT_EQ(m4[15], 1);
    EXPECT_EQ(m4[12], 0);
    double back[9];
    mat4_toMat3(m4, back);
    expect_near_array(back, m3, 9, 0);
    double t[16];
    mat4_transpose(m4, t);
    EXPECT_EQ(t[1], 4);
    mat4_toRotationMat(t, nullptr);
    EXPECT_EQ(t[12], 0);
    EXPECT_EQ(t[3], 0);  // transposed widening moved nothing into the last row
    free(m4);
    double *id = mat3_identity(nullptr);
    ASSERT_NE(id, nullptr);
    expect_near_array(id, kIdentity3, 9, 0);
    double *copy = mat3_create(m3);
    mat3_transpose(copy, nullptr);
    EXPECT_EQ(copy[1], 4);
    free(id);
    free(copy);
}

TEST(Format, PrintsFixedNotationAndBoundsTheBuffer) {
    const double v[3] = {1, -2.5, 1e-7};
    char buf[64];
    const int n = vec3_str(v, buf, sizeof buf);
    EXPECT_STREQ(buf, "[1.000000, -2.500000, 0.000000]");
    EXPECT_EQ(n, int(strlen(buf)));
    char small[8];
    EXPECT_EQ(vec3_str(v, small, sizeof small), n);
    EXPECT_STREQ(small, "[1.0000");
    const double q[4] = {0, 0, 0, 1};
    quat_str(q, buf, sizeof buf);
    EXPECT_STREQ(buf, "[0.000000, 0.000000, 0.000000, 1.000000]");
    char big[256];
    mat4_str(kIdentity4, big, sizeof big);
    EXPECT_EQ(std::string(big).substr(0, 22), "[1.000000, 0.000000, 0");
    EXPECT_EQ(mat3_str(kIdentity3, nullptr, 0), 9 * 8 + 8 * 2 + 2);
}
