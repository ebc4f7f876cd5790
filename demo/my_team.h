#pragma once
// CMyTeam: the bots' team. Its members share the hiding places of one navigation graph: a member
// that chooses a vertex reserves it, and the others pass over reserved vertices. The member whose
// hiding search is under way is recorded, so that searches are taken in turn.

#include <cstdint>

#include "ai/runtime/team.h"

class CEntity;
class CSpatialGraph;

class CMyTeam : public CTeam {
public:
    static CTeamDesc s_desc; // "CMyTeam"
    static CTeam* Create(std::uint32_t capacity, const char* name);
    static constexpr std::int16_t kNoMember = -1;

    CMyTeam(std::uint32_t capacity, const char* name);
    // The members' hiding agents drop the team; frees the reservations.
    ~CMyTeam() override;

    const CTeamDesc* GetClassDesc() const override;
    // A member that leaves (the world, or the team) gives up its search turn and its vertices, and
    // its hiding agent drops the team; then the base's removal.
    void RemoveMember(CEntity* entity) override;
    // The base's parameter pass, then one free reservation per vertex of the graph; false without
    // a graph or memory.
    bool Init(CConfigNode* definition) override;
    // "GraphName" (any letter case): a graph of the world's graph manager; anything else, a
    // missing value, no manager or an unknown graph is refused.
    bool ReadParam(CConfigNode* node) override;

    // Vertex indices outside the graph are never reserved, released or reported reserved. Once the
    // graph lost a record (RecordsWentSince) no reservation holds: an index may name another vertex
    // now, and the members' hiding agents look again; the next reservation starts a fresh table.
    void ReserveVertex(std::int32_t vertex, const CEntity* entity);
    // Frees the vertex when the entity holds it.
    void ReleaseVertex(std::int32_t vertex, const CEntity* entity);
    // The entity gives up its search turn and every vertex it holds (it leaves, or its hiding
    // agent goes): a search it leaves half way no longer holds up the others. Call it while the
    // entity still has its world index.
    void GiveUpSearchOf(const CEntity* entity);
    bool IsVertexReserved(std::int32_t vertex) const;
    // The entity holding the vertex, or null.
    const CEntity* GetHolder(std::int32_t vertex) const;

    CSpatialGraph* GetGraph() const { return m_graph; }
    std::int32_t GetReservationCount() const { return m_reservationCount; }

    // World-table index of the member whose hiding search is under way; kNoMember when none.
    std::int16_t computingMember = kNoMember;

private:
    // The table still names the vertices it was made for.
    bool IsCurrent() const;
    bool IsValid(std::int32_t vertex) const;
    // One free reservation per vertex index of the graph as it stands; false without memory.
    bool MakeReservations();

    // Holder of each vertex, null when free. Entities are held by identity (a pointer): an index
    // would make the entity in slot 0 look like no holder.
    const CEntity** m_reservations = nullptr;
    std::int32_t m_reservationCount = 0; // entries of m_reservations
    std::uint32_t m_graphStamp = 0;      // the graph's RecordsWentSince mark of the table
    CSpatialGraph* m_graph = nullptr;    // not owned
};
