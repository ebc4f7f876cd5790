#pragma once
// World membership: which world each atomic, light, clump and camera belongs to, which atomic
// sectors each atomic and local light touches (one sector tie per object and sector), and which
// atomic sectors each camera can see. Membership is computed lazily: adding an object marks its
// frame dirty, and the object's frame sync (replaced by this module's extension) places it.

#include "graphics/core/camera.h"
#include "graphics/core/types.h"
#include "graphics/world/clump.h"
#include "graphics/world/light.h"
#include "graphics/world/world.h"

// One object (atomic or light) in one atomic sector; in both lists or in none.
struct OvSectorTie {
    OvLLLink inSector;     // in the sector's atomic or light list
    void* object;          // OvAtomic or OvLight
    OvLLLink inObject;     // in the object's tie list
    OvWorldSector* sector; // the sector
};
inline OvSectorTie* OvSectorTieFromSectorLink(OvLLLink* link) {
    return reinterpret_cast<OvSectorTie*>(reinterpret_cast<char*>(link) - offsetof(OvSectorTie, inSector));
}
inline OvSectorTie* OvSectorTieFromObjectLink(OvLLLink* link) {
    return reinterpret_cast<OvSectorTie*>(reinterpret_cast<char*>(link) - offsetof(OvSectorTie, inObject));
}

// Ties a free list block holds.
inline constexpr OvInt32 ovATOMICTIESPERBLOCK = 256;
inline constexpr OvInt32 ovLIGHTTIESPERBLOCK = 32;
// Entries the visible-sector array grows by.
inline constexpr OvInt32 ovVISIBLESECTORSGROWBY = 50;

// Marks the atomic's frame dirty (when it has one) and records the world. Returns the world.
OvWorld* OvWorldAddAtomic(OvWorld* world, OvAtomic* atomic);
// Marks the camera's frame dirty (when it has one) and records the world. Returns the world.
OvWorld* OvWorldAddCamera(OvWorld* world, OvCamera* camera);
// Clears the camera's world and visible count; null when it is in no world.
OvWorld* OvWorldRemoveCamera(OvWorld* world, OvCamera* camera);
OvWorld* OvCameraGetWorld(const OvCamera* camera);
// Records the world; a local light is marked dirty and goes at the front of the world's local
// lights, a global one at the front of its global lights. A light already in a world leaves it
// first. Returns the world.
OvWorld* OvWorldAddLight(OvWorld* world, OvLight* light);
// Clears the light's world, frees its ties and unlinks it from its world's list (nothing for a
// light in no world). Returns the world.
OvWorld* OvWorldRemoveLight(OvWorld* world, OvLight* light);
OvWorld* OvLightGetWorld(const OvLight* light);
// Adds the clump and its atomics, lights and cameras (a clump already in a world leaves it
// first). Returns the world.
OvWorld* OvWorldAddClump(OvWorld* world, OvClump* clump);
// Takes the clump and its members out of the world; error {2, 4} and null when it is in none.
OvWorld* OvWorldRemoveClump(OvWorld* world, OvClump* clump);
OvWorld* OvClumpGetWorld(const OvClump* clump);

// Calls callback(sector, data) for each sector the camera saw at its last sync, in order, until
// one returns null. Returns the camera.
OvCamera* OvCameraForAllVisibleWorldSectors(OvCamera* camera, OvWorldSectorCallBack callback, void* data);
// The camera's visible-sector array and its count.
OvWorldSector** OvCameraGetVisibleSectors(OvCamera* camera, OvInt32* count);

// Unlinks every tie of the sector's atomic and light lists from both lists and frees it.
void OvWorldSectorReleaseTies(OvWorldSector* sector);
// Takes every clump, light, atomic and camera still in the world out of it (a world being
// destroyed).
void OvWorldReleaseMembers(OvWorld* world);
// Ties in use, of atomics and of lights.
void OvWorldGetTiesInUse(OvInt32* atomicTies, OvInt32* lightTies);
// TRUE while some sector of some world holds a tie.
bool OvWorldSectorTiesInUse();
