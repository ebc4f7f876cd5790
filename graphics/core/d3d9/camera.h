#pragma once
// The Direct3D 9 driver's side of a frame: camera begin update (view and projection, render
// target and depth surface, viewport, scene), clear, end update and show (present with the
// vertical-sync switch and the lost-device path), with window resizes, minimised windows and
// cameras on a second window's swap chain on the way. Also the frustum tests of the renderers.

#include "graphics/core/camera.h"
#include "platform/d3d9.h"

// Published by the last begin update: the view and projection transforms, and the renderers'
// view-projection product (computed on demand; begin update forgets it).
extern D3DMATRIX OvD3D9ViewMatrix;
extern D3DMATRIX OvD3D9ProjectionMatrix;
extern const D3DMATRIX* OvD3D9ViewProjectionCache;

// Standard functions 1, 21, 10 and 20.
// Begin update: in = the camera. 0 when the window is minimised or empty or the device lost.
OvBool OvD3D9CameraBeginUpdate(void* out, void* camera, OvInt32 number);
// Clear: out = the camera, in = the colour (OvRGBA), number = OvCameraClearMode bits.
OvBool OvD3D9CameraClear(void* camera, void* colour, OvInt32 clearMode);
OvBool OvD3D9CameraEndUpdate(void* out, void* in, OvInt32 number);
// Show: out = the raster; number bit 0 waits for the vertical sync.
OvBool OvD3D9RasterShowRaster(void* raster, void* window, OvInt32 flags);

// Puts the camera on another window (windowed device only, never the device window): its
// rasters are destroyed and made again, a camera raster standing for the back buffer of a swap
// chain over the window's client area and a z raster of that size. Begin update and clear keep
// them at the window's size from then on, and show presents the camera raster in that window.
// FALSE when the window is refused or the swap chain cannot be made.
OvBool OvD3D9CameraCreateWindowRasters(OvCamera* camera, HWND window);

// The camera between a begin update that succeeded and its end update, or null.
OvCamera* OvD3D9GetCurrentCamera();

// TRUE when the sphere (or the box) lies inside all six frustum planes; touching counts.
OvBool OvD3D9CameraSphereFullyInside(const OvCamera* camera, const OvSphere* sphere);
OvBool OvD3D9CameraBBoxFullyInside(const OvCamera* camera, const OvBBox* box);
