#pragma once
// Host side of the AI scenarios and of the behaviour tests: a kinematic body per entity that the
// host moves by the actions its brain applies, the entity, action-class and brain classes that
// connect bodies to the engine, and helpers that build configuration trees in code.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "ai/runtime/brain.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/entity.h"
#include "testing/config_tree.h"

class CSpatialGraph;
class CWorld;

namespace scenario {

// What the host knows of one actor; the engine reads it through ScenarioEntity and changes it
// through ScenarioActionClass.
struct HostBody {
    CVector3 position;      // feet position (host units)
    float heading = 0.0f;   // yaw in degrees, 0 along +z, 90 along +x
    float speed = 0.0f;     // current speed (host units per second)
    float eyeHeight = 1.6f; // eye above the feet (host units)
    float maxSpeed = 2.0f;  // written into CEntityMaxSpeed
    float width = 0.6f;     // written into CEntityWidth
    int32_t teamSide = -1;  // written into CEntityTeamSide
    bool frozen = false;    // the host does not move the body (it is stuck)
    // Actions applied this frame (cleared by the host before each AI frame).
    bool rotateSet = false;
    float rotate = 0.0f;
    bool speedSet = false;
    float speedCommand = 0.0f;
    bool shootSet = false;
    bool fire = false;
    CVector3 shootDirection;
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

// Action class "ScenarioActionClass": CActionRotate, CActionSpeed and CActionShoot; Apply writes
// them into the entity's body.
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
using configtree::Add;
using configtree::AddDefinition;

// A scheduler task of the world definition.
struct TaskSetup {
    std::string name;
    bool periodic = false;
    float periodMs = 0.0f; // periodic: period in milliseconds
    int maxCall = 1000;    // aperiodic: grants per frame
    float tpfMs = 1000.0f; // aperiodic: time allowance per frame in milliseconds
};

// The tasks every engine behaviour asks for, with generous limits.
std::vector<TaskSetup> DefaultTasks();

// World definition: MaxEntity, OneMeter 1, Tpf (milliseconds; 0 turns rationing off), the tasks,
// and the global services named (each with an empty definition).
CConfigNode* MakeWorldTree(int maxEntity, float tpfMs, const std::vector<TaskSetup>& tasks,
                           const std::vector<std::string>& globalServices);

// Entity definition of class ScenarioEntity; with a brain of class ScenarioBrain when brain is not
// null (the returned node's "Brain" child, to which services and agents are added).
CConfigNode* MakeEntityDefinition(CConfigNode** brain);
// Adds a "Service" or "Agent" child of that class to a brain definition; returns it for parameters.
CConfigNode* AddService(CConfigNode* brain, const char* className);
CConfigNode* AddAgent(CConfigNode* brain, const char* className);

// An axis-aligned box of the level.
struct Box {
    float min[3]; // lower corner x, y, z
    float max[3]; // upper corner x, y, z
};

// Hands the boxes to the fake host, whose ray, line-of-sight and sweep queries test them.
void AddBoxes(const std::vector<Box>& boxes);

// A navigation graph over the floor (y = 0): a vertex every `step` units inside the rectangle,
// except where a box grown by `clearance` covers it, and an edge both ways between grid
// neighbours (diagonals included) whose straight way keeps `clearance` away from every box of the
// fake host. Null when memory runs out.
CSpatialGraph* BuildGridGraph(float minX, float minZ, float maxX, float maxZ, float step, float clearance);

// One world of the fake host with the bodies of its entities.
class ScenarioWorld {
public:
    ScenarioWorld() = default;
    ScenarioWorld(const ScenarioWorld&) = delete;
    ScenarioWorld& operator=(const ScenarioWorld&) = delete;
    // Deletes the world, then the trees.
    ~ScenarioWorld();

    // Creates the world from tree (kept and deleted with this object); false when refused.
    bool Create(CConfigNode* tree, std::size_t poolSize);
    // Creates an entity of the definition (kept and deleted with this object) on a new body and adds
    // it to the world; null when refused.
    CEntity* Spawn(const HostBody& body, CConfigNode* definition, uint32_t classBitMask, const char* name = nullptr);
    // Adopts a graph under that name in the world's graph manager; false when refused (the graph is
    // then deleted).
    bool AddGraph(const char* name, CSpatialGraph* graph, bool updateWithPathObjects = false);
    // One host frame at `time`: the AI frame (entities update, brains think and apply), then every
    // body moves dt seconds.
    void Frame(double time, float dt);
    // The two halves of a frame, for a host that looks at the applied actions before the bodies move.
    void RunAi(double time);
    void MoveBodies(float dt);
    // Wall time and this thread's processor time of the last frame's AI update (s).
    double GetLastAiSeconds() const { return m_lastAiSeconds; }
    double GetLastAiCpuSeconds() const { return m_lastAiCpuSeconds; }

    CWorld* GetWorld() const { return m_world; }
    HostBody& BodyOf(const CEntity* entity) { return *static_cast<HostBody*>(entity->GetHostObject()); }

private:
    CWorld* m_world = nullptr;
    std::vector<CConfigNode*> m_trees; // world tree and entity definitions
    std::deque<HostBody> m_bodies;     // stable addresses: entities point at them
    double m_lastAiSeconds = 0.0;
    double m_lastAiCpuSeconds = 0.0;
};

} // namespace scenario
