#include "ai/runtime/allocator.h"

#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "testing/fake_ai_host.h"

namespace {

// The allocators themselves are under test: the engine runs without a world pool and the
// tests build their own pools.
class AllocatorTest : public AiEngineTest {
protected:
    long Live() { return Host().LiveBlocks(); }
};

TEST_P(AllocatorTest, PoolRoundsAndRefusesWhatDoesNotFit) {
    CCallbackAllocator* host = Vusk::GetCallbackAllocator();
    auto* pool = new CPoolAllocator(10, host, 0);
    ASSERT_NE(pool, nullptr);
    ASSERT_TRUE(pool->IsValid());
    EXPECT_EQ(pool->GetSize(), 16u);
    EXPECT_EQ(pool->GetOwner(), host);

    void* first = pool->RawAllocate(12);
    EXPECT_EQ(first, pool->GetBase());
    EXPECT_EQ(pool->GetUsed(), 16u);
    EXPECT_EQ(pool->RawAllocate(1), nullptr);
    EXPECT_EQ(pool->GetUsed(), 16u);

    // Through Allocate the refused request falls back to the host.
    void* block = nullptr;
    EXPECT_EQ(pool->Allocate(1, &block), host);
    ASSERT_NE(block, nullptr);
    Vusk::EngineFree(block);
    delete pool;

    auto* small = new CPoolAllocator(24, host, 0);
    ASSERT_TRUE(small->IsValid());
    EXPECT_EQ(small->RawAllocate(0), small->GetBase()); // 0 counts as 4, takes 8
    EXPECT_EQ(small->GetUsed(), 8u);
    EXPECT_EQ(small->RawAllocate(5), small->GetBase() + 8);
    EXPECT_EQ(small->GetUsed(), 16u);
    EXPECT_EQ(small->RawAllocate(8), small->GetBase() + 16);
    EXPECT_EQ(small->GetUsed(), 24u);
    // Sizes that would wrap the end offset are refused, not served.
    EXPECT_EQ(small->RawAllocate(std::numeric_limits<std::size_t>::max()), nullptr);
    delete small;

    long live = Live();
    auto* huge = new CPoolAllocator(std::numeric_limits<std::size_t>::max() - 3, host, 0);
    EXPECT_FALSE(huge->IsValid());
    EXPECT_EQ(huge->GetSize(), 0u);
    EXPECT_EQ(huge->RawAllocate(1), nullptr);
    delete huge;
    EXPECT_EQ(Live(), live);
}

TEST_P(AllocatorTest, ReleaseRoutingAndHooks) {
    CCallbackAllocator* host = Vusk::GetCallbackAllocator();
    auto* pool = new CPoolAllocator(64, host, 2);
    ASSERT_TRUE(pool->IsValid());
    Vusk::SetCurrentAllocator(pool);
    Host().ClearHookCalls();

    void* inPool = Vusk::EngineAllocate(16);
    void* spill = Vusk::EngineAllocate(128); // does not fit: served by the host
    ASSERT_NE(inPool, nullptr);
    ASSERT_NE(spill, nullptr);
    ASSERT_EQ(Host().AllocationHookCalls().size(), 2u);
    EXPECT_EQ(Host().AllocationHookCalls()[0].allocator, pool);
    EXPECT_EQ(Host().AllocationHookCalls()[0].size, 16u);
    EXPECT_EQ(Host().AllocationHookCalls()[1].allocator, host);

    long live = Live();
    std::size_t used = pool->GetUsed();
    Vusk::EngineFree(inPool); // must not reach the host's free (ASan would see a bad free)
    EXPECT_EQ(Live(), live);
    EXPECT_EQ(pool->GetUsed(), used);
    Vusk::EngineFree(spill);
    EXPECT_EQ(Live(), live - 1);
    ASSERT_EQ(Host().ReleaseHookCalls().size(), 2u);
    EXPECT_EQ(Host().ReleaseHookCalls()[0].block, inPool);
    EXPECT_EQ(Host().ReleaseHookCalls()[0].allocator, pool);
    EXPECT_EQ(Host().ReleaseHookCalls()[1].allocator, host);

    // A pool inside the pool owns its own block.
    auto* inner = new CPoolAllocator(16, pool, 0);
    ASSERT_TRUE(inner->IsValid());
    EXPECT_EQ(inner->GetOwner(), pool);
    void* innerBlock = inner->RawAllocate(4);
    EXPECT_EQ(host->Release(innerBlock), inner);
    EXPECT_EQ(host->Release(pool->GetBase()), pool);
    delete inner; // a pool object itself may live in the pool
    EXPECT_EQ(pool->GetChildren()->GetCount(), 0u);

    // Deleting the current pool hands the role back to its parent.
    delete pool;
    EXPECT_EQ(Vusk::GetCurrentAllocator(), host);
    EXPECT_EQ(host->GetChildren()->GetCount(), 0u);
    Vusk::EngineFree(nullptr);
}

TEST_P(AllocatorTest, PoolThatCannotBeAdoptedFails) {
    CCallbackAllocator* host = Vusk::GetCallbackAllocator();
    // No child list: the pool could never be found again, so it must not be created.
    ASSERT_TRUE(host->Setup(0, Vusk::GetHostServices()->alloc, Vusk::GetHostServices()->free));
    long live = Live();
    auto* orphan = new CPoolAllocator(64, host, 0);
    EXPECT_FALSE(orphan->IsValid());
    EXPECT_EQ(orphan->GetSize(), 0u);
    EXPECT_EQ(orphan->GetOwner(), nullptr);
    EXPECT_EQ(Live(), live + 1); // only the pool object: its block went back
    delete orphan;
    EXPECT_EQ(Live(), live);

    // A full child list refuses the same way.
    ASSERT_TRUE(host->Setup(1, Vusk::GetHostServices()->alloc, Vusk::GetHostServices()->free));
    auto* first = new CPoolAllocator(32, host, 0);
    auto* second = new CPoolAllocator(32, host, 0);
    EXPECT_TRUE(first->IsValid());
    EXPECT_FALSE(second->IsValid());
    delete second;
    delete first;
    auto* third = new CPoolAllocator(32, host, 0); // the slot is free again
    EXPECT_TRUE(third->IsValid());
    delete third;

    // The host cannot serve the block at all.
    Host().FailAllocation(2);
    auto* starved = new CPoolAllocator(32, host, 0);
    ASSERT_NE(starved, nullptr);
    EXPECT_FALSE(starved->IsValid());
    delete starved;

    // Nothing can serve: allocation yields null, and the hook hears of the failed request.
    Host().ClearHookCalls();
    Host().FailAllocation(1);
    EXPECT_EQ(Vusk::EngineAllocate(8), nullptr);
    ASSERT_EQ(Host().AllocationHookCalls().size(), 1u);
    EXPECT_EQ(Host().AllocationHookCalls()[0].block, nullptr);
    EXPECT_EQ(Host().AllocationHookCalls()[0].size, 8u);
    EXPECT_EQ(Host().AllocationHookCalls()[0].allocator, nullptr);
}

INSTANTIATE_TEST_SUITE_P(NoPool, AllocatorTest, ::testing::Values(std::size_t{0}));

} // namespace
