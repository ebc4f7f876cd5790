#include "ai/runtime/allocator.h"

#include <cstdint>
#include <limits>

#include "platform/process.h"

namespace {

CAllocator* s_current = nullptr; // null: the callback allocator
CAllocator* s_root = nullptr;    // null: not yet chosen
Vusk::AllocationHook s_allocationHook = nullptr;
Vusk::ReleaseHook s_releaseHook = nullptr;

// Padding that takes an offset to the next multiple of 8, by its low three bits.
constexpr unsigned char kPadTo8[8] = {0, 7, 6, 5, 4, 3, 2, 1};

} // namespace

// ---------------------------------------------------------------------------------------
// CAllocator

CAllocator::CAllocator(CAllocator* parent, std::uint32_t childCapacity) : m_parent(parent) {
    ResetChildren(childCapacity);
}

CAllocator::~CAllocator() { ResetChildren(0); }

bool CAllocator::ResetChildren(std::uint32_t childCapacity) {
    // Detach before deleting: releasing the list's memory walks the allocator tree, which
    // must not see a list that is being destroyed.
    CList<CAllocator*>* old = m_children;
    m_children = nullptr;
    delete old;
    if (childCapacity == 0) {
        return true;
    }
    auto* list = new CList<CAllocator*>(childCapacity);
    if (list != nullptr && list->GetCapacity() != childCapacity) {
        delete list;
        list = nullptr;
    }
    m_children = list;
    return list != nullptr;
}

CAllocator* CAllocator::FindOwner(void* block) {
    if (m_children == nullptr) {
        return nullptr;
    }
    for (CAllocator* child : *m_children) {
        if (CAllocator* owner = child->Release(block)) {
            return owner;
        }
    }
    return nullptr;
}

bool CAllocator::AddChild(CAllocator* child) {
    if (m_children == nullptr || child == nullptr) {
        return false;
    }
    return !m_children->Insert(child).IsNull();
}

bool CAllocator::RemoveChild(CAllocator* child) { return m_children != nullptr && m_children->RemoveValue(child); }

CAllocator* CAllocator::Allocate(std::size_t size, void** block) {
    *block = RawAllocate(size);
    if (*block != nullptr) {
        return this;
    }
    return m_parent != nullptr ? m_parent->Allocate(size, block) : nullptr;
}

void* CAllocator::AllocateBlockFor(std::size_t size, CAllocator* child) {
    for (CAllocator* allocator = this; allocator != nullptr; allocator = allocator->m_parent) {
        void* block = allocator->RawAllocate(size);
        if (block == nullptr) {
            continue;
        }
        if (!allocator->AddChild(child)) {
            allocator->RawRelease(block);
            return nullptr;
        }
        child->m_owner = allocator;
        return block;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// CCallbackAllocator

CCallbackAllocator::CCallbackAllocator() : CAllocator(nullptr, 0) {}

bool CCallbackAllocator::Setup(std::uint32_t childCapacity, Vusk::AllocFunction alloc, Vusk::FreeFunction free) {
    // The old list goes back through the old functions.
    ResetChildren(0);
    m_alloc = alloc;
    m_free = free;
    return ResetChildren(childCapacity);
}

CAllocator* CCallbackAllocator::Release(void* block) {
    if (CAllocator* owner = FindOwner(block)) {
        return owner;
    }
    RawRelease(block);
    return this;
}

void* CCallbackAllocator::RawAllocate(std::size_t size) { return m_alloc != nullptr ? m_alloc(size) : nullptr; }

void CCallbackAllocator::RawRelease(void* block) {
    if (m_free != nullptr && block != nullptr) {
        m_free(block);
    }
}

// ---------------------------------------------------------------------------------------
// CPoolAllocator

CPoolAllocator::CPoolAllocator(std::size_t size, CAllocator* parent, std::uint32_t childCapacity)
    : CAllocator(parent, childCapacity) {
    if (size == 0 || parent == nullptr || size > std::numeric_limits<std::size_t>::max() - 7) {
        return;
    }
    std::size_t rounded = size + kPadTo8[size & 7];
    m_base = static_cast<unsigned char*>(parent->AllocateBlockFor(rounded, this));
    if (m_base != nullptr) {
        m_size = rounded;
    }
}

CPoolAllocator::~CPoolAllocator() {
    if (CAllocator* owner = GetOwner()) {
        owner->RawRelease(m_base);
        owner->RemoveChild(this);
    }
    if (s_current == this) {
        s_current = GetParent();
    }
    if (s_root == this) {
        s_root = GetParent();
    }
}

CAllocator* CPoolAllocator::Release(void* block) {
    auto address = reinterpret_cast<std::uintptr_t>(block);
    auto base = reinterpret_cast<std::uintptr_t>(m_base);
    if (m_base == nullptr || address < base || address - base >= m_size) {
        return nullptr;
    }
    CAllocator* owner = FindOwner(block);
    return owner != nullptr ? owner : this;
}

void* CPoolAllocator::RawAllocate(std::size_t size) {
    if (size == 0) {
        size = 4;
    }
    // m_used never exceeds m_size, so the difference cannot wrap.
    if (m_base == nullptr || size > m_size - m_used) {
        return nullptr;
    }
    void* block = m_base + m_used;
    std::size_t end = m_used + size;
    // end <= m_size and m_size is a multiple of 8, so the padded end still fits.
    m_used = end + kPadTo8[end & 7];
    return block;
}

void CPoolAllocator::RawRelease(void*) {}

// ---------------------------------------------------------------------------------------
// Engine-wide allocator state and protocols

namespace Vusk {

CCallbackAllocator* GetCallbackAllocator() {
    // Built in static storage and never destroyed: engine objects may still be released
    // while the program's other statics are being torn down.
    alignas(CCallbackAllocator) static unsigned char storage[sizeof(CCallbackAllocator)];
    static CCallbackAllocator* instance = new (storage) CCallbackAllocator();
    return instance;
}

CAllocator* GetCurrentAllocator() { return s_current != nullptr ? s_current : GetCallbackAllocator(); }

void SetCurrentAllocator(CAllocator* allocator) { s_current = allocator; }

CAllocator* GetRootAllocator() { return s_root; }

void SetRootAllocator(CAllocator* allocator) { s_root = allocator; }

void SetAllocationHooks(AllocationHook allocationHook, ReleaseHook releaseHook) {
    s_allocationHook = allocationHook;
    s_releaseHook = releaseHook;
}

AllocationHook GetAllocationHook() { return s_allocationHook; }

ReleaseHook GetReleaseHook() { return s_releaseHook; }

bool FitsMachine(std::uint64_t count, std::uint64_t bytesEach) {
    const std::uint64_t machine = PlatformPhysicalMemory();
    if (machine == 0 || count == 0 || bytesEach == 0)
        return true;
    return count <= machine / bytesEach;
}

void* EngineAllocate(std::size_t size) {
    void* block = nullptr;
    CAllocator* serving = GetCurrentAllocator()->Allocate(size, &block);
    // Failed requests are reported too, with a null block and no serving allocator.
    if (s_allocationHook != nullptr) {
        s_allocationHook(block, size, serving);
    }
    return block;
}

void EngineFree(void* block) {
    if (block == nullptr) {
        return;
    }
    CAllocator* root = s_root != nullptr ? s_root : GetCallbackAllocator();
    CAllocator* owner = root->Release(block);
    if (s_releaseHook != nullptr) {
        s_releaseHook(block, owner);
    }
}

} // namespace Vusk
