// Free lists, arrays, errors and the string functions.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "graphics/core/array.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/memory.h"
#include "graphics/core/string_functions.h"
#include "graphics/core/testkit/engine_test.h"
#include "graphics/core/testkit/null_driver.h"

namespace {

struct Lcg {
    std::uint32_t state;
    std::uint32_t Next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

using FreeListTest = OvEngineTest;

// Which entry an allocation takes and when blocks open and close is checked against a model
// below; here the layout of one block and the addresses that are not entries.
TEST_F(FreeListTest, EntriesTileTheBlockAndForeignAddressesAreRefused) {
    OvFreeList* list = OvFreeListCreate(24, 10, 0, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->bitmapBytes, 2u);
    std::vector<std::uint8_t*> entries;
    for (int i = 0; i < 10; ++i) {
        entries.push_back(static_cast<std::uint8_t*>(OvFreeListAlloc(list, 0)));
        ASSERT_NE(entries.back(), nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(entries.back()) % alignof(void*), 0u);
        EXPECT_EQ(entries.back() - entries.front(), 24 * i);
    }
    EXPECT_EQ(OvFreeListGetNumBlocks(list), 1);
    int outside = 0;
    EXPECT_EQ(OvFreeListFree(list, &outside), nullptr);
    for (std::uint8_t* e : entries) {
        EXPECT_EQ(OvFreeListFree(list, e), list);
    }
    EXPECT_EQ(OvFreeListGetNumBlocks(list), 0);
    EXPECT_TRUE(OvFreeListDestroy(list));
}

TEST_F(FreeListTest, PurgeReleasesOnlyUnusedBlocks) {
    OvFreeList* a = OvFreeListCreateWithSpace(16, 4, 0, 3, nullptr, 0);
    OvFreeList* b = OvFreeListCreateWithSpace(32, 4, 0, 2, nullptr, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(OvFreeListGetNumBlocks(a), 3);
    void* kept = OvFreeListAlloc(a, 0);
    EXPECT_EQ(OvFreeListPurge(a), 16 * 2);
    EXPECT_EQ(OvFreeListGetNumBlocks(a), 1);
    EXPECT_GE(OvFreeListPurgeAll(), 32 * 2); // the engine's own lists may release blocks too
    EXPECT_EQ(OvFreeListGetNumBlocks(b), 0);
    EXPECT_EQ(OvFreeListFree(a, kept), a);
    OvFreeListDestroy(a);
    OvFreeListDestroy(b);
}

TEST_F(FreeListTest, ForAllUsedVisitsEveryEntryAndMayFreeIt) {
    OvFreeList* list = OvFreeListCreate(8, 10, 0, 0);
    std::vector<void*> live;
    for (int i = 0; i < 25; ++i) {
        live.push_back(OvFreeListAlloc(list, 0));
    }
    OvFreeListFree(list, live[4]);
    struct Visit {
        OvFreeList* list;
        int count;
    } visit = {list, 0};
    EXPECT_EQ(OvFreeListForAllUsed(
                  list,
                  [](void* entry, void* data) {
                      auto* v = static_cast<Visit*>(data);
                      v->count++;
                      OvFreeListFree(v->list, entry);
                  },
                  &visit),
              list);
    EXPECT_EQ(visit.count, 24);
    EXPECT_EQ(OvFreeListGetNumBlocks(list), 0);
    OvFreeListDestroy(list);
}

// A plain model of a free list: blocks head first, each with the address of its first entry and
// its entries' use; allocation takes the first free entry walking from the head, or opens a block
// at the head; freeing the last used entry of a block releases the block. Every live entry holds
// a pattern of its own, which an overlapping entry would overwrite.
struct ModelBlock {
    std::uint8_t* first;
    std::vector<bool> used;
};

TEST_F(FreeListTest, AllocationsMatchAPlainWalkOfTheBlocks) {
    for (const int perBlock : {1, 5, 16, 64}) {
        OvFreeList* list = OvFreeListCreateWithSpace(12, perBlock, 0, 1, nullptr, 0);
        ASSERT_NE(list, nullptr);
        const std::size_t size = list->entrySize; // 12 rounded up to the alignment
        std::vector<ModelBlock> blocks;           // the preallocated block is learnt when first used
        std::vector<std::uint8_t*> live;
        Lcg rng{static_cast<std::uint32_t>(perBlock)};
        auto locate = [&](const std::uint8_t* e) {
            for (std::size_t b = 0; b < blocks.size(); ++b) {
                if (e >= blocks[b].first && e < blocks[b].first + size * perBlock) {
                    return std::pair<std::size_t, std::size_t>{b, (e - blocks[b].first) / size};
                }
            }
            return std::pair<std::size_t, std::size_t>{blocks.size(), 0};
        };
        for (int step = 0; step < 4000; ++step) {
            // Phases of mostly allocating and mostly freeing, so that blocks fill and empty.
            const bool allocate = live.empty() || rng.Next() % 8 < ((step / 500) % 2 == 0 ? 6u : 2u);
            if (allocate) {
                auto* e = static_cast<std::uint8_t*>(OvFreeListAlloc(list, 0));
                ASSERT_NE(e, nullptr);
                std::uint8_t* expected = nullptr;
                for (ModelBlock& b : blocks) {
                    for (std::size_t i = 0; expected == nullptr && i < b.used.size(); ++i) {
                        if (!b.used[i]) {
                            b.used[i] = true;
                            expected = b.first + size * i;
                        }
                    }
                    if (expected != nullptr) {
                        break;
                    }
                }
                if (expected == nullptr) {
                    // Every known block is full: the entry opens a block (or is the first of a
                    // preallocated one), which the walk meets first.
                    ASSERT_EQ(locate(e).first, blocks.size()) << "step " << step;
                    blocks.insert(blocks.begin(), ModelBlock{e, std::vector<bool>(perBlock, false)});
                    blocks.front().used[0] = true;
                    expected = e;
                }
                ASSERT_EQ(e, expected) << "step " << step << ", " << perBlock << " a block";
                std::memset(e, static_cast<int>(reinterpret_cast<std::uintptr_t>(e) / size), 12);
                live.push_back(e);
            } else {
                const std::size_t k = rng.Next() % live.size();
                const auto [b, i] = locate(live[k]);
                ASSERT_LT(b, blocks.size());
                for (int j = 0; j < 12; ++j) {
                    ASSERT_EQ(live[k][j], static_cast<std::uint8_t>(reinterpret_cast<std::uintptr_t>(live[k]) / size));
                }
                ASSERT_EQ(OvFreeListFree(list, live[k]), list);
                blocks[b].used[i] = false;
                if (std::find(blocks[b].used.begin(), blocks[b].used.end(), true) == blocks[b].used.end()) {
                    blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(b));
                }
                live.erase(live.begin() + static_cast<std::ptrdiff_t>(k));
            }
            if (step % 997 == 996) {
                OvFreeListPurge(list); // keeps the order of the blocks in use
            }
        }
        OvFreeListDestroy(list);
    }
}

TEST(FreeListBypass, FreeListsOffAllocateFromTheHeap) {
    ASSERT_TRUE(OvTestEngineUp(ovENGINEINITFLAG_NOFREELISTS));
    OvFreeList* list = OvFreeListCreateWithSpace(40, 8, 0, 1, nullptr, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(OvFreeListGetNumBlocks(list), 0);
    void* a = OvFreeListEntryAlloc(list, 0);
    void* b = OvFreeListEntryAlloc(list, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::memset(a, 1, 40);
    EXPECT_EQ(OvFreeListGetNumBlocks(list), 0);
    EXPECT_EQ(OvFreeListEntryFree(list, a), list);
    EXPECT_EQ(OvFreeListEntryFree(list, b), list);
    OvFreeListDestroy(list);
    EXPECT_TRUE(OvTestEngineDown());
}

using ArrayTest = OvEngineTest;

TEST_F(ArrayTest, GrowsByAQuarterAndKeepsEntries) {
    OvArray* array = OvArrayCreate(sizeof(int), 0);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(OvArrayGetData(array), nullptr);
    std::vector<int> capacities;
    for (int i = 0; i < 38; ++i) {
        auto* slot = static_cast<int*>(OvArrayAddEntry(array, 0));
        ASSERT_NE(slot, nullptr);
        *slot = i * 7;
        if (capacities.empty() || capacities.back() != array->capacity) {
            capacities.push_back(array->capacity);
        }
    }
    EXPECT_EQ(capacities, (std::vector<int>{20, 25, 31, 38}));
    for (int i = 0; i < 38; ++i) {
        EXPECT_EQ(*static_cast<int*>(OvArrayGetEntry(array, i)), i * 7);
    }
    // Adding n entries to a full array makes room for them and a quarter more.
    auto* block = static_cast<int*>(OvArrayAddEntries(array, 5, 0));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(array->capacity, 38 + 38 / 4 + 5);
    EXPECT_EQ(array->numEntries, 43);
    EXPECT_EQ(block, static_cast<int*>(OvArrayGetEntry(array, 38)));
    // A count whose total passes 32 bits is refused and changes nothing.
    EXPECT_EQ(OvArrayAddEntries(array, INT32_MAX - 10, 0), nullptr);
    EXPECT_EQ(array->numEntries, 43);
    EXPECT_EQ(array->capacity, 38 + 38 / 4 + 5);
    OvError e;
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, ovERRNOMEMORY);
    OvArrayEmpty(array);
    EXPECT_EQ(OvArrayGetData(array), nullptr);
    EXPECT_TRUE(OvArrayDestroy(array));

    OvArray* kept = OvArrayCreate(sizeof(int), 0);
    *static_cast<int*>(OvArrayAddEntry(kept, 0)) = 42;
    auto* data = static_cast<int*>(OvArrayDestroyKeepData(kept));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 42);
    OvFree(data);
    EXPECT_EQ(OvArrayDestroyKeepData(OvArrayCreate(sizeof(int), 0)), nullptr);
}

using ErrorTest = OvEngineTest;

TEST_F(ErrorTest, FirstErrorWinsAndGetClears) {
    OvError e;
    OvErrorGet(&e);
    EXPECT_EQ(e.pluginID, 0);
    EXPECT_EQ(e.errorCode, ovERRNOERROR);
    OvErrorReport(ovPLUGINIDCORE, ovERRNOMEMORY);
    OvErrorReport(ovPLUGINIDCORE, ovERRENDOFSTREAM);
    OvErrorGet(&e);
    EXPECT_EQ(e.pluginID, 0); // common codes are stored without a plugin
    EXPECT_EQ(e.errorCode, ovERRNOMEMORY);
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, ovERRNOERROR);
    OvErrorReport(ovPLUGINIDCORE, ovERRENDOFSTREAM);
    OvErrorGet(&e);
    EXPECT_EQ(e.pluginID, ovPLUGINIDCORE);
    EXPECT_EQ(e.errorCode, ovERRENDOFSTREAM);
    OvError in = {7, ovERRBADVERSION};
    EXPECT_EQ(OvErrorSet(&in), &in);
    OvErrorGet(&e);
    EXPECT_EQ(e.pluginID, 0);
    EXPECT_EQ(e.errorCode, ovERRBADVERSION);
}

TEST(ErrorOutsideEngine, StartBeginsWithNoErrorAndStopKeepsTheLastOne) {
    OvError e;
    OvErrorGet(&e);
    OvErrorReport(ovPLUGINIDCORE, ovERRDEVICEREQUEST);
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, ovERRDEVICEREQUEST); // held while the engine is down
    OvErrorReport(ovPLUGINIDCORE, ovERRDEVICEREQUEST);
    OvEngineSetDriver(OvNullDriverGet());
    ASSERT_TRUE(OvEngineInit(nullptr, 0, 0));
    static int window;
    ASSERT_TRUE(OvEngineOpen(&window));
    ASSERT_TRUE(OvEngineStart());
    // The report from before start is gone: the first error of the started engine is the one held.
    OvErrorReport(ovPLUGINIDCORE, ovERRENDOFSTREAM);
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, ovERRENDOFSTREAM);
    OvErrorReport(ovPLUGINIDCORE, ovERRBADACCESS);
    EXPECT_TRUE(OvEngineStop());
    EXPECT_TRUE(OvEngineClose());
    EXPECT_TRUE(OvEngineTerm());
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, ovERRBADACCESS);
}

TEST_F(OvEngineTest, StringFunctionsFoldAsciiOnly) {
    EXPECT_EQ(OvStringCompareNoCase("abc", "ABC"), 0);
    EXPECT_LT(OvStringCompareNoCase("a", "b"), 0);
    EXPECT_GT(OvStringCompareNoCase("B", "a"), 0);
    EXPECT_EQ(OvStringCompareNoCase(nullptr, "a"), 0);
    EXPECT_LT(OvStringCompareNoCase("\xE9", "a"), 0);    // bytes above 127 are negative
    EXPECT_NE(OvStringCompareNoCase("\xC9", "\xE9"), 0); // and are not folded
    char text[] = "MiXed 9!";
    EXPECT_STREQ(OvStringToUpper(text), "MIXED 9!");
    EXPECT_STREQ(OvStringToLower(text), "mixed 9!");
    EXPECT_EQ(OvStringToUpper(nullptr), nullptr);
    const char* s = "a.b.c";
    EXPECT_EQ(OvStringFindChar(s, '.'), s + 1);
    EXPECT_EQ(OvStringFindLastChar(s, '.'), s + 3);
    EXPECT_EQ(OvStringFindChar(s, 0), s + 5);
    EXPECT_EQ(OvStringFindLastChar(s, 0), s + 5);
    EXPECT_EQ(OvStringFindChar(s, 'x'), nullptr);
    EXPECT_EQ(OvStringFindLastChar(s, 'x'), nullptr);
}

} // namespace
