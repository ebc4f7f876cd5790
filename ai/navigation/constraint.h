// Path constraints (what an edge costs for the searching entity) and heuristics (how far a vertex is from
// the goal), each a small class family created by class name from its registry.
#pragma once

#include <cstdint>

#include "ai/runtime/class_desc.h"
#include "ai/runtime/engine_object.h"
#include "ai/runtime/vector3.h"
#include "ai/runtime/world.h"

class CEntity;
class CGraphEdge;
class CGraphVertex;
class CPathCostData;
class CSpatialGraph;

// --- Constraints -----------------------------------------------------------------------------------------

class CConstraint : public CEngineObject {
public:
  static CConstraintDesc s_classDesc;  // "CConstraint" (abstract)

  ~CConstraint() override;
  virtual const CConstraintDesc* GetClassDesc() const;
  // Cost of `edge` for `context` (the searching entity, or null); false refuses the edge.
  virtual bool GetEdgeCost(CEntity* context, CGraphEdge* edge, float* cost) = 0;
  virtual void SetGraph(CSpatialGraph* graph);
};

// Cost = the edge's stored length.
class CConstraintShortestPath : public CConstraint {
public:
  static CConstraintDesc s_classDesc;
  static CConstraint* Create();
  const CConstraintDesc* GetClassDesc() const override;
  bool GetEdgeCost(CEntity* context, CGraphEdge* edge, float* cost) override;
};

constexpr uint32_t kMaxThreats = 20;  // entries of each threat list

// Cost = length + penalty for every threat (entity, then point) within range that sees the destination.
class CConstraintStealthPath : public CConstraint {
public:
  static CConstraintDesc s_classDesc;
  static CConstraint* Create();
  CConstraintStealthPath();
  const CConstraintDesc* GetClassDesc() const override;
  bool GetEdgeCost(CEntity* context, CGraphEdge* edge, float* cost) override;

  CVector3 m_threatPoints[kMaxThreats];    // threat positions
  CEntity* m_threatEntities[kMaxThreats];  // threat entities (null: none; an entity leaving its world is)
  uint32_t m_threatPointCount;             // used entries of m_threatPoints (at most 20)
  uint32_t m_threatEntityCount;            // used entries of m_threatEntities (at most 20)
  float m_penalty;                         // cost added per seeing threat (host units)
  float m_range;                           // threats farther than this are ignored (host units)
  CEntityRemovedHook m_removedHook;        // forgets a threat that leaves its world
};

// Cost = length + penalty for every threat entity within range whose view cone holds the destination and
// that sees it.
class CConstraintConeVisionStealthPath : public CConstraint {
public:
  static CConstraintDesc s_classDesc;
  static CConstraint* Create();
  CConstraintConeVisionStealthPath();
  const CConstraintDesc* GetClassDesc() const override;
  bool GetEdgeCost(CEntity* context, CGraphEdge* edge, float* cost) override;

  CEntity* m_threatEntities[kMaxThreats];  // threat entities (null: none; an entity leaving its world is)
  uint32_t m_threatEntityCount;            // used entries (at most 20)
  float m_penalty;                         // cost added per seeing threat (host units)
  float m_range;                           // threats farther than this are ignored (host units)
  CEntityRemovedHook m_removedHook;        // forgets a threat that leaves its world
};

// Cost = length multiplied by a factor per threat that grows as the edge passes near it.
class CConstraintPointToFleePath : public CConstraint {
public:
  static CConstraintDesc s_classDesc;
  static CConstraint* Create();
  CConstraintPointToFleePath();
  const CConstraintDesc* GetClassDesc() const override;
  bool GetEdgeCost(CEntity* context, CGraphEdge* edge, float* cost) override;
  // factor·k³ + 1 with k = (range - r) / range for a threat at distance r ≤ range from the segment, else 1.
  float ThreatFactor(const CVector3& threat, const CVector3& src, const CVector3& d, float length) const;

  CVector3 m_threatPoints[kMaxThreats];    // threat positions
  CEntity* m_threatEntities[kMaxThreats];  // threat entities (null: none; an entity leaving its world is)
  uint32_t m_threatPointCount;             // used entries of m_threatPoints (at most 20)
  uint32_t m_threatEntityCount;            // used entries of m_threatEntities (at most 20)
  float m_factor;                          // factor for a threat on the segment, minus 1
  float m_range;                           // threats farther than this are ignored (host units)
  CEntityRemovedHook m_removedHook;        // forgets a threat that leaves its world
};

// --- Heuristics ------------------------------------------------------------------------------------------

class CHeuristic : public CEngineObject {
public:
  ~CHeuristic() override;
  // Estimate of the cost from `a` to `b`; false when there is none (the search skips the edge).
  virtual bool Estimate(CEntity* context, CGraphVertex* a, CGraphVertex* b, float* out) = 0;
  virtual void SetGraph(CSpatialGraph* graph);
  virtual const CHeuristicDesc* GetClassDesc() const = 0;
};

// Straight 3-D distance between the two vertices.
class CHeuristicEuclidianDistance : public CHeuristic {
public:
  static CHeuristicDesc s_classDesc;
  static CHeuristic* Create();
  bool Estimate(CEntity* context, CGraphVertex* a, CGraphVertex* b, float* out) override;
  const CHeuristicDesc* GetClassDesc() const override;
};

// Always 0 (uniform-cost search).
class CZeroHeuristic : public CHeuristic {
public:
  static CHeuristicDesc s_classDesc;
  static CHeuristic* Create();
  bool Estimate(CEntity* context, CGraphVertex* a, CGraphVertex* b, float* out) override;
  const CHeuristicDesc* GetClassDesc() const override;
};

// The exact route cost read from the graph's path-cost table.
class CPathCostHeuristic : public CHeuristic {
public:
  static CHeuristicDesc s_classDesc;
  static CHeuristic* Create();
  CPathCostHeuristic();
  bool Estimate(CEntity* context, CGraphVertex* a, CGraphVertex* b, float* out) override;
  void SetGraph(CSpatialGraph* graph) override;
  const CHeuristicDesc* GetClassDesc() const override;

  CPathCostData* m_data;  // the graph's path-cost table, or null
};
