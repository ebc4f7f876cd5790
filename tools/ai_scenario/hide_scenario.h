#pragma once
// The hide scenario: a floor of 30 x 30 m with boxes, a navigation graph over it made in code, one
// threat entity in the middle and N hiders whose brains run the path finder, the entity manager
// and a hide agent. The fake host moves each body by the actions its brain applies.

#include <cstddef>
#include <vector>

#include "tools/ai_scenario/scenario_kit.h"

class CHideAgent;
class CSpatialGraph;

namespace scenario {

struct HideOptions {
    int bots = 8;               // hiders
    float seconds = 30.0f;      // simulated time
    float step = 0.05f;         // fixed frame step (s)
    float tpfMs = 0.0f;         // AI frame budget in milliseconds; 0: no rationing
    int visibilityCalls = 1000; // visibility checks granted per frame
    bool pointMapper = false;   // the world gets a point mapper over the graph (estimates between vertices)
    // The hiders run the scenario's agent, which takes a vertex as cover only when the whole circle
    // the path finder may stop in round it is hidden; false: the engine's CHideAgent as it is.
    bool coverCircle = true;
};

struct HiderResult {
    int vertex = -1;      // destination vertex index, -1 when none
    bool visible = false; // the threat has a clear line of sight to the hider's eyes
    CVector3 position;    // final feet position
};

class HideScenario {
public:
    explicit HideScenario(const HideOptions& options) : m_options(options) {}

    // The level's boxes (also handed to the fake host by Build).
    static std::vector<Box> Level();
    // Builds the world, the graph and the entities; the engine must be initialised. False when
    // any piece is refused.
    bool Build(std::size_t poolSize);
    // One frame at the fixed step.
    void Step();
    int GetFrameCount() const { return m_frame; }
    int GetTotalFrames() const { return static_cast<int>(m_options.seconds / m_options.step + 0.5f); }

    // Is the point in the threat's line of sight (host query from the threat's eyes)?
    bool IsSeenByThreat(const CVector3& eye) const;
    std::vector<HiderResult> Results() const;

    CSpatialGraph* GetGraph() const { return m_graph; }
    CEntity* GetThreat() const { return m_threat; }
    const std::vector<CEntity*>& GetHiders() const { return m_hiders; }
    CHideAgent* AgentOf(const CEntity* hider) const;
    ScenarioWorld& GetWorld() { return m_world; }

private:
    HideOptions m_options;
    ScenarioWorld m_world;
    CSpatialGraph* m_graph = nullptr; // owned by the world's graph manager
    CEntity* m_threat = nullptr;
    std::vector<CEntity*> m_hiders;
    int m_frame = 0;
};

} // namespace scenario
