#pragma once
// Root of every object of the AI engine.
//
// Engine objects never touch the C++ heap: their memory comes from the engine's current
// allocator (through Vusk::EngineAllocate, which also reports the block to the host's
// allocation hook) and goes back through Vusk::EngineFree. A failed allocation makes the
// new-expression yield null instead of throwing, so callers test the pointer.

#include <cstddef>
#include <new>

class CEngineObject {
public:
    constexpr CEngineObject() = default;
    CEngineObject(const CEngineObject&) = default;
    CEngineObject& operator=(const CEngineObject&) = default;
    virtual ~CEngineObject() = default;

    static void* operator new(std::size_t size) noexcept;
    static void* operator new[](std::size_t size) noexcept;
    static void operator delete(void* block) noexcept;
    static void operator delete[](void* block) noexcept;

    // Placement forms, for engine objects built in storage their owner provides.
    static void* operator new(std::size_t, void* where) noexcept { return where; }
    static void operator delete(void*, void*) noexcept {}

    // Engine memory (in particular the world pool) is only 8-byte aligned; an over-aligned
    // engine object would be misplaced, so such types must not be created with new.
    static void* operator new(std::size_t, std::align_val_t) = delete;
    static void* operator new[](std::size_t, std::align_val_t) = delete;
};
