// The graph generator: an entity whose brain is "CGraphGeneratorBrain" carries one
// "CGraphGeneratorAgent", which builds a navigation graph offline by walking the level. The agents share
// one generator graph and one "CGraphGenData" and run a machine of phases over them:
//   1 exploration: from each vertex, walk towards the most open of its sector points and drop a vertex
//     where the walk ends on walkable ground away from every vertex; then link neighbouring vertices;
//   2 edge collapse: replace short two-way edges by one vertex at their middle while it reaches every
//     neighbour of both ends;
//   3 edge validation: walk every edge and delete the ones not walked in time;
//   5 build and save the requested graph data of the final graph; 6 done.
// Between phases the graph is compacted and saved to the files the configuration names, so that a later
// run can start from any saved step ("FIRST_STEP").
#pragma once

#include <cstdint>

#include "ai/runtime/action.h"
#include "ai/runtime/agent.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/vector3.h"

class CEntity;
class CGraphData;
class CGraphEdge;
class CGraphGenData;
class CGraphVertex;
class CPathObjectManager;
class CSpatialGraph;

class CGraphGeneratorAgent : public CAgent {
public:
  static CAgentDesc s_classDesc;  // "CGraphGeneratorAgent"
  static CAgent* Create(CBrain* owner);
  static constexpr int kFileNameSize = 1024;

  explicit CGraphGeneratorAgent(CBrain* owner);
  ~CGraphGeneratorAgent() override;

  // Reads the parameters, creates the generator graph and data on first use, the requested graph-data
  // objects and the seed path object, and finds the entity's measures and the walking actions. False
  // without "DenseGraph" or "FinalGraph", with an incomplete point, or without a measure or action.
  bool Init(CConfigNode* definition) override;
  // Every child is a parameter (read in Init).
  bool ReadParam(CConfigNode*) override { return true; }
  // Starts the run again with an empty graph.
  void Update() override;
  const CAgentDesc* GetClassDesc() const override;
  // Takes the entity's speed and measures, and derives the test distances from them.
  bool IsReady() override;
  bool Think() override { return Step(); }
  // One step of the current phase; true in the last phase.
  bool Step();

  CEntity* GetEntity() const;

  // Working state (read and written by the phase steps).
  int32_t m_slot;           // index in the generator table; -1 before the entity is added
  CVector3 m_currentPoint;  // where the entity heads (the target) or stands
  uint8_t m_walking;        // 1 while a walk is under way
  uint8_t m_firstStep;      // 1 until the phase made its first step
  uint8_t m_phaseFinished;  // 1 once the phase has no more work for this agent
  float m_radiusMax;        // working copies of the radii (host units)
  float m_radiusAverage;
  int32_t m_sectorCount;              // sectors per vertex
  CGraphVertex* m_currentVertex;      // vertex being explored, or null
  CGraphEdge* m_currentEdge;          // edge being validated, or null
  CVector3 m_lastPosition;            // entity position at the last step (-10000 / -20000: none)
  double m_lastTime;                  // time of the last step (s)
  float m_smoothedSpeed;              // smoothed speed over the walk (host units per second)
  double m_walkStart;                 // time the walk started (s)
  float m_targetDistance;             // distance from the walk's start to its target
  CPathObjectManager* m_pathObjects;  // the world's path-object manager, or null

  // Phase switches.
  uint8_t m_exploration;
  uint8_t m_validation;
  uint8_t m_collapse;
  uint8_t m_additionalData;

  // Parameters (host units unless marked).
  float m_paramRadiusAverage;                           // "RADIUS_AVERAGE"
  float m_paramRadiusMax;                               // "RADIUS_MAX"
  float m_fullSpeedDistance;                            // "FULL_SPEED_DIST"
  float m_halfSpeedDistance;                            // "HALF_SPEED_DIST"
  float m_bodyWidth, m_ratioBodyWidth;                  // width x ratio
  float m_kneeHeight, m_ratioBodyToKnees;               // height x ratio
  float m_destinationHeight, m_ratioHeightDestination;  // height x ratio
  float m_emptyDepth, m_ratioDepthEmpty;                // height x ratio
  float m_emptyOffset, m_ratioOffsetEmpty;              // width x ratio
  float m_holeDepth, m_ratioDepthHole;                  // height x ratio
  float m_holeStep, m_ratioStepHole;                    // height x ratio
  float m_maxValidEdge;                                 // "MAX_LENGTH_VALID_EDGE"
  uint8_t m_semiTransparentTest;                        // "SEMI_TRANSPARENT_OBJECTS_TEST"
  int32_t m_raysPerCylinder;                            // "NB_RAYS_PER_CYLINDER"
  int32_t m_holeCheckpoints;                            // "HOLE_NB_CHECKPOINTS"
  float m_distStop;                                     // "DistStop"
  float m_ratioTimerDenseGraph;                         // "RATIO_TIMER_DENSE_GRAPH" (no unit)
  float m_ratioTimerCreateArcs;                         // "RATIO_TIMER_CREATE_ARCS" (no unit)
  CVector3 m_startingPoint;                             // "STARTING_POINT"
  uint8_t m_startingPointGiven;
  CVector3 m_boxMin;  // "BB_MIN"
  CVector3 m_boxMax;  // "BB_MAX"

  CEntityMaxSpeed* m_maxSpeedAttribute;
  CEntityWidth* m_widthAttribute;
  CEntityHeight* m_heightAttribute;
  CActionRotate* m_rotate;
  CActionSpeed* m_speed;
  float m_maxSpeed;  // maximum speed read at the last IsReady

private:
  bool ReadParameters(CConfigNode* definition);
  void ResetWorkingFields();
  void ChooseFirstPhase();
};

class CGraphGeneratorBrain : public CBrain {
public:
  static CBrainDesc s_classDesc;  // "CGraphGeneratorBrain"
  static CBrain* Create(CEntity* owner, const CActionClassDesc* actionClass);

  using CBrain::CBrain;
  const CBrainDesc* GetClassDesc() const override;
  // False without a generator agent.
  bool Init(CConfigNode* definition) override;
  bool ReadParam(CConfigNode*) override { return false; }
  // Steps the agent when it is ready, hands its actions to the entity and draws the graph being built
  // through the host's debug drawing (when the host draws).
  bool Think() override;

  CGraphGeneratorAgent* GetGeneratorAgent() const { return m_agent; }

private:
  void Draw(bool boxToo);

  CGraphGeneratorAgent* m_agent = nullptr;
};

namespace Vusk {

// True when the generator's brain, agent and data classes all got a registry slot.
bool CheckGraphGeneratorClasses();

// The generator's shared state: phase (0 none, 1 exploration, 2 collapse, 3 validation, 4 idle,
// 5 graph data, 6 done), graph and data (null when no generator agent exists).
uint8_t GetGraphGeneratorPhase();
CSpatialGraph* GetGeneratorGraph();
CGraphGenData* GetGeneratorData();

// Phase steps, one call per think of the agent.
bool GraphGenExplore(CGraphGeneratorAgent* agent);
// Links the neighbouring vertices of the dense graph (after exploration).
bool GraphGenCreateEdges(CGraphGeneratorAgent* agent);
bool GraphGenCollapseEdges(CGraphGeneratorAgent* agent);
bool GraphGenValidateEdges(CGraphGeneratorAgent* agent);
bool GraphGenBuildData(CGraphGeneratorAgent* agent);
// Marks the vertices and edges of the generator graph that coincide with path-object segments.
void GraphGenLinkPathObjects(CGraphGeneratorAgent* agent);

// Test helpers of the phases (query mode 2, the generator entity ignored).
// True when no ground lies within the empty-test depth under the point or four points around it.
bool GraphGenIsEmpty(CGraphGeneratorAgent* agent, const CVector3& point);
// True when the ground along a -> b drops or rises by more than the hole step between checkpoints.
bool GraphGenHasHole(CGraphGeneratorAgent* agent, const CVector3& a, const CVector3& b);
// Computes the sector points and scores of a vertex; false when none stays open.
bool GraphGenComputeSectors(CGraphGeneratorAgent* agent, CGraphVertex* vertex);
// Adds a vertex at the point with the mark (only marks one already exactly there); null on failure.
CGraphVertex* GraphGenAddVertex(CGraphGeneratorAgent* agent, const CVector3& point, uint8_t mark);

}  // namespace Vusk
