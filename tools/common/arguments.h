#pragma once
// Command-line helpers shared by the tools and benchmarks.

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace tools {

// A whole decimal number in [low, high]; false for anything else (empty, trailing text, overflow).
inline bool ParseLong(const char* text, long low, long high, long* out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

// The folder `name` beside the running program's bin folder (the build tree's data), or `name`
// relative to the working folder when the program's path cannot be read.
inline std::string DataBesideProgram(const char* name) {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(name) : (exe.parent_path().parent_path() / name).string();
}

} // namespace tools
