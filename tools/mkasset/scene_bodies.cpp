// mkasset scene's loose bodies and start screen: the configuration's "Physics" section (crate and
// ball models, a few instances on the diagonals of the level's clear middle, out of the way of
// the probe's dropped boxes), the optional "Hud" section, and
// the start screen's images.

#include <filesystem>
#include <string>
#include <vector>

#include "tools/mkasset/bmp_writer.h"
#include "tools/mkasset/commands.h"

namespace mkasset {

namespace {

// The start screen's images: name, size and two tones; the text image is striped like lines of
// print, the others are framed blocks.
struct HudImage {
    const char* name;
    int width, height;
    unsigned char ink[3], paper[3];
    bool lines;
};

const HudImage kHudImages[] = {
    {"stQuelLogo.bmp", 128, 64, {220, 180, 60}, {40, 40, 60}, false},
    {"stZunaLogo.bmp", 128, 64, {60, 180, 220}, {40, 40, 60}, false},
    {"stTitle.bmp", 256, 32, {240, 240, 240}, {60, 60, 90}, false},
    {"stText.bmp", 256, 512, {30, 30, 30}, {230, 226, 210}, true},
    {"stMessage.bmp", 256, 32, {250, 250, 120}, {50, 50, 70}, false},
    {"stScrollUp.bmp", 32, 32, {250, 250, 250}, {90, 90, 120}, false},
    {"stScrollDown.bmp", 32, 32, {250, 250, 250}, {90, 90, 120}, false},
    {"stScroll.bmp", 32, 32, {140, 140, 170}, {90, 90, 120}, false},
};

std::vector<unsigned char> HudPixels(const HudImage& image) {
    std::vector<unsigned char> rgb(static_cast<std::size_t>(image.width * image.height * 3));
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            bool ink;
            if (image.lines) {
                // Lines of 10 pixels with 6 between, ragged on the right.
                ink = y % 16 < 10 && x >= 8 && x < image.width - 8 - (y / 16 * 37) % 64;
            } else {
                ink = x < 3 || y < 3 || x >= image.width - 3 || y >= image.height - 3;
            }
            const unsigned char* tone = ink ? image.ink : image.paper;
            for (int c = 0; c < 3; ++c) {
                rgb[static_cast<std::size_t>((y * image.width + x) * 3 + c)] = tone[c];
            }
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
    for (const HudImage& image : kHudImages) {
        const std::string path = (folder / image.name).string();
        if (!WriteFile("scene", path, BmpFile(image.width, image.height, HudPixels(image)))) {
            *error = "cannot write " + path;
            return false;
        }
    }
    return true;
}

} // namespace mkasset
