#pragma once
// Tests of the level runtime: the graphics engine up on the null driver with the world,
// collision and physics-body plugins, a scratch folder as the working folder (so files are named
// without folders), the error box's messages read back, and generated level files.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "framework/world_manager.h"
#include "graphics/core/engine.h"
#include "graphics/core/vector.h"
#include "tools/mkasset/level_builder.h"
#include "tools/mkasset/shapes.h"

// A triangle of a generated level in world coordinates, as the file holds it.
struct LevelTriangle {
    OvV3d a, b, c;
};

// Every triangle of a world description.
std::vector<LevelTriangle> TrianglesOf(const mkasset::WorldDesc& world);

// The warnings' lines of what standard error took (the error boxes go there too).
inline std::string WarningsOf(const std::string& said) {
    std::string warnings;
    for (std::size_t at = 0; at < said.size();) {
        const std::size_t end = said.find('\n', at) == std::string::npos ? said.size() : said.find('\n', at) + 1;
        if (said.compare(at, 9, "Warning: ") == 0) {
            warnings += said.substr(at, end - at);
        }
        at = end;
    }
    return warnings;
}

class LevelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // The driver the engine runs on (null: the null driver).
    virtual const OvDriver* Driver() const { return nullptr; }

    // The error box's messages so far.
    std::string Messages() const;
    // Writes the bytes into the scratch folder under the name.
    void WriteBytes(const std::string& name, const mkasset::Bytes& bytes) const;
    // Writes a level file (the world, its sectors with collision trees unless told not to, then
    // the clumps) and returns the world written.
    mkasset::WorldDesc WriteLevel(const std::string& name, const mkasset::LevelOptions& options,
                                  const std::vector<mkasset::ClumpDesc>& clumps = {}, bool collision = true) const;
    // What a character's gun loads: the flash "MODELS/FIRE.DFF" (a unit box) and the particle
    // image "MODELS/TEXTURES/PARTICLE.PNG" (4 x 4 white; reading it needs a driver with rasters),
    // and the rock "MODELS/REVOLUTION/ROCK.DFF" (a unit box).
    void WriteGunAssets() const;
    // A world manager made the current one (deleted at tear-down).
    CWorldManager* MakeManager(float scale = 1.0f);
    // A new current world manager with the level written as "level.bsp" loaded into world 0; an
    // open level is a floor of the size without blocks.
    CWorldManager* LoadLevel(const mkasset::LevelOptions& options, const std::vector<mkasset::ClumpDesc>& clumps = {});
    CWorldManager* LoadOpenLevel(int size, const std::vector<mkasset::ClumpDesc>& clumps = {}, std::uint32_t seed = 1);

    std::string dir;
    std::string previousDir;
    std::string logPath;
};

// A unit box clump (edges 1, centred on its frame) placed at the position.
mkasset::ClumpDesc BoxClumpAt(float x, float y, float z);
