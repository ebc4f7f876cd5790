#pragma once
// The world plugin's Direct3D 9 pipelines. Atomics and world sectors are drawn by one-node default
// pipelines: the node turns the object's geometry (or the sector's vertex arrays) into Direct3D
// resources once - a vertex declaration, one or two vertex streams and a 16-bit index buffer, one
// record per mesh - kept in an entry of the core's resource arena; rewrites only the changed
// elements when the geometry is locked again; sets up the hardware lights; and draws every mesh
// on the fixed-function path through the driver's state caches. The arena may evict the data at
// any time; the next render makes it again.

#include "graphics/core/resources.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"
#include "platform/d3d9.h"

struct OvAtomic;
struct OvGeometry;
struct OvLight;
struct OvMaterial;
struct OvMeshHeader;
struct OvNodeDefinition;
struct OvPipeline;
struct OvPipelineNode;
struct OvWorldSector;

// Object types handed to the callbacks.
inline constexpr OvUInt8 ovD3D9OBJECTATOMIC = 1;
inline constexpr OvUInt8 ovD3D9OBJECTSECTOR = 255;

// Instancing-flag bits beyond the lock-word layout: a tangent element.
inline constexpr OvUInt32 ovD3D9INSTANCETANGENT = 0x10000;

// One vertex stream of the instanced data.
struct OvD3D9VertexStream {
    IDirect3DVertexBuffer9* vertexBuffer; // null: the stream is not used
    OvUInt32 offset;                      // bytes into the buffer
    OvUInt32 stride;                      // bytes a vertex
    OvUInt16 elementMask;                 // lock-word bits of the elements the stream holds
    OvUInt8 shared;                       // 1: a range of the shared static buffers; 0: a dynamic buffer of its own
    OvUInt8 notOwned;                     // 1: the buffer belongs to somebody else
};

// One mesh of the instanced data.
struct OvD3D9InstancedMesh {
    OvUInt32 numIndices;
    OvUInt32 minIndex;                    // smallest vertex index of the mesh
    OvMaterial* material;                 // the mesh's material
    OvUInt32 vertexAlpha;                 // some prelit colour of the mesh has alpha below 255
    IDirect3DVertexShader9* vertexShader; // null on the fixed-function path
    OvInt32 baseIndex;                    // base vertex index of the draw
    OvUInt32 numVertices;
    OvUInt32 startIndex; // first index in the index buffer
    OvUInt32 numPrimitives;
};

// The Direct3D 9 form of an atomic's geometry or of a world sector; the meshes follow it.
struct OvD3D9InstancedData {
    OvUInt32 serialNumber; // the mesh header's serial number when instanced
    OvUInt32 numMeshes;
    IDirect3DIndexBuffer9* indexBuffer; // null when the meshes are not indexed
    OvUInt32 primType;                  // D3DPRIMITIVETYPE
    OvD3D9VertexStream vertexStream[2];
    OvUInt32 useOffsets; // stream offsets go to the device (else they are in the base vertex)
    IDirect3DVertexDeclaration9* vertexDeclaration;
    OvUInt32 totalNumIndex;
    OvUInt32 totalNumVertex;
};
inline OvD3D9InstancedMesh* OvD3D9InstancedDataGetMeshes(OvD3D9InstancedData* data) {
    return reinterpret_cast<OvD3D9InstancedMesh*>(data + 1);
}
inline OvD3D9InstancedData* OvD3D9InstancedDataFromEntry(OvResourceEntry* entry) {
    return static_cast<OvD3D9InstancedData*>(OvResourceEntryGetData(entry));
}
// Bytes of the data of a number of meshes.
inline OvUInt32 OvD3D9InstancedDataSize(OvUInt32 numMeshes) {
    return static_cast<OvUInt32>(sizeof(OvD3D9InstancedData) + numMeshes * sizeof(OvD3D9InstancedMesh));
}

// Callbacks of an all-in-one node (its private block).
using OvD3D9InstanceCallBack = OvBool (*)(void* object, OvD3D9InstancedData* data, OvBool reinstance);
using OvD3D9ReinstanceCallBack = OvBool (*)(void* object, OvResourceEntry* entry, OvD3D9InstanceCallBack instance);
using OvD3D9LightingCallBack = void (*)(void* object);
using OvD3D9RenderCallBack = void (*)(OvResourceEntry* entry, void* object, OvUInt8 type, OvUInt32 flags);
struct OvD3D9AllInOneNodeCallbacks {
    OvD3D9InstanceCallBack instance;
    OvD3D9ReinstanceCallBack reinstance; // null in the sector node
    OvD3D9LightingCallBack lighting;
    OvD3D9RenderCallBack render;
};

OvNodeDefinition* OvNodeD3D9AtomicAllInOneGetDefinition();
OvNodeDefinition* OvNodeD3D9WorldSectorAllInOneGetDefinition();
void OvD3D9AllInOneNodeSetInstanceCallback(OvPipelineNode* node, OvD3D9InstanceCallBack callback);
OvD3D9InstanceCallBack OvD3D9AllInOneNodeGetInstanceCallback(OvPipelineNode* node);
void OvD3D9AllInOneNodeSetRenderCallback(OvPipelineNode* node, OvD3D9RenderCallBack callback);

// Instancing. Creates the entry (in the arena, or in plain memory for instance-only objects,
// which are never drawn), its index buffer and mesh records, and calls the instance callback.
// Null when a buffer, the entry or the callback fails; nothing is left allocated then.
OvResourceEntry* OvD3D9InstancedDataCreate(void* object, void* owner, OvUInt8 type, OvResourceEntry** ownerRef,
                                           const OvMeshHeader* header, OvD3D9InstanceCallBack instance,
                                           OvBool instanceOnly);
// Sets the index buffer (when there is one), the streams and the declaration of the data.
void OvD3D9InstancedDataBind(const OvD3D9InstancedData* data);
// Sets the vertex shader (null: the fixed-function path), flushes the cached states and draws one
// mesh of the bound instanced data, counting the draw in the frame statistics.
void OvD3D9InstancedMeshDraw(const OvD3D9InstancedData* data, const OvD3D9InstancedMesh& mesh,
                             IDirect3DVertexShader9* shader);
// The entries' destroy callback: buffers, declaration and streams given back.
void OvD3D9InstancedDataDestroy(OvResourceEntry* entry);
// Sorts triangles (index triples) by their indices taken in ascending order.
void OvD3D9SortTriangles(OvUInt16* indices, OvUInt32 numIndices);
// Primitives of n indices (or vertices) of a primitive type; 0 when too few for one.
OvUInt32 OvD3D9PrimitiveCount(OvUInt32 primType, OvUInt32 n);
// Vertices spanned by the indices (max - min + 1) and the smallest; 0 and 0 for none.
void OvD3D9IndicesGetRange(const OvUInt16* indices, OvUInt32 count, OvUInt32* numVertices, OvUInt32* minIndex);

// Per-vertex tangents of the instanced data's triangles (lists, strips or fans, each mesh's
// indices taken with its minimum added back) from the positions and one texture-coordinate set:
// each triangle's texture-space direction added to its three vertices, the sums normalised and
// written by the 3-vector writer; vertices no triangle reaches (and data without indices) get a
// zero tangent. Allocates nothing (the sums go to a scratch array of the module's, one thread
// at a time). The element's size, as the 3-vector writer gives it.
OvUInt32 OvD3D9VertexWriteTangents(OvUInt32 type, void* destination, const OvV3d* positions, const OvV2d* texCoords,
                                   const OvD3D9InstancedData* data, OvUInt32 stride);

OvBool OvD3D9AtomicAllInOneInstance(void* object, OvD3D9InstancedData* data, OvBool reinstance);
OvBool OvD3D9AtomicAllInOneReinstance(void* object, OvResourceEntry* entry, OvD3D9InstanceCallBack instance);
OvBool OvD3D9WorldSectorAllInOneInstance(void* object, OvD3D9InstancedData* data, OvBool reinstance);
void OvD3D9AtomicDefaultLightingCallback(void* object);
void OvD3D9WorldSectorDefaultLightingCallback(void* object);
void OvD3D9DefaultRenderCallback(OvResourceEntry* entry, void* object, OvUInt8 type, OvUInt32 flags);
// D3DRS_CLIPPING off when the atomic's world sphere (or the sector's box) lies wholly inside the
// current camera's frustum, else on.
void OvD3D9AtomicSetClipping(void* object, OvUInt8 type);

// Instancing flags (extension 0x50F of geometries and world sectors): the low 12 bits name the
// elements that go to the dynamic stream 0; ovD3D9INSTANCETANGENT asks for a tangent element.
void OvD3D9GeometrySetInstanceFlags(OvGeometry* geometry, OvUInt32 flags);
OvUInt32 OvD3D9GeometryGetInstanceFlags(const OvGeometry* geometry);
void OvD3D9WorldSectorSetInstanceFlags(OvWorldSector* sector, OvUInt32 flags);
OvUInt32 OvD3D9WorldSectorGetInstanceFlags(const OvWorldSector* sector);

// Geometries whose instanced data has a dynamic stream: a device reset empties those buffers,
// so the restore hook marks every listed geometry for a full rewrite. One node per instanced
// data (an entry's destroy takes its node off); a destroyed geometry takes all of its nodes off.
OvBool OvD3D9GeometryReinstanceListAdd(OvGeometry* geometry, const OvResourceEntry* entry);
void OvD3D9GeometryReinstanceListRemove(OvGeometry* geometry);
OvInt32 OvD3D9GeometryReinstanceListCount();
void OvD3D9GeometryReinstanceListClear();
// The device-restore hook: the previous hook, then every listed geometry's lock word set to
// everything. Installed once (the hook in place before is kept and called).
void OvD3D9WorldRestoreCallback();
void OvD3D9WorldRestoreHookInstall();
// Module 0x50F and the instancing-flag extensions of geometries and world sectors.
OvBool OvD3D9WorldDevicePluginAttach();

// Hardware lights from light objects (extension 0x505 holds the light's device index and its
// attenuation factors).
OvBool OvD3D9LightPluginAttach();
// The current world's global lights whose flags share a bit with the mask: directional ones
// become device lights, the others add to the ambient colour. TRUE when any light matched.
OvBool OvD3D9LightsSetGlobal(OvUInt32 flagMask);
OvBool OvD3D9LightSetDirectional(OvLight* light);
// FALSE (and not set) for a range of 0 or a type that is not local.
OvBool OvD3D9LightSetLocal(OvLight* light);
// The device index a light holds (-1: none yet).
OvInt32 OvD3D9LightGetIndex(const OvLight* light);

// Default pipelines: made at the world module's open, installed as the engine's defaults.
OvPipeline* OvD3D9CreateDefaultAtomicPipeline();
OvPipeline* OvD3D9CreateDefaultWorldSectorPipeline();
// Null restores the kept pipeline.
void OvD3D9SetDefaultAtomicPipeline(OvPipeline* pipeline);
void OvD3D9SetDefaultWorldSectorPipeline(OvPipeline* pipeline);
// Sectors and worlds given this pipeline as their own keep naming it: take it off them first.
void OvD3D9DestroyDefaultWorldSectorPipeline();
// World module close: the sector pipeline, the re-instance list, the shader cache and the lights,
// then the atomic pipeline.
void OvD3D9WorldPipelinesClose();
