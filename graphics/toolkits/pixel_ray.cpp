#include "graphics/toolkits/pixel_ray.h"

namespace {

OvV3d Lerp(const OvV3d& a, const OvV3d& b, float f) {
    return {a.x + (b.x - a.x) * f, a.y + (b.y - a.y) * f, a.z + (b.z - a.z) * f};
}

// The point at (fx, fy) of a quad of corners top-left, top-right, bottom-right, bottom-left.
OvV3d OnQuad(const OvV3d* corner, float fx, float fy) {
    const OvV3d top = Lerp(corner[0], corner[1], fx);
    const OvV3d bottom = Lerp(corner[3], corner[2], fx);
    return Lerp(top, bottom, fy);
}

} // namespace

OvLine* OvCameraCalcPixelRay(const OvCamera* camera, OvLine* line, const OvV2d* pixel) {
    if (camera == nullptr || line == nullptr || pixel == nullptr || camera->frameBuffer == nullptr ||
        camera->frameBuffer->width <= 0 || camera->frameBuffer->height <= 0) {
        return nullptr;
    }
    const float fx = pixel->x / static_cast<float>(camera->frameBuffer->width);
    const float fy = pixel->y / static_cast<float>(camera->frameBuffer->height);
    line->start = OnQuad(camera->frustumCorners, fx, fy);
    line->end = OnQuad(camera->frustumCorners + 4, fx, fy);
    return line;
}
