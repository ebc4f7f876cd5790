#pragma once
// Procedural levels of the graph generator tool: axis-aligned solid boxes (y up, metres), where the
// generator entity starts, and the box the generator keeps its points in.

#include <cstdint>
#include <string>
#include <vector>

namespace navgen {

struct LevelBox {
    float min[3]; // lower corner x, y, z
    float max[3]; // upper corner x, y, z
};

struct Level {
    std::string name;
    std::vector<LevelBox> boxes;
    float start[3] = {0.0f, 0.0f, 0.0f};     // feet of the generator entity
    float boundsMin[3] = {0.0f, 0.0f, 0.0f}; // bounding box of the generated points
    float boundsMax[3] = {0.0f, 0.0f, 0.0f};
    // Walls with a gap: the x of the dividing wall and the gap's z range (two_rooms), else 0.
    float wallX = 0.0f;
    float gapMin = 0.0f;
    float gapMax = 0.0f;
    // Pit: its opening (x, z ranges), else empty.
    float pitMin[2] = {0.0f, 0.0f};
    float pitMax[2] = {0.0f, 0.0f};
};

// Names of the levels MakeLevel knows.
const std::vector<std::string>& LevelNames();

// Builds the named level (30 x 30 m floor with 3 m walls around it):
//   open_room  nothing else;
//   two_rooms  a wall across x = 0 with a 2 m gap at z = -1..1;
//   pit        a 6 x 6 m pit, 10 m deep, in the middle of the floor;
//   maze       5 x 5 cells of 6 m with walls between the cells of a random spanning tree (from the seed).
// False for an unknown name.
bool MakeLevel(const std::string& name, std::uint32_t seed, Level* level);

// Writes one line "box MINX MINY MINZ MAXX MAXY MAXZ" per box; false when the file cannot be written.
bool WriteLevelText(const std::string& path, const Level& level);

} // namespace navgen
