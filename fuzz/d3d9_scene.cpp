// Scene texts of d3d9_render. A refusal names its fault; a scene that parses prints back to
// text that parses to the same scene.

#include "tools/d3d9_render/scene.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Scene scene;
    SceneError error;
    if (!ParseScene(reinterpret_cast<const char*>(data), size, &scene, &error)) {
        if (error.message.empty())
            std::abort(); // a refusal says why
        return 0;
    }
    if (scene.width < 1 || scene.width > kSceneMaxSide || scene.height < 1 || scene.height > kSceneMaxSide)
        std::abort();
    const std::string printed = PrintScene(scene);
    Scene again;
    if (!ParseScene(printed.data(), printed.size(), &again, &error) || again.width != scene.width ||
        again.height != scene.height || again.commands.size() != scene.commands.size())
        std::abort(); // the printed scene does not read back
    for (std::size_t i = 0; i < scene.commands.size(); ++i) {
        const SceneCommand& a = scene.commands[i];
        const SceneCommand& b = again.commands[i];
        if (a.kind != b.kind || a.color != b.color || std::memcmp(a.xy, b.xy, sizeof a.xy) != 0)
            std::abort();
    }
    return 0;
}
