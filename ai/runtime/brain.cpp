#include "ai/runtime/brain.h"

#include "ai/runtime/action.h"
#include "ai/runtime/agent.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/service.h"

#include <cstring>

namespace {

// Array of count null pointers in engine memory; null for 0 or when memory runs out.
template <class T> T** AllocatePointers(uint32_t count) {
    if (count == 0)
        return nullptr;
    T** array = static_cast<T**>(Vusk::EngineAllocate(sizeof(T*) * count));
    if (array != nullptr)
        std::memset(array, 0, sizeof(T*) * count);
    return array;
}

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
    m_actions = AllocatePointers<CAction>(count);
    if (m_actions != nullptr)
        m_actionCount = count;
}

CActionClass::~CActionClass() {
    for (uint32_t i = 0; i < m_actionCount; ++i)
        delete m_actions[i];
    Vusk::EngineFree(m_actions);
}

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
    if (descriptor == nullptr)
        return nullptr;
    const uint32_t index = static_cast<uint32_t>(descriptor->GetIndex());
    return index < m_actionCount ? m_actions[index] : nullptr;
}

CAction* CActionClass::CreateAction(const CActionDesc* descriptor) {
    if (descriptor == nullptr)
        return nullptr;
    const uint32_t index = static_cast<uint32_t>(descriptor->GetIndex());
    if (index >= m_actionCount || descriptor->GetCreateFunction() == nullptr)
        return nullptr;
    CAction* action = descriptor->GetCreateFunction()();
    if (action == nullptr)
        return nullptr;
    delete m_actions[index];
    m_actions[index] = action;
    return action;
}

void CActionClass::ClearActions() {
    for (uint32_t i = 0; i < m_actionCount; ++i)
        if (m_actions[i] != nullptr)
            m_actions[i]->set = 0;
}

CBrain::CBrain(CEntity* owner, const CActionClassDesc* actionClassDesc) : m_owner(owner) {
    const uint32_t agents = CAgentDesc::GetRegistry().GetCount();
    const uint32_t services = CServiceDesc::GetRegistry().GetCount();
    m_agents = AllocatePointers<CAgent>(agents);
    if (m_agents != nullptr)
        m_agentCapacity = agents;
    m_services = AllocatePointers<CService>(services);
    if (m_services != nullptr)
        m_serviceCapacity = services;
    if (actionClassDesc != nullptr && actionClassDesc->GetCreateFunction() != nullptr)
        m_actionClass = actionClassDesc->GetCreateFunction()();
}

CBrain::~CBrain() {
    delete m_actionClass;
    for (uint32_t i = 0; i < m_agentCount; ++i)
        delete m_agents[i];
    for (uint32_t i = 0; i < m_serviceCount; ++i)
        delete m_services[i];
    Vusk::EngineFree(m_agents);
    Vusk::EngineFree(m_services);
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
    for (uint32_t i = 0; i < m_serviceCount; ++i)
        m_services[i]->Update();
    for (uint32_t i = 0; i < m_agentCount; ++i)
        m_agents[i]->Update();
}

CAgent* CBrain::GetAgent(const CAgentDesc* descriptor) const {
    for (uint32_t i = 0; i < m_agentCount; ++i)
        if (m_agents[i]->GetClassDesc() == descriptor)
            return m_agents[i];
    return nullptr;
}

CService* CBrain::GetService(const CServiceDesc* descriptor) const {
    for (uint32_t i = 0; i < m_serviceCount; ++i)
        if (Vusk::IsKindOf(m_services[i]->GetClassDesc(), descriptor))
            return m_services[i];
    return nullptr;
}
