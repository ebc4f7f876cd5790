// The character part of mkasset scene: the blue and red soldiers, the animations their profiles
// list, the muzzle flash, the rock, the motion body's sphere, the particle image and the profiles
// of config.xml.

#include <png.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "graphics/core/error.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/plugins/anim_hierarchy.h"
#include "graphics/plugins/anim_tracks.h"
#include "graphics/world/world_plugin.h"
#include "tools/mkasset/character_scene.h"
#include "tools/mkasset/commands.h"
#include "tools/mkasset/soldier.h"

namespace mkasset {

namespace {

constexpr float kPi = 3.14159265f;
constexpr float kKeysPerSecond = 12.0f;
constexpr int kParticleSide = 32;

// ---- Poses ----

struct Q {
    float x = 0, y = 0, z = 0, w = 1;
};

Q AxisAngle(float ax, float ay, float az, float angle) {
    const float s = std::sin(0.5f * angle);
    return {ax * s, ay * s, az * s, std::cos(0.5f * angle)};
}

Q Mul(const Q& a, const Q& b) {
    return {a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y, a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
            a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w, a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
}

// One bone's turn in a pose: about x (positive leans forward, swings a leg back), then y
// (positive turns to the soldier's left, +x), then z (positive swings a leg to the left).
struct Turn {
    float x = 0, y = 0, z = 0;
};

// What an animation does. Moving ones loop over one cycle; the others hold one pose.
struct Motion {
    bool moving = false;
    float cycle = 1.0f;   // seconds
    float stride = 0.45f; // thigh swing (radians)
    float heading = 0;    // legs turned by this (radians, + left), the torso turned back
    bool backward = false;
    int strafe = 0;        // -1 right, +1 left, 0 none
    float crouch = 0;      // 0 standing, 1 alert stoop, 2 full crouch
    float lean = 0;        // torso forward lean (radians)
    float yaw = 0;         // aim: torso turn (radians, + left)
    float pitch = 0;       // aim: torso pitch (radians, + up)
    float breathe = 0.03f; // idle chest motion
    float carry = 0.55f;   // the rifle lowered from the aim by both arms turning down (radians)
};

Motion MotionOf(const std::string& name) {
    Motion m;
    const bool alert = name.rfind("Alert", 0) == 0;
    std::string rest = alert ? name.substr(5) : name;
    if (alert) {
        m.crouch = 1;
        m.lean = 0.15f;
        m.carry = 0.3f;
    }
    if (name.rfind("CrouchAim", 0) == 0 || name.rfind("IdleAim", 0) == 0) {
        const bool crouched = name[0] == 'C';
        rest = name.substr(crouched ? 9 : 7);
        m.crouch = crouched ? 2 : 0;
        m.breathe = 0.01f;
        m.carry = 0; // the rifle at the shoulder
        const float yaw = 0.6f, pitch = 0.5f;
        m.pitch = rest.rfind("Up", 0) == 0 ? pitch : rest.rfind("Down", 0) == 0 ? -pitch : 0;
        m.yaw = rest.find("Left") != std::string::npos ? yaw : rest.find("Right") != std::string::npos ? -yaw : 0;
        return m;
    }
    if (rest == "Idle") {
        return m;
    }
    m.moving = true;
    if (rest == "Run") {
        m.cycle = 0.66f;
        m.stride = 0.8f;
        m.lean = 0.25f;
    } else if (rest == "StrafeLeft" || rest == "StrafeRight") {
        m.strafe = rest == "StrafeLeft" ? 1 : -1;
        m.stride = 0.3f;
    } else {
        m.backward = rest.rfind("Backward", 0) == 0;
        if (rest.find("Left") != std::string::npos) {
            m.heading = m.backward ? -0.4f : 0.4f;
        } else if (rest.find("Right") != std::string::npos) {
            m.heading = m.backward ? 0.4f : -0.4f;
        }
    }
    if (alert) {
        m.stride *= 0.7f;
        m.cycle *= 1.2f;
    }
    return m;
}

bool Is(const std::string& bone, const char* a, const char* b = nullptr) { return bone == a || (b && bone == b); }

// A bone's turn and (for the pelvis) lift at phase p (radians over the cycle).
Turn TurnOf(const Motion& m, const std::string& bone, float p, float* lift) {
    Turn t;
    const float s = std::sin(m.backward ? -p : p);
    const float c = std::cos(m.backward ? -p : p);
    const float side = bone[0] == 'l' ? 1.0f : -1.0f; // legs in opposite phase
    // The stance: knees bent by the crouch, the torso leaning.
    const float thighBend = m.crouch >= 2 ? -1.3f : m.crouch >= 1 ? -0.35f : 0;
    const float calfBend = m.crouch >= 2 ? 1.9f : m.crouch >= 1 ? 0.6f : 0;
    if (Is(bone, "pelvis")) {
        t.y = m.heading;
        *lift = m.crouch >= 2 ? -0.38f : m.crouch >= 1 ? -0.04f : 0;
        if (m.moving) {
            *lift += (m.stride > 0.6f ? 0.05f : 0.025f) * std::cos(2 * p);
        }
    } else if (Is(bone, "l_thigh", "r_thigh")) {
        t.x = thighBend;
        if (m.moving && m.strafe == 0) {
            t.x += side * m.stride * s;
        } else if (m.moving) {
            t.z = side * m.stride * (0.5f + 0.5f * s) * static_cast<float>(m.strafe) * (side > 0 ? 1.0f : -1.0f);
        }
    } else if (Is(bone, "l_calf", "r_calf")) {
        t.x = calfBend;
        if (m.moving) {
            // The knee bends while the leg swings back.
            t.x += (m.stride + 0.2f) * 0.5f * (1.0f - side * c) * 0.8f;
        }
    } else if (Is(bone, "l_foot", "r_foot")) {
        t.x = -(thighBend + calfBend);
    } else if (Is(bone, "spine")) {
        t.x = m.lean * 0.5f;
        t.y = -m.heading * 0.5f + m.yaw / 3;
        if (m.moving) {
            t.y += 0.08f * s;
        }
    } else if (Is(bone, "spine1")) {
        t.x = m.lean * 0.5f - m.pitch * 0.5f;
        t.y = -m.heading * 0.5f + m.yaw / 3;
    } else if (Is(bone, "chest")) {
        t.x = -m.pitch * 0.5f + m.breathe * std::sin(p);
        t.y = m.yaw / 3;
    } else if (Is(bone, "neck")) {
        t.x = -m.lean * 0.7f;
    } else if (Is(bone, "head")) {
        t.y = m.moving ? 0 : 0.1f * std::sin(p) * (m.yaw == 0 && m.pitch == 0 ? 1.0f : 0.0f);
    } else if (Is(bone, "l_upperarm", "r_upperarm")) {
        // Both shoulders lie on one line across the body: turning both arms by the same angle
        // about it keeps the hands on the rifle.
        t.x = m.carry;
    }
    return t;
}

Q QuatOf(const Turn& t) { return Mul(Mul(AxisAngle(0, 0, 1, t.z), AxisAngle(0, 1, 0, t.y)), AxisAngle(1, 0, 0, t.x)); }

// The animation's keys, one track a hierarchy node.
std::vector<std::vector<OvAnimTrackKey>> Tracks(const std::string& name, float* duration) {
    const Motion m = MotionOf(name);
    *duration = m.cycle;
    const std::vector<BoneDesc>& bones = SoldierBones();
    std::vector<std::vector<OvAnimTrackKey>> tracks;
    const int cycleKeys = static_cast<int>(std::ceil(m.cycle * kKeysPerSecond)) + 1;
    for (const BoneDesc& bone : bones) {
        const OvV3d bind = {bone.offset[0] * kSoldierUnit, bone.offset[1] * kSoldierUnit,
                            bone.offset[2] * kSoldierUnit};
        // Keys at every step of the cycle; a bone that keeps one turn needs two.
        std::vector<OvAnimTrackKey> keys;
        for (int k = 0; k < cycleKeys; ++k) {
            const float u = static_cast<float>(k) / static_cast<float>(cycleKeys - 1);
            float lift = 0;
            // The last key repeats the first exactly, so that the loop closes.
            const Turn t = TurnOf(m, bone.name, k + 1 == cycleKeys ? 0.0f : 2 * kPi * u, &lift);
            const Q q = QuatOf(t);
            OvAnimTrackKey key;
            key.time = k + 1 == cycleKeys ? m.cycle : m.cycle * u;
            key.q = {q.x, q.y, q.z, q.w};
            key.t = bind;
            key.t.y += lift * kSoldierUnit;
            keys.push_back(key);
        }
        bool constant = true;
        for (const OvAnimTrackKey& k : keys) {
            constant = constant && k.q.x == keys[0].q.x && k.q.y == keys[0].q.y && k.q.z == keys[0].q.z &&
                       k.q.w == keys[0].q.w && k.t.y == keys[0].t.y;
        }
        if (constant) {
            keys = {keys.front(), keys.back()};
        }
        tracks.push_back(keys);
    }
    return tracks;
}

void RegisterAnimation() {
    OvWorldPluginAttach();
    OvAnimPluginAttach();
    OvAnimHierarchyPluginAttach();
}

bool WriteAnimations(const std::filesystem::path& dir, std::string* error) {
    if (!OvTestEngineUp(0, RegisterAnimation)) {
        *error = "the graphics engine did not start";
        return false;
    }
    bool ok = true;
    for (const char* name : kProfileAnimationNames) {
        float duration = 0;
        const std::vector<std::vector<OvAnimTrackKey>> tracks = Tracks(name, &duration);
        std::vector<const OvAnimTrackKey*> pointers;
        std::vector<OvInt32> counts;
        for (const auto& t : tracks) {
            pointers.push_back(t.data());
            counts.push_back(static_cast<OvInt32>(t.size()));
        }
        OvAnimation* animation =
            OvAnimationCreateFromTracks(static_cast<OvInt32>(tracks.size()), pointers.data(), counts.data(), duration);
        const std::string path = (dir / ProfileAnimationFile(name)).string();
        if (animation == nullptr) {
            *error = std::string("cannot build the animation ") + name;
            ok = false;
            break;
        }
        const bool saved = OvAnimationSave(animation, path.c_str()) != nullptr;
        OvAnimationDestroy(animation);
        if (!saved) {
            *error = "cannot write " + path;
            ok = false;
            break;
        }
    }
    OvError ignored;
    OvErrorGet(&ignored);
    OvTestEngineDown();
    return ok;
}

// ---- Models ----

// A lit sphere of latitude and longitude bands, centred on the origin, in a colour.
ClumpDesc SphereClump(float radius, int bands, const std::uint8_t colour[3]) {
    GeometryDesc g;
    g.flags = 0x02 | 0x10 | 0x20 | 0x40; // positions, normals, lit, modulated by the material colour
    MorphTargetDesc target;
    for (int j = 0; j <= bands; ++j) {
        const float theta = kPi * static_cast<float>(j) / static_cast<float>(bands);
        for (int i = 0; i <= 2 * bands; ++i) {
            const float phi = kPi * static_cast<float>(i) / static_cast<float>(bands);
            const float n[3] = {std::sin(theta) * std::cos(phi), std::cos(theta), std::sin(theta) * std::sin(phi)};
            target.normals.insert(target.normals.end(), {n[0], n[1], n[2]});
            target.verts.insert(target.verts.end(), {n[0] * radius, n[1] * radius, n[2] * radius});
        }
    }
    const int row = 2 * bands + 1;
    for (int j = 0; j < bands; ++j) {
        for (int i = 0; i < 2 * bands; ++i) {
            const auto a = static_cast<std::uint16_t>(j * row + i);
            const auto b = static_cast<std::uint16_t>(a + 1);
            const auto c = static_cast<std::uint16_t>(a + row);
            const auto d = static_cast<std::uint16_t>(c + 1);
            // Counter-clockwise seen from outside.
            g.triangles.push_back({{a, b, d}, 0});
            g.triangles.push_back({{a, d, c}, 0});
        }
    }
    g.numVertices = static_cast<std::int32_t>(target.verts.size() / 3);
    target.sphere[3] = radius;
    g.morphTargets.push_back(target);
    MaterialDesc material;
    for (int k = 0; k < 3; ++k) {
        material.color[k] = colour[k];
    }
    g.materialList = MaterialListOf({material});
    ClumpDesc clump;
    clump.frames.push_back(FrameDesc{});
    clump.geometries.push_back(g);
    clump.atomics.push_back(AtomicDesc{});
    return clump;
}

// The muzzle flash in the hand's space (the flash frame takes the hand bone's matrix): three
// crossed star quads round the muzzle, seen from both sides, prelit yellow to white.
ClumpDesc FlashClump() {
    GeometryDesc g;
    g.flags = 0x02 | 0x08; // positions, prelit colours
    MorphTargetDesc target;
    const float centre[3] = {kSoldierMuzzle[0] * kSoldierUnit, kSoldierMuzzle[1] * kSoldierUnit,
                             (kSoldierMuzzle[2] + 0.08f) * kSoldierUnit};
    const float half = 0.09f * kSoldierUnit, length = 0.16f * kSoldierUnit;
    for (int q = 0; q < 3; ++q) {
        const float a = kPi * static_cast<float>(q) / 3.0f;
        const float side[3] = {std::cos(a) * half, std::sin(a) * half, 0};
        const auto base = static_cast<std::uint16_t>(target.verts.size() / 3);
        for (int k = 0; k < 4; ++k) {
            const float s = (k == 0 || k == 3) ? -1.0f : 1.0f;
            const float along = (k < 2 ? -0.5f : 0.5f) * length;
            target.verts.insert(target.verts.end(),
                                {centre[0] + s * side[0], centre[1] + s * side[1], centre[2] + along});
            const std::uint8_t bright = k < 2 ? 255 : 200;
            g.prelit.insert(g.prelit.end(), {255, bright, static_cast<std::uint8_t>(k < 2 ? 160 : 40), 255});
        }
        const auto v = [&](int k) { return static_cast<std::uint16_t>(base + k); };
        g.triangles.push_back({{v(0), v(1), v(2)}, 0});
        g.triangles.push_back({{v(0), v(2), v(3)}, 0});
        g.triangles.push_back({{v(0), v(2), v(1)}, 0});
        g.triangles.push_back({{v(0), v(3), v(2)}, 0});
    }
    g.numVertices = static_cast<std::int32_t>(target.verts.size() / 3);
    for (int k = 0; k < 3; ++k) {
        target.sphere[k] = centre[k];
    }
    target.sphere[3] = std::sqrt(half * half + 0.25f * length * length);
    g.morphTargets.push_back(target);
    g.materialList = MaterialListOf({MaterialDesc{}});
    ClumpDesc clump;
    clump.frames.push_back(FrameDesc{});
    clump.geometries.push_back(g);
    clump.atomics.push_back(AtomicDesc{});
    return clump;
}

// A soft white dot whose alpha falls off towards the rim: the emitters tint it.
bool WriteParticleImage(const std::string& path, std::string* error) {
    std::vector<png_byte> rgba(static_cast<std::size_t>(kParticleSide * kParticleSide * 4));
    const float c = 0.5f * (kParticleSide - 1);
    for (int y = 0; y < kParticleSide; ++y) {
        for (int x = 0; x < kParticleSide; ++x) {
            const float dx = (static_cast<float>(x) - c) / c, dy = (static_cast<float>(y) - c) / c;
            const float r = std::sqrt(dx * dx + dy * dy);
            const float a = r >= 1.0f ? 0.0f : (1.0f - r) * (1.0f - r);
            png_byte* p = &rgba[static_cast<std::size_t>((y * kParticleSide + x) * 4)];
            p[0] = p[1] = p[2] = 255;
            p[3] = static_cast<png_byte>(std::lround(a * 255.0f));
        }
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = kParticleSide;
    image.height = kParticleSide;
    image.format = PNG_FORMAT_RGBA;
    if (!png_image_write_to_file(&image, path.c_str(), 0, rgba.data(), 0, nullptr)) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

std::string Profile(const char* name, const char* clump) {
    std::string xml = std::string("  <Character name=\"") + name + "\">\n" + "    <Geometry clump=\"" + clump +
                      "\" heigth=\"1.8\" width=\"0.6\"/>\n"
                      "    <GlobalAnimator transitionSpeed=\"5.0\"/>\n"
                      "    <GlobalDynamics slideIntensity=\"1.0\" slideCreaseYComponent=\"0.7\" accuracy=\"80\" "
                      "sphereRadius=\"0.4\" sphereModel=\"./Models/World.dff\" gravity=\"-10.0\"/>\n"
                      "    <Actions>\n"
                      "      <Speeds forwardRun=\"4.5\" forwardWalk=\"1.6\" lateralWalk=\"1.2\"/>\n"
                      "      <Animations>\n";
    for (const char* animation : kProfileAnimationNames) {
        xml += std::string("        <Animation name=\"") + animation + "\" file=\"" + kAnimationFolder + "/" +
               ProfileAnimationFile(animation) + "\"/>\n";
    }
    xml += "      </Animations>\n    </Actions>\n  </Character>\n";
    return xml;
}

} // namespace

std::string CharacterConfig() {
    return Profile("BlueSoldier", kBlueSoldierFile) + Profile("RedSoldier", kRedSoldierFile);
}

bool WriteCharacterAssets(const std::string& out, std::string* error) {
    const std::filesystem::path dir = out;
    for (const std::filesystem::path& folder :
         {dir / "models" / "textures", dir / "models" / "revolution", dir / kAnimationFolder}) {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        if (ec) {
            *error = "cannot create " + folder.string();
            return false;
        }
    }
    const std::uint8_t blue[3] = {70, 100, 190}, red[3] = {190, 70, 60}, rock[3] = {120, 116, 108},
                       sphere[3] = {200, 200, 200};
    const struct {
        const char* file;
        Bytes bytes;
    } files[] = {
        {kBlueSoldierFile, ClumpFile(SoldierClump(blue))},
        {kRedSoldierFile, ClumpFile(SoldierClump(red))},
        {"models/fire.dff", ClumpFile(FlashClump())},
        {"models/revolution/rock.dff", ClumpFile(SphereClump(0.05f, 6, rock))},
        {"models/world.dff", ClumpFile(SphereClump(0.4f, 8, sphere))},
    };
    for (const auto& f : files) {
        const std::string path = (dir / f.file).string();
        if (!WriteFile("scene", path, f.bytes)) {
            *error = "cannot write " + path;
            return false;
        }
    }
    if (!WriteParticleImage((dir / "models" / "textures" / "particle.png").string(), error)) {
        return false;
    }
    return WriteAnimations(dir / kAnimationFolder, error);
}

} // namespace mkasset
