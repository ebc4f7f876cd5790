// The generator run headless on procedural levels: what the final graph must look like on each, and
// runs restarted from saved steps.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <array>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "tools/navgen/generator_run.h"
#include "tools/navgen/levels.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadBytes(const std::string& path) {
    Bytes bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        int c;
        while ((c = std::fgetc(f)) != EOF)
            bytes.push_back(static_cast<std::uint8_t>(c));
        std::fclose(f);
    }
    return bytes;
}

std::string Folder(const std::string& name) {
    std::string dir = ::testing::TempDir() + "navgen_" + std::to_string(::getpid()) + "_" + name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// A "Spatial graph" file of the given vertices and edges.
Bytes GraphFile(const std::vector<std::array<float, 3>>& vertices,
                const std::vector<std::array<std::uint32_t, 2>>& edges) {
    Bytes b;
    auto u32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    auto f32 = [&](float f) {
        std::uint32_t v;
        std::memcpy(&v, &f, 4);
        u32(v);
    };
    for (char c : std::string("Quelmor Spatial graph"))
        b.push_back(static_cast<std::uint8_t>(c));
    u32(1);
    f32(10.0f);
    u32(static_cast<std::uint32_t>(vertices.size()));
    for (std::uint32_t v = 0; v < vertices.size(); ++v) {
        std::uint32_t in = 0, out = 0;
        for (const auto& e : edges) {
            in += e[1] == v;
            out += e[0] == v;
        }
        for (float c : vertices[v])
            f32(c);
        u32(in);
        u32(out);
    }
    u32(static_cast<std::uint32_t>(edges.size()));
    for (const auto& e : edges) {
        u32(e[0]);
        u32(e[1]);
    }
    return b;
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

struct Generated {
    navgen::GenerationOptions options;
    navgen::GenerationResult result;
    bool done = false;
    const float* Vertex(std::int32_t i) const { return &result.vertices[static_cast<size_t>(3 * i)]; }
    size_t VertexCount() const { return result.vertices.size() / 3; }
    size_t EdgeCount() const { return result.edges.size() / 2; }
};

Generated Generate(const std::string& level, const std::string& dir, const std::string& firstStep = "",
                   std::uint32_t seed = 7, float maxValidEdge = 0.0f, float radius = 2.5f) {
    Generated run;
    run.options.maxValidEdge = maxValidEdge;
    run.options.radiusAverage = radius;
    EXPECT_TRUE(navgen::MakeLevel(level, seed, &run.options.level));
    run.options.outDir = dir;
    run.options.firstStep = firstStep;
    run.done = navgen::RunGeneration(run.options, &run.result);
    EXPECT_TRUE(run.done) << run.result.error;
    return run;
}

// Where the segment a -> b crosses the plane x = x0 (z there), or false.
bool CrossesX(const float* a, const float* b, float x0, float* z) {
    if ((a[0] - x0) * (b[0] - x0) >= 0.0f)
        return false;
    float t = (x0 - a[0]) / (b[0] - a[0]);
    *z = a[2] + t * (b[2] - a[2]);
    return true;
}

// True when any of 200 points along a -> b lies strictly inside the box.
bool Pierces(const float* a, const float* b, const navgen::LevelBox& box) {
    for (int k = 0; k <= 200; ++k) {
        float t = float(k) / 200.0f, inside = 0;
        for (int i = 0; i < 3; ++i) {
            float p = a[i] + t * (b[i] - a[i]);
            inside += p > box.min[i] && p < box.max[i];
        }
        if (inside == 3)
            return true;
    }
    return false;
}

// Every one of the n vertices reaches every other: no -1 off the diagonal of the route table the
// run wrote into dir.
void ExpectRoutesBetweenAll(const std::string& dir, size_t n) {
    const Bytes astar = ReadBytes(dir + "/final.astar");
    ASSERT_EQ(astar.size(), 22 + 4 * n * n);
    for (size_t i = 0; i < n * n; ++i) {
        std::int32_t entry;
        std::memcpy(&entry, &astar[22 + 4 * i], 4);
        if (i % (n + 1) != 0) {
            ASSERT_NE(entry, -1) << i;
        }
    }
}

TEST(GeneratorScenario, OpenRoomGivesAConnectedGraphOnTheFloor) {
    const std::string dir = Folder("open");
    Generated run = Generate("open_room", dir);
    ASSERT_GT(run.VertexCount(), 10u);
    for (size_t v = 0; v < run.VertexCount(); ++v) {
        const float* p = run.Vertex(std::int32_t(v));
        EXPECT_NEAR(p[1], 0.9f, 1e-3f); // floor + half the walker's height
        EXPECT_TRUE(std::fabs(p[0]) < 15.0f && std::fabs(p[2]) < 15.0f) << p[0] << " " << p[2];
    }
    const size_t n = run.VertexCount();
    ExpectRoutesBetweenAll(dir, n);
    // Every vertex sees every other: no access ways (all counts zero).
    EXPECT_EQ(ReadBytes(dir + "/final.aw"), [&] {
        Bytes expected = ReadBytes(dir + "/final.aw");
        std::fill(expected.begin() + 29, expected.end(), 0);
        return expected;
    }());
    EXPECT_EQ(ReadBytes(dir + "/final.aw").size(), 29 + 2 * n);

    // A shorter longest edge (2.8 m on a 2 m radius) stops collapsing earlier: more vertices, no
    // longer edge, every vertex still reaching every other.
    const std::string denseDir = Folder("open_dense");
    Generated dense = Generate("open_room", denseDir, "", 7, 2.8f, 2.0f);
    const size_t m = dense.VertexCount();
    EXPECT_GT(m, 2 * n);
    for (size_t e = 0; e < dense.EdgeCount(); ++e) {
        const float* a = dense.Vertex(dense.result.edges[2 * e]);
        const float* b = dense.Vertex(dense.result.edges[2 * e + 1]);
        EXPECT_LE(std::hypot(a[0] - b[0], a[2] - b[2]), 2.8f + 1e-3f) << "edge " << e;
    }
    ExpectRoutesBetweenAll(denseDir, m);
}

TEST(GeneratorScenario, TwoRoomsMeetOnlyThroughTheGap) {
    const std::string dir = Folder("two");
    Generated run = Generate("two_rooms", dir);
    const navgen::Level& level = run.options.level;
    size_t left = 0, right = 0, crossing = 0;
    for (size_t v = 0; v < run.VertexCount(); ++v)
        (run.Vertex(std::int32_t(v))[0] < level.wallX ? left : right) += 1;
    EXPECT_GT(left, 3u);
    EXPECT_GT(right, 3u);
    // Reachability over the edges from a vertex of the left room.
    std::vector<bool> reached(run.VertexCount(), false);
    std::vector<std::int32_t> stack;
    for (size_t v = 0; v < run.VertexCount() && stack.empty(); ++v) {
        if (run.Vertex(std::int32_t(v))[0] < level.wallX) {
            stack.push_back(std::int32_t(v));
            reached[v] = true;
        }
    }
    while (!stack.empty()) {
        std::int32_t v = stack.back();
        stack.pop_back();
        for (size_t e = 0; e < run.EdgeCount(); ++e) {
            if (run.result.edges[2 * e] == v && !reached[size_t(run.result.edges[2 * e + 1])]) {
                reached[size_t(run.result.edges[2 * e + 1])] = true;
                stack.push_back(run.result.edges[2 * e + 1]);
            }
        }
    }
    for (size_t v = 0; v < run.VertexCount(); ++v)
        EXPECT_TRUE(reached[v]) << "vertex " << v << " cannot be reached";
    // Every edge between the rooms passes through the gap (with the walker's half width to spare).
    for (size_t e = 0; e < run.EdgeCount(); ++e) {
        float z = 0.0f;
        if (!CrossesX(run.Vertex(run.result.edges[2 * e]), run.Vertex(run.result.edges[2 * e + 1]), level.wallX, &z))
            continue;
        ++crossing;
        EXPECT_GT(z, level.gapMin + 0.3f);
        EXPECT_LT(z, level.gapMax - 0.3f);
    }
    EXPECT_GE(crossing, 2u);

    // Restarted from the saved dense graph with edges, the run ends with the same final graph; restarted
    // from the final graph, it writes the same data files.
    const std::string again = Folder("two_again");
    std::filesystem::copy_file(dir + "/dense_edges.graph", again + "/dense_edges.graph");
    Generated restarted = Generate("two_rooms", again, "SIMPLIFY_EDGES");
    EXPECT_EQ(ReadBytes(again + "/final.graph"), ReadBytes(dir + "/final.graph"));
    const std::string data = Folder("two_data");
    std::filesystem::copy_file(dir + "/final.graph", data + "/final.graph");
    Generated rebuilt = Generate("two_rooms", data, "ADDITIONAL_DATA");
    for (const char* file : {"final.graph", "final.fnd", "final.astar", "final.pcost", "final.aw"})
        EXPECT_EQ(ReadBytes(data + "/" + file), ReadBytes(dir + "/" + file)) << file;
}

TEST(GeneratorScenario, PitAndMazeWallsAreNeverCrossed) {
    Generated pit = Generate("pit", Folder("pit"));
    const navgen::Level& level = pit.options.level;
    ASSERT_GT(pit.VertexCount(), 10u);
    const navgen::LevelBox opening{{level.pitMin[0], -100.0f, level.pitMin[1]},
                                   {level.pitMax[0], 100.0f, level.pitMax[1]}};
    for (size_t v = 0; v < pit.VertexCount(); ++v) {
        const float* p = pit.Vertex(std::int32_t(v));
        EXPECT_FALSE(Pierces(p, p, opening)) << "vertex over the pit at " << p[0] << " " << p[2];
        EXPECT_NEAR(p[1], 0.9f, 1e-3f);
    }
    for (size_t e = 0; e < pit.EdgeCount(); ++e)
        EXPECT_FALSE(Pierces(pit.Vertex(pit.result.edges[2 * e]), pit.Vertex(pit.result.edges[2 * e + 1]), opening));

    // Seed 42 puts an opening next to a wall's end that an edge of the collapse passed closer than the
    // walker can: it was walked one way only, and that one-way edge cut the maze (a tree of corridors) in
    // two. Every edge must now go both ways.
    Generated maze = Generate("maze", Folder("maze"), "", 42);
    ASSERT_GT(maze.VertexCount(), 10u);
    std::set<std::pair<std::int32_t, std::int32_t>> edges;
    for (size_t e = 0; e < maze.EdgeCount(); ++e) {
        edges.insert({maze.result.edges[2 * e], maze.result.edges[2 * e + 1]});
        for (const navgen::LevelBox& box : maze.options.level.boxes)
            ASSERT_FALSE(
                Pierces(maze.Vertex(maze.result.edges[2 * e]), maze.Vertex(maze.result.edges[2 * e + 1]), box));
    }
    for (const auto& [from, to] : edges)
        EXPECT_EQ(edges.count({to, from}), 1u) << "edge " << from << " -> " << to << " goes one way";
    std::vector<bool> reached(maze.VertexCount(), false);
    std::vector<std::int32_t> stack{0};
    reached[0] = true;
    while (!stack.empty()) {
        const std::int32_t v = stack.back();
        stack.pop_back();
        for (const auto& [from, to] : edges) {
            if (from == v && !reached[size_t(to)]) {
                reached[size_t(to)] = true;
                stack.push_back(to);
            }
        }
    }
    EXPECT_EQ(std::count(reached.begin(), reached.end(), true), std::ptrdiff_t(maze.VertexCount()));
}

// Runs that cannot give a graph fail with a reason instead of writing an empty one: a radius too short
// for any walk to reach a new vertex in time, and restarts from saved graphs that are random bytes.
TEST(GeneratorScenario, RunsWithoutAGraphFail) {
    Generated small;
    ASSERT_TRUE(navgen::MakeLevel("open_room", 7, &small.options.level));
    small.options.outDir = Folder("small");
    small.options.radiusAverage = 1.5f;
    EXPECT_FALSE(navgen::RunGeneration(small.options, &small.result));
    EXPECT_NE(small.result.error.find("empty graph"), std::string::npos) << small.result.error;

    std::mt19937 random(29);
    Bytes noise(300);
    for (std::uint8_t& byte : noise)
        byte = static_cast<std::uint8_t>(random());
    for (const char* step : {"SIMPLIFY_EDGES", "ADDITIONAL_DATA"}) {
        Generated restart;
        ASSERT_TRUE(navgen::MakeLevel("open_room", 7, &restart.options.level));
        restart.options.outDir = Folder(step);
        restart.options.firstStep = step;
        const std::string file = restart.options.outDir + "/" +
                                 (step[0] == 'S' ? navgen::OutputFiles::kDenseWithEdges : navgen::OutputFiles::kFinal);
        WriteBytes(file, noise);
        EXPECT_FALSE(navgen::RunGeneration(restart.options, &restart.result)) << step;
        EXPECT_NE(restart.result.error.find(file), std::string::npos) << restart.result.error;
        EXPECT_TRUE(restart.result.phases.empty()) << step;
    }
}

// Two vertices 4 m apart, linked both ways, with a bar across the floor between them; vertex 0 also
// has an edge to itself.
Generated ValidateOverBar(float barHeight, const std::string& name, bool finalWritable = true, float maxSpeed = 4.0f) {
    Generated run;
    navgen::Level& level = run.options.level;
    level.name = name;
    level.boxes.push_back({{-10.0f, -1.0f, -10.0f}, {10.0f, 0.0f, 10.0f}});
    level.boxes.push_back({{-0.1f, 0.0f, -10.0f}, {0.1f, barHeight, 10.0f}});
    const std::string dir = Folder(name);
    WriteBytes(dir + "/dense_edges.graph",
               GraphFile({{{-2.0f, 0.9f, 0.0f}}, {{2.0f, 0.9f, 0.0f}}}, {{{0, 1}}, {{1, 0}}, {{0, 0}}}));
    if (!finalWritable)
        std::filesystem::create_directories(dir + "/final.graph");
    run.options.outDir = dir;
    run.options.firstStep = "SIMPLIFY_EDGES";
    run.options.simulatedLimit = 60.0;
    run.options.maxSpeed = maxSpeed;
    run.done = navgen::RunGeneration(run.options, &run.result);
    return run;
}

TEST(GeneratorScenario, ValidationDeletesEdgesTheWalkerCannotWalk) {
    // A step the walker climbs: both edges stay, and so does the loop, which is never walked.
    Generated low = ValidateOverBar(0.2f, "step");
    ASSERT_TRUE(low.done) << low.result.error;
    EXPECT_EQ(low.VertexCount(), 2u);
    EXPECT_EQ(low.EdgeCount(), 3u);
    // A bar sight passes over but the walker cannot: both walks time out and their edges go; vertex 1 is
    // left without edges and goes too, vertex 0 keeps its loop.
    Generated high = ValidateOverBar(0.6f, "bar");
    ASSERT_TRUE(high.done) << high.result.error;
    // Each walk starts 10 % along its 4 m edge and has (3.6 m / 4 m/s) x 3 = 2.7 s before it is given up.
    ASSERT_GE(high.result.phases.size(), 3u);
    EXPECT_EQ(high.result.phases[1].phase, 3);
    EXPECT_GT(high.result.phases[1].simulated, 2 * 2.7);
    EXPECT_LT(high.result.phases[1].simulated, 2 * 2.7 + 0.2);
    ASSERT_EQ(high.VertexCount(), 1u);
    EXPECT_EQ(high.result.edges, (std::vector<std::int32_t>{0, 0}));
    EXPECT_EQ(high.result.vertices[0], -2.0f);
    // A final graph that cannot be saved: the run stays in validation and keeps the validated graph.
    Generated unsaved = ValidateOverBar(0.2f, "unsaved", false);
    EXPECT_FALSE(unsaved.done);
    ASSERT_FALSE(unsaved.result.phases.empty());
    EXPECT_EQ(unsaved.result.phases.back().phase, 3);
    EXPECT_EQ(unsaved.VertexCount(), 2u);
    EXPECT_EQ(unsaved.EdgeCount(), 3u);
    // A walker that cannot move is never timed out: its first walk lasts the whole run, and every edge
    // and vertex stays.
    Generated still = ValidateOverBar(0.2f, "still", true, 0.0f);
    EXPECT_FALSE(still.done);
    ASSERT_FALSE(still.result.phases.empty());
    EXPECT_EQ(still.result.phases.back().phase, 3);
    EXPECT_EQ(still.VertexCount(), 2u);
    EXPECT_EQ(still.EdgeCount(), 3u);
}

} // namespace
