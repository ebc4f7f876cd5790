// End to end: imgconv on a bitmap and on a palette PNG gives the pixels the formats say, and
// tells in words why the engine refuses a file.

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

ToolRun Imgconv(const std::string& arguments) { return RunTool(IMGCONV_PROGRAM, arguments); }

std::vector<std::uint8_t> ReadRgba(const std::string& path, unsigned* width, unsigned* height) {
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    EXPECT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << path;
    image.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    EXPECT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
    *width = image.width;
    *height = image.height;
    return pixels;
}

class ImgconvTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    void SetUp() override { dir = MakeTestScratchDir("dun_imgconv"); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string Path(const char* name) const { return (dir / name).string(); }
};

TEST_F(ImgconvTest, BitmapAndPalettePngBecomeRgbaPngs) {
    // 3 x 2, 24 bits, rows padded to 12 bytes, bottom row first.
    std::vector<std::uint8_t> bmp = {'B', 'M', 78, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  40,
                                     0,   0,   0,  3, 0, 0, 0, 2, 0, 0, 0,  1, 0, 24, 0};
    bmp.resize(54, 0);
    const std::uint8_t rows[2][12] = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0},
                                      {10, 20, 30, 40, 50, 60, 70, 80, 90, 0, 0, 0}};
    for (const auto& row : rows) {
        bmp.insert(bmp.end(), row, row + 12);
    }
    std::ofstream(Path("in.bmp"), std::ios::binary).write(reinterpret_cast<const char*>(bmp.data()), 78);
    ToolRun run = Imgconv(Path("in.bmp") + " " + Path("out.png"));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "3x2 depth 32\n");
    unsigned w = 0, h = 0;
    const std::vector<std::uint8_t> got = ReadRgba(Path("out.png"), &w, &h);
    const std::vector<std::uint8_t> want = {30, 20, 10, 255, 60, 50, 40, 255, 90, 80, 70, 255,
                                            3,  2,  1,  255, 6,  5,  4,  255, 9,  8,  7,  255};
    EXPECT_EQ(w, 3u);
    EXPECT_EQ(got, want);

    // A palette PNG with transparency, written by libpng; the output equals libpng's own decode.
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    image.width = 5;
    image.height = 4;
    image.format = PNG_FORMAT_RGBA_COLORMAP;
    image.colormap_entries = 6;
    const std::uint8_t colourMap[6 * 4] = {255, 0, 0, 255, 0,   255, 0,  128, 0, 0, 255, 0,
                                           9,   9, 9, 255, 200, 100, 50, 255, 1, 2, 3,   255};
    std::vector<std::uint8_t> indices(20);
    for (std::size_t i = 0; i < indices.size(); ++i) {
        indices[i] = static_cast<std::uint8_t>((i * 7) % 6);
    }
    ASSERT_TRUE(png_image_write_to_file(&image, Path("in.png").c_str(), 0, indices.data(), 5, colourMap));
    run = Imgconv(Path("in.png") + " " + Path("out2.png"));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "5x4 depth 4\n");
    EXPECT_EQ(ReadRgba(Path("out2.png"), &w, &h), ReadRgba(Path("in.png"), &w, &h));
}

TEST_F(ImgconvTest, RefusedFilesAndBadArgumentsAreNamed) {
    std::vector<std::uint8_t> bmp = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40,
                                     0,   0,   0, 1, 0, 0, 0, 1, 0, 0, 0,  1, 0, 7, 0};
    bmp.resize(60, 0);
    std::ofstream(Path("bad.bmp"), std::ios::binary).write(reinterpret_cast<const char*>(bmp.data()), 60);
    ToolRun run = Imgconv(Path("bad.bmp") + " " + Path("out.png"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("bad.bmp: a pixel depth the engine does not read (in this BMP image)"), std::string::npos)
        << run.output;
    run = Imgconv(Path("missing.bmp") + " " + Path("out.png"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("missing.bmp: no such file"), std::string::npos) << run.output;
    // Reasons in words, not codes: a file of another kind, one cut short, one without a reader.
    std::ofstream(Path("text.png")) << "not an image\n";
    run = Imgconv(Path("text.png") + " " + Path("out.png"));
    EXPECT_NE(run.output.find("text.png: not a PNG image"), std::string::npos) << run.output;
    run = Imgconv(Path("text.png").substr(0, Path("text.png").size() - 4) + ".txt " + Path("out.png"));
    EXPECT_NE(run.output.find("text.txt: no such file"), std::string::npos) << run.output;
    std::ofstream(Path("text.txt")) << "not an image\n";
    run = Imgconv(Path("text.txt") + " " + Path("out.png"));
    EXPECT_NE(run.output.find("text.txt: no image reader for its extension"), std::string::npos) << run.output;
    png_image whole = {};
    whole.version = PNG_IMAGE_VERSION;
    whole.width = 3;
    whole.height = 2;
    whole.format = PNG_FORMAT_RGBA;
    const std::vector<std::uint8_t> pixels(3 * 2 * 4, 0x7F);
    ASSERT_TRUE(png_image_write_to_file(&whole, Path("whole.png").c_str(), 0, pixels.data(), 0, nullptr));
    std::ifstream in(Path("whole.png"), std::ios::binary);
    const std::string png((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(png.size(), 40u);
    std::ofstream(Path("cut.png"), std::ios::binary).write(png.data(), 40);
    run = Imgconv(Path("cut.png") + " " + Path("out.png"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("cut.png: truncated: the data ends at byte 40 before the PNG image is complete"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(Imgconv("--help").status, 0);
    EXPECT_EQ(Imgconv(Path("bad.bmp")).status, 2);
}

} // namespace
