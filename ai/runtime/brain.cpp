#include "ai/runtime/brain.h"

#include "ai/runtime/action.h"
#include "ai/runtime/agent.h"
#include "ai/runtime/engine_arrays.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/service.h"

namespace {

// An agent needs its own action class; a service needs nothing of its own.
bool IsUsable(const CAgent* agent) {
    return agent->GetActionClass() != nullptr && agent->GetActionClass()->IsComplete();
}
bool IsUsable(const CService*) { return true; }

// Creates, initialises and stores one agent or service of the definition child; the object is
// dropped when its class is unknown, memory runs out, its Init fails or the array has no room
// left.
template <class Desc, class Object>
void CreateMember(CBrain* brain, CConfigNode* child, Object** array, uint32_t& count, uint32_t capacity) {
    const Desc* desc = Desc::Find(child->GetChildValue("Class"));
    if (desc == nullptr || desc->GetCreateFunction() == nullptr || count >= capacity)
        return;
    Object* object = desc->GetCreateFunction()(brain);
    if (object == nullptr)
        return;
    if (!IsUsable(object) || !object->Init(child)) {
        delete object;
        return;
    }
    array[count++] = object;
}

} // namespace

CActionClass::CActionClass() {
    const uint32_t count = CActionDesc::GetRegistry().GetCount();
    m_actions = Vusk::AllocatePointers<CAction>(count);
    if (m_actions != nullptr)
        m_actionCount = count;
}

CActionClass::~CActionClass() { Vusk::FreeSlots(m_actions, m_actionCount); }

bool CActionClass::IsComplete() const { return m_actionCount == CActionDesc::GetRegistry().GetCount(); }

void CActionClass::CopyFrom(const CActionClass* other) {
    if (other == nullptr || other == this)
        return;
    for (uint32_t slot = 0; slot < other->m_actionCount && slot < m_actionCount; ++slot) {
        const CAction* source = other->m_actions[slot];
        if (source == nullptr || source->set == 0)
            continue;
        CAction* target = m_actions[slot];
        // An action this object never created is made now rather than written through null.
        if (target == nullptr)
            target = CreateAction(source->GetClassDesc());
        if (target != nullptr)
            target->CopyFrom(source);
    }
}

CAction* CActionClass::GetAction(const CActionDesc* descriptor) const {
    return Vusk::SlotOf(m_actions, m_actionCount, descriptor);
}

CAction* CActionClass::CreateAction(const CActionDesc* descriptor) {
    return Vusk::CreateInSlot(m_actions, m_actionCount, descriptor);
}

void CActionClass::ClearActions() {
    for (uint32_t i = 0; i < m_actionCount; ++i)
        if (m_actions[i] != nullptr)
            m_actions[i]->set = 0;
}

CBrain::CBrain(CEntity* owner, const CActionClassDesc* actionClassDesc) : m_owner(owner) {
    const uint32_t agents = CAgentDesc::GetRegistry().GetCount();
    const uint32_t services = CServiceDesc::GetRegistry().GetCount();
    m_agents = Vusk::AllocatePointers<CAgent>(agents);
    if (m_agents != nullptr)
        m_agentCapacity = agents;
    m_services = Vusk::AllocatePointers<CService>(services);
    if (m_services != nullptr)
        m_serviceCapacity = services;
    if (actionClassDesc != nullptr && actionClassDesc->GetCreateFunction() != nullptr)
        m_actionClass = actionClassDesc->GetCreateFunction()();
}

CBrain::~CBrain() {
    // A brain deleted on its own leaves its entity without one (the world no longer asks it to think).
    if (m_owner != nullptr && m_owner->GetBrain() == this)
        m_owner->SetBrain(nullptr);
    if (m_updateEnded != nullptr)
        *m_updateEnded = true;
    delete m_actionClass;
    Vusk::FreeSlots(m_agents, m_agentCount);
    Vusk::FreeSlots(m_services, m_serviceCount);
}

bool CBrain::Init(CConfigNode* definition) {
    if (m_actionClass == nullptr || !m_actionClass->IsComplete())
        return false;
    // Arrays that could not be allocated although classes are registered.
    if (m_agentCapacity != CAgentDesc::GetRegistry().GetCount() ||
        m_serviceCapacity != CServiceDesc::GetRegistry().GetCount())
        return false;
    if (definition == nullptr)
        return true;
    const uint32_t count = definition->GetChildCount();
    // Services and agents first, in definition order, so that an agent's Init finds the
    // services listed before it.
    for (uint32_t i = 0; i < count; ++i) {
        CConfigNode* child = definition->GetChild(i);
        if (child->HasName("Service"))
            CreateMember<CServiceDesc>(this, child, m_services, m_serviceCount, m_serviceCapacity);
        else if (child->HasName("Agent"))
            CreateMember<CAgentDesc>(this, child, m_agents, m_agentCount, m_agentCapacity);
    }
    for (uint32_t i = 0; i < count; ++i) {
        CConfigNode* child = definition->GetChild(i);
        if (child->HasName("Class") || child->HasName("Service") || child->HasName("Agent"))
            continue;
        if (!ReadParam(child))
            return false;
    }
    return true;
}

bool CBrain::ReadParam(CConfigNode* node) { return Vusk::ReturnFalse(node); }

void CBrain::Update() {
    // A service or agent may end this brain (its entity destroyed): the walk stops there, and so does
    // an outer Update of the same brain.
    bool ended = false;
    bool* const outer = m_updateEnded;
    m_updateEnded = &ended;
    for (uint32_t i = 0; !ended && i < m_serviceCount; ++i)
        m_services[i]->Update();
    for (uint32_t i = 0; !ended && i < m_agentCount; ++i)
        m_agents[i]->Update();
    if (!ended)
        m_updateEnded = outer;
    else if (outer != nullptr)
        *outer = true;
}

CAgent* CBrain::GetAgent(const CAgentDesc* descriptor) const {
    for (uint32_t i = 0; i < m_agentCount; ++i)
        if (m_agents[i]->GetClassDesc() == descriptor)
            return m_agents[i];
    return nullptr;
}

CService* CBrain::GetService(const CServiceDesc* descriptor) const {
    return Vusk::FirstOfKind(m_services, m_serviceCount, descriptor);
}
