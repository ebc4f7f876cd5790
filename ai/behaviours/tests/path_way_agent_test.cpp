// Path-way agent on the fake host: a bot walks a path way of pause, rotate and orient commands to the
// end, a looping path way starts again, and the action and parameter rules of Init.

#include <cmath>

#include <gtest/gtest.h>

#include "ai/behaviours/path_way_agent.h"
#include "ai/behaviours/tests/agent_world_test.h"
#include "ai/navigation/path_way.h"
#include "ai/runtime/entity_attribute.h"

namespace {

using scenario::Add;
using scenario::HostBody;

AiRes::PathWayRecord Record(uint8_t type, float a, float b = 0, float c = 0) {
    AiRes::PathWayRecord r;
    r.type = type;
    r.x = a, r.y = b, r.z = c, r.value = a;
    return r;
}

class PathWayAgentTest : public AgentWorldTest {
protected:
    // A floor graph and a path-way manager holding `ways` (name, block) pairs.
    void Build(const std::vector<std::pair<const char*, AiRes::PathWay>>& ways) {
        MakeFloor({}, 6.0f, 0.3f);
        std::vector<std::pair<std::string, AiRes::Bytes>> blocks;
        for (const auto& [name, way] : ways)
            blocks.emplace_back(name, AiRes::EncodePathWay(way));
        AddResources(static_cast<CPathWayManager*>(CPathWayManager::Create()), blocks);
    }

    // A walker of path way `name`; null when its agent was refused.
    CPathWayAgent* Spawn(const char* name) {
        m_walker = SpawnBot(HostBody(), "CPathWayAgent", {{"PathWayName", name}}, {{"DistGoal", "0.05"}});
        return Agent<CPathWayAgent>(m_walker);
    }

    void Step() {
        ++m_frame;
        Frame(0.1f);
    }
    HostBody& Body() { return BodyOf(m_walker); }

    CEntity* m_walker = nullptr;
    int m_frame = 0;
};
AI_ENGINE_TEST_SUITE(PathWayAgentTest);

TEST_P(PathWayAgentTest, WalksPausesTurnsAndFinishes) {
    AiRes::PathWay way;
    way.name = "Three";
    way.records = {Record(1, 2, 0, 0), Record(11, 2.0f),    Record(2, 2, 0, 4),
                   Record(12, 90.0f),  Record(2, -2, 0, 4), Record(13, -90.0f)};
    Build({{"Three", way}});
    CPathWayAgent* agent = Spawn("three");
    ASSERT_NE(agent, nullptr);
    ASSERT_TRUE(agent->IsReady());
    const float maxSpeed = m_walker->FindAttribute<CEntityMaxSpeed>()->value;

    // First leg, walking: at most a quarter of the maximum speed.
    while (!agent->IsAtStep() && m_frame < 400) {
        Step();
        EXPECT_LE(Body().speed, 0.25f * maxSpeed + 1e-5f);
    }
    ASSERT_TRUE(agent->IsAtStep());
    EXPECT_EQ(agent->GetCurrentStep(), 0);
    // Pause 2: about twenty frames standing still at the step.
    int still = 0;
    while (agent->GetCurrentStep() == 0 && m_frame < 400) {
        Step();
        still += agent->GetCurrentStep() == 0 && Body().speed == 0.0f;
    }
    EXPECT_NEAR(still, 20, 1);
    EXPECT_NEAR(Body().position.x, 2.0f, 0.1f);

    // Rotate 90 from the heading on arrival at the second step.
    while (!agent->IsAtStep() && m_frame < 400)
        Step();
    ASSERT_EQ(agent->GetCurrentStep(), 1);
    const float arrival = Body().heading;
    while (agent->GetCurrentStep() == 1 && m_frame < 400)
        Step();
    float turned = Body().heading - arrival - 90.0f;
    turned -= 360.0f * std::round(turned / 360.0f);
    EXPECT_LE(std::fabs(turned), 3.0f);

    // Orient -90, then the path way (flag 0) ends.
    while (!agent->IsFinished() && m_frame < 600)
        Step();
    ASSERT_TRUE(agent->IsFinished());
    float off = Body().heading + 90.0f;
    off -= 360.0f * std::round(off / 360.0f);
    EXPECT_LE(std::fabs(off), 3.0f);
    EXPECT_NEAR(Body().position.x, -2.0f, 0.1f);
    EXPECT_NEAR(Body().position.z, 4.0f, 0.1f);
    EXPECT_TRUE(agent->Think());
    EXPECT_EQ(Body().speed, 0.0f);
}

TEST_P(PathWayAgentTest, LoopingWayStartsAgainAndReverseWalksBackwards) {
    AiRes::PathWay way;
    way.name = "Loop";
    way.flag = 1;
    way.records = {Record(2, 1, 0, 0), Record(14, 0), Record(2, 1, 0, 2), Record(12, 0), Record(2, 0, 0, 1)};
    way.records[1].text = "pause"; // a word without an argument is done at once
    Build({{"Loop", way}});
    CPathWayAgent* agent = Spawn("Loop");
    ASSERT_NE(agent, nullptr);
    std::vector<int> visited;
    while (visited.size() < 7 && m_frame < 2000) {
        const int before = agent->GetCurrentStep();
        Step();
        if (agent->GetCurrentStep() != before)
            visited.push_back(before);
    }
    EXPECT_EQ(visited, (std::vector<int>{0, 1, 2, 0, 1, 2, 0}));
    EXPECT_FALSE(agent->IsFinished());

    agent->m_reverse = 1;
    agent->Reset();
    EXPECT_EQ(agent->GetCurrentStep(), 2);
    visited.clear();
    while (visited.size() < 4 && m_frame < 4000) {
        const int before = agent->GetCurrentStep();
        Step();
        if (agent->GetCurrentStep() != before)
            visited.push_back(before);
    }
    EXPECT_EQ(visited, (std::vector<int>{2, 1, 0, 2}));
}

TEST_P(PathWayAgentTest, InitNeedsAKnownWayAndOneActionOfEachPair) {
    AiRes::PathWay way;
    way.name = "One";
    way.records = {Record(1, 1, 0, 0)};
    Build({{"One", way}});
    EXPECT_EQ(Spawn("Other"), nullptr);
    CPathWayAgent* agent = Spawn("One");
    ASSERT_NE(agent, nullptr);
    CConfigNode definition;
    Add(&definition, "PathWayName", "one");
    EXPECT_TRUE(agent->Init(&definition));
    EXPECT_FALSE(agent->Init(nullptr));
    // Speed and acceleration both present: refused.
    ASSERT_NE(agent->GetActionClass()->CreateAction(&CActionAcceleration::s_desc), nullptr);
    EXPECT_FALSE(agent->Init(&definition));
}

} // namespace
