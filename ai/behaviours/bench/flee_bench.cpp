// Cost of the flee agent's destination search by path length (2 to 6 edges) on the 1 m grid graph
// of the agent scenarios, where inner vertices have eight neighbours: the search scores every walk,
// up to 8^length of them. One iteration is one AI frame of a world with one fleeing bot (held in
// place) and two threat entities; the search runs every frame. "walks" counts the walks scored.

#include <benchmark/benchmark.h>

#include <string>

#include "ai/behaviours/entity_manager.h"
#include "ai/behaviours/flee_agent.h"
#include "ai/navigation/path_finder.h"
#include "ai/runtime/brain.h"
#include "testing/fake_ai_host.h"
#include "tools/ai_scenario/scenario_kit.h"

namespace {

void BM_FleeSearch(benchmark::State& state) {
    FakeAiHost& host = FakeAiHost::Instance();
    host.Reset();
    host.SetRecordQueries(false);
    const CHostServices services = host.MakeServices(16);
    Vusk::Initialise(&services);
    uint64_t walks = 0;
    {
        scenario::ScenarioWorld world;
        world.Create(scenario::MakeWorldTree(8, 0.0f, scenario::DefaultTasks(), {"CGraphManager"}), 0);
        world.AddGraph("floor", scenario::BuildGridGraph(-15.0f, -15.0f, 15.0f, 15.0f, 1.0f, 0.4f));
        const uint32_t perceived = CEntityManager::s_classDesc.GetClassBit();
        scenario::HostBody body;
        CConfigNode* brain = nullptr;
        CConfigNode* definition = scenario::MakeEntityDefinition(&brain);
        scenario::Add(scenario::AddService(brain, "CPathFinder"), "Graph", "floor");
        scenario::AddService(brain, "CEntityManager");
        CConfigNode* agentNode = scenario::AddAgent(brain, "CFleeAgent");
        scenario::Add(agentNode, "Graph", "floor");
        scenario::Add(agentNode, "MaxEntitiesToFlee", "2");
        scenario::Add(agentNode, "ComputeDestInterval", "0");
        scenario::Add(agentNode, "PathLength", std::to_string(state.range(0)).c_str());
        body.frozen = true;
        CEntity* bot = world.Spawn(body, definition, perceived | CPathFinder::s_classDesc.GetClassBit(), "bot");
        auto* agent = static_cast<CFleeAgent*>(bot->GetBrain()->GetAgent(&CFleeAgent::s_classDesc));
        for (float x : {-3.0f, 4.0f}) {
            scenario::HostBody threat;
            threat.position = CVector3(x, 0.0f, 2.0f);
            agent->AddThreatEntity(world.Spawn(threat, scenario::MakeEntityDefinition(nullptr), perceived));
        }
        double time = 1.0;
        for (auto _ : state) {
            time += 0.05;
            world.Frame(time, 0.05f);
            walks += agent->GetPathsScored();
        }
    }
    Vusk::ReleaseEngine();
    state.counters["walks"] = benchmark::Counter(static_cast<double>(walks), benchmark::Counter::kAvgIterations);
}

} // namespace

BENCHMARK(BM_FleeSearch)->DenseRange(2, 6)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
