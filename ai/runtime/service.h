#pragma once
// Base classes of the facilities: CService (owned by a brain and shared by its agents, such as
// the path finder) and CGlobalService (a manager owned by the world and shared by every entity,
// such as the graph manager). Both are created by class name from their registries and
// configured from a definition node.

#include "ai/runtime/class_desc.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine_object.h"

class CBrain;

namespace Vusk {

// The default Init of agents, services, global services and teams: true for a null definition
// or one without children; otherwise every child not named "Class" goes, in order, to
// readParam(child), and the first false makes the result false.
template <class ReadParam> bool PassParameters(CConfigNode* definition, ReadParam readParam) {
    if (definition == nullptr)
        return true;
    const uint32_t count = definition->GetChildCount();
    for (uint32_t i = 0; i < count; ++i) {
        CConfigNode* child = definition->GetChild(i);
        if (child->HasName("Class"))
            continue;
        if (!readParam(child))
            return false;
    }
    return true;
}

} // namespace Vusk

// A service ends with its brain: the brain's array and its agents name it.
class CService : public CEngineObject {
public:
    explicit CService(CBrain* owner) : m_brain(owner) {}

    // Passes each parameter child to ReadParam (Vusk::PassParameters).
    virtual bool Init(CConfigNode* definition);
    // Reads one parameter by its node name; false for a name the class does not know.
    virtual bool ReadParam(CConfigNode* node);
    // Per-frame work, run by CBrain::Update before the agents; nothing by default.
    virtual void Update();
    virtual const CServiceDesc* GetClassDesc() const = 0;

    CBrain* GetBrain() const { return m_brain; }

private:
    CBrain* m_brain; // owning brain
};

class CGlobalService : public CEngineObject {
public:
    // Leaves the global services of the world that holds it. What cached it (agents, path objects,
    // the objects a manager owns) is the caller's to end first.
    ~CGlobalService() override;
    // Passes each parameter child to ReadParam (Vusk::PassParameters).
    virtual bool Init(CConfigNode* definition);
    // Reads one parameter by its node name; false for a name the class does not know.
    virtual bool ReadParam(CConfigNode* node);
    // Spare hook of the managers; the world never calls it.
    virtual void Reset();
    // Per-frame work, run by CWorld::Update after the entities; nothing by default.
    virtual void Update();
    virtual const CGlobalServiceDesc* GetClassDesc() const = 0;
};
