#include "graphics/core/d3d9/im3d.h"

#include <cstring>
#include <initializer_list>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/device_cache.h"
#include "graphics/core/d3d9/im2d.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/d3d9/vertex_buffer.h"
#include "graphics/core/im3d.h"
#include "graphics/core/pipeline.h"

namespace {

struct Im3D {
    bool wanted = false; // the core's module is open
    IDirect3DIndexBuffer9* indices = nullptr;
    OvUInt32 position = 0; // next index to write
    IDirect3DVertexDeclaration9* full = nullptr;
    IDirect3DVertexDeclaration9* textured = nullptr;
    IDirect3DVertexDeclaration9* plain = nullptr;
};

Im3D gIm3D;

constexpr UINT kFullStride = sizeof(OvIm3DVertex);

// Positions and colours (and texture coordinates) of the caller's vertices, vertex i from
// vertices[order[i]] (vertices[i] without an order).
void Convert(void* out, const OvIm3DBatch& batch, bool textured, const OvUInt16* order, OvUInt32 n) {
    auto* dst = static_cast<char*>(out);
    const UINT stride = textured ? 24 : 16;
    for (OvUInt32 i = 0; i < n; ++i, dst += stride) {
        const OvIm3DVertex& v = batch.vertices[order != nullptr ? order[i] : i];
        std::memcpy(dst, &v.objVertex, 12);
        std::memcpy(dst + 12, &v.color, 4);
        if (textured) {
            std::memcpy(dst + 16, &v.u, 4);
            std::memcpy(dst + 20, &v.v, 4);
        }
    }
}

// Room in a shared dynamic buffer for n converted vertices, filled; the buffer and base go out.
bool Fill(const OvIm3DBatch& batch, bool textured, const OvUInt16* order, OvUInt32 n, IDirect3DVertexBuffer9** buffer,
          OvUInt32* base) {
    void* data = nullptr;
    if (!OvD3D9DynamicVertexBufferLock(textured ? 24 : 16, n, buffer, &data, base)) {
        return false;
    }
    Convert(data, batch, textured, order, n);
    OvD3D9DynamicVertexBufferUnlock(*buffer);
    return true;
}

void SetStates(const OvIm3DBatch& batch, bool textured) {
    OvD3D9RenderStateVertexAlphaEnable((batch.flags & ovIM3D_ALLOPAQUE) ? FALSE : TRUE);
    OvD3D9SetTransformWorld(batch.matrix);
    OvD3D9SetRenderState(D3DRS_LIGHTING, 0);
    OvD3D9SetRenderState(D3DRS_NORMALIZENORMALS, 0);
    OvD3D9SetRenderState(D3DRS_CLIPPING, (batch.flags & ovIM3D_NOCLIP) ? 0 : 1);
    OvD3D9SetVertexColourStage();
    OvD3D9SetVertexDeclaration(textured ? gIm3D.textured : gIm3D.plain);
    OvD3D9SetVertexShader(nullptr);
    OvD3D9SetPixelShader(nullptr);
}

// Straight from the caller's array, when nothing better worked.
void DrawFromMemory(const OvIm3DBatch& batch, D3DPRIMITIVETYPE type, OvInt32 primitives) {
    IDirect3DDevice9* d = OvD3D9GetDevice();
    OvD3D9SetVertexDeclaration(gIm3D.full);
    OvD3D9SetStreamSource(0, nullptr, 0, 0);
    if (batch.indices != nullptr && batch.numIndices > 0) {
        OvD3D9SetIndices(nullptr);
    }
    OvD3D9RenderStateFlush();
    ++OvD3D9FrameCount.drawCalls;
    if (batch.indices != nullptr && batch.numIndices > 0) {
        d->DrawIndexedPrimitiveUP(type, 0, batch.numVertices, static_cast<UINT>(primitives), batch.indices,
                                  D3DFMT_INDEX16, batch.vertices, kFullStride);
    } else {
        d->DrawPrimitiveUP(type, static_cast<UINT>(primitives), batch.vertices, kFullStride);
    }
}

bool DrawUnindexed(const OvIm3DBatch& batch, bool textured, D3DPRIMITIVETYPE type, OvInt32 primitives,
                   const OvUInt16* order, OvUInt32 n) {
    IDirect3DVertexBuffer9* buffer = nullptr;
    OvUInt32 base = 0;
    if (!Fill(batch, textured, order, n, &buffer, &base)) {
        return false;
    }
    OvD3D9SetStreamSource(0, buffer, 0, textured ? 24 : 16);
    OvD3D9RenderStateFlush();
    ++OvD3D9FrameCount.drawCalls;
    return OvD3D9GetDevice()->DrawPrimitive(type, base, static_cast<UINT>(primitives)) == D3D_OK;
}

bool DrawIndexed(const OvIm3DBatch& batch, bool textured, D3DPRIMITIVETYPE type, OvInt32 primitives) {
    const OvUInt32 count = batch.numIndices;
    if (gIm3D.indices == nullptr || count > ovD3D9IM3DINDICES) {
        return false;
    }
    IDirect3DVertexBuffer9* buffer = nullptr;
    OvUInt32 base = 0;
    if (!Fill(batch, textured, nullptr, batch.numVertices, &buffer, &base)) {
        return false;
    }
    OvUInt32 first = 0;
    if (!OvD3D9AppendIndices(gIm3D.indices, ovD3D9IM3DINDICES, &gIm3D.position, batch.indices, count, &first)) {
        return false;
    }
    OvD3D9SetStreamSource(0, buffer, 0, textured ? 24 : 16);
    OvD3D9SetIndices(gIm3D.indices);
    OvD3D9RenderStateFlush();
    ++OvD3D9FrameCount.drawCalls;
    const HRESULT hr = OvD3D9GetDevice()->DrawIndexedPrimitive(type, static_cast<INT>(base), 0, batch.numVertices,
                                                               first, static_cast<UINT>(primitives));
    return hr == D3D_OK;
}

OvBool OvNodeD3D9SubmitNoLightBody(OvPipelineNode*, const OvPipelineExecuteParams*) {
    const OvIm3DBatch* batch = OvIm3DGetInstancedBatch();
    if (batch == nullptr || OvD3D9GetDevice() == nullptr || gIm3D.full == nullptr) {
        return TRUE;
    }
    const bool textured = (batch->flags & ovIM3D_VERTEXUV) != 0;
    SetStates(*batch, textured);
    if (batch->numVertices == 0) {
        return TRUE;
    }
    const bool indexed = batch->indices != nullptr && batch->numIndices > 0;
    const D3DPRIMITIVETYPE type = OvD3D9PrimitiveType(batch->primType);
    const OvInt32 primitives =
        OvD3D9PrimitiveCount(type, static_cast<OvInt32>(indexed ? batch->numIndices : batch->numVertices));
    if (primitives <= 0) {
        return TRUE;
    }
    if (indexed) {
        // An index past the caller's array draws nothing.
        for (OvUInt32 i = 0; i < batch->numIndices; ++i) {
            if (batch->indices[i] >= batch->numVertices) {
                return TRUE;
            }
        }
    }
    bool drawn;
    if (!indexed) {
        drawn = DrawUnindexed(*batch, textured, type, primitives, nullptr, batch->numVertices);
    } else if (batch->numIndices > batch->numVertices || batch->numIndices > ovD3D9IM3DEXPANDLIMIT) {
        drawn = DrawIndexed(*batch, textured, type, primitives);
    } else {
        drawn = DrawUnindexed(*batch, textured, type, primitives, batch->indices, batch->numIndices);
    }
    if (!drawn) {
        DrawFromMemory(*batch, type, primitives);
    }
    return TRUE;
}

// clang-format off
OvNodeDefinition gSubmitNoLight = {"nodeD3D9SubmitNoLight.qxl", OvNodeD3D9SubmitNoLightBody,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, nullptr, 0, 0, 0};
// clang-format on

constexpr D3DVERTEXELEMENT9 kFull[] = {
    {0, 0, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0},
    {0, 12, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_NORMAL, 0},
    {0, 24, D3DDECLTYPE_D3DCOLOR, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_COLOR, 0},
    {0, 28, D3DDECLTYPE_FLOAT2, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_TEXCOORD, 0},
    D3DDECL_END(),
};
constexpr D3DVERTEXELEMENT9 kTextured[] = {
    {0, 0, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0},
    {0, 12, D3DDECLTYPE_D3DCOLOR, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_COLOR, 0},
    {0, 16, D3DDECLTYPE_FLOAT2, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_TEXCOORD, 0},
    D3DDECL_END(),
};
constexpr D3DVERTEXELEMENT9 kPlain[] = {
    {0, 0, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0},
    {0, 12, D3DDECLTYPE_D3DCOLOR, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_COLOR, 0},
    D3DDECL_END(),
};

} // namespace

OvNodeDefinition* OvNodeD3D9SubmitNoLightGetDefinition() { return &gSubmitNoLight; }

void OvD3D9Im3DReleaseDeviceObjects() {
    if (gIm3D.indices != nullptr) {
        gIm3D.indices->Release();
        gIm3D.indices = nullptr;
    }
    for (IDirect3DVertexDeclaration9** d : {&gIm3D.full, &gIm3D.textured, &gIm3D.plain}) {
        if (*d != nullptr) {
            OvD3D9DeleteVertexDeclaration(*d);
            *d = nullptr;
        }
    }
    gIm3D.position = 0;
}

OvBool OvD3D9Im3DCreateDeviceObjects() {
    IDirect3DDevice9* d = OvD3D9GetDevice();
    if (!gIm3D.wanted) {
        return TRUE;
    }
    const D3DPOOL pool = OvD3D9HasHardwareTnL() ? D3DPOOL_DEFAULT : D3DPOOL_SYSTEMMEM;
    if (d == nullptr || d->CreateIndexBuffer(ovD3D9IM3DINDICES * 2, D3DUSAGE_WRITEONLY | D3DUSAGE_DYNAMIC,
                                             D3DFMT_INDEX16, pool, &gIm3D.indices, nullptr) != D3D_OK) {
        gIm3D.indices = nullptr;
        OvD3D9Im3DReleaseDeviceObjects();
        return FALSE;
    }
    gIm3D.position = 0;
    if (!OvD3D9CreateVertexDeclaration(kFull, &gIm3D.full) ||
        !OvD3D9CreateVertexDeclaration(kTextured, &gIm3D.textured) ||
        !OvD3D9CreateVertexDeclaration(kPlain, &gIm3D.plain)) {
        OvD3D9Im3DReleaseDeviceObjects();
        return FALSE;
    }
    return TRUE;
}

OvBool OvD3D9Im3DCreateResources() {
    gIm3D.wanted = true;
    if (!OvD3D9Im3DCreateDeviceObjects()) {
        gIm3D.wanted = false;
        return FALSE;
    }
    return TRUE;
}

void OvD3D9Im3DReleaseResources() {
    OvD3D9Im3DReleaseDeviceObjects();
    gIm3D.wanted = false;
}

OvUInt32 OvD3D9Im3DIndexPosition() { return gIm3D.position; }
