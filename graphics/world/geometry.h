#pragma once
// Geometry: vertices in one or more morph targets, triangles with a material index each,
// optional normals, prelit colours and up to eight texture-coordinate sets, the material list
// and the binary meshes built from the triangles. Shared by reference count.

#include "graphics/core/camera.h"
#include "graphics/core/frame.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"
#include "graphics/world/material.h"

struct OvMeshHeader;
struct OvMeshHeaderSource;
struct OvResourceEntry;
struct OvStream;

inline constexpr OvUInt8 ovGEOMETRYOBJECTTYPE = 8;
inline constexpr OvInt32 ovMAXTEXTURECOORDS = 8;
// Vertices a geometry may hold (16-bit indices).
inline constexpr OvInt32 ovGEOMETRYMAXVERTICES = 65535;

// Format flags.
enum OvGeometryFlag : OvUInt32 {
    ovGEOMETRYTRISTRIP = 0x01,
    ovGEOMETRYPOSITIONS = 0x02, // passed through unchanged
    ovGEOMETRYTEXTURED = 0x04,  // one texture-coordinate set
    ovGEOMETRYPRELIT = 0x08,    // prelit colours
    ovGEOMETRYNORMALS = 0x10,
    ovGEOMETRYLIGHT = 0x20,
    ovGEOMETRYMODULATEMATERIALCOLOR = 0x40,
    ovGEOMETRYTEXTURED2 = 0x80, // two or more sets
    ovGEOMETRYNATIVE = 0x01000000,
    ovGEOMETRYNATIVEINSTANCE = 0x02000000,
};
inline constexpr OvUInt32 ovGEOMETRYTEXCOORDSETSMASK = 0x00FF0000; // creation input: number of sets
inline constexpr OvUInt32 ovGEOMETRYPASSEDFLAGS = 0x0F000000;      // native and bits 25-27, kept

// Lock word bits.
enum OvGeometryLockMode : OvUInt32 {
    ovGEOMETRYLOCKPOLYGONS = 0x001,
    ovGEOMETRYLOCKVERTICES = 0x002,
    ovGEOMETRYLOCKNORMALS = 0x004,
    ovGEOMETRYLOCKPRELIGHT = 0x008,
    ovGEOMETRYLOCKTEXCOORDS1 = 0x010, // set i: 0x010 << i
    ovGEOMETRYLOCKALL = 0xFFF,
};

// Triangle: three vertex indices and a material index (0xFFFF: none).
struct OvTriangle {
    OvUInt16 vertIndex[3];
    OvUInt16 matIndex;
};
inline constexpr OvUInt16 ovTRIANGLENOMATERIAL = 0xFFFF;

struct OvTexCoords {
    float u;
    float v;
};

struct OvGeometry;

// One set of positions (and normals) with its bounding sphere.
struct OvMorphTarget {
    OvGeometry* parentGeom; // owning geometry
    OvSphere boundingSphere;
    OvV3d* verts;   // 3 floats a vertex, or null
    OvV3d* normals; // 3 floats a vertex; null without the normals flag
};

// Geometry record; extension data follows (geometry registry).
struct OvGeometry {
    OvObject object;              // type 8, other fields 0
    OvUInt32 flags;               // OvGeometryFlag
    OvUInt16 lockedSinceLastInst; // lock word
    OvRefCount refCount;          // 1 at creation
    OvInt32 numTriangles;
    OvInt32 numVertices;
    OvInt32 numMorphTargets;
    OvInt32 numTexCoordSets;
    OvMaterialList matList;
    OvTriangle* triangles;                      // null when native
    OvRGBA* preLitLum;                          // prelit colours, or null
    OvTexCoords* texCoords[ovMAXTEXTURECOORDS]; // per set, null when unused
    OvMeshHeader* mesh;                         // null until built
    OvResourceEntry* repEntry;                  // instanced data
    OvMorphTarget* morphTarget;                 // morph-target array
};

// The geometry module's data in the engine instance (nothing used).
struct OvGeometryModule {
    OvInt32 spare;
};

void* OvGeometryOpen(void* instance, OvInt32 offset, OvInt32 size);
void* OvGeometryClose(void* instance, OvInt32 offset, OvInt32 size);

// A geometry with one morph target; null for negative counts, for more than eight texture sets
// (0x80000016) or for 65536 vertices or more (error {2, 6}).
OvGeometry* OvGeometryCreate(OvInt32 numVerts, OvInt32 numTriangles, OvUInt32 format);
// A geometry without vertices or triangles whose first morph target has centre 0 and the radius.
OvGeometry* OvGeometryCreateEmpty(float radius);
// Adds morph targets; the index of the first new one, or -1 (0x80000013).
OvInt32 OvGeometryAddMorphTargets(OvGeometry* geometry, OvInt32 numNewTargets);
inline OvGeometry* OvGeometryAddRef(OvGeometry* geometry) {
    geometry->refCount++;
    return geometry;
}
// Drops one reference; the last frees the geometry. TRUE.
// Each atomic destroys only its own reference; destroy physics triangle lists made over it first.
OvBool OvGeometryDestroy(OvGeometry* geometry);
OvGeometry* OvGeometryLock(OvGeometry* geometry, OvInt32 lockFlags);
// Builds the mesh header when there is none; null when the build fails.
OvGeometry* OvGeometryUnlock(OvGeometry* geometry);
// Builds the mesh header of triangles whose materials are the list's entries [base + the
// triangle's material index] (a geometry: base 0; a world sector: its window base), ranked by the
// first appearance of their textures, rasters and pipelines; strips when flags has
// ovGEOMETRYTRISTRIP. An empty list gives the header without meshes. Null (nothing left
// allocated) when a triangle names no entry or memory fails. A list header's block comes from
// source when one is given (strips always take theirs from the heap).
OvMeshHeader* OvMeshHeaderBuildFromTriangles(const OvTriangle* triangles, OvInt32 numTriangles,
                                             const OvMaterialList* list, OvInt32 base, OvUInt32 flags,
                                             const OvMeshHeaderSource* source = nullptr);
OvGeometry* OvGeometryTriangleSetVertexIndices(const OvGeometry* geometry, OvTriangle* triangle, OvUInt16 vert1,
                                               OvUInt16 vert2, OvUInt16 vert3);
// Stores the material's index in the list (appending it when absent; -1 for null).
OvGeometry* OvGeometryTriangleSetMaterial(OvGeometry* geometry, OvTriangle* triangle, OvMaterial* material);
OvMorphTarget* OvMorphTargetCalcBoundingSphere(const OvMorphTarget* morphTarget, OvSphere* boundingSphere);
inline OvMorphTarget* OvGeometryGetMorphTarget(const OvGeometry* geometry, OvInt32 index) {
    return geometry->morphTarget + index;
}
// Number of texture-coordinate sets a format word asks for.
OvInt32 OvGeometryTexCoordSetsOfFormat(OvUInt32 format);
// Reads a geometry chunk's body (the caller found chunk 15); the geometry or null.
OvGeometry* OvGeometryStreamRead(OvStream* stream);
