#include "ai/runtime/world_api.h"

#include "ai/runtime/ais_reader.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/team.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kMaxEntityName = 1023;

// Copies the brain definition's child into the expanded "Brain" node, splicing in the agent and
// service definitions it names. False when a named definition is missing or memory runs out.
bool ExpandBrainChild(const CConfigNode* child, const CConfigNode* agents, const CConfigNode* services,
                      CConfigNode* brain) {
    const CConfigNode* section = nullptr;
    const char* kind = nullptr;
    if (child->HasName("Agent")) {
        section = agents;
        kind = "Agent";
    } else if (child->HasName("Service")) {
        section = services;
        kind = "Service";
    } else {
        return brain->AddChildCopy(child) != nullptr;
    }
    if (child->GetValue() == nullptr || section == nullptr)
        return false;
    const CConfigNode* definition = section->FindChildWithLabel(kind, child->GetValue());
    if (definition == nullptr)
        return false;
    CConfigNode* copy = brain->AddChildCopy(definition);
    return copy != nullptr && copy->SetName(kind) && copy->SetValue(definition->GetLabel());
}

// Deletes an entity whose creation failed; it is in no list yet.
CEntity* DropEntity(CEntity* entity) {
    delete entity;
    return nullptr;
}

} // namespace

CWorld* Vusk::CreateWorld(CConfigNode* tree, std::size_t poolSize) {
    if (Vusk::GetWorldPool() == nullptr && poolSize != 0)
        Vusk::InstallPoolAllocator(poolSize, 100);
    // The world reads the raw data blocks of its tree through the engine's world file reader.
    CAisReader* reader = Vusk::GetAisReader();
    if (reader == nullptr)
        return nullptr;
    return Vusk::CreateWorldFromTree(tree, reader);
}

CWorld* Vusk::CreateWorldFromTree(CConfigNode* tree, CAisReader* reader) {
    if (!Vusk::IsEngineInitialised())
        return nullptr;
    CWorld** slots = Vusk::GetWorldSlots();
    uint32_t slot = 0;
    while (slot < Vusk::GetWorldSlotCount() && slots[slot] != nullptr)
        ++slot;
    // Every slot taken: no further world.
    if (slots == nullptr || slot == Vusk::GetWorldSlotCount())
        return nullptr;
    if (slot >= Vusk::GetUsedWorldSlotCount())
        Vusk::SetUsedWorldSlotCount(slot + 1);
    CWorld* world = new CWorld(reader);
    if (world == nullptr)
        return nullptr;
    CWorld* previous = Vusk::GetCurrentWorld();
    Vusk::SetCurrentWorld(world);
    if (!world->ReadConfig(tree)) {
        delete world;
        // The failed world is gone; the one that was current before stays current.
        Vusk::SetCurrentWorld(previous);
        return nullptr;
    }
    world->SetSlot(slot);
    slots[slot] = world;
    return world;
}

void Vusk::UpdateWorld(CWorld* world) {
    if (world != nullptr)
        world->Update();
}

float Vusk::GetWorldOneMeter(const CWorld* world) { return world != nullptr ? world->GetOneMeter() : 0.0f; }

CConfigNode* Vusk::ExpandEntityDefinition(const CWorld* world, const char* name) {
    const CConfigNode* config = world != nullptr ? world->GetConfig() : nullptr;
    if (config == nullptr)
        return nullptr;
    const CConfigNode* entities = config->FindChild("Entities");
    const CConfigNode* entity = entities != nullptr ? entities->FindChildWithLabel("Entity", name) : nullptr;
    if (entity == nullptr)
        return nullptr;
    CConfigNode* result = new CConfigNode();
    if (result == nullptr)
        return nullptr;
    // From here on every failure deletes the partly built tree.
    bool ok = true;
    for (uint32_t i = 0; ok && i < entity->GetChildCount(); ++i) {
        const CConfigNode* child = entity->GetChild(i);
        if (!child->HasName("Brain"))
            ok = result->AddChildCopy(child) != nullptr;
    }
    const char* brainName = entity->GetChildValue("Brain");
    if (ok && brainName != nullptr) {
        const CConfigNode* brains = config->FindChild("Brains");
        const CConfigNode* brainDefinition =
            brains != nullptr ? brains->FindChildWithLabel("Brain", brainName) : nullptr;
        CConfigNode* brain = brainDefinition != nullptr ? result->AddChild() : nullptr;
        ok = brain != nullptr && brain->SetName("Brain");
        const CConfigNode* agents = config->FindChild("Agents");
        const CConfigNode* services = config->FindChild("Services");
        for (uint32_t i = 0; ok && i < brainDefinition->GetChildCount(); ++i)
            ok = ExpandBrainChild(brainDefinition->GetChild(i), agents, services, brain);
    }
    if (!ok) {
        delete result;
        return nullptr;
    }
    return result;
}

CEntity* Vusk::CreateEntity(const char* name, CConfigNode* definition, uint32_t classBitMask, void* hostObject) {
    CList<CEntity*>* pool = Vusk::GetEngineEntityPool();
    if (!Vusk::IsEngineInitialised() || Vusk::GetCurrentWorld() == nullptr || definition == nullptr ||
        pool == nullptr || pool->IsFull())
        return nullptr;

    char generated[16];
    if (name == nullptr) {
        std::snprintf(generated, sizeof(generated), "_%d", static_cast<int>(Vusk::TakeEntityNameNumber()));
        name = generated;
    } else if (std::strlen(name) > kMaxEntityName) {
        return nullptr;
    }

    const CEntityClassDesc* entityClass = CEntityClassDesc::Find(definition->GetChildValue("Class"));
    if (entityClass == nullptr || entityClass->GetCreateFunction() == nullptr)
        return nullptr;
    CEntity* entity = entityClass->GetCreateFunction()(name, hostObject);
    if (entity == nullptr)
        return nullptr;
    if (Vusk::GetUsedWorldSlotCount() != 1 || !entity->IsComplete())
        return DropEntity(entity);

    entity->SetWorld(nullptr);
    entity->SetDefinition(definition);
    if (!entity->Init(definition))
        return DropEntity(entity);

    CConfigNode* brainNode = definition->FindChild("Brain");
    const CBrainDesc* brainClass = brainNode != nullptr ? CBrainDesc::Find(brainNode->GetChildValue("Class")) : nullptr;
    if (brainClass != nullptr) {
        const CActionClassDesc* actionClass = CActionClassDesc::Find(definition->GetChildValue("ActionClass"));
        if (actionClass == nullptr || brainClass->GetCreateFunction() == nullptr)
            return DropEntity(entity);
        CBrain* brain = brainClass->GetCreateFunction()(entity, actionClass);
        if (brain == nullptr)
            return DropEntity(entity);
        entity->SetBrain(brain);
        if (!brain->Init(brainNode)) {
            // The entity would delete its brain too: take it back first so it is deleted once.
            entity->SetBrain(nullptr);
            delete brain;
            return DropEntity(entity);
        }
    }

    CListPosition<CEntity*> position = pool->Insert(entity);
    if (position.IsNull())
        return DropEntity(entity);
    entity->SetPoolNode(position.GetNode());
    entity->SetWorldNode(nullptr);
    entity->SetClassBitMask(classBitMask);
    entity->SetDefinition(nullptr);
    return entity;
}

bool Vusk::AddEntity(CWorld* world, CEntity* entity) { return world != nullptr && world->AddEntity(entity); }

bool Vusk::RemoveEntity(CWorld* world, CEntity* entity) {
    if (world == nullptr)
        return false;
    return world->RemoveEntity(entity);
}

CConfigNode* Vusk::FindTeamDefinition(const CWorld* world, const char* name) {
    const CConfigNode* config = world != nullptr ? world->GetConfig() : nullptr;
    const CConfigNode* teams = config != nullptr ? config->FindChild("Teams") : nullptr;
    const CConfigNode* team = teams != nullptr ? teams->FindChildWithLabel("Team", name) : nullptr;
    if (team == nullptr)
        return nullptr;
    CConfigNode* copy = new CConfigNode();
    if (copy != nullptr && !copy->CopyFrom(team)) {
        delete copy;
        return nullptr;
    }
    return copy;
}

CTeam* Vusk::CreateTeam(CConfigNode* definition, uint32_t memberCapacity, const char* name) {
    CWorld* world = Vusk::GetCurrentWorld();
    if (!Vusk::IsEngineInitialised() || world == nullptr || definition == nullptr)
        return nullptr;
    CList<CTeam*>* teams = world->GetTeamList();
    if (teams == nullptr || teams->GetCount() >= world->GetMaxTeam())
        return nullptr;
    const CTeamDesc* teamClass = CTeamDesc::Find(definition->GetChildValue("Class"));
    if (teamClass == nullptr || teamClass->GetCreateFunction() == nullptr)
        return nullptr;
    CTeam* team = teamClass->GetCreateFunction()(memberCapacity, name);
    if (team == nullptr)
        return nullptr;
    if (!team->IsComplete() || !team->Init(definition)) {
        delete team;
        return nullptr;
    }
    CListPosition<CTeam*> position = teams->Insert(team);
    if (position.IsNull()) {
        delete team;
        return nullptr;
    }
    team->SetWorldNode(position.GetNode());
    return team;
}

void Vusk::DestroyTeam(CTeam* team) {
    // The destructor drops the members and takes the team out of its world's team list.
    delete team;
}

bool Vusk::AddEntityAddedCallback(CWorld*, EntityCallback function, void* user) {
    return CWorld::AddEntityAddedCallback(function, user);
}

void Vusk::RemoveEntityAddedCallback(CWorld*, EntityCallback function, void* user) {
    CWorld::RemoveEntityAddedCallback(function, user);
}

bool Vusk::AddEntityRemovedCallback(CWorld*, EntityCallback function, void* user) {
    return CWorld::AddEntityRemovedCallback(function, user);
}

void Vusk::RemoveEntityRemovedCallback(CWorld*, EntityCallback function, void* user) {
    CWorld::RemoveEntityRemovedCallback(function, user);
}
