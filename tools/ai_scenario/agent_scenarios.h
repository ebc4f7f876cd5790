#pragma once
// The agent scenarios: the hide scenario's floor, boxes and graph, with bots whose brains run the
// path finder, the entity manager and one agent (follower, wander, go-to, flee or shooter). The host
// side (leaders and threats walking scripted routes, orders handed to go-to bots, shots taken) runs
// before each AI frame at a fixed step, from a seeded generator.

#include <cstddef>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ai/runtime/brain.h"
#include "ai/runtime/entity.h"
#include "tools/ai_scenario/plot.h"
#include "tools/ai_scenario/scenario_kit.h"

class CSpatialGraph;

namespace scenario {

struct ScenarioOptions {
    int bots = 8;          // bots running the agent
    float seconds = 30.0f; // simulated time
    float step = 0.05f;    // fixed frame step (s)
    unsigned seed = 1;     // seeds the host's generator and the engine's
};

// What the command-line tool runs: a scenario of any kind.
class Scenario {
public:
    virtual ~Scenario() = default;
    // Builds the world, the graph and the entities; the engine must be initialised. False when any
    // piece is refused.
    virtual bool Build(std::size_t poolSize) = 0;
    // One frame at the fixed step (the host's part, then the AI frame and the bodies' moves).
    virtual void Step() = 0;
    virtual int GetFrameCount() const = 0;
    virtual int GetTotalFrames() const = 0;
    virtual ScenarioWorld& GetWorld() = 0;
    // The bots, and the other moving entities (threats, leaders), in plot and CSV order.
    virtual std::vector<CEntity*> GetBots() const = 0;
    virtual std::vector<CEntity*> GetOthers() const { return {}; }
    // One line per bot, then the last line a script reads.
    virtual std::vector<std::string> Report() = 0;
    // The plot's title, labels, goals and final outcomes (boxes, graph and trails are the runner's).
    virtual void Describe(PlotScene& scene) = 0;
};

// Makes the scenario of that name ("hide", "follow", "wander", "goto", "flee", "shoot"); null for
// another name.
std::unique_ptr<Scenario> MakeScenario(const std::string& name, const ScenarioOptions& options);
// The names MakeScenario knows, in help order.
const std::vector<std::string>& ScenarioNames();

// Shared part of the agent scenarios.
class AgentScenario : public Scenario {
public:
    explicit AgentScenario(const ScenarioOptions& options);

    void Step() override;
    int GetFrameCount() const override { return m_frame; }
    int GetTotalFrames() const override { return static_cast<int>(m_options.seconds / m_options.step + 0.5f); }
    ScenarioWorld& GetWorld() override { return m_world; }
    std::vector<CEntity*> GetBots() const override { return m_bots; }
    std::vector<CEntity*> GetOthers() const override { return m_others; }

    // The floor, the labels, the goals and each bot's outcome.
    void Describe(PlotScene& scene) final;

    CSpatialGraph* GetGraph() const { return m_graph; }
    // Engine time of the frame about to run (s).
    double Now() const { return 1.0 + m_frame * static_cast<double>(m_options.step); }

protected:
    // The host's scripted part, before each AI frame (time: that frame's engine time), and after it,
    // before the bodies move.
    virtual void BeforeFrame(double) {}
    virtual void AfterAi(double) {}
    // World with the default tasks and the graph manager, the boxes, and the graph "floor".
    bool BuildFloor(std::size_t poolSize);
    // Entity definition of a bot: path finder on "floor" (its node through `finder` when not null,
    // for more parameters), entity manager, and an agent of that class (its node through `agent`).
    CConfigNode* BotDefinition(const char* agentClass, CConfigNode** agent, CConfigNode** finder = nullptr);
    // What the plot says: the title's name, the legend's texts for good and bad outcomes, for the
    // other entities and for the goals ("" when there are none).
    struct PlotLabels {
        const char* title;
        const char* good;
        const char* bad;
        const char* others;
        const char* goals;
    };
    virtual PlotLabels Labels() const = 0;
    // Bot i's outcome at the end; the places the scenario handed out, when it has any.
    virtual bool Outcome(std::size_t i) = 0;
    virtual std::vector<CVector3> Goals() { return {}; }
    // Adds a bot to the world on a body; null when refused.
    CEntity* SpawnBot(const HostBody& body, CConfigNode* definition, const std::string& name);
    // A scripted entity without a brain (leader, threat).
    CEntity* SpawnOther(const HostBody& body, const std::string& name);
    // A random live vertex of the graph.
    CVector3 RandomVertexPosition();
    // A random live vertex at least `distance` away from every point of `away` (and accepted by
    // `accept` when given). When 1000 draws find none, the accepted vertex farthest from the points
    // of `away` (the first on ties; any live vertex when none is accepted), so that a crowded floor
    // still gives a place.
    CVector3 RandomVertexAwayFrom(const std::vector<CVector3>& away, float distance,
                                  const std::function<bool(const CVector3&)>& accept = nullptr);
    HostBody& BodyOf(const CEntity* entity) { return m_world.BodyOf(entity); }

    ScenarioOptions m_options;
    ScenarioWorld m_world;
    CSpatialGraph* m_graph = nullptr; // owned by the world's graph manager
    std::vector<CEntity*> m_bots;
    std::vector<CEntity*> m_others;
    std::mt19937 m_random;
    int m_frame = 0;
    std::string m_last; // the report's last line, for the plot's title
};

// Horizontal distance between two points.
float Horizontal(const CVector3& a, const CVector3& b);

// The bot's agent of that class; null without one.
template <class Agent> Agent* AgentOf(const CEntity* bot) {
    return bot->GetBrain() != nullptr ? static_cast<Agent*>(bot->GetBrain()->GetAgent(&Agent::s_classDesc)) : nullptr;
}

// Moves a scripted body along a closed route at a constant speed: position and heading at time t.
struct Route {
    std::vector<CVector3> corners; // closed polygon
    float speed = 1.0f;            // m/s
    float offset = 0.0f;           // distance along the route at t = 0 (m)
    void Place(HostBody& body, double t) const;
};

} // namespace scenario
