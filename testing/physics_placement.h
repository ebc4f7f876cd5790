#pragma once
// Rigid placements for physics scenes set up by hand: a rotation about an axis, and the matrix
// that puts a volume at a position with a given orientation.

#include <cmath>

#include "physics/core/utils/math.h"

inline OvMatrix Placement(const OvQuat& q, const OvV3d& pos) {
    OvMatrix m;
    OvpMathMatrixFromQuat(&m, q);
    m.pos = pos;
    m.flags = 0;
    return m;
}

inline OvQuat AxisAngle(const OvV3d& axis, float angle) {
    const float s = std::sin(angle / 2.0f);
    return {axis.x * s, axis.y * s, axis.z * s, std::cos(angle / 2.0f)};
}
