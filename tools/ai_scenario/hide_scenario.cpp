#include "tools/ai_scenario/hide_scenario.h"

#include <cmath>

#include "ai/behaviours/entity_manager.h"
#include "ai/behaviours/hide_agent.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/point_mapper.h"
#include "ai/runtime/world.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity_attribute.h"
#include "testing/fake_ai_host.h"

namespace scenario {

std::vector<Box> HideScenario::Level()
{
    return {
        {{-8.0f, 0.0f, -3.0f}, {-6.0f, 2.5f, 3.0f}},    {{6.0f, 0.0f, -3.0f}, {8.0f, 2.5f, 3.0f}},
        {{-3.0f, 0.0f, 6.0f}, {3.0f, 2.5f, 8.0f}},      {{-3.0f, 0.0f, -8.0f}, {3.0f, 2.5f, -6.0f}},
        {{8.0f, 0.0f, 8.0f}, {11.0f, 2.5f, 11.0f}},     {{-11.0f, 0.0f, -11.0f}, {-8.0f, 2.5f, -8.0f}},
        {{-11.0f, 0.0f, 8.0f}, {-8.0f, 2.5f, 11.0f}},   {{8.0f, 0.0f, -11.0f}, {11.0f, 2.5f, -8.0f}},
    };
}

bool HideScenario::Build(std::size_t poolSize)
{
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
        Add(Add(&definition, "Container", nullptr, "floor"), "Class", "CGraphWrapper");
        if (mapper == nullptr || !mapper->Init(&definition) || !m_world.GetWorld()->AddGlobalService(mapper)) {
            delete mapper;
            return false;
        }
    }

    const uint32_t perceived = CEntityManager::s_classDesc.GetClassBit();
    HostBody threatBody;
    threatBody.position = CVector3(0.37f, 0.0f, 0.23f);
    m_threat = m_world.Spawn(threatBody, MakeEntityDefinition(nullptr), perceived, "threat");
    if (m_threat == nullptr)
        return false;

    for (int i = 0; i < m_options.bots; ++i) {
        CConfigNode* brain = nullptr;
        CConfigNode* definition = MakeEntityDefinition(&brain);
        CConfigNode* finder = AddService(brain, "CPathFinder");
        Add(finder, "Graph", "floor");
        Add(finder, "DistGoal", "0.05");
        AddService(brain, "CEntityManager");
        CConfigNode* agent = AddAgent(brain, "CHideAgent");
        Add(agent, "Graph", "floor");
        // Start on a ring round the threat, in its sight.
        const float angle = 6.2831853f * (static_cast<float>(i) + 0.25f) / static_cast<float>(m_options.bots);
        HostBody body;
        body.position = CVector3(4.5f * std::sin(angle), 0.0f, 4.5f * std::cos(angle));
        body.heading = angle / Vusk::kDegToRad;
        const std::string name = "hider" + std::to_string(i);
        CEntity* hider = m_world.Spawn(body, definition, perceived | CPathFinder::s_classDesc.GetClassBit(),
                                       name.c_str());
        if (hider == nullptr || AgentOf(hider) == nullptr || !AgentOf(hider)->AddDangerousEntity(m_threat))
            return false;
        m_hiders.push_back(hider);
    }
    return true;
}

CHideAgent* HideScenario::AgentOf(const CEntity* hider) const
{
    return hider->GetBrain() != nullptr
               ? static_cast<CHideAgent*>(hider->GetBrain()->GetAgent(&CHideAgent::s_classDesc))
               : nullptr;
}

void HideScenario::Step()
{
    ++m_frame;
    m_world.Frame(1.0 + m_frame * static_cast<double>(m_options.step), m_options.step);
}

bool HideScenario::IsSeenByThreat(const CVector3& eye) const
{
    const auto* threatEye = m_threat->FindAttribute<CEntityEyePosition>();
    const CVector3 from = threatEye != nullptr ? threatEye->value : m_threat->GetPosition();
    const float a[3] = {from.x, from.y, from.z};
    const float b[3] = {eye.x, eye.y, eye.z};
    float fraction = 0.0f, normal[3];
    return !FakeAiHost::Instance().Intersect(a, b, 0.0f, &fraction, normal);
}

std::vector<HiderResult> HideScenario::Results() const
{
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
