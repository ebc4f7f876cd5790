#include "demo/dunmarrow_agent.h"

#include <cfloat>
#include <cmath>

#include "ai/navigation/find_nearest_data.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/point_mapper.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/world.h"
#include "demo/my_team.h"

CAgentDesc DunmarrowAgent::s_classDesc("DunmarrowAgent", &DunmarrowAgent::Create, &CHideAgent::s_classDesc, false,
                                       false);

CAgent* DunmarrowAgent::Create(CBrain* owner) { return new DunmarrowAgent(owner); }

DunmarrowAgent::DunmarrowAgent(CBrain* owner) : CHideAgent(owner) {}

DunmarrowAgent::~DunmarrowAgent() {
    if (m_team != nullptr)
        m_team->GiveUpSearchOf(GetOwner());
}

const CAgentDesc* DunmarrowAgent::GetClassDesc() const { return &s_classDesc; }

bool DunmarrowAgent::Init(CConfigNode* definition) {
    if (!CHideAgent::Init(definition))
        return false;
    m_spare = 65535;
    m_team = nullptr;
    m_moveGraphFinder = nullptr;
    m_moveGraph = nullptr;
    if (CGraphManager* manager = Vusk::GetGraphManager()) {
        m_moveGraph = manager->FindGraph(kMoveGraph);
        if (m_moveGraph != nullptr) {
            m_moveGraphFinder =
                static_cast<CFindNearestData*>(manager->FindGraphData(m_moveGraph, &CFindNearestData::s_classDesc));
            m_moveGraph->RecordsWentSince(&m_moveGraphStamp);
        }
    }
    if (m_pointMapper != nullptr) {
        std::uint16_t index = kNoGraph;
        m_moveGraphIndex = m_pointMapper->FindGraphIndex(kMoveGraph, &index) ? index : kNoGraph;
    }
    m_nearVertex = nullptr;
    m_nearVertexTime = 0.0f;
    return true;
}

bool DunmarrowAgent::Think() {
    GetActionClass()->ClearActions();
    CEntity* owner = GetOwner();
    const int self = owner->GetIndex();
    if (m_team != nullptr && m_team->computingMember != CMyTeam::kNoMember && m_team->computingMember != self &&
        (!m_scanComplete || !m_destinationFound))
        return true; // another member is searching
    if (m_team != nullptr)
        m_team->computingMember = static_cast<std::int16_t>(self);
    const std::int32_t old = m_destinationVertexIndex;
    const bool result = CHideAgent::Think();
    if (m_team != nullptr) {
        if (m_scanComplete)
            m_team->computingMember = CMyTeam::kNoMember;
        if (m_destinationVertexIndex != old) {
            m_team->ReleaseVertex(old, owner);
            m_team->ReserveVertex(m_destinationVertexIndex, owner);
        }
    }
    return result;
}

bool DunmarrowAgent::IsCoveredFrom(const CVector3& eye, const CVector3& place, float eyeHeight, CEntity* danger) {
    const CVector3 toPlace = place - eye;
    const float length = toPlace.Length();
    if (length == 0.0f)
        return false;
    const float oneMeter = Vusk::GetCurrentOneMeter();
    const CVector3 side = CVector3::Cross(toPlace * (0.4f / length), CVector3::UnitY);
    const CVector3 lift(0.0f, oneMeter, 0.0f);
    const CVector3 body[3] = {place + side, place - side, place + lift};
    for (const CVector3& probe : body)
        if (Vusk::HasLineOfSight(eye, probe, danger, 1))
            return false;
    // His eye at the place and at eight points round the circle he may stop on: across the line of
    // sight, along it and at the four diagonals between (a slit shows a band that the points across
    // alone can straddle).
    const CVector3 placeEye(place.x, place.y + eyeHeight, place.z);
    if (Vusk::HasLineOfSight(eye, placeEye, danger, 1))
        return false;
    const float flat = std::sqrt(toPlace.x * toPlace.x + toPlace.z * toPlace.z);
    if (flat == 0.0f)
        return true; // straight below the eye: there is no line across to stand along
    const float r = kStandRadius * oneMeter / flat;
    const CVector3 along(toPlace.x * r, 0.0f, toPlace.z * r);
    const CVector3 across(-toPlace.z * r, 0.0f, toPlace.x * r);
    constexpr float kDiagonal = 0.70710678f;
    const CVector3 round[8] = {along,
                               along * -1.0f,
                               across,
                               across * -1.0f,
                               (along + across) * kDiagonal,
                               (along - across) * kDiagonal,
                               (across - along) * kDiagonal,
                               (along + across) * -kDiagonal};
    for (const CVector3& step : round)
        if (Vusk::HasLineOfSight(eye, placeEye + step, danger, 1))
            return false;
    return true;
}

void DunmarrowAgent::RequestNewSearch() {
    // Dropping only the found flag is not enough: the old vertex would stay reserved by this very
    // bot and, being the current destination, skipped by the scan as well. When the team has no
    // more hiding places than bots, every place is then held by a bot that can no longer choose it,
    // no search finds anything and no reservation is ever given up: the bots never hide again.
    if (m_team != nullptr)
        m_team->ReleaseVertex(m_destinationVertexIndex, GetOwner());
    // The destination goes, and so does a scan left half way: it measured its distances from where
    // the bot stood back then.
    DropSearch();
}

bool DunmarrowAgent::EvaluateCandidate(CGraphVertex* vertex, const CVector3& eyeOffset, float* score, uint8_t*,
                                       uint8_t* budgetOk) {
    if (m_team != nullptr && m_team->IsVertexReserved(vertex->GetIndex()))
        return false;
    CEntity* owner = GetOwner();
    CTimeManager* time = CTimeManager::GetInstance();
    *budgetOk = time != nullptr && time->BeginTask(m_visibilityTask, owner) ? 1 : 0;
    if (!*budgetOk)
        return false;
    const float oneMeter = Vusk::GetCurrentOneMeter();
    const float now = CTimeManager::GetFrameStartTime();
    // Found once a frame, and again when the graph lost records since: the vertex may have gone.
    const bool went = m_moveGraph != nullptr && m_moveGraph->RecordsWentSince(&m_moveGraphStamp);
    if (m_nearVertexTime != now || went) {
        m_nearVertexTime = now;
        // Without nearest-vertex data for "MoveGraph" there is no reference vertex.
        m_nearVertex = m_moveGraphFinder != nullptr
                           ? Vusk::FindNearestVisibleVertex(owner->GetPosition(), owner, 2.5f * oneMeter,
                                                            m_moveGraphFinder, false, false)
                           : nullptr;
    }
    // A rejected candidate leaves the granted task running: only an accepted one ends it.
    if (m_nearVertex == nullptr)
        return false;
    float distance = FLT_MAX;
    const CVertexTarget candidate(vertex, m_graphIndex);
    const CVertexTarget nearest(m_nearVertex, m_moveGraphIndex);
    if (!m_pathFinder->EstimateBetween(&candidate, &nearest, &distance))
        return false;
    const float d2 = distance * distance;
    if (d2 > 40000.0f * oneMeter * oneMeter)
        return false;
    // Smaller is better: the best of the scan is the hiding agent's best near distance.
    const float value = d2 * d2;
    if (!(value < m_bestNearDistance))
        return false;
    for (std::uint32_t i = 0; i < m_dangerCount; ++i)
        if (!IsCoveredFrom(m_dangers[i]->GetPosition() + eyeOffset, vertex->GetPosition(), eyeOffset.y, m_dangers[i]))
            return false;
    time->EndTask(m_visibilityTask, owner);
    m_bestNearDistance = value;
    *score = 1.0f / value;
    return true;
}
