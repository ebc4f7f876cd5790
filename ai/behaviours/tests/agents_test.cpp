// Agents on a small floor of the fake host: the follower's wanted place against walls, the wander
// agent's draws over a graph with free slots, the flee agent's choice against a brute-force search,
// the shooter's aim, friendly-fire cone and steering, and the parameter rules.

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "ai/behaviours/entity_manager.h"
#include "ai/behaviours/flee_agent.h"
#include "ai/behaviours/follower_agents.h"
#include "ai/behaviours/shooter_agent.h"
#include "ai/navigation/find_nearest_data.h"
#include "ai/navigation/path_object.h"
#include "ai/navigation/path_object_manager.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/action.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/team.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"
#include "platform/crt.h"
#include "testing/fake_ai_host.h"
#include "ai/behaviours/tests/agent_world_test.h"

namespace {

using scenario::HostBody;

class AgentsTest : public AgentWorldTest {};

TEST_P(AgentsTest, FollowerKeepsItsPlaceAndStopsItsHalfWidthBeforeAWall) {
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
        followers.push_back(Agent<CFollowerAgent>(SpawnBot(body, "CFollowerAgent",
                                                           {{"EntityToFollow", "leader"},
                                                            {"DistFromEntity", c.distance},
                                                            {"AngleFromEntity", std::to_string(c.angle)}})));
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

TEST_P(AgentsTest, WanderDrawsOnlyLiveVerticesUpToTheLastIndexReproducibly) {
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

    // The destination leaves and a vertex elsewhere takes its index: the next think draws anew, not the newcomer.
    const int32_t gone = agent->GetDestinationVertexIndex();
    graph->RemoveVertex(gone);
    ASSERT_EQ(graph->AddVertex(CGraphVertexData(CVector3(-30, 0, -30)), gone), gone);
    Frame();
    ASSERT_NE(graph->GetVertex(agent->GetDestinationVertexIndex()), nullptr);
    EXPECT_EQ(agent->GetDestination().x, graph->GetVertex(agent->GetDestinationVertexIndex())->GetPosition().x);
}

// --- Flee ---

// Every walk of up to `length` edges from `vertex`, scored as the flee agent scores it (mean distance
// to the threats over the walk's vertices, divided by 10 per threat passed within 2 m, plus 1); the
// first best in edge order.
struct FleeReference {
    std::vector<CVector3> threats;
    uint32_t length = 0;
    const CGraphVertex* best = nullptr;
    float bestScore = 0.0f;

    float Sum(const CVector3& p) const {
        float sum = 0.0f;
        for (const CVector3& t : threats)
            sum += std::sqrt(CVector3::DistanceSquared(p, t));
        return sum;
    }
    bool Crosses(const CVector3& a, const CVector3& b) const {
        for (const CVector3& t : threats) {
            const double ex = b.x - a.x, ez = b.z - a.z, tx = t.x - a.x, tz = t.z - a.z;
            const double length = std::sqrt(ex * ex + ez * ez);
            const double along = (tx * ex + tz * ez) / length;
            if (along >= 0 && along <= length && std::fabs(tx * ez - tz * ex) / length < 2.0)
                return true;
        }
        return false;
    }
    void Walk(const CGraphVertex* vertex, uint32_t depth, uint32_t crossings, float sum) {
        const float score = sum / static_cast<float>(depth + 1) / (10.0f * static_cast<float>(crossings) + 1.0f);
        if (best == nullptr || score > bestScore) {
            best = vertex;
            bestScore = score;
        }
        if (depth == length)
            return;
        for (int32_t e = 0; e < vertex->GetOutgoingCount(); ++e) {
            const CGraphVertex* next = vertex->GetOutgoingEdge(e)->GetDestination();
            Walk(next, depth + 1, crossings + (Crosses(vertex->GetPosition(), next->GetPosition()) ? 1 : 0),
                 sum + Sum(next->GetPosition()));
        }
    }
};

TEST_P(AgentsTest, FleeTakesTheBestWalkOfABruteForceSearch) {
    MakeFloor({{{-2.0f, 0.0f, 3.0f}, {2.0f, 2.5f, 4.0f}}});
    std::mt19937 random(11);
    std::uniform_real_distribution<float> coordinate(-9.0f, 9.0f);
    for (int round = 0; round < 12; ++round) {
        HostBody body;
        body.position = CVector3(std::round(coordinate(random)), 0, std::round(coordinate(random)));
        body.frozen = true;
        const uint32_t length = static_cast<uint32_t>(round % 4);
        CFleeAgent* agent = Agent<CFleeAgent>(
            SpawnBot(body, "CFleeAgent",
                     {{"Graph", "floor"}, {"MaxPointsToFlee", "3"}, {"PathLength", std::to_string(length)}}));
        ASSERT_NE(agent, nullptr);
        FleeReference reference;
        reference.length = length;
        // Threats close by, so that walks pass them; every third round one straight behind on a grid
        // line, so that mirror-image walks tie.
        std::uniform_real_distribution<float> near(-3.0f, 3.0f);
        for (int t = 0; t <= round % 3; ++t) {
            const CVector3 offset = round % 3 == 0 ? CVector3(0, 0, -2.0f) : CVector3(near(random), 0, near(random));
            reference.threats.push_back(body.position + offset);
            ASSERT_TRUE(agent->AddThreatPoint(reference.threats.back()));
        }
        Frame();
        ASSERT_TRUE(agent->HasDestination());
        const CGraphVertex* start = Graph()->GetVertex(agent->GetStartVertexIndex());
        ASSERT_NE(start, nullptr);
        EXPECT_EQ(start, Vusk::FindNearestVertex(Graph(), body.position, true, false));
        reference.Walk(start, 0, 0, reference.Sum(start->GetPosition()));
        EXPECT_EQ(agent->GetDestinationVertexIndex(), reference.best->GetIndex()) << "round " << round;
        uint64_t walks = 0;
        for (uint64_t level = 1, k = 0; k <= length; ++k, level *= 8)
            walks += level;
        EXPECT_LE(agent->GetPathsScored(), walks);
    }
}

TEST_P(AgentsTest, FleeSearchesAsDeepAsItsPathLength) {
    // One row of the floor (z = 0), threat 2 m beyond its west end: the farther a walk goes east,
    // the larger its mean distance, so the best vertex lies PathLength edges east of the start.
    MakeFloor({});
    for (int32_t i = 0; i <= Graph()->GetLastVertexIndex(); ++i)
        if (Graph()->GetVertex(i) != nullptr && Graph()->GetVertex(i)->GetPosition().z != 0.0f)
            Graph()->RemoveVertex(i);
    // 18 goes deeper than the stack taken at Init.
    for (uint32_t length : {5u, 7u, 9u, 12u, 18u}) {
        HostBody body;
        body.position = CVector3(-10.0f, 0, 0);
        body.frozen = true;
        CFleeAgent* agent = Agent<CFleeAgent>(
            SpawnBot(body, "CFleeAgent",
                     {{"Graph", "floor"}, {"MaxPointsToFlee", "1"}, {"PathLength", std::to_string(length)}}));
        ASSERT_NE(agent, nullptr);
        ASSERT_TRUE(agent->AddThreatPoint(CVector3(-12.0f, 0, 0)));
        Frame();
        const CGraphVertex* best = Graph()->GetVertex(agent->GetDestinationVertexIndex());
        ASSERT_NE(best, nullptr) << length;
        EXPECT_EQ(best->GetPosition().x, -10.0f + static_cast<float>(length)) << length;
    }
    // A length no search could walk costs no memory for it up front: the agent is made.
    HostBody body;
    body.frozen = true;
    EXPECT_NE(Agent<CFleeAgent>(SpawnBot(body, "CFleeAgent", {{"Graph", "floor"}, {"PathLength", "2000000000"}})),
              nullptr);
}

TEST_P(AgentsTest, FleeStandsWhenHiddenAndSearchesItsStartOnlyAfterAMetre) {
    // A wall between the bot and the threat point.
    MakeFloor({{{-5.0f, 0.0f, 1.0f}, {5.0f, 2.5f, 1.5f}}});
    HostBody body;
    body.position = CVector3(0, 0, 0);
    CEntity* bot =
        SpawnBot(body, "CFleeAgent",
                 {{"Graph", "floor"}, {"MaxPointsToFlee", "1"}, {"MaxEntitiesToFlee", "2"}, {"StopWhenHidden", "yes"}});
    CFleeAgent* agent = Agent<CFleeAgent>(bot);
    ASSERT_NE(agent, nullptr);
    EXPECT_FALSE(agent->IsReady());
    ASSERT_TRUE(agent->AddThreatPoint(CVector3(0, 1.0f, 5.0f)));
    Frame();
    EXPECT_FALSE(agent->IsDangerVisible());
    EXPECT_EQ(BodyOf(bot).speed, 0.0f);
    EXPECT_EQ(agent->GetDestination().x, 0.0f);
    EXPECT_EQ(agent->GetStartVertexIndex(), -1);

    // Seen by a threat entity in the open: it flees, and keeps its start vertex while it moves
    // less than a metre from where it was found.
    HostBody threatBody;
    threatBody.position = CVector3(0, 0, -3.0f);
    CEntity* threat = SpawnPlain(threatBody, "threat");
    ASSERT_TRUE(agent->AddThreatEntity(threat));
    EXPECT_FALSE(agent->AddThreatEntity(threat));
    for (int f = 0; f < 12 && agent->GetStartVertexIndex() == -1; ++f)
        Frame();
    EXPECT_TRUE(agent->IsDangerVisible());
    const int32_t start = agent->GetStartVertexIndex();
    ASSERT_NE(start, -1);
    BodyOf(bot).position = CVector3(0.9f, 0, 0);
    BodyOf(bot).frozen = true;
    for (int f = 0; f < 40; ++f)
        Frame();
    EXPECT_EQ(agent->GetStartVertexIndex(), start);
    BodyOf(bot).position = CVector3(1.1f, 0, 0.1f);
    for (int f = 0; f < 40; ++f)
        Frame();
    const int32_t moved = agent->GetStartVertexIndex();
    EXPECT_NE(moved, start);
    // The start vertex leaves and a vertex elsewhere takes its index: the next search looks again.
    Graph()->RemoveVertex(moved);
    ASSERT_EQ(Graph()->AddVertex(CGraphVertexData(CVector3(-30, 0, -30)), moved), moved);
    for (int f = 0; f < 40; ++f)
        Frame();
    EXPECT_NE(agent->GetStartVertexIndex(), moved);

    // The threat leaves the world: the list drops it.
    Vusk::DestroyEntity(threat);
    EXPECT_EQ(agent->m_threatEntityCount, 0u);
    Frame();
}

// Which parameter sets the brain takes an agent with.
TEST_P(AgentsTest, ParameterRules) {
    EXPECT_TRUE(Vusk::CheckAgentClasses());
    MakeFloor({});
    HostBody body;
    const struct {
        const char* agentClass;
        Params params;
        bool taken;
    } cases[] = {
        // Go-to refuses every parameter; wander needs a known graph; the follower accepts an unknown
        // entity name (and then has nobody to follow) but not an unknown key.
        {"CGotoAgent", {{"Graph", "floor"}}, false},
        {"CGotoAgent", {}, true},
        {"CWanderAgent", {{"Graph", "nowhere"}}, false},
        {"CFollowerAgent", {{"Distance", "2"}}, false},
        // A negative flee length would never end on a graph with cycles.
        {"CFleeAgent", {{"Graph", "floor"}, {"PathLength", "-1"}}, false},
        {"CFleeAgent", {{"Graph", "floor"}, {"MaxPointsToFlee", "-2"}}, false},
        {"CFleeAgent", {{"Speed", "1"}}, false},
    };
    for (const auto& c : cases) {
        CEntity* bot = SpawnBot(body, c.agentClass, c.params);
        EXPECT_EQ(bot != nullptr && bot->GetBrain()->GetAgentCount() == 1, c.taken) << c.agentClass;
    }
    CFollowerAgent* follower = Agent<CFollowerAgent>(SpawnBot(body, "CFollowerAgent", {{"EntityToFollow", "nobody"}}));
    ASSERT_NE(follower, nullptr);
    EXPECT_FALSE(follower->IsReady());
    // A negative distance leaves the follower idle.
    follower->SetEntityToFollow(SpawnPlain(body, "leader"));
    follower->SetDistance(-1.0f);
    EXPECT_FALSE(follower->IsReady());

    // A graph the manager does not know is taken as none: the flee agent loads and is never ready.
    CFleeAgent* lost =
        Agent<CFleeAgent>(SpawnBot(body, "CFleeAgent", {{"Graph", "nowhere"}, {"MaxPointsToFlee", "1"}}));
    ASSERT_NE(lost, nullptr);
    EXPECT_EQ(lost->GetGraph(), nullptr);
    EXPECT_TRUE(lost->AddThreatPoint(CVector3(1, 0, 1)));
    EXPECT_FALSE(lost->IsReady());
    Frame();
    CFleeAgent* agent =
        Agent<CFleeAgent>(SpawnBot(body, "CFleeAgent", {{"PathLength", "50"}, {"StopWhenHidden", "NO"}}));
    ASSERT_NE(agent, nullptr);
    EXPECT_EQ(agent->GetPathLength(), 50u);
    EXPECT_FALSE(agent->GetStopWhenHidden());
    EXPECT_FALSE(agent->AddThreatPoint(CVector3(1, 0, 1))); // no room asked for
    // Counts the host wrote beyond the capacity are read as the capacity.
    agent->m_threatEntityCount = 5;
    EXPECT_FALSE(agent->IsReady());
}

// --- Shooter ---

// Steering and acceleration instead of rotate and speed, with the shoot action.
class Door : public CPathObject { // links to no graph
public:
    using CPathObject::CPathObject;
    const CEntityClassDesc* GetClassDesc() const override { return &CPathObject::s_classDesc; }
    void Update() override {}
    void LinkToGraph(CSpatialGraph*) override {}
};
void CountRemoval(CEntity*, void* count) { ++*static_cast<int*>(count); }
using Squad = std::pair<CEntity*, CEntity*>; // a leader and a member that goes with it
void GoWithLeader(CEntity* entity, void* squad) {
    if (entity == static_cast<Squad*>(squad)->first)
        Vusk::DestroyEntity(static_cast<Squad*>(squad)->second);
}

// However an object ends (deleted, or by the engine's destroy functions), nothing keeps naming it: each
// row ends one object of a small world, then a frame and the world's end read what is left.
TEST_P(AgentsTest, WhatEndsLeavesNothingNamingIt) {
    CEntity *bot = nullptr, *plain = nullptr;
    CTeam* team = nullptr;
    Door* door = nullptr;
    CGlobalService* paths = nullptr;
    struct Row {
        const char* what;
        std::function<void()> end;
        int removals;               // entity-removed callbacks heard
        uint32_t entities, members; // left in the world and the team (~0: the team is gone)
    };
    const Row rows[] = {
        {"an entity deleted", [&] { delete plain; }, 1, 2, 1},
        {"an entity destroyed", [&] { Vusk::DestroyEntity(plain); }, 1, 2, 1},
        {"a bot deleted with its brain", [&] { delete bot; }, 1, 2, 1},
        {"a brain deleted", [&] { delete bot->GetBrain(); }, 0, 3, 2},
        {"a team deleted", [&] { delete team; }, 0, 3, ~0u},
        {"a team destroyed", [&] { Vusk::DestroyTeam(team); }, 0, 3, ~0u},
        {"a path object deleted", [&] { delete door; }, 1, 2, 2},
        {"a path object given to the manager by hand, deleted",
         [&] {
             Door* loose = new Door("loose", nullptr);
             for (int time = 0; time < 2; ++time) // listed once
                 EXPECT_TRUE(static_cast<CPathObjectManager*>(paths)->AddPathObject(loose));
             delete loose;
         },
         1, 3, 2},
        {"an entity deleted, whose squad member goes with it while another bot follows it",
         [&] {
             Squad squad{plain, bot};
             ASSERT_TRUE(CWorld::AddEntityRemovedCallback(&GoWithLeader, &squad));
             HostBody behind;
             EXPECT_NE(SpawnBot(behind, "CFollowerAgent", {{"EntityToFollow", "plain"}}), nullptr);
             delete plain;
             CWorld::RemoveEntityRemovedCallback(&GoWithLeader, &squad);
         },
         2, 2, 0},
        {"a global service deleted", [&] { delete paths; }, 0, 3, 2},
        {"a vertex record deleted, then the vertex and a neighbour removed",
         [&] {
             Graph()->DeleteVertexObject(0);
             EXPECT_FALSE(Graph()->RemoveVertex(0));
             EXPECT_TRUE(Graph()->RemoveVertex(1));
         },
         0, 3, 2},
        {"a vertex of a path finder's route removed, and its record and index taken by a vertex elsewhere",
         [&] {
             auto* finder = static_cast<CPathFinder*>(bot->GetBrain()->GetService(&CPathFinder::s_classDesc));
             const CPath& route = finder->m_path;
             finder->FindNextMoveToPosition(CVector3(8, 0, 8));
             ASSERT_GT(route.m_pointCount, 2);
             const int32_t middle = route.m_vertexIndices[1];
             const auto record = reinterpret_cast<uintptr_t>(Graph()->GetVertex(middle));
             ASSERT_TRUE(Graph()->RemoveVertex(middle));
             ASSERT_EQ(Graph()->AddVertex(CGraphVertexData(CVector3(-9, 0, -9)), middle), middle);
             ASSERT_EQ(reinterpret_cast<uintptr_t>(Graph()->GetVertex(middle)), record);
             finder->FindNextMoveToPosition(CVector3(8, 0, 8));
             for (int32_t i = 0; i < route.m_pointCount; ++i) { // each point at the vertex it names
                 const CGraphVertex* vertex = Graph()->GetVertex(route.m_vertexIndices[i]);
                 ASSERT_TRUE(vertex != nullptr && vertex->GetPosition().x == route.m_points[i].x) << i;
             }
         },
         0, 3, 2},
        {"an edge record deleted, then the edge and its source removed",
         [&] {
             const int32_t edge = Graph()->GetVertex(0)->GetOutgoingEdge(0)->GetIndex();
             Graph()->DeleteEdgeObject(edge);
             EXPECT_FALSE(Graph()->RemoveEdge(edge));
             EXPECT_TRUE(Graph()->RemoveVertex(0));
         },
         0, 3, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        MakeFloor({});
        CWorld* world = m_world->GetWorld();
        HostBody body;
        bot = SpawnBot(body, "CFollowerAgent", {});
        plain = SpawnPlain(body, "plain");
        door = new Door("door", nullptr);
        paths = CPathObjectManager::Create();
        CConfigNode definition;
        scenario::Add(&definition, "Class", "CTeam");
        team = Vusk::CreateTeam(&definition, 4, "team");
        ASSERT_TRUE(paths->Init(nullptr) && world->AddGlobalService(paths) && Vusk::AddEntity(world, door));
        ASSERT_TRUE(team != nullptr && team->AddMember(bot) && team->AddMember(plain));
        int removals = 0;
        ASSERT_TRUE(CWorld::AddEntityRemovedCallback(&CountRemoval, &removals));
        row.end();
        Frame(); // reads the entity table, the brains and the global services
        CWorld::RemoveEntityRemovedCallback(&CountRemoval, &removals);
        EXPECT_EQ(removals, row.removals);
        EXPECT_EQ(world->GetEntityTable()->GetCount(), row.entities);
        const uint32_t doors = world->GetEntityTable()->Find(door) != nullptr ? 1 : 0; // never pooled
        EXPECT_EQ(Vusk::GetEngineEntityPool()->GetCount(), row.entities - doors);
        auto* manager = static_cast<CPathObjectManager*>(world->GetGlobalService(&CPathObjectManager::s_classDesc));
        EXPECT_EQ(manager != nullptr ? manager->GetCount() : doors, doors);
        EXPECT_EQ(row.members == ~0u ? world->GetTeamList()->GetCount() + bot->GetTeams()->GetCount()
                                     : team->GetMembers()->GetCount(),
                  row.members == ~0u ? 0u : row.members);
        m_world.reset(); // reads the team list and the global services
    }
}

class SteeringActions : public CActionClass {
public:
    SteeringActions() {
        CreateAction(&CActionSteering::s_desc);
        CreateAction(&CActionAcceleration::s_desc);
        CreateAction(&CActionShoot::s_desc);
    }
    const CActionClassDesc* GetClassDesc() const override { return &s_desc; }
    void Apply(CEntity*) override {}
    static CActionClass* Create() { return new SteeringActions(); }
    static CActionClassDesc s_desc;
};
CActionClassDesc SteeringActions::s_desc("SteeringActions", &SteeringActions::Create);

class ShooterTest : public AgentWorldTest {
protected:
    CEntity* Plain(const CVector3& position, int32_t side, const char* name) {
        HostBody body;
        body.position = position;
        body.teamSide = side;
        return SpawnPlain(body, name);
    }
    CShooterAgent* Shooter(const CVector3& position, const char* target, const Params& params,
                           CEntity** bot = nullptr) {
        HostBody body;
        body.position = position;
        body.teamSide = 0;
        body.frozen = true;
        Params all = params;
        all.push_back({"TargetBot", target});
        CEntity* entity = SpawnBot(body, "CShooterAgent", all);
        if (bot != nullptr)
            *bot = entity;
        return Agent<CShooterAgent>(entity);
    }
};

TEST_P(ShooterTest, AimsExactlyWithoutErrorAndHoldsFireOnlyForFriends) {
    MakeFloor({});
    Plain(CVector3(3, 0, 8), 1, "enemy");
    CShooterAgent* shooter = Shooter(CVector3(0, 0, 0), "enemy", {{"DangerousConeAngle", "10"}, {"GunRange", "20"}});
    ASSERT_NE(shooter, nullptr);
    const auto speedSet = [&] { return shooter->GetActionClass()->FindAction<CActionSpeed>()->set != 0; };
    Frame();
    Frame();
    ASSERT_TRUE(shooter->IsFiring());
    const float length = std::sqrt(73.0f);
    EXPECT_NEAR(shooter->GetAimDirection().x, 3.0f / length, 1e-5f);
    EXPECT_NEAR(shooter->GetAimDirection().y, 0.0f, 1e-5f);
    EXPECT_NEAR(shooter->GetAimDirection().z, 8.0f / length, 1e-5f);
    EXPECT_FALSE(speedSet()); // it stands while it fires

    // A friend half way: at the next aim (every 0.5 s) no fire, and the path finder walks the
    // shooter on.
    CEntity* other = Plain(CVector3(1.5f, 0, 4), 0, "friend");
    for (int f = 0; f < 11; ++f)
        Frame();
    EXPECT_FALSE(shooter->IsFiring());
    EXPECT_TRUE(speedSet());
    // The same entity on the other side: fire again once its record says enemy.
    BodyOf(other).teamSide = 1;
    for (int f = 0; f < 11; ++f)
        Frame();
    EXPECT_TRUE(shooter->IsFiring());

    // The target leaves the world: nothing to shoot at.
    Vusk::DestroyEntity(Vusk::GetCurrentWorld()->FindEntity("enemy"));
    EXPECT_EQ(shooter->m_target, nullptr);
    EXPECT_FALSE(shooter->IsReady());
    Frame();
}

TEST_P(ShooterTest, FriendlyFireConeBoundaryAndAimingErrorDistribution) {
    MakeFloor({});
    Plain(CVector3(0, 0, 15), 1, "enemy");
    CShooterAgent* shooter =
        Shooter(CVector3(0, 0, 0), "enemy", {{"DangerousConeAngle", "10"}, {"GunRange", "12"}, {"MaxInaccuracy", "4"}});
    ASSERT_NE(shooter, nullptr);
    // Friends 5 m away at angles round the cone's edge, one inside the cone beyond the range.
    struct Case {
        float angle, distance;
        bool clear;
    };
    const Case cases[] = {{9.9f, 5.0f, false},  {10.1f, 5.0f, true},  {-9.9f, 5.0f, false},
                          {-10.1f, 5.0f, true}, {0.0f, 11.9f, false}, {0.0f, 12.1f, true}};
    for (const Case& c : cases) {
        CEntity* other = Plain(Vusk::AnglesToDirection(0.0f, c.angle) * c.distance, 0, "friend");
        Frame();
        ASSERT_TRUE(shooter->IsReady());
        EXPECT_EQ(shooter->IsLineOfFireClear(CVector3(0, 0, 1)), c.clear) << c.angle << " " << c.distance;
        Vusk::DestroyEntity(other);
    }
    // The cone checks the entities holding the friend bit, whatever else their masks hold: one
    // perceived by the entity managers without it is passed over; one with it alone is checked on
    // its (never refreshed, so not enemy) record.
    const uint32_t perceived = CEntityManager::s_classDesc.GetClassBit();
    for (const auto& [mask, clear] : {std::pair{perceived, true}, std::pair{CShooterAgent::kFriendMaskBit, false}}) {
        HostBody body;
        body.position = CVector3(0, 0, 5);
        CEntity* other = m_world->Spawn(body, scenario::MakeEntityDefinition(nullptr), mask, "friend");
        ASSERT_NE(other, nullptr);
        Frame();
        EXPECT_EQ(shooter->IsLineOfFireClear(CVector3(0, 0, 1)), clear) << mask;
        Vusk::DestroyEntity(other);
    }

    // Errors of up to 4 degrees on yaw and pitch, spread evenly.
    crt_srand(3);
    const int draws = 4000;
    int low[2] = {0, 0};
    double sum[2] = {0, 0}, least[2] = {0, 0}, most[2] = {0, 0};
    for (int k = 0; k < draws; ++k) {
        shooter->Aim();
        const CVector3 angles = Vusk::DirectionToAngle(shooter->GetAimDirection());
        const double error[2] = {CVector3::WrapAngle180(angles.y - shooter->GetAimYaw()), angles.x};
        for (int a = 0; a < 2; ++a) {
            ASSERT_LE(std::fabs(error[a]), 4.0 + 1e-3) << a;
            sum[a] += error[a];
            least[a] = std::min(least[a], error[a]);
            most[a] = std::max(most[a], error[a]);
            low[a] += error[a] < -2.0 ? 1 : 0;
        }
    }
    for (int a = 0; a < 2; ++a) {
        EXPECT_NEAR(sum[a] / draws, 0.0, 0.15) << a;
        EXPECT_LT(least[a], -3.9) << a;
        EXPECT_GT(most[a], 3.9) << a;
        EXPECT_NEAR(low[a] / static_cast<double>(draws), 0.25, 0.03) << a;
    }
}

TEST_P(ShooterTest, SteeringDeadBandAndParameters) {
    MakeFloor({});
    // Targets 10 m away, 2, 4 and -4 degrees off the shooters' heading (0).
    const float offsets[] = {2.0f, 4.0f, -4.0f};
    const float expected[] = {0.0f, 1.0f, -1.0f};
    std::vector<CShooterAgent*> shooters;
    for (int i = 0; i < 3; ++i) {
        const CVector3 base(-6.0f + 6.0f * i, 0, -5.0f);
        const std::string name = "target" + std::to_string(i);
        Plain(base + Vusk::AnglesToDirection(0.0f, offsets[i]) * 10.0f, 1, name.c_str());
        CConfigNode* brain = nullptr;
        CConfigNode* definition = scenario::MakeEntityDefinition(&brain);
        definition->FindChild("ActionClass")->SetValue("SteeringActions");
        scenario::Add(scenario::AddService(brain, "CPathFinder"), "Graph", "floor");
        scenario::AddService(brain, "CEntityManager");
        scenario::Add(scenario::AddAgent(brain, "CShooterAgent"), "TargetBot", name.c_str());
        HostBody body;
        body.position = base;
        body.teamSide = 0;
        shooters.push_back(Agent<CShooterAgent>(m_world->Spawn(
            body, definition, CEntityManager::s_classDesc.GetClassBit() | CPathFinder::s_classDesc.GetClassBit())));
        ASSERT_NE(shooters.back(), nullptr);
    }
    Frame();
    Frame();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(shooters[i]->IsFiring()) << i;
        EXPECT_EQ(shooters[i]->GetActionClass()->FindAction<CActionSteering>()->value, expected[i]) << i;
    }

    // A target on the shooter's own spot is not ready; an unknown target is refused.
    CShooterAgent* close = Shooter(CVector3(5, 0, 5), "target0", {});
    ASSERT_NE(close, nullptr);
    Plain(CVector3(5, 0, 5), 1, "here");
    close->m_target = Vusk::GetCurrentWorld()->FindEntity("here");
    Frame();
    EXPECT_FALSE(close->IsReady());
    EXPECT_EQ(Shooter(CVector3(0, 0, 0), "nobody", {}), nullptr);
    EXPECT_EQ(Shooter(CVector3(0, 0, 0), "target0", {{"Range", "3"}}), nullptr);
}

AI_ENGINE_TEST_SUITE(AgentsTest);
AI_ENGINE_TEST_SUITE(ShooterTest);

} // namespace
