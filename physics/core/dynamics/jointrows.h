#pragma once
// Joint constraint rows: every step each joint becomes lock rows for its locked axes, rows for
// its distance, twist and cone limits while they are exceeded, and soft rows for its springs.
//
// Frame A is the first end's world frame (definition frame 0, joint->ref[0]) and frame B the
// second's; D = anchor A - anchor B and q = conj(qA) qB. Both lever arms run to anchor A.
// Joint targets: joint->orientation is the target orientation, extra[0] the target position,
// extra[1] the target velocity (both along frame B's axes) and extra[2] the target angular velocity.

#include "graphics/core/matrix.h"
#include "graphics/toolkits/quaternion.h"
#include "physics/core/dynamics/solver.h"

struct OvpDyn;
struct OvpJoint;

// Most rows one joint appends (6 locks, 3 limits, 6 springs).
inline constexpr OvUInt32 ovpJOINTMAXROWS = 16;

// Spring enable bits: per axis-lock bit b, b drives the position, b << 8 the velocity and
// b << 16 bounds the force; these ask for the three-axis orientation spring.
inline constexpr OvUInt32 ovpJOINTSPRING_ORIENTATION = 0x7000000;

// A joint end placed in the world.
struct OvpJointWorldFrame {
    const OvpDyn* dyn;  // null for an end without a body
    OvQuat orientation; // world orientation of the attachment frame
    OvMatrix matrix;    // its axes as rows, the anchor as position
    OvV3d bodyPosition; // the end's body position (centre of mass), or the part's position
};

// The world frame of end 0 or 1. A part with dynamics is placed by its body; a part without by
// its bound matrix; an end holding to the world (part 0xFFFF) by the identity.
void OvpJointGetWorldFrame(const OvpJoint* joint, OvInt32 end, OvpJointWorldFrame* out);

// The rows the budgets count for the joint (every enabled kind of limit once, the spring rows
// the builder would append now).
OvUInt32 OvpJointRowCount(const OvpJoint* joint);

// Appends the joint's rows (at most ovpJOINTMAXROWS) for the two ends' batch bodies (-1: none),
// softness offset f and time step dt. A joint with no row at all gives one empty row. Returns
// the count.
OvUInt32 OvpJointBuildRows(OvpRow* rows, const OvpJoint* joint, OvInt32 bodyA, OvInt32 bodyB, float f, float dt);
