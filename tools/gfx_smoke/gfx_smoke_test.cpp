// End to end: gfx_smoke draws its first frame at 320x240 headless, pixel for pixel the committed
// golden frame, and refuses bad arguments by name.

#include "testing/golden_png.h"
#include "testing/scratch_dir.h"
#include "testing/tool_run.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

ToolRun Smoke(const std::string& arguments) { return RunTool(GFX_SMOKE_PROGRAM, arguments); }

struct GfxSmokeTest : ::testing::Test {
    std::filesystem::path dir;
    void SetUp() override { dir = MakeTestScratchDir("dun_gfx_smoke"); }
    void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST_F(GfxSmokeTest, FirstFrameMatchesTheGoldenFrame) {
    const std::string out = (dir / "smoke.png").string();
    const std::string golden = "golden/smoke_320x240.png";
    const ToolRun run = Smoke("--headless --size 320x240 --out " + out);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("frames 1, 320x240, checksum "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("draw calls 3,"), std::string::npos) << run.output;
    const GoldenComparison c = CompareWithGolden(out, golden);
    ASSERT_TRUE(c.problem.empty()) << c.problem;
    ASSERT_EQ(c.width, 320u);
    ASSERT_EQ(c.height, 240u);
    EXPECT_EQ(c.differ, 0) << "largest difference " << c.worst;
    const std::vector<png_byte>& frame = c.frame;
    // The clear colour shows in the bottom left corner, below the grid.
    EXPECT_EQ(frame[(239 * 320) * 3 + 0], 32);
    EXPECT_EQ(frame[(239 * 320) * 3 + 1], 48);
    EXPECT_EQ(frame[(239 * 320) * 3 + 2], 64);
}

TEST_F(GfxSmokeTest, BadArgumentsAreNamed) {
    const struct {
        const char* arguments;
        const char* message;
    } cases[] = {
        {"--size 320", "--size wants WxH with sides of 1 to 4096, not: 320"},
        {"--size 0x10", "not: 0x10"},
        {"--frames -2", "--frames wants a count of 1 or more, not: -2"},
        {"--out", "missing value after: --out"},
        {"--colour red", "unknown argument: --colour"},
    };
    for (const auto& c : cases) {
        const ToolRun run = Smoke(c.arguments);
        EXPECT_EQ(run.status, 2) << c.arguments;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << c.arguments << ": " << run.output;
    }
    const ToolRun missing = Smoke("--headless --texture " + (dir / "none.png").string());
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("none.png: cannot read the PNG texture (no such file)"), std::string::npos)
        << missing.output;
    const ToolRun help = Smoke("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: gfx_smoke"), std::string::npos);
}

} // namespace
