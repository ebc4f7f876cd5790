// The host services: line, ray and swept queries against up to five collision worlds, the debug
// line buffer and its batches, and the AI engine initialised with the demo's table.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "ai/runtime/engine.h"
#include "demo/debug_lines.h"
#include "demo/host_services.h"
#include "demo/timer.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/pipeline.h"
#include "graphics/plugins/collision.h"
#include "graphics/world/tests/world_test_kit.h"
#include "graphics/world/world.h"
#include "tools/mkasset/world_writer.h"

namespace {

struct Quad {
    float corner[4][3]; // in order round the edge
};

// A world of one atomic sector holding every quad twice (both windings), so that a line meets
// a quad from either side.
OvWorld* MakeWorld(const std::vector<Quad>& quads) {
    mkasset::WorldDesc w;
    w.materialList = mkasset::MaterialListOf({mkasset::MaterialDesc{}});
    mkasset::SectorNodeDesc node;
    mkasset::AtomicSectorDesc& s = node.sector;
    for (int a = 0; a < 3; ++a) {
        s.min[a] = w.min[a] = 1e30f;
        s.max[a] = w.max[a] = -1e30f;
    }
    for (const Quad& q : quads) {
        const auto base = static_cast<std::uint16_t>(s.verts.size() / 3);
        for (const auto& c : q.corner) {
            for (int a = 0; a < 3; ++a) {
                s.verts.push_back(c[a]);
                s.min[a] = w.min[a] = std::min(s.min[a], c[a]);
                s.max[a] = w.max[a] = std::max(s.max[a], c[a]);
            }
        }
        const std::uint16_t b = base;
        s.triangles.push_back({{b, static_cast<std::uint16_t>(b + 1), static_cast<std::uint16_t>(b + 2)}, 0});
        s.triangles.push_back({{b, static_cast<std::uint16_t>(b + 2), static_cast<std::uint16_t>(b + 3)}, 0});
        s.triangles.push_back({{b, static_cast<std::uint16_t>(b + 2), static_cast<std::uint16_t>(b + 1)}, 0});
        s.triangles.push_back({{b, static_cast<std::uint16_t>(b + 3), static_cast<std::uint16_t>(b + 2)}, 0});
    }
    w.nodes.push_back(node);
    OvWorld* world = worldtest::ReadFirst<OvWorld>(mkasset::WorldFile(w), OvWorldStreamRead);
    EXPECT_NE(world, nullptr);
    return world;
}

// A wall across x = at, spanning y and z from -half to half.
Quad WallX(float at, float half = 50.0f) {
    return {{{at, -half, -half}, {at, half, -half}, {at, half, half}, {at, -half, half}}};
}
// A floor at y = at.
Quad FloorY(float at, float half = 50.0f) {
    return {{{-half, at, -half}, {half, at, -half}, {half, at, half}, {-half, at, half}}};
}

void AttachCollision() { OvCollisionPluginAttach(); }

class HostServicesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(worldtest::EngineUp(AttachCollision)); }
    void TearDown() override {
        DemoServices::SetCollisionWorlds(nullptr, 0);
        for (OvWorld* w : worlds)
            OvWorldDestroy(w);
        EXPECT_TRUE(OvTestEngineDown());
    }
    OvWorld* Add(const std::vector<Quad>& quads) {
        worlds.push_back(MakeWorld(quads));
        return worlds.back();
    }
    bool Use() { return DemoServices::SetCollisionWorlds(worlds.data(), static_cast<int>(worlds.size())); }

    std::vector<OvWorld*> worlds;
};

TEST_F(HostServicesTest, AtMostFiveWorldsAndEveryOneIsAsked) {
    for (int i = 0; i < 5; ++i)
        Add({WallX(100.0f + i)}); // out of the way
    ASSERT_TRUE(Use());
    EXPECT_EQ(DemoServices::GetCollisionWorldCount(), 5);
    const float from[3] = {0, 0, 0}, to[3] = {10, 0, 0};
    EXPECT_TRUE(DemoServices::IsLineClear(from, to, nullptr, 1));

    // The only wall on the way is in the fifth world.
    OvWorldDestroy(worlds[4]);
    worlds[4] = MakeWorld({WallX(5.0f)});
    ASSERT_TRUE(Use());
    EXPECT_FALSE(DemoServices::IsLineClear(from, to, nullptr, 1));
    float normal[3];
    EXPECT_FLOAT_EQ(DemoServices::LineOfSight(from, to, nullptr, 2, 20.0f, normal), 10.0f);

    // A sixth is refused and the five stay.
    Add({WallX(200.0f)});
    EXPECT_FALSE(Use());
    EXPECT_FALSE(DemoServices::SetCollisionWorlds(worlds.data(), -1));
    EXPECT_FALSE(DemoServices::SetCollisionWorlds(nullptr, 2));
    EXPECT_EQ(DemoServices::GetCollisionWorldCount(), 5);
    EXPECT_FALSE(DemoServices::IsLineClear(from, to, nullptr, 1));
    OvWorldDestroy(worlds.back());
    worlds.pop_back();
}

TEST_F(HostServicesTest, RayKeepsTheNearestHitOverAllWorlds) {
    const float from[3] = {0, 1, 0}, to[3] = {10, 1, 0};
    float normal[3] = {7, 7, 7};
    // No worlds: nothing in the way, which the engine reads from exactly the length.
    EXPECT_EQ(DemoServices::LineOfSight(from, to, nullptr, 2, 20.0f, normal), 20.0f);
    EXPECT_EQ(normal[0], 0.0f);

    Add({WallX(5.0f), WallX(8.0f)});
    Add({WallX(3.0f), FloorY(-1.0f)});
    Add({WallX(4.0f)});
    ASSERT_TRUE(Use());
    EXPECT_NEAR(DemoServices::LineOfSight(from, to, nullptr, 2, 20.0f, normal), 6.0f, 1e-4f);
    EXPECT_NEAR(normal[0], -1.0f, 1e-3f); // the face turned towards the ray
    EXPECT_FLOAT_EQ(normal[1], 0.0f);
    const float back[3] = {-10, 1, 0};
    EXPECT_NEAR(DemoServices::LineOfSight(to, back, nullptr, 2, 1.0f, normal), 0.1f, 1e-5f);
    EXPECT_NEAR(normal[0], 1.0f, 1e-3f);
    // Nothing on the way.
    const float up[3] = {0, 30, 0};
    EXPECT_EQ(DemoServices::LineOfSight(from, up, nullptr, 2, 20.0f, normal), 20.0f);
    EXPECT_EQ(normal[0], 0.0f);
    // A point on a wall is no ray.
    const float onWall[3] = {5, 1, 0};
    normal[0] = 3;
    EXPECT_EQ(DemoServices::LineOfSight(onWall, onWall, nullptr, 2, 20.0f, normal), 0.0f);
    EXPECT_EQ(normal[0], 0.0f);
    EXPECT_TRUE(DemoServices::IsLineClear(onWall, onWall, nullptr, 1));
}

TEST_F(HostServicesTest, SweptSpheresStandEveryRadiusAlongTheSegment) {
    Add({WallX(10.0f)});
    ASSERT_TRUE(Use());
    auto clear = [](float x0, float x1, float radius) {
        const float from[3] = {x0, 0, 0}, to[3] = {x1, 0, 0};
        return DemoServices::LineQueryRadius(from, to, radius, nullptr, 2);
    };
    // Spheres at 1.5, 3, ..., 7.5: the last reaches 9, short of the wall, although the end's
    // sphere would reach 10.4.
    EXPECT_TRUE(clear(0.0f, 8.9f, 1.5f));
    // One more sphere, at 9, reaches 10.5.
    EXPECT_FALSE(clear(0.0f, 9.5f, 1.5f));
    // The start's own sphere is not tested.
    EXPECT_TRUE(clear(9.2f, 6.2f, 1.0f));
    // A segment shorter than the radius tests nothing at all.
    EXPECT_TRUE(clear(9.8f, 9.9f, 1.0f));
    EXPECT_TRUE(clear(9.9f, 9.9f, 1.0f));
    // Radius 0 is the line test.
    EXPECT_FALSE(clear(9.8f, 10.2f, 0.0f));
    EXPECT_TRUE(clear(9.0f, 9.9f, 0.0f));

    // Seeded sweep: radius 0 always agrees with the line test.
    std::mt19937 random(42);
    std::uniform_real_distribution<float> coordinate(-20.0f, 20.0f);
    for (int i = 0; i < 200; ++i) {
        const float from[3] = {coordinate(random), coordinate(random), coordinate(random)};
        const float to[3] = {coordinate(random), coordinate(random), coordinate(random)};
        EXPECT_EQ(DemoServices::LineQueryRadius(from, to, 0.0f, nullptr, 2),
                  DemoServices::IsLineClear(from, to, nullptr, 2));
    }
}

// The immediate-mode draws of the debug lines.
struct Batch {
    OvInt32 primType;
    OvUInt32 count;
    OvUInt32 firstColour;
    float firstX;
};
std::vector<Batch> gBatches;
void* gTextureState = reinterpret_cast<void*>(1);

OvBool RecordBatch(OvPipelineNode*, const OvPipelineExecuteParams* params) {
    const auto* b = static_cast<const OvIm3DBatch*>(params->data);
    gBatches.push_back({b->primType, b->numVertices, b->vertices[0].color, b->vertices[0].objVertex.x});
    return TRUE;
}
OvBool RecordState(OvInt32 state, void* value) {
    if (state == ovRENDERSTATETEXTURERASTER)
        gTextureState = value;
    return TRUE;
}

TEST_F(HostServicesTest, DebugLinesPackGrowAndDrawInBatches) {
    ASSERT_TRUE(DemoDebugLines::Open(0.5f));
    const float a[3] = {1, 2, 3}, b[3] = {4, 5, 6};
    DemoServices::DrawLine(a, b, 0x12, 0x34, 0x56);
    DemoServices::DrawCross(a, 0xFF, 0, 0x80);
    ASSERT_EQ(DemoDebugLines::GetCount(), 8u);
    const OvIm3DVertex* v = DemoDebugLines::GetVertices();
    EXPECT_EQ(v[0].color, 0xFF123456u);
    EXPECT_EQ(v[1].color, 0xFF123456u);
    EXPECT_EQ(v[1].objVertex.z, 6.0f);
    // The cross: x, then y, then z, each from -half to +half round the point.
    const float expect[6][3] = {{0.5f, 2, 3}, {1.5f, 2, 3}, {1, 1.5f, 3}, {1, 2.5f, 3}, {1, 2, 2.5f}, {1, 2, 3.5f}};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(v[2 + i].color, 0xFFFF0080u);
        EXPECT_EQ(v[2 + i].objVertex.x, expect[i][0]);
        EXPECT_EQ(v[2 + i].objVertex.y, expect[i][1]);
        EXPECT_EQ(v[2 + i].objVertex.z, expect[i][2]);
    }
    // Grows to exactly what the frame needs and keeps it when cleared.
    EXPECT_EQ(DemoDebugLines::GetCapacity(), 8u);
    DemoDebugLines::Clear();
    DemoServices::DrawLine(a, b, 1, 2, 3);
    EXPECT_EQ(DemoDebugLines::GetCount(), 2u);
    EXPECT_EQ(DemoDebugLines::GetCapacity(), 8u);

    OvNodeDefinition recorder = {};
    recorder.name = "RecordLines.test";
    recorder.body = RecordBatch;
    OvPipeline* pipeline = OvPipelineCreate();
    OvPipelineLock(pipeline);
    OvPipelineAddFragment(pipeline, nullptr, &recorder, nullptr);
    OvPipelineUnlock(pipeline);
    OvIm3DSetRenderPipeline(pipeline, ovPRIMTYPELINELIST);
    OvEngineInstancePtr->dOpenDevice.setRenderState = RecordState;

    struct Case {
        std::uint32_t vertices;
        std::vector<OvUInt32> batches;
    };
    const Case cases[] = {
        {0, {}},
        {1, {}},
        {2, {2}},
        {65000, {65000}},
        {65001, {65000}},
        {65002, {65000, 2}},
        {130001, {65000, 65000}},
        {130004, {65000, 65000, 4}},
    };
    for (const Case& c : cases) {
        DemoDebugLines::Clear();
        OvIm3DVertex* first = DemoDebugLines::Reserve(c.vertices);
        ASSERT_TRUE(c.vertices == 0 || first != nullptr);
        for (std::uint32_t i = 0; i < c.vertices; ++i) {
            first[i] = OvIm3DVertex{};
            first[i].objVertex.x = static_cast<float>(i);
            first[i].color = DemoDebugLines::PackColour(0, 0, static_cast<std::uint8_t>(i / 65000));
        }
        gBatches.clear();
        gTextureState = reinterpret_cast<void*>(1);
        DemoDebugLines::Render();
        EXPECT_EQ(gTextureState, nullptr);
        ASSERT_EQ(gBatches.size(), c.batches.size()) << c.vertices;
        for (std::size_t i = 0; i < gBatches.size(); ++i) {
            EXPECT_EQ(gBatches[i].primType, ovPRIMTYPELINELIST);
            EXPECT_EQ(gBatches[i].count, c.batches[i]);
            EXPECT_EQ(gBatches[i].firstX, 65000.0f * i);
            EXPECT_EQ(gBatches[i].firstColour, 0xFF000000u + i);
        }
    }
    EXPECT_EQ(DemoDebugLines::GetCapacity(), 130004u);

    OvIm3DSetRenderPipeline(nullptr, ovPRIMTYPELINELIST);
    OvPipelineDestroy(pipeline);
    ASSERT_TRUE(DemoDebugLines::Open(1.0f)); // gives the old array back
    EXPECT_EQ(DemoDebugLines::GetCapacity(), 0u);
    DemoServices::DrawLine(a, b, 1, 2, 3);
    DemoDebugLines::Close();
    EXPECT_EQ(DemoDebugLines::GetVertices(), nullptr);
    EXPECT_EQ(DemoDebugLines::GetCount(), 0u);
}

TEST_F(HostServicesTest, EngineRunsOnTheDemoTable) {
    Add({WallX(5.0f)});
    ASSERT_TRUE(Use());
    ASSERT_TRUE(DemoDebugLines::Open(1.0f));
    CHostServices table;
    DemoServices::Fill(&table);
    ASSERT_TRUE(Vusk::Initialise(&table));

    const CVector3 from(0, 0, 0), to(10, 0, 0), above(0, 0, 10);
    EXPECT_FALSE(Vusk::HasLineOfSight(from, to, nullptr, 1));
    EXPECT_TRUE(Vusk::HasLineOfSight(from, above, nullptr, 1));
    EXPECT_NEAR(Vusk::RayCast(from, CVector3(1, 0, 0), nullptr, 2, 20.0f), 5.0f, 1e-4f);
    EXPECT_FALSE(Vusk::SweepTest(CVector3(0, 0, 0), CVector3(9, 0, 0), nullptr, 2, 4.0f));
    EXPECT_TRUE(Vusk::SweepTest(CVector3(0, 0, 0), CVector3(2, 0, 0), nullptr, 2, 4.0f));
    // The engine's memory and clock are the host's.
    void* block = Vusk::EngineAllocate(64);
    EXPECT_NE(block, nullptr);
    Vusk::EngineFree(block);
    const double t0 = table.clock(0);
    EXPECT_GE(table.clock(0), t0);
    // Debug drawing goes into the line buffer.
    Vusk::GetEngineSettings().drawLine(from, to, 1, 2, 3);
    Vusk::GetEngineSettings().drawPoint(to, 4, 5, 6);
    EXPECT_EQ(DemoDebugLines::GetCount(), 8u);
    Vusk::ReleaseEngine();
    DemoDebugLines::Close();
}

} // namespace
