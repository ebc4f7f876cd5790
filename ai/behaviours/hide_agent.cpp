#include "ai/behaviours/hide_agent.h"

#include <cfloat>
#include <cmath>

#include "ai/behaviours/entity_manager.h"
#include "ai/navigation/find_nearest_data.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/point_mapper.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/allocator.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/world.h"
#include "platform/crt.h"

CAgentDesc CHideAgent::s_classDesc("CHideAgent", &CHideAgent::Create, nullptr, false, false);

CAgent* CHideAgent::Create(CBrain* owner) { return new CHideAgent(owner); }

CHideAgent::CHideAgent(CBrain* owner) : CAgent(owner), m_bestNearDistance(FLT_MAX), m_bestScore(-FLT_MAX) {}

CHideAgent::~CHideAgent() {
    if (m_callbackRegistered)
        CWorld::RemoveEntityRemovedCallback(&CHideAgent::OnEntityRemoved, this);
    Vusk::EngineFree(m_dangers);
    Vusk::EngineFree(m_dangerVertices);
}

const CAgentDesc* CHideAgent::GetClassDesc() const { return &s_classDesc; }

CEntity* CHideAgent::GetOwner() const { return GetBrain()->GetOwner(); }

void CHideAgent::ResetSearch() {
    m_destination = CVector3(0.0f, 0.0f, 0.0f);
    m_destinationVertex = nullptr;
    m_destinationVertexIndex = -1;
    m_goalReached = 0;
    m_hiddenFromAll = 0;
    m_dangerCount = 0;
    m_destinationFound = 0;
    m_scanComplete = 1;
    m_lastScannedVertex = -1;
    m_bestFarSum = 0.0f;
    m_bestNearDistance = FLT_MAX;
    m_hasBest = 0;
    m_bestScore = -FLT_MAX;
}

void CHideAgent::Update() { ResetSearch(); }

bool CHideAgent::IsReady() { return m_graph != nullptr; }

bool CHideAgent::CheckServices() { return m_pathFinder != nullptr && m_entityManager != nullptr; }

bool CHideAgent::CheckTasks() { return m_computeTask != -1 && m_visibilityTask != -1; }

void CHideAgent::ResetBestScores() {
    m_bestFarSum = 0.0f;
    m_bestNearDistance = FLT_MAX;
}

bool CHideAgent::SetGraph(CSpatialGraph* graph) {
    m_graph = graph;
    m_findNearestData = nullptr;
    m_graphIndex = kNoGraph;
    CGraphManager* manager = Vusk::GetGraphManager();
    if (manager == nullptr)
        return false;
    if (graph == nullptr || !manager->HasGraph(graph))
        return true;
    m_findNearestData = static_cast<CFindNearestData*>(manager->FindGraphData(graph, &CFindNearestData::s_classDesc));
    CWorld* world = Vusk::GetCurrentWorld();
    auto* mapper =
        world != nullptr ? static_cast<CPointMapper*>(world->GetGlobalService(&CPointMapper::s_classDesc)) : nullptr;
    for (uint32_t i = 0; mapper != nullptr && i < manager->GetEntryCount(); ++i) {
        uint16_t index = kNoGraph;
        if (manager->GetEntry(i)->m_graph == graph && mapper->FindGraphIndex(manager->GetEntry(i)->m_name, &index)) {
            m_graphIndex = index;
            break;
        }
    }
    return true;
}

bool CHideAgent::ReadParam(CConfigNode* node) {
    const char* name = node->GetName();
    const char* value = node->GetValue();
    if (name == nullptr)
        return false;
    if (_stricmp(name, "Graph") == 0) {
        CGraphManager* manager = Vusk::GetGraphManager();
        CSpatialGraph* graph =
            value != nullptr && value[0] != '\0' && manager != nullptr ? manager->FindGraph(value) : nullptr;
        return graph != nullptr && SetGraph(graph);
    }
    if (value == nullptr)
        return false;
    if (_stricmp(name, "ResearchType") == 0) {
        if (_stricmp(value, "FAR_FROM_ENEMY") == 0)
            m_researchType = kFarFromEnemy;
        else if (_stricmp(value, "CLOSE_TO_ME") == 0)
            m_researchType = kCloseToMe;
        else
            return false;
        return true;
    }
    if (_stricmp(name, "MaxDeltaHeight") == 0) {
        m_maxDeltaHeight = static_cast<float>(crt_atof(value)) * Vusk::GetCurrentOneMeter();
        return true;
    }
    if (_stricmp(name, "MaxDangerousEntities") == 0) {
        // A negative count would wrap round to a huge capacity.
        const int count = crt_atoi(value);
        // Nothing else bounds it: more entries than the machine can hold are refused.
        if (count < 0 ||
            !Vusk::FitsMachine(static_cast<std::uint64_t>(count), sizeof(CEntity*) + sizeof(CGraphVertex*)))
            return false;
        m_maxDangerousEntities = static_cast<uint32_t>(count);
        return true;
    }
    return false;
}

bool CHideAgent::Init(CConfigNode* definition) {
    ResetSearch();
    m_nextComputeTime = 0.0f;
    m_maxDeltaHeight = Vusk::GetCurrentOneMeter();
    m_graph = nullptr;
    m_researchType = kCloseToMe;
    if (CTimeManager* time = CTimeManager::GetInstance()) {
        m_computeTask = time->FindTask(kComputeTask);
        m_visibilityTask = time->FindTask(kVisibilityTask);
    }
    if (!CAgent::Init(definition))
        return false;
    m_pathFinder = static_cast<IPathFinder*>(GetBrain()->GetService(&IPathFinder::s_classDesc));
    m_entityManager = static_cast<CEntityManager*>(GetBrain()->GetService(&CEntityManager::s_classDesc));
    CWorld* world = Vusk::GetCurrentWorld();
    m_pointMapper =
        world != nullptr ? static_cast<CPointMapper*>(world->GetGlobalService(&CPointMapper::s_classDesc)) : nullptr;
    m_eye = GetOwner()->FindAttribute<CEntityEyePosition>();
    if (!CheckServices() || !CheckTasks())
        return false;
    if (m_maxDangerousEntities > 0) {
        Vusk::EngineFree(m_dangers);
        Vusk::EngineFree(m_dangerVertices);
        m_dangers = static_cast<CEntity**>(Vusk::EngineAllocate(m_maxDangerousEntities * sizeof(CEntity*)));
        m_dangerVertices =
            static_cast<CGraphVertex**>(Vusk::EngineAllocate(m_maxDangerousEntities * sizeof(CGraphVertex*)));
        if (m_dangers == nullptr || m_dangerVertices == nullptr)
            return false;
    }
    // A danger that leaves the world must not stay behind as a dangling pointer.
    if (!m_callbackRegistered)
        m_callbackRegistered = CWorld::AddEntityRemovedCallback(&CHideAgent::OnEntityRemoved, this);
    return m_callbackRegistered;
}

void CHideAgent::OnEntityRemoved(CEntity* entity, void* user) {
    auto* self = static_cast<CHideAgent*>(user);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < self->m_dangerCount; ++i) {
        if (self->m_dangers[i] != entity) {
            self->m_dangers[kept] = self->m_dangers[i];
            self->m_dangerVertices[kept] = self->m_dangerVertices[i];
            ++kept;
        }
    }
    self->m_dangerCount = kept;
}

bool CHideAgent::AddDangerousEntity(CEntity* entity) {
    if (m_dangers == nullptr || m_dangerCount >= m_maxDangerousEntities)
        return false;
    m_dangerVertices[m_dangerCount] = nullptr;
    m_dangers[m_dangerCount++] = entity;
    // A scan under way found its dangers' vertices at its start: the new one gets its own now, and
    // without one the scan ends as its start would have ended it.
    if (m_lastScannedVertex != -1 && m_researchType == kFarFromEnemy && m_graphIndex != kNoGraph && entity != nullptr) {
        m_dangerVertices[m_dangerCount - 1] = VertexSeenFrom(entity->GetPosition());
        if (m_dangerVertices[m_dangerCount - 1] == nullptr)
            EndScanUnfound();
    }
    return true;
}

CVector3 CHideAgent::GetDestination() const {
    return m_destinationFound && m_scanComplete ? m_destination : GetOwner()->GetPosition();
}

CVector3 CHideAgent::ViewpointOf(const CEntity* entity) {
    const auto* eye = entity->FindAttribute<CEntityEyePosition>();
    return eye != nullptr ? eye->value : entity->GetPosition();
}

CVector3 CHideAgent::EyeOffset() const {
    const float h = m_eye != nullptr ? m_eye->value.y - GetOwner()->GetPosition().y : 0.0f;
    return CVector3(0.0f, h, 0.0f);
}

bool CHideAgent::Think() {
    CEntity* owner = GetOwner();
    GetActionClass()->ClearActions();
    // Vertices that left the graph (or whose records came back as others) are not walked to: the
    // search starts again now.
    if (m_graph != nullptr && m_graph->RecordsWentSince(&m_graphStamp)) {
        DropSearch();
        m_nextComputeTime = 0.0f;
    }
    m_hiddenFromAll = 1;
    for (uint32_t i = 0; i < m_dangerCount; ++i) {
        if (m_entityManager->GetEntityInfo(m_dangers[i])->blocked == 0) {
            m_hiddenFromAll = 0;
            break;
        }
    }
    const float now = CTimeManager::GetFrameStartTime();
    CTimeManager* time = CTimeManager::GetInstance();
    if (now > m_nextComputeTime && time != nullptr && time->BeginTask(m_computeTask, owner)) {
        m_destinationFound = ComputeDestination() ? 1 : 0;
        time->EndTask(m_computeTask, owner);
        m_nextComputeTime = now + 0.1f;
    }
    if (!m_scanComplete)
        return true;
    if (!m_destinationFound) {
        m_destination = owner->GetPosition();
        return false;
    }
    bool moved;
    if (m_graphIndex != kNoGraph) {
        const CVertexTarget target(m_destinationVertex, m_graphIndex);
        moved = m_pathFinder->FindNextMoveToEntity(&target);
    } else {
        moved = m_pathFinder->FindNextMoveToPosition(m_destination);
    }
    if (!moved)
        return false;
    GetActionClass()->CopyFrom(m_pathFinder->GetActionClass());
    m_goalReached = m_pathFinder->IsGoalReached() ? 1 : 0;
    return true;
}

bool CHideAgent::ComputeDestination() {
    const CVector3 eyeOffset = EyeOffset();
    if (m_destinationFound && m_scanComplete) {
        // The present destination stays while no danger sees it.
        const CVector3 point = m_destination + eyeOffset;
        bool seen = false;
        for (uint32_t i = 0; i < m_dangerCount && !seen; ++i)
            seen = Vusk::HasLineOfSight(ViewpointOf(m_dangers[i]), point, m_dangers[i], 1);
        if (!seen && m_dangerCount > 0)
            return true;
    }
    if (m_graph == nullptr)
        return false;
    ScanStep(eyeOffset);
    return m_destinationFound != 0;
}

CGraphVertex* CHideAgent::VertexSeenFrom(const CVector3& point) {
    if (m_findNearestData != nullptr)
        return Vusk::FindNearestVisibleVertex(point, GetOwner(), m_maxDeltaHeight, m_findNearestData, false, false);
    return Vusk::FindLocallyVisibleVertex(m_graph, point, GetOwner(), m_maxDeltaHeight, false, false);
}

bool CHideAgent::FindReferenceVertices() {
    if (m_researchType == kFarFromEnemy) {
        for (uint32_t i = 0; i < m_dangerCount; ++i) {
            m_dangerVertices[i] = VertexSeenFrom(m_dangers[i]->GetPosition());
            if (m_dangerVertices[i] == nullptr)
                return false;
        }
        return true;
    }
    m_ownVertex = VertexSeenFrom(GetOwner()->GetPosition());
    return m_ownVertex != nullptr;
}

void CHideAgent::EndScanUnfound() {
    m_scanComplete = 1;
    m_lastScannedVertex = -1;
    m_hasBest = 0;
    m_destinationFound = 0;
    // The next scan measures against nothing of this one.
    m_bestScore = -FLT_MAX;
    ResetBestScores();
}

void CHideAgent::DropSearch() {
    EndScanUnfound();
    m_destination = GetOwner()->GetPosition();
    m_destinationVertex = nullptr;
    m_destinationVertexIndex = -1;
    m_ownVertex = nullptr;
    for (uint32_t i = 0; i < m_dangerCount; ++i)
        m_dangerVertices[i] = nullptr;
}

void CHideAgent::ScanStep(const CVector3& eyeOffset) {
    if (m_lastScannedVertex == -1 && m_graphIndex != kNoGraph && !FindReferenceVertices()) {
        EndScanUnfound();
        return;
    }
    // Up to the last index, not the count: a graph with free slots keeps live vertices beyond it.
    const int32_t last = m_graph->GetLastVertexIndex();
    for (int32_t i = m_lastScannedVertex + 1; i <= last; ++i) {
        CGraphVertex* vertex = m_graph->GetVertex(i);
        if (vertex == nullptr)
            continue;
        uint8_t stop = 0;
        if (!ConsiderVertex(vertex, eyeOffset, &stop)) {
            m_scanComplete = 0;
            m_lastScannedVertex = i - 1;
            return;
        }
        if (stop)
            break;
    }
    m_scanComplete = 1;
    m_lastScannedVertex = -1;
    m_bestScore = -FLT_MAX;
    m_hasBest = 0;
    ResetBestScores();
}

bool CHideAgent::ConsiderVertex(CGraphVertex* vertex, const CVector3& eyeOffset, uint8_t* stop) {
    if (vertex->GetIndex() == m_destinationVertexIndex)
        return true;
    float score = 0.0f;
    uint8_t budgetOk = 1;
    *stop = 0;
    const bool accepted = EvaluateCandidate(vertex, eyeOffset, &score, stop, &budgetOk);
    if (!budgetOk)
        return false;
    if (!accepted)
        return true;
    if (m_hasBest && score <= m_bestScore)
        return true;
    m_destination = vertex->GetPosition();
    m_destinationVertex = vertex;
    m_destinationVertexIndex = vertex->GetIndex();
    m_destinationFound = 1;
    m_bestScore = score;
    m_hasBest = 1;
    return true;
}

bool CHideAgent::EvaluateCandidate(CGraphVertex* vertex, const CVector3& eyeOffset, float* score, uint8_t* stop,
                                   uint8_t* budgetOk) {
    *stop = 0;
    *budgetOk = 1;
    const CVertexTarget candidate(vertex, m_graphIndex);
    float value = 0.0f;
    if (m_researchType == kFarFromEnemy) {
        float sum = 0.0f;
        for (uint32_t i = 0; i < m_dangerCount; ++i) {
            float distance = 0.0f;
            if (m_graphIndex != kNoGraph) {
                // No estimate (no vertex, or unreachable) rejects the candidate.
                const CVertexTarget danger(m_dangerVertices[i], m_graphIndex);
                if (!m_pathFinder->EstimateBetween(&candidate, &danger, &distance))
                    return false;
            } else {
                distance = std::sqrt(CVector3::DistanceSquared(m_dangers[i]->GetPosition(), vertex->GetPosition()));
            }
            sum += distance;
        }
        if (!(sum > m_bestFarSum))
            return false;
        value = sum;
    } else if (m_researchType == kCloseToMe) {
        if (m_graphIndex != kNoGraph) {
            const CVertexTarget own(m_ownVertex, m_graphIndex);
            if (!m_pathFinder->EstimateBetween(&candidate, &own, &value))
                return false;
        } else {
            value = CVector3::DistanceSquared(GetOwner()->GetPosition(), vertex->GetPosition());
        }
        if (!(value < m_bestNearDistance))
            return false;
    } else {
        return false;
    }
    uint8_t hidden = 0;
    *budgetOk = CheckPositionVisible(vertex, eyeOffset, &hidden) ? 1 : 0;
    if (!*budgetOk || !hidden)
        return false;
    if (m_researchType == kFarFromEnemy) {
        m_bestFarSum = value;
        *score = value;
    } else {
        m_bestNearDistance = value;
        *score = 1.0f / value;
    }
    return true;
}

bool CHideAgent::CheckPositionVisible(CGraphVertex* vertex, const CVector3& eyeOffset, uint8_t* hidden) {
    const CVector3 point = vertex->GetPosition() + eyeOffset;
    *hidden = 0;
    CEntity* owner = GetOwner();
    CTimeManager* time = CTimeManager::GetInstance();
    if (time == nullptr || !time->BeginTask(m_visibilityTask, owner))
        return false;
    bool seen = false;
    for (uint32_t i = 0; i < m_dangerCount && !seen; ++i)
        seen = Vusk::HasLineOfSight(ViewpointOf(m_dangers[i]), point, m_dangers[i], 1);
    time->EndTask(m_visibilityTask, owner);
    *hidden = seen ? 0 : 1;
    return true;
}
