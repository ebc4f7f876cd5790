#include "ai/runtime/entity.h"

#include "ai/runtime/brain.h"
#include "ai/runtime/engine_arrays.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/team.h"
#include "ai/runtime/world.h"

#include <cstring>

namespace {

constexpr uint32_t kInitialTeamCapacity = 4;

} // namespace

char* Vusk::CopyText(const char* text) {
    if (text == nullptr)
        return nullptr;
    const size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(Vusk::EngineAllocate(size));
    if (copy != nullptr)
        std::memcpy(copy, text, size);
    return copy;
}

CEntity::CEntity(const char* name, void* hostObject) : m_hostObject(hostObject) {
    m_name = Vusk::CopyText(name != nullptr ? name : "none");
    m_teams = new CList<CTeam*>(kInitialTeamCapacity);
    if (m_teams != nullptr && m_teams->GetCapacity() != kInitialTeamCapacity) {
        delete m_teams;
        m_teams = nullptr;
    }
    const uint32_t count = CEntityAttributeDesc::GetRegistry().GetCount();
    m_attributes = Vusk::AllocatePointers<CEntityAttribute>(count);
    if (m_attributes != nullptr)
        m_attributeCount = count;
}

CEntity::~CEntity() {
    // Out of the world and the pool first (the world's callbacks and teams still see the brain).
    Vusk::TakeEntityOut(this);
    LeaveTeams();
    delete m_brain;
    m_brain = nullptr;
    delete m_teams;
    Vusk::EngineFree(m_name);
    Vusk::FreeSlots(m_attributes, m_attributeCount);
}

void CEntity::LeaveTeams() {
    // Leaving a team unlinks it from m_teams, so the head is taken again after each one.
    while (m_teams != nullptr && m_teams->GetHead() != nullptr) {
        CListNode<CTeam*>* head = m_teams->GetHead();
        CTeam* team = head->GetValue();
        team->RemoveMember(this);
        // A team class whose RemoveMember does not call back must not stall the loop.
        if (m_teams->GetHead() == head && head->GetValue() == team)
            m_teams->Remove(head);
    }
}

bool CEntity::Init(CConfigNode*) { return true; }

void CEntity::UpdateBrain() {
    if (m_brain != nullptr)
        m_brain->Update();
}

bool CEntity::IsComplete() const {
    return m_name != nullptr && m_teams != nullptr &&
           m_attributeCount == CEntityAttributeDesc::GetRegistry().GetCount();
}

int CEntity::GetIndex() const {
    if (m_worldNode == nullptr)
        return -1;
    const CWorld* world = Vusk::GetCurrentWorld();
    if (world == nullptr || world->GetEntityTable() == nullptr)
        return -1;
    const uint32_t index = world->GetEntityTable()->IndexOf(m_worldNode);
    return index == CList<CEntity*>::kNoIndex ? -1 : static_cast<int>(index);
}

CEntityAttribute* CEntity::GetAttribute(const CEntityAttributeDesc* descriptor) const {
    return Vusk::SlotOf(m_attributes, m_attributeCount, descriptor);
}

CEntityAttribute* CEntity::CreateAttribute(const CEntityAttributeDesc* descriptor) {
    return Vusk::CreateInSlot(m_attributes, m_attributeCount, descriptor);
}

bool CEntity::AddTeam(CTeam* team) {
    if (m_teams == nullptr)
        return false;
    if (m_teams->IsFull()) {
        const uint32_t capacity = m_teams->GetCapacity() * 2;
        CList<CTeam*>* larger = new CList<CTeam*>(capacity);
        if (larger == nullptr)
            return false;
        if (larger->GetCapacity() != capacity) {
            delete larger;
            return false;
        }
        for (CTeam* existing : *m_teams)
            larger->Insert(existing);
        delete m_teams;
        m_teams = larger;
    }
    return !m_teams->Insert(team).IsNull();
}

void CEntity::RemoveTeam(CTeam* team) {
    if (m_teams != nullptr)
        m_teams->RemoveValue(team);
}
