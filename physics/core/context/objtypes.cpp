#include "physics/core/context/objtypes.h"

#include <cstring>

#include "graphics/core/engine.h"
#include "physics/core/context/joint.h"
#include "physics/core/utils/memory.h"
#include "physics/core/volume/volume.h"

namespace {

OvpObj* BodyActivate(OvpObj* o);
void BodyDeactivate(OvpObj* o);
OvpBBox* BodyBox(OvpObj* o, OvpBBox* out);
void BodySync(OvpObj* o);
OvpObj* MultiActivate(OvpObj* o);
void MultiDeactivate(OvpObj* o);
OvpBBox* MultiBox(OvpObj* o, OvpBBox* out);
void MultiSync(OvpObj* o);

bool Limited(const OvpObjType* t) { return t->maxActive >= 0 && t->activeCount >= t->maxActive; }

// The bound matrix of a part from its dynamics (the body matrix moved back to the model origin).
void SyncPart(OvpObjPart& part) {
    if (part.dyn != nullptr && part.matrix != nullptr) {
        OvpDynGetModelMatrix(part.dyn, part.matrix);
        part.matrix->flags = 3;
        OvMatrixUpdate(part.matrix);
    }
}

OvpObj* BodyActivate(OvpObj* o) {
    OvpObjType* t = o->type;
    if (Limited(t)) {
        return nullptr;
    }
    auto* def = static_cast<OvpBodyDef*>(o->def);
    OvpObjPart& part = o->parts[0];
    part.dyn = OvpDynCreate(o->manager, &def->dynDef, part.matrix);
    t->failed = 0;
    if (part.dyn == nullptr) {
        return nullptr;
    }
    ++t->activeCount;
    return o;
}

void BodyDeactivate(OvpObj* o) {
    OvpObjPart& part = o->parts[0];
    if (part.dyn != nullptr) {
        OvpDynDestroy(part.dyn);
        part.dyn = nullptr;
        --o->type->activeCount;
    }
}

OvpBBox* BodyBox(OvpObj* o, OvpBBox* out) { return OvpObjGetPartsBox(o, 1, 0, out); }

void BodySync(OvpObj* o) { SyncPart(o->parts[0]); }

OvpMultiObj* Multi(OvpObj* o) { return reinterpret_cast<OvpMultiObj*>(o); }

OvMatrix Inverse(const OvMatrix& m) {
    OvMatrix out;
    OvMatrixInvert(&out, &m);
    return out;
}

OvpObj* MultiActivate(OvpObj* o) {
    OvpObjType* t = o->type;
    auto* def = static_cast<OvpMultiDef*>(o->def);
    OvpMgr* m = o->manager;
    if (Limited(t) || OvpMgrGetFreeDynCount(m) < def->partCount || OvpMgrGetFreeJointCount(m) < def->jointCount ||
        def->partCount > o->partCapacity || def->jointCount > o->jointCapacity) {
        return nullptr;
    }
    ++t->activeCount;
    t->failed = 0;
    for (OvUInt16 i = 0; i < def->partCount; ++i) {
        o->parts[i].dyn = OvpDynCreate(m, &def->dynDefs[i], o->parts[i].matrix);
    }
    o->partCount = def->partCount;
    for (OvUInt16 j = 0; j < def->jointCount; ++j) {
        const OvpRef a = {o, def->jointEnds[j][0], 0}, b = {o, def->jointEnds[j][1], 0};
        o->joints[j] = OvpJointCreate(m, def->jointDefs[j], &a, &b);
    }
    o->jointCount = def->jointCount;
    OvpMultiObj* mo = Multi(o);
    if ((o->flags & ovpOBJ_HIERARCHY) && def->parents != nullptr) {
        for (OvUInt32 e = 0; e < def->entryCount; ++e) {
            const OvUInt32 parent = def->parents[e];
            if (parent < def->entryCount) {
                const OvMatrix inv = Inverse(mo->absolute[parent]);
                OvpMathMatrixMultiply(&mo->relative[e], &mo->absolute[e], &inv);
            }
        }
    }
    return o;
}

void MultiDeactivate(OvpObj* o) {
    auto* def = static_cast<OvpMultiDef*>(o->def);
    for (OvUInt16 i = 0; i < def->partCount && i < o->partCapacity; ++i) {
        if (o->parts[i].dyn != nullptr) {
            OvpDynDestroy(o->parts[i].dyn);
            o->parts[i].dyn = nullptr;
        }
    }
    for (OvUInt16 j = 0; j < def->jointCount && j < o->jointCapacity; ++j) {
        if (o->joints[j] != nullptr) {
            OvpJointDestroy(o->joints[j]);
            o->joints[j] = nullptr;
        }
    }
    o->jointCount = 0;
    --o->type->activeCount;
}

OvpBBox* MultiBox(OvpObj* o, OvpBBox* out) {
    return OvpObjGetPartsBox(o, static_cast<OvpMultiDef*>(o->def)->partCount, 0, out);
}

void MultiSync(OvpObj* o) {
    for (OvUInt16 i = 0; i < o->partCount; ++i) {
        SyncPart(o->parts[i]);
    }
    auto* def = static_cast<OvpMultiDef*>(o->def);
    OvpMultiObj* mo = Multi(o);
    if (!(o->flags & ovpOBJ_HIERARCHY) || def->parents == nullptr) {
        return;
    }
    for (OvUInt32 e = 0; e < def->entryCount; ++e) {
        const OvUInt32 parent = def->parents[e];
        // Entries driven by a simulated part keep what the part wrote.
        if (parent < def->entryCount && def->entryPart[e] == 0xFFFF) {
            OvpMathMatrixMultiply(&mo->absolute[e], &mo->relative[e], &mo->absolute[parent]);
        }
    }
}

const OvpObjType kInitial[3] = {
    {0, "ovpOBJTYPEBODY", 0, 0, BodyActivate, BodyDeactivate, BodyBox, BodySync, 0, nullptr},
    {1, "ovpOBJTYPERAGDOLL", -1, 0, MultiActivate, MultiDeactivate, MultiBox, MultiSync, 0, nullptr},
    {2, "ovpOBJTYPEGENERIC", -1, 0, MultiActivate, MultiDeactivate, MultiBox, MultiSync, 0, nullptr},
};

void FreeIf(void* p) {
    if (p != nullptr) {
        OvFree(p);
    }
}

} // namespace

OvpObjType ovpBodyObjType = kInitial[0];
OvpObjType ovpRagdollObjType = kInitial[1];
OvpObjType ovpGenericObjType = kInitial[2];

void OvpObjTypesReset() {
    ovpBodyObjType = kInitial[0];
    ovpRagdollObjType = kInitial[1];
    ovpGenericObjType = kInitial[2];
}

OvpBodyDef* OvpBodyDefCreate() {
    auto* def = static_cast<OvpBodyDef*>(OvMalloc(sizeof(OvpBodyDef), ovpMEMHINT));
    if (def == nullptr) {
        return nullptr;
    }
    def->refCount = 1;
    def->volume = static_cast<OvpVolume*>(OvpAlignedMalloc(sizeof(OvpVolume), 16, ovpMEMHINT));
    if (def->volume == nullptr) {
        OvFree(def);
        return nullptr;
    }
    OvpDynDefInit(&def->dynDef, def->volume);
    def->dynDef.bodyWords[0] = def->dynDef.bodyWords[1] = def->dynDef.bodyWords[2] = 0;
    OvpNullInit(def->volume);
    return def;
}

OvBool OvpBodyDefRelease(OvpBodyDef* def) {
    if (def != nullptr && --def->refCount == 0) {
        OvpDynDefRelease(&def->dynDef);
        OvpAlignedFree(def->volume);
        OvFree(def);
    }
    return 1;
}

OvpObj* OvpBodyObjCreate(OvpBodyDef* def) {
    auto* o = static_cast<OvpObj*>(OvMalloc(sizeof(OvpObj), ovpMEMHINT));
    if (o == nullptr) {
        return nullptr;
    }
    if (OvpObjInit(o, 1, 0) == nullptr) {
        OvFree(o);
        return nullptr;
    }
    o->type = &ovpBodyObjType;
    ++def->refCount;
    o->def = def;
    o->partCount = 1;
    o->parts[0] = {def->volume, nullptr, nullptr};
    o->flags = ovpOBJ_MAYSLEEP | ovpOBJ_DROPDYNAMICS | ovpOBJ_SWEPTFAST;
    o->user = nullptr;
    return o;
}

OvBool OvpBodyObjDestroy(OvpObj* o) {
    OvpObjDeinit(o); // leaves the manager and lets the bound atomic go
    OvpBodyDefRelease(static_cast<OvpBodyDef*>(o->def));
    OvFree(o);
    return 1;
}

OvpObj* OvpBodyObjUpdateBounds(OvpObj* o) {
    OvpBBox box;
    OvpMgrUpdateObjectBounds(o->manager, o, BodyBox(o, &box));
    return o;
}

OvpObj* OvpBodyObjSyncFrame(OvpObj* o) {
    BodySync(o);
    return o;
}

OvpMultiDef* OvpMultiDefCreate(OvUInt16 parts, OvUInt16 joints, OvUInt32 entries) {
    auto* def = static_cast<OvpMultiDef*>(OvCalloc(1, sizeof(OvpMultiDef), ovpMEMHINT));
    if (def == nullptr) {
        return nullptr;
    }
    def->refCount = 1;
    def->dynDefCount = def->partCount = parts;
    def->jointCount = joints;
    def->entryCount = entries;
    bool ok = true;
    if (parts != 0) {
        def->volumes = static_cast<OvpVolume*>(OvpAlignedMalloc(sizeof(OvpVolume) * parts, 16, ovpMEMHINT));
        def->dynDefs = static_cast<OvpDynDef*>(OvCalloc(parts, sizeof(OvpDynDef), ovpMEMHINT));
        ok = def->volumes != nullptr && def->dynDefs != nullptr;
    }
    if (joints != 0) {
        def->jointDefs = static_cast<OvpJointDef**>(OvCalloc(joints, sizeof(OvpJointDef*), ovpMEMHINT));
        def->jointEnds = static_cast<OvUInt16(*)[2]>(OvCalloc(joints, sizeof(OvUInt16[2]), ovpMEMHINT));
        ok = ok && def->jointDefs != nullptr && def->jointEnds != nullptr;
    }
    if (entries != 0) {
        def->entryPart = static_cast<OvUInt16*>(OvCalloc(entries, sizeof(OvUInt16), ovpMEMHINT));
        def->entryFlags = static_cast<OvUInt32*>(OvCalloc(entries, sizeof(OvUInt32), ovpMEMHINT));
        def->parents = static_cast<OvUInt32*>(OvCalloc(entries, sizeof(OvUInt32), ovpMEMHINT));
        ok = ok && def->entryPart != nullptr && def->entryFlags != nullptr && def->parents != nullptr;
    }
    if (ok) {
        for (OvUInt16 i = 0; i < parts; ++i) {
            OvpNullInit(&def->volumes[i]);
            OvpDynDefInit(&def->dynDefs[i], &def->volumes[i]);
        }
        for (OvUInt32 e = 0; e < entries; ++e) {
            def->entryPart[e] = 0xFFFF;
            def->parents[e] = 0xFFFFFFFFu;
        }
    } else {
        def->partCount = def->dynDefCount = 0;
        def->jointCount = 0;
        OvpRagdollDefDeinit(def);
        return nullptr;
    }
    return def;
}

OvBool OvpRagdollDefRelease(OvpMultiDef* def) { return OvpRagdollDefDeinit(def); }

OvBool OvpRagdollDefDeinit(OvpMultiDef* def) {
    if (def == nullptr || --def->refCount != 0) {
        return 1;
    }
    for (OvUInt16 i = 0; i < def->dynDefCount && def->dynDefs != nullptr; ++i) {
        OvpDynDefRelease(&def->dynDefs[i]);
    }
    for (OvUInt16 j = 0; j < def->jointCount && def->jointDefs != nullptr; ++j) {
        if (def->jointDefs[j] != nullptr) {
            OvpJointDefRelease(def->jointDefs[j]);
        }
    }
    OvpAlignedFree(def->volumes);
    FreeIf(def->dynDefs);
    FreeIf(def->jointDefs);
    FreeIf(def->jointEnds);
    FreeIf(def->entryPart);
    FreeIf(def->entryFlags);
    FreeIf(def->parents);
    if (def->animation != nullptr && def->animationDestroy != nullptr) {
        def->animationDestroy(def->animation);
    }
    OvFree(def);
    return 1;
}

OvpMultiObj* OvpMultiObjCreate(OvpObjType* type, OvpMultiDef* def, OvUInt32 flags) {
    auto* mo = static_cast<OvpMultiObj*>(OvCalloc(1, sizeof(OvpMultiObj), ovpMEMHINT));
    if (mo == nullptr) {
        return nullptr;
    }
    if (OvpObjInit(&mo->obj, def->partCount, def->jointCount) == nullptr) {
        OvFree(mo);
        return nullptr;
    }
    if (def->entryCount != 0) {
        mo->relative = static_cast<OvMatrix*>(OvCalloc(def->entryCount, sizeof(OvMatrix), ovpMEMHINT));
        mo->absolute = static_cast<OvMatrix*>(OvCalloc(def->entryCount, sizeof(OvMatrix), ovpMEMHINT));
        if (mo->relative == nullptr || mo->absolute == nullptr) {
            FreeIf(mo->relative);
            FreeIf(mo->absolute);
            OvpObjDeinit(&mo->obj);
            OvFree(mo);
            return nullptr;
        }
        for (OvUInt32 e = 0; e < def->entryCount; ++e) {
            OvMatrixSetIdentity(&mo->relative[e]);
            OvMatrixSetIdentity(&mo->absolute[e]);
        }
    }
    OvpObj* o = &mo->obj;
    o->type = type;
    o->def = def;
    ++def->refCount;
    o->flags = flags;
    o->partCount = def->partCount;
    for (OvUInt16 i = 0; i < def->partCount; ++i) {
        o->parts[i].volume = &def->volumes[i];
    }
    for (OvUInt32 e = 0; e < def->entryCount; ++e) {
        if (def->entryPart[e] < def->partCount) {
            o->parts[def->entryPart[e]].matrix = &mo->absolute[e];
        }
    }
    return mo;
}

OvBool OvpRagdollObjDestroy(OvpMultiObj* mo) {
    OvpObj* o = &mo->obj;
    OvpObjDeinit(o); // leaves the manager first
    FreeIf(mo->extra);
    FreeIf(mo->relative);
    FreeIf(mo->absolute);
    OvpRagdollDefDeinit(static_cast<OvpMultiDef*>(o->def));
    OvFree(mo);
    return 1;
}
