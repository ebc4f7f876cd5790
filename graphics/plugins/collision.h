#pragma once
// Collision plugin: which triangles of a world, a geometry or an atomic a line, sphere, box or
// atomic touches, walked through the world's sector tree and the optional collision tree each
// world sector and geometry carries in its stream, plus the exact sphere-triangle and
// box-triangle overlap tests the queries use.

#include "graphics/core/types.h"
#include "graphics/core/vector.h"

struct OvAtomic;
struct OvGeometry;
struct OvStream;
struct OvWorld;
struct OvWorldSector;

inline constexpr OvUInt32 ovPLUGINIDCOLLISION = 0x11D;
inline constexpr OvUInt32 ovID_COLLISION = 44; // chunk type of the collision data
// First words of the stream at or above this are a version stamp (the chunked layout follows);
// below it they are the old layout's node count plus one.
inline constexpr OvUInt32 ovCOLLISIONNEWLAYOUTVERSION = 0x36001;
inline constexpr OvUInt32 ovCOLLISIONWRITEVERSION = 0x37002;
inline constexpr OvUInt32 ovCOLLISIONWRITEBUILD = 22;
// Error codes of the plugin's own: an old-layout leaf too large, data that refer outside themselves.
inline constexpr OvInt32 ovERRCOLLISIONLEAFTOOBIG = 1;
inline constexpr OvInt32 ovERRCOLLISIONBADDATA = 2;

// Depth limits of the walks' fixed stacks: a tree whose root-to-leaf path passes more nodes than
// ovCOLLISIONMAXDEPTH is refused when read.
inline constexpr OvInt32 ovCOLLISIONSTACKSIZE = 32;
inline constexpr OvInt32 ovCOLLISIONMAXDEPTH = ovCOLLISIONSTACKSIZE - 1;
inline constexpr OvUInt8 ovCOLLISIONREFNODE = 255; // kind of a reference naming a node
inline constexpr OvUInt32 ovCOLLISIONMAPPRESENT = 1;

enum OvIntersectionType : OvInt32 {
    ovINTERSECTLINE = 1,
    ovINTERSECTPOINT = 2,
    ovINTERSECTSPHERE = 3,
    ovINTERSECTBOX = 4,
    ovINTERSECTATOMIC = 5,
};

struct OvLine {
    OvV3d start;
    OvV3d end;
};

struct OvIntersection {
    union {
        OvLine line;
        OvV3d point;
        OvSphere sphere;
        OvBBox box; // {sup, inf}
        OvAtomic* object;
    } t;
    OvInt32 type; // OvIntersectionType
};

// What a callback receives; valid only during the call.
struct OvCollisionTriangle {
    OvV3d normal;       // unit normal of (B - A) x (C - A)
    OvV3d point;        // vertex A
    OvInt32 index;      // triangle index in the geometry (after the map)
    OvV3d* vertices[3]; // A, B, C
};

// Byte 0 flags (bits 2-3 of a node's left reference: split axis as byte offset 0, 4 or 8);
// byte 1 kind (255 node, else the leaf's triangle count); index: node or first map position.
struct OvCollisionTreeRef {
    OvUInt8 flags;
    OvUInt8 kind;
    OvUInt16 index;
};

struct OvCollisionTreeNode {
    OvCollisionTreeRef leftRef;
    float leftMax; // largest coordinate on the axis under the left child
    OvCollisionTreeRef rightRef;
    float rightMin; // smallest coordinate on the axis under the right child
};

// One allocation: this header, the nodes, the map and the room for the child boxes behind it.
// Data a world sector read with its world lie in that world's slabs and go with it.
struct OvCollisionData {
    OvUInt32 flags; // ovCOLLISIONMAPPRESENT
    OvBBox box;
    OvUInt16 numTriangles; // without nodes, the whole set is one leaf of this many
    OvUInt16 numNodes;
    OvCollisionTreeNode* nodes; // null without nodes
    OvUInt16* map;              // null without a map
    // In memory only: per node the boxes of the triangles under its left and right child (two a
    // node, widened by the line test's slack across edges), taken from the owner's vertices by
    // the first line walk after the data were read or given to it; null without nodes. Line
    // walks clip against them.
    OvBBox* childBoxes;
    OvBool childBoxesPending; // the boxes are still to be taken from the owner
    OvBool inWorldSlabs;      // the allocation lies in a world's slabs (never freed alone)
};

using OvCollisionTriangleCallback = OvCollisionTriangle* (*)(OvIntersection* intersection,
                                                             OvCollisionTriangle* collTriangle, float distance,
                                                             void* data);
// World queries also name the atomic sector holding the triangle (its index is the sector's).
using OvCollisionWorldCallback = OvCollisionTriangle* (*)(OvIntersection* intersection, OvWorldSector* sector,
                                                          OvCollisionTriangle* collTriangle, float distance,
                                                          void* data);

// Walks the map positions of a collision tree whose triangles may touch a box (outer): each Next
// gives one run of positions; a run with mask 0 lies in a region wholly inside the inner box, so
// its triangles need no test of their own. Lives in the caller's storage.
struct OvCollisionBoxIteratorEntry {
    OvCollisionTreeRef ref;
    OvUInt32 mask; // inner-box faces still cutting the region: 1 inf.x, 2 sup.x, 4 inf.y, 8 sup.y, 16 inf.z, 32 sup.z
};
struct OvCollisionBoxIterator {
    const OvCollisionData* data;
    OvBBox outer;
    OvBBox inner;
    OvCollisionTreeRef root;
    OvInt32 depth; // entries on the stack; 0 when the walk is over
    OvCollisionBoxIteratorEntry stack[ovCOLLISIONSTACKSIZE];
};

OvBool OvCollisionPluginAttach();

// The geometry's collision data, or null; the plugin must be attached.
OvCollisionData* OvCollisionGeometryGetData(const OvGeometry* geometry);
// Gives the geometry data (taking ownership; any previous data are freed). Null clears it.
OvGeometry* OvCollisionGeometrySetData(OvGeometry* geometry, OvCollisionData* data);

// Reads the extension's body (length bytes) into *data. A geometry's triangle count bounds the
// data's references (objectTriangles <= 0: only their own bounds are checked); oldLayoutBox is the
// box taken for old-layout data, which carry none. FALSE when the stream fails (short read or
// memory); TRUE otherwise, with *data null when the data were refused (error set, the rest of the
// body skipped): an old-layout leaf over 239 triangles, or references outside the data.
OvBool OvCollisionDataRead(OvStream* stream, OvInt32 length, const OvBBox* oldLayoutBox, OvInt32 objectTriangles,
                           OvCollisionData** data);
OvStream* OvCollisionDataWrite(OvStream* stream, const OvCollisionData* data);
OvInt32 OvCollisionDataGetStreamSize(const OvCollisionData* data);
// Only data no geometry or sector holds: a holder's go with it or through its set-data call.
void OvCollisionDataDestroy(OvCollisionData* data);
// Checks every reference (node indices, depth, leaf runs, map values against objectTriangles when
// positive, axis bytes); TRUE when the walks may use the data.
OvBool OvCollisionDataValidate(const OvCollisionData* data, OvInt32 objectTriangles);

// An atomic sector's collision data, or null; SetData as for a geometry.
OvCollisionData* OvCollisionWorldSectorGetData(const OvWorldSector* sector);
OvWorldSector* OvCollisionWorldSectorSetData(OvWorldSector* sector, OvCollisionData* data);

// Every triangle of the world's atomic sectors the primitive touches, through the sector tree;
// sectors without collision data test each of their triangles. Points find nothing. Returns the
// world (also when the callback stopped the query by returning null).
OvWorld* OvCollisionWorldForAllIntersections(OvWorld* world, OvIntersection* intersection,
                                             OvCollisionWorldCallback callBack, void* data);
OvGeometry* OvCollisionGeometryForAllIntersections(OvGeometry* geometry, OvIntersection* intersection,
                                                   OvCollisionTriangleCallback callBack, void* data);
OvAtomic* OvCollisionAtomicForAllIntersections(OvAtomic* atomic, OvIntersection* intersection,
                                               OvCollisionTriangleCallback callBack, void* data);

// Starts a walk over the data's tree for the outer box (the touching region) and the inner box
// (the region whose triangles need no test); the same box may serve as both.
void OvCollisionBoxIteratorBegin(OvCollisionBoxIterator* iterator, const OvCollisionData* data, const OvBBox* outer,
                                 const OvBBox* inner);
// The next run of map positions first .. first + count - 1 and its face mask; FALSE (and nothing
// written) when the walk is over.
OvBool OvCollisionBoxIteratorNext(OvCollisionBoxIterator* iterator, OvUInt16* first, OvUInt16* count, OvUInt32* mask);

OvInt32 OvCollisionTestSphereTriangle(const OvSphere* sphere, const OvV3d* a, const OvV3d* b, const OvV3d* c,
                                      OvV3d* normal, float* distance);
OvInt32 OvCollisionTestBoxTriangle(const OvBBox* box, const OvV3d* a, const OvV3d* b, const OvV3d* c);
// Line-triangle test (one-sided: the line must run against the normal). 1 with the fraction.
OvInt32 OvCollisionTestLineTriangle(const OvLine* line, const OvV3d* a, const OvV3d* b, const OvV3d* c,
                                    float* fraction);
