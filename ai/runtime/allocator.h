#pragma once
// The engine's allocators and its allocation protocol.
//
// Allocators form a tree. The root is the static callback allocator, which forwards to the
// host's alloc and free functions. A pool allocator carves its requests from one block
// served by its parent and falls back to the parent when the block is exhausted; releases
// inside a pool cost nothing and its space is reclaimed only when the pool is destroyed.
//
// Every engine allocation goes to the current allocator (Vusk::EngineAllocate); every
// release goes to the root allocator (Vusk::EngineFree), which finds the pool that owns the
// pointer or hands it to the host's free function.

#include <cstddef>
#include <cstdint>

#include "ai/runtime/engine_object.h"
#include "ai/runtime/list.h"

class CAllocator;

namespace Vusk {
using AllocFunction = void* (*)(std::size_t size);
using FreeFunction = void (*)(void* block);
// Called after every engine allocation with the block, its size and the allocator that served it;
// block and allocator are null when the request failed.
using AllocationHook = void (*)(void* block, std::size_t size, CAllocator* serving);
// Called after every engine release with the block and the allocator that owned it.
using ReleaseHook = void (*)(void* block, CAllocator* owner);
} // namespace Vusk

class CAllocator : public CEngineObject {
public:
    // childCapacity 0: no child list, the allocator cannot adopt sub-allocators.
    CAllocator(CAllocator* parent, std::uint32_t childCapacity);
    CAllocator(const CAllocator&) = delete;
    CAllocator& operator=(const CAllocator&) = delete;
    ~CAllocator() override;

    // The allocator of this subtree that owns block, or null when none does.
    virtual CAllocator* Release(void* block) = 0;
    // Asks each child, in list order, to Release block; the first non-null answer or null.
    virtual CAllocator* FindOwner(void* block);
    // false when there is no child list or it is full.
    virtual bool AddChild(CAllocator* child);
    // true when the child was in the list.
    virtual bool RemoveChild(CAllocator* child);
    // Serves size bytes into *block from this allocator, else from the parent chain; returns
    // the serving allocator, or null (and *block null) when no allocator could serve.
    virtual CAllocator* Allocate(std::size_t size, void** block);
    // Serves the block of a sub-allocator: the first allocator up the parent chain that can
    // serve it becomes the child's owner and adopts it. When that allocator cannot adopt the
    // child the block is given back and the result is null, so no pointer of the child's
    // block can ever reach the host's free function.
    virtual void* AllocateBlockFor(std::size_t size, CAllocator* child);
    virtual void* RawAllocate(std::size_t size) = 0;
    virtual void RawRelease(void* block) = 0;

    CAllocator* GetOwner() const { return m_owner; }
    CAllocator* GetParent() const { return m_parent; }
    const CList<CAllocator*>* GetChildren() const { return m_children; }

protected:
    // Replaces the child list by a new one of that capacity (none for 0); false when the
    // new list could not be allocated.
    bool ResetChildren(std::uint32_t childCapacity);

private:
    CAllocator* m_owner = nullptr;            // allocator that served this one's own block
    CList<CAllocator*>* m_children = nullptr; // sub-allocators, null when capacity 0
    CAllocator* m_parent = nullptr;           // fallback when this one cannot serve
};

// Forwards to the host's memory functions. One static instance exists for the whole run
// (Vusk::GetCallbackAllocator); before it is set up it serves nothing.
class CCallbackAllocator : public CAllocator {
public:
    CCallbackAllocator();

    // Drops the existing child list, stores the host functions and, when childCapacity is
    // not 0, creates a new child list (allocated through the current allocator). false when
    // that list could not be allocated.
    bool Setup(std::uint32_t childCapacity, Vusk::AllocFunction alloc, Vusk::FreeFunction free);

    // The child that owns block; otherwise block goes to the host's free function and the
    // result is this allocator.
    CAllocator* Release(void* block) override;
    void* RawAllocate(std::size_t size) override;
    void RawRelease(void* block) override;

private:
    Vusk::AllocFunction m_alloc = nullptr; // host alloc, null before set-up
    Vusk::FreeFunction m_free = nullptr;   // host free, null before set-up
};

// Linear pool carved from one block of its parent, with 8-byte alignment.
class CPoolAllocator : public CAllocator {
public:
    // size is rounded up to a multiple of 8; the block comes from parent->AllocateBlockFor.
    // When no block could be had (or no allocator could adopt the pool) the pool has size 0
    // and serves nothing: IsValid() is false.
    CPoolAllocator(std::size_t size, CAllocator* parent, std::uint32_t childCapacity);
    // Gives the block back to its owner and leaves the owner's child list. When the pool is
    // the current or the root allocator, its parent takes that role.
    ~CPoolAllocator() override;

    // Null for a pointer outside the block; else the child that owns it, or this pool.
    // Nothing is given back.
    CAllocator* Release(void* block) override;
    // Bump allocation: a request of n bytes (0 counts as 4) takes n bytes rounded up to 8;
    // null when it does not fit.
    void* RawAllocate(std::size_t size) override;
    void RawRelease(void* block) override;

    bool IsValid() const { return m_base != nullptr; }
    unsigned char* GetBase() const { return m_base; }
    std::size_t GetSize() const { return m_size; }
    std::size_t GetUsed() const { return m_used; }

private:
    unsigned char* m_base = nullptr; // the block, null when creation failed
    std::size_t m_size = 0;          // block size in bytes, a multiple of 8
    std::size_t m_used = 0;          // bytes handed out, a multiple of 8
};

namespace Vusk {
// The static callback allocator.
CCallbackAllocator* GetCallbackAllocator();

// Allocator that serves every engine allocation; the callback allocator unless a pool was
// installed.
CAllocator* GetCurrentAllocator();
// null makes the callback allocator current.
void SetCurrentAllocator(CAllocator* allocator);

// Allocator that receives every engine release; null until the engine is initialised
// (releases then go to the callback allocator).
CAllocator* GetRootAllocator();
void SetRootAllocator(CAllocator* allocator);

void SetAllocationHooks(AllocationHook allocationHook, ReleaseHook releaseHook);
AllocationHook GetAllocationHook();
ReleaseHook GetReleaseHook();

// Engine allocation protocol: Allocate on the current allocator, then the allocation hook
// (block, size, serving allocator), also for a request nothing could serve (null block and
// allocator). Null when nothing could serve the request.
void* EngineAllocate(std::size_t size);
// Engine release protocol: Release on the root allocator, then the release hook (block,
// owning allocator). Null is ignored.
void EngineFree(void* block);

// Whether count items of bytesEach bytes, in all, fit in the machine's memory (true when its size is
// unknown). A table sized by a count from a definition or a file that nothing else bounds asks this
// first: a damaged count then asks for no more than the machine has and is refused without reaching
// the host.
bool FitsMachine(std::uint64_t count, std::uint64_t bytesEach);
} // namespace Vusk
