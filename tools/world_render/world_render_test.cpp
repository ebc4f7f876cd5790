// End to end: the asset builder's level of seed 1 with a box on it, drawn headless at 320x240
// through the world plugin's Direct3D 9 pipelines, pixel for pixel the committed golden picture;
// the floor, a wall, a block and the box are there and lit; bad arguments and files are named.

#include "testing/golden_png.h"
#include "testing/scratch_dir.h"
#include "testing/tool_run.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

ToolRun WorldRender(const std::string& arguments) { return RunTool(WORLD_RENDER_PROGRAM, arguments); }

struct WorldRenderTest : ::testing::Test {
    std::filesystem::path dir;
    std::string level, box;
    void SetUp() override {
        dir = MakeTestScratchDir("dun_world_render");
        level = (dir / "level.bsp").string();
        box = (dir / "box.dff").string();
        const ToolRun l = RunTool(MKASSET_PROGRAM, "level --seed 1 --out " + level);
        ASSERT_EQ(l.status, 0) << l.output;
        const ToolRun b = RunTool(MKASSET_PROGRAM, "model --kind box --size 1 --out " + box);
        ASSERT_EQ(b.status, 0) << b.output;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST_F(WorldRenderTest, LevelWithABoxMatchesTheGoldenPicture) {
    const std::string out = (dir / "frame.png").string();
    const std::string golden = "golden/level1_box_320x240.png";
    const ToolRun run =
        WorldRender(level + " --clump " + box + " --at 0,0.5,3 --camera 0,1.7,-8,0,0 --size 320x240 --out " + out);
    ASSERT_EQ(run.status, 0) << run.output;
    ASSERT_NE(run.output.find("320x240, draw calls "), std::string::npos) << run.output;
    const GoldenComparison c = CompareWithGolden(out, golden);
    ASSERT_TRUE(c.problem.empty()) << c.problem;
    ASSERT_EQ(c.width, 320u);
    ASSERT_EQ(c.height, 240u);
    EXPECT_EQ(c.differ, 0) << "largest channel difference " << c.worst;
    const std::vector<png_byte>& frame = c.frame;

    // What the picture must show whatever the golden holds: the bottom rows are floor, the box
    // straight ahead below the horizon is drawn in its lit grey, nothing is left at the clear
    // colour below the walls' top, and the lit parts are not black.
    auto at = [&](int x, int y) { return &frame[(static_cast<std::size_t>(y) * 320 + x) * 3]; };
    auto isClear = [](const png_byte* p) { return p[0] == 40 && p[1] == 48 && p[2] == 64; };
    auto isBlack = [](const png_byte* p) { return p[0] < 8 && p[1] < 8 && p[2] < 8; };
    for (int x = 0; x < 320; x += 8) {
        EXPECT_FALSE(isClear(at(x, 239))) << "floor missing at " << x;
        EXPECT_FALSE(isBlack(at(x, 239))) << "floor unlit at " << x;
    }
    const png_byte* boxPixel = at(160, 150);
    EXPECT_FALSE(isClear(boxPixel));
    EXPECT_FALSE(isBlack(boxPixel));
    int clear = 0;
    for (int y = 120; y < 240; ++y) {
        for (int x = 0; x < 320; ++x) {
            clear += isClear(at(x, y));
        }
    }
    EXPECT_EQ(clear, 0) << "the level leaves holes below the horizon";
}

// The same frame through the generated vertex shaders: the same lights gathered into their
// constants give the fixed-function picture within 2 per channel at nearly every pixel; only
// pixels on triangle edges (the shaders transform by the product of the matrices, rounding
// differently) and texels at a coordinate's rounding boundary may differ more, at most 0.5% of them.
TEST_F(WorldRenderTest, ShadersDrawTheFixedFunctionFrame) {
    const std::string out = (dir / "shaders.png").string();
    const ToolRun run = WorldRender(level + " --clump " + box +
                                    " --at 0,0.5,3 --camera 0,1.7,-8,0,0 --shaders --size 320x240 --out " + out);
    ASSERT_EQ(run.status, 0) << run.output;
    png_uint_32 w = 0, h = 0, gw = 0, gh = 0;
    const std::vector<png_byte> shaded = ReadPngRgb(out, &w, &h);
    const std::vector<png_byte> fixed = ReadPngRgb("golden/level1_box_320x240.png", &gw, &gh);
    ASSERT_EQ(shaded.size(), 320u * 240u * 3u);
    ASSERT_EQ(fixed.size(), shaded.size());
    int beyond = 0, worst = 0, clearInShaded = 0, clearInFixed = 0;
    for (std::size_t i = 0; i < shaded.size(); i += 3) {
        int d = 0;
        for (int k = 0; k < 3; ++k) {
            d = std::max(d, std::abs(shaded[i + k] - fixed[i + k]));
        }
        beyond += d > 2;
        worst = std::max(worst, d);
        clearInShaded += shaded[i] == 40 && shaded[i + 1] == 48 && shaded[i + 2] == 64;
        clearInFixed += fixed[i] == 40 && fixed[i + 1] == 48 && fixed[i + 2] == 64;
    }
    EXPECT_LE(beyond, 320 * 240 / 200) << "largest channel difference " << worst;
    // Not a frame of nothing matching a frame of nothing: the level covers most of the picture.
    EXPECT_LT(clearInShaded, 320 * 240 / 2);
    EXPECT_NEAR(clearInShaded, clearInFixed, 320 * 240 / 200);
}

// A walking character of 20 bones stands on the level: its pose at a quarter of the stride differs
// from the start's, some of its pixels stand out against the level behind it, and the same frame
// skinned by the generated shaders matches the one skinned on the processor within the tolerance
// above (at most 0.5% of the pixels differ by more than 2 in a channel).
TEST_F(WorldRenderTest, AWalkingCharacterIsPosedAndDrawn) {
    const std::string soldier = (dir / "soldier.dff").string(), walk = (dir / "walk.anm").string();
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "character --bones 20 --out " + soldier).status, 0);
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "anim --for " + soldier + " --kind walk --seconds 1 --out " + walk).status, 0);
    const std::string view = " --camera 0,1.2,-3,0,-5 --size 160x120 --out ";
    const std::string start = (dir / "start.png").string(), quarter = (dir / "quarter.png").string(),
                      empty = (dir / "empty.png").string(), shaded = (dir / "shaded.png").string();
    const std::string character = " --character " + soldier + " --anim " + walk;
    const ToolRun a = WorldRender(level + character + " --t 0 --at 0,0,0" + view + start);
    const ToolRun b = WorldRender(level + character + " --t 0.25 --at 0,0,0" + view + quarter);
    const ToolRun c = WorldRender(level + view + empty);
    const ToolRun d = WorldRender(level + character + " --t 0.25 --at 0,0,0 --shaders" + view + shaded);
    for (const ToolRun* run : {&a, &b, &c, &d}) {
        ASSERT_EQ(run->status, 0) << run->output;
    }
    png_uint_32 w = 0, h = 0;
    const std::vector<png_byte> s = ReadPngRgb(start, &w, &h), q = ReadPngRgb(quarter, &w, &h),
                                e = ReadPngRgb(empty, &w, &h), sh = ReadPngRgb(shaded, &w, &h);
    ASSERT_EQ(s.size(), 160u * 120u * 3u);
    ASSERT_EQ(q.size(), s.size());
    ASSERT_EQ(e.size(), s.size());
    ASSERT_EQ(sh.size(), s.size());
    auto differing = [](const std::vector<png_byte>& x, const std::vector<png_byte>& y, int tolerance) {
        int n = 0;
        for (std::size_t i = 0; i < x.size(); i += 3) {
            int d = 0;
            for (int k = 0; k < 3; ++k) {
                d = std::max(d, std::abs(x[i + k] - y[i + k]));
            }
            n += d > tolerance;
        }
        return n;
    };
    EXPECT_GT(differing(s, e, 2), 200) << "the character is not drawn";
    EXPECT_GT(differing(s, q, 2), 50) << "the pose does not change over the stride";
    EXPECT_LE(differing(q, sh, 2), 160 * 120 / 200) << "shaders and fixed function disagree on the character";
    // The two frames come from the two paths of the skinned-atomic pipeline.
    EXPECT_NE(b.output.find("skinned atomics: 0 by vertex shaders, 1 on the processor"), std::string::npos) << b.output;
    EXPECT_NE(d.output.find("skinned atomics: 1 by vertex shaders, 0 on the processor"), std::string::npos) << d.output;
    const ToolRun bad = WorldRender(level + " --anim " + walk + view + start);
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.output.find("--anim without a --character before it"), std::string::npos) << bad.output;
    const ToolRun noAnim = WorldRender(level + " --character " + soldier + " --t 1 --at 0,0,0" + view + start);
    EXPECT_EQ(noAnim.status, 2);
    EXPECT_NE(noAnim.output.find("--t without --anim"), std::string::npos) << noAnim.output;
    const ToolRun box = WorldRender(level + " --character " + (dir / "box.dff").string() + " --anim " + walk +
                                    " --at 0,0,0" + view + start);
    EXPECT_EQ(box.status, 1);
    EXPECT_NE(box.output.find("no animation hierarchy"), std::string::npos) << box.output;
}

// The game's soldier, whole in every pose: sheets of the red soldier in its bind pose and in every
// animation its profile lists, each at three times, from the front (the top two rows of six) and
// from his left side (the two rows below), standing in rows above a bare floor. Each sheet
// is pixel for pixel its golden picture, skinned on the processor; skinned by the generated vertex
// shaders it agrees within the shaders' tolerance. Whatever the golden pictures hold, every figure
// is one piece: the red pixels of a sheet form exactly one large blob a figure (a head above the
// shoulders or a box beside the hip would be one more).
TEST_F(WorldRenderTest, SoldierIsWholeInEveryPoseOfEveryAnimation) {
    const std::filesystem::path scene = dir / "scene";
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "scene --out " + scene.string()).status, 0);
    const std::string floor = (dir / "floor.bsp").string();
    ASSERT_EQ(RunTool(MKASSET_PROGRAM, "level --seed 1 --size 40 --boxes 0 --out " + floor).status, 0);
    const std::string soldier = (scene / "models" / "soldier_red.dff").string();
    std::vector<std::string> poses = {""}; // the bind pose, then the animations' files
    for (const char* name : {"idle",
                             "walk",
                             "run",
                             "strafeleft",
                             "straferight",
                             "backward",
                             "backwardleft",
                             "backwardright",
                             "forwardleft",
                             "forwardright",
                             "alertwalk",
                             "alertidle",
                             "alertstrafeleft",
                             "alertstraferight",
                             "alertbackward",
                             "alertbackwardleft",
                             "alertbackwardright",
                             "alertforwardleft",
                             "alertforwardright",
                             "crouchaimupleft",
                             "crouchaimupfront",
                             "crouchaimupright",
                             "crouchaimmiddleleft",
                             "crouchaimmiddlefront",
                             "crouchaimmiddleright",
                             "crouchaimdownleft",
                             "crouchaimdownfront",
                             "crouchaimdownright",
                             "idleaimupleft",
                             "idleaimupfront",
                             "idleaimupright",
                             "idleaimmiddleleft",
                             "idleaimmiddlefront",
                             "idleaimmiddleright",
                             "idleaimdownleft",
                             "idleaimdownfront",
                             "idleaimdownright"}) {
        poses.push_back((scene / "models" / "anims" / (std::string(name) + ".anm")).string());
    }
    ASSERT_EQ(poses.size(), 38u);
    constexpr int kPerSheet = 4; // poses a sheet
    constexpr int kWidth = 800, kHeight = 640;
    const char* const kTimes[3] = {"0.1", "0.35", "0.6"};
    for (std::size_t first = 0; first < poses.size(); first += kPerSheet) {
        const std::size_t last = std::min(poses.size(), first + kPerSheet);
        std::string figures;
        int count = 0;
        for (std::size_t p = first; p < last; ++p) {
            for (int t = 0; t < 3; ++t) {
                const int figure = static_cast<int>(p - first) * 3 + t; // 0..11, six a row
                const float x = 4.5f - 1.8f * static_cast<float>(figure % 6);
                const float y = 2.25f * static_cast<float>(figure / 6);
                const std::string model = " --character " + soldier +
                                          (poses[p].empty() ? "" : " --anim " + poses[p] + " --t " + kTimes[t]) +
                                          " --scale 0.002";
                char at[96];
                std::snprintf(at, sizeof at, " --turn 180 --at %.2f,%.2f,0", x, 6.75f - y);
                figures += model + at;
                std::snprintf(at, sizeof at, " --turn 90 --at %.2f,%.2f,0", x + 0.3f, 2.25f - y);
                figures += model + at;
                count += 2;
            }
        }
        const std::string sheet = "soldier_" + std::to_string(first / kPerSheet);
        const std::string out = (dir / (sheet + ".png")).string(), shaded = (dir / (sheet + "_vs.png")).string();
        const std::string view =
            " --camera 0,4.4,-10,0,0 --light ambient,0.4,0.4,0.4 --light directional,0.8,0.8,0.8,-30,-35 --size " +
            std::to_string(kWidth) + "x" + std::to_string(kHeight) + " --out ";
        const ToolRun a = WorldRender(floor + figures + view + out);
        const ToolRun b = WorldRender(floor + figures + view + shaded + " --shaders");
        ASSERT_EQ(a.status, 0) << a.output;
        ASSERT_EQ(b.status, 0) << b.output;
        EXPECT_NE(b.output.find("skinned atomics: " + std::to_string(count) + " by vertex shaders, 0 on"),
                  std::string::npos)
            << b.output;
        const GoldenComparison c = CompareWithGolden(out, "golden/" + sheet + ".png");
        ASSERT_TRUE(c.problem.empty()) << c.problem;
        EXPECT_EQ(c.differ, 0) << sheet << ": largest channel difference " << c.worst;
        png_uint_32 w = 0, h = 0;
        const std::vector<png_byte> vs = ReadPngRgb(shaded, &w, &h);
        ASSERT_EQ(vs.size(), c.frame.size());
        int differ = 0;
        for (std::size_t i = 0; i < vs.size(); i += 3) {
            int d = 0;
            for (int k = 0; k < 3; ++k) {
                d = std::max(d, std::abs(vs[i + k] - c.frame[i + k]));
            }
            differ += d > 2;
        }
        EXPECT_LE(differ, kWidth * kHeight / 200) << sheet << ": the shaders skin another figure";

        // The figures' red pixels in 8-connected blobs; specks of a few pixels (a thin aerial or
        // a finger's tip broken off by the raster) are not counted.
        const auto red = [&](int x, int y) {
            const png_byte* px = &c.frame[(static_cast<std::size_t>(y) * kWidth + x) * 3];
            return px[0] > px[2] + 20 && px[0] > px[1] + 20;
        };
        std::vector<int> label(static_cast<std::size_t>(kWidth) * kHeight, 0);
        int blobs = 0, next = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                if (!red(x, y) || label[static_cast<std::size_t>(y) * kWidth + x] != 0) {
                    continue;
                }
                ++next;
                int size = 0;
                std::vector<std::pair<int, int>> todo = {{x, y}};
                label[static_cast<std::size_t>(y) * kWidth + x] = next;
                while (!todo.empty()) {
                    const auto [px, py] = todo.back();
                    todo.pop_back();
                    ++size;
                    for (int dy = -1; dy <= 1; ++dy) {
                        for (int dx = -1; dx <= 1; ++dx) {
                            const int nx = px + dx, ny = py + dy;
                            if (nx < 0 || ny < 0 || nx >= kWidth || ny >= kHeight) {
                                continue;
                            }
                            int& l = label[static_cast<std::size_t>(ny) * kWidth + nx];
                            if (l == 0 && red(nx, ny)) {
                                l = next;
                                todo.emplace_back(nx, ny);
                            }
                        }
                    }
                }
                blobs += size >= 30;
            }
        }
        EXPECT_EQ(blobs, count) << sheet << ": a figure in pieces, or figures that touch";
    }
}

// A point light half a metre above the floor in front of the camera reddens the floor under it
// (the sectors' local lights) and leaves the floor far from it as the ambient light alone has it.
TEST_F(WorldRenderTest, PointLightLightsOnlyTheFloorInItsRange) {
    const std::string lit = (dir / "lit.png").string(), dark = (dir / "dark.png").string();
    const std::string view = " --camera 0,6,-6,0,-45 --light ambient,0.05,0.05,0.05 --size 320x240 --out ";
    ASSERT_EQ(WorldRender(level + view + lit + " --light point,1,0.2,0.2,0,0.5,0,4").status, 0);
    ASSERT_EQ(WorldRender(level + view + dark).status, 0);
    png_uint_32 w = 0, h = 0;
    const std::vector<png_byte> a = ReadPngRgb(lit, &w, &h), b = ReadPngRgb(dark, &w, &h);
    ASSERT_EQ(a.size(), 320u * 240u * 3u);
    ASSERT_EQ(b.size(), a.size());
    auto at = [](const std::vector<png_byte>& f, int x, int y) {
        return &f[(static_cast<std::size_t>(y) * 320 + x) * 3];
    };
    const png_byte* near = at(a, 160, 112);
    const png_byte* nearDark = at(b, 160, 112);
    EXPECT_GT(near[0], nearDark[0] + 60) << "the light does not reach the floor under it";
    EXPECT_GT(near[0], near[1] + 30) << "the light's red is missing";
    for (const auto& [x, y] : {std::pair{4, 4}, {315, 4}, {4, 200}}) {
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(at(a, x, y)[c], at(b, x, y)[c]) << x << "," << y << " lies beyond the light's range";
        }
    }
}

// The box's own lights: a point light two metres in front of it lights its face; the same light
// nine metres away reaches neither the box nor the floor, so the frame is the one without it. The
// same holds when the lights are gathered into the generated shaders' constants.
class PointLightReach : public WorldRenderTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(PointLightReach, PointLightsReachTheModelsInTheirRange) {
    const std::string base = level + " --clump " + box +
                             " --at 0,0.5,0 --camera 0,1.7,-4,0,-10 --light ambient,0.05,0.05,0.05 --size 160x120" +
                             GetParam();
    const std::string nearPng = (dir / "near.png").string(), nonePng = (dir / "none.png").string();
    const ToolRun nearRun = WorldRender(base + " --light point,1,1,1,0,1.2,-2,3 --out " + nearPng);
    const ToolRun farRun = WorldRender(base + " --light point,1,1,1,0,1.2,-9,3 --out " + (dir / "far.png").string());
    const ToolRun noneRun = WorldRender(base + " --out " + nonePng);
    ASSERT_EQ(nearRun.status, 0) << nearRun.output;
    ASSERT_EQ(farRun.status, 0) << farRun.output;
    ASSERT_EQ(noneRun.status, 0) << noneRun.output;
    auto checksum = [](const std::string& output) { return output.substr(output.find("checksum")); };
    EXPECT_EQ(checksum(farRun.output), checksum(noneRun.output));
    EXPECT_NE(checksum(nearRun.output), checksum(noneRun.output));
    png_uint_32 w = 0, h = 0;
    const std::vector<png_byte> lit = ReadPngRgb(nearPng, &w, &h), dark = ReadPngRgb(nonePng, &w, &h);
    ASSERT_EQ(lit.size(), 160u * 120u * 3u);
    ASSERT_EQ(dark.size(), lit.size());
    const std::size_t face = (75u * 160u + 80u) * 3u; // the middle of the box's front face
    EXPECT_GT(lit[face], dark[face] + 40);
}

INSTANTIATE_TEST_SUITE_P(FixedFunctionAndShaders, PointLightReach, ::testing::Values("", " --shaders"));

// A texture beside the level is found by its material's name and modulates the floor: a red and
// blue checker shows through the floor's light.
TEST_F(WorldRenderTest, TexturesBesideTheLevelAreDrawn) {
    std::vector<png_byte> checker(16 * 16 * 3);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            png_byte* p = &checker[static_cast<std::size_t>(y * 16 + x) * 3];
            const bool red = (x / 8 + y / 8) % 2 != 0;
            p[0] = red ? 255 : 64;
            p[1] = 64;
            p[2] = red ? 64 : 255;
        }
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = 16;
    image.height = 16;
    image.format = PNG_FORMAT_RGB;
    ASSERT_TRUE(png_image_write_to_file(&image, (dir / "floor.png").string().c_str(), 0, checker.data(), 0, nullptr));
    const std::string out = (dir / "textured.png").string();
    const ToolRun run = WorldRender(level + " --camera 0,1.7,-8,0,-10 --size 160x120 --out " + out);
    ASSERT_EQ(run.status, 0) << run.output;
    png_uint_32 w = 0, h = 0;
    const std::vector<png_byte> frame = ReadPngRgb(out, &w, &h);
    ASSERT_EQ(frame.size(), 160u * 120u * 3u);
    int red = 0, blue = 0;
    for (int x = 0; x < 160; ++x) {
        const png_byte* p = &frame[(119u * 160u + static_cast<std::size_t>(x)) * 3u];
        red += p[0] > p[2] + 60;
        blue += p[2] > p[0] + 60;
    }
    EXPECT_GT(red, 20);
    EXPECT_GT(blue, 20);
}

// A batch of 2,000 particles in front of the camera: pixel for pixel the golden picture, the
// particles' eight thousand vertices drawn in one call, and many pixels in the particles' own
// colours (every channel at 96 or more) where the level alone leaves none.
TEST_F(WorldRenderTest, ParticleBatchMatchesTheGoldenPicture) {
    const std::string out = (dir / "particles.png").string();
    const std::string plain = (dir / "plain.png").string();
    const std::string camera = " --camera 0,1.7,-8,0,0 --size 320x240 --out ";
    const ToolRun run = WorldRender(level + " --particles 2000" + camera + out);
    ASSERT_EQ(run.status, 0) << run.output;
    const ToolRun without = WorldRender(level + camera + plain);
    ASSERT_EQ(without.status, 0) << without.output;
    unsigned draws = 0, states = 0, vertices = 0, plainDraws = 0, plainVertices = 0;
    ASSERT_EQ(std::sscanf(run.output.c_str(), "320x240, draw calls %u, states sent %u, vertices %u", &draws, &states,
                          &vertices),
              3);
    ASSERT_EQ(std::sscanf(without.output.c_str(), "320x240, draw calls %u, states sent %u, vertices %u", &plainDraws,
                          &states, &plainVertices),
              3);
    EXPECT_EQ(draws, plainDraws + 1);
    EXPECT_EQ(vertices, plainVertices + 8000);
    const GoldenComparison c = CompareWithGolden(out, "golden/level1_particles_320x240.png");
    ASSERT_TRUE(c.problem.empty()) << c.problem;
    EXPECT_EQ(c.differ, 0) << "largest channel difference " << c.worst;
    png_uint_32 w = 0, h = 0;
    const std::vector<png_byte> level = ReadPngRgb(plain, &w, &h);
    ASSERT_EQ(level.size(), c.frame.size());
    int changed = 0;
    for (std::size_t i = 0; i + 2 < c.frame.size(); i += 3) {
        const bool bright = c.frame[i] >= 96 && c.frame[i + 1] >= 96 && c.frame[i + 2] >= 96;
        changed += bright && std::memcmp(&c.frame[i], &level[i], 3) != 0;
    }
    EXPECT_GT(changed, 320 * 240 / 10);
}

TEST_F(WorldRenderTest, BadArgumentsAndFilesAreNamed) {
    const std::string out = (dir / "x.png").string();
    const struct {
        std::string arguments;
        const char* message;
    } cases[] = {
        {level + " --camera 0,0,0,0,0 --size 320 --out " + out, "--size wants WxH with sides of 1 to 4096, not: 320"},
        {level + " --camera 0,0,0,0 --size 32x32 --out " + out, "--camera wants X,Y,Z,YAW,PITCH, not: 0,0,0,0"},
        {level + " --size 32x32 --out " + out, "missing: --camera"},
        {"--camera 0,0,0,0,0 --size 32x32 --out " + out, "missing: FILE.bsp"},
        {level + " --clump " + box + " --camera 0,0,0,0,0 --size 32x32 --out " + out, "--clump without --at"},
        {level + " --at 1,2,3 --camera 0,0,0,0,0 --size 32x32 --out " + out, "--at without a --clump before it"},
        {level + " --light spot,1,1,1 --camera 0,0,0,0,0 --size 32x32 --out " + out, "--light wants"},
        {level + " --light point,1,1,1,0,0,0,0 --camera 0,0,0,0,0 --size 32x32 --out " + out, "radius above 0"},
        {level + " --camera 0,0,0,0,0 --size 32x32", "missing: --out"},
        {level + " --frames 2", "unknown argument: --frames"},
        {level + " --shaders --camera 0,0,0,0,0 --size 32x32 --out", "missing value after: --out"},
        {level + " --particles 0 --camera 0,0,0,0,0 --size 32x32 --out " + out, "--particles wants a count"},
        {level + " --particles 3x --camera 0,0,0,0,0 --size 32x32 --out " + out, "not: 3x"},
    };
    for (const auto& c : cases) {
        const ToolRun run = WorldRender(c.arguments);
        EXPECT_EQ(run.status, 2) << c.arguments;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << c.arguments << ": " << run.output;
    }
    const std::string missing = (dir / "none.bsp").string();
    const ToolRun none = WorldRender(missing + " --camera 0,0,0,0,0 --size 32x32 --out " + out);
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.output.find("none.bsp: cannot open"), std::string::npos) << none.output;
    // A model file is no level.
    const ToolRun wrong = WorldRender(box + " --camera 0,0,0,0,0 --size 32x32 --out " + out);
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.output.find("box.dff: no world in it"), std::string::npos) << wrong.output;
    const ToolRun help = WorldRender("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: world_render"), std::string::npos);
}

} // namespace

// A box whose materials carry a surface effect (bump, environment or dual texture over a
// two-tone base), read from the asset builder's file with the effect's texture beside it: pixel
// for pixel the golden picture, and a good share of the box's pixels differ from the same box
// without the effect. The device runs pixel shaders, so the bump map takes one draw (its shader);
// without them it takes two passes, and the pictures differ by rounding only.
class EffectRender : public WorldRenderTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(EffectRender, EffectBoxMatchesTheGoldenPicture) {
    const std::string effect = GetParam();
    std::vector<png_byte> stone(16 * 16 * 3);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            png_byte* p = &stone[static_cast<std::size_t>(y * 16 + x) * 3];
            const bool dark = (x / 8 + y / 8) % 2 != 0;
            p[0] = dark ? 180 : 200;
            p[1] = dark ? 90 : 180;
            p[2] = dark ? 60 : 140;
        }
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = 16;
    image.height = 16;
    image.format = PNG_FORMAT_RGB;
    ASSERT_TRUE(png_image_write_to_file(&image, (dir / "stone.png").string().c_str(), 0, stone.data(), 0, nullptr));
    const std::string model = (dir / (effect + ".dff")).string(), plain = (dir / "plain.dff").string();
    const std::string shape = "model --kind box --size 4 --texture " + (dir / "stone.png").string();
    ToolRun m = RunTool(MKASSET_PROGRAM, shape + " --effect " + effect + " --out " + model);
    ASSERT_EQ(m.status, 0) << m.output;
    m = RunTool(MKASSET_PROGRAM, shape + " --out " + plain);
    ASSERT_EQ(m.status, 0) << m.output;

    const std::string view = " --at 0,0.5,3 --camera 0.6,1.3,1.3,-20,-20 --size 320x240 --out ";
    const std::string out = (dir / (effect + ".png")).string(), base = (dir / "plain.png").string();
    const ToolRun run = WorldRender(level + " --clump " + model + view + out);
    ASSERT_EQ(run.status, 0) << run.output;
    const ToolRun without = WorldRender(level + " --clump " + plain + view + base);
    ASSERT_EQ(without.status, 0) << without.output;
    unsigned draws = 0, plainDraws = 0, states = 0;
    ASSERT_EQ(std::sscanf(run.output.c_str(), "320x240, draw calls %u, states sent %u", &draws, &states), 2);
    ASSERT_EQ(std::sscanf(without.output.c_str(), "320x240, draw calls %u, states sent %u", &plainDraws, &states), 2);
    EXPECT_EQ(draws, plainDraws);

    const GoldenComparison c = CompareWithGolden(out, "golden/level1_" + effect + "_320x240.png");
    ASSERT_TRUE(c.problem.empty()) << c.problem;
    EXPECT_EQ(c.differ, 0) << "largest channel difference " << c.worst;
    png_uint_32 w = 0, h = 0;
    const std::vector<png_byte> reference = ReadPngRgb(base, &w, &h);
    ASSERT_EQ(reference.size(), c.frame.size());
    int changed = 0;
    for (std::size_t i = 0; i + 2 < c.frame.size(); i += 3) {
        changed += std::abs(c.frame[i] - reference[i]) + std::abs(c.frame[i + 1] - reference[i + 1]) +
                       std::abs(c.frame[i + 2] - reference[i + 2]) >
                   24;
    }
    EXPECT_GT(changed, effect == "env" ? 2000 : 8000) << effect;
}

INSTANTIATE_TEST_SUITE_P(Effects, EffectRender, ::testing::Values("bump", "env", "dual"));
