#pragma once
// The ray through a pixel: the world-space line from the near plane to the far plane of a camera
// that passes through a given pixel of its frame-buffer raster (used for picking).

#include "graphics/core/camera.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"

// A line segment (24 bytes).
struct OvLine {
    OvV3d start; // on the near plane
    OvV3d end;   // on the far plane
};

// Fills line with the ray through pixel (x right, y down, in pixels of the camera's raster; the
// corner of the first pixel is (0, 0)) by interpolating the camera's frustum corners. Returns
// line, or null when the camera, the line or the pixel is null or the camera has no raster of
// positive size.
OvLine* OvCameraCalcPixelRay(const OvCamera* camera, OvLine* line, const OvV2d* pixel);
