#pragma once
// Procedural levels for the asset builder: a floor of M x M metres with walls round it and box
// blocks standing on it (cover for soldiers), textured, with prelit colours and normals, split
// by an axis-aligned tree until no atomic sector holds more than a given number of triangles.

#include <cstdint>
#include <vector>

#include "tools/mkasset/world_writer.h"

namespace mkasset {

// Height of the walls, and the default range of the blocks' heights (from a soldier's height up; a
// block meant to hide a standing soldier must rise clearly above his eyes, see blockMinHeight).
inline constexpr float kLevelWallHeight = 4.0f;
inline constexpr float kLevelBlockMinHeight = 1.8f;
inline constexpr float kLevelBlockMaxHeight = 3.0f;

// A block standing on the floor: its lower and upper corners (metres, y up).
struct LevelBlock {
    float min[3];
    float max[3];
};

struct LevelOptions {
    std::uint32_t seed = 1;
    int size = 32;     // floor side in metres (centred on the origin)
    int boxes = 12;    // box blocks on the floor
    int maxTris = 255; // triangles an atomic sector may hold
    // Blocks are this high and up to 1.2 metres higher, in steps of 0.1.
    float blockMinHeight = kLevelBlockMinHeight;
    // Blocks placed by hand, standing after the seed's.
    std::vector<LevelBlock> placed = {};
};

// Limits of the options.
inline constexpr int kLevelMinSize = 4;
inline constexpr int kLevelMaxSize = 512;
inline constexpr int kLevelMaxBoxes = 10000;
inline constexpr int kLevelMaxTris = 21845; // three vertices a triangle must stay below 65536

// The blocks of the level, in the order the world holds them. The same options give the same blocks.
std::vector<LevelBlock> LevelBlocks(const LevelOptions& options);

// The level's world: materials floor, wall and block (textured by those names), format flags
// positions, one texture set, prelit colours, normals and light, plane sectors with their own
// left and right values. The same options give the same world.
WorldDesc LevelWorld(const LevelOptions& options);

} // namespace mkasset
