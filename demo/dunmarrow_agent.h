#pragma once
// DunmarrowAgent: the engine's hiding agent made team-aware and cover-aware. Members of one team
// search for a hiding place in turn and never choose a vertex another member holds; a candidate
// must be reachable (a path estimate of at most 200 units from the vertex of "MoveGraph" nearest
// the bot) and stay hidden from every danger even a little to either side of it and a metre above
// it, so that the bot is covered, not just out of sight at one point.

#include <cstdint>

#include "ai/behaviours/hide_agent.h"

class CMyTeam;

class DunmarrowAgent : public CHideAgent {
public:
    static CAgentDesc s_classDesc; // "DunmarrowAgent", derived from "CHideAgent"
    static CAgent* Create(CBrain* owner);
    static constexpr const char* kMoveGraph = "MoveGraph";

    explicit DunmarrowAgent(CBrain* owner);
    // An agent that goes with its brain while its owner stays in the team gives up the owner's
    // search turn and its vertex.
    ~DunmarrowAgent() override;

    // The hiding agent's set-up, then the nearest-vertex data and point-mapper index of "MoveGraph".
    bool Init(CConfigNode* definition) override;
    const CAgentDesc* GetClassDesc() const override;
    // Waits while another member of the team is searching and this agent has no settled
    // destination; otherwise searches and walks as the hiding agent does, moving its reservation
    // when the chosen vertex changes.
    bool Think() override;
    // Team reservation, task grant, reachability from the nearest visible "MoveGraph" vertex,
    // nearness against the best of the scan, then the cover probes against every danger
    // (IsCoveredFrom). Only an accepted candidate ends the task.
    bool EvaluateCandidate(CGraphVertex* vertex, const CVector3& eyeOffset, float* score, uint8_t* stop,
                           uint8_t* budgetOk) override;

    // A soldier at the place is covered from the eye: the danger sees neither point 0.4 to either
    // side of the place (across the line of sight) nor the point one metre above it, nor his eye
    // (eyeHeight above the place) at the place or at eight points round the circle of kStandRadius
    // about it: a soldier stops that near his place, and a slit between two walls that lies
    // between the side points would show him.
    static bool IsCoveredFrom(const CVector3& eye, const CVector3& place, float eyeHeight, CEntity* danger);
    // How near a soldier taking cover comes to his place (in OneMeter), his path finder's arrival
    // radius.
    static constexpr float kStandRadius = 0.2f;

    void SetTeam(CMyTeam* team) { m_team = team; }
    CMyTeam* GetTeam() const { return m_team; }
    // Starts a new search with the next computation: the vertex held so far goes back to the team
    // and may be chosen again, and a scan left half way is dropped.
    void RequestNewSearch();
    void SetResearchType(std::uint8_t type) { m_researchType = type; }
    std::uint16_t GetMoveGraphIndex() const { return m_moveGraphIndex; }

private:
    CMyTeam* m_team = nullptr;                     // the owner's team, set by the brain
    std::uint16_t m_spare = 65535;                 // unused
    CGraphVertex* m_nearVertex = nullptr;          // "MoveGraph" vertex nearest the owner and seen from it
    CSpatialGraph* m_moveGraph = nullptr;          // "MoveGraph", or null
    CFindNearestData* m_moveGraphFinder = nullptr; // nearest-vertex data of "MoveGraph", or null
    float m_nearVertexTime = 0.0f;                 // engine time m_nearVertex was found at (s)
    std::uint32_t m_moveGraphStamp = 0;            // the graph's RecordsWentSince mark of m_nearVertex
    std::uint16_t m_moveGraphIndex = kNoGraph;     // point-mapper index of "MoveGraph"
};
