#include "graphics/plugins/particles.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "graphics/core/d3d9/camera.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/device_cache.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/d3d9/vertex_buffer.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/memory.h"
#include "graphics/core/texture.h"
#include "graphics/world/d3d9_pipeline.h"
#include "graphics/world/geometry.h"
#include "graphics/world/material.h"
#include "graphics/world/world_plugin.h"

namespace {

constexpr OvUInt32 kHintBatch = ovMEMHINTDUR_OBJECT | ovPLUGINIDPARTICLES;
constexpr OvUInt32 kHintInterleaved = ovMEMHINTDUR_OBJECT;
constexpr OvUInt32 kHintSeparate = ovMEMHINTDUR_OBJECT | ovPLUGINIDPARTICLES;
// Quads one 16-bit index buffer can address (4 vertices each, indices below 65,536).
constexpr OvInt32 kMaxIndexedQuads = ovPARTICLEMAXQUADVERTICES / 4;

enum Slot { kPosition, kMatrix, kNormal, kSize, kColor, kCornerColors, kRotation, kTexRect, kTexCorners };

struct PluginState {
    OvInt32 atomicOffset = -1;
    OvInt32 opens = 0;
    float maxPointSize = 0.0f;
    bool pointSizeCap = false;
    IDirect3DIndexBuffer9* indexBuffer = nullptr;
    OvInt32 indexQuads = 0;
};
PluginState gParticles;

OvParticleBatch*& Ext(const OvAtomic* atomic) {
    return *reinterpret_cast<OvParticleBatch**>(reinterpret_cast<OvUInt8*>(const_cast<OvAtomic*>(atomic)) +
                                                gParticles.atomicOffset);
}

void ReadCaps() {
    if (const D3DCAPS9* caps = OvD3D9GetCaps()) {
        gParticles.maxPointSize = caps->MaxPointSize;
        gParticles.pointSizeCap = (caps->FVFCaps & D3DFVFCAPS_PSIZE) != 0;
    }
}

void ReleaseIndexBuffer() {
    if (gParticles.indexBuffer != nullptr) {
        gParticles.indexBuffer->Release();
        gParticles.indexBuffer = nullptr;
    }
    gParticles.indexQuads = 0;
}

void* ParticlesOpen(void* instance, OvInt32, OvInt32) {
    if (gParticles.opens++ == 0) {
        ReadCaps();
    }
    return instance;
}

void* ParticlesClose(void* instance, OvInt32, OvInt32) {
    if (gParticles.opens > 0 && --gParticles.opens == 0) {
        ReleaseIndexBuffer();
        gParticles.maxPointSize = 0.0f;
        gParticles.pointSizeCap = false;
    }
    return instance;
}

void FreeBatch(OvParticleBatch* batch) {
    if (batch != nullptr) {
        OvFree(batch->streamBlock);
        OvFree(batch);
    }
}

void* ExtConstruct(void* object, OvInt32 offset, OvInt32) {
    *reinterpret_cast<OvParticleBatch**>(static_cast<OvUInt8*>(object) + offset) = nullptr;
    return object;
}
void* ExtDestruct(void* object, OvInt32 offset, OvInt32) {
    auto*& batch = *reinterpret_cast<OvParticleBatch**>(static_cast<OvUInt8*>(object) + offset);
    FreeBatch(batch);
    batch = nullptr;
    return object;
}
void* ExtCopy(void* dst, const void*, OvInt32 offset, OvInt32) {
    // A copy is a plain atomic: the streams belong to one batch.
    *reinterpret_cast<OvParticleBatch**>(static_cast<OvUInt8*>(dst) + offset) = nullptr;
    return dst;
}

// The shared index buffer covers at least min(quads, kMaxIndexedQuads) quads: 4i, 4i+1, 4i+2,
// 4i, 4i+2, 4i+3 for quad i. Larger batches are drawn in runs with a base vertex.
bool EnsureIndexBuffer(OvInt32 quads) {
    quads = std::min(quads, kMaxIndexedQuads);
    if (quads <= gParticles.indexQuads) {
        return true;
    }
    IDirect3DIndexBuffer9* buffer = nullptr;
    if (!OvD3D9CreateIndexBuffer(static_cast<OvUInt32>(quads) * 6, &buffer) || buffer == nullptr) {
        return false;
    }
    void* p = nullptr;
    if (FAILED(buffer->Lock(0, static_cast<UINT>(quads) * 12, &p, 0)) || p == nullptr) {
        buffer->Release();
        return false;
    }
    auto* out = static_cast<OvUInt16*>(p);
    for (OvInt32 i = 0; i < quads; ++i) {
        const auto v = static_cast<OvUInt16>(4 * i);
        const OvUInt16 q[6] = {v, static_cast<OvUInt16>(v + 1), static_cast<OvUInt16>(v + 2),
                               v, static_cast<OvUInt16>(v + 2), static_cast<OvUInt16>(v + 3)};
        std::memcpy(out + 6 * i, q, sizeof q);
    }
    buffer->Unlock();
    ReleaseIndexBuffer();
    gParticles.indexBuffer = buffer;
    gParticles.indexQuads = quads;
    return true;
}

// ---- Flags ---------------------------------------------------------------------------------------

OvUInt32 NormaliseFlags(OvUInt32 flags) {
    // A per-particle stream wins over its per-batch twin.
    static constexpr OvUInt32 kTwins[][2] = {{ovPARTICLEMATRIX, ovPARTICLECONSTMATRIX},
                                             {ovPARTICLEROTATION, ovPARTICLECONSTROTATION},
                                             {ovPARTICLECORNERCOLORS, ovPARTICLECONSTCORNERCOLORS},
                                             {ovPARTICLETEXRECT, ovPARTICLECONSTTEXRECT},
                                             {ovPARTICLETEXCORNERS, ovPARTICLECONSTTEXCORNERS}};
    for (const auto& t : kTwins) {
        if ((flags & t[0]) != 0) {
            flags &= ~t[1];
        }
    }
    if ((flags & ovPARTICLEMATRIX) != 0) {
        flags &= ~(ovPARTICLEPOSITION | ovPARTICLESIZE | ovPARTICLEROTATION);
    } else {
        flags |= ovPARTICLEPOSITION;
    }
    if ((flags & (ovPARTICLESEPARATE | ovPARTICLEINTERLEAVED)) == 0) {
        flags |= ovPARTICLESEPARATE;
    }
    return flags;
}

OvUInt32 ToArgb(const OvUInt8* rgba) {
    return static_cast<OvUInt32>(rgba[3]) << 24 | static_cast<OvUInt32>(rgba[0]) << 16 |
           static_cast<OvUInt32>(rgba[1]) << 8 | rgba[2];
}
OvUInt32 ToArgb(const OvRGBA& c) {
    const OvUInt8 b[4] = {c.red, c.green, c.blue, c.alpha};
    return ToArgb(b);
}

const float* Element(const OvParticleBatch* b, Slot slot, OvInt32 i) {
    const OvParticleStream& s = b->streams[slot];
    return reinterpret_cast<const float*>(static_cast<const OvUInt8*>(s.data) + static_cast<std::size_t>(i) * s.stride);
}

// ---- Corner writers ---------------------------------------------------------------------------

OvV3d Madd(const OvV3d& p, const OvV3d& a, float sa, const OvV3d& b, float sb) {
    return {p.x + a.x * sa + b.x * sb, p.y + a.y * sa + b.y * sb, p.z + a.z * sa + b.z * sb};
}

template <bool Pivot>
void Corners(const OvParticleBatch* b, OvV3d p, const OvV3d& r, const OvV3d& u, float w, float h, OvV3d c[4]) {
    if constexpr (Pivot) {
        p = Madd(p, r, b->pivot[0], u, b->pivot[1]);
    }
    const float hw = 0.5f * w, hh = 0.5f * h;
    c[0] = Madd(p, r, -hw, u, -hh);
    c[1] = Madd(p, r, hw, u, -hh);
    c[2] = Madd(p, r, hw, u, hh);
    c[3] = Madd(p, r, -hw, u, hh);
}

// R' = cos a R - sin a U, U' = cos a U + sin a R.
void Turn(const OvParticleAxes& in, float a, OvV3d* r, OvV3d* u) {
    const float c = std::cos(a), s = std::sin(a);
    *r = Madd({0, 0, 0}, in.right, c, in.up, -s);
    *u = Madd({0, 0, 0}, in.up, c, in.right, s);
}

OvV3d PositionOf(const OvParticleBatch* b, OvInt32 i) {
    const float* p = Element(b, kPosition, i);
    return {p[0], p[1], p[2]};
}

template <bool Pivot> void BasicCorners(const OvParticleBatch* b, const OvParticleAxes* a, OvInt32 i, OvV3d c[4]) {
    Corners<Pivot>(b, PositionOf(b, i), a->right, a->up, b->width, Pivot ? b->width : b->height, c);
}
template <bool Pivot> void SizeCorners(const OvParticleBatch* b, const OvParticleAxes* a, OvInt32 i, OvV3d c[4]) {
    const float* s = Element(b, kSize, i);
    Corners<Pivot>(b, PositionOf(b, i), a->right, a->up, s[0], s[1], c);
}
template <bool Pivot> void RotationCorners(const OvParticleBatch* b, const OvParticleAxes* a, OvInt32 i, OvV3d c[4]) {
    OvV3d r, u;
    Turn(*a, *Element(b, kRotation, i), &r, &u);
    Corners<Pivot>(b, PositionOf(b, i), r, u, b->width, b->height, c);
}
template <bool Pivot>
void RotationSizeCorners(const OvParticleBatch* b, const OvParticleAxes* a, OvInt32 i, OvV3d c[4]) {
    OvV3d r, u;
    Turn(*a, *Element(b, kRotation, i), &r, &u);
    const float* s = Element(b, kSize, i);
    Corners<Pivot>(b, PositionOf(b, i), r, u, s[0], s[1], c);
}
template <bool Pivot> void MatrixCorners(const OvParticleBatch* b, const OvParticleAxes*, OvInt32 i, OvV3d c[4]) {
    OvMatrix m;
    std::memcpy(&m, Element(b, kMatrix, i), sizeof m);
    Corners<Pivot>(b, m.pos, m.right, m.up, b->width, b->height, c);
}

template <bool Pivot> OvParticleCornerWriter ChooseCorners(OvUInt32 flags) {
    if ((flags & ovPARTICLEMATRIX) != 0) {
        return MatrixCorners<Pivot>;
    }
    const bool rotation = (flags & ovPARTICLEROTATION) != 0, size = (flags & ovPARTICLESIZE) != 0;
    if (rotation) {
        return size ? RotationSizeCorners<Pivot> : RotationCorners<Pivot>;
    }
    return size ? SizeCorners<Pivot> : BasicCorners<Pivot>;
}

// ---- Texture-coordinate and colour writers ----------------------------------------------------

void RectCorners(const float* r, OvV2d uv[4]) {
    uv[0] = {r[0], r[3]};
    uv[1] = {r[2], r[3]};
    uv[2] = {r[2], r[1]};
    uv[3] = {r[0], r[1]};
}
void TexRect(const OvParticleBatch* b, OvInt32 i, OvV2d uv[4]) { RectCorners(Element(b, kTexRect, i), uv); }
void TexCorners(const OvParticleBatch* b, OvInt32 i, OvV2d uv[4]) {
    std::memcpy(uv, Element(b, kTexCorners, i), 4 * sizeof(OvV2d));
}
void ConstTexRect(const OvParticleBatch* b, OvInt32, OvV2d uv[4]) { RectCorners(b->texRect, uv); }
void ConstTexCorners(const OvParticleBatch* b, OvInt32, OvV2d uv[4]) {
    std::memcpy(uv, b->texCorners, 4 * sizeof(OvV2d));
}
// A textured batch without coordinates of its own shows the whole texture on every quad.
void FullTexRect(const OvParticleBatch*, OvInt32, OvV2d uv[4]) {
    static constexpr float kFull[4] = {0.0f, 0.0f, 1.0f, 1.0f};
    RectCorners(kFull, uv);
}

void OneColor(const OvParticleBatch* b, OvInt32 i, OvUInt32 argb[4]) {
    argb[0] = argb[1] = argb[2] = argb[3] = ToArgb(reinterpret_cast<const OvUInt8*>(Element(b, kColor, i)));
}
void CornerColors(const OvParticleBatch* b, OvInt32 i, OvUInt32 argb[4]) {
    const auto* c = reinterpret_cast<const OvUInt8*>(Element(b, kCornerColors, i));
    for (int k = 0; k < 4; ++k) {
        argb[k] = ToArgb(c + 4 * k);
    }
}
void ConstCornerColors(const OvParticleBatch* b, OvInt32, OvUInt32 argb[4]) {
    std::memcpy(argb, b->cornerColors, 4 * sizeof(OvUInt32));
}

void ChooseWriters(OvParticleBatch* b) {
    const OvUInt32 f = b->flags;
    b->cornerWriter = (f & ovPARTICLEPIVOT) != 0 ? ChooseCorners<true>(f) : ChooseCorners<false>(f);
    if (b->pointSprites) {
        b->texWriter = nullptr; // the device spans the sprite's texture
    } else if ((f & ovPARTICLETEXRECT) != 0) {
        b->texWriter = TexRect;
    } else if ((f & ovPARTICLETEXCORNERS) != 0) {
        b->texWriter = TexCorners;
    } else if ((f & ovPARTICLECONSTTEXRECT) != 0) {
        b->texWriter = ConstTexRect;
    } else if ((f & ovPARTICLECONSTTEXCORNERS) != 0) {
        b->texWriter = ConstTexCorners;
    } else {
        b->texWriter = FullTexRect;
    }
    if ((f & ovPARTICLECOLOR) != 0) {
        b->colorWriter = OneColor;
    } else if ((f & ovPARTICLECORNERCOLORS) != 0) {
        b->colorWriter = CornerColors;
    } else if ((f & ovPARTICLECONSTCORNERCOLORS) != 0) {
        b->colorWriter = ConstCornerColors;
    } else {
        b->colorWriter = nullptr; // the constant colour goes to the texture factor
    }
    b->copyNormals = (f & ovPARTICLENORMAL) != 0 ? TRUE : FALSE;
}

// ---- Streams --------------------------------------------------------------------------------------

bool AllocateStreams(OvParticleBatch* b) {
    OvUInt32 sum = 0;
    b->numStreams = 0;
    for (OvInt32 s = 0; s < ovPARTICLENUMSTREAMS; ++s) {
        if ((b->flags & ovPARTICLESLOTFLAGS[s]) != 0) {
            sum += ovPARTICLESLOTSIZES[s];
            b->numStreams++;
        }
    }
    const std::size_t bytes = static_cast<std::size_t>(b->maxParticles) * sum + 16;
    const bool interleaved = (b->flags & ovPARTICLEINTERLEAVED) != 0;
    b->streamBlock = OvMalloc(bytes, interleaved ? kHintInterleaved : kHintSeparate);
    if (b->streamBlock == nullptr) {
        OvErrorReport(0, ovERRNOMEMORY);
        return false;
    }
    std::memset(b->streamBlock, 0, bytes);
    const auto aligned = (reinterpret_cast<std::uintptr_t>(b->streamBlock) + 15) & ~std::uintptr_t{15};
    auto* base = reinterpret_cast<OvUInt8*>(aligned);
    b->interleavedStride = interleaved ? sum : 0;
    std::size_t offset = 0;
    for (OvInt32 s = 0; s < ovPARTICLENUMSTREAMS; ++s) {
        if ((b->flags & ovPARTICLESLOTFLAGS[s]) == 0) {
            b->streams[s] = {nullptr, 0};
            continue;
        }
        if (interleaved) {
            b->streams[s] = {base + offset, sum};
            offset += ovPARTICLESLOTSIZES[s];
        } else {
            b->streams[s] = {base + offset, ovPARTICLESLOTSIZES[s]};
            offset += static_cast<std::size_t>(b->maxParticles) * ovPARTICLESLOTSIZES[s];
        }
    }
    return true;
}

bool PointSpritesAllowed(OvUInt32 flags, OvUInt32 mode) {
    if ((mode & ovPARTICLEMODEPOINTSPRITES) == 0 || !(gParticles.maxPointSize > 1.0f)) {
        return false;
    }
    OvUInt32 allowed = ovPARTICLEPOSITION | ovPARTICLECOLOR | ovPARTICLENORMAL | ovPARTICLECONSTTEXRECT |
                       ovPARTICLEPIVOT | ovPARTICLESEPARATE | ovPARTICLEINTERLEAVED;
    if (gParticles.pointSizeCap) {
        allowed |= ovPARTICLESIZE;
    }
    return (flags & ~allowed) == 0;
}

// The batch's geometry: positions; normals with lighting and material-colour modulation when the
// particles have normals; prelit colours when any colour is used; texture coordinates unless the
// batch is drawn as point sprites. Its one material has ambient 0.3, diffuse and specular 1.
OvGeometry* MakeGeometry(const OvParticleBatch* b) {
    OvGeometry* g = OvGeometryCreateEmpty(1.0f);
    OvMaterial* material = g != nullptr ? OvMaterialCreate() : nullptr;
    if (material == nullptr || OvMaterialListAppendMaterial(&g->matList, material) < 0) {
        if (material != nullptr) {
            OvMaterialDestroy(material);
        }
        if (g != nullptr) {
            OvGeometryDestroy(g);
        }
        return nullptr;
    }
    material->surfaceProperties = {0.3f, 1.0f, 1.0f};
    OvMaterialDestroy(material); // the list holds it
    OvUInt32 flags = ovGEOMETRYPOSITIONS;
    if ((b->flags & ovPARTICLENORMAL) != 0) {
        flags |= ovGEOMETRYNORMALS | ovGEOMETRYLIGHT | ovGEOMETRYMODULATEMATERIALCOLOR;
    }
    if ((b->flags & (ovPARTICLECOLOR | ovPARTICLECORNERCOLORS | ovPARTICLECONSTCORNERCOLORS)) != 0) {
        flags |= ovGEOMETRYPRELIT;
    }
    if (!b->pointSprites) {
        flags |= ovGEOMETRYTEXTURED;
    }
    g->flags = flags;
    return g;
}

bool HasPointSize(const OvParticleBatch* b) {
    return b->pointSprites && (b->flags & ovPARTICLESIZE) != 0 && gParticles.pointSizeCap;
}

struct VertexFormat {
    OvUInt32 fvf = D3DFVF_XYZ;
    OvUInt32 stride = 12;
    OvUInt32 normal = 0, size = 0, color = 0, tex = 0; // offsets (0: absent)
};

VertexFormat FormatOf(const OvParticleBatch* b, OvUInt32 geometryFlags) {
    VertexFormat f;
    if ((geometryFlags & ovGEOMETRYNORMALS) != 0) {
        f.normal = f.stride;
        f.fvf |= D3DFVF_NORMAL;
        f.stride += 12;
    }
    if (HasPointSize(b)) {
        f.size = f.stride;
        f.fvf |= D3DFVF_PSIZE;
        f.stride += 4;
    }
    if ((geometryFlags & ovGEOMETRYPRELIT) != 0) {
        f.color = f.stride;
        f.fvf |= D3DFVF_DIFFUSE;
        f.stride += 4;
    }
    if ((geometryFlags & ovGEOMETRYTEXTURED) != 0) {
        f.tex = f.stride;
        f.fvf |= D3DFVF_TEX1;
        f.stride += 8;
    }
    return f;
}

// The quad axes of a draw: the given ones, or the constant matrix's, turned by the constant angle.
OvParticleAxes BatchAxes(const OvParticleBatch* b, const OvParticleAxes& camera) {
    OvParticleAxes a = camera;
    if ((b->flags & ovPARTICLECONSTMATRIX) != 0) {
        a = {b->matrix.right, b->matrix.up};
    }
    if ((b->flags & ovPARTICLECONSTROTATION) != 0) {
        OvParticleAxes t;
        Turn(a, b->rotation, &t.right, &t.up);
        a = t;
    }
    return a;
}

// ---- Drawing ------------------------------------------------------------------------------------

void Stage0(OvUInt32 op, OvUInt32 arg2) {
    OvD3D9SetTextureStageState(0, D3DTSS_COLOROP, op);
    OvD3D9SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
    OvD3D9SetTextureStageState(0, D3DTSS_COLORARG2, arg2);
    OvD3D9SetTextureStageState(0, D3DTSS_ALPHAOP, op);
    OvD3D9SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_TEXTURE);
    OvD3D9SetTextureStageState(0, D3DTSS_ALPHAARG2, arg2);
}

OvUInt32 FloatBits(float f) {
    OvUInt32 u;
    std::memcpy(&u, &f, 4);
    return u;
}

bool DrawBatch(OvAtomic* atomic, OvParticleBatch* b) {
    IDirect3DDevice9* device = OvD3D9GetDevice();
    OvGeometry* g = atomic->geometry;
    if (device == nullptr || g == nullptr) {
        return false;
    }
    const OvInt32 count = std::min(b->numActive, b->maxParticles);
    const VertexFormat format = FormatOf(b, g->flags);
    const OvUInt32 perParticle = b->pointSprites ? 1 : 4;
    const OvUInt32 total = static_cast<OvUInt32>(count) * perParticle;
    if (!b->pointSprites && !EnsureIndexBuffer(b->maxParticles)) {
        return false;
    }
    IDirect3DVertexBuffer9* buffer = nullptr;
    void* p = nullptr;
    OvUInt32 base = 0;
    if (!OvD3D9DynamicVertexBufferLock(format.stride, total, &buffer, &p, &base)) {
        return false;
    }
    const OvParticleAxes axes = OvParticleCameraAxes();
    OvParticleBatchExpand(atomic, &axes, 0, count, p);
    OvD3D9DynamicVertexBufferUnlock(buffer);

    OvD3D9AtomicDefaultLightingCallback(atomic);
    OvD3D9SetTransformWorld(nullptr);
    OvD3D9SetRenderState(D3DRS_NORMALIZENORMALS, FALSE);
    OvD3D9SetRenderState(D3DRS_CLIPPING, TRUE);
    OvD3D9SetVertexShader(nullptr);
    OvD3D9SetPixelShader(nullptr);
    OvD3D9SetFVF(format.fvf);
    OvD3D9SetStreamSource(0, buffer, 0, format.stride);

    OvMaterial* material = g->matList.numMaterials > 0 ? g->matList.materials[0] : nullptr;
    OvTexture* texture = material != nullptr ? material->texture : nullptr;
    const bool lighting = OvD3D9GetRenderState(D3DRS_LIGHTING) != 0;
    const bool prelit = (g->flags & ovGEOMETRYPRELIT) != 0;
    const bool cornerColors = (b->flags & (ovPARTICLECORNERCOLORS | ovPARTICLECONSTCORNERCOLORS)) != 0;
    const OvUInt32 shadeMode = OvD3D9GetRenderState(D3DRS_SHADEMODE);
    const OvUInt32 op = texture != nullptr ? D3DTOP_MODULATE : D3DTOP_SELECTARG2;
    if (!lighting && !prelit) {
        OvD3D9SetRenderState(D3DRS_TEXTUREFACTOR, b->color);
        OvD3D9SetRenderState(D3DRS_SHADEMODE, D3DSHADE_FLAT);
        Stage0(op, D3DTA_TFACTOR);
    } else {
        if (lighting && material != nullptr) {
            OvD3D9SetSurfaceProperties(&material->surfaceProperties, &material->color, g->flags);
        }
        OvD3D9SetRenderState(D3DRS_SHADEMODE, cornerColors ? D3DSHADE_GOURAUD : D3DSHADE_FLAT);
        Stage0(op, D3DTA_DIFFUSE);
    }
    OvD3D9SetTexture(texture, 0);

    OvUInt32 savedSrc = 0, savedDest = 0;
    const OvBool savedAlpha = OvD3D9RenderStateIsVertexAlphaEnable();
    if (b->vertexAlpha) {
        OvD3D9RenderStateGet(ovRENDERSTATESRCBLEND, &savedSrc);
        OvD3D9RenderStateGet(ovRENDERSTATEDESTBLEND, &savedDest);
        OvD3D9RenderStateVertexAlphaEnable(TRUE);
        OvD3D9RenderStateSrcBlend(b->srcBlend);
        OvD3D9RenderStateDestBlend(b->destBlend);
    }
    if (b->pointSprites) {
        OvD3D9SetRenderState(D3DRS_POINTSPRITEENABLE, TRUE);
        OvD3D9SetRenderState(D3DRS_POINTSCALEENABLE, TRUE);
        OvD3D9SetRenderState(D3DRS_POINTSIZE, FloatBits(b->width));
        OvD3D9SetRenderState(D3DRS_POINTSIZE_MIN, FloatBits(0.0f));
        OvD3D9SetRenderState(D3DRS_POINTSIZE_MAX, FloatBits(gParticles.maxPointSize));
        OvD3D9SetRenderState(D3DRS_POINTSCALE_A, FloatBits(0.0f));
        OvD3D9SetRenderState(D3DRS_POINTSCALE_B, FloatBits(0.0f));
        OvD3D9SetRenderState(D3DRS_POINTSCALE_C, FloatBits(0.5f));
        OvD3D9RenderStateFlush();
        for (OvUInt32 start = 0; start < total; start += ovPARTICLEMAXPOINTS) {
            const OvUInt32 n = std::min<OvUInt32>(ovPARTICLEMAXPOINTS, total - start);
            device->DrawPrimitive(D3DPT_POINTLIST, base + start, n);
            ++OvD3D9FrameCount.drawCalls;
            OvD3D9FrameCount.vertices += n;
        }
        OvD3D9SetRenderState(D3DRS_POINTSPRITEENABLE, FALSE);
        OvD3D9SetRenderState(D3DRS_POINTSCALEENABLE, FALSE);
    } else {
        OvD3D9SetIndices(gParticles.indexBuffer);
        OvD3D9RenderStateFlush();
        // Runs of at most 16,383 quads, each from its own base vertex so that its indices stay
        // within 16 bits.
        for (OvUInt32 start = 0; start < total; start += ovPARTICLEMAXQUADVERTICES) {
            const OvUInt32 n = std::min<OvUInt32>(ovPARTICLEMAXQUADVERTICES, total - start);
            device->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, static_cast<INT>(base + start), 0, n, 0, n / 2);
            ++OvD3D9FrameCount.drawCalls;
            OvD3D9FrameCount.vertices += n;
        }
    }
    if (b->vertexAlpha) {
        OvD3D9RenderStateSrcBlend(savedSrc);
        OvD3D9RenderStateDestBlend(savedDest);
        OvD3D9RenderStateVertexAlphaEnable(savedAlpha);
    }
    OvD3D9SetRenderState(D3DRS_SHADEMODE, shadeMode);
    return true;
}

OvAtomic* BatchRenderCallback(OvAtomic* atomic) {
    OvParticleBatch* b = OvParticleBatchGet(atomic);
    if (b == nullptr) {
        return OvAtomicDefaultRenderCallback(atomic);
    }
    if (b->numActive <= 0) {
        return atomic; // nothing to draw, nothing to update
    }
    if (b->update != nullptr) {
        b->update(b, b->streams, b->numActive, b->pendingFlags);
    }
    b->pendingFlags = 0;
    if (b->custom != nullptr && !b->custom(atomic, b)) {
        return atomic;
    }
    if (b->numActive > 0 && !DrawBatch(atomic, b)) {
        return nullptr;
    }
    return atomic;
}

} // namespace

// ---- Interface ------------------------------------------------------------------------------------

OvBool OvParticleBatchPluginAttach() {
    const OvInt32 engine = OvEngineRegisterPlugin(4, ovPLUGINIDPARTICLES, ParticlesOpen, ParticlesClose);
    gParticles.atomicOffset = OvAtomicRegisterPlugin(static_cast<OvInt32>(sizeof(OvParticleBatch*)),
                                                     ovPLUGINIDPARTICLES, ExtConstruct, ExtDestruct, ExtCopy);
    return engine >= 0 && gParticles.atomicOffset >= 0 ? TRUE : FALSE;
}

OvParticleBatch* OvParticleBatchGet(const OvAtomic* atomic) {
    return atomic != nullptr && gParticles.atomicOffset >= 0 ? Ext(atomic) : nullptr;
}

OvBool OvParticleBatchCanUsePointSprites(OvUInt32 flags, OvUInt32 mode) {
    return PointSpritesAllowed(NormaliseFlags(flags), mode) ? TRUE : FALSE;
}

OvInt32 OvParticleIndexBufferQuads() { return gParticles.indexQuads; }

OvAtomic* OvParticleBatchCreate(OvInt32 maxParticles, OvUInt32 flags, OvUInt32 mode) {
    if (gParticles.atomicOffset < 0) {
        OvErrorReport(0, ovERRBADENGINESTATE);
        return nullptr;
    }
    if (maxParticles < 1 || maxParticles > ovPARTICLEMAXPARTICLES) {
        OvErrorReport(0, ovERRINVALIDVALUE);
        return nullptr;
    }
    if (gParticles.maxPointSize == 0.0f) {
        ReadCaps();
    }
    auto* b = static_cast<OvParticleBatch*>(OvMalloc(sizeof(OvParticleBatch), kHintBatch));
    if (b == nullptr) {
        OvErrorReport(0, ovERRNOMEMORY);
        return nullptr;
    }
    std::memset(b, 0, sizeof *b);
    b->maxParticles = maxParticles;
    b->flags = NormaliseFlags(flags);
    b->mode = mode;
    b->pointSprites = PointSpritesAllowed(b->flags, mode) ? TRUE : FALSE;
    b->width = b->height = 1.0f;
    b->color = 0xFF000000u;
    for (OvUInt32& c : b->cornerColors) {
        c = 0xFF000000u;
    }
    b->matrix.right = {1, 0, 0};
    b->matrix.up = {0, 1, 0};
    b->matrix.at = {0, 0, 1};
    b->matrix.flags = ovMATRIXINTERNALIDENTITY | ovMATRIXTYPEORTHONORMAL;
    const float full[4] = {0.0f, 0.0f, 1.0f, 1.0f};
    std::memcpy(b->texRect, full, sizeof full);
    RectCorners(full, b->texCorners);
    OvD3D9RenderStateGet(ovRENDERSTATESRCBLEND, &b->srcBlend);
    OvD3D9RenderStateGet(ovRENDERSTATEDESTBLEND, &b->destBlend);
    b->vertexAlpha = OvD3D9RenderStateIsVertexAlphaEnable();
    if (!AllocateStreams(b)) {
        FreeBatch(b);
        return nullptr;
    }
    ChooseWriters(b);
    OvAtomic* atomic = OvAtomicCreate();
    if (atomic == nullptr) {
        FreeBatch(b);
        return nullptr;
    }
    Ext(atomic) = b; // the atomic's destroy frees the batch from here on
    OvGeometry* g = MakeGeometry(b);
    if (g == nullptr || (!b->pointSprites && OvD3D9GetDevice() != nullptr && !EnsureIndexBuffer(maxParticles))) {
        if (g != nullptr) {
            OvGeometryDestroy(g);
        }
        OvAtomicDestroy(atomic);
        return nullptr;
    }
    OvAtomicSetGeometry(atomic, g, 0);
    OvGeometryDestroy(g); // the atomic holds it
    b->previousRender = atomic->renderCallBack;
    atomic->renderCallBack = BatchRenderCallback;
    return atomic;
}

OvBool OvParticleBatchDestroy(OvAtomic* atomic) { return atomic != nullptr ? OvAtomicDestroy(atomic) : FALSE; }

OvInt32 OvParticleBatchLock(OvAtomic* atomic, OvParticleStream* stream, OvUInt32 flag, OvUInt32 lockFlags) {
    OvParticleBatch* b = OvParticleBatchGet(atomic);
    *stream = {nullptr, 0};
    if (b == nullptr) {
        return 0;
    }
    for (OvInt32 s = 0; s < ovPARTICLENUMSTREAMS; ++s) {
        if (ovPARTICLESLOTFLAGS[s] == flag && (b->flags & flag) != 0) {
            *stream = b->streams[s];
            if (b->commonStride != 0) {
                stream->stride = b->commonStride;
            }
            if (stream->data != nullptr && (lockFlags & ovPARTICLELOCKCHANGED) != 0) {
                b->changedFlags |= flag | lockFlags;
            }
            return 1;
        }
    }
    return 0;
}

OvAtomic* OvParticleBatchUnlock(OvAtomic* atomic) {
    if (OvParticleBatch* b = OvParticleBatchGet(atomic)) {
        b->pendingFlags |= b->changedFlags;
        b->changedFlags = 0;
    }
    return atomic;
}

#define OV_BATCH_SETTER(body)                                                                                          \
    OvParticleBatch* b = OvParticleBatchGet(atomic);                                                                   \
    if (b == nullptr) {                                                                                                \
        return nullptr;                                                                                                \
    }                                                                                                                  \
    body;                                                                                                              \
    return atomic

OvAtomic* OvParticleBatchSetNumActive(OvAtomic* atomic, OvInt32 count) {
    OV_BATCH_SETTER(b->numActive = std::clamp(count, 0, b->maxParticles));
}
OvAtomic* OvParticleBatchSetSize(OvAtomic* atomic, float width, float height) {
    OV_BATCH_SETTER((b->width = width, b->height = height));
}
OvAtomic* OvParticleBatchSetColor(OvAtomic* atomic, const OvRGBA* color) { OV_BATCH_SETTER(b->color = ToArgb(*color)); }
OvAtomic* OvParticleBatchSetCornerColors(OvAtomic* atomic, const OvRGBA colors[4]) {
    OV_BATCH_SETTER(for (int k = 0; k < 4; ++k) b->cornerColors[k] = ToArgb(colors[k]));
}
OvAtomic* OvParticleBatchSetMatrix(OvAtomic* atomic, const OvMatrix* matrix) { OV_BATCH_SETTER(b->matrix = *matrix); }
OvAtomic* OvParticleBatchSetRotation(OvAtomic* atomic, float angle) { OV_BATCH_SETTER(b->rotation = angle); }
OvAtomic* OvParticleBatchSetTexRect(OvAtomic* atomic, float u0, float v0, float u1, float v1) {
    OV_BATCH_SETTER((b->texRect[0] = u0, b->texRect[1] = v0, b->texRect[2] = u1, b->texRect[3] = v1));
}
OvAtomic* OvParticleBatchSetTexCorners(OvAtomic* atomic, const OvV2d corners[4]) {
    OV_BATCH_SETTER(std::memcpy(b->texCorners, corners, sizeof b->texCorners));
}
OvAtomic* OvParticleBatchSetPivot(OvAtomic* atomic, float ox, float oy) {
    OV_BATCH_SETTER((b->pivot[0] = ox, b->pivot[1] = oy));
}
OvAtomic* OvParticleBatchSetTexture(OvAtomic* atomic, OvTexture* texture) {
    OV_BATCH_SETTER(if (atomic->geometry != nullptr && atomic->geometry->matList.numMaterials > 0)
                        OvMaterialSetTexture(atomic->geometry->matList.materials[0], texture));
}
OvAtomic* OvParticleBatchSetBlend(OvAtomic* atomic, OvUInt32 srcBlend, OvUInt32 destBlend, OvBool vertexAlpha) {
    OV_BATCH_SETTER((b->srcBlend = srcBlend, b->destBlend = destBlend, b->vertexAlpha = vertexAlpha));
}
OvAtomic* OvParticleBatchSetUpdateCallBack(OvAtomic* atomic, OvParticleUpdateCallBack callback) {
    OV_BATCH_SETTER(b->update = callback);
}
OvAtomic* OvParticleBatchSetCustomCallBack(OvAtomic* atomic, OvParticleCustomCallBack callback) {
    OV_BATCH_SETTER(b->custom = callback);
}
#undef OV_BATCH_SETTER

void OvParticleBatchGetVertexFormat(const OvAtomic* atomic, OvUInt32* fvf, OvUInt32* stride) {
    const OvParticleBatch* b = OvParticleBatchGet(atomic);
    const VertexFormat f =
        b != nullptr && atomic->geometry != nullptr ? FormatOf(b, atomic->geometry->flags) : VertexFormat{};
    *fvf = f.fvf;
    *stride = f.stride;
}

OvParticleAxes OvParticleCameraAxes() {
    const OvCamera* camera = OvD3D9GetCurrentCamera();
    const OvFrame* frame = camera != nullptr ? OvCameraGetFrame(camera) : nullptr;
    if (frame == nullptr) {
        return {{1, 0, 0}, {0, 1, 0}};
    }
    const OvMatrix* m = OvFrameGetWorldMatrix(const_cast<OvFrame*>(frame));
    return {{-m->right.x, -m->right.y, -m->right.z}, m->up};
}

OvInt32 OvParticleBatchExpand(const OvAtomic* atomic, const OvParticleAxes* axes, OvInt32 first, OvInt32 count,
                              void* dest) {
    const OvParticleBatch* b = OvParticleBatchGet(atomic);
    if (b == nullptr || atomic->geometry == nullptr || first < 0 || count <= 0 || first > b->maxParticles - count) {
        return 0;
    }
    const VertexFormat f = FormatOf(b, atomic->geometry->flags);
    auto* out = static_cast<OvUInt8*>(dest);
    if (b->pointSprites) {
        for (OvInt32 i = first; i < first + count; ++i, out += f.stride) {
            std::memcpy(out, Element(b, kPosition, i), 12);
            if (f.normal != 0) {
                std::memcpy(out + f.normal, Element(b, kNormal, i), 12);
            }
            if (f.size != 0) {
                std::memcpy(out + f.size, Element(b, kSize, i), 4);
            }
            if (f.color != 0) {
                OvUInt32 argb[4];
                b->colorWriter(b, i, argb);
                std::memcpy(out + f.color, argb, 4);
            }
        }
        return count;
    }
    const OvParticleAxes a = BatchAxes(b, *axes);
    const bool normals = f.normal != 0 && b->copyNormals;
    for (OvInt32 i = first; i < first + count; ++i) {
        OvV3d corners[4];
        b->cornerWriter(b, &a, i, corners);
        OvUInt32 argb[4] = {0, 0, 0, 0};
        if (f.color != 0 && b->colorWriter != nullptr) {
            b->colorWriter(b, i, argb);
        }
        OvV2d uv[4] = {};
        if (f.tex != 0 && b->texWriter != nullptr) {
            b->texWriter(b, i, uv);
        }
        const float* normal = normals ? Element(b, kNormal, i) : nullptr;
        for (int k = 0; k < 4; ++k, out += f.stride) {
            std::memcpy(out, &corners[k], 12);
            if (f.normal != 0) {
                const float zero[3] = {0, 0, 0};
                std::memcpy(out + f.normal, normal != nullptr ? normal : zero, 12);
            }
            if (f.color != 0) {
                std::memcpy(out + f.color, &argb[k], 4);
            }
            if (f.tex != 0) {
                std::memcpy(out + f.tex, &uv[k], 8);
            }
        }
    }
    return count * 4;
}
