#include "physics/core/utils/memory.h"

#include <cstdint>
#include <cstring>

#include "graphics/core/engine.h"

void* OvpAlignedMalloc(std::size_t size, OvUInt32 alignment, OvUInt32 hint) {
    if (alignment == 0 || alignment > 255 || size > SIZE_MAX - alignment) {
        return nullptr;
    }
    auto* raw = static_cast<unsigned char*>(OvMalloc(size + alignment, hint));
    if (raw == nullptr) {
        return nullptr;
    }
    const std::size_t pad = alignment - reinterpret_cast<std::uintptr_t>(raw) % alignment;
    raw[pad - 1] = static_cast<unsigned char>(pad);
    return raw + pad;
}

void OvpAlignedFree(void* block) {
    if (block == nullptr) {
        return;
    }
    auto* aligned = static_cast<unsigned char*>(block);
    OvFree(aligned - aligned[-1]);
}

void* OvpMemFill(void* destination, OvUInt8 value, std::size_t count) {
    // Four bytes at a time, then the remaining zero to three.
    auto* bytes = static_cast<unsigned char*>(destination);
    const OvUInt32 word = 0x01010101u * value;
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        std::memcpy(bytes + i, &word, 4);
    }
    for (; i < count; ++i) {
        bytes[i] = value;
    }
    return destination;
}
