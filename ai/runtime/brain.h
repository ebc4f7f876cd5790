#pragma once
// CBrain: produces an entity's behaviour. It owns the entity's agents (behaviours) and services
// (facilities the agents share) and one action class: the set of actions the brain decides on
// in a frame, which the host's action class applies to the entity.
//
// CActionClass: one slot per registered action class, indexed by the action descriptor's index;
// the concrete action class creates the actions it supports.

#include "ai/runtime/class_desc.h"
#include "ai/runtime/action.h"
#include "ai/runtime/engine_object.h"

#include <cstdint>

class CAgent;
class CConfigNode;
class CEntity;
class CService;

class CActionClass : public CEngineObject {
public:
    // One empty slot per class registered in the action registry now.
    CActionClass();
    // Copies between action classes go through CopyFrom, which copies the actions' values.
    CActionClass(const CActionClass&) = delete;
    CActionClass& operator=(const CActionClass&) = delete;
    // Deletes every action.
    ~CActionClass() override;

    // For each slot where other holds a set action, this object's action takes its value (and is
    // set); a missing action of this object is created first. Other slots are left unchanged.
    virtual void CopyFrom(const CActionClass* other);
    virtual const CActionClassDesc* GetClassDesc() const = 0;
    // Turns the set actions into effects on the entity or its host object.
    virtual void Apply(CEntity* entity) = 0;

    // The action in the descriptor's slot; null when absent or the index is outside the array.
    CAction* GetAction(const CActionDesc* descriptor) const;
    // Creates the action in the descriptor's slot (an existing one is replaced) and returns it;
    // null when the index is outside the array, the class has no create function or memory runs
    // out.
    CAction* CreateAction(const CActionDesc* descriptor);
    // The action of class T when its slot holds an object of exactly that class, else null.
    template <class T> T* FindAction() const {
        CAction* action = GetAction(&T::s_desc);
        return action != nullptr && action->GetClassDesc() == &T::s_desc ? static_cast<T*>(action) : nullptr;
    }
    // Clears the set flag of every action present.
    void ClearActions();

    uint32_t GetActionSlotCount() const { return m_actionCount; }
    CAction* GetActionAt(uint32_t slot) const { return slot < m_actionCount ? m_actions[slot] : nullptr; }
    // True when construction got its memory.
    bool IsComplete() const;

private:
    uint32_t m_actionCount = 0;    // slots: the action registry's count at construction
    CAction** m_actions = nullptr; // owned actions by descriptor index, null when absent
};

class CBrain : public CEngineObject {
public:
    // Agent and service arrays with one slot per class registered in their registries now; the
    // action class is made by the descriptor's create function (none without one).
    CBrain(CEntity* owner, const CActionClassDesc* actionClassDesc);
    CBrain(const CBrain&) = delete;
    CBrain& operator=(const CBrain&) = delete;
    // Leaves its owner without a brain (when the owner still names it), deletes the action class,
    // every agent and every service.
    ~CBrain() override;

    virtual const CBrainDesc* GetClassDesc() const = 0;
    // Creates the services and agents the definition names ("Service" and "Agent" children, by
    // their "Class" value; unknown classes and objects whose Init fails are left out, as are
    // objects beyond the array's room), then passes every other child but "Class" to ReadParam.
    // False without an action class or when ReadParam refuses a child.
    virtual bool Init(CConfigNode* definition);
    // A plain brain has no parameters.
    virtual bool ReadParam(CConfigNode* node);
    // Update of every service, then of every agent, in array order; one that ends the brain (deletes
    // it or its entity) is the last.
    virtual void Update();
    // Decides this frame's actions; true when the action class holds actions to apply. A Think that
    // ends its entity or its brain touches neither afterwards (the world then applies nothing).
    virtual bool Think() = 0;

    // First agent whose class is exactly the descriptor's; null when none.
    CAgent* GetAgent(const CAgentDesc* descriptor) const;
    // First service of the descriptor's class or of a class derived from it; null when none.
    CService* GetService(const CServiceDesc* descriptor) const;

    CEntity* GetOwner() const { return m_owner; }
    CActionClass* GetActionClass() const { return m_actionClass; }
    uint32_t GetAgentCount() const { return m_agentCount; }
    uint32_t GetAgentCapacity() const { return m_agentCapacity; }
    CAgent* GetAgentAt(uint32_t i) const { return i < m_agentCount ? m_agents[i] : nullptr; }
    uint32_t GetServiceCount() const { return m_serviceCount; }
    uint32_t GetServiceCapacity() const { return m_serviceCapacity; }
    CService* GetServiceAt(uint32_t i) const { return i < m_serviceCount ? m_services[i] : nullptr; }

private:
    CAgent** m_agents = nullptr;           // owned agents in creation order
    uint32_t m_agentCount = 0;             // agents held
    uint32_t m_agentCapacity = 0;          // agent registry's count at construction
    CService** m_services = nullptr;       // owned services in creation order
    uint32_t m_serviceCount = 0;           // services held
    uint32_t m_serviceCapacity = 0;        // service registry's count at construction
    CEntity* m_owner;                      // entity the brain drives
    CActionClass* m_actionClass = nullptr; // owned decisions of the frame
    bool* m_updateEnded = nullptr;         // flag of the Update under way, set when the brain goes
};
