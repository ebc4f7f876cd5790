#pragma once
// Dynamics definitions: what a body's dynamic record starts with (mass, centre of mass,
// inertia, damping), usually filled from a volume's mass properties; and the dynamic records
// themselves, whose state lives in the manager's per-body arrays under the record's body index.

#include "graphics/core/types.h"
#include "physics/core/utils/math.h"
#include "physics/core/volume/volume.h"

// Bits of OvpDynDef::flags.
enum OvpDynDefFlag : OvUInt32 {
    ovpDYNDEF_FULLINERTIA = 0x2, // use the inertia diagonal and orientation, not the scalar inertia
};

// A dynamics definition (72 bytes with 64-bit pointers).
struct OvpDynDef {
    OvpVolume* volume;     // the body's volume (the definition's to deinitialise)
    OvV3d centre;          // centre of mass in the body frame
    float mass;            // mass (1.0)
    OvV3d inertia;         // inertia diagonal (1.0 each), used with the full tensor
    OvQuat orientation;    // principal axes of the inertia diagonal (identity)
    float scalarInertia;   // inertia used without the full tensor (1.0)
    float linearDamping;   // linear damping coefficient (0.01)
    float angularDamping;  // angular damping coefficient (0.01)
    OvUInt32 bodyWords[3]; // copied into the body's per-body record (not set by init)
    OvUInt32 flags;        // OvpDynDefFlag bits
};

// The defaults above with the given volume. Returns the definition.
OvpDynDef* OvpDynDefInit(OvpDynDef* def, OvpVolume* volume);
// Runs the destroy slot of the definition's volume (OvpVolumeDeinit); 1. The volume is emptied, not
// freed: its holder (a body or multi-part definition, when its last reference goes) releases it once
// nothing uses the volume any more, for parts of live objects query it. Twice is harmless.
OvBool OvpDynDefRelease(OvpDynDef* def);
// Mass and inertia from the volume's mass properties in its parent frame. A negative mass is a
// density (mass = -mass x volume). With fullInertia the diagonal (scaled by the mass when the
// mass is at least FLT_MIN) and the orientation are stored and the full-tensor flag set;
// without, a mass of at least FLT_MIN gives scalar inertia = mass x the smallest diagonal entry
// and clears the flag. Returns the density mass / volume, or FLT_MAX for a volume below FLT_MIN.
float OvpDynDefSetMassFromVolume(OvpDynDef* def, float mass, OvBool fullInertia);

struct OvpMgr;

// Bits of the per-body flags word.
enum OvpBodyFlag : OvUInt32 {
    ovpBODY_FREEAXIS = 0x1,   // the body turns freely about its free axis
    ovpBODY_FULLINERTIA = 0x2 // the inertia rows hold full tensors
};

// A dynamic record from the manager's pool.
struct OvpDyn {
    OvpMgr* manager;
    OvUInt32 body;   // index into the manager's body arrays (fixed per record)
    OvV3d comOffset; // centre of mass in the part's frame
    float linearDamping;
    float angularDamping;
    float massTerm; // 0.001 / mass
    OvUInt32 words[2];
};

// Pops a record (null when the pool is empty) and initialises it.
OvpDyn* OvpDynCreate(OvpMgr* manager, const OvpDynDef* def, const OvMatrix* matrix);
// The state from the definition (defaults without one) and the matrix (identity without one),
// the body matrix moved to the centre of mass, velocities and accumulators zero. A mass that is
// not a positive number becomes 1, and a full tensor with a zero or invalid moment falls back
// to the scalar inertia, so no state ever holds an infinity.
OvpDyn* OvpDynInit(OvpDyn* dyn, OvpMgr* manager, const OvpDynDef* def, const OvMatrix* matrix);
// Gives the record back to its manager's pool; 0 for a record already given back. Outside a step. A
// part's record is its object's: the object gives it back when it is deactivated (taken out of its
// manager, or asleep without dynamics). Given back by hand while a part holds it, the part names a
// record the pool may hand to another body, and the object's own give-back then takes it from that one.
OvBool OvpDynDestroy(OvpDyn* dyn);
// Linear accumulator += impulse; angular += (point - position) x impulse.
OvpDyn* OvpDynApplyImpulse(OvpDyn* dyn, const OvV3d* impulse, const OvV3d* point);
OvV3d* OvpDynGetPointVelocity(const OvpDyn* dyn, const OvV3d* point, OvV3d* out);
// Body matrix = the matrix moved by the centre-of-mass offset; orientation from the result.
OvpDyn* OvpDynSetFromMatrix(OvpDyn* dyn, const OvMatrix* matrix);
// The part's model matrix: the body matrix moved back by the centre-of-mass offset.
OvMatrix* OvpDynGetModelMatrix(const OvpDyn* dyn, OvMatrix* out);
