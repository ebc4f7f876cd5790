#pragma once
// The Direct3D 9 driver's device-state caches: render targets and the depth surface, the FVF,
// vertex declaration, shaders and index buffer, the four streams, transforms and lights. A
// renderer may set the same thing many times a frame; the device sees only changes. Also the
// shared objects whose lifetime the driver manages: vertex declarations (shared by content,
// reference counted), shaders and index buffers.

#include "graphics/core/matrix.h"
#include "graphics/core/types.h"
#include "platform/d3d9.h"

inline constexpr OvUInt32 ovD3D9NUMTRANSFORMS = 260;
inline constexpr OvUInt32 ovD3D9NUMSTREAMS = 4;
inline constexpr OvUInt32 ovD3D9NUMRENDERTARGETS = 4;
inline constexpr OvUInt32 ovD3D9MAXDECLARATIONELEMENTS = 64; // plus the end marker

// One stream for OvD3D9SetStreams.
struct OvD3D9Stream {
    IDirect3DVertexBuffer9* buffer; // null: the stream is cleared
    OvUInt32 offset;                // bytes
    OvUInt32 stride;                // bytes
};

HRESULT OvD3D9SetDepthSurface(IDirect3DSurface9* surface);
OvBool OvD3D9SetRenderTargetSurface(OvUInt32 index, IDirect3DSurface9* surface);
// Render target `index` = level 0 of a raster's texture (of the cube face its extension names),
// or none for a null raster. TRUE when set or already set.
struct OvRaster;
OvBool OvD3D9SetRenderTarget(OvUInt32 index, OvRaster* raster);

void OvD3D9SetFVF(OvUInt32 fvf);                                           // forgets the cached declaration
void OvD3D9SetVertexDeclaration(IDirect3DVertexDeclaration9* declaration); // forgets the cached FVF
void OvD3D9SetVertexShader(IDirect3DVertexShader9* shader);
void OvD3D9SetPixelShader(IDirect3DPixelShader9* shader);
void OvD3D9SetIndices(IDirect3DIndexBuffer9* buffer);
void OvD3D9SetStreamSource(OvUInt32 stream, IDirect3DVertexBuffer9* buffer, OvUInt32 offset, OvUInt32 stride);
// Streams 0 and 1; without useOffsets both offsets are 0.
void OvD3D9SetStreams(const OvD3D9Stream streams[2], OvBool useOffsets);

// Transform states 0..259; a null matrix is the identity.
OvBool OvD3D9SetTransform(OvUInt32 state, const D3DMATRIX* matrix);
void OvD3D9GetTransform(OvUInt32 state, D3DMATRIX* out);
// The engine's world matrix (null or identity-flagged: the identity).
OvBool OvD3D9SetTransformWorld(const OvMatrix* matrix);

// Any light number: the cache keeps one entry for each light set.
OvBool OvD3D9SetLight(OvUInt32 index, const D3DLIGHT9* light);
OvBool OvD3D9EnableLight(OvUInt32 index, OvBool enable);
// Sends every cached light with its enabled flag again (after a reset).
void OvD3D9RestoreLights();

OvBool OvD3D9CreateIndexBuffer(OvUInt32 numIndices, IDirect3DIndexBuffer9** out);
// Elements up to an end marker (type D3DDECLTYPE_UNUSED) within 65 elements.
OvBool OvD3D9CreateVertexDeclaration(const D3DVERTEXELEMENT9* elements, IDirect3DVertexDeclaration9** out);
// Declarations that are not in the cache are left alone.
void OvD3D9DeleteVertexDeclaration(IDirect3DVertexDeclaration9* declaration);
OvBool OvD3D9CreateVertexShader(const DWORD* tokens, IDirect3DVertexShader9** out);
OvBool OvD3D9CreatePixelShader(const DWORD* tokens, IDirect3DPixelShader9** out);
OvUInt32 OvD3D9DeleteShader(IDirect3DVertexShader9* shader);
OvUInt32 OvD3D9DeleteShader(IDirect3DPixelShader9* shader);

// Forgets every binding, transform and light; returns the device.
IDirect3DDevice9* OvD3D9DeviceResetCache();
// What a device start or a Reset binds: render target 0 the back buffer, no others, its own
// depth surface. The targets held before a Reset went with it.
void OvD3D9DeviceCacheSetDeviceTargets(IDirect3DSurface9* backBuffer, IDirect3DSurface9* depth);
// Forgets the bindings and transforms but keeps the lights (before a reset).
void OvD3D9DeviceCacheForgetBindings();
// Device stop: every cached declaration released, the caches freed.
void OvD3D9DeviceCacheClose();
