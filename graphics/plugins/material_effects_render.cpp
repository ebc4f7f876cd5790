// Drawing materials with effects on Direct3D 9: the plugin's atomic and world-sector pipelines
// (the all-in-one nodes with our instance wrapper and render callback), the device flags and the
// pixel shaders made at engine start, and the per-mesh paths - bump maps (offsets computed on the
// processor into a 44-byte vertex format), environment maps (one pass, two textures or two
// passes), dual textures (one pass by the blend pair's stage set-up or two blended passes) and
// texture-coordinate transforms.

#include <array>
#include <cmath>
#include <iterator>
#include <cstring>
#include <vector>

#include "graphics/core/camera.h"
#include "graphics/core/d3d9/camera.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/device_cache.h"
#include "graphics/core/d3d9/raster.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/d3d9/vertex_buffer.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/pipeline.h"
#include "graphics/plugins/material_effects.h"
#include "graphics/plugins/material_effects_internal.h"
#include "graphics/world/clump.h"
#include "graphics/world/d3d9/vertex_writers.h"
#include "graphics/world/d3d9_pipeline.h"
#include "graphics/world/geometry.h"
#include "graphics/world/light.h"
#include "graphics/world/material.h"
#include "graphics/world/world.h"

namespace {

constexpr OvUInt32 kBumpFvf = D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_DIFFUSE | D3DFVF_TEX2; // 0x252
constexpr OvUInt32 kBumpStride = 44;
static_assert(sizeof(OvMaterialEffectsBumpVertex) == kBumpStride);

// Engine blend numbers.
constexpr OvUInt32 kBlendZero = 1, kBlendOne = 2, kBlendSrcColor = 3, kBlendSrcAlpha = 5, kBlendInvSrcAlpha = 6,
                   kBlendDestColor = 9;

// Pixel-shader roles.
enum PixelShaderRole {
    kPsBump = 0,
    kPsEnvOverBase = 1,
    kPsEnvAlone = 2,
    kPsBumpEnv = 3,
    kPsBumpEnvFbAlpha = 4,   // environment texture with alpha
    kPsBumpEnvFbNoAlpha = 5, // environment texture without alpha
    kPsCount = 6
};

// The shaders' token arrays (the assembly beside each instruction). Names: B the bump texture
// (stage 1: the base colour with the height in alpha), h its height, D the diffuse colour, E the
// environment and c the coefficient in c0. Bumping darkens the colour by the height where the
// vertex is and lightens it by the height at the place shifted towards the light, as the two
// blended passes without shaders do: B0 D (1 - h0) + B1 D h1. The environment is added as the
// extra pass adds it: E c times E's alpha. Reading the bump texture at both places takes ps_1_4
// (one stage read at another stage's coordinates); a device below it makes no bump shader, and
// bump maps take the two passes there.

// Bump alone: (B0 (1 - h0) + B1 h1) D, alpha D.
constexpr DWORD kPsBumpTokens[] = {
    0xFFFF0104u,                                        // ps_1_4
    0x00000042u, 0x800F0001u, 0xB0E40000u,              // texld r1, t0          B0, h0
    0x00000005u, 0x80070003u, 0x80E40001u, 0x86FF0001u, // mul r3.rgb, r1, 1-r1.a
    0x0000FFFDu,                                        // phase
    0x00000042u, 0x800F0001u, 0xB0E40001u,              // texld r1, t1          B1, h1
    0x00000005u, 0x80070001u, 0x80E40001u, 0x80FF0001u, // mul r1.rgb, r1, r1.a
    0x00000002u, 0x80070000u, 0x80E40003u, 0x80E40001u, // add r0.rgb, r3, r1
    0x00000005u, 0x80070000u, 0x80E40000u, 0x90E40000u, // mul r0.rgb, r0, v0
    0x40000001u, 0x80080000u, 0x90E40000u,              // + mov r0.a, v0.a
    0x0000FFFFu,
};

// Environment (stage 1) over a base (stage 0): base D + E c E.a, alpha base.a D.a.
constexpr DWORD kPsEnvOverBaseTokens[] = {
    0xFFFF0101u,                                                     // ps_1_1
    0x00000042u, 0xB00F0000u,                                        // tex t0
    0x00000042u, 0xB00F0001u,                                        // tex t1
    0x00000005u, 0x800F0001u, 0xB0E40001u, 0xA0E40000u,              // mul r1, t1, c0
    0x00000005u, 0x800F0000u, 0xB0E40000u, 0x90E40000u,              // mul r0, t0, v0
    0x00000004u, 0x80070000u, 0x80E40001u, 0xB0FF0001u, 0x80E40000u, // mad r0.rgb, r1, t1.a, r0
    0x0000FFFFu,
};

// Environment (stage 0) alone: D + E c E.a, alpha D.a.
constexpr DWORD kPsEnvAloneTokens[] = {
    0xFFFF0101u,                                                     // ps_1_1
    0x00000042u, 0xB00F0000u,                                        // tex t0
    0x00000005u, 0x800F0001u, 0xB0E40000u, 0xA0E40000u,              // mul r1, t0, c0
    0x00000004u, 0x80070000u, 0x80E40001u, 0xB0FF0000u, 0x90E40000u, // mad r0.rgb, r1, t0.a, v0
    0x40000001u, 0x80080000u, 0x90E40000u,                           // + mov r0.a, v0.a
    0x0000FFFFu,
};

// Bump and environment (stage 2). The colour is the bumped one plus the environment; the alpha
// is D.a, or with the frame-buffer-alpha flag the environment's strength, kept in the frame
// buffer's alpha: E.a c when the environment has alpha, c when it has none (then E is added
// whole).
constexpr DWORD kPsBumpEnvHead[] = {
    0xFFFF0104u,                                        // ps_1_4
    0x00000042u, 0x800F0001u, 0xB0E40000u,              // texld r1, t0
    0x00000005u, 0x80070003u, 0x80E40001u, 0x86FF0001u, // mul r3.rgb, r1, 1-r1.a
    0x0000FFFDu,                                        // phase
    0x00000042u, 0x800F0001u, 0xB0E40001u,              // texld r1, t1
    0x00000042u, 0x800F0002u, 0xB0E40002u,              // texld r2, t2
    0x00000005u, 0x80070001u, 0x80E40001u, 0x80FF0001u, // mul r1.rgb, r1, r1.a
    0x00000002u, 0x80070003u, 0x80E40003u, 0x80E40001u, // add r3.rgb, r3, r1
};
constexpr DWORD kPsBumpEnvTail[] = {
    0x00000004u, 0x80070000u, 0x80E40002u, 0xA0E40000u, 0x80E40000u, // mad r0.rgb, r2, c0, r0
    0x0000FFFFu,
};
constexpr DWORD kPsBumpEnvMiddle[] = {
    0x00000005u, 0x80070002u, 0x80E40002u, 0x80FF0002u, // mul r2.rgb, r2, r2.a
    0x00000005u, 0x80070000u, 0x80E40003u, 0x90E40000u, // mul r0.rgb, r3, v0
    0x40000001u, 0x80080000u, 0x90E40000u,              // + mov r0.a, v0.a
};
constexpr DWORD kPsBumpEnvFbAlphaMiddle[] = {
    0x00000005u, 0x80070002u, 0x80E40002u, 0x80FF0002u, // mul r2.rgb, r2, r2.a
    0x00000005u, 0x80070000u, 0x80E40003u, 0x90E40000u, // mul r0.rgb, r3, v0
    0x40000005u, 0x80080000u, 0x80E40002u, 0xA0E40000u, // + mul r0.a, r2, c0
};
constexpr DWORD kPsBumpEnvFbNoAlphaMiddle[] = {
    0x00000005u, 0x80070000u, 0x80E40003u, 0x90E40000u, // mul r0.rgb, r3, v0
    0x40000001u, 0x80080000u, 0xA0E40000u,              // + mov r0.a, c0
};

// The head, one of the middles and the tail in one array.
template <std::size_t M>
constexpr std::array<DWORD, std::size(kPsBumpEnvHead) + M + std::size(kPsBumpEnvTail)>
BumpEnvTokens(const DWORD (&middle)[M]) {
    std::array<DWORD, std::size(kPsBumpEnvHead) + M + std::size(kPsBumpEnvTail)> out{};
    std::size_t n = 0;
    for (DWORD t : kPsBumpEnvHead)
        out[n++] = t;
    for (DWORD t : middle)
        out[n++] = t;
    for (DWORD t : kPsBumpEnvTail)
        out[n++] = t;
    return out;
}
constexpr auto kPsBumpEnvTokens = BumpEnvTokens(kPsBumpEnvMiddle);
constexpr auto kPsBumpEnvFbAlphaTokens = BumpEnvTokens(kPsBumpEnvFbAlphaMiddle);
constexpr auto kPsBumpEnvFbNoAlphaTokens = BumpEnvTokens(kPsBumpEnvFbNoAlphaMiddle);

constexpr const DWORD* kPsTokens[kPsCount] = {
    kPsBumpTokens,           kPsEnvOverBaseTokens,           kPsEnvAloneTokens,
    kPsBumpEnvTokens.data(), kPsBumpEnvFbAlphaTokens.data(), kPsBumpEnvFbNoAlphaTokens.data()};

enum class Check { Pending, Passed, Failed };

struct RenderState {
    OvInt32 opens = 0;
    OvPipeline* atomicPipeline = nullptr;
    OvPipeline* sectorPipeline = nullptr;
    OvD3D9InstanceCallBack atomicInstance = nullptr; // the nodes' callbacks before ours
    OvD3D9InstanceCallBack sectorInstance = nullptr;
    OvMaterialEffectsDeviceFlags flags{};
    IDirect3DPixelShader9* shaders[kPsCount] = {};
    Check add = Check::Pending;        // stage-1 adding of an environment over a base texture
    Check modulate2x = Check::Pending; // stage-1 MODULATE2X of a dual texture over a base texture
};
RenderState gRender;

// ---- Small helpers ----------------------------------------------------------------------------

void Stage(OvUInt32 stage, OvUInt32 colorOp, OvUInt32 arg1, OvUInt32 arg2) {
    OvD3D9SetTextureStageState(stage, D3DTSS_COLOROP, colorOp);
    OvD3D9SetTextureStageState(stage, D3DTSS_COLORARG1, arg1);
    OvD3D9SetTextureStageState(stage, D3DTSS_COLORARG2, arg2);
}
void StageAlpha(OvUInt32 stage, OvUInt32 alphaOp, OvUInt32 arg1, OvUInt32 arg2) {
    OvD3D9SetTextureStageState(stage, D3DTSS_ALPHAOP, alphaOp);
    OvD3D9SetTextureStageState(stage, D3DTSS_ALPHAARG1, arg1);
    OvD3D9SetTextureStageState(stage, D3DTSS_ALPHAARG2, arg2);
}
void StageBoth(OvUInt32 stage, OvUInt32 op, OvUInt32 arg1, OvUInt32 arg2) {
    Stage(stage, op, arg1, arg2);
    StageAlpha(stage, op, arg1, arg2);
}
void StageDisable(OvUInt32 stage) {
    OvD3D9SetTextureStageState(stage, D3DTSS_COLOROP, D3DTOP_DISABLE);
    OvD3D9SetTextureStageState(stage, D3DTSS_ALPHAOP, D3DTOP_DISABLE);
}

void BindVertices(const OvD3D9InstancedData* data) {
    if (data->indexBuffer != nullptr) {
        OvD3D9SetIndices(data->indexBuffer);
    }
    const OvD3D9Stream streams[2] = {
        {data->vertexStream[0].vertexBuffer, data->vertexStream[0].offset, data->vertexStream[0].stride},
        {data->vertexStream[1].vertexBuffer, data->vertexStream[1].offset, data->vertexStream[1].stride}};
    OvD3D9SetStreams(streams, data->useOffsets ? TRUE : FALSE);
    OvD3D9SetVertexDeclaration(data->vertexDeclaration);
}

void Draw(const OvD3D9InstancedData* data, const OvD3D9InstancedMesh& mesh) {
    OvD3D9InstancedMeshDraw(data, mesh, nullptr);
}

D3DMATRIX ToD3D(const OvMatrix& m) {
    return {{{m.right.x, m.right.y, m.right.z, 0.0f},
             {m.up.x, m.up.y, m.up.z, 0.0f},
             {m.at.x, m.at.y, m.at.z, 0.0f},
             {m.pos.x, m.pos.y, m.pos.z, 1.0f}}};
}

OvMatrix Identity() {
    OvMatrix m{};
    m.right.x = m.up.y = m.at.z = 1.0f;
    m.flags = ovMATRIXTYPEORTHONORMAL | ovMATRIXINTERNALIDENTITY;
    return m;
}

// The 2-D part of a texture matrix (null is the identity) differs from the identity.
bool Transforms(const OvMatrix* m) {
    return m != nullptr && (m->right.x != 1.0f || m->right.y != 0.0f || m->up.x != 0.0f || m->up.y != 1.0f ||
                            m->pos.x != 0.0f || m->pos.y != 0.0f);
}

// A stage's coordinates (u, v, 1) through the 2-D part: rows right, up and the translation.
void SetUVTransform(OvUInt32 stage, const OvMatrix* m) {
    const D3DMATRIX d = {{{m->right.x, m->right.y, 0.0f, 0.0f},
                          {m->up.x, m->up.y, 0.0f, 0.0f},
                          {m->pos.x, m->pos.y, 0.0f, 0.0f},
                          {0.0f, 0.0f, 0.0f, 0.0f}}};
    OvD3D9SetTextureStageState(stage, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_COUNT2);
    OvD3D9SetTransform(D3DTS_TEXTURE0 + stage, &d);
}

void ClearStageTransform(OvUInt32 stage) {
    OvD3D9SetTextureStageState(stage, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_DISABLE);
    OvD3D9SetTextureStageState(stage, D3DTSS_TEXCOORDINDEX, stage);
}

OvUInt8 Round255(float c) {
    // A coefficient read from a file may be anything: not a number counts as 0.
    const float v = c * 255.0f + 0.5f;
    return !(v > 0.0f) ? 0 : v >= 255.0f ? 255 : static_cast<OvUInt8>(v);
}

bool HasAlpha(const OvTexture* t) { return t != nullptr && OvD3D9TextureHasAlpha(t) != FALSE; }

OvFrame* CameraFrame() {
    OvCamera* camera = OvD3D9GetCurrentCamera();
    return camera != nullptr ? OvCameraGetFrame(camera) : nullptr;
}

// ---- Environment maps ----------------------------------------------------------------------------

// Texture coordinates of a stage from the camera-space normal (or, for a cube map, the
// reflection vector) and the transform that maps them into the environment texture.
void SetEnvironmentStage(OvUInt32 stage, const OvMaterialEffectsSlot* env) {
    OvD3D9SetTexture(env->texture, stage);
    OvFrame* cameraFrame = CameraFrame();
    const OvMatrix* camera = cameraFrame != nullptr ? OvFrameGetWorldMatrix(cameraFrame) : nullptr;
    if (env->texture->raster != nullptr && OvD3D9RasterIsCubeMap(env->texture->raster)) {
        OvD3D9SetTextureStageState(stage, D3DTSS_TEXCOORDINDEX, D3DTSS_TCI_CAMERASPACEREFLECTIONVECTOR);
        OvD3D9SetTextureStageState(stage, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_COUNT3);
        OvMatrix m = camera != nullptr ? *camera : Identity();
        m.right = {-m.right.x, -m.right.y, -m.right.z};
        m.pos = {0.0f, 0.0f, 0.0f};
        const D3DMATRIX d = ToD3D(m);
        OvD3D9SetTransform(D3DTS_TEXTURE0 + stage, &d);
        return;
    }
    OvD3D9SetTextureStageState(stage, D3DTSS_TEXCOORDINDEX, D3DTSS_TCI_CAMERASPACENORMAL);
    OvD3D9SetTextureStageState(stage, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_COUNT2);
    // x, y of the normal to 0.5 x + 0.5, -0.5 y + 0.5.
    OvMatrix fixed{};
    fixed.right.x = 0.5f;
    fixed.up.y = -0.5f;
    fixed.at.z = 1.0f;
    fixed.pos = {0.5f, 0.5f, 0.0f};
    if (env->frame == nullptr || camera == nullptr) {
        const D3DMATRIX d = ToD3D(fixed);
        OvD3D9SetTransform(D3DTS_TEXTURE0 + stage, &d);
        return;
    }
    OvMatrix inverse, relative, out;
    OvMatrixInvert(&inverse, OvFrameGetWorldMatrix(env->frame));
    OvMatrixMultiply(&relative, camera, &inverse);
    relative.right = {-relative.right.x, -relative.right.y, -relative.right.z};
    relative.pos = {0.0f, 0.0f, 0.0f};
    relative.flags = 0;
    fixed.flags = 0;
    OvMatrixMultiply(&out, &relative, &fixed);
    const D3DMATRIX d = ToD3D(out);
    OvD3D9SetTransform(D3DTS_TEXTURE0 + stage, &d);
}

// ---- Per-mesh drawing ---------------------------------------------------------------------------

struct MeshContext {
    OvResourceEntry* entry;
    const OvD3D9InstancedData* data;
    const OvD3D9InstancedMesh* mesh;
    const OvMaterial* material;
    void* object;
    OvUInt8 type;
    OvUInt32 flags;
    OvTexture* base; // the material's texture when the geometry is textured
};

// The base set-up: the material's texture modulated by the diffuse colour, or the colour alone.
void SetBase(const MeshContext& c) {
    OvD3D9SetTexture(c.base, 0);
    if (c.base != nullptr) {
        StageBoth(0, D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE);
    } else {
        StageBoth(0, D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_DIFFUSE);
    }
}

// Drawn as a material without effects; a base matrix that is not the identity transforms set 0.
void DrawPlain(const MeshContext& c, const OvMatrix* baseMatrix) {
    SetBase(c);
    const bool transform = Transforms(baseMatrix);
    if (transform) {
        SetUVTransform(0, baseMatrix);
    }
    Draw(c.data, *c.mesh);
    if (transform) {
        OvD3D9SetTextureStageState(0, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_DISABLE);
    }
}

// States a blended extra pass changes, kept to be put back.
struct SavedPass {
    OvBool vertexAlpha;
    OvUInt32 src, dest, lighting, zWrite, alphaTest, fogColor;

    SavedPass() {
        vertexAlpha = OvD3D9RenderStateIsVertexAlphaEnable();
        OvD3D9RenderStateGet(ovRENDERSTATESRCBLEND, &src);
        OvD3D9RenderStateGet(ovRENDERSTATEDESTBLEND, &dest);
        lighting = OvD3D9GetRenderState(D3DRS_LIGHTING);
        zWrite = OvD3D9GetRenderState(D3DRS_ZWRITEENABLE);
        alphaTest = OvD3D9GetRenderState(D3DRS_ALPHATESTENABLE);
        fogColor = OvD3D9GetRenderState(D3DRS_FOGCOLOR);
    }
    void Restore() const {
        OvD3D9RenderStateVertexAlphaEnable(vertexAlpha);
        OvD3D9RenderStateSrcBlend(src);
        OvD3D9RenderStateDestBlend(dest);
        OvD3D9SetRenderState(D3DRS_LIGHTING, lighting);
        OvD3D9SetRenderState(D3DRS_ZWRITEENABLE, zWrite);
        OvD3D9SetRenderState(D3DRS_ALPHATESTENABLE, alphaTest);
        OvD3D9SetRenderState(D3DRS_FOGCOLOR, fogColor);
    }
};

// The environment added over what is drawn: stage 0, additive, unlit, no z-write, black fog.
void DrawEnvironmentPass(const MeshContext& c, const OvMaterialEffectsSlot* env, OvUInt8 c8) {
    const SavedPass saved;
    OvD3D9RenderStateVertexAlphaEnable(TRUE);
    OvD3D9RenderStateSrcBlend(kBlendSrcAlpha);
    OvD3D9RenderStateDestBlend(kBlendOne);
    OvD3D9SetRenderState(D3DRS_LIGHTING, FALSE);
    OvD3D9SetRenderState(D3DRS_ZWRITEENABLE, FALSE);
    OvD3D9SetRenderState(D3DRS_FOGCOLOR, 0);
    SetEnvironmentStage(0, env);
    if (c8 == 255) {
        StageBoth(0, D3DTOP_SELECTARG1, D3DTA_TEXTURE, D3DTA_DIFFUSE);
    } else {
        OvD3D9SetRenderState(D3DRS_TEXTUREFACTOR, 0x01010101u * c8);
        Stage(0, D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_TFACTOR);
        StageAlpha(0, D3DTOP_SELECTARG1, D3DTA_TEXTURE, D3DTA_DIFFUSE);
    }
    Draw(c.data, *c.mesh);
    saved.Restore();
    StageBoth(0, D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE);
    ClearStageTransform(0);
}

void DrawEnvironment(const MeshContext& c, const OvMaterialEffectsSlot* env) {
    const OvUInt8 c8 = Round255(env->coefficient);
    if (c8 == 0 || env->texture == nullptr) {
        DrawPlain(c, nullptr);
        return;
    }
    const OvMaterialEffectsDeviceFlags& f = gRender.flags;
    const bool onePass =
        env->frameBufferAlpha != 0 || (c.mesh->vertexAlpha == 0 && c.material->color.alpha == 255 && !HasAlpha(c.base));
    if (onePass) {
        if (HasAlpha(env->texture) && f.pixelShaders) {
            const OvUInt32 stage = c.base != nullptr ? 1 : 0;
            const float k[4] = {env->coefficient, env->coefficient, env->coefficient, env->coefficient};
            SetBase(c);
            SetEnvironmentStage(stage, env);
            OvD3D9GetDevice()->SetPixelShaderConstantF(0, k, 1);
            OvD3D9SetPixelShader(gRender.shaders[c.base != nullptr ? kPsEnvOverBase : kPsEnvAlone]);
            Draw(c.data, *c.mesh);
            OvD3D9SetPixelShader(nullptr);
            ClearStageTransform(stage);
            if (stage == 1) {
                OvD3D9SetTexture(nullptr, 1);
            }
            return;
        }
        const bool addAllowed = c.base == nullptr || (f.twoTextures && gRender.add != Check::Failed);
        if (!HasAlpha(env->texture) &&
            ((f.multiplyAdd && (c.base == nullptr || f.twoTextures)) || (c8 == 255 && addAllowed))) {
            if (c8 == 255 && c.base == nullptr) {
                SetEnvironmentStage(0, env);
                Stage(0, D3DTOP_ADD, D3DTA_TEXTURE, D3DTA_DIFFUSE);
                StageAlpha(0, D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_DIFFUSE);
                Draw(c.data, *c.mesh);
                StageBoth(0, D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE);
                ClearStageTransform(0);
                return;
            }
            SetBase(c);
            if (c.base == nullptr) {
                // The environment times the factor added to the diffuse colour, on stage 0.
                OvD3D9SetRenderState(D3DRS_TEXTUREFACTOR, 0x01010101u * c8);
                SetEnvironmentStage(0, env);
                OvD3D9SetTextureStageState(0, D3DTSS_COLORARG0, D3DTA_DIFFUSE);
                Stage(0, D3DTOP_MULTIPLYADD, D3DTA_TEXTURE, D3DTA_TFACTOR);
                StageAlpha(0, D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_DIFFUSE);
                Draw(c.data, *c.mesh);
                StageBoth(0, D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE);
                ClearStageTransform(0);
                return;
            }
            SetEnvironmentStage(1, env);
            // Adding switched off by a failed validation: a device with MULTIPLYADD adds the
            // environment times a full factor instead.
            const bool add = c8 == 255 && gRender.add != Check::Failed;
            if (add) {
                Stage(1, D3DTOP_ADD, D3DTA_TEXTURE, D3DTA_CURRENT);
            } else {
                OvD3D9SetRenderState(D3DRS_TEXTUREFACTOR, 0x01010101u * c8);
                OvD3D9SetTextureStageState(1, D3DTSS_COLORARG0, D3DTA_CURRENT);
                Stage(1, D3DTOP_MULTIPLYADD, D3DTA_TEXTURE, D3DTA_TFACTOR);
            }
            StageAlpha(1, D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_CURRENT);
            if (add && gRender.add == Check::Pending) {
                OvD3D9RenderStateFlush();
                DWORD passes = 0;
                const HRESULT hr = OvD3D9GetDevice()->ValidateDevice(&passes);
                gRender.add = SUCCEEDED(hr) && passes <= 1 ? Check::Passed : Check::Failed;
            }
            Draw(c.data, *c.mesh);
            StageDisable(1);
            OvD3D9SetTexture(nullptr, 1);
            ClearStageTransform(1);
            return;
        }
    }
    DrawPlain(c, nullptr);
    DrawEnvironmentPass(c, env, c8);
}

// ---- Dual textures ------------------------------------------------------------------------------

bool Pair(const OvMaterialEffectsSlot* s, OvUInt32 src, OvUInt32 dest) {
    return s->srcBlend == src && s->destBlend == dest;
}

// Sets the stages of a one-pass dual texture; false (nothing drawn) when the pair or the device
// does not allow it.
bool SetDualStages(const MeshContext& c, const OvMaterialEffectsSlot* dual) {
    const OvMaterialEffectsDeviceFlags& f = gRender.flags;
    if (!f.twoTextures) {
        return false;
    }
    const bool base = c.base != nullptr;
    const bool three = f.blendStages >= 3;
    const bool modulating = Pair(dual, kBlendDestColor, kBlendZero) || Pair(dual, kBlendZero, kBlendSrcColor);
    const bool modulating2x = Pair(dual, kBlendDestColor, kBlendSrcColor);
    const bool blending = Pair(dual, kBlendSrcAlpha, kBlendInvSrcAlpha);
    const bool adding = Pair(dual, kBlendOne, kBlendOne);
    const bool alphaModulating = Pair(dual, kBlendZero, kBlendSrcAlpha);
    if (modulating2x && (!f.modulate2x || (base && gRender.modulate2x == Check::Failed))) {
        return false;
    }
    if (!base) {
        if (modulating) {
            StageBoth(0, D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE);
        } else if (blending) {
            OvD3D9SetRenderState(D3DRS_TEXTUREFACTOR, 0xFFFFFFFFu);
            Stage(0, D3DTOP_BLENDTEXTUREALPHA, D3DTA_TEXTURE, D3DTA_TFACTOR);
            StageAlpha(0, D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_TFACTOR);
            StageBoth(1, D3DTOP_MODULATE, D3DTA_DIFFUSE, D3DTA_CURRENT);
        } else if (modulating2x) {
            Stage(0, D3DTOP_MODULATE2X, D3DTA_TEXTURE, D3DTA_DIFFUSE);
            StageAlpha(0, D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_DIFFUSE);
        } else if (adding) {
            Stage(0, D3DTOP_SELECTARG1, D3DTA_TEXTURE, D3DTA_DIFFUSE);
            StageAlpha(0, D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_DIFFUSE);
            Stage(1, D3DTOP_ADD, D3DTA_DIFFUSE, D3DTA_CURRENT);
            StageAlpha(1, D3DTOP_SELECTARG2, D3DTA_DIFFUSE, D3DTA_CURRENT);
        } else if (alphaModulating) {
            Stage(0, D3DTOP_MODULATE, D3DTA_TEXTURE | D3DTA_ALPHAREPLICATE, D3DTA_DIFFUSE);
            StageAlpha(0, D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_DIFFUSE);
        } else {
            return false;
        }
        return true;
    }
    // The dual texture on stage 1 over the base on stage 0; with three stages the diffuse colour
    // is modulated in last.
    auto modulateLast = [three] {
        if (three) {
            StageBoth(0, D3DTOP_SELECTARG1, D3DTA_TEXTURE, D3DTA_DIFFUSE);
            StageBoth(2, D3DTOP_MODULATE, D3DTA_DIFFUSE, D3DTA_CURRENT);
        }
    };
    if (modulating || modulating2x) {
        modulateLast();
        Stage(1, modulating ? D3DTOP_MODULATE : D3DTOP_MODULATE2X, D3DTA_TEXTURE, D3DTA_CURRENT);
        StageAlpha(1, D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_CURRENT);
    } else if (blending) {
        if (!three) {
            return false;
        }
        modulateLast();
        StageBoth(1, D3DTOP_BLENDTEXTUREALPHA, D3DTA_TEXTURE, D3DTA_CURRENT);
    } else if (adding) {
        if (!f.multiplyAdd) {
            return false;
        }
        OvD3D9SetTextureStageState(1, D3DTSS_COLORARG0, D3DTA_CURRENT);
        Stage(1, D3DTOP_MULTIPLYADD, D3DTA_TEXTURE, D3DTA_DIFFUSE);
        StageAlpha(1, D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_CURRENT);
    } else if (alphaModulating) {
        modulateLast();
        Stage(1, D3DTOP_MODULATE, D3DTA_TEXTURE | D3DTA_ALPHAREPLICATE, D3DTA_CURRENT);
        StageAlpha(1, D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_CURRENT);
    } else {
        return false;
    }
    return true;
}

void ResetDualStages() {
    StageBoth(0, D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE);
    StageDisable(1);
    StageDisable(2);
    OvD3D9SetTexture(nullptr, 1);
    OvD3D9SetTextureStageState(1, D3DTSS_TEXCOORDINDEX, 1);
}

void DrawDual(const MeshContext& c, const OvMaterialEffectsSlot* dual, const OvMatrix* baseMatrix,
              const OvMatrix* dualMatrix) {
    if (dual->texture == nullptr) {
        DrawPlain(c, baseMatrix);
        return;
    }
    const bool twoSets = (c.flags & ovGEOMETRYTEXTURED2) != 0;
    const OvUInt32 dualSet = twoSets ? 1 : 0;
    SetBase(c);
    const bool baseTransform = Transforms(baseMatrix);
    if (SetDualStages(c, dual)) {
        const OvUInt32 stage = c.base != nullptr ? 1 : 0;
        if (baseTransform && stage == 1) {
            SetUVTransform(0, baseMatrix);
        }
        OvD3D9SetTexture(dual->texture, stage);
        OvD3D9SetTextureStageState(stage, D3DTSS_TEXCOORDINDEX, dualSet);
        const bool dualTransform = Transforms(dualMatrix);
        if (dualTransform) {
            SetUVTransform(stage, dualMatrix);
        }
        if (stage == 1 && Pair(dual, kBlendDestColor, kBlendSrcColor) && gRender.modulate2x == Check::Pending) {
            OvD3D9RenderStateFlush();
            DWORD passes = 0;
            const HRESULT hr = OvD3D9GetDevice()->ValidateDevice(&passes);
            gRender.modulate2x = SUCCEEDED(hr) && passes <= 1 ? Check::Passed : Check::Failed;
        }
        if (stage == 0 || gRender.modulate2x != Check::Failed || !Pair(dual, kBlendDestColor, kBlendSrcColor)) {
            Draw(c.data, *c.mesh);
            ResetDualStages();
            ClearStageTransform(0);
            ClearStageTransform(1);
            return;
        }
        // MODULATE2X failed its validation: this draw and later ones take two passes.
        ResetDualStages();
        ClearStageTransform(0);
        ClearStageTransform(1);
        SetBase(c);
    }
    if (baseTransform) {
        SetUVTransform(0, baseMatrix);
    }
    Draw(c.data, *c.mesh);
    if (baseTransform) {
        OvD3D9SetTextureStageState(0, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_DISABLE);
    }
    // The dual texture blended over it.
    const SavedPass saved;
    OvD3D9RenderStateVertexAlphaEnable(TRUE);
    OvD3D9RenderStateSrcBlend(dual->srcBlend);
    OvD3D9RenderStateDestBlend(dual->destBlend);
    if (Pair(dual, kBlendDestColor, kBlendZero) || Pair(dual, kBlendZero, kBlendSrcColor) ||
        Pair(dual, kBlendDestColor, kBlendSrcColor)) {
        OvD3D9SetRenderState(D3DRS_ALPHATESTENABLE, FALSE);
    }
    OvD3D9SetRenderState(D3DRS_ZWRITEENABLE, FALSE);
    if (OvD3D9GetRenderState(D3DRS_FOGENABLE) != 0) {
        if (dual->destBlend == kBlendOne) {
            OvD3D9SetRenderState(D3DRS_FOGCOLOR, 0x00000000u);
        } else if (dual->srcBlend == kBlendDestColor || dual->destBlend == kBlendSrcColor) {
            OvD3D9SetRenderState(D3DRS_FOGCOLOR, 0xFFFFFFFFu);
        }
    }
    OvD3D9SetTexture(dual->texture, 0);
    StageBoth(0, D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE);
    OvD3D9SetTextureStageState(0, D3DTSS_TEXCOORDINDEX, dualSet);
    const bool dualTransform = Transforms(dualMatrix);
    if (dualTransform) {
        SetUVTransform(0, dualMatrix);
    }
    Draw(c.data, *c.mesh);
    saved.Restore();
    ClearStageTransform(0);
}

// ---- Bump maps ------------------------------------------------------------------------------------

// Every vertex of the instanced data read back from its streams.
struct Vertices {
    std::vector<OvV3d> positions, normals, tangents;
    std::vector<OvUInt32> colors;
    std::vector<OvV2d> uvs;
    bool hasNormals = false, hasColors = false, hasTangents = false, hasUVs = false;
};
Vertices gScratch;
// The instanced data gScratch holds for this render (read once however many meshes are bumped),
// and whether it read.
const OvD3D9InstancedData* gScratchData = nullptr;
bool gScratchRead = false;

bool ReadVertices(const OvD3D9InstancedData* data, Vertices* out) {
    const OvUInt32 n = data->totalNumVertex;
    out->positions.assign(n, OvV3d{});
    out->normals.assign(n, OvV3d{});
    out->tangents.assign(n, OvV3d{});
    out->colors.assign(n, 0xFFFFFFFFu);
    out->uvs.assign(n, OvV2d{});
    out->hasNormals = out->hasColors = out->hasTangents = out->hasUVs = false;
    if (data->vertexDeclaration == nullptr || n == 0) {
        return false;
    }
    D3DVERTEXELEMENT9 elements[32];
    UINT count = 0;
    if (FAILED(data->vertexDeclaration->GetDeclaration(nullptr, &count)) || count > 32 ||
        FAILED(data->vertexDeclaration->GetDeclaration(elements, &count))) {
        return false;
    }
    const void* locked[2] = {};
    bool ok = true;
    for (int s = 0; s < 2; ++s) {
        const OvD3D9VertexStream& st = data->vertexStream[s];
        if (st.vertexBuffer == nullptr) {
            continue;
        }
        void* p = nullptr;
        if (FAILED(st.vertexBuffer->Lock(st.offset, st.stride * n, &p, D3DLOCK_READONLY)) || p == nullptr) {
            ok = false;
            break;
        }
        locked[s] = p;
    }
    bool hasPosition = false;
    for (UINT e = 0; ok && e < count && elements[e].Stream != 0xFF; ++e) {
        const D3DVERTEXELEMENT9& el = elements[e];
        if (el.Stream > 1 || locked[el.Stream] == nullptr) {
            continue;
        }
        const OvUInt32 stride = data->vertexStream[el.Stream].stride;
        const auto* base = static_cast<const OvUInt8*>(locked[el.Stream]) + el.Offset;
        for (OvUInt32 i = 0; i < n; ++i) {
            const OvUInt8* p = base + static_cast<std::size_t>(i) * stride;
            float f[4] = {};
            switch (el.Usage) {
            case D3DDECLUSAGE_POSITION:
                OvD3D9VertexReadV3d(el.Type, f, p);
                out->positions[i] = {f[0], f[1], f[2]};
                hasPosition = true;
                break;
            case D3DDECLUSAGE_NORMAL:
                OvD3D9VertexReadV3d(el.Type, f, p);
                out->normals[i] = {f[0], f[1], f[2]};
                out->hasNormals = true;
                break;
            case D3DDECLUSAGE_TANGENT:
                OvD3D9VertexReadV3d(el.Type, f, p);
                out->tangents[i] = {f[0], f[1], f[2]};
                out->hasTangents = true;
                break;
            case D3DDECLUSAGE_COLOR:
                std::memcpy(&out->colors[i], p, 4);
                out->hasColors = true;
                break;
            case D3DDECLUSAGE_TEXCOORD:
                if (el.UsageIndex == 0) {
                    OvD3D9VertexReadV2d(el.Type, f, p);
                    out->uvs[i] = {f[0], f[1]};
                    out->hasUVs = true;
                }
                break;
            default:
                break;
            }
        }
    }
    for (int s = 0; s < 2; ++s) {
        if (locked[s] != nullptr) {
            data->vertexStream[s].vertexBuffer->Unlock();
        }
    }
    if (!ok || !hasPosition) {
        return false;
    }
    if (!out->hasTangents && out->hasUVs) {
        // Each vertex's tangent from its triangles (the instanced data has no tangent element).
        out->hasTangents = OvD3D9VertexWriteTangents(D3DDECLTYPE_FLOAT3, out->tangents.data(), out->positions.data(),
                                                     out->uvs.data(), data, sizeof(OvV3d)) != 0;
    }
    return true;
}

// The light of a bump slot in the object's space: a light frame's light that is directional or
// a spot gives its direction (the negated at vector), any other frame its position.
OvMaterialEffectsBumpLight BumpLight(const OvMaterialEffectsSlot* bump, void* object, OvUInt8 type) {
    OvMaterialEffectsBumpLight light{{0.0f, 0.0f, 0.0f}, FALSE};
    OvFrame* frame = bump->frame != nullptr ? bump->frame : CameraFrame();
    if (frame == nullptr) {
        light.vector = {0.0f, 0.0f, -1.0f}; // without any frame: light along the view axis
        light.direction = TRUE;
        return light;
    }
    bool direction = false;
    for (OvLLLink* l = frame->objectList.next; l != &frame->objectList; l = l->next) {
        auto* o = reinterpret_cast<OvObjectHasFrame*>(reinterpret_cast<char*>(l) - offsetof(OvObjectHasFrame, lFrame));
        if (o->object.type == ovLIGHTOBJECTTYPE) {
            const OvUInt8 lightType = o->object.subType;
            direction = lightType == ovLIGHTDIRECTIONAL || lightType == ovLIGHTSPOT || lightType == ovLIGHTSPOTSOFT;
            break;
        }
    }
    const OvMatrix* m = OvFrameGetWorldMatrix(frame);
    OvMatrix toObject = Identity();
    if (type == ovD3D9OBJECTATOMIC) {
        OvFrame* atomicFrame = OvAtomicGetFrame(static_cast<OvAtomic*>(object));
        if (atomicFrame != nullptr) {
            OvMatrixInvert(&toObject, OvFrameGetWorldMatrix(atomicFrame));
        }
    }
    if (direction) {
        const OvV3d negated = {-m->at.x, -m->at.y, -m->at.z};
        OvV3dTransformVector(&light.vector, &negated, &toObject);
        light.direction = TRUE;
    } else {
        OvV3dTransformPoint(&light.vector, &m->pos, &toObject);
    }
    return light;
}

void DrawBump(const MeshContext& c, const OvMaterialEffectsSlot* bump, const OvMaterialEffectsSlot* env) {
    const OvMaterialEffectsDeviceFlags& f = gRender.flags;
    OvTexture* bumpTexture = bump->texture;
    if (bumpTexture == nullptr && HasAlpha(bump->source)) {
        bumpTexture = bump->source;
    }
    const bool envWanted = env != nullptr && env->texture != nullptr && Round255(env->coefficient) != 0;
    if (bumpTexture != nullptr && gScratchData != c.data) {
        gScratchData = c.data;
        gScratchRead = ReadVertices(c.data, &gScratch);
    }
    if (bumpTexture == nullptr || !gScratchRead) {
        // Nothing to bump with: the mesh as it is, and its environment over it.
        if (envWanted) {
            DrawEnvironment(c, env);
        } else {
            DrawPlain(c, nullptr);
        }
        return;
    }
    const OvD3D9InstancedMesh& mesh = *c.mesh;
    IDirect3DVertexBuffer9* buffer = nullptr;
    void* locked = nullptr;
    OvUInt32 base = 0;
    if (mesh.numVertices == 0 || mesh.minIndex + mesh.numVertices > c.data->totalNumVertex ||
        !OvD3D9DynamicVertexBufferLock(kBumpStride, mesh.numVertices, &buffer, &locked, &base)) {
        return; // no room for the vertices: this mesh is not drawn
    }
    const Vertices& v = gScratch;
    const OvUInt32 first = mesh.minIndex;
    const OvMaterialEffectsBumpLight light = BumpLight(bump, c.object, c.type);
    OvMaterialEffectsBumpVertices(static_cast<OvMaterialEffectsBumpVertex*>(locked), v.positions.data() + first,
                                  v.hasNormals ? v.normals.data() + first : nullptr,
                                  v.hasColors ? v.colors.data() + first : nullptr, v.uvs.data() + first,
                                  v.hasTangents ? v.tangents.data() + first : nullptr,
                                  static_cast<OvInt32>(mesh.numVertices), &light, bump->coefficient * bump->invWidth);
    OvD3D9DynamicVertexBufferUnlock(buffer);
    OvD3D9SetFVF(kBumpFvf);
    OvD3D9SetStreamSource(0, buffer, 0, kBumpStride);
    OvD3D9InstancedMesh drawn = mesh;
    drawn.baseIndex = static_cast<OvInt32>(base);

    // The pixel-shader path when its shader exists: bump alone (role 0) or with the environment
    // (role 3, or 4 and 5 with the frame-buffer-alpha flag).
    IDirect3DPixelShader9* shader = nullptr;
    bool envInShader = false;
    if (f.pixelShaders) {
        if (envWanted && gRender.shaders[kPsBumpEnv] != nullptr) {
            shader = gRender.shaders[env->frameBufferAlpha == 0 ? kPsBumpEnv
                                     : HasAlpha(env->texture)   ? kPsBumpEnvFbAlpha
                                                                : kPsBumpEnvFbNoAlpha];
            envInShader = shader != nullptr;
        }
        if (shader == nullptr) {
            shader = gRender.shaders[kPsBump];
        }
    }
    bool envDone = false;
    if (shader == nullptr) {
        // Two passes: the bump texture darkened by its height at the first set, then lit by its
        // height at the shifted second set.
        const SavedPass saved;
        OvD3D9SetTexture(bumpTexture, 0);
        StageBoth(0, D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE);
        OvD3D9RenderStateVertexAlphaEnable(TRUE);
        OvD3D9SetRenderState(D3DRS_ALPHATESTENABLE, FALSE);
        OvD3D9RenderStateSrcBlend(kBlendInvSrcAlpha);
        OvD3D9RenderStateDestBlend(kBlendZero);
        Draw(c.data, drawn);
        OvD3D9SetRenderState(D3DRS_ALPHATESTENABLE, TRUE);
        OvD3D9RenderStateSrcBlend(kBlendSrcAlpha);
        OvD3D9RenderStateDestBlend(kBlendOne);
        OvD3D9SetTextureStageState(0, D3DTSS_TEXCOORDINDEX, 1);
        OvD3D9SetRenderState(D3DRS_ZWRITEENABLE, FALSE);
        Draw(c.data, drawn);
        OvD3D9SetTextureStageState(0, D3DTSS_TEXCOORDINDEX, 0);
        saved.Restore();
    } else {
        const SavedPass saved;
        OvD3D9RenderStateVertexAlphaEnable(FALSE);
        OvD3D9SetRenderState(D3DRS_ALPHATESTENABLE, FALSE);
        SetBase(c);
        OvD3D9SetTexture(bumpTexture, 1);
        OvD3D9SetTextureStageState(1, D3DTSS_TEXCOORDINDEX, 1);
        float k = bump->coefficient;
        if (envInShader) {
            SetEnvironmentStage(2, env);
            k = env->coefficient;
            envDone = true;
        }
        const float constant[4] = {k, k, k, k};
        OvD3D9GetDevice()->SetPixelShaderConstantF(0, constant, 1);
        OvD3D9SetPixelShader(shader);
        Draw(c.data, drawn);
        OvD3D9SetPixelShader(nullptr);
        OvD3D9SetTexture(nullptr, 2);
        ClearStageTransform(2);
        OvD3D9SetTexture(nullptr, 1);
        OvD3D9SetTextureStageState(1, D3DTSS_TEXCOORDINDEX, 1);
        saved.Restore();
    }
    BindVertices(c.data);
    if (envWanted && !envDone) {
        DrawEnvironmentPass(c, env, Round255(env->coefficient));
    }
}

// ---- The render callback ----------------------------------------------------------------------------

void RenderCallback(OvResourceEntry* entry, void* object, OvUInt8 type, OvUInt32 flags) {
    auto* data = OvD3D9InstancedDataFromEntry(entry);
    OvD3D9InstancedMesh* meshes = OvD3D9InstancedDataGetMeshes(data);
    OvD3D9SetPixelShader(nullptr);
    OvD3D9AtomicSetClipping(object, type);
    BindVertices(data);
    const bool textured = (flags & (ovGEOMETRYTEXTURED | ovGEOMETRYTEXTURED2)) != 0;
    const bool lighting = OvD3D9GetRenderState(D3DRS_LIGHTING) != 0;

    if (!lighting && (flags & ovGEOMETRYPRELIT) == 0) {
        // Nothing lights it and it has no colours: opaque black.
        OvD3D9RenderStateVertexAlphaEnable(FALSE);
        OvD3D9SetRenderState(D3DRS_TEXTUREFACTOR, 0xFF000000u);
        StageBoth(0, D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_TFACTOR);
        OvD3D9SetTexture(nullptr, 0);
        for (OvUInt32 m = 0; m < data->numMeshes; ++m) {
            Draw(data, meshes[m]);
        }
        return;
    }

    static const OvMaterial kNoMaterial = {nullptr, {255, 255, 255, 255}, nullptr, {1.0f, 1.0f, 1.0f}, 1};
    gScratchData = nullptr; // the vertices are read again for every render (they may have changed)
    for (OvUInt32 m = 0; m < data->numMeshes; ++m) {
        const OvMaterial* material = meshes[m].material != nullptr ? meshes[m].material : &kNoMaterial;
        OvD3D9RenderStateVertexAlphaEnable(meshes[m].vertexAlpha != 0 || material->color.alpha < 255 ? TRUE : FALSE);
        if (lighting) {
            OvD3D9SetSurfaceProperties(&material->surfaceProperties, &material->color, flags);
        }
        const MeshContext c{entry,  data, &meshes[m], material,
                            object, type, flags,      textured ? material->texture : nullptr};
        const OvMaterialEffects* fx = meshes[m].material != nullptr ? OvMaterialEffectsGet(material) : nullptr;
        const OvUInt32 fxType = fx != nullptr ? fx->type : ovMATFXNONE;
        switch (fxType) {
        case ovMATFXBUMP:
            DrawBump(c, &fx->slots[0], nullptr);
            break;
        case ovMATFXENV:
            DrawEnvironment(c, &fx->slots[0]);
            break;
        case ovMATFXBUMPENV:
            DrawBump(c, &fx->slots[0], &fx->slots[1]);
            break;
        case ovMATFXDUAL:
            DrawDual(c, &fx->slots[0], nullptr, nullptr);
            break;
        case ovMATFXDUALUVTRANSFORM:
            DrawDual(c, &fx->slots[1], fx->slots[0].baseMatrix, fx->slots[0].dualMatrix);
            break;
        case ovMATFXUVTRANSFORM:
            DrawPlain(c, fx->slots[0].baseMatrix);
            break;
        default:
            DrawPlain(c, nullptr);
            break;
        }
    }
}

// ---- Instance wrappers ------------------------------------------------------------------------------

// Whether some mesh's material is bumped (types 1 and 3) and can use a tangent.
bool WantsTangents(OvD3D9InstancedData* data) {
    if (!gRender.flags.pixelShaders) {
        return false;
    }
    const OvD3D9InstancedMesh* meshes = OvD3D9InstancedDataGetMeshes(data);
    for (OvUInt32 m = 0; m < data->numMeshes; ++m) {
        const OvMaterialEffects* fx = OvMaterialEffectsGet(meshes[m].material);
        if (fx != nullptr && (fx->type == ovMATFXBUMP || fx->type == ovMATFXBUMPENV)) {
            return true;
        }
    }
    return false;
}

OvBool AtomicInstance(void* object, OvD3D9InstancedData* data, OvBool reinstance) {
    if (!reinstance && WantsTangents(data)) {
        OvGeometry* g = static_cast<OvAtomic*>(object)->geometry;
        OvD3D9GeometrySetInstanceFlags(g, OvD3D9GeometryGetInstanceFlags(g) | ovD3D9INSTANCETANGENT);
    }
    return gRender.atomicInstance != nullptr ? gRender.atomicInstance(object, data, reinstance) : FALSE;
}

OvBool SectorInstance(void* object, OvD3D9InstancedData* data, OvBool reinstance) {
    if (!reinstance && WantsTangents(data)) {
        auto* sector = static_cast<OvWorldSector*>(object);
        OvD3D9WorldSectorSetInstanceFlags(sector, OvD3D9WorldSectorGetInstanceFlags(sector) | ovD3D9INSTANCETANGENT);
    }
    return gRender.sectorInstance != nullptr ? gRender.sectorInstance(object, data, reinstance) : FALSE;
}

// A pipeline of one all-in-one node with our callbacks; the node's own instance callback is kept.
OvPipeline* MakePipeline(OvNodeDefinition* definition, OvD3D9InstanceCallBack wrapper, OvD3D9InstanceCallBack* kept) {
    OvPipeline* p = OvPipelineCreate();
    if (p == nullptr) {
        return nullptr;
    }
    p->ownerPluginId = ovPLUGINIDMATERIALEFFECTS;
    if (OvPipelineLock(p) == nullptr || OvPipelineAddFragment(p, nullptr, definition, nullptr) == nullptr ||
        OvPipelineUnlock(p) == nullptr) {
        OvPipelineDestroy(p);
        return nullptr;
    }
    OvPipelineNode* node = OvPipelineFindNode(p, definition->name, nullptr, nullptr);
    if (node == nullptr) {
        OvPipelineDestroy(p);
        return nullptr;
    }
    *kept = OvD3D9AllInOneNodeGetInstanceCallback(node);
    OvD3D9AllInOneNodeSetInstanceCallback(node, wrapper);
    OvD3D9AllInOneNodeSetRenderCallback(node, RenderCallback);
    return p;
}

void ReleaseAll() {
    for (OvPipeline** p : {&gRender.atomicPipeline, &gRender.sectorPipeline}) {
        if (*p != nullptr) {
            OvPipelineDestroy(*p);
            *p = nullptr;
        }
    }
    for (IDirect3DPixelShader9*& s : gRender.shaders) {
        if (s != nullptr) {
            OvD3D9DeleteShader(s);
            s = nullptr;
        }
    }
    gRender.flags = {};
    gRender.add = gRender.modulate2x = Check::Pending;
}

} // namespace

OvBool OvMaterialEffectsRenderOpen() {
    if (gRender.opens++ > 0) {
        return TRUE;
    }
    gRender.atomicPipeline =
        MakePipeline(OvNodeD3D9AtomicAllInOneGetDefinition(), AtomicInstance, &gRender.atomicInstance);
    gRender.sectorPipeline =
        MakePipeline(OvNodeD3D9WorldSectorAllInOneGetDefinition(), SectorInstance, &gRender.sectorInstance);
    if (gRender.atomicPipeline == nullptr || gRender.sectorPipeline == nullptr) {
        ReleaseAll();
        gRender.opens = 0;
        return FALSE;
    }
    gRender.add = gRender.modulate2x = Check::Pending;
    OvMaterialEffectsDeviceFlags& f = gRender.flags;
    f = {};
    if (const D3DCAPS9* caps = OvD3D9GetCaps()) {
        f.blendStages = caps->MaxTextureBlendStages;
        if (f.blendStages >= 2) {
            f.twoTextures = caps->MaxSimultaneousTextures >= 2 ? TRUE : FALSE;
            f.modulate2x = (caps->TextureOpCaps & D3DTEXOPCAPS_MODULATE2X) != 0 ? TRUE : FALSE;
            f.multiplyAdd = (caps->TextureOpCaps & D3DTEXOPCAPS_MULTIPLYADD) != 0 ? TRUE : FALSE;
            f.pixelShaders = (caps->PixelShaderVersion & 0xFFFF) >= 0x0101 ? TRUE : FALSE;
        }
    }
    if (f.pixelShaders) {
        for (int i = 0; i < kPsCount; ++i) {
            if (!OvD3D9CreatePixelShader(kPsTokens[i], &gRender.shaders[i])) {
                gRender.shaders[i] = nullptr;
            }
        }
    }
    return TRUE;
}

void OvMaterialEffectsRenderClose() {
    if (gRender.opens > 0 && --gRender.opens == 0) {
        ReleaseAll();
    }
}

const OvMaterialEffectsDeviceFlags* OvMaterialEffectsGetDeviceFlags() { return &gRender.flags; }

OvPipeline* OvMaterialEffectsGetAtomicPipeline() { return gRender.atomicPipeline; }
OvPipeline* OvMaterialEffectsGetWorldSectorPipeline() { return gRender.sectorPipeline; }

OvAtomic* OvMaterialEffectsAtomicEnable(OvAtomic* atomic) {
    if (atomic == nullptr) {
        return nullptr;
    }
    atomic->pipeline = gRender.atomicPipeline;
    return atomic;
}

OvWorldSector* OvMaterialEffectsWorldSectorEnable(OvWorldSector* sector) {
    if (sector == nullptr) {
        return nullptr;
    }
    sector->pipeline = gRender.sectorPipeline;
    return sector;
}

void OvMaterialEffectsBumpVertices(OvMaterialEffectsBumpVertex* out, const OvV3d* positions, const OvV3d* normals,
                                   const OvUInt32* colors, const OvV2d* uvs, const OvV3d* tangents, OvInt32 count,
                                   const OvMaterialEffectsBumpLight* light, float scale) {
    OvV3d l = light->vector;
    if (light->direction) {
        const float len = std::sqrt(OvV3dDotProduct(&l, &l));
        if (len > 0.0f) {
            OvV3dScale(&l, &l, 1.0f / len);
        }
    }
    for (OvInt32 i = 0; i < count; ++i) {
        const OvV3d& p = positions[i];
        const OvV3d n = normals != nullptr ? normals[i] : OvV3d{0.0f, 0.0f, 0.0f};
        const OvV3d t = tangents != nullptr ? tangents[i] : OvV3d{0.0f, 0.0f, 0.0f};
        OvV3d toLight = l;
        if (!light->direction) {
            OvV3dSub(&toLight, &light->vector, &p);
            const float len = std::sqrt(OvV3dDotProduct(&toLight, &toLight));
            if (len > 0.0f) {
                OvV3dScale(&toLight, &toLight, 1.0f / len);
            }
        }
        OvV3d b;
        OvV3dCrossProduct(&b, &t, &n);
        OvMaterialEffectsBumpVertex& v = out[i];
        v.position = p;
        v.normal = n;
        v.color = colors != nullptr ? colors[i] : 0xFFFFFFFFu;
        v.u0 = uvs[i].x;
        v.v0 = uvs[i].y;
        v.u1 = uvs[i].x + OvV3dDotProduct(&t, &toLight) * scale;
        v.v1 = uvs[i].y + OvV3dDotProduct(&b, &toLight) * scale;
    }
}
