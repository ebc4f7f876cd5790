// Light gathering for the generated vertex shaders: the lights that reach an object, in object
// space, in the register order the shader text reads.

#include <cstddef>
#include <vector>

#include "graphics/core/engine.h"
#include "graphics/core/frame.h"
#include "graphics/core/vector.h"
#include "graphics/world/clump.h"
#include "graphics/world/d3d9_pipeline.h"
#include "graphics/world/d3d9_vertex_shader.h"
#include "graphics/world/geometry.h"
#include "graphics/world/light.h"
#include "graphics/world/world.h"
#include "graphics/world/world_membership.h"

namespace {

constexpr OvUInt32 kMaxPerKind = 15;

OvD3D9ShaderLight Record(OvLight* light, const OvMatrix* ltm) {
    OvD3D9ShaderLight r{};
    OvD3D9WorldToObjectDirection(&r.direction, &ltm->at);
    // A scaled object's inverse lengthens (or shortens) the direction by the inverse scale, and
    // the shaders light with unit normals: the direction goes in at unit length, so that a model
    // drawn at another scale is lit as brightly.
    const float length = OvV3dLength(&r.direction);
    if (length > 0.0f)
        OvV3dScale(&r.direction, &r.direction, 1.0f / length);
    OvD3D9WorldToObjectPoint(&r.position, &ltm->pos);
    r.radius = OvD3D9WorldToObjectRadius(light->radius);
    r.cosCone = -light->minusCosAngle;
    r.hardEdge = OvLightGetType(light) == ovLIGHTSPOT;
    r.color[0] = light->color.red;
    r.color[1] = light->color.green;
    r.color[2] = light->color.blue;
    return r;
}

} // namespace

OvD3D9ShaderConstant* OvD3D9VertexShaderGatherLightList(const OvD3D9ShaderLitObject* object, OvLight* const* globals,
                                                        OvUInt32 numGlobals, OvLight* const* locals, OvUInt32 numLocals,
                                                        OvD3D9ShaderConstant* block, OvD3D9VertexShaderDesc* desc) {
    desc->lights = 0;
    desc->spotsSets &= 0xF0;
    float ambient[4] = {0, 0, 0, object->prelit ? 0.0f : 1.0f};
    if (!object->lit) {
        *block = {ambient[0], ambient[1], ambient[2], ambient[3]};
        return block + 1;
    }
    const bool atomic = object->type == 1;
    const OvUInt8 flag = atomic ? ovLIGHTLIGHTATOMICS : ovLIGHTLIGHTWORLD;
    OvD3D9ShaderLight directional[kMaxPerKind], point[kMaxPerKind], spot[kMaxPerKind];
    OvUInt32 nd = 0, np = 0, ns = 0;
    for (OvUInt32 i = 0; i < numGlobals; ++i) {
        OvLight* light = globals[i];
        if (!(light->object.object.flags & flag))
            continue;
        if (OvLightGetType(light) == ovLIGHTAMBIENT) {
            ambient[0] += light->color.red;
            ambient[1] += light->color.green;
            ambient[2] += light->color.blue;
        } else if (OvLightGetType(light) == ovLIGHTDIRECTIONAL && nd < kMaxPerKind && (!atomic || object->normals)) {
            OvFrame* frame = OvLightGetFrame(light);
            if (frame != nullptr)
                directional[nd++] = Record(light, OvFrameGetWorldMatrix(frame));
        }
    }
    if (!atomic || object->normals) {
        const OvUInt16 stamp = ++OvEngineInstancePtr->lightFrame;
        for (OvUInt32 i = 0; i < numLocals; ++i) {
            OvLight* light = locals[i];
            if (!(light->object.object.flags & flag) || light->lightFrame == stamp)
                continue;
            light->lightFrame = stamp;
            OvFrame* frame = OvLightGetFrame(light);
            if (frame == nullptr)
                continue;
            const OvMatrix* ltm = OvFrameGetWorldMatrix(frame);
            if (atomic) {
                const OvSphere& s = object->worldSphere;
                const float dx = ltm->pos.x - s.center.x, dy = ltm->pos.y - s.center.y, dz = ltm->pos.z - s.center.z;
                const float reach = light->radius + s.radius;
                if (!(dx * dx + dy * dy + dz * dz < reach * reach))
                    continue;
            }
            const OvUInt8 type = OvLightGetType(light);
            if (type == ovLIGHTPOINT && np < kMaxPerKind)
                point[np++] = Record(light, ltm);
            else if ((type == ovLIGHTSPOT || type == ovLIGHTSPOTSOFT) && ns < kMaxPerKind)
                spot[ns++] = Record(light, ltm);
        }
    }
    desc->lights = static_cast<OvUInt8>(nd | np << 4);
    desc->spotsSets = static_cast<OvUInt8>((desc->spotsSets & 0xF0) | ns);
    return OvD3D9VertexShaderWriteLights(block, ambient, directional, nd, point, np, spot, ns);
}

namespace {

// Reused between calls: the lights an object is offered.
std::vector<OvLight*> gGlobals;
std::vector<OvLight*> gLocals;

OvLight* LightOfWorldLink(OvLLLink* link) {
    return reinterpret_cast<OvLight*>(reinterpret_cast<char*>(link) - offsetof(OvLight, inWorld));
}

void AddSectorLights(OvWorldSector* sector) {
    for (OvLLLink* l = sector->lightTies.next; l != &sector->lightTies; l = l->next)
        gLocals.push_back(static_cast<OvLight*>(OvSectorTieFromSectorLink(l)->object));
}

} // namespace

OvD3D9ShaderConstant* OvD3D9VertexShaderGatherLights(void* object, OvUInt8 type, OvD3D9ShaderConstant* block,
                                                     OvD3D9VertexShaderDesc* desc) {
    auto* world = OvEngineInstancePtr != nullptr ? static_cast<OvWorld*>(OvEngineInstancePtr->curWorld) : nullptr;
    OvD3D9ShaderLitObject lit{};
    lit.type = type == ovD3D9OBJECTATOMIC ? 1 : 0;
    gGlobals.clear();
    gLocals.clear();
    if (type == ovD3D9OBJECTATOMIC) {
        auto* atomic = static_cast<OvAtomic*>(object);
        const OvUInt32 flags = atomic->geometry != nullptr ? atomic->geometry->flags : 0;
        lit.lit = (flags & ovGEOMETRYLIGHT) != 0 && world != nullptr;
        lit.prelit = (flags & ovGEOMETRYPRELIT) != 0;
        lit.normals = (flags & ovGEOMETRYNORMALS) != 0;
        lit.worldSphere = *OvAtomicGetWorldBoundingSphere(atomic);
        if (lit.lit && lit.normals)
            for (OvLLLink* t = atomic->sectorTies.next; t != &atomic->sectorTies; t = t->next)
                AddSectorLights(OvSectorTieFromObjectLink(t)->sector);
    } else {
        const OvUInt32 flags = world != nullptr ? world->flags : 0;
        lit.lit = (flags & ovGEOMETRYLIGHT) != 0;
        lit.prelit = (flags & ovGEOMETRYPRELIT) != 0;
        lit.normals = (flags & ovGEOMETRYNORMALS) != 0;
        if (lit.lit)
            AddSectorLights(static_cast<OvWorldSector*>(object));
    }
    if (lit.lit)
        for (OvLLLink* l = world->globalLights.next; l != &world->globalLights; l = l->next)
            gGlobals.push_back(LightOfWorldLink(l));
    return OvD3D9VertexShaderGatherLightList(&lit, gGlobals.data(), static_cast<OvUInt32>(gGlobals.size()),
                                             gLocals.data(), static_cast<OvUInt32>(gLocals.size()), block, desc);
}
