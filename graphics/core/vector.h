#pragma once
// The vector module (engine module 0x401): table-driven square root and inverse square root,
// 3-vector length and normalisation, and the four replaceable routines that transform points
// and direction vectors by a matrix.

#include "graphics/core/types.h"

struct OvMatrix;

// 2D vector of floats (8 bytes).
struct OvV2d {
    float x; // x component
    float y; // y component
};

// Bounding sphere (16 bytes).
struct OvSphere {
    OvV3d center; // centre
    float radius; // radius, same unit as the centre
};

// Transform routines: out may equal in; the counted ones walk packed OvV3d arrays.
using OvV3dTransformPointFn = OvV3d* (*)(OvV3d* out, const OvV3d* in, const OvMatrix* matrix);
using OvV3dTransformPointsFn = OvV3d* (*)(OvV3d* out, const OvV3d* in, OvInt32 count, const OvMatrix* matrix);
using OvV3dTransformVectorFn = OvV3d* (*)(OvV3d* out, const OvV3d* in, const OvMatrix* matrix);
using OvV3dTransformVectorsFn = OvV3d* (*)(OvV3d* out, const OvV3d* in, OvInt32 count, const OvMatrix* matrix);

// The module's data in the engine instance.
struct OvVectorModule {
    OvUInt32* sqrtTable;                      // 4096 entries, see OvSqrt
    OvUInt32* invSqrtTable;                   // 4096 entries, see OvInvSqrt
    OvV3dTransformPointFn transformPoint;     // installed point routine
    OvV3dTransformPointsFn transformPoints;   // installed points routine
    OvV3dTransformVectorFn transformVector;   // installed vector routine
    OvV3dTransformVectorsFn transformVectors; // installed vectors routine
};

// Entries in each square-root table.
inline constexpr OvInt32 ovSQRTTABLESIZE = 4096;

// Engine module callbacks: open installs the default transforms and builds both tables
// (0x80000013 and null when a table cannot be allocated); close frees the tables.
void* OvVectorOpen(void* instance, OvInt32 offset, OvInt32 size);
void* OvVectorClose(void* instance, OvInt32 offset, OvInt32 size);

// The module's data (valid while the engine is started).
OvVectorModule* OvVectorGetModule();

// Square root and inverse square root of a non-negative x to about 12 bits; 0 for 0.
float OvSqrt(float x);
float OvInvSqrt(float x);

// Length of v through OvSqrt.
float OvV3dLength(const OvV3d* v);
// out = in / |in|; returns |in|. A zero vector gives (0, 0, 0), error 25 and 0.
float OvV3dNormalize(OvV3d* out, const OvV3d* in);
// out = in / |in| without an error for zero; returns 1 / |in|.
float OvV3dNormalizeFast(OvV3d* out, const OvV3d* in);

// Small helpers of the core's geometry.
inline float OvV3dDotProduct(const OvV3d* a, const OvV3d* b) { return a->x * b->x + a->y * b->y + a->z * b->z; }
inline void OvV3dCrossProduct(OvV3d* out, const OvV3d* a, const OvV3d* b) {
    const OvV3d r = {a->y * b->z - a->z * b->y, a->z * b->x - a->x * b->z, a->x * b->y - a->y * b->x};
    *out = r;
}
inline void OvV3dSub(OvV3d* out, const OvV3d* a, const OvV3d* b) { *out = {a->x - b->x, a->y - b->y, a->z - b->z}; }
inline void OvV3dAdd(OvV3d* out, const OvV3d* a, const OvV3d* b) { *out = {a->x + b->x, a->y + b->y, a->z + b->z}; }
inline void OvV3dScale(OvV3d* out, const OvV3d* a, float s) { *out = {a->x * s, a->y * s, a->z * s}; }

// Transform through the installed routine; each returns out.
OvV3d* OvV3dTransformPoint(OvV3d* out, const OvV3d* in, const OvMatrix* matrix);
OvV3d* OvV3dTransformPoints(OvV3d* out, const OvV3d* in, OvInt32 count, const OvMatrix* matrix);
OvV3d* OvV3dTransformVector(OvV3d* out, const OvV3d* in, const OvMatrix* matrix);
OvV3d* OvV3dTransformVectors(OvV3d* out, const OvV3d* in, OvInt32 count, const OvMatrix* matrix);

// Installs the four routines; a null argument installs that routine's default. Returns TRUE.
OvBool OvVectorSetTransformFunctions(OvV3dTransformPointFn point, OvV3dTransformPointsFn points,
                                     OvV3dTransformVectorFn vector, OvV3dTransformVectorsFn vectors);

// The plain-arithmetic routines installed at module open.
OvV3d* OvV3dTransformPointDefault(OvV3d* out, const OvV3d* in, const OvMatrix* matrix);
OvV3d* OvV3dTransformPointsDefault(OvV3d* out, const OvV3d* in, OvInt32 count, const OvMatrix* matrix);
OvV3d* OvV3dTransformVectorDefault(OvV3d* out, const OvV3d* in, const OvMatrix* matrix);
OvV3d* OvV3dTransformVectorsDefault(OvV3d* out, const OvV3d* in, OvInt32 count, const OvMatrix* matrix);
