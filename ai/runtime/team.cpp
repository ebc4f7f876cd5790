#include "ai/runtime/team.h"

#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/service.h"
#include "ai/runtime/world.h"

CTeamDesc CTeam::s_desc("CTeam", &CTeam::Create, nullptr);

CTeam* CTeam::Create(uint32_t capacity, const char* name) { return new CTeam(capacity, name); }

CTeam::CTeam(uint32_t capacity, const char* name) : m_wantsName(name != nullptr) {
    if (name != nullptr)
        m_name = Vusk::CopyText(name);
    m_members = new CList<CEntity*>(capacity);
    if (m_members != nullptr && m_members->GetCapacity() != capacity) {
        delete m_members;
        m_members = nullptr;
    }
}

CTeam::~CTeam() {
    Vusk::TakeTeamOut(this);
    // RemoveMember unlinks the head, so the head is taken again after each member.
    while (m_members != nullptr && m_members->GetHead() != nullptr)
        CTeam::RemoveMember(m_members->GetHead()->GetValue());
    Vusk::EngineFree(m_name);
    delete m_members;
}

bool CTeam::IsComplete() const { return m_members != nullptr && (m_name != nullptr || !m_wantsName); }

const CTeamDesc* CTeam::GetClassDesc() const { return &s_desc; }

bool CTeam::AddMember(CEntity* entity) {
    if (entity == nullptr || m_members == nullptr)
        return false;
    CListPosition<CEntity*> position = m_members->Insert(entity);
    if (position.IsNull())
        return false;
    if (!entity->AddTeam(this)) {
        // The entity could not record the team: keep both sides consistent.
        m_members->Remove(position.GetNode());
        return false;
    }
    return true;
}

void CTeam::RemoveMember(CEntity* entity) {
    if (entity == nullptr)
        return;
    entity->RemoveTeam(this);
    if (m_members != nullptr)
        m_members->RemoveValue(entity);
}

uint8_t CTeam::SetFlag(uint8_t flag) {
    m_flag = flag;
    return flag;
}

bool CTeam::Init(CConfigNode* definition) {
    return Vusk::PassParameters(definition, [this](CConfigNode* node) { return ReadParam(node); });
}

bool CTeam::ReadParam(CConfigNode* node) { return Vusk::ReturnFalse(node); }
