// The skinned-atomic pipeline on the stand-in device: the processor path's dynamic stream against
// the processor skinning reference for one to four weights (the geometry left as it was, the bind
// pose without a hierarchy, the palette rebuilt for another skin on the same frame), the shader
// path's declaration and blend data for each set of declaration types, and the constant
// registers the node writes under each device's limit with many lights.

#include "graphics/plugins/skin_d3d9.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/tests/d3d9_fixture.h"
#include "graphics/core/engine.h"
#include "graphics/core/frame.h"
#include "graphics/core/pipeline.h"
#include "graphics/world/clump.h"
#include "graphics/world/d3d9/vertex_writers.h"
#include "graphics/world/geometry.h"
#include "graphics/world/light.h"
#include "graphics/world/material.h"
#include "graphics/plugins/tests/plugin_test_kit.h"
#include "graphics/world/tests/level_kit.h"
#include "graphics/world/tests/world_test_kit.h"
#include "graphics/world/world_membership.h"
#include "graphics/world/world_plugin.h"
#include "platform/d3d9_control.h"

namespace {

using worldtest::StreamBytes;

D3DCAPS9 ShaderCaps(DWORD declTypes, DWORD constants = 256, DWORD vertexShader = D3DVS_VERSION(2, 0)) {
    D3DCAPS9 c = D3d9PresetCaps(D3d9Preset::ShaderModel2Vertex);
    c.PixelShaderVersion = 0xFFFF0101u;
    c.VertexShaderVersion = vertexShader;
    c.MaxVertexShaderConst = constants;
    c.DeclTypes = declTypes;
    return c;
}

// A bar of two columns of vertices along y, skinned to random bones with `maxWeights` weights a
// vertex (heaviest first, summing to 1), posed by a hierarchy of random rigid node matrices.
struct Character {
    OvAtomic* atomic = nullptr;
    OvFrame* frame = nullptr;
    OvAnimHierarchy* hierarchy = nullptr;
    OvSkin* skin = nullptr;
    std::vector<OvV3d> bindPositions, bindNormals;
};

Character MakeCharacter(std::mt19937& rng, int rows, int bones, int maxWeights, const std::vector<int>& usable,
                        int nodes) {
    Character c;
    const int verts = 2 * rows;
    OvGeometry* g = OvGeometryCreate(verts, 2 * (rows - 1),
                                     ovGEOMETRYPOSITIONS | ovGEOMETRYNORMALS | ovGEOMETRYPRELIT | ovGEOMETRYTEXTURED |
                                         ovGEOMETRYLIGHT | (1u << 16));
    OvMaterial* material = OvMaterialCreate();
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int v = 0; v < verts; ++v) {
        g->morphTarget[0].verts[v] = {0.2f * static_cast<float>(v % 2), 0.1f * static_cast<float>(v / 2), 0.05f};
        const float nx = u(rng) - 0.5f, nz = -1.0f;
        const float l = std::sqrt(nx * nx + nz * nz);
        g->morphTarget[0].normals[v] = {nx / l, 0.0f, nz / l};
        g->preLitLum[v] = {static_cast<OvUInt8>(v), 200, 100, static_cast<OvUInt8>(v % 3 == 0 ? 128 : 255)};
        g->texCoords[0][v] = {u(rng), u(rng)};
    }
    for (int r = 0; r + 1 < rows; ++r) {
        const auto a = static_cast<OvUInt16>(2 * r);
        OvGeometryTriangleSetVertexIndices(g, &g->triangles[2 * r], a, static_cast<OvUInt16>(a + 1),
                                           static_cast<OvUInt16>(a + 2));
        OvGeometryTriangleSetVertexIndices(g, &g->triangles[2 * r + 1], static_cast<OvUInt16>(a + 1),
                                           static_cast<OvUInt16>(a + 3), static_cast<OvUInt16>(a + 2));
        OvGeometryTriangleSetMaterial(g, &g->triangles[2 * r], material);
        OvGeometryTriangleSetMaterial(g, &g->triangles[2 * r + 1], material);
    }
    OvMaterialDestroy(material);
    OvGeometryUnlock(g);
    c.bindPositions.assign(g->morphTarget[0].verts, g->morphTarget[0].verts + verts);
    c.bindNormals.assign(g->morphTarget[0].normals, g->morphTarget[0].normals + verts);

    c.skin = OvSkinCreate(verts, bones);
    for (int b = 0; b < bones; ++b) {
        c.skin->skinToBoneMatrices[b] = RandomRigid(rng);
    }
    for (int v = 0; v < verts; ++v) {
        float w[4] = {0, 0, 0, 0}, sum = 0;
        const int k = v == 0 ? maxWeights : 1 + static_cast<int>(rng() % static_cast<unsigned>(maxWeights));
        for (int i = 0; i < k; ++i) {
            w[i] = 0.1f + u(rng);
            sum += w[i];
        }
        std::sort(w, w + 4, [](float a, float b) { return a > b; });
        OvUInt32 indices = 0;
        for (int i = 0; i < 4; ++i) {
            c.skin->vertexBoneWeights[4 * v + i] = w[i] / sum;
            indices |= static_cast<OvUInt32>(usable[rng() % usable.size()]) << (8 * i);
        }
        c.skin->vertexBoneIndices[v] = indices;
    }
    OvSkinComputeUsage(c.skin);
    OvSkinGeometrySetSkin(g, c.skin);

    c.atomic = OvAtomicCreate();
    OvAtomicSetGeometry(c.atomic, g, 0);
    OvGeometryDestroy(g);
    c.frame = OvFrameCreate();
    const OvMatrix place = RandomRigid(rng);
    OvFrameTransform(c.frame, &place, ovCOMBINEREPLACE);
    OvAtomicSetFrame(c.atomic, c.frame);
    if (nodes > 0) {
        std::vector<OvUInt32> flags(static_cast<std::size_t>(nodes), 0);
        c.hierarchy = OvAnimHierarchyCreate(nodes, flags.data(), nullptr, 0, sizeof(OvAnimInterpFrame));
        for (int i = 0; i < nodes; ++i) {
            c.hierarchy->pMatrixArray[i] = RandomRigid(rng);
        }
        OvSkinAtomicSetHierarchy(c.atomic, c.hierarchy);
    }
    c.atomic->pipeline = OvSkinGetAtomicPipeline();
    return c;
}

void Destroy(Character& c) {
    OvAtomicSetFrame(c.atomic, nullptr);
    OvAtomicDestroy(c.atomic);
    OvFrameDestroy(c.frame);
    if (c.hierarchy != nullptr) {
        OvAnimHierarchyDestroy(c.hierarchy);
    }
}

OvD3D9InstancedData* DataOf(const Character& c) {
    OvResourceEntry* entry = c.atomic->geometry->repEntry;
    return entry != nullptr ? OvD3D9InstancedDataFromEntry(entry) : nullptr;
}

std::vector<D3DVERTEXELEMENT9> Elements(const OvD3D9InstancedData* data) {
    D3DVERTEXELEMENT9 e[65];
    UINT n = 65;
    EXPECT_EQ(data->vertexDeclaration->GetDeclaration(e, &n), D3D_OK);
    std::vector<D3DVERTEXELEMENT9> out;
    for (UINT i = 0; i < n && e[i].Stream != 0xFF; ++i) {
        out.push_back(e[i]);
    }
    return out;
}

const D3DVERTEXELEMENT9* Find(const std::vector<D3DVERTEXELEMENT9>& elements, BYTE usage) {
    for (const auto& e : elements) {
        if (e.Usage == usage) {
            return &e;
        }
    }
    return nullptr;
}

// Element e of vertex v read back as three floats.
OvV3d ReadBack(const OvD3D9InstancedData* data, const D3DVERTEXELEMENT9& e, int v) {
    const std::vector<OvUInt8> bytes = StreamBytes(data, e.Stream);
    float f[3];
    OvD3D9VertexReadV3d(e.Type, f,
                        bytes.data() + static_cast<std::size_t>(v) * data->vertexStream[e.Stream].stride + e.Offset);
    return {f[0], f[1], f[2]};
}

bool Near(const OvV3d& a, const OvV3d& b, float tolerance) {
    return std::fabs(a.x - b.x) <= tolerance && std::fabs(a.y - b.y) <= tolerance && std::fabs(a.z - b.z) <= tolerance;
}

class SkinNodeTest : public D3d9DriverTest {
protected:
    void SetUp() override {
        D3d9DriverTest::SetUp();
        ASSERT_TRUE(OvWorldPluginAttach());
        ASSERT_TRUE(OvAnimPluginAttach());
        ASSERT_TRUE(OvAnimHierarchyPluginAttach());
        ASSERT_TRUE(OvSkinPluginAttach());
    }
    bool Start(const D3DCAPS9& caps) {
        D3d9Adapter adapter = D3d9DefaultAdapter();
        adapter.caps = caps;
        D3d9SetAdapters({adapter});
        return Up() && OvSkinGetAtomicPipeline() != nullptr;
    }
    void TearDown() override {
        // Newest first: a later character may hang on an earlier one's frame.
        for (auto c = characters.rbegin(); c != characters.rend(); ++c) {
            Destroy(*c);
        }
        characters.clear();
        D3d9DriverTest::TearDown();
    }
    Character& Make(std::mt19937& rng, int rows, int bones, int maxWeights, const std::vector<int>& usable, int nodes) {
        characters.push_back(MakeCharacter(rng, rows, bones, maxWeights, usable, nodes));
        return characters.back();
    }
    std::deque<Character> characters;
};

// The processor path rewrites the dynamic stream at every render: skinned positions and normals
// as the reference skins them, for one to four weights a vertex, the geometry's own vertices
// untouched; a new pose shows at the next render frame; another skin on the same hierarchy and
// frame gets its own palette; an atomic without a hierarchy is drawn in its bind pose.
TEST_F(SkinNodeTest, TheProcessorPathWritesWhatTheReferenceSkins) {
    ASSERT_TRUE(Start(D3d9PresetCaps(D3d9Preset::FixedFunction)));
    EXPECT_FALSE(OvSkinD3D9GetCaps()->vertexShaderSkinning);
    std::mt19937 rng(36);
    const std::vector<int> bones = {0, 1, 2, 3, 4, 5};
    for (int weights = 1; weights <= 4; ++weights) {
        Character& a = Make(rng, 9, 6, weights, bones, 6);
        // A second skin (other inverse bind matrices) on the same frame and hierarchy.
        Character& b = Make(rng, 5, 6, weights, bones, 0);
        OvAtomicSetFrame(b.atomic, a.frame);
        OvSkinAtomicSetHierarchy(b.atomic, a.hierarchy);
        ASSERT_EQ(a.skin->maxNumWeightsPerVertex, static_cast<OvUInt32>(weights));
        for (int pose = 0; pose < 3; ++pose) {
            ++OvEngineInstancePtr->renderFrame;
            if (pose > 0) {
                if (pose == 2) {
                    ASSERT_NE(OvAtomicDefaultRenderCallback(a.atomic), nullptr); // a's palette built last
                }
                for (int i = 0; i < 6; ++i) {
                    a.hierarchy->pMatrixArray[i] = RandomRigid(rng);
                }
                ++OvEngineInstancePtr->renderFrame;
            }
            for (Character* c : {&a, &b}) {
                ASSERT_NE(OvAtomicDefaultRenderCallback(c->atomic), nullptr);
                const OvD3D9InstancedData* data = DataOf(*c);
                ASSERT_NE(data, nullptr);
                EXPECT_FALSE(OvSkinD3D9DataUsesVertexShader(data));
                const auto elements = Elements(data);
                const D3DVERTEXELEMENT9* position = Find(elements, D3DDECLUSAGE_POSITION);
                const D3DVERTEXELEMENT9* normal = Find(elements, D3DDECLUSAGE_NORMAL);
                ASSERT_TRUE(position != nullptr && normal != nullptr);
                EXPECT_EQ(data->vertexStream[position->Stream].shared, 0) << "positions not in a dynamic stream";
                EXPECT_EQ(Find(elements, D3DDECLUSAGE_BLENDINDICES), nullptr);

                const int n = c->atomic->geometry->numVertices;
                std::vector<OvMatrix> palette(ovSKINPALETTESIZE);
                const OvInt32 entries =
                    OvSkinBuildPalette(c->skin, a.hierarchy, OvFrameGetWorldMatrix(a.frame), palette.data());
                std::vector<OvV3d> p(n), q(n);
                OvSkinVertices(c->skin, palette.data(), entries, c->bindPositions.data(), c->bindNormals.data(),
                               p.data(), q.data(), n);
                for (int v = 0; v < n; ++v) {
                    EXPECT_TRUE(Near(ReadBack(data, *position, v), p[v], 1e-5f)) << weights << " " << v;
                    EXPECT_TRUE(Near(ReadBack(data, *normal, v), q[v], 4e-3f)) << weights << " " << v;
                    EXPECT_TRUE(Near(c->atomic->geometry->morphTarget[0].verts[v], c->bindPositions[v], 0.0f));
                }
            }
        }
    }
    // Without a hierarchy: the bind pose.
    Character& still = Make(rng, 4, 3, 2, {0, 1, 2}, 0);
    ASSERT_NE(OvAtomicDefaultRenderCallback(still.atomic), nullptr);
    const OvD3D9InstancedData* data = DataOf(still);
    ASSERT_NE(data, nullptr);
    const auto elements = Elements(data);
    for (int v = 0; v < 8; ++v) {
        EXPECT_TRUE(Near(ReadBack(data, *Find(elements, D3DDECLUSAGE_POSITION), v), still.bindPositions[v], 0.0f));
    }
}

// Data instanced for the processor before the atomic had a hierarchy is made again for the
// shaders once it has one; locking the geometry's colours rewrites them in the static stream.
TEST_F(SkinNodeTest, TheShaderPathTakesALateHierarchyAndFollowsLocks) {
    ASSERT_TRUE(Start(ShaderCaps(0xFF)));
    std::mt19937 rng(7);
    Character& c = Make(rng, 6, 4, 2, {0, 1, 2, 3}, 0);
    ASSERT_NE(OvAtomicDefaultRenderCallback(c.atomic), nullptr);
    ASSERT_NE(DataOf(c), nullptr);
    EXPECT_FALSE(OvSkinD3D9DataUsesVertexShader(DataOf(c)));
    std::vector<OvUInt32> flags(4, 0);
    c.hierarchy = OvAnimHierarchyCreate(4, flags.data(), nullptr, 0, sizeof(OvAnimInterpFrame));
    OvSkinAtomicSetHierarchy(c.atomic, c.hierarchy);
    ASSERT_NE(OvAtomicDefaultRenderCallback(c.atomic), nullptr);
    ASSERT_NE(DataOf(c), nullptr);
    EXPECT_TRUE(OvSkinD3D9DataUsesVertexShader(DataOf(c)));

    OvGeometry* g = c.atomic->geometry;
    ASSERT_NE(OvGeometryLock(g, ovGEOMETRYLOCKPRELIGHT), nullptr);
    g->preLitLum[3] = {1, 2, 3, 4};
    OvGeometryUnlock(g);
    ASSERT_NE(OvAtomicDefaultRenderCallback(c.atomic), nullptr);
    const OvD3D9InstancedData* data = DataOf(c);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(g->lockedSinceLastInst, 0);
    const auto elements = Elements(data);
    const D3DVERTEXELEMENT9* color = Find(elements, D3DDECLUSAGE_COLOR);
    ASSERT_NE(color, nullptr);
    const std::vector<OvUInt8> bytes = StreamBytes(data, 0);
    const OvUInt8* written = bytes.data() + 3 * data->vertexStream[0].stride + color->Offset;
    EXPECT_EQ(written[0] | written[1] << 8 | written[2] << 16 | written[3] << 24, 0x04010203);
    EXPECT_NE(OvD3D9InstancedDataGetMeshes(const_cast<OvD3D9InstancedData*>(data))[0].vertexAlpha, 0u);
}

struct DeclCase {
    DWORD declTypes;
    DWORD vertexShader;
    OvUInt32 weightType;    // blend weights of two or more weights a vertex
    OvUInt32 wideIndexType; // blend indices of three or four weights a vertex
};

class SkinNodeDeclTest : public SkinNodeTest, public ::testing::WithParamInterface<DeclCase> {};

float Component(OvUInt32 type, const OvUInt8* p, int i) {
    auto u16 = [&](int k) { return static_cast<float>(static_cast<OvUInt16>(p[2 * k] | p[2 * k + 1] << 8)); };
    auto i16 = [&](int k) { return static_cast<float>(static_cast<std::int16_t>(p[2 * k] | p[2 * k + 1] << 8)); };
    switch (type) {
    case D3DDECLTYPE_USHORT4N:
        return u16(i) / 65535.0f;
    case D3DDECLTYPE_SHORT4N:
        return i16(i) / 32767.0f;
    case D3DDECLTYPE_UBYTE4N:
        return p[i] / 255.0f;
    case D3DDECLTYPE_D3DCOLOR:
        return p[i == 3 ? 3 : 2 - i] / 255.0f;
    case D3DDECLTYPE_UBYTE4:
        return p[i];
    case D3DDECLTYPE_SHORT2:
    case D3DDECLTYPE_SHORT4:
        return i16(i);
    default:
        return -1.0f;
    }
}

// The shader path: one static stream with the bind pose, blend weights of the first normalised
// type the device reads (colours when none), blend indices of 3 x each bone's slot, the weights
// of a vertex read back as the skin has them.
TEST_P(SkinNodeDeclTest, TheShaderPathDeclaresAndWritesTheBlendData) {
    const DeclCase& k = GetParam();
    ASSERT_TRUE(Start(ShaderCaps(k.declTypes, 256, k.vertexShader)));
    ASSERT_TRUE(OvSkinD3D9GetCaps()->vertexShaderSkinning);
    std::mt19937 rng(k.declTypes * 7 + k.vertexShader);
    for (int weights = 1; weights <= 4; ++weights) {
        // Bones 3, 7 and 9 of twelve: the palette holds each at its own index.
        Character& c = Make(rng, 7, 12, weights, {3, 7, 9}, 12);
        ASSERT_NE(OvAtomicDefaultRenderCallback(c.atomic), nullptr);
        const OvD3D9InstancedData* data = DataOf(c);
        ASSERT_NE(data, nullptr);
        EXPECT_TRUE(OvSkinD3D9DataUsesVertexShader(data));
        EXPECT_EQ(data->vertexStream[0].shared, 1);
        EXPECT_EQ(data->vertexStream[1].vertexBuffer, nullptr);
        const auto elements = Elements(data);
        const D3DVERTEXELEMENT9* w = Find(elements, D3DDECLUSAGE_BLENDWEIGHT);
        const D3DVERTEXELEMENT9* idx = Find(elements, D3DDECLUSAGE_BLENDINDICES);
        ASSERT_NE(idx, nullptr);
        EXPECT_EQ(idx->Type, weights <= 2 ? D3DDECLTYPE_SHORT2 : k.wideIndexType) << weights;
        if (weights == 1) {
            EXPECT_EQ(w, nullptr);
        } else {
            ASSERT_NE(w, nullptr);
            EXPECT_EQ(w->Type, k.weightType) << weights;
        }
        const std::vector<OvUInt8> bytes = StreamBytes(data, 0);
        const OvUInt32 stride = data->vertexStream[0].stride;
        const D3DVERTEXELEMENT9* position = Find(elements, D3DDECLUSAGE_POSITION);
        for (int v = 0; v < c.atomic->geometry->numVertices; ++v) {
            EXPECT_TRUE(Near(ReadBack(data, *position, v), c.bindPositions[v], 0.0f));
            const OvUInt8* vertex = bytes.data() + static_cast<std::size_t>(v) * stride;
            const float* sw = c.skin->vertexBoneWeights + 4 * v;
            for (int s = 0; s < std::min(weights, idx->Type == D3DDECLTYPE_SHORT2 ? 2 : 4); ++s) {
                const OvUInt32 bone = (c.skin->vertexBoneIndices[v] >> (8 * s)) & 0xFF;
                if (s == 0 || sw[s] > 0.0f) {
                    EXPECT_EQ(Component(idx->Type, vertex + idx->Offset, s), 3.0f * static_cast<float>(bone));
                }
                if (w != nullptr) {
                    EXPECT_NEAR(Component(w->Type, vertex + w->Offset, s), sw[s], 1.0f / 255.0f) << v << " " << s;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    DeclTypes, SkinNodeDeclTest,
    ::testing::Values(
        DeclCase{0xFF, D3DVS_VERSION(2, 0), D3DDECLTYPE_USHORT4N, D3DDECLTYPE_UBYTE4},
        DeclCase{D3DDTCAPS_SHORT4N | D3DDTCAPS_UBYTE4N, D3DVS_VERSION(2, 0), D3DDECLTYPE_SHORT4N, D3DDECLTYPE_SHORT4},
        DeclCase{D3DDTCAPS_UBYTE4N | D3DDTCAPS_UBYTE4, D3DVS_VERSION(2, 0), D3DDECLTYPE_UBYTE4N, D3DDECLTYPE_UBYTE4},
        DeclCase{0, D3DVS_VERSION(2, 0), D3DDECLTYPE_D3DCOLOR, D3DDECLTYPE_SHORT4},
        // vs_1_1 reads no normalised types.
        DeclCase{0xFF, D3DVS_VERSION(1, 1), D3DDECLTYPE_D3DCOLOR, D3DDECLTYPE_UBYTE4}));

// With fifteen directional lights and palettes that fill the device's bones, leave a high bone
// alone in a sparse palette, are packed because the hierarchy has more nodes than the device's
// palette, or are too large for it: every constant upload stays under the device's limit, the
// first three are drawn by the shaders and the last on the processor.
TEST_F(SkinNodeTest, TheNodeStaysUnderTheConstantLimit) {
    for (const DWORD limit : {96u, 128u}) {
        SCOPED_TRACE(limit);
        if (limit != 96u) {
            TearDown();
            SetUp();
        }
        ASSERT_TRUE(Start(ShaderCaps(0xFF, limit)));
        const OvUInt32 bones = OvSkinD3D9GetCaps()->maxPaletteBones;
        ASSERT_EQ(bones, (limit - 12) / 3);
        OvWorld* world = worldtest::ReadWorld(mkasset::WorldFile(worldtest::TwoSectorWorld(false)));
        ASSERT_NE(world, nullptr);
        std::vector<OvLight*> lights;
        for (int i = 0; i < 15; ++i) {
            OvLight* light = OvLightCreate(ovLIGHTDIRECTIONAL);
            OvFrame* frame = OvFrameCreate();
            const OvV3d axis = {1, 0, 0};
            OvFrameRotate(frame, &axis, 10.0f * static_cast<float>(i), ovCOMBINEREPLACE);
            OvLightSetFrame(light, frame);
            OvWorldAddLight(world, light);
            lights.push_back(light);
        }
        OvEngineInstancePtr->curWorld = world;
        std::mt19937 rng(limit);
        std::vector<int> all(bones), many(bones + 5), few = {2, 17, 30};
        for (OvUInt32 i = 0; i < bones + 5; ++i) {
            if (i < bones) {
                all[i] = static_cast<int>(i);
            }
            many[i] = static_cast<int>(i);
        }
        struct Case {
            int bones, nodes;
            std::vector<int> used;
            bool shaders;
        };
        const std::vector<int> sparse = {0, static_cast<int>(bones) - 1};
        const Case cases[] = {{static_cast<int>(bones), static_cast<int>(bones), all, true},
                              {static_cast<int>(bones), static_cast<int>(bones), sparse, true},
                              {60, 60, few, true},
                              {static_cast<int>(bones) + 5, static_cast<int>(bones) + 5, many, false}};
        for (const Case& k : cases) {
            Character& c = Make(rng, 40, k.bones, 3, k.used, k.nodes);
            D3d9LogClear();
            D3d9LogEnable(true);
            ASSERT_NE(OvAtomicDefaultRenderCallback(c.atomic), nullptr);
            D3d9LogEnable(false);
            EXPECT_EQ(OvSkinD3D9DataUsesVertexShader(DataOf(c)) != 0, k.shaders) << k.bones;
            int uploads = 0, draws = 0;
            for (const std::string& line : D3d9Log()) {
                unsigned first = 0, count = 0;
                if (std::sscanf(line.c_str(), "SetVertexShaderConstantF(%u, %*[^,], %u)", &first, &count) == 2) {
                    ++uploads;
                    EXPECT_LE(first + count, limit) << line;
                }
                draws += line.rfind("DrawIndexedPrimitive", 0) == 0;
            }
            EXPECT_EQ(draws, 1) << k.bones;
            EXPECT_EQ(uploads > 0, k.shaders) << k.bones;
        }
        OvEngineInstancePtr->curWorld = nullptr;
        for (OvLight* light : lights) {
            OvFrame* frame = OvLightGetFrame(light);
            OvWorldRemoveLight(world, light);
            OvLightSetFrame(light, nullptr);
            OvLightDestroy(light);
            OvFrameDestroy(frame);
        }
        OvWorldDestroy(world);
    }
}

} // namespace
