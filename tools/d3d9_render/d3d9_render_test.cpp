// End to end: d3d9_render clears a back buffer of the scene's size to the colour asked for, and
// names the line of a malformed scene.

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct ToolRun {
    int status;
    std::string output;
};

ToolRun Render(const std::string& arguments)
{
    const std::string command = std::string(D3D9_RENDER_PROGRAM) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ToolRun run{-1, {}};
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        run.output += buffer;
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

struct D3d9RenderTest : ::testing::Test {
    std::filesystem::path dir;
    void SetUp() override
    {
        dir = std::filesystem::temp_directory_path() /
              (std::string("dun_d3d9_render_") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string Scene(const std::string& text)
    {
        const std::string path = (dir / "scene.txt").string();
        std::ofstream(path) << text;
        return path;
    }
};

TEST_F(D3d9RenderTest, ClearFillsEveryPixelWithTheColourAndTrianglesAreCounted)
{
    const std::string out = (dir / "out.png").string();
    const ToolRun run = Render(Scene("# a cleared frame\nsize 64 48\nclear ff336699\n"
                                 "tri 0 0 10 0 0 10 ffff0000  # recorded\n") +
                           " " + out);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("1 triangles"), std::string::npos) << run.output;

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, out.c_str()));
    EXPECT_EQ(image.format, static_cast<png_uint_32>(PNG_FORMAT_RGBA));
    image.format = PNG_FORMAT_RGBA;
    std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
    ASSERT_EQ(image.width, 64u);
    ASSERT_EQ(image.height, 48u);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < pixels.size(); i += 4)
        wrong += pixels[i] != 0x33 || pixels[i + 1] != 0x66 || pixels[i + 2] != 0x99 || pixels[i + 3] != 0xff;
    EXPECT_EQ(wrong, 0u);
}

TEST_F(D3d9RenderTest, MalformedScenesNameTheLine)
{
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
