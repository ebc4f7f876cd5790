#include "graphics/core/d3d9/device_cache.h"

#include <cstring>
#include <map>
#include <vector>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/raster_internal.h"

namespace {

template <typename T> struct Slot {
    T value{};
    bool valid = false; // false: matches nothing, the next set reaches the device
    bool Same(T v) const { return valid && value == v; }
    void Set(T v) {
        value = v;
        valid = true;
    }
};

struct StreamSlot {
    IDirect3DVertexBuffer9* buffer = nullptr;
    bool valid = false;
    OvUInt32 offset = 0;
    OvUInt32 stride = 0;
};

struct LightEntry {
    D3DLIGHT9 light;
    bool enabled;
};

struct DeclarationEntry {
    IDirect3DVertexDeclaration9* declaration; // null once released to zero
    std::vector<D3DVERTEXELEMENT9> elements;  // with the end marker
};

struct Caches {
    IDirect3DSurface9* depth = nullptr;
    IDirect3DSurface9* targets[ovD3D9NUMRENDERTARGETS] = {};
    Slot<OvUInt32> fvf;
    Slot<IDirect3DVertexDeclaration9*> declaration;
    Slot<IDirect3DVertexShader9*> vertexShader;
    Slot<IDirect3DPixelShader9*> pixelShader;
    Slot<IDirect3DIndexBuffer9*> indices;
    StreamSlot streams[ovD3D9NUMSTREAMS];
    // Each slot null (the identity, never sent through the cache) or a matrix of the free list.
    D3DMATRIX* transforms[ovD3D9NUMTRANSFORMS] = {};
    OvFreeList* matrices = nullptr; // 64-byte entries, 15 a block, 16-byte aligned
    bool worldIdentity = false;
    // By light number: the low numbers side by side, any beyond them one entry each, so a high
    // number costs no more than a low one.
    std::vector<LightEntry> lights;
    std::map<OvUInt32, LightEntry> farLights;
    std::vector<DeclarationEntry> declarations;
};

Caches gCaches;

constexpr D3DMATRIX kIdentity = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};

IDirect3DDevice9* Device() { return OvD3D9GetDevice(); }

bool SameMatrix(const D3DMATRIX& a, const D3DMATRIX& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool SameColour(const D3DCOLORVALUE& a, const D3DCOLORVALUE& b) { return a.r == b.r && a.g == b.g && a.b == b.b; }
bool SameVector(const D3DVECTOR& a, const D3DVECTOR& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

// Only what shapes the light's effect for its type is compared.
bool SameLight(const D3DLIGHT9& a, const D3DLIGHT9& b) {
    if (a.Type != b.Type || !SameColour(a.Diffuse, b.Diffuse)) {
        return false;
    }
    switch (a.Type) {
    case D3DLIGHT_POINT:
        return SameVector(a.Position, b.Position) && a.Range == b.Range;
    case D3DLIGHT_SPOT:
        return SameVector(a.Position, b.Position) && SameVector(a.Direction, b.Direction) && a.Range == b.Range &&
               a.Theta == b.Theta && a.Phi == b.Phi;
    default:
        return SameVector(a.Direction, b.Direction);
    }
}

constexpr OvInt32 kMatricesPerBlock = 15;
constexpr OvUInt32 kNearLights = 256; // light numbers kept side by side

// The cached light of a number, or null.
LightEntry* FindLight(OvUInt32 index) {
    if (index < gCaches.lights.size()) {
        return &gCaches.lights[index];
    }
    const auto far = gCaches.farLights.find(index);
    return far != gCaches.farLights.end() ? &far->second : nullptr;
}

// Every slot's matrix goes back to the free list (made on first use), the list gives back its
// empty blocks, and the world slot gets a fresh identity.
void ResetTransforms() {
    if (gCaches.matrices == nullptr) {
        gCaches.matrices = OvFreeListCreate(sizeof(D3DMATRIX), kMatricesPerBlock, 16, ovD3D9MEMHINT);
    }
    for (D3DMATRIX*& slot : gCaches.transforms) {
        if (slot != nullptr) {
            OvFreeListEntryFree(gCaches.matrices, slot);
            slot = nullptr;
        }
    }
    if (gCaches.matrices != nullptr) {
        OvFreeListPurge(gCaches.matrices);
        D3DMATRIX*& world = gCaches.transforms[D3DTS_WORLD];
        world = static_cast<D3DMATRIX*>(OvFreeListEntryAlloc(gCaches.matrices, ovD3D9MEMHINT));
        if (world != nullptr) {
            *world = kIdentity;
        }
    }
    gCaches.worldIdentity = false;
}

// Stores a matrix in a slot (taking an entry on first use); false when there is no memory.
bool Store(D3DMATRIX*& slot, const D3DMATRIX& m) {
    if (slot == nullptr) {
        slot = gCaches.matrices != nullptr
                   ? static_cast<D3DMATRIX*>(OvFreeListEntryAlloc(gCaches.matrices, ovD3D9MEMHINT))
                   : nullptr;
        if (slot == nullptr) {
            return false;
        }
    }
    *slot = m;
    return true;
}

} // namespace

HRESULT OvD3D9SetDepthSurface(IDirect3DSurface9* surface) {
    if (surface == gCaches.depth) {
        return D3D_OK;
    }
    IDirect3DDevice9* d = Device();
    const HRESULT hr = d != nullptr ? d->SetDepthStencilSurface(surface) : D3DERR_INVALIDCALL;
    if (SUCCEEDED(hr)) {
        gCaches.depth = surface;
    }
    return hr;
}

OvBool OvD3D9SetRenderTargetSurface(OvUInt32 index, IDirect3DSurface9* surface) {
    if (index >= ovD3D9NUMRENDERTARGETS) {
        return FALSE;
    }
    if (surface == gCaches.targets[index]) {
        return TRUE;
    }
    IDirect3DDevice9* d = Device();
    if (d == nullptr || FAILED(d->SetRenderTarget(index, surface))) {
        return FALSE;
    }
    gCaches.targets[index] = surface;
    return TRUE;
}

OvBool OvD3D9SetRenderTarget(OvUInt32 index, OvRaster* raster) {
    if (raster == nullptr) {
        return OvD3D9SetRenderTargetSurface(index, nullptr);
    }
    IDirect3DSurface9* surface = d3d9raster::LevelSurface(OvD3D9RasterExtGet(d3d9raster::Top(raster)), 0);
    if (surface == nullptr) {
        return FALSE;
    }
    const OvBool set = OvD3D9SetRenderTargetSurface(index, surface);
    surface->Release(); // the device holds the target while it is bound
    return set;
}

void OvD3D9SetFVF(OvUInt32 fvf) {
    if (gCaches.fvf.Same(fvf) || Device() == nullptr) {
        return;
    }
    gCaches.declaration.valid = false;
    gCaches.fvf.valid = false;
    if (SUCCEEDED(Device()->SetFVF(fvf))) {
        gCaches.fvf.Set(fvf);
    }
}

void OvD3D9SetVertexDeclaration(IDirect3DVertexDeclaration9* declaration) {
    if (gCaches.declaration.Same(declaration) || Device() == nullptr) {
        return;
    }
    gCaches.fvf.valid = false;
    gCaches.declaration.valid = false;
    if (SUCCEEDED(Device()->SetVertexDeclaration(declaration))) {
        gCaches.declaration.Set(declaration);
    }
}

void OvD3D9SetVertexShader(IDirect3DVertexShader9* shader) {
    if (gCaches.vertexShader.Same(shader) || Device() == nullptr) {
        return;
    }
    gCaches.vertexShader.valid = false;
    if (SUCCEEDED(Device()->SetVertexShader(shader))) {
        gCaches.vertexShader.Set(shader);
    }
}

void OvD3D9SetPixelShader(IDirect3DPixelShader9* shader) {
    if (gCaches.pixelShader.Same(shader) || Device() == nullptr) {
        return;
    }
    gCaches.pixelShader.valid = false;
    if (SUCCEEDED(Device()->SetPixelShader(shader))) {
        gCaches.pixelShader.Set(shader);
    }
}

void OvD3D9SetIndices(IDirect3DIndexBuffer9* buffer) {
    if (gCaches.indices.Same(buffer) || Device() == nullptr) {
        return;
    }
    gCaches.indices.valid = false;
    if (SUCCEEDED(Device()->SetIndices(buffer))) {
        gCaches.indices.Set(buffer);
    }
}

void OvD3D9SetStreamSource(OvUInt32 stream, IDirect3DVertexBuffer9* buffer, OvUInt32 offset, OvUInt32 stride) {
    if (stream >= ovD3D9NUMSTREAMS || Device() == nullptr) {
        return;
    }
    StreamSlot& s = gCaches.streams[stream];
    if (s.valid && s.buffer == buffer && s.offset == offset && s.stride == stride) {
        return;
    }
    s.valid = false;
    if (SUCCEEDED(Device()->SetStreamSource(stream, buffer, offset, stride))) {
        s = {buffer, true, offset, stride};
    }
}

void OvD3D9SetStreams(const OvD3D9Stream streams[2], OvBool useOffsets) {
    for (OvUInt32 i = 0; i < 2; ++i) {
        const OvD3D9Stream& s = streams[i];
        if (s.buffer == nullptr) {
            // Only a stream that holds a buffer is cleared.
            if (!gCaches.streams[i].valid || gCaches.streams[i].buffer != nullptr) {
                OvD3D9SetStreamSource(i, nullptr, 0, 0);
            }
        } else {
            OvD3D9SetStreamSource(i, s.buffer, useOffsets ? s.offset : 0, s.stride);
        }
    }
}

OvBool OvD3D9SetTransform(OvUInt32 state, const D3DMATRIX* matrix) {
    if (state >= ovD3D9NUMTRANSFORMS || Device() == nullptr) {
        return FALSE;
    }
    const D3DMATRIX& m = matrix != nullptr ? *matrix : kIdentity;
    D3DMATRIX*& slot = gCaches.transforms[state];
    if (slot != nullptr && SameMatrix(*slot, m)) {
        return TRUE;
    }
    if (!Store(slot, m)) {
        return FALSE;
    }
    if (state == D3DTS_WORLD) {
        gCaches.worldIdentity = SameMatrix(m, kIdentity);
    }
    return SUCCEEDED(Device()->SetTransform(state, &m)) ? TRUE : FALSE;
}

void OvD3D9GetTransform(OvUInt32 state, D3DMATRIX* out) {
    if (out == nullptr) {
        return;
    }
    const D3DMATRIX* slot = state < ovD3D9NUMTRANSFORMS ? gCaches.transforms[state] : nullptr;
    *out = slot != nullptr ? *slot : kIdentity;
}

OvBool OvD3D9SetTransformWorld(const OvMatrix* matrix) {
    IDirect3DDevice9* d = Device();
    if (d == nullptr) {
        return FALSE;
    }
    D3DMATRIX*& slot = gCaches.transforms[D3DTS_WORLD];
    if (matrix == nullptr || (matrix->flags & ovMATRIXINTERNALIDENTITY)) {
        if (gCaches.worldIdentity) {
            return TRUE;
        }
        if (!Store(slot, kIdentity)) {
            return FALSE;
        }
        gCaches.worldIdentity = true;
        return SUCCEEDED(d->SetTransform(D3DTS_WORLD, &kIdentity)) ? TRUE : FALSE;
    }
    const D3DMATRIX m = {{{matrix->right.x, matrix->right.y, matrix->right.z, 0.0f},
                          {matrix->up.x, matrix->up.y, matrix->up.z, 0.0f},
                          {matrix->at.x, matrix->at.y, matrix->at.z, 0.0f},
                          {matrix->pos.x, matrix->pos.y, matrix->pos.z, 1.0f}}};
    if (!gCaches.worldIdentity && slot != nullptr && SameMatrix(*slot, m)) {
        return TRUE;
    }
    if (!Store(slot, m)) {
        return FALSE;
    }
    gCaches.worldIdentity = false;
    return SUCCEEDED(d->SetTransform(D3DTS_WORLD, &m)) ? TRUE : FALSE;
}

OvBool OvD3D9SetLight(OvUInt32 index, const D3DLIGHT9* light) {
    IDirect3DDevice9* d = Device();
    if (light == nullptr || d == nullptr) {
        return FALSE;
    }
    LightEntry* entry = FindLight(index);
    if (entry != nullptr && SameLight(entry->light, *light)) {
        return TRUE;
    }
    if (entry == nullptr) {
        std::vector<LightEntry>& lights = gCaches.lights;
        if (index < kNearLights) {
            lights.resize(std::size_t{index} + 1, LightEntry{D3DLIGHT9{}, false});
            entry = &lights[index];
        } else {
            entry = &gCaches.farLights.emplace(index, LightEntry{D3DLIGHT9{}, false}).first->second;
        }
    }
    entry->light = *light;
    return SUCCEEDED(d->SetLight(index, light)) ? TRUE : FALSE;
}

OvBool OvD3D9EnableLight(OvUInt32 index, OvBool enable) {
    IDirect3DDevice9* d = Device();
    LightEntry* entry = d != nullptr ? FindLight(index) : nullptr;
    if (entry != nullptr && entry->enabled != (enable != FALSE)) {
        entry->enabled = enable != FALSE;
        d->LightEnable(index, enable ? TRUE : FALSE);
    }
    return TRUE;
}

void OvD3D9RestoreLights() {
    IDirect3DDevice9* d = Device();
    if (d == nullptr) {
        return;
    }
    const auto send = [d](OvUInt32 index, const LightEntry& e) {
        d->SetLight(index, &e.light);
        d->LightEnable(index, e.enabled ? TRUE : FALSE);
    };
    for (std::size_t i = 0; i < gCaches.lights.size(); ++i) {
        send(static_cast<OvUInt32>(i), gCaches.lights[i]);
    }
    for (const auto& [index, entry] : gCaches.farLights) {
        send(index, entry);
    }
}

OvBool OvD3D9CreateIndexBuffer(OvUInt32 numIndices, IDirect3DIndexBuffer9** out) {
    IDirect3DDevice9* d = Device();
    if (out == nullptr || d == nullptr || numIndices == 0 || numIndices > 0x7FFFFFFFu / 2) {
        return FALSE;
    }
    return SUCCEEDED(
               d->CreateIndexBuffer(numIndices * 2, D3DUSAGE_WRITEONLY, D3DFMT_INDEX16, D3DPOOL_MANAGED, out, nullptr))
               ? TRUE
               : FALSE;
}

OvBool OvD3D9CreateVertexDeclaration(const D3DVERTEXELEMENT9* elements, IDirect3DVertexDeclaration9** out) {
    IDirect3DDevice9* d = Device();
    if (out == nullptr) {
        return FALSE;
    }
    *out = nullptr;
    if (elements == nullptr || d == nullptr) {
        return FALSE;
    }
    std::size_t count = 0;
    while (count <= ovD3D9MAXDECLARATIONELEMENTS && elements[count].Type != D3DDECLTYPE_UNUSED) {
        ++count;
    }
    if (count > ovD3D9MAXDECLARATIONELEMENTS) {
        return FALSE;
    }
    ++count; // the end marker
    for (DeclarationEntry& e : gCaches.declarations) {
        if (e.elements.size() == count && std::memcmp(e.elements.data(), elements, count * sizeof *elements) == 0) {
            if (e.declaration == nullptr) {
                if (FAILED(d->CreateVertexDeclaration(elements, &e.declaration))) {
                    e.declaration = nullptr;
                    return FALSE;
                }
            } else {
                e.declaration->AddRef();
            }
            *out = e.declaration;
            return TRUE;
        }
    }
    IDirect3DVertexDeclaration9* declaration = nullptr;
    if (FAILED(d->CreateVertexDeclaration(elements, &declaration)) || declaration == nullptr) {
        return FALSE;
    }
    if (gCaches.declarations.size() == gCaches.declarations.capacity()) {
        gCaches.declarations.reserve(gCaches.declarations.size() + 16);
    }
    gCaches.declarations.push_back({declaration, std::vector<D3DVERTEXELEMENT9>(elements, elements + count)});
    *out = declaration;
    return TRUE;
}

void OvD3D9DeleteVertexDeclaration(IDirect3DVertexDeclaration9* declaration) {
    if (declaration == nullptr) {
        return;
    }
    for (DeclarationEntry& e : gCaches.declarations) {
        if (e.declaration == declaration) {
            if (e.declaration->Release() == 0) {
                e.declaration = nullptr;
                if (gCaches.declaration.Same(declaration)) {
                    gCaches.declaration.valid = false;
                }
            }
            return;
        }
    }
}

OvBool OvD3D9CreateVertexShader(const DWORD* tokens, IDirect3DVertexShader9** out) {
    IDirect3DDevice9* d = Device();
    if (out == nullptr || d == nullptr || FAILED(d->CreateVertexShader(tokens, out))) {
        return FALSE;
    }
    gCaches.vertexShader.valid = false;
    return TRUE;
}

OvBool OvD3D9CreatePixelShader(const DWORD* tokens, IDirect3DPixelShader9** out) {
    IDirect3DDevice9* d = Device();
    return out != nullptr && d != nullptr && SUCCEEDED(d->CreatePixelShader(tokens, out)) ? TRUE : FALSE;
}

OvUInt32 OvD3D9DeleteShader(IDirect3DVertexShader9* shader) { return shader != nullptr ? shader->Release() : 0; }
OvUInt32 OvD3D9DeleteShader(IDirect3DPixelShader9* shader) { return shader != nullptr ? shader->Release() : 0; }

void OvD3D9DeviceCacheForgetBindings() {
    gCaches.fvf.valid = false;
    gCaches.declaration.valid = false;
    gCaches.vertexShader.valid = false;
    gCaches.pixelShader.valid = false;
    gCaches.indices.valid = false;
    for (StreamSlot& s : gCaches.streams) {
        s = {};
    }
    ResetTransforms();
}

IDirect3DDevice9* OvD3D9DeviceResetCache() {
    gCaches.depth = nullptr;
    for (IDirect3DSurface9*& t : gCaches.targets) {
        t = nullptr;
    }
    OvD3D9DeviceCacheForgetBindings();
    gCaches.lights.clear();
    gCaches.lights.shrink_to_fit();
    gCaches.farLights.clear();
    return Device();
}

void OvD3D9DeviceCacheSetDeviceTargets(IDirect3DSurface9* backBuffer, IDirect3DSurface9* depth) {
    for (IDirect3DSurface9*& t : gCaches.targets) {
        t = nullptr;
    }
    gCaches.targets[0] = backBuffer;
    gCaches.depth = depth;
}

void OvD3D9DeviceCacheClose() {
    OvD3D9DeviceResetCache();
    if (gCaches.matrices != nullptr) {
        for (D3DMATRIX*& slot : gCaches.transforms) {
            if (slot != nullptr) {
                OvFreeListEntryFree(gCaches.matrices, slot);
                slot = nullptr;
            }
        }
        OvFreeListDestroy(gCaches.matrices);
        gCaches.matrices = nullptr;
    }
    for (DeclarationEntry& e : gCaches.declarations) {
        if (e.declaration != nullptr) {
            while (e.declaration->Release() != 0) {
            }
        }
    }
    gCaches.declarations.clear();
    gCaches.declarations.shrink_to_fit();
}
