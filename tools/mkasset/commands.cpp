#include "tools/mkasset/commands.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

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

bool WriteFile(const char* command, const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (file) {
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    if (!file) {
        Fail(command, kExitFailed, "cannot write " + path);
        return false;
    }
    return true;
}

} // namespace mkasset
