#include "physics/core/dynamics/integrate.h"

#include <cmath>

#include "graphics/core/vector.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/manager.h"

namespace {

void RebuildMatrix(OvMatrix* m, const OvQuat& q) {
    const float s = 2.0f / (((q.x * q.x + q.y * q.y) + q.z * q.z) + q.w * q.w);
    const float xx = q.x * q.x * s, yy = q.y * q.y * s, zz = q.z * q.z * s;
    const float xy = q.x * q.y * s, xz = q.x * q.z * s, yz = q.y * q.z * s;
    const float wx = q.w * q.x * s, wy = q.w * q.y * s, wz = q.w * q.z * s;
    m->right = {1.0f - (yy + zz), xy + wz, xz - wy};
    m->up = {xy - wz, 1.0f - (xx + zz), yz + wx};
    m->at = {xz + wy, yz - wx, 1.0f - (xx + yy)};
}

void IntegrateOne(OvMatrix* m, OvQuat* q, const float* v, OvUInt32 flags, const float* freeAxis, float dt) {
    OvV3d w = {v[4], v[5], v[6]};
    if (flags & ovpBODY_FREEAXIS) {
        const OvV3d a = {freeAxis[0], freeAxis[1], freeAxis[2]};
        const float s = OvpDot(w, a);
        OvpIntegrateOrientation(q, &a, s * dt);
        w = OvpSub(w, OvpScale(a, s));
    }
    OvpIntegrateQuaternion(q, &w, dt);
    m->pos = {m->pos.x + dt * v[0], m->pos.y + dt * v[1], m->pos.z + dt * v[2]};
    RebuildMatrix(m, *q);
    m->flags = 3;
    OvMatrixUpdate(m);
}

} // namespace

OvpBodyArrays* OvpIntegrateBody(OvpBodyArrays* b, OvUInt32 i, float dt) {
    IntegrateOne(&b->matrices[i], &b->orientations[i], b->velocities[i], b->flags[i], b->freeAxes[i], dt);
    return b;
}

void OvpIntegrateBodies(OvMatrix* matrices, OvQuat* orientations, const float (*velocities)[8],
                        const OvpIndexList* list, const OvUInt32* flags, const float (*freeAxes)[4], float dt) {
    for (OvUInt32 k = 0; k < list->count; ++k) {
        const OvUInt32 i = list->indices[k];
        IntegrateOne(&matrices[i], &orientations[i], velocities[i], flags[i], freeAxes[i], dt);
    }
}

void OvpIntegrateBodiesWith(OvMatrix* matrices, OvQuat* orientations, const OvpIndexList* list, const OvUInt32* flags,
                            const float (*freeAxes)[4], const float (*velocities)[8], float dt) {
    for (OvUInt32 k = 0; k < list->count; ++k) {
        const OvUInt32 i = list->indices[k];
        IntegrateOne(&matrices[i], &orientations[i], velocities[k], flags[i], freeAxes[i], dt);
    }
}

OvQuat* OvpIntegrateOrientation(OvQuat* q, const OvV3d* axis, float factor) {
    const float length = OvSqrt(OvpDot(*axis, *axis));
    if (std::fabs(length) < 0.0001f) {
        return q;
    }
    const float h = length * factor * 0.5f;
    const float s = std::sin(h) / length;
    const OvQuat r = {axis->x * s, axis->y * s, axis->z * s, std::cos(h)};
    *q = OvpMathQuatMultiply(r, *q);
    return q;
}

OvQuat* OvpIntegrateQuaternion(OvQuat* q, const OvV3d* w, float dt) {
    const float h = 0.5f * dt;
    const OvQuat p = *q;
    OvQuat n = {p.x + h * ((w->y * p.z - w->z * p.y) + w->x * p.w), p.y + h * ((w->z * p.x - w->x * p.z) + w->y * p.w),
                p.z + h * ((w->x * p.y - w->y * p.x) + w->z * p.w), p.w - h * ((w->x * p.x + w->y * p.y) + w->z * p.z)};
    const float l = std::sqrt(((n.x * n.x + n.y * n.y) + n.z * n.z) + n.w * n.w);
    *q = {n.x / l, n.y / l, n.z / l, n.w / l};
    return q;
}

void OvpAddScaledVelocities(float (*velocities)[8], const float (*accelerations)[8], const OvpIndexList* list,
                            float dt) {
    for (OvUInt32 k = 0; k < list->count; ++k) {
        const OvUInt32 i = list->indices[k];
        for (int c = 0; c < 8; ++c) {
            velocities[i][c] += dt * accelerations[i][c];
        }
    }
}
