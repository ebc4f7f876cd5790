#pragma once
// The AI engine's debug drawing: a buffer of coloured line vertices that the engine fills
// during the AI step (through the host services' draw calls) and the game draws once a frame
// through the graphics core's immediate mode. The buffer is cleared, not freed, each frame and
// grows only when a frame needs more vertices than any before.

#include <cstdint>

#include "graphics/core/im3d.h"

namespace DemoDebugLines {

// Vertices per immediate-mode batch.
inline constexpr std::uint32_t kBatchVertices = 65000;

// Empties the buffer and keeps the half size of a cross (the AI world's OneMeter). true.
bool Open(float crossHalfSize);
// Frees the vertex array (through the graphics engine's memory functions).
void Close();
// Forgets the vertices of the last frame.
void Clear();
// Makes room for n more vertices and returns the first of them; null when the array could not
// grow (nothing is added then).
OvIm3DVertex* Reserve(std::uint32_t n);
// One segment: two vertices of colour 0xFF000000 | r << 16 | g << 8 | b.
void AddLine(const float* from, const float* to, std::uint8_t r, std::uint8_t g, std::uint8_t b);
// Three segments through the point along x, y and z, each two half sizes long.
void AddCross(const float* point, std::uint8_t r, std::uint8_t g, std::uint8_t b);
// Draws the vertices as line lists without a texture, kBatchVertices at most per batch; a last
// batch of fewer than two vertices is not drawn.
void Render();

// The buffer's state.
std::uint32_t GetCount();
std::uint32_t GetCapacity();
const OvIm3DVertex* GetVertices();
float GetCrossHalfSize();

// The packed colour of a line.
inline constexpr std::uint32_t PackColour(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return 0xFF000000u | static_cast<std::uint32_t>(r) << 16 | static_cast<std::uint32_t>(g) << 8 | b;
}

} // namespace DemoDebugLines
