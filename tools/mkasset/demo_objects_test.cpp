// mkasset demo's level objects, read back from the folder it writes: one of each, and the ground
// each takes up (its points widened by its reach) clear of every block of the level the tool
// reports (the seed's and the walls placed for cover), of the bots' starting ground and of the
// player's start; and the bots' graph clear of the loose bodies of the "Physics" section.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "testing/scratch_dir.h"
#include "testing/tool_run.h"
#include "tools/ais_format/ais_format.h"
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

// The folder mkasset demo writes, made once for the suite: what the tool said, config.xml and
// the AI world file.
class MkassetDemoObjects : public testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::filesystem::path dir = MakeTestScratchDir("dun_mkasset_demo_objects");
        const ToolRun run = RunTool(MKASSET_PROGRAM, "demo --out " + dir.string());
        status = run.status;
        output = run.output;
        std::ifstream file(dir / "config.xml", std::ios::binary);
        config.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        std::string error;
        AisFormat::ReadWholeFile((dir / "ai" / "dunmarrow.ais").string(), aiWorld, error);
        std::filesystem::remove_all(dir);
    }
    void SetUp() override { ASSERT_EQ(status, 0) << output; }

    static inline int status = -1;
    static inline std::string output;
    static inline std::string config;
    static inline std::vector<std::uint8_t> aiWorld;
};

TEST_F(MkassetDemoObjects, OneOfEachStandsOnFreeGround) {
    const std::size_t seedAt = output.find("level seed ");
    ASSERT_NE(seedAt, std::string::npos) << output;
    const mkasset::LevelOptions level =
        mkasset::DemoLevelOptions(static_cast<std::uint32_t>(std::strtoul(output.c_str() + seedAt + 11, nullptr, 10)));
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

// The value of the attribute name="..." in text, as a number; NaN when missing.
float NumberAttribute(const std::string& text, const std::string& name) {
    const std::size_t at = text.find(" " + name + "=\"");
    return at == std::string::npos ? NAN : std::strtof(text.c_str() + at + name.size() + 3, nullptr);
}

// A loose body's outline on the floor: a box's half sizes turned by angle degrees about the
// vertical, or a ball's radius.
struct Outline {
    float x = 0.0f, z = 0.0f;
    float halfX = 0.0f, halfZ = 0.0f, angle = 0.0f;
    float radius = -1.0f; // a ball when not negative
    // Distance on the floor from the point to the outline (negative inside).
    float Distance(float px, float pz) const {
        const float dx = px - x, dz = pz - z;
        if (radius >= 0.0f) {
            return std::hypot(dx, dz) - radius;
        }
        const float t = angle * 3.14159265f / 180.0f;
        const float u = std::fabs(dx * std::cos(t) - dz * std::sin(t)) - halfX;
        const float v = std::fabs(dx * std::sin(t) + dz * std::cos(t)) - halfZ;
        return u > 0.0f || v > 0.0f ? std::hypot(std::max(u, 0.0f), std::max(v, 0.0f)) : std::max(u, v);
    }
};

// The "Physics" section's instances (boxes turned about the vertical, and the framework's ball
// of radius 0.5), read from the configuration.
std::vector<Outline> LooseBodies(const std::string& config) {
    std::vector<Outline> bodies;
    for (std::size_t at = config.find("<Instance "); at != std::string::npos; at = config.find("<Instance ", at + 1)) {
        const std::string instance = config.substr(at, config.find("/>", at) - at);
        const std::size_t nameAt = instance.find("model=\"") + 7;
        const std::string model = instance.substr(nameAt, instance.find('"', nameAt) - nameAt);
        Outline o;
        o.x = NumberAttribute(instance, "px");
        o.z = NumberAttribute(instance, "pz");
        const std::size_t box = config.find("<Box name=\"" + model + "\"");
        if (box == std::string::npos) {
            EXPECT_NE(config.find("<Sphere name=\"" + model + "\""), std::string::npos) << instance;
            o.radius = 0.5f;
        } else {
            const std::string definition = config.substr(box, config.find("/>", box) - box);
            o.halfX = NumberAttribute(definition, "dx");
            o.halfZ = NumberAttribute(definition, "dz");
            EXPECT_TRUE(NumberAttribute(instance, "ox") == 0.0f && NumberAttribute(instance, "oz") == 0.0f)
                << "a box turned about the vertical only: " << instance;
            o.angle = NumberAttribute(instance, "angle") * (NumberAttribute(instance, "oy") < 0.0f ? -1.0f : 1.0f);
        }
        bodies.push_back(o);
    }
    return bodies;
}

// The graph was made on the level without the crates and the ball: an edge through a crate's
// place walked it, before the soldier following the edge, metres across the floor, and a soldier
// stood in it where a vertex lay under it. Every vertex and edge keeps a soldier's room (his
// sphere's radius 0.4 and 0.1 to spare) off every body as placed.
TEST_F(MkassetDemoObjects, TheGraphKeepsASoldiersRoomOffTheLooseBodies) {
    std::string error;
    AisFormat::Document world;
    ASSERT_TRUE(AisFormat::Decode(aiWorld.data(), aiWorld.size(), world, error)) << error;
    const std::vector<Outline> bodies = LooseBodies(config);
    ASSERT_EQ(bodies.size(), 4u);

    // "MoveGraph"'s block, the first: magic, version, radius, the vertices (x, y, z and two
    // counts), the edges (two vertex numbers).
    ASSERT_FALSE(world.blocks.empty());
    const std::vector<std::uint8_t>& graph = world.blocks[0];
    const auto word = [&graph](std::size_t at) {
        std::uint32_t w = 0;
        if (at + 4 <= graph.size()) {
            std::memcpy(&w, graph.data() + at, 4);
        }
        return w;
    };
    const auto number = [&word](std::size_t at) {
        const std::uint32_t w = word(at);
        float f = 0.0f;
        std::memcpy(&f, &w, 4);
        return f;
    };
    ASSERT_GE(graph.size(), 37u);
    ASSERT_EQ(std::string(graph.begin(), graph.begin() + 21), "Quelmor Spatial graph");
    const std::uint32_t vertices = word(29);
    ASSERT_GE(graph.size(), 37u + 20u * vertices);
    const std::size_t edgesAt = 33u + 20u * vertices;
    const std::uint32_t edges = word(edgesAt);
    ASSERT_EQ(graph.size(), edgesAt + 4u + 8u * edges);
    ASSERT_GT(edges, vertices);
    const auto x = [&](std::uint32_t v) { return number(33u + 20u * v); };
    const auto z = [&](std::uint32_t v) { return number(33u + 20u * v + 8u); };

    constexpr float kRoom = 0.5f;
    for (std::uint32_t v = 0; v < vertices; ++v) {
        for (const Outline& body : bodies) {
            EXPECT_GE(body.Distance(x(v), z(v)), kRoom) << "vertex " << v << " at " << x(v) << ", " << z(v);
        }
    }
    for (std::uint32_t e = 0; e < edges; ++e) {
        const std::uint32_t a = word(edgesAt + 4u + 8u * e), b = word(edgesAt + 8u + 8u * e);
        ASSERT_TRUE(a < vertices && b < vertices) << "edge " << e;
        // Points every 2 cm along the edge.
        const int steps = 1 + static_cast<int>(std::hypot(x(b) - x(a), z(b) - z(a)) / 0.02f);
        float nearest = INFINITY;
        for (const Outline& body : bodies) {
            for (int k = 0; k <= steps; ++k) {
                const float t = static_cast<float>(k) / static_cast<float>(steps);
                nearest = std::min(nearest, body.Distance(x(a) + t * (x(b) - x(a)), z(a) + t * (z(b) - z(a))));
            }
        }
        EXPECT_GE(nearest, kRoom) << "edge " << a << " - " << b;
    }
}

} // namespace
