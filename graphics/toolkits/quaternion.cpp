#include "graphics/toolkits/quaternion.h"

#include <cmath>

OvBool OvQuatFromMatrix(OvQuat* out, const OvMatrix* matrix) {
    if (out == nullptr || matrix == nullptr) {
        return 0;
    }
    const float m00 = matrix->right.x, m01 = matrix->right.y, m02 = matrix->right.z;
    const float m10 = matrix->up.x, m11 = matrix->up.y, m12 = matrix->up.z;
    const float m20 = matrix->at.x, m21 = matrix->at.y, m22 = matrix->at.z;
    const float trace = m00 + m11 + m22;
    if (trace > 0.0f) {
        const float s = std::sqrt(trace + 1.0f);
        const float f = 0.5f / s;
        out->w = 0.5f * s;
        out->x = (m12 - m21) * f;
        out->y = (m20 - m02) * f;
        out->z = (m01 - m10) * f;
        return 1;
    }
    // The largest diagonal element picks the branch; ties go to the later branch, and z also takes
    // the case where m00 leads m11 but not m22.
    if (m00 > m11 && m00 > m22) {
        const float s = std::sqrt(m00 - (m22 + m11) + 1.0f);
        const float f = 0.5f / s;
        out->x = 0.5f * s;
        out->w = (m12 - m21) * f;
        out->y = (m10 + m01) * f;
        out->z = (m20 + m02) * f;
    } else if (!(m00 > m11) && m11 > m22) {
        const float s = std::sqrt(m11 - (m22 + m00) + 1.0f);
        const float f = 0.5f / s;
        out->y = 0.5f * s;
        out->w = (m20 - m02) * f;
        out->z = (m21 + m12) * f;
        out->x = (m10 + m01) * f;
    } else {
        const float s = std::sqrt(m22 - (m11 + m00) + 1.0f);
        const float f = 0.5f / s;
        out->z = 0.5f * s;
        out->w = (m01 - m10) * f;
        out->x = (m20 + m02) * f;
        out->y = (m21 + m12) * f;
    }
    return 1;
}

OvV3d* OvQuatRotateVectors(OvV3d* out, const OvV3d* in, OvInt32 count, const OvQuat* q) {
    // v' = (w^2 - u.u) v + 2 (u.v) u + 2w (u x v), with the factors computed once.
    const float scale = q->w * q->w - (q->x * q->x + q->y * q->y + q->z * q->z);
    const float x2 = 2.0f * q->x, y2 = 2.0f * q->y, z2 = 2.0f * q->z;
    const float wx2 = q->w * x2, wy2 = q->w * y2, wz2 = q->w * z2;
    for (OvInt32 i = 0; i < count; ++i) {
        const OvV3d v = in[i];
        const float dot = q->x * v.x + q->y * v.y + q->z * v.z;
        out[i].x = scale * v.x + dot * x2 + (wy2 * v.z - wz2 * v.y);
        out[i].y = scale * v.y + dot * y2 + (wz2 * v.x - wx2 * v.z);
        out[i].z = scale * v.z + dot * z2 + (wx2 * v.y - wy2 * v.x);
    }
    return out;
}
