#pragma once
// The Direct3D 9 driver's vertex buffers:
// - shared static buffers, one family per stride, carved into ranges (managed, write-only);
// - dynamic buffers owned by a caller, released and re-created around a device reset, the
//   caller's pointer refilled;
// - four shared dynamic buffers of 256 KB used in rotation for vertices written every frame:
//   appends with no-overwrite locks while the current buffer has room, a discard when not.

#include "graphics/core/types.h"
#include "platform/d3d9.h"

inline constexpr OvUInt32 ovD3D9STATICBUFFERSIZE = 0x20000;
inline constexpr OvUInt32 ovD3D9SHAREDBUFFERSIZE = 0x40000;
inline constexpr OvUInt32 ovD3D9NUMSHAREDBUFFERS = 4;

// A range of `size` bytes in a static buffer of the stride's family; the base vertex is
// offset / stride.
OvBool OvD3D9CreateVertexBuffer(OvUInt32 stride, OvUInt32 size, IDirect3DVertexBuffer9** out, OvUInt32* offset);
// Returns a range; adjacent free ranges of one buffer merge.
void OvD3D9DestroyVertexBuffer(OvUInt32 stride, OvUInt32 size, IDirect3DVertexBuffer9* buffer, OvUInt32 offset);

// A dynamic buffer of `size` bytes written to *owner, which the driver refills after a reset
// (null while the device is being reset).
OvBool OvD3D9DynamicVertexBufferCreate(OvUInt32 size, IDirect3DVertexBuffer9** owner);
// The buffer's record is free again (its buffer kept for reuse); the owner is forgotten.
void OvD3D9DynamicVertexBufferDestroy(IDirect3DVertexBuffer9* buffer);

// Room for `count` vertices of `stride` bytes in a shared dynamic buffer.
OvBool OvD3D9DynamicVertexBufferLock(OvUInt32 stride, OvUInt32 count, IDirect3DVertexBuffer9** buffer, void** data,
                                     OvUInt32* baseVertex);
OvBool OvD3D9DynamicVertexBufferUnlock(IDirect3DVertexBuffer9* buffer);

// Driver-internal life cycle: device start, stop, before and after a reset, every present.
OvBool OvD3D9DynamicVertexBufferOpen();
void OvD3D9DynamicVertexBufferClose();
void OvD3D9DynamicVertexBufferReleaseAll();
OvBool OvD3D9DynamicVertexBufferRestoreAll();
void OvD3D9DynamicVertexBufferNewFrame();

// For inspection: free ranges of a stride's family, as (offset, size) in list order.
OvInt32 OvD3D9StaticFreeRanges(OvUInt32 stride, OvUInt32* offsets, OvUInt32* sizes, OvInt32 capacity);
