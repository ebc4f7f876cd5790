#pragma once
// Three small agents that only choose a destination and leave the walking to the brain's path
// finder: CFollowerAgent keeps a place at a distance and angle from another entity, CWanderAgent
// walks from one random vertex of a graph to the next, CGotoAgent walks to a destination the host
// writes. Their move step (MoveThroughPathFinder) is shared with the flee and shooter agents.

#include <cstdint>

#include "ai/runtime/agent.h"
#include "ai/runtime/class_desc.h"
#include "ai/runtime/vector3.h"
#include "ai/runtime/world.h"

class CActionClass;
class CEntity;
class CEntityWidth;
class CGraphVertex;
class CSpatialGraph;
class IPathFinder;

namespace Vusk {
// Asks the path finder for the next move towards the vertex (as a vertex target, when the vertex is
// set and its graph has a point-mapper index) or else towards the position; on success copies the
// path finder's actions into `actions`. False when the path finder fails.
bool MoveThroughPathFinder(IPathFinder* pathFinder, CActionClass* actions, const CVector3& position,
                           CGraphVertex* vertex = nullptr, uint16_t graphIndex = 65535);
// The point-mapper index under which the current world lists the graph (its graph manager's name
// for it); 65535 when the world has no point mapper or no manager lists the graph.
uint16_t FindPointMapperIndex(const CSpatialGraph* graph);
// True when all eight agent classes of the engine got a slot in the agent registry.
bool CheckAgentClasses();
} // namespace Vusk

class CFollowerAgent : public CAgent {
public:
    static CAgentDesc s_classDesc; // "CFollowerAgent"
    static CAgent* Create(CBrain* owner);
    static constexpr const char* kDistanceTask = "CFollowerAgent::ComputeRealDistance";

    explicit CFollowerAgent(CBrain* owner);

    // Defaults, the parameters, the path finder and the owner's width; false without the path
    // finder or the distance task.
    bool Init(CConfigNode* definition) override;
    // "DistFromEntity" (metres), "AngleFromEntity" (degrees), "EntityToFollow" (an entity name; one
    // the world does not know leaves no entity to follow).
    bool ReadParam(CConfigNode* node) override;
    const CAgentDesc* GetClassDesc() const override;
    // An entity to follow and a distance of 0 or more.
    bool IsReady() override;
    bool Think() override;
    virtual bool CheckServices();
    virtual bool CheckTasks();

    // Distance in metres; a different value makes the destination be computed again.
    void SetDistance(float metres);
    // Angle in degrees from the followed entity's heading; a different value makes the destination
    // be computed again.
    void SetAngle(float degrees);
    void SetEntityToFollow(CEntity* entity) { m_entityToFollow = entity; }

    CEntity* GetEntityToFollow() const { return m_entityToFollow; }
    float GetDistance() const { return m_distFromEntity; }
    float GetAngle() const { return m_angleFromEntity; }
    float GetRealDistance() const { return m_realDistance; }
    const CVector3& GetDestination() const { return m_destination; }
    bool IsDestinationValid() const { return m_destinationValid != 0; }

protected:
    // The wanted place: the followed position, or the free distance along the wanted direction.
    virtual void ComputeDestination();
    // Free distance from the followed entity along direction (unit length), keeping the owner's half
    // width off a wall; at most every 0.1 s, inside the distance task.
    virtual void ComputeRealDistance(const CVector3& direction);

private:
    static void OnEntityRemoved(CEntity* entity, void* user);

    IPathFinder* m_pathFinder = nullptr;
    const CEntityWidth* m_width = nullptr; // the owner's width, or null
    CVector3 m_destination;
    CVector3 m_lastTargetPosition;   // followed position when the destination was computed
    int m_distanceTask = -1;         // "CFollowerAgent::ComputeRealDistance"
    float m_nextDistanceTime = 0.0f; // engine time of the next free-distance measurement (s)
    float m_realDistance = 0.0f;     // free distance towards the wanted place (host units)
    uint8_t m_destinationValid = 0;
    CEntity* m_entityToFollow = nullptr;
    float m_distFromEntity = 0.0f;    // wanted distance (host units)
    float m_angleFromEntity = 180.0f; // wanted angle from the followed heading (degrees)
    CEntityRemovedHook m_removedHook{&CFollowerAgent::OnEntityRemoved, this};
};

class CWanderAgent : public CAgent {
public:
    static CAgentDesc s_classDesc; // "CWanderAgent"
    static CAgent* Create(CBrain* owner);
    static constexpr uint16_t kNoGraph = 65535;

    using CAgent::CAgent;
    // Defaults, the parameters, the path finder; false without it.
    bool Init(CConfigNode* definition) override;
    // "Graph": a graph of the world's graph manager.
    bool ReadParam(CConfigNode* node) override;
    const CAgentDesc* GetClassDesc() const override;
    // A graph is set; picks the first destination when none is chosen yet.
    bool IsReady() override;
    bool Think() override;
    virtual bool CheckServices();
    // A random live vertex of the graph (the engine's random generator) becomes the destination.
    virtual void PickDestination();

    // Stores the graph and looks up its point-mapper index; a destination drawn before is dropped.
    void SetGraph(CSpatialGraph* graph);

    uint8_t m_goalReached = 0; // the path finder's last IsGoalReached

    CSpatialGraph* GetGraph() const { return m_graph; }
    int32_t GetDestinationVertexIndex() const { return m_destinationVertexIndex; }
    const CVector3& GetDestination() const { return m_destination; }
    uint16_t GetGraphIndex() const { return m_graphIndex; }

private:
    CVector3 m_destination;
    int32_t m_destinationVertexIndex = -1; // -1: none chosen yet
    uint16_t m_graphIndex = kNoGraph;      // point-mapper index of the graph; 65535: none
    IPathFinder* m_pathFinder = nullptr;
    CSpatialGraph* m_graph = nullptr;
    uint32_t m_graphStamp = 0; // the graph's RecordsWentSince mark of the destination
};

class CGotoAgent : public CAgent {
public:
    static CAgentDesc s_classDesc; // "CGotoAgent"
    static CAgent* Create(CBrain* owner);

    using CAgent::CAgent;
    // The parameter loop (which refuses every parameter), the path finder; false without it.
    bool Init(CConfigNode* definition) override;
    const CAgentDesc* GetClassDesc() const override;
    bool IsReady() override { return true; }
    bool Think() override;
    virtual bool CheckServices();

    // --- Public state: the host writes the destination and reads the flag ---
    CVector3 m_destination;
    uint8_t m_goalReached = 0;

private:
    IPathFinder* m_pathFinder = nullptr;
};
