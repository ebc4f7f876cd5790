#include "graphics/core/d3d9/im2d.h"

#include <cstring>

#include "graphics/core/d3d9/camera.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/device_cache.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/d3d9/vertex_buffer.h"
#include "graphics/core/raster.h"

namespace {

constexpr DWORD kDynamicUsage = D3DUSAGE_WRITEONLY | D3DUSAGE_DONOTCLIP | D3DUSAGE_DYNAMIC;
constexpr DWORD kAppend = D3DLOCK_NOOVERWRITE | D3DLOCK_NOSYSLOCK;
constexpr DWORD kDiscard = D3DLOCK_DISCARD | D3DLOCK_NOSYSLOCK;
constexpr UINT kStride = sizeof(OvD3D9Im2DVertex);

struct Im2D {
    IDirect3DVertexDeclaration9* declaration = nullptr;
    bool ownBuffer = false;
    IDirect3DVertexBuffer9* buffer = nullptr; // the own buffer, or the shared one of the last draw
    OvUInt32 count = 0;                       // vertices in use in the own buffer
    IDirect3DIndexBuffer9* indices = nullptr;
    OvUInt32 indexCount = 0;
};

Im2D gIm2D;

// Room for n vertices: in the own buffer (appending, or discarding when the draw would pass its
// end) or, without one or for a draw larger than it, in a shared dynamic buffer.
bool Room(OvUInt32 n, IDirect3DVertexBuffer9** buffer, void** data, OvUInt32* base, bool* own) {
    *own = gIm2D.ownBuffer && n <= ovD3D9IM2DOWNBUFFERVERTICES;
    if (!*own) {
        return OvD3D9DynamicVertexBufferLock(kStride, n, buffer, data, base) != FALSE;
    }
    DWORD flags = kAppend;
    if (gIm2D.count + n > ovD3D9IM2DOWNBUFFERVERTICES) {
        gIm2D.count = 0;
        flags = kDiscard;
    }
    *buffer = gIm2D.buffer;
    *base = gIm2D.count;
    return gIm2D.buffer->Lock(gIm2D.count * kStride, n * kStride, data, flags) == D3D_OK;
}

// The raster the vertices are drawn into: the current camera's, else the raster module's
// current context (outside begin and end update no camera is current).
void Offsets(float* dx, float* dy) {
    OvCamera* camera = OvD3D9GetCurrentCamera();
    const OvRaster* raster =
        camera != nullptr && camera->frameBuffer != nullptr ? camera->frameBuffer : OvRasterGetCurrentContext();
    *dx = raster != nullptr ? static_cast<float>(static_cast<OvInt16>(raster->nOffsetX)) : 0.0f;
    *dy = raster != nullptr ? static_cast<float>(static_cast<OvInt16>(raster->nOffsetY)) : 0.0f;
}

void SetState(IDirect3DVertexBuffer9* buffer) {
    OvD3D9SetVertexDeclaration(gIm2D.declaration);
    OvD3D9SetVertexShader(nullptr);
    OvD3D9SetPixelShader(nullptr);
    OvD3D9SetRenderState(D3DRS_CLIPPING, 0);
    OvD3D9SetRenderState(D3DRS_LIGHTING, 0);
    OvD3D9SetVertexColourStage();
    OvD3D9SetStreamSource(0, buffer, 0, kStride);
    OvD3D9RenderStateFlush();
}

// Copies n vertices into a buffer, vertex i from vertices[order[i]] (vertices[i] without an
// order), shifted by the raster's offsets; the buffer, base vertex and own-buffer use go out.
// The order is read in the caller's own index width, so no draw has to widen its indices first.
template <typename Index>
bool CopyIn(const OvD3D9Im2DVertex* vertices, const Index* order, OvUInt32 n, IDirect3DVertexBuffer9** buffer,
            OvUInt32* base, bool* own) {
    void* data = nullptr;
    if (!Room(n, buffer, &data, base, own)) {
        return false;
    }
    float dx = 0.0f, dy = 0.0f;
    Offsets(&dx, &dy);
    auto* out = static_cast<OvD3D9Im2DVertex*>(data);
    for (OvUInt32 i = 0; i < n; ++i) {
        out[i] = vertices[order != nullptr ? order[i] : i];
        out[i].x += dx;
        out[i].y += dy;
    }
    (*buffer)->Unlock();
    return true;
}

template <typename Index>
OvBool DrawCopied(D3DPRIMITIVETYPE type, const OvD3D9Im2DVertex* vertices, const Index* order, OvUInt32 n,
                  OvInt32 primitives) {
    IDirect3DVertexBuffer9* buffer = nullptr;
    OvUInt32 base = 0;
    bool own = false;
    if (!CopyIn(vertices, order, n, &buffer, &base, &own)) {
        return FALSE;
    }
    SetState(buffer);
    ++OvD3D9FrameCount.drawCalls;
    const HRESULT hr = OvD3D9GetDevice()->DrawPrimitive(type, base, static_cast<UINT>(primitives));
    if (own) {
        gIm2D.count += n;
    }
    return hr == D3D_OK ? TRUE : FALSE;
}

bool Ready() { return OvD3D9GetDevice() != nullptr && gIm2D.declaration != nullptr; }

} // namespace

D3DPRIMITIVETYPE OvD3D9PrimitiveType(OvInt32 primType) {
    switch (primType) {
    case 1:
        return D3DPT_LINELIST;
    case 2:
        return D3DPT_LINESTRIP;
    case 3:
        return D3DPT_TRIANGLELIST;
    case 4:
        return D3DPT_TRIANGLESTRIP;
    case 5:
        return D3DPT_TRIANGLEFAN;
    case 6:
        return D3DPT_POINTLIST;
    default:
        return 0;
    }
}

OvInt32 OvD3D9PrimitiveCount(D3DPRIMITIVETYPE type, OvInt32 n) {
    switch (type) {
    case D3DPT_LINELIST:
        return n / 2;
    case D3DPT_LINESTRIP:
        return n - 1;
    case D3DPT_TRIANGLELIST:
        return n / 3;
    case D3DPT_TRIANGLESTRIP:
    case D3DPT_TRIANGLEFAN:
        return n - 2;
    default:
        return 0;
    }
}

void OvD3D9SetVertexColourStage() {
    if (OvD3D9GetTextureRaster(0) != nullptr) {
        OvD3D9SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_MODULATE);
        OvD3D9SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
        OvD3D9SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_DIFFUSE);
        OvD3D9SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_MODULATE);
        OvD3D9SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_TEXTURE);
    } else {
        OvD3D9SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG2);
        OvD3D9SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_DIFFUSE);
        OvD3D9SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG2);
    }
    OvD3D9SetTextureStageState(0, D3DTSS_ALPHAARG2, D3DTA_DIFFUSE);
}

OvBool OvD3D9AppendIndices(IDirect3DIndexBuffer9* buffer, OvUInt32 capacity, OvUInt32* position,
                           const OvUInt16* indices, OvUInt32 count, OvUInt32* first) {
    DWORD flags = kAppend;
    if (*position + count > capacity) {
        *position = 0;
        flags = kDiscard;
    }
    void* data = nullptr;
    if (buffer->Lock(*position * 2, count * 2, &data, flags) != D3D_OK) {
        return FALSE;
    }
    std::memcpy(data, indices, count * 2);
    buffer->Unlock();
    *first = *position;
    *position += count;
    return TRUE;
}

OvBool OvD3D9Im2DOpen() {
    IDirect3DDevice9* d = OvD3D9GetDevice();
    gIm2D = {};
    if (d == nullptr) {
        return FALSE;
    }
    if (!OvD3D9HasHardwareTnL() && d->GetAvailableTextureMem() > 0x800000 &&
        d->CreateVertexBuffer(ovD3D9IM2DOWNBUFFERBYTES, kDynamicUsage, 0, D3DPOOL_DEFAULT, &gIm2D.buffer, nullptr) ==
            D3D_OK) {
        gIm2D.ownBuffer = true;
    }
    if (d->CreateIndexBuffer(ovD3D9IM2DINDICES * 2, kDynamicUsage, D3DFMT_INDEX16, D3DPOOL_DEFAULT, &gIm2D.indices,
                             nullptr) != D3D_OK) {
        gIm2D.indices = nullptr;
        OvD3D9Im2DClose();
        return FALSE;
    }
    const D3DVERTEXELEMENT9 elements[] = {
        {0, 0, D3DDECLTYPE_FLOAT4, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITIONT, 0},
        {0, 16, D3DDECLTYPE_D3DCOLOR, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_COLOR, 0},
        {0, 20, D3DDECLTYPE_FLOAT2, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_TEXCOORD, 0},
        D3DDECL_END(),
    };
    if (!OvD3D9CreateVertexDeclaration(elements, &gIm2D.declaration)) {
        OvD3D9Im2DClose();
        return FALSE;
    }
    return TRUE;
}

void OvD3D9Im2DClose() {
    if (gIm2D.declaration != nullptr) {
        OvD3D9DeleteVertexDeclaration(gIm2D.declaration);
    }
    if (gIm2D.ownBuffer && gIm2D.buffer != nullptr) {
        gIm2D.buffer->Release();
    }
    if (gIm2D.indices != nullptr) {
        gIm2D.indices->Release();
    }
    gIm2D = {};
}

OvBool OvD3D9Im2DUsesOwnBuffer() { return gIm2D.ownBuffer ? TRUE : FALSE; }
OvUInt32 OvD3D9Im2DOwnBufferCount() { return gIm2D.count; }

OvBool OvD3D9Im2DRenderLine(void* vertices, OvInt32 numVertices, OvInt32 vert1, OvInt32 vert2) {
    if (!Ready() || vert1 < 0 || vert2 < 0 || vert1 >= numVertices || vert2 >= numVertices) {
        return FALSE;
    }
    const OvUInt32 order[2] = {static_cast<OvUInt32>(vert1), static_cast<OvUInt32>(vert2)};
    return DrawCopied(D3DPT_LINELIST, static_cast<const OvD3D9Im2DVertex*>(vertices), order, 2, 1);
}

OvBool OvD3D9Im2DRenderTriangle(void* vertices, OvInt32 numVertices, OvInt32 vert1, OvInt32 vert2, OvInt32 vert3) {
    if (!Ready() || vert1 < 0 || vert2 < 0 || vert3 < 0 || vert1 >= numVertices || vert2 >= numVertices ||
        vert3 >= numVertices) {
        return FALSE;
    }
    const OvUInt32 order[3] = {static_cast<OvUInt32>(vert1), static_cast<OvUInt32>(vert2),
                               static_cast<OvUInt32>(vert3)};
    return DrawCopied(D3DPT_TRIANGLELIST, static_cast<const OvD3D9Im2DVertex*>(vertices), order, 3, 1);
}

OvBool OvD3D9Im2DRenderPrimitive(OvInt32 primType, void* vertices, OvInt32 numVertices) {
    const D3DPRIMITIVETYPE type = OvD3D9PrimitiveType(primType);
    if (!Ready() || type == 0) {
        return FALSE;
    }
    const OvInt32 primitives = OvD3D9PrimitiveCount(type, numVertices);
    if (primitives <= 0) {
        return TRUE;
    }
    return DrawCopied(type, static_cast<const OvD3D9Im2DVertex*>(vertices), static_cast<const OvUInt32*>(nullptr),
                      static_cast<OvUInt32>(numVertices), primitives);
}

OvBool OvD3D9Im2DRenderIndexedPrimitive(OvInt32 primType, void* vertices, OvInt32 numVertices, void* indexArray,
                                        OvInt32 numIndices) {
    const D3DPRIMITIVETYPE type = OvD3D9PrimitiveType(primType);
    if (!Ready() || type == 0 || numVertices < 0 || numIndices < 0) {
        return FALSE;
    }
    const auto* indices = static_cast<const OvUInt16*>(indexArray);
    for (OvInt32 i = 0; i < numIndices; ++i) {
        if (indices[i] >= numVertices) {
            return FALSE;
        }
    }
    const OvInt32 primitives = OvD3D9PrimitiveCount(type, numIndices);
    if (primitives <= 0) {
        return TRUE;
    }
    const auto* source = static_cast<const OvD3D9Im2DVertex*>(vertices);
    if (numIndices <= numVertices) {
        // No more indices than vertices: the indexed vertices are expanded and drawn unindexed.
        return DrawCopied(type, source, indices, static_cast<OvUInt32>(numIndices), primitives);
    }
    const OvUInt32 m = static_cast<OvUInt32>(numIndices);
    const OvUInt32 n = static_cast<OvUInt32>(numVertices);
    IDirect3DVertexBuffer9* buffer = nullptr;
    OvUInt32 base = 0;
    bool own = false;
    if (gIm2D.indices == nullptr || m > ovD3D9IM2DINDICES ||
        !CopyIn(source, static_cast<const OvUInt16*>(nullptr), n, &buffer, &base, &own)) {
        return FALSE;
    }
    if (own) {
        gIm2D.count += n;
    }
    OvUInt32 first = 0;
    if (!OvD3D9AppendIndices(gIm2D.indices, ovD3D9IM2DINDICES, &gIm2D.indexCount, indices, m, &first)) {
        return FALSE;
    }
    SetState(buffer);
    OvD3D9SetIndices(gIm2D.indices);
    ++OvD3D9FrameCount.drawCalls;
    const HRESULT hr = OvD3D9GetDevice()->DrawIndexedPrimitive(type, static_cast<INT>(base), 0, n, first,
                                                               static_cast<UINT>(primitives));
    return hr == D3D_OK ? TRUE : FALSE;
}
