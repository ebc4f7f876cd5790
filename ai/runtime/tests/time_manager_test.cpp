#include "ai/runtime/time_manager.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include <gtest/gtest.h>

#include "ai/runtime/engine.h"
#include "ai/runtime/tests/world_test_kit.h"
#include "ai/runtime/world_api.h"

using worldkit::Add;

namespace {

// A world of five entities (indices 0-4), two aperiodic tasks "Hide" and "Look" and two
// periodic tasks "Scan" and "Listen", on the fake clock. Times are dyadic so that the f32
// fields and the double clock agree exactly.
class TimeManagerTest : public WorldTest {
protected:
    void SetUp() override {
        WorldTest::SetUp();
        m_tree = worldkit::MakeWorldTree("5", nullptr);
        CConfigNode* tasks = Add(m_tree, "TimeMgt");
        Add(tasks, "Aperiodic", nullptr, "Hide");
        Add(tasks, "Aperiodic", nullptr, "Look");
        Add(tasks, "Periodic", nullptr, "Scan");
        Add(tasks, "Periodic", nullptr, "Listen");
        m_world = Vusk::CreateWorld(m_tree, 0);
        ASSERT_NE(m_world, nullptr);
        CConfigNode* definition = worldkit::MakeEntityDefinition(nullptr);
        for (CEntity*& entity : m_entities) {
            entity = Vusk::CreateEntity(nullptr, definition, 0, nullptr);
            ASSERT_TRUE(entity != nullptr && Vusk::AddEntity(m_world, entity));
        }
        m_outsider = Vusk::CreateEntity(nullptr, definition, 0, nullptr);
        Vusk::DeleteTree(definition);
        m_tm = CTimeManager::GetInstance();
        m_hide = m_tm->FindTask("Hide");
        m_look = m_tm->FindTask("Look");
        m_tm->SetTaskMaxCall(m_hide, 10);
        m_tm->SetTaskTpf(m_hide, 60.0f);
        m_tm->SetTaskMaxCall(m_look, 10);
        m_tm->SetTaskTpf(m_look, 60.0f);
    }
    void TearDown() override {
        delete m_world;
        Vusk::DeleteTree(m_tree);
        WorldTest::TearDown();
    }

    void Frame(double time) {
        Host().SetTime(time);
        m_tm->BeginFrame();
    }
    // Every index GetNextEntity hands out this frame, in order, up to the first -1.
    std::vector<int> DrainOrder() {
        std::vector<int> order;
        for (int index = m_tm->GetNextEntity(); index != -1; index = m_tm->GetNextEntity())
            order.push_back(index);
        return order;
    }
    float Waiting(int entity, int task) { return m_tm->GetEntityRecord(entity)->waiting[task]; }

    CConfigNode* m_tree = nullptr;
    CWorld* m_world = nullptr;
    CEntity* m_entities[5] = {};
    CEntity* m_outsider = nullptr;
    CTimeManager* m_tm = nullptr;
    int m_hide = -1;
    int m_look = -1;
};

// Registration beyond the capacities and ids out of range are refused; periodic first runs are
// staggered per task.
TEST_P(TimeManagerTest, RegistrationLimits) {
    EXPECT_EQ(m_tm->RegisterAperiodicTask("Third"), -1);
    EXPECT_EQ(m_tm->RegisterPeriodicTask("Third"), -1);
    EXPECT_EQ(m_tm->FindTask("LOOK"), 1);
    EXPECT_EQ(m_tm->FindTask("Scan"), -1);
    m_tm->SetTaskPriority(2, 5.0f);
    m_tm->SetTaskMaxCall(-1, 5);
    m_tm->SetTaskPeriod(7, 5.0f);
    EXPECT_EQ(m_tm->GetTaskPriority(2), 0.0f);
    EXPECT_EQ(m_tm->GetEntityRecord(3)->lastRun[1], -0.01f);
    EXPECT_EQ(m_tm->GetEntityRecord(5), nullptr);
    EXPECT_EQ(m_tm->GetEntityRecord(-1), nullptr);
}

TEST_P(TimeManagerTest, WithoutBudgetEverythingIsGranted) {
    m_tm->SetFrameBudget(0.0f);
    m_tm->SetTaskMaxCall(m_hide, 0);
    Frame(10.0);
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(m_tm->BeginTask(m_hide, m_entities[0]));
    EXPECT_TRUE(m_tm->BeginTask(-1, nullptr));
    EXPECT_EQ(m_tm->GetTaskTimeLeft(m_hide), FLT_MAX);
    EXPECT_EQ(m_tm->GetTaskTimeLeft(7), 0.0f);
    Host().SetTime(11.0);
    m_tm->EndTask(m_hide, m_entities[0]);
    EXPECT_EQ(m_tm->GetTimeUsed(m_hide), 0.0f);
    EXPECT_EQ(m_tm->GetCallsGranted(m_hide), 0u);
}

TEST_P(TimeManagerTest, CallLimitRefusalsMoveTheEntityForward) {
    m_tm->SetFrameBudget(0.5f);
    m_tm->SetTaskMaxCall(m_hide, 2);
    m_tm->SetTaskPriority(m_hide, 2.0f);
    Frame(10.0);
    EXPECT_EQ(DrainOrder(), (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(m_tm->BeginTask(m_hide, m_entities[0]));
    EXPECT_TRUE(m_tm->BeginTask(m_hide, m_entities[1]));
    EXPECT_FALSE(m_tm->BeginTask(m_hide, m_entities[3]));
    EXPECT_FALSE(m_tm->BeginTask(m_hide, m_entities[3]));
    EXPECT_FALSE(m_tm->BeginTask(m_hide, m_entities[4]));
    EXPECT_EQ(m_tm->GetCallsGranted(m_hide), 2u);
    EXPECT_EQ(Waiting(3, m_hide), 4.0f);
    EXPECT_EQ(Waiting(4, m_hide), 2.0f);
    // Another task keeps its own count.
    EXPECT_TRUE(m_tm->BeginTask(m_look, m_entities[2]));

    Frame(11.0);
    EXPECT_EQ(m_tm->GetEntityRecord(3)->totalWaiting, 4.0f);
    const std::vector<int> order = DrainOrder();
    ASSERT_EQ(order.size(), 5u);
    EXPECT_EQ(order[0], 3);
    EXPECT_EQ(order[1], 4);
    // The next grant clears the entity's waiting score for that task.
    EXPECT_TRUE(m_tm->BeginTask(m_hide, m_entities[3]));
    EXPECT_EQ(Waiting(3, m_hide), 0.0f);
    EXPECT_EQ(Waiting(4, m_hide), 2.0f);
}

TEST_P(TimeManagerTest, TimeAllowanceIsCheckedBeforeEachRun) {
    m_tm->SetFrameBudget(1.0f);
    m_tm->SetTaskTpf(m_hide, 0.25f);
    Frame(10.0);
    EXPECT_EQ(m_tm->GetTaskTimeLeft(m_hide), 0.25f);
    EXPECT_TRUE(m_tm->BeginTask(m_hide, m_entities[0]));
    Host().SetTime(10.25);
    m_tm->EndTask(m_hide, m_entities[0]);
    EXPECT_EQ(m_tm->GetTimeUsed(m_hide), 0.25f);
    EXPECT_EQ(m_tm->GetTaskTimeLeft(m_hide), 0.0f);
    // Exactly the allowance used: one more run may start (and overshoot).
    EXPECT_TRUE(m_tm->BeginTask(m_hide, m_entities[1]));
    Host().SetTime(10.5);
    m_tm->EndTask(m_hide, m_entities[1]);
    EXPECT_EQ(m_tm->GetTimeUsed(m_hide), 0.5f);
    EXPECT_FALSE(m_tm->BeginTask(m_hide, m_entities[2]));
    // The frame's remainder bounds the other task: 1 - (10.875 - 10) = 0.125 < 60.
    Host().SetTime(10.875);
    EXPECT_EQ(m_tm->GetTaskTimeLeft(m_look), 0.125f);
    // Unknown task or entity: no charge.
    m_tm->EndTask(m_hide, m_outsider);
    m_tm->EndTask(5, m_entities[0]);
    EXPECT_EQ(m_tm->GetTimeUsed(m_hide), 0.5f);
    // A new frame gives the allowance back.
    Frame(12.0);
    EXPECT_EQ(m_tm->GetTimeUsed(m_hide), 0.0f);
    EXPECT_TRUE(m_tm->BeginTask(m_hide, m_entities[2]));
}

TEST_P(TimeManagerTest, FrameBudgetLatchesWithoutFurtherClockReads) {
    m_tm->SetFrameBudget(0.5f);
    m_tm->SetTaskPriority(m_look, 1.0f);
    Frame(10.0);
    Host().SetTime(10.25);
    EXPECT_TRUE(m_tm->BeginTask(m_hide, m_entities[0]));
    EXPECT_FALSE(m_tm->IsOverBudget());
    Host().SetTime(10.75);
    EXPECT_FALSE(m_tm->BeginTask(m_look, m_entities[1]));
    EXPECT_TRUE(m_tm->IsOverBudget());
    const long clockCalls = Host().ClockCalls();
    Host().SetTime(10.0); // the clock going back does not matter: it is not read
    EXPECT_FALSE(m_tm->BeginTask(m_look, m_entities[1]));
    EXPECT_FALSE(m_tm->BeginTask(m_hide, m_entities[2]));
    EXPECT_EQ(Host().ClockCalls(), clockCalls);
    EXPECT_EQ(Waiting(1, m_look), 2.0f);
    EXPECT_EQ(m_tm->GetTaskTimeLeft(m_look), 0.5f); // reads the clock: 0.5 - 0 frame time

    // Unknown task or an entity outside the world: refused without waiting.
    EXPECT_FALSE(m_tm->BeginTask(-1, m_entities[0]));
    EXPECT_FALSE(m_tm->BeginTask(m_look, m_outsider));
    EXPECT_FALSE(m_tm->BeginTask(m_look, nullptr));

    Frame(11.0);
    EXPECT_FALSE(m_tm->IsOverBudget());
    EXPECT_TRUE(m_tm->BeginTask(m_look, m_entities[1]));
}

TEST_P(TimeManagerTest, ThinkOrderFirstEntityAndFreeSlots) {
    m_tm->SetFrameBudget(0.5f);
    m_tm->SetTaskMaxCall(m_hide, 0);
    m_tm->SetTaskPriority(m_hide, 1.0f);
    Frame(10.0);
    EXPECT_FALSE(m_tm->BeginTask(m_hide, m_entities[3]));
    m_tm->SetFirstEntity(m_entities[2]);
    m_tm->SetFirstEntity(m_outsider); // out of range: ignored
    ASSERT_TRUE(Vusk::RemoveEntity(m_world, m_entities[1]));
    Frame(10.5);
    std::vector<int> order = DrainOrder();
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order[0], 2);
    EXPECT_EQ(order[1], 3);
    EXPECT_EQ(std::count(order.begin(), order.end(), 1), 0);
    EXPECT_EQ(m_tm->GetNextEntity(), -1);
    // The first entity holds for one frame only.
    Frame(11.0);
    EXPECT_EQ(DrainOrder()[0], 3);
    // A newcomer in the slot of an entity that left starts afresh: no waiting, no periodic run.
    const int scan = m_tm->FindPeriodicTask("Scan");
    m_tm->SetTaskPeriod(scan, 0.5f);
    EXPECT_TRUE(m_tm->IsPeriodicTaskDue(scan, m_entities[3]));
    ASSERT_TRUE(Vusk::RemoveEntity(m_world, m_entities[3]) && Vusk::AddEntity(m_world, m_outsider));
    ASSERT_EQ(m_outsider->GetIndex(), 3);
    EXPECT_EQ(Waiting(3, m_hide), 0.0f);
    EXPECT_TRUE(m_tm->IsPeriodicTaskDue(scan, m_outsider));

    // Nor does it outlive the scheduler: a world made later starts in index order.
    m_tm->SetFirstEntity(m_entities[4]);
    delete m_world;
    m_world = Vusk::CreateWorld(m_tree, 0);
    ASSERT_NE(m_world, nullptr);
    CConfigNode* definition = worldkit::MakeEntityDefinition(nullptr);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(Vusk::AddEntity(m_world, Vusk::CreateEntity(nullptr, definition, 0, nullptr)));
    Vusk::DeleteTree(definition);
    m_tm = CTimeManager::GetInstance();
    Frame(12.0);
    EXPECT_EQ(DrainOrder(), (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_P(TimeManagerTest, NotANumberPriorityCountsAsNoWaiting) {
    m_tm->SetFrameBudget(0.5f);
    m_tm->SetTaskMaxCall(m_hide, 0);
    m_tm->SetTaskPriority(m_hide, std::nanf(""));
    m_tm->SetTaskMaxCall(m_look, 0);
    m_tm->SetTaskPriority(m_look, 1.0f);
    Frame(10.0);
    EXPECT_FALSE(m_tm->BeginTask(m_hide, m_entities[1]));
    EXPECT_FALSE(m_tm->BeginTask(m_hide, m_entities[3]));
    EXPECT_FALSE(m_tm->BeginTask(m_look, m_entities[4]));
    EXPECT_TRUE(std::isnan(Waiting(1, m_hide)));
    for (int frame = 0; frame < 3; ++frame) {
        Frame(11.0 + frame);
        std::vector<int> order = DrainOrder();
        ASSERT_EQ(order.size(), 5u);
        EXPECT_EQ(order[0], 4);
        std::sort(order.begin(), order.end());
        EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    }
}

TEST_P(TimeManagerTest, PeriodicTasksRunOncePerPeriod) {
    const int scan = m_tm->FindPeriodicTask("Scan");
    const int listen = m_tm->FindPeriodicTask("Listen");
    m_tm->SetTaskPeriod(scan, 0.5f);
    m_tm->SetTaskPeriod(listen, 0.125f);
    // First runs are staggered: at 0.1171875 "Listen" (last run -0.01) is due, "Scan" (last run 0,
    // period 0.5) is not.
    Frame(0.1171875);
    EXPECT_FALSE(m_tm->IsPeriodicTaskDue(scan, m_entities[0]));
    EXPECT_TRUE(m_tm->IsPeriodicTaskDue(listen, m_entities[0]));
    EXPECT_FALSE(m_tm->IsPeriodicTaskDue(listen, m_entities[0]));

    Frame(10.0);
    EXPECT_TRUE(m_tm->IsPeriodicTaskDue(scan, m_entities[0]));
    EXPECT_TRUE(m_tm->IsPeriodicTaskDue(scan, m_entities[1])); // per entity
    Frame(10.5);
    EXPECT_FALSE(m_tm->IsPeriodicTaskDue(scan, m_entities[0]));
    Frame(10.625);
    EXPECT_TRUE(m_tm->IsPeriodicTaskDue(scan, m_entities[0]));
    m_tm->MarkPeriodicTaskRun(scan, m_entities[1]);
    EXPECT_EQ(m_tm->GetEntityRecord(1)->lastRun[scan], 10.625f);
    Frame(11.0);
    EXPECT_FALSE(m_tm->IsPeriodicTaskDue(scan, m_entities[1]));
    EXPECT_FALSE(m_tm->IsPeriodicTaskDue(scan, m_outsider));
    EXPECT_FALSE(m_tm->IsPeriodicTaskDue(2, m_entities[2]));
    EXPECT_EQ(CTimeManager::GetFrameStartTime(), 11.0f);

    // Period 0.1 after a run at 10.0: at 10.1 the f32 sum lands on the frame start, not before it.
    m_tm->SetTaskPeriod(listen, 0.1f);
    Frame(10.0);
    m_tm->MarkPeriodicTaskRun(listen, m_entities[3]);
    Frame(10.1);
    EXPECT_FALSE(m_tm->IsPeriodicTaskDue(listen, m_entities[3]));
    Frame(10.2);
    EXPECT_TRUE(m_tm->IsPeriodicTaskDue(listen, m_entities[3]));
}

AI_ENGINE_TEST_SUITE(TimeManagerTest);

} // namespace
