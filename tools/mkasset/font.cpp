// mkasset font: a bitmap font for the 2D toolkit from the built-in character set.

#include <string>

#include "tools/font_asset/font_asset.h"
#include "tools/mkasset/commands.h"

namespace mkasset {

namespace {

constexpr const char* kName = "font";
constexpr std::size_t kMaxName = 31; // the page is named after the font; texture names keep 31

} // namespace

void FontUsage(std::FILE* out) {
    std::fprintf(out, "usage: mkasset font --name NAME --out DIR\n"
                      "  Writes the bitmap font NAME made from the built-in character set (characters 32 to\n"
                      "  122, 8 x 14 pixels each) for the 2D toolkit: DIR/NAME.met in the explicit-rectangle\n"
                      "  format METRICS1 (baseline 0, one rectangle per character) and its page DIR/NAME.png,\n"
                      "  128 x 128 white glyphs on transparent white. DIR is created when missing.\n"
                      "  --name NAME  1 to 31 characters, none of them space, '/', '\\\\' or ';'\n"
                      "  Exit status 0 on success, 1 when a file cannot be written, 2 on bad usage.\n");
}

int RunFont(int argc, char** argv) {
    std::string name, out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg != "--name" && arg != "--out") {
            return Fail(kName, kExitUsage, "unknown argument " + arg);
        }
        if (i + 1 >= argc) {
            return Fail(kName, kExitUsage, "missing value after " + arg);
        }
        (arg == "--name" ? name : out) = argv[++i];
    }
    if (name.empty() || out.empty()) {
        return Fail(kName, kExitUsage, name.empty() ? "--name is required" : "--out is required");
    }
    if (name.size() > kMaxName || name.find_first_of(" \t/\\;") != std::string::npos) {
        return Fail(kName, kExitUsage,
                    "bad --name '" + name + "' (1 to 31 characters without space, '/', '\\' or ';')");
    }
    std::string error;
    if (!WriteCharsetFont(out, name, &error)) {
        return Fail(kName, kExitFailed, error);
    }
    return kExitOk;
}

} // namespace mkasset
