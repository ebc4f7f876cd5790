#pragma once
// CAgent: base of the behaviours a brain runs (hide, follow, wander ...). An agent owns an action
// class of the same class as its brain's, into which it writes its decisions.

#include "ai/runtime/class_desc.h"
#include "ai/runtime/engine_object.h"

class CActionClass;
class CBrain;
class CConfigNode;

class CAgent : public CEngineObject {
public:
    // Creates the agent's own action class through the descriptor of the brain's one (none when
    // the brain has none or memory runs out).
    explicit CAgent(CBrain* owner);
    CAgent(const CAgent&) = delete;
    CAgent& operator=(const CAgent&) = delete;
    // Deletes the own action class. An agent ends with its brain: the brain's array and the
    // brain's own pointers name it.
    ~CAgent() override;

    // Passes each parameter child to ReadParam (Vusk::PassParameters).
    virtual bool Init(CConfigNode* definition);
    // Reads one parameter by its node name; false for a name the class does not know.
    virtual bool ReadParam(CConfigNode* node);
    // Per-frame work, run by CBrain::Update; nothing by default.
    virtual void Update();
    virtual const CAgentDesc* GetClassDesc() const = 0;
    // Whether the agent can act (its resources are in place).
    virtual bool IsReady() = 0;
    // Decides this frame's actions into the own action class; true when it decided any.
    virtual bool Think() = 0;

    CActionClass* GetActionClass() const { return m_actionClass; }
    CBrain* GetBrain() const { return m_brain; }

private:
    CActionClass* m_actionClass = nullptr; // owned, same class as the brain's
    CBrain* m_brain;                       // owning brain
};
