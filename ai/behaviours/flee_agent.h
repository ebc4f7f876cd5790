#pragma once
// CFleeAgent: moves its entity away from threats, fixed points and entities the host lists. Every
// ComputeDestInterval it walks every path of up to PathLength edges from the graph vertex nearest
// its entity and takes the vertex whose path stays farthest from the threats on average without
// passing close by one; the brain's path finder walks there. With StopWhenHidden it stands still
// while no threat can see it.

#include <cstdint>

#include "ai/runtime/agent.h"
#include "ai/runtime/class_desc.h"
#include "ai/runtime/vector3.h"
#include "ai/runtime/world.h"

class CEntity;
class CEntityManager;
class CFindNearestData;
class CGraphVertex;
class CSpatialGraph;
class IPathFinder;

class CFleeAgent : public CAgent {
public:
    static CAgentDesc s_classDesc; // "CFleeAgent"
    static CAgent* Create(CBrain* owner);
    static constexpr uint16_t kNoGraph = 65535;
    static constexpr const char* kComputeTask = "CFleeAgent::ComputeDestination";
    static constexpr const char* kCheckTask = "CFleeAgent::CheckDangerVisible";

    explicit CFleeAgent(CBrain* owner);
    // Frees the threat arrays and unregisters the entity-removed callback.
    ~CFleeAgent() override;

    // Defaults, the parameters, the threat arrays, the services and tasks; false when one is missing.
    bool Init(CConfigNode* definition) override;
    // "ComputeDestInterval" (s), "PathLength" (not negative; the search visits up to
    // (out-degree)^PathLength paths), "StopWhenHidden" (set unless "No"), "MaxDeltaHeight" (m),
    // "Graph", "MaxPointsToFlee", "MaxEntitiesToFlee" (not negative).
    bool ReadParam(CConfigNode* node) override;
    const CAgentDesc* GetClassDesc() const override;
    // A graph and at least one threat.
    bool IsReady() override;
    bool Think() override;
    virtual bool CheckServices();
    virtual bool CheckTasks();
    // Score of the path that ends at `vertex` after `depth` edges, with `crossings` threats passed
    // close by and `distanceSum` the summed distances of its vertices to every threat: the mean
    // distance divided by 1, 11, 21 ... for 0, 1, 2 ... crossings.
    virtual float ScorePath(const CGraphVertex* vertex, uint32_t crossings, float distanceSum, uint32_t depth);

    // Stores the graph, finds its nearest-vertex data and its point-mapper index.
    void SetGraph(CSpatialGraph* graph);
    // Threat lists the host fills; false when the list is full (or, for entities, already holds it).
    bool AddThreatPoint(const CVector3& point);
    bool AddThreatEntity(CEntity* entity);
    // Drops the entity from the threats; false when it was not there.
    bool RemoveThreatEntity(CEntity* entity);
    void ClearThreats();

    // --- Public state (the host may fill the lists directly; counts above the capacity are read as
    // the capacity) ---
    CVector3* m_threatPoints = nullptr;
    uint32_t m_threatPointCount = 0;
    CEntity** m_threatEntities = nullptr;
    uint32_t m_threatEntityCount = 0;

    const CVector3& GetDestination() const { return m_destination; }
    int32_t GetDestinationVertexIndex() const { return m_destinationVertexIndex; }
    int32_t GetStartVertexIndex() const { return m_startVertexIndex; }
    bool HasDestination() const { return m_destinationFound != 0; }
    bool IsDangerVisible() const { return m_dangerVisible != 0; }
    CSpatialGraph* GetGraph() const { return m_graph; }
    uint32_t GetPathLength() const { return m_pathLength; }
    uint32_t GetMaxPointsToFlee() const { return m_maxPointsToFlee; }
    uint32_t GetMaxEntitiesToFlee() const { return m_maxEntitiesToFlee; }
    bool GetStopWhenHidden() const { return m_stopWhenHidden != 0; }
    float GetComputeDestInterval() const { return m_computeDestInterval; }
    // Paths scored by the last destination search.
    uint64_t GetPathsScored() const { return m_pathsScored; }

private:
    // One vertex of the walk being explored.
    struct ExploreStep {
        CGraphVertex* vertex;
        uint32_t crossings;
        float sum;
        int32_t nextEdge;
    };

    static void OnEntityRemoved(CEntity* entity, void* user);
    bool ComputeDestination();
    // The best vertex over every path of up to PathLength edges from start (first of equal scores in
    // edge order); an explicit stack of up to PathLength + 1 steps instead of recursion.
    CGraphVertex* Explore(CGraphVertex* start, float startSum);
    // Sum of the distances from the point to every threat.
    float DistanceToThreats(const CVector3& point) const;
    // Does a threat lie within two metres of the edge from a to b (projecting onto it)?
    bool CrossesThreat(const CVector3& a, const CVector3& b) const;
    bool IsDangerSeen();
    uint32_t PointCount() const {
        return m_threatPointCount < m_maxPointsToFlee ? m_threatPointCount : m_maxPointsToFlee;
    }
    uint32_t EntityCount() const {
        return m_threatEntityCount < m_maxEntitiesToFlee ? m_threatEntityCount : m_maxEntitiesToFlee;
    }

    IPathFinder* m_pathFinder = nullptr;
    CSpatialGraph* m_graph = nullptr;
    CEntityManager* m_entityManager = nullptr;
    uint32_t m_maxPointsToFlee = 0;
    uint32_t m_maxEntitiesToFlee = 0;
    CVector3 m_destination;
    int32_t m_destinationVertexIndex = -1;  // -1: the destination is no vertex
    uint8_t m_started = 0;                  // the destination was set to the owner's position once
    CVector3 m_lastSearchPosition;          // owner position when the start vertex was found
    float m_reSearchDistanceSquared = 1.0f; // owner movement that makes the start vertex be found again
    int32_t m_startVertexIndex = -1;        // -1: none yet
    uint32_t m_graphStamp = 0;              // the graph's RecordsWentSince mark of the two indices
    int m_checkTask = -1;                   // periodic "CFleeAgent::CheckDangerVisible"
    float m_nextComputeTime = 0.0f;         // engine time of the next destination search (s)
    float m_computeDestInterval = 1.0f;     // seconds between destination searches
    int m_computeTask = -1;                 // aperiodic "CFleeAgent::ComputeDestination"
    uint8_t m_dangerVisible = 1;
    uint8_t m_destinationFound = 1;
    uint32_t m_pathLength = 2; // edges of the explored paths
    uint8_t m_stopWhenHidden = 0;
    uint16_t m_graphIndex = kNoGraph; // point-mapper index of the graph; 65535: none
    CFindNearestData* m_findNearestData = nullptr;
    float m_maxDeltaHeight = 0.0f; // height tolerance of the start-vertex query
    uint64_t m_pathsScored = 0;
    static constexpr uint32_t kInitialExploreDepth = 16; // the stack's depth taken at Init
    ExploreStep* m_exploreStack = nullptr;               // m_exploreCapacity steps, grown as searches go deeper
    uint32_t m_exploreCapacity = 0;
    CEntityRemovedHook m_removedHook{&CFleeAgent::OnEntityRemoved, this};
};
