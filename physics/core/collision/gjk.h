#pragma once
// Distance between two convex volumes (Gilbert-Johnson-Keerthi: support points of the
// Minkowski difference, a simplex of at most four points, Johnson's sub-algorithm) and the
// separation of a convex pair, where overlapping cores are pulled apart along a fixed
// direction until they separate and the shift is taken off again.
//
// Results follow the narrow phase's conventions: a unit normal from B towards A, the offset
// of the contact plane midway between the two fat surfaces, and the separation of the fat
// surfaces (negative when they overlap).

#include "physics/core/volume/volume.h"

// Two volumes about to be tested, each with the matrix that places it in the world (null for
// a volume whose type keeps world coordinates).
struct OvpCollisionPair {
    const OvpVolume* volume[2]; // A, B
    const OvMatrix* matrix[2];  // world placement of each volume, or null
};

// One vertex of the simplex: the difference point w = a - b and B's support point b.
struct OvpGjkVertex {
    OvV3d w;
    OvV3d b;
};

// The distance workspace (one per test, on the caller's stack).
struct OvpGjkSimplex {
    OvpGjkVertex vertex[4];
    float dot[4][4];          // w_i . w_j of the vertices in use
    float determinant[16][4]; // Johnson's determinants per subset and member
    OvUInt32 mask;            // vertices in use (bits 0-3)
    OvUInt32 newSlot;         // slot of the newest vertex
    OvUInt32 newBit;          // its bit
};

// For each simplex mask its non-empty subsets, largest first, then 0 (the new vertex alone).
extern const OvUInt8 OvpGjkSubsets[16][16];

// v . w with w = support(A, -v) - support(B, v) (+ shift); b is kept in the vertex.
float OvpGjkSupport(OvpGjkVertex* out, const OvV3d* v, const OvpCollisionPair* pair, const OvV3d* shift);
// The point sum(D_i y_i) / sum(D_i) of the subset, y the difference points (which 0) or B's
// points (which 1). 1 when the subset's determinants make it a valid candidate.
OvBool OvpGjkSimplexPoint(OvV3d* out, OvUInt32 subset, OvInt32 which, const OvpGjkSimplex* simplex);
// Dot products of the new vertex with every vertex in use, then the determinants of every
// subset holding the new vertex.
void OvpGjkDotProducts(OvpGjkSimplex* simplex);
void OvpGjkDeterminants(OvpGjkSimplex* simplex);
// The direction between the two bounding-box centres (out) and the overlap of the cores
// along it.
float OvpGjkInitialDirection(const OvpCollisionPair* pair, OvV3d* direction);

// Results of OvpGjkDistance.
enum OvpGjkResult : OvInt32 {
    ovpGJK_GAVEUP = 0,   // too many iterations or repeated support points
    ovpGJK_ANSWERED = 1, // distance found; -1 separation when the cores touch or overlap
    ovpGJK_APART = 2,    // apart by more than the threshold (separation is a lower bound)
};
// Distance between the cores with A shifted by shift (or not, when null). Normal from B to A;
// offset midway between the cores; separation the core distance.
OvInt32 OvpGjkDistance(const OvpCollisionPair* pair, const OvV3d* shift, float threshold, OvpGjkSimplex* simplex,
                       OvV3d* normal, float* offset, float* separation, float lengthScale);
// Separation of the fat surfaces of a convex pair (one side may be a plane). 1 done, 0 when
// no shift up to the limit separated the cores.
OvBool OvpGjkSeparate(const OvpCollisionPair* pair, float threshold, OvV3d* normal, float* offset, float* separation,
                      float lengthScale);
