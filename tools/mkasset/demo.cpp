// mkasset demo: the game's whole data folder: the scene's level, models, textures and font, a
// configuration with the game's own section, the start screen and one of each level object, the
// intro page, and the AI world file whose graph the AI engine's generator made on this very level.

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "demo/host_services.h"
#include "framework/animated_character.h"
#include "tools/mkasset/ai_world.h"
#include "tools/mkasset/character_scene.h"
#include "tools/mkasset/commands.h"
#include "tools/mkasset/demo_level.h"
#include "tools/mkasset/level_builder.h"
#include "tools/mkasset/level_objects_scene.h"

namespace mkasset {

namespace {

constexpr const char* kName = "demo";
constexpr int kDemoBots = 8;
constexpr const char* kAiFile = "ai/dunmarrow.ais";
// The first bot stands here; each next one a random 0..4 metres further along x and 0..1 along z.
constexpr float kBotStartX = -15.0f;
constexpr float kBotStartZ = -8.0f;
constexpr float kStartHeight = 0.45f;
// Where the bots may stand at the start: kept free of blocks (a soldier's half width round it).
constexpr float kBotStripLength = 3.0f * kDemoBots + 1.0f;
constexpr float kBotStripWidth = static_cast<float>(kDemoBots) + 1.0f;
constexpr float kSoldierHalfWidth = 0.6f;
// The generator's walker is as wide as a soldier's physics sphere (radius 0.4) with 0.1 to spare
// on either side, so that no edge passes closer to a block than a soldier fits; its vertices are
// as close as its walks allow (2 m: a walk of a shorter radius drops no new vertex in its time),
// for as many hiding places as the level gives.
constexpr float kDemoWalkerWidth = 1.0f;
constexpr float kDemoGraphRadius = 2.0f;
// Collapsing stops at edges of 2.8 m (the generator's own limit is three radii): open ground keeps
// a vertex about every two metres, so that the ground the walls hide holds a place for every bot
// the game accepts (each holds a vertex of his own).
constexpr float kDemoMaxEdge = 2.8f;
// Ground kept round each loose body of the "Physics" section besides its own, for a nudge (m).
constexpr float kBodyRoom = 0.1f;
// Where the generator's walker starts (x, z): in the player's clear ground, off the bodies'.
constexpr float kGraphStart[2] = {-1.5f, -1.5f};
// The first view (the first fixed viewpoint): the player a few metres off, his team's starting
// strip beyond him, low enough that the soldiers stand as figures.
constexpr float kViewAt[3] = {1.0f, 3.5f, 7.0f};
constexpr float kViewTarget[3] = {-5.0f, 0.0f, -5.0f};
// The path camera's flight: from high over the team's corner down to the player's shoulder, where
// the first-person view takes over.
constexpr float kPathPoints[][3] = {
    {-16.0f, 12.0f, -16.0f}, {-8.0f, 8.0f, -14.0f}, {0.0f, 5.0f, -10.0f}, {3.0f, 3.0f, -5.0f}, {1.5f, 2.2f, -1.5f}};

// The level objects stand in the level's north-east, where no soldier goes: the bots hide among
// the blocks the seed search leaves in the south and west and come to the player from there, and
// the north-west is part of their ground. Away from them the teleporter's entry takes the corner
// (its exit is a point in the north-west), the bumper stands by the east wall throwing west over
// open ground, and the obstacles (the lift, the door, the plane, the triangle) block no path
// between cover and the player.
LevelObjectLayout DemoLevelObjects() {
    return {
        .switchAt = {11.0f, 1.0f, 13.5f},
        .switchNormal = {0.0f, 0.0f, -1.0f},
        .liftP1 = {12.5f, 0.1f, 14.5f},
        .liftP2 = {12.5f, 3.1f, 14.5f},
        .laserP1 = {5.0f, 1.0f, 11.0f},
        .laserP2 = {11.0f, 1.0f, 11.0f},
        .teleporterEntry = {16.0f, 0.0f, 16.0f},
        .teleporterExit = {-14.0f, 0.0f, 15.0f},
        .bumper = {15.0f, 0.0f, 6.0f},
        .jumpHelper = {10.0f, 0.0f, 9.0f},
        .door = {8.0f, 1.0f, 15.0f},
        .doorAxis = 1,
        .planeAt = {5.0f, 1.5f, 14.0f},
        .planeNormal = {-1.0f, 0.0f, 0.0f},
        .planeRight = {0.0f, 0.0f, 1.0f},
        .planeLength = 4.0f,
        .planeWidth = 3.0f,
        .triangle = {{12.0f, 0.0f, 9.0f}, {14.0f, 0.0f, 9.0f}, {13.0f, 1.5f, 11.0f}},
    };
}

// The first seed from `from` on whose blocks leave the bots' starting strip and the level
// objects' footprints free.
std::uint32_t SeedWithFreeStart(LevelOptions options, std::uint32_t from, const std::vector<Footprint>& objects) {
    const auto overlaps = [](const LevelBlock& b, float x0, float z0, float x1, float z1) {
        return b.max[0] > x0 && b.min[0] < x1 && b.max[2] > z0 && b.min[2] < z1;
    };
    for (std::uint32_t seed = from;; ++seed) {
        options.seed = seed;
        const std::vector<LevelBlock> blocks = LevelBlocks(options);
        const bool free = std::none_of(blocks.begin(), blocks.end(), [&](const LevelBlock& b) {
            if (overlaps(b, kBotStartX - kSoldierHalfWidth, kBotStartZ - kSoldierHalfWidth,
                         kBotStartX + kBotStripLength + kSoldierHalfWidth,
                         kBotStartZ + kBotStripWidth + kSoldierHalfWidth)) {
                return true;
            }
            return std::any_of(objects.begin(), objects.end(),
                               [&](const Footprint& f) { return overlaps(b, f.min[0], f.min[1], f.max[0], f.max[1]); });
        });
        if (free) {
            return seed;
        }
    }
}

std::string DemoConfig() {
    std::string c = R"(<?xml version="1.0" encoding="UTF-8"?>
<Config>
  <Debug level="1"/>
  <Scale value="1.0"/>
  <GraphicsGlobalSettings><RessourceArena size="8388608"/></GraphicsGlobalSettings>
  <Worlds>
)" + PhysicsSettingsConfig(400, 300) +
                    R"(    <World filename="models/level.bsp" name="level" flags="0"/>
  </Worlds>
  <Input><MouseMode Value="1"/></Input>
  <Light type="Ambient"><Color r="0.45" g="0.45" b="0.45"/></Light>
  <Light type="Directional"><Color r="0.6" g="0.6" b="0.6"/>
    <Position x="-20" y="30" z="-10"/><Target x="0" y="0" z="0"/></Light>
  <Camera nearClip="0.1" farClip="300" fov="50">
    <SwitchSequence><Mode value="Fixed"/><Mode value="Follow"/><Mode value="FPS"/><Mode value="Path"/><Mode value="Free"/></SwitchSequence>
    <CameraMode mode="Fixed"/>
    <Follow minVAngle="5" maxVAngle="60" minDistance="2" maxDistance="10"/>
    <Free><InitialPosition x="0" y="30" z="-24"/><InitialTarget x="0" y="0" z="-2"/></Free>
    <Fixed>
      <Name value="Player and team"/><Position x=")" +
                    ConfigNumber(kViewAt[0]) + R"(" y=")" + ConfigNumber(kViewAt[1]) + R"(" z=")" +
                    ConfigNumber(kViewAt[2]) + R"("/><Target x=")" + ConfigNumber(kViewTarget[0]) + R"(" y=")" +
                    ConfigNumber(kViewTarget[1]) + R"(" z=")" + ConfigNumber(kViewTarget[2]) + R"("/>
      <Name value="North gate"/><Position x="0" y="14" z="17"/><Target x="0" y="0" z="0"/>
      <Name value="East corner"/><Position x="17" y="12" z="-17"/><Target x="0" y="0" z="0"/>
    </Fixed>
  </Camera>
  <Application>
    <Player><InitialPosition x="0" y=")" +
                    ConfigNumber(kStartHeight) + R"(" z="0"/></Player>
    <Bots number=")" +
                    std::to_string(kDemoBots) + R"("><InitialPosition x=")" + ConfigNumber(kBotStartX) + R"(" y=")" +
                    ConfigNumber(kStartHeight) + R"(" z=")" + ConfigNumber(kBotStartZ) + R"("/></Bots>
    <AiPathData value=")" +
                    kAiFile + R"("/>
  </Application>
</Config>
)";
    // The characters, the loose bodies, the start screen (the game waits for ENTER) and the level
    // objects go in before the configuration's end; the collision plane and triangle in "Worlds".
    const LevelObjectLayout objects = DemoLevelObjects();
    c.insert(c.rfind("</Config>"),
             CharacterConfig() + ScenePhysicsSection() + SceneHudSection() + LevelObjectConfig(objects));
    c.insert(c.rfind("  </Worlds>"), LevelCollisionConfig(objects));
    return c;
}

const char kIntroPage[] = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Dunmarrow</title></head>
<body>
<h1>Dunmarrow</h1>
<p>You are the blue soldier. The red soldiers are your team: they take cover from you, and F1 calls
them to come to you (F1 again sends them back into cover).</p>
<ul>
<li>Arrows: walk and strafe; z and x: turn left and right; right SHIFT with UP: run; left SHIFT: aim;
SPACE while aiming: fire; keypad 0: jump</li>
<li>C: next camera (the fixed view, follow, first person, path, overview); TAB: next fixed viewpoint;
mouse with a button held: move the free camera</li>
<li>RIGHT CTRL + mouse: drag a crate</li>
<li>ESC: quit</li>
</ul>
</body></html>
)";

} // namespace

void DemoUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: mkasset demo --out DIR\n"
                 "  Writes the game's data folder (dunmarrow runs in it), the same bytes every time:\n"
                 "    everything of mkasset scene (with --hud) on a 36 x 36 metre level of 16 blocks 2.3 to\n"
                 "    3.5 metres high (their seed is the first from 1 that leaves the bots' starting strip\n"
                 "    and the level objects' ground free) and six walls 2.5 to 2.8 metres high, north,\n"
                 "    west, east and south-east of the strip, that hide the ground beyond them from the\n"
                 "    player's start (the soldiers' cover), with a config.xml whose\n"
                 "    \"Application\" section has the player at the origin, 8 bots from (-15, -8) and the AI\n"
                 "    world file below; the game starts paused behind the start screen until ENTER, then\n"
                 "    shows the fixed viewpoint \"Player and team\"; C goes on to the Follow, FPS, Path and\n"
                 "    Free (overview) cameras, TAB to the viewpoints \"North gate\" and \"East corner\"\n"
                 "    level objects in config.xml, in the level's north-east: a switch \"LiftSwitch\" at\n"
                 "                                 (11, 1, 13.5) driving a lift from (12.5, 0.1, 14.5) to\n"
                 "                                 (12.5, 3.1, 14.5), a laser beam from (5, 1, 11) to (11, 1, 11),\n"
                 "                                 a teleporter from (16, 0, 16) to (-14, 0, 15), a bumper at\n"
                 "                                 (15, 0, 6) throwing west, a jump helper at (10, 0, 9), a door\n"
                 "                                 at (8, 1, 15), a collision plane (a wall at x = 5 from z = 12\n"
                 "                                 to 16, 3 high) and a collision triangle at (13, 10)\n"
                 "    DIR/models/lift.dff, DIR/models/Bouton{Vert,Rouge,VertOn,RougeOn}.dff\n"
                 "                                 the lift's platform and the switch's buttons, with textures\n"
                 "    DIR/ai/dunmarrow.ais         the AI world: the graph \"MoveGraph\" that the AI engine's\n"
                 "                                 generator made by walking this level (a walker 1 metre\n"
                 "                                 wide, vertices about 2 metres apart, edges of at most 2.8\n"
                 "                                 metres, every level object's ground but the teleporter's\n"
                 "                                 exit and the bumper's throw kept off, and the crates'\n"
                 "                                 and the ball's with 0.1 metre round them), the player, the\n"
                 "                                 soldiers' brain, agents and services, their team and\n"
                 "                                 tasks; room for 105 entities\n"
                 "                                 (the player and 104 bots, as many as the game animates)\n"
                 "    DIR/HTML/intro.html          the page opened at start-up\n"
                 "    DIR/models/revolution/spline.ovs  the path camera's flight, from high over the team's\n"
                 "                                 corner down to the player's shoulder\n"
                 "  Exit status 0 on success, 1 when a file cannot be written or the graph cannot be made,\n"
                 "  2 on bad usage.\n");
}

int RunDemo(int argc, char** argv) {
    std::string out;
    if (const int status = ParseOutOnly(kName, argc, argv, &out); status != kExitOk) {
        return status;
    }
    const std::filesystem::path dir = out;
    std::error_code ec;
    for (const char* folder : {"ai", "HTML"}) {
        std::filesystem::create_directories(dir / folder, ec);
        if (ec) {
            return Fail(kName, kExitFailed, "cannot create " + (dir / folder).string());
        }
    }
    LevelOptions level = DemoLevelOptions(0);
    level.seed = SeedWithFreeStart(level, 1, LevelObjectFootprints(DemoLevelObjects()));
    std::string error;
    const std::string config = DemoConfig();
    const std::string intro = kIntroPage;
    if (!WriteFile(kName, (dir / "config.xml").string(), Bytes(config.begin(), config.end())) ||
        !WriteFile(kName, (dir / "HTML" / "intro.html").string(), Bytes(intro.begin(), intro.end()))) {
        return kExitFailed;
    }
    if (!WriteSceneAssets(kName, dir.string(), level, &error) || !WriteLevelObjectAssets(dir.string(), &error)) {
        return Fail(kName, kExitFailed, error);
    }
    std::vector<float> path;
    for (const auto& p : kPathPoints) {
        path.insert(path.end(), {p[0], p[1], p[2]});
    }
    if (!WriteFile(kName, (dir / "models" / "revolution" / "spline.ovs").string(), SplineFile("spline", path, false))) {
        return kExitFailed;
    }
    // The generator's own files go to a work folder that is removed afterwards.
    const std::filesystem::path work = dir / "ai" / "generator.work";
    std::vector<std::uint8_t> ais;
    AiWorldFigures figures;
    // The world holds as many entities as the game animates characters: the player and the most
    // bots the game accepts (it reads its bot limit from the file).
    AiWorldSettings settings;
    settings.maxEntity = std::min(kMaxAnimatedCharacters, static_cast<int>(DemoServices::kEntityPoolSize));
    settings.walkerWidth = kDemoWalkerWidth;
    settings.radiusAverage = kDemoGraphRadius;
    settings.maxValidEdge = kDemoMaxEdge;
    // Every level object is an obstacle but the teleporter's exit and the open ground the
    // bumper throws over.
    for (const Footprint& f : LevelObjectFootprints(DemoLevelObjects())) {
        if (std::string(f.what) != "teleporter exit" && std::string(f.what) != "bumper's throw") {
            settings.obstacles.push_back(f);
        }
    }
    // The loose bodies' ground too: the graph was made on the level without them, and a soldier
    // following an edge through a crate's place walks it across the floor before him (with a
    // hundred bots, metres), or stands in it where a vertex lies under it. The margin leaves room
    // for a body nudged off its place.
    for (const Footprint& f : ScenePhysicsFootprints(kBodyRoom)) {
        settings.obstacles.push_back(f);
    }
    // The bodies stand on three of the four diagonals round the player's start, too close for the
    // generator's first walks from there: it starts on the free one.
    settings.start[0] = kGraphStart[0];
    settings.start[1] = kGraphStart[1];
    const bool built = BuildDemoAiWorld(level, work.string(), ais, error, &figures, settings);
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
