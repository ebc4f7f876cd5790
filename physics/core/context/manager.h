#pragma once
// The manager: every object, dynamic record and joint of one context in one aligned block. It
// keeps the object table with its state bitmaps, the far field, the dense per-body arrays the
// solver and the integrator work on, and the pools of dynamic and joint records.
//
// An object is a set of parts (a volume, maybe a dynamic record, the graphics matrix it drives)
// and the joints it owns; its type says how it gets its dynamics and its box.

#include <cstddef>

#include "graphics/core/matrix.h"
#include "graphics/core/types.h"
#include "physics/core/broadphase/farfield.h"
#include "physics/core/utils/math.h"

struct OvpContact;
struct OvpContextParams;
struct OvpDyn;
struct OvpJoint;
struct OvpMgr;
struct OvpObj;
struct OvpVolume;

// Part index of a reference to the whole object, and of an end that holds to the world.
inline constexpr OvUInt16 ovpREFWHOLE = 0x8000;
inline constexpr OvUInt16 ovpREFNONE = 0xFFFF;
inline constexpr OvUInt16 ovpSLOTNONE = 0xFFFF;

// A reference to an object part.
struct OvpRef {
    OvpObj* object;
    OvUInt16 part; // part index, ovpREFWHOLE or ovpREFNONE
    OvUInt16 spare;
};

// A candidate pair: two references and the pair word (a self-pair's part-exclusion matrix).
struct OvpRefPair {
    OvpRef ref[2];
    const OvUInt32* pairWord;
};
OvpRef* OvpRefPairGetRef(OvpRefPair* pair, OvInt32 i);

// Object flags.
enum OvpObjFlag : OvUInt32 {
    ovpOBJ_MAYSLEEP = 0x1,     // may fall asleep
    ovpOBJ_DROPDYNAMICS = 0x2, // loses its dynamics when it leaves the simulation
    ovpOBJ_SWEPT = 0x4,        // always a swept mover
    ovpOBJ_SWEPTFAST = 0x8,    // swept when fast
    ovpOBJ_SELFCOLLIDE = 0x10, // collides its own parts with each other
    ovpOBJ_NOCONTACTS = 0x20,  // makes no contact records
    ovpOBJ_TOUCHES = 0x40,     // reports its touches
    ovpOBJ_HIERARCHY = 0x10000 // keeps a frame hierarchy
};

// Flags of OvpMgrAddObject.
enum OvpMgrAddFlag : OvUInt32 {
    ovpADD_AWAKE = 0x1,
    ovpADD_DYNAMIC = 0x2,
    ovpADD_ACTIVATE = 0x4,
};

struct OvpObjType {
    OvUInt32 id;
    const char* name;
    OvInt32 maxActive; // -1: unlimited
    OvInt32 activeCount;
    OvpObj* (*activate)(OvpObj* object);
    void (*deactivate)(OvpObj* object);
    OvpBBox* (*getBoundingBox)(OvpObj* object, OvpBBox* out);
    void (*updateFrames)(OvpObj* object);
    OvBool failed;                   // set when an activation failed, cleared by a successful one
    void (*release)(OvpObj* object); // lets go of what binds the object outside the engine (may be null)
};

struct OvpObjPart {
    OvpVolume* volume;
    OvpDyn* dyn;      // null while the object has no dynamics
    OvMatrix* matrix; // the graphics matrix the part drives (may be null)
};

// An entry of an object's touch chain (filled by the pair drivers): the object, the other
// end's object and part, and the contact record made (null when the pair makes no records).
struct OvpTouch {
    OvpObj* object; // the object whose chain holds the entry; null once it is gone
    OvpTouch* next;
    OvpObj* other;
    OvUInt16 otherPart;
    OvpContact* record;
};

struct OvpObj {
    OvpObjType* type;
    void* def;      // type-specific definition (one reference held)
    OvUInt32 flags; // OvpObjFlag bits
    OvUInt16 partCount;
    OvUInt16 partCapacity;
    OvpObjPart* parts;
    OvUInt16 jointCount;
    OvUInt16 jointCapacity;
    OvpJoint** joints;
    const OvUInt32* partExclusion; // bit matrix of part pairs that never collide, or null
    OvUInt16 slot;                 // manager slot, ovpSLOTNONE when not added
    OvpMgr* manager;
    OvUInt32 word;
    OvpTouch* touchHead;
    void* user; // a body's bound atomic
};

// Per-body state, one entry per dynamic record, indexed by the record's body index.
struct OvpBodyArrays {
    OvUInt32 count;
    OvMatrix* matrices;     // position = centre of mass
    float (*velocities)[8]; // linear x y z -, angular x y z -
    OvQuat* orientations;
    float (*accelerations)[8]; // the solver's last linear and angular accelerations (rest test)
    OvUInt32 (*defWords)[4];   // the definition's further words
    float (*impulses)[8];      // accumulated forces: linear, angular
    float (*solver)[8];
    OvpMatrix3* mass;    // inertia rows; [0][3] mass, [2][3] scalar inertia
    OvpMatrix3* invRoot; // inverse-root rows; [0][3] 1/sqrt(mass), [2][3] 1/sqrt(inertia)
    OvUInt32* flags;     // bit 0 free axis, bit 1 full inertia tensor
    OvUInt32* solverWord;
    float (*freeAxes)[4]; // unit free axis, read with flag bit 0
    OvUInt32* indices;    // body-index list shared by the stages of a step
};

struct OvpJointLinkNode {
    OvpJoint* joint;
    OvpJointLinkNode* next;
};

struct OvpMgr {
    OvpFarfield* farfield;
    OvUInt32 bitmapWords;
    OvUInt32 options; // bit 0: partner lists sorted by slot
    float scale;
    OvpBodyArrays* bodies;
    OvUInt32 jointSlots;
    OvUInt32* jointSlotBits; // null when there are no joint slots
    OvpJointLinkNode* freeLinks;
    OvpJointLinkNode** jointHeads; // one list per object slot
    OvpDyn* dyns;
    OvpDyn** dynFree;
    OvUInt32 dynFreeCount;
    OvUInt32 dynTotal;
    OvpJoint* joints;
    OvpJoint** jointFree;
    OvUInt32 jointFreeCount;
    OvUInt32 jointTotal;
    OvUInt32 maxObjects;
    OvUInt32 maxActive;
    OvUInt32 activeCount;
    OvBool failed;
    OvpObj** objects;
    OvUInt32* used;
    OvUInt32* awake;
    OvUInt32* active;
    OvUInt32* dynamic;
    OvUInt32* inFarfield;
    OvUInt32* processed;
    OvUInt32* visited;
    OvUInt32* listed;
    OvUInt16* walk;
    OvUInt16* partners;
};

inline bool OvpBitTest(const OvUInt32* bits, OvUInt32 i) { return (bits[i / 32] >> (i % 32)) & 1u; }
inline void OvpBitSet(OvUInt32* bits, OvUInt32 i) { bits[i / 32] |= 1u << (i % 32); }
inline void OvpBitClear(OvUInt32* bits, OvUInt32 i) { bits[i / 32] &= ~(1u << (i % 32)); }

// Block size for the parameters' objects (word 2, at most 1023), joint slots (3), bodies (5),
// joint records (6) and pairs (7).
std::size_t OvpMgrGetSize(const OvpContextParams* params);
// Carves a block of OvpMgrGetSize bytes (16-byte aligned) into the manager: header, body
// arrays, far field (given the box and a tolerance of 0.01 x scale), bitmaps, record pools,
// joint slots and the object table, all empty. Null for a null block.
OvpMgr* OvpMgrInit(void* block, const OvpContextParams* params, const OvpBBox* box, float scale, OvUInt32 options);
// A block of its own, carved by OvpMgrInit; null when the allocation fails.
OvpMgr* OvpMgrCreate(const OvpContextParams* params, const OvpBBox* box, float scale, OvUInt32 options);
// Objects still in the manager are removed first; then the block is freed.
// Destroy the joints made in it first: their records live in its block.
OvBool OvpMgrDestroy(OvpMgr* manager);
// Whether the object is one of the manager's, found by its address alone (nothing of the object
// is read: a pointer to an object already freed may be asked about).
bool OvpMgrHoldsObject(const OvpMgr* manager, const OvpObj* object);

OvpDyn* OvpMgrPopDyn(OvpMgr* manager);
void OvpMgrPushDyn(OvpMgr* manager, OvpDyn* dyn);
OvpJoint* OvpMgrPopJoint(OvpMgr* manager);
void OvpMgrPushJoint(OvpMgr* manager, OvpJoint* joint);
OvUInt32 OvpMgrGetFreeDynCount(const OvpMgr* manager);
OvUInt32 OvpMgrGetFreeJointCount(const OvpMgr* manager);

// Type and definition null, flags 0, not added; zeroed tables of the capacities (engine memory).
// Null when a table cannot be allocated.
OvpObj* OvpObjInit(OvpObj* object, OvUInt16 partCapacity, OvUInt16 jointCapacity);
// Removes the object from its manager when still in one (the manager's joints that name it lose
// that end), runs its type's release, empties its touch chain and frees its tables.
OvBool OvpObjDeinit(OvpObj* object);

// slot -1 takes the first free one. Null when no slot is free, the slot is out of range or in
// use, or the object is already in a manager. Returns the manager also when activation failed.
OvpMgr* OvpMgrAddObject(OvpMgr* manager, OvpObj* object, OvInt32 slot, OvUInt32 flags);
OvpObj* OvpMgrActivateObject(OvpMgr* manager, OvpObj* object);
// Deactivates, clears the object's bits and far-field box, removes the joints still linked to it
// from the manager (they stay allocated; their owners destroy them) and clears it from the other
// objects' touch entries.
OvpMgr* OvpMgrRemoveObject(OvpMgr* manager, OvpObj* object);
OvpMgr* OvpMgrSetObjectAwake(OvpMgr* manager, OvpObj* object, OvBool on);
OvpMgr* OvpMgrUpdateObjectBounds(OvpMgr* manager, OvpObj* object, const OvpBBox* box);
OvpBBox* OvpMgrGetObjectBounds(const OvpMgr* manager, const OvpObj* object, OvpBBox* out);
OvpObj* OvpObjUpdateBounds(OvpObj* object);
// Sets the part's dynamics from its bound matrix when the object is active.
OvpObj* OvpObjSetPartFromMatrix(OvpObj* object, OvUInt16 part);
// The union of the boxes of the first `count` parts: a part with dynamics placed by its body
// matrix, one without by its bound matrix (skipped when dynamicOnly). Null when none gives one.
OvpBBox* OvpObjGetPartsBox(const OvpObj* object, OvUInt16 count, OvBool dynamicOnly, OvpBBox* out);
// The box of the parts that hold dynamics, placed by their body matrices; null when none gives one.
OvpBBox* OvpObjGetDynamicBox(const OvpObj* object, OvpBBox* out);

OvpMgr* OvpMgrAddJoint(OvpMgr* manager, OvpJoint* joint, OvInt32 slot);
OvpMgr* OvpMgrRemoveJoint(OvpMgr* manager, OvpJoint* joint);

using OvpObjCallback = OvpObj* (*)(OvpObj* object, void* data);
using OvpJointCallback = OvpJoint* (*)(OvpJoint* joint, void* data);
// Each object (joint) in slot order until the callback returns another than the one it got. The
// callback may remove or destroy any of the manager's objects and joints: each slot is read as reached.
OvpMgr* OvpMgrForAllObjects(OvpMgr* manager, OvpObjCallback callback, void* data);
OvpMgr* OvpMgrForAllJoints(OvpMgr* manager, OvpJointCallback callback, void* data);

// Pair classes of OvpMgrCollectPairs.
enum OvpPairClass : OvUInt32 {
    ovpCLASS_DYNAMICAWAKE = 1,
    ovpCLASS_STATICAWAKE = 2,
    ovpCLASS_DYNAMICASLEEP = 4,
    ovpCLASS_STATICASLEEP = 8,
};
OvUInt32 OvpMgrCollectPairs(OvpMgr* manager, OvpObj* const* objects, OvUInt32 count, OvpRefPair* pairs,
                            OvUInt32 capacity, OvUInt32 classMask);

// The broad phase of a step: lists the objects to simulate (spreading from awake objects to
// their partners and joint ends), their candidate pairs and joints; deactivates and activates.
OvpMgr* OvpMgrUpdatePairs(OvpMgr* manager, OvpObj** moved, OvUInt32 movedCapacity, OvUInt32* movedCount,
                          OvpRefPair* pairs, OvUInt32 pairCapacity, OvUInt32* pairCount, OvpJoint** joints,
                          OvUInt32 jointCapacity, OvUInt32* jointCount);
