#include "demo/my_team.h"

#include "ai/navigation/graph_manager.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/allocator.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/entity.h"
#include "demo/dunmarrow_agent.h"
#include "platform/crt.h"

CTeamDesc CMyTeam::s_desc("CMyTeam", &CMyTeam::Create, &CTeam::s_desc);

CTeam* CMyTeam::Create(std::uint32_t capacity, const char* name) { return new CMyTeam(capacity, name); }

CMyTeam::CMyTeam(std::uint32_t capacity, const char* name) : CTeam(capacity, name) {}

namespace {

// The member's hiding agent forgets the team when it names it.
void DropTeamOf(const CEntity* member, const CMyTeam* team) {
    CBrain* brain = member != nullptr ? member->GetBrain() : nullptr;
    auto* hider =
        brain != nullptr ? static_cast<DunmarrowAgent*>(brain->GetAgent(&DunmarrowAgent::s_classDesc)) : nullptr;
    if (hider != nullptr && hider->GetTeam() == team)
        hider->SetTeam(nullptr);
}

} // namespace

CMyTeam::~CMyTeam() {
    // The members are still listed (the base removes them after this).
    if (const CList<CEntity*>* members = GetMembers())
        for (CEntity* member : *members)
            DropTeamOf(member, this);
    Vusk::EngineFree(m_reservations);
}

void CMyTeam::RemoveMember(CEntity* entity) {
    if (entity != nullptr && GetMembers() != nullptr && GetMembers()->Find(entity) != nullptr) {
        // Called while the entity still has its world index (CWorld::RemoveEntity, the entity's
        // destructor).
        GiveUpSearchOf(entity);
        DropTeamOf(entity, this);
    }
    CTeam::RemoveMember(entity);
}

void CMyTeam::GiveUpSearchOf(const CEntity* entity) {
    if (computingMember != kNoMember && computingMember == entity->GetIndex())
        computingMember = kNoMember;
    for (std::int32_t i = 0; i < m_reservationCount; ++i)
        if (m_reservations[i] == entity)
            m_reservations[i] = nullptr;
}

const CTeamDesc* CMyTeam::GetClassDesc() const { return &s_desc; }

bool CMyTeam::ReadParam(CConfigNode* node) {
    const char* name = node->GetName();
    const char* value = node->GetValue();
    if (name == nullptr || _stricmp(name, "GraphName") != 0 || value == nullptr)
        return false;
    CGraphManager* manager = Vusk::GetGraphManager();
    CSpatialGraph* graph = manager != nullptr ? manager->FindGraph(value) : nullptr;
    if (graph == nullptr)
        return false;
    m_graph = graph;
    return true;
}

bool CMyTeam::Init(CConfigNode* definition) {
    return CTeam::Init(definition) && m_graph != nullptr && MakeReservations();
}

bool CMyTeam::MakeReservations() {
    m_graph->RecordsWentSince(&m_graphStamp);
    // Vertices live up to the last index, which passes the count when the graph has free slots.
    std::int32_t count = m_graph->GetVertexCount();
    if (m_graph->GetLastVertexIndex() + 1 > count)
        count = m_graph->GetLastVertexIndex() + 1;
    Vusk::EngineFree(m_reservations);
    m_reservations = nullptr;
    m_reservationCount = 0;
    if (count > 0) {
        m_reservations =
            static_cast<const CEntity**>(Vusk::EngineAllocate(static_cast<std::size_t>(count) * sizeof(CEntity*)));
        if (m_reservations == nullptr)
            return false;
        for (std::int32_t i = 0; i < count; ++i)
            m_reservations[i] = nullptr;
    }
    m_reservationCount = count;
    return true;
}

bool CMyTeam::IsCurrent() const {
    std::uint32_t seen = m_graphStamp;
    return m_graph != nullptr && !m_graph->RecordsWentSince(&seen);
}

bool CMyTeam::IsValid(std::int32_t vertex) const { return vertex >= 0 && vertex < m_reservationCount && IsCurrent(); }

void CMyTeam::ReserveVertex(std::int32_t vertex, const CEntity* entity) {
    if (!IsCurrent() && (m_graph == nullptr || !MakeReservations()))
        return;
    if (IsValid(vertex))
        m_reservations[vertex] = entity;
}

void CMyTeam::ReleaseVertex(std::int32_t vertex, const CEntity* entity) {
    if (IsValid(vertex) && entity != nullptr && m_reservations[vertex] == entity)
        m_reservations[vertex] = nullptr;
}

bool CMyTeam::IsVertexReserved(std::int32_t vertex) const {
    return IsValid(vertex) && m_reservations[vertex] != nullptr;
}

const CEntity* CMyTeam::GetHolder(std::int32_t vertex) const {
    return IsValid(vertex) ? m_reservations[vertex] : nullptr;
}
