// Follower, wander and go-to agents on a small floor of the fake host: the follower's wanted place
// against walls, the wander agent's draws over a graph with free slots, and the parameter rules.

#include <cmath>
#include <memory>
#include <set>

#include <gtest/gtest.h>

#include "ai/behaviours/entity_manager.h"
#include "ai/behaviours/follower_agents.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/world.h"
#include "platform/crt.h"
#include "testing/fake_ai_host.h"
#include "ai/behaviours/tests/agent_world_test.h"

namespace {

using scenario::HostBody;

class AgentsTest : public AgentWorldTest {};

TEST_P(AgentsTest, FollowerKeepsItsPlaceAndStopsItsHalfWidthBeforeAWall)
{
    // A wall across -z, 3 m behind the leader (who faces +z).
    MakeFloor({{{-5.0f, -1.0f, -4.0f}, {5.0f, 2.5f, -3.0f}}});
    HostBody leaderBody;
    CEntity* leader = SpawnPlain(leaderBody, "leader");
    struct Case {
        const char* distance;
        float angle;
        CVector3 expected; // destination relative to the leader
    };
    // Width 0.6: the follower keeps 0.3 m off the wall; a wall nearer than that gives the leader's
    // own position; distance 0 is the leader's position whatever the angle.
    const Case cases[] = {{"5", 180.0f, CVector3(0, 0, -2.7f)},
                          {"2", 180.0f, CVector3(0, 0, -2.0f)},
                          {"2", 90.0f, CVector3(2.0f, 0, 0)},
                          {"0", 45.0f, CVector3(0, 0, 0)}};
    std::vector<CFollowerAgent*> followers;
    for (const Case& c : cases) {
        HostBody body;
        body.position = CVector3(-4.0f, 0, 0);
        body.frozen = true;
        followers.push_back(Agent<CFollowerAgent>(SpawnBot(
            body, "CFollowerAgent",
            {{"EntityToFollow", "leader"}, {"DistFromEntity", c.distance}, {"AngleFromEntity", std::to_string(c.angle)}})));
        ASSERT_NE(followers.back(), nullptr);
    }
    Frame();
    for (size_t i = 0; i < followers.size(); ++i) {
        const CVector3 d = followers[i]->GetDestination() - leader->GetPosition();
        EXPECT_NEAR(d.x, cases[i].expected.x, 1e-4f) << i;
        EXPECT_NEAR(d.z, cases[i].expected.z, 1e-4f) << i;
        EXPECT_TRUE(followers[i]->IsDestinationValid()) << i;
    }

    // Leader against the wall: 0.2 m of room is less than the half width. The free distance is
    // measured again once 0.1 s have passed.
    BodyOf(leader).position = CVector3(0, 0, -2.8f);
    Frame();
    EXPECT_FALSE(followers[0]->IsDestinationValid());
    Frame();
    Frame();
    EXPECT_EQ(followers[0]->GetRealDistance(), 0.0f);
    EXPECT_NEAR(followers[0]->GetDestination().z, -2.8f, 1e-6f);

    // The same angle keeps the destination; another one is computed again at the next think.
    followers[2]->SetAngle(90.0f);
    EXPECT_TRUE(followers[2]->IsDestinationValid());
    followers[2]->SetAngle(270.0f);
    EXPECT_FALSE(followers[2]->IsDestinationValid());
    Frame();
    EXPECT_NEAR(followers[2]->GetDestination().x, -2.0f, 1e-4f);

    // The leader leaves the world: the followers stop asking for it.
    Vusk::DestroyEntity(leader);
    EXPECT_EQ(followers[0]->GetEntityToFollow(), nullptr);
    EXPECT_FALSE(followers[0]->IsReady());
    Frame();
}

TEST_P(AgentsTest, WanderDrawsOnlyLiveVerticesUpToTheLastIndexReproducibly)
{
    MakeFloor({});
    CSpatialGraph* graph = Graph();
    // Free slots in the middle: the live vertices are fewer than the last index + 1.
    for (int32_t i = 10; i < 200; ++i)
        if (graph->GetVertex(i) != nullptr)
            graph->RemoveVertex(i);
    HostBody body;
    CWanderAgent* agent = Agent<CWanderAgent>(SpawnBot(body, "CWanderAgent", {{"Graph", "floor"}}));
    ASSERT_NE(agent, nullptr);
    std::vector<int32_t> first;
    std::set<int32_t> drawn;
    crt_srand(7);
    for (int k = 0; k < 3000; ++k) {
        agent->PickDestination();
        const int32_t index = agent->GetDestinationVertexIndex();
        ASSERT_NE(graph->GetVertex(index), nullptr) << index;
        EXPECT_EQ(agent->GetDestination().x, graph->GetVertex(index)->GetPosition().x);
        drawn.insert(index);
        if (k < 20)
            first.push_back(index);
    }
    EXPECT_EQ(static_cast<int32_t>(drawn.size()), graph->GetVertexCount());
    EXPECT_EQ(*drawn.rbegin(), graph->GetLastVertexIndex());
    crt_srand(7);
    for (int32_t index : first) {
        agent->PickDestination();
        EXPECT_EQ(agent->GetDestinationVertexIndex(), index);
    }

    // The destination vertex leaves the graph: the next think draws another.
    const int32_t gone = agent->GetDestinationVertexIndex();
    graph->RemoveVertex(gone);
    Frame();
    EXPECT_NE(agent->GetDestinationVertexIndex(), gone);
    EXPECT_NE(graph->GetVertex(agent->GetDestinationVertexIndex()), nullptr);
}

TEST_P(AgentsTest, ParametersOfTheThreeAgents)
{
    MakeFloor({});
    HostBody body;
    // Go-to refuses every parameter; wander needs a known graph; the follower accepts an unknown
    // entity name (and then has nobody to follow) but not an unknown key.
    EXPECT_EQ(Agent<CGotoAgent>(SpawnBot(body, "CGotoAgent", {{"Graph", "floor"}})), nullptr);
    EXPECT_NE(Agent<CGotoAgent>(SpawnBot(body, "CGotoAgent", {})), nullptr);
    EXPECT_EQ(Agent<CWanderAgent>(SpawnBot(body, "CWanderAgent", {{"Graph", "nowhere"}})), nullptr);
    CFollowerAgent* follower = Agent<CFollowerAgent>(SpawnBot(body, "CFollowerAgent", {{"EntityToFollow", "nobody"}}));
    ASSERT_NE(follower, nullptr);
    EXPECT_FALSE(follower->IsReady());
    EXPECT_EQ(follower->GetDistance(), 1.0f);
    EXPECT_EQ(follower->GetAngle(), 180.0f);
    EXPECT_EQ(Agent<CFollowerAgent>(SpawnBot(body, "CFollowerAgent", {{"Distance", "2"}})), nullptr);
    // A negative distance leaves the follower idle.
    follower->SetEntityToFollow(SpawnPlain(body, "leader"));
    follower->SetDistance(-1.0f);
    EXPECT_FALSE(follower->IsReady());
}

AI_ENGINE_TEST_SUITE(AgentsTest);

} // namespace
