// The physics and graphics glue: the sampling directions of rounded volumes, and the clumps that
// show a body's box, sphere or aggregate volume with the body bound to them.

#include <gtest/gtest.h>

#include <cmath>

#include "framework/physics_glue.h"
#include "framework/tests/level_fixture.h"
#include "graphics/core/frame.h"
#include "graphics/world/clump.h"
#include "graphics/world/world_membership.h"
#include "physics/core/utils/memory.h"
#include "physics/core/volume/aggregate.h"
#include "physics/core/volume/primitives.h"
#include "physics/core/volume/volume.h"
#include "physics/graphics/body_atomic.h"

namespace {

using PhysicsGlueTest = LevelTest;

OvAtomic* First(OvClump* clump) {
    OvAtomic* first = nullptr;
    OvClumpForAllAtomics(
        clump,
        [](OvAtomic* a, void* data) {
            auto** f = static_cast<OvAtomic**>(data);
            if (*f == nullptr) {
                *f = a;
            }
            return a;
        },
        &first);
    return first;
}

TEST(HullDirections, AtMostSixtyUnitDirectionsSpreadOverTheSphere) {
    const OvV3d* d = nullptr;
    const int count = PhysicsHullDirections(&d);
    EXPECT_LE(count, kHullDirectionLimit);
    EXPECT_GE(count, 50);
    OvV3d sum = {0, 0, 0};
    for (int i = 0; i < count; ++i) {
        EXPECT_NEAR(d[i].x * d[i].x + d[i].y * d[i].y + d[i].z * d[i].z, 1.0f, 1e-5f);
        for (int j = 0; j < i; ++j) {
            const float dot = d[i].x * d[j].x + d[i].y * d[j].y + d[i].z * d[j].z;
            EXPECT_LT(dot, 0.99f) << i << " " << j; // no two nearly alike
        }
        sum = {sum.x + d[i].x, sum.y + d[i].y, sum.z + d[i].z};
    }
    // Spread evenly: they nearly cancel out.
    EXPECT_LT(std::sqrt(sum.x * sum.x + sum.y * sum.y + sum.z * sum.z), 0.1f * static_cast<float>(count));
}

TEST_F(PhysicsGlueTest, ClumpsShowTheBodysVolume) {
    OvWorld* world = LoadOpenLevel(8)->GetWorld(0);

    // A box: its eight corners and twelve triangles, the body bound to the atomic.
    OvpBodyDef* boxDef = PhysicsCreateStaticBox(0.5f, 0.25f, 1.0f, 0.0f);
    ASSERT_NE(boxDef, nullptr);
    OvpObj* box = OvpBodyObjCreate(boxDef);
    OvClump* boxClump = PhysicsClumpFromBody(box, world);
    ASSERT_NE(boxClump, nullptr);
    EXPECT_EQ(OvClumpGetWorld(boxClump), world);
    OvAtomic* atomic = First(boxClump);
    EXPECT_EQ(OvpAtomicGetBodyObj(atomic), box);
    EXPECT_EQ(box->parts[0].matrix, OvFrameGetMatrix(OvAtomicGetFrame(atomic)));
    const OvGeometry* g = OvAtomicGetGeometry(atomic);
    ASSERT_EQ(g->numVertices, 8);
    EXPECT_EQ(g->numTriangles, 12);
    for (int v = 0; v < 8; ++v) {
        const OvV3d& p = g->morphTarget[0].verts[v];
        EXPECT_NEAR(std::abs(p.x), 0.5f, 1e-4f);
        EXPECT_NEAR(std::abs(p.y), 0.25f, 1e-4f);
        EXPECT_NEAR(std::abs(p.z), 1.0f, 1e-4f);
    }
    // Every triangle faces out: its normal points away from the centre.
    for (int t = 0; t < g->numTriangles; ++t) {
        const OvTriangle& tri = g->triangles[t];
        const OvV3d& a = g->morphTarget[0].verts[tri.vertIndex[0]];
        const OvV3d& b = g->morphTarget[0].verts[tri.vertIndex[1]];
        const OvV3d& c = g->morphTarget[0].verts[tri.vertIndex[2]];
        const OvV3d e1 = {b.x - a.x, b.y - a.y, b.z - a.z}, e2 = {c.x - a.x, c.y - a.y, c.z - a.z};
        const OvV3d n = {e1.y * e2.z - e1.z * e2.y, e1.z * e2.x - e1.x * e2.z, e1.x * e2.y - e1.y * e2.x};
        EXPECT_GT(n.x * (a.x + b.x + c.x) + n.y * (a.y + b.y + c.y) + n.z * (a.z + b.z + c.z), 0.0f) << t;
    }

    // A sphere: the hull of its surface points along the directions.
    OvpBodyDef* ballDef = OvpBodyDefCreate();
    OvpSphereInit(ballDef->volume, 0.5f);
    const OvRGBA red = {255, 0, 0, 255};
    OvClump* ball = PhysicsClumpFromVolume(ballDef->volume, nullptr, red);
    ASSERT_NE(ball, nullptr);
    const OvGeometry* sphere = OvAtomicGetGeometry(First(ball));
    const OvV3d* d = nullptr;
    EXPECT_EQ(sphere->numVertices, PhysicsHullDirections(&d));
    for (int v = 0; v < sphere->numVertices; ++v) {
        const OvV3d& p = sphere->morphTarget[0].verts[v];
        EXPECT_NEAR(std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z), 0.5f, 1e-4f);
    }
    EXPECT_EQ(sphere->matList.materials[0]->color.green, 0);

    // An aggregate: each child on a frame of its own under the clump's, at the child's place.
    OvpAggChildren* children = OvpAggChildrenCreate(2);
    ASSERT_NE(children, nullptr);
    const float half[3] = {0.2f, 0.2f, 0.2f};
    OvpBoxInit(OvpAggChildrenGetChild(children, 0), half);
    OvpSphereInit(OvpAggChildrenGetChild(children, 1), 0.3f);
    OvMatrix& placed = OvpAggChildrenGetChild(children, 1)->matrix;
    OvMatrixSetIdentity(&placed);
    placed.pos = {1.0f, 0.0f, 0.0f};
    placed.flags = 0;
    OvpAggChildrenComputeBounds(children);
    auto* aggregate = static_cast<OvpVolume*>(OvpAlignedMalloc(sizeof(OvpVolume), 16, 0));
    OvpAggregateInit(aggregate, children);
    OvpAggChildrenRelease(children);
    OvClump* pair = PhysicsClumpFromVolume(aggregate, nullptr, red);
    ASSERT_NE(pair, nullptr);
    EXPECT_EQ(OvClumpGetNumAtomics(pair), 2);
    int atFarChild = 0;
    OvClumpForAllAtomics(
        pair,
        [](OvAtomic* a, void* data) {
            const OvFrame* frame = OvAtomicGetFrame(a);
            EXPECT_EQ(OvFrameGetParent(frame), OvClumpGetFrame(a->clump));
            if (frame->modelling.pos.x == 1.0f) {
                ++*static_cast<int*>(data);
            }
            return a;
        },
        &atFarChild);
    EXPECT_EQ(atFarChild, 1);

    OvClumpDestroy(pair);
    OvpVolumeDeinit(aggregate);
    OvpAlignedFree(aggregate);
    OvClumpDestroy(ball);
    OvpBodyDefRelease(ballDef);
    OvWorldRemoveClump(world, boxClump);
    OvClumpDestroy(boxClump); // the atomic lets the body go
    EXPECT_EQ(box->parts[0].matrix, nullptr);
    EXPECT_EQ(box->user, nullptr);
    OvpBodyObjDestroy(box);
    OvpBodyDefRelease(boxDef);
}

} // namespace
