// mkasset scene's loose bodies and start screen: the configuration's "Physics" section (crate and
// ball models, a few instances on the diagonals of the level's clear middle, out of the way of
// the probe's dropped boxes), the optional "Hud" section, and
// the start screen's images: the game's title, what it is and its keys, drawn in the built-in
// character set that the font is made from.

#include <filesystem>
#include <string>
#include <vector>

#include "graphics/toolkits/charset.h"
#include "tools/mkasset/bmp_writer.h"
#include "tools/mkasset/commands.h"
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

std::string ScenePhysicsSection() {
    return R"(  <Physics>
    <Models>
      <Box name="crate" clumpFilename="models/crate.dff" dx="0.5" dy="0.5" dz="0.5" mass="10" slide="1" bounce="0.2"/>
      <Sphere name="ball" clumpFilename="models/barrel.dff"/>
    </Models>
    <Instances>
      <Instance model="crate" px="1.25" py="0.5" pz="-1.25" ox="0" oy="1" oz="0" angle="0"/>
      <Instance model="crate" px="-1.25" py="0.5" pz="1.25" ox="0" oy="1" oz="0" angle="20"/>
      <Instance model="crate" px="-1.25" py="1.6" pz="1.25" ox="0" oy="1" oz="0" angle="-10"/>
      <Instance model="ball" px="1.25" py="0.5" pz="1.25" ox="1" oy="0" oz="0" angle="90"/>
    </Instances>
  </Physics>
)";
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
