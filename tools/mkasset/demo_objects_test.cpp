// mkasset demo's level objects, read back from the folder it writes: one of each, and the ground
// each takes up (its points widened by its reach) clear of every block of the level the tool
// reports, of the bots' starting ground and of the player's start.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "testing/scratch_dir.h"
#include "testing/tool_run.h"
#include "tools/mkasset/level_builder.h"

namespace {

std::string Contents(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The attributes of one tag ("<Name a="1" b="2"/>" from its name on).
std::map<std::string, float> Attributes(const std::string& tag) {
    std::map<std::string, float> out;
    for (std::size_t eq = tag.find("=\""); eq != std::string::npos; eq = tag.find("=\"", eq + 2)) {
        const std::size_t start = tag.rfind(' ', eq) + 1;
        out[tag.substr(start, eq - start)] = std::strtof(tag.c_str() + eq + 2, nullptr);
    }
    return out;
}

// Ground on the x-z plane.
struct Box {
    float min[2] = {1e30f, 1e30f};
    float max[2] = {-1e30f, -1e30f};
    void Add(float x, float z, float reach) {
        min[0] = std::min(min[0], x - reach);
        min[1] = std::min(min[1], z - reach);
        max[0] = std::max(max[0], x + reach);
        max[1] = std::max(max[1], z + reach);
    }
    bool Overlaps(const float lo[2], const float hi[2]) const {
        return max[0] > lo[0] && min[0] < hi[0] && max[1] > lo[1] && min[1] < hi[1];
    }
};

// The element's box: every point its tags give (attributes PREFIXx with PREFIXz, except the
// switch's normal nx, nz and a plane's normal and right), widened by reach (and by half a plane's length).
Box GroundOf(const std::string& config, const std::string& element, float reach, int* count) {
    Box box;
    *count = 0;
    const bool section = element.rfind("Collision", 0) == 0;
    const std::string key = "<" + element + (section ? ">" : " ");
    for (std::size_t at = config.find(key); at != std::string::npos; at = config.find(key, at + 1)) {
        ++*count;
        const std::size_t end = section ? config.find("</" + element, at) : config.find("/>", at);
        const std::string text = config.substr(at, end - at);
        float widen = reach;
        for (std::size_t tag = text.find('<', 1); tag != std::string::npos; tag = text.find('<', tag + 1)) {
            if (text.compare(tag, 7, "<Length") == 0) {
                widen += Attributes(text.substr(tag, text.find('>', tag) - tag))["value"] / 2.0f;
            }
        }
        for (std::size_t tag = 0; tag != std::string::npos; tag = text.find('<', tag + 1)) {
            const std::string one = text.substr(tag, text.find_first_of(">", tag) - tag);
            if (one.rfind("<Normal", 0) == 0 || one.rfind("<Right", 0) == 0) {
                continue;
            }
            const std::map<std::string, float> attributes = Attributes(one);
            for (const auto& [name, value] : attributes) {
                const auto z = attributes.find(name.substr(0, name.size() - 1) + "z");
                if (name.back() == 'x' && name != "nx" && z != attributes.end()) {
                    box.Add(value, z->second, 0.0f);
                }
            }
        }
        box.Add(box.min[0], box.min[1], widen);
        box.Add(box.max[0], box.max[1], widen);
    }
    return box;
}

TEST(MkassetDemoObjects, OneOfEachStandsOnFreeGround) {
    const std::filesystem::path dir = MakeTestScratchDir("dun_mkasset_demo_objects");
    const ToolRun run = RunTool(MKASSET_PROGRAM, "demo --out " + dir.string());
    ASSERT_EQ(run.status, 0) << run.output;
    const std::size_t seedAt = run.output.find("level seed ");
    ASSERT_NE(seedAt, std::string::npos) << run.output;
    mkasset::LevelOptions level;
    level.size = 36;
    level.boxes = 16;
    level.blockMinHeight = 2.3f;
    level.seed = static_cast<std::uint32_t>(std::strtoul(run.output.c_str() + seedAt + 11, nullptr, 10));
    const std::vector<mkasset::LevelBlock> blocks = mkasset::LevelBlocks(level);
    ASSERT_EQ(blocks.size(), 16u);
    const std::string config = Contents(dir / "config.xml");

    // The bots stand from their first position on, each next up to 4 metres east and 1 north;
    // the player keeps the level's clear 2.5 metres round the origin.
    const std::map<std::string, float> bots = Attributes(config.substr(config.find("<Bots ")));
    const std::string botStart = config.substr(config.find("<InitialPosition", config.find("<Bots ")));
    std::map<std::string, float> first = Attributes(botStart.substr(0, botStart.find("/>")));
    const float n = bots.at("number");
    const float startLo[2] = {first["x"] - 0.6f, first["z"] - 0.6f};
    const float startHi[2] = {first["x"] + 4.0f * n + 0.6f, first["z"] + n + 0.6f};
    const float playerLo[2] = {-2.5f, -2.5f}, playerHi[2] = {2.5f, 2.5f};

    const struct {
        const char* element;
        float reach;
    } objects[] = {{"Switch", 0.5f},     {"Lift", 1.0f},           {"LaserBeam", 0.1f},
                   {"Teleporter", 1.0f}, {"Bumper", 2.0f},         {"JumpHelper", 0.5f},
                   {"Door", 2.0f},       {"CollisionPlane", 0.5f}, {"CollisionTriangle", 0.5f}};
    for (const auto& o : objects) {
        int count = 0;
        const Box ground = GroundOf(config, o.element, o.reach, &count);
        ASSERT_EQ(count, 1) << o.element;
        for (const mkasset::LevelBlock& b : blocks) {
            const float lo[2] = {b.min[0], b.min[2]}, hi[2] = {b.max[0], b.max[2]};
            EXPECT_FALSE(ground.Overlaps(lo, hi)) << o.element << " on the block at " << b.min[0] << ", " << b.min[2];
        }
        EXPECT_FALSE(ground.Overlaps(startLo, startHi)) << o.element << " on the bots' start";
        EXPECT_FALSE(ground.Overlaps(playerLo, playerHi)) << o.element << " at the player's start";
    }
    // The oracle does see blocks: the bumper's ground widened over the whole level meets them.
    int count = 0;
    const Box all = GroundOf(config, "Bumper", 40.0f, &count);
    EXPECT_TRUE(std::any_of(blocks.begin(), blocks.end(), [&](const mkasset::LevelBlock& b) {
        const float lo[2] = {b.min[0], b.min[2]}, hi[2] = {b.max[0], b.max[2]};
        return all.Overlaps(lo, hi);
    }));
    std::filesystem::remove_all(dir);
}

} // namespace
