#include "ai/runtime/engine.h"

#include <string>

#include <gtest/gtest.h>

#include "testing/fake_ai_host.h"

namespace {

class EngineTest : public AiEngineTest {};

TEST_P(EngineTest, WorldPoolIsInstalledOnce) {
    EXPECT_FALSE(Vusk::InstallPoolAllocator(0, 100));
    if (PoolSize() == 0) {
        EXPECT_EQ(Vusk::GetWorldPool(), nullptr);
        ASSERT_TRUE(Vusk::InstallPoolAllocator(1000, 100));
    }
    CPoolAllocator* pool = Vusk::GetWorldPool();
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(Vusk::GetCurrentAllocator(), pool);
    EXPECT_EQ(pool->GetOwner(), Vusk::GetCallbackAllocator());
    EXPECT_FALSE(Vusk::InstallPoolAllocator(64, 100)); // kept for the rest of the run
    EXPECT_EQ(Vusk::GetWorldPool(), pool);

    // Objects made in the pool are released without reaching the host.
    long frees = Host().FreeCount();
    auto* tree = new CConfigNode();
    tree->SetName("Inside");
    delete tree;
    EXPECT_EQ(Host().FreeCount(), frees);
}

TEST_P(EngineTest, RayCastAgainstBoxes) {
    int owner = 0;
    const CVector3 from(0, 1, 0);
    // Nothing in the scene: the whole length.
    EXPECT_EQ(Vusk::RayCast(from, CVector3::UnitX, &owner, 2, 10.0f), 10.0f);
    ASSERT_EQ(Host().RayQueries().size(), 1u);
    EXPECT_EQ(Host().RayQueries()[0].user, &owner);
    EXPECT_EQ(Host().RayQueries()[0].to[0], 10.0f);

    Host().AddBox(4, 0, -1, 5, 2, 1);
    EXPECT_FLOAT_EQ(Vusk::RayCast(from, CVector3::UnitX, &owner, 2, 10.0f), 4.0f);
    EXPECT_EQ(Vusk::RayCast(from, CVector3::UnitX, &owner, 2, 3.0f), 3.0f);
    EXPECT_EQ(Vusk::RayCast(from, CVector3::UnitZ, &owner, 2, 10.0f), 10.0f);

    // The adapter's hit record: fraction, point and the host's normal.
    CRayHit hit;
    Vusk::GetEngineSettings().ray(from, CVector3(8, 1, 0), &owner, &hit, 1);
    EXPECT_FLOAT_EQ(hit.fraction, 0.5f);
    EXPECT_FLOAT_EQ(hit.point.x, 4.0f);
    EXPECT_FLOAT_EQ(hit.point.y, 1.0f);
    EXPECT_EQ(hit.normal[0], -1.0f);
    EXPECT_EQ(hit.normal[1], 0.0f);
    Vusk::GetEngineSettings().ray(from, CVector3(2, 1, 0), &owner, &hit, 1);
    EXPECT_EQ(hit.fraction, 1.0f);
    EXPECT_EQ(hit.point.x, 2.0f);
    EXPECT_EQ(hit.normal[0], 0.0f);

    // A segment of length 0, even inside a box, is free and never asks the host.
    std::size_t queries = Host().RayQueries().size();
    const CVector3 inside(4.5f, 1, 0);
    Vusk::GetEngineSettings().ray(inside, inside, &owner, &hit, 2);
    EXPECT_EQ(hit.fraction, 1.0f);
    EXPECT_EQ(hit.point.x, 4.5f);
    EXPECT_EQ(Vusk::RayCast(inside, CVector3::UnitX, &owner, 2, 0.0f), 0.0f);
    EXPECT_EQ(Vusk::RayCast(inside, CVector3::Zero, &owner, 2, 5.0f), 5.0f);
    EXPECT_EQ(Host().RayQueries().size(), queries);
}

TEST_P(EngineTest, LineOfSightAndSweep) {
    int owner = 0;
    Host().AddBox(-1, 0, 4, 1, 2, 5);
    EXPECT_FALSE(Vusk::HasLineOfSight(CVector3(0, 1, 0), CVector3(0, 1, 10), &owner, 1));
    EXPECT_TRUE(Vusk::HasLineOfSight(CVector3(0, 1, 0), CVector3(0, 1, 3.9f), &owner, 1));
    EXPECT_TRUE(Vusk::HasLineOfSight(CVector3(2, 1, 0), CVector3(2, 1, 10), &owner, 1));
    EXPECT_EQ(Host().LineOfSightQueries().at(0).mode, 1u);

    // Width 2 sweeps a sphere of radius 1: clear at x = 2.5, blocked at x = 1.5.
    EXPECT_TRUE(Vusk::SweepTest(CVector3(2.5f, 1, 0), CVector3(2.5f, 1, 10), &owner, 2, 2.0f));
    EXPECT_FALSE(Vusk::SweepTest(CVector3(1.5f, 1, 0), CVector3(1.5f, 1, 10), &owner, 2, 2.0f));
    EXPECT_EQ(Host().SweepQueries().at(0).extent, 1.0f);
}

TEST_P(EngineTest, PathSeparators) {
    char buffer[16];
    EXPECT_TRUE(Vusk::FixPathSeparators("data/ai/a.ais", buffer, sizeof(buffer)));
    EXPECT_STREQ(buffer, "data\\ai\\a.ais");
    EXPECT_TRUE(Vusk::FixPathSeparators("0123456789/1234", buffer, 16)); // exactly fits
    EXPECT_FALSE(Vusk::FixPathSeparators("0123456789/12345", buffer, 16));
    EXPECT_FALSE(Vusk::FixPathSeparators(nullptr, buffer, 16));
    EXPECT_FALSE(Vusk::FixPathSeparators("a", nullptr, 16));
}

AI_ENGINE_TEST_SUITE(EngineTest);

// Initialisation and shut-down outside the fixture: every allocation may fail, and the
// engine must come back to its starting state without leaking.
TEST(EngineLifecycleTest, InitialiseSurvivesEveryAllocationFailureAndShutsDownClean) {
    FakeAiHost& host = FakeAiHost::Instance();
    host.Reset();
    EXPECT_FALSE(Vusk::Initialise(nullptr));
    CHostServices services = host.MakeServices(50, 4);
    bool succeeded = false;
    for (long failAt = 1; !succeeded; ++failAt) {
        host.FailAllocation(failAt);
        succeeded = Vusk::Initialise(&services);
        host.FailAllocation(0);
        EXPECT_EQ(Vusk::IsEngineInitialised(), succeeded);
        Vusk::ReleaseEngine();
        EXPECT_EQ(host.LiveBlocks(), 0) << failAt;
        ASSERT_LT(failAt, 100);
    }
    EXPECT_FALSE(Vusk::IsEngineInitialised());
    EXPECT_EQ(Vusk::GetEngineEntityPool(), nullptr);
    EXPECT_EQ(Vusk::TakeEntityNameNumber(), 0u);
    Vusk::ReleaseEngine();
    // Before initialisation nothing can be allocated.
    EXPECT_EQ(Vusk::EngineAllocate(8), nullptr);

    // Initialising twice replaces the engine's containers without leaking them.
    ASSERT_TRUE(Vusk::Initialise(&services));
    ASSERT_TRUE(Vusk::Initialise(&services));
    EXPECT_EQ(Vusk::GetEngineEntityPool()->GetCapacity(), 50u);
    // A host without a child list for the callback allocator cannot have a world pool.
    Vusk::ReleaseEngine();
    services.allocatorChildCapacity = 0;
    ASSERT_TRUE(Vusk::Initialise(&services));
    long live = host.LiveBlocks();
    EXPECT_FALSE(Vusk::InstallPoolAllocator(4096, 100));
    EXPECT_EQ(Vusk::GetWorldPool(), nullptr);
    EXPECT_EQ(Vusk::GetCurrentAllocator(), Vusk::GetCallbackAllocator());
    EXPECT_EQ(host.LiveBlocks(), live);
    Vusk::ReleaseEngine();
    EXPECT_EQ(host.LiveBlocks(), 0);
    EXPECT_EQ(host.BadFrees(), 0);
}

} // namespace
