#pragma once
// A camera on a frame of its own placed by position, yaw and pitch, for the tools, tests and
// benchmarks that look at worlds.

#include "graphics/core/camera.h"

// The camera looks along +z at yaw 0 and pitch 0; yaw turns it towards +x, pitch up (degrees).
// fieldOfView is the full horizontal and vertical angle in degrees. Null when the camera or its
// frame cannot be created.
OvCamera* OvWorldTestCameraCreate(float x, float y, float z, float yaw, float pitch, float fieldOfView, float farPlane);
// Moves the camera's frame (the camera is synchronised at the next frame sync).
void OvWorldTestCameraPlace(OvCamera* camera, float x, float y, float z, float yaw, float pitch);
// Destroys the camera and its frame.
void OvWorldTestCameraDestroy(OvCamera* camera);
