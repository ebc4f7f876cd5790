#include "graphics/world/testkit/world_camera.h"

#include <cmath>

#include "graphics/core/frame.h"
#include "graphics/core/matrix.h"

void OvWorldTestCameraPlace(OvCamera* camera, float x, float y, float z, float yaw, float pitch) {
    const double d = 3.14159265358979323846 / 180.0;
    const auto cy = static_cast<float>(std::cos(yaw * d)), sy = static_cast<float>(std::sin(yaw * d));
    const auto cp = static_cast<float>(std::cos(pitch * d)), sp = static_cast<float>(std::sin(pitch * d));
    OvMatrix m{};
    m.at = {sy * cp, sp, cy * cp};
    m.right = {cy, 0.0f, -sy};       // world up x at, normalised
    m.up = {-sy * sp, cp, -cy * sp}; // at x right
    m.pos = {x, y, z};
    OvMatrixUpdate(&m);
    OvFrameTransform(OvCameraGetFrame(camera), &m, ovCOMBINEREPLACE);
}

OvCamera* OvWorldTestCameraCreate(float x, float y, float z, float yaw, float pitch, float fieldOfView,
                                  float farPlane) {
    OvCamera* camera = OvCameraCreate();
    if (camera == nullptr) {
        return nullptr;
    }
    OvFrame* frame = OvFrameCreate();
    if (frame == nullptr) {
        OvCameraDestroy(camera);
        return nullptr;
    }
    OvCameraSetFrame(camera, frame);
    const auto half = static_cast<float>(std::tan(fieldOfView * 3.14159265358979323846 / 360.0));
    const OvV2d window = {half, half};
    OvCameraSetViewWindow(camera, &window);
    OvCameraSetNearClipPlane(camera, 0.05f);
    OvCameraSetFarClipPlane(camera, farPlane);
    OvWorldTestCameraPlace(camera, x, y, z, yaw, pitch);
    return camera;
}

void OvWorldTestCameraDestroy(OvCamera* camera) {
    OvFrame* frame = OvCameraGetFrame(camera);
    OvCameraDestroy(camera);
    if (frame != nullptr) {
        OvFrameDestroy(frame);
    }
}
