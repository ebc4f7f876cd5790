// Hide agent on the hide scenario: the chosen vertex against a brute-force choice over what the host
// reports hidden, arrival out of sight, paced scans, re-validation and the parameter rules.

#include <cfloat>
#include <cmath>

#include <gtest/gtest.h>

#include "ai/behaviours/entity_manager.h"
#include "ai/behaviours/hide_agent.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/find_nearest_data.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"
#include "testing/fake_ai_host.h"
#include "tools/ai_scenario/hide_scenario.h"

namespace {

using scenario::HideOptions;
using scenario::HideScenario;
using scenario::HostBody;

class HideAgentTest : public AiEngineTest {
protected:
    void TearDown() override {
        m_scene.reset();
        AiEngineTest::TearDown();
    }

    // The scenario with the engine's own agent.
    HideScenario& Build(HideOptions options) {
        options.coverCircle = false;
        m_scene = std::make_unique<HideScenario>(options);
        EXPECT_TRUE(m_scene->Build(PoolSize()));
        return *m_scene;
    }

    // The vertex a close-to-me hider must take from `from`: the nearest (squared distance, lowest
    // index on ties) whose eye point the threat cannot see, by the host's own answer.
    int BruteForceChoice(const CVector3& from, float eyeHeight, const CVector3& threatEye) {
        CSpatialGraph* graph = m_scene->GetGraph();
        int best = -1;
        float bestDistance = FLT_MAX;
        for (int32_t i = 0; i <= graph->GetLastVertexIndex(); ++i) {
            const CGraphVertex* vertex = graph->GetVertex(i);
            if (vertex == nullptr)
                continue;
            const CVector3 eye = vertex->GetPosition() + CVector3(0, eyeHeight, 0);
            const float a[3] = {threatEye.x, threatEye.y, threatEye.z}, b[3] = {eye.x, eye.y, eye.z};
            float fraction = 0, normal[3];
            if (!Host().Intersect(a, b, 0.0f, &fraction, normal))
                continue; // seen
            const float d = CVector3::DistanceSquared(from, vertex->GetPosition());
            if (d < bestDistance) {
                bestDistance = d;
                best = i;
            }
        }
        return best;
    }

    CVector3 ThreatEye() const { return m_scene->GetThreat()->FindAttribute<CEntityEyePosition>()->value; }

    std::unique_ptr<HideScenario> m_scene;
};

TEST_P(HideAgentTest, ChoosesTheNearestHiddenVertexAndArrivesOutOfSight) {
    HideScenario& scene = Build(HideOptions());
    std::vector<int> expected;
    for (CEntity* hider : scene.GetHiders()) {
        const HostBody& body = *static_cast<const HostBody*>(hider->GetHostObject());
        expected.push_back(BruteForceChoice(body.position, body.eyeHeight, ThreatEye()));
        ASSERT_GE(expected.back(), 0);
        EXPECT_TRUE(scene.IsSeenByThreat(body.position + CVector3(0, body.eyeHeight, 0)));
    }
    scene.Step();
    for (size_t i = 0; i < scene.GetHiders().size(); ++i) {
        CHideAgent* agent = scene.AgentOf(scene.GetHiders()[i]);
        ASSERT_TRUE(agent->IsScanComplete());
        ASSERT_TRUE(agent->HasDestination());
        EXPECT_EQ(agent->GetDestinationVertexIndex(), expected[i]) << "hider " << i;
        EXPECT_EQ(agent->m_hiddenFromAll, 0);
    }
    while (scene.GetFrameCount() < scene.GetTotalFrames())
        scene.Step();
    const std::vector<scenario::HiderResult> results = scene.Results();
    for (size_t i = 0; i < results.size(); ++i) {
        CHideAgent* agent = scene.AgentOf(scene.GetHiders()[i]);
        EXPECT_EQ(results[i].vertex, expected[i]) << "hider " << i;
        EXPECT_FALSE(results[i].visible) << "hider " << i;
        EXPECT_EQ(agent->m_goalReached, 1) << "hider " << i;
        // The perception record agrees with the host: blocked.
        EXPECT_EQ(agent->m_hiddenFromAll, 1) << "hider " << i;
        const CVector3 vertex = scene.GetGraph()->GetVertex(expected[i])->GetPosition();
        EXPECT_LT(std::hypot(results[i].position.x - vertex.x, results[i].position.z - vertex.z), 0.05f);
        EXPECT_EQ(agent->GetDestination().x, vertex.x);
    }
}

TEST_P(HideAgentTest, WithAPointMapperCandidatesAreScoredByGraphEstimates) {
    HideOptions options;
    options.pointMapper = true;
    HideScenario& scene = Build(options);
    CSpatialGraph* graph = scene.GetGraph();
    std::vector<int> expected;
    for (CEntity* hider : scene.GetHiders()) {
        CHideAgent* agent = scene.AgentOf(hider);
        ASSERT_EQ(agent->GetGraphIndex(), 0);
        EXPECT_EQ(static_cast<CPathFinder*>(agent->GetPathFinder())->m_graphIndex, 0);
        // The reference is the vertex the owner can reach; the score the straight distance between
        // vertices (the path finder's Euclidean estimate).
        const CGraphVertex* own = Vusk::FindLocallyVisibleVertex(graph, hider->GetPosition(), hider,
                                                                 agent->GetMaxDeltaHeight(), false, false);
        ASSERT_NE(own, nullptr);
        int best = -1;
        float bestDistance = FLT_MAX;
        for (int32_t i = 0; i <= graph->GetLastVertexIndex(); ++i) {
            const CGraphVertex* vertex = graph->GetVertex(i);
            if (vertex == nullptr || scene.IsSeenByThreat(vertex->GetPosition() + CVector3(0, 1.6f, 0)))
                continue;
            const float d = std::sqrt(CVector3::DistanceSquared(own->GetPosition(), vertex->GetPosition()));
            if (d < bestDistance) {
                bestDistance = d;
                best = i;
            }
        }
        expected.push_back(best);
    }
    while (scene.GetFrameCount() < scene.GetTotalFrames())
        scene.Step();
    const std::vector<scenario::HiderResult> results = scene.Results();
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].vertex, expected[i]) << "hider " << i;
        EXPECT_FALSE(results[i].visible) << "hider " << i;
        EXPECT_EQ(scene.AgentOf(scene.GetHiders()[i])->m_goalReached, 1) << "hider " << i;
    }
}

TEST_P(HideAgentTest, APacedScanEndsWhereAnUnpacedOneDoes) {
    HideOptions options;
    options.bots = 3;
    options.tpfMs = 10.0f;       // rationing on; the clock stands still inside a frame
    options.visibilityCalls = 2; // two visibility checks per frame for everybody
    HideScenario& scene = Build(options);
    std::vector<int> expected;
    std::vector<CVector3> starts;
    for (CEntity* hider : scene.GetHiders()) {
        const HostBody& body = *static_cast<const HostBody*>(hider->GetHostObject());
        starts.push_back(body.position);
        expected.push_back(BruteForceChoice(body.position, body.eyeHeight, ThreatEye()));
    }
    CHideAgent* first = scene.AgentOf(scene.GetHiders()[0]);
    scene.Step();
    ASSERT_FALSE(first->IsScanComplete());
    int pausedFrames = 0;
    int32_t resume = first->GetLastScannedVertex();
    while (!first->IsScanComplete() && pausedFrames < 2000) {
        // No move while the scan is paused, and the scan only goes forward.
        EXPECT_EQ(scene.GetWorld().BodyOf(scene.GetHiders()[0]).position.x, starts[0].x);
        scene.Step();
        if (!first->IsScanComplete()) {
            EXPECT_GE(first->GetLastScannedVertex(), resume);
            resume = first->GetLastScannedVertex();
        }
        ++pausedFrames;
    }
    EXPECT_GT(pausedFrames, 3);
    for (int i = 0; i < 400; ++i)
        scene.Step();
    for (size_t i = 0; i < scene.GetHiders().size(); ++i) {
        CHideAgent* agent = scene.AgentOf(scene.GetHiders()[i]);
        ASSERT_TRUE(agent->HasDestination());
        EXPECT_EQ(agent->GetDestinationVertexIndex(), expected[i]) << "hider " << i;
    }
}

TEST_P(HideAgentTest, ASeenDestinationIsReplacedByAnotherHiddenOne) {
    HideOptions options;
    options.bots = 1;
    options.pointMapper = true; // the hider walks to its vertex, not to a copy of its place
    HideScenario& scene = Build(options);
    CEntity* hider = scene.GetHiders()[0];
    CHideAgent* agent = scene.AgentOf(hider);
    for (int i = 0; i < 400 && !agent->m_goalReached; ++i)
        scene.Step();
    ASSERT_EQ(agent->m_goalReached, 1);
    const int old = agent->GetDestinationVertexIndex();
    // While still hidden, re-validating costs one line of sight per danger and no rescan.
    const size_t queries = Host().LineOfSightQueries().size();
    scene.Step();
    scene.Step();
    EXPECT_EQ(agent->GetDestinationVertexIndex(), old);
    EXPECT_LE(Host().LineOfSightQueries().size() - queries, 4u);

    // The threat walks round the box: the destination is seen, a new hidden one is taken.
    HostBody& threat = scene.GetWorld().BodyOf(scene.GetThreat());
    const CVector3 vertex = scene.GetGraph()->GetVertex(old)->GetPosition();
    threat.position = CVector3(vertex.x + (vertex.x > 0 ? 4.0f : -4.0f), 0, vertex.z + (vertex.z > 0 ? 4.0f : -4.0f));
    for (int i = 0; i < 4; ++i)
        scene.Step();
    ASSERT_TRUE(scene.IsSeenByThreat(vertex + CVector3(0, 1.6f, 0)));
    const int replacement = agent->GetDestinationVertexIndex();
    EXPECT_NE(replacement, old);
    EXPECT_FALSE(scene.IsSeenByThreat(scene.GetGraph()->GetVertex(replacement)->GetPosition() + CVector3(0, 1.6f, 0)));

    // The destination leaves and a vertex in the threat's sight takes its record and index: never walked to.
    CSpatialGraph* graph = scene.GetGraph();
    ASSERT_TRUE(graph->RemoveVertex(replacement));
    const CVector3 newcomer = threat.position + CVector3(1, 0, 0);
    ASSERT_EQ(graph->AddVertex(CGraphVertexData(newcomer), replacement), replacement);
    const auto* finder = static_cast<const CPathFinder*>(agent->GetPathFinder());
    for (int i = 0; i < 600 && !agent->m_goalReached; ++i) {
        scene.Step();
        ASSERT_FALSE(finder->m_goal.x == newcomer.x && finder->m_goal.z == newcomer.z) << "step " << i;
        if (agent->HasDestination() && agent->IsScanComplete())
            ASSERT_EQ(graph->GetVertex(agent->GetDestinationVertexIndex())->GetPosition().x, agent->GetDestination().x);
    }
    EXPECT_EQ(agent->m_goalReached, 1);
    EXPECT_FALSE(scene.Results()[0].visible);
}

TEST_P(HideAgentTest, ParametersDangersAndFarFromEnemy) {
    HideOptions options;
    options.bots = 1;
    HideScenario& scene = Build(options);
    auto spawn = [&](const char* researchType, const char* extraKey = nullptr, const char* extraValue = nullptr) {
        CConfigNode* brain = nullptr;
        CConfigNode* definition = scenario::MakeEntityDefinition(&brain);
        scenario::Add(scenario::AddService(brain, "CPathFinder"), "Graph", "floor");
        scenario::AddService(brain, "CEntityManager");
        CConfigNode* agent = scenario::AddAgent(brain, "CHideAgent");
        scenario::Add(agent, "graph", "FLOOR");
        scenario::Add(agent, "ResearchType", researchType);
        if (extraKey != nullptr)
            scenario::Add(agent, extraKey, extraValue);
        HostBody body;
        body.position = CVector3(0, 0, -4.5f);
        return scene.GetWorld().Spawn(body, definition, CEntityManager::s_classDesc.GetClassBit());
    };
    CEntity* refused = spawn("NEAR_ME");
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(scene.AgentOf(refused), nullptr);
    CEntity* badCount = spawn("CLOSE_TO_ME", "MaxDangerousEntities", "-1");
    EXPECT_EQ(scene.AgentOf(badCount), nullptr);
    CEntity* far = spawn("far_from_enemy", "MaxDangerousEntities", "2");
    ASSERT_NE(far, nullptr);
    CHideAgent* agent = scene.AgentOf(far);
    ASSERT_NE(agent, nullptr);
    EXPECT_EQ(agent->m_researchType, CHideAgent::kFarFromEnemy);
    EXPECT_FLOAT_EQ(agent->GetMaxDeltaHeight(), 1.0f);

    // Without a danger nothing is far from anything: no destination, the owner stays.
    scene.Step();
    EXPECT_FALSE(agent->HasDestination());
    EXPECT_EQ(agent->GetDestination().z, -4.5f);

    // With the threat: the hidden vertex with the largest distance from it.
    EXPECT_TRUE(agent->AddDangerousEntity(scene.GetThreat()));
    EXPECT_TRUE(agent->AddDangerousEntity(scene.GetThreat()));
    EXPECT_FALSE(agent->AddDangerousEntity(scene.GetThreat()));
    agent->Update();
    EXPECT_EQ(agent->GetDangerousEntityCount(), 0u);
    EXPECT_TRUE(agent->AddDangerousEntity(scene.GetThreat()));
    for (int i = 0; i < 3; ++i)
        scene.Step();
    ASSERT_TRUE(agent->HasDestination());
    CSpatialGraph* graph = scene.GetGraph();
    const CVector3 threat = scene.GetThreat()->GetPosition();
    int best = -1;
    float bestDistance = 0.0f;
    for (int32_t i = 0; i <= graph->GetLastVertexIndex(); ++i) {
        const CGraphVertex* vertex = graph->GetVertex(i);
        if (vertex == nullptr || scene.IsSeenByThreat(vertex->GetPosition() + CVector3(0, 1.6f, 0)))
            continue;
        const float d = std::sqrt(CVector3::DistanceSquared(threat, vertex->GetPosition()));
        if (d > bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    EXPECT_EQ(agent->GetDestinationVertexIndex(), best);

    // A danger that leaves the world leaves the list too.
    CEntity* threatEntity = scene.GetThreat();
    ASSERT_TRUE(Vusk::RemoveEntity(scene.GetWorld().GetWorld(), threatEntity));
    EXPECT_EQ(agent->GetDangerousEntityCount(), 0u);
    EXPECT_EQ(scene.AgentOf(scene.GetHiders()[0])->GetDangerousEntityCount(), 0u);
    ASSERT_TRUE(Vusk::AddEntity(scene.GetWorld().GetWorld(), threatEntity));
}

// A danger added while a far-from-enemy scan is paused is measured from the vertex seen from it, as
// the scan's start measures the others, not from the vertex nearest the origin.
TEST_P(HideAgentTest, ADangerAddedMidScanIsMeasuredFromItsOwnVertex) {
    HideOptions options;
    options.bots = 1;
    options.pointMapper = true;
    options.tpfMs = 10.0f;
    options.visibilityCalls = 2; // the scan pauses after two checks a frame
    HideScenario& scene = Build(options);
    CEntity* owner = scene.GetHiders()[0];
    CHideAgent* agent = scene.AgentOf(owner);
    agent->m_researchType = CHideAgent::kFarFromEnemy;
    // The threat by the first vertices: the scan keeps finding farther ones, each costing a check.
    scene.GetWorld().BodyOf(scene.GetThreat()).position = scene.GetGraph()->GetVertex(0)->GetPosition();
    for (int i = 0; i < 400 && agent->GetLastScannedVertex() == -1; ++i)
        scene.Step();
    ASSERT_NE(agent->GetLastScannedVertex(), -1); // paused half way

    HostBody farBody;
    farBody.position = CVector3(15, 0, 15);
    CEntity* danger = scene.GetWorld().Spawn(farBody, scenario::MakeEntityDefinition(nullptr), 0, "far danger");
    ASSERT_TRUE(danger != nullptr && agent->AddDangerousEntity(danger));
    const CGraphVertex* seen = Vusk::FindLocallyVisibleVertex(scene.GetGraph(), danger->GetPosition(), owner,
                                                              agent->GetMaxDeltaHeight(), false, false);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(agent->GetDangerVertex(1), seen);
}

AI_ENGINE_TEST_SUITE(HideAgentTest);

} // namespace
