#pragma once
// Collision volumes: a convex core (point, segment, box, cylinder, polyhedron, half-space or a
// compound of further volumes) inflated by a fat radius and placed by a local matrix relative
// to the part that owns it. Every query goes through the volume's constant type record; the
// wrappers below bring directions into the volume's frame and results back out.

#include <cstdint>

#include "graphics/core/matrix.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"
#include "physics/core/utils/math.h"

struct OvpVolumeType;

// The three type-specific words of a volume (24 bytes).
union OvpVolumeData {
    float param[3];         // box: half extents; capsule: half length; cylinder: half length, radius
    void* ref[3];           // aggregate: child list; convex: hull; trilist: source; grid: block
    std::uintptr_t word[3]; // plain words (trilist source kind, triangle walker)
};

// A collision volume (112 bytes, allocated 16-byte aligned).
struct OvpVolume {
    OvMatrix matrix;           // local placement; flag 0x20000 = identity (not applied)
    OvpVolumeData data;        // type-specific words
    float fat;                 // fat radius (length); a sphere's radius lives here
    float restitution;         // 0.2 after init
    float friction;            // 0.2 after init
    OvUInt16 spare;            // first 16-bit word, 0 after init
    OvUInt16 group;            // collision group, checked by the part-pair filter
    const OvpVolumeType* type; // constant type record
};
static_assert(sizeof(OvpVolume) == 112, "OvpVolume grew");

// A vertex of a support feature: a point and a spare word (16 bytes).
struct OvpFeatureVertex {
    OvV3d p;     // position
    float spare; // not used
};

// Vertices a support feature holds in its own storage (a cylinder cap is an octagon).
inline constexpr OvUInt16 ovpFEATURESTORAGE = 8;

// The core's vertex, edge or face that faces a direction. The record points into itself:
// initialise it with OvpSupportFeatureInit and don't copy it while in use.
struct OvpSupportFeature {
    OvV3d normal;                                // unit feature normal
    float offset;                                // normal . first vertex (plane offset)
    OvpFeatureVertex storage[ovpFEATURESTORAGE]; // the feature's own vertex storage
    OvpFeatureVertex* vertices;                  // vertex array: the storage or a caller's buffer
    OvUInt16 count;                              // 1 vertex, 2 edge, 3+ face, 0 none
    OvUInt16 capacity;                           // vertices the array holds
    OvUInt32 flags;                              // feature flags of the type (triangle edge bits)
};

// Points the feature at its own storage, or at buffer (capacity vertices, at least the own
// storage's size) for faces with many vertices.
void OvpSupportFeatureInit(OvpSupportFeature* feature, OvpFeatureVertex* buffer = nullptr, OvUInt16 capacity = 0);

// Where a segment meets a volume's inflated shape.
struct OvpLineHit {
    const OvpVolume* volume; // the volume hit
    OvV3d point;             // hit point
    OvV3d normal;            // unit surface normal at the point
    float fraction;          // 0 at the start, 1 at the end
};

// A separating-axis candidate that is a face normal: the direction and the volume's own
// interval along it, relative to the projection of the volume's position.
struct OvpFaceAxis {
    OvV3d direction; // unit
    float lower;     // lower bound
    float upper;     // upper bound
};

// The ten operations of a volume type. Directions and points are in the volume's frame.
using OvpVolumeDestroyFn = OvBool (*)(OvpVolume* volume);
using OvpVolumeBoundingSphereFn = OvSphere* (*)(const OvpVolume* volume, OvSphere* out);
// Inertia per unit mass and principal axes, centre of mass; returns the volume (unit density).
using OvpVolumeMassPropertiesFn = float (*)(const OvpVolume* volume, OvpInertia* inertia, OvV3d* centre);
using OvpVolumeBoundingBoxFn = OvpBBox* (*)(const OvpVolume* volume, const OvMatrix* matrix, OvBool flag, OvpBBox* out);
using OvpVolumeSupportPointFn = OvV3d* (*)(const OvpVolume* volume, const OvV3d* direction, OvV3d* out);
using OvpVolumeSupportFeatureFn = OvpSupportFeature* (*)(const OvpVolume* volume, OvBool flag, const OvV3d* direction,
                                                         OvpSupportFeature* out);
using OvpVolumeAxesFn = OvBool (*)(const OvpVolume* volume, const OvMatrix* matrix, OvpFaceAxis* faces, OvV3d* edges);
using OvpVolumeIntervalFn = OvBool (*)(const OvpVolume* volume, const OvV3d* direction, float* min, float* max);
using OvpVolumeThicknessFn = float (*)(const OvpVolume* volume);
using OvpVolumeLineFn = OvBool (*)(const OvpVolume* volume, const OvV3d* start, const OvV3d* end, OvpLineHit* hit);

// Bits of the third per-type word.
enum OvpVolumeTypeFlag : OvUInt32 {
    ovpVOLUMETYPE_COMPOUND = 0x1,  // aggregate, trilist, grid
    ovpVOLUMETYPE_WORLD = 0x2,     // coordinates already in world space (placements not applied)
    ovpVOLUMETYPE_TRILIST = 0x4,   // the triangle list
    ovpVOLUMETYPE_GRID = 0x8,      // the grid
    ovpVOLUMETYPE_DISTANCE = 0x10, // pairs go to the distance algorithm
    ovpVOLUMETYPE_CYLINDER = 0x20, // the cylinder
    ovpVOLUMETYPE_TRIANGLE = 0x40, // the triangle
};

// Type ids.
enum OvpVolumeTypeId : OvUInt32 {
    ovpVOLUME_NULL = 0,
    ovpVOLUME_PLANE = 1,
    ovpVOLUME_SPHERE = 2,
    ovpVOLUME_CAPSULE = 3,
    ovpVOLUME_TRIANGLE = 4,
    ovpVOLUME_BOX = 5,
    ovpVOLUME_CYLINDER = 6,
    ovpVOLUME_CONVEX = 7,
    ovpVOLUME_AGGREGATE = 8,
    ovpVOLUME_TRILIST = 9,
    ovpVOLUME_GRID = 10,
};

// A constant volume type record.
struct OvpVolumeType {
    OvUInt32 id;                              // OvpVolumeTypeId
    OvpVolumeDestroyFn destroy;               // 1: frees what the volume owns
    OvpVolumeBoundingSphereFn boundingSphere; // 2: centre and radius, fat included
    OvpVolumeMassPropertiesFn massProperties; // 3
    OvpVolumeBoundingBoxFn boundingBox;       // 4: fat included
    OvpVolumeSupportPointFn supportPoint;     // 5: farthest core point, fat excluded
    OvpVolumeSupportFeatureFn supportFeature; // 6
    OvpVolumeAxesFn axes;                     // 7
    OvpVolumeIntervalFn interval;             // 8: the core projected on a direction
    OvpVolumeThicknessFn thickness;           // 9: smallest extent of the core
    OvpVolumeLineFn lineIntersect;            // 10
    const char* name;                         // type name ("OvpBox")
    OvUInt32 words[3];                        // per-type words read by the narrow phase
};

// The null volume's type: every query yields nothing.
extern const OvpVolumeType ovpNullVolumeType;

// Identity local matrix (flags |= 0x20003), type words 0, fat 0, restitution and friction 0.2,
// both 16-bit words 0, the type set. Returns the volume.
OvpVolume* OvpVolumeInit(OvpVolume* volume, const OvpVolumeType* type);
// Runs the destroy slot, then frees the volume (OvpAlignedFree); 1.
// Take it out of the context's fixed volumes and the body definitions that use it first: no back-link.
OvBool OvpVolumeDestroy(OvpVolume* volume);
// Runs the destroy slot only.
// As for OvpVolumeDestroy: nothing may still use it.
OvBool OvpVolumeDeinit(OvpVolume* volume);
OvpVolume* OvpVolumeSetFatness(OvpVolume* volume, float fat);
// On an aggregate the value goes to every child (recursively), not to the aggregate itself.
OvpVolume* OvpVolumeSetFriction(OvpVolume* volume, float friction);
OvpVolume* OvpVolumeSetRestitution(OvpVolume* volume, float restitution);
// The triangle walker of a triangle-list volume (third type word).
using OvpVolumeCallback = void (*)();
OvpVolume* OvpVolumeSetTriangleCallback(OvpVolume* volume, OvpVolumeCallback callback);

// Bounding sphere under the placement: a type in world coordinates or an identity local matrix
// uses the placement alone, otherwise the local matrix (then the placement when given).
OvSphere* OvpVolumeGetBoundingSphere(const OvpVolume* volume, const OvMatrix* placement, OvSphere* out);
// Slot 2, then the centre transformed by the matrix when given. Null when the slot fails.
OvSphere* OvpVolumeGetBoundingSphereInFrame(const OvpVolume* volume, const OvMatrix* matrix, OvSphere* out);
// Bounding box under the placement (the same choice of matrix), then slot 4.
OvpBBox* OvpVolumeGetBoundingBox(const OvpVolume* volume, const OvMatrix* placement, OvBool flag, OvpBBox* out);
OvpBBox* OvpVolumeGetBoundingBoxInFrame(const OvpVolume* volume, const OvMatrix* matrix, OvBool flag, OvpBBox* out);
// Slot 3 in the parent frame: unless the type keeps world coordinates, the orientation is
// composed with the local rotation and the centre transformed by the local matrix. Returns the
// volume (unit density).
float OvpVolumeGetMassProperties(const OvpVolume* volume, OvpInertia* inertia, OvV3d* centre);
// Slot 5 with the direction brought into the matrix's frame and the point brought back.
OvV3d* OvpVolumeGetSupportPoint(const OvpVolume* volume, const OvMatrix* matrix, const OvV3d* direction, OvV3d* out);
// Slot 6 likewise; the feature is brought back with OvpSupportFeatureTransform.
OvpSupportFeature* OvpVolumeGetSupportFeature(const OvpVolume* volume, const OvMatrix* matrix, OvBool flag,
                                              const OvV3d* direction, OvpSupportFeature* out);
// Vertices and normal through the matrix; the offset from the first vertex, or shifted by
// normal . translation when there is none.
OvpSupportFeature* OvpSupportFeatureTransform(OvpSupportFeature* feature, const OvMatrix* matrix);
// Slot 8 on the rotated direction, both bounds shifted by translation . direction.
OvBool OvpVolumeGetInterval(const OvpVolume* volume, const OvMatrix* matrix, const OvV3d* direction, float* min,
                            float* max);
// Slot 9 (0 for a type without one) plus the fat on both sides: the thinnest the volume is.
float OvpVolumeGetThickness(const OvpVolume* volume);
// The interval slot of convex and aggregate volumes: max = d . support(d), min = d . support(-d);
// 0 when either support call fails.
OvBool OvpVolumeGetIntervalFromSupport(const OvpVolume* volume, const OvV3d* direction, float* min, float* max);

// The null volume, initialised in place or created aligned.
OvpVolume* OvpNullInit(OvpVolume* volume);
OvpVolume* OvpNullCreate();

// A convex polyhedron as the line test of inflated polyhedra reads it: vertices, face normals,
// and per face its half-edges in order round the face (counter-clockwise about the normal).
struct OvpPolyEdge {
    OvUInt16 start; // start vertex
    OvUInt16 end;   // end vertex
};
struct OvpPolytope {
    const OvV3d* vertices;     // vertexCount points
    const OvV3d* normals;      // faceCount unit outward normals
    const OvUInt16* faceFirst; // faceCount + 1 entries into the edge array
    const void* edges;         // half-edge records, edgeStride bytes apart
    std::size_t edgeStride;    // bytes between half-edge records
    std::size_t edgeOffset;    // offset of the OvpPolyEdge within a record
    OvUInt16 vertexCount;
    OvUInt16 faceCount;
};
// The first hit of the segment with the polyhedron inflated by radius (faces moved out,
// edges as cylinders, vertices as spheres). 1 with the hit filled in, else 0.
OvBool OvpPolytopeIntersectLine(const OvpPolytope* polytope, float radius, const OvV3d* start, const OvV3d* end,
                                OvpLineHit* hit);
