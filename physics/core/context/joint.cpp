#include "physics/core/context/joint.h"

#include <cfloat>
#include <cmath>
#include <cstddef>

#include "graphics/core/engine.h"
#include "physics/core/utils/memory.h"

OvpJointDef* OvpJointDefInit(OvpJointDef* def) {
    def->refCount = 1;
    for (OvpJointFrame& f : def->frame) {
        f = {{0.0f, 0.0f, 0.0f, 1.0f}, {0.0f, 0.0f, 0.0f}};
    }
    def->flags = ovpJOINTBALL;
    const float c = 0.92387953f; // cos(pi / 8)
    for (OvpJointLimit& l : def->limit) {
        l = {0, 1.0f, {c, c, c}};
    }
    for (int i = 0; i < 3; ++i) {
        def->springs0[i] = {1e30f, 1e30f, FLT_MAX};
        def->springs1[i] = {1e30f, 1e30f, FLT_MAX};
    }
    def->springEnable = 0;
    return def;
}

OvpJointDef* OvpJointDefCreate() {
    auto* def = static_cast<OvpJointDef*>(OvMalloc(sizeof(OvpJointDef), ovpMEMHINT));
    return def != nullptr ? OvpJointDefInit(def) : nullptr;
}

OvBool OvpJointDefRelease(OvpJointDef* def) {
    if (def != nullptr && --def->refCount == 0) {
        OvFree(def);
    }
    return 1;
}

OvpJointDef* OvpJointDefSetFlags(OvpJointDef* def, OvUInt32 flags) {
    def->flags = flags;
    return def;
}

OvpJointFrame* OvpJointDefGetFrame(OvpJointDef* def, OvInt32 i) { return &def->frame[i != 0 ? 1 : 0]; }

OvpJointFrame* OvpJointFrameSetOrientation(OvpJointFrame* frame, const OvQuat* q) {
    frame->orientation = *q;
    return frame;
}

OvpJointFrame* OvpJointFrameSetPosition(OvpJointFrame* frame, const OvV3d* position) {
    frame->position = *position;
    return frame;
}

OvpJointLimit* OvpJointDefGetFirstLimit(OvpJointDef* def) { return &def->limit[0]; }
OvpJointLimit* OvpJointDefGetSecondLimit(OvpJointDef* def) { return &def->limit[1]; }

OvpJointLimit* OvpJointLimitSetEnabled(OvpJointLimit* limit, OvUInt32 enabled) {
    limit->enabled = enabled;
    return limit;
}

OvpJointLimit* OvpJointLimitSetAngle(OvpJointLimit* limit, float angle) {
    limit->cosine[0] = std::cos(angle * 0.5f);
    return limit;
}

OvpJointSpring* OvpJointDefGetSpring(OvpJointDef* def, OvInt32 set, OvInt32 index) {
    if (index < 0 || index > 2) {
        return nullptr;
    }
    return set == 0 ? &def->springs0[index] : &def->springs1[index];
}

OvpJointSpring* OvpJointLimitGetSpring(OvpJointLimit* limit) {
    // Only defined for a definition's second limit block.
    auto* def = reinterpret_cast<OvpJointDef*>(reinterpret_cast<unsigned char*>(limit) - offsetof(OvpJointDef, limit) -
                                               sizeof(OvpJointLimit));
    return &def->springs0[1];
}

OvpJointSpring* OvpJointSpringSetStiffness(OvpJointSpring* spring, float stiffness) {
    spring->stiffness = stiffness;
    return spring;
}

OvpJointSpring* OvpJointSpringSetDamping(OvpJointSpring* spring, float damping) {
    spring->damping = damping;
    return spring;
}

OvpJoint* OvpJointInit(OvpJoint* joint, OvpMgr* manager, OvpJointDef* def, const OvpRef* ref1, const OvpRef* ref2) {
    joint->manager = manager;
    joint->id = ovpSLOTNONE;
    for (OvV3d& v : joint->solver) {
        v = {0.0f, 0.0f, 0.0f};
    }
    for (OvV3d& v : joint->extra) {
        v = {0.0f, 0.0f, 0.0f};
    }
    joint->def = def;
    ++def->refCount;
    joint->ref[0] = *ref2;
    joint->ref[1] = *ref1;
    joint->orientation = {0.0f, 0.0f, 0.0f, 1.0f};
    joint->islandNext = nullptr;
    return joint;
}

OvpJoint* OvpJointCreate(OvpMgr* manager, OvpJointDef* def, const OvpRef* ref1, const OvpRef* ref2) {
    OvpJoint* joint = OvpMgrPopJoint(manager);
    return joint != nullptr ? OvpJointInit(joint, manager, def, ref1, ref2) : nullptr;
}

OvBool OvpJointDestroy(OvpJoint* joint) {
    if (joint == nullptr || joint->def == nullptr) {
        return 0; // already back in the pool: pushed twice, two joints would share it
    }
    OvpMgr* m = joint->manager;
    if (joint->id != ovpSLOTNONE) {
        OvpMgrRemoveJoint(m, joint);
    }
    // An object that made the joint for itself no longer holds it.
    for (const OvpRef& r : joint->ref) {
        if (r.part != ovpREFNONE && OvpMgrHoldsObject(m, r.object)) {
            for (OvUInt16 j = 0; j < r.object->jointCount; ++j) {
                if (r.object->joints[j] == joint) {
                    r.object->joints[j] = nullptr;
                }
            }
        }
    }
    OvpJointDefRelease(joint->def);
    joint->def = nullptr;
    OvpMgrPushJoint(m, joint);
    return 1;
}

OvpJointDef* OvpJointGetDef(OvpJoint* joint) { return joint->def; }
