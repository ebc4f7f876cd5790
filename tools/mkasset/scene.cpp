// mkasset scene: a folder the game framework runs: config.xml, a level with two clumps after its
// world, models, their textures and the framework's font.

#include <png.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tools/font_asset/font_asset.h"
#include "tools/mkasset/character_scene.h"
#include "tools/mkasset/collision_tree.h"
#include "tools/mkasset/commands.h"
#include "tools/mkasset/level_builder.h"
#include "tools/mkasset/level_objects_scene.h"
#include "tools/mkasset/shapes.h"

namespace mkasset {

namespace {

constexpr const char* kName = "scene";
constexpr int kSceneSize = 24;
constexpr int kSceneBlocks = 8;
constexpr int kTextureSide = 64;

// A tiled texture: two tones in squares of `tile` pixels, with a darker seam round each square.
bool WriteTexture(const std::string& path, const unsigned char a[3], const unsigned char b[3], int tile,
                  std::string* error) {
    std::vector<png_byte> rgb(static_cast<std::size_t>(kTextureSide * kTextureSide * 3));
    for (int y = 0; y < kTextureSide; ++y) {
        for (int x = 0; x < kTextureSide; ++x) {
            const bool odd = ((x / tile) + (y / tile)) % 2 != 0;
            const bool seam = x % tile == 0 || y % tile == 0;
            const unsigned char* tone = odd ? b : a;
            for (int c = 0; c < 3; ++c) {
                rgb[static_cast<std::size_t>((y * kTextureSide + x) * 3 + c)] =
                    static_cast<png_byte>(seam ? tone[c] * 3 / 4 : tone[c]);
            }
        }
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = kTextureSide;
    image.height = kTextureSide;
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr)) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

// A clump of one unit shape standing on the floor at (x, z), textured by name.
ClumpDesc Placed(ShapeKind kind, int size, const char* texture, float x, float z) {
    ShapeOptions options;
    options.kind = kind;
    options.size = size;
    options.texture = texture;
    ClumpDesc clump = ModelClump(options);
    clump.frames[0].pos[0] = x;
    clump.frames[0].pos[1] = 0.5f;
    clump.frames[0].pos[2] = z;
    return clump;
}

std::string SceneConfig() {
    return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>
<Config>
  <Debug level="2"/>
  <Scale value="1.0"/>
  <GraphicsGlobalSettings><RessourceArena size="8388608"/></GraphicsGlobalSettings>
  <Worlds>
)") + PhysicsSettingsConfig(200, 100) +
           R"(    <World filename="models/level.bsp" name="level" flags="0"/>
  </Worlds>
  <Light type="Ambient"><Color r="0.45" g="0.45" b="0.45"/></Light>
  <Light type="Directional"><Color r="0.6" g="0.6" b="0.6"/>
    <Position x="-20" y="30" z="-10"/><Target x="0" y="0" z="0"/></Light>
  <Camera nearClip="0.1" farClip="300" fov="40">
    <SwitchSequence><Mode value="Free"/><Mode value="Fixed"/><Mode value="FPS"/><Mode value="Path"/></SwitchSequence>
    <CameraMode mode="Free"/>
    <Follow minVAngle="5" maxVAngle="60" minDistance="2" maxDistance="10"/>
    <Free><InitialPosition x="0" y="9" z="-13"/><InitialTarget x="0" y="0.5" z="0"/></Free>
    <Fixed>
      <Name value="North gate"/><Position x="0" y="8" z="11"/><Target x="0" y="0" z="0"/>
      <Name value="East corner"/><Position x="10" y="6" z="-10"/><Target x="0" y="0" z="0"/>
    </Fixed>
  </Camera>
</Config>
)";
}

} // namespace

bool WriteSceneAssets(const char* command, const std::string& out, const LevelOptions& level, std::string* error) {
    const std::filesystem::path dir = out;
    std::error_code ec;
    std::filesystem::create_directories(dir / "models" / "textures", ec);
    if (ec) {
        *error = "cannot create " + (dir / "models" / "textures").string();
        return false;
    }
    WorldDesc world = LevelWorld(level);
    if (!AddWorldCollision(world)) {
        *error = "cannot build the level's collision data";
        return false;
    }
    Bytes levelBytes = WorldFile(world);
    for (const ClumpDesc& clump : {Placed(ShapeKind::Cylinder, 12, "barrel", 4.0f, 4.0f),
                                   Placed(ShapeKind::Cylinder, 12, "barrel", -4.0f, -4.0f)}) {
        const Bytes bytes = ClumpFile(clump);
        levelBytes.insert(levelBytes.end(), bytes.begin(), bytes.end());
    }
    ShapeOptions crate;
    crate.kind = ShapeKind::Box;
    crate.texture = "crate";
    ShapeOptions barrel;
    barrel.kind = ShapeKind::Cylinder;
    barrel.size = 12;
    barrel.texture = "barrel";
    const std::pair<std::filesystem::path, Bytes> files[] = {
        {dir / "models" / "level.bsp", levelBytes},
        {dir / "models" / "crate.dff", ClumpFile(ModelClump(crate))},
        {dir / "models" / "barrel.dff", ClumpFile(ModelClump(barrel))},
    };
    for (const auto& [path, bytes] : files) {
        if (!WriteFile(command, path.string(), bytes)) {
            *error = "cannot write " + path.string();
            return false;
        }
    }
    struct Tones {
        const char* name;
        unsigned char a[3], b[3];
        int tile;
    };
    const Tones textures[] = {
        {"floor", {190, 184, 170}, {160, 154, 140}, 16}, {"wall", {170, 172, 184}, {150, 152, 166}, 32},
        {"block", {176, 130, 90}, {150, 110, 76}, 16},   {"crate", {200, 160, 90}, {170, 130, 70}, 32},
        {"barrel", {90, 120, 170}, {70, 100, 150}, 8},
    };
    for (const Tones& t : textures) {
        if (!WriteTexture((dir / "models" / "textures" / (std::string(t.name) + ".png")).string(), t.a, t.b, t.tile,
                          error)) {
            return false;
        }
    }
    return WriteCharsetFont((dir / "FONTS").string(), "TSA16", error) && WriteMarkers(dir.string(), error) &&
           WriteSceneHudImages(dir.string(), error) && WriteCharacterAssets(dir.string(), error);
}

void SceneUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: mkasset scene --out DIR [--seed S] [--hud]\n"
                 "  Writes a folder the game framework runs (framework_probe):\n"
                 "    DIR/config.xml               one world, physics settings, an ambient and a directional light,\n"
                 "                                 cameras: switch sequence Free, Fixed, FPS, Path; the free camera\n"
                 "                                 at (0, 9, -13) looking at (0, 0.5, 0); fixed viewpoints \"North\n"
                 "                                 gate\" (0, 8, 11) and \"East corner\" (10, 6, -10)\n"
                 "    DIR/models/level.bsp         a 24 x 24 metre level of 8 blocks (seed S, default 1) whose\n"
                 "                                 sectors carry collision trees, then two barrel clumps\n"
                 "                                 standing at (4, 4) and (-4, -4)\n"
                 "    DIR/models/crate.dff         a unit box; DIR/models/barrel.dff a unit cylinder\n"
                 "    DIR/models/textures/*.png    floor, wall, block, crate and barrel\n"
                 "    DIR/FONTS/TSA16.met, .png    the framework's font\n"
                 "    DIR/models/textures/pointer.bmp, target.bmp, DIR/models/revolution/spline.ovs\n"
                 "                                 the pointer, crosshair and camera path (as mkasset markers)\n"
                 "    rigid bodies (\"Physics\")    crates (models/crate.dff) at (1.25, -1.25) and two stacked at\n"
                 "                                 (-1.25, 1.25), a ball (drawn as a barrel) at (1.25, 1.25);\n"
                 "                                 RIGHT CTRL + mouse drags them\n"
                 "    DIR/models/textures/st*.bmp  the start screen's eight images; with --hud the config has a\n"
                 "                                 \"Hud\" section: the game starts paused until ENTER\n"
                 "    DIR/models/soldier_blue.dff, soldier_red.dff\n"
                 "                                 the soldier of the character profiles \"BlueSoldier\" and\n"
                 "                                 \"RedSoldier\" (as mkasset character --soldier) in two colours\n"
                 "    DIR/models/anims/*.anm       the 37 animations every profile lists, for that soldier\n"
                 "    DIR/models/fire.dff, DIR/models/revolution/rock.dff, DIR/models/world.dff\n"
                 "                                 the muzzle flash, a thrown rock and the characters' sphere\n"
                 "    DIR/models/textures/particle.png\n"
                 "                                 the impact particles' soft dot\n"
                 "    level objects in config.xml: a switch \"LiftSwitch\" at (1.5, 1, -3) driving a lift\n"
                 "                                 from (3, 0.1, -2) to (3, 3.1, -2), a laser beam, a teleporter\n"
                 "                                 from (-7, 0, -7) to (7, 0, 7), a bumper, a jump helper, a door\n"
                 "                                 at (0, 1, 6), a collision plane and a collision triangle\n"
                 "    DIR/models/lift.dff, DIR/models/Bouton{Vert,Rouge,VertOn,RougeOn}.dff\n"
                 "                                 the lift's platform and the switch's buttons, with textures\n"
                 "  The level keeps the 2.5 metres round the origin clear. DIR and its folders are created.\n"
                 "  Exit status 0 on success, 1 when a file cannot be written, 2 on bad usage.\n");
}

int RunScene(int argc, char** argv) {
    std::string out;
    LevelOptions level;
    level.size = kSceneSize;
    level.boxes = kSceneBlocks;
    bool hud = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--hud") {
            hud = true;
            continue;
        }
        if (arg != "--out" && arg != "--seed") {
            return Fail(kName, kExitUsage, "unknown argument " + arg);
        }
        if (i + 1 >= argc) {
            return Fail(kName, kExitUsage, "missing value after " + arg);
        }
        const char* value = argv[++i];
        if (arg == "--out") {
            out = value;
        } else {
            int seed = 0;
            if (!ParseInt(value, &seed) || seed < 0) {
                return Fail(kName, kExitUsage, std::string("bad --seed '") + value + "' (0 to 2147483647)");
            }
            level.seed = static_cast<std::uint32_t>(seed);
        }
    }
    if (out.empty()) {
        return Fail(kName, kExitUsage, "--out is required");
    }
    const std::filesystem::path dir = out;
    std::error_code ec;
    std::filesystem::create_directories(dir / "models" / "textures", ec);
    if (ec) {
        return Fail(kName, kExitFailed, "cannot create " + (dir / "models" / "textures").string());
    }
    const std::string config = (dir / "config.xml").string();
    // The characters, the loose bodies and the start screen go in before the configuration's end.
    std::string configText = SceneConfig();
    configText.insert(configText.rfind("</Config>"),
                      CharacterConfig() + ScenePhysicsSection() + (hud ? SceneHudSection() : ""));
    const LevelObjectLayout objects = SceneLevelObjects();
    configText.insert(configText.rfind("</Config>"), LevelObjectConfig(objects));
    configText.insert(configText.rfind("  </Worlds>"), LevelCollisionConfig(objects));
    std::string error;
    if (!WriteFile(kName, config, Bytes(configText.begin(), configText.end()))) {
        return kExitFailed;
    }
    if (!WriteSceneAssets(kName, dir.string(), level, &error) || !WriteLevelObjectAssets(dir.string(), &error)) {
        return Fail(kName, kExitFailed, error);
    }
    return kExitOk;
}

} // namespace mkasset
