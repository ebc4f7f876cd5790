#pragma once
// The demo's AI world file (".AIS") for a procedural level: the AI engine's graph generator explores
// the level's solids (floor, walls and blocks) with a walker of a soldier's size, and its final graph
// with the nearest-vertex, path-cost and route data becomes "MoveGraph" of a world that defines the
// player, the soldiers' brain, agents and services, their team and the scheduler's tasks.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/mkasset/level_builder.h"
#include "tools/navgen/levels.h"

namespace mkasset {

// The level's solids as the generator's host tests them: a floor slab under y = 0, the four walls
// (thickened outwards) and the blocks. The walker starts at the origin, which blocks keep clear of.
navgen::Level AiLevelOf(const LevelOptions& options);

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
                      std::string& error, AiWorldFigures* figures = nullptr);

} // namespace mkasset
