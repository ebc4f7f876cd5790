#pragma once
// Minimal memory set-up for the tests of the engine's core classes: the callback allocator
// forwards to malloc/free and counts live blocks; every test must leave none behind.

#include <cstdlib>

#include <gtest/gtest.h>

#include "ai/runtime/allocator.h"

class CoreMemoryTest : public ::testing::Test {
protected:
    static inline long s_live = 0;
    static inline long s_failIn = -1; // allocations left before one fails; -1: never


    static void* CountingAlloc(std::size_t size)
    {
        if (s_failIn >= 0 && s_failIn-- == 0) {
            return nullptr;
        }
        void* p = std::malloc(size);
        if (p != nullptr) {
            ++s_live;
        }
        return p;
    }
    static void CountingFree(void* p)
    {
        --s_live;
        std::free(p);
    }

    void SetUp() override
    {
        s_live = 0;
        s_failIn = -1;
        Vusk::SetCurrentAllocator(nullptr);
        ASSERT_TRUE(Vusk::GetCallbackAllocator()->Setup(4, CountingAlloc, CountingFree));
        Vusk::SetRootAllocator(Vusk::GetCallbackAllocator());
    }
    void TearDown() override
    {
        Vusk::GetCallbackAllocator()->Setup(0, CountingAlloc, CountingFree);
        EXPECT_EQ(s_live, 0);
        Vusk::GetCallbackAllocator()->Setup(0, nullptr, nullptr);
        Vusk::SetRootAllocator(nullptr);
        Vusk::SetCurrentAllocator(nullptr);
    }
};
