// mkasset level: a world of a floor, walls round it and box blocks, split into atomic sectors.

#include <string>

#include "tools/mkasset/collision_tree.h"
#include "tools/mkasset/commands.h"
#include "tools/mkasset/level_builder.h"

namespace mkasset {

namespace {

constexpr const char* kName = "level";

// Parses a whole number within [lo, hi] for the option; false after naming it on standard error.
bool Bounded(const std::string& option, const char* value, int lo, int hi, int* out) {
    if (!ParseInt(value, out) || *out < lo || *out > hi) {
        Fail(kName, kExitUsage,
             "bad " + option + " '" + value + "' (a whole number from " + std::to_string(lo) + " to " +
                 std::to_string(hi) + ")");
        return false;
    }
    return true;
}

} // namespace

void LevelUsage(std::FILE* out) {
    std::fprintf(out, "usage: mkasset level --seed S [--size M] [--boxes K] [--max-tris N] [--no-collision]\n"
                      "                     --out FILE.bsp\n"
                      "  Writes a world: a floor of M x M metres centred on the origin (default 32) cut into\n"
                      "  metre tiles, walls 4 metres high round it facing in, and K box blocks (default 12) of\n"
                      "  1 to 3 metres a side and 1.8 to 3 metres high placed by the seed S (0 to 2147483647),\n"
                      "  none within 2.5 metres of the origin. Materials floor, wall and block are textured by\n"
                      "  those names; vertices carry normals, prelit colours and one texture set. The level\n"
                      "  is split along x, y and z at the median triangle until no atomic sector holds more\n"
                      "  than N triangles (default 255, at most 21845). Each atomic sector carries collision\n"
                      "  data (a tree over its triangles, leaves of at most 8) unless --no-collision is given.\n"
                      "  The same arguments give the same bytes.\n"
                      "  --size M     4 to 512\n"
                      "  --boxes K    0 to 10000\n"
                      "  Exit status 0 on success, 1 when the file cannot be written, 2 on bad usage.\n");
}

int RunLevel(int argc, char** argv) {
    LevelOptions options;
    bool haveSeed = false;
    std::string out;
    bool collision = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-collision") {
            collision = false;
            continue;
        }
        if (i + 1 >= argc) {
            return Fail(kName, kExitUsage, "missing value after " + arg);
        }
        const char* value = argv[++i];
        int n = 0;
        if (arg == "--seed") {
            if (!Bounded(arg, value, 0, 0x7FFFFFFF, &n)) {
                return kExitUsage;
            }
            options.seed = static_cast<std::uint32_t>(n);
            haveSeed = true;
        } else if (arg == "--size") {
            if (!Bounded(arg, value, kLevelMinSize, kLevelMaxSize, &options.size)) {
                return kExitUsage;
            }
        } else if (arg == "--boxes") {
            if (!Bounded(arg, value, 0, kLevelMaxBoxes, &options.boxes)) {
                return kExitUsage;
            }
        } else if (arg == "--max-tris") {
            if (!Bounded(arg, value, 1, kLevelMaxTris, &options.maxTris)) {
                return kExitUsage;
            }
        } else if (arg == "--out") {
            out = value;
        } else {
            return Fail(kName, kExitUsage, "unknown argument " + arg);
        }
    }
    if (!haveSeed || out.empty()) {
        return Fail(kName, kExitUsage, !haveSeed ? "--seed is required" : "--out is required");
    }
    WorldDesc world = LevelWorld(options);
    // Sectors hold at most kLevelMaxTris triangles, well within what a collision map can name.
    if (collision && !AddWorldCollision(world)) {
        return Fail(kName, kExitFailed, "cannot build the sectors' collision data");
    }
    return WriteFile(kName, out, WorldFile(world)) ? kExitOk : kExitFailed;
}

} // namespace mkasset
