#pragma once
// Body integration: positions by the linear velocity, orientation quaternions by the angular
// velocity (about the free axis first, for bodies that have one), then the body matrix rebuilt
// from the quaternion. Velocities are never changed here.

#include "graphics/core/matrix.h"
#include "graphics/core/types.h"
#include "graphics/toolkits/quaternion.h"

struct OvpBodyArrays;

// Which bodies to integrate.
struct OvpIndexList {
    const OvUInt32* indices;
    OvUInt32 count;
};

OvpBodyArrays* OvpIntegrateBody(OvpBodyArrays* bodies, OvUInt32 index, float dt);
void OvpIntegrateBodies(OvMatrix* matrices, OvQuat* orientations, const float (*velocities)[8],
                        const OvpIndexList* list, const OvUInt32* flags, const float (*freeAxes)[4], float dt);
// The same with one velocity record per list entry.
void OvpIntegrateBodiesWith(OvMatrix* matrices, OvQuat* orientations, const OvpIndexList* list, const OvUInt32* flags,
                            const float (*freeAxes)[4], const float (*velocities)[8], float dt);
// q = (u sin h, cos h) q with u = axis / |axis| and h = |axis| x factor / 2; nothing when
// |axis| < 0.0001. The length goes through the engine's table square root, so free-axis bodies
// need the graphics engine started; everything else here does not.
OvQuat* OvpIntegrateOrientation(OvQuat* q, const OvV3d* axis, float factor);
// q += dt / 2 (w q), normalised.
OvQuat* OvpIntegrateQuaternion(OvQuat* q, const OvV3d* w, float dt);
// Both halves of each listed velocity record grow by dt times the accelerations.
void OvpAddScaledVelocities(float (*velocities)[8], const float (*accelerations)[8], const OvpIndexList* list,
                            float dt);
