#pragma once
// Triangle-list volumes ("OvpTrilist"): collidable triangles that are not copied, reached
// through a walker that fills a buffer with the triangles that may touch a box; grid volumes
// ("OvpGrid"): a shared block of child volumes with cached bounds and mass properties; and the
// gathering of compound volumes (aggregates, grids, triangle lists) into the simple volumes
// the narrow phase handles, each with an identity word that tells the pieces of one part apart.

#include "physics/core/volume/aggregate.h"
#include "physics/core/volume/volume.h"

// Source kinds of a triangle list.
enum OvpTrilistKind : OvUInt32 {
    ovpTRILIST_WORLD = 0,
    ovpTRILIST_SECTOR = 1,
    ovpTRILIST_ATOMIC = 2,
    ovpTRILIST_GEOMETRY = 3,
    ovpTRILIST_USER = 4, // the caller's triangles through the caller's walker
};

// One triangle as a walker writes it.
struct OvpTriangleRecord {
    OvV3d v0;
    float spare0;
    OvV3d v1;
    float spare1;
    OvV3d v2;
    float spare2;
    OvV3d normal;
    float spare3;
    const void* source; // the source object
    OvUInt32 index;     // the triangle's index in its source
    OvUInt32 klass;     // class and edge-flag word (15: every class; bit 16 skipped)
};

// Bits of OvpTriangleBuffer::flags.
enum OvpTriangleBufferFlag : OvUInt32 {
    ovpTRIANGLES_MODELSPACE = 0x2, // vertices in the source's model space (the placement applies)
    ovpTRIANGLES_WORLDSPACE = 0x4,
};

struct OvpTriangleBuffer {
    OvpTriangleRecord* triangles;
    OvInt32 count;
    OvInt32 capacity;
    OvUInt32 flags;
    const void* classTable;
};

// A walker: the triangles of the list that may touch the query box (maximum then minimum
// corner, world space), appended while the buffer has room.
using OvpTriangleWalker = void (*)(const OvpVolume* volume, const OvMatrix* placement, const OvpBBox* box,
                                   void* argument, OvpTriangleBuffer* buffer);

extern const OvpVolumeType ovpTrilistVolumeType;

// An aligned volume of the triangle-list type over the source, with the default walker.
OvpVolume* OvpTrilistCreate(const void* source, OvUInt32 kind);
OvpVolume* OvpTrilistInit(OvpVolume* volume, const void* source, OvUInt32 kind);
// The graphics side's handlers of one graphics source kind (world, sector, atomic, geometry):
// the source's box (kinds 0 and 1) or bounding sphere (kinds 2 and 3, an atomic's brought up to
// date first), and the walk of its triangles in a box, which sets the buffer's space flag.
// Lists of a kind without handlers are unbounded and have no triangles.
struct OvpTrilistSource {
    OvpBBox* (*box)(const void* source, OvpBBox* out);
    OvSphere* (*sphere)(const void* source, OvSphere* out);
    OvpTriangleWalker walker;
};
// Installs (or, with null, removes) the handlers of a graphics source kind.
void OvpTrilistSetSource(OvUInt32 kind, const OvpTrilistSource* handlers);
// The default walker: clears the buffer, then walks a graphics source through its kind's
// handlers; the caller's own triangles (kind 4) come only from the caller's walker.
void OvpTrilistDefaultWalker(const OvpVolume* volume, const OvMatrix* placement, const OvpBBox* box, void* argument,
                             OvpTriangleBuffer* buffer);
// Appends a triangle while there is room (class 15); 1 appended.
OvBool OvpTriangleBufferAppend(OvpTriangleBuffer* buffer, const OvV3d& v0, const OvV3d& v1, const OvV3d& v2,
                               const void* source, OvUInt32 index, OvUInt32 klass = 15);

// The shared block of grid volumes: the children with their cached bounds and mass properties
// (an aggregate child list), four arrays of a spatial index of the children (freed with the
// block; nothing fills them), the cached thickness (0: not computed) and a reference count.
struct OvpGridBlock {
    OvpAggChildren* children;
    void* index[4];
    float thickness;
    OvInt32 refCount;
};

extern const OvpVolumeType ovpGridVolumeType;

// A block of count children, each a null volume, with one reference (the creator's). Null for
// a count below 1 or when memory runs out.
OvpGridBlock* OvpGridBlockCreate(OvInt32 count);
// Drops one reference; at zero the children are deinitialised and everything is freed.
void OvpGridBlockRelease(OvpGridBlock* block);
// Makes the volume a grid over the block (one reference added). Returns the volume.
OvpVolume* OvpGridInit(OvpVolume* volume, OvpGridBlock* block);
// The i-th child of a grid volume (null out of range), and their number.
OvpVolume* OvpGridGetVolume(const OvpVolume* grid, OvInt32 i);
OvInt32 OvpGridGetNumVolumes(const OvpVolume* grid);
// Children of a grid one gathering step looks at.
inline constexpr OvInt32 ovpGRIDQUERY = 256;
// Writes the indices of the children whose boxes (under their local matrices) meet the box,
// given in the grid's frame, up to capacity; returns their number.
OvInt32 OvpGridQueryChildren(const OvpVolume* grid, const OvpBBox* box, OvInt32* out, OvInt32 capacity);

// A simple volume found by the gathering: the end it belongs to, the volume, its identity
// word and its placement (null for a volume in world coordinates).
struct OvpGatheredPart {
    const void* object;
    OvUInt16 part;
    const OvpVolume* volume;
    OvUInt32 identity;
    const OvMatrix* matrix;
};

// Bits of OvpGatherState::flags.
enum OvpGatherFlag : OvUInt32 {
    ovpGATHER_RENORMALISE = 0x2, // recompute each triangle's normal from its vertices
    // Every entry of the other end will carry the other end's box (one simple part): a
    // triangle farther than the margin from it makes no pair and is not gathered.
    ovpGATHER_OTHERBOXEXACT = 0x4,
};

// The gathering workspace: arrays the caller owns, their fill levels, the margin of the box
// tests, and the stop flag raised when an array runs out.
struct OvpGatherState {
    OvpGatheredPart* entries;
    OvpBBox* boxes; // one per entry
    OvInt32 entryCount;
    OvInt32 entryCapacity;
    OvMatrix* matrices;
    OvInt32 matrixCount;
    OvInt32 matrixCapacity;
    OvpTriangleBuffer triangles;
    OvpVolume* temporaries; // triangle volumes made from walker records
    OvInt32 temporaryCount;
    OvInt32 temporaryCapacity;
    float margin;
    OvUInt32 flags;
    OvBool stop;
};

// Whether the triangle has (next to) no area: a segment or a point, whose face normal means
// nothing. The gathering skips such triangles; their neighbours carry the surface.
bool OvpTriangleIsDegenerate(const OvV3d& v0, const OvV3d& v1, const OvV3d& v2);

// Whether the boxes lie more than the margin apart on some axis.
inline bool OvpBoxesApart(const OvpBBox& a, const OvpBBox& b, float margin) {
    for (int i = 0; i < 3; ++i) {
        if (OvpComponent(a.inf, i) - OvpComponent(b.sup, i) > margin ||
            OvpComponent(b.inf, i) - OvpComponent(a.sup, i) > margin) {
            return true;
        }
    }
    return false;
}

// Adds the simple volumes of the volume near the other end's box: the volume itself, an
// aggregate's or a grid's children (recursively), or a triangle list's triangles. placement is a slot of
// the matrix array (-1: none). Returns the number of entries added.
OvInt32 OvpGatherCompound(OvpGatherState* state, const void* object, OvUInt16 part, const OvpVolume* volume,
                          OvInt32 placement, OvUInt32 identity, const OvpBBox* givenBox, const OvpBBox* otherBox,
                          void* walkerArgument);
