#pragma once
// The physics context: the root record of one simulated world. It owns the manager, the
// pipeline and the table of fixed volumes (static world geometry that moving objects collide
// with). Every capacity is fixed at creation from one parameter record.
//
// World set-up: OvpContextParamsSetDefaults; OvpBodyTypeReserve; OvpContextParamsSetMaxJoints;
// OvpContextCreate (params, 1.0, world box); OvpPipelineSetGravity; then the fixed volumes.

#include <cstdint>

#include "graphics/core/types.h"
#include "physics/core/utils/math.h"

struct OvpMgr;
struct OvpPipeline;
struct OvpVolume;

// Creation parameters: words 0-15 are settings, 16-30 the workspace sizes pipeline creation
// writes back.
struct OvpContextParams {
    OvUInt32 word[31];
};

// Word indices.
enum OvpContextParamWord : int {
    ovpPARAM_SHARING = 0, // workspace-sharing flags
    ovpPARAM_TYPES = 1,   // per-type table entries
    ovpPARAM_OBJECTS = 2, // maximum objects (at most 1023 are used)
    ovpPARAM_JOINTSLOTS = 3,
    ovpPARAM_ACTIVE = 4, // maximum active objects
    ovpPARAM_BODIES = 5, // dynamic records
    ovpPARAM_JOINTS = 6, // joint records
    ovpPARAM_PAIRS = 7,
    ovpPARAM_CONTACTS = 8,
    ovpPARAM_FIXED = 9,
    ovpPARAM_BATCHBUDGET = 10,
    ovpPARAM_BODYBUDGET = 11,
    ovpPARAM_GATHER = 12,
    ovpPARAM_TASKS = 13,
    ovpPARAM_TRIANGLES = 14,
    ovpPARAM_SWEPT = 15,
    // Written by pipeline creation: the bytes of the step workspace and of each of its pieces.
    ovpPARAM_SIZES = 16,
    ovpPARAM_SIZE_TOTAL = 16,         // the whole workspace block (the sum of words 17-30)
    ovpPARAM_SIZE_SOLVERBODIES = 17,  // the solver's data per body and object (batch bodies, maps, costs)
    ovpPARAM_SIZE_UNION = 18,         // the islands' union sets and nodes
    ovpPARAM_SIZE_BATCH = 19,         // the per-batch arrays (the swept movers)
    ovpPARAM_SIZE_COLLISION = 20,     // the collision workspace (words 12-14)
    ovpPARAM_SIZE_SOLVERROWS = 21,    // the solver's row groups, row lists and selection
    ovpPARAM_SIZE_CONTACTINDEX = 22,  // the two contact index arrays
    ovpPARAM_SIZE_CONTACTBLOCKS = 23, // the blocks of 16 floats of the contact records
    ovpPARAM_SIZE_MOVED = 24,         // the moved-object list
    ovpPARAM_SIZE_PAIRS = 25,         // the candidate pairs
    ovpPARAM_SIZE_CONTACTS = 26,      // the contact records
    ovpPARAM_SIZE_JOINTS = 27,        // the joint list
    ovpPARAM_SIZE_TOUCHES = 28,       // the touch entries
    ovpPARAM_SIZE_ISLANDS = 29,       // the island table
    ovpPARAM_SIZE_CACHE = 30,         // the contact cache
    ovpPARAM_SIZES_END = 31,
};

// Objects the far field can hold, and the pair count the pair links can address: the manager
// is built with word 2 clamped to 1023 and word 7 clamped so that objects + 2 x pairs < 65535.
OvUInt32 OvpContextParamsGetObjectLimit(const OvpContextParams* params);
OvUInt32 OvpContextParamsGetPairLimit(const OvpContextParams* params);

OvpContextParams* OvpContextParamsSetDefaults(OvpContextParams* params);
// Room for the body type: words 1, 2, 4, 5, 7, 8 grow by 1, objects, bodies, bodies, 5 bodies,
// 5 bodies; the body type's maximum active count becomes bodies.
OvpContextParams* OvpBodyTypeReserve(OvpContextParams* params, OvUInt32 objects, OvUInt32 bodies);
// Joint slots n; word 6 counts the joint records of other reservations plus the slots.
OvpContextParams* OvpContextParamsSetMaxJoints(OvpContextParams* params, OvUInt32 n);

struct OvpContext {
    OvpMgr* manager;
    OvpPipeline* pipeline;
    OvpVolume** volumes;       // fixed-volume table
    OvUInt32 usedCount;        // highest used slot + 1
    OvUInt32 capacity;         // word 9
    std::uintptr_t* userWords; // one per fixed-volume slot
    OvUInt32 typeCount;        // word 1
    OvUInt32 (*typeTable)[2];
};

// Null when an allocation fails (nothing is left allocated). box: the world box for the far field.
OvpContext* OvpContextCreate(OvpContextParams* params, float scale, const OvpBBox* box);
OvpContext* OvpContextInit(OvpContext* context, OvpContextParams* params, float scale, const OvpBBox* box);
// Destroys pipeline and manager and frees the tables; the fixed volumes stay the caller's.
// Destroy the joints made in its manager first; bodies still in it are removed, not destroyed.
OvBool OvpContextDestroy(OvpContext* context);
OvpMgr* OvpContextGetMgr(OvpContext* context);
OvpPipeline* OvpContextGetPipeline(OvpContext* context);
// Null when the table is full.
OvpContext* OvpContextAddFixedVolume(OvpContext* context, OvpVolume* volume, std::uintptr_t userWord);
// 1 when found, else 0.
OvBool OvpContextRemoveFixedVolume(OvpContext* context, OvpVolume* volume);
using OvpFixedVolumeCallback = OvBool (*)(OvpVolume* volume, void* data);
// Each fixed volume in slot order until the callback returns 0. The callback may remove any fixed
// volume: each slot is read as reached.
OvpContext* OvpContextForAllFixedVolumes(OvpContext* context, OvpFixedVolumeCallback callback, void* data);
