#pragma once
// The host's entry functions for worlds, entities and teams.
//
// Order of use: Vusk::Initialise (engine.h); load the world file into a tree; Vusk::CreateWorld;
// create entities and teams from definitions of the same tree; Vusk::AddEntity; Vusk::UpdateWorld
// once per host frame; Vusk::DestroyTeam, delete the world, Vusk::ReleaseTree. Every function
// reports failure by a null or false result.

#include "ai/runtime/world.h"

#include <cstddef>
#include <cstdint>

class CAisReader;
class CConfigNode;
class CEntity;
class CTeam;

namespace Vusk {

// Installs the world memory pool on first use (when poolSize is not 0) and creates a world from
// the tree; the new current world, or null.
CWorld* CreateWorld(CConfigNode* tree, std::size_t poolSize);
// Creates a world bound to the reader in the first free world slot and makes it current; null
// when the engine is not initialised, no slot is free or the configuration is refused (the
// world that was current before stays current then).
CWorld* CreateWorldFromTree(CConfigNode* tree, CAisReader* reader);
// One AI frame of the world; nothing for null.
void UpdateWorld(CWorld* world);
float GetWorldOneMeter(const CWorld* world);

// New tree holding the entity definition named `name` of the world's configuration, with its
// brain, agent and service definitions spliced in; null when a piece is missing.
CConfigNode* ExpandEntityDefinition(const CWorld* world, const char* name);
// Creates an entity of the class the definition's "Class" names (with its brain when the
// definition has one) and puts it in the engine entity pool. A null name gives "_0", "_1", ...;
// names are at most 1023 characters. Null on failure.
CEntity* CreateEntity(const char* name, CConfigNode* definition, uint32_t classBitMask, void* hostObject);
// False for a null world; else CWorld::AddEntity.
bool AddEntity(CWorld* world, CEntity* entity);
// False for a null world; else CWorld::RemoveEntity.
bool RemoveEntity(CWorld* world, CEntity* entity);

// New tree copied from the "Team" child labelled `name` of the configuration's "Teams"; null
// when a piece is missing.
CConfigNode* FindTeamDefinition(const CWorld* world, const char* name);
// Creates a team of the class the definition's "Class" names in the current world's team list;
// null when the list is missing or full, or the team is refused.
CTeam* CreateTeam(CConfigNode* definition, uint32_t memberCapacity, const char* name);
// Every member drops the team; the team leaves its world's team list and is deleted. Deleting the
// team does the same.
void DestroyTeam(CTeam* team);

// Engine-wide entity callbacks (CWorld's tables, with what callbacks may do there); the world argument
// is ignored. A pair may be removed at any time, also during an event, by one of its callbacks or its own:
// from the moment Remove returns no walk calls it any more, so its user word may go then.
bool AddEntityAddedCallback(CWorld* world, EntityCallback function, void* user);
void RemoveEntityAddedCallback(CWorld* world, EntityCallback function, void* user);
bool AddEntityRemovedCallback(CWorld* world, EntityCallback function, void* user);
void RemoveEntityRemovedCallback(CWorld* world, EntityCallback function, void* user);

} // namespace Vusk
