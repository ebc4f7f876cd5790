#pragma once
// Small by-value vector arithmetic that the level runtime shares (the world manager's queries and
// the level objects' shapes).

#include <cmath>

#include "graphics/core/vector.h"

namespace framework_vector {

inline OvV3d Sub(const OvV3d& a, const OvV3d& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline OvV3d Add(const OvV3d& a, const OvV3d& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline OvV3d Scale(const OvV3d& a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline float Dot(const OvV3d& a, const OvV3d& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline OvV3d Cross(const OvV3d& a, const OvV3d& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float Length(const OvV3d& v) { return std::sqrt(Dot(v, v)); }
// The unit vector along v; a zero vector stays as it is.
inline OvV3d Normalised(const OvV3d& v) {
    const float length = Length(v);
    return length > 0.0f ? Scale(v, 1.0f / length) : v;
}
inline bool Same(const OvV3d& a, const OvV3d& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

} // namespace framework_vector
