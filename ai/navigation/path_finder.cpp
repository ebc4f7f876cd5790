#include "ai/navigation/path_finder.h"

#include <cmath>

#include "ai/navigation/astar_data.h"
#include "ai/navigation/constraint.h"
#include "ai/navigation/find_nearest_data.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/path_object.h"
#include "ai/navigation/path_object_manager.h"
#include "ai/navigation/path_strategies.h"
#include "ai/navigation/point_mapper.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/action.h"
#include "ai/runtime/allocator.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/world.h"
#include "platform/crt.h"

CServiceDesc IPathFinder::s_classDesc("IPathFinder", nullptr, nullptr, false, false);
CServiceDesc CPathFinder::s_classDesc("CPathFinder", &CPathFinder::Create, &IPathFinder::s_classDesc, true, true);

namespace {

bool SameVector(const CVector3& a, const CVector3& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

float Distance(const CVector3& a, const CVector3& b) { return std::sqrt(CVector3::DistanceSquared(a, b)); }

CTimeManager* TimeManager() { return CTimeManager::GetInstance(); }

bool IsDue(int task, const CEntity* owner) {
  CTimeManager* time = TimeManager();
  return time != nullptr && time->IsPeriodicTaskDue(task, owner);
}

void MarkRun(int task, const CEntity* owner) {
  if (CTimeManager* time = TimeManager()) time->MarkPeriodicTaskRun(task, owner);
}

CPathObjectManager* PathObjectManager() {
  CWorld* world = Vusk::GetCurrentWorld();
  return world != nullptr ? static_cast<CPathObjectManager*>(world->GetGlobalService(&CPathObjectManager::s_classDesc))
                          : nullptr;
}

// A table of `count` null object pointers (one per registered class); sets *size to its entries (0
// when there are none or memory runs out).
template <class T> T** NewObjectTable(uint32_t count, uint32_t* size) {
  *size = 0;
  T** table = count > 0 ? static_cast<T**>(Vusk::EngineAllocate(count * sizeof(T*))) : nullptr;
  if (table == nullptr) return nullptr;
  for (uint32_t i = 0; i < count; ++i) table[i] = nullptr;
  *size = count;
  return table;
}

// Marks `first` set (else `second`, when there is no first), giving it *value when value is not null.
template <class A, class B> void MarkFirstSet(A* first, B* second, const float* value) {
  auto mark = [value](auto* action) {
    if (value != nullptr) action->value = *value;
    action->set = 1;
  };
  if (first != nullptr)
    mark(first);
  else if (second != nullptr)
    mark(second);
}

}  // namespace

// --- Path targets ------------------------------------------------------------------------------------

CVector3 CVertexTarget::GetPosition() const {
  return m_vertex != nullptr ? m_vertex->GetPosition() : CVector3(0.0f, 0.0f, 0.0f);
}

bool CVertexTarget::GetVertex(uint16_t* vertex, uint16_t* graphIndex) const {
  if (m_vertex == nullptr || m_graphIndex == kNoGraph) return false;
  *vertex = static_cast<uint16_t>(m_vertex->GetIndex());
  *graphIndex = m_graphIndex;
  return true;
}

// --- IPathFinder -----------------------------------------------------------------------------------

IPathFinder::IPathFinder(CBrain* owner)
    : CService(owner),
      m_actionClass(nullptr),
      m_constraints(nullptr),
      m_constraintCount(0),
      m_constraint(nullptr),
      m_constraintCreated(false) {
  CActionClass* brainActions = owner != nullptr ? owner->GetActionClass() : nullptr;
  const CActionClassDesc* desc = brainActions != nullptr ? brainActions->GetClassDesc() : nullptr;
  if (desc != nullptr && desc->GetCreateFunction() != nullptr) m_actionClass = desc->GetCreateFunction()();
  m_constraints = NewObjectTable<CConstraint>(CConstraintDesc::GetRegistry().GetCount(), &m_constraintCount);
}

IPathFinder::~IPathFinder() {
  for (uint32_t i = 0; i < m_constraintCount; ++i) delete m_constraints[i];
  Vusk::EngineFree(m_constraints);
  delete m_actionClass;
}

void IPathFinder::Reset() {}

bool IPathFinder::FindNextMoveToEntity(const CPathTarget* target) {
  return target != nullptr && FindNextMoveToPosition(target->GetPosition());
}

CConstraint* IPathFinder::GetConstraint() { return m_constraint; }

bool IPathFinder::SetConstraint(const CConstraintDesc* descriptor) {
  m_constraintCreated = false;
  // A class registered after this object was built has no entry; an abstract class makes nothing.
  if (descriptor == nullptr || descriptor->GetIndex() < 0 ||
      static_cast<uint32_t>(descriptor->GetIndex()) >= m_constraintCount || descriptor->GetCreateFunction() == nullptr)
    return false;
  CConstraint*& entry = m_constraints[descriptor->GetIndex()];
  if (entry == nullptr) {
    entry = descriptor->GetCreateFunction()();
    if (entry == nullptr) return false;
    m_constraintCreated = true;
  }
  m_constraint = entry;
  return true;
}

// --- CPathFinder: construction and configuration ------------------------------------------------------

CService* CPathFinder::Create(CBrain* owner) { return new CPathFinder(owner); }

CPathFinder::CPathFinder(CBrain* owner)
    : IPathFinder(owner),
      m_distMinNewGoal(0),
      m_distGoal(0),
      m_distStop(0),
      m_distGoalSlowDown(0),
      m_distSlowDown(0),
      m_maxDeltaHeight(0),
      m_distSubgoalMax(0),
      m_maxDeltaAngle(45.0f),
      m_nbMaxSubgoal(1),
      m_holeHeight(0),
      m_widthRatioForHoleDetection(1.0f),
      m_holeDistToEdge(0),
      m_cpuPrudence(0.2f),
      m_avoidCpuPeaks(0),
      m_dynDelayTime(0.4f),
      m_dynRatioAttrRep(0.5f),
      m_timeMinTrigger(-1.0f),
      m_timeMaxTrigger(10.0f),
      m_stopCondition(&Vusk::SimpleStopCondition),
      m_findVertex(&Vusk::LocallyVisibleVertex),
      m_canGo(&Vusk::AlwaysGo),
      m_nextSubgoal(&Vusk::SimpleCheck),
      m_moveModeCheck(&Vusk::AlwaysGo),
      m_simpleMove(&Vusk::VisibleMove),
      m_complexMove(&Vusk::InvisibleMove),
      m_graph(nullptr),
      m_graphIndex(CVertexTarget::kNoGraph),
      m_astarData(nullptr),
      m_findNearestData(nullptr),
      m_heuristics(nullptr),
      m_heuristicCount(0),
      m_heuristic(nullptr),
      m_cpuStats(nullptr),
      m_pointMapper(nullptr),
      m_stopped(0),
      m_pathFound(0),
      m_searchDeferred(0),
      m_searchSuspended(0),
      m_goalIsCurrent(0),
      m_straightToGoal(0),
      m_accident(0),
      m_moveDue(0),
      m_repathForced(0),
      m_cachedStart(nullptr),
      m_cachedGoal(nullptr),
      m_subgoalIndex(-1),
      m_holeCounter(0),
      m_savedStart(nullptr),
      m_savedGoalVertex(nullptr),
      m_subgoalDistance(-1.0f),
      m_graphStamp(0),
      m_maxSpeedAttribute(nullptr),
      m_widthAttribute(nullptr),
      m_rotate(nullptr),
      m_steering(nullptr),
      m_acceleration(nullptr),
      m_speed(nullptr),
      m_taskAstar(-1),
      m_taskCheckAccident(-1),
      m_taskNewSubgoal(-1),
      m_taskGoto(-1),
      m_threatFound(0),
      m_nearestThreat(nullptr),
      m_leastContactTime(1000000.0f),
      m_threatCount(0),
      m_threats{},
      m_avoidUntil(0.0f),
      m_avoiding(0),
      m_callbackRegistered(false) {
  m_heuristics = NewObjectTable<CHeuristic>(CHeuristicDesc::GetRegistry().GetCount(), &m_heuristicCount);
  if (m_constraintCount > 0) m_cpuStats = new CAstarCpuStats[m_constraintCount];
}

CPathFinder::~CPathFinder() {
  if (m_callbackRegistered) Vusk::RemoveGraphChangeCallback(&CPathFinder::OnGraphChanged, this, GetOwner());
  // The graph must not keep pointers to objects that die with this path finder.
  if (m_graph != nullptr) {
    for (uint32_t i = 0; i < m_constraintCount; ++i)
      if (m_constraints[i] != nullptr && m_graph->GetConstraint() == m_constraints[i]) m_graph->SetConstraint(nullptr);
    for (uint32_t i = 0; i < m_heuristicCount; ++i)
      if (m_heuristics[i] != nullptr && m_graph->GetHeuristic() == m_heuristics[i]) m_graph->SetHeuristic(nullptr);
  }
  delete[] m_cpuStats;
  for (uint32_t i = 0; i < m_heuristicCount; ++i) delete m_heuristics[i];
  Vusk::EngineFree(m_heuristics);
}

const CServiceDesc* CPathFinder::GetClassDesc() const { return &s_classDesc; }

CEntity* CPathFinder::GetOwner() const { return GetBrain() != nullptr ? GetBrain()->GetOwner() : nullptr; }

float CPathFinder::GetMaxSpeed() const { return m_maxSpeedAttribute != nullptr ? m_maxSpeedAttribute->value : 0.0f; }

float CPathFinder::GetWidth() const { return m_widthAttribute != nullptr ? m_widthAttribute->value : 0.0f; }

bool CPathFinder::ReadParam(CConfigNode* node) {
  const char* name = node->GetName();
  const char* value = node->GetValue();
  if (name == nullptr || value == nullptr) return false;
  const float s = Vusk::GetCurrentOneMeter();
  struct Scaled {
    const char* key;
    float* field;
    bool scaled;
  };
  const Scaled floats[] = {
      {"DistMinNewGoal", &m_distMinNewGoal, true},
      {"DistGoal", &m_distGoal, true},
      {"DistStop", &m_distStop, true},
      {"DistGoalSlowDown", &m_distGoalSlowDown, true},
      {"DistSlowDown", &m_distSlowDown, true},
      {"MaxDeltaHeight", &m_maxDeltaHeight, true},
      {"DistSubgoalMax", &m_distSubgoalMax, true},
      {"HoleHeight", &m_holeHeight, true},
      {"HoleDistToEdge", &m_holeDistToEdge, true},
      {"WidthRatioForHoleDetection", &m_widthRatioForHoleDetection, false},
      {"DynDelayTime", &m_dynDelayTime, false},
      {"DynRatioAttrRep", &m_dynRatioAttrRep, false},
      {"TimeMinTrigger", &m_timeMinTrigger, false},
      {"TimeMaxTrigger", &m_timeMaxTrigger, false},
  };
  for (const Scaled& entry : floats) {
    if (_stricmp(name, entry.key) == 0) {
      const float number = static_cast<float>(crt_atof(value));
      *entry.field = entry.scaled ? number * s : number;
      return true;
    }
  }
  if (_stricmp(name, "Graph") == 0) return SetGraphByName(value);
  if (_stricmp(name, "MaxDeltaAngle") == 0) {
    float angle = static_cast<float>(crt_atof(value));
    if (angle > 360.0f) angle -= 360.0f;
    if (angle < 0.0f) angle += 360.0f;
    m_maxDeltaAngle = angle;
    return true;
  }
  if (_stricmp(name, "NbMaxSubgoal") == 0) {
    m_nbMaxSubgoal = crt_atoi(value);
    return true;
  }
  if (_stricmp(name, "CpuPrudence") == 0) {
    m_cpuPrudence = static_cast<float>(crt_atof(value));
    for (uint32_t i = 0; i < m_constraintCount && m_cpuStats != nullptr; ++i) m_cpuStats[i].m_prudence = m_cpuPrudence;
    return true;
  }
  if (_stricmp(name, "AvoidCpuPeaks") == 0) {
    m_avoidCpuPeaks = crt_atoi(value) != 0 ? 1 : 0;
    return true;
  }
  if (_stricmp(name, "MaxPathSize") == 0) {
    // A negative size would wrap to a huge allocation; 0 means the default, applied at the end of Init.
    // A path the machine cannot hold is refused by Resize.
    const int size = crt_atoi(value);
    if (size < 0) return false;
    return m_path.Resize(static_cast<uint32_t>(size)) || size == 0;
  }
  if (_stricmp(name, "StopCondition") == 0 || _stricmp(name, "NextSubgoal") == 0) {
    StopConditionFn function = Vusk::GetStopConditionRegistry().FindFunction(value);
    if (function == nullptr) return false;
    (_stricmp(name, "StopCondition") == 0 ? m_stopCondition : m_nextSubgoal) = function;
    return true;
  }
  if (_stricmp(name, "FindVertex") == 0) {
    FindVertexFn function = Vusk::GetFindVertexRegistry().FindFunction(value);
    if (function == nullptr) return false;
    m_findVertex = function;
    return true;
  }
  if (_stricmp(name, "MoveModeCheck") == 0 || _stricmp(name, "CanGo") == 0) {
    CanGoFn function = Vusk::GetCanGoRegistry().FindFunction(value);
    if (function == nullptr) return false;
    (_stricmp(name, "CanGo") == 0 ? m_canGo : m_moveModeCheck) = function;
    return true;
  }
  if (_stricmp(name, "SimpleMove") == 0 || _stricmp(name, "ComplexMove") == 0) {
    MoveFn function = Vusk::GetMoveRegistry().FindFunction(value);
    if (function == nullptr) return false;
    (_stricmp(name, "SimpleMove") == 0 ? m_simpleMove : m_complexMove) = function;
    return true;
  }
  return false;
}

bool CPathFinder::Init(CConfigNode* definition) {
  if (definition == nullptr) return false;
  m_stopCondition = &Vusk::SimpleStopCondition;
  m_findVertex = &Vusk::LocallyVisibleVertex;
  m_moveModeCheck = &Vusk::AlwaysGo;
  m_simpleMove = &Vusk::VisibleMove;
  m_complexMove = &Vusk::InvisibleMove;
  m_nextSubgoal = &Vusk::SimpleCheck;
  m_canGo = &Vusk::AlwaysGo;
  SetConstraint(CConstraintDesc::Find("CConstraintShortestPath"));
  SetHeuristic(CHeuristicDesc::Find("CHeuristicEuclidianDistance"));
  CWorld* world = Vusk::GetCurrentWorld();
  const float s = Vusk::GetCurrentOneMeter();
  m_distMinNewGoal = 0.5f * s;
  m_distGoal = 0.75f * s;
  m_distStop = 0.75f * s;
  m_distGoalSlowDown = 3.0f * s;
  m_distSlowDown = s;
  m_maxDeltaHeight = s;
  m_distSubgoalMax = 100.0f * s;
  m_maxDeltaAngle = 45.0f;
  m_nbMaxSubgoal = 1;
  m_holeHeight = 0.5f * s;
  m_widthRatioForHoleDetection = 1.0f;
  m_holeDistToEdge = world != nullptr ? s : 0.0f;
  m_cpuPrudence = 0.2f;
  m_avoidCpuPeaks = 0;
  m_dynDelayTime = 0.4f;
  m_dynRatioAttrRep = 0.5f;
  m_timeMinTrigger = -1.0f;
  m_timeMaxTrigger = 10.0f;
  m_threatFound = 0;
  m_nearestThreat = nullptr;
  m_threatCount = 0;
  m_avoiding = 0;
  m_avoidUntil = 0.0f;
  SetGraph(nullptr);
  m_pointMapper =
      world != nullptr ? static_cast<CPointMapper*>(world->GetGlobalService(&CPointMapper::s_classDesc)) : nullptr;
  if (!CService::Init(definition)) return false;

  CEntity* owner = GetOwner();
  m_maxSpeedAttribute = owner != nullptr ? owner->FindAttribute<CEntityMaxSpeed>() : nullptr;
  m_widthAttribute = owner != nullptr ? owner->FindAttribute<CEntityWidth>() : nullptr;
  if (m_actionClass != nullptr) {
    m_rotate = m_actionClass->FindAction<CActionRotate>();
    m_steering = m_actionClass->FindAction<CActionSteering>();
    m_acceleration = m_actionClass->FindAction<CActionAcceleration>();
    m_speed = m_actionClass->FindAction<CActionSpeed>();
  }
  if (m_rotate != nullptr) m_rotate->value = 0.0f, m_rotate->set = 1;
  if (m_steering != nullptr) m_steering->value = 0.0f, m_steering->set = 1;
  if (m_acceleration != nullptr) m_acceleration->value = 0.0f, m_acceleration->set = 1;
  if (m_speed != nullptr) m_speed->value = 0.0f, m_speed->set = 1;
  if (CTimeManager* time = TimeManager()) {
    m_taskAstar = time->FindTask("CPathFinder::FindNextMove::ASTAR");
    m_taskCheckAccident = time->FindPeriodicTask("CPathFinder::FindNextMove::CheckAccident");
    m_taskNewSubgoal = time->FindPeriodicTask("CPathFinder::FindNextMove::NewSubGoal");
    m_taskGoto = time->FindPeriodicTask("CPathFinder::FindNextMove::Goto");
  }
  if (!HasOneTurnAction() || !HasOneSpeedAction() || !HasMaxSpeedAttribute() || !HasWidthAttribute() ||
      !HasFindVertexData())
    return false;
  if (m_path.m_capacity == 0 && !m_path.Resize(kDefaultPathSize)) return false;
  if (!m_removedHook.Register()) return false;
  if (PathObjectManager() != nullptr)
    m_callbackRegistered = Vusk::AddGraphChangeCallback(&CPathFinder::OnGraphChanged, this, owner);
  return true;
}

bool CPathFinder::HasOneTurnAction() { return (m_rotate != nullptr) != (m_steering != nullptr); }
bool CPathFinder::HasOneSpeedAction() { return (m_acceleration != nullptr) != (m_speed != nullptr); }
bool CPathFinder::HasMaxSpeedAttribute() { return m_maxSpeedAttribute != nullptr; }
bool CPathFinder::HasWidthAttribute() { return m_widthAttribute != nullptr; }
bool CPathFinder::HasFindVertexData() {
  return m_findVertex != &Vusk::NearestVertexOpt || m_findNearestData != nullptr;
}

bool CPathFinder::SetConstraint(const CConstraintDesc* descriptor) {
  if (descriptor == nullptr || !Vusk::IsKindOf(descriptor, &CConstraint::s_classDesc)) return false;
  if (!IPathFinder::SetConstraint(descriptor)) return false;
  if (m_constraintCreated) m_constraint->SetGraph(m_graph);
  return true;
}

void CPathFinder::SetHeuristic(const CHeuristicDesc* descriptor) {
  if (descriptor == nullptr || descriptor->GetIndex() < 0 ||
      static_cast<uint32_t>(descriptor->GetIndex()) >= m_heuristicCount || descriptor->GetCreateFunction() == nullptr)
    return;
  CHeuristic*& entry = m_heuristics[descriptor->GetIndex()];
  if (entry == nullptr) {
    entry = descriptor->GetCreateFunction()();
    if (entry == nullptr) return;
    entry->SetGraph(m_graph);
  }
  m_heuristic = entry;
}

CHeuristic* CPathFinder::GetHeuristic() { return m_heuristic; }

void CPathFinder::BindGraph(CSpatialGraph* graph, const char* name) {
  m_graph = graph;
  m_graphIndex = CVertexTarget::kNoGraph;
  uint16_t index = CVertexTarget::kNoGraph;
  if (graph != nullptr && name != nullptr && m_pointMapper != nullptr && m_pointMapper->FindGraphIndex(name, &index))
    m_graphIndex = index;
  m_astarData =
      graph != nullptr ? static_cast<CAstarData*>(Vusk::FindWorldGraphData(graph, &CAstarData::s_classDesc)) : nullptr;
  m_findNearestData =
      graph != nullptr ? static_cast<CFindNearestData*>(Vusk::FindWorldGraphData(graph, &CFindNearestData::s_classDesc))
                       : nullptr;
  for (uint32_t i = 0; i < m_heuristicCount; ++i)
    if (m_heuristics[i] != nullptr) m_heuristics[i]->SetGraph(graph);
  for (uint32_t i = 0; i < m_constraintCount; ++i)
    if (m_constraints[i] != nullptr) m_constraints[i]->SetGraph(graph);
}

bool CPathFinder::SetGraphByName(const char* name) {
  CGraphManager* manager = Vusk::GetGraphManager();
  CSpatialGraph* graph = manager != nullptr && name != nullptr ? manager->FindGraph(name) : nullptr;
  if (graph == nullptr) return false;
  BindGraph(graph, name);
  return true;
}

bool CPathFinder::SetGraph(CSpatialGraph* graph) {
  if (graph == nullptr) {
    BindGraph(nullptr, nullptr);
    return true;
  }
  CGraphManager* manager = Vusk::GetGraphManager();
  if (manager == nullptr) return false;
  // The point-mapper index is asked with the name of the entry that holds the graph.
  const char* name = nullptr;
  for (uint32_t i = 0; i < manager->GetEntryCount() && name == nullptr; ++i)
    if (manager->GetEntry(i)->m_graph == graph) name = manager->GetEntry(i)->m_name;
  BindGraph(graph, name);
  return true;
}

// --- CPathFinder: steps -----------------------------------------------------------------------------

void CPathFinder::Reset() {
  m_path.m_pointCount = 0;
  m_path.m_remainingLength = 0.0f;
  m_stopped = 0;
  m_pathFound = 0;
  m_cachedStart = nullptr;
  m_cachedGoal = nullptr;
  m_subgoalIndex = -1;
  m_savedStart = nullptr;
  m_savedGoalVertex = nullptr;
  m_repathForced = 0;
  m_holeCounter = 0;
  CEntity* owner = GetOwner();
  if (owner != nullptr) {
    m_subgoal = owner->GetPosition();
    m_goal = owner->GetPosition();
  }
  const float zero = 0.0f;
  MarkFirstSet(m_acceleration, m_speed, &zero);
  MarkFirstSet(m_rotate, m_steering, &zero);
}

bool CPathFinder::FindNextMoveToPosition(const CVector3& position) { return FindNextMove(position, nullptr); }

bool CPathFinder::FindNextMoveToEntity(const CPathTarget* target) {
  if (target == nullptr) return false;
  return FindNextMove(target->GetPosition(), target);
}

bool CPathFinder::FindNextMove(const CVector3& goal, const CPathTarget* target) {
  CEntity* owner = GetOwner();
  if (owner == nullptr) return false;
  if (m_actionClass != nullptr) m_actionClass->ClearActions();
  m_stopped = 0;
  m_ownerPosition = owner->GetPosition();
  m_moveDue = 1;
  m_goal = goal;
  m_requestedGoal = goal;
  if (m_graph != nullptr && m_graph->RecordsWentSince(&m_graphStamp)) ForgetGraphRecords();
  CMoveOrder move;
  const bool ran = RunStages(&move, target);
  m_segmentObject = nullptr;
  if (!ran) return false;
  if (m_stopped || !m_moveDue) return true;
  return ComputeMove(move);
}

bool CPathFinder::RunStages(CMoveOrder* move, const CPathTarget* target) {
  CEntity* owner = GetOwner();
  const CVector3 subgoalAtStart = m_subgoal;
  // 1-2: the to-goal vector and a standing move.
  m_goalIsCurrent = 1;
  m_toGoal = m_ownerPosition - m_goal;
  if (m_searchDeferred) {
    m_toGoal = m_ownerPosition - m_savedGoal;
    m_goalIsCurrent = 0;
  }
  move->m_speed = 0.0f;
  move->m_direction = owner->GetDirection();
  // 3: arrived.
  if (m_stopCondition(this)) {
    *move = m_lastMove;
    move->m_speed = 0.0f;
    m_stopped = 1;
    m_searchDeferred = 0;
    return true;
  }
  // 4: the path object in charge of the present segment. Each use reads it afresh: what the step calls
  // (a path object's functions, the search pricing edges) may end it, and the step then goes on as
  // without one; the removal asked for a new path.
  m_segmentObject =
      m_subgoalIndex > 0 && m_subgoalIndex <= m_path.m_pointCount ? m_path.m_pathObjects[m_subgoalIndex - 1] : nullptr;
  // 5: does the path need computing?
  bool compute = false;
  bool accident = false;
  if (m_repathForced) {
    compute = m_segmentObject == nullptr || m_segmentObject->CanLeave(owner);
    m_lastMove.m_speed = 0.0f;
  } else if (m_searchSuspended) {
    compute = true;
  } else if (CVector3::DistanceSquared(m_goal, m_lastPathGoal) > m_distMinNewGoal * m_distMinNewGoal &&
             (m_segmentObject == nullptr || m_segmentObject->CanLeave(owner))) {
    compute = true;
  } else if (m_path.m_cutShort && m_subgoalIndex + 2 >= m_path.m_pointCount) {
    compute = true;
    m_repathForced = 1;
  } else {
    m_accident = m_segmentObject != nullptr ? (m_segmentObject->NeedsRepath(owner) ? 1 : 0) : (CheckAccident() ? 1 : 0);
    compute = m_accident != 0;
  }
  accident = m_accident != 0;
  // 6: may it run now?
  bool computedNow = false;
  if (compute) {
    CTimeManager* time = TimeManager();
    if (time == nullptr || !time->BeginTask(m_taskAstar, owner)) {
      m_searchDeferred = 1;
      m_goal = m_savedGoal;
      m_cachedStart = m_savedStart;
      m_cachedGoal = m_savedGoalVertex;
      if (m_searchSuspended && time != nullptr) time->SetFirstEntity(owner);
    } else {
      m_searchDeferred = 0;
    }
  }
  // 7: compute it.
  if (!m_searchDeferred && compute) {
    m_stopped = 0;
    m_lastPathGoal = m_goal;
    bool changed = false;
    m_pathFound = ComputePath(accident, &changed, target) ? 1 : 0;
    m_straightToGoal = 0;
    m_repathForced = 0;
    if (CTimeManager* time = TimeManager()) time->EndTask(m_taskAstar, owner);
    m_lastPathOwnerPosition = m_ownerPosition;
    m_savedGoal = m_goal;
    m_savedStart = m_cachedStart;
    m_savedGoalVertex = m_cachedGoal;
    computedNow = true;
    if (m_searchSuspended) {
      m_pathFound = 0;
      return true;
    }
    if (m_pathFound && (changed || accident)) {
      const int32_t same = accident ? -1 : m_path.FindPoint(m_subgoal);
      if (same >= 0) {
        m_subgoalIndex = same;
      } else if (m_path.m_pointCount == 0) {
        m_subgoalIndex = -1;
        m_subgoal = m_goal;
      } else {
        m_subgoalIndex = 0;
        m_subgoal = m_path.m_points[0];
      }
    }
  }
  // 8: nothing to follow.
  if (m_searchSuspended) {
    m_pathFound = 0;
    return true;
  }
  if (!m_pathFound) {
    // A refused computation is not a missing route: keep going as before and try again later.
    if (m_searchDeferred) {
      *move = m_lastMove;
      return true;
    }
    // No route: the owner stands, and a later step whose search is put off re-issues standing, not
    // a move made for an earlier goal.
    m_lastMove.m_speed = 0.0f;
    return false;
  }
  // 9-11: the sub-goal and the move.
  bool buildMove = false;
  bool segmentMove = false;
  if (computedNow || IsDue(m_taskNewSubgoal, owner)) {
    if (m_segmentObject != nullptr) {
      segmentMove = true;
    } else {
      if (m_holeCounter == 0) {
        m_nextSubgoal(this);
      } else {
        const int32_t before = m_subgoalIndex;
        if (m_holeCounter == 2)
          m_nextSubgoal(this);
        else
          Vusk::SimpleCheck(this);
        if (m_subgoalIndex != before) --m_holeCounter;
      }
      MarkRun(m_taskNewSubgoal, owner);
      buildMove = true;
    }
  } else if (m_segmentObject == nullptr) {
    if (IsDue(m_taskGoto, owner))
      buildMove = true;
    else
      *move = m_lastMove;
  } else {
    segmentMove = true;
  }
  if (buildMove) {
    MarkRun(m_taskGoto, owner);
    if (m_moveModeCheck(this, m_subgoal))
      m_simpleMove(this, move, m_subgoal);
    else
      m_complexMove(this, move, m_subgoal);
    m_predictedPosition = m_ownerPosition + CVector3::Scale(move->m_speed * 0.1f, move->m_direction);
    m_lastMove = *move;
  } else if (segmentMove) {
    bool reached = false;
    CVector3 target;
    const CVector3 point =
        m_subgoalIndex >= 0 && m_subgoalIndex < m_path.m_pointCount ? m_path.m_points[m_subgoalIndex] : m_subgoal;
    if (m_segmentObject->ComputeMove(owner, point, m_actionClass, &reached, &target))
      m_moveDue = 0;
    else
      m_simpleMove(this, move, m_subgoal);
    if (reached) {
      if (m_subgoalIndex + 1 < m_path.m_pointCount) {
        ++m_subgoalIndex;
        m_subgoal = m_path.m_points[m_subgoalIndex];
      } else {
        m_subgoal = m_goal;
      }
    }
    MarkRun(m_taskGoto, owner);
  }
  // 12
  if (!SameVector(m_subgoal, subgoalAtStart)) OnNewSubgoal();
  return true;
}

bool CPathFinder::ComputePath(bool accident, bool* changed, const CPathTarget* target) {
  CEntity* owner = GetOwner();
  CGraphVertex* start = m_graph != nullptr ? m_findVertex(this, m_ownerPosition, true, false) : nullptr;
  CGraphVertex* goal = target != nullptr ? FindVertexForObject(target) : nullptr;
  if (goal == nullptr && m_graph != nullptr) goal = m_findVertex(this, m_goal, false, true);
  // A point the finder places on no vertex (none within its reach) goes by the vertex nearest it, so
  // that an owner or a goal off the graph is walked to as near as the graph goes.
  if (m_graph != nullptr && start == nullptr) start = Vusk::FindNearestVertex(m_graph, m_ownerPosition, true, false);
  if (m_graph != nullptr && goal == nullptr) goal = Vusk::FindNearestVertex(m_graph, m_goal, false, true);
  if (!m_searchSuspended && (!accident || start == m_cachedStart) && goal == m_cachedGoal && !m_repathForced) {
    *changed = false;
    return m_pathFound != 0;
  }
  *changed = true;
  m_cachedStart = start;
  m_cachedGoal = goal;
  if (start == nullptr || goal == nullptr) return false;
  m_path.m_pointCount = 0;
  m_path.m_remainingLength = 0.0f;
  if (m_astarData != nullptr && m_constraint != nullptr &&
      m_constraint->GetClassDesc() == &CConstraintShortestPath::s_classDesc)
    return m_astarData->Lookup(start->GetIndex(), goal->GetIndex(), &m_path);
  m_graph->SetConstraint(m_constraint);
  m_graph->SetHeuristic(m_heuristic);
  if (!m_avoidCpuPeaks) return Vusk::AstarSearch(m_graph, &m_path, start, goal, owner);
  CTimeManager* time = TimeManager();
  float budget = time != nullptr ? time->GetTaskTimeLeft(m_taskAstar) : 0.0f;
  if (!(budget >= 0.0005f)) budget = 0.0005f;
  m_searchSuspended = 0;
  const int32_t statsIndex = m_constraint != nullptr ? m_constraint->GetClassDesc()->GetIndex() : -1;
  CAstarCpuStats* stats = statsIndex >= 0 && static_cast<uint32_t>(statsIndex) < m_constraintCount && m_cpuStats
                              ? &m_cpuStats[statsIndex]
                              : nullptr;
  if (stats == nullptr) return false;
  const int result =
      Vusk::AstarSearchTimeSliced(m_graph, &m_path, start, goal, owner, stats, budget, m_repathForced != 0);
  if (result == Vusk::kAstarFound) return true;
  if (result == Vusk::kAstarSuspended) {
    m_searchSuspended = 1;
    if (time != nullptr) time->SetFirstEntity(owner);
    return true;
  }
  return false;
}

CGraphVertex* CPathFinder::FindVertexForObject(const CPathTarget* target) {
  if (target == nullptr || m_graph == nullptr) return nullptr;
  uint16_t vertex = 0, graphIndex = 0;
  if (m_pointMapper != nullptr && m_graphIndex != CVertexTarget::kNoGraph && target->GetVertex(&vertex, &graphIndex)) {
    if (graphIndex == m_graphIndex) return m_graph->GetVertex(vertex);
    uint16_t mapped = 0;
    if (m_pointMapper->MapPoint(target, m_graphIndex, &mapped)) return m_graph->GetVertex(mapped);
  }
  return m_findVertex(this, target->GetPosition(), false, true);
}

bool CPathFinder::EstimateBetween(const CPathTarget* a, const CPathTarget* b, float* out) {
  CGraphVertex* first = FindVertexForObject(a);
  CGraphVertex* second = FindVertexForObject(b);
  if (first == nullptr || second == nullptr || m_heuristic == nullptr) return false;
  return m_heuristic->Estimate(GetOwner(), first, second, out);
}

bool CPathFinder::CheckAccident() {
  if (m_accident) return true;
  CEntity* owner = GetOwner();
  if (!IsDue(m_taskCheckAccident, owner)) return false;
  const float d = Distance(m_ownerPosition, m_subgoal);
  if (m_subgoalDistance >= 0.0f && 0.95f * m_subgoalDistance >= d) {
    m_subgoalDistance = d;
    return false;
  }
  m_accident = 1;
  MarkRun(m_taskCheckAccident, owner);
  m_subgoalDistance = d;
  return true;
}

void CPathFinder::ForgetGraphRecords() {
  const bool held = m_path.m_pointCount > 0 || m_cachedStart != nullptr || m_cachedGoal != nullptr ||
                    m_savedStart != nullptr || m_savedGoalVertex != nullptr;
  m_cachedStart = m_cachedGoal = m_savedStart = m_savedGoalVertex = nullptr;
  // The points stay to be walked until the new route comes; their indices name nothing now.
  for (int32_t i = 0; i < m_path.m_pointCount; ++i) m_path.m_vertexIndices[i] = m_path.m_edgeIndices[i] = -1;
  if (held) m_repathForced = 1;
}

void CPathFinder::OnNewSubgoal() {
  m_subgoalDistance = Distance(m_ownerPosition, m_subgoal);
  MarkRun(m_taskCheckAccident, GetOwner());
  m_accident = 0;
}

bool CPathFinder::ComputeMove(const CMoveOrder& move) {
  CEntity* owner = GetOwner();
  if (m_searchDeferred) {
    // The present values are issued again.
    MarkFirstSet(m_acceleration, m_speed, nullptr);
    MarkFirstSet(m_rotate, m_steering, nullptr);
  }
  float speed = move.m_speed;
  const float heading = owner->GetAngles().y;
  const float length = move.m_direction.Length();
  // A zero direction (standing on the point, or a point straight above) keeps the heading.
  const CVector3 dir = length > 0.0f ? CVector3::Scale(1.0f / length, move.m_direction) : CVector3(0.0f, 0.0f, 0.0f);
  if (m_steering == nullptr) {
    if (m_rotate == nullptr) return false;
    float angle = 0.0f;
    if (length > 0.0f) {
      const CVector3& forward = owner->GetDirection();
      const float c = CVector3::Dot(dir, forward);
      angle = c >= 1.0f ? 0.0f : c <= -1.0f ? 180.0f : std::acos(c) / Vusk::kDegToRad;
      if (dir.x * forward.z - dir.z * forward.x <= 0.0f) angle = -angle;
    }
    float newHeading = CVector3::WrapAngle180(heading + angle);
    const float turn = std::fabs(angle);
    if (turn > 0.0f && turn >= m_maxDeltaAngle) {
      speed = speed * m_maxDeltaAngle / turn;
      newHeading = angle > 0.0f ? heading + m_maxDeltaAngle : heading - m_maxDeltaAngle;
    }
    m_rotate->value = newHeading;
    m_rotate->set = 1;
  } else {
    float value = 0.0f;
    if (length > 0.0f) {
      const float delta = CVector3::WrapAngle180(Vusk::DirectionToAngle(dir).y - heading);
      if (std::fabs(delta) < m_maxDeltaAngle)
        value = delta / m_maxDeltaAngle;
      else
        value = delta > 0.0f ? 1.0f : -1.0f;
    }
    m_steering->value = value;
    m_steering->set = 1;
  }
  if (m_acceleration != nullptr) {
    const float current = owner->GetSpeed();
    m_acceleration->value = speed > current ? 1.0f : speed < current ? -1.0f : 0.0f;
    m_acceleration->set = 1;
    return true;
  }
  if (m_speed != nullptr) {
    m_speed->value = speed;
    m_speed->set = 1;
    return true;
  }
  return false;
}

bool CPathFinder::IsGoalReached() {
  if (m_searchDeferred) return false;
  return m_goalIsCurrent && m_stopped;
}

float CPathFinder::GetRemainingDistance() {
  if (IsGoalReached() || m_path.m_pointCount == 0 || SameVector(m_subgoal, m_goal))
    return Distance(m_ownerPosition, m_goal);
  float total = Distance(m_ownerPosition, m_subgoal);
  const int32_t last = m_path.m_pointCount - 1;
  for (int32_t i = m_subgoalIndex < 0 ? 0 : m_subgoalIndex; i < last; ++i)
    total += Distance(m_path.m_points[i], m_path.m_points[i + 1]);
  return total + Distance(m_path.m_points[last], m_goal);
}

void CPathFinder::RequestRepath() { m_repathForced = 1; }

void CPathFinder::NotifyGraphChanged(CSpatialGraph*) { m_repathForced = 1; }

void CPathFinder::OnGraphChanged(void* graph, void* pathFinder) {
  static_cast<CPathFinder*>(pathFinder)->NotifyGraphChanged(static_cast<CSpatialGraph*>(graph));
}

void CPathFinder::OnEntityRemoved(CEntity* entity, void* pathFinder) {
  auto* self = static_cast<CPathFinder*>(pathFinder);
  if (self->m_segmentObject != nullptr && static_cast<CEntity*>(self->m_segmentObject) == entity)
    self->m_segmentObject = nullptr;
  if (self->m_path.m_pathObjects == nullptr) return;
  bool named = false;
  for (int32_t i = 0; i < self->m_path.m_pointCount; ++i) {
    if (self->m_path.m_pathObjects[i] != nullptr && static_cast<CEntity*>(self->m_path.m_pathObjects[i]) == entity) {
      self->m_path.m_pathObjects[i] = nullptr;
      named = true;
    }
  }
  if (named) self->m_repathForced = 1;
}

bool Vusk::CheckPathFinderClass() { return CPathFinder::s_classDesc.GetIndex() != -1; }
