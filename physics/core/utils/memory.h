#pragma once
// Aligned allocation for physics blocks, and a plain byte fill. Every physics allocation goes
// through the graphics engine's memory functions with the physics hint.

#include <cstddef>

#include "graphics/core/types.h"

// Memory hint of every physics allocation (an object's lifetime, physics module id 0x900).
inline constexpr OvUInt32 ovpMEMHINT = 0x30900;

// size bytes aligned to alignment (1..255): size + alignment bytes are allocated and the pad
// (1..alignment) is kept in the byte before the returned address. Null when the allocation
// fails or the alignment is out of range.
void* OvpAlignedMalloc(std::size_t size, OvUInt32 alignment, OvUInt32 hint);
// Frees a block of OvpAlignedMalloc; null is accepted.
void OvpAlignedFree(void* block);
// Fills count bytes with the byte value.
void* OvpMemFill(void* destination, OvUInt8 value, std::size_t count);

// Lays consecutive arrays out in one block, each on a 16-byte boundary. Walk the same takes
// twice: first with a null base to sum the size, then over the allocated block. While tally is
// set, each take's bytes are added to it too (the size of one piece of the block).
struct OvpCarver {
    unsigned char* base;
    std::size_t used = 0;
    std::size_t* tally = nullptr;
    template <typename T> T* take(std::size_t count) {
        T* p = base != nullptr ? reinterpret_cast<T*>(base + used) : nullptr;
        const std::size_t bytes = (sizeof(T) * count + 15) & ~std::size_t(15);
        used += bytes;
        if (tally != nullptr) {
            *tally += bytes;
        }
        return p;
    }
};
