// The AI engine's line queries answered by the world manager: a generated level loaded by the
// framework, the engine's ray, line-of-sight and sweep adapters on the table the game installs.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "ai/runtime/engine.h"
#include "demo/world_queries.h"
#include "framework/world_manager.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/plugins/collision.h"
#include "graphics/world/world_plugin.h"
#include "physics/graphics/body_atomic.h"
#include "testing/fake_ai_host.h"
#include "testing/scratch_dir.h"
#include "tools/mkasset/collision_tree.h"
#include "tools/mkasset/level_builder.h"

namespace {

void AttachPlugins() {
    OvWorldPluginAttach();
    OvCollisionPluginAttach();
    OvpBodyPluginAttach();
}

class WorldQueriesTest : public AiEngineTest {
protected:
    void SetUp() override {
        AiEngineTest::SetUp();
        dir = MakeTestScratchDir("dun_demo_world_queries");
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir);
        setenv("PLATFORM_HEADLESS", "1", 1);
        ASSERT_TRUE(OvTestEngineUp(0, AttachPlugins));
        mkasset::LevelOptions options;
        options.size = 8;
        options.boxes = 0;
        mkasset::WorldDesc world = mkasset::LevelWorld(options);
        ASSERT_TRUE(mkasset::AddWorldCollision(world));
        const mkasset::Bytes bytes = mkasset::WorldFile(world);
        std::ofstream("level.bsp", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    void TearDown() override {
        DemoWorldQueries::SetWorldManager(nullptr);
        delete g_worldManager;
        g_worldManager = nullptr;
        EXPECT_TRUE(OvTestEngineDown());
        unsetenv("PLATFORM_HEADLESS");
        std::filesystem::current_path(previous);
        AiEngineTest::TearDown();
    }
    void ConfigureServices(CHostServices& services) override { DemoWorldQueries::Install(&services); }

    std::filesystem::path dir, previous;
};

TEST_P(WorldQueriesTest, EngineQueriesReachTheLevel) {
    // Without a world manager nothing is in the way.
    EXPECT_EQ(Vusk::RayCast(CVector3(0, 1, 0), CVector3(0, -1, 0), nullptr, 2, 5.0f), 5.0f);
    EXPECT_TRUE(Vusk::HasLineOfSight(CVector3(0, 1, 0), CVector3(0, -1, 0), nullptr, 1));

    g_worldManager = new CWorldManager();
    g_worldManager->LoadWorld("level.bsp", 0);
    ASSERT_EQ(g_worldManager->WorldCount(), 1);
    // Down onto the floor from a metre up: the free distance is the hit's share of the length.
    EXPECT_NEAR(Vusk::RayCast(CVector3(0.3f, 1, 0.2f), CVector3(0, -1, 0), nullptr, 2, 4.0f), 1.0f, 1e-4f);
    float normal[3] = {};
    const float from[3] = {0.3f, 1, 0.2f}, to[3] = {0.3f, -3, 0.2f};
    EXPECT_NEAR(DemoWorldQueries::RayHitDistance(from, to, nullptr, 2, 8.0f, normal), 2.0f, 1e-4f);
    EXPECT_NEAR(normal[1], 1.0f, 1e-5f);
    // Up through the floor (its back) and in the open air: the whole length.
    EXPECT_EQ(DemoWorldQueries::RayHitDistance(to, from, nullptr, 2, 8.0f, normal), 8.0f);
    EXPECT_EQ(normal[1], 0.0f);
    EXPECT_FALSE(Vusk::HasLineOfSight(CVector3(0.3f, 1, 0.2f), CVector3(0.3f, -1, 0.2f), nullptr, 1));
    EXPECT_TRUE(Vusk::HasLineOfSight(CVector3(-2, 1, 0), CVector3(2, 1, 0), nullptr, 1));
    // A wall 4 units out stops a line and a sweep that pass it.
    EXPECT_FALSE(Vusk::HasLineOfSight(CVector3(0, 1, 0), CVector3(5, 1, 0), nullptr, 1));
    EXPECT_TRUE(Vusk::SweepTest(CVector3(0, 1, 0), CVector3(2, 1, 0), nullptr, 2, 0.8f));
    EXPECT_FALSE(Vusk::SweepTest(CVector3(0, 1, 0), CVector3(5, 1, 0), nullptr, 2, 0.8f));

    // The engine's modes: line of sight skips dynamic objects, rays and sweeps see them.
    EXPECT_TRUE(DemoWorldQueries::SkipDynamic(1));
    EXPECT_FALSE(DemoWorldQueries::SkipDynamic(2));
    EXPECT_FALSE(DemoWorldQueries::SkipDynamic(0));
    EXPECT_TRUE(DemoWorldQueries::SkipDynamic(7));
}

AI_ENGINE_TEST_SUITE(WorldQueriesTest);

} // namespace
