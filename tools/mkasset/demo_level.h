#pragma once
// The level of mkasset demo: its measures, the seed's blocks and the cover placed by hand, shared
// by the tool and the tests that check what it wrote.

#include <cstdint>

#include "tools/mkasset/level_builder.h"

namespace mkasset {

inline constexpr int kDemoSize = 36;
inline constexpr int kDemoBlocks = 16;
// A soldier's eyes are 1.8 metres up: a block as high as that hides him only by a grazing line.
inline constexpr float kDemoBlockMinHeight = 2.3f;

// The level for the seed: kDemoBlocks blocks of the seed, then walls that hide most of the ground
// away from the player's start (the origin) from him, with gaps that let the bots through. The
// player sees past none of them: beyond each wall, or behind a second one facing its gap, a soldier
// is covered. They leave the bots' starting strip, the level objects in the north-east, the first
// view (from the north of the strip, looking south-west) and the bumper's throw free.
inline LevelOptions DemoLevelOptions(std::uint32_t seed) {
    LevelOptions options;
    options.seed = seed;
    options.size = kDemoSize;
    options.boxes = kDemoBlocks;
    options.blockMinHeight = kDemoBlockMinHeight;
    options.placed = {
        // North: along z = 8, from x = -16 to -12 and from -10 to 3.5 (gaps by the west wall, at
        // x = -12 to -10, whose line of sight leaves the level, and east of 3.5).
        {{-16.0f, 0.0f, 8.0f}, {-12.0f, 2.8f, 8.5f}},
        {{-10.0f, 0.0f, 8.0f}, {3.5f, 2.8f, 8.5f}},
        // West: along x = -8 from z = 2.5 to 6.5, between the strip and the north wall.
        {{-8.0f, 0.0f, 2.5f}, {-7.5f, 2.6f, 6.5f}},
        // East: along x = 11.5 from z = -10 to 2.5, the ground by the east wall behind it.
        {{11.5f, 0.0f, -10.0f}, {12.0f, 2.8f, 2.5f}},
        // South-east: along z = -10 from x = 3.5 to 16, and a short wall behind the gap at its
        // west end, from the corner of the seed's block west of that gap (no slit between them for
        // a soldier to wedge in).
        {{3.5f, 0.0f, -10.0f}, {16.0f, 2.6f, -9.5f}},
        {{1.5f, 0.0f, -12.5f}, {5.0f, 2.5f, -12.0f}},
    };
    return options;
}

} // namespace mkasset
