// Scene text of d3d9_render (scene.h).

#include "tools/d3d9_render/scene.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

bool ParseColor(const std::string& word, std::uint32_t* out) {
    if (word.size() != 8 || word.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    *out = static_cast<std::uint32_t>(std::strtoul(word.c_str(), nullptr, 16));
    return true;
}

bool ParseCoordinate(const std::string& word, float* out) {
    char* end = nullptr;
    errno = 0;
    const float v = std::strtof(word.c_str(), &end);
    if (word.empty() || *end != '\0' || errno != 0 || !(v >= -1e6f && v <= 1e6f))
        return false;
    *out = v;
    return true;
}

bool ParseSide(const std::string& word, unsigned* out) {
    if (word.empty() || word.size() > 5 || word.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long v = std::strtoul(word.c_str(), nullptr, 10);
    if (v < 1 || v > kSceneMaxSide)
        return false;
    *out = static_cast<unsigned>(v);
    return true;
}

} // namespace

bool ParseScene(const char* text, std::size_t size, Scene* scene, SceneError* error) {
    *scene = Scene{};
    int number = 0;
    auto fail = [&](const std::string& message) {
        error->line = number;
        error->message = message;
        return false;
    };
    std::size_t at = 0;
    while (at < size) {
        std::size_t end = at;
        while (end < size && text[end] != '\n')
            ++end;
        std::string line(text + at, end - at);
        at = end + 1;
        ++number;
        if (const auto hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        if (line.find('\0') != std::string::npos)
            return fail("a NUL byte");
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;)
            w.push_back(word);
        if (w.empty())
            continue;
        if (w[0] == "size") {
            if (w.size() != 3)
                return fail("'size' takes W H");
            if (scene->width != 0)
                return fail("a second 'size'");
            if (!ParseSide(w[1], &scene->width) || !ParseSide(w[2], &scene->height))
                return fail("size must be 1 to 4096 pixels: '" + w[1] + " " + w[2] + "'");
            continue;
        }
        if (scene->width == 0)
            return fail("the scene must start with 'size W H'");
        SceneCommand c;
        if (w[0] == "clear") {
            c.kind = SceneCommand::Kind::Clear;
            if (w.size() != 2 || !ParseColor(w[1], &c.color))
                return fail("'clear' takes one colour AARRGGBB");
        } else if (w[0] == "tri") {
            c.kind = SceneCommand::Kind::Triangle;
            if (w.size() != 8)
                return fail("'tri' takes X0 Y0 X1 Y1 X2 Y2 AARRGGBB");
            for (int i = 0; i < 6; ++i)
                if (!ParseCoordinate(w[1 + i], &c.xy[i]))
                    return fail("bad coordinate '" + w[1 + i] + "'");
            if (!ParseColor(w[7], &c.color))
                return fail("bad colour '" + w[7] + "' (AARRGGBB)");
        } else {
            return fail("unknown command '" + w[0] + "'");
        }
        scene->commands.push_back(c);
    }
    if (scene->width == 0) {
        number = 0;
        return fail("no 'size' command");
    }
    return true;
}

std::string PrintScene(const Scene& scene) {
    std::string out = "size " + std::to_string(scene.width) + " " + std::to_string(scene.height) + "\n";
    char buffer[160];
    for (const SceneCommand& c : scene.commands) {
        if (c.kind == SceneCommand::Kind::Clear) {
            std::snprintf(buffer, sizeof buffer, "clear %08X\n", static_cast<unsigned>(c.color));
        } else {
            std::snprintf(buffer, sizeof buffer, "tri %.9g %.9g %.9g %.9g %.9g %.9g %08X\n", c.xy[0], c.xy[1], c.xy[2],
                          c.xy[3], c.xy[4], c.xy[5], static_cast<unsigned>(c.color));
        }
        out += buffer;
    }
    return out;
}
