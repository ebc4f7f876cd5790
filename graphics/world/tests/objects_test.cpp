// Geometry, material, light, atomic and clump operations: creation limits and texture sets,
// morph targets, reference counts, bounding spheres under rigid and scaled frames, the
// morph-target interpolator, and clump member walks that remove members.

#include <cmath>

#include "graphics/core/frame.h"
#include "graphics/core/texture.h"
#include "graphics/world/mesh.h"
#include "graphics/world/tests/world_test_kit.h"
#include "graphics/world/world_plugin.h"

namespace {

using namespace worldtest;

class ObjectsTest : public WorldTest {};

TEST_F(ObjectsTest, GeometryLimitsAndTextureSets) {
    OvGeometry* g = OvGeometryCreate(65535, 1, 0);
    ASSERT_NE(g, nullptr);
    OvGeometryDestroy(g);
    EXPECT_EQ(OvGeometryCreate(65536, 1, 0), nullptr);
    OvError e;
    OvErrorGet(&e);
    EXPECT_EQ(e.pluginID, ovPLUGINIDWORLDERRORS);
    EXPECT_EQ(e.errorCode, ovERRTOOMANYVERTICES);
    EXPECT_EQ(OvGeometryCreate(-1, 1, 0), nullptr);
    EXPECT_EQ(OvGeometryCreate(3, -1, 0), nullptr);
    EXPECT_EQ(TakeError(), ovERRINVALIDVALUE);
    // Geometries hold eight sets at most.
    EXPECT_EQ(OvGeometryCreate(3, 1, 9u << 16), nullptr);
    EXPECT_EQ(TakeError(), ovERRINVALIDVALUE);

    const struct {
        OvUInt32 format;
        OvInt32 sets;
        OvUInt32 flags;
    } cases[] = {
        {0x80, 2, 0x80},
        {0x04, 1, 0x04},
        {3u << 16, 3, 0x80},
        {(1u << 16) | 0x80, 1, 0x04},
        {8u << 16, 8, 0x80},
        {0x08 | 0x01000000, 0, 0x01000008},
        {0xFF00000F, 1, 0x0F00000F},
    };
    for (const auto& c : cases) {
        g = OvGeometryCreate(4, 2, c.format);
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(g->numTexCoordSets, c.sets) << std::hex << c.format;
        EXPECT_EQ(g->flags, c.flags) << std::hex << c.format;
        for (OvInt32 i = 0; i < ovMAXTEXTURECOORDS; ++i) {
            EXPECT_EQ(g->texCoords[i] != nullptr, i < c.sets && (c.format & ovGEOMETRYNATIVE) == 0);
        }
        EXPECT_EQ(g->triangles == nullptr, (c.format & ovGEOMETRYNATIVE) != 0);
        EXPECT_EQ(g->numMorphTargets, 1);
        OvGeometryDestroy(g);
    }
}

TEST_F(ObjectsTest, MorphTargetsKeepTheirDataWhenMoreAreAdded) {
    OvGeometry* g = OvGeometryCreate(3, 1, ovGEOMETRYNORMALS);
    for (int i = 0; i < 3; ++i) {
        g->morphTarget[0].verts[i] = {static_cast<float>(i), 2.0f * static_cast<float>(i), 1.0f};
        g->morphTarget[0].normals[i] = {0.0f, 0.0f, static_cast<float>(i)};
    }
    g->morphTarget[0].boundingSphere = {{1, 2, 3}, 4};
    EXPECT_EQ(OvGeometryAddMorphTargets(g, 2), 1);
    ASSERT_EQ(g->numMorphTargets, 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(g->morphTarget[0].verts[i].y, 2.0f * static_cast<float>(i));
        EXPECT_EQ(g->morphTarget[0].normals[i].z, static_cast<float>(i));
        EXPECT_EQ(g->morphTarget[2].verts[i].x, 0.0f);
        EXPECT_EQ(g->morphTarget[i].parentGeom, g);
    }
    EXPECT_EQ(g->morphTarget[0].boundingSphere.radius, 4.0f);
    EXPECT_EQ(g->morphTarget[1].boundingSphere.radius, 0.0f);
    // Arrays of different targets do not overlap.
    EXPECT_GE(g->morphTarget[1].verts, g->morphTarget[0].normals + 3);

    OvSphere s;
    OvMorphTargetCalcBoundingSphere(&g->morphTarget[0], &s);
    EXPECT_NEAR(s.center.x, 1.0f, 1e-6f);
    EXPECT_NEAR(s.center.y, 2.0f, 1e-6f);
    EXPECT_NEAR(s.radius, std::sqrt(5.0f) * 1.001f, 2e-3f);

    OvGeometryAddRef(g);
    EXPECT_TRUE(OvGeometryDestroy(g));
    EXPECT_EQ(g->refCount, 1);
    OvGeometryDestroy(g);
}

TEST_F(ObjectsTest, TrianglesTakeMaterialsIntoTheListAndUnlockBuildsMeshes) {
    OvGeometry* g = OvGeometryCreate(4, 2, ovGEOMETRYTRISTRIP);
    OvMaterial* a = OvMaterialCreate();
    OvMaterial* b = OvMaterialCreate();
    OvGeometryTriangleSetVertexIndices(g, &g->triangles[0], 0, 1, 2);
    OvGeometryTriangleSetVertexIndices(g, &g->triangles[1], 2, 1, 3);
    OvGeometryTriangleSetMaterial(g, &g->triangles[0], a);
    OvGeometryTriangleSetMaterial(g, &g->triangles[1], a);
    EXPECT_EQ(g->matList.numMaterials, 1);
    EXPECT_EQ(a->refCount, 2);
    ASSERT_NE(OvGeometryUnlock(g), nullptr);
    ASSERT_EQ(g->mesh->numMeshes, 1);
    EXPECT_EQ(OvMeshHeaderGetMeshes(g->mesh)[0].numIndices, 4u);
    // Relocking the triangles drops the meshes; a triangle without a material cannot be built.
    OvGeometryLock(g, ovGEOMETRYLOCKPOLYGONS);
    EXPECT_EQ(g->mesh, nullptr);
    OvGeometryTriangleSetMaterial(g, &g->triangles[1], nullptr);
    EXPECT_EQ(OvGeometryUnlock(g), nullptr);
    EXPECT_EQ(TakeError(), ovERRINVALIDVALUE);
    OvGeometryTriangleSetMaterial(g, &g->triangles[1], b);
    ASSERT_NE(OvGeometryUnlock(g), nullptr);
    EXPECT_EQ(g->mesh->numMeshes, 2);
    OvMaterialDestroy(a);
    OvMaterialDestroy(b);
    OvGeometryDestroy(g);

    // Triangles of a window of a longer list (a world sector's): entries base + index.
    OvMaterialList list;
    OvMaterialListInitialize(&list);
    OvMaterial* entries[3];
    for (OvMaterial*& e : entries) {
        e = OvMaterialCreate();
        OvMaterialListAppendMaterial(&list, e);
        OvMaterialDestroy(e);
    }
    const OvTriangle window[2] = {{{0, 1, 2}, 0}, {{2, 1, 3}, 1}};
    OvMeshHeader* h = OvMeshHeaderBuildFromTriangles(window, 2, &list, 1, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(h->numMeshes, 2);
    EXPECT_EQ(OvMeshHeaderGetMeshes(h)[0].material, entries[1]);
    EXPECT_EQ(OvMeshHeaderGetMeshes(h)[1].material, entries[2]);
    OvMeshHeaderDestroy(h);
    EXPECT_EQ(OvMeshHeaderBuildFromTriangles(window, 2, &list, 2, 0), nullptr);
    EXPECT_EQ(TakeError(), ovERRINVALIDVALUE);
    OvMaterialListDeinitialize(&list);

    // Material textures are held by reference.
    OvMaterial* m = OvMaterialCreate();
    OvTexture* t = OvTextureCreate(nullptr);
    OvMaterialSetTexture(m, t);
    EXPECT_EQ(t->refCount, 2);
    OvMaterialSetTexture(m, t);
    EXPECT_EQ(t->refCount, 2);
    OvTextureDestroy(t);
    OvMaterialDestroy(m);
}

TEST_F(ObjectsTest, WorldSphereFollowsTheFrameAndTheInterpolator) {
    OvGeometry* g = OvGeometryCreate(0, 0, 0);
    OvGeometryAddMorphTargets(g, 1);
    g->morphTarget[0].boundingSphere = {{1, 0, 0}, 2};
    g->morphTarget[1].boundingSphere = {{3, 0, 0}, 4};
    OvAtomic* atomic = OvAtomicCreate();
    EXPECT_EQ(atomic->object.object.flags, 0x05);
    OvAtomicSetGeometry(atomic, g, 0);
    OvGeometryDestroy(g);
    EXPECT_EQ(atomic->boundingSphere.radius, 2.0f);
    OvFrame* frame = OvFrameCreate();
    OvAtomicSetFrame(atomic, frame);
    const OvV3d move = {0, 10, 0};
    OvFrameTranslate(frame, &move, ovCOMBINEREPLACE);
    const OvSphere* s = OvAtomicGetWorldBoundingSphere(atomic);
    EXPECT_NEAR(s->center.x, 1.0f, 1e-5f);
    EXPECT_NEAR(s->center.y, 10.0f, 1e-5f);
    EXPECT_NEAR(s->radius, 2.0f, 1e-6f);
    // A scaled frame multiplies the radius by its longest axis.
    const OvV3d scale = {1, 3, 2};
    OvFrameScale(frame, &scale, ovCOMBINEPOSTCONCAT);
    s = OvAtomicGetWorldBoundingSphere(atomic);
    EXPECT_NEAR(s->radius, 6.0f, 6e-3f);
    // Half way from target 0 to target 1.
    atomic->interpolator = {ovINTERPOLATORDIRTYSPHERE, 0, 1, 2.0f, 0.5f, 1.0f};
    OvAtomicInterpolatorUpdate(atomic);
    EXPECT_NEAR(atomic->boundingSphere.center.x, 2.0f, 1e-6f);
    EXPECT_NEAR(atomic->boundingSphere.radius, 3.0f, 1e-6f);
    EXPECT_EQ(atomic->interpolator.flags & ovINTERPOLATORDIRTYSPHERE, 0);
    // Equal targets take that target's sphere; targets out of range the first.
    atomic->interpolator = {ovINTERPOLATORDIRTYSPHERE, 1, 1, 1.0f, 1.0f, 0.3f};
    OvAtomicInterpolatorUpdate(atomic);
    EXPECT_EQ(atomic->boundingSphere.radius, 4.0f);
    atomic->interpolator = {ovINTERPOLATORDIRTYSPHERE, 0, 5, 1.0f, 1.0f, 0.3f};
    OvAtomicInterpolatorUpdate(atomic);
    EXPECT_EQ(atomic->boundingSphere.radius, 2.0f);
    EXPECT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    OvAtomicDestroy(atomic);
    OvFrameDestroy(frame);
}

TEST_F(ObjectsTest, ClumpWalksMayRemoveTheMemberTheyAreGiven) {
    OvClump* clump = OvClumpCreate();
    OvClumpSetFrame(clump, OvFrameCreate());
    for (int i = 0; i < 4; ++i) {
        OvAtomic* a = OvAtomicCreate();
        a->renderFrame = static_cast<OvUInt16>(i);
        OvClumpAddAtomic(clump, a);
        OvClumpAddLight(clump, OvLightCreate(ovLIGHTPOINT));
    }
    OvClumpAddCamera(clump, OvCameraCreate());
    std::vector<int> order;
    OvClumpForAllAtomics(
        clump,
        [](OvAtomic* a, void* data) {
            static_cast<std::vector<int>*>(data)->push_back(a->renderFrame);
            if (a->renderFrame % 2 == 0) {
                OvAtomicDestroy(a); // it leaves the clump's list itself
            }
            return a;
        },
        &order);
    EXPECT_EQ(order, (std::vector<int>{3, 2, 1, 0}));
    EXPECT_EQ(OvClumpGetNumAtomics(clump), 2);
    int lights = 0;
    OvClumpForAllLights(
        clump,
        [](OvLight* l, void* data) {
            ++*static_cast<int*>(data);
            return *static_cast<int*>(data) == 2 ? nullptr : l;
        },
        &lights);
    EXPECT_EQ(lights, 2);
    OvClumpDestroy(clump);
}

// A member destroyed on its own (atomic, light or camera) leaves its clump: the count drops, the
// walk never meets its record again when the free list hands it out anew, and the clump's
// destroy leaves the new owner's object alone. Adding a member to a second clump moves it.
TEST_F(ObjectsTest, MemberDestroyedAloneLeavesItsClump) {
    struct Kind {
        void* (*create)();
        void (*destroy)(void*);
        void (*add)(OvClump*, void*);
        OvInt32 (*count)(const OvClump*);
    };
    const Kind kinds[] = {
        {[]() -> void* { return OvAtomicCreate(); }, [](void* o) { OvAtomicDestroy(static_cast<OvAtomic*>(o)); },
         [](OvClump* c, void* o) { OvClumpAddAtomic(c, static_cast<OvAtomic*>(o)); }, OvClumpGetNumAtomics},
        {[]() -> void* { return OvLightCreate(ovLIGHTPOINT); },
         [](void* o) { OvLightDestroy(static_cast<OvLight*>(o)); },
         [](OvClump* c, void* o) { OvClumpAddLight(c, static_cast<OvLight*>(o)); }, OvClumpGetNumLights},
        {[]() -> void* { return OvCameraCreate(); }, [](void* o) { OvCameraDestroy(static_cast<OvCamera*>(o)); },
         [](OvClump* c, void* o) { OvClumpAddCamera(c, static_cast<OvCamera*>(o)); }, OvClumpGetNumCameras},
    };
    for (const Kind& k : kinds) {
        OvClump* clump = OvClumpCreate();
        OvClump* other = OvClumpCreate();
        void* members[3];
        for (void*& m : members) {
            m = k.create();
            k.add(clump, m);
        }
        k.destroy(members[1]);
        EXPECT_EQ(k.count(clump), 2);
        void* again = k.create(); // the freed record, most likely
        EXPECT_EQ(k.count(clump), 2);
        k.add(other, members[0]);
        EXPECT_EQ(k.count(clump), 1);
        EXPECT_EQ(k.count(other), 1);
        OvClumpDestroy(clump); // destroys members[2] only
        EXPECT_EQ(k.count(other), 1);
        OvClumpDestroy(other);
        k.destroy(again);
    }
}

} // namespace
