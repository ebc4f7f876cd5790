#include "tools/ai_scenario/hide_scenario.h"

#include <cmath>
#include <string>

#include "ai/behaviours/entity_manager.h"
#include "ai/behaviours/hide_agent.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/point_mapper.h"
#include "ai/runtime/world.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity_attribute.h"
#include "testing/fake_ai_host.h"

namespace scenario {

namespace {

// The path finder counts the goal reached within this horizontal distance of it (m).
constexpr float kArrivalRadius = 0.05f;

// The scenario's hiding agent. The path finder stops anywhere within kArrivalRadius of the chosen
// vertex, so a vertex counts as cover only when that whole circle is out of sight too: a vertex
// just inside a shadow's edge would otherwise leave a hider standing in sight a few centimetres
// short of it, while the agent keeps a destination that is still hidden.
class ScenarioHideAgent : public CHideAgent {
public:
    using CHideAgent::CHideAgent;
    static CAgent* Create(CBrain* owner) { return new ScenarioHideAgent(owner); }
    const CAgentDesc* GetClassDesc() const override { return &s_desc; }

    bool EvaluateCandidate(CGraphVertex* vertex, const CVector3& eyeOffset, float* score, uint8_t* stop,
                           uint8_t* budgetOk) override {
        const float bestFarSum = m_bestFarSum;
        const float bestNearDistance = m_bestNearDistance;
        if (!CHideAgent::EvaluateCandidate(vertex, eyeOffset, score, stop, budgetOk))
            return false;
        // Eight points round the vertex on a circle whose octagon holds the arrival circle.
        const float radius = kArrivalRadius / std::cos(3.14159265f / 8.0f);
        for (int k = 0; k < 8; ++k) {
            const float angle = 3.14159265f * static_cast<float>(k) / 4.0f;
            const CVector3 offset = eyeOffset + CVector3(radius * std::cos(angle), 0.0f, radius * std::sin(angle));
            uint8_t hidden = 0;
            *budgetOk = CheckPositionVisible(vertex, offset, &hidden) ? 1 : 0;
            if (!*budgetOk || !hidden) {
                // Not taken after all: the scan's best stays what it was.
                m_bestFarSum = bestFarSum;
                m_bestNearDistance = bestNearDistance;
                return false;
            }
        }
        return true;
    }

    static CAgentDesc s_desc;
};

CAgentDesc ScenarioHideAgent::s_desc("ScenarioHideAgent", &ScenarioHideAgent::Create, &CHideAgent::s_classDesc, false,
                                     false);

} // namespace

std::vector<Box> HideScenario::Level() {
    return {
        {{-8.0f, 0.0f, -3.0f}, {-6.0f, 2.5f, 3.0f}},  {{6.0f, 0.0f, -3.0f}, {8.0f, 2.5f, 3.0f}},
        {{-3.0f, 0.0f, 6.0f}, {3.0f, 2.5f, 8.0f}},    {{-3.0f, 0.0f, -8.0f}, {3.0f, 2.5f, -6.0f}},
        {{8.0f, 0.0f, 8.0f}, {11.0f, 2.5f, 11.0f}},   {{-11.0f, 0.0f, -11.0f}, {-8.0f, 2.5f, -8.0f}},
        {{-11.0f, 0.0f, 8.0f}, {-8.0f, 2.5f, 11.0f}}, {{8.0f, 0.0f, -11.0f}, {11.0f, 2.5f, -8.0f}},
    };
}

bool HideScenario::Build(std::size_t poolSize) {
    std::vector<TaskSetup> tasks = DefaultTasks();
    for (TaskSetup& task : tasks)
        if (task.name == CHideAgent::kVisibilityTask)
            task.maxCall = m_options.visibilityCalls;
    const int maxEntity = m_options.bots + 4;
    if (!m_world.Create(MakeWorldTree(maxEntity, m_options.tpfMs, tasks, {"CGraphManager"}), poolSize))
        return false;
    AddBoxes(Level());
    m_graph = BuildGridGraph(-15.0f, -15.0f, 15.0f, 15.0f, 1.0f, 0.6f);
    if (m_graph == nullptr || !m_world.AddGraph("floor", m_graph))
        return false;
    if (m_options.pointMapper) {
        CGlobalService* mapper = CPointMapper::Create();
        CConfigNode definition;
        AddDefinition(&definition, "Container", "floor", "CGraphWrapper");
        if (mapper == nullptr || !mapper->Init(&definition) || !m_world.GetWorld()->AddGlobalService(mapper)) {
            delete mapper;
            return false;
        }
    }

    // Every entity takes part in perception and avoidance, as a host creates its actors.
    const uint32_t classBits = Vusk::GetClassBitMask();
    HostBody threatBody;
    threatBody.position = CVector3(0.37f, 0.0f, 0.23f);
    m_threat = m_world.Spawn(threatBody, MakeEntityDefinition(nullptr), classBits, "threat");
    if (m_threat == nullptr)
        return false;

    for (int i = 0; i < m_options.bots; ++i) {
        CConfigNode* brain = nullptr;
        CConfigNode* definition = MakeEntityDefinition(&brain);
        CConfigNode* finder = AddService(brain, "CPathFinder");
        Add(finder, "Graph", "floor");
        Add(finder, "DistGoal", std::to_string(kArrivalRadius).c_str());
        AddService(brain, "CEntityManager");
        CConfigNode* agent = AddAgent(brain, m_options.coverCircle ? "ScenarioHideAgent" : "CHideAgent");
        Add(agent, "Graph", "floor");
        // Start on a ring round the threat, in its sight.
        const float angle = 6.2831853f * (static_cast<float>(i) + 0.25f) / static_cast<float>(m_options.bots);
        HostBody body;
        body.position = CVector3(4.5f * std::sin(angle), 0.0f, 4.5f * std::cos(angle));
        body.heading = angle / Vusk::kDegToRad;
        const std::string name = "hider" + std::to_string(i);
        CEntity* hider = m_world.Spawn(body, definition, classBits, name.c_str());
        if (hider == nullptr || AgentOf(hider) == nullptr || !AgentOf(hider)->AddDangerousEntity(m_threat))
            return false;
        m_hiders.push_back(hider);
    }
    return true;
}

CHideAgent* HideScenario::AgentOf(const CEntity* hider) const {
    return hider->GetBrain() != nullptr
               ? static_cast<CHideAgent*>(hider->GetBrain()->GetAgent(m_options.coverCircle ? &ScenarioHideAgent::s_desc
                                                                                            : &CHideAgent::s_classDesc))
               : nullptr;
}

void HideScenario::Step() {
    ++m_frame;
    m_world.Frame(1.0 + m_frame * static_cast<double>(m_options.step), m_options.step);
}

bool HideScenario::IsSeenByThreat(const CVector3& eye) const {
    const auto* threatEye = m_threat->FindAttribute<CEntityEyePosition>();
    const CVector3 from = threatEye != nullptr ? threatEye->value : m_threat->GetPosition();
    const float a[3] = {from.x, from.y, from.z};
    const float b[3] = {eye.x, eye.y, eye.z};
    float fraction = 0.0f, normal[3];
    return !FakeAiHost::Instance().Intersect(a, b, 0.0f, &fraction, normal);
}

std::vector<HiderResult> HideScenario::Results() const {
    std::vector<HiderResult> results;
    for (CEntity* hider : m_hiders) {
        HiderResult result;
        const HostBody& body = *static_cast<const HostBody*>(hider->GetHostObject());
        result.position = body.position;
        result.vertex = AgentOf(hider)->HasDestination() ? AgentOf(hider)->GetDestinationVertexIndex() : -1;
        result.visible = IsSeenByThreat(body.position + CVector3(0.0f, body.eyeHeight, 0.0f));
        results.push_back(result);
    }
    return results;
}

} // namespace scenario
