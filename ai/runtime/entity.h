#pragma once
// CEntity: the AI's view of one actor of the host (a soldier, the player, a path object). A named
// object with an optional brain, a link to the host's own object, one slot per registered
// attribute class and memberships in teams. Concrete entity classes, registered in the
// entity-class registry, supply Update, which copies the host's state into the entity each frame.

#include "ai/runtime/class_desc.h"
#include "ai/runtime/engine_object.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/list.h"
#include "ai/runtime/vector3.h"

#include <cstdint>

namespace Vusk {
// Copy of text in engine memory (release with Vusk::EngineFree); null when text is null or
// memory runs out.
char* CopyText(const char* text);
} // namespace Vusk

class CBrain;
class CConfigNode;
class CTeam;
class CWorld;

class CEntity : public CEngineObject {
public:
    // Copies the name ("none" when null) and sizes the attribute array by the attribute registry.
    CEntity(const char* name, void* hostObject);
    // An entity owns its name, brain, team list and attributes: it is never copied.
    CEntity(const CEntity&) = delete;
    CEntity& operator=(const CEntity&) = delete;
    // Leaves its world and the engine entity pool (Vusk::TakeEntityOut) and every team of its
    // list, deletes the brain, the team list, the name and the attributes.
    ~CEntity() override;

    // Reads the entity's definition; the default accepts any definition.
    virtual bool Init(CConfigNode* definition);
    // Runs the brain's Update (services, then agents) when there is a brain.
    virtual void UpdateBrain();
    virtual const CEntityClassDesc* GetClassDesc() const = 0;
    // Per-frame operation, called by the world for every entity before any brain thinks.
    virtual void Update() = 0;

    // True when construction got all its memory (name, team list, attribute array).
    bool IsComplete() const;

    // Number of the entity's node in its world's entity table; -1 when in no world.
    int GetIndex() const;

    // The attribute in the descriptor's slot; null when the index is outside the array or the
    // slot is empty.
    CEntityAttribute* GetAttribute(const CEntityAttributeDesc* descriptor) const;
    // Creates the attribute in the descriptor's slot (replacing none: an existing one is
    // deleted first) and returns it; null when the index is outside the array, the class has no
    // create function or memory runs out.
    CEntityAttribute* CreateAttribute(const CEntityAttributeDesc* descriptor);
    // The attribute of class T when its slot holds an object of exactly that class, else null.
    template <class T> T* FindAttribute() const {
        CEntityAttribute* attribute = GetAttribute(&T::s_desc);
        return attribute != nullptr && attribute->GetClassDesc() == &T::s_desc ? static_cast<T*>(attribute) : nullptr;
    }

    // Team bookkeeping, called by CTeam::AddMember / CTeam::RemoveMember. AddTeam doubles the
    // team list when it is full; false when memory runs out.
    bool AddTeam(CTeam* team);
    void RemoveTeam(CTeam* team);
    // Makes every team on the entity's list remove it.
    void LeaveTeams();

    const char* GetName() const { return m_name; }
    CBrain* GetBrain() const { return m_brain; }
    void SetBrain(CBrain* brain) { m_brain = brain; }
    void* GetHostObject() const { return m_hostObject; }
    uint32_t GetClassBitMask() const { return m_classBitMask; }
    void SetClassBitMask(uint32_t mask) { m_classBitMask = mask; }
    CConfigNode* GetDefinition() const { return m_definition; }
    void SetDefinition(CConfigNode* definition) { m_definition = definition; }
    CWorld* GetWorld() const { return m_world; }
    void SetWorld(CWorld* world) { m_world = world; }
    CListNode<CEntity*>* GetPoolNode() const { return m_poolNode; }
    void SetPoolNode(CListNode<CEntity*>* node) { m_poolNode = node; }
    CListNode<CEntity*>* GetWorldNode() const { return m_worldNode; }
    void SetWorldNode(CListNode<CEntity*>* node) { m_worldNode = node; }
    const CList<CTeam*>* GetTeams() const { return m_teams; }
    // The world frame in which the brain last thought (CWorld::Update's engine-wide frame number; 0 before any).
    uint64_t GetThoughtFrame() const { return m_thoughtFrame; }
    void SetThoughtFrame(uint64_t frame) { m_thoughtFrame = frame; }
    uint32_t GetAttributeCount() const { return m_attributeCount; }

    // State written by the concrete entity class each frame and read by agents and services.
    const CVector3& GetPosition() const { return m_position; }
    void SetPosition(const CVector3& position) { m_position = position; }
    // Orientation angles in degrees; y is the heading (yaw).
    const CVector3& GetAngles() const { return m_angles; }
    void SetAngles(const CVector3& angles) { m_angles = angles; }
    // Forward direction.
    const CVector3& GetDirection() const { return m_direction; }
    void SetDirection(const CVector3& direction) { m_direction = direction; }
    float GetSpeed() const { return m_speed; }
    void SetSpeed(float speed) { m_speed = speed; }

private:
    char* m_name = nullptr;                     // owned text
    CListNode<CEntity*>* m_poolNode = nullptr;  // node in the engine entity pool
    CListNode<CEntity*>* m_worldNode = nullptr; // node in the world's entity table
    CBrain* m_brain = nullptr;                  // owned, may be null
    uint32_t m_classBitMask = 0;                // class bits of the services that may see it
    void* m_hostObject = nullptr;               // the host's object, never dereferenced here
    CConfigNode* m_definition = nullptr;        // the definition tree during creation only
    CWorld* m_world = nullptr;                  // world holding the entity, or null
    CList<CTeam*>* m_teams = nullptr;           // teams the entity belongs to
    CVector3 m_position{0.0f, 0.0f, 0.0f};      // host units
    CVector3 m_angles{0.0f, 0.0f, 0.0f};        // degrees, y = heading
    CVector3 m_direction{0.0f, 0.0f, 0.0f};     // forward direction
    float m_speed = 0.0f;                       // current speed, host units per second
    CEntityAttribute** m_attributes = nullptr;  // one slot per registered attribute class
    uint32_t m_attributeCount = 0;              // slots in m_attributes
    uint64_t m_thoughtFrame = 0;                // world frame of the last Think
};
