#pragma once
// Worlds: the static level, an axis-aligned binary tree whose plane sectors split space along x,
// y or z and whose atomic sectors hold the level's triangles, vertex arrays and binary meshes.
// A world comes into being only by being read; the world and all its sectors and sector arrays
// are carved out of one allocation. Clumps, atomics, lights and cameras are added to a world
// through world membership (world_membership.h).

#include <cstddef>

#include "graphics/core/frame.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"
#include "graphics/world/geometry.h"
#include "graphics/world/material.h"

struct OvMeshHeader;
struct OvPipeline;
struct OvResourceEntry;
struct OvStream;

inline constexpr OvUInt8 ovWORLDOBJECTTYPE = 7;
// Private flag of a world: the world and its sectors are one allocation.
inline constexpr OvUInt8 ovWORLDPRIVATESINGLEBLOCK = 0x01;
// Format flag of a world file: plane sectors carry their own left and right values.
inline constexpr OvUInt32 ovWORLDSECTORSOVERLAP = 0x40000000;
// Render orders.
inline constexpr OvUInt32 ovWORLDRENDERFRONT2BACK = 1;
inline constexpr OvUInt32 ovWORLDRENDERBACK2FRONT = 2;

// Sector kinds (the first field of every sector): the axis of a plane sector as the byte offset
// of its coordinate, or -1 for an atomic sector.
inline constexpr OvInt32 ovSECTORATOMIC = -1;
// Plane sectors a path from the root may pass: the walks keep at most this many sectors pending.
inline constexpr OvInt32 ovWORLDMAXDEPTH = 64;

// Bytes of the struct chunks of a world, a plane sector and (before its arrays) an atomic
// sector.
inline constexpr OvUInt32 ovWORLDSTRUCTSIZE = 64;
inline constexpr OvUInt32 ovPLANESECTORSTRUCTSIZE = 24;
inline constexpr OvUInt32 ovATOMICSECTORSTRUCTSIZE = 44;

// Packed normal of a sector vertex: signed bytes scaled by 127.
struct OvVertexNormal {
    OvInt8 x;
    OvInt8 y;
    OvInt8 z;
    OvUInt8 pad;
};

// An atomic sector (type ovSECTORATOMIC); extension data follows (world-sector registry). What
// a world's destruction looks at in every sector comes first, within one cache line or two.
struct OvWorldSector {
    OvInt32 type;                               // ovSECTORATOMIC
    OvMeshHeader* mesh;                         // binary meshes
    OvResourceEntry* repEntry;                  // instanced data
    OvLLLink atomicTies;                        // ties of the atomics touching it
    OvLLLink lightTies;                         // ties of the local lights reaching it
    OvTriangle* triangles;                      // material index relative to the window base
    OvV3d* vertices;                            // 3 floats a vertex
    OvVertexNormal* normals;                    // 4 bytes a vertex, or null
    OvTexCoords* texCoords[ovMAXTEXTURECOORDS]; // per set, null when unused
    OvRGBA* preLitLum;                          // prelit colours, or null
    OvBBox boundingBox;                         // from the tree
    OvBBox tightBoundingBox;                    // from the file
    OvPipeline* pipeline;                       // null: the world's, then the engine's default
    OvUInt16 matListWindowBase;                 // a triangle's material is world list [base + index]
    OvUInt16 numVertices;
    OvUInt16 numTriangles;
};

// A plane sector (type 0, 4 or 8: split along x, y or z).
struct OvPlaneSector {
    OvInt32 type;
    float value;                 // the plane
    OvWorldSector* leftSubTree;  // plane or atomic sector (the type tells)
    OvWorldSector* rightSubTree; // plane or atomic sector
    float leftValue;             // the largest coordinate the left side reaches
    float rightValue;            // the smallest coordinate the right side reaches
};

inline bool OvWorldSectorIsAtomic(const OvWorldSector* sector) { return sector->type < 0; }
inline OvPlaneSector* OvWorldSectorAsPlane(OvWorldSector* sector) { return reinterpret_cast<OvPlaneSector*>(sector); }
inline const OvPlaneSector* OvWorldSectorAsPlane(const OvWorldSector* sector) {
    return reinterpret_cast<const OvPlaneSector*>(sector);
}
// The coordinate of a vector along a sector type's axis.
inline float OvV3dAxis(const OvV3d* v, OvInt32 type) { return type == 0 ? v->x : type == 4 ? v->y : v->z; }
// The type (0, 4 or 8) is the byte offset of its axis in the vector: found without a branch.
inline float* OvV3dAxisPtr(OvV3d* v, OvInt32 type) {
    static_assert(offsetof(OvV3d, y) == 4 && offsetof(OvV3d, z) == 8, "axes at the offsets the types name");
    return reinterpret_cast<float*>(reinterpret_cast<char*>(v) + (static_cast<OvUInt32>(type) & 0xC));
}

using OvWorldSectorCallBackRender = OvWorldSector* (*)(OvWorldSector* sector);
using OvWorldSectorCallBack = OvWorldSector* (*)(OvWorldSector* sector, void* data);

// World record; extension data follows (world registry).
struct OvWorld {
    OvObject object;            // type 7; private flags ovWORLDPRIVATESINGLEBLOCK
    OvUInt32 flags;             // geometry format flags, plus ovWORLDSECTORSOVERLAP
    OvUInt32 renderOrder;       // ovWORLDRENDERFRONT2BACK or ovWORLDRENDERBACK2FRONT
    OvMaterialList matList;     // the sectors' materials
    OvWorldSector* rootSector;  // plane or atomic sector
    OvInt32 numTexCoordSets;    // of every sector
    OvInt32 numClumpsInWorld;   // clumps in the clump list
    OvLLLink* currentClumpLink; // the clump link an iteration visits next
    OvLLLink clumpList;         // OvClump::inWorldLink
    OvLLLink localLights;       // OvLight::inWorld of point and spot lights
    OvLLLink globalLights;      // OvLight::inWorld of directional and ambient lights
    OvV3d worldOrigin;          // the negated inverse origin of the file
    OvBBox boundingBox;         // of the whole world
    OvWorldSectorCallBackRender renderCallBack;
    OvPipeline* pipeline; // null: the engine's default world-sector pipeline
};

// One record per world read, kept by the world module.
struct OvWorldMeshSlab;
struct OvWorldRecord {
    OvWorld* world;
    OvUInt32 size; // bytes of its allocation
    OvLLLink link; // in the module's list
    OvWorldMeshSlab* meshSlabs; // blocks of the sectors' mesh headers and extension data read with the world (newest first)
    OvBool sectorsHold;         // some sector may hold a mesh header outside the slabs, instanced data or noted extension data
};

// Reads a world chunk's body (the caller found chunk 11); the world, or null with the error set
// (0x80000004 for a bad version or a malformed tree, 0x80000013 for memory, or the stream's
// read error) and nothing left allocated.
OvWorld* OvWorldStreamRead(OvStream* stream);
// Frees the world, its sectors' meshes, ties and instanced data. Clumps, atomics, lights and
// cameras still in it leave it. TRUE.
// Destroy first the physics triangle lists made over it or its sectors: they keep no back-link.
OvBool OvWorldDestroy(OvWorld* world);
// Renders the sectors the engine's current camera sees and, once a frame each, the atomics in
// them that the camera's sphere test keeps. Returns the world.
// An atomic's render callback may take out of the world or destroy the atomic it gets, not the others.
OvWorld* OvWorldRender(OvWorld* world);
// Null restores the default callback. Returns the world.
OvWorld* OvWorldSetSectorRenderCallback(OvWorld* world, OvWorldSectorCallBackRender callback);
// Calls the sector render callback of the engine's current world.
OvWorldSector* OvWorldSectorRender(OvWorldSector* sector);
// Executes the sector's pipeline (or the current world's, or the engine's default) when the
// sector has triangles; the sector, or null when the pipeline fails.
OvWorldSector* OvWorldSectorDefaultRenderCallback(OvWorldSector* sector);
// The world whose allocation holds the sector, or null.
OvWorld* OvWorldSectorGetWorld(const OvWorldSector* sector);
// Notes that a sector of a world holds something outside the world (instanced data, extension
// data of a heap block), which its world's destruction frees.
void OvWorldSectorNoteHolding(const OvWorldSector* sector);
// Calls the callback for each atomic sector in depth-first order (left before right) until one
// returns null. Returns the world.
OvWorld* OvWorldForAllWorldSectors(OvWorld* world, OvWorldSectorCallBack callback, void* data);
// The world whose chunk is being read (its sectors' extension readers ask for it), or null.
OvWorld* OvWorldGetBeingRead();
// bytes (aligned for pointers) in the slabs of the world being read, which go with that world:
// a sector extension's reader keeps its data there rather than in a heap block of each sector.
// Null when no world is being read, or without memory (error set).
void* OvWorldBeingReadAlloc(std::size_t bytes);
// Declares that the sector extension of pluginID frees, in its destructor, only data that
// OvWorldSectorNoteHolding noted (what its reader takes from the world's slabs needs nothing):
// a world none of whose sectors noted holding anything is then freed without visiting them.
void OvWorldSectorDestructorFollowsNotes(OvUInt32 pluginID);
// Plane and atomic sectors of the tree.
OvInt32 OvWorldGetNumPlaneSectors(const OvWorld* world);
OvInt32 OvWorldGetNumWorldSectors(const OvWorld* world);
