#pragma once
// The scenarios of the agents that run on named resources of the world: "pathway" (bots walk closed
// path ways of the world's path-way manager, with pauses and turns at their steps) and "attack"
// (two teams whose attack agents let a neural net of the world's net manager choose where to stand
// against the nearest enemy; the host takes their shots).

#include <memory>
#include <string>

#include "tools/ai_scenario/agent_scenarios.h"

namespace scenario {

// The scenario of that name ("pathway" or "attack"); null for another name.
std::unique_ptr<Scenario> MakeResourceScenario(const std::string& name, const ScenarioOptions& options);

} // namespace scenario
