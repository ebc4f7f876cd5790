// The atomic and world-sector pipelines on Direct3D 9: the all-in-one nodes (instance, light,
// draw), the hardware lights made from the world's light objects, the fixed-function render
// callback with its lighting modes and material colours, and the default pipelines.

#include <algorithm>
#include <cstring>

#include "graphics/core/d3d9/camera.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/device_cache.h"
#include "graphics/core/d3d9/raster.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/pipeline.h"
#include "graphics/world/clump.h"
#include "graphics/world/d3d9/lights.h"
#include "graphics/world/d3d9/vertex_writers.h"
#include "graphics/world/d3d9_pipeline.h"
#include "graphics/world/d3d9_vertex_shader.h"
#include "graphics/world/geometry.h"
#include "graphics/world/light.h"
#include "graphics/world/material.h"
#include "graphics/world/mesh.h"
#include "graphics/world/world.h"
#include "graphics/world/world_membership.h"
#include "graphics/world/world_plugin.h"

namespace {

// ---- Light extension -----------------------------------------------------------------------

// The light extension (0x505): the light's device index and its attenuation factors.
struct OvD3D9LightExt {
    OvInt32 index; // device light index, -1 while none
    OvD3D9LightAttenuation attenuation;
};
static_assert(sizeof(OvD3D9LightExt) == 16);
OvInt32 gLightExtOffset = -1;

OvD3D9LightExt* Ext(OvLight* light) {
    return reinterpret_cast<OvD3D9LightExt*>(reinterpret_cast<char*>(light) + gLightExtOffset);
}

void* LightExtConstruct(void* object, OvInt32 offset, OvInt32) {
    auto* ext = reinterpret_cast<OvD3D9LightExt*>(static_cast<char*>(object) + offset);
    *ext = {-1, {1.0f, 0.0f, 5.0f}};
    return object;
}
void* LightExtDestruct(void* object, OvInt32 offset, OvInt32) {
    auto* ext = reinterpret_cast<OvD3D9LightExt*>(static_cast<char*>(object) + offset);
    if (ext->index >= 0) {
        OvD3D9LightIndexRelease(ext->index);
        ext->index = -1;
    }
    return object;
}
void* LightExtCopy(void* dst, const void* src, OvInt32 offset, OvInt32) {
    // A copy takes its own device index when first used: two lights holding one index would
    // both give it back, and the numbering would later hand it to two lights.
    const auto* from = reinterpret_cast<const OvD3D9LightExt*>(static_cast<const char*>(src) + offset);
    auto* to = reinterpret_cast<OvD3D9LightExt*>(static_cast<char*>(dst) + offset);
    *to = {-1, from->attenuation};
    return dst;
}

OvInt32 IndexOf(OvLight* light) {
    OvD3D9LightExt* ext = Ext(light);
    if (ext->index < 0) {
        ext->index = OvD3D9LightIndexAcquire();
    }
    return ext->index;
}

const OvMatrix* LightMatrix(OvLight* light) {
    OvFrame* frame = OvLightGetFrame(light);
    return frame != nullptr ? OvFrameGetWorldMatrix(frame) : nullptr;
}

OvLight* LightOfWorldLink(OvLLLink* link) {
    return reinterpret_cast<OvLight*>(reinterpret_cast<char*>(link) - offsetof(OvLight, inWorld));
}

// ---- Node private blocks ---------------------------------------------------------------------

OvD3D9AllInOneNodeCallbacks* Callbacks(OvPipelineNode* node) {
    return static_cast<OvD3D9AllInOneNodeCallbacks*>(node->privateData);
}

OvBool AtomicNodeInit(OvPipelineNode* node) {
    *Callbacks(node) = {OvD3D9AtomicAllInOneInstance, OvD3D9AtomicAllInOneReinstance,
                        OvD3D9AtomicDefaultLightingCallback, OvD3D9DefaultRenderCallback};
    return TRUE;
}
OvBool SectorNodeInit(OvPipelineNode* node) {
    *Callbacks(node) = {OvD3D9WorldSectorAllInOneInstance, nullptr, OvD3D9WorldSectorDefaultLightingCallback,
                        OvD3D9DefaultRenderCallback};
    return TRUE;
}

bool AxisOutsideUnit(const OvV3d& v) {
    const float l = v.x * v.x + v.y * v.y + v.z * v.z;
    return l < 0.9f || l > 1.1f;
}

OvBool AtomicBody(OvPipelineNode* node, const OvPipelineExecuteParams* params) {
    auto* atomic = static_cast<OvAtomic*>(params->data);
    OvGeometry* g = atomic->geometry;
    // Nothing to draw: no geometry, no vertices or no meshes, or no device to draw on.
    if (g == nullptr || g->numVertices < 1 || g->mesh == nullptr || g->mesh->numMeshes == 0 ||
        OvD3D9GetDevice() == nullptr) {
        return TRUE;
    }
    OvD3D9AllInOneNodeCallbacks* cb = Callbacks(node);
    OvResourceEntry* entry = nullptr;
    const bool instanceOnly = (g->flags & ovGEOMETRYNATIVEINSTANCE) != 0;
    if ((g->flags & ovGEOMETRYNATIVE) == 0) {
        const bool shared = g->numMorphTargets == 1;
        OvResourceEntry** ref = shared ? &g->repEntry : &atomic->repEntry;
        void* owner = shared ? static_cast<void*>(g) : static_cast<void*>(atomic);
        entry = *ref;
        if (entry != nullptr) {
            auto* data = OvD3D9InstancedDataFromEntry(entry);
            if (data->serialNumber == g->mesh->serialNum) {
                if ((g->lockedSinceLastInst != 0 || g->numMorphTargets > 1) && cb->reinstance != nullptr) {
                    if (!cb->reinstance(atomic, entry, cb->instance)) {
                        OvResourcesFreeEntry(entry);
                        return FALSE;
                    }
                }
                g->lockedSinceLastInst = 0;
                OvResourcesUseEntry(entry);
            } else {
                OvResourcesFreeEntry(entry);
                entry = nullptr;
            }
        }
        if (entry == nullptr) {
            entry = OvD3D9InstancedDataCreate(atomic, owner, ovD3D9OBJECTATOMIC, ref, g->mesh, cb->instance,
                                              instanceOnly ? TRUE : FALSE);
            if (entry == nullptr) {
                return FALSE;
            }
            g->lockedSinceLastInst = 0;
        }
    } else {
        entry = g->repEntry;
        if (entry == nullptr) {
            return FALSE; // native geometry without its data
        }
    }
    if (instanceOnly) {
        return TRUE;
    }
    cb->lighting(atomic);
    OvFrame* frame = OvAtomicGetFrame(atomic);
    const OvMatrix* ltm = frame != nullptr ? OvFrameGetWorldMatrix(frame) : nullptr;
    OvD3D9SetTransformWorld(ltm);
    // Scaled matrices need their normals renormalised: not when flagged as the identity or as
    // having unit axes, otherwise when some axis's squared length lies outside [0.9, 1.1].
    bool normalize = false;
    if (OvD3D9GetRenderState(D3DRS_LIGHTING) != 0 && ltm != nullptr &&
        (ltm->flags & (ovMATRIXINTERNALIDENTITY | ovMATRIXTYPENORMAL)) == 0) {
        normalize = AxisOutsideUnit(ltm->right) || AxisOutsideUnit(ltm->up) || AxisOutsideUnit(ltm->at);
    }
    OvD3D9SetRenderState(D3DRS_NORMALIZENORMALS, normalize ? TRUE : FALSE);
    cb->render(entry, atomic, ovD3D9OBJECTATOMIC, g->flags);
    return TRUE;
}

OvBool SectorBody(OvPipelineNode* node, const OvPipelineExecuteParams* params) {
    auto* sector = static_cast<OvWorldSector*>(params->data);
    if (sector->numVertices == 0 || sector->mesh == nullptr || sector->mesh->numMeshes == 0 ||
        OvD3D9GetDevice() == nullptr) {
        return TRUE;
    }
    OvWorld* world = static_cast<OvWorld*>(OvEngineInstancePtr->curWorld);
    if (world == nullptr) {
        world = OvWorldSectorGetWorld(sector);
    }
    const OvUInt32 flags = world != nullptr ? world->flags : 0;
    OvD3D9AllInOneNodeCallbacks* cb = Callbacks(node);
    OvResourceEntry* entry = sector->repEntry;
    if ((flags & ovGEOMETRYNATIVE) == 0) {
        if (entry != nullptr && OvD3D9InstancedDataFromEntry(entry)->serialNumber != sector->mesh->serialNum) {
            OvResourcesFreeEntry(entry);
            entry = nullptr;
        }
        if (entry != nullptr) {
            OvResourcesUseEntry(entry);
        } else {
            entry = OvD3D9InstancedDataCreate(sector, sector, ovD3D9OBJECTSECTOR, &sector->repEntry, sector->mesh,
                                              cb->instance, (flags & ovGEOMETRYNATIVEINSTANCE) != 0 ? TRUE : FALSE);
            if (entry == nullptr) {
                return FALSE;
            }
            OvWorldSectorNoteHolding(sector);
        }
    } else if (entry == nullptr) {
        return FALSE;
    }
    if ((flags & ovGEOMETRYNATIVEINSTANCE) != 0) {
        return TRUE;
    }
    cb->lighting(sector);
    OvD3D9SetTransformWorld(nullptr);
    OvD3D9SetRenderState(D3DRS_NORMALIZENORMALS, FALSE);
    cb->render(entry, sector, ovD3D9OBJECTSECTOR, flags);
    return TRUE;
}

OvNodeDefinition MakeNode(const char* name, OvNodeBodyCallBack body, OvPipelineNodeInitCallBack init) {
    OvNodeDefinition d{};
    d.name = name;
    d.body = body;
    d.nodeInit = init;
    d.privateDataSize = sizeof(OvD3D9AllInOneNodeCallbacks);
    return d;
}
OvNodeDefinition gAtomicNode = MakeNode("nodeD3D9AtomicAllInOne.qxl", AtomicBody, AtomicNodeInit);
OvNodeDefinition gSectorNode = MakeNode("nodeD3D9WorldSectorAllInOne.qxl", SectorBody, SectorNodeInit);

OvPipeline* gKeptAtomicPipeline = nullptr;
OvPipeline* gKeptSectorPipeline = nullptr;

OvPipeline* MakePipeline(OvNodeDefinition* node) {
    OvPipeline* p = OvPipelineCreate();
    if (p == nullptr) {
        return nullptr;
    }
    if (OvPipelineLock(p) == nullptr || OvPipelineAddFragment(p, nullptr, node, nullptr) == nullptr ||
        OvPipelineUnlock(p) == nullptr) {
        OvPipelineDestroy(p);
        return nullptr;
    }
    return p;
}

// ---- Render callback helpers -------------------------------------------------------------------

void Stage(OvUInt32 stage, OvUInt32 colorOp, OvUInt32 arg1, OvUInt32 arg2) {
    OvD3D9SetTextureStageState(stage, D3DTSS_COLOROP, colorOp);
    OvD3D9SetTextureStageState(stage, D3DTSS_COLORARG1, arg1);
    OvD3D9SetTextureStageState(stage, D3DTSS_COLORARG2, arg2);
    OvD3D9SetTextureStageState(stage, D3DTSS_ALPHAOP, colorOp);
    OvD3D9SetTextureStageState(stage, D3DTSS_ALPHAARG1, arg1);
    OvD3D9SetTextureStageState(stage, D3DTSS_ALPHAARG2, arg2);
}

void Draw(const OvD3D9InstancedData* data, const OvD3D9InstancedMesh& mesh) {
    OvD3D9InstancedMeshDraw(data, mesh, mesh.vertexShader);
}

bool Opaque(const OvRGBA& c) { return c.alpha == 255; }
bool OpaqueWhite(const OvRGBA& c) { return c.red == 255 && c.green == 255 && c.blue == 255 && c.alpha == 255; }

} // namespace

// ---- Hardware lights from light objects ----------------------------------------------------------

OvBool OvD3D9LightPluginAttach() {
    gLightExtOffset = OvLightRegisterPlugin(sizeof(OvD3D9LightExt), ovPLUGINIDLIGHT, LightExtConstruct,
                                            LightExtDestruct, LightExtCopy);
    return gLightExtOffset >= 0 ? TRUE : FALSE;
}

OvInt32 OvD3D9LightGetIndex(const OvLight* light) {
    return gLightExtOffset < 0 ? -1 : Ext(const_cast<OvLight*>(light))->index;
}

OvBool OvD3D9LightSetDirectional(OvLight* light) {
    const OvMatrix* m = LightMatrix(light);
    if (m == nullptr) {
        return TRUE; // a light without a frame has no direction: not set
    }
    const float rgb[3] = {light->color.red, light->color.green, light->color.blue};
    const float dir[3] = {m->at.x, m->at.y, m->at.z};
    D3DLIGHT9 record;
    OvD3D9LightFillDirectional(&record, rgb, dir);
    OvD3D9LightSend(IndexOf(light), &record);
    return TRUE;
}

OvBool OvD3D9LightSetLocal(OvLight* light) {
    const OvMatrix* m = LightMatrix(light);
    if (m == nullptr) {
        return FALSE; // a light without a frame has no place: not set
    }
    // The light takes its index first, as any light handed here does; a range of 0 or a light
    // that is not local is then not set.
    const OvInt32 index = IndexOf(light);
    if (light->radius == 0.0f) {
        return FALSE;
    }
    const float rgb[3] = {light->color.red, light->color.green, light->color.blue};
    const float pos[3] = {m->pos.x, m->pos.y, m->pos.z};
    const float dir[3] = {m->at.x, m->at.y, m->at.z};
    const OvUInt8 type = OvLightGetType(light);
    const float cone = type == ovLIGHTPOINT ? 0.0f : OvLightGetConeAngle(light);
    D3DLIGHT9 record;
    if (!OvD3D9LightFillLocal(&record, type, rgb, pos, dir, light->radius, cone, &Ext(light)->attenuation)) {
        return FALSE;
    }
    return OvD3D9LightSend(index, &record);
}

namespace {

// The world's global lights with a flag in the mask: ambient ones add to the ambient colour,
// directional ones are set when wanted. TRUE when any light qualified.
bool SetGlobalLights(OvWorld* world, OvUInt32 mask, bool directional) {
    OvD3D9AmbientColor = {0.0f, 0.0f, 0.0f, 1.0f};
    bool any = false;
    for (OvLLLink* l = world->globalLights.next; l != &world->globalLights; l = l->next) {
        OvLight* light = LightOfWorldLink(l);
        if ((light->object.object.flags & mask) == 0) {
            continue;
        }
        any = true;
        if (OvLightGetType(light) == ovLIGHTDIRECTIONAL) {
            if (directional) {
                OvD3D9LightSetDirectional(light);
            }
        } else {
            OvD3D9AmbientColor.r += light->color.red;
            OvD3D9AmbientColor.g += light->color.green;
            OvD3D9AmbientColor.b += light->color.blue;
        }
    }
    if (!any) {
        OvD3D9SetRenderState(D3DRS_AMBIENT, 0);
    }
    return any;
}

} // namespace

OvBool OvD3D9LightsSetGlobal(OvUInt32 flagMask) {
    auto* world = OvEngineInstancePtr != nullptr ? static_cast<OvWorld*>(OvEngineInstancePtr->curWorld) : nullptr;
    if (world == nullptr) {
        return FALSE;
    }
    return SetGlobalLights(world, flagMask, true) ? TRUE : FALSE;
}

void OvD3D9AtomicDefaultLightingCallback(void* object) {
    auto* atomic = static_cast<OvAtomic*>(object);
    OvGeometry* g = atomic->geometry;
    auto* world = static_cast<OvWorld*>(OvEngineInstancePtr->curWorld);
    if ((g->flags & ovGEOMETRYLIGHT) == 0 || world == nullptr) {
        OvD3D9LightsEnable(FALSE, ovD3D9OBJECTATOMIC);
        return;
    }
    const bool normals = (g->flags & ovGEOMETRYNORMALS) != 0;
    SetGlobalLights(world, ovLIGHTLIGHTATOMICS, normals);
    if (normals) {
        const OvUInt16 stamp = ++OvEngineInstancePtr->lightFrame;
        const OvSphere* sphere = OvAtomicGetWorldBoundingSphere(atomic);
        for (OvLLLink* t = atomic->sectorTies.next; t != &atomic->sectorTies; t = t->next) {
            OvWorldSector* sector = OvSectorTieFromObjectLink(t)->sector;
            for (OvLLLink* l = sector->lightTies.next; l != &sector->lightTies; l = l->next) {
                auto* light = static_cast<OvLight*>(OvSectorTieFromSectorLink(l)->object);
                if (light->lightFrame == stamp) {
                    continue;
                }
                light->lightFrame = stamp;
                if ((light->object.object.flags & ovLIGHTLIGHTATOMICS) == 0) {
                    continue;
                }
                const OvMatrix* m = LightMatrix(light);
                if (m == nullptr) {
                    continue;
                }
                const float dx = m->pos.x - sphere->center.x, dy = m->pos.y - sphere->center.y,
                            dz = m->pos.z - sphere->center.z;
                const float reach = light->radius + sphere->radius;
                if (dx * dx + dy * dy + dz * dz < reach * reach) {
                    OvD3D9LightSetLocal(light);
                }
            }
        }
    }
    OvD3D9LightsEnable(TRUE, ovD3D9OBJECTATOMIC);
}

void OvD3D9WorldSectorDefaultLightingCallback(void* object) {
    auto* sector = static_cast<OvWorldSector*>(object);
    auto* world = static_cast<OvWorld*>(OvEngineInstancePtr->curWorld);
    if (world == nullptr || (world->flags & ovGEOMETRYLIGHT) == 0) {
        OvD3D9LightsEnable(FALSE, -1);
        return;
    }
    SetGlobalLights(world, ovLIGHTLIGHTWORLD, true);
    const OvUInt16 stamp = ++OvEngineInstancePtr->lightFrame;
    for (OvLLLink* l = sector->lightTies.next; l != &sector->lightTies; l = l->next) {
        auto* light = static_cast<OvLight*>(OvSectorTieFromSectorLink(l)->object);
        if (light->lightFrame == stamp) {
            continue;
        }
        light->lightFrame = stamp;
        if ((light->object.object.flags & ovLIGHTLIGHTWORLD) != 0) {
            OvD3D9LightSetLocal(light);
        }
    }
    OvD3D9LightsEnable(TRUE, -1);
}

// ---- Drawing -------------------------------------------------------------------------------------

void OvD3D9AtomicSetClipping(void* object, OvUInt8 type) {
    const OvCamera* camera = OvD3D9GetCurrentCamera();
    bool inside = false;
    if (camera != nullptr) {
        if (type == ovD3D9OBJECTATOMIC) {
            inside =
                OvD3D9CameraSphereFullyInside(camera, OvAtomicGetWorldBoundingSphere(static_cast<OvAtomic*>(object)));
        } else {
            inside = OvD3D9CameraBBoxFullyInside(camera, &static_cast<OvWorldSector*>(object)->boundingBox);
        }
    }
    OvD3D9SetRenderState(D3DRS_CLIPPING, inside ? FALSE : TRUE);
}

void OvD3D9InstancedDataBind(const OvD3D9InstancedData* data) {
    if (data->indexBuffer != nullptr) {
        OvD3D9SetIndices(data->indexBuffer);
    }
    const OvD3D9Stream streams[2] = {
        {data->vertexStream[0].vertexBuffer, data->vertexStream[0].offset, data->vertexStream[0].stride},
        {data->vertexStream[1].vertexBuffer, data->vertexStream[1].offset, data->vertexStream[1].stride}};
    OvD3D9SetStreams(streams, data->useOffsets ? TRUE : FALSE);
    OvD3D9SetVertexDeclaration(data->vertexDeclaration);
}

void OvD3D9DefaultRenderCallback(OvResourceEntry* entry, void* object, OvUInt8 type, OvUInt32 flags) {
    auto* data = OvD3D9InstancedDataFromEntry(entry);
    OvD3D9InstancedMesh* meshes = OvD3D9InstancedDataGetMeshes(data);
    OvD3D9SetPixelShader(nullptr);
    OvD3D9AtomicSetClipping(object, type);
    OvD3D9InstancedDataBind(data);
    const bool textured = (flags & (ovGEOMETRYTEXTURED | ovGEOMETRYTEXTURED2)) != 0;
    const bool lighting = OvD3D9GetRenderState(D3DRS_LIGHTING) != 0;

    if (!lighting && (flags & ovGEOMETRYPRELIT) == 0) {
        // Nothing lights it and it has no colours of its own: opaque black, keeping the
        // texture's alpha.
        const OvUInt32 colorVertex = OvD3D9GetRenderState(D3DRS_COLORVERTEX);
        const OvUInt32 shadeMode = OvD3D9GetRenderState(D3DRS_SHADEMODE);
        OvD3D9RenderStateVertexAlphaEnable(FALSE);
        OvD3D9SetRenderState(D3DRS_TEXTUREFACTOR, 0xFF000000u);
        OvD3D9SetRenderState(D3DRS_COLORVERTEX, FALSE);
        OvD3D9SetRenderState(D3DRS_SHADEMODE, D3DSHADE_FLAT);
        Stage(0, D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_TFACTOR);
        OvD3D9SetTexture(nullptr, 0);
        bool textureSet = false;
        for (OvUInt32 m = 0; m < data->numMeshes; ++m) {
            const OvMaterial* material = meshes[m].material;
            OvTexture* texture = material != nullptr ? material->texture : nullptr;
            if (textured && texture != nullptr && OvD3D9TextureHasAlpha(texture)) {
                OvD3D9SetTexture(texture, 0);
                OvD3D9SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_MODULATE);
                textureSet = true;
            } else if (textureSet) {
                OvD3D9SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG2);
                OvD3D9SetTexture(nullptr, 0);
                textureSet = false;
            }
            Draw(data, meshes[m]);
        }
        OvD3D9SetRenderState(D3DRS_COLORVERTEX, colorVertex);
        OvD3D9SetRenderState(D3DRS_SHADEMODE, shadeMode);
        return;
    }

    OvInt32 previous = -1;
    for (OvUInt32 m = 0; m < data->numMeshes; ++m) {
        const OvMaterial* material = meshes[m].material;
        static const OvMaterial kNoMaterial = {nullptr, {255, 255, 255, 255}, nullptr, {1.0f, 1.0f, 1.0f}, 1};
        if (material == nullptr) {
            material = &kNoMaterial;
        }
        OvD3D9RenderStateVertexAlphaEnable(!Opaque(material->color) || meshes[m].vertexAlpha != 0 ? TRUE : FALSE);
        OvInt32 mode = 0;
        if (lighting) {
            OvD3D9SetSurfaceProperties(&material->surfaceProperties, &material->color, flags);
        } else if ((flags & ovGEOMETRYMODULATEMATERIALCOLOR) != 0 && !OpaqueWhite(material->color)) {
            const OvRGBA& c = material->color;
            OvD3D9SetRenderState(D3DRS_TEXTUREFACTOR, static_cast<OvUInt32>(c.alpha) << 24 |
                                                          static_cast<OvUInt32>(c.red) << 16 |
                                                          static_cast<OvUInt32>(c.green) << 8 | c.blue);
            mode |= 2;
        }
        OvTexture* texture = textured ? material->texture : nullptr;
        if (texture != nullptr) {
            mode |= 1;
        }
        OvD3D9SetTexture(texture, 0);
        if (mode != previous) {
            switch (mode) {
            case 0:
                Stage(0, D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_DIFFUSE);
                break;
            case 2:
                Stage(0, D3DTOP_MODULATE, D3DTA_DIFFUSE, D3DTA_TFACTOR);
                break;
            default:
                if (previous < 0 || (previous & 1) == 0) {
                    Stage(0, D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE);
                }
                if (mode == 3) {
                    Stage(1, D3DTOP_MODULATE, D3DTA_CURRENT, D3DTA_TFACTOR);
                }
                break;
            }
            if (previous == 3 && mode != 3) {
                OvD3D9SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_DISABLE);
                OvD3D9SetTextureStageState(1, D3DTSS_ALPHAOP, D3DTOP_DISABLE);
            }
            previous = mode;
        }
        Draw(data, meshes[m]);
    }
    if (previous == 3) {
        OvD3D9SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_DISABLE);
        OvD3D9SetTextureStageState(1, D3DTSS_ALPHAOP, D3DTOP_DISABLE);
    }
}

// ---- Drawing through the generated vertex shaders -------------------------------------------------

void OvD3D9VertexShaderDrawMesh(const OvD3D9InstancedData* data, const OvD3D9InstancedMesh* mesh) {
    OvD3D9SetPixelShader(nullptr);
    OvTexture* texture = mesh->material != nullptr ? mesh->material->texture : nullptr;
    OvD3D9SetTexture(texture, 0);
    if (texture != nullptr) {
        Stage(0, D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE);
    } else {
        Stage(0, D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_DIFFUSE);
    }
    Draw(data, *mesh);
}

OvUInt8 OvD3D9VertexShaderFogMode() {
    if (OvD3D9GetRenderState(D3DRS_FOGENABLE) == 0) {
        return ovVSFOGNONE;
    }
    switch (OvD3D9GetRenderState(D3DRS_FOGVERTEXMODE)) {
    case D3DFOG_LINEAR:
        return ovVSFOGLINEAR;
    case D3DFOG_EXP:
        return ovVSFOGEXP;
    case D3DFOG_EXP2:
        return ovVSFOGEXP2;
    default:
        return ovVSFOGNONE;
    }
}

void OvD3D9VertexShaderRenderCallback(OvResourceEntry* entry, void* object, OvUInt8 type, OvUInt32 flags) {
    auto* data = OvD3D9InstancedDataFromEntry(entry);
    const OvD3D9InstancedMesh* meshes = OvD3D9InstancedDataGetMeshes(data);
    IDirect3DDevice9* device = OvD3D9GetDevice();
    OvD3D9AtomicSetClipping(object, type);
    OvD3D9InstancedDataBind(data);

    const OvMatrix* ltm = nullptr;
    OvInt32 sets = 0;
    bool normalize = false;
    if (type == ovD3D9OBJECTATOMIC) {
        auto* atomic = static_cast<OvAtomic*>(object);
        OvFrame* frame = OvAtomicGetFrame(atomic);
        ltm = frame != nullptr ? OvFrameGetWorldMatrix(frame) : nullptr;
        sets = atomic->geometry->numTexCoordSets;
        normalize = ltm != nullptr && (ltm->flags & (ovMATRIXINTERNALIDENTITY | ovMATRIXTYPENORMAL)) == 0 &&
                    (AxisOutsideUnit(ltm->right) || AxisOutsideUnit(ltm->up) || AxisOutsideUnit(ltm->at));
    } else {
        auto* world = static_cast<OvWorld*>(OvEngineInstancePtr->curWorld);
        sets = world != nullptr ? world->numTexCoordSets : 0;
    }
    if ((flags & (ovGEOMETRYTEXTURED | ovGEOMETRYTEXTURED2)) == 0) {
        sets = 0;
    }
    OvD3D9WorldMatrixSet(ltm);
    D3DMATRIX wvp;
    OvD3D9GetWorldViewProjectionTransposed(&wvp);
    device->SetVertexShaderConstantF(0, &wvp.m[0][0], 4);

    static OvD3D9ShaderConstant block[ovD3D9VSLIGHTBLOCKMAX];
    OvD3D9VertexShaderDesc desc{};
    OvD3D9VertexShaderGatherLights(object, type, block, &desc);
    desc.spotsSets = static_cast<OvUInt8>((desc.spotsSets & 0x0F) | std::min(sets, 15) << 4);
    desc.flags =
        static_cast<OvUInt8>(((flags & ovGEOMETRYPRELIT) != 0 ? ovVSVERTEXCOLOR : 0) |
                             ((flags & ovGEOMETRYNORMALS) != 0 ? ovVSNORMALS : 0) | (normalize ? ovVSNORMALIZE : 0));
    desc.fogEffect = OvD3D9VertexShaderFogMode();

    for (OvUInt32 m = 0; m < data->numMeshes; ++m) {
        static const OvMaterial kNoMaterial = {nullptr, {255, 255, 255, 255}, nullptr, {1.0f, 1.0f, 1.0f}, 1};
        const OvMaterial* material = meshes[m].material != nullptr ? meshes[m].material : &kNoMaterial;
        OvD3D9VertexShaderDesc meshDesc = desc;
        if ((flags & ovGEOMETRYMODULATEMATERIALCOLOR) != 0 && !OpaqueWhite(material->color)) {
            meshDesc.flags |= ovVSMATERIALCOLOR;
        }
        OvD3D9VertexShaderLayout layout;
        OvD3D9InstancedMesh drawn = meshes[m];
        drawn.vertexShader = OvD3D9VertexShaderGet(&meshDesc, &layout);
        if (drawn.vertexShader == nullptr) {
            continue; // the device cannot run it: nothing is drawn rather than something wrong
        }
        OvD3D9VertexShaderSetLightConstants(block, &meshDesc, material->surfaceProperties.ambient,
                                            material->surfaceProperties.diffuse);
        const OvRGBA& c = material->color;
        const OvUInt8 rgba[4] = {c.red, c.green, c.blue, c.alpha};
        OvD3D9VertexShaderSetMaterialColor(rgba, &layout);
        OvD3D9VertexShaderSetFogConstants(&meshDesc, &layout);
        OvD3D9RenderStateVertexAlphaEnable(!Opaque(material->color) || meshes[m].vertexAlpha != 0 ? TRUE : FALSE);
        OvD3D9VertexShaderDrawMesh(data, &drawn);
    }
    OvD3D9SetVertexShader(nullptr);
}

// ---- Nodes and default pipelines -----------------------------------------------------------------

OvNodeDefinition* OvNodeD3D9AtomicAllInOneGetDefinition() { return &gAtomicNode; }
OvNodeDefinition* OvNodeD3D9WorldSectorAllInOneGetDefinition() { return &gSectorNode; }

void OvD3D9AllInOneNodeSetInstanceCallback(OvPipelineNode* node, OvD3D9InstanceCallBack callback) {
    Callbacks(node)->instance = callback;
}
OvD3D9InstanceCallBack OvD3D9AllInOneNodeGetInstanceCallback(OvPipelineNode* node) { return Callbacks(node)->instance; }
void OvD3D9AllInOneNodeSetRenderCallback(OvPipelineNode* node, OvD3D9RenderCallBack callback) {
    Callbacks(node)->render = callback;
}

OvPipeline* OvD3D9CreateDefaultAtomicPipeline() {
    gKeptAtomicPipeline = MakePipeline(&gAtomicNode);
    if (gKeptAtomicPipeline == nullptr) {
        return nullptr;
    }
    OvD3D9LightsOpen();
    OvD3D9VertexShaderCacheOpen();
    // The texture-coordinate types the writers may choose are the ones the shaders can read.
    OvD3D9VertexSetDeclTypeCaps(OvD3D9VertexShaderGetDeclTypes());
    return gKeptAtomicPipeline;
}

OvPipeline* OvD3D9CreateDefaultWorldSectorPipeline() {
    gKeptSectorPipeline = MakePipeline(&gSectorNode);
    return gKeptSectorPipeline;
}

void OvD3D9SetDefaultAtomicPipeline(OvPipeline* pipeline) {
    OvWorldSetDefaultAtomicPipeline(pipeline != nullptr ? pipeline : gKeptAtomicPipeline);
}
void OvD3D9SetDefaultWorldSectorPipeline(OvPipeline* pipeline) {
    OvWorldSetDefaultWorldSectorPipeline(pipeline != nullptr ? pipeline : gKeptSectorPipeline);
}

void OvD3D9DestroyDefaultWorldSectorPipeline() {
    if (gKeptSectorPipeline != nullptr) {
        OvPipelineDestroy(gKeptSectorPipeline);
        gKeptSectorPipeline = nullptr;
    }
    OvWorldSetDefaultWorldSectorPipeline(nullptr);
}

void OvD3D9WorldPipelinesClose() {
    OvD3D9DestroyDefaultWorldSectorPipeline();
    OvD3D9GeometryReinstanceListClear();
    if (gKeptAtomicPipeline != nullptr) {
        OvD3D9VertexShaderCacheRelease();
        OvD3D9LightsClose();
        OvPipelineDestroy(gKeptAtomicPipeline);
        gKeptAtomicPipeline = nullptr;
    }
    OvWorldSetDefaultAtomicPipeline(nullptr);
}

OvBool OvD3D9WorldPluginAttach() {
    if (!OvD3D9LightPluginAttach() || !OvD3D9WorldDevicePluginAttach()) {
        return FALSE;
    }
    OvD3D9WorldRestoreHookInstall();
    return TRUE;
}

void OvD3D9InstancedMeshDraw(const OvD3D9InstancedData* data, const OvD3D9InstancedMesh& mesh,
                             IDirect3DVertexShader9* shader) {
    OvD3D9SetVertexShader(shader); // none on the fixed-function path (the cache drops repeats)
    OvD3D9RenderStateFlush();
    if (mesh.numPrimitives == 0) {
        return;
    }
    IDirect3DDevice9* device = OvD3D9GetDevice();
    if (data->indexBuffer == nullptr) {
        device->DrawPrimitive(data->primType, static_cast<UINT>(mesh.baseIndex), mesh.numPrimitives);
    } else {
        device->DrawIndexedPrimitive(data->primType, mesh.baseIndex, 0, mesh.numVertices, mesh.startIndex,
                                     mesh.numPrimitives);
    }
    ++OvD3D9FrameCount.drawCalls;
    OvD3D9FrameCount.vertices += mesh.numVertices;
}
