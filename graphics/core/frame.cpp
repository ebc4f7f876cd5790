#include "graphics/core/frame.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/chunk.h"
#include "graphics/core/stream.h"

namespace {

OvInt32 gFrameModuleOffset = -1; // offset of OvFrameModule in the engine instance
OvPluginRegistry gFrameRegistry = OvPluginRegistryInitialValue(sizeof(OvFrame));

constexpr OvUInt32 kFrameObjectId = 0x0E;
constexpr OvInt32 kFramesPerBlock = 50;
constexpr float kStreamedMatrixTolerance = 0.01f; // normal and orthogonal error of a rigid record
constexpr float kStreamedMinDeterminant = 0.99f;  // below: mirrored or scaled

inline OvFrameModule* Module() {
    return reinterpret_cast<OvFrameModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gFrameModuleOffset);
}

inline OvLLLink* DirtyList() { return &OvEngineInstancePtr->dirtyFrameList; }

inline OvFrame* FrameFromDirtyLink(OvLLLink* link) {
    return reinterpret_cast<OvFrame*>(reinterpret_cast<char*>(link) - offsetof(OvFrame, inDirtyListLink));
}

inline OvObjectHasFrame* ObjectFromLink(OvLLLink* link) {
    return reinterpret_cast<OvObjectHasFrame*>(reinterpret_cast<char*>(link) - offsetof(OvObjectHasFrame, lFrame));
}

inline bool OnDirtyList(const OvFrame* frame) {
    return (frame->object.privateFlags & ovFRAMEPRIVATEHIERARCHYSYNC) != 0;
}

inline void TakeOffDirtyList(OvFrame* frame) {
    if (OnDirtyList(frame)) {
        OvLLLinkRemove(&frame->inDirtyListLink);
        frame->object.privateFlags &= static_cast<OvUInt8>(~ovFRAMEPRIVATEHIERARCHYSYNC);
    }
}

// A link that points at itself is in no list; removing it again changes nothing.
inline void UnlinkSelf(OvLLLink* link) {
    OvLLLinkRemove(link);
    OvLLLinkInitHead(link);
}

void SyncObjects(OvFrame* frame) {
    OvLLLink* head = &frame->objectList;
    for (OvLLLink* link = head->next; link != head;) {
        OvLLLink* next = link->next; // a callback may move its own object
        OvObjectHasFrame* object = ObjectFromLink(link);
        object->sync(object);
        link = next;
    }
}

// Recomputes the world matrices below parent. inherited holds the subtree bits of the
// ancestors: ovFRAMEPRIVATESUBTREESYNCLTM when a modelling matrix above changed, and, when
// objects are synced, ovFRAMEPRIVATESUBTREESYNCOBJ when a frame above moved since the last
// sync (its world matrix, and so every one below it, may already have been brought up to date
// by OvFrameGetWorldMatrix, which leaves only that bit). Objects are synced when their frame
// or a frame above it moved, or when they asked for it.
void SyncChildren(OvFrame* parent, OvUInt8 inherited, bool syncObjects) {
    const OvUInt8 passed = syncObjects ? ovFRAMEPRIVATESUBTREESYNC : ovFRAMEPRIVATESUBTREESYNCLTM;
    for (OvFrame* child = parent->child; child != nullptr; child = child->next) {
        const OvUInt8 flags = child->object.privateFlags | inherited;
        if (flags & ovFRAMEPRIVATESUBTREESYNCLTM) {
            OvMatrixMultiply(&child->ltm, &child->modelling, &parent->ltm);
        }
        if (syncObjects && (flags & ovFRAMEPRIVATESUBTREESYNC)) {
            SyncObjects(child);
        }
        child->object.privateFlags &= static_cast<OvUInt8>(~passed);
        SyncChildren(child, flags & passed, syncObjects);
    }
}

// Objects of every descendant, when no world matrix is pending.
void SyncDescendantObjects(OvFrame* parent) {
    for (OvFrame* child = parent->child; child != nullptr; child = child->next) {
        SyncObjects(child);
        child->object.privateFlags &= static_cast<OvUInt8>(~ovFRAMEPRIVATESUBTREESYNCOBJ);
        SyncDescendantObjects(child);
    }
}

// Unlinks a child from its parent's child list; the child keeps its own subtree.
void UnlinkFromParent(OvFrame* child) {
    OvFrame* parent = OvFrameGetParent(child);
    OvFrame** link = &parent->child;
    while (*link != child) {
        link = &(*link)->next;
    }
    *link = child->next;
    child->object.parent = nullptr;
    child->next = nullptr;
}

// The child becomes the root of its own hierarchy and is marked dirty.
void Detach(OvFrame* child) {
    UnlinkFromParent(child);
    OvFrameSetRootRecursive(child, child);
    OvFrameMarkDirty(child);
}

// Objects still hanging on a frame that goes lose their frame instead of keeping a link into
// freed memory.
void ReleaseObjects(OvFrame* frame) {
    OvLLLink* head = &frame->objectList;
    while (!OvLLLinkIsEmpty(head)) {
        OvObjectHasFrame* object = ObjectFromLink(head->next);
        UnlinkSelf(&object->lFrame);
        object->object.parent = nullptr;
    }
}

void FreeFrame(OvFrame* frame) {
    ReleaseObjects(frame);
    OvFreeListEntryFree(Module()->freeList, frame);
}

void DestroyHierarchyBelow(OvFrame* frame) {
    for (OvFrame* child = frame->child; child != nullptr;) {
        OvFrame* next = child->next;
        DestroyHierarchyBelow(child);
        OvPluginRegistryDeInitObject(&gFrameRegistry, child);
        TakeOffDirtyList(child);
        FreeFrame(child);
        child = next;
    }
}

OvFrame* FrameOp(OvFrame* frame, OvMatrix* result) {
    if (result == nullptr) {
        return nullptr;
    }
    OvFrameMarkDirty(frame);
    return frame;
}

// Destroys every hierarchy made from the list so far (each record's parent is an earlier
// frame, so every frame lies below one whose parent is none).
void DestroyListFrames(OvFrame** frames, OvInt32 made) {
    for (OvInt32 i = made - 1; i >= 0; --i) {
        if (OvFrameGetParent(frames[i]) == nullptr) {
            OvFrameDestroyHierarchy(frames[i]);
        }
    }
}

} // namespace

void* OvFrameOpen(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    gFrameModuleOffset = offset;
    OvFrameModule* module = reinterpret_cast<OvFrameModule*>(static_cast<char*>(instance) + offset);
    module->freeList = OvFreeListCreateWithSpace(gFrameRegistry.sizeOfStruct, kFramesPerBlock, 0, 1,
                                                 &module->freeListHeader, ovMEMHINTDUR_GLOBAL | kFrameObjectId);
    if (module->freeList == nullptr) {
        return nullptr;
    }
    OvLLLinkInitHead(&static_cast<OvEngineInstance*>(instance)->dirtyFrameList);
    return instance;
}

void* OvFrameClose(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    OvFrameModule* module = reinterpret_cast<OvFrameModule*>(static_cast<char*>(instance) + offset);
    if (module->freeList != nullptr) {
        OvFreeListDestroy(module->freeList);
        module->freeList = nullptr;
    }
    return instance;
}

OvPluginRegistry* OvFrameGetRegistry() { return &gFrameRegistry; }

OvInt32 OvFrameRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                              OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB) {
    return OvPluginRegistryAddPlugin(&gFrameRegistry, size, pluginID, constructCB, destructCB, copyCB);
}

OvInt32 OvFrameRegisterPluginStream(OvUInt32 pluginID, OvPluginDataChunkReadCallBack readCB,
                                    OvPluginDataChunkWriteCallBack writeCB,
                                    OvPluginDataChunkGetSizeCallBack getSizeCB) {
    return OvPluginRegistryAddPluginStream(&gFrameRegistry, pluginID, readCB, writeCB, getSizeCB);
}

const OvPluginRegistry* OvFrameInit(OvFrame* frame) {
    frame->object = {ovFRAMEOBJECTTYPE, 0, 0, 0, nullptr};
    OvLLLinkInitHead(&frame->inDirtyListLink);
    OvLLLinkInitHead(&frame->objectList);
    frame->child = nullptr;
    frame->next = nullptr;
    frame->root = frame;
    OvMatrixSetIdentity(&frame->modelling);
    OvMatrixSetIdentity(&frame->ltm);
    return OvPluginRegistryInitObject(&gFrameRegistry, frame);
}

OvFrame* OvFrameCreate() {
    OvFrame* frame =
        static_cast<OvFrame*>(OvFreeListEntryAlloc(Module()->freeList, ovMEMHINTDUR_OBJECT | kFrameObjectId));
    if (frame == nullptr) {
        return nullptr;
    }
    if (OvFrameInit(frame) == nullptr) {
        FreeFrame(frame);
        return nullptr;
    }
    return frame;
}

OvBool OvFrameDestroy(OvFrame* frame) {
    OvPluginRegistryDeInitObject(&gFrameRegistry, frame);
    if (OvFrameGetParent(frame) != nullptr) {
        Detach(frame);
    }
    TakeOffDirtyList(frame);
    // The children become roots of their own hierarchies, marked dirty as a detached frame is:
    // their world matrices lose the parent's transform and their objects learn of it (what they
    // had pending goes with them onto the dirty list).
    for (OvFrame* child = frame->child; child != nullptr;) {
        OvFrame* next = child->next;
        child->object.parent = nullptr;
        child->next = nullptr;
        OvFrameSetRootRecursive(child, child);
        OvFrameMarkDirty(child);
        child = next;
    }
    FreeFrame(frame);
    return 1;
}

OvBool OvFrameDestroyHierarchy(OvFrame* frame) {
    if (frame == nullptr) {
        return 1;
    }
    if (OvFrameGetParent(frame) != nullptr) {
        // Otherwise the parent would keep a link to a freed frame.
        Detach(frame);
    }
    DestroyHierarchyBelow(frame);
    OvPluginRegistryDeInitObject(&gFrameRegistry, frame);
    TakeOffDirtyList(frame);
    FreeFrame(frame);
    return 1;
}

void OvFrameSetRootRecursive(OvFrame* frame, OvFrame* root) {
    frame->root = root;
    for (OvFrame* child = frame->child; child != nullptr; child = child->next) {
        OvFrameSetRootRecursive(child, root);
    }
}

OvFrame* OvFrameAddChildNoUpdate(OvFrame* parent, OvFrame* child) {
    if (OvFrameGetParent(child) != nullptr) {
        Detach(child);
    }
    child->next = parent->child;
    parent->child = child;
    child->object.parent = parent;
    OvFrameSetRootRecursive(child, parent->root);
    // The dirty list holds roots only: a former root leaves it, and what it had pending (a move of
    // its own, or the detach from its old parent) becomes pending in its new hierarchy.
    if (OnDirtyList(child)) {
        TakeOffDirtyList(child);
        OvFrameMarkDirty(child);
    }
    return parent;
}

OvFrame* OvFrameAddChild(OvFrame* parent, OvFrame* child) {
    OvFrameAddChildNoUpdate(parent, child);
    OvFrameMarkDirty(child);
    return parent;
}

OvFrame* OvFrameForAllChildren(OvFrame* frame, OvFrameCallBack callback, void* data) {
    for (OvFrame* child = frame->child; child != nullptr;) {
        OvFrame* next = child->next; // the callback may destroy the child it is given
        if (callback(child, data) == nullptr) {
            break;
        }
        child = next;
    }
    return frame;
}

OvBool OvFrameIsDirty(const OvFrame* frame) {
    return (frame->root->object.privateFlags & ovFRAMEPRIVATEHIERARCHYSYNC) != 0;
}

void OvFrameMarkDirty(OvFrame* frame) {
    OvFrame* root = frame->root;
    if (!OnDirtyList(root)) {
        OvLLLinkAddHead(DirtyList(), &root->inDirtyListLink);
    }
    root->object.privateFlags |= ovFRAMEPRIVATEHIERARCHYSYNC;
    frame->object.privateFlags |= ovFRAMEPRIVATESUBTREESYNC;
}

OvBool OvFrameSyncDirty() {
    OvLLLink* head = DirtyList();
    while (!OvLLLinkIsEmpty(head)) {
        OvFrame* root = FrameFromDirtyLink(head->next);
        OvLLLinkRemove(&root->inDirtyListLink);
        OvLLLinkInitHead(&root->inDirtyListLink);
        const OvUInt8 flags = root->object.privateFlags;
        if (flags & ovFRAMEPRIVATEHIERARCHYSYNCLTM) {
            if (flags & ovFRAMEPRIVATESUBTREESYNCLTM) {
                root->ltm = root->modelling;
            }
            SyncObjects(root);
            SyncChildren(root, flags & ovFRAMEPRIVATESUBTREESYNC, true);
        } else {
            SyncObjects(root);
            SyncDescendantObjects(root);
        }
        root->object.privateFlags &= static_cast<OvUInt8>(~(ovFRAMEPRIVATEHIERARCHYSYNC | ovFRAMEPRIVATESUBTREESYNC));
    }
    return 1;
}

void OvFrameSyncWorldMatrices(OvFrame* root) {
    const OvUInt8 flags = root->object.privateFlags;
    if (flags & ovFRAMEPRIVATESUBTREESYNCLTM) {
        root->ltm = root->modelling;
    }
    SyncChildren(root, flags & ovFRAMEPRIVATESUBTREESYNCLTM, false);
    // The root stays on the list for its objects.
    root->object.privateFlags &= static_cast<OvUInt8>(~(ovFRAMEPRIVATEHIERARCHYSYNCLTM | ovFRAMEPRIVATESUBTREESYNCLTM));
}

OvMatrix* OvFrameGetWorldMatrix(OvFrame* frame) {
    OvFrame* root = frame->root;
    if (root->object.privateFlags & ovFRAMEPRIVATEHIERARCHYSYNCLTM) {
        OvFrameSyncWorldMatrices(root);
    }
    return &frame->ltm;
}

OvFrame* OvFrameTranslate(OvFrame* frame, const OvV3d* v, OvOpCombineType combine) {
    return FrameOp(frame, OvMatrixTranslate(&frame->modelling, v, combine));
}

OvFrame* OvFrameScale(OvFrame* frame, const OvV3d* v, OvOpCombineType combine) {
    return FrameOp(frame, OvMatrixScale(&frame->modelling, v, combine));
}

OvFrame* OvFrameTransform(OvFrame* frame, const OvMatrix* m, OvOpCombineType combine) {
    return FrameOp(frame, OvMatrixTransform(&frame->modelling, m, combine));
}

OvFrame* OvFrameRotate(OvFrame* frame, const OvV3d* axis, float angle, OvOpCombineType combine) {
    return FrameOp(frame, OvMatrixRotate(&frame->modelling, axis, angle, combine));
}

OvFrame* OvFrameSetIdentity(OvFrame* frame) {
    OvMatrixSetIdentity(&frame->modelling);
    OvFrameMarkDirty(frame);
    return frame;
}

OvObjectHasFrame* OvObjectHasFrameSetFrame(OvObjectHasFrame* object, OvFrame* frame) {
    if (object->object.parent != nullptr) {
        UnlinkSelf(&object->lFrame);
    }
    object->object.parent = frame;
    if (frame != nullptr) {
        OvLLLinkAddHead(&frame->objectList, &object->lFrame);
        OvFrameMarkDirty(frame);
    }
    return object;
}

OvObjectHasFrame* OvObjectHasFrameDetach(OvObjectHasFrame* object) {
    if (object->object.parent != nullptr) {
        UnlinkSelf(&object->lFrame);
    }
    return object;
}

OvFrameList* OvFrameListStreamRead(OvStream* stream, OvFrameList* list) {
    OvUInt32 length = 0;
    OvUInt32 version = 0;
    if (!OvStreamFindChunk(stream, ovID_STRUCT, &length, &version)) {
        return nullptr;
    }
    OvUInt8 word[4];
    if (length < sizeof word || OvStreamRead(stream, word, sizeof word) != sizeof word) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRREAD));
        return nullptr;
    }
    // The count must be backed by the records the struct chunk really holds.
    const OvInt32 count = static_cast<OvInt32>(OvChunkGetUInt32(word));
    const OvUInt32 recordBytes = length - static_cast<OvUInt32>(sizeof word);
    if (count < 0 || static_cast<OvUInt32>(count) > recordBytes / ovFRAMELISTRECORDSIZE) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRREAD));
        return nullptr;
    }
    // The chunk's length is the writer's word, not bytes the stream holds: the table grows as
    // records arrive, so a short stream never costs more than the records it really holds.
    OvFrame** frames = nullptr;
    OvInt32 capacity = 0;
    OvInt32 made = 0;
    bool ok = true;
    for (; made < count; ++made) {
        OvUInt8 record[ovFRAMELISTRECORDSIZE];
        if (OvStreamRead(stream, record, sizeof record) != sizeof record) {
            ok = false;
            break;
        }
        if (made == capacity) {
            const std::int64_t doubled = capacity > 0 ? 2 * static_cast<std::int64_t>(capacity) : 16;
            const OvInt32 next = doubled < count ? static_cast<OvInt32>(doubled) : count;
            const std::size_t bytes = sizeof(OvFrame*) * static_cast<std::size_t>(next);
            auto* larger = static_cast<OvFrame**>(OvMalloc(bytes, ovMEMHINTDUR_OBJECT | kFrameObjectId));
            if (larger == nullptr) {
                OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, bytes));
                ok = false;
                break;
            }
            if (made > 0) {
                std::memcpy(larger, frames, sizeof(OvFrame*) * static_cast<std::size_t>(made));
            }
            if (frames != nullptr) {
                OvFree(frames);
            }
            frames = larger;
            capacity = next;
        }
        const OvInt32 parentIndex = static_cast<OvInt32>(OvChunkGetUInt32(record + 48));
        if (parentIndex >= made) {
            // Only an earlier frame of the list can be a parent.
            OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRREAD));
            ok = false;
            break;
        }
        OvFrame* frame = OvFrameCreate();
        if (frame == nullptr) {
            ok = false;
            break;
        }
        OvMatrix* m = &frame->modelling;
        OvV3d* rows[4] = {&m->right, &m->up, &m->at, &m->pos};
        for (int r = 0; r < 4; ++r) {
            const OvUInt8* row = record + r * 12;
            *rows[r] = {OvChunkGetReal(row), OvChunkGetReal(row + 4), OvChunkGetReal(row + 8)};
        }
        const bool rigid = OvMatrixNormalError(m) <= kStreamedMatrixTolerance &&
                           OvMatrixOrthogonalError(m) <= kStreamedMatrixTolerance &&
                           OvMatrixDeterminant(m) >= kStreamedMinDeterminant;
        m->flags &= rigid ? ~ovMATRIXINTERNALIDENTITY : ~(ovMATRIXINTERNALIDENTITY | ovMATRIXTYPEORTHONORMAL);
        frames[made] = frame;
        if (parentIndex >= 0) {
            OvFrameAddChild(frames[parentIndex], frame);
        }
    }
    // Bytes of the struct chunk past the records belong to no one.
    const OvUInt32 rest = recordBytes - static_cast<OvUInt32>(count) * ovFRAMELISTRECORDSIZE;
    if (ok && rest > 0 && OvStreamSkip(stream, rest) == nullptr) {
        ok = false;
    }
    for (OvInt32 i = 0; ok && i < count; ++i) {
        if (OvPluginRegistryReadDataChunks(&gFrameRegistry, stream, frames[i]) == nullptr) {
            ok = false;
        } else if (frames[i]->root == frames[i]) {
            OvFrameMarkDirty(frames[i]);
        }
    }
    if (!ok) {
        DestroyListFrames(frames, made);
        OvFree(frames);
        return nullptr;
    }
    list->frames = frames;
    list->numFrames = count;
    return list;
}

OvFrameList* OvFrameListDestroy(OvFrameList* list) {
    if (list->numFrames != 0) {
        OvFree(list->frames);
    }
    list->frames = nullptr;
    list->numFrames = 0;
    return list;
}
