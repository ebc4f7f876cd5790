#pragma once
// Binary meshes: an object's triangles sorted by material into runs of 16-bit vertex indices,
// each run one mesh, as triangle lists or strips. Materials that need the same render state
// follow each other and transparent ones come last. Mesh headers are streamed as the binary-mesh
// extension sub-chunk (0x50E) of geometries and world sectors.

#include <cstddef>

#include "graphics/core/types.h"

struct OvMaterial;
struct OvMaterialList;
struct OvMeshHeaderSource;
struct OvStream;
struct OvTriangle;

// Mesh-header flags.
enum OvMeshHeaderFlag : OvUInt32 {
    ovMESHHEADERTRILIST = 0x0,
    ovMESHHEADERTRISTRIP = 0x1,
    ovMESHHEADERTRIFAN = 0x2,
    ovMESHHEADERLINELIST = 0x4,
    ovMESHHEADERPOLYLINE = 0x8,
    ovMESHHEADERPOINTLIST = 0x10,
    ovMESHHEADERUNINDEXED = 0x100, // with a kind: each mesh draws the next run of vertices, unindexed
};

// One mesh: a run of indices with one material.
struct OvMesh {
    OvUInt16* indices;    // into the header's index area
    OvUInt32 numIndices;  // indices of the run
    OvMaterial* material; // the run's material
};

// Header of a set of meshes; one allocation: the header, the meshes, then the indices.
struct OvMeshHeader {
    OvUInt32 flags;              // OvMeshHeaderFlag
    OvUInt16 numMeshes;          // meshes following the header
    OvUInt16 serialNum;          // from the mesh module's counter (changes when rebuilt)
    OvUInt32 totalIndicesInMesh; // sum of the meshes' index counts
    OvUInt32 firstMeshOffset;    // offset of the first mesh behind the header (always 0)
};

inline OvMesh* OvMeshHeaderGetMeshes(OvMeshHeader* header) { return reinterpret_cast<OvMesh*>(header + 1); }
inline const OvMesh* OvMeshHeaderGetMeshes(const OvMeshHeader* header) {
    return reinterpret_cast<const OvMesh*>(header + 1);
}

// One triangle of a builder (the ranks are the order of first appearance of the triangle's
// texture, raster and pipeline among the object's triangles).
struct OvMeshBuilderTriangle {
    OvUInt16 vertIndex[3];
    OvUInt16 spare;
    OvMaterial* material;
    OvUInt16 matIndex; // the material's index in the owner's list
    OvUInt16 textureRank;
    OvUInt16 rasterRank;
    OvUInt16 pipelineRank;
};

// Triangles collected for a build.
struct OvMeshBuilder {
    OvInt32 capacity;                 // records allocated
    OvInt32 numTriangles;             // records used
    OvMeshBuilderTriangle* triangles; // the records
};

// Builds a header from a builder's triangles; flags bit 0 selects strips. Null on failure.
using OvMeshStripCallBack = OvMeshHeader* (*)(OvMeshBuilder* builder, void* data);

// The mesh module's data in the engine instance.
struct OvMeshModule {
    OvUInt16 serialCounter;   // next serial number (1 after every open)
    void* stripScratch;       // strip builder's working storage while a build runs
    OvUInt32 flagsToPrim[17]; // mesh flags (0, 1, 2, 4, 8, 16) to primitive type (3, 4, 5, 1, 2, 6)
    OvUInt32 primToFlags[7];  // primitive type 1..6 to mesh flags
};

void* OvMeshOpen(void* instance, OvInt32 offset, OvInt32 size);
void* OvMeshClose(void* instance, OvInt32 offset, OvInt32 size);
OvMeshModule* OvMeshGetModule();

// Primitive type of a header's flags (3 triangle list, 4 strip, 5 fan, 1 line list, 2 polyline,
// 6 point list; 0 for anything else), and the flags of a primitive type.
OvUInt32 OvMeshHeaderGetPrimType(OvUInt32 flags);
OvUInt32 OvMeshHeaderGetFlagsFromPrimType(OvUInt32 primType);

// A builder with room for the triangles (none when 0); null with 0x80000013.
OvMeshBuilder* OvMeshBuilderCreate(OvInt32 numTriangles);
// Appends a record (a full builder grows by one); null with 0x80000013.
OvMeshBuilder* OvMeshBuilderAddTriangle(OvMeshBuilder* builder, OvMaterial* material, OvInt32 vert1, OvInt32 vert2,
                                        OvInt32 vert3, OvUInt16 matIndex, OvUInt16 textureRank, OvUInt16 rasterRank,
                                        OvUInt16 pipelineRank);
OvBool OvMeshBuilderDestroy(OvMeshBuilder* builder);

// Builds the header: the static empty header for no triangles, else strips (flags bit 0, through
// the strip callback) or lists. Success destroys the builder; failure returns null and leaves it
// to the caller.
OvMeshHeader* OvMeshHeaderBuild(OvMeshBuilder* builder, OvUInt32 flags);
// Frees the header unless it is the static empty one.
// Only a header no geometry or sector holds: theirs goes with them or with a polygon lock.
OvBool OvMeshHeaderDestroy(OvMeshHeader* header);
OvMeshHeader* OvMeshHeaderGetEmpty();

using OvMeshCallBack = OvMesh* (*)(OvMesh* mesh, OvMeshHeader* header, void* data);
// Calls the callback for each mesh in order until one returns null. Returns the header.
OvMeshHeader* OvMeshHeaderForAllMeshes(OvMeshHeader* header, OvMeshCallBack callback, void* data);

// The strip callback and its data (default: the built-in stripper, data null).
void OvMeshSetStripCallBack(OvMeshStripCallBack callback, void* data);
OvMeshStripCallBack OvMeshGetStripCallBack(void** data);
OvMeshHeader* OvMeshDefaultStripCallBack(OvMeshBuilder* builder, void* data);
// The list build (triangles sorted by material, then each mesh's triangles reordered in passes
// of vertex-disjoint triangles).
OvMeshHeader* OvMeshBuildTriangleLists(OvMeshBuilder* builder);
// The same build of triangles whose materials are the list's entries [base + the triangle's
// material index] (every one of them valid), ranked by the first appearance of their textures,
// rasters and pipelines: the meshes a builder of those records gives, made without one. At least
// one triangle; null with 0x80000013. The header's block comes from source when one is given
// (see OvMeshHeaderSource), else from the heap.
OvMeshHeader* OvMeshBuildTriangleListsOfWindow(const OvTriangle* triangles, OvInt32 numTriangles,
                                               const OvMaterialList* list, OvInt32 base,
                                               const OvMeshHeaderSource* source = nullptr);

// Rank of a value among the count distinct values met so far (appended, and count raised, when
// new): how a build ranks textures, rasters and pipelines by their first appearance.
template <typename T> OvUInt16 OvMeshRankOf(T* values, OvInt32& count, T value) {
    for (OvInt32 i = 0; i < count; ++i) {
        if (values[i] == value) {
            return static_cast<OvUInt16>(i);
        }
    }
    values[count] = value;
    return static_cast<OvUInt16>(count++);
}

// Edge matching of the stripper: by hash (default), or by the plain newest-first walk of the
// edge list, which gives the same strips in quadratic time (kept to check the hash against).
void OvMeshSetStripEdgeHash(OvBool on);

// Sub-chunk 0x50E: {flags, meshes, total indices}, per mesh {count, material index in the list}
// followed (unless native) by the mesh's indices as 32-bit values.
OvInt32 OvMeshHeaderStreamGetSize(const OvMeshHeader* header, OvBool native);
OvStream* OvMeshHeaderStreamWrite(const OvMeshHeader* header, OvBool native, OvStream* stream,
                                  const OvMaterialList* matList);
// Reads a body of length bytes. Without the native flag every index must be below numVertices.
// The header, or null (nothing left allocated).
OvMeshHeader* OvMeshHeaderStreamRead(OvStream* stream, OvInt32 length, OvBool native, const OvMaterialList* matList,
                                     OvInt32 numVertices);

// Where a reader takes a header's block from instead of the heap: alloc returns bytes aligned for
// pointers (or null, reported as out of memory); release hands back a block of a read that failed.
// Such a header belongs to its source: OvMeshHeaderDestroy must not see it.
struct OvMeshHeaderSource {
    void* (*alloc)(void* data, std::size_t bytes);
    void (*release)(void* data, void* block);
    void* data;
};
OvMeshHeader* OvMeshHeaderStreamReadFrom(OvStream* stream, OvInt32 length, OvBool native,
                                         const OvMaterialList* matList, OvInt32 numVertices,
                                         const OvMeshHeaderSource* source);
