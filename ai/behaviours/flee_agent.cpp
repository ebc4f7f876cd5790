#include "ai/behaviours/flee_agent.h"

#include <cmath>

#include "ai/behaviours/entity_manager.h"
#include "ai/behaviours/follower_agents.h"
#include "ai/navigation/find_nearest_data.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/action.h"
#include "ai/runtime/allocator.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine_arrays.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/world.h"
#include "platform/crt.h"

CAgentDesc CFleeAgent::s_classDesc("CFleeAgent", &CFleeAgent::Create, nullptr, false, false);

CAgent* CFleeAgent::Create(CBrain* owner) { return new CFleeAgent(owner); }

CFleeAgent::CFleeAgent(CBrain* owner) : CAgent(owner) {}

CFleeAgent::~CFleeAgent() {
    delete[] m_threatPoints;
    Vusk::EngineFree(m_threatEntities);
    Vusk::EngineFree(m_exploreStack);
}

const CAgentDesc* CFleeAgent::GetClassDesc() const { return &s_classDesc; }

bool CFleeAgent::CheckServices() { return m_pathFinder != nullptr && m_entityManager != nullptr; }

bool CFleeAgent::CheckTasks() { return m_checkTask != -1 && m_computeTask != -1; }

void CFleeAgent::SetGraph(CSpatialGraph* graph) {
    m_graph = graph;
    CGraphManager* manager = Vusk::GetGraphManager();
    m_findNearestData =
        manager != nullptr && graph != nullptr && manager->HasGraph(graph)
            ? static_cast<CFindNearestData*>(manager->FindGraphData(graph, &CFindNearestData::s_classDesc))
            : nullptr;
    m_graphIndex = Vusk::FindPointMapperIndex(graph);
    m_startVertexIndex = -1;
    m_destinationVertexIndex = -1;
}

bool CFleeAgent::ReadParam(CConfigNode* node) {
    const char* name = node->GetName();
    const char* value = node->GetValue();
    if (name == nullptr || value == nullptr)
        return false;
    if (_stricmp(name, "ComputeDestInterval") == 0) {
        m_computeDestInterval = static_cast<float>(crt_atof(value));
        return true;
    }
    if (_stricmp(name, "StopWhenHidden") == 0) {
        m_stopWhenHidden = _stricmp(value, "No") != 0 ? 1 : 0;
        return true;
    }
    if (_stricmp(name, "MaxDeltaHeight") == 0) {
        m_maxDeltaHeight = static_cast<float>(crt_atof(value)) * Vusk::GetCurrentOneMeter();
        return true;
    }
    if (_stricmp(name, "Graph") == 0) {
        // Only a world without a graph manager refuses the name; a name the manager does not know leaves
        // the agent without a graph, and so never ready.
        CGraphManager* manager = Vusk::GetGraphManager();
        if (manager == nullptr)
            return false;
        SetGraph(value[0] != '\0' ? manager->FindGraph(value) : nullptr);
        return true;
    }
    // Counts: a negative value would wrap round to a huge one.
    const bool pathLength = _stricmp(name, "PathLength") == 0;
    const bool points = _stricmp(name, "MaxPointsToFlee") == 0;
    const bool entities = _stricmp(name, "MaxEntitiesToFlee") == 0;
    if (!pathLength && !points && !entities)
        return false;
    const int count = crt_atoi(value);
    if (count < 0)
        return false;
    // The tables of threats: nothing else bounds them, so more entries than the machine can hold are
    // refused (the path length costs only as deep as a search walks).
    if (!pathLength &&
        !Vusk::FitsMachine(static_cast<std::uint64_t>(count), points ? sizeof(CVector3) : sizeof(CEntity*)))
        return false;
    if (pathLength)
        m_pathLength = static_cast<uint32_t>(count);
    else if (points)
        m_maxPointsToFlee = static_cast<uint32_t>(count);
    else
        m_maxEntitiesToFlee = static_cast<uint32_t>(count);
    return true;
}

bool CFleeAgent::Init(CConfigNode* definition) {
    const float oneMeter = Vusk::GetCurrentOneMeter();
    m_graph = nullptr;
    m_findNearestData = nullptr;
    m_graphIndex = kNoGraph;
    m_threatPointCount = 0;
    m_maxPointsToFlee = 0;
    m_threatEntityCount = 0;
    m_maxEntitiesToFlee = 0;
    m_destination = CVector3(0.0f, 0.0f, 0.0f);
    m_destinationVertexIndex = -1;
    m_started = 0;
    m_lastSearchPosition = CVector3(0.0f, 0.0f, 0.0f);
    m_reSearchDistanceSquared = oneMeter * oneMeter;
    m_startVertexIndex = -1;
    m_nextComputeTime = 0.0f;
    m_computeDestInterval = 1.0f;
    m_dangerVisible = 1;
    m_destinationFound = 1;
    m_pathLength = 2;
    m_stopWhenHidden = 0;
    m_maxDeltaHeight = oneMeter;
    if (!CAgent::Init(definition))
        return false;
    delete[] m_threatPoints;
    Vusk::EngineFree(m_threatEntities);
    Vusk::EngineFree(m_exploreStack);
    m_threatPoints = nullptr;
    m_threatEntities = nullptr;
    m_exploreStack = nullptr;
    // The search walks as deep as asked. Its stack is taken here for the usual depths and grows
    // only when a search really goes deeper, so a huge PathLength costs memory only as far as a
    // search walks.
    m_exploreCapacity = (m_pathLength < kInitialExploreDepth ? m_pathLength : kInitialExploreDepth) + 1;
    m_exploreStack = static_cast<ExploreStep*>(Vusk::EngineAllocate(m_exploreCapacity * sizeof(ExploreStep)));
    if (m_exploreStack == nullptr) {
        m_exploreCapacity = 0;
        return false;
    }
    if (m_maxPointsToFlee > 0 && (m_threatPoints = new CVector3[m_maxPointsToFlee]) == nullptr)
        return false;
    if (m_maxEntitiesToFlee > 0) {
        m_threatEntities = static_cast<CEntity**>(Vusk::EngineAllocate(m_maxEntitiesToFlee * sizeof(CEntity*)));
        if (m_threatEntities == nullptr)
            return false;
        for (uint32_t i = 0; i < m_maxEntitiesToFlee; ++i)
            m_threatEntities[i] = nullptr;
    }
    m_pathFinder = static_cast<IPathFinder*>(GetBrain()->GetService(&IPathFinder::s_classDesc));
    m_entityManager = static_cast<CEntityManager*>(GetBrain()->GetService(&CEntityManager::s_classDesc));
    if (CTimeManager* time = CTimeManager::GetInstance()) {
        m_checkTask = time->FindPeriodicTask(kCheckTask);
        m_computeTask = time->FindTask(kComputeTask);
    }
    if (!CheckServices() || !CheckTasks())
        return false;
    // A threat entity that leaves the world must not stay behind as a dangling pointer.
    return m_removedHook.Register();
}

void CFleeAgent::OnEntityRemoved(CEntity* entity, void* user) {
    auto* self = static_cast<CFleeAgent*>(user);
    while (self->RemoveThreatEntity(entity)) {
    }
}

bool CFleeAgent::AddThreatPoint(const CVector3& point) {
    if (PointCount() >= m_maxPointsToFlee)
        return false;
    m_threatPointCount = PointCount();
    m_threatPoints[m_threatPointCount++] = point;
    return true;
}

bool CFleeAgent::AddThreatEntity(CEntity* entity) {
    const uint32_t count = EntityCount();
    if (entity == nullptr || count >= m_maxEntitiesToFlee)
        return false;
    for (uint32_t i = 0; i < count; ++i)
        if (m_threatEntities[i] == entity)
            return false;
    m_threatEntities[count] = entity;
    m_threatEntityCount = count + 1;
    return true;
}

bool CFleeAgent::RemoveThreatEntity(CEntity* entity) {
    const uint32_t count = EntityCount();
    for (uint32_t i = 0; i < count; ++i) {
        if (m_threatEntities[i] == entity) {
            for (uint32_t j = i + 1; j < count; ++j)
                m_threatEntities[j - 1] = m_threatEntities[j];
            m_threatEntities[count - 1] = nullptr;
            m_threatEntityCount = count - 1;
            return true;
        }
    }
    return false;
}

void CFleeAgent::ClearThreats() {
    m_threatPointCount = 0;
    m_threatEntityCount = 0;
}

bool CFleeAgent::IsReady() { return m_graph != nullptr && (PointCount() > 0 || EntityCount() > 0); }

bool CFleeAgent::IsDangerSeen() {
    const CEntity* owner = GetBrain()->GetOwner();
    for (uint32_t i = 0; i < PointCount(); ++i)
        if (Vusk::HasLineOfSight(owner->GetPosition(), m_threatPoints[i], const_cast<CEntity*>(owner), 1))
            return true;
    for (uint32_t i = 0; i < EntityCount(); ++i)
        if (m_threatEntities[i] != nullptr && m_entityManager->GetEntityInfo(m_threatEntities[i])->blocked == 0)
            return true;
    return false;
}

bool CFleeAgent::Think() {
    CEntity* owner = GetBrain()->GetOwner();
    GetActionClass()->ClearActions();
    if (!m_started) {
        m_destination = owner->GetPosition();
        m_started = 1;
    }
    // Vertices of the graph held may be others now: the search looks again, standing meanwhile.
    if (m_graph != nullptr && m_graph->RecordsWentSince(&m_graphStamp) &&
        (m_startVertexIndex != -1 || m_destinationVertexIndex != -1)) {
        m_startVertexIndex = m_destinationVertexIndex = -1;
        m_destination = owner->GetPosition();
        m_nextComputeTime = 0.0f;
    }
    CTimeManager* time = CTimeManager::GetInstance();
    if (m_stopWhenHidden) {
        if (time != nullptr && time->IsPeriodicTaskDue(m_checkTask, owner))
            m_dangerVisible = IsDangerSeen() ? 1 : 0;
        if (!m_dangerVisible) {
            m_destination = owner->GetPosition();
            return true;
        }
    }
    const float now = CTimeManager::GetFrameStartTime();
    if (now > m_nextComputeTime && time != nullptr && time->BeginTask(m_computeTask, owner)) {
        m_destinationFound = ComputeDestination() ? 1 : 0;
        time->EndTask(m_computeTask, owner);
        m_nextComputeTime = now + m_computeDestInterval;
    }
    if (!m_destinationFound)
        return true;
    CGraphVertex* vertex =
        m_graph != nullptr && m_destinationVertexIndex >= 0 ? m_graph->GetVertex(m_destinationVertexIndex) : nullptr;
    return Vusk::MoveThroughPathFinder(m_pathFinder, GetActionClass(), m_destination, vertex, m_graphIndex);
}

float CFleeAgent::DistanceToThreats(const CVector3& point) const {
    float sum = 0.0f;
    for (uint32_t i = 0; i < PointCount(); ++i)
        sum += std::sqrt(CVector3::DistanceSquared(point, m_threatPoints[i]));
    for (uint32_t i = 0; i < EntityCount(); ++i)
        if (m_threatEntities[i] != nullptr)
            sum += std::sqrt(CVector3::DistanceSquared(point, m_threatEntities[i]->GetPosition()));
    return sum;
}

bool CFleeAgent::CrossesThreat(const CVector3& a, const CVector3& b) const {
    const float reach = 2.0f * Vusk::GetCurrentOneMeter();
    const CVector3 edge = b - a;
    const float lengthSquared = CVector3::Dot(edge, edge);
    const float length = std::sqrt(lengthSquared);
    const auto near = [&](const CVector3& threat) {
        const CVector3 toThreat = threat - a;
        if (length == 0.0f) // coincident vertices: the distance to the point
            return CVector3::Dot(toThreat, toThreat) < reach * reach;
        const float along = CVector3::Dot(toThreat, edge) / length;
        if (along < 0.0f || along > length)
            return false;
        const float offSquared = CVector3::Dot(toThreat, toThreat) - along * along;
        return offSquared < reach * reach;
    };
    for (uint32_t i = 0; i < PointCount(); ++i)
        if (near(m_threatPoints[i]))
            return true;
    for (uint32_t i = 0; i < EntityCount(); ++i)
        if (m_threatEntities[i] != nullptr && near(m_threatEntities[i]->GetPosition()))
            return true;
    return false;
}

float CFleeAgent::ScorePath(const CGraphVertex*, uint32_t crossings, float distanceSum, uint32_t depth) {
    return distanceSum / static_cast<float>(depth + 1) / (10.0f * static_cast<float>(crossings) + 1.0f);
}

bool CFleeAgent::ComputeDestination() {
    CEntity* owner = GetBrain()->GetOwner();
    m_destination = owner->GetPosition();
    m_destinationVertexIndex = -1;
    if (m_graph == nullptr)
        return false;
    CGraphVertex* start = m_startVertexIndex >= 0 ? m_graph->GetVertex(m_startVertexIndex) : nullptr;
    if (start == nullptr ||
        CVector3::DistanceSquared(owner->GetPosition(), m_lastSearchPosition) > m_reSearchDistanceSquared) {
        start = m_findNearestData != nullptr
                    ? Vusk::FindNearestVisibleVertex(owner->GetPosition(), owner, m_maxDeltaHeight, m_findNearestData,
                                                     false, false)
                    : Vusk::FindNearestVertex(m_graph, owner->GetPosition(), true, false);
        m_startVertexIndex = start != nullptr ? start->GetIndex() : -1;
        m_lastSearchPosition = owner->GetPosition();
    }
    if (start == nullptr)
        return false;
    if (CGraphVertex* best = Explore(start, DistanceToThreats(start->GetPosition()))) {
        m_destination = best->GetPosition();
        m_destinationVertexIndex = best->GetIndex();
    }
    return true;
}

CGraphVertex* CFleeAgent::Explore(CGraphVertex* start, float startSum) {
    // Depth-first over every walk of up to PathLength edges (vertices may repeat), scoring each
    // vertex when it is reached: the first best in this order is the one a recursive search that
    // keeps a child only when strictly better would answer.
    if (m_exploreStack == nullptr)
        return start;
    ExploreStep* stack = m_exploreStack;
    uint32_t depth = 0;
    stack[0] = {start, 0, startSum, 0};
    CGraphVertex* best = start;
    float bestScore = ScorePath(start, 0, startSum, 0);
    m_pathsScored = 1;
    for (;;) {
        ExploreStep& step = stack[depth];
        if (depth == m_pathLength || step.nextEdge >= step.vertex->GetOutgoingCount()) {
            if (depth == 0)
                break;
            --depth;
            continue;
        }
        const CGraphEdge* edge = step.vertex->GetOutgoingEdge(step.nextEdge++);
        CGraphVertex* next = edge->GetDestination();
        const uint32_t crossings =
            step.crossings + (CrossesThreat(step.vertex->GetPosition(), next->GetPosition()) ? 1 : 0);
        const float sum = step.sum + DistanceToThreats(next->GetPosition());
        const float score = ScorePath(next, crossings, sum, depth + 1);
        ++m_pathsScored;
        if (score > bestScore) {
            bestScore = score;
            best = next;
        }
        // The stack doubles when the walk goes deeper than it holds.
        if (!Vusk::MakeRoom(m_exploreStack, depth + 1, m_exploreCapacity, kInitialExploreDepth + 1)) {
            continue; // no memory for a deeper step: this walk ends here
        }
        stack = m_exploreStack;
        stack[++depth] = {next, crossings, sum, 0};
    }
    return best;
}
