// End to end: framework_probe headless in a folder with a minimal config.xml clears every frame
// to its colour and quits after PLATFORM_FRAMES frames or on ESC; without config.xml it shows the
// missing-file message and renders nothing; bad arguments are refused by name.

#include "testing/scratch_dir.h"
#include "testing/tool_run.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct FrameworkProbeTest : ::testing::Test {
    std::filesystem::path dir;
    void SetUp() override { dir = MakeTestScratchDir("dun_framework_probe"); }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Runs the probe headless in the scratch folder with the given extra controls.
    ToolRun Probe(const std::string& controls, const std::string& arguments = "") {
        return RunTool("cd " + dir.string() + " && env -u DISPLAY -u WAYLAND_DISPLAY PLATFORM_HEADLESS=1 " +
                           "PLATFORM_MSGBOX_LOG=messages.log " + controls + " " + FRAMEWORK_PROBE_PROGRAM,
                       arguments);
    }

    std::string Read(const std::string& name) const {
        std::ifstream in(dir / name, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    std::vector<std::string> Captures() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            if (e.path().extension() == ".png") {
                names.push_back(e.path().filename().string());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

// The RGB pixels of a PNG file, rows top-down; false when it cannot be read.
bool ReadPng(const std::string& path, std::vector<png_byte>* pixels, png_uint_32* width, png_uint_32* height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    pixels->resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels->data(), 0, nullptr)) {
        return false;
    }
    *width = image.width;
    *height = image.height;
    return true;
}

// Whether every pixel of the PNG file is (r, g, b); the size goes to *width, *height.
bool AllPixels(const std::string& path, int r, int g, int b, png_uint_32* width, png_uint_32* height) {
    std::vector<png_byte> pixels;
    if (!ReadPng(path, &pixels, width, height)) {
        return false;
    }
    for (std::size_t i = 0; i < pixels.size(); i += 3) {
        if (pixels[i] != r || pixels[i + 1] != g || pixels[i + 2] != b) {
            return false;
        }
    }
    return !pixels.empty();
}

// Mouse mode 1: no DirectInput mouse and no pointer image to load.
const char kMinimalConfig[] = "<?xml version=\"1.0\"?>\n<Config>\n  <Debug level=\"0\"/>\n  <Scale value=\"1.0\"/>\n"
                              "  <Input><MouseMode Value=\"1\"/></Input>\n</Config>\n";

TEST_F(FrameworkProbeTest, ThirtyFramesInTheClearColourAndNoMessage) {
    std::ofstream(dir / "config.xml") << kMinimalConfig;
    const ToolRun run = Probe("PLATFORM_FRAMES=30 PLATFORM_CAPTURE=f%02d.png", "--log-camera 15");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Read("messages.log"), "");
    EXPECT_EQ(run.output, "frame 15: no camera manager\nframe 30: no camera manager\n");
    const std::vector<std::string> captures = Captures();
    ASSERT_EQ(captures.size(), 30u) << run.output;
    EXPECT_EQ(captures.front(), "f01.png");
    EXPECT_EQ(captures.back(), "f30.png");
    for (const std::string& name : captures) {
        png_uint_32 w = 0, h = 0;
        EXPECT_TRUE(AllPixels((dir / name).string(), 88, 88, 110, &w, &h)) << name;
        EXPECT_EQ(w, 640u);
        EXPECT_EQ(h, 480u);
    }
}

TEST_F(FrameworkProbeTest, EscapeQuitsWithZero) {
    std::ofstream(dir / "config.xml") << kMinimalConfig;
    const ToolRun run = Probe("PLATFORM_FRAMES=100 PLATFORM_KEYS=5:ESCAPE PLATFORM_CAPTURE=f%03d.png");
    ASSERT_EQ(run.status, 0) << run.output;
    const std::vector<std::string> captures = Captures();
    EXPECT_GE(captures.size(), 5u);
    EXPECT_LE(captures.size(), 6u);
}

TEST_F(FrameworkProbeTest, WithoutConfigurationTheMessageAndNoFrame) {
    const ToolRun run = Probe("PLATFORM_FRAMES=30 PLATFORM_CAPTURE=f%02d.png");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Read("messages.log"), "Configuration file not found\n config.xml should be added in root directory\n");
    EXPECT_TRUE(Captures().empty());

    // A configuration error stops the frames the same way.
    std::ofstream(dir / "config.xml") << "<Config><Debug/></Config>";
    std::filesystem::remove(dir / "messages.log");
    const ToolRun bad = Probe("PLATFORM_FRAMES=30 PLATFORM_CAPTURE=f%02d.png");
    ASSERT_EQ(bad.status, 0) << bad.output;
    EXPECT_EQ(Read("messages.log"), "'level' attribute not found in 'Debug' section.\nPlease update your XML file\n");
    EXPECT_TRUE(Captures().empty());
}

TEST_F(FrameworkProbeTest, DroppedBoxesComeToRestOnTheGeneratedScene) {
    const ToolRun scene = RunTool(MKASSET_PROGRAM, "scene --out " + dir.string());
    ASSERT_EQ(scene.status, 0) << scene.output;
    const ToolRun run = Probe(
        "PLATFORM_FRAMES=240 PLATFORM_FIXED_STEP=0.0166667 PLATFORM_CAPTURE=f%03d.png PLATFORM_CAPTURE_FRAMES=240");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Read("messages.log"), "");
    EXPECT_NE(run.output.find("1 worlds with 0 clumps (0 active clumps, 0 geometries)\n"), std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("frame 0 box"), std::string::npos); // nothing dropped without --drop

    const ToolRun drop = RunTool("cd " + dir.string() + " && env -u DISPLAY -u WAYLAND_DISPLAY PLATFORM_HEADLESS=1 " +
                                     "PLATFORM_MSGBOX_LOG=messages.log PLATFORM_FRAMES=240 " +
                                     "PLATFORM_FIXED_STEP=0.0166667 " + FRAMEWORK_PROBE_PROGRAM,
                                 "--drop 7");
    ASSERT_EQ(drop.status, 0) << drop.output;
    // Box i falls from 2 + 1.5 (i / 5) onto the floor (y = 0) or onto box i - 5: its centre
    // rests half a metre above, a metre per layer.
    int seen = 0;
    std::istringstream lines(drop.output);
    for (std::string line; std::getline(lines, line);) {
        int frame = 0, box = 0;
        float x = 0, y = 0, z = 0;
        if (std::sscanf(line.c_str(), "frame %d box %d: %f %f %f", &frame, &box, &x, &y, &z) == 5 && frame == 240) {
            EXPECT_NEAR(y, 0.5f + static_cast<float>(box / 5), 0.01f) << line;
            ++seen;
        }
    }
    EXPECT_EQ(seen, 7) << drop.output;
}

TEST_F(FrameworkProbeTest, HelpAndBadArguments) {
    const ToolRun help = RunTool(FRAMEWORK_PROBE_PROGRAM, "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: framework_probe"), std::string::npos);
    const ToolRun bad = RunTool(FRAMEWORK_PROBE_PROGRAM, "--frames 3");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.output.find("unknown argument: --frames"), std::string::npos) << bad.output;
    for (const char* value : {"--drop", "--drop -1", "--drop 65", "--drop 2x"}) {
        const ToolRun drop = RunTool(FRAMEWORK_PROBE_PROGRAM, value);
        EXPECT_EQ(drop.status, 2) << value;
        EXPECT_NE(drop.output.find("bad --drop value"), std::string::npos) << drop.output;
    }
    for (const char* value : {"", "0", "-3", "ten", "5x"}) {
        const ToolRun log = RunTool(FRAMEWORK_PROBE_PROGRAM, std::string("--log-camera ") + value);
        EXPECT_EQ(log.status, 2) << value;
        EXPECT_NE(log.output.find("bad --log-camera value"), std::string::npos) << log.output;
    }
}

} // namespace
