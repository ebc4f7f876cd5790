#pragma once
// The Direct3D 9 driver's immediate-mode 2D: screen-space vertices the caller has transformed
// (text, overlays) copied into a vertex buffer, shifted by the camera raster's place in its
// parent and drawn with a fixed state for pre-transformed, optionally textured vertices. Also
// what immediate-mode 3D shares with it: the primitive types and counts and the stage-0 set-up.

#include "graphics/core/types.h"
#include "platform/d3d9.h"

// The caller's vertex and the vertex-buffer layout alike (28 bytes).
struct OvD3D9Im2DVertex {
    float x;   // pixels
    float y;   // pixels
    float z;   // depth 0..1
    float rhw; // reciprocal w
    D3DCOLOR color;
    float u;
    float v;
};
static_assert(sizeof(OvD3D9Im2DVertex) == 28);

inline constexpr OvUInt32 ovD3D9IM2DOWNBUFFERBYTES = 0x40000;
inline constexpr OvUInt32 ovD3D9IM2DOWNBUFFERVERTICES = ovD3D9IM2DOWNBUFFERBYTES / sizeof(OvD3D9Im2DVertex); // 9,362
inline constexpr OvUInt32 ovD3D9IM2DINDICES = 10000;

// Device-record entries. Indices out of the array make the call draw nothing and answer 0; a
// primitive count below 1 draws nothing and answers 1.
OvBool OvD3D9Im2DRenderLine(void* vertices, OvInt32 numVertices, OvInt32 vert1, OvInt32 vert2);
OvBool OvD3D9Im2DRenderTriangle(void* vertices, OvInt32 numVertices, OvInt32 vert1, OvInt32 vert2, OvInt32 vert3);
OvBool OvD3D9Im2DRenderPrimitive(OvInt32 primType, void* vertices, OvInt32 numVertices);
OvBool OvD3D9Im2DRenderIndexedPrimitive(OvInt32 primType, void* vertices, OvInt32 numVertices, void* indices,
                                        OvInt32 numIndices);

// Device start and after a reset; device stop and before a reset.
OvBool OvD3D9Im2DOpen();
void OvD3D9Im2DClose();
// For inspection: whether the module draws from a buffer of its own, and its vertices in use.
OvBool OvD3D9Im2DUsesOwnBuffer();
OvUInt32 OvD3D9Im2DOwnBufferCount();

// The Direct3D type of an engine primitive type 1-6 (0 for others), and the primitives that
// n vertices or indices make (0 or below: nothing to draw).
D3DPRIMITIVETYPE OvD3D9PrimitiveType(OvInt32 primType);
OvInt32 OvD3D9PrimitiveCount(D3DPRIMITIVETYPE type, OvInt32 n);
// Stage 0 for vertex colours, modulated by the texture of stage 0 when one is bound.
void OvD3D9SetVertexColourStage();
// Writes `count` 16-bit indices into a dynamic index buffer of `capacity` indices used as a ring:
// at *position, or from its start with a discard when they would pass its end. The index they
// start at goes to *first and *position moves past them.
OvBool OvD3D9AppendIndices(IDirect3DIndexBuffer9* buffer, OvUInt32 capacity, OvUInt32* position,
                           const OvUInt16* indices, OvUInt32 count, OvUInt32* first);
