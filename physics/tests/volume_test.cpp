#include "physics/core/volume/volume.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <functional>
#include <numbers>
#include <random>

#include "physics/core/context/dynamics.h"
#include "physics/core/utils/memory.h"
#include "physics/core/volume/aggregate.h"
#include "physics/core/volume/primitives.h"
#include "physics/tests/physics_test.h"

namespace {

constexpr float kPi = std::numbers::pi_v<float>;

OvpVolume MakeBox(float x, float y, float z, float fat = 0.0f) {
    OvpVolume v;
    const float h[3] = {x, y, z};
    OvpBoxInit(&v, h);
    v.fat = fat;
    return v;
}

OvpVolume MakeShape(const OvpVolumeType* type, float p0, float p1, float fat) {
    OvpVolume v;
    OvpVolumeInit(&v, type);
    v.data.param[0] = p0;
    v.data.param[1] = p1;
    v.fat = fat;
    return v;
}

// Distance from p to the core of each simple shape (0 inside the core).
float BoxCoreDistance(const OvpVolume& v, const OvV3d& p) {
    const float dx = std::fmax(std::fabs(p.x) - v.data.param[0], 0.0f);
    const float dy = std::fmax(std::fabs(p.y) - v.data.param[1], 0.0f);
    const float dz = std::fmax(std::fabs(p.z) - v.data.param[2], 0.0f);
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}
float CapsuleCoreDistance(const OvpVolume& v, const OvV3d& p) {
    const float dz = std::fmax(std::fabs(p.z) - v.data.param[0], 0.0f);
    return std::sqrt(p.x * p.x + p.y * p.y + dz * dz);
}
float CylinderCoreDistance(const OvpVolume& v, const OvV3d& p) {
    const float dr = std::fmax(std::sqrt(p.x * p.x + p.y * p.y) - v.data.param[1], 0.0f);
    const float dz = std::fmax(std::fabs(p.z) - v.data.param[0], 0.0f);
    return std::sqrt(dr * dr + dz * dz);
}

TEST(PhysicsVolume, MassPropertiesAgainstClosedForms) {
    OvpInertia inertia;
    OvV3d centre;
    OvpVolume box = MakeBox(1, 2, 3);
    EXPECT_FLOAT_EQ(OvpVolumeGetMassProperties(&box, &inertia, &centre), 48.0f);
    EXPECT_FLOAT_EQ(inertia.diagonal.x, 13.0f / 3.0f);
    EXPECT_FLOAT_EQ(inertia.diagonal.y, 10.0f / 3.0f);
    EXPECT_FLOAT_EQ(inertia.diagonal.z, 5.0f / 3.0f);

    OvpVolume sphere;
    OvpSphereInit(&sphere, 0.5f);
    EXPECT_FLOAT_EQ(OvpVolumeGetMassProperties(&sphere, &inertia, &centre), 4.0f / 3.0f * kPi * 0.125f);
    EXPECT_FLOAT_EQ(inertia.diagonal.y, 0.1f);

    // Capsule: a cylinder of length 2 (h + 0.67082 r); cylinder: length 2 (h + r), radius R + r.
    OvpVolume capsule = MakeShape(&ovpCapsuleVolumeType, 1.0f, 0.0f, 0.5f);
    const float length = 2.0f * (1.0f + 0.67082f * 0.5f);
    EXPECT_FLOAT_EQ(OvpVolumeGetMassProperties(&capsule, &inertia, &centre), kPi * 0.25f * length);
    EXPECT_FLOAT_EQ(inertia.diagonal.x, length * length / 12.0f + 0.0625f);
    EXPECT_FLOAT_EQ(inertia.diagonal.z, 0.125f);
    OvpVolume cylinder = MakeShape(&ovpCylinderVolumeType, 1.0f, 0.4f, 0.1f);
    EXPECT_FLOAT_EQ(OvpVolumeGetMassProperties(&cylinder, &inertia, &centre), kPi * 0.25f * 2.2f);
    EXPECT_FLOAT_EQ(inertia.diagonal.x, (3.0f * 0.25f + 2.2f * 2.2f) / 12.0f);

    // A rounded box against a Monte-Carlo estimate of the Minkowski sum.
    OvpVolume rounded = MakeBox(0.5f, 0.3f, 0.2f, 0.15f);
    const float v = OvpVolumeGetMassProperties(&rounded, &inertia, &centre);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> ux(-0.65f, 0.65f), uy(-0.45f, 0.45f), uz(-0.35f, 0.35f);
    const int samples = 400000;
    double inside = 0, xx = 0, yy = 0, zz = 0;
    for (int i = 0; i < samples; ++i) {
        const OvV3d p = {ux(rng), uy(rng), uz(rng)};
        if (BoxCoreDistance(rounded, p) <= 0.15f) {
            ++inside;
            xx += p.x * p.x;
            yy += p.y * p.y;
            zz += p.z * p.z;
        }
    }
    const double boxVolume = 1.3 * 0.9 * 0.7;
    EXPECT_NEAR(v, boxVolume * inside / samples, 0.01 * v);
    EXPECT_NEAR(inertia.diagonal.x, (yy + zz) / inside, 0.01 * inertia.diagonal.x);
    EXPECT_NEAR(inertia.diagonal.y, (xx + zz) / inside, 0.01 * inertia.diagonal.y);
    EXPECT_NEAR(inertia.diagonal.z, (xx + yy) / inside, 0.01 * inertia.diagonal.z);

    // Degenerate sizes give finite numbers.
    for (const OvpVolume& degenerate : {MakeBox(0, 0, 0), MakeBox(0, 0, 0, 0.1f), MakeBox(-1, 0.5f, 0, 0.2f),
                                        MakeShape(&ovpCylinderVolumeType, 0, 0, 0)}) {
        OvpVolumeGetMassProperties(&degenerate, &inertia, &centre);
        EXPECT_TRUE(std::isfinite(inertia.diagonal.x) && std::isfinite(inertia.diagonal.y) &&
                    std::isfinite(inertia.diagonal.z));
    }
}

TEST(PhysicsVolume, PlacedQueriesFollowTheLocalMatrixAndPlacement) {
    std::mt19937 rng(4);
    std::normal_distribution<float> n;
    for (int trial = 0; trial < 50; ++trial) {
        OvpVolume box = MakeBox(0.4f, 0.7f, 1.1f, 0.05f);
        box.matrix = RandomPlacement(rng);
        const OvMatrix placement = RandomPlacement(rng);
        OvMatrix full;
        OvpMathMatrixMultiply(&full, &box.matrix, &placement);

        // Mass properties in the parent frame: the tensor is rotated, the centre moved.
        OvpInertia local, parent;
        OvV3d localCentre, parentCentre;
        box.type->massProperties(&box, &local, &localCentre);
        OvpVolumeGetMassProperties(&box, &parent, &parentCentre);
        EXPECT_NEAR(parentCentre.x, box.matrix.pos.x, 1e-6f);
        OvpMatrix3 tensor{};
        OvpMathInertiaFromDiagonal(&tensor, &parent);
        const OvV3d* rows[3] = {&box.matrix.right, &box.matrix.up, &box.matrix.at};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                float want = 0.0f;
                for (int k = 0; k < 3; ++k) {
                    want += OvpComponent(*rows[k], i) * OvpComponent(local.diagonal, k) * OvpComponent(*rows[k], j);
                }
                EXPECT_NEAR(tensor.m[i][j], want, 1e-5f);
            }
        }

        // Support point, interval and bounds against the eight placed corners.
        const OvV3d d = {n(rng), n(rng), n(rng)};
        float best = -FLT_MAX, worst = FLT_MAX;
        OvpBBox corners = {{-FLT_MAX, -FLT_MAX, -FLT_MAX}, 0, {FLT_MAX, FLT_MAX, FLT_MAX}, 0};
        for (int c = 0; c < 8; ++c) {
            const OvV3d p = {(c & 1) ? 0.4f : -0.4f, (c & 2) ? 0.7f : -0.7f, (c & 4) ? 1.1f : -1.1f};
            const OvV3d q = OvpMathTransformPoint(p, &full);
            best = std::fmax(best, OvpDot(q, d));
            worst = std::fmin(worst, OvpDot(q, d));
            OvpMathBoxExtend(&corners, &q);
        }
        OvV3d support;
        ASSERT_NE(OvpVolumeGetSupportPoint(&box, &full, &d, &support), nullptr);
        EXPECT_NEAR(OvpDot(support, d), best, 1e-4f);
        float lo, hi;
        ASSERT_TRUE(OvpVolumeGetInterval(&box, &full, &d, &lo, &hi));
        EXPECT_NEAR(hi, best, 1e-4f);
        EXPECT_NEAR(lo, worst, 1e-4f);
        OvpBBox bounds;
        ASSERT_NE(OvpVolumeGetBoundingBox(&box, &placement, 0, &bounds), nullptr);
        EXPECT_NEAR(bounds.sup.x, corners.sup.x + 0.05f, 1e-4f);
        EXPECT_NEAR(bounds.inf.z, corners.inf.z - 0.05f, 1e-4f);
        OvSphere sphere;
        ASSERT_NE(OvpVolumeGetBoundingSphere(&box, &placement, &sphere), nullptr);
        EXPECT_NEAR(sphere.center.y, full.pos.y, 1e-5f);
        // The feature through the matrix equals the local feature moved by the matrix.
        OvpSupportFeature feature;
        OvpSupportFeatureInit(&feature);
        ASSERT_NE(OvpVolumeGetSupportFeature(&box, &full, 0, &d, &feature), nullptr);
        for (OvUInt16 i = 0; i < feature.count; ++i) {
            EXPECT_NEAR(OvpDot(feature.vertices[i].p, d), best, feature.count == 1 ? 1e-4f : 2.0f);
            EXPECT_NEAR(OvpDot(feature.vertices[i].p, feature.normal), feature.offset, 1e-4f);
        }
    }
}

// Winding of a face feature about its normal: +1 counter-clockwise, -1 clockwise.
float Winding(const OvpSupportFeature& f) {
    const OvV3d a = OvpSub(f.vertices[1].p, f.vertices[0].p), b = OvpSub(f.vertices[2].p, f.vertices[1].p);
    return OvpDot(OvpCross(a, b), f.normal) > 0.0f ? 1.0f : -1.0f;
}

TEST(PhysicsVolume, SupportFeaturesPickVertexEdgeOrFaceAndWindByTheFlag) {
    OvpVolume box = MakeBox(1, 2, 3);
    struct Case {
        OvV3d d;
        OvUInt16 count;
    } cases[] = {{{1, 0, 0}, 4}, {{0.8f, 0.6f, 0}, 2}, {{0.6f, 0.6f, 0.53f}, 1}, {{0, 0, -1}, 4}, {{0, -1, 0}, 4}};
    OvpSupportFeature f;
    OvpSupportFeatureInit(&f);
    for (const Case& c : cases) {
        for (OvBool flag : {0, 1}) {
            ASSERT_NE(box.type->supportFeature(&box, flag, &c.d, &f), nullptr);
            ASSERT_EQ(f.count, c.count);
            for (OvUInt16 i = 0; i < f.count; ++i) {
                OvV3d support;
                box.type->supportPoint(&box, &c.d, &support);
                EXPECT_NEAR(OvpDot(f.vertices[i].p, f.normal), f.offset, 1e-6f);
            }
            if (f.count == 4) {
                EXPECT_EQ(Winding(f), flag ? -1.0f : 1.0f);
                EXPECT_EQ(OvpDot(f.normal, c.d), 1.0f);
            }
            if (f.count == 2) {
                EXPECT_NEAR(OvpDot(f.normal, {0, 0, 1}), 0.0f, 1e-6f); // perpendicular to the z edge
            }
        }
    }
    // Cylinder caps: octagons of radius R wound the same way; the side and the rim.
    OvpVolume cylinder = MakeShape(&ovpCylinderVolumeType, 1.0f, 0.5f, 0.0f);
    for (float s : {1.0f, -1.0f}) {
        for (OvBool flag : {0, 1}) {
            const OvV3d d = {0, 0, s};
            cylinder.type->supportFeature(&cylinder, flag, &d, &f);
            ASSERT_EQ(f.count, 8);
            EXPECT_EQ(f.normal.z, s);
            EXPECT_EQ(Winding(f), flag ? -1.0f : 1.0f);
            EXPECT_NEAR(std::hypot(f.vertices[3].p.x, f.vertices[3].p.y), 0.5f, 1e-6f);
        }
    }
    const OvV3d side = {1, 0, 0.01f}, rim = {0.6f, 0, 0.8f};
    EXPECT_EQ(cylinder.type->supportFeature(&cylinder, 0, &side, &f)->count, 2);
    EXPECT_EQ(cylinder.type->supportFeature(&cylinder, 0, &rim, &f)->count, 1);
    EXPECT_FLOAT_EQ(f.vertices[0].p.x, 0.5f);
    // Capsule: an edge across the axis, an end point along it.
    OvpVolume capsule = MakeShape(&ovpCapsuleVolumeType, 1.0f, 0.0f, 0.3f);
    EXPECT_EQ(capsule.type->supportFeature(&capsule, 0, &side, &f)->count, 2);
    EXPECT_EQ(capsule.type->supportFeature(&capsule, 0, &rim, &f)->count, 1);
    EXPECT_EQ(f.vertices[0].p.z, 1.0f);
}

TEST(PhysicsVolume, LineSlotsAgreeWithDenseSampling) {
    const OvpVolume box = MakeBox(0.8f, 0.5f, 0.3f, 0.25f);
    SweepLineSlot("rounded box", box, [&](const OvV3d& p) { return BoxCoreDistance(box, p) - 0.25f; });
    const OvpVolume sharp = MakeBox(0.8f, 0.5f, 0.3f);
    SweepLineSlot("box", sharp, [&](const OvV3d& p) {
        // Signed: negative inside, so that the surface is at 0.
        const float out = BoxCoreDistance(sharp, p);
        if (out > 0.0f) {
            return out;
        }
        return std::fmax(std::fabs(p.x) - 0.8f, std::fmax(std::fabs(p.y) - 0.5f, std::fabs(p.z) - 0.3f));
    });
    const OvpVolume capsule = MakeShape(&ovpCapsuleVolumeType, 0.7f, 0.0f, 0.4f);
    SweepLineSlot("capsule", capsule, [&](const OvV3d& p) { return CapsuleCoreDistance(capsule, p) - 0.4f; });
    const OvpVolume cylinder = MakeShape(&ovpCylinderVolumeType, 0.6f, 0.7f, 0.2f);
    SweepLineSlot("cylinder", cylinder, [&](const OvV3d& p) { return CylinderCoreDistance(cylinder, p) - 0.2f; });
    OvpVolume sphere;
    OvpSphereInit(&sphere, 0.9f);
    SweepLineSlot("sphere", sphere, [](const OvV3d& p) { return std::sqrt(OvpDot(p, p)) - 0.9f; });
    OvpVolume plane;
    OvpVolumeInit(&plane, &ovpPlaneVolumeType);
    plane.fat = 0.1f;
    SweepLineSlot("plane", plane, [](const OvV3d& p) { return p.z - 0.1f; });
    EXPECT_EQ(plane.type->thickness(&plane), 1e8f);
    EXPECT_EQ(sphere.type->thickness(&sphere), 0.0f);
}

TEST(PhysicsVolume, AggregateCombinesChildren) {
    CountingMemory memory;
    OvpAggChildren* list = OvpAggChildrenCreate(2);
    ASSERT_NE(list, nullptr);
    for (int i = 0; i < 2; ++i) {
        OvpSphereInit(OvpAggChildrenGetChild(list, i), 1.0f);
        OvpAggChildrenGetChild(list, i)->matrix.pos.x = i == 0 ? 1.0f : -1.0f;
        OvMatrixUpdate(&OvpAggChildrenGetChild(list, i)->matrix);
    }
    EXPECT_EQ(OvpAggChildrenGetChild(list, 2), nullptr);
    ASSERT_TRUE(OvpAggChildrenComputeBounds(list));
    auto* aggregate = static_cast<OvpVolume*>(OvpAlignedMalloc(sizeof(OvpVolume), 16, ovpMEMHINT));
    OvpAggregateInit(aggregate, list);
    OvpAggChildrenRelease(list); // the volume keeps its own reference

    OvpInertia inertia;
    OvV3d centre;
    EXPECT_FLOAT_EQ(OvpVolumeGetMassProperties(aggregate, &inertia, &centre), 2.0f * 4.0f / 3.0f * kPi);
    EXPECT_NEAR(centre.x, 0.0f, 1e-6f);
    OvpMatrix3 tensor{};
    OvpMathInertiaFromDiagonal(&tensor, &inertia);
    EXPECT_NEAR(tensor.m[1][1] - tensor.m[0][0], 1.0f, 1e-5f);
    EXPECT_NEAR(tensor.m[2][2] - tensor.m[0][0], 1.0f, 1e-5f);
    EXPECT_NEAR(tensor.m[0][0], 0.4f, 1e-5f);

    const OvV3d d = {1, 0, 0};
    OvV3d support;
    ASSERT_NE(aggregate->type->supportPoint(aggregate, &d, &support), nullptr);
    EXPECT_FLOAT_EQ(support.x, 2.0f);
    float lo, hi;
    ASSERT_TRUE(aggregate->type->interval(aggregate, &d, &lo, &hi));
    EXPECT_FLOAT_EQ(lo, -2.0f);
    EXPECT_FLOAT_EQ(aggregate->type->thickness(aggregate), 2.0f);
    OvpBBox box;
    ASSERT_NE(OvpVolumeGetBoundingBox(aggregate, nullptr, 1, &box), nullptr);
    EXPECT_FLOAT_EQ(box.sup.x, 2.0f);
    EXPECT_FLOAT_EQ(box.inf.y, -1.0f);
    OvSphere sphere;
    ASSERT_NE(OvpVolumeGetBoundingSphere(aggregate, nullptr, &sphere), nullptr);
    EXPECT_FLOAT_EQ(sphere.radius, 2.0f);

    // Materials go to the children only; the line slot never hits.
    OvpVolumeSetFriction(aggregate, 0.7f);
    OvpVolumeSetRestitution(aggregate, 0.9f);
    EXPECT_EQ(aggregate->friction, 0.2f);
    EXPECT_EQ(OvpAggChildrenGetChild(list, 1)->friction, 0.7f);
    EXPECT_EQ(OvpAggChildrenGetChild(list, 0)->restitution, 0.9f);
    const OvV3d from = {-5, 0, 0}, to = {5, 0, 0};
    OvpLineHit hit{};
    EXPECT_FALSE(aggregate->type->lineIntersect(aggregate, &from, &to, &hit));
    EXPECT_EQ(hit.volume, aggregate);

    OvpVolumeDestroy(aggregate);
    EXPECT_EQ(memory.live(), 0);
}

TEST(PhysicsVolume, DynamicsDefinitionFromVolume) {
    OvpVolume box = MakeBox(0.5f, 0.5f, 0.5f);
    OvpDynDef def;
    OvpDynDefInit(&def, &box);
    EXPECT_FLOAT_EQ(OvpDynDefSetMassFromVolume(&def, -2.0f, 0), 2.0f);
    EXPECT_FLOAT_EQ(def.mass, 2.0f);
    EXPECT_FLOAT_EQ(def.scalarInertia, 2.0f * 0.5f / 3.0f);
    EXPECT_EQ(def.flags & ovpDYNDEF_FULLINERTIA, 0u);
    EXPECT_FLOAT_EQ(OvpDynDefSetMassFromVolume(&def, 3.0f, 1), 3.0f);
    EXPECT_EQ(def.flags & ovpDYNDEF_FULLINERTIA, static_cast<OvUInt32>(ovpDYNDEF_FULLINERTIA));
    EXPECT_FLOAT_EQ(def.inertia.y, 3.0f * 0.5f / 3.0f);

    OvpVolume null;
    OvpNullInit(&null);
    OvpDynDefInit(&def, &null);
    EXPECT_EQ(OvpDynDefSetMassFromVolume(&def, 5.0f, 0), FLT_MAX);
    EXPECT_EQ(def.mass, 5.0f);
    EXPECT_EQ(OvpDynDefRelease(&def), 1);
}

TEST(PhysicsVolume, AlignedBlocksKeepThePadBeforeThem) {
    CountingMemory memory;
    for (OvUInt32 alignment = 1; alignment <= 255; ++alignment) {
        for (std::size_t size : {0u, 1u, 96u, 1000u}) {
            auto* block = static_cast<unsigned char*>(OvpAlignedMalloc(size, alignment, ovpMEMHINT));
            ASSERT_NE(block, nullptr);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignment, 0u);
            EXPECT_GE(block[-1], 1);
            EXPECT_LE(block[-1], alignment);
            OvpMemFill(block, 0xAB, size);
            OvpAlignedFree(block);
        }
    }
    EXPECT_EQ(memory.live(), 0);
    EXPECT_EQ(OvpAlignedMalloc(16, 0, ovpMEMHINT), nullptr);
    EXPECT_EQ(OvpAlignedMalloc(16, 256, ovpMEMHINT), nullptr);
    OvpAlignedFree(nullptr);
    {
        CountingMemory failing(0);
        EXPECT_EQ(OvpAlignedMalloc(16, 16, ovpMEMHINT), nullptr);
        EXPECT_EQ(OvpAggChildrenCreate(3), nullptr);
        EXPECT_EQ(OvpNullCreate(), nullptr);
    }
    unsigned char bytes[11];
    OvpMemFill(bytes, 7, sizeof(bytes));
    for (unsigned char b : bytes) {
        EXPECT_EQ(b, 7);
    }
}

} // namespace
