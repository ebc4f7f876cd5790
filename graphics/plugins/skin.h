#pragma once
// The skin plugin (0x116): per-vertex bone indices and weights with the bones' inverse bind
// matrices, held by a geometry (a geometry extension streamed with it), and the hierarchy that
// drives a skinned atomic (an atomic extension). Skinned vertices are the weighted sum of each
// bone's palette matrix applied to the bind-pose vertex; the palette is built from the hierarchy's
// matrices.

#include "graphics/core/matrix.h"
#include "graphics/plugins/anim_hierarchy.h"

struct OvAtomic;
struct OvGeometry;

inline constexpr OvUInt32 ovPLUGINIDSKIN = 0x116;
inline constexpr OvInt32 ovSKINMAXWEIGHTS = 4;
// Palette entries: a hierarchy that drives a skin has at most this many nodes.
inline constexpr OvInt32 ovSKINPALETTESIZE = 256;
inline constexpr OvUInt32 ovSKINNATIVEPLATFORM = 9;

struct OvSkin {
    OvUInt32 numBones;               // bones (<= 255)
    OvUInt32 numBoneUsed;            // bones that carry a nonzero weight
    OvUInt8* boneUsedList;           // their indices, ascending
    OvMatrix* skinToBoneMatrices;    // inverse bind matrices, numBones, 16-byte aligned
    OvUInt32 maxNumWeightsPerVertex; // 1..4
    OvUInt32* vertexBoneIndices;     // per vertex four bone indices, slot k in bits 8k..8k+7
    float* vertexBoneWeights;        // per vertex four weights, heaviest first
    OvUInt32 paletteSize;            // the used-bone count, or the bone limit with split data
    OvUInt32 useVertexShader;        // nonzero when drawn by the vertex-shader path
    OvInt32 boneLimit;               // split data: bones a mesh may use
    OvInt32 numMeshes;               // split data: meshes (0: no split data)
    OvInt32 numRLE;                  // split data: runs
    OvUInt8* splitData;              // remap (numBones), mesh table, run table
    OvUInt8* meshBoneRemapIndices;   // per mesh: first run, run count (2 bytes)
    OvUInt8* meshBoneRLE;            // per run: first bone, bone count (2 bytes)
    void* unaligned;                 // the allocation of the used list, matrices, indices and weights
    OvInt32 numVertices;             // vertices the arrays hold (0 for a native skin)
};

OvBool OvSkinPluginAttach();

// Stores the hierarchy that drives the atomic (not owned).
OvAtomic* OvSkinAtomicSetHierarchy(OvAtomic* atomic, OvAnimHierarchy* hierarchy);
OvAnimHierarchy* OvSkinAtomicGetHierarchy(const OvAtomic* atomic);
// Stores the skin (the previous one is not destroyed) and sorts its weights; the geometry.
OvGeometry* OvSkinGeometrySetSkin(OvGeometry* geometry, OvSkin* skin);
OvSkin* OvSkinGeometryGetSkin(const OvGeometry* geometry);
inline const OvMatrix* OvSkinGetInverseMatrices(const OvSkin* skin) { return skin->skinToBoneMatrices; }

// A skin of numBones bones for numVertices vertices, arrays zeroed (inverse bind matrices
// identity), as asset builders and tests make them; null on a bad count or no memory.
OvSkin* OvSkinCreate(OvInt32 numVertices, OvInt32 numBones);
// Frees a skin that no geometry holds.
OvBool OvSkinDestroy(OvSkin* skin);
// Works out the maximum weights a vertex and the used-bone list from the indices and weights
// (after sorting each vertex's weights, heaviest first).
OvSkin* OvSkinComputeUsage(OvSkin* skin);

// Reads the skin of a geometry of numVertices vertices from its stream form; null on failure.
OvSkin* OvSkinStreamRead(OvStream* stream, OvInt32 length, OvInt32 numVertices);
OvStream* OvSkinStreamWrite(const OvSkin* skin, OvStream* stream);
OvInt32 OvSkinStreamGetSize(const OvSkin* skin);

// Palette entry i = inverse bind i x hierarchy matrix i (x inverse atomic world unless the
// hierarchy's matrices are local to its parent frame); with flag 2 the node frames' world matrices
// take the hierarchy matrices' place. Entries beyond the bones (or unbound frames) are identity.
// atomicWorld may be null (identity). Writes min(nodes, 256) entries; returns their count.
OvInt32 OvSkinBuildPalette(const OvSkin* skin, const OvAnimHierarchy* hierarchy, const OvMatrix* atomicWorld,
                           OvMatrix* palette);
// Skins count vertices (positions and normals, either may be null) by the palette.
void OvSkinVertices(const OvSkin* skin, const OvMatrix* palette, OvInt32 numPalette, const OvV3d* positions,
                    const OvV3d* normals, OvV3d* outPositions, OvV3d* outNormals, OvInt32 count);
