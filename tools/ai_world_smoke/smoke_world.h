#pragma once
// The synthetic AI world of ai_world_smoke, shared with the AI frame benchmark.
//
// Classes registered like a host's: the entity class "SmokeEntity" (runs its brain's agents
// every frame), the action class "SmokeActionClass" (moves the entity by the decided speed and
// heading), the brain "SmokeBrain" and two agents, "SmokeAgent" and "SmokeLookAgent", which ask
// the scheduler for the aperiodic tasks "Smoke::Plan" and "Smoke::Look" with a given chance per
// think (random numbers from crt_rand) and scan on the periodic task "Smoke::Scan".
//
// The host clock is the platform's fixed-step clock plus the simulated work done in the current
// frame: every granted task run costs 1 to 4 units of 1/4096 s.

#include <cstdint>
#include <vector>

#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "testing/config_tree.h"

// What happened in the current frame.
struct SmokeTally {
    std::vector<int> order;  // entity indices in the order their brains thought
    int granted[2] = {0, 0}; // grants of Smoke::Plan, Smoke::Look
    int refused[2] = {0, 0}; // refusals of Smoke::Plan, Smoke::Look
    int scans = 0;           // periodic scans run
    int applied = 0;         // action sets applied
};

namespace Smoke {

SmokeTally& Tally();
// Clears the tally and the simulated work; call before each AI frame.
void BeginFrame();
// Host services with malloc/free and the simulated clock.
CHostServices MakeHostServices(std::uint32_t entityPoolSize);
// Appends a child; returns it.
using configtree::Add;
using configtree::AddDefinition;
using configtree::AddEntityDefinition;
// The world definition: limits (MaxEntity as given, MaxTeam 2), the scheduler's tasks and
// budget, the "Bot" entity definition with its brain and agents, and the team "Squad".
CConfigNode* MakeWorldTree(const char* maxEntity);

} // namespace Smoke
