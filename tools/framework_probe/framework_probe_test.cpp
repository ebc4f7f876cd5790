// End to end: framework_probe headless in a folder with a minimal config.xml clears every frame
// to its colour and quits after PLATFORM_FRAMES frames or on ESC; without config.xml it shows the
// missing-file message and renders nothing; bad arguments are refused by name.

#include "testing/scratch_dir.h"
#include "testing/tool_run.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
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
    const ToolRun run = Probe("PLATFORM_FRAMES=30 PLATFORM_CAPTURE=f%02d.png");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Read("messages.log"), "");
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

// Cameras: the configured switch sequence, a fixed viewpoint and the free start.
const char kCameraConfig[] = R"(<?xml version="1.0"?>
<Config>
  <Scale value="1.0"/>
  <Camera nearClip="0.1" farClip="500" fov="40">
    <SwitchSequence><Mode value="Free"/><Mode value="Fixed"/><Mode value="FPS"/><Mode value="Path"/></SwitchSequence>
    <CameraMode mode="Free"/>
    <Follow minVAngle="5" maxVAngle="60" minDistance="2" maxDistance="10"/>
    <Free><InitialPosition x="0" y="6" z="-16"/><InitialTarget x="0" y="0" z="0"/></Free>
    <Fixed><Name value="North gate"/><Position x="0" y="8" z="14"/><Target x="0" y="0" z="0"/></Fixed>
  </Camera>
</Config>
)";

// The pixel (r, g, b) of a PNG capture at (x, y).
bool PixelAt(const std::string& path, int x, int y, int* rgb) {
    std::vector<png_byte> pixels;
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    if (!ReadPng(path, &pixels, &width, &height) || x < 0 || y < 0 || static_cast<png_uint_32>(x) >= width ||
        static_cast<png_uint_32>(y) >= height) {
        return false;
    }
    const std::size_t at = (static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x)) * 3;
    for (int c = 0; c < 3; ++c) {
        rgb[c] = pixels[at + static_cast<std::size_t>(c)];
    }
    return true;
}

// The logged lines "frame F: MODE camera at ..." as (F, MODE, rest).
struct CameraLine {
    long frame;
    std::string mode;
    std::string rest;
};
std::vector<CameraLine> CameraLog(const std::string& output) {
    std::vector<CameraLine> lines;
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        end = end == std::string::npos ? output.size() : end;
        const std::string line = output.substr(start, end - start);
        long frame = 0;
        char mode[16] = {};
        int used = 0;
        if (std::sscanf(line.c_str(), "frame %ld: %15s camera at %n", &frame, mode, &used) == 2 && used > 0) {
            lines.push_back({frame, mode, line.substr(static_cast<std::size_t>(used))});
        }
        start = end + 1;
    }
    return lines;
}

TEST_F(FrameworkProbeTest, CamerasSwitchInTheConfiguredOrderAndFpsShowsTheCrosshair) {
    std::ofstream(dir / "config.xml") << kCameraConfig;
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "markers --out " + dir.string()).status, 0);
    const ToolRun run = Probe("PLATFORM_FRAMES=120 PLATFORM_KEYS=30:C,60:C,90:C PLATFORM_CAPTURE=f%03d.png "
                              "PLATFORM_CAPTURE_EVERY=10",
                              "--log-camera 10");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Read("messages.log"), "");
    const std::vector<CameraLine> log = CameraLog(run.output);
    ASSERT_EQ(log.size(), 12u) << run.output;
    const char* modes[] = {"Free", "Fixed", "FPS", "Path"};
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].frame, static_cast<long>(10 * (i + 1)));
        EXPECT_EQ(log[i].mode, modes[i / 3]) << log[i].frame;
    }
    EXPECT_EQ(log[0].rest.substr(0, 17), "0.00 6.00 -16.00 ");
    EXPECT_EQ(log[3].rest.substr(0, 16), "0.00 8.00 14.00 "); // at the viewpoint
    // The crosshair (the 8 x 8 green target image) covers the four centre pixels in the
    // first-person frames only; the pointer sits at the top-left corner outside them.
    for (const char* name : {"f010.png", "f050.png", "f070.png", "f080.png", "f090.png", "f110.png"}) {
        const bool fps = std::string(name) >= "f070.png" && std::string(name) <= "f090.png";
        for (int y : {239, 240}) {
            for (int x : {319, 320}) {
                int rgb[3] = {};
                ASSERT_TRUE(PixelAt((dir / name).string(), x, y, rgb)) << name;
                EXPECT_EQ(rgb[1] == 255 && rgb[0] == 40, fps) << name << " " << x << "," << y;
            }
        }
        int outside[3] = {};
        ASSERT_TRUE(PixelAt((dir / name).string(), 321, 241, outside));
        EXPECT_EQ(outside[1], 88) << name;
    }
    int corner[3] = {};
    ASSERT_TRUE(PixelAt((dir / "f010.png").string(), 5, 5, corner));
    EXPECT_NE(corner[2], 110); // the pointer image
}

TEST_F(FrameworkProbeTest, ScriptedMouseTurnsAndMovesTheFreeCamera) {
    std::ofstream(dir / "config.xml") << kCameraConfig;
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "markers --out " + dir.string()).status, 0);
    const ToolRun run = Probe("PLATFORM_FRAMES=16 PLATFORM_KEYS=5:down=LBUTTON,6:rel=40/0,7:up=LBUTTON,"
                              "10:down=RBUTTON,11:rel=0/-50,12:up=RBUTTON",
                              "--log-camera 1");
    ASSERT_EQ(run.status, 0) << run.output;
    const std::vector<CameraLine> log = CameraLog(run.output);
    ASSERT_EQ(log.size(), 16u) << run.output;
    // Until the drag the camera looks at the origin from its start; then it has turned right
    // (8 degrees for 40 pixels) without moving; the right-button drag then moved it forward.
    EXPECT_EQ(log[4].rest, "0.00 6.00 -16.00 looking 0.00 -0.35 0.94");
    EXPECT_EQ(log[8].rest, "0.00 6.00 -16.00 looking 0.13 -0.35 0.93");
    EXPECT_EQ(log[15].rest.substr(log[15].rest.find("looking")), "looking 0.13 -0.35 0.93");
    EXPECT_NE(log[15].rest.substr(0, 17), "0.00 6.00 -16.00 ");
}

TEST_F(FrameworkProbeTest, MissingCameraImagesAreReported) {
    std::ofstream(dir / "config.xml") << kCameraConfig;
    const ToolRun run = Probe("PLATFORM_FRAMES=10 PLATFORM_CAPTURE=f%02d.png");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Read("messages.log"), "Texture not found : 'TARGET.BMP'\n");
    EXPECT_TRUE(Captures().empty());
    // The pointer image is looked for once the configuration went through.
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "markers --out " + dir.string()).status, 0);
    std::filesystem::remove(dir / "models" / "textures" / "pointer.bmp");
    std::filesystem::remove(dir / "messages.log");
    const ToolRun pointer = Probe("PLATFORM_FRAMES=10");
    ASSERT_EQ(pointer.status, 0) << pointer.output;
    EXPECT_EQ(Read("messages.log"), "Texture not found : 'POINTER.BMP'\n");
}

TEST_F(FrameworkProbeTest, HelpAndBadArguments) {
    const ToolRun help = RunTool(FRAMEWORK_PROBE_PROGRAM, "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: framework_probe"), std::string::npos);
    const ToolRun bad = RunTool(FRAMEWORK_PROBE_PROGRAM, "--frames 3");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.output.find("unknown argument: --frames"), std::string::npos) << bad.output;
    for (const char* value : {"", "0", "-3", "ten", "5x"}) {
        const ToolRun log = RunTool(FRAMEWORK_PROBE_PROGRAM, std::string("--log-camera ") + value);
        EXPECT_EQ(log.status, 2) << value;
        EXPECT_NE(log.output.find("bad --log-camera value"), std::string::npos) << log.output;
    }
}

} // namespace
