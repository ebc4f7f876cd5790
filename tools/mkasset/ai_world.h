#pragma once
// The demo's AI world file (".AIS") for a procedural level: the AI engine's graph generator explores
// the level's solids (floor, walls and blocks) with a walker of a soldier's size, and its final graph
// with the nearest-vertex, path-cost and route data becomes "MoveGraph" of a world that defines the
// player, the soldiers' brain, agents and services, their team and the scheduler's tasks.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/mkasset/level_builder.h"
#include "tools/mkasset/level_objects_scene.h"
#include "tools/navgen/levels.h"

namespace mkasset {

// The level's solids as the generator's host tests them: a floor slab under y = 0, the four walls
// (thickened outwards), the blocks, and a box as high as the walls over each obstacle's ground.
// The walker starts at the origin, which blocks keep clear of (a world file may move it).
navgen::Level AiLevelOf(const LevelOptions& options, const std::vector<Footprint>& obstacles = {});

// What the world file is made for besides the level.
struct AiWorldSettings {
    int maxEntity = 64;               // "MaxEntity": the player and the bots
    float walkerWidth = 0.6f;         // the generator walker's width (metres): the widest soldier's room
    float radiusAverage = 2.5f;       // the generator's "RADIUS_AVERAGE" (metres): the graph's spacing
    float maxValidEdge = 0.0f;        // the generator's longest edge (metres); 0: its own (3 x radiusAverage)
    std::vector<Footprint> obstacles; // ground the level's objects stand on or reach
    float start[2] = {0.0f, 0.0f};    // x, z of the walker's start: ground no block or obstacle covers
};

struct AiWorldFigures {
    int vertices = 0;       // of the generated graph
    int edges = 0;          // of the generated graph
    double simulated = 0.0; // seconds the generator ran
    long queries = 0;       // line queries it asked
};

// Runs the generator for the level in workDir (created when missing; its files stay there) and
// encodes the world file into out. false with a message when the folder cannot be made, the
// generator fails or builds an empty graph, or a data file cannot be read back.
bool BuildDemoAiWorld(const LevelOptions& options, const std::string& workDir, std::vector<std::uint8_t>& out,
                      std::string& error, AiWorldFigures* figures = nullptr,
                      const AiWorldSettings& settings = AiWorldSettings{});

} // namespace mkasset
