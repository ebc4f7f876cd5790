#pragma once
// The Direct3D 9 driver's side of immediate-mode 3D: the render node "nodeD3D9SubmitNoLight.qxl"
// that draws the open batch with lighting off, and the device objects it draws with (a 16-bit
// index buffer written round-robin and three vertex declarations).

#include "graphics/core/types.h"

struct OvNodeDefinition;

inline constexpr OvUInt32 ovD3D9IM3DINDICES = 65535;
// Indexed batches of at most this many indices (and no more than their vertices) are expanded.
inline constexpr OvUInt32 ovD3D9IM3DEXPANDLIMIT = 8;

OvNodeDefinition* OvNodeD3D9SubmitNoLightGetDefinition();

// Made when the core's immediate-mode module opens, released when it closes.
OvBool OvD3D9Im3DCreateResources();
void OvD3D9Im3DReleaseResources();
// Around a device reset: the device objects go and come back while the module is open.
void OvD3D9Im3DReleaseDeviceObjects();
OvBool OvD3D9Im3DCreateDeviceObjects();

// For inspection: where the next indices go in the index buffer.
OvUInt32 OvD3D9Im3DIndexPosition();
