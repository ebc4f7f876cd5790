#include "ai/navigation/path_strategies.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "ai/navigation/find_nearest_data.h"
#include "ai/navigation/path_object.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/navigation/constraint.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/world.h"

// --- Registries --------------------------------------------------------------------------------------

template <class Fn> int32_t CStrategyRegistry<Fn>::Register(CStrategyEntry<Fn>* entry) {
  for (uint32_t i = 0; i < m_count; ++i) {
    if (std::strcmp(m_entries[i]->m_name, entry->m_name) == 0) {
      m_entries[i] = entry;
      return entry->m_index = static_cast<int32_t>(i);
    }
  }
  if (m_count == kCapacity) {
    m_full = 1;
    return entry->m_index = -1;
  }
  m_entries[m_count] = entry;
  return entry->m_index = static_cast<int32_t>(m_count++);
}

template <class Fn> CStrategyEntry<Fn>* CStrategyRegistry<Fn>::Find(const char* name) const {
  if (name == nullptr) return nullptr;
  for (uint32_t i = 0; i < m_count; ++i) {
    if (std::strcmp(m_entries[i]->m_name, name) == 0) return m_entries[i];
  }
  return nullptr;
}

template <class Fn> Fn CStrategyRegistry<Fn>::FindFunction(const char* name) const {
  CStrategyEntry<Fn>* entry = Find(name);
  return entry != nullptr ? entry->m_function : nullptr;
}

template <class Fn> const char* CStrategyRegistry<Fn>::NameOf(Fn function) const {
  for (uint32_t i = 0; i < m_count; ++i) {
    if (m_entries[i]->m_function == function) return m_entries[i]->m_name;
  }
  return nullptr;
}

template <class Fn> void CStrategyRegistry<Fn>::Clear() {
  m_count = 0;
  m_full = 0;
}

template class CStrategyRegistry<StopConditionFn>;
template class CStrategyRegistry<FindVertexFn>;
template class CStrategyRegistry<CanGoFn>;
template class CStrategyRegistry<MoveFn>;

CStopConditionRegistry& Vusk::GetStopConditionRegistry() {
  static constinit CStopConditionRegistry registry;
  return registry;
}
CFindVertexRegistry& Vusk::GetFindVertexRegistry() {
  static constinit CFindVertexRegistry registry;
  return registry;
}
CCanGoRegistry& Vusk::GetCanGoRegistry() {
  static constinit CCanGoRegistry registry;
  return registry;
}
CMoveRegistry& Vusk::GetMoveRegistry() {
  static constinit CMoveRegistry registry;
  return registry;
}

namespace {

CStrategyEntry<StopConditionFn> g_stopEntries[] = {
    {"SimpleStopCondition", &Vusk::SimpleStopCondition, -1},
    {"SimpleCheck", &Vusk::SimpleCheck, -1},
    {"ComplexCheck", &Vusk::ComplexCheck, -1},
};
CStrategyEntry<FindVertexFn> g_vertexEntries[] = {
    {"NearestVertex", &Vusk::NearestVertex, -1},
    {"LocallyVisibleVertex", &Vusk::LocallyVisibleVertex, -1},
    {"NearestVertexOpt", &Vusk::NearestVertexOpt, -1},
};
CStrategyEntry<CanGoFn> g_goEntries[] = {
    {"VisibleGo", &Vusk::VisibleGo, -1},
    {"AlwaysGo", &Vusk::AlwaysGo, -1},
    {"VisibleWithoutHoleGo", &Vusk::VisibleWithoutHoleGo, -1},
    {"VisibilityCheck", &Vusk::VisibleGo, -1},
    {"HoleCheck", &Vusk::HoleCheck, -1},
    {"NoCheck", &Vusk::AlwaysGo, -1},
};
CStrategyEntry<MoveFn> g_moveEntries[] = {
    {"VisibleMove", &Vusk::VisibleMove, -1},
    {"InvisibleMove", &Vusk::InvisibleMove, -1},
    {"VisibleAvoidDynMove", &Vusk::VisibleAvoidDynMove, -1},
    {"StopAndRelaunchPath", &Vusk::StopAndRelaunchPath, -1},
};

// Registers the engine's strategies at start-up and empties the registries at exit.
struct StrategyRegistration {
  StrategyRegistration() {
    for (auto& entry : g_stopEntries) Vusk::GetStopConditionRegistry().Register(&entry);
    for (auto& entry : g_vertexEntries) Vusk::GetFindVertexRegistry().Register(&entry);
    for (auto& entry : g_goEntries) Vusk::GetCanGoRegistry().Register(&entry);
    for (auto& entry : g_moveEntries) Vusk::GetMoveRegistry().Register(&entry);
  }
  ~StrategyRegistration() {
    Vusk::GetStopConditionRegistry().Clear();
    Vusk::GetFindVertexRegistry().Clear();
    Vusk::GetCanGoRegistry().Clear();
    Vusk::GetMoveRegistry().Clear();
  }
};
StrategyRegistration g_registration;

bool SameVector(const CVector3& a, const CVector3& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

const CVector3 kUp(0.0f, 1.0f, 0.0f);

CTimeManager* TimeManager() { return CTimeManager::GetInstance(); }

void MarkRun(int task, const CEntity* owner) {
  if (CTimeManager* time = TimeManager()) time->MarkPeriodicTaskRun(task, owner);
}

// Cost of the straight way from a to b under the path finder's constraint, through one shared edge.
bool StraightCost(CPathFinder* self, const CVector3& a, const CVector3& b, float* cost) {
  static CGraphVertex source{CGraphVertexData()};
  static CGraphVertex destination{CGraphVertexData()};
  static CGraphEdge edge{CGraphEdgeData()};
  CConstraint* constraint = self->GetConstraint();
  if (constraint == nullptr) return false;
  source.m_data.m_position = a;
  destination.m_data.m_position = b;
  edge.m_source = &source;
  edge.m_destination = &destination;
  edge.SetLength(std::sqrt(CVector3::DistanceSquared(a, b)));
  return constraint->GetEdgeCost(self->GetOwner(), &edge, cost);
}

float Height(const CEntity* owner) {
  const auto* height = owner->FindAttribute<CEntityHeight>();
  return height != nullptr ? height->value * 0.5f : Vusk::GetCurrentOneMeter();
}

CVector3 NormalisedOrZero(const CVector3& v) {
  const float length = v.Length();
  return length > 0.0f ? CVector3::Scale(1.0f / length, v) : CVector3(0.0f, 0.0f, 0.0f);
}

}  // namespace

// --- Stop conditions and sub-goal choosers -----------------------------------------------------------

bool Vusk::SimpleStopCondition(CPathFinder* self) {
  const CVector3& d = self->m_toGoal;
  return std::sqrt(d.x * d.x + d.z * d.z) < self->m_distGoal && std::fabs(d.y) < self->m_maxDeltaHeight;
}

bool Vusk::SimpleCheck(CPathFinder* self) {
  CEntity* owner = self->GetOwner();
  if (SameVector(self->m_subgoal, self->m_goal)) return true;
  const int32_t current = self->m_subgoalIndex;
  if (current > 0 && current <= self->m_path.m_pointCount) {
    CPathObject* object = self->m_path.m_pathObjects[current - 1];
    if (object != nullptr && !object->AcceptSubgoal(owner, self->m_ownerPosition, self->m_subgoal)) return true;
  }
  int32_t index = self->m_path.FindNearestPoint(self->m_subgoal);
  if (index < 0) return false;
  if (std::sqrt(CVector3::DistanceSquared(self->m_ownerPosition, self->m_subgoal)) >= self->m_distStop) return true;
  if (index + 1 < self->m_path.m_pointCount) {
    self->m_subgoalIndex = index + 1;
    self->m_subgoal = self->m_path.m_points[index + 1];
  } else {
    self->m_subgoal = self->m_goal;
  }
  MarkRun(self->m_taskNewSubgoal, owner);
  return true;
}

bool Vusk::ComplexCheck(CPathFinder* self) {
  if (self->m_searchDeferred) return SimpleCheck(self);
  if (self->m_straightToGoal || self->m_cachedStart == nullptr || self->m_cachedGoal == nullptr) return true;
  CEntity* owner = self->GetOwner();
  const CPath& path = self->m_path;
  const int32_t index = path.FindNearestPoint(self->m_subgoal);
  if (index < 0) return true;
  self->m_subgoal = path.m_points[index];
  const CVector3& me = self->m_ownerPosition;
  const int32_t last = path.m_pointCount - 1;
  const float reach2 = self->m_distSubgoalMax * self->m_distSubgoalMax;
  int32_t count = 0;
  int32_t i = index;
  while (i != last) {
    if (i > 0 && path.m_pathObjects[i - 1] != nullptr &&
        !path.m_pathObjects[i - 1]->AcceptSubgoal(owner, me, path.m_points[i]))
      return true;
    const CVector3& next = path.m_points[i + 1];
    if (CVector3::DistanceSquared(me, next) > reach2 || std::fabs(next.y - me.y) > self->m_maxDeltaHeight ||
        !self->m_canGo(self, next))
      break;
    float c1 = 0.0f, c2 = 0.0f, c3 = 0.0f;
    StraightCost(self, path.m_points[i], next, &c1);
    StraightCost(self, me, path.m_points[i], &c2);
    if (!StraightCost(self, me, next, &c3) || c2 + c1 < c3) break;
    ++count;
    ++i;
    if (count >= self->m_nbMaxSubgoal) break;
  }
  const float stop2 = self->m_distStop * self->m_distStop;
  if (count < self->m_nbMaxSubgoal && i == last && CVector3::DistanceSquared(me, self->m_goal) <= reach2 &&
      std::fabs(self->m_goal.y - me.y) <= self->m_maxDeltaHeight) {
    if (self->m_canGo(self, self->m_goal)) {
      float c1 = 0.0f, c2 = 0.0f, c3 = 0.0f;
      StraightCost(self, path.m_points[i], self->m_goal, &c1);
      StraightCost(self, me, path.m_points[i], &c2);
      if (StraightCost(self, me, self->m_goal, &c3) && c3 < c2 + c1) {
        self->m_subgoal = self->m_goal;
        self->m_straightToGoal = 1;
      }
    } else if (CVector3::DistanceSquared(me, path.m_points[i]) <= stop2) {
      self->m_subgoal = self->m_goal;
      self->m_straightToGoal = 1;
    }
  }
  if (i == index) {
    if (i != last && CVector3::DistanceSquared(me, path.m_points[i]) < stop2) ++i;
    if (i == index) return true;
  }
  self->m_subgoalIndex = i;
  if (!self->m_straightToGoal) self->m_subgoal = path.m_points[i];
  MarkRun(self->m_taskNewSubgoal, owner);
  return true;
}

// --- Vertex finders -----------------------------------------------------------------------------------

CGraphVertex* Vusk::NearestVertex(CPathFinder* self, const CVector3& point, bool requireOutgoing,
                                  bool requireIncoming) {
  return FindNearestVertex(self->m_graph, point, requireOutgoing, requireIncoming);
}

CGraphVertex* Vusk::LocallyVisibleVertex(CPathFinder* self, const CVector3& point, bool requireOutgoing,
                                         bool requireIncoming) {
  return FindLocallyVisibleVertex(self->m_graph, point, self->GetOwner(), self->m_maxDeltaHeight, requireOutgoing,
                                  requireIncoming);
}

CGraphVertex* Vusk::NearestVertexOpt(CPathFinder* self, const CVector3& point, bool requireOutgoing,
                                     bool requireIncoming) {
  if (self->m_findNearestData == nullptr) return nullptr;
  return FindNearestVisibleVertex(point, self->GetOwner(), self->m_maxDeltaHeight, self->m_findNearestData,
                                  requireOutgoing, requireIncoming);
}

// --- Go decisions and checks ------------------------------------------------------------------------

bool Vusk::VisibleGo(CPathFinder* self, const CVector3& point) {
  CEntity* owner = self->GetOwner();
  return SweepTest(self->m_ownerPosition, point, owner, 2, self->GetWidth());
}

bool Vusk::AlwaysGo(CPathFinder*, const CVector3&) { return true; }

bool Vusk::VisibleWithoutHoleGo(CPathFinder* self, const CVector3& point) {
  return VisibleGo(self, point) && !FindHoleAlong(self, point);
}

bool Vusk::HoleCheck(CPathFinder* self, const CVector3& point) {
  const int32_t index = self->m_subgoalIndex;
  if (SameVector(self->m_subgoal, self->m_goal) || index <= 0 || index >= self->m_path.m_pointCount) return true;
  const CVector3& a = self->m_path.m_points[index - 1];
  const CVector3& b = self->m_path.m_points[index];
  const CVector3 ab = b - a;
  float length = ab.Length();
  if (self->m_graph != nullptr) {
    if (CGraphEdge* edge = self->m_graph->GetEdge(self->m_path.m_edgeIndices[index - 1]))
      length = edge->GetLength();
  }
  if (length != 0.0f) {
    const CVector3 w = self->m_ownerPosition - a;
    const float p = CVector3::Dot(w, ab) / length;
    if (-self->m_distStop <= p && p <= length) {
      const float lateral = std::fabs(CVector3::Cross(w, ab).y) / length;
      if (lateral < self->m_holeDistToEdge) return true;
    }
  }
  const bool hole = FindHoleAlong(self, point);
  if (hole) self->m_holeCounter = 2;
  return !hole;
}

bool Vusk::FindHoleAlong(CPathFinder* self, const CVector3& point) {
  CEntity* owner = self->GetOwner();
  const float s = GetCurrentOneMeter();
  const CVector3 d = point - self->m_ownerPosition;
  CVector3 side = CVector3::Cross(d, kUp);
  const float sideLength = side.Length();
  if (sideLength == 0.0f) return false;
  side = CVector3::Scale(self->GetWidth() * self->m_widthRatioForHoleDetection / sideLength, side);
  const float h = Height(owner);
  for (float sign : {1.0f, -1.0f}) {
    const CVector3 offset = CVector3::Scale(sign, side);
    const CVector3 a = self->m_ownerPosition + offset;
    const CVector3 b = point + offset;
    const float length = (b - a).Length();
    if (length == 0.0f) return false;
    const CVector3 dir = CVector3::Scale(1.0f / length, b - a);
    for (float t : {0.0f, s}) {
      if (t > length) return false;
      const CVector3 probe = a + CVector3::Scale(t, dir);
      const CVector3 below(probe.x, probe.y - (self->m_holeHeight + h), probe.z);
      if (HasLineOfSight(probe, below, owner, 1)) return true;
    }
    if (2.0f * s > length) return false;
    const CVector3 probe = a + CVector3::Scale((length - 2.0f * s) * 0.5f + 2.0f * s, dir);
    const CVector3 below(probe.x, probe.y - (1.2f * self->m_holeHeight + h), probe.z);
    if (HasLineOfSight(probe, below, owner, 1)) return true;
  }
  return false;
}

// --- Move builders ------------------------------------------------------------------------------------

bool Vusk::VisibleMove(CPathFinder* self, CMoveOrder* move, const CVector3& point) {
  const CVector3 v = point - self->m_ownerPosition;
  const float length = v.Length();
  if (length == 0.0f) {
    // Standing on the point: no direction to go, so no speed either.
    move->m_direction = CVector3(0.0f, 0.0f, 0.0f);
    move->m_speed = 0.0f;
    return true;
  }
  move->m_direction = CVector3::Scale(1.0f / length, v);
  move->m_direction.y = 0.0f;
  const float slowDown = SameVector(point, self->m_goal) ? self->m_distGoalSlowDown : self->m_distSlowDown;
  move->m_speed = length <= slowDown ? self->GetMaxSpeed() * 0.5f : self->GetMaxSpeed();
  return true;
}

bool Vusk::InvisibleMove(CPathFinder* self, CMoveOrder* move, const CVector3& point) {
  move->m_direction = NormalisedOrZero(ChooseFreeSide(self, self->m_ownerPosition, point));
  move->m_speed = self->GetMaxSpeed();
  self->m_lastPathOwnerPosition = self->m_ownerPosition;
  return true;
}

bool Vusk::StopAndRelaunchPath(CPathFinder* self, CMoveOrder* move, const CVector3&) {
  move->m_speed = 0.0f;
  self->m_subgoal = self->m_ownerPosition;
  self->RequestRepath();
  return true;
}

CVector3 Vusk::ChooseFreeSide(CPathFinder* self, const CVector3& from, const CVector3& target) {
  const float s = GetCurrentOneMeter();
  const CVector3 dir = NormalisedOrZero(target - from);
  const CVector3 ahead = from + CVector3::Scale(5.0f * s, dir);
  const CVector3 side = CVector3::Cross(dir, kUp);
  const CVector3 left = ahead + CVector3::Scale(5.0f * s / 3.0f, side);
  const CVector3 right = ahead - CVector3::Scale(5.0f * s / 3.0f, side);
  CEntity* owner = self->GetOwner();
  RayAdapter ray = GetEngineSettings().ray;
  CRayHit leftHit, rightHit;
  if (ray != nullptr) ray(self->m_ownerPosition, left, owner, &leftHit, 2);
  CVector3 chosen;
  if (leftHit.fraction == 1.0f) {
    chosen = left;
  } else {
    if (ray != nullptr) ray(self->m_ownerPosition, right, owner, &rightHit, 2);
    if (rightHit.fraction == 1.0f)
      chosen = right;
    else
      chosen = leftHit.fraction <= rightHit.fraction ? right : left;
  }
  return chosen - self->m_ownerPosition;
}

void Vusk::DetectDynamicThreats(CPathFinder* self, const CVector3& point) {
  CEntity* owner = self->GetOwner();
  if (owner == nullptr) return;
  self->m_threatFound = 0;
  self->m_nearestThreat = nullptr;
  self->m_leastContactTime = 1000000.0f;
  self->m_threatCount = 0;
  CWorld* world = GetCurrentWorld();
  if (world == nullptr || world->GetEntityTable() == nullptr) return;
  const float r = self->GetWidth();
  const CVector3 forward = owner->GetDirection();
  const float ownerSpeed = owner->GetSpeed();
  const uint32_t bit = CPathFinder::s_classDesc.GetClassBit();
  for (CEntity* entity : *world->GetEntityTable()) {
    if (entity == owner || (entity->GetClassBitMask() & bit) == 0) continue;
    const auto* widthAttribute = entity->FindAttribute<CEntityWidth>();
    const float otherWidth = widthAttribute != nullptr ? widthAttribute->value : 0.0f;
    const CVector3 p = entity->GetPosition() - self->m_ownerPosition;
    const float p2 = p.LengthSquared();
    if (!(p2 <= 25.0f * r * r)) continue;
    const CVector3 n = NormalisedOrZero(p);
    if (!(CVector3::Dot(n, forward) > 0.0f)) continue;
    const CVector3 v =
        CVector3::Scale(ownerSpeed, forward) - CVector3::Scale(entity->GetSpeed(), entity->GetDirection());
    const float toGoal = ownerSpeed != 0.0f ? (point - self->m_ownerPosition).Length() / ownerSpeed : 10000.0f;
    const float contact = (otherWidth + r) * 0.5f * 1.5f;
    // The other entity's offset at time t is p - v t (v is the owner's velocity relative to it).
    const float a = v.LengthSquared();
    const float b = -2.0f * CVector3::Dot(p, v);
    const float c = p2 - contact * contact;
    float t1 = 10000.0f, t2 = 10000.0f;
    bool root = false;
    if (a == 0.0f) {
      if (b != 0.0f) {
        t1 = t2 = -c / b;
        root = true;
      }
    } else {
      const float discriminant = b * b - 4.0f * a * c;
      if (discriminant >= 0.0f) {
        const float sq = std::sqrt(discriminant);
        t1 = (-b - sq) / (2.0f * a);
        t2 = (-b + sq) / (2.0f * a);
        root = true;
      }
    }
    const float t = t1 < t2 ? t1 : t2;
    if (!root || !(self->m_timeMinTrigger < t && t < self->m_timeMaxTrigger && t < toGoal)) continue;
    if (self->m_threatCount == CPathFinder::kMaxThreats) break;
    self->m_threats[self->m_threatCount++] = entity;
    if (t < self->m_leastContactTime) {
      self->m_threatFound = 1;
      self->m_leastContactTime = t;
      self->m_nearestThreat = entity;
    }
  }
}

void Vusk::ComputeAvoidanceDirection(CPathFinder* self, const CVector3& point) {
  CVector3 sum;
  for (uint32_t i = 0; i < self->m_threatCount; ++i) sum += self->m_ownerPosition - self->m_threats[i]->GetPosition();
  const CVector3 repulsion = NormalisedOrZero(sum);
  const CVector3 towards = NormalisedOrZero(point - self->m_ownerPosition);
  const float sigma = CVector3::Cross(towards, repulsion).y < 0.0f ? -1.0f : 1.0f;
  const CVector3 tangent = CVector3::Scale(sigma, CVector3::Cross(kUp, towards));
  self->m_avoidDirection = NormalisedOrZero(CVector3::Scale(1.0f - self->m_dynRatioAttrRep, tangent) +
                                            CVector3::Scale(self->m_dynRatioAttrRep, towards));
}

void Vusk::ApplyAvoidance(CPathFinder* self, CMoveOrder* move) {
  const CVector3 forward = self->GetOwner()->GetDirection();
  if (CVector3::Dot(forward, self->m_avoidDirection) > 0.7f) {
    move->m_direction = self->m_avoidDirection;
    move->m_speed = self->GetMaxSpeed();
  } else {
    move->m_direction = CVector3::Scale(0.5f, self->m_avoidDirection + forward);
    move->m_speed = self->GetMaxSpeed() * 0.5f;
  }
}

bool Vusk::VisibleAvoidDynMove(CPathFinder* self, CMoveOrder* move, const CVector3& point) {
  DetectDynamicThreats(self, point);
  const float now = CTimeManager::GetFrameStartTime();
  if (self->m_threatFound) {
    ComputeAvoidanceDirection(self, point);
    ApplyAvoidance(self, move);
    self->m_avoidUntil = now + self->m_dynDelayTime;
    self->m_avoiding = 1;
    return true;
  }
  if (self->m_avoiding) {
    ApplyAvoidance(self, move);
    if (self->m_avoidUntil < now) self->m_avoiding = 0;
    return true;
  }
  return VisibleMove(self, move, point);
}
