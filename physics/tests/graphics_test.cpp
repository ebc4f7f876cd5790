// The physics engine's graphics side on a running engine: triangle lists over an atomic or a
// geometry are bounded in the source's model space, where their walker hands the triangles over,
// so that one placement takes the bounds and the triangles to the same place; lists over a world
// or one of its sectors are bounded by their box and walk the triangles in world space.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "graphics/core/frame.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/plugins/collision.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/tests/level_kit.h"
#include "graphics/world/world_plugin.h"
#include "physics/core/collision/trilist.h"
#include "physics/graphics/body_atomic.h"

namespace {

void AttachPhysics() {
    OvCollisionPluginAttach();
    OvpBodyPluginAttach();
}

class PhysicsGraphics : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(worldtest::EngineUp(AttachPhysics)); }
    void TearDown() override { EXPECT_TRUE(OvTestEngineDown()); }
};

// Two triangles of a square in the plane z = 4, x from 1 to 3, y from 2 to 4.
OvGeometry* MakeSquare() {
    OvGeometry* g = OvGeometryCreate(4, 2, 0);
    const OvV3d corners[4] = {{1, 2, 4}, {3, 2, 4}, {3, 4, 4}, {1, 4, 4}};
    for (int v = 0; v < 4; ++v) {
        g->morphTarget[0].verts[v] = corners[v];
    }
    const OvUInt16 triangles[2][3] = {{0, 1, 2}, {0, 2, 3}};
    for (int t = 0; t < 2; ++t) {
        for (int k = 0; k < 3; ++k) {
            g->triangles[t].vertIndex[k] = triangles[t][k];
        }
        g->triangles[t].matIndex = 0;
    }
    OvMorphTargetCalcBoundingSphere(&g->morphTarget[0], &g->morphTarget[0].boundingSphere);
    return g;
}

bool Within(const OvV3d& p, const OvpBBox& box) {
    return p.x >= box.inf.x && p.x <= box.sup.x && p.y >= box.inf.y && p.y <= box.sup.y && p.z >= box.inf.z &&
           p.z <= box.sup.z;
}

TEST_F(PhysicsGraphics, AtomicAndGeometryListsAreBoundedWhereTheirTrianglesAre) {
    OvGeometry* g = MakeSquare();
    const OvSphere local = g->morphTarget[0].boundingSphere;
    OvFrame* frame = OvFrameCreate();
    const OvV3d move = {10.0f, -5.0f, 0.5f};
    OvFrameTranslate(frame, &move, ovCOMBINEREPLACE);
    OvAtomic* atomic = OvAtomicCreate();
    OvAtomicSetGeometry(atomic, g, 0);
    OvAtomicSetFrame(atomic, frame);
    // The atomic's sphere marked stale (and wrong meanwhile): the list renews it first.
    atomic->boundingSphere = {{0.0f, 0.0f, 0.0f}, 0.0f};
    atomic->interpolator.flags |= ovINTERPOLATORDIRTYSPHERE;
    const OvMatrix placement = *OvFrameGetWorldMatrix(frame);
    const float fat = 0.25f;
    const struct {
        const void* source;
        OvUInt32 kind;
    } cases[] = {{atomic, ovpTRILIST_ATOMIC}, {g, ovpTRILIST_GEOMETRY}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        OvpVolume* list = OvpTrilistCreate(c.source, c.kind);
        ASSERT_NE(list, nullptr);
        OvpVolumeSetFatness(list, fat);
        OvSphere sphere;
        ASSERT_NE(OvpVolumeGetBoundingSphereInFrame(list, nullptr, &sphere), nullptr);
        EXPECT_NEAR(sphere.center.x, local.center.x, 1e-5f);
        EXPECT_NEAR(sphere.center.y, local.center.y, 1e-5f);
        EXPECT_NEAR(sphere.center.z, local.center.z, 1e-5f);
        EXPECT_NEAR(sphere.radius, local.radius + fat, 1e-5f);
        const float r = local.radius + fat;
        for (const OvMatrix* m : {static_cast<const OvMatrix*>(nullptr), &placement}) {
            const OvV3d at = m != nullptr ? OvpAdd(local.center, m->pos) : local.center;
            OvpBBox box;
            ASSERT_NE(OvpVolumeGetBoundingBoxInFrame(list, m, 1, &box), nullptr);
            EXPECT_NEAR(box.sup.x, at.x + r, 1e-5f);
            EXPECT_NEAR(box.sup.y, at.y + r, 1e-5f);
            EXPECT_NEAR(box.sup.z, at.z + r, 1e-5f);
            EXPECT_NEAR(box.inf.x, at.x - r, 1e-5f);
            EXPECT_NEAR(box.inf.y, at.y - r, 1e-5f);
            EXPECT_NEAR(box.inf.z, at.z - r, 1e-5f);
        }
        // The walk over the placed bounds finds both triangles in model space; placed, they lie
        // inside those bounds.
        OvpBBox placed;
        OvpVolumeGetBoundingBoxInFrame(list, &placement, 1, &placed);
        OvpTriangleRecord records[8];
        OvpTriangleBuffer buffer = {records, 0, 8, 0, nullptr};
        OvpTrilistDefaultWalker(list, &placement, &placed, nullptr, &buffer);
        EXPECT_EQ(buffer.flags, static_cast<OvUInt32>(ovpTRIANGLES_MODELSPACE));
        ASSERT_EQ(buffer.count, 2);
        for (int t = 0; t < buffer.count; ++t) {
            for (const OvV3d& v : {records[t].v0, records[t].v1, records[t].v2}) {
                EXPECT_TRUE(Within(OvpMathTransformPoint(v, &placement), placed));
            }
        }
        OvpVolumeDestroy(list);
    }
    // The lists left their sources as they were.
    EXPECT_EQ(atomic->geometry, g);
    // A body destroyed while bound lets its atomic go: the atomic names no body, and destroying
    // the atomic afterwards writes nothing into the freed body.
    OvpBodyDef* def = OvpBodyDefCreate();
    OvpObj* body = OvpBodyObjCreate(def);
    OvpBodyDefRelease(def);
    ASSERT_EQ(OvpAtomicSetBodyObj(atomic, body), atomic);
    OvpBodyObjDestroy(body);
    EXPECT_EQ(OvpAtomicGetBodyObj(atomic), nullptr);
    OvAtomicDestroy(atomic);
    OvFrameDestroy(frame);
    OvGeometryDestroy(g);
}

TEST_F(PhysicsGraphics, WorldAndSectorListsAreBoundedByTheirBoxesAndWalkedInWorldSpace) {
    OvWorld* world = worldtest::ReadWorld(mkasset::WorldFile(worldtest::TwoSectorWorld(false)));
    ASSERT_NE(world, nullptr);
    const std::vector<OvWorldSector*> sectors = worldtest::SectorsOf(world);
    ASSERT_EQ(sectors.size(), 2u);
    OvMatrix moved;
    OvMatrixSetIdentity(&moved);
    moved.pos = {3.0f, 1.0f, -2.0f};
    OvMatrixUpdate(&moved);
    const struct {
        const void* source;
        OvUInt32 kind;
        OvBBox box;
        int triangles;
        OvUInt32 flags; // the sector's walk says its triangles are in world space; the world's says nothing
    } cases[] = {{world, ovpTRILIST_WORLD, world->boundingBox, 4, 0},
                 {sectors[0], ovpTRILIST_SECTOR, sectors[0]->boundingBox, 2, ovpTRIANGLES_WORLDSPACE}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        OvpVolume* list = OvpTrilistCreate(c.source, c.kind);
        ASSERT_NE(list, nullptr);
        OvpBBox box;
        ASSERT_NE(OvpVolumeGetBoundingBoxInFrame(list, nullptr, 1, &box), nullptr);
        EXPECT_EQ(box.sup.x, c.box.sup.x);
        EXPECT_EQ(box.inf.z, c.box.inf.z);
        ASSERT_NE(OvpVolumeGetBoundingBoxInFrame(list, &moved, 1, &box), nullptr);
        EXPECT_FLOAT_EQ(box.sup.x, c.box.sup.x + 3.0f);
        EXPECT_FLOAT_EQ(box.inf.z, c.box.inf.z - 2.0f);
        OvpTriangleRecord records[8];
        OvpTriangleBuffer buffer = {records, 0, 8, 0xFFu, nullptr};
        const OvpBBox everything = {{10.0f, 10.0f, 10.0f}, 0, {-10.0f, -10.0f, -10.0f}, 0};
        OvpTrilistDefaultWalker(list, nullptr, &everything, nullptr, &buffer);
        EXPECT_EQ(buffer.count, c.triangles);
        EXPECT_EQ(buffer.flags, c.flags);
        for (int t = 0; t < buffer.count; ++t) {
            EXPECT_EQ(records[t].klass, 15u);
            EXPECT_EQ(records[t].v0.y, 0.0f);
        }
        // A full buffer takes nothing more and the walk returns normally.
        buffer.capacity = 1;
        OvpTrilistDefaultWalker(list, nullptr, &everything, nullptr, &buffer);
        EXPECT_EQ(buffer.count, 1);
        OvpVolumeDestroy(list);
    }
    OvWorldDestroy(world);
}

} // namespace
