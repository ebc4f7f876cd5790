// Drawing material effects on the stand-in device over several capability sets: the pipelines
// and how objects get them (enable calls, stream marks), the passes each dual-texture blend pair
// takes against a table of what each device allows, environment maps in one pass, with two
// textures or in two passes (and the adding validated once), bump maps on the processor (two
// passes) or with pixel shaders and the tangent element, texture-coordinate transforms of a
// material read from a stream, and the bump offsets against a double-precision reference for a
// point and a directional light.

#include "graphics/plugins/material_effects.h"
#include "graphics/plugins/tests/plugin_test_kit.h"

#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/d3d9/tests/d3d9_fixture.h"
#include "graphics/core/pipeline.h"
#include "graphics/core/raster.h"
#include "graphics/core/stream.h"
#include "graphics/core/texture.h"
#include "graphics/world/clump.h"
#include "graphics/world/d3d9_pipeline.h"
#include "graphics/world/geometry.h"
#include "graphics/world/material.h"
#include "graphics/world/mesh.h"
#include "graphics/world/world_plugin.h"
#include "graphics/world/testkit/world_camera.h"
#include "graphics/world/tests/level_kit.h"
#include "graphics/world/tests/world_test_kit.h"
#include "graphics/world/world.h"
#include "platform/d3d9_control.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

namespace {

struct Caps {
    DWORD stages = 8;
    DWORD textures = 8;
    bool modulate2x = true;
    bool multiplyAdd = true;
    DWORD pixelShader = 0; // version, 0: none
};

class EffectsRenderTest : public D3d9DriverTest {
protected:
    void SetUp() override {
        D3d9DriverTest::SetUp();
        ASSERT_TRUE(OvWorldPluginAttach());
        ASSERT_TRUE(OvMaterialEffectsPluginAttach());
    }
    // The engine started on a device with these caps (stopped first when it runs).
    bool Start(const Caps& caps) {
        if (OvEngineGetStatus() == ovENGINESTATUSSTARTED) {
            OvEngineStop();
            OvEngineClose();
        }
        D3d9Adapter adapter = D3d9DefaultAdapter();
        adapter.caps.MaxTextureBlendStages = caps.stages;
        adapter.caps.MaxSimultaneousTextures = caps.textures;
        adapter.caps.TextureOpCaps = 0xFFFF | D3DTEXOPCAPS_MULTIPLYADD;
        if (!caps.modulate2x) {
            adapter.caps.TextureOpCaps &= ~D3DTEXOPCAPS_MODULATE2X;
        }
        if (!caps.multiplyAdd) {
            adapter.caps.TextureOpCaps &= ~D3DTEXOPCAPS_MULTIPLYADD;
        }
        adapter.caps.PixelShaderVersion = caps.pixelShader;
        D3d9SetAdapters({adapter});
        return Up();
    }
};

OvTexture* MakeTexture(const char* name, bool alpha) {
    OvRaster* raster = OvRasterCreate(4, 4, 32, ovRASTERTYPETEXTURE | (alpha ? ovRASTERFORMAT8888 : ovRASTERFORMAT888));
    OvTexture* t = OvTextureCreate(raster);
    OvTextureSetName(t, name);
    return t;
}

// A grid of n x n quads (normals, prelit colours, one or two texture sets) with one material, or
// two when the quads alternate between them.
OvAtomic* Grid(int n, OvMaterial** materialOut, bool twoSets = false, bool twoMaterials = false) {
    const int verts = (n + 1) * (n + 1);
    const OvUInt32 sets = twoSets ? 2 : 1;
    OvGeometry* g = OvGeometryCreate(verts, 2 * n * n,
                                     ovGEOMETRYPOSITIONS | ovGEOMETRYNORMALS | ovGEOMETRYPRELIT | ovGEOMETRYLIGHT |
                                         (twoSets ? ovGEOMETRYTEXTURED2 : ovGEOMETRYTEXTURED) | (sets << 16));
    OvMaterial* material = OvMaterialCreate();
    OvMaterial* other = twoMaterials ? OvMaterialCreate() : material;
    for (int z = 0; z <= n; ++z) {
        for (int x = 0; x <= n; ++x) {
            const int i = z * (n + 1) + x;
            g->morphTarget[0].verts[i] = {static_cast<float>(x), 0.0f, static_cast<float>(z)};
            g->morphTarget[0].normals[i] = {0.0f, 1.0f, 0.0f};
            g->preLitLum[i] = {200, 200, 200, 255};
            for (OvUInt32 s = 0; s < sets; ++s) {
                g->texCoords[s][i] = {0.5f * static_cast<float>(x), 0.5f * static_cast<float>(z)};
            }
        }
    }
    int t = 0;
    for (int z = 0; z < n; ++z) {
        for (int x = 0; x < n; ++x) {
            const auto a = static_cast<OvUInt16>(z * (n + 1) + x), b = static_cast<OvUInt16>(a + 1),
                       c = static_cast<OvUInt16>(a + n + 1), d = static_cast<OvUInt16>(c + 1);
            OvMaterial* m = (x + z) % 2 == 0 ? material : other;
            OvGeometryTriangleSetVertexIndices(g, &g->triangles[t], a, c, b);
            OvGeometryTriangleSetMaterial(g, &g->triangles[t++], m);
            OvGeometryTriangleSetVertexIndices(g, &g->triangles[t], b, c, d);
            OvGeometryTriangleSetMaterial(g, &g->triangles[t++], m);
        }
    }
    OvMaterialDestroy(material);
    if (twoMaterials) {
        OvMaterialDestroy(other);
    }
    return EffectsAtomicOf(g, materialOut);
}

int Draws() { return D3d9LogCount("DrawIndexedPrimitive"); }
bool Logged(const std::string& line) {
    const auto& log = D3d9Log();
    return std::find(log.begin(), log.end(), line) != log.end();
}

// Position in the log of the last call of a method, -1 for none.
long LastOf(const std::string& method) {
    const auto& log = D3d9Log();
    for (long i = static_cast<long>(log.size()) - 1; i >= 0; --i) {
        if (log[static_cast<std::size_t>(i)].rfind(method + "(", 0) == 0) {
            return i;
        }
    }
    return -1;
}

// Draws of one render of the atomic, with the log cleared first.
int RenderDraws(OvAtomic* atomic) {
    D3d9LogClear();
    EXPECT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    return Draws();
}

} // namespace

TEST_F(EffectsRenderTest, PipelinesComeFromEnableAndFromStreamMarks) {
    ASSERT_TRUE(Start({}));
    OvPipeline* atomicPipeline = OvMaterialEffectsGetAtomicPipeline();
    OvPipeline* sectorPipeline = OvMaterialEffectsGetWorldSectorPipeline();
    ASSERT_NE(atomicPipeline, nullptr);
    ASSERT_NE(sectorPipeline, nullptr);
    EXPECT_EQ(atomicPipeline->ownerPluginId, ovPLUGINIDMATERIALEFFECTS);
    EXPECT_NE(OvPipelineFindNode(sectorPipeline, "nodeD3D9WorldSectorAllInOne.qxl", nullptr, nullptr), nullptr);

    OvAtomic* plain = OvAtomicCreate();
    EXPECT_EQ(OvMaterialEffectsAtomicEnable(plain), plain);
    EXPECT_EQ(plain->pipeline, atomicPipeline);
    EXPECT_FALSE(OvMaterialEffectsAtomicGetFlag(plain)); // enabling leaves the flag
    OvAtomicDestroy(plain);

    // A clump whose atomic carries the mark: read back, it has the flag and the pipeline; one
    // without the mark keeps the default pipeline.
    for (bool marked : {true, false}) {
        mkasset::ClumpDesc desc;
        desc.frames.resize(1);
        mkasset::AtomicDesc atomic;
        atomic.ownGeometry.flags = ovGEOMETRYPOSITIONS;
        atomic.ownGeometry.numVertices = 3;
        atomic.ownGeometry.triangles = {{{0, 1, 2}, 0}};
        atomic.ownGeometry.morphTargets.resize(1);
        atomic.ownGeometry.morphTargets[0].verts = {0, 0, 0, 1, 0, 0, 0, 1, 0};
        atomic.ownGeometry.materialList = mkasset::MaterialListOf({mkasset::MaterialDesc{}});
        if (marked) {
            atomic.extensions.push_back({ovPLUGINIDMATERIALEFFECTS, {1, 0, 0, 0}});
        }
        desc.atomics.push_back(atomic);
        OvClump* clump = worldtest::ReadClump(mkasset::ClumpFile(desc));
        ASSERT_NE(clump, nullptr);
        OvAtomic* read = reinterpret_cast<OvAtomic*>(reinterpret_cast<char*>(clump->atomicList.next) -
                                                     offsetof(OvAtomic, inClumpLink));
        EXPECT_EQ(OvMaterialEffectsAtomicGetFlag(read), marked ? TRUE : FALSE);
        EXPECT_EQ(read->pipeline, marked ? atomicPipeline : nullptr);
        OvClumpDestroy(clump);
    }
}

// Passes of every blend pair, with and without a base texture, on devices from one blend stage to
// three, with and without MODULATE2X and MULTIPLYADD.
TEST_F(EffectsRenderTest, DualTexturePassesFollowTheDevice) {
    struct Pair {
        OvUInt32 src, dest;
    };
    const Pair pairs[] = {{9, 1}, {1, 3}, {5, 6}, {9, 3}, {2, 2}, {1, 5}, {3, 5}};
    const Caps devices[] = {
        {1, 1, true, true}, {2, 2, true, true}, {2, 2, false, false}, {3, 3, true, true}, {3, 3, false, false}};
    for (const Caps& caps : devices) {
        ASSERT_TRUE(Start(caps));
        const bool two = caps.stages >= 2 && caps.textures >= 2;
        for (bool withBase : {false, true}) {
            for (const Pair& p : pairs) {
                OvMaterial* material = nullptr;
                OvAtomic* atomic = Grid(2, &material);
                OvTexture* base = withBase ? MakeTexture("base", false) : nullptr;
                OvTexture* dual = MakeTexture("dual", true);
                OvMaterialSetTexture(material, base);
                OvMaterialEffectsSetType(material, ovMATFXDUAL);
                OvMaterialEffectsFindSlot(material, ovMATFXKINDDUAL)->texture = dual;
                OvMaterialEffectsSetDualBlendModes(material, p.src, p.dest);

                // What each device allows in one pass, from the pair's stage set-up.
                bool one = false;
                const bool modulating =
                    (p.src == 9 && p.dest == 1) || (p.src == 1 && p.dest == 3) || (p.src == 1 && p.dest == 5);
                if (two) {
                    if (modulating) {
                        one = true;
                    } else if (p.src == 5 && p.dest == 6) {
                        one = !withBase || caps.stages >= 3;
                    } else if (p.src == 9 && p.dest == 3) {
                        one = caps.modulate2x;
                    } else if (p.src == 2 && p.dest == 2) {
                        one = !withBase || caps.multiplyAdd;
                    }
                }
                D3d9LogEnable(true);
                EXPECT_EQ(RenderDraws(atomic), one ? 1 : 2)
                    << "pair " << p.src << "," << p.dest << " base " << withBase << " stages " << caps.stages;
                // Afterwards stage 1 is off and stage 0 modulates the texture by the colour again.
                OvD3D9RenderStateFlush();
                DWORD op = 0;
                OvD3D9GetDevice()->GetTextureStageState(1, D3DTSS_COLOROP, &op);
                EXPECT_EQ(op, static_cast<DWORD>(D3DTOP_DISABLE));
                OvD3D9GetDevice()->GetTextureStageState(0, D3DTSS_COLOROP, &op);
                EXPECT_EQ(op, static_cast<DWORD>(D3DTOP_MODULATE));
                if (!one) {
                    // The second pass blends by the slot's pair without writing depth.
                    EXPECT_TRUE(Logged("SetRenderState(19, " + std::to_string(p.src) + ")") || p.src == 5);
                    EXPECT_TRUE(Logged("SetRenderState(14, 0)"));
                }
                D3d9LogEnable(false);
                if (base != nullptr) {
                    OvTextureDestroy(base);
                }
                OvAtomicDestroy(atomic);
            }
        }
    }
}

// MODULATE2X over a base texture is validated on its first draw; a device that refuses it sends
// that draw and later ones to two passes, and is asked only once.
TEST_F(EffectsRenderTest, ValidationFailureSwitchesToTwoPasses) {
    ASSERT_TRUE(Start({3, 3, true, false}));
    OvMaterial* material = nullptr;
    OvAtomic* atomic = Grid(2, &material, true);
    OvTexture* base = MakeTexture("base", false);
    OvMaterialSetTexture(material, base);
    OvTextureDestroy(base);
    OvMaterialEffectsSetType(material, ovMATFXDUAL);
    OvMaterialEffectsFindSlot(material, ovMATFXKINDDUAL)->texture = MakeTexture("dual", false);
    OvMaterialEffectsSetDualBlendModes(material, 9, 3);
    D3d9ScriptFailure("ValidateDevice", D3DERR_UNSUPPORTEDCOLOROPERATION);
    D3d9LogEnable(true);
    EXPECT_EQ(RenderDraws(atomic), 2);
    EXPECT_EQ(D3d9LogCount("ValidateDevice"), 1);
    EXPECT_EQ(RenderDraws(atomic), 2);
    EXPECT_EQ(D3d9LogCount("ValidateDevice"), 0);
    // Two sets: the dual texture's pass reads set 1.
    EXPECT_TRUE(Logged("SetTextureStageState(0, 11, 1)"));
    D3d9LogEnable(false);
    OvAtomicDestroy(atomic);
}

// Environment maps: one pass with the environment added on stage 1 (validated once) or through
// MULTIPLYADD, two passes for a transparent material, and nothing extra for a zero coefficient.
TEST_F(EffectsRenderTest, EnvironmentMapsTakeOneOrTwoPasses) {
    struct Case {
        Caps caps;
        float coefficient;
        bool withBase;
        OvUInt8 alpha; // the material's
        int draws;
        const char* op; // the environment stage's colour operation, logged
    };
    const Case cases[] = {
        {{2, 2, true, true}, 0.5f, true, 255, 1, "SetTextureStageState(1, 1, 25)"},   // MULTIPLYADD
        {{2, 2, true, false}, 1.0f, true, 255, 1, "SetTextureStageState(1, 1, 7)"},   // ADD over the base
        {{2, 2, true, true}, 1.0f, true, 255, 1, "SetTextureStageState(1, 1, 7)"},    // also with MULTIPLYADD
        {{2, 2, true, false}, 1.0f, false, 255, 1, "SetTextureStageState(0, 1, 7)"},  // ADD to the colour
        {{2, 2, true, false}, 0.5f, true, 255, 2, "SetRenderState(20, 2)"},           // additive second pass
        {{1, 1, true, true}, 0.5f, true, 255, 2, "SetRenderState(20, 2)"},            // one stage
        {{2, 2, true, true}, 0.5f, true, 128, 2, "SetRenderState(14, 0)"},            // transparent material
        {{2, 2, true, true}, 0.0f, true, 255, 1, nullptr},                            // nothing to add
        {{2, 2, true, true}, std::nanf(""), true, 255, 1, nullptr},                   // not a number: nothing
        {{2, 2, true, false}, 1e30f, false, 255, 1, "SetTextureStageState(0, 1, 7)"}, // beyond 1: all of it
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(Start(c.caps));
        OvMaterial* material = nullptr;
        OvAtomic* atomic = Grid(2, &material);
        if (c.withBase) {
            OvTexture* base = MakeTexture("base", false);
            OvMaterialSetTexture(material, base);
            OvTextureDestroy(base);
        }
        material->color.alpha = c.alpha;
        OvMaterialEffectsSetType(material, ovMATFXENV);
        OvMaterialEffectsSlot* env = OvMaterialEffectsFindSlot(material, ovMATFXKINDENV);
        env->texture = MakeTexture("sky", false);
        env->coefficient = c.coefficient;
        D3d9LogEnable(true);
        const std::string what = c.op != nullptr ? c.op : "zero";
        EXPECT_EQ(RenderDraws(atomic), c.draws) << what;
        if (c.op != nullptr) {
            EXPECT_TRUE(Logged(c.op)) << what;
        }
        if (c.coefficient > 0.0f && c.coefficient <= 1.0f) {
            // Coordinates from the camera-space normal through the projection matrix.
            EXPECT_TRUE(
                Logged("SetTextureStageState(" + std::to_string(c.draws == 2 || !c.withBase ? 0 : 1) + ", 11, 65536)"))
                << what;
        }
        const bool adding = c.coefficient == 1.0f && c.withBase;
        EXPECT_EQ(D3d9LogCount("ValidateDevice"), adding ? 1 : 0) << what;
        EXPECT_EQ(RenderDraws(atomic), c.draws) << what;
        EXPECT_EQ(D3d9LogCount("ValidateDevice"), 0) << what;
        D3d9LogEnable(false);
        OvAtomicDestroy(atomic);
    }
    // A device that refuses the adding: later draws take MULTIPLYADD with a full factor where the
    // device has it, two passes where it has not.
    for (const bool multiplyAdd : {true, false}) {
        ASSERT_TRUE(Start({2, 2, true, multiplyAdd}));
        OvMaterial* material = nullptr;
        OvAtomic* atomic = Grid(2, &material);
        OvTexture* base = MakeTexture("base", false);
        OvMaterialSetTexture(material, base);
        OvTextureDestroy(base);
        OvMaterialEffectsSetType(material, ovMATFXENV);
        OvMaterialEffectsSlot* env = OvMaterialEffectsFindSlot(material, ovMATFXKINDENV);
        env->texture = MakeTexture("sky", false);
        env->coefficient = 1.0f;
        D3d9ScriptFailure("ValidateDevice", D3DERR_UNSUPPORTEDCOLOROPERATION);
        D3d9LogEnable(true);
        EXPECT_EQ(RenderDraws(atomic), 1);
        EXPECT_EQ(D3d9LogCount("ValidateDevice"), 1);
        EXPECT_EQ(RenderDraws(atomic), multiplyAdd ? 1 : 2);
        if (multiplyAdd) {
            EXPECT_TRUE(Logged("SetTextureStageState(1, 1, 25)"));
        }
        D3d9LogEnable(false);
        OvAtomicDestroy(atomic);
    }
}

// Bump maps: two passes through the 44-byte format without pixel shaders (the geometry gets no
// tangent); with pixel shader 1.4 the tangent element and one draw with the bump shader, and the
// environment of type 3 folded into the same draw.
TEST_F(EffectsRenderTest, BumpMapsByPassesOrByPixelShader) {
    for (DWORD ps : {0u, 0xFFFF0104u}) {
        ASSERT_TRUE(Start({3, 3, true, true, ps}));
        EXPECT_EQ(OvMaterialEffectsGetDeviceFlags()->pixelShaders, ps != 0 ? TRUE : FALSE);
        for (OvUInt32 type : {ovMATFXBUMP, ovMATFXBUMPENV}) {
            OvMaterial* material = nullptr;
            OvAtomic* atomic = Grid(3, &material);
            OvTexture* base = MakeTexture("stone", false);
            OvMaterialSetTexture(material, base);
            OvTextureDestroy(base);
            OvMaterialEffectsSetType(material, type);
            OvTexture* grain = MakeTexture("grain", false);
            ASSERT_EQ(OvMaterialEffectsSetBumpTexture(material, grain), material);
            OvTextureDestroy(grain);
            OvMaterialEffectsSlot* bump = OvMaterialEffectsFindSlot(material, ovMATFXKINDBUMP);
            ASSERT_NE(bump->texture, nullptr);
            EXPECT_STREQ(bump->texture->name, "sgtroanien");
            bump->coefficient = 2.0f;
            if (type == ovMATFXBUMPENV) {
                OvMaterialEffectsSlot* env = OvMaterialEffectsFindSlot(material, ovMATFXKINDENV);
                env->texture = MakeTexture("sky", false);
                env->coefficient = 0.5f;
            }
            D3d9LogEnable(true);
            const int expected = ps != 0 ? 1 : type == ovMATFXBUMP ? 2 : 3;
            EXPECT_EQ(RenderDraws(atomic), expected) << type << " " << ps;
            EXPECT_TRUE(Logged("SetFVF(594)"));
            EXPECT_EQ(D3d9LogCount("SetPixelShader") > 0 && Logged("SetPixelShader(ptr)"), ps != 0);
            const bool tangent = (OvD3D9GeometryGetInstanceFlags(atomic->geometry) & ovD3D9INSTANCETANGENT) != 0;
            EXPECT_EQ(tangent, ps != 0);
            if (ps == 0) {
                EXPECT_TRUE(Logged("SetTextureStageState(0, 11, 1)")); // the second pass reads the moved set
            } else {
                EXPECT_EQ(Logged("SetTextureStageState(2, 11, 65536)"), type == ovMATFXBUMPENV);
            }
            // The instanced streams are bound again for what follows.
            EXPECT_GT(LastOf("SetVertexDeclaration"), LastOf("SetFVF"));
            D3d9LogEnable(false);
            OvAtomicDestroy(atomic);
        }
    }
}

// A type-5 material read from a stream has no matrices (they are not stored): it draws once
// without a texture transform; given a matrix it transforms set 0 and resets afterwards.
TEST_F(EffectsRenderTest, TextureTransformsOfAStreamReadMaterial) {
    ASSERT_TRUE(Start({}));
    OvMaterial* material = nullptr;
    OvAtomic* atomic = Grid(1, &material);
    const worldtest::Bytes body = {5, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0};
    OvStream* s = worldtest::OpenBytes(body);
    ASSERT_EQ(OvMaterialEffectsStreamRead(s, static_cast<OvInt32>(body.size()), material), s);
    OvStreamClose(s, nullptr);
    D3d9LogEnable(true);
    EXPECT_EQ(RenderDraws(atomic), 1);
    EXPECT_EQ(D3d9LogCount("SetTransform"), 1); // the world matrix only

    OvMatrix m{};
    m.right = {2.0f, 0.0f, 0.0f};
    m.up = {0.0f, 1.0f, 0.0f};
    m.at = {0.0f, 0.0f, 1.0f};
    m.pos = {0.25f, 0.0f, 0.0f};
    OvMaterialEffectsFindSlot(material, ovMATFXKINDUVTRANSFORM)->baseMatrix = &m;
    EXPECT_EQ(RenderDraws(atomic), 1);
    EXPECT_TRUE(Logged("SetTransform(16, ptr)"));
    EXPECT_TRUE(Logged("SetTextureStageState(0, 24, 2)"));
    D3DMATRIX t{};
    OvD3D9GetDevice()->GetTransform(D3DTS_TEXTURE0, &t);
    EXPECT_EQ(t.m[0][0], 2.0f);
    EXPECT_EQ(t.m[2][0], 0.25f); // the translation row takes the third place of (u, v, 1)
    DWORD flags = 1;
    OvD3D9RenderStateFlush();
    OvD3D9GetDevice()->GetTextureStageState(0, D3DTSS_TEXTURETRANSFORMFLAGS, &flags);
    EXPECT_EQ(flags, static_cast<DWORD>(D3DTTFF_DISABLE));
    D3d9LogEnable(false);
    OvAtomicDestroy(atomic);
}

// The second texture set of the bump pass against a reference in double precision, for seeded
// vertices lit by a point light and by a directional light.
TEST(EffectsBumpOffsets, MatchAReferenceForPointAndDirectionalLights) {
    std::mt19937 rng(38);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    const int n = 200;
    std::vector<OvV3d> pos(n), nrm(n), tan(n);
    std::vector<OvV2d> uv(n);
    std::vector<OvUInt32> col(n);
    for (int i = 0; i < n; ++i) {
        pos[i] = {u(rng) * 4, u(rng) * 4, u(rng) * 4};
        nrm[i] = {u(rng), u(rng), u(rng)};
        tan[i] = {u(rng), u(rng), u(rng)};
        uv[i] = {u(rng), u(rng)};
        col[i] = static_cast<OvUInt32>(rng());
    }
    const float scale = 0.75f * (1.0f / 64.0f);
    for (OvBool direction : {FALSE, TRUE}) {
        const OvMaterialEffectsBumpLight light{{3.0f, 7.0f, -2.0f}, direction};
        std::vector<OvMaterialEffectsBumpVertex> out(n);
        OvMaterialEffectsBumpVertices(out.data(), pos.data(), nrm.data(), col.data(), uv.data(), tan.data(), n, &light,
                                      scale);
        for (int i = 0; i < n; ++i) {
            double l[3] = {light.vector.x, light.vector.y, light.vector.z};
            if (!direction) {
                l[0] -= pos[i].x;
                l[1] -= pos[i].y;
                l[2] -= pos[i].z;
            }
            const double len = std::sqrt(l[0] * l[0] + l[1] * l[1] + l[2] * l[2]);
            for (double& c : l) {
                c /= len;
            }
            const double t[3] = {tan[i].x, tan[i].y, tan[i].z}, nn[3] = {nrm[i].x, nrm[i].y, nrm[i].z};
            const double b[3] = {t[1] * nn[2] - t[2] * nn[1], t[2] * nn[0] - t[0] * nn[2], t[0] * nn[1] - t[1] * nn[0]};
            const double du = (t[0] * l[0] + t[1] * l[1] + t[2] * l[2]) * scale;
            const double dv = (b[0] * l[0] + b[1] * l[1] + b[2] * l[2]) * scale;
            EXPECT_NEAR(out[i].u1, uv[i].x + du, 1e-5) << i;
            EXPECT_NEAR(out[i].v1, uv[i].y + dv, 1e-5) << i;
            EXPECT_EQ(out[i].u0, uv[i].x);
            EXPECT_EQ(out[i].color, col[i]);
            EXPECT_EQ(out[i].position.y, pos[i].y);
        }
    }
    // Without normals, tangents and colours: zero offsets, white.
    const OvMaterialEffectsBumpLight light{{0.0f, 1.0f, 0.0f}, TRUE};
    OvMaterialEffectsBumpVertex v{};
    OvMaterialEffectsBumpVertices(&v, pos.data(), nullptr, nullptr, uv.data(), nullptr, 1, &light, 1.0f);
    EXPECT_EQ(v.u1, uv[0].x);
    EXPECT_EQ(v.v1, uv[0].y);
    EXPECT_EQ(v.color, 0xFFFFFFFFu);
    EXPECT_EQ(v.normal.x, 0.0f);
}

// Effects read from a stream whose textures cannot be found (bump source, environment, dual
// texture): each mesh is drawn once as a plain material, nothing is left bound on the extra
// stages, and the bump slot has no width (no offsets).
TEST_F(EffectsRenderTest, StreamReadEffectsWithoutTheirTexturesDrawPlainly) {
    ASSERT_TRUE(Start({}));
    auto textureChunk = [](worldtest::Bytes* body) {
        mkasset::ChunkWriter w;
        mkasset::TextureDesc t;
        t.name = "no_such_texture";
        mkasset::WriteTexture(w, t);
        body->insert(body->end(), w.Data().begin(), w.Data().end());
    };
    auto u32 = [](worldtest::Bytes* body, std::uint32_t v) {
        for (int k = 0; k < 4; ++k) {
            body->push_back(static_cast<std::uint8_t>(v >> (8 * k)));
        }
    };
    for (OvUInt32 type : {ovMATFXBUMP, ovMATFXENV, ovMATFXDUAL}) {
        worldtest::Bytes body;
        u32(&body, type);
        u32(&body, type == ovMATFXDUAL ? 4 : type);
        if (type == ovMATFXBUMP) {
            u32(&body, 0xBF000000u); // -0.5
            u32(&body, 0);
            u32(&body, 1);
        } else if (type == ovMATFXENV) {
            u32(&body, 0x3F000000u); // 0.5
            u32(&body, 0);
            u32(&body, 1);
        } else {
            u32(&body, 9);
            u32(&body, 1);
            u32(&body, 1);
        }
        textureChunk(&body);
        u32(&body, 0);
        OvMaterial* material = nullptr;
        OvAtomic* atomic = Grid(2, &material);
        OvStream* s = worldtest::OpenBytes(body);
        ASSERT_EQ(OvMaterialEffectsStreamRead(s, static_cast<OvInt32>(body.size()), material), s) << type;
        OvStreamClose(s, nullptr);
        if (type == ovMATFXBUMP) {
            EXPECT_EQ(OvMaterialEffectsFindSlot(material, ovMATFXKINDBUMP)->invWidth, 0.0f);
        }
        D3d9LogEnable(true);
        EXPECT_EQ(RenderDraws(atomic), 1) << type;
        EXPECT_FALSE(Logged("SetFVF(594)"));
        EXPECT_FALSE(Logged("SetTexture(1, ptr)"));
        D3d9LogEnable(false);
        OvAtomicDestroy(atomic);
    }
}

// World sectors: a sector marked in the file gets the sector pipeline (its neighbour keeps the
// default); with pixel shaders a bump material gives the marked sector a tangent element when it
// is first instanced, and the sector is drawn.
TEST_F(EffectsRenderTest, MarkedSectorsAreDrawnByTheSectorPipeline) {
    ASSERT_TRUE(Start({3, 3, true, true, 0xFFFF0101u}));
    mkasset::WorldDesc desc = worldtest::TwoSectorWorld(false);
    desc.nodes[1].sector.extensions.push_back({ovPLUGINIDMATERIALEFFECTS, {1, 0, 0, 0}});
    OvWorld* world = worldtest::ReadWorld(mkasset::WorldFile(desc));
    ASSERT_NE(world, nullptr);
    const std::vector<OvWorldSector*> sectors = worldtest::SectorsOf(world);
    ASSERT_EQ(sectors.size(), 2u);
    EXPECT_TRUE(OvMaterialEffectsWorldSectorGetFlag(sectors[0]));
    EXPECT_EQ(sectors[0]->pipeline, OvMaterialEffectsGetWorldSectorPipeline());
    EXPECT_FALSE(OvMaterialEffectsWorldSectorGetFlag(sectors[1]));
    EXPECT_EQ(sectors[1]->pipeline, nullptr);
    OvMaterialEffectsSetType(world->matList.materials[0], ovMATFXBUMP);
    D3d9LogEnable(true);
    D3d9LogClear();
    ASSERT_NE(OvWorldSectorDefaultRenderCallback(sectors[0]), nullptr);
    EXPECT_EQ(Draws(), 1);
    EXPECT_NE(OvD3D9WorldSectorGetInstanceFlags(sectors[0]) & ovD3D9INSTANCETANGENT, 0u);
    ASSERT_NE(OvWorldSectorDefaultRenderCallback(sectors[1]), nullptr);
    EXPECT_EQ(OvD3D9WorldSectorGetInstanceFlags(sectors[1]) & ovD3D9INSTANCETANGENT, 0u);
    D3d9LogEnable(false);
    OvWorldDestroy(world);
}

// Two bumped meshes of one geometry: each is drawn in its two passes from the vertices read back
// once, every draw within its mesh's range of the dynamic buffer.
TEST_F(EffectsRenderTest, EveryBumpedMeshIsDrawn) {
    ASSERT_TRUE(Start({}));
    OvMaterial* first = nullptr;
    OvAtomic* atomic = Grid(3, &first, false, true);
    OvGeometry* g = atomic->geometry;
    ASSERT_EQ(g->matList.numMaterials, 2);
    for (int k = 0; k < 2; ++k) {
        OvMaterial* material = g->matList.materials[k];
        OvMaterialEffectsSetType(material, ovMATFXBUMP);
        OvTexture* grain = MakeTexture(k == 0 ? "grain" : "sand", false);
        ASSERT_EQ(OvMaterialEffectsSetBumpTexture(material, grain), material);
        OvTextureDestroy(grain);
    }
    D3d9LogEnable(true);
    EXPECT_EQ(RenderDraws(atomic), 4);
    EXPECT_EQ(D3d9LogCount("Lock"), D3d9LogCount("Unlock"));
    // Read back once: the vertex stream and the indices (for the tangents), each locked read-only.
    const auto& log = D3d9Log();
    const auto readOnly = std::count_if(log.begin(), log.end(), [](const std::string& line) {
        return line.rfind("Lock(", 0) == 0 && line.size() > 5 && line.compare(line.size() - 5, 5, ", 16)") == 0;
    });
    EXPECT_EQ(readOnly, 2);
    D3d9LogEnable(false);
    OvAtomicDestroy(atomic);
}

// An environment map on a frame of its own: the texture transform is the camera's matrix times
// the inverse of the frame's, its right row negated and translation cleared, times the projection
// of x, y to 0.5 x + 0.5, -0.5 y + 0.5; computed here in double precision from the two frames.
TEST_F(EffectsRenderTest, EnvironmentFrameGivesTheTextureTransform) {
    ASSERT_TRUE(Start({1, 1, true, true}));
    OvMaterial* material = nullptr;
    OvAtomic* atomic = Grid(1, &material);
    OvMaterialEffectsSetType(material, ovMATFXENV);
    OvMaterialEffectsSlot* env = OvMaterialEffectsFindSlot(material, ovMATFXKINDENV);
    env->texture = MakeTexture("sky", false);
    env->coefficient = 0.5f;
    OvFrame* frame = OvFrameCreate();
    const OvV3d axis = {0.3f, 1.0f, -0.2f};
    OvFrameRotate(frame, &axis, 50.0f, ovCOMBINEREPLACE);
    const OvV3d at = {4.0f, -1.0f, 2.0f};
    OvFrameTranslate(frame, &at, ovCOMBINEPOSTCONCAT);
    env->frame = frame;
    OvCamera* camera = OvWorldTestCameraCreate(1.0f, 2.0f, -3.0f, 25.0f, -10.0f, 60.0f, 100.0f);
    OvRaster* target = OvRasterCreate(16, 16, 0, ovRASTERTYPECAMERA);
    OvRaster* depth = OvRasterCreate(16, 16, 0, ovRASTERTYPEZBUFFER);
    ASSERT_NE(camera, nullptr);
    camera->frameBuffer = target;
    camera->zBuffer = depth;
    ASSERT_NE(OvCameraBeginUpdate(camera), nullptr);
    D3d9LogEnable(true);
    EXPECT_EQ(RenderDraws(atomic), 2); // one blend stage: the environment in a second pass
    D3d9LogEnable(false);
    D3DMATRIX got{};
    OvD3D9GetDevice()->GetTransform(D3DTS_TEXTURE0, &got);
    OvCameraEndUpdate(camera);

    const OvMatrix* c = OvFrameGetWorldMatrix(OvCameraGetFrame(camera));
    const OvMatrix* f = OvFrameGetWorldMatrix(frame);
    const double cr[3][3] = {
        {c->right.x, c->right.y, c->right.z}, {c->up.x, c->up.y, c->up.z}, {c->at.x, c->at.y, c->at.z}};
    const double fr[3][3] = {
        {f->right.x, f->right.y, f->right.z}, {f->up.x, f->up.y, f->up.z}, {f->at.x, f->at.y, f->at.z}};
    // The frame is a rotation: its inverse is its transpose.
    double rel[3][3] = {};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            for (int k = 0; k < 3; ++k) {
                rel[i][j] += cr[i][k] * fr[j][k];
            }
        }
    }
    for (double& v : rel[0]) {
        v = -v;
    }
    // Times the projection: column 0 scaled by 0.5, column 1 by -0.5, translation (0.5, 0.5).
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(got.m[i][0], 0.5 * rel[i][0], 1e-5) << i;
        EXPECT_NEAR(got.m[i][1], -0.5 * rel[i][1], 1e-5) << i;
        EXPECT_NEAR(got.m[i][2], rel[i][2], 1e-5) << i;
    }
    EXPECT_NEAR(got.m[3][0], 0.5, 1e-6);
    EXPECT_NEAR(got.m[3][1], 0.5, 1e-6);
    camera->frameBuffer = nullptr;
    camera->zBuffer = nullptr;
    OvRasterDestroy(target);
    OvRasterDestroy(depth);
    OvWorldTestCameraDestroy(camera);
    OvAtomicDestroy(atomic);
    OvFrameDestroy(frame);
}
