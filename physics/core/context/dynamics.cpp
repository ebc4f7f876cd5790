#include "physics/core/context/dynamics.h"

#include <cfloat>
#include <cmath>

#include "graphics/toolkits/quaternion.h"
#include "physics/core/context/manager.h"

OvpDynDef* OvpDynDefInit(OvpDynDef* def, OvpVolume* volume) {
    def->volume = volume;
    def->centre = {0.0f, 0.0f, 0.0f};
    def->mass = 1.0f;
    def->inertia = {1.0f, 1.0f, 1.0f};
    def->orientation = {0.0f, 0.0f, 0.0f, 1.0f};
    def->scalarInertia = 1.0f;
    def->linearDamping = 0.01f;
    def->angularDamping = 0.01f;
    def->flags = 0;
    return def;
}

OvBool OvpDynDefRelease(OvpDynDef* def) {
    if (def->volume != nullptr) {
        OvpVolumeDeinit(def->volume);
    }
    return 1;
}

float OvpDynDefSetMassFromVolume(OvpDynDef* def, float mass, OvBool fullInertia) {
    OvpInertia inertia;
    OvV3d centre;
    const float volume = OvpVolumeGetMassProperties(def->volume, &inertia, &centre);
    if (mass < 0.0f) {
        mass = -mass * volume;
    }
    def->mass = mass;
    def->centre = centre;
    if (fullInertia) {
        if (mass >= FLT_MIN) {
            inertia.diagonal = OvpScale(inertia.diagonal, mass);
        }
        def->inertia = inertia.diagonal;
        def->orientation = inertia.orientation;
        def->flags |= ovpDYNDEF_FULLINERTIA;
    } else if (mass >= FLT_MIN) {
        const OvV3d& d = inertia.diagonal;
        def->scalarInertia = mass * std::fmin(d.x, std::fmin(d.y, d.z));
        def->flags &= ~static_cast<OvUInt32>(ovpDYNDEF_FULLINERTIA);
    }
    return volume >= FLT_MIN ? mass / volume : FLT_MAX;
}

namespace {

bool ValidPositive(float x) { return x > FLT_MIN && std::isfinite(x); }

// Unit quaternion of a rigid matrix (graphics toolkit), identity when it cannot be derived.
OvQuat QuatOf(const OvMatrix* m) {
    OvQuat q = {0.0f, 0.0f, 0.0f, 1.0f};
    if (!OvQuatFromMatrix(&q, m)) {
        q = {0.0f, 0.0f, 0.0f, 1.0f};
    }
    return q;
}

void MoveToCentre(OvMatrix* m, const OvV3d& offset) { m->pos = OvpAdd(m->pos, OvpMathTransformVector(offset, m)); }

} // namespace

OvpDyn* OvpDynCreate(OvpMgr* manager, const OvpDynDef* def, const OvMatrix* matrix) {
    OvpDyn* dyn = OvpMgrPopDyn(manager);
    return dyn != nullptr ? OvpDynInit(dyn, manager, def, matrix) : nullptr;
}

OvpDyn* OvpDynInit(OvpDyn* dyn, OvpMgr* manager, const OvpDynDef* def, const OvMatrix* matrix) {
    OvpBodyArrays* b = manager->bodies;
    const OvUInt32 i = dyn->body;
    dyn->manager = manager;
    OvpMatrix3& mass = b->mass[i];
    OvpMatrix3& root = b->invRoot[i];
    mass = {};
    root = {};
    float m = 1.0f, scalar = 1.0f;
    OvUInt32 flags = 0;
    if (def != nullptr) {
        flags = def->flags;
        m = ValidPositive(def->mass) ? def->mass : 1.0f;
        scalar = ValidPositive(def->scalarInertia) ? def->scalarInertia : 1.0f;
        dyn->linearDamping = def->linearDamping;
        dyn->angularDamping = def->angularDamping;
        b->defWords[i][0] = def->bodyWords[0];
        b->defWords[i][1] = def->bodyWords[1];
        b->defWords[i][2] = def->bodyWords[2];
        b->defWords[i][3] = 0;
        dyn->comOffset = def->centre;
        if (flags & ovpDYNDEF_FULLINERTIA) {
            const OvV3d& d = def->inertia;
            if (ValidPositive(d.x) && ValidPositive(d.y) && ValidPositive(d.z)) {
                OvpInertia tensor = {d, def->orientation};
                OvpMathInertiaFromDiagonal(&mass, &tensor);
                tensor.diagonal = {1.0f / std::sqrt(d.x), 1.0f / std::sqrt(d.y), 1.0f / std::sqrt(d.z)};
                OvpMathInertiaFromDiagonal(&root, &tensor);
            } else {
                flags &= ~static_cast<OvUInt32>(ovpDYNDEF_FULLINERTIA);
            }
        }
    } else {
        dyn->linearDamping = 0.01f;
        dyn->angularDamping = 0.01f;
        b->defWords[i][0] = b->defWords[i][1] = b->defWords[i][2] = b->defWords[i][3] = 0;
        dyn->comOffset = {0.0f, 0.0f, 0.0f};
    }
    if (!(flags & ovpDYNDEF_FULLINERTIA)) {
        for (int r = 0; r < 3; ++r) {
            mass.m[r][r] = scalar;
            root.m[r][r] = 1.0f / std::sqrt(scalar);
        }
    }
    mass.m[0][3] = m;
    root.m[0][3] = 1.0f / std::sqrt(m);
    mass.m[2][3] = scalar;
    root.m[2][3] = 1.0f / std::sqrt(scalar);
    b->flags[i] = flags;
    OvMatrix& body = b->matrices[i];
    if (matrix != nullptr) {
        body = *matrix;
    } else {
        OvMatrixSetIdentity(&body);
    }
    body.flags &= ~static_cast<OvUInt32>(ovMATRIXINTERNALIDENTITY);
    MoveToCentre(&body, dyn->comOffset);
    b->orientations[i] = QuatOf(&body);
    dyn->massTerm = 0.001f / m;
    for (int k = 0; k < 8; ++k) {
        b->velocities[i][k] = 0.0f;
        b->impulses[i][k] = 0.0f;
        b->accelerations[i][k] = 0.0f;
        b->solver[i][k] = 0.0f;
    }
    for (int k = 0; k < 4; ++k) {
        b->freeAxes[i][k] = 0.0f;
    }
    return dyn;
}

OvBool OvpDynDestroy(OvpDyn* dyn) {
    if (dyn == nullptr || dyn->manager == nullptr) {
        return 0; // already back in the pool: pushed twice, two bodies would share it
    }
    OvpMgrPushDyn(dyn->manager, dyn);
    dyn->manager = nullptr;
    return 1;
}

OvpDyn* OvpDynApplyImpulse(OvpDyn* dyn, const OvV3d* impulse, const OvV3d* point) {
    OvpBodyArrays* b = dyn->manager->bodies;
    float* acc = b->impulses[dyn->body];
    const OvV3d arm = OvpSub(*point, b->matrices[dyn->body].pos);
    const OvV3d torque = OvpCross(arm, *impulse);
    acc[0] += impulse->x;
    acc[1] += impulse->y;
    acc[2] += impulse->z;
    acc[4] += torque.x;
    acc[5] += torque.y;
    acc[6] += torque.z;
    return dyn;
}

OvV3d* OvpDynGetPointVelocity(const OvpDyn* dyn, const OvV3d* point, OvV3d* out) {
    const OvpBodyArrays* b = dyn->manager->bodies;
    const float* v = b->velocities[dyn->body];
    const OvV3d arm = OvpSub(*point, b->matrices[dyn->body].pos);
    *out = OvpAdd({v[0], v[1], v[2]}, OvpCross({v[4], v[5], v[6]}, arm));
    return out;
}

OvpDyn* OvpDynSetFromMatrix(OvpDyn* dyn, const OvMatrix* matrix) {
    OvpBodyArrays* b = dyn->manager->bodies;
    OvMatrix& body = b->matrices[dyn->body];
    body = *matrix;
    body.flags &= ~static_cast<OvUInt32>(ovMATRIXINTERNALIDENTITY);
    MoveToCentre(&body, dyn->comOffset);
    b->orientations[dyn->body] = QuatOf(&body);
    return dyn;
}

OvMatrix* OvpDynGetModelMatrix(const OvpDyn* dyn, OvMatrix* out) {
    *out = dyn->manager->bodies->matrices[dyn->body];
    out->pos = OvpSub(out->pos, OvpMathTransformVector(dyn->comOffset, out));
    return out;
}
