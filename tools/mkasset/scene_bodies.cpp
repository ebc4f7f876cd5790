// mkasset scene's loose bodies and start screen: the configuration's "Physics" section (crate and
// ball models, a few instances on the diagonals of the level's clear middle, out of the way of
// the probe's dropped boxes), the optional "Hud" section, and
// the start screen's images: the game's title, what it is and its keys, drawn in the built-in
// character set that the font is made from.

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/rigid_bodies.h"
#include "graphics/toolkits/charset.h"
#include "tools/mkasset/bmp_writer.h"
#include "tools/mkasset/commands.h"
#include "tools/mkasset/level_objects_scene.h"
#include "tools/mkasset/start_screen_help.h"

namespace mkasset {

namespace {

// The start screen's images (sides of powers of two, which textures keep): name, size, two tones,
// and what is drawn on them in the built-in
// character set: lines of text (each glyph pixel `scale` pixels square, centred or from the left),
// a frame round the edge, or an arrow.
struct HudImage {
    const char* name;
    int width, height;
    unsigned char ink[3], paper[3];
    std::vector<std::string> lines;
    int scale = 1;
    bool centred = true;
    bool framed = false;
    int arrow = 0; // 1 up, -1 down
};

const std::vector<HudImage>& HudImages() {
    static const std::vector<HudImage> images = {
        {"stQuelLogo.bmp", 128, 64, {220, 180, 60}, {40, 40, 60}, {"QUEL"}, 3, true, true},
        {"stZunaLogo.bmp", 128, 64, {60, 180, 220}, {40, 40, 60}, {"ZUNA"}, 3, true, true},
        {"stTitle.bmp", 256, 32, {240, 240, 240}, {60, 60, 90}, {"DUNMARROW"}, 2},
        {"stText.bmp", 512, 512, {30, 30, 30}, {230, 226, 210}, StartScreenHelp(), 1, false},
        {"stMessage.bmp", 512, 32, {250, 250, 120}, {50, 50, 70}, {"Press ENTER to start"}, 2},
        {"stScrollUp.bmp", 32, 32, {250, 250, 250}, {90, 90, 120}, {}, 1, true, true, 1},
        {"stScrollDown.bmp", 32, 32, {250, 250, 250}, {90, 90, 120}, {}, 1, true, true, -1},
        {"stScroll.bmp", 32, 32, {140, 140, 170}, {90, 90, 120}, {}, 1, true, true},
    };
    return images;
}

std::vector<unsigned char> HudPixels(const HudImage& image) {
    std::vector<bool> ink(static_cast<std::size_t>(image.width * image.height), false);
    const auto set = [&](int x, int y) {
        if (x >= 0 && y >= 0 && x < image.width && y < image.height) {
            ink[static_cast<std::size_t>(y * image.width + x)] = true;
        }
    };
    if (image.framed) {
        for (int y = 0; y < image.height; ++y) {
            for (int x = 0; x < image.width; ++x) {
                if (x < 3 || y < 3 || x >= image.width - 3 || y >= image.height - 3) {
                    set(x, y);
                }
            }
        }
    }
    if (image.arrow != 0) {
        // A triangle pointing up or down, 16 pixels wide.
        for (int row = 0; row < 8; ++row) {
            const int y = image.arrow > 0 ? 12 + row : 19 - row;
            for (int x = 16 - row - 1; x <= 16 + row; ++x) {
                set(x, y);
            }
        }
    }
    OvCharsetDesc desc;
    const OvUInt8* glyphs = OvCharsetGetMetrics(&desc, nullptr);
    const int lineHeight = (desc.glyphHeight + 1) * image.scale;
    const int textHeight = static_cast<int>(image.lines.size()) * lineHeight;
    int top = image.centred ? (image.height - textHeight) / 2 : 8;
    for (const std::string& line : image.lines) {
        const int lineWidth = static_cast<int>(line.size()) * desc.glyphWidth * image.scale;
        int left = image.centred ? (image.width - lineWidth) / 2 : 8;
        for (const char c : line) {
            const int g = static_cast<unsigned char>(c) - ovCHARSETFIRSTCODE;
            for (int r = 0; g >= 0 && g < desc.count && r < desc.glyphHeight; ++r) {
                const OvUInt8 bits = glyphs[g * ovCHARSETGLYPHBYTES + r];
                for (int x = 0; x < desc.glyphWidth; ++x) {
                    if (((bits >> x) & 1u) == 0) {
                        continue;
                    }
                    for (int k = 0; k < image.scale * image.scale; ++k) {
                        set(left + x * image.scale + k % image.scale, top + r * image.scale + k / image.scale);
                    }
                }
            }
            left += desc.glyphWidth * image.scale;
        }
        top += lineHeight;
    }
    std::vector<unsigned char> rgb(static_cast<std::size_t>(image.width * image.height * 3));
    for (std::size_t i = 0; i < ink.size(); ++i) {
        const unsigned char* tone = ink[i] ? image.ink : image.paper;
        for (int c = 0; c < 3; ++c) {
            rgb[i * 3 + static_cast<std::size_t>(c)] = tone[c];
        }
    }
    return rgb;
}

} // namespace

namespace {

// The loose bodies' models (a box's half sizes, or the framework's fixed ball) and where their
// instances stand: turned by angle degrees about the axis.
struct BodyModel {
    const char* name;
    const char* clumpFile;
    bool sphere;
    float half[3]; // a box's half sizes (its "dx", "dy", "dz")
    float mass, slide, bounce;
};
struct BodyInstance {
    const char* model;
    float at[3];
    float axis[3];
    float angle;
};

constexpr BodyModel kBodyModels[] = {
    {"crate", "models/crate.dff", false, {0.5f, 0.5f, 0.5f}, 10.0f, 1.0f, 0.2f},
    {"ball", "models/barrel.dff", true, {}, 0.0f, 0.0f, 0.0f},
};
constexpr BodyInstance kBodyInstances[] = {
    {"crate", {1.25f, 0.5f, -1.25f}, {0.0f, 1.0f, 0.0f}, 0.0f},
    {"crate", {-1.25f, 0.5f, 1.25f}, {0.0f, 1.0f, 0.0f}, 20.0f},
    {"crate", {-1.25f, 1.6f, 1.25f}, {0.0f, 1.0f, 0.0f}, -10.0f},
    {"ball", {1.25f, 0.5f, 1.25f}, {1.0f, 0.0f, 0.0f}, 90.0f},
};

const BodyModel& ModelOf(const BodyInstance& instance) {
    for (const BodyModel& model : kBodyModels) {
        if (std::string(model.name) == instance.model) {
            return model;
        }
    }
    return kBodyModels[0];
}

std::string Attribute(const char* name, float value) {
    return std::string(" ") + name + "=\"" + ConfigNumber(value) + "\"";
}

} // namespace

std::string ScenePhysicsSection() {
    std::string section = "  <Physics>\n    <Models>\n";
    for (const BodyModel& m : kBodyModels) {
        section += std::string("      <") + (m.sphere ? "Sphere" : "Box") + " name=\"" + m.name +
                   "\" clumpFilename=\"" + m.clumpFile + "\"";
        if (!m.sphere) {
            section += Xyz(m.half, "d") + Attribute("mass", m.mass) + Attribute("slide", m.slide) +
                       Attribute("bounce", m.bounce);
        }
        section += "/>\n";
    }
    section += "    </Models>\n    <Instances>\n";
    for (const BodyInstance& i : kBodyInstances) {
        section += std::string("      <Instance model=\"") + i.model + "\"" + Xyz(i.at, "p") + Xyz(i.axis, "o") +
                   Attribute("angle", i.angle) + "/>\n";
    }
    return section + "    </Instances>\n  </Physics>\n";
}

std::vector<Footprint> ScenePhysicsFootprints(float margin) {
    std::vector<Footprint> out;
    for (const BodyInstance& i : kBodyInstances) {
        const BodyModel& m = ModelOf(i);
        Footprint f{i.model, {i.at[0], i.at[2]}, {i.at[0], i.at[2]}};
        if (m.sphere) {
            for (int a = 0; a < 2; ++a) {
                f.min[a] -= CRigidBodyManager::kSphereRadius;
                f.max[a] += CRigidBodyManager::kSphereRadius;
            }
        } else {
            // The box's corners turned by the angle about the axis, on the floor.
            const float n = std::sqrt(i.axis[0] * i.axis[0] + i.axis[1] * i.axis[1] + i.axis[2] * i.axis[2]);
            const float k[3] = {n > 0.0f ? i.axis[0] / n : 0.0f, n > 0.0f ? i.axis[1] / n : 1.0f,
                                n > 0.0f ? i.axis[2] / n : 0.0f};
            const float turn = n > 0.0f ? i.angle * 3.14159265f / 180.0f : 0.0f;
            const float c = std::cos(turn), s = std::sin(turn);
            for (int corner = 0; corner < 8; ++corner) {
                const float v[3] = {(corner & 1) != 0 ? m.half[0] : -m.half[0],
                                    (corner & 2) != 0 ? m.half[1] : -m.half[1],
                                    (corner & 4) != 0 ? m.half[2] : -m.half[2]};
                const float kv = k[0] * v[0] + k[1] * v[1] + k[2] * v[2];
                const float cross[3] = {k[1] * v[2] - k[2] * v[1], k[2] * v[0] - k[0] * v[2],
                                        k[0] * v[1] - k[1] * v[0]};
                for (int a = 0; a < 2; ++a) {
                    const int axis = a * 2; // x, then z
                    const float turned = v[axis] * c + cross[axis] * s + k[axis] * kv * (1.0f - c);
                    f.min[a] = std::min(f.min[a], i.at[axis] + turned);
                    f.max[a] = std::max(f.max[a], i.at[axis] + turned);
                }
            }
        }
        for (int a = 0; a < 2; ++a) {
            f.min[a] -= margin;
            f.max[a] += margin;
        }
        out.push_back(f);
    }
    return out;
}

std::string SceneHudSection() { return "  <Hud/>\n"; }

bool WriteSceneHudImages(const std::string& dir, std::string* error) {
    const std::filesystem::path folder = std::filesystem::path(dir) / "models" / "textures";
    for (const HudImage& image : HudImages()) {
        const std::string path = (folder / image.name).string();
        if (!WriteFile("scene", path, BmpFile(image.width, image.height, HudPixels(image)))) {
            *error = "cannot write " + path;
            return false;
        }
    }
    return true;
}

} // namespace mkasset
