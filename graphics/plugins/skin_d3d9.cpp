// The skinned-atomic pipeline node on Direct3D 9: instancing for the shader path (one static
// stream with blend weights and indices) or for the processor path (positions and normals in the
// dynamic stream), the palette cache, the processor's per-render writes and the per-mesh shader
// drawing. The node's body is the atomic node's: it finds or makes the instanced data, sets the
// lights and the world transform and calls the render callback kept in the node's private block.

#include "graphics/plugins/skin_d3d9.h"

#include <algorithm>
#include <cstring>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/device_cache.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/d3d9/vertex_buffer.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/pipeline.h"
#include "graphics/world/clump.h"
#include "graphics/world/d3d9/vertex_writers.h"
#include "graphics/world/d3d9_vertex_shader.h"
#include "graphics/world/geometry.h"
#include "graphics/world/material.h"
#include "graphics/world/mesh.h"

namespace {

constexpr OvUInt32 kScratchHint = ovMEMHINTDUR_FUNCTION | ovPLUGINIDSKIN;
constexpr OvUInt32 kPositionsAndNormals = ovGEOMETRYLOCKVERTICES | ovGEOMETRYLOCKNORMALS;

OvSkinD3D9Caps gCaps = {};
OvPipeline* gPipeline = nullptr;

// The palette and what it was built for.
struct PaletteCache {
    const OvAnimHierarchy* hierarchy = nullptr;
    const OvSkin* skin = nullptr;
    const OvFrame* frame = nullptr;
    OvUInt16 renderFrame = 0;
    OvInt32 count = 0;
    bool valid = false;
};
PaletteCache gPaletteKey;
alignas(16) OvMatrix gPalette[ovSKINPALETTESIZE];

// Skinned positions and normals of the processor path, grown as needed.
OvV3d* gScratch = nullptr;
OvUInt32 gScratchVertices = 0;

bool Native(const OvGeometry* g) { return (g->flags & ovGEOMETRYNATIVE) != 0; }

// Where an element lives in the instanced data (stream -1: absent).
struct Place {
    OvInt32 stream = -1;
    OvUInt32 offset = 0;
    OvUInt32 type = 0;
};

// The element of a usage, read back from the declaration.
Place FindElement(const OvD3D9InstancedData* data, OvUInt8 usage) {
    Place place;
    D3DVERTEXELEMENT9 elements[ovD3D9MAXDECLARATIONELEMENTS + 1];
    UINT count = ovD3D9MAXDECLARATIONELEMENTS + 1;
    if (data->vertexDeclaration == nullptr || FAILED(data->vertexDeclaration->GetDeclaration(elements, &count))) {
        return place;
    }
    for (UINT i = 0; i < count && elements[i].Stream != 0xFF; ++i) {
        if (elements[i].Usage == usage && elements[i].UsageIndex == 0 && elements[i].Stream < 2) {
            place = {elements[i].Stream, elements[i].Offset, elements[i].Type};
            break;
        }
    }
    return place;
}

const OvMatrix* AtomicWorld(OvAtomic* atomic) {
    OvFrame* frame = OvAtomicGetFrame(atomic);
    return frame != nullptr ? OvFrameGetWorldMatrix(frame) : nullptr;
}

// The palette of a skin posed by a hierarchy, built again only when the hierarchy, the skin, the
// atomic's frame or the render frame differs from the last build. Entries in *count.
const OvMatrix* Palette(const OvSkin* skin, const OvAnimHierarchy* hierarchy, OvAtomic* atomic, OvInt32* count) {
    const OvFrame* frame = OvAtomicGetFrame(atomic);
    const OvUInt16 renderFrame = OvEngineInstancePtr->renderFrame;
    PaletteCache& key = gPaletteKey;
    if (!key.valid || key.hierarchy != hierarchy || key.skin != skin || key.frame != frame ||
        key.renderFrame != renderFrame) {
        key.count = OvSkinBuildPalette(skin, hierarchy, AtomicWorld(atomic), gPalette);
        key.hierarchy = hierarchy;
        key.skin = skin;
        key.frame = frame;
        key.renderFrame = renderFrame;
        key.valid = true;
    }
    *count = key.count;
    return gPalette;
}

OvUInt32 NormalType() {
    const D3DCAPS9* caps = OvD3D9GetCaps();
    return caps != nullptr && (caps->DeclTypes & D3DDTCAPS_DEC3N) != 0 ? D3DDECLTYPE_DEC3N : D3DDECLTYPE_FLOAT3;
}

// Blend weights: the first normalised four-component type the shaders can read, else colours.
OvUInt32 WeightType(OvUInt32 declTypes) {
    if ((declTypes & D3DDTCAPS_USHORT4N) != 0)
        return D3DDECLTYPE_USHORT4N;
    if ((declTypes & D3DDTCAPS_SHORT4N) != 0)
        return D3DDECLTYPE_SHORT4N;
    if ((declTypes & D3DDTCAPS_UBYTE4N) != 0)
        return D3DDECLTYPE_UBYTE4N;
    return D3DDECLTYPE_D3DCOLOR;
}

// Blend indices hold register offsets the shader uses as they are: two shorts for up to two
// weights, else four bytes when the device reads them, else four shorts.
OvUInt32 IndexType(OvUInt32 maxWeights, OvUInt32 declTypes) {
    if (maxWeights <= 2)
        return D3DDECLTYPE_SHORT2;
    return (declTypes & D3DDTCAPS_UBYTE4) != 0 ? D3DDECLTYPE_UBYTE4 : D3DDECLTYPE_SHORT4;
}

// The one-stream vertex of the shader path.
struct ShaderLayout {
    Place position, normal, color, weights, indices;
    Place texCoords[ovMAXTEXTURECOORDS];
    OvUInt32 stride = 0;
    OvInt32 sets = 0;
};

void Put(ShaderLayout* layout, Place* place, OvUInt32 type) {
    *place = {0, layout->stride, type};
    layout->stride += OvD3D9VertexElementSize(type);
}

ShaderLayout MakeShaderLayout(const OvGeometry* g, const OvSkin* skin) {
    ShaderLayout l;
    const OvUInt32 declTypes = OvD3D9VertexShaderGetDeclTypes();
    Put(&l, &l.position, D3DDECLTYPE_FLOAT3);
    if ((g->flags & ovGEOMETRYNORMALS) != 0 && g->morphTarget[0].normals != nullptr)
        Put(&l, &l.normal, NormalType());
    if ((g->flags & ovGEOMETRYPRELIT) != 0 && g->preLitLum != nullptr)
        Put(&l, &l.color, D3DDECLTYPE_D3DCOLOR);
    l.sets = std::min(g->numTexCoordSets, ovMAXTEXTURECOORDS);
    for (OvInt32 i = 0; i < l.sets; ++i)
        Put(&l, &l.texCoords[i], D3DDECLTYPE_FLOAT2);
    if (skin->maxNumWeightsPerVertex >= 2)
        Put(&l, &l.weights, WeightType(declTypes));
    Put(&l, &l.indices, IndexType(skin->maxNumWeightsPerVertex, declTypes));
    return l;
}

bool MakeDeclaration(const ShaderLayout& l, IDirect3DVertexDeclaration9** out) {
    D3DVERTEXELEMENT9 e[ovMAXTEXTURECOORDS + 6];
    OvUInt32 n = 0;
    auto add = [&](const Place& p, BYTE usage, BYTE index) {
        if (p.stream >= 0)
            e[n++] = {0, static_cast<WORD>(p.offset), static_cast<BYTE>(p.type), D3DDECLMETHOD_DEFAULT, usage, index};
    };
    add(l.position, D3DDECLUSAGE_POSITION, 0);
    add(l.normal, D3DDECLUSAGE_NORMAL, 0);
    add(l.color, D3DDECLUSAGE_COLOR, 0);
    for (OvInt32 i = 0; i < l.sets; ++i)
        add(l.texCoords[i], D3DDECLUSAGE_TEXCOORD, static_cast<BYTE>(i));
    add(l.weights, D3DDECLUSAGE_BLENDWEIGHT, 0);
    add(l.indices, D3DDECLUSAGE_BLENDINDICES, 0);
    e[n] = D3DDECL_END();
    return OvD3D9CreateVertexDeclaration(e, out) != 0;
}

// Every element of the shader path's vertex: the bind pose, colours (setting the meshes'
// vertex-alpha flags), texture sets, the weights ((1, 0, 0, 0) for a vertex whose first weight
// is whole) and the blend indices as 3 x the bone's palette slot.
bool WriteShaderVertices(OvAtomic* atomic, const OvSkin* skin, const ShaderLayout& l, OvD3D9InstancedData* data,
                         OvUInt8* base) {
    const OvGeometry* g = atomic->geometry;
    const auto n = static_cast<OvInt32>(data->totalNumVertex);
    const OvUInt32 stride = l.stride;
    OvD3D9VertexWriteV3d(l.position.type, base + l.position.offset, g->morphTarget[0].verts, n, stride);
    if (l.normal.stream >= 0)
        OvD3D9VertexWriteV3d(l.normal.type, base + l.normal.offset, g->morphTarget[0].normals, n, stride);
    OvD3D9InstancedMesh* meshes = OvD3D9InstancedDataGetMeshes(data);
    for (OvUInt32 m = 0; m < data->numMeshes; ++m) {
        meshes[m].vertexAlpha = 0;
        if (l.color.stream >= 0 && meshes[m].minIndex + meshes[m].numVertices <= data->totalNumVertex)
            meshes[m].vertexAlpha = OvD3D9VertexWriteColors(
                base + l.color.offset + static_cast<std::size_t>(meshes[m].minIndex) * stride,
                g->preLitLum + meshes[m].minIndex, static_cast<OvInt32>(meshes[m].numVertices), stride);
    }
    for (OvInt32 i = 0; i < l.sets; ++i)
        if (g->texCoords[i] != nullptr)
            OvD3D9VertexWriteV2d(l.texCoords[i].type, base + l.texCoords[i].offset,
                                 reinterpret_cast<const OvV2d*>(g->texCoords[i]), n, stride);

    // Vertices beyond the skin's arrays follow bone 0 alone.
    const std::size_t bytes = static_cast<std::size_t>(n) * 20; // four weights and four bones a vertex
    auto* scratch = static_cast<OvUInt8*>(OvMalloc(bytes > 0 ? bytes : 1, kScratchHint));
    if (scratch == nullptr) {
        OvErrorReport(0, ovERRNOMEMORY);
        return false;
    }
    auto* weights = reinterpret_cast<float*>(scratch);
    OvUInt8* indices = scratch + static_cast<std::size_t>(n) * 16;
    for (OvInt32 v = 0; v < n; ++v) {
        const bool known = v < skin->numVertices;
        const float* w = known ? skin->vertexBoneWeights + 4 * v : nullptr;
        const bool whole = !known || w[0] >= 1.0f;
        for (int k = 0; k < 4; ++k) {
            weights[4 * v + k] = whole ? (k == 0 ? 1.0f : 0.0f) : w[k];
            indices[4 * v + k] = known ? static_cast<OvUInt8>(skin->vertexBoneIndices[v] >> (8 * k)) : 0;
        }
    }
    const OvAnimHierarchy* hierarchy = OvSkinAtomicGetHierarchy(atomic);
    const OvInt32 nodes = hierarchy != nullptr ? hierarchy->numNodes : 0;
    OvUInt8 map[256] = {};
    for (OvUInt32 b = 0; b < skin->numBones; ++b) {
        const OvInt32 slot = OvSkinVertexShaderSlot(skin, nodes, gCaps.maxPaletteBones, b);
        map[b] = slot >= 0 && slot < 85 ? static_cast<OvUInt8>(3 * slot) : 0;
    }
    if (l.weights.stream >= 0)
        OvD3D9VertexWriteV4d(l.weights.type, base + l.weights.offset, weights, n, stride);
    OvD3D9VertexWriteRemappedIndices(l.indices.type, base + l.indices.offset, indices, map, n, stride);
    OvFree(scratch);
    return true;
}

// Shader path: made once into a range of the shared static buffers; re-instancing rewrites the
// whole vertex when anything was locked.
OvBool InstanceForShaders(OvAtomic* atomic, OvSkin* skin, OvD3D9InstancedData* data, OvBool reinstance) {
    OvGeometry* g = atomic->geometry;
    if (g->morphTarget == nullptr || g->morphTarget[0].verts == nullptr)
        return FALSE;
    const ShaderLayout l = MakeShaderLayout(g, skin);
    OvD3D9VertexStream& st = data->vertexStream[0];
    if (!reinstance) {
        data->totalNumVertex = static_cast<OvUInt32>(g->numVertices);
        if (!MakeDeclaration(l, &data->vertexDeclaration))
            return FALSE;
        st = {};
        st.stride = l.stride;
        st.elementMask = ovGEOMETRYLOCKALL;
        st.shared = 1;
        if (!OvD3D9CreateVertexBuffer(st.stride, st.stride * data->totalNumVertex, &st.vertexBuffer, &st.offset)) {
            st.vertexBuffer = nullptr;
            return FALSE;
        }
        data->useOffsets = 0;
        OvD3D9InstancedMesh* meshes = OvD3D9InstancedDataGetMeshes(data);
        for (OvUInt32 m = 0; m < data->numMeshes; ++m)
            meshes[m].baseIndex = static_cast<OvInt32>(st.offset / st.stride + meshes[m].minIndex);
    } else if (g->lockedSinceLastInst == 0) {
        return TRUE;
    } else if (st.vertexBuffer == nullptr || st.stride != l.stride ||
               data->totalNumVertex != static_cast<OvUInt32>(g->numVertices)) {
        return FALSE; // the geometry changed its shape: instanced afresh
    }
    void* p = nullptr;
    if (FAILED(st.vertexBuffer->Lock(st.offset, st.stride * data->totalNumVertex, &p, D3DLOCK_NOSYSLOCK)) ||
        p == nullptr)
        return FALSE;
    const bool ok = WriteShaderVertices(atomic, skin, l, data, static_cast<OvUInt8*>(p));
    st.vertexBuffer->Unlock();
    return ok ? TRUE : FALSE;
}

OvSkin* SkinOf(const OvAtomic* atomic) {
    const OvGeometry* g = atomic->geometry;
    return g != nullptr && !Native(g) ? OvSkinGeometryGetSkin(g) : nullptr;
}

// Processor path: positions and normals skinned by the palette (the bind pose without one) into
// their stream. A stream holding nothing else is discarded and written whole.
bool WriteSkinnedVertices(OvAtomic* atomic, const OvSkin* skin, const OvMatrix* palette, OvInt32 numPalette,
                          OvD3D9InstancedData* data) {
    const OvGeometry* g = atomic->geometry;
    const Place places[2] = {FindElement(data, D3DDECLUSAGE_POSITION), FindElement(data, D3DDECLUSAGE_NORMAL)};
    const OvV3d* sources[2] = {g->morphTarget[0].verts, g->morphTarget[0].normals};
    const OvUInt32 n = std::min<OvUInt32>(data->totalNumVertex, static_cast<OvUInt32>(g->numVertices));
    if (places[0].stream < 0 || sources[0] == nullptr)
        return false;
    const OvV3d* out[2] = {sources[0], sources[1]};
    if (palette != nullptr) {
        if (gScratchVertices < n) {
            auto* grown =
                static_cast<OvV3d*>(OvRealloc(gScratch, 2 * sizeof(OvV3d) * n, ovMEMHINTDUR_GLOBAL | ovPLUGINIDSKIN));
            if (grown == nullptr) {
                OvErrorReport(0, ovERRNOMEMORY);
                return false;
            }
            gScratch = grown;
            gScratchVertices = n;
        }
        OvV3d* skinned[2] = {gScratch, sources[1] != nullptr ? gScratch + n : nullptr};
        // Vertices the skin does not cover keep their bind pose.
        for (int e = 0; e < 2; ++e)
            if (skinned[e] != nullptr && static_cast<OvUInt32>(skin->numVertices) < n)
                std::memcpy(skinned[e], sources[e], sizeof(OvV3d) * n);
        OvSkinVertices(skin, palette, numPalette, sources[0], sources[1], skinned[0], skinned[1],
                       static_cast<OvInt32>(n));
        out[0] = skinned[0];
        out[1] = skinned[1];
    }
    OvUInt8* locked[2] = {nullptr, nullptr};
    bool ok = true;
    for (int e = 0; e < 2 && ok; ++e) {
        const OvInt32 s = places[e].stream;
        if (s < 0 || out[e] == nullptr || locked[s] != nullptr)
            continue;
        OvD3D9VertexStream& st = data->vertexStream[s];
        OvUInt32 own = OvD3D9VertexElementSize(places[0].type) * (places[0].stream == s);
        own += OvD3D9VertexElementSize(places[1].type) * (places[1].stream == s && out[1] != nullptr);
        const DWORD flags =
            st.shared == 0 && st.stride == own ? D3DLOCK_NOSYSLOCK | D3DLOCK_DISCARD : D3DLOCK_NOSYSLOCK;
        void* p = nullptr;
        ok = st.vertexBuffer != nullptr &&
             SUCCEEDED(st.vertexBuffer->Lock(st.offset, st.stride * data->totalNumVertex, &p, flags)) && p != nullptr;
        locked[s] = static_cast<OvUInt8*>(p);
    }
    for (int e = 0; e < 2 && ok; ++e) {
        const OvInt32 s = places[e].stream;
        if (s >= 0 && out[e] != nullptr && locked[s] != nullptr)
            OvD3D9VertexWriteV3d(places[e].type, locked[s] + places[e].offset, out[e], static_cast<OvInt32>(n),
                                 data->vertexStream[s].stride);
    }
    for (int s = 0; s < 2; ++s)
        if (locked[s] != nullptr)
            data->vertexStream[s].vertexBuffer->Unlock();
    return ok;
}

bool AxisOutsideUnit(const OvV3d& v) {
    const float l = v.x * v.x + v.y * v.y + v.z * v.z;
    return l < 0.9f || l > 1.1f;
}

bool OpaqueWhite(const OvRGBA& c) { return c.red == 255 && c.green == 255 && c.blue == 255 && c.alpha == 255; }

// Shader path: the lights gathered once, then per mesh the descriptor with the skin's weights,
// reduced until the lights and the palette's slots fit the constant registers, and the palette
// uploaded from the shader's first bone register.
void DrawWithShaders(OvResourceEntry* entry, OvAtomic* atomic, const OvSkin* skin, const OvAnimHierarchy* hierarchy,
                     OvUInt32 flags) {
    auto* data = OvD3D9InstancedDataFromEntry(entry);
    const OvD3D9InstancedMesh* meshes = OvD3D9InstancedDataGetMeshes(data);
    OvD3D9SetRenderState(D3DRS_CLIPPING, TRUE);
    OvD3D9InstancedDataBind(data);
    OvD3D9WorldMatrixSet(AtomicWorld(atomic));
    D3DMATRIX wvp;
    OvD3D9GetWorldViewProjectionTransposed(&wvp);
    OvD3D9GetDevice()->SetVertexShaderConstantF(0, &wvp.m[0][0], 4);

    static OvD3D9ShaderConstant block[ovD3D9VSLIGHTBLOCKMAX];
    OvD3D9VertexShaderDesc desc{};
    OvD3D9VertexShaderGatherLights(atomic, ovD3D9OBJECTATOMIC, block, &desc);
    const OvInt32 sets = (flags & (ovGEOMETRYTEXTURED | ovGEOMETRYTEXTURED2)) != 0
                             ? std::min(atomic->geometry->numTexCoordSets, ovMAXTEXTURECOORDS)
                             : 0;
    const OvUInt32 bones = std::clamp<OvUInt32>(skin->maxNumWeightsPerVertex, 1, 4);
    const bool normals = (flags & ovGEOMETRYNORMALS) != 0;
    desc.spotsSets = static_cast<OvUInt8>((desc.spotsSets & 0x0F) | sets << 4);
    // Blended normals are not of unit length: they are renormalised, as on the processor path.
    desc.flags = static_cast<OvUInt8>(bones << 1 | ((flags & ovGEOMETRYPRELIT) != 0 ? ovVSVERTEXCOLOR : 0) |
                                      (normals ? ovVSNORMALS | ovVSNORMALIZE : 0));
    desc.fogEffect = OvD3D9VertexShaderFogMode();

    OvInt32 numPalette = 0;
    const OvMatrix* palette = Palette(skin, hierarchy, atomic, &numPalette);
    static OvSkinPaletteRun runs[ovSKINPALETTESIZE];
    for (OvUInt32 m = 0; m < data->numMeshes; ++m) {
        static const OvMaterial kNoMaterial = {nullptr, {255, 255, 255, 255}, nullptr, {1.0f, 1.0f, 1.0f}, 1};
        const OvMaterial* material = meshes[m].material != nullptr ? meshes[m].material : &kNoMaterial;
        OvD3D9VertexShaderDesc meshDesc = desc;
        if ((flags & ovGEOMETRYMODULATEMATERIALCOLOR) != 0 && !OpaqueWhite(material->color))
            meshDesc.flags |= ovVSMATERIALCOLOR;
        const OvUInt32 numRuns =
            OvSkinVertexShaderPaletteRuns(skin, hierarchy->numNodes, gCaps.maxPaletteBones, m, runs);
        if (!OvSkinReduceVertexShaderDesc(&meshDesc, OvSkinPaletteRunsSpan(runs, numRuns), gCaps.maxConstants))
            continue; // no descriptor leaves room for the palette: nothing rather than something wrong
        OvD3D9VertexShaderLayout layout;
        OvD3D9InstancedMesh drawn = meshes[m];
        drawn.vertexShader = OvD3D9VertexShaderGet(&meshDesc, &layout);
        if (drawn.vertexShader == nullptr || layout.bones == 0xFF)
            continue;
        OvD3D9VertexShaderSetLightConstants(block, &meshDesc, material->surfaceProperties.ambient,
                                            material->surfaceProperties.diffuse);
        const OvRGBA& c = material->color;
        const OvUInt8 rgba[4] = {c.red, c.green, c.blue, c.alpha};
        OvD3D9VertexShaderSetMaterialColor(rgba, &layout);
        OvD3D9VertexShaderSetFogConstants(&meshDesc, &layout);
        OvSkinVertexShaderUploadPalette(palette, static_cast<OvUInt32>(numPalette), runs, numRuns, layout.bones);
        OvD3D9RenderStateVertexAlphaEnable(c.alpha != 255 || meshes[m].vertexAlpha != 0 ? TRUE : FALSE);
        OvD3D9VertexShaderDrawMesh(data, &drawn);
    }
    OvD3D9SetVertexShader(nullptr);
}

// The node's body is the atomic node's. An atomic whose data was made for the processor but
// which the shaders could now draw (its hierarchy came later) is instanced again first.
OvBool SkinNodeBody(OvPipelineNode* node, const OvPipelineExecuteParams* params) {
    auto* atomic = static_cast<OvAtomic*>(params->data);
    OvGeometry* g = atomic->geometry;
    const OvSkin* skin = SkinOf(atomic);
    if (skin != nullptr && !skin->useVertexShader &&
        OvSkinUseVertexShader(skin, OvSkinAtomicGetHierarchy(atomic), &gCaps)) {
        OvResourceEntry* entry = g->numMorphTargets == 1 ? g->repEntry : atomic->repEntry;
        if (entry != nullptr)
            OvResourcesFreeEntry(entry);
    }
    return OvNodeD3D9AtomicAllInOneGetDefinition()->body(node, params);
}

OvBool SkinNodeInit(OvPipelineNode* node) {
    *static_cast<OvD3D9AllInOneNodeCallbacks*>(node->privateData) = {
        OvSkinD3D9AtomicInstance, OvSkinD3D9AtomicReinstance, OvD3D9AtomicDefaultLightingCallback,
        OvSkinD3D9RenderCallback};
    return TRUE;
}

OvNodeDefinition MakeNode() {
    OvNodeDefinition d{};
    d.name = "nodeD3D9SkinAtomicAllInOne.qxl";
    d.body = SkinNodeBody;
    d.nodeInit = SkinNodeInit;
    d.privateDataSize = sizeof(OvD3D9AllInOneNodeCallbacks);
    return d;
}
OvNodeDefinition gSkinNode = MakeNode();

} // namespace

OvNodeDefinition* OvNodeD3D9SkinAtomicAllInOneGetDefinition() { return &gSkinNode; }
OvPipeline* OvSkinGetAtomicPipeline() { return gPipeline; }
const OvSkinD3D9Caps* OvSkinD3D9GetCaps() { return &gCaps; }

OvBool OvSkinD3D9DataUsesVertexShader(const OvD3D9InstancedData* data) {
    return FindElement(data, D3DDECLUSAGE_BLENDINDICES).stream >= 0 ? TRUE : FALSE;
}

OvBool OvSkinD3D9AtomicInstance(void* object, OvD3D9InstancedData* data, OvBool reinstance) {
    auto* atomic = static_cast<OvAtomic*>(object);
    OvSkin* skin = SkinOf(atomic);
    if (skin == nullptr)
        return OvD3D9AtomicAllInOneInstance(object, data, reinstance);
    if (reinstance)
        return OvSkinD3D9DataUsesVertexShader(data) ? InstanceForShaders(atomic, skin, data, TRUE)
                                                    : OvD3D9AtomicAllInOneInstance(object, data, TRUE);
    skin->paletteSize = OvSkinGetPaletteSize(skin);
    skin->useVertexShader = OvSkinUseVertexShader(skin, OvSkinAtomicGetHierarchy(atomic), &gCaps);
    if (skin->useVertexShader)
        return InstanceForShaders(atomic, skin, data, FALSE);
    // Positions and normals go to the dynamic stream, written at every render.
    OvGeometry* g = atomic->geometry;
    OvD3D9GeometrySetInstanceFlags(g, OvD3D9GeometryGetInstanceFlags(g) | kPositionsAndNormals);
    return OvD3D9AtomicAllInOneInstance(object, data, FALSE);
}

OvBool OvSkinD3D9AtomicReinstance(void* object, OvResourceEntry* entry, OvD3D9InstanceCallBack instance) {
    auto* data = OvD3D9InstancedDataFromEntry(entry);
    if (SkinOf(static_cast<OvAtomic*>(object)) != nullptr && OvSkinD3D9DataUsesVertexShader(data))
        return instance(object, data, TRUE);
    return OvD3D9AtomicAllInOneReinstance(object, entry, instance);
}

void OvSkinD3D9RenderCallback(OvResourceEntry* entry, void* object, OvUInt8 type, OvUInt32 flags) {
    auto* atomic = static_cast<OvAtomic*>(object);
    const OvSkin* skin = type == ovD3D9OBJECTATOMIC ? SkinOf(atomic) : nullptr;
    if (skin == nullptr) {
        OvD3D9DefaultRenderCallback(entry, object, type, flags);
        return;
    }
    const OvAnimHierarchy* hierarchy = OvSkinAtomicGetHierarchy(atomic);
    auto* data = OvD3D9InstancedDataFromEntry(entry);
    if (OvSkinD3D9DataUsesVertexShader(data)) {
        if (hierarchy != nullptr) {
            DrawWithShaders(entry, atomic, skin, hierarchy, flags);
        } else {
            OvD3D9DefaultRenderCallback(entry, object, type, flags); // the bind pose, as instanced
        }
        return;
    }
    OvInt32 numPalette = 0;
    const OvMatrix* palette = hierarchy != nullptr ? Palette(skin, hierarchy, atomic, &numPalette) : nullptr;
    if (!WriteSkinnedVertices(atomic, skin, palette, numPalette, data))
        return;
    // Blended normals are renormalised by the device: whenever it transforms in hardware, else
    // under a scaling world matrix.
    bool normalize = false;
    if (OvD3D9GetRenderState(D3DRS_LIGHTING) != 0) {
        const OvMatrix* ltm = AtomicWorld(atomic);
        normalize = gCaps.hardwareVertexProcessing ||
                    (ltm != nullptr && (ltm->flags & (ovMATRIXINTERNALIDENTITY | ovMATRIXTYPENORMAL)) == 0 &&
                     (AxisOutsideUnit(ltm->right) || AxisOutsideUnit(ltm->up) || AxisOutsideUnit(ltm->at)));
    }
    OvD3D9SetRenderState(D3DRS_NORMALIZENORMALS, normalize ? TRUE : FALSE);
    OvD3D9DefaultRenderCallback(entry, object, type, flags);
}

OvBool OvSkinD3D9PipelineOpen() {
    OvSkinD3D9CapsFromDevice(OvD3D9GetCaps(), &gCaps);
    if (OvD3D9VertexShaderGetProfile() == ovVSPROFILENONE)
        gCaps.vertexShaderSkinning = FALSE;
    gPaletteKey = {};
    OvPipeline* p = OvPipelineCreate();
    if (p == nullptr)
        return FALSE;
    if (OvPipelineLock(p) == nullptr || OvPipelineAddFragment(p, nullptr, &gSkinNode, nullptr) == nullptr ||
        OvPipelineUnlock(p) == nullptr) {
        OvPipelineDestroy(p);
        return FALSE;
    }
    p->ownerPluginId = ovPLUGINIDSKIN;
    gPipeline = p;
    return TRUE;
}

void OvSkinD3D9PipelineClose() {
    if (gPipeline != nullptr) {
        OvPipelineDestroy(gPipeline);
        gPipeline = nullptr;
    }
    OvFree(gScratch);
    gScratch = nullptr;
    gScratchVertices = 0;
    gPaletteKey = {};
    gCaps = {};
}
