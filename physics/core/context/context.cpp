#include "physics/core/context/context.h"

#include <cstring>
#include <initializer_list>

#include "graphics/core/engine.h"
#include "physics/core/broadphase/farfield.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/core/context/pipeline.h"
#include "physics/core/utils/memory.h"

OvUInt32 OvpContextParamsGetObjectLimit(const OvpContextParams* p) {
    return p->word[ovpPARAM_OBJECTS] < ovpFARFIELDOBJECTS ? p->word[ovpPARAM_OBJECTS] : ovpFARFIELDOBJECTS;
}

OvUInt32 OvpContextParamsGetPairLimit(const OvpContextParams* p) {
    const OvUInt32 room = (ovpPAIRLINKNONE - 1 - OvpContextParamsGetObjectLimit(p)) / 2;
    return p->word[ovpPARAM_PAIRS] < room ? p->word[ovpPARAM_PAIRS] : room;
}

OvpContextParams* OvpContextParamsSetDefaults(OvpContextParams* p) {
    static const OvUInt32 kDefaults[16] = {0xFFFFFFFFu, 3, 0, 0, 0, 0, 0, 100, 100, 10, 400, 400, 1000, 100, 1000, 40};
    std::memcpy(p->word, kDefaults, sizeof(kDefaults));
    return p;
}

OvpContextParams* OvpBodyTypeReserve(OvpContextParams* p, OvUInt32 objects, OvUInt32 bodies) {
    p->word[ovpPARAM_TYPES] += 1;
    p->word[ovpPARAM_OBJECTS] += objects;
    p->word[ovpPARAM_ACTIVE] += bodies;
    p->word[ovpPARAM_BODIES] += bodies;
    p->word[ovpPARAM_PAIRS] += 5 * bodies;
    p->word[ovpPARAM_CONTACTS] += 5 * bodies;
    ovpBodyObjType.maxActive = static_cast<OvInt32>(bodies);
    return p;
}

OvpContextParams* OvpContextParamsSetMaxJoints(OvpContextParams* p, OvUInt32 n) {
    if (p->word[ovpPARAM_JOINTSLOTS] != 0) {
        p->word[ovpPARAM_JOINTS] -= p->word[ovpPARAM_JOINTSLOTS];
    }
    p->word[ovpPARAM_JOINTSLOTS] = n;
    p->word[ovpPARAM_JOINTS] += n;
    return p;
}

OvpContext* OvpContextCreate(OvpContextParams* params, float scale, const OvpBBox* box) {
    auto* context = static_cast<OvpContext*>(OvMalloc(sizeof(OvpContext), ovpMEMHINT));
    if (context == nullptr) {
        return nullptr;
    }
    if (OvpContextInit(context, params, scale, box) == nullptr) {
        OvFree(context);
        return nullptr;
    }
    return context;
}

OvpContext* OvpContextInit(OvpContext* c, OvpContextParams* params, float scale, const OvpBBox* box) {
    std::memset(c, 0, sizeof(*c));
    const OvUInt32 fixed = params->word[ovpPARAM_FIXED];
    c->capacity = fixed;
    c->typeCount = params->word[ovpPARAM_TYPES];
    c->manager = OvpMgrCreate(params, box, scale, 0);
    if (c->manager != nullptr) {
        c->pipeline = OvpPipelineCreate(c, params, scale);
    }
    if (fixed != 0) {
        c->volumes = static_cast<OvpVolume**>(OvCalloc(fixed, sizeof(OvpVolume*), ovpMEMHINT));
        c->userWords = static_cast<std::uintptr_t*>(OvCalloc(fixed, sizeof(std::uintptr_t), ovpMEMHINT));
    }
    if (c->typeCount != 0) {
        c->typeTable = static_cast<OvUInt32(*)[2]>(OvCalloc(c->typeCount, sizeof(OvUInt32[2]), ovpMEMHINT));
    }
    if (c->manager == nullptr || c->pipeline == nullptr ||
        (fixed != 0 && (c->volumes == nullptr || c->userWords == nullptr)) ||
        (c->typeCount != 0 && c->typeTable == nullptr)) {
        if (c->pipeline != nullptr) {
            OvpPipelineDestroy(c->pipeline);
        }
        if (c->manager != nullptr) {
            OvpMgrDestroy(c->manager);
        }
        for (void* p :
             {static_cast<void*>(c->volumes), static_cast<void*>(c->userWords), static_cast<void*>(c->typeTable)}) {
            if (p != nullptr) {
                OvFree(p);
            }
        }
        std::memset(c, 0, sizeof(*c));
        return nullptr;
    }
    return c;
}

OvBool OvpContextDestroy(OvpContext* c) {
    OvpPipelineDestroy(c->pipeline);
    OvpMgrDestroy(c->manager);
    for (void* p :
         {static_cast<void*>(c->volumes), static_cast<void*>(c->userWords), static_cast<void*>(c->typeTable)}) {
        if (p != nullptr) {
            OvFree(p);
        }
    }
    OvFree(c);
    return 1;
}

OvpMgr* OvpContextGetMgr(OvpContext* c) { return c->manager; }
OvpPipeline* OvpContextGetPipeline(OvpContext* c) { return c->pipeline; }

OvpContext* OvpContextAddFixedVolume(OvpContext* c, OvpVolume* volume, std::uintptr_t userWord) {
    OvUInt32 i = 0;
    while (i < c->usedCount && c->volumes[i] != nullptr) {
        ++i;
    }
    if (i == c->capacity) {
        return nullptr;
    }
    if (i == c->usedCount) {
        ++c->usedCount;
    }
    c->volumes[i] = volume;
    c->userWords[i] = userWord;
    return c;
}

OvBool OvpContextRemoveFixedVolume(OvpContext* c, OvpVolume* volume) {
    for (OvUInt32 i = 0; i < c->usedCount; ++i) {
        if (c->volumes[i] == volume) {
            c->volumes[i] = nullptr;
            if (i + 1 == c->usedCount) {
                --c->usedCount;
            }
            return 1;
        }
    }
    return 0;
}

OvpContext* OvpContextForAllFixedVolumes(OvpContext* c, OvpFixedVolumeCallback callback, void* data) {
    for (OvUInt32 i = 0; i < c->usedCount; ++i) {
        if (c->volumes[i] != nullptr && !callback(c->volumes[i], data)) {
            break;
        }
    }
    return c;
}
