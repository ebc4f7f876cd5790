// mkasset demo's level objects, read back from the folder it writes: one of each, and the ground
// each takes up (its points widened by its reach) clear of every block of the level the tool
// reports (the seed's and the walls placed for cover), of the bots' starting ground and of the
// player's start.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "testing/scratch_dir.h"
#include "testing/tool_run.h"
#include "tools/mkasset/demo_level.h"
#include "tools/mkasset/start_screen_help.h"

namespace {

// Ground on the x-z plane.
struct Box {
    float lo[2] = {1e30f, 1e30f};
    float hi[2] = {-1e30f, -1e30f};
    bool Overlaps(const Box& o) const {
        return hi[0] > o.lo[0] && lo[0] < o.hi[0] && hi[1] > o.lo[1] && lo[1] < o.hi[1];
    }
};

// The points of an element (each attribute NAMEx="..." with its NAMEz, but for a normal or a
// plane's right) from "<element" to the element's end, boxed and widened by reach; count is how
// many such elements there are.
Box GroundOf(const std::string& config, const std::string& element, float reach, int* count) {
    Box box;
    *count = 0;
    const bool section = element.rfind("Collision", 0) == 0;
    const std::string key = "<" + element + (section ? ">" : " ");
    for (std::size_t at = config.find(key); at != std::string::npos; at = config.find(key, at + 1), ++*count) {
        const std::string text = config.substr(at, config.find(section ? "</" : "/>", at) - at);
        for (std::size_t x = text.find("x=\""); x != std::string::npos; x = text.find("x=\"", x + 1)) {
            const std::size_t name = text.find_last_of(" <", x) + 1;
            const std::string prefix = text.substr(name, x - name);
            const std::size_t z = text.find(" " + prefix + "z=\"", x);
            if (prefix == "n" || text.compare(text.rfind('<', x), 6, "<Right") == 0 ||
                text.compare(text.rfind('<', x), 7, "<Normal") == 0 || z == std::string::npos) {
                continue;
            }
            const float p[2] = {std::strtof(text.c_str() + x + 3, nullptr),
                                std::strtof(text.c_str() + z + prefix.size() + 4, nullptr)};
            for (int a = 0; a < 2; ++a) {
                box.lo[a] = std::min(box.lo[a], p[a] - reach);
                box.hi[a] = std::max(box.hi[a], p[a] + reach);
            }
        }
    }
    return box;
}

// The start screen's help against the configuration it ships with: the "next camera" row names the
// switch sequence's modes in its order, and each mode the mouse works in has its own row.
void ExpectHelpOfTheCameras(const std::string& config) {
    const struct {
        const char* mode;
        const char* help;
    } words[] = {{"Fixed", "this fixed view"},
                 {"Follow", "follow"},
                 {"FPS", "first person"},
                 {"Path", "path"},
                 {"Free", "free"}};
    std::string order;
    const std::string sequence = config.substr(config.find("<SwitchSequence>"));
    for (std::size_t at = sequence.find("<Mode value=\""); at < sequence.find("</SwitchSequence>");
         at = sequence.find("<Mode value=\"", at + 1)) {
        const std::string mode = sequence.substr(at + 13, sequence.find('"', at + 13) - at - 13);
        for (const auto& w : words) {
            if (mode == w.mode) {
                order += order.empty() ? w.help : std::string(", ") + w.help;
            }
        }
    }
    std::string help;
    std::string rows;
    for (const std::string& line : mkasset::StartScreenHelp()) {
        help += line + "\n";
    }
    const std::size_t next = help.find("next camera: ");
    ASSERT_NE(next, std::string::npos) << help;
    std::string listed = help.substr(next + 13, help.find("\n  TAB") - next - 13);
    std::string flat;
    for (const char c : listed) {
        if (c != '\n' && !(c == ' ' && !flat.empty() && flat.back() == ' ')) {
            flat += c;
        }
    }
    EXPECT_EQ(flat, order);
    for (const char* mode : {"follow", "first person", "path", "free"}) {
        EXPECT_NE(help.find(std::string("\n  ") + mode + "  "), std::string::npos) << mode;
    }
}

TEST(MkassetDemoObjects, OneOfEachStandsOnFreeGround) {
    const std::filesystem::path dir = MakeTestScratchDir("dun_mkasset_demo_objects");
    const ToolRun run = RunTool(MKASSET_PROGRAM, "demo --out " + dir.string());
    ASSERT_EQ(run.status, 0) << run.output;
    const std::size_t seedAt = run.output.find("level seed ");
    ASSERT_NE(seedAt, std::string::npos) << run.output;
    const mkasset::LevelOptions level = mkasset::DemoLevelOptions(
        static_cast<std::uint32_t>(std::strtoul(run.output.c_str() + seedAt + 11, nullptr, 10)));
    std::ifstream file(dir / "config.xml", std::ios::binary);
    const std::string config((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::filesystem::remove_all(dir);
    ExpectHelpOfTheCameras(config);

    // 8 bots from (-15, -8), each next up to 4 metres east and 1 north; the player at the origin
    // with the level's clear 2.5 metres round him.
    ASSERT_NE(config.find("<Bots number=\"8\"><InitialPosition x=\"-15\" y=\"0.45\" z=\"-8\"/>"), std::string::npos);
    const Box keepOut[] = {{{-15.6f, -8.6f}, {-15.0f + 32.6f, 0.6f}}, {{-2.5f, -2.5f}, {2.5f, 2.5f}}};
    // Reaches: the teleporter's and bumper's, the door's swing, half the plane's 4 metres and more.
    const struct {
        const char* element;
        float reach;
    } objects[] = {{"Switch", 0.5f},     {"Lift", 1.0f},           {"LaserBeam", 0.1f},
                   {"Teleporter", 1.0f}, {"Bumper", 2.0f},         {"JumpHelper", 0.5f},
                   {"Door", 2.0f},       {"CollisionPlane", 2.5f}, {"CollisionTriangle", 0.5f}};
    for (const auto& o : objects) {
        int count = 0;
        const Box ground = GroundOf(config, o.element, o.reach, &count);
        ASSERT_EQ(count, 1) << o.element;
        for (const mkasset::LevelBlock& b : mkasset::LevelBlocks(level)) {
            EXPECT_FALSE(ground.Overlaps({{b.min[0], b.min[2]}, {b.max[0], b.max[2]}}))
                << o.element << " on the block at " << b.min[0] << ", " << b.min[2];
        }
        EXPECT_FALSE(ground.Overlaps(keepOut[0])) << o.element << " on the bots' start";
        EXPECT_FALSE(ground.Overlaps(keepOut[1])) << o.element << " at the player's start";
    }
    // The oracle sees blocks: ground over the whole level meets them.
    int count = 0;
    const mkasset::LevelBlock first = mkasset::LevelBlocks(level).front();
    EXPECT_TRUE(GroundOf(config, "Bumper", 40.0f, &count)
                    .Overlaps({{first.min[0], first.min[2]}, {first.max[0], first.max[2]}}));
}

} // namespace
