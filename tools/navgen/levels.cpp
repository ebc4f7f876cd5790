#include "tools/navgen/levels.h"

#include <cstdio>
#include <random>

namespace navgen {

namespace {

constexpr float kHalf = 15.0f; // half the room's side
constexpr float kWallHeight = 3.0f;
constexpr float kWallThickness = 0.2f;

void AddBox(Level* level, float x0, float y0, float z0, float x1, float y1, float z1) {
    level->boxes.push_back(LevelBox{{x0, y0, z0}, {x1, y1, z1}});
}

// Floor slab (top at y = 0) and the four outer walls.
void AddRoom(Level* level, bool withFloor) {
    if (withFloor)
        AddBox(level, -kHalf, -1.0f, -kHalf, kHalf, 0.0f, kHalf);
    const float t = kWallThickness;
    AddBox(level, -kHalf - t, -1.0f, -kHalf - t, kHalf + t, kWallHeight, -kHalf);
    AddBox(level, -kHalf - t, -1.0f, kHalf, kHalf + t, kWallHeight, kHalf + t);
    AddBox(level, -kHalf - t, -1.0f, -kHalf, -kHalf, kWallHeight, kHalf);
    AddBox(level, kHalf, -1.0f, -kHalf, kHalf + t, kWallHeight, kHalf);
}

void SetBounds(Level* level) {
    level->boundsMin[0] = -kHalf;
    level->boundsMin[1] = -2.0f;
    level->boundsMin[2] = -kHalf;
    level->boundsMax[0] = kHalf;
    level->boundsMax[1] = kWallHeight + 1.0f;
    level->boundsMax[2] = kHalf;
}

void BuildMaze(Level* level, std::uint32_t seed) {
    constexpr int kCells = 5;
    constexpr float kCell = 2.0f * kHalf / kCells;
    // Walls between neighbouring cells; a random depth-first walk opens a spanning tree of passages.
    bool openEast[kCells][kCells] = {};  // between (c, r) and (c + 1, r)
    bool openSouth[kCells][kCells] = {}; // between (c, r) and (c, r + 1)
    bool visited[kCells][kCells] = {};
    std::mt19937 random(seed);
    std::vector<std::pair<int, int>> stack{{0, 0}};
    visited[0][0] = true;
    while (!stack.empty()) {
        auto [c, r] = stack.back();
        std::vector<int> choices;
        const int dc[4] = {1, -1, 0, 0};
        const int dr[4] = {0, 0, 1, -1};
        for (int d = 0; d < 4; ++d) {
            int nc = c + dc[d], nr = r + dr[d];
            if (nc >= 0 && nr >= 0 && nc < kCells && nr < kCells && !visited[nc][nr])
                choices.push_back(d);
        }
        if (choices.empty()) {
            stack.pop_back();
            continue;
        }
        int d = choices[random() % choices.size()];
        int nc = c + dc[d], nr = r + dr[d];
        if (d == 0)
            openEast[c][r] = true;
        else if (d == 1)
            openEast[nc][r] = true;
        else if (d == 2)
            openSouth[c][r] = true;
        else
            openSouth[c][nr] = true;
        visited[nc][nr] = true;
        stack.push_back({nc, nr});
    }
    const float h = kWallThickness * 0.5f;
    for (int c = 0; c < kCells; ++c) {
        for (int r = 0; r < kCells; ++r) {
            const float x0 = -kHalf + c * kCell, z0 = -kHalf + r * kCell;
            if (c + 1 < kCells && !openEast[c][r])
                AddBox(level, x0 + kCell - h, -1.0f, z0 - h, x0 + kCell + h, kWallHeight, z0 + kCell + h);
            if (r + 1 < kCells && !openSouth[c][r])
                AddBox(level, x0 - h, -1.0f, z0 + kCell - h, x0 + kCell + h, kWallHeight, z0 + kCell + h);
        }
    }
    level->start[0] = -kHalf + kCell * 0.5f;
    level->start[2] = -kHalf + kCell * 0.5f;
}

} // namespace

const std::vector<std::string>& LevelNames() {
    static const std::vector<std::string> names{"open_room", "two_rooms", "pit", "maze"};
    return names;
}

bool MakeLevel(const std::string& name, std::uint32_t seed, Level* level) {
    *level = Level();
    level->name = name;
    SetBounds(level);
    if (name == "open_room") {
        AddRoom(level, true);
    } else if (name == "two_rooms") {
        AddRoom(level, true);
        level->wallX = 0.0f;
        level->gapMin = -1.0f;
        level->gapMax = 1.0f;
        const float h = kWallThickness * 0.5f;
        AddBox(level, -h, -1.0f, -kHalf, h, kWallHeight, level->gapMin);
        AddBox(level, -h, -1.0f, level->gapMax, h, kWallHeight, kHalf);
        level->start[0] = -7.0f;
    } else if (name == "pit") {
        AddRoom(level, false);
        // The floor around the opening reaches down to the pit's bottom, so the pit has walls.
        const float p = 3.0f, depth = 10.0f;
        AddBox(level, -kHalf, -depth, -kHalf, -p, 0.0f, kHalf);
        AddBox(level, p, -depth, -kHalf, kHalf, 0.0f, kHalf);
        AddBox(level, -p, -depth, -kHalf, p, 0.0f, -p);
        AddBox(level, -p, -depth, p, p, 0.0f, kHalf);
        AddBox(level, -p, -depth - 1.0f, -p, p, -depth, p);
        level->pitMin[0] = level->pitMin[1] = -p;
        level->pitMax[0] = level->pitMax[1] = p;
        level->start[0] = -8.0f;
        level->boundsMin[1] = -depth - 2.0f;
    } else if (name == "maze") {
        AddRoom(level, true);
        BuildMaze(level, seed);
    } else {
        return false;
    }
    return true;
}

bool WriteLevelText(const std::string& path, const Level& level) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr)
        return false;
    bool ok = true;
    for (const LevelBox& box : level.boxes) {
        ok = std::fprintf(file, "box %g %g %g %g %g %g\n", double(box.min[0]), double(box.min[1]), double(box.min[2]),
                          double(box.max[0]), double(box.max[1]), double(box.max[2])) > 0 &&
             ok;
    }
    return std::fclose(file) == 0 && ok;
}

} // namespace navgen
