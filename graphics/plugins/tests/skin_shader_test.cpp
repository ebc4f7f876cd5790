#include "graphics/plugins/skin_shader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/plugins/tests/plugin_test_kit.h"
#include "platform/d3d9_control.h"
#include "platform/d3d9_shader.h"

namespace {

class SkinShaderTest : public SkinnedEngine {
protected:
    void TearDown() override {
        OvD3D9VertexShaderSetProfile(ovVSPROFILENONE, 0, FALSE);
        SkinnedEngine::TearDown();
    }
};

// A skin of `bones` bones whose vertices use the listed bones (one each, weight 1).
OvSkin* SkinUsing(int bones, const std::vector<int>& used) {
    OvSkin* skin = OvSkinCreate(static_cast<OvInt32>(used.size()), bones);
    for (std::size_t v = 0; v < used.size(); ++v) {
        skin->vertexBoneIndices[v] = static_cast<OvUInt32>(used[v]);
        skin->vertexBoneWeights[4 * v] = 1.0f;
    }
    OvSkinComputeUsage(skin);
    return skin;
}

OvD3D9VertexShaderDesc Desc(int directional, int point, int spot, int fog, int bones) {
    OvD3D9VertexShaderDesc d{};
    d.lights = static_cast<OvUInt8>(directional | point << 4);
    d.spotsSets = static_cast<OvUInt8>(spot | 1 << 4);
    d.flags = static_cast<OvUInt8>(ovVSNORMALS | bones << 1);
    d.fogEffect = static_cast<OvUInt8>(fog);
    return d;
}

// Over devices of 96 to 256 constants, every mix of 0 to 15 lights of each kind with and without
// fog, and skins whose palettes are whole, sparse (a high bone used alone), packed (more nodes
// than the device's bones) or larger than the device's palette: whenever the shader path is
// taken, the reduced descriptor's lights and the palette's runs stay inside the register file
// and clear of the effect constants, and every bone a vertex uses has a slot the runs load.
TEST_F(SkinShaderTest, ThePaletteAndTheLightsStayUnderTheConstantLimit) {
    D3DCAPS9 caps{};
    caps.DevCaps = 0x10000;
    caps.VertexShaderVersion = 0xFFFE0200;
    caps.PixelShaderVersion = 0xFFFF0101;
    struct Case {
        int nodes;
        std::vector<int> used;
    };
    std::vector<int> many(120), sparse = {0, 3, 77};
    for (int i = 0; i < 120; ++i)
        many[i] = i;
    const Case skins[] = {{2, {0, 1}}, {20, {0, 5, 19}}, {80, sparse}, {120, many}, {200, {1, 150, 199}}, {30, {29}}};
    int drawn = 0, packed = 0, reduced = 0;
    for (const DWORD limit : {96u, 128u, 192u, 256u}) {
        caps.MaxVertexShaderConst = limit;
        OvSkinD3D9Caps skinCaps;
        OvSkinD3D9CapsFromDevice(&caps, &skinCaps);
        ASSERT_TRUE(skinCaps.vertexShaderSkinning);
        ASSERT_EQ(skinCaps.maxPaletteBones, (limit - 12) / 3);
        OvD3D9VertexShaderSetProfile(ovVSPROFILE20, limit, FALSE);
        for (const Case& c : skins) {
            OvSkin* skin = SkinUsing(c.nodes, c.used);
            ASSERT_NE(skin, nullptr);
            OvAnimHierarchy hierarchy{};
            hierarchy.numNodes = c.nodes;
            if (!OvSkinUseVertexShader(skin, &hierarchy, &skinCaps)) {
                EXPECT_GT(OvSkinGetPaletteSize(skin), skinCaps.maxPaletteBones);
                OvSkinDestroy(skin);
                continue;
            }
            OvSkinPaletteRun runs[ovSKINPALETTESIZE];
            const OvUInt32 numRuns = OvSkinVertexShaderPaletteRuns(skin, c.nodes, skinCaps.maxPaletteBones, 0, runs);
            const OvUInt32 span = OvSkinPaletteRunsSpan(runs, numRuns);
            packed += static_cast<OvUInt32>(c.nodes) > skinCaps.maxPaletteBones;
            for (int used : c.used) {
                const OvInt32 slot = OvSkinVertexShaderSlot(skin, c.nodes, skinCaps.maxPaletteBones, used);
                ASSERT_GE(slot, 0) << "bone " << used;
                const bool loaded = std::any_of(runs, runs + numRuns, [&](const OvSkinPaletteRun& r) {
                    return used >= int(r.firstEntry) && used < int(r.firstEntry + r.count) &&
                           slot == int(r.firstSlot + (used - r.firstEntry));
                });
                EXPECT_TRUE(loaded) << "bone " << used << " slot " << slot;
            }
            for (int d = 0; d <= 15; d += 5)
                for (int p = 0; p <= 15; p += 3)
                    for (int s = 0; s <= 15; s += 3)
                        for (int fog = 0; fog <= 1; ++fog) {
                            OvD3D9VertexShaderDesc desc = Desc(d, p, s, fog, 1);
                            const OvUInt32 before = OvD3D9VertexShaderDescKey(&desc);
                            ASSERT_TRUE(OvSkinReduceVertexShaderDesc(&desc, span, limit));
                            reduced += OvD3D9VertexShaderDescKey(&desc) != before;
                            OvD3D9VertexShaderLayout layout;
                            OvD3D9VertexShaderMakeLayout(&desc, &layout);
                            ASSERT_NE(layout.bones, 0xFF);
                            const OvUInt32 highest = layout.bones + 3 * span - 1;
                            EXPECT_LT(highest, limit) << limit << " " << d << p << s;
                            EXPECT_LE(OvD3D9VertexShaderDescGetNumConstants(&desc), layout.bones);
                            ++drawn;
                        }
            OvSkinDestroy(skin);
        }
    }
    EXPECT_GT(drawn, 0);
    EXPECT_GT(packed, 0);
    EXPECT_GT(reduced, 0);
}

// Split data: each mesh loads its own runs, bone b to its remapped slot; remaps outside the bone
// limit are never loaded.
TEST_F(SkinShaderTest, SplitMeshesLoadTheirRunsAtTheRemappedSlots) {
    OvSkin* skin = SkinUsing(6, {0, 1, 2, 3, 4, 5});
    ASSERT_NE(skin, nullptr);
    static OvUInt8 split[6 + 2 * 2 + 2 * 3] = {0, 1, 0, 1, 2, 0xFF, /* meshes */ 0, 2, 2, 1, /* runs */ 0,
                                               2, 3, 2, 4, 2};
    skin->splitData = split;
    skin->meshBoneRemapIndices = split + 6;
    skin->meshBoneRLE = split + 10;
    skin->boneLimit = 2;
    skin->numMeshes = 2;
    skin->numRLE = 3;
    OvSkinPaletteRun runs[ovSKINPALETTESIZE];
    // Mesh 0: bones 0-1 and 3-4; bone 4's remap 2 lies outside the limit of 2.
    OvUInt32 n = OvSkinVertexShaderPaletteRuns(skin, 6, 80, 0, runs);
    ASSERT_EQ(n, 2u);
    const OvUInt32 expected[2][3] = {{0, 0, 2}, {3, 1, 1}}; // first entry, first slot, count
    for (int r = 0; r < 2; ++r) {
        EXPECT_EQ((std::array<OvUInt32, 3>{runs[r].firstEntry, runs[r].firstSlot, runs[r].count}),
                  (std::array<OvUInt32, 3>{expected[r][0], expected[r][1], expected[r][2]}))
            << "run " << r;
    }
    EXPECT_EQ(OvSkinPaletteRunsSpan(runs, n), 2u);
    // Mesh 1: bones 4 (out of the limit) and 5 (no slot).
    EXPECT_EQ(OvSkinVertexShaderPaletteRuns(skin, 6, 80, 1, runs), 0u);
    EXPECT_EQ(OvSkinVertexShaderPaletteRuns(skin, 6, 80, 2, runs), 0u);
    EXPECT_EQ(OvSkinGetPaletteSize(skin), 2u);
    skin->splitData = skin->meshBoneRemapIndices = skin->meshBoneRLE = nullptr;
    skin->numMeshes = skin->numRLE = skin->boneLimit = 0;
    OvSkinDestroy(skin);
}

// The same bent two-bone bar skinned on the processor and by the generated shader run on the
// software device's interpreter: clip positions and lit colours agree within 1e-4.
TEST_F(SkinShaderTest, ShaderSkinningAgreesWithSoftwareSkinning) {
    constexpr int kVertices = 11;
    OvSkin* skin = OvSkinCreate(kVertices, 2);
    ASSERT_NE(skin, nullptr);
    std::vector<OvV3d> positions(kVertices), normals(kVertices);
    for (int v = 0; v < kVertices; ++v) {
        positions[v] = {0.1f * float(v % 2), 0.2f * float(v), 0.05f};
        normals[v] = {0.6f, 0.0f, -0.8f};
        const float w1 = std::clamp((positions[v].y - 0.6f) / 0.8f, 0.0f, 1.0f);
        skin->vertexBoneIndices[v] = w1 > 0.5f ? 0x0001u : 0x0100u; // heavier bone first
        skin->vertexBoneWeights[4 * v] = std::max(w1, 1 - w1);
        skin->vertexBoneWeights[4 * v + 1] = std::min(w1, 1 - w1);
    }
    OvSkinComputeUsage(skin);
    ASSERT_EQ(skin->maxNumWeightsPerVertex, 2u);
    // Bone 0 still, bone 1 bent by 50 degrees about z around the joint at y = 1.
    OvMatrix palette[2];
    OvMatrixSetIdentity(&palette[0]);
    OvMatrixSetIdentity(&palette[1]);
    const OvV3d down = {0, -1, 0}, up = {0, 1, 0}, z = {0, 0, 1};
    OvMatrixTranslate(&palette[1], &down, ovCOMBINEREPLACE);
    OvMatrixRotate(&palette[1], &z, 50.0f, ovCOMBINEPOSTCONCAT);
    OvMatrixTranslate(&palette[1], &up, ovCOMBINEPOSTCONCAT);
    std::vector<OvV3d> skinned(kVertices), skinnedNormals(kVertices);
    OvSkinVertices(skin, palette, 2, positions.data(), normals.data(), skinned.data(), skinnedNormals.data(),
                   kVertices);

    OvD3D9VertexShaderSetProfile(ovVSPROFILE20, 256, FALSE);
    OvD3D9VertexShaderDesc desc = Desc(1, 0, 0, 0, 2);
    desc.spotsSets = 1; // one directional light, no texture sets
    ASSERT_TRUE(OvSkinReduceVertexShaderDesc(&desc, 2, 256));
    OvD3D9VertexShaderLayout layout;
    OvD3D9VertexShaderMakeLayout(&desc, &layout);
    const char* text = OvD3D9VertexShaderWriteText(&desc, &layout);
    ASSERT_NE(text, nullptr);
    d3d9::ShaderProgram program;
    std::string error;
    ASSERT_TRUE(d3d9::ShaderAssemble(text, std::strlen(text), &program, &error)) << error << "\n" << text;

    // Constants: a perspective-free view (clip = position with w 1), ambient 0.2, a light along
    // (-0.6, 0, 0.8) of colour 0.7, the palette from the shader's first bone register.
    std::array<std::array<float, 4>, d3d9::kShaderConstants> constants{};
    for (int i = 0; i < 4; ++i)
        constants[i][i] = 1.0f;
    constants[4] = {0.2f, 0.2f, 0.2f, 1.0f};
    constants[5] = {-0.6f, 0.0f, 0.8f, 0.0f};
    constants[6] = {0.7f, 0.7f, 0.7f, 0.0f};
    OvSkinPaletteRun runs[ovSKINPALETTESIZE];
    const OvUInt32 numRuns = OvSkinVertexShaderPaletteRuns(skin, 2, 80, 0, runs);
    OvSkinPaletteRunsToConstants(palette, 2, runs, numRuns, layout.bones,
                                 reinterpret_cast<float(*)[4]>(constants.data()), d3d9::kShaderConstants);
    d3d9::ShaderMachine machine(program);
    machine.SetConstants(constants);
    for (int v = 0; v < kVertices; ++v) {
        std::array<std::array<float, 4>, d3d9::kShaderInputs> in{};
        in[0] = {positions[v].x, positions[v].y, positions[v].z, 1.0f};
        in[1] = {skin->vertexBoneWeights[4 * v], skin->vertexBoneWeights[4 * v + 1], 0, 0};
        for (int k = 0; k < 2; ++k) {
            const OvUInt32 bone = (skin->vertexBoneIndices[v] >> (8 * k)) & 0xFF;
            in[2][k] = 3.0f * float(OvSkinVertexShaderSlot(skin, 2, 80, bone));
        }
        in[3] = {normals[v].x, normals[v].y, normals[v].z, 0.0f};
        d3d9::ShaderOutput out;
        machine.Run(in, &out);
        EXPECT_NEAR(out.position[0], skinned[v].x, 1e-4f) << v;
        EXPECT_NEAR(out.position[1], skinned[v].y, 1e-4f) << v;
        EXPECT_NEAR(out.position[2], skinned[v].z, 1e-4f) << v;
        EXPECT_NEAR(out.position[3], 1.0f, 1e-6f);
        const float facing = 0.6f * skinnedNormals[v].x - 0.8f * skinnedNormals[v].z;
        const float lit = std::min(1.0f, 0.2f + 0.7f * std::max(0.0f, facing));
        EXPECT_NEAR(out.color[0][0], lit, 1e-4f) << v;
    }
    // The bend is real: the bar's tip has moved off the y axis.
    EXPECT_LT(skinned[kVertices - 1].x, -0.5f);
    OvSkinDestroy(skin);
}

} // namespace
