#pragma once
// Physics math: vectors, boxes and spheres, 3 x 3 inertia matrices and their principal axes,
// polynomial roots, and segment tests against planes, spheres, cylinders and tori.
//
// Placements are graphics-core matrices in the row-vector convention: a point p of a frame is
// p.x right + p.y up + p.z at + pos in its parent. The helpers here never need the graphics
// engine to be open.

#include <cfloat>
#include <cmath>

#include "graphics/core/matrix.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"
#include "graphics/toolkits/quaternion.h"

// Axis-aligned box (32 bytes): maximum corner, then minimum corner, each with a spare word.
struct OvpBBox {
    OvV3d sup;     // maximum corner
    OvUInt32 pad0; // spare
    OvV3d inf;     // minimum corner
    OvUInt32 pad1; // spare
};
static_assert(sizeof(OvpBBox) == 32, "OvpBBox grew");

// 3 x 3 matrix as three rows of four floats (48 bytes). Column 3 is never read or written by
// the math routines, so records that keep a value there (a mass, a scalar inertia) survive.
struct OvpMatrix3 {
    float m[3][4]; // m[row][column]
};

// Inertia per unit mass in principal form (28 bytes): the moments about the principal axes and
// the rotation that takes the coordinate axes onto them (tensor = R diag(moments) R^T).
struct OvpInertia {
    OvV3d diagonal;     // principal moments per unit mass (length^2)
    OvQuat orientation; // principal axes as a rotation (x, y, z, w)
};

// --- small vector helpers --------------------------------------------------------------

inline float OvpDot(const OvV3d& a, const OvV3d& b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }
inline OvV3d OvpAdd(const OvV3d& a, const OvV3d& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline OvV3d OvpSub(const OvV3d& a, const OvV3d& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline OvV3d OvpScale(const OvV3d& a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline OvV3d OvpCross(const OvV3d& a, const OvV3d& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float OvpLength(const OvV3d& v) { return std::sqrt(OvpDot(v, v)); }
// The sum of the absolute component differences: a cheap test for two points being the same.
inline float OvpAbsSum(const OvV3d& a, const OvV3d& b) {
    return (std::fabs(a.x - b.x) + std::fabs(a.y - b.y)) + std::fabs(a.z - b.z);
}
// std::fmax and std::fmin without the library call: the larger (smaller) number, the other one
// when one is NaN, and of two equal numbers (zeros of either sign) the second, as this system's
// C library returns them at run time (the language leaves the sign of such a zero open).
inline float OvpMax(float a, float b) { return (a > b || b != b) ? a : b; }
inline float OvpMin(float a, float b) { return (a < b || b != b) ? a : b; }
inline float OvpComponent(const OvV3d& v, int axis) { return axis == 0 ? v.x : axis == 1 ? v.y : v.z; }
inline void OvpSetComponent(OvV3d& v, int axis, float value) { (axis == 0 ? v.x : axis == 1 ? v.y : v.z) = value; }

// Placement helpers (row-vector convention). The matrix's identity flag is honoured. Inline:
// the narrow phase turns every direction and point it asks a placed volume about.
inline bool OvpMathIsIdentity(const OvMatrix* m) { return (m->flags & ovMATRIXINTERNALIDENTITY) != 0; }
inline OvV3d OvpMathTransformVector(const OvV3d& v, const OvMatrix* m) {
    if (OvpMathIsIdentity(m)) {
        return v;
    }
    return {(v.x * m->right.x + v.y * m->up.x) + v.z * m->at.x, (v.x * m->right.y + v.y * m->up.y) + v.z * m->at.y,
            (v.x * m->right.z + v.y * m->up.z) + v.z * m->at.z};
}
inline OvV3d OvpMathTransformPoint(const OvV3d& p, const OvMatrix* m) {
    if (OvpMathIsIdentity(m)) {
        return p;
    }
    return OvpAdd(OvpMathTransformVector(p, m), m->pos);
}
// The vector in the matrix's own frame (the transpose of its rotation).
inline OvV3d OvpMathInverseRotate(const OvV3d& v, const OvMatrix* m) {
    if (OvpMathIsIdentity(m)) {
        return v;
    }
    return {OvpDot(v, m->right), OvpDot(v, m->up), OvpDot(v, m->at)};
}
// out = a then b, with identity shortcuts; flags a & b. out may alias neither.
OvMatrix* OvpMathMatrixMultiply(OvMatrix* out, const OvMatrix* a, const OvMatrix* b);

// Quaternion product a b (b's rotation first, then a's).
OvQuat OvpMathQuatMultiply(const OvQuat& a, const OvQuat& b);
// The rotation matrix of a unit quaternion: rows are the rotated coordinate axes (position 0,
// flags 0x3).
void OvpMathMatrixFromQuat(OvMatrix* out, const OvQuat& q);

// --- vectors ---------------------------------------------------------------------------

// out = v / |v|, returns |v|; below FLT_MIN out = (0, 0, 1) and the length is still returned.
inline float OvpMathVec3Normalize(OvV3d* out, const OvV3d* v) {
    const float length = std::sqrt(OvpDot(*v, *v));
    if (length < FLT_MIN) {
        *out = {0.0f, 0.0f, 1.0f};
        return length;
    }
    *out = OvpScale(*v, 1.0f / length);
    return length;
}
// A vector perpendicular to v: the smallest component becomes 0, the other two are swapped
// with one negated.
void OvpMathVec3Perpendicular(OvV3d* out, const OvV3d* v);
// |v|^2 >= 1e-12: out = v / |v|, returns |v|. Otherwise returns 0 and out = the normalised
// fallback x scale when scale is a nonzero number, else the normalised perpendicular of it.
float OvpMathVec3NormalizeOr(OvV3d* out, const OvV3d* v, const OvV3d* fallback, float scale);
// Index of the largest component; ties go to the later index.
OvInt32 OvpMathLargestAxis(const OvV3d* v);

// --- boxes and spheres -----------------------------------------------------------------

OvpBBox* OvpMathBoxUnion(OvpBBox* out, const OvpBBox* a, const OvpBBox* b);
// The box of the segment p-q grown by r on every side.
OvpBBox* OvpMathBoxFromSegment(OvpBBox* out, const OvV3d* p, const OvV3d* q, float r);
OvpBBox* OvpMathBoxExtend(OvpBBox* box, const OvV3d* p);
// The box of the transformed box (corner by corner through the matrix entries).
OvpBBox* OvpMathBoxTransform(OvpBBox* out, const OvpBBox* box, const OvMatrix* matrix);
// The same box computed from the centre and half size: half' = |M| half about M(centre).
OvpBBox* OvpMathBoxTransformCentre(OvpBBox* out, const OvpBBox* box, const OvMatrix* matrix);
// Centre of the box, radius half its diagonal.
OvSphere* OvpMathSphereFromBox(OvSphere* out, const OvpBBox* box);
// The smallest sphere holding the sphere and p. out may equal sphere.
OvSphere* OvpMathSphereAddPoint(OvSphere* out, const OvSphere* sphere, const OvV3d* p);

// --- inertia ---------------------------------------------------------------------------

// out = R diag(I) R^T, R the rotation of the orientation quaternion (column 3 untouched).
OvpMatrix3* OvpMathInertiaFromDiagonal(OvpMatrix3* out, const OvpInertia* inertia);
// out += s x in over the nine entries.
OvpMatrix3* OvpMathMatrix3AddScaled(OvpMatrix3* out, const OvpMatrix3* in, float s);
// Cyclic Jacobi rotations on the symmetric matrix a until the sum of squares of its
// off-diagonal entries is at most tolerance^2 (1) or maxSweeps sweeps are used up (0). a ends
// diagonal (the eigenvalues); vectors (started as identity) holds the eigenvectors as columns,
// so that a_in = V diag V^T.
OvBool OvpMathJacobiEigen(OvpMatrix3* a, OvpMatrix3* vectors, OvInt32 maxSweeps, float tolerance);
// Principal moments and axes of a symmetric tensor (25 sweeps, tolerance 1e-6); the axes form
// a proper rotation. 0 when Jacobi did not converge (out still holds its last state).
OvBool OvpMathPrincipalAxes(OvpInertia* out, const OvpMatrix3* tensor);

// --- polynomials -----------------------------------------------------------------------

// Highest degree the root finders take.
inline constexpr OvInt32 ovpMATHMAXPOLYDEGREE = 8;

// Coefficients are in ascending order: c[0] + c[1] t + ... + c[degree] t^degree.
float OvpMathPolyEvaluate(const float* c, OvInt32 degree, float t);
// The root between lo and hi where the polynomial changes sign (Newton kept inside the
// bracket, bisection otherwise, at most 23 rounds); the middle when fLo and fHi agree in sign.
float OvpMathPolyRootInInterval(float lo, float hi, float fLo, float fHi, OvInt32 degree, const float* c,
                                const float* derivative);
// All real roots in [lo, hi] in ascending order (at most degree of them); returns the count.
// Leading zero coefficients lower the degree; degrees above ovpMATHMAXPOLYDEGREE give 0.
OvInt32 OvpMathPolyRoots(float* roots, float lo, float hi, OvInt32 degree, const float* c);

// --- segment tests ---------------------------------------------------------------------
//
// The segment is start + t delta, t in [0, 1]. A hit fraction is written as (numerator,
// denominator), both >= 0, so that candidates compare without dividing. Results: the start
// already inside gives (0, 1) and 1; a crossing gives 1; a segment moving away or parallel
// gives -1; a miss (including a crossing beyond the end) gives 0. With a null fraction only
// the inside test is made (1 inside, 0 outside).

// Against the face sign x extent of an axis slab (inside: sign x start[axis] <= extent).
OvInt32 OvpRayHitPlaneAxis(float* fraction, const OvV3d* start, const OvV3d* delta, OvInt32 axis, float sign,
                           float extent);
// Against the plane normal . x = offset (inside: below it).
OvInt32 OvpRayHitPlane(float* fraction, const OvV3d* start, const OvV3d* delta, const OvV3d* normal, float offset);
// Against the sphere |x - centre| = radius.
OvInt32 OvpRayHitSphere(float* fraction, const OvV3d* start, const OvV3d* delta, const OvV3d* centre, float radius);
// Against the infinite cylinder of the radius about the line through base along the unit axis.
OvInt32 OvpRayHitCylinder(float* fraction, const OvV3d* start, const OvV3d* delta, const OvV3d* base, const OvV3d* axis,
                          float radius);
// Against the torus about centre with the unit axis as its axis of symmetry: the circle of
// radius major in the plane through centre, thickened by minor. The first entry in [0, 1].
OvInt32 OvpRayHitTorus(float* fraction, const OvV3d* start, const OvV3d* delta, const OvV3d* centre, const OvV3d* axis,
                       float major, float minor);
