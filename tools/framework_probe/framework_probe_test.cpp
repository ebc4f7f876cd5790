// End to end: framework_probe headless in a folder with a minimal config.xml clears every frame
// to its colour and quits after PLATFORM_FRAMES frames or on ESC; without config.xml it shows the
// missing-file message and renders nothing; bad arguments are refused by name; the generated
// scene's cameras, bodies, start screen, player, lift, debug displays and a second world.

#include "testing/scratch_dir.h"
#include "testing/tool_run.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
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
    // The window waits to be closed; headless the run ends once the frames have stopped, with a
    // failing status.
    const ToolRun run = Probe("PLATFORM_FRAMES=30 PLATFORM_CAPTURE=f%02d.png");
    ASSERT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(Read("messages.log"), "Configuration file not found\n config.xml should be added in root directory\n");
    EXPECT_TRUE(Captures().empty());

    // A configuration error stops the frames the same way.
    std::ofstream(dir / "config.xml") << "<Config><Debug/></Config>";
    std::filesystem::remove(dir / "messages.log");
    const ToolRun bad = Probe("PLATFORM_FRAMES=30 PLATFORM_CAPTURE=f%02d.png");
    ASSERT_EQ(bad.status, 1) << bad.output;
    EXPECT_EQ(Read("messages.log"), "'level' attribute not found in 'Debug' section.\nPlease update your XML file\n"
                                    "'Debug' has no attribute 'level'; it has none (config.xml line 1).\n");
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

// The logged lines "frame F: MODE camera at X Y Z looking DX DY DZ".
struct CameraLine {
    long frame;
    std::string mode;
    float p[3];
    float at[3];
};
std::vector<CameraLine> CameraLog(const std::string& output) {
    std::vector<CameraLine> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        CameraLine l{};
        char mode[16] = {};
        if (std::sscanf(line.c_str(), "frame %ld: %15s camera at %f %f %f looking %f %f %f", &l.frame, mode, &l.p[0],
                        &l.p[1], &l.p[2], &l.at[0], &l.at[1], &l.at[2]) == 8) {
            l.mode = mode;
            lines.push_back(l);
        }
    }
    return lines;
}

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

TEST_F(FrameworkProbeTest, CamerasSwitchInTheConfiguredOrderAndFpsShowsTheCrosshair) {
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "scene --out " + dir.string()).status, 0);
    const ToolRun run = Probe("PLATFORM_FRAMES=120 PLATFORM_KEYS=30:C,60:C,90:C PLATFORM_CAPTURE=f%03d.png "
                              "PLATFORM_CAPTURE_EVERY=10",
                              "--log-camera 10");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Read("messages.log"), "");
    const std::vector<CameraLine> log = CameraLog(run.output);
    ASSERT_EQ(log.size(), 12u) << run.output;
    // The scene's switch sequence: Free (the start), Fixed, FPS, Path.
    const char* modes[] = {"Free", "Fixed", "FPS", "Path"};
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].frame, static_cast<long>(10 * (i + 1)));
        EXPECT_EQ(log[i].mode, modes[i / 3]) << log[i].frame;
    }
    EXPECT_EQ(log[0].p[1], 9.0f);
    EXPECT_EQ(log[0].p[2], -13.0f);
    EXPECT_EQ(log[3].p[2], 11.0f); // at the first fixed viewpoint
    // The crosshair (the 8 x 8 green target image) covers the four centre pixels in the
    // first-person frames only.
    for (const char* name : {"f010.png", "f050.png", "f070.png", "f080.png", "f090.png", "f110.png"}) {
        const bool fps = std::string(name) >= "f070.png" && std::string(name) <= "f090.png";
        for (int y : {239, 240}) {
            for (int x : {319, 320}) {
                int rgb[3] = {};
                ASSERT_TRUE(PixelAt((dir / name).string(), x, y, rgb)) << name;
                EXPECT_EQ(rgb[0] == 40 && rgb[1] == 255 && rgb[2] == 40, fps) << name << " " << x << "," << y;
            }
        }
    }
    // The pointer sits at the top-left corner outside the first-person and path views.
    int corner[3] = {};
    ASSERT_TRUE(PixelAt((dir / "f010.png").string(), 5, 5, corner));
    EXPECT_EQ(corner[0], 40);
    EXPECT_EQ(corner[2], 40);
}

// Where two captures differ: the count of differing pixels, and per row whether any differs. The
// pointer's corner (8 x 8 at the top left) is left out: it is drawn over whatever the frame drew
// before it.
struct FrameDifference {
    int pixels = 0;
    std::vector<bool> rows;
    int minX = 1 << 30;
    // Pixels differing within rows [top, bottom).
    int InRows(int top, int bottom) const {
        int n = 0;
        for (int y = top; y < bottom && y < static_cast<int>(rows.size()); ++y) {
            n += rows[static_cast<std::size_t>(y)] ? 1 : 0;
        }
        return n;
    }
};
FrameDifference Difference(const std::string& a, const std::string& b) {
    std::vector<png_byte> pa, pb;
    png_uint_32 w = 0, h = 0, w2 = 0, h2 = 0;
    FrameDifference d;
    if (!ReadPng(a, &pa, &w, &h) || !ReadPng(b, &pb, &w2, &h2) || w != w2 || h != h2) {
        d.pixels = -1;
        return d;
    }
    d.rows.assign(h, false);
    for (png_uint_32 y = 0; y < h; ++y) {
        for (png_uint_32 x = 0; x < w; ++x) {
            const std::size_t at = (static_cast<std::size_t>(y) * w + x) * 3;
            const bool pointer = x < 8 && y < 8;
            if (!pointer && (pa[at] != pb[at] || pa[at + 1] != pb[at + 1] || pa[at + 2] != pb[at + 2])) {
                ++d.pixels;
                d.rows[y] = true;
                d.minX = std::min(d.minX, static_cast<int>(x));
            }
        }
    }
    return d;
}

// The scene at each debug level, and with a second world: level 1 adds the frame-rate text at the
// top right, level 2 the statistics line on its left and the frame-time graph (its grey marks at
// 1/15 s and 1/30 s and the samples at the bottom), level 3 the debug drawing over the level; a
// second world's walls show over the first.
TEST_F(FrameworkProbeTest, DebugLevelsAndASecondWorldShowInTheFrame) {
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "scene --out " + dir.string()).status, 0);
    ASSERT_EQ(
        RunTool(MKASSET_PROGRAM, "level --seed 3 --size 8 --boxes 0 --out " + (dir / "models" / "small.bsp").string())
            .status,
        0);
    const std::string scene = Read("config.xml");
    const std::string level = "<Debug level=\"2\"/>";
    const std::string world = "<World filename=\"models/level.bsp\" name=\"level\" flags=\"0\"/>";
    ASSERT_NE(scene.find(level), std::string::npos);
    ASSERT_NE(scene.find(world), std::string::npos);
    auto run = [&](int debug, bool twoWorlds, const std::string& prefix) {
        std::string config = scene;
        config.replace(config.find(level), level.size(), "<Debug level=\"" + std::to_string(debug) + "\"/>");
        if (twoWorlds) {
            config.insert(config.find(world) + world.size(),
                          "\n    <World filename=\"models/small.bsp\" name=\"small\" flags=\"0\"/>");
        }
        std::ofstream(dir / "config.xml", std::ios::binary) << config;
        return Probe("PLATFORM_FRAMES=3 PLATFORM_FIXED_STEP=0.0166667 PLATFORM_CAPTURE=" + prefix + "%d.png");
    };
    for (int debug = 0; debug <= 3; ++debug) {
        const ToolRun r = run(debug, false, "d" + std::to_string(debug) + "_");
        ASSERT_EQ(r.status, 0) << r.output;
    }
    const ToolRun two = run(0, true, "w_");
    ASSERT_EQ(two.status, 0) << two.output;
    EXPECT_NE(two.output.find("2 worlds with 0 clumps"), std::string::npos) << two.output;
    EXPECT_EQ(Read("messages.log"), "");
    auto frame = [&](const std::string& prefix) { return (dir / (prefix + "3.png")).string(); };

    const FrameDifference text = Difference(frame("d0_"), frame("d1_"));
    EXPECT_GT(text.pixels, 100);
    EXPECT_EQ(text.InRows(0, 50) + text.InRows(100, 480), 0); // the one text line
    EXPECT_GT(text.minX, 320);                                // on the right

    const FrameDifference statistics = Difference(frame("d1_"), frame("d2_"));
    EXPECT_GT(statistics.InRows(50, 100), 0);
    EXPECT_LT(statistics.minX, 20);             // the statistics line starts at the left edge
    EXPECT_EQ(statistics.InRows(346, 348), 1);  // the 1/15 s mark
    EXPECT_EQ(statistics.InRows(413, 415), 1);  // the 1/30 s mark
    EXPECT_GE(statistics.InRows(440, 478), 33); // a sample of 1/60 s: 33 pixels up from 4 above the bottom
    EXPECT_EQ(statistics.InRows(120, 340), 0);  // nothing over the level

    EXPECT_GT(Difference(frame("d2_"), frame("d3_")).InRows(120, 340), 10); // the debug drawing

    const FrameDifference second = Difference(frame("d0_"), frame("w_"));
    EXPECT_GT(second.pixels, 2000);
    EXPECT_EQ(second.InRows(0, 100), 0);
}

TEST_F(FrameworkProbeTest, ScriptedMouseTurnsAndMovesTheFreeCamera) {
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "scene --out " + dir.string()).status, 0);
    const ToolRun run = Probe("PLATFORM_FRAMES=16 PLATFORM_KEYS=5:down=LBUTTON,6:rel=40/0,7:up=LBUTTON,"
                              "10:down=RBUTTON,11:rel=0/-50,12:up=RBUTTON",
                              "--log-camera 1");
    ASSERT_EQ(run.status, 0) << run.output;
    const std::vector<CameraLine> log = CameraLog(run.output);
    ASSERT_EQ(log.size(), 16u) << run.output;
    // Until the drag the camera looks from its start at the level's middle; 40 pixels to the right
    // turn it 8 degrees about the y axis without moving it; the right-button drag then moves it
    // 5 metres along its view.
    const CameraLine& before = log[3];
    const CameraLine& turned = log[8];
    const CameraLine& moved = log[15];
    EXPECT_EQ(before.p[2], -13.0f);
    EXPECT_NEAR(before.at[0], 0.0f, 0.01f);
    const float horizontal = std::sqrt(before.at[0] * before.at[0] + before.at[2] * before.at[2]);
    EXPECT_NEAR(turned.at[0], horizontal * std::sin(8.0f * 3.14159265f / 180.0f), 0.011f);
    EXPECT_NEAR(turned.at[1], before.at[1], 0.011f);
    EXPECT_EQ(turned.p[2], before.p[2]);
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(moved.p[c], turned.p[c] + 5.0f * turned.at[c], 0.05f) << c;
    }
}

// The first-person view with the window's mouse (mouse mode 1): it starts level, and turns by half
// a degree a pixel across and a degree a pixel up or down, whatever the moves before: the first
// move after the cursor was centred counts (40 pixels, 20 degrees), a bigger one turns in
// proportion (80 more, 60 in all), two moves in one frame both count, and moves far enough to
// take the cursor back to the centre go on turning by as much.
TEST_F(FrameworkProbeTest, FirstPersonViewTurnsInProportionToTheMouse) {
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "scene --out " + dir.string()).status, 0);
    {
        std::string config = Read("config.xml");
        config.insert(config.rfind("</Config>"), "  <Input><MouseMode Value=\"1\"/></Input>\n");
        std::ofstream(dir / "config.xml", std::ios::binary) << config;
    }
    const ToolRun run = Probe("PLATFORM_FRAMES=100 PLATFORM_FIXED_STEP=0.0166667 PLATFORM_KEYS=30:C,60:C,"
                              "70:rel=40/0,75:rel=80/0,80:rel=20/0,80:rel=20/0,85:rel=0/30,90:rel=200/0,"
                              "92:rel=200/0",
                              "--player --log-camera 1 --log-player 1000");
    ASSERT_EQ(run.status, 0) << run.output;
    const std::vector<CameraLine> log = CameraLog(run.output);
    ASSERT_EQ(log.size(), 100u) << run.output;
    const float degree = 3.14159265f / 180.0f;
    struct Want {
        long frame;
        float yaw, pitch; // degrees turned to the right of +z, and down
    };
    for (const Want& w :
         {Want{69, 0, 0}, Want{74, 20, 0}, Want{79, 60, 0}, Want{84, 80, 0}, Want{89, 80, 30}, Want{99, 280, 30}}) {
        const CameraLine& l = log[static_cast<std::size_t>(w.frame - 1)];
        ASSERT_EQ(l.frame, w.frame);
        EXPECT_EQ(l.mode, "FPS") << l.frame;
        EXPECT_NEAR(l.at[0], -std::sin(w.yaw * degree) * std::cos(w.pitch * degree), 0.011f) << l.frame;
        EXPECT_NEAR(l.at[2], std::cos(w.yaw * degree) * std::cos(w.pitch * degree), 0.011f) << l.frame;
        EXPECT_NEAR(l.at[1], -std::sin(w.pitch * degree), 0.011f) << l.frame;
    }
}

TEST_F(FrameworkProbeTest, MissingCameraImagesAreReported) {
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "scene --out " + dir.string()).status, 0);
    std::filesystem::remove(dir / "models" / "textures" / "target.bmp");
    const ToolRun run = Probe("PLATFORM_FRAMES=10 PLATFORM_CAPTURE=f%02d.png");
    ASSERT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(Read("messages.log"),
              "Texture not found : 'TARGET.BMP'\nThe file 'MODELS/TEXTURES/TARGET.BMP' is not there.\n");
    EXPECT_TRUE(Captures().empty());
    // The pointer image is looked for once the configuration went through.
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "scene --out " + dir.string()).status, 0);
    std::filesystem::remove(dir / "models" / "textures" / "pointer.bmp");
    std::filesystem::remove(dir / "messages.log");
    const ToolRun pointer = Probe("PLATFORM_FRAMES=10");
    ASSERT_EQ(pointer.status, 1) << pointer.output;
    EXPECT_EQ(Read("messages.log"),
              "Texture not found : 'POINTER.BMP'\nThe file 'MODELS/TEXTURES/POINTER.BMP' is not there.\n");
}

// "frame F body I NAME: X Y Z[ (dragged)]" lines of the first body.
struct BodyLine {
    int frame;
    float p[3];
    bool dragged;
};
std::vector<BodyLine> FirstBodyLog(const std::string& output) {
    std::vector<BodyLine> lines;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        BodyLine b{};
        char name[32] = {};
        int index = -1;
        if (std::sscanf(line.c_str(), "frame %d body %d %31[^:]: %f %f %f", &b.frame, &index, name, &b.p[0], &b.p[1],
                        &b.p[2]) == 6 &&
            index == 0) {
            b.dragged = line.find("(dragged)") != std::string::npos;
            lines.push_back(b);
        }
    }
    return lines;
}

TEST_F(FrameworkProbeTest, RightControlDragsACrateThatSettlesAfterRelease) {
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "scene --out " + dir.string()).status, 0);
    // The pointer goes onto the first crate, a little left of the view's middle; RIGHT CTRL grabs it, the
    // pointer rises 32 pixels, and the crate is let go at frame 90.
    const ToolRun run = Probe("PLATFORM_FRAMES=300 PLATFORM_FIXED_STEP=0.0166667 PLATFORM_KEYS=5:rel=146/128,"
                              "20:down=RCONTROL,30:rel=0/-8,35:rel=0/-8,90:up=RCONTROL",
                              "--log-bodies 15");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Read("messages.log"), "");
    const std::vector<BodyLine> log = FirstBodyLog(run.output);
    ASSERT_EQ(log.size(), 20u) << run.output;
    EXPECT_NEAR(log[0].p[1], 0.5f, 0.02f); // at rest before the drag
    float highest = 0.0f;
    for (const BodyLine& b : log) {
        EXPECT_EQ(b.dragged, b.frame >= 30 && b.frame <= 90) << b.frame;
        if (b.dragged) {
            highest = std::max(highest, b.p[1]);
        }
    }
    EXPECT_GT(highest, 1.2f);
    // Back on the floor and still by the end.
    const BodyLine& last = log.back();
    const BodyLine& before = log[log.size() - 3];
    EXPECT_LT(last.p[1], 0.6f);
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(last.p[c], before.p[c], 1e-3f) << c;
    }
}

TEST_F(FrameworkProbeTest, StartScreenHoldsTheGameUntilEnter) {
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "scene --out " + dir.string() + " --hud").status, 0);
    // RIGHT CTRL on the crate does nothing while the screen is up; after ENTER it drags.
    const ToolRun run = Probe("PLATFORM_FRAMES=80 PLATFORM_FIXED_STEP=0.0166667 PLATFORM_KEYS=5:rel=146/128,"
                              "10:down=RCONTROL,30:up=RCONTROL,40:RETURN,50:down=RCONTROL PLATFORM_CAPTURE=f%02d.png "
                              "PLATFORM_CAPTURE_EVERY=20",
                              "--log-bodies 10");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Read("messages.log"), "");
    for (const BodyLine& b : FirstBodyLog(run.output)) {
        EXPECT_EQ(b.dragged, b.frame >= 60) << b.frame;
    }
    // The text's paper shows at the top-left of its view while the screen is up, not after.
    for (const char* name : {"f20.png", "f60.png"}) {
        int rgb[3] = {};
        ASSERT_TRUE(PixelAt((dir / name).string(), 46, 121, rgb)) << name;
        const bool paper = rgb[0] == 230 && rgb[1] == 226 && rgb[2] == 210;
        EXPECT_EQ(paper, std::string(name) == "f20.png") << name << " " << rgb[0] << " " << rgb[1] << " " << rgb[2];
    }
    // Without its images the screen names them.
    std::filesystem::remove(dir / "models" / "textures" / "stText.bmp");
    const ToolRun missing = Probe("PLATFORM_FRAMES=10");
    ASSERT_EQ(missing.status, 1) << missing.output;
    EXPECT_EQ(Read("messages.log"),
              "Texture 'stText.bmp' not found\nThe file 'MODELS/TEXTURES/stText.bmp' is not there.\n");
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
    for (const char* option : {"--log-camera", "--log-bodies", "--log-player"}) {
        for (const char* value : {"", "0", "-3", "ten", "5x"}) {
            const ToolRun log = RunTool(FRAMEWORK_PROBE_PROGRAM, std::string(option) + " " + value);
            EXPECT_EQ(log.status, 2) << value;
            EXPECT_NE(log.output.find(std::string("bad ") + option + " value"), std::string::npos) << log.output;
        }
    }
}

// The player walks forward while UP is held, at 2 m/s with the walk animation, then stands idle; a
// tap of SPACE while walking fires nothing, SPACE held while aiming (left SHIFT) fires every 0.15 s
// into the level ahead.
TEST_F(FrameworkProbeTest, PlayerWalksIdlesAndShootsWhileAiming) {
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "scene --out " + dir.string()).status, 0);
    const ToolRun run = Probe("PLATFORM_FRAMES=120 PLATFORM_FIXED_STEP=0.0166667 "
                              "PLATFORM_KEYS=10:down=UP,70:up=UP,80:SPACE,85:down=LSHIFT,86:down=SPACE,115:up=SPACE",
                              "--log-player 5");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Read("messages.log"), "");
    struct Line {
        long frame;
        float p[3];
        std::string animation;
    };
    std::vector<Line> lines;
    std::vector<Line> shots;
    std::istringstream in(run.output);
    for (std::string text; std::getline(in, text);) {
        Line l{};
        char name[32] = {};
        int shot = 0;
        if (std::sscanf(text.c_str(), "frame %ld: player at %f %f %f animation %31s", &l.frame, &l.p[0], &l.p[1],
                        &l.p[2], name) == 5) {
            l.animation = name;
            lines.push_back(l);
        } else if (std::sscanf(text.c_str(), "frame %ld: player shot %d hit %31s at %f %f %f", &l.frame, &shot, name,
                               &l.p[0], &l.p[1], &l.p[2]) == 6) {
            l.animation = name;
            shots.push_back(l);
        }
    }
    ASSERT_EQ(lines.size(), 24u) << run.output;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const Line& l = lines[i];
        const float step = l.p[2] - lines[i - 1].p[2];
        EXPECT_NEAR(l.p[0], 0.0f, 1e-3f) << l.frame;
        EXPECT_NEAR(l.p[1], 0.0f, 0.02f) << l.frame; // standing on the floor
        if (l.frame >= 20 && l.frame <= 70) {
            EXPECT_EQ(l.animation, "Walk") << l.frame;
            EXPECT_NEAR(step, 5 * 2.0f * 0.0166667f, 0.01f) << l.frame;
        } else if (l.frame >= 75 && l.frame <= 85) {
            EXPECT_EQ(l.animation, "Idle") << l.frame;
            EXPECT_TRUE(l.frame == 75 || std::fabs(step) < 1e-4f) << l.frame; // still from frame 71 on
        } else if (l.frame >= 90) {
            EXPECT_EQ(l.animation, "IdleAimMiddleFront") << l.frame;
            EXPECT_NEAR(step, 0.0f, 1e-4f) << l.frame;
        }
    }
    // 29 frames of fire: a shot once 0.15 s have passed, then one every 0.15 s.
    ASSERT_EQ(shots.size(), 3u) << run.output;
    for (const Line& s : shots) {
        EXPECT_GT(s.frame, 86) << s.frame;
        EXPECT_EQ(s.animation, "level");
        EXPECT_GT(s.p[2], lines.back().p[2] + 1.0f); // ahead of him, along +z
    }
}

// Right SHIFT held with UP runs: the "Run" animation, faster than the walk; with left SHIFT held as
// well he stands aiming instead.
TEST_F(FrameworkProbeTest, PlayerRunsWithRightShiftAndUp) {
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "scene --out " + dir.string()).status, 0);
    const ToolRun run = Probe("PLATFORM_FRAMES=60 PLATFORM_FIXED_STEP=0.0166667 "
                              "PLATFORM_KEYS=5:down=RSHIFT,6:down=UP,40:down=LSHIFT",
                              "--log-player 5");
    ASSERT_EQ(run.status, 0) << run.output;
    std::vector<std::pair<float, std::string>> lines; // z and animation every 5 frames
    std::istringstream in(run.output);
    for (std::string text; std::getline(in, text);) {
        long frame = 0;
        float p[3] = {};
        char name[32] = {};
        if (std::sscanf(text.c_str(), "frame %ld: player at %f %f %f animation %31s", &frame, &p[0], &p[1], &p[2],
                        name) == 5) {
            lines.emplace_back(p[2], name);
        }
    }
    ASSERT_EQ(lines.size(), 12u) << run.output;
    for (std::size_t i = 4; i < 7; ++i) { // frames 25 to 35
        EXPECT_EQ(lines[i].second, "Run") << i;
        EXPECT_GT(lines[i].first - lines[i - 1].first, 5 * 2.0f * 0.0166667f * 1.5f) << i; // faster than a walk
    }
    EXPECT_EQ(lines.back().second, "IdleAimMiddleFront");
}

TEST_F(FrameworkProbeTest, TheScenesLiftRidesBetweenItsPointsWithItsPlatform) {
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "scene --out " + dir.string()).status, 0);
    // 2 units a second over 3 units, then 3 s at the top: at 30 steps a second the platform is up
    // by frame 50 and on its way down after frame 140.
    const ToolRun run = Probe("PLATFORM_FRAMES=200 PLATFORM_FIXED_STEP=0.0333333 PLATFORM_CAPTURE=f%03d.png "
                              "PLATFORM_CAPTURE_EVERY=100",
                              "--log-lifts 10");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Read("messages.log"), "");
    float low = 1e9f, high = -1e9f;
    int lines = 0;
    std::istringstream in(run.output);
    for (std::string text; std::getline(in, text);) {
        long frame = 0;
        int lift = -1;
        float p[3], a[3];
        if (std::sscanf(text.c_str(), "frame %ld lift %d: %f %f %f anchor %f %f %f", &frame, &lift, &p[0], &p[1], &p[2],
                        &a[0], &a[1], &a[2]) != 8) {
            continue;
        }
        ++lines;
        EXPECT_EQ(lift, 0);
        EXPECT_NEAR(p[0], 3.0f, 0.01f) << text;
        EXPECT_NEAR(p[2], -2.0f, 0.01f) << text;
        EXPECT_NEAR(p[1], a[1], 0.05f) << text; // the platform rides its anchor
        EXPECT_GE(a[1], 0.1f - 1e-4f) << text;
        EXPECT_LE(a[1], 3.1f + 1e-4f) << text;
        low = std::min(low, a[1]);
        high = std::max(high, a[1]);
        if (frame >= 60 && frame <= 130) {
            EXPECT_NEAR(a[1], 3.1f, 1e-3f) << text;
        }
    }
    EXPECT_EQ(lines, 20) << run.output;
    EXPECT_LT(low, 0.2f);
    EXPECT_NEAR(high, 3.1f, 1e-3f);
    EXPECT_EQ(Captures().size(), 2u);
}

} // namespace
