#pragma once
// Triangle volumes ("OvpTriangle"): one triangle in world coordinates (placements are never
// applied), held in the volume's matrix area, with the edge-flag word of the triangle list it
// came from. The collision walk makes one such volume per triangle near the other part.
//
// Edge-flag word (first type word, 16 bits): bit 0 one-sided (the face normal is not turned
// towards the other volume), bit 2 edge P0-P1, bit 4 edge P1-P2, bit 8 edge P2-P0 are real
// edges of the surface (not shared with a coplanar neighbour); the value 14 means "no
// face-normal processing". Bit 16 of the class word marks triangles the walk skips.

#include "physics/core/volume/volume.h"

enum OvpTriangleEdgeFlag : OvUInt32 {
    ovpTRIANGLE_ONESIDED = 0x1,
    ovpTRIANGLE_EDGE01 = 0x2,
    ovpTRIANGLE_EDGE12 = 0x4,
    ovpTRIANGLE_EDGE20 = 0x8,
    ovpTRIANGLE_ALLEDGES = 0xE, // every edge real: no face-normal processing
    ovpTRIANGLE_SKIP = 0x10,    // skipped by the collision walk
};

// The triangle as stored in the volume's matrix area (64 bytes).
struct OvpTriangleShape {
    OvV3d p0;
    float pad0;
    OvV3d p1;
    float offset; // normal . p0
    OvV3d p2;
    float pad2;
    OvV3d normal; // (p1 - p0) x (p2 - p0), normalised
    float pad3;
};
static_assert(sizeof(OvpTriangleShape) == sizeof(OvMatrix), "the triangle fills the matrix area");

extern const OvpVolumeType ovpTriangleVolumeType;

// Makes the volume a triangle (volume initialised first, type set): vertices, normal, plane
// offset, edge flags. A degenerate triangle gets the normal (0, 0, 1). Returns the volume.
OvpVolume* OvpTriangleInit(OvpVolume* volume, const OvV3d& p0, const OvV3d& p1, const OvV3d& p2, OvUInt32 edgeFlags);
// The same with the unit normal given (a triangle walker's own) instead of computed.
OvpVolume* OvpTriangleInitWithNormal(OvpVolume* volume, const OvV3d& p0, const OvV3d& p1, const OvV3d& p2,
                                     const OvV3d& normal, OvUInt32 edgeFlags);
// The stored triangle.
OvpTriangleShape OvpTriangleGetShape(const OvpVolume* volume);
inline OvUInt32 OvpTriangleGetEdgeFlags(const OvpVolume* volume) {
    return static_cast<OvUInt32>(volume->data.word[0] & 0xFFFF);
}

// Slot functions (the type record's), exposed for the narrow phase and the tests.
OvSphere* OvpTriangleGetBoundingSphere(const OvpVolume* volume, OvSphere* out);
float OvpTriangleGetMassProperties(const OvpVolume* volume, OvpInertia* inertia, OvV3d* centre);
// The box of the triangle p0 p1 p2 grown by the fat radius (the bounding box's rule).
OvpBBox* OvpTriangleBoxOf(const OvV3d& p0, const OvV3d& p1, const OvV3d& p2, float fat, OvpBBox* out);
OvpBBox* OvpTriangleGetBoundingBox(const OvpVolume* volume, const OvMatrix* matrix, OvBool flag, OvpBBox* out);
OvV3d* OvpTriangleGetSupportPoint(const OvpVolume* volume, const OvV3d* direction, OvV3d* out);
// Vertex (flags 10, 6, 12), edge (its flag) or face (flag 0; counter-clockwise about the
// feature normal with the side flag clear, clockwise with it set).
OvpSupportFeature* OvpTriangleGetSupportFeature(const OvpVolume* volume, OvBool flag, const OvV3d* direction,
                                                OvpSupportFeature* out);
// The face axis alone (the first of the axes), without the edge directions.
OvpFaceAxis OvpTriangleGetFaceAxis(const OvpVolume* volume, const OvMatrix* matrix);
OvBool OvpTriangleGetAxes(const OvpVolume* volume, const OvMatrix* matrix, OvpFaceAxis* faces, OvV3d* edges);
OvBool OvpTriangleGetInterval(const OvpVolume* volume, const OvV3d* direction, float* min, float* max);
// The first hit of the segment with the triangle inflated by the fat radius. Heights are
// measured along the stored normal, so any triangle works; hit->fraction holds the length
// travelled along the segment.
OvBool OvpTriangleIntersectLine(const OvpVolume* volume, const OvV3d* start, const OvV3d* end, OvpLineHit* hit);
// Whether p (in the triangle's plane) lies on the inner side of all three edges.
OvBool OvpTriangleInsideEdge(const OvpTriangleShape* shape, const OvV3d* p);
// The first hit of the segment from start along delta with the capsule of radius round the edge
// a-b: a fraction in [0, 1], or 2.0 for a miss.
float OvpTriangleIntersectEdge(const OvV3d& a, const OvV3d& b, float radius, const OvV3d& start, const OvV3d& delta);
