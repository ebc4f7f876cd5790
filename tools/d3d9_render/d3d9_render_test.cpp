// End to end: d3d9_render clears a back buffer of the scene's size and draws its triangles by the
// fill rule, writes the presented frame opaque, and names the line of a malformed scene.

#include "testing/scratch_dir.h"
#include "testing/tool_run.h"

#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

ToolRun Render(const std::string& arguments) { return RunTool(D3D9_RENDER_PROGRAM, arguments); }

struct D3d9RenderTest : ::testing::Test {
    std::filesystem::path dir;
    void SetUp() override { dir = MakeTestScratchDir("dun_d3d9_render"); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string Scene(const std::string& text) {
        const std::string path = (dir / "scene.txt").string();
        std::ofstream(path) << text;
        return path;
    }
};

std::vector<png_byte> ReadRgba(const std::string& path, png_uint_32* width, png_uint_32* height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return {};
    image.format = PNG_FORMAT_RGBA; // a file without alpha reads as opaque

    std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr))
        return {};
    *width = image.width;
    *height = image.height;
    return pixels;
}

TEST_F(D3d9RenderTest, ClearsAndTrianglesFollowTheFillRule) {
    // Two triangles sharing the diagonal of a square with corners on pixel centres, and a third
    // sharing a vertex: every pixel of the square is written once (blue over red shows only
    // where the fill rule gave a pixel to both), the right and bottom edges stay clear.
    const std::string out = (dir / "out.png").string();
    const ToolRun run = Render(Scene("# a cleared frame\nsize 64 48\nclear ff336699\n"
                                     "tri 4 4 20 4 4 20 ffff0000  # upper left half\n"
                                     "tri 20 4 20 20 4 20 ff00ff00\n"
                                     "tri 20 20 36 20 20 36.5 ff0000ff\n") +
                               " " + out);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("1 clears, 3 triangles"), std::string::npos) << run.output;
    png_uint_32 width = 0, height = 0;
    const std::vector<png_byte> pixels = ReadRgba(out, &width, &height);
    ASSERT_EQ(width, 64u);
    ASSERT_EQ(height, 48u);
    std::size_t wrong = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            const png_byte* p = &pixels[(y * 64 + x) * 4];
            unsigned expected = 0x336699;
            if (x >= 4 && x < 20 && y >= 4 && y < 20)
                expected = x + y < 24 ? 0xFF0000 : 0x00FF00;
            else if (x >= 20 && y >= 20 && 16.5f * (x - 20) + 16 * (y - 20) < 16 * 16.5f)
                expected = 0x0000FF;
            wrong += static_cast<unsigned>(p[0] << 16 | p[1] << 8 | p[2]) != expected || p[3] != 0xFF;
        }
    EXPECT_EQ(wrong, 0u);
}

TEST_F(D3d9RenderTest, ThePresentedFrameIsOpaqueWhateverAlphaWasDrawn) {
    // The back buffer keeps the clear's and the triangle's alpha (0x00, 0x80); the frame shown,
    // and so its PNG, has none: every pixel has alpha 255 and the colours as drawn.
    const std::string out = (dir / "alpha.png").string();
    const ToolRun run = Render(Scene("size 16 16\nclear 00336699\ntri 0 0 16 0 0 16 80ff8000\n") + " " + out);
    ASSERT_EQ(run.status, 0) << run.output;
    png_uint_32 width = 0, height = 0;
    const std::vector<png_byte> pixels = ReadRgba(out, &width, &height);
    ASSERT_EQ(pixels.size(), 16u * 16u * 4u);
    std::size_t translucent = 0, wrong = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            const png_byte* p = &pixels[(y * 16 + x) * 4];
            translucent += p[3] != 0xFF;
            wrong += static_cast<unsigned>(p[0] << 16 | p[1] << 8 | p[2]) != (x + y < 16 ? 0xFF8000u : 0x336699u);
        }
    EXPECT_EQ(translucent, 0u);
    EXPECT_EQ(wrong, 0u);
}

TEST_F(D3d9RenderTest, MalformedScenesNameTheLine) {
    const std::string out = (dir / "out.png").string();
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"size 64 48\nclear 336699\n", ":2: 'clear' takes one colour"},
        {"size 64 48\n\ntri 0 0 1 1 2\n", ":3: 'tri' takes"},
        {"size 64 48\ntri 0 0 1 x 2 2 ff000000\n", ":2: bad coordinate 'x'"},
        {"size 0 48\n", ":1: size must be"},
        {"clear ff000000\n", ":1: the scene must start with 'size W H'"},
        {"size 8 8\nblend on\n", ":2: unknown command 'blend'"},
        {"# nothing\n", "no 'size' command"},
    };
    for (const auto& c : cases) {
        const ToolRun run = Render(Scene(c.text) + " " + out);
        EXPECT_EQ(run.status, 1) << c.text;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << c.text << run.output;
        EXPECT_FALSE(std::filesystem::exists(out)) << c.text;
    }
    const ToolRun missing = Render((dir / "none.txt").string() + " " + out);
    EXPECT_NE(missing.output.find("none.txt"), std::string::npos);
    EXPECT_EQ(Render("--help").status, 0);
    EXPECT_EQ(Render("one").status, 2);
}

} // namespace
