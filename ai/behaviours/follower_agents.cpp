#include "ai/behaviours/follower_agents.h"

#include <initializer_list>

#include "ai/behaviours/attack_nn_agent.h"
#include "ai/behaviours/flee_agent.h"
#include "ai/behaviours/hide_agent.h"
#include "ai/behaviours/path_way_agent.h"
#include "ai/behaviours/shooter_agent.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/point_mapper.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/action.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/world.h"
#include "platform/crt.h"

CAgentDesc CFollowerAgent::s_classDesc("CFollowerAgent", &CFollowerAgent::Create, nullptr, false, false);
CAgentDesc CWanderAgent::s_classDesc("CWanderAgent", &CWanderAgent::Create, nullptr, false, false);
CAgentDesc CGotoAgent::s_classDesc("CGotoAgent", &CGotoAgent::Create, nullptr, false, false);

namespace Vusk {

bool MoveThroughPathFinder(IPathFinder* pathFinder, CActionClass* actions, const CVector3& position,
                           CGraphVertex* vertex, uint16_t graphIndex) {
    bool moved;
    if (vertex != nullptr && graphIndex != CVertexTarget::kNoGraph) {
        const CVertexTarget target(vertex, graphIndex);
        moved = pathFinder->FindNextMoveToEntity(&target);
    } else {
        moved = pathFinder->FindNextMoveToPosition(position);
    }
    if (moved)
        actions->CopyFrom(pathFinder->GetActionClass());
    return moved;
}

uint16_t FindPointMapperIndex(const CSpatialGraph* graph) {
    CGraphManager* manager = GetGraphManager();
    CWorld* world = GetCurrentWorld();
    auto* mapper =
        world != nullptr ? static_cast<CPointMapper*>(world->GetGlobalService(&CPointMapper::s_classDesc)) : nullptr;
    if (manager == nullptr || mapper == nullptr || graph == nullptr)
        return CVertexTarget::kNoGraph;
    for (uint32_t i = 0; i < manager->GetEntryCount(); ++i) {
        uint16_t index = CVertexTarget::kNoGraph;
        if (manager->GetEntry(i)->m_graph == graph && mapper->FindGraphIndex(manager->GetEntry(i)->m_name, &index))
            return index;
    }
    return CVertexTarget::kNoGraph;
}

bool CheckAgentClasses() {
    for (const CAgentDesc* descriptor :
         {&CFollowerAgent::s_classDesc, &CHideAgent::s_classDesc, &CWanderAgent::s_classDesc,
          &CShooterAgent::s_classDesc, &CPathWayAgent::s_classDesc, &CGotoAgent::s_classDesc, &CFleeAgent::s_classDesc,
          &CAttackNNAgent::s_classDesc})
        if (descriptor->GetIndex() == -1)
            return false;
    return true;
}

} // namespace Vusk

// --- Follower ---

CAgent* CFollowerAgent::Create(CBrain* owner) { return new CFollowerAgent(owner); }

CFollowerAgent::CFollowerAgent(CBrain* owner) : CAgent(owner) {}

const CAgentDesc* CFollowerAgent::GetClassDesc() const { return &s_classDesc; }

bool CFollowerAgent::CheckServices() { return m_pathFinder != nullptr; }

bool CFollowerAgent::CheckTasks() { return m_distanceTask != -1; }

bool CFollowerAgent::ReadParam(CConfigNode* node) {
    const char* name = node->GetName();
    const char* value = node->GetValue();
    if (name == nullptr || value == nullptr)
        return false;
    if (_stricmp(name, "DistFromEntity") == 0) {
        m_distFromEntity = static_cast<float>(crt_atof(value)) * Vusk::GetCurrentOneMeter();
        return true;
    }
    if (_stricmp(name, "AngleFromEntity") == 0) {
        m_angleFromEntity = static_cast<float>(crt_atof(value));
        return true;
    }
    if (_stricmp(name, "EntityToFollow") == 0) {
        CWorld* world = Vusk::GetCurrentWorld();
        m_entityToFollow = world != nullptr ? world->FindEntity(value) : nullptr;
        return true;
    }
    return false;
}

bool CFollowerAgent::Init(CConfigNode* definition) {
    const float oneMeter = Vusk::GetCurrentOneMeter();
    m_destination = CVector3(0.0f, 0.0f, 0.0f);
    m_nextDistanceTime = 0.0f;
    m_realDistance = oneMeter;
    m_destinationValid = 0;
    m_entityToFollow = nullptr;
    m_distFromEntity = oneMeter;
    m_angleFromEntity = 180.0f;
    if (CTimeManager* time = CTimeManager::GetInstance())
        m_distanceTask = time->FindTask(kDistanceTask);
    if (!CAgent::Init(definition))
        return false;
    m_pathFinder = static_cast<IPathFinder*>(GetBrain()->GetService(&IPathFinder::s_classDesc));
    m_width = GetBrain()->GetOwner()->FindAttribute<CEntityWidth>();
    if (!CheckServices() || !CheckTasks())
        return false;
    // A followed entity that leaves the world must not stay behind as a dangling pointer.
    return m_removedHook.Register();
}

void CFollowerAgent::OnEntityRemoved(CEntity* entity, void* user) {
    auto* self = static_cast<CFollowerAgent*>(user);
    if (self->m_entityToFollow == entity) {
        self->m_entityToFollow = nullptr;
        self->m_destinationValid = 0;
    }
}

bool CFollowerAgent::IsReady() { return m_entityToFollow != nullptr && m_distFromEntity >= 0.0f; }

void CFollowerAgent::SetDistance(float metres) {
    const float distance = metres * Vusk::GetCurrentOneMeter();
    if (distance != m_distFromEntity) {
        m_distFromEntity = distance;
        m_destinationValid = 0;
    }
}

void CFollowerAgent::SetAngle(float degrees) {
    if (degrees != m_angleFromEntity) {
        m_angleFromEntity = degrees;
        m_destinationValid = 0;
    }
}

bool CFollowerAgent::Think() {
    GetActionClass()->ClearActions();
    if (m_entityToFollow == nullptr || m_pathFinder == nullptr)
        return false;
    ComputeDestination();
    return Vusk::MoveThroughPathFinder(m_pathFinder, GetActionClass(), m_destination);
}

void CFollowerAgent::ComputeDestination() {
    const CVector3& followed = m_entityToFollow->GetPosition();
    if (m_destinationValid && followed.x == m_lastTargetPosition.x && followed.y == m_lastTargetPosition.y &&
        followed.z == m_lastTargetPosition.z)
        return;
    if (m_distFromEntity != 0.0f) {
        const CVector3 direction = Vusk::AnglesToDirection(0.0f, m_entityToFollow->GetAngles().y + m_angleFromEntity);
        ComputeRealDistance(direction);
        m_destination = followed + direction * m_realDistance;
    } else {
        m_destination = followed;
        m_destinationValid = 1;
    }
    m_lastTargetPosition = followed;
}

void CFollowerAgent::ComputeRealDistance(const CVector3& direction) {
    m_destinationValid = 0;
    CEntity* owner = GetBrain()->GetOwner();
    CTimeManager* time = CTimeManager::GetInstance();
    const float now = CTimeManager::GetFrameStartTime();
    if (!(now > m_nextDistanceTime) || time == nullptr || !time->BeginTask(m_distanceTask, owner))
        return;
    const float r = m_width != nullptr ? 0.5f * m_width->value : 0.5f * Vusk::GetCurrentOneMeter();
    const float free =
        Vusk::RayCast(m_entityToFollow->GetPosition(), direction, m_entityToFollow, 2, r + m_distFromEntity) - r;
    m_realDistance = free > 0.0f ? free : 0.0f;
    m_destinationValid = 1;
    time->EndTask(m_distanceTask, owner);
    m_nextDistanceTime = now + 0.1f;
}

// --- Wander ---

CAgent* CWanderAgent::Create(CBrain* owner) { return new CWanderAgent(owner); }

const CAgentDesc* CWanderAgent::GetClassDesc() const { return &s_classDesc; }

bool CWanderAgent::CheckServices() { return m_pathFinder != nullptr; }

void CWanderAgent::SetGraph(CSpatialGraph* graph) {
    m_graph = graph;
    m_graphIndex = Vusk::FindPointMapperIndex(graph);
    // A destination drawn on another graph names nothing here: the next one is drawn on this one.
    m_destinationVertexIndex = -1;
    if (graph != nullptr)
        graph->RecordsWentSince(&m_graphStamp);
}

bool CWanderAgent::ReadParam(CConfigNode* node) {
    const char* name = node->GetName();
    const char* value = node->GetValue();
    if (name == nullptr || _stricmp(name, "Graph") != 0)
        return false;
    CGraphManager* manager = Vusk::GetGraphManager();
    CSpatialGraph* graph =
        value != nullptr && value[0] != '\0' && manager != nullptr ? manager->FindGraph(value) : nullptr;
    if (graph == nullptr)
        return false;
    SetGraph(graph);
    return true;
}

bool CWanderAgent::Init(CConfigNode* definition) {
    m_destination = CVector3(0.0f, 0.0f, 0.0f);
    m_destinationVertexIndex = -1;
    m_goalReached = 0;
    m_pathFinder = static_cast<IPathFinder*>(GetBrain()->GetService(&IPathFinder::s_classDesc));
    m_graph = nullptr;
    m_graphIndex = kNoGraph;
    return CAgent::Init(definition) && CheckServices();
}

bool CWanderAgent::IsReady() {
    if (m_graph == nullptr)
        return false;
    if (m_destinationVertexIndex == -1)
        PickDestination();
    return true;
}

void CWanderAgent::PickDestination() {
    // Draws over every index up to the last (free slots drawn again), and combines two draws of the
    // 15-bit generator when the graph has more indices than one draw reaches.
    const int32_t range = m_graph->GetLastVertexIndex() + 1;
    if (range <= 0 || m_graph->GetVertexCount() == 0) {
        m_destinationVertexIndex = -1;
        return;
    }
    int32_t index = 0;
    const CGraphVertex* vertex = nullptr;
    for (int attempt = 0; attempt < 64 && vertex == nullptr; ++attempt) {
        int64_t draw = crt_rand();
        if (range > CRT_RAND_MAX + 1)
            draw = draw * (CRT_RAND_MAX + 1) + crt_rand();
        index = static_cast<int32_t>(draw % range);
        vertex = m_graph->GetVertex(index);
    }
    // A graph made mostly of free slots: the next live vertex after the last draw.
    for (int32_t step = 1; vertex == nullptr && step <= range; ++step)
        vertex = m_graph->GetVertex(index = (index + 1) % range);
    m_destinationVertexIndex = index;
    m_destination = vertex->GetPosition();
}

bool CWanderAgent::Think() {
    GetActionClass()->ClearActions();
    if (m_graph == nullptr)
        return false;
    // A vertex in the destination's slot may be another one once the graph lost records.
    const bool went = m_graph->RecordsWentSince(&m_graphStamp);
    CGraphVertex* vertex =
        !went && m_destinationVertexIndex >= 0 ? m_graph->GetVertex(m_destinationVertexIndex) : nullptr;
    if (vertex == nullptr) {
        // The destination vertex left the graph.
        PickDestination();
        m_goalReached = 0;
        return true;
    }
    if (Vusk::MoveThroughPathFinder(m_pathFinder, GetActionClass(), m_destination, vertex, m_graphIndex)) {
        m_goalReached = m_pathFinder->IsGoalReached() ? 1 : 0;
        if (m_goalReached)
            PickDestination();
    } else {
        PickDestination();
        m_goalReached = 0;
    }
    return true;
}

// --- Go-to ---

CAgent* CGotoAgent::Create(CBrain* owner) { return new CGotoAgent(owner); }

const CAgentDesc* CGotoAgent::GetClassDesc() const { return &s_classDesc; }

bool CGotoAgent::CheckServices() { return m_pathFinder != nullptr; }

bool CGotoAgent::Init(CConfigNode* definition) {
    if (!CAgent::Init(definition))
        return false;
    m_pathFinder = static_cast<IPathFinder*>(GetBrain()->GetService(&IPathFinder::s_classDesc));
    m_destination = CVector3(0.0f, 0.0f, 0.0f);
    m_goalReached = 0;
    return CheckServices();
}

bool CGotoAgent::Think() {
    GetActionClass()->ClearActions();
    if (m_pathFinder == nullptr)
        return false;
    if (!Vusk::MoveThroughPathFinder(m_pathFinder, GetActionClass(), m_destination)) {
        m_goalReached = 0;
        return false;
    }
    m_goalReached = m_pathFinder->IsGoalReached() ? 1 : 0;
    return true;
}
