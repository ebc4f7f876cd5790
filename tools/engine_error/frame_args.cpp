#include "tools/engine_error/frame_args.h"

#include <cerrno>
#include <cstdlib>

bool ParseFrameSize(const char* text, int* width, int* height) {
    char* end = nullptr;
    errno = 0;
    const long w = std::strtol(text, &end, 10);
    if (end == text || *end != 'x' || errno != 0) {
        return false;
    }
    const char* rest = end + 1;
    const long h = std::strtol(rest, &end, 10);
    if (end == rest || *end != '\0' || errno != 0 || w < 1 || h < 1 || w > 4096 || h > 4096) {
        return false;
    }
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    return true;
}

std::uint64_t FrameChecksum(const std::vector<std::uint32_t>& pixels) {
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (std::uint32_t p : pixels) {
        for (int shift : {16, 8, 0}) {
            hash ^= (p >> shift) & 0xFFu;
            hash *= 0x100000001B3ull;
        }
    }
    return hash;
}
