// The level-object part of mkasset scene: the lift's platform, the switch's buttons and their
// textures, and the config.xml elements that place one of each level object in the scene.

#include "tools/mkasset/level_objects_scene.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "tools/mkasset/commands.h"
#include "tools/mkasset/shapes.h"

namespace mkasset {

namespace {

constexpr const char* kName = "scene";
constexpr int kSide = 16;

// A box of the full sizes, centred on its frame, with its first material textured by name.
ClumpDesc SizedBox(float x, float y, float z, const char* texture) {
    ShapeOptions options;
    options.kind = ShapeKind::Box;
    options.texture = texture;
    ClumpDesc clump = ModelClump(options);
    for (MorphTargetDesc& target : clump.geometries[0].morphTargets) {
        float radius = 0.0f;
        for (std::size_t i = 0; i + 2 < target.verts.size(); i += 3) {
            target.verts[i] *= x;
            target.verts[i + 1] *= y;
            target.verts[i + 2] *= z;
            radius = std::max(radius,
                              std::sqrt(target.verts[i] * target.verts[i] + target.verts[i + 1] * target.verts[i + 1] +
                                        target.verts[i + 2] * target.verts[i + 2]));
        }
        target.sphere[3] = radius;
    }
    return clump;
}

// A plain texture of one colour with a darker rim.
bool WritePlainTexture(const std::string& path, const unsigned char rgb[3], std::string* error) {
    std::vector<png_byte> pixels(static_cast<std::size_t>(kSide * kSide * 3));
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            const bool rim = x == 0 || y == 0 || x == kSide - 1 || y == kSide - 1;
            for (int c = 0; c < 3; ++c) {
                pixels[static_cast<std::size_t>((y * kSide + x) * 3 + c)] =
                    static_cast<png_byte>(rim ? rgb[c] / 2 : rgb[c]);
            }
        }
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = kSide;
    image.height = kSide;
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr)) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

std::string Number(float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(v));
    return text;
}

} // namespace

std::string LevelCollisionConfig() {
    // A wall across the level's east side (6 long, 3 high) and a ramp-shaped triangle in the north.
    return R"(    <CollisionPlane>
      <Position x="9" y="1.5" z="4"/><Normal x="-1" y="0" z="0"/><Right x="0" y="0" z="1"/>
      <Length value="6"/><Width value="3"/>
    </CollisionPlane>
    <CollisionTriangle>
      <flags value="0"/><v1 x="-4" y="0" z="8"/><v2 x="-2" y="0" z="8"/><v3 x="-3" y="1.5" z="10"/>
    </CollisionTriangle>
)";
}

std::string LevelObjectConfig() {
    std::string lift = "  <Lift";
    const char* names[2][3] = {{"p1x", "p1y", "p1z"}, {"p2x", "p2y", "p2z"}};
    for (int e = 0; e < 2; ++e) {
        for (int c = 0; c < 3; ++c) {
            lift += std::string(" ") + names[e][c] + "=\"" + Number((e == 0 ? kSceneLiftP1 : kSceneLiftP2)[c]) + "\"";
        }
    }
    lift += R"( pw1x="2" pw1y="0" pw1z="-3" pw2x="4" pw2y="0" pw2z="-1" switch="LiftSwitch"/>
)";
    return R"(  <Switch name="LiftSwitch" px="1.5" py="1" pz="-3" nx="0" ny="0" nz="-1" stringOn="start the lift" stringOff="stop the lift"/>
)" + lift +
           R"(  <LaserBeam p1x="-4" p1y="1" p1z="3" p2x="4" p2y="1" p2z="3" pw1x="-4" pw1y="0" pw1z="3" pw2x="4" pw2y="0" pw2z="3" timeOn="2" timeOff="1" startTime="0"/>
  <Teleporter p1x="-7" p1y="0" p1z="-7" p2x="7" p2y="0" p2z="7"/>
  <Bumper p1x="7" p1y="0" p1z="-7" p2x="7" p2y="2" p2z="-7"/>
  <JumpHelper p1x="-7" p1y="0" p1z="7" p2x="-7" p2y="2" p2z="7"/>
  <Door px="0" py="1" pz="6" width="2" height="2" depth="0.1" axis="1" pw1x="-1" pw1y="0" pw1z="6" pw2x="1" pw2y="2" pw2z="6"/>
)";
}

bool WriteLevelObjectAssets(const std::string& out, std::string* error) {
    const std::filesystem::path dir = std::filesystem::path(out) / "models";
    std::error_code ec;
    std::filesystem::create_directories(dir / "textures", ec);
    if (ec) {
        *error = "cannot create " + (dir / "textures").string();
        return false;
    }
    struct Model {
        const char* file;
        float x, y, z;
        const char* texture;
        unsigned char rgb[3];
    };
    const Model models[] = {
        {"lift.dff", 2.0f, 0.2f, 2.0f, "lift", {150, 150, 160}},
        {"BoutonVert.dff", 0.3f, 0.3f, 0.15f, "bouton_vert", {40, 160, 40}},
        {"BoutonRouge.dff", 0.3f, 0.3f, 0.15f, "bouton_rouge", {170, 40, 40}},
        {"BoutonVertOn.dff", 0.3f, 0.15f, 0.15f, "bouton_vert_on", {90, 255, 90}},
        {"BoutonRougeOn.dff", 0.3f, 0.15f, 0.15f, "bouton_rouge_on", {255, 90, 90}},
    };
    for (const Model& m : models) {
        if (!WriteFile(kName, (dir / m.file).string(), ClumpFile(SizedBox(m.x, m.y, m.z, m.texture))) ||
            !WritePlainTexture((dir / "textures" / (std::string(m.texture) + ".png")).string(), m.rgb, error)) {
            if (error->empty()) {
                *error = "cannot write " + (dir / m.file).string();
            }
            return false;
        }
    }
    return true;
}

} // namespace mkasset
