#pragma once
// Procedural model geometry for the asset builder: boxes, cylinders and grids with normals, one
// texture-coordinate set and triangles spread over a number of materials.

#include <cstdint>
#include <string>

#include "tools/mkasset/chunk_writer.h"

namespace mkasset {

enum class ShapeKind { Box, Cylinder, Grid };

struct ShapeOptions {
    ShapeKind kind = ShapeKind::Grid;
    int size = 1;        // grid: quads a side; box: quads a face side; cylinder: segments round
    int materials = 1;   // materials the triangles are spread over
    std::string texture; // texture name of the first material, empty for none
};

// Vertices and triangles of a shape of the given size (the counts the geometry will have).
std::int64_t ShapeVertexCount(ShapeKind kind, int size);
std::int64_t ShapeTriangleCount(ShapeKind kind, int size);

// The geometry (one morph target with its bounding sphere, its material list) of a shape.
GeometryDesc ShapeGeometry(const ShapeOptions& options);
// A clump of one atomic with that geometry on one frame.
ClumpDesc ModelClump(const ShapeOptions& options);

} // namespace mkasset
