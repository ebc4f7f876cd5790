// mkasset demo: the game's whole data folder: the scene's level, models, textures and font, a
// configuration with the game's own section, the intro page, and the AI world file whose graph the
// AI engine's generator made on this very level.

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tools/mkasset/ai_world.h"
#include "tools/mkasset/character_scene.h"
#include "tools/mkasset/commands.h"
#include "tools/mkasset/level_builder.h"

namespace mkasset {

namespace {

constexpr const char* kName = "demo";
constexpr int kDemoSize = 36;
constexpr int kDemoBlocks = 16;
constexpr int kDemoBots = 8;
// A soldier's eyes are 1.8 metres up: a block as high as that hides him only by a grazing line.
constexpr float kDemoBlockMinHeight = 2.3f;
constexpr const char* kAiFile = "ai/dunmarrow.ais";
// The first bot stands here; each next one a random 0..4 metres further along x and 0..1 along z.
constexpr float kBotStartX = -15.0f;
constexpr float kBotStartZ = -8.0f;
constexpr float kStartHeight = 0.45f;
// Where the bots may stand at the start: kept free of blocks (a soldier's half width round it).
constexpr float kBotStripLength = 3.0f * kDemoBots + 1.0f;
constexpr float kBotStripWidth = static_cast<float>(kDemoBots) + 1.0f;
constexpr float kSoldierHalfWidth = 0.6f;

// The first seed from `from` on whose blocks leave the bots' starting strip free.
std::uint32_t SeedWithFreeStart(LevelOptions options, std::uint32_t from) {
    for (std::uint32_t seed = from;; ++seed) {
        options.seed = seed;
        const std::vector<LevelBlock> blocks = LevelBlocks(options);
        const bool free = std::none_of(blocks.begin(), blocks.end(), [](const LevelBlock& b) {
            return b.max[0] > kBotStartX - kSoldierHalfWidth &&
                   b.min[0] < kBotStartX + kBotStripLength + kSoldierHalfWidth &&
                   b.max[2] > kBotStartZ - kSoldierHalfWidth &&
                   b.min[2] < kBotStartZ + kBotStripWidth + kSoldierHalfWidth;
        });
        if (free) {
            return seed;
        }
    }
}

std::string Number(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return text;
}

std::string DemoConfig() {
    std::string c = R"(<?xml version="1.0" encoding="UTF-8"?>
<Config>
  <Debug level="1"/>
  <Scale value="1.0"/>
  <GraphicsGlobalSettings><RessourceArena size="8388608"/></GraphicsGlobalSettings>
  <Worlds>
    <PhysicsGlobalSettings>
      <Bodies maxRegistered="400" maxActive="300"/>
      <Joints max="20"/>
      <Stick inAir="5.0" onGround="0.1"/>
      <BBox x1="200" y1="100" z1="200" x2="-200" y2="-50" z2="-200"/>
      <Gravity x="0" y="-10" z="0"/>
      <MobileBounce value="0"/>
      <MobileSlide value="1.0"/>
      <SolidSlide value="10.0"/>
    </PhysicsGlobalSettings>
    <World filename="models/level.bsp" name="level" flags="0"/>
  </Worlds>
  <Input><MouseMode Value="1"/></Input>
  <Light type="Ambient"><Color r="0.45" g="0.45" b="0.45"/></Light>
  <Light type="Directional"><Color r="0.6" g="0.6" b="0.6"/>
    <Position x="-20" y="30" z="-10"/><Target x="0" y="0" z="0"/></Light>
  <Camera nearClip="0.1" farClip="300" fov="50">
    <SwitchSequence><Mode value="Free"/><Mode value="Follow"/><Mode value="FPS"/><Mode value="Fixed"/></SwitchSequence>
    <CameraMode mode="Free"/>
    <Follow minVAngle="5" maxVAngle="60" minDistance="2" maxDistance="10"/>
    <Free><InitialPosition x="0" y="30" z="-24"/><InitialTarget x="0" y="0" z="-2"/></Free>
    <Fixed>
      <Name value="North gate"/><Position x="0" y="14" z="17"/><Target x="0" y="0" z="0"/>
      <Name value="East corner"/><Position x="17" y="12" z="-17"/><Target x="0" y="0" z="0"/>
    </Fixed>
  </Camera>
  <Application>
    <Player><InitialPosition x="0" y=")" +
                    Number(kStartHeight) + R"(" z="0"/></Player>
    <Bots number=")" +
                    std::to_string(kDemoBots) + R"("><InitialPosition x=")" + Number(kBotStartX) + R"(" y=")" +
                    Number(kStartHeight) + R"(" z=")" + Number(kBotStartZ) + R"("/></Bots>
    <AiPathData value=")" +
                    kAiFile + R"("/>
  </Application>
</Config>
)";
    c.insert(c.rfind("</Config>"), CharacterConfig() + ScenePhysicsSection());
    return c;
}

const char kIntroPage[] = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Dunmarrow</title></head>
<body>
<h1>Dunmarrow</h1>
<p>You are the blue soldier. The red soldiers are your team: they take cover from you, and F1 calls
them to come to you (F1 again sends them back into cover).</p>
<ul>
<li>Arrows: walk and strafe; x and z: turn; right SHIFT: run; left SHIFT: aim; SPACE: fire</li>
<li>C: next camera; TAB: next fixed viewpoint; mouse with a button held: move the free camera</li>
<li>RIGHT CTRL + mouse: drag a crate</li>
<li>ESC: quit</li>
</ul>
</body></html>
)";

} // namespace

void DemoUsage(std::FILE* out) {
    std::fprintf(out, "usage: mkasset demo --out DIR\n"
                      "  Writes the game's data folder (dunmarrow runs in it), the same bytes every time:\n"
                      "    everything of mkasset scene on a 36 x 36 metre level of 16 blocks 2.3 to 3.5 metres\n"
                      "    high (the soldiers' cover; its seed is the first from 1 that leaves the bots'\n"
                      "    starting strip free), with a config.xml whose \"Application\" section has the player\n"
                      "    at the origin, 8 bots from (-15, -8) and the AI world file below\n"
                      "    DIR/ai/dunmarrow.ais         the AI world: the graph \"MoveGraph\" that the AI engine's\n"
                      "                                 generator made by walking this level, the player, the\n"
                      "                                 soldiers' brain, agents and services, their team and tasks\n"
                      "    DIR/HTML/intro.html          the page opened at start-up\n"
                      "  Exit status 0 on success, 1 when a file cannot be written or the graph cannot be made,\n"
                      "  2 on bad usage.\n");
}

int RunDemo(int argc, char** argv) {
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg != "--out") {
            return Fail(kName, kExitUsage, "unknown argument " + arg);
        }
        if (i + 1 >= argc) {
            return Fail(kName, kExitUsage, "missing value after " + arg);
        }
        out = argv[++i];
    }
    if (out.empty()) {
        return Fail(kName, kExitUsage, "--out is required");
    }
    const std::filesystem::path dir = out;
    std::error_code ec;
    for (const char* folder : {"ai", "HTML"}) {
        std::filesystem::create_directories(dir / folder, ec);
        if (ec) {
            return Fail(kName, kExitFailed, "cannot create " + (dir / folder).string());
        }
    }
    LevelOptions level;
    level.size = kDemoSize;
    level.boxes = kDemoBlocks;
    level.blockMinHeight = kDemoBlockMinHeight;
    level.seed = SeedWithFreeStart(level, 1);
    std::string error;
    const std::string config = DemoConfig();
    const std::string intro = kIntroPage;
    if (!WriteFile(kName, (dir / "config.xml").string(), Bytes(config.begin(), config.end())) ||
        !WriteFile(kName, (dir / "HTML" / "intro.html").string(), Bytes(intro.begin(), intro.end()))) {
        return kExitFailed;
    }
    if (!WriteSceneAssets(kName, dir.string(), level, &error)) {
        return Fail(kName, kExitFailed, error);
    }
    // The generator's own files go to a work folder that is removed afterwards.
    const std::filesystem::path work = dir / "ai" / "generator.work";
    std::vector<std::uint8_t> ais;
    AiWorldFigures figures;
    const bool built = BuildDemoAiWorld(level, work.string(), ais, error, &figures);
    std::filesystem::remove_all(work, ec);
    if (!built) {
        return Fail(kName, kExitFailed, "cannot make the AI world: " + error);
    }
    if (!WriteFile(kName, (dir / kAiFile).string(), Bytes(ais.begin(), ais.end()))) {
        return kExitFailed;
    }
    std::printf("mkasset demo: level seed %u, graph of %d vertices and %d edges, %zu bytes of AI world\n", level.seed,
                figures.vertices, figures.edges, ais.size());
    return kExitOk;
}

} // namespace mkasset
