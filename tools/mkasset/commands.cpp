#include "tools/mkasset/commands.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "tools/mkasset/stored_meshes.h"

namespace mkasset {

const Command kCommands[] = {
    {"model", "a clump of one atomic: box, cylinder or grid", RunModel, ModelUsage},
    {"level", "a world: floor, walls and box blocks split into sectors", RunLevel, LevelUsage},
    {"font", "a bitmap font (metrics file and page) of the built-in character set", RunFont, FontUsage},
    {"spline", "a spline file through a list of points, open or closed", RunSpline, SplineUsage},
    {"character", "a skinned humanoid clump with a hierarchy of N bones", RunCharacter, CharacterUsage},
    {"anim", "a keyframe animation (walk, idle, bend) for a character", RunAnim, AnimUsage},
    {"markers", "the pointer and crosshair images and the camera spline of the framework", RunMarkers, MarkersUsage},
    {"scene", "a folder the game framework runs: config, level, models, textures, font", RunScene, SceneUsage},
#ifdef MKASSET_DEMO
    {"demo", "the game's data folder: scene, game configuration, intro page, AI world", RunDemo, DemoUsage},
#endif
    {nullptr, nullptr, nullptr, nullptr},
};

int Fail(const char* command, int status, const std::string& message) {
    std::fprintf(stderr, "mkasset %s: %s\n", command, message.c_str());
    return status;
}

bool ParseInt(const char* text, int* value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (*end != '\0' || errno != 0 || v < INT_MIN || v > INT_MAX) {
        return false;
    }
    *value = static_cast<int>(v);
    return true;
}

int ParseOutOnly(const char* command, int argc, char** argv, std::string* out) {
    out->clear();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg != "--out") {
            return Fail(command, kExitUsage, "unknown argument " + arg);
        }
        if (i + 1 >= argc) {
            return Fail(command, kExitUsage, "missing value after " + arg);
        }
        *out = argv[++i];
    }
    if (out->empty()) {
        return Fail(command, kExitUsage, "--out is required");
    }
    return kExitOk;
}

std::string ConfigNumber(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return text;
}

std::string Xyz(const float* v, const std::string& prefix) {
    std::string out;
    for (int c = 0; c < 3; ++c) {
        out += " " + prefix + "xyz"[c] + "=\"" + ConfigNumber(v[c]) + "\"";
    }
    return out;
}

std::string PhysicsSettingsConfig(int maxRegistered, int maxActive) {
    return R"(    <PhysicsGlobalSettings>
      <Bodies maxRegistered=")" +
           std::to_string(maxRegistered) + R"(" maxActive=")" + std::to_string(maxActive) + R"("/>
      <Joints max="20"/>
      <Stick inAir="5.0" onGround="0.1"/>
      <BBox x1="200" y1="100" z1="200" x2="-200" y2="-50" z2="-200"/>
      <Gravity x="0" y="-10" z="0"/>
      <MobileBounce value="0"/>
      <MobileSlide value="1.0"/>
      <SolidSlide value="10.0"/>
    </PhysicsGlobalSettings>
)";
}

bool WriteFile(const char* command, const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (file) {
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    if (!file) {
        Fail(command, kExitFailed, "cannot write " + path);
        return false;
    }
    const std::size_t dot = path.rfind('.');
    const std::string extension = dot == std::string::npos ? "" : path.substr(dot);
    if (extension == ".dff" || extension == ".bsp") {
        WrittenChunkFiles().push_back(path);
    }
    return true;
}

} // namespace mkasset
