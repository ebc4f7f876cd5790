// Light gathering for the generated shaders, with real lights on frames: which lights an atomic or
// a sector takes (flags, kinds, reach, normals, the limit of 15, once a light frame), the block
// written in object space, and the counts in the descriptor.

#include "graphics/core/d3d9/tests/d3d9_fixture.h"
#include "graphics/core/engine.h"
#include "graphics/core/frame.h"
#include "graphics/world/d3d9_vertex_shader.h"
#include "graphics/world/light.h"
#include "graphics/world/world_plugin.h"

#include <cmath>
#include <vector>

namespace {

class GatherTest : public D3d9DriverTest {
protected:
    void SetUp() override {
        D3d9DriverTest::SetUp();
        ASSERT_TRUE(OvWorldPluginAttach());
        ASSERT_TRUE(Up());
        OvD3D9WorldMatrixSet(nullptr);
    }
    void TearDown() override {
        for (OvLight* l : made) {
            OvFrame* f = OvLightGetFrame(l);
            OvLightSetFrame(l, nullptr);
            OvLightDestroy(l);
            if (f != nullptr)
                OvFrameDestroy(f);
        }
        D3d9DriverTest::TearDown();
    }
    // A light at `pos` looking along `at` (unit), with radius, cone cosine, flags and colour.
    OvLight* Make(OvInt32 type, OvV3d pos, OvV3d at, float radius, OvUInt8 flags, float red, float cosCone = 1) {
        OvLight* l = OvLightCreate(type);
        EXPECT_NE(l, nullptr);
        OvFrame* f = OvFrameCreate();
        // A frame whose at axis is `at`: right and up completed to an orthonormal basis.
        OvV3d right = std::fabs(at.x) < 0.9f ? OvV3d{0, at.z, -at.y} : OvV3d{at.z, 0, -at.x};
        const float rl = std::sqrt(right.x * right.x + right.y * right.y + right.z * right.z);
        right = {right.x / rl, right.y / rl, right.z / rl};
        const OvV3d up{at.y * right.z - at.z * right.y, at.z * right.x - at.x * right.z,
                       at.x * right.y - at.y * right.x};
        OvMatrix m{};
        m.right = right;
        m.up = up;
        m.at = at;
        m.pos = pos;
        OvMatrixUpdate(&m);
        OvFrameTransform(f, &m, ovCOMBINEREPLACE);
        OvLightSetFrame(l, f);
        l->radius = radius;
        l->minusCosAngle = -cosCone;
        l->object.object.flags = flags;
        const OvRGBAReal c{red, 0.5f, 0.25f, 1};
        OvLightSetColor(l, &c);
        made.push_back(l);
        return l;
    }
    std::vector<OvLight*> made;
};

TEST_F(GatherTest, AnAtomicTakesTheLightsThatReachItOnceInObjectSpace) {
    const OvUInt8 both = ovLIGHTLIGHTATOMICS | ovLIGHTLIGHTWORLD;
    std::vector<OvLight*> globals = {
        Make(ovLIGHTAMBIENT, {}, {0, 0, 1}, 0, both, 0.1f),
        Make(ovLIGHTAMBIENT, {}, {0, 0, 1}, 0, ovLIGHTLIGHTWORLD, 0.7f), // not for atomics
        Make(ovLIGHTDIRECTIONAL, {}, {0, -1, 0}, 0, both, 0.9f),
        Make(ovLIGHTDIRECTIONAL, {}, {1, 0, 0}, 0, ovLIGHTLIGHTWORLD, 0.3f), // not for atomics
    };
    OvLight* near = Make(ovLIGHTPOINT, {10, 0, 2}, {0, 0, 1}, 5, both, 0.4f);
    OvLight* far = Make(ovLIGHTPOINT, {10, 0, 9}, {0, 0, 1}, 5, both, 0.4f); // 9 away: out of 5 + 3
    OvLight* soft = Make(ovLIGHTSPOTSOFT, {10, 3, 0}, {0, -1, 0}, 8, both, 0.6f, 0.5f);
    OvLight* hard = Make(ovLIGHTSPOT, {7, 0, 0}, {1, 0, 0}, 8, both, 0.6f, 0.9995f);
    // The sectors list a light once for each sector it lies in.
    std::vector<OvLight*> locals = {near, far, soft, near, hard, soft};

    // The atomic: a sphere of radius 3 round (10, 0, 0), moved there by its world matrix.
    OvMatrix world;
    OvMatrixSetIdentity(&world);
    const OvV3d move{10, 0, 0};
    OvMatrixTranslate(&world, &move, ovCOMBINEPOSTCONCAT);
    OvD3D9WorldMatrixSet(&world);
    OvD3D9ShaderLitObject atomic{1, TRUE, FALSE, TRUE, {{10, 0, 0}, 3}};
    OvD3D9VertexShaderDesc desc{0xFF, 0x3F, ovVSNORMALS, 0};
    OvD3D9ShaderConstant block[64];
    const OvUInt16 stamp = OvEngineInstancePtr->lightFrame;
    OvD3D9ShaderConstant* end =
        OvD3D9VertexShaderGatherLightList(&atomic, globals.data(), static_cast<OvUInt32>(globals.size()), locals.data(),
                                          static_cast<OvUInt32>(locals.size()), block, &desc);
    EXPECT_EQ(OvEngineInstancePtr->lightFrame, static_cast<OvUInt16>(stamp + 1));
    EXPECT_EQ(OvD3D9VertexShaderDescDirectional(&desc), 1u);
    EXPECT_EQ(OvD3D9VertexShaderDescPoint(&desc), 1u);
    EXPECT_EQ(OvD3D9VertexShaderDescSpot(&desc), 2u);
    EXPECT_EQ(OvD3D9VertexShaderDescTexSets(&desc), 3u); // the high nibble is kept
    ASSERT_EQ(end - block, 1 + 2 + 3 + 1 + 8);
    // Ambient: the atomic's ambient lights, alpha 1 without prelit colours.
    EXPECT_FLOAT_EQ(block[0].x, 0.1f);
    EXPECT_FLOAT_EQ(block[0].w, 1.0f);
    // Directional: the frame's at axis, colour with alpha 0.
    EXPECT_FLOAT_EQ(block[1].y, -1.0f);
    EXPECT_FLOAT_EQ(block[2].x, 0.9f);
    EXPECT_EQ(block[2].w, 0.0f);
    // Point: 1/radius, then the position in object space (10 - 10 = 0, 0, 2).
    EXPECT_NEAR(block[3].x, 0.2f, 1e-5f);
    EXPECT_EQ(block[3].y, 0.0f);
    EXPECT_NEAR(block[4].x, 0.0f, 1e-5f);
    EXPECT_NEAR(block[4].z, 2.0f, 1e-5f);
    // Spots in list order: the soft one (cone 1/(1 - 0.5)), then the hard one (999.99994).
    EXPECT_NEAR(block[6].x, 0.125f, 1e-5f);
    EXPECT_NEAR(block[6].y, 0.125f, 1e-5f);
    EXPECT_NEAR(block[7].y, 3.0f, 1e-5f);
    EXPECT_NEAR(block[8].y, -1.0f, 1e-5f);
    EXPECT_FLOAT_EQ(block[9].x, 2.0f);
    EXPECT_FLOAT_EQ(block[9].y, -1.0f);
    EXPECT_FLOAT_EQ(block[9].z, 0.5f);
    EXPECT_NEAR(block[11].x, -3.0f, 1e-5f);
    EXPECT_FLOAT_EQ(block[13].x, 999.99994f);
    EXPECT_FLOAT_EQ(block[13].y, -0.9995f * 999.99994f);

    // Without normals an atomic takes no directional or local lights; unlit, only the ambient
    // register (alpha 0 for prelit geometry).
    atomic.normals = FALSE;
    end = OvD3D9VertexShaderGatherLightList(&atomic, globals.data(), static_cast<OvUInt32>(globals.size()),
                                            locals.data(), static_cast<OvUInt32>(locals.size()), block, &desc);
    EXPECT_EQ(end - block, 1);
    EXPECT_EQ(desc.lights, 0);
    atomic.lit = FALSE;
    atomic.prelit = TRUE;
    end = OvD3D9VertexShaderGatherLightList(&atomic, globals.data(), static_cast<OvUInt32>(globals.size()),
                                            locals.data(), static_cast<OvUInt32>(locals.size()), block, &desc);
    EXPECT_EQ(end - block, 1);
    EXPECT_EQ(block[0].x, 0.0f);
    EXPECT_EQ(block[0].w, 0.0f);

    // A sector takes the light-world lights without the reach test.
    OvD3D9WorldMatrixSet(nullptr);
    const OvD3D9ShaderLitObject sector{0, TRUE, TRUE, FALSE, {}};
    end = OvD3D9VertexShaderGatherLightList(&sector, globals.data(), static_cast<OvUInt32>(globals.size()),
                                            locals.data(), static_cast<OvUInt32>(locals.size()), block, &desc);
    EXPECT_EQ(OvD3D9VertexShaderDescDirectional(&desc), 2u);
    EXPECT_EQ(OvD3D9VertexShaderDescPoint(&desc), 2u);
    EXPECT_EQ(OvD3D9VertexShaderDescSpot(&desc), 2u);
    EXPECT_FLOAT_EQ(block[0].x, 0.8f);
    EXPECT_EQ(block[0].w, 0.0f);
    EXPECT_EQ(end - block, 1 + 4 + 5 + 9);
}

TEST_F(GatherTest, AtMostFifteenOfEachKindAndTheTextTakesThem) {
    std::vector<OvLight*> globals, locals;
    for (int i = 0; i < 20; ++i) {
        globals.push_back(Make(ovLIGHTDIRECTIONAL, {}, {0, 0, 1}, 0, ovLIGHTLIGHTATOMICS, 0.1f));
        locals.push_back(
            Make(ovLIGHTPOINT, {0, 0, static_cast<float>(i) * 0.1f}, {0, 0, 1}, 5, ovLIGHTLIGHTATOMICS, 0.1f));
    }
    const OvD3D9ShaderLitObject atomic{1, TRUE, FALSE, TRUE, {{0, 0, 0}, 1}};
    OvD3D9VertexShaderDesc desc{0, 0, ovVSNORMALS, 0};
    OvD3D9ShaderConstant block[256];
    OvD3D9ShaderConstant* end =
        OvD3D9VertexShaderGatherLightList(&atomic, globals.data(), 20, locals.data(), 20, block, &desc);
    EXPECT_EQ(OvD3D9VertexShaderDescDirectional(&desc), 15u);
    EXPECT_EQ(OvD3D9VertexShaderDescPoint(&desc), 15u);
    EXPECT_EQ(static_cast<OvUInt32>(end - block) + 4, OvD3D9VertexShaderDescGetNumConstants(&desc));
    // Gathered again in the next light frame, the same lights come back.
    end = OvD3D9VertexShaderGatherLightList(&atomic, globals.data(), 20, locals.data(), 20, block, &desc);
    EXPECT_EQ(OvD3D9VertexShaderDescPoint(&desc), 15u);
}

} // namespace
