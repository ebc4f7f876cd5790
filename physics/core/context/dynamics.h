#pragma once
// Dynamics definitions: what a body's dynamic record starts with (mass, centre of mass,
// inertia, damping), usually filled from a volume's mass properties.

#include "graphics/core/types.h"
#include "physics/core/utils/math.h"
#include "physics/core/volume/volume.h"

// Bits of OvpDynDef::flags.
enum OvpDynDefFlag : OvUInt32 {
    ovpDYNDEF_FULLINERTIA = 0x2, // use the inertia diagonal and orientation, not the scalar inertia
};

// A dynamics definition (72 bytes with 64-bit pointers).
struct OvpDynDef {
    OvpVolume* volume;      // the body's volume (the definition's to deinitialise)
    OvV3d centre;           // centre of mass in the body frame
    float mass;             // mass (1.0)
    OvV3d inertia;          // inertia diagonal (1.0 each), used with the full tensor
    OvQuat orientation;     // principal axes of the inertia diagonal (identity)
    float scalarInertia;    // inertia used without the full tensor (1.0)
    float linearDamping;    // linear damping coefficient (0.01)
    float angularDamping;   // angular damping coefficient (0.01)
    OvUInt32 bodyWords[3];  // copied into the body's per-body record (not set by init)
    OvUInt32 flags;         // OvpDynDefFlag bits
};

// The defaults above with the given volume. Returns the definition.
OvpDynDef* OvpDynDefInit(OvpDynDef* def, OvpVolume* volume);
// Runs the destroy slot of the definition's volume (OvpVolumeDeinit); 1.
OvBool OvpDynDefRelease(OvpDynDef* def);
// Mass and inertia from the volume's mass properties in its parent frame. A negative mass is a
// density (mass = -mass x volume). With fullInertia the diagonal (scaled by the mass when the
// mass is at least FLT_MIN) and the orientation are stored and the full-tensor flag set;
// without, a mass of at least FLT_MIN gives scalar inertia = mass x the smallest diagonal entry
// and clears the flag. Returns the density mass / volume, or FLT_MAX for a volume below FLT_MIN.
float OvpDynDefSetMassFromVolume(OvpDynDef* def, float mass, OvBool fullInertia);
