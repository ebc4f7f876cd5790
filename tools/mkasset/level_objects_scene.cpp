// The level-object part of mkasset scene: the lift's platform, the switch's buttons and their
// textures, and the config.xml elements that place one of each level object in the scene.

#include "tools/mkasset/level_objects_scene.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <system_error>
#include <vector>

#include "tools/mkasset/commands.h"
#include "tools/mkasset/shapes.h"

namespace mkasset {

namespace {

constexpr const char* kName = "scene";
constexpr int kSide = 16;
// Sizes the layouts share, and what the framework's objects do.
constexpr float kLiftHalfSide = 1.0f; // the platform is 2 x 2 (models/lift.dff)
constexpr float kDoorWidth = 2.0f;
constexpr float kDoorHeight = 2.0f;
constexpr float kDoorDepth = 0.1f;
constexpr float kTeleporterReach = 1.0f;
constexpr float kBumperReach = 2.0f;
// A bumper's throw (-6, 12, 0) under a gravity of 10 lands 2.4 s later this far off.
constexpr float kBumperThrow[3] = {-14.4f, 0.0f, 0.0f};
constexpr float kSoldierHalfWidth = 0.6f;

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

// The collision plane's corners: length along right, width along normal x right.
struct PlaneQuad {
    float p[4][3];
};
PlaneQuad PlaneCorners(const LevelObjectLayout& l) {
    const float* n = l.planeNormal;
    const float* r = l.planeRight;
    const float up[3] = {n[1] * r[2] - n[2] * r[1], n[2] * r[0] - n[0] * r[2], n[0] * r[1] - n[1] * r[0]};
    PlaneQuad c{};
    for (int k = 0; k < 4; ++k) {
        const float s = (k & 1) != 0 ? 0.5f : -0.5f;
        const float t = (k & 2) != 0 ? 0.5f : -0.5f;
        for (int a = 0; a < 3; ++a) {
            c.p[k][a] = l.planeAt[a] + s * l.planeLength * r[a] + t * l.planeWidth * up[a];
        }
    }
    return c;
}

} // namespace

LevelObjectLayout SceneLevelObjects() {
    return {
        .switchAt = {1.5f, 1.0f, -3.0f},
        .switchNormal = {0.0f, 0.0f, -1.0f},
        .liftP1 = {kSceneLiftP1[0], kSceneLiftP1[1], kSceneLiftP1[2]},
        .liftP2 = {kSceneLiftP2[0], kSceneLiftP2[1], kSceneLiftP2[2]},
        .laserP1 = {-4.0f, 1.0f, 3.0f},
        .laserP2 = {4.0f, 1.0f, 3.0f},
        .teleporterEntry = {-7.0f, 0.0f, -7.0f},
        .teleporterExit = {7.0f, 0.0f, 7.0f},
        .bumper = {7.0f, 0.0f, -7.0f},
        .jumpHelper = {-7.0f, 0.0f, 7.0f},
        .door = {0.0f, 1.0f, 6.0f},
        .doorAxis = 1,
        // A wall across the level's east side (6 long, 3 high) and a ramp-shaped triangle in the north.
        .planeAt = {9.0f, 1.5f, 4.0f},
        .planeNormal = {-1.0f, 0.0f, 0.0f},
        .planeRight = {0.0f, 0.0f, 1.0f},
        .planeLength = 6.0f,
        .planeWidth = 3.0f,
        .triangle = {{-4.0f, 0.0f, 8.0f}, {-2.0f, 0.0f, 8.0f}, {-3.0f, 1.5f, 10.0f}},
    };
}

std::vector<Footprint> LevelObjectFootprints(const LevelObjectLayout& l) {
    std::vector<Footprint> out;
    const auto around = [&out](const char* what, const float* p, float reach) {
        out.push_back({what, {p[0] - reach, p[2] - reach}, {p[0] + reach, p[2] + reach}});
    };
    // The box holding the points' ground, widened by margin.
    const auto spanning = [&out](const char* what, std::initializer_list<const float*> points, float margin) {
        Footprint f{what, {INFINITY, INFINITY}, {-INFINITY, -INFINITY}};
        for (const float* p : points) {
            for (int a = 0; a < 2; ++a) {
                f.min[a] = std::min(f.min[a], p[a * 2] - margin);
                f.max[a] = std::max(f.max[a], p[a * 2] + margin);
            }
        }
        out.push_back(f);
    };
    around("switch", l.switchAt, 0.5f);
    spanning("lift", {l.liftP1, l.liftP2}, kLiftHalfSide);
    spanning("laser beam", {l.laserP1, l.laserP2}, 0.1f);
    around("teleporter entry", l.teleporterEntry, kTeleporterReach);
    around("teleporter exit", l.teleporterExit, kSoldierHalfWidth);
    around("bumper", l.bumper, kBumperReach);
    const float landing[3] = {l.bumper[0] + kBumperThrow[0], l.bumper[1], l.bumper[2] + kBumperThrow[2]};
    spanning("bumper's throw", {l.bumper, landing}, 1.0f);
    around("jump helper", l.jumpHelper, 0.5f);
    // The door turns a quarter either way about its edge: it sweeps a square of its width on each side.
    around("door", l.door, kDoorWidth);
    PlaneQuad corners = PlaneCorners(l);
    spanning("collision plane", {corners.p[0], corners.p[1], corners.p[2], corners.p[3]}, 0.5f);
    spanning("collision triangle", {l.triangle[0], l.triangle[1], l.triangle[2]}, 0.5f);
    return out;
}

std::string LevelCollisionConfig(const LevelObjectLayout& l) {
    return "    <CollisionPlane>\n      <Position" + Xyz(l.planeAt) + "/><Normal" + Xyz(l.planeNormal) + "/><Right" +
           Xyz(l.planeRight) + "/>\n      <Length value=\"" + ConfigNumber(l.planeLength) + "\"/><Width value=\"" +
           ConfigNumber(l.planeWidth) +
           "\"/>\n    </CollisionPlane>\n    <CollisionTriangle>\n      <flags value=\"0\"/><v1" + Xyz(l.triangle[0]) +
           "/><v2" + Xyz(l.triangle[1]) + "/><v3" + Xyz(l.triangle[2]) + "/>\n    </CollisionTriangle>\n";
}

std::string LevelObjectConfig(const LevelObjectLayout& l) {
    const auto plus = [](const float* p, float dx, float dy, float dz) {
        return std::array<float, 3>{p[0] + dx, p[1] + dy, p[2] + dz};
    };
    const auto ground = [](const float* p) { return std::array<float, 3>{p[0], 0.0f, p[2]}; };
    const float h = kLiftHalfSide;
    const float half = kDoorWidth / 2.0f;
    const std::array<float, 3> doorLow = l.doorAxis == 1 ? plus(l.door, -half, -kDoorHeight / 2.0f, 0.0f)
                                                         : plus(l.door, 0.0f, -kDoorHeight / 2.0f, -half);
    const std::array<float, 3> doorHigh =
        l.doorAxis == 1 ? plus(l.door, half, kDoorHeight / 2.0f, 0.0f) : plus(l.door, 0.0f, kDoorHeight / 2.0f, half);
    return "  <Switch name=\"LiftSwitch\"" + Xyz(l.switchAt, "p") + Xyz(l.switchNormal, "n") +
           " stringOn=\"start the lift\" stringOff=\"stop the lift\"/>\n  <Lift" + Xyz(l.liftP1, "p1") +
           Xyz(l.liftP2, "p2") + Xyz(plus(ground(l.liftP1).data(), -h, 0.0f, -h).data(), "pw1") +
           Xyz(plus(ground(l.liftP1).data(), h, 0.0f, h).data(), "pw2") + " switch=\"LiftSwitch\"/>\n  <LaserBeam" +
           Xyz(l.laserP1, "p1") + Xyz(l.laserP2, "p2") + Xyz(ground(l.laserP1).data(), "pw1") +
           Xyz(ground(l.laserP2).data(), "pw2") + " timeOn=\"2\" timeOff=\"1\" startTime=\"0\"/>\n  <Teleporter" +
           Xyz(l.teleporterEntry, "p1") + Xyz(l.teleporterExit, "p2") + "/>\n  <Bumper" + Xyz(l.bumper, "p1") +
           Xyz(plus(l.bumper, 0.0f, 2.0f, 0.0f).data(), "p2") + "/>\n  <JumpHelper" + Xyz(l.jumpHelper, "p1") +
           Xyz(plus(l.jumpHelper, 0.0f, 2.0f, 0.0f).data(), "p2") + "/>\n  <Door" + Xyz(l.door, "p") + " width=\"" +
           ConfigNumber(kDoorWidth) + "\" height=\"" + ConfigNumber(kDoorHeight) + "\" depth=\"" +
           ConfigNumber(kDoorDepth) + "\" axis=\"" + std::to_string(l.doorAxis) + "\"" + Xyz(doorLow.data(), "pw1") +
           Xyz(doorHigh.data(), "pw2") + "/>\n";
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
