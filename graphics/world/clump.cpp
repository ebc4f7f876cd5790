#include "graphics/world/clump.h"

#include <cstddef>
#include <initializer_list>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/pipeline.h"
#include "graphics/core/resources.h"
#include "graphics/core/stream.h"
#include "graphics/world/world_plugin.h"

namespace {

OvInt32 gClumpModuleOffset = -1;
OvInt32 gClumpOpens = 0;
constexpr OvInt32 kObjectsPerBlock = 128;
// Least bytes a geometry chunk takes in a stream (headers of the chunk, its struct, material
// list and extension, the struct's head and the list's count).
constexpr OvUInt32 kLeastGeometryChunk = 5 * ovCHUNKHEADERSIZE + 16 + 4;

OvClumpModule* Module() {
    return reinterpret_cast<OvClumpModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gClumpModuleOffset);
}

void ReportRead() { OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRREAD)); }

// Finds the struct chunk and reads it whole; its length must be exactly the record's size.
bool ReadStructRecord(OvStream* stream, OvUInt8* record, OvUInt32 size) {
    OvUInt32 length = 0;
    if (!OvStreamFindChunk(stream, ovID_STRUCT, &length, nullptr)) {
        return false;
    }
    if (length != size) {
        ReportRead();
        return false;
    }
    return OvStreamReadStrict(stream, record, size) != nullptr;
}

OvClump* IdentityClump(OvClump* clump, void*) { return clump; }

void MarkFrameDirtyInWorld(OvAtomic* atomic) {
    OvFrame* frame = OvAtomicGetFrame(atomic);
    if (frame != nullptr && OvAtomicGetWorld(atomic) != nullptr) {
        OvFrameMarkDirty(frame);
    }
}

OvObjectHasFrame* AtomicSync(OvObjectHasFrame* object) {
    auto* atomic = reinterpret_cast<OvAtomic*>(object);
    if ((atomic->interpolator.flags & ovINTERPOLATORDIRTYSPHERE) != 0) {
        OvAtomicInterpolatorUpdate(atomic);
    }
    atomic->object.object.privateFlags |= ovATOMICPRIVATEWORLDBOUNDDIRTY;
    return object;
}

template <typename T> T* FromLink(OvLLLink* link, OvLLLink T::*member) {
    const auto offset = reinterpret_cast<std::size_t>(&(static_cast<T*>(nullptr)->*member));
    return reinterpret_cast<T*>(reinterpret_cast<char*>(link) - offset);
}

OvAtomic* AtomicOfLink(OvLLLink* link) { return FromLink(link, &OvAtomic::inClumpLink); }

OvClumpLink* ClumpLinkOfLink(OvLLLink* link) {
    return reinterpret_cast<OvClumpLink*>(reinterpret_cast<char*>(link) - offsetof(OvClumpLink, link));
}
OvLight* LightOfLink(OvLLLink* link) { return OvLightFromClumpLink(ClumpLinkOfLink(link)); }
OvCamera* CameraOfLink(OvLLLink* link) { return OvCameraFromClumpLink(ClumpLinkOfLink(link)); }

} // namespace

void* OvClumpOpen(void* instance, OvInt32 offset, OvInt32) {
    gClumpModuleOffset = offset;
    auto* module = reinterpret_cast<OvClumpModule*>(static_cast<char*>(instance) + offset);
    module->atomicFreeList = OvFreeListCreateWithSpace(OvAtomicGetRegistry()->sizeOfStruct, kObjectsPerBlock, 0, 1,
                                                       nullptr, ovMEMHINTDUR_GLOBAL | ovPLUGINIDCLUMP);
    module->clumpFreeList = OvFreeListCreateWithSpace(OvClumpGetRegistry()->sizeOfStruct, kObjectsPerBlock, 0, 1,
                                                      nullptr, ovMEMHINTDUR_GLOBAL | ovPLUGINIDCLUMP);
    if (module->atomicFreeList == nullptr || module->clumpFreeList == nullptr) {
        for (OvFreeList** list : {&module->atomicFreeList, &module->clumpFreeList}) {
            if (*list != nullptr) {
                OvFreeListDestroy(*list);
                *list = nullptr;
            }
        }
        return nullptr;
    }
    gClumpOpens++;
    return instance;
}

void OvClumpDestroyLeftovers() {
    if (gClumpModuleOffset < 0 || Module()->clumpFreeList == nullptr) {
        return;
    }
    OvFreeListForAllUsed(
        Module()->clumpFreeList, [](void* e, void*) { OvClumpDestroy(static_cast<OvClump*>(e)); }, nullptr);
    OvFreeListForAllUsed(
        Module()->atomicFreeList, [](void* e, void*) { OvAtomicDestroy(static_cast<OvAtomic*>(e)); }, nullptr);
}

void* OvClumpClose(void* instance, OvInt32 offset, OvInt32) {
    OvClumpDestroyLeftovers();
    auto* module = reinterpret_cast<OvClumpModule*>(static_cast<char*>(instance) + offset);
    for (OvFreeList** list : {&module->clumpFreeList, &module->atomicFreeList}) {
        if (*list != nullptr) {
            OvFreeListDestroy(*list);
            *list = nullptr;
        }
    }
    gClumpOpens--;
    return instance;
}

OvAtomic* OvAtomicCreate() {
    auto* atomic =
        static_cast<OvAtomic*>(OvFreeListEntryAlloc(Module()->atomicFreeList, ovMEMHINTDUR_OBJECT | ovCHUNKIDATOMIC));
    if (atomic == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, sizeof(OvAtomic)));
        return nullptr;
    }
    atomic->object.object = {ovATOMICOBJECTTYPE, 0, static_cast<OvUInt8>(ovATOMICCOLLISIONTEST | ovATOMICRENDER),
                             ovATOMICPRIVATEWORLDBOUNDDIRTY, nullptr};
    OvLLLinkInitHead(&atomic->object.lFrame);
    atomic->object.sync = AtomicSync;
    atomic->repEntry = nullptr;
    atomic->geometry = nullptr;
    atomic->boundingSphere = {{0.0f, 0.0f, 0.0f}, 0.0f};
    atomic->worldBoundingSphere = {{0.0f, 0.0f, 0.0f}, 0.0f};
    atomic->clump = nullptr;
    atomic->inClumpLink = {nullptr, nullptr};
    atomic->renderCallBack = OvAtomicDefaultRenderCallback;
    atomic->interpolator = {3, 0, 0, 1.0f, 1.0f, 0.0f};
    atomic->renderFrame = 0;
    OvLLLinkInitHead(&atomic->sectorTies);
    atomic->pipeline = nullptr;
    if (OvPluginRegistryInitObject(OvAtomicGetRegistry(), atomic) == nullptr) {
        OvFreeListEntryFree(Module()->atomicFreeList, atomic);
        return nullptr;
    }
    return atomic;
}

namespace {

// Takes an atomic out of its clump's list (nothing when it is in none).
void LeaveClump(OvAtomic* atomic) {
    if (atomic->clump != nullptr) {
        OvLLLinkRemove(&atomic->inClumpLink);
        atomic->inClumpLink = {nullptr, nullptr};
        atomic->clump = nullptr;
    }
}

} // namespace

OvBool OvAtomicDestroy(OvAtomic* atomic) {
    // An atomic leaves its clump first, so that the clump's list and count keep no freed atomic.
    LeaveClump(atomic);
    // The destructors take the atomic out of its world: whether it was in one is asked first.
    OvFrame* frame = OvAtomicGetFrame(atomic);
    const bool inWorld = OvAtomicGetWorld(atomic) != nullptr;
    OvPluginRegistryDeInitObject(OvAtomicGetRegistry(), atomic);
    if (atomic->repEntry != nullptr) {
        OvResourcesFreeEntry(atomic->repEntry);
    }
    if (atomic->geometry != nullptr) {
        OvGeometryDestroy(atomic->geometry);
        atomic->geometry = nullptr;
    }
    if (frame != nullptr && inWorld) {
        OvFrameMarkDirty(frame);
    }
    OvObjectHasFrameDetach(&atomic->object);
    OvFreeListEntryFree(Module()->atomicFreeList, atomic);
    return TRUE;
}

OvAtomic* OvAtomicSetGeometry(OvAtomic* atomic, OvGeometry* geometry, OvUInt32 flags) {
    if (geometry == atomic->geometry) {
        return atomic;
    }
    if (geometry != nullptr) {
        OvGeometryAddRef(geometry);
    }
    if (atomic->geometry != nullptr) {
        OvGeometryDestroy(atomic->geometry);
    }
    // Instanced data of its own was made from the old geometry (its meshes name that geometry's
    // materials): it goes with it rather than be taken for the new one's.
    if (atomic->repEntry != nullptr) {
        OvResourcesFreeEntry(atomic->repEntry);
    }
    atomic->geometry = geometry;
    if ((flags & ovATOMICSAMEBOUNDINGSPHERE) == 0) {
        if (geometry != nullptr) {
            atomic->boundingSphere = geometry->morphTarget[0].boundingSphere;
            atomic->object.object.privateFlags |= ovATOMICPRIVATEWORLDBOUNDDIRTY;
        }
        MarkFrameDirtyInWorld(atomic);
    }
    return atomic;
}

OvAtomic* OvAtomicSetFrame(OvAtomic* atomic, OvFrame* frame) {
    OvObjectHasFrameSetFrame(&atomic->object, frame);
    atomic->object.object.privateFlags |= ovATOMICPRIVATEWORLDBOUNDDIRTY;
    return atomic;
}

OvAtomic* OvAtomicInterpolatorUpdate(OvAtomic* atomic) {
    const OvGeometry* geometry = atomic->geometry;
    if (geometry == nullptr) {
        return atomic;
    }
    OvInterpolator& in = atomic->interpolator;
    const OvInt32 n = geometry->numMorphTargets;
    const OvInt32 s = in.startMorphTarget;
    const OvInt32 e = in.endMorphTarget;
    const bool bothValid = s >= 0 && e >= 0 && s < n && e < n;
    if (bothValid && s != e) {
        const OvSphere& a = geometry->morphTarget[s].boundingSphere;
        const OvSphere& b = geometry->morphTarget[e].boundingSphere;
        const float f = in.position * in.recipTime;
        atomic->boundingSphere.radius = (b.radius - a.radius) * f + a.radius;
        atomic->boundingSphere.center = {a.center.x + (b.center.x - a.center.x) * f,
                                         a.center.y + (b.center.y - a.center.y) * f,
                                         a.center.z + (b.center.z - a.center.z) * f};
    } else if (bothValid) {
        atomic->boundingSphere = geometry->morphTarget[s].boundingSphere;
    } else {
        atomic->boundingSphere = geometry->morphTarget[0].boundingSphere;
    }
    in.flags &= ~ovINTERPOLATORDIRTYSPHERE;
    atomic->object.object.privateFlags |= ovATOMICPRIVATEWORLDBOUNDDIRTY;
    return atomic;
}

const OvSphere* OvAtomicGetWorldBoundingSphere(OvAtomic* atomic) {
    if ((atomic->interpolator.flags & ovINTERPOLATORDIRTYSPHERE) != 0) {
        OvAtomicInterpolatorUpdate(atomic);
    }
    OvFrame* frame = OvAtomicGetFrame(atomic);
    if (frame == nullptr) {
        // Without a frame the atomic stands at the origin unscaled.
        atomic->worldBoundingSphere = atomic->boundingSphere;
        atomic->object.object.privateFlags &= static_cast<OvUInt8>(~ovATOMICPRIVATEWORLDBOUNDDIRTY);
        return &atomic->worldBoundingSphere;
    }
    if (!OvFrameIsDirty(frame) && (atomic->object.object.privateFlags & ovATOMICPRIVATEWORLDBOUNDDIRTY) == 0) {
        return &atomic->worldBoundingSphere;
    }
    const OvMatrix* m = OvFrameGetWorldMatrix(frame);
    OvV3dTransformPoint(&atomic->worldBoundingSphere.center, &atomic->boundingSphere.center, m);
    if ((m->flags & ovMATRIXTYPEORTHONORMAL) != ovMATRIXTYPEORTHONORMAL) {
        float largest = OvV3dDotProduct(&m->right, &m->right);
        const float up = OvV3dDotProduct(&m->up, &m->up);
        const float at = OvV3dDotProduct(&m->at, &m->at);
        largest = up > largest ? up : largest;
        largest = at > largest ? at : largest;
        atomic->worldBoundingSphere.radius = atomic->boundingSphere.radius * OvSqrt(largest);
    } else {
        atomic->worldBoundingSphere.radius = atomic->boundingSphere.radius;
    }
    atomic->object.object.privateFlags &= static_cast<OvUInt8>(~ovATOMICPRIVATEWORLDBOUNDDIRTY);
    return &atomic->worldBoundingSphere;
}

OvAtomic* OvAtomicDefaultRenderCallback(OvAtomic* atomic) {
    OvPipeline* pipeline = atomic->pipeline != nullptr ? atomic->pipeline : OvWorldGetDefaultAtomicPipeline();
    if (pipeline == nullptr || OvPipelineExecute(pipeline, atomic, TRUE) == nullptr) {
        return nullptr;
    }
    return atomic;
}

OvAtomic* OvAtomicStreamRead(OvStream* stream, const OvFrameList* frameList, OvGeometry** geometries,
                             OvInt32 numGeometries) {
    OvUInt8 record[ovATOMICSTRUCTSIZE];
    if (!ReadStructRecord(stream, record, sizeof record)) {
        return nullptr;
    }
    const auto frameIndex = static_cast<OvInt32>(OvChunkGetUInt32(record));
    const auto geometryIndex = static_cast<OvInt32>(OvChunkGetUInt32(record + 4));
    const OvUInt32 flags = OvChunkGetUInt32(record + 8);
    const OvInt32 numFrames = frameList != nullptr ? frameList->numFrames : 0;
    // Indices name entries of the clump's lists.
    if ((numFrames > 0 && (frameIndex < 0 || frameIndex >= numFrames)) ||
        (numGeometries > 0 && (geometryIndex < 0 || geometryIndex >= numGeometries))) {
        ReportRead();
        return nullptr;
    }
    OvAtomic* atomic = OvAtomicCreate();
    if (atomic == nullptr) {
        return nullptr;
    }
    atomic->object.object.flags = static_cast<OvUInt8>(flags & 0xFF);
    if (numFrames > 0) {
        OvAtomicSetFrame(atomic, frameList->frames[frameIndex]);
    }
    if (numGeometries == 0) {
        OvGeometry* own = nullptr;
        if (OvStreamFindChunk(stream, ovCHUNKIDGEOMETRY, nullptr, nullptr)) {
            own = OvGeometryStreamRead(stream);
        }
        if (own == nullptr) {
            OvAtomicDestroy(atomic);
            return nullptr;
        }
        OvAtomicSetGeometry(atomic, own, 0);
        OvGeometryDestroy(own);
    } else {
        OvAtomicSetGeometry(atomic, geometries[geometryIndex], 0);
    }
    OvPipelineOwnerClear(ovPIPELINEOWNERATOMIC);
    if (OvPluginRegistryReadDataChunks(OvAtomicGetRegistry(), stream, atomic) == nullptr) {
        OvAtomicDestroy(atomic);
        return nullptr;
    }
    OvPipelineOwnerInvoke(ovPIPELINEOWNERATOMIC, OvAtomicGetRegistry(), atomic);
    return atomic;
}

OvClump* OvClumpCreate() {
    auto* clump =
        static_cast<OvClump*>(OvFreeListEntryAlloc(Module()->clumpFreeList, ovMEMHINTDUR_OBJECT | ovCHUNKIDCLUMP));
    if (clump == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, sizeof(OvClump)));
        return nullptr;
    }
    clump->object = {ovCLUMPOBJECTTYPE, 0, 0, 0, nullptr};
    OvLLLinkInitHead(&clump->atomicList);
    OvLLLinkInitHead(&clump->lightList);
    OvLLLinkInitHead(&clump->cameraList);
    clump->inWorldLink = {nullptr, nullptr};
    clump->callback = IdentityClump;
    if (OvPluginRegistryInitObject(OvClumpGetRegistry(), clump) == nullptr) {
        OvFreeListEntryFree(Module()->clumpFreeList, clump);
        return nullptr;
    }
    return clump;
}

OvBool OvClumpDestroy(OvClump* clump) {
    OvPluginRegistryDeInitObject(OvClumpGetRegistry(), clump);
    // Each member leaves the list as it is destroyed.
    while (!OvLLLinkIsEmpty(&clump->atomicList)) {
        OvAtomicDestroy(AtomicOfLink(clump->atomicList.next));
    }
    while (!OvLLLinkIsEmpty(&clump->lightList)) {
        OvLightDestroy(LightOfLink(clump->lightList.next));
    }
    while (!OvLLLinkIsEmpty(&clump->cameraList)) {
        OvCameraDestroy(CameraOfLink(clump->cameraList.next));
    }
    if (OvClumpGetFrame(clump) != nullptr) {
        OvFrameDestroyHierarchy(OvClumpGetFrame(clump));
        clump->object.parent = nullptr;
    }
    OvFreeListEntryFree(Module()->clumpFreeList, clump);
    return TRUE;
}

OvClump* OvClumpAddAtomic(OvClump* clump, OvAtomic* atomic) {
    LeaveClump(atomic);
    atomic->clump = clump;
    OvLLLinkAddHead(&clump->atomicList, &atomic->inClumpLink);
    return clump;
}

OvClump* OvClumpAddLight(OvClump* clump, OvLight* light) {
    OvClumpLink* link = OvLightGetClumpLink(light);
    OvClumpLinkLeave(link);
    link->clump = clump;
    OvLLLinkAddHead(&clump->lightList, &link->link);
    return clump;
}

OvClump* OvClumpAddCamera(OvClump* clump, OvCamera* camera) {
    OvClumpLink* link = OvCameraGetClumpLink(camera);
    OvClumpLinkLeave(link);
    link->clump = clump;
    OvLLLinkAddHead(&clump->cameraList, &link->link);
    return clump;
}

namespace {

// Calls the callback for each member of a clump list until one returns null; the next member is
// fetched first, so that the callback may remove the one it gets.
template <typename T>
void ForAllMembers(OvLLLink* head, T* (*member)(OvLLLink*), T* (*callback)(T*, void*), void* data) {
    for (OvLLLink* l = head->next; l != head;) {
        OvLLLink* next = l->next;
        if (callback(member(l), data) == nullptr) {
            return;
        }
        l = next;
    }
}

} // namespace

OvClump* OvClumpForAllAtomics(OvClump* clump, OvAtomicCallBack callback, void* data) {
    ForAllMembers(&clump->atomicList, AtomicOfLink, callback, data);
    return clump;
}

OvClump* OvClumpForAllLights(OvClump* clump, OvLightCallBack callback, void* data) {
    ForAllMembers(&clump->lightList, LightOfLink, callback, data);
    return clump;
}

OvClump* OvClumpForAllCameras(OvClump* clump, OvCameraCallBack callback, void* data) {
    ForAllMembers(&clump->cameraList, CameraOfLink, callback, data);
    return clump;
}

namespace {

OvInt32 CountLinks(const OvLLLink* head) {
    OvInt32 n = 0;
    for (const OvLLLink* l = head->next; l != head; l = l->next) {
        n++;
    }
    return n;
}

// What a clump read holds while it runs; released whatever the outcome.
struct ClumpReadState {
    OvFrameList frames = {nullptr, 0};
    bool haveFrames = false;
    OvGeometry** geometries = nullptr;
    OvInt32 numGeometries = 0;

    void Release() {
        for (OvInt32 i = 0; i < numGeometries; ++i) {
            OvGeometryDestroy(geometries[i]);
        }
        if (geometries != nullptr) {
            OvFree(geometries);
        }
        geometries = nullptr;
        numGeometries = 0;
        if (haveFrames) {
            OvFrameListDestroy(&frames);
            haveFrames = false;
        }
    }
};

// An index of a struct chunk of 4 bytes (light or camera frame) that names a frame of the list.
bool ReadFrameIndex(OvStream* stream, const OvFrameList& frames, OvInt32* index) {
    OvUInt8 word[4];
    if (!ReadStructRecord(stream, word, sizeof word)) {
        return false;
    }
    *index = static_cast<OvInt32>(OvChunkGetUInt32(word));
    if (*index < 0 || *index >= frames.numFrames) {
        ReportRead();
        return false;
    }
    return true;
}

bool ReadGeometryList(OvStream* stream, ClumpReadState& state) {
    OvUInt32 length = 0;
    if (!OvStreamFindChunk(stream, ovCHUNKIDGEOMETRYLIST, nullptr, nullptr) ||
        !OvStreamFindChunk(stream, ovID_STRUCT, &length, nullptr)) {
        return false;
    }
    OvUInt8 word[4];
    if (length != sizeof word) {
        ReportRead();
        return false;
    }
    if (OvStreamReadStrict(stream, word, sizeof word) == nullptr) {
        return false;
    }
    const auto count = static_cast<OvInt32>(OvChunkGetUInt32(word));
    const OvUInt32 left = OvStreamGetBytesLeft(stream);
    if (count < 0 || (left != 0xFFFFFFFFu && static_cast<OvUInt32>(count) > left / kLeastGeometryChunk)) {
        ReportRead();
        return false;
    }
    if (count == 0) {
        return true;
    }
    const std::size_t bytes = sizeof(OvGeometry*) * static_cast<std::size_t>(count);
    state.geometries = static_cast<OvGeometry**>(OvMalloc(bytes, ovMEMHINTDUR_FUNCTION | ovCHUNKIDGEOMETRYLIST));
    if (state.geometries == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, bytes));
        return false;
    }
    for (OvInt32 i = 0; i < count; ++i) {
        if (!OvStreamFindChunk(stream, ovCHUNKIDGEOMETRY, nullptr, nullptr)) {
            return false;
        }
        OvGeometry* geometry = OvGeometryStreamRead(stream);
        if (geometry == nullptr) {
            return false;
        }
        state.geometries[state.numGeometries++] = geometry;
    }
    return true;
}

// The frame list of a clump: at least one frame, and every other frame below the first, so
// that destroying the first frame's hierarchy destroys them all.
bool ReadFrames(OvStream* stream, ClumpReadState& state) {
    if (!OvStreamFindChunk(stream, ovID_FRAMELIST, nullptr, nullptr) ||
        OvFrameListStreamRead(stream, &state.frames) == nullptr) {
        return false;
    }
    state.haveFrames = true;
    bool singleRoot = state.frames.numFrames > 0;
    for (OvInt32 i = 1; singleRoot && i < state.frames.numFrames; ++i) {
        singleRoot = OvFrameGetRoot(state.frames.frames[i]) == state.frames.frames[0];
    }
    if (!singleRoot) {
        // The roots are found before any goes: destroying one frees the frames below it, which
        // later entries of the list name.
        OvInt32 roots = 0;
        for (OvInt32 i = 0; i < state.frames.numFrames; ++i) {
            if (OvFrameGetParent(state.frames.frames[i]) == nullptr) {
                state.frames.frames[roots++] = state.frames.frames[i];
            }
        }
        for (OvInt32 i = 0; i < roots; ++i) {
            OvFrameDestroyHierarchy(state.frames.frames[i]);
        }
        ReportRead();
        return false;
    }
    return true;
}

} // namespace

OvInt32 OvClumpGetNumAtomics(const OvClump* clump) { return CountLinks(&clump->atomicList); }
OvInt32 OvClumpGetNumLights(const OvClump* clump) { return CountLinks(&clump->lightList); }
OvInt32 OvClumpGetNumCameras(const OvClump* clump) { return CountLinks(&clump->cameraList); }

OvClump* OvClumpStreamRead(OvStream* stream) {
    OvUInt8 record[ovCLUMPSTRUCTSIZE];
    if (!ReadStructRecord(stream, record, sizeof record)) {
        return nullptr;
    }
    const auto numAtomics = static_cast<OvInt32>(OvChunkGetUInt32(record));
    const auto numLights = static_cast<OvInt32>(OvChunkGetUInt32(record + 4));
    const auto numCameras = static_cast<OvInt32>(OvChunkGetUInt32(record + 8));
    if (numAtomics < 0 || numLights < 0 || numCameras < 0) {
        ReportRead();
        return nullptr;
    }
    OvClump* clump = OvClumpCreate();
    if (clump == nullptr) {
        return nullptr;
    }
    ClumpReadState state;
    bool ok = ReadFrames(stream, state);
    if (ok) {
        OvClumpSetFrame(clump, state.frames.frames[0]);
    }
    ok = ok && ReadGeometryList(stream, state);
    for (OvInt32 i = 0; ok && i < numAtomics; ++i) {
        OvAtomic* atomic = nullptr;
        if (OvStreamFindChunk(stream, ovCHUNKIDATOMIC, nullptr, nullptr)) {
            atomic = OvAtomicStreamRead(stream, &state.frames, state.geometries, state.numGeometries);
        }
        ok = atomic != nullptr;
        if (ok) {
            OvClumpAddAtomic(clump, atomic);
        }
    }
    for (OvInt32 i = 0; ok && i < numLights; ++i) {
        OvInt32 frameIndex = 0;
        OvLight* light = nullptr;
        if (ReadFrameIndex(stream, state.frames, &frameIndex) &&
            OvStreamFindChunk(stream, ovCHUNKIDLIGHT, nullptr, nullptr)) {
            light = OvLightStreamRead(stream);
        }
        ok = light != nullptr;
        if (ok) {
            OvLightSetFrame(light, state.frames.frames[frameIndex]);
            OvClumpAddLight(clump, light);
        }
    }
    for (OvInt32 i = 0; ok && i < numCameras; ++i) {
        OvInt32 frameIndex = 0;
        OvCamera* camera = nullptr;
        if (ReadFrameIndex(stream, state.frames, &frameIndex) &&
            OvStreamFindChunk(stream, ovID_CAMERA, nullptr, nullptr)) {
            camera = OvCameraStreamRead(stream);
        }
        ok = camera != nullptr;
        if (ok) {
            OvCameraSetFrame(camera, state.frames.frames[frameIndex]);
            OvClumpAddCamera(clump, camera);
        }
    }
    state.Release();
    ok = ok && OvPluginRegistryReadDataChunks(OvClumpGetRegistry(), stream, clump) != nullptr;
    if (!ok) {
        ReportRead();
        OvClumpDestroy(clump);
        return nullptr;
    }
    return clump;
}
