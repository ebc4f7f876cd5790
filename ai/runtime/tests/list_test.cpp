#include "ai/runtime/list.h"

#include <cstdint>
#include <list>
#include <map>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "testing/fake_ai_host.h"

namespace {

using Value = std::uintptr_t;
using List = CList<Value>;

class ListTest : public AiEngineTest {};

std::vector<Value> Contents(const List& list) {
    std::vector<Value> values;
    for (Value v : list) {
        values.push_back(v);
    }
    return values;
}

// What the random run below never asks: nodes of another list, null, absent values, no room.
TEST_P(ListTest, RefusesForeignNodesAndAbsentValues) {
    List three(3);
    CListNode<Value>* gone = three.Insert(10).GetNode();
    ASSERT_TRUE(three.Remove(gone));
    EXPECT_FALSE(three.Remove(gone)); // no longer in use
    List other(1);
    CListNode<Value>* foreign = other.Insert(1).GetNode();
    EXPECT_FALSE(three.Remove(foreign));
    EXPECT_EQ(three.IndexOf(foreign), List::kNoIndex);
    EXPECT_TRUE(three.Insert(7, foreign).IsNull());
    EXPECT_FALSE(three.Remove(nullptr));
    EXPECT_FALSE(three.RemoveValue(999));
    EXPECT_TRUE(three.GetAt(3).IsNull());
    List empty(0);
    EXPECT_TRUE(empty.Insert(1).IsNull());
    EXPECT_EQ(empty.begin(), empty.end());
}

TEST_P(ListTest, FailedNodeArrayGivesAnEmptyFullList) {
    Host().FailAllocation(2); // the list object is served, its node array is not
    auto* list = new List(4);
    ASSERT_NE(list, nullptr);
    // With the world pool the host is not asked at all.
    EXPECT_EQ(list->GetCapacity(), PoolSize() == 0 ? 0u : 4u);
    EXPECT_EQ(list->Insert(1).IsNull(), PoolSize() == 0);
    delete list;
}

// Random inserts and removals against std::list: same order, count + unused = capacity,
// and an element keeps its node index for as long as it is in the list.
TEST_P(ListTest, MatchesModelUnderRandomOperations) {
    std::mt19937 rng(1234);
    for (std::uint32_t capacity : {1u, 2u, 7u, 32u}) {
        List list(capacity);
        std::list<Value> model;
        std::map<Value, std::uint32_t> indexOf;
        Value next = 1;
        for (int step = 0; step < 3000; ++step) {
            int op = static_cast<int>(rng() % 4);
            if (op <= 1) {
                Value v = next++;
                CListNode<Value>* before = nullptr;
                auto where = model.end();
                if (op == 1 && !model.empty()) {
                    where = std::next(model.begin(), static_cast<long>(rng() % model.size()));
                    before = list.Find(*where);
                }
                CListPosition<Value> pos = list.Insert(v, before);
                if (model.size() == capacity) {
                    ASSERT_TRUE(pos.IsNull());
                    continue;
                }
                ASSERT_FALSE(pos.IsNull());
                model.insert(where, v);
                indexOf[v] = list.IndexOf(pos.GetNode());
            } else if (!model.empty()) {
                auto it = std::next(model.begin(), static_cast<long>(rng() % model.size()));
                Value v = *it;
                if (op == 2) {
                    ASSERT_TRUE(list.RemoveValue(v));
                } else {
                    ASSERT_TRUE(list.Remove(list.GetAt(indexOf[v]).GetNode()));
                }
                model.erase(it);
                indexOf.erase(v);
            }
            ASSERT_EQ(Contents(list), std::vector<Value>(model.begin(), model.end()));
            ASSERT_EQ(list.GetCount(), model.size());
            std::uint32_t unused = 0;
            for (std::uint32_t i = 0; i < capacity; ++i) {
                CListPosition<Value> pos = list.GetAt(i);
                if (!pos.GetNode()->IsInUse()) {
                    ++unused;
                } else {
                    ASSERT_EQ(indexOf.at(pos.GetValue()), i);
                }
            }
            ASSERT_EQ(list.GetCount() + unused, capacity);
            ASSERT_EQ(list.IsFull(), model.size() == capacity);
            if (!model.empty()) {
                ASSERT_EQ(list.GetHead()->GetValue(), model.front());
                ASSERT_EQ(list.GetTail()->GetValue(), model.back());
            }
        }
    }
}

AI_ENGINE_TEST_SUITE(ListTest);

} // namespace
