#pragma once
// The object types: bodies (one part built from a shared body definition, usually bound to a
// graphics atomic whose frame it moves), and generic and ragdoll objects (several parts and
// the joints between them, from a shared multi-part definition, optionally with a frame
// hierarchy recomposed from the simulated parts).
//
// The type records are global and mutable (maximum and active counts, failure flag); one
// context uses them at a time.

#include "graphics/core/matrix.h"
#include "graphics/core/types.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/manager.h"

struct OvpJointDef;

extern OvpObjType ovpBodyObjType;    // id 0, "ovpOBJTYPEBODY"
extern OvpObjType ovpRagdollObjType; // id 1, "ovpOBJTYPERAGDOLL"
extern OvpObjType ovpGenericObjType; // id 2, "ovpOBJTYPEGENERIC"

// Puts the three type records back to their initial state (maximum active of bodies 0).
void OvpObjTypesReset();

struct OvpBodyDef {
    OvpDynDef dynDef;  // its volume is the definition's own
    OvpVolume* volume; // a null volume until the caller sets it up
    OvUInt32 refCount;
};

// Null when an allocation fails.
OvpBodyDef* OvpBodyDefCreate();
// Drops one reference, the last frees it: each holder (its body objects, its maker) releases only
// its own.
OvBool OvpBodyDefRelease(OvpBodyDef* def);

// A one-part object of the body type with flags 11 (may sleep, drops its dynamics, swept when
// fast) holding one reference on the definition. Null when an allocation fails.
OvpObj* OvpBodyObjCreate(OvpBodyDef* def);
// Removes the object from its manager when still added (OvpObjDeinit), then frees it.
// Outside a step; the joints and touch entries naming it and its bound atomic let go themselves.
OvBool OvpBodyObjDestroy(OvpObj* body);
// Renews the far-field box after the caller moved the body by hand.
OvpObj* OvpBodyObjUpdateBounds(OvpObj* body);
// Writes the body's model matrix into the part's bound matrix (skipped while none is bound).
OvpObj* OvpBodyObjSyncFrame(OvpObj* body);

// Multi-part definition of generic and ragdoll objects.
struct OvpMultiDef {
    OvUInt32 refCount;
    OvUInt16 dynDefCount;
    OvUInt16 partCount;
    OvUInt16 jointCount;
    void* animation; // ragdoll only
    void (*animationDestroy)(void* animation);
    OvpVolume* volumes;       // one block of part volumes (aligned)
    OvpDynDef* dynDefs;       // one per part
    OvpJointDef** jointDefs;  // one per joint
    OvUInt16 (*jointEnds)[2]; // part indices of each joint's two ends
    OvUInt32 entryCount;      // hierarchy entries
    OvUInt16* entryPart;      // the part driving an entry, 0xFFFF for none
    OvUInt32* entryFlags;
    OvUInt32* parents; // parent entry, 0xFFFFFFFF for none; may be null
};

// A generic or ragdoll object: the object and its hierarchy matrices.
struct OvpMultiObj {
    OvpObj obj;
    OvMatrix* relative; // entryCount matrices
    OvMatrix* absolute; // entryCount matrices
    void* extra;        // a ragdoll's own block
};

// Fills a multi-part definition's arrays from engine memory (count 1, everything zeroed, the
// volumes null volumes, the dynamics definitions at their defaults, no parents). Null when an
// allocation fails. Nothing in the engine builds the definitions' contents.
OvpMultiDef* OvpMultiDefCreate(OvUInt16 parts, OvUInt16 joints, OvUInt32 entries);
// Drops one reference, the last frees it with its joint definitions' references: each holder (its
// objects, its maker) releases only its own.
OvBool OvpRagdollDefRelease(OvpMultiDef* def);
OvBool OvpRagdollDefDeinit(OvpMultiDef* def);
// An object of the generic or ragdoll type over the definition (one reference held), each
// part bound to the absolute matrix of the entry it drives. Null when an allocation fails.
OvpMultiObj* OvpMultiObjCreate(OvpObjType* type, OvpMultiDef* def, OvUInt32 flags);
// As OvpBodyObjDestroy; the joints it made for itself go with it.
OvBool OvpRagdollObjDestroy(OvpMultiObj* object);
