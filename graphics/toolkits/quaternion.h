#pragma once
// Quaternion utilities: rotation quaternions from matrices, and arrays of vectors rotated by a
// quaternion. Quaternions are four floats, vector part first (x, y, z, w), as keyframes and the
// physics engine store them.

#include "graphics/core/matrix.h"
#include "graphics/core/types.h"

// Rotation quaternion (16 bytes): w = cos(angle / 2), (x, y, z) = sin(angle / 2) x unit axis.
struct OvQuat {
    float x; // vector part
    float y;
    float z;
    float w; // scalar part
};

// The rotation of the matrix's right, up and at rows (m00..m22 row by row) as a quaternion.
// Returns 1, or 0 when either pointer is null. The rows are taken as they are (not normalised).
OvBool OvQuatFromMatrix(OvQuat* out, const OvMatrix* matrix);

// out[i] = in[i] rotated by the quaternion, which is not normalised first (a quaternion of
// squared length n also scales by n). out may equal in. Returns out; count < 1 writes nothing.
OvV3d* OvQuatRotateVectors(OvV3d* out, const OvV3d* in, OvInt32 count, const OvQuat* quaternion);
