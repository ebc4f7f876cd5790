#pragma once
// The scene text of d3d9_render: one command per line, '#' starts a comment.
//   size W H                        back buffer size, 1..4096 each; first and once
//   clear AARRGGBB                  clears the whole target to the colour
//   tri X0 Y0 X1 Y1 X2 Y2 AARRGGBB  a pre-transformed triangle of one colour (|coordinate| <= 1e6)

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SceneCommand {
    enum class Kind { Clear, Triangle } kind = Kind::Clear;
    std::uint32_t color = 0; // 0xAARRGGBB
    float xy[6] = {};        // triangle corners, pixels
};

struct Scene {
    unsigned width = 0;
    unsigned height = 0;
    std::vector<SceneCommand> commands;
};

struct SceneError {
    int line = 0; // 1-based; 0 for the whole text (no size)
    std::string message;
};

inline constexpr unsigned kSceneMaxSide = 4096;

// Parses a scene text; false with the line and the fault on a malformed one.
bool ParseScene(const char* text, std::size_t size, Scene* scene, SceneError* error);

// The scene as text that parses back to the same scene.
std::string PrintScene(const Scene& scene);
