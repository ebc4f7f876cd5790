#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "physics/core/collision/gjk.h"
#include "physics/core/collision/narrow.h"
#include "physics/core/collision/triangle.h"
#include "physics/core/collision/trilist.h"
#include "physics/core/volume/aggregate.h"
#include "physics/core/volume/primitives.h"
#include "physics/qhull/convex_hull.h"
#include "physics/tests/physics_test.h"
#include "testing/physics_placement.h"

namespace {

OvpVolume Box(float x, float y, float z, float fat = 0.0f) {
    OvpVolume v;
    const float h[3] = {x, y, z};
    OvpBoxInit(&v, h);
    v.fat = fat;
    return v;
}

OvpVolume Triangle(const OvV3d& a, const OvV3d& b, const OvV3d& c, float fat = 0.0f, OvUInt32 edges = 14) {
    OvpVolume v;
    OvpVolumeInit(&v, &ovpTriangleVolumeType);
    OvpTriangleInit(&v, a, b, c, edges);
    v.fat = fat;
    return v;
}

float Len(const OvV3d& v) { return std::sqrt(OvpDot(v, v)); }

OvV3d ClosestOnSegment(const OvV3d& p, const OvV3d& a, const OvV3d& b) {
    const OvV3d ab = OvpSub(b, a);
    const float t = std::fmin(1.0f, std::fmax(0.0f, OvpDot(OvpSub(p, a), ab) / OvpDot(ab, ab)));
    return OvpAdd(a, OvpScale(ab, t));
}

// Distance between two segments by dense sampling of one and the exact point test on the other.
float SegmentDistance(const OvV3d& a0, const OvV3d& a1, const OvV3d& b0, const OvV3d& b1) {
    float best = FLT_MAX;
    for (int k = 0; k <= 400; ++k) {
        const OvV3d p = OvpAdd(a0, OvpScale(OvpSub(a1, a0), k / 400.0f));
        best = std::fmin(best, Len(OvpSub(p, ClosestOnSegment(p, b0, b1))));
    }
    return best;
}

struct PlacedBox {
    OvpVolume volume;
    OvMatrix matrix;
    OvV3d corner[8];
    // Distance of a world point from the box core (0 inside).
    float Distance(const OvV3d& p) const {
        const OvV3d l = OvpMathInverseRotate(OvpSub(p, matrix.pos), &matrix);
        const float* h = volume.data.param;
        const float dx = std::fmax(std::fabs(l.x) - h[0], 0.0f), dy = std::fmax(std::fabs(l.y) - h[1], 0.0f),
                    dz = std::fmax(std::fabs(l.z) - h[2], 0.0f);
        return std::sqrt(dx * dx + dy * dy + dz * dz);
    }
};

PlacedBox MakePlacedBox(std::mt19937& rng) {
    std::uniform_real_distribution<float> size(0.1f, 1.0f);
    PlacedBox b{Box(size(rng), size(rng), size(rng)), RandomPlacement(rng), {}};
    for (int i = 0; i < 8; ++i) {
        const float* h = b.volume.data.param;
        const OvV3d l = {i & 1 ? h[0] : -h[0], i & 2 ? h[1] : -h[1], i & 4 ? h[2] : -h[2]};
        b.corner[i] = OvpMathTransformPoint(l, &b.matrix);
    }
    return b;
}

// Exact distance of two separated boxes: vertices against the other box, edges against edges.
float BoxDistance(const PlacedBox& a, const PlacedBox& b) {
    float best = FLT_MAX;
    for (int i = 0; i < 8; ++i) {
        best = std::fmin(best, std::fmin(b.Distance(a.corner[i]), a.Distance(b.corner[i])));
    }
    static const int kEdges[12][2] = {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {0, 2}, {1, 3},
                                      {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};
    for (const auto& ea : kEdges) {
        for (const auto& eb : kEdges) {
            best = std::fmin(best, SegmentDistance(a.corner[ea[0]], a.corner[ea[1]], b.corner[eb[0]], b.corner[eb[1]]));
        }
    }
    return best;
}

// Whether two boxes overlap, by their fifteen separating axes.
bool BoxesOverlap(const PlacedBox& a, const PlacedBox& b) {
    const OvV3d ra[3] = {a.matrix.right, a.matrix.up, a.matrix.at}, rb[3] = {b.matrix.right, b.matrix.up, b.matrix.at};
    std::vector<OvV3d> axes(ra, ra + 3);
    axes.insert(axes.end(), rb, rb + 3);
    for (const OvV3d& x : ra) {
        for (const OvV3d& y : rb) {
            const OvV3d c = OvpCross(x, y);
            if (OvpDot(c, c) > 1e-6f) {
                axes.push_back(c);
            }
        }
    }
    for (const OvV3d& axis : axes) {
        float a0 = FLT_MAX, a1 = -FLT_MAX, b0 = FLT_MAX, b1 = -FLT_MAX;
        for (int i = 0; i < 8; ++i) {
            a0 = std::fmin(a0, OvpDot(axis, a.corner[i]));
            a1 = std::fmax(a1, OvpDot(axis, a.corner[i]));
            b0 = std::fmin(b0, OvpDot(axis, b.corner[i]));
            b1 = std::fmax(b1, OvpDot(axis, b.corner[i]));
        }
        if (a0 > b1 || b0 > a1) {
            return false;
        }
    }
    return true;
}

} // namespace

TEST(PhysicsTriangle, SlotsOfATriangle) {
    // Equilateral triangle of circumradius 1 in the plane y = 2, normal up.
    const float s = std::sqrt(3.0f) / 2.0f;
    const OvV3d p0 = {1, 2, 0}, p1 = {-0.5f, 2, -s}, p2 = {-0.5f, 2, s};
    OvpVolume t = Triangle(p0, p1, p2, 0.25f, 2);
    const OvpTriangleShape shape = OvpTriangleGetShape(&t);
    EXPECT_NEAR(shape.normal.y, 1.0f, 1e-6f);
    EXPECT_NEAR(shape.offset, 2.0f, 1e-6f);
    EXPECT_EQ(OvpTriangleGetEdgeFlags(&t), 2u);

    OvSphere sphere;
    OvpVolumeGetBoundingSphere(&t, nullptr, &sphere);
    EXPECT_NEAR(sphere.radius, 1.25f, 1e-5f);
    EXPECT_NEAR(sphere.center.y, 2.0f, 1e-6f);
    OvpBBox box;
    OvpVolumeGetBoundingBox(&t, nullptr, 0, &box);
    EXPECT_FLOAT_EQ(box.sup.x, 1.25f);
    EXPECT_FLOAT_EQ(box.inf.y, 1.75f);

    float lo, hi;
    const OvV3d up = {0, 1, 0};
    OvpTriangleGetInterval(&t, &up, &lo, &hi);
    EXPECT_EQ(lo, hi);
    EXPECT_FLOAT_EQ(lo, 2.0f);

    // Face: counter-clockwise about the feature normal with the flag clear, for both sides.
    for (const float sign : {1.0f, -1.0f}) {
        for (const OvBool flag : {OvBool(0), OvBool(1)}) {
            OvpSupportFeature f;
            OvpSupportFeatureInit(&f);
            const OvV3d d = {0, sign, 0};
            OvpTriangleGetSupportFeature(&t, flag, &d, &f);
            ASSERT_EQ(f.count, 3);
            EXPECT_EQ(f.flags, 0u);
            EXPECT_FLOAT_EQ(f.normal.y, sign);
            const OvV3d n =
                OvpCross(OvpSub(f.vertices[1].p, f.vertices[0].p), OvpSub(f.vertices[2].p, f.vertices[0].p));
            EXPECT_EQ(OvpDot(n, f.normal) > 0.0f, flag == 0) << sign;
        }
    }
    // In-plane directions: at a vertex one vertex with its two edges' flags, across an edge
    // that edge.
    OvpSupportFeature f;
    OvpSupportFeatureInit(&f);
    const OvV3d atP1 = {-0.5f, 0, -s};
    OvpTriangleGetSupportFeature(&t, 0, &atP1, &f);
    EXPECT_EQ(f.count, 1);
    EXPECT_EQ(f.flags, 6u);
    const OvV3d acrossP1P2 = {-1, 0, 0};
    OvpTriangleGetSupportFeature(&t, 0, &acrossP1P2, &f);
    EXPECT_EQ(f.count, 2);
    EXPECT_EQ(f.flags, 4u);
    EXPECT_NEAR(f.normal.x, -1.0f, 1e-6f);
    EXPECT_FLOAT_EQ(f.offset, 0.5f);
}

TEST(PhysicsTriangle, LineTestAgreesWithDenseSamplingOnATiltedTriangle) {
    // Heights along the stored normal, so a triangle off the z = 0 plane is hit where it is.
    const OvV3d a = {-1.5f, -0.4f, 0.3f}, b = {1.2f, 0.2f, -0.9f}, c = {0.1f, 1.1f, 1.4f};
    const OvpVolume t = Triangle(a, b, c, 0.3f);
    const OvpTriangleShape shape = OvpTriangleGetShape(&t);
    const auto distance = [&](const OvV3d& p) {
        const float h = OvpDot(shape.normal, p) - shape.offset;
        const OvV3d onPlane = OvpSub(p, OvpScale(shape.normal, h));
        float d = std::fabs(h);
        if (!OvpTriangleInsideEdge(&shape, &onPlane)) {
            d = std::fmin(
                Len(OvpSub(p, ClosestOnSegment(p, a, b))),
                std::fmin(Len(OvpSub(p, ClosestOnSegment(p, b, c))), Len(OvpSub(p, ClosestOnSegment(p, c, a)))));
        }
        return d - 0.3f;
    };
    // The slot reports the length travelled; the sweep expects fractions.
    OvpVolumeType type = ovpTriangleVolumeType;
    type.lineIntersect = [](const OvpVolume* v, const OvV3d* s, const OvV3d* e, OvpLineHit* hit) -> OvBool {
        if (!OvpTriangleIntersectLine(v, s, e, hit)) {
            return 0;
        }
        hit->fraction /= Len(OvpSub(*e, *s));
        return 1;
    };
    OvpVolume wrapped = t;
    wrapped.type = &type;
    SweepLineSlot("triangle", wrapped, distance);
}

TEST(PhysicsGjk, DistanceOfRandomBoxPairsMatchesBruteForce) {
    std::mt19937 rng(5);
    int separated = 0, overlapping = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const PlacedBox a = MakePlacedBox(rng), b = MakePlacedBox(rng);
        const OvpCollisionPair pair = {{&a.volume, &b.volume}, {&a.matrix, &b.matrix}};
        OvV3d n;
        float offset, separation;
        ASSERT_TRUE(OvpGjkSeparate(&pair, 10.0f, &n, &offset, &separation, 1.0f)) << trial;
        EXPECT_NEAR(Len(n), 1.0f, 1e-4f);
        const bool overlap = BoxesOverlap(a, b);
        if (!overlap) {
            ++separated;
            const float exact = BoxDistance(a, b);
            // The search stops once the lower bound is within 1% of the upper one.
            EXPECT_GE(separation, exact - 2e-4f) << trial;
            EXPECT_LE(separation, exact * 1.01f + 2e-4f) << trial;
            // The normal separates: A lies beyond the offset plane, B before it.
            for (int i = 0; i < 8; ++i) {
                EXPECT_GE(OvpDot(n, a.corner[i]), offset - 1e-3f) << trial;
                EXPECT_LE(OvpDot(n, b.corner[i]), offset + 1e-3f) << trial;
            }
        } else {
            ++overlapping;
            EXPECT_LT(separation, 1e-4f) << trial;
        }
    }
    EXPECT_GT(separated, 100);
    EXPECT_GT(overlapping, 20);
}

TEST(PhysicsGjk, ExactPairsAndPlanes) {
    // Spheres: the distance of the centres less the radii, apart and overlapping.
    OvpVolume sa, sb;
    OvpSphereInit(&sa, 0.5f);
    OvpSphereInit(&sb, 0.3f);
    std::mt19937 rng(1);
    OvMatrix ma = RandomPlacement(rng), mb = ma;
    for (const float gap : {0.7f, 0.05f, -0.2f, -0.6f}) {
        mb.pos = OvpAdd(ma.pos, {0.0f, 0.0f, -(0.8f + gap)});
        const OvpCollisionPair pair = {{&sa, &sb}, {&ma, &mb}};
        OvV3d n;
        float offset, separation;
        ASSERT_TRUE(OvpGjkSeparate(&pair, 1.0f, &n, &offset, &separation, 1.0f));
        EXPECT_NEAR(separation, gap, 2e-3f) << gap;
        EXPECT_NEAR(n.z, 1.0f, 1e-3f) << gap;
        // The plane lies midway between the two fat surfaces.
        EXPECT_NEAR(offset, ma.pos.z - 0.5f - gap / 2.0f, 2e-3f) << gap;
    }
    // Capsules crossing at right angles 0.4 apart, radii 0.1 each: 0.2.
    OvpVolume ca, cb;
    OvpVolumeInit(&ca, &ovpCapsuleVolumeType);
    OvpVolumeInit(&cb, &ovpCapsuleVolumeType);
    ca.data.param[0] = cb.data.param[0] = 1.0f;
    ca.fat = cb.fat = 0.1f;
    OvMatrix pa{}, pb{};
    pa.right = {1, 0, 0};
    pa.up = {0, 1, 0};
    pa.at = {0, 0, 1};
    pa.pos = {0, 0.4f, 0};
    pb.right = {0, 0, 1};
    pb.up = {0, 1, 0};
    pb.at = {1, 0, 0};
    const OvpCollisionPair crossed = {{&ca, &cb}, {&pa, &pb}};
    OvV3d n;
    float offset, separation;
    ASSERT_TRUE(OvpGjkSeparate(&crossed, 1.0f, &n, &offset, &separation, 1.0f));
    EXPECT_NEAR(separation, 0.2f, 1e-4f);
    EXPECT_NEAR(n.y, 1.0f, 1e-4f);

    // A box resting on a plane (the plane as B, then as A): the gap of the lowest corner.
    OvpVolume plane, box = Box(0.5f, 0.5f, 0.5f, 0.01f);
    OvpVolumeInit(&plane, &ovpPlaneVolumeType);
    OvMatrix floor{};
    floor.right = {1, 0, 0};
    floor.up = {0, 0, -1};
    floor.at = {0, 1, 0};
    OvMatrix lifted{};
    lifted.right = {1, 0, 0};
    lifted.up = {0, 1, 0};
    lifted.at = {0, 0, 1};
    lifted.pos = {3, 0.6f, -2};
    const OvpCollisionPair onPlane = {{&box, &plane}, {&lifted, &floor}};
    ASSERT_TRUE(OvpGjkSeparate(&onPlane, 1.0f, &n, &offset, &separation, 1.0f));
    EXPECT_NEAR(separation, 0.09f, 1e-5f);
    EXPECT_NEAR(n.y, 1.0f, 1e-6f);
    const OvpCollisionPair planeFirst = {{&plane, &box}, {&floor, &lifted}};
    ASSERT_TRUE(OvpGjkSeparate(&planeFirst, 1.0f, &n, &offset, &separation, 1.0f));
    EXPECT_NEAR(separation, 0.09f, 1e-5f);
    EXPECT_NEAR(n.y, -1.0f, 1e-6f);
}

TEST(PhysicsGjk, FarApartStopsOnTheFirstSupportPoint) {
    OvpVolume sa, sb;
    OvpSphereInit(&sa, 0.5f);
    OvpSphereInit(&sb, 0.5f);
    OvMatrix ma{}, mb{};
    ma.flags = mb.flags = 0;
    ma.right = mb.right = {1, 0, 0};
    ma.up = mb.up = {0, 1, 0};
    ma.at = mb.at = {0, 0, 1};
    ma.pos = {10, 10, 10};
    const OvpCollisionPair pair = {{&sa, &sb}, {&ma, &mb}};
    OvpGjkSimplex simplex;
    OvV3d n;
    float offset = NAN, separation = NAN;
    EXPECT_EQ(OvpGjkDistance(&pair, nullptr, 1.0f, &simplex, &n, &offset, &separation, 1.0f), ovpGJK_APART);
    EXPECT_GT(separation, 1.0f);
    EXPECT_TRUE(std::isfinite(offset));
}

namespace {

const OvQuat kIdentity = {0, 0, 0, 1};

} // namespace

TEST(PhysicsNarrow, SpheresAndBoxesOnBoxes) {
    OvpVolume sa, sb;
    OvpSphereInit(&sa, 0.5f);
    OvpSphereInit(&sb, 0.25f);
    const OvMatrix ma = Placement(kIdentity, {1, 2, 3}), mb = Placement(kIdentity, {1.3f, 2.4f, 3});
    const OvpCollisionPair spheres = {{&sa, &sb}, {&ma, &mb}};
    OvpContact set;
    ASSERT_TRUE(OvpCollideVolumes(&spheres, 0.1f, 1.0f, &set));
    ASSERT_EQ(set.count, 1u);
    EXPECT_NEAR(set.points[0].separation, -0.25f, 1e-5f);
    EXPECT_NEAR(set.normal.x, -0.6f, 1e-5f);
    EXPECT_NEAR(set.normal.y, -0.8f, 1e-5f);
    // The point lies midway between the two surfaces on the centre line.
    EXPECT_NEAR(set.points[0].position.x, 1.0f + 0.6f * 0.375f, 1e-5f);

    // A box resting flat on a box: the four corners of the top face, all at the gap.
    const OvpVolume base = Box(2, 0.5f, 2, 0.01f), top = Box(0.5f, 0.5f, 0.5f, 0.01f);
    const OvMatrix mBase = Placement(kIdentity, {0, 0, 0});
    OvMatrix mTop = Placement(kIdentity, {0.3f, 1.015f, -0.2f});
    OvpCollisionPair stack = {{&top, &base}, {&mTop, &mBase}};
    ASSERT_TRUE(OvpCollideVolumes(&stack, 0.05f, 1.0f, &set));
    ASSERT_EQ(set.count, 4u);
    EXPECT_NEAR(set.normal.y, 1.0f, 1e-6f);
    for (OvUInt32 i = 0; i < 4; ++i) {
        EXPECT_NEAR(set.points[i].separation, -0.005f, 1e-5f);
        EXPECT_NEAR(std::fabs(set.points[i].position.x - 0.3f), 0.5f, 1e-5f);
    }
    // Turned by 45 degrees on a box of the same size the contact is an octagon; tilted a little
    // about x, four points remain and the deepest is among them.
    const OvpVolume lower = Box(0.5f, 0.5f, 0.5f, 0.01f);
    const OvQuat turn = OvpMathQuatMultiply(AxisAngle({1, 0, 0}, 0.01f), AxisAngle({0, 1, 0}, 0.785398f));
    mTop = Placement(turn, {0, 1.015f, 0});
    stack = {{&top, &lower}, {&mTop, &mBase}};
    ASSERT_TRUE(OvpCollideVolumes(&stack, 0.05f, 1.0f, &set));
    ASSERT_EQ(set.count, 4u);
    // The deepest spot of the overlap, sampled: the top box's bottom face over the lower face.
    float deepest = FLT_MAX;
    const OvV3d down = mTop.up;
    const float level = OvpDot(down, OvpSub(mTop.pos, OvpScale(down, 0.5f)));
    for (int i = 0; i <= 200; ++i) {
        for (int j = 0; j <= 200; ++j) {
            const float x = -0.5f + i / 200.0f, z = -0.5f + j / 200.0f;
            const float y = (level - down.x * x - down.z * z) / down.y;
            const OvV3d local = OvpMathInverseRotate(OvpSub({x, y, z}, mTop.pos), &mTop);
            if (std::fabs(local.x) <= 0.5f && std::fabs(local.z) <= 0.5f) {
                deepest = std::fmin(deepest, y - 0.5f - 0.02f);
            }
        }
    }
    float kept = FLT_MAX;
    for (OvUInt32 i = 0; i < set.count; ++i) {
        kept = std::fmin(kept, set.points[i].separation);
    }
    EXPECT_NEAR(kept, deepest, 1e-4f);
}

TEST(PhysicsNarrow, EdgesAndCapsules) {
    // Parallel capsules: two points over the overlap of their segments.
    OvpVolume ca, cb;
    OvpVolumeInit(&ca, &ovpCapsuleVolumeType);
    OvpVolumeInit(&cb, &ovpCapsuleVolumeType);
    ca.data.param[0] = cb.data.param[0] = 1.0f;
    ca.fat = cb.fat = 0.2f;
    const OvMatrix pa = Placement(kIdentity, {0, 0.35f, 0.5f}), pb = Placement(kIdentity, {0, 0, 0});
    const OvpCollisionPair capsules = {{&ca, &cb}, {&pa, &pb}};
    OvpContact set;
    ASSERT_TRUE(OvpCollideVolumes(&capsules, 0.1f, 1.0f, &set));
    ASSERT_EQ(set.count, 2u);
    EXPECT_NEAR(set.normal.y, 1.0f, 1e-5f);
    EXPECT_NEAR(std::fmin(set.points[0].position.z, set.points[1].position.z), -0.5f, 1e-5f);
    EXPECT_NEAR(std::fmax(set.points[0].position.z, set.points[1].position.z), 1.0f, 1e-5f);
    EXPECT_NEAR(set.points[0].separation, -0.05f, 1e-5f);

    // Two boxes meeting edge to edge across each other: one point, the skew edges' normal.
    const OvpVolume a = Box(0.5f, 0.5f, 0.5f), b = Box(0.5f, 0.5f, 0.5f);
    const float r = std::sqrt(2.0f) / 2.0f;
    const OvMatrix ma = Placement(AxisAngle({1, 0, 0}, 0.785398f), {0, 2 * r - 0.01f, 0});
    const OvMatrix mb = Placement(AxisAngle({0, 0, 1}, 0.785398f), {0, 0, 0});
    const OvpCollisionPair skew = {{&a, &b}, {&ma, &mb}};
    ASSERT_TRUE(OvpCollideVolumes(&skew, 0.05f, 1.0f, &set));
    ASSERT_EQ(set.count, 1u);
    EXPECT_NEAR(set.normal.y, 1.0f, 1e-4f);
    EXPECT_NEAR(set.points[0].separation, -0.01f, 1e-4f);
    EXPECT_NEAR(set.points[0].position.y, r - 0.005f, 1e-4f);
}

TEST(PhysicsNarrow, RandomTouchingPairsAgreeWithGjkAndLieInBothVolumes) {
    std::mt19937 rng(9);
    std::normal_distribution<float> nd;
    std::uniform_real_distribution<float> target(-0.04f, 0.04f);
    int withPoints = 0;
    for (int trial = 0; trial < 300; ++trial) {
        PlacedBox a = MakePlacedBox(rng);
        const PlacedBox b = MakePlacedBox(rng);
        OvV3d dir = {nd(rng), nd(rng), nd(rng)};
        OvpMathVec3Normalize(&dir, &dir);
        // Slide A along the direction until GJK reports about the target separation.
        const float want = target(rng);
        float t = 3.0f;
        float gjk = 0.0f;
        OvV3d gjkNormal{};
        for (int k = 0; k < 30; ++k) {
            a.matrix.pos = OvpAdd(b.matrix.pos, OvpScale(dir, t));
            const OvpCollisionPair pair = {{&a.volume, &b.volume}, {&a.matrix, &b.matrix}};
            float offset;
            ASSERT_TRUE(OvpGjkSeparate(&pair, 10.0f, &gjkNormal, &offset, &gjk, 1.0f));
            if (std::fabs(gjk - want) < 1e-4f) {
                break;
            }
            t += (want - gjk) * 0.9f;
        }
        for (int i = 0; i < 8; ++i) {
            const float* h = a.volume.data.param;
            a.corner[i] =
                OvpMathTransformPoint({i & 1 ? h[0] : -h[0], i & 2 ? h[1] : -h[1], i & 4 ? h[2] : -h[2]}, &a.matrix);
        }
        const OvpCollisionPair pair = {{&a.volume, &b.volume}, {&a.matrix, &b.matrix}};
        OvV3d n;
        float offset, sat;
        OvpGeneralPrimitiveSeparate(&pair, 0.1f, &n, &offset, &sat);
        if (std::fabs(gjk) > 2e-3f) {
            EXPECT_EQ(sat < 0.0f, gjk < 0.0f) << trial << " sat " << sat << " gjk " << gjk;
        }
        if (gjk > 0.0f) {
            EXPECT_NEAR(sat, gjk, 2e-3f) << trial;
        }
        OvpContact set;
        if (!OvpCollideVolumes(&pair, 0.05f, 1.0f, &set)) {
            EXPECT_GT(gjk, 0.0f) << trial;
            continue;
        }
        ++withPoints;
        float deepest = FLT_MAX;
        for (OvUInt32 i = 0; i < set.count; ++i) {
            deepest = std::fmin(deepest, set.points[i].separation);
        }
        for (OvUInt32 i = 0; i < set.count; ++i) {
            const OvV3d& p = set.points[i].position;
            // On the contact plane, which lies midway where the pair is deepest: within each
            // volume up to the point's own gap and half the deepest overlap.
            const float bound = std::fmax(set.points[i].separation, 0.0f) + std::fmax(-deepest, 0.0f) / 2.0f + 3e-3f;
            EXPECT_LE(a.Distance(p), bound) << trial << " point " << i << " sep " << set.points[i].separation;
            EXPECT_LE(b.Distance(p), bound) << trial << " point " << i << " sep " << set.points[i].separation;
            EXPECT_GE(set.points[i].separation, std::fmin(gjk, sat) - 0.02f) << trial;
        }
    }
    EXPECT_GT(withPoints, 150);
}

TEST(PhysicsNarrow, FlatTriangleGridGivesOnlyFaceNormals) {
    // A 4 x 4 grid of unit squares at y = 0, each split in two; only the border edges are real.
    std::vector<OvpVolume> grid;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            const float x = i - 2.0f, z = j - 2.0f;
            const OvV3d p00 = {x, 0, z}, p10 = {x + 1, 0, z}, p01 = {x, 0, z + 1}, p11 = {x + 1, 0, z + 1};
            // Wound so that the normal is +y: (p1 - p0) x (p2 - p0) points up.
            OvUInt32 e0 = 0, e1 = 0;
            if (j == 0)
                e0 |= ovpTRIANGLE_EDGE20; // p00-p10 edge of the first triangle
            if (i == 3)
                e0 |= ovpTRIANGLE_EDGE12; // p11-p10
            if (i == 0)
                e1 |= ovpTRIANGLE_EDGE01; // p00-p01
            if (j == 3)
                e1 |= ovpTRIANGLE_EDGE12; // p01-p11
            grid.push_back(Triangle(p00, p11, p10, 0.0f, e0));
            grid.push_back(Triangle(p00, p01, p11, 0.0f, e1));
        }
    }
    for (const OvpVolume& t : grid) {
        ASSERT_GT(OvpTriangleGetShape(&t).normal.y, 0.99f);
    }
    OvpVolume box = Box(0.5f, 0.5f, 0.5f, 0.01f), ball, capsule;
    OvpSphereInit(&ball, 0.3f);
    OvpVolumeInit(&capsule, &ovpCapsuleVolumeType);
    capsule.data.param[0] = 0.4f;
    capsule.fat = 0.2f;
    const OvpVolume* bodies[3] = {&box, &ball, &capsule};
    const float rest[3] = {0.5f + 0.01f, 0.3f, 0.2f};
    int contacts = 0;
    for (int b = 0; b < 3; ++b) {
        for (int step = 0; step <= 60; ++step) {
            // Slide across the seams, turned a little, sinking 5 mm.
            const float s = -1.2f + 2.4f * step / 60.0f;
            const OvMatrix m = Placement(AxisAngle({0, 1, 0}, 0.3f + s), {s, rest[b] - 0.005f, 0.37f * s});
            for (const OvpVolume& t : grid) {
                const OvpCollisionPair pair = {{bodies[b], &t}, {&m, nullptr}};
                OvpContact set;
                if (OvpCollideVolumes(&pair, 0.02f, 1.0f, &set)) {
                    ++contacts;
                    EXPECT_NEAR(set.normal.y, 1.0f, 1e-5f) << "body " << b << " step " << step;
                    for (OvUInt32 i = 0; i < set.count; ++i) {
                        EXPECT_NEAR(set.points[i].separation, -0.005f, 2e-3f) << "body " << b << " step " << step;
                    }
                }
            }
        }
    }
    EXPECT_GT(contacts, 200);
    // A triangle of real edges as the body, a corner 5 mm into the grid: the grid's shared edges
    // and face decide the normal in either order of the pair.
    int triangleContacts = 0;
    for (int step = 0; step <= 60; ++step) {
        const float s = -1.2f + 2.4f * step / 60.0f;
        const OvV3d at = {s, -0.005f, 0.37f * s};
        const OvpVolume corner = Triangle(at, OvpAdd(at, {0.3f, 0.2f, 0.1f}), OvpAdd(at, {-0.1f, 0.25f, 0.3f}));
        for (const OvpVolume& t : grid) {
            for (int order = 0; order < 2; ++order) {
                const OvpCollisionPair pair = {{order == 0 ? &corner : &t, order == 0 ? &t : &corner},
                                               {nullptr, nullptr}};
                OvpContact set;
                if (OvpCollideVolumes(&pair, 0.02f, 1.0f, &set)) {
                    ++triangleContacts;
                    EXPECT_NEAR(set.normal.y, order == 0 ? 1.0f : -1.0f, 1e-5f)
                        << "step " << step << " order " << order;
                }
            }
        }
    }
    EXPECT_GT(triangleContacts, 120);

    // A two-sided triangle under a body turns its normal towards it; a one-sided one does not.
    const OvMatrix below = Placement(kIdentity, {0.2f, -0.29f, 0.3f});
    for (const OvUInt32 word : {0u, 1u}) {
        const OvpVolume t = Triangle({0, 0, 0}, {0, 0, 1}, {1, 0, 0}, 0.0f, word);
        const OvpCollisionPair pair = {{&ball, &t}, {&below, nullptr}};
        OvpContact set;
        ASSERT_TRUE(OvpCollideVolumes(&pair, 0.02f, 1.0f, &set));
        EXPECT_NEAR(set.normal.y, word == 0 ? -1.0f : 1.0f, 1e-5f) << word;
    }
}

TEST(PhysicsNarrow, PointsAreCutAtTheThresholdAndRepeatsDropped) {
    // A tilted square: two corners within the threshold, two beyond; the cut points carry it.
    const OvV3d square[4] = {{0, 0, 0}, {1, 0, 0}, {1, 0, 1}, {0, 0, 1}};
    OvpFeaturePlane planes[2] = {{{0, -1, 0}, 0.0f}, {{0, 1, 0}, 0.0f}};
    // A's plane tilted: the gap runs from -0.05 at z = 0 to 0.15 at z = 1.
    const float k = 0.2f;
    const float l = std::sqrt(1 + k * k);
    planes[0] = {{0, -1 / l, k / l}, 0.05f / l};
    OvpContact set{};
    set.normal = {0, 1, 0};
    const OvInt32 n = OvpCollisionWritePoints(square, 4, planes, 0.07f, 0.0f, &set);
    ASSERT_EQ(n, 4);
    int cut = 0;
    for (OvUInt32 i = 0; i < set.count; ++i) {
        EXPECT_LE(set.points[i].separation, 0.07f + 1e-6f);
        cut += std::fabs(set.points[i].separation - 0.07f) < 1e-6f;
    }
    EXPECT_EQ(cut, 2);
    // Nothing within the threshold: nothing stored; repeats dropped.
    OvpContact none{};
    none.normal = {0, 1, 0};
    EXPECT_EQ(OvpCollisionWritePoints(square, 4, planes, -0.06f, 0.0f, &none), 0);
    const OvV3d p = {1, 2, 3}, q = {1.001f, 2, 3};
    EXPECT_TRUE(OvpCollisionAddRecordPoint(&none, &p, 0.0f, 0.01f));
    EXPECT_FALSE(OvpCollisionAddRecordPoint(&none, &q, 0.0f, 0.01f));
    EXPECT_TRUE(OvpCollisionAddRecordPoint(&none, &q, 0.0f, -1.0f));
    // A hexagon so far out that every reduction measure overflows to no number still comes down
    // to four points, as does one of ordinary size.
    for (const float radius : {1.0f, 1e11f}) {
        OvV3d hexagon[6];
        for (int i = 0; i < 6; ++i) {
            hexagon[i] = {radius * std::cos(1.0471976f * i), 0.0f, radius * std::sin(1.0471976f * i)};
        }
        const OvpFeaturePlane flat[2] = {{{0, -1, 0}, 0.0f}, {{0, 1, 0}, 0.0f}};
        OvpContact six{};
        six.normal = {0, 1, 0};
        EXPECT_EQ(OvpCollisionWritePoints(hexagon, 6, flat, 0.01f, 0.0f, &six), 4) << radius;
    }
}

TEST(PhysicsNarrow, EveryTypePairSweptThroughEachOther) {
    // Plane, sphere, capsule, triangle, box, cylinder, convex: each moved through each along a
    // tilted line. Every contact set is sane, and every pair touches somewhere on the way.
    const float corners[] = {-0.4f, -0.3f, -0.5f, 0.4f, -0.3f, -0.5f, -0.4f, 0.3f, -0.5f, 0.4f, 0.3f, -0.5f,
                             -0.4f, -0.3f, 0.5f,  0.4f, -0.3f, 0.5f,  -0.4f, 0.3f, 0.5f,  0.4f, 0.3f, 0.5f};
    OvpConvexHull* hull = OvpConvexHullCreateFromPoints(8, corners, nullptr, nullptr);
    ASSERT_NE(hull, nullptr);
    OvpVolume v[7];
    OvpVolumeInit(&v[0], &ovpPlaneVolumeType);
    OvpSphereInit(&v[1], 0.4f);
    OvpVolumeInit(&v[2], &ovpCapsuleVolumeType);
    v[2].data.param[0] = 0.5f;
    v[2].fat = 0.2f;
    v[3] = Triangle({-0.6f, 0, -0.4f}, {0, 0, 0.7f}, {0.6f, 0, -0.4f}, 0.01f, 0);
    v[4] = Box(0.4f, 0.3f, 0.5f, 0.01f);
    OvpVolumeInit(&v[5], &ovpCylinderVolumeType);
    v[5].data.param[0] = 0.4f;
    v[5].data.param[1] = 0.3f;
    v[5].fat = 0.02f;
    OvpConvexInit(&v[6], hull);
    OvpConvexHullRelease(hull);
    v[6].fat = 0.01f;
    std::mt19937 rng(3);
    for (int ia = 1; ia < 7; ++ia) {
        for (int ib = 0; ib < 7; ++ib) {
            const bool worldB = ib == 3;
            OvMatrix mb = RandomPlacement(rng);
            if (ib == 0) {
                mb = Placement(AxisAngle({1, 0, 0}, -1.5707963f), {0, 0, 0}); // at axis up
            }
            const OvMatrix ma0 = RandomPlacement(rng);
            int touching = 0;
            for (int step = 0; step <= 80; ++step) {
                OvMatrix ma = ma0;
                const float t = 2.0f - 4.0f * step / 80.0f;
                const OvV3d centre = worldB ? OvV3d{0, 0, 0} : mb.pos;
                ma.pos = OvpAdd(centre, {0.3f * t, t, -0.2f * t});
                // A triangle keeps world coordinates: it is moved by making it again.
                OvpVolume moved = v[ia];
                if (ia == 3) {
                    const OvpTriangleShape t3 = OvpTriangleGetShape(&v[3]);
                    OvpTriangleInit(&moved, OvpAdd(t3.p0, ma.pos), OvpAdd(t3.p1, ma.pos), OvpAdd(t3.p2, ma.pos), 0);
                }
                const OvpCollisionPair pair = {{&moved, &v[ib]}, {ia == 3 ? nullptr : &ma, worldB ? nullptr : &mb}};
                OvpContact set;
                if (!OvpCollideVolumes(&pair, 0.05f, 1.0f, &set)) {
                    continue;
                }
                ++touching;
                ASSERT_GE(set.count, 1u);
                ASSERT_LE(set.count, 4u);
                EXPECT_NEAR(Len(set.normal), 1.0f, 1e-3f) << ia << " on " << ib;
                for (OvUInt32 i = 0; i < set.count; ++i) {
                    EXPECT_TRUE(
                        std::isfinite(set.points[i].position.x + set.points[i].position.y + set.points[i].position.z));
                    EXPECT_LE(set.points[i].separation, 0.05f + 1e-4f) << ia << " on " << ib << " step " << step;
                    EXPECT_LE(Len(OvpSub(set.points[i].position, centre)), 3.0f) << ia << " on " << ib;
                }
            }
            EXPECT_GT(touching, 0) << ia << " on " << ib;
        }
    }
    OvpVolumeDeinit(&v[6]);
}

namespace {

// A user walker over a 6 x 6 grid of unit squares at y = 0 (two triangles each, border edges
// flagged, two-sided); the triangle of index 17 is marked skipped.
void GridWalker(const OvpVolume*, const OvMatrix*, const OvpBBox* box, void*, OvpTriangleBuffer* buffer) {
    buffer->count = 0;
    buffer->flags = ovpTRIANGLES_WORLDSPACE;
    OvUInt32 index = 0;
    for (int i = 0; i < 6; ++i) {
        for (int j = 0; j < 6; ++j, index += 2) {
            const float x = i - 3.0f, z = j - 3.0f;
            if (x > box->sup.x || x + 1 < box->inf.x || z > box->sup.z || z + 1 < box->inf.z || box->inf.y > 0.0f) {
                continue;
            }
            OvUInt32 e0 = 0, e1 = 0;
            if (j == 0)
                e0 |= ovpTRIANGLE_EDGE20;
            if (i == 5)
                e0 |= ovpTRIANGLE_EDGE12;
            if (i == 0)
                e1 |= ovpTRIANGLE_EDGE01;
            if (j == 5)
                e1 |= ovpTRIANGLE_EDGE12;
            const OvV3d p00 = {x, 0, z}, p10 = {x + 1, 0, z}, p01 = {x, 0, z + 1}, p11 = {x + 1, 0, z + 1};
            OvpTriangleBufferAppend(buffer, p00, p11, p10, nullptr, index, e0);
            OvpTriangleBufferAppend(buffer, p00, p01, p11, nullptr, index + 1,
                                    index + 1 == 17 ? e1 | ovpTRIANGLE_SKIP : e1);
        }
    }
}

struct Gatherer {
    std::vector<OvpGatheredPart> entries = std::vector<OvpGatheredPart>(64);
    std::vector<OvpBBox> boxes = std::vector<OvpBBox>(64);
    std::vector<OvMatrix> matrices = std::vector<OvMatrix>(64);
    std::vector<OvpTriangleRecord> records = std::vector<OvpTriangleRecord>(64);
    std::vector<OvpVolume> temporaries = std::vector<OvpVolume>(64);
    OvpGatherState state{};
    explicit Gatherer(int capacity) {
        state = {entries.data(),
                 boxes.data(),
                 0,
                 capacity,
                 matrices.data(),
                 0,
                 capacity,
                 {records.data(), 0, capacity, 0, nullptr},
                 temporaries.data(),
                 0,
                 capacity,
                 0.05f,
                 0,
                 0};
    }
};

} // namespace

TEST(PhysicsTrilist, GatheredTrianglesUnderASlidingBoxGiveFaceNormals) {
    OvpVolume* floor = OvpTrilistCreate(nullptr, ovpTRILIST_USER);
    ASSERT_NE(floor, nullptr);
    OvpVolumeSetTriangleCallback(floor, reinterpret_cast<OvpVolumeCallback>(&GridWalker));
    OvpVolumeSetFriction(floor, 0.7f);
    OvSphere sphere;
    OvpVolumeGetBoundingSphere(floor, nullptr, &sphere);
    EXPECT_EQ(sphere.radius, FLT_MAX);
    OvpBBox all;
    OvpVolumeGetBoundingBox(floor, nullptr, 0, &all);
    EXPECT_EQ(all.sup.x, 10000.0f);

    const OvpVolume box = Box(0.5f, 0.5f, 0.5f, 0.01f);
    for (int step = 0; step <= 40; ++step) {
        const float s = -1.5f + 3.0f * step / 40.0f;
        Gatherer g(64);
        g.matrices[0] = Placement(AxisAngle({0, 1, 0}, 0.2f + s), {s, 0.505f, 0.6f * s});
        OvpBBox boxBounds;
        OvpVolumeGetBoundingBox(&box, &g.matrices[0], 0, &boxBounds);
        const OvInt32 n = OvpGatherCompound(&g.state, nullptr, 0, floor, -1, 3, nullptr, &boxBounds, nullptr);
        ASSERT_GT(n, 0);
        EXPECT_FALSE(g.state.stop);
        int points = 0;
        for (OvInt32 e = 0; e < n; ++e) {
            const OvpGatheredPart& part = g.entries[e];
            EXPECT_NE(part.identity & 0xFFFF, 17u) << "a skipped triangle was gathered";
            EXPECT_EQ(part.identity >> 16, 3u);
            EXPECT_EQ(part.volume->friction, 0.7f);
            for (OvInt32 f = 0; f < e; ++f) {
                EXPECT_NE(g.entries[f].identity, part.identity);
            }
            const OvpCollisionPair pair = {{&box, part.volume}, {&g.matrices[0], part.matrix}};
            OvpContact set;
            if (OvpCollideVolumes(&pair, 0.02f, 1.0f, &set)) {
                points += static_cast<int>(set.count);
                EXPECT_NEAR(set.normal.y, 1.0f, 1e-5f) << "step " << step << " triangle " << (part.identity & 0xFFFF);
            }
        }
        EXPECT_GE(points, 4) << step;
    }

    // Full arrays raise the stop flag instead of overrunning.
    Gatherer small(3);
    small.state.triangles.capacity = 64;
    const OvpBBox wide = {{2, 1, 2}, 0, {-2, -1, -2}, 0};
    EXPECT_EQ(OvpGatherCompound(&small.state, nullptr, 0, floor, -1, 0, nullptr, &wide, nullptr), 3);
    EXPECT_TRUE(small.state.stop);
    EXPECT_TRUE(OvpVolumeDestroy(floor));
}

TEST(PhysicsTrilist, AggregateChildrenAreGatheredNearTheOtherEnd) {
    OvpAggChildren* list = OvpAggChildrenCreate(2);
    ASSERT_NE(list, nullptr);
    const float h[3] = {0.2f, 0.2f, 0.2f};
    OvpBoxInit(OvpAggChildrenGetChild(list, 0), h);
    OvpSphereInit(OvpAggChildrenGetChild(list, 1), 0.3f);
    OvpAggChildrenGetChild(list, 1)->matrix.pos = {5, 0, 0};
    OvpAggChildrenGetChild(list, 1)->matrix.flags = 0;
    OvpVolume aggregate;
    OvpAggregateInit(&aggregate, list);
    Gatherer g(8);
    g.matrices[0] = Placement(kIdentity, {1, 0, 0});
    const OvpBBox near = {{1.5f, 0.5f, 0.5f}, 0, {0.5f, -0.5f, -0.5f}, 0};
    ASSERT_EQ(OvpGatherCompound(&g.state, nullptr, 7, &aggregate, 0, 1, nullptr, &near, nullptr), 1);
    EXPECT_EQ(g.entries[0].identity, 65536u + 1);
    EXPECT_EQ(g.entries[0].part, 7);
    EXPECT_NEAR(g.entries[0].matrix->pos.x, 1.0f, 1e-6f);
    const OvpBBox far = {{6.5f, 0.5f, 0.5f}, 0, {5.5f, -0.5f, -0.5f}, 0};
    Gatherer g2(8);
    g2.matrices[0] = g.matrices[0];
    ASSERT_EQ(OvpGatherCompound(&g2.state, nullptr, 7, &aggregate, 0, 1, nullptr, &far, nullptr), 1);
    EXPECT_EQ(g2.entries[0].identity, 65536u + 2);
    EXPECT_NEAR(g2.entries[0].matrix->pos.x, 6.0f, 1e-6f);
    OvpVolumeDeinit(&aggregate);
    OvpAggChildrenRelease(list);
}

// A soup of random triangles over the square +-3 whatever the query box asks for.
void SoupWalker(const OvpVolume*, const OvMatrix*, const OvpBBox*, void*, OvpTriangleBuffer* buffer) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> across(-3.0f, 3.0f), height(-0.5f, 0.5f), edge(-0.6f, 0.6f);
    for (OvUInt32 i = 0; i < 60; ++i) {
        const OvV3d a = {across(rng), height(rng), across(rng)};
        const OvV3d b = OvpAdd(a, {edge(rng), edge(rng), edge(rng)}), c = OvpAdd(a, {edge(rng), edge(rng), edge(rng)});
        OvpTriangleBufferAppend(buffer, a, b, c, nullptr, i, i % 7 == 0 ? ovpTRIANGLE_ALLEDGES : 0u);
    }
}

// Told that every entry of the other end carries the other end's box, the gathering leaves out
// the triangles the part-pair filter would drop against that box, and only those, in order.
TEST(PhysicsTrilist, TrianglesBesideAnExactOtherBoxAreLeftOut) {
    OvpVolume* soup = OvpTrilistCreate(nullptr, ovpTRILIST_USER);
    ASSERT_NE(soup, nullptr);
    OvpVolumeSetTriangleCallback(soup, reinterpret_cast<OvpVolumeCallback>(&SoupWalker));
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> across(-3.0f, 3.0f), size(0.05f, 1.0f);
    int left = 0;
    for (int trial = 0; trial < 200; ++trial) {
        const OvV3d c = {across(rng), 0.3f * across(rng), across(rng)};
        const float h = size(rng);
        const OvpBBox other = {OvpAdd(c, {h, h, h}), 0, OvpSub(c, {h, h, h}), 0};
        Gatherer all(64), exact(64);
        exact.state.flags = ovpGATHER_OTHERBOXEXACT;
        const OvInt32 n = OvpGatherCompound(&all.state, nullptr, 0, soup, -1, 0, nullptr, &other, nullptr);
        const OvInt32 kept = OvpGatherCompound(&exact.state, nullptr, 0, soup, -1, 0, nullptr, &other, nullptr);
        ASSERT_EQ(n, 60);
        OvInt32 k = 0;
        for (OvInt32 e = 0; e < n; ++e) {
            if (OvpBoxesApart(all.boxes[e], other, all.state.margin)) {
                ++left;
                continue;
            }
            ASSERT_LT(k, kept) << trial;
            EXPECT_EQ(exact.entries[k].identity, all.entries[e].identity) << trial;
            EXPECT_EQ(std::memcmp(&exact.boxes[k], &all.boxes[e], sizeof(OvpBBox)), 0) << trial;
            EXPECT_EQ(std::memcmp(&exact.temporaries[k].matrix, &all.entries[e].volume->matrix, sizeof(OvMatrix)), 0);
            ++k;
        }
        EXPECT_EQ(kept, k) << trial;
        EXPECT_EQ(exact.state.temporaryCount, k) << "a left-out triangle took a volume";
    }
    EXPECT_GT(left, 5000);
    EXPECT_TRUE(OvpVolumeDestroy(soup));
}

TEST(PhysicsNarrow, DegenerateShapesGiveFiniteContacts) {
    // Coincident sphere centres, a triangle collapsed to a segment and to a point, a box of no
    // thickness: whatever they yield is finite, unit-normal and at most four points.
    OvpVolume sa, sb;
    OvpSphereInit(&sa, 0.5f);
    OvpSphereInit(&sb, 0.5f);
    const OvMatrix same = Placement(kIdentity, {1, 1, 1});
    const OvpVolume box = Box(0.5f, 0.5f, 0.5f, 0.01f), flat = Box(0.5f, 0.0f, 0.5f, 0.0f);
    const OvMatrix boxAt = Placement(AxisAngle({0, 1, 0}, 0.4f), {0.1f, 0.5f, 0.2f});
    const OvpVolume segment = Triangle({-1, 0, 0}, {0, 0, 0}, {1, 0, 0});
    const OvpVolume point = Triangle({0, 0, 0}, {0, 0, 0}, {0, 0, 0}, 0.1f);
    const OvMatrix flatAt = Placement(kIdentity, {0.2f, 0.3f, 0});
    struct Case {
        const OvpVolume* a;
        const OvMatrix* ma;
        const OvpVolume* b;
        const OvMatrix* mb;
    } cases[] = {{&sa, &same, &sb, &same},       {&box, &boxAt, &segment, nullptr}, {&box, &boxAt, &point, nullptr},
                 {&flat, &flatAt, &box, &boxAt}, {&box, &boxAt, &flat, &flatAt},    {&sa, &same, &point, nullptr}};
    int touching = 0;
    for (const Case& c : cases) {
        const OvpCollisionPair pair = {{c.a, c.b}, {c.ma, c.mb}};
        OvpContact set;
        if (!OvpCollideVolumes(&pair, 0.05f, 1.0f, &set)) {
            continue;
        }
        ++touching;
        EXPECT_LE(set.count, 4u);
        EXPECT_NEAR(Len(set.normal), 1.0f, 1e-4f);
        for (OvUInt32 i = 0; i < set.count; ++i) {
            EXPECT_TRUE(std::isfinite(set.points[i].separation) &&
                        std::isfinite(set.points[i].position.x + set.points[i].position.y + set.points[i].position.z));
        }
    }
    EXPECT_GE(touching, 3);
}

namespace {

// Bitwise equality, so that the box-pair routine is held to the general routine's rounding.
bool Same(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool Same(const OvV3d& a, const OvV3d& b) { return Same(a.x, b.x) && Same(a.y, b.y) && Same(a.z, b.z); }

// Two records the same bit for bit: point count, normal, kinds, points and their separations.
::testing::AssertionResult SameRecord(const OvpContact& a, const OvpContact& b) {
    if (a.count != b.count || !Same(a.normal, b.normal) || a.kind[0] != b.kind[0] || a.kind[1] != b.kind[1]) {
        return ::testing::AssertionFailure() << "counts " << a.count << " / " << b.count << ", normals or kinds differ";
    }
    for (OvUInt32 i = 0; i < a.count; ++i) {
        if (!Same(a.points[i].position, b.points[i].position) ||
            !Same(a.points[i].separation, b.points[i].separation)) {
            return ::testing::AssertionFailure() << "point " << i << " differs";
        }
    }
    return ::testing::AssertionSuccess();
}

} // namespace

// The box-pair routine against the general separating-axis routine over random pairs: free
// placements, boxes stacked face on face (the tie between the two faces' axes), apart,
// touching and deep, fat and without placement. The axis, offset and separation agree bit for
// bit; a pair the box routine calls apart early is apart by the threshold; the records agree.
TEST(PhysicsNarrow, BoxPairsGiveTheGeneralRoutinesContacts) {
    std::mt19937 rng(54);
    std::uniform_real_distribution<float> size(0.05f, 1.2f), unit(-1.0f, 1.0f), gap(-0.08f, 0.08f);
    std::uniform_int_distribution<int> kind(0, 5);
    const float threshold = 0.05f;
    int touching = 0, early = 0, ties = 0;
    for (int trial = 0; trial < 6000; ++trial) {
        const int k = kind(rng);
        OvpVolume va = Box(size(rng), size(rng), size(rng), k == 4 ? 0.05f * (unit(rng) + 1.0f) : 0.0f);
        OvpVolume vb = Box(size(rng), size(rng), size(rng), k == 4 ? 0.02f : 0.0f);
        OvMatrix ma = RandomPlacement(rng), mb = RandomPlacement(rng);
        const OvMatrix* pa = &ma;
        const OvMatrix* pb = &mb;
        if (k == 1 || k == 2) {
            // A resting on B: the same orientation (k 1) or a small tilt and turn (k 2).
            OvQuat q = AxisAngle({0.0f, 1.0f, 0.0f}, 3.0f * unit(rng));
            mb = Placement(q, {unit(rng), unit(rng), unit(rng)});
            if (k == 2) {
                q = OvpMathQuatMultiply(AxisAngle({1.0f, 0.0f, 0.0f}, 0.02f * unit(rng)), q);
            }
            ma = Placement(q, OvpAdd(mb.pos, OvpAdd(OvpScale(mb.up, va.data.param[1] + vb.data.param[1] + gap(rng)),
                                                    OvpAdd(OvpScale(mb.right, 0.5f * unit(rng)),
                                                           OvpScale(mb.at, 0.5f * unit(rng))))));
        } else if (k == 3) {
            // Far apart along a random direction, or deep inside each other.
            ma.pos = OvpAdd(mb.pos, OvpScale({unit(rng), unit(rng), unit(rng)}, trial % 2 == 0 ? 4.0f : 0.2f));
        } else if (k == 5) {
            // Without a placement or at the identity: world axes and no shift.
            OvMatrixSetIdentity(&ma);
            pb = trial % 2 == 0 ? nullptr : &mb;
            if (pb == nullptr) {
                ma.pos = {unit(rng), unit(rng), unit(rng)};
                ma.flags = 0;
            }
        } else {
            ma.pos = OvpAdd(mb.pos, OvpScale({unit(rng), unit(rng), unit(rng)}, 1.5f));
        }
        const OvpCollisionPair pair = {{&va, &vb}, {pa, pb}};
        OvV3d n0, n1;
        float o0, o1, s0, s1;
        ASSERT_TRUE(OvpGeneralPrimitiveSeparate(&pair, threshold, &n0, &o0, &s0));
        ASSERT_TRUE(OvpBoxBoxSeparate(&pair, FLT_MAX, &n1, &o1, &s1));
        ASSERT_TRUE(Same(n0, n1) && Same(o0, o1) && Same(s0, s1))
            << trial << " kind " << k << " separation " << s0 << " / " << s1 << " n " << n0.x << "," << n0.y << ","
            << n0.z << " / " << n1.x << "," << n1.y << "," << n1.z << " offset " << o0 << " / " << o1;
        if (!OvpBoxBoxSeparate(&pair, threshold, &n1, &o1, &s1)) {
            ++early;
            EXPECT_GE(s0, threshold) << trial;
        }
        // The record the general routine makes from its own axis and features.
        OvpContact general{}, boxes{};
        OvpCollisionFeatures work;
        work.pool = nullptr;
        work.room = 0;
        work.used = 0;
        general.count = 0;
        const bool hit = OvpGeneralPrimitiveSeparate(&pair, threshold, &work.normal, &work.offset, &work.separation) &&
                         work.separation < threshold && OvpCollisionGetFeatures(&pair, &work.normal, &work) &&
                         OvpCollisionMakeRecord(&pair, &work, threshold, &general);
        ASSERT_EQ(OvpCollideVolumes(&pair, threshold, 1.0f, &boxes) != 0, hit) << trial;
        if (!hit) {
            continue;
        }
        ++touching;
        ties += k == 1 ? 1 : 0;
        ASSERT_TRUE(SameRecord(boxes, general)) << trial;
    }
    EXPECT_GT(touching, 1500);
    EXPECT_GT(early, 1000);
    EXPECT_GT(ties, 300);
}

// A sphere against triangles (edge flags, one-sided, fat, either order, over the face and
// beside it) gets the records of the general routine with every axis: the triangle's face axis
// is taken alone against a piece without edges, checked against a copy of the triangle type,
// which the narrow phase treats as any volume. The vertex against a face, searched once per
// normal with a memo, gives what a fresh search gives, and a new normal searches again.
namespace {

// The point of the triangle closest to p, and the edge flags of where it lies (0 inside).
OvV3d ClosestOnTriangle(const OvpTriangleShape& t, const OvV3d& p, OvUInt32* edges) {
    const OvV3d v[3] = {t.p0, t.p1, t.p2};
    const OvUInt32 flag[3] = {ovpTRIANGLE_EDGE01, ovpTRIANGLE_EDGE12, ovpTRIANGLE_EDGE20};
    const OvV3d onPlane = OvpSub(p, OvpScale(t.normal, OvpDot(t.normal, p) - t.offset));
    bool inside = true;
    for (int i = 0; i < 3; ++i) {
        inside = inside && OvpDot(OvpCross(OvpSub(v[(i + 1) % 3], v[i]), OvpSub(onPlane, v[i])), t.normal) > 0.0f;
    }
    *edges = 0;
    if (inside) {
        return onPlane;
    }
    OvV3d q[3];
    float d[3];
    int k = 0;
    for (int i = 0; i < 3; ++i) {
        q[i] = ClosestOnSegment(p, v[i], v[(i + 1) % 3]);
        d[i] = Len(OvpSub(p, q[i]));
        k = d[i] < d[k] ? i : k;
    }
    for (int i = 0; i < 3; ++i) {
        *edges |= d[i] <= d[k] + 1e-5f ? flag[i] : 0;
    }
    return q[k];
}

} // namespace

TEST(PhysicsNarrow, SpheresOnTrianglesGiveTheGeneralRoutinesRecords) {
    std::mt19937 rng(56);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f), radius(0.1f, 0.8f), gap(-0.1f, 0.06f);
    std::uniform_int_distribution<int> flags(0, 15);
    const OvpVolumeType plainTriangle = ovpTriangleVolumeType;
    const float threshold = 0.05f;
    int records = 0, beside = 0, searched = 0, rims = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const OvV3d a = {unit(rng), 0.2f * unit(rng), unit(rng)};
        const OvV3d b = {unit(rng), 0.2f * unit(rng), unit(rng)}, c = {unit(rng), 0.2f * unit(rng), unit(rng)};
        const OvpVolume t = Triangle(a, b, c, trial % 3 == 0 ? 0.01f : 0.0f, static_cast<OvUInt32>(flags(rng)));
        OvpVolume plain = t;
        plain.type = &plainTriangle;
        OvpVolume s;
        OvpSphereInit(&s, radius(rng));
        const OvpTriangleShape shape = OvpTriangleGetShape(&t);
        // Over a point of the face or beyond an edge, along either side's normal.
        const OvV3d at =
            OvpAdd(OvpScale(OvpAdd(OvpAdd(a, b), c), 1.0f / 3.0f), {0.8f * unit(rng), 0, 0.8f * unit(rng)});
        OvMatrix m = RandomPlacement(rng);
        m.pos = OvpAdd(at, OvpScale(shape.normal, (trial % 4 == 0 ? -1.0f : 1.0f) * (s.fat + t.fat + gap(rng))));
        float lo, hi;
        ASSERT_TRUE(OvpVolumeGetInterval(&s, &m, &shape.normal, &lo, &hi));
        const float shift = OvpDot(m.pos, shape.normal);
        EXPECT_TRUE(Same(lo, 0.0f + shift) && Same(hi, 0.0f + shift)) << trial;
        // Some spheres stay at the origin, without a matrix or with one marked identity, and
        // their triangle moves instead.
        const int unplaced = (trial / 3) % 4;
        OvMatrix identity = m;
        identity.flags |= ovMATRIXINTERNALIDENTITY;
        const OvMatrix* sm = unplaced == 1 ? nullptr : unplaced == 2 ? &identity : &m;
        const OvpVolume moved =
            Triangle(OvpSub(a, m.pos), OvpSub(b, m.pos), OvpSub(c, m.pos), t.fat, OvpTriangleGetEdgeFlags(&t));
        OvpVolume movedPlain = moved;
        movedPlain.type = &plainTriangle;
        const OvpVolume* st = sm == &m ? &t : &moved;
        const OvpVolume* sg = sm == &m ? &plain : &movedPlain;
        for (int order = 0; order < 2; ++order) {
            const OvpCollisionPair pair =
                order == 0 ? OvpCollisionPair{{st, &s}, {nullptr, sm}} : OvpCollisionPair{{&s, st}, {sm, nullptr}};
            const OvpCollisionPair general =
                order == 0 ? OvpCollisionPair{{sg, &s}, {nullptr, sm}} : OvpCollisionPair{{&s, sg}, {sm, nullptr}};
            OvpContact x{}, y{};
            const bool hit = OvpCollideVolumes(&pair, threshold, 1.0f, &x) != 0;
            ASSERT_EQ(OvpCollideVolumes(&general, threshold, 1.0f, &y) != 0, hit) << trial << " order " << order;
            if (!hit) {
                continue;
            }
            ++records;
            beside += x.kind[order] != ovpFEATURE_FACE ? 1 : 0;
            ASSERT_TRUE(SameRecord(x, y)) << trial << " order " << order;
        }
        // A sphere apart from the triangle beside its real edges touches what is near: a record
        // only within the threshold of the closest point, along the line from it to the centre.
        // (A face whose rim pushed like its whole plane stopped bodies beside a wall's end.)
        OvUInt32 on = 0;
        const OvV3d q = ClosestOnTriangle(shape, m.pos, &on);
        const OvUInt32 word = OvpTriangleGetEdgeFlags(&t);
        const float apart = Len(OvpSub(m.pos, q)) - s.fat - t.fat;
        if (on != 0 && apart > 0.0f && std::fabs(apart - threshold) > 1e-3f &&
            (word == ovpTRIANGLE_ALLEDGES || (on & ~word & ovpTRIANGLE_ALLEDGES) == 0)) {
            ++rims;
            const OvpCollisionPair pair = {{&t, &s}, {nullptr, &m}};
            OvpContact x{};
            const bool hit = OvpCollideVolumes(&pair, threshold, 1.0f, &x) != 0;
            ASSERT_EQ(hit, apart < threshold) << trial << " apart " << apart;
            if (hit) {
                const OvV3d line = OvpScale(OvpSub(m.pos, q), 1.0f / Len(OvpSub(m.pos, q))); // to the centre
                EXPECT_LT(OvpDot(x.normal, line), -0.9999f) << trial;                        // from B to A
                EXPECT_NEAR(x.points[0].separation, apart, 1e-4f) << trial;
            }
        }
        // The memo against fresh searches: the pair test's normal twice, then turned normals.
        OvpCollisionFeatures work{};
        const OvpCollisionPair pair = {{&t, &s}, {nullptr, &m}};
        if (!OvpGeneralPrimitiveSeparate(&pair, threshold, &work.normal, &work.offset, &work.separation) ||
            !OvpCollisionGetFeatures(&pair, &work.normal, &work) || work.side[0].count < 3) {
            continue;
        }
        ++searched;
        OvpVertexFaceMemo memo{};
        const OvV3d turn = {0.05f * unit(rng), 0.05f * unit(rng), 0.05f * unit(rng)};
        const OvV3d normals[4] = {work.normal, work.normal, OvpAdd(work.normal, turn), work.normal};
        for (int call = 0; call < 4; ++call) {
            OvV3d n[2] = {normals[call], normals[call]};
            float offset[2] = {work.offset, work.offset}, core[2] = {work.separation, work.separation};
            OvV3d points[2][ovpCONTACTMAXGENERATED];
            OvUInt8 kinds[2][2];
            OvpFeaturePlane planes[2][2];
            const OvInt32 fresh = OvpGeneralPrimitiveCollide(&work.side[0], &work.side[1], s.fat - t.fat, &offset[0],
                                                             &n[0], &core[0], points[0], kinds[0], planes[0], call % 2);
            const OvInt32 kept =
                OvpGeneralPrimitiveCollide(&work.side[0], &work.side[1], s.fat - t.fat, &offset[1], &n[1], &core[1],
                                           points[1], kinds[1], planes[1], call % 2, &memo);
            ASSERT_EQ(fresh, kept) << trial << " call " << call;
            EXPECT_TRUE(Same(n[0], n[1]) && Same(offset[0], offset[1]) && Same(core[0], core[1])) << trial;
            EXPECT_EQ(std::memcmp(kinds[0], kinds[1], sizeof(kinds[0])), 0) << trial;
            for (OvInt32 i = 0; i < fresh; ++i) {
                EXPECT_TRUE(Same(points[0][i], points[1][i])) << trial << " call " << call;
            }
            for (int side = 0; side < 2; ++side) {
                EXPECT_TRUE(Same(planes[0][side].normal, planes[1][side].normal) &&
                            Same(planes[0][side].offset, planes[1][side].offset))
                    << trial << " call " << call;
            }
        }
    }
    EXPECT_GT(records, 1500);
    EXPECT_GT(beside, 400);
    EXPECT_GT(searched, 800);
    EXPECT_GT(rims, 300);
}

namespace {

// A feature in the plane y = level from points given as (x, z), in their order.
OvpSupportFeature Feature(std::initializer_list<std::array<float, 2>> xz, float level, float facing) {
    OvpSupportFeature f;
    OvpSupportFeatureInit(&f);
    for (const auto& p : xz) {
        f.vertices[f.count++].p = {p[0], level, p[1]};
    }
    f.normal = {0.0f, facing, 0.0f};
    f.offset = facing * level;
    return f;
}

struct Generated {
    OvInt32 count;
    OvV3d points[ovpCONTACTMAXGENERATED];
    OvUInt8 kinds[2];
    OvpFeaturePlane planes[2];
    OvV3d normal;
};

// Contact generation of A above B (A at y = gap, B at y = 0, the normal straight up).
Generated Collide(const OvpSupportFeature& a, const OvpSupportFeature& b, float gap) {
    Generated g{};
    g.normal = {0.0f, 1.0f, 0.0f};
    float offset = gap * 0.5f, separation = gap;
    g.count = OvpGeneralPrimitiveCollide(&a, &b, 0.0f, &offset, &g.normal, &separation, g.points, g.kinds, g.planes, 0);
    return g;
}

using Polygon2d = std::vector<std::array<float, 2>>;

float Cross2d(const std::array<float, 2>& a, const std::array<float, 2>& b) { return a[0] * b[1] - a[1] * b[0]; }
std::array<float, 2> Minus(const std::array<float, 2>& a, const std::array<float, 2>& b) {
    return {a[0] - b[0], a[1] - b[1]};
}

// The intersection of two convex polygons by advancing one edge of each in turn, written out
// step by step from the rules of the narrow phase's polygon walk (both wound counter-clockwise
// seen against the normal; the plane's coordinates here are (z, x) so that they are).
Polygon2d WalkIntersection(const Polygon2d& A, const Polygon2d& B) {
    const int nA = static_cast<int>(A.size()), nB = static_cast<int>(B.size());
    Polygon2d out;
    bool closed = false;
    const auto add = [&](const std::array<float, 2>& p) {
        const auto apart = [](const std::array<float, 2>& x, const std::array<float, 2>& y) {
            const auto d = Minus(x, y);
            return d[0] * d[0] + d[1] * d[1];
        };
        if (closed || static_cast<int>(out.size()) >= nA + nB || (!out.empty() && apart(p, out.back()) < 1e-6f)) {
            return;
        }
        if (out.size() >= 2 && apart(p, out[0]) < 1e-6f) {
            closed = true;
            return;
        }
        out.push_back(p);
    };
    int i = 0, j = 0, state = 0;
    float lastHB = 0.0f, lastHA = 0.0f;
    bool anyHB = false, anyHA = false;
    for (int step = 0; step < 2 * (nA + nB) + 1 && !closed; ++step) {
        const auto &a0 = A[i % nA], &a1 = A[(i + 1) % nA], &b0 = B[j % nB], &b1 = B[(j + 1) % nB];
        const auto a = Minus(a1, a0), b = Minus(b1, b0);
        const float cross = Cross2d(a, b), hB = Cross2d(a, Minus(b1, a0)), hA = Cross2d(b, Minus(a1, b0));
        const bool kept = step > 0 && hB * lastHB > 0.0f && hA * lastHA > 0.0f;
        if (!kept && std::fabs(cross) >= 1e-6f) {
            const auto d = Minus(b0, a0);
            const float s = Cross2d(d, b) / cross, t = Cross2d(d, a) / cross;
            if (s > -1e-6f && s < 1.000001f && t > -1e-6f && t < 1.000001f) {
                add({a0[0] + a[0] * s, a0[1] + a[1] * s});
                state = cross < 0.0f ? 1 : 2;
            }
        }
        if (state == 1 && hA < 0.0f && hB > 0.0f) {
            state = 2;
        } else if (state == 2 && hB < 0.0f && hA > 0.0f) {
            state = 1;
        }
        if (hB < 0.0f && hA < 0.0f) {
            state = 0;
        }
        const bool advanceA = hB == 0.0f && hA == 0.0f ? state != 1 : cross <= 0.0f ? hA <= 0.0f : hB > 0.0f;
        if (advanceA) {
            if (state == 1) {
                add(a1);
            }
            ++i;
        } else {
            if (state == 2) {
                add(b1);
            }
            ++j;
        }
        anyHB = anyHB || hB <= 0.0f;
        anyHA = anyHA || hA <= 0.0f;
        lastHB = hB;
        lastHA = hA;
    }
    if (out.empty() && !anyHA && anyHB) {
        return A;
    }
    if (out.empty() && !anyHB && anyHA) {
        return B;
    }
    return out;
}

// Whether every point of one set lies within tolerance of a point of the other, both ways.
bool SamePoints(const Polygon2d& walk, const Generated& g, float tolerance) {
    const auto near = [&](const std::array<float, 2>& p, const OvV3d& q) {
        return std::fabs(p[0] - q.z) + std::fabs(p[1] - q.x) <= tolerance;
    };
    for (const auto& p : walk) {
        if (std::none_of(g.points, g.points + g.count, [&](const OvV3d& q) { return near(p, q); })) {
            return false;
        }
    }
    for (OvInt32 k = 0; k < g.count; ++k) {
        if (std::none_of(walk.begin(), walk.end(), [&](const auto& p) { return near(p, g.points[k]); })) {
            return false;
        }
    }
    return true;
}

} // namespace

TEST(PhysicsNarrow, KindsAndFeaturePlanesFollowWhereTheContactLies) {
    const OvpSupportFeature square = Feature({{0, 0}, {1, 0}, {1, 1}, {0, 1}}, 0.0f, 1.0f);
    struct Case {
        const char* name;
        OvV3d vertex;
        OvUInt8 kind;   // of the face
        OvV3d expected; // the contact point across the normal (y is the plane's)
    };
    const Case cases[] = {
        {"over the face", {0.5f, 0.01f, 0.5f}, ovpFEATURE_FACE, {0.5f, 0.005f, 0.5f}},
        {"exactly over an edge", {1.0f, 0.01f, 0.5f}, ovpFEATURE_EDGE, {1.0f, 0.005f, 0.5f}},
        {"exactly over a corner", {1.0f, 0.01f, 1.0f}, ovpFEATURE_VERTEX, {1.0f, 0.005f, 1.0f}},
        {"beyond an edge", {1.2f, 0.01f, 0.5f}, ovpFEATURE_EDGE, {1.0f, 0.005f, 0.5f}},
        {"beyond a corner", {1.2f, 0.01f, -0.3f}, ovpFEATURE_VERTEX, {1.0f, 0.005f, 0.0f}},
    };
    for (const Case& c : cases) {
        OvpSupportFeature vertex;
        OvpSupportFeatureInit(&vertex);
        vertex.vertices[vertex.count++].p = c.vertex;
        for (int order = 0; order < 2; ++order) { // the face as B, then as A (the vertex below it)
            Generated g;
            if (order == 0) {
                g = Collide(vertex, square, 0.01f);
            } else {
                OvpSupportFeature below = vertex;
                below.vertices[0].p.y = 0.0f;
                g = Collide(Feature({{0, 0}, {1, 0}, {1, 1}, {0, 1}}, 0.01f, -1.0f), below, 0.01f);
            }
            SCOPED_TRACE(std::string(c.name) + (order == 0 ? " (face B)" : " (face A)"));
            ASSERT_EQ(g.count, 1);
            EXPECT_EQ(g.kinds[order == 0 ? 0 : 1], ovpFEATURE_VERTEX);
            EXPECT_EQ(g.kinds[order == 0 ? 1 : 0], c.kind);
            // The point is B's: the face's closest point, or the vertex itself below a face of A.
            const OvV3d& expected = order == 0 ? c.expected : c.vertex;
            EXPECT_NEAR(g.points[0].x, expected.x, 1e-6f);
            EXPECT_NEAR(g.points[0].z, expected.z, 1e-6f);
            // The face's plane is its own over the face, else the plane holding its edge; at a
            // corner the contact normal.
            const OvpFeaturePlane& plane = g.planes[order == 0 ? 1 : 0];
            EXPECT_NEAR(std::fabs(plane.normal.y), 1.0f, 1e-6f);
        }
    }

    // Planes by kind: a vertex against a tilted edge whose closest point is its end takes the
    // contact normal for the edge (kind 0); inside the edge, the plane holding the edge.
    OvpSupportFeature edge;
    OvpSupportFeatureInit(&edge);
    edge.vertices[edge.count++].p = {0.0f, 0.0f, 0.0f};
    edge.vertices[edge.count++].p = {1.0f, -0.5f, 0.0f};
    for (const float x : {-0.2f, 0.5f}) {
        OvpSupportFeature vertex;
        OvpSupportFeatureInit(&vertex);
        vertex.vertices[vertex.count++].p = {x, 0.01f, 0.0f};
        const Generated g = Collide(vertex, edge, 0.01f);
        ASSERT_EQ(g.count, 1);
        const bool end = x < 0.0f;
        EXPECT_EQ(g.kinds[1], end ? ovpFEATURE_VERTEX : ovpFEATURE_EDGE) << x;
        const float across = OvpDot(g.planes[1].normal, OvV3d{1.0f, -0.5f, 0.0f});
        EXPECT_NEAR(across, end ? OvpDot(g.normal, OvV3d{1.0f, -0.5f, 0.0f}) : 0.0f, 1e-6f) << x;
    }

    // Faces apart across the normal take the kinds of their closest points: side by side along
    // parallel edges both 1, with the second point on B's edge that the pair was found on.
    const OvpSupportFeature left = Feature({{0, 0}, {1, 0}, {1, 1}, {0, 1}}, 0.0f, 1.0f);
    const OvpSupportFeature right = Feature({{2.1f, 1.5f}, {1.1f, 1.5f}, {1.1f, 0.25f}, {2.1f, 0.25f}}, 0.01f, -1.0f);
    Generated g = Collide(right, left, 0.01f);
    ASSERT_EQ(g.count, 2);
    EXPECT_EQ(g.kinds[0], ovpFEATURE_EDGE);
    EXPECT_EQ(g.kinds[1], ovpFEATURE_EDGE);
    for (OvInt32 k = 0; k < 2; ++k) {
        EXPECT_NEAR(g.points[k].x, 1.0f, 1e-6f) << k;
    }
    EXPECT_NEAR(std::fmin(g.points[0].z, g.points[1].z), 0.25f, 1e-6f);
    EXPECT_NEAR(std::fmax(g.points[0].z, g.points[1].z), 1.0f, 1e-6f);
    // Corner to corner: both 0.
    const OvpSupportFeature corner = Feature({{1.1f, 1.1f}, {2, 1.1f}, {2, 2}, {1.1f, 2}}, 0.01f, -1.0f);
    g = Collide(corner, left, 0.01f);
    ASSERT_EQ(g.count, 1);
    EXPECT_EQ(g.kinds[0], ovpFEATURE_VERTEX);
    EXPECT_EQ(g.kinds[1], ovpFEATURE_VERTEX);
}

TEST(PhysicsNarrow, ClippedFacesGiveTheEdgeWalksPolygon) {
    // Boundary cases, then random convex polygons (in either order of their corners).
    const Polygon2d square = {{0, 0}, {0, 1}, {1, 1}, {1, 0}};
    const std::vector<std::pair<const char*, Polygon2d>> boundary = {
        {"the same square", square},
        {"an edge along an edge", {{0, 0.5f}, {0, 1.5f}, {1, 1.5f}, {1, 0.5f}}},
        {"touching along an edge", {{0, 1}, {0, 2}, {1, 2}, {1, 1}}},
        {"touching at a corner", {{1, 1}, {1, 2}, {2, 2}, {2, 1}}},
        {"a corner on an edge", {{0.5f, 0.5f}, {0.2f, 1}, {0.5f, 1.5f}, {0.8f, 1}}},
        {"corners on two edges", {{-0.5f, 0.5f}, {0, 1}, {1.5f, 0.5f}, {0, 0}}},
        {"inside", {{0.2f, 0.2f}, {0.2f, 0.8f}, {0.8f, 0.8f}, {0.8f, 0.2f}}},
        {"a triangle on an edge", {{0.5f, 0.5f}, {1, 0.8f}, {1, 0.2f}}},
    };
    const auto feature = [](const Polygon2d& p, bool reversed, float level, float facing) {
        OvpSupportFeature f;
        OvpSupportFeatureInit(&f);
        for (std::size_t k = 0; k < p.size(); ++k) {
            const auto& q = p[reversed ? p.size() - 1 - k : k];
            f.vertices[f.count++].p = {q[1], level, q[0]};
        }
        f.normal = {0.0f, facing, 0.0f};
        f.offset = facing * level;
        return f;
    };
    const auto ccw = [](Polygon2d p) {
        float area = 0.0f;
        for (std::size_t k = 1; k + 1 < p.size(); ++k) {
            area += Cross2d(Minus(p[k], p[0]), Minus(p[k + 1], p[0]));
        }
        if (area < 0.0f) {
            std::reverse(p.begin(), p.end());
        }
        return p;
    };
    const auto check = [&](const Polygon2d& givenA, const Polygon2d& givenB, bool reversed, const std::string& what) {
        const Polygon2d a = ccw(givenA), b = ccw(givenB);
        const Generated g = Collide(feature(a, reversed, 0.01f, -1.0f), feature(b, !reversed, 0.0f, 1.0f), 0.01f);
        const Polygon2d walk = WalkIntersection(a, b);
        if (walk.empty()) { // apart: the closest pair, one point or two along parallel edges
            EXPECT_TRUE(g.count == 1 || g.count == 2) << what;
            return false;
        }
        EXPECT_TRUE(SamePoints(walk, g, 2e-3f)) << what << ": walk " << walk.size() << " points, clipped " << g.count;
        return !walk.empty();
    };
    for (const auto& [name, other] : boundary) {
        for (int order = 0; order < 4; ++order) {
            const bool swap = order & 1;
            check(swap ? other : square, swap ? square : other, order & 2,
                  std::string(name) + " " + std::to_string(order));
        }
    }
    std::mt19937 rng(67);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    const auto polygon = [&](int n) {
        const float cx = u(rng), cz = u(rng), r = 0.3f + 0.7f * std::fabs(u(rng)), phase = u(rng);
        Polygon2d p;
        for (int k = 0; k < n; ++k) {
            const float angle = phase + 6.2831853f * static_cast<float>(k) / static_cast<float>(n);
            p.push_back({cz + r * std::cos(angle), cx + r * std::sin(angle)});
        }
        return p;
    };
    int overlapping = 0;
    for (int trial = 0; trial < 1500; ++trial) {
        // Every seventh pair an edge against a face.
        const Polygon2d a = trial % 7 == 0 ? Polygon2d{{u(rng), u(rng)}, {u(rng), u(rng)}} : polygon(3 + trial % 6);
        const Polygon2d b = polygon(3 + (trial / 6) % 6);
        overlapping += check(a, b, trial % 4 == 0, "trial " + std::to_string(trial)) ? 1 : 0;
    }
    EXPECT_GT(overlapping, 600);
}
