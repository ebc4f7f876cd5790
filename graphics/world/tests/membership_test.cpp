// World membership: the camera's visible sectors against a brute-force test of every sector's
// tree box for random cameras; sector ties of atomics and lights across a plane, in the gap of
// an overlapping plane, after moves and after removal; light lists; the world render draws
// each atomic once a frame; clump removal and its error.

#include <algorithm>
#include <cmath>
#include <set>

#include "graphics/core/engine.h"
#include "graphics/core/frame.h"
#include "graphics/world/testkit/world_camera.h"
#include "graphics/world/tests/level_kit.h"
#include "tools/mkasset/level_builder.h"

namespace {

using namespace worldtest;

class MembershipTest : public WorldTest {};

// Deterministic numbers in [lo, hi).
struct Lcg {
    std::uint64_t state;
    float Next(float lo, float hi) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return lo + (hi - lo) * static_cast<float>(state >> 40) / static_cast<float>(1ull << 24);
    }
};

// Every atomic sector with its tree box rebuilt from the planes above it, and which faces of
// that box come from a plane (the others are the world's own box).
struct SectorBox {
    OvWorldSector* sector;
    float lo[3], hi[3];
    bool cutLo[3], cutHi[3];
};
void CollectBoxes(OvWorldSector* s, SectorBox box, std::vector<SectorBox>& out) {
    if (OvWorldSectorIsAtomic(s)) {
        box.sector = s;
        out.push_back(box);
        return;
    }
    const OvPlaneSector* p = OvWorldSectorAsPlane(s);
    const int a = p->type / 4;
    SectorBox left = box, right = box;
    left.hi[a] = p->leftValue;
    left.cutHi[a] = true;
    right.lo[a] = p->rightValue;
    right.cutLo[a] = true;
    CollectBoxes(p->leftSubTree, left, out);
    CollectBoxes(p->rightSubTree, right, out);
}

// A sector is visible when its box overlaps the frustum's box across every face a plane cut
// (the walk never tests the world's own faces) and no frustum plane has the box's innermost
// corner outside it.
bool BruteForceVisible(const OvCamera* camera, const SectorBox& b) {
    const OvBBox& f = camera->frustumBoundBox;
    const float fi[3] = {f.inf.x, f.inf.y, f.inf.z}, fs[3] = {f.sup.x, f.sup.y, f.sup.z};
    for (int a = 0; a < 3; ++a) {
        if ((b.cutHi[a] && fi[a] >= b.hi[a]) || (b.cutLo[a] && fs[a] <= b.lo[a])) {
            return false;
        }
    }
    for (const OvFrustumPlane& p : camera->frustumPlanes) {
        const float x = p.closestX ? b.lo[0] : b.hi[0];
        const float y = p.closestY ? b.lo[1] : b.hi[1];
        const float z = p.closestZ ? b.lo[2] : b.hi[2];
        if (p.plane.normal.x * x + p.plane.normal.y * y + p.plane.normal.z * z - p.plane.distance > 0) {
            return false;
        }
    }
    return true;
}

TEST_F(MembershipTest, VisibleSectorsMatchABruteForceTestOfEveryTreeBox) {
    OvWorld* world = ReadWorld(mkasset::WorldFile(mkasset::LevelWorld({7, 40, 30, 48})));
    ASSERT_NE(world, nullptr);
    const OvBBox& w = world->boundingBox;
    std::vector<SectorBox> boxes;
    CollectBoxes(world->rootSector, {nullptr, {w.inf.x, w.inf.y, w.inf.z}, {w.sup.x, w.sup.y, w.sup.z}, {}, {}}, boxes);
    ASSERT_GT(boxes.size(), 64u);
    for (const SectorBox& b : boxes) {
        const OvBBox& t = b.sector->boundingBox;
        ASSERT_TRUE(t.inf.x == b.lo[0] && t.inf.y == b.lo[1] && t.inf.z == b.lo[2] && t.sup.x == b.hi[0] &&
                    t.sup.y == b.hi[1] && t.sup.z == b.hi[2])
            << "tree boxes";
    }
    OvCamera* camera = OvWorldTestCameraCreate(0, 1.7f, 0, 0, 0, 90, 30);
    ASSERT_NE(camera, nullptr);
    OvWorldAddCamera(world, camera);
    Lcg random{42};
    std::size_t seen = 0;
    for (int i = 0; i < 300; ++i) {
        const float fov = random.Next(30, 120);
        const OvV2d window = {std::tan(fov * 3.14159265f / 360.0f), std::tan(fov * 3.14159265f / 360.0f)};
        OvCameraSetViewWindow(camera, &window);
        OvCameraSetFarClipPlane(camera, random.Next(2, 60));
        OvWorldTestCameraPlace(camera, random.Next(-25, 25), random.Next(-1, 8), random.Next(-25, 25),
                               random.Next(-180, 180), random.Next(-89, 89));
        OvFrameSyncDirty();
        OvInt32 count = 0;
        OvWorldSector** visible = OvCameraGetVisibleSectors(camera, &count);
        const std::set<OvWorldSector*> walked(visible, visible + count);
        ASSERT_EQ(walked.size(), static_cast<std::size_t>(count)) << "camera " << i << ": a sector twice";
        std::set<OvWorldSector*> expected;
        for (const SectorBox& b : boxes) {
            if (BruteForceVisible(camera, b)) {
                expected.insert(b.sector);
            }
        }
        ASSERT_EQ(walked, expected) << "camera " << i;
        seen += walked.size();
    }
    EXPECT_GT(seen, 300u) << "the cameras saw something";

    // The same walk reaches the callback in order until it stops.
    std::vector<OvWorldSector*> order;
    OvCameraForAllVisibleWorldSectors(
        camera,
        [](OvWorldSector* s, void* data) -> OvWorldSector* {
            auto* v = static_cast<std::vector<OvWorldSector*>*>(data);
            v->push_back(s);
            return v->size() < 2 ? s : nullptr;
        },
        &order);
    OvInt32 count = 0;
    OvCameraGetVisibleSectors(camera, &count);
    EXPECT_EQ(order.size(), std::min<std::size_t>(2, static_cast<std::size_t>(count)));
    EXPECT_EQ(OvWorldRemoveCamera(world, camera), world);
    EXPECT_EQ(OvWorldRemoveCamera(world, camera), nullptr);
    OvCameraGetVisibleSectors(camera, &count);
    EXPECT_EQ(count, 0);
    OvWorldTestCameraDestroy(camera);
    OvWorldDestroy(world);
}

// Atomic and light ties of each sector of a two-sector world.
struct Ties {
    int leftAtomics, rightAtomics, leftLights, rightLights;
};
int ListLength(const OvLLLink* head) {
    int n = 0;
    for (const OvLLLink* l = head->next; l != head; l = l->next) {
        ++n;
    }
    return n;
}
Ties TiesOf(OvWorld* world) {
    const OvPlaneSector* p = OvWorldSectorAsPlane(world->rootSector);
    return {ListLength(&p->leftSubTree->atomicTies), ListLength(&p->rightSubTree->atomicTies),
            ListLength(&p->leftSubTree->lightTies), ListLength(&p->rightSubTree->lightTies)};
}

TEST_F(MembershipTest, TiesFollowSpheresAcrossPlanesGapsAndMoves) {
    // Plain plane at x = 0: a sphere across it is in both sectors.
    OvWorld* world = ReadWorld(mkasset::WorldFile(TwoSectorWorld(false)));
    ASSERT_NE(world, nullptr);
    OvClump* clump = SphereClump(0.5f, 0.2f, 0, 0);
    OvAtomic* atomic = FirstAtomic(clump);
    EXPECT_EQ(OvWorldAddClump(world, clump), world);
    EXPECT_EQ(world->numClumpsInWorld, 1);
    EXPECT_EQ(OvAtomicGetWorld(atomic), world);
    OvFrameSyncDirty();
    Ties t = TiesOf(world);
    EXPECT_EQ(t.leftAtomics, 1);
    EXPECT_EQ(t.rightAtomics, 1);
    EXPECT_EQ(ListLength(&atomic->sectorTies), 2);

    // Moved wholly to the right: re-tied there alone.
    PlaceFrame(OvClumpGetFrame(clump), 1.2f, 0, 0);
    OvFrameSyncDirty();
    t = TiesOf(world);
    EXPECT_EQ(t.leftAtomics, 0);
    EXPECT_EQ(t.rightAtomics, 1);

    // A local light reaching across; a global light ties to nothing but is listed.
    OvLight* lamp = OvLightCreate(ovLIGHTPOINT);
    OvFrame* lampFrame = OvFrameCreate();
    OvLightSetFrame(lamp, lampFrame);
    lamp->radius = 1;
    PlaceFrame(lampFrame, -0.5f, 0, 0);
    OvLight* sun = OvLightCreate(ovLIGHTDIRECTIONAL);
    OvWorldAddLight(world, lamp);
    OvWorldAddLight(world, sun);
    EXPECT_EQ(ListLength(&world->localLights), 1);
    EXPECT_EQ(ListLength(&world->globalLights), 1);
    OvFrameSyncDirty();
    t = TiesOf(world);
    EXPECT_EQ(t.leftLights, 1);
    EXPECT_EQ(t.rightLights, 1);
    // Added again: it moves rather than being listed twice.
    OvWorldAddLight(world, lamp);
    EXPECT_EQ(ListLength(&world->localLights), 1);

    // Everything out: no ties left anywhere.
    EXPECT_EQ(OvWorldRemoveClump(world, clump), world);
    EXPECT_EQ(world->numClumpsInWorld, 0);
    EXPECT_EQ(OvAtomicGetWorld(atomic), nullptr);
    EXPECT_EQ(OvWorldRemoveClump(world, clump), nullptr);
    OvError e;
    OvErrorGet(&e);
    EXPECT_EQ(e.pluginID, ovPLUGINIDWORLDERRORS);
    EXPECT_EQ(e.errorCode, ovERRCLUMPNOTINWORLD);
    OvWorldRemoveLight(world, lamp);
    OvWorldRemoveLight(world, sun);
    OvWorldRemoveLight(world, sun); // in no world: nothing happens
    EXPECT_EQ(ListLength(&world->localLights) + ListLength(&world->globalLights), 0);
    OvInt32 atomicTies = -1, lightTies = -1;
    OvWorldGetTiesInUse(&atomicTies, &lightTies);
    EXPECT_EQ(atomicTies, 0);
    EXPECT_EQ(lightTies, 0);
    OvWorldDestroy(world);

    // Overlapping plane with a gap: the left side ends at -1, the right starts at 1.
    world = ReadWorld(mkasset::WorldFile(TwoSectorWorld(true, -1, 1)));
    ASSERT_NE(world, nullptr);
    OvWorldAddClump(world, clump);
    const struct {
        float x;
        Ties ties;
    } spots[] = {{0, {0, 0, 0, 0}}, {-1.2f, {1, 0, 0, 0}}, {1.2f, {0, 1, 0, 0}}, {-0.7f, {1, 0, 0, 0}}};
    for (const auto& spot : spots) {
        PlaceFrame(OvClumpGetFrame(clump), spot.x, 0, 0);
        OvFrameSyncDirty();
        t = TiesOf(world);
        EXPECT_EQ(t.leftAtomics, spot.ties.leftAtomics) << spot.x;
        EXPECT_EQ(t.rightAtomics, spot.ties.rightAtomics) << spot.x;
    }
    // An atomic destroyed while in the world marks its frame dirty.
    OvAtomic* loose = OvAtomicCreate();
    OvFrame* looseFrame = OvFrameCreate();
    OvAtomicSetFrame(loose, looseFrame);
    EXPECT_EQ(OvWorldAddAtomic(world, loose), world);
    OvFrameSyncDirty();
    EXPECT_FALSE(OvFrameIsDirty(looseFrame));
    OvAtomicDestroy(loose);
    EXPECT_TRUE(OvFrameIsDirty(looseFrame));
    OvFrameSyncDirty();
    OvFrameDestroy(looseFrame);
    // Destroying the clump while it is in the world takes it out first.
    OvClumpDestroy(clump);
    EXPECT_EQ(world->numClumpsInWorld, 0);
    OvWorldGetTiesInUse(&atomicTies, &lightTies);
    EXPECT_EQ(atomicTies, 0);
    OvLightDestroy(lamp);
    OvLightDestroy(sun);
    OvFrameDestroy(lampFrame);
    OvWorldDestroy(world);
}

int gDraws = 0;
int gSectorDraws = 0;
OvAtomic* CountDraw(OvAtomic* atomic) {
    ++gDraws;
    return atomic;
}
OvWorldSector* CountSector(OvWorldSector* sector) {
    ++gSectorDraws;
    return OvWorldSectorDefaultRenderCallback(sector);
}

TEST_F(MembershipTest, WorldRenderDrawsEachAtomicOnceAFrame) {
    OvWorld* world = ReadWorld(mkasset::WorldFile(TwoSectorWorld(false)));
    ASSERT_NE(world, nullptr);
    OvWorldSetSectorRenderCallback(world, CountSector);
    OvClump* across = SphereClump(0.5f, 0, 0, 0);        // in both sectors
    OvClump* behind = SphereClump(0.5f, 1.5f, 0, -1.8f); // in the view's sectors, outside its frustum
    OvClump* hidden = SphereClump(0.5f, -1, 0, 0);       // render flag off
    FirstAtomic(across)->renderCallBack = CountDraw;
    FirstAtomic(behind)->renderCallBack = CountDraw;
    FirstAtomic(hidden)->renderCallBack = CountDraw;
    FirstAtomic(hidden)->object.object.flags &= static_cast<OvUInt8>(~ovATOMICRENDER);
    for (OvClump* c : {across, behind, hidden}) {
        OvWorldAddClump(world, c);
    }
    // Above the middle, looking down the +z axis from z = -1, so both sectors are in view.
    OvCamera* camera = OvWorldTestCameraCreate(0, 0.5f, -1, 0, 0, 90, 10);
    OvWorldAddCamera(world, camera);
    gDraws = gSectorDraws = 0;
    const OvUInt16 before = OvEngineInstancePtr->renderFrame;
    for (int frame = 1; frame <= 3; ++frame) {
        ASSERT_NE(OvCameraBeginUpdate(camera), nullptr);
        EXPECT_EQ(OvEngineInstancePtr->curWorld, world);
        EXPECT_EQ(OvWorldRender(world), world);
        OvCameraEndUpdate(camera);
        EXPECT_EQ(OvEngineInstancePtr->curWorld, nullptr);
        EXPECT_EQ(gDraws, frame) << "the atomic across the plane is drawn once a frame";
        EXPECT_EQ(gSectorDraws, 2 * frame);
    }
    EXPECT_EQ(static_cast<OvUInt16>(OvEngineInstancePtr->renderFrame - before), 3);
    // The default callback returns to use after null.
    OvWorldSetSectorRenderCallback(world, nullptr);
    EXPECT_EQ(world->renderCallBack, OvWorldSectorDefaultRenderCallback);
    OvWorldRemoveCamera(world, camera);
    OvWorldTestCameraDestroy(camera);
    for (OvClump* c : {across, behind, hidden}) {
        OvWorldRemoveClump(world, c);
        OvClumpDestroy(c);
    }
    OvWorldDestroy(world);
}

} // namespace
