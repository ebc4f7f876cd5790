#include "ai/navigation/constraint.h"

#include <cmath>

#include "ai/navigation/graph_manager.h"
#include "ai/navigation/path_cost_data.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/world.h"

CConstraintDesc CConstraint::s_classDesc("CConstraint", nullptr, nullptr);
CConstraintDesc CConstraintShortestPath::s_classDesc("CConstraintShortestPath", &CConstraintShortestPath::Create,
                                                     &CConstraint::s_classDesc);
CConstraintDesc CConstraintStealthPath::s_classDesc("CConstraintStealthPath", &CConstraintStealthPath::Create,
                                                    &CConstraint::s_classDesc);
CConstraintDesc CConstraintConeVisionStealthPath::s_classDesc("CConstraintConeVisionStealthPath",
                                                              &CConstraintConeVisionStealthPath::Create,
                                                              &CConstraint::s_classDesc);
CConstraintDesc CConstraintPointToFleePath::s_classDesc("CConstraintPointToFleePath",
                                                        &CConstraintPointToFleePath::Create, &CConstraint::s_classDesc);
CHeuristicDesc CHeuristicEuclidianDistance::s_classDesc("CHeuristicEuclidianDistance",
                                                        &CHeuristicEuclidianDistance::Create, nullptr);
CHeuristicDesc CZeroHeuristic::s_classDesc("CZeroHeuristic", &CZeroHeuristic::Create, nullptr);
CHeuristicDesc CPathCostHeuristic::s_classDesc("CPathCostHeuristic", &CPathCostHeuristic::Create, nullptr);

namespace {

// Line-of-sight mode word for threat visibility tests.
constexpr uint32_t kSightMode = 1;

inline uint32_t ClampCount(uint32_t count) { return count > kMaxThreats ? kMaxThreats : count; }

// Entity-removed callback of the constraints with threat entities: an entity that leaves its world is
// no threat any more, and its entry becomes null rather than point at an entity that may be freed.
template <class Constraint> void ForgetThreat(CEntity* entity, void* user) {
  for (CEntity*& threat : static_cast<Constraint*>(user)->m_threatEntities) {
    if (threat == entity) threat = nullptr;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Constraints

CConstraint::~CConstraint() = default;
const CConstraintDesc* CConstraint::GetClassDesc() const { return &s_classDesc; }
void CConstraint::SetGraph(CSpatialGraph*) {}

CConstraint* CConstraintShortestPath::Create() { return new CConstraintShortestPath(); }
const CConstraintDesc* CConstraintShortestPath::GetClassDesc() const { return &s_classDesc; }

bool CConstraintShortestPath::GetEdgeCost(CEntity*, CGraphEdge* edge, float* cost) {
  *cost = edge->GetLength();
  return true;
}

CConstraint* CConstraintStealthPath::Create() { return new CConstraintStealthPath(); }

CConstraintStealthPath::CConstraintStealthPath()
    : m_threatEntities{},
      m_threatPointCount(0),
      m_threatEntityCount(0),
      m_penalty(100.0f * Vusk::GetCurrentOneMeter()),
      m_range(20.0f * Vusk::GetCurrentOneMeter()),
      m_removedHook(&ForgetThreat<CConstraintStealthPath>, this) {
  m_removedHook.Register();
}

const CConstraintDesc* CConstraintStealthPath::GetClassDesc() const { return &s_classDesc; }

bool CConstraintStealthPath::GetEdgeCost(CEntity* context, CGraphEdge* edge, float* cost) {
  const CVector3& dest = edge->m_destination->GetPosition();
  const float range2 = m_range * m_range;
  float total = 0.0f;
  auto seenBy = [&](const CVector3& threat) {
    if (CVector3::DistanceSquared(dest, threat) <= range2 && Vusk::HasLineOfSight(dest, threat, context, kSightMode)) {
      total += m_penalty;
    }
  };
  for (uint32_t i = 0, n = ClampCount(m_threatEntityCount); i < n; ++i) {
    if (m_threatEntities[i] != nullptr) seenBy(m_threatEntities[i]->GetPosition());
  }
  for (uint32_t i = 0, n = ClampCount(m_threatPointCount); i < n; ++i) seenBy(m_threatPoints[i]);
  *cost = total + edge->GetLength();
  return true;
}

CConstraint* CConstraintConeVisionStealthPath::Create() { return new CConstraintConeVisionStealthPath(); }

CConstraintConeVisionStealthPath::CConstraintConeVisionStealthPath()
    : m_threatEntities{},
      m_threatEntityCount(0),
      m_penalty(100.0f * Vusk::GetCurrentOneMeter()),
      m_range(20.0f * Vusk::GetCurrentOneMeter()),
      m_removedHook(&ForgetThreat<CConstraintConeVisionStealthPath>, this) {
  m_removedHook.Register();
}

const CConstraintDesc* CConstraintConeVisionStealthPath::GetClassDesc() const { return &s_classDesc; }

bool CConstraintConeVisionStealthPath::GetEdgeCost(CEntity*, CGraphEdge* edge, float* cost) {
  const CVector3& dest = edge->m_destination->GetPosition();
  const float range2 = m_range * m_range;
  float total = 0.0f;
  for (uint32_t i = 0, n = ClampCount(m_threatEntityCount); i < n; ++i) {
    CEntity* threat = m_threatEntities[i];
    if (threat == nullptr) continue;
    const CVector3& position = threat->GetPosition();
    if (CVector3::DistanceSquared(dest, position) <= range2 && Vusk::IsPointInEntityView(dest, threat) &&
        Vusk::HasLineOfSight(dest, position, threat, kSightMode)) {
      total += m_penalty;
    }
  }
  *cost = total + edge->GetLength();
  return true;
}

CConstraint* CConstraintPointToFleePath::Create() { return new CConstraintPointToFleePath(); }

CConstraintPointToFleePath::CConstraintPointToFleePath()
    : m_threatEntities{},
      m_threatPointCount(0),
      m_threatEntityCount(0),
      m_factor(20.0f),
      m_range(20.0f * Vusk::GetCurrentOneMeter()),
      m_removedHook(&ForgetThreat<CConstraintPointToFleePath>, this) {
  m_removedHook.Register();
}

const CConstraintDesc* CConstraintPointToFleePath::GetClassDesc() const { return &s_classDesc; }

float CConstraintPointToFleePath::ThreatFactor(const CVector3& threat, const CVector3& src, const CVector3& d,
                                               float length) const {
  float r;
  if (length > 0.0f) {
    CVector3 toThreat = CVector3::Subtract(threat, src);
    float t = CVector3::Dot(toThreat, d) / length;
    if (t < 0.0f) t = 0.0f;
    if (t > length) t = length;
    CVector3 nearest = CVector3::Add(src, CVector3::Scale(t / length, d));
    r = std::sqrt(CVector3::DistanceSquared(threat, nearest));
  } else {
    // A segment of no length (coincident vertices) is the point itself.
    r = std::sqrt(CVector3::DistanceSquared(threat, src));
  }
  if (!(m_range > 0.0f) || r > m_range) return 1.0f;
  float k = (m_range - r) / m_range;
  return m_factor * (k * k * k) + 1.0f;
}

bool CConstraintPointToFleePath::GetEdgeCost(CEntity*, CGraphEdge* edge, float* cost) {
  const CVector3& src = edge->m_source->GetPosition();
  const CVector3& dest = edge->m_destination->GetPosition();
  CVector3 d = CVector3::Subtract(dest, src);
  float length = d.Length();
  float total = edge->GetLength();
  for (uint32_t i = 0, n = ClampCount(m_threatPointCount); i < n; ++i) {
    total *= ThreatFactor(m_threatPoints[i], src, d, length);
  }
  for (uint32_t i = 0, n = ClampCount(m_threatEntityCount); i < n; ++i) {
    if (m_threatEntities[i] != nullptr) total *= ThreatFactor(m_threatEntities[i]->GetPosition(), src, d, length);
  }
  *cost = total;
  return true;
}

// ---------------------------------------------------------------------------------------------------------
// Heuristics

CHeuristic::~CHeuristic() = default;
void CHeuristic::SetGraph(CSpatialGraph*) {}

CHeuristic* CHeuristicEuclidianDistance::Create() { return new CHeuristicEuclidianDistance(); }
const CHeuristicDesc* CHeuristicEuclidianDistance::GetClassDesc() const { return &s_classDesc; }

bool CHeuristicEuclidianDistance::Estimate(CEntity*, CGraphVertex* a, CGraphVertex* b, float* out) {
  const CVector3& p = a->GetPosition();
  const CVector3& q = b->GetPosition();
  float dx = q.x - p.x, dy = q.y - p.y, dz = q.z - p.z;
  *out = std::sqrt(dx * dx + dy * dy + dz * dz);
  return true;
}

CHeuristic* CZeroHeuristic::Create() { return new CZeroHeuristic(); }
const CHeuristicDesc* CZeroHeuristic::GetClassDesc() const { return &s_classDesc; }

bool CZeroHeuristic::Estimate(CEntity*, CGraphVertex*, CGraphVertex*, float* out) {
  *out = 0.0f;
  return true;
}

CHeuristic* CPathCostHeuristic::Create() { return new CPathCostHeuristic(); }
CPathCostHeuristic::CPathCostHeuristic() : m_data(nullptr) {}
const CHeuristicDesc* CPathCostHeuristic::GetClassDesc() const { return &s_classDesc; }

void CPathCostHeuristic::SetGraph(CSpatialGraph* graph) {
  m_data = static_cast<CPathCostData*>(Vusk::FindWorldGraphData(graph, &CPathCostData::s_classDesc));
}

bool CPathCostHeuristic::Estimate(CEntity*, CGraphVertex* a, CGraphVertex* b, float* out) {
  if (m_data == nullptr) {
    *out = 0.0f;
    return false;
  }
  uint8_t entry = 255;
  // Vertices outside the table (the graph grew after the table was built) have no estimate.
  if (!m_data->GetEntry(a->m_index, b->m_index, &entry) || entry == 255) return false;
  *out = static_cast<float>(entry) / m_data->GetScale();
  return true;
}
