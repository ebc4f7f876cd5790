// The path finder: the brain service that moves its owner entity towards a goal over a navigation graph.
//
// Each FindNextMove call is one step of a small pipeline: has the owner arrived, must the path be
// (re)computed, compute it (A*, a precomputed route table, or an A* search spread over several frames),
// choose the next sub-goal along the path (possibly cutting corners), build a move (direction and
// speed) towards it, and turn that move into the owner's turn and speed actions. The stages are
// function pointers chosen by name from the strategy registries (path_strategies.h); the costly ones
// run under named tasks of the time manager.
#pragma once

#include <cstdint>

#include "ai/navigation/astar.h"
#include "ai/runtime/class_desc.h"
#include "ai/runtime/service.h"
#include "ai/runtime/vector3.h"
#include "ai/runtime/world.h"

class CActionAcceleration;
class CActionClass;
class CActionRotate;
class CActionSpeed;
class CActionSteering;
class CAstarData;
class CConstraint;
class CEntity;
class CEntityMaxSpeed;
class CEntityWidth;
class CFindNearestData;
class CGraphVertex;
class CHeuristic;
class CPathFinder;
class CPointMapper;
class CSpatialGraph;

// Anything the path finder can be sent to or can estimate a distance to.
class CPathTarget : public CEngineObject {
public:
  virtual CVector3 GetPosition() const = 0;
  // The graph vertex the target stands for: its index and the graph's point-mapper index.
  virtual bool GetVertex(uint16_t* vertex, uint16_t* graphIndex) const = 0;
};

// A path target standing for one graph vertex.
class CVertexTarget : public CPathTarget {
public:
  static constexpr uint16_t kNoGraph = 65535;
  CVertexTarget(CGraphVertex* vertex, uint16_t graphIndex) : m_vertex(vertex), m_graphIndex(graphIndex) {}
  // The vertex's position; the zero vector without a vertex.
  CVector3 GetPosition() const override;
  // False without a vertex or a graph index.
  bool GetVertex(uint16_t* vertex, uint16_t* graphIndex) const override;

  CGraphVertex* m_vertex;  // the vertex, or null
  uint16_t m_graphIndex;   // point-mapper index of its graph; 65535: none
};

// A move built by a move strategy.
struct CMoveOrder {
  float m_speed = 0.0f;  // host units per second
  CVector3 m_direction;  // direction of the move (not always unit length)
  CVector3 m_extra1;     // carried along for the strategies' callers; not read here
  CVector3 m_extra2;     // carried along for the strategies' callers; not read here
  uint8_t m_flag = 0;    // carried along for the strategies' callers; not read here
};

// Strategy signatures; `self` is the calling path finder.
using StopConditionFn = bool (*)(CPathFinder* self);
using FindVertexFn = CGraphVertex* (*)(CPathFinder* self, const CVector3& point, bool requireOutgoing,
                                       bool requireIncoming);
using CanGoFn = bool (*)(CPathFinder* self, const CVector3& point);
using MoveFn = bool (*)(CPathFinder* self, CMoveOrder* move, const CVector3& point);

// Interface of the path finder family, as the agents use it.
class IPathFinder : public CService {
public:
  static CServiceDesc s_classDesc;  // "IPathFinder" (abstract)

  // Creates the own action class (the brain's class) and the per-class constraint table.
  explicit IPathFinder(CBrain* owner);
  // Deletes the constraint objects and the own action class.
  ~IPathFinder() override;

  virtual void Reset();
  // Goes towards the target's position.
  virtual bool FindNextMoveToEntity(const CPathTarget* target);
  virtual bool FindNextMoveToPosition(const CVector3& position) = 0;
  // Estimated cost between the vertices of two targets; false when either has none.
  virtual bool EstimateBetween(const CPathTarget* a, const CPathTarget* b, float* out) = 0;
  virtual CConstraint* GetConstraint();
  // Makes the descriptor's class the current constraint, creating its object on first selection.
  // False for an abstract class or one registered after this object was built.
  virtual bool SetConstraint(const CConstraintDesc* descriptor);
  virtual bool IsGoalReached() = 0;
  virtual float GetRemainingDistance() = 0;

  // The actions the last step decided.
  CActionClass* GetActionClass() const { return m_actionClass; }

protected:
  CActionClass* m_actionClass;  // own decisions, of the brain's action class; owned
  CConstraint** m_constraints;  // one per constraint class, null until selected; owned
  uint32_t m_constraintCount;   // entries of m_constraints
  CConstraint* m_constraint;    // current constraint (an entry of m_constraints) or null
  bool m_constraintCreated;     // the last SetConstraint made a new object
};

class CPathFinder : public IPathFinder {
public:
  static CServiceDesc s_classDesc;  // "CPathFinder", with a class bit in the engine-wide mask
  static CService* Create(CBrain* owner);
  static constexpr uint32_t kMaxThreats = 25;
  static constexpr uint32_t kDefaultPathSize = 50;

  explicit CPathFinder(CBrain* owner);
  // Removes the graph-change callback; takes its constraint and heuristic off the graph.
  ~CPathFinder() override;

  // Defaults, the parameters, then the owner's attributes and actions, the tasks and the checks.
  bool Init(CConfigNode* definition) override;
  bool ReadParam(CConfigNode* node) override;
  // No path; the sub-goal and the goal at the owner; the speed and turn actions set to 0.
  void Reset() override;
  const CServiceDesc* GetClassDesc() const override;
  bool FindNextMoveToEntity(const CPathTarget* target) override;
  bool FindNextMoveToPosition(const CVector3& position) override;
  bool EstimateBetween(const CPathTarget* a, const CPathTarget* b, float* out) override;
  bool SetConstraint(const CConstraintDesc* descriptor) override;
  bool IsGoalReached() override;
  float GetRemainingDistance() override;

  virtual bool SetGraph(CSpatialGraph* graph);
  virtual bool SetGraphByName(const char* name);
  virtual void SetHeuristic(const CHeuristicDesc* descriptor);
  virtual CHeuristic* GetHeuristic();
  virtual void RequestRepath();
  virtual bool HasOneTurnAction();
  virtual bool HasOneSpeedAction();
  virtual bool HasMaxSpeedAttribute();
  virtual bool HasWidthAttribute();
  virtual bool HasFindVertexData();
  // Turns a move into the owner's turn and speed actions.
  virtual bool ComputeMove(const CMoveOrder& move);
  // Stuck detection: true when the owner made too little progress towards its sub-goal.
  virtual bool CheckAccident();
  virtual void NotifyGraphChanged(CSpatialGraph* graph);

  // The graph vertex for a path target (through its vertex, else the FindVertex strategy).
  CGraphVertex* FindVertexForObject(const CPathTarget* target);

  // Owner values the strategies read.
  CEntity* GetOwner() const;
  float GetMaxSpeed() const;
  float GetWidth() const;

  // --- Configuration (the keys of ReadParam; distances in host units) ---
  float m_distMinNewGoal;              // goal movement that makes a new path
  float m_distGoal;                    // horizontal arrival radius
  float m_distStop;                    // sub-goal arrival radius
  float m_distGoalSlowDown;            // slow-down distance towards the goal
  float m_distSlowDown;                // slow-down distance towards a sub-goal
  float m_maxDeltaHeight;              // vertical tolerance
  float m_distSubgoalMax;              // farthest point corner cutting may aim at
  float m_maxDeltaAngle;               // largest turn per step (degrees, 0..360)
  int32_t m_nbMaxSubgoal;              // most path points skipped at once
  float m_holeHeight;                  // depth of the hole probes
  float m_widthRatioForHoleDetection;  // side offset of the hole probes, in owner widths
  float m_holeDistToEdge;              // lateral distance beyond which holes are probed
  float m_cpuPrudence;                 // weight of the deviation in the time-sliced search
  uint8_t m_avoidCpuPeaks;             // 1: time-sliced A*
  float m_dynDelayTime;                // seconds an avoidance manoeuvre is held
  float m_dynRatioAttrRep;             // weight of the side-step against the repulsion
  float m_timeMinTrigger;              // least contact time that counts as a threat (s)
  float m_timeMaxTrigger;              // contact time below which an entity is a threat (s)

  // --- Strategies ---
  StopConditionFn m_stopCondition;
  FindVertexFn m_findVertex;
  CanGoFn m_canGo;
  StopConditionFn m_nextSubgoal;
  CanGoFn m_moveModeCheck;
  MoveFn m_simpleMove;
  MoveFn m_complexMove;

  // --- Graph and path ---
  CSpatialGraph* m_graph;               // current graph or null
  uint16_t m_graphIndex;                // its point-mapper index; 65535: none
  CPath m_path;                         // the current path
  CAstarData* m_astarData;              // the graph's route table, or null
  CFindNearestData* m_findNearestData;  // the graph's nearest-vertex data, or null
  CHeuristic** m_heuristics;            // one per heuristic class, null until selected; owned
  uint32_t m_heuristicCount;            // entries of m_heuristics
  CHeuristic* m_heuristic;              // current heuristic or null
  CAstarCpuStats* m_cpuStats;           // one per constraint class
  CPointMapper* m_pointMapper;          // the world's point mapper, or null

  // --- Step state ---
  uint8_t m_stopped;                 // the stop condition held in this step
  uint8_t m_pathFound;               // result of the last path computation
  uint8_t m_searchDeferred;          // the time manager refused the path computation this step
  uint8_t m_searchSuspended;         // a time-sliced search stopped on its budget
  uint8_t m_goalIsCurrent;           // the to-goal vector was taken against the current goal
  uint8_t m_straightToGoal;          // corner cutting sent the owner straight at the goal
  uint8_t m_accident;                // the owner is stuck (or a path object says so)
  uint8_t m_moveDue;                 // the step still has to set the actions itself
  uint8_t m_repathForced;            // the next step computes a new path
  CVector3 m_requestedGoal;          // goal given to the last step
  CVector3 m_toGoal;                 // owner position minus goal
  CVector3 m_goal;                   // goal of this step
  CVector3 m_lastPathGoal;           // goal of the last path computation
  CVector3 m_subgoal;                // current sub-goal
  CVector3 m_ownerPosition;          // owner position at the start of the step
  CVector3 m_lastPathOwnerPosition;  // owner position at the last path computation
  CVector3 m_predictedPosition;      // owner position plus a tenth of the last move
  CMoveOrder m_lastMove;             // re-issued when no new move is built
  CGraphVertex* m_cachedStart;       // start vertex of the last path computation
  CGraphVertex* m_cachedGoal;        // goal vertex of the last path computation
  int32_t m_subgoalIndex;            // path point of the sub-goal; -1: the sub-goal is the goal
  int32_t m_holeCounter;             // 0-2: sub-goal changes still made under a found hole
  CVector3 m_savedGoal;              // goal saved at the last path computation
  CGraphVertex* m_savedStart;        // start vertex saved at the last path computation
  CGraphVertex* m_savedGoalVertex;   // goal vertex saved at the last path computation
  float m_subgoalDistance;           // distance to the sub-goal when last measured; -1: never
  uint32_t m_graphStamp;             // the graph's RecordsWentSince mark of the vertices and route held

  // --- Owner ---
  CEntityMaxSpeed* m_maxSpeedAttribute;  // null when the owner has none
  CEntityWidth* m_widthAttribute;        // null when the owner has none
  CActionRotate* m_rotate;               // own actions, each null when the action class has none
  CActionSteering* m_steering;
  CActionAcceleration* m_acceleration;
  CActionSpeed* m_speed;
  int m_taskAstar;          // "CPathFinder::FindNextMove::ASTAR"
  int m_taskCheckAccident;  // "CPathFinder::FindNextMove::CheckAccident"
  int m_taskNewSubgoal;     // "CPathFinder::FindNextMove::NewSubGoal"
  int m_taskGoto;           // "CPathFinder::FindNextMove::Goto"

  // --- Dynamic avoidance ---
  uint8_t m_threatFound;            // a threat was found in the last scan
  CEntity* m_nearestThreat;         // threat with the least contact time
  float m_leastContactTime;         // its contact time (s)
  uint32_t m_threatCount;           // entries of m_threats
  CEntity* m_threats[kMaxThreats];  // threats of the last scan
  CVector3 m_avoidDirection;        // direction of the manoeuvre
  float m_avoidUntil;               // engine time until which the manoeuvre is held (s)
  uint8_t m_avoiding;               // a manoeuvre is under way

private:
  bool FindNextMove(const CVector3& goal, const CPathTarget* target);
  bool RunStages(CMoveOrder* move, const CPathTarget* target);
  bool ComputePath(bool accident, bool* changed, const CPathTarget* target);
  void OnNewSubgoal();
  // The graph lost records since the route and the vertices held were taken: they are dropped (a
  // record in their slot may be another one now) and a route held is computed again.
  void ForgetGraphRecords();
  // Makes graph current under `name` (its point-mapper index is looked up by that name).
  void BindGraph(CSpatialGraph* graph, const char* name);
  static void OnGraphChanged(void* graph, void* pathFinder);
  // Forgets a path object that leaves the world (the path or the step under way still names it) and
  // asks for a new path.
  static void OnEntityRemoved(CEntity* entity, void* pathFinder);

  bool m_callbackRegistered;  // the graph-change callback is registered
  // While a step runs: the path object in charge of the present segment, or null. The entity-removed
  // callback clears it, so that one which ends (itself, or by the host) while the step asks it or
  // another object is not asked again: the step goes on without it.
  CPathObject* m_segmentObject = nullptr;
  CEntityRemovedHook m_removedHook{&CPathFinder::OnEntityRemoved, this};
};

namespace Vusk {
// True when "CPathFinder" got a registry slot.
bool CheckPathFinderClass();
}  // namespace Vusk
