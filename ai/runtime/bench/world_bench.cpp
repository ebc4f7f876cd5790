// Cost of one AI frame (CWorld::Update) with 10, 50 and 200 live entities in a world of
// MaxEntity 200, on the synthetic world of ai_world_smoke: each entity's brain runs two agents
// that ask the scheduler for their tasks, and the host's action class applies the decisions.
// The clock is the platform's fixed-step clock plus simulated work, so the budget decisions are
// those of the smoke run and the figures measure the engine alone. The scheduler's sort and walk
// cover all 200 entity indices whatever the live count. "per_entity" is the frame time divided
// by the live entity count.

#include <benchmark/benchmark.h>

#include "ai/runtime/world_api.h"
#include "platform/clock.h"
#include "platform/crt.h"
#include "tools/ai_world_smoke/smoke_world.h"

namespace {

void BM_AiFrame(benchmark::State& state) {
    const int live = static_cast<int>(state.range(0));
    const CHostServices services = Smoke::MakeHostServices(200);
    Vusk::Initialise(&services);
    crt_srand(1);
    PlatformClockSetFixedStep(1.0 / 32.0);
    CConfigNode* tree = Smoke::MakeWorldTree("200");
    CWorld* world = Vusk::CreateWorld(tree, 10u << 20);
    CConfigNode* definition = Vusk::ExpandEntityDefinition(world, "Bot");
    for (int i = 0; i < live; ++i)
        Vusk::AddEntity(world, Vusk::CreateEntity(nullptr, definition, 0, nullptr));

    for (auto _ : state) {
        Smoke::BeginFrame();
        Vusk::UpdateWorld(world);
        PlatformClockAdvanceFrame();
    }
    state.counters["per_entity"] =
        benchmark::Counter(live, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);

    delete world;
    Vusk::DeleteTree(definition);
    Vusk::DeleteTree(tree);
    Vusk::ReleaseEngine();
    PlatformClockSetFixedStep(0.0);
}

} // namespace

BENCHMARK(BM_AiFrame)->Arg(10)->Arg(50)->Arg(200);

BENCHMARK_MAIN();
