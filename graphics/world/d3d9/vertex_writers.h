#pragma once
// Vertex element writers of the world plugin's Direct3D 9 side: each converts one source
// array (3-vectors, 2-vectors, blend weights, packed normals, colours, bone indices) into a
// declaration type at a byte stride and returns the element's size in bytes. Values outside a
// fixed-point type's range are clamped before rounding, so that a slightly long normal does not
// wrap to the opposite sign. The readers turn one written element back into floats; the chooser
// picks a compact type for a set of texture coordinates.

#include "graphics/core/camera.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"
#include "platform/d3d9.h"

// Size in bytes of a declaration type (0 for types above FLOAT16_4).
OvUInt32 OvD3D9VertexElementSize(OvUInt32 type);

// 3-vectors: components in the type's order, missing ones 0 (FLOAT4's w is 1); normalised
// integer types are scaled by their maximum, all integer types rounded to nearest.
OvUInt32 OvD3D9VertexWriteV3d(OvUInt32 type, void* destination, const OvV3d* source, OvInt32 count, OvUInt32 stride);
// Four blend weights a vertex (16-byte source stride); normalised integer types store sums that
// are exactly the type's maximum.
OvUInt32 OvD3D9VertexWriteV4d(OvUInt32 type, void* destination, const float* weights, OvInt32 count, OvUInt32 stride);
// Three signed bytes a vertex (4-byte source stride), each × 1/128.
OvUInt32 OvD3D9VertexWritePackedNormals(OvUInt32 type, void* destination, const OvInt8* normals, OvInt32 count,
                                        OvUInt32 stride);
// from + (to − from) × factor.
OvUInt32 OvD3D9VertexWriteInterpolatedV3d(OvUInt32 type, void* destination, const OvV3d* from, const OvV3d* to,
                                          float factor, OvInt32 count, OvUInt32 stride);
// 2-vectors: as the 3-vector writer with two components.
OvUInt32 OvD3D9VertexWriteV2d(OvUInt32 type, void* destination, const OvV2d* source, OvInt32 count, OvUInt32 stride);
// D3DCOLOR words; TRUE when some alpha is below 255 (FALSE for no colours).
OvBool OvD3D9VertexWriteColors(void* destination, const OvRGBA* colors, OvInt32 count, OvUInt32 stride);
// Four byte indices a vertex, each replaced by map[index]. D3DCOLOR stores (i2, i1, i0, i3) in
// memory so that the shader's x is index 0; UBYTE4 (i0..i3); SHORT2 and SHORT4 as shorts; other
// types write nothing.
OvUInt32 OvD3D9VertexWriteRemappedIndices(OvUInt32 type, void* destination, const OvUInt8* indices, const OvUInt8* map,
                                          OvInt32 count, OvUInt32 stride);

// One written element back to floats (missing components 0; colours × 1/255).
void OvD3D9VertexReadV3d(OvUInt32 type, float* out, const void* element);
void OvD3D9VertexReadV2d(OvUInt32 type, float* out, const void* element);

// The declaration types (D3DDTCAPS_* bits) the choice of texture-coordinate types may use. The
// shader cache keeps them at its open, without the normalised types on vs_1_1 devices. Until
// then every type the choice considers is taken as supported.
void OvD3D9VertexSetDeclTypeCaps(OvUInt32 declTypes);
OvUInt32 OvD3D9VertexGetDeclTypeCaps();

// The most compact type that holds every coordinate: FLOAT2 beyond 1; USHORT2N, DEC3N or
// D3DCOLOR within [0, 1]; SHORT2N, DEC3N or FLOAT2 within [-1, 1].
OvUInt32 OvD3D9TexCoordsChooseDeclType(const OvV2d* coords, OvInt32 count);
