#pragma once
// CWorld: one AI simulation. It holds its configuration tree, its scale (OneMeter), the table of
// entities taking part, its teams and the global services (managers shared by every entity).
// One world is current (Vusk::GetCurrentWorld); most engine code reaches the world through it. A world is created by
// Vusk::CreateWorldFromTree, configured by ReadConfig and advanced by one Update per host frame.
//
// The entity-added and entity-removed callback tables are engine-wide: they outlive a world
// until its destructor releases them.

#include "ai/runtime/class_desc.h"
#include "ai/runtime/engine_object.h"
#include "ai/runtime/list.h"

#include <cstdint>

class CAisReader;
class CConfigNode;
class CEntity;
class CGlobalService;
class CTeam;

namespace Vusk {
// Called with the entity and the user word given at registration.
using EntityCallback = void (*)(CEntity* entity, void* user);
} // namespace Vusk

class CWorld : public CEngineObject {
public:
    explicit CWorld(CAisReader* reader);
    CWorld(const CWorld&) = delete;
    CWorld& operator=(const CWorld&) = delete;
    // Deletes the teams and the team list, destroys every entity of the table and every entity
    // of the engine entity pool that is in no world, deletes the global services and the entity
    // table, and leaves the engine's world table (and the current-world pointer when it named
    // this world). The last world also releases the time manager and the callback tables, which
    // all worlds share.
    ~CWorld() override;

    // Reads "MaxEntity", "MaxTeam", "OneMeter", the task capacities, "Tpf", the "TimeMgt" tasks
    // and the global services. False when "MaxEntity", "OneMeter" or "Tpf" is missing or memory
    // runs out.
    bool ReadConfig(CConfigNode* tree);
    // One AI frame: time-manager frame start, Update of every entity (table order) and of every
    // global service, then, in the scheduler's order, each brain's Think and, when it decided
    // something, its action class's Apply.
    // What runs in the frame (an entity's Update, a global service's Update, a brain's Think, an
    // action class's Apply, the callbacks they cause) may remove, delete and add entities, brains and
    // global services, this frame's own included. What left is not updated in the frame any more, the
    // others run in order, and what was added (first time or again) gets its Update from the next frame
    // on. Thinking goes by the scheduler's indices: the entity on an index when the scheduler reaches
    // it thinks (and applies) unless it thought already in this frame. So none thinks twice, what left
    // is not reached, and one added during the frame thinks in it only on an index not yet passed.
    // The world itself must not be deleted during its frame; an Update called during it does nothing.
    void Update();

    // False when the entity is in a world already or the table is full; else the entity joins the
    // table and the entity-added callbacks run. The answer says whether the entity is in this world
    // when the call returns: false too when a callback took it out (and did not put it back) or ended
    // it, and the caller must not use a deleted entity. A callback that takes the entity out ends the
    // walk: the later callbacks are not told of this arrival (putting it back tells them all of that one).
    bool AddEntity(CEntity* entity);
    // False when the entity is not in this world's table; else the entity-removed callbacks run,
    // the entity leaves its teams and the table. The entity itself stays: one that is in no world
    // is destroyed with the next world that goes (or Vusk::DestroyEntity). A callback may remove the
    // entity again (that call finishes the removal) but must not delete it.
    bool RemoveEntity(CEntity* entity);
    // Appends an owned global service; false when memory runs out (the caller keeps it).
    bool AddGlobalService(CGlobalService* service);
    // Takes the service out of the array (the others keep their order); nothing when absent.
    void ForgetGlobalService(const CGlobalService* service);
    // First global service of the descriptor's class or of a class derived from it.
    CGlobalService* GetGlobalService(const CGlobalServiceDesc* descriptor) const;
    // First entity in table order with that name (ASCII case-insensitive).
    CEntity* FindEntity(const char* name) const;
    // The entity whose table node has that number; null when out of range or unused.
    CEntity* GetEntityAt(int index) const;

    // Engine-wide callback tables. Add appends the pair (false for a null function or when memory
    // runs out); Remove drops the first equal pair, keeping the order of the others. Callbacks may
    // add and remove pairs and entities, also while an event is under way: each pair registered when
    // the event began hears it once unless removed before its turn, pairs added meanwhile hear the
    // next events, and none is called with an entity that has left the world (a removed entity's
    // callbacks all run before it leaves).
    static bool AddEntityAddedCallback(Vusk::EntityCallback function, void* user);
    static void RemoveEntityAddedCallback(Vusk::EntityCallback function, void* user);
    // An entity-removed callback may be called from the entity's destructor, when only its CEntity
    // part is left: it compares the pointer and reads CEntity's own fields, and calls none of the
    // entity's virtual functions.
    static bool AddEntityRemovedCallback(Vusk::EntityCallback function, void* user);
    static void RemoveEntityRemovedCallback(Vusk::EntityCallback function, void* user);
    // Runs the entity-removed callbacks for an entity in no world that is held all the same (a path
    // object given to a manager by hand) and is going; nothing for an entity in a world.
    static void TellEntityRemoved(CEntity* entity);

    CAisReader* GetReader() const { return m_reader; }
    CConfigNode* GetConfig() const { return m_config; }
    float GetOneMeter() const { return m_oneMeter; }
    uint32_t GetMaxEntity() const { return m_maxEntity; }
    uint32_t GetMaxTeam() const { return m_maxTeam; }
    CList<CEntity*>* GetEntityTable() const { return m_entities; }
    CList<CTeam*>* GetTeamList() const { return m_teams; }
    uint32_t GetGlobalServiceCount() const { return m_serviceCount; }
    CGlobalService* GetGlobalServiceAt(uint32_t i) const { return i < m_serviceCount ? m_services[i] : nullptr; }
    uint32_t GetSlot() const { return m_slot; }
    void SetSlot(uint32_t slot) { m_slot = slot; }

    // Slot value of a world not (yet) stored in the engine's world table.
    static constexpr uint32_t kNoSlot = 0xFFFFFFFFu;

private:
    void ReadTasks(CConfigNode* timeManagement);
    void ReadGlobalServices(CConfigNode* tree);

    CAisReader* m_reader;                  // world file reader for raw data blocks
    CConfigNode* m_config = nullptr;       // configuration tree, not owned
    float m_oneMeter = 1.0f;               // one metre in host units
    uint32_t m_maxEntity = 0;              // entity table capacity
    CList<CEntity*>* m_entities = nullptr; // entity table; node number = entity index
    uint32_t m_maxTeam = 0;                // team list capacity
    CList<CTeam*>* m_teams = nullptr;      // team list, null without "MaxTeam"
    CGlobalService** m_services = nullptr; // owned global services
    uint32_t m_serviceCount = 0;           // services held
    uint32_t m_serviceCapacity = 0;        // entries in m_services
    uint32_t m_slot = kNoSlot;             // index in the engine's world table
    // Places of the frame under way (Update), moved by what removes entities and services meanwhile.
    bool m_inFrame = false;
    CListNode<CEntity*>* m_updateNext = nullptr; // next entity to update, null when none is left
    CListNode<CEntity*>* m_updateLast = nullptr; // last entity to update (the table's tail at the start)
    uint32_t m_serviceNext = 0;                  // next global service to update
    uint32_t m_serviceEnd = 0;                   // global services to update this frame
};

// Keeps one entity-removed callback registered while its holder lives, for objects that must drop
// their pointers to an entity leaving the world: Register adds the callback once (later calls only
// answer whether it is registered; false when memory runs out), destruction removes it.
class CEntityRemovedHook {
public:
    CEntityRemovedHook(Vusk::EntityCallback function, void* user) : m_function(function), m_user(user) {}
    CEntityRemovedHook(const CEntityRemovedHook&) = delete;
    CEntityRemovedHook& operator=(const CEntityRemovedHook&) = delete;
    ~CEntityRemovedHook();

    bool Register();
    bool IsRegistered() const { return m_registered; }

private:
    Vusk::EntityCallback m_function;
    void* m_user;
    bool m_registered = false;
};

namespace Vusk {
// OneMeter of the current world; 0 without a current world.
float GetCurrentOneMeter();
// Removes the entity from its world (as CWorld::RemoveEntity), from the engine entity pool, and
// deletes it. Deleting the entity does the same.
void DestroyEntity(CEntity* entity);
// Takes the entity out of its world (as CWorld::RemoveEntity) and out of the engine entity pool;
// nothing for what it already left. The entity's destructor runs it first.
void TakeEntityOut(CEntity* entity);
// Take the team out of the team list, and the service out of the global services, of whichever
// world lists it (the current world or another of the engine's world table); nothing where none
// does. Their destructors run them.
void TakeTeamOut(CTeam* team);
void TakeGlobalServiceOut(const CGlobalService* service);
// Releases what all worlds share: the time manager and both callback tables. The last world
// does it when it goes, and the engine's shut-down, for state made while no world existed.
void ReleaseWorldSharedState();
} // namespace Vusk
