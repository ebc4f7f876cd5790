#include "graphics/core/resources.h"

#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "graphics/core/tests/started_engine.h"

namespace {

using ResourcesTest = StartedEngine;

OvUInt32 Rounded(OvUInt32 n) { return (n + 31u) & ~31u; }

std::vector<int> gDestroyed; // owner numbers in the order their entries went

void NoteDestroyed(OvResourceEntry* entry) { gDestroyed.push_back(*static_cast<int*>(entry->owner)); }

// Heap invariants: blocks tile the usable area in address order with consistent links, no two
// neighbours are both free, the hint is the lowest free block. Returns the bytes in used blocks.
OvUInt32 CheckHeap(const OvResHeap* heap, std::uintptr_t areaEnd) {
    OvUInt32 used = 0;
    const OvResHeapBlock* lowestFree = nullptr;
    const OvResHeapBlock* prev = nullptr;
    for (const OvResHeapBlock* b = heap->first; b != nullptr; b = b->next) {
        EXPECT_EQ(b->heap, heap);
        EXPECT_EQ(b->prev, prev);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b) % 32, 0u);
        EXPECT_EQ(b->size % 32, 0u);
        if (prev != nullptr) {
            EXPECT_EQ(reinterpret_cast<const char*>(prev + 1) + prev->size, reinterpret_cast<const char*>(b));
            EXPECT_FALSE(!prev->used && !b->used) << "two free neighbours";
        }
        if (!b->used && lowestFree == nullptr) {
            lowestFree = b;
        }
        used += b->used ? b->size : 0;
        EXPECT_LE(reinterpret_cast<std::uintptr_t>(b + 1) + b->size, areaEnd);
        prev = b;
    }
    EXPECT_EQ(heap->freeHint, lowestFree);
    return used;
}

TEST_F(ResourcesTest, HeapLayoutAndBlockSizes) {
    alignas(32) static std::uint8_t area[1000];
    OvResHeap* heap = reinterpret_cast<OvResHeap*>(area);
    ASSERT_TRUE(OvResourcesHeapInit(heap, sizeof area));
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(heap->first), area + 32);
    EXPECT_EQ(heap->first->size, 928u); // usable end at 992
    EXPECT_EQ(heap->freeHint, heap->first);

    // An entry of 10 data bytes takes the header plus 10, rounded up to 32.
    void* a = OvResourcesHeapAlloc(heap, sizeof(OvResourceEntry) + 10);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(heap->first->size, Rounded(sizeof(OvResourceEntry) + 10));
    EXPECT_EQ(heap->freeHint, heap->first->next);
    void* b = OvResourcesHeapAlloc(heap, 100);
    void* c = OvResourcesHeapAlloc(heap, 33);
    ASSERT_NE(c, nullptr);
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(area) + 992;
    CheckHeap(heap, end);
    OvResourcesHeapFree(a);
    EXPECT_EQ(heap->freeHint, heap->first);
    OvResourcesHeapFree(c); // merges with the free tail
    CheckHeap(heap, end);
    OvResourcesHeapFree(b); // merges both ways: one free block again
    EXPECT_EQ(heap->first->next, nullptr);
    EXPECT_EQ(heap->first->size, 928u);
    // A block is not split when the rest would be 64 bytes or less.
    void* most = OvResourcesHeapAlloc(heap, 928 - 64);
    EXPECT_EQ(heap->first->size, 928u);
    EXPECT_EQ(heap->freeHint, nullptr);
    EXPECT_EQ(OvResourcesHeapAlloc(heap, 1), nullptr);
    OvResourcesHeapFree(most);
    // Sizes whose rounding would pass 32 bits fit nowhere.
    EXPECT_EQ(OvResourcesHeapAlloc(heap, 0xFFFFFFF0u), nullptr);
    EXPECT_EQ(OvResourcesHeapAlloc(heap, 0xFFFFFFFFu), nullptr);
    EXPECT_EQ(heap->first->used, 0u);
    // Too small an area for one block of 32 data bytes.
    EXPECT_FALSE(OvResourcesHeapInit(heap, 64));
}

TEST_F(ResourcesTest, EvictionIsOldestFirstByFrame) {
    gDestroyed.clear();
    int owners[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    OvResourceEntry* refs[8] = {};
    OvResourcesModule* module = OvResourcesGetModule();
    const OvInt32 big = 20000; // three fit in the 64 KiB arena, four do not
    ASSERT_NE(OvResourcesAllocateEntry(&owners[0], &refs[0], big, NoteDestroyed), nullptr);
    OvResourcesEndFrame();
    ASSERT_NE(OvResourcesAllocateEntry(&owners[1], &refs[1], big, NoteDestroyed), nullptr);
    OvResourcesEndFrame();
    ASSERT_NE(OvResourcesAllocateEntry(&owners[2], &refs[2], big, NoteDestroyed), nullptr);
    EXPECT_EQ(module->usedBytes, 3u * big);
    // Entry 3 needs room: the oldest (0) goes first.
    ASSERT_NE(OvResourcesAllocateEntry(&owners[3], &refs[3], big, NoteDestroyed), nullptr);
    EXPECT_EQ(gDestroyed, std::vector<int>({0}));
    EXPECT_EQ(refs[0], nullptr);
    EXPECT_NE(refs[1], nullptr);
    EXPECT_EQ(module->reclaimedThisFrame, 0u);
    // A request that fits only after two evictions: 1 (older list) then 2 (this frame).
    ASSERT_NE(OvResourcesAllocateEntry(&owners[4], &refs[4], 2 * big + 4000, NoteDestroyed), nullptr);
    EXPECT_EQ(gDestroyed, std::vector<int>({0, 1, 2}));
    EXPECT_EQ(refs[1], nullptr);
    EXPECT_EQ(refs[2], nullptr);
    EXPECT_EQ(module->reclaimedThisFrame, static_cast<OvUInt32>(big)); // entry 2 was this frame's

    // After a frame end, the ended frame's entries (4, 3: newest first) go after older ones.
    OvResourcesEndFrame();
    OvResourcesUseEntry(refs[3]); // used again this frame: now the newest
    ASSERT_NE(OvResourcesAllocateEntry(&owners[5], &refs[5], big, NoteDestroyed), nullptr);
    EXPECT_EQ(gDestroyed.back(), 4);
    EXPECT_NE(refs[3], nullptr);

    // Larger than the arena: everything is evicted, then error 12.
    gDestroyed.clear();
    OvResourceEntry* none = reinterpret_cast<OvResourceEntry*>(&owners[7]);
    EXPECT_EQ(OvResourcesAllocateEntry(&owners[6], &none, 0x20000, NoteDestroyed), nullptr);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(gDestroyed.size(), 2u);
    EXPECT_EQ(module->usedBytes, 0u);
    EXPECT_EQ(ClearError(), ovERRARENAFULL);

    // An entry made outside the arena (plain memory, in no list) is freed with the memory
    // functions.
    auto* loose = static_cast<OvResourceEntry*>(OvMalloc(sizeof(OvResourceEntry) + 8, 0));
    *loose = {{nullptr, nullptr}, 8, &owners[0], nullptr, NoteDestroyed};
    EXPECT_TRUE(OvResourcesFreeEntry(loose));
    EXPECT_EQ(gDestroyed.back(), 0);
    OvResourcesEmptyArena(); // the owner references live on this stack
}

TEST_F(ResourcesTest, RandomChurnKeepsTheInvariants) {
    std::mt19937 rng(99);
    OvResourcesModule* module = OvResourcesGetModule();
    const std::uintptr_t end =
        (reinterpret_cast<std::uintptr_t>(module->area) + module->arenaSize) & ~std::uintptr_t(31);
    std::vector<int> owners(64);
    std::vector<OvResourceEntry*> refs(64, nullptr);
    gDestroyed.clear();
    for (int step = 0; step < 20000; ++step) {
        const int i = std::uniform_int_distribution<int>(0, 63)(rng);
        const int op = std::uniform_int_distribution<int>(0, 9)(rng);
        owners[i] = i;
        if (op < 6) {
            if (refs[i] != nullptr) {
                OvResourcesFreeEntry(refs[i]);
            }
            const OvInt32 size = std::uniform_int_distribution<OvInt32>(0, 9000)(rng);
            OvResourcesAllocateEntry(&owners[i], &refs[i], size, NoteDestroyed);
            ASSERT_NE(refs[i], nullptr); // every size here fits an empty arena
        } else if (op < 8) {
            if (refs[i] != nullptr) {
                OvResourcesFreeEntry(refs[i]);
                EXPECT_EQ(refs[i], nullptr);
            }
        } else if (op == 8) {
            OvResourcesEndFrame();
        } else if (refs[i] != nullptr) {
            OvResourcesUseEntry(refs[i]);
        }
        if (step % 50 == 0) {
            const OvUInt32 usedBlocks = CheckHeap(module->heap, end);
            OvUInt32 sum = 0, entryBlocks = 0;
            for (OvResourceEntry* e : refs) {
                if (e != nullptr) {
                    sum += static_cast<OvUInt32>(e->size);
                    entryBlocks += Rounded(static_cast<OvUInt32>(e->size) + sizeof(OvResourceEntry));
                }
            }
            ASSERT_EQ(module->usedBytes, sum);
            ASSERT_LE(sum, module->arenaSize);
            // Block sizes may exceed requests by up to 64 bytes where a block was not split.
            ASSERT_GE(usedBlocks, entryBlocks);
            ASSERT_LE(usedBlocks, entryBlocks + 64u * 64u);
        }
    }
    // Emptying runs every destroy callback and clears every reference.
    gDestroyed.clear();
    int live = 0;
    for (OvResourceEntry* e : refs) {
        live += e != nullptr;
    }
    EXPECT_TRUE(OvResourcesEmptyArena());
    EXPECT_EQ(static_cast<int>(gDestroyed.size()), live);
    for (OvResourceEntry* e : refs) {
        EXPECT_EQ(e, nullptr);
    }
    EXPECT_EQ(module->usedBytes, 0u);
    EXPECT_EQ(module->heap->first->next, nullptr);
}

TEST_F(ResourcesTest, ResizeAndCloseReleaseEverything) {
    gDestroyed.clear();
    int owner = 5;
    OvResourceEntry* ref = nullptr;
    OvResourcesAllocateEntry(&owner, &ref, 1000, NoteDestroyed);
    ASSERT_TRUE(OvResourcesSetArenaSize(0x8000));
    EXPECT_EQ(ref, nullptr);
    EXPECT_EQ(gDestroyed.size(), 1u);
    EXPECT_EQ(OvResourcesGetModule()->arenaSize, 0x8000u);
    EXPECT_EQ(OvEngineInstancePtr->resArenaInitSize, 0x8000u);

    // No arena at all: every request fails with error 12 and nothing breaks.
    ASSERT_TRUE(OvResourcesSetArenaSize(0));
    EXPECT_EQ(OvResourcesAllocateEntry(&owner, &ref, 1, NoteDestroyed), nullptr);
    EXPECT_EQ(ClearError(), ovERRARENAFULL);
    ASSERT_TRUE(OvResourcesSetArenaSize(0x8000));

    // Stopping the engine closes the module: live entries are destroyed, the area freed.
    OvResourcesAllocateEntry(&owner, &ref, 1000, NoteDestroyed);
    gDestroyed.clear();
    ASSERT_TRUE(OvEngineStop());
    EXPECT_EQ(gDestroyed.size(), 1u);
    EXPECT_EQ(ref, nullptr);
    // While stopped, the size is kept for the next start.
    EXPECT_TRUE(OvResourcesSetArenaSize(0x4000));
    ASSERT_TRUE(OvEngineStart());
    EXPECT_EQ(OvResourcesGetModule()->arenaSize, 0x4000u);
}

} // namespace
