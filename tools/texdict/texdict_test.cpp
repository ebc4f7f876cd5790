// End to end: texdict build then texdict list round-trips a dictionary of several images, and
// bad input is named.

#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "testing/scratch_dir.h"
#include "testing/tool_run.h"

namespace {

ToolRun Texdict(const std::string& arguments) { return RunTool(TEXDICT_PROGRAM, arguments); }

class TexdictTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    void SetUp() override { dir = MakeTestScratchDir("dun_texdict"); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string Path(const char* name) const { return (dir / name).string(); }

    // An RGBA PNG whose pixels count up; alpha 255 unless translucent.
    void WritePng(const char* name, unsigned width, unsigned height, bool translucent) const {
        std::vector<std::uint8_t> pixels(4u * width * height);
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            pixels[i] = static_cast<std::uint8_t>(i * 7);
            if (i % 4 == 3) {
                pixels[i] = translucent ? static_cast<std::uint8_t>(i) : 255;
            }
        }
        png_image image = {};
        image.version = PNG_IMAGE_VERSION;
        image.width = width;
        image.height = height;
        image.format = PNG_FORMAT_RGBA;
        ASSERT_TRUE(png_image_write_to_file(&image, Path(name).c_str(), 0, pixels.data(), 0, nullptr));
    }
};

TEST_F(TexdictTest, BuildThenListRoundTripsSeveralImages) {
    WritePng("stone.png", 8, 8, false);
    WritePng("glass.png", 6, 3, true);
    WritePng("flat.png", 2, 2, false);
    ToolRun run = Texdict("build " + Path("d.txd") + " " + Path("stone.png") + " " + Path("glass.png"));
    ASSERT_EQ(run.status, 0) << run.output;
    run = Texdict("list " + Path("d.txd"));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "glass - 4x2 levels 3 format 0x8500 type 4\n"
                          "stone - 8x8 levels 4 format 0x8600 type 4\n");

    run = Texdict("build --no-mipmaps " + Path("e.txd") + " " + Path("flat.png"));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Texdict("list " + Path("e.txd")).output, "flat - 2x2 levels 1 format 0x0600 type 4\n");
}

TEST_F(TexdictTest, NativeDictionariesListWithTheirDeviceFormats) {
    WritePng("stone.png", 8, 8, false);
    WritePng("glass.png", 6, 3, true);
    ToolRun run = Texdict("build --native " + Path("n.txd") + " " + Path("stone.png") + " " + Path("glass.png"));
    ASSERT_EQ(run.status, 0) << run.output;
    // A native dictionary chunk (22) whose textures keep their levels as the device holds them.
    std::ifstream file(Path("n.txd"), std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(bytes[0], 22);
    run = Texdict("list " + Path("n.txd"));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "glass - 4x2 levels 3 format 0x9500 type 4 d3dformat 21\n"
                          "stone - 8x8 levels 4 format 0x9600 type 4 d3dformat 22\n");
    run = Texdict("build --native --no-mipmaps " + Path("m.txd") + " " + Path("stone.png"));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Texdict("list " + Path("m.txd")).output, "stone - 8x8 levels 1 format 0x0600 type 4 d3dformat 22\n");

    // A native dictionary cut short is named, not half listed.
    std::ofstream cut(Path("cut.txd"), std::ios::binary);
    cut.write(bytes.data(), static_cast<std::streamsize>(bytes.size() - 9));
    cut.close();
    run = Texdict("list " + Path("cut.txd"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("cut.txd: not a readable texture dictionary (truncated: the data ends at byte " +
                              std::to_string(bytes.size() - 9) + " before the texture dictionary is complete)"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(Texdict("build --packed " + Path("d.txd") + " " + Path("stone.png")).status, 2);
}

TEST_F(TexdictTest, BadInputIsNamed) {
    WritePng("stone.png", 4, 4, false);
    ToolRun run = Texdict("list " + Path("stone.png"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("stone.png: not a readable texture dictionary (it holds no texture dictionary chunk"),
              std::string::npos)
        << run.output;
    run = Texdict("build " + Path("no/d.txd") + " " + Path("stone.png"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("d.txd: cannot write (no such folder " + Path("no") + ")"), std::string::npos)
        << run.output;
    run = Texdict("build " + Path("d.txd") + " " + Path("stone.png") + " " + Path("missing.png"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("missing.png: no such file"), std::string::npos) << run.output;
    run = Texdict("build " + Path("d.txd") + " " + Path("stone.png") + " " + Path("stone.png"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("already in the dictionary"), std::string::npos) << run.output;
    EXPECT_EQ(Texdict("--help").status, 0);
    EXPECT_EQ(Texdict("show " + Path("d.txd")).status, 2);
    EXPECT_EQ(Texdict("build " + Path("d.txd")).status, 2);
}

} // namespace
