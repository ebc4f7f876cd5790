#include "graphics/core/resources.h"

#include <cstdint>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/memory.h"

namespace {

OvInt32 gResourcesModuleOffset = -1; // offset of OvResourcesModule in the engine instance
OvInt32 gResourcesOpenCount = 0;     // 1 while the module is open

constexpr std::uintptr_t kAlign = ovRESHEAPALIGNMENT;

inline OvResourcesModule* Module() {
    return reinterpret_cast<OvResourcesModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gResourcesModuleOffset);
}

inline OvResourceEntry* EntryFromLink(OvLLLink* link) { return reinterpret_cast<OvResourceEntry*>(link); }

inline OvResHeapBlock* BlockFromData(void* data) { return static_cast<OvResHeapBlock*>(data) - 1; }

inline OvUInt32 RoundUp(OvUInt32 n) { return (n + (ovRESHEAPALIGNMENT - 1)) & ~(ovRESHEAPALIGNMENT - 1); }

void ReleaseArea(OvResourcesModule* module) {
    if (module->area != nullptr) {
        OvFree(module->area);
    }
    module->area = nullptr;
    module->heap = nullptr;
}

// Lays the heap over a new area of the module's size. Returns FALSE after reporting.
OvBool MakeArea(OvResourcesModule* module, OvUInt32 hint) {
    module->area = OvMalloc(module->arenaSize, hint);
    if (module->area == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, static_cast<std::size_t>(module->arenaSize)));
        return 0;
    }
    if (!OvResourcesHeapInit(static_cast<OvResHeap*>(module->area), module->arenaSize)) {
        ReleaseArea(module);
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRARENAFULL));
        return 0;
    }
    module->heap = static_cast<OvResHeap*>(module->area);
    return 1;
}

void EmptyList(OvLLLink* head) {
    while (!OvLLLinkIsEmpty(head)) {
        OvResourcesFreeEntry(EntryFromLink(head->next));
    }
}

} // namespace

void* OvResourcesOpen(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    gResourcesModuleOffset = offset;
    OvResourcesModule* module = reinterpret_cast<OvResourcesModule*>(static_cast<char*>(instance) + offset);
    *module = {};
    module->arenaSize = static_cast<OvEngineInstance*>(instance)->resArenaInitSize;
    OvLLLinkInitHead(&module->entryLists[0]);
    OvLLLinkInitHead(&module->entryLists[1]);
    module->thisFrameList = &module->entryLists[0];
    module->olderList = &module->entryLists[1];
    if (module->arenaSize != 0 && !MakeArea(module, ovMEMHINTDUR_GLOBAL | ovPLUGINIDRESOURCES)) {
        return nullptr;
    }
    gResourcesOpenCount = 1;
    return instance;
}

void* OvResourcesClose(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    OvResourcesModule* module = reinterpret_cast<OvResourcesModule*>(static_cast<char*>(instance) + offset);
    OvResourcesEmptyArena();
    ReleaseArea(module);
    gResourcesOpenCount = 0;
    return instance;
}

OvResourcesModule* OvResourcesGetModule() { return Module(); }

OvResourceEntry* OvResourcesAllocateEntry(void* owner, OvResourceEntry** ownerRef, OvInt32 size,
                                          OvResourcesDestroyFn destroyNotify) {
    OvResourcesModule* module = Module();
    // A request larger than the whole arena still evicts everything before it fails, as any
    // request that finds no room does. Without an area (size 0) nothing can be allocated.
    const std::uint64_t request = static_cast<std::uint64_t>(size < 0 ? 0 : size) + sizeof(OvResourceEntry);
    for (;;) {
        void* data = nullptr;
        if (size < 0) {
            break;
        }
        if (module->heap != nullptr && request <= module->arenaSize) {
            data = OvResourcesHeapAlloc(module->heap, static_cast<OvUInt32>(request));
        }
        if (data != nullptr) {
            OvResourceEntry* entry = static_cast<OvResourceEntry*>(data);
            OvLLLinkAddHead(module->thisFrameList, &entry->link);
            entry->size = size;
            entry->owner = owner;
            entry->ownerRef = ownerRef;
            entry->destroyNotify = destroyNotify;
            module->usedBytes += static_cast<OvUInt32>(size);
            if (ownerRef != nullptr) {
                *ownerRef = entry;
            }
            return entry;
        }
        OvLLLink* victim = nullptr;
        if (!OvLLLinkIsEmpty(module->olderList)) {
            victim = module->olderList->prev;
        } else if (!OvLLLinkIsEmpty(module->thisFrameList)) {
            victim = module->thisFrameList->prev;
            module->reclaimedThisFrame += static_cast<OvUInt32>(EntryFromLink(victim)->size);
        } else {
            break;
        }
        module->numEvictions++;
        OvResourcesFreeEntry(EntryFromLink(victim));
    }
    if (ownerRef != nullptr) {
        *ownerRef = nullptr;
    }
    OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRARENAFULL));
    return nullptr;
}

OvBool OvResourcesFreeEntry(OvResourceEntry* entry) {
    if (entry->destroyNotify != nullptr) {
        entry->destroyNotify(entry);
    }
    if (entry->ownerRef != nullptr) {
        *entry->ownerRef = nullptr;
    }
    if (entry->link.next == nullptr) {
        // Made outside the arena in plain memory.
        OvFree(entry);
        return 1;
    }
    OvLLLinkRemove(&entry->link);
    Module()->usedBytes -= static_cast<OvUInt32>(entry->size);
    OvResourcesHeapFree(entry);
    return 1;
}

OvResourceEntry* OvResourcesUseEntry(OvResourceEntry* entry) {
    if (entry->link.next != nullptr) {
        OvLLLinkRemove(&entry->link);
        OvLLLinkAddHead(Module()->thisFrameList, &entry->link);
    }
    return entry;
}

void OvResourcesEndFrame() {
    OvResourcesModule* module = Module();
    OvLLLink* current = module->thisFrameList;
    OvLLLink* older = module->olderList;
    // The older entries go behind this frame's: newest first, oldest last.
    if (!OvLLLinkIsEmpty(older)) {
        current->prev->next = older->next;
        older->next->prev = current->prev;
        older->prev->next = current;
        current->prev = older->prev;
        OvLLLinkInitHead(older);
    }
    module->olderList = current;
    module->thisFrameList = older;
    module->reclaimedThisFrame = 0;
}

OvBool OvResourcesEmptyArena() {
    OvResourcesModule* module = Module();
    EmptyList(module->thisFrameList);
    EmptyList(module->olderList);
    module->reclaimedThisFrame = 0;
    return 1;
}

OvBool OvResourcesSetArenaSize(OvUInt32 size) {
    // The engine instance keeps the size for the next start either way.
    OvEngineInstancePtr->resArenaInitSize = size;
    if (gResourcesOpenCount == 0) {
        return 1;
    }
    OvResourcesModule* module = Module();
    module->arenaSize = size;
    OvResourcesEmptyArena();
    ReleaseArea(module);
    if (size == 0) {
        return 1;
    }
    if (!MakeArea(module, ovMEMHINTDUR_OBJECT | ovPLUGINIDRESOURCES)) {
        module->arenaSize = 0;
        return 0;
    }
    return 1;
}

OvBool OvResourcesHeapInit(OvResHeap* heap, OvUInt32 size) {
    const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(heap);
    const std::uintptr_t first = (base + sizeof(OvResHeap) + kAlign - 1) & ~(kAlign - 1);
    const std::uintptr_t end = (base + size) & ~(kAlign - 1);
    if (end < first + sizeof(OvResHeapBlock) + kAlign) {
        return 0;
    }
    OvResHeapBlock* block = reinterpret_cast<OvResHeapBlock*>(first);
    *block = {heap, nullptr, nullptr, static_cast<OvUInt32>(end - first - sizeof(OvResHeapBlock)), 0};
    heap->first = block;
    heap->freeHint = block;
    return 1;
}

void OvResourcesHeapSplitBlock(OvResHeapBlock* block, OvUInt32 size) {
    OvResHeap* heap = block->heap;
    OvResHeapBlock* following = block->next;
    OvResHeapBlock* split = reinterpret_cast<OvResHeapBlock*>(reinterpret_cast<char*>(block + 1) + size);
    split->heap = heap;
    split->used = 0;
    split->prev = block;
    if (following != nullptr && !following->used) {
        // The new free block takes in the free one behind it.
        split->size = block->size - size + following->size;
        split->next = following->next;
        if (heap->freeHint == following) {
            heap->freeHint = split;
        }
    } else {
        split->size = block->size - size - static_cast<OvUInt32>(sizeof(OvResHeapBlock));
        split->next = following;
    }
    if (split->next != nullptr) {
        split->next->prev = split;
    }
    block->next = split;
    block->size = size;
}

void* OvResourcesHeapAlloc(OvResHeap* heap, OvUInt32 size) {
    if (size > 0xFFFFFFFFu - (ovRESHEAPALIGNMENT - 1)) {
        return nullptr; // rounding up would wrap to a small size
    }
    const OvUInt32 n = RoundUp(size);
    OvResHeapBlock* block = heap->freeHint;
    while (block != nullptr && (block->used || block->size < n)) {
        block = block->next;
    }
    if (block == nullptr) {
        return nullptr;
    }
    if (block->size - n > 2 * ovRESHEAPALIGNMENT) {
        OvResourcesHeapSplitBlock(block, n);
    }
    if (block == heap->freeHint) {
        OvResHeapBlock* next = block->next;
        while (next != nullptr && next->used) {
            next = next->next;
        }
        heap->freeHint = next;
    }
    block->used = 1;
    return block + 1;
}

void OvResourcesHeapFree(void* data) {
    OvResHeapBlock* block = BlockFromData(data);
    OvResHeap* heap = block->heap;
    block->used = 0;
    if (heap->freeHint == nullptr || block < heap->freeHint) {
        heap->freeHint = block;
    }
    OvResHeapBlock* prev = block->prev;
    if (prev != nullptr && !prev->used) {
        prev->size += block->size + static_cast<OvUInt32>(sizeof(OvResHeapBlock));
        prev->next = block->next;
        if (block->next != nullptr) {
            block->next->prev = prev;
        }
        if (heap->freeHint == block) {
            heap->freeHint = prev;
        }
        block = prev;
    }
    OvResHeapBlock* next = block->next;
    if (next != nullptr && !next->used) {
        block->size += next->size + static_cast<OvUInt32>(sizeof(OvResHeapBlock));
        block->next = next->next;
        if (next->next != nullptr) {
            next->next->prev = block;
        }
        if (heap->freeHint == next) {
            heap->freeHint = block;
        }
    }
}
