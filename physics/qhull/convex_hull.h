#pragma once
// Convex hulls: closed convex polyhedra in one packed, reference-counted block (vertices, face
// normals, half-edges with adjacency, bounds, mass properties), built from point clouds with
// qhull, and the convex volume type ("OvpConvex") whose core is a hull. qhull's printed output
// goes to a print target: 0 nothing, 1 standard output, 2 standard error, anything else a
// graphics stream.

#include <cstdarg>
#include <cstddef>

#include "graphics/core/types.h"
#include "physics/core/utils/math.h"
#include "physics/core/volume/volume.h"

struct qhT;

// A half-edge (12 bytes): the face on its left runs counter-clockwise about its normal.
struct OvpHullEdge {
    float invLength; // 1 / length (the length itself when that is 0 or not a number)
    OvUInt16 start;  // start vertex
    OvUInt16 end;    // end vertex
    OvUInt16 left;   // face on the left (the face that lists this half-edge)
    OvUInt16 right;  // face on the right (the face of the twin half-edge)
};
static_assert(sizeof(OvpHullEdge) == 12, "OvpHullEdge grew");

// Bits of OvpConvexHull::flags.
enum OvpConvexHullFlag : OvUInt32 {
    ovpHULL_BOUNDS = 0x1, // box, sphere and inverse edge lengths computed
    ovpHULL_MASS = 0x2,   // volume, centre, inertia and thickness computed
};

// Largest hull block in bytes (16-bit offsets and counts).
inline constexpr std::size_t ovpHULLMAXBYTES = 65535;

// The hull block's header; the sections follow it in the same block.
struct OvpConvexHull {
    OvUInt32 size;         // bytes of the whole block
    OvV3d* vertices;       // V points
    OvUInt16* vertexFirst; // V + 1 entries into the adjacency list
    OvV3d* normals;        // F unit outward face normals
    OvUInt16* faceFirst;   // F + 1 entries into the half-edges (the last = E)
    OvpHullEdge* edges;    // E half-edges, each face's in order round it
    OvUInt16* adjacency;   // E half-edge indices: per vertex, the half-edges leaving it, in order round it
    OvUInt16 vertexCount;  // V
    OvUInt16 faceCount;    // F
    OvUInt16 edgeCount;    // E
    OvpBBox box;           // bounding box of the vertices
    OvSphere sphere;       // bounding sphere of the vertices
    float volume;          // volume (length^3)
    float thickness;       // width along the principal axis of largest moment
    OvV3d centre;          // centre of mass
    OvpInertia inertia;    // inertia per unit mass about the centre
    OvInt32 refCount;      // 1 at creation
    OvUInt32 flags;        // OvpConvexHullFlag bits
};

// A block for the counts with its sections set, reference count 1, flags 0; null when the
// block would exceed ovpHULLMAXBYTES or memory runs out.
OvpConvexHull* OvpConvexHullCreate(OvInt32 vertexCount, OvInt32 edgeCount, OvInt32 faceCount);
// Drops one reference and frees the block at zero. 0 for null, else 1.
OvBool OvpConvexHullRelease(OvpConvexHull* hull);
// Why a hull was not made: what qhull found, and the block it would have needed.
struct OvpConvexHullFailure {
    enum Cause { ovpHULL_MADE, ovpHULL_NOPOINTS, ovpHULL_NOHULL, ovpHULL_TOOLARGE, ovpHULL_NOMEMORY } cause;
    OvInt32 vertices, faces, edges; // qhull's counts (0 when it made no hull)
    std::size_t bytes;              // the block those counts need
};

// The hull of the points (x, y, z each) through qhull with the command, or with "qhull s Pp"
// and a single-precision roundoff when command is null; qhull prints to the target. Null for
// null points, non-finite coordinates, when qhull fails (fewer than four points, all
// coplanar), or when qhull's hull needs more than ovpHULLMAXBYTES; qhull's memory is freed in
// every case. failure, when not null, receives the cause.
OvpConvexHull* OvpConvexHullCreateFromPoints(OvInt32 count, const float* points, const char* command, void* target,
                                             OvpConvexHullFailure* failure = nullptr);
// Fills a hull made for qhull's current result: vertices and facets in list order, one
// half-edge per ridge with the facet on its left, the adjacency round each vertex, then the
// bounds. Null when the hull lacks its sections or the result does not fit its counts.
OvpConvexHull* OvpConvexHullFromQHull(OvpConvexHull* hull, qhT* qh);
OvpConvexHull* OvpConvexHullComputeBounds(OvpConvexHull* hull);
// Volume, centre and inertia per unit mass from the face integrals, the principal axes, and
// the thickness. A hull of no volume gets inertia (1, 1, 1) about its box centre.
OvpConvexHull* OvpConvexHullComputeMassProperties(OvpConvexHull* hull);
// Hill climbing from the start vertex (0 when out of range) to the vertex of largest
// projection on the direction, stopping early once the projection exceeds limit. A climb that
// stops beside a neighbour as far out (within roundoff) looks at every vertex instead. Returns
// the projection and writes the vertex.
float OvpConvexHullSupport(const OvpConvexHull* hull, const OvV3d* direction, OvInt32 start, float limit,
                           OvInt32* vertex);

// The convex volume type and its set-up: the volume holds one reference to the hull (null for
// no hull).
extern const OvpVolumeType ovpConvexVolumeType;
OvpVolume* OvpConvexInit(OvpVolume* volume, OvpConvexHull* hull);

// qhull's print functions: the message cut to 1000 bytes and written to the target. Return the
// length written (0 for target 0).
OvInt32 OvpQHullFprintf(void* target, const char* format, ...);
OvInt32 OvpQHullVfprintf(void* target, const char* format, std::va_list args);
OvInt32 OvpQHullFputs(const char* string, void* target);
// Writes bytes to a print target; returns the count written.
std::size_t OvpQHullWrite(void* target, const char* bytes, std::size_t count);
