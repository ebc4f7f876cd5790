#include "graphics/toolkits/quaternion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

// Rows of the matrix = the basis vectors rotated by q (row-vector convention of OvMatrix).
OvMatrix MatrixOf(const OvQuat& q) {
    const OvV3d basis[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    OvV3d rows[3];
    OvQuatRotateVectors(rows, basis, 3, &q);
    OvMatrix m{};
    m.right = rows[0];
    m.up = rows[1];
    m.at = rows[2];
    return m;
}

OvQuat RandomUnitQuat(std::mt19937& rng) {
    std::normal_distribution<float> n;
    OvQuat q{n(rng), n(rng), n(rng), n(rng)};
    const float l = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
    return {q.x / l, q.y / l, q.z / l, q.w / l};
}

TEST(Quaternion, MatrixRoundTripTakesEveryBranch) {
    // Random rotations, plus half turns about each axis (trace -1: the x, y and z branches),
    // come back as the same rotation (q or -q).
    std::mt19937 rng(7);
    std::vector<OvQuat> cases = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    for (int i = 0; i < 2000; ++i) {
        cases.push_back(RandomUnitQuat(rng));
    }
    int branches[4] = {};
    for (const OvQuat& q : cases) {
        const OvMatrix m = MatrixOf(q);
        OvQuat back;
        ASSERT_EQ(OvQuatFromMatrix(&back, &m), 1);
        const float dot = q.x * back.x + q.y * back.y + q.z * back.z + q.w * back.w;
        EXPECT_NEAR(std::fabs(dot), 1.0f, 2e-5f);
        const float trace = m.right.x + m.up.y + m.at.z;
        const int branch = trace > 0 ? 0 : (m.right.x > m.up.y && m.right.x > m.at.z) ? 1 : (m.up.y > m.at.z) ? 2 : 3;
        ++branches[branch];
    }
    for (int b = 0; b < 4; ++b) {
        EXPECT_GT(branches[b], 0) << b;
    }
    // The half turn about x takes the x branch exactly.
    OvMatrix flip{};
    flip.right = {1, 0, 0};
    flip.up = {0, -1, 0};
    flip.at = {0, 0, -1};
    OvQuat q;
    ASSERT_EQ(OvQuatFromMatrix(&q, &flip), 1);
    EXPECT_EQ(q.x, 1.0f);
    EXPECT_EQ(q.y, 0.0f);
    EXPECT_EQ(q.z, 0.0f);
    EXPECT_EQ(q.w, 0.0f);
    EXPECT_EQ(OvQuatFromMatrix(nullptr, &flip), 0);
    EXPECT_EQ(OvQuatFromMatrix(&q, nullptr), 0);
}

TEST(Quaternion, RotationMatchesAxisAngleAndScalesByTheSquaredLength) {
    // 90 degrees about z takes x to y; a quaternion of squared length 4 also scales by 4.
    const float h = std::sqrt(0.5f);
    const OvQuat quarter{0, 0, h, h};
    const OvV3d in[2] = {{1, 0, 0}, {0, 0, 3}};
    OvV3d out[2];
    OvQuatRotateVectors(out, in, 2, &quarter);
    EXPECT_NEAR(out[0].x, 0.0f, 1e-6f);
    EXPECT_NEAR(out[0].y, 1.0f, 1e-6f);
    EXPECT_NEAR(out[1].z, 3.0f, 1e-6f);
    const OvQuat doubled{0, 0, 2 * h, 2 * h};
    OvQuatRotateVectors(out, in, 1, &doubled);
    EXPECT_NEAR(out[0].y, 4.0f, 1e-5f);
    // In place, and a count of 0 writes nothing.
    OvV3d v[1] = {{1, 2, 3}};
    OvQuatRotateVectors(v, v, 0, &quarter);
    EXPECT_EQ(v[0].x, 1.0f);
    OvQuatRotateVectors(v, v, 1, &quarter);
    EXPECT_NEAR(v[0].x, -2.0f, 1e-6f);
    EXPECT_NEAR(v[0].y, 1.0f, 1e-6f);
    EXPECT_NEAR(v[0].z, 3.0f, 1e-6f);
}

} // namespace
