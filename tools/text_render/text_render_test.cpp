// End to end: the asset builder's font of the built-in character set, a line of text drawn
// headless at 320x60, pixel for pixel the committed golden picture; bad arguments and fonts are
// named.

#include "testing/golden_png.h"
#include "testing/scratch_dir.h"
#include "testing/tool_run.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

ToolRun TextRender(const std::string& arguments) { return RunTool(TEXT_RENDER_PROGRAM, arguments); }

struct TextRenderTest : ::testing::Test {
    std::filesystem::path dir;
    void SetUp() override {
        dir = MakeTestScratchDir("dun_text_render");
        const ToolRun font = RunTool(MKASSET_PROGRAM, "font --name TSA16 --out " + (dir / "fonts").string());
        ASSERT_EQ(font.status, 0) << font.output;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST_F(TextRenderTest, LineOfTextMatchesTheGoldenPicture) {
    const std::string out = (dir / "text.png").string();
    const std::string golden = "golden/taking_cover_320x60.png";
    const ToolRun run = TextRender("--font " + (dir / "fonts" / "TSA16").string() +
                                   " --text \"Taking cover\" --size 320x60 --out " + out);
    ASSERT_EQ(run.status, 0) << run.output;
    // 14-pixel glyphs three times over: 42 pixels fit 70% of 60.
    EXPECT_NE(run.output.find("320x60, text 42 pixels high, checksum "), std::string::npos) << run.output;
    const GoldenComparison c = CompareWithGolden(out, golden);
    ASSERT_TRUE(c.problem.empty()) << c.problem;
    ASSERT_EQ(c.width, 320u);
    ASSERT_EQ(c.height, 60u);
    EXPECT_EQ(c.differ, 0) << "largest difference " << c.worst;
    const std::vector<png_byte>& frame = c.frame;
    int white = 0;
    for (std::size_t i = 0; i < frame.size(); i += 3) {
        white += frame[i] == 255 && frame[i + 1] == 255 && frame[i + 2] == 255;
    }
    // Ink, and the background round it: the corners and the rows above and below the text.
    EXPECT_GT(white, 12 * 40);
    for (std::size_t row : {0u, 1u, 58u, 59u}) {
        for (std::size_t x = 0; x < 320; ++x) {
            const png_byte* p = &frame[(row * 320 + x) * 3];
            ASSERT_EQ(p[0], 24) << row << "," << x;
            ASSERT_EQ(p[1], 32);
            ASSERT_EQ(p[2], 40);
        }
    }
}

TEST_F(TextRenderTest, BadArgumentsAndFontsAreNamed) {
    const std::string font = (dir / "fonts" / "TSA16").string();
    const std::string out = (dir / "x.png").string();
    const struct {
        std::string arguments;
        const char* message;
    } cases[] = {
        {"--font " + font + " --text a --size 320 --out " + out, "--size wants WxH with sides of 1 to 4096, not: 320"},
        {"--font " + font + " --text a --size 10x0 --out " + out, "not: 10x0"},
        {"--font " + font + " --size 10x10 --out " + out, "missing option: --text"},
        {"--text a --size 10x10 --out " + out, "missing option: --font"},
        {"--font " + font + " --text a --size 10x10", "missing option: --out"},
        {"--font " + font + " --text", "missing value after: --text"},
        {"--font fonts/ --text a --size 10x10 --out " + out, "--font wants DIR/NAME, not: fonts/"},
        {"--colour red", "unknown argument: --colour"},
    };
    for (const auto& c : cases) {
        const ToolRun run = TextRender(c.arguments);
        EXPECT_EQ(run.status, 2) << c.arguments;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << c.arguments << ": " << run.output;
    }
    const ToolRun missing =
        TextRender("--font " + (dir / "fonts" / "NONE").string() + " --text a --size 32x32 --out " + out);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("NONE.met: not found"), std::string::npos) << missing.output;
    std::ofstream(dir / "fonts" / "BAD.met") << "METRICS1\nTSA16\n0\n65 0 0 8 0\n";
    const ToolRun bad =
        TextRender("--font " + (dir / "fonts" / "BAD").string() + " --text a --size 32x32 --out " + out);
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.output.find("BAD.met:4: glyph rectangle has no height"), std::string::npos) << bad.output;
    const ToolRun help = TextRender("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: text_render"), std::string::npos);
}

} // namespace
