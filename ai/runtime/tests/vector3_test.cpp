#include "ai/runtime/vector3.h"

#include <cmath>
#include <random>

#include <gtest/gtest.h>

namespace {

constexpr float kAngleTolerance = 1e-3f;

TEST(Vector3Test, WrapAngle180TakesOneStep) {
    // One step of 360 only: -540 and 720 stay outside the range.
    const float cases[][2] = {{190, -170}, {-190, 170}, {-540, -180}, {180, 180}, {-180, -180}, {720, 360}};
    for (const auto& c : cases)
        EXPECT_EQ(CVector3::WrapAngle180(c[0]), c[1]) << c[0];
}

TEST(Vector3Test, DirectionToAngleQuadrants) {
    struct Case {
        CVector3 direction;
        float pitch;
        float yaw;
    };
    const Case cases[] = {
        {CVector3(0, 0, 1), 0, 0},     {CVector3(1, 0, 0), 0, 90},   {CVector3(0, 0, -1), 0, 180},
        {CVector3(-1, 0, 0), 0, -90},  {CVector3(1, 0, 1), 0, 45},   {CVector3(1, 0, -1), 0, 135},
        {CVector3(-1, 0, -1), 0, 225}, {CVector3(-1, 0, 1), 0, -45}, {CVector3(0, 1, 0), 90, 0},
        {CVector3(0, -2, 0), -90, 0},  {CVector3(0, 1, 1), 45, 0},   {CVector3(0, 0, 0), 0, 0},
    };
    for (const Case& c : cases) {
        CVector3 angles = Vusk::DirectionToAngle(c.direction);
        EXPECT_NEAR(angles.x, c.pitch, kAngleTolerance) << c.direction.x << " " << c.direction.z;
        EXPECT_NEAR(angles.y, c.yaw, kAngleTolerance) << c.direction.x << " " << c.direction.z;
        EXPECT_EQ(angles.z, 0.0f);
    }
}

// Angles back to a direction give the normalised direction.
TEST(Vector3Test, DirectionAndAnglesRoundTrip) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> coordinate(-10.0f, 10.0f);
    for (int i = 0; i < 1000; ++i) {
        CVector3 d(coordinate(rng), coordinate(rng), coordinate(rng));
        if (d.LengthSquared() < 1e-2f) {
            continue;
        }
        CVector3 angles = Vusk::DirectionToAngle(d);
        CVector3 back = Vusk::AnglesToDirection(angles.x, angles.y);
        CVector3 n = CVector3::GetNormalized(d);
        EXPECT_NEAR(back.x, n.x, 1e-4f);
        EXPECT_NEAR(back.y, n.y, 1e-4f);
        EXPECT_NEAR(back.z, n.z, 1e-4f);
        EXPECT_GE(angles.y, -90.0f - kAngleTolerance);
        EXPECT_LE(angles.y, 270.0f + kAngleTolerance);
    }
}

TEST(Vector3Test, VisionConeEdges) {
    const CVector3 eye(1, 2, 3);
    const CVector3 view = CVector3::UnitZ;
    // The eye itself is inside every cone.
    EXPECT_TRUE(Vusk::IsInVisionCone(eye, eye, view, 1.0f, 0.0f));
    // A point exactly at the range is inside; a negative range is unlimited.
    const CVector3 ahead(1, 2, 7);
    EXPECT_TRUE(Vusk::IsInVisionCone(ahead, eye, view, 30.0f, 4.0f));
    EXPECT_FALSE(Vusk::IsInVisionCone(ahead, eye, view, 30.0f, 3.99f));
    EXPECT_TRUE(Vusk::IsInVisionCone(ahead, eye, view, 30.0f, -1.0f));

    auto offView = [&](float degrees) {
        return CVector3::Add(eye, CVector3::Scale(5.0f, Vusk::AnglesToDirection(0.0f, degrees)));
    };
    EXPECT_TRUE(Vusk::IsInVisionCone(offView(44.0f), eye, view, 45.0f, -1.0f));
    EXPECT_FALSE(Vusk::IsInVisionCone(offView(46.0f), eye, view, 45.0f, -1.0f));
    EXPECT_FALSE(Vusk::IsInVisionCone(offView(-46.0f), eye, view, 45.0f, -1.0f));
    // Wide cones reach behind the eye.
    EXPECT_TRUE(Vusk::IsInVisionCone(offView(95.0f), eye, view, 100.0f, -1.0f));
    EXPECT_FALSE(Vusk::IsInVisionCone(offView(180.0f), eye, view, 100.0f, -1.0f));
    EXPECT_FALSE(Vusk::IsInVisionCone(offView(105.0f), eye, view, 100.0f, -1.0f));
    EXPECT_FALSE(Vusk::IsInVisionCone(offView(95.0f), eye, view, 80.0f, -1.0f));
}

} // namespace
