#include "graphics/world/tests/level_kit.h"

#include "graphics/core/engine.h"
#include "graphics/core/frame.h"
#include "graphics/world/clump.h"

namespace worldtest {

namespace {

OvMemoryFunctions gWrapped{};
std::int64_t gLive = 0;

void* CountedAllocate(std::size_t size, OvUInt32 hint) {
    void* p = gWrapped.allocate(size, hint);
    gLive += p != nullptr ? 1 : 0;
    return p;
}
void CountedFree(void* block) {
    gLive -= block != nullptr ? 1 : 0;
    gWrapped.free(block);
}
void* CountedReallocate(void* block, std::size_t size, OvUInt32 hint) {
    void* p = gWrapped.reallocate(block, size, hint);
    if (block == nullptr && p != nullptr) {
        ++gLive;
    }
    return p;
}
void* CountedCallocate(std::size_t count, std::size_t size, OvUInt32 hint) {
    void* p = gWrapped.callocate(count, size, hint);
    gLive += p != nullptr ? 1 : 0;
    return p;
}

} // namespace

OvWorld* ReadWorld(const Bytes& bytes) { return ReadFirst<OvWorld>(bytes, OvWorldStreamRead); }

void CountMemoryBlocks() {
    OvMemoryFunctions& f = OvEngineInstancePtr->memoryFuncs;
    if (f.allocate != CountedAllocate) {
        gWrapped = f;
        f = {CountedAllocate, CountedFree, CountedReallocate, CountedCallocate};
    }
    gLive = 0;
}

std::int64_t LiveMemoryBlocks() { return gLive; }

mkasset::AtomicSectorDesc QuadSector(float x0, float x1, float z0, float z1) {
    mkasset::AtomicSectorDesc s;
    s.verts = {x0, 0, z0, x1, 0, z0, x1, 0, z1, x0, 0, z1};
    s.triangles = {{{0, 1, 2}, 0}, {{0, 2, 3}, 0}};
    s.min[0] = x0;
    s.min[2] = z0;
    s.max[0] = x1;
    s.max[2] = z1;
    return s;
}

mkasset::WorldDesc TwoSectorWorld(bool overlapFlag, float leftValue, float rightValue) {
    mkasset::WorldDesc w;
    w.flags = overlapFlag ? mkasset::kWorldSectorsOverlap : 0;
    w.materialList = mkasset::MaterialListOf({mkasset::MaterialDesc{}});
    w.max[0] = 2;
    w.max[1] = 1;
    w.max[2] = 2;
    w.min[0] = -2;
    w.min[1] = -1;
    w.min[2] = -2;
    mkasset::SectorNodeDesc root;
    root.type = 0;
    root.leftValue = leftValue;
    root.rightValue = rightValue;
    root.left = 1;
    root.right = 2;
    mkasset::SectorNodeDesc left, right;
    left.sector = QuadSector(-2, 0, -2, 2);
    right.sector = QuadSector(0, 2, -2, 2);
    w.nodes = {root, left, right};
    return w;
}

OvClump* SphereClump(float radius, float x, float y, float z) {
    OvClump* clump = OvClumpCreate();
    OvFrame* frame = OvFrameCreate();
    OvAtomic* atomic = OvAtomicCreate();
    OvGeometry* geometry = OvGeometryCreateEmpty(radius);
    OvAtomicSetGeometry(atomic, geometry, 0);
    OvGeometryDestroy(geometry);
    OvClumpSetFrame(clump, frame);
    OvAtomicSetFrame(atomic, frame);
    OvClumpAddAtomic(clump, atomic);
    PlaceFrame(frame, x, y, z);
    return clump;
}

OvAtomic* FirstAtomic(OvClump* clump) {
    return reinterpret_cast<OvAtomic*>(reinterpret_cast<char*>(clump->atomicList.next) -
                                       offsetof(OvAtomic, inClumpLink));
}

void PlaceFrame(OvFrame* frame, float x, float y, float z) {
    const OvV3d at = {x, y, z};
    OvFrameTranslate(frame, &at, ovCOMBINEREPLACE);
}

std::vector<OvWorldSector*> SectorsOf(OvWorld* world) {
    std::vector<OvWorldSector*> out;
    OvWorldForAllWorldSectors(
        world,
        [](OvWorldSector* s, void* data) {
            static_cast<std::vector<OvWorldSector*>*>(data)->push_back(s);
            return s;
        },
        &out);
    return out;
}

} // namespace worldtest
