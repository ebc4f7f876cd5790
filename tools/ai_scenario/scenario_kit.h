#pragma once
// Host side of the AI scenarios and of the behaviour tests: a kinematic body per entity that the
// host moves by the actions its brain applies, the entity, action-class and brain classes that
// connect bodies to the engine, and helpers that build configuration trees in code.

#include <cstdint>
#include <string>
#include <vector>

#include "ai/runtime/brain.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/entity.h"

namespace scenario {

// What the host knows of one actor; the engine reads it through ScenarioEntity and changes it
// through ScenarioActionClass.
struct HostBody {
    CVector3 position;         // feet position (host units)
    float heading = 0.0f;      // yaw in degrees, 0 along +z, 90 along +x
    float speed = 0.0f;        // current speed (host units per second)
    float eyeHeight = 1.6f;    // eye above the feet (host units)
    float maxSpeed = 2.0f;     // written into CEntityMaxSpeed
    float width = 0.6f;        // written into CEntityWidth
    int32_t teamSide = -1;     // written into CEntityTeamSide
    // Actions applied this frame (cleared by the host before each AI frame).
    bool rotateSet = false;
    float rotate = 0.0f;
    bool speedSet = false;
    float speedCommand = 0.0f;
};

// Moves a body by the actions applied to it: the heading becomes the rotate value, the speed the
// speed value (0 when no speed was applied), then the body moves dt seconds along its heading.
void Integrate(HostBody& body, float dt);

// Entity class "ScenarioEntity": its host object is a HostBody. Init creates the eye position,
// width, height, max speed and team side attributes, and a visual acuteness when the definition
// has a "VisualAcuteness" child ("range angle"); Update copies the body into the entity.
class ScenarioEntity : public CEntity {
public:
    using CEntity::CEntity;
    bool Init(CConfigNode* definition) override;
    const CEntityClassDesc* GetClassDesc() const override;
    void Update() override;
    static CEntityClassDesc s_desc;
};

// Action class "ScenarioActionClass": CActionRotate and CActionSpeed; Apply writes them into the
// entity's body.
class ScenarioActionClass : public CActionClass {
public:
    ScenarioActionClass();
    const CActionClassDesc* GetClassDesc() const override;
    void Apply(CEntity* entity) override;
    static CActionClassDesc s_desc;
};

// Brain "ScenarioBrain": thinks with every ready agent in order and gathers the actions they set.
class ScenarioBrain : public CBrain {
public:
    using CBrain::CBrain;
    const CBrainDesc* GetClassDesc() const override;
    bool Think() override;
    static CBrainDesc s_desc;
};

// Appends a child named `name` with optional value and label; returns it.
CConfigNode* Add(CConfigNode* parent, const char* name, const char* value = nullptr, const char* label = nullptr);

// A scheduler task of the world definition.
struct TaskSpec {
    std::string name;
    bool periodic = false;
    float periodMs = 0.0f;   // periodic: period in milliseconds
    int maxCall = 1000;      // aperiodic: grants per frame
    float tpfMs = 1000.0f;   // aperiodic: time allowance per frame in milliseconds
};

// The tasks every engine behaviour asks for, with generous limits.
std::vector<TaskSpec> DefaultTasks();

// World definition: MaxEntity, OneMeter 1, Tpf (milliseconds; 0 turns rationing off), the tasks,
// and the global services named (each with an empty definition).
CConfigNode* MakeWorldTree(int maxEntity, float tpfMs, const std::vector<TaskSpec>& tasks,
                           const std::vector<std::string>& globalServices);

// Entity definition of class ScenarioEntity; with a brain of class ScenarioBrain when brain is not
// null (the returned node's "Brain" child, to which services and agents are added).
CConfigNode* MakeEntityDefinition(CConfigNode** brain);
// Adds a "Service" or "Agent" child of that class to a brain definition; returns it for parameters.
CConfigNode* AddService(CConfigNode* brain, const char* className);
CConfigNode* AddAgent(CConfigNode* brain, const char* className);

} // namespace scenario
