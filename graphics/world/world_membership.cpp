#include "graphics/world/world_membership.h"

#include <initializer_list>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/resources.h"
#include "graphics/world/world_plugin.h"

namespace {

constexpr OvUInt32 kTieHint = ovMEMHINTDUR_GLOBAL | ovPLUGINIDWORLDOBJECT;
// The front-to-back hint of the driver's standard functions.
constexpr OvInt32 kStandardFrontToBackHint = 22;

// Module data: the two tie free lists and a reserved word.
struct WorldObjectModule {
    OvFreeList* atomicTies;
    OvFreeList* lightTies;
    OvUInt32 reserved;
    OvInt32 atomicTiesInUse;
    OvInt32 lightTiesInUse;
};

// Camera extension: visible sectors, their capacity and count, the world and the saved callbacks.
struct CameraExt {
    OvWorldSector** sectors;
    OvInt32 space;
    OvInt32 count;
    OvWorld* world;
    OvCameraBeginUpdateFn savedBeginUpdate;
    OvCameraEndUpdateFn savedEndUpdate;
    OvObjectHasFrameSyncFn savedSync;
};

// Atomic and light extensions: the world and the saved frame-sync callback.
struct ObjectExt {
    OvWorld* world;
    OvObjectHasFrameSyncFn savedSync;
};

// Clump extension: the world and a reserved word.
struct ClumpExt {
    OvWorld* world;
    OvUInt32 reserved;
};

OvInt32 gModuleOffset = -1;
OvInt32 gCameraExtOffset = -1;
OvInt32 gAtomicExtOffset = -1;
OvInt32 gClumpExtOffset = -1;
OvInt32 gLightExtOffset = -1;

WorldObjectModule* Module() {
    return reinterpret_cast<WorldObjectModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gModuleOffset);
}
// Counts a tie taken from (+1) or returned to (-1) a list.
void CountTie(const OvFreeList* list, OvInt32 change) {
    WorldObjectModule* module = Module();
    (list == module->atomicTies ? module->atomicTiesInUse : module->lightTiesInUse) += change;
}
template <typename Ext> Ext* ExtOf(const void* object, OvInt32 offset) {
    return reinterpret_cast<Ext*>(const_cast<char*>(static_cast<const char*>(object)) + offset);
}
CameraExt* CameraExtOf(const OvCamera* camera) { return ExtOf<CameraExt>(camera, gCameraExtOffset); }
ObjectExt* AtomicExtOf(const OvAtomic* atomic) { return ExtOf<ObjectExt>(atomic, gAtomicExtOffset); }
ObjectExt* LightExtOf(const OvLight* light) { return ExtOf<ObjectExt>(light, gLightExtOffset); }
ClumpExt* ClumpExtOf(const OvClump* clump) { return ExtOf<ClumpExt>(clump, gClumpExtOffset); }

void MarkDirty(OvObjectHasFrame* object) {
    if (OvFrame* frame = OvObjectHasFrameGetFrame(object)) {
        OvFrameMarkDirty(frame);
    }
}

// ---- Ties ----

void FreeTie(OvFreeList* list, OvSectorTie* tie) {
    OvLLLinkRemove(&tie->inSector);
    OvLLLinkRemove(&tie->inObject);
    OvFreeListEntryFree(list, tie);
    CountTie(list, -1);
}

// Frees every tie of an object's list.
void FreeObjectTies(OvFreeList* list, OvLLLink* ties) {
    while (!OvLLLinkIsEmpty(ties)) {
        FreeTie(list, OvSectorTieFromObjectLink(ties->next));
    }
}

// Takes every tie of an object's list out of its sector's list and out of the object's, and
// keeps it in spare: a moving object's ties serve its next placement, so that re-tying takes
// from and returns to the free list only the difference between the two.
void SpareObjectTies(OvLLLink* ties, OvLLLink* spare) {
    OvLLLinkInitHead(spare);
    while (!OvLLLinkIsEmpty(ties)) {
        OvSectorTie* tie = OvSectorTieFromObjectLink(ties->next);
        OvLLLinkRemove(&tie->inSector);
        OvLLLinkRemove(&tie->inObject);
        OvLLLinkAddHead(spare, &tie->inObject);
    }
}

// Returns the spare ties left over to the free list.
void FreeSpareTies(OvFreeList* list, OvLLLink* spare) {
    while (!OvLLLinkIsEmpty(spare)) {
        OvSectorTie* tie = OvSectorTieFromObjectLink(spare->next);
        OvLLLinkRemove(&tie->inObject);
        OvFreeListEntryFree(list, tie);
        CountTie(list, -1);
    }
}

// Ties the object to every atomic sector the box reaches: at a plane sector, left when the box
// starts below the left side's end, right when it ends above the right side's start (a box in
// the gap between the two reaches neither). Ties come from spare first, then from the free
// list; a tie that cannot be allocated skips its sector with 0x80000013.
void TieToSectors(const OvWorld* world, const OvBBox& box, void* object, OvLLLink* objectTies, OvLLLink* spare,
                  OvFreeList* list, bool light) {
    OvWorldSector* stack[ovWORLDMAXDEPTH + 1];
    OvInt32 count = 0;
    OvWorldSector* s = world->rootSector;
    while (s != nullptr) {
        if (!OvWorldSectorIsAtomic(s)) {
            const OvPlaneSector* p = OvWorldSectorAsPlane(s);
            const bool left = OvV3dAxis(&box.inf, p->type) < p->leftValue;
            const bool right = OvV3dAxis(&box.sup, p->type) > p->rightValue;
            if (left) {
                if (right && count < ovWORLDMAXDEPTH + 1) {
                    stack[count++] = p->rightSubTree;
                }
                s = p->leftSubTree;
                continue;
            }
            if (right) {
                s = p->rightSubTree;
                continue;
            }
        } else {
            OvSectorTie* tie = nullptr;
            if (!OvLLLinkIsEmpty(spare)) {
                tie = OvSectorTieFromObjectLink(spare->next);
                OvLLLinkRemove(&tie->inObject);
            } else {
                tie = static_cast<OvSectorTie*>(OvFreeListEntryAlloc(list, kTieHint));
                if (tie != nullptr) {
                    CountTie(list, 1);
                }
            }
            if (tie == nullptr) {
                OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, sizeof(OvSectorTie)));
            } else {
                tie->object = object;
                tie->sector = s;
                OvLLLinkAddHead(light ? &s->lightTies : &s->atomicTies, &tie->inSector);
                OvLLLinkAddHead(objectTies, &tie->inObject);
            }
        }
        s = count > 0 ? stack[--count] : nullptr;
    }
}

// ---- Module ----

void* ModuleOpen(void* instance, OvInt32 offset, OvInt32) {
    gModuleOffset = offset;
    auto* module = reinterpret_cast<WorldObjectModule*>(static_cast<char*>(instance) + offset);
    *module = {};
    module->atomicTies = OvFreeListCreateWithSpace(sizeof(OvSectorTie), ovATOMICTIESPERBLOCK, 0, 1, nullptr, kTieHint);
    module->lightTies = OvFreeListCreateWithSpace(sizeof(OvSectorTie), ovLIGHTTIESPERBLOCK, 0, 1, nullptr, kTieHint);
    if (module->atomicTies == nullptr || module->lightTies == nullptr) {
        for (OvFreeList** list : {&module->atomicTies, &module->lightTies}) {
            if (*list != nullptr) {
                OvFreeListDestroy(*list);
                *list = nullptr;
            }
        }
        return nullptr;
    }
    static_cast<OvEngineInstance*>(instance)->renderFrame = 1;
    return instance;
}

void* ModuleClose(void* instance, OvInt32 offset, OvInt32) {
    // Clumps, atomics and lights left alive are destroyed while every pool they use is open.
    OvWorldPluginDestroyLeftovers();
    auto* module = reinterpret_cast<WorldObjectModule*>(static_cast<char*>(instance) + offset);
    for (OvFreeList** list : {&module->atomicTies, &module->lightTies}) {
        if (*list != nullptr) {
            OvFreeListDestroy(*list);
            *list = nullptr;
        }
    }
    return instance;
}

// ---- Cameras ----

OvCamera* CameraBeginUpdate(OvCamera* camera) {
    CameraExt* ext = CameraExtOf(camera);
    OvEngineInstancePtr->curWorld = ext->world;
    OvEngineInstancePtr->renderFrame++;
    return ext->savedBeginUpdate(camera);
}

OvCamera* CameraEndUpdate(OvCamera* camera) {
    CameraExt* ext = CameraExtOf(camera);
    OvEngineInstancePtr->curWorld = nullptr;
    return ext->savedEndUpdate(camera);
}

// Appends a visible sector, growing the array; false (0x80000013) when it cannot grow.
bool AppendVisible(CameraExt* ext, OvWorldSector* sector) {
    if (ext->count == ext->space) {
        const OvInt32 space = ext->space + ovVISIBLESECTORSGROWBY;
        auto* grown = static_cast<OvWorldSector**>(
            OvRealloc(ext->sectors, sizeof(OvWorldSector*) * static_cast<std::size_t>(space), kTieHint));
        if (grown == nullptr) {
            OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, sizeof(OvWorldSector*) * space));
            return false;
        }
        ext->sectors = grown;
        ext->space = space;
    }
    ext->sectors[ext->count++] = sector;
    return true;
}

// The atomic sectors the camera can see, in the world's render order.
void FindVisibleSectors(OvCamera* camera, CameraExt* ext) {
    const OvWorld* world = ext->world;
    const OvBBox& frustum = camera->frustumBoundBox;
    const OvV3d eye = OvFrameGetWorldMatrix(OvCameraGetFrame(camera))->pos;
    const bool backToFront = world->renderOrder == ovWORLDRENDERBACK2FRONT;
    OvWorldSector* stack[ovWORLDMAXDEPTH + 1];
    OvInt32 pending = 0;
    ext->count = 0;
    OvWorldSector* s = world->rootSector;
    while (s != nullptr) {
        if (!OvWorldSectorIsAtomic(s)) {
            const OvPlaneSector* p = OvWorldSectorAsPlane(s);
            const bool goesLeft = OvV3dAxis(&frustum.inf, p->type) < p->leftValue;
            const bool goesRight = p->rightValue < OvV3dAxis(&frustum.sup, p->type);
            if (goesLeft && goesRight) {
                const bool eyeAbove = OvV3dAxis(&eye, p->type) > p->value;
                // Back to front: the far side first; front to back: the near side first.
                const bool leftFirst = backToFront ? eyeAbove : !eyeAbove;
                if (pending < ovWORLDMAXDEPTH + 1) {
                    stack[pending++] = leftFirst ? p->rightSubTree : p->leftSubTree;
                }
                s = leftFirst ? p->leftSubTree : p->rightSubTree;
            } else {
                s = goesLeft ? p->leftSubTree : p->rightSubTree;
            }
            continue;
        }
        bool visible = true;
        for (const OvFrustumPlane& fp : camera->frustumPlanes) {
            const OvBBox& b = s->boundingBox;
            const OvV3d corner = {fp.closestX ? b.inf.x : b.sup.x, fp.closestY ? b.inf.y : b.sup.y,
                                  fp.closestZ ? b.inf.z : b.sup.z};
            if (OvV3dDotProduct(&fp.plane.normal, &corner) - fp.plane.distance > 0.0f) {
                visible = false;
                break;
            }
        }
        if (visible && !AppendVisible(ext, s)) {
            break;
        }
        s = pending > 0 ? stack[--pending] : nullptr;
    }
}

OvObjectHasFrame* CameraSync(OvObjectHasFrame* object) {
    auto* camera = reinterpret_cast<OvCamera*>(object);
    CameraExt* ext = CameraExtOf(camera);
    if (ext->savedSync == nullptr || ext->savedSync(object) == nullptr) {
        return nullptr;
    }
    if (ext->world != nullptr) {
        FindVisibleSectors(camera, ext);
    }
    OvInt32 frontToBack = ext->world != nullptr && ext->world->renderOrder == ovWORLDRENDERFRONT2BACK ? TRUE : FALSE;
    OvStandardCall(kStandardFrontToBackHint, nullptr, nullptr, frontToBack);
    return object;
}

void* CameraConstruct(void* object, OvInt32 offset, OvInt32) {
    auto* camera = static_cast<OvCamera*>(object);
    auto* ext = ExtOf<CameraExt>(object, offset);
    *ext = {nullptr, 0, 0, nullptr, camera->beginUpdate, camera->endUpdate, camera->object.sync};
    camera->beginUpdate = CameraBeginUpdate;
    camera->endUpdate = CameraEndUpdate;
    camera->object.sync = CameraSync;
    return object;
}

void* CameraDestruct(void* object, OvInt32 offset, OvInt32) {
    auto* camera = static_cast<OvCamera*>(object);
    auto* ext = ExtOf<CameraExt>(object, offset);
    if (ext->sectors != nullptr) {
        OvFree(ext->sectors);
    }
    camera->beginUpdate = ext->savedBeginUpdate;
    camera->endUpdate = ext->savedEndUpdate;
    camera->object.sync = ext->savedSync;
    *ext = {};
    return object;
}

void* CameraCopy(void* dst, const void* src, OvInt32 offset, OvInt32) {
    auto* camera = static_cast<OvCamera*>(dst);
    auto* ext = ExtOf<CameraExt>(dst, offset);
    ext->count = 0;
    ext->world = ExtOf<CameraExt>(src, offset)->world;
    if (ext->world != nullptr) {
        MarkDirty(&camera->object);
    }
    return dst;
}

// ---- Atomics ----

OvObjectHasFrame* AtomicSync(OvObjectHasFrame* object) {
    auto* atomic = reinterpret_cast<OvAtomic*>(object);
    ObjectExt* ext = AtomicExtOf(atomic);
    if (ext->savedSync == nullptr || ext->savedSync(object) == nullptr) {
        return nullptr;
    }
    if (ext->world == nullptr) {
        return object;
    }
    // Every tie leaves; the new ones reuse them.
    OvLLLink spare;
    SpareObjectTies(&atomic->sectorTies, &spare);
    const OvSphere* sphere = OvAtomicGetWorldBoundingSphere(atomic);
    const float r = sphere->radius;
    const OvBBox box = {{sphere->center.x + r, sphere->center.y + r, sphere->center.z + r},
                        {sphere->center.x - r, sphere->center.y - r, sphere->center.z - r}};
    TieToSectors(ext->world, box, atomic, &atomic->sectorTies, &spare, Module()->atomicTies, false);
    FreeSpareTies(Module()->atomicTies, &spare);
    return object;
}

void* AtomicConstruct(void* object, OvInt32 offset, OvInt32) {
    auto* atomic = static_cast<OvAtomic*>(object);
    *ExtOf<ObjectExt>(object, offset) = {nullptr, atomic->object.sync};
    atomic->renderFrame = static_cast<OvUInt16>(OvEngineInstancePtr->renderFrame - 1);
    atomic->object.sync = AtomicSync;
    return object;
}

void* AtomicDestruct(void* object, OvInt32 offset, OvInt32) {
    auto* atomic = static_cast<OvAtomic*>(object);
    auto* ext = ExtOf<ObjectExt>(object, offset);
    FreeObjectTies(Module()->atomicTies, &atomic->sectorTies);
    atomic->object.sync = ext->savedSync;
    *ext = {};
    return object;
}

// ---- Lights ----

OvObjectHasFrame* LightSync(OvObjectHasFrame* object) {
    auto* light = reinterpret_cast<OvLight*>(object);
    ObjectExt* ext = LightExtOf(light);
    if (ext->savedSync == nullptr || ext->savedSync(object) == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNULLARGUMENT));
        return nullptr;
    }
    OvFrame* frame = OvLightGetFrame(light);
    if (OvLightGetType(light) < ovLIGHTLOCALFIRST || ext->world == nullptr || frame == nullptr) {
        return object;
    }
    OvLLLink spare;
    SpareObjectTies(&light->sectorTies, &spare);
    const OvV3d p = OvFrameGetWorldMatrix(frame)->pos;
    const float r = light->radius;
    const OvBBox box = {{p.x + r, p.y + r, p.z + r}, {p.x - r, p.y - r, p.z - r}};
    TieToSectors(ext->world, box, light, &light->sectorTies, &spare, Module()->lightTies, true);
    FreeSpareTies(Module()->lightTies, &spare);
    return object;
}

void* LightConstruct(void* object, OvInt32 offset, OvInt32) {
    auto* light = static_cast<OvLight*>(object);
    *ExtOf<ObjectExt>(object, offset) = {nullptr, light->object.sync};
    light->object.sync = LightSync;
    return object;
}

void* LightDestruct(void* object, OvInt32 offset, OvInt32) {
    auto* light = static_cast<OvLight*>(object);
    auto* ext = ExtOf<ObjectExt>(object, offset);
    // A light destroyed while still in a world leaves it, so that the world's list keeps no
    // freed light.
    if (ext->world != nullptr) {
        OvWorldRemoveLight(ext->world, light);
    }
    FreeObjectTies(Module()->lightTies, &light->sectorTies);
    light->object.sync = ext->savedSync;
    *ext = {};
    return object;
}

void* LightCopy(void* dst, const void* src, OvInt32 offset, OvInt32) {
    auto* light = static_cast<OvLight*>(dst);
    if (OvWorld* world = ExtOf<ObjectExt>(src, offset)->world) {
        OvWorldAddLight(world, light);
    }
    return dst;
}

// ---- Clumps ----

void* ClumpConstruct(void* object, OvInt32 offset, OvInt32) {
    *ExtOf<ClumpExt>(object, offset) = {nullptr, Module()->reserved};
    return object;
}

void* ClumpDestruct(void* object, OvInt32 offset, OvInt32) {
    // A clump destroyed while still in a world leaves it with its members first.
    auto* clump = static_cast<OvClump*>(object);
    if (OvWorld* world = ExtOf<ClumpExt>(object, offset)->world) {
        OvWorldRemoveClump(world, clump);
    }
    return object;
}

void* ClumpCopy(void* dst, const void* src, OvInt32 offset, OvInt32) {
    if (OvWorld* world = ExtOf<ClumpExt>(src, offset)->world) {
        OvWorldAddClump(world, static_cast<OvClump*>(dst));
    }
    return dst;
}

OvAtomic* AtomicOfClumpLink(OvLLLink* link) {
    return reinterpret_cast<OvAtomic*>(reinterpret_cast<char*>(link) - offsetof(OvAtomic, inClumpLink));
}
OvClumpLink* ClumpLinkOf(OvLLLink* link) {
    return reinterpret_cast<OvClumpLink*>(reinterpret_cast<char*>(link) - offsetof(OvClumpLink, link));
}

// Takes an atomic out of its world: instanced data, ties and world.
void AtomicLeave(OvAtomic* atomic) {
    if (atomic->repEntry != nullptr) {
        OvResourcesFreeEntry(atomic->repEntry);
    }
    FreeObjectTies(Module()->atomicTies, &atomic->sectorTies);
    AtomicExtOf(atomic)->world = nullptr;
}

void CameraLeave(OvCamera* camera) {
    CameraExt* ext = CameraExtOf(camera);
    ext->world = nullptr;
    ext->count = 0;
}

} // namespace

OvBool OvWorldObjectPluginAttach() {
    OvInt32 r = OvEngineRegisterPlugin(sizeof(WorldObjectModule), ovPLUGINIDWORLDOBJECT, ModuleOpen, ModuleClose);
    gCameraExtOffset =
        OvCameraRegisterPlugin(sizeof(CameraExt), ovPLUGINIDWORLDOBJECT, CameraConstruct, CameraDestruct, CameraCopy);
    gAtomicExtOffset =
        OvAtomicRegisterPlugin(sizeof(ObjectExt), ovPLUGINIDWORLDOBJECT, AtomicConstruct, AtomicDestruct, nullptr);
    gClumpExtOffset =
        OvClumpRegisterPlugin(sizeof(ClumpExt), ovPLUGINIDWORLDOBJECT, ClumpConstruct, ClumpDestruct, ClumpCopy);
    gLightExtOffset =
        OvLightRegisterPlugin(sizeof(ObjectExt), ovPLUGINIDWORLDOBJECT, LightConstruct, LightDestruct, LightCopy);
    r |= gCameraExtOffset | gAtomicExtOffset | gClumpExtOffset | gLightExtOffset;
    return r < 0 ? FALSE : TRUE;
}

OvWorld* OvAtomicGetWorld(const OvAtomic* atomic) { return AtomicExtOf(atomic)->world; }
OvWorld* OvCameraGetWorld(const OvCamera* camera) { return CameraExtOf(camera)->world; }
OvWorld* OvLightGetWorld(const OvLight* light) { return LightExtOf(light)->world; }
OvWorld* OvClumpGetWorld(const OvClump* clump) { return ClumpExtOf(clump)->world; }

OvWorld* OvWorldAddAtomic(OvWorld* world, OvAtomic* atomic) {
    MarkDirty(&atomic->object);
    AtomicExtOf(atomic)->world = world;
    return world;
}

OvWorld* OvWorldAddCamera(OvWorld* world, OvCamera* camera) {
    MarkDirty(&camera->object);
    CameraExtOf(camera)->world = world;
    return world;
}

OvWorld* OvWorldRemoveCamera(OvWorld* world, OvCamera* camera) {
    if (CameraExtOf(camera)->world == nullptr) {
        return nullptr;
    }
    CameraLeave(camera);
    return world;
}

OvWorld* OvWorldAddLight(OvWorld* world, OvLight* light) {
    ObjectExt* ext = LightExtOf(light);
    if (ext->world != nullptr) {
        OvWorldRemoveLight(ext->world, light);
    }
    ext->world = world;
    if (OvLightGetType(light) >= ovLIGHTLOCALFIRST) {
        MarkDirty(&light->object);
        OvLLLinkAddHead(&world->localLights, &light->inWorld);
    } else {
        OvLLLinkAddHead(&world->globalLights, &light->inWorld);
    }
    return world;
}

OvWorld* OvWorldRemoveLight(OvWorld* world, OvLight* light) {
    ObjectExt* ext = LightExtOf(light);
    if (ext->world == nullptr) {
        return world;
    }
    ext->world = nullptr;
    FreeObjectTies(Module()->lightTies, &light->sectorTies);
    OvLLLinkRemove(&light->inWorld);
    light->inWorld = {nullptr, nullptr};
    return world;
}

OvWorld* OvWorldAddClump(OvWorld* world, OvClump* clump) {
    ClumpExt* ext = ClumpExtOf(clump);
    if (ext->world != nullptr) {
        OvWorldRemoveClump(ext->world, clump);
    }
    OvLLLinkAddHead(&world->clumpList, &clump->inWorldLink);
    world->numClumpsInWorld++;
    ext->world = world;
    for (OvLLLink* l = clump->atomicList.next; l != &clump->atomicList; l = l->next) {
        OvWorldAddAtomic(world, AtomicOfClumpLink(l));
    }
    for (OvLLLink* l = clump->lightList.next; l != &clump->lightList; l = l->next) {
        OvWorldAddLight(world, OvLightFromClumpLink(ClumpLinkOf(l)));
    }
    for (OvLLLink* l = clump->cameraList.next; l != &clump->cameraList; l = l->next) {
        OvWorldAddCamera(world, OvCameraFromClumpLink(ClumpLinkOf(l)));
    }
    if (OvFrame* frame = OvClumpGetFrame(clump)) {
        OvMatrixOptimize(&frame->modelling, nullptr);
        OvFrameMarkDirty(frame);
    }
    return world;
}

OvWorld* OvWorldRemoveClump(OvWorld* world, OvClump* clump) {
    ClumpExt* ext = ClumpExtOf(clump);
    OvWorld* in = ext->world;
    if (in == nullptr) {
        OvErrorReport(ovPLUGINIDWORLDERRORS, ovERRCLUMPNOTINWORLD);
        return nullptr;
    }
    in->numClumpsInWorld--;
    if (in->currentClumpLink == &clump->inWorldLink) {
        in->currentClumpLink = clump->inWorldLink.next;
    }
    OvLLLinkRemove(&clump->inWorldLink);
    clump->inWorldLink = {nullptr, nullptr};
    for (OvLLLink* l = clump->atomicList.next; l != &clump->atomicList; l = l->next) {
        OvAtomic* atomic = AtomicOfClumpLink(l);
        if (AtomicExtOf(atomic)->world == world) {
            AtomicLeave(atomic);
        }
    }
    for (OvLLLink* l = clump->lightList.next; l != &clump->lightList; l = l->next) {
        OvLight* light = OvLightFromClumpLink(ClumpLinkOf(l));
        if (LightExtOf(light)->world == world) {
            OvWorldRemoveLight(world, light);
        }
    }
    for (OvLLLink* l = clump->cameraList.next; l != &clump->cameraList; l = l->next) {
        OvCamera* camera = OvCameraFromClumpLink(ClumpLinkOf(l));
        if (CameraExtOf(camera)->world == world) {
            CameraLeave(camera);
        }
    }
    ext->world = nullptr;
    return world;
}

OvCamera* OvCameraForAllVisibleWorldSectors(OvCamera* camera, OvWorldSectorCallBack callback, void* data) {
    CameraExt* ext = CameraExtOf(camera);
    for (OvInt32 i = 0; i < ext->count; ++i) {
        if (callback(ext->sectors[i], data) == nullptr) {
            break;
        }
    }
    return camera;
}

OvWorldSector** OvCameraGetVisibleSectors(OvCamera* camera, OvInt32* count) {
    CameraExt* ext = CameraExtOf(camera);
    *count = ext->count;
    return ext->sectors;
}

void OvWorldSectorReleaseTies(OvWorldSector* sector) {
    while (!OvLLLinkIsEmpty(&sector->atomicTies)) {
        FreeTie(Module()->atomicTies, OvSectorTieFromSectorLink(sector->atomicTies.next));
    }
    while (!OvLLLinkIsEmpty(&sector->lightTies)) {
        FreeTie(Module()->lightTies, OvSectorTieFromSectorLink(sector->lightTies.next));
    }
}

void OvWorldReleaseMembers(OvWorld* world) {
    while (!OvLLLinkIsEmpty(&world->clumpList)) {
        OvWorldRemoveClump(world, reinterpret_cast<OvClump*>(reinterpret_cast<char*>(world->clumpList.next) -
                                                             offsetof(OvClump, inWorldLink)));
    }
    for (OvLLLink* list : {&world->localLights, &world->globalLights}) {
        while (!OvLLLinkIsEmpty(list)) {
            OvWorldRemoveLight(
                world, reinterpret_cast<OvLight*>(reinterpret_cast<char*>(list->next) - offsetof(OvLight, inWorld)));
        }
    }
    // Atomics and cameras added on their own are found through their pools.
    struct Visit {
        OvWorld* world;
    } visit{world};
    const OvInt32 clumps = OvEngineGetPluginOffset(ovPLUGINIDCLUMP);
    if (clumps >= 0) {
        auto* module = reinterpret_cast<OvClumpModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + clumps);
        OvFreeListForAllUsed(
            module->atomicFreeList,
            [](void* entry, void* data) {
                auto* atomic = static_cast<OvAtomic*>(entry);
                if (AtomicExtOf(atomic)->world == static_cast<Visit*>(data)->world) {
                    AtomicLeave(atomic);
                }
            },
            &visit);
    }
    const OvInt32 cameras = OvEngineGetPluginOffset(ovPLUGINIDCAMERA);
    if (cameras >= 0) {
        auto* module = reinterpret_cast<OvCameraModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + cameras);
        OvFreeListForAllUsed(
            module->freeList,
            [](void* entry, void* data) {
                auto* camera = static_cast<OvCamera*>(entry);
                if (CameraExtOf(camera)->world == static_cast<Visit*>(data)->world) {
                    CameraLeave(camera);
                }
            },
            &visit);
    }
}

void OvWorldGetTiesInUse(OvInt32* atomicTies, OvInt32* lightTies) {
    *atomicTies = Module()->atomicTiesInUse;
    *lightTies = Module()->lightTiesInUse;
}

bool OvWorldSectorTiesInUse() {
    return gModuleOffset >= 0 && OvEngineInstancePtr != nullptr &&
           (Module()->atomicTiesInUse != 0 || Module()->lightTiesInUse != 0);
}
