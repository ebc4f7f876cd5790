#pragma once
// Collision-tree builder: a two-way tree over a geometry's triangles for the collision plugin's
// walks, with the overlapping ranges of the node layout and a triangle map; written as the
// plugin's extension body (0x11D). Each split takes the centre order along x, y or z and the
// position that give the smallest sum of each side's triangle count times its box's surface area
// (the sides a line is least likely to have to test both of); deep down it halves at the median
// centre along the largest axis, so that no path outgrows the walks' stacks.

#include <array>
#include <cstdint>
#include <vector>

#include "tools/mkasset/chunk_writer.h"
#include "tools/mkasset/world_writer.h"

namespace mkasset {

inline constexpr std::uint32_t kCollisionId = 0x11D;
inline constexpr std::uint32_t kCollisionChunk = 44;
inline constexpr std::uint8_t kCollisionNodeRef = 255;
inline constexpr int kCollisionMaxLeaf = 254;

struct CollisionRef {
    std::uint8_t flags = 0; // split axis as byte offset 0, 4 or 8 (bits 2-3)
    std::uint8_t kind = 0;  // 255 node, else the leaf's triangle count
    std::uint16_t index = 0;
};
struct CollisionNode {
    CollisionRef left;
    float leftMax = 0;
    CollisionRef right;
    float rightMin = 0;
};
struct CollisionTree {
    float inf[3] = {0, 0, 0};
    float sup[3] = {0, 0, 0};
    std::uint32_t numTriangles = 0;
    std::vector<CollisionNode> nodes; // root first; empty: one leaf of every triangle
    std::vector<std::uint16_t> map;   // map position -> triangle index
};

// Builds the tree over the triangles (3 vertex indices each into xyz positions); leaves hold at
// most maxLeaf triangles (clamped to 1..254). At most 65535 triangles.
CollisionTree BuildCollisionTree(const std::vector<float>& positions,
                                 const std::vector<std::array<std::uint16_t, 3>>& triangles, int maxLeaf);
// The extension sub-chunk body: version word, chunk 44 with its struct chunk, header, nodes, map.
Bytes CollisionBody(const CollisionTree& tree);
inline Extension CollisionExtension(const CollisionTree& tree) { return {kCollisionId, CollisionBody(tree)}; }

// Leaf size of the trees the asset builder writes.
inline constexpr int kCollisionDefaultLeaf = 8;
// Gives every atomic sector of the world (and the geometry, over its first morph target) the
// collision data of its triangles, replacing any it carried. A set of more than 65535 triangles
// cannot be mapped: FALSE and nothing changed.
bool AddWorldCollision(WorldDesc& world, int maxLeaf = kCollisionDefaultLeaf);
bool AddGeometryCollision(GeometryDesc& geometry, int maxLeaf = kCollisionDefaultLeaf);

} // namespace mkasset
