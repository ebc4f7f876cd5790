#include "physics/core/context/manager.h"

#include <cstring>

#include "graphics/core/engine.h"
#include "physics/core/context/context.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/joint.h"
#include "physics/core/utils/memory.h"
#include "physics/core/volume/volume.h"

namespace {

// Capacities the manager is built with, after the limits of the far field and pair links.
struct Sizes {
    OvUInt32 objects, jointSlots, bodies, jointRecords, pairs, words;
};

Sizes SizesOf(const OvpContextParams* p) {
    Sizes s;
    s.objects = OvpContextParamsGetObjectLimit(p);
    s.pairs = OvpContextParamsGetPairLimit(p);
    s.jointSlots = p->word[3];
    s.bodies = p->word[5];
    s.jointRecords = p->word[6];
    s.words = (s.objects + 31) / 32;
    return s;
}

// Lays the manager out; returns the size. With a block, also initialises every piece.
std::size_t Carve(const Sizes& s, unsigned char* block, OvpMgr** out, const OvpBBox* box = nullptr,
                  float margin = 0.0f) {
    OvpCarver c{block};
    OvpMgr* m = c.take<OvpMgr>(1);
    OvpBodyArrays* b = c.take<OvpBodyArrays>(1);
    const OvUInt32 n = s.bodies;
    OvMatrix* matrices = c.take<OvMatrix>(n);
    auto* velocities = c.take<float[8]>(n);
    OvQuat* orientations = c.take<OvQuat>(n);
    auto* accelerations = c.take<float[8]>(n);
    auto* defWords = c.take<OvUInt32[4]>(n);
    auto* impulses = c.take<float[8]>(n);
    auto* solver = c.take<float[8]>(n);
    OvpMatrix3* mass = c.take<OvpMatrix3>(n);
    OvpMatrix3* invRoot = c.take<OvpMatrix3>(n);
    OvUInt32* flags = c.take<OvUInt32>(n);
    OvUInt32* solverWord = c.take<OvUInt32>(n);
    auto* freeAxes = c.take<float[4]>(n);
    OvUInt32* indices = c.take<OvUInt32>(n);
    unsigned char* linkArea = c.take<unsigned char>(OvpFarfieldGetSize(s.objects, s.pairs));
    OvpFarfield* ff = c.take<OvpFarfield>(1);
    OvUInt32* bitmaps[8];
    for (OvUInt32*& bm : bitmaps) {
        bm = c.take<OvUInt32>(s.words);
    }
    OvpDyn* dyns = c.take<OvpDyn>(n);
    OvpDyn** dynFree = c.take<OvpDyn*>(n);
    OvpJoint* joints = c.take<OvpJoint>(s.jointRecords);
    OvpJoint** jointFree = c.take<OvpJoint*>(s.jointRecords);
    OvUInt32* slotBits = c.take<OvUInt32>((s.jointSlots + 31) / 32);
    OvpJointLinkNode* links = c.take<OvpJointLinkNode>(2 * static_cast<std::size_t>(s.jointSlots));
    OvpJointLinkNode** heads = c.take<OvpJointLinkNode*>(s.objects);
    OvpObj** objects = c.take<OvpObj*>(s.objects);
    OvUInt16* walk = c.take<OvUInt16>(s.objects);
    OvUInt16* partners = c.take<OvUInt16>(s.objects);
    if (block == nullptr) {
        return c.used;
    }
    std::memset(block, 0, c.used);
    *b = {n,      matrices, velocities, orientations, accelerations, defWords, impulses,
          solver, mass,     invRoot,    flags,        solverWord,    freeAxes, indices};
    for (OvUInt32 i = 0; i < n; ++i) {
        OvMatrixSetIdentity(&matrices[i]);
        orientations[i] = {0.0f, 0.0f, 0.0f, 1.0f};
        dyns[i].body = i;
        dyns[i].manager = m;
        dynFree[i] = &dyns[n - 1 - i]; // popped from the top: record 0 first
    }
    for (OvUInt32 i = 0; i < s.jointRecords; ++i) {
        joints[i].manager = m;
        joints[i].id = ovpSLOTNONE;
        jointFree[i] = &joints[s.jointRecords - 1 - i];
    }
    for (OvUInt32 i = 0; i + 1 < 2 * s.jointSlots; ++i) {
        links[i].next = &links[i + 1];
    }
    m->farfield = ff;
    m->bitmapWords = s.words;
    m->bodies = b;
    m->jointSlots = s.jointSlots;
    m->jointSlotBits = s.jointSlots != 0 ? slotBits : nullptr;
    m->freeLinks = s.jointSlots != 0 ? links : nullptr;
    m->jointHeads = heads;
    m->dyns = dyns;
    m->dynFree = dynFree;
    m->dynFreeCount = m->dynTotal = n;
    m->joints = s.jointRecords != 0 ? joints : nullptr;
    m->jointFree = jointFree;
    m->jointFreeCount = m->jointTotal = s.jointRecords;
    m->maxObjects = s.objects;
    m->objects = objects;
    m->used = bitmaps[0];
    m->awake = bitmaps[1];
    m->active = bitmaps[2];
    m->dynamic = bitmaps[3];
    m->inFarfield = bitmaps[4];
    m->processed = bitmaps[5];
    m->visited = bitmaps[6];
    m->listed = bitmaps[7];
    m->walk = walk;
    m->partners = partners;
    unsigned char* cursor = linkArea;
    OvpFarfieldInit(ff, OvpPairLinksInit(&cursor, s.objects, s.pairs), s.objects, box, margin);
    *out = m;
    return c.used;
}

bool InManager(const OvpMgr* m, const OvpObj* o) {
    return o != nullptr && o->manager == m && o->slot < m->maxObjects && m->objects[o->slot] == o;
}

OvpBBox* TypeBox(OvpObj* o, OvpBBox* out) {
    return o->type != nullptr && o->type->getBoundingBox != nullptr ? o->type->getBoundingBox(o, out) : nullptr;
}

void Deactivate(OvpMgr* m, OvpObj* o) {
    if (o->type != nullptr && o->type->deactivate != nullptr) {
        o->type->deactivate(o);
    }
    OvpBitClear(m->active, o->slot);
    --m->activeCount;
}

bool IsDynamicEnd(const OvpRef& r) {
    return r.object != nullptr && r.part != ovpREFNONE && r.object->manager != nullptr;
}

OvpJointLinkNode* TakeLink(OvpMgr* m) {
    OvpJointLinkNode* node = m->freeLinks;
    if (node != nullptr) {
        m->freeLinks = node->next;
    }
    return node;
}

void GiveLink(OvpMgr* m, OvpJointLinkNode* node) {
    node->joint = nullptr;
    node->next = m->freeLinks;
    m->freeLinks = node;
}

void UnlinkFrom(OvpMgr* m, OvUInt16 slot, const OvpJoint* joint) {
    for (OvpJointLinkNode** p = &m->jointHeads[slot]; *p != nullptr; p = &(*p)->next) {
        if ((*p)->joint == joint) {
            OvpJointLinkNode* node = *p;
            *p = node->next;
            GiveLink(m, node);
            return;
        }
    }
}

OvUInt32 ClassOf(const OvpMgr* m, OvUInt32 slot) {
    const bool dyn = OvpBitTest(m->dynamic, slot), awake = OvpBitTest(m->awake, slot);
    return dyn ? (awake ? ovpCLASS_DYNAMICAWAKE : ovpCLASS_DYNAMICASLEEP)
               : (awake ? ovpCLASS_STATICAWAKE : ovpCLASS_STATICASLEEP);
}

} // namespace

OvpRef* OvpRefPairGetRef(OvpRefPair* pair, OvInt32 i) { return &pair->ref[i == 0 ? 0 : 1]; }

std::size_t OvpMgrGetSize(const OvpContextParams* params) { return Carve(SizesOf(params), nullptr, nullptr); }

OvpMgr* OvpMgrInit(void* block, const OvpContextParams* params, const OvpBBox* box, float scale, OvUInt32 options) {
    if (block == nullptr) {
        return nullptr;
    }
    OvpMgr* m = nullptr;
    Carve(SizesOf(params), static_cast<unsigned char*>(block), &m, box, 0.01f * scale);
    m->options = options;
    m->scale = scale;
    m->maxActive = params->word[4];
    return m;
}

OvpMgr* OvpMgrCreate(const OvpContextParams* params, const OvpBBox* box, float scale, OvUInt32 options) {
    return OvpMgrInit(OvpAlignedMalloc(OvpMgrGetSize(params), 16, ovpMEMHINT), params, box, scale, options);
}

OvBool OvpMgrDestroy(OvpMgr* manager) {
    // Objects still in the manager leave it first (dynamics given back, their types' active
    // counts down, joints unlinked), so that none keeps a pointer into the freed block.
    for (OvUInt32 s = 0; manager != nullptr && s < manager->maxObjects; ++s) {
        if (OvpObj* o = manager->objects[s]) {
            OvpMgrRemoveObject(manager, o);
        }
    }
    OvpAlignedFree(manager);
    return 1;
}

bool OvpMgrHoldsObject(const OvpMgr* m, const OvpObj* o) {
    for (OvUInt32 s = 0; o != nullptr && s < m->maxObjects; ++s) {
        if (m->objects[s] == o) {
            return true;
        }
    }
    return false;
}

OvpDyn* OvpMgrPopDyn(OvpMgr* m) { return m->dynFreeCount == 0 ? nullptr : m->dynFree[--m->dynFreeCount]; }
void OvpMgrPushDyn(OvpMgr* m, OvpDyn* dyn) {
    if (dyn != nullptr && m->dynFreeCount < m->dynTotal) {
        m->dynFree[m->dynFreeCount++] = dyn;
    }
}
OvpJoint* OvpMgrPopJoint(OvpMgr* m) {
    if (m->jointFreeCount == 0) {
        return nullptr;
    }
    OvpJoint* j = m->jointFree[--m->jointFreeCount];
    j->manager = m;
    j->id = ovpSLOTNONE;
    return j;
}
void OvpMgrPushJoint(OvpMgr* m, OvpJoint* joint) {
    if (joint != nullptr && m->jointFreeCount < m->jointTotal) {
        m->jointFree[m->jointFreeCount++] = joint;
    }
}
OvUInt32 OvpMgrGetFreeDynCount(const OvpMgr* m) { return m->dynFreeCount; }
OvUInt32 OvpMgrGetFreeJointCount(const OvpMgr* m) { return m->jointFreeCount; }

OvpObj* OvpObjInit(OvpObj* o, OvUInt16 partCapacity, OvUInt16 jointCapacity) {
    std::memset(o, 0, sizeof(*o));
    o->slot = ovpSLOTNONE;
    o->partCapacity = partCapacity;
    o->jointCapacity = jointCapacity;
    if (partCapacity != 0) {
        o->parts = static_cast<OvpObjPart*>(OvCalloc(partCapacity, sizeof(OvpObjPart), ovpMEMHINT));
        if (o->parts == nullptr) {
            return nullptr;
        }
    }
    if (jointCapacity != 0) {
        o->joints = static_cast<OvpJoint**>(OvCalloc(jointCapacity, sizeof(OvpJoint*), ovpMEMHINT));
        if (o->joints == nullptr) {
            OvFree(o->parts);
            o->parts = nullptr;
            return nullptr;
        }
    }
    return o;
}

OvBool OvpObjDeinit(OvpObj* o) {
    // An object still in a manager leaves it; the joints of the manager's pool that name it lose
    // that end (such a joint is never added again), and whatever binds it outside the engine
    // lets it go.
    if (OvpMgr* m = o->manager) {
        OvpMgrRemoveObject(m, o);
        for (OvUInt32 i = 0; i < m->jointTotal; ++i) {
            for (OvpRef& r : m->joints[i].ref) {
                if (m->joints[i].def != nullptr && r.object == o) {
                    r.object = nullptr;
                }
            }
        }
    }
    if (o->type != nullptr && o->type->release != nullptr) {
        o->type->release(o);
    }
    for (OvpTouch* t = o->touchHead; t != nullptr; t = t->next) {
        t->object = nullptr;
    }
    o->touchHead = nullptr;
    if (o->parts != nullptr) {
        OvFree(o->parts);
    }
    if (o->joints != nullptr) {
        OvFree(o->joints);
    }
    o->parts = nullptr;
    o->joints = nullptr;
    o->partCount = o->jointCount = 0;
    return 1;
}

OvpMgr* OvpMgrAddObject(OvpMgr* m, OvpObj* o, OvInt32 slot, OvUInt32 flags) {
    if (o->manager != nullptr) {
        return nullptr;
    }
    OvUInt32 s;
    if (slot < 0) {
        s = 0;
        while (s < m->maxObjects && OvpBitTest(m->used, s)) {
            ++s;
        }
        if (s >= m->maxObjects) {
            return nullptr;
        }
    } else {
        s = static_cast<OvUInt32>(slot);
        if (s >= m->maxObjects || OvpBitTest(m->used, s)) {
            return nullptr;
        }
    }
    OvpBitSet(m->used, s);
    o->slot = static_cast<OvUInt16>(s);
    o->manager = m;
    m->objects[s] = o;
    m->jointHeads[s] = nullptr;
    OvpBitClear(m->awake, s);
    OvpBitClear(m->dynamic, s);
    OvpBitClear(m->active, s);
    OvpBBox box;
    if (TypeBox(o, &box) != nullptr && OvpFarfieldInsert(m->farfield, s, &box) != nullptr) {
        OvpBitSet(m->inFarfield, s);
    } else {
        OvpBitClear(m->inFarfield, s);
    }
    if (flags & ovpADD_AWAKE) {
        OvpBitSet(m->awake, s);
    }
    if (flags & ovpADD_DYNAMIC) {
        OvpBitSet(m->dynamic, s);
    }
    if (flags & ovpADD_ACTIVATE) {
        OvpMgrActivateObject(m, o);
    }
    return m;
}

OvpObj* OvpMgrActivateObject(OvpMgr* m, OvpObj* o) {
    if (!InManager(m, o)) {
        return nullptr;
    }
    if (OvpBitTest(m->active, o->slot)) {
        return o;
    }
    if (m->activeCount >= m->maxActive) {
        return nullptr;
    }
    if (o->type == nullptr || o->type->activate == nullptr || o->type->activate(o) == nullptr) {
        m->failed = 1;
        return nullptr;
    }
    OvpBitSet(m->active, o->slot);
    m->failed = 0;
    ++m->activeCount;
    return o;
}

OvpMgr* OvpMgrRemoveObject(OvpMgr* m, OvpObj* o) {
    if (!InManager(m, o)) {
        return nullptr;
    }
    const OvUInt16 s = o->slot;
    if (OvpBitTest(m->active, s)) {
        Deactivate(m, o);
    }
    // Joints still linked to the object would be solved against a removed object.
    while (m->jointHeads[s] != nullptr) {
        OvpMgrRemoveJoint(m, m->jointHeads[s]->joint);
    }
    // Touch entries of the other objects no longer name it.
    for (OvUInt32 k = 0; k < m->maxObjects; ++k) {
        for (OvpTouch* t = m->objects[k] != nullptr ? m->objects[k]->touchHead : nullptr; t != nullptr; t = t->next) {
            if (t->other == o) {
                t->other = nullptr;
                t->otherPart = ovpREFNONE;
            }
        }
    }
    OvpBitClear(m->used, s);
    OvpBitClear(m->awake, s);
    OvpBitClear(m->dynamic, s);
    if (OvpBitTest(m->inFarfield, s)) {
        OvpFarfieldRemove(m->farfield, s);
        OvpBitClear(m->inFarfield, s);
    }
    m->objects[s] = nullptr;
    o->slot = ovpSLOTNONE;
    o->manager = nullptr;
    return m;
}

OvpMgr* OvpMgrSetObjectAwake(OvpMgr* m, OvpObj* o, OvBool on) {
    if (!InManager(m, o)) {
        return nullptr;
    }
    if (on) {
        OvpBitSet(m->awake, o->slot);
    } else {
        OvpBitClear(m->awake, o->slot);
    }
    return m;
}

OvpMgr* OvpMgrUpdateObjectBounds(OvpMgr* m, OvpObj* o, const OvpBBox* box) {
    if (!InManager(m, o)) {
        return nullptr;
    }
    if (OvpBitTest(m->inFarfield, o->slot)) {
        OvpFarfieldRemove(m->farfield, o->slot);
        OvpBitClear(m->inFarfield, o->slot);
    }
    if (box != nullptr && OvpFarfieldInsert(m->farfield, o->slot, box) != nullptr) {
        OvpBitSet(m->inFarfield, o->slot);
    }
    return m;
}

OvpBBox* OvpMgrGetObjectBounds(const OvpMgr* m, const OvpObj* o, OvpBBox* out) {
    if (!InManager(m, o) || !OvpBitTest(m->inFarfield, o->slot)) {
        return nullptr;
    }
    return OvpFarfieldGetBox(m->farfield, o->slot, out);
}

OvpObj* OvpObjUpdateBounds(OvpObj* o) {
    OvpBBox box;
    OvpMgrUpdateObjectBounds(o->manager, o, TypeBox(o, &box));
    return o;
}

OvpObj* OvpObjSetPartFromMatrix(OvpObj* o, OvUInt16 part) {
    if (o->manager == nullptr || !OvpBitTest(o->manager->active, o->slot) || part >= o->partCount) {
        return o;
    }
    const OvpObjPart& p = o->parts[part];
    if (p.dyn != nullptr && p.matrix != nullptr) {
        OvpDynSetFromMatrix(p.dyn, p.matrix);
    }
    return o;
}

OvpBBox* OvpObjGetPartsBox(const OvpObj* o, OvUInt16 count, OvBool dynamicOnly, OvpBBox* out) {
    bool any = false;
    for (OvUInt16 i = 0; i < count && i < o->partCapacity; ++i) {
        const OvpObjPart& p = o->parts[i];
        if (p.volume == nullptr || (dynamicOnly && p.dyn == nullptr)) {
            continue;
        }
        OvMatrix model;
        const OvMatrix* placement = p.matrix;
        if (p.dyn != nullptr) {
            placement = OvpDynGetModelMatrix(p.dyn, &model);
        }
        OvpBBox box;
        if (OvpVolumeGetBoundingBox(p.volume, placement, 1, &box) == nullptr) {
            continue;
        }
        if (any) {
            OvpMathBoxUnion(out, out, &box);
        } else {
            *out = box;
        }
        any = true;
    }
    return any ? out : nullptr;
}

OvpBBox* OvpObjGetDynamicBox(const OvpObj* o, OvpBBox* out) { return OvpObjGetPartsBox(o, o->partCount, 1, out); }

OvpMgr* OvpMgrAddJoint(OvpMgr* m, OvpJoint* joint, OvInt32 slot) {
    if (m->jointSlotBits == nullptr || joint->id != ovpSLOTNONE) {
        return nullptr;
    }
    OvUInt32 s;
    if (slot < 0) {
        s = 0;
        while (s < m->jointSlots && OvpBitTest(m->jointSlotBits, s)) {
            ++s;
        }
    } else {
        s = static_cast<OvUInt32>(slot);
        if (s < m->jointSlots && OvpBitTest(m->jointSlotBits, s)) {
            return nullptr;
        }
    }
    if (s >= m->jointSlots) {
        return nullptr;
    }
    OvpJointLinkNode* nodes[2] = {nullptr, nullptr};
    for (int e = 0; e < 2; ++e) {
        const OvpRef& r = joint->ref[e];
        if (r.part == ovpREFNONE) {
            continue;
        }
        // The end is found among the manager's objects before anything of it is read.
        if (!OvpMgrHoldsObject(m, r.object) || (nodes[e] = TakeLink(m)) == nullptr) {
            for (OvpJointLinkNode* n : nodes) {
                if (n != nullptr) {
                    GiveLink(m, n);
                }
            }
            return nullptr;
        }
    }
    OvpBitSet(m->jointSlotBits, s);
    joint->id = static_cast<OvUInt16>(s);
    for (int e = 0; e < 2; ++e) {
        if (nodes[e] != nullptr) {
            const OvUInt16 os = joint->ref[e].object->slot;
            nodes[e]->joint = joint;
            nodes[e]->next = m->jointHeads[os];
            m->jointHeads[os] = nodes[e];
        }
    }
    return m;
}

OvpMgr* OvpMgrRemoveJoint(OvpMgr* m, OvpJoint* joint) {
    if (joint == nullptr || joint->id == ovpSLOTNONE || m->jointSlotBits == nullptr) {
        return nullptr;
    }
    for (int e = 0; e < 2; ++e) {
        const OvpRef& r = joint->ref[e];
        if (r.part != ovpREFNONE && OvpMgrHoldsObject(m, r.object)) {
            UnlinkFrom(m, r.object->slot, joint);
        }
    }
    OvpBitClear(m->jointSlotBits, joint->id);
    joint->id = ovpSLOTNONE;
    return m;
}

OvpMgr* OvpMgrForAllObjects(OvpMgr* m, OvpObjCallback callback, void* data) {
    for (OvUInt32 s = 0; s < m->maxObjects; ++s) {
        OvpObj* o = m->objects[s];
        if (o != nullptr && callback(o, data) != o) {
            break;
        }
    }
    return m;
}

OvpMgr* OvpMgrForAllJoints(OvpMgr* m, OvpJointCallback callback, void* data) {
    for (OvUInt32 i = 0; i < m->jointTotal; ++i) {
        OvpJoint* j = &m->joints[i];
        if (j->manager == m && j->id != ovpSLOTNONE && m->jointSlotBits != nullptr &&
            OvpBitTest(m->jointSlotBits, j->id) && callback(j, data) != j) {
            break;
        }
    }
    return m;
}

OvUInt32 OvpMgrCollectPairs(OvpMgr* m, OvpObj* const* objects, OvUInt32 count, OvpRefPair* pairs, OvUInt32 capacity,
                            OvUInt32 classMask) {
    std::memset(m->processed, 0, m->bitmapWords * sizeof(OvUInt32));
    OvUInt32 n = 0;
    for (OvUInt32 i = 0; i < count && n < capacity; ++i) {
        OvpObj* o = objects[i];
        if (!InManager(m, o)) {
            continue;
        }
        OvpBitSet(m->processed, o->slot);
        const OvUInt32 k =
            OvpPairLinksGetPartners(m->farfield->pairLinks, o->slot, m->partners, m->processed, m->options & 1u);
        for (OvUInt32 j = 0; j < k && n < capacity; ++j) {
            const OvUInt16 p = m->partners[j];
            if (ClassOf(m, p) & classMask) {
                pairs[n++] = {{{o, ovpREFWHOLE, 0}, {m->objects[p], ovpREFWHOLE, 0}}, nullptr};
            }
        }
    }
    return n;
}

OvpMgr* OvpMgrUpdatePairs(OvpMgr* m, OvpObj** moved, OvUInt32 movedCapacity, OvUInt32* movedCount, OvpRefPair* pairs,
                          OvUInt32 pairCapacity, OvUInt32* pairCount, OvpJoint** joints, OvUInt32 jointCapacity,
                          OvUInt32* jointCount) {
    const std::size_t bytes = m->bitmapWords * sizeof(OvUInt32);
    std::memset(m->processed, 0, bytes);
    std::memset(m->listed, 0, bytes);
    std::memcpy(m->visited, m->awake, bytes);
    OvUInt32 listCount = 0, np = 0, nj = 0;
    for (OvUInt32 s = 0; s < m->maxObjects; ++s) {
        if (OvpBitTest(m->awake, s) && m->objects[s] != nullptr) {
            m->walk[listCount++] = static_cast<OvUInt16>(s);
        }
    }
    auto append = [&](OvUInt32 s) {
        if (!OvpBitTest(m->visited, s) && listCount < m->maxObjects) {
            OvpBitSet(m->visited, s);
            m->walk[listCount++] = static_cast<OvUInt16>(s);
        }
    };
    for (OvUInt32 i = 0; i < listCount; ++i) {
        const OvUInt16 s = m->walk[i];
        OvpBitSet(m->listed, s);
        if (!OvpBitTest(m->dynamic, s) && !OvpBitTest(m->awake, s)) {
            continue;
        }
        OvpObj* o = m->objects[s];
        OvpBitSet(m->processed, s);
        const OvUInt32 k =
            OvpPairLinksGetPartners(m->farfield->pairLinks, s, m->partners, m->processed, m->options & 1u);
        for (OvUInt32 j = 0; j < k; ++j) {
            const OvUInt16 p = m->partners[j];
            if (np < pairCapacity) {
                pairs[np++] = {{{o, ovpREFWHOLE, 0}, {m->objects[p], ovpREFWHOLE, 0}}, nullptr};
            }
            append(p);
        }
        for (OvpJointLinkNode* link = m->jointHeads[s]; link != nullptr; link = link->next) {
            OvpJoint* jt = link->joint;
            const bool bothDynamic = IsDynamicEnd(jt->ref[0]) && IsDynamicEnd(jt->ref[1]) &&
                                     OvpBitTest(m->dynamic, jt->ref[0].object->slot) &&
                                     OvpBitTest(m->dynamic, jt->ref[1].object->slot);
            if (bothDynamic) {
                const OvpObj* other = jt->ref[0].object == o ? jt->ref[1].object : jt->ref[0].object;
                append(other->slot);
                if (s <= other->slot && nj < jointCapacity) {
                    joints[nj++] = jt;
                }
            } else if (nj < jointCapacity) {
                joints[nj++] = jt;
            }
        }
    }
    // Objects that left the simulation: those that give their dynamics back are deactivated;
    // the others keep dynamics and active bit, so that listing them again activates nothing twice.
    for (OvUInt32 s = 0; s < m->maxObjects; ++s) {
        OvpObj* o = m->objects[s];
        if (o != nullptr && OvpBitTest(m->active, s) && !OvpBitTest(m->listed, s) && (o->flags & ovpOBJ_DROPDYNAMICS)) {
            Deactivate(m, o);
        }
    }
    for (OvUInt32 i = 0; i < listCount; ++i) {
        const OvUInt16 s = m->walk[i];
        if (OvpBitTest(m->dynamic, s) && !OvpBitTest(m->active, s) && m->activeCount < m->maxActive) {
            OvpMgrActivateObject(m, m->objects[s]);
        }
    }
    OvUInt32 nm = 0;
    for (OvUInt32 i = 0; i < listCount && nm < movedCapacity; ++i) {
        const OvUInt16 s = m->walk[i];
        if (OvpBitTest(m->active, s)) {
            moved[nm++] = m->objects[s];
        }
    }
    auto isActive = [m](const OvpObj* o) { return o != nullptr && o->manager == m && OvpBitTest(m->active, o->slot); };
    for (OvUInt32 i = 0; i < np;) {
        if (!isActive(pairs[i].ref[0].object) && !isActive(pairs[i].ref[1].object)) {
            pairs[i] = pairs[--np];
        } else {
            ++i;
        }
    }
    for (OvUInt32 i = 0; i < nj;) {
        if (!isActive(joints[i]->ref[0].object) && !isActive(joints[i]->ref[1].object)) {
            joints[i] = joints[--nj];
        } else {
            ++i;
        }
    }
    *movedCount = nm;
    *pairCount = np;
    *jointCount = nj;
    return m;
}
