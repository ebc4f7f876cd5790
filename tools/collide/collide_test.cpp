// End to end: collide answers line queries on levels and models mkasset writes, through the trees
// exactly as by testing every triangle, with or without collision data in the file.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "testing/scratch_dir.h"
#include "testing/tool_run.h"

namespace {

ToolRun Collide(const std::string& arguments) { return RunTool(COLLIDE_PROGRAM, arguments); }
ToolRun Mkasset(const std::string& arguments) { return RunTool(MKASSET_PROGRAM, arguments); }

class CollideTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    void SetUp() override { dir = MakeTestScratchDir("dun_collide"); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string Path(const char* name) const { return (dir / name).string(); }

    // The walk and the brute force print the same; what they printed.
    std::string Same(const std::string& arguments) {
        const ToolRun walked = Collide(arguments);
        const ToolRun brute = Collide(arguments + " --brute");
        EXPECT_EQ(walked.status, 0) << arguments << "\n" << walked.output;
        EXPECT_EQ(walked.output, brute.output) << arguments;
        return walked.output;
    }
};

// Hits counted in a "rays=N hits=H checksum=C" line.
int Hits(const std::string& line, int rays) {
    int n = -1, hits = -1;
    char checksum[17] = {};
    EXPECT_EQ(std::sscanf(line.c_str(), "rays=%d hits=%d checksum=%16s", &n, &hits, checksum), 3) << line;
    EXPECT_EQ(n, rays);
    EXPECT_EQ(std::string(checksum).size(), 16u) << line;
    return hits;
}

TEST_F(CollideTest, LevelsAnswerAsTestingEveryTriangle) {
    ASSERT_EQ(Mkasset("level --seed 1 --out " + Path("level.bsp")).status, 0);
    ASSERT_EQ(Mkasset("level --seed 1 --no-collision --out " + Path("bare.bsp")).status, 0);
    EXPECT_LT(std::filesystem::file_size(Path("bare.bsp")), std::filesystem::file_size(Path("level.bsp")));
    const std::string random = Same(Path("level.bsp") + " --rays 3000 --seed 7");
    const int hits = Hits(random, 3000);
    EXPECT_GT(hits, 500);
    EXPECT_LT(hits, 3000);
    // Without collision data every sector's triangles are tested: the same answers.
    EXPECT_EQ(Same(Path("bare.bsp") + " --rays 3000 --seed 7"), random);
    EXPECT_NE(Same(Path("level.bsp") + " --rays 3000 --seed 8"), random);

    // Straight down onto the floor at the origin (no block stands within 2.5 metres of it); up
    // through the floor from below finds its back; along the floor at eye height into a wall.
    const std::string rays = " --ray 0.3,3,0.3,0.3,-1,0.3 --ray 0.3,-1,0.3,0.3,3,0.3 --ray 0.5,1.7,0.5,0.5,1.7,-40";
    const std::string answers = Same(Path("level.bsp") + rays);
    ASSERT_EQ(answers.rfind("hit fraction=0.75 tri=", 0), 0u) << answers;
    const std::size_t second = answers.find('\n') + 1;
    EXPECT_NE(answers.find(" normal=0,1,0\n"), std::string::npos) << answers;
    EXPECT_EQ(answers.compare(second, 5, "miss\n"), 0) << answers;
    const std::size_t third = answers.find('\n', second) + 1;
    EXPECT_EQ(answers.compare(third, 13, "hit fraction="), 0) << answers;
    EXPECT_NE(answers.find("normal=0,0,1\n", third), std::string::npos) << answers;
    EXPECT_EQ(Same(Path("bare.bsp") + rays), answers);
}

TEST_F(CollideTest, ModelsAnswerAsTestingEveryTriangle) {
    ASSERT_EQ(Mkasset("model --kind box --size 6 --out " + Path("box.dff")).status, 0);
    const int hits = Hits(Same(Path("box.dff") + " --rays 2000 --seed 3"), 2000);
    EXPECT_GT(hits, 200);
    ASSERT_EQ(Mkasset("model --kind cylinder --size 40 --no-collision --out " + Path("cyl.dff")).status, 0);
    EXPECT_GT(Hits(Same(Path("cyl.dff") + " --rays 2000 --seed 3"), 2000), 200);
}

TEST_F(CollideTest, BadCommandLinesAndFiles) {
    ASSERT_EQ(Mkasset("model --kind grid --size 2 --out " + Path("g.dff")).status, 0);
    const std::string g = Path("g.dff");
    const struct {
        std::string args;
        const char* named;
    } cases[] = {
        {g, "--ray"},
        {g + " --ray 1,2,3,4,5", "--ray"},
        {g + " --ray 1,2,3,4,5,x", "1,2,3,4,5,x"},
        {g + " --rays 0", "--rays"},
        {g + " --rays 10 --seed -1", "--seed"},
        {g + " --seed 3 --ray 0,0,0,1,1,1", "--seed"},
        {g + " --rays", "--rays"},
        {g + " --rays 5 --fast", "--fast"},
        {"--rays 5", "FILE"},
    };
    for (const auto& c : cases) {
        const ToolRun run = Collide(c.args);
        EXPECT_EQ(run.status, 2) << c.args << "\n" << run.output;
        EXPECT_NE(run.output.find(c.named), std::string::npos) << c.args << "\n" << run.output;
    }
    EXPECT_EQ(Collide("--help").status, 0);
    for (const char* name : {"absent.bsp", "g.dff.cut"}) {
        if (std::string(name) == "g.dff.cut") {
            std::filesystem::copy_file(g, Path(name));
            std::filesystem::resize_file(Path(name), std::filesystem::file_size(g) / 2);
        }
        const ToolRun run = Collide(Path(name) + " --rays 5");
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find(Path(name)), std::string::npos) << run.output;
    }
}

} // namespace
