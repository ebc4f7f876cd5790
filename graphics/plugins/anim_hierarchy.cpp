#include "graphics/plugins/anim_hierarchy.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"

namespace {

constexpr OvUInt32 kHintHierarchy = 0x3011E; // hierarchies live as long as their frame
constexpr OvUInt32 kHintList = 0x4011E;      // the hierarchy free list lives from open to close
constexpr OvInt32 kHierarchiesPerBlock = 128;
constexpr OvInt32 kStreamNodeBytes = 12;         // id, index, flags
constexpr OvInt32 kStreamHeadBytes = 12;         // version, node id, node count
constexpr OvInt32 kStreamHierarchyBytes = 8;     // flags, maximum interpolated key size
constexpr OvInt32 kMaxStreamKeyFrameSize = 4096; // largest interpolated key a file may ask for
// Flags a hierarchy read from a stream may carry (a sub-hierarchy is never streamed).
constexpr OvUInt32 kStreamedFlags = ~static_cast<OvUInt32>(ovANIMHIERARCHYSUBHIERARCHY);

struct PluginState {
    OvFreeList* freeList = nullptr;
    OvInt32 extOffset = -1; // offset of the frame extension
    OvLLLink hierarchies;   // every hierarchy alive, for frames that go while nodes name them
};

PluginState gHier;

OvAnimHierarchyFrameExtension* Ext(const OvFrame* frame) {
    return reinterpret_cast<OvAnimHierarchyFrameExtension*>(reinterpret_cast<OvUInt8*>(const_cast<OvFrame*>(frame)) +
                                                            gHier.extOffset);
}

void* HierOpen(void* instance, OvInt32, OvInt32) {
    OvLLLinkInitHead(&gHier.hierarchies);
    gHier.freeList = OvFreeListCreateWithSpace(static_cast<OvInt32>(sizeof(OvAnimHierarchy)), kHierarchiesPerBlock, 0,
                                               1, nullptr, kHintList);
    if (gHier.freeList == nullptr) {
        return nullptr;
    }
    // The animation plugin (opened first) starts every open with an empty scheme table.
    return OvAnimRegisterScheme(OvAnimStdKeyFrameScheme()) ? instance : nullptr;
}

void* HierClose(void* instance, OvInt32, OvInt32) {
    if (gHier.freeList != nullptr) {
        OvFreeListDestroy(gHier.freeList);
        gHier.freeList = nullptr;
    }
    OvLLLinkInitHead(&gHier.hierarchies); // the records went with the list
    return instance;
}

// Record and arrays; the interpolator is made by the caller. Null (nothing left) when memory runs out.
OvAnimHierarchy* AllocHierarchy(OvInt32 numNodes, OvUInt32 flags, OvInt32 maxInterpKeyFrameSize) {
    auto* h = static_cast<OvAnimHierarchy*>(OvFreeListEntryAlloc(gHier.freeList, kHintHierarchy));
    if (h == nullptr) {
        OvErrorReport(0, ovERRNOMEMORY);
        return nullptr;
    }
    std::memset(h, 0, sizeof(*h));
    h->flags = flags;
    h->numNodes = numNodes;
    h->parentHierarchy = h;
    h->rootParentOffset = -1;
    h->currentAnim = OvAnimInterpolatorCreate(numNodes, maxInterpKeyFrameSize);
    const auto n = static_cast<std::size_t>(numNodes);
    if (h->currentAnim != nullptr && !(flags & ovANIMHIERARCHYNOMATRICES)) {
        h->pMatrixArrayUnaligned = OvMalloc(n * sizeof(OvMatrix) + 15, kHintHierarchy);
        if (h->pMatrixArrayUnaligned != nullptr) {
            const auto address = reinterpret_cast<std::uintptr_t>(h->pMatrixArrayUnaligned);
            h->pMatrixArray = reinterpret_cast<OvMatrix*>((address + 15) & ~static_cast<std::uintptr_t>(15));
            std::memset(h->pMatrixArray, 0, n * sizeof(OvMatrix));
        }
    }
    h->pNodeInfo =
        static_cast<OvAnimHierarchyNode*>(OvCalloc(n > 0 ? n : 1, sizeof(OvAnimHierarchyNode), kHintHierarchy));
    if (h->currentAnim == nullptr || h->pNodeInfo == nullptr ||
        (!(flags & ovANIMHIERARCHYNOMATRICES) && h->pMatrixArrayUnaligned == nullptr)) {
        if (h->currentAnim != nullptr) {
            OvAnimInterpolatorDestroy(h->currentAnim);
        }
        OvFree(h->pMatrixArrayUnaligned);
        OvFree(h->pNodeInfo);
        OvFreeListEntryFree(gHier.freeList, h);
        OvErrorReport(0, ovERRNOMEMORY);
        return nullptr;
    }
    for (OvInt32 i = 0; i < numNodes; ++i) {
        h->pNodeInfo[i].nodeIndex = i;
    }
    OvLLLinkAddHead(&gHier.hierarchies, &h->inPluginList);
    return h;
}

// Every node of every live hierarchy that names the frame lets it go.
void ReleaseBoundFrame(const OvFrame* frame) {
    for (OvLLLink* l = gHier.hierarchies.next; l != &gHier.hierarchies; l = l->next) {
        const auto* h = reinterpret_cast<const OvAnimHierarchy*>(reinterpret_cast<const OvUInt8*>(l) -
                                                                 offsetof(OvAnimHierarchy, inPluginList));
        for (OvInt32 i = 0; h->pNodeInfo != nullptr && i < h->numNodes; ++i) {
            if (h->pNodeInfo[i].pFrame == frame) {
                h->pNodeInfo[i].pFrame = nullptr;
            }
        }
    }
}

// The world matrix of the frame's parent frame (identity without one), not relying on world
// matrices that are pending.
void ParentOfParentMatrix(const OvFrame* frame, OvMatrix* out) {
    OvMatrixSetIdentity(out);
    OvFrame* parent = frame != nullptr ? OvFrameGetParent(frame) : nullptr;
    if (parent == nullptr) {
        return;
    }
    if (!OvFrameIsDirty(parent)) {
        *out = *OvFrameGetWorldMatrix(parent);
        return;
    }
    *out = parent->modelling;
    for (OvFrame* f = OvFrameGetParent(parent); f != nullptr; f = OvFrameGetParent(f)) {
        OvMatrix m;
        OvMatrixMultiply(&m, out, &f->modelling);
        *out = m;
    }
}

// Puts the root of the frame's tree on the dirty-frame list for its objects only.
void QueueRoot(const OvFrame* frame) {
    if (frame == nullptr) {
        return;
    }
    OvFrame* root = OvFrameGetRoot(frame);
    if (!(root->object.privateFlags & ovFRAMEPRIVATEHIERARCHYSYNC)) {
        OvLLLinkAddHead(&OvEngineInstancePtr->dirtyFrameList, &root->inDirtyListLink);
        root->object.privateFlags |= ovFRAMEPRIVATEHIERARCHYSYNCOBJ;
    }
}

void SetFrameWorld(OvFrame* frame, const OvMatrix* world) {
    frame->ltm = *world;
    frame->object.privateFlags = static_cast<OvUInt8>((frame->object.privateFlags | ovFRAMEPRIVATESUBTREESYNCOBJ) &
                                                      ~ovFRAMEPRIVATESUBTREESYNCLTM);
}

// Frame extension callbacks.

void* ExtConstruct(void* object, OvInt32 offset, OvInt32) {
    auto* e = reinterpret_cast<OvAnimHierarchyFrameExtension*>(static_cast<OvUInt8*>(object) + offset);
    e->id = -1;
    e->bound = 0;
    e->hierarchy = nullptr;
    return object;
}

void* ExtDestruct(void* object, OvInt32 offset, OvInt32) {
    auto* frame = static_cast<OvFrame*>(object);
    auto* e = reinterpret_cast<OvAnimHierarchyFrameExtension*>(static_cast<OvUInt8*>(object) + offset);
    if (e->bound != 0) {
        ReleaseBoundFrame(frame);
        e->bound = 0;
    }
    if (OvAnimHierarchy* h = e->hierarchy) {
        for (OvInt32 i = 0; i < h->numNodes; ++i) {
            h->pNodeInfo[i].pFrame = nullptr;
        }
        if (h->parentFrame == frame) {
            OvAnimHierarchyDestroy(h);
        }
    }
    e->hierarchy = nullptr;
    e->id = -1;
    return object;
}

void* ExtCopy(void* dstObject, const void* srcObject, OvInt32 offset, OvInt32) {
    auto* d = reinterpret_cast<OvAnimHierarchyFrameExtension*>(static_cast<OvUInt8*>(dstObject) + offset);
    const auto* s =
        reinterpret_cast<const OvAnimHierarchyFrameExtension*>(static_cast<const OvUInt8*>(srcObject) + offset);
    d->id = s->id;
    const OvAnimHierarchy* h = s->hierarchy;
    if (h != nullptr && !(h->flags & ovANIMHIERARCHYSUBHIERARCHY)) {
        OvAnimHierarchy* copy =
            OvAnimHierarchyCreate(h->numNodes, nullptr, nullptr, h->flags, h->currentAnim->maxInterpKeyFrameSize);
        if (copy == nullptr) {
            return nullptr;
        }
        for (OvInt32 i = 0; i < h->numNodes; ++i) {
            copy->pNodeInfo[i].nodeID = h->pNodeInfo[i].nodeID;
            copy->pNodeInfo[i].nodeIndex = h->pNodeInfo[i].nodeIndex;
            copy->pNodeInfo[i].flags = h->pNodeInfo[i].flags;
        }
        copy->parentFrame = static_cast<OvFrame*>(dstObject);
        d->hierarchy = copy;
    }
    return dstObject;
}

OvInt32 ExtGetSize(const void* object, OvInt32 offset, OvInt32) {
    const auto* e =
        reinterpret_cast<const OvAnimHierarchyFrameExtension*>(static_cast<const OvUInt8*>(object) + offset);
    if (e->hierarchy == nullptr) {
        return e->id == -1 ? 0 : kStreamHeadBytes;
    }
    if (e->hierarchy->flags & ovANIMHIERARCHYSUBHIERARCHY) {
        return kStreamHeadBytes;
    }
    return kStreamHeadBytes + kStreamHierarchyBytes + kStreamNodeBytes * e->hierarchy->numNodes;
}

OvStream* ExtWrite(OvStream* stream, OvInt32, const void* object, OvInt32 offset, OvInt32) {
    const auto* e =
        reinterpret_cast<const OvAnimHierarchyFrameExtension*>(static_cast<const OvUInt8*>(object) + offset);
    const OvAnimHierarchy* h = e->hierarchy;
    const bool whole = h != nullptr && !(h->flags & ovANIMHIERARCHYSUBHIERARCHY);
    OvUInt8 b[kStreamHeadBytes + kStreamHierarchyBytes];
    OvChunkPutUInt32(b, ovANIMHIERARCHYSTREAMVERSION);
    OvChunkPutUInt32(b + 4, static_cast<OvUInt32>(e->id));
    OvChunkPutUInt32(b + 8, whole ? static_cast<OvUInt32>(h->numNodes) : 0);
    if (!whole) {
        return OvStreamWrite(stream, b, kStreamHeadBytes);
    }
    OvChunkPutUInt32(b + 12, h->flags);
    OvChunkPutUInt32(b + 16, static_cast<OvUInt32>(h->currentAnim->maxInterpKeyFrameSize));
    if (OvStreamWrite(stream, b, sizeof(b)) == nullptr) {
        return nullptr;
    }
    for (OvInt32 i = 0; i < h->numNodes; ++i) {
        OvUInt8 n[kStreamNodeBytes];
        OvChunkPutUInt32(n, static_cast<OvUInt32>(h->pNodeInfo[i].nodeID));
        OvChunkPutUInt32(n + 4, static_cast<OvUInt32>(h->pNodeInfo[i].nodeIndex));
        OvChunkPutUInt32(n + 8, h->pNodeInfo[i].flags);
        if (OvStreamWrite(stream, n, kStreamNodeBytes) == nullptr) {
            return nullptr;
        }
    }
    return stream;
}

OvStream* ExtRead(OvStream* stream, OvInt32 length, void* object, OvInt32 offset, OvInt32) {
    auto* frame = static_cast<OvFrame*>(object);
    auto* e = reinterpret_cast<OvAnimHierarchyFrameExtension*>(static_cast<OvUInt8*>(object) + offset);
    OvUInt8 b[kStreamHeadBytes + kStreamHierarchyBytes];
    if (length < kStreamHeadBytes || OvStreamReadStrict(stream, b, kStreamHeadBytes) == nullptr) {
        return nullptr;
    }
    if (OvChunkGetUInt32(b) != ovANIMHIERARCHYSTREAMVERSION) {
        OvErrorReport(0, ovERRBADVERSION);
        return nullptr;
    }
    const auto id = static_cast<OvInt32>(OvChunkGetUInt32(b + 4));
    const auto count = static_cast<OvInt32>(OvChunkGetUInt32(b + 8));
    if (count <= 0) {
        e->id = id;
        if (length > kStreamHeadBytes &&
            OvStreamSkip(stream, static_cast<OvUInt32>(length - kStreamHeadBytes)) == nullptr) {
            return nullptr;
        }
        return stream;
    }
    // The nodes must fit the chunk, the key size must hold a standard key and stay sane, and a
    // frame holds one hierarchy.
    if (e->hierarchy != nullptr || count > (length - kStreamHeadBytes - kStreamHierarchyBytes) / kStreamNodeBytes ||
        OvStreamReadStrict(stream, b + kStreamHeadBytes, kStreamHierarchyBytes) == nullptr) {
        OvErrorReport(0, ovERRREAD);
        return nullptr;
    }
    const OvUInt32 flags = OvChunkGetUInt32(b + 12) & kStreamedFlags;
    const auto keySize = static_cast<OvInt32>(OvChunkGetUInt32(b + 16));
    // A chunk length is only a claim: the nodes must be in the stream before their memory is
    // allocated.
    const OvUInt32 left = OvStreamGetBytesLeft(stream);
    if (left != 0xFFFFFFFFu && static_cast<std::uint64_t>(count) * kStreamNodeBytes > left) {
        OvErrorReport(0, ovERRREAD);
        return nullptr;
    }
    if (keySize < static_cast<OvInt32>(sizeof(OvAnimInterpFrame)) || keySize > kMaxStreamKeyFrameSize) {
        OvErrorReport(0, ovERRINVALIDVALUE);
        return nullptr;
    }
    // The node slots are records: a size from a file that is not a multiple of their alignment
    // is rounded up to one, so that every slot is aligned.
    constexpr OvInt32 kAlign = alignof(OvAnimInterpFrame);
    OvAnimHierarchy* h = AllocHierarchy(count, flags, (keySize + kAlign - 1) / kAlign * kAlign);
    if (h == nullptr) {
        return nullptr;
    }
    for (OvInt32 i = 0; i < count; ++i) {
        OvUInt8 n[kStreamNodeBytes];
        if (OvStreamReadStrict(stream, n, kStreamNodeBytes) == nullptr) {
            OvAnimHierarchyDestroy(h);
            return nullptr;
        }
        h->pNodeInfo[i].nodeID = static_cast<OvInt32>(OvChunkGetUInt32(n));
        h->pNodeInfo[i].nodeIndex = static_cast<OvInt32>(OvChunkGetUInt32(n + 4));
        h->pNodeInfo[i].flags = OvChunkGetUInt32(n + 8);
    }
    const OvInt32 rest = length - kStreamHeadBytes - kStreamHierarchyBytes - kStreamNodeBytes * count;
    if (rest > 0 && OvStreamSkip(stream, static_cast<OvUInt32>(rest)) == nullptr) {
        OvAnimHierarchyDestroy(h);
        return nullptr;
    }
    h->parentFrame = frame;
    e->id = id;
    e->hierarchy = h;
    return stream;
}

} // namespace

OvBool OvAnimHierarchyPluginAttach() {
    if (OvEngineRegisterPlugin(0, ovPLUGINIDANIMHIERARCHY, HierOpen, HierClose) < 0) {
        return 0;
    }
    gHier.extOffset = OvFrameRegisterPlugin(static_cast<OvInt32>(sizeof(OvAnimHierarchyFrameExtension)),
                                            ovPLUGINIDANIMHIERARCHY, ExtConstruct, ExtDestruct, ExtCopy);
    return gHier.extOffset >= 0 &&
           OvFrameRegisterPluginStream(ovPLUGINIDANIMHIERARCHY, ExtRead, ExtWrite, ExtGetSize) >= 0;
}

OvAnimHierarchy* OvAnimHierarchyCreate(OvInt32 numNodes, const OvUInt32* nodeFlags, const OvInt32* nodeIDs,
                                       OvUInt32 flags, OvInt32 maxInterpKeyFrameSize) {
    if (numNodes < 0) {
        OvErrorReport(0, ovERRINVALIDVALUE);
        return nullptr;
    }
    OvAnimHierarchy* h = AllocHierarchy(numNodes, flags, maxInterpKeyFrameSize);
    if (h == nullptr) {
        return nullptr;
    }
    for (OvInt32 i = 0; i < numNodes; ++i) {
        h->pNodeInfo[i].nodeID = nodeIDs != nullptr ? nodeIDs[i] : 0;
        h->pNodeInfo[i].flags = nodeFlags != nullptr ? nodeFlags[i] : 0;
    }
    return h;
}

OvAnimHierarchy* OvAnimHierarchyCreateFromHierarchy(const OvAnimHierarchy* hierarchy, OvUInt32 flags,
                                                    OvInt32 maxInterpKeyFrameSize) {
    OvAnimHierarchy* h = OvAnimHierarchyCreate(hierarchy->numNodes, nullptr, nullptr, flags, maxInterpKeyFrameSize);
    if (h != nullptr) {
        for (OvInt32 i = 0; i < hierarchy->numNodes; ++i) {
            h->pNodeInfo[i].nodeID = hierarchy->pNodeInfo[i].nodeID;
            h->pNodeInfo[i].nodeIndex = hierarchy->pNodeInfo[i].nodeIndex;
            h->pNodeInfo[i].flags = hierarchy->pNodeInfo[i].flags;
        }
    }
    return h;
}

OvBool OvAnimHierarchyDestroy(OvAnimHierarchy* hierarchy) {
    // The parent frame is read before the record goes back to the list, and its extension forgets
    // this hierarchy only when it holds this one (a copy may share the parent frame).
    OvFrame* parent = hierarchy->parentFrame;
    if (!(hierarchy->flags & ovANIMHIERARCHYSUBHIERARCHY)) {
        if (!(hierarchy->flags & ovANIMHIERARCHYNOMATRICES)) {
            OvFree(hierarchy->pMatrixArrayUnaligned);
        }
        OvFree(hierarchy->pNodeInfo);
    }
    hierarchy->pMatrixArray = nullptr;
    hierarchy->pMatrixArrayUnaligned = nullptr;
    hierarchy->pNodeInfo = nullptr;
    if (hierarchy->currentAnim != nullptr) {
        OvAnimInterpolatorDestroy(hierarchy->currentAnim);
    }
    OvLLLinkRemove(&hierarchy->inPluginList);
    OvFreeListEntryFree(gHier.freeList, hierarchy);
    if (parent != nullptr && Ext(parent)->hierarchy == hierarchy) {
        Ext(parent)->hierarchy = nullptr;
    }
    return 1;
}

OvAnimHierarchy* OvAnimHierarchyAttach(OvAnimHierarchy* hierarchy) {
    OvFrame* start = hierarchy->parentFrame;
    if (start == nullptr) {
        return hierarchy;
    }
    // Pre-order walk (each frame before its children, children in the frame's order) without a stack.
    OvFrame* f = start;
    while (f != nullptr) {
        const OvInt32 id = Ext(f)->id;
        for (OvInt32 i = 0; i < hierarchy->numNodes; ++i) {
            if (hierarchy->pNodeInfo[i].nodeID == id) {
                hierarchy->pNodeInfo[i].pFrame = f;
                Ext(f)->bound = 1;
            }
        }
        OvFrameMarkDirty(f);
        if (f->child != nullptr) {
            f = f->child;
            continue;
        }
        while (f != start && f->next == nullptr) {
            f = OvFrameGetParent(f);
        }
        f = f == start ? nullptr : f->next;
    }
    return hierarchy;
}

OvBool OvAnimHierarchyUpdateMatrices(OvAnimHierarchy* hierarchy) {
    const OvUInt32 flags = hierarchy->flags;
    const OvAnimInterpolator* interp = hierarchy->currentAnim;
    const bool updateModelling = (flags & ovANIMHIERARCHYUPDATEMODELLINGMATRICES) != 0;
    const bool updateWorld = (flags & ovANIMHIERARCHYUPDATELTMS) != 0;
    const bool local = (flags & ovANIMHIERARCHYLOCALSPACEMATRICES) != 0;
    OvAnimKeyFrameApplyCallBack apply =
        interp->keyFrameApplyCB != nullptr ? interp->keyFrameApplyCB : OvAnimStdKeyFrameApply;
    OvMatrix stack[ovANIMHIERARCHYSTACKDEPTH];
    OvInt32 depth = 0;
    OvMatrix parent;
    OvMatrix base; // world matrix under the hierarchy (parent of the parent frame)
    OvMatrixSetIdentity(&base);
    const bool arrays = !(flags & ovANIMHIERARCHYNOMATRICES);

    if (!arrays) {
        ParentOfParentMatrix(hierarchy->parentFrame, &parent);
    } else if ((flags & ovANIMHIERARCHYSUBHIERARCHY) && hierarchy->rootParentOffset != -1) {
        const OvAnimHierarchy* root = hierarchy->parentHierarchy;
        if (root == nullptr || root->pMatrixArray == nullptr || hierarchy->rootParentOffset < 0 ||
            hierarchy->rootParentOffset >= root->numNodes) {
            OvErrorReport(0, ovERRINVALIDVALUE);
            return 0;
        }
        parent = root->pMatrixArray[hierarchy->rootParentOffset];
        if (updateWorld && local) {
            ParentOfParentMatrix(root->parentFrame, &base);
        }
    } else if (local) {
        OvMatrixSetIdentity(&parent);
        if (updateWorld) {
            ParentOfParentMatrix(hierarchy->parentFrame, &base);
        }
    } else {
        ParentOfParentMatrix(hierarchy->parentFrame, &base);
        parent = base;
    }
    if (updateWorld) {
        QueueRoot(hierarchy->parentFrame);
    }

    for (OvInt32 i = 0; i < hierarchy->numNodes; ++i) {
        OvAnimHierarchyNode& node = hierarchy->pNodeInfo[i];
        OvMatrix localMatrix;
        apply(&localMatrix, OvAnimInterpolatorGetNodeKey(interp, i));
        OvMatrix scratch;
        OvMatrix* world = arrays ? &hierarchy->pMatrixArray[i] : &scratch;
        OvMatrixMultiply(world, &localMatrix, &parent);
        if (OvFrame* frame = node.pFrame) {
            if (updateModelling) {
                frame->modelling = localMatrix;
                if (!updateWorld) {
                    OvFrameMarkDirty(frame);
                }
            }
            if (updateWorld) {
                if (arrays && local) {
                    OvMatrix w;
                    OvMatrixMultiply(&w, world, &base);
                    SetFrameWorld(frame, &w);
                } else {
                    SetFrameWorld(frame, world);
                }
            }
        }
        switch (node.flags & 3u) {
        case 0:
            parent = *world;
            break;
        case ovANIMHIERARCHYPOPPARENTMATRIX:
            if (depth == 0) {
                // The last node of a tree pops with nothing pushed; the result is never used.
                if (i == hierarchy->numNodes - 1) {
                    break;
                }
                OvErrorReport(0, ovERRINVALIDVALUE);
                return 0;
            }
            parent = stack[--depth];
            break;
        case ovANIMHIERARCHYPUSHPARENTMATRIX:
            if (depth == ovANIMHIERARCHYSTACKDEPTH) {
                OvErrorReport(0, ovERRINVALIDVALUE);
                return 0;
            }
            stack[depth++] = parent;
            parent = *world;
            break;
        default:
            break;
        }
    }
    return 1;
}

OvBool OvFrameSetAnimHierarchy(OvFrame* frame, OvAnimHierarchy* hierarchy) {
    Ext(frame)->hierarchy = hierarchy;
    if (hierarchy != nullptr) {
        hierarchy->parentFrame = frame;
    }
    return 1;
}

OvAnimHierarchy* OvFrameGetAnimHierarchy(const OvFrame* frame) { return Ext(frame)->hierarchy; }

OvBool OvFrameSetAnimHierarchyNodeID(OvFrame* frame, OvInt32 id) {
    Ext(frame)->id = id;
    return 1;
}

OvInt32 OvFrameGetAnimHierarchyNodeID(const OvFrame* frame) { return Ext(frame)->id; }
