#include "demo/debug_lines.h"

#include <cstddef>

#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"

namespace {

struct LineBuffer {
    std::uint32_t count = 0;          // vertices of this frame
    OvIm3DVertex* vertices = nullptr; // engine memory
    std::uint32_t capacity = 0;       // vertices the array holds
    float crossHalfSize = 0.0f;       // host units
};

LineBuffer gLines;

void Put(OvIm3DVertex* vertex, float x, float y, float z, std::uint32_t colour) {
    *vertex = OvIm3DVertex{};
    vertex->objVertex = {x, y, z};
    vertex->color = colour;
}

} // namespace

namespace DemoDebugLines {

bool Open(float crossHalfSize) {
    Close(); // a second Open keeps no array behind
    gLines = LineBuffer{};
    gLines.crossHalfSize = crossHalfSize;
    return true;
}

void Close() {
    if (gLines.vertices != nullptr)
        OvFree(gLines.vertices);
    gLines.vertices = nullptr;
    gLines.capacity = 0;
    gLines.count = 0;
}

void Clear() { gLines.count = 0; }

OvIm3DVertex* Reserve(std::uint32_t n) {
    if (n > UINT32_MAX - gLines.count)
        return nullptr;
    const std::uint32_t newCount = gLines.count + n;
    if (newCount > gLines.capacity) {
        void* grown = OvRealloc(gLines.vertices, static_cast<std::size_t>(newCount) * sizeof(OvIm3DVertex), 0);
        if (grown == nullptr)
            return nullptr;
        gLines.vertices = static_cast<OvIm3DVertex*>(grown);
        gLines.capacity = newCount;
    }
    OvIm3DVertex* first = gLines.vertices + gLines.count;
    gLines.count = newCount;
    return first;
}

void AddLine(const float* from, const float* to, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    OvIm3DVertex* v = Reserve(2);
    if (v == nullptr)
        return;
    const std::uint32_t colour = PackColour(r, g, b);
    Put(&v[0], from[0], from[1], from[2], colour);
    Put(&v[1], to[0], to[1], to[2], colour);
}

void AddCross(const float* point, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    OvIm3DVertex* v = Reserve(6);
    if (v == nullptr)
        return;
    const std::uint32_t colour = PackColour(r, g, b);
    const float h = gLines.crossHalfSize;
    const float x = point[0], y = point[1], z = point[2];
    Put(&v[0], x - h, y, z, colour);
    Put(&v[1], x + h, y, z, colour);
    Put(&v[2], x, y - h, z, colour);
    Put(&v[3], x, y + h, z, colour);
    Put(&v[4], x, y, z - h, colour);
    Put(&v[5], x, y, z + h, colour);
}

void Render() {
    OvEngineInstancePtr->dOpenDevice.setRenderState(ovRENDERSTATETEXTURERASTER, nullptr);
    OvIm3DVertex* next = gLines.vertices;
    std::uint32_t left = gLines.count;
    while (left > kBatchVertices) {
        if (OvIm3DTransform(next, kBatchVertices, nullptr, ovIM3D_VERTEXXYZ | ovIM3D_VERTEXRGBA) != nullptr) {
            OvIm3DRenderPrimitive(ovPRIMTYPELINELIST);
            OvIm3DEnd();
        }
        next += kBatchVertices;
        left -= kBatchVertices;
    }
    if (left >= 2 && OvIm3DTransform(next, left, nullptr, ovIM3D_VERTEXXYZ | ovIM3D_VERTEXRGBA) != nullptr) {
        OvIm3DRenderPrimitive(ovPRIMTYPELINELIST);
        OvIm3DEnd();
    }
}

std::uint32_t GetCount() { return gLines.count; }
std::uint32_t GetCapacity() { return gLines.capacity; }
const OvIm3DVertex* GetVertices() { return gLines.vertices; }
float GetCrossHalfSize() { return gLines.crossHalfSize; }

} // namespace DemoDebugLines
