#pragma once
// Joints: shared, reference-counted joint definitions (two attachment frames, axis locks, two
// angle limits, two sets of per-axis springs) and joint records from the manager's pool that
// tie a part of one object to a part of another, or to the world.
//
// Ends: OvpJointCreate (manager, def, ref1, ref2) stores ref2 as the joint's first end, so frame
// 0 of the definition belongs to ref2's object and frame 1 to ref1's.

#include "graphics/core/types.h"
#include "graphics/core/vector.h"
#include "graphics/toolkits/quaternion.h"
#include "physics/core/context/manager.h"

// Axis-lock flags.
enum OvpJointLock : OvUInt32 {
    ovpJOINT_ROTX = 0x1, // rotation about frame 0's x axis
    ovpJOINT_ROTY = 0x2,
    ovpJOINT_ROTZ = 0x4,
    ovpJOINT_TRANSX = 0x8, // translations along frame 1's axes
    ovpJOINT_TRANSY = 0x10,
    ovpJOINT_TRANSZ = 0x20,
};
inline constexpr OvUInt32 ovpJOINTBALL = 56;  // the default: all translations locked
inline constexpr OvUInt32 ovpJOINTHINGE = 62; // free only about frame 0's x axis

struct OvpJointFrame {
    OvQuat orientation;
    OvV3d position;
};

struct OvpJointLimit {
    OvUInt32 enabled;
    float value;     // 1.0
    float cosine[3]; // cos(angle / 2); cos(pi / 8) by default
};

struct OvpJointSpring {
    float stiffness; // 1e30
    float damping;   // 1e30
    float bound;     // bound of the spring force, FLT_MAX
};

struct OvpJointDef {
    OvUInt32 refCount;
    OvpJointFrame frame[2];
    OvUInt32 flags; // OvpJointLock bits, 56
    OvpJointLimit limit[2];
    OvpJointSpring springs0[3];
    OvUInt32 springEnable; // one bit per axis
    OvpJointSpring springs1[3];
};

struct OvpJoint {
    OvpMgr* manager;
    OvUInt16 id;     // joint slot, ovpSLOTNONE while not added
    OvV3d solver[4]; // first end linear, angular; second end linear, angular
    OvpJointDef* def;
    OvpRef ref[2]; // ref[0] is the second reference given to OvpJointCreate
    OvQuat orientation;
    OvV3d extra[3];
    OvpJoint* islandNext; // chains the joints of one island during a step
};

OvpJointDef* OvpJointDefInit(OvpJointDef* def);
// Null when the allocation fails.
OvpJointDef* OvpJointDefCreate();
// Drops one reference, the last frees it: each holder (its joints, the multi-part definitions, its
// maker) releases only its own.
OvBool OvpJointDefRelease(OvpJointDef* def);
OvpJointDef* OvpJointDefSetFlags(OvpJointDef* def, OvUInt32 flags);
OvpJointFrame* OvpJointDefGetFrame(OvpJointDef* def, OvInt32 i);
OvpJointFrame* OvpJointFrameSetOrientation(OvpJointFrame* frame, const OvQuat* q);
OvpJointFrame* OvpJointFrameSetPosition(OvpJointFrame* frame, const OvV3d* position);
OvpJointLimit* OvpJointDefGetFirstLimit(OvpJointDef* def);
OvpJointLimit* OvpJointDefGetSecondLimit(OvpJointDef* def);
OvpJointLimit* OvpJointLimitSetEnabled(OvpJointLimit* limit, OvUInt32 enabled);
// Stores cos(angle / 2) (radians) in the first cosine.
OvpJointLimit* OvpJointLimitSetAngle(OvpJointLimit* limit, float angle);
// Spring `index` (0..2) of set `set` (0 or 1).
OvpJointSpring* OvpJointDefGetSpring(OvpJointDef* def, OvInt32 set, OvInt32 index);
// For the second limit block: the second spring of the first set (the hinge's spring).
OvpJointSpring* OvpJointLimitGetSpring(OvpJointLimit* limit);
OvpJointSpring* OvpJointSpringSetStiffness(OvpJointSpring* spring, float stiffness);
OvpJointSpring* OvpJointSpringSetDamping(OvpJointSpring* spring, float damping);

// Sets a record up for the manager: id ovpSLOTNONE, ref2 then ref1 as its ends, zero solver
// state, identity orientation, a reference taken on the definition.
OvpJoint* OvpJointInit(OvpJoint* joint, OvpMgr* manager, OvpJointDef* def, const OvpRef* ref1, const OvpRef* ref2);
// Pops a record (null when the pool is empty; nothing touched) and sets it up (OvpJointInit).
OvpJoint* OvpJointCreate(OvpMgr* manager, OvpJointDef* def, const OvpRef* ref1, const OvpRef* ref2);
// Removes the joint from the manager when still added, takes it out of the joint table of an
// object that made it, releases the definition and gives the record back to the pool. 0 for a
// record already given back.
OvBool OvpJointDestroy(OvpJoint* joint);
OvpJointDef* OvpJointGetDef(OvpJoint* joint);
