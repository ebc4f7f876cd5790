#include "ai/runtime/brain.h"

#include <gtest/gtest.h>

#include "ai/runtime/action.h"
#include "ai/runtime/tests/world_test_kit.h"

using worldkit::Add;
using worldkit::Log;

namespace {

using Strings = std::vector<std::string>;

// An action class that creates no action of its own.
class BareActionClass : public CActionClass {
public:
    const CActionClassDesc* GetClassDesc() const override { return &worldkit::g_testActionClassDesc; }
    void Apply(CEntity*) override {}
};

class BrainTest : public WorldTest {
protected:
    void SetUp() override {
        WorldTest::SetUp();
        m_entity = new worldkit::TestEntity("owner", nullptr);
        m_definition = new CConfigNode();
        Add(m_definition, "Class", "TestBrain");
    }
    void TearDown() override {
        delete m_entity;
        delete m_definition;
        WorldTest::TearDown();
    }

    CEntity* m_entity = nullptr;
    CConfigNode* m_definition = nullptr;
};

TEST_P(BrainTest, InitCreatesServicesAndAgentsInOrderThenReadsParameters) {
    CConfigNode* first = Add(m_definition, "Agent");
    Add(first, "Class", "TestAgent");
    Add(first, "Speed", "1");
    Add(Add(m_definition, "Service"), "Class", "TestService");
    Add(m_definition, "Decide", "0");
    Add(Add(m_definition, "Agent"), "Class", "NoSuchAgent");  // skipped
    Add(Add(m_definition, "Agent"), "Class", "FailingAgent"); // Init fails: dropped
    CConfigNode* misspelt = Add(m_definition, "Agent");
    Add(misspelt, "Class", "TestAgent");
    Add(misspelt, "Sped", "3"); // unknown parameter: Init fails, dropped
    Add(m_definition, "Agent"); // no class: skipped
    Add(Add(m_definition, "Service"), "Class", "DerivedService");
    CConfigNode* second = Add(m_definition, "Agent");
    Add(second, "Class", "TestAgent");
    Add(second, "Speed", "2");

    worldkit::TestBrain brain(m_entity, &worldkit::g_testActionClassDesc);
    ASSERT_TRUE(brain.Init(m_definition));
    EXPECT_FALSE(brain.decide);
    ASSERT_EQ(brain.GetAgentCount(), 2u);
    ASSERT_EQ(brain.GetServiceCount(), 2u);
    brain.Update();
    EXPECT_EQ(Log(), (Strings{"service TestService", "service DerivedService", "agent 1", "agent 2"}));
    // A service whose Update ends the brain is the last one the walk reaches.
    auto* ended = new worldkit::TestBrain(m_entity, &worldkit::g_testActionClassDesc);
    ASSERT_TRUE(ended->Init(m_definition));
    worldkit::g_hook = [ended](const std::string& event) {
        if (event == "service DerivedService")
            delete ended;
    };
    ended->Update();
    worldkit::g_hook = nullptr;
    EXPECT_EQ(Log().back(), "service DerivedService"); // no agent after it

    // Exact class for agents, is-kind-of for services.
    EXPECT_EQ(brain.GetAgent(&worldkit::g_testAgentDesc), brain.GetAgentAt(0));
    EXPECT_EQ(brain.GetAgent(&worldkit::g_failingAgentDesc), nullptr);
    EXPECT_EQ(brain.GetService(&worldkit::g_testServiceDesc), brain.GetServiceAt(0));
    EXPECT_EQ(brain.GetService(&worldkit::g_derivedServiceDesc), brain.GetServiceAt(1));

    // Each agent owns an action class of the brain's class.
    const CActionClass* own = brain.GetAgentAt(0)->GetActionClass();
    ASSERT_NE(own, nullptr);
    EXPECT_NE(own, brain.GetActionClass());

    m_entity->UpdateBrain(); // no brain: nothing
}

TEST_P(BrainTest, InitRefusalsAndSlotLimits) {
    // A plain brain refuses every parameter, but not Class, Agent or Service children.
    CConfigNode* definition = new CConfigNode();
    Add(definition, "Class", "PlainBrain");
    Add(Add(definition, "Service"), "Class", "TestService");
    {
        worldkit::PlainBrain brain(m_entity, &worldkit::g_testActionClassDesc);
        EXPECT_TRUE(brain.Init(definition));
        EXPECT_TRUE(brain.Init(nullptr));
    }
    Add(definition, "Mood", "grim");
    {
        worldkit::PlainBrain brain(m_entity, &worldkit::g_testActionClassDesc);
        EXPECT_FALSE(brain.Init(definition));
    }
    delete definition;
    // Without an action class no brain works.
    {
        worldkit::TestBrain brain(m_entity, nullptr);
        EXPECT_FALSE(brain.Init(m_definition));
    }
    // More agents and services than slots are left out.
    worldkit::TestBrain brain(m_entity, &worldkit::g_testActionClassDesc);
    const uint32_t agentSlots = brain.GetAgentCapacity();
    const uint32_t serviceSlots = brain.GetServiceCapacity();
    ASSERT_GT(agentSlots, 0u);
    for (uint32_t i = 0; i < agentSlots + 2; ++i)
        Add(Add(m_definition, "Agent"), "Class", "TestAgent");
    for (uint32_t i = 0; i < serviceSlots + 3; ++i)
        Add(Add(m_definition, "Service"), "Class", "TestService");
    ASSERT_TRUE(brain.Init(m_definition));
    EXPECT_EQ(brain.GetAgentCount(), agentSlots);
    EXPECT_EQ(brain.GetServiceCount(), serviceSlots);
}

TEST_P(BrainTest, ActionClassCopiesOnlySetActions) {
    worldkit::TestActionClass source;
    worldkit::TestActionClass target;
    auto* speed = source.FindAction<CActionSpeed>();
    auto* shoot = source.FindAction<CActionShoot>();
    ASSERT_TRUE(speed && shoot);
    target.FindAction<CActionShoot>()->fire = 9;

    // Nothing set: nothing changes.
    speed->value = 4.0f;
    target.CopyFrom(&source);
    EXPECT_EQ(target.FindAction<CActionSpeed>()->value, 0.0f);
    EXPECT_EQ(target.FindAction<CActionSpeed>()->set, 0);

    speed->set = 1;
    target.CopyFrom(&source);
    EXPECT_EQ(target.FindAction<CActionSpeed>()->value, 4.0f);
    EXPECT_EQ(target.FindAction<CActionSpeed>()->set, 1);
    EXPECT_EQ(target.FindAction<CActionShoot>()->fire, 9); // not set in the source
    EXPECT_EQ(target.FindAction<CActionShoot>()->set, 0);

    // A target without the action gets one instead of a write through null.
    BareActionClass bare;
    shoot->direction = CVector3(1, 2, 3);
    shoot->fire = 1;
    shoot->set = 1;
    bare.CopyFrom(&source);
    ASSERT_NE(bare.FindAction<CActionShoot>(), nullptr);
    EXPECT_EQ(bare.FindAction<CActionShoot>()->direction.z, 3.0f);
    EXPECT_EQ(bare.FindAction<CActionShoot>()->set, 1);

    // Between two action kinds nothing moves, not even the flag.
    CActionRotate rotate;
    CActionSteering steering;
    steering.value = 1.0f;
    steering.set = 1;
    rotate.CopyFrom(&steering);
    EXPECT_EQ(rotate.value, 0.0f);
    EXPECT_EQ(rotate.set, 0);
    EXPECT_EQ(rotate.CopyFrom(nullptr), &rotate);
}

AI_ENGINE_TEST_SUITE(BrainTest);

} // namespace
