#pragma once
// CHideAgent: finds a vertex of a navigation graph where its entity cannot be seen by a list of
// dangerous entities, and walks there through the brain's path finder. The candidate scan is
// spread over frames: each computation and each visibility check is a task of the time manager,
// and a scan that runs out of budget resumes at the vertex where it stopped. Derived agents
// change how candidates are scored (EvaluateCandidate) and keep the rest.

#include <cstdint>

#include "ai/runtime/agent.h"
#include "ai/runtime/class_desc.h"
#include "ai/runtime/vector3.h"

class CEntity;
class CEntityEyePosition;
class CEntityManager;
class CFindNearestData;
class CGraphVertex;
class CPointMapper;
class IPathFinder;
class CSpatialGraph;

class CHideAgent : public CAgent {
public:
    static CAgentDesc s_classDesc; // "CHideAgent"
    static CAgent* Create(CBrain* owner);
    static constexpr uint8_t kFarFromEnemy = 1;
    static constexpr uint8_t kCloseToMe = 2;
    static constexpr uint16_t kNoGraph = 65535;
    static constexpr const char* kComputeTask = "CHideAgent::ComputeDestination";
    static constexpr const char* kVisibilityTask = "CHideAgent::CheckPositionVisible";

    explicit CHideAgent(CBrain* owner);
    // Frees both arrays and unregisters the entity-removed callback.
    ~CHideAgent() override;

    // Defaults, the parameters, the brain's path finder and entity manager, the owner's eye
    // position; false when a parameter, a service or a task is missing.
    bool Init(CConfigNode* definition) override;
    // "Graph", "ResearchType" (FAR_FROM_ENEMY or CLOSE_TO_ME), "MaxDeltaHeight" (metres),
    // "MaxDangerousEntities".
    bool ReadParam(CConfigNode* node) override;
    // Resets the destination search and empties the dangerous-entity list.
    void Update() override;
    const CAgentDesc* GetClassDesc() const override;
    // True when a graph is set.
    bool IsReady() override;
    // Re-checks who sees the owner, advances the destination search, and walks to the destination.
    bool Think() override;
    virtual bool CheckServices();
    virtual bool CheckTasks();
    // Scores a candidate vertex; false rejects it. `stop` ends the scan, `budgetOk` 0 pauses it
    // (the candidate is considered again by the next computation).
    virtual bool EvaluateCandidate(CGraphVertex* vertex, const CVector3& eyeOffset, float* score, uint8_t* stop,
                                   uint8_t* budgetOk);
    virtual void ResetBestScores();

    // Stores the graph, finds its nearest-vertex data and its point-mapper index; false without a
    // graph manager.
    bool SetGraph(CSpatialGraph* graph);
    // Appends a danger; false when the list is full. Added while a scan is paused, it gets the
    // vertex the scan's start gives every danger.
    bool AddDangerousEntity(CEntity* entity);
    // The destination once a scan has found one, else the owner's position.
    CVector3 GetDestination() const;
    // Is the point seen from any danger? Runs as a visibility task; false when the task was refused.
    bool CheckPositionVisible(CGraphVertex* vertex, const CVector3& eyeOffset, uint8_t* hidden);

    // --- Public state (read by the host; the host writes the research type) ---
    uint8_t m_goalReached = 0;   // the path finder's last IsGoalReached
    uint8_t m_hiddenFromAll = 0; // every danger's perception record is blocked
    uint8_t m_researchType = kCloseToMe;

    CEntityManager* GetEntityManager() const { return m_entityManager; }
    IPathFinder* GetPathFinder() const { return m_pathFinder; }
    CSpatialGraph* GetGraph() const { return m_graph; }
    bool HasDestination() const { return m_destinationFound != 0; }
    bool IsScanComplete() const { return m_scanComplete != 0; }
    int32_t GetDestinationVertexIndex() const { return m_destinationVertexIndex; }
    int32_t GetLastScannedVertex() const { return m_lastScannedVertex; }
    uint16_t GetGraphIndex() const { return m_graphIndex; }
    uint32_t GetDangerousEntityCount() const { return m_dangerCount; }
    // The vertex seen from danger i by the scan under way (far from enemy), or null.
    CGraphVertex* GetDangerVertex(uint32_t i) const { return i < m_dangerCount ? m_dangerVertices[i] : nullptr; }
    uint32_t GetMaxDangerousEntities() const { return m_maxDangerousEntities; }
    float GetMaxDeltaHeight() const { return m_maxDeltaHeight; }

protected:
    CEntity* GetOwner() const;
    // The point a danger looks from: its eye position, else its position.
    static CVector3 ViewpointOf(const CEntity* entity);
    CVector3 EyeOffset() const;

    CEntityManager* m_entityManager = nullptr;     // the brain's entity manager
    IPathFinder* m_pathFinder = nullptr;           // the brain's path finder
    CVector3 m_destination;                        // chosen hiding position
    CGraphVertex* m_destinationVertex = nullptr;   // its vertex
    int32_t m_destinationVertexIndex = -1;         // its vertex index; -1: none
    int m_computeTask = -1;                        // "CHideAgent::ComputeDestination"
    float m_nextComputeTime = 0.0f;                // earliest engine time of the next computation (s)
    int m_visibilityTask = -1;                     // "CHideAgent::CheckPositionVisible"
    const CEntityEyePosition* m_eye = nullptr;     // the owner's eye position, or null
    CEntity** m_dangers = nullptr;                 // dangerous entities
    CGraphVertex** m_dangerVertices = nullptr;     // per danger, the vertex seen from it (far from enemy)
    uint32_t m_dangerCount = 0;                    // entries of m_dangers
    uint32_t m_maxDangerousEntities = 20;          // capacity of both arrays
    CSpatialGraph* m_graph = nullptr;              // the graph searched
    uint8_t m_destinationFound = 0;                // a destination is set
    uint8_t m_scanComplete = 1;                    // 0 while a scan is paused half way
    int32_t m_lastScannedVertex = -1;              // resume point of a paused scan; -1: next scan starts afresh
    float m_bestFarSum = 0.0f;                     // best summed distance to the dangers (far from enemy)
    float m_bestNearDistance;                      // best distance to the owner (close to me)
    float m_bestScore;                             // best score of this scan
    uint8_t m_hasBest = 0;                         // a candidate was taken in this scan
    CPointMapper* m_pointMapper = nullptr;         // the world's point mapper, or null
    uint16_t m_graphIndex = kNoGraph;              // point-mapper index of the graph; 65535: none
    CGraphVertex* m_ownVertex = nullptr;           // vertex seen from the owner (close to me)
    float m_maxDeltaHeight = 0.0f;                 // height tolerance of the vertex queries
    CFindNearestData* m_findNearestData = nullptr; // the graph's nearest-vertex data, or null
    uint32_t m_graphStamp = 0;                     // the graph's RecordsWentSince mark of the records held

    // Drops the destination and the scan under way with every vertex they hold; the next computation
    // starts a new scan.
    void DropSearch();

private:
    static void OnEntityRemoved(CEntity* entity, void* user);
    void ResetSearch();
    bool ComputeDestination();
    void ScanStep(const CVector3& eyeOffset);
    // A scan that found no reference vertex: complete, nothing found.
    void EndScanUnfound();
    bool FindReferenceVertices();
    bool ConsiderVertex(CGraphVertex* vertex, const CVector3& eyeOffset, uint8_t* stop);
    CGraphVertex* VertexSeenFrom(const CVector3& point);

    bool m_callbackRegistered = false; // the entity-removed callback is registered
};
